#include "windows/resolver/ResolverController.h"
#include "widgets/ViewExtensions.h"

#include "base/SystemRoot.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

namespace kw::app {

namespace {

// A command asked to end gets this long before it is killed.
constexpr int kTerminateGraceMs = 2000;

} // namespace

namespace {
ResolverController* g_instance = nullptr;
} // namespace

ResolverController& ResolverController::sharedInstance()
{
    if (g_instance == nullptr) {
        g_instance = new ResolverController;
    }
    return *g_instance;
}

void ResolverController::releaseSharedInstance()
{
    delete g_instance;
}

ResolverController::ResolverController()
{
    setWindowTitle(tr("Network Tools"));
    setObjectName(QStringLiteral("ResolverController"));
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

    const auto makePane = [this, &fixed](Pane& pane, const QString& title, const QString& label,
                                         const QString& buttonTitle, const QString& name) {
        pane.idleTitle = buttonTitle;
        pane.field = new QLineEdit;
        pane.field->setObjectName(name + QStringLiteral("Field"));
        pane.field->setPlaceholderText(tr("host name or address"));
        pane.button = new QPushButton(buttonTitle);
        pane.button->setObjectName(name + QStringLiteral("Button"));
        pane.button->setMinimumWidth(90);
        pane.output = new QPlainTextEdit;
        pane.output->setObjectName(name + QStringLiteral("Output"));
        pane.output->setReadOnly(true);
        pane.output->setFont(fixed);
        pane.output->setLineWrapMode(QPlainTextEdit::NoWrap);
        auto* box = new QGroupBox(title);
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(label));
        row->addWidget(pane.field, 1);
        row->addWidget(pane.button);
        auto* layout = new QVBoxLayout(box);
        layout->addLayout(row);
        layout->addWidget(pane.output, 1);
        connect(pane.field, &QLineEdit::returnPressed, pane.button, &QPushButton::click);
        return box;
    };
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makePane(m_lookup, tr("Lookup"), tr("Host:"), tr("Lookup"), QStringLiteral("lookup")), 1);
    layout->addWidget(makePane(m_whois, tr("Whois"), tr("Domain:"), tr("Whois"), QStringLiteral("whois")), 1);
    m_whois.ignoreEmpty = true;
    connect(m_lookup.button, &QPushButton::clicked, this, &ResolverController::toggleLookup);
    connect(m_whois.button, &QPushButton::clicked, this, &ResolverController::toggleWhois);

    if (!restoreWindowFrame(*this, QString::fromLatin1(kFrameName))) {
        resize(560, 620);
    }
}

ResolverController::~ResolverController()
{
    if (g_instance == this) {
        g_instance = nullptr;
    }
    for (Pane* pane : { &m_lookup, &m_whois }) {
        if (QProcess* task = pane->task) {
            task->disconnect(this);
            task->kill();
            task->waitForFinished(kTerminateGraceMs);
            delete task;
        }
    }
}

void ResolverController::closeEvent(QCloseEvent* event)
{
    saveWindowFrame(*this, QString::fromLatin1(kFrameName));
    QWidget::closeEvent(event);
}

std::optional<QString> ResolverController::queryProblem(const QString& query)
{
    if (query.startsWith(u'-')) {
        return tr("A name cannot begin with \u201c-\u201d.");
    }
    for (const QChar c : query) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format) {
            return tr("A name is one word, without blanks or control characters.");
        }
    }
    return std::nullopt;
}

void ResolverController::toggleLookup()
{
    if (m_lookup.task != nullptr) {
        cancelLookupTask();
        return;
    }
    startTask(m_lookup, QString::fromLatin1(kLookupProgram), { m_lookup.field->text() });
}

void ResolverController::toggleWhois()
{
    if (m_whois.task != nullptr) {
        cancelWhoisTask();
        return;
    }
    startTask(m_whois, QString::fromLatin1(kWhoisProgram),
              { QStringLiteral("-h"), QString::fromLatin1(kWhoisServer), m_whois.field->text() });
}

void ResolverController::cancelLookupTask()
{
    cancelTask(m_lookup);
}

void ResolverController::cancelWhoisTask()
{
    cancelTask(m_whois);
}

void ResolverController::startTask(Pane& pane, const QString& program, const QStringList& arguments)
{
    pane.output->clear();
    if (const auto problem = queryProblem(arguments.back())) {
        pane.output->setPlainText(*problem);
        return;
    }
    pane.button->setText(tr("Cancel"));
    pane.outputDecoder = QStringDecoder(QStringDecoder::Utf8);
    pane.errorDecoder = QStringDecoder(QStringDecoder::Utf8);
    auto* task = new QProcess(this);
    pane.task = task;
    // Each argument is one word of the command line; no shell sees it.
    task->setProgram(QString::fromStdString(SystemRoot::path(program.toStdString())));
    task->setArguments(arguments);
    task->setProcessChannelMode(QProcess::SeparateChannels);
    task->setStandardInputFile(QProcess::nullDevice());
    connect(task, &QProcess::readyReadStandardOutput, this,
            [this, &pane, task] { appendOutput(pane, pane.outputDecoder, task->readAllStandardOutput()); });
    connect(task, &QProcess::readyReadStandardError, this,
            [this, &pane, task] { appendOutput(pane, pane.errorDecoder, task->readAllStandardError()); });
    connect(task, &QProcess::finished, this, [this, &pane] { taskDidTerminate(pane); });
    connect(task, &QProcess::errorOccurred, this, [this, &pane, task](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            pane.output->appendPlainText(tr("Cannot run %1: %2").arg(task->program(), task->errorString()));
            taskDidTerminate(pane);
        }
    });
    task->start();
}

void ResolverController::appendOutput(Pane& pane, QStringDecoder& decoder, const QByteArray& bytes)
{
    const QString text = decoder.decode(bytes);
    if (text.isEmpty() && pane.ignoreEmpty) {
        return;
    }
    QTextCursor end(pane.output->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text);
    QScrollBar* bar = pane.output->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void ResolverController::cancelTask(Pane& pane)
{
    QProcess* task = pane.task;
    if (task == nullptr) {
        return;
    }
    task->terminate();
    QTimer::singleShot(kTerminateGraceMs, task, [task] {
        if (task->state() != QProcess::NotRunning) {
            task->kill();
        }
    });
}

void ResolverController::taskDidTerminate(Pane& pane)
{
    QProcess* task = pane.task;
    if (task == nullptr) {
        return;
    }
    // Whatever the command wrote last is shown before the pane goes idle.
    appendOutput(pane, pane.outputDecoder, task->readAllStandardOutput());
    appendOutput(pane, pane.errorDecoder, task->readAllStandardError());
    pane.task = nullptr;
    task->deleteLater();
    pane.button->setText(pane.idleTitle);
    if (&pane == &m_lookup) {
        emit lookupTaskDidTerminate();
    } else {
        emit whoisTaskDidTerminate();
    }
}

} // namespace kw::app

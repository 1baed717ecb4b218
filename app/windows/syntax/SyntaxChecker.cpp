#include "windows/syntax/SyntaxChecker.h"

#include "adapters/NotificationBridge.h"
#include "adapters/Resources.h"
#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "lint/RuleLint.h"
#include "syntax/IPFWParser.h"
#include "widgets/ToolbarCustomizer.h"
#include "windows/NewConfigurationController.h"
#include "windows/syntax/SyntaxColorizer.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QSplitter>
#include <QTextBlock>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

namespace kw::app {

namespace {

SyntaxChecker* g_instance = nullptr;

QString toolbarText(const QString& key)
{
    return Resources::localizedString(QStringLiteral("Toolbars"), key);
}

// A check that ends this quickly shows no progress sheet at all.
constexpr int kProgressSheetDelayMs = 150;

} // namespace

SyntaxChecker& SyntaxChecker::sharedInstance()
{
    if (g_instance == nullptr) {
        g_instance = new SyntaxChecker;
    }
    return *g_instance;
}

SyntaxChecker* SyntaxChecker::existingInstance()
{
    return g_instance;
}

SyntaxChecker::SyntaxChecker()
{
    windowDidLoad();
}

SyntaxChecker::~SyntaxChecker()
{
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_syntaxEvents.reset();
    if (g_instance == this) {
        g_instance = nullptr;
    }
}

void SyntaxChecker::windowDidLoad()
{
    setWindowTitle(tr("Syntax Checker"));
    setObjectName(QStringLiteral("SyntaxChecker"));

    m_editView = new QPlainTextEdit;
    m_editView->setObjectName(QStringLiteral("editView"));
    m_editView->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_editView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_messageView = new QListWidget;
    m_messageView->setObjectName(QStringLiteral("messageView"));
    m_messageView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_messageView->setIconSize(QSize(16, 16));
    m_allowEditing = new QCheckBox(tr("&Allow editing of the rule text"));
    m_allowEditing->setObjectName(QStringLiteral("allowEditing"));
    m_releaseGrammar = new QCheckBox(tr("Check with the grammar of the system's release"));
    m_releaseGrammar->setObjectName(QStringLiteral("releaseGrammar"));
    m_releaseGrammar->setToolTip(tr("Also refuse what the installed system's ipfw does not accept."));

    auto* splitter = new QSplitter(Qt::Vertical);
    splitter->addWidget(m_editView);
    splitter->addWidget(m_messageView);
    splitter->setSizes({ 360, 160 });
    auto* options = new QHBoxLayout;
    options->addWidget(m_allowEditing);
    options->addStretch();
    options->addWidget(m_releaseGrammar);
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(splitter, 1);
    layout->addLayout(options);
    setCentralWidget(central);
    resize(640, 560);

    connect(m_allowEditing, &QCheckBox::clicked, this, &SyntaxChecker::toggleExpertEditing);
    connect(m_messageView, &QListWidget::itemSelectionChanged, this, &SyntaxChecker::messageSelected);
    connect(m_messageView, &QListWidget::itemDoubleClicked, this, &SyntaxChecker::messageSelected);
    // The text is the configuration window's document: that window marks its own edits, so
    // here only the toolbar follows.
    connect(m_editView, &QPlainTextEdit::textChanged, this, &SyntaxChecker::validateToolbar, Qt::QueuedConnection);

    auto& bridge = NotificationBridge::sharedInstance();
    connect(&bridge, &NotificationBridge::userAuthenticated, this, &SyntaxChecker::userAuthenticated);
    connect(&bridge, &NotificationBridge::userDeauthenticated, this, &SyntaxChecker::userDeauthenticated);
    // Syntax events arrive on the checking thread, in line order; queued calls keep that order
    // and bring them to this thread ahead of the end of the check.
    m_syntaxEvents = std::make_unique<ScopedObserver>(
        NotificationCenter::defaultCenter(), IPFWParserSyntaxEventNotification, [this](const Notification& event) {
            if (std::this_thread::get_id() != m_workerId.load()) {
                return;
            }
            const QString message = QString::fromStdString(event.object.stringValue());
            const int line = static_cast<int>(integerValueOf(event.userInfo.get(IPFWParserLineNumberItem)));
            const bool warning = stringValueOf(event.userInfo.get(IPFWParserEventTypeItem)) == IPFWParserWarningEvent;
            QMetaObject::invokeMethod(
                this, [this, message, line, warning] { syntaxEventReceived(message, line, warning); },
                Qt::QueuedConnection);
        });
    createToolbar();
    userDeauthenticated();
}

void SyntaxChecker::setConfigurationController(NewConfigurationController* window)
{
    if (m_configuration == window) {
        return;
    }
    if (m_configuration != nullptr) {
        m_configuration->disconnect(this);
    }
    m_configuration = window;
    if (window != nullptr) {
        connect(window, &NewConfigurationController::jobEnded, this, &SyntaxChecker::validateToolbar);
    }
    validateToolbar();
}

void SyntaxChecker::createToolbar()
{
    m_toolbar = new QToolBar(tr("Syntax Checker"), this);
    m_toolbar->setObjectName(QString::fromLatin1(kToolbarIdentifier));
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_toolbar->setIconSize(QSize(32, 32));
    m_toolbar->setMovable(false);
    m_saveItem = new QAction(Resources::image(QStringLiteral("Disk")), toolbarText(QStringLiteral("SaveLabel")), this);
    m_saveItem->setObjectName(QStringLiteral("saveSettings"));
    m_saveItem->setToolTip(toolbarText(QStringLiteral("SaveToolTip")));
    m_saveItem->setProperty("paletteLabel", toolbarText(QStringLiteral("SavePaletteLabel")));
    connect(m_saveItem, &QAction::triggered, this, [this] {
        if (m_configuration != nullptr) {
            m_configuration->saveSettings();
        }
    });
    m_checkItem =
        new QAction(Resources::image(QStringLiteral("Build")), toolbarText(QStringLiteral("CheckSyntaxLabel")), this);
    m_checkItem->setObjectName(QStringLiteral("checkSyntax"));
    m_checkItem->setToolTip(toolbarText(QStringLiteral("CheckSyntaxToolTip")));
    m_checkItem->setProperty("paletteLabel", toolbarText(QStringLiteral("CheckSyntaxPaletteLabel")));
    m_checkItem->setShortcut(QKeySequence(QStringLiteral("Ctrl+K")));
    connect(m_checkItem, &QAction::triggered, this, &SyntaxChecker::checkSyntax);
    new ToolbarCustomizer(
        m_toolbar, QString::fromLatin1(kToolbarIdentifier),
        { { QStringLiteral("saveSettings"), m_saveItem }, { QStringLiteral("checkSyntax"), m_checkItem } },
        { QStringLiteral("saveSettings"), QString::fromLatin1(ToolbarCustomizer::kFlexibleSpace),
          QStringLiteral("checkSyntax") });
    addToolBar(Qt::TopToolBarArea, m_toolbar);
}

QAction* SyntaxChecker::toolbarItem(const QString& identifier) const
{
    if (identifier == QLatin1String("saveSettings")) {
        return m_saveItem;
    }
    return identifier == QLatin1String("checkSyntax") ? m_checkItem : nullptr;
}

void SyntaxChecker::validateToolbar()
{
    const bool authorized = m_configuration != nullptr && m_configuration->isAuthorized();
    m_saveItem->setEnabled(authorized && m_configuration->isEdited());
    m_allowEditing->setEnabled(authorized);
}

void SyntaxChecker::setTextStorage(QTextDocument* storage)
{
    if (storage == nullptr || m_editView->document() == storage) {
        return;
    }
    SyntaxColorizer::sharedInstance().unregisterTextView(m_editView);
    m_editView->setDocument(storage);
    SyntaxColorizer::sharedInstance().registerTextView(m_editView);
    // Should the configuration window go first, this view falls back to a document of its own.
    connect(storage, &QObject::destroyed, m_editView, [this, storage] {
        if (m_editView->document() == storage) {
            m_editView->setDocument(nullptr);
        }
    });
}

void SyntaxChecker::allowExpertEditing(bool allowed)
{
    m_editView->setReadOnly(!allowed);
    m_allowEditing->setChecked(allowed);
}

void SyntaxChecker::toggleExpertEditing()
{
    const bool allowed = m_allowEditing->isChecked();
    allowExpertEditing(allowed);
    if (m_configuration != nullptr) {
        m_configuration->allowExpertEditing(allowed);
    }
}

void SyntaxChecker::userAuthenticated()
{
    m_allowEditing->setEnabled(true);
    m_saveItem->setEnabled(m_configuration != nullptr && m_configuration->isEdited());
}

void SyntaxChecker::userDeauthenticated()
{
    m_allowEditing->setEnabled(false);
    m_saveItem->setEnabled(false);
}

void SyntaxChecker::checkSyntax()
{
    if (m_isChecking) {
        return;
    }
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_isChecking = true;
    m_messageView->clear();
    m_checkItem->setEnabled(false);
    if (m_progPanel == nullptr) {
        m_progPanel = new QProgressDialog(tr("Checking the rule syntax…"), QString(), 0, 0, this);
        m_progPanel->setWindowModality(Qt::WindowModal);
        m_progPanel->setCancelButton(nullptr);
        m_progPanel->setMinimumDuration(0);
        m_progPanel->reset();
        m_progPanel->hide();
    }
    QTimer::singleShot(kProgressSheetDelayMs, this, [this] {
        if (m_isChecking) {
            m_progPanel->show();
        }
    });
    std::string text = m_editView->toPlainText().toStdString();
    const bool releaseRules = m_releaseGrammar->isChecked();
    m_worker = std::thread([this, text = std::move(text), releaseRules] {
        m_workerId.store(std::this_thread::get_id());
        bool noErrors = false;
        try {
            noErrors = IPFWParser::sharedInstance().checkIPFWText(text, releaseRules ? IPFWGrammarMode::Release
                                                                                     : IPFWGrammarMode::Checker);
        } catch (const IPFWTooManyArguments& tooMany) {
            // The checker stops at such a line; it is listed like the other errors.
            const QString message = QString::fromUtf8(tooMany.what()).section(QStringLiteral(": "), 1);
            const int line = tooMany.lineNumber();
            QMetaObject::invokeMethod(
                this, [this, message, line] { syntaxEventReceived(message, line, false); }, Qt::QueuedConnection);
        }
        // The lint's warnings follow the errors, each with the warning mark.
        for (const LintWarning& warning : lintRuleText(text, lintOptionsForThisProcess())) {
            const QString message = QString::fromStdString(warning.message);
            const int line = warning.line;
            QMetaObject::invokeMethod(
                this, [this, message, line] { syntaxEventReceived(message, line, true); }, Qt::QueuedConnection);
        }
        m_workerId.store(std::thread::id());
        QMetaObject::invokeMethod(
            this, [this, noErrors] { finishCheck(noErrors); }, Qt::QueuedConnection);
    });
}

void SyntaxChecker::syntaxEventReceived(const QString& message, int line, bool warning)
{
    logf("Error:%s", message.toStdString().c_str());
    auto* item = new QListWidgetItem(
        Resources::image(QString::fromLatin1(warning ? "PBXBuildWarningIcon" : "PBXBuildErrorIcon")),
        QStringLiteral(" ") + message);
    QFont font = QApplication::font();
    font.setPointSize(12);
    item->setFont(font);
    item->setForeground(warning ? QColor(Qt::black) : QColor(Qt::red));
    item->setData(kLineNumberRole, line);
    item->setToolTip(tr("Line %1").arg(line));
    m_messageView->addItem(item);
}

void SyntaxChecker::finishCheck(bool noErrors)
{
    if (m_worker.joinable()) {
        m_worker.join();
    }
    if (noErrors) {
        auto* item = new QListWidgetItem(QString::fromLatin1(kNoErrorsFound).trimmed());
        m_messageView->addItem(item);
    }
    m_isChecking = false;
    m_checkItem->setEnabled(true);
    if (m_progPanel != nullptr) {
        m_progPanel->hide();
    }
    emit checkFinished(noErrors);
}

void SyntaxChecker::messageSelected()
{
    if (m_isChecking || m_messageView->count() == 0) {
        return;
    }
    const QList<QListWidgetItem*> selected = m_messageView->selectedItems();
    if (selected.isEmpty()) {
        return;
    }
    const QVariant line = selected.front()->data(kLineNumberRole);
    if (line.isValid()) {
        selectLine(line.toInt());
    }
}

SyntaxChecker::LineRange SyntaxChecker::lineRangeForLine(int line, const QString& text)
{
    qsizetype position = 0;
    for (int n = 1; position <= text.size(); ++n) {
        const qsizetype feed = text.indexOf(u'\n', position);
        const qsizetype end = feed < 0 ? text.size() : feed + 1;
        if (n == line) {
            return LineRange { position, end - position };
        }
        if (feed < 0) {
            break;
        }
        position = end;
    }
    return {};
}

void SyntaxChecker::selectLine(int line)
{
    const LineRange range = lineRangeForLine(line, m_editView->toPlainText());
    if (range.location < 0) {
        return;
    }
    QTextCursor cursor(m_editView->document());
    cursor.setPosition(static_cast<int>(range.location));
    cursor.setPosition(static_cast<int>(range.location + range.length), QTextCursor::KeepAnchor);
    m_editView->setTextCursor(cursor);
    m_editView->ensureCursorVisible();
}

} // namespace kw::app

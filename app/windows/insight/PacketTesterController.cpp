#include "windows/insight/PacketTesterController.h"

#include "base/AtomicFile.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

namespace kw::app {

namespace {

PacketTesterController* g_instance = nullptr;

// Exit statuses of kw-whatif that carry an answer: every packet passes, or one is denied.
constexpr int kExitPass = 0;
constexpr int kExitDeny = 1;

QString frameKey()
{
    return QString::fromLatin1(PacketTesterController::kFrameName) + QStringLiteral("/frame");
}

QString valueAfter(const QString& line, const QString& prefix)
{
    return line.mid(prefix.size()).trimmed();
}

} // namespace

std::optional<PacketAnswer> PacketAnswer::parse(const QString& output)
{
    PacketAnswer a;
    bool seenVerdict = false;
    for (const QString& line : output.split(QLatin1Char('\n'))) {
        if (line.isEmpty() && seenVerdict) {
            break; // the first packet's block only
        }
        if (line.startsWith(QLatin1String("passed: "))) {
            a.passed.append(valueAfter(line, QStringLiteral("passed: ")));
        } else if (line.startsWith(QLatin1String("decided: "))) {
            const QString rest = valueAfter(line, QStringLiteral("decided: "));
            const qsizetype blank = rest.indexOf(QLatin1Char(' '));
            a.ruleNumber = rest.left(blank).toInt();
            a.ruleText = blank < 0 ? QString() : rest.mid(blank + 1);
        } else if (line.startsWith(QLatin1String("verdict: "))) {
            a.verdict = valueAfter(line, QStringLiteral("verdict: "));
            seenVerdict = true;
        } else if (line.startsWith(QLatin1String("dynamic: "))) {
            a.dynamic = valueAfter(line, QStringLiteral("dynamic: "));
        } else if (line.startsWith(QLatin1String("result: "))) {
            a.passes = valueAfter(line, QStringLiteral("result: ")) == QLatin1String("pass");
        }
    }
    if (!seenVerdict || a.ruleNumber <= 0) {
        return std::nullopt;
    }
    return a;
}

QString PacketFields::packetLine() const
{
    const auto end = [this](const QString& address, const QString& port) {
        const QString a = address.trimmed().isEmpty() ? QStringLiteral("0.0.0.0") : address.trimmed();
        const bool ported = protocol == QLatin1String("tcp") || protocol == QLatin1String("udp");
        return ported && !port.trimmed().isEmpty() ? a + QLatin1Char(':') + port.trimmed() : a;
    };
    QStringList words { incoming ? QStringLiteral("in") : QStringLiteral("out"),
                        QStringLiteral("via"),
                        interfaceName.trimmed().isEmpty() ? QStringLiteral("?") : interfaceName.trimmed(),
                        protocol,
                        end(source, sourcePort),
                        QStringLiteral("->"),
                        end(destination, destinationPort) };
    if (protocol == QLatin1String("tcp") && !tcpFlags.isEmpty()) {
        words.append(tcpFlags.join(QLatin1Char(',')));
    } else if (protocol == QLatin1String("icmp")) {
        words.append({ QStringLiteral("type"), QString::number(icmpType) });
    }
    return words.join(QLatin1Char(' '));
}

PacketTesterController& PacketTesterController::sharedInstance()
{
    if (g_instance == nullptr) {
        g_instance = new PacketTesterController;
    }
    return *g_instance;
}

void PacketTesterController::releaseSharedInstance()
{
    delete g_instance;
}

QString PacketTesterController::programPath()
{
    const QString beside =
        QFileInfo(QString::fromStdString(ownExecutablePath())).absolutePath() + QStringLiteral("/kw-whatif");
    if (QFileInfo(beside).isExecutable()) {
        return beside;
    }
#ifdef KW_TOOL_INSTALL_PATH
    // Installed beside wallctl.
    return QFileInfo(QStringLiteral(KW_TOOL_INSTALL_PATH)).absolutePath() + QStringLiteral("/kw-whatif");
#else
    return QString::fromLatin1(kInstalledProgram);
#endif
}

PacketTesterController::PacketTesterController()
{
    setWindowTitle(tr("Test a Packet"));
    setObjectName(QStringLiteral("PacketTesterController"));

    m_direction = new QComboBox;
    m_direction->setObjectName(QStringLiteral("directionPopUp"));
    m_direction->addItem(tr("Incoming"), QStringLiteral("in"));
    m_direction->addItem(tr("Outgoing"), QStringLiteral("out"));
    m_interface = new QComboBox;
    m_interface->setObjectName(QStringLiteral("interfacePopUp"));
    m_interface->setEditable(true);
    m_protocol = new QComboBox;
    m_protocol->setObjectName(QStringLiteral("protocolPopUp"));
    m_protocol->addItem(QStringLiteral("TCP"), QStringLiteral("tcp"));
    m_protocol->addItem(QStringLiteral("UDP"), QStringLiteral("udp"));
    m_protocol->addItem(QStringLiteral("ICMP"), QStringLiteral("icmp"));

    const auto field = [](const QString& name, const QString& placeholder, int width) {
        auto* edit = new QLineEdit;
        edit->setObjectName(name);
        edit->setPlaceholderText(placeholder);
        if (width > 0) {
            edit->setMaximumWidth(width);
        }
        return edit;
    };
    m_source = field(QStringLiteral("sourceField"), tr("address, or \"me\""), 0);
    m_sourcePort = field(QStringLiteral("sourcePortField"), tr("port"), 90);
    m_destination = field(QStringLiteral("destinationField"), tr("address, or \"me\""), 0);
    m_destinationPort = field(QStringLiteral("destinationPortField"), tr("port"), 90);
    m_destination->setText(QStringLiteral("me"));

    auto* flagsRow = new QHBoxLayout;
    for (const char* flag : { "syn", "ack", "fin", "rst", "psh", "urg" }) {
        auto* box = new QCheckBox(QString::fromLatin1(flag).toUpper());
        box->setObjectName(QString::fromLatin1(flag) + QStringLiteral("Check"));
        box->setProperty("flag", QString::fromLatin1(flag));
        m_flags.push_back(box);
        flagsRow->addWidget(box);
    }
    flagsRow->addStretch(1);
    m_icmpType = new QSpinBox;
    m_icmpType->setObjectName(QStringLiteral("icmpTypeField"));
    m_icmpType->setRange(0, 255);
    m_icmpType->setValue(8);

    const auto endRow = [](QLineEdit* address, QLineEdit* port) {
        auto* row = new QHBoxLayout;
        row->addWidget(address, 1);
        row->addWidget(new QLabel(QStringLiteral(":")));
        row->addWidget(port);
        return row;
    };
    auto* form = new QFormLayout;
    form->addRow(tr("Direction:"), m_direction);
    form->addRow(tr("Interface:"), m_interface);
    form->addRow(tr("Protocol:"), m_protocol);
    form->addRow(tr("Source:"), endRow(m_source, m_sourcePort));
    form->addRow(tr("Destination:"), endRow(m_destination, m_destinationPort));
    form->addRow(tr("TCP flags:"), flagsRow);
    form->addRow(tr("ICMP type:"), m_icmpType);
    auto* packetBox = new QGroupBox(tr("Packet"));
    packetBox->setLayout(form);

    m_rulesLabel = new QLabel;
    m_rulesLabel->setObjectName(QStringLiteral("rulesLabel"));
    m_rulesLabel->setWordWrap(true);
    m_testButton = new QPushButton(tr("Test"));
    m_testButton->setObjectName(QStringLiteral("testButton"));
    m_testButton->setDefault(true);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(m_rulesLabel, 1);
    buttonRow->addWidget(m_testButton);

    m_answerLabel = new QLabel(tr("Describe a packet and press Test."));
    m_answerLabel->setObjectName(QStringLiteral("answerLabel"));
    m_answerLabel->setWordWrap(true);
    m_answerLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont bold = m_answerLabel->font();
    bold.setBold(true);
    m_answerLabel->setFont(bold);
    m_details = new QPlainTextEdit;
    m_details->setObjectName(QStringLiteral("detailsView"));
    m_details->setReadOnly(true);
    m_details->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_details->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* answerBox = new QGroupBox(tr("Answer"));
    auto* answerLayout = new QVBoxLayout(answerBox);
    answerLayout->addWidget(m_answerLabel);
    answerLayout->addWidget(m_details, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(packetBox);
    layout->addLayout(buttonRow);
    layout->addWidget(answerBox, 1);

    connect(m_testButton, &QPushButton::clicked, this, &PacketTesterController::testPacket);
    connect(m_protocol, &QComboBox::currentIndexChanged, this, &PacketTesterController::protocolChanged);
    for (QLineEdit* edit : { m_source, m_sourcePort, m_destination, m_destinationPort }) {
        connect(edit, &QLineEdit::returnPressed, this, &PacketTesterController::testPacket);
    }
    protocolChanged();

    resize(560, 520);
    const QByteArray frame = QSettings().value(frameKey()).toByteArray();
    if (!frame.isEmpty()) {
        restoreGeometry(frame);
    }
}

PacketTesterController::~PacketTesterController()
{
    if (m_process) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(2000);
        delete m_process;
    }
    if (g_instance == this) {
        g_instance = nullptr;
    }
}

void PacketTesterController::testSetting(const QString& settingKey, const QString& description)
{
    m_settingKey = settingKey;
    m_ruleText.clear();
    m_useRuleText = false;
    m_rulesLabel->setText(description);
}

void PacketTesterController::testRuleText(const QString& ruleText, const QString& description)
{
    m_ruleText = ruleText;
    m_settingKey.clear();
    m_useRuleText = true;
    m_rulesLabel->setText(description);
}

void PacketTesterController::setInterfaces(const QStringList& names)
{
    const QString current = m_interface->currentText();
    m_interface->clear();
    m_interface->addItems(names);
    if (!current.isEmpty()) {
        m_interface->setCurrentText(current);
    }
}

void PacketTesterController::showWindow()
{
    show();
    raise();
    activateWindow();
}

PacketFields PacketTesterController::fields() const
{
    PacketFields f;
    f.incoming = m_direction->currentData().toString() == QLatin1String("in");
    f.interfaceName = m_interface->currentText();
    f.protocol = m_protocol->currentData().toString();
    f.source = m_source->text();
    f.sourcePort = m_sourcePort->text();
    f.destination = m_destination->text();
    f.destinationPort = m_destinationPort->text();
    for (const QCheckBox* box : m_flags) {
        if (box->isChecked()) {
            f.tcpFlags.append(box->property("flag").toString());
        }
    }
    f.icmpType = m_icmpType->value();
    return f;
}

void PacketTesterController::setFields(const PacketFields& f)
{
    m_direction->setCurrentIndex(f.incoming ? 0 : 1);
    m_interface->setCurrentText(f.interfaceName);
    m_protocol->setCurrentIndex(std::max(0, m_protocol->findData(f.protocol)));
    m_source->setText(f.source);
    m_sourcePort->setText(f.sourcePort);
    m_destination->setText(f.destination);
    m_destinationPort->setText(f.destinationPort);
    for (QCheckBox* box : m_flags) {
        box->setChecked(f.tcpFlags.contains(box->property("flag").toString()));
    }
    m_icmpType->setValue(f.icmpType);
}

void PacketTesterController::protocolChanged()
{
    const QString protocol = m_protocol->currentData().toString();
    const bool ported = protocol != QLatin1String("icmp");
    m_sourcePort->setEnabled(ported);
    m_destinationPort->setEnabled(ported);
    for (QCheckBox* box : m_flags) {
        box->setEnabled(protocol == QLatin1String("tcp"));
    }
    m_icmpType->setEnabled(protocol == QLatin1String("icmp"));
}

void PacketTesterController::testPacket()
{
    if (m_process) {
        return;
    }
    QStringList args;
    if (m_useRuleText) {
        args << QStringLiteral("--rules") << QStringLiteral("-");
    } else if (!m_settingKey.isEmpty()) {
        args << QStringLiteral("--key") << m_settingKey;
    }
    // "--" keeps a packet that starts with "-" from reading as an option.
    args << QStringLiteral("--") << fields().packetLine();
    m_answer.reset();
    m_answerLabel->setText(tr("Testing…"));
    m_answerLabel->setStyleSheet(QString());
    m_details->clear();
    m_testButton->setEnabled(false);

    m_process = new QProcess(this);
    m_process->setProgram(programPath());
    m_process->setArguments(args);
    connect(m_process, &QProcess::finished, this, &PacketTesterController::processFinished);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            processFinished(-1, QProcess::CrashExit);
        }
    });
    m_process->start();
    if (m_useRuleText) {
        m_process->write(m_ruleText.toUtf8());
    }
    m_process->closeWriteChannel();
}

void PacketTesterController::processFinished(int exitCode, QProcess::ExitStatus status)
{
    if (!m_process) {
        return;
    }
    QProcess* process = m_process;
    m_process = nullptr;
    process->deleteLater();
    m_testButton->setEnabled(true);
    const QString out = QString::fromUtf8(process->readAllStandardOutput());
    QString err = QString::fromUtf8(process->readAllStandardError()).trimmed();
    err.replace(QStringLiteral("kw-whatif: "), QString());
    if (status != QProcess::NormalExit || (exitCode != kExitPass && exitCode != kExitDeny)) {
        const QString first = err.section(QLatin1Char('\n'), 0, 0);
        showProblem(first.isEmpty() ? tr("The packet tester %1 could not run.").arg(process->program()) : first);
        emit answered();
        return;
    }
    m_answer = PacketAnswer::parse(out);
    if (!m_answer) {
        showProblem(tr("The packet tester gave no answer."));
        emit answered();
        return;
    }
    const PacketAnswer& a = *m_answer;
    m_answerLabel->setText(a.passes ? tr("Passes: rule %1 lets it through.").arg(a.ruleNumber)
                                    : tr("Blocked: rule %1 stops it.").arg(a.ruleNumber));
    m_answerLabel->setStyleSheet(a.passes ? QStringLiteral("color: #1a7f37;") : QStringLiteral("color: #b3261e;"));
    QStringList lines;
    lines << tr("Deciding rule: %1 %2").arg(a.ruleNumber).arg(a.ruleText);
    if (a.dynamic == QLatin1String("matched")) {
        lines << tr("Answered through the dynamic rule of an earlier packet of this connection.");
    } else if (a.dynamic == QLatin1String("created")) {
        lines << tr("A dynamic rule would be created: the replies of this connection pass too.");
    }
    if (!a.passed.isEmpty()) {
        lines << QString() << tr("Passed on the way:");
        for (const QString& p : a.passed) {
            lines << QStringLiteral("  ") + p;
        }
    }
    if (!err.isEmpty()) {
        lines << QString() << err;
    }
    m_details->setPlainText(lines.join(QLatin1Char('\n')));
    if (m_highlight) {
        m_highlight(a.ruleNumber);
    }
    emit answered();
}

void PacketTesterController::showProblem(const QString& text)
{
    m_answer.reset();
    m_answerLabel->setText(text);
    m_answerLabel->setStyleSheet(QStringLiteral("color: #b3261e;"));
    m_details->clear();
}

bool PacketTesterController::waitForAnswer(int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (m_process && timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (m_process) {
            m_process->waitForFinished(20);
        }
    }
    QCoreApplication::processEvents();
    return !m_process;
}

void PacketTesterController::closeEvent(QCloseEvent* event)
{
    QSettings().setValue(frameKey(), saveGeometry());
    QWidget::closeEvent(event);
}

} // namespace kw::app

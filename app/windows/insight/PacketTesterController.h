#pragma once

#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

namespace kw::app {

// What kw-whatif answered about one packet.
struct PacketAnswer {
    int ruleNumber = 0;
    QString ruleText;   // the deciding rule's text
    QString verdict;    // "rule 2004 allow (dynamic)"
    QStringList passed; // "100 count ip from any to any", rules passed on the way
    QString dynamic;    // "created", "matched" or "none"
    bool passes = false;

    // Reads the first answer block of kw-whatif's output; none when it holds no verdict.
    static std::optional<PacketAnswer> parse(const QString& output);
};

// The packet as the form describes it.
struct PacketFields {
    bool incoming = true;
    QString interfaceName;
    QString protocol = QStringLiteral("tcp"); // tcp, udp, icmp
    QString source;
    QString sourcePort;
    QString destination = QStringLiteral("me");
    QString destinationPort;
    QStringList tcpFlags; // syn, ack, fin, rst
    int icmpType = 8;

    // The packet line kw-whatif reads: "in via en0 tcp 203.0.113.9:40000 -> me:22 syn".
    QString packetLine() const;
};

// "Test a Packet": a form for one packet (direction, interface, protocol, addresses, ports, TCP
// flags or ICMP type), answered by kw-whatif run as a child process against the rules the
// opening window gave (a stored setting or a rule text); the answer names the deciding rule
// and the opener highlights it.
class PacketTesterController : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kFrameName = "Test a Packet";
    static constexpr const char* kInstalledProgram = "/usr/local/libexec/keepwall/kw-whatif";

    static PacketTesterController& sharedInstance();
    static void releaseSharedInstance();
    ~PacketTesterController() override;

    // kw-whatif beside the running program (build tree), else the one installed beside wallctl.
    static QString programPath();

    // The rules to test: a stored setting, or a rule file's text (what a window shows).
    void testSetting(const QString& settingKey, const QString& description);
    void testRuleText(const QString& ruleText, const QString& description);
    // The interfaces offered (the field stays editable).
    void setInterfaces(const QStringList& names);
    // Called with the deciding rule's number after each answer.
    void setHighlightHandler(std::function<void(int ruleNumber)> handler) { m_highlight = std::move(handler); }
    void showWindow();

    PacketFields fields() const;
    void setFields(const PacketFields& fields);
    const std::optional<PacketAnswer>& answer() const { return m_answer; }
    QLabel* answerLabel() const { return m_answerLabel; }
    QPlainTextEdit* detailsView() const { return m_details; }
    QPushButton* testButton() const { return m_testButton; }
    bool isRunning() const { return m_process != nullptr; }

    // Waits until the running question has been answered (tests); false on time-out.
    bool waitForAnswer(int milliseconds);

public slots:
    void testPacket();

signals:
    // A question has ended: with an answer, or with the problem shown in the answer label.
    void answered();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    PacketTesterController();
    void protocolChanged();
    void processFinished(int exitCode, QProcess::ExitStatus status);
    void showProblem(const QString& text);

    QComboBox* m_direction;
    QComboBox* m_interface;
    QComboBox* m_protocol;
    QLineEdit* m_source;
    QLineEdit* m_sourcePort;
    QLineEdit* m_destination;
    QLineEdit* m_destinationPort;
    std::vector<QCheckBox*> m_flags;
    QSpinBox* m_icmpType;
    QLabel* m_rulesLabel;
    QPushButton* m_testButton;
    QLabel* m_answerLabel;
    QPlainTextEdit* m_details;
    QPointer<QProcess> m_process;
    QString m_settingKey;
    QString m_ruleText;
    bool m_useRuleText = false;
    std::optional<PacketAnswer> m_answer;
    std::function<void(int)> m_highlight;
};

} // namespace kw::app

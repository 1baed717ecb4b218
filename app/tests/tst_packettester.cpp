// The "Test a Packet" window: the packet line its form makes, kw-whatif's answer read back,
// the answer against the current setting with the deciding rule selected in the monitor, the
// edited setting of the configuration window with the rule's line selected in the expert text,
// and a malformed packet's message.
#include "AppTestSupport.h"

#include "models/RuleTableModel.h"
#include "monitor/IPFWListingParser.h"
#include "windows/MonitorController.h"
#include "windows/NewConfigurationController.h"
#include "windows/insight/InsightHooks.h"
#include "windows/insight/PacketTesterController.h"

#include "base/Release.h"

#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QtTest>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

// The loaded rules as the monitor lists them (the example setting's first interface).
constexpr const char* kListing =
    "01000 0 0                         allow ip from any to any via lo*\n"
    "02000 0 0                         allow udp from any 67-68 to any 67-68 via en0\n"
    "02004 3 180                       allow tcp from any to any 22 setup keep-state in via en0\n"
    "52007 9 540                       deny log all from any to any in via en0\n"
    "65535 40 2400                     allow ip from any to any\n";

PacketFields sshFields(const QString& port)
{
    PacketFields f;
    f.incoming = true;
    f.interfaceName = QStringLiteral("en0");
    f.protocol = QStringLiteral("tcp");
    f.source = QStringLiteral("203.0.113.9");
    f.sourcePort = QStringLiteral("40000");
    f.destination = QStringLiteral("me");
    f.destinationPort = port;
    f.tcpFlags = { QStringLiteral("syn") };
    return f;
}

} // namespace

class PacketTesterTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxGateway> m_sandbox;

private slots:
    void initTestCase()
    {
        setReleaseFlagsFromEnvironment();
        m_sandbox = std::make_unique<SandboxGateway>();
        QVERIFY(m_sandbox->gateway.storeConfiguration(exampleDocument()));
    }

    void cleanup() { PacketTesterController::releaseSharedInstance(); }

    void cleanupTestCase() { m_sandbox.reset(); }

    void packetLineAndAnswer()
    {
        struct Case {
            PacketFields fields;
            const char* line;
        };
        PacketFields icmp;
        icmp.incoming = false;
        icmp.interfaceName = QStringLiteral("en1");
        icmp.protocol = QStringLiteral("icmp");
        icmp.source = QStringLiteral("me");
        icmp.sourcePort = QStringLiteral("5"); // ICMP has no ports: left out
        icmp.destination = QStringLiteral("198.51.100.1");
        icmp.icmpType = 0;
        PacketFields udp;
        udp.protocol = QStringLiteral("udp");
        udp.interfaceName = QStringLiteral(" en0 ");
        udp.source = QStringLiteral("198.51.100.53");
        udp.sourcePort = QStringLiteral("53");
        udp.tcpFlags = { QStringLiteral("syn") }; // not for UDP
        PacketFields blank;
        const Case cases[] = {
            { sshFields(QStringLiteral("22")), "in via en0 tcp 203.0.113.9:40000 -> me:22 syn" },
            { icmp, "out via en1 icmp me -> 198.51.100.1 type 0" },
            { udp, "in via en0 udp 198.51.100.53:53 -> me" },
            { blank, "in via ? tcp 0.0.0.0 -> me" },
        };
        for (const Case& c : cases) {
            QCOMPARE(c.fields.packetLine(), QString::fromLatin1(c.line));
        }

        const auto answer = PacketAnswer::parse(QStringLiteral("packet: in via en0 tcp 1.2.3.4:1 -> me:80 setup\n"
                                                               "passed: 100 count ip from any to any in via en0\n"
                                                               "passed: 200 skipto 1000 tcp from any to any 80\n"
                                                               "decided: 1000 allow tcp from any to any 80 keep-state\n"
                                                               "verdict: rule 1000 allow\n"
                                                               "dynamic: created\n"
                                                               "result: pass\n"
                                                               "\n"
                                                               "packet: second\n"
                                                               "decided: 2000 deny ip from any to any\n"
                                                               "verdict: rule 2000 deny\n"
                                                               "result: deny\n"));
        QVERIFY(answer);
        QCOMPARE(answer->ruleNumber, 1000);
        QCOMPARE(answer->ruleText, QStringLiteral("allow tcp from any to any 80 keep-state"));
        QCOMPARE(answer->passed.size(), 2);
        QCOMPARE(answer->dynamic, QStringLiteral("created"));
        QVERIFY(answer->passes);
        QVERIFY(!PacketAnswer::parse(QStringLiteral("kw-whatif: packet 1: bad port\n")));
    }

    void answerAgainstTheCurrentSettingSelectsTheRuleInTheMonitor()
    {
        MonitorController monitor(m_sandbox->gateway);
        monitor.ruleModel().setRows(IPFWListingParser().parseOutput(std::string_view(kListing)).ruleRows);
        QAction* item = monitor.menuBar()->findChild<QAction*>(QStringLiteral("menuTestPacket"));
        QVERIFY(item);
        item->trigger();
        PacketTesterController& tester = PacketTesterController::sharedInstance();
        QVERIFY(tester.isVisible());

        tester.setFields(sshFields(QStringLiteral("22")));
        tester.testPacket();
        QVERIFY(tester.waitForAnswer(20000));
        QVERIFY2(tester.answer(), qPrintable(tester.answerLabel()->text()));
        QCOMPARE(tester.answer()->ruleNumber, 2004);
        QVERIFY(tester.answer()->passes);
        QCOMPARE(tester.answer()->dynamic, QStringLiteral("created"));
        QVERIFY(tester.answerLabel()->text().contains(QStringLiteral("rule 2004")));
        QVERIFY(tester.detailsView()->toPlainText().contains(QStringLiteral("dynamic rule would be created")));
        auto* table = monitor.findChild<QTableView*>(QStringLiteral("tableView"));
        QVERIFY(table);
        const QModelIndexList selected = table->selectionModel()->selectedRows();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(monitor.ruleModel().rowAt(selected.front().row())->number(RuleKey::OrderItem), std::int64_t { 2004 });

        tester.setFields(sshFields(QStringLiteral("23")));
        tester.testPacket();
        QVERIFY(tester.waitForAnswer(20000));
        QVERIFY(tester.answer());
        QCOMPARE(tester.answer()->ruleNumber, 52007);
        QVERIFY(!tester.answer()->passes);
        QVERIFY(tester.answerLabel()->text().startsWith(QStringLiteral("Blocked")));
        QCOMPARE(monitor.ruleModel()
                     .rowAt(table->selectionModel()->selectedRows().front().row())
                     ->number(RuleKey::OrderItem),
                 std::int64_t { 52007 });
    }

    void answerAgainstTheEditedSettingSelectsTheLineInTheExpertText()
    {
        NewConfigurationController window(m_sandbox->gateway);
        QAction* item = window.menuBar()->findChild<QAction*>(QStringLiteral("menuTestPacket"));
        QVERIFY(item);
        item->trigger();
        PacketTesterController& tester = PacketTesterController::sharedInstance();
        tester.setFields(sshFields(QStringLiteral("443")));
        tester.testPacket();
        QVERIFY(tester.waitForAnswer(20000));
        QVERIFY2(tester.answer(), qPrintable(tester.answerLabel()->text()));
        QCOMPARE(tester.answer()->ruleNumber, 2005);
        auto* expert = window.findChild<QPlainTextEdit*>(QStringLiteral("expertText"));
        QVERIFY(expert);
        QVERIFY2(expert->textCursor().selectedText().startsWith(QStringLiteral("add 2005 ")),
                 qPrintable(expert->textCursor().selectedText()));
        auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("tabView"));
        QVERIFY(tabs->currentWidget()->isAncestorOf(expert));
        QVERIFY(!window.isEdited()); // showing the generated text is no edit
    }

    void malformedPacketIsNamed()
    {
        PacketTesterController& tester = PacketTesterController::sharedInstance();
        tester.testSetting(QStringLiteral("Default"), QStringLiteral("Default"));
        PacketFields f = sshFields(QStringLiteral("99999"));
        tester.setFields(f);
        tester.testPacket();
        QVERIFY(tester.waitForAnswer(20000));
        QVERIFY(!tester.answer());
        QVERIFY2(tester.answerLabel()->text().contains(QStringLiteral("bad destination port \"99999\"")),
                 qPrintable(tester.answerLabel()->text()));

        f = sshFields(QStringLiteral("22"));
        f.interfaceName = QStringLiteral("en7");
        tester.setFields(f);
        tester.testPacket();
        QVERIFY(tester.waitForAnswer(20000));
        QVERIFY(tester.answerLabel()->text().contains(QStringLiteral("unknown interface \"en7\"")));
        QVERIFY(tester.testButton()->isEnabled());
    }
};

QTEST_MAIN(PacketTesterTest)
#include "tst_packettester.moc"

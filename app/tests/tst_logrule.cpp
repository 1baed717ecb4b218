// Rules from log entries: the prefill a log entry gives (inbound TCP, ICMP, outbound, "(null)"
// and odd fields) and the quick panel's add sheet it opens in the configuration window.
#include "AppTestSupport.h"

#include "base/Release.h"
#include "rules/ServiceFilter.h"
#include "windows/NewConfigurationController.h"
#include "windows/QuickTabController.h"
#include "windows/insight/LogRuleMenu.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

LogEntryCells entry(const char* proto, const char* src, const char* srcPort, const char* dst, const char* dstPort,
                    const char* dir, const char* interfaceName = "en0")
{
    LogEntryCells e;
    e.action = QStringLiteral("Deny");
    e.proto = QString::fromLatin1(proto);
    e.srcHost = QString::fromLatin1(src);
    e.srcPort = QString::fromLatin1(srcPort);
    e.dstHost = QString::fromLatin1(dst);
    e.dstPort = QString::fromLatin1(dstPort);
    e.dir = QString::fromLatin1(dir);
    e.interfaceName = QString::fromLatin1(interfaceName);
    return e;
}

template <typename T> T* child(QObject& parent, const char* name)
{
    T* found = parent.findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr) {
        qFatal("no child %s", name);
    }
    return found;
}

} // namespace

class LogRuleTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxGateway> m_sandbox;

private slots:
    void initTestCase()
    {
        setReleaseFlagsFromEnvironment();
        m_sandbox = std::make_unique<SandboxGateway>();
        QVERIFY(m_sandbox->gateway.storeConfiguration(exampleDocument()));
        m_sandbox->gateway.fetchPassword();
    }

    void cleanupTestCase() { m_sandbox.reset(); }

    void prefillFromEntries()
    {
        struct Case {
            LogEntryCells entry;
            bool allow;
            const char* protocol;
            const char* port;
            const char* remote;
            bool incoming;
            const char* icmpTypes;
            const char* notes; // part of the notes
        };
        const Case cases[] = {
            { entry("TCP", "203.0.113.9", "40000", "10.0.0.1", "22", "in"), true, "tcp", "22", "203.0.113.9", true, "",
              "review" },
            { entry("ICMP:8.0", "198.51.100.7", "", "10.0.0.1", "", "in"), false, "icmp", "", "198.51.100.7", true, "8",
              "review" },
            { entry("UDP", "10.0.0.1", "5353", "198.51.100.53", "53", "out"), true, "udp", "53", "198.51.100.53", false,
              "", "review" },
            { entry("TCP", "(null)", "(null)", "10.0.0.1", "(null)", "in"), true, "tcp", "", "", true, "",
              "left empty: port, remote host" },
            { entry("TCP", "host.example", "1", "10.0.0.1", "99999", "sideways"), true, "tcp", "", "", true, "",
              "left empty: direction (taken as incoming), port, remote host" },
            { entry("P:47", "203.0.113.9", "", "10.0.0.1", "", "in"), false, "", "", "203.0.113.9", true, "",
              "left empty: protocol" },
            { entry("ICMP:x", "203.0.113.9", "", "10.0.0.1", "", "in"), false, "icmp", "", "203.0.113.9", true, "",
              "left empty: ICMP type" },
        };
        for (const Case& c : cases) {
            const FilterPrefill p = prefillFromLogEntry(c.entry, c.allow);
            const QByteArray what = c.entry.proto.toLatin1() + ' ' + c.entry.srcHost.toLatin1();
            QCOMPARE(p.allow, c.allow);
            QVERIFY2(p.protocol == QLatin1String(c.protocol), what.constData());
            QVERIFY2(p.port == QLatin1String(c.port), what.constData());
            QVERIFY2(p.remoteHost == QLatin1String(c.remote), what.constData());
            QVERIFY2(p.incoming == c.incoming, what.constData());
            QVERIFY2(p.icmpTypes == QLatin1String(c.icmpTypes), what.constData());
            QVERIFY2(p.notes.contains(QLatin1String(c.notes)), qPrintable(p.notes));
            QVERIFY(p.log);
        }
    }

    void inboundTcpEntryFillsTheSheet()
    {
        NewConfigurationController window(m_sandbox->gateway);
        QString problem;
        QVERIFY2(
            openRuleFromLogEntry(window, entry("TCP", "203.0.113.9", "40000", "10.0.0.1", "22", "in"), true, &problem),
            qPrintable(problem));
        QuickTabController* panel = window.tabViewControllers().front();
        QDialog& sheet = panel->editPanel();
        QVERIFY(sheet.isVisible());
        QCOMPARE(child<QComboBox>(sheet, "servicesMenu")->currentText(), QStringLiteral("Remote Login (SSH)"));
        QCOMPARE(child<QLineEdit>(sheet, "portField")->text(), QStringLiteral("22"));
        QCOMPARE(child<QComboBox>(sheet, "protocolCombo")->currentText(), QStringLiteral("tcp"));
        QCOMPARE(child<QComboBox>(sheet, "actionMenu")->currentIndex(), 0);
        QCOMPARE(child<QComboBox>(sheet, "srcHostMenu")->currentData().toInt(), static_cast<int>(kHostTyped));
        QCOMPARE(child<QComboBox>(sheet, "srcHostCombo")->currentText(), QStringLiteral("203.0.113.9"));
        QCOMPARE(child<QComboBox>(sheet, "dstHostMenu")->currentData().toInt(), static_cast<int>(kHostMyComputer));
        QVERIFY(child<QCheckBox>(panel->advFilterPanel(), "logPackets")->isChecked());

        const int before = panel->dataSource().count();
        child<QPushButton>(sheet, "okButton")->click();
        QCOMPARE(panel->dataSource().count(), before + 1);
        QVERIFY(window.isEdited()); // added for the user to save
        window.revertSettings();
    }

    void icmpEntryFillsTheSheet()
    {
        NewConfigurationController window(m_sandbox->gateway);
        QVERIFY(openRuleFromLogEntry(window, entry("ICMP:8.0", "198.51.100.7", "", "10.0.0.1", "", "in"), false));
        QuickTabController* panel = window.tabViewControllers().front();
        QDialog& sheet = panel->editPanel();
        QVERIFY(sheet.isVisible());
        QCOMPARE(child<QComboBox>(sheet, "protocolCombo")->currentText(), QStringLiteral("icmp"));
        QCOMPARE(child<QLineEdit>(sheet, "portField")->text(), QString());
        QCOMPARE(child<QComboBox>(sheet, "actionMenu")->currentIndex(), 1);
        QCOMPARE(child<QComboBox>(sheet, "srcHostCombo")->currentText(), QStringLiteral("198.51.100.7"));
        QCOMPARE(child<QLineEdit>(panel->advFilterPanel(), "advICMPTypes")->text(), QStringLiteral("8"));
        QVERIFY(child<QLabel>(sheet, "advancedLabel")->text().contains(QStringLiteral("icmptype 8")));
        sheet.reject();
    }

    void entryOfAnUnknownInterfaceIsRefused()
    {
        NewConfigurationController window(m_sandbox->gateway);
        QString problem;
        QVERIFY(!openRuleFromLogEntry(window, entry("TCP", "203.0.113.9", "1", "10.0.0.1", "22", "in", "en9"), true,
                                      &problem));
        QVERIFY2(problem.contains(QStringLiteral("en9")), qPrintable(problem));
        QVERIFY(!openRuleFromLogEntry(window, entry("TCP", "203.0.113.9", "1", "10.0.0.1", "22", "in", "(null)"), true,
                                      &problem));
        QVERIFY2(problem.contains(QStringLiteral("no interface")), qPrintable(problem));
    }
};

QTEST_MAIN(LogRuleTest)
#include "tst_logrule.moc"

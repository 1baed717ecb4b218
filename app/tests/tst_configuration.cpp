// The configuration window on a sandbox with the real tool: the typical road from a new filter
// to the kernel's rules, the setting it stores, the expert text, import, the save prompt at
// quit, and clearing refused while IP sharing runs.
#include "AppTestSupport.h"

#include "adapters/Resources.h"
#include "base/NotificationCenter.h"
#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "core/IPFWManager.h"
#include "rules/ServiceFilter.h"
#include "widgets/MessageBox.h"
#include "windows/NatConfigController.h"
#include "windows/NewConfigurationController.h"
#include "windows/QuickTabController.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

Value interface(const char* name, bool enabled)
{
    Value i;
    i.set("INTERFACE_NAME", Value(name));
    i.set("INTERFACE_LABEL", Value(name));
    i.set("ENABLE_FIREWALL", Value::integer(enabled ? 1 : 0));
    i.set("ADV_ALLOW_ICMP", Value::integer(1));
    return i;
}

} // namespace

class ConfigurationTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxGateway> m_sandbox;

    QString listing() const
    {
        QByteArray out;
        m_sandbox->root.runAsRoot(m_sandbox->root.file(QStringLiteral("/sbin/ipfw")),
                                  { QStringLiteral("-at"), QStringLiteral("list") }, {}, &out);
        return QString::fromUtf8(out);
    }

private slots:
    void initTestCase()
    {
        setReleaseFlagsFromEnvironment();
        m_sandbox = std::make_unique<SandboxGateway>();
    }

    void init()
    {
        MessageBox::clearNextAnswer();
        QVERIFY(m_sandbox->gateway.storeConfiguration(exampleDocument()));
        m_sandbox->gateway.fetchPassword();
    }

    void cleanupTestCase() { m_sandbox.reset(); }

    void typicalRoadFromANewFilterToTheKernel()
    {
        NewConfigurationController window(m_sandbox->gateway);
        QCOMPARE(window.settingKey(), std::string("Default"));
        QVERIFY(window.isAuthorized());
        QVERIFY(!window.isEdited());
        QuickTabController* panel = window.tabViewControllers().front();
        panel->addRule();
        QDialog& sheet = panel->editPanel();
        auto* services = sheet.findChild<QComboBox*>(QStringLiteral("servicesMenu"));
        services->setCurrentIndex(services->findText(QStringLiteral("Remote Login (SSH)")));
        auto* src = sheet.findChild<QComboBox*>(QStringLiteral("srcHostMenu"));
        src->setCurrentIndex(src->findData(2));
        panel->srcHostChanged();
        sheet.findChild<QComboBox*>(QStringLiteral("srcHostCombo"))->setEditText(QStringLiteral("203.0.113.9"));
        sheet.findChild<QPushButton*>(QStringLiteral("okButton"))->click();
        QVERIFY(window.isEdited());

        MessageBox::setNextAnswer(QMessageBox::Yes); // "Activate Now"
        window.toolbarItem(QStringLiteral("saveSettings"))->trigger();
        QVERIFY(window.waitForJobs(60000));
        QCOMPARE(MessageBox::shownCount(), 1);
        QCOMPARE(MessageBox::lastShown()->text,
                 Resources::localizedString(QStringLiteral("Messages"), QStringLiteral("MustClickApply")));
        QVERIFY(!window.isEdited());

        // The stored setting holds the filter, and the kernel the rule generated from it.
        KeepwallPrefs prefs;
        const Value* filters =
            prefs.settingForKey("Default")->get("INTERFACE_LIST")->array()->front().get("FILTER_LIST");
        const Value& added = filters->array()->back();
        QCOMPARE(added.get(ServiceFilterSrcHost)->stringValue(), std::string("203.0.113.9"));
        const std::string generated = prefs.ipfwTextForSettingKey("Default");
        const auto at = generated.find("from 203.0.113.9 to ");
        QVERIFY2(at != std::string::npos, generated.c_str());
        const std::string number = generated.substr(generated.rfind("add ", at) + 4, 4);
        QVERIFY2(listing().contains(QStringLiteral("0%1 ").arg(QString::fromStdString(number))), qPrintable(listing()));
        QVERIFY(listing().contains(QStringLiteral("from 203.0.113.9 to ")));
    }

    void savingOnTheSharingPageStoresQuickModeAndTheExpertPageAsksNothing()
    {
        NewConfigurationController window(m_sandbox->gateway);
        window.showIPSharingSettings();
        QCOMPARE(window.settingFromPages().get("CONFIG_MODE")->stringValue(), std::string("0"));
        QVERIFY(window.windowTitle().startsWith(QStringLiteral("IP Sharing Configuration: ")));

        window.showExpertSettings();
        QCOMPARE(window.settingFromPages().get("CONFIG_MODE")->stringValue(), std::string("2"));
        window.markEdited();
        window.toolbarItem(QStringLiteral("saveSettings"))->trigger();
        QVERIFY(window.waitForJobs(60000));
        QCOMPARE(MessageBox::shownCount(), 0);
        KeepwallPrefs prefs;
        QCOMPARE(prefs.settingForKey("Default")->get("CONFIG_MODE")->stringValue(), std::string("2"));
    }

    void expertTextNumbersOnlyEnabledInterfaces()
    {
        Value setting;
        setting.set("SETTING_NAME", Value("Two"));
        setting.set("INTERFACE_LIST", Value(Value::Array { interface("en0", false), interface("en1", true) }));
        Value document;
        document.set("STORED_SETTINGS", Value(Value::Dictionary { { "Two", setting } }));
        document.set("CURRENT_SETTING", Value("Two"));
        QVERIFY(m_sandbox->gateway.storeConfiguration(document));
        NewConfigurationController window(m_sandbox->gateway);
        QCOMPARE(window.settingKey(), std::string("Two"));
        window.generateExpertTextFromQuick();
        const QString text = window.expertText();
        QVERIFY2(text.contains(QStringLiteral("\nadd 2000 ")) && !text.contains(QStringLiteral("\nadd 3000 ")),
                 qPrintable(text));
        QVERIFY(!text.contains(QStringLiteral("via en0")));

        // The setup assistant's notice shows the page of the interface it configured.
        auto* pages = window.findChild<QTabWidget*>(QStringLiteral("quickTabView"));
        pages->setCurrentIndex(0);
        NotificationCenter::defaultCenter().post(
            { NewConfigurationController::kInterfaceConfigured, Value("en1"), Value() });
        QTRY_COMPARE(pages->currentIndex(), 1);
        QVERIFY(text.contains(QStringLiteral("add 1005 allow icmp from any to any icmptype 0,3,4,11,12,13,14\n")));
        QVERIFY(!window.isEdited());
    }

    void importTakesTheKernelRules()
    {
        m_sandbox->gateway.applyCurrentSetting();
        NewConfigurationController window(m_sandbox->gateway);
        window.revertSettings();
        QVERIFY(window.waitForJobs(30000));
        QVERIFY2(window.expertText().startsWith(QStringLiteral("add 01000 allow ip from any to any via lo*")),
                 qPrintable(window.expertText()));
        QVERIFY(!window.isEdited());
    }

    void savePromptAtQuit()
    {
        NewConfigurationController window(m_sandbox->gateway);
        window.markEdited();
        MessageBox::setNextAnswer(QMessageBox::Cancel);
        QVERIFY(!window.applicationShouldTerminate({}));
        QVERIFY(window.isEdited());
        QCOMPARE(MessageBox::lastShown()->text,
                 QStringLiteral("Save changes to '%1' setting?").arg(window.settingName()));

        window.tabViewControllers().front()->flushSettings(); // untouched
        MessageBox::setNextAnswer(QMessageBox::Discard);
        QVERIFY(window.applicationShouldTerminate({}));
        QVERIFY(!window.isEdited());

        window.markEdited();
        bool continued = false;
        MessageBox::setNextAnswer(QMessageBox::Save);
        QVERIFY(!window.applicationShouldTerminate([&] { continued = true; }));
        QVERIFY(window.waitForJobs(30000));
        QVERIFY(continued);
        QVERIFY(!window.isEdited());
    }

    void clearIsRefusedWhileSharingRuns()
    {
        m_sandbox->gateway.applyCurrentSetting();
        m_sandbox->gateway.startNatdServer();
        QTRY_VERIFY_WITH_TIMEOUT(m_sandbox->gateway.natdIsRunning(), 10000);
        NewConfigurationController window(m_sandbox->gateway);
        MessageBox::setNextAnswer(QMessageBox::Ok);
        window.clearAllRules();
        QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("IP Sharing Running"));
        QVERIFY(listing().contains(QStringLiteral("allow ip from any to any via lo*")));
        m_sandbox->gateway.stopNatdServer();
        QTRY_VERIFY_WITH_TIMEOUT(!m_sandbox->gateway.natdIsRunning(), 10000);
        window.clearAllRules();
        QVERIFY(window.waitForJobs(30000));
        QVERIFY(!listing().contains(QStringLiteral("via lo*")));
    }
};

QTEST_MAIN(ConfigurationTest)
#include "tst_configuration.moc"

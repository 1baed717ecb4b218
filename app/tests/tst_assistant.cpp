// The setup assistant on fresh sandbox roots with the real tool: its pages in order behind the
// lock, the interface menus from the sandbox's network configuration, an empty root brought to
// an activated setting, sharing on the second interface with natd started there, a refused
// store that changes nothing, and the setting it writes in the edge cases.
#include "AppTestSupport.h"

#include "adapters/Resources.h"
#include "adapters/UserDefaults.h"
#include "base/Log.h"
#include "base/NotificationCenter.h"
#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "core/IPFWManager.h"
#include "rules/ServiceFilter.h"
#include "widgets/MessageBox.h"
#include "windows/NewConfigurationController.h"
#include "windows/assistant/KeepwallAssistant.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableView>
#include <QtTest>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

template <typename T> T* child(const QWidget& window, const char* name)
{
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr) {
        qFatal("no child %s", name);
    }
    return found;
}

void click(const QWidget& window, const char* button)
{
    QTest::mouseClick(child<QPushButton>(window, button), Qt::LeftButton);
}

// Checks the service rows with these names, as a click on their check boxes does.
void checkServices(const QWidget& assistant, const QStringList& names)
{
    QAbstractItemModel* model = child<QTableView>(assistant, "allowedTable")->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (names.contains(model->index(row, 1).data().toString())) {
            model->setData(model->index(row, 0), Qt::Checked, Qt::CheckStateRole);
        }
    }
}

QStringList menuNames(const QComboBox* menu)
{
    QStringList names;
    for (int i = 0; i < menu->count(); ++i) {
        names << menu->itemData(i).toString();
    }
    return names;
}

const Value& interfaceNamed(const Value& setting, const std::string& name)
{
    for (const Value& interface : *setting.get("INTERFACE_LIST")->array()) {
        if (interface.get("INTERFACE_NAME")->stringValue() == name) {
            return interface;
        }
    }
    qFatal("no interface %s", name.c_str());
}

// The "KWInterfaceConfiguredNotification" objects posted while it lives.
struct InterfaceNotices {
    QStringList objects;
    ScopedObserver observer { NotificationCenter::defaultCenter(), KeepwallAssistant::kInterfaceConfigured,
                              [this](const Notification& n) {
                                  objects << QString::fromStdString(n.object.stringValue());
                              } };
};

// The log lines written while it lives.
struct LogLines {
    QStringList lines;
    LogCapture capture { [this](const std::string& line) { lines << QString::fromStdString(line); } };
};

} // namespace

class AssistantTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxGateway> m_sandbox;

    IPFWManager& gateway() { return m_sandbox->gateway; }

    QString listing() const
    {
        QByteArray out;
        m_sandbox->root.runAsRoot(m_sandbox->root.file(QStringLiteral("/sbin/ipfw")), { QStringLiteral("list") }, {},
                                  &out);
        return QString::fromUtf8(out);
    }

    QByteArray storedDocument() const
    {
        QFile file(m_sandbox->root.file(
            QStringLiteral("/Library/Preferences/SystemConfiguration/com.wallworks.keepwall.plist")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Opens the assistant as the configuration window's command does and goes to the page.
    void runTo(NewConfigurationController& window, KeepwallAssistant& assistant, int page)
    {
        KeepwallAssistant::runFromConfigurationWindow(window, assistant);
        QVERIFY(assistant.isVisible());
        QTRY_VERIFY(child<QPushButton>(assistant, "pageOneButton")->isEnabled());
        const char* const buttons[] = { "pageOneButton", "pageTwoButton", "pageThreeButton" };
        for (int at = KeepwallAssistant::kIntroPage; at < page && at < KeepwallAssistant::kFinishPage; ++at) {
            QCOMPARE(assistant.currentPage(), at);
            click(assistant, buttons[at]);
        }
        QCOMPARE(assistant.currentPage(), page);
    }

    void waitForEverything(KeepwallAssistant& assistant, NewConfigurationController& window)
    {
        QVERIFY(assistant.waitForJobs(60000));
        QVERIFY(window.waitForJobs(60000));
    }

private slots:
    void initTestCase() { setReleaseFlagsFromEnvironment(); }

    void init()
    {
        MessageBox::clearNextAnswer();
        UserDefaults::setValue(QString::fromLatin1(UserDefaults::kAssistantFirstRun), false);
        m_sandbox = std::make_unique<SandboxGateway>();
    }

    void cleanup() { m_sandbox.reset(); }

    void firstRunPreference()
    {
        const QString key = QString::fromLatin1(UserDefaults::kAssistantFirstRun);
        const struct {
            bool ranBefore;
            bool loaded;
            bool expected;
        } cases[] = { { false, true, true }, { false, false, true }, { true, false, true }, { true, true, false } };
        for (const auto& c : cases) {
            UserDefaults::setValue(key, c.ranBefore);
            QCOMPARE(KeepwallAssistant::shouldRunAtLaunch(c.loaded), c.expected);
        }
    }

    void pagesInOrderBehindTheLock()
    {
        KeepwallAssistant assistant(gateway());
        auto* pageOne = child<QPushButton>(assistant, "pageOneButton");
        QVERIFY(!pageOne->isEnabled());
        QCOMPARE(child<QLabel>(assistant, "lockedWarningLabel")->text(),
                 QStringLiteral("Click the lock button below to start setting up your firewall."));
        QCOMPARE(child<QLabel>(assistant, "lockLabel")->text(),
                 Resources::localizedString(QStringLiteral("Authentication"), QStringLiteral("ClickToEnable")));
        pageOne->click();
        QCOMPARE(assistant.currentPage(), int(KeepwallAssistant::kIntroPage));

        QVERIFY(gateway().fetchPassword());
        QTRY_VERIFY(pageOne->isEnabled());
        QVERIFY(child<QLabel>(assistant, "lockedWarningLabel")->text().isEmpty());
        QCOMPARE(child<QLabel>(assistant, "lockLabel")->text(),
                 Resources::localizedString(QStringLiteral("Authentication"), QStringLiteral("ClickToDisable")));
        click(assistant, "pageOneButton");
        QCOMPARE(assistant.currentPage(), int(KeepwallAssistant::kInterfacePage));

        // The sandbox's location: en0 (fixed 192.168.1.2, the primary service), en1 and a modem.
        auto* external = child<QComboBox>(assistant, "externalMenu");
        auto* local = child<QComboBox>(assistant, "localNetworkMenu");
        QCOMPARE(menuNames(external), QStringList({ "en0", "en1", "ppp0" }));
        QCOMPARE(menuNames(local), QStringList({ "en0", "en1" }));
        QCOMPARE(external->currentData().toString(), QStringLiteral("en0"));
        auto* field = child<QLineEdit>(assistant, "ipAddressField");
        QVERIFY(child<QRadioButton>(assistant, "ipAddressFixed")->isChecked());
        QVERIFY(field->isEnabled());
        QCOMPARE(field->text(), QStringLiteral("192.168.1.2"));
        child<QRadioButton>(assistant, "ipAddressAutomatic")->click();
        QVERIFY(!field->isEnabled());
        child<QRadioButton>(assistant, "ipAddressFixed")->click();
        QVERIFY(field->isEnabled());

        // Text that is no address never leaves the page.
        field->setText(QStringLiteral("10.0.0.2\nadd 1 allow ip from any to any"));
        MessageBox::setNextAnswer(QMessageBox::Ok);
        click(assistant, "pageTwoButton");
        QCOMPARE(MessageBox::shownCount(), 1);
        QCOMPARE(assistant.currentPage(), int(KeepwallAssistant::kInterfacePage));
        field->setText(QStringLiteral("10.0.0.2"));
        click(assistant, "pageTwoButton");
        QCOMPARE(assistant.currentPage(), int(KeepwallAssistant::kServicesPage));

        // One unchecked row per service the list offers to the assistant, in the list's order.
        QStringList offered;
        for (const Value& service :
             *Resources::propertyList(QStringLiteral("ServiceList")).get("ServiceList")->array()) {
            if (service.get("ServiceActionDefault")->integerValue() == 1) {
                offered << QString::fromStdString(service.get("ServiceName")->stringValue());
            }
        }
        auto* table = child<QTableView>(assistant, "allowedTable");
        QCOMPARE(table->model()->rowCount(), offered.size());
        for (int row = 0; row < offered.size(); ++row) {
            QCOMPARE(table->model()->index(row, 1).data().toString(), offered[row]);
            QCOMPARE(table->model()->index(row, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        }
        table->selectRow(0);
        const Value& first = *assistant.allowRules()[0].get("service");
        QCOMPARE(child<QLabel>(assistant, "allowLabel")->text(),
                 QStringLiteral("%1 (%2 port %3)")
                     .arg(QString::fromStdString(first.get("ServiceInfo")->stringValue()),
                          QString::fromStdString(first.get("ServiceProto")->stringValue()),
                          QString::fromStdString(first.get("ServicePort")->stringValue())));
        table->clearSelection();
        QVERIFY(child<QLabel>(assistant, "allowLabel")->text().isEmpty());
        checkServices(assistant, { offered[0] });
        QCOMPARE(assistant.allowRules()[0].get("value")->integerValue(), 1);

        click(assistant, "pageThreeButton");
        QCOMPARE(assistant.currentPage(), int(KeepwallAssistant::kFinishPage));
        click(assistant, "finishBackButton");
        QCOMPARE(assistant.currentPage(), int(KeepwallAssistant::kServicesPage));

        // A new run starts on the first page with nothing checked and the system's address.
        assistant.resetAssistant();
        QCOMPARE(assistant.currentPage(), int(KeepwallAssistant::kIntroPage));
        QVERIFY(assistant.allowRules()[0].get("value") == nullptr);
        QCOMPARE(field->text(), QStringLiteral("192.168.1.2"));
    }

    void anEmptyRootBecomesAnActivatedSetting()
    {
        QVERIFY(storedDocument().isEmpty());
        QVERIFY(gateway().fetchPassword());
        NewConfigurationController window(gateway());
        KeepwallAssistant assistant(gateway(), &window, &window);
        InterfaceNotices notices;
        LogLines log;
        runTo(window, assistant, KeepwallAssistant::kInterfacePage);
        QVERIFY(UserDefaults::boolValue(QString::fromLatin1(UserDefaults::kAssistantFirstRun)));
        child<QRadioButton>(assistant, "ipAddressAutomatic")->click();
        click(assistant, "pageTwoButton");
        checkServices(assistant, { QStringLiteral("Remote Login (SSH)"), QStringLiteral("Web Server (HTTP)") });
        click(assistant, "pageThreeButton");
        QSignalSpy written(&assistant, &KeepwallAssistant::settingWritten);
        click(assistant, "saveAndApplyButton");
        QVERIFY(written.wait(60000));
        QCOMPARE(written.front().front().toBool(), true);
        waitForEverything(assistant, window);
        QVERIFY(!assistant.isVisible());
        QVERIFY(log.lines.contains(QStringLiteral("Configuration stored")));
        QCOMPARE(notices.objects, QStringList { QStringLiteral("en0") });

        // With no key given: the setting "Default", current, default, logging on.
        KeepwallPrefs prefs;
        QCOMPARE(prefs.currentSettingsKey().value_or(""), std::string("Default"));
        QCOMPARE(stringValueOf(prefs.valueForKey("DEFAULT_CONFIGURATION")), std::string("Default"));
        QCOMPARE(integerValueOf(prefs.valueForKey("ENABLE_LOGGING")), 1);
        const Value& setting = *prefs.settingForKey("Default");
        QCOMPARE(setting.get("SETTING_NAME")->stringValue(), std::string("Default"));
        QCOMPARE(setting.get("CONFIG_MODE")->integerValue(), 0);
        QCOMPARE(setting.get("INTERFACE_LIST")->array()->size(), std::size_t(3));
        const Value& en0 = interfaceNamed(setting, "en0");
        QCOMPARE(en0.get("ENABLE_FIREWALL")->integerValue(), 1);
        QCOMPARE(en0.get("IP_HOST_ADDRESS_TYPE")->integerValue(), 0);
        const Value::Array& filters = *en0.get("FILTER_LIST")->array();
        QCOMPARE(filters.size(), std::size_t(2));
        for (const Value& filter : filters) {
            QCOMPARE(filter.get(ServiceFilterAction)->stringValue(), std::string("allow"));
            QCOMPARE(filter.get(ServiceFilterDstHost)->stringValue(), std::string("any"));
            QCOMPARE(filter.get(ServiceFilterDstHostType)->integerValue(), 0);
            QCOMPARE(filter.get(ServiceFilterSrcHostType)->integerValue(), 1);
            QCOMPARE(filter.get(ServiceFilterOrderNumber)->integerValue(), 2000);
        }
        QCOMPARE(interfaceNamed(setting, "en1").get("ENABLE_FIREWALL")->integerValue(), 0);
        QVERIFY(interfaceNamed(setting, "en1").get("FILTER_LIST")->array()->empty());
        const Value& nat = *setting.get("NAT_CONFIG");
        QCOMPARE(stringValueOf(nat.get("NATD_INTERFACENAME")), std::string("en0"));
        QCOMPARE(integerValueOf(nat.get("NATD_INTERFACE")), 0);
        QCOMPARE(integerValueOf(nat.get("NAT_DYNADDRESS")), 1);
        QCOMPARE(integerValueOf(nat.get("NATD_STARTUP")), 0);

        // The kernel holds the rules of the two services on en0, and logging is on.
        const QString rules = listing();
        QVERIFY2(rules.contains(QStringLiteral("allow tcp from any to any 22 in via en0")), qPrintable(rules));
        QVERIFY2(rules.contains(QStringLiteral("allow tcp from any to any 80 in via en0")), qPrintable(rules));
        QVERIFY(gateway().fwLoggingIsEnabled());
    }

    void sharingTheSecondInterfaceStartsNatdThere()
    {
        QVERIFY(gateway().fetchPassword());
        NewConfigurationController window(gateway());
        KeepwallAssistant assistant(gateway(), &window, &window);
        runTo(window, assistant, KeepwallAssistant::kInterfacePage);
        auto* external = child<QComboBox>(assistant, "externalMenu");
        external->setCurrentIndex(external->findData(QStringLiteral("en1")));
        child<QRadioButton>(assistant, "ipAddressFixed")->click();
        child<QLineEdit>(assistant, "ipAddressField")->setText(QStringLiteral("10.0.0.2"));
        click(assistant, "pageTwoButton");
        checkServices(assistant, { QStringLiteral("Remote Login (SSH)") });
        click(assistant, "pageThreeButton");

        // Going to the sharing page writes the setting once already, without sharing at startup.
        QSignalSpy written(&assistant, &KeepwallAssistant::settingWritten);
        click(assistant, "gotoNatSetupButton");
        QCOMPARE(assistant.currentPage(), int(KeepwallAssistant::kSharingPage));
        QVERIFY(written.wait(60000));
        QCOMPARE(KeepwallPrefs().settingForKey("Default")->get("NAT_CONFIG")->get("NATD_STARTUP")->integerValue(), 0);

        auto* local = child<QComboBox>(assistant, "localNetworkMenu");
        local->setCurrentIndex(local->findData(QStringLiteral("en0")));
        child<QComboBox>(assistant, "gatewayIPCombo")->setEditText(QString());
        click(assistant, "saveAndInstallNatdButton");
        QVERIFY(written.wait(60000));
        waitForEverything(assistant, window);

        KeepwallPrefs prefs;
        const Value& setting = *prefs.settingForKey("Default");
        const Value& en1 = interfaceNamed(setting, "en1");
        QCOMPARE(en1.get("ENABLE_FIREWALL")->integerValue(), 1);
        QCOMPARE(en1.get("IP_HOST_ADDRESS_TYPE")->integerValue(), 1);
        QCOMPARE(en1.get("IP_HOST_ADDRESS")->stringValue(), std::string("10.0.0.2"));
        QCOMPARE(en1.get("FILTER_LIST")->array()->front().get(ServiceFilterDstHost)->stringValue(),
                 std::string("10.0.0.2"));
        QCOMPARE(interfaceNamed(setting, "en0").get("ENABLE_FIREWALL")->integerValue(), 0);
        const Value& nat = *setting.get("NAT_CONFIG");
        QCOMPARE(stringValueOf(nat.get("NATD_INTERFACENAME")), std::string("en1"));
        QCOMPARE(integerValueOf(nat.get("NATD_INTERFACE")), 3);
        QCOMPARE(integerValueOf(nat.get("NAT_DYNADDRESS")), 0);
        QCOMPARE(integerValueOf(nat.get("NATD_STARTUP")), 1);
        const Value::Array& gateways = *nat.get("GATEWAYS")->array();
        QCOMPARE(gateways.size(), std::size_t(2));
        QCOMPARE(gateways[0].get("NAT_GATEWAY_IP")->stringValue(), std::string("Default Gateway"));
        QCOMPARE(gateways[0].get("NAT_INTERFACE")->stringValue(), std::string("en1"));
        QCOMPARE(gateways[0].get("NAT_GATEWAY_EXTERNAL")->integerValue(), 1);
        QCOMPARE(gateways[1].get("NAT_GATEWAY_IP")->stringValue(), std::string("192.168.1.1"));
        QCOMPARE(gateways[1].get("NAT_INTERFACE")->stringValue(), std::string("en0"));
        QCOMPARE(gateways[1].get("NAT_GATEWAY_EXTERNAL")->integerValue(), 0);
        QCOMPARE(gateways[1].get("NAT_ALLOW_LOCAL")->integerValue(), 1);

        // Every reader of the document takes the interface the person chose.
        QCOMPARE(KeepwallPrefs::natdInterfaceNameFromSetting(&setting).value_or(""), std::string("en1"));
        QVERIFY(prefs.natdTextForSettingKey("Default").rfind("interface en1\n", 0) == 0);
        QFile script(m_sandbox->root.file(QStringLiteral("/Library/StartupItems/Firewall/Firewall")));
        QVERIFY(script.open(QIODevice::ReadOnly));
        QVERIFY(script.readAll().contains("sharing-start"));
        QFile natdConf(m_sandbox->root.file(QStringLiteral("/etc/natd.conf")));
        QVERIFY(natdConf.open(QIODevice::ReadOnly));
        QVERIFY(natdConf.readAll().startsWith("interface en1\n"));

        // Sharing starts from the stored setting, as the boot script starts it.
        gateway().startNatdServer();
        QVERIFY(gateway().natdIsRunning());
        QVERIFY2(listing().contains(QStringLiteral("divert 8668 ip from any to any via en1")), qPrintable(listing()));

        // While natd runs, the assistant is refused after its first run.
        MessageBox::setNextAnswer(QMessageBox::Ok);
        KeepwallAssistant::runFromConfigurationWindow(window, assistant);
        QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("IP Sharing Running"));
        QCOMPARE(MessageBox::lastShown()->text,
                 QStringLiteral("You cannot alter the firewall rules while IP Sharing is running.\n"
                                "Please stop IP Sharing first."));
        QVERIFY(!assistant.isVisible());
        QCOMPARE(window.selectedPage(), 1);

        gateway().stopNatdServer();
        QTRY_VERIFY_WITH_TIMEOUT(!gateway().natdIsRunning(), 10000);
    }

    void aRefusedStoreChangesNothing()
    {
        QVERIFY(gateway().fetchPassword());
        QVERIFY(gateway().storeConfiguration(exampleDocument()));
        const QByteArray before = storedDocument();
        QVERIFY(!before.isEmpty());
        const QString rulesBefore = listing();
        NewConfigurationController window(gateway());
        KeepwallAssistant assistant(gateway(), &window, &window);
        runTo(window, assistant, KeepwallAssistant::kFinishPage);
        QCOMPARE(assistant.currentSettingKey(), std::string("Default"));

        gateway().deauthenticate();
        m_sandbox->panel.cancel = true;
        const int asked = m_sandbox->panel.asked;
        InterfaceNotices notices;
        LogLines log;
        QSignalSpy written(&assistant, &KeepwallAssistant::settingWritten);
        click(assistant, "saveAndApplyButton");
        QTRY_COMPARE(written.count(), 1);
        waitForEverything(assistant, window);
        QCOMPARE(written.front().front().toBool(), false);
        // Asked once for the store and once more for switching logging on.
        QCOMPARE(m_sandbox->panel.asked - asked, 2);
        QVERIFY(log.lines.contains(QStringLiteral("ERROR: Configuration not stored")));
        QCOMPARE(notices.objects, QStringList { QStringLiteral("en0") });
        QCOMPARE(storedDocument(), before);
        QCOMPARE(listing(), rulesBefore);
        // The sheet stays on its page, so the person can unlock and try again.
        QVERIFY(assistant.isVisible());
        QCOMPARE(assistant.currentPage(), int(KeepwallAssistant::kFinishPage));
    }

    void theSettingItWritesInTheEdgeCases()
    {
        QVERIFY(gateway().fetchPassword());
        Value document = exampleDocument();
        document.get("STORED_SETTINGS")->get("Office")->set("ASSOCIATED_SCSET", Value("/Sets/0"));
        QVERIFY(gateway().storeConfiguration(document));
        KeepwallAssistant assistant(gateway());
        KeepwallPrefs prefs;

        // An expert setting under a stored key becomes a quick one that keeps its name.
        assistant.setCurrentSettingKey("Office");
        Value setting = assistant.settingToStore(prefs);
        QCOMPARE(setting.get("SETTING_NAME")->stringValue(), std::string("Office (expert)"));
        QCOMPARE(setting.get("ASSOCIATED_SCSET")->stringValue(), std::string("/Sets/0"));
        QVERIFY(setting.get("CONFIG_MODE")->isNumber());
        QCOMPARE(setting.get("CONFIG_MODE")->integerValue(), 0);
        QCOMPARE(setting.get("EXPERT_CONFIG_TEXT")->stringValue(), std::string());
        QCOMPARE(setting.get("NATD_EXPERT_TEXT")->stringValue(), std::string());
        QCOMPARE(setting.get("EXPERT_CONFIG_EDIT")->integerValue(), 0);
        // No service checked: no filter, but the firewall is on for the interface.
        const Value& en0 = interfaceNamed(setting, "en0");
        QCOMPARE(en0.get("ENABLE_FIREWALL")->integerValue(), 1);
        QVERIFY(en0.get("FILTER_LIST")->array()->empty());
        // The store has a default setting already: it stays.
        QVERIFY(assistant.documentToStore(prefs).get("DEFAULT_CONFIGURATION") == nullptr);

        // No key: "Default", whose stored name is kept.
        assistant.setCurrentSettingKey("");
        QCOMPARE(assistant.currentSettingKey(), std::string("Default"));
        QCOMPARE(assistant.settingToStore(prefs).get("SETTING_NAME")->stringValue(), std::string("Home"));
        QVERIFY(assistant.settingToStore(prefs).get("ASSOCIATED_SCSET") == nullptr);
        assistant.setCurrentSettingKey("New-1");
        QCOMPARE(assistant.settingToStore(prefs).get("SETTING_NAME")->stringValue(), std::string("Default"));

        // The older selector of each interface name.
        const std::pair<const char*, std::optional<int>> selectors[] = {
            { "en0", 0 }, { "ppp0", 1 }, { "pppoe0", 2 }, { "en1", 3 }, { "en2", std::nullopt }, { "", std::nullopt }
        };
        for (const auto& [name, selector] : selectors) {
            QCOMPARE(KeepwallAssistant::natdInterfaceSelector(name), selector);
        }
    }
};

QTEST_MAIN(AssistantTest)
#include "tst_assistant.moc"

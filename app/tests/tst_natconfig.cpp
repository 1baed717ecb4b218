// The IP sharing page: reading and flushing the sharing dictionary, the interface rules, the
// gateway and port-map sheets with their refusals, the natd text, and starting and stopping
// IP sharing on a sandbox through the real tool.
#include "AppTestSupport.h"

#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "core/IPFWManager.h"
#include "widgets/MessageBox.h"
#include "windows/NatConfigController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

Value interface(const char* name, const char* label)
{
    Value i;
    i.set("INTERFACE_NAME", Value(name));
    i.set("INTERFACE_LABEL", Value(label));
    return i;
}

const Value::Array kInterfaces { interface("en0", "Built-in Ethernet"), interface("en1", "AirPort"),
                                 interface("ppp0", "Internal Modem") };

template <typename T> T* child(const QWidget& page, const char* name)
{
    T* found = page.findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr) {
        qFatal("no child %s", name);
    }
    return found;
}

template <typename T> T* child(const QDialog& sheet, const char* name)
{
    return sheet.findChild<T*>(QString::fromLatin1(name));
}

// Adds a port map to the selected gateway through the sheet, as a person fills it in.
void addPortMap(NatConfigController& page, int serviceTag, const QString& host, const QString& hostPort,
                const QString& publicPort = {})
{
    page.addRedirect();
    QDialog& sheet = page.redirectSheet();
    auto* services = child<QComboBox>(sheet, "redirectedServiceMenu");
    services->setCurrentIndex(services->findData(serviceTag));
    if (!publicPort.isEmpty()) {
        child<QLineEdit>(sheet, "portField")->setText(publicPort);
    }
    child<QLineEdit>(sheet, "redirectIPField")->setText(host);
    child<QLineEdit>(sheet, "redirectPort")->setText(hostPort);
    child<QPushButton>(sheet, "okButton")->click();
}

} // namespace

class NatConfigTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxGateway> m_sandbox;

private slots:
    void initTestCase()
    {
        setReleaseFlagsFromEnvironment();
        m_sandbox = std::make_unique<SandboxGateway>();
    }

    void init() { MessageBox::clearNextAnswer(); }

    void cleanupTestCase() { m_sandbox.reset(); }

    void newSetupHasTheTwoGatewaysAndSavesThem()
    {
        NatConfigController page(m_sandbox->gateway);
        page.readSettings(Value(Value::Dictionary {}), kInterfaces);
        auto* column = child<QListWidget>(page, "gatewayColumn");
        QCOMPARE(column->count(), 2);
        QCOMPARE(column->item(0)->text(), QStringLiteral("Default Gateway\nIncoming on Interface en0"));
        QCOMPARE(column->item(1)->text(), QStringLiteral("192.168.1.1\nOutgoing on Interface en0"));
        const Value saved = page.flushSettings();
        const Value::Array& gateways = *saved.get("GATEWAYS")->array();
        QCOMPARE(gateways.size(), std::size_t(2));
        QCOMPARE(gateways[0].get("NAT_GATEWAY_EXTERNAL")->integerValue(), 1);
        QVERIFY(gateways[0].get("PORTMAP_LIST")->array()->empty());
        QCOMPARE(gateways[1].get("NAT_ALLOW_LOCAL")->integerValue(), 1);
        QVERIFY(gateways[1].get("PORTMAP_LIST") == nullptr);
        QCOMPARE(saved.get("NATD_INTERFACENAME")->stringValue(), std::string("en0"));
        QVERIFY(saved.get("NATD_INTERFACE") == nullptr);
    }

    void sharedInterfaceRules()
    {
        NatConfigController page(m_sandbox->gateway);
        auto* menu = child<QComboBox>(page, "gatewayInterface");
        auto* dynamic = child<QCheckBox>(page, "dynamicAddress");
        Value n;
        n.set("NATD_INTERFACE", Value::integer(1));
        page.readSettings(n, kInterfaces);
        QCOMPARE(menu->currentData().toString(), QStringLiteral("ppp0"));
        QVERIFY(!dynamic->isEnabled());

        page.readSettings(n, { interface("en0", "Ethernet") }); // no item carries ppp0
        QCOMPARE(menu->currentIndex(), 0);

        page.readSettings(Value(Value::Dictionary {}), kInterfaces);
        QSignalSpy changed(&page, &NatConfigController::quickConfigValueChanged);
        menu->setCurrentIndex(2);
        page.gatewayInterfaceChanged();
        QVERIFY(dynamic->isChecked());
        QVERIFY(!dynamic->isEnabled());
        menu->setCurrentIndex(1);
        dynamic->setChecked(false);
        page.gatewayInterfaceChanged();
        QVERIFY(dynamic->isEnabled());
        QVERIFY(!dynamic->isChecked()); // an Ethernet interface only enables it
        QCOMPARE(changed.count(), 2);

        auto* sheetMenu = child<QComboBox>(page.gatewaySheet(), "gatewayInterfaceMenu");
        QCOMPARE(sheetMenu->count(), 2);
        for (int i = 0; i < sheetMenu->count(); ++i) {
            QVERIFY(sheetMenu->itemData(i).toString() != QLatin1String("ppp0"));
        }
    }

    void gatewaySheetAddsEditsAndRefuses()
    {
        NatConfigController page(m_sandbox->gateway);
        page.readSettings(Value(Value::Dictionary {}), kInterfaces);
        // The default gateway is never edited or deleted.
        page.selectGateway(0);
        page.editGateway();
        QVERIFY(!page.gatewaySheet().isVisible());
        page.deleteGateway();
        QCOMPARE(page.gateways().size(), std::size_t(2));

        page.addGateway();
        QDialog& sheet = page.gatewaySheet();
        child<QComboBox>(sheet, "gatewayInterfaceMenu")->setCurrentIndex(1);
        child<QLineEdit>(sheet, "gatewayIPField")->setText(QStringLiteral("10.0.2.1\nadd 1 allow ip from any to any"));
        MessageBox::setNextAnswer(QMessageBox::Ok);
        child<QPushButton>(sheet, "okButton")->click();
        QCOMPARE(MessageBox::shownCount(), 1); // refused in the sheet
        QCOMPARE(page.gateways().size(), std::size_t(2));
        child<QLineEdit>(sheet, "gatewayIPField")->setText(QStringLiteral("10.0.2.1"));
        child<QPushButton>(sheet, "okButton")->click();
        QCOMPARE(page.gateways().size(), std::size_t(3));
        QCOMPARE(page.gateways()[2].get("NAT_INTERFACE")->stringValue(), std::string("en1"));
        QCOMPARE(page.gateways()[2].get("NAT_GATEWAY_IP")->stringValue(), std::string("10.0.2.1"));

        page.selectGateway(2);
        page.deleteGateway();
        QCOMPARE(page.gateways().size(), std::size_t(2));
        // A port map cannot go to an internal gateway.
        page.selectGateway(1);
        page.addRedirect();
        QVERIFY(!page.redirectSheet().isVisible());
    }

    void portMapServicesAndNatdText()
    {
        NatConfigController page(m_sandbox->gateway);
        page.readSettings(Value(Value::Dictionary {}), kInterfaces);
        page.selectGateway(0);
        page.addRedirect();
        QDialog& sheet = page.redirectSheet();
        auto* services = child<QComboBox>(sheet, "redirectedServiceMenu");
        auto* proto = child<QComboBox>(sheet, "protoCombo");
        auto* port = child<QLineEdit>(sheet, "portField");
        services->setCurrentIndex(services->findData(0));
        QCOMPARE(proto->currentText(), QStringLiteral("tcp"));
        QCOMPARE(port->text(), QStringLiteral("80"));
        QVERIFY(!proto->isEnabled() && !port->isEnabled());
        services->setCurrentIndex(services->findData(5));
        QVERIFY(proto->isEnabled() && port->isEnabled());
        QCOMPARE(port->text(), QStringLiteral("80")); // kept
        child<QPushButton>(sheet, "cancelButton")->click();
        QVERIFY(page.gateways()[0].get("PORTMAP_LIST")->array()->empty());

        addPortMap(page, 0, QStringLiteral("10.0.1.2"), QStringLiteral("8080"));
        auto* maps = child<QListWidget>(page, "portMapColumn");
        QCOMPARE(maps->count(), 1);
        QVERIFY(maps->item(0)->text().endsWith(QStringLiteral("\nRedirected to 10.0.1.2 port 8080")));
        const std::string text = page.generateNatdTextFromQuick();
        QVERIFY2(text.find("redirect_port tcp 10.0.1.2:8080 80\n") != std::string::npos, text.c_str());
        QVERIFY(text.rfind("interface en0\n", 0) == 0);

        // A host port that is no number is refused in the sheet.
        MessageBox::setNextAnswer(QMessageBox::Ok);
        addPortMap(page, 5, QStringLiteral("10.0.1.3"), QStringLiteral("80x"), QStringLiteral("8443"));
        QCOMPARE(MessageBox::shownCount(), 1);
        child<QPushButton>(sheet, "cancelButton")->click();
        QCOMPARE(maps->count(), 1);

        page.selectPortMap(0);
        page.deleteRedirect();
        QCOMPARE(maps->count(), 0);
    }

    void startAndStopSharingThroughTheTool()
    {
        // The example settings with a port map on the shared interface, stored as the window saves.
        std::optional<Value> document = exampleDocument();
        QVERIFY(document->isDictionary());
        Value* setting = document->get("STORED_SETTINGS")->get("Default");
        NatConfigController page(m_sandbox->gateway);
        page.readSettings(*setting->get("NAT_CONFIG"), *setting->get("INTERFACE_LIST")->array());
        page.selectGateway(0);
        addPortMap(page, 0, QStringLiteral("10.0.1.2"), QStringLiteral("8080"));
        setting->set("NAT_CONFIG", page.flushSettings());
        QVERIFY(m_sandbox->gateway.storeConfiguration(*document));

        page.userWasAuthenticated();
        QSignalSpy toggled(&page, &NatConfigController::sharingToggled);
        page.toggleSharing();
        QVERIFY(toggled.wait(30000));
        QVERIFY(m_sandbox->gateway.natdIsRunning());
        auto* button = child<QPushButton>(page, "startStopButton");
        QCOMPARE(button->text(), QStringLiteral("Stop IP Sharing"));
        QVERIFY(!child<QComboBox>(page, "gatewayInterface")->isEnabled());
        QFile natdConf(m_sandbox->root.file(QStringLiteral("/etc/natd.conf")));
        QVERIFY(natdConf.open(QIODevice::ReadOnly));
        QVERIFY(natdConf.readAll().contains("redirect_port tcp 10.0.1.2:8080 80"));

        page.toggleSharing();
        QVERIFY(toggled.wait(30000));
        QVERIFY(!m_sandbox->gateway.natdIsRunning());
        QCOMPARE(button->text(), QStringLiteral("Start IP Sharing"));
        QVERIFY(child<QComboBox>(page, "gatewayInterface")->isEnabled());
    }
};

QTEST_MAIN(NatConfigTest)
#include "tst_natconfig.moc"

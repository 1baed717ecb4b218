// The quick panel of one interface: load and save of the interface dictionary, the filter
// sheet (adding, editing, refusing what the rule file cannot take), the order numbers, and copy
// and paste of filters between two interfaces.
#include "AppTestSupport.h"

#include "base/Release.h"
#include "core/IPFWManager.h"
#include "rules/ServiceFilter.h"
#include "widgets/MessageBox.h"
#include "windows/QuickTabController.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QtTest>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

Value filter(const char* label, const char* port, std::int64_t order)
{
    Value f;
    f.set(ServiceFilterLabel, Value(label));
    f.set(ServiceFilterPort, Value(port));
    f.set(ServiceFilterProtocol, Value("tcp"));
    f.set(ServiceFilterAction, Value("allow"));
    f.set(ServiceFilterSrcHostType, Value::integer(1));
    f.set(ServiceFilterDstHostType, Value::integer(0));
    f.set(ServiceFilterOrderNumber, Value::integer(order));
    return f;
}

Value interfaceWith(std::size_t filters, const char* name = "en0")
{
    Value i;
    i.set("INTERFACE_NAME", Value(name));
    i.set("INTERFACE_LABEL", Value("Built-in Ethernet"));
    i.set("ENABLE_FIREWALL", Value::integer(1));
    i.set("SOMETHING_ELSE", Value("not kept"));
    Value::Array list;
    for (std::size_t n = 0; n < filters; ++n) {
        list.push_back(filter("Web Server (HTTP)", "80", static_cast<std::int64_t>(1000 + 10 * n)));
        list.back().set("Tag", Value::integer(static_cast<std::int64_t>(n)));
    }
    i.set("FILTER_LIST", Value(std::move(list)));
    return i;
}

template <typename T> T* in(const QDialog& sheet, const char* name)
{
    return sheet.findChild<T*>(QString::fromLatin1(name));
}

// Fills the open filter sheet as a person would and presses OK.
void fillSheet(QuickTabController& panel, const QString& service, int srcType, const QString& srcHost,
               const QString& port = {})
{
    QDialog& sheet = panel.editPanel();
    auto* services = in<QComboBox>(sheet, "servicesMenu");
    const int index = services->findText(service);
    if (index >= 0) {
        services->setCurrentIndex(index);
    } else {
        services->setCurrentIndex(services->findText(QStringLiteral("Custom Service")));
        services->setEditText(service);
    }
    if (!port.isEmpty()) {
        in<QLineEdit>(sheet, "portField")->setText(port);
    }
    auto* src = in<QComboBox>(sheet, "srcHostMenu");
    src->setCurrentIndex(src->findData(srcType));
    panel.srcHostChanged();
    if (!srcHost.isEmpty()) {
        in<QComboBox>(sheet, "srcHostCombo")->setEditText(srcHost);
    }
    in<QPushButton>(sheet, "okButton")->click();
}

std::vector<std::int64_t> tags(QuickTabController& panel)
{
    std::vector<std::int64_t> out;
    for (const Value& row : panel.dataSource().rows()) {
        out.push_back(row.get("Tag") != nullptr ? row.get("Tag")->integerValue() : -1);
    }
    return out;
}

} // namespace

class QuickTabTest : public QObject {
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

    void loadAndSaveTheInterface()
    {
        QuickTabController panel(m_sandbox->gateway);
        panel.readSettings(interfaceWith(2));
        const Value saved = panel.flushSettings();
        // Source routing refused and multicast DNS allowed when the setting does not say.
        QCOMPARE(saved.get("DENY_SOURCE_ROUTE")->integerValue(), 1);
        QCOMPARE(saved.get("ADV_ALLOW_RENDEZVOUS")->integerValue(), 1);
        QCOMPARE(saved.get("ADV_ALLOW_ICMP")->integerValue(), 0);
        QVERIFY(saved.get("SOMETHING_ELSE") == nullptr);
        QCOMPARE(saved.get("FILTER_LIST")->array()->size(), std::size_t(2));
        QCOMPARE(saved.get("INTERFACE_NAME")->stringValue(), std::string("en0"));
        QCOMPARE(saved.dictionary()->size(), std::size_t(18)); // exactly the panel's keys
        QVERIFY(panel.isFirewallEnabled());

        QuickTabController pppoe(m_sandbox->gateway);
        pppoe.readSettings(interfaceWith(0, "pppoe0"));
        QCOMPARE(pppoe.interfaceName(), std::string("ppp0"));
    }

    void addingGoesWhereTheSelectionSays()
    {
        QuickTabController panel(m_sandbox->gateway);
        panel.readSettings(interfaceWith(4));
        panel.enableControls();
        QSignalSpy changed(&panel, &QuickTabController::quickConfigValueChanged);

        panel.selectRow(2);
        panel.addRule();
        fillSheet(panel, QStringLiteral("Remote Login (SSH)"), 2, QStringLiteral("203.0.113.9"));
        QCOMPARE(tags(panel), (std::vector<std::int64_t> { 0, 1, -1, 2, 3 }));
        const Value& added = panel.dataSource().rows()[2];
        QCOMPARE(added.get(ServiceFilterOrderNumber)->integerValue(), 1040); // row count before it x 10 + 1000
        QCOMPARE(added.get(ServiceFilterLabel)->stringValue(), std::string("Remote Login (SSH)"));
        QCOMPARE(added.get(ServiceFilterPort)->stringValue(), std::string("22"));
        QCOMPARE(added.get(ServiceFilterProtocol)->stringValue(), std::string("tcp"));
        QCOMPARE(added.get(ServiceFilterSrcHostType)->integerValue(), 2);
        QCOMPARE(added.get(ServiceFilterSrcHost)->stringValue(), std::string("203.0.113.9"));
        QCOMPARE(added.get(ServiceFilterAction)->stringValue(), std::string("allow"));
        QVERIFY(changed.count() >= 1);

        panel.selectRow(0); // the first row selected: the new filter goes to the end
        panel.addRule();
        fillSheet(panel, QStringLiteral("My Game"), 1, {}, QStringLiteral("27015"));
        QCOMPARE(panel.dataSource().rows().back().get(ServiceFilterLabel)->stringValue(),
                 std::string("Custom Service"));
        QCOMPARE(panel.dataSource().rows().back().get(ServiceFilterCustomLabel)->stringValue(), std::string("My Game"));
        QCOMPARE(panel.dataSource().data(panel.dataSource().index(5, 2)).toString(),
                 QStringLiteral("My Game\nPort: 27015  Protocol: tcp "));
    }

    void theSheetRefusesWhatTheRuleFileCannotTake()
    {
        QuickTabController panel(m_sandbox->gateway);
        panel.readSettings(interfaceWith(1));
        panel.enableControls();
        struct Case {
            const char* port;
            const char* host;
        };
        const Case cases[] = {
            { "http", "" },         { "70000", "" },          { "22\nadd 1 allow ip from any to any", "" },
            { "22", "10.0.0.300" }, { "22", "10.0.0.1 # x" }, { "1-2-3", "" }
        };
        for (const Case& c : cases) {
            MessageBox::clearNextAnswer();
            MessageBox::setNextAnswer(QMessageBox::Ok);
            panel.addRule();
            fillSheet(panel, QStringLiteral("Custom Service"), c.host[0] ? 2 : 1, QString::fromLatin1(c.host),
                      QString::fromLatin1(c.port));
            QVERIFY2(MessageBox::shownCount() == 1, c.port);
            QVERIFY(panel.editPanel().isVisible());
            in<QPushButton>(panel.editPanel(), "cancelButton")->click();
        }
        QCOMPARE(panel.dataSource().count(), 1);
    }

    void editingNeedsAnEnabledCheckedPanelAndCancelKeepsTheFilter()
    {
        QuickTabController panel(m_sandbox->gateway);
        panel.readSettings(interfaceWith(2));
        panel.selectRow(0);
        panel.editRule(); // locked: nothing opens
        QVERIFY(!panel.editPanel().isVisible());
        panel.enableControls();
        const Value before = panel.dataSource().rows()[0];
        panel.editRule();
        QVERIFY(panel.editPanel().isVisible());
        auto* action = in<QComboBox>(panel.editPanel(), "actionMenu");
        action->setCurrentIndex(1);
        in<QPushButton>(panel.editPanel(), "cancelButton")->click();
        QCOMPARE(panel.dataSource().rows()[0], before);

        panel.editRule();
        action->setCurrentIndex(1);
        in<QPushButton>(panel.editPanel(), "okButton")->click();
        QCOMPARE(panel.dataSource().rows()[0].get(ServiceFilterAction)->stringValue(), std::string("deny"));
        QCOMPARE(panel.dataSource().rows()[0].get(ServiceFilterShouldLog)->integerValue(), 1);
    }

    void ruleTextInThePanelsForm()
    {
        Value i = interfaceWith(2, "pppoe0");
        i.set("ENABLE_FIREWALL", Value::integer(0)); // not looked at
        i.set("ADV_ALLOW_BROADCAST", Value::integer(1));
        i.set("ADV_ALLOW_BOOTP", Value::integer(1));
        i.set("IP_HOST_ADDRESS_TYPE", Value::integer(1));
        i.set("IP_HOST_ADDRESS", Value("10.0.0.2"));
        QuickTabController panel(m_sandbox->gateway);
        panel.readSettings(i);
        std::string text;
        panel.appendFirewallRules(panel.firewallOptions(), text, 3000);
        const auto at = [&](const char* line) { return text.find(line); };
        QVERIFY2(at("add 3000 allow udp from any 67-68 to 10.0.0.2 67-68 via ppp0\n") != std::string::npos,
                 text.c_str());
        QVERIFY(at("## Allow Broadcast (for DHCP)\n") != std::string::npos);
        QVERIFY(at("add 3001 allow udp from any to 255.255.255.255 67-68 via ppp0\n") != std::string::npos);
        QVERIFY(at("add 3002 allow udp from any 5353 to any 5353 keep-state via ppp0\n") != std::string::npos);
        QVERIFY(at("add 3003 unreach host log ip from any to any ipopt ssrr,lsrr via ppp0\n") != std::string::npos);
        QVERIFY(at("10.0.0.2 80") != std::string::npos); // My Computer ends are this computer's address
        // The panel's own filters took their numbers and addresses.
        QCOMPARE(panel.dataSource().rows()[0].get(ServiceFilterOrderNumber)->integerValue(), 3004);
        QCOMPARE(panel.dataSource().rows()[1].get(ServiceFilterOrderNumber)->integerValue(), 3005);
        QCOMPARE(panel.dataSource().rows()[1].get(ServiceFilterDstHost)->stringValue(), std::string("10.0.0.2"));
    }

    void copyAndPasteBetweenInterfaces()
    {
        QuickTabController first(m_sandbox->gateway);
        first.readSettings(interfaceWith(3));
        first.enableControls();
        first.selectRow(0);
        first.selectRow(2);
        auto* table = first.findChild<QTableView*>(QStringLiteral("ruleTable"));
        table->selectionModel()->select(first.dataSource().index(0, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
        first.handleCopyAction();
        const QMimeData* copied = QApplication::clipboard()->mimeData();
        QVERIFY(copied->hasFormat(QLatin1String(QuickTabController::kCopyFlavor)));
        const QString text = copied->text();
        QVERIFY2(text.contains(QStringLiteral("add 2000 ")) && text.contains(QStringLiteral("add 2001 ")),
                 qPrintable(text));
        QVERIFY(!text.contains(QStringLiteral("add 2002 ")));

        QuickTabController second(m_sandbox->gateway);
        second.readSettings(interfaceWith(0, "en1"));
        second.enableControls();
        QSignalSpy changed(&second, &QuickTabController::quickConfigValueChanged);
        second.handlePasteAction();
        QCOMPARE(second.dataSource().count(), 2);
        QCOMPARE(changed.count(), 1);
        // The dictionaries round-trip exactly (with the numbers the copy gave them).
        const QByteArray xml = copied->data(QLatin1String(QuickTabController::kCopyFlavor));
        const auto list = valueFromXml(std::string_view(xml.constData(), static_cast<std::size_t>(xml.size())));
        QCOMPARE(Value(second.dataSource().rows()), *list);
    }
};

QTEST_MAIN(QuickTabTest)
#include "tst_quicktab.moc"

// The interface editor on fresh sandboxes with the real tool: the names offered from the
// machine's network services, adding, relabelling and deleting interfaces as the configuration
// window's pages show them, refused names, and stores that are refused or would land in
// another setting.
#include "AppTestSupport.h"

#include "adapters/NotificationBridge.h"
#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "models/ArrayTableDataSource.h"
#include "widgets/MessageBox.h"
#include "windows/NewConfigurationController.h"
#include "windows/settings/InterfaceEditController.h"

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

template <typename T> T* child(const QWidget& parent, const char* name)
{
    return parent.findChild<T*>(QString::fromLatin1(name));
}

Value::Array storedInterfaces(const std::string& key = "Default")
{
    KeepwallPrefs prefs;
    const Value* setting = prefs.settingForKey(key);
    const Value* list = setting != nullptr ? setting->get("INTERFACE_LIST") : nullptr;
    return list != nullptr && list->isArray() ? *list->array() : Value::Array {};
}

QStringList pageLabels(const NewConfigurationController& window)
{
    auto* pages = window.findChild<QTabWidget*>(QStringLiteral("quickTabView"));
    QStringList labels;
    for (int page = 0; page < pages->count(); ++page) {
        labels << pages->tabText(page);
    }
    return labels;
}

} // namespace

class InterfacesTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxGateway> m_sandbox;

    static void fillSheet(InterfaceEditController& editor, const QString& name, const QString& label)
    {
        QDialog& sheet = editor.editPanel();
        QVERIFY(sheet.isVisible());
        child<QComboBox>(sheet, "interfaceCombo")->setEditText(name);
        child<QLineEdit>(sheet, "labelField")->setText(label);
        child<QPushButton>(sheet, "okButton")->click();
    }

    static int rowOf(const InterfaceEditController& editor, const char* name)
    {
        const Value::Array& rows = editor.dataSource().rows();
        for (std::size_t row = 0; row < rows.size(); ++row) {
            if (stringValueOf(rows[row].get("INTERFACE_NAME")) == name) {
                return static_cast<int>(row);
            }
        }
        return -1;
    }

private slots:
    void initTestCase() { setReleaseFlagsFromEnvironment(); }

    void init()
    {
        MessageBox::clearNextAnswer();
        m_sandbox = std::make_unique<SandboxGateway>();
        QVERIFY(m_sandbox->gateway.storeConfiguration(exampleDocument()));
        m_sandbox->gateway.fetchPassword();
        NotificationBridge::sharedInstance().observeDistributed(true);
    }

    void cleanup()
    {
        NotificationBridge::sharedInstance().observeDistributed(false);
        m_sandbox.reset();
    }

    void offersTheNetworkServicesAndShowsTheCurrentSetting()
    {
        InterfaceEditController editor(m_sandbox->gateway);
        auto* combo = child<QComboBox>(editor.editPanel(), "interfaceCombo");
        QStringList offered;
        for (int i = 0; i < combo->count(); ++i) {
            offered << combo->itemText(i);
        }
        // The sandbox's location has two Ethernet services and a modem (offered as ppp0).
        offered.sort();
        QCOMPARE(offered, (QStringList { QStringLiteral("en0"), QStringLiteral("en1"), QStringLiteral("ppp0") }));
        QCOMPARE(editor.windowTitle(), QStringLiteral("Interfaces for 'Home'"));
        QCOMPARE(editor.dataSource().count(), 1);
    }

    void addRelabelAndDeleteReachTheConfigurationWindow()
    {
        NewConfigurationController window(m_sandbox->gateway);
        InterfaceEditController editor(m_sandbox->gateway);
        QCOMPARE(pageLabels(window), QStringList { QStringLiteral("Built-in Ethernet") });

        editor.addInterface();
        fillSheet(editor, QStringLiteral("en2"), QStringLiteral("Ethernet 2"));
        QVERIFY(editor.waitForJobs(60000));
        Value::Array stored = storedInterfaces();
        QCOMPARE(stored.size(), std::size_t { 2 });
        Value expected = InterfaceEditController::getInterfaceDefaults();
        expected.set("INTERFACE_NAME", Value("en2"));
        expected.set("INTERFACE_LABEL", Value("Ethernet 2"));
        QVERIFY(stored.back() == expected);
        QCOMPARE(editor.dataSource().count(), 2);
        QTRY_COMPARE(pageLabels(window),
                     (QStringList { QStringLiteral("Built-in Ethernet"), QStringLiteral("Ethernet 2") }));

        // Relabelling keeps the filters and policies of the interface.
        const Value before = storedInterfaces().front();
        editor.selectRow(rowOf(editor, "en0"));
        editor.editInterface();
        QCOMPARE(child<QLineEdit>(editor.editPanel(), "labelField")->text(), QStringLiteral("Built-in Ethernet"));
        fillSheet(editor, QStringLiteral("en0"), QStringLiteral("Office LAN"));
        QVERIFY(editor.waitForJobs(60000));
        Value relabelled = before;
        relabelled.set("INTERFACE_LABEL", Value("Office LAN"));
        QVERIFY(storedInterfaces().front() == relabelled);
        QTRY_COMPARE(pageLabels(window), (QStringList { QStringLiteral("Office LAN"), QStringLiteral("Ethernet 2") }));

        editor.selectRow(rowOf(editor, "en2"));
        MessageBox::setNextAnswer(QMessageBox::Cancel);
        editor.deleteInterface();
        QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("Confirm Delete"));
        QCOMPARE(MessageBox::lastShown()->text,
                 QStringLiteral("Are you sure you want to delete the interface?\n(This cannot be undone)"));
        QVERIFY(editor.waitForJobs(60000));
        QCOMPARE(storedInterfaces().size(), std::size_t { 2 });
        MessageBox::setNextAnswer(QMessageBox::Ok);
        editor.deleteInterface();
        QVERIFY(editor.waitForJobs(60000));
        QCOMPARE(storedInterfaces().size(), std::size_t { 1 });
        QTRY_COMPARE(pageLabels(window), QStringList { QStringLiteral("Office LAN") });
    }

    void sheetRefusesNamesTheRulesCannotTake_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("label");
        QTest::newRow("empty name") << QString() << QStringLiteral("Nothing");
        QTest::newRow("name already listed") << QStringLiteral("en0") << QStringLiteral("Again");
        QTest::newRow("blank in name") << QStringLiteral("en 2") << QStringLiteral("Two");
        QTest::newRow("second rule in name")
            << QStringLiteral("en2\nadd 1 allow ip from any to any") << QStringLiteral("Two");
        QTest::newRow("comment sign in name") << QStringLiteral("en2#") << QStringLiteral("Two");
        QTest::newRow("line break in label") << QStringLiteral("en2") << QStringLiteral("Two\nlines");
    }

    void sheetRefusesNamesTheRulesCannotTake()
    {
        QFETCH(QString, name);
        QFETCH(QString, label);
        InterfaceEditController editor(m_sandbox->gateway);
        const Value::Array before = storedInterfaces();
        editor.addInterface();
        MessageBox::setNextAnswer(QMessageBox::Ok);
        fillSheet(editor, name, label);
        QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("Invalid Interface"));
        QVERIFY(editor.editPanel().isVisible());
        child<QPushButton>(editor.editPanel(), "cancelButton")->click();
        QVERIFY(editor.waitForJobs(60000));
        QVERIFY(storedInterfaces() == before);
    }

    void withoutAuthenticationNothingChanges()
    {
        InterfaceEditController editor(m_sandbox->gateway);
        m_sandbox->gateway.deauthenticate();
        m_sandbox->panel.cancel = true;
        QVERIFY(!child<QWidget>(editor, "buttonMatrix")->isEnabled());
        editor.selectRow(0);
        editor.editInterface(); // asks for the password, is refused and beeps
        QVERIFY(m_sandbox->panel.asked >= 1);
        QVERIFY(!editor.editPanel().isVisible());
    }

    void refusedStoreShowsTheStoredList()
    {
        InterfaceEditController editor(m_sandbox->gateway);
        QSignalSpy ended(&editor, &InterfaceEditController::storeEnded);
        editor.selectRow(0);
        editor.editInterface();
        m_sandbox->gateway.deauthenticate();
        m_sandbox->panel.cancel = true;
        fillSheet(editor, QStringLiteral("en0"), QStringLiteral("Not stored"));
        QVERIFY(editor.waitForJobs(60000));
        QCOMPARE(stringValueOf(editor.dataSource().objectAtRow(0).get("INTERFACE_LABEL")),
                 std::string("Built-in Ethernet"));
        QVERIFY(storedInterfaces() ==
                *exampleDocument().get("STORED_SETTINGS")->get("Default")->get("INTERFACE_LIST")->array());
    }

    void aListIsNeverWrittenIntoAnotherSetting()
    {
        InterfaceEditController editor(m_sandbox->gateway);
        editor.addInterface();
        // Another window makes the expert setting current while the sheet is open.
        Value document(Value::Dictionary {});
        document.set("CURRENT_SETTING", Value("Office"));
        QVERIFY(m_sandbox->gateway.storeConfiguration(document));
        const Value::Array officeBefore = storedInterfaces("Office");
        fillSheet(editor, QStringLiteral("en3"), QStringLiteral("Three"));
        QVERIFY(editor.waitForJobs(60000));
        QVERIFY(storedInterfaces("Office") == officeBefore);
        QCOMPARE(storedInterfaces("Default").size(), std::size_t { 1 });
        QTRY_COMPARE(editor.windowTitle(), QStringLiteral("Interfaces for 'Office (expert)'"));
    }
};

QTEST_MAIN(InterfacesTest)
#include "tst_interfaces.moc"

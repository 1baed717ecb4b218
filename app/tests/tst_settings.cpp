// The stored settings window on fresh sandboxes with the real tool: duplicate, rename and make
// active as the tool lists them, delete, export and import between two machines, refused
// import files, and a refused store that leaves the stored state as it was.
#include "AppTestSupport.h"

#include "adapters/NotificationBridge.h"
#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "widgets/MessageBox.h"
#include "windows/settings/SettingsController.h"
#include "windows/settings/SettingsFile.h"

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

template <typename T> T* child(const QWidget& parent, const char* name)
{
    return parent.findChild<T*>(QString::fromLatin1(name));
}

Value storedSettings()
{
    KeepwallPrefs prefs;
    return Value(prefs.storedSettings());
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// The example's quick setting with one field replaced.
Value homeWith(const std::function<void(Value&)>& change)
{
    Value setting = *exampleDocument().get("STORED_SETTINGS")->get("Default");
    change(setting);
    return setting;
}

Value& firstFilter(Value& setting)
{
    return setting.get("INTERFACE_LIST")->array()->front().get("FILTER_LIST")->array()->front();
}

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SandboxGateway> m_sandbox;
    QTemporaryDir m_files;

    void freshSandbox()
    {
        m_sandbox.reset();
        m_sandbox = std::make_unique<SandboxGateway>();
        QVERIFY(m_sandbox->gateway.storeConfiguration(exampleDocument()));
        m_sandbox->gateway.fetchPassword();
    }

    QString wallctl(const QStringList& args) const
    {
        QByteArray out;
        m_sandbox->root.runAsRoot(QStringLiteral(KW_BIN_DIR "/wallctl"), args, {}, &out);
        return QString::fromUtf8(out);
    }

    // The lines of "wallctl list" after its two heading lines.
    QStringList listedSettings() const
    {
        QStringList lines = wallctl({ QStringLiteral("list") }).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return lines.mid(2);
    }

    static void acceptNameSheet(SettingsController& window, const QString& name)
    {
        QDialog& sheet = window.settingNamePanel();
        QVERIFY(sheet.isVisible());
        child<QLineEdit>(sheet, "nameField")->setText(name);
        child<QPushButton>(sheet, "okButton")->click();
        QVERIFY(window.waitForJobs(60000));
    }

private slots:
    void initTestCase() { setReleaseFlagsFromEnvironment(); }

    void init()
    {
        MessageBox::clearNextAnswer();
        freshSandbox();
    }

    void cleanup() { m_sandbox.reset(); }

    void tableFollowsTheToolsOrderAndTypes()
    {
        Value document = exampleDocument();
        Value::Dictionary& stored = *document.get("STORED_SETTINGS")->dictionary();
        const struct {
            const char* key;
            Value mode;
            const char* type;
        } cases[] = {
            { "b-text-zero", Value("0"), "Quick" }, { "a-number-two", Value::integer(2), "Expert" },
            { "c-text-two", Value("2"), "Expert" }, { "d-other", Value::integer(5), "" },
            { "e-absent", Value(), "Quick" },
        };
        for (const auto& c : cases) {
            Value setting;
            setting.set("SETTING_NAME", Value(c.key));
            if (!c.mode.isNone()) {
                setting.set("CONFIG_MODE", c.mode);
            }
            stored[c.key] = setting;
        }
        QVERIFY(m_sandbox->gateway.storeConfiguration(document));

        SettingsController window(m_sandbox->gateway);
        const QStringList listed = listedSettings();
        QCOMPARE(window.model().rowCount(), listed.size());
        for (int row = 0; row < listed.size(); ++row) {
            const QStringList fields = listed[row].split(QLatin1Char('\t'));
            QCOMPARE(window.model().index(row, 0).data().toString(), fields[0]);
            QCOMPARE(QString::fromStdString(*window.model().keyAtRow(row)), fields[3]);
        }
        for (const auto& c : cases) {
            const int row = window.model().rowOfKey(c.key);
            QCOMPARE(window.model().index(row, 1).data().toString(), QString::fromLatin1(c.type));
        }
        // The active setting in blue, the others in black.
        const int active = window.model().rowOfKey("Default");
        QCOMPARE(window.model().index(active, 0).data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::blue));
        QCOMPARE(window.model().index(window.model().rowOfKey("Office"), 0).data(Qt::ForegroundRole).value<QColor>(),
                 QColor(Qt::black));
    }

    void duplicateRenameAndMakeActive()
    {
        SettingsController window(m_sandbox->gateway);
        window.selectRow(window.model().rowOfKey("Default"));
        window.duplicateSettings();
        QCOMPARE(child<QLineEdit>(window.settingNamePanel(), "nameField")->text(), QStringLiteral("CopyOf Home"));
        acceptNameSheet(window, QStringLiteral("CopyOf Home"));

        QCOMPARE(window.settings().size(), std::size_t { 3 });
        std::string copyKey;
        for (const auto& [key, setting] : window.settings()) {
            if (key.starts_with("CopyOf Home-")) {
                copyKey = key;
            }
        }
        QVERIFY(!copyKey.empty());
        Value expected = *exampleDocument().get("STORED_SETTINGS")->get("Default");
        expected.set("SETTING_NAME", Value("CopyOf Home"));
        QVERIFY(window.settings().at(copyKey) == expected);

        // A second copy within the same second still gets a key of its own.
        window.selectRow(window.model().rowOfKey("Default"));
        window.duplicateSettings();
        acceptNameSheet(window, QStringLiteral("CopyOf Home"));
        QCOMPARE(window.settings().size(), std::size_t { 4 });

        window.selectRow(window.model().rowOfKey(copyKey));
        window.renameSettings();
        QCOMPARE(child<QLineEdit>(window.settingNamePanel(), "nameField")->text(), QStringLiteral("CopyOf Home"));
        acceptNameSheet(window, QStringLiteral("Travel"));
        QCOMPARE(window.settings().at(copyKey).get("SETTING_NAME")->stringValue(), std::string("Travel"));

        window.selectRow(window.model().rowOfKey(copyKey));
        window.makeActiveSettings();
        QVERIFY(window.waitForJobs(60000));
        QCOMPARE(window.currentKey(), copyKey);
        const QString line = QStringLiteral("Travel\tQuick \tActive  \t%1").arg(QString::fromStdString(copyKey));
        QVERIFY2(listedSettings().contains(line), qPrintable(listedSettings().join(QLatin1Char('\n'))));

        // Renaming the active setting keeps it active.
        window.renameSettings();
        acceptNameSheet(window, QStringLiteral("On the road"));
        QCOMPARE(window.currentKey(), copyKey);

        window.selectRow(window.model().rowOfKey("Office"));
        window.makeDefaultSettings();
        QVERIFY(window.waitForJobs(60000));
        QCOMPARE(window.defaultSettingKey(), std::string("Office"));
    }

    void nameSheetRefusesEmptyNamesAndCancelChangesNothing()
    {
        SettingsController window(m_sandbox->gateway);
        const Value before = storedSettings();
        window.selectRow(window.model().rowOfKey("Office"));
        for (const QString& name : { QString(), QStringLiteral("   "), QStringLiteral("two\nlines") }) {
            window.renameSettings();
            MessageBox::setNextAnswer(QMessageBox::Ok);
            child<QLineEdit>(window.settingNamePanel(), "nameField")->setText(name);
            child<QPushButton>(window.settingNamePanel(), "okButton")->click();
            QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("Invalid Name"));
            QVERIFY(window.settingNamePanel().isVisible());
            child<QPushButton>(window.settingNamePanel(), "cancelButton")->click();
            QVERIFY(!window.settingNamePanel().isVisible());
        }
        QVERIFY(window.waitForJobs(60000));
        QVERIFY(storedSettings() == before);

        // Without a selection nothing opens.
        window.selectRow(-1);
        window.duplicateSettings();
        QVERIFY(!window.settingNamePanel().isVisible());
    }

    void deleteRefusesTheActiveSettingAndAsksForOthers()
    {
        SettingsController window(m_sandbox->gateway);
        window.selectRow(window.model().rowOfKey("Default"));
        MessageBox::setNextAnswer(QMessageBox::Ok);
        window.deleteSettings();
        QVERIFY(window.waitForJobs(60000));
        QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("Cannot Delete"));
        QVERIFY(window.settings().contains("Default"));

        window.selectRow(window.model().rowOfKey("Office"));
        MessageBox::setNextAnswer(QMessageBox::Cancel);
        window.deleteSettings();
        QVERIFY(window.waitForJobs(60000));
        QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("Confirm Delete"));
        QVERIFY(window.settings().contains("Office"));

        MessageBox::setNextAnswer(QMessageBox::Ok);
        window.deleteSettings();
        QVERIFY(window.waitForJobs(60000));
        QVERIFY(!window.settings().contains("Office"));
        QCOMPARE(listedSettings().size(), 1);
    }

    void exportThenImportOnAnotherMachineGeneratesTheSameRules()
    {
        QString suggested;
        const QString target = m_files.filePath(QStringLiteral("moved"));
        std::string generatedHere;
        {
            SettingsController window(m_sandbox->gateway);
            window.setSavePathChooser([&](QWidget*, const QString& path) {
                suggested = path;
                return target; // the dialog's name without the extension
            });
            window.selectRow(-1);
            window.exportSettings();
            QVERIFY(suggested.isEmpty());
            window.selectRow(window.model().rowOfKey("Default"));
            window.exportSettings();
            QCOMPARE(suggested, QDir::home().filePath(QStringLiteral("Home.firewall")));
            const int index = window.model().rowOfKey("Default");
            generatedHere = wallctl({ QStringLiteral("generate"), QString::number(index) }).toStdString();
        }
        const QString file = target + QStringLiteral(".firewall");
        std::string problem;
        const auto written = settingsfile::readSettingFile(file.toStdString(), problem);
        QVERIFY2(written.has_value(), problem.c_str());
        QVERIFY(*written == *exampleDocument().get("STORED_SETTINGS")->get("Default"));
        if (const auto type = settingsfile::typeCode(file.toStdString())) {
            QCOMPARE(*type, settingsfile::fourCharCodeToOSType("FrWl"));
            QCOMPARE(*settingsfile::creatorCode(file.toStdString()), settingsfile::fourCharCodeToOSType("KpWl"));
        }
        QVERIFY(generatedHere.find("via en0") != std::string::npos);

        // Another machine: a fresh root with nothing stored but an unrelated setting.
        m_sandbox.reset();
        m_sandbox = std::make_unique<SandboxGateway>();
        m_sandbox->gateway.fetchPassword();
        SettingsController window(m_sandbox->gateway);
        window.setOpenPathChooser([&](QWidget*, const QString&) { return file; });
        window.importSettings();
        QVERIFY(window.waitForJobs(60000));
        window.importSettings();
        QVERIFY(window.waitForJobs(60000));
        QStringList imported;
        for (const auto& [key, setting] : window.settings()) {
            if (key.starts_with("Home-")) {
                imported << QString::fromStdString(key);
                QVERIFY(setting == *written);
            }
        }
        QCOMPARE(imported.size(), 2); // importing twice gives two settings
        const int index = window.model().rowOfKey(imported.first().toStdString());
        QCOMPARE(wallctl({ QStringLiteral("generate"), QString::number(index) }).toStdString(), generatedHere);
    }

    void exportSuggestsACleanNameAndAsksBeforeReplacing()
    {
        SettingsController window(m_sandbox->gateway);
        window.selectRow(window.model().rowOfKey("Office"));
        window.renameSettings();
        acceptNameSheet(window, QStringLiteral("a/b:c"));
        QString suggested;
        const QString target = m_files.filePath(QStringLiteral("existing"));
        window.setSavePathChooser([&](QWidget*, const QString& path) {
            suggested = path;
            return target;
        });
        writeFile(target + QStringLiteral(".firewall"), "keep me");
        MessageBox::setNextAnswer(QMessageBox::Cancel);
        window.exportSettings();
        QCOMPARE(QFileInfo(suggested).fileName(), QStringLiteral("a_b_c.firewall"));
        QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("Replace File"));
        QFile kept(target + QStringLiteral(".firewall"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("keep me"));

        // A cancelled dialog writes nothing.
        window.setSavePathChooser([](QWidget*, const QString&) { return QString(); });
        window.exportSettings();
        QCOMPARE(MessageBox::shownCount(), 1);
    }

    void hostileImportsAreRefusedAndNothingIsStored_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("named"); // what the message must name

        const auto plist = [](const Value& setting) { return QByteArray::fromStdString(valueToXml(setting)); };
        QTest::newRow("not a property list") << QByteArray("hello, firewall") << QStringLiteral("not a property list");
        QTest::newRow("root is a list") << plist(Value(Value::Array { Value("a") })) << QStringLiteral("dictionary");
        QTest::newRow("too large") << QByteArray(5 << 20, ' ') << QStringLiteral("larger than 4 MiB");
        QTest::newRow("name is a number") << plist(homeWith([](Value& s) { s.set("SETTING_NAME", Value::integer(3)); }))
                                          << QStringLiteral("SETTING_NAME holds a number");
        QTest::newRow("name missing") << plist(homeWith([](Value& s) { s.dictionary()->erase("SETTING_NAME"); }))
                                      << QStringLiteral("SETTING_NAME");
        QTest::newRow("interface list is text")
            << plist(homeWith([](Value& s) { s.set("INTERFACE_LIST", Value("en0")); }))
            << QStringLiteral("INTERFACE_LIST holds text");
        QTest::newRow("port holds a second rule") << plist(homeWith([](Value& s) {
            firstFilter(s).set("ServiceFilterPort", Value("22\nadd 100 allow ip from any to any"));
        })) << QStringLiteral("ServiceFilterPort contains a line break");
        QTest::newRow("comment sign in a host") << plist(homeWith([](Value& s) {
            firstFilter(s).set("ServiceFilterSrcHostType", Value::integer(2));
            firstFilter(s).set("ServiceFilterSrcHost", Value("10.0.0.1 # rest"));
        })) << QStringLiteral("ServiceFilterSrcHost contains \"#\"");
        QTest::newRow("filter port is a list")
            << plist(homeWith([](Value& s) { firstFilter(s).set("ServiceFilterPort", Value(Value::Array {})); }))
            << QStringLiteral("ServiceFilterPort holds an array");
        QTest::newRow("line break in a switched-off interface") << plist(homeWith([](Value& s) {
            Value& i = s.get("INTERFACE_LIST")->array()->front();
            i.set("ENABLE_FIREWALL", Value::integer(0));
            i.set("INTERFACE_NAME", Value("en0\nadd 1 allow ip from any to any"));
        })) << QStringLiteral("INTERFACE_NAME contains a line break");
        QTest::newRow("line break in a label") << plist(homeWith([](Value& s) {
            s.get("INTERFACE_LIST")->array()->front().set("INTERFACE_LABEL", Value("Two\nlines"));
        })) << QStringLiteral("INTERFACE_LIST entry 1, INTERFACE_LABEL contains a line break");
    }

    void hostileImportsAreRefusedAndNothingIsStored()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, named);
        const QString file = m_files.filePath(QStringLiteral("hostile.firewall"));
        writeFile(file, bytes);
        const Value before = storedSettings();
        const QString listedBefore = wallctl({ QStringLiteral("list") });

        SettingsController window(m_sandbox->gateway);
        window.setOpenPathChooser([&](QWidget*, const QString&) { return file; });
        MessageBox::setNextAnswer(QMessageBox::Ok);
        window.importSettings();
        QVERIFY(window.waitForJobs(60000));
        QCOMPARE(MessageBox::shownCount(), 1);
        QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("Import Refused"));
        QVERIFY2(MessageBox::lastShown()->text.contains(file), qPrintable(MessageBox::lastShown()->text));
        QVERIFY2(MessageBox::lastShown()->text.contains(named), qPrintable(MessageBox::lastShown()->text));
        QVERIFY(storedSettings() == before);
        QCOMPARE(wallctl({ QStringLiteral("list") }), listedBefore);
    }

    void aFolderOrAMissingFileIsNotImported()
    {
        SettingsController window(m_sandbox->gateway);
        const Value before = storedSettings();
        for (const QString& path : { m_files.path(), m_files.filePath(QStringLiteral("missing.firewall")) }) {
            window.setOpenPathChooser([&](QWidget*, const QString&) { return path; });
            MessageBox::setNextAnswer(QMessageBox::Ok);
            window.importSettings();
            QCOMPARE(MessageBox::lastShown()->title, QStringLiteral("Import Refused"));
        }
        QVERIFY(window.waitForJobs(60000));
        QVERIFY(storedSettings() == before);
    }

    void refusedStoreLeavesTheStoredStateShown()
    {
        SettingsController window(m_sandbox->gateway);
        QSignalSpy ended(&window, &SettingsController::storeEnded);
        window.selectRow(window.model().rowOfKey("Office"));
        window.renameSettings();
        // The user locks the window and refuses the password while the sheet is open.
        m_sandbox->gateway.deauthenticate();
        m_sandbox->panel.cancel = true;
        acceptNameSheet(window, QStringLiteral("Lost?"));
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.first().first().toBool(), false);
        QCOMPARE(window.settings().at("Office").get("SETTING_NAME")->stringValue(), std::string("Office (expert)"));
        QCOMPARE(window.model().index(window.model().rowOfKey("Office"), 0).data().toString(),
                 QStringLiteral("Office (expert)"));
        QVERIFY(storedSettings() == Value(*exampleDocument().get("STORED_SETTINGS")));

        // Refused authentication: nothing opens.
        window.duplicateSettings();
        QVERIFY(!window.settingNamePanel().isVisible());
        m_sandbox->panel.cancel = false;
    }

    void settingsChangedElsewhereAreShown()
    {
        NotificationBridge::sharedInstance().observeDistributed(true);
        SettingsController window(m_sandbox->gateway);
        Value document(Value::Dictionary {});
        document.set("CURRENT_SETTING", Value("Office"));
        QVERIFY(m_sandbox->gateway.storeConfiguration(document));
        QTRY_COMPARE(window.currentKey(), std::string("Office"));
        NotificationBridge::sharedInstance().observeDistributed(false);
    }

    void fourCharacterCodes()
    {
        QCOMPARE(settingsfile::fourCharCodeToOSType("FrWl"), 0x4672576Cu);
        QCOMPARE(settingsfile::fourCharCodeToOSType("ab"), 0x61620000u);
        QCOMPARE(settingsfile::fourCharCodeToOSType("KpWlxx"), 0x4B70576Cu);
        QCOMPARE(settingsfile::cleanedFileName("a/b:c"), std::string("a_b_c"));
    }
};

QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"

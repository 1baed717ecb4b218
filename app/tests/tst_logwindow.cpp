// The log window: its table model over the archive, the search, the three export formats
// against golden files, unreadable logs, and the typical road on a sandbox with "log" rules and
// injected traffic: refresh, archive, delete two rows.
#include "AppTestSupport.h"

#include "base/Release.h"
#include "logarchive/KWLogManager.h"
#include "logarchive/SQLDatabase.h"
#include "widgets/MessageBox.h"
#include "windows/log/ExportSaveDialog.h"
#include "windows/log/LogController.h"
#include "windows/log/LogExport.h"
#include "windows/log/LogTableModel.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableView>
#include <QtTest>

#include <set>
#include <sys/stat.h>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

LogItem item(const char* timestamp, const char* rule, const char* action, const char* proto, const char* src,
             std::optional<std::string> srcPort, const char* dst, std::optional<std::string> dstPort, const char* dir,
             const char* interface)
{
    return LogItem { timestamp, rule, action, proto, src, std::move(srcPort), dst, std::move(dstPort), dir, interface };
}

// The rows of the golden files: a TCP accept, an ICMP deny without ports, a divert, and a
// forward without a destination port on an interface whose name is not 8-bit text.
std::vector<LogItem> fixtureItems()
{
    return {
        item("2026-12-05 14:02:03", "100", "Accept", "TCP", "10.0.0.1", "1234", "10.0.0.2", "80", "in", "en0"),
        item("2026-12-05 14:02:04", "200", "Deny", "ICMP:8.0", "10.0.0.5", std::nullopt, "192.168.1.2", std::nullopt,
             "in", "en0"),
        item("2026-12-06 09:15:00", "300", "Divert 8668", "UDP", "10.0.0.7", "53", "10.0.1.1", "5353", "out", "en1"),
        item("2026-12-07 23:59:59", "100", "FORWARD to 10.0.0.9:8080", "TCP", "10.0.1.1", "40000", "203.0.113.9",
             std::nullopt, "out", "wl\xC3\xA4n0"),
    };
}

// Writes an archive with the items at the sandbox's archive path.
void writeArchive(const std::vector<LogItem>& items)
{
    const std::string path = KWLogManager::logDBPath();
    QDir().mkpath(QString::fromStdString(path.substr(0, path.find_last_of('/'))));
    SQLDatabase database(path);
    QVERIFY(database.open());
    database.performQuery(KWLogManager::kCreateTableStatement);
    KWLogManager manager;
    for (const LogItem& i : items) {
        QVERIFY(manager.insertArchiveRow(i, database));
    }
}

std::set<std::int64_t> archiveIds()
{
    std::set<std::int64_t> ids;
    SQLDatabase database(KWLogManager::logDBPath());
    if (!database.openReadOnly()) {
        return ids;
    }
    const auto result = database.performQuery("SELECT log_id FROM log_archive");
    for (int i = 0; i < result->rowCount(); ++i) {
        ids.insert(std::stoll(std::string(result->rowAtIndex(i)->stringForColumnAtIndexNoCopy(0).value_or("0"))));
    }
    return ids;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QByteArray golden(const char* name)
{
    return fileBytes(QStringLiteral(KW_LOG_TEST_DATA "/") + QLatin1String(name));
}

void search(LogController& window, int columnTag, int operatorTag, const QString& text)
{
    window.columnMenu()->setCurrentIndex(window.columnMenu()->findData(columnTag));
    window.operationMenu()->setCurrentIndex(window.operationMenu()->findData(operatorTag));
    window.queryField()->setText(text);
    window.searchLog();
}

QTabWidget* tabs(LogController& window)
{
    return window.findChild<QTabWidget*>(QStringLiteral("tabView"));
}

QString labelText(LogController& window, const char* name)
{
    return window.findChild<QLabel*>(QString::fromLatin1(name))->text();
}

} // namespace

class LogWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { setReleaseFlagsFromEnvironment(); }
    void cleanup()
    {
        ExportSaveDialog::clearNextAnswer();
        MessageBox::clearNextAnswer();
    }

    void archiveTableShowsRowsImagesTimesAndSorts()
    {
        SandboxRoot root;
        writeArchive(fixtureItems());
        AuthPanelController controller;
        IPFWManager gateway(controller);
        KWLogManager manager;
        LogController window(gateway, manager);
        LogTableModel& model = window.archiveModel();
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 4);
        QCOMPARE(labelText(window, "archiveCountLabel"), QStringLiteral("4 items found"));
        QCOMPARE(labelText(window, "countLabel"), QStringLiteral("0 items found"));

        QCOMPARE(model.data(model.index(0, LogTableModel::Timestamp)).toString(),
                 QStringLiteral("2026-12-05\n14:02:03"));
        QCOMPARE(model.data(model.index(2, LogTableModel::SrcHost)).toString(), QStringLiteral("10.0.0.7"));
        QCOMPARE(model.data(model.index(3, LogTableModel::Interface)).toString(), QStringLiteral("wlän0"));
        QVERIFY(model.data(model.index(0, LogTableModel::Action)).isNull());
        QVERIFY(!model.data(model.index(0, LogTableModel::Action), Qt::DecorationRole).value<QIcon>().isNull());
        QCOMPARE(model.data(model.index(2, LogTableModel::Action), Qt::ToolTipRole).toString(),
                 QStringLiteral("Divert 8668"));
        struct ImageCase {
            const char* value;
            const char* action;
            const char* direction;
        };
        const ImageCase images[] = {
            { "Accept", "allow", "all" }, { "Deny", "deny", "all" }, { "in", "deny", "in" }, { "out", "deny", "out" }
        };
        for (const ImageCase& c : images) {
            QCOMPARE(LogTableModel::actionImage(QString::fromLatin1(c.value)), QString::fromLatin1(c.action));
            QCOMPARE(LogTableModel::directionImage(QString::fromLatin1(c.value)), QString::fromLatin1(c.direction));
        }
        QCOMPARE(model.data(model.index(0, 0), Qt::BackgroundRole).value<QColor>(), QColor::fromRgbF(0.7f, 1, 1));
        QCOMPARE(model.data(model.index(1, 0), Qt::BackgroundRole).value<QColor>(), QColor(Qt::white));
        QCOMPARE(model.data(model.index(1, 0), Qt::FontRole).value<QFont>().pointSize(), 11);
        QCOMPARE(model.headerData(LogTableModel::DstPort, Qt::Horizontal, Qt::UserRole).toString(),
                 QStringLiteral("dst_port"));

        // Sorting is by the column's values (rule numbers as numbers), ties in log order; a
        // second click on the header reverses it.
        auto* header = window.findChild<QTableView*>(QStringLiteral("archiveTable"))->horizontalHeader();
        emit header->sectionClicked(LogTableModel::RuleNo);
        QCOMPARE(model.logIdAt(0), 1);
        QCOMPARE(model.logIdAt(1), 4);
        QCOMPARE(model.logIdAt(3), 3);
        emit header->sectionClicked(LogTableModel::RuleNo);
        QCOMPARE(model.sortOrder(), Qt::DescendingOrder);
        QCOMPARE(model.valueAt(0, LogField::RuleNo), QStringLiteral("300"));
        QCOMPARE(model.valueAt(3, LogField::RuleNo), QStringLiteral("100"));
        emit header->sectionClicked(LogTableModel::Timestamp);
        QCOMPARE(model.logIdAt(0), 1);
        QCOMPARE(model.logIdAt(3), 4);

        // Columns without an index are sorted in the window the way SQLite orders them: ports
        // as numbers before the stored "(null)", texts bytewise; what is exported follows the
        // shown order.
        struct SortCase {
            int column;
            Qt::SortOrder order;
            std::vector<std::int64_t> ids;
        };
        const SortCase sorts[] = {
            { LogTableModel::DstPort, Qt::AscendingOrder, { 1, 3, 2, 4 } },
            { LogTableModel::DstPort, Qt::DescendingOrder, { 4, 2, 3, 1 } },
            { LogTableModel::SrcPort, Qt::AscendingOrder, { 3, 1, 4, 2 } },
            { LogTableModel::Proto, Qt::AscendingOrder, { 2, 1, 4, 3 } },
            { LogTableModel::Interface, Qt::DescendingOrder, { 4, 3, 2, 1 } },
            { -1, Qt::AscendingOrder, { 1, 2, 3, 4 } },
        };
        for (const SortCase& c : sorts) {
            model.sort(c.column, c.order);
            std::vector<std::int64_t> shown;
            for (int row = 0; row < model.rowCount(); ++row) {
                shown.push_back(model.logIdAt(row));
            }
            QCOMPARE(shown, c.ids);
            std::vector<std::int64_t> exported;
            model.forEachRecord([&](const LogRecordView& row) {
                exported.push_back(std::stoll(std::string(row[LogField::LogId])));
                return true;
            });
            QCOMPARE(exported, c.ids);
        }
    }

    void searchUsesTheMenusAndBindsTheText()
    {
        SandboxRoot root;
        writeArchive(fixtureItems());
        AuthPanelController controller;
        IPFWManager gateway(controller);
        KWLogManager manager;
        LogController window(gateway, manager);
        tabs(window)->setCurrentIndex(LogController::kArchiveTab);

        struct Case {
            int column;
            int op;
            const char* text;
            std::vector<std::int64_t> ids;
        };
        const Case cases[] = {
            { 6, 0, "", { 1, 2, 3, 4 } },      // no text: every row
            { 6, 0, "100", { 1, 4 } },         // rule_no = '100'
            { 1, 6, ".1", { 1, 4 } },          // source hosts ending in .1
            { 4, 4, "Div", { 3 } },            // action begins with
            { 5, 5, "12-06", { 3 } },          // timestamp contains
            { 2, 2, "100", { 3 } },            // dst_port > 100, missing ports left out
            { 0, 3, "1000", { 3 } },           // src_port < 1000
            { 1, 1, "10.0.0.1", { 2, 3, 4 } }, // src_host !=
            { 6, 0, "100' OR '1'='1", {} },    // hostile texts are values, never SQL
            { 1, 0, "'; DROP TABLE log_archive; --", {} },
            { 4, 5, "x'); DELETE FROM log_archive; --", {} },
            { 3, 4, "\"", {} },
        };
        for (const Case& c : cases) {
            search(window, c.column, c.op, QString::fromUtf8(c.text));
            std::vector<std::int64_t> ids;
            for (int row = 0; row < window.archiveModel().rowCount(); ++row) {
                ids.push_back(window.archiveModel().logIdAt(row));
            }
            QVERIFY2(ids == c.ids, c.text);
            QCOMPARE(labelText(window, "archiveCountLabel"),
                     QStringLiteral("%1 items found").arg(static_cast<int>(c.ids.size())));
            QVERIFY(labelText(window, "archiveMessage").isEmpty());
        }
        // Nothing was changed by any of them.
        QCOMPARE(archiveIds(), (std::set<std::int64_t> { 1, 2, 3, 4 }));

        // The current tab has no entries before its first refresh; the search acts on it alone.
        tabs(window)->setCurrentIndex(LogController::kCurrentTab);
        search(window, 6, 0, QStringLiteral("100"));
        QCOMPARE(window.currentModel().rowCount(), 0);
        QCOMPARE(window.archiveModel().rowCount(), 0); // the archive keeps its last search
    }

    void exportWritesTheThreeFormatsAtomically()
    {
        SandboxRoot root;
        writeArchive(fixtureItems());
        AuthPanelController controller;
        IPFWManager gateway(controller);
        KWLogManager manager;
        LogController window(gateway, manager);
        window.setHostName("gateway");
        tabs(window)->setCurrentIndex(LogController::kArchiveTab);
        const QString out = root.file(QStringLiteral("/export.txt"));

        struct Case {
            int tag;
            const char* golden;
        };
        const Case cases[] = { { 0, "tab-delimited.txt" }, { 1, "system-log.txt" }, { 2, "doorstop.txt" } };
        for (const Case& c : cases) {
            ExportSaveDialog::setNextAnswer(ExportSaveDialog::Answer { out, c.tag });
            window.exportToTextFile();
            QCOMPARE(fileBytes(out), golden(c.golden));
        }

        // Cancelling and an unknown format write nothing.
        ExportSaveDialog::setNextAnswer(std::nullopt);
        window.exportToTextFile();
        ExportSaveDialog::setNextAnswer(ExportSaveDialog::Answer { out, 3 });
        window.exportToTextFile();
        QCOMPARE(fileBytes(out), golden("doorstop.txt"));

        // The set as searched and sorted is what is exported; an empty set gives an empty
        // tab-delimited file and only the DoorStop header.
        search(window, 6, 0, QStringLiteral("100"));
        ExportSaveDialog::setNextAnswer(ExportSaveDialog::Answer { out, 1 });
        window.exportToTextFile();
        const QList<QByteArray> lines = golden("system-log.txt").split('\n');
        QCOMPARE(fileBytes(out), lines[0] + '\n' + lines[3] + '\n');
        search(window, 6, 0, QStringLiteral("999"));
        ExportSaveDialog::setNextAnswer(ExportSaveDialog::Answer { out, 0 });
        window.exportToTextFile();
        QCOMPARE(fileBytes(out), QByteArray());
        ExportSaveDialog::setNextAnswer(ExportSaveDialog::Answer { out, 2 });
        window.exportToTextFile();
        QCOMPARE(fileBytes(out), QByteArray("!!LOG FORMAT DATE TIME RESULT HOSTNAME SERVER_PORT METHOD\n"));
        QCOMPARE(MessageBox::shownCount(), 0);

        // A write that fails is reported in an alert and leaves what was there.
        QDir().mkpath(root.file(QStringLiteral("/folder/kept")));
        QFile(root.file(QStringLiteral("/plain"))).open(QIODevice::WriteOnly);
        const QString failing[] = { root.file(QStringLiteral("/folder")), root.file(QStringLiteral("/plain/log.txt")) };
        for (const QString& path : failing) {
            const int before = MessageBox::shownCount();
            MessageBox::setNextAnswer(QMessageBox::Ok);
            ExportSaveDialog::setNextAnswer(ExportSaveDialog::Answer { path, 0 });
            window.exportToTextFile();
            QCOMPARE(MessageBox::shownCount(), before + 1);
            QVERIFY(MessageBox::lastShown()->text.contains(path));
        }
        QVERIFY(QFileInfo(root.file(QStringLiteral("/folder/kept"))).isDir());
        if (::geteuid() != 0) {
            // A folder the user may not write: the old export stays as it was.
            QDir().mkpath(root.file(QStringLiteral("/locked")));
            const QString kept = root.file(QStringLiteral("/locked/firewall-log.txt"));
            QFile file(kept);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("old export\n");
            file.close();
            ::chmod(QFile::encodeName(root.file(QStringLiteral("/locked"))).constData(), 0555);
            MessageBox::setNextAnswer(QMessageBox::Ok);
            ExportSaveDialog::setNextAnswer(ExportSaveDialog::Answer { kept, 0 });
            window.exportToTextFile();
            ::chmod(QFile::encodeName(root.file(QStringLiteral("/locked"))).constData(), 0755);
            QCOMPARE(fileBytes(kept), QByteArray("old export\n"));
            QVERIFY(MessageBox::lastShown()->text.contains(kept));
        }
    }

    void exportWriterCases()
    {
        struct Case {
            const char* text;
            const char* capitalized;
        };
        const Case cases[] = { { "Accept", "Accept" },
                               { "FORWARD to 10.0.0.1", "Forward To 10.0.0.1" },
                               { "unreach host", "Unreach Host" },
                               { "d\xC3\xA9NY", "D\xC3\xA9ny" },
                               { "", "" } };
        for (const Case& c : cases) {
            QCOMPARE(LogExportWriter::capitalized(c.text), std::string(c.capitalized));
        }
        // A time stamp of another form is written as stored rather than as a wrong date.
        LogRecordView row;
        row.values = { "7", "yesterday", "5", "Deny", "icmp", "", "h", "(null)", "", "d", "0", "in", "en0" };
        LogExportWriter systemLog(LogExportWriter::SystemLog, "host");
        systemLog.append(row);
        QCOMPARE(systemLog.text(), std::string("yesterday host mach_kernel: ipfw: 5 Deny icmp h d in via en0\n"));
        LogExportWriter doorStop(LogExportWriter::DoorStop, "host");
        doorStop.append(row);
        QCOMPARE(doorStop.text(), std::string("!!LOG FORMAT DATE TIME RESULT HOSTNAME SERVER_PORT METHOD\n"
                                              "yesterday\t\t!ERR\th\t\tICMP\n"));
    }

    void unreadableLogAndArchiveShowTheirErrors()
    {
        SandboxRoot root;
        const std::string archive = KWLogManager::logDBPath();
        QDir().mkpath(QString::fromStdString(archive.substr(0, archive.find_last_of('/'))));
        {
            QFile file(QString::fromStdString(archive));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(4096, 'x'));
        }
        // The firewall log of either release replaced by a folder.
        for (const char* log : { "/var/log/ipfw.log", "/var/log/system.log" }) {
            QFile::remove(root.file(QString::fromLatin1(log)));
            QDir().mkpath(root.file(QString::fromLatin1(log)));
        }
        AuthPanelController controller;
        IPFWManager gateway(controller);
        KWLogManager manager;
        LogController window(gateway, manager);
        window.show();
        QVERIFY(labelText(window, "archiveMessage").contains(QStringLiteral("not a database")));
        QCOMPARE(window.archiveModel().rowCount(), 0);

        window.refreshView();
        QVERIFY(window.isRefreshing());
        QVERIFY(window.waitUntilIdle(20000));
        QVERIFY(labelText(window, "currentMessage").contains(QStringLiteral("not a regular file")));
        QCOMPARE(labelText(window, "countLabel"), QStringLiteral("0 items found"));

        // The window goes on working: once the files are good again, both tabs show entries.
        QFile::remove(QString::fromStdString(archive));
        writeArchive(fixtureItems());
        tabs(window)->setCurrentIndex(LogController::kArchiveTab);
        search(window, 6, 0, QString());
        QCOMPARE(window.archiveModel().rowCount(), 4);
        QVERIFY(labelText(window, "archiveMessage").isEmpty());
        const QString log =
            root.file(QString::fromLatin1(KWRunningOnTiger ? "/var/log/ipfw.log" : "/var/log/system.log"));
        QDir(log).removeRecursively();
        QFile file(log);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(KWRunningOnTiger
                       ? "Dec  5 14:02:03 gateway ipfw: 100 Accept TCP 10.0.0.1:1234 10.0.0.2:80 in via en0\n"
                       : "Dec  5 14:02:03 gateway kernel: ipfw: 100 Accept TCP 10.0.0.1:1234 10.0.0.2:80 in via en0\n");
        file.close();
        window.refreshView();
        QVERIFY(window.waitUntilIdle(20000));
        QVERIFY(labelText(window, "currentMessage").isEmpty());
        QCOMPARE(window.currentModel().rowCount(), 1);
    }

    void typicalRoadWithInjectedTraffic()
    {
        SandboxGateway sandbox;
        SandboxRoot& root = sandbox.root;
        const QString ipfw = root.file(QStringLiteral("/sbin/ipfw"));
        for (const QStringList& rule :
             { QStringList { QStringLiteral("add"), QStringLiteral("100"), QStringLiteral("allow"),
                             QStringLiteral("log"), QStringLiteral("tcp"), QStringLiteral("from"),
                             QStringLiteral("any"), QStringLiteral("to"), QStringLiteral("any"), QStringLiteral("80") },
               QStringList { QStringLiteral("add"), QStringLiteral("200"), QStringLiteral("deny"),
                             QStringLiteral("log"), QStringLiteral("udp"), QStringLiteral("from"),
                             QStringLiteral("any"), QStringLiteral("to"), QStringLiteral("any") } }) {
            QCOMPARE(root.runAsRoot(ipfw, rule), 0);
        }

        KWLogManager manager;
        LogController window(sandbox.gateway, manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("Firewall logging is off."));
        QVERIFY(!window.validateAction(QString::fromLatin1(LogController::kIncorporateNewLogEntries), false));
        QVERIFY(window.validateAction(QString::fromLatin1(LogController::kToggleLogging), true));

        // Logging switched on through the gateway (the panel is asked once).
        window.toggleLogging();
        QVERIFY(window.waitUntilIdle(30000));
        QTRY_VERIFY(window.isAuthorized());
        QVERIFY(window.loggingEnabled());
        QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("Firewall logging is on."));
        QCOMPARE(window.toolbarItem(QString::fromLatin1(LogController::kToggleLogging))->text(),
                 QStringLiteral("Disable Logging"));
        QVERIFY(window.validateAction(QString::fromLatin1(LogController::kDisableLogging), false));
        QVERIFY(!window.validateAction(QString::fromLatin1(LogController::kEnableLogging), false));
        QCOMPARE(window.validateAction(QString::fromLatin1(LogController::kRotateSystemLog), false), !KWRunningOnTiger);

        QCOMPARE(root.inject("in via en0 tcp 203.0.113.9:40000 -> 192.168.1.2:80 syn\n"
                             "in via en0 tcp 203.0.113.10:40001 -> 192.168.1.2:80 syn\n"
                             "in via en0 udp 203.0.113.9:5000 -> 192.168.1.2:9999\n"
                             "in via en0 udp 203.0.113.11:5001 -> 192.168.1.2:9998\n"),
                 0);
        window.refreshView();
        QVERIFY(window.waitUntilIdle(30000));
        LogTableModel& current = window.currentModel();
        QCOMPARE(current.rowCount(), 4);
        QCOMPARE(labelText(window, "countLabel"), QStringLiteral("4 items found"));
        std::multiset<QString> rules;
        for (int row = 0; row < current.rowCount(); ++row) {
            rules.insert(current.valueAt(row, LogField::RuleNo));
        }
        QCOMPARE(rules, (std::multiset<QString> { QStringLiteral("100"), QStringLiteral("100"), QStringLiteral("200"),
                                                  QStringLiteral("200") }));

        // The monitor's double click: that rule's current entries.
        tabs(window)->setCurrentIndex(LogController::kArchiveTab);
        window.showRuleNumber(200);
        QCOMPARE(tabs(window)->currentIndex(), LogController::kCurrentTab);
        QCOMPARE(window.queryField()->text(), QStringLiteral("200"));
        QCOMPARE(window.columnMenu()->currentData().toInt(), 6);
        QCOMPARE(window.operationMenu()->currentData().toInt(), 0);
        QCOMPARE(current.rowCount(), 2);
        QCOMPARE(current.valueAt(0, LogField::Action), QStringLiteral("Deny"));
        QCOMPARE(current.valueAt(1, LogField::Proto), QStringLiteral("UDP"));

        // Deleting acts only on the archive tab.
        window.deleteSelectedItems();
        QCOMPARE(window.runningJobs(), 0);

        // Archive: the tool adds the entries; the archive tab shows them.
        window.queryField()->clear();
        window.incorporateNewLogEntries();
        QCOMPARE(tabs(window)->currentIndex(), LogController::kArchiveTab);
        QVERIFY(window.waitUntilIdle(30000));
        LogTableModel& archive = window.archiveModel();
        QCOMPARE(archive.rowCount(), 4);
        QCOMPARE(archiveIds().size(), std::size_t { 4 });

        // Delete two rows: they are gone from the archive database and from the table.
        auto* table = window.findChild<QTableView*>(QStringLiteral("archiveTable"));
        const std::int64_t first = archive.logIdAt(0);
        const std::int64_t third = archive.logIdAt(2);
        table->selectionModel()->select(archive.index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        table->selectionModel()->select(archive.index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        window.deleteSelectedItems();
        QVERIFY(window.waitUntilIdle(30000));
        const std::set<std::int64_t> left = archiveIds();
        QCOMPARE(left.size(), std::size_t { 2 });
        QVERIFY(!left.contains(first) && !left.contains(third));
        QCOMPARE(archive.rowCount(), 2);
        QCOMPARE(labelText(window, "archiveCountLabel"), QStringLiteral("2 items found"));

        window.disableLogging();
        QVERIFY(window.waitUntilIdle(30000));
        QCOMPARE(labelText(window, "statusLabel"), QStringLiteral("Firewall logging is off."));
        QCOMPARE(sandbox.panel.asked, 1);
    }
};

QTEST_MAIN(LogWindowTest)
#include "tst_logwindow.moc"

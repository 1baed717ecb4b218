// The monitor: its models and view extensions, and the typical road on a real sandbox:
// authenticate, refresh, packets counted, counters grow, zero, counters read 0.
#include "AppTestSupport.h"

#include "adapters/NotificationBridge.h"
#include "base/Release.h"
#include "core/IPFWManager.h"
#include "models/RuleTableModel.h"
#include "widgets/ViewExtensions.h"
#include "windows/MonitorController.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QtTest>

#include <memory>

using namespace kw;
using namespace kw::app;
using namespace kw::apptest;

namespace {

const char* const kListing = "00100 12 345 Thu Dec 11 14:48:46 2026 allow tcp from any to 10.0.0.1 80 in recv en0\n"
                             "00200 0 0                          deny log ip from any to any\n"
                             "00300 0 0                          check-state\n"
                             "00400 3 120 Thu Dec 11 14:48:47 2026 divert 8668 ip from any to any via en1\n"
                             "## Dynamic rules:\n"
                             "00400 5 320 (T 295, # 17) ty 0 tcp 10.0.0.5 1234 <-> 10.0.0.1 22\n";

std::int64_t totalPackets(const RuleTableModel& model)
{
    std::int64_t total = 0;
    for (const RuleRow& row : model.rows()) {
        if (row.number(RuleKey::OrderItem).value_or(0) != 65535) {
            total += row.number(RuleKey::PacketItem).value_or(0);
        }
    }
    return total;
}

} // namespace

class MonitorTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { setReleaseFlagsFromEnvironment(); }

    void ruleModelShowsRowsImagesAndColours()
    {
        RuleTableModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        auto result = IPFWListingParser().parseOutput(std::string_view(kListing));
        model.setRows(std::move(result.ruleRows));
        QCOMPARE(model.rowCount(), 3); // the check-state rule is not shown

        struct Case {
            int row;
            const char* action;
            const char* direction;
        };
        const Case cases[] = { { 0, "allow", "in" }, { 1, "deny", "all" }, { 2, "arrow", "all" } };
        for (const Case& c : cases) {
            QCOMPARE(RuleTableModel::actionImage(*model.rowAt(c.row)), QString::fromLatin1(c.action));
            QCOMPARE(RuleTableModel::directionImage(*model.rowAt(c.row)), QString::fromLatin1(c.direction));
            QVERIFY(
                !model.data(model.index(c.row, RuleTableModel::Action), Qt::DecorationRole).value<QIcon>().isNull());
        }
        QCOMPARE(model.data(model.index(0, RuleTableModel::Order)).toString(), QStringLiteral("100"));
        QCOMPARE(model.data(model.index(0, RuleTableModel::Traffic)).toString(),
                 QStringLiteral("12 packets\n0.3K bytes"));
        QCOMPARE(model.data(model.index(1, RuleTableModel::Date)).toString(), QString()); // never matched
        QCOMPARE(model.data(model.index(0, RuleTableModel::Source)).toString(), QStringLiteral("Any Host\nAny Port"));
        QCOMPARE(model.data(model.index(0, RuleTableModel::Proto), Qt::ToolTipRole).toString(),
                 QStringLiteral("allow tcp from any to 10.0.0.1 80 in recv en0"));
        QCOMPARE(model.data(model.index(0, 0), Qt::BackgroundRole).value<QColor>(), QColor(237, 243, 254));
        QCOMPARE(model.data(model.index(1, 0), Qt::BackgroundRole).value<QColor>(), QColor(Qt::white));
        QCOMPARE(model.data(model.index(0, RuleTableModel::ExpertOpts), Qt::FontRole).value<QFont>().pointSize(), 10);
        QCOMPARE(model.data(model.index(0, RuleTableModel::Proto), Qt::FontRole).value<QFont>().pointSize(), 11);
        QCOMPARE(model.headerData(RuleTableModel::ExpertOpts, Qt::Horizontal, Qt::UserRole).toString(),
                 QStringLiteral("EXPERT_OPTS"));

        DynamicRuleModel dynamic;
        QAbstractItemModelTester dynamicTester(&dynamic, QAbstractItemModelTester::FailureReportingMode::QtTest);
        dynamic.setLines(IPFWListingParser().parseOutput(std::string_view(kListing)).dynamicFilters);
        QCOMPARE(dynamic.rowCount(), 2); // the last line break leaves an empty dynamic line
        QCOMPARE(dynamic.data(dynamic.index(0, 0)).toString(),
                 QStringLiteral("00400 5 320 (T 295, # 17) ty 0 tcp 10.0.0.5 1234 <-> 10.0.0.1 22"));
    }

    void splitFractionAndHeaderToolTips()
    {
        QSplitter one(Qt::Vertical);
        one.addWidget(new QWidget);
        QCOMPARE(splitFraction(one), 0.0);
        setSplitFraction(one, 0.5); // nothing happens
        QCOMPARE(one.count(), 1);

        QSplitter two(Qt::Vertical);
        two.addWidget(new QWidget);
        two.addWidget(new QWidget);
        two.resize(200, 400 + two.handleWidth());
        two.show();
        two.setSizes({ 300, 100 });
        QCOMPARE(splitFraction(two), 0.25);
        setSplitFraction(two, 0.5);
        QCOMPARE(two.sizes(), (QList<int> { 200, 200 }));

        KWSplitView split(Qt::Vertical);
        split.addWidget(new QWidget);
        split.addWidget(new QWidget);
        const QByteArray state = split.saveState();
        split.setOrientation(Qt::Horizontal);
        QVERIFY(split.restoreState(state));
        QCOMPARE(split.orientation(), Qt::Vertical);

        QTableView table;
        RuleTableModel model;
        table.setModel(&model);
        auto& tips = HeaderToolTips::of(table.horizontalHeader());
        const auto owner = [](const QString& id) { return QStringLiteral("tip of %1").arg(id); };
        QCOMPARE(tips.addToolTipForColumnIdentifier(QStringLiteral("NO_SUCH_COLUMN"), owner), -1);
        QVERIFY(tips.addToolTipForColumnIdentifier(QStringLiteral("ACTION"), owner) > 0);
        tips.setToolTipsFromDictionary(
            { { QStringLiteral("ORDER_ITEM"), QString() }, { QStringLiteral("BOGUS"), QString() } }, owner);
        QCOMPARE(tips.toolTipCount(), 1);
        table.resize(800, 300);
        table.show();
        QCOMPARE(tips.toolTipAt(table.horizontalHeader()->sectionViewportPosition(0) + 2),
                 QStringLiteral("tip of ORDER_ITEM"));
    }

    void intervalIsKeptAboveHalfAMinute()
    {
        SandboxRoot root;
        AuthPanelController controller;
        IPFWManager gateway(controller);
        MonitorController monitor(gateway);
        auto* field = monitor.findChild<QLineEdit*>(QStringLiteral("refreshInterval"));
        field->setEnabled(true);

        field->setText(QStringLiteral("0.2"));
        monitor.refreshIntervalChanged();
        QCOMPARE(field->text(), QStringLiteral("0.5"));
        QCOMPARE(monitor.refreshTimer().interval(), 30000);

        field->setText(QStringLiteral("-1"));
        monitor.refreshIntervalChanged();
        QCOMPARE(field->text(), QStringLiteral("0.5"));
        QCOMPARE(monitor.refreshTimer().interval(), 30000);

        field->setText(QStringLiteral("2"));
        monitor.refreshIntervalChanged();
        QCOMPARE(monitor.refreshTimer().interval(), 120000);
    }

    void typicalRoad()
    {
        SandboxRoot root;
        AuthPanelController controller;
        IPFWManager gateway(controller);
        gateway.setToolPath(KW_BIN_DIR "/wallctl");
        TypingPanel panel;
        controller.setPanelRunner(panel.runner());

        // The example settings stored and activated, as the configuration window's Apply does.
        const std::optional<Value> settings = exampleDocument();
        QVERIFY(settings && gateway.storeConfiguration(*settings));
        gateway.applyCurrentSetting();
        gateway.deauthenticate();

        MonitorController monitor(gateway);
        int shownRule = -1;
        monitor.setShowRuleNumberHandler([&](int number) { shownRule = number; });
        monitor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&monitor));
        // Locked: the timer does nothing and no refresh starts without the user's consent.
        monitor.timerFired();
        QCOMPARE(monitor.refreshesStarted(), 0);

        // Authenticating announces itself; the visible monitor refreshes.
        QVERIFY(gateway.fetchPassword());
        QTRY_VERIFY(monitor.isAuthorized());
        QVERIFY(monitor.waitForRefresh(20000));
        QCOMPARE(monitor.refreshesStarted(), 1);
        QVERIFY(monitor.ruleModel().rowCount() > 3);
        QCOMPARE(totalPackets(monitor.ruleModel()), 0);

        // A request while a refresh runs starts no second one.
        monitor.refreshData();
        monitor.refreshData();
        monitor.timerFired();
        QCOMPARE(monitor.refreshesStarted(), 2);
        QVERIFY(!monitor.validateAction(QString::fromLatin1(MonitorController::kRefreshView)));
        QVERIFY(monitor.waitForRefresh(20000));
        QVERIFY(monitor.validateAction(QString::fromLatin1(MonitorController::kRefreshView)));

        // Traffic through the sandbox's packet filter is counted.
        QCOMPARE(root.inject("in via en0 tcp 203.0.113.9:40000 -> 10.0.0.1:22 syn\n"
                             "out via en0 tcp 10.0.0.1:22 -> 203.0.113.9:40000 syn,ack\n"
                             "in via en0 udp 203.0.113.9:5000 -> 10.0.0.1:9999\n"),
                 0);
        monitor.refreshView();
        QVERIFY(monitor.waitForRefresh(20000));
        const std::int64_t first = totalPackets(monitor.ruleModel());
        QVERIFY(first > 0);
        QVERIFY(monitor.dynamicModel().rowCount() >= 1);
        QVERIFY(monitor.dynamicModel().headerText().endsWith(QStringLiteral(")")));

        QCOMPARE(root.inject("in via en0 udp 203.0.113.9:5000 -> 10.0.0.1:9999\n"
                             "in via en0 udp 203.0.113.9:5001 -> 10.0.0.1:9999\n"),
                 0);
        monitor.refreshView();
        QVERIFY(monitor.waitForRefresh(20000));
        QVERIFY(totalPackets(monitor.ruleModel()) > first);

        // Selecting a rule shows its text; selecting nothing clears it; a double click goes on
        // to the log window with the rule's number.
        auto* table = monitor.findChild<QTableView*>(QStringLiteral("tableView"));
        auto* label = monitor.findChild<QLabel*>(QStringLiteral("filterLabel"));
        table->selectRow(0);
        QCOMPARE(label->text(), QString::fromStdString(monitor.ruleModel().rowAt(0)->text(RuleKey::FilterItem)));
        monitor.tableDoubleClicked(monitor.ruleModel().index(0, 0));
        QCOMPARE(shownRule, static_cast<int>(*monitor.ruleModel().rowAt(0)->number(RuleKey::OrderItem)));
        shownRule = -1;
        monitor.tableDoubleClicked(QModelIndex());
        QCOMPARE(shownRule, -1);
        table->clearSelection();
        QVERIFY(label->text().isEmpty());

        // Zeroing with nothing selected sends nothing; zeroing all brings every counter to 0.
        const int before = monitor.refreshesStarted();
        monitor.zeroRuleCounter();
        QTest::qWait(100);
        QCOMPARE(monitor.refreshesStarted(), before);
        monitor.zeroAllRuleCounters();
        QTRY_VERIFY_WITH_TIMEOUT(monitor.refreshesStarted() > before, 20000);
        QVERIFY(monitor.waitForRefresh(20000));
        QCOMPARE(totalPackets(monitor.ruleModel()), 0);

        // Deauthenticating locks the window again.
        gateway.deauthenticate();
        QTRY_VERIFY(!monitor.isAuthorized());
        QVERIFY(!monitor.validateAction(QString::fromLatin1(MonitorController::kZeroAllRuleCounters)));
        QCOMPARE(panel.asked, 2);
    }
};

QTEST_MAIN(MonitorTest)
#include "tst_monitor.moc"

#include "MonitorController.h"

#include "KeepwallController.h"
#include "adapters/GatewayJob.h"
#include "adapters/NotificationBridge.h"
#include "adapters/Resources.h"
#include "adapters/UserDefaults.h"
#include "base/Log.h"
#include "base/Release.h"
#include "core/IPFWManager.h"
#include "models/RuleTableModel.h"
#include "ui_MonitorController.h"
#include "widgets/LockPattern.h"
#include "widgets/ViewExtensions.h"
#include "windows/insight/InsightHooks.h"
#include "windows/safety/LoadedRulesBar.h"
#include "windows/safety/RuleDiffWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenuBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>

#include <cstdio>

namespace kw::app {

namespace {

QPointer<MonitorController> g_shared;

QString toolbarText(const QString& key)
{
    return Resources::localizedString(QStringLiteral("Toolbars"), key);
}

QString formatInterval(double minutes)
{
    return QString::number(minutes, 'g', 4);
}

} // namespace

MonitorController& MonitorController::sharedInstance()
{
    if (!g_shared) {
        g_shared = new MonitorController(IPFWManager::sharedInstance());
    }
    return *g_shared;
}

void MonitorController::releaseSharedInstance()
{
    delete g_shared.data();
}

MonitorController::MonitorController(IPFWManager& gateway, QWidget* parent)
    : QMainWindow(parent)
    , m_gateway(gateway)
    , m_ui(std::make_unique<Ui::MonitorController>())
    , m_ruleModel(new RuleTableModel(this))
    , m_dynamicModel(new DynamicRuleModel(this))
    , m_refreshTimer(new QTimer(this))
{
    m_ui->setupUi(this);
    auto& bridge = NotificationBridge::sharedInstance();
    connect(&bridge, &NotificationBridge::userAuthenticated, this, &MonitorController::userAuthenticated);
    connect(&bridge, &NotificationBridge::userDeauthenticated, this, &MonitorController::userDeauthenticated);
    windowDidLoad();
}

MonitorController::~MonitorController()
{
    m_refreshTimer->stop();
    if (m_refreshThread != nullptr) {
        m_refreshThread->wait();
        delete m_refreshThread;
    }
}

void MonitorController::windowDidLoad()
{
    m_interval = UserDefaults::doubleValue(QString::fromLatin1(UserDefaults::kMonitorRefreshInterval));
    if (m_interval < 0.5) {
        m_interval = 0.5;
    }

    m_ui->tableView->setModel(m_ruleModel);
    m_ui->dynamicTable->setModel(m_dynamicModel);
    m_ui->tableView->verticalHeader()->hide();
    m_ui->dynamicTable->verticalHeader()->hide();
    m_ui->tableView->setIconSize(QSize(16, 16));
    // Two-line cells: source, destination, traffic and options each take two lines.
    const int lineHeight = QFontMetrics(m_ruleModel->textFont()).lineSpacing();
    m_ui->tableView->verticalHeader()->setDefaultSectionSize(lineHeight * 2 + 8);
    m_ui->dynamicTable->verticalHeader()->setDefaultSectionSize(lineHeight + 6);
    auto* header = m_ui->tableView->horizontalHeader();
    header->setHighlightSections(false);
    const int widths[] = { 52, 48, 34, 62, 140, 150, 70, 104, 196, 170 };
    for (int c = 0; c < RuleTableModel::ColumnCount; ++c) {
        m_ui->tableView->setColumnWidth(c, widths[c]);
    }
    header->setStretchLastSection(true);
    m_ui->dynamicTable->horizontalHeader()->setStretchLastSection(true);
    m_dynamicModel->setHeaderText(
        Resources::localizedString(QStringLiteral("Messages"), QStringLiteral("DynamicFilters")));
    m_ui->splitView->setSizes({ 420, 140 });
    // Above the table: told when the kernel runs rules other than the active setting's.
    m_loadedRulesBar = new LoadedRulesBar;
    m_ui->mainLayout->insertWidget(0, m_loadedRulesBar);

    m_ui->refreshInterval->setText(formatInterval(m_interval));
    showLockState(false);

    connect(m_refreshTimer, &QTimer::timeout, this, &MonitorController::timerFired);
    startTimer(m_interval);

    if (const auto* tips = Resources::propertyList(QStringLiteral("MonitorToolTips")).dictionary()) {
        for (const auto& [key, value] : *tips) {
            m_headerToolTips.insert(QString::fromStdString(key), QString::fromStdString(value.stringValue()));
        }
    }
    HeaderToolTips::of(header).setToolTipsFromDictionary(
        m_headerToolTips, [this](const QString& identifier) { return toolTipForColumn(identifier); });

    createToolbarItems();

    connect(m_ui->tableView, &QTableView::doubleClicked, this, &MonitorController::tableDoubleClicked);
    connect(m_ui->tableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MonitorController::selectionChanged);
    connect(m_ruleModel, &QAbstractItemModel::modelReset, this, &MonitorController::selectionChanged);
    connect(m_ui->refreshButton, &QPushButton::clicked, this, &MonitorController::refreshView);
    connect(m_ui->zeroButton, &QPushButton::clicked, this, &MonitorController::zeroAllRuleCounters);
    connect(m_ui->refreshInterval, &QLineEdit::editingFinished, this, &MonitorController::refreshIntervalChanged);
    connect(m_ui->lockButton, &QToolButton::clicked, this,
            [this] { KeepwallController::toggleAuthentication(m_gateway); });

    if (!restoreWindowFrame(*this, QString::fromLatin1(kFrameName))) {
        resize(1040, 640);
    }
    restoreToolbarState(*this, QString::fromLatin1(kToolbarIdentifier));

    // The spinner shows only while a refresh runs.
    m_ui->spinner->hide();

    std::fputs(KWRunningOnTiger    ? "Running on 10.4 or higher\n"
               : KWRunningOnJaguar ? "Running on 10.2 or higher\n"
                                   : "Running on 10.1 or lower\n",
               stderr);
    if (!KWRunningOnJaguar) {
        m_dynamicModel->setHeaderText(
            Resources::localizedString(QStringLiteral("Messages"), QStringLiteral("DynamicJaguarOnly")));
    }
    updateActions();
}

void MonitorController::createToolbarItems()
{
    if (m_toolbar != nullptr) {
        return;
    }
    struct Item {
        const char* identifier;
        const char* label;
        const char* paletteLabel;
        const char* toolTip;
        const char* image;
        void (MonitorController::*action)();
    };
    const Item items[] = {
        { kRefreshView, "RefreshLabel", "RefreshPaletteLabel", "RefreshToolTip", "Reload",
          &MonitorController::refreshView },
        { kZeroRuleCounter, "ResetLabel", "ResetPaletteLabel", "ResetToolTip", "HistoryPreferences",
          &MonitorController::zeroRuleCounter },
        { kZeroAllRuleCounters, "ResetAllLabel", "ResetAllPaletteLabel", "ResetAllToolTip", "HistoryPreferences",
          &MonitorController::zeroAllRuleCounters },
    };
    m_toolbar = new QToolBar(toolbarText(QStringLiteral("MonitorToolbar")), this);
    m_toolbar->setObjectName(QString::fromLatin1(kToolbarIdentifier));
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_toolbar->setIconSize(QSize(32, 32));
    for (const Item& item : items) {
        // Resetting every counter from the toolbar is offered only before 10.2.
        if (QLatin1String(item.identifier) == QLatin1String(kZeroAllRuleCounters) && KWRunningOnJaguar) {
            continue;
        }
        auto* action = new QAction(Resources::image(QString::fromLatin1(item.image)),
                                   toolbarText(QString::fromLatin1(item.label)), this);
        action->setObjectName(QString::fromLatin1(item.identifier));
        action->setToolTip(toolbarText(QString::fromLatin1(item.toolTip)));
        action->setProperty("paletteLabel", toolbarText(QString::fromLatin1(item.paletteLabel)));
        connect(action, &QAction::triggered, this, item.action);
        m_toolbar->addAction(action);
        m_toolbarItems.insert(QString::fromLatin1(item.identifier), action);
        m_toolbarOrdering << QString::fromLatin1(item.identifier);
    }
    addToolBar(Qt::TopToolBarArea, m_toolbar);

    QMenu* menu = menuBar()->addMenu(tr("&Monitor"));
    m_menuRefresh =
        menu->addAction(Resources::image(QStringLiteral("Reload")), toolbarText(QStringLiteral("RefreshLabel")),
                        QKeySequence::Refresh, this, &MonitorController::refreshView);
    m_menuZero = menu->addAction(toolbarText(QStringLiteral("ResetLabel")), this, &MonitorController::zeroRuleCounter);
    m_menuZeroAll =
        menu->addAction(toolbarText(QStringLiteral("ResetAllLabel")), this, &MonitorController::zeroAllRuleCounters);
    m_menuRefresh->setObjectName(QStringLiteral("menuRefreshView"));
    m_menuZero->setObjectName(QStringLiteral("menuZeroRuleCounter"));
    m_menuZeroAll->setObjectName(QStringLiteral("menuZeroAllRuleCounters"));
    menu->addSeparator();
    menu->addAction(tr("Test a Packet…"), this, [this] { openPacketTesterFromMonitor(*this); })
        ->setObjectName(QStringLiteral("menuTestPacket"));
}

bool MonitorController::validateAction(const QString& identifier) const
{
    if (identifier == QLatin1String(kRefreshView) || identifier == QLatin1String(kZeroRuleCounter) ||
        identifier == QLatin1String(kZeroAllRuleCounters)) {
        return m_isAuthorized && !m_fetching;
    }
    return true;
}

void MonitorController::updateActions()
{
    for (auto it = m_toolbarItems.begin(); it != m_toolbarItems.end(); ++it) {
        it.value()->setEnabled(validateAction(it.key()));
    }
    const bool enabled = validateAction(QString::fromLatin1(kRefreshView));
    for (QAction* item : { m_menuRefresh, m_menuZero, m_menuZeroAll }) {
        if (item != nullptr) {
            item->setEnabled(enabled);
        }
    }
}

void MonitorController::startTimer(double minutes)
{
    m_refreshTimer->stop();
    m_refreshTimer->setInterval(static_cast<int>(minutes * 60.0 * 1000.0));
    m_refreshTimer->start();
}

std::optional<QString> MonitorController::serviceNameForPort(int port) const
{
    return KeepwallController::serviceNameForPort(port);
}

void MonitorController::refreshView()
{
    refreshData();
}

void MonitorController::refreshData()
{
    if (m_fetching) {
        return;
    }
    // May show the panel; its success announces itself, which may already start a refresh.
    if (!m_gateway.authenticate()) {
        return;
    }
    if (m_fetching) {
        return;
    }
    m_fetching = true;
    ++m_refreshesStarted;
    updateActions();
    m_ui->spinner->show();

    IPFWManager* gateway = &m_gateway;
    m_refreshThread = QThread::create([this, gateway] {
        auto result = std::make_shared<std::optional<ListingResult>>();
        auto difference = std::make_shared<std::optional<std::string>>();
        try {
            const auto text = gateway->runIPFWTask(listingArguments(), true);
            if (text) {
                *difference = RuleDiffWindow::loadedRulesDifference(*text);
            }
            IPFWListingParser parser([](int port) -> std::optional<std::string> {
                if (auto name = KeepwallController::serviceNameForPort(port)) {
                    return name->toStdString();
                }
                return std::nullopt;
            });
            *result = parser.parseOutput(text ? std::optional<std::string_view>(*text) : std::nullopt);
        } catch (const std::exception& e) {
            logf("Error fetching Monitor data:%s", e.what());
        }
        QMetaObject::invokeMethod(
            this,
            [this, result, difference] {
                if (*difference) {
                    m_loadedRulesBar->setDifference(QString::fromStdString(**difference));
                }
                refreshEndedWith(std::move(*result));
            },
            Qt::QueuedConnection);
    });
    m_refreshThread->start();
}

void MonitorController::refreshEndedWith(std::optional<ListingResult> result)
{
    if (m_refreshThread != nullptr) {
        m_refreshThread->wait();
        delete m_refreshThread;
        m_refreshThread = nullptr;
    }
    if (result) {
        const int dynamicCount = static_cast<int>(result->dynamicFilters.size());
        m_ruleModel->setRows(std::move(result->ruleRows));
        m_dynamicModel->setLines(std::move(result->dynamicFilters));
        if (KWRunningOnJaguar) {
            m_dynamicModel->setHeaderText(
                Resources::localizedString(QStringLiteral("Messages"), QStringLiteral("DynamicFilters")) +
                QStringLiteral(" (%1)").arg(dynamicCount));
        }
    }
    m_ui->spinner->hide();
    m_fetching = false;
    updateActions();
    emit refreshEnded();
}

bool MonitorController::waitForRefresh(int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while (m_fetching && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return !m_fetching;
}

void MonitorController::timerFired()
{
    if (m_gateway.isAuthenticated() && isVisible()) {
        refreshData();
    }
}

void MonitorController::refreshIntervalChanged()
{
    bool ok = false;
    double v = m_ui->refreshInterval->text().trimmed().toDouble(&ok);
    if (!ok || v < 0) {
        QApplication::beep();
        m_ui->refreshInterval->setText(formatInterval(m_interval));
        return;
    }
    if (v < 0.5) {
        v = 0.5;
        m_ui->refreshInterval->setText(formatInterval(v));
        QApplication::beep();
    }
    m_interval = v;
    UserDefaults::setValue(QString::fromLatin1(UserDefaults::kMonitorRefreshInterval), v);
    startTimer(v);
}

void MonitorController::runZero(std::vector<std::string> args)
{
    if (!m_gateway.authenticate()) {
        return;
    }
    auto* job = GatewayJob::start(
        m_gateway, [args = std::move(args)](IPFWManager& gateway) { gateway.runIPFWTask(args, false); }, this);
    connect(job, &GatewayJob::done, this, &MonitorController::refreshData);
}

void MonitorController::zeroRuleCounter()
{
    const QModelIndexList selected = m_ui->tableView->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        return;
    }
    const RuleRow* row = m_ruleModel->rowAt(selected.first().row());
    if (row == nullptr) {
        return;
    }
    runZero({ "-q", "zero", row->text(RuleKey::OrderItem) });
}

void MonitorController::zeroAllRuleCounters()
{
    runZero({ "-q", "zero" });
}

void MonitorController::tableDoubleClicked(const QModelIndex& index)
{
    const RuleRow* row = index.isValid() ? m_ruleModel->rowAt(index.row()) : nullptr;
    if (row == nullptr || !m_showRuleNumber) {
        return;
    }
    m_showRuleNumber(static_cast<int>(row->number(RuleKey::OrderItem).value_or(0)));
}

void MonitorController::selectionChanged()
{
    const QModelIndexList selected = m_ui->tableView->selectionModel()->selectedRows();
    const RuleRow* row = selected.isEmpty() ? nullptr : m_ruleModel->rowAt(selected.first().row());
    m_ui->filterLabel->setText(row != nullptr ? QString::fromStdString(row->text(RuleKey::FilterItem)) : QString());
}

void MonitorController::userAuthenticated()
{
    if (m_handlingAuthentication) {
        m_isAuthorized = true;
        return;
    }
    m_handlingAuthentication = true;
    showLockState(true);
    m_isAuthorized = true;
    updateActions();
    if (isVisible()) {
        refreshData();
    }
    m_handlingAuthentication = false;
}

void MonitorController::showLockState(bool authenticated)
{
    app::showLockState(authenticated, m_ui->lockButton, m_ui->lockLabel, { "ClickToMonitor", "ClickToDemonitor" },
                       { m_ui->refreshInterval, m_ui->refreshButton, m_ui->zeroButton });
}

void MonitorController::userDeauthenticated()
{
    showLockState(false);
    m_isAuthorized = false;
    updateActions();
}

void MonitorController::saveFrame()
{
    saveWindowFrame(*this, QString::fromLatin1(kFrameName));
    saveToolbarState(*this, QString::fromLatin1(kToolbarIdentifier));
}

void MonitorController::closeEvent(QCloseEvent* event)
{
    saveFrame();
    QMainWindow::closeEvent(event);
}

} // namespace kw::app

#include "LogController.h"

#include "ExportSaveDialog.h"
#include "LogExport.h"
#include "LogTableModel.h"

#include "adapters/GatewayJob.h"
#include "adapters/NotificationBridge.h"
#include "adapters/Resources.h"
#include "base/AtomicFile.h"
#include "base/Log.h"
#include "base/Release.h"
#include "base/SystemRoot.h"
#include "core/IPFWManager.h"
#include "logarchive/KWLogManager.h"
#include "logarchive/SQLDatabase.h"
#include "ui_LogController.h"
#include "widgets/MessageBox.h"
#include "widgets/ViewExtensions.h"
#include "windows/insight/LogRuleMenu.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPointer>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QWidgetAction>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::app {

namespace {

QPointer<LogController> g_shared;

QString toolbarText(const QString& key)
{
    return Resources::localizedString(QStringLiteral("Toolbars"), key);
}

QString messageText(const char* key)
{
    return Resources::localizedString(QStringLiteral("Messages"), QString::fromLatin1(key));
}

std::string machineHostName()
{
    char name[257] = {};
    if (::gethostname(name, 256) != 0) {
        return "localhost";
    }
    return name;
}

// Why the firewall log cannot be read, or nothing. Checked before the log manager reads it, so
// that a folder, a device or a FIFO in its place is reported instead of read (or waited on).
std::optional<std::string> logReadProblem()
{
    const std::string path = SystemRoot::path(KWRunningOnTiger ? "/var/log/ipfw.log" : "/var/log/system.log");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return "The firewall log " + path + " cannot be read: " + std::strerror(errno);
    }
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) {
        return "The firewall log " + path + " is not a regular file.";
    }
    return std::nullopt;
}

// A private database holding the items of the last reading, in the archive's table.
std::shared_ptr<SQLDatabase> makeCurrentDatabase(KWLogManager& manager, bool withItems)
{
    auto database = std::make_shared<SQLDatabase>();
    if (!database->open()) {
        throw std::runtime_error("The current log database cannot be created.");
    }
    database->performQuery("PRAGMA journal_mode=MEMORY");
    database->performQuery(KWLogManager::kCreateTableStatement);
    database->performQuery("CREATE INDEX log_archive_rule_no ON log_archive (rule_no)");
    if (withItems) {
        database->performQuery("BEGIN");
        for (const LogItem& item : manager.currentLogItems()) {
            manager.insertArchiveRow(item, *database);
        }
        database->performQuery("COMMIT");
    }
    return database;
}

} // namespace

struct LogController::RefreshResult {
    std::shared_ptr<SQLDatabase> database;
    std::optional<std::string> problem;
};

LogController& LogController::sharedInstance()
{
    if (!g_shared) {
        g_shared = new LogController(IPFWManager::sharedInstance(), KWLogManager::sharedInstance());
    }
    return *g_shared;
}

void LogController::releaseSharedInstance()
{
    delete g_shared.data();
}

LogController::LogController(IPFWManager& gateway, KWLogManager& logManager, QWidget* parent)
    : QMainWindow(parent)
    , m_gateway(gateway)
    , m_logManager(logManager)
    , m_ui(std::make_unique<Ui::LogController>())
    , m_currentModel(new LogTableModel(this))
    , m_archiveModel(new LogTableModel(this))
    , m_hostName(machineHostName())
{
    m_ui->setupUi(this);
    auto& bridge = NotificationBridge::sharedInstance();
    connect(&bridge, &NotificationBridge::userAuthenticated, this, &LogController::userAuthenticated);
    connect(&bridge, &NotificationBridge::userDeauthenticated, this, &LogController::userDeauthenticated);
    m_isAuthorized = m_gateway.authorized();
    windowDidLoad();
}

LogController::~LogController()
{
    if (m_refreshThread != nullptr) {
        m_refreshThread->wait();
        delete m_refreshThread;
    }
}

void LogController::setUpTable(QTableView* table, LogTableModel* model)
{
    table->setModel(model);
    table->verticalHeader()->hide();
    // Every row is two lines high (the time under the date), and of one height, so a view of
    // a million rows never measures them.
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(QFontMetrics(model->textFont()).lineSpacing() * 2 + 6);
    table->setIconSize(QSize(16, 16));
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setShowGrid(false);
    table->setWordWrap(false);
    table->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    auto* header = table->horizontalHeader();
    header->setHighlightSections(false);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    const int widths[LogTableModel::ColumnCount] = { 96, 56, 52, 80, 132, 70, 132, 70, 40, 72 };
    for (int c = 0; c < LogTableModel::ColumnCount; ++c) {
        table->setColumnWidth(c, widths[c]);
    }
    header->setStretchLastSection(true);
    // A click on a column header sorts that set by the column; a second click reverses it.
    connect(header, &QHeaderView::sectionClicked, this, [table, model](int column) {
        const Qt::SortOrder order = model->sortColumn() == column && model->sortOrder() == Qt::AscendingOrder
                                        ? Qt::DescendingOrder
                                        : Qt::AscendingOrder;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        model->sort(column, order);
        QApplication::restoreOverrideCursor();
        table->horizontalHeader()->setSortIndicator(model->sortColumn(), model->sortOrder());
    });
}

void LogController::windowDidLoad()
{
    setUpTable(m_ui->tableView, m_currentModel);
    setUpTable(m_ui->archiveTable, m_archiveModel);
    installRuleFromLogMenu(m_ui->tableView);
    installRuleFromLogMenu(m_ui->archiveTable);
    m_ui->tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_ui->archiveTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_ui->currentMessage->setStyleSheet(QStringLiteral("color: #b00000;"));
    m_ui->archiveMessage->setStyleSheet(QStringLiteral("color: #b00000;"));
    m_ui->currentMessage->hide();
    m_ui->archiveMessage->hide();

    createSearchView();
    createToolbarItems();
    connect(m_ui->tabView, &QTabWidget::currentChanged, this, &LogController::updateActions);
    connect(m_ui->archiveTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &LogController::updateActions);

    loadArchiveItemsForQuery(std::nullopt);
    showCount(kCurrentTab);

    if (!restoreWindowFrame(*this, QString::fromLatin1(kFrameName))) {
        resize(980, 620);
    }
    restoreToolbarState(*this, QString::fromLatin1(kToolbarIdentifier));
    showLoggingState();
}

void LogController::createSearchView()
{
    m_searchView = new QWidget(this);
    m_searchView->setObjectName(QStringLiteral("searchView"));
    auto* layout = new QHBoxLayout(m_searchView);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->setSpacing(4);
    m_columnMenu = new QComboBox(m_searchView);
    m_columnMenu->setObjectName(QStringLiteral("columnMenu"));
    const char* const columns[] = { "Source Port", "Source Host", "Destination Port", "Destination Host", "Action",
                                    "Date",        "Rule" };
    for (int tag = 0; tag < 7; ++tag) {
        m_columnMenu->addItem(tr(columns[tag]), tag);
    }
    m_operationMenu = new QComboBox(m_searchView);
    m_operationMenu->setObjectName(QStringLiteral("operationMenu"));
    const char* const operations[] = { "is",          "is not",   "is greater than", "is less than",
                                       "begins with", "contains", "ends with" };
    for (int tag = 0; tag < 7; ++tag) {
        m_operationMenu->addItem(tr(operations[tag]), tag);
    }
    m_queryField = new QLineEdit(m_searchView);
    m_queryField->setObjectName(QStringLiteral("queryField"));
    m_queryField->setPlaceholderText(toolbarText(QStringLiteral("SearchLabel")));
    m_queryField->setClearButtonEnabled(true);
    m_queryField->setMinimumWidth(150);
    layout->addWidget(m_columnMenu);
    layout->addWidget(m_operationMenu);
    layout->addWidget(m_queryField);
    connect(m_queryField, &QLineEdit::returnPressed, this, &LogController::searchLog);
    m_searchView->setFixedSize(m_searchView->sizeHint());
}

void LogController::createToolbarItems()
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
        void (LogController::*action)();
        bool byDefault;
    };
    const Item items[] = {
        { kRefreshView, "RefreshLogLabel", "RefreshLogPaletteLabel", "RefreshLogToolTip", "Reload",
          &LogController::refreshView, true },
        { kExportToTextFile, "ExportLabel", "ExportPaletteLabel", "ExportToolTip", "Disk",
          &LogController::exportToTextFile, true },
        { kIncorporateNewLogEntries, "ArchiveLabel", "ArchivePaletteLabel", "ArchiveToolTip", "HistoryPreferences",
          &LogController::incorporateNewLogEntries, true },
        { kSearchLog, "SearchLabel", "SearchPaletteLabel", "SearchToolTip", nullptr, &LogController::searchLog, true },
        { kRotateSystemLog, "RotateLog", "RotateLogPalette", "RotateSystemLog", "rotate_log",
          &LogController::rotateSystemLog, true },
        { kToggleLogging, "ToggleLogLabel", "ToggleLogPaletteLabel", "ToggleLogToolTip", "HistoryPreferences",
          &LogController::toggleLogging, true },
        { kEnableLogging, "EnableLogLabel", "EnableLogPaletteLabel", "EnableLogToolTip", "HistoryPreferences",
          &LogController::enableLogging, false },
        { kDisableLogging, "DisableLogLabel", "DisableLogPaletteLabel", "DisbleLogToolTip", "delete",
          &LogController::disableLogging, false },
    };
    m_toolbar = new QToolBar(toolbarText(QStringLiteral("LogPaletteLabel")), this);
    m_toolbar->setObjectName(QString::fromLatin1(kToolbarIdentifier));
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_toolbar->setIconSize(QSize(32, 32));
    for (const Item& item : items) {
        const QString identifier = QString::fromLatin1(item.identifier);
        QAction* action = nullptr;
        if (item.image == nullptr) {
            auto* widgetAction = new QWidgetAction(this);
            widgetAction->setDefaultWidget(m_searchView);
            widgetAction->setText(toolbarText(QString::fromLatin1(item.label)));
            action = widgetAction;
        } else {
            action = new QAction(Resources::image(QString::fromLatin1(item.image)),
                                 toolbarText(QString::fromLatin1(item.label)), this);
        }
        action->setObjectName(identifier);
        action->setToolTip(toolbarText(QString::fromLatin1(item.toolTip)));
        action->setProperty("paletteLabel", toolbarText(QString::fromLatin1(item.paletteLabel)));
        connect(action, &QAction::triggered, this, item.action);
        m_toolbarItems.insert(identifier, action);
        if (item.byDefault) {
            if (identifier == QLatin1String(kRotateSystemLog)) {
                auto* space = new QWidget(m_toolbar);
                space->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
                m_toolbar->addWidget(space);
            }
            m_toolbar->addAction(action);
            m_toolbarOrdering << identifier;
        }
    }
    addToolBar(Qt::TopToolBarArea, m_toolbar);

    // The menu: the same actions with keys, and deleting archive rows.
    QMenu* menu = menuBar()->addMenu(tr("&Log"));
    auto addMenuItem = [&](const char* identifier, const QString& title, const QKeySequence& key,
                           void (LogController::*slot)()) {
        QAction* item = menu->addAction(title, this, slot);
        item->setShortcut(key);
        item->setObjectName(QStringLiteral("menu_%1").arg(QLatin1String(identifier)));
        m_menuItems.insert(QString::fromLatin1(identifier), item);
    };
    addMenuItem(kRefreshView, toolbarText(QStringLiteral("RefreshLogPaletteLabel")), QKeySequence::Refresh,
                &LogController::refreshView);
    addMenuItem(kExportToTextFile, toolbarText(QStringLiteral("ExportPaletteLabel")) + QStringLiteral("…"),
                QKeySequence(Qt::CTRL | Qt::Key_E), &LogController::exportToTextFile);
    addMenuItem(kIncorporateNewLogEntries, toolbarText(QStringLiteral("ArchivePaletteLabel")),
                QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A), &LogController::incorporateNewLogEntries);
    addMenuItem(kDeleteSelectedItems, tr("Delete Selected Entries"), QKeySequence::Delete,
                &LogController::deleteSelectedItems);
    menu->addSeparator();
    QAction* find = menu->addAction(toolbarText(QStringLiteral("SearchPaletteLabel")), this, [this] {
        m_queryField->setFocus();
        m_queryField->selectAll();
    });
    find->setShortcut(QKeySequence::Find);
    addMenuItem(kSearchLog, tr("Search Again"), QKeySequence(Qt::CTRL | Qt::Key_G), &LogController::searchLog);
    menu->addSeparator();
    addMenuItem(kToggleLogging, tr("Enable Logging"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_T),
                &LogController::toggleLogging);
    addMenuItem(kEnableLogging, toolbarText(QStringLiteral("EnableLogPaletteLabel")), {},
                &LogController::enableLogging);
    addMenuItem(kDisableLogging, toolbarText(QStringLiteral("DisableLogPaletteLabel")), {},
                &LogController::disableLogging);
    addMenuItem(kRotateSystemLog, toolbarText(QStringLiteral("RotateLogPalette")), {}, &LogController::rotateSystemLog);
}

bool LogController::validateAction(const QString& identifier, bool menu) const
{
    if (identifier == QLatin1String(kEnableLogging)) {
        return m_isAuthorized && !m_loggingEnabled;
    }
    if (identifier == QLatin1String(kDisableLogging)) {
        return m_isAuthorized && m_loggingEnabled;
    }
    if (identifier == QLatin1String(kRotateSystemLog)) {
        return m_isAuthorized && !KWRunningOnTiger;
    }
    if (identifier == QLatin1String(kIncorporateNewLogEntries)) {
        return m_isAuthorized;
    }
    if (identifier == QLatin1String(kToggleLogging)) {
        return menu || m_isAuthorized;
    }
    if (identifier == QLatin1String(kDeleteSelectedItems)) {
        return m_isAuthorized && !currentTabSelected();
    }
    return true;
}

void LogController::updateActions()
{
    for (auto it = m_toolbarItems.begin(); it != m_toolbarItems.end(); ++it) {
        it.value()->setEnabled(validateAction(it.key(), false));
    }
    for (auto it = m_menuItems.begin(); it != m_menuItems.end(); ++it) {
        it.value()->setEnabled(validateAction(it.key(), true));
    }
    // The toggle shows the switch it will make.
    if (QAction* toggle = m_toolbarItems.value(QString::fromLatin1(kToggleLogging))) {
        toggle->setText(toolbarText(QString::fromLatin1(m_loggingEnabled ? "DisableLogLabel" : "EnableLogLabel")));
        toggle->setIcon(Resources::image(QString::fromLatin1(m_loggingEnabled ? "delete" : "HistoryPreferences")));
    }
    if (QAction* toggle = m_menuItems.value(QString::fromLatin1(kToggleLogging))) {
        toggle->setText(m_loggingEnabled ? tr("Disable Logging") : tr("Enable Logging"));
    }
}

bool LogController::currentTabSelected() const
{
    return m_ui->tabView->currentIndex() == kCurrentTab;
}

void LogController::showLoggingState()
{
    m_loggingEnabled = m_gateway.fwLoggingIsEnabled();
    m_ui->statusLabel->setText(messageText(m_loggingEnabled ? "FWLoggingEnabled" : "FWLoggingDisabled"));
    updateActions();
}

void LogController::showCount(int tab)
{
    const LogTableModel& model = tab == kCurrentTab ? *m_currentModel : *m_archiveModel;
    QLabel* label = tab == kCurrentTab ? m_ui->countLabel : m_ui->archiveCountLabel;
    label->setText(tr("%1 items found").arg(model.rowCount()));
}

void LogController::showMessage(int tab, const QString& text)
{
    QLabel* label = tab == kCurrentTab ? m_ui->currentMessage : m_ui->archiveMessage;
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

void LogController::loadArchiveItemsForQuery(const std::optional<LogSearch>& search)
{
    const std::string path = KWLogManager::logDBPath();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        // No archive yet: nothing has been archived on this machine.
        m_archiveModel->clear();
        showMessage(kArchiveTab, {});
        showCount(kArchiveTab);
        return;
    }
    // The user's process only reads the archive; the tool alone writes it.
    auto database = std::make_shared<SQLDatabase>(path);
    if (!database->openReadOnly()) {
        m_archiveModel->clear();
        showMessage(kArchiveTab, tr("The log archive %1 cannot be opened.").arg(QString::fromStdString(path)));
        showCount(kArchiveTab);
        return;
    }
    try {
        database->performQuery("PRAGMA temp_store = MEMORY");
        m_archiveModel->setSource(database, search);
        showMessage(kArchiveTab, {});
    } catch (const std::exception& e) {
        // The table keeps what it showed; the reason is shown beside it.
        logf("%s", e.what());
        showMessage(kArchiveTab, tr("The log archive cannot be read: %1").arg(QString::fromUtf8(e.what())));
    }
    showCount(kArchiveTab);
}

void LogController::loadCurrentItemsForQuery(const std::optional<LogSearch>& search)
{
    if (!m_currentDatabase) {
        m_currentModel->clear();
        showCount(kCurrentTab);
        return;
    }
    try {
        m_currentModel->setSource(m_currentDatabase, search);
    } catch (const std::exception& e) {
        logf("%s", e.what());
        showMessage(kCurrentTab, tr("The current log cannot be read: %1").arg(QString::fromUtf8(e.what())));
    }
    showCount(kCurrentTab);
}

void LogController::refreshView()
{
    if (m_refreshThread != nullptr) {
        return;
    }
    m_progressPanel = new QProgressDialog(tr("Reading the firewall log…"), QString(), 0, 0, this);
    m_progressPanel->setObjectName(QStringLiteral("progressPanel"));
    m_progressPanel->setWindowModality(Qt::WindowModal);
    m_progressPanel->setMinimumDuration(0);
    m_progressPanel->setAutoClose(false);
    m_progressPanel->show();

    auto result = std::make_shared<RefreshResult>();
    KWLogManager* manager = &m_logManager;
    m_refreshThread = QThread::create([this, manager, result] {
        try {
            result->problem = logReadProblem();
            if (!result->problem) {
                manager->reloadLogItems();
            }
            result->database = makeCurrentDatabase(*manager, !result->problem);
        } catch (const std::exception& e) {
            logf("%s", e.what());
            result->problem = e.what();
        }
        QMetaObject::invokeMethod(
            this, [this, result] { refreshEndedWith(result); }, Qt::QueuedConnection);
    });
    updateActions();
    m_refreshThread->start();
}

void LogController::refreshEndedWith(std::shared_ptr<RefreshResult> result)
{
    if (m_refreshThread != nullptr) {
        m_refreshThread->wait();
        delete m_refreshThread;
        m_refreshThread = nullptr;
    }
    if (result->database) {
        // The finished database replaces the old one in one step.
        m_currentDatabase = std::move(result->database);
    }
    showMessage(kCurrentTab, result->problem ? QString::fromStdString(*result->problem) : QString());
    loadCurrentItemsForQuery(std::nullopt);
    showLoggingState();
    if (m_progressPanel != nullptr) {
        m_progressPanel->hide();
        m_progressPanel->deleteLater();
        m_progressPanel = nullptr;
    }
    emit refreshEnded();
}

void LogController::searchLog()
{
    const auto search =
        LogSearch::fromMenuTags(m_columnMenu->currentData().toInt(), m_operationMenu->currentData().toInt(),
                                m_queryField->text().toStdString());
    if (currentTabSelected()) {
        loadCurrentItemsForQuery(search);
    } else {
        loadArchiveItemsForQuery(search);
    }
}

void LogController::showRuleNumber(int ruleNumber)
{
    const QString number = QString::number(ruleNumber);
    m_queryField->setText(number);
    m_columnMenu->setCurrentIndex(m_columnMenu->findData(6));
    m_operationMenu->setCurrentIndex(m_operationMenu->findData(0));
    loadCurrentItemsForQuery(LogSearch::fromMenuTags(6, 0, number.toStdString()));
    m_ui->tabView->setCurrentIndex(kCurrentTab);
    showWindow();
}

void LogController::showWindow()
{
    show();
    raise();
    activateWindow();
}

void LogController::runJob(std::function<void(IPFWManager&)> work, std::function<void()> next)
{
    // May show the panel; without the user's consent nothing runs.
    if (!m_gateway.authenticate()) {
        return;
    }
    ++m_runningJobs;
    auto* job = GatewayJob::start(m_gateway, std::move(work), this);
    connect(job, &GatewayJob::done, this, [this, next = std::move(next)] {
        --m_runningJobs;
        if (next) {
            next();
        }
    });
}

void LogController::incorporateNewLogEntries()
{
    m_ui->tabView->setCurrentIndex(kArchiveTab);
    runJob([](IPFWManager& gateway) { gateway.updateLogArchive(); }, [this] { searchLog(); });
}

void LogController::deleteSelectedItems()
{
    if (currentTabSelected()) {
        return;
    }
    Value::Array ids;
    for (const QItemSelectionRange& range : m_ui->archiveTable->selectionModel()->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            const std::int64_t id = m_archiveModel->logIdAt(row);
            if (id >= 0) {
                ids.push_back(Value::integer(id));
            }
        }
    }
    if (ids.empty()) {
        return;
    }
    m_ui->archiveTable->clearSelection();
    runJob([ids = std::move(ids)](IPFWManager& gateway) { gateway.deleteLogItems(ids); }, [this] { searchLog(); });
}

void LogController::enableLogging()
{
    runJob([](IPFWManager& gateway) { gateway.enableFWLogging(); }, [this] { showLoggingState(); });
}

void LogController::disableLogging()
{
    runJob([](IPFWManager& gateway) { gateway.disableFWLogging(); }, [this] { showLoggingState(); });
}

void LogController::toggleLogging()
{
    if (m_loggingEnabled) {
        disableLogging();
    } else {
        enableLogging();
    }
}

void LogController::rotateSystemLog()
{
    runJob([](IPFWManager& gateway) { gateway.rotateSystemLog(); }, {});
}

void LogController::exportToTextFile()
{
    const bool current = currentTabSelected();
    const LogTableModel& model = current ? *m_currentModel : *m_archiveModel;
    const auto answer = ExportSaveDialog::run(this, QDir::homePath(), QStringLiteral("firewall-log.txt"));
    if (!answer || answer->formatTag < 0 || answer->formatTag > 2) {
        return;
    }
    LogExportWriter writer(static_cast<LogExportWriter::Format>(answer->formatTag), m_hostName);
    QProgressDialog progress(tr("Exporting the log…"), tr("Cancel"), 0, std::max(1, model.rowCount()), this);
    progress.setObjectName(QStringLiteral("exportProgress"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(500);
    int written = 0;
    bool completed = false;
    try {
        completed = model.forEachRecord([&](const LogRecordView& row) {
            writer.append(row);
            if (++written == 1024 && model.rowCount() > 2048) {
                // Room for the whole text at once: growing it by doubling would hold two copies.
                writer.text().reserve(writer.text().size() / 1024 * static_cast<std::size_t>(model.rowCount()) * 21 /
                                      20);
            }
            if (written % 16384 == 0) {
                progress.setValue(std::min(written, progress.maximum()));
                QCoreApplication::processEvents();
                return !progress.wasCanceled();
            }
            return true;
        });
    } catch (const std::exception& e) {
        progress.close();
        MessageBox::critical(this, tr("Export Log"),
                             tr("The log could not be read: %1").arg(QString::fromUtf8(e.what())));
        return;
    }
    progress.close();
    if (!completed) {
        return;
    }
    // Written beside the chosen file and renamed over it: a failed export leaves the old file.
    const std::string path = QFile::encodeName(answer->path).toStdString();
    if (!writeFileAtomically(path, writer.text(), 0644)) {
        const int error = errno;
        MessageBox::critical(this, tr("Export Log"),
                             tr("The log could not be written to %1: %2")
                                 .arg(answer->path, QString::fromLocal8Bit(std::strerror(error))));
    }
}

void LogController::userAuthenticated()
{
    m_isAuthorized = true;
    updateActions();
}

void LogController::userDeauthenticated()
{
    m_isAuthorized = false;
    updateActions();
}

bool LogController::waitUntilIdle(int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    while ((m_refreshThread != nullptr || m_runningJobs > 0) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    QCoreApplication::processEvents();
    return m_refreshThread == nullptr && m_runningJobs == 0;
}

void LogController::saveFrame()
{
    saveWindowFrame(*this, QString::fromLatin1(kFrameName));
    saveToolbarState(*this, QString::fromLatin1(kToolbarIdentifier));
}

void LogController::closeEvent(QCloseEvent* event)
{
    saveFrame();
    QMainWindow::closeEvent(event);
}

} // namespace kw::app

#pragma once

#include "logarchive/LogSearch.h"

#include <QHash>
#include <QMainWindow>
#include <QStringList>

#include <memory>
#include <optional>
#include <string>

class QAction;
class QComboBox;
class QLineEdit;
class QProgressDialog;
class QTableView;
class QThread;
class QToolBar;

namespace Ui {
class LogController;
}

namespace kw {
class IPFWManager;
class KWLogManager;
class SQLDatabase;
} // namespace kw

namespace kw::app {

class LogTableModel;

// The log window: the current entries (read from the system log on a refresh thread into a
// private database) and the archive, each searchable with one condition, sortable by column
// and exportable in three formats; archiving, deleting archive rows, the logging switches and
// the log rotation go through the gateway as jobs.
class LogController : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* kToolbarIdentifier = "LoggingToolbar";
    static constexpr const char* kFrameName = "LogController";
    static constexpr const char* kRefreshView = "refreshView";
    static constexpr const char* kExportToTextFile = "exportToTextFile";
    static constexpr const char* kIncorporateNewLogEntries = "incorporateNewLogEntries";
    static constexpr const char* kSearchLog = "searchLog";
    static constexpr const char* kRotateSystemLog = "rotateSystemLog";
    static constexpr const char* kToggleLogging = "toggleLogging";
    static constexpr const char* kEnableLogging = "enableLogging";
    static constexpr const char* kDisableLogging = "disableLogging";
    static constexpr const char* kDeleteSelectedItems = "deleteSelectedItems";

    static constexpr int kCurrentTab = 0;
    static constexpr int kArchiveTab = 1;

    static LogController& sharedInstance();
    static void releaseSharedInstance();

    explicit LogController(IPFWManager& gateway, KWLogManager& logManager, QWidget* parent = nullptr);
    ~LogController() override;

    // Shows the window in front.
    void showWindow();
    // Shows the current entries of one rule (the monitor's double click).
    void showRuleNumber(int ruleNumber);

    LogTableModel& currentModel() const { return *m_currentModel; }
    LogTableModel& archiveModel() const { return *m_archiveModel; }
    QAction* toolbarItem(const QString& identifier) const { return m_toolbarItems.value(identifier); }
    QAction* menuItem(const QString& identifier) const { return m_menuItems.value(identifier); }
    QStringList toolbarOrdering() const { return m_toolbarOrdering; }
    QComboBox* columnMenu() const { return m_columnMenu; }
    QComboBox* operationMenu() const { return m_operationMenu; }
    QLineEdit* queryField() const { return m_queryField; }
    bool isAuthorized() const { return m_isAuthorized; }
    bool loggingEnabled() const { return m_loggingEnabled; }
    bool isRefreshing() const { return m_refreshThread != nullptr; }
    // Gateway jobs started and not yet ended.
    int runningJobs() const { return m_runningJobs; }

    // Whether a toolbar item (or, with menu set, its menu item) may be used now.
    bool validateAction(const QString& identifier, bool menu) const;

    // The host name written into system-log style exports (the machine's by default).
    void setHostName(std::string name) { m_hostName = std::move(name); }

    // Waits (tests, quit) until a refresh and the gateway jobs have ended; false on time-out.
    bool waitUntilIdle(int milliseconds);

public slots:
    void refreshView();
    void exportToTextFile();
    void incorporateNewLogEntries();
    void searchLog();
    void rotateSystemLog();
    void toggleLogging();
    void enableLogging();
    void disableLogging();
    void deleteSelectedItems();
    void userAuthenticated();
    void userDeauthenticated();

signals:
    // A refresh has been shown; the current table holds its entries.
    void refreshEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct RefreshResult;

    void windowDidLoad();
    void setUpTable(QTableView* table, LogTableModel* model);
    void createSearchView();
    void createToolbarItems();
    void updateActions();
    void showLoggingState();
    void loadArchiveItemsForQuery(const std::optional<LogSearch>& search);
    void loadCurrentItemsForQuery(const std::optional<LogSearch>& search);
    void refreshEndedWith(std::shared_ptr<RefreshResult> result);
    void showCount(int tab);
    void showMessage(int tab, const QString& text);
    // Runs privileged work as a gateway job once the user is authenticated; then runs next.
    void runJob(std::function<void(IPFWManager&)> work, std::function<void()> next);
    bool currentTabSelected() const;
    void saveFrame();

    IPFWManager& m_gateway;
    KWLogManager& m_logManager;
    std::unique_ptr<Ui::LogController> m_ui;
    LogTableModel* m_currentModel;
    LogTableModel* m_archiveModel;
    std::shared_ptr<SQLDatabase> m_currentDatabase;
    QWidget* m_searchView = nullptr;
    QComboBox* m_columnMenu = nullptr;
    QComboBox* m_operationMenu = nullptr;
    QLineEdit* m_queryField = nullptr;
    QProgressDialog* m_progressPanel = nullptr;
    QToolBar* m_toolbar = nullptr;
    QHash<QString, QAction*> m_toolbarItems;
    QHash<QString, QAction*> m_menuItems;
    QStringList m_toolbarOrdering;
    QThread* m_refreshThread = nullptr;
    std::string m_hostName;
    bool m_isAuthorized = false;
    bool m_loggingEnabled = false;
    int m_runningJobs = 0;
};

} // namespace kw::app

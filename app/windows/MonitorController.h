#pragma once

#include "monitor/IPFWListingParser.h"

#include <QHash>
#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QThread;
class QTimer;
class QToolBar;

namespace Ui {
class MonitorController;
}

namespace kw {
class IPFWManager;
}

namespace kw::app {

class DynamicRuleModel;
class LoadedRulesBar;
class RuleTableModel;

// The monitor: the rules loaded in the kernel with their counters and last-match times, and
// the dynamic rules, refreshed on a timer while the user is authenticated. The listing runs on
// a refresh thread (at most one at a time); the window never waits for ipfw.
class MonitorController : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* kToolbarIdentifier = "MonitorToolbar1.2";
    static constexpr const char* kFrameName = "MonitorController";
    static constexpr const char* kRefreshView = "refreshView";
    static constexpr const char* kZeroRuleCounter = "zeroRuleCounter";
    static constexpr const char* kZeroAllRuleCounters = "zeroAllRuleCounters";

    static MonitorController& sharedInstance();
    static void releaseSharedInstance();

    explicit MonitorController(IPFWManager& gateway, QWidget* parent = nullptr);
    ~MonitorController() override;

    // Where a double click on a rule goes: the log window's showRuleNumber.
    void setShowRuleNumberHandler(std::function<void(int)> handler) { m_showRuleNumber = std::move(handler); }

    std::optional<QString> serviceNameForPort(int port) const;

    bool isFetching() const { return m_fetching; }
    bool isAuthorized() const { return m_isAuthorized; }
    RuleTableModel& ruleModel() const { return *m_ruleModel; }
    DynamicRuleModel& dynamicModel() const { return *m_dynamicModel; }
    QTimer& refreshTimer() const { return *m_refreshTimer; }
    // The bar shown above the table while the loaded rules differ from the active setting's.
    LoadedRulesBar* loadedRulesBar() const { return m_loadedRulesBar; }
    QAction* toolbarItem(const QString& identifier) const { return m_toolbarItems.value(identifier); }
    QStringList toolbarOrdering() const { return m_toolbarOrdering; }
    const QHash<QString, QString>& headerToolTips() const { return m_headerToolTips; }
    QString toolTipForColumn(const QString& identifier) const { return m_headerToolTips.value(identifier); }
    // Counts the refresh threads started (for tests).
    int refreshesStarted() const { return m_refreshesStarted; }

    // Whether the refresh and zero actions may run now.
    bool validateAction(const QString& identifier) const;

    // Waits until a running refresh has been shown (tests, quit); false on time-out.
    bool waitForRefresh(int milliseconds);

public slots:
    void refreshView();
    void refreshData();
    void zeroRuleCounter();
    void zeroAllRuleCounters();
    void refreshIntervalChanged();
    void tableDoubleClicked(const QModelIndex& index);
    void timerFired();
    void userAuthenticated();
    void userDeauthenticated();

signals:
    // A refresh has been shown (or failed); the tables hold its result.
    void refreshEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void windowDidLoad();
    void createToolbarItems();
    void updateActions();
    void showLockState(bool authenticated);
    void startTimer(double minutes);
    void refreshEndedWith(std::optional<ListingResult> result);
    void selectionChanged();
    void runZero(std::vector<std::string> args);
    void saveFrame();

    IPFWManager& m_gateway;
    std::unique_ptr<Ui::MonitorController> m_ui;
    RuleTableModel* m_ruleModel;
    DynamicRuleModel* m_dynamicModel;
    QTimer* m_refreshTimer;
    QToolBar* m_toolbar = nullptr;
    QHash<QString, QAction*> m_toolbarItems;
    QStringList m_toolbarOrdering;
    QAction* m_menuRefresh = nullptr;
    QAction* m_menuZero = nullptr;
    QAction* m_menuZeroAll = nullptr;
    QHash<QString, QString> m_headerToolTips;
    QThread* m_refreshThread = nullptr;
    LoadedRulesBar* m_loadedRulesBar = nullptr;
    std::function<void(int)> m_showRuleNumber;
    double m_interval = 1.0;
    bool m_fetching = false;
    bool m_isAuthorized = false;
    bool m_handlingAuthentication = false;
    int m_refreshesStarted = 0;
};

} // namespace kw::app

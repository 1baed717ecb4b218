#pragma once

#include "adapters/GatewayJob.h"

#include "base/PlistValue.h"

#include <QHash>
#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QPlainTextEdit;
class QProgressDialog;
class QToolBar;

namespace Ui {
class NewConfigurationController;
}

namespace kw {
class IPFWManager;
class KeepwallPrefs;
class ScopedObserver;
} // namespace kw

namespace kw::app {

class KeepwallAssistant;
class NatConfigController;
class QuickTabController;

// The configuration window: edits one stored setting at a time on three pages (one quick
// panel per interface, the expert rule and natd texts, IP sharing), stores it through the
// tool, and activates, installs, removes, clears and imports the kernel rules. Privileged
// work runs as gateway jobs; the setting is gathered on the GUI thread before a job starts.
class NewConfigurationController : public QMainWindow {
    Q_OBJECT
public:
    // Page identifiers of tabView, by index: quick "0", expert "2", IP sharing "1".
    static constexpr int kQuickPage = 0;
    static constexpr int kExpertPage = 1;
    static constexpr int kSharingPage = 2;
    static constexpr const char* kToolbarIdentifier = "SyntaxToolbar";
    static constexpr const char* kInterfaceConfigured = "KWInterfaceConfiguredNotification";

    static NewConfigurationController& sharedInstance();
    static void releaseSharedInstance();

    explicit NewConfigurationController(IPFWManager& gateway, QWidget* parent = nullptr);
    ~NewConfigurationController() override;

    bool loadCurrentSettings();
    void loadSettingsForKey(const std::string& key);
    // The setting as the pages show it, under the loaded key.
    Value settingFromPages() const;
    // Stores the edited setting (and makes it current); done() runs when the store has ended.
    void flushSettings(std::function<void(bool stored)> done = {});
    void generateExpertTextFromQuick();
    // The expert text of the quick pages, without showing it.
    std::string expertTextFromQuick();
    void generateNatdTextFromQuick();
    bool isAuthorized() const { return m_isAuthorized; }
    bool isEdited() const { return isWindowModified(); }

    const std::string& settingKey() const { return m_settingKey; }
    const QString& settingName() const { return m_settingName; }
    const std::vector<QuickTabController*>& tabViewControllers() const { return m_tabViewControllers; }
    NatConfigController* natController() const { return m_natController; }
    QAction* toolbarItem(const QString& identifier) const { return m_toolbarItems.value(identifier); }
    QString expertText() const;
    QString natdExpertText() const;
    int selectedPage() const;

    // The save prompt: true when quitting may go on now. With unsaved changes it asks; "Save"
    // stores and then asks the application to quit again, "Discard" brings the stored setting
    // back, "Cancel" keeps everything open.
    bool applicationShouldTerminate(std::function<void()> continueTermination);

    // Waits until no job of this window runs (tests, quit); false on time-out.
    bool waitForJobs(int milliseconds);

public slots:
    void saveSettings();
    void applySettings();
    // Activates the setting on trial: a count-down dialog keeps it or puts the previous rules back.
    void applySettingsWithUndo();
    void saveToStartupFile();
    void removeStartupFile();
    void revertSettings();
    void clearAllRules();
    void showQuickSettings();
    void showIPSharingSettings();
    void showExpertSettings();
    void toggleExpertEditing();
    // Sets the expert-editing check box (from the syntax checker window) and applies it.
    void allowExpertEditing(bool allowed);
    // Shows the syntax checker window on the expert text and checks it.
    void showSyntaxChecker();
    // Runs the setup assistant as a sheet on this window (refused while IP sharing runs).
    void runSetupAssistant();
    void copy();
    void paste();
    void markEdited();
    void userAuthenticated();
    void userDeauthenticated();
    // Shows the quick page of the interface (after the setup assistant configured it).
    void selectInterface(const QString& interfaceName);

signals:
    // A privileged job of the window has ended (store, apply, install, remove, clear, import).
    void jobEnded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void windowDidLoad();
    void createToolbar();
    void validateToolbar();
    void buildTabViewsForSettings(const Value& setting);
    void setPageTitle(const char* format);
    void setOwnControlsEnabled(bool enabled);
    void storeAndApply(bool store, bool apply);
    // Asks before loading a setting whose rules would lock the user out; true when loading may go on.
    bool confirmLockoutWarnings();
    void runJob(std::function<void(IPFWManager&)> work, std::function<void(bool failed)> after);
    void loadSetting(const std::string& key, const KeepwallPrefs& prefs);
    Value documentToStore() const;
    // Replaces a text view's text without counting it as the user's edit.
    void showTextKeepingMark(QPlainTextEdit* view, const QString& text);
    void showIPSharingRunning(const QString& message);
    KeepwallAssistant& assistant();

    IPFWManager& m_gateway;
    std::unique_ptr<Ui::NewConfigurationController> m_ui;
    std::vector<QuickTabController*> m_tabViewControllers;
    NatConfigController* m_natController = nullptr;
    QToolBar* m_toolbar = nullptr;
    QHash<QString, QAction*> m_toolbarItems;
    QList<QAction*> m_authorizedMenuItems;
    QProgressDialog* m_progPanel = nullptr;
    std::string m_settingKey;
    QString m_settingName;
    bool m_isAuthorized = false;
    bool m_loading = false;
    GatewayJobs m_jobs { m_gateway, this };
    std::unique_ptr<kw::ScopedObserver> m_interfaceConfigured;
    KeepwallAssistant* m_assistant = nullptr;
};

} // namespace kw::app

#pragma once

#include "adapters/GatewayJob.h"

#include "base/PlistValue.h"

#include <QDialog>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QButtonGroup;

namespace Ui {
class KeepwallAssistant;
}

namespace kw {
class IPFWManager;
class KeepwallPrefs;
} // namespace kw

namespace kw::app {

class ArrayTableDataSource;
class NewConfigurationController;

// The setup assistant: a paged sheet on the configuration window that builds a complete quick
// setting from a few answers (the interface that faces the Internet, how it gets its address,
// the services to reach from the Internet, optionally the local network to share with), stores
// it under the window's setting key as the current setting with logging on, and then asks the
// window to activate or install it.
class KeepwallAssistant : public QDialog {
    Q_OBJECT
public:
    // Pages of tabView, in the order a person goes through them.
    enum Page { kIntroPage = 0, kInterfacePage, kServicesPage, kFinishPage, kSharingPage };
    // The sheet's end code that writes the setting (the toolkit's "stopped" response).
    static constexpr int kSheetOk = -1000;
    static constexpr int kSheetCancel = 0;
    static constexpr const char* kInterfaceConfigured = "KWInterfaceConfiguredNotification";
    static constexpr const char* kDefaultKey = "Default";
    static constexpr const char* kDefaultLocalGateway = "192.168.1.1";

    // The one assistant of the application, a sheet on the configuration window.
    static KeepwallAssistant& sharedInstance();

    explicit KeepwallAssistant(IPFWManager& gateway, NewConfigurationController* configurationWindow = nullptr,
                               QWidget* parent = nullptr);
    ~KeepwallAssistant() override;

    // Whether the configuration window should offer the assistant by itself when it has loaded:
    // the user never ran it, or no current setting could be loaded.
    static bool shouldRunAtLaunch(bool currentSettingLoaded);
    // The configuration window's "runSetupAssistant" command: refused with the "IP Sharing
    // Running" alert while natd runs (after the first run); otherwise resets the assistant to
    // the window's setting key, shows it as a sheet on the window and notes the first run.
    static void runFromConfigurationWindow(NewConfigurationController& window, KeepwallAssistant& assistant);

    // The older NAT interface selector that names the interface (0 "en0", 1 "ppp0", 2 "pppoe0",
    // 3 "en1"); none for any other name.
    static std::optional<int> natdInterfaceSelector(const std::string& interfaceName);

    void setConfigurationWindow(NewConfigurationController* window) { m_configurationWindow = window; }
    void setCurrentSettingKey(const std::string& key);
    const std::string& currentSettingKey() const { return m_currentSettingKey; }

    // One copy of the interface template per service of the current network location.
    static Value::Array currentInterfaceList();
    void buildExternalMenuForInterfaces(const Value::Array& interfaces);
    // The filters of the checked services appended to the interface's FILTER_LIST.
    void addAllowRules(const Value::Array& rows, Value& interface) const;

    // The external interface the setting is written for (none when no item carries a name).
    std::optional<std::string> externalInterfaceName() const;
    // The setting the assistant writes, and the document it stores, from the pages as they are.
    Value settingToStore(const KeepwallPrefs& prefs) const;
    Value documentToStore(const KeepwallPrefs& prefs) const;
    // Why the typed addresses cannot be written (a message), or none.
    std::optional<QString> fieldProblem() const;

    // Writes the setting through the tool; then() learns whether it was stored. A refused store
    // still asks to switch logging on and posts the two notifications, as a stored one does.
    void saveSettingsToCurrent(std::function<void(bool stored)> then = {});

    const Value::Array& allowRules() const;
    bool enableNatdAtStartup() const { return m_enableNatdAtStartup; }
    int currentPage() const;
    // Waits until no store or logging run of the assistant is going on (tests, quit).
    bool waitForJobs(int milliseconds);

public slots:
    void resetAssistant();
    void ipAddressTypeChanged();
    void gotoNatSetup();
    void saveAndApply();
    void saveAndInstall();
    void saveAndInstallNatd();
    void openNetworkPrefs();
    void userAuthenticated();
    void userDeauthenticated();
    void setupSheetDidEnd(int returnCode);

signals:
    // A write has ended (stored or not) and its follow-up, if any, has been started.
    void settingWritten(bool stored);

private:
    void windowDidLoad();
    void showPage(int page);
    void nextPage();
    void previousPage();
    void allowSelectionChanged();
    void selectFixedAddressOfCurrentService();
    // Writes the setting; when stored, ends the sheet and runs the follow-up.
    void finishWith(std::function<void()> followUp);
    void runJob(std::function<void(IPFWManager&)> work, std::function<void(bool failed)> after);
    void enableLoggingAndNotify(const std::string& key, const std::string& interfaceName, bool stored,
                                std::function<void(bool)> then);

    IPFWManager& m_gateway;
    QPointer<NewConfigurationController> m_configurationWindow;
    std::unique_ptr<Ui::KeepwallAssistant> m_ui;
    QButtonGroup* m_ipAddressMatrix;
    ArrayTableDataSource* m_allowRules;
    std::string m_currentSettingKey = kDefaultKey;
    bool m_enableNatdAtStartup = false;
    bool m_writing = false;
    GatewayJobs m_jobs { m_gateway, this };
};

} // namespace kw::app

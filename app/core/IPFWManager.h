#pragma once

#include "base/PlistValue.h"

#include <KWSecurity/AuthPanelController.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kw {

class MessagePortServer;

// The one object through which the application does anything that needs root: it keeps the
// application's view of the authentication state, runs wallctl with one command word per
// operation, runs ipfw for the monitor, probes kernel logging, and serves the settings or the
// log rows to delete on "KWConfigServer" while the tool runs "store" or "delete-log".
//
// Every privileged call blocks its calling thread until the program has ended, so the windows
// call it from worker threads (see the application's GatewayJob). Only the start of a program
// is done under the gateway's lock; the wait is not, so a long tool run never holds up a
// rights check of another thread.
class IPFWManager {
public:
    static constexpr const char* kKeychainService = "com.wallworks.Keepwall";
    static constexpr const char* kConfigServerName = "KWConfigServer";
    static constexpr int kConfigurationRequest = 1;
    static constexpr int kDeleteLogRequest = 2;

    static constexpr const char* kUserAuthenticated = "KWUserAuthenticatedNotification";
    static constexpr const char* kUserDeauthenticated = "KWUserDeauthenticatedNotification";

    // The tool's command words.
    static constexpr const char* kActivate = "activate";
    static constexpr const char* kStore = "store";
    static constexpr const char* kInstall = "install";
    static constexpr const char* kUninstall = "uninstall";
    static constexpr const char* kShowLog = "showlog";
    static constexpr const char* kEnableLog = "enable-log";
    static constexpr const char* kDisableLog = "disable-log";
    static constexpr const char* kDeleteLog = "delete-log";
    static constexpr const char* kSharingStart = "sharing-start";
    static constexpr const char* kSharingStop = "sharing-stop";
    static constexpr const char* kTry = "try";
    static constexpr const char* kConfirm = "confirm";
    static constexpr const char* kRevert = "revert";

    static IPFWManager& sharedInstance();

    explicit IPFWManager(AuthPanelController& runner);
    ~IPFWManager();
    IPFWManager(const IPFWManager&) = delete;
    IPFWManager& operator=(const IPFWManager&) = delete;

    // Where wallctl is: the one beside the running program (build tree), else the installed one.
    static std::string defaultToolPath();
    const std::string& toolPath() const { return m_toolPath; }
    void setToolPath(std::string path) { m_toolPath = std::move(path); }

    // The executables whose right is checked and requested, all at once, as mapped under the
    // system root: the tool, natd, sysctl, kill, ipfw (both places), periodic and sudo.
    std::vector<std::string> protectedExecutables() const;

    // Whether the calling thread may show the authentication panel. Worker threads may not:
    // there the ensure-authenticated step answers "not authenticated" without asking.
    void setInteractionPolicy(std::function<bool()> policy) { m_interactionAllowed = std::move(policy); }

    bool isAuthenticated();
    bool fetchPassword();
    bool authenticate();
    void deauthenticate();
    bool authorized() const { return m_authorized; }

    void applyCurrentSetting();
    void installStartupItem();
    void uninstallStartupItem();
    void updateLogArchive();
    void enableFWLogging();
    void disableFWLogging();
    void startNatdServer();
    void stopNatdServer();
    // False when the user is not authenticated (nothing runs).
    bool storeConfiguration(const Value& settings);
    bool deleteLogItems(const Value::Array& logIds);
    void rotateSystemLog();

    // Runs the tool as root with a command word and its arguments ({ kTry, "30" }) and returns its
    // standard output; none when the user is not authenticated.
    std::optional<std::string> runToolCommand(const std::vector<std::string>& words);

    // Runs /sbin/ipfw as root. With output: the whole standard output as ASCII text; none when
    // the user is not authenticated.
    std::optional<std::string> runIPFWTask(const std::vector<std::string>& args, bool withOutput);

    bool fwLoggingIsEnabled();
    bool loggingEnabled() const { return m_loggingEnabled; }
    bool natdIsRunning();
    static std::string pppoeName();

    // The config server (request 1: settings, request 2: log rows).
    bool startServingConfiguration();
    void stopServingConfiguration();
    std::optional<std::string> getConfigurationData() const { return m_configurationData; }
    std::optional<std::string> getDeleteLogData() const { return m_deleteLogData; }
    std::optional<std::string> configToolCallback(int messageId) const;

    // Reaps the given ended child and logs its outcome.
    static void waitForChildren(pid_t pid);

private:
    bool ensureAuthenticated();
    void closePort();
    bool interactionAllowed() const { return !m_interactionAllowed || m_interactionAllowed(); }
    KWFileHandle startAsRoot(const std::string& path, const std::vector<std::string>& args);
    // Starts a program as root, reads its output to the end and reaps it.
    std::optional<std::string> runAsRoot(const std::string& path, const std::vector<std::string>& args,
                                         bool logOutcome);
    // Runs the tool with one word once the user is authenticated; false when nothing ran.
    bool runTool(const char* word);
    void runServing(const char* word);

    AuthPanelController& m_runner;
    std::recursive_mutex m_mutex;
    std::function<bool()> m_interactionAllowed;
    std::string m_toolPath;
    bool m_authorized = false;
    bool m_loggingEnabled = false;
    std::unique_ptr<MessagePortServer> m_serverRef;
    std::thread m_serverThread;
    std::optional<std::string> m_configurationData;
    std::optional<std::string> m_deleteLogData;
};

} // namespace kw

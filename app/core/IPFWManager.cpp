#include "IPFWManager.h"

#include "LoggingCommands.h"
#include "base/AtomicFile.h"
#include "base/CommandRunner.h"
#include "base/Log.h"
#include "base/MessagePort.h"
#include "base/NotificationCenter.h"
#include "base/Release.h"
#include "base/SystemRoot.h"
#include "nat/KWNatdManager.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef KW_TOOL_INSTALL_PATH
#define KW_TOOL_INSTALL_PATH "/usr/local/libexec/keepwall/wallctl"
#endif

namespace kw {

namespace {

constexpr const char* kIPFW = "/sbin/ipfw";
constexpr const char* kPeriodic = "/usr/sbin/periodic";
// A server that nobody asks is stopped by stopServingConfiguration(); this only bounds a
// thread whose caller vanished.
constexpr std::chrono::minutes kServeTimeout { 10 };

std::string executableFolder()
{
    const std::string path = ownExecutablePath();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void logOutcome(const std::string& path, int status)
{
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0) {
            logf("%s executed successfully", path.c_str());
        } else {
            logf("%s exited with status %d", path.c_str(), WEXITSTATUS(status));
        }
    } else if (WIFSIGNALED(status)) {
        logf("%s terminated from signal %d", path.c_str(), WTERMSIG(status));
    }
}

// Reads the program's output until it has ended and its pipe is drained. A program that has
// exited while a daemon it started still holds the pipe open does not keep us waiting.
std::string drain(KWFileHandle& handle, int& status)
{
    std::string output;
    const int fd = handle.fileDescriptor();
    const pid_t pid = handle.processIdentifier();
    bool reaped = false;
    char block[4096];
    for (;;) {
        pollfd p { fd, POLLIN, 0 };
        const int ready = poll(&p, 1, reaped ? 0 : 100);
        if (ready > 0) {
            const ssize_t n = read(fd, block, sizeof block);
            if (n > 0) {
                output.append(block, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            break; // end of file
        }
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (reaped) {
            break; // ended, and nothing more is waiting
        }
        pid_t w;
        while ((w = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        reaped = w == pid || w < 0;
    }
    handle.closeFile();
    if (!reaped) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return output;
}

std::string asciiText(std::string bytes)
{
    for (char& c : bytes) {
        if (static_cast<unsigned char>(c) > 0x7f) {
            c = '?';
        }
    }
    return bytes;
}

} // namespace

IPFWManager& IPFWManager::sharedInstance()
{
    static IPFWManager* shared = new IPFWManager(AuthPanelController::sharedInstance());
    return *shared;
}

IPFWManager::IPFWManager(AuthPanelController& runner)
    : m_runner(runner)
    , m_toolPath(defaultToolPath())
{}

IPFWManager::~IPFWManager()
{
    stopServingConfiguration();
}

std::string IPFWManager::defaultToolPath()
{
    const std::string folder = executableFolder();
    if (!folder.empty() && access((folder + "/wallctl").c_str(), X_OK) == 0) {
        return folder + "/wallctl";
    }
    return KW_TOOL_INSTALL_PATH;
}

std::vector<std::string> IPFWManager::protectedExecutables() const
{
    // The tool is not a system path: it is where the application found it. ipfw is named at
    // both of its places, since the monitor runs /sbin/ipfw; periodic rotates the log.
    return { m_toolPath,
             SystemRoot::path("/usr/sbin/natd"),
             SystemRoot::path("/usr/sbin/sysctl"),
             SystemRoot::path("/bin/kill"),
             SystemRoot::path("/usr/sbin/ipfw"),
             SystemRoot::path("/usr/bin/sudo"),
             SystemRoot::path(kIPFW),
             SystemRoot::path(kPeriodic) };
}

bool IPFWManager::isAuthenticated()
{
    std::lock_guard lock(m_mutex);
    m_authorized = m_runner.isAuthenticatedforPaths(protectedExecutables());
    return m_authorized;
}

bool IPFWManager::fetchPassword()
{
    bool result;
    {
        std::lock_guard lock(m_mutex);
        const auto paths = protectedExecutables();
        result = m_runner.isAuthenticatedforPaths(paths);
        if (!result && interactionAllowed()) {
            result = m_runner.authenticateForExecutablePaths(paths, kKeychainService);
        }
        m_authorized = result;
    }
    if (result) {
        NotificationCenter::defaultCenter().post({ kUserAuthenticated, Value("IPFWManager"), Value() });
    }
    return result;
}

bool IPFWManager::authenticate()
{
    if (!isAuthenticated()) {
        fetchPassword();
    }
    return isAuthenticated();
}

void IPFWManager::deauthenticate()
{
    {
        std::lock_guard lock(m_mutex);
        m_runner.deauthenticate();
        m_authorized = false;
    }
    NotificationCenter::defaultCenter().post({ kUserDeauthenticated, Value("IPFWManager"), Value() });
}

bool IPFWManager::ensureAuthenticated()
{
    return isAuthenticated() || fetchPassword();
}

KWFileHandle IPFWManager::startAsRoot(const std::string& path, const std::vector<std::string>& args)
{
    std::lock_guard lock(m_mutex);
    KWFileHandle handle;
    m_runner.runPathAsRoot(path, args, kKeychainService, &handle);
    return handle;
}

std::optional<std::string> IPFWManager::runAsRoot(const std::string& path, const std::vector<std::string>& args,
                                                  bool logStatus)
{
    KWFileHandle handle = startAsRoot(path, args);
    if (!handle.isValid()) {
        return std::nullopt;
    }
    int status = 0;
    std::string output = drain(handle, status);
    if (logStatus) {
        logOutcome(path, status);
    }
    return output;
}

bool IPFWManager::runTool(const char* word)
{
    if (!ensureAuthenticated()) {
        return false;
    }
    runAsRoot(m_toolPath, { word }, true);
    return true;
}

void IPFWManager::applyCurrentSetting()
{
    runTool(kActivate);
}

void IPFWManager::installStartupItem()
{
    runTool(kInstall);
}

void IPFWManager::uninstallStartupItem()
{
    runTool(kUninstall);
}

void IPFWManager::updateLogArchive()
{
    runTool(kShowLog);
}

void IPFWManager::enableFWLogging()
{
    if (runTool(kEnableLog)) {
        m_loggingEnabled = true;
    }
}

void IPFWManager::disableFWLogging()
{
    if (runTool(kDisableLog)) {
        m_loggingEnabled = false;
    }
}

void IPFWManager::startNatdServer()
{
    runTool(kSharingStart);
}

void IPFWManager::stopNatdServer()
{
    runTool(kSharingStop);
}

bool IPFWManager::storeConfiguration(const Value& settings)
{
    if (!ensureAuthenticated()) {
        return false;
    }
    m_configurationData = valueToXml(settings);
    runServing(kStore);
    return true;
}

bool IPFWManager::deleteLogItems(const Value::Array& logIds)
{
    if (!ensureAuthenticated()) {
        return false;
    }
    m_deleteLogData = valueToXml(Value(logIds));
    runServing(kDeleteLog);
    return true;
}

void IPFWManager::runServing(const char* word)
{
    // The port is listening before the tool starts and is closed after it has ended.
    startServingConfiguration();
    runAsRoot(m_toolPath, { word }, true);
    stopServingConfiguration();
}

void IPFWManager::rotateSystemLog()
{
    if (!ensureAuthenticated()) {
        return;
    }
    runAsRoot(SystemRoot::path(kPeriodic), { "daily" }, true);
}

std::optional<std::string> IPFWManager::runToolCommand(const std::vector<std::string>& words)
{
    if (!ensureAuthenticated()) {
        return std::nullopt;
    }
    return runAsRoot(m_toolPath, words, true);
}

std::optional<std::string> IPFWManager::runIPFWTask(const std::vector<std::string>& args, bool withOutput)
{
    if (!ensureAuthenticated()) {
        return std::nullopt;
    }
    auto output = runAsRoot(SystemRoot::path(kIPFW), args, !withOutput);
    if (!withOutput) {
        return std::nullopt;
    }
    return asciiText(output.value_or(std::string()));
}

bool IPFWManager::fwLoggingIsEnabled()
{
    if (m_loggingEnabled) {
        return true;
    }
    std::string text;
    if (runCommandWithOutput("/usr/sbin/sysctl", { "net.inet.ip.fw.verbose" }, text) == -1) {
        logf("Error opening pipe: %s", std::strerror(errno));
        return false;
    }
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    const std::int64_t v = leadingInteger(std::string_view(text).substr(colon + 1));
    m_loggingEnabled = v > 0;
    if (v > 0 && KWRunningOnTiger) {
        m_loggingEnabled = tool::ipfwloggerIsRunning();
    }
    return m_loggingEnabled;
}

bool IPFWManager::natdIsRunning()
{
    return KWNatdManager::sharedInstance().natdIsRunning();
}

std::string IPFWManager::pppoeName()
{
    return toolkitVersionNumber() == 577.0 ? "pppoe0" : "ppp0";
}

std::optional<std::string> IPFWManager::configToolCallback(int messageId) const
{
    if (messageId == kConfigurationRequest) {
        return getConfigurationData();
    }
    if (messageId == kDeleteLogRequest) {
        return getDeleteLogData();
    }
    return std::nullopt;
}

void IPFWManager::closePort()
{
    if (m_serverRef) {
        m_serverRef->stop();
    }
    if (m_serverThread.joinable()) {
        m_serverThread.join();
    }
    m_serverRef.reset();
}

bool IPFWManager::startServingConfiguration()
{
    closePort();
    // The port is registered here, before the tool is started, so that the tool finds it.
    auto server = std::make_unique<MessagePortServer>(kConfigServerName);
    if (!server->isValid()) {
        logLine("Unable to register config server");
        return false;
    }
    m_serverRef = std::move(server);
    MessagePortServer* port = m_serverRef.get();
    m_serverThread =
        std::thread([this, port] { port->serveOne([this](int id) { return configToolCallback(id); }, kServeTimeout); });
    return true;
}

void IPFWManager::stopServingConfiguration()
{
    closePort();
    m_configurationData.reset();
}

void IPFWManager::waitForChildren(pid_t pid)
{
    int status = 0;
    pid_t w;
    while ((w = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (w <= 0) {
        return;
    }
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0) {
            logLine("IPFWManager: Tool executed successfully");
        } else {
            logf("IPFWManager: Tool exited with status %d", WEXITSTATUS(status));
        }
    } else if (WIFSIGNALED(status)) {
        logf("IPFWManager: Tool terminated from signal %d", WTERMSIG(status));
    }
}

} // namespace kw

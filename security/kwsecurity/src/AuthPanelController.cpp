#include <KWSecurity/AuthPanelController.h>
#include <KWSecurity/SecurityStrings.h>

#include "AuthResult.h"
#include "AuthexecRequest.h"
#include "PrivilegedRunner.h"

#include "base/AtomicFile.h"
#include "base/Log.h"

#include <algorithm>
#include <cerrno>
#include <pwd.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace kw {

using namespace kw::authexec;

// The held authorization: the executables it carries the right for and, for a runner that
// checks at every start, the credentials that obtained them. Lives in memory only; the
// password is wiped when it is destroyed.
struct AuthPanelController::HeldAuthorization {
    std::set<std::string> rights;
    std::optional<Credentials> credentials;
};

namespace {

constexpr std::size_t kReadBlock = 512;

std::string loginName()
{
    const struct passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : std::string();
}

bool badPaths(const std::vector<std::string>& paths)
{
    for (const auto& path : paths) {
        if (!isNormalAbsolutePath(path)) {
            logf("Refusing rights for %s: not a plain absolute path", path.c_str());
            return true;
        }
    }
    return false;
}

} // namespace

KWFileHandle::KWFileHandle(KWFileHandle&& other) noexcept
    : m_fd(other.m_fd)
    , m_pid(other.m_pid)
{
    other.m_fd = -1;
    other.m_pid = -1;
}

KWFileHandle& KWFileHandle::operator=(KWFileHandle&& other) noexcept
{
    if (this != &other) {
        closeFile();
        m_fd = other.m_fd;
        m_pid = other.m_pid;
        other.m_fd = -1;
        other.m_pid = -1;
    }
    return *this;
}

KWFileHandle::~KWFileHandle()
{
    closeFile();
}

void KWFileHandle::closeFile()
{
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

std::vector<std::uint8_t> KWFileHandle::readDataToEndOfFile()
{
    std::vector<std::uint8_t> data;
    if (m_fd < 0) {
        return data;
    }
    readToEnd(m_fd, [&data](std::string_view block) { data.insert(data.end(), block.begin(), block.end()); });
    return data;
}

AuthPanelController& AuthPanelController::sharedInstance()
{
    static AuthPanelController* shared = new AuthPanelController();
    return *shared;
}

AuthPanelController::AuthPanelController()
    : AuthPanelController(makeDefaultRunner(), nullptr)
{}

AuthPanelController::AuthPanelController(std::unique_ptr<PrivilegedRunner> runner, KWKeychain* keychain)
    : m_runner(std::move(runner))
    , m_keychain(keychain)
{
    windowDidLoad();
}

AuthPanelController::~AuthPanelController() = default;

PrivilegedRunner& AuthPanelController::runner()
{
    if (!m_runner) {
        m_runner = makeDefaultRunner();
    }
    return *m_runner;
}

KWKeychain& AuthPanelController::keychain()
{
    return m_keychain != nullptr ? *m_keychain : KWKeychain::defaultKeychain();
}

void AuthPanelController::setPanelRunner(PanelRunner runner)
{
    m_panelRunner = std::move(runner);
}

void AuthPanelController::windowDidLoad()
{
    m_keychainOption = false;
    std::string format = securityLocalizedString(kPromptFormatKey, kPromptFormatDefault);
    const std::string processName = program_invocation_short_name != nullptr ? program_invocation_short_name : "";
    const auto at = format.find("%@");
    if (at != std::string::npos) {
        format.replace(at, 2, processName);
    }
    m_message = format;
    m_userName = loginName();
}

bool AuthPanelController::okayButtonPressed()
{
    if (validateUsername(m_userName, m_password, m_currentAuthPaths)) {
        return true;
    }
    m_password.clear();
    return false;
}

int AuthPanelController::requestRights(const std::vector<std::string>& paths, const Credentials* credentials)
{
    if (!m_authorization) {
        m_authorization = std::make_unique<HeldAuthorization>();
    }
    if (badPaths(paths)) {
        return kAuthInvalidSet;
    }
    if (credentials == nullptr) {
        const bool all = std::all_of(paths.begin(), paths.end(),
                                     [this](const std::string& p) { return m_authorization->rights.count(p) != 0; });
        return all ? kAuthSuccess : kAuthInteractionNotAllowed;
    }
    if (credentials->password.size() > kMaxPasswordLength) {
        logf("Refusing a password longer than %zu bytes", kMaxPasswordLength);
        return kAuthDenied;
    }
    if (credentials->password.empty()) {
        logLine("Refusing an empty password");
        return kAuthDenied;
    }
    if (!isAcceptableUserName(credentials->userName)) {
        logLine("Refusing an unacceptable user name");
        return kAuthDenied;
    }
    const int result = runner().checkAdministrator(credentials->userName, credentials->password);
    if (result != kAuthSuccess) {
        return result;
    }
    m_authorization->rights.insert(paths.begin(), paths.end());
    if (runner().needsCredentialsToStart()) {
        Credentials held;
        held.userName = credentials->userName;
        held.password = credentials->password;
        m_authorization->credentials = std::move(held);
    }
    return kAuthSuccess;
}

bool AuthPanelController::isAuthenticatedforPaths(const std::vector<std::string>& paths)
{
    const int result = requestRights(paths, nullptr);
    if (result != kAuthSuccess) {
        logf("Is Authorized==%d", result);
    }
    return result == kAuthSuccess;
}

bool AuthPanelController::validateUsername(const std::string& userName, const SecureBuffer& password,
                                           const std::vector<std::string>& paths)
{
    Credentials credentials;
    credentials.userName = userName;
    credentials.password = password;
    const int result = requestRights(paths, &credentials);
    if (result != kAuthSuccess) {
        logf("Is Authorized==%d", result);
    }
    return result == kAuthSuccess;
}

bool AuthPanelController::storeIfWanted(const Credentials& credentials, const std::string& serviceName)
{
    if (!shouldStoreInKeychain()) {
        return false;
    }
    const bool stored = keychain().storePassword(credentials.password, credentials.userName, serviceName, nullptr);
    logLine(stored ? "Stored Password" : "Failed to store password");
    return stored;
}

bool AuthPanelController::authenticateForExecutablePaths(const std::vector<std::string>& paths,
                                                         const std::string& serviceName)
{
    if (!m_authorization) {
        m_authorization = std::make_unique<HeldAuthorization>();
    }
    std::optional<Credentials> credentials = keychain().findAuthorizationForService(serviceName);
    const bool fromKeychain = credentials.has_value();
    if (!credentials) {
        credentials = fetchAuthorizationForService(serviceName, paths);
        if (!credentials) {
            return false;
        }
    }
    int result = requestRights(paths, &*credentials);
    logf("Is Authorized==%d", result);
    if (result == kAuthSuccess) {
        if (!fromKeychain) {
            storeIfWanted(*credentials, serviceName);
        }
        return true;
    }
    // Stored credentials that no longer work are dropped before the user is asked.
    keychain().removeItemForService(serviceName);
    credentials = fetchAuthorizationForService(serviceName, paths);
    if (!credentials) {
        return false;
    }
    result = requestRights(paths, &*credentials);
    logf("Is Authorized==%d", result);
    if (result != kAuthSuccess) {
        return false;
    }
    storeIfWanted(*credentials, serviceName);
    return true;
}

void AuthPanelController::deauthenticate()
{
    m_authorization.reset();
    m_password.clear();
}

std::optional<Credentials> AuthPanelController::fetchAuthorizationForService(const std::string&,
                                                                             const std::vector<std::string>& paths)
{
    m_currentAuthPaths = paths;
    m_keychainOption = false;
    m_password.clear();
    if (!m_panelRunner) {
        logLine("No authentication panel is available to ask for an administrator's name and password");
        return std::nullopt;
    }
    // The panel answers the continue code while its session is still running.
    int code;
    do {
        code = m_panelRunner(*this);
    } while (code == kModalContinue);
    if (code == kModalAbort) {
        m_password.clear();
        return std::nullopt;
    }
    Credentials credentials;
    credentials.userName = m_userName;
    credentials.password = std::move(m_password);
    m_password = SecureBuffer();
    return credentials;
}

int AuthPanelController::start(const std::string& path, const std::vector<std::string>& args, bool pipeOutput,
                               pid_t& pid, int& fd)
{
    pid = -1;
    fd = -1;
    if (!isNormalAbsolutePath(path)) {
        logf("Refusing to run %s: not a plain absolute path", path.c_str());
        return kAuthInvalidSet;
    }
    if (args.size() > kMaxArguments) {
        logf("Refusing to run %s: more than %zu arguments", path.c_str(), kMaxArguments);
        return kAuthInvalidSet;
    }
    for (const auto& arg : args) {
        if (arg.size() > kMaxArgumentLength || arg.find('\0') != std::string::npos) {
            logf("Refusing to run %s: an argument is too long or holds a NUL byte", path.c_str());
            return kAuthInvalidSet;
        }
    }
    if (!m_authorization || m_authorization->rights.count(path) == 0) {
        logf("Refusing to run %s: no right to run it as root is held", path.c_str());
        return kAuthDenied;
    }
    const Credentials* credentials = m_authorization->credentials ? &*m_authorization->credentials : nullptr;
    return runner().start(path, args, credentials, pipeOutput, pid, fd);
}

void AuthPanelController::runPathAsRoot(const std::string& path, const std::vector<std::string>& args,
                                        const std::string&)
{
    pid_t pid = -1;
    int fd = -1;
    const int result = start(path, args, false, pid, fd);
    if (result != kAuthSuccess) {
        logf("AuthorizationExecuteWithPrivileges returned error: %d", result);
        return;
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != pid) {
        return;
    }
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

void AuthPanelController::runPathAsRoot(const std::string& path, const std::vector<std::string>& args,
                                        const std::string& keychainService, KWFileHandle* output)
{
    if (output == nullptr) {
        runPathAsRoot(path, args, keychainService);
        return;
    }
    pid_t pid = -1;
    int fd = -1;
    const int result = start(path, args, true, pid, fd);
    if (result != kAuthSuccess) {
        logf("AuthorizationExecuteWithPrivileges returned error: %d", result);
        *output = KWFileHandle();
        return;
    }
    *output = KWFileHandle(fd, pid);
}

void AuthPanelController::runPathAsRoot(const std::string& path, const std::vector<std::string>& args,
                                        const std::string& keychainService, std::vector<std::uint8_t>* outputData)
{
    if (outputData == nullptr) {
        runPathAsRoot(path, args, keychainService);
        return;
    }
    outputData->clear();
    pid_t pid = -1;
    int fd = -1;
    const int result = start(path, args, true, pid, fd);
    if (result != kAuthSuccess) {
        logf("AuthorizationExecuteWithPrivileges returned error: %d", result);
        return;
    }
    // Read to end of file: a short read only means the program paused between writes.
    std::uint8_t block[kReadBlock];
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        outputData->insert(outputData->end(), block, block + n);
    }
    close(fd);
}

} // namespace kw

#include "AuthexecMain.h"

#include "AuthResult.h"
#include "AuthexecPolicy.h"
#include "AuthexecRequest.h"
#include "PamCheck.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace kw::authexec {

namespace {

constexpr int kStatusFd = 3;
constexpr int kRefusedExit = 126;
constexpr int kExecFailedExit = 127;

void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void report(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    syslog(LOG_AUTHPRIV | LOG_NOTICE, "%s", line);
    std::fprintf(stderr, "kw-authexec: %s\n", line);
}

void writeStatus(std::int32_t code)
{
    const char* p = reinterpret_cast<const char*>(&code);
    std::size_t left = sizeof code;
    while (left > 0) {
        const ssize_t n = write(kStatusFd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

int refuse(std::int32_t code)
{
    writeStatus(code);
    return kRefusedExit;
}

bool isPipe(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

bool isOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// Reads standard input to its end into wiped memory; false when it is too long or unreadable.
bool readRequest(SecureBuffer& input)
{
    char block[4096];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, block, sizeof block);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            explicit_bzero(block, sizeof block);
            return false;
        }
        if (n == 0) {
            break;
        }
        input.append(block, static_cast<std::size_t>(n));
        if (input.size() > kMaxRequestBytes) {
            explicit_bzero(block, sizeof block);
            return false;
        }
    }
    explicit_bzero(block, sizeof block);
    return true;
}

std::string callerName()
{
    const struct passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : std::to_string(getuid());
}

} // namespace

AuthexecConfig installedConfig()
{
    AuthexecConfig config;
    config.allowList = installedAllowList();
    config.isAdministrator = isAdministratorAccount;
    return config;
}

int authexecMain(int argc, char** argv, char** envp, const AuthexecConfig& config)
{
    openlog("kw-authexec", LOG_PID, LOG_AUTHPRIV);
    // Anything unexpected about the invocation ends the run before the request is read.
    if (!isOpen(STDIN_FILENO) || !isOpen(STDOUT_FILENO) || !isOpen(STDERR_FILENO) || !isOpen(kStatusFd) ||
        !isPipe(kStatusFd)) {
        report("refused: descriptors 0 to 3 must be open and descriptor 3 must be a pipe");
        return kRefusedExit;
    }
    if (fcntl(kStatusFd, F_SETFD, FD_CLOEXEC) != 0) {
        report("refused: cannot prepare the status pipe");
        return kRefusedExit;
    }
    if (geteuid() != 0) {
        report("refused: not running as root (the program must be installed setuid root)");
        return refuse(kAuthToolEnvironmentError);
    }
    if (argc != config.expectedArgc || argv == nullptr || argv[0] == nullptr) {
        report("refused: unexpected arguments");
        return refuse(kAuthToolEnvironmentError);
    }
    if (!isPipe(STDIN_FILENO)) {
        report("refused: standard input is not a pipe");
        return refuse(kAuthToolEnvironmentError);
    }
    static constexpr std::string_view kRootPrefix = "KEEPWALL_ROOT=";
    const char* rootValue = nullptr;
    for (char** entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (text.substr(0, kRootPrefix.size()) == kRootPrefix && rootValue == nullptr) {
            rootValue = *entry + kRootPrefix.size();
            continue;
        }
        const std::string name(text.substr(0, std::min<std::size_t>(text.find('='), 64)));
        report("refused: unexpected environment variable %s", name.c_str());
        return refuse(kAuthToolEnvironmentError);
    }
    const std::optional<std::string> root = acceptableRootValue(rootValue);
    if (!root) {
        report("refused: KEEPWALL_ROOT is not a plain absolute path");
        return refuse(kAuthToolEnvironmentError);
    }

    Request request;
    {
        SecureBuffer input;
        if (!readRequest(input)) {
            report("refused: request unreadable or longer than %zu bytes", kMaxRequestBytes);
            return refuse(kAuthInvalidSet);
        }
        const ParseError error =
            parseRequest(reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), request);
        if (error != ParseError::None) {
            report("refused: %s", parseErrorText(error));
            return refuse(kAuthInvalidSet);
        }
    }

    std::string resolved;
    if (request.operation == Operation::Exec) {
        if (std::find(config.allowList.begin(), config.allowList.end(), request.path) == config.allowList.end()) {
            report("refused: %s is not an executable this program starts", request.path.c_str());
            return refuse(kAuthToolExecuteFailure);
        }
        const TrustedPathCheck check = checkTrustedExecutable(request.path, config.trustedOwners);
        if (!check.trusted) {
            report("refused: %s: %s", request.path.c_str(), check.reason.c_str());
            return refuse(kAuthToolExecuteFailure);
        }
        resolved = check.resolvedPath;
    }

    PamCheckOptions pam;
    pam.service = config.pamService;
    pam.confDir = config.pamConfDir;
    pam.requestingUser = callerName();
    const int pamResult = pamCheckPassword(pam, request.userName, request.password);
    request.password.clear();
    if (pamResult != 0) {
        report("refused: authentication of %s failed (%s)", request.userName.c_str(), pamResultText(pamResult).c_str());
        return refuse(kAuthDenied);
    }
    if (!config.isAdministrator || !config.isAdministrator(request.userName)) {
        report("refused: %s is not an administrator", request.userName.c_str());
        return refuse(kAuthDenied);
    }
    if (request.operation == Operation::Check) {
        writeStatus(kAuthSuccess);
        return 0;
    }

    // Become root entirely, with a clean process state, before the program starts.
    if (setgroups(0, nullptr) != 0 || setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0) {
        report("refused: cannot take root's identity: %s", std::strerror(errno));
        return refuse(kAuthInternal);
    }
    umask(022);
    if (chdir("/") != 0) {
        report("refused: cannot change to /");
        return refuse(kAuthInternal);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) {
            std::signal(sig, SIG_DFL);
        }
    }
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0) {
        report("refused: cannot open /dev/null");
        return refuse(kAuthInternal);
    }
    if (close_range(kStatusFd + 1, ~0U, 0) != 0) {
        const long openMax = sysconf(_SC_OPEN_MAX);
        for (int fd = kStatusFd + 1; fd < (openMax > 0 && openMax < 65536 ? openMax : 65536); ++fd) {
            close(fd);
        }
    }

    std::vector<char*> args;
    args.push_back(request.path.data());
    for (auto& argument : request.arguments) {
        args.push_back(argument.data());
    }
    args.push_back(nullptr);
    std::string rootEntry;
    std::vector<char*> environment;
    if (!root->empty()) {
        rootEntry = std::string(kRootPrefix) + *root;
        environment.push_back(rootEntry.data());
    }
    environment.push_back(nullptr);

    report("%s starts %s as root for %s", request.userName.c_str(), request.path.c_str(), pam.requestingUser.c_str());
    closelog();
    execve(resolved.c_str(), args.data(), environment.data());
    const int error = errno;
    report("cannot start %s: %s", request.path.c_str(), std::strerror(error));
    writeStatus(kAuthToolExecuteFailure);
    return kExecFailedExit;
}

} // namespace kw::authexec

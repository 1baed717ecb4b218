#include "AuthexecMain.h"

#include "AuthResult.h"
#include "AuthexecPolicy.h"
#include "AuthexecRequest.h"
#include "PamCheck.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace kw::authexec {

namespace {

using std::chrono::milliseconds;

constexpr int kStatusFd = 3;
constexpr int kRefusedExit = 126;
constexpr int kExecFailedExit = 127;

// Where the log lines go. Every piece of text from the caller (names, paths, arguments)
// is passed through escapeForLog before it gets here.
class Log {
public:
    explicit Log(std::string copyPath)
        : m_copyPath(std::move(copyPath))
    {}

    // For the administrators only: the system's authentication log (and the test copy).
    void audit(const std::string& line) const
    {
        syslog(LOG_AUTHPRIV | LOG_NOTICE, "%s", line.c_str());
        if (!m_copyPath.empty()) {
            const int fd = open(m_copyPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0) {
                const std::string text = line + "\n";
                [[maybe_unused]] const ssize_t n = write(fd, text.data(), text.size());
                close(fd);
            }
        }
    }

    // For the caller too, on its standard error.
    void report(const std::string& line) const
    {
        audit(line);
        tellCaller(line);
    }

    static void tellCaller(const std::string& line) { std::fprintf(stderr, "kw-authexec: %s\n", line.c_str()); }

private:
    std::string m_copyPath;
};

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

long long monotonicMs()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepFor(milliseconds duration)
{
    if (duration.count() <= 0) {
        return;
    }
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(duration.count() / 1000);
    ts.tv_nsec = static_cast<long>(duration.count() % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

enum class ReadResult { Complete, TooLong, TimedOut, Failed };

// Reads standard input to its end into wiped memory, within the time allowed.
ReadResult readRequest(SecureBuffer& input, milliseconds timeout)
{
    const long long deadline = monotonicMs() + timeout.count();
    char block[4096];
    ReadResult result = ReadResult::Complete;
    for (;;) {
        const long long left = deadline - monotonicMs();
        if (left <= 0) {
            result = ReadResult::TimedOut;
            break;
        }
        struct pollfd pfd {
            STDIN_FILENO, POLLIN, 0
        };
        const int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            result = ReadResult::Failed;
            break;
        }
        if (ready == 0) {
            result = ReadResult::TimedOut;
            break;
        }
        const ssize_t n = read(STDIN_FILENO, block, sizeof block);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n < 0) {
            result = ReadResult::Failed;
            break;
        }
        if (n == 0) {
            break;
        }
        input.append(block, static_cast<std::size_t>(n));
        if (input.size() > kMaxRequestBytes) {
            result = ReadResult::TooLong;
            break;
        }
    }
    explicit_bzero(block, sizeof block);
    return result;
}

// "uid 1000 (alice)", for the log.
std::string callerText()
{
    const uid_t uid = getuid();
    const struct passwd* pw = getpwuid(uid);
    return "uid " + std::to_string(uid) + " (" + (pw != nullptr ? escapeForLog(pw->pw_name) : std::string("?")) + ")";
}

std::string callerName()
{
    const struct passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : std::to_string(getuid());
}

// Nothing of the starter may be dumped or traced while it holds a password, whatever core
// limit the caller set.
bool keepMemoryPrivate()
{
    const struct rlimit none {
        0, 0
    };
    return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && setrlimit(RLIMIT_CORE, &none) == 0;
}

// The caller's resource limits are not the starter's business, nor the program's: a tiny
// file-size, descriptor, CPU or stack limit could make a root program stop half way
// through rewriting a system file. Every limit gets the usual default instead. Without the
// right to raise a hard limit (a container may withhold it) the default is kept under it,
// and a hard limit the caller pushed below a vital default ends the run.
bool resetResourceLimits()
{
    constexpr rlim_t kUnlimited = RLIM_INFINITY;
    struct Limit {
        int resource;
        rlim_t soft;
        rlim_t hard;
        bool vital; // the program must get at least the default soft limit
    };
    static constexpr std::array<Limit, 11> kLimits { {
        { RLIMIT_CPU, kUnlimited, kUnlimited, true },
        { RLIMIT_FSIZE, kUnlimited, kUnlimited, true },
        { RLIMIT_DATA, kUnlimited, kUnlimited, true },
        { RLIMIT_STACK, 8 * 1024 * 1024, kUnlimited, true },
        { RLIMIT_CORE, 0, 0, false },
        { RLIMIT_AS, kUnlimited, kUnlimited, true },
        { RLIMIT_NOFILE, 1024, 524288, true },
        { RLIMIT_NPROC, kUnlimited, kUnlimited, false },
        { RLIMIT_MEMLOCK, 8 * 1024 * 1024, 8 * 1024 * 1024, false },
        { RLIMIT_LOCKS, kUnlimited, kUnlimited, false },
        { RLIMIT_RTTIME, kUnlimited, kUnlimited, false },
    } };
    for (const Limit& limit : kLimits) {
        const struct rlimit wanted {
            limit.soft, limit.hard
        };
        if (setrlimit(limit.resource, &wanted) == 0) {
            continue;
        }
        struct rlimit current {};
        if (getrlimit(limit.resource, &current) != 0) {
            return false;
        }
        const rlim_t hard = std::min(limit.hard, current.rlim_max);
        const struct rlimit capped {
            std::min(limit.soft, hard), hard
        };
        if (setrlimit(limit.resource, &capped) != 0 || (limit.vital && capped.rlim_cur < limit.soft)) {
            errno = EPERM;
            return false;
        }
    }
    errno = 0;
    return setpriority(PRIO_PROCESS, 0, 0) == 0;
}

// The record of guesses for the account: its own for an account the system knows, one
// shared record for every other name, so that made-up names cannot fill the state folder.
std::string guessRecordName(const AuthexecConfig& config, const std::string& userName)
{
    const bool known = config.isKnownAccount && config.isKnownAccount(userName);
    return known ? "user-" + userName : "unknown-accounts";
}

std::string stateDirFor(const AuthexecConfig& config)
{
    for (const auto& dir : config.stateDirs) {
        const std::size_t slash = dir.rfind('/');
        const std::string parent = slash == 0 ? "/" : dir.substr(0, slash);
        struct stat st {};
        if (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return dir;
        }
    }
    return config.stateDirs.empty() ? std::string() : config.stateDirs.front();
}

} // namespace

AuthexecConfig installedConfig()
{
    AuthexecConfig config;
    config.programs = installedPrograms();
    config.isAdministrator = isAdministratorAccount;
    config.isKnownAccount = isKnownAccount;
    config.stateDirs = { "/run/keepwall", "/var/lib/keepwall" };
    return config;
}

int authexecMain(int argc, char** argv, char** envp, const AuthexecConfig& config)
{
    openlog("kw-authexec", LOG_PID, LOG_AUTHPRIV);
    const Log log(config.logCopyPath);
    // Files the starter makes (its guess records) are root's alone, whatever the caller's umask.
    umask(077);
    if (!keepMemoryPrivate()) {
        log.report("refused: cannot keep the process private");
        return kRefusedExit;
    }
    // Anything unexpected about the invocation ends the run before the request is read.
    if (!isOpen(STDIN_FILENO) || !isOpen(STDOUT_FILENO) || !isOpen(STDERR_FILENO) || !isOpen(kStatusFd) ||
        !isPipe(kStatusFd)) {
        log.report("refused: descriptors 0 to 3 must be open and descriptor 3 must be a pipe");
        return kRefusedExit;
    }
    if (fcntl(kStatusFd, F_SETFD, FD_CLOEXEC) != 0) {
        log.report("refused: cannot prepare the status pipe");
        return kRefusedExit;
    }
    // Only the number until the environment has been checked: the name takes an account lookup.
    std::string caller = "uid " + std::to_string(getuid());
    if (geteuid() != 0) {
        log.report("refused for " + caller + ": not running as root (the program must be installed setuid root)");
        return refuse(kAuthToolEnvironmentError);
    }
    if (!resetResourceLimits()) {
        log.report("refused for " + caller + ": cannot reset the resource limits: " + std::strerror(errno));
        return refuse(kAuthInternal);
    }
    if (argc != config.expectedArgc || argv == nullptr || argv[0] == nullptr) {
        log.report("refused for " + caller + ": unexpected arguments");
        return refuse(kAuthToolEnvironmentError);
    }
    if (!isPipe(STDIN_FILENO)) {
        log.report("refused for " + caller + ": standard input is not a pipe");
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
        const std::string_view name = text.substr(0, std::min<std::size_t>(text.find('='), 64));
        log.report("refused for " + caller + ": unexpected environment variable " + escapeForLog(name));
        return refuse(kAuthToolEnvironmentError);
    }
    caller = callerText();
    const std::optional<std::string> root = acceptableRootValue(rootValue);
    if (!root) {
        log.report("refused for " + caller + ": KEEPWALL_ROOT is not a plain absolute path");
        return refuse(kAuthToolEnvironmentError);
    }
    // The programs find their system files under this root, so it must be as much root's
    // own as the programs are. Roots of a user's own are served by the user-namespace runner.
    if (!root->empty()) {
        const TrustedPathCheck rootCheck = checkTrustedFolder(*root, config.trustedOwners);
        if (!rootCheck.trusted) {
            log.report("refused for " + caller + ": KEEPWALL_ROOT " + escapeForLog(*root) + ": " +
                       escapeForLog(rootCheck.reason));
            return refuse(kAuthToolEnvironmentError);
        }
    }

    Request request;
    {
        SecureBuffer input;
        switch (readRequest(input, config.requestTimeout)) {
        case ReadResult::Complete:
            break;
        case ReadResult::TooLong:
            log.report("refused for " + caller + ": request longer than " + std::to_string(kMaxRequestBytes) +
                       " bytes");
            return refuse(kAuthInvalidSet);
        case ReadResult::TimedOut:
            log.report("refused for " + caller + ": the request did not arrive in time");
            return refuse(kAuthInvalidSet);
        case ReadResult::Failed:
            log.report("refused for " + caller + ": the request cannot be read");
            return refuse(kAuthInvalidSet);
        }
        const ParseError error =
            parseRequest(reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), request);
        if (error != ParseError::None) {
            log.report("refused for " + caller + ": " + parseErrorText(error));
            return refuse(kAuthInvalidSet);
        }
    }

    const std::string userText = escapeForLog(request.userName);
    const std::string commandLine = commandLineForLog(request.path, request.arguments);
    std::string resolved;
    if (request.operation == Operation::Exec) {
        const AllowedProgram* program = findAllowedProgram(config.programs, request.path);
        if (program == nullptr || !argumentsAllowed(program->rule, request.arguments)) {
            log.report("refused for " + caller + ": " + commandLine + " is not a command line this program runs");
            return refuse(kAuthToolExecuteFailure);
        }
        const TrustedPathCheck check = checkTrustedExecutable(request.path, config.trustedOwners);
        if (!check.trusted) {
            log.report("refused for " + caller + ": " + escapeForLog(request.path) + ": " + escapeForLog(check.reason));
            return refuse(kAuthToolExecuteFailure);
        }
        resolved = check.resolvedPath;
    }

    // The attempt is counted, and logged, before the password is looked at: a caller that
    // kills the starter while it waits or checks still pays for the guess.
    const GuessCounter guesses(stateDirFor(config), config.guessPolicy);
    const std::string recordName = guessRecordName(config, request.userName);
    const AttemptSlot slot = guesses.countAttempt(recordName);
    if (slot.verdict == AttemptSlot::Verdict::StateUnusable) {
        log.report("refused for " + caller +
                   ": the record of password attempts cannot be kept: " + escapeForLog(slot.problem));
        return refuse(kAuthInternal);
    }
    if (slot.verdict == AttemptSlot::Verdict::TooManyWaiting) {
        log.audit("refused for " + caller + ": too many password attempts for " + userText + " are waiting (" +
                  std::to_string(slot.failures) + " failures)");
        Log::tellCaller("refused: authentication failed");
        return refuse(kAuthDenied);
    }
    log.audit(caller + " tries the password of " + userText + " (attempt " + std::to_string(slot.failures) +
              " since the last success" +
              (slot.wait.count() > 0 ? ", after waiting " + std::to_string(slot.wait.count()) + " ms)" : ")"));
    sleepFor(slot.wait);

    // Every refusal is answered at the same time after the check began, so that neither the
    // answer nor its timing tells a wrong password from a right one of a non-administrator.
    const long long answerAt = monotonicMs() + config.denialTime.count();
    PamCheckOptions pam;
    pam.service = config.pamService;
    pam.confDir = config.pamConfDir;
    pam.requestingUser = callerName();
    pam.ownFailDelay = true;
    const int pamResult = pamCheckPassword(pam, request.userName, request.password);
    request.password.clear();
    const bool administrator = pamResult == 0 && config.isAdministrator && config.isAdministrator(request.userName);
    if (!administrator) {
        log.audit("refused for " + caller + ": " +
                  (pamResult != 0 ? "authentication of " + userText + " failed (" + pamResultText(pamResult) + ")"
                                  : userText + " is not an administrator"));
        sleepFor(milliseconds(answerAt - monotonicMs()));
        Log::tellCaller("refused: authentication failed");
        return refuse(kAuthDenied);
    }
    if (!guesses.clear(recordName)) {
        log.audit("the record of password attempts for " + userText + " cannot be cleared");
    }
    log.audit(caller + " authenticated as administrator " + userText);
    if (request.operation == Operation::Check) {
        writeStatus(kAuthSuccess);
        return 0;
    }

    // Become root entirely, with a clean process state, before the program starts.
    if (setgroups(0, nullptr) != 0 || setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0) {
        log.report("refused for " + caller + ": cannot take root's identity: " + std::strerror(errno));
        return refuse(kAuthInternal);
    }
    // A session of its own: no controlling terminal of the caller's to read or inject into,
    // no job-control signals from the caller's shell.
    if (setsid() < 0) {
        log.report("refused for " + caller + ": cannot start a new session: " + std::strerror(errno));
        return refuse(kAuthInternal);
    }
    umask(022);
    if (chdir("/") != 0) {
        log.report("refused for " + caller + ": cannot change to /");
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
        log.report("refused for " + caller + ": cannot open /dev/null");
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

    log.audit(userText + " starts " + commandLine + " as root for " + caller);
    closelog();
    writeStatus(kExecStartingWord);
    execve(resolved.c_str(), args.data(), environment.data());
    const int error = errno;
    log.report("cannot start " + escapeForLog(request.path) + ": " + std::strerror(error));
    writeStatus(kAuthToolExecuteFailure);
    return kExecFailedExit;
}

} // namespace kw::authexec

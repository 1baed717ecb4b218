#include "SafeChangeCommands.h"

#include "base/AtomicFile.h"
#include "base/CommandRunner.h"
#include "base/Log.h"
#include "base/SystemRoot.h"
#include "config/ErrorNotification.h"
#include "lint/RuleSet.h"
#include "lint/UnifiedDiff.h"
#include "nat/KWNatdManager.h"
#include "rules/ConfigurationText.h"
#include "syntax/IPFWGrammar.h"
#include "syntax/NameServices.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kw::tool {

namespace {

using namespace std::chrono_literals;

constexpr const char* kIpfw = "/sbin/ipfw";
constexpr const char* kRuleFile = "/etc/firewall.conf";
// What the trial keeps: the rule file (absent when there was none) and the kernel's rules as a
// rule file of "add" lines.
constexpr const char* kSavedRuleFile = "/var/db/keepwall-trial/firewall.conf";
constexpr const char* kSavedKernelRules = "/var/db/keepwall-trial/rules";
constexpr const char* kConfirmedPath = "/var/db/keepwall-trial/confirmed";
constexpr const char* kRevertingPath = "/var/db/keepwall-trial/reverting";
// Asks the watchdog to put the previous rules back before the deadline.
constexpr const char* kRevertRequestPath = "/var/db/keepwall-trial/revert-now";
constexpr auto kWatchdogPoll = 50ms;
constexpr auto kConfirmWait = 30s;

std::string rooted(const char* systemPath)
{
    return SystemRoot::path(systemPath);
}

// The trial lock, held by the watchdog for as long as a trial is pending.
class TrialLock {
public:
    TrialLock()
    {
        makeDirectories(parentFolder(rooted(kTrialLockPath)), 0755);
        m_fd = ::open(rooted(kTrialLockPath).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    }
    ~TrialLock()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    TrialLock(const TrialLock&) = delete;
    TrialLock& operator=(const TrialLock&) = delete;

    bool opened() const { return m_fd >= 0; }
    bool tryLock() { return ::flock(m_fd, LOCK_EX | LOCK_NB) == 0; }
    int fd() const { return m_fd; }
    // Hands the descriptor (and the lock with it) over to the watchdog.
    void release()
    {
        ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

void refuse(ToolContext& c, const std::string& message)
{
    logLine(message);
    std::fprintf(c.err, "%s\n", message.c_str());
    std::fflush(c.err);
    c.failed = true; // the exit status tells the caller the command was refused
}

void removeTrialState()
{
    for (const char* path : { kTrialPendingPath, kTrialWatchdogPidPath, kSavedRuleFile, kSavedKernelRules,
                              kConfirmedPath, kRevertingPath, kRevertRequestPath }) {
        ::unlink(rooted(path).c_str());
    }
}

// The kernel's static rules as "add" lines the loader reads back; none when ipfw cannot list them.
std::optional<std::string> kernelRulesAsRuleFile()
{
    std::string listing;
    const int status = runCommandWithOutput(kIpfw, { "list" }, listing);
    if (status != 0) {
        return std::nullopt;
    }
    std::string file;
    std::size_t start = 0;
    while (start < listing.size()) {
        const std::size_t end = std::min(listing.find('\n', start), listing.size());
        const std::string line = listing.substr(start, end - start);
        start = end + 1;
        if (line.starts_with("##")) {
            break; // dynamic rules end with the reload anyway
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos ||
            line.starts_with(ruleNumberText(kIPFWDefaultRuleNumber))) {
            continue;
        }
        file += "add " + line + "\n";
    }
    return file;
}

void putPreviousRulesBack(int seconds, bool onRequest)
{
    std::string saved;
    if (readFile(rooted(kSavedRuleFile), saved)) {
        writeFileAtomically(rooted(kRuleFile), saved, 0644);
    } else {
        ::unlink(rooted(kRuleFile).c_str());
    }
    runCommand(kIpfw, { "-f", "flush" });
    const int status = runCommand(kIpfw, { "-q", kSavedKernelRules });
    std::string message = onRequest
                              ? std::string("The new firewall rules were reverted; the previous rules were put back")
                              : "The new firewall rules were not confirmed within " + std::to_string(seconds) +
                                    " seconds; the previous rules were put back";
    if (status != 0) {
        message += ", but reloading them failed";
    }
    logLine(message);
    // Whoever asked for the revert hears of it from "revert"; an unattended one is an error to show.
    if (!onRequest || status != 0) {
        sendKWErrorNotification(0, message);
    }
}

// The watchdog's life: wait for "confirm" (which takes the pending file away) or the deadline.
[[noreturn]] void watchOverTrial(int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool requested = false;
    while (std::chrono::steady_clock::now() < deadline && !requested) {
        if (::access(rooted(kTrialPendingPath).c_str(), F_OK) != 0) {
            removeTrialState();
            std::_Exit(0);
        }
        requested = ::access(rooted(kRevertRequestPath).c_str(), F_OK) == 0;
        if (!requested) {
            std::this_thread::sleep_for(kWatchdogPoll);
        }
    }
    // Exactly one of "confirm" and the watchdog wins the pending file.
    if (std::rename(rooted(kTrialPendingPath).c_str(), rooted(kRevertingPath).c_str()) == 0) {
        putPreviousRulesBack(seconds, requested);
    }
    removeTrialState();
    std::_Exit(0);
}

// Starts the watchdog outside the caller's session and process group (a double fork, so that
// no terminal and no parent's end reaches it); false when it could not be started.
bool startWatchdog(TrialLock& lock, int seconds)
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        return false;
    }
    std::fflush(nullptr);
    const pid_t first = ::fork();
    if (first < 0) {
        ::close(ready[0]);
        ::close(ready[1]);
        return false;
    }
    if (first == 0) {
        ::close(ready[0]);
        ::setsid();
        if (::fork() != 0) {
            std::_Exit(0);
        }
        std::signal(SIGHUP, SIG_IGN);
        std::signal(SIGINT, SIG_IGN);
        std::signal(SIGPIPE, SIG_IGN);
        // The caller may read our output through a pipe: holding it open would keep it waiting.
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        for (int fd : { STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO }) {
            ::dup2(null, fd);
        }
        for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) {
            if (fd != lock.fd() && fd != ready[1]) {
                ::close(fd);
            }
        }
        const std::string pid = std::to_string(::getpid()) + "\n";
        writeFileAtomically(rooted(kTrialWatchdogPidPath), pid, 0644);
        [[maybe_unused]] const auto w = ::write(ready[1], "1", 1);
        ::close(ready[1]);
        ::chdir("/");
        watchOverTrial(seconds);
    }
    ::close(ready[1]);
    int status = 0;
    ::waitpid(first, &status, 0);
    char byte = 0;
    ssize_t n = 0;
    do {
        n = ::read(ready[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    ::close(ready[0]);
    return n == 1;
}

std::optional<int> trialSeconds(const std::string& text)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const int seconds = std::stoi(text);
    if (seconds < 1 || seconds > kMaxTrialSeconds) {
        return std::nullopt;
    }
    return seconds;
}

} // namespace

void tryCurrentConfiguration(ToolContext& c)
{
    const auto seconds = c.args.size() == 3 ? trialSeconds(c.args[2]) : std::nullopt;
    if (!seconds) {
        refuse(c, "wallctl try: give the seconds to wait for \"wallctl confirm\" (1 to " +
                      std::to_string(kMaxTrialSeconds) + ")");
        return;
    }
    TrialLock lock;
    if (!lock.opened() || !lock.tryLock()) {
        refuse(c, "A trial of new rules is already pending: run \"wallctl confirm\" to keep them, or wait for them to "
                  "be put back");
        return;
    }
    makeDirectories(rooted(kTrialFolder), 0700);
    removeTrialState();
    const auto kernelRules = kernelRulesAsRuleFile();
    if (!kernelRules) {
        refuse(c, "The rules in force could not be listed; nothing was changed");
        return;
    }
    std::string ruleFile;
    const bool hadRuleFile = readFile(rooted(kRuleFile), ruleFile);
    const std::string pending = std::to_string(std::time(nullptr) + *seconds) + " " + std::to_string(*seconds) + "\n";
    if (!writeFileAtomically(rooted(kSavedKernelRules), *kernelRules, 0600) ||
        (hadRuleFile && !writeFileAtomically(rooted(kSavedRuleFile), ruleFile, 0600)) ||
        !writeFileAtomically(rooted(kTrialPendingPath), pending, 0644)) {
        removeTrialState();
        refuse(c, "The rules in force could not be kept for the trial; nothing was changed");
        return;
    }
    if (!startWatchdog(lock, *seconds)) {
        removeTrialState();
        refuse(c, "The trial's watchdog could not be started; nothing was changed");
        return;
    }
    lock.release();
    std::fprintf(c.out, "The new rules are in force for %d seconds: run \"wallctl confirm\" to keep them\n", *seconds);
    std::fflush(c.out);
    logf("Trying the current setting for %d seconds", *seconds);
    const bool natdWasRunning = KWNatdManager::sharedInstance().natdIsRunning();
    c.prefs.activateCurrentConfiguration();
    if (natdWasRunning) {
        KWNatdManager::sharedInstance().reactivateIPSharingFilters();
    }
}

void confirmTrial(ToolContext& c)
{
    TrialLock lock;
    if (!lock.opened() || lock.tryLock()) {
        refuse(c, "No trial of new rules is pending");
        return;
    }
    if (std::rename(rooted(kTrialPendingPath).c_str(), rooted(kConfirmedPath).c_str()) != 0) {
        refuse(c, "Too late: the previous rules are being put back");
        return;
    }
    // The watchdog lets go of the lock as it ends.
    const auto giveUp = std::chrono::steady_clock::now() + kConfirmWait;
    while (!lock.tryLock() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(kWatchdogPoll / 2);
    }
    logLine("The new firewall rules were confirmed");
    std::fputs("The new rules are kept\n", c.out);
    std::fflush(c.out);
}

void revertTrial(ToolContext& c)
{
    TrialLock lock;
    if (!lock.opened() || lock.tryLock()) {
        refuse(c, "No trial of new rules is pending");
        return;
    }
    if (!writeFileAtomically(rooted(kRevertRequestPath), "\n", 0600)) {
        refuse(c, "The watchdog could not be asked to put the previous rules back");
        return;
    }
    const auto giveUp = std::chrono::steady_clock::now() + kConfirmWait;
    while (!lock.tryLock() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(kWatchdogPoll / 2);
    }
    std::fputs("The previous rules were put back\n", c.out);
    std::fflush(c.out);
}

void showRuleDifference(ToolContext& c)
{
    const std::string key = c.prefs.currentSettingsKey().value_or(std::string());
    const CheckedRuleText checked = c.prefs.checkedIpfwTextForSettingKey(key);
    if (checked.unsafe) {
        refuse(c, KeepwallPrefs::refusalText(key, *checked.unsafe));
        return;
    }
    std::string listing;
    if (runCommandWithOutput(kIpfw, { "list" }, listing) != 0) {
        refuse(c, "The rules in force could not be listed");
        return;
    }
    NameServices names;
    const std::string difference = unifiedDiff(canonicalRuleFile(checked.text, names), canonicalListing(listing, names),
                                               "active setting", "loaded rules");
    std::fputs(difference.c_str(), c.out);
    std::fflush(c.out);
    if (!difference.empty()) {
        // The tool's other commands have nothing left to do: the status is diff's.
        std::exit(1);
    }
}

} // namespace kw::tool

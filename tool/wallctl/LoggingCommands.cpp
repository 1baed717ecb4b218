#include "LoggingCommands.h"

#include "Commands.h"
#include "base/AtomicFile.h"
#include "base/CommandRunner.h"
#include "base/Log.h"
#include "base/Release.h"
#include "base/SystemRoot.h"
#include "config/ErrorNotification.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <string>

namespace kw::tool {

namespace {

constexpr const char* kSysctl = "/usr/sbin/sysctl";
constexpr const char* kLoggerDaemon = "/usr/libexec/ipfwloggerd";
constexpr const char* kLoggerPidFile = "/var/run/ipfwlogger.pid";

// The process id a pid file holds: decimal digits with nothing but white space around them.
std::optional<std::string> pidFromFile(const std::string& text)
{
    const size_t begin = std::min(text.find_first_not_of(" \t\r\n"), text.size());
    size_t end = begin;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        ++end;
    }
    if (end == begin || end - begin > 10 || text.find_first_not_of(" \t\r\n", end) != std::string::npos) {
        return std::nullopt;
    }
    const long long pid = std::stoll(text.substr(begin, end - begin));
    if (pid <= 0 || pid > INT_MAX) {
        return std::nullopt;
    }
    return std::to_string(pid);
}

// "tail -n 1 | grep -v PID" on a listing: the last line, unless it holds "PID".
bool lastLineIsAProcess(const std::string& listing)
{
    if (listing.empty()) {
        return false;
    }
    std::string body = listing;
    if (body.back() == '\n') {
        body.pop_back();
    }
    const auto newline = body.find_last_of('\n');
    const std::string last = newline == std::string::npos ? body : body.substr(newline + 1);
    return last.find("PID") == std::string::npos;
}

// Runs one sysctl assignment; false only when it could not be run at all.
// Runs sysctl and logs its outcome; returns its status word (-1 when it could not be started).
int runSysctl(const std::string& assignment)
{
    const int status = runCommand(kSysctl, { "-w", assignment });
    if (status != -1) {
        logCommandStatus(status);
    }
    return status;
}

} // namespace

bool ipfwloggerIsRunning()
{
    std::string text;
    if (!readFile(SystemRoot::path(kLoggerPidFile), text)) {
        return false;
    }
    const auto pid = pidFromFile(text);
    if (!pid) {
        logf("Ignoring %s: it holds no process id", kLoggerPidFile);
        return false;
    }
    std::string listing;
    const int status = runCommandWithOutput("/bin/ps", { "-p", *pid, "-o", "pid" }, listing);
    if (status == -1) {
        logLine("Error opening pipe");
        return false;
    }
    logCommandStatus(status);
    return lastLineIsAProcess(listing);
}

void modifyFirewallLogging(ToolContext& context, bool on)
{
    const int verbose = on ? (KWRunningOnTiger ? 2 : 1) : 0;
    const int state = runSysctl("net.inet.ip.fw.verbose=" + std::to_string(verbose));
    if (state == -1) {
        sendKWErrorNotification(errno, "Error setting firewall log state");
        return;
    }
    const int limit = runSysctl("net.inet.ip.fw.verbose_limit=65535");
    if (limit == -1) {
        sendKWErrorNotification(errno, "Error setting firewall log limit");
    }
    // A sysctl that ran and refused left the kernel's logging as it was.
    context.failed = state != 0 || limit != 0;
    if (on && KWRunningOnTiger && !ipfwloggerIsRunning()) {
        if (const int status = runCommand(kLoggerDaemon, {}); status != -1) {
            logCommandStatus(status);
        }
    }
    // Set on the newest document, so that a concurrent store or select is not undone.
    context.prefs.lockForChange();
    context.prefs.enableLogging(on);
    context.prefs.commitChanges();
    context.prefs.applyChanges();
}

} // namespace kw::tool

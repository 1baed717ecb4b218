#pragma once

// Stand-ins for the platform's commands, for tests on a temporary system root. Each one
// records "<program> <arguments>" in the root's "calls" file, so the order across programs
// shows; ps lists what the root's "ps.out" holds.

#include "TempRoot.h"
#include "base/Log.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace kw::testing {

inline constexpr const char* kRecorder = "echo \"${0#$KEEPWALL_ROOT} $*\" >> \"$KEEPWALL_ROOT/calls\"\n";
// A natd that comes up: it shows in the stand-in listing (that id is never signalled).
inline constexpr const char* kNatdThatRuns = "echo \"  4242 /usr/sbin/natd -f $2\" >> \"$KEEPWALL_ROOT/ps.out\"\n";
// A natd that refuses its configuration and ends at once.
inline constexpr const char* kNatdThatDies = "echo 'natd: unknown option' >&2\nexit 1\n";

inline void installStandIns(const TempRoot& root)
{
    for (const char* program :
         { "/sbin/ipfw", "/usr/sbin/sysctl", "/sbin/ifconfig", "/sbin/route", "/usr/libexec/ipfwloggerd" }) {
        root.writeScript(program, kRecorder);
    }
    root.writeScript("/usr/sbin/natd", std::string(kRecorder) + kNatdThatRuns);
    // "-p PID -o pid": the header, then the id when the root's "alive" file lists it.
    root.writeScript("/bin/ps", "if [ \"$1\" = -p ]; then echo \"$*\" >> \"$KEEPWALL_ROOT/ps.args\"; echo '  PID';\n"
                                "  grep -qx \"$2\" \"$KEEPWALL_ROOT/alive\" 2>/dev/null && echo \"  $2\"; exit 0; fi\n"
                                "echo '  PID COMMAND'\ncat \"$KEEPWALL_ROOT/ps.out\" 2>/dev/null\nexit 0\n");
    std::filesystem::create_directories(root / "/etc");
}

inline std::vector<std::string> recordedCalls(const TempRoot& root)
{
    std::vector<std::string> lines;
    std::istringstream in(root.readFile("/calls"));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

inline bool anyCallStartsWith(const TempRoot& root, const std::string& prefix)
{
    const auto calls = recordedCalls(root);
    return std::any_of(calls.begin(), calls.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
}

// A child that stands for a running natd; the test reaps it with signalThatEnded.
inline pid_t startStandInNatd()
{
    pid_t pid = -1;
    char program[] = "sleep";
    char seconds[] = "30";
    char* argv[] = { program, seconds, nullptr };
    if (::posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    return pid;
}

inline std::string listingLine(pid_t pid)
{
    return "  " + std::to_string(pid) + " /usr/sbin/natd -f /etc/natd.conf\n";
}

inline int signalThatEnded(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// The texts of the error notifications among log lines.
inline std::vector<std::string> errorsIn(const std::vector<std::string>& log)
{
    std::vector<std::string> found;
    const std::string prefix = "The Firewall Utility tool reported an error: ";
    for (const auto& line : log) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(line.substr(prefix.size()));
        }
    }
    return found;
}

} // namespace kw::testing

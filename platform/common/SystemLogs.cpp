#include "common/SystemLogs.h"

#include "common/Addresses.h"
#include "common/KernelVariables.h"
#include "common/PlatformRoot.h"
#include "common/ProcessTable.h"
#include "common/StateFile.h"

#include "base/AtomicFile.h"
#include "base/HostName.h"
#include "base/Release.h"
#include "base/SystemRoot.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::platform {

namespace {

bool appendLocked(const std::string& hostPath, const std::string& line, std::string& error)
{
    const int fd = ::open(hostPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        error = "cannot open " + hostPath + ": " + std::strerror(errno);
        return false;
    }
    const std::string text = line + "\n";
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int e = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) {
        error = "cannot write " + hostPath + ": " + std::strerror(n < 0 ? e : EIO);
        return false;
    }
    return true;
}

} // namespace

std::string SystemLogs::lockPath()
{
    return stateFolder() + "/logs.lock";
}

std::string SystemLogs::timeStamp(std::time_t when)
{
    static const char* const months[] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    std::tm tm {};
    ::localtime_r(&when, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s %2d %02d:%02d:%02d", months[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

bool SystemLogs::append(const std::string& systemLogPath, const std::string& line, std::string& error)
{
    if (!makeDirectories(stateFolder(), 0755)) {
        error = "cannot create " + stateFolder() + ": " + std::strerror(errno);
        return false;
    }
    FileLock lock;
    if (!lock.acquire(lockPath(), FileLock::Mode::Exclusive, error)) {
        return false;
    }
    return appendLocked(SystemRoot::path(systemLogPath), line, error);
}

pid_t SystemLogs::runningLogger()
{
    std::string text;
    if (!readFile(SystemRoot::path(kLoggerPidFile), text)) {
        return 0;
    }
    const auto pid = parseDecimal(text.substr(0, text.find_first_of("\r\n")), 1, 0x3fffffff);
    if (!pid) {
        return 0;
    }
    const pid_t p = static_cast<pid_t>(*pid);
    for (const auto& e : ProcessRegistry::liveEntries("ipfwloggerd")) {
        if (e.pid == p) {
            return p;
        }
    }
    return 0;
}

bool SystemLogs::logFirewallLine(const std::string& words, std::time_t when, std::string& error)
{
    std::int64_t verbose = 0;
    if (!KernelVariables::read(KernelVariables::kFirewallVerbose, verbose, error)) {
        return false;
    }
    if (verbose <= 0) {
        return true;
    }
    if (verbose == 1) {
        // The kernel's own line; before 10.4 the kernel logged as "mach_kernel".
        const char* kernel = KWRunningOnTiger ? " kernel: ipfw: " : " mach_kernel: ipfw: ";
        return append(kSystemLog, timeStamp(when) + " " + shortHostName() + kernel + words, error);
    }
    if (runningLogger() == 0) {
        return true;
    }
    // The logger daemon logs the kernel's text after "ipfw:", its leading blank kept.
    return append(kFirewallLog, timeStamp(when) + " " + shortHostName() + " ipfw:  " + words, error);
}

bool SystemLogs::rotate(std::string& error)
{
    if (!makeDirectories(stateFolder(), 0755) || !makeDirectories(SystemRoot::path("/var/log"), 0755)) {
        error = std::string("cannot create the log folders: ") + std::strerror(errno);
        return false;
    }
    FileLock lock;
    if (!lock.acquire(lockPath(), FileLock::Mode::Exclusive, error)) {
        return false;
    }
    for (const char* log : { kSystemLog, kFirewallLog }) {
        const std::string path = SystemRoot::path(log);
        const auto generation = [&](int n) { return path + "." + std::to_string(n); };
        if (::unlink(generation(kKeptGenerations - 1).c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove " + generation(kKeptGenerations - 1) + ": " + std::strerror(errno);
            return false;
        }
        for (int n = kKeptGenerations - 2; n >= 0; --n) {
            if (::rename(generation(n).c_str(), generation(n + 1).c_str()) != 0 && errno != ENOENT) {
                error = "cannot rename " + generation(n) + ": " + std::strerror(errno);
                return false;
            }
        }
        struct stat st {};
        const mode_t mode = ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 0775 & ~mode_t { S_IWOTH }) : 0644;
        if (::rename(path.c_str(), generation(0).c_str()) != 0 && errno != ENOENT) {
            error = "cannot rename " + path + ": " + std::strerror(errno);
            return false;
        }
        if (!writeFileAtomically(path, "", mode)) {
            error = "cannot create " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

} // namespace kw::platform

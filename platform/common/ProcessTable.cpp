#include "common/ProcessTable.h"

#include "common/PlatformRoot.h"

#include "base/AtomicFile.h"
#include "base/SystemRoot.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <set>
#include <sstream>
#include <unistd.h>

namespace kw::platform {

namespace {

bool slurp(const std::string& path, std::string& out)
{
    return readFile(path, out);
}

std::vector<std::string> splitNul(const std::string& bytes)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < bytes.size()) {
        const auto end = bytes.find('\0', start);
        if (end == std::string::npos) {
            parts.push_back(bytes.substr(start));
            break;
        }
        parts.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string entryPath(pid_t pid)
{
    return ProcessRegistry::folder() + "/" + std::to_string(pid) + ".plist";
}

} // namespace

std::optional<ProcessInfo> readProcess(pid_t pid)
{
    const std::string base = "/proc/" + std::to_string(pid);
    std::string stat;
    if (!slurp(base + "/stat", stat)) {
        return std::nullopt;
    }
    // pid (name) state ppid pgrp session tty_nr ... field 22 is starttime; the name may hold
    // spaces and parentheses, so everything is read after the last ')'.
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    ProcessInfo info;
    info.pid = pid;
    info.name = stat.substr(open + 1, close - open - 1);
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long long ppid = 0;
    long long pgrp = 0;
    long long session = 0;
    long long tty = 0;
    rest >> state >> ppid >> pgrp >> session >> tty;
    std::string skip;
    for (int field = 8; field < 22 && rest >> skip; ++field) {
    }
    unsigned long long start = 0;
    if (!(rest >> start)) {
        return std::nullopt;
    }
    info.ppid = static_cast<pid_t>(ppid);
    info.hasTerminal = tty != 0;
    info.zombie = state == "Z";
    info.startTime = start;

    std::string status;
    if (slurp(base + "/status", status)) {
        const auto uidLine = status.find("\nUid:");
        if (uidLine != std::string::npos) {
            std::istringstream u(status.substr(uidLine + 5));
            unsigned long long uid = 0;
            if (u >> uid) {
                info.uid = static_cast<uid_t>(uid);
            }
        }
    }
    std::string cmdline;
    if (slurp(base + "/cmdline", cmdline)) {
        info.arguments = splitNul(cmdline);
    }
    return info;
}

std::string ProcessRegistry::folder()
{
    return runFolder() + "/processes";
}

std::string ProcessRegistry::lockPath()
{
    return runFolder() + "/processes.lock";
}

bool ProcessRegistry::registerSelf(const std::string& program, const Value& info, std::string& error)
{
    const auto self = readProcess(::getpid());
    if (!self) {
        error = "cannot read this process's own entry in /proc";
        return false;
    }
    if (!makeDirectories(folder(), 0755)) {
        error = "cannot create " + folder() + ": " + std::strerror(errno);
        return false;
    }
    Value entry;
    entry.set("PID", Value::integer(self->pid));
    entry.set("StartTime", Value(std::to_string(self->startTime)));
    entry.set("Program", Value(program));
    if (!info.isNone()) {
        entry.set("Info", info);
    }
    if (!writeFileAtomically(entryPath(self->pid), valueToXml(entry), 0644)) {
        error = "cannot write " + entryPath(self->pid) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void ProcessRegistry::unregisterSelf()
{
    ::unlink(entryPath(::getpid()).c_str());
}

std::vector<ProcessRegistry::Entry> ProcessRegistry::liveEntries(const std::string& program)
{
    std::vector<Entry> entries;
    DIR* dir = ::opendir(folder().c_str());
    if (dir == nullptr) {
        return entries;
    }
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name.size() < 7 || name.compare(name.size() - 6, 6, ".plist") != 0 || name[0] == '.') {
            continue;
        }
        std::string bytes;
        if (!readFile(folder() + "/" + name, bytes)) {
            continue;
        }
        const auto v = valueFromXml(bytes);
        if (!v || !v->isDictionary()) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(integerValueOf(v->get("PID")));
        const auto live = pid > 0 ? readProcess(pid) : std::nullopt;
        if (!live || live->zombie || std::to_string(live->startTime) != stringValueOf(v->get("StartTime"))) {
            continue; // ended, perhaps killed before it could remove its entry
        }
        Entry e;
        e.pid = pid;
        e.program = stringValueOf(v->get("Program"));
        if (const Value* info = v->get("Info")) {
            e.info = *info;
        }
        if (program.empty() || e.program == program) {
            entries.push_back(std::move(e));
        }
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.pid < b.pid; });
    return entries;
}

namespace {

bool environmentNamesRoot(pid_t pid, const std::string& root)
{
    std::string env;
    if (!readFile("/proc/" + std::to_string(pid) + "/environ", env)) {
        return false;
    }
    static const std::string key = std::string(SystemRoot::kEnvironmentVariable) + "=";
    for (const auto& var : splitNul(env)) {
        if (var.compare(0, key.size(), key) == 0) {
            const std::string value = var.substr(key.size());
            return !value.empty() && value.front() == '/' && canonicalRoot(value) == root;
        }
    }
    return false;
}

} // namespace

bool processBelongsToRoot(pid_t pid)
{
    const std::string root = canonicalRoot(SystemRoot::prefix());
    for (const auto& e : ProcessRegistry::liveEntries()) {
        if (e.pid == pid) {
            return true;
        }
    }
    return environmentNamesRoot(pid, root);
}

std::vector<ProcessInfo> processesOfRoot()
{
    const std::string root = canonicalRoot(SystemRoot::prefix());
    std::set<pid_t> registered;
    for (const auto& e : ProcessRegistry::liveEntries()) {
        registered.insert(e.pid);
    }
    std::vector<ProcessInfo> result;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) {
        return result;
    }
    while (const dirent* d = ::readdir(dir)) {
        const char* n = d->d_name;
        if (*n < '1' || *n > '9') {
            continue;
        }
        char* end = nullptr;
        const long pid = std::strtol(n, &end, 10);
        if (*end != '\0' || pid <= 0) {
            continue;
        }
        const pid_t p = static_cast<pid_t>(pid);
        if (registered.count(p) == 0 && !environmentNamesRoot(p, root)) {
            continue;
        }
        if (auto info = readProcess(p)) {
            result.push_back(std::move(*info));
        }
    }
    ::closedir(dir);
    std::sort(result.begin(), result.end(), [](const ProcessInfo& a, const ProcessInfo& b) { return a.pid < b.pid; });
    return result;
}

} // namespace kw::platform

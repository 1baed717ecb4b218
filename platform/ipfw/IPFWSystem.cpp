#include "IPFWSystem.h"

#include "base/AtomicFile.h"
#include "base/HostName.h"
#include "base/PlistValue.h"
#include "base/Release.h"
#include "base/SystemRoot.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::ipfwemu {

namespace {

constexpr const char* kStateFolder = "/var/db/kw-platform";
constexpr const char* kInstalledPath = "/sbin/ipfw";

bool isFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Another stand-in's state file (sysctl, ifconfig), read under its lock as that stand-in
// reads it; none when it is missing or unreadable.
std::optional<Value> readPlist(const std::string& hostPath)
{
    Value value;
    std::string error;
    if (platform::StateFile(hostPath).read(value, error) != platform::StateFile::Status::Loaded) {
        return std::nullopt;
    }
    return value;
}

} // namespace

bool establishRoot(std::string& error)
{
    std::string root;
    if (const char* env = std::getenv(SystemRoot::kEnvironmentVariable); env != nullptr && *env != '\0') {
        root = env;
        if (!isFolder(root)) {
            error = "system root " + root + " is not a folder";
            return false;
        }
    } else {
        const std::string self = ownExecutablePath();
        const std::string installed = kInstalledPath;
        if (!self.empty()) {
            if (self.size() > installed.size() &&
                self.compare(self.size() - installed.size(), std::string::npos, installed) == 0) {
                const std::string candidate = self.substr(0, self.size() - installed.size());
                if (isFolder(candidate + kStateFolder)) {
                    root = candidate;
                }
            }
        }
        if (root.empty()) {
            error = "no system root: set KEEPWALL_ROOT to a sandbox root";
            return false;
        }
    }
    char resolved[PATH_MAX];
    if (::realpath(root.c_str(), resolved) != nullptr) {
        root = resolved;
    }
    if (root == "/") {
        error = "refusing to emulate the packet filter on the machine's own root \"/\"";
        return false;
    }
    ::setenv(SystemRoot::kEnvironmentVariable, root.c_str(), 1);
    return true;
}

std::string stateFolder()
{
    return SystemRoot::path(kStateFolder);
}

std::string stateFilePath()
{
    return stateFolder() + "/ipfw.state";
}

StateStore::~StateStore()
{
    close();
}

void StateStore::close()
{
    m_lock.release();
}

bool StateStore::open(Lock lock, Table& table, NameServices& names, std::string& error)
{
    close();
    if (!makeDirectories(stateFolder(), 0755)) {
        error = "cannot create " + stateFolder() + ": " + std::strerror(errno);
        return false;
    }
    const std::string path = stateFilePath();
    const auto mode = lock == Lock::Exclusive ? platform::FileLock::Mode::Exclusive : platform::FileLock::Mode::Shared;
    if (!m_lock.acquire(path + ".lock", mode, error)) {
        return false;
    }
    std::string text;
    if (!readFile(path, text)) {
        if (errno == ENOENT) {
            table = Table();
            return true;
        }
        error = "cannot read the rule table " + path + ": " + std::strerror(errno);
        return false;
    }
    Table loaded;
    std::string why;
    if (!loaded.deserialize(text, names, why)) {
        error = "the rule table " + path + " is corrupt (" + why + "); remove it to start from an empty table";
        return false;
    }
    table = std::move(loaded);
    return true;
}

bool StateStore::save(const Table& table, std::string& error)
{
    if (!m_lock.held()) {
        error = "the rule table is not locked";
        return false;
    }
    if (!writeFileAtomically(stateFilePath(), table.serialize(), 0644)) {
        error = "cannot write the rule table " + stateFilePath() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::int64_t kernelVariable(const std::string& name, std::int64_t defaultValue)
{
    const auto plist = readPlist(stateFolder() + "/sysctl.plist");
    if (!plist) {
        return defaultValue;
    }
    const Value* v = plist->get(name);
    if (v == nullptr) {
        return defaultValue;
    }
    return integerValueOf(v);
}

std::optional<std::uint32_t> parseDottedAddress(std::string_view text)
{
    std::uint32_t result = 0;
    for (int part = 0; part < 4; ++part) {
        unsigned value = 0;
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || ptr == text.data() || value > 255) {
            return std::nullopt;
        }
        result = (result << 8) | value;
        text.remove_prefix(static_cast<std::size_t>(ptr - text.data()));
        if (part < 3) {
            if (text.empty() || text.front() != '.') {
                return std::nullopt;
            }
            text.remove_prefix(1);
        }
    }
    if (!text.empty()) {
        return std::nullopt;
    }
    return result;
}

std::vector<std::pair<std::string, std::uint32_t>> interfaceAddresses()
{
    std::vector<std::pair<std::string, std::uint32_t>> out;
    const auto plist = readPlist(stateFolder() + "/interfaces.plist");
    if (!plist || plist->array() == nullptr) {
        return out;
    }
    for (const auto& iface : *plist->array()) {
        const std::string name = stringValueOf(iface.get("Name"));
        const Value* addresses = iface.get("Addresses");
        if (name.empty() || addresses == nullptr || addresses->array() == nullptr) {
            continue;
        }
        for (const auto& a : *addresses->array()) {
            if (const auto address = parseDottedAddress(stringValueOf(a.get("Address")))) {
                out.emplace_back(name, *address);
            }
        }
    }
    return out;
}

void configureEngine(Engine& engine, const std::optional<std::vector<std::uint32_t>>& myAddresses)
{
    std::vector<std::uint32_t> me;
    const auto interfaces = interfaceAddresses();
    for (auto it = interfaces.rbegin(); it != interfaces.rend(); ++it) {
        // The first address of each interface is the one a rule naming it by address means.
        engine.setInterfaceAddress(it->first, it->second);
        me.push_back(it->second);
    }
    if (myAddresses) {
        me = *myAddresses;
    } else if (me.empty()) {
        me.push_back(0x7f000001u);
    }
    engine.setMyAddresses(std::move(me));
    Lifetimes l;
    l.ack = kernelVariable("net.inet.ip.fw.dyn_ack_lifetime", l.ack);
    l.syn = kernelVariable("net.inet.ip.fw.dyn_syn_lifetime", l.syn);
    l.fin = kernelVariable("net.inet.ip.fw.dyn_fin_lifetime", l.fin);
    l.rst = kernelVariable("net.inet.ip.fw.dyn_rst_lifetime", l.rst);
    l.udp = kernelVariable("net.inet.ip.fw.dyn_udp_lifetime", l.udp);
    l.shortLived = kernelVariable("net.inet.ip.fw.dyn_short_lifetime", l.shortLived);
    engine.setLifetimes(l);
    engine.setDynamicLimit(
        static_cast<std::size_t>(std::max<std::int64_t>(0, kernelVariable("net.inet.ip.fw.dyn_max", 4096))));
    const std::int64_t verbose = kernelVariable("net.inet.ip.fw.verbose", 0);
    engine.setLogSink(
        [](const std::string& words, std::int64_t when) {
            std::string error;
            if (!writeFirewallLogLine(words, when, error)) {
                std::fprintf(stderr, "ipfw: %s\n", error.c_str());
            }
        },
        verbose == 1 || verbose == 2);
}

std::string logTimeStamp(std::int64_t when)
{
    static const char* const months[] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    const auto t = static_cast<std::time_t>(when);
    std::tm tm {};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s %2d %02d:%02d:%02d", months[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

std::string firewallLogText(const std::string& words)
{
    if (!KWRunningOnTiger) {
        return "mach_kernel: ipfw: " + words; // the kernel's own line in the system log
    }
    // The kernel strips its "ipfw:" and hands the rest, blank included, cut to 99 characters,
    // to the logger daemon, which logs it under its own name.
    std::string message = " " + words;
    if (message.size() > kFirewallLogMessageLength) {
        message.resize(kFirewallLogMessageLength);
    }
    return "ipfw: " + message;
}

bool writeFirewallLogLine(const std::string& words, std::int64_t when, std::string& error)
{
    const std::string log = SystemRoot::path(KWRunningOnTiger ? "/var/log/ipfw.log" : "/var/log/system.log");
    if (!makeDirectories(SystemRoot::path("/var/log"), 0755) || !makeDirectories(stateFolder(), 0755)) {
        error = std::string("cannot create the log folders: ") + std::strerror(errno);
        return false;
    }
    // The same lock the system logger's rotation takes, so no line is split or lost by it.
    platform::FileLock lock;
    if (!lock.acquire(stateFolder() + "/logs.lock", platform::FileLock::Mode::Exclusive, error)) {
        return false;
    }
    const std::string line = logTimeStamp(when) + " " + shortHostName() + " " + firewallLogText(words) + "\n";
    const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = fd >= 0;
    if (ok) {
        ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        if (!ok) {
            error = "cannot write " + log + ": " + std::strerror(errno);
        }
        ::close(fd);
    } else {
        error = "cannot open " + log + ": " + std::strerror(errno);
    }
    return ok;
}

} // namespace kw::ipfwemu

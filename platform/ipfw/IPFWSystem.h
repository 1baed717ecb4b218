#pragma once

// Where the emulated packet filter meets the rest of the emulated platform: its system root,
// its state file, the kernel variables it reads (net.inet.ip.fw.*), the host's interface
// addresses and the system logs it writes. Every such lookup stands here, once.

#include "IPFWEngine.h"
#include "IPFWTable.h"

#include "common/StateFile.h"
#include "syntax/NameServices.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kw::ipfwemu {

// Finds the system root and puts it in force: KEEPWALL_ROOT when set, else the sandbox the
// executable was installed into (a copy at <root>/sbin/ipfw whose root has var/db/kw-platform).
// The stand-in never works on the machine's own "/": its kernel state would land in the host's
// /var. False with the reason in error.
bool establishRoot(std::string& error);

// The emulated kernel's state folder, "/var/db/kw-platform" under the root (host path).
std::string stateFolder();

// The rule table file, "<state folder>/ipfw.state", and its lock file beside it.
std::string stateFilePath();

// The table's file: read and replaced under an advisory lock, so two commands never interleave
// their changes; every write replaces the whole file atomically (a kill leaves the old or the
// new table). A file that cannot be read or is not a table is reported, never taken as empty.
class StateStore {
public:
    enum class Lock { Shared, Exclusive };

    StateStore() = default;
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // Takes the lock (waiting for it) and reads the table; a missing file gives the empty table
    // (the default rule only).
    bool open(Lock lock, Table& table, NameServices& names, std::string& error);
    bool save(const Table& table, std::string& error);
    void close();

private:
    platform::FileLock m_lock;
};

// A kernel variable of the emulated sysctl (var/db/kw-platform/sysctl.plist: an XML property
// list, a dictionary from names to integers; a missing file or entry gives the default).
std::int64_t kernelVariable(const std::string& name, std::int64_t defaultValue);

// The addresses of the root's interfaces (var/db/kw-platform/interfaces.plist, an array of
// dictionaries with "Name" and "Addresses" [{"Address": dotted}]), as name and address pairs;
// nothing when the file is absent or unreadable.
std::vector<std::pair<std::string, std::uint32_t>> interfaceAddresses();

// Sets the engine up as the kernel would run it: "me" from the interfaces (or the given list),
// interface addresses, dynamic rule lifetimes and limit, and logging to the system log when
// net.inet.ip.fw.verbose is 1 or 2.
void configureEngine(Engine& engine, const std::optional<std::vector<std::uint32_t>>& myAddresses);

// Most characters of the kernel's message that reach the logger daemon on 10.4.
inline constexpr std::size_t kFirewallLogMessageLength = 99;

// The text of a firewall log line after the host name, as the release wrote it:
// "mach_kernel: ipfw: <words>" in the system log before 10.4, "ipfw:  <words>" (the kernel's
// blank kept, the message cut to 99 characters) in the logger daemon's file on 10.4.
std::string firewallLogText(const std::string& words);

// Writes one firewall log line "<Mon dd hh:mm:ss> <host> <firewallLogText>" to
// "/var/log/ipfw.log" on 10.4 and later, else to "/var/log/system.log" (under the root).
bool writeFirewallLogLine(const std::string& words, std::int64_t when, std::string& error);

// The time stamp of a log line ("Dec  9 20:11:21"), local time, C locale month names.
std::string logTimeStamp(std::int64_t when);

// Reads a dotted IPv4 address (four decimal parts) into host order.
std::optional<std::uint32_t> parseDottedAddress(std::string_view text);

} // namespace kw::ipfwemu

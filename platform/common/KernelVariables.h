#pragma once

#include "common/StateFile.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kw::platform {

// The emulated kernel variables that sysctl reads and writes, kept in
// var/db/kw-platform/sysctl.plist (name to integer; a variable without an entry has its
// default value).
struct KernelVariable {
    const char* name;
    std::int64_t defaultValue;
    std::int64_t minimum;
    std::int64_t maximum;
    const char* description;
};

class KernelVariables {
public:
    static constexpr const char* kFirewallEnable = "net.inet.ip.fw.enable";
    static constexpr const char* kFirewallVerbose = "net.inet.ip.fw.verbose";
    static constexpr const char* kFirewallVerboseLimit = "net.inet.ip.fw.verbose_limit";
    static constexpr const char* kForwarding = "net.inet.ip.forwarding";

    // Every variable, in name order.
    static const std::vector<KernelVariable>& all();
    static const KernelVariable* find(std::string_view name);

    static StateFile stateFile();

    // The current value; false with the reason (unknown name, unreadable state) in error.
    static bool read(const std::string& name, std::int64_t& value, std::string& error);
    // All current values, in the order of all().
    static bool readAll(std::vector<std::pair<std::string, std::int64_t>>& values, std::string& error);
    // Sets a value and answers the old one; the value must lie in the variable's range.
    static bool write(const std::string& name, std::int64_t value, std::int64_t& oldValue, std::string& error);
};

} // namespace kw::platform

#pragma once

#include "base/PlistValue.h"

#include <cstdint>
#include <string>

namespace kw {

// Turns one interface dictionary of a quick configuration into its block of ipfw rules.
class IPFWInterface {
public:
    // Appends the interface's block to text: header, the switched-on extra rules, the
    // user's service filters and the two default policies. Rule numbers start at
    // firstRuleNumber and grow by one per extra rule line and per filter; the default
    // policies are numbered n + 50000 and n + 50001 from the next free number n. Appends
    // nothing when ENABLE_FIREWALL is not greater than 0. Reads kw::KWRunningOnJaguar.
    // The dictionary is not changed. Raises SettingTypeError (naming the key) when a field
    // holds a value of the wrong kind; text is then left as it was.
    static void appendFirewallRules(const Value& interface, std::string& text, std::int64_t firstRuleNumber);
};

} // namespace kw

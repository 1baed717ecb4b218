#pragma once

#include "base/PlistValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kw {

// Turns one interface dictionary of a quick configuration into its block of ipfw rules.
class IPFWInterface {
public:
    // What a filter of the panel's form got: its rule number and, for My Computer ends, the
    // address written for them.
    struct NumberedFilter {
        std::int64_t ruleNumber = 0;
        std::optional<std::string> srcHost;
        std::optional<std::string> dstHost;
    };

    // Appends the interface's block to text: header, the switched-on extra rules, the
    // user's service filters and the two default policies. Rule numbers start at
    // firstRuleNumber and grow by one per extra rule line and per filter; the default
    // policies are numbered n + 50000 and n + 50001 from the next free number n. Appends
    // nothing when ENABLE_FIREWALL is not greater than 0. Reads kw::KWRunningOnJaguar.
    // The dictionary is not changed. Raises SettingTypeError (naming the key) when a field
    // holds a value of the wrong kind; text is then left as it was.
    static void appendFirewallRules(const Value& interface, std::string& text, std::int64_t firstRuleNumber);

    // The form the configuration window's quick panel writes for its expert text: the same
    // block with the panel's own choices. The address of the DHCP and default-policy rules is
    // this computer's (IP_HOST_ADDRESS when IP_HOST_ADDRESS_TYPE is 1, else "any"); the
    // enable box is not looked at; the extra rules come in the panel's order with its
    // titles and spellings (source routing as "ipopt", multicast DNS keeping state on 10.2
    // and later). interfaceName is written for the interface. When numberedFilters is given,
    // it receives, per filter in order, the rule number it got and the addresses used for its
    // My Computer ends, so the panel's own filters can take them.
    static void appendPanelFirewallRules(const Value& interface, std::string_view interfaceName, std::string& text,
                                         std::int64_t firstRuleNumber,
                                         std::vector<NumberedFilter>* numberedFilters = nullptr);
};

} // namespace kw

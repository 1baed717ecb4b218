#pragma once

#include "base/PlistValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kw {

// Keys of a service filter dictionary (the entries of an interface's FILTER_LIST).
inline constexpr char ServiceFilterLabel[] = "ServiceFilterLabel";
inline constexpr char ServiceFilterCustomLabel[] = "ServiceFilterCustomLabel";
inline constexpr char ServiceFilterOrderNumber[] = "ServiceFilterOrderNumber";
inline constexpr char ServiceFilterAction[] = "ServiceFilterAction";
inline constexpr char ServiceFilterProtocol[] = "ServiceFilterProtocol";
inline constexpr char ServiceFilterPort[] = "ServiceFilterPort";
inline constexpr char ServiceFilterSourcePort[] = "ServiceFilterSourcePort";
inline constexpr char ServiceFilterSrcHostType[] = "ServiceFilterSrcHostType";
inline constexpr char ServiceFilterSrcHost[] = "ServiceFilterSrcHost";
inline constexpr char ServiceFilterDstHostType[] = "ServiceFilterDstHostType";
inline constexpr char ServiceFilterDstHost[] = "ServiceFilterDstHost";
inline constexpr char ServiceFilterIPOptions[] = "ServiceFilterIPOptions";
inline constexpr char ServiceFilterTCPFlags[] = "ServiceFilterTCPFlags";
inline constexpr char ServiceFilterICMPTypes[] = "ServiceFilterICMPTypes";
inline constexpr char ServiceFilterShouldLog[] = "ServiceFilterShouldLog";

// The label under which the user's own name (ServiceFilterCustomLabel) is shown.
inline constexpr char kCustomServiceLabel[] = "Custom Service";

// Host types of ServiceFilterSrcHostType / ServiceFilterDstHostType.
enum ServiceFilterHostType : int { kHostMyComputer = 0, kHostInternet = 1, kHostTyped = 2 };

// One user rule of an interface's quick configuration: allow or deny one service between
// two ends, with options. Wraps the filter's own copy of its dictionary; every value below
// is read from that dictionary when asked.
//
// The text operations, srcHost, dstHost and canUsePorts raise SettingTypeError when a text
// field they read (action, protocol, ports, hosts, option lists, labels) holds anything but
// text, naming the key. The accessors that answer stored values never raise.
class ServiceFilter {
public:
    // An empty filter: all keys absent.
    ServiceFilter();
    // Keeps its own copy of the dictionary (none counts as an empty dictionary).
    // Raises SettingTypeError for any other kind of value.
    explicit ServiceFilter(const Value& serviceAttributes);

    // The filter's dictionary itself; changes through it change the filter.
    Value& serviceAttributes() { return m_serviceAttributes; }
    const Value& serviceAttributes() const { return m_serviceAttributes; }
    // Replaces the dictionary by a copy of the given one (same rules as the constructor).
    void setServiceAttributes(const Value& serviceAttributes);
    // Stores the number under ServiceFilterOrderNumber in the filter's own copy.
    void setRuleNumber(std::int64_t ruleNumber);

    // Values as stored, nullptr when absent.
    const Value* protocol() const;
    const Value* dstPort() const;
    const Value* srcPort() const;
    const Value* action() const;
    const Value* ipOptions() const;
    const Value* tcpFlags() const;
    const Value* icmpTypes() const;
    const Value* ruleNumber() const;
    // The host text when it is non-empty, otherwise "any".
    std::string srcHost() const;
    std::string dstHost() const;
    // Integer value of ServiceFilterShouldLog greater than 0.
    bool shouldLog() const;
    // protocol is exactly "tcp" or "udp".
    bool canUsePorts() const;

    // The stored object shown in a table column ("ruleNo", "ruleAction", "ruleServiceName",
    // "ruleSourceHost", "ruleDestHost", "ruleOptions"); nullptr when absent or unknown column.
    const Value* valueForColumn(std::string_view columnIdentifier) const;

    // One rule line without a line break, e.g.
    //   "add 2001 allow tcp from any to any 22 setup keep-state in via en0".
    // interfaceName and direction are left out when not given.
    std::string ruleForInterface(std::optional<std::string_view> interfaceName,
                                 std::optional<std::string_view> direction, bool reversePorts, bool keepState) const;

    // The three-line comment header and the rule line(s), directions chosen from the host
    // types; reads kw::KWRunningOnJaguar (keep-state on 10.2 and later, a mirrored line for
    // allowed UDP on 10.1). Lines with a direction end in "\n"; a line without one does not.
    std::string ruleTextWithInterface(std::string_view interfaceName) const;

private:
    Value m_serviceAttributes;
};

} // namespace kw

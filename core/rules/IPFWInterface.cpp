#include "rules/IPFWInterface.h"

#include "base/Release.h"
#include "config/SettingsKeys.h"
#include "rules/FilterRules.h"
#include "rules/ServiceFilter.h"
#include "rules/TextFields.h"

#include <optional>
#include <string_view>

namespace kw {

using namespace rules_detail;

namespace {

constexpr std::string_view kSeparator = "#################################################\n";

void appendSectionHeader(std::string& out, std::string_view titleLine)
{
    out += '\n';
    out += kSeparator;
    out += titleLine;
    out += kSeparator;
}

// A configured address: the text when its type is 1 and the text is not empty, else "any".
std::string_view typedAddress(const Value& interface, const char* typeKey, const char* addressKey)
{
    if (integerOf(interface, typeKey) != 1) {
        return "any";
    }
    const std::string_view address = strictTextOrEmpty(interface.get(addressKey), addressKey);
    return address.empty() ? std::string_view("any") : address;
}

// Appends one "add <n> ..." line: the pieces are joined as given, the number in front.
struct RuleWriter {
    std::string& out;
    std::int64_t n;

    template <typename... Pieces> void line(std::int64_t number, const Pieces&... pieces)
    {
        out += "add ";
        appendInteger(out, number);
        (out.append(pieces), ...);
        out += '\n';
    }
    template <typename... Pieces> void next(const Pieces&... pieces) { line(n++, pieces...); }
};

} // namespace

namespace {

// Which of the two forms a block is written in: the tool's, or the quick panel's.
struct BlockForm {
    bool panel = false;
    std::string_view interfaceName; // the panel's name for the interface
    std::vector<IPFWInterface::NumberedFilter>* numberedFilters = nullptr;
};

// The switched-on extra rules of an interface. The quick panel writes them in an order of its
// own, with its own broadcast title and spellings (the short option word "ipopt", multicast DNS
// keeping state on 10.2 and later, network time port to port on the one release that did).
enum class Extra { Bootp, Broadcast, SourceRoute, Ntp, Rendezvous, Icmp, FtpData, Dns };
constexpr Extra kToolOrder[] = { Extra::Bootp,      Extra::Broadcast, Extra::SourceRoute, Extra::Ntp,
                                 Extra::Rendezvous, Extra::Icmp,      Extra::FtpData,     Extra::Dns };
constexpr Extra kPanelOrder[] = { Extra::Bootp, Extra::Broadcast, Extra::Rendezvous, Extra::SourceRoute,
                                  Extra::Ntp,   Extra::Icmp,      Extra::FtpData,    Extra::Dns };

void appendExtraRules(const Value& interface, RuleWriter& rules, std::string& text, const std::string& name,
                      const std::string& addr, std::string_view dns, bool panel)
{
    using namespace keys;
    const std::string_view via = " via ";
    for (const Extra extra : panel ? kPanelOrder : kToolOrder) {
        switch (extra) {
        case Extra::Bootp:
            if (integerOf(interface, kAdvAllowBootp) != 0) {
                appendSectionHeader(text, "## Allow DHCP/BOOTP\n");
                rules.next(" allow udp from any 67-68 to ", addr, " 67-68", via, name);
            }
            break;
        case Extra::Broadcast:
            if (integerOf(interface, kAdvAllowBroadcast) != 0) {
                appendSectionHeader(text, panel ? "## Allow Broadcast (for DHCP)\n" : "## Allow DHCP Broadcast\n");
                rules.next(" allow udp from any to 255.255.255.255 67-68", via, name);
            }
            break;
        case Extra::SourceRoute:
            if (integerOf(interface, kDenySourceRoute) != 0) {
                appendSectionHeader(text, "## Deny Source Routed Packets\n");
                rules.next(panel ? " unreach host log ip from any to any ipopt ssrr,lsrr"
                                 : " unreach host log ip from any to any ipoptions ssrr,lsrr",
                           via, name);
            }
            break;
        case Extra::Ntp:
            if (integerOf(interface, kAdvAllowNtp) != 0) {
                appendSectionHeader(text, "## Allow Network Time (NTP)\n");
                rules.next(panel && toolkitVersionNumber() == 577.0 ? " allow udp from any 123 to any 123"
                                                                    : " allow udp from any 123 to any 1024-65535,123",
                           via, name);
            }
            break;
        case Extra::Rendezvous:
            if (integerOf(interface, kAdvAllowRendezvous) != 0) {
                appendSectionHeader(text, "## Allow Rendezvous Multicast\n");
                rules.next(panel && KWRunningOnJaguar ? " allow udp from any 5353 to any 5353 keep-state"
                                                      : " allow udp from any 5353 to any 5353",
                           via, name);
            }
            break;
        case Extra::Icmp:
            if (integerOf(interface, kAdvAllowIcmp) != 0) {
                appendSectionHeader(text, "## Allow All ICMP Packets\n");
                rules.next(" allow icmp from any to any", via, name);
            }
            break;
        case Extra::FtpData:
            if (integerOf(interface, kAdvAllowFtpData) != 0) {
                appendSectionHeader(text, "## Allow FTP-Data port\n");
                rules.next(" allow tcp from any 20-21 to any 1024-65535 in", via, name);
            }
            break;
        case Extra::Dns:
            if (integerOf(interface, kAdvAllowDns) != 0) {
                appendSectionHeader(text, "## Allow DNS\n");
                if (KWRunningOnJaguar) {
                    rules.next(" allow udp from any to ", dns, " 53 keep-state out", via, name);
                } else {
                    rules.next(" allow udp from any 1024-65535 to ", dns, " 53 out", via, name);
                    rules.next(" allow udp from ", dns, " 53 to any 1024-65535 in", via, name);
                }
            }
            break;
        }
    }
}

void appendBlock(const Value& interface, std::string& text, std::int64_t firstRuleNumber, const BlockForm& form = {})
{
    using namespace keys;
    if (!interface.isNone() && !interface.isDictionary()) {
        throwNotKind(interface, "the interface", "a dictionary");
    }
    if (!form.panel && integerOf(interface, kEnableFirewall) <= 0) {
        return;
    }

    const std::string name =
        form.panel ? std::string(form.interfaceName) : formattedText(interface.get(kInterfaceName), kInterfaceName);
    const std::string_view me = typedAddress(interface, kIpHostAddressType, kIpHostAddress);
    std::string addr;
    if (form.panel) {
        addr = integerOf(interface, kIpHostAddressType) == 0
                   ? std::string("any")
                   : std::string(strictTextOrEmpty(interface.get(kIpHostAddress), kIpHostAddress));
    } else {
        addr = integerOf(interface, kAddressType) != 0 ? formattedText(interface.get(kIpAddress), kIpAddress)
                                                       : std::string("any");
    }
    const std::string_view dns = typedAddress(interface, kAdvDnsType, kAdvDnsAddress);
    const std::string_view via = " via ";

    text += '\n';
    text += kSeparator;
    text += "## Rules for the ";
    text += name;
    text += " interface\n";
    text += kSeparator;

    RuleWriter rules { text, firstRuleNumber };
    appendExtraRules(interface, rules, text, name, addr, dns, form.panel);

    text += '\n';
    text += kSeparator;
    text += "## * * * User Filter Policies * * * \n";
    text += kSeparator;
    text += '\n';

    if (const Value::Array* filters = optionalArray(interface.get(kFilterList), kFilterList)) {
        for (size_t i = 0; i < filters->size(); ++i) {
            const Value& entry = (*filters)[i];
            try {
                if (!entry.isDictionary()) {
                    throwNotKind(entry, "the entry", "a dictionary");
                }
                // The filter's copy gets the rule number and, for My Computer ends, this
                // computer's address; the stored dictionary stays as it is.
                FilterView filter { FilterFields::read(entry), rules.n, std::nullopt, std::nullopt };
                if (integerValueOf(filter.fields.srcHostType) == kHostMyComputer) {
                    filter.srcHost = me;
                }
                if (integerValueOf(filter.fields.dstHostType) == kHostMyComputer) {
                    filter.dstHost = me;
                }
                appendRuleText(text, filter, name);
                if (form.numberedFilters != nullptr) {
                    IPFWInterface::NumberedFilter numbered;
                    numbered.ruleNumber = rules.n;
                    if (filter.srcHost) {
                        numbered.srcHost = std::string(*filter.srcHost);
                    }
                    if (filter.dstHost) {
                        numbered.dstHost = std::string(*filter.dstHost);
                    }
                    form.numberedFilters->push_back(std::move(numbered));
                }
            } catch (const SettingTypeError& e) {
                throw e.within(std::string(kFilterList) + " entry " + std::to_string(i + 1));
            }
            text += '\n';
            ++rules.n;
        }
    }

    appendSectionHeader(text, "## * * * Default Filter Policies * * * \n");
    if (integerOf(interface, kDefaultOutgoingAllow) == 1) {
        appendSectionHeader(text, "## Deny All Outgoing Services\n");
        rules.line(rules.n + 50000, " deny log all from ", addr, " to any out", via, name);
    } else {
        appendSectionHeader(text, "## Allow All Outgoing Services\n");
        rules.line(rules.n + 50000, " allow all from ", addr,
                   KWRunningOnJaguar ? " to any keep-state out" : " to any out", via, name);
    }
    if (integerOf(interface, kDefaultIncomingAllow) == 1) {
        appendSectionHeader(text, "## Deny All Incoming Services\n");
        rules.line(rules.n + 50001, " deny log all from any to ", addr, " in", via, name);
    } else {
        appendSectionHeader(text, "## Allow All Incoming Services\n");
        rules.line(rules.n + 50001, " allow all from any to ", addr, KWRunningOnJaguar ? " keep-state in" : " in", via,
                   name);
    }
}

} // namespace

void IPFWInterface::appendPanelFirewallRules(const Value& interface, std::string_view interfaceName, std::string& text,
                                             std::int64_t firstRuleNumber, std::vector<NumberedFilter>* numberedFilters)
{
    const size_t before = text.size();
    std::vector<NumberedFilter> numbered;
    try {
        appendBlock(interface, text, firstRuleNumber, BlockForm { true, interfaceName, &numbered });
    } catch (...) {
        text.resize(before); // all or nothing, as for the tool's form
        throw;
    }
    if (numberedFilters != nullptr) {
        *numberedFilters = std::move(numbered);
    }
}

void IPFWInterface::appendFirewallRules(const Value& interface, std::string& text, std::int64_t firstRuleNumber)
{
    const size_t before = text.size();
    try {
        appendBlock(interface, text, firstRuleNumber);
    } catch (...) {
        text.resize(before); // all or nothing: no half block is left behind
        throw;
    }
}

} // namespace kw

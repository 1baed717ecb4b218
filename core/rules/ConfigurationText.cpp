#include "rules/ConfigurationText.h"

#include "base/Release.h"
#include "config/SettingsKeys.h"
#include "rules/IPFWInterface.h"
#include "rules/ServiceFilter.h"
#include "rules/TextFields.h"

namespace kw {

using namespace rules_detail;
using namespace keys;

namespace {

constexpr std::string_view kSeparator = "#################################################\n";
constexpr std::int64_t kFirstBlockNumber = 2000;
constexpr std::int64_t kBlockSize = 1000;
constexpr std::int64_t kDefaultRuleOffset = 50000; // the default rules follow a block's last rule by this much
constexpr std::int64_t kHighestRuleNumber = 65534; // 65535 is the kernel's own default rule

const Value& settingDictionary(const Value& setting)
{
    if (!setting.isNone() && !setting.isDictionary()) {
        throwNotKind(setting, "the setting", "a dictionary");
    }
    return setting;
}

// A generous guess at the rule text's size, so that large settings are not copied as the
// text grows.
size_t estimatedSize(const Value::Array* interfaces)
{
    size_t size = 1024;
    if (interfaces != nullptr) {
        for (const Value& interface : *interfaces) {
            const Value* filters = interface.get(kFilterList);
            const size_t count = filters != nullptr && filters->isArray() ? filters->array()->size() : 0;
            size += 2048 + 256 * count;
        }
    }
    return size;
}

bool isExpert(const Value& setting)
{
    return integerOf(setting, kConfigMode) != 0;
}

std::string entryLocation(const char* listKey, size_t index)
{
    return std::string(listKey) + " entry " + std::to_string(index + 1);
}

// Where a field's text ends up: inside a rule or option line, or in a comment line only.
enum class Placement { RuleLine, CommentLine };

struct CheckedField {
    const char* key;
    Placement placement;
};

constexpr CheckedField kNatFields[] = { { kNatdInterfaceName, Placement::RuleLine } };
constexpr CheckedField kPortMapFields[] = { { kPortmapProtocol, Placement::RuleLine },
                                            { kPortmapIp, Placement::RuleLine } };

const char* unsafeReason(std::string_view text, Placement placement)
{
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n' || c == '\r') {
            return "contains a line break";
        }
        if (c == '\0') {
            return "contains a NUL character";
        }
        if ((u < 0x20 && c != '\t') || u == 0x7f) {
            return "contains a control character";
        }
        if (c == '#' && placement == Placement::RuleLine) {
            return "contains \"#\", which would cut its line short";
        }
    }
    return nullptr;
}

template <size_t N>
std::optional<std::string> checkFields(const Value& dict, const CheckedField (&fields)[N], const std::string& location)
{
    for (const CheckedField& field : fields) {
        const Value* value = dict.get(field.key);
        const std::string* text = value != nullptr ? value->string() : nullptr;
        if (text == nullptr) {
            continue; // absent, or a number (always safe), or a wrong kind the generators refuse
        }
        if (const char* reason = unsafeReason(*text, field.placement)) {
            return location + (location.empty() ? "" : ": ") + field.key + " " + reason;
        }
    }
    return std::nullopt;
}

std::optional<std::string> checkField(const Value& dict, const char* key, Placement placement,
                                      const std::string& location)
{
    const CheckedField field[] = { { key, placement } };
    return checkFields(dict, field, location);
}

// Calls check(entry, location) for each dictionary entry of dict's list under listKey.
template <typename Check>
std::optional<std::string> checkEntries(const Value& dict, const char* listKey, const std::string& outer, Check check)
{
    const Value* list = dict.get(listKey);
    const Value::Array* entries = list != nullptr ? list->array() : nullptr;
    if (entries == nullptr) {
        return std::nullopt;
    }
    for (size_t i = 0; i < entries->size(); ++i) {
        const Value& entry = (*entries)[i];
        if (!entry.isDictionary()) {
            continue;
        }
        const std::string location = (outer.empty() ? "" : outer + ", ") + entryLocation(listKey, i);
        if (auto problem = check(entry, location)) {
            return problem;
        }
    }
    return std::nullopt;
}

} // namespace

void appendComment(std::string_view comment, std::string& text)
{
    text += '\n';
    text += kSeparator;
    text += "# ";
    text += comment;
    text += '\n';
    text += kSeparator;
}

std::string ipfwTextForSetting(const Value& setting)
{
    const Value& s = settingDictionary(setting);
    if (isExpert(s)) {
        return std::string(strictTextOrEmpty(s.get(kExpertConfigText), kExpertConfigText));
    }
    const Value::Array* interfaces = optionalArray(s.get(kInterfaceList), kInterfaceList);

    std::string text;
    text.reserve(estimatedSize(interfaces));
    appendComment("Allow Loopback", text);
    text += "add 1000 allow ip from any to any via lo*\n";
    appendComment("Allow packets from existing connections", text);
    if (KWRunningOnJaguar) {
        appendComment("Check Dynamic Rules Table", text);
        text += "add 1003 check-state\n";
    } else {
        text += "add 1004 allow tcp from any to any established\n";
    }
    text += "add 1005 allow all from any to any frag\n";
    appendComment("Allow Essential ICMP Traffic", text);
    text += "add 1006 allow icmp from any to any icmptype 0,3,4,11,12,13,14\n";

    if (interfaces != nullptr) {
        std::int64_t first = kFirstBlockNumber;
        for (size_t i = 0; i < interfaces->size(); ++i, first += kBlockSize) {
            try {
                IPFWInterface::appendFirewallRules((*interfaces)[i], text, first);
            } catch (const SettingTypeError& e) {
                throw e.within(entryLocation(kInterfaceList, i));
            }
        }
    }
    return text;
}

std::string generateNatdTextFromSetting(const Value& setting)
{
    const Value& s = settingDictionary(setting);
    const Value* natConfig = optionalDictionary(s.get(kNatConfig), kNatConfig);
    const Value empty;
    const Value& n = natConfig != nullptr ? *natConfig : empty;

    std::string text;
    try {
        if (const Value* interfaceName = n.get(kNatdInterfaceName);
            interfaceName != nullptr && !interfaceName->isNone()) {
            text += "interface ";
            appendFormatted(text, interfaceName, kNatdInterfaceName);
            text += '\n';
        } else {
            switch (integerOf(n, kNatdInterface)) {
            case 0:
                text += "interface en0\n";
                break;
            case 1:
                text += "interface ppp0\n";
                break;
            case 2:
                text += "interface pppoe0\n";
                break;
            case 3:
                text += "interface en1\n";
                break;
            default:
                break;
            }
        }
        if (integerOf(n, kNatDynAddress) != 0) {
            text += "dynamic yes\n";
        }
        text += "use_sockets yes\n";
        text += "same_ports yes\n";

        const Value::Array* gateways = optionalArray(n.get(kGateways), kGateways);
        if (gateways == nullptr) {
            return text;
        }
        for (size_t g = 0; g < gateways->size(); ++g) {
            try {
                const Value& gateway = (*gateways)[g];
                if (!gateway.isDictionary()) {
                    throwNotKind(gateway, "the entry", "a dictionary");
                }
                if (integerOf(gateway, kNatGatewayExternal) == 0) {
                    continue;
                }
                const Value::Array* portMaps = optionalArray(gateway.get(kPortmapList), kPortmapList);
                if (portMaps == nullptr) {
                    continue;
                }
                const Value* gatewayIp = gateway.get(kNatGatewayIp);
                const bool isDefaultGateway = strictText(gatewayIp, kNatGatewayIp) == kDefaultGatewayText;
                for (size_t p = 0; p < portMaps->size(); ++p) {
                    try {
                        const Value& map = (*portMaps)[p];
                        if (!map.isDictionary()) {
                            throwNotKind(map, "the entry", "a dictionary");
                        }
                        text += "redirect_port ";
                        appendFormatted(text, map.get(kPortmapProtocol), kPortmapProtocol);
                        text += ' ';
                        appendFormatted(text, map.get(kPortmapIp), kPortmapIp);
                        text += ':';
                        appendInteger(text, integerOf(map, kPortmapPort));
                        text += ' ';
                        if (!isDefaultGateway) {
                            appendFormatted(text, gatewayIp, kNatGatewayIp);
                            text += ':';
                        }
                        appendInteger(text, integerOf(map, kPortmapInPort));
                        text += '\n';
                    } catch (const SettingTypeError& e) {
                        throw e.within(entryLocation(kPortmapList, p));
                    }
                }
            } catch (const SettingTypeError& e) {
                throw e.within(entryLocation(kGateways, g));
            }
        }
    } catch (const SettingTypeError& e) {
        throw e.within(kNatConfig);
    }
    return text;
}

std::string natdTextForSetting(const Value& setting)
{
    const Value& s = settingDictionary(setting);
    if (isExpert(s)) {
        return std::string(strictTextOrEmpty(s.get(kNatdExpertText), kNatdExpertText));
    }
    return generateNatdTextFromSetting(s);
}

namespace {

// The fields of one service filter that its rule lines and comment use.
std::optional<std::string> checkFilter(const Value& filter, const std::string& where)
{
    const Value* label = filter.get(ServiceFilterLabel);
    if (auto p = checkField(filter, ServiceFilterLabel, Placement::CommentLine, where)) {
        return p;
    }
    if (label != nullptr && label->string() != nullptr && *label->string() == kCustomServiceLabel) {
        if (auto p = checkField(filter, ServiceFilterCustomLabel, Placement::CommentLine, where)) {
            return p;
        }
    }
    for (const char* key : { ServiceFilterAction, ServiceFilterProtocol }) {
        if (auto p = checkField(filter, key, Placement::RuleLine, where)) {
            return p;
        }
    }
    // An end of type My Computer is written as this computer's address instead of its text.
    if (integerOf(filter, ServiceFilterSrcHostType) != kHostMyComputer) {
        if (auto p = checkField(filter, ServiceFilterSrcHost, Placement::RuleLine, where)) {
            return p;
        }
    }
    if (integerOf(filter, ServiceFilterDstHostType) != kHostMyComputer) {
        if (auto p = checkField(filter, ServiceFilterDstHost, Placement::RuleLine, where)) {
            return p;
        }
    }
    const Value* protocol = filter.get(ServiceFilterProtocol);
    const std::string* protocolText = protocol != nullptr ? protocol->string() : nullptr;
    if (protocolText != nullptr && (*protocolText == "tcp" || *protocolText == "udp")) {
        for (const char* key : { ServiceFilterPort, ServiceFilterSourcePort }) {
            if (auto p = checkField(filter, key, Placement::RuleLine, where)) {
                return p;
            }
        }
    }
    for (const char* key : { ServiceFilterIPOptions, ServiceFilterTCPFlags, ServiceFilterICMPTypes }) {
        if (auto p = checkField(filter, key, Placement::RuleLine, where)) {
            return p;
        }
    }
    return std::nullopt;
}

bool usesThisComputer(const Value& interface)
{
    const Value* filters = interface.get(kFilterList);
    if (filters == nullptr || !filters->isArray()) {
        return false;
    }
    for (const Value& filter : *filters->array()) {
        if (filter.isDictionary() && (integerOf(filter, ServiceFilterSrcHostType) == kHostMyComputer ||
                                      integerOf(filter, ServiceFilterDstHostType) == kHostMyComputer)) {
            return true;
        }
    }
    return false;
}

// The fields of one interface that its block of rules uses; a switched-off interface has none.
std::optional<std::string> checkInterface(const Value& interface, const std::string& where)
{
    if (integerOf(interface, kEnableFirewall) <= 0) {
        return std::nullopt;
    }
    if (auto p = checkField(interface, kInterfaceName, Placement::RuleLine, where)) {
        return p;
    }
    if (integerOf(interface, kAddressType) != 0) {
        if (auto p = checkField(interface, kIpAddress, Placement::RuleLine, where)) {
            return p;
        }
    }
    if (integerOf(interface, kIpHostAddressType) == 1 && usesThisComputer(interface)) {
        if (auto p = checkField(interface, kIpHostAddress, Placement::RuleLine, where)) {
            return p;
        }
    }
    if (integerOf(interface, kAdvAllowDns) != 0 && integerOf(interface, kAdvDnsType) == 1) {
        if (auto p = checkField(interface, kAdvDnsAddress, Placement::RuleLine, where)) {
            return p;
        }
    }
    return checkEntries(interface, kFilterList, where, checkFilter);
}

// The natd configuration's fields: the shared interface's name, and the redirections of the
// external gateways (their address unless it is the default gateway).
std::optional<std::string> checkNatConfig(const Value& natConfig)
{
    if (auto p = checkFields(natConfig, kNatFields, kNatConfig)) {
        return p;
    }
    return checkEntries(natConfig, kGateways, kNatConfig, [](const Value& gateway, const std::string& where) {
        const Value* maps = gateway.get(kPortmapList);
        if (integerOf(gateway, kNatGatewayExternal) == 0 || maps == nullptr || !maps->isArray() ||
            maps->array()->empty()) {
            return std::optional<std::string>();
        }
        const Value* address = gateway.get(kNatGatewayIp);
        if (address == nullptr || address->string() == nullptr || *address->string() != kDefaultGatewayText) {
            if (auto p = checkField(gateway, kNatGatewayIp, Placement::RuleLine, where)) {
                return p;
            }
        }
        return checkEntries(gateway, kPortmapList, where, [](const Value& map, const std::string& at) {
            return checkFields(map, kPortMapFields, at);
        });
    });
}

// How many numbers an interface's block gives out before its two default rules: one per extra
// rule line and one per filter.
std::int64_t numberedRules(const Value& interface)
{
    std::int64_t count = 0;
    for (const char* key : { kAdvAllowBootp, kAdvAllowBroadcast, kDenySourceRoute, kAdvAllowNtp, kAdvAllowRendezvous,
                             kAdvAllowIcmp, kAdvAllowFtpData }) {
        count += integerOf(interface, key) != 0 ? 1 : 0;
    }
    if (integerOf(interface, kAdvAllowDns) != 0) {
        count += KWRunningOnJaguar ? 1 : 2;
    }
    const Value* filters = interface.get(kFilterList);
    if (filters != nullptr && filters->isArray()) {
        count += static_cast<std::int64_t>(filters->array()->size());
    }
    return count;
}

} // namespace

std::optional<std::string> findUnsafeRuleText(const Value& setting)
{
    // An expert setting's two files are its own texts, written as they are.
    if (!setting.isDictionary() || isExpert(setting)) {
        return std::nullopt;
    }
    if (auto problem = checkEntries(setting, kInterfaceList, "", checkInterface)) {
        return problem;
    }
    const Value* natConfig = setting.get(kNatConfig);
    if (natConfig == nullptr || !natConfig->isDictionary()) {
        return std::nullopt;
    }
    return checkNatConfig(*natConfig);
}

std::optional<std::string> findRuleNumberOverflow(const Value& setting)
{
    if (!setting.isDictionary() || isExpert(setting)) {
        return std::nullopt;
    }
    const Value* list = setting.get(kInterfaceList);
    if (list == nullptr || !list->isArray()) {
        return std::nullopt;
    }
    const auto& interfaces = *list->array();
    for (size_t i = 0; i < interfaces.size(); ++i) {
        const Value& interface = interfaces[i];
        if (!interface.isDictionary() || integerOf(interface, kEnableFirewall) <= 0) {
            continue;
        }
        const std::int64_t first = kFirstBlockNumber + kBlockSize * static_cast<std::int64_t>(i);
        const std::int64_t last = first + numberedRules(interface) + kDefaultRuleOffset + 1;
        if (last > kHighestRuleNumber) {
            return entryLocation(kInterfaceList, i) + ": its rules would be numbered up to " + std::to_string(last) +
                   ", past " + std::to_string(kHighestRuleNumber) +
                   ", the highest rule number ipfw takes (each interface's block starts 1,000 numbers after the "
                   "previous one)";
        }
    }
    return std::nullopt;
}

} // namespace kw

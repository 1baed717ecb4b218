#include "rules/ConfigurationText.h"

#include "base/Release.h"
#include "config/SettingsKeys.h"
#include "rules/FilterRules.h"
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

const char* unsafeReason(std::string_view text, Placement placement)
{
    // Most fields are short and clean: one quick pass before the reasons are told apart.
    bool suspect = false;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        suspect = suspect || u < 0x20 || u == 0x7f || c == '#';
    }
    if (!suspect) {
        return nullptr;
    }
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

// An unsafe field: where it sits (outermost first, may be empty) and what is wrong with it.
// The place is put together only when a problem is found, so clean settings cost no text.
struct Problem {
    std::string location;
    std::string what;

    Problem within(const std::string& outer) &&
    {
        location = location.empty() ? outer : outer + ", " + location;
        return std::move(*this);
    }
    std::string message() const { return location.empty() ? what : location + ": " + what; }
};

// A field's value: absent, a number (always safe) or a wrong kind the generators refuse pass.
std::optional<Problem> checkText(const Value* value, const char* key, Placement placement)
{
    const std::string* text = value != nullptr ? value->string() : nullptr;
    if (text == nullptr) {
        return std::nullopt;
    }
    if (const char* reason = unsafeReason(*text, placement)) {
        return Problem { {}, std::string(key) + " " + reason };
    }
    return std::nullopt;
}

std::optional<Problem> checkField(const Value& dict, const char* key, Placement placement)
{
    return checkText(dict.get(key), key, placement);
}

// Calls check(entry) for each dictionary entry of dict's list under listKey.
template <typename Check> std::optional<Problem> checkEntries(const Value& dict, const char* listKey, Check check)
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
        if (auto problem = check(entry)) {
            return std::move(*problem).within(entryLocation(listKey, i));
        }
    }
    return std::nullopt;
}

std::string ruleText(const Value& setting, std::optional<std::string>* unsafe);

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
    return ruleText(setting, nullptr);
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
std::optional<Problem> checkFilter(const FilterFields& f)
{
    if (auto p = checkText(f.label, ServiceFilterLabel, Placement::CommentLine)) {
        return p;
    }
    const std::string* label = f.label != nullptr ? f.label->string() : nullptr;
    if (label != nullptr && *label == kCustomServiceLabel) {
        if (auto p = checkText(f.customLabel, ServiceFilterCustomLabel, Placement::CommentLine)) {
            return p;
        }
    }
    if (auto p = checkText(f.action, ServiceFilterAction, Placement::RuleLine)) {
        return p;
    }
    if (auto p = checkText(f.protocol, ServiceFilterProtocol, Placement::RuleLine)) {
        return p;
    }
    // An end of type My Computer is written as this computer's address instead of its text.
    if (integerValueOf(f.srcHostType) != kHostMyComputer) {
        if (auto p = checkText(f.srcHost, ServiceFilterSrcHost, Placement::RuleLine)) {
            return p;
        }
    }
    if (integerValueOf(f.dstHostType) != kHostMyComputer) {
        if (auto p = checkText(f.dstHost, ServiceFilterDstHost, Placement::RuleLine)) {
            return p;
        }
    }
    const std::string* protocol = f.protocol != nullptr ? f.protocol->string() : nullptr;
    if (protocol != nullptr && (*protocol == "tcp" || *protocol == "udp")) {
        if (auto p = checkText(f.port, ServiceFilterPort, Placement::RuleLine)) {
            return p;
        }
        if (auto p = checkText(f.sourcePort, ServiceFilterSourcePort, Placement::RuleLine)) {
            return p;
        }
    }
    if (auto p = checkText(f.ipOptions, ServiceFilterIPOptions, Placement::RuleLine)) {
        return p;
    }
    if (auto p = checkText(f.tcpFlags, ServiceFilterTCPFlags, Placement::RuleLine)) {
        return p;
    }
    return checkText(f.icmpTypes, ServiceFilterICMPTypes, Placement::RuleLine);
}

// Whether a text of the dictionary holds a character that some field could not carry.
bool holdsSuspectText(const Value& dict)
{
    for (const auto& [key, value] : *dict.dictionary()) {
        const std::string* text = value.string();
        if (text == nullptr) {
            continue;
        }
        for (const char c : *text) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7f || c == '#') {
                return true;
            }
        }
    }
    return false;
}

// Whether a filter has a My Computer end, which is written as this computer's address.
bool usesThisComputer(const Value::Array* filters)
{
    for (size_t i = 0; filters != nullptr && i < filters->size(); ++i) {
        if ((*filters)[i].isDictionary()) {
            const FilterFields f = FilterFields::read((*filters)[i]);
            if (integerValueOf(f.srcHostType) == kHostMyComputer || integerValueOf(f.dstHostType) == kHostMyComputer) {
                return true;
            }
        }
    }
    return false;
}

// The fields of one interface that its block of rules uses; a switched-off interface has none.
std::optional<Problem> checkInterface(const Value& interface)
{
    if (integerOf(interface, kEnableFirewall) <= 0) {
        return std::nullopt;
    }
    if (auto p = checkField(interface, kInterfaceName, Placement::RuleLine)) {
        return p;
    }
    if (integerOf(interface, kAddressType) != 0) {
        if (auto p = checkField(interface, kIpAddress, Placement::RuleLine)) {
            return p;
        }
    }
    if (integerOf(interface, kAdvAllowDns) != 0 && integerOf(interface, kAdvDnsType) == 1) {
        if (auto p = checkField(interface, kAdvDnsAddress, Placement::RuleLine)) {
            return p;
        }
    }
    const Value* filters = interface.get(kFilterList);
    const Value::Array* entries = filters != nullptr ? filters->array() : nullptr;
    for (size_t i = 0; entries != nullptr && i < entries->size(); ++i) {
        const Value& filter = (*entries)[i];
        // Settings hold thousands of filters, nearly all of them clean: only a filter with a
        // suspect character anywhere in its text is looked at field by field.
        if (!filter.isDictionary() || !holdsSuspectText(filter)) {
            continue;
        }
        if (auto p = checkFilter(FilterFields::read(filter))) {
            return std::move(*p).within(entryLocation(kFilterList, i));
        }
    }
    if (integerOf(interface, kIpHostAddressType) == 1) {
        auto p = checkField(interface, kIpHostAddress, Placement::RuleLine);
        if (p && usesThisComputer(entries)) {
            return p;
        }
    }
    return std::nullopt;
}

// The natd configuration's fields: the shared interface's name, and the redirections of the
// external gateways (their address unless it is the default gateway).
std::optional<Problem> checkNatConfig(const Value& natConfig)
{
    if (auto p = checkField(natConfig, kNatdInterfaceName, Placement::RuleLine)) {
        return p;
    }
    return checkEntries(natConfig, kGateways, [](const Value& gateway) -> std::optional<Problem> {
        const Value* maps = gateway.get(kPortmapList);
        if (integerOf(gateway, kNatGatewayExternal) == 0 || maps == nullptr || !maps->isArray() ||
            maps->array()->empty()) {
            return std::nullopt;
        }
        const Value* address = gateway.get(kNatGatewayIp);
        if (address == nullptr || address->string() == nullptr || *address->string() != kDefaultGatewayText) {
            if (auto p = checkText(address, kNatGatewayIp, Placement::RuleLine)) {
                return p;
            }
        }
        return checkEntries(gateway, kPortmapList, [](const Value& map) -> std::optional<Problem> {
            if (auto p = checkField(map, kPortmapProtocol, Placement::RuleLine)) {
                return p;
            }
            return checkField(map, kPortmapIp, Placement::RuleLine);
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

// The rule text; with unsafe given, each interface is first checked as findUnsafeRuleText checks
// it, and the first problem found ends the text (which is then empty).
std::string ruleText(const Value& setting, std::optional<std::string>* unsafe)
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
            const Value& interface = (*interfaces)[i];
            if (unsafe != nullptr && interface.isDictionary()) {
                if (auto problem = checkInterface(interface)) {
                    *unsafe = std::move(*problem).within(entryLocation(kInterfaceList, i)).message();
                    return {};
                }
            }
            try {
                IPFWInterface::appendFirewallRules(interface, text, first);
            } catch (const SettingTypeError& e) {
                throw e.within(entryLocation(kInterfaceList, i));
            }
        }
    }
    if (unsafe != nullptr) {
        const Value* natConfig = s.get(kNatConfig);
        if (natConfig != nullptr && natConfig->isDictionary()) {
            if (auto problem = checkNatConfig(*natConfig)) {
                *unsafe = std::move(*problem).within(kNatConfig).message();
                return {};
            }
        }
    }
    return text;
}

} // namespace

CheckedRuleText checkedIpfwTextForSetting(const Value& setting)
{
    CheckedRuleText checked;
    checked.text = ruleText(setting, &checked.unsafe);
    return checked;
}

std::optional<std::string> findUnsafeRuleText(const Value& setting)
{
    // An expert setting's two files are its own texts, written as they are.
    if (!setting.isDictionary() || isExpert(setting)) {
        return std::nullopt;
    }
    if (auto problem = checkEntries(setting, kInterfaceList, checkInterface)) {
        return problem->message();
    }
    const Value* natConfig = setting.get(kNatConfig);
    if (natConfig == nullptr || !natConfig->isDictionary()) {
        return std::nullopt;
    }
    if (auto problem = checkNatConfig(*natConfig)) {
        return std::move(*problem).within(kNatConfig).message();
    }
    return std::nullopt;
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

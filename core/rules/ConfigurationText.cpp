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

constexpr CheckedField kInterfaceFields[] = {
    { kInterfaceName, Placement::RuleLine },
    { kIpAddress, Placement::RuleLine },
    { kIpHostAddress, Placement::RuleLine },
    { kAdvDnsAddress, Placement::RuleLine },
};

constexpr CheckedField kFilterFields[] = {
    { ServiceFilterLabel, Placement::CommentLine },    { ServiceFilterCustomLabel, Placement::CommentLine },
    { ServiceFilterOrderNumber, Placement::RuleLine }, { ServiceFilterAction, Placement::RuleLine },
    { ServiceFilterProtocol, Placement::RuleLine },    { ServiceFilterPort, Placement::RuleLine },
    { ServiceFilterSourcePort, Placement::RuleLine },  { ServiceFilterSrcHost, Placement::RuleLine },
    { ServiceFilterDstHost, Placement::RuleLine },     { ServiceFilterIPOptions, Placement::RuleLine },
    { ServiceFilterTCPFlags, Placement::RuleLine },    { ServiceFilterICMPTypes, Placement::RuleLine },
};

constexpr CheckedField kNatFields[] = { { kNatdInterfaceName, Placement::RuleLine } };
constexpr CheckedField kGatewayFields[] = { { kNatGatewayIp, Placement::RuleLine },
                                            { kNatInterface, Placement::RuleLine } };
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

std::optional<std::string> findUnsafeRuleText(const Value& setting)
{
    if (!setting.isDictionary()) {
        return std::nullopt;
    }
    if (!isExpert(setting)) {
        auto problem = checkEntries(setting, kInterfaceList, "", [](const Value& interface, const std::string& where) {
            if (auto p = checkFields(interface, kInterfaceFields, where)) {
                return p;
            }
            return checkEntries(interface, kFilterList, where, [](const Value& filter, const std::string& at) {
                return checkFields(filter, kFilterFields, at);
            });
        });
        if (problem) {
            return problem;
        }
    }
    const Value* natConfig = setting.get(kNatConfig);
    if (natConfig == nullptr || !natConfig->isDictionary()) {
        return std::nullopt;
    }
    if (auto problem = checkFields(*natConfig, kNatFields, kNatConfig)) {
        return problem;
    }
    return checkEntries(*natConfig, kGateways, kNatConfig, [](const Value& gateway, const std::string& where) {
        if (auto p = checkFields(gateway, kGatewayFields, where)) {
            return p;
        }
        return checkEntries(gateway, kPortmapList, where, [](const Value& map, const std::string& at) {
            return checkFields(map, kPortMapFields, at);
        });
    });
}

} // namespace kw

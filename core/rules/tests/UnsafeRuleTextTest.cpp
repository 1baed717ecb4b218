#include "rules/ConfigurationText.h"

#include "RuleTestSupport.h"
#include "config/SettingsKeys.h"
#include "rules/ServiceFilter.h"
#include "rules/SettingTypeError.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace kw;
using namespace kw::keys;
using namespace kw::test;

namespace {

Value filter()
{
    return dict({ { ServiceFilterLabel, "Custom Service" },
                  { ServiceFilterCustomLabel, "Lab # 3" },
                  { ServiceFilterAction, "allow" },
                  { ServiceFilterProtocol, "tcp" },
                  { ServiceFilterPort, "22,80" },
                  { ServiceFilterSourcePort, "1024-65535" },
                  { ServiceFilterSrcHostType, num(kHostTyped) },
                  { ServiceFilterSrcHost, "192.168.0.0/16" },
                  { ServiceFilterDstHostType, num(kHostMyComputer) },
                  { ServiceFilterDstHost, "any" },
                  { ServiceFilterIPOptions, "!ssrr" },
                  { ServiceFilterTCPFlags, "syn,!ack" },
                  { ServiceFilterICMPTypes, "0,8" },
                  { ServiceFilterOrderNumber, num(1010) } });
}

Value interface()
{
    return dict({ { kInterfaceName, "en0" },
                  { kInterfaceLabel, "Ethernet\t(built in)" },
                  { kEnableFirewall, num(1) },
                  { kAddressType, num(1) },
                  { kIpAddress, "10.0.0.2" },
                  { kIpHostAddressType, num(1) },
                  { kIpHostAddress, "10.0.0.2" },
                  { kAdvDnsType, num(1) },
                  { kAdvDnsAddress, "10.0.0.53" },
                  { kFilterList, list({ filter(), filter() }) } });
}

Value natConfig()
{
    const Value map = dict({ { kPortmapProtocol, "tcp" },
                             { kPortmapIp, "192.168.1.10" },
                             { kPortmapPort, num(80) },
                             { kPortmapInPort, num(8080) },
                             { kPortmapLabel, "Web\n(any text is fine here)" } });
    return dict({ { kNatdInterfaceName, "en0" },
                  { kGateways, list({ dict({ { kNatGatewayIp, "Default Gateway" },
                                             { kNatInterface, "en0" },
                                             { kNatGatewayExternal, num(1) },
                                             { kPortmapList, list({ map, map }) } }) }) } });
}

Value setting()
{
    return dict({ { kSettingName, "Name\nwith a line break is not written" },
                  { kConfigMode, "0" },
                  { kExpertConfigText, "add 1 allow ip from any to any\n# comment\n" },
                  { kInterfaceList, list({ interface(), interface() }) },
                  { kNatConfig, natConfig() } });
}

// Puts text at a path of (key, index) steps; index -1 means "the dictionary itself".
Value withTextAt(Value base, std::initializer_list<std::pair<const char*, int>> path, const char* key, std::string text)
{
    Value* at = &base;
    for (const auto& [listKey, index] : path) {
        at = at->get(listKey);
        if (index >= 0) {
            at = &(*at->array())[static_cast<size_t>(index)];
        }
    }
    at->set(key, Value(std::move(text)));
    return base;
}

TEST(FindUnsafeRuleText, CleanSettingsPass)
{
    EXPECT_EQ(findUnsafeRuleText(setting()), std::nullopt);
    EXPECT_EQ(findUnsafeRuleText(Value()), std::nullopt);
    EXPECT_EQ(findUnsafeRuleText(dict({})), std::nullopt);
    EXPECT_EQ(findUnsafeRuleText(Value("not a setting")), std::nullopt);
    // Wrong kinds are the generators' to refuse.
    EXPECT_EQ(findUnsafeRuleText(with(setting(), kInterfaceList, "x")), std::nullopt);
}

TEST(FindUnsafeRuleText, NamesTheFieldAndItsPlace)
{
    struct Row {
        std::initializer_list<std::pair<const char*, int>> path;
        const char* key;
        std::string text;
        const char* message; // nullptr: accepted
    };
    const Row rows[] = {
        { { { kInterfaceList, 1 } },
          kInterfaceName,
          "en0\nadd 1 allow ip from any to any",
          "INTERFACE_LIST entry 2: INTERFACE_NAME contains a line break" },
        { { { kInterfaceList, 0 } },
          kIpAddress,
          "10.0.0.2\r",
          "INTERFACE_LIST entry 1: IP_ADDRESS contains a line break" },
        { { { kInterfaceList, 0 } },
          kIpHostAddress,
          std::string("10.0.0.2\0x", 10),
          "INTERFACE_LIST entry 1: IP_HOST_ADDRESS contains a NUL character" },
        // DNS is not switched on in this setting: its address is written nowhere.
        { { { kInterfaceList, 0 } }, kAdvDnsAddress, "10.0.0.53\x1b[2J", nullptr },
        { { { kInterfaceList, 0 } },
          kInterfaceName,
          "en0 # rest cut",
          "INTERFACE_LIST entry 1: INTERFACE_NAME contains \"#\", which would cut its line short" },
        { { { kInterfaceList, 0 } }, kInterfaceLabel, "not\nwritten", nullptr },
        { { { kInterfaceList, 0 }, { kFilterList, 1 } },
          ServiceFilterSrcHost,
          "any\nflush",
          "INTERFACE_LIST entry 1, FILTER_LIST entry 2: ServiceFilterSrcHost contains a line break" },
        { { { kInterfaceList, 1 }, { kFilterList, 0 } },
          ServiceFilterPort,
          "22\n",
          "INTERFACE_LIST entry 2, FILTER_LIST entry 1: ServiceFilterPort contains a line break" },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } },
          ServiceFilterCustomLabel,
          "x\nadd 1 allow ip from any to any",
          "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterCustomLabel contains a line break" },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } },
          ServiceFilterLabel,
          "SSH\n",
          "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterLabel contains a line break" },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } },
          ServiceFilterLabel,
          "SSH # comments may hold hashes",
          nullptr },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } }, ServiceFilterLabel, "tab\tis fine", nullptr },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } },
          ServiceFilterSrcHost,
          "any#",
          "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterSrcHost contains \"#\", which would cut its line "
          "short" },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } },
          ServiceFilterAction,
          "allow\x7f",
          "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterAction contains a control character" },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } },
          ServiceFilterProtocol,
          "tcp\v",
          "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterProtocol contains a control character" },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } },
          ServiceFilterSourcePort,
          "\n",
          "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterSourcePort contains a line break" },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } },
          ServiceFilterIPOptions,
          "ssrr\n",
          "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterIPOptions contains a line break" },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } },
          ServiceFilterTCPFlags,
          "syn\n",
          "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterTCPFlags contains a line break" },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } },
          ServiceFilterICMPTypes,
          "8\n",
          "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterICMPTypes contains a line break" },
        // Generation numbers the rules itself; the stored order number is not written.
        { { { kInterfaceList, 0 }, { kFilterList, 0 } }, ServiceFilterOrderNumber, "1\n", nullptr },
        { { { kInterfaceList, 0 }, { kFilterList, 0 } }, ServiceFilterSrcHost, "10.0.0.1 to any via lo0", nullptr },
        { { { kNatConfig, -1 } },
          kNatdInterfaceName,
          "en0\nredirect_port tcp 10.0.0.9:22 22",
          "NAT_CONFIG: NATD_INTERFACENAME contains a line break" },
        { { { kNatConfig, -1 }, { kGateways, 0 } },
          kNatGatewayIp,
          "Default Gateway\n",
          "NAT_CONFIG, GATEWAYS entry 1: NAT_GATEWAY_IP contains a line break" },
        // The gateway's interface is no part of the rule file or of the natd configuration.
        { { { kNatConfig, -1 }, { kGateways, 0 } }, kNatInterface, "en0;reboot\n", nullptr },
        { { { kNatConfig, -1 }, { kGateways, 0 }, { kPortmapList, 1 } },
          kPortmapIp,
          "10.0.0.9\n",
          "NAT_CONFIG, GATEWAYS entry 1, PORTMAP_LIST entry 2: PORTMAP_IP contains a line break" },
        { { { kNatConfig, -1 }, { kGateways, 0 }, { kPortmapList, 0 } },
          kPortmapProtocol,
          std::string("tcp\0", 4),
          "NAT_CONFIG, GATEWAYS entry 1, PORTMAP_LIST entry 1: PORTMAP_PROTOCOL contains a NUL character" },
        { { { kNatConfig, -1 }, { kGateways, 0 }, { kPortmapList, 0 } }, kPortmapLabel, "Web\n", nullptr },
    };
    for (const Row& r : rows) {
        const auto found = findUnsafeRuleText(withTextAt(setting(), r.path, r.key, r.text));
        if (r.message == nullptr) {
            EXPECT_EQ(found, std::nullopt) << r.key << ": " << found.value_or("");
        } else {
            EXPECT_EQ(found, std::optional<std::string>(r.message)) << r.key;
        }
    }
}

TEST(FindUnsafeRuleText, ExpertSettingsSkipTheirUnusedInterfacesAndSharingFields)
{
    // An expert setting's rule file and natd configuration are its two texts, written as they are.
    const Value expert =
        with(withTextAt(setting(), { { kInterfaceList, 0 } }, kInterfaceName, "en0\nflush"), kConfigMode, num(2));
    EXPECT_EQ(findUnsafeRuleText(expert), std::nullopt);
    EXPECT_EQ(findUnsafeRuleText(with(expert, kConfigMode, "0")),
              std::optional<std::string>("INTERFACE_LIST entry 1: INTERFACE_NAME contains a line break"));
    const Value sharing = withTextAt(expert, { { kNatConfig, -1 } }, kNatdInterfaceName, "en0\n");
    EXPECT_EQ(findUnsafeRuleText(sharing), std::nullopt);
    EXPECT_EQ(findUnsafeRuleText(
                  with(withTextAt(setting(), { { kNatConfig, -1 } }, kNatdInterfaceName, "en0\n"), kConfigMode, "0")),
              std::optional<std::string>("NAT_CONFIG: NATD_INTERFACENAME contains a line break"));
}

TEST(FindUnsafeRuleText, OnlyFieldsTheGeneratorsWriteCount)
{
    struct Row {
        const char* what;
        Value setting;
        const char* message; // nullptr: accepted
    };
    const Value disabled =
        withTextAt(with(setting(), kInterfaceList, list({ with(interface(), kEnableFirewall, num(0)), interface() })),
                   { { kInterfaceList, 0 } }, kInterfaceName, "en0\nflush");
    const Value dnsOn = with(setting(), kInterfaceList, list({ with(interface(), kAdvAllowDns, num(1)) }));
    const Value icmp =
        withTextAt(setting(), { { kInterfaceList, 0 }, { kFilterList, 0 } }, ServiceFilterProtocol, "icmp");
    const Value namedService =
        withTextAt(setting(), { { kInterfaceList, 0 }, { kFilterList, 0 } }, ServiceFilterLabel, "SSH");
    const Value typedHosts = withTextAt(
        withTextAt(setting(), { { kInterfaceList, 0 }, { kFilterList, 0 } }, ServiceFilterDstHost, "any\nflush"),
        { { kInterfaceList, 0 }, { kFilterList, 0 } }, ServiceFilterDstHostType, "2");
    Value internal = natConfig();
    (*internal.get(kGateways)->array())[0].set(kNatGatewayExternal, num(0));
    const Row rows[] = {
        { "disabled interface", disabled, nullptr },
        { "disabled interface switched on", withTextAt(disabled, { { kInterfaceList, 0 } }, kEnableFirewall, "1"),
          "INTERFACE_LIST entry 1: INTERFACE_NAME contains a line break" },
        { "DNS address with DNS on", withTextAt(dnsOn, { { kInterfaceList, 0 } }, kAdvDnsAddress, "10.0.0.53\n"),
          "INTERFACE_LIST entry 1: ADV_DNS_ADDRESS contains a line break" },
        { "ports of an ICMP filter",
          withTextAt(icmp, { { kInterfaceList, 0 }, { kFilterList, 0 } }, ServiceFilterPort, "22\nflush"), nullptr },
        { "custom label of a named service",
          withTextAt(namedService, { { kInterfaceList, 0 }, { kFilterList, 0 } }, ServiceFilterCustomLabel, "x\n"),
          nullptr },
        { "host text replaced by this computer's address",
          withTextAt(setting(), { { kInterfaceList, 0 }, { kFilterList, 0 } }, ServiceFilterDstHost, "any\nflush"),
          nullptr },
        { "host text of a typed host", typedHosts,
          "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterDstHost contains a line break" },
        { "port map of an internal gateway",
          withTextAt(with(setting(), kNatConfig, internal),
                     { { kNatConfig, -1 }, { kGateways, 0 }, { kPortmapList, 0 } }, kPortmapIp, "10.0.0.9\n"),
          nullptr },
    };
    for (const Row& r : rows) {
        const auto found = findUnsafeRuleText(r.setting);
        if (r.message == nullptr) {
            EXPECT_EQ(found, std::nullopt) << r.what << ": " << found.value_or("");
        } else {
            EXPECT_EQ(found, std::optional<std::string>(r.message)) << r.what;
        }
    }
}

TEST(FindUnsafeRuleText, CleanInputStillGeneratesByteForByte)
{
    // The check and the generators agree: what passes generates without raising.
    ReleaseScope release(kRelease104);
    ASSERT_EQ(findUnsafeRuleText(setting()), std::nullopt);
    const std::string text = ipfwTextForSetting(setting());
    EXPECT_NE(text.find("add 2000 allow tcp from 192.168.0.0/16 1024-65535 to 10.0.0.2 22,80 setup keep-state in via "
                        "en0 ipoptions !ssrr tcpflags syn,!ack icmptype 0,8\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("## Lab # 3\n"), std::string::npos);
}

// Random settings built from plausible and hostile field values. Whenever the check passes,
// the generated files hold only the lines the generators mean to write: every rule line
// starts "add <number> " and holds no "#", every other line is empty or a comment, the natd
// lines start with their option word, and no control character gets through. Values of
// the wrong kind may raise SettingTypeError instead.
class RandomSetting {
public:
    explicit RandomSetting(unsigned seed)
        : m_random(seed)
    {}

    Value make()
    {
        Value s = dict({ { kConfigMode, pick({ Value(), num(0), Value("0") }) } });
        Value::Array interfaces;
        for (int i = pickIndex(4); i > 0; --i) {
            Value interface = dict({});
            maybeSet(interface, kInterfaceName, text());
            maybeSet(interface, kEnableFirewall, pick({ num(1), Value("1"), num(0) }));
            maybeSet(interface, kAddressType, number());
            maybeSet(interface, kIpAddress, text());
            maybeSet(interface, kIpHostAddressType, number());
            maybeSet(interface, kIpHostAddress, text());
            maybeSet(interface, kAdvDnsType, number());
            maybeSet(interface, kAdvDnsAddress, text());
            for (const char* key :
                 { kAdvAllowBootp, kAdvAllowDns, kAdvAllowNtp, kDefaultOutgoingAllow, kDefaultIncomingAllow }) {
                maybeSet(interface, key, number());
            }
            Value::Array filters;
            for (int f = pickIndex(4); f > 0; --f) {
                Value filter = dict({});
                for (const char* key : { ServiceFilterLabel, ServiceFilterCustomLabel, ServiceFilterAction,
                                         ServiceFilterProtocol, ServiceFilterPort, ServiceFilterSourcePort,
                                         ServiceFilterSrcHost, ServiceFilterDstHost, ServiceFilterIPOptions,
                                         ServiceFilterTCPFlags, ServiceFilterICMPTypes, ServiceFilterOrderNumber }) {
                    maybeSet(filter, key, text());
                }
                for (const char* key : { ServiceFilterSrcHostType, ServiceFilterDstHostType, ServiceFilterShouldLog }) {
                    maybeSet(filter, key, number());
                }
                filters.push_back(filter);
            }
            interface.set(kFilterList, Value(filters));
            interfaces.push_back(interface);
        }
        s.set(kInterfaceList, Value(interfaces));

        Value map = dict({});
        maybeSet(map, kPortmapProtocol, text());
        maybeSet(map, kPortmapIp, text());
        maybeSet(map, kPortmapPort, number());
        maybeSet(map, kPortmapInPort, number());
        Value gateway = dict({ { kNatGatewayExternal, pick({ num(1), num(0) }) }, { kPortmapList, list({ map }) } });
        maybeSet(gateway, kNatGatewayIp, pick({ Value("Default Gateway"), text() }));
        Value nat = dict({ { kGateways, list({ gateway }) } });
        maybeSet(nat, kNatdInterfaceName, text());
        maybeSet(nat, kNatdInterface, number());
        maybeSet(nat, kNatDynAddress, number());
        s.set(kNatConfig, nat);
        return s;
    }

private:
    int pickIndex(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }
    Value pick(std::initializer_list<Value> values)
    {
        return *(values.begin() + pickIndex(static_cast<int>(values.size())));
    }
    Value number() { return pick({ num(0), num(1), num(2), Value("1"), num(-1) }); }
    Value text()
    {
        // Mostly plausible texts, so that many settings pass and get generated.
        if (pickIndex(15) != 0) {
            return pick({ Value(""), Value("any"), Value("en0"), Value("10.0.0.1"), Value("22,80"), Value("tcp"),
                          Value("udp"), Value("allow"), Value("deny"), Value("Custom Service"), Value("a b"),
                          Value("tab\there") });
        }
        return pick({ Value("x\ny"), Value("x\r\nflush"), Value("#"), Value("any # cut"), Value("\x01"),
                      Value(std::string("nul\0after", 9)), Value("\x7f"), num(7), list({}), dict({}) });
    }
    void maybeSet(Value& d, const char* key, Value value)
    {
        if (pickIndex(4) != 0) {
            d.set(key, std::move(value));
        }
    }

    std::mt19937 m_random;
};

bool hasControl(const std::string& text)
{
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c != '\n' && c != '\t' && (u < 0x20 || u == 0x7f)) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

bool isRuleLineStart(const std::string& line)
{
    if (line.rfind("add ", 0) != 0) {
        return false;
    }
    size_t i = 4;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
        ++i;
    }
    return i > 4 && i < line.size() && line[i] == ' ';
}

TEST(FindUnsafeRuleText, RandomSettingsThatPassCannotSmuggleLines)
{
    int checkedClean = 0, refused = 0, raised = 0;
    for (const double release : { kRelease101, kRelease104 }) {
        ReleaseScope scope(release);
        RandomSetting random(release == kRelease101 ? 101u : 104u);
        for (int n = 0; n < 1500; ++n) {
            const Value setting = random.make();
            if (findUnsafeRuleText(setting)) {
                ++refused;
                continue;
            }
            std::string rules, natd;
            try {
                rules = ipfwTextForSetting(setting);
                natd = natdTextForSetting(setting);
            } catch (const SettingTypeError&) {
                ++raised;
                continue;
            }
            ++checkedClean;
            const std::string form = valueToTextForm(setting);
            ASSERT_FALSE(hasControl(rules)) << form;
            ASSERT_FALSE(hasControl(natd)) << form;
            for (const std::string& line : lines(rules)) {
                if (line.empty() || line[0] == '#') {
                    continue;
                }
                ASSERT_TRUE(isRuleLineStart(line)) << line << "\n" << form;
                ASSERT_EQ(line.find('#'), std::string::npos) << line << "\n" << form;
            }
            for (const std::string& line : lines(natd)) {
                const bool known = line.rfind("interface ", 0) == 0 || line == "dynamic yes" ||
                                   line == "use_sockets yes" || line == "same_ports yes" ||
                                   line.rfind("redirect_port ", 0) == 0;
                ASSERT_TRUE(known) << line << "\n" << form;
                ASSERT_EQ(line.find('#'), std::string::npos) << line << "\n" << form;
            }
        }
    }
    // Each outcome must have happened, or the generator of settings is too tame.
    EXPECT_GT(checkedClean, 500) << refused << " refused, " << raised << " raised";
    EXPECT_GT(refused, 500) << checkedClean << " clean, " << raised << " raised";
    EXPECT_GT(raised, 30) << checkedClean << " clean, " << refused << " refused";
}

} // namespace

TEST(FindUnsafeRuleText, TheOnePassFormAgreesWithTheCheckAndTheGenerator)
{
    ReleaseScope release(kRelease104);
    const Value settings[] = {
        setting(),
        withTextAt(setting(), { { kInterfaceList, 1 } }, kInterfaceName, "en0\nflush"),
        withTextAt(setting(), { { kInterfaceList, 0 }, { kFilterList, 1 } }, ServiceFilterSrcHost, "any\n"),
        withTextAt(setting(), { { kNatConfig, -1 } }, kNatdInterfaceName, "en0\n"),
        with(withTextAt(setting(), { { kNatConfig, -1 } }, kNatdInterfaceName, "en0\n"), kConfigMode, num(2)),
        Value(),
    };
    for (const Value& s : settings) {
        const CheckedRuleText checked = checkedIpfwTextForSetting(s);
        EXPECT_EQ(checked.unsafe, findUnsafeRuleText(s));
        EXPECT_EQ(checked.text, checked.unsafe ? std::string() : ipfwTextForSetting(s));
    }
}

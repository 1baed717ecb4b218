#include "rules/ConfigurationText.h"

#include "RuleTestSupport.h"
#include "rules/ServiceFilter.h"
#include "rules/SettingKeys.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace kw;
using namespace kw::keys;
using namespace kw::test;

namespace {

Value filter()
{
    return dict({{ServiceFilterLabel, "Custom Service"},
                 {ServiceFilterCustomLabel, "Lab # 3"},
                 {ServiceFilterAction, "allow"},
                 {ServiceFilterProtocol, "tcp"},
                 {ServiceFilterPort, "22,80"},
                 {ServiceFilterSourcePort, "1024-65535"},
                 {ServiceFilterSrcHostType, num(kHostTyped)},
                 {ServiceFilterSrcHost, "192.168.0.0/16"},
                 {ServiceFilterDstHostType, num(kHostMyComputer)},
                 {ServiceFilterDstHost, "any"},
                 {ServiceFilterIPOptions, "!ssrr"},
                 {ServiceFilterTCPFlags, "syn,!ack"},
                 {ServiceFilterICMPTypes, "0,8"},
                 {ServiceFilterOrderNumber, num(1010)}});
}

Value interface()
{
    return dict({{kInterfaceName, "en0"},
                 {kInterfaceLabel, "Ethernet\t(built in)"},
                 {kEnableFirewall, num(1)},
                 {kAddressType, num(1)},
                 {kIpAddress, "10.0.0.2"},
                 {kIpHostAddressType, num(1)},
                 {kIpHostAddress, "10.0.0.2"},
                 {kAdvDnsType, num(1)},
                 {kAdvDnsAddress, "10.0.0.53"},
                 {kFilterList, list({filter(), filter()})}});
}

Value natConfig()
{
    const Value map = dict({{kPortmapProtocol, "tcp"},
                            {kPortmapIp, "192.168.1.10"},
                            {kPortmapPort, num(80)},
                            {kPortmapInPort, num(8080)},
                            {kPortmapLabel, "Web\n(any text is fine here)"}});
    return dict({{kNatdInterfaceName, "en0"},
                 {kGateways, list({dict({{kNatGatewayIp, "Default Gateway"},
                                         {kNatInterface, "en0"},
                                         {kNatGatewayExternal, num(1)},
                                         {kPortmapList, list({map, map})}})})}});
}

Value setting()
{
    return dict({{kSettingName, "Name\nwith a line break is not written"},
                 {kConfigMode, "0"},
                 {kExpertConfigText, "add 1 allow ip from any to any\n# comment\n"},
                 {kInterfaceList, list({interface(), interface()})},
                 {kNatConfig, natConfig()}});
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
        {{{kInterfaceList, 1}}, kInterfaceName, "en0\nadd 1 allow ip from any to any",
         "INTERFACE_LIST entry 2: INTERFACE_NAME contains a line break"},
        {{{kInterfaceList, 0}}, kIpAddress, "10.0.0.2\r", "INTERFACE_LIST entry 1: IP_ADDRESS contains a line break"},
        {{{kInterfaceList, 0}}, kIpHostAddress, std::string("10.0.0.2\0x", 10),
         "INTERFACE_LIST entry 1: IP_HOST_ADDRESS contains a NUL character"},
        {{{kInterfaceList, 0}}, kAdvDnsAddress, "10.0.0.53\x1b[2J",
         "INTERFACE_LIST entry 1: ADV_DNS_ADDRESS contains a control character"},
        {{{kInterfaceList, 0}}, kInterfaceName, "en0 # rest cut",
         "INTERFACE_LIST entry 1: INTERFACE_NAME contains \"#\", which would cut its line short"},
        {{{kInterfaceList, 0}}, kInterfaceLabel, "not\nwritten", nullptr},
        {{{kInterfaceList, 0}, {kFilterList, 1}}, ServiceFilterSrcHost, "any\nflush",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 2: ServiceFilterSrcHost contains a line break"},
        {{{kInterfaceList, 1}, {kFilterList, 0}}, ServiceFilterPort, "22\n",
         "INTERFACE_LIST entry 2, FILTER_LIST entry 1: ServiceFilterPort contains a line break"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterCustomLabel, "x\nadd 1 allow ip from any to any",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterCustomLabel contains a line break"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterLabel, "SSH\n",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterLabel contains a line break"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterLabel, "SSH # comments may hold hashes", nullptr},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterLabel, "tab\tis fine", nullptr},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterDstHost, "any#",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterDstHost contains \"#\", which would cut its line "
         "short"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterAction, "allow\x7f",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterAction contains a control character"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterProtocol, "tcp\v",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterProtocol contains a control character"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterSourcePort, "\n",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterSourcePort contains a line break"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterIPOptions, "ssrr\n",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterIPOptions contains a line break"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterTCPFlags, "syn\n",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterTCPFlags contains a line break"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterICMPTypes, "8\n",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterICMPTypes contains a line break"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterOrderNumber, "1\n",
         "INTERFACE_LIST entry 1, FILTER_LIST entry 1: ServiceFilterOrderNumber contains a line break"},
        {{{kInterfaceList, 0}, {kFilterList, 0}}, ServiceFilterSrcHost, "10.0.0.1 to any via lo0", nullptr},
        {{{kNatConfig, -1}}, kNatdInterfaceName, "en0\nredirect_port tcp 10.0.0.9:22 22",
         "NAT_CONFIG: NATD_INTERFACENAME contains a line break"},
        {{{kNatConfig, -1}, {kGateways, 0}}, kNatGatewayIp, "Default Gateway\n",
         "NAT_CONFIG, GATEWAYS entry 1: NAT_GATEWAY_IP contains a line break"},
        {{{kNatConfig, -1}, {kGateways, 0}}, kNatInterface, "en0;reboot\n",
         "NAT_CONFIG, GATEWAYS entry 1: NAT_INTERFACE contains a line break"},
        {{{kNatConfig, -1}, {kGateways, 0}, {kPortmapList, 1}}, kPortmapIp, "10.0.0.9\n",
         "NAT_CONFIG, GATEWAYS entry 1, PORTMAP_LIST entry 2: PORTMAP_IP contains a line break"},
        {{{kNatConfig, -1}, {kGateways, 0}, {kPortmapList, 0}}, kPortmapProtocol, std::string("tcp\0", 4),
         "NAT_CONFIG, GATEWAYS entry 1, PORTMAP_LIST entry 1: PORTMAP_PROTOCOL contains a NUL character"},
        {{{kNatConfig, -1}, {kGateways, 0}, {kPortmapList, 0}}, kPortmapLabel, "Web\n", nullptr},
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

TEST(FindUnsafeRuleText, ExpertSettingsSkipTheirUnusedInterfacesButNotSharing)
{
    const Value expert = with(withTextAt(setting(), {{kInterfaceList, 0}}, kInterfaceName, "en0\nflush"), kConfigMode,
                              num(2));
    EXPECT_EQ(findUnsafeRuleText(expert), std::nullopt);
    EXPECT_EQ(findUnsafeRuleText(with(expert, kConfigMode, "0")),
              std::optional<std::string>("INTERFACE_LIST entry 1: INTERFACE_NAME contains a line break"));
    const Value sharing = withTextAt(expert, {{kNatConfig, -1}}, kNatdInterfaceName, "en0\n");
    EXPECT_EQ(findUnsafeRuleText(sharing), std::optional<std::string>("NAT_CONFIG: NATD_INTERFACENAME contains a line break"));
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

} // namespace

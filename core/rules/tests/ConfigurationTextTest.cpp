#include "rules/ConfigurationText.h"

#include "RuleTestSupport.h"
#include "config/SettingsKeys.h"
#include "rules/IPFWInterface.h"
#include "rules/ServiceFilter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using namespace kw;
using namespace kw::keys;
using namespace kw::test;

namespace {

Value workedExampleInterface()
{
    return dict({
        { kInterfaceName, "en0" },
        { kEnableFirewall, num(1) },
        { kAdvAllowBootp, num(1) },
        { kAdvAllowDns, num(1) },
        { kAdvDnsType, num(0) },
        { kIpHostAddressType, num(0) },
        { kDefaultOutgoingAllow, num(0) },
        { kDefaultIncomingAllow, num(1) },
        { kFilterList, list({ sshFilter() }) },
    });
}

// A second interface switched off and a third with every switch, own addresses and a mix
// of filters: allowed UDP to the world, a typed-host deny with options, a logged ICMP rule
// with a port that must not be written, a custom service and an unlabelled filter.
Value disabledInterface()
{
    return dict({ { kInterfaceName, "en1" }, { kEnableFirewall, num(0) }, { kAdvAllowBootp, num(1) } });
}

Value busyInterface()
{
    const Value udpOut = dict({ { ServiceFilterLabel, "Domain Name Server" },
                                { ServiceFilterAction, "allow" },
                                { ServiceFilterProtocol, "udp" },
                                { ServiceFilterPort, "53" },
                                { ServiceFilterSourcePort, "1024-65535" },
                                { ServiceFilterSrcHostType, num(kHostMyComputer) },
                                { ServiceFilterSrcHost, "any" },
                                { ServiceFilterDstHostType, num(kHostInternet) },
                                { ServiceFilterDstHost, "any" } });
    const Value typedDeny = dict({ { ServiceFilterLabel, "Custom Service" },
                                   { ServiceFilterCustomLabel, "Block lab" },
                                   { ServiceFilterAction, "deny" },
                                   { ServiceFilterProtocol, "tcp" },
                                   { ServiceFilterPort, "6000-6063" },
                                   { ServiceFilterSrcHostType, num(kHostTyped) },
                                   { ServiceFilterSrcHost, "192.168.7.0/24" },
                                   { ServiceFilterDstHostType, num(kHostTyped) },
                                   { ServiceFilterDstHost, "10.0.0.0/8" },
                                   { ServiceFilterTCPFlags, "syn" },
                                   { ServiceFilterShouldLog, num(1) } });
    const Value ping = dict({ { ServiceFilterLabel, "Ping" },
                              { ServiceFilterAction, "allow" },
                              { ServiceFilterProtocol, "icmp" },
                              { ServiceFilterPort, "80" },
                              { ServiceFilterSrcHostType, num(kHostInternet) },
                              { ServiceFilterSrcHost, "any" },
                              { ServiceFilterDstHostType, num(kHostMyComputer) },
                              { ServiceFilterICMPTypes, "8" },
                              { ServiceFilterIPOptions, "rr" } });
    const Value unlabelled = dict({ { ServiceFilterProtocol, "udp" },
                                    { ServiceFilterPort, "5060" },
                                    { ServiceFilterSrcHostType, num(kHostTyped) },
                                    { ServiceFilterSrcHost, "sip.example.net" },
                                    { ServiceFilterDstHostType, num(kHostMyComputer) } });
    Value interface = dict({
        { kInterfaceName, "ppp0" },
        { kEnableFirewall, num(1) },
        { kAddressType, num(1) },
        { kIpAddress, "10.0.0.2" },
        { kIpHostAddressType, num(1) },
        { kIpHostAddress, "10.0.0.2" },
        { kAdvDnsType, num(1) },
        { kAdvDnsAddress, "10.0.0.53" },
        { kDefaultOutgoingAllow, num(1) },
        { kDefaultIncomingAllow, num(2) },
        { kFilterList, list({ udpOut, typedDeny, ping, unlabelled }) },
    });
    for (const char* key : { kAdvAllowBootp, kAdvAllowBroadcast, kDenySourceRoute, kAdvAllowNtp, kAdvAllowRendezvous,
                             kAdvAllowIcmp, kAdvAllowFtpData, kAdvAllowDns }) {
        interface.set(key, num(1));
    }
    return interface;
}

Value quickSetting(Value::Array interfaces)
{
    return dict({ { kSettingName, "Office" },
                  { kConfigMode, "0" },
                  { kExpertConfigText, "add 1 deny ip from any to any\n" },
                  { kInterfaceList, Value(std::move(interfaces)) } });
}

TEST(AppendComment, FramesTheCommentWithSeparators)
{
    std::string text = "x";
    appendComment("Allow Loopback", text);
    EXPECT_EQ(text, "x\n#################################################\n# Allow Loopback\n"
                    "#################################################\n");
}

TEST(IpfwText, EmptyQuickSettingsGiveThePreamble)
{
    const Value settings[] = {
        Value(),
        dict({}),
        dict({ { kConfigMode, num(0) } }),
        quickSetting({}),
        dict({ { kConfigMode, "0" }, { kNatConfig, dict({}) } }),
    };
    for (const auto& [release, golden] :
         { std::pair { kRelease101, "preamble-10.1.txt" }, std::pair { kRelease102, "preamble-10.2.txt" },
           std::pair { kRelease104, "preamble-10.2.txt" } }) {
        ReleaseScope scope(release);
        for (const Value& setting : settings) {
            EXPECT_EQ(ipfwTextForSetting(setting), readGolden(golden)) << golden << " " << valueToTextForm(setting);
        }
    }
}

TEST(IpfwText, WorkedExampleFollowsThePreamble)
{
    for (const auto& [release, suffix] : { std::pair { kRelease101, "10.1" }, std::pair { kRelease104, "10.2" } }) {
        ReleaseScope scope(release);
        const std::string expected = readGolden(std::string("preamble-") + suffix + ".txt") +
                                     readGolden(std::string("interface-worked-example-") + suffix + ".txt");
        EXPECT_EQ(ipfwTextForSetting(quickSetting({ workedExampleInterface() })), expected) << suffix;
    }
}

TEST(IpfwText, ThreeInterfacesMatchGolden)
{
    for (const auto& [release, golden] : { std::pair { kRelease101, "setting-three-interfaces-10.1.txt" },
                                           std::pair { kRelease104, "setting-three-interfaces-10.2.txt" } }) {
        ReleaseScope scope(release);
        EXPECT_EQ(ipfwTextForSetting(quickSetting({ workedExampleInterface(), disabledInterface(), busyInterface() })),
                  readGolden(golden))
            << golden;
    }
}

TEST(IpfwText, BlocksStartEveryThousandEvenWhenOneIsEmpty)
{
    ReleaseScope scope(kRelease104);
    const Value setting = quickSetting({ workedExampleInterface(), disabledInterface(), workedExampleInterface() });
    std::string expected = ipfwTextForSetting(quickSetting({}));
    IPFWInterface::appendFirewallRules(workedExampleInterface(), expected, 2000);
    IPFWInterface::appendFirewallRules(workedExampleInterface(), expected, 4000);
    const std::string text = ipfwTextForSetting(setting);
    EXPECT_EQ(text, expected);
    EXPECT_NE(text.find("add 4000 allow udp from any 67-68"), std::string::npos);
    EXPECT_NE(text.find("add 54004 deny log all"), std::string::npos);
    EXPECT_EQ(text.find("add 3000"), std::string::npos);
}

TEST(IpfwText, ExpertSettingsGiveTheirTextUnchanged)
{
    const std::string expertText = "# mine\r\nadd 100 allow ip from any to any\n\nadd 200 deny log ip from any to any";
    struct Row {
        const char* what;
        Value mode;
        std::string text;
    };
    const Row rows[] = {
        { "mode text \"2\"", Value("2"), expertText },
        { "mode number 2", num(2), expertText },
        { "unknown mode 7 is expert", num(7), expertText },
        { "mode text \"-1\"", Value("-1"), expertText },
        { "empty expert text", Value("2"), "" },
    };
    for (const Row& r : rows) {
        ReleaseScope scope(kRelease104);
        const Value setting = with(with(quickSetting({ workedExampleInterface() }), kConfigMode, r.mode),
                                   kExpertConfigText, Value(r.text));
        EXPECT_EQ(ipfwTextForSetting(setting), r.text) << r.what;
    }
    const Value noText = without(with(quickSetting({}), kConfigMode, "2"), kExpertConfigText);
    EXPECT_EQ(ipfwTextForSetting(noText), "");
    // Mode text that does not start with a number reads as quick.
    ReleaseScope scope(kRelease104);
    EXPECT_EQ(ipfwTextForSetting(with(quickSetting({}), kConfigMode, "expert")), readGolden("preamble-10.2.txt"));
}

TEST(IpfwText, WrongKindsRaiseWithTheirPlace)
{
    struct Row {
        Value setting;
        const char* message;
    };
    Value badFilter = workedExampleInterface();
    badFilter.set(kFilterList, list({ sshFilter(), with(sshFilter(), ServiceFilterSrcHost, list({ "a", "b" })) }));
    const Row rows[] = {
        { quickSetting({ disabledInterface(), badFilter }),
          "INTERFACE_LIST entry 2, FILTER_LIST entry 2: ServiceFilterSrcHost holds an array where text is expected" },
        { quickSetting({ Value("en0") }),
          "INTERFACE_LIST entry 1: the interface holds text where a dictionary is expected" },
        { with(quickSetting({}), kInterfaceList, dict({})),
          "INTERFACE_LIST holds a dictionary where a list is expected" },
        { with(with(quickSetting({}), kConfigMode, "2"), kExpertConfigText, num(5)),
          "EXPERT_CONFIG_TEXT holds a number where text is expected" },
        { Value("Default"), "the setting holds text where a dictionary is expected" },
    };
    for (const Row& r : rows) {
        ReleaseScope scope(kRelease104);
        try {
            (void)ipfwTextForSetting(r.setting);
            ADD_FAILURE() << r.message << ": no exception";
        } catch (const SettingTypeError& e) {
            EXPECT_STREQ(e.what(), r.message);
        }
    }
}

TEST(IpfwText, CorpusRuleFilesPassThroughExpertSettingsByteForByte)
{
    const std::filesystem::path corpus = KW_RULES_CORPUS_DIR;
    if (!std::filesystem::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || (name.rfind("rules-", 0) != 0 && name.rfind("natd-", 0) != 0)) {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        const Value setting = dict({ { kConfigMode, "2" },
                                     { kExpertConfigText, Value(s.str()) },
                                     { kNatdExpertText, Value(s.str()) },
                                     { kInterfaceList, list({ busyInterface() }) } });
        EXPECT_EQ(ipfwTextForSetting(setting), s.str()) << name;
        EXPECT_EQ(natdTextForSetting(setting), s.str()) << name;
        ++files;
    }
    if (files == 0) {
        GTEST_SKIP() << "no rule or natd files in " << corpus;
    }
}

Value portMap(const char* protocol, const char* ip, Value port, Value inPort)
{
    return dict({ { kPortmapProtocol, protocol },
                  { kPortmapIp, ip },
                  { kPortmapPort, std::move(port) },
                  { kPortmapInPort, std::move(inPort) },
                  { kPortmapLabel, "Web" } });
}

TEST(NatdText, GeneratedFromTheSharingDictionary)
{
    const std::string fixed = "use_sockets yes\nsame_ports yes\n";
    const Value external = dict({ { kNatGatewayIp, "Default Gateway" },
                                  { kNatInterface, "en0" },
                                  { kNatGatewayExternal, num(1) },
                                  { kPortmapList, list({ portMap("tcp", "192.168.1.10", num(80), num(8080)),
                                                         portMap("udp", "192.168.1.11", "5060", "15060") }) } });
    const Value ownAddress = dict({ { kNatGatewayIp, "203.0.113.9" },
                                    { kNatInterface, "en0" },
                                    { kNatGatewayExternal, num(1) },
                                    { kPortmapList, list({ portMap("tcp", "192.168.1.12", num(22), num(2222)) }) } });
    const Value internal = dict({ { kNatGatewayIp, "192.168.1.1" },
                                  { kNatInterface, "en1" },
                                  { kNatGatewayExternal, num(0) },
                                  { kNatAllowLocal, num(1) },
                                  { kPortmapList, list({ portMap("tcp", "192.168.1.13", num(25), num(25)) }) } });
    struct Row {
        const char* what;
        Value natConfig;
        std::string expected;
    };
    const Row rows[] = {
        { "no sharing dictionary", Value(), "interface en0\n" + fixed },
        { "interface 0", dict({ { kNatdInterface, num(0) } }), "interface en0\n" + fixed },
        { "interface 1", dict({ { kNatdInterface, num(1) } }), "interface ppp0\n" + fixed },
        { "interface 2", dict({ { kNatdInterface, num(2) } }), "interface pppoe0\n" + fixed },
        { "interface 3", dict({ { kNatdInterface, "3" } }), "interface en1\n" + fixed },
        { "interface 7: no line", dict({ { kNatdInterface, num(7) } }), fixed },
        { "interface -1: no line", dict({ { kNatdInterface, num(-1) } }), fixed },
        { "name wins over number", dict({ { kNatdInterfaceName, "en2" }, { kNatdInterface, num(0) } }),
          "interface en2\n" + fixed },
        { "name with a number out of range", dict({ { kNatdInterfaceName, "en2" }, { kNatdInterface, num(7) } }),
          "interface en2\n" + fixed },
        { "dynamic address", dict({ { kNatdInterface, num(1) }, { kNatDynAddress, num(1) } }),
          "interface ppp0\ndynamic yes\n" + fixed },
        { "dynamic 0", dict({ { kNatdInterface, num(7) }, { kNatDynAddress, num(0) } }), fixed },
        { "default gateway port maps", dict({ { kNatdInterface, num(7) }, { kGateways, list({ external }) } }),
          fixed + "redirect_port tcp 192.168.1.10:80 8080\nredirect_port udp 192.168.1.11:5060 15060\n" },
        { "gateway with its own address", dict({ { kNatdInterface, num(7) }, { kGateways, list({ ownAddress }) } }),
          fixed + "redirect_port tcp 192.168.1.12:22 203.0.113.9:2222\n" },
        { "internal gateways write nothing", dict({ { kNatdInterface, num(7) }, { kGateways, list({ internal }) } }),
          fixed },
        { "gateways in order",
          dict({ { kNatdInterface, num(0) }, { kGateways, list({ ownAddress, internal, external }) } }),
          "interface en0\n" + fixed + "redirect_port tcp 192.168.1.12:22 203.0.113.9:2222\n" +
              "redirect_port tcp 192.168.1.10:80 8080\nredirect_port udp 192.168.1.11:5060 15060\n" },
        { "external gateway without port maps",
          dict({ { kNatdInterface, num(7) }, { kGateways, list({ without(external, kPortmapList) }) } }), fixed },
    };
    for (const Row& r : rows) {
        Value setting = dict({ { kConfigMode, num(0) } });
        if (!r.natConfig.isNone()) {
            setting.set(kNatConfig, r.natConfig);
        }
        EXPECT_EQ(generateNatdTextFromSetting(setting), r.expected) << r.what;
        EXPECT_EQ(natdTextForSetting(setting), r.expected) << r.what;
    }
}

TEST(NatdText, ExpertSettingsGiveTheirNatdTextUnchanged)
{
    const Value natConfig = dict({ { kNatdInterface, num(1) } });
    const Value expert =
        dict({ { kConfigMode, "2" }, { kNatdExpertText, "interface en3\nlog yes\n" }, { kNatConfig, natConfig } });
    EXPECT_EQ(natdTextForSetting(expert), "interface en3\nlog yes\n");
    EXPECT_EQ(generateNatdTextFromSetting(expert), "interface ppp0\nuse_sockets yes\nsame_ports yes\n");
    EXPECT_EQ(natdTextForSetting(without(expert, kNatdExpertText)), "");
    EXPECT_EQ(natdTextForSetting(Value()), "interface en0\nuse_sockets yes\nsame_ports yes\n");
}

TEST(NatdText, WrongKindsRaiseWithTheirPlace)
{
    const Value goodMap = portMap("tcp", "192.168.1.10", num(80), num(8080));
    const auto gateway = [](Value ip, Value maps) {
        return dict(
            { { kNatGatewayIp, std::move(ip) }, { kNatGatewayExternal, num(1) }, { kPortmapList, std::move(maps) } });
    };
    struct Row {
        Value natConfig;
        const char* message;
    };
    const Row rows[] = {
        { Value("en0"), "NAT_CONFIG holds text where a dictionary is expected" },
        { dict({ { kNatdInterfaceName, list({}) } }),
          "NAT_CONFIG: NATD_INTERFACENAME holds an array where text is expected" },
        { dict({ { kGateways, dict({}) } }), "NAT_CONFIG: GATEWAYS holds a dictionary where a list is expected" },
        { dict({ { kGateways, list({ "x" }) } }),
          "NAT_CONFIG, GATEWAYS entry 1: the entry holds text where a dictionary is expected" },
        { dict({ { kGateways, list({ gateway(num(1), list({ goodMap })) }) } }),
          "NAT_CONFIG, GATEWAYS entry 1: NAT_GATEWAY_IP holds a number where text is expected" },
        { dict({ { kGateways, list({ gateway("Default Gateway", "x") }) } }),
          "NAT_CONFIG, GATEWAYS entry 1: PORTMAP_LIST holds text where a list is expected" },
        { dict({ { kGateways,
                   list({ gateway("Default Gateway", list({ goodMap, with(goodMap, kPortmapIp, dict({})) })) }) } }),
          "NAT_CONFIG, GATEWAYS entry 1, PORTMAP_LIST entry 2: PORTMAP_IP holds a dictionary where text is expected" },
    };
    for (const Row& r : rows) {
        try {
            (void)natdTextForSetting(dict({ { kNatConfig, r.natConfig } }));
            ADD_FAILURE() << r.message << ": no exception";
        } catch (const SettingTypeError& e) {
            EXPECT_STREQ(e.what(), r.message);
        }
    }
    // Numbers that are only written out are written in decimal.
    const Value numeric =
        dict({ { kNatdInterfaceName, num(4) },
               { kGateways, list({ gateway("Default Gateway", list({ portMap("tcp", "h", num(1), num(2)) })) }) } });
    Value numericMaps = numeric;
    (*numericMaps.get(kGateways)->array())[0].get(kPortmapList)->array()->at(0).set(kPortmapProtocol, num(6));
    EXPECT_EQ(natdTextForSetting(dict({ { kNatConfig, numericMaps } })),
              "interface 4\nuse_sockets yes\nsame_ports yes\nredirect_port 6 h:1 2\n");
}

} // namespace

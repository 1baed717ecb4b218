#include "rules/IPFWInterface.h"

#include "RuleTestSupport.h"
#include "config/SettingsKeys.h"
#include "rules/ServiceFilter.h"
#include "rules/SettingTypeError.h"

#include <gtest/gtest.h>

#include <string>

using namespace kw;
using namespace kw::keys;
using namespace kw::test;

namespace {

const std::string kSeparator = "#################################################\n";

std::string section(const std::string& title)
{
    return "\n" + kSeparator + title + "\n" + kSeparator;
}

// The interface of the documented example: en0, DHCP and DNS on, one SSH filter, outgoing
// allowed, incoming denied.
Value workedExample()
{
    return dict({
        { kInterfaceName, "en0" },
        { kInterfaceLabel, "Built-in Ethernet" },
        { kEnableFirewall, num(1) },
        { kAdvAllowBootp, num(1) },
        { kAdvAllowBroadcast, num(0) },
        { kDenySourceRoute, num(0) },
        { kAdvAllowNtp, num(0) },
        { kAdvAllowRendezvous, num(0) },
        { kAdvAllowIcmp, num(0) },
        { kAdvAllowFtpData, num(0) },
        { kAdvAllowDns, num(1) },
        { kAdvDnsType, num(0) },
        { kAdvDnsAddress, "" },
        { kIpHostAddressType, num(0) },
        { kIpHostAddress, "" },
        { kDefaultOutgoingAllow, num(0) },
        { kDefaultIncomingAllow, num(1) },
        { kFilterList, list({ sshFilter() }) },
    });
}

// A bare enabled interface: no switches, no filters.
Value bare(const char* name = "en1")
{
    return dict({ { kInterfaceName, name }, { kEnableFirewall, num(1) } });
}

std::string generate(const Value& interface, std::int64_t first = 2000)
{
    std::string text;
    IPFWInterface::appendFirewallRules(interface, text, first);
    return text;
}

std::string blockHeader(const std::string& name)
{
    return "\n" + kSeparator + "## Rules for the " + name + " interface\n" + kSeparator;
}

const std::string kUserPolicies = "\n" + kSeparator + "## * * * User Filter Policies * * * \n" + kSeparator + "\n";
const std::string kDefaultPolicies = section("## * * * Default Filter Policies * * * ");

TEST(IPFWInterfaceWorkedExample, MatchesGoldenOnEachRelease)
{
    struct Row {
        double release;
        const char* golden;
    };
    const Row rows[] = {
        { kRelease101, "interface-worked-example-10.1.txt" },
        { kRelease102, "interface-worked-example-10.2.txt" },
        { kRelease104, "interface-worked-example-10.2.txt" },
    };
    for (const Row& r : rows) {
        ReleaseScope release(r.release);
        EXPECT_EQ(generate(workedExample()), readGolden(r.golden)) << r.golden << " at " << r.release;
    }
}

TEST(IPFWInterfaceWorkedExample, AppendsToExistingTextAndLeavesTheDictionary)
{
    ReleaseScope release(kRelease104);
    const Value interface = workedExample();
    const Value before = interface;
    std::string text = "kept\n";
    IPFWInterface::appendFirewallRules(interface, text, 2000);
    EXPECT_EQ(text, "kept\n" + readGolden("interface-worked-example-10.2.txt"));
    EXPECT_EQ(interface, before);
    EXPECT_EQ(*interface.get(kFilterList)->array()->at(0).get(ServiceFilterOrderNumber), num(1000));
}

TEST(IPFWInterface, DisabledInterfacesAppendNothing)
{
    ReleaseScope release(kRelease104);
    const Value rows[] = {
        with(workedExample(), kEnableFirewall, num(0)),
        without(workedExample(), kEnableFirewall),
        with(workedExample(), kEnableFirewall, num(-1)),
        with(workedExample(), kEnableFirewall, "no"),
        Value(),
    };
    for (const Value& interface : rows) {
        EXPECT_EQ(generate(interface), "") << valueToTextForm(interface);
    }
}

TEST(IPFWInterface, BareBlockHasHeaderAndBothDefaults)
{
    struct Row {
        double release;
        std::string expected;
    };
    const Row rows[] = {
        { kRelease104, blockHeader("en1") + kUserPolicies + kDefaultPolicies +
                           section("## Allow All Outgoing Services") +
                           "add 53000 allow all from any to any keep-state out via en1\n" +
                           section("## Allow All Incoming Services") +
                           "add 53001 allow all from any to any keep-state in via en1\n" },
        { kRelease101,
          blockHeader("en1") + kUserPolicies + kDefaultPolicies + section("## Allow All Outgoing Services") +
              "add 53000 allow all from any to any out via en1\n" + section("## Allow All Incoming Services") +
              "add 53001 allow all from any to any in via en1\n" },
    };
    for (const Row& r : rows) {
        ReleaseScope release(r.release);
        EXPECT_EQ(generate(bare(), 3000), r.expected) << r.release;
    }
}

// Each extra switch alone: its section and rule line(s), and the number the defaults get.
TEST(IPFWInterface, ExtraRulesOneByOne)
{
    struct Row {
        const char* key;
        double release;
        std::string section;
        int numbersUsed;
    };
    const Row rows[] = {
        { kAdvAllowBootp, kRelease104,
          section("## Allow DHCP/BOOTP") + "add 2000 allow udp from any 67-68 to any 67-68 via en1\n", 1 },
        { kAdvAllowBroadcast, kRelease104,
          section("## Allow DHCP Broadcast") + "add 2000 allow udp from any to 255.255.255.255 67-68 via en1\n", 1 },
        { kDenySourceRoute, kRelease104,
          section("## Deny Source Routed Packets") +
              "add 2000 unreach host log ip from any to any ipoptions ssrr,lsrr via en1\n",
          1 },
        { kAdvAllowNtp, kRelease104,
          section("## Allow Network Time (NTP)") + "add 2000 allow udp from any 123 to any 1024-65535,123 via en1\n",
          1 },
        { kAdvAllowRendezvous, kRelease104,
          section("## Allow Rendezvous Multicast") + "add 2000 allow udp from any 5353 to any 5353 via en1\n", 1 },
        { kAdvAllowIcmp, kRelease104,
          section("## Allow All ICMP Packets") + "add 2000 allow icmp from any to any via en1\n", 1 },
        { kAdvAllowFtpData, kRelease104,
          section("## Allow FTP-Data port") + "add 2000 allow tcp from any 20-21 to any 1024-65535 in via en1\n", 1 },
        { kAdvAllowDns, kRelease104,
          section("## Allow DNS") + "add 2000 allow udp from any to any 53 keep-state out via en1\n", 1 },
        { kAdvAllowDns, kRelease101,
          section("## Allow DNS") + "add 2000 allow udp from any 1024-65535 to any 53 out via en1\n" +
              "add 2001 allow udp from any 53 to any 1024-65535 in via en1\n",
          2 },
    };
    for (const Row& r : rows) {
        ReleaseScope release(r.release);
        const std::string keep = KWRunningOnJaguar ? " keep-state" : "";
        const std::string expected =
            blockHeader("en1") + r.section + kUserPolicies + kDefaultPolicies +
            section("## Allow All Outgoing Services") + "add " + std::to_string(52000 + r.numbersUsed) +
            " allow all from any to any" + keep + " out via en1\n" + section("## Allow All Incoming Services") +
            "add " + std::to_string(52001 + r.numbersUsed) + " allow all from any to any" + keep + " in via en1\n";
        EXPECT_EQ(generate(with(bare(), r.key, num(1))), expected) << r.key << " at " << r.release;
    }
}

TEST(IPFWInterface, AllExtrasInTableOrderWithConsecutiveNumbers)
{
    ReleaseScope release(kRelease101);
    Value interface = bare("ppp0");
    for (const char* key : { kAdvAllowDns, kAdvAllowFtpData, kAdvAllowIcmp, kAdvAllowRendezvous, kAdvAllowNtp,
                             kDenySourceRoute, kAdvAllowBroadcast, kAdvAllowBootp }) {
        interface.set(key, "1"); // text "1" reads as 1
    }
    const std::string text = generate(interface, 4000);
    const char* order[] = { "add 4000 allow udp from any 67-68",
                            "add 4001 allow udp from any to 255.255.255.255",
                            "add 4002 unreach host log",
                            "add 4003 allow udp from any 123",
                            "add 4004 allow udp from any 5353",
                            "add 4005 allow icmp",
                            "add 4006 allow tcp from any 20-21",
                            "add 4007 allow udp from any 1024-65535 to any 53",
                            "add 4008 allow udp from any 53",
                            "add 54009 allow all",
                            "add 54010 allow all" };
    size_t at = 0;
    for (const char* piece : order) {
        const size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << piece << "\n" << text;
        at = found;
    }
}

TEST(IPFWInterface, AddressesAndPolicies)
{
    struct Row {
        const char* what;
        Value interface;
        const char* expectedPiece;
    };
    const Value oneFilter = with(bare(), kFilterList, list({ sshFilter() }));
    const Value dnsOn = with(bare(), kAdvAllowDns, num(1));
    const Row rows[] = {
        { "My Computer end takes IP_HOST_ADDRESS",
          with(with(oneFilter, kIpHostAddressType, num(1)), kIpHostAddress, "10.0.0.2"),
          "add 2000 allow tcp from any to 10.0.0.2 22 setup keep-state in via en1\n" },
        { "IP_HOST_ADDRESS_TYPE 1 with empty address writes any",
          with(with(oneFilter, kIpHostAddressType, num(1)), kIpHostAddress, ""),
          "add 2000 allow tcp from any to any 22 setup keep-state in via en1\n" },
        { "IP_HOST_ADDRESS_TYPE 1 without address writes any", with(oneFilter, kIpHostAddressType, num(1)),
          "add 2000 allow tcp from any to any 22 setup keep-state in via en1\n" },
        { "IP_HOST_ADDRESS_TYPE 2 ignores the address",
          with(with(oneFilter, kIpHostAddressType, num(2)), kIpHostAddress, "10.0.0.2"),
          "add 2000 allow tcp from any to any 22 setup keep-state in via en1\n" },
        { "My Computer host text is replaced even when typed",
          with(with(with(bare(), kIpHostAddressType, num(1)), kIpHostAddress, "10.0.0.2"), kFilterList,
               list({ with(sshFilter(), ServiceFilterDstHost, "172.16.0.9") })),
          "add 2000 allow tcp from any to 10.0.0.2 22 setup keep-state in via en1\n" },
        { "The Internet keeps its host text",
          with(with(with(bare(), kIpHostAddressType, num(1)), kIpHostAddress, "10.0.0.2"), kFilterList,
               list({ with(sshFilter(), ServiceFilterSrcHost, "192.168.0.0/16") })),
          "add 2000 allow tcp from 192.168.0.0/16 to 10.0.0.2 22 setup keep-state in via en1\n" },
        { "DNS server address", with(with(dnsOn, kAdvDnsType, num(1)), kAdvDnsAddress, "10.0.0.53"),
          "add 2000 allow udp from any to 10.0.0.53 53 keep-state out via en1\n" },
        { "ADV_DNS_TYPE 1 with empty address", with(with(dnsOn, kAdvDnsType, num(1)), kAdvDnsAddress, ""),
          "add 2000 allow udp from any to any 53 keep-state out via en1\n" },
        { "ADV_DNS_TYPE 0 ignores the address", with(with(dnsOn, kAdvDnsType, num(0)), kAdvDnsAddress, "10.0.0.53"),
          "add 2000 allow udp from any to any 53 keep-state out via en1\n" },
        { "ADDRESS_TYPE set: own address in DHCP and defaults",
          with(with(with(bare(), kAddressType, num(1)), kIpAddress, "10.0.0.7"), kAdvAllowBootp, num(1)),
          "add 2000 allow udp from any 67-68 to 10.0.0.7 67-68 via en1\n" },
        { "ADDRESS_TYPE set: outgoing default from own address",
          with(with(bare(), kAddressType, num(3)), kIpAddress, "10.0.0.7"),
          "add 52000 allow all from 10.0.0.7 to any keep-state out via en1\n" },
        { "ADDRESS_TYPE set: incoming default to own address",
          with(with(bare(), kAddressType, num(1)), kIpAddress, "10.0.0.7"),
          "add 52001 allow all from any to 10.0.0.7 keep-state in via en1\n" },
        { "ADDRESS_TYPE 0 ignores IP_ADDRESS", with(bare(), kIpAddress, "10.0.0.7"),
          "add 52000 allow all from any to any keep-state out via en1\n" },
        { "ADDRESS_TYPE set with a number as address", with(with(bare(), kAddressType, num(1)), kIpAddress, num(7)),
          "add 52000 allow all from 7 to any keep-state out via en1\n" },
        { "outgoing 1 denies", with(bare(), kDefaultOutgoingAllow, num(1)),
          "## Deny All Outgoing Services\n#################################################\n"
          "add 52000 deny log all from any to any out via en1\n" },
        { "outgoing \"1\" denies", with(bare(), kDefaultOutgoingAllow, "1"),
          "add 52000 deny log all from any to any out via en1\n" },
        { "outgoing 2 allows", with(bare(), kDefaultOutgoingAllow, num(2)),
          "## Allow All Outgoing Services\n#################################################\n"
          "add 52000 allow all from any to any keep-state out via en1\n" },
        { "incoming 1 denies", with(bare(), kDefaultIncomingAllow, num(1)),
          "## Deny All Incoming Services\n#################################################\n"
          "add 52001 deny log all from any to any in via en1\n" },
        { "incoming 0 allows", with(bare(), kDefaultIncomingAllow, num(0)),
          "add 52001 allow all from any to any keep-state in via en1\n" },
        { "numeric interface name is written in decimal", with(bare(), kInterfaceName, num(3)),
          "## Rules for the 3 interface\n" },
        { "absent interface name reads as no text", without(bare(), kInterfaceName), "## Rules for the  interface\n" },
    };
    for (const Row& r : rows) {
        ReleaseScope release(kRelease104);
        const std::string text = generate(r.interface);
        EXPECT_NE(text.find(r.expectedPiece), std::string::npos) << r.what << "\n" << text;
    }
}

TEST(IPFWInterface, FiltersUseOneNumberEachEvenWithTwoLines)
{
    ReleaseScope release(kRelease101);
    const Value udp = dict({ { ServiceFilterLabel, "NTP" },
                             { ServiceFilterAction, "allow" },
                             { ServiceFilterProtocol, "udp" },
                             { ServiceFilterPort, "123" },
                             { ServiceFilterSrcHostType, num(kHostMyComputer) },
                             { ServiceFilterDstHostType, num(kHostInternet) } });
    const Value typed = dict({ { ServiceFilterAction, "deny" },
                               { ServiceFilterSrcHostType, num(kHostTyped) },
                               { ServiceFilterSrcHost, "10.9.9.9" },
                               { ServiceFilterDstHostType, num(kHostTyped) } });
    const Value interface = with(bare("en0"), kFilterList, list({ udp, typed, sshFilter() }));
    const std::string expected =
        blockHeader("en0") + kUserPolicies + kSeparator + "## NTP\n" + kSeparator +
        "add 2000 allow udp from any to any 123 out via en0\n" + "add 2000 allow udp from any 123 to any in via en0\n" +
        "\n" + kSeparator + "## Custom Filter\n" + kSeparator + "add 2001 deny ip from 10.9.9.9 to any via en0" + "\n" +
        kSeparator + "## SSH\n" + kSeparator + "add 2002 allow tcp from any to any 22 setup in via en0\n" + "\n" +
        kDefaultPolicies + section("## Allow All Outgoing Services") +
        "add 52003 allow all from any to any out via en0\n" + section("## Allow All Incoming Services") +
        "add 52004 allow all from any to any in via en0\n";
    EXPECT_EQ(generate(interface), expected);
}

TEST(IPFWInterface, WrongKindsRaiseWithTheirPlace)
{
    struct Row {
        Value interface;
        const char* message;
    };
    const Row rows[] = {
        { with(bare(), kFilterList, list({ with(sshFilter(), ServiceFilterPort, num(22)) })),
          "FILTER_LIST entry 1: ServiceFilterPort holds a number where text is expected" },
        { with(bare(), kFilterList, list({ sshFilter(), "ssh" })),
          "FILTER_LIST entry 2: the entry holds text where a dictionary is expected" },
        { with(bare(), kFilterList, "none"), "FILTER_LIST holds text where a list is expected" },
        { with(bare(), kInterfaceName, list({ "en0" })), "INTERFACE_NAME holds an array where text is expected" },
        { with(with(bare(), kAddressType, num(1)), kIpAddress, dict({})),
          "IP_ADDRESS holds a dictionary where text is expected" },
        { with(with(bare(), kIpHostAddressType, num(1)), kIpHostAddress, num(10)),
          "IP_HOST_ADDRESS holds a number where text is expected" },
        { with(with(bare(), kAdvDnsType, num(1)), kAdvDnsAddress, list({})),
          "ADV_DNS_ADDRESS holds an array where text is expected" },
        { Value("en0"), "the interface holds text where a dictionary is expected" },
    };
    for (const Row& r : rows) {
        ReleaseScope release(kRelease104);
        try {
            (void)generate(r.interface);
            ADD_FAILURE() << r.message << ": no exception";
        } catch (const SettingTypeError& e) {
            EXPECT_STREQ(e.what(), r.message);
        }
    }
    // A refused block leaves the text as it was.
    std::string text = "before\n";
    const Value late =
        with(bare(), kFilterList, list({ sshFilter(), with(sshFilter(), ServiceFilterTCPFlags, num(2)) }));
    EXPECT_THROW(IPFWInterface::appendFirewallRules(late, text, 2000), SettingTypeError);
    EXPECT_EQ(text, "before\n");
    // Fields that the switches leave unread do not raise.
    EXPECT_NO_THROW((void)generate(with(bare(), kIpAddress, list({}))));
    EXPECT_NO_THROW((void)generate(with(with(bare(), kEnableFirewall, num(0)), kFilterList, "x")));
}

} // namespace

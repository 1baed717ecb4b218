#include "rules/ServiceFilter.h"

#include "RuleTestSupport.h"
#include "rules/SettingTypeError.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using namespace kw;
using namespace kw::test;

namespace {

// Allow udp port 53 from My Computer (host text "10.0.0.2") to The Internet.
Value dnsFilter()
{
    return dict({
        { ServiceFilterLabel, "DNS" },
        { ServiceFilterOrderNumber, num(2003) },
        { ServiceFilterAction, "allow" },
        { ServiceFilterProtocol, "udp" },
        { ServiceFilterPort, "53" },
        { ServiceFilterSrcHostType, num(kHostMyComputer) },
        { ServiceFilterSrcHost, "10.0.0.2" },
        { ServiceFilterDstHostType, num(kHostInternet) },
        { ServiceFilterDstHost, "any" },
    });
}

TEST(ServiceFilterRuleLine, PiecesInOrder)
{
    struct Row {
        const char* what;
        Value attributes;
        std::optional<std::string_view> interfaceName;
        std::optional<std::string_view> direction;
        bool reversePorts;
        bool keepState;
        const char* expected;
    };
    const Row rows[] = {
        { "worked example", sshFilter(2001), "en0", "in", false, true,
          "add 2001 allow tcp from any to any 22 setup keep-state in via en0" },
        { "no number, interface or direction", without(sshFilter(2001), ServiceFilterOrderNumber), std::nullopt,
          std::nullopt, false, false, "add allow tcp from any to any 22 setup" },
        { "absent action and protocol", dict({}), "en0", "out", false, false,
          "add allow ip from any to any out via en0" },
        { "empty action text is written as it is", dict({ { ServiceFilterAction, "" } }), std::nullopt, std::nullopt,
          false, false, "add  ip from any to any" },
        { "tcp deny still gets setup",
          with(with(sshFilter(2001), ServiceFilterAction, "deny"), ServiceFilterPort, "23"), "en0", "in", false, false,
          "add 2001 deny tcp from any to any 23 setup in via en0" },
        { "log", with(sshFilter(2001), ServiceFilterShouldLog, num(1)), "en0", "in", false, false,
          "add 2001 allow log tcp from any to any 22 setup in via en0" },
        { "log as text \"2\"", with(sshFilter(2001), ServiceFilterShouldLog, "2"), std::nullopt, std::nullopt, false,
          false, "add 2001 allow log tcp from any to any 22 setup" },
        { "log 0 and -1 are off", with(sshFilter(2001), ServiceFilterShouldLog, num(-1)), std::nullopt, std::nullopt,
          false, false, "add 2001 allow tcp from any to any 22 setup" },
        { "icmp writes no port", with(with(sshFilter(2001), ServiceFilterProtocol, "icmp"), ServiceFilterPort, "80"),
          "en0", "in", false, false, "add 2001 allow icmp from any to any in via en0" },
        { "\"TCP\" is not tcp", with(sshFilter(2001), ServiceFilterProtocol, "TCP"), std::nullopt, std::nullopt, false,
          false, "add 2001 allow TCP from any to any" },
        { "source port and hosts",
          with(with(dnsFilter(), ServiceFilterSourcePort, "1024-65535"), ServiceFilterDstHost, "192.168.1.0/24"), "en1",
          "out", false, false, "add 2003 allow udp from 10.0.0.2 1024-65535 to 192.168.1.0/24 53 out via en1" },
        { "reversed ends swap hosts and ports", dnsFilter(), "en0", "in", true, false,
          "add 2003 allow udp from any 53 to 10.0.0.2 in via en0" },
        { "empty hosts read as any", with(with(dnsFilter(), ServiceFilterSrcHost, ""), ServiceFilterDstHost, ""),
          std::nullopt, std::nullopt, false, false, "add 2003 allow udp from any to any 53" },
        { "options in order",
          with(with(with(sshFilter(2001), ServiceFilterICMPTypes, "0,8"), ServiceFilterTCPFlags, "syn,!ack"),
               ServiceFilterIPOptions, "ssrr"),
          "en0", "in", false, true,
          "add 2001 allow tcp from any to any 22 setup keep-state in via en0 ipoptions ssrr tcpflags syn,!ack "
          "icmptype 0,8" },
        { "rule number stored as text", with(sshFilter(2001), ServiceFilterOrderNumber, "2010"), std::nullopt,
          std::nullopt, false, false, "add 2010 allow tcp from any to any 22 setup" },
    };
    for (const Row& r : rows) {
        const ServiceFilter filter(r.attributes);
        EXPECT_EQ(filter.ruleForInterface(r.interfaceName, r.direction, r.reversePorts, r.keepState), r.expected)
            << r.what;
    }
}

TEST(ServiceFilterRuleText, KeysOutsideTheFilterVocabularyChangeNothing)
{
    // Extra keys sorted before, between and after the filter's own ones, some sharing
    // their beginnings.
    Value noisy = with(sshFilter(2001), ServiceFilterSourcePort, "1024-65535");
    for (const char* key : { "", "AAA", "ServiceFilter", "ServiceFilterA", "ServiceFilterActionX", "ServiceFilterPortX",
                             "ServiceFilterSrcHostTypeZ", "ServiceFilterZ", "zzz" }) {
        noisy.set(key, list({ num(1) }));
    }
    for (const double release : { kRelease101, kRelease104 }) {
        ReleaseScope scope(release);
        EXPECT_EQ(
            ServiceFilter(noisy).ruleTextWithInterface("en0"),
            ServiceFilter(with(sshFilter(2001), ServiceFilterSourcePort, "1024-65535")).ruleTextWithInterface("en0"));
    }
}

TEST(ServiceFilterRuleLine, ReadsNoReleaseFlag)
{
    const ServiceFilter filter(dnsFilter());
    std::string on101, on104;
    {
        ReleaseScope release(kRelease101);
        on101 = filter.ruleForInterface("en0", "out", false, true);
    }
    {
        ReleaseScope release(kRelease104);
        on104 = filter.ruleForInterface("en0", "out", false, true);
    }
    EXPECT_EQ(on101, on104);
    EXPECT_EQ(on104, "add 2003 allow udp from 10.0.0.2 to any 53 keep-state out via en0");
}

const std::string kSeparator = "#################################################\n";

std::string header(const std::string& title)
{
    return kSeparator + "## " + title + "\n" + kSeparator;
}

TEST(ServiceFilterRuleText, ByReleaseAndHostTypes)
{
    struct Row {
        const char* what;
        double release;
        Value attributes;
        std::string expected;
    };
    const Value typedHosts = with(with(with(with(sshFilter(2001), ServiceFilterSrcHostType, num(kHostTyped)),
                                            ServiceFilterDstHostType, num(kHostTyped)),
                                       ServiceFilterSrcHost, "10.1.1.1"),
                                  ServiceFilterDstHost, "10.2.2.2");
    const Row rows[] = {
        { "ssh on 10.2 keeps state", kRelease102, sshFilter(2001),
          header("SSH") + "add 2001 allow tcp from any to any 22 setup keep-state in via en0\n" },
        { "ssh on 10.1 has no keep-state", kRelease101, sshFilter(2001),
          header("SSH") + "add 2001 allow tcp from any to any 22 setup in via en0\n" },
        { "udp allow on 10.1 gets a mirrored line", kRelease101, dnsFilter(),
          header("DNS") + "add 2003 allow udp from 10.0.0.2 to any 53 out via en0\n" +
              "add 2003 allow udp from any 53 to 10.0.0.2 in via en0\n" },
        { "udp allow on 10.2 is one stateful line", kRelease102, dnsFilter(),
          header("DNS") + "add 2003 allow udp from 10.0.0.2 to any 53 keep-state out via en0\n" },
        { "udp deny on 10.1 has no mirrored line", kRelease101, with(dnsFilter(), ServiceFilterAction, "deny"),
          header("DNS") + "add 2003 deny udp from 10.0.0.2 to any 53 out via en0\n" },
        { "absent action: allow written, no keep-state, no mirror", kRelease101,
          without(dnsFilter(), ServiceFilterAction),
          header("DNS") + "add 2003 allow udp from 10.0.0.2 to any 53 out via en0\n" },
        { "absent action on 10.4: no keep-state", kRelease104, without(dnsFilter(), ServiceFilterAction),
          header("DNS") + "add 2003 allow udp from 10.0.0.2 to any 53 out via en0\n" },
        { "both hosts typed: no direction, no line break", kRelease104, typedHosts,
          header("SSH") + "add 2001 allow tcp from 10.1.1.1 to 10.2.2.2 22 setup keep-state via en0" },
        { "typed source to My Computer is in", kRelease101,
          with(typedHosts, ServiceFilterDstHostType, num(kHostMyComputer)),
          header("SSH") + "add 2001 allow tcp from 10.1.1.1 to 10.2.2.2 22 setup in via en0\n" },
        { "typed source to The Internet is out", kRelease101,
          with(typedHosts, ServiceFilterDstHostType, num(kHostInternet)),
          header("SSH") + "add 2001 allow tcp from 10.1.1.1 to 10.2.2.2 22 setup out via en0\n" },
        { "The Internet to The Internet is in", kRelease101,
          with(sshFilter(2001), ServiceFilterDstHostType, num(kHostInternet)),
          header("SSH") + "add 2001 allow tcp from any to any 22 setup in via en0\n" },
        { "My Computer to My Computer is out", kRelease101,
          with(sshFilter(2001), ServiceFilterSrcHostType, num(kHostMyComputer)),
          header("SSH") + "add 2001 allow tcp from any to any 22 setup out via en0\n" },
        { "absent host types count as My Computer", kRelease101,
          without(without(sshFilter(2001), ServiceFilterSrcHostType), ServiceFilterDstHostType),
          header("SSH") + "add 2001 allow tcp from any to any 22 setup out via en0\n" },
        { "host type as text \"1\"", kRelease101, with(typedHosts, ServiceFilterSrcHostType, "1"),
          header("SSH") + "add 2001 allow tcp from 10.1.1.1 to 10.2.2.2 22 setup in via en0\n" },
        { "typed udp allow on 10.1 without direction: one line, no mirror", kRelease101,
          with(with(typedHosts, ServiceFilterProtocol, "udp"), ServiceFilterPort, "53"),
          header("SSH") + "add 2001 allow udp from 10.1.1.1 to 10.2.2.2 53 via en0" },
        { "no label", kRelease104, without(sshFilter(2001), ServiceFilterLabel),
          header("Custom Filter") + "add 2001 allow tcp from any to any 22 setup keep-state in via en0\n" },
        { "custom service shows the user's name", kRelease104,
          with(with(sshFilter(2001), ServiceFilterLabel, "Custom Service"), ServiceFilterCustomLabel, "My Tunnel"),
          header("My Tunnel") + "add 2001 allow tcp from any to any 22 setup keep-state in via en0\n" },
        { "custom service without a name", kRelease104, with(sshFilter(2001), ServiceFilterLabel, "Custom Service"),
          kSeparator + "## \n" + kSeparator + "add 2001 allow tcp from any to any 22 setup keep-state in via en0\n" },
        { "custom label ignored for other labels", kRelease104, with(sshFilter(2001), ServiceFilterCustomLabel, "Mine"),
          header("SSH") + "add 2001 allow tcp from any to any 22 setup keep-state in via en0\n" },
    };
    for (const Row& r : rows) {
        ReleaseScope release(r.release);
        EXPECT_EQ(ServiceFilter(r.attributes).ruleTextWithInterface("en0"), r.expected) << r.what;
    }
}

TEST(ServiceFilter, AccessorsReadTheStoredValues)
{
    ServiceFilter filter(dnsFilter());
    EXPECT_EQ(*filter.protocol(), Value("udp"));
    EXPECT_EQ(*filter.dstPort(), Value("53"));
    EXPECT_EQ(filter.srcPort(), nullptr);
    EXPECT_EQ(*filter.action(), Value("allow"));
    EXPECT_EQ(*filter.ruleNumber(), num(2003));
    EXPECT_EQ(filter.ipOptions(), nullptr);
    EXPECT_EQ(filter.tcpFlags(), nullptr);
    EXPECT_EQ(filter.icmpTypes(), nullptr);
    EXPECT_EQ(filter.srcHost(), "10.0.0.2");
    EXPECT_EQ(filter.dstHost(), "any");
    EXPECT_FALSE(filter.shouldLog());
    EXPECT_TRUE(filter.canUsePorts());

    filter.serviceAttributes().set(ServiceFilterSrcHost, "");
    EXPECT_EQ(filter.srcHost(), "any");
    filter.serviceAttributes().dictionary()->erase(ServiceFilterSrcHost);
    EXPECT_EQ(filter.srcHost(), "any");
    filter.serviceAttributes().set(ServiceFilterProtocol, "icmp");
    EXPECT_FALSE(filter.canUsePorts());
    filter.serviceAttributes().dictionary()->erase(ServiceFilterProtocol);
    EXPECT_FALSE(filter.canUsePorts());
    EXPECT_EQ(filter.protocol(), nullptr);
    filter.serviceAttributes().set(ServiceFilterShouldLog, num(1));
    EXPECT_TRUE(filter.shouldLog());

    const ServiceFilter empty;
    EXPECT_TRUE(empty.serviceAttributes().isDictionary());
    EXPECT_EQ(empty.srcHost(), "any");
    EXPECT_EQ(ServiceFilter(Value()).serviceAttributes(), Value(Value::Dictionary {}));
}

TEST(ServiceFilter, TableColumnsShowStoredObjects)
{
    const Value attributes = with(sshFilter(2001), ServiceFilterIPOptions, "rr");
    const ServiceFilter filter(attributes);
    const std::pair<const char*, const char*> columns[] = {
        { "ruleNo", ServiceFilterOrderNumber },    { "ruleAction", ServiceFilterAction },
        { "ruleServiceName", ServiceFilterLabel }, { "ruleSourceHost", ServiceFilterSrcHost },
        { "ruleDestHost", ServiceFilterDstHost },  { "ruleOptions", ServiceFilterIPOptions },
    };
    for (const auto& [column, key] : columns) {
        ASSERT_NE(filter.valueForColumn(column), nullptr) << column;
        EXPECT_EQ(*filter.valueForColumn(column), *attributes.get(key)) << column;
    }
    EXPECT_EQ(filter.valueForColumn("ruleBogus"), nullptr);
    EXPECT_EQ(ServiceFilter(dict({})).valueForColumn("ruleNo"), nullptr);
}

TEST(ServiceFilter, KeepsItsOwnCopy)
{
    Value original = sshFilter(2001);
    ServiceFilter filter(original);
    filter.setRuleNumber(5000);
    EXPECT_EQ(*filter.ruleNumber(), num(5000));
    EXPECT_EQ(*original.get(ServiceFilterOrderNumber), num(2001));

    original.set(ServiceFilterPort, "80");
    EXPECT_EQ(*filter.dstPort(), Value("22"));

    Value replacement = dnsFilter();
    filter.setServiceAttributes(replacement);
    filter.setRuleNumber(7);
    EXPECT_EQ(*replacement.get(ServiceFilterOrderNumber), num(2003));
    EXPECT_EQ(filter.ruleForInterface(std::nullopt, std::nullopt, false, false),
              "add 7 allow udp from 10.0.0.2 to any 53");
}

TEST(ServiceFilter, WrongKindsRaiseNamingTheKey)
{
    struct Row {
        const char* key;
        Value value;
    };
    const Row rows[] = {
        { ServiceFilterPort, num(22) },
        { ServiceFilterSourcePort, list({ "22" }) },
        { ServiceFilterProtocol, num(6) },
        { ServiceFilterAction, dict({}) },
        { ServiceFilterSrcHost, list({}) },
        { ServiceFilterDstHost, num(0) },
        { ServiceFilterIPOptions, num(1) },
        { ServiceFilterTCPFlags, Value::boolean(true) },
        { ServiceFilterICMPTypes, Value(Value::Data { 1, 2 }) },
        { ServiceFilterLabel, num(3) },
        { ServiceFilterOrderNumber, list({ num(1) }) },
    };
    for (const Row& r : rows) {
        ReleaseScope release(kRelease104);
        const ServiceFilter filter(with(sshFilter(2001), r.key, r.value));
        try {
            (void)filter.ruleTextWithInterface("en0");
            ADD_FAILURE() << r.key << " did not raise";
        } catch (const SettingTypeError& e) {
            EXPECT_NE(std::string(e.what()).find(r.key), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("is expected"), std::string::npos) << e.what();
        }
    }
    const ServiceFilter custom(
        with(with(sshFilter(2001), ServiceFilterLabel, "Custom Service"), ServiceFilterCustomLabel, dict({})));
    EXPECT_THROW((void)custom.ruleTextWithInterface("en0"), SettingTypeError);
    EXPECT_THROW(ServiceFilter(Value("not a dictionary")), SettingTypeError);
    ServiceFilter filter;
    EXPECT_THROW(filter.setServiceAttributes(list({})), SettingTypeError);
}

TEST(ServiceFilter, ExactMessageForANumberWhereTextIsExpected)
{
    const ServiceFilter filter(with(sshFilter(2001), ServiceFilterPort, num(22)));
    try {
        (void)filter.ruleForInterface("en0", "in", false, false);
        FAIL() << "no exception";
    } catch (const SettingTypeError& e) {
        EXPECT_STREQ(e.what(), "ServiceFilterPort holds a number where text is expected");
    }
}

} // namespace

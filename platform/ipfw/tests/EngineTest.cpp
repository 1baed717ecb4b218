#include "IPFWEngine.h"
#include "TestRules.h"

#include "base/Release.h"

#include <gtest/gtest.h>

#include <vector>

using namespace kw;
using namespace kw::ipfwemu;
using namespace kw::ipfwemu::test;

namespace {

constexpr std::int64_t kNow = 1765454677;

struct Case {
    const char* what;
    std::vector<const char*> rules;
    const char* packet;
    const char* verdict;
};

} // namespace

TEST(Engine, FirstMatchingRuleDecides)
{
    const Case cases[] = {
        { "port on its interface",
          { "add 100 allow tcp from any to any 22 in via en0" },
          "in via en0 tcp 1.2.3.4:4000 -> 10.0.0.1:22 syn",
          "rule 100 allow" },
        { "port on another interface",
          { "add 100 allow tcp from any to any 22 in via en0" },
          "in via en1 tcp 1.2.3.4:4000 -> 10.0.0.1:22 syn",
          "rule 65535 allow" },
        { "direction",
          { "add 100 allow ip from any to any out" },
          "in via en0 udp 1.2.3.4:1 -> 10.0.0.1:2",
          "rule 65535 allow" },
        { "interface wildcard",
          { "add 100 allow ip from any to any via en*" },
          "in via en7 udp 1.2.3.4:1 -> 10.0.0.1:2",
          "rule 100 allow" },
        { "wildcard other name",
          { "add 100 allow ip from any to any via en*" },
          "in via ppp0 udp 1.2.3.4:1 -> 10.0.0.1:2",
          "rule 65535 allow" },
        { "loopback wildcard",
          { "add 1000 allow ip from any to any via lo*" },
          "out via lo0 tcp 127.0.0.1:1 -> 127.0.0.1:2",
          "rule 1000 allow" },
        { "recv and xmit of a forwarded packet",
          { "add 100 allow ip from any to any out xmit en1 recv en0" },
          "out via en1 recv en0 tcp 192.168.2.5:1 -> 8.8.8.8:80 syn",
          "rule 100 allow" },
        { "recv needs a receive interface",
          { "add 100 allow ip from any to any out xmit en1 recv en0" },
          "out via en1 tcp 192.168.2.5:1 -> 8.8.8.8:80 syn",
          "rule 65535 allow" },
        { "me",
          { "add 100 allow tcp from any to me 80" },
          "in via en0 tcp 1.2.3.4:4000 -> 10.0.0.1:80 syn",
          "rule 100 allow" },
        { "not me",
          { "add 100 allow tcp from any to me 80" },
          "in via en0 tcp 1.2.3.4:4000 -> 10.0.0.9:80 syn",
          "rule 65535 allow" },
        { "mask inside",
          { "add 100 allow ip from 192.168.1.0/24 to any" },
          "in via en0 udp 192.168.1.77:5 -> 10.0.0.1:6",
          "rule 100 allow" },
        { "mask outside",
          { "add 100 allow ip from 192.168.1.0/24 to any" },
          "in via en0 udp 192.168.2.1:5 -> 10.0.0.1:6",
          "rule 65535 allow" },
        { "negated address",
          { "add 100 deny ip from not 192.168.1.0/24 to any", "add 200 allow ip from any to any" },
          "in via en0 udp 192.168.1.77:5 -> 10.0.0.1:6",
          "rule 200 allow" },
        { "port list",
          { "add 100 allow tcp from any to any 21,22,80" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:80 syn",
          "rule 100 allow" },
        { "port not in list",
          { "add 100 allow tcp from any to any 21,22,80" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:81 syn",
          "rule 65535 allow" },
        { "port range",
          { "add 100 deny tcp from any to any 6000-6063", "add 200 allow ip from any to any" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:6010 syn",
          "rule 100 deny" },
        { "port above range",
          { "add 100 deny tcp from any to any 6000-6063", "add 200 allow ip from any to any" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:6064 syn",
          "rule 200 allow" },
        { "source port range",
          { "add 100 allow udp from any 1024-65535 to any 53" },
          "out via en0 udp 10.0.0.1:5353 -> 8.8.8.8:53",
          "rule 100 allow" },
        { "source port below range",
          { "add 100 allow udp from any 1024-65535 to any 53" },
          "out via en0 udp 10.0.0.1:53 -> 8.8.8.8:53",
          "rule 65535 allow" },
        { "udp rule, tcp packet",
          { "add 100 allow udp from any to any 53" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:53 syn",
          "rule 65535 allow" },
        { "setup takes a first syn",
          { "add 100 allow tcp from any to any setup" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:22 syn",
          "rule 100 allow" },
        { "setup refuses syn ack",
          { "add 100 allow tcp from any to any setup" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:22 syn,ack",
          "rule 65535 allow" },
        { "established takes ack",
          { "add 1004 allow tcp from any to any established" },
          "in via en0 tcp 1.2.3.4:80 -> 10.0.0.1:5000 ack",
          "rule 1004 allow" },
        { "established takes rst",
          { "add 1004 allow tcp from any to any established" },
          "in via en0 tcp 1.2.3.4:80 -> 10.0.0.1:5000 rst",
          "rule 1004 allow" },
        { "established refuses syn",
          { "add 1004 allow tcp from any to any established" },
          "in via en0 tcp 1.2.3.4:80 -> 10.0.0.1:5000 syn",
          "rule 65535 allow" },
        { "tcpflags with negation",
          { "add 100 deny tcp from any to any tcpflags fin,!ack", "add 200 allow ip from any to any" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:2 fin",
          "rule 100 deny" },
        { "tcpflags negation fails",
          { "add 100 deny tcp from any to any tcpflags fin,!ack", "add 200 allow ip from any to any" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:2 fin ack",
          "rule 200 allow" },
        { "ip options",
          { "add 100 unreach host log ip from any to any ipoptions ssrr,lsrr via en0" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:2 ipoptions ssrr,lsrr",
          "rule 100 unreach host" },
        { "ip options missing one",
          { "add 100 unreach host ip from any to any ipoptions ssrr,lsrr" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:2 ipoptions ssrr",
          "rule 65535 allow" },
        { "icmp type in list",
          { "add 1006 allow icmp from any to any icmptype 0,3,4,11,12,13,14" },
          "in via en0 icmp 1.2.3.4 -> 10.0.0.1 type 3 code 1",
          "rule 1006 allow" },
        { "icmp type not in list",
          { "add 1006 allow icmp from any to any icmptype 0,3,4,11,12,13,14" },
          "in via en0 icmp 1.2.3.4 -> 10.0.0.1 type 8",
          "rule 65535 allow" },
        { "fragment",
          { "add 1005 allow all from any to any frag" },
          "in via en0 udp 1.2.3.4 -> 10.0.0.1 frag",
          "rule 1005 allow" },
        { "first fragment is no frag",
          { "add 1005 allow all from any to any frag" },
          "in via en0 udp 1.2.3.4:1 -> 10.0.0.1:2",
          "rule 65535 allow" },
        { "fragment never matches ports",
          { "add 100 allow udp from any to any 53" },
          "in via en0 udp 1.2.3.4 -> 10.0.0.1 frag",
          "rule 65535 allow" },
        { "skipto",
          { "add 100 skipto 300 ip from any to any", "add 200 deny ip from any to any",
            "add 300 allow ip from any to any" },
          "in via en0 udp 1.2.3.4:1 -> 10.0.0.1:2",
          "rule 300 allow" },
        { "skipto to a missing number goes to the next one above",
          { "add 100 skipto 250 ip from any to any", "add 200 deny ip from any to any",
            "add 300 allow tcp from any to any 22", "add 400 unreach port ip from any to any" },
          "in via en0 udp 1.2.3.4:1 -> 10.0.0.1:2",
          "rule 400 unreach port" },
        { "count goes on",
          { "add 100 count ip from any to any", "add 200 allow ip from any to any" },
          "in via en0 udp 1.2.3.4:1 -> 10.0.0.1:2",
          "rule 200 allow" },
        { "divert hands the packet to natd",
          { "add 1001 divert 8668 ip from any to any via en0", "add 2000 allow ip from any to any" },
          "out via en0 tcp 192.168.2.5:1 -> 8.8.8.8:80 syn",
          "rule 1001 divert 8668" },
        { "reset",
          { "add 100 reset tcp from any to any 113" },
          "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:113 syn",
          "rule 100 reset" },
        { "other uid",
          { "add 100 allow tcp from any to any uid 0" },
          "out via en0 tcp 10.0.0.1:1 -> 1.2.3.4:2 syn uid 7",
          "rule 65535 allow" },
        { "default rule", {}, "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:2 syn", "rule 65535 allow" },
        { "interface by address",
          { "add 100 allow ip from any to any via 10.0.0.1" },
          "in via en0 udp 1.2.3.4:1 -> 10.0.0.1:2",
          "rule 100 allow" },
        { "uid",
          { "add 100 allow tcp from any to any uid 0" },
          "out via en0 tcp 10.0.0.1:1 -> 1.2.3.4:2 syn uid 0",
          "rule 100 allow" },
    };
    for (const auto& c : cases) {
        std::vector<const char*> rules = c.rules;
        Table table;
        {
            NameServices names;
            for (const char* line : rules) {
                const auto parsed = parseIPFWRuleLine(line, names);
                ASSERT_TRUE(parsed.accepted) << c.what << ": " << line;
                table.add(parsed.rule, 0);
            }
        }
        Engine engine(table);
        engine.setMyAddresses({ 0x0a000001 });
        engine.setInterfaceAddress("en0", 0x0a000001);
        EXPECT_EQ(verdictFor(engine, c.packet, kNow), c.verdict) << c.what;
    }
}

TEST(Engine, MatchedRulesCountPacketsBytesAndTime)
{
    Table table = tableOf({ "add 100 count ip from any to any", "add 200 skipto 400 tcp from any to any",
                            "add 300 deny ip from any to any", "add 400 allow ip from any to any" });
    Engine engine(table);
    verdictFor(engine, "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:2 syn len 100", kNow);
    verdictFor(engine, "in via en0 udp 1.2.3.4:1 -> 10.0.0.1:2 len 60", kNow + 5);
    EXPECT_EQ(ruleNumbered(table, 100).packets, 2u);
    EXPECT_EQ(ruleNumbered(table, 100).bytes, 160u);
    EXPECT_EQ(ruleNumbered(table, 100).lastMatch, kNow + 5);
    EXPECT_EQ(ruleNumbered(table, 200).packets, 1u);
    EXPECT_EQ(ruleNumbered(table, 300).packets, 1u);
    EXPECT_EQ(ruleNumbered(table, 400).packets, 1u);
    EXPECT_EQ(ruleNumbered(table, 400).lastMatch, kNow);
    EXPECT_EQ(ruleNumbered(table, 65535).packets, 0u);
}

TEST(Engine, KeepStateLetsAnswersBackUntilTheStateExpires)
{
    Table table = tableOf({ "add 1003 check-state", "add 2001 allow udp from any to any 53 keep-state out via en0",
                            "add 52003 allow all from any to any keep-state out via en0",
                            "add 52004 deny log all from any to any in via en0" });
    Engine engine(table);
    struct Step {
        std::int64_t at;
        const char* packet;
        const char* verdict;
    };
    const Step steps[] = {
        { 0, "out via en0 tcp 10.0.0.1:50000 -> 93.184.216.34:80 syn", "rule 52003 allow" },
        { 1, "in via en0 tcp 93.184.216.34:80 -> 10.0.0.1:50000 syn,ack", "rule 52003 allow (dynamic)" },
        { 1, "out via en0 tcp 10.0.0.1:50000 -> 93.184.216.34:80 ack", "rule 52003 allow (dynamic)" },
        { 2, "in via en0 tcp 93.184.216.34:80 -> 10.0.0.1:50001 ack", "rule 52004 deny" },
        { 2, "in via en0 tcp 93.184.216.35:80 -> 10.0.0.1:50000 ack", "rule 52004 deny" },
        // Established connections live for the ack lifetime (300 s) after their last packet.
        { 250, "in via en0 tcp 93.184.216.34:80 -> 10.0.0.1:50000 ack", "rule 52003 allow (dynamic)" },
        { 549, "in via en0 tcp 93.184.216.34:80 -> 10.0.0.1:50000 ack", "rule 52003 allow (dynamic)" },
        { 850, "in via en0 tcp 93.184.216.34:80 -> 10.0.0.1:50000 ack", "rule 52004 deny" },
        // A DNS question and its answer, through any interface; UDP states live 10 s.
        { 900, "out via en0 udp 10.0.0.1:5353 -> 8.8.8.8:53", "rule 2001 allow" },
        { 901, "in via en1 udp 8.8.8.8:53 -> 10.0.0.1:5353", "rule 2001 allow (dynamic)" },
        { 925, "in via en0 udp 8.8.8.8:53 -> 10.0.0.1:5353", "rule 52004 deny" },
        // A half-open connection is forgotten after the syn lifetime.
        { 1000, "out via en0 tcp 10.0.0.1:40000 -> 1.1.1.1:443 syn", "rule 52003 allow" },
        { 1030, "in via en0 tcp 1.1.1.1:443 -> 10.0.0.1:40000 syn,ack", "rule 52004 deny" },
    };
    for (const auto& s : steps) {
        EXPECT_EQ(verdictFor(engine, s.packet, kNow + s.at), s.verdict) << "at +" << s.at << ": " << s.packet;
    }
    EXPECT_EQ(ruleNumbered(table, 1003).packets, 0u) << "check-state itself counts nothing";
}

TEST(Engine, StateIsConsultedAtTheFirstStatefulRuleOnly)
{
    // The deny before the check-state wins over the state; the state answers at rule 500.
    Table table = tableOf({ "add 100 deny tcp from any 80 to any 5000", "add 500 check-state",
                            "add 600 allow tcp from any to any out keep-state" });
    Engine engine(table);
    EXPECT_EQ(verdictFor(engine, "out via en0 tcp 10.0.0.1:5000 -> 1.2.3.4:80 syn", kNow), "rule 600 allow");
    EXPECT_EQ(verdictFor(engine, "in via en0 tcp 1.2.3.4:80 -> 10.0.0.1:5000 syn,ack", kNow), "rule 100 deny");
    EXPECT_EQ(verdictFor(engine, "out via en0 tcp 10.0.0.1:5001 -> 1.2.3.4:80 syn", kNow), "rule 600 allow");
    EXPECT_EQ(verdictFor(engine, "in via en0 tcp 1.2.3.4:80 -> 10.0.0.1:5001 syn,ack", kNow),
              "rule 600 allow (dynamic)");
    EXPECT_EQ(ruleNumbered(table, 600).packets, 3u);
}

TEST(Engine, DynamicRulesStopAtTheLimitAndDieWithTheirRule)
{
    Table table = tableOf({ "add 100 check-state", "add 200 allow udp from any to any keep-state" });
    Engine engine(table);
    engine.setDynamicLimit(2);
    for (int port = 1; port <= 3; ++port) {
        EXPECT_EQ(verdictFor(engine, "out via en0 udp 10.0.0.1:" + std::to_string(port) + " -> 8.8.8.8:53", kNow),
                  "rule 200 allow");
    }
    EXPECT_EQ(table.dynamic().size(), 2u);
    table.remove(200);
    EXPECT_TRUE(table.dynamic().empty());
}

TEST(Engine, LoggedActionsAndFragmentsInEachReleasesWords)
{
    Table table = tableOf(
        { "add 100 divert 8668 log tcp from any to any 80", "add 110 fwd 127.0.0.1,3128 log tcp from any to any 8080",
          "add 120 fwd 10.0.0.9 log tcp from any to any 8081", "add 130 skipto 500 log udp from any to any",
          "add 140 tee 8000 log icmp from any to any", "add 150 unreach host log tcp from any to any 23",
          "add 160 unreach port log tcp from any to any 24", "add 170 reset log tcp from any to any 25",
          "add 500 deny log udp from any to any" },
        65535);
    const char* packets[] = {
        "in via en0 tcp 10.0.1.5:1234 -> 10.0.1.1:80 syn",   "in via en0 tcp 10.0.1.5:1234 -> 10.0.1.1:8080 syn",
        "in via en0 tcp 10.0.1.5:1234 -> 10.0.1.1:8081 syn", "out via en1 udp 10.0.1.1:53 -> 8.8.8.8:53",
        "in via en0 icmp 10.0.1.5 -> 10.0.1.1 type 0",       "in via en0 tcp 10.0.1.5:1234 -> 10.0.1.1:23 syn",
        "in via en0 tcp 10.0.1.5:1234 -> 10.0.1.1:24 syn",   "in via en0 tcp 10.0.1.5:1234 -> 10.0.1.1:25 syn",
        "in via en0 udp 10.0.1.5 -> 10.0.1.1 frag len 100",
    };
    struct Row {
        double toolkit;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        { 743.0,
          { "100 Divert 8668 TCP 10.0.1.5:1234 10.0.1.1:80 in via en0",
            "110 Forward to 127.0.0.1:3128 TCP 10.0.1.5:1234 10.0.1.1:8080 in via en0",
            "120 Forward to 10.0.0.9 TCP 10.0.1.5:1234 10.0.1.1:8081 in via en0",
            "130 SkipTo 500 UDP 10.0.1.1:53 8.8.8.8:53 out via en1", "500 Deny UDP 10.0.1.1:53 8.8.8.8:53 out via en1",
            "140 Tee 8000 ICMP:0.0 10.0.1.5 10.0.1.1 in via en0",
            "150 Unreach TCP 10.0.1.5:1234 10.0.1.1:23 in via en0",
            "160 Unreach TCP 10.0.1.5:1234 10.0.1.1:24 in via en0",
            "170 Reset TCP 10.0.1.5:1234 10.0.1.1:25 in via en0",
            "130 SkipTo 500 UDP 10.0.1.5 10.0.1.1 in via en0 Fragment = 185",
            "500 Deny UDP 10.0.1.5 10.0.1.1 in via en0 Fragment = 185" } },
        { 824.0,
          { "100 Divert 8668 TCP 10.0.1.5:1234 10.0.1.1:80 in via en0",
            "110 Forward to 127.0.0.1:3128 TCP 10.0.1.5:1234 10.0.1.1:8080 in via en0",
            "120 Forward to 10.0.0.9 TCP 10.0.1.5:1234 10.0.1.1:8081 in via en0",
            "130 SkipTo 500 UDP 10.0.1.1:53 8.8.8.8:53 out via en1", "500 Deny UDP 10.0.1.1:53 8.8.8.8:53 out via en1",
            "140 Tee 8000 ICMP:0.0 10.0.1.5 10.0.1.1 in via en0", "150 Reject TCP 10.0.1.5:1234 10.0.1.1:23 in via en0",
            "160 Unreach 3 TCP 10.0.1.5:1234 10.0.1.1:24 in via en0",
            "170 Reset TCP 10.0.1.5:1234 10.0.1.1:25 in via en0",
            "130 SkipTo 500 UDP 10.0.1.5 10.0.1.1 in via en0 (frag 0:100@185)",
            "500 Deny UDP 10.0.1.5 10.0.1.1 in via en0 (frag 0:100@185)" } },
    };
    for (const auto& row : rows) {
        kw::setReleaseFlags(row.toolkit);
        Engine engine(table);
        std::vector<std::string> lines;
        engine.setLogSink([&](const std::string& words, std::int64_t) { lines.push_back(words); }, true);
        for (const char* packet : packets) {
            verdictFor(engine, packet, kNow);
        }
        EXPECT_EQ(lines, row.lines) << row.toolkit;
    }
    kw::setReleaseFlags(kw::toolkitVersionNumber());
}

TEST(Engine, LogRulesWriteTheKernelLineWithinTheirLimit)
{
    kw::setReleaseFlags(743.0);
    Table table =
        tableOf({ "add 100 deny log logamount 2 tcp from any to any 22", "add 200 count log icmp from any to any",
                  "add 300 allow log udp from any to any", "add 400 deny log ip from any to any" },
                65535);
    Engine engine(table);
    std::vector<std::string> lines;
    engine.setLogSink([&](const std::string& words, std::int64_t) { lines.push_back(words); }, true);
    for (int i = 0; i < 3; ++i) {
        verdictFor(engine, "in via en0 tcp 10.0.1.5:1234 -> 10.0.1.1:22 syn", kNow);
    }
    verdictFor(engine, "in via en1 icmp 10.0.1.5 -> 10.0.1.1 type 8", kNow);
    verdictFor(engine, "out via ppp0 udp 10.0.1.1:5353 -> 8.8.8.8:53", kNow);
    verdictFor(engine, "in via en0 udp 10.0.1.5 -> 10.0.1.1 frag", kNow);
    verdictFor(engine, "in via en0 47 10.0.1.5 -> 10.0.1.1", kNow);
    const std::vector<std::string> expected = {
        "100 Deny TCP 10.0.1.5:1234 10.0.1.1:22 in via en0",
        "100 Deny TCP 10.0.1.5:1234 10.0.1.1:22 in via en0",
        "limit 2 reached on entry 100",
        "200 Count ICMP:8.0 10.0.1.5 10.0.1.1 in via en1",
        "400 Deny ICMP:8.0 10.0.1.5 10.0.1.1 in via en1",
        "300 Accept UDP 10.0.1.1:5353 8.8.8.8:53 out via ppp0",
        "300 Accept UDP 10.0.1.5 10.0.1.1 in via en0 Fragment = 185",
        "400 Deny P:47 10.0.1.5 10.0.1.1 in via en0",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(ruleNumbered(table, 100).packets, 3u) << "the limit stops the lines, not the counting";

    lines.clear();
    engine.setLogSink([&](const std::string& words, std::int64_t) { lines.push_back(words); }, false);
    verdictFor(engine, "in via en0 udp 10.0.1.5:1 -> 10.0.1.1:2", kNow);
    EXPECT_TRUE(lines.empty()) << "logging is off";
    table.zero();
    engine.setLogSink([&](const std::string& words, std::int64_t) { lines.push_back(words); }, true);
    verdictFor(engine, "in via en0 tcp 10.0.1.5:1234 -> 10.0.1.1:22 syn", kNow);
    EXPECT_EQ(lines.size(), 1u) << "zeroing the counters renews the log allowance";
    kw::setReleaseFlags(kw::toolkitVersionNumber());
}

TEST(Engine, IndexesFollowTableChanges)
{
    Table table = tableOf({ "add 100 allow tcp from any to any 22 via en0" });
    Engine engine(table);
    EXPECT_EQ(verdictFor(engine, "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:22 syn", kNow), "rule 100 allow");
    NameServices names;
    table.add(parseIPFWRuleLine("add 50 deny tcp from any to any 22", names).rule, 0);
    EXPECT_EQ(verdictFor(engine, "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:22 syn", kNow), "rule 50 deny");
    table.flush();
    EXPECT_EQ(verdictFor(engine, "in via en0 tcp 1.2.3.4:1 -> 10.0.0.1:22 syn", kNow), "rule 65535 allow");
}

TEST(PacketDescription, RejectsLinesItCannotRead)
{
    Table table;
    Engine engine(table);
    const char* bad[] = {
        "sideways via en0 tcp 1.2.3.4:1 -> 5.6.7.8:2",
        "in tcp 1.2.3.4:1 -> 5.6.7.8:2",
        "out via en0",
        "in via en0 tcp 1.2.3.4:1 5.6.7.8:2",
        "in via en0 tcp 1.2.3.444:1 -> 5.6.7.8:2",
        "in via en0 tcp 1.2.3.4:99999 -> 5.6.7.8:2",
        "in via en0 icmp 1.2.3.4:1 -> 5.6.7.8",
        "in via en0 udp 1.2.3.4:1 -> 5.6.7.8:2 syn",
        "in via en0 tcp 1.2.3.4:1 -> 5.6.7.8:2 len",
        "in via en0 bogus 1.2.3.4 -> 5.6.7.8",
        "sleep",
        "sleep -3",
    };
    for (const char* line : bad) {
        PacketLine p;
        std::string error;
        EXPECT_FALSE(parsePacketLine(line, engine, p, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
    PacketLine p;
    std::string error;
    EXPECT_TRUE(parsePacketLine("   # a comment", engine, p, error));
    EXPECT_EQ(p.kind, PacketLine::Kind::Nothing);
    EXPECT_TRUE(parsePacketLine("sleep 30", engine, p, error));
    EXPECT_EQ(p.kind, PacketLine::Kind::Sleep);
    EXPECT_EQ(p.seconds, 30);
}

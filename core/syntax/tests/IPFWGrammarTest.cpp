// The rule grammar: which rules it accepts, the exact messages it reports, and the rule it
// builds. Each case is one rule line checked on its own (so its events name line 1).
#include "SyntaxTestRoot.h"
#include "syntax/IPFWParser.h"

#include <gtest/gtest.h>

namespace kw::test {
namespace {

struct RuleCase {
    const char* line;
    bool accepted;
    std::vector<std::string> messages;
};

std::ostream& operator<<(std::ostream& os, const RuleCase& c)
{
    return os << c.line;
}

const RuleCase kRuleCases[] = {
    // The command word and the rule number.
    { "add 100 allow ip from any to any", true, {} },
    { "add allow ip from any to any", true, {} },
    { "foo allow ip from any to any", true, {} },
    { "add", false, { "missing action" } },
    { "add 100", false, { "missing action" } },
    // Actions and their abbreviations (the first keyword in table order wins).
    { "add 100 a ip from any to any", true, {} },
    { "add 100 pe ip from any to any", true, {} },
    { "add 100 d ip from any to any", false, { "illegal divert port" } },
    { "add 100 de ip from any to any", true, {} },
    { "add 100 dr ip from any to any", true, {} },
    { "add 100 re tcp from any to any", true, {} },
    { "add 100 res tcp from any to any", true, {} },
    { "add 100 c ip from any to any", true, {} },
    { "add 100 frob ip from any to any", false, { "invalid action ``frob''" } },
    { "add 100 accepts ip from any to any", false, { "invalid action ``accepts''" } },
    { "add 100 check-state anything at all", true, {} },
    { "add 100 ch", true, {} },
    // Match probability.
    { "add 100 p ip from any to any", false, { "illegal match prob. ip" } },
    { "add 100 prob 0.5 deny ip from any to any", true, {} },
    { "add 100 prob 1 deny ip from any to any", true, {} },
    { "add 100 prob 0 deny ip from any to any", false, { "illegal match prob. 0" } },
    { "add 100 prob 1.5 deny ip from any to any", false, { "illegal match prob. 1.5" } },
    { "add 100 prob nan deny ip from any to any", false, { "illegal match prob. nan" } },
    { "add 100 prob", false, { "invalid action ``prob''" } },
    // divert and tee.
    { "add 100 divert natd ip from any to any", true, {} },
    { "add 100 divert 8668 ip from any to any", true, {} },
    { "add 100 divert 0x21dc ip from any to any", true, {} },
    { "add 100 divert", false, { "missing divert port" } },
    { "add 100 tee", false, { "missing tee divert port" } },
    { "add 100 divert http ip from any to any", false, { "illegal divert port" } },
    { "add 100 tee bogus ip from any to any", false, { "illegal tee divert port" } },
    { "add 100 divert 65536 ip from any to any", false, { "illegal divert port" } },
    // fwd.
    { "add 100 fwd 127.0.0.1,3128 tcp from any to me 80", true, {} },
    { "add 100 forward 127.0.0.1:3128 tcp from any to me 80", true, {} },
    { "add 100 fwd 10.1.2.3,http tcp from any to any", true, {} },
    { "add 100 fwd gateway.test ip from any to any", true, {} },
    { "add 100 fwd", false, { "missing forwarding IP address" } },
    { "add 100 fwd any ip from any to any", false, { "illegal forwarding IP address" } },
    { "add 100 fwd 0.0.0.0 ip from any to any", false, { "illegal forwarding IP address" } },
    { "add 100 fwd 10.1.2.3,nosuchport ip from any to any", false, { "illegal forwarding port ``nosuchport''" } },
    { "add 100 fwd 10.1.2.3:70000 ip from any to any", false, { "illegal forwarding port ``70000''" } },
    { "add 100 fwd nohost.invalid ip from any to any",
      false,
      { "hostname ``nohost.invalid'' unknown", "illegal forwarding IP address" } },
    { "add 100 fwd 10.1.2.3/33 ip from any to any", false, { "bad width ``33''", "illegal forwarding IP address" } },
    // skipto.
    { "add 100 skipto 5000 tcp from any to any", true, {} },
    { "add 100 skipto", false, { "missing skipto rule number" } },
    // reject, reset, unreach.
    { "add 100 reject ip from any to any", true, {} },
    { "add 100 reset tcp from any to any", true, {} },
    { "add 100 reset udp from any to any", false, { "``reset'' is only valid for tcp packets" } },
    { "add 100 unreach host tcp from any to any", true, {} },
    { "add 100 unreach HOST-Prohib tcp from any to any", true, {} },
    { "add 100 unreach 3 udp from any to any", true, {} },
    { "add 100 unreach 255 udp from any to any", true, {} },
    { "add 100 unreach 0x3 udp from any to any", true, {} },
    { "add 100 unreach 256 udp from any to any", false, { "unknown ICMP unreachable code ``256''" } },
    { "add 100 unreach ho udp from any to any", false, { "unknown ICMP unreachable code ``ho''" } },
    // An unknown code is reported and the rest of the rule is still examined.
    { "add 100 unreach bogus udp from any to any frob",
      false,
      { "unknown ICMP unreachable code ``bogus''", "unknown argument ``frob''" } },
    { "add 100 unreach", false, { "missing ICMP unreachable code" } },
    // Logging.
    { "add 100 deny log ip from any to any", true, {} },
    { "add 100 deny log logamount 100 ip from any to any", true, {} },
    { "add 100 deny l l 5 ip from any to any", true, {} },
    { "add 100 allow ip log from any to any", false, { "missing ``from''" } },
    { "add 100 allow logamount 5 ip from any to any", false, { "``logamount'' not valid without ``log''" } },
    { "add 100 allow log logamount", false, { "``logamount'' requires argument" } },
    { "add 100 allow log logamount -5 ip from any to any", false, { "``logamount'' argument must be positive" } },
    // Protocol.
    { "add 100 allow", false, { "missing protocol" } },
    { "add 100 allow 6 from any to any 80", true, {} },
    { "add 100 allow 262 from any to any 80", true, {} },
    { "add 100 allow 47 from any to any", true, {} },
    { "add 100 allow gre from any to any", true, {} },
    { "add 100 allow a from any to any", true, {} },
    { "add 100 allow 256 from any to any", false, { "invalid protocol ``256''" } },
    { "add 100 allow 0 from any to any", false, { "invalid protocol ``0''" } },
    { "add 100 allow bogus from any to any", false, { "invalid protocol ``bogus''" } },
    // Source and destination.
    { "add 100 allow tcp", false, { "missing ``from''" } },
    { "add 100 allow tcp to any", false, { "missing ``from''" } },
    { "add 100 allow tcp from", false, { "missing arguments" } },
    { "add 100 allow tcp from not", false, { "missing arguments" } },
    { "add 100 allow tcp from any", false, { "missing ``to''" } },
    { "add 100 allow tcp from any to", false, { "missing arguments" } },
    { "add 100 allow tcp from any to not", false, { "missing arguments" } },
    { "add 100 allow ip from not me to not 10.0.0.0/8", true, {} },
    { "add 100 allow ip from localhost to gateway", true, {} },
    { "add 100 allow ip from 10.0.0.0/8 to 192.168.0.0:255.255.0.0", true, {} },
    { "add 100 allow ip from 10.0.0.0/0 to 10/8", true, {} },
    { "add 100 allow ip from 10.0.0.0/33 to any", false, { "bad width ``33''" } },
    { "add 100 allow ip from 10.0.0.0/-1 to any", false, { "bad width ``-1''" } },
    { "add 100 allow ip from 10.0.0.0:255.0.0.x to any", false, { "bad netmask ``255.0.0.x''" } },
    { "add 100 allow ip from nohost.invalid to any", false, { "hostname ``nohost.invalid'' unknown" } },
    { "add 100 allow ip from any to nohost.invalid/24", false, { "hostname ``nohost.invalid'' unknown" } },
    // Ports.
    { "add 100 allow ip from any to any 80",
      false,
      { "only TCP and UDP protocols are valid with port specifications" } },
    { "add 100 allow icmp from any 80 to any",
      false,
      { "only TCP and UDP protocols are valid with port specifications" } },
    // A name is a port only when the rule's protocol has such a service.
    { "add 100 allow icmp from any http to any", false, { "missing ``to''" } },
    { "add 100 allow tcp from any 1-2,3 to any", true, {} },
    { "add 100 allow tcp from any 0-1023 to any 1024-", true, {} },
    // A word that begins with the dash is not taken for a port.
    { "add 100 allow tcp from any -1023 to any", false, { "missing ``to''" } },
    { "add 100 allow tcp from any 1024:64512 to any", true, {} },
    { "add 100 allow tcp from any to any http,smtp,ftp", true, {} },
    { "add 100 allow udp from any domain to any ntp", true, {} },
    { "add 100 allow udp from any to any http", false, { "unknown argument ``http''" } },
    { "add 100 allow tcp from any 1,2,3,4,5,6 to any 7,8,9,10", true, {} },
    { "add 100 allow tcp from any 1,2,3,4,5,6 to any 7,8,9,10,11", false, { "too many ports (max is 10)" } },
    { "add 100 allow tcp from any 1-2,3,4,5,6,7,8,9,10 to any 11,12",
      false,
      { "too many ports (max is 10)", "too many ports (max is 10)" } },
    { "add 100 allow tcp from any to any ftp-data", false, { "unknown port ``data''" } },
    { "add 100 allow tcp from any to any ftp\\-data", true, {} },
    { "add 100 allow tcp from any to any 70000", false, { "port ``70000'' out of range" } },
    { "add 100 allow tcp from any to any 80,", false, { "unknown port ``''" } },
    { "add 100 allow tcp from any to any 80,nosuch,81 in", false, { "unknown port ``nosuch''" } },
    { "add 100 allow tcp from any to any 1\\,2-3", false, { "port range must be first in list" } },
    { "add 100 allow tcp from any to any 1\\,2:3", false, { "port/mask must be first in list" } },
    // Options.
    { "add 100 allow tcp from any to any 22 in via en0 setup keep-state", true, {} },
    { "add 100 allow ip from any to any in out bridged fragment", true, {} },
    { "add 100 allow ip from any to any keep-state 2 in", true, {} },
    { "add 100 allow tcp from any to any in bogus", false, { "unknown argument ``bogus''" } },
    { "add 100 allow ip from any to any uid root", true, {} },
    { "add 100 allow ip from any to any uid 0", true, {} },
    { "add 100 allow ip from any to any uid nosuchuser", false, { "uid \"nosuchuser\" is nonexistant" } },
    { "add 100 allow ip from any to any uid", false, { "``uid'' requires argument" } },
    // Interfaces.
    { "add 100 allow ip from any to any xmit en0", false, { "can't check xmit interface of incoming packets" } },
    { "add 100 allow ip from any to any out xmit en0", true, {} },
    { "add 100 allow ip from any to any xmit en0 out", true, {} },
    { "add 100 allow ip from any to any in xmit en0", false, { "can't check xmit interface of incoming packets" } },
    { "add 100 allow ip from any to any recv en0 xmit en1 out", true, {} },
    { "add 100 allow ip from any to any via en0 recv en1",
      false,
      { "``via'' is incompatible with ``xmit'' and ``recv''" } },
    { "add 100 allow ip from any to any out xmit en1 via en0",
      false,
      { "``via'' is incompatible with ``xmit'' and ``recv''" } },
    { "add 100 allow ip from any to any via", false, { "missing argument for ``via''" } },
    { "add 100 allow ip from any to any out xmit", false, { "missing argument for ``xmit''" } },
    { "add 100 allow ip from any to any recv", false, { "missing argument for ``recv''" } },
    { "add 100 allow ip from any to any via any", true, {} },
    { "add 100 allow ip from any to any via lo*", true, {} },
    { "add 100 allow ip from any to any via 10.0.0.1", true, {} },
    { "add 100 allow ip from any to any via 10.0.0.x in bogus",
      false,
      { "bad ip address ``10.0.0.x''", "unknown argument ``bogus''" } },
    // IP options.
    { "add 100 deny ip from any to any ipoptions ssrr,lsrr,ts,rr", true, {} },
    { "add 100 deny ip from any to any ipoptions !rr,bogus", true, {} },
    { "add 100 deny ip from any to any ipoptions", false, { "missing argument for ``ipoptions''" } },
    // TCP only options.
    { "add 100 allow tcp from any to any established", true, {} },
    { "add 100 allow udp from any to any established", false, { "unknown argument ``established''" } },
    { "add 100 allow tcp from any to any tcpflags syn,!ack", true, {} },
    { "add 100 allow tcp from any to any tcpflgs s,!a,u", true, {} },
    { "add 100 allow tcp from any to any tcpflags syn,bogus,fin frob",
      false,
      { "invalid tcp flag ``bogus''", "unknown argument ``frob''" } },
    { "add 100 allow tcp from any to any tcpflags !", false, { "invalid tcp flag ``''" } },
    { "add 100 allow tcp from any to any tcpflags", false, { "missing argument for ``tcpflags''" } },
    { "add 100 allow tcp from any to any tcpflgs", false, { "missing argument for ``tcpflags''" } },
    { "add 100 allow tcp from any to any tcpoptions mss,!window", true, {} },
    { "add 100 allow tcp from any to any tcpopts foo", false, { "invalid tcp option ``foo''" } },
    { "add 100 allow tcp from any to any tcpopts", false, { "missing argument for ``tcpoptions''" } },
    { "add 100 allow udp from any to any setup", false, { "unknown argument ``setup''" } },
    // ICMP types.
    { "add 100 allow icmp from any to any icmptypes 0,8", true, {} },
    { "add 100 allow icmp from any to any icmptypes 0x7f,010", true, {} },
    { "add 100 allow icmp from any to any icmptypes 200", false, { "ICMP type out of range" } },
    { "add 100 allow icmp from any to any icmptypes 200,8,300",
      false,
      { "ICMP type out of range", "ICMP type out of range" } },
    { "add 100 allow icmp from any to any icmptypes 8x", false, { "invalid ICMP type" } },
    { "add 100 allow icmp from any to any icmptypes 8x,200", false, { "invalid ICMP type" } },
    { "add 100 allow icmp from any to any icmptypes", false, { "missing argument for ``icmptypes''" } },
    { "add 100 allow tcp from any to any icmptypes 8", false, { "unknown argument ``icmptypes''" } },
    // Fragments.
    { "add 100 allow tcp from any to any frag setup", false, { "can't mix 'frag' and tcpflags" } },
    { "add 100 allow tcp from any to any frag tcpflags !fin", false, { "can't mix 'frag' and tcpflags" } },
    { "add 100 allow tcp from any to any frag established", true, {} },
    { "add 100 allow tcp from any to any 80 frag", false, { "can't mix 'frag' and port specifications" } },
    { "add 100 allow tcp from any to any 80 frag setup",
      false,
      { "can't mix 'frag' and tcpflags", "can't mix 'frag' and port specifications" } },
};

class RuleCaseTest : public SyntaxTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(RuleCaseTest, AcceptsOrReportsExactly)
{
    const RuleCase& c = GetParam();
    EventRecorder recorder;
    const int result = checkIPFWText(c.line, names());
    EXPECT_EQ(result, c.accepted ? 1 : 0);
    EXPECT_EQ(recorder.messages(), c.messages);
    for (const auto& e : recorder.events()) {
        EXPECT_EQ(e.line, 1);
        EXPECT_EQ(e.type, IPFWParserErrorEvent);
    }
    // The side-effect-free parse agrees with the check.
    const auto parsed = parseIPFWRuleLine(c.line, names());
    EXPECT_EQ(parsed.accepted, c.accepted);
    EXPECT_EQ(parsed.errors, c.messages);
}

INSTANTIATE_TEST_SUITE_P(Grammar, RuleCaseTest, ::testing::ValuesIn(kRuleCases));

// The rule the grammar builds, written back as the listing shows it.
struct TextCase {
    const char* line;
    const char* text;
};

const TextCase kTextCases[] = {
    { "add 100 allow tcp from any to any 22 in via en0 setup keep-state",
      "allow tcp from any to any 22 in via en0 setup keep-state" },
    { "add 1001 divert natd all from any to any via en1", "divert 8668 ip from any to any via en1" },
    { "add 1 tee 8668 ip from 10.0.0.0/0 to any", "tee 8668 ip from any to any" },
    { "add 100 fwd 127.0.0.1,3128 tcp from any to me 80", "fwd 127.0.0.1,3128 tcp from any to me 80" },
    { "add 100 fwd 10.1.2.3 ip from any to any", "fwd 10.1.2.3 ip from any to any" },
    { "add 100 skipto 5000 ip from any to any", "skipto 5000 ip from any to any" },
    { "add 100 reject tcp from any to any", "unreach host tcp from any to any" },
    { "add 100 unreach 3 udp from any to any", "unreach port udp from any to any" },
    { "add 100 unreach 200 udp from any to any", "unreach 200 udp from any to any" },
    { "add 100 res tcp from any to any", "reset tcp from any to any" },
    { "add 100 drop log logamount 100 ip from any to any", "deny log logamount 100 ip from any to any" },
    { "add 100 c log ip from any to any", "count log ip from any to any" },
    { "add 100 prob 0.5 deny ip from not me to not 10.1.2.3/8", "prob 0.5 deny ip from not me to not 10.0.0.0/8" },
    { "add 100 allow ip from 10.1.2.3:255.0.255.0 to 192.0.2.7", "allow ip from 10.0.2.0:255.0.255.0 to 192.0.2.7" },
    { "add 100 allow ip from localhost to server.test/24", "allow ip from 127.0.0.1 to 192.0.2.0/24" },
    { "add 100 allow tcp from any 1-1023,8080 to any ftp\\-data,http", "allow tcp from any 1-1023,8080 to any 20,80" },
    { "add 100 allow tcp from any 0-1023 to any 1024-", "allow tcp from any 0-1023 to any 1024-65535" },
    { "add 100 allow tcp from any 1024:64512 to any", "allow tcp from any 1024:64512 to any" },
    { "add 100 allow tcp from any to any xmit en1 out keep-state",
      "allow tcp from any to any out xmit en1 keep-state" },
    { "add 100 allow udp from any to any recv lo* xmit ppp out", "allow udp from any to any out recv lo* xmit ppp0" },
    { "add 100 allow ip from any to any via 10.0.0.1 bridged in", "allow ip from any to any in bridged via 10.0.0.1" },
    { "add 100 allow ip from any to any via any", "allow ip from any to any via any" },
    { "add 100 allow tcp from any to any established ipoptions ssrr keep-state",
      "allow tcp from any to any ipoptions ssrr established keep-state" },
    { "add 100 deny ip from any to any ipoptions s,l,t,r,!x", "deny ip from any to any ipoptions ssrr,lsrr,rr,ts" },
    { "add 100 allow icmp from any to any icmptypes 8,0", "allow icmp from any to any icmptypes 0,8" },
    { "add 100 count tcp from any to any tcpflags s,!a,f", "count tcp from any to any tcpflags syn,fin,!ack" },
    { "add 100 count tcp from any to any tcpoptions !mss,window,sack,ts,cc",
      "count tcp from any to any tcpoptions window,sack,ts,cc,!mss" },
    { "add 100 allow tcp from any to any uid 0", "allow tcp from any to any uid root" },
    { "add 100 allow 47 from any to any", "allow gre from any to any" },
    { "add 100 allow 200 from any to any", "allow 200 from any to any" },
    { "add 100 allow ip from any to any frag keep-state 3", "allow ip from any to any frag keep-state 3" },
    { "add 100 check-state", "check-state" },
};

std::ostream& operator<<(std::ostream& os, const TextCase& c)
{
    return os << c.line;
}

class RuleTextTest : public SyntaxTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(RuleTextTest, WritesTheListingTextAndReadsItBack)
{
    const TextCase& c = GetParam();
    const auto parsed = parseIPFWRuleLine(c.line, names());
    ASSERT_TRUE(parsed.accepted) << ::testing::PrintToString(parsed.errors);
    EXPECT_EQ(ruleText(parsed.rule), c.text);

    const auto again = parseIPFWRuleLine(std::string("add ") + c.text, names());
    ASSERT_TRUE(again.accepted) << ::testing::PrintToString(again.errors);
    EXPECT_EQ(ruleText(again.rule), c.text);
}

INSTANTIATE_TEST_SUITE_P(Grammar, RuleTextTest, ::testing::ValuesIn(kTextCases));

TEST_F(SyntaxTest, RuleFieldsAreReadyForMatching)
{
    const auto r = parseIPFWRuleLine("add 2010 prob 0.25 allow log logamount 7 tcp from not 10.1.2.3/8 1-2,3 "
                                     "to me 80:65520 in recv en0 keep-state",
                                     names());
    ASSERT_TRUE(r.accepted) << ::testing::PrintToString(r.errors);
    const IPFWRule& rule = r.rule;
    EXPECT_EQ(rule.number, 2010u);
    EXPECT_DOUBLE_EQ(rule.probability, 0.25);
    EXPECT_EQ(rule.action, IPFWAction::Accept);
    EXPECT_TRUE(rule.log);
    EXPECT_EQ(rule.logAmount, 7u);
    EXPECT_EQ(rule.protocol, 6);
    EXPECT_TRUE(rule.source.negated);
    EXPECT_EQ(rule.source.address, 0x0a000000u);
    EXPECT_EQ(rule.source.mask, 0xff000000u);
    EXPECT_FALSE(rule.source.matches(0x0a090909u, false));
    EXPECT_TRUE(rule.source.matches(0x0b000001u, false));
    EXPECT_TRUE(rule.destination.me);
    EXPECT_TRUE(rule.destination.matches(0x7f000001u, true));
    EXPECT_EQ(rule.sourcePortKind, IPFWPortKind::Range);
    EXPECT_EQ(std::vector<std::uint16_t>(rule.sourcePorts().begin(), rule.sourcePorts().end()),
              (std::vector<std::uint16_t> { 1, 2, 3 }));
    EXPECT_TRUE(rule.sourcePortMatches(2));
    EXPECT_TRUE(rule.sourcePortMatches(3));
    EXPECT_FALSE(rule.sourcePortMatches(4));
    EXPECT_EQ(rule.destinationPortKind, IPFWPortKind::Mask);
    EXPECT_TRUE(rule.destinationPortMatches(80));
    EXPECT_TRUE(rule.destinationPortMatches(95)); // 95 & 0xfff0 == 80
    EXPECT_FALSE(rule.destinationPortMatches(96));
    EXPECT_TRUE(rule.in);
    EXPECT_FALSE(rule.out);
    EXPECT_EQ(rule.recv.kind, IPFWInterface::Kind::Name);
    EXPECT_EQ(rule.recv.name, "en");
    EXPECT_EQ(rule.recv.unit, 0);
    EXPECT_TRUE(rule.recv.matches("en0", 0));
    EXPECT_FALSE(rule.recv.matches("en1", 0));
    EXPECT_TRUE(rule.keepState);
}

TEST_F(SyntaxTest, RuleLineLosesItsComment)
{
    const auto r = parseIPFWRuleLine("add 100 deny ip from any to any#in via en0", names());
    ASSERT_TRUE(r.accepted);
    EXPECT_EQ(ruleText(r.rule), "deny ip from any to any");
    EXPECT_FALSE(parseIPFWRuleLine("# add 100 deny ip from any to any", names()).accepted);
}

TEST_F(SyntaxTest, RuleWithoutDirectionAppliesToBoth)
{
    const auto r = parseIPFWRuleLine("add allow ip from any to any", names());
    ASSERT_TRUE(r.accepted);
    EXPECT_EQ(r.rule.number, 0u);
    EXPECT_TRUE(r.rule.in);
    EXPECT_TRUE(r.rule.out);
    EXPECT_TRUE(r.rule.sourcePortMatches(1234));
}

TEST_F(SyntaxTest, ActionArgumentsAreKept)
{
    struct Case {
        const char* line;
        IPFWAction action;
        std::uint16_t divertPort;
        std::uint32_t forwardAddress;
        std::uint16_t forwardPort;
        std::uint32_t skipTo;
        int rejectCode;
    };
    const Case cases[] = {
        { "add divert natd ip from any to any", IPFWAction::Divert, 8668, 0, 0, 0, 0 },
        { "add tee 0x10 ip from any to any", IPFWAction::Tee, 16, 0, 0, 0, 0 },
        { "add fwd gateway,22 tcp from any to any", IPFWAction::Forward, 0, 0x0a010203u, 22, 0, 0 },
        { "add skipto 65000 ip from any to any", IPFWAction::SkipTo, 0, 0, 0, 65000, 0 },
        { "add unreach filter-prohib ip from any to any", IPFWAction::Reject, 0, 0, 0, 0, 13 },
        { "add reject ip from any to any", IPFWAction::Reject, 0, 0, 0, 0, 1 },
        { "add reset tcp from any to any", IPFWAction::Reject, 0, 0, 0, 0, kIPFWRejectReset },
        { "add check-state", IPFWAction::CheckState, 0, 0, 0, 0, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto r = parseIPFWRuleLine(c.line, names());
        ASSERT_TRUE(r.accepted) << ::testing::PrintToString(r.errors);
        EXPECT_EQ(r.rule.action, c.action);
        EXPECT_EQ(r.rule.divertPort, c.divertPort);
        EXPECT_EQ(r.rule.forwardAddress, c.forwardAddress);
        EXPECT_EQ(r.rule.forwardPort, c.forwardPort);
        EXPECT_EQ(r.rule.skipToRule, c.skipTo);
        EXPECT_EQ(r.rule.rejectCode, c.rejectCode);
    }
}

TEST_F(SyntaxTest, InterfaceNamesAreCutAndSplitIntoUnit)
{
    struct Case {
        const char* word;
        IPFWInterface::Kind kind;
        const char* name;
        int unit;
        bool anyUnit;
    };
    const Case cases[] = {
        { "en0", IPFWInterface::Kind::Name, "en", 0, false },
        { "lo*", IPFWInterface::Kind::Name, "lo", 0, true },
        { "ppp", IPFWInterface::Kind::Name, "ppp", 0, false },
        { "fxp12", IPFWInterface::Kind::Name, "fxp", 12, false },
        { "verylongname7", IPFWInterface::Kind::Name, "verylongn", 0, false },
        { "lagg0_vlan2342", IPFWInterface::Kind::Name, "lagg", 0, false },
        { "any", IPFWInterface::Kind::Any, "", 0, false },
        { "10.0.0.1", IPFWInterface::Kind::Address, "", 0, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        const auto r = parseIPFWRuleLine(std::string("add allow ip from any to any via ") + c.word, names());
        ASSERT_TRUE(r.accepted);
        EXPECT_EQ(r.rule.via.kind, c.kind);
        EXPECT_EQ(r.rule.via.name, c.name);
        EXPECT_EQ(r.rule.via.unit, c.unit);
        EXPECT_EQ(r.rule.via.anyUnit, c.anyUnit);
    }
}

TEST_F(SyntaxTest, KeywordMatchingTakesNonEmptyBeginnings)
{
    using ipfw::matchesKeyword;
    EXPECT_TRUE(matchesKeyword("a", "accept"));
    EXPECT_TRUE(matchesKeyword("acc", "accept"));
    EXPECT_TRUE(matchesKeyword("accept", "accept"));
    EXPECT_FALSE(matchesKeyword("accepts", "accept"));
    EXPECT_FALSE(matchesKeyword("", "accept"));
    EXPECT_FALSE(matchesKeyword("logamount", "log"));
    EXPECT_TRUE(matchesKeyword("log", "logamount"));
}

TEST_F(SyntaxTest, AddTakesWordsUpToTheNullEntry)
{
    EventRecorder recorder;
    const char* words[] = { "add", "100", "allow", "ip", "from", "any", "to", "any", nullptr, "junk" };
    EXPECT_EQ(add(10, words, names()), 1);
    EXPECT_EQ(add(4, words, names()), 0);
    EXPECT_EQ(add(0, words, names()), 0);
    EXPECT_EQ(recorder.messages(), (std::vector<std::string> { "missing ``from''", "missing action" }));
}

TEST_F(SyntaxTest, AddWithoutGivenDatabasesUsesTheSystemRoot)
{
    EventRecorder recorder;
    const char* words[] = { "add", "divert", "natd", "tcp", "from", "localhost", "to", "any", "http", nullptr };
    EXPECT_EQ(add(9, words), 1);
    EXPECT_TRUE(recorder.events().empty());
}

TEST_F(SyntaxTest, ReportErrorCutsMessagesAndPostsTheEvent)
{
    EventRecorder recorder;
    std::lock_guard lock(ipfwCheckLock());
    lineno = 42;
    const std::string longWord(150, 'x');
    ::testing::internal::CaptureStderr();
    report_error("invalid action ``%s''", longWord.c_str());
    report_error("second %d", 2);
    const std::string err = ::testing::internal::GetCapturedStderr();

    const std::string first = ("invalid action ``" + longWord).substr(0, 99);
    ASSERT_EQ(recorder.events().size(), 2u);
    EXPECT_EQ(recorder.events()[0], (Event { 42, first, IPFWParserErrorEvent }));
    EXPECT_EQ(recorder.events()[1], (Event { 42, "second 2", IPFWParserErrorEvent }));
    // No line break between consecutive messages.
    EXPECT_EQ(err, "error: " + first + "error: second 2");
}

TEST_F(SyntaxTest, LongRuleMessageIsCutTo99Characters)
{
    EventRecorder recorder;
    const std::string word(300, 'q');
    EXPECT_EQ(checkIPFWText("add 100 " + word + " ip from any to any", names()), 0);
    ASSERT_EQ(recorder.events().size(), 1u);
    EXPECT_EQ(recorder.events()[0].message.size(), 99u);
    EXPECT_EQ(recorder.events()[0].message, ("invalid action ``" + word).substr(0, 99));
}

TEST_F(SyntaxTest, EventCarriesTheExportedNames)
{
    EXPECT_STREQ(IPFWParserSyntaxEventNotification, "IPFWParserSyntaxEventNotification");
    EXPECT_STREQ(IPFWParserLineNumberItem, "IPFWParserLineNumberItem");
    EXPECT_STREQ(IPFWParserEventTypeItem, "IPFWParserEventTypeItem");
    EXPECT_STREQ(IPFWParserErrorEvent, "IPFWParserErrorEvent");
    EXPECT_STREQ(IPFWParserWarningEvent, "IPFWParserWarningEvent");

    std::vector<Notification> seen;
    ScopedObserver observer(NotificationCenter::defaultCenter(), IPFWParserSyntaxEventNotification,
                            [&seen](const Notification& n) { seen.push_back(n); });
    checkIPFWText("\nadd 1 frob", names());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].object, Value("invalid action ``frob''"));
    Value::Dictionary expected;
    expected.emplace(IPFWParserLineNumberItem, Value::integer(2));
    expected.emplace(IPFWParserEventTypeItem, Value(IPFWParserErrorEvent));
    EXPECT_EQ(seen[0].userInfo, Value(expected));
}

} // namespace
} // namespace kw::test

#include "monitor/IPFWListingParser.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using kw::IPFWListingParser;
using kw::ListingResult;
using kw::RuleKey;
using kw::RuleRow;

namespace {

constexpr const char* kTime = "Thu Mar  6 14:02:51 2003";
const std::string kNoTime(24, ' ');

std::optional<std::string> serviceName(int port)
{
    static const std::map<int, std::string> names = { { 21, "ftp" },   { 22, "ssh" },     { 53, "domain" },
                                                      { 80, "http" },  { 1023, "last" },  { 8080, "http-alt" },
                                                      { 1, "tcpmux" }, { 1024, "beyond" } };
    const auto it = names.find(port);
    return it != names.end() ? std::optional<std::string>(it->second) : std::nullopt;
}

// Expected values of a row: a value, or std::nullopt for a key that must be absent.
using Expectation = std::vector<std::pair<RuleKey, std::optional<std::string>>>;

void expectRow(const RuleRow& row, const Expectation& expected, const std::string& what)
{
    for (const auto& [key, value] : expected) {
        if (value) {
            EXPECT_TRUE(row.has(key)) << what << ": " << kw::ruleKeyName(key) << " missing";
            EXPECT_EQ(row.text(key), *value) << what << ": " << kw::ruleKeyName(key);
        } else {
            EXPECT_FALSE(row.has(key)) << what << ": " << kw::ruleKeyName(key) << " is \"" << row.text(key) << '"';
        }
    }
}

// The one row of a listing of one static line.
RuleRow onlyRow(const IPFWListingParser& parser, const std::string& line)
{
    const ListingResult result = parser.parseOutput(line + "\n");
    EXPECT_EQ(result.ruleRows.size(), 1u) << line;
    EXPECT_TRUE(result.dynamicFilters.empty()) << line;
    return result.ruleRows.empty() ? RuleRow() : result.ruleRows.front();
}

std::vector<std::string> filters(const ListingResult& result)
{
    std::vector<std::string> texts;
    for (const auto& row : result.ruleRows) {
        texts.push_back(row.text(RuleKey::FilterItem));
    }
    return texts;
}

TEST(IPFWListingParser, ListingLinesGiveTheirCountersTimeAndRuleText)
{
    const IPFWListingParser named(serviceName);
    const IPFWListingParser unnamed;
    const std::string line = std::string("00100 12 345 ") + kTime + " allow tcp from any to 10.0.0.1 80 in recv en0";
    const Expectation common = {
        { RuleKey::OrderItem, "100" },
        { RuleKey::PacketItem, "12" },
        { RuleKey::ByteItem, "345" },
        { RuleKey::DateItem, kTime },
        { RuleKey::FilterItem, "allow tcp from any to 10.0.0.1 80 in recv en0" },
        { RuleKey::Action, "allow" },
        { RuleKey::Log, std::nullopt },
        { RuleKey::Proto, "tcp" },
        { RuleKey::SrcHost, "any" },
        { RuleKey::SrcPort, "" },
        { RuleKey::DstHost, "10.0.0.1" },
        { RuleKey::DstPort, "80" },
        { RuleKey::Interface, "en0" },
        { RuleKey::Direction, "in" },
        { RuleKey::IpOptions, std::nullopt },
        { RuleKey::IcmpTypes, std::nullopt },
        { RuleKey::TcpFlags, std::nullopt },
        { RuleKey::KeepState, std::nullopt },
        { RuleKey::IpState, std::nullopt },
        { RuleKey::Source, "Any Host\nAny Port" },
        { RuleKey::Traffic, "12 packets\n0.3K bytes" },
        { RuleKey::ExpertOpts, "None" },
    };
    const RuleRow withNames = onlyRow(named, line);
    expectRow(withNames, common, "with names");
    expectRow(withNames, { { RuleKey::Destination, "10.0.0.1\nhttp (80)" } }, "with names");
    const RuleRow withoutNames = onlyRow(unnamed, line);
    expectRow(withoutNames, common, "without names");
    expectRow(withoutNames, { { RuleKey::Destination, "10.0.0.1\nPort 80" } }, "without names");
    EXPECT_EQ(withNames.number(RuleKey::OrderItem), 100);
    EXPECT_EQ(withNames.string(RuleKey::OrderItem), nullptr);
}

// Every blank filler a release prints for a rule that never matched, and the time of one that did.
TEST(IPFWListingParser, TimeOrBlanksOfEveryRelease)
{
    struct Case {
        const char* release;
        std::string line;
        std::optional<std::string> date;
        std::string filter = "deny tcp from any to any 23 in";
    };
    const std::string rule = "deny tcp from any to any 23 in";
    const Case cases[] = {
        { "10.1 never matched (25 blanks)", "00100 0 0 " + std::string(25, ' ') + rule, std::nullopt },
        { "10.2/10.3 never matched (tabs)", "00100 0 0 \t\t\t " + rule, std::nullopt },
        { "10.4 never matched (24 blanks)", "00100 0 0 " + kNoTime + " " + rule, std::nullopt },
        { "right-aligned counters, never matched", "00100     0        0 " + kNoTime + " " + rule, std::nullopt },
        { "matched", std::string("00100 0 0 ") + kTime + " " + rule, kTime },
        { "matched, right-aligned counters", std::string("00100     1       60 ") + kTime + " " + rule, kTime },
        { "day of month of two digits", "00100 1 60 Sun Nov 30 23:59:59 2003 " + rule, "Sun Nov 30 23:59:59 2003" },
        // Listings printed without -t: the rule text follows the byte counter.
        { "no time column", "00100 1 60 " + rule, std::nullopt },
        { "no time column, rule text of 24 characters", "00100 1 60 allow ip from any to any via lo0", std::nullopt,
          "allow ip from any to any via lo0" },
    };
    const IPFWListingParser parser;
    for (const auto& c : cases) {
        const RuleRow row = onlyRow(parser, c.line);
        expectRow(row, { { RuleKey::OrderItem, "100" }, { RuleKey::DateItem, c.date } }, c.release);
        EXPECT_EQ(row.text(RuleKey::FilterItem), c.filter) << c.release;
    }
}

TEST(IPFWListingParser, RuleTextKeys)
{
    struct Case {
        const char* ruleText;
        Expectation expected;
    };
    const Case cases[] = {
        { "deny log logamount 100 ip from any to any",
          { { RuleKey::Action, "deny" }, { RuleKey::Log, "1" }, { RuleKey::Proto, "ip" } } },
        { "deny log ip from any to any", { { RuleKey::Log, "1" }, { RuleKey::Proto, "ip" } } },
        { "unreach host tcp from any to any", { { RuleKey::Action, "unreach" }, { RuleKey::Proto, "tcp" } } },
        { "unreach host log udp from any to any", { { RuleKey::Log, "1" }, { RuleKey::Proto, "udp" } } },
        // A match probability is printed ahead of the action.
        { "prob 0.050000 count log ip from any to any in",
          { { RuleKey::Action, "count" },
            { RuleKey::Log, "1" },
            { RuleKey::Proto, "ip" },
            { RuleKey::Direction, "in" } } },
        // An action's argument stands where the protocol is looked for.
        { "divert 8668 ip from any to any via en0",
          { { RuleKey::Action, "divert" }, { RuleKey::Proto, "8668" }, { RuleKey::Interface, "en0" } } },
        { "allow tcp from any to any setup",
          { { RuleKey::DstHost, "any" },
            { RuleKey::DstPort, "" },
            { RuleKey::IpState, "setup" },
            { RuleKey::ExpertOpts, "State: setup" },
            { RuleKey::Direction, std::nullopt },
            { RuleKey::Destination, "Any Host\nAny Port" } } },
        { "allow tcp from any to any out xmit en1 keep-state",
          { { RuleKey::Direction, "out" },
            { RuleKey::Interface, "en1" },
            { RuleKey::KeepState, "keep-state" },
            { RuleKey::ExpertOpts, "Keep-State: Yes" } } },
        { "allow tcp from any to any in recv en0", { { RuleKey::Direction, "in" }, { RuleKey::Interface, "en0" } } },
        // The interface is the word after whichever of via, xmit, recv comes first.
        { "allow ip from any to any xmit en1 via en0",
          { { RuleKey::Interface, "en1" }, { RuleKey::Direction, "out" } } },
        { "allow ip from any to any via en0 recv en1",
          { { RuleKey::Interface, "en0" }, { RuleKey::Direction, "in" } } },
        { "allow ip from any to any recv en0 xmit en1",
          { { RuleKey::Interface, "en0" }, { RuleKey::Direction, "out" } } },
        { "allow ip from any to any via", { { RuleKey::Interface, std::nullopt }, { RuleKey::DstHost, "any" } } },
        { "allow ip from 10.0.0.0/8 1-1023 to 10.0.0.1 22,80 in via en0",
          { { RuleKey::SrcHost, "10.0.0.0/8" },
            { RuleKey::SrcPort, "1-1023" },
            { RuleKey::DstHost, "10.0.0.1" },
            { RuleKey::DstPort, "22,80" },
            { RuleKey::Source, "10.0.0.0/8\nPort 1-1023" },
            { RuleKey::Destination, "10.0.0.1\nPort 22,80" } } },
        // "not" gets no special meaning: it is the host, the address is the port text.
        { "allow ip from not 10.0.0.0/8 to any",
          { { RuleKey::SrcHost, "not" },
            { RuleKey::SrcPort, "10.0.0.0/8" },
            { RuleKey::Source, "not\nPort 10.0.0.0/8" } } },
        { "allow tcp from me to any 20 21",
          { { RuleKey::DstPort, "20 21" }, { RuleKey::Destination, "Any Host\nPort 20 21" } } },
        { "fwd 127.0.0.1,20559 tcp from any to me dst-port 80 in",
          { { RuleKey::Proto, "127.0.0.1,20559" },
            { RuleKey::DstHost, "me" },
            { RuleKey::DstPort, "80" },
            { RuleKey::Destination, "me\nhttp (80)" },
            { RuleKey::Direction, "in" } } },
        // Consecutive spaces give empty words.
        { "allow  tcp from any to any", { { RuleKey::Proto, "" }, { RuleKey::SrcHost, "any" } } },
        { "allow tcp from any  to any", { { RuleKey::SrcPort, "" }, { RuleKey::Source, "Any Host\nAny Port" } } },
        { "allow tcp from any   to any", { { RuleKey::SrcPort, " " }, { RuleKey::Source, "Any Host\nAny Port" } } },
        // Without "from" or "to" only the action, log and protocol are read.
        { "allow ip",
          { { RuleKey::Action, "allow" },
            { RuleKey::Proto, "ip" },
            { RuleKey::Source, std::nullopt },
            { RuleKey::Destination, std::nullopt },
            { RuleKey::Traffic, std::nullopt },
            { RuleKey::ExpertOpts, std::nullopt } } },
        { "allow tcp from any 22 out", { { RuleKey::SrcHost, std::nullopt }, { RuleKey::Traffic, std::nullopt } } },
        { "deny", { { RuleKey::Action, "deny" }, { RuleKey::Proto, std::nullopt }, { RuleKey::Log, std::nullopt } } },
        { "deny log", { { RuleKey::Log, "1" }, { RuleKey::Proto, std::nullopt } } },
        // Lines off the format: nothing is read past the words that are there.
        { "allow ip from to any in",
          { { RuleKey::SrcHost, std::nullopt },
            { RuleKey::SrcPort, std::nullopt },
            { RuleKey::DstHost, "any" },
            { RuleKey::Source, "\nAny Port" } } },
        { "allow tcp from any to me dst-port",
          { { RuleKey::DstHost, "me" },
            { RuleKey::DstPort, std::nullopt },
            { RuleKey::Destination, "me\nAny Port" } } },
        { "allow ip from any to", { { RuleKey::DstHost, std::nullopt }, { RuleKey::Destination, "\nAny Port" } } },
        { "allow ip to any from me", { { RuleKey::SrcHost, std::nullopt }, { RuleKey::DstHost, "any" } } },
        { "allow ip from any to via en0 any", { { RuleKey::DstHost, std::nullopt }, { RuleKey::Interface, "en0" } } },
    };
    const IPFWListingParser parser(serviceName);
    for (const auto& c : cases) {
        RuleRow row;
        parser.parseFilter(c.ruleText, row);
        expectRow(row, c.expected, c.ruleText);
    }
}

TEST(IPFWListingParser, StateOptionsAndTheirDisplay)
{
    struct Case {
        const char* options; // after "allow tcp from any to any 80"
        Expectation expected;
    };
    const Case cases[] = {
        { "", { { RuleKey::ExpertOpts, "None" }, { RuleKey::IpState, std::nullopt } } },
        { "frag", { { RuleKey::IpState, "frag" }, { RuleKey::ExpertOpts, "State: frag" } } },
        { "established", { { RuleKey::IpState, "established" } } },
        // The last of frag, setup, established that applies wins.
        { "frag setup", { { RuleKey::IpState, "setup" } } },
        { "established frag setup", { { RuleKey::IpState, "established" } } },
        { "established keep-state",
          { { RuleKey::KeepState, "keep-state" }, { RuleKey::ExpertOpts, "State: established\nKeep-State: Yes" } } },
        { "established ipoptions ssrr keep-state",
          { { RuleKey::IpOptions, "ssrr" },
            { RuleKey::ExpertOpts, "State: established \\ IP Opts: ssrr \\ Keep-State: Yes" } } },
        { "ipopt rr", { { RuleKey::IpOptions, "rr" }, { RuleKey::ExpertOpts, "IP Opts: rr" } } },
        { "ipoptions ssrr ipopt rr", { { RuleKey::IpOptions, "rr" } } },
        { "icmptypes 0,8 icmptype 3", { { RuleKey::IcmpTypes, "3" } } },
        { "icmptype 3 icmptypes 0,8", { { RuleKey::IcmpTypes, "3" } } },
        { "tcpflags syn,!ack", { { RuleKey::TcpFlags, "syn,!ack" }, { RuleKey::ExpertOpts, "TCP Flags: syn,!ack" } } },
        { "tcpflags",
          { { RuleKey::TcpFlags, std::nullopt }, { RuleKey::ExpertOpts, "None" }, { RuleKey::DstPort, "80" } } },
        { "setup ipopt rr tcpflags syn", { { RuleKey::ExpertOpts, "State: setup \\ IP Opts: rr\nTCP Flags: syn" } } },
        { "setup tcpflags syn icmptypes 8",
          { { RuleKey::ExpertOpts, "State: setup \\ TCP Flags: syn\nICMP Types: 8" } } },
        { "tcpflags syn keep-state", { { RuleKey::ExpertOpts, "TCP Flags: syn\nKeep-State: Yes" } } },
        { "ipopt rr tcpflags syn keep-state",
          { { RuleKey::ExpertOpts, "IP Opts: rr \\ TCP Flags: syn \\ Keep-State: Yes" } } },
        { "frag ipopt rr tcpflags syn icmptypes 8 keep-state",
          { { RuleKey::ExpertOpts,
              "State: frag \\ IP Opts: rr\nTCP Flags: syn \\ ICMP Types: 8 \\ Keep-State: Yes" } } },
        // Each option word ends the destination part.
        { "keep-state in", { { RuleKey::DstPort, "80" }, { RuleKey::Direction, "in" } } },
        { "out via en0", { { RuleKey::DstPort, "80" }, { RuleKey::Direction, "out" }, { RuleKey::Interface, "en0" } } },
    };
    const IPFWListingParser parser;
    for (const auto& c : cases) {
        const std::string options = c.options;
        const std::string text = "allow tcp from any to any 80" + (options.empty() ? "" : " " + options);
        RuleRow row;
        parser.parseFilter(text, row);
        expectRow(row, c.expected, text);
        EXPECT_EQ(row.text(RuleKey::DstHost), "any") << text;
    }
}

TEST(IPFWListingParser, PortLines)
{
    struct Case {
        const char* port;
        const char* line;
    };
    const Case cases[] = {
        { "80", "\nhttp (80)" },
        { "22", "\nssh (22)" },
        { "1", "\ntcpmux (1)" },
        { "1023", "\nlast (1023)" },
        { "1024", "\nPort 1024" },
        { "8080", "\nPort 8080" },
        { "0", "\nPort 0" },
        { "1-1023", "\nPort 1-1023" },
        { "21,22", "\nPort 21,22" },
        { "22-", "\nPort 22-" },
        { "http", "\nPort http" },
        { "53", "\ndomain (53)" },
        { "443", "\nPort 443" },
        { "80 8080", "\nhttp (80 8080)" },
        { "99999999999999999999999", "\nPort 99999999999999999999999" },
    };
    const IPFWListingParser named(serviceName);
    const IPFWListingParser unnamed;
    for (const auto& c : cases) {
        const std::string text = std::string("allow tcp from 10.0.0.2 ") + c.port + " to 10.0.0.1 " + c.port + " in";
        RuleRow row;
        named.parseFilter(text, row);
        EXPECT_EQ(row.text(RuleKey::Source), std::string("10.0.0.2") + c.line) << text;
        EXPECT_EQ(row.text(RuleKey::Destination), std::string("10.0.0.1") + c.line) << text;
        RuleRow plain;
        unnamed.parseFilter(text, plain);
        EXPECT_EQ(plain.text(RuleKey::Destination), std::string("10.0.0.1\nPort ") + c.port) << text;
    }
}

TEST(IPFWListingParser, ServiceNamesAreAskedOncePerPortAndParse)
{
    std::map<int, int> asked;
    const IPFWListingParser parser([&](int port) {
        ++asked[port];
        return serviceName(port);
    });
    const std::string listing = "00100 0 0 " + kNoTime + " allow tcp from any 22 to any 80\n" + //
                                "00200 0 0 " + kNoTime + " allow tcp from any 80 to any 22\n" + //
                                "00300 0 0 " + kNoTime + " allow tcp from any 8080 to any 1-80\n";
    const ListingResult result = parser.parseOutput(listing);
    ASSERT_EQ(result.ruleRows.size(), 3u);
    EXPECT_EQ(result.ruleRows[1].text(RuleKey::Source), "Any Host\nhttp (80)");
    EXPECT_EQ(asked, (std::map<int, int> { { 22, 1 }, { 80, 1 } }));
}

TEST(IPFWListingParser, TrafficShowsKilobytesWithOneDecimal)
{
    struct Case {
        std::string counters;
        const char* traffic;
        std::int64_t packets;
    };
    const Case cases[] = {
        { "0 0", "0 packets\n0.0K bytes", 0 },
        { "1 51", "1 packets\n0.0K bytes", 1 },
        { "1 52", "1 packets\n0.1K bytes", 1 },
        { "12 345", "12 packets\n0.3K bytes", 12 },
        { "3 1024", "3 packets\n1.0K bytes", 3 },
        { "7 1535", "7 packets\n1.5K bytes", 7 },
        // Real counters pass 2^31 and 2^32.
        { "4294967296 3000000000", "4294967296 packets\n2929687.5K bytes", 4294967296 },
        // Beyond the 64-bit range the counters stop at the largest value.
        { "99999999999999999999 99999999999999999999", "9223372036854775807 packets\n9007199254740992.0K bytes",
          INT64_MAX },
    };
    const IPFWListingParser parser;
    for (const auto& c : cases) {
        const RuleRow row = onlyRow(parser, "00100 " + c.counters + " " + kNoTime + " allow ip from any to any");
        EXPECT_EQ(row.text(RuleKey::Traffic), c.traffic) << c.counters;
        EXPECT_EQ(row.number(RuleKey::PacketItem), c.packets) << c.counters;
    }
}

TEST(IPFWListingParser, CheckStateRulesAreLeftOut)
{
    const IPFWListingParser parser;
    const std::string listing = "01000 0 0 " + kNoTime + " allow ip from any to any via lo*\n" + "01003 0 0 " +
                                kNoTime + " check-state\n" +                //
                                "01004 5 300 " + kTime + " check-state\n" + //
                                "02000 0 0 \t\t\t check-state\n" +          //
                                "65535 0 0 " + kNoTime + " deny ip from any to any\n";
    const ListingResult result = parser.parseOutput(listing);
    EXPECT_EQ(filters(result),
              (std::vector<std::string> { "allow ip from any to any via lo*", "deny ip from any to any" }));
    ASSERT_EQ(result.ruleRows.size(), 2u);
    EXPECT_EQ(result.ruleRows[1].number(RuleKey::OrderItem), 65535);
}

TEST(IPFWListingParser, DynamicSection)
{
    const IPFWListingParser parser;
    const std::vector<std::string> dynamicLines = {
        // Older form: counters not padded, timeout and bucket, type, protocol with a comma.
        "02000 5 320 (T 295, # 17) ty 0 tcp, 10.0.0.5 1234 <-> 10.0.0.1 22",
        "",
        "x",
        // Newer form.
        "01400    8    332 (9s) STATE udp 172.16.200.193 10930 <-> 172.16.100.50 13 :default",
        "ab",
        "00100 1 2 " + std::string(kTime) + " allow ip from any to any",
    };
    std::string listing =
        "02000 5 320 " + std::string(kTime) + " allow tcp from any to any keep-state\n" + "## Dynamic rules:\n";
    for (const auto& line : dynamicLines) {
        listing += line + "\n";
    }
    listing += "## Dynamic rules (2):\n"; // a later marker line is dropped as well
    listing += "last";

    const ListingResult result = parser.parseOutput(listing);
    EXPECT_EQ(filters(result), (std::vector<std::string> { "allow tcp from any to any keep-state" }));
    std::vector<std::string> expected = dynamicLines;
    expected.push_back("last");
    EXPECT_EQ(result.dynamicFilters, expected);

    // A listing that ends with a line break keeps an empty last dynamic line.
    const ListingResult withBreak = parser.parseOutput("## Dynamic rules:\n" + dynamicLines[0] + "\n");
    EXPECT_EQ(withBreak.dynamicFilters, (std::vector<std::string> { dynamicLines[0], "" }));
    EXPECT_EQ(parser.parseOutput("##").dynamicFilters, (std::vector<std::string> {}));
    EXPECT_EQ(parser.parseOutput("##\n").dynamicFilters, (std::vector<std::string> { "" }));
}

TEST(IPFWListingParser, WhereTheParseEnds)
{
    const IPFWListingParser parser;
    const std::string a = "00100 0 0 " + kNoTime + " allow ip from any to any via lo*";
    const std::string b = "00200 1 60 " + std::string(kTime) + " deny ip from any to any";
    struct Case {
        const char* what;
        std::optional<std::string> text;
        std::vector<std::string> rows; // FILTER_ITEM of each row
        std::size_t dynamicLines;
    };
    const Case cases[] = {
        { "no text", std::nullopt, {}, 0 },
        { "empty text", std::string(), {}, 0 },
        { "no final line break: parsed to the last line",
          a + "\n" + b,
          { "allow ip from any to any via lo*", "deny ip from any to any" },
          0 },
        { "final line break",
          a + "\n" + b + "\n",
          { "allow ip from any to any via lo*", "deny ip from any to any" },
          0 },
        { "an empty line ends the parse",
          a + "\n\n" + b + "\n## Dynamic rules:\nd\n",
          { "allow ip from any to any via lo*" },
          0 },
        { "a line of two characters ends it", a + "\nab\n" + b + "\n", { "allow ip from any to any via lo*" }, 0 },
        { "a line of three characters does not",
          a + "\nabc\n" + b + "\n",
          { "allow ip from any to any via lo*", "deny ip from any to any" },
          0 },
        { "a short first line", "\n" + a + "\n", {}, 0 },
        { "dynamic lines after the rules",
          a + "\n## Dynamic rules:\nd1\nd2",
          { "allow ip from any to any via lo*" },
          2 },
    };
    for (const auto& c : cases) {
        const ListingResult result = parser.parseOutput(c.text);
        EXPECT_EQ(filters(result), c.rows) << c.what;
        EXPECT_EQ(result.dynamicFilters.size(), c.dynamicLines) << c.what;
    }
}

// Lines off the format leave the rows around them as they are.
TEST(IPFWListingParser, LinesOffTheFormatLeaveTheOthersIntact)
{
    const IPFWListingParser parser(serviceName);
    const std::string good1 = "00100 1 60 " + std::string(kTime) + " allow tcp from any to any 22 in";
    const std::string good2 = "00300 0 0 " + kNoTime + " deny ip from any to any";
    const char* const odd[] = {
        "Flushed all rules.",
        "00100 allow ip from any to any via lo0",
        "...",
        "00100 1",
        "00100 1 x allow ip from any to any",
        "-100 1 2 allow ip from any to any",
        "\t00100 1 2 allow ip from any to any",
        "00200 1 2",
        "00200 1 2 ",
        "00200 1 2 \t\t\t",
        "00200 1 2 Thu Mar  6 14:02",
        "00200 1 2 Thu Mar  6 14:02:51 2003",
        "00200 1 2 Thu Mar  6 14:02:51 2003 ",
        "00200 1 2 (9s) STATE tcp 1.2.3.4 5 <-> 6.7.8.9 10",
        "00200 1 2 allow",
        "00200 1 2 allow ip from",
        "00200 1 2 allow ip to",
        "00200 1 2 allow ip from to",
        "00200 1 2 allow ip from any to me dst-port",
        "00200 18446744073709551615 18446744073709551615 allow ip from any to any",
    };
    for (const char* line : odd) {
        const ListingResult result = parser.parseOutput(good1 + "\n" + line + "\n" + good2 + "\n");
        ASSERT_GE(result.ruleRows.size(), 2u) << line;
        ASSERT_LE(result.ruleRows.size(), 3u) << line;
        expectRow(result.ruleRows.front(),
                  { { RuleKey::OrderItem, "100" },
                    { RuleKey::DateItem, kTime },
                    { RuleKey::FilterItem, "allow tcp from any to any 22 in" },
                    { RuleKey::Destination, "Any Host\nssh (22)" } },
                  line);
        expectRow(result.ruleRows.back(),
                  { { RuleKey::OrderItem, "300" },
                    { RuleKey::DateItem, std::nullopt },
                    { RuleKey::FilterItem, "deny ip from any to any" } },
                  line);
        if (result.ruleRows.size() == 3) {
            const RuleRow& middle = result.ruleRows[1];
            EXPECT_EQ(middle.number(RuleKey::OrderItem), 200) << line;
            EXPECT_TRUE(middle.has(RuleKey::FilterItem)) << line;
        }
        EXPECT_TRUE(result.dynamicFilters.empty()) << line;
    }
}

TEST(RuleRow, KeysValuesAndNames)
{
    for (int i = 0; i < static_cast<int>(RuleKey::Count); ++i) {
        const auto key = static_cast<RuleKey>(i);
        EXPECT_EQ(kw::ruleKeyFromName(kw::ruleKeyName(key)), key) << kw::ruleKeyName(key);
    }
    EXPECT_STREQ(kw::ruleKeyName(RuleKey::OrderItem), "ORDER_ITEM");
    EXPECT_STREQ(kw::ruleKeyName(RuleKey::IcmpTypes), "ICMP_TYPES");
    EXPECT_STREQ(kw::ruleKeyName(RuleKey::ExpertOpts), "EXPERT_OPTS");
    EXPECT_STREQ(kw::ruleKeyName(RuleKey::Count), "");
    EXPECT_EQ(kw::ruleKeyFromName("order_item"), std::nullopt);
    EXPECT_EQ(kw::ruleKeyFromName(""), std::nullopt);

    RuleRow row;
    EXPECT_FALSE(row.has(RuleKey::Action));
    EXPECT_EQ(row.text(RuleKey::Action), "");
    EXPECT_EQ(row.string(RuleKey::Action), nullptr);
    EXPECT_EQ(row.number(RuleKey::ByteItem), std::nullopt);

    row.setNumber(RuleKey::ByteItem, 5000000000);
    row.setString(RuleKey::Action, "allow");
    row.setString(RuleKey::Proto, "");
    EXPECT_EQ(row.text(RuleKey::ByteItem), "5000000000");
    EXPECT_EQ(row.string(RuleKey::ByteItem), nullptr);
    EXPECT_EQ(*row.string(RuleKey::Action), "allow");
    EXPECT_EQ(row.number(RuleKey::Action), std::nullopt);
    EXPECT_TRUE(row.has(RuleKey::Proto));

    row.setString(RuleKey::OrderItem, "2000");
    EXPECT_EQ(row.number(RuleKey::OrderItem), 2000);
    row.setString(RuleKey::OrderItem, "20x");
    EXPECT_FALSE(row.has(RuleKey::OrderItem));
    row.setNumber(RuleKey::Log, 1);
    EXPECT_EQ(*row.string(RuleKey::Log), "1");

    RuleRow same = row;
    EXPECT_TRUE(same == row);
    same.setString(RuleKey::Proto, "tcp");
    EXPECT_FALSE(same == row);
}

TEST(IPFWListingParser, ListingArguments)
{
    EXPECT_EQ(kw::listingArguments(), (std::vector<std::string> { "-at", "list" }));
}

} // namespace

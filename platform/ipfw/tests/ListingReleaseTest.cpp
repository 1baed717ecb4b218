// Each release's listing as its own ipfw command printed it: the older userland's spellings and
// order on 10.1-10.3, the filler of a rule that never matched, the dynamic rule lines, and the
// real listings of the corpus reproduced line by line. Every form parses in the monitor.
#include "IPFWListing.h"
#include "IPFWTable.h"
#include "TestRules.h"

#include "monitor/IPFWListingParser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

using namespace kw;
using namespace kw::ipfwemu;
using namespace kw::ipfwemu::test;

namespace {

constexpr ListingRelease kReleases[] = { ListingRelease::Puma, ListingRelease::Jaguar, ListingRelease::Tiger };

const char* releaseName(ListingRelease release)
{
    switch (release) {
    case ListingRelease::Puma:
        return "10.1";
    case ListingRelease::Jaguar:
        return "10.2/10.3";
    case ListingRelease::Tiger:
        break;
    }
    return "10.4";
}

// The listing's line for one rule number ("" when there is none).
std::string lineOf(const std::string& listingText, std::uint32_t number)
{
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%05u ", number);
    for (std::size_t at = 0; at < listingText.size();) {
        const std::size_t end = listingText.find('\n', at);
        const std::string line = listingText.substr(at, end - at);
        if (line.rfind(prefix, 0) == 0) {
            return line;
        }
        at = end == std::string::npos ? listingText.size() : end + 1;
    }
    return {};
}

// The rules of the golden listings: each spelling that differs between the releases.
Table goldenTable()
{
    return tableOf({
        "add 100 allow tcp from any to any 22 in via en0 setup keep-state",
        "add 200 allow icmp from any to any icmptypes 0,3,8 in",
        "add 300 deny ip from any to any ipoptions ssrr,!rr",
        "add 400 deny 2 from any to any",
        "add 500 prob 0.05 count ip from any to any",
        "add 600 allow tcp from any 1024:64512 to any",
        "add 700 check-state",
    });
}

} // namespace

// The rule texts per release; the older userland's are the lines its listing printed.
TEST(ListingRelease, RuleTextsUseTheReleaseSpellingsAndOrder)
{
    const Table table = goldenTable();
    struct Row {
        std::uint32_t number;
        const char* older; // 10.1-10.3
        const char* tiger; // 10.4
    };
    const Row rows[] = {
        { 100, "allow tcp from any to any 22 keep-state in via en0 setup",
          "allow tcp from any to any 22 in via en0 setup keep-state" },
        { 200, "allow icmp from any to any in icmptype 0,3,8", "allow icmp from any to any in icmptypes 0,3,8" },
        { 300, "deny ip from any to any ipopt ssrr,!rr", "deny ip from any to any ipoptions ssrr,!rr" },
        { 400, "deny igmp from any to any", "deny igmp from any to any" },
        { 500, "prob 0.050000 count ip from any to any", "prob 0.05 count ip from any to any" },
        { 600, "allow tcp from any 1024:0xfc00 to any", "allow tcp from any 1024:64512 to any" },
        { 700, "check-state", "check-state" },
    };
    for (const auto release : kReleases) {
        const std::string text = listing(table, ListingOptions { false, false, {}, release }, 1000);
        for (const auto& row : rows) {
            const char* body = release == ListingRelease::Tiger ? row.tiger : row.older;
            EXPECT_EQ(lineOf(text, row.number), ruleNumberText(row.number) + ' ' + body) << releaseName(release);
            EXPECT_EQ(ruleTextFor(ruleNumbered(table, row.number), release), body) << releaseName(release);
        }
    }
}

TEST(ListingRelease, NeverMatchedRulesGetTheReleaseFiller)
{
    UtcZone utc;
    Table table = tableOf({ "add 100 allow ip from any to any via lo*", "add 200 deny ip from any to any" });
    table.rules()[0].packets = 3;
    table.rules()[0].bytes = 120;
    table.rules()[0].lastMatch = 1765454677; // Thu Dec 11 12:04:37 2025
    struct Row {
        ListingRelease release;
        const char* neverMatched;
    };
    const Row rows[] = {
        { ListingRelease::Puma, "00200 0   0                          deny ip from any to any" },
        { ListingRelease::Jaguar, "00200 0   0 \t\t\t deny ip from any to any" },
        { ListingRelease::Tiger, "00200 0   0                         deny ip from any to any" },
    };
    for (const auto& row : rows) {
        const std::string text = listing(table, ListingOptions { true, true, {}, row.release }, 1765454700);
        EXPECT_EQ(lineOf(text, 100), "00100 3 120 Thu Dec 11 12:04:37 2025 allow ip from any to any via lo*")
            << releaseName(row.release);
        EXPECT_EQ(lineOf(text, 200), row.neverMatched) << releaseName(row.release);
    }
}

TEST(ListingRelease, DynamicRulesInTheReleaseForm)
{
    Table t = tableOf({ "add 2000 allow tcp from any to any keep-state", "add 2100 allow 47 from any to any keep-state",
                        "add 2200 allow udp from any to any keep-state" });
    t.rules()[0].packets = 12345;
    t.dynamic()[FlowKey::of(6, 0x0a000005, 1234, 0x0a000001, 22)] =
        DynamicRule { t.rules()[0].id, 1, 6, 0x0a000005, 1234, 0x0a000001, 22, 1000, 5, 320, 3 };
    t.dynamic()[FlowKey::of(47, 0x0a000005, 0, 0x0a000002, 0)] =
        DynamicRule { t.rules()[1].id, 2, 47, 0x0a000005, 0, 0x0a000002, 0, 705, 1, 64, 0 };
    t.dynamic()[FlowKey::of(17, 0x0a000005, 53, 0x0a000001, 5353)] =
        DynamicRule { t.rules()[2].id, 3, 17, 0x0a000005, 53, 0x0a000001, 5353, 500, 1, 64, 0 };
    const auto bucket = [](std::uint8_t proto, std::uint32_t src, std::uint16_t sport, std::uint32_t dst,
                           std::uint16_t dport) {
        return std::to_string(FlowKeyHash {}(FlowKey::of(proto, src, sport, dst, dport)) % 256);
    };

    // The older command: counters as they are, the protocol name with a comma.
    const std::string older = listing(t, ListingOptions { true, false, {}, ListingRelease::Jaguar }, 700);
    const auto oldMarker = older.find("\n## Dynamic rules:\n");
    ASSERT_NE(oldMarker, std::string::npos) << older;
    EXPECT_EQ(older.substr(oldMarker + 19), "02000 5 320 (T 300, # " + bucket(6, 0x0a000005, 1234, 0x0a000001, 22) +
                                                ") ty 0 tcp, 10.0.0.5 1234 <-> 10.0.0.1 22\n"
                                                "02100 1 64 (T 5, # " +
                                                bucket(47, 0x0a000005, 0, 0x0a000002, 0) +
                                                ") ty 0 gre, 10.0.0.5 0 <-> 10.0.0.2 0\n");
    EXPECT_EQ(lineOf(older, 2000), "02000 12345 0 allow tcp from any to any keep-state");

    // The newer command: counters padded with the static rules', seconds left, the type word.
    const std::string tiger = listing(t, ListingOptions { true, false, {}, ListingRelease::Tiger }, 700);
    const auto marker = tiger.find("\n## Dynamic rules (2):\n");
    ASSERT_NE(marker, std::string::npos) << tiger;
    EXPECT_EQ(tiger.substr(marker + 23), "02000     5 320 (300s) STATE tcp 10.0.0.5 1234 <-> 10.0.0.1 22\n"
                                         "02100     1  64 (5s) STATE gre 10.0.0.5 0 <-> 10.0.0.2 0\n");
    EXPECT_EQ(lineOf(tiger, 2000), "02000 12345   0 allow tcp from any to any keep-state");
}

// Every release's form parses in the monitor with each field in its place.
TEST(ListingRelease, EveryFormParsesInTheMonitor)
{
    UtcZone utc;
    Table table = goldenTable();
    table.rules()[1].packets = 2;
    table.rules()[1].bytes = 168;
    table.rules()[1].lastMatch = 1765454677;
    table.dynamic()[FlowKey::of(6, 0x0a000005, 1234, 0x0a000001, 22)] =
        DynamicRule { table.rules()[0].id, 1, 6, 0x0a000005, 1234, 0x0a000001, 22, 1765454900, 5, 320, 3 };
    const IPFWListingParser parser;
    for (const auto release : kReleases) {
        const std::string text = listing(table, ListingOptions { true, true, {}, release }, 1765454700);
        const ListingResult result = parser.parseOutput(text);
        ASSERT_EQ(result.ruleRows.size(), 7u) << text; // check-state is dropped
        const RuleRow& ssh = result.ruleRows[0];
        EXPECT_EQ(ssh.text(RuleKey::Action), "allow") << text;
        EXPECT_EQ(ssh.text(RuleKey::Proto), "tcp") << text;
        EXPECT_EQ(ssh.text(RuleKey::SrcHost), "any") << text;
        EXPECT_EQ(ssh.text(RuleKey::DstHost), "any") << text;
        EXPECT_EQ(ssh.text(RuleKey::DstPort), "22") << text;
        EXPECT_EQ(ssh.text(RuleKey::Interface), "en0") << text;
        EXPECT_EQ(ssh.text(RuleKey::Direction), "in") << text;
        EXPECT_EQ(ssh.text(RuleKey::IpState), "setup") << text;
        EXPECT_TRUE(ssh.has(RuleKey::KeepState)) << text;
        EXPECT_FALSE(ssh.has(RuleKey::DateItem)) << text;
        EXPECT_EQ(ssh.text(RuleKey::FilterItem), ruleTextFor(table.rules()[0], release));

        const RuleRow& icmp = result.ruleRows[1];
        EXPECT_EQ(icmp.text(RuleKey::DateItem), "Thu Dec 11 12:04:37 2025") << text;
        EXPECT_EQ(icmp.number(RuleKey::PacketItem), 2) << text;
        EXPECT_EQ(icmp.number(RuleKey::ByteItem), 168) << text;
        EXPECT_EQ(icmp.text(RuleKey::IcmpTypes), "0,3,8") << text;
        EXPECT_EQ(icmp.text(RuleKey::Direction), "in") << text;
        EXPECT_EQ(result.ruleRows[2].text(RuleKey::IpOptions), "ssrr,!rr") << text;
        EXPECT_EQ(result.ruleRows[2].text(RuleKey::DstPort), "") << text;
        EXPECT_EQ(result.ruleRows[3].text(RuleKey::Proto), "igmp");
        // "prob" leads the rule text on every release; the monitor reads the action after it.
        EXPECT_EQ(result.ruleRows[4].text(RuleKey::Action), "count") << text;
        EXPECT_EQ(result.ruleRows[4].text(RuleKey::Proto), "ip") << text;
        EXPECT_EQ(result.ruleRows[4].text(RuleKey::FilterItem).rfind("prob 0.0", 0), 0u) << text;
        EXPECT_EQ(result.ruleRows[5].text(RuleKey::SrcPort),
                  release == ListingRelease::Tiger ? "1024:64512" : "1024:0xfc00")
            << text;
        EXPECT_EQ(result.ruleRows[6].number(RuleKey::OrderItem), 65535) << text;

        ASSERT_EQ(result.dynamicFilters.size(), 2u) << text; // the line and the empty text after it
        EXPECT_NE(result.dynamicFilters[0].find(" 10.0.0.5 1234 <-> 10.0.0.1 22"), std::string::npos) << text;
    }
}

// The corpus's real listings: each line whose rule the grammar reads is printed again by the
// stand-in, character for character, on every release (these rules are spelt alike in all).
TEST(ListingRelease, CorpusListingsAreReproducedLineByLine)
{
    const std::filesystem::path corpus = KEEPWALL_CORPUS_DIR;
    if (!std::filesystem::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    struct Source {
        const char* file;
        bool counters;
    };
    const Source sources[] = {
        { "listing-macdevcenter-2005-tiger-ipfw-list.txt", false },
        { "listing-apple-osxserver-2003-ipfw-show.txt", true },
    };
    const std::regex plain(R"(^(\d+) (.*)$)");
    const std::regex counted(R"(^(\d+) (\d+) (\d+) (.*)$)");
    NameServices names;
    names.setHostResolver([](const std::string&) { return std::optional<std::uint32_t>(); });
    std::size_t compared = 0;
    for (const auto& source : sources) {
        std::ifstream in(corpus / source.file);
        ASSERT_TRUE(in) << source.file;
        std::string line;
        while (std::getline(in, line)) {
            std::smatch m;
            if (!std::regex_match(line, m, source.counters ? counted : plain)) {
                continue;
            }
            const auto number = static_cast<std::uint32_t>(std::stoul(m[1]));
            const std::string body = m[source.counters ? 4 : 2];
            if (number == 65535) {
                // The default rule is always there.
                for (const auto release : kReleases) {
                    EXPECT_EQ(lineOf(listing(Table {}, ListingOptions { false, false, {}, release }, 0), number), line);
                }
                ++compared;
                continue;
            }
            const auto parsed = parseIPFWRuleLine("add " + std::to_string(number) + ' ' + body, names);
            if (!parsed.accepted) {
                continue; // lines the crawl damaged ("deny ip from to any in")
            }
            Table table;
            table.add(parsed.rule, 0);
            TableRule& rule = table.rules().front();
            std::string expected = ruleNumberText(number) + ' ';
            if (source.counters) {
                rule.packets = std::stoull(m[2]);
                rule.bytes = std::stoull(m[3]);
                // The document prints some numbers with four digits; the command prints five.
                expected += std::string(m[2]) + ' ' + std::string(m[3]) + ' ';
            }
            expected += body;
            for (const auto release : kReleases) {
                const std::string text = listing(table, ListingOptions { source.counters, false, {}, release }, 0);
                EXPECT_EQ(lineOf(text, number), expected) << source.file << " on " << releaseName(release);
            }
            ++compared;
        }
    }
    EXPECT_GE(compared, 10u);
}

#include "IPFWListing.h"
#include "IPFWTable.h"
#include "TestRules.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

using namespace kw;
using namespace kw::ipfwemu;
using namespace kw::ipfwemu::test;

namespace {

NameServices& offlineNames()
{
    static NameServices names;
    names.setHostResolver([](const std::string&) { return std::optional<std::uint32_t>(); });
    return names;
}

} // namespace

TEST(Table, StartsWithTheDefaultRuleOnly)
{
    const Table t;
    ASSERT_EQ(t.rules().size(), 1u);
    EXPECT_EQ(t.rules()[0].rule.number, 65535u);
    EXPECT_EQ(t.rules()[0].text, "allow ip from any to any"); // the kernel accepts by default
}

TEST(Table, NumbersRulesWithoutNumberAfterTheLastOne)
{
    Table t =
        tableOf({ "add allow ip from any to any", "add 1000 deny ip from any to any", "add allow tcp from any to any",
                  "add 500 count ip from any to any", "add allow udp from any to any" });
    std::vector<std::uint32_t> numbers;
    for (const auto& r : t.rules()) {
        numbers.push_back(r.rule.number);
    }
    EXPECT_EQ(numbers, (std::vector<std::uint32_t> { 100, 500, 1000, 1100, 1200, 65535 }));
    // Near the top the number stays where it is rather than run into the default rule.
    Table high = tableOf({ "add 65500 allow ip from any to any", "add deny ip from any to any" });
    EXPECT_EQ(high.rules()[1].rule.number, 65500u);
}

TEST(Table, KeepsRulesOfOneNumberInTheOrderAdded)
{
    Table t = tableOf({ "add 4009 allow udp from any 53 to any", "add 4009 deny udp from any to any 53",
                        "add 4000 allow ip from any to any" });
    ASSERT_EQ(t.rules().size(), 4u);
    EXPECT_EQ(t.rules()[1].text, "allow udp from any 53 to any");
    EXPECT_EQ(t.rules()[2].text, "deny udp from any to any 53");
    EXPECT_TRUE(t.remove(4009));
    EXPECT_EQ(t.rules().size(), 2u);
    EXPECT_FALSE(t.remove(4009));
    EXPECT_FALSE(t.remove(65535));
}

TEST(Table, FlushKeepsTheDefaultRuleAndDropsDynamicRules)
{
    Table t = tableOf({ "add 100 allow ip from any to any keep-state" });
    t.dynamic()[FlowKey::of(6, 1, 2, 3, 4)] = DynamicRule { t.rules()[0].id, 1, 6, 1, 2, 3, 4, 100, 0, 0, 0 };
    t.flush();
    ASSERT_EQ(t.rules().size(), 1u);
    EXPECT_EQ(t.rules()[0].rule.number, 65535u);
    EXPECT_TRUE(t.dynamic().empty());
}

TEST(Table, StateTextReadsBackTheSameTable)
{
    Table t = tableOf({ "add 100 allow tcp from 10.0.0.0/8 1024-65535 to me 22,80 in via en* setup keep-state",
                        "add 200 deny log logamount 5 udp from any to not 192.168.1.1 53 out xmit ppp0",
                        "add 300 unreach host ip from any to any ipoptions ssrr,lsrr",
                        "add 400 skipto 1000 icmp from any to any icmptypes 0,8", "add 1000 check-state" });
    t.rules()[0].packets = 12;
    t.rules()[0].bytes = 3456;
    t.rules()[0].lastMatch = 1765454677;
    t.rules()[1].logged = 3;
    t.dynamic()[FlowKey::of(6, 0x0a000005, 1234, 0x0a000001, 22)] =
        DynamicRule { t.rules()[0].id, 7, 6, 0x0a000005, 1234, 0x0a000001, 22, 1765454977, 5, 320, 3 };
    const std::string text = t.serialize();
    Table back;
    std::string error;
    ASSERT_TRUE(back.deserialize(text, offlineNames(), error)) << error;
    EXPECT_EQ(back.serialize(), text);
    ASSERT_EQ(back.rules().size(), t.rules().size());
    for (std::size_t i = 0; i < t.rules().size(); ++i) {
        EXPECT_EQ(back.rules()[i].text, t.rules()[i].text);
        EXPECT_EQ(ruleText(back.rules()[i].rule), t.rules()[i].text);
    }
    EXPECT_EQ(back.rules()[1].logLimit, 5u);
    EXPECT_EQ(back.dynamic().size(), 1u);
}

TEST(Table, CorruptStateTextIsRefusedWithItsLine)
{
    const std::string good = tableOf({ "add 100 allow ip from any to any" }).serialize();
    struct Row {
        const char* what;
        std::string text;
        const char* reason;
    };
    const auto replace = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    const Row rows[] = {
        { "empty file", "", "no end line" },
        { "other header", replace("kw-ipfw-state 1", "kw-ipfw-state 9"), "not an ipfw state file" },
        { "cut short", good.substr(0, good.size() / 2), "cut short" },
        { "no end line", good.substr(0, good.rfind("end")), "no end line" },
        { "rule that does not read back", replace("allow ip from any to any", "allow ip from nowhere"),
          "does not read back" },
        { "count mismatch", replace("end 2 0", "end 3 0"), "end line" },
        { "default rule missing", replace("rule 1 65535", "rule 1 65534"), "default rule" },
        { "unknown line", replace("next", "nxet"), "unknown line" },
        { "binary garbage", std::string("\x00\x01\x02\n", 4), "not an ipfw state file" },
        { "text after the end", good + "rule 9 9 0 0 0 0 0 deny ip from any to any\n", "after the end" },
        { "rule number above the default", replace("rule 2 100", "rule 2 70000"), "bad rule line" },
    };
    for (const auto& row : rows) {
        Table t;
        std::string error;
        EXPECT_FALSE(t.deserialize(row.text, offlineNames(), error)) << row.what;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.what << ": " << error;
        EXPECT_NE(error.find("line "), std::string::npos) << row.what << ": " << error;
    }
}

TEST(Listing, RowsCarryNumberCountersTimeAndRuleText)
{
    UtcZone utc;
    Table t = tableOf({ "add 100 allow tcp from any to 10.0.0.1 80 in recv en0", "add 200 deny ip from any to any",
                        "add 1003 check-state" });
    t.rules()[0].packets = 12;
    t.rules()[0].bytes = 345;
    t.rules()[0].lastMatch = 1765454677; // Thu Dec 11 12:04:37 2025
    t.rules()[3].packets = 7;
    t.rules()[3].bytes = 2048;
    t.rules()[3].lastMatch = 1765454680;
    struct Row {
        const char* what;
        ListingOptions options;
        const char* expected;
    };
    const Row rows[] = {
        { "plain list",
          {},
          "00100 allow tcp from any to 10.0.0.1 80 in recv en0\n"
          "00200 deny ip from any to any\n"
          "01003 check-state\n"
          "65535 allow ip from any to any\n" },
        { "-a list",
          { true, false, {} },
          "00100 12  345 allow tcp from any to 10.0.0.1 80 in recv en0\n"
          "00200  0    0 deny ip from any to any\n"
          "01003  0    0 check-state\n"
          "65535  7 2048 allow ip from any to any\n" },
        { "-at list",
          { true, true, {} },
          "00100 12  345 Thu Dec 11 12:04:37 2025 allow tcp from any to 10.0.0.1 80 in recv en0\n"
          "00200  0    0                         deny ip from any to any\n"
          "01003  0    0                         check-state\n"
          "65535  7 2048 Thu Dec 11 12:04:40 2025 allow ip from any to any\n" },
        { "-at list 200", { true, true, { 200 } }, "00200 0 0                         deny ip from any to any\n" },
    };
    for (const auto& row : rows) {
        EXPECT_EQ(listing(t, row.options, 1765454700), row.expected) << row.what;
    }
}

TEST(Listing, DynamicRulesFollowTheMarkerLineWhileTheyLive)
{
    Table t = tableOf({ "add 2000 allow tcp from any to any keep-state" });
    t.dynamic()[FlowKey::of(6, 0x0a000005, 1234, 0x0a000001, 22)] =
        DynamicRule { t.rules()[0].id, 1, 6, 0x0a000005, 1234, 0x0a000001, 22, 1000, 5, 320, 3 };
    t.dynamic()[FlowKey::of(17, 0x0a000005, 53, 0x0a000001, 5353)] =
        DynamicRule { t.rules()[0].id, 2, 17, 0x0a000005, 53, 0x0a000001, 5353, 500, 1, 64, 0 };
    const std::string text = listing(t, ListingOptions { true, false, {} }, 700);
    const auto marker = text.find("## Dynamic rules (1):\n");
    ASSERT_NE(marker, std::string::npos) << text;
    const std::string dynamic = text.substr(marker + 22);
    EXPECT_EQ(dynamic, "02000 5 320 (300s) STATE tcp 10.0.0.5 1234 <-> 10.0.0.1 22\n") << dynamic;
    EXPECT_EQ(dynamic.find("udp"), std::string::npos) << "expired rule listed: " << dynamic;
    EXPECT_EQ(listing(t, ListingOptions {}, 2000).find("##"), std::string::npos);
}

// Real-world rule files: every rule the grammar accepts survives the state file unchanged, is
// listed, and takes traffic without trouble.
TEST(Corpus, AcceptedRulesSurviveTheStateFileAndTraffic)
{
    const std::filesystem::path corpus = KEEPWALL_CORPUS_DIR;
    if (!std::filesystem::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    std::size_t accepted = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("rules-", 0) != 0) {
            continue;
        }
        std::ifstream in(entry.path());
        Table table;
        std::string line;
        while (std::getline(in, line)) {
            const auto add = line.find("add ");
            if (add == std::string::npos || line.find_first_not_of(" \t") == line.find('#')) {
                continue;
            }
            const auto parsed = parseIPFWRuleLine(line.substr(add), offlineNames());
            if (parsed.accepted && parsed.rule.number < 65535) {
                table.add(parsed.rule, 100);
                ++accepted;
            }
        }
        Table back;
        std::string error;
        ASSERT_TRUE(back.deserialize(table.serialize(), offlineNames(), error)) << name << ": " << error;
        EXPECT_EQ(back.serialize(), table.serialize()) << name;
        EXPECT_FALSE(listing(back, ListingOptions { true, true, {} }, 1000).empty());
        Engine engine(back);
        engine.setMyAddresses({ 0x0a000001 });
        for (const char* packet :
             { "in via em1 tcp 1.2.3.4:1000 -> 10.0.0.1:22 syn", "out via em1 udp 10.0.0.1:5000 -> 8.8.8.8:53",
               "in via en0 icmp 1.2.3.4 -> 10.0.0.1 type 8", "in via lo0 tcp 127.0.0.1:1 -> 127.0.0.1:2 ack",
               "in via em0 udp 1.2.3.4 -> 10.0.0.1 frag" }) {
            EXPECT_EQ(verdictFor(engine, packet, 1000).rfind("rule ", 0), 0u) << name;
        }
    }
    EXPECT_GT(accepted, 50u);
}

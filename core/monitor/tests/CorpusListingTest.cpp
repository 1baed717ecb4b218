// Real listings from the shared corpus: as found (some without times or counters), and their
// rule lines printed the way each release's "ipfw -at list" prints them.
#include "monitor/IPFWListingParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

using kw::IPFWListingParser;
using kw::ListingResult;
using kw::RuleKey;
using kw::RuleRow;

namespace {

struct CorpusFile {
    std::string name;
    std::vector<std::string> lines;
};

std::vector<CorpusFile> corpusListings()
{
    std::vector<CorpusFile> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(KEEPWALL_CORPUS_DIR, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("listing-", 0) != 0 || entry.path().extension() != ".txt") {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        CorpusFile file { name, {} };
        for (std::string line; std::getline(in, line);) {
            file.lines.push_back(line);
        }
        files.push_back(std::move(file));
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return files;
}

// A rule line as ipfw prints it with counters: rule number, packets, bytes, then the rule text
// (which starts with a letter). Read here independently of the parser under test.
struct RuleLine {
    std::int64_t number = 0;
    std::int64_t packets = 0;
    std::int64_t bytes = 0;
    std::string text;
};

std::optional<RuleLine> ruleLineOf(const std::string& line)
{
    static const std::regex shape(R"(^ *([0-9]{1,9}) +([0-9]{1,15}) +([0-9]{1,15}) +([A-Za-z].*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, shape)) {
        return std::nullopt;
    }
    return RuleLine { std::stoll(m[1]), std::stoll(m[2]), std::stoll(m[3]), m[4] };
}

std::string firstWord(const std::string& text)
{
    return text.substr(0, text.find(' '));
}

void expectNumbers(const RuleRow& row, const RuleLine& rule, const std::string& what)
{
    EXPECT_EQ(row.number(RuleKey::OrderItem), rule.number) << what;
    EXPECT_EQ(row.number(RuleKey::PacketItem), rule.packets) << what;
    EXPECT_EQ(row.number(RuleKey::ByteItem), rule.bytes) << what;
}

TEST(CorpusListings, AsFoundParseWithoutShiftedFields)
{
    const auto files = corpusListings();
    if (files.empty()) {
        GTEST_SKIP() << "no listings in " << KEEPWALL_CORPUS_DIR;
    }
    const IPFWListingParser parser([](int port) { return "svc" + std::to_string(port); });
    for (const auto& file : files) {
        std::string text;
        for (const auto& line : file.lines) {
            text += line + "\n";
        }
        const ListingResult result = parser.parseOutput(text);
        // The rows follow the file's lines in order, never invent a rule number, and leave out
        // no line of the rule-line shape.
        std::vector<std::int64_t> leadingNumbers;
        std::size_t ruleShaped = 0;
        for (const auto& line : file.lines) {
            const std::size_t digits = line.find_first_not_of(' ');
            if (digits != std::string::npos && std::isdigit(static_cast<unsigned char>(line[digits]))) {
                leadingNumbers.push_back(std::stoll(line.substr(digits, 18)));
            }
            const auto rule = ruleLineOf(line);
            ruleShaped += rule && rule->text.rfind("check-state", 0) != 0 ? 1 : 0;
        }
        EXPECT_GE(result.ruleRows.size(), ruleShaped) << file.name;
        auto next = leadingNumbers.begin();
        for (const auto& row : result.ruleRows) {
            const auto number = row.number(RuleKey::OrderItem);
            ASSERT_TRUE(number.has_value()) << file.name;
            EXPECT_GT(*number, 0) << file.name;
            next = std::find(next, leadingNumbers.end(), *number);
            ASSERT_NE(next, leadingNumbers.end()) << file.name << ": rule " << *number << " out of order or invented";
            ++next;
            const std::string* date = row.string(RuleKey::DateItem);
            EXPECT_TRUE(date == nullptr || date->size() == 24) << file.name;
            EXPECT_FALSE(row.text(RuleKey::FilterItem).empty()) << file.name;
        }

        // Each line that has the rule-line shape gives its own fields, whatever surrounds it.
        for (const auto& line : file.lines) {
            const auto rule = ruleLineOf(line);
            const ListingResult one = parser.parseOutput(line + "\n");
            if (!rule || rule->text.rfind("check-state", 0) == 0) {
                continue;
            }
            const std::string what = file.name + ": " + line;
            ASSERT_EQ(one.ruleRows.size(), 1u) << what;
            const RuleRow& row = one.ruleRows.front();
            expectNumbers(row, *rule, what);
            EXPECT_FALSE(row.has(RuleKey::DateItem)) << what;
            EXPECT_EQ(row.text(RuleKey::FilterItem), rule->text) << what;
            EXPECT_EQ(row.text(RuleKey::Action), firstWord(rule->text)) << what;
        }
    }
}

// The corpus's rule lines as each release prints them with -at: 10.1 pads a rule that never
// matched with 25 blanks, 10.2 and 10.3 with three tabs and a blank, 10.4 with 24 blanks and
// right-aligned counters; a matched rule has the 24-character time and a blank.
TEST(CorpusListings, EveryReleaseFormParsesWithoutShiftedFields)
{
    std::vector<RuleLine> rules;
    for (const auto& file : corpusListings()) {
        for (const auto& line : file.lines) {
            if (auto rule = ruleLineOf(line)) {
                rules.push_back(*rule);
            }
        }
    }
    if (rules.empty()) {
        GTEST_SKIP() << "no rule lines in the listings of " << KEEPWALL_CORPUS_DIR;
    }
    static const std::set<std::string> actions = {
        "allow", "deny", "unreach", "reset", "count", "divert", "tee", "fwd", "skipto", "pipe", "queue", "set"
    }; // "set N" leads every rule of a -S listing
    static const char* const times[] = { "Thu Mar  6 14:02:51 2003", "Sun Nov 30 23:59:59 2003" };
    struct Form {
        const char* release;
        bool matched;
        bool rightAligned;
        std::string filler; // between the byte counter's blank and the rule text
        std::string dynamicLine;
    };
    const Form forms[] = {
        { "10.1, never matched", false, false, std::string(25, ' '), "" },
        { "10.1, matched", true, false, "", "" },
        { "10.2/10.3, never matched", false, false, "\t\t\t ",
          "02000 5 320 (T 295, # 17) ty 0 tcp, 10.0.0.5 1234 <-> 10.0.0.1 22" },
        { "10.2/10.3, matched", true, false, "", "02000 5 320 (T 295, # 17) ty 0 udp, 10.0.0.5 53 <-> 10.0.0.1 53" },
        { "10.4, never matched", false, true, std::string(24, ' ') + " ",
          "02000      5       320 (295s) STATE tcp 10.0.0.5 1234 <-> 10.0.0.1 22" },
        { "10.4, matched", true, true, "", "02000      5       320 (295s) STATE tcp 10.0.0.5 1234 <-> 10.0.0.1 22" },
    };
    const IPFWListingParser parser;
    for (const auto& form : forms) {
        std::string listing;
        std::size_t expectedRows = 0;
        for (std::size_t i = 0; i < rules.size(); ++i) {
            const RuleLine& rule = rules[i];
            char counters[64];
            std::snprintf(counters, sizeof counters, form.rightAligned ? "%05lld %10lld %12lld " : "%05lld %lld %lld ",
                          static_cast<long long>(rule.number), static_cast<long long>(rule.packets),
                          static_cast<long long>(rule.bytes));
            listing += counters;
            listing += form.matched ? std::string(times[i % 2]) + " " : form.filler;
            listing += rule.text + "\n";
            expectedRows += rule.text.rfind("check-state", 0) == 0 ? 0 : 1;
        }
        if (!form.dynamicLine.empty()) {
            listing += "## Dynamic rules:\n" + form.dynamicLine + "\n";
        }

        const ListingResult result = parser.parseOutput(listing);
        ASSERT_EQ(result.ruleRows.size(), expectedRows) << form.release;
        std::size_t r = 0;
        for (std::size_t i = 0; i < rules.size(); ++i) {
            if (rules[i].text.rfind("check-state", 0) == 0) {
                continue;
            }
            const RuleRow& row = result.ruleRows[r++];
            const std::string what = std::string(form.release) + ": " + rules[i].text;
            expectNumbers(row, rules[i], what);
            EXPECT_EQ(row.text(RuleKey::FilterItem), rules[i].text) << what;
            EXPECT_EQ(row.text(RuleKey::Action), firstWord(rules[i].text)) << what;
            EXPECT_TRUE(actions.count(row.text(RuleKey::Action))) << what;
            if (form.matched) {
                EXPECT_EQ(row.text(RuleKey::DateItem), times[i % 2]) << what;
            } else {
                EXPECT_FALSE(row.has(RuleKey::DateItem)) << what;
            }
        }
        if (form.dynamicLine.empty()) {
            EXPECT_TRUE(result.dynamicFilters.empty()) << form.release;
        } else {
            EXPECT_EQ(result.dynamicFilters, (std::vector<std::string> { form.dynamicLine, "" })) << form.release;
        }
    }
}

} // namespace

#include "logarchive/LogParser.h"

#include "base/Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

using kw::LogItem;
using kw::LogItemView;
using kw::LogParser;
using kw::LogYearRule;

namespace {

std::vector<LogItem> parseAll(std::string_view text, LogYearRule rule = LogYearRule(2026, 12), bool kernelTag = false)
{
    std::vector<LogItem> items;
    LogParser parser(
        rule, [&](const LogItemView& v) { items.push_back(LogItem::fromView(v)); }, kernelTag);
    parser.feed(text);
    parser.finish();
    return items;
}

std::optional<LogItem> parseOne(std::string_view line, LogYearRule rule = LogYearRule(2026, 12))
{
    const auto items = parseAll(line, rule);
    if (items.size() != 1) {
        return std::nullopt;
    }
    return items.front();
}

constexpr const char* kDenyLine =
    "Dec  9 20:11:21 host kernel: ipfw: 65535 Deny TCP 10.0.1.5:1234 10.0.1.1:80 in via en0";

TEST(LogParser, KernelLineGivesEveryField)
{
    const auto item = parseOne(kDenyLine);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->timestamp, "2026-12-09 20:11:21");
    EXPECT_EQ(item->ruleNo, "65535");
    EXPECT_EQ(item->action, "Deny");
    EXPECT_EQ(item->proto, "TCP");
    EXPECT_EQ(item->srcHost, "10.0.1.5");
    EXPECT_EQ(item->srcPort, "1234");
    EXPECT_EQ(item->srcLabel(), "10.0.1.5\nPort 1234");
    EXPECT_EQ(item->dstHost, "10.0.1.1");
    EXPECT_EQ(item->dstPort, "80");
    EXPECT_EQ(item->dstLabel(), "10.0.1.1\nPort 80");
    EXPECT_EQ(item->dir, "in");
    EXPECT_EQ(item->interface, "en0");
    const auto d = item->dictionary();
    EXPECT_EQ(d.at("srcLabel"), "10.0.1.5\nPort 1234");
    EXPECT_EQ(d.size(), 12u);
}

TEST(LogParser, LineCaseTable)
{
    struct Case {
        const char* line;
        bool yields;
        const char* proto;
        std::optional<std::string> srcPort;
        const char* interface;
    };
    const Case cases[] = {
        // addresses without ports
        { "Dec  9 20:11:21 host kernel: ipfw: 100 Deny ICMP:8.0 10.0.1.5 10.0.1.1 in via en0", true, "ICMP:8.0",
          std::nullopt, "en0" },
        // only 7 words
        { "Dec  9 20:11:21 host kernel: ipfw: 100 Deny TCP 10.0.1.5:1 10.0.1.1:2 in via", false, "", std::nullopt, "" },
        // more than 8 words: the first 8 count
        { "Dec  9 20:11:21 host kernel: ipfw: 100 Deny TCP 10.0.1.5:1 10.0.1.1:2 in via en1 extra words", true, "TCP",
          "1", "en1" },
        // two spaces after "ipfw: ": one empty word dropped
        { "Dec  9 20:11:21 host kernel: ipfw:  100 Deny TCP 10.0.1.5:1 10.0.1.1:2 in via en2", true, "TCP", "1",
          "en2" },
        // trailing blank as some kernels write it
        { "Jan  6 22:31:29 lhotse /kernel: ipfw: 140 Deny ICMP:11.0 1.2.3.4 5.6.7.8 in via vx3 ", true, "ICMP:11.0",
          std::nullopt, "vx3" },
        // day without padding
        { "Oct 9 19:43:33 home kernel: ipfw: 60 Accept TCP 192.168.0.5:22 192.168.0.222:52195 out via fxp0", true,
          "TCP", "22", "fxp0" },
        // carriage return before the line feed
        { "Dec  9 20:11:21 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en3\r", true, "TCP", "1", "en3" },
        // source with two colons: the port is between the first and the second
        { "Dec  9 20:11:21 h kernel: ipfw: 1 Deny TCP 1.1.1.1:7:9 2.2.2.2:2 in via en4", true, "TCP", "7", "en4" },
        { "Dec  9 20:11", false, "", std::nullopt, "" }, // 16 characters or fewer
        { "Dec  9 20:11:21 host kernel: something else entirely", false, "", std::nullopt, "" }, // no "ipfw: "
        { "Xyz  9 20:11:21 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", false, "", std::nullopt, "" },
        { "Feb 30 20:11:21 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", false, "", std::nullopt, "" },
        { "Dec  9 24:11:21 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", false, "", std::nullopt, "" },
        { "Dec  9 20:61:21 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", false, "", std::nullopt, "" },
        { "Dec 00 20:11:21 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", false, "", std::nullopt, "" },
        // a field with a control byte is not a firewall line
        { "Dec  9 20:11:21 h kernel: ipfw: 1 De\x01ny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", false, "", std::nullopt,
          "" },
        { "Dec  9 20:11:21 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via \xe9n0", false, "", std::nullopt, "" },
    };
    for (const auto& c : cases) {
        const auto item = parseOne(c.line);
        ASSERT_EQ(item.has_value(), c.yields) << c.line;
        if (item) {
            EXPECT_EQ(item->proto, c.proto) << c.line;
            EXPECT_EQ(item->srcPort, c.srcPort) << c.line;
            EXPECT_EQ(item->interface, c.interface) << c.line;
        }
    }
}

TEST(LogParser, MissingPortsGiveNALabels)
{
    const auto item = parseOne("Dec  9 20:11:21 host kernel: ipfw: 100 Deny ICMP:8.0 10.0.1.5 10.0.1.1 in via en0");
    ASSERT_TRUE(item);
    EXPECT_FALSE(item->dstPort);
    EXPECT_EQ(item->srcLabel(), "10.0.1.5\nPort N/A");
    EXPECT_EQ(item->dstLabel(), "10.0.1.1\nPort N/A");
    EXPECT_EQ(item->dictionary().count("srcPort"), 0u);
}

TEST(LogParser, YearRuleNeverDatesIntoTheFuture)
{
    struct Case {
        int year;
        int month;
        const char* line;
        const char* timestamp;
    };
    const Case cases[] = {
        { 2027, 1, "Dec 31 23:59:59 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", "2026-12-31 23:59:59" },
        { 2027, 1, "Jan  1 00:00:01 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", "2027-01-01 00:00:01" },
        { 2026, 6, "Jun 30 12:00:00 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", "2026-06-30 12:00:00" },
        { 2026, 6, "Jul  1 12:00:00 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", "2025-07-01 12:00:00" },
        // Feb 29 is checked against the year the rule gives
        { 2025, 3, "Feb 29 10:00:00 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", nullptr },
        { 2024, 3, "Feb 29 10:00:00 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", "2024-02-29 10:00:00" },
        { 2025, 1, "Feb 29 10:00:00 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", "2024-02-29 10:00:00" },
    };
    for (const auto& c : cases) {
        const auto item = parseOne(c.line, LogYearRule(c.year, c.month));
        if (c.timestamp == nullptr) {
            EXPECT_FALSE(item) << c.line;
        } else {
            ASSERT_TRUE(item) << c.line;
            EXPECT_EQ(item->timestamp, c.timestamp) << c.line;
        }
    }
}

TEST(LogParser, ReadingAcrossNewYearKeepsTextOrderChronological)
{
    const std::string text = "Dec 31 23:59:58 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0\n"
                             "Jan  1 00:00:02 h kernel: ipfw: 2 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0\n";
    const auto items = parseAll(text, LogYearRule(2027, 1));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_LT(items[0].timestamp, items[1].timestamp);
}

TEST(LogParser, YearRuleFromClockUsesLocalTime)
{
    setenv("TZ", "UTC", 1);
    tzset();
    const LogYearRule rule(std::time_t(1796000000)); // 2026-11-29 UTC
    EXPECT_EQ(rule.year(), 2026);
    EXPECT_EQ(rule.month(), 11);
}

TEST(LogParser, BadLinesDoNotStopTheOthers)
{
    std::vector<std::string> logged;
    kw::LogCapture capture([&](const std::string& l) { logged.push_back(l); });
    const char binary[] = "\0\0\0\xff\xfe binary \0 line ipfw: \0\n";
    const std::string text = std::string("garbage\n") +
                             "Xyz 99 99:99:99 h kernel: ipfw: 1 Deny TCP 1:1 2:2 in via en0\n" + kDenyLine + "\n" +
                             std::string(binary, sizeof binary - 1) + kDenyLine;
    const auto items = parseAll(text);
    EXPECT_EQ(items.size(), 2u); // the last line has no line feed and still counts
    ASSERT_FALSE(logged.empty());
    EXPECT_NE(logged.front().find("does not read as a date"), std::string::npos);
}

TEST(LogParser, PiecesOfAnySizeGiveTheSameItems)
{
    std::string text;
    for (int i = 0; i < 50; ++i) {
        text += "Dec  9 20:11:" + std::to_string(10 + i % 50) + " host kernel: ipfw: " + std::to_string(i) +
                " Deny TCP 10.0.1.5:1234 10.0.1.1:80 in via en0\n";
    }
    text += "Dec  9 20:11:21 truncated kernel: ipfw: 7 Deny TCP 10.0.1.5:1 10.0.1.1:8";
    const auto whole = parseAll(text);
    EXPECT_EQ(whole.size(), 50u);
    for (std::size_t step : { 1u, 2u, 7u, 64u, 1000u }) {
        std::vector<LogItem> items;
        LogParser parser(LogYearRule(2026, 12), [&](const LogItemView& v) { items.push_back(LogItem::fromView(v)); });
        for (std::size_t at = 0; at < text.size(); at += step) {
            parser.feed(std::string_view(text).substr(at, step));
        }
        parser.finish();
        EXPECT_EQ(items, whole) << "piece size " << step;
    }
}

TEST(LogParser, OverlongLinesAreSkippedWholeOrInPieces)
{
    const std::string longLine = std::string(kDenyLine) + " " + std::string(LogParser::kMaxLineLength, 'x');
    const std::string text =
        longLine + "\n" + kDenyLine + "\n" + std::string(3 * LogParser::kMaxLineLength, 'y') + "\n" + kDenyLine + "\n";
    for (std::size_t step : { text.size(), std::size_t(4096), std::size_t(100000) }) {
        std::size_t count = 0;
        LogParser parser(LogYearRule(2026, 12), [&](const LogItemView&) { ++count; });
        for (std::size_t at = 0; at < text.size(); at += step) {
            parser.feed(std::string_view(text).substr(at, step));
        }
        parser.finish();
        EXPECT_EQ(count, 2u) << "piece size " << step;
        EXPECT_EQ(parser.overlongLines(), 2u) << "piece size " << step;
    }
}

TEST(LogParser, KernelTagSelectsFirewallLinesOfTheSystemLog)
{
    const std::string text = std::string(kDenyLine) + "\n" +
                             "Dec  9 20:11:22 host someapp: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0\n";
    EXPECT_EQ(parseAll(text, LogYearRule(2026, 12), true).size(), 1u);
    EXPECT_EQ(parseAll(text, LogYearRule(2026, 12), false).size(), 2u);
}

TEST(LogParser, OnlyTheKernelsOwnLinesCountInTheSystemLog)
{
    const char* words = "ipfw: 7 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0";
    struct Case {
        std::string line;
        bool counts;
    };
    const Case cases[] = {
        { std::string("Dec  9 20:11:21 host kernel: ") + words, true },
        { std::string("Dec  9 20:11:21 host mach_kernel: ") + words, true },
        { std::string("Dec  9 20:11:21 host /kernel: ") + words, true },
        { "Dec  9 20:11:21 host ipfw:  7 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", true },
        { std::string("Mar 17 23:43:27 <security.info> FW kernel: ") + words, true },
        { std::string("Oct 9 19:43:33 home kernel: ") + words, true },
        // the same text inside another program's message
        { std::string("Dec  9 20:11:21 host sshd[42]: invalid user kernel: ") + words, false },
        { std::string("Dec  9 20:11:21 host logger: kernel: ") + words, false },
        { std::string("Dec  9 20:11:21 host app: mach_kernel: ") + words, false },
        { std::string("Dec  9 20:11:21 host kernel: said kernel: ") + words, false },
        { std::string("Dec  9 20:11:21 host xkernel: ") + words, false },
        { std::string("Dec  9 20:11:21 host kernel:  ") + words, false },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseAll(c.line, LogYearRule(2026, 12), true).size(), c.counts ? 1u : 0u) << c.line;
    }
    // Without the tag (the firewall's own log file) any "ipfw: " counts, as before.
    EXPECT_EQ(parseAll(cases[6].line).size(), 1u);
}

TEST(LogParser, MultiWordActionsKeepEveryFieldInItsColumn)
{
    struct Case {
        const char* words;
        const char* action;
        const char* proto;
        const char* src;
        const char* dstPort;
        const char* dir;
        const char* interface;
    };
    const Case cases[] = {
        { "100 Deny TCP 1.2.3.4:5 6.7.8.9:80 in via en0", "Deny", "TCP", "1.2.3.4", "80", "in", "en0" },
        { "100 Count ICMP:3.1 208.222.9.137 24.131.112.234 in via en0", "Count", "ICMP:3.1", "208.222.9.137", nullptr,
          "in", "en0" },
        { "1000 Divert 8668 TCP 10.0.0.5:1234 8.8.8.8:80 out via en1", "Divert 8668", "TCP", "10.0.0.5", "80", "out",
          "en1" },
        { "2000 Forward to 127.0.0.1:3128 TCP 10.0.0.5:1234 8.8.8.8:80 in via en0", "Forward to 127.0.0.1:3128", "TCP",
          "10.0.0.5", "80", "in", "en0" },
        { "2001 Forward to 127.0.0.1 UDP 10.0.0.5:53 8.8.8.8:53 in via en0", "Forward to 127.0.0.1", "UDP", "10.0.0.5",
          "53", "in", "en0" },
        { "300 SkipTo 500 UDP 10.0.0.5:53 8.8.8.8:53 out via en0", "SkipTo 500", "UDP", "10.0.0.5", "53", "out",
          "en0" },
        { "310 Pipe 2 TCP 10.0.0.5:1 8.8.8.8:2 out via en0", "Pipe 2", "TCP", "10.0.0.5", "2", "out", "en0" },
        { "320 Queue 7 TCP 10.0.0.5:1 8.8.8.8:2 out via en0", "Queue 7", "TCP", "10.0.0.5", "2", "out", "en0" },
        { "330 Tee 8000 P:2 10.0.0.5 224.0.0.1 out via en0", "Tee 8000", "P:2", "10.0.0.5", nullptr, "out", "en0" },
        { "340 Unreach 3 TCP 10.0.0.5:1 8.8.8.8:2 in via en0", "Unreach 3", "TCP", "10.0.0.5", "2", "in", "en0" },
        { "350 Unreach TCP 10.0.0.5:1 8.8.8.8:2 in via en0", "Unreach", "TCP", "10.0.0.5", "2", "in", "en0" },
        // a later fragment: no ports, the offset after the interface
        { "360 Deny TCP 10.0.0.5 8.8.8.8 in via en0 Fragment = 185", "Deny", "TCP", "10.0.0.5", nullptr, "in", "en0" },
    };
    for (const auto& c : cases) {
        const auto item = parseOne(std::string("Dec  9 20:11:21 host kernel: ipfw: ") + c.words);
        ASSERT_TRUE(item) << c.words;
        EXPECT_EQ(item->action, c.action) << c.words;
        EXPECT_EQ(item->proto, c.proto) << c.words;
        EXPECT_EQ(item->srcHost, c.src) << c.words;
        EXPECT_EQ(item->dstPort, c.dstPort ? std::optional<std::string>(c.dstPort) : std::nullopt) << c.words;
        EXPECT_EQ(item->dir, c.dir) << c.words;
        EXPECT_EQ(item->interface, c.interface) << c.words;
    }
    // A multi-word action needs its own words on top of the eight fields.
    EXPECT_FALSE(parseOne("Dec  9 20:11:21 host kernel: ipfw: 1000 Divert 8668 TCP 10.0.0.5:1 8.8.8.8:80 out via"));
}

TEST(LogParser, RepeatedMessageCountsAsMoreEntriesOfTheLineBefore)
{
    const std::string fw =
        "Oct 29 09:40:06 h mach_kernel: ipfw: 65435 Deny TCP 24.37.178.180:2052 24.131.112.234:27374 "
        "in via en0\n";
    struct Case {
        std::string text;
        std::size_t items;
    };
    const Case cases[] = {
        { fw + "Oct 29 09:40:27 h last message repeated 3 times\n", 4 },
        { fw + "Oct 29 09:40:27 h last message repeated 1 time\n", 2 },
        { fw + "Oct 29 09:40:27 h last message repeated 3 times\nOct 29 09:41:27 h last message repeated 2 times\n",
          6 },
        // not directly after a firewall line
        { fw + "Oct 29 09:40:20 h lookupd[214]: reset\nOct 29 09:40:27 h last message repeated 3 times\n", 1 },
        { "Oct 29 09:40:27 h last message repeated 3 times\n" + fw, 1 },
        // another program's message of that wording
        { fw + "Oct 29 09:40:27 h app: last message repeated 3 times\n", 1 },
        { fw + "Oct 29 09:40:27 h last message repeated x times\n", 1 },
    };
    for (const auto& c : cases) {
        const auto items = parseAll(c.text, LogYearRule(2026, 12), true);
        ASSERT_EQ(items.size(), c.items) << c.text;
        for (const auto& item : items) {
            EXPECT_EQ(item, items.front()) << c.text; // same fields and the first line's time stamp
        }
    }
    // Pieces of any size give the same count.
    const std::string text = cases[2].text;
    std::size_t count = 0;
    LogParser parser(
        LogYearRule(2026, 12), [&](const LogItemView&) { ++count; }, true);
    for (std::size_t at = 0; at < text.size(); at += 3) {
        parser.feed(std::string_view(text).substr(at, 3));
    }
    parser.finish();
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(parser.itemCount(), 6u);
}

TEST(LogParser, LinesAreNeverDatedIntoTheFuture)
{
    setenv("TZ", "UTC", 1);
    tzset();
    const std::time_t now = 1773144000; // 2026-03-10 12:00 UTC
    const LogYearRule rule(now);
    struct Case {
        const char* date;
        const char* timestamp;
    };
    const Case cases[] = {
        { "Mar 10 11:00:00", "2026-03-10 11:00:00" }, // today
        { "Mar 11 23:59:59", "2026-03-11 23:59:59" }, // a day of clock skew
        { "Mar 12 00:00:00", "2025-03-12 00:00:00" }, // later this month: last year
        { "Apr  1 00:00:00", "2025-04-01 00:00:00" }, { "Jan  1 00:00:00", "2026-01-01 00:00:00" },
        { "Dec 31 23:00:00", "2025-12-31 23:00:00" },
    };
    for (const auto& c : cases) {
        const auto item =
            parseOne(std::string(c.date) + " h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", rule);
        ASSERT_TRUE(item) << c.date;
        EXPECT_EQ(item->timestamp, c.timestamp) << c.date;
    }
    // On the last day of the year the skew day is in the next year: every date is this year's.
    const LogYearRule lastDay(std::time_t(1798718400)); // 2026-12-31 12:00 UTC
    const auto item = parseOne("Dec 31 23:00:00 h kernel: ipfw: 1 Deny TCP 1.1.1.1:1 2.2.2.2:2 in via en0", lastDay);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->timestamp, "2026-12-31 23:00:00");
}

std::string readCorpusFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(LogParser, SharedCorpusParsesWithoutSurprises)
{
    namespace fs = std::filesystem;
    const fs::path corpus(KEEPWALL_CORPUS_DIR);
    if (!fs::is_directory(corpus)) {
        GTEST_SKIP() << "corpus absent";
    }
    std::size_t files = 0;
    std::size_t items = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("logs-", 0) != 0) {
            continue;
        }
        const std::string text = readCorpusFile(entry.path());
        // Every firewall line of the excerpt is an entry, and so is every repeat of one.
        std::size_t expected = 0;
        bool afterFirewall = false;
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find('\n', start);
            end = end == std::string::npos ? text.size() : end;
            const std::string_view line(text.data() + start, end - start);
            if (line.find(" ipfw: ") != std::string_view::npos) {
                ++expected;
                afterFirewall = true;
            } else if (afterFirewall && LogParser::repeatCount(line) > 0) {
                expected += LogParser::repeatCount(line);
            } else {
                afterFirewall = false;
            }
            start = end + 1;
        }
        for (const bool kernelTag : { false, true }) {
            const auto parsed = parseAll(text, LogYearRule(2026, 12), kernelTag);
            EXPECT_EQ(parsed.size(), expected) << name << (kernelTag ? " as a system log" : "");
            for (const auto& item : parsed) {
                EXPECT_EQ(item.timestamp.size(), 19u) << name;
                EXPECT_FALSE(item.ruleNo.empty()) << name;
                EXPECT_TRUE(item.ruleNo.find_first_not_of("0123456789") == std::string::npos) << name;
                EXPECT_TRUE(item.action == "Deny" || item.action == "Accept" || item.action == "Count" ||
                            item.action == "Unreach")
                    << name << ": " << item.action;
                EXPECT_TRUE(item.proto == "TCP" || item.proto == "UDP" || item.proto.rfind("ICMP:", 0) == 0 ||
                            item.proto.rfind("P:", 0) == 0)
                    << name << ": " << item.proto;
                EXPECT_EQ(item.srcPort.has_value(), item.proto == "TCP" || item.proto == "UDP") << name;
                EXPECT_TRUE(item.dir == "in" || item.dir == "out") << name << ": " << item.dir;
                EXPECT_FALSE(item.interface.empty()) << name;
            }
            items += parsed.size();
        }
        ++files;
    }
    if (files == 0) {
        GTEST_SKIP() << "no log files in the corpus";
    }
    EXPECT_GT(items, 40u);
}

TEST(LogParser, CorpusSystemLogCountsRepeats)
{
    const std::filesystem::path path =
        std::filesystem::path(KEEPWALL_CORPUS_DIR) / "logs-macosx-10.1-system-log-awgperl.txt";
    if (!std::filesystem::is_regular_file(path)) {
        GTEST_SKIP() << "corpus absent";
    }
    const auto items = parseAll(readCorpusFile(path), LogYearRule(2026, 12), true);
    // 23 firewall lines, two of them followed by "last message repeated 3 times".
    ASSERT_EQ(items.size(), 29u);
    std::size_t port27374 = 0;
    for (const auto& item : items) {
        port27374 += item.dstPort == std::optional<std::string>("27374") ? 1 : 0;
    }
    EXPECT_EQ(port27374, 9u); // three lines, two of them repeated three times
    const auto igmp = std::find_if(items.begin(), items.end(), [](const LogItem& i) { return i.proto == "P:2"; });
    ASSERT_NE(igmp, items.end());
    EXPECT_EQ(igmp->dir, "out");
    EXPECT_EQ(igmp->interface, "en0");
}

} // namespace

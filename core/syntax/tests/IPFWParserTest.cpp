// The rule text checker: line numbering over the whole text, comments, carriage returns, the
// word limit, over-long lines, odd bytes, and one check at a time.
#include "syntax/IPFWParser.h"
#include "SyntaxTestRoot.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace kw::test {
namespace {

using namespace std::string_literals;

struct TextCase {
    const char* name;
    std::string text;
    int result;
    std::vector<std::pair<long long, std::string>> events;
};

std::ostream& operator<<(std::ostream& os, const TextCase& c)
{
    return os << c.name;
}

const std::string kLongWord(1100, 'w');

const TextCase kTextCases[] = {
    { "EmptyText", "", 1, {} },
    { "OnlyLineFeeds", "\n\n\n", 1, {} },
    { "CommentThenRule", "# comment\nadd 100 allow ip from any to any", 1, {} },
    { "TrailingComment", "add 100 allow ip from any to any # comment", 1, {} },
    { "CommentWithoutBlank", "add 100 allow ip from any to any#comment", 1, {} },
    { "CommentedOutRule", "#add 1 frob", 1, {} },
    { "IndentedComment", "   # only a comment\nadd 1 frob", 0, { { 2, "invalid action ``frob''" } } },
    { "EveryLineExamined",
      "add 100 allow ip from any to any\nadd 200 bogus ip from any to any\nadd 300 frob",
      0,
      { { 2, "invalid action ``bogus''" }, { 3, "invalid action ``frob''" } } },
    { "BlankLinesCount", "\n \nadd 100 frob", 0, { { 3, "invalid action ``frob''" } } },
    { "TabsOnlyLineCounts", "\t\t\nadd 100 frob", 0, { { 2, "invalid action ``frob''" } } },
    { "RejectedThenAccepted", "add 1 frob\nadd 2 allow ip from any to any", 0, { { 1, "invalid action ``frob''" } } },
    { "SeveralMessagesOneLine",
      "\nadd 1 allow icmp from any to any icmptypes 200,300",
      0,
      { { 2, "ICMP type out of range" }, { 2, "ICMP type out of range" } } },
    { "CarriageReturnLineFeeds",
      "add 100 allow ip from any to any\r\nadd 200 frob\r\n\r\nadd 300 deny ip from any to any\r\n",
      0,
      { { 2, "invalid action ``frob''" } } },
    { "CarriageReturnOnlyLine", "\r\nadd 1 frob", 0, { { 2, "invalid action ``frob''" } } },
    { "CarriageReturnOnlyIsNotANewLine",
      "add 1 allow ip from any to any\radd 2",
      0,
      { { 1, "unknown argument ``add''" } } },
    { "OtherWhiteSpaceSeparates", "add\f1\vallow\tip from any to any", 1, {} },
    { "CommentLineWithCarriageReturn", "# comment\r\n", 1, {} },
    { "NulSeparatesWords", "add 1 allow ip from any to any\0junk"s, 0, { { 1, "unknown argument ``junk''" } } },
    { "NulAtEnd", "add 1 allow ip from any to any\0"s, 1, {} },
    { "NonAsciiInterfaceName", "add 1 allow ip from any to any via \xc3\xa9n0", 1, {} },
    { "NonAsciiWordKeptIntact", "add 1 \xff\xfe ip from any to any", 0, { { 1, "invalid action ``\xff\xfe''" } } },
    { "LongestLine", "add 1 allow ip from any to any" + std::string(1023 - 30, ' '), 1, {} },
    { "OverLongLine",
      "add 1 frob\nadd 1 allow ip from any to any" + std::string(1024 - 30, ' ') + "\nadd 3 frob",
      0,
      { { 1, "invalid action ``frob''" },
        { 2, "line too long (max is 1023 bytes)" },
        { 3, "invalid action ``frob''" } } },
    { "OverLongWord", "add 1 " + kLongWord, 0, { { 1, "line too long (max is 1023 bytes)" } } },
    { "OverLongComment", "#" + kLongWord, 0, { { 1, "line too long (max is 1023 bytes)" } } },
    { "ThirtyOneWords",
      "add 100 allow ip from any to any in in in in in in in in in in in in in in in in in in in in in in in",
      1,
      {} },
};

class TextCaseTest : public SyntaxTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextCaseTest, NumbersEveryLineAndAnswersForTheWholeText)
{
    const TextCase& c = GetParam();
    EventRecorder recorder;
    EXPECT_EQ(checkIPFWText(c.text, names()), c.result);
    std::vector<std::pair<long long, std::string>> seen;
    for (const auto& e : recorder.events()) {
        seen.emplace_back(e.line, e.message);
        EXPECT_EQ(e.type, IPFWParserErrorEvent);
    }
    EXPECT_EQ(seen, c.events);
}

INSTANTIATE_TEST_SUITE_P(Checker, TextCaseTest, ::testing::ValuesIn(kTextCases),
                         [](const auto& param) { return std::string(param.param.name); });

std::string wordsLine(int count, const char* word = "in")
{
    std::string line = "add";
    for (int i = 1; i < count; ++i) {
        line += ' ';
        line += word;
    }
    return line;
}

TEST_F(SyntaxTest, ThirtyOneWordsAreExamined)
{
    EventRecorder recorder;
    // "add" and 30 more words: the validator sees them all (and finds no action it knows).
    EXPECT_EQ(checkIPFWText(wordsLine(31), names()), 0);
    ASSERT_EQ(recorder.events().size(), 1u);
    EXPECT_EQ(recorder.events()[0], (Event { 1, "invalid action ``in''", IPFWParserErrorEvent }));
}

TEST_F(SyntaxTest, ThirtyTwoWordsStopTheCheck)
{
    // The most words a line of 1023 bytes can hold is 512.
    for (const int count : { 32, 33, 500 }) {
        SCOPED_TRACE(count);
        EventRecorder recorder;
        const std::string text = "add 1 frob\n\n" + wordsLine(count, "a") + "\nadd 4 frob";
        try {
            checkIPFWText(text, names());
            ADD_FAILURE() << "no exception";
        } catch (const IPFWTooManyArguments& e) {
            EXPECT_EQ(e.lineNumber(), 3);
            EXPECT_STREQ(e.what(), "Line 3: too many arguments");
            EXPECT_EQ(IPFWTooManyArguments::exitStatus(), 64);
        }
        // The lines before it were examined; the check stopped there.
        ASSERT_EQ(recorder.events().size(), 1u);
        EXPECT_EQ(recorder.events()[0].line, 1);
    }
}

TEST_F(SyntaxTest, CommentedWordsDoNotCount)
{
    EXPECT_EQ(checkIPFWText("add 1 allow ip from any to any #" + wordsLine(40), names()), 1);
}

TEST_F(SyntaxTest, LineNumberEndsAtTheLastLine)
{
    std::lock_guard lock(ipfwCheckLock());
    checkIPFWText("a\nb\n", names());
    EXPECT_EQ(lineno, 3);
}

TEST_F(SyntaxTest, HugeTextsNeitherOverrunNorCrash)
{
    {
        // One line of 100 MB: rejected without being copied.
        EventRecorder recorder;
        std::string text(100u << 20, 'x');
        text.insert(0, "add ");
        EXPECT_EQ(checkIPFWText(text, names()), 0);
        ASSERT_EQ(recorder.events().size(), 1u);
        EXPECT_EQ(recorder.events()[0].message, "line too long (max is 1023 bytes)");
    }
    {
        // 100 MB of comment lines of 1,000 bytes, then a rejected rule.
        std::string line(999, 'c');
        line.front() = '#';
        line += '\n';
        std::string text;
        const int count = (100 << 20) / 1000;
        text.reserve(static_cast<std::size_t>(count) * 1000 + 16);
        for (int i = 0; i < count; ++i) {
            text += line;
        }
        text += "add 1 frob";
        EventRecorder recorder;
        EXPECT_EQ(checkIPFWText(text, names()), 0);
        ASSERT_EQ(recorder.events().size(), 1u);
        EXPECT_EQ(recorder.events()[0].line, count + 1);
    }
    {
        // Ten million line feeds: every line counted.
        std::lock_guard lock(ipfwCheckLock());
        const std::string text(10'000'000, '\n');
        EXPECT_EQ(checkIPFWText(text, names()), 1);
        EXPECT_EQ(lineno, 10'000'001);
    }
    {
        // Many rules with an error near the end.
        std::string text;
        for (int i = 0; i < 50000; ++i) {
            text += "add " + std::to_string(i) + " allow tcp from any to any 22 in via en0 setup keep-state\n";
        }
        text += "add 9 frob\n";
        EventRecorder recorder;
        EXPECT_EQ(checkIPFWText(text, names()), 0);
        ASSERT_EQ(recorder.events().size(), 1u);
        EXPECT_EQ(recorder.events()[0].line, 50001);
    }
}

TEST_F(SyntaxTest, IsEmptyLineTrimsSpacesAndTabsOnly)
{
    const std::pair<const char*, bool> cases[] = {
        { "", true },    { " ", true },   { "\t \t", true }, { " a ", false },
        { "\r", false }, { "\f", false }, { "#", false },
    };
    for (const auto& [line, empty] : cases) {
        EXPECT_EQ(isEmptyLine(line), empty) << '"' << line << '"';
    }
}

TEST_F(SyntaxTest, SharedInstanceAnswersAsABoolean)
{
    IPFWParser& parser = IPFWParser::sharedInstance();
    EXPECT_EQ(&parser, &IPFWParser::sharedInstance());
    EXPECT_TRUE(parser.checkIPFWText("# nothing\nadd 1 allow tcp from localhost to any http"));
    EventRecorder recorder;
    EXPECT_FALSE(parser.checkIPFWText("add 1 allow tcp from any to any nosuchservice"));
    EXPECT_EQ(recorder.messages(), (std::vector<std::string> { "unknown argument ``nosuchservice''" }));
}

TEST_F(SyntaxTest, TwoThreadsNeverMixTheirLineNumbers)
{
    // Each text has its one error on its own line; a check from the other thread must never
    // shift it.
    const std::string textA = "add 1 allow ip from any to any\nadd 2 frobA\n" + std::string(50, '\n');
    const std::string textB = std::string(4, '\n') + "add 5 frobB\nadd 6 allow ip from any to any";
    std::mutex mutex;
    std::vector<std::tuple<std::thread::id, long long, std::string>> events;
    ScopedObserver observer(
        NotificationCenter::defaultCenter(), IPFWParserSyntaxEventNotification, [&](const Notification& n) {
            std::lock_guard lock(mutex);
            events.emplace_back(std::this_thread::get_id(), integerValueOf(n.userInfo.get(IPFWParserLineNumberItem)),
                                n.object.stringValue());
        });
    constexpr int kRounds = 300;
    std::atomic<int> acceptedA = 0;
    std::atomic<int> acceptedB = 0;
    auto run = [&](const std::string& text, std::atomic<int>& accepted, std::thread::id& id) {
        id = std::this_thread::get_id();
        NameServices local;
        for (int i = 0; i < kRounds; ++i) {
            accepted += checkIPFWText(text, local);
        }
    };
    std::thread::id idA;
    std::thread::id idB;
    std::thread a(run, std::cref(textA), std::ref(acceptedA), std::ref(idA));
    std::thread b(run, std::cref(textB), std::ref(acceptedB), std::ref(idB));
    a.join();
    b.join();
    EXPECT_EQ(acceptedA, 0);
    EXPECT_EQ(acceptedB, 0);
    ASSERT_EQ(events.size(), 2u * kRounds);
    for (const auto& [thread, line, message] : events) {
        if (message == "invalid action ``frobA''") {
            EXPECT_EQ(line, 2);
            EXPECT_EQ(thread, idA);
        } else {
            EXPECT_EQ(message, "invalid action ``frobB''");
            EXPECT_EQ(line, 5);
            EXPECT_EQ(thread, idB);
        }
    }
}

TEST_F(SyntaxTest, ObserverMayCheckTextItself)
{
    std::vector<std::pair<long long, std::string>> seen;
    bool nested = false;
    ScopedObserver observer(
        NotificationCenter::defaultCenter(), IPFWParserSyntaxEventNotification, [&](const Notification& n) {
            seen.emplace_back(integerValueOf(n.userInfo.get(IPFWParserLineNumberItem)), n.object.stringValue());
            if (!nested) {
                nested = true;
                EXPECT_EQ(checkIPFWText("\n\n\nadd 1 inner", names()), 0);
            }
        });
    EXPECT_EQ(checkIPFWText("add 1 outer\nadd 2 second", names()), 0);
    const std::vector<std::pair<long long, std::string>> expected = { { 1, "invalid action ``outer''" },
                                                                      { 4, "invalid action ``inner''" },
                                                                      { 2, "invalid action ``second''" } };
    EXPECT_EQ(seen, expected);
}

} // namespace
} // namespace kw::test

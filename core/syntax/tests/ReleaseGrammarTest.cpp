// The release grammar: on 10.4 the newer command's forms with their meaning, the same rules as
// the checker's grammar for everything that grammar accepts, and the checker's own grammar
// unchanged.
#include "SyntaxTestRoot.h"
#include "TigerCorpus.h"
#include "base/Release.h"
#include "syntax/IPFWParser.h"

#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace kw::test {
namespace {

// The release flags for one scope, restored afterwards.
class ReleaseFlags {
public:
    explicit ReleaseFlags(double toolkitVersion)
        : m_old { KWRunningOnJaguar, KWRunningOnPanther, KWRunningOnTiger }
    {
        setReleaseFlags(toolkitVersion);
    }
    ~ReleaseFlags()
    {
        KWRunningOnJaguar = m_old[0];
        KWRunningOnPanther = m_old[1];
        KWRunningOnTiger = m_old[2];
    }
    ReleaseFlags(const ReleaseFlags&) = delete;
    ReleaseFlags& operator=(const ReleaseFlags&) = delete;

private:
    bool m_old[3];
};

constexpr double kPuma = 620, kJaguar = 663, kTiger = 824;

struct TigerCase {
    const char* line;
    const char* text; // the listing text of the rule read; nullptr when it is refused
    std::vector<std::string> messages;
};

std::ostream& operator<<(std::ostream& os, const TigerCase& c)
{
    return os << c.line;
}

const TigerCase kTigerCases[] = {
    // Sets: the listing text leaves the set out.
    { "add 00100 set 0 allow ip from any to any via lo*", "allow ip from any to any via lo*", {} },
    { "add 00300 set 1 check-state", "check-state", {} },
    { "add 100 set 31 deny ip from any to any", "deny ip from any to any", {} },
    { "add 100 set 32 deny ip from any to any", nullptr, { "illegal set 32" } },
    { "add 100 set -1 deny ip from any to any", nullptr, { "illegal set -1" } },
    { "add 100 set x deny ip from any to any", nullptr, { "illegal set x" } },
    { "add 100 set 1 prob 0.5 deny ip from any to any", "prob 0.5 deny ip from any to any", {} },
    // Only the whole word is a set: "s" still selects skipto.
    { "add 100 s 200 ip from any to any", "skipto 200 ip from any to any", {} },
    // Port options: the ports of their side, listed after its address.
    { "add 700 set 3 allow tcp from any to me dst-port 22 in setup keep-state",
      "allow tcp from any to me 22 in setup keep-state",
      {} },
    { "add 20320 allow udp from any 67 to any dst-port 68 in", "allow udp from any 67 to any 68 in", {} },
    { "add 100 allow udp from any to any src-port 53", "allow udp from any 53 to any", {} },
    { "add 100 allow tcp from any to any 80 src-port 1024-65535", "allow tcp from any 1024-65535 to any 80", {} },
    { "add 100 allow tcp from any to any in dst-port http,ssh", "allow tcp from any to any 80,22 in", {} },
    { "add 100 allow tcp from any to any dst-port", nullptr, { "missing destination port" } },
    { "add 100 allow tcp from any to any src-port", nullptr, { "missing source port" } },
    { "add 100 allow tcp from any to any 80 dst-port 81", nullptr, { "destination ports given twice" } },
    { "add 100 allow tcp from any 80 to any src-port 81", nullptr, { "source ports given twice" } },
    { "add 100 allow icmp from any to any dst-port 80",
      nullptr,
      { "only TCP and UDP protocols are valid with port specifications" } },
    { "add 100 allow udp from any to any 1,2,3,4,5,6 src-port 7,8,9,10,11", nullptr, { "too many ports (max is 10)" } },
    { "add 100 allow ip from any to any frag dst-port 80", nullptr, { "can't mix 'frag' and port specifications" } },
    { "add 100 allow tcp from any to any dst-port 5,1-2", nullptr, { "unknown port ``1-2''" } },
    // Ports on protocol ip (they match TCP and UDP packets only); other protocols still refuse them.
    { "add deny ip from any to any 9200 in", "deny ip from any to any 9200 in", {} },
    { "add 100 allow ip from 10.0.0.1/24 to any 5000 in", "allow ip from 10.0.0.0/24 to any 5000 in", {} },
    { "add 100 allow icmp from any to any 80",
      nullptr,
      { "only TCP and UDP protocols are valid with port specifications" } },
    // Blanks after the commas of a port list.
    { "add allow tcp from any to any 25, 110, 143, 587, 993, 995 in",
      "allow tcp from any to any 25,110,143,587,993,995 in",
      {} },
    { "add 100 reset tcp from any to any 80, 443 in", "reset tcp from any to any 80,443 in", {} },
    { "add 100 allow tcp from any 1024-2000, 3000 to any dst-port 25, 110",
      "allow tcp from any 1024-2000,3000 to any 25,110",
      {} },
    { "add 100 allow tcp from any to any 25, bogus in", nullptr, { "unknown port ``bogus''" } },
    // limit: mask words and a count.
    { "add 400 allow tcp from any to me 80 in via rl0 setup limit src-addr 2",
      "allow tcp from any to me 80 in via rl0 setup limit src-addr 2",
      {} },
    { "add 100 allow tcp from any to any limit dst-port src-addr 3",
      "allow tcp from any to any limit src-addr dst-port 3",
      {} },
    { "add 100 allow tcp from any to any limit 2", nullptr, { "missing limit mask" } },
    { "add 100 allow tcp from any to any limit", nullptr, { "missing limit mask" } },
    { "add 100 allow tcp from any to any limit src-addr", nullptr, { "limit needs mask and # of connections" } },
    { "add 100 allow tcp from any to any limit src-addr 0",
      nullptr,
      { "illegal limit ``0'' (1 to 65535 connections)" } },
    { "add 100 allow tcp from any to any limit src-addr 65536",
      nullptr,
      { "illegal limit ``65536'' (1 to 65535 connections)" } },
    { "add 100 allow tcp from any to any keep-state limit src-addr 2",
      nullptr,
      { "only one of keep-state and limit is allowed" } },
    { "add 100 allow tcp from any to any limit src-addr 2 keep-state",
      nullptr,
      { "only one of keep-state and limit is allowed" } },
    // The rule number rule of every release.
    { "add 65535 set 1 allow ip from any to any",
      nullptr,
      { "illegal rule number 65535 (rules are numbered 1 to 65534)" } },
};

class TigerCaseTest : public SyntaxTest, public ::testing::WithParamInterface<TigerCase> {};

TEST_P(TigerCaseTest, ReleaseGrammarOnTigerReadsTheNewerForms)
{
    const TigerCase& c = GetParam();
    const ReleaseFlags tiger(kTiger);
    const auto parsed = parseIPFWRuleLine(c.line, names(), IPFWGrammarMode::Release);
    EXPECT_EQ(parsed.accepted, c.text != nullptr) << ::testing::PrintToString(parsed.errors);
    EXPECT_EQ(parsed.errors, c.messages);
    if (c.text == nullptr) {
        return;
    }
    EXPECT_EQ(ruleText(parsed.rule), c.text);
    // The listing text reads back to the same rule, apart from the set it does not show.
    const auto again = parseIPFWRuleLine(std::string("add ") + c.text, names(), IPFWGrammarMode::Release);
    EXPECT_TRUE(again.accepted) << ::testing::PrintToString(again.errors);
    EXPECT_EQ(ruleText(again.rule), c.text);
    // Every release's forms: the same rule.
    const auto any = parseIPFWRuleLine(c.line, names(), IPFWGrammarMode::AnyRelease);
    EXPECT_TRUE(any.accepted);
    EXPECT_EQ(ruleText(any.rule), c.text);
}

// The checker's own grammar and the older releases' know none of the newer forms: what they
// accept of these lines is what they accepted before.
TEST_P(TigerCaseTest, OtherGrammarsKeepTheirAnswers)
{
    const TigerCase& c = GetParam();
    const auto checker = parseIPFWRuleLine(c.line, names(), IPFWGrammarMode::Checker);
    for (const double release : { kJaguar, kTiger }) {
        const ReleaseFlags flags(release);
        EXPECT_EQ(parseIPFWRuleLine(c.line, names(), IPFWGrammarMode::Checker).errors, checker.errors);
    }
    const ReleaseFlags jaguar(kJaguar);
    const auto older = parseIPFWRuleLine(c.line, names(), IPFWGrammarMode::Release);
    EXPECT_EQ(older.accepted, checker.accepted);
    EXPECT_EQ(older.errors, checker.errors);
    if (checker.accepted) {
        // Only lines that need none of the newer forms.
        const ReleaseFlags tiger(kTiger);
        const auto newer = parseIPFWRuleLine(c.line, names(), IPFWGrammarMode::Release);
        EXPECT_EQ(ruleText(newer.rule), ruleText(checker.rule));
    }
}

INSTANTIATE_TEST_SUITE_P(Tiger, TigerCaseTest, ::testing::ValuesIn(kTigerCases));

TEST_F(SyntaxTest, NewerFormsKeepTheirMeaning)
{
    const ReleaseFlags tiger(kTiger);
    const auto rule = [&](const char* line) {
        const auto parsed = parseIPFWRuleLine(line, names(), IPFWGrammarMode::Release);
        EXPECT_TRUE(parsed.accepted) << line << ::testing::PrintToString(parsed.errors);
        return parsed.rule;
    };
    EXPECT_EQ(rule("add 700 set 3 allow tcp from any to me dst-port 22").set, 3);
    EXPECT_EQ(rule("add 700 allow tcp from any to me").set, 0);

    const IPFWRule ports = rule("add 100 allow tcp from any to any 80,443 src-port 1024-2000");
    EXPECT_EQ(ports.sourcePortKind, IPFWPortKind::Range);
    EXPECT_TRUE(ports.sourcePortMatches(1500));
    EXPECT_FALSE(ports.sourcePortMatches(80));
    EXPECT_TRUE(ports.destinationPortMatches(443));
    EXPECT_FALSE(ports.destinationPortMatches(1500));

    const IPFWRule limited = rule("add 400 allow tcp from any to me 80 setup limit src-addr 2");
    EXPECT_TRUE(limited.hasLimit());
    EXPECT_TRUE(limited.keepsState());
    EXPECT_FALSE(limited.keepState);
    EXPECT_EQ(limited.limitMask, ipfw::kLimitSrcAddr);
    EXPECT_EQ(limited.limitCount, 2u);

    const IPFWRule ip = rule("add deny ip from any to any 9200 in");
    EXPECT_EQ(ip.protocol, 0);
    EXPECT_TRUE(ip.destinationPortMatches(9200));
    EXPECT_FALSE(ip.destinationPortMatches(9201));
}

// 10.1's ipfw knows no dynamic rules under the release grammar; limit is no word of it either.
TEST_F(SyntaxTest, ReleaseGrammarOnPumaRefusesDynamicRules)
{
    const ReleaseFlags puma(kPuma);
    struct Row {
        const char* line;
        std::vector<std::string> release;
        bool checker;
    };
    const Row rows[] = {
        { "add 100 allow tcp from any to any keep-state", { "unknown argument ``keep-state''" }, true },
        { "add 100 check-state", { "invalid action ``check-state''" }, true },
        { "add 100 allow tcp from any to any limit src-addr 2", { "unknown argument ``limit''" }, false },
        { "add 100 set 1 allow tcp from any to any", { "invalid action ``set''" }, false },
        { "add 100 allow tcp from any to any 22 setup", {}, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(parseIPFWRuleLine(row.line, names(), IPFWGrammarMode::Release).errors, row.release);
        EXPECT_EQ(parseIPFWRuleLine(row.line, names(), IPFWGrammarMode::Checker).accepted, row.checker);
    }
}

// The text checker and its object front: one text, three answers.
TEST_F(SyntaxTest, TextCheckerTakesTheGrammarToCheckWith)
{
    const std::string text = "# newer forms\n"
                             "add 700 set 3 allow tcp from any to me dst-port 22 in setup keep-state\n"
                             "add 100 allow tcp from any to any 25, 110 in\n";
    {
        const ReleaseFlags tiger(kTiger);
        EventRecorder recorder;
        EXPECT_TRUE(IPFWParser::sharedInstance().checkIPFWText(text, IPFWGrammarMode::Release));
        EXPECT_TRUE(recorder.events().empty());
        EXPECT_FALSE(IPFWParser::sharedInstance().checkIPFWText(text));
        EXPECT_EQ(recorder.events(), (std::vector<Event> { { 2, "invalid action ``set''", IPFWParserErrorEvent },
                                                           { 3, "unknown port ``''", IPFWParserErrorEvent },
                                                           { 3, "unknown argument ``110''", IPFWParserErrorEvent } }));
    }
    const ReleaseFlags jaguar(kJaguar);
    EventRecorder recorder;
    EXPECT_FALSE(IPFWParser::sharedInstance().checkIPFWText(text, IPFWGrammarMode::Release));
    EXPECT_EQ(recorder.messages(),
              (std::vector<std::string> { "invalid action ``set''", "unknown port ``''", "unknown argument ``110''" }));
}

// Every add command of the corpus that the checker accepts reads the same under the release
// grammar of each release and under every release's forms.
TEST_F(SyntaxTest, CorpusRulesTheCheckerAcceptsReadTheSameEverywhere)
{
    const std::filesystem::path corpus = KEEPWALL_CORPUS_DIR;
    if (!std::filesystem::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    static const std::regex command(R"(^\s*((/sbin/)?ipfw\s+|\$cmd\s+)?(-q\s+)?(add\s.*)$)");
    int compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        if (entry.path().filename().string().rfind("rules-", 0) != 0) {
            continue;
        }
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            std::smatch m;
            if (!std::regex_match(line, m, command)) {
                continue;
            }
            const std::string rule = m[4].str();
            const auto checker = parseIPFWRuleLine(rule, names());
            if (!checker.accepted) {
                continue;
            }
            SCOPED_TRACE(rule);
            for (const double release : { kJaguar, kTiger }) {
                const ReleaseFlags flags(release);
                const auto parsed = parseIPFWRuleLine(rule, names(), IPFWGrammarMode::Release);
                EXPECT_TRUE(parsed.accepted);
                EXPECT_EQ(ruleText(parsed.rule), ruleText(checker.rule));
            }
            const auto any = parseIPFWRuleLine(rule, names(), IPFWGrammarMode::AnyRelease);
            EXPECT_EQ(ruleText(any.rule), ruleText(checker.rule));
            ++compared;
        }
    }
    EXPECT_GT(compared, 50);
}

// The corpus's rule files of the newer command check clean with the 10.4 release grammar
// (apart from the lines that add rule 65535, which no release accepts).
TEST_F(SyntaxTest, TigerCorpusRuleFilesCheckCleanWithTheReleaseGrammar)
{
    const std::filesystem::path corpus = KEEPWALL_CORPUS_DIR;
    if (!std::filesystem::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    const ReleaseFlags tiger(kTiger);
    int rules = 0;
    for (const char* name : kTigerRuleFiles) {
        SCOPED_TRACE(name);
        const TigerRuleFile file = tigerRuleFile(corpus / name);
        ASSERT_GT(file.addLines, 0);
        EventRecorder recorder;
        EXPECT_EQ(checkIPFWText(file.text, names(), IPFWGrammarMode::Release), 1);
        EXPECT_TRUE(recorder.events().empty()) << ::testing::PrintToString(recorder.messages());
        for (const auto& line : file.defaultRuleLines) {
            EXPECT_EQ(parseIPFWRuleLine(line, names(), IPFWGrammarMode::Release).errors,
                      std::vector<std::string> { "illegal rule number 65535 (rules are numbered 1 to 65534)" });
        }
        rules += file.addLines;
    }
    EXPECT_GE(rules, 90);
}

// The limit rules of the handbook's scripts, with the interface its variable names.
TEST_F(SyntaxTest, CorpusLimitRulesReadOnTiger)
{
    const std::filesystem::path file =
        std::filesystem::path(KEEPWALL_CORPUS_DIR) / "rules-freebsd-handbook-2010-script.txt";
    std::ifstream in(file);
    if (!in) {
        GTEST_SKIP() << "no corpus file " << file;
    }
    const ReleaseFlags tiger(kTiger);
    int limits = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(" limit ") == std::string::npos || line.rfind("$cmd ", 0) != 0) {
            continue;
        }
        const std::string rule = "add " + std::regex_replace(line.substr(5), std::regex(R"(\$pif)"), "rl0");
        SCOPED_TRACE(rule);
        const auto parsed = parseIPFWRuleLine(rule, names(), IPFWGrammarMode::Release);
        EXPECT_TRUE(parsed.accepted) << ::testing::PrintToString(parsed.errors);
        EXPECT_EQ(parsed.rule.limitMask, ipfw::kLimitSrcAddr);
        EXPECT_GE(parsed.rule.limitCount, 1u);
        EXPECT_NE(ruleText(parsed.rule).find(" setup limit src-addr "), std::string::npos);
        ++limits;
    }
    EXPECT_EQ(limits, 7);
}

} // namespace
} // namespace kw::test

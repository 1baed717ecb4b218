// Real-world rule files through the checker: nothing crashes, events name lines of the text,
// and plain "add" commands within this grammar are accepted.
#include "SyntaxTestRoot.h"
#include "syntax/IPFWParser.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <regex>
#include <sstream>

namespace kw::test {
namespace {

std::vector<std::filesystem::path> ruleFiles()
{
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(KEEPWALL_CORPUS_DIR, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("rules-", 0) == 0 && entry.path().extension() == ".txt") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

TEST_F(SyntaxTest, CorpusRuleFilesAreCheckedWithoutHarm)
{
    const auto files = ruleFiles();
    if (files.empty()) {
        GTEST_SKIP() << "no corpus at " << KEEPWALL_CORPUS_DIR;
    }
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::string text = readFile(file);
        const auto lines = std::count(text.begin(), text.end(), '\n') + 1;
        EventRecorder recorder;
        int result = -1;
        try {
            result = checkIPFWText(text, names());
        } catch (const IPFWTooManyArguments& e) {
            EXPECT_GE(e.lineNumber(), 1);
            continue;
        }
        EXPECT_EQ(result == 1, recorder.events().empty());
        for (const auto& e : recorder.events()) {
            EXPECT_GE(e.line, 1);
            EXPECT_LE(e.line, lines);
            EXPECT_LE(e.message.size(), 99u);
        }
    }
}

// Lines that use what this grammar does not know: later rule syntax (sets, pipes, dst-port,
// limit), shell variables, lists written with blanks, escaped backslashes, or host names the
// test's hosts file does not hold.
bool beyondGrammar(const std::string& line)
{
    static const std::regex later(R"((dst-port|src-port| set | pipe |limit|\$|, |\\|'| deny (in|out)\s*$))");
    static const std::regex hostName(R"((from|to) (not )?(?!any\b|me\b)[A-Za-z])");
    return std::regex_search(line, later) || std::regex_search(line, hostName);
}

// A port on a protocol other than TCP and UDP.
bool portOnOtherProtocol(const std::string& line)
{
    static const std::regex ipPort(R"(\b(ip|all) from \S+ (\S+ )?to \S+ \d)");
    return std::regex_search(line, ipPort);
}

TEST_F(SyntaxTest, CorpusAddCommandsWithinTheGrammarAreAccepted)
{
    const auto files = ruleFiles();
    if (files.empty()) {
        GTEST_SKIP() << "no corpus at " << KEEPWALL_CORPUS_DIR;
    }
    static const std::regex command(R"(^\s*((/sbin/)?ipfw\s+|\$cmd\s+)?(-q\s+)?(add\s.*)$)");
    int accepted = 0;
    int rejected = 0;
    for (const auto& file : files) {
        std::istringstream in(readFile(file));
        std::string line;
        while (std::getline(in, line)) {
            std::smatch m;
            if (!std::regex_match(line, m, command) || beyondGrammar(line)) {
                continue;
            }
            const std::string rule = m[4].str();
            SCOPED_TRACE(file.filename().string() + ": " + rule);
            const auto parsed = parseIPFWRuleLine(rule, names());
            if (rule.rfind("add 65535 ", 0) == 0) {
                // The default rule is always there; no rule can be added with its number.
                EXPECT_FALSE(parsed.accepted);
                EXPECT_EQ(parsed.errors,
                          std::vector<std::string> { "illegal rule number 65535 (rules are numbered 1 to 65534)" });
                ++rejected;
                continue;
            }
            if (portOnOtherProtocol(rule)) {
                EXPECT_FALSE(parsed.accepted);
                EXPECT_EQ(parsed.errors,
                          std::vector<std::string> { "only TCP and UDP protocols are valid with port specifications" });
                ++rejected;
                continue;
            }
            EXPECT_TRUE(parsed.accepted) << ::testing::PrintToString(parsed.errors);
            if (parsed.accepted) {
                ++accepted;
                // What the listing shows reads back to the same rule.
                const std::string text = ruleText(parsed.rule);
                const auto again = parseIPFWRuleLine("add " + text, names());
                EXPECT_TRUE(again.accepted) << text;
                EXPECT_EQ(ruleText(again.rule), text);
            }
        }
    }
    EXPECT_GT(accepted, 50);
    RecordProperty("accepted", accepted);
    RecordProperty("rejected", rejected);
}

} // namespace
} // namespace kw::test

// The kw-check program: events on standard output, and its exit status.
#include "SyntaxTestRoot.h"
#include "TigerCorpus.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <sys/wait.h>

namespace kw::test {
namespace {

struct ProgramRun {
    int status;
    std::string out;
    std::string err;
};

class KwCheckTest : public SyntaxTest {
protected:
    ProgramRun run(const std::string& arguments, const std::string* input = nullptr)
    {
        const auto errPath = root() / "stderr.txt";
        std::string command = "'" KW_CHECK_PATH "' " + arguments + " 2>'" + errPath.string() + "'";
        if (input != nullptr) {
            write("stdin.txt", *input);
            command += " <'" + (root() / "stdin.txt").string() + "'";
        }
        ProgramRun r;
        FILE* pipe = popen(command.c_str(), "r");
        EXPECT_NE(pipe, nullptr);
        if (pipe == nullptr) {
            return r;
        }
        std::array<char, 4096> buffer {};
        std::size_t n = 0;
        while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
            r.out.append(buffer.data(), n);
        }
        const int status = pclose(pipe);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream err(errPath);
        r.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
        return r;
    }

    ProgramRun runWithRelease(const char* release, const std::string& arguments)
    {
        const char* old = std::getenv("KEEPWALL_RELEASE");
        const std::optional<std::string> saved = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("KEEPWALL_RELEASE", release, 1);
        ProgramRun r = run(arguments);
        if (saved) {
            ::setenv("KEEPWALL_RELEASE", saved->c_str(), 1);
        } else {
            ::unsetenv("KEEPWALL_RELEASE");
        }
        return r;
    }
};

TEST_F(KwCheckTest, ExitStatusAndEvents)
{
    write("good.conf", "# rules\nadd 100 allow tcp from any to any http in via en0 setup keep-state\n"
                       "add 1001 divert natd all from any to any via en1\n");
    write("bad.conf", "add 100 allow ip from any to any\n\nadd 300 frob\nadd 400 allow ip from any to any 80\n");
    write("words.conf", "add 1 frob\nadd 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 "
                        "28 29 30 31 32\n");

    const ProgramRun good = run("'" + (root() / "good.conf").string() + "'");
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.out, "");
    EXPECT_EQ(good.err, "");

    const ProgramRun bad = run("'" + (root() / "bad.conf").string() + "'");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "3: invalid action ``frob''\n"
                       "4: only TCP and UDP protocols are valid with port specifications\n");
    EXPECT_EQ(bad.err, "error: invalid action ``frob''"
                       "error: only TCP and UDP protocols are valid with port specifications");

    const ProgramRun words = run("'" + (root() / "words.conf").string() + "'");
    EXPECT_EQ(words.status, 64);
    EXPECT_EQ(words.out, "1: invalid action ``frob''\n");
    EXPECT_EQ(words.err, "error: invalid action ``frob''kw-check: Line 2: too many arguments\n");

    const ProgramRun missing = run("'" + (root() / "missing.conf").string() + "'");
    EXPECT_EQ(missing.status, 66);

    const std::string input = "add 1 frob\r\n";
    const ProgramRun fromStdin = run("", &input);
    EXPECT_EQ(fromStdin.status, 1);
    EXPECT_EQ(fromStdin.out, "1: invalid action ``frob''\n");
}

// --release-grammar checks as the configured release's ipfw reads rules; without it the
// checker's own grammar and messages stay.
TEST_F(KwCheckTest, ReleaseGrammarFollowsTheConfiguredRelease)
{
    write("newer.conf", "add 00700 set 3 allow tcp from any to me dst-port 22 in setup keep-state\n"
                        "add 00400 allow tcp from any to me 80 in via rl0 setup limit src-addr 2\n"
                        "add deny ip from any to any 9200 in\n");
    const std::string newer = "'" + (root() / "newer.conf").string() + "'";
    struct Row {
        const char* release;
        const char* options;
        int status;
        const char* out;
    };
    const Row rows[] = {
        { "10.4", "--release-grammar ", 0, "" },
        { "10.4", "", 1,
          "1: invalid action ``set''\n2: unknown argument ``limit''\n"
          "3: only TCP and UDP protocols are valid with port specifications\n" },
        { "10.3", "--release-grammar ", 1,
          "1: invalid action ``set''\n2: unknown argument ``limit''\n"
          "3: only TCP and UDP protocols are valid with port specifications\n" },
    };
    for (const auto& row : rows) {
        const ProgramRun checked = runWithRelease(row.release, row.options + newer);
        EXPECT_EQ(checked.status, row.status) << row.release << ' ' << row.options;
        EXPECT_EQ(checked.out, row.out) << row.release << ' ' << row.options;
    }
    const std::string dynamic = "add 100 check-state\nadd 200 allow tcp from any to any keep-state\n";
    write("dynamic.conf", dynamic);
    const ProgramRun puma = runWithRelease("10.1", "--release-grammar '" + (root() / "dynamic.conf").string() + "'");
    EXPECT_EQ(puma.status, 1);
    EXPECT_EQ(puma.out, "1: invalid action ``check-state''\n2: unknown argument ``keep-state''\n");
    EXPECT_EQ(runWithRelease("10.1", "'" + (root() / "dynamic.conf").string() + "'").status, 0);

    const ProgramRun usage = run("--release-grammar a b");
    EXPECT_EQ(usage.status, 64);
    EXPECT_EQ(usage.err, "usage: kw-check [--release-grammar] [--lint] [rule-file]\n");
}

// The corpus's rule files of the newer command check clean with the 10.4 grammar.
TEST_F(KwCheckTest, TigerCorpusChecksCleanWithTheReleaseGrammar)
{
    const std::filesystem::path corpus = KEEPWALL_CORPUS_DIR;
    if (!std::filesystem::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    for (const char* name : kTigerRuleFiles) {
        write(name, tigerRuleFile(corpus / name).text);
        const ProgramRun r = runWithRelease("10.4", "--release-grammar '" + (root() / name).string() + "'");
        EXPECT_EQ(r.status, 0) << name << '\n' << r.out;
        EXPECT_EQ(r.out, "") << name;
    }
}

} // namespace
} // namespace kw::test

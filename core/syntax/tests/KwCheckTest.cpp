// The kw-check program: events on standard output, and its exit status.
#include "SyntaxTestRoot.h"

#include <array>
#include <cstdio>
#include <gtest/gtest.h>
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

} // namespace
} // namespace kw::test

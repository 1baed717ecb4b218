#include "base/CommandRunner.h"
#include "TempRoot.h"

#include <gtest/gtest.h>

using kw::StatusWord;

TEST(CommandRunner, DecodesStatusWords)
{
    kw::testing::TempRoot root;
    root.writeScript("/bin/exit3", "exit 3\n");
    root.writeScript("/bin/ok", "exit 0\n");
    root.writeScript("/bin/killed", "kill -9 $$\n");
    struct Row {
        std::string program;
        bool normal;
        int code; // exit status when normal, else the signal
    };
    const Row rows[] = {
        { "/bin/ok", true, 0 },
        { "/bin/exit3", true, 3 },
        { "/bin/killed", false, 9 },
        { "/bin/missing", true, 127 },
    };
    for (const auto& row : rows) {
        const int w = kw::runCommand(row.program, {});
        EXPECT_EQ(StatusWord::endedNormally(w), row.normal) << row.program;
        EXPECT_EQ(row.normal ? StatusWord::exitStatus(w) : StatusWord::lowBits(w), row.code) << row.program;
    }
}

TEST(CommandRunner, PassesEachArgumentAsOneWordWithoutAShell)
{
    kw::testing::TempRoot root;
    root.writeScript("/bin/args", "for a in \"$@\"; do printf '[%s]' \"$a\"; done\n");
    std::string out;
    const int w = kw::runCommandWithOutput("/bin/args", { "en0; touch x", "$(id)", "a b", "" }, out);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(out, "[en0; touch x][$(id)][a b][]");
    EXPECT_FALSE(std::filesystem::exists(root / "/x"));
}

TEST(CommandRunner, ResolvesProgramsUnderTheSystemRoot)
{
    kw::testing::TempRoot root;
    root.writeScript("/sbin/ipfw", "echo sandboxed\n");
    std::string out;
    EXPECT_EQ(kw::runCommandWithOutput("/sbin/ipfw", {}, out), 0);
    EXPECT_EQ(out, "sandboxed\n");
}

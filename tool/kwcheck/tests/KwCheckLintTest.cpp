// kw-check --lint: warnings after the syntax events, as "<line>: warning: <message>", with the
// exit status the syntax check gives.
#include "RunProgram.h"
#include "TempRoot.h"

#include <gtest/gtest.h>

TEST(KwCheckLint, WarningsFollowTheEventsAndLeaveTheStatus)
{
    kw::testing::TempRoot root;
    ::unsetenv("SSH_CONNECTION");
    struct Row {
        std::vector<std::string> options;
        std::string text;
        int status;
        std::string out;
    };
    const std::string shadowed = "add 100 allow ip from any to any via lo*\n"
                                 "add 200 deny tcp from 10.0.0.0/8 to any 22\n"
                                 "add 300 deny tcp from 10.1.0.0/16 to any 22\n";
    const std::string warning = "3: warning: rule 00300 never matches: rule 00200 before it matches every packet it "
                                "would\n";
    const std::vector<Row> rows {
        { {}, shadowed, 0, "" },
        { { "--lint" }, shadowed, 0, warning },
        { { "--lint", "--release-grammar" }, shadowed, 0, warning },
        { { "--release-grammar", "--lint" }, shadowed, 0, warning },
        { { "--lint" }, shadowed + "add 400 frobnicate\n", 1, "4: invalid action ``frobnicate''\n" + warning },
        { { "--lint" }, "add 100 allow ip from any to any via lo*\n", 0, "" },
    };
    for (const auto& row : rows) {
        root.writeFile("/rules", row.text);
        std::vector<std::string> argv { KW_CHECK_PATH };
        argv.insert(argv.end(), row.options.begin(), row.options.end());
        argv.push_back(root / "/rules");
        const auto r = kw::testing::runProgram(argv);
        EXPECT_EQ(r.exitStatus, row.status) << r.err;
        EXPECT_EQ(r.out, row.out);
    }
}

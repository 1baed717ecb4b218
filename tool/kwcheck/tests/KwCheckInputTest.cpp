// kw-check's file argument: anything but a readable regular file ends with a message and 66.
#include "RunProgram.h"
#include "TempRoot.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(KwCheckInput, WhatIsNoReadableRuleFileEndsWithAMessageAnd66)
{
    kw::testing::TempRoot root;
    root.writeFile("/rules", "add 100 allow ip from any to any\n");
    root.writeFile("/locked", "add 100 allow ip from any to any\n", fs::perms::none);
    ASSERT_EQ(::mkfifo((root / "/fifo").c_str(), 0600), 0);
    fs::create_directories(root / "/folder");
    struct Row {
        std::string path;
        int status;
    };
    std::vector<Row> rows = {
        { root / "/rules", 0 }, { root / "/folder", 66 }, { "/dev/null", 66 },
        { "/dev/zero", 66 },    { root / "/fifo", 66 },   { root / "/missing", 66 },
    };
    if (::geteuid() != 0) {
        rows.push_back({ root / "/locked", 66 }); // root reads it anyway
    }
    for (const auto& row : rows) {
        // A hang or an endless read would otherwise stall the suite: timeout ends it (124).
        const auto r = kw::testing::runProgram({ "timeout", "20", KW_CHECK_PATH, row.path });
        EXPECT_EQ(r.exitStatus, row.status) << row.path << r.err;
        if (row.status == 66) {
            EXPECT_EQ(r.err.rfind("kw-check: " + row.path + ": ", 0), 0u) << r.err;
            EXPECT_EQ(r.out, "") << row.path;
        }
    }
}

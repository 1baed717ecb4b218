#include "lint/UnifiedDiff.h"

#include <gtest/gtest.h>

namespace kw {
namespace {

using Lines = std::vector<std::string>;

Lines numbered(int count)
{
    Lines lines;
    for (int i = 1; i <= count; ++i) {
        lines.push_back("line " + std::to_string(i));
    }
    return lines;
}

TEST(UnifiedDiff, Cases)
{
    struct Case {
        const char* name;
        Lines from;
        Lines to;
        std::string expected;
    };
    Lines oneChanged = numbered(20);
    oneChanged[9] = "changed";
    Lines twoApart = numbered(20);
    twoApart[1] = "second";
    twoApart[17] = "eighteenth";
    const std::vector<Case> cases {
        { "equal", numbered(5), numbered(5), "" },
        { "both empty", {}, {}, "" },
        { "to empty", { "a", "b" }, {}, "--- A\n+++ B\n@@ -1,2 +0,0 @@\n-a\n-b\n" },
        { "from empty", {}, { "a" }, "--- A\n+++ B\n@@ -0,0 +1 @@\n+a\n" },
        { "one line changed in the middle", numbered(20), oneChanged,
          "--- A\n+++ B\n@@ -7,7 +7,7 @@\n line 7\n line 8\n line 9\n-line 10\n+changed\n line 11\n line 12\n line "
          "13\n" },
        { "one line added at the end",
          numbered(3),
          { "line 1", "line 2", "line 3", "line 4" },
          "--- A\n+++ B\n@@ -1,3 +1,4 @@\n line 1\n line 2\n line 3\n+line 4\n" },
        { "two hunks", numbered(20), twoApart,
          "--- A\n+++ B\n@@ -1,5 +1,5 @@\n line 1\n-line 2\n+second\n line 3\n line 4\n line 5\n"
          "@@ -15,6 +15,6 @@\n line 15\n line 16\n line 17\n-line 18\n+eighteenth\n line 19\n line 20\n" },
        { "interleaved",
          { "a", "b", "c", "d" },
          { "a", "x", "c", "y" },
          "--- A\n+++ B\n@@ -1,4 +1,4 @@\n a\n-b\n+x\n c\n-d\n+y\n" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(unifiedDiff(c.from, c.to, "A", "B"), c.expected);
    }
}

// Far apart lists stay correct: every line of both appears once with its mark.
TEST(UnifiedDiff, LargeDifferenceStaysComplete)
{
    Lines from = numbered(6000);
    Lines to;
    for (int i = 1; i <= 6000; ++i) {
        to.push_back("other " + std::to_string(i));
    }
    const std::string diff = unifiedDiff(from, to, "A", "B");
    EXPECT_NE(diff.find("@@ -1,6000 +1,6000 @@\n"), std::string::npos);
    EXPECT_NE(diff.find("\n-line 6000\n"), std::string::npos);
    EXPECT_NE(diff.find("\n+other 6000\n"), std::string::npos);
}

} // namespace
} // namespace kw

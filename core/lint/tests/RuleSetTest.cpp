#include "lint/RuleSet.h"

#include "syntax/NameServices.h"

#include <gtest/gtest.h>

namespace kw {
namespace {

using Lines = std::vector<std::string>;

TEST(RuleSet, RuleFileInKernelOrderWithLoaderNumbers)
{
    NameServices names;
    const std::string text = "# comment\n"
                             "-q add 200 allow tcp from any to any 22 in\n"
                             "add deny ip from any to any\n"
                             "add 100 allow ip from any to any via lo*\n"
                             "add 100 check-state\n"
                             "add 300 frobnicate\n"
                             "flush\n";
    const auto rules = rulesOfRuleFile(text, names);
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[1].rule.number, 300u);
    EXPECT_FALSE(rules[1].numberGiven);
    EXPECT_EQ(rules[1].line, 3);
    EXPECT_EQ(canonicalRuleFile(text, names),
              (Lines { "00100 allow ip from any to any via lo*", "00100 check-state",
                       "00200 allow tcp from any to any 22 in", "00300 deny ip from any to any" }));
}

TEST(RuleSet, ListingsWithAndWithoutCounters)
{
    NameServices names;
    struct Case {
        const char* name;
        std::string listing;
        Lines expected;
    };
    const std::vector<Case> cases {
        { "plain list",
          "00100 allow ip from any to any via lo*\n65535 allow ip from any to any\n",
          { "00100 allow ip from any to any via lo*" } },
        { "counters and times",
          "00100 12 3456 Mon Jan  2 10:00:00 2006 allow ip from any to any via lo*\n"
          "00200   0    0                          deny tcp from any to any 22 in\n"
          "65535 99 9999 allow ip from any to any\n",
          { "00100 allow ip from any to any via lo*", "00200 deny tcp from any to any 22 in" } },
        { "dynamic rules left out",
          "02000 allow tcp from any to any 22 keep-state\n## Dynamic rules (1):\n"
          "02000 5 320 (295s) STATE tcp 10.0.0.5 1234 <-> 10.0.0.1 22\n",
          { "02000 allow tcp from any to any 22 keep-state" } },
        { "kernel empty", "65535 allow ip from any to any\n", {} },
        { "a line the grammar cannot read is kept",
          "00300 frobnicate the packets\n",
          { "00300 frobnicate the packets" } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(canonicalListing(c.listing, names), c.expected);
    }
}

} // namespace
} // namespace kw

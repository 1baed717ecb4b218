// A protocol is printed with the name the platform's protocols database gives it, in the rule
// text and in every release's listing, and that name reads back to the same protocol.
#include "IPFWListing.h"
#include "TestRules.h"

#include "TempRoot.h"
#include "syntax/IPFWRule.h"
#include "syntax/NameServices.h"
#include "syntax/ProtocolDatabase.h"

#include <gtest/gtest.h>

using namespace kw;
using namespace kw::ipfwemu;
using namespace kw::ipfwemu::test;

TEST(ProtocolNames, EveryReleasePrintsTheDatabaseName)
{
    struct Row {
        const char* rule;
        const char* expected;
    };
    const Row rows[] = {
        { "add 100 allow ip from any to any", "allow ip from any to any" },
        { "add 100 allow all from any to any", "allow ip from any to any" },
        { "add 100 allow 1 from any to any", "allow icmp from any to any" },
        { "add 100 allow 2 from any to any", "allow igmp from any to any" },
        { "add 100 allow 47 from any to any", "allow gre from any to any" },
        { "add 100 deny 50 from any to any", "deny esp from any to any" },
        { "add 100 allow 108 from any to any", "allow ipcomp from any to any" },
        { "add 100 allow 200 from any to any", "allow 200 from any to any" },
    };
    for (const auto& row : rows) {
        const Table table = tableOf({ row.rule });
        ASSERT_EQ(table.rules().size(), 2u) << row.rule; // the rule and the default rule
        const TableRule& rule = table.rules().front();
        EXPECT_EQ(rule.text, row.expected) << row.rule;
        for (const auto release : { ListingRelease::Puma, ListingRelease::Jaguar, ListingRelease::Tiger }) {
            EXPECT_EQ(ruleTextFor(rule, release), row.expected) << row.rule;
        }
    }
}

TEST(ProtocolNames, PrintedNamesReadBack)
{
    kw::testing::TempRoot root;
    NameServices names;
    for (const char* name : { "ip", "icmp", "igmp", "gre", "esp", "ipcomp" }) {
        // The built-in database answers where no protocols file does.
        const auto builtIn = protocolDatabaseNumber(name);
        ASSERT_TRUE(builtIn.has_value()) << name;
        EXPECT_STREQ(protocolDatabaseName(*builtIn), name);
        EXPECT_EQ(names.protocolNumber(name), builtIn) << name;
    }
    EXPECT_EQ(protocolDatabaseName(200), nullptr);
    EXPECT_EQ(protocolDatabaseNumber("no-such-protocol"), std::nullopt);
}

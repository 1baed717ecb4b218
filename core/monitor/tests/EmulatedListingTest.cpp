// The listing of the project's emulated ipfw, in a temporary root, parses back to the rules
// that were loaded and the counters of the packets that were run through them.
#include "monitor/IPFWListingParser.h"

#include "RunProgram.h"
#include "TempRoot.h"

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

using kw::RuleKey;
using kw::RuleRow;

namespace {

std::string ctimeText(std::time_t when)
{
    char buf[64] = {};
    ::ctime_r(&when, buf);
    return std::string(buf, 24);
}

class EmulatedListing : public ::testing::Test {
protected:
    std::string ipfwOk(std::vector<std::string> args, const std::string& input = {})
    {
        args.insert(args.begin(), KW_IPFW_PATH);
        const auto r = kw::testing::runAsRoot(args, input);
        EXPECT_EQ(r.exitStatus, 0) << args[1] << "\nstderr: " << r.err;
        return r.out;
    }

    kw::testing::TempRoot root;
};

TEST_F(EmulatedListing, ParsesBackToTheLoadedRulesAndTheirCounters)
{
    root.writeFile("/etc/firewall.conf", "add 1000 allow ip from any to any via lo*\n"
                                         "add 1003 check-state\n"
                                         "add 2000 allow tcp from any to any 22 in via en0 setup keep-state\n"
                                         "add 2010 deny log tcp from any to any 23 in via en0\n"
                                         "add 2020 allow udp from any to any 53 in via en0 keep-state\n"
                                         "add 2030 allow icmp from any to any icmptypes 0,8 in via en0\n"
                                         "add 2040 unreach host tcp from any to any 445 in via en0\n"
                                         "add 2050 divert 8668 ip from any to any via en1\n"
                                         "add 2060 deny tcp from 10.0.0.0/8 1-1023 to me out xmit en0\n");
    ipfwOk({ "-q", "flush" });
    ipfwOk({ "-q", "/etc/firewall.conf" });
    const std::time_t before = std::time(nullptr);
    ipfwOk({ "inject", "-" }, "in via en0 tcp 10.0.0.5:1234 -> 10.0.0.1:22 syn len 60\n"
                              "in via en0 tcp 1.2.3.4:40000 -> 10.0.0.1:23 syn len 40\n"
                              "in via en0 tcp 1.2.3.4:40001 -> 10.0.0.1:23 syn len 44\n"
                              "in via en0 udp 10.0.0.5:5000 -> 10.0.0.1:53 len 1100\n"
                              "in via en0 icmp 10.0.0.5 -> 10.0.0.1 type 8 code 0\n");
    const std::string listing = ipfwOk({ "-at", "list" });
    const std::time_t after = std::time(nullptr);

    // The rule texts as the filter prints them, by number.
    std::map<std::int64_t, std::string> loaded;
    const std::string plain = ipfwOk({ "list" });
    for (std::size_t at = 0; at < plain.size();) {
        const std::size_t end = plain.find('\n', at);
        const std::string line = plain.substr(at, end - at);
        at = end == std::string::npos ? plain.size() : end + 1;
        if (line.rfind("##", 0) == 0) {
            break;
        }
        loaded[std::stoll(line.substr(0, 5))] = line.substr(6);
    }
    ASSERT_EQ(loaded.size(), 10u) << plain;

    struct Counters {
        std::int64_t packets;
        std::int64_t bytes;
    };
    const std::map<std::int64_t, Counters> expected = {
        { 1000, { 0, 0 } }, { 2000, { 1, 60 } }, { 2010, { 2, 84 } }, { 2020, { 1, 1100 } }, { 2030, { 1, 64 } },
        { 2040, { 0, 0 } }, { 2050, { 0, 0 } },  { 2060, { 0, 0 } },  { 65535, { 0, 0 } },
    };
    std::set<std::string> matchTimes;
    for (std::time_t t = before; t <= after; ++t) {
        matchTimes.insert(ctimeText(t));
    }

    const kw::IPFWListingParser parser([](int port) -> std::optional<std::string> {
        return port == 22 ? std::optional<std::string>("ssh") : std::nullopt;
    });
    const kw::ListingResult result = parser.parseOutput(listing);
    ASSERT_EQ(result.ruleRows.size(), expected.size()) << listing;
    auto want = expected.begin();
    for (const RuleRow& row : result.ruleRows) {
        const std::int64_t number = want->first;
        EXPECT_EQ(row.number(RuleKey::OrderItem), number) << listing;
        EXPECT_EQ(row.text(RuleKey::FilterItem), loaded[number]) << number;
        EXPECT_EQ(row.number(RuleKey::PacketItem), want->second.packets) << number;
        EXPECT_EQ(row.number(RuleKey::ByteItem), want->second.bytes) << number;
        if (want->second.packets > 0) {
            EXPECT_EQ(matchTimes.count(row.text(RuleKey::DateItem)), 1u)
                << number << ": " << row.text(RuleKey::DateItem);
        } else {
            EXPECT_FALSE(row.has(RuleKey::DateItem)) << number;
        }
        ++want;
    }

    const RuleRow& ssh = result.ruleRows[1];
    EXPECT_EQ(ssh.text(RuleKey::Destination), "Any Host\nssh (22)");
    EXPECT_EQ(ssh.text(RuleKey::Interface), "en0");
    EXPECT_EQ(ssh.text(RuleKey::Direction), "in");
    EXPECT_EQ(ssh.text(RuleKey::ExpertOpts), "State: setup\nKeep-State: Yes");
    EXPECT_EQ(ssh.text(RuleKey::Traffic), "1 packets\n0.1K bytes");
    EXPECT_EQ(result.ruleRows[2].text(RuleKey::Log), "1");
    EXPECT_EQ(result.ruleRows[3].text(RuleKey::Traffic), "1 packets\n1.1K bytes");
    EXPECT_EQ(result.ruleRows[5].text(RuleKey::Action), "unreach");
    EXPECT_EQ(result.ruleRows[5].text(RuleKey::Proto), "tcp");
    EXPECT_EQ(result.ruleRows[7].text(RuleKey::Source), "10.0.0.0/8\nPort 1-1023");
    EXPECT_EQ(result.ruleRows[7].text(RuleKey::Direction), "out");

    // The keep-state rules left dynamic rules; the listing's final line break leaves an empty
    // last dynamic line.
    ASSERT_GE(result.dynamicFilters.size(), 2u) << listing;
    EXPECT_EQ(result.dynamicFilters.back(), "");
    for (std::size_t i = 0; i + 1 < result.dynamicFilters.size(); ++i) {
        EXPECT_NE(result.dynamicFilters[i].find(" <-> "), std::string::npos) << result.dynamicFilters[i];
    }
    EXPECT_NE(listing.find(result.dynamicFilters.front() + "\n"), std::string::npos);
}

} // namespace

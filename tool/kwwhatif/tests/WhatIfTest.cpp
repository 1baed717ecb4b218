// Which rule decides a packet: answers against the example settings and an expert setting
// with count and skipto rules, malformed packets, the command's exit statuses and its reading
// of the loaded rules, and agreement with the packet injector on a 16,000-rule setting.
#include "WhatIf.h"
#include "LargeSetting.h"

#include "IPFWEngine.h"
#include "IPFWSystem.h"

#include "RunProgram.h"
#include "TempRoot.h"
#include "base/PlistValue.h"
#include "base/Release.h"
#include "config/SettingsKeys.h"
#include "rules/ConfigurationText.h"
#include "rules/ServiceFilter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

using namespace kw;
using namespace kw::keys;
using kw::testing::runAsRoot;
using kw::testing::runProgram;
using kw::testing::TempRoot;

namespace {

using whatif::test::kInterfaceCount;
using whatif::test::largeSetting;

constexpr const char* kDocumentPath = "/Library/Preferences/SystemConfiguration/com.wallworks.keepwall.plist";

std::string readHostFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// An expert setting whose rules count and skip before they decide.
constexpr const char* kExpertRules = "add 100 count ip from any to any in via en0\n"
                                     "add 200 skipto 1000 tcp from any to any 80 in via en0\n"
                                     "add 300 deny tcp from any to any 80 in via en0\n"
                                     "add 1000 allow tcp from any to any 80 in via en0 keep-state\n"
                                     "add 1100 deny log tcp from any to any 22 in via en0\n";

std::string expertDocument()
{
    Value setting;
    setting.set(kSettingName, "Expert");
    setting.set(kConfigMode, "1");
    setting.set(kExpertConfigText, kExpertRules);
    Value stored;
    stored.set("Expert", setting);
    Value document;
    document.set(kStoredSettings, stored);
    document.set(kCurrentSetting, "Expert");
    return valueToXml(document);
}

// The sandbox's interfaces: en0 and en1 with their addresses, "me" for the filter.
constexpr const char* kInterfaces = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><array>
<dict><key>Name</key><string>en0</string><key>Addresses</key><array><dict><key>Address</key><string>10.0.0.1</string></dict></array></dict>
<dict><key>Name</key><string>en1</string><key>Addresses</key><array><dict><key>Address</key><string>10.0.1.1</string></dict></array></dict>
</array></plist>
)";

class WhatIfRoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        setReleaseFlagsFromEnvironment();
        root.writeFile("/var/db/kw-platform/interfaces.plist", kInterfaces);
    }

    void useExamples() { root.writeFile(kDocumentPath, readHostFile(KEEPWALL_EXAMPLES_DIR "/settings.plist")); }

    kw::testing::ProgramResult whatIf(std::vector<std::string> args)
    {
        args.insert(args.begin(), KW_WHATIF_PATH);
        return runProgram(args);
    }

    TempRoot root;
};

struct Expected {
    const char* packet;
    const char* verdict;
    const char* passed; // rule numbers passed on the way, blank-separated
    const char* dynamic;
};

// Runs the packets through one command (so state carries from packet to packet) and checks
// each answer block.
void expectAnswers(const kw::testing::ProgramResult& r, const std::vector<Expected>& table)
{
    std::istringstream blocks(r.out);
    std::string line;
    std::size_t n = 0;
    std::string passed;
    while (std::getline(blocks, line)) {
        if (line.rfind("passed: ", 0) == 0) {
            const std::string rest = line.substr(8);
            passed += (passed.empty() ? "" : " ") + rest.substr(0, rest.find(' '));
        } else if (line.rfind("verdict: ", 0) == 0) {
            ASSERT_LT(n, table.size()) << r.out;
            EXPECT_EQ(line.substr(9), table[n].verdict) << table[n].packet;
            EXPECT_EQ(passed, table[n].passed) << table[n].packet;
        } else if (line.rfind("dynamic: ", 0) == 0) {
            EXPECT_EQ(line.substr(9), table[n].dynamic) << table[n].packet;
            passed.clear();
            ++n;
        }
    }
    EXPECT_EQ(n, table.size()) << r.out << r.err;
}

std::vector<std::string> packetsOf(const std::vector<Expected>& table)
{
    std::vector<std::string> packets;
    for (const auto& e : table) {
        packets.emplace_back(e.packet);
    }
    return packets;
}

TEST_F(WhatIfRoot, DecidingRulesOfTheExampleSettings)
{
    useExamples();
    const std::vector<Expected> home = {
        { "in via lo0 tcp 127.0.0.1:5000 -> 127.0.0.1:631 setup", "rule 1000 allow", "", "none" },
        { "in via en0 tcp 203.0.113.9:40000 -> me:22 setup", "rule 2004 allow", "", "created" },
        { "out via en0 tcp me:22 -> 203.0.113.9:40000 syn,ack", "rule 2004 allow (dynamic)", "", "matched" },
        { "in via en0 tcp 203.0.113.9:40000 -> me:22 established", "rule 2004 allow (dynamic)", "", "matched" },
        { "in via en0 tcp 203.0.113.9:40001 -> me:23 setup", "rule 52007 deny", "", "none" },
        { "in via en0 tcp 203.0.113.9:40002 -> me:443 setup", "rule 2005 allow", "", "created" },
        { "out via en0 udp me:5353 -> 198.51.100.53:53", "rule 2003 allow", "", "created" },
        { "in via en0 udp 198.51.100.53:53 -> me:5353", "rule 2003 allow (dynamic)", "", "matched" },
        { "in via en0 icmp 203.0.113.9 -> me type 8", "rule 52007 deny", "", "none" },
        { "in via en0 icmp 203.0.113.9 -> me type 0", "rule 1006 allow", "", "none" },
        { "in via en0 tcp 203.0.113.9:1 -> me:80 setup ipoptions ssrr,lsrr", "rule 2001 unreach host", "", "none" },
        { "in via en1 tcp 203.0.113.9:40003 -> me:23 setup", "rule 65535 allow", "", "none" },
    };
    auto args = packetsOf(home);
    args.insert(args.begin(), { "--setting", "0" });
    const auto r = whatIf(args);
    EXPECT_EQ(r.exitStatus, whatif::kExitDeny) << r.err;
    expectAnswers(r, home);
}

TEST_F(WhatIfRoot, CountAndSkiptoRulesArePassedOnTheWay)
{
    root.writeFile(kDocumentPath, expertDocument());
    const std::vector<Expected> expert = {
        { "in via en0 tcp 203.0.113.9:40000 -> me:80 setup", "rule 1000 allow", "100 200", "created" },
        { "out via en0 tcp me:80 -> 203.0.113.9:40000 syn,ack", "rule 1000 allow (dynamic)", "", "matched" },
        { "in via en0 tcp 203.0.113.9:40001 -> me:22 setup", "rule 1100 deny", "100", "none" },
        { "in via en1 udp 203.0.113.9:5 -> me:53", "rule 65535 allow", "", "none" },
    };
    auto args = packetsOf(expert);
    args.insert(args.begin(), { "--key", "Expert" });
    const auto r = whatIf(args);
    EXPECT_EQ(r.exitStatus, whatif::kExitDeny) << r.err;
    expectAnswers(r, expert);
    EXPECT_NE(r.out.find("decided: 1100 deny log tcp from any to any 22 in via en0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("passed: 200 skipto 1000 tcp from any to any 80 in via en0"), std::string::npos) << r.out;
}

TEST_F(WhatIfRoot, ARuleThatDoesNotLoadEndsTheTableThereWithAWarning)
{
    Value setting;
    setting.set(kConfigMode, "1");
    setting.set(kExpertConfigText,
                "add 100 count ip from any to any\nadd 200 wobble\nadd 300 deny ip from any to any\n");
    Value stored;
    stored.set("Broken", setting);
    Value document;
    document.set(kStoredSettings, stored);
    root.writeFile(kDocumentPath, valueToXml(document));
    const auto r = whatIf({ "--key", "Broken", "in via en0 tcp 1.2.3.4:1 -> me:80" });
    EXPECT_EQ(r.exitStatus, whatif::kExitPass) << r.err;
    EXPECT_NE(r.out.find("verdict: rule 65535 allow"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("line 2: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("activation stops loading there"), std::string::npos) << r.err;
}

TEST_F(WhatIfRoot, RulesFromStandardInput)
{
    std::istringstream in(kExpertRules);
    std::ostringstream out;
    std::ostringstream err;
    const int status = whatif::runWhatIf(
        { "--rules", "-", "--me", "10.0.0.1", "in via en0 tcp 1.2.3.4:1 -> me:22 setup" }, in, out, err);
    EXPECT_EQ(status, whatif::kExitDeny) << err.str();
    EXPECT_NE(out.str().find("verdict: rule 1100 deny\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("passed: 100 count"), std::string::npos) << out.str();
}

TEST_F(WhatIfRoot, ExitStatusFollowsTheVerdicts)
{
    root.writeFile(kDocumentPath, expertDocument());
    struct Case {
        std::vector<std::string> args;
        int status;
    } const cases[] = {
        { { "in via en0 tcp 1.2.3.4:1 -> me:80 setup" }, whatif::kExitPass },
        { { "in via en0 tcp 1.2.3.4:1 -> me:22 setup" }, whatif::kExitDeny },
        { { "in via en0 tcp 1.2.3.4:1 -> me:80", "in via en0 tcp 1.2.3.4:1 -> me:22" }, whatif::kExitDeny },
        { { "--key", "Nowhere", "in via en0 tcp 1.2.3.4:1 -> me:80" }, whatif::kExitNoRules },
        { { "--setting", "7", "in via en0 tcp 1.2.3.4:1 -> me:80" }, whatif::kExitNoRules },
        { { "--setting", "x", "in via en0 tcp 1.2.3.4:1 -> me:80" }, whatif::kExitUsage },
        { {}, whatif::kExitUsage },
        { { "--bogus", "in via en0 tcp 1.2.3.4:1 -> me:80" }, whatif::kExitUsage },
        { { "--me", "1.2.3", "in via en0 tcp 1.2.3.4:1 -> me:80" }, whatif::kExitUsage },
    };
    for (const auto& c : cases) {
        const auto r = whatIf(c.args);
        EXPECT_EQ(r.exitStatus, c.status) << (c.args.empty() ? "" : c.args.front()) << '\n' << r.out << r.err;
    }
}

TEST(WhatIfPacket, MalformedPartsAreNamed)
{
    TempRoot root;
    setReleaseFlagsFromEnvironment();
    whatif::WhatIf w;
    ASSERT_TRUE([&] {
        std::string error;
        return w.loadRuleText(kExpertRules, error);
    }());
    w.setKnownInterfaces({ "en0", "lo0" });
    struct Case {
        const char* line;
        const char* message;
    } const cases[] = {
        { "", "empty packet" },
        { "sideways via en0 tcp 1.2.3.4 -> 5.6.7.8", "bad direction \"sideways\"" },
        { "in via en7 tcp 1.2.3.4 -> 5.6.7.8", "unknown interface \"en7\"" },
        { "in via", "missing interface after \"via\"" },
        { "in via en0", "missing protocol" },
        { "in via en0 gre 1.2.3.4 -> 5.6.7.8", "unknown protocol \"gre\"" },
        { "in via en0 tcp 1.2.3.4", "missing addresses" },
        { "in via en0 tcp 1.2.3.4 to 5.6.7.8", "missing addresses" },
        { "in via en0 tcp 1.2.3 -> 5.6.7.8", "bad source address \"1.2.3\"" },
        { "in via en0 tcp 1.2.3.4 -> host.example", "bad destination address \"host.example\"" },
        { "in via en0 tcp 1.2.3.4:70000 -> 5.6.7.8", "bad source port \"70000\"" },
        { "in via en0 tcp 1.2.3.4:1 -> 5.6.7.8:", "bad destination port \"\"" },
        { "in via en0 tcp 1.2.3.4:1 -> 5.6.7.8:-1", "bad destination port \"-1\"" },
        { "in via en0 icmp 1.2.3.4:1 -> 5.6.7.8", "only TCP and UDP packets have ports" },
        { "in via en0 icmp 1.2.3.4 -> 5.6.7.8 type 256", "bad type \"256\"" },
        { "in via en0 tcp 1.2.3.4 -> 5.6.7.8 len x", "bad len \"x\"" },
        { "in via en0 tcp 1.2.3.4 -> 5.6.7.8 wobble", "unknown packet option \"wobble\"" },
        { "out via en0 recv en0 tcp 1.2.3.4 -> 5.6.7.8", "" },
        { "out recv en0 tcp 1.2.3.4 -> 5.6.7.8", "an outgoing packet needs" },
    };
    for (const auto& c : cases) {
        ipfwemu::Packet packet;
        std::string error;
        const bool ok = w.parsePacket(c.line, packet, error);
        if (*c.message == '\0') {
            EXPECT_TRUE(ok) << c.line << ": " << error;
        } else {
            EXPECT_FALSE(ok) << c.line;
            EXPECT_NE(error.find(c.message), std::string::npos) << c.line << ": " << error;
        }
    }
}

TEST(WhatIfPacket, RuleTextThatDoesNotLoadIsNamedByLine)
{
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        { "add 100 allow ip from any to any\nadd 200 frobnicate ip\n", "line 2: " },
        { "add 100 allow ip from any to any\ndelete 100\n", "line 2: only \"add\" lines" },
        { "add 65535 deny ip from any to any\n", "line 1: " },
    };
    setReleaseFlagsFromEnvironment();
    for (const auto& c : cases) {
        whatif::WhatIf w;
        std::string error;
        EXPECT_FALSE(w.loadRuleText(c.text, error)) << c.text;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << c.text << ": " << error;
    }
    whatif::WhatIf partial;
    std::string error;
    EXPECT_FALSE(partial.loadRuleText(
        "add 100 allow ip from any to any\nadd 200 wobble\nadd 300 deny ip from any to any\n", error));
    EXPECT_EQ(partial.table().rules().size(), 2u) << "the rules before the refused line stay, as the loader keeps them";

    whatif::WhatIf w;
    EXPECT_TRUE(w.loadRuleText("# comment\n\n-q flush\nadd 100 allow ip from any to any # why\n", error)) << error;
    EXPECT_EQ(w.table().rules().size(), 2u);

    // Rules out of number order take the loader's order; a rule without a number follows the
    // last rule loaded before it.
    whatif::WhatIf ordered;
    EXPECT_TRUE(ordered.loadRuleText("add 300 deny ip from any to any\nadd 100 count ip from any to any\n"
                                     "add 300 allow ip from any to any\nadd allow tcp from any to any\n",
                                     error))
        << error;
    std::vector<std::string> order;
    for (const auto& r : ordered.table().rules()) {
        order.push_back(std::to_string(r.rule.number) + ' ' + r.text.substr(0, r.text.find(' ')));
    }
    EXPECT_EQ(order, (std::vector<std::string> { "100 count", "300 deny", "300 allow", "400 allow", "65535 allow" }));
}

TEST_F(WhatIfRoot, LoadedRulesAreReadAsRootAndLeftUnchanged)
{
    root.writeFile("/etc/firewall.conf", kExpertRules);
    ASSERT_EQ(runAsRoot({ KW_IPFW_PATH, "-q", "/etc/firewall.conf" }).exitStatus, 0);
    const std::string state = root.readFile("/var/db/kw-platform/ipfw.state");
    ASSERT_FALSE(state.empty());

    const auto r = runAsRoot(
        { KW_WHATIF_PATH, "--loaded", "--me", "10.0.0.1", "in via en0 tcp 203.0.113.9:40000 -> me:80 setup" });
    EXPECT_EQ(r.exitStatus, whatif::kExitPass) << r.err;
    EXPECT_NE(r.out.find("verdict: rule 1000 allow\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("dynamic: created\n"), std::string::npos) << r.out;
    EXPECT_EQ(root.readFile("/var/db/kw-platform/ipfw.state"), state) << "a question changed the rule table";

    if (::geteuid() != 0) {
        const auto user = whatIf({ "--loaded", "in via en0 tcp 203.0.113.9:40000 -> 10.0.0.1:80 setup" });
        EXPECT_EQ(user.exitStatus, whatif::kExitNoRules);
        EXPECT_NE(user.err.find("only be read as root"), std::string::npos) << user.err;
    }
}

std::string randomPacket(std::mt19937& random, std::vector<std::string>& sent)
{
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    // Every fourth packet answers an earlier one, to meet the dynamic rules it left.
    if (!sent.empty() && pick(4) == 0) {
        const std::string& earlier = sent[static_cast<std::size_t>(pick(static_cast<int>(sent.size())))];
        std::istringstream words(earlier);
        std::string direction, via, interface, protocol, src, arrow, dst;
        words >> direction >> via >> interface >> protocol >> src >> arrow >> dst;
        return std::string(direction == "in" ? "out" : "in") + " via " + interface + ' ' + protocol + ' ' + dst +
               " -> " + src + (protocol == "tcp" ? " syn,ack" : "");
    }
    const int n = pick(kInterfaceCount + 2); // the last two are interfaces the setting does not name
    const std::string interface = "en" + std::to_string(n);
    const std::string host = "10.0." + std::to_string(n % kInterfaceCount) + ".2";
    const std::string other =
        pick(3) == 0
            ? "192.168." + std::to_string(pick(256)) + "." + std::to_string(1 + pick(254))
            : std::to_string(1 + pick(223)) + "." + std::to_string(pick(256)) + ".0." + std::to_string(1 + pick(254));
    const bool in = pick(2) == 0;
    static const char* const kProtocols[] = { "tcp", "udp", "icmp", "tcp", "47" };
    const std::string protocol = kProtocols[pick(5)];
    std::string a = in ? other : host;
    std::string b = in ? host : other;
    std::string tail;
    if (protocol == "tcp" || protocol == "udp") {
        const int localPort = pick(3) == 0 ? pick(1024) : 1000 + pick(520);
        const int remotePort = pick(2) == 0 ? 1024 + pick(64000) : pick(1024);
        a += ':' + std::to_string(in ? remotePort : localPort);
        b += ':' + std::to_string(in ? localPort : remotePort);
        if (protocol == "tcp") {
            static const char* const kFlags[] = { " syn", " ack", " syn,ack", " fin,ack", " rst", "" };
            tail = kFlags[pick(6)];
        }
    } else if (protocol == "icmp") {
        static const char* const kTypes[] = { " type 0", " type 8", " type 3 code 1", " type 11" };
        tail = kTypes[pick(4)];
    }
    if (pick(50) == 0) {
        tail += " ipoptions lsrr";
    }
    std::string packet =
        std::string(in ? "in" : "out") + " via " + interface + ' ' + protocol + ' ' + a + " -> " + b + tail;
    sent.push_back(packet);
    return packet;
}

TEST(WhatIfAgreement, TenThousandRandomPacketsMeetTheInjectorsVerdicts)
{
    TempRoot root;
    setReleaseFlagsFromEnvironment();
    const Value setting = largeSetting();
    ASSERT_EQ(findRuleNumberOverflow(setting), std::nullopt);
    const std::string rules = ipfwTextForSetting(setting);
    root.writeFile("/etc/firewall.conf", rules);
    const auto load = runAsRoot({ KW_IPFW_PATH, "-q", "/etc/firewall.conf" });
    ASSERT_EQ(load.exitStatus, 0) << load.err;

    std::mt19937 random(20261211);
    std::vector<std::string> sent;
    std::vector<std::string> packets;
    std::string input;
    for (int i = 0; i < 10000; ++i) {
        packets.push_back(randomPacket(random, sent));
        input += packets.back() + '\n';
    }
    const auto injected = runAsRoot({ KW_IPFW_PATH, "inject", "-", "--me", "10.0.0.2" }, input);
    ASSERT_EQ(injected.exitStatus, 0) << injected.err;

    whatif::WhatIf w;
    std::string error;
    ASSERT_TRUE(w.loadRuleText(rules, error)) << error;
    EXPECT_GT(w.table().rules().size(), 16000u);
    w.setMyAddresses({ 0x0a000002u });
    std::istringstream verdicts(injected.out);
    std::string expected;
    int disagreements = 0;
    std::set<std::string> distinct;
    int dynamic = 0;
    for (const auto& line : packets) {
        ASSERT_TRUE(std::getline(verdicts, expected)) << "the injector answered fewer packets";
        ipfwemu::Packet packet;
        ASSERT_TRUE(w.parsePacket(line, packet, error)) << line << ": " << error;
        const std::string verdict = ipfwemu::verdictText(w.evaluate(packet, false).verdict);
        distinct.insert(verdict);
        dynamic += verdict.find("(dynamic)") != std::string::npos ? 1 : 0;
        if (verdict != expected && ++disagreements <= 10) {
            ADD_FAILURE() << line << "\n  kw-whatif: " << verdict << "\n  injector:  " << expected;
        }
    }
    EXPECT_EQ(disagreements, 0);
    // The packets meet many rules, and the answers meet the dynamic rules of earlier packets.
    EXPECT_GT(distinct.size(), 100u);
    EXPECT_GT(dynamic, 100);
}

} // namespace

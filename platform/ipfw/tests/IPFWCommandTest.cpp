#include "CommandSupport.h"

#include "base/Release.h"
#include "syntax/IPFWGrammar.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kw::ipfwemu::test;
using kw::testing::ProgramResult;

namespace {

using IPFWCommand = IPFWRootTest;

std::string bigRuleFile(int rules)
{
    std::string text = "# generated\n";
    for (int i = 0; i < rules; ++i) {
        text += "add " + std::to_string(2000 + i) + " allow tcp from 10." + std::to_string(i % 250) +
                ".0.0/16 to any " + std::to_string(1 + i % 60000) + " setup keep-state in via en" +
                std::to_string(i % 32) + "\n";
    }
    return text;
}

} // namespace

TEST_F(IPFWCommand, TheSystemsCommandLinesDoWhatTheirCallersRelyOn)
{
    root.writeFile("/etc/firewall.conf", "\n# comment\nadd 1000 allow ip from any to any via lo*\n"
                                         "add 2000 allow tcp from any to any 22 setup keep-state in via en0\n");
    struct Step {
        std::vector<std::string> args;
        std::string input;
        int status;
        const char* out;                // exact standard output, or nullptr
        std::vector<std::string> rules; // rule lines of "list" afterwards
    };
    const Step steps[] = {
        { { "-f", "flush" }, "", 0, "Flushed all rules.\n", { "65535 allow ip from any to any" } },
        { { "-q", "/etc/firewall.conf" },
          "",
          0,
          "",
          { "01000 allow ip from any to any via lo*", "02000 allow tcp from any to any 22 in via en0 setup keep-state",
            "65535 allow ip from any to any" } },
        { { "add", "1001", "divert", "8668", "all", "from", "any", "to", "any", "via", "en0" },
          "",
          0,
          "01001 divert 8668 ip from any to any via en0\n",
          {} },
        { { "-q", "add", "1500", "allow", "all", "from", "192.168.2.0/24", "to", "any", "via", "en1" }, "", 0, "", {} },
        { { "add", "1500", "allow", "all", "from", "192.168.3.0/24", "to", "any", "keep-state", "via", "en1" },
          "",
          0,
          "01500 allow ip from 192.168.3.0/24 to any via en1 keep-state\n",
          {} },
        { { "add", "deny", "icmp", "from", "any", "to", "any" }, "", 0, "02100 deny icmp from any to any\n", {} },
        { { "-q", "delete", "1001" }, "", 0, "", {} },
        { { "-q", "delete", "1500" },
          "",
          0,
          "",
          { "01000 allow ip from any to any via lo*", "02000 allow tcp from any to any 22 in via en0 setup keep-state",
            "02100 deny icmp from any to any", "65535 allow ip from any to any" } },
        { { "delete", "2100" }, "", 0, "", {} },
        { { "-q", "zero" }, "", 0, "", {} },
        { { "zero" }, "", 0, "Accounting cleared.\n", {} },
        { { "-q", "zero", "2000" }, "", 0, "", {} },
        { { "zero", "1000" }, "", 0, "Entry 1000 cleared\n", {} },
        { { "resetlog" }, "", 0, "Logging counts reset.\n", {} },
        { { "list", "1000" }, "", 0, "01000 allow ip from any to any via lo*\n", {} },
        { { "-a", "list", "1000" }, "", 0, "01000 0 0 allow ip from any to any via lo*\n", {} },
        { { "show", "1000" }, "", 0, "01000 0 0 allow ip from any to any via lo*\n", {} },
        { { "-at", "list", "1000" },
          "",
          0,
          "01000 0 0                         allow ip from any to any via lo*\n",
          {} },
        { { "flush" }, "n\n", 0, "Are you sure? [yn] ", {} },
        { { "flush" }, "y\n", 0, "Are you sure? [yn] Flushed all rules.\n", { "65535 allow ip from any to any" } },
        { { "-q", "flush" }, "", 0, "", { "65535 allow ip from any to any" } },
    };
    for (const auto& s : steps) {
        std::string line;
        for (const auto& a : s.args) {
            line += a + ' ';
        }
        const ProgramResult r = ipfw(s.args, s.input);
        EXPECT_EQ(r.exitStatus, s.status) << line << "\nstderr: " << r.err;
        if (s.out != nullptr) {
            EXPECT_EQ(r.out, s.out) << line;
        }
        if (!s.rules.empty()) {
            EXPECT_EQ(ruleLines(), s.rules) << "after " << line;
        }
    }
}

TEST_F(IPFWCommand, MonitorListingHasCountersTimesAndDynamicRules)
{
    ipfwOk({ "-q", "add", "1003", "check-state" });
    ipfwOk({ "-q", "add", "2000", "allow", "tcp", "from", "any", "to", "any", "out", "keep-state" });
    ipfwOk({ "inject", "-" }, "out via en0 tcp 10.0.0.1:5000 -> 1.2.3.4:80 syn len 60\n");
    const std::string text = ipfwOk({ "-at", "list" });
    // One rule line per static rule: five-digit number, counters, the time and a blank, or 24 blanks.
    EXPECT_NE(text.find("01003 0  0                         check-state\n"), std::string::npos) << text;
    const auto row = text.find("02000 1 60 ");
    ASSERT_NE(row, std::string::npos) << text;
    EXPECT_EQ(text.substr(row + 11 + 24, 42), " allow tcp from any to any out keep-state\n") << text;
    EXPECT_NE(text.find("65535 0  0                         allow ip from any to any\n"), std::string::npos) << text;
    const auto marker = text.find("## Dynamic rules (1):\n");
    ASSERT_NE(marker, std::string::npos) << text;
    EXPECT_NE(text.find("s) STATE tcp 10.0.0.1 5000 <-> 1.2.3.4 80\n", marker), std::string::npos) << text;
}

TEST_F(IPFWCommand, BadCommandLinesAreRefused)
{
    ipfwOk({ "-q", "add", "100", "allow", "ip", "from", "any", "to", "any" });
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const Row rows[] = {
        { { "add", "70000", "allow", "ip", "from", "any", "to", "any" }, 64, "illegal rule number 70000" },
        { { "add", "65535", "allow", "ip", "from", "any", "to", "any" }, 64, "illegal rule number 65535" },
        { { "add", "4294967296", "allow", "ip", "from", "any", "to", "any" }, 64, "illegal rule number" },
        { { "add", "200", "allow", "tcp", "from", "any", "to", "any", "nosuchport" }, 64, "ipfw: " },
        { { "add", "200", "allow", "tcp", "from", "any" }, 64, "ipfw: " },
        { { "add", "200", "frobnicate", "ip", "from", "any", "to", "any" }, 64, "ipfw: " },
        { { "delete", "300" }, 69, "rule 300: setsockopt(IP_FW_DEL): Invalid argument" },
        { { "delete", "65535" }, 69, "rule 65535" },
        { { "delete", "abc" }, 64, "illegal rule number abc" },
        { { "delete" }, 64, "rule number required" },
        { { "zero", "300" }, 69, "rule 300: setsockopt(IP_FW_ZERO)" },
        { { "list", "300" }, 69, "rule 300 does not exist" },
        { { "-x", "list" }, 64, "illegal option -- x" },
        { { "frobnicate", "now" }, 64, "bad command" },
        { {}, 64, "usage" },
        { { "-q", "/etc/no-such-file.conf" }, 66, "/etc/no-such-file.conf" },
        { { "inject", "/no/such/packets" }, 66, "/no/such/packets" },
    };
    for (const auto& row : rows) {
        std::string line;
        for (const auto& a : row.args) {
            line += a + ' ';
        }
        const ProgramResult r = ipfw(row.args);
        EXPECT_EQ(r.exitStatus, row.status) << line << "\nstderr: " << r.err;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << line << "\nstderr: " << r.err;
    }
    EXPECT_EQ(ruleLines(),
              (std::vector<std::string> { "00100 allow ip from any to any", "65535 allow ip from any to any" }))
        << "refused commands change nothing";
}

TEST_F(IPFWCommand, RuleFileStopsAtItsFirstBadLine)
{
    struct Row {
        const char* what;
        std::string text;
        int status;
        const char* message;
        std::vector<std::string> rules;
    };
    const Row rows[] = {
        { "bad port on line 3",
          "add 100 allow ip from any to any\n\nadd 200 allow tcp from any to any nosuchport\nadd 300 deny ip from any "
          "to any\n",
          64,
          "Line 3: ",
          { "00100 allow ip from any to any" } },
        { "number too high",
          "add 100 allow ip from any to any\nadd 99999 deny ip from any to any\n",
          64,
          "Line 2: illegal rule number 99999",
          { "00100 allow ip from any to any" } },
        { "too many words",
          "add 100 allow ip from any to any\nadd 200 allow tcp from any to any" + std::string(30, ' ') +
              " 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24\n",
          64,
          "Line 2: too many arguments",
          { "00100 allow ip from any to any" } },
        { "line too long",
          "add 100 allow ip from any to any\nadd 200 allow ip from any to any " + std::string(1100, 'x') + "\n",
          64,
          "Line 2: line too long",
          { "00100 allow ip from any to any" } },
        { "unknown command",
          "add 100 allow ip from any to any\nenable firewall\n",
          64,
          "Line 2: bad command",
          { "00100 allow ip from any to any" } },
        { "commands and options on lines",
          "-q add 100 allow ip from any to any\nadd 200 deny ip from any to any\n"
          "delete 200\nadd 300 count ip from any to any # counts\n",
          0,
          "",
          { "00100 allow ip from any to any", "00300 count ip from any to any" } },
        { "empty file (an empty expert text)", "", 0, "", {} },
        { "no line break at the end", "add 100 allow ip from any to any", 0, "", { "00100 allow ip from any to any" } },
        { "carriage returns", "add 100 allow ip from any to any\r\n", 0, "", { "00100 allow ip from any to any" } },
    };
    for (const auto& row : rows) {
        ipfwOk({ "-q", "flush" });
        root.writeFile("/etc/firewall.conf", row.text);
        const ProgramResult r = ipfw({ "-q", "/etc/firewall.conf" });
        EXPECT_EQ(r.exitStatus, row.status) << row.what << "\nstderr: " << r.err;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << row.what << "\nstderr: " << r.err;
        auto expected = row.rules;
        expected.push_back("65535 allow ip from any to any");
        EXPECT_EQ(ruleLines(), expected) << row.what;
    }
}

TEST_F(IPFWCommand, CorruptOrUnreadableStateIsReportedNotEmptied)
{
    ipfwOk({ "-q", "add", "100", "allow", "ip", "from", "any", "to", "any" });
    const std::string state = root.readFile("/var/db/kw-platform/ipfw.state");
    ASSERT_FALSE(state.empty());
    const std::string damaged[] = { state.substr(0, state.size() / 2), "garbage\n", state + "trailing\n" };
    for (const auto& text : damaged) {
        root.writeFile("/var/db/kw-platform/ipfw.state", text);
        for (const auto& args :
             std::vector<std::vector<std::string>> { { "-at", "list" },
                                                     { "-q", "add", "200", "deny", "ip", "from", "any", "to", "any" },
                                                     { "-q", "zero" } }) {
            const ProgramResult r = ipfw(args);
            EXPECT_EQ(r.exitStatus, 74) << args[1];
            EXPECT_NE(r.err.find("is corrupt"), std::string::npos) << r.err;
            EXPECT_EQ(r.out, "");
        }
        EXPECT_EQ(root.readFile("/var/db/kw-platform/ipfw.state"), text) << "a corrupt table is left for inspection";
    }
    // A state that is a folder cannot be read at all.
    std::filesystem::remove(root / "/var/db/kw-platform/ipfw.state");
    std::filesystem::create_directory(root / "/var/db/kw-platform/ipfw.state");
    const ProgramResult r = ipfw({ "list" });
    EXPECT_EQ(r.exitStatus, 74);
    EXPECT_NE(r.err.find("cannot read the rule table"), std::string::npos) << r.err;
}

TEST_F(IPFWCommand, RefusesWithoutRootOrSystemRoot)
{
    if (::geteuid() == 0) {
        const auto r = kw::testing::runAsUser({ KW_IPFW_PATH, "list" });
        EXPECT_EQ(r.exitStatus, 71);
    } else {
        const auto r = kw::testing::runProgram({ KW_IPFW_PATH, "list" });
        EXPECT_EQ(r.exitStatus, 71);
        EXPECT_NE(r.err.find("Operation not permitted"), std::string::npos) << r.err;
    }
    const auto r = kw::testing::runAsRoot({ "env", "-u", "KEEPWALL_ROOT", KW_IPFW_PATH, "list" });
    EXPECT_EQ(r.exitStatus, 71);
    EXPECT_NE(r.err.find("no system root"), std::string::npos) << r.err;
    const auto slash = kw::testing::runAsRoot({ "env", "KEEPWALL_ROOT=/", KW_IPFW_PATH, "list" });
    EXPECT_EQ(slash.exitStatus, 71);
    EXPECT_NE(slash.err.find("refusing"), std::string::npos) << slash.err;
}

TEST_F(IPFWCommand, ConcurrentAddsLoseNothing)
{
    constexpr int kWriters = 6;
    constexpr int kRulesEach = 8;
    std::vector<std::thread> writers;
    std::atomic<int> failures { 0 };
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kRulesEach; ++i) {
                const auto r = ipfw({ "-q", "add", std::to_string(1000 + w * 100 + i), "allow", "tcp", "from", "any",
                                      "to", "any", std::to_string(1000 + w * 100 + i) });
                if (r.exitStatus != 0) {
                    ++failures;
                }
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(ruleLines().size(), static_cast<std::size_t>(kWriters * kRulesEach + 1));
}

TEST_F(IPFWCommand, KillDuringALargeLoadLeavesTheOldOrTheNewTable)
{
    root.writeFile("/etc/small.conf", "add 100 allow ip from any to any\nadd 200 deny ip from any to any\n");
    root.writeFile("/etc/big.conf", bigRuleFile(16000));
    ipfwOk({ "-q", "/etc/small.conf" });
    const std::size_t oldCount = 3;
    const std::size_t newCount = oldCount + 16000;
    bool sawOld = false;
    for (int delayMs : { 5, 40, 150, 400 }) {
        std::vector<std::string> argv = { KW_IPFW_PATH, "-q", "/etc/big.conf" };
        if (::geteuid() != 0) {
            argv.insert(argv.begin(), { "unshare", "-r", "--" });
        }
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int devnull = ::open("/dev/null", O_RDWR);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            std::vector<char*> args;
            for (auto& a : argv) {
                args.push_back(a.data());
            }
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::usleep(static_cast<useconds_t>(delayMs) * 1000);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const auto count = ruleLines().size();
        EXPECT_TRUE(count == oldCount || count == newCount) << "after " << delayMs << " ms: " << count << " rules";
        sawOld = sawOld || count == oldCount;
        if (count != oldCount) {
            ipfwOk({ "-q", "flush" });
            ipfwOk({ "-q", "/etc/small.conf" });
        }
    }
    EXPECT_TRUE(sawOld) << "no kill landed during the load";
    ipfwOk({ "-q", "/etc/big.conf" });
    EXPECT_EQ(ruleLines().size(), newCount);
}

// The command prints the added rule and the listing in the configured release's form.
TEST_F(IPFWCommand, ListingFollowsTheConfiguredRelease)
{
    struct Row {
        const char* release;
        const char* body;
        const char* neverMatched; // in place of the time
    };
    const Row rows[] = {
        { "10.1", "deny igmp from any to any in via en0", "                         " },
        { "10.3", "deny igmp from any to any in via en0", "\t\t\t " },
        { "10.4", "deny igmp from any to any in via en0", "                        " },
    };
    for (const auto& row : rows) {
        ScopedRelease release(row.release);
        ipfwOk({ "-f", "flush" });
        EXPECT_EQ(ipfwOk({ "add", "300", "deny", "2", "from", "any", "to", "any", "in", "via", "en0" }),
                  std::string("00300 ") + row.body + '\n')
            << row.release;
        EXPECT_EQ(ipfwOk({ "-at", "list", "300" }), std::string("00300 0 0 ") + row.neverMatched + row.body + '\n')
            << row.release;
    }
}

// What each release's ipfw refuses: the loader and the checker with the release grammar give
// the same verdict and message; the checker's own grammar refuses 65535 but knows dynamic rules.
TEST_F(IPFWCommand, ReleaseRulesAgreeBetweenCheckerAndLoader)
{
    struct Row {
        const char* release;
        const char* rule;
        const char* refusal; // nullptr: accepted
        bool refusedByDefaultGrammar;
    };
    const char* const kDefaultRule = "illegal rule number 65535 (rules are numbered 1 to 65534)";
    const Row rows[] = {
        { "10.1", "add 100 allow tcp from any to any 22 keep-state", "unknown argument ``keep-state''", false },
        { "10.1", "add 100 check-state", "invalid action ``check-state''", false },
        { "10.1", "add 100 allow tcp from any to any 22 limit src-addr 2", "unknown argument ``limit''", true },
        { "10.1", "add 65535 allow ip from any to any", kDefaultRule, true },
        { "10.1", "add 100 allow tcp from any to any 22 setup", nullptr, false },
        { "10.2", "add 100 allow tcp from any to any 22 keep-state", nullptr, false },
        { "10.2", "add 100 check-state", nullptr, false },
        { "10.3", "add 65535 allow ip from any to any", kDefaultRule, true },
        { "10.4", "add 100 allow tcp from any to any 22 keep-state", nullptr, false },
        { "10.4", "add 65535 deny ip from any to any", kDefaultRule, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.release) + ": " + row.rule);
        const ScopedRelease release(row.release);
        // The loader, as the release's ipfw.
        std::vector<std::string> words;
        std::istringstream in(row.rule);
        for (std::string w; in >> w;) {
            words.push_back(w);
        }
        const auto loaded = ipfw(words);
        if (row.refusal == nullptr) {
            EXPECT_EQ(loaded.exitStatus, 0) << loaded.err;
        } else {
            EXPECT_EQ(loaded.exitStatus, 64);
            EXPECT_NE(loaded.err.find(std::string("ipfw: ") + row.refusal), std::string::npos) << loaded.err;
        }
        // The checker with the release grammar.
        kw::NameServices names;
        const auto checked = kw::parseIPFWRuleLine(row.rule, names, kw::IPFWGrammarMode::Release);
        EXPECT_EQ(checked.accepted, row.refusal == nullptr);
        if (row.refusal != nullptr) {
            EXPECT_EQ(checked.errors, std::vector<std::string> { row.refusal });
        }
        // The checker's own grammar.
        EXPECT_EQ(kw::parseIPFWRuleLine(row.rule, names).accepted, !row.refusedByDefaultGrammar);
        ipfw({ "-q", "flush" });
    }
}

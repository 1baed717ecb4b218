#include "nat/KWNatdManager.h"
#include "TempRoot.h"
#include "base/Log.h"
#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>

using kw::KWNatdManager;
using kw::Value;
namespace keys = kw::keys;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

extern char** environ;

namespace {

// Every stand-in writes "<program> <arguments>" to one file, so the order across programs shows.
constexpr const char* kRecorder = "echo \"${0#$KEEPWALL_ROOT} $*\" >> \"$KEEPWALL_ROOT/calls\"\n";
// natd that comes up: it shows in the listing of the stand-in ps (the id is never signalled).
constexpr const char* kNatdThatRuns = "echo \"  4242 /usr/sbin/natd -f $2\" >> \"$KEEPWALL_ROOT/ps.out\"\n";

Value gateway(const std::string& address, const std::string& interfaceName, int external, int allowLocal)
{
    Value g;
    g.set(keys::kNatGatewayIp, Value(address));
    g.set(keys::kNatInterface, Value(interfaceName));
    g.set(keys::kNatGatewayExternal, Value::integer(external));
    g.set(keys::kNatAllowLocal, Value::integer(allowLocal));
    return g;
}

Value sharingSetting(Value::Array gateways, const std::string& sharedInterface = "en0")
{
    Value nat;
    nat.set(keys::kNatdInterfaceName, Value(sharedInterface));
    nat.set(keys::kNatdStartup, Value::integer(1));
    nat.set(keys::kGateways, Value(std::move(gateways)));
    Value s;
    s.set(keys::kSettingName, Value("Sharing"));
    s.set(keys::kConfigMode, Value::integer(0));
    s.set(keys::kNatConfig, nat);
    return s;
}

class NatdManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        kw::setReleaseFlags(824);
        for (const char* program : { "/sbin/ipfw", "/usr/sbin/sysctl", "/sbin/ifconfig", "/sbin/route" }) {
            m_root.writeScript(program, kRecorder);
        }
        m_root.writeScript("/usr/sbin/natd", std::string(kRecorder) + kNatdThatRuns);
        m_root.writeScript("/bin/ps", "echo \"$*\" >> \"$KEEPWALL_ROOT/ps.args\"\n"
                                      "echo '  PID COMMAND'\ncat \"$KEEPWALL_ROOT/ps.out\" 2>/dev/null\nexit 0\n");
        fs::create_directories(m_root / "/etc");
        manager().setSleeper([this](std::chrono::milliseconds d) {
            m_waits.push_back(std::to_string(d.count()) + "ms after " + std::to_string(calls().size()) + " calls");
        });
    }

    void TearDown() override
    {
        manager().setSleeper(nullptr);
        manager().setAllowRulesDelay(KWNatdManager::kDefaultAllowRulesDelay);
        manager().setNatdStartCheckDelay(KWNatdManager::kDefaultNatdStartCheckDelay);
    }

    static KWNatdManager& manager() { return KWNatdManager::sharedInstance(); }

    void storeCurrent(const Value& setting)
    {
        kw::KeepwallPrefs prefs;
        Value stored;
        stored.set("S", setting);
        prefs.takeValue(stored, keys::kStoredSettings);
        prefs.setCurrentSettingsKey("S");
        ASSERT_TRUE(prefs.commitChanges());
    }

    std::vector<std::string> calls() const
    {
        std::vector<std::string> lines;
        std::istringstream in(m_root.readFile("/calls"));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    std::vector<std::string> errors() const
    {
        std::vector<std::string> found;
        const std::string prefix = "The Firewall Utility tool reported an error: ";
        for (const auto& line : m_log) {
            if (line.rfind(prefix, 0) == 0) {
                found.push_back(line.substr(prefix.size()));
            }
        }
        return found;
    }

    bool logged(const std::string& line) const { return std::find(m_log.begin(), m_log.end(), line) != m_log.end(); }

    kw::testing::TempRoot m_root;
    std::vector<std::string> m_log;
    kw::LogCapture m_capture { [this](const std::string& line) { m_log.push_back(line); } };
    std::vector<std::string> m_waits;
};

// A child that stands for a running natd; the test reaps it.
pid_t startStandInNatd()
{
    pid_t pid = -1;
    char sleepProgram[] = "sleep";
    char seconds[] = "30";
    char* argv[] = { sleepProgram, seconds, nullptr };
    EXPECT_EQ(::posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ), 0);
    return pid;
}

int signalThatEnded(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

} // namespace

TEST(NatdStatus, LogsOnlyAbnormalEnds)
{
    struct Row {
        int status;
        std::string expected; // empty: nothing logged
    };
    const Row rows[] = {
        { 0, "" },
        { 1 << 8, "IPFWManager: Tool exited with status 1" },
        { 127 << 8, "IPFWManager: Tool exited with status 127" },
        { -1, "" },   // could not be started: the low bits read 127
        { 0x7f, "" }, // stopped
        { 9, "IPFWManager: Tool terminated from signal 9" },
        { 0x80 | 3, "IPFWManager: Tool terminated from signal 3" }, // with a core dump
    };
    for (const auto& row : rows) {
        std::vector<std::string> log;
        kw::LogCapture capture([&log](const std::string& line) { log.push_back(line); });
        EXPECT_TRUE(KWNatdManager::checkSystemStatus(row.status));
        if (row.expected.empty()) {
            EXPECT_TRUE(log.empty()) << row.status;
        } else {
            EXPECT_EQ(log, std::vector<std::string> { row.expected }) << row.status;
        }
    }
}

TEST(NatdListing, FindsTheProcessIdsOfNatdOnly)
{
    struct Row {
        const char* name;
        std::string listing;
        std::vector<std::int64_t> expected;
    };
    const Row rows[] = {
        { "natd and the grep looking for it",
          "  PID COMMAND\n  312 /usr/sbin/natd -f /etc/natd.conf\n  988 grep /usr/sbin/natd\n",
          { 312 } },
        { "empty", "", {} },
        { "only short lines", "\n  \n1\n12\n", {} },
        { "two natd",
          "  PID COMMAND\n  312 /usr/sbin/natd -f /etc/natd.conf\n 4711 /usr/sbin/natd -n en1\n",
          { 312, 4711 } },
        { "other processes", "    1 /sbin/launchd\n  200 /usr/sbin/syslogd\n", {} },
        { "no final line break", "  77 /usr/sbin/natd -f /etc/natd.conf", { 77 } },
        { "pid at the margin", "99999 /usr/sbin/natd\n", { 99999 } },
        { "grep anywhere in the line", "  55 /usr/sbin/natd -f /etc/grepme.conf\n", {} },
        { "no positive number", " -5 /usr/sbin/natd -f x\n", {} },
        { "tab-separated pieces are one piece", "\t12\t/usr/sbin/natd\n", { 12 } },
    };
    for (const auto& row : rows) {
        EXPECT_EQ(KWNatdManager::natdPIDsFromListing(row.listing), row.expected) << row.name;
    }
}

TEST(NatdListing, FirstNumInListTakesTheFirstPositiveLeadingInteger)
{
    using List = std::vector<std::string>;
    EXPECT_EQ(KWNatdManager::firstNumInList(List { "", "", "312", "/usr/sbin/natd" }), 312);
    EXPECT_EQ(KWNatdManager::firstNumInList(List { "0", "-4", "7x", "9" }), 7);
    EXPECT_EQ(KWNatdManager::firstNumInList(List {}), std::nullopt);
    EXPECT_EQ(KWNatdManager::firstNumInList(List { "", "abc", "0" }), std::nullopt);
}

TEST(NatdListing, NetworkOfAGatewayIsItsSlash24)
{
    EXPECT_EQ(KWNatdManager::networkIPForGateway("192.168.2.1"), "192.168.2.0/24");
    EXPECT_EQ(KWNatdManager::networkIPForGateway("10.0.1.254"), "10.0.1.0/24");
    EXPECT_EQ(KWNatdManager::networkIPForGateway("10.1"), "10.1..0/24"); // never called so: addresses are checked first
}

TEST_F(NatdManager, ReadsTheRootsProcessListing)
{
    m_root.writeFile("/ps.out", "  312 /usr/sbin/natd -f /etc/natd.conf\n");
    EXPECT_EQ(manager().natdPIDs(), (std::vector<std::int64_t> { 312 }));
    EXPECT_EQ(m_root.readFile("/ps.args"), "-awwwx -o pid,command\n");
    EXPECT_TRUE(manager().natdIsRunning());
    fs::remove(m_root / "/ps.out");
    EXPECT_FALSE(manager().natdIsRunning());
}

TEST_F(NatdManager, MissingPsMeansNotRunning)
{
    fs::remove(m_root / "/bin/ps");
    EXPECT_EQ(manager().natdPIDs(), std::vector<std::int64_t> {});
    EXPECT_FALSE(manager().natdIsRunning());
}

TEST_F(NatdManager, StartsSharingInOrder)
{
    storeCurrent(sharingSetting({ gateway("Default Gateway", "en0", 1, 0), gateway("192.168.2.1", "en1", 0, 1) }));
    EXPECT_TRUE(manager().startIPSharing());
    const std::vector<std::string> expected {
        "/usr/sbin/sysctl -w net.inet.ip.forwarding=1",
        "/sbin/ifconfig en1 inet 192.168.2.1 netmask 255.255.255.0 alias up",
        "/sbin/route add -host 192.168.2.1 -interface 127.0.0.1",
        "/usr/sbin/natd -f /etc/natd.conf",
        "/sbin/ipfw add 1001 divert natd all from any to any via en0",
        "/sbin/ipfw add 1500 allow all from 192.168.2.0/24 to any keep-state via en1",
    };
    EXPECT_EQ(calls(), expected);
    // The natd check a moment after the start, then the wait before the allow rules.
    EXPECT_EQ(m_waits, (std::vector<std::string> { "500ms after 4 calls", "1000ms after 5 calls" }));
    kw::KeepwallPrefs prefs;
    EXPECT_EQ(m_root.readFile("/etc/natd.conf"), prefs.natdTextForSettingKey("S"));
    EXPECT_NE(m_root.readFile("/etc/natd.conf").find("interface en0\n"), std::string::npos);
    EXPECT_TRUE(errors().empty());
    EXPECT_TRUE(logged("Starting natd with config path:/etc/natd.conf"));
}

TEST_F(NatdManager, GatewayKindsDecideAddressesAndAllowRules)
{
    struct Row {
        const char* name;
        Value gateway;
        bool aliasAddress;
        bool allowRule;
    };
    const Row rows[] = {
        { "external default gateway", gateway("Default Gateway", "en0", 1, 1), false, false },
        { "external with an address", gateway("10.0.0.2", "en0", 1, 1), true, false },
        { "internal, local network not allowed", gateway("192.168.5.1", "en1", 0, 0), true, false },
        { "internal, local network allowed", gateway("192.168.5.1", "en1", 0, 1), true, true },
        { "internal, allow flag as text",
          [] {
              Value g = gateway("192.168.5.1", "en1", 0, 0);
              g.set(keys::kNatAllowLocal, Value("2"));
              return g;
          }(),
          true, true },
    };
    for (const auto& row : rows) {
        fs::remove(m_root / "/calls");
        storeCurrent(sharingSetting({ row.gateway }));
        kw::KeepwallPrefs prefs;
        EXPECT_TRUE(manager().assureIPAddressesForSetting(prefs.currentSetting()));
        EXPECT_TRUE(manager().addAllowLANFiltersForSetting(prefs.currentSetting()));
        bool sawAlias = false;
        bool sawAllow = false;
        for (const auto& call : calls()) {
            sawAlias = sawAlias || call.rfind("/sbin/ifconfig ", 0) == 0;
            sawAllow = sawAllow || call.find(" 1500 allow ") != std::string::npos;
        }
        EXPECT_EQ(sawAlias, row.aliasAddress) << row.name;
        EXPECT_EQ(sawAllow, row.allowRule) << row.name;
    }
}

TEST_F(NatdManager, AllowRuleFormFollowsTheRelease)
{
    struct Row {
        double version;
        std::string expected;
    };
    const Row rows[] = {
        { 620, "/sbin/ipfw -q add 1500 allow all from 192.168.2.0/24 to any via en1" },
        { 663, "/sbin/ipfw add 1500 allow all from 192.168.2.0/24 to any keep-state via en1" },
        { 824, "/sbin/ipfw add 1500 allow all from 192.168.2.0/24 to any keep-state via en1" },
    };
    for (const auto& row : rows) {
        kw::setReleaseFlags(row.version);
        fs::remove(m_root / "/calls");
        EXPECT_TRUE(manager().addAllowFilterForNetwork("192.168.2.0/24", "en1"));
        EXPECT_EQ(calls(), std::vector<std::string> { row.expected }) << row.version;
    }
}

TEST_F(NatdManager, IpfwFailingOnTheDivertRuleIsLoggedOnly)
{
    m_root.writeScript("/sbin/ipfw", std::string(kRecorder) + "exit 1\n");
    storeCurrent(sharingSetting({}));
    EXPECT_TRUE(manager().startIPSharing());
    EXPECT_TRUE(logged("IPFWManager: Tool exited with status 1"));
    EXPECT_TRUE(errors().empty());
}

TEST_F(NatdManager, UnwritableConfigurationStartsNothingAfterForwarding)
{
    storeCurrent(sharingSetting({ gateway("192.168.2.1", "en1", 0, 1) }));
    fs::create_directories(m_root / "/etc/natd.conf"); // a folder in the way
    EXPECT_FALSE(manager().startIPSharing());
    EXPECT_EQ(calls(), (std::vector<std::string> {
                           "/usr/sbin/sysctl -w net.inet.ip.forwarding=1",
                           "/sbin/ifconfig en1 inet 192.168.2.1 netmask 255.255.255.0 alias up",
                           "/sbin/route add -host 192.168.2.1 -interface 127.0.0.1",
                       }));
    EXPECT_EQ(errors(), std::vector<std::string> { "Error writing natd config file\nCode:0" });
}

TEST_F(NatdManager, NatdThatDiesAtOnceGetsNoDivertRule)
{
    m_root.writeScript("/usr/sbin/natd", std::string(kRecorder) + "echo 'natd: bad option' >&2\nexit 1\n");
    storeCurrent(sharingSetting({ gateway("192.168.2.1", "en1", 0, 1) }));
    EXPECT_FALSE(manager().startIPSharing());
    for (const auto& call : calls()) {
        EXPECT_EQ(call.find("/sbin/ipfw"), std::string::npos) << call;
    }
    EXPECT_TRUE(logged("IPFWManager: Tool exited with status 1"));
    EXPECT_EQ(errors(), std::vector<std::string> { "Error starting natd server: natd is not running\nCode:0" });
}

TEST_F(NatdManager, MissingNatdIsTheShellsStatus127AndNotRunning)
{
    fs::remove(m_root / "/usr/sbin/natd");
    storeCurrent(sharingSetting({}));
    EXPECT_FALSE(manager().startIPSharing());
    EXPECT_TRUE(logged("IPFWManager: Tool exited with status 127"));
}

TEST_F(NatdManager, StopRemovesBothRulesAndQuitsEveryNatd)
{
    const pid_t first = startStandInNatd();
    const pid_t second = startStandInNatd();
    m_root.writeFile("/ps.out", "  " + std::to_string(first) + " /usr/sbin/natd -f /etc/natd.conf\n  " +
                                    std::to_string(second) +
                                    " /usr/sbin/natd -f /etc/natd.conf\n  9 grep /usr/sbin/natd\n");
    EXPECT_TRUE(manager().stopIPSharing());
    EXPECT_EQ(calls(), (std::vector<std::string> { "/sbin/ipfw -q delete 1001", "/sbin/ipfw -q delete 1500" }));
    EXPECT_EQ(signalThatEnded(first), SIGQUIT);
    EXPECT_EQ(signalThatEnded(second), SIGQUIT);
    EXPECT_TRUE(errors().empty());
}

TEST_F(NatdManager, NatdThatAlreadyEndedIsNotAnError)
{
    const pid_t gone = startStandInNatd();
    ::kill(gone, SIGKILL);
    signalThatEnded(gone);
    m_root.writeFile("/ps.out", "  " + std::to_string(gone) + " /usr/sbin/natd -f /etc/natd.conf\n");
    EXPECT_TRUE(manager().stopNatdServer());
    EXPECT_TRUE(errors().empty());
}

TEST_F(NatdManager, StopWithoutIpfwLogsThatTheRulesStay)
{
    fs::remove(m_root / "/sbin/ipfw");
    EXPECT_TRUE(manager().stopIPSharing()); // a missing ipfw runs and fails: only -1 is a failure
    EXPECT_TRUE(logged("IPFWManager: Tool exited with status 127"));
}

TEST_F(NatdManager, ReactivationAddsOnlyTheRules)
{
    storeCurrent(sharingSetting({ gateway("192.168.2.1", "en1", 0, 1) }, "ppp0"));
    EXPECT_TRUE(manager().reactivateIPSharingFilters());
    EXPECT_EQ(calls(), (std::vector<std::string> {
                           "/sbin/ipfw add 1001 divert natd all from any to any via ppp0",
                           "/sbin/ipfw add 1500 allow all from 192.168.2.0/24 to any keep-state via en1",
                       }));
    fs::remove(m_root / "/calls");
    EXPECT_TRUE(manager().addLocalNetFilters());
    EXPECT_EQ(calls(), std::vector<std::string> {
                           "/sbin/ipfw add 1500 allow all from 192.168.2.0/24 to any keep-state via en1" });
}

TEST_F(NatdManager, SettingWithoutSharedInterfaceGetsNoDivertRule)
{
    Value setting = sharingSetting({});
    Value nat = *setting.get(keys::kNatConfig);
    nat.dictionary()->erase(keys::kNatdInterfaceName);
    nat.set(keys::kNatdInterface, Value::integer(7));
    setting.set(keys::kNatConfig, nat);
    storeCurrent(setting);
    EXPECT_FALSE(manager().reactivateIPSharingFilters());
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(errors(),
              std::vector<std::string> { "Error adding divert filter: the setting names no shared interface\nCode:0" });
}

TEST_F(NatdManager, SettingTextReachesCommandsAsSingleArguments)
{
    // Records each argument in brackets, one call per line.
    m_root.writeScript("/sbin/ipfw", "for a in \"$@\"; do printf '[%s]' \"$a\" >> \"$KEEPWALL_ROOT/args\"; done\n"
                                     "echo >> \"$KEEPWALL_ROOT/args\"\n");
    m_root.writeScript("/sbin/ifconfig", "for a in \"$@\"; do printf '[%s]' \"$a\" >> \"$KEEPWALL_ROOT/args\"; done\n"
                                         "echo >> \"$KEEPWALL_ROOT/args\"\n");
    storeCurrent(sharingSetting(
        { gateway("192.168.2.1", "en1; touch injected", 0, 1), gateway("192.168.3.1", "$(touch injected)", 0, 1) },
        "en0 `touch injected`"));
    EXPECT_TRUE(manager().startIPSharing());
    EXPECT_FALSE(fs::exists(m_root / "/injected"));
    EXPECT_FALSE(fs::exists("injected"));
    const std::string args = m_root.readFile("/args");
    EXPECT_NE(args.find("[en1; touch injected][inet][192.168.2.1]"), std::string::npos) << args;
    EXPECT_NE(args.find("[via][en0 `touch injected`]\n"), std::string::npos) << args;
    EXPECT_NE(args.find("[keep-state][via][$(touch injected)]\n"), std::string::npos) << args;
}

TEST_F(NatdManager, RefusesAddressesAndNamesBeforeAnythingRunsForThem)
{
    storeCurrent(sharingSetting({
        gateway("192.168.2.1; reboot", "en1", 0, 1), // refused for the alias and for the allow rule
        gateway("192.168.4.1", "-a", 0, 1),          // would read as an option
        gateway("Default Gateway", "en2", 0, 1),     // an internal gateway needs an address
    }));
    kw::KeepwallPrefs prefs;
    EXPECT_TRUE(manager().assureIPAddressesForSetting(prefs.currentSetting()));
    EXPECT_TRUE(manager().addAllowLANFiltersForSetting(prefs.currentSetting()));
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(errors().size(), 6u);
    for (const auto& error : errors()) {
        EXPECT_EQ(error.rfind("Refusing to ", 0), 0u) << error;
    }
}

TEST_F(NatdManager, ConfigurationReplacesASymbolicLinkInsteadOfWritingThroughIt)
{
    m_root.writeFile("/etc/precious", "keep me\n");
    fs::create_symlink(m_root / "/etc/precious", m_root / "/etc/natd.conf");
    storeCurrent(sharingSetting({}));
    EXPECT_TRUE(manager().writeConfigFileToPath("/etc/natd.conf"));
    EXPECT_EQ(m_root.readFile("/etc/precious"), "keep me\n");
    EXPECT_FALSE(fs::is_symlink(m_root / "/etc/natd.conf"));
    EXPECT_EQ(m_root.readFile("/etc/natd.conf"), "interface en0\nuse_sockets yes\nsame_ports yes\n");
}

TEST_F(NatdManager, ConfigurationRefusesTextThatWouldAddNatdOptions)
{
    Value map;
    map.set(keys::kPortmapProtocol, Value("tcp"));
    map.set(keys::kPortmapIp, Value("192.168.2.5\npid_file /etc/passwd"));
    map.set(keys::kPortmapPort, Value::integer(80));
    map.set(keys::kPortmapInPort, Value::integer(80));
    Value external = gateway("Default Gateway", "en0", 1, 0);
    external.set(keys::kPortmapList, Value(Value::Array { map }));
    storeCurrent(sharingSetting({ external }));
    m_root.writeFile("/etc/natd.conf", "old\n");
    EXPECT_FALSE(manager().writeConfigFileToPath("/etc/natd.conf"));
    EXPECT_EQ(m_root.readFile("/etc/natd.conf"), "old\n");
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0].rfind("Error writing natd config file: ", 0), 0u) << errors()[0];
}

TEST_F(NatdManager, ConfigurationWithValuesOfTheWrongKindIsReportedNotRaised)
{
    Value setting = sharingSetting({});
    setting.get(keys::kNatConfig)->set(keys::kNatdInterfaceName, Value(Value::Array { Value("en0") }));
    storeCurrent(setting);
    EXPECT_FALSE(manager().writeConfigFileToPath("/etc/natd.conf"));
    EXPECT_FALSE(fs::exists(m_root / "/etc/natd.conf"));
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(errors()[0].rfind("Error writing natd config file: ", 0), 0u) << errors()[0];
}

TEST_F(NatdManager, WaitsAreTheConfiguredOnes)
{
    EXPECT_EQ(KWNatdManager::kDefaultAllowRulesDelay, 1000ms);
    manager().setAllowRulesDelay(20ms);
    storeCurrent(sharingSetting({}));
    manager().addLocalNetFilters();
    EXPECT_EQ(m_waits, std::vector<std::string> { "20ms after 0 calls" });
}

TEST_F(NatdManager, ExpertNatdTextsAreWrittenUnchanged)
{
    const fs::path corpus = KEEPWALL_CORPUS_DIR;
    if (!fs::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("natd-", 0) != 0) {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Value setting;
        setting.set(keys::kConfigMode, Value::integer(2));
        setting.set(keys::kNatdExpertText, Value(text));
        storeCurrent(setting);
        EXPECT_TRUE(manager().writeConfigFileToPath("/etc/natd.conf")) << name;
        EXPECT_EQ(m_root.readFile("/etc/natd.conf"), text) << name;
        ++checked;
    }
    EXPECT_GT(checked, 0);
    EXPECT_TRUE(errors().empty());
}

// The wallctl words on a real sandbox root: the emulated ipfw, natd, sysctl, ifconfig and ps.
#include "RunProgram.h"
#include "TempRoot.h"
#include "base/AtomicFile.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sstream>

using kw::Value;
using kw::testing::runAsRoot;
namespace keys = kw::keys;

namespace {

Value gateway(const std::string& ip, const std::string& iface, bool external, int allowLocal, Value::Array maps = {})
{
    Value g;
    g.set(keys::kNatGatewayIp, Value(ip));
    g.set(keys::kNatInterface, Value(iface));
    g.set(keys::kNatGatewayExternal, Value::integer(external ? 1 : 0));
    g.set(keys::kNatAllowLocal, Value::integer(allowLocal));
    g.set(keys::kPortmapList, Value(std::move(maps)));
    return g;
}

Value sharingSetting()
{
    Value map;
    map.set(keys::kPortmapProtocol, Value("tcp"));
    map.set(keys::kPortmapIp, Value("10.0.1.5"));
    map.set(keys::kPortmapPort, Value::integer(80));
    map.set(keys::kPortmapInPort, Value::integer(8080));
    Value nat;
    nat.set(keys::kNatdInterfaceName, Value("en0"));
    nat.set(keys::kNatdStartup, Value::integer(1));
    nat.set(keys::kGateways, Value(Value::Array { gateway("Default Gateway", "en0", true, 0, { map }),
                                                  gateway("10.0.1.1", "en1", false, 1) }));
    Value iface;
    iface.set(keys::kInterfaceName, Value("en0"));
    iface.set(keys::kEnableFirewall, Value::integer(1));
    iface.set(keys::kDefaultIncomingAllow, Value::integer(1));
    Value s;
    s.set(keys::kSettingName, Value("Sharing"));
    s.set(keys::kConfigMode, Value("0"));
    s.set(keys::kInterfaceList, Value(Value::Array { iface }));
    s.set(keys::kNatConfig, nat);
    return s;
}

class Sandbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto made = kw::testing::runProgram({ SANDBOX_PATH, m_root.path() });
        ASSERT_EQ(made.exitStatus, 0) << made.err;
        kw::KeepwallPrefs prefs;
        Value stored;
        stored.set("S", sharingSetting());
        prefs.takeValue(stored, keys::kStoredSettings);
        prefs.setCurrentSettingsKey("S");
        ASSERT_TRUE(prefs.commitChanges());
    }

    void TearDown() override
    {
        wallctl({ "sharing-stop" });
        std::string pid;
        if (kw::readFile(m_root / "/var/run/ipfwlogger.pid", pid) && std::atoi(pid.c_str()) > 0) {
            ::kill(std::atoi(pid.c_str()), SIGTERM);
        }
    }

    kw::testing::ProgramResult wallctl(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv { WALLCTL_PATH };
        argv.insert(argv.end(), args.begin(), args.end());
        return runAsRoot(argv);
    }

    // A command of the root, e.g. "/sbin/ipfw".
    std::string command(const std::string& program, const std::vector<std::string>& args)
    {
        std::vector<std::string> argv { m_root / program };
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = runAsRoot(argv);
        return r.out + r.err;
    }

    std::string listing() { return command("/sbin/ipfw", { "list" }); }
    bool natdRuns()
    {
        return command("/bin/ps", { "-awwwx", "-o", "pid,command" }).find("/usr/sbin/natd") != std::string::npos;
    }

    // Runs the boot script as the start-up sequence would, each program under the root.
    void runBootScript()
    {
        std::istringstream script(m_root.readFile("/Library/StartupItems/Firewall/Firewall"));
        std::string line;
        while (std::getline(script, line)) {
            if (line.empty() || line[0] == '#') {
                continue;
            }
            std::istringstream words(line);
            std::vector<std::string> argv;
            for (std::string w; words >> w;) {
                argv.push_back(argv.empty() ? m_root / w : w);
            }
            runAsRoot(argv);
        }
    }

    kw::testing::TempRoot m_root;
};

} // namespace

TEST_F(Sandbox, SharingStartsAndStops)
{
    const auto started = wallctl({ "sharing-start" });
    // The commands it runs print on the same output, as they would on the real system.
    ASSERT_GE(started.out.size(), 8u);
    EXPECT_EQ(started.out.substr(started.out.size() - 9), "\nRUNNING\n") << started.err;
    EXPECT_NE(command("/usr/sbin/sysctl", { "net.inet.ip.forwarding" }).find("net.inet.ip.forwarding: 1"),
              std::string::npos);
    EXPECT_NE(command("/sbin/ifconfig", { "en1" }).find("10.0.1.1"), std::string::npos);
    EXPECT_TRUE(natdRuns());
    std::string rules = listing();
    EXPECT_NE(rules.find("01001 divert 8668 ip from any to any via en0"), std::string::npos) << rules;
    EXPECT_NE(rules.find("01500 allow ip from 10.0.1.0/24 to any via en1 keep-state"), std::string::npos) << rules;

    // Activation flushes the kernel's rules; the sharing rules come back while natd runs.
    wallctl({ "activate" });
    rules = listing();
    EXPECT_NE(rules.find("01001 divert"), std::string::npos) << rules;
    EXPECT_NE(rules.find("01500 allow"), std::string::npos) << rules;
    EXPECT_NE(rules.find("01006 allow icmp"), std::string::npos) << rules;

    const auto stopped = wallctl({ "sharing-stop" });
    EXPECT_EQ(stopped.out, "");
    EXPECT_EQ(stopped.err.substr(stopped.err.size() - std::min<size_t>(stopped.err.size(), 12)), "NOT RUNNING\n");
    rules = listing();
    EXPECT_EQ(rules.find("01001 "), std::string::npos) << rules;
    EXPECT_EQ(rules.find("01500 "), std::string::npos) << rules;
    for (int i = 0; i < 50 && natdRuns(); ++i) {
        ::usleep(20000);
    }
    EXPECT_FALSE(natdRuns());
    EXPECT_EQ(wallctl({ "sharing-status" }).out, "NOT RUNNING\n");
}

TEST_F(Sandbox, LoggingSwitchesTheKernelAndTheStoredChoice)
{
    wallctl({ "enable-log" });
    EXPECT_NE(command("/usr/sbin/sysctl", { "net.inet.ip.fw.verbose" }).find("net.inet.ip.fw.verbose: 2"),
              std::string::npos);
    EXPECT_NE(command("/usr/sbin/sysctl", { "net.inet.ip.fw.verbose_limit" }).find(": 65535"), std::string::npos);
    EXPECT_EQ(kw::integerValueOf(kw::KeepwallPrefs().valueForKey(keys::kEnableLogging)), 1);
    wallctl({ "disable-log" });
    EXPECT_NE(command("/usr/sbin/sysctl", { "net.inet.ip.fw.verbose" }).find("net.inet.ip.fw.verbose: 0"),
              std::string::npos);
    EXPECT_EQ(kw::integerValueOf(kw::KeepwallPrefs().valueForKey(keys::kEnableLogging)), 0);
}

TEST_F(Sandbox, BootScriptLoadsTheRulesAndStartsSharing)
{
    wallctl({ "install" });
    ASSERT_TRUE(std::filesystem::exists(m_root / "/Library/StartupItems/Firewall/wallctl"));
    EXPECT_EQ(listing().find("02000 "), std::string::npos); // installing does not activate
    runBootScript();
    const std::string rules = listing();
    EXPECT_NE(rules.find("01000 allow ip from any to any via lo*"), std::string::npos) << rules;
    EXPECT_NE(rules.find("01001 divert"), std::string::npos) << rules;
    EXPECT_TRUE(natdRuns());
    EXPECT_NE(command("/usr/sbin/sysctl", { "net.inet.ip.fw.verbose" }).find(": 2"), std::string::npos);
}

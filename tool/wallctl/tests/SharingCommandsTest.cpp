#include "SharingCommands.h"
#include "RunProgram.h"
#include "StandIns.h"
#include "base/DistributedNotificationCenter.h"
#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"
#include "nat/KWNatdManager.h"

#include <gtest/gtest.h>

using kw::KWNatdManager;
using kw::Value;
using kw::testing::anyCallStartsWith;
using kw::testing::recordedCalls;
namespace keys = kw::keys;
namespace fs = std::filesystem;

namespace {

Value gateway(const std::string& address, const std::string& interfaceName, int external, int allowLocal)
{
    Value g;
    g.set(keys::kNatGatewayIp, Value(address));
    g.set(keys::kNatInterface, Value(interfaceName));
    g.set(keys::kNatGatewayExternal, Value::integer(external));
    g.set(keys::kNatAllowLocal, Value::integer(allowLocal));
    return g;
}

Value sharingSetting(const std::string& sharedInterface, Value::Array gateways)
{
    Value nat;
    nat.set(keys::kNatdInterfaceName, Value(sharedInterface));
    nat.set(keys::kGateways, Value(std::move(gateways)));
    Value s;
    s.set(keys::kSettingName, Value("Sharing"));
    s.set(keys::kConfigMode, Value::integer(2));
    s.set(keys::kExpertConfigText, Value("add 2000 allow ip from any to any\n"));
    s.set(keys::kNatConfig, nat);
    return s;
}

void storeCurrent(const Value& setting)
{
    kw::KeepwallPrefs prefs;
    Value stored;
    stored.set("S", setting);
    prefs.takeValue(stored, keys::kStoredSettings);
    prefs.setCurrentSettingsKey("S");
    ASSERT_TRUE(prefs.commitChanges());
}

std::string contentOf(std::FILE* stream)
{
    std::fflush(stream);
    std::rewind(stream);
    std::string text;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(stream);
    return text;
}

// The sharing handlers run in-process; the manager's waits are observed, not slept.
class SharingHandlers : public ::testing::Test {
protected:
    void SetUp() override
    {
        kw::setReleaseFlags(824);
        kw::testing::installStandIns(m_root);
        KWNatdManager::sharedInstance().setSleeper([](std::chrono::milliseconds) {});
        storeCurrent(sharingSetting("en0", { gateway("192.168.2.1", "en1", 0, 1) }));
    }
    void TearDown() override { KWNatdManager::sharedInstance().setSleeper(nullptr); }

    struct Output {
        std::string out;
        std::string err;
    };

    Output run(void (*handler)(kw::tool::ToolContext&))
    {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        kw::KeepwallPrefs prefs;
        kw::tool::ToolContext context { { "wallctl" }, prefs, out, err, ::getuid() };
        handler(context);
        return { contentOf(out), contentOf(err) };
    }

    kw::testing::TempRoot m_root;
    std::vector<std::string> m_log;
    kw::LogCapture m_capture { [this](const std::string& line) { m_log.push_back(line); } };
};

class SharingWallctl : public ::testing::Test {
protected:
    void SetUp() override { kw::testing::installStandIns(m_root); }

    kw::testing::ProgramResult wallctl(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv { WALLCTL_PATH };
        argv.insert(argv.end(), args.begin(), args.end());
        return kw::testing::runAsRoot(argv);
    }

    std::vector<std::string> errorsPosted()
    {
        std::vector<std::string> errors;
        while (auto n = m_observer.receive(std::chrono::milliseconds(50))) {
            if (n->name == "KWDistributedErrorNotification") {
                errors.push_back(n->object);
            }
        }
        return errors;
    }

    kw::testing::TempRoot m_root;
    kw::DistributedObserver m_observer;
};

} // namespace

TEST_F(SharingHandlers, StatusAnswersOnStandardOutput)
{
    struct Row {
        std::string listing;
        std::string expected;
    };
    const Row rows[] = {
        { "  312 /usr/sbin/natd -f /etc/natd.conf\n  313 grep /usr/sbin/natd\n", "RUNNING\n" },
        { "  313 grep /usr/sbin/natd\n", "NOT RUNNING\n" },
        { "", "NOT RUNNING\n" },
    };
    for (const auto& row : rows) {
        m_root.writeFile("/ps.out", row.listing);
        const auto output = run(kw::tool::showIPSharingStatus);
        EXPECT_EQ(output.out, row.expected) << row.listing;
        EXPECT_EQ(output.err, "");
    }
}

TEST_F(SharingHandlers, StartAnswersRunningWhenNatdCameUp)
{
    const auto output = run(kw::tool::startIPSharing);
    EXPECT_EQ(output.out, "RUNNING\n");
    EXPECT_EQ(output.err, "");
    EXPECT_TRUE(anyCallStartsWith(m_root, "/sbin/ipfw add 1001 divert natd all from any to any via en0"));
}

TEST_F(SharingHandlers, StartAnswersNotRunningAndAddsNoDivertRuleWhenNatdDies)
{
    m_root.writeScript("/usr/sbin/natd", std::string(kw::testing::kRecorder) + kw::testing::kNatdThatDies);
    const auto output = run(kw::tool::startIPSharing);
    EXPECT_EQ(output.out, "NOT RUNNING\n");
    EXPECT_FALSE(anyCallStartsWith(m_root, "/sbin/ipfw"));
    EXPECT_EQ(kw::testing::errorsIn(m_log),
              std::vector<std::string> { "Error starting natd server: natd is not running\nCode:0" });
}

TEST_F(SharingHandlers, StopAnswersOnStandardErrorOnly)
{
    const pid_t natd = kw::testing::startStandInNatd();
    ASSERT_GT(natd, 0);
    m_root.writeFile("/ps.out", kw::testing::listingLine(natd));
    const auto output = run(kw::tool::stopIPSharing);
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, "NOT RUNNING\n");
    EXPECT_EQ(kw::testing::signalThatEnded(natd), SIGQUIT);
}

TEST_F(SharingHandlers, AllowLansAddsTheAllowRulesAndPrintsNothing)
{
    const auto output = run(kw::tool::allowLocalLANs);
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(
        recordedCalls(m_root),
        std::vector<std::string> { "/sbin/ipfw add 1500 allow all from 192.168.2.0/24 to any keep-state via en1" });
}

TEST_F(SharingWallctl, StartAndStatusThroughTheTool)
{
    storeCurrent(
        sharingSetting("en0", { gateway("Default Gateway", "en0", 1, 0), gateway("192.168.2.1", "en1", 0, 1) }));
    const auto started = wallctl({ "sharing-start" });
    EXPECT_EQ(started.exitStatus, 0);
    EXPECT_EQ(started.out, "RUNNING\n");
    EXPECT_EQ(recordedCalls(m_root), (std::vector<std::string> {
                                         "/usr/sbin/sysctl -w net.inet.ip.forwarding=1",
                                         "/sbin/ifconfig en1 inet 192.168.2.1 netmask 255.255.255.0 alias up",
                                         "/sbin/route add -host 192.168.2.1 -interface 127.0.0.1",
                                         "/usr/sbin/natd -f /etc/natd.conf",
                                         "/sbin/ipfw add 1001 divert natd all from any to any via en0",
                                         "/sbin/ipfw add 1500 allow all from 192.168.2.0/24 to any keep-state via en1",
                                     }));
    EXPECT_EQ(wallctl({ "sharing-status" }).out, "RUNNING\n");
    EXPECT_TRUE(errorsPosted().empty());
}

TEST_F(SharingWallctl, NatdThatDiesAtOnceLeavesNoDivertRule)
{
    m_root.writeScript("/usr/sbin/natd", std::string(kw::testing::kRecorder) + kw::testing::kNatdThatDies);
    storeCurrent(sharingSetting("en0", {}));
    const auto started = wallctl({ "sharing-start" });
    EXPECT_EQ(started.out, "NOT RUNNING\n");
    EXPECT_FALSE(anyCallStartsWith(m_root, "/sbin/ipfw"));
    EXPECT_EQ(errorsPosted(), std::vector<std::string> { "The Firewall Utility tool reported an error: Error starting "
                                                         "natd server: natd is not running\nCode:0" });
    EXPECT_EQ(wallctl({ "sharing-status" }).out, "NOT RUNNING\n");
}

TEST_F(SharingWallctl, StopThroughTheToolAnswersOnStandardError)
{
    const pid_t natd = kw::testing::startStandInNatd();
    ASSERT_GT(natd, 0);
    m_root.writeFile("/ps.out", kw::testing::listingLine(natd));
    const auto stopped = wallctl({ "sharing-stop" });
    EXPECT_EQ(stopped.out, "");
    EXPECT_NE(stopped.err.find("NOT RUNNING\n"), std::string::npos) << stopped.err;
    EXPECT_EQ(kw::testing::signalThatEnded(natd), SIGQUIT);
    EXPECT_EQ(recordedCalls(m_root),
              (std::vector<std::string> { "/sbin/ipfw -q delete 1001", "/sbin/ipfw -q delete 1500" }));
}

TEST_F(SharingWallctl, ActivatePutsTheSharingRulesBackOnlyWhileNatdRuns)
{
    storeCurrent(sharingSetting("en0", { gateway("192.168.2.1", "en1", 0, 1) }));
    struct Row {
        std::string listing;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        { "", { "/sbin/ipfw -f flush", "/sbin/ipfw -q /etc/firewall.conf" } },
        { "  4242 /usr/sbin/natd -f /etc/natd.conf\n",
          { "/sbin/ipfw -f flush", "/sbin/ipfw -q /etc/firewall.conf",
            "/sbin/ipfw add 1001 divert natd all from any to any via en0",
            "/sbin/ipfw add 1500 allow all from 192.168.2.0/24 to any keep-state via en1" } },
    };
    for (const auto& row : rows) {
        fs::remove(m_root / "/calls");
        m_root.writeFile("/ps.out", row.listing);
        wallctl({ "activate" });
        EXPECT_EQ(recordedCalls(m_root), row.expected) << row.listing;
    }
}

TEST_F(SharingWallctl, HostileSettingTextStartsNoCommand)
{
    m_root.writeScript("/sbin/ipfw", "for a in \"$@\"; do printf '[%s]' \"$a\" >> \"$KEEPWALL_ROOT/args\"; done\n"
                                     "echo >> \"$KEEPWALL_ROOT/args\"\n");
    storeCurrent(sharingSetting("$(touch injected)", { gateway("192.168.2.1", "en1; touch injected", 0, 1),
                                                       gateway("10.0.0.1 ; touch injected", "en2", 0, 1) }));
    const auto started = wallctl({ "sharing-start" });
    EXPECT_EQ(started.out, "RUNNING\n");
    EXPECT_FALSE(fs::exists(m_root / "/injected"));
    EXPECT_FALSE(fs::exists("injected"));
    EXPECT_EQ(m_root.readFile("/args"), "[add][1001][divert][natd][all][from][any][to][any][via][$(touch injected)]\n"
                                        "[add][1500][allow][all][from][192.168.2.0/24][to][any][keep-state][via]"
                                        "[en1; touch injected]\n");
    // The second gateway's address is refused twice: for its alias and for its allow rule.
    const auto errors = errorsPosted();
    ASSERT_EQ(errors.size(), 2u);
    for (const auto& error : errors) {
        EXPECT_NE(error.find("10.0.0.1 ; touch injected"), std::string::npos) << error;
    }
}

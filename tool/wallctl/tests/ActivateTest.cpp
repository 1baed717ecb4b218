#include "RunProgram.h"
#include "TempRoot.h"
#include "base/DistributedNotificationCenter.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

using kw::Value;
using kw::testing::runAsRoot;
namespace keys = kw::keys;
namespace fs = std::filesystem;

namespace {

// Records every call of the root's ipfw; the load ("-q FILE") ends as the test asks.
std::string recordingIpfw(const std::string& loadOutcome)
{
    return "echo \"$@\" >> \"$KEEPWALL_ROOT/ipfw.calls\"\n"
           "if [ \"$1\" = -q ]; then cp \"$KEEPWALL_ROOT$2\" \"$KEEPWALL_ROOT/loaded.conf\"; " +
           loadOutcome + "; fi\n";
}

Value quickSetting(const std::string& interfaceName)
{
    Value iface;
    iface.set(keys::kInterfaceName, Value(interfaceName));
    iface.set(keys::kEnableFirewall, Value::integer(1));
    iface.set(keys::kDefaultIncomingAllow, Value::integer(1));
    Value s;
    s.set(keys::kSettingName, Value("Quick"));
    s.set(keys::kConfigMode, Value("0"));
    s.set(keys::kInterfaceList, Value(Value::Array { iface }));
    return s;
}

Value expertSetting(const std::string& text)
{
    Value s;
    s.set(keys::kSettingName, Value("Expert"));
    s.set(keys::kConfigMode, Value("2"));
    s.set(keys::kExpertConfigText, Value(text));
    return s;
}

class Activate : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(m_root / "/etc"); }

    void storeCurrent(const Value& setting)
    {
        kw::KeepwallPrefs prefs;
        Value stored;
        stored.set("S", setting);
        prefs.takeValue(stored, keys::kStoredSettings);
        prefs.setCurrentSettingsKey("S");
        ASSERT_TRUE(prefs.commitChanges());
    }

    kw::testing::ProgramResult wallctl(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv { WALLCTL_PATH };
        argv.insert(argv.end(), args.begin(), args.end());
        return runAsRoot(argv);
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

std::string errorText(const std::string& message, int code)
{
    return "The Firewall Utility tool reported an error: " + message + "\nCode:" + std::to_string(code);
}

} // namespace

TEST_F(Activate, WritesTheRuleFileThenFlushesAndLoads)
{
    m_root.writeScript("/sbin/ipfw", recordingIpfw("exit 0"));
    storeCurrent(quickSetting("en0"));
    const auto r = wallctl({ "activate" });
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(m_root.readFile("/ipfw.calls"), "-f flush\n-q /etc/firewall.conf\n");
    const std::string written = m_root.readFile("/etc/firewall.conf");
    EXPECT_NE(written.find("add 1000 allow ip from any to any via lo*\n"), std::string::npos);
    EXPECT_NE(written.find(" via en0"), std::string::npos);
    EXPECT_EQ(m_root.readFile("/loaded.conf"), written);
    EXPECT_EQ(wallctl({ "generate", "0" }).out, written + "\n");
    EXPECT_TRUE(errorsPosted().empty());
}

TEST_F(Activate, ReportsEachOutcomeOfTheLoad)
{
    struct Row {
        std::string loadOutcome;
        std::string expected; // empty: nothing reported
    };
    const Row rows[] = {
        { "exit 0", "" },
        { "exit 3", errorText(std::string("Error activating firewall filters: ") + std::strerror(3), 3) },
        // A signal is reported with the error text of its number, as an exit status is.
        { "kill -9 $$", errorText(std::string("Error activating firewall filters: ") + std::strerror(9), 9) },
    };
    storeCurrent(expertSetting("add 2000 allow ip from any to any\n"));
    for (const auto& row : rows) {
        m_root.writeScript("/sbin/ipfw", recordingIpfw(row.loadOutcome));
        wallctl({ "activate" });
        const auto errors = errorsPosted();
        if (row.expected.empty()) {
            EXPECT_TRUE(errors.empty());
        } else {
            ASSERT_EQ(errors.size(), 1u) << row.loadOutcome;
            EXPECT_EQ(errors[0], row.expected);
        }
    }
}

TEST_F(Activate, MissingIpfwCountsAsTheShellsStatus127)
{
    storeCurrent(expertSetting(""));
    wallctl({ "activate" });
    const auto errors = errorsPosted();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], errorText(std::string("Error activating firewall filters: ") + std::strerror(127), 127));
}

TEST_F(Activate, ExpertSettingWithEmptyTextLoadsAnEmptyFile)
{
    m_root.writeScript("/sbin/ipfw", recordingIpfw("exit 0"));
    storeCurrent(expertSetting(""));
    wallctl({ "activate" });
    EXPECT_TRUE(fs::exists(m_root / "/etc/firewall.conf"));
    EXPECT_EQ(m_root.readFile("/etc/firewall.conf"), "");
    EXPECT_EQ(m_root.readFile("/ipfw.calls"), "-f flush\n-q /etc/firewall.conf\n");
}

TEST_F(Activate, UnwritableRuleFileChangesNothing)
{
    m_root.writeScript("/sbin/ipfw", recordingIpfw("exit 0"));
    storeCurrent(quickSetting("en0"));
    fs::create_directories(m_root / "/etc/firewall.conf"); // a folder in the way: the rename fails
    wallctl({ "activate" });
    EXPECT_FALSE(fs::exists(m_root / "/ipfw.calls"));
    const auto errors = errorsPosted();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], errorText("Unable to write to file /etc/firewall.conf", 0));
}

TEST_F(Activate, NeverWritesThroughASymbolicLink)
{
    m_root.writeScript("/sbin/ipfw", recordingIpfw("exit 0"));
    m_root.writeFile("/etc/passwd-like", "precious\n");
    fs::create_symlink(m_root / "/etc/passwd-like", m_root / "/etc/firewall.conf");
    storeCurrent(expertSetting("add 2000 deny ip from any to any\n"));
    wallctl({ "activate" });
    EXPECT_EQ(m_root.readFile("/etc/passwd-like"), "precious\n");
    EXPECT_FALSE(fs::is_symlink(m_root / "/etc/firewall.conf"));
    EXPECT_EQ(m_root.readFile("/etc/firewall.conf"), "add 2000 deny ip from any to any\n");
}

TEST_F(Activate, RefusesTextThatWouldAddLinesToTheRuleFile)
{
    m_root.writeScript("/sbin/ipfw", recordingIpfw("exit 0"));
    m_root.writeFile("/etc/firewall.conf", "old rules\n");
    storeCurrent(quickSetting("en0\nadd 100 allow ip from any to any"));
    wallctl({ "activate" });
    EXPECT_EQ(m_root.readFile("/etc/firewall.conf"), "old rules\n");
    EXPECT_FALSE(fs::exists(m_root / "/ipfw.calls"));
    const auto errors = errorsPosted();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(
        errors[0].rfind("The Firewall Utility tool reported an error: Unable to write to file /etc/firewall.conf: ", 0),
        0u)
        << errors[0];
}

TEST_F(Activate, WrongKindsOfValuesEndTheCommandThroughTheExceptionHandler)
{
    m_root.writeScript("/sbin/ipfw", recordingIpfw("exit 0"));
    Value setting = quickSetting("en0");
    setting.get(keys::kInterfaceList)->array()->at(0).set(keys::kInterfaceName, Value(Value::Array { Value("x") }));
    storeCurrent(setting);
    for (const std::string word : { "activate", "generate" }) {
        const auto r = wallctl({ word, "0" });
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_NE(r.err.find("Exception raised:"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(fs::exists(m_root / "/etc/firewall.conf"));
    EXPECT_FALSE(fs::exists(m_root / "/ipfw.calls"));
}

TEST_F(Activate, ConsoleReceivesTheToolsMessagesWhenTheRootHasOne)
{
    m_root.writeFile("/dev/console", "");
    m_root.writeScript("/sbin/ipfw", "echo \"ipfw says $*\" >&2\n");
    storeCurrent(expertSetting(""));
    const auto r = wallctl({ "activate" });
    const std::string console = m_root.readFile("/dev/console");
    EXPECT_NE(console.find("ipfw says -f flush"), std::string::npos) << console;
    EXPECT_EQ(r.err.find("ipfw says"), std::string::npos);
}

TEST_F(Activate, GenerateOutOfRangePrintsAnEmptyLine)
{
    storeCurrent(quickSetting("en0"));
    EXPECT_EQ(wallctl({ "generate", "99" }).out, "\n");
}

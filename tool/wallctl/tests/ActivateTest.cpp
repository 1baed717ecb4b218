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
        EXPECT_EQ(r.exitStatus, 2) << word; // the command failed
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

TEST_F(Activate, TextThatNoGeneratedFileHoldsDoesNotBlockActivation)
{
    m_root.writeScript("/sbin/ipfw", recordingIpfw("exit 0"));
    Value setting = quickSetting("en0");
    Value disabled;
    disabled.set(keys::kInterfaceName, Value("en1\nadd 1 allow ip from any to any"));
    disabled.set(keys::kInterfaceLabel, Value("Label\nwith a break"));
    disabled.set(keys::kEnableFirewall, Value::integer(0));
    setting.get(keys::kInterfaceList)->array()->push_back(disabled);
    storeCurrent(setting);
    wallctl({ "activate" });
    EXPECT_EQ(m_root.readFile("/etc/firewall.conf"), m_root.readFile("/loaded.conf"));
    EXPECT_NE(m_root.readFile("/etc/firewall.conf").find("via en0"), std::string::npos);
    EXPECT_TRUE(errorsPosted().empty());

    Value expert = expertSetting("add 100 allow ip from any to any\n");
    Value nat;
    nat.set(keys::kGateways, Value(Value::Array { Value(Value::Dictionary {
                                 { keys::kNatGatewayIp, Value("10.0.0.1\nredirect_port tcp 1.2.3.4:22 22") },
                                 { keys::kNatGatewayExternal, Value::integer(1) } }) }));
    expert.set(keys::kNatConfig, nat);
    storeCurrent(expert);
    wallctl({ "activate" });
    EXPECT_EQ(m_root.readFile("/loaded.conf"), "add 100 allow ip from any to any\n");
    EXPECT_TRUE(errorsPosted().empty());
}

TEST_F(Activate, GenerateRefusesWhatActivateRefusesWithTheSameMessage)
{
    m_root.writeScript("/sbin/ipfw", recordingIpfw("exit 0"));
    storeCurrent(quickSetting("en0\nadd 100 allow ip from any to any"));
    const auto activated = wallctl({ "activate" });
    const auto activateErrors = errorsPosted();
    const auto generated = wallctl({ "generate", "0" });
    const auto generateErrors = errorsPosted();
    EXPECT_EQ(generated.out, "\n");
    EXPECT_EQ(generated.out.find("add 100"), std::string::npos);
    ASSERT_EQ(activateErrors.size(), 1u);
    EXPECT_EQ(generateErrors, activateErrors);
    const auto refusal = activated.err.find("Refusing the setting");
    ASSERT_NE(refusal, std::string::npos) << activated.err;
    const std::string line = activated.err.substr(refusal, activated.err.find('\n', refusal) - refusal);
    EXPECT_NE(generated.err.find(line), std::string::npos) << generated.err;
}

TEST_F(Activate, RuleNumbersPastTheLastOneAreRefusedBeforeAnythingIsWritten)
{
    m_root.writeScript("/sbin/ipfw", recordingIpfw("exit 0"));
    m_root.writeFile("/etc/firewall.conf", "old rules\n");
    struct Row {
        int interfaces;
        int filtersOnLast;
        bool refused;
    };
    // Block n starts at 2000 + 1000 n; its two default rules follow its last rule plus 50000.
    for (const Row row : { Row { 14, 0, false }, Row { 15, 0, true }, Row { 14, 533, false }, Row { 14, 534, true } }) {
        Value s = quickSetting("en0");
        auto& list = *s.get(keys::kInterfaceList)->array();
        while (static_cast<int>(list.size()) < row.interfaces) {
            list.push_back(list.front());
        }
        Value filters(Value::Array {});
        for (int i = 0; i < row.filtersOnLast; ++i) {
            filters.array()->push_back(Value(Value::Dictionary { { "ServiceFilterProtocol", Value("tcp") } }));
        }
        list.back().set(keys::kFilterList, filters);
        storeCurrent(s);
        fs::remove(m_root / "/ipfw.calls");
        const auto r = wallctl({ "activate" });
        const auto errors = errorsPosted();
        if (row.refused) {
            EXPECT_EQ(m_root.readFile("/etc/firewall.conf"), "old rules\n") << row.interfaces;
            EXPECT_FALSE(fs::exists(m_root / "/ipfw.calls")) << row.interfaces;
            ASSERT_EQ(errors.size(), 1u) << row.interfaces;
            EXPECT_NE(errors[0].find("65534"), std::string::npos) << errors[0];
        } else {
            EXPECT_TRUE(errors.empty()) << row.interfaces << (errors.empty() ? "" : errors[0]);
            EXPECT_NE(m_root.readFile("/etc/firewall.conf"), "old rules\n");
            m_root.writeFile("/etc/firewall.conf", "old rules\n");
        }
    }
}

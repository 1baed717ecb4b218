#include "Commands.h"
#include "ExitStatus.h"
#include "RunProgram.h"
#include "TempRoot.h"
#include "base/DistributedNotificationCenter.h"
#include "base/Log.h"

#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"
#include <csignal>

#include <gtest/gtest.h>

using kw::Value;
using kw::testing::runAsRoot;
namespace keys = kw::keys;

namespace {

const std::string kUsageTail = "[activate| select <idx> | clear | list | show <idx> | generate <idx> | showlog | "
                               "install | uninstall | enable-log | disable-log | sharing-status | sharing-start | "
                               "sharing-stop | allow-lans | try <seconds> | confirm | revert | diff ]\n";
const std::string kHeader = "Name\tType\tStatus  \tKey\n----\t----\t------  \t---\n";

Value setting(const std::string& name, Value mode)
{
    Value s;
    s.set(keys::kSettingName, Value(name));
    s.set(keys::kConfigMode, std::move(mode));
    return s;
}

class Wallctl : public ::testing::Test {
protected:
    kw::testing::ProgramResult wallctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), WALLCTL_PATH);
        return runAsRoot(args);
    }

    // Three settings: "A" quick (current), "B" expert, "C" with an unknown mode.
    void storeThree()
    {
        Value stored;
        stored.set("A", setting("Home", Value("0")));
        stored.set("B", setting("Office", Value::integer(2)));
        stored.set("C", setting("Odd", Value::integer(1)));
        kw::KeepwallPrefs prefs;
        prefs.takeValue(stored, keys::kStoredSettings);
        prefs.setCurrentSettingsKey("A");
        ASSERT_TRUE(prefs.commitChanges());
    }

    std::string serve(const Value& reply)
    {
        const std::string path = m_root / "/reply.plist";
        m_root.writeFile("/reply.plist", kw::valueToXml(reply));
        return path;
    }

    kw::testing::TempRoot m_root;
};

} // namespace

TEST_F(Wallctl, UsageErrorsLogTheUsageLineAndExitWithTheUsageStatus)
{
    const std::vector<std::vector<std::string>> cases = {
        {}, { "show" }, { "show", "1", "2" }, { "generate" }, { "select" }, { "List" }, { "bogus" },
    };
    for (const auto& args : cases) {
        const auto r = wallctl(args);
        EXPECT_EQ(r.exitStatus, kw::tool::kExitUsage);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("Usage: wallctl " + kUsageTail), std::string::npos) << r.err;
    }
}

TEST_F(Wallctl, ListPrintsHeaderOnlyForAnEmptyStore)
{
    const auto r = wallctl({ "list" });
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, kHeader);
}

TEST_F(Wallctl, ListShowsTypeAndStatus)
{
    storeThree();
    const auto r = wallctl({ "list", "ignored" });
    EXPECT_EQ(r.out, kHeader + "Home\tQuick \tActive  \tA\n"
                               "Office\tExpert\tInactive\tB\n"
                               "Odd\t????  \tInactive\tC\n");
}

TEST_F(Wallctl, ShowAndSelectTakeTheLeadingInteger)
{
    storeThree();
    struct Row {
        std::string arg;
        std::string expectedName; // empty: out of range
    };
    const Row rows[] = {
        { "x", "Home" },
        { "1", "Office" },
        { " 2abc", "Odd" },
        { "3", "" },
        { "-1", "" },
        { "99999999999999999999999", "" },
        { "-99999999999999999999999", "" },
    };
    for (const auto& row : rows) {
        const auto r = wallctl({ "show", row.arg });
        EXPECT_EQ(r.exitStatus, row.expectedName.empty() ? kw::tool::kExitCommandFailed : 0) << row.arg;
        if (row.expectedName.empty()) {
            EXPECT_EQ(r.out, "\n") << row.arg;
        } else {
            EXPECT_NE(r.out.find("SETTING_NAME = " + row.expectedName + ";"), std::string::npos) << row.arg << r.out;
            EXPECT_EQ(r.out.back(), '\n');
        }
    }
}

TEST_F(Wallctl, SelectChangesTheCurrentSetting)
{
    storeThree();
    EXPECT_EQ(wallctl({ "select", "1" }).exitStatus, 0);
    EXPECT_EQ(kw::KeepwallPrefs().currentSettingsKey(), "B");

    const auto r = wallctl({ "select", "-1" });
    EXPECT_NE(r.err.find("Requested setting -1 is out of range (0 - 2)"), std::string::npos) << r.err;
    EXPECT_EQ(kw::KeepwallPrefs().currentSettingsKey(), "B");
}

TEST_F(Wallctl, SelectOnAnEmptyStoreReportsMinusOne)
{
    const auto r = wallctl({ "select", "-1" });
    EXPECT_NE(r.err.find("Requested setting -1 is out of range (0 - -1)"), std::string::npos) << r.err;
}

TEST_F(Wallctl, StoreWithoutAServerListsTheUnchangedStoreAndNotifies)
{
    storeThree();
    kw::DistributedObserver observer;
    const auto r = wallctl({ "store" });
    EXPECT_EQ(r.exitStatus, kw::tool::kExitCommandFailed);
    EXPECT_NE(r.err.find("No configuration data received"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.substr(0, kHeader.size()), kHeader);
    EXPECT_NE(r.out.find("Home\tQuick \tActive  \tA\n"), std::string::npos);
    const auto n = observer.receive(std::chrono::seconds(2));
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(n->name, "KWSettingsChangedNotification");
    EXPECT_EQ(n->object, "com.wallworks.keepwall");
}

TEST_F(Wallctl, StoreThroughTheMessagePortWritesOnlyTheReceivedKeys)
{
    storeThree();
    Value reply;
    reply.set(keys::kCurrentSetting, Value("C"));
    const auto r = runAsRoot({ SERVE_CONFIG_PATH, "--store", serve(reply), "--", WALLCTL_PATH, "store" });
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("Odd\t????  \tActive  \tC\n"), std::string::npos) << r.out;
    kw::KeepwallPrefs prefs;
    EXPECT_EQ(prefs.currentSettingsKey(), "C");
    EXPECT_EQ(prefs.storedSettings().size(), 3u);
}

TEST_F(Wallctl, StoreReplacesStoredSettingsAsAWhole)
{
    storeThree();
    Value stored;
    stored.set("N", setting("New", Value("2")));
    Value reply;
    reply.set(keys::kStoredSettings, stored);
    reply.set(keys::kCurrentSetting, Value("N"));
    const auto r = runAsRoot({ SERVE_CONFIG_PATH, "--store", serve(reply), "--", WALLCTL_PATH, "store" });
    EXPECT_EQ(r.out, kHeader + "New\tExpert\tActive  \tN\n");
}

TEST_F(Wallctl, StoreRefusesMalformedReplies)
{
    storeThree();
    Value wrongType;
    wrongType.set(keys::kStoredSettings, Value("not a dictionary"));
    Value badSetting;
    badSetting.set(keys::kStoredSettings, Value(Value::Dictionary { { "X", Value("y") } }));
    const Value notDictionary(Value::Array { Value::integer(1) });
    for (const Value& reply : { wrongType, badSetting, notDictionary }) {
        const auto r = runAsRoot({ SERVE_CONFIG_PATH, "--store", serve(reply), "--", WALLCTL_PATH, "store" });
        EXPECT_NE(r.err.find("Ignoring the settings received"), std::string::npos) << r.err;
        kw::KeepwallPrefs prefs;
        EXPECT_EQ(prefs.storedSettings().size(), 3u);
        EXPECT_EQ(prefs.currentSettingsKey(), "A");
    }
}

TEST_F(Wallctl, StoreTreatsAnUnparsableReplyAsNoData)
{
    storeThree();
    m_root.writeFile("/garbage", "<<<not xml");
    const auto r = runAsRoot({ SERVE_CONFIG_PATH, "--store", m_root / "/garbage", "--", WALLCTL_PATH, "store" });
    EXPECT_NE(r.err.find("No configuration data received"), std::string::npos) << r.err;
    EXPECT_EQ(kw::KeepwallPrefs().currentSettingsKey(), "A");
}

TEST_F(Wallctl, ClearFlushesThroughTheRootsIpfw)
{
    m_root.writeScript("/sbin/ipfw", "echo \"$@\" >> \"$KEEPWALL_ROOT/ipfw.calls\"\n");
    EXPECT_EQ(wallctl({ "clear" }).exitStatus, 0);
    EXPECT_EQ(m_root.readFile("/ipfw.calls"), "-f flush\n");
}

TEST_F(Wallctl, ClearWithoutIpfwFailsWithoutAnErrorNotification)
{
    kw::DistributedObserver observer;
    const auto r = wallctl({ "clear" });
    EXPECT_EQ(r.exitStatus, kw::tool::kExitCommandFailed);
    EXPECT_FALSE(observer.receive(std::chrono::milliseconds(100)).has_value());
}

TEST_F(Wallctl, EveryWordNeedsRoot)
{
    for (const std::string word : { "list", "store", "activate", "show" }) {
        const auto r = kw::testing::runAsUser({ WALLCTL_PATH, word, "0" });
        EXPECT_EQ(r.exitStatus, 1) << word;
        EXPECT_NE(r.err.find("You must have root privileges to run wallctl. EUID=="), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(WriteConfigurationKeys, KeepsKeysTheDictionaryDoesNotHold)
{
    kw::testing::TempRoot root;
    {
        kw::KeepwallPrefs prefs;
        prefs.takeValue(Value::integer(1), keys::kEnableLogging);
        prefs.takeValue(Value("D"), keys::kDefaultConfiguration);
        prefs.commitChanges();
    }
    kw::KeepwallPrefs prefs;
    Value dict;
    dict.set(keys::kDefaultConfiguration, Value("E"));
    kw::tool::writeConfigurationKeys(prefs, dict);
    kw::KeepwallPrefs reread;
    EXPECT_EQ(kw::stringValueOf(reread.valueForKey(keys::kDefaultConfiguration)), "E");
    EXPECT_EQ(kw::integerValueOf(reread.valueForKey(keys::kEnableLogging)), 1);
}

TEST(WaitForChildren, LogsTheOutcomeOfOneChild)
{
    struct Row {
        int exitCode; // -1: killed by signal 9
        std::string expected;
    };
    const Row rows[] = {
        { 0, "wallctl: Command executed successfully" },
        { 3, "wallctl: Command exited with status 3" },
        { -1, "wallctl: Command terminated from signal 9" },
    };
    for (const auto& row : rows) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (row.exitCode < 0) {
                ::raise(SIGKILL);
            }
            ::_exit(row.exitCode);
        }
        std::vector<std::string> logged;
        kw::LogCapture capture([&](const std::string& l) { logged.push_back(l); });
        EXPECT_EQ(kw::tool::waitForChildren(), child);
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0], row.expected);
    }
    std::vector<std::string> logged;
    kw::LogCapture capture([&](const std::string& l) { logged.push_back(l); });
    EXPECT_EQ(kw::tool::waitForChildren(), -1);
    EXPECT_TRUE(logged.empty());
}

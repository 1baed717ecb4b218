// The settings store through whole wallctl runs: concurrent commands lose no change, refused
// replies write nothing, and what the tool prints cannot drive the terminal.
#include "RunProgram.h"
#include "StandIns.h"
#include "TempRoot.h"
#include "base/DistributedNotificationCenter.h"

#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using kw::Value;
using kw::testing::runAsRoot;
namespace keys = kw::keys;
namespace fs = std::filesystem;

namespace {

Value namedSetting(const std::string& name)
{
    Value s;
    s.set(keys::kSettingName, Value(name));
    s.set(keys::kConfigMode, Value("0"));
    return s;
}

// STORED_SETTINGS with the settings S0 .. S(count-1).
Value storedSettings(int count)
{
    Value stored(Value::Dictionary {});
    for (int i = 0; i < count; ++i) {
        stored.set("S" + std::to_string(i), namedSetting("Setting " + std::to_string(i)));
    }
    return stored;
}

class StoreIntegrity : public ::testing::Test {
protected:
    void SetUp() override { kw::testing::installStandIns(m_root); }

    kw::testing::ProgramResult wallctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), WALLCTL_PATH);
        return runAsRoot(args);
    }

    // "wallctl store" answered with the reply, held back by the delay.
    kw::testing::ProgramResult store(const Value& reply, int delayMilliseconds = 0, const std::string& name = "reply")
    {
        return storeXml(kw::valueToXml(reply), delayMilliseconds, name);
    }

    kw::testing::ProgramResult storeXml(const std::string& reply, int delayMilliseconds = 0,
                                        const std::string& name = "reply")
    {
        m_root.writeFile("/" + name + ".plist", reply);
        return runAsRoot({ SERVE_CONFIG_PATH, "--store", m_root / ("/" + name + ".plist"), "--delay",
                           std::to_string(delayMilliseconds), "--", WALLCTL_PATH, "store" });
    }

    void commit(const Value& stored, const std::string& current)
    {
        kw::KeepwallPrefs prefs;
        prefs.takeValue(stored, keys::kStoredSettings);
        prefs.setCurrentSettingsKey(current);
        ASSERT_TRUE(prefs.commitChanges());
    }

    std::vector<kw::DistributedNotification> notifications()
    {
        std::vector<kw::DistributedNotification> all;
        while (auto n = m_observer.receive(std::chrono::milliseconds(200))) {
            all.push_back(*n);
        }
        return all;
    }

    kw::testing::TempRoot m_root;
    kw::DistributedObserver m_observer;
};

} // namespace

TEST_F(StoreIntegrity, AStoreWaitingForItsReplyKeepsChangesCommittedMeanwhile)
{
    commit(storedSettings(2), "S0");
    Value reply;
    reply.set(keys::kStoredSettings, storedSettings(3));
    // The store reads the document at once and gets its reply a while later; the select and
    // the logging switch commit in between.
    std::thread storing([&] { EXPECT_EQ(store(reply, 1500).exitStatus, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(wallctl({ "select", "1" }).exitStatus, 0);
    EXPECT_EQ(wallctl({ "disable-log" }).exitStatus, 0);
    storing.join();
    kw::KeepwallPrefs prefs;
    EXPECT_EQ(prefs.storedSettings().size(), 3u);
    EXPECT_EQ(prefs.currentSettingsKey(), "S1");
    ASSERT_NE(prefs.valueForKey(keys::kEnableLogging), nullptr);
    EXPECT_EQ(prefs.valueForKey(keys::kEnableLogging)->boolean(), false);
}

TEST_F(StoreIntegrity, ManyConcurrentCommandsLoseNoStoredSetting)
{
    commit(storedSettings(1), "S0");
    std::atomic<bool> done { false };
    std::vector<std::thread> workers;
    const std::vector<std::vector<std::string>> words = { { "select", "0" }, { "enable-log" }, { "disable-log" } };
    for (const auto& word : words) {
        workers.emplace_back([&, word] {
            while (!done) {
                wallctl(word);
            }
        });
    }
    constexpr int kStores = 8;
    for (int n = 2; n <= kStores + 1; ++n) {
        Value reply;
        reply.set(keys::kStoredSettings, storedSettings(n));
        store(reply, 50 * (n % 3), "reply" + std::to_string(n));
    }
    done = true;
    for (auto& w : workers) {
        w.join();
    }
    kw::KeepwallPrefs prefs;
    EXPECT_EQ(prefs.storedSettings().size(), static_cast<size_t>(kStores + 1));
    EXPECT_EQ(prefs.currentSettingsKey(), "S0");
}

TEST_F(StoreIntegrity, ARefusedReplyIsReportedAndWritesNothing)
{
    commit(storedSettings(2), "S0");
    struct Row {
        const char* what;
        Value reply;
        const char* named; // what the error message must name
    };
    Value wrongType;
    wrongType.set(keys::kStoredSettings, Value("not a dictionary"));
    wrongType.set(keys::kCurrentSetting, Value("S1"));
    Value badSetting;
    badSetting.set(keys::kStoredSettings, Value(Value::Dictionary { { "X", Value("y") } }));
    Value logging;
    logging.set(keys::kEnableLogging, Value(Value::Array {}));
    // XML cannot carry a bell, but a character reference can name one.
    const std::string control = "<plist><dict><key>STORED_SETTINGS</key><dict><key>X</key><dict>"
                                "<key>SETTING_NAME</key><string>bell&#7;</string></dict></dict></dict></plist>";
    const Row rows[] = {
        { "wrong type", wrongType, "STORED_SETTINGS" },
        { "setting not a dictionary", badSetting, "X" },
        { "logging switch as a list", logging, "ENABLE_LOGGING" },
        { "control character", Value(), "SETTING_NAME" },
        { "not a dictionary", Value(Value::Array { Value::integer(1) }), "not a dictionary" },
    };
    for (const auto& row : rows) {
        const std::string before =
            m_root.readFile("/Library/Preferences/SystemConfiguration/com.wallworks.keepwall.plist");
        notifications();
        if (row.reply.isNone()) {
            storeXml(control);
        } else {
            store(row.reply);
        }
        const auto posted = notifications();
        EXPECT_EQ(m_root.readFile("/Library/Preferences/SystemConfiguration/com.wallworks.keepwall.plist"), before)
            << row.what;
        bool error = false;
        for (const auto& n : posted) {
            EXPECT_NE(n.name, "KWSettingsChangedNotification") << row.what;
            if (n.name == "KWDistributedErrorNotification") {
                error = true;
                EXPECT_NE(n.object.find(row.named), std::string::npos) << row.what << ": " << n.object;
            }
        }
        EXPECT_TRUE(error) << row.what;
    }
}

TEST_F(StoreIntegrity, UnknownKeysBesideKnownOnesAreLoggedAndTheKnownOnesWritten)
{
    commit(storedSettings(2), "S0");
    Value reply;
    reply.set(keys::kCurrentSetting, Value("S1"));
    reply.set("SOMETHING_NEWER", Value("x"));
    const auto r = store(reply);
    EXPECT_NE(r.err.find("SOMETHING_NEWER"), std::string::npos) << r.err;
    kw::KeepwallPrefs prefs;
    EXPECT_EQ(prefs.currentSettingsKey(), "S1");
    EXPECT_EQ(prefs.valueForKey("SOMETHING_NEWER"), nullptr);
    bool changed = false;
    for (const auto& n : notifications()) {
        changed = changed || n.name == "KWSettingsChangedNotification";
    }
    EXPECT_TRUE(changed);
}

TEST_F(StoreIntegrity, ListAndShowEscapeControlCharacters)
{
    // Written by another tool: XML itself cannot carry these characters, references to them can.
    m_root.writeFile("/Library/Preferences/SystemConfiguration/com.wallworks.keepwall.plist",
                     "<plist><dict><key>STORED_SETTINGS</key><dict><key>key&#27;]0;title&#7;</key><dict>"
                     "<key>SETTING_NAME</key><string>name&#27;[2J\nrow&#x9b;1m</string></dict></dict></dict></plist>");
    for (const std::vector<std::string>& args : { std::vector<std::string> { "list" }, { "show", "0" } }) {
        const auto r = wallctl(args);
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << args[0] << r.out;
        EXPECT_EQ(r.out.find('\x07'), std::string::npos) << args[0] << r.out;
        EXPECT_EQ(r.out.find("\xc2\x9b"), std::string::npos) << args[0] << r.out;
        EXPECT_EQ(r.out.find("\nrow"), std::string::npos) << args[0] << r.out;
    }
    EXPECT_NE(wallctl({ "list" }).out.find("name\\033[2J\\nrow\\302\\2331m\t"), std::string::npos);
}

TEST_F(StoreIntegrity, ShowPrintsDatesAsDates)
{
    Value setting = namedSetting("Dated");
    setting.set("CREATED", Value(Value::Date { 105520089.0 }));
    Value stored;
    stored.set("A", setting);
    commit(stored, "A");
    EXPECT_NE(wallctl({ "show", "0" }).out.find("CREATED = \"2004-05-06 07:08:09 +0000\";"), std::string::npos);
}

TEST_F(StoreIntegrity, AReleaseOutsideTheKnownOnesIsRefused)
{
    commit(storedSettings(1), "S0");
    struct Release {
        const char* value;
        bool accepted;
    };
    for (const Release release : { Release { "10.1", true }, Release { "10.4", true }, Release { "10.5", false },
                                   Release { "10", false }, Release { "", false }, Release { "10.4 ", false } }) {
        ::setenv("KEEPWALL_RELEASE", release.value, 1);
        const auto r = wallctl({ "select", "0" });
        ::unsetenv("KEEPWALL_RELEASE");
        if (release.accepted) {
            EXPECT_EQ(r.exitStatus, 0) << release.value << r.err;
        } else {
            EXPECT_NE(r.exitStatus, 0) << release.value;
            EXPECT_NE(r.err.find("10.1, 10.2, 10.3 or 10.4"), std::string::npos) << release.value << r.err;
        }
    }
}

TEST_F(StoreIntegrity, ServedFilesMustBeRegularFiles)
{
    ASSERT_EQ(::mkfifo((m_root / "/fifo").c_str(), 0600), 0);
    for (const std::string& path : { m_root / "/fifo", std::string("/dev/zero"), m_root.path(), m_root / "/none" }) {
        const auto r = runAsRoot({ "timeout", "20", SERVE_CONFIG_PATH, "--store", path, "--", "true" });
        EXPECT_EQ(r.exitStatus, 66) << path;
        EXPECT_NE(r.err.find("cannot read " + path), std::string::npos) << r.err;
    }
}

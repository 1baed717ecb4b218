#include "config/KeepwallPrefs.h"
#include "TempRoot.h"
#include "base/DistributedNotificationCenter.h"
#include "base/Log.h"
#include "config/ErrorNotification.h"
#include "config/SettingsKeys.h"

#include <gtest/gtest.h>

using kw::Value;
namespace keys = kw::keys;

namespace {

Value natConfig(std::optional<Value> name, std::optional<Value> selector)
{
    Value nat(Value::Dictionary {});
    if (name) {
        nat.set(keys::kNatdInterfaceName, *name);
    }
    if (selector) {
        nat.set(keys::kNatdInterface, *selector);
    }
    Value setting;
    setting.set(keys::kNatConfig, nat);
    return setting;
}

} // namespace

TEST(KeepwallPrefs, FreshSystemReadsEmpty)
{
    kw::testing::TempRoot root;
    kw::KeepwallPrefs prefs;
    EXPECT_TRUE(prefs.storedSettings().empty());
    EXPECT_EQ(prefs.currentSetting(), nullptr);
    EXPECT_FALSE(prefs.currentSettingsKey().has_value());
    EXPECT_FALSE(prefs.enableNatdForCurrentSetting());
}

TEST(KeepwallPrefs, TakeValueNoneRemovesKey)
{
    kw::testing::TempRoot root;
    kw::KeepwallPrefs prefs;
    prefs.takeValue(Value("x"), keys::kCurrentSetting);
    ASSERT_NE(prefs.valueForKey(keys::kCurrentSetting), nullptr);
    prefs.takeValue(nullptr, keys::kCurrentSetting);
    EXPECT_EQ(prefs.valueForKey(keys::kCurrentSetting), nullptr);
}

TEST(KeepwallPrefs, UseDefaultsFlagIsClearedByAFoundValue)
{
    kw::testing::TempRoot root;
    kw::KeepwallPrefs prefs;
    prefs.setUseDefaultsIfNotFound(true);
    prefs.valueForKey("ABSENT");
    EXPECT_TRUE(prefs.useDefaultsIfNotFound());
    prefs.takeValue(Value::integer(1), keys::kEnableLogging);
    prefs.valueForKey(keys::kEnableLogging);
    EXPECT_FALSE(prefs.useDefaultsIfNotFound());
}

TEST(KeepwallPrefs, NatdInterfaceNameTable)
{
    struct Row {
        std::optional<Value> name;
        std::optional<Value> selector;
        std::optional<std::string> expected;
    };
    const Row rows[] = {
        { Value("en2"), Value::integer(0), "en2" },         { std::nullopt, std::nullopt, "en0" },
        { std::nullopt, Value::integer(1), "ppp0" },        { std::nullopt, Value("2"), "pppoe0" },
        { std::nullopt, Value::integer(3), "en1" },         { std::nullopt, Value::integer(7), std::nullopt },
        { std::nullopt, Value::integer(-1), std::nullopt },
    };
    for (const auto& r : rows) {
        const Value setting = natConfig(r.name, r.selector);
        EXPECT_EQ(kw::KeepwallPrefs::natdInterfaceNameFromSetting(&setting), r.expected);
    }
    // A setting without NAT_CONFIG reads every key as absent.
    const Value empty(Value::Dictionary {});
    EXPECT_EQ(kw::KeepwallPrefs::natdInterfaceNameFromSetting(&empty), "en0");
}

TEST(KeepwallPrefs, CurrentSettingAndNatdStartup)
{
    kw::testing::TempRoot root;
    Value on = natConfig(std::nullopt, std::nullopt);
    on.get(keys::kNatConfig)->set(keys::kNatdStartup, Value("1"));
    Value stored;
    stored.set("Home", on);
    stored.set("Work", Value(Value::Dictionary {}));
    {
        kw::KeepwallPrefs prefs;
        prefs.takeValue(stored, keys::kStoredSettings);
        prefs.setCurrentSettingsKey("Home");
        ASSERT_TRUE(prefs.commitChanges());
        ASSERT_TRUE(prefs.applyChanges());
    }
    kw::KeepwallPrefs prefs;
    EXPECT_EQ(prefs.storedSettings().size(), 2u);
    EXPECT_EQ(prefs.currentSettingsKey(), "Home");
    EXPECT_TRUE(prefs.enableNatdForCurrentSetting());
    EXPECT_FALSE(prefs.enableNatdForSettingKey("Work"));
    EXPECT_FALSE(prefs.enableNatdForSettingKey("Missing"));
    EXPECT_EQ(prefs.settingKeyAtIndex(0), "Home");
    EXPECT_EQ(prefs.settingKeyAtIndex(1), "Work");
    EXPECT_FALSE(prefs.settingKeyAtIndex(2).has_value());
    EXPECT_FALSE(prefs.settingKeyAtIndex(-1).has_value());
    EXPECT_FALSE(prefs.settingKeyAtIndex(INT64_MAX).has_value());
}

TEST(KeepwallPrefs, EnableLoggingStoresABoolean)
{
    kw::testing::TempRoot root;
    kw::KeepwallPrefs prefs;
    prefs.enableLogging(false);
    const Value* v = prefs.valueForKey(keys::kEnableLogging);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->boolean(), false);
}

TEST(KeepwallPrefs, ValueForPathWalksDictionaries)
{
    kw::testing::TempRoot root;
    root.writeFile("/Library/Preferences/SystemConfiguration/preferences.plist", kw::valueToXml([] {
                       Value doc;
                       Value sets;
                       Value set;
                       set.set("UserDefinedName", Value("Automatic"));
                       sets.set("0", set);
                       doc.set("Sets", sets);
                       doc.set("CurrentSet", Value("/Sets/0"));
                       return doc;
                   }()));
    kw::KWPreferences network(std::nullopt);
    const Value* name = network.valueForPath("/Sets/0/UserDefinedName");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->stringValue(), "Automatic");
    EXPECT_EQ(network.valueForPath("/Sets/1/UserDefinedName"), nullptr);
    EXPECT_EQ(network.valueForPath("/CurrentSet/x"), nullptr);
    EXPECT_EQ(network.valueForPath(""), nullptr);
}

TEST(ErrorNotification, PostsTheSentenceToObservers)
{
    kw::testing::TempRoot root;
    kw::DistributedObserver observer;
    ASSERT_TRUE(observer.isValid());
    std::vector<std::string> logged;
    kw::LogCapture capture([&](const std::string& l) { logged.push_back(l); });
    kw::sendKWErrorNotification(0, "Error clearing firewall filters");
    const std::string expected = "The Firewall Utility tool reported an error: Error clearing firewall filters\nCode:0";
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], expected);
    const auto n = observer.receive(std::chrono::seconds(2));
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(n->name, "KWDistributedErrorNotification");
    EXPECT_EQ(n->object, expected);
}

TEST(ErrorNotification, OtherRootsDoNotHearIt)
{
    kw::testing::TempRoot first;
    kw::DistributedObserver observer;
    {
        kw::testing::TempRoot second;
        kw::sendKWErrorNotification(1, "elsewhere");
    }
    EXPECT_FALSE(observer.receive(std::chrono::milliseconds(100)).has_value());
}

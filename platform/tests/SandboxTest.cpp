// kw-sandbox lays out a root with every stand-in, and making it again keeps its state.
#include "Sandbox.h"

#include "base/PlistValue.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using kw::testing::Sandbox;
namespace fs = std::filesystem;

namespace {

TEST(SandboxRoot, HoldsEveryCommandAndDocumentInItsPlace)
{
    Sandbox box;
    ASSERT_TRUE(box.made());
    for (const char* program : { "/usr/sbin/natd", "/usr/sbin/sysctl", "/sbin/ifconfig", "/sbin/route",
                                 "/usr/libexec/ipfwloggerd", "/usr/sbin/periodic", "/bin/ps" }) {
        const fs::path p = box / program;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(p))) << program << " is a copy, not a link";
        EXPECT_NE(fs::status(p).permissions() & fs::perms::owner_exec, fs::perms::none) << program;
    }
    EXPECT_EQ(fs::exists(box / "/sbin/ipfw"), fs::exists(Sandbox::binary("kw-ipfw")));
    if (fs::exists("/bin/rm") || fs::exists("/usr/bin/rm")) {
        EXPECT_TRUE(fs::is_symlink(box / "/bin/rm"));
    }

    const std::string services = box.read("/etc/services");
    EXPECT_NE(services.find("natd\t\t8668/divert"), std::string::npos);
    EXPECT_EQ(services.find("8668/divert"), services.rfind("8668/divert"));
    EXPECT_FALSE(box.read("/etc/protocols").empty());

    // The network preferences: a current set with two Ethernet services and a PPP one.
    const auto prefs = kw::valueFromXml(box.read("/Library/Preferences/SystemConfiguration/preferences.plist"));
    ASSERT_TRUE(prefs.has_value());
    const std::string currentSet = kw::stringValueOf(prefs->get("CurrentSet"));
    EXPECT_EQ(currentSet, "/Sets/0");
    const kw::Value* sets = prefs->get("Sets");
    ASSERT_NE(sets, nullptr);
    const kw::Value* set = sets->get("0");
    ASSERT_NE(set, nullptr);
    const kw::Value* serviceIds = set->get("Network")->get("Service");
    ASSERT_NE(serviceIds, nullptr);
    std::vector<std::string> devices;
    std::vector<std::string> types;
    for (const auto& [id, link] : *serviceIds->dictionary()) {
        const kw::Value* service = prefs->get("NetworkServices")->get(id);
        ASSERT_NE(service, nullptr) << id;
        EXPECT_FALSE(kw::stringValueOf(service->get("UserDefinedName")).empty());
        devices.push_back(kw::stringValueOf(service->get("Interface")->get("DeviceName")));
        types.push_back(kw::stringValueOf(service->get("Interface")->get("Type")));
    }
    EXPECT_EQ(types, (std::vector<std::string> { "Ethernet", "Ethernet", "PPP" }));
    EXPECT_EQ(devices[0], "en0");
    EXPECT_EQ(devices[1], "en1");
    EXPECT_EQ(kw::stringValueOf(prefs->get("NetworkServices")->get("1")->get("IPv4")->get("ConfigMethod")), "Manual");
    EXPECT_EQ(kw::stringValueOf(prefs->get("NetworkServices")->get("2")->get("IPv4")->get("ConfigMethod")), "DHCP");

    // The dynamic store names the current set and a primary service of that set.
    const auto store = kw::valueFromXml(box.read("/var/run/dynamic-store.plist"));
    ASSERT_TRUE(store.has_value());
    EXPECT_EQ(kw::stringValueOf(store->get("Setup:")->get("CurrentSet")), currentSet);
    const std::string primary = kw::stringValueOf(store->get("State:/Network/Global/IPv4")->get("PrimaryService"));
    EXPECT_NE(serviceIds->get(primary), nullptr);

    EXPECT_TRUE(fs::is_directory(box / "/Library/Preferences/SystemConfiguration"));
    EXPECT_FALSE(fs::exists(box / "/Library/Preferences/SystemConfiguration/com.wallworks.keepwall.plist"));
    for (const char* file : { "/var/log/system.log", "/var/log/ipfw.log", "/dev/console" }) {
        EXPECT_TRUE(fs::is_regular_file(box / file)) << file;
        EXPECT_EQ(fs::file_size(box / file), 0u) << file;
    }
    // Nothing in the root is writable by everyone.
    for (const auto& entry : fs::recursive_directory_iterator(box.path())) {
        if (!entry.is_symlink()) {
            EXPECT_EQ(entry.status().permissions() & fs::perms::others_write, fs::perms::none) << entry.path();
        }
    }
}

TEST(SandboxRoot, MakingItAgainKeepsItsState)
{
    Sandbox box;
    ASSERT_TRUE(box.made());
    ASSERT_EQ(box.run("/usr/sbin/sysctl", { "-w", "net.inet.ip.fw.verbose=2" }).exitStatus, 0);
    ASSERT_EQ(
        box.run("/sbin/ifconfig", { "en1", "inet", "10.0.2.1", "netmask", "255.255.255.0", "alias", "up" }).exitStatus,
        0);
    ASSERT_EQ(box.run("/sbin/route", { "add", "-host", "10.0.2.1", "-interface", "127.0.0.1" }).exitStatus, 0);
    box.write("/var/log/ipfw.log", "a logged line\n");
    box.write("/Library/Preferences/SystemConfiguration/preferences.plist",
              kw::valueToXml(kw::Value(kw::Value::Dictionary {})));
    box.write("/usr/sbin/natd", "stale executable");
    box.write("/var/run/dynamic-store.plist", kw::valueToXml(kw::Value(kw::Value::Dictionary {})));

    const auto again = kw::testing::runProgram({ Sandbox::binary("kw-sandbox"), box.path() });
    ASSERT_EQ(again.exitStatus, 0) << again.err;

    EXPECT_EQ(box.run("/usr/sbin/sysctl", { "-n", "net.inet.ip.fw.verbose" }).out, "2\n");
    EXPECT_NE(box.run("/sbin/ifconfig", { "en1" }).out.find("inet 10.0.2.1 "), std::string::npos);
    EXPECT_EQ(box.run("/sbin/route", { "-n", "get", "10.0.2.1" }).exitStatus, 0);
    EXPECT_EQ(box.run("/sbin/route", { "add", "-host", "10.0.2.1", "-interface", "127.0.0.1" }).exitStatus, 1);
    EXPECT_EQ(box.read("/var/log/ipfw.log"), "a logged line\n");
    EXPECT_EQ(box.read("/Library/Preferences/SystemConfiguration/preferences.plist"),
              kw::valueToXml(kw::Value(kw::Value::Dictionary {})));
    EXPECT_EQ(box.read("/var/run/dynamic-store.plist"), kw::valueToXml(kw::Value(kw::Value::Dictionary {})));
    // The commands themselves are brought up to date.
    EXPECT_NE(box.read("/usr/sbin/natd"), "stale executable");
    EXPECT_EQ(box.run("/usr/sbin/natd", { "-f", "/etc/none.conf" }).exitStatus, 1);
}

TEST(SandboxRoot, StandInsFindTheirRootOrRefuse)
{
    Sandbox box;
    ASSERT_TRUE(box.made());
    ASSERT_EQ(box.run("/usr/sbin/sysctl", { "-w", "net.inet.ip.forwarding=1" }).exitStatus, 0);

    // Without KEEPWALL_ROOT an installed copy works on the root it lies in.
    auto r =
        kw::testing::runProgram({ "env", "-u", "KEEPWALL_ROOT", box / "/usr/sbin/sysctl", "net.inet.ip.forwarding" });
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "net.inet.ip.forwarding: 1\n");

    // The build's own copy has no root to work on and never falls back to the machine's.
    r = kw::testing::runProgram(
        { "env", "-u", "KEEPWALL_ROOT", Sandbox::binary("kw-sysctl"), "net.inet.ip.forwarding" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("no system root"), std::string::npos) << r.err;

    r = kw::testing::runProgram(
        { "env", "KEEPWALL_ROOT=" + box.path() + "/missing", Sandbox::binary("kw-sysctl"), "net.inet.ip.forwarding" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("is not a folder"), std::string::npos) << r.err;

    r = kw::testing::runProgram({ Sandbox::binary("kw-sandbox") });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("usage"), std::string::npos);
}

} // namespace

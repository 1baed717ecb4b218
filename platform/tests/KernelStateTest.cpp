// sysctl, ifconfig and route keep the emulated kernel's state in the root and report it as
// the real commands do.
#include "Sandbox.h"

#include <gtest/gtest.h>

using kw::testing::Sandbox;

namespace {

class KernelState : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(box.made()); }
    Sandbox box;
};

TEST_F(KernelState, SysctlWritesAndReadsTheVariablesTheSystemUses)
{
    struct Row {
        const char* name;
        const char* defaultValue;
        const char* newValue;
    };
    const Row rows[] = {
        { "net.inet.ip.fw.verbose", "0", "2" },
        { "net.inet.ip.fw.verbose_limit", "0", "65535" },
        { "net.inet.ip.forwarding", "0", "1" },
        { "net.inet.ip.fw.enable", "1", "0" },
    };
    for (const auto& row : rows) {
        const std::string name = row.name;
        auto r = box.run("/usr/sbin/sysctl", { name });
        EXPECT_EQ(r.exitStatus, 0) << name << r.err;
        EXPECT_EQ(r.out, name + ": " + row.defaultValue + "\n");

        r = box.run("/usr/sbin/sysctl", { "-w", name + "=" + row.newValue });
        EXPECT_EQ(r.exitStatus, 0) << name << r.err;
        EXPECT_EQ(r.out, name + ": " + row.defaultValue + " -> " + row.newValue + "\n");
        EXPECT_EQ(r.err, "");

        // Readers need no root rights; the value follows the ":" as the tool gateway expects.
        r = box.runAsUser("/usr/sbin/sysctl", { name });
        EXPECT_EQ(r.exitStatus, 0) << name << r.err;
        EXPECT_EQ(r.out, name + ": " + row.newValue + "\n");
        r = box.run("/usr/sbin/sysctl", { "-n", name });
        EXPECT_EQ(r.out, std::string(row.newValue) + "\n");
    }
}

TEST_F(KernelState, SysctlRefusesWhatTheKernelWouldRefuse)
{
    struct Row {
        std::vector<std::string> args;
        const char* message;
    };
    const Row rows[] = {
        { { "net.inet.ip.fw.verbos" }, "unknown oid 'net.inet.ip.fw.verbos'" },
        { { "-w", "net.inet.ip.fw.nothing=1" }, "unknown oid 'net.inet.ip.fw.nothing'" },
        { { "-w", "net.inet.ip.fw.verbose" }, "expected name=value" },
        { { "-w", "net.inet.ip.fw.verbose=two" }, "invalid integer 'two'" },
        { { "-w", "net.inet.ip.fw.verbose=" }, "invalid integer ''" },
        { { "-w", "net.inet.ip.fw.verbose=3" }, "Invalid argument" },
        { { "-w", "net.inet.ip.forwarding=-1" }, "Invalid argument" },
        { { "-q" }, "illegal option" },
        { {}, "usage" },
    };
    for (const auto& row : rows) {
        const auto r = box.run("/usr/sbin/sysctl", row.args);
        EXPECT_NE(r.exitStatus, 0) << row.message;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << row.message;
    }
    const auto r = box.run("/usr/sbin/sysctl", { "net.inet.ip.fw.verbose" });
    EXPECT_EQ(r.out, "net.inet.ip.fw.verbose: 0\n") << "a refused write changes nothing";
}

TEST_F(KernelState, SysctlWriteNeedsRootRights)
{
    const auto r = box.runAsUser("/usr/sbin/sysctl", { "-w", "net.inet.ip.forwarding=1" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("Operation not permitted"), std::string::npos) << r.err;
    EXPECT_EQ(box.run("/usr/sbin/sysctl", { "-n", "net.inet.ip.forwarding" }).out, "0\n");
}

TEST_F(KernelState, SysctlListsANodeAndEverything)
{
    auto r = box.run("/usr/sbin/sysctl", { "net.inet.ip.fw" });
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.out.find("net.inet.ip.fw.verbose: 0\n"), std::string::npos);
    EXPECT_EQ(r.out.find("net.inet.ip.forwarding"), std::string::npos);
    r = box.run("/usr/sbin/sysctl", { "-a" });
    EXPECT_NE(r.out.find("net.inet.ip.forwarding: 0\n"), std::string::npos);
}

TEST_F(KernelState, CorruptStateIsReportedNeverReset)
{
    const std::string garbage = "<plist><dict><key>net.inet";
    box.write("/var/db/kw-platform/sysctl.plist", garbage);
    box.write("/var/db/kw-platform/interfaces.plist", "not a property list");
    struct Row {
        const char* program;
        std::vector<std::string> args;
    };
    const Row rows[] = {
        { "/usr/sbin/sysctl", { "net.inet.ip.fw.verbose" } },
        { "/usr/sbin/sysctl", { "-w", "net.inet.ip.fw.verbose=1" } },
        { "/sbin/ifconfig", {} },
        { "/sbin/ifconfig", { "en1", "inet", "10.0.2.1", "netmask", "255.255.255.0", "alias", "up" } },
        { "/usr/sbin/natd", { "-n", "en0" } },
    };
    for (const auto& row : rows) {
        const auto r = box.run(row.program, row.args);
        EXPECT_EQ(r.exitStatus, 1) << row.program;
        EXPECT_NE(r.err.find("corrupt"), std::string::npos) << row.program << ": " << r.err;
    }
    EXPECT_EQ(box.read("/var/db/kw-platform/sysctl.plist"), garbage);
    EXPECT_EQ(box.read("/var/db/kw-platform/interfaces.plist"), "not a property list");
    // Making the sandbox again keeps the evidence and says what is wrong.
    const auto again = kw::testing::runProgram({ Sandbox::binary("kw-sandbox"), box.path() });
    EXPECT_EQ(again.exitStatus, 1);
    EXPECT_NE(again.err.find("corrupt"), std::string::npos) << again.err;
    EXPECT_EQ(box.read("/var/db/kw-platform/sysctl.plist"), garbage);
}

TEST_F(KernelState, IfconfigAddsAnAliasAndListsIt)
{
    // The alias line of the network environment, then the host route through the loopback.
    auto r = box.run("/sbin/ifconfig", { "en1", "inet", "10.0.2.1", "netmask", "255.255.255.0", "alias", "up" });
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");

    r = box.runAsUser("/sbin/ifconfig", { "en1" });
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "en1: flags=8863<UP,BROADCAST,SMART,RUNNING,SIMPLEX,MULTICAST> mtu 1500\n"
                     "\tinet 10.0.1.3 netmask 0xffffff00 broadcast 10.0.1.255\n"
                     "\tinet 10.0.2.1 netmask 0xffffff00 broadcast 10.0.2.255\n"
                     "\tether 02:00:00:00:00:02\n");

    // Adding the same alias again changes nothing; the whole listing keeps the order.
    EXPECT_EQ(
        box.run("/sbin/ifconfig", { "en1", "inet", "10.0.2.1", "netmask", "255.255.255.0", "alias", "up" }).exitStatus,
        0);
    r = box.run("/sbin/ifconfig", { "-a" });
    EXPECT_EQ(r.out.find("lo0:"), 0u);
    EXPECT_LT(r.out.find("en0:"), r.out.find("en1:"));
    EXPECT_LT(r.out.find("en1:"), r.out.find("ppp0:"));
    EXPECT_EQ(r.out.find("inet 10.0.2.1"), r.out.rfind("inet 10.0.2.1"));
    EXPECT_EQ(box.run("/sbin/ifconfig", { "-l" }).out, "lo0 en0 en1 ppp0\n");

    // A point-to-point interface that was down comes up with its address.
    EXPECT_EQ(
        box.run("/sbin/ifconfig", { "ppp0", "inet", "10.0.3.1", "netmask", "255.255.255.0", "alias", "up" }).exitStatus,
        0);
    EXPECT_EQ(box.run("/sbin/ifconfig", { "ppp0" }).out,
              "ppp0: flags=8051<UP,POINTOPOINT,RUNNING,MULTICAST> mtu 1500\n\tinet 10.0.3.1 netmask 0xffffff00\n");

    // -alias removes it again.
    EXPECT_EQ(box.run("/sbin/ifconfig", { "en1", "inet", "10.0.2.1", "-alias" }).exitStatus, 0);
    EXPECT_EQ(box.run("/sbin/ifconfig", { "en1" }).out.find("10.0.2.1"), std::string::npos);
}

TEST_F(KernelState, IfconfigRefusesMalformedLines)
{
    const std::string before = box.read("/var/db/kw-platform/interfaces.plist");
    struct Row {
        std::vector<std::string> args;
        const char* message;
    };
    const Row rows[] = {
        { { "en9", "inet", "10.0.2.1", "netmask", "255.255.255.0", "alias", "up" }, "interface en9 does not exist" },
        { { "en1", "inet", "10.0.2", "netmask", "255.255.255.0", "alias", "up" }, "10.0.2: bad value" },
        { { "en1", "inet", "10.0.2.256", "alias" }, "10.0.2.256: bad value" },
        { { "en1", "inet", "10.0.2.1", "netmask", "255.0.255.0", "alias" }, "255.0.255.0: bad value" },
        { { "en1", "inet", "10.0.2.1", "netmask" }, "netmask: missing value" },
        { { "en1", "inet", "10.0.2.1", "netmask", "255.255.255.0", "alias", "sideways" }, "sideways: bad value" },
        { { "en1", "inet", "10.9.9.9", "-alias" }, "Can't assign requested address" },
        { { "en1", "alias" }, "no address given" },
        { { "en0", "inet", "10.0.2.1", "10.0.2.2" }, "not a point-to-point interface" },
        { { "-z" }, "usage" },
    };
    for (const auto& row : rows) {
        const auto r = box.run("/sbin/ifconfig", row.args);
        EXPECT_EQ(r.exitStatus, 1) << row.message;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << row.message << " / " << r.err;
    }
    EXPECT_EQ(box.read("/var/db/kw-platform/interfaces.plist"), before);
}

TEST_F(KernelState, ConcurrentChangesAreNeverLost)
{
    // Twelve aliases added at once, each by its own ifconfig: every one must be there.
    std::vector<pid_t> runs;
    for (int i = 1; i <= 12; ++i) {
        runs.push_back(Sandbox::spawn(box.rootCommand(
            "/sbin/ifconfig", { "en1", "inet", "10.0.4." + std::to_string(i), "netmask", "255.255.255.0", "alias" })));
        ASSERT_GT(runs.back(), 0);
    }
    for (const pid_t pid : runs) {
        int status = -1;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const std::string listing = box.run("/sbin/ifconfig", { "en1" }).out;
    for (int i = 1; i <= 12; ++i) {
        EXPECT_NE(listing.find("inet 10.0.4." + std::to_string(i) + " "), std::string::npos) << i;
    }
}

TEST_F(KernelState, RouteAddsAHostRouteThroughTheLoopback)
{
    auto r = box.run("/sbin/route", { "add", "-host", "10.0.2.1", "-interface", "127.0.0.1" });
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "add host 10.0.2.1: gateway 127.0.0.1\n");

    r = box.runAsUser("/sbin/route", { "-n", "get", "10.0.2.1" });
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out,
              "   route to: 10.0.2.1\ndestination: 10.0.2.1\n  interface: lo0\n      flags: <UP,HOST,DONE,STATIC>\n");

    // The same route again exists already; the table keeps one.
    r = box.run("/sbin/route", { "add", "-host", "10.0.2.1", "-interface", "127.0.0.1" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("File exists"), std::string::npos);

    // Other addresses still take the default route.
    r = box.run("/sbin/route", { "-n", "get", "10.0.2.2" });
    EXPECT_NE(r.out.find("destination: default"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("gateway: 192.168.1.1"), std::string::npos);

    EXPECT_EQ(box.run("/sbin/route", { "-q", "delete", "-host", "10.0.2.1" }).exitStatus, 0);
    r = box.run("/sbin/route", { "delete", "-host", "10.0.2.1" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "delete host 10.0.2.1: not in table\n");
}

TEST_F(KernelState, RouteRefusesMalformedLines)
{
    const std::string before = box.read("/var/db/kw-platform/routes.plist");
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const Row rows[] = {
        { { "add", "-host", "10.0.2.1", "-interface" }, 64, "no gateway given" },
        { { "add", "-host" }, 64, "no destination given" },
        { { "add", "-host", "10.0.2.1", "-interfaces", "127.0.0.1" }, 64, "unknown modifier -interfaces" },
        { { "add", "-host", "10.0.2", "-interface", "127.0.0.1" }, 1, "bad address: 10.0.2" },
        { { "add", "-host", "10.0.2.1/24", "-interface", "127.0.0.1" }, 1, "bad address" },
        { { "add", "-host", "10.0.2.1", "-interface", "127.0.0.9" }, 1, "Network is unreachable" },
        { { "add", "-host", "10.0.2.1", "172.16.0.1" }, 1, "Network is unreachable" },
        { { "flush" }, 64, "unknown command" },
        { {}, 64, "usage" },
    };
    for (const auto& row : rows) {
        const auto r = box.run("/sbin/route", row.args);
        EXPECT_EQ(r.exitStatus, row.status) << row.message;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << row.message << " / " << r.err;
    }
    EXPECT_EQ(box.read("/var/db/kw-platform/routes.plist"), before);
}

} // namespace

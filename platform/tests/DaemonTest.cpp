// natd and ipfwloggerd run in the background, show in their own root's process list only,
// and end on the signals the system sends them.
#include "Sandbox.h"

#include "common/ProcessTable.h"

#include <gtest/gtest.h>
#include <sstream>

using kw::testing::Sandbox;

namespace {

const char* const kSystemNatdText = "interface en0\n"
                                    "dynamic yes\n"
                                    "use_sockets yes\n"
                                    "same_ports yes\n"
                                    "redirect_port tcp 10.0.1.2:80 8080\n"
                                    "redirect_port udp 10.0.1.2:5000 10.0.2.1:5001\n";

class Daemons : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(box.made());
        box.write("/etc/natd.conf", kSystemNatdText);
    }
    int pidFromFile(const std::string& systemPath) const { return std::atoi(box.read(systemPath).c_str()); }

    Sandbox box;
};

TEST_F(Daemons, NatdRunsInTheBackgroundUntilSigquit)
{
    // Started as the NAT manager starts it (argument 0 "/usr/sbin/natd"), with its output on a
    // pipe: the call must return, and nothing is written.
    auto argv = box.rootCommand("/usr/sbin/natd", {});
    const std::string hostPath = argv.back();
    argv.pop_back();
    argv.insert(argv.end(), { "bash", "-c", "exec -a /usr/sbin/natd \"$0\" -f /etc/natd.conf", hostPath });
    const auto started = Sandbox::runThroughPipe(argv);
    ASSERT_EQ(started.exitStatus, 0) << started.out;
    EXPECT_EQ(started.out, "");

    const int pid = pidFromFile("/var/run/natd.pid");
    ASSERT_GT(pid, 0);
    const auto listing = box.run("/bin/ps", { "-awwwx", "-o", "pid,command" });
    EXPECT_EQ(listing.exitStatus, 0);
    EXPECT_EQ(listing.out.rfind("  PID COMMAND\n", 0), 0u) << listing.out;
    std::ostringstream line;
    line << (pid < 10000 ? std::string(5 - std::to_string(pid).size(), ' ') : "") << pid
         << " /usr/sbin/natd -f /etc/natd.conf\n";
    EXPECT_NE(listing.out.find(line.str()), std::string::npos) << listing.out;
    EXPECT_EQ(box.pidsListedWith("/usr/sbin/natd"), std::vector<int> { pid });
    // Like every daemon it has no terminal: without -x it is not listed.
    EXPECT_EQ(box.run("/bin/ps", { "-a", "-o", "pid,command" }).out.find("/usr/sbin/natd"), std::string::npos);

    ASSERT_EQ(::kill(pid, SIGQUIT), 0);
    EXPECT_TRUE(Sandbox::waitUntilGone(pid));
    EXPECT_TRUE(box.pidsListedWith("/usr/sbin/natd").empty());
    EXPECT_FALSE(std::filesystem::exists(box / "/var/run/natd.pid"));
}

TEST_F(Daemons, NatdEndsOnSigtermAndShowsItsSandboxPathWhenStartedByHostPath)
{
    const auto r = box.run("/usr/sbin/natd", { "-f", "/etc/natd.conf" });
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    const auto pids = box.pidsListedWith("/usr/sbin/natd -f /etc/natd.conf");
    ASSERT_EQ(pids.size(), 1u);
    // The registry tells other stand-ins where natd diverts and what it redirects.
    const auto entries = kw::platform::ProcessRegistry::liveEntries("natd");
    ASSERT_EQ(entries.size(), 1u);
    const kw::Value* instances = entries[0].info.get("Instances");
    ASSERT_TRUE(instances != nullptr && instances->array() != nullptr && instances->array()->size() == 1);
    const kw::Value& first = instances->array()->front();
    EXPECT_EQ(kw::integerValueOf(first.get("DivertPort")), 8668);
    EXPECT_EQ(kw::stringValueOf(first.get("Interface")), "en0");
    ASSERT_NE(first.get("RedirectPorts"), nullptr);
    EXPECT_EQ(first.get("RedirectPorts")->array()->size(), 2u);

    ASSERT_EQ(::kill(pids[0], SIGTERM), 0);
    EXPECT_TRUE(Sandbox::waitUntilGone(pids[0]));
    EXPECT_TRUE(kw::platform::ProcessRegistry::liveEntries("natd").empty());
}

TEST_F(Daemons, NatdRefusesABadConfigurationAndSaysWhy)
{
    struct Row {
        const char* text;
        const char* message;
    };
    const Row rows[] = {
        { "interface en0\nfirewall_mode strict\n", "/etc/natd.conf:2: unknown keyword 'firewall_mode'" },
        { "interface en0\ndynamic maybe\n", "/etc/natd.conf:2: dynamic: expected yes or no, not 'maybe'" },
        { "interface en0\n\n# a comment\nredirect_port tcp 10.0.1.2 8080\n",
          "/etc/natd.conf:4: redirect_port: invalid target" },
        { "interface en0\nredirect_port icmp 10.0.1.2:80 8080\n",
          "/etc/natd.conf:2: redirect_port: unknown protocol 'icmp'" },
        { "interface en0\nredirect_port tcp 10.0.1.2:80 10.0.2:8080\n",
          "/etc/natd.conf:2: redirect_port: invalid alias address" },
        { "interface en0\nredirect_port tcp 10.0.1.2:80-81 8080\n", "port ranges must be equal in size" },
        { "interface en0\nredirect_port tcp 10.0.1.2:80\n", "/etc/natd.conf:2: redirect_port: expected" },
        { "interface (external interface)\n", "/etc/natd.conf:1: interface: expected one value" },
        { "interface en9\n", "unknown interface name en9" },
        { "dynamic yes\n", "no interface or alias address given" },
        { "interface en0\npid_file /../../../tmp/x.pid\n", "pid_file: expected an absolute path" },
    };
    for (const auto& row : rows) {
        box.write("/etc/natd.conf", row.text);
        const auto r = box.run("/usr/sbin/natd", { "-f", "/etc/natd.conf" });
        EXPECT_EQ(r.exitStatus, 1) << row.text;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << row.message << " / " << r.err;
        EXPECT_TRUE(box.pidsListedWith("/usr/sbin/natd").empty()) << row.text;
    }
    const auto missing = box.run("/usr/sbin/natd", { "-f", "/etc/none.conf" });
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_NE(missing.err.find("/etc/none.conf: No such file or directory"), std::string::npos) << missing.err;
    const auto option = box.run("/usr/sbin/natd", { "-frobnicate" });
    EXPECT_EQ(option.exitStatus, 1);
    EXPECT_NE(option.err.find("unknown option -frobnicate"), std::string::npos) << option.err;
}

TEST_F(Daemons, ASecondNatdCannotTakeTheSameDivertPort)
{
    ASSERT_EQ(box.run("/usr/sbin/natd", { "-f", "/etc/natd.conf" }).exitStatus, 0);
    auto r = box.run("/usr/sbin/natd", { "-f", "/etc/natd.conf" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("Address already in use"), std::string::npos) << r.err;
    // On another port a second one runs; the listing then holds both.
    r = box.run("/usr/sbin/natd", { "-f", "/etc/natd.conf", "-port", "8669", "-pid_file", "/var/run/natd2.pid" });
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(box.pidsListedWith("/usr/sbin/natd").size(), 2u);
}

TEST_F(Daemons, TwoSandboxesNeverSeeEachOthersNatd)
{
    Sandbox other;
    ASSERT_TRUE(other.made());
    other.write("/etc/natd.conf", kSystemNatdText);
    ASSERT_EQ(box.run("/usr/sbin/natd", { "-f", "/etc/natd.conf" }).exitStatus, 0);
    EXPECT_TRUE(other.pidsListedWith("/usr/sbin/natd").empty());
    // Each root has its own divert port space, too.
    ASSERT_EQ(other.run("/usr/sbin/natd", { "-f", "/etc/natd.conf" }).exitStatus, 0);
    const auto mine = box.pidsListedWith("/usr/sbin/natd");
    const auto theirs = other.pidsListedWith("/usr/sbin/natd");
    ASSERT_EQ(mine.size(), 1u);
    ASSERT_EQ(theirs.size(), 1u);
    EXPECT_NE(mine[0], theirs[0]);
    EXPECT_EQ(mine[0], pidFromFile("/var/run/natd.pid"));
    EXPECT_EQ(theirs[0], std::atoi(other.read("/var/run/natd.pid").c_str()));
    // Asking one root's ps for the other's pid finds nothing.
    const auto r = other.run("/bin/ps", { "-p", std::to_string(mine[0]), "-o", "pid" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "  PID\n");
}

TEST_F(Daemons, IpfwloggerdKeepsItsPidFileWhileItRuns)
{
    auto r = box.run("/usr/libexec/ipfwloggerd");
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    const int pid = pidFromFile("/var/run/ipfwlogger.pid");
    ASSERT_GT(pid, 0);

    // The tool's check: "ps -p `cat /var/run/ipfwlogger.pid` -o pid | tail -n 1 | grep -v PID".
    r = box.runAsUser("/bin/ps", { "-p", std::to_string(pid), "-o", "pid" });
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "  PID\n" + std::string(5 - std::min<size_t>(5, std::to_string(pid).size()), ' ') +
                         std::to_string(pid) + "\n");

    r = box.run("/bin/ps", { "-p", std::to_string(pid), "-o", "pid=" });
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(std::atoi(r.out.c_str()), pid);
    EXPECT_EQ(r.out.find("PID"), std::string::npos) << r.out;

    // A second logger refuses while the first runs.
    r = box.run("/usr/libexec/ipfwloggerd");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("already running (pid " + std::to_string(pid) + ")"), std::string::npos) << r.err;
    EXPECT_EQ(pidFromFile("/var/run/ipfwlogger.pid"), pid);

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_TRUE(Sandbox::waitUntilGone(pid));
    EXPECT_FALSE(std::filesystem::exists(box / "/var/run/ipfwlogger.pid"));
    // An empty pid file gives "ps -p" no pid: it fails and prints nothing on its output.
    r = box.run("/bin/ps", { "-p", "-o", "pid" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
}

TEST_F(Daemons, PsFollowsTheRealToolsOptions)
{
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* out;
        const char* err;
    };
    const Row rows[] = {
        { { "-o", "pid,bogus" }, 1, "", "bogus: keyword not found" },
        { { "-p", "12x" }, 1, "", "illegal process id: 12x" },
        { { "-k" }, 1, "", "illegal option -- k" },
        { { "-o" }, 1, "", "option requires an argument -- o" },
        { { "-x", "-o", "pid,ppid,user,comm" }, 0, "  PID  PPID USER     COMMAND\n", "" },
        { { "-p", "1", "-o", "pid=" }, 1, "", "" },
    };
    for (const auto& row : rows) {
        const auto r = box.run("/bin/ps", row.args);
        EXPECT_EQ(r.exitStatus, row.status) << row.err;
        EXPECT_EQ(r.out.substr(0, std::string(row.out).size()), row.out);
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    }
}

} // namespace

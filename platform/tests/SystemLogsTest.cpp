// Where packet-filter log lines land, and the daily rotation of the logs.
#include "Sandbox.h"

#include "common/KernelVariables.h"
#include "common/SystemLogs.h"

#include "base/Release.h"

#include <ctime>
#include <gtest/gtest.h>

using kw::platform::KernelVariables;
using kw::platform::SystemLogs;
using kw::testing::Sandbox;

namespace {

class SystemLogsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(box.made()); }
    void setVerbose(int v)
    {
        const auto r = box.run("/usr/sbin/sysctl", { "-w", "net.inet.ip.fw.verbose=" + std::to_string(v) });
        ASSERT_EQ(r.exitStatus, 0) << r.err;
    }
    Sandbox box;
};

TEST_F(SystemLogsTest, FirewallLinesFollowTheLoggingSwitches)
{
    const std::string words = "65535 Deny TCP 10.0.1.5:1234 10.0.1.1:80 in via en0";
    std::tm tm {};
    tm.tm_year = 126;
    tm.tm_mon = 11;
    tm.tm_mday = 9;
    tm.tm_hour = 20;
    tm.tm_min = 11;
    tm.tm_sec = 21;
    tm.tm_isdst = -1;
    const std::time_t when = std::mktime(&tm);
    std::string error;

    // Off: nothing is written.
    ASSERT_TRUE(SystemLogs::logFirewallLine(words, when, error)) << error;
    EXPECT_EQ(box.read("/var/log/system.log") + box.read("/var/log/ipfw.log"), "");

    // 1: the kernel's line in the system log, as the older releases grep it.
    setVerbose(1);
    ASSERT_TRUE(SystemLogs::logFirewallLine(words, when, error)) << error;
    const std::string systemLog = box.read("/var/log/system.log");
    EXPECT_EQ(systemLog.substr(0, 16), "Dec  9 20:11:21 ");
    EXPECT_NE(
        systemLog.find(std::string(kw::KWRunningOnTiger ? " kernel: ipfw: " : " mach_kernel: ipfw: ") + words + "\n"),
        std::string::npos)
        << systemLog;

    // 2 without the logger daemon: the line is lost, as on the real system.
    setVerbose(2);
    ASSERT_TRUE(SystemLogs::logFirewallLine(words, when, error)) << error;
    EXPECT_EQ(box.read("/var/log/ipfw.log"), "");

    // 2 with the logger: the logger's file.
    ASSERT_EQ(box.run("/usr/libexec/ipfwloggerd").exitStatus, 0);
    EXPECT_NE(SystemLogs::runningLogger(), 0);
    ASSERT_TRUE(SystemLogs::logFirewallLine(words, when, error)) << error;
    const std::string firewallLog = box.read("/var/log/ipfw.log");
    EXPECT_EQ(firewallLog.substr(0, 16), "Dec  9 20:11:21 ");
    EXPECT_NE(firewallLog.find(" ipfw:  " + words + "\n"), std::string::npos) << firewallLog;
    EXPECT_EQ(box.read("/var/log/system.log"), systemLog);
}

TEST_F(SystemLogsTest, TimeStampsPadTheDayWithASpace)
{
    std::tm tm {};
    tm.tm_year = 126;
    tm.tm_mon = 0;
    tm.tm_mday = 5;
    tm.tm_hour = 7;
    tm.tm_min = 3;
    tm.tm_sec = 9;
    tm.tm_isdst = -1;
    EXPECT_EQ(SystemLogs::timeStamp(std::mktime(&tm)), "Jan  5 07:03:09");
    tm.tm_mday = 15;
    EXPECT_EQ(SystemLogs::timeStamp(std::mktime(&tm)), "Jan 15 07:03:09");
}

TEST_F(SystemLogsTest, PeriodicDailyRotatesBothLogs)
{
    box.write("/var/log/system.log", "first system\n");
    box.write("/var/log/ipfw.log", "first ipfw\n");
    auto r = box.run("/usr/sbin/periodic", { "daily" });
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(box.read("/var/log/system.log"), "");
    EXPECT_EQ(box.read("/var/log/ipfw.log"), "");
    EXPECT_EQ(box.read("/var/log/system.log.0"), "first system\n");
    EXPECT_EQ(box.read("/var/log/ipfw.log.0"), "first ipfw\n");

    box.write("/var/log/system.log", "second system\n");
    ASSERT_EQ(box.run("/usr/sbin/periodic", { "daily" }).exitStatus, 0);
    EXPECT_EQ(box.read("/var/log/system.log.0"), "second system\n");
    EXPECT_EQ(box.read("/var/log/system.log.1"), "first system\n");

    // Eight generations are kept: the oldest falls off.
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(box.run("/usr/sbin/periodic", { "daily" }).exitStatus, 0);
    }
    EXPECT_FALSE(std::filesystem::exists(box / "/var/log/system.log.8"));
    EXPECT_TRUE(std::filesystem::exists(box / "/var/log/system.log.7"));

    // Lines written after the rotation land in the new file.
    std::string error;
    ASSERT_TRUE(SystemLogs::append(SystemLogs::kSystemLog, "after", error)) << error;
    EXPECT_EQ(box.read("/var/log/system.log"), "after\n");
}

TEST_F(SystemLogsTest, PeriodicRefusesUnknownPeriods)
{
    auto r = box.run("/usr/sbin/periodic", { "hourly" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("hourly: unknown period"), std::string::npos) << r.err;
    r = box.run("/usr/sbin/periodic");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("usage"), std::string::npos);
    EXPECT_EQ(box.run("/usr/sbin/periodic", { "weekly" }).exitStatus, 0);
}

} // namespace

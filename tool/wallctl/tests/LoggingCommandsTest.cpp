#include "LoggingCommands.h"
#include "RunProgram.h"
#include "StandIns.h"
#include "base/Release.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"

#include <gtest/gtest.h>

using kw::testing::recordedCalls;
namespace keys = kw::keys;
namespace fs = std::filesystem;

namespace {

class Logging : public ::testing::Test {
protected:
    void SetUp() override { kw::testing::installStandIns(m_root); }

    void runModify(bool on)
    {
        kw::KeepwallPrefs prefs;
        kw::tool::ToolContext context { { "wallctl" }, prefs, stdout, stderr, ::getuid() };
        kw::tool::modifyFirewallLogging(context, on);
    }

    // The logger daemon's pid file and whether the stand-in ps shows that process.
    void loggerState(const std::optional<std::string>& pidFile, const std::string& alive = {})
    {
        fs::remove(m_root / "/var/run/ipfwlogger.pid");
        if (pidFile) {
            m_root.writeFile("/var/run/ipfwlogger.pid", *pidFile);
        }
        m_root.writeFile("/alive", alive);
    }

    static std::optional<std::int64_t> storedChoice()
    {
        kw::KeepwallPrefs prefs;
        const kw::Value* v = prefs.valueForKey(keys::kEnableLogging);
        if (v == nullptr) {
            return std::nullopt;
        }
        return v->integerValue();
    }

    kw::testing::TempRoot m_root;
    std::vector<std::string> m_log;
    kw::LogCapture m_capture { [this](const std::string& line) { m_log.push_back(line); } };
};

} // namespace

TEST_F(Logging, SwitchesFollowTheReleaseAndTheLoggerState)
{
    struct Row {
        const char* name;
        double release;
        bool on;
        bool loggerRunning;
        std::vector<std::string> expected;
    };
    const std::string limit = "/usr/sbin/sysctl -w net.inet.ip.fw.verbose_limit=65535";
    const Row rows[] = {
        { "on, 10.3", 743, true, false, { "/usr/sbin/sysctl -w net.inet.ip.fw.verbose=1", limit } },
        { "on, 10.4, no logger",
          824,
          true,
          false,
          { "/usr/sbin/sysctl -w net.inet.ip.fw.verbose=2", limit, "/usr/libexec/ipfwloggerd " } },
        { "on, 10.4, logger running", 824, true, true, { "/usr/sbin/sysctl -w net.inet.ip.fw.verbose=2", limit } },
        { "off, 10.4, no logger", 824, false, false, { "/usr/sbin/sysctl -w net.inet.ip.fw.verbose=0", limit } },
        { "off, 10.3", 743, false, false, { "/usr/sbin/sysctl -w net.inet.ip.fw.verbose=0", limit } },
    };
    for (const auto& row : rows) {
        kw::setReleaseFlags(row.release);
        fs::remove(m_root / "/calls");
        loggerState(row.loggerRunning ? std::optional<std::string>("4321\n") : std::nullopt, "4321\n");
        runModify(row.on);
        EXPECT_EQ(recordedCalls(m_root), row.expected) << row.name;
        EXPECT_EQ(storedChoice(), row.on ? 1 : 0) << row.name;
    }
}

TEST_F(Logging, ChoiceIsRecordedEvenWhenSysctlFails)
{
    kw::setReleaseFlags(743);
    m_root.writeScript("/usr/sbin/sysctl", std::string(kw::testing::kRecorder) + "exit 1\n");
    runModify(true);
    EXPECT_EQ(storedChoice(), 1);
    EXPECT_EQ(std::count(m_log.begin(), m_log.end(), "wallctl: Command exited with status 1"), 2);
}

TEST_F(Logging, LoggerCheckReadsOnlyAProcessIdFromThePidFile)
{
    struct Row {
        const char* name;
        std::optional<std::string> pidFile;
        std::string alive;
        bool running;
        bool psAsked;
    };
    const Row rows[] = {
        { "no pid file", std::nullopt, "", false, false },
        { "empty", "", "", false, false },
        { "not a number", "abc\n", "", false, false },
        { "trailing garbage", "12abc\n", "", false, false },
        { "negative", "-5\n", "", false, false },
        { "zero", "0\n", "", false, false },
        { "too large", "99999999999\n", "", false, false },
        { "command text", "$(touch injected)\n", "", false, false },
        { "running", "4321\n", "4321\n", true, true },
        { "running, blanks around", " 4321 \n", "4321\n", true, true },
        { "ended", "4321\n", "", false, true },
    };
    for (const auto& row : rows) {
        fs::remove(m_root / "/ps.args");
        loggerState(row.pidFile, row.alive);
        EXPECT_EQ(kw::tool::ipfwloggerIsRunning(), row.running) << row.name;
        EXPECT_EQ(fs::exists(m_root / "/ps.args"), row.psAsked) << row.name;
        if (row.psAsked) {
            EXPECT_EQ(m_root.readFile("/ps.args"), "-p 4321 -o pid\n") << row.name;
        }
    }
    EXPECT_FALSE(fs::exists(m_root / "/injected"));
}

TEST_F(Logging, EnableAndDisableThroughTheTool)
{
    const auto enabled = kw::testing::runAsRoot({ WALLCTL_PATH, "enable-log" });
    EXPECT_EQ(enabled.exitStatus, 0);
    EXPECT_EQ(enabled.out, "");
    EXPECT_EQ(recordedCalls(m_root), (std::vector<std::string> {
                                         "/usr/sbin/sysctl -w net.inet.ip.fw.verbose=2",
                                         "/usr/sbin/sysctl -w net.inet.ip.fw.verbose_limit=65535",
                                         "/usr/libexec/ipfwloggerd ",
                                     }));
    EXPECT_EQ(storedChoice(), 1);
    fs::remove(m_root / "/calls");
    kw::testing::runAsRoot({ WALLCTL_PATH, "disable-log" });
    EXPECT_EQ(recordedCalls(m_root), (std::vector<std::string> {
                                         "/usr/sbin/sysctl -w net.inet.ip.fw.verbose=0",
                                         "/usr/sbin/sysctl -w net.inet.ip.fw.verbose_limit=65535",
                                     }));
    EXPECT_EQ(storedChoice(), 0);
}

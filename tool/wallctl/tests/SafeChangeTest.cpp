// "try", "confirm" and "diff" on a sandbox root with the emulated platform commands.
#include "RunProgram.h"
#include "SafeChangeCommands.h"
#include "TempRoot.h"
#include "base/DistributedNotificationCenter.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using kw::Value;
using kw::testing::runAsRoot;
namespace keys = kw::keys;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class SafeChange : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::chmod(m_root.path().c_str(), 0755);
        const auto made = kw::testing::runProgram({ KW_SANDBOX_PATH, m_root.path() });
        ASSERT_EQ(made.exitStatus, 0) << made.err;
        Value s;
        s.set(keys::kSettingName, Value("Expert"));
        s.set(keys::kConfigMode, Value("2"));
        s.set(keys::kExpertConfigText, Value("add 1000 allow ip from any to any via lo*\n"
                                             "add 2000 allow tcp from any to any 22 in\n"
                                             "add 3000 deny tcp from any to any 23 in\n"));
        kw::KeepwallPrefs prefs;
        Value stored;
        stored.set("S", s);
        prefs.takeValue(stored, keys::kStoredSettings);
        prefs.setCurrentSettingsKey("S");
        ASSERT_TRUE(prefs.commitChanges());
    }

    void TearDown() override
    {
        // A trial left pending by a failed test must not outlive it.
        if (const auto pid = watchdogPid()) {
            ::kill(*pid, SIGKILL);
        }
    }

    kw::testing::ProgramResult wallctl(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv { WALLCTL_PATH };
        argv.insert(argv.end(), args.begin(), args.end());
        return runAsRoot(argv);
    }
    kw::testing::ProgramResult ipfw(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv { m_root / "/sbin/ipfw" };
        argv.insert(argv.end(), args.begin(), args.end());
        return runAsRoot(argv);
    }
    std::string listing() { return ipfw({ "list" }).out; }

    std::optional<pid_t> watchdogPid()
    {
        std::error_code ec;
        if (!fs::exists(m_root / kw::tool::kTrialWatchdogPidPath, ec)) {
            return std::nullopt;
        }
        return static_cast<pid_t>(std::stol(m_root.readFile(kw::tool::kTrialWatchdogPidPath)));
    }

    bool trialPending() { return fs::exists(m_root / kw::tool::kTrialPendingPath); }

    // Waits until the trial's state is gone and its watchdog has ended; false after the timeout.
    bool trialEnds(pid_t watchdog, std::chrono::seconds timeout = 15s)
    {
        const auto giveUp = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < giveUp) {
            if (!trialPending() && ::kill(watchdog, 0) != 0 && errno == ESRCH) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    std::vector<std::string> errorsPosted()
    {
        std::vector<std::string> errors;
        while (auto n = m_observer.receive(100ms)) {
            if (n->name == "KWDistributedErrorNotification") {
                errors.push_back(n->object);
            }
        }
        return errors;
    }

    kw::testing::TempRoot m_root;
    kw::DistributedObserver m_observer;
};

TEST_F(SafeChange, TimeoutPutsBackTheRulesAndTheRuleFile)
{
    // The rules before: a sharing divert rule and one of the administrator's.
    ASSERT_EQ(ipfw({ "-q", "add", "100", "divert", "8668", "ip", "from", "any", "to", "any", "via", "en0" }).exitStatus,
              0);
    ASSERT_EQ(ipfw({ "-q", "add", "500", "allow", "udp", "from", "any", "to", "any", "53", "out" }).exitStatus, 0);
    m_root.writeFile("/etc/firewall.conf", "add 500 allow udp from any to any 53 out\n");
    const std::string before = listing();

    const auto r = wallctl({ "try", "1" });
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("wallctl confirm"), std::string::npos);
    EXPECT_NE(listing().find("02000 allow tcp from any to any 22 in"), std::string::npos);
    const auto watchdog = watchdogPid();
    ASSERT_TRUE(watchdog);
    ASSERT_TRUE(trialEnds(*watchdog));
    EXPECT_EQ(listing(), before);
    EXPECT_EQ(m_root.readFile("/etc/firewall.conf"), "add 500 allow udp from any to any 53 out\n");
    const auto errors = errorsPosted();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("were not confirmed within 1 seconds; the previous rules were put back"),
              std::string::npos);
    EXPECT_TRUE(fs::is_empty(m_root / kw::tool::kTrialFolder));
}

TEST_F(SafeChange, ConfirmKeepsTheNewRulesAndASecondTryWaitsForIt)
{
    ASSERT_EQ(wallctl({ "try", "60" }).exitStatus, 0);
    const auto watchdog = watchdogPid();
    ASSERT_TRUE(watchdog);
    const std::string tried = listing();

    const auto second = wallctl({ "try", "60" });
    EXPECT_EQ(second.exitStatus, 2);
    EXPECT_NE(second.err.find("already pending"), std::string::npos) << second.err;
    EXPECT_EQ(listing(), tried);

    const auto confirmed = wallctl({ "confirm" });
    EXPECT_EQ(confirmed.exitStatus, 0) << confirmed.err;
    EXPECT_EQ(confirmed.out, "The new rules are kept\n");
    ASSERT_TRUE(trialEnds(*watchdog, 2s));
    EXPECT_EQ(listing(), tried);
    EXPECT_TRUE(errorsPosted().empty());

    const auto again = wallctl({ "confirm" });
    EXPECT_EQ(again.exitStatus, 2);
    EXPECT_NE(again.err.find("No trial of new rules is pending"), std::string::npos);
    // Once confirmed, a new trial may start.
    EXPECT_EQ(wallctl({ "try", "60" }).exitStatus, 0);
    EXPECT_EQ(wallctl({ "confirm" }).exitStatus, 0);
}

TEST_F(SafeChange, RevertPutsTheRulesBackAtOnceWithoutAnError)
{
    const std::string before = listing();
    ASSERT_EQ(wallctl({ "try", "600" }).exitStatus, 0);
    const auto watchdog = watchdogPid();
    ASSERT_TRUE(watchdog);
    EXPECT_NE(listing(), before);
    const auto r = wallctl({ "revert" });
    EXPECT_EQ(r.out, "The previous rules were put back\n") << r.err;
    ASSERT_TRUE(trialEnds(*watchdog, 2s));
    EXPECT_EQ(listing(), before);
    EXPECT_TRUE(errorsPosted().empty());
    EXPECT_NE(wallctl({ "revert" }).err.find("No trial of new rules is pending"), std::string::npos);
}

TEST_F(SafeChange, KillingTheCallersProcessGroupStillReverts)
{
    const std::string before = listing();
    const pid_t caller = ::fork();
    if (caller == 0) {
        ::setpgid(0, 0);
        const auto r = wallctl({ "try", "1" });
        ::pause(); // the caller stays until it is killed, with the terminal's process group
        std::_Exit(r.exitStatus);
    }
    ::setpgid(caller, caller);
    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (!watchdogPid() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(20ms);
    }
    const auto watchdog = watchdogPid();
    ASSERT_TRUE(watchdog);
    ::kill(-caller, SIGKILL);
    ::kill(-caller, SIGHUP);
    int status = 0;
    ::waitpid(caller, &status, 0);
    ASSERT_TRUE(trialEnds(*watchdog));
    EXPECT_EQ(listing(), before);
}

TEST_F(SafeChange, ArgumentsOutsideTheRangeAreRefused)
{
    for (const char* seconds : { "0", "-5", "abc", "86401", "" }) {
        const auto r = wallctl({ "try", seconds });
        EXPECT_EQ(r.exitStatus, 2) << seconds;
        EXPECT_NE(r.err.find("give the seconds to wait"), std::string::npos) << seconds;
        EXPECT_FALSE(trialPending()) << seconds;
    }
    EXPECT_NE(wallctl({ "try" }).err.find("give the seconds to wait"), std::string::npos);
    EXPECT_FALSE(trialPending());
}

TEST_F(SafeChange, DiffOfTheActiveSettingAndTheKernel)
{
    // Kernel empty: every rule of the setting is missing.
    auto r = wallctl({ "diff" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "--- active setting\n+++ loaded rules\n@@ -1,3 +0,0 @@\n"
                     "-01000 allow ip from any to any via lo*\n-02000 allow tcp from any to any 22 in\n"
                     "-03000 deny tcp from any to any 23 in\n");

    ASSERT_EQ(wallctl({ "activate" }).exitStatus, 0);
    r = wallctl({ "diff" });
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_EQ(r.out, "");

    // Traffic changes counters, never the comparison.
    ipfw({ "zero" });
    ASSERT_EQ(ipfw({ "-q", "add", "2500", "deny", "udp", "from", "any", "to", "any", "137" }).exitStatus, 0);
    r = wallctl({ "diff" });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "--- active setting\n+++ loaded rules\n@@ -1,3 +1,4 @@\n"
                     " 01000 allow ip from any to any via lo*\n 02000 allow tcp from any to any 22 in\n"
                     "+02500 deny udp from any to any 137\n 03000 deny tcp from any to any 23 in\n");
}

} // namespace

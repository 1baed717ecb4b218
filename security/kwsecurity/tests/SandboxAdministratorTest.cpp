// The demo administrator kw-sandbox gives a sandbox root: the sandbox runner accepts the user
// who prepared the root with the password "keepwall", and pam_kwsandbox.so denies whatever its
// account file cannot vouch for.
#include <KWSecurity/AuthPanelController.h>

#include "PamCheck.h"
#include "PrivilegedRunner.h"
#include "SandboxAccounts.h"
#include "TestRoot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <security/pam_appl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace accounts = kw::sandboxaccounts;

const std::string kDemoPassword(accounts::kDemoPassword);

struct ToolRun {
    int exitStatus = -1;
    std::string err;
};

// Runs kw-sandbox on the folder; its standard error is collected.
ToolRun prepareSandbox(const std::string& folder)
{
    ToolRun run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return run;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDERR_FILENO);
        execl(KW_TEST_SANDBOX_TOOL, KW_TEST_SANDBOX_TOOL, folder.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char block[512];
    ssize_t n = 0;
    while ((n = read(fds[0], block, sizeof block)) > 0) {
        run.err.append(block, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string hashOf(const std::string& accountLine)
{
    const auto colon = accountLine.find(':');
    return colon == std::string::npos ? std::string() : accountLine.substr(colon + 1);
}

// A root (KEEPWALL_ROOT) prepared by kw-sandbox, with a controller on the sandbox runner.
class PreparedSandbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        user = kw::testing::loggedInUser();
        ASSERT_FALSE(user.empty());
        const ToolRun run = prepareSandbox(root.path());
        ASSERT_EQ(run.exitStatus, 0) << run.err;
        controller = newController();
    }

    std::unique_ptr<kw::AuthPanelController> newController()
    {
        return std::make_unique<kw::AuthPanelController>(kw::makeSandboxRunner(), &keychain);
    }

    std::string accountsFile() const { return root.file("etc/keepwall/sandbox-accounts"); }
    std::string stackFile() const { return root.file("etc/pam.d/keepwall"); }

    kw::testing::TestFolder root;
    kw::KWKeychain keychain { kw::KeychainKind::SandboxFile };
    std::unique_ptr<kw::AuthPanelController> controller;
    std::string user;
};

TEST_F(PreparedSandbox, LoggedInUserAuthenticatesWithTheDemoPassword)
{
    // The panel offers the logged-in user's name; typing only the demo password succeeds.
    EXPECT_EQ(controller->userName(), user);
    int shown = 0;
    controller->setPanelRunner([&shown](kw::AuthPanelController& panel) {
        ++shown;
        panel.setPassword(kw::SecureBuffer(kDemoPassword));
        return panel.okayButtonPressed() ? kw::AuthPanelController::kModalOk : kw::AuthPanelController::kModalAbort;
    });
    kw::testing::LogLines log;
    EXPECT_TRUE(controller->authenticateForExecutablePaths({ "/usr/bin/id" }, "com.wallworks.Keepwall"));
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(controller->isAuthenticatedforPaths({ "/usr/bin/id" }));
    EXPECT_FALSE(log.contains(kDemoPassword));

    auto other = newController();
    EXPECT_TRUE(other->validateUsername(user, kw::SecureBuffer(kDemoPassword), { "/usr/bin/env" }));
}

TEST_F(PreparedSandbox, WrongPasswordsAndOtherNamesAreRefused)
{
    struct Case {
        const char* name;
        std::string userName;
        std::string password;
    };
    const std::string otherUser = user == "nobody" ? "root" : "nobody";
    const std::vector<Case> cases = {
        { "wrong password", user, "wrong-password" },
        { "different case", user, "Keepwall" },
        { "trailing space", user, kDemoPassword + " " },
        { "prefix of the password", user, kDemoPassword.substr(0, 4) },
        { "another user of the machine", otherUser, kDemoPassword },
        { "unknown name", "kw-no-such-user", kDemoPassword },
    };
    for (const auto& c : cases) {
        auto fresh = newController();
        kw::testing::LogLines log;
        EXPECT_FALSE(fresh->validateUsername(c.userName, kw::SecureBuffer(c.password), { "/usr/bin/id" })) << c.name;
        EXPECT_FALSE(fresh->isAuthenticatedforPaths({ "/usr/bin/id" })) << c.name;
        EXPECT_TRUE(log.contains("Is Authorized==")) << c.name << "\n" << log.joined();
    }
}

TEST_F(PreparedSandbox, AccountFileHoldsOneSaltedHashForTheUser)
{
    struct stat st {};
    ASSERT_EQ(lstat(accountsFile().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, getuid());
    const std::string content = kw::testing::readFile(accountsFile());
    ASSERT_EQ(content.substr(0, user.size() + 2), user + ":$") << content;
    EXPECT_EQ(content.find('\n'), content.size() - 1) << "exactly one account";
    EXPECT_EQ(hashOf(content).find(kDemoPassword), std::string::npos);

    // Another sandbox gets another salt, so the same password hashes differently.
    kw::testing::TestFolder second(false);
    ASSERT_EQ(prepareSandbox(second.path()).exitStatus, 0);
    const std::string secondContent = kw::testing::readFile(second.file("etc/keepwall/sandbox-accounts"));
    EXPECT_NE(hashOf(secondContent), hashOf(content));

    // The stack names the module by an absolute path and the account file of this root.
    const std::string stack = kw::testing::readFile(stackFile());
    EXPECT_EQ(stack.rfind(std::string(accounts::kStackMarker) + "\n", 0), 0u);
    EXPECT_NE(stack.find("auth required /"), std::string::npos) << stack;
    EXPECT_NE(stack.find("account required /"), std::string::npos) << stack;
    EXPECT_NE(stack.find("accounts=" + accountsFile()), std::string::npos) << stack;
}

TEST_F(PreparedSandbox, PreparingAgainKeepsThePasswordAndTheUsersOwnStack)
{
    const std::string accountsBefore = kw::testing::readFile(accountsFile());
    const std::string stackBefore = kw::testing::readFile(stackFile());
    ToolRun again = prepareSandbox(root.path());
    ASSERT_EQ(again.exitStatus, 0) << again.err;
    EXPECT_EQ(kw::testing::readFile(accountsFile()), accountsBefore);
    EXPECT_EQ(kw::testing::readFile(stackFile()), stackBefore);

    // A stack of ours that went stale (another build folder) is brought up to date.
    kw::testing::writeFile(stackFile(),
                           std::string(accounts::kStackMarker) + "\nauth required /old/pam_kwsandbox.so\n");
    again = prepareSandbox(root.path());
    ASSERT_EQ(again.exitStatus, 0) << again.err;
    EXPECT_EQ(kw::testing::readFile(stackFile()), stackBefore);

    // A stack the user wrote stays, and is the one used.
    root.addAccount(user, "own-Password-1");
    root.writePamConfig(root.file("etc/pam.d"));
    const std::string own = kw::testing::readFile(stackFile());
    again = prepareSandbox(root.path());
    ASSERT_EQ(again.exitStatus, 0) << again.err;
    EXPECT_NE(again.err.find("keeping " + stackFile()), std::string::npos) << again.err;
    EXPECT_EQ(kw::testing::readFile(stackFile()), own);
    EXPECT_TRUE(newController()->validateUsername(user, kw::SecureBuffer("own-Password-1"), { "/usr/bin/id" }));
    EXPECT_FALSE(newController()->validateUsername(user, kw::SecureBuffer(kDemoPassword), { "/usr/bin/id" }));
}

TEST_F(PreparedSandbox, AccountFileNamingSomeoneElseIsReplaced)
{
    kw::testing::writeFile(accountsFile(), accounts::makeAccountLine("kw-no-such-user", "other-pass"), 0600);
    ASSERT_EQ(prepareSandbox(root.path()).exitStatus, 0);
    EXPECT_EQ(kw::testing::readFile(accountsFile()).rfind(user + ":$", 0), 0u);
    EXPECT_TRUE(newController()->validateUsername(user, kw::SecureBuffer(kDemoPassword), { "/usr/bin/id" }));
}

TEST(SandboxAdministrator, RootWhoseEtcLeadsOutOfItGetsNoStack)
{
    kw::testing::TestFolder outside(false);
    kw::testing::TestFolder root(false);
    ASSERT_EQ(symlink(outside.path().c_str(), root.file("etc").c_str()), 0);
    const ToolRun run = prepareSandbox(root.path());
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_NE(run.err.find("leads out of the sandbox root"), std::string::npos) << run.err;
    EXPECT_NE(access(outside.file("pam.d/keepwall").c_str(), F_OK), 0);
    EXPECT_NE(access(outside.file("keepwall/sandbox-accounts").c_str(), F_OK), 0);
}

// The module on its own, through real PAM conversations.
TEST(SandboxPamModule, DeniesWhatItsAccountFileCannotVouchFor)
{
    const std::string user = kw::testing::loggedInUser();
    ASSERT_FALSE(user.empty());
    const std::string otherUser = user == "nobody" ? "root" : "nobody";
    kw::testing::TestFolder folder(false);
    const std::string good = folder.file("accounts");
    kw::testing::writeFile(good, accounts::makeAccountLine(user, kDemoPassword), 0600);
    kw::testing::writeFile(folder.file("open-accounts"), accounts::makeAccountLine(user, kDemoPassword), 0666);
    kw::testing::writeFile(folder.file("plain-accounts"), user + ":" + kDemoPassword + "\n", 0600);
    kw::testing::writeFile(folder.file("others-accounts"), accounts::makeAccountLine(otherUser, kDemoPassword), 0600);
    ASSERT_EQ(symlink("/etc/passwd", folder.file("etc-link").c_str()), 0);

    struct Case {
        const char* name;
        std::string argument; // after the module path
        std::string userName;
        std::string password;
        int expected;
    };
    std::vector<Case> cases = {
        { "good", "accounts=" + good, user, kDemoPassword, PAM_SUCCESS },
        { "wrong password", "accounts=" + good, user, "keepwal", PAM_AUTH_ERR },
        { "name not in the file", "accounts=" + good, otherUser, kDemoPassword, PAM_USER_UNKNOWN },
        { "no accounts argument", "", user, kDemoPassword, PAM_AUTHINFO_UNAVAIL },
        { "relative account file", "accounts=accounts", user, kDemoPassword, PAM_AUTHINFO_UNAVAIL },
        { "missing account file", "accounts=" + folder.file("missing"), user, kDemoPassword, PAM_AUTHINFO_UNAVAIL },
        { "account file is a folder", "accounts=" + folder.path(), user, kDemoPassword, PAM_AUTHINFO_UNAVAIL },
        { "writable by others", "accounts=" + folder.file("open-accounts"), user, kDemoPassword, PAM_AUTHINFO_UNAVAIL },
        { "plain-text password", "accounts=" + folder.file("plain-accounts"), user, kDemoPassword,
          PAM_AUTHINFO_UNAVAIL },
        { "account of someone else than the file's owner", "accounts=" + folder.file("others-accounts"), otherUser,
          kDemoPassword, PAM_AUTHINFO_UNAVAIL },
        // The system's account database would name root; the system's /etc never counts.
        { "file in the system's /etc", "accounts=" + folder.file("etc-link"), "root", "x", PAM_AUTHINFO_UNAVAIL },
    };
    for (const auto& c : cases) {
        kw::testing::writeFile(folder.file("pam.d/keepwall"),
                               "auth required " KW_TEST_SANDBOX_PAM_MODULE " " + c.argument +
                                   "\naccount required " KW_TEST_SANDBOX_PAM_MODULE " " + c.argument + "\n");
        kw::authexec::PamCheckOptions options;
        options.confDir = folder.file("pam.d");
        EXPECT_EQ(kw::authexec::pamCheckPassword(options, c.userName, kw::SecureBuffer(c.password)), c.expected)
            << c.name;
    }
    // A file that resolves into the system's /etc is refused before anything in it is read.
    const auto check = accounts::checkAccount(folder.file("etc-link").c_str(), "root", nullptr);
    EXPECT_EQ(check.verdict, accounts::Verdict::Unavailable);
    EXPECT_NE(check.reason.find("lies in the system's /etc"), std::string::npos) << check.reason;
}

TEST(SandboxAccounts, PathsAndLines)
{
    const std::vector<std::pair<std::string, bool>> etcCases = {
        { "/etc", true },         { "/etc/keepwall/sandbox-accounts", true },
        { "/etcetera/a", false }, { "/tmp/root/etc/keepwall/sandbox-accounts", false },
        { "/", false },           { "/var/etc/x", false },
    };
    for (const auto& [path, inside] : etcCases) {
        EXPECT_EQ(accounts::isInsideSystemEtc(path), inside) << path;
    }

    struct StackCase {
        std::string module;
        std::string accountsPath;
        std::string argument; // empty: refused
    };
    const std::vector<StackCase> stackCases = {
        { "/b/lib/pam_kwsandbox.so", "/r/etc/a", "accounts=/r/etc/a" },
        { "/b/lib/pam_kwsandbox.so", "/my root/etc/a", "[accounts=/my root/etc/a]" },
        { "/b/lib/pam_kwsandbox.so", "/r[1]/etc/a", "" },
        { "/my build/lib/pam_kwsandbox.so", "/r/etc/a", "" },
        { "lib/pam_kwsandbox.so", "/r/etc/a", "" },
    };
    for (const auto& c : stackCases) {
        const std::string stack = accounts::stackText(c.module, c.accountsPath);
        if (c.argument.empty()) {
            EXPECT_TRUE(stack.empty()) << c.module << " " << c.accountsPath;
        } else {
            EXPECT_NE(stack.find("\nauth required " + c.module + " " + c.argument + "\n"), std::string::npos) << stack;
            EXPECT_NE(stack.find("\naccount required " + c.module + " " + c.argument + "\n"), std::string::npos)
                << stack;
        }
    }

    EXPECT_TRUE(accounts::makeAccountLine("a:b", kDemoPassword).empty());
    EXPECT_TRUE(accounts::makeAccountLine("a\nb", kDemoPassword).empty());
    EXPECT_TRUE(accounts::makeAccountLine("", kDemoPassword).empty());
    EXPECT_TRUE(accounts::makeAccountLine("alice", "").empty());
    const std::string line = accounts::makeAccountLine("alice", kDemoPassword);
    EXPECT_EQ(line.rfind("alice:$", 0), 0u) << line;
    EXPECT_EQ(line.back(), '\n');
}

TEST_F(PreparedSandbox, RootPathWithSpacesWorks)
{
    kw::testing::TestFolder parent(false);
    const std::string spaced = parent.file("my sandbox");
    ASSERT_EQ(prepareSandbox(spaced).exitStatus, 0);
    setenv("KEEPWALL_ROOT", spaced.c_str(), 1);
    const bool accepted = newController()->validateUsername(user, kw::SecureBuffer(kDemoPassword), { "/usr/bin/id" });
    const bool wrongAccepted = newController()->validateUsername(user, kw::SecureBuffer("nope"), { "/usr/bin/id" });
    setenv("KEEPWALL_ROOT", root.path().c_str(), 1);
    EXPECT_TRUE(accepted);
    EXPECT_FALSE(wrongAccepted);
}

} // namespace

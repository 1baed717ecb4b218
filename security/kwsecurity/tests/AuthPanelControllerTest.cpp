#include <KWSecurity/AuthPanelController.h>

#include "ChildProcess.h"
#include "PrivilegedRunner.h"
#include "TestRoot.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kService = "com.wallworks.Keepwall";
const std::string kAdminPassword = "c0rrect-Horse";
const std::string kGuestPassword = "guest-Pass-7";

// A stand-in for the panel window: types the given answers one after another, pressing OK
// after each, and cancels when they run out.
struct ScriptedPanel {
    struct Answer {
        std::string userName;
        std::string password;
        bool keepInKeychain = false;
    };
    std::vector<Answer> answers;
    int shown = 0;
    int incorrectSheets = 0;
    std::vector<std::string> userNamesAfterSheet;
    bool passwordClearedAfterSheet = true;

    kw::AuthPanelController::PanelRunner runner()
    {
        return [this](kw::AuthPanelController& panel) {
            ++shown;
            EXPECT_TRUE(panel.password().empty());
            EXPECT_FALSE(panel.keychainOption());
            for (const auto& answer : answers) {
                panel.setUserName(answer.userName);
                panel.setPassword(kw::SecureBuffer(answer.password));
                panel.setKeychainOption(answer.keepInKeychain);
                if (panel.okayButtonPressed()) {
                    return kw::AuthPanelController::kModalOk;
                }
                ++incorrectSheets;
                passwordClearedAfterSheet = passwordClearedAfterSheet && panel.password().empty();
                userNamesAfterSheet.push_back(panel.userName());
            }
            return kw::AuthPanelController::kModalAbort;
        };
    }
};

class SandboxAuthorization : public ::testing::Test {
protected:
    void SetUp() override
    {
        admin = kw::testing::loggedInUser();
        ASSERT_FALSE(admin.empty());
        root.addAccount(admin, kAdminPassword);
        root.addAccount("guest", kGuestPassword);
        root.writePamConfig(root.file("etc/pam.d"));
        controller = std::make_unique<kw::AuthPanelController>(kw::makeSandboxRunner(), &keychain);
        controller->setPanelRunner(panel.runner());
    }

    bool namespaces() { return kw::userNamespacesAvailable(); }

    bool authorizeFor(const std::vector<std::string>& paths)
    {
        return controller->validateUsername(admin, kw::SecureBuffer(kAdminPassword), paths);
    }

    std::string collect(const std::string& path, const std::vector<std::string>& args)
    {
        std::vector<std::uint8_t> out;
        controller->runPathAsRoot(path, args, kService, &out);
        return std::string(out.begin(), out.end());
    }

    kw::testing::TestFolder root;
    kw::KWKeychain keychain { kw::KeychainKind::SandboxFile };
    ScriptedPanel panel;
    std::unique_ptr<kw::AuthPanelController> controller;
    std::string admin;
};

#define REQUIRE_USER_NAMESPACES()                                                                                      \
    if (!namespaces()) {                                                                                               \
        GTEST_SKIP() << "user namespaces are not available here; the sandbox runner cannot start programs";            \
    }

TEST_F(SandboxAuthorization, PanelIsPrepared)
{
    EXPECT_EQ(controller->message(),
              "You need an administrator name and password\nor phrase to make changes in kwsecurity_tests");
    EXPECT_EQ(controller->userName(), admin);
    EXPECT_FALSE(controller->shouldStoreInKeychain());
}

TEST_F(SandboxAuthorization, RightsTestNeverAsks)
{
    kw::testing::LogLines log;
    EXPECT_FALSE(controller->isAuthenticatedforPaths({ "/usr/bin/id" }));
    EXPECT_TRUE(log.contains("Is Authorized==-60007"));
    EXPECT_EQ(panel.shown, 0);
    EXPECT_TRUE(controller->isAuthenticatedforPaths({}));
}

TEST_F(SandboxAuthorization, ValidateHoldsRightsUntilDeauthenticate)
{
    const std::vector<std::string> paths = { "/usr/bin/id", "/bin/sh" };
    EXPECT_TRUE(authorizeFor(paths));
    EXPECT_TRUE(controller->isAuthenticatedforPaths(paths));
    EXPECT_TRUE(controller->isAuthenticatedforPaths({ "/bin/sh" }));
    EXPECT_FALSE(controller->isAuthenticatedforPaths({ "/bin/sh", "/usr/bin/env" }));
    controller->setPassword(kw::SecureBuffer("typed"));
    controller->deauthenticate();
    EXPECT_TRUE(controller->password().empty());
    EXPECT_FALSE(controller->isAuthenticatedforPaths({ "/usr/bin/id" }));
    EXPECT_FALSE(controller->isAuthenticatedforPaths({ "/bin/sh" }));
}

struct RefusalCase {
    const char* name;
    std::string userName;
    std::string password;
    const char* logged;
};

TEST_F(SandboxAuthorization, RefusedCredentialsGrantNothingAndRunNothing)
{
    const std::vector<RefusalCase> cases = {
        { "wrong password", admin, "wrong-password", "Authentication of" },
        { "unknown user", "nosuchuser", kAdminPassword, "Authentication of nosuchuser failed" },
        { "not an administrator", "guest", kGuestPassword, "guest is not an administrator" },
        { "overlong password", admin, std::string(300, 'x'), "Refusing a password longer than 255 bytes" },
        { "empty password", admin, "", "Refusing an empty password" },
        { "bad user name", "-rf", kAdminPassword, "Refusing an unacceptable user name" },
    };
    const std::string marker = root.file("ran");
    for (const auto& c : cases) {
        kw::testing::LogLines log;
        EXPECT_FALSE(controller->validateUsername(c.userName, kw::SecureBuffer(c.password), { "/usr/bin/touch" }))
            << c.name;
        EXPECT_TRUE(log.contains(c.logged)) << c.name << "\n" << log.joined();
        EXPECT_TRUE(log.contains("Is Authorized==")) << c.name;
        EXPECT_FALSE(controller->isAuthenticatedforPaths({ "/usr/bin/touch" })) << c.name;
        controller->runPathAsRoot("/usr/bin/touch", { marker }, kService);
        EXPECT_TRUE(log.contains("Refusing to run /usr/bin/touch: no right to run it as root is held")) << c.name;
        EXPECT_TRUE(log.contains("AuthorizationExecuteWithPrivileges returned error: -60005")) << c.name;
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << c.name;
        if (!c.password.empty()) {
            EXPECT_FALSE(log.contains(c.password)) << c.name;
        }
    }
}

TEST_F(SandboxAuthorization, KeychainCredentialsThatWorkNeedNoPanel)
{
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer(kAdminPassword), admin, kService, nullptr));
    kw::testing::LogLines log;
    EXPECT_TRUE(controller->authenticateForExecutablePaths({ "/usr/bin/id" }, kService));
    EXPECT_EQ(panel.shown, 0);
    EXPECT_TRUE(log.contains("Is Authorized==0"));
    EXPECT_TRUE(controller->isAuthenticatedforPaths({ "/usr/bin/id" }));
    EXPECT_FALSE(log.contains(kAdminPassword));
}

TEST_F(SandboxAuthorization, StaleKeychainCredentialsAreReplacedThroughThePanel)
{
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("old-password"), admin, kService, nullptr));
    panel.answers = { { admin, kAdminPassword, true } };
    kw::testing::LogLines log;
    EXPECT_TRUE(controller->authenticateForExecutablePaths({ "/usr/bin/id" }, kService));
    EXPECT_EQ(panel.shown, 1);
    EXPECT_TRUE(log.contains("Stored Password")) << log.joined();
    const auto stored = keychain.findAuthorizationForService(kService);
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->password.equals(kAdminPassword));
    EXPECT_FALSE(log.contains(kAdminPassword));
    EXPECT_FALSE(log.contains("old-password"));
}

TEST_F(SandboxAuthorization, StaleKeychainCredentialsWithoutKeepingAreRemoved)
{
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("old-password"), admin, kService, nullptr));
    panel.answers = { { admin, kAdminPassword, false } };
    EXPECT_TRUE(controller->authenticateForExecutablePaths({ "/usr/bin/id" }, kService));
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
}

TEST_F(SandboxAuthorization, PanelCredentialsAreStoredOnlyWhenAsked)
{
    panel.answers = { { admin, kAdminPassword, false } };
    EXPECT_TRUE(controller->authenticateForExecutablePaths({ "/usr/bin/id" }, kService));
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
    controller->deauthenticate();
    panel.answers = { { admin, kAdminPassword, true } };
    EXPECT_TRUE(controller->authenticateForExecutablePaths({ "/usr/bin/id" }, kService));
    EXPECT_TRUE(keychain.findAuthorizationForService(kService));
}

TEST_F(SandboxAuthorization, CancelLeavesHeldRightsAsTheyWere)
{
    ASSERT_TRUE(authorizeFor({ "/usr/bin/id" }));
    panel.answers = {};
    EXPECT_FALSE(controller->authenticateForExecutablePaths({ "/usr/bin/env" }, kService));
    EXPECT_EQ(panel.shown, 1);
    EXPECT_TRUE(controller->isAuthenticatedforPaths({ "/usr/bin/id" }));
    EXPECT_FALSE(controller->isAuthenticatedforPaths({ "/usr/bin/env" }));
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
}

TEST_F(SandboxAuthorization, WrongPasswordInPanelClearsOnlyThePassword)
{
    panel.answers = { { admin, "typo", true }, { admin, kAdminPassword, true } };
    EXPECT_TRUE(controller->authenticateForExecutablePaths({ "/usr/bin/id" }, kService));
    EXPECT_EQ(panel.shown, 1);
    EXPECT_EQ(panel.incorrectSheets, 1);
    EXPECT_TRUE(panel.passwordClearedAfterSheet);
    EXPECT_EQ(panel.userNamesAfterSheet, std::vector<std::string> { admin });
    // After the panel has handed them over, the typed password is not kept in the field.
    EXPECT_TRUE(controller->password().empty());
}

TEST_F(SandboxAuthorization, NoPanelMeansNoAuthentication)
{
    controller->setPanelRunner(nullptr);
    kw::testing::LogLines log;
    EXPECT_FALSE(controller->authenticateForExecutablePaths({ "/usr/bin/id" }, kService));
    EXPECT_TRUE(log.contains("No authentication panel is available"));
}

TEST_F(SandboxAuthorization, ProgramRunsAsRootInsideTheNamespace)
{
    REQUIRE_USER_NAMESPACES();
    ASSERT_TRUE(authorizeFor({ "/usr/bin/id" }));
    kw::KWFileHandle handle;
    controller->runPathAsRoot("/usr/bin/id", { "-u" }, kService, &handle);
    ASSERT_TRUE(handle.isValid());
    const auto out = handle.readDataToEndOfFile();
    EXPECT_EQ(std::string(out.begin(), out.end()), "0\n");
    int status = -1;
    ASSERT_EQ(waitpid(handle.processIdentifier(), &status, 0), handle.processIdentifier());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(collect("/usr/bin/id", { "-g" }), "0\n");
}

TEST_F(SandboxAuthorization, EmptyArgumentListStartsWithoutArguments)
{
    REQUIRE_USER_NAMESPACES();
    ASSERT_TRUE(authorizeFor({ "/usr/bin/id" }));
    EXPECT_EQ(collect("/usr/bin/id", {}).rfind("uid=0(", 0), 0u);
}

TEST_F(SandboxAuthorization, OnlyTheSystemRootReachesTheProgram)
{
    REQUIRE_USER_NAMESPACES();
    ASSERT_TRUE(authorizeFor({ "/usr/bin/env" }));
    setenv("LD_PRELOAD", "/nonexistent/kw-injected.so", 1);
    setenv("KW_INJECTED", "1", 1);
    setenv("PATH_INJECTED", "/tmp", 1);
    const std::string out = collect("/usr/bin/env", {});
    unsetenv("LD_PRELOAD");
    unsetenv("KW_INJECTED");
    unsetenv("PATH_INJECTED");
    EXPECT_EQ(out, "KEEPWALL_ROOT=" + root.path() + "\n");
}

TEST_F(SandboxAuthorization, OnlyStandardDescriptorsReachTheProgram)
{
    REQUIRE_USER_NAMESPACES();
    ASSERT_TRUE(authorizeFor({ "/bin/sh" }));
    const int inherited = open("/dev/null", O_RDONLY); // deliberately not close-on-exec
    ASSERT_GE(inherited, 0);
    const std::string out = collect("/bin/sh", { "-c", "/usr/bin/ls /proc/$$/fd" });
    close(inherited);
    EXPECT_EQ(out, "0\n1\n2\n");
}

struct ExitCase {
    std::string script;
    std::string logged;
};

TEST_F(SandboxAuthorization, WaitingRunLogsHowTheProgramEnded)
{
    REQUIRE_USER_NAMESPACES();
    ASSERT_TRUE(authorizeFor({ "/bin/sh" }));
    const std::vector<ExitCase> cases = {
        { "exit 0", "/bin/sh executed successfully" },
        { "exit 2", "/bin/sh exited with status 2" },
        { "kill -TERM $$", "/bin/sh terminated from signal 15" },
    };
    for (const auto& c : cases) {
        kw::testing::LogLines log;
        controller->runPathAsRoot("/bin/sh", { "-c", c.script }, kService);
        EXPECT_TRUE(log.contains(c.logged)) << c.script << "\n" << log.joined();
    }
}

TEST_F(SandboxAuthorization, CollectedOutputIsComplete)
{
    REQUIRE_USER_NAMESPACES();
    ASSERT_TRUE(authorizeFor({ "/bin/sh" }));
    // Output written in pieces with pauses between them must all arrive.
    const std::string out =
        collect("/bin/sh", { "-c", "printf abc; sleep 0.2; /usr/bin/head -c 100000 /dev/zero; sleep 0.1; printf xyz" });
    ASSERT_EQ(out.size(), 100006u);
    EXPECT_EQ(out.substr(0, 3), "abc");
    EXPECT_EQ(out.substr(out.size() - 3), "xyz");
    int status = 0;
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
}

TEST_F(SandboxAuthorization, UnauthorizedOrRelativePathsRunNothing)
{
    ASSERT_TRUE(authorizeFor({ "/usr/bin/id" }));
    const std::string marker = root.file("ran");
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "/usr/bin/touch", "Refusing to run /usr/bin/touch: no right to run it as root is held" },
        { "usr/bin/touch", "Refusing to run usr/bin/touch: not a plain absolute path" },
        { "/usr/bin/../bin/touch", "Refusing to run /usr/bin/../bin/touch: not a plain absolute path" },
    };
    for (const auto& [path, logged] : cases) {
        kw::testing::LogLines log;
        kw::KWFileHandle handle;
        controller->runPathAsRoot(path, { marker }, kService, &handle);
        EXPECT_FALSE(handle.isValid());
        std::vector<std::uint8_t> out { 1, 2, 3 };
        controller->runPathAsRoot(path, { marker }, kService, &out);
        EXPECT_TRUE(out.empty());
        controller->runPathAsRoot(path, { marker }, kService);
        EXPECT_TRUE(log.contains(logged)) << log.joined();
        EXPECT_TRUE(log.contains("AuthorizationExecuteWithPrivileges returned error:"));
        EXPECT_NE(access(marker.c_str(), F_OK), 0);
    }
    kw::testing::LogLines log;
    EXPECT_FALSE(controller->validateUsername(admin, kw::SecureBuffer(kAdminPassword), { "bin/touch" }));
    EXPECT_TRUE(log.contains("Refusing rights for bin/touch: not a plain absolute path"));
}

TEST_F(SandboxAuthorization, FailedStartIsLogged)
{
    REQUIRE_USER_NAMESPACES();
    ASSERT_TRUE(authorizeFor({ "/nonexistent/program" }));
    kw::testing::LogLines log;
    std::vector<std::uint8_t> out { 1 };
    controller->runPathAsRoot("/nonexistent/program", {}, kService, &out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(log.contains("AuthorizationExecuteWithPrivileges returned error: -60031")) << log.joined();
}

} // namespace

#include <KWSecurity/AuthPanelController.h>

#include "AuthResult.h"
#include "AuthexecPolicy.h"
#include "AuthexecRequest.h"
#include "ChildProcess.h"
#include "PamCheck.h"
#include "PrivilegedRunner.h"
#include "TestRoot.h"

#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <security/pam_appl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace kw::authexec;

std::string requestBytes(std::initializer_list<std::string_view> fields)
{
    std::string out;
    for (const auto field : fields) {
        out.append(field);
        out.push_back('\0');
    }
    return out;
}

ParseError parse(const std::string& bytes, Request& request)
{
    return parseRequest(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), request);
}

TEST(AuthexecRequest, ParseTable)
{
    struct Case {
        const char* name;
        std::string bytes;
        ParseError expected;
    };
    const std::string longPassword(256, 'p');
    const std::vector<Case> cases = {
        { "check", requestBytes({ "KWAX1", "check", "admin", "pw", "", "0" }), ParseError::None },
        { "exec", requestBytes({ "KWAX1", "exec", "admin", "pw", "/sbin/ipfw", "2", "-q", "flush" }),
          ParseError::None },
        { "empty input", "", ParseError::Truncated },
        { "no final NUL", requestBytes({ "KWAX1", "check", "admin", "pw", "" }) + "0", ParseError::Truncated },
        { "bad magic", requestBytes({ "KWAX2", "check", "admin", "pw", "", "0" }), ParseError::BadMagic },
        { "bad operation", requestBytes({ "KWAX1", "run", "admin", "pw", "", "0" }), ParseError::BadOperation },
        { "user with slash", requestBytes({ "KWAX1", "check", "ad/min", "pw", "", "0" }), ParseError::BadUserName },
        { "user like an option", requestBytes({ "KWAX1", "check", "-admin", "pw", "", "0" }), ParseError::BadUserName },
        { "empty password", requestBytes({ "KWAX1", "check", "admin", "", "", "0" }), ParseError::BadPassword },
        { "overlong password", requestBytes({ "KWAX1", "check", "admin", longPassword, "", "0" }),
          ParseError::BadPassword },
        { "relative path", requestBytes({ "KWAX1", "exec", "admin", "pw", "sbin/ipfw", "0" }), ParseError::BadPath },
        { "dot-dot path", requestBytes({ "KWAX1", "exec", "admin", "pw", "/sbin/../bin/sh", "0" }),
          ParseError::BadPath },
        { "path for check", requestBytes({ "KWAX1", "check", "admin", "pw", "/bin/sh", "0" }), ParseError::BadPath },
        { "count with zero", requestBytes({ "KWAX1", "exec", "admin", "pw", "/bin/sh", "01", "x" }),
          ParseError::BadArgumentCount },
        { "count too big", requestBytes({ "KWAX1", "exec", "admin", "pw", "/bin/sh", "65" }),
          ParseError::BadArgumentCount },
        { "count not a number", requestBytes({ "KWAX1", "exec", "admin", "pw", "/bin/sh", "x" }),
          ParseError::BadArgumentCount },
        { "missing argument", requestBytes({ "KWAX1", "exec", "admin", "pw", "/bin/sh", "2", "a" }),
          ParseError::Truncated },
        { "extra argument", requestBytes({ "KWAX1", "exec", "admin", "pw", "/bin/sh", "1", "a", "b" }),
          ParseError::TrailingBytes },
        { "too large", std::string(kMaxRequestBytes + 1, 'a'), ParseError::TooLarge },
    };
    for (const auto& c : cases) {
        Request request;
        EXPECT_EQ(parse(c.bytes, request), c.expected) << c.name;
        if (c.expected != ParseError::None) {
            EXPECT_TRUE(request.userName.empty() && request.password.empty()) << c.name;
        }
    }
}

TEST(AuthexecRequest, BuildAndParseAgree)
{
    Request request;
    request.operation = Operation::Exec;
    request.userName = "admin";
    request.password = kw::SecureBuffer("p\x01 w:d");
    request.path = "/usr/sbin/natd";
    request.arguments = { "-f", "", "/etc/natd.conf" };
    kw::SecureBuffer bytes;
    ASSERT_TRUE(buildRequest(request, bytes));
    Request back;
    ASSERT_EQ(parseRequest(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), back), ParseError::None);
    EXPECT_EQ(back.userName, request.userName);
    EXPECT_TRUE(back.password.equals(request.password.view()));
    EXPECT_EQ(back.path, request.path);
    EXPECT_EQ(back.arguments, request.arguments);

    request.password = kw::SecureBuffer(std::string(256, 'x'));
    EXPECT_FALSE(buildRequest(request, bytes));
    request.password = kw::SecureBuffer("pw");
    request.arguments = { std::string("a\0b", 3) };
    EXPECT_FALSE(buildRequest(request, bytes));
}

TEST(AuthexecPolicy, RootValue)
{
    EXPECT_EQ(acceptableRootValue(nullptr), std::string());
    EXPECT_EQ(acceptableRootValue(""), std::string());
    EXPECT_EQ(acceptableRootValue("/srv/sandbox"), std::string("/srv/sandbox"));
    EXPECT_EQ(acceptableRootValue("/srv/sandbox/"), std::string("/srv/sandbox/"));
    EXPECT_EQ(acceptableRootValue("srv/sandbox"), std::nullopt);
    EXPECT_EQ(acceptableRootValue("/srv/../etc"), std::nullopt);
    EXPECT_EQ(acceptableRootValue("/srv/a\nb"), std::nullopt);
}

TEST(AuthexecPolicy, AdministratorAccounts)
{
    EXPECT_TRUE(isAdministratorAccount("root"));
    EXPECT_FALSE(isAdministratorAccount("kw-no-such-user"));
    EXPECT_FALSE(isAdministratorAccount("nobody"));
}

TEST(AuthexecPolicy, InstalledListHasNoGeneralRootShell)
{
    const auto& list = installedAllowList();
    EXPECT_EQ(std::count(list.begin(), list.end(), "/usr/bin/sudo"), 0);
    EXPECT_EQ(std::count(list.begin(), list.end(), "/sbin/ipfw"), 1);
    for (const auto& path : list) {
        EXPECT_TRUE(isNormalAbsolutePath(path)) << path;
    }
}

// A folder for the test programs whose whole chain of folders belongs to root (or to whoever
// runs the tests), is writable by nobody else and lies on a file system that runs programs.
// As root it is a fresh folder under /run (else /var/lib), so the tests do not depend on where
// the build folder lies: a checkout may sit below folders others can write. Otherwise only
// the build folder can qualify, and the tests skip when it does not. Tear-down removes it.
class TrustedFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        owners = { 0, geteuid() };
        std::vector<std::string> parents;
        if (geteuid() == 0) {
            parents = { "/run", "/var/lib" };
        }
        parents.push_back(KW_TEST_TRUSTED_DIR);
        std::string refusals;
        for (const auto& parent : parents) {
            std::string reason;
            if (makeTrustedFolder(parent, reason)) {
                break;
            }
            refusals += "\n  " + parent + ": " + reason;
        }
        if (!folder) {
            GTEST_SKIP() << "no folder can hold trusted test programs:" << refusals;
        }
        kwtest::writeFile(folder->file("safe/prog"), "#!/bin/sh\n/usr/bin/touch \"$1\"\n", 0755);
        kwtest::writeFile(folder->file("open/prog"), "#!/bin/sh\n/usr/bin/touch \"$1\"\n", 0755);
        chmod(folder->file("open").c_str(), 0777);
        mkdir(folder->file("links").c_str(), 0755);
        ASSERT_EQ(symlink(folder->file("open/prog").c_str(), folder->file("links/into-open").c_str()), 0);
        ASSERT_EQ(symlink("../safe/prog", folder->file("links/into-safe").c_str()), 0);
        kwtest::writeFile(folder->file("safe/group-writable"), "#!/bin/sh\n", 0775);
        kwtest::writeFile(folder->file("safe/not-executable"), "data", 0644);
    }

    bool makeTrustedFolder(const std::string& parent, std::string& reason)
    {
        try {
            folder = std::make_unique<kwtest::TestFolder>(false, parent);
        } catch (const std::exception&) {
            reason = "cannot make a folder in it";
            return false;
        }
        kwtest::writeFile(folder->file("probe"), "#!/bin/sh\n", 0755);
        const TrustedPathCheck check = checkTrustedExecutable(folder->file("probe"), owners);
        struct statvfs fileSystem {};
        if (!check.trusted) {
            reason = check.reason;
        } else if (statvfs(folder->path().c_str(), &fileSystem) != 0 || (fileSystem.f_flag & ST_NOEXEC) != 0) {
            reason = "its file system does not run programs";
        }
        if (!reason.empty()) {
            folder.reset();
            return false;
        }
        return true;
    }

    std::unique_ptr<kwtest::TestFolder> folder;
    std::set<uid_t> owners;
};

TEST_F(TrustedFolder, PathChecks)
{
    struct Case {
        std::string path;
        bool trusted;
    };
    const std::vector<Case> cases = {
        { "/usr/bin/id", true },
        { folder->file("safe/prog"), true },
        { folder->file("links/into-safe"), true },
        { folder->file("links/into-open"), false },
        { folder->file("open/prog"), false },
        { folder->file("safe/group-writable"), false },
        { folder->file("safe/not-executable"), false },
        { folder->file("safe"), false },
        { folder->file("safe/missing"), false },
        { "usr/bin/id", false },
        { "/usr/bin/../bin/id", false },
        { "/", false },
        { "/tmp/anything", false },
    };
    for (const auto& c : cases) {
        const TrustedPathCheck check = checkTrustedExecutable(c.path, owners);
        EXPECT_EQ(check.trusted, c.trusted) << c.path << ": " << check.reason;
    }
    EXPECT_EQ(checkTrustedExecutable(folder->file("links/into-safe"), owners).resolvedPath, folder->file("safe/prog"));
    // Only root's files count when root alone is trusted and the tests do not run as root.
    if (geteuid() != 0) {
        EXPECT_FALSE(checkTrustedExecutable(folder->file("safe/prog"), { 0 }).trusted);
    }
}

TEST(AuthexecPam, ConversationAgainstTestAccounts)
{
    kwtest::TestFolder folder(false);
    folder.addAccount("alice", "alice-pw");
    folder.writePamConfig(folder.file("pam.d"));
    PamCheckOptions options;
    options.confDir = folder.file("pam.d");
    EXPECT_EQ(pamCheckPassword(options, "alice", kw::SecureBuffer("alice-pw")), PAM_SUCCESS);
    EXPECT_EQ(pamCheckPassword(options, "alice", kw::SecureBuffer("wrong")), PAM_AUTH_ERR);
    EXPECT_EQ(pamCheckPassword(options, "bob", kw::SecureBuffer("alice-pw")), PAM_USER_UNKNOWN);
    options.service = "kw-no-such-service-and-no-other";
    EXPECT_NE(pamCheckPassword(options, "alice", kw::SecureBuffer("alice-pw")), PAM_SUCCESS);
}

// The starter's test build, driven through the system runner and directly.
class Starter : public TrustedFolder {
protected:
    void SetUp() override
    {
        TrustedFolder::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (geteuid() != 0) {
            GTEST_SKIP() << "the starter must run as root; these tests need root (installed it is setuid root)";
        }
        folder->addAccount("admin", "Adm1n-pass", "users,sudo");
        folder->addAccount("plain", "Pla1n-pass", "users");
        folder->writePamConfig(folder->file("pam.d"));
        kwtest::writeFile(folder->file("allow"), "/usr/bin/id\n/usr/bin/env\n" + folder->file("links/into-open") +
                                                     "\n" + folder->file("safe/prog") + "\n");
        // The starter runs from the trusted folder too, as it would from its installed place.
        starter = folder->file("kw-authexec-testbuild");
        std::error_code error;
        std::filesystem::copy_file(KW_TEST_AUTHEXEC, starter, error);
        ASSERT_FALSE(error) << "cannot copy the starter: " << error.message();
        ASSERT_EQ(chmod(starter.c_str(), 0755), 0);
        controller =
            std::make_unique<kw::AuthPanelController>(kw::makeSystemRunner(starter, { folder->path() }), &keychain);
    }

    // Runs the starter by hand: the given environment and arguments, the request on stdin.
    std::pair<int, std::int32_t> runStarter(const std::vector<std::string>& args, const std::vector<std::string>& env,
                                            const std::string& request, bool stdinIsPipe = true,
                                            const std::vector<std::string>& prefix = {})
    {
        int in[2];
        int status[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(status, O_CLOEXEC), 0);
        EXPECT_EQ(write(in[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
        close(in[1]);
        const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        kw::ChildSpec setup;
        setup.executable = prefix.empty() ? starter : prefix.front();
        setup.argv = prefix;
        setup.argv.push_back(starter);
        setup.argv.insert(setup.argv.end(), args.begin(), args.end());
        setup.environment = env;
        setup.stdinFd = stdinIsPipe ? in[0] : devNull;
        setup.statusFd = status[1];
        const kw::ChildStart started = kw::spawnChild(setup);
        close(in[0]);
        close(devNull);
        close(status[1]);
        EXPECT_EQ(started.error, 0);
        std::int32_t word = 1;
        const ssize_t n = read(status[0], &word, sizeof word);
        close(status[0]);
        int exitStatus = 0;
        waitpid(started.pid, &exitStatus, 0);
        return { WIFEXITED(exitStatus) ? WEXITSTATUS(exitStatus) : -1, n == sizeof word ? word : 1 };
    }

    std::string execRequest(const std::string& user, const std::string& password, const std::string& path,
                            const std::vector<std::string>& args)
    {
        std::string bytes = requestBytes({ "KWAX1", "exec", user, password, path, std::to_string(args.size()) });
        for (const auto& a : args) {
            bytes += a;
            bytes.push_back('\0');
        }
        return bytes;
    }

    std::string starter;
    kwtest::TestFolder sandbox; // KEEPWALL_ROOT, passed on to the program
    kw::KWKeychain keychain { kw::KeychainKind::SandboxFile };
    std::unique_ptr<kw::AuthPanelController> controller;
};

TEST_F(Starter, CredentialChecks)
{
    EXPECT_TRUE(controller->validateUsername("admin", kw::SecureBuffer("Adm1n-pass"), { "/usr/bin/id" }));
    struct Case {
        std::string user;
        std::string password;
    };
    for (const Case& c :
         std::vector<Case> { { "admin", "wrong" }, { "plain", "Pla1n-pass" }, { "ghost", "Adm1n-pass" } }) {
        kwtest::LogLines log;
        EXPECT_FALSE(controller->validateUsername(c.user, kw::SecureBuffer(c.password), { "/usr/bin/env" })) << c.user;
        EXPECT_TRUE(log.contains("Is Authorized==-60005")) << c.user << "\n" << log.joined();
        EXPECT_FALSE(log.contains(c.password));
    }
    EXPECT_FALSE(controller->isAuthenticatedforPaths({ "/usr/bin/env" }));
}

TEST_F(Starter, RunsAllowedProgramAsRootWithOnlyTheRoot)
{
    ASSERT_TRUE(
        controller->validateUsername("admin", kw::SecureBuffer("Adm1n-pass"), { "/usr/bin/id", "/usr/bin/env" }));
    std::vector<std::uint8_t> out;
    controller->runPathAsRoot("/usr/bin/id", { "-u" }, "com.wallworks.Keepwall", &out);
    EXPECT_EQ(std::string(out.begin(), out.end()), "0\n");
    setenv("LD_PRELOAD", "/nonexistent/kw-injected.so", 1);
    controller->runPathAsRoot("/usr/bin/env", {}, "com.wallworks.Keepwall", &out);
    unsetenv("LD_PRELOAD");
    EXPECT_EQ(std::string(out.begin(), out.end()), "KEEPWALL_ROOT=" + sandbox.path() + "\n");
    int status = 0;
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
}

TEST_F(Starter, RefusesProgramsOffTheListOrBehindUnsafeLinks)
{
    const std::string marker = folder->file("ran");
    const std::vector<std::string> paths = { "/usr/bin/touch", folder->file("links/into-open"),
                                             folder->file("safe/prog") };
    ASSERT_TRUE(controller->validateUsername("admin", kw::SecureBuffer("Adm1n-pass"), paths));
    for (const auto& path : { paths[0], paths[1] }) {
        kwtest::LogLines log;
        controller->runPathAsRoot(path, { marker }, "com.wallworks.Keepwall");
        EXPECT_TRUE(log.contains("AuthorizationExecuteWithPrivileges returned error: -60031")) << path << log.joined();
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << path;
    }
    // The same program at its safe place runs.
    kwtest::LogLines log;
    controller->runPathAsRoot(paths[2], { marker }, "com.wallworks.Keepwall");
    EXPECT_TRUE(log.contains(paths[2] + " executed successfully")) << log.joined();
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);
}

TEST_F(Starter, RefusesUnexpectedInvocations)
{
    const std::string marker = folder->file("ran");
    const std::string good = execRequest("admin", "Adm1n-pass", folder->file("safe/prog"), { marker });
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::string request;
        bool stdinIsPipe;
        std::int32_t status;
    };
    const std::vector<Case> cases = {
        { "injected LD_PRELOAD",
          { folder->path() },
          { "LD_PRELOAD=/tmp/evil.so" },
          good,
          true,
          kAuthToolEnvironmentError },
        { "other variable",
          { folder->path() },
          { "KEEPWALL_ROOT=/srv", "PATH=/tmp" },
          good,
          true,
          kAuthToolEnvironmentError },
        { "relative root", { folder->path() }, { "KEEPWALL_ROOT=srv" }, good, true, kAuthToolEnvironmentError },
        { "extra argument", { folder->path(), "more" }, {}, good, true, kAuthToolEnvironmentError },
        { "stdin not a pipe", { folder->path() }, {}, good, false, kAuthToolEnvironmentError },
        { "malformed request", { folder->path() }, {}, "garbage", true, kAuthInvalidSet },
        { "overlong password",
          { folder->path() },
          {},
          execRequest("admin", std::string(300, 'a'), folder->file("safe/prog"), { marker }),
          true,
          kAuthInvalidSet },
        { "wrong password",
          { folder->path() },
          {},
          execRequest("admin", "nope", folder->file("safe/prog"), { marker }),
          true,
          kAuthDenied },
        { "not an administrator",
          { folder->path() },
          {},
          execRequest("plain", "Pla1n-pass", folder->file("safe/prog"), { marker }),
          true,
          kAuthDenied },
        { "relative path",
          { folder->path() },
          {},
          execRequest("admin", "Adm1n-pass", "safe/prog", { marker }),
          true,
          kAuthInvalidSet },
    };
    for (const auto& c : cases) {
        const auto [exitCode, status] = runStarter(c.args, c.env, c.request, c.stdinIsPipe);
        EXPECT_EQ(exitCode, 126) << c.name;
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << c.name;
    }
    // Started by someone else than root, as a starter that is not setuid would be.
    if (access("/usr/bin/setpriv", X_OK) == 0) {
        const auto [exitCode, status] =
            runStarter({ folder->path() }, {}, good, true,
                       { "/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups" });
        EXPECT_EQ(exitCode, 126);
        EXPECT_EQ(status, kAuthToolEnvironmentError);
        EXPECT_NE(access(marker.c_str(), F_OK), 0);
    }
    // And the good request does run.
    const auto [exitCode, status] = runStarter({ folder->path() }, {}, good);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(status, 1); // no word: the status pipe closed on exec
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);
}

} // namespace

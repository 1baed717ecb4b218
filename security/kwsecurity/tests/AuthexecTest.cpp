#include <KWSecurity/AuthPanelController.h>

#include "AuthResult.h"
#include "AuthexecMain.h"
#include "AuthexecPolicy.h"
#include "AuthexecRequest.h"
#include "ChildProcess.h"
#include "PamCheck.h"
#include "PrivilegedRunner.h"
#include "TestRoot.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <security/pam_appl.h>
#include <sstream>
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

TEST(AuthexecPolicy, InstalledCommandLines)
{
    const auto& programs = installedPrograms();
    const auto tool = std::find_if(programs.begin(), programs.end(),
                                   [](const AllowedProgram& p) { return p.rule == ArgumentRule::ToolCommand; });
    ASSERT_NE(tool, programs.end());
    // The tool the starter runs is the one installation puts in place.
    EXPECT_EQ(tool->path, KW_TEST_TOOL_INSTALL_PATH);
    for (const auto& program : programs) {
        EXPECT_TRUE(isNormalAbsolutePath(program.path)) << program.path;
        EXPECT_NE(program.rule, ArgumentRule::Any) << program.path;
    }
    struct Case {
        std::string path;
        std::vector<std::string> arguments;
        bool allowed;
    };
    std::vector<Case> cases = {
        { tool->path, {}, false },
        { tool->path, { "store", "extra" }, false },
        { tool->path, { "clear" }, false },
        { tool->path, { "Store" }, false },
        { tool->path, { "--help" }, false },
        { tool->path, { "" }, false },
        { "/sbin/ipfw", { "-at", "list" }, true },
        { "/sbin/ipfw", { "list" }, true },
        { "/sbin/ipfw", { "-q", "zero" }, true },
        { "/sbin/ipfw", { "-q", "zero", "100" }, true },
        { "/sbin/ipfw", { "-q", "zero", "1" }, true },
        { "/sbin/ipfw", { "-q", "zero", "65535" }, true },
        { "/sbin/ipfw", { "-q", "flush" }, true },
        { "/sbin/ipfw", { "-q", "zero", "0" }, false },
        { "/sbin/ipfw", { "-q", "zero", "65536" }, false },
        { "/sbin/ipfw", { "-q", "zero", "00100" }, false },
        { "/sbin/ipfw", { "-q", "zero", "+100" }, false },
        { "/sbin/ipfw", { "-q", "zero", "100", "200" }, false },
        { "/sbin/ipfw", { "-q", "zero", "100;reboot" }, false },
        { "/sbin/ipfw", { "add", "allow", "ip", "from", "any", "to", "any" }, false },
        { "/sbin/ipfw", { "-q", "add", "65000", "allow", "ip", "from", "any", "to", "any" }, false },
        { "/sbin/ipfw", { "-q", "flush", "-f" }, false },
        { "/sbin/ipfw", { "-at", "list", "100" }, false },
        { "/sbin/ipfw", { "list", "-q" }, false },
        { "/sbin/ipfw", { "/etc/firewall.conf" }, false },
        { "/sbin/ipfw", {}, false },
        { "/usr/sbin/periodic", { "daily" }, true },
        { "/usr/sbin/periodic", { "weekly" }, false },
        { "/usr/sbin/periodic", { "daily", "weekly" }, false },
        { "/usr/sbin/periodic", {}, false },
        // Paths the gateway asks rights for, but which the starter never runs.
        { "/usr/sbin/ipfw", { "list" }, false },
        { "/usr/sbin/sysctl", { "-w", "net.inet.ip.forwarding=1" }, false },
        { "/usr/sbin/sysctl", {}, false },
        { "/bin/kill", { "-HUP", "1" }, false },
        { "/usr/sbin/natd", { "-f", "/etc/natd.conf" }, false },
        { "/usr/bin/sudo", { "-s" }, false },
        { "/bin/sh", {}, false },
    };
    for (const auto& word : toolCommandWords()) {
        cases.push_back({ tool->path, { word }, true });
    }
    EXPECT_EQ(toolCommandWords().size(), 10U);
    for (const auto& c : cases) {
        const AllowedProgram* program = findAllowedProgram(programs, c.path);
        const bool allowed = program != nullptr && argumentsAllowed(program->rule, c.arguments);
        EXPECT_EQ(allowed, c.allowed) << commandLineForLog(c.path, c.arguments);
    }
}

TEST(AuthexecPolicy, LogTextIsEscaped)
{
    struct Case {
        std::string text;
        std::string escaped;
    };
    const std::vector<Case> cases = {
        { "plain text: /sbin/ipfw -q", "plain text: /sbin/ipfw -q" },
        { "a\nkw-authexec: forged", "a\\x0akw-authexec: forged" },
        { "\r\t", "\\x0d\\x09" },
        { "\x1b[2J", "\\x1b[2J" },
        { "back\\slash", "back\\x5cslash" },
        { "\x7f", "\\x7f" },
        { "\xc2\x9b"
          "31m",
          "\\xc2\\x9b31m" },
        { std::string("nul\0byte", 8), "nul\\x00byte" },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escapeForLog(c.text), c.escaped) << c.escaped;
    }
    EXPECT_EQ(commandLineForLog("/sbin/ipfw", { "-q", "zero" }), "\"/sbin/ipfw\" \"-q\" \"zero\"");
    EXPECT_EQ(commandLineForLog("/x", { "a b", "say \"hi\"", "" }), "\"/x\" \"a b\" \"say \\x22hi\\x22\" \"\"");
}

TEST(GuessCounter, DelaysGrowAfterTheFreeAttempts)
{
    using std::chrono::milliseconds;
    const GuessCounter counter("/nonexistent", { 3, milliseconds(1000), milliseconds(8000) });
    const std::vector<std::pair<unsigned, long>> expected = {
        { 0, 0 },    { 1, 0 },    { 3, 0 },    { 4, 1000 },       { 5, 2000 },
        { 6, 4000 }, { 7, 8000 }, { 8, 8000 }, { 1000000, 8000 },
    };
    for (const auto& [failures, delay] : expected) {
        EXPECT_EQ(counter.delayAfter(failures).count(), delay) << failures;
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
        kw::testing::writeFile(folder->file("safe/prog"), "#!/bin/sh\n/usr/bin/touch \"$1\"\n", 0755);
        kw::testing::writeFile(folder->file("open/prog"), "#!/bin/sh\n/usr/bin/touch \"$1\"\n", 0755);
        chmod(folder->file("open").c_str(), 0777);
        mkdir(folder->file("links").c_str(), 0755);
        ASSERT_EQ(symlink(folder->file("open/prog").c_str(), folder->file("links/into-open").c_str()), 0);
        ASSERT_EQ(symlink("../safe/prog", folder->file("links/into-safe").c_str()), 0);
        kw::testing::writeFile(folder->file("safe/group-writable"), "#!/bin/sh\n", 0775);
        kw::testing::writeFile(folder->file("safe/not-executable"), "data", 0644);
    }

    bool makeTrustedFolder(const std::string& parent, std::string& reason)
    {
        try {
            folder = std::make_unique<kw::testing::TestFolder>(false, parent);
        } catch (const std::exception&) {
            reason = "cannot make a folder in it";
            return false;
        }
        kw::testing::writeFile(folder->file("probe"), "#!/bin/sh\n", 0755);
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

    std::unique_ptr<kw::testing::TestFolder> folder;
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

TEST_F(TrustedFolder, FolderChecks)
{
    mkdir(folder->file("others-own").c_str(), 0755);
    ASSERT_EQ(chown(folder->file("others-own").c_str(), 65534, 65534), 0);
    ASSERT_EQ(symlink(folder->file("others-own").c_str(), folder->file("links/to-others-own").c_str()), 0);
    ASSERT_EQ(symlink(folder->file("safe").c_str(), folder->file("links/to-safe").c_str()), 0);
    struct Case {
        std::string path;
        bool trusted;
    };
    const std::vector<Case> cases = {
        { "/", true },
        { "/usr", true },
        { folder->path(), true },
        { folder->file("safe"), true },
        { folder->file("safe/"), true },
        { folder->file("links/to-safe"), true },
        { folder->file("open"), false },
        { folder->file("open/prog"), false },
        { folder->file("safe/prog"), false },
        { folder->file("missing"), false },
        { "/tmp", false },
        { "relative", false },
        { "/usr/../tmp", false },
    };
    for (const auto& c : cases) {
        const TrustedPathCheck check = checkTrustedFolder(c.path, owners);
        EXPECT_EQ(check.trusted, c.trusted) << c.path << ": " << check.reason;
    }
    // Folders of another user count only when that user is trusted.
    EXPECT_FALSE(checkTrustedFolder(folder->file("others-own"), owners).trusted);
    EXPECT_FALSE(checkTrustedFolder(folder->file("links/to-others-own"), owners).trusted);
}

TEST_F(TrustedFolder, GuessRecords)
{
    using std::chrono::milliseconds;
    if (geteuid() != 0) {
        GTEST_SKIP() << "guess records must belong to root";
    }
    using Verdict = AttemptSlot::Verdict;
    const GuessCounter counter(folder->file("state"), { 2, milliseconds(1000), milliseconds(4000) });
    struct Step {
        Verdict verdict;
        unsigned failures;
        bool waits;
    };
    // Two free attempts; the third reserves the fourth a second, the fourth the fifth two
    // more; the sixth would wait behind more than the longest delay and is turned away.
    const std::vector<Step> steps = {
        { Verdict::Proceed, 1, false }, { Verdict::Proceed, 2, false }, { Verdict::Proceed, 3, false },
        { Verdict::Proceed, 4, true },  { Verdict::Proceed, 5, true },  { Verdict::TooManyWaiting, 5, false },
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const AttemptSlot slot = counter.countAttempt("user-a");
        EXPECT_EQ(slot.verdict, steps[i].verdict) << i << ": " << slot.problem;
        EXPECT_EQ(slot.failures, steps[i].failures) << i;
        EXPECT_EQ(slot.wait.count() > 0, steps[i].waits) << i << ": " << slot.wait.count();
    }
    struct stat st {};
    ASSERT_EQ(stat(folder->file("state/user-a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
    EXPECT_EQ(stat(folder->file("state").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700U);
    // Another account has a record of its own; a success clears one.
    EXPECT_EQ(counter.countAttempt("user-b").failures, 1U);
    EXPECT_TRUE(counter.clear("user-a"));
    const AttemptSlot afterSuccess = counter.countAttempt("user-a");
    EXPECT_EQ(afterSuccess.failures, 1U);
    EXPECT_EQ(afterSuccess.wait.count(), 0);
    // A state folder others could change, or a record name with a path in it, is unusable.
    const GuessCounter open(folder->file("open/state"), {});
    EXPECT_EQ(open.countAttempt("user-a").verdict, Verdict::StateUnusable);
    EXPECT_EQ(counter.countAttempt("../user-a").verdict, Verdict::StateUnusable);
    EXPECT_EQ(counter.countAttempt("..").verdict, Verdict::StateUnusable);
}

TEST(AuthexecPam, ConversationAgainstTestAccounts)
{
    kw::testing::TestFolder folder(false);
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

// A system runner whose starter ends without a word (a crash, a loader that fails, a
// starter of another protocol) has started nothing.
TEST(SystemRunner, StarterThatEndsWithoutAnAnswerStartedNothing)
{
    kw::testing::TestFolder folder(false);
    // Both answer a check with success; an exec request gets silence.
    const std::string answerCheck = "#!/bin/sh\nif /bin/grep -aq check; then printf '\\000\\000\\000\\000' >&3; "
                                    "exit 0; fi\n";
    kw::testing::writeFile(folder.file("quiet"), answerCheck + "exit 0\n", 0755);
    kw::testing::writeFile(folder.file("crashing"), answerCheck + "kill -SEGV $$\n", 0755);
    for (const char* name : { "quiet", "crashing" }) {
        kw::KWKeychain keychain { kw::KeychainKind::SandboxFile };
        kw::AuthPanelController controller(kw::makeSystemRunner(folder.file(name)), &keychain);
        ASSERT_TRUE(controller.validateUsername("admin", kw::SecureBuffer("pw"), { "/usr/bin/id" })) << name;
        kw::testing::LogLines log;
        std::vector<std::uint8_t> out;
        controller.runPathAsRoot("/usr/bin/id", {}, "com.wallworks.Keepwall", &out);
        controller.runPathAsRoot("/usr/bin/id", {}, "com.wallworks.Keepwall");
        EXPECT_EQ(std::count_if(
                      log.lines().begin(), log.lines().end(),
                      [](const std::string& line) { return line.find("returned error: -60008") != std::string::npos; }),
                  2)
            << name << "\n"
            << log.joined();
        EXPECT_FALSE(log.contains("executed successfully")) << name;
        EXPECT_FALSE(log.contains("terminated from signal")) << name;
    }
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
        folder->writePamConfig(folder->file("pam.d"), "probe=" + folder->file("pam-probe"));
        // Stand-ins for the tool, ipfw and periodic: they write what they were started with.
        const std::string record = "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > " + folder->file("ran") + "\n";
        for (const char* name : { "tool", "firewall", "periodic" }) {
            kw::testing::writeFile(folder->file(std::string("safe/") + name), record, 0755);
        }
        // Writes its process id, its status line and its limits.
        kw::testing::writeFile(folder->file("safe/state"),
                               "#!/bin/sh\n{ echo $$; cat /proc/$$/stat; cat /proc/$$/limits; } > " +
                                   folder->file("child-state") + "\n",
                               0755);
        kw::testing::writeFile(folder->file("allow"),
                               "/usr/bin/id\n/usr/bin/env\n" + folder->file("links/into-open") + "\n" +
                                   folder->file("safe/prog") + "\n" + folder->file("safe/state") + "\n" +
                                   folder->file("safe/tool") + " tool\n" + folder->file("safe/firewall") +
                                   " firewall\n" + folder->file("safe/periodic") + " periodic\n");
        // The starter runs from the trusted folder too, as it would from its installed place.
        starter = folder->file("kw-authexec-testbuild");
        std::error_code error;
        std::filesystem::copy_file(KW_TEST_AUTHEXEC, starter, error);
        ASSERT_FALSE(error) << "cannot copy the starter: " << error.message();
        ASSERT_EQ(chmod(starter.c_str(), 0755), 0);
        // KEEPWALL_ROOT for the programs: a folder as much root's own as the programs.
        sandbox = std::make_unique<kw::testing::TestFolder>(true, folder->path());
        controller =
            std::make_unique<kw::AuthPanelController>(kw::makeSystemRunner(starter, { folder->path() }), &keychain);
    }

    struct Call {
        Call(std::string requestBytes, std::vector<std::string> environment = {},
             std::vector<std::string> arguments = {}, bool pipe = true)
            : request(std::move(requestBytes))
            , env(std::move(environment))
            , extraArgs(std::move(arguments))
            , stdinIsPipe(pipe)
        {}

        std::string request;
        std::vector<std::string> env;
        std::vector<std::string> extraArgs;
        bool stdinIsPipe = true;
        std::vector<std::string> prefix; // a program that execs the starter with the rest
        bool keepRequestOpen = false;    // the request's pipe stays open for writing
    };

    struct Launch {
        pid_t pid = -1;
        int statusFd = -1;
        int requestFd = -1; // the writing end, when kept open
    };

    struct Outcome {
        int exitCode = -1;               // -1 when it did not exit normally
        std::vector<std::int32_t> words; // what came on the status descriptor
        std::string errorText;           // what it wrote on standard error
        std::chrono::milliseconds took { 0 };
    };

    // Starts the starter by hand: the given environment and arguments, the request on stdin,
    // standard error into errorFile when given.
    Launch launch(const Call& call, const std::string& errorFile = "")
    {
        int in[2];
        int status[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(status, O_CLOEXEC), 0);
        EXPECT_EQ(write(in[1], call.request.data(), call.request.size()), static_cast<ssize_t>(call.request.size()));
        Launch started;
        if (call.keepRequestOpen) {
            started.requestFd = in[1];
        } else {
            close(in[1]);
        }
        const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        kw::ChildSpec setup;
        setup.executable = call.prefix.empty() ? starter : call.prefix.front();
        setup.argv = call.prefix;
        setup.argv.push_back(starter);
        setup.argv.push_back(folder->path());
        setup.argv.insert(setup.argv.end(), call.extraArgs.begin(), call.extraArgs.end());
        setup.environment = call.env;
        setup.stdinFd = call.stdinIsPipe ? in[0] : devNull;
        setup.statusFd = status[1];
        const int savedError = errorFile.empty() ? -1 : dup(STDERR_FILENO);
        if (savedError >= 0) {
            const int file = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            dup2(file, STDERR_FILENO);
            close(file);
        }
        const kw::ChildStart child = kw::spawnChild(setup);
        if (savedError >= 0) {
            dup2(savedError, STDERR_FILENO);
            close(savedError);
        }
        close(in[0]);
        close(devNull);
        close(status[1]);
        EXPECT_EQ(child.error, 0);
        started.pid = child.pid;
        started.statusFd = status[0];
        return started;
    }

    // Reads the status words to end of file and waits for the process.
    Outcome finish(Launch& started)
    {
        Outcome outcome;
        std::int32_t word = 0;
        while (read(started.statusFd, &word, sizeof word) == sizeof word) {
            outcome.words.push_back(word);
        }
        close(started.statusFd);
        if (started.requestFd >= 0) {
            close(started.requestFd);
        }
        int exitStatus = 0;
        waitpid(started.pid, &exitStatus, 0);
        outcome.exitCode = WIFEXITED(exitStatus) ? WEXITSTATUS(exitStatus) : -1;
        return outcome;
    }

    Outcome runStarter(const Call& call)
    {
        const auto begin = std::chrono::steady_clock::now();
        const std::string errorFile = folder->file("stderr");
        Launch started = launch(call, errorFile);
        Outcome outcome = finish(started);
        outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
        outcome.errorText = kw::testing::readFile(errorFile);
        return outcome;
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

    static std::string checkRequest(const std::string& user, const std::string& password)
    {
        return requestBytes({ "KWAX1", "check", user, password, "", "0" });
    }

    // The starter's copy of its log.
    std::string log() const { return kw::testing::readFile(folder->file("log")); }

    // True when the exec word came and nothing after it: the program started.
    static bool started(const Outcome& outcome)
    {
        return outcome.words == std::vector<std::int32_t> { kExecStartingWord };
    }

    static bool refused(const Outcome& outcome, std::int32_t status)
    {
        return outcome.exitCode == 126 && outcome.words == std::vector<std::int32_t> { status };
    }

    std::string starter;
    std::unique_ptr<kw::testing::TestFolder> sandbox; // KEEPWALL_ROOT, passed on to the program
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
        kw::testing::LogLines log;
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
    EXPECT_EQ(std::string(out.begin(), out.end()), "KEEPWALL_ROOT=" + sandbox->path() + "\n");
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
        kw::testing::LogLines log;
        controller->runPathAsRoot(path, { marker }, "com.wallworks.Keepwall");
        EXPECT_TRUE(log.contains("AuthorizationExecuteWithPrivileges returned error: -60031")) << path << log.joined();
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << path;
    }
    // The same program at its safe place runs.
    kw::testing::LogLines log;
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
        Call call;
        std::int32_t status;
    };
    const std::vector<Case> cases = {
        { "injected LD_PRELOAD", { good, { "LD_PRELOAD=/tmp/evil.so" } }, kAuthToolEnvironmentError },
        { "other variable", { good, { "KEEPWALL_ROOT=/srv", "PATH=/tmp" } }, kAuthToolEnvironmentError },
        { "relative root", { good, { "KEEPWALL_ROOT=srv" } }, kAuthToolEnvironmentError },
        { "extra argument", { good, {}, { "more" } }, kAuthToolEnvironmentError },
        { "stdin not a pipe", { good, {}, {}, false }, kAuthToolEnvironmentError },
        { "malformed request", { "garbage" }, kAuthInvalidSet },
        { "overlong password",
          { execRequest("admin", std::string(300, 'a'), folder->file("safe/prog"), { marker }) },
          kAuthInvalidSet },
        { "wrong password", { execRequest("admin", "nope", folder->file("safe/prog"), { marker }) }, kAuthDenied },
        { "not an administrator",
          { execRequest("plain", "Pla1n-pass", folder->file("safe/prog"), { marker }) },
          kAuthDenied },
        { "relative path", { execRequest("admin", "Adm1n-pass", "safe/prog", { marker }) }, kAuthInvalidSet },
    };
    for (const auto& c : cases) {
        const Outcome outcome = runStarter(c.call);
        EXPECT_TRUE(refused(outcome, c.status)) << c.name << ": exit " << outcome.exitCode;
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << c.name;
    }
    // Started by someone else than root, as a starter that is not setuid would be.
    if (access("/usr/bin/setpriv", X_OK) == 0) {
        Call call { good };
        call.prefix = { "/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups" };
        EXPECT_TRUE(refused(runStarter(call), kAuthToolEnvironmentError));
        EXPECT_NE(access(marker.c_str(), F_OK), 0);
    }
    // And the good request does run.
    const Outcome outcome = runStarter({ good });
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(started(outcome));
    EXPECT_EQ(access(marker.c_str(), F_OK), 0);
}

// KEEPWALL_ROOT tells the programs where the system files are, so a root that anyone but
// root can change would let an administrator's password run that person's own programs.
TEST_F(Starter, RefusesRootsOthersCanChange)
{
    const std::string marker = folder->file("marker");
    const std::string good = execRequest("admin", "Adm1n-pass", folder->file("safe/prog"), { marker });
    mkdir(folder->file("users-own").c_str(), 0755);
    ASSERT_EQ(chown(folder->file("users-own").c_str(), 65534, 65534), 0);
    ASSERT_EQ(symlink(folder->file("users-own").c_str(), folder->file("links/to-users-own").c_str()), 0);
    struct Case {
        std::string root;
        bool accepted;
    };
    const std::vector<Case> cases = {
        { "/tmp", false },
        { folder->file("open"), false },
        { folder->file("users-own"), false },
        { folder->file("links/to-users-own"), false },
        { folder->file("missing"), false },
        { sandbox->path(), true },
        { "/", true },
    };
    for (const auto& c : cases) {
        const Outcome outcome = runStarter({ good, { "KEEPWALL_ROOT=" + c.root } });
        if (c.accepted) {
            EXPECT_TRUE(started(outcome)) << c.root;
            EXPECT_EQ(access(marker.c_str(), F_OK), 0) << c.root;
        } else {
            EXPECT_TRUE(refused(outcome, kAuthToolEnvironmentError)) << c.root;
            EXPECT_NE(access(marker.c_str(), F_OK), 0) << c.root;
        }
        unlink(marker.c_str());
    }
    EXPECT_NE(log().find("KEEPWALL_ROOT " + folder->file("users-own")), std::string::npos) << log();
}

// An administrator's password buys only the application's own command lines.
TEST_F(Starter, RunsOnlyTheApplicationsCommandLines)
{
    struct Case {
        std::string program;
        std::vector<std::string> arguments;
        bool runs;
    };
    const std::vector<Case> cases = {
        { "tool", { "store" }, true },
        { "tool", { "sharing-stop" }, true },
        { "tool", { "clear" }, false },
        { "tool", { "store", "--force" }, false },
        { "tool", {}, false },
        { "firewall", { "-at", "list" }, true },
        { "firewall", { "-q", "zero", "100" }, true },
        { "firewall", { "-q", "flush" }, true },
        { "firewall", { "add", "allow", "ip", "from", "any", "to", "any" }, false },
        { "firewall", { "-q", "zero", "100;reboot" }, false },
        { "periodic", { "daily" }, true },
        { "periodic", { "weekly" }, false },
    };
    const std::string ran = folder->file("ran");
    for (const auto& c : cases) {
        const std::string path = folder->file("safe/" + c.program);
        const std::string line = commandLineForLog(path, c.arguments);
        const Outcome outcome = runStarter({ execRequest("admin", "Adm1n-pass", path, c.arguments) });
        if (c.runs) {
            EXPECT_TRUE(started(outcome)) << line;
            std::string expected = path + "\n";
            for (const auto& argument : c.arguments) {
                expected += argument + "\n";
            }
            EXPECT_EQ(kw::testing::readFile(ran), expected) << line;
        } else {
            EXPECT_TRUE(refused(outcome, kAuthToolExecuteFailure)) << line;
            EXPECT_NE(access(ran.c_str(), F_OK), 0) << line;
            EXPECT_NE(log().find(line + " is not a command line this program runs"), std::string::npos) << line;
        }
        unlink(ran.c_str());
    }
}

// A wrong password, a right one of a non-administrator and an unknown name all get the
// same answer, on the same error text, no sooner than the fixed answer time.
TEST_F(Starter, NonAdministratorLooksLikeWrongPassword)
{
    const std::string marker = folder->file("marker");
    struct Case {
        std::string user;
        std::string password;
    };
    const std::vector<Case> cases = { { "admin", "wrong" }, { "plain", "Pla1n-pass" }, { "ghost", "Adm1n-pass" } };
    std::vector<Outcome> outcomes;
    for (const auto& c : cases) {
        outcomes.push_back(runStarter({ execRequest(c.user, c.password, folder->file("safe/prog"), { marker }) }));
        EXPECT_TRUE(refused(outcomes.back(), kAuthDenied)) << c.user;
        // The test build answers refusals 300 ms after the check began.
        EXPECT_GE(outcomes.back().took.count(), 300) << c.user;
        EXPECT_EQ(outcomes.back().errorText, outcomes.front().errorText) << c.user;
        EXPECT_EQ(outcomes.back().errorText.find(c.user), std::string::npos) << outcomes.back().errorText;
    }
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
    // The administrators' log keeps the difference.
    EXPECT_NE(log().find("plain is not an administrator"), std::string::npos) << log();
}

// Each guess is counted and logged before its password is checked; killing the starter
// does not undo that, and the next attempt waits; a success clears the count.
TEST_F(Starter, GuessesAreCountedSlowedAndLogged)
{
    const std::string records = folder->file("state/user-admin");
    // The test build lets three failures go free and then reserves 1 s, 2 s, 4 s...
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(refused(runStarter({ checkRequest("admin", "guess-" + std::to_string(i)) }), kAuthDenied)) << i;
    }
    EXPECT_EQ(kw::testing::readFile(records).substr(0, 2), "4 ");
    // The fifth waits for its slot; it is killed while it waits.
    Launch fifth = launch({ checkRequest("admin", "guess-4") });
    for (int i = 0; i < 500 && log().find("(attempt 5 since the last success") == std::string::npos; ++i) {
        usleep(20000);
    }
    kill(fifth.pid, SIGKILL);
    finish(fifth);
    EXPECT_NE(log().find("uid 0 (root) tries the password of admin (attempt 5 since the last success"),
              std::string::npos)
        << log();
    EXPECT_EQ(kw::testing::readFile(records).substr(0, 2), "5 ");
    // The right password still has to wait its turn, and then clears the count.
    const Outcome sixth = runStarter({ checkRequest("admin", "Adm1n-pass") });
    EXPECT_EQ(sixth.exitCode, 0);
    EXPECT_EQ(sixth.words, std::vector<std::int32_t> { kAuthSuccess });
    EXPECT_NE(log().find("(attempt 6 since the last success, after waiting "), std::string::npos) << log();
    EXPECT_GE(sixth.took.count(), 500);
    EXPECT_EQ(runStarter({ checkRequest("admin", "Adm1n-pass") }).exitCode, 0);
    EXPECT_NE(log().find("(attempt 1 since the last success)"), std::string::npos) << log();
}

// The program starts in a session of its own with the usual limits, whatever the caller
// set; the password is checked in a process that cannot be dumped.
TEST_F(Starter, ChildHasItsOwnSessionAndUsualLimits)
{
    if (access("/usr/bin/prlimit", X_OK) != 0) {
        GTEST_SKIP() << "needs prlimit";
    }
    Call call { execRequest("admin", "Adm1n-pass", folder->file("safe/state"), {}) };
    // Soft limits only ("soft:"): the hard ones can be raised back only with a privilege
    // that some containers withhold even from root.
    call.prefix = { "/usr/bin/prlimit", "--core=unlimited:unlimited", "--fsize=100000:", "--nofile=40:", "--cpu=100:",
                    "--stack=2000000:" };
    const Outcome outcome = runStarter(call);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.errorText;
    EXPECT_TRUE(started(outcome));
    EXPECT_EQ(kw::testing::readFile(folder->file("pam-probe")), "dumpable=0 core=0\n");

    std::istringstream state(kw::testing::readFile(folder->file("child-state")));
    std::string pid;
    std::getline(state, pid);
    std::string statLine;
    std::getline(state, statLine);
    // Fields after the command name: state, parent, process group, session.
    std::istringstream fields(statLine.substr(statLine.rfind(')') + 1));
    std::string processState, parent, group, session;
    fields >> processState >> parent >> group >> session;
    EXPECT_EQ(session, pid);
    EXPECT_EQ(group, pid);
    std::map<std::string, std::string> limits;
    std::string line;
    while (std::getline(state, line)) {
        const auto twoSpaces = line.find("  ");
        if (twoSpaces != std::string::npos) {
            std::istringstream values(line.substr(twoSpaces));
            std::string soft, hard;
            values >> soft >> hard;
            limits[line.substr(0, twoSpaces)] = soft + (line.rfind("Max core", 0) == 0 ? " " + hard : "");
        }
    }
    // Soft limits, and the core limit's hard one. (A hard limit can only be raised with a
    // privilege some containers withhold.)
    const std::vector<std::pair<std::string, std::string>> expected = {
        { "Max core file size", "0 0" }, { "Max file size", "unlimited" }, { "Max open files", "1024" },
        { "Max cpu time", "unlimited" }, { "Max stack size", "8388608" },  { "Max address space", "unlimited" },
    };
    for (const auto& [name, value] : expected) {
        EXPECT_EQ(limits[name], value) << name;
    }

    // A hard limit pushed below the default is raised again, or, where that privilege is
    // missing, the program does not run at all.
    const std::string childState = folder->file("child-state");
    unlink(childState.c_str());
    call.prefix = { "/usr/bin/prlimit", "--fsize=100000" };
    const Outcome lowered = runStarter(call);
    if (started(lowered)) {
        EXPECT_NE(kw::testing::readFile(childState).find("Max file size             unlimited"), std::string::npos);
    } else {
        EXPECT_TRUE(refused(lowered, kAuthInternal));
        EXPECT_NE(access(childState.c_str(), F_OK), 0);
    }
}

TEST_F(Starter, RequestMustArriveInTime)
{
    Call call { "KWAX1" };
    call.keepRequestOpen = true;
    Launch waiting = launch(call);
    // The test build allows one second; a starter that waits for ever is killed after ten.
    struct pollfd pfd {
        waiting.statusFd, POLLIN, 0
    };
    const int ready = poll(&pfd, 1, 10000);
    if (ready == 0) {
        kill(waiting.pid, SIGKILL);
    }
    EXPECT_EQ(ready, 1) << "the starter still waits for the rest of the request";
    const Outcome outcome = finish(waiting);
    EXPECT_TRUE(refused(outcome, kAuthInvalidSet));
    EXPECT_NE(log().find("the request did not arrive in time"), std::string::npos) << log();
}

// Names, paths and arguments from the caller cannot forge log lines or reach a terminal;
// the log names who asked, every check and the whole command line root runs.
TEST_F(Starter, LogLinesAreEscapedAndComplete)
{
    const std::string forged = "\nkw-authexec: admin starts \"/bin/sh\" as root\x1b[2J";
    runStarter({ execRequest("admin", "Adm1n-pass", folder->file("safe/prog") + forged, {}) });
    runStarter({ execRequest("admin", "Adm1n-pass", folder->file("safe/firewall"), { "-q", "zero", forged }) });
    runStarter({ checkRequest("admin", "Adm1n-pass"), { "KW\nforged=1" } });
    runStarter({ checkRequest("admin", "wrong") });
    const std::string marker = folder->file("marker");
    EXPECT_TRUE(
        started(runStarter({ execRequest("admin", "Adm1n-pass", folder->file("safe/prog"), { marker, "a b" }) })));

    const std::string text = log();
    for (const char c : text) {
        EXPECT_TRUE(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f))
            << "raw byte " << static_cast<int>(static_cast<unsigned char>(c)) << " in\n"
            << text;
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        EXPECT_NE(line.rfind("kw-authexec:", 0), 0U) << line;
    }
    const std::vector<std::string> expected = {
        "refused for uid 0 (root): \"" + folder->file("safe/prog") +
            "\\x0akw-authexec: admin starts \\x22/bin/sh\\x22 as root\\x1b[2J\" is not a command line",
        "refused for uid 0: unexpected environment variable KW\\x0aforged",
        "refused for uid 0 (root): authentication of admin failed",
        "uid 0 (root) authenticated as administrator admin",
        "admin starts \"" + folder->file("safe/prog") + "\" \"" + marker + "\" \"a b\" as root for uid 0 (root)",
    };
    for (const auto& piece : expected) {
        EXPECT_NE(text.find(piece), std::string::npos) << piece << "\nin\n" << text;
    }
}

} // namespace

#include <KWSecurity/KWKeychain.h>

#include "CredentialStore.h"
#include "TestRoot.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kService = "com.wallworks.Keepwall";

class SandboxKeychain : public ::testing::Test {
protected:
    kw::testing::TestFolder root;
    kw::KWKeychain keychain { kw::KeychainKind::Automatic };
};

TEST_F(SandboxKeychain, SandboxRootSelectsThePrivateFile)
{
    EXPECT_EQ(keychain.effectiveKind(), kw::KeychainKind::SandboxFile);
    EXPECT_EQ(kw::KWKeychain::keychainCount(), 1);
    EXPECT_NE(kw::KWKeychain::keychainAtIndex(0), nullptr);
    EXPECT_EQ(kw::KWKeychain::keychainAtIndex(1), nullptr);
}

TEST_F(SandboxKeychain, StoreWithoutAttributesThenFind)
{
    kw::testing::LogLines log;
    EXPECT_TRUE(keychain.storePassword(kw::SecureBuffer("pa55word"), "admin", kService, nullptr));
    EXPECT_TRUE(log.contains("Did not set xml data:(null) Errno:0")) << log.joined();
    const auto found = keychain.findAuthorizationForService(kService);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->userName, "admin");
    EXPECT_TRUE(found->password.equals("pa55word"));
    EXPECT_FALSE(found->attributes);

    struct stat st {};
    ASSERT_EQ(stat(kw::sandboxKeychainPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string path = kw::sandboxKeychainPath();
    ASSERT_EQ(stat(path.substr(0, path.rfind('/')).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(path.rfind(root.path(), 0), 0u);
}

TEST_F(SandboxKeychain, StoringAgainReplacesTheOneItem)
{
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("first"), "alice", kService, nullptr));
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("second"), "bob", kService, nullptr));
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("other"), "carol", "other.service", nullptr));
    const auto found = keychain.findAuthorizationForService(kService);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->userName, "bob");
    EXPECT_TRUE(found->password.equals("second"));
    EXPECT_EQ(keychain.findAuthorizationForService("other.service")->userName, "carol");
}

TEST_F(SandboxKeychain, AttributesRoundTrip)
{
    kw::Value attributes;
    attributes.set("note", "kept");
    attributes.set("count", kw::Value::integer(3));
    kw::testing::LogLines log;
    EXPECT_TRUE(keychain.storePassword(kw::SecureBuffer("pw"), "admin", kService, &attributes));
    EXPECT_TRUE(log.contains("attributes set:")) << log.joined();
    const auto found = keychain.findAuthorizationForService(kService);
    ASSERT_TRUE(found && found->attributes);
    EXPECT_EQ(*found->attributes, attributes);
}

TEST_F(SandboxKeychain, RemoveAndMissingItems)
{
    keychain.removeItemForService(kService);
    {
        kw::testing::LogLines log;
        EXPECT_FALSE(keychain.findAuthorizationForService(kService));
        EXPECT_TRUE(log.contains("Find keychain returned -25300")) << log.joined();
    }
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("pw"), "admin", kService, nullptr));
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("pw2"), "other", "keep.me", nullptr));
    keychain.removeItemForService("never.stored");
    EXPECT_TRUE(keychain.findAuthorizationForService(kService));
    keychain.removeItemForService(kService);
    kw::testing::LogLines log;
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
    EXPECT_TRUE(log.contains("Find keychain returned -25300"));
    EXPECT_TRUE(keychain.findAuthorizationForService("keep.me"));
}

TEST_F(SandboxKeychain, AccountWithTrailingZeroReadsBackWithout)
{
    kw::StoredItem item;
    item.account = { 'a', 'd', 'm', 'i', 'n', 0 };
    item.password = kw::SecureBuffer("pw");
    ASSERT_EQ(kw::makeSandboxFileStore()->write(kService, item), 0);
    const auto found = keychain.findAuthorizationForService(kService);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->userName, "admin");
}

TEST_F(SandboxKeychain, OverlongPasswordIsNotStored)
{
    kw::testing::LogLines log;
    EXPECT_FALSE(keychain.storePassword(kw::SecureBuffer(std::string(256, 'p')), "admin", kService, nullptr));
    EXPECT_TRUE(log.contains("Refusing to store a password longer than 255 bytes"));
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
    EXPECT_TRUE(keychain.storePassword(kw::SecureBuffer(std::string(255, 'p')), "admin", kService, nullptr));
}

TEST_F(SandboxKeychain, FileReadableByOthersIsNotTrusted)
{
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("pw"), "admin", kService, nullptr));
    chmod(kw::sandboxKeychainPath().c_str(), 0644);
    kw::testing::LogLines log;
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
    EXPECT_TRUE(log.contains("is not a private file of this user"));
    EXPECT_FALSE(keychain.storePassword(kw::SecureBuffer("pw"), "admin", kService, nullptr));
}

TEST_F(SandboxKeychain, ItemsWithRawData)
{
    const std::vector<std::uint8_t> data(600, 7);
    const auto item = keychain.addItemWithData(data, 0x67656e70u); // 'genp'
    ASSERT_TRUE(item);
    EXPECT_EQ(item->service, "genp");
    const auto back = keychain.getDataForItem(*item);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->size(), 512u);
    EXPECT_FALSE(keychain.getDataForItem(kw::KWKeychainItem { "none" }));
}

// Outside a sandbox without a session bus there is no store at all: nothing is written in
// plain text, and nothing waits for a bus.
TEST(SystemKeychain, WithoutSessionBusNothingIsStored)
{
    const char* root = std::getenv("KEEPWALL_ROOT");
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string savedRoot = root != nullptr ? root : "";
    const std::string savedBus = bus != nullptr ? bus : "";
    unsetenv("KEEPWALL_ROOT");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    kw::KWKeychain keychain;
    EXPECT_EQ(keychain.effectiveKind(), kw::KeychainKind::SecretService);
    EXPECT_EQ(kw::KWKeychain::keychainCount(), 0);
    kw::testing::LogLines log;
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
    EXPECT_TRUE(log.contains("Find keychain returned -25294"));
    EXPECT_FALSE(keychain.storePassword(kw::SecureBuffer("pw"), "admin", kService, nullptr));
    keychain.removeItemForService(kService);
    if (root != nullptr) {
        setenv("KEEPWALL_ROOT", savedRoot.c_str(), 1);
    }
    if (bus != nullptr) {
        setenv("DBUS_SESSION_BUS_ADDRESS", savedBus.c_str(), 1);
    }
}

TEST(SystemKeychain, DeadBusAddressIsNoSecretService)
{
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string saved = bus != nullptr ? bus : "";
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kw-test-bus", 1);
    EXPECT_FALSE(kw::secretServiceAvailable());
    if (bus != nullptr) {
        setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
    } else {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

// Spawns a program with the given environment; its standard output comes back on *out when
// out is given, and the text in input is written to its standard input.
pid_t spawnWith(std::vector<std::string> args, const std::vector<std::string>& env, int* out, const std::string& input)
{
    int outPipe[2] = { -1, -1 };
    int inPipe[2] = { -1, -1 };
    if ((out != nullptr && pipe(outPipe) != 0) || pipe(inPipe) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    }
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, inPipe[1]);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envCopy = env;
    std::vector<char*> envp;
    for (auto& e : envCopy) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    if (!input.empty()) {
        [[maybe_unused]] const ssize_t n = write(inPipe[1], input.data(), input.size());
    }
    close(inPipe[1]);
    if (out != nullptr) {
        close(outPipe[1]);
        *out = outPipe[0];
    }
    return rc == 0 ? pid : -1;
}

void stop(pid_t pid)
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
    }
}

// Starts a private bus with only the given policy (no service folders, so nothing can be
// started on demand) and answers its address.
std::string startPrivateBus(const kw::testing::TestFolder& folder, const std::string& policy, pid_t& daemon)
{
    kw::testing::writeFile(folder.file("bus.conf"),
                           "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><type>session</type><listen>unix:dir=" +
                               folder.path() +
                               "</listen>"
                               "<auth>EXTERNAL</auth><policy context=\"default\">" +
                               policy + "</policy></busconfig>\n");
    int out = -1;
    daemon = spawnWith(
        { "/usr/bin/dbus-daemon", "--config-file=" + folder.file("bus.conf"), "--nofork", "--print-address=1" }, {},
        &out, "");
    std::string address;
    char c;
    while (daemon > 0 && read(out, &c, 1) == 1 && c != '\n') {
        address.push_back(c);
    }
    if (out >= 0) {
        close(out);
    }
    return address;
}

// A private session bus with an unlocked keyring daemon offering the Secret Service, where
// gnome-keyring is installed.
class SecretServiceSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access("/usr/bin/dbus-daemon", X_OK) != 0 || access("/usr/bin/gnome-keyring-daemon", X_OK) != 0) {
            GTEST_SKIP() << "dbus-daemon or gnome-keyring-daemon is not installed; the Secret Service is not exercised";
        }
        const std::string address = startPrivateBus(
            m_busFolder, "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>", m_bus);
        ASSERT_FALSE(address.empty());
        const std::string home = m_home.path();
        mkdir((home + "/run").c_str(), 0700);
        m_keyring = spawnWith({ "/usr/bin/gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets" },
                              { "DBUS_SESSION_BUS_ADDRESS=" + address, "HOME=" + home,
                                "XDG_DATA_HOME=" + home + "/data", "XDG_RUNTIME_DIR=" + home + "/run" },
                              nullptr, "keyring-test-password");
        ASSERT_GT(m_keyring, 0);
        const char* root = std::getenv("KEEPWALL_ROOT");
        m_hadRoot = root != nullptr;
        m_savedRoot = root != nullptr ? root : "";
        unsetenv("KEEPWALL_ROOT");
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        for (int i = 0; i < 100 && !kw::secretServiceAvailable(); ++i) {
            usleep(50000);
        }
        // The daemon takes its bus name before it has made the unlocked login keyring.
        const std::string keyring = home + "/data/keyrings/login.keyring";
        for (int i = 0; i < 100 && access(keyring.c_str(), F_OK) != 0; ++i) {
            usleep(50000);
        }
        if (!kw::secretServiceAvailable() || access(keyring.c_str(), F_OK) != 0) {
            GTEST_SKIP() << "the keyring daemon did not come up on the private bus";
        }
    }

    void TearDown() override
    {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        if (m_hadRoot) {
            setenv("KEEPWALL_ROOT", m_savedRoot.c_str(), 1);
        }
        stop(m_keyring);
        stop(m_bus);
    }

    kw::testing::TestFolder m_home { false };
    kw::testing::TestFolder m_busFolder { false };
    pid_t m_bus = -1;
    pid_t m_keyring = -1;
    bool m_hadRoot = false;
    std::string m_savedRoot;
};

TEST_F(SecretServiceSession, StoreFindReplaceRemove)
{
    kw::KWKeychain keychain;
    ASSERT_EQ(keychain.effectiveKind(), kw::KeychainKind::SecretService);
    EXPECT_EQ(kw::KWKeychain::keychainCount(), 1);
    kw::Value attributes;
    attributes.set("note", "kept");
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("first-pw"), "alice", kService, nullptr));
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("second-pw"), "bob", kService, &attributes));
    const auto found = keychain.findAuthorizationForService(kService);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->userName, "bob");
    EXPECT_TRUE(found->password.equals("second-pw"));
    ASSERT_TRUE(found->attributes);
    EXPECT_EQ(*found->attributes, attributes);
    keychain.removeItemForService(kService);
    kw::testing::LogLines log;
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
    EXPECT_TRUE(log.contains("Find keychain returned -25300"));
}

// A bus that takes the connection but never lets a reply through: the check gives up after
// its short time-out instead of the bus's default 25 seconds, and answers no.
TEST(SystemKeychain, UnresponsiveBusIsNoSecretService)
{
    if (access("/usr/bin/dbus-daemon", X_OK) != 0) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    kw::testing::TestFolder folder(false);
    pid_t daemon = -1;
    const std::string address = startPrivateBus(folder, "<allow send_destination=\"*\"/>", daemon);
    ASSERT_FALSE(address.empty());
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    EXPECT_FALSE(kw::secretServiceAvailable());
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    stop(daemon);
}

// A live session bus that offers no Secret Service (and can start none): the check asks the
// bus and answers no, and nothing is stored.
TEST(SystemKeychain, SessionBusWithoutSecretService)
{
    if (access("/usr/bin/dbus-daemon", X_OK) != 0) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    kw::testing::TestFolder folder(false);
    pid_t daemon = -1;
    const std::string address = startPrivateBus(
        folder, "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>", daemon);
    ASSERT_FALSE(address.empty());

    const char* root = std::getenv("KEEPWALL_ROOT");
    const std::string savedRoot = root != nullptr ? root : "";
    unsetenv("KEEPWALL_ROOT");
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    EXPECT_FALSE(kw::secretServiceAvailable());
    kw::KWKeychain keychain;
    EXPECT_FALSE(keychain.storePassword(kw::SecureBuffer("pw"), "admin", kService, nullptr));
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (root != nullptr) {
        setenv("KEEPWALL_ROOT", savedRoot.c_str(), 1);
    }
    stop(daemon);
}

} // namespace

#include <KWSecurity/KWKeychain.h>

#include "CredentialStore.h"
#include "TestRoot.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

const std::string kService = "com.wallworks.Keepwall";

class SandboxKeychain : public ::testing::Test {
protected:
    kwtest::TestFolder root;
    kw::KWKeychain keychain{kw::KeychainKind::Automatic};
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
    kwtest::LogLines log;
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
    kwtest::LogLines log;
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
        kwtest::LogLines log;
        EXPECT_FALSE(keychain.findAuthorizationForService(kService));
        EXPECT_TRUE(log.contains("Find keychain returned -25300")) << log.joined();
    }
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("pw"), "admin", kService, nullptr));
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("pw2"), "other", "keep.me", nullptr));
    keychain.removeItemForService("never.stored");
    EXPECT_TRUE(keychain.findAuthorizationForService(kService));
    keychain.removeItemForService(kService);
    kwtest::LogLines log;
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
    EXPECT_TRUE(log.contains("Find keychain returned -25300"));
    EXPECT_TRUE(keychain.findAuthorizationForService("keep.me"));
}

TEST_F(SandboxKeychain, AccountWithTrailingZeroReadsBackWithout)
{
    kw::StoredItem item;
    item.account = {'a', 'd', 'm', 'i', 'n', 0};
    item.password = kw::SecureBuffer("pw");
    ASSERT_EQ(kw::makeSandboxFileStore()->write(kService, item), 0);
    const auto found = keychain.findAuthorizationForService(kService);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->userName, "admin");
}

TEST_F(SandboxKeychain, OverlongPasswordIsNotStored)
{
    kwtest::LogLines log;
    EXPECT_FALSE(keychain.storePassword(kw::SecureBuffer(std::string(256, 'p')), "admin", kService, nullptr));
    EXPECT_TRUE(log.contains("Refusing to store a password longer than 255 bytes"));
    EXPECT_FALSE(keychain.findAuthorizationForService(kService));
    EXPECT_TRUE(keychain.storePassword(kw::SecureBuffer(std::string(255, 'p')), "admin", kService, nullptr));
}

TEST_F(SandboxKeychain, FileReadableByOthersIsNotTrusted)
{
    ASSERT_TRUE(keychain.storePassword(kw::SecureBuffer("pw"), "admin", kService, nullptr));
    chmod(kw::sandboxKeychainPath().c_str(), 0644);
    kwtest::LogLines log;
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
    EXPECT_FALSE(keychain.getDataForItem(kw::KWKeychainItem{"none"}));
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
    kwtest::LogLines log;
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

} // namespace

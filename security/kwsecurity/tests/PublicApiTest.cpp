// Uses the library only through its public header and the shared object.
#include <KWSecurity/KWSecurity.h>

#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(PublicApi, ExportedInterfaceIsUsable)
{
    const kw::ByteBuffer abc { 'a', 'b', 'c' };
    EXPECT_EQ(kw::KWMD5StringFromData(&abc), "616263");
    EXPECT_EQ(kw::crc32(abc), 0xCA6598D0u);
    std::string message;
    EXPECT_FALSE(kw::validateIpOrNetworkAddress("10.0.0.0/33", &message));
    EXPECT_EQ(kw::StringFromInAddr(0x7f000001u), "127.0.0.1");
    EXPECT_EQ(kw::securityLocalizedString("NoSuchKey", "fallback"), "fallback");

    char root[] = "/tmp/kwapi-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    setenv("KEEPWALL_ROOT", root, 1);
    kw::AuthPanelController& controller = kw::AuthPanelController::sharedInstance();
    EXPECT_FALSE(controller.isAuthenticatedforPaths({ "/usr/bin/id" }));
    EXPECT_FALSE(kw::KWKeychain::defaultKeychain().findAuthorizationForService("com.wallworks.Keepwall"));
    unsetenv("KEEPWALL_ROOT");
    rmdir(root);
}

TEST(PublicApi, StringTable)
{
    EXPECT_FALSE(kw::setSecurityStringTable("not a plist"));
    ASSERT_TRUE(kw::setSecurityStringTable(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
        "<key>MissingCIDRSubnetMaskErrMsg</key><string>Maske fehlt</string></dict></plist>"));
    std::string message;
    EXPECT_FALSE(kw::validateIpOrNetworkAddress("10.0.0.0/", &message));
    EXPECT_EQ(message, "Maske fehlt");
    kw::setSecurityStringTable("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict/></plist>");
}

} // namespace

// The name databases behind the grammar: the root's files before the host's, the divert
// entry, caching within one set of databases, and host names without the network.
#include "SyntaxTestRoot.h"

#include <gtest/gtest.h>
#include <netdb.h>

namespace kw::test {
namespace {

TEST_F(SyntaxTest, ServicesComeFromTheRootFile)
{
    struct Case {
        const char* name;
        const char* protocol;
        std::optional<std::uint16_t> port;
    };
    const Case cases[] = {
        { "natd", "divert", 8668 },
        { "natd", "tcp", std::nullopt },
        { "http", "tcp", 80 },
        { "www", "tcp", 80 },
        { "www-http", "", 80 },
        { "domain", "udp", 53 },
        { "only-udp", "tcp", std::nullopt },
        { "only-udp", "", 4000 },
        { "data", "tcp", std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "/" + c.protocol);
        EXPECT_EQ(names().servicePort(c.name, c.protocol), c.port);
    }
}

TEST_F(SyntaxTest, RootFileGoesBeforeTheHostDatabase)
{
    write("etc/services", "ssh\t2222/tcp\n");
    NameServices fresh;
    EXPECT_EQ(fresh.servicePort("ssh", "tcp"), 2222);
    // A name the root's file lacks is still answered by the host's database.
    servent* host = getservbyname("telnet", "tcp");
    if (host != nullptr) {
        EXPECT_EQ(fresh.servicePort("telnet", "tcp"), ntohs(static_cast<std::uint16_t>(host->s_port)));
    }
}

TEST_F(SyntaxTest, AnswersAreCachedForTheLifeOfTheDatabases)
{
    EXPECT_EQ(names().servicePort("http", "tcp"), 80);
    EXPECT_EQ(names().protocolNumber("gre"), 47);
    write("etc/services", "http\t8080/tcp\n");
    write("etc/protocols", "gre\t99\n");
    EXPECT_EQ(names().servicePort("http", "tcp"), 80);
    EXPECT_EQ(names().protocolNumber("gre"), 47);
    NameServices fresh;
    EXPECT_EQ(fresh.servicePort("http", "tcp"), 8080);
    EXPECT_EQ(fresh.protocolNumber("gre"), 99);
}

TEST_F(SyntaxTest, ProtocolsByNameAndNumber)
{
    EXPECT_EQ(names().protocolNumber("ip"), 0);
    EXPECT_EQ(names().protocolNumber("TCP"), 6);
    EXPECT_EQ(names().protocolNumber("udp"), 17);
    EXPECT_EQ(names().protocolNumber("nosuchprotocol"), std::nullopt);
    EXPECT_EQ(names().protocolName(6), "tcp");
    EXPECT_EQ(names().protocolName(47), "gre");
}

TEST_F(SyntaxTest, HostAddresses)
{
    EXPECT_EQ(names().hostAddress("10.1"), 0x0a000001u);
    EXPECT_EQ(names().hostAddress("0x7f000001"), 0x7f000001u);
    EXPECT_EQ(names().hostAddress("GATEWAY.test"), 0x0a010203u);
    EXPECT_EQ(names().hostAddress("nohost.invalid"), std::nullopt);
    EXPECT_EQ(names().hostAddress(""), std::nullopt);
}

TEST_F(SyntaxTest, SandboxHostsFileIsReadBeforeTheResolver)
{
    NameServices fresh; // default resolver
    EXPECT_EQ(fresh.hostAddress("server.test"), 0xc0000207u);
}

TEST_F(SyntaxTest, LocalhostResolvesThroughTheSystem)
{
    std::filesystem::remove(root() / "etc/hosts");
    NameServices fresh; // the system resolver reads the host's own hosts file for this name
    EXPECT_EQ(fresh.hostAddress("localhost"), 0x7f000001u);
}

TEST_F(SyntaxTest, UsersByNameAndId)
{
    const auto root = names().userByName("root");
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->uid, 0u);
    const auto byId = names().userById(0);
    ASSERT_TRUE(byId.has_value());
    EXPECT_EQ(byId->name, "root");
    EXPECT_EQ(names().userByName("nosuchuser"), std::nullopt);
}

} // namespace
} // namespace kw::test

// natd's configuration reader: the system's own lines, the common keywords, and refusals that
// name the line.
#include "common/NatdConfiguration.h"

#include "TempRoot.h"

#include "base/AtomicFile.h"
#include "syntax/NameServices.h"

#include <filesystem>
#include <gtest/gtest.h>

using kw::platform::NatdConfiguration;

namespace {

TEST(NatdConfiguration, ReadsTheLinesTheSystemWrites)
{
    NatdConfiguration c;
    std::string error;
    ASSERT_TRUE(c.readText("interface ppp0\ndynamic yes\nuse_sockets yes\nsame_ports yes\n"
                           "redirect_port tcp 10.0.1.2:80 8080\n"
                           "redirect_port udp 10.0.1.2:5000 192.168.1.2:5001\n",
                           "/etc/natd.conf", error))
        << error;
    ASSERT_TRUE(c.validate(error)) << error;
    ASSERT_EQ(c.instances.size(), 1u);
    const auto& i = c.instances[0];
    EXPECT_EQ(i.interfaceName, "ppp0");
    EXPECT_TRUE(i.dynamic);
    EXPECT_TRUE(i.useSockets);
    EXPECT_TRUE(i.samePorts);
    EXPECT_EQ(i.divertPort, 8668);
    ASSERT_EQ(i.redirects.size(), 2u);
    EXPECT_EQ(i.redirects[0].protocol, "tcp");
    EXPECT_EQ(i.redirects[0].targets[0].first, "10.0.1.2");
    EXPECT_EQ(i.redirects[0].targets[0].second.first, 80);
    EXPECT_EQ(i.redirects[0].aliasAddress, "");
    EXPECT_EQ(i.redirects[0].aliasPorts.first, 8080);
    EXPECT_EQ(i.redirects[1].aliasAddress, "192.168.1.2");
    EXPECT_EQ(i.redirects[1].aliasPorts.first, 5001);
}

TEST(NatdConfiguration, AcceptsTheCommonKeywordsAndTheirAbbreviations)
{
    struct Row {
        const char* text;
    };
    const Row rows[] = {
        { "n en0\nm\ns yes\nu no\nl\nd yes\n" },
        { "interface en1\nunregistered_only\nlog no\ndeny_incoming no\nverbose no\n" },
        { "alias_address 158.152.17.1\nredirect_address 10.0.0.8 0.0.0.0\n" },
        { "interface en0\nport 8669\nredirect_port tcp 192.168.0.2:6667 6667\n" },
        { "interface en0\nredirect_port tcp 10.0.0.1:2300-2399 3300-3399\n" },
        { "interface en0\nredirect_port tcp 10.0.0.1:80,10.0.0.2:80 8080\n" },
        { "interface en0\nredirect_port tcp 10.0.0.1:80 8080 172.16.0.5:1024-2047\n" },
        { "interface en0\nredirect_proto gre 10.0.0.5\n" },
        { "interface en0\npunch_fw 5000:100\nexit_delay 0\nlog_facility local1\n" },
        { "instance default\ninterface en0\nport 8668\n\ninstance second\ninterface en1\nport 8669\n" },
        { "  interface   en0   \t\n# only a comment\n\t\n" },
    };
    for (const auto& row : rows) {
        NatdConfiguration c;
        std::string error;
        EXPECT_TRUE(c.readText(row.text, "cfg", error) && c.validate(error)) << row.text << ": " << error;
    }
}

TEST(NatdConfiguration, RefusesWithTheLineNumber)
{
    struct Row {
        const char* text;
        const char* error;
    };
    const Row rows[] = {
        { "interface en0\nbogus yes\n", "cfg:2: unknown keyword 'bogus'" },
        { "\n\n\nsame_ports please\n", "cfg:4: same_ports: expected yes or no, not 'please'" },
        { "interface\n", "cfg:1: interface: a value is required" },
        { "interface en0 en1\n", "cfg:1: interface: expected one value, not 'en0 en1'" },
        { "alias_address 10.0.0\n", "cfg:1: alias_address: invalid address '10.0.0'" },
        { "port nosuchservice\n", "cfg:1: port: unknown service 'nosuchservice'" },
        { "redirect_port tcp 10.0.1.2:0 8080\n", "cfg:1: redirect_port: invalid target" },
        { "redirect_port tcp 10.0.1.2:80 70000\n", "cfg:1: redirect_port: invalid public port '70000'" },
        { "redirect_port tcp 10.0.1.2:80 8080 10.0.0\n", "cfg:1: redirect_port: invalid remote address" },
        { "redirect_port tcp 10.0.1.2:80,10.0.1.3:80 8080-8081\n", "several targets need a single public port" },
        { "redirect_address 10.0.0.8\n", "cfg:1: redirect_address: expected" },
        { "instance a\ninstance a\n", "cfg:2: instance: 'a' is given twice" },
        { "f /etc/other.conf\n", "cfg:1: config: a configuration file cannot name another" },
        { "punch_fw 5000\n", "cfg:1: punch_fw: expected" },
    };
    for (const auto& row : rows) {
        NatdConfiguration c;
        std::string error;
        EXPECT_FALSE(c.readText(row.text, "cfg", error)) << row.text;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.error << " / " << error;
    }
    NatdConfiguration twoOnOnePort;
    std::string error;
    ASSERT_TRUE(twoOnOnePort.readText("instance a\ninterface en0\ninstance b\ninterface en1\n", "cfg", error));
    EXPECT_FALSE(twoOnOnePort.validate(error));
    EXPECT_NE(error.find("the same divert port 8668"), std::string::npos) << error;
}

TEST(NatdConfiguration, NamesTheDivertPortFromTheRootsServices)
{
    kw::testing::TempRoot root;
    root.writeFile("/etc/services", "natd\t\t8668/divert\nmynat\t\t8700/divert\nhttp\t80/tcp www # web\n"
                                    "alt\t8008/udp\nalt\t8080/tcp\n");
    NatdConfiguration c;
    std::string error;
    ASSERT_TRUE(c.readText("interface en0\nport mynat\nredirect_port tcp 10.0.0.1:http 8080\n"
                           "redirect_port tcp 10.0.0.2:www 81\nredirect_port tcp 10.0.0.3:alt 82\n",
                           "cfg", error))
        << error;
    EXPECT_EQ(c.instances[0].divertPort, 8700);
    ASSERT_EQ(c.instances[0].redirects.size(), 3u);
    EXPECT_EQ(c.instances[0].redirects[0].targets[0].second.first, 80);
    // An alias, and the entry of the redirect's own protocol: as the rule grammar reads them.
    EXPECT_EQ(c.instances[0].redirects[1].targets[0].second.first, 80);
    EXPECT_EQ(c.instances[0].redirects[2].targets[0].second.first, 8080);
    kw::NameServices names;
    EXPECT_EQ(names.servicePort("alt", "tcp"), 8080);
    EXPECT_EQ(names.servicePort("mynat", "divert"), 8700);
}

// Real-world natd files: each either reads or is refused with a line-numbered message.
TEST(NatdConfiguration, ReadsOrRefusesEveryCorpusFile)
{
    const std::filesystem::path corpus = KW_CORPUS_DIR;
    if (!std::filesystem::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("natd-", 0) != 0) {
            continue;
        }
        ++files;
        std::string text;
        ASSERT_TRUE(kw::readFile(entry.path().string(), text));
        NatdConfiguration c;
        std::string error;
        if (!c.readText(text, name, error)) {
            EXPECT_EQ(error.rfind(name + ":", 0), 0u) << error;
            const auto line = std::atoi(error.c_str() + name.size() + 1);
            EXPECT_GT(line, 0) << error;
        }
    }
    EXPECT_GT(files, 0);
}

} // namespace

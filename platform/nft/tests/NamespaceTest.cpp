// Real packets through the kernel backend: a "host" namespace under Keepwall's control and a
// "peer" namespace joined to it by a veth pair. Traffic goes only between the two; both are
// removed when the test ends, whatever its outcome.
#include "testsupport/TempRoot.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kHostAddress = "10.77.1.1";
constexpr const char* kPeerAddress = "10.77.1.2";
constexpr int kWaitMs = 1500;

int shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

std::string capture(const std::string& command, int& status)
{
    std::string out;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        status = -1;
        return out;
    }
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    const int rc = ::pclose(p);
    status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// A socket made in a named namespace; it stays there whichever namespace the test runs in.
int socketIn(const std::string& ns, int type, int protocol)
{
    const int self = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    int fd = -1;
    if (self >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0) {
        fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
        if (::setns(self, CLONE_NEWNET) != 0) {
            std::abort(); // never run on in a foreign namespace
        }
    }
    if (self >= 0) {
        ::close(self);
    }
    if (target >= 0) {
        ::close(target);
    }
    return fd;
}

sockaddr_in endpoint(const char* address, int port)
{
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

bool readable(int fd)
{
    pollfd p { fd, POLLIN, 0 };
    return ::poll(&p, 1, kWaitMs) == 1;
}

class KernelBackendTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to make network namespaces";
        }
        const std::string id = std::to_string(::getpid());
        m_host = "kwt-host-" + id;
        m_peer = "kwt-peer-" + id;
        if (shell("ip netns add " + m_host) != 0) {
            GTEST_SKIP() << "cannot make a network namespace (ip netns add)";
        }
        m_made = true;
        const bool ok = shell("ip netns add " + m_peer) == 0 &&
                        shell("ip -n " + m_host + " link add kwa0 type veth peer name kwb0 netns " + m_peer) == 0 &&
                        shell("ip -n " + m_host + " addr add " + kHostAddress + "/24 dev kwa0") == 0 &&
                        shell("ip -n " + m_peer + " addr add " + kPeerAddress + "/24 dev kwb0") == 0 &&
                        shell("ip -n " + m_host + " link set kwa0 up") == 0 &&
                        shell("ip -n " + m_peer + " link set kwb0 up") == 0 &&
                        shell("ip -n " + m_host + " link set lo up") == 0;
        ASSERT_TRUE(ok) << "cannot build the namespace test bed";
        int status = 0;
        const std::string out = capture(
            std::string(KW_PLATFORM_BIN) + "/kw-sandbox --kernel nftables:" + m_host + " " + m_root.path(), status);
        ASSERT_EQ(status, 0) << out;
    }

    void TearDown() override
    {
        if (m_made) {
            shell("ip netns del " + m_host);
            shell("ip netns del " + m_peer);
        }
    }

    std::string ipfw(const std::string& args, int& status)
    {
        return capture("KEEPWALL_ROOT=" + m_root.path() + " " + m_root.path() + "/sbin/ipfw " + args, status);
    }

    void writeRules(const std::string& text)
    {
        std::filesystem::create_directories(m_root.path() + "/etc");
        std::ofstream(m_root.path() + "/etc/kw.rules") << text;
    }

    bool tcpConnects(int port, bool& refused)
    {
        const int listener = socketIn(m_host, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in at = endpoint(kHostAddress, port);
        EXPECT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
        ::listen(listener, 4);
        const int client = socketIn(m_peer, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(client, reinterpret_cast<const sockaddr*>(&at), sizeof at);
        pollfd p { client, POLLOUT, 0 };
        int error = ETIMEDOUT;
        if (::poll(&p, 1, kWaitMs) == 1) {
            socklen_t len = sizeof error;
            ::getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &len);
        }
        ::close(client);
        ::close(listener);
        refused = error == ECONNREFUSED;
        return error == 0;
    }

    // Sends one echo request from the peer; true when the host answers.
    bool pingAnswered()
    {
        const int fd = socketIn(m_peer, SOCK_RAW, IPPROTO_ICMP);
        icmphdr echo {};
        echo.type = ICMP_ECHO;
        echo.un.echo.id = htons(0x4b57);
        std::uint32_t sum = 0;
        const auto* words = reinterpret_cast<const std::uint16_t*>(&echo);
        for (std::size_t i = 0; i < sizeof echo / 2; ++i) {
            sum += words[i];
        }
        sum = (sum & 0xffff) + (sum >> 16);
        echo.checksum = static_cast<std::uint16_t>(~(sum + (sum >> 16)));
        const sockaddr_in to = endpoint(kHostAddress, 0);
        ::sendto(fd, &echo, sizeof echo, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        bool answered = false;
        for (int tries = 0; tries < 4 && !answered && readable(fd); ++tries) {
            unsigned char buf[256];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            const std::size_t header = n > 0 ? static_cast<std::size_t>(buf[0] & 0x0f) * 4 : 0;
            answered = n > 0 && static_cast<std::size_t>(n) > header && buf[header] == ICMP_ECHOREPLY;
        }
        ::close(fd);
        return answered;
    }

    // The host sends a datagram to the peer, which answers it; true when the answer arrives.
    bool udpAnswerComesBack()
    {
        const int peer = socketIn(m_peer, SOCK_DGRAM, 0);
        const sockaddr_in peerAt = endpoint(kPeerAddress, 5300);
        ::bind(peer, reinterpret_cast<const sockaddr*>(&peerAt), sizeof peerAt);
        const int host = socketIn(m_host, SOCK_DGRAM, 0);
        ::sendto(host, "q", 1, 0, reinterpret_cast<const sockaddr*>(&peerAt), sizeof peerAt);
        bool back = false;
        if (readable(peer)) {
            char c = 0;
            sockaddr_in from {};
            socklen_t len = sizeof from;
            ::recvfrom(peer, &c, 1, 0, reinterpret_cast<sockaddr*>(&from), &len);
            ::sendto(peer, "a", 1, 0, reinterpret_cast<const sockaddr*>(&from), len);
            back = readable(host);
        }
        ::close(peer);
        ::close(host);
        return back;
    }

    // The packet count the listing shows for a rule number, or -1.
    long long listedPackets(const std::string& listing, const std::string& number)
    {
        std::istringstream in(listing);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(number + " ", 0) == 0) {
                return std::stoll(line.substr(number.size() + 1));
            }
        }
        return -1;
    }

    bool hostHasOurTable()
    {
        int status = 0;
        return capture("ip netns exec " + m_host + " nft list tables", status).find("table inet keepwall") !=
               std::string::npos;
    }

    kw::testing::TempRoot m_root;
    std::string m_host;
    std::string m_peer;
    bool m_made = false;
};

const char* const kQuickSetting = "-f flush\n"
                                  "add 100 check-state\n"
                                  "add 1000 allow tcp from any to me 22 in via kwa0 setup\n"
                                  "add 1100 reset tcp from any to me 23 in\n"
                                  "add 1200 allow udp from me to any out keep-state\n"
                                  "add 1300 deny udp from any to any in\n"
                                  "add 1400 deny icmp from any to me in icmptypes 8\n";

TEST_F(KernelBackendTest, EnforcesTheRulesOnRealPackets)
{
    bool refused = false;
    ASSERT_TRUE(pingAnswered()) << "the test bed does not pass packets before any rule";
    writeRules(kQuickSetting);
    int status = 0;
    std::string out = ipfw("-q /etc/kw.rules", status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_TRUE(hostHasOurTable());

    EXPECT_TRUE(tcpConnects(22, refused)) << "ssh from the peer";
    EXPECT_FALSE(tcpConnects(23, refused));
    EXPECT_TRUE(refused) << "telnet is answered with a reset";
    EXPECT_FALSE(pingAnswered());
    EXPECT_FALSE(pingAnswered());
    EXPECT_TRUE(udpAnswerComesBack()) << "answers to the host's own datagrams pass through keep-state";

    out = ipfw("-at list", status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(listedPackets(out, "01400"), 2) << out;
    EXPECT_EQ(listedPackets(out, "01100"), 1) << out;
    EXPECT_GE(listedPackets(out, "01200"), 2) << out; // the datagram out and its answer
    EXPECT_EQ(listedPackets(out, "01300"), 0) << out;

    out = ipfw("-q zero 1400", status);
    ASSERT_EQ(status, 0) << out;
    out = ipfw("-at list", status);
    EXPECT_EQ(listedPackets(out, "01400"), 0) << out;
    EXPECT_EQ(listedPackets(out, "01100"), 1) << out;
}

TEST_F(KernelBackendTest, BadFileLeavesTheRulesInForceAndFlushOpensTheHost)
{
    writeRules(kQuickSetting);
    int status = 0;
    std::string out = ipfw("-q /etc/kw.rules", status);
    ASSERT_EQ(status, 0) << out;
    writeRules("-f flush\nadd 100 allow ip from any to any\nadd 200 divert 8668 ip from any to any via kwa0\n");
    out = ipfw("-q /etc/kw.rules", status);
    EXPECT_EQ(status, 64);
    EXPECT_NE(out.find("ipfw: Line 3: the kernel backend cannot enforce divert"), std::string::npos) << out;
    EXPECT_FALSE(pingAnswered()) << "the earlier rules still deny echo requests";
    out = ipfw("-at list", status);
    EXPECT_NE(listedPackets(out, "01400"), -1) << out;

    out = ipfw("-f flush", status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_FALSE(hostHasOurTable());
    EXPECT_TRUE(pingAnswered());
}

TEST_F(KernelBackendTest, ForwardingSwitchIsTheNamespaces)
{
    int status = 0;
    const std::string out =
        capture("KEEPWALL_ROOT=" + m_root.path() + " " + m_root.path() + "/usr/sbin/sysctl -w net.inet.ip.forwarding=1",
                status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(capture("ip netns exec " + m_host + " cat /proc/sys/net/ipv4/ip_forward", status), "1\n");
    EXPECT_EQ(capture("ip netns exec " + m_peer + " cat /proc/sys/net/ipv4/ip_forward", status), "0\n");
}

// Every corpus rule the grammar and the backend accept loads into the kernel.
TEST_F(KernelBackendTest, CorpusRulesLoadIntoTheKernel)
{
    const std::filesystem::path corpus = KEEPWALL_CORPUS_DIR;
    if (!std::filesystem::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    int loaded = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        if (entry.path().filename().string().rfind("rules-", 0) != 0) {
            continue;
        }
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            const auto at = line.find("add ");
            if (at == std::string::npos) {
                continue;
            }
            std::string rule = line.substr(at);
            std::erase(rule, '\'');
            std::erase(rule, '"');
            writeRules("-f flush\n" + rule + "\n");
            int status = 0;
            const std::string out = ipfw("-q /etc/kw.rules", status);
            // Refused by the grammar (64 with its message) or by the backend (its message); never
            // a kernel failure.
            EXPECT_NE(status, 71) << rule << "\n" << out;
            if (status == 0) {
                ++loaded;
            }
        }
    }
    EXPECT_GT(loaded, 0);
}

} // namespace

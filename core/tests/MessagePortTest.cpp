#include "base/MessagePort.h"
#include "TempRoot.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

kw::MessagePortReply request(int id, std::chrono::milliseconds timeout = 3000ms)
{
    return kw::MessagePortClient::sendRequest("KWConfigServer", id, ::getuid(), timeout, timeout);
}

} // namespace

TEST(MessagePort, AnswersOneRequestByMessageId)
{
    kw::testing::TempRoot root;
    for (const int id : { 1, 2, 7 }) {
        kw::MessagePortServer server("KWConfigServer");
        ASSERT_TRUE(server.isValid());
        std::thread serving([&] {
            EXPECT_TRUE(server.serveOne(
                [](int got) -> std::optional<std::string> {
                    if (got == 7) {
                        return std::nullopt;
                    }
                    return "reply " + std::to_string(got);
                },
                5s));
        });
        const auto reply = request(id);
        serving.join();
        EXPECT_TRUE(reply.portFound);
        EXPECT_EQ(reply.status, kw::kMessagePortSuccess);
        if (id == 7) {
            EXPECT_FALSE(reply.data.has_value());
        } else {
            EXPECT_EQ(reply.data, "reply " + std::to_string(id));
        }
    }
}

TEST(MessagePort, NoServerMeansNoPortAndNoWait)
{
    kw::testing::TempRoot root;
    const auto start = std::chrono::steady_clock::now();
    const auto reply = request(1);
    EXPECT_FALSE(reply.portFound);
    EXPECT_FALSE(reply.data.has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(MessagePort, SilentServerTimesOut)
{
    kw::testing::TempRoot root;
    // A listener that accepts but never answers.
    kw::MessagePortServer server("KWConfigServer");
    ASSERT_TRUE(server.isValid());
    const auto reply = request(1, 200ms);
    EXPECT_TRUE(reply.portFound);
    EXPECT_EQ(reply.status, kw::kMessagePortReceiveTimeout);
    EXPECT_FALSE(reply.data.has_value());
}

TEST(MessagePort, PortsOfOtherRootsAreInvisible)
{
    kw::testing::TempRoot first;
    kw::MessagePortServer server("KWConfigServer");
    ASSERT_TRUE(server.isValid());
    kw::testing::TempRoot second;
    EXPECT_FALSE(request(1).portFound);
}

TEST(MessagePort, NameCanBeServedOnlyOnce)
{
    kw::testing::TempRoot root;
    kw::MessagePortServer first("KWConfigServer");
    kw::MessagePortServer second("KWConfigServer");
    EXPECT_TRUE(first.isValid());
    EXPECT_FALSE(second.isValid());
}

TEST(MessagePort, ServerOfAnotherUserIsRefused)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to start a server as another user";
    }
    kw::testing::TempRoot root;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(1);
        }
        kw::MessagePortServer server("KWConfigServer");
        [[maybe_unused]] auto w = ::write(ready[1], "x", 1);
        server.serveOne([](int) -> std::optional<std::string> { return std::string("evil"); }, 3s);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    // The tool was started by root (uid 0): it trusts root's servers and, here, user 1 only.
    const auto reply = kw::MessagePortClient::sendRequest("KWConfigServer", 1, 1, 1000ms, 1000ms);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(reply.portFound);
    EXPECT_EQ(reply.status, kw::kMessagePortPeerRefused);
    EXPECT_FALSE(reply.data.has_value());
}

TEST(MessagePort, StopEndsAWaitingServer)
{
    kw::testing::TempRoot root;
    kw::MessagePortServer server("KWConfigServer");
    bool served = true;
    std::thread serving([&] { served = server.serveOne([](int) { return std::optional<std::string>(); }, 30s); });
    std::this_thread::sleep_for(50ms);
    server.stop();
    serving.join();
    EXPECT_FALSE(served);
}

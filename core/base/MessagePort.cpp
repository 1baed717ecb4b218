#include "MessagePort.h"

#include "Log.h"
#include "SystemRoot.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kw {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxReply = 64u * 1024 * 1024;
constexpr uint32_t kMaxRequest = 1024 * 1024;

std::string canonicalRoot()
{
    const std::string prefix = SystemRoot::prefix();
    if (prefix.empty()) {
        return "/";
    }
    char resolved[PATH_MAX];
    if (::realpath(prefix.c_str(), resolved) != nullptr) {
        return resolved;
    }
    return prefix;
}

uint64_t fnv1a(const std::string& s)
{
    uint64_t h = 1469598103934665603ull;
    for (const unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

socklen_t fillAddress(const std::string& portName, sockaddr_un& addr)
{
    const std::string name = messagePortAddress(portName);
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const size_t n = std::min(name.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, name.data(), n);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
}

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Moves exactly size bytes before the deadline; false on time-out (errno ETIMEDOUT) or error.
bool transfer(int fd, char* data, size_t size, bool sending, Clock::time_point deadline)
{
    while (size > 0) {
        pollfd p { fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0 };
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        const ssize_t n =
            sending ? ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT) : ::recv(fd, data, size, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = ECONNRESET;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void putU32(char* out, uint32_t v)
{
    out[0] = static_cast<char>(v >> 24);
    out[1] = static_cast<char>(v >> 16);
    out[2] = static_cast<char>(v >> 8);
    out[3] = static_cast<char>(v);
}

uint32_t getU32(const char* in)
{
    const auto* u = reinterpret_cast<const unsigned char*>(in);
    return (uint32_t { u[0] } << 24) | (uint32_t { u[1] } << 16) | (uint32_t { u[2] } << 8) | uint32_t { u[3] };
}

bool peerUid(int fd, uid_t& uid)
{
    ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        return false;
    }
    uid = cred.uid;
    return true;
}

} // namespace

std::string messagePortAddress(const std::string& portName)
{
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(canonicalRoot())));
    return std::string(1, '\0') + "keepwall/" + hash + "/" + portName;
}

MessagePortReply MessagePortClient::sendRequest(const std::string& portName, int messageId, uid_t allowedUid,
                                                std::chrono::milliseconds sendTimeout,
                                                std::chrono::milliseconds receiveTimeout)
{
    MessagePortReply reply;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return reply;
    }
    sockaddr_un addr {};
    const socklen_t len = fillAddress(portName, addr);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 && errno != EINPROGRESS && errno != EAGAIN) {
        ::close(fd);
        return reply; // no server registered under the name
    }
    reply.portFound = true;

    uid_t uid = 0;
    if (!peerUid(fd, uid) || (uid != 0 && uid != allowedUid)) {
        logf("Ignoring %s: it is served by user %u, not by user %u or root", portName.c_str(),
             static_cast<unsigned>(uid), static_cast<unsigned>(allowedUid));
        reply.status = kMessagePortPeerRefused;
        ::close(fd);
        return reply;
    }

    char request[8];
    putU32(request, static_cast<uint32_t>(messageId));
    putU32(request + 4, 0);
    if (!transfer(fd, request, sizeof request, true, Clock::now() + sendTimeout)) {
        reply.status = errno == ETIMEDOUT ? kMessagePortSendTimeout : kMessagePortTransportError;
        ::close(fd);
        return reply;
    }
    const auto deadline = Clock::now() + receiveTimeout;
    char header[4];
    if (!transfer(fd, header, sizeof header, false, deadline)) {
        reply.status = errno == ETIMEDOUT ? kMessagePortReceiveTimeout : kMessagePortTransportError;
        ::close(fd);
        return reply;
    }
    const uint32_t size = getU32(header);
    if (size > kMaxReply) {
        reply.status = kMessagePortTransportError;
        ::close(fd);
        return reply;
    }
    std::string data(size, '\0');
    if (size > 0 && !transfer(fd, data.data(), size, false, deadline)) {
        reply.status = errno == ETIMEDOUT ? kMessagePortReceiveTimeout : kMessagePortTransportError;
        ::close(fd);
        return reply;
    }
    ::close(fd);
    reply.status = kMessagePortSuccess;
    if (size > 0) {
        reply.data = std::move(data);
    }
    return reply;
}

MessagePortServer::MessagePortServer(const std::string& portName)
{
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) {
        return;
    }
    sockaddr_un addr {};
    const socklen_t len = fillAddress(portName, addr);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 || ::listen(m_fd, 4) != 0) {
        logf("Could not register the message port %s: %s", portName.c_str(), std::strerror(errno));
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

MessagePortServer::~MessagePortServer()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    if (m_wakeFd >= 0) {
        ::close(m_wakeFd);
    }
}

void MessagePortServer::stop()
{
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }
}

bool MessagePortServer::serveOne(const Handler& handler, std::chrono::milliseconds timeout)
{
    if (m_fd < 0) {
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    const uid_t me = ::geteuid();
    for (;;) {
        pollfd fds[2] = { { m_fd, POLLIN, 0 }, { m_wakeFd, POLLIN, 0 } };
        const int ready = ::poll(fds, m_wakeFd >= 0 ? 2 : 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (fds[1].revents & POLLIN) != 0) {
            return false;
        }
        const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            continue;
        }
        uid_t uid = 0;
        if (!peerUid(client, uid) || (uid != 0 && uid != me)) {
            logf("Refusing a request from user %u", static_cast<unsigned>(uid));
            ::close(client);
            continue;
        }
        // Each client gets a short budget of its own so a silent one cannot hold the port.
        const auto clientDeadline = std::min(deadline, Clock::now() + std::chrono::seconds(3));
        char request[8];
        if (!transfer(client, request, sizeof request, false, clientDeadline)) {
            ::close(client);
            continue;
        }
        const uint32_t requestSize = getU32(request + 4);
        if (requestSize > kMaxRequest) {
            ::close(client);
            continue;
        }
        std::string ignored(requestSize, '\0');
        if (requestSize > 0 && !transfer(client, ignored.data(), requestSize, false, clientDeadline)) {
            ::close(client);
            continue;
        }
        const auto data = handler(static_cast<int>(getU32(request)));
        const std::string body = data.value_or(std::string());
        std::string out(4, '\0');
        putU32(out.data(), static_cast<uint32_t>(body.size()));
        out += body;
        transfer(client, out.data(), out.size(), true, Clock::now() + std::chrono::seconds(3));
        ::close(client);
        return true;
    }
}

} // namespace kw

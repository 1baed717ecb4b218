#include "DistributedNotificationCenter.h"

#include "AtomicFile.h"
#include "Log.h"
#include "SystemRoot.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace kw {

namespace {

constexpr size_t kMaxPayload = 60 * 1024;
constexpr std::string_view kSuffix = ".sock";

bool makeAddress(const std::string& path, sockaddr_un& addr)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool ensureFolder(const std::string& dir)
{
    if (!makeDirectories(dir, 0755)) {
        return false;
    }
    // Observers of every user put their sockets here; the sticky bit keeps them from removing
    // each other's.
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && (st.st_mode & 07777) != 01777) {
        ::chmod(dir.c_str(), 01777);
    }
    return true;
}

} // namespace

std::string DistributedNotificationCenter::folder()
{
    return SystemRoot::path("/var/run/keepwall/notifications");
}

void DistributedNotificationCenter::post(const std::string& name, const std::string& object)
{
    std::string payload = name;
    payload.push_back('\0');
    payload += object;
    if (payload.size() > kMaxPayload) {
        payload.resize(kMaxPayload);
    }
    const std::string dir = folder();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return; // nobody has ever observed on this root
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        ::closedir(d);
        return;
    }
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(d)) {
        const std::string_view n(e->d_name);
        if (n.size() <= kSuffix.size() || n.substr(n.size() - kSuffix.size()) != kSuffix) {
            continue;
        }
        const std::string path = dir + "/" + std::string(n);
        sockaddr_un addr {};
        if (!makeAddress(path, addr)) {
            continue;
        }
        const ssize_t sent = ::sendto(fd, payload.data(), payload.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        if (sent < 0 && errno == ECONNREFUSED) {
            stale.push_back(path);
        }
    }
    ::closedir(d);
    ::close(fd);
    for (const auto& path : stale) {
        ::unlink(path.c_str());
    }
}

DistributedObserver::DistributedObserver()
{
    const std::string dir = DistributedNotificationCenter::folder();
    if (!ensureFolder(dir)) {
        logf("Could not create the notification folder %s: %s", dir.c_str(), std::strerror(errno));
        return;
    }
    static std::atomic<unsigned> counter { 0 };
    m_path = dir + "/" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + std::string(kSuffix);
    sockaddr_un addr {};
    if (!makeAddress(m_path, addr)) {
        logf("Notification folder path too long: %s", dir.c_str());
        return;
    }
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        return;
    }
    ::unlink(m_path.c_str());
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        logf("Could not observe notifications at %s: %s", m_path.c_str(), std::strerror(errno));
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    // The tool posts as root and the application as the user: both must be able to send.
    ::chmod(m_path.c_str(), 0666);
}

DistributedObserver::~DistributedObserver()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
}

std::optional<DistributedNotification> DistributedObserver::receive(std::chrono::milliseconds timeout)
{
    if (m_fd < 0) {
        return std::nullopt;
    }
    pollfd p { m_fd, POLLIN, 0 };
    const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) {
        return std::nullopt;
    }
    std::vector<char> buf(kMaxPayload + 1);
    const ssize_t n = ::recv(m_fd, buf.data(), buf.size(), 0);
    if (n <= 0) {
        return std::nullopt;
    }
    const std::string_view payload(buf.data(), static_cast<size_t>(n));
    const auto nul = payload.find('\0');
    if (nul == std::string_view::npos) {
        return DistributedNotification { std::string(payload), {} };
    }
    return DistributedNotification { std::string(payload.substr(0, nul)), std::string(payload.substr(nul + 1)) };
}

} // namespace kw

#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace kw {

// A local broadcast that every Keepwall process of one system root can observe, whichever user
// runs it (the tool posts as root, the application observes as the user). Each observer binds a
// datagram socket in the root's notification folder; a post sends one datagram to each of them.
// Two sandbox roots never see each other's notifications.
struct DistributedNotification {
    std::string name;
    std::string object;
};

class DistributedNotificationCenter {
public:
    // Sends the notification to every observer of the current system root. Observers that are
    // gone are cleaned up; a post never blocks on a slow observer.
    static void post(const std::string& name, const std::string& object);

    // The folder that holds the observers' sockets.
    static std::string folder();
};

// One observer: receives every notification posted on its system root while it lives.
class DistributedObserver {
public:
    DistributedObserver();
    ~DistributedObserver();
    DistributedObserver(const DistributedObserver&) = delete;
    DistributedObserver& operator=(const DistributedObserver&) = delete;

    bool isValid() const { return m_fd >= 0; }
    // Readable when a notification is waiting (for event loops).
    int fileDescriptor() const { return m_fd; }
    // Waits up to timeout for the next notification.
    std::optional<DistributedNotification> receive(std::chrono::milliseconds timeout);

private:
    int m_fd = -1;
    std::string m_path;
};

} // namespace kw

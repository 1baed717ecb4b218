#pragma once

#include "PlistValue.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kw {

struct Notification {
    std::string name;
    Value object;   // the notification's object (a string for the system's own notifications)
    Value userInfo; // a dictionary, or none
};

// In-process notifications, posted synchronously on the poster's thread.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    using Token = unsigned long;

    static NotificationCenter& defaultCenter();

    // Observe one name (empty: every name). Returns a token for removeObserver().
    Token addObserver(const std::string& name, Handler handler);
    void removeObserver(Token token);
    void post(const Notification& notification);

private:
    struct Entry {
        Token token;
        std::string name;
        Handler handler;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    Token m_next = 1;
};

// Removes its observer when it goes out of scope.
class ScopedObserver {
public:
    ScopedObserver(NotificationCenter& center, const std::string& name, NotificationCenter::Handler handler)
        : m_center(center)
        , m_token(center.addObserver(name, std::move(handler)))
    {}
    ~ScopedObserver() { m_center.removeObserver(m_token); }
    ScopedObserver(const ScopedObserver&) = delete;
    ScopedObserver& operator=(const ScopedObserver&) = delete;

private:
    NotificationCenter& m_center;
    NotificationCenter::Token m_token;
};

} // namespace kw

#include "NotificationCenter.h"

#include <algorithm>

namespace kw {

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Handler handler)
{
    std::lock_guard lock(m_mutex);
    const Token token = m_next++;
    m_entries.push_back(Entry { token, name, std::move(handler) });
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_entries, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const Notification& notification)
{
    // Handlers run without the lock so they may post or (un)register themselves.
    std::vector<Handler> handlers;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& e : m_entries) {
            if (e.name.empty() || e.name == notification.name) {
                handlers.push_back(e.handler);
            }
        }
    }
    for (const auto& h : handlers) {
        h(notification);
    }
}

} // namespace kw

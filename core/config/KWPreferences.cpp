#include "KWPreferences.h"

#include "base/Log.h"

#include <sys/stat.h>

namespace kw {

std::unique_ptr<KWPreferences> KWPreferences::preferencesWithPrefsID(std::optional<std::string> prefsID)
{
    return std::make_unique<KWPreferences>(std::move(prefsID));
}

KWPreferences::KWPreferences(std::optional<std::string> prefsID)
    : m_prefs(std::move(prefsID))
{}

const Value* KWPreferences::valueForKey(const std::string& key)
{
    const Value* v = m_prefs.root().get(key);
    if (v != nullptr) {
        m_useDefaultsIfNotFound = false;
    }
    return v;
}

const Value* KWPreferences::valueForPath(const std::string& path) const
{
    const Value* node = &m_prefs.root();
    size_t pos = 0;
    bool any = false;
    while (pos <= path.size()) {
        const size_t slash = path.find('/', pos);
        const std::string part = path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        if (!part.empty()) {
            node = node->get(part);
            if (node == nullptr) {
                return nullptr;
            }
            any = true;
        }
        if (slash == std::string::npos) {
            break;
        }
        pos = slash + 1;
    }
    return any ? node : nullptr;
}

void KWPreferences::takeValue(const Value* value, const std::string& key)
{
    auto* dict = m_prefs.root().dictionary();
    if (dict == nullptr) {
        logf("Could not set value for %s", key.c_str());
        return;
    }
    if (value == nullptr) {
        dict->erase(key);
        return;
    }
    if (value->isNone()) {
        logf("Could not set value for %s", key.c_str());
        return;
    }
    (*dict)[key] = *value;
}

bool KWPreferences::commitChanges()
{
    if (!m_prefs.commit()) {
        logLine("Could not commit changes");
        return false;
    }
    m_committed = true;
    return true;
}

bool KWPreferences::applyChanges()
{
    // Every reader opens the committed file afresh, so applying means making sure the
    // committed document is in place.
    struct stat st {};
    if (m_prefs.path().empty() || ::stat(m_prefs.path().c_str(), &st) != 0) {
        logLine("Could not apply changes");
        return false;
    }
    return true;
}

} // namespace kw

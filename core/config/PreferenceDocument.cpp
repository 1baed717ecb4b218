#include "PreferenceDocument.h"

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "base/SystemRoot.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace kw {

namespace {

// An identifier becomes a file name: it must not climb out of the store's folder.
bool isSafeIdentifier(const std::string& id)
{
    return !id.empty() && id.find('/') == std::string::npos && id != "." && id != ".." &&
           id.find('\0') == std::string::npos;
}

} // namespace

std::string PreferenceDocument::folder()
{
    return SystemRoot::path("/Library/Preferences/SystemConfiguration");
}

PreferenceDocument::PreferenceDocument(std::optional<std::string> identifier)
{
    if (identifier && !isSafeIdentifier(*identifier)) {
        logf("Refusing the preference identifier \"%s\"", identifier->c_str());
        m_validIdentifier = false;
        m_root = Value(Value::Dictionary {});
        return;
    }
    m_path = folder() + "/" + (identifier ? *identifier + ".plist" : std::string("preferences.plist"));
    load();
}

void PreferenceDocument::load()
{
    m_root = Value(Value::Dictionary {});
    FileBytes bytes;
    if (!bytes.open(m_path)) {
        if (errno != ENOENT) {
            logf("Could not read the preferences file %s: %s", m_path.c_str(), std::strerror(errno));
            m_unreadable = true;
        }
        return;
    }
    auto value = valueFromXml(bytes.bytes());
    if (!value || !value->isDictionary()) {
        logf("The preferences file %s is not a property-list dictionary; reading it as empty", m_path.c_str());
        m_unreadable = true;
        return;
    }
    m_root = std::move(*value);
}

bool PreferenceDocument::commit()
{
    if (!m_validIdentifier) {
        errno = EINVAL;
        return false;
    }
    if (!makeDirectories(folder(), 0755)) {
        return false;
    }
    if (m_unreadable) {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm tm {};
        gmtime_r(&now, &tm);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
        const std::string aside = m_path + ".unreadable-" + stamp;
        if (::rename(m_path.c_str(), aside.c_str()) == 0) {
            logf("Kept the unreadable preferences file as %s", aside.c_str());
        } else if (errno != ENOENT) {
            logf("Could not keep the unreadable preferences file %s aside: %s", m_path.c_str(), std::strerror(errno));
            return false;
        }
        m_unreadable = false;
    }
    return writeFileAtomically(m_path, valueToXml(m_root), 0644);
}

} // namespace kw

#include "PreferenceDocument.h"

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "base/SystemRoot.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
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

PreferenceDocument::~PreferenceDocument()
{
    if (m_lockFd >= 0) {
        ::close(m_lockFd); // releases the lock
    }
}

void PreferenceDocument::load()
{
    m_root = Value(Value::Dictionary {});
    m_unreadable = false;
    FileBytes bytes;
    if (!bytes.openRegular(m_path, kMaxReadFileSize)) {
        if (errno != ENOENT) {
            logf("Could not read the preferences file %s: %s", m_path.c_str(), FileBytes::errorText(errno).c_str());
            m_unreadable = true;
        }
        return;
    }
    auto value = valueFromPropertyList(bytes.bytes());
    if (!value || !value->isDictionary()) {
        logf("The preferences file %s is not a property-list dictionary; reading it as empty", m_path.c_str());
        m_unreadable = true;
        return;
    }
    m_root = std::move(*value);
}

bool PreferenceDocument::lock()
{
    if (m_lockFd >= 0) {
        return true;
    }
    if (!m_validIdentifier) {
        errno = EINVAL;
        return false;
    }
    if (!makeDirectories(folder(), 0755)) {
        return false;
    }
    // Readable by root only: anyone who could open it could hold the lock and stall every commit.
    const std::string lockPath = m_path + ".lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        logf("Could not open the lock file %s: %s", lockPath.c_str(), std::strerror(errno));
        return false;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int e = errno;
            logf("Could not lock %s: %s", lockPath.c_str(), std::strerror(e));
            ::close(fd);
            errno = e;
            return false;
        }
    }
    m_lockFd = fd;
    return true;
}

bool PreferenceDocument::lockForChange()
{
    if (m_lockFd >= 0) {
        return true;
    }
    if (!lock()) {
        return false;
    }
    load();
    return true;
}

bool PreferenceDocument::commit()
{
    if (!m_validIdentifier) {
        errno = EINVAL;
        return false;
    }
    if (const auto problem = findTextXmlCannotHold(m_root)) {
        logf("Not writing the preferences file %s: %s", m_path.c_str(), problem->c_str());
        errno = EILSEQ;
        return false;
    }
    if (!lock()) {
        return false;
    }
    // Under the lock no other commit is under way: temporary files are left-overs.
    removeStaleTemporaryFiles(m_path);
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

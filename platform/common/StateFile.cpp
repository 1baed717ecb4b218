#include "common/StateFile.h"

#include "base/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kw::platform {

namespace {

// Makes sure the folder of a state file exists.
bool ensureFolderOf(const std::string& path, std::string& error)
{
    const std::string folder = parentFolder(path);
    if (!makeDirectories(folder, 0755)) {
        error = "cannot create folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

FileLock::~FileLock()
{
    release();
}

bool FileLock::acquire(const std::string& lockPath, Mode mode, std::string& error)
{
    release();
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        // A reader without write access to the folder still takes a shared lock.
        fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
        error = "cannot open lock file " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    int rc = 0;
    do {
        rc = ::flock(fd, mode == Mode::Shared ? LOCK_SH : LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        error = "cannot lock " + lockPath + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void FileLock::release()
{
    if (m_fd >= 0) {
        ::close(m_fd); // closing drops the flock
        m_fd = -1;
    }
}

StateFile::StateFile(std::string hostPath)
    : m_path(std::move(hostPath))
{}

StateFile::Status StateFile::readLocked(Value& out, std::string& error) const
{
    std::string bytes;
    if (!readFile(m_path, bytes)) {
        if (errno == ENOENT) {
            return Status::Missing;
        }
        error = "cannot read state file " + m_path + ": " + std::strerror(errno);
        return Status::Failed;
    }
    auto value = valueFromXml(bytes);
    if (!value || !(value->isDictionary() || value->isArray())) {
        error = "state file " + m_path + " is corrupt (not a property list); move it away to start afresh";
        return Status::Failed;
    }
    out = std::move(*value);
    return Status::Loaded;
}

bool StateFile::writeLocked(const Value& value, std::string& error)
{
    if (!ensureFolderOf(m_path, error)) {
        return false;
    }
    if (!writeFileAtomically(m_path, valueToXml(value), 0644)) {
        error = "cannot write state file " + m_path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

StateFile::Status StateFile::read(Value& out, std::string& error) const
{
    FileLock lock;
    if (!lock.acquire(m_path + ".lock", FileLock::Mode::Shared, error)) {
        // No lock file and no way to make one: the state was never written.
        std::string bytes;
        if (!readFile(m_path, bytes) && errno == ENOENT) {
            error.clear();
            return Status::Missing;
        }
        return Status::Failed;
    }
    return readLocked(out, error);
}

bool StateFile::update(const Change& change, const Value& initial, std::string& error)
{
    if (!ensureFolderOf(m_path, error)) {
        return false;
    }
    FileLock lock;
    if (!lock.acquire(m_path + ".lock", FileLock::Mode::Exclusive, error)) {
        return false;
    }
    Value state;
    switch (readLocked(state, error)) {
    case Status::Failed:
        return false;
    case Status::Missing:
        if (initial.isNone()) {
            error = "no state file " + m_path + " (make the root with kw-sandbox)";
            return false;
        }
        state = initial;
        break;
    case Status::Loaded:
        break;
    }
    if (!change(state, error)) {
        return false;
    }
    return writeLocked(state, error);
}

bool StateFile::seed(const Value& initial, std::string& error)
{
    if (!ensureFolderOf(m_path, error)) {
        return false;
    }
    FileLock lock;
    if (!lock.acquire(m_path + ".lock", FileLock::Mode::Exclusive, error)) {
        return false;
    }
    Value existing;
    switch (readLocked(existing, error)) {
    case Status::Failed:
        return false;
    case Status::Loaded:
        return true;
    case Status::Missing:
        break;
    }
    return writeLocked(initial, error);
}

} // namespace kw::platform

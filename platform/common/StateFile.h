#pragma once

#include "base/PlistValue.h"

#include <functional>
#include <string>

namespace kw::platform {

// An advisory lock (flock) on a lock file, held while the object lives. The lock file is made
// when missing; it holds nothing.
class FileLock {
public:
    enum class Mode { Shared, Exclusive };

    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Waits for the lock. False with the reason in error when the lock file cannot be opened.
    bool acquire(const std::string& lockPath, Mode mode, std::string& error);
    void release();
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// One piece of emulated kernel state: an XML property-list file under the root, replaced
// atomically on every change and guarded by a lock file beside it ("<file>.lock"), so that
// concurrent stand-ins never lose a change and a reader never sees half a file. A file that
// cannot be read or is not a property list is reported, never silently replaced.
class StateFile {
public:
    enum class Status { Loaded, Missing, Failed };

    // hostPath: the file's path on the host (already under the root).
    explicit StateFile(std::string hostPath);

    const std::string& path() const { return m_path; }

    // Reads under a shared lock.
    Status read(Value& out, std::string& error) const;

    // Under the exclusive lock: reads the file (a missing file gives `initial`; none as
    // `initial` makes a missing file an error), lets `change` modify the value, and writes it
    // back when change answers true. change answers false with its reason in error to leave
    // the file as it was.
    using Change = std::function<bool(Value& state, std::string& error)>;
    bool update(const Change& change, const Value& initial, std::string& error);

    // Writes the value when no file exists yet (seeding); an existing file is kept as it is.
    bool seed(const Value& initial, std::string& error);

private:
    Status readLocked(Value& out, std::string& error) const;
    bool writeLocked(const Value& value, std::string& error);

    std::string m_path;
};

} // namespace kw::platform

#include "AtomicFile.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw {

std::string parentFolder(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode)
{
    const std::string dir = parentFolder(path);
    const auto slash = path.find_last_of('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + "/." + base + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    if (::close(fd) != 0 || !ok) {
        ::unlink(tmp.c_str());
        errno = ok ? errno : savedErrno;
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return false;
    }
    // Make the rename itself durable.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool readToEnd(int fd, const std::function<void(std::string_view)>& consume)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int e = errno;
            // The block may have held a secret (a keychain file): it is not left on the stack.
            ::explicit_bzero(buf, sizeof buf);
            errno = e;
            return n == 0;
        }
        consume(std::string_view(buf, static_cast<size_t>(n)));
    }
}

bool readAll(int fd, std::string& out)
{
    return readToEnd(fd, [&out](std::string_view block) { out.append(block); });
}

namespace {

// Reads from the descriptor to its end; closes it in every case.
bool readAllAndClose(int fd, std::string& out)
{
    out.clear();
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        out.reserve(static_cast<size_t>(st.st_size));
    }
    const bool ok = readAll(fd, out);
    const int e = errno;
    ::close(fd);
    errno = e;
    return ok;
}

} // namespace

std::string ownExecutablePath()
{
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
}

bool readFile(const std::string& path, std::string& out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    return readAllAndClose(fd, out);
}

FileBytes::~FileBytes()
{
    release();
}

void FileBytes::release()
{
    if (m_map != nullptr) {
        ::munmap(m_map, m_size);
        m_map = nullptr;
    }
    m_size = 0;
    m_copy.clear();
}

bool FileBytes::open(const std::string& path)
{
    release();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    return mapOrRead(fd, regular ? static_cast<size_t>(st.st_size) : 0);
}

bool FileBytes::mapOrRead(int fd, size_t size)
{
    if (size > 0) {
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            ::close(fd);
            m_map = static_cast<char*>(map);
            m_size = size;
            return true;
        }
    }
    return readAllAndClose(fd, m_copy);
}

bool FileBytes::openRegular(const std::string& path, size_t maxSize)
{
    release();
    // Non-blocking, so that opening a FIFO without a writer does not wait for one.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    int refusal = 0;
    if (::fstat(fd, &st) != 0) {
        refusal = errno;
    } else if (S_ISDIR(st.st_mode)) {
        refusal = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        refusal = EINVAL;
    } else if (static_cast<std::uint64_t>(st.st_size) > maxSize) {
        refusal = EFBIG;
    }
    if (refusal != 0) {
        ::close(fd);
        errno = refusal;
        return false;
    }
    // A regular file's reads never block; the flag only kept the open from waiting.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    return mapOrRead(fd, static_cast<size_t>(st.st_size));
}

std::string FileBytes::errorText(int error)
{
    switch (error) {
    case EINVAL:
        return "not a regular file";
    case EISDIR:
        return "a folder, not a regular file";
    case EFBIG:
        return "larger than the " + std::to_string(kMaxReadFileSize >> 20) + " MB a file may have here";
    default:
        return std::strerror(error);
    }
}

void removeStaleTemporaryFiles(const std::string& path)
{
    const std::string dir = parentFolder(path);
    const auto slash = path.find_last_of('/');
    const std::string prefix = "." + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
    constexpr size_t kSuffixLength = 6; // the XXXXXX of mkostemp
    DIR* folder = ::opendir(dir.c_str());
    if (folder == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name = entry->d_name;
        if (name.size() != prefix.size() + kSuffixLength || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        struct stat st {};
        if (::fstatat(::dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            ::unlinkat(::dirfd(folder), entry->d_name, 0);
        }
    }
    ::closedir(folder);
}

bool makeDirectories(const std::string& path, mode_t mode)
{
    if (path.empty()) {
        return false;
    }
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) {
            continue;
        }
        if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace kw

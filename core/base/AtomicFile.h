#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kw {

// Replaces the file at path with the given bytes atomically: a temporary file in the same
// folder is written, flushed to disk, given the mode and renamed over the target. A reader
// sees the old or the new file, never a mix, also when the writer is killed mid-way. A
// symbolic link at path is replaced by the new file, never written through.
// Returns false with errno set when anything fails; the old file is then unchanged.
bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode);

// Removes the temporary files that writeFileAtomically left beside path when it was killed
// between creating and renaming one. Only a caller that knows no other writer of path is at
// work (one holding the path's lock) may call it.
void removeStaleTemporaryFiles(const std::string& path);

// The largest file that openRegular is asked to read by the tools: settings documents and rule
// files stay far below it, and a file this large is no input of theirs.
inline constexpr size_t kMaxReadFileSize = size_t { 256 } << 20;

// The running program's own path (from /proc/self/exe); empty when it cannot be read.
std::string ownExecutablePath();

// Reads a whole file; false with errno set when it cannot be read.
bool readFile(const std::string& path, std::string& out);

// The bytes of a whole file, for reading only. A regular file is mapped rather than copied:
// a settings document of many megabytes is then read without a second copy of it. Other
// files (and empty ones) are read into memory. Files written here are replaced by rename,
// never rewritten in place, so a mapped file does not change under its reader.
class FileBytes {
public:
    FileBytes() = default;
    ~FileBytes();
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    // False with errno set when the file cannot be opened or read.
    bool open(const std::string& path);
    // Like open, but only for a regular file of at most maxSize bytes: a FIFO, device, socket
    // or folder is refused without waiting on it (EINVAL; EISDIR for a folder), and so is a
    // larger file (EFBIG).
    bool openRegular(const std::string& path, size_t maxSize);
    // What an errno of open or openRegular means, in words ("not a regular file", ...).
    static std::string errorText(int error);
    std::string_view bytes() const { return m_map != nullptr ? std::string_view(m_map, m_size) : m_copy; }

private:
    void release();
    // Maps the regular file of size bytes behind fd, else reads it; closes fd either way.
    bool mapOrRead(int fd, size_t size);

    char* m_map = nullptr;
    size_t m_size = 0;
    std::string m_copy;
};

// Writes all the bytes to the descriptor, going on after interruptions; false with errno set.
bool writeAll(int fd, std::string_view bytes);

// Reads the descriptor to its end, going on after interruptions, and hands each block read to
// consume; false with errno set on a read error (the blocks before it were handed over).
bool readToEnd(int fd, const std::function<void(std::string_view)>& consume);

// Reads the descriptor to its end, appending to out; false with errno set on a read error.
bool readAll(int fd, std::string& out);

// The folder part of a path: "/" for a path in the top folder, "." for a bare name.
std::string parentFolder(const std::string& path);

// Creates the folder and its missing parents with the given mode (existing ones are kept).
bool makeDirectories(const std::string& path, mode_t mode);

} // namespace kw

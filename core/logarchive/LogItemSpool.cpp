#include "LogItemSpool.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace kw {

namespace {

// Record: one flag byte (bit 0 source port present, bit 1 destination port present), ten
// 32-bit field lengths, then the field bytes in the order of LogItemView.
constexpr std::size_t kFieldCount = 10;
constexpr std::size_t kHeaderSize = 1 + kFieldCount * sizeof(std::uint32_t);
constexpr std::size_t kBufferLimit = 4 * 1024 * 1024;

[[noreturn]] void raiseIo(const char* what)
{
    throw std::runtime_error(std::string("Unable to keep the log entries (") + what + "): " + std::strerror(errno));
}

int makeTemporaryFile()
{
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/keepwall-log-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        raiseIo("temporary file");
    }
    ::unlink(pattern.c_str());
    return fd;
}

} // namespace

LogItemSpool::~LogItemSpool()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void LogItemSpool::clear()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_fileSize = 0;
    m_buffer.reset();
    m_capacity = 0;
    m_used = 0;
    m_count = 0;
}

void LogItemSpool::append(const LogItemView& item)
{
    const std::string_view fields[kFieldCount] = { item.timestamp, item.ruleNo,
                                                   item.action,    item.proto,
                                                   item.srcHost,   item.srcPort.value_or(std::string_view()),
                                                   item.dstHost,   item.dstPort.value_or(std::string_view()),
                                                   item.dir,       item.interface };
    std::size_t total = kHeaderSize;
    for (const auto& f : fields) {
        total += f.size();
    }
    if (total > kBufferLimit) {
        throw std::runtime_error("Unable to keep the log entries: item too large");
    }
    if (m_used + total > m_capacity) {
        if (m_capacity < kBufferLimit) {
            // Small readings stay small: the buffer doubles from 64 KiB up to its limit.
            std::size_t capacity = std::max<std::size_t>(m_capacity * 2, 64 * 1024);
            while (capacity < m_used + total) {
                capacity *= 2;
            }
            capacity = std::min(capacity, kBufferLimit);
            if (m_used + total <= capacity) {
                auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
                if (m_used > 0) {
                    std::memcpy(bigger.get(), m_buffer.get(), m_used);
                }
                m_buffer = std::move(bigger);
                m_capacity = capacity;
            } else {
                flushBuffer();
            }
        } else {
            flushBuffer();
        }
    }
    char* p = m_buffer.get() + m_used;
    m_used += total;
    *p++ = static_cast<char>((item.srcPort ? 1 : 0) | (item.dstPort ? 2 : 0));
    for (const auto& f : fields) {
        const auto length = static_cast<std::uint32_t>(f.size());
        std::memcpy(p, &length, sizeof length);
        p += sizeof length;
    }
    for (const auto& f : fields) {
        if (!f.empty()) {
            std::memcpy(p, f.data(), f.size());
            p += f.size();
        }
    }
    ++m_count;
}

void LogItemSpool::flushBuffer()
{
    if (m_used == 0) {
        return;
    }
    if (m_fd < 0) {
        m_fd = makeTemporaryFile();
    }
    std::size_t done = 0;
    while (done < m_used) {
        const ssize_t n = ::pwrite(m_fd, m_buffer.get() + done, m_used - done, static_cast<off_t>(m_fileSize + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            raiseIo("write");
        }
        done += static_cast<std::size_t>(n);
    }
    m_fileSize += done;
    m_used = 0;
}

void LogItemSpool::forEach(const std::function<void(const LogItemView&)>& visitor) const
{
    auto decode = [&](const char* data, std::size_t size) -> std::size_t {
        // Returns how many bytes of whole records were handed out.
        std::size_t used = 0;
        while (size - used >= kHeaderSize) {
            const char* p = data + used;
            const auto flags = static_cast<unsigned char>(p[0]);
            std::uint32_t lengths[kFieldCount];
            std::memcpy(lengths, p + 1, sizeof lengths);
            std::size_t total = kHeaderSize;
            for (auto l : lengths) {
                total += l;
            }
            if (size - used < total) {
                break;
            }
            const char* f = p + kHeaderSize;
            std::string_view v[kFieldCount];
            for (std::size_t i = 0; i < kFieldCount; ++i) {
                v[i] = std::string_view(f, lengths[i]);
                f += lengths[i];
            }
            LogItemView item;
            item.timestamp = v[0];
            item.ruleNo = v[1];
            item.action = v[2];
            item.proto = v[3];
            item.srcHost = v[4];
            if (flags & 1) {
                item.srcPort = v[5];
            }
            item.dstHost = v[6];
            if (flags & 2) {
                item.dstPort = v[7];
            }
            item.dir = v[8];
            item.interface = v[9];
            visitor(item);
            used += total;
        }
        return used;
    };

    if (m_fd >= 0 && m_fileSize > 0) {
        std::vector<char> chunk(kBufferLimit);
        std::size_t filled = 0;
        std::uint64_t offset = 0;
        while (offset < m_fileSize || filled > 0) {
            if (offset < m_fileSize && filled < chunk.size()) {
                const std::size_t want =
                    static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size() - filled, m_fileSize - offset));
                const ssize_t n = ::pread(m_fd, chunk.data() + filled, want, static_cast<off_t>(offset));
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    raiseIo("read");
                }
                filled += static_cast<std::size_t>(n);
                offset += static_cast<std::uint64_t>(n);
            }
            const std::size_t used = decode(chunk.data(), filled);
            if (used == 0 && (offset >= m_fileSize || filled == chunk.size())) {
                if (filled != 0) {
                    throw std::runtime_error("Unable to keep the log entries: damaged temporary file");
                }
                break;
            }
            std::memmove(chunk.data(), chunk.data() + used, filled - used);
            filled -= used;
        }
    }
    if (m_used > 0) {
        decode(m_buffer.get(), m_used);
    }
}

} // namespace kw

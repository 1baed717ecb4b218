#pragma once

#include "LogParser.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kw {

// The parsed items of one log reading, in log order, kept in a compact form: in memory while
// small, then in an unlinked temporary file, so that a log of any size is read in bounded
// memory. The file disappears with the spool (or the process).
class LogItemSpool {
public:
    LogItemSpool() = default;
    ~LogItemSpool();
    LogItemSpool(const LogItemSpool&) = delete;
    LogItemSpool& operator=(const LogItemSpool&) = delete;

    // Raises std::runtime_error when the temporary file cannot be written.
    void append(const LogItemView& item);
    std::size_t count() const { return m_count; }
    void clear();

    // Hands every item to the visitor in order; the views are valid during the call only.
    void forEach(const std::function<void(const LogItemView&)>& visitor) const;

private:
    void flushBuffer();

    int m_fd = -1;
    std::uint64_t m_fileSize = 0;
    std::unique_ptr<char[]> m_buffer; // grows up to 4 MiB, then goes to the file when full
    std::size_t m_capacity = 0;
    std::size_t m_used = 0;
    std::size_t m_count = 0;
};

} // namespace kw

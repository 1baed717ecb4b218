#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace kw::app {

// The columns of the log table, in the table's own order.
enum class LogField {
    LogId,
    Timestamp,
    RuleNo,
    Action,
    Proto,
    SrcLabel,
    SrcHost,
    SrcPort,
    DstLabel,
    DstHost,
    DstPort,
    Dir,
    Interface,
};
inline constexpr std::size_t kLogFieldCount = 13;
inline constexpr std::array<const char*, kLogFieldCount> kLogFieldNames = {
    "log_id",   "timestamp", "rule_no",  "action",   "proto", "src_label", "src_host",
    "src_port", "dst_label", "dst_host", "dst_port", "dir",   "interface",
};

// One log row as the database gave it: every column's text (valid while the row is handed out).
struct LogRecordView {
    std::array<std::string_view, kLogFieldCount> values;
    std::string_view operator[](LogField field) const { return values[static_cast<std::size_t>(field)]; }
};

// The texts of the exported log files. Values are written as the database holds them (UTF-8),
// so no character is lost to an 8-bit encoding.
class LogExportWriter {
public:
    // The tags of the save dialog's format choice.
    enum Format { TabDelimited = 0, SystemLog = 1, DoorStop = 2 };

    LogExportWriter(Format format, std::string hostName);

    void append(const LogRecordView& row);
    std::string& text() { return m_text; }

    // "first letter of each word upper case, the rest lower case", for ASCII letters.
    static std::string capitalized(std::string_view text);

private:
    void appendTabDelimited(const LogRecordView& row);
    void appendSystemLog(const LogRecordView& row);
    void appendDoorStop(const LogRecordView& row);

    Format m_format;
    std::string m_hostName;
    std::string m_text;
    bool m_first = true;
};

} // namespace kw::app

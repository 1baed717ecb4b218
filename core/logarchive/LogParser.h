#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kw {

// Log item keys, the fields of one parsed firewall log line.
inline constexpr const char* kLogItemTimestamp = "timestamp";
inline constexpr const char* kLogItemRuleNo = "ruleNo";
inline constexpr const char* kLogItemAction = "action";
inline constexpr const char* kLogItemProto = "proto";
inline constexpr const char* kLogItemSrcHost = "srcHost";
inline constexpr const char* kLogItemSrcPort = "srcPort";
inline constexpr const char* kLogItemSrcLabel = "srcLabel";
inline constexpr const char* kLogItemDstHost = "dstHost";
inline constexpr const char* kLogItemDstPort = "dstPort";
inline constexpr const char* kLogItemDstLabel = "dstLabel";
inline constexpr const char* kLogItemDir = "dir";
inline constexpr const char* kLogItemInterface = "interface";

// One parsed log line as views into the parser's buffers; valid during the sink call only.
struct LogItemView {
    std::string_view timestamp;
    std::string_view ruleNo;
    std::string_view action;
    std::string_view proto;
    std::string_view srcHost;
    std::optional<std::string_view> srcPort;
    std::string_view dstHost;
    std::optional<std::string_view> dstPort;
    std::string_view dir;
    std::string_view interface;
};

// One parsed log line that owns its text.
struct LogItem {
    std::string timestamp;
    std::string ruleNo;
    std::string action;
    std::string proto;
    std::string srcHost;
    std::optional<std::string> srcPort;
    std::string dstHost;
    std::optional<std::string> dstPort;
    std::string dir;
    std::string interface;

    static LogItem fromView(const LogItemView& view);
    // "%@\nPort %@" with the host and the port, "N/A" standing in for a missing port.
    std::string srcLabel() const;
    std::string dstLabel() const;
    // The item as a dictionary of the log item keys; a missing port has no entry.
    std::map<std::string, std::string> dictionary() const;
    bool operator==(const LogItem&) const = default;
};

std::string logLabel(std::string_view host, std::optional<std::string_view> port);

// Which year a log time stamp gets. Log lines carry no year; every line of one reading gets
// the year of the reading's clock, except that a month later than the reading's own month
// belongs to the year before (a log read in January that still holds December lines).
// So a reading never dates a line into the future, and within one reading the text order
// of the time stamps is their order in time.
class LogYearRule {
public:
    // From the reading's clock, in local time (the log's own time zone).
    explicit LogYearRule(std::time_t now);
    LogYearRule(int year, int month)
        : m_year(year)
        , m_month(month)
    {}
    int yearForMonth(int month) const { return month > m_month ? m_year - 1 : m_year; }
    int year() const { return m_year; }
    int month() const { return m_month; }

private:
    int m_year = 1970;
    int m_month = 1;
};

// Streaming parser of firewall log text. Feed it the bytes in pieces of any size; each
// complete line (split at line feeds; a last line without one counts at finish()) that reads
// as a firewall log line goes to the sink.
//
// A line yields an item when it is longer than 16 characters, its first 15 characters read
// as "%b %d %H:%M:%S", it holds "ipfw: ", and at least 8 words follow (split at single
// spaces, one empty leading word dropped): rule number, action, protocol, source
// (address[:port]), destination, direction, one word passed over, interface. Fields must be
// printable ASCII. Lines longer than kMaxLineLength bytes yield nothing, whole or in pieces.
class LogParser {
public:
    static constexpr std::size_t kMaxLineLength = 64 * 1024;
    using Sink = std::function<void(const LogItemView&)>;

    // With requireKernelTag only lines that hold "kernel: ipfw:" count (the firewall's
    // lines inside the general system log).
    LogParser(LogYearRule rule, Sink sink, bool requireKernelTag = false);

    void feed(std::string_view bytes);
    // Parses a pending last line without a line feed and logs the summary lines.
    void finish();

    std::size_t itemCount() const { return m_items; }
    std::size_t unreadableDates() const { return m_badDates; }
    std::size_t overlongLines() const { return m_overlong; }

    // One line without its line feed. The timestamp view points into timestampBuffer.
    // Returns false for a line that yields no item; badDate tells whether the date failed.
    static bool parseLine(std::string_view line, const LogYearRule& rule, bool requireKernelTag, LogItemView& item,
                          char (&timestampBuffer)[20], bool* badDate = nullptr);

    // Writes "%Y-%m-%d %H:%M:%S" for the first 15 characters of a log line, or false.
    static bool parseLogDate(std::string_view text, const LogYearRule& rule, char (&out)[20]);

private:
    void processLine(std::string_view line);

    LogYearRule m_rule;
    Sink m_sink;
    bool m_requireKernelTag;
    std::string m_pending;
    bool m_discarding = false;
    std::size_t m_items = 0;
    std::size_t m_badDates = 0;
    std::size_t m_overlong = 0;
    char m_timestamp[20] = {};
};

} // namespace kw

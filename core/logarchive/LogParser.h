#pragma once

#include <cstddef>
#include <cstdint>
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

// Which year a log time stamp gets. Log lines carry no year; a line is dated in the year of
// the reading's clock unless its month and day come later than the reading's day (plus one
// day for clock skew), in which case it belongs to the year before (a log read in January
// that still holds December lines). So a reading never dates a line into the future, and
// within one reading the text order of the time stamps is their order in time.
class LogYearRule {
public:
    // From the reading's clock, in local time (the log's own time zone).
    explicit LogYearRule(std::time_t now);
    // A reading in the given month: every day of that month and the months before it is of
    // that year, later months of the year before.
    LogYearRule(int year, int month)
        : m_year(year)
        , m_month(month)
        , m_lastMonth(month)
        , m_lastDay(31)
    {}
    // A reading whose latest current-year date is the given month and day.
    LogYearRule(int year, int lastMonth, int lastDay)
        : m_year(year)
        , m_month(lastMonth)
        , m_lastMonth(lastMonth)
        , m_lastDay(lastDay)
    {}
    int yearFor(int month, int day) const
    {
        return month > m_lastMonth || (month == m_lastMonth && day > m_lastDay) ? m_year - 1 : m_year;
    }
    int year() const { return m_year; }
    int month() const { return m_month; }

private:
    int m_year = 1970;
    int m_month = 12;
    int m_lastMonth = 12;
    int m_lastDay = 31;
};

// Streaming parser of firewall log text. Feed it the bytes in pieces of any size; each
// complete line (split at line feeds; a last line without one counts at finish()) that reads
// as a firewall log line goes to the sink.
//
// A line yields an item when it is longer than 16 characters, its first 15 characters read
// as "%b %d %H:%M:%S", it holds "ipfw: ", and at least 8 words follow (split at single
// spaces, one empty leading word dropped): rule number, action, protocol, source
// (address[:port]), destination, direction, one word passed over, interface. An action the
// kernel writes in several words ("Divert 8668", "Forward to 10.0.0.1:3128", "SkipTo 500",
// "Pipe 2", "Unreach 3") is kept whole, and the fields after it count from its end. Fields
// must be printable ASCII. Lines longer than kMaxLineLength bytes yield nothing, whole or in
// pieces.
//
// The system logger's "last message repeated N times" directly after a firewall line stands
// for N more of that line: the sink gets its item N more times, with the same time stamp.
class LogParser {
public:
    static constexpr std::size_t kMaxLineLength = 64 * 1024;
    // Most entries one "last message repeated" line stands for: the kernel's per-rule log
    // limit keeps real counts far below it, and a forged line cannot make a reading endless.
    static constexpr std::uint64_t kMaxRepeats = 1000000;
    using Sink = std::function<void(const LogItemView&)>;

    // With requireKernelTag only lines written by the kernel count (the firewall's lines
    // inside the general system log): the process field after the host name must be
    // "kernel:", "mach_kernel:" or "/kernel:" followed by "ipfw: ", or the logger daemon's
    // "ipfw:". Text of the same look inside another program's message does not count.
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

    // N when the line is the system logger's "last message repeated N times", else 0.
    static std::uint64_t repeatCount(std::string_view line);

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
    std::string m_lastFirewallLine; // the line that "last message repeated" refers to, if any
    bool m_lastWasFirewall = false;
};

} // namespace kw

#include "LogExport.h"

namespace kw::app {

namespace {

constexpr std::array<LogField, 11> kTabFields = {
    LogField::LogId,   LogField::Timestamp, LogField::RuleNo,  LogField::Action, LogField::Proto,     LogField::SrcHost,
    LogField::SrcPort, LogField::DstHost,   LogField::DstPort, LogField::Dir,    LogField::Interface,
};

constexpr const char* kMonths[12] = {
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"
};

bool allDigits(std::string_view text)
{
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return !text.empty();
}

// Splits "YYYY-MM-DD" into its parts; false for any other text.
bool parseDate(std::string_view text, std::string_view& year, int& month, std::string_view& day)
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !allDigits(text.substr(0, 4)) ||
        !allDigits(text.substr(5, 2)) || !allDigits(text.substr(8, 2))) {
        return false;
    }
    month = (text[5] - '0') * 10 + (text[6] - '0');
    if (month < 1 || month > 12) {
        return false;
    }
    year = text.substr(0, 4);
    day = text.substr(8, 2);
    return true;
}

// A port's integer value (its leading decimal integer; 0 for "(null)" or no digits).
long portValue(std::string_view port)
{
    long value = 0;
    std::size_t i = 0;
    bool negative = false;
    if (i < port.size() && (port[i] == '-' || port[i] == '+')) {
        negative = port[i] == '-';
        ++i;
    }
    for (; i < port.size() && port[i] >= '0' && port[i] <= '9' && value < 1000000; ++i) {
        value = value * 10 + (port[i] - '0');
    }
    return negative ? -value : value;
}

bool hasPort(std::string_view port)
{
    // Archives store a missing port as the text "(null)".
    return !port.empty() && port != "(null)";
}

} // namespace

LogExportWriter::LogExportWriter(Format format, std::string hostName)
    : m_format(format)
    , m_hostName(std::move(hostName))
{
    if (m_format == DoorStop) {
        m_text = "!!LOG FORMAT DATE TIME RESULT HOSTNAME SERVER_PORT METHOD\n";
    }
}

std::string LogExportWriter::capitalized(std::string_view text)
{
    std::string out(text);
    bool wordStart = true;
    for (char& c : out) {
        if (c == ' ' || c == '\t' || c == '\n') {
            wordStart = true;
            continue;
        }
        if (wordStart && c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (!wordStart && c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        wordStart = false;
    }
    return out;
}

void LogExportWriter::append(const LogRecordView& row)
{
    switch (m_format) {
    case TabDelimited:
        appendTabDelimited(row);
        break;
    case SystemLog:
        appendSystemLog(row);
        break;
    case DoorStop:
        appendDoorStop(row);
        break;
    }
    m_first = false;
}

void LogExportWriter::appendTabDelimited(const LogRecordView& row)
{
    if (m_first) {
        for (std::size_t i = 0; i < kTabFields.size(); ++i) {
            m_text += i == 0 ? "" : "\t";
            m_text += kLogFieldNames[static_cast<std::size_t>(kTabFields[i])];
        }
        m_text += '\n';
    }
    for (std::size_t i = 0; i < kTabFields.size(); ++i) {
        if (i > 0) {
            m_text += '\t';
        }
        m_text += row[kTabFields[i]];
    }
    m_text += '\n';
}

void LogExportWriter::appendSystemLog(const LogRecordView& row)
{
    // "%b %d %H:%M:%S" from "%Y-%m-%d %H:%M:%S"; a time stamp of another form is kept as stored.
    const std::string_view timestamp = row[LogField::Timestamp];
    std::string_view year;
    std::string_view day;
    int month = 0;
    if (timestamp.size() == 19 && timestamp[10] == ' ' && parseDate(timestamp.substr(0, 10), year, month, day)) {
        m_text += kMonths[month - 1];
        m_text += ' ';
        m_text += day;
        m_text += ' ';
        m_text += timestamp.substr(11);
    } else {
        m_text += timestamp;
    }
    m_text += ' ';
    m_text += m_hostName;
    m_text += " mach_kernel: ipfw: ";
    m_text += row[LogField::RuleNo];
    m_text += ' ';
    m_text += capitalized(row[LogField::Action]);
    m_text += ' ';
    m_text += row[LogField::Proto];
    for (const auto& [host, port] :
         { std::pair { LogField::SrcHost, LogField::SrcPort }, std::pair { LogField::DstHost, LogField::DstPort } }) {
        m_text += ' ';
        m_text += row[host];
        if (portValue(row[port]) > 0) {
            m_text += ':';
            m_text += row[port];
        }
    }
    m_text += ' ';
    m_text += row[LogField::Dir];
    m_text += " via ";
    m_text += row[LogField::Interface];
    m_text += '\n';
}

void LogExportWriter::appendDoorStop(const LogRecordView& row)
{
    const std::string_view timestamp = row[LogField::Timestamp];
    const std::size_t blank = timestamp.find(' ');
    const std::string_view date = timestamp.substr(0, blank);
    const std::string_view time = blank == std::string_view::npos ? std::string_view() : timestamp.substr(blank + 1);
    std::string_view year;
    std::string_view day;
    int month = 0;
    if (parseDate(date, year, month, day)) {
        m_text += date.substr(5, 2);
        m_text += '/';
        m_text += day;
        m_text += '/';
        m_text += year.substr(2);
    } else {
        m_text += date;
    }
    m_text += '\t';
    m_text += time;
    m_text += row[LogField::Action] == "Accept" ? "\tOK" : "\t!ERR";
    m_text += '\t';
    m_text += row[LogField::SrcHost];
    std::string proto(row[LogField::Proto]);
    for (char& c : proto) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    if (proto.starts_with("ICMP")) {
        m_text += "\t\tICMP";
    } else {
        m_text += '\t';
        if (hasPort(row[LogField::DstPort])) {
            m_text += row[LogField::DstPort];
        }
        m_text += '\t';
        m_text += proto;
    }
    m_text += '\n';
}

} // namespace kw::app

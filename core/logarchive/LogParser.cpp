#include "LogParser.h"

#include "base/Log.h"

#include <cstring>

namespace kw {

namespace {

// Unreadable dates are logged one by one up to this many per reading, then only counted:
// a damaged multi-gigabyte log must not flood the system log.
constexpr std::size_t kMaxLoggedDateFailures = 10;

constexpr std::string_view kIpfwMarker = "ipfw: ";
constexpr std::string_view kRepeatPrefix = "last message repeated ";
constexpr std::string_view kRepeatSuffix = " times";
constexpr std::string_view kRepeatSuffixOne = " time";

// Process fields of the kernel, as the releases' system loggers write them.
constexpr std::string_view kKernelProcesses[] = { "kernel:", "mach_kernel:", "/kernel:" };
// The logger daemon's own field: its lines carry the kernel's text directly.
constexpr std::string_view kLoggerProcess = "ipfw:";

// Actions the kernel logs in more than one word: the word, and how many words follow it.
struct ActionWords {
    std::string_view first;
    std::string_view second; // empty: any word
    std::size_t extra;
};
constexpr ActionWords kLongActions[] = {
    { "Divert", {}, 1 }, { "Tee", {}, 1 },   { "SkipTo", {}, 1 },
    { "Pipe", {}, 1 },   { "Queue", {}, 1 }, { "Forward", "to", 2 },
};

bool isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month)
{
    static constexpr int kDays[12] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

int monthFromAbbreviation(const char* s)
{
    // Case-insensitive, like the platform's date reading; a switch on the letters costs a
    // few compares per line instead of twelve string comparisons.
    const auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
    const char a = lower(s[0]);
    const char b = lower(s[1]);
    const char c = lower(s[2]);
    switch (a) {
    case 'j':
        return b == 'a' && c == 'n' ? 1 : (b == 'u' && c == 'n' ? 6 : (b == 'u' && c == 'l' ? 7 : 0));
    case 'f':
        return b == 'e' && c == 'b' ? 2 : 0;
    case 'm':
        return b == 'a' && c == 'r' ? 3 : (b == 'a' && c == 'y' ? 5 : 0);
    case 'a':
        return b == 'p' && c == 'r' ? 4 : (b == 'u' && c == 'g' ? 8 : 0);
    case 's':
        return b == 'e' && c == 'p' ? 9 : 0;
    case 'o':
        return b == 'c' && c == 't' ? 10 : 0;
    case 'n':
        return b == 'o' && c == 'v' ? 11 : 0;
    case 'd':
        return b == 'e' && c == 'c' ? 12 : 0;
    default:
        return 0;
    }
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isNumber(std::string_view s)
{
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (!isDigit(c)) {
            return false;
        }
    }
    return true;
}

// Where the host name of a syslog line starts: after the date's 15 characters, the blanks
// and a "<facility.level>" tag that some loggers put there. npos when the line ends first.
std::size_t hostStart(std::string_view line)
{
    std::size_t at = 15;
    while (at < line.size() && line[at] == ' ') {
        ++at;
    }
    if (at < line.size() && line[at] == '<') {
        const std::size_t close = line.find('>', at);
        if (close == std::string_view::npos) {
            return std::string_view::npos;
        }
        at = close + 1;
        while (at < line.size() && line[at] == ' ') {
            ++at;
        }
    }
    return at < line.size() ? at : std::string_view::npos;
}

// The words that follow the host name: its process field onwards. npos without one.
std::size_t afterHost(std::string_view line)
{
    const std::size_t host = hostStart(line);
    if (host == std::string_view::npos) {
        return host;
    }
    const std::size_t space = line.find(' ', host);
    return space == std::string_view::npos || space + 1 >= line.size() ? std::string_view::npos : space + 1;
}

// Where the kernel's words begin (just after "ipfw: ") when the line was written by the
// kernel or the logger daemon, else npos.
std::size_t kernelWordsStart(std::string_view line)
{
    const std::size_t process = afterHost(line);
    if (process == std::string_view::npos) {
        return process;
    }
    const std::string_view rest = line.substr(process);
    if (rest.substr(0, kLoggerProcess.size() + 1) == "ipfw: ") {
        return process + kIpfwMarker.size();
    }
    for (const std::string_view field : kKernelProcesses) {
        if (rest.size() > field.size() && rest.substr(0, field.size()) == field && rest[field.size()] == ' ' &&
            rest.substr(field.size() + 1, kIpfwMarker.size()) == kIpfwMarker) {
            return process + field.size() + 1 + kIpfwMarker.size();
        }
    }
    return std::string_view::npos;
}

bool isPrintableWord(std::string_view s)
{
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f) {
            return false;
        }
    }
    return true;
}

void writeTwo(char* out, int value)
{
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
}

// Printable copy of a short text for a log line.
std::string printable(std::string_view text)
{
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u >= 0x20 && u < 0x7f ? c : '?');
    }
    return out;
}

} // namespace

std::string logLabel(std::string_view host, std::optional<std::string_view> port)
{
    std::string label(host);
    label += "\nPort ";
    label += port ? *port : std::string_view("N/A");
    return label;
}

LogItem LogItem::fromView(const LogItemView& v)
{
    LogItem item;
    item.timestamp = v.timestamp;
    item.ruleNo = v.ruleNo;
    item.action = v.action;
    item.proto = v.proto;
    item.srcHost = v.srcHost;
    if (v.srcPort) {
        item.srcPort = std::string(*v.srcPort);
    }
    item.dstHost = v.dstHost;
    if (v.dstPort) {
        item.dstPort = std::string(*v.dstPort);
    }
    item.dir = v.dir;
    item.interface = v.interface;
    return item;
}

std::string LogItem::srcLabel() const
{
    return logLabel(srcHost, srcPort ? std::optional<std::string_view>(*srcPort) : std::nullopt);
}

std::string LogItem::dstLabel() const
{
    return logLabel(dstHost, dstPort ? std::optional<std::string_view>(*dstPort) : std::nullopt);
}

std::map<std::string, std::string> LogItem::dictionary() const
{
    std::map<std::string, std::string> d {
        { kLogItemTimestamp, timestamp }, { kLogItemRuleNo, ruleNo },       { kLogItemAction, action },
        { kLogItemProto, proto },         { kLogItemSrcHost, srcHost },     { kLogItemSrcLabel, srcLabel() },
        { kLogItemDstHost, dstHost },     { kLogItemDstLabel, dstLabel() }, { kLogItemDir, dir },
        { kLogItemInterface, interface },
    };
    if (srcPort) {
        d[kLogItemSrcPort] = *srcPort;
    }
    if (dstPort) {
        d[kLogItemDstPort] = *dstPort;
    }
    return d;
}

LogYearRule::LogYearRule(std::time_t now)
{
    std::tm local {};
    if (::localtime_r(&now, &local) == nullptr) {
        return;
    }
    m_year = local.tm_year + 1900;
    m_month = local.tm_mon + 1;
    m_lastMonth = m_month;
    m_lastDay = local.tm_mday;
    // A day of grace for a clock that runs behind the logger's.
    const std::time_t tomorrow = now + 24 * 60 * 60;
    std::tm next {};
    if (::localtime_r(&tomorrow, &next) != nullptr) {
        if (next.tm_year + 1900 > m_year) {
            m_lastMonth = 12;
            m_lastDay = 31;
        } else {
            m_lastMonth = next.tm_mon + 1;
            m_lastDay = next.tm_mday;
        }
    }
}

bool LogParser::parseLogDate(std::string_view text, const LogYearRule& rule, char (&out)[20])
{
    if (text.size() < 15) {
        return false;
    }
    const char* s = text.data();
    const int month = monthFromAbbreviation(s);
    if (month == 0 || s[3] != ' ') {
        return false;
    }
    // Day padded with a space to two characters, or written without padding.
    std::size_t i = 4;
    while (i < 15 && s[i] == ' ') {
        ++i;
    }
    auto number = [&](int minDigits, int maxDigits, int& value) {
        int digits = 0;
        value = 0;
        while (i < 15 && digits < maxDigits && isDigit(s[i])) {
            value = value * 10 + (s[i] - '0');
            ++i;
            ++digits;
        }
        return digits >= minDigits;
    };
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!number(1, 2, day) || i >= 15 || s[i++] != ' ' || !number(1, 2, hour) || i >= 15 || s[i++] != ':' ||
        !number(2, 2, minute) || i >= 15 || s[i++] != ':' || !number(2, 2, second)) {
        return false;
    }
    for (; i < 15; ++i) {
        if (s[i] != ' ') {
            return false;
        }
    }
    const int year = rule.yearFor(month, day);
    if (day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 || second > 59 || year < 0 ||
        year > 9999) {
        return false;
    }
    int y = year;
    for (int k = 3; k >= 0; --k) {
        out[k] = static_cast<char>('0' + y % 10);
        y /= 10;
    }
    out[4] = '-';
    writeTwo(out + 5, month);
    out[7] = '-';
    writeTwo(out + 8, day);
    out[10] = ' ';
    writeTwo(out + 11, hour);
    out[13] = ':';
    writeTwo(out + 14, minute);
    out[16] = ':';
    writeTwo(out + 17, second);
    out[19] = '\0';
    return true;
}

bool LogParser::parseLine(std::string_view line, const LogYearRule& rule, bool requireKernelTag, LogItemView& item,
                          char (&timestampBuffer)[20], bool* badDate)
{
    if (badDate != nullptr) {
        *badDate = false;
    }
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line.size() <= 16 || line.size() > kMaxLineLength) {
        return false;
    }
    std::size_t wordsStart = 0;
    if (requireKernelTag) {
        wordsStart = kernelWordsStart(line);
    } else {
        const std::size_t marker = line.find(kIpfwMarker);
        wordsStart = marker == std::string_view::npos ? marker : marker + kIpfwMarker.size();
    }
    if (wordsStart == std::string_view::npos) {
        return false;
    }
    std::string_view rest = line.substr(wordsStart);
    if (!rest.empty() && rest.front() == ' ') {
        rest.remove_prefix(1); // one empty leading word is dropped
    }
    // Rule number, up to three action words, then the six fields that are read.
    constexpr std::size_t kMaxPieces = 10;
    std::string_view pieces[kMaxPieces];
    std::size_t count = 0;
    std::size_t start = 0;
    while (count < kMaxPieces) {
        const std::size_t space = rest.find(' ', start);
        if (space == std::string_view::npos) {
            pieces[count++] = rest.substr(start);
            break;
        }
        pieces[count++] = rest.substr(start, space - start);
        start = space + 1;
    }
    if (count < 8) {
        return false;
    }
    std::size_t extra = 0;
    for (const auto& words : kLongActions) {
        if (pieces[1] == words.first && (words.second.empty() || pieces[2] == words.second)) {
            extra = words.extra;
            break;
        }
    }
    if (pieces[1] == "Unreach" && isNumber(pieces[2])) {
        extra = 1; // the newer kernel's "Unreach <code>"
    }
    const std::size_t used = 8 + extra;
    if (count < used) {
        return false;
    }
    for (std::size_t i = 0; i < used; ++i) {
        if (!isPrintableWord(pieces[i])) {
            return false;
        }
    }
    if (!parseLogDate(line.substr(0, 15), rule, timestampBuffer)) {
        if (badDate != nullptr) {
            *badDate = true;
        }
        return false;
    }
    item.timestamp = std::string_view(timestampBuffer, 19);
    item.ruleNo = pieces[0];
    const std::string_view lastActionWord = pieces[1 + extra];
    item.action = std::string_view(
        pieces[1].data(), static_cast<std::size_t>(lastActionWord.data() + lastActionWord.size() - pieces[1].data()));
    const std::string_view* fields = pieces + 1 + extra;
    item.proto = fields[1];
    auto splitAddress = [](std::string_view word, std::string_view& host, std::optional<std::string_view>& port) {
        const std::size_t colon = word.find(':');
        if (colon == std::string_view::npos) {
            host = word;
            port.reset();
            return;
        }
        host = word.substr(0, colon);
        const std::size_t second = word.find(':', colon + 1);
        port = word.substr(colon + 1, second == std::string_view::npos ? std::string_view::npos : second - colon - 1);
    };
    splitAddress(fields[2], item.srcHost, item.srcPort);
    splitAddress(fields[3], item.dstHost, item.dstPort);
    item.dir = fields[4];
    item.interface = fields[6];
    return true;
}

std::uint64_t LogParser::repeatCount(std::string_view line)
{
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    while (!line.empty() && line.back() == ' ') {
        line.remove_suffix(1);
    }
    if (line.size() <= 16) {
        return 0;
    }
    const std::size_t at = afterHost(line);
    if (at == std::string_view::npos) {
        return 0;
    }
    std::string_view rest = line.substr(at);
    if (rest.substr(0, kRepeatPrefix.size()) != kRepeatPrefix) {
        return 0;
    }
    rest.remove_prefix(kRepeatPrefix.size());
    if (rest.ends_with(kRepeatSuffix)) {
        rest.remove_suffix(kRepeatSuffix.size());
    } else if (rest.ends_with(kRepeatSuffixOne)) {
        rest.remove_suffix(kRepeatSuffixOne.size());
    } else {
        return 0;
    }
    const std::string_view digits = rest;
    if (!isNumber(digits) || digits.size() > 12) {
        return 0;
    }
    std::uint64_t n = 0;
    for (char c : digits) {
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
}

LogParser::LogParser(LogYearRule rule, Sink sink, bool requireKernelTag)
    : m_rule(rule)
    , m_sink(std::move(sink))
    , m_requireKernelTag(requireKernelTag)
{}

void LogParser::processLine(std::string_view line)
{
    if (line.size() > kMaxLineLength) {
        ++m_overlong;
        m_lastWasFirewall = false;
        return;
    }
    LogItemView item;
    if (m_lastWasFirewall) {
        if (std::uint64_t repeats = repeatCount(line); repeats > 0) {
            if (repeats > kMaxRepeats) {
                logf("A repeat count of %llu in the log was cut to %llu", static_cast<unsigned long long>(repeats),
                     static_cast<unsigned long long>(kMaxRepeats));
                repeats = kMaxRepeats;
            }
            if (parseLine(m_lastFirewallLine, m_rule, m_requireKernelTag, item, m_timestamp)) {
                for (std::uint64_t i = 0; i < repeats; ++i) {
                    ++m_items;
                    m_sink(item);
                }
            }
            return; // a further repeat line still refers to the same firewall line
        }
    }
    bool badDate = false;
    m_lastWasFirewall = false;
    if (parseLine(line, m_rule, m_requireKernelTag, item, m_timestamp, &badDate)) {
        ++m_items;
        m_lastFirewallLine.assign(line);
        m_lastWasFirewall = true;
        m_sink(item);
    } else if (badDate) {
        if (m_badDates < kMaxLoggedDateFailures) {
            logf("LogDateException: \"%s\" does not read as a date", printable(line.substr(0, 15)).c_str());
        }
        ++m_badDates;
    }
}

void LogParser::feed(std::string_view bytes)
{
    while (!bytes.empty()) {
        const void* found = std::memchr(bytes.data(), '\n', bytes.size());
        if (found == nullptr) {
            if (!m_discarding) {
                if (m_pending.size() + bytes.size() > kMaxLineLength) {
                    m_discarding = true;
                    m_pending.clear();
                    m_pending.shrink_to_fit();
                } else {
                    m_pending.append(bytes);
                }
            }
            return;
        }
        const std::size_t length = static_cast<const char*>(found) - bytes.data();
        if (m_discarding) {
            ++m_overlong;
            m_lastWasFirewall = false;
            m_discarding = false;
        } else if (m_pending.empty()) {
            processLine(bytes.substr(0, length));
        } else if (m_pending.size() + length > kMaxLineLength) {
            ++m_overlong;
            m_lastWasFirewall = false;
            m_pending.clear();
        } else {
            m_pending.append(bytes.substr(0, length));
            processLine(m_pending);
            m_pending.clear();
        }
        bytes.remove_prefix(length + 1);
    }
}

void LogParser::finish()
{
    if (m_discarding) {
        ++m_overlong;
        m_lastWasFirewall = false;
        m_discarding = false;
    } else if (!m_pending.empty()) {
        processLine(m_pending);
    }
    m_pending.clear();
    if (m_badDates > kMaxLoggedDateFailures) {
        logf("%zu more log lines with dates that do not read", m_badDates - kMaxLoggedDateFailures);
    }
    if (m_overlong > 0) {
        logf("Skipped %zu log lines longer than %zu bytes", m_overlong, kMaxLineLength);
    }
}

} // namespace kw

#include "IPFWListingParser.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>

namespace kw {

namespace {

constexpr std::array<const char*, static_cast<std::size_t>(RuleKey::Count)> kRuleKeyNames = {
    "ORDER_ITEM", "PACKET_ITEM", "BYTE_ITEM", "DATE_ITEM", "FILTER_ITEM", "ACTION",    "LOG",         "PROTO",
    "SRC_HOST",   "SRC_PORT",    "DST_HOST",  "DST_PORT",  "INTERFACE",   "DIRECTION", "IP_OPTIONS",  "ICMP_TYPES",
    "TCP_FLAGS",  "KEEP_STATE",  "IP_STATE",  "SOURCE",    "DESTINATION", "TRAFFIC",   "EXPERT_OPTS",
};

constexpr std::size_t kCtimeWidth = 24;
constexpr std::string_view kCheckState = "check-state";
constexpr std::string_view kDynamicMarker = "##";

std::size_t indexOf(RuleKey key)
{
    return static_cast<std::size_t>(key);
}

bool isNumberKey(RuleKey key)
{
    return key == RuleKey::OrderItem || key == RuleKey::PacketItem || key == RuleKey::ByteItem;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Reads the digits at `at` into a value that saturates instead of overflowing.
std::int64_t readDigits(std::string_view s, std::size_t& at)
{
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (; at < s.size() && isDigit(s[at]); ++at) {
        const int digit = s[at] - '0';
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return value;
}

// The leading integer of a port text as the system library reads one: blanks, a sign, digits.
std::int64_t leadingInteger(std::string_view s)
{
    std::size_t at = 0;
    while (at < s.size() && (s[at] == ' ' || s[at] == '\t' || s[at] == '\n')) {
        ++at;
    }
    bool negative = false;
    if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
        negative = s[at] == '-';
        ++at;
    }
    const std::int64_t value = readDigits(s, at);
    return negative ? -value : value;
}

// The shape of ctime's text without its line break: "Thu Jan  1 00:00:00 1970".
bool looksLikeCtime(std::string_view s)
{
    if (s.size() < kCtimeWidth) {
        return false;
    }
    for (std::size_t i : { 0, 1, 2, 4, 5, 6 }) {
        if (!isLetter(s[i])) {
            return false;
        }
    }
    return s[3] == ' ' && s[7] == ' ' && s[10] == ' ' && s[13] == ':' && s[16] == ':' && s[19] == ' ' &&
           isDigit(s[9]) && isDigit(s[20]) && isDigit(s[23]);
}

void appendNumber(std::string& out, std::int64_t value)
{
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

// Kilobytes with one decimal, independent of the process locale (the application sets one).
void appendKilobytes(std::string& out, std::int64_t bytes)
{
    char buf[64];
    const double kilobytes = static_cast<double>(bytes) * 0.0009765625;
    const auto r = std::to_chars(buf, buf + sizeof buf, kilobytes, std::chars_format::fixed, 1);
    out.append(buf, r.ptr);
}

// The rule-text words the parse looks for; each is found at its first occurrence.
enum Keyword : std::uint8_t {
    kFrom,
    kTo,
    kVia,
    kXmit,
    kRecv,
    kFrag,
    kEstablished,
    kIn,
    kOut,
    kIpOptions,
    kIpOpt,
    kSetup,
    kTcpFlags,
    kIcmpType,
    kIcmpTypes,
    kKeepState,
    kDstPort,
    kLog,
    kKeywordCount,
    kNotKeyword = kKeywordCount
};

Keyword keywordOf(std::string_view w)
{
    switch (w.size()) {
    case 2:
        return w == "to" ? kTo : w == "in" ? kIn : kNotKeyword;
    case 3:
        return w == "via" ? kVia : w == "out" ? kOut : w == "log" ? kLog : kNotKeyword;
    case 4:
        return w == "from" ? kFrom : w == "xmit" ? kXmit : w == "recv" ? kRecv : w == "frag" ? kFrag : kNotKeyword;
    case 5:
        return w == "ipopt" ? kIpOpt : w == "setup" ? kSetup : kNotKeyword;
    case 8:
        return w == "tcpflags" ? kTcpFlags : w == "icmptype" ? kIcmpType : w == "dst-port" ? kDstPort : kNotKeyword;
    case 9:
        return w == "ipoptions" ? kIpOptions : w == "icmptypes" ? kIcmpTypes : kNotKeyword;
    case 10:
        return w == "keep-state" ? kKeepState : kNotKeyword;
    case 11:
        return w == "established" ? kEstablished : kNotKeyword;
    default:
        return kNotKeyword;
    }
}

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Service names found during one parse, so that a long listing asks the lookup once per port.
class PortNames {
public:
    explicit PortNames(const PortNameLookup& lookup)
        : m_lookup(lookup)
    {}

    const std::optional<std::string>& find(int port)
    {
        if (port < 0 || static_cast<std::size_t>(port) >= kPorts) {
            m_uncached = m_lookup(port);
            return m_uncached;
        }
        if (!m_cache) {
            m_cache = std::make_unique<Entry[]>(kPorts);
        }
        Entry& e = m_cache[static_cast<std::size_t>(port)];
        if (!e.asked) {
            e.asked = true;
            e.name = m_lookup(port);
        }
        return e.name;
    }
    bool empty() const { return !m_lookup; }

private:
    static constexpr std::size_t kPorts = 1024;
    struct Entry {
        bool asked = false;
        std::optional<std::string> name;
    };
    const PortNameLookup& m_lookup;
    std::unique_ptr<Entry[]> m_cache;
    std::optional<std::string> m_uncached;
};

// The rule-text parse with buffers that a listing parse reuses from row to row.
class FilterParse {
public:
    explicit FilterParse(PortNames& names)
        : m_names(names)
    {}

    void run(std::string_view ruleText, RuleRow& row);

private:
    std::string_view word(std::size_t i) const { return m_words[i]; }
    bool present(Keyword k) const { return m_first[k] != kNone; }
    // The word after keyword k, when k is present and not the last word.
    const std::string_view* wordAfter(Keyword k) const
    {
        return present(k) && m_first[k] + 1 < m_words.size() ? &m_words[m_first[k] + 1] : nullptr;
    }
    std::string join(std::size_t from, std::size_t to) const;
    void appendEndPoint(std::string& out, const std::string* host, const std::string* port);

    PortNames& m_names;
    std::vector<std::string_view> m_words;
    std::array<std::size_t, kKeywordCount> m_first {};
};

std::string FilterParse::join(std::size_t from, std::size_t to) const
{
    std::string s;
    for (std::size_t i = from; i < to; ++i) {
        if (i > from) {
            s += ' ';
        }
        s += m_words[i];
    }
    return s;
}

void FilterParse::appendEndPoint(std::string& out, const std::string* host, const std::string* port)
{
    if (host != nullptr) {
        out += *host == "any" ? std::string_view("Any Host") : std::string_view(*host);
    }
    if (port == nullptr || port->empty() || *port == " ") {
        out += "\nAny Port";
        return;
    }
    const std::int64_t number = leadingInteger(*port);
    if (number >= 1 && number <= 1023 && port->find_first_of("-,") == std::string::npos && !m_names.empty()) {
        if (const auto& name = m_names.find(static_cast<int>(number))) {
            out += '\n';
            out += *name;
            out += " (";
            out += *port;
            out += ')';
            return;
        }
    }
    out += "\nPort ";
    out += *port;
}

void FilterParse::run(std::string_view ruleText, RuleRow& row)
{
    // Split at every single space: consecutive spaces give empty words.
    m_words.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t space = ruleText.find(' ', start);
        if (space == std::string_view::npos) {
            m_words.push_back(ruleText.substr(start));
            break;
        }
        m_words.push_back(ruleText.substr(start, space - start));
        start = space + 1;
    }
    // ipfw prints a rule's match probability ahead of its action ("prob 0.050000 count ip
    // ..."); the rule's fields are read after it.
    if (m_words.size() > 2 && m_words[0] == "prob") {
        m_words.erase(m_words.begin(), m_words.begin() + 2);
    }
    const std::size_t count = m_words.size();
    m_first.fill(kNone);
    for (std::size_t i = 0; i < count; ++i) {
        const Keyword k = keywordOf(m_words[i]);
        if (k != kNotKeyword && m_first[k] == kNone) {
            m_first[k] = i;
        }
    }

    // ipfw prints the unreach code as the second word, so the protocol comes one later.
    row.setString(RuleKey::Action, std::string(word(0)));
    std::size_t k = word(0) == "unreach" ? 2 : 1;
    if (count >= 2) {
        if (present(kLog)) {
            const std::size_t l = m_first[kLog];
            row.setString(RuleKey::Log, "1");
            k += 1;
            if (l + 2 < count && word(l + 1) == "logamount") {
                k += 2;
            }
        }
        if (k < count) {
            row.setString(RuleKey::Proto, std::string(word(k)));
        }
    }

    if (!present(kFrom) || !present(kTo)) {
        return;
    }
    const std::size_t from = m_first[kFrom];
    const std::size_t to = m_first[kTo];

    if (from + 1 < to) {
        row.setString(RuleKey::SrcHost, std::string(word(from + 1)));
        row.setString(RuleKey::SrcPort, join(from + 2, to));
    }

    // The destination part ends at the first option word.
    std::size_t end = kNone;
    if (present(kVia)) {
        end = m_first[kVia];
        if (const auto* w = wordAfter(kVia)) {
            row.setString(RuleKey::Interface, std::string(*w));
        }
    }
    for (Keyword kw : { kXmit, kRecv }) {
        if (present(kw) && m_first[kw] < end) {
            end = m_first[kw];
            if (const auto* w = wordAfter(kw)) {
                row.setString(RuleKey::Interface, std::string(*w));
            }
        }
    }
    for (Keyword kw : { kFrag, kEstablished, kSetup, kIn, kOut }) {
        if (present(kw) && m_first[kw] < end) {
            end = m_first[kw];
        }
    }
    const std::pair<Keyword, RuleKey> valued[] = { { kIpOptions, RuleKey::IpOptions },
                                                   { kIpOpt, RuleKey::IpOptions },
                                                   { kIcmpTypes, RuleKey::IcmpTypes },
                                                   { kIcmpType, RuleKey::IcmpTypes },
                                                   { kTcpFlags, RuleKey::TcpFlags } };
    for (const auto& [kw, key] : valued) {
        if (!present(kw)) {
            continue;
        }
        end = std::min(end, m_first[kw]);
        if (const auto* w = wordAfter(kw)) {
            row.setString(key, std::string(*w));
        }
    }
    if (present(kKeepState)) {
        end = std::min(end, m_first[kKeepState]);
        row.setString(RuleKey::KeepState, "keep-state");
    }
    if (end == kNone) {
        end = count;
    }

    if (to + 1 < end) {
        row.setString(RuleKey::DstHost, std::string(word(to + 1)));
        if (!present(kDstPort)) {
            row.setString(RuleKey::DstPort, join(to + 2, end));
        } else if (const auto* w = wordAfter(kDstPort)) {
            row.setString(RuleKey::DstPort, std::string(*w));
        }
    }

    if (present(kOut) || present(kXmit)) {
        row.setString(RuleKey::Direction, "out");
    } else if (present(kIn) || present(kRecv)) {
        row.setString(RuleKey::Direction, "in");
    }

    if (present(kEstablished)) {
        row.setString(RuleKey::IpState, "established");
    } else if (present(kSetup)) {
        row.setString(RuleKey::IpState, "setup");
    } else if (present(kFrag)) {
        row.setString(RuleKey::IpState, "frag");
    }

    std::string text;
    appendEndPoint(text, row.string(RuleKey::SrcHost), row.string(RuleKey::SrcPort));
    row.setString(RuleKey::Source, std::move(text));
    text = {};
    appendEndPoint(text, row.string(RuleKey::DstHost), row.string(RuleKey::DstPort));
    row.setString(RuleKey::Destination, std::move(text));

    text = {};
    appendNumber(text, row.number(RuleKey::PacketItem).value_or(0));
    text += " packets\n";
    appendKilobytes(text, row.number(RuleKey::ByteItem).value_or(0));
    text += "K bytes";
    row.setString(RuleKey::Traffic, std::move(text));

    // The options on at most two lines: the break follows the second part, except that a lone
    // part before keep-state gets the keep-state part on a line of its own.
    text = {};
    int parts = 0;
    const auto separate = [&](bool breakAfterTwo) {
        if (breakAfterTwo && parts == 2) {
            text += '\n';
        } else if (parts > 0) {
            text += " \\ ";
        }
    };
    if (const std::string* state = row.string(RuleKey::IpState)) {
        text += "State: ";
        text += *state;
        parts = 1;
    }
    if (const std::string* options = row.string(RuleKey::IpOptions)) {
        separate(false);
        text += "IP Opts: ";
        text += *options;
        ++parts;
    }
    if (const std::string* flags = row.string(RuleKey::TcpFlags)) {
        separate(true);
        text += "TCP Flags: ";
        text += *flags;
        ++parts;
    }
    if (const std::string* types = row.string(RuleKey::IcmpTypes)) {
        separate(true);
        text += "ICMP Types: ";
        text += *types;
        ++parts;
    }
    if (row.has(RuleKey::KeepState)) {
        if (parts == 1) {
            text += '\n';
        } else if (parts > 0) {
            text += " \\ ";
        }
        text += "Keep-State: Yes";
    }
    if (text.empty()) {
        text = "None";
    }
    row.setString(RuleKey::ExpertOpts, std::move(text));
}

// One static rule line: three counters, the time of the last match or blanks, the rule text.
// Answers false for a line that does not start with three numbers.
bool parseRuleLine(std::string_view line, RuleRow& row, std::string_view& filter)
{
    std::array<std::int64_t, 3> numbers {};
    std::size_t at = 0;
    for (auto& n : numbers) {
        while (at < line.size() && line[at] == ' ') {
            ++at;
        }
        if (at >= line.size() || !isDigit(line[at])) {
            return false;
        }
        n = readDigits(line, at);
    }
    const std::size_t p = at; // the blank after the byte counter

    // A rule that never matched has blanks in place of the time (spaces, or tabs on some
    // releases). Text there that is not a time (a listing without -t) is taken as the rule text.
    std::size_t scan = p;
    const std::string_view rest = line.substr(std::min(p + 1, line.size()));
    if (!rest.empty() && rest[0] != ' ' && rest[0] != '\t' && looksLikeCtime(rest)) {
        row.setString(RuleKey::DateItem, std::string(rest.substr(0, kCtimeWidth)));
        scan = std::min(p + 1 + kCtimeWidth + 1, line.size());
    } else {
        while (scan < line.size() && !isLetter(line[scan])) {
            ++scan;
        }
    }
    row.setNumber(RuleKey::OrderItem, numbers[0]);
    row.setNumber(RuleKey::PacketItem, numbers[1]);
    row.setNumber(RuleKey::ByteItem, numbers[2]);
    filter = line.substr(scan);
    return true;
}

} // namespace

const char* ruleKeyName(RuleKey key)
{
    const std::size_t i = indexOf(key);
    return i < kRuleKeyNames.size() ? kRuleKeyNames[i] : "";
}

std::optional<RuleKey> ruleKeyFromName(std::string_view name)
{
    for (std::size_t i = 0; i < kRuleKeyNames.size(); ++i) {
        if (name == kRuleKeyNames[i]) {
            return static_cast<RuleKey>(i);
        }
    }
    return std::nullopt;
}

bool RuleRow::has(RuleKey key) const
{
    const std::size_t i = indexOf(key);
    return i < indexOf(RuleKey::Count) && (m_present & (1u << i)) != 0;
}

std::string RuleRow::text(RuleKey key) const
{
    if (!has(key)) {
        return {};
    }
    if (isNumberKey(key)) {
        std::string s;
        appendNumber(s, m_numbers[indexOf(key)]);
        return s;
    }
    return m_strings[indexOf(key) - kNumberKeys];
}

const std::string* RuleRow::string(RuleKey key) const
{
    return has(key) && !isNumberKey(key) ? &m_strings[indexOf(key) - kNumberKeys] : nullptr;
}

std::optional<std::int64_t> RuleRow::number(RuleKey key) const
{
    if (!has(key) || !isNumberKey(key)) {
        return std::nullopt;
    }
    return m_numbers[indexOf(key)];
}

void RuleRow::setString(RuleKey key, std::string value)
{
    const std::size_t i = indexOf(key);
    if (i >= indexOf(RuleKey::Count)) {
        return;
    }
    if (isNumberKey(key)) {
        std::int64_t n = 0;
        const auto r = std::from_chars(value.data(), value.data() + value.size(), n);
        if (r.ec != std::errc() || r.ptr != value.data() + value.size()) {
            m_present &= ~(1u << i);
            return;
        }
        setNumber(key, n);
        return;
    }
    m_strings[i - kNumberKeys] = std::move(value);
    m_present |= 1u << i;
}

void RuleRow::setNumber(RuleKey key, std::int64_t value)
{
    const std::size_t i = indexOf(key);
    if (i >= indexOf(RuleKey::Count)) {
        return;
    }
    if (!isNumberKey(key)) {
        std::string s;
        appendNumber(s, value);
        setString(key, std::move(s));
        return;
    }
    m_numbers[i] = value;
    m_present |= 1u << i;
}

bool RuleRow::operator==(const RuleRow& other) const
{
    if (m_present != other.m_present) {
        return false;
    }
    for (std::size_t i = 0; i < indexOf(RuleKey::Count); ++i) {
        const auto key = static_cast<RuleKey>(i);
        if (has(key) && (isNumberKey(key) ? m_numbers[i] != other.m_numbers[i]
                                          : m_strings[i - kNumberKeys] != other.m_strings[i - kNumberKeys])) {
            return false;
        }
    }
    return true;
}

IPFWListingParser::IPFWListingParser(PortNameLookup serviceNameForPort)
    : m_serviceNameForPort(std::move(serviceNameForPort))
{}

ListingResult IPFWListingParser::parseOutput(std::optional<std::string_view> text) const
{
    ListingResult result;
    if (!text) {
        return result;
    }
    PortNames names(m_serviceNameForPort);
    FilterParse filterParse(names);
    const std::string_view all = *text;
    bool dynamicSection = false;
    bool reserved = false;
    std::size_t start = 0;
    for (bool last = false; !last;) {
        std::size_t end = all.find('\n', start);
        if (end == std::string_view::npos) {
            end = all.size();
            last = true;
        }
        const std::string_view line = all.substr(start, end - start);
        start = end + 1;

        if (line.substr(0, kDynamicMarker.size()) == kDynamicMarker) {
            dynamicSection = true;
            continue;
        }
        if (dynamicSection) {
            result.dynamicFilters.emplace_back(line);
            continue;
        }
        // A line this short ends the listing: the empty text after the last line break does.
        if (line.size() <= 2) {
            break;
        }
        if (!reserved) {
            // One row per remaining line at most, so rows are never moved while the list grows.
            reserved = true;
            const auto rest = all.substr(start > all.size() ? all.size() : start);
            result.ruleRows.reserve(static_cast<std::size_t>(std::count(rest.begin(), rest.end(), '\n')) + 1);
        }
        RuleRow& row = result.ruleRows.emplace_back();
        std::string_view filter;
        if (!parseRuleLine(line, row, filter) || filter.substr(0, kCheckState.size()) == kCheckState) {
            result.ruleRows.pop_back();
            continue;
        }
        row.setString(RuleKey::FilterItem, std::string(filter));
        filterParse.run(filter, row);
    }
    return result;
}

void IPFWListingParser::parseFilter(std::string_view ruleText, RuleRow& row) const
{
    PortNames names(m_serviceNameForPort);
    FilterParse(names).run(ruleText, row);
}

const std::vector<std::string>& listingArguments()
{
    static const std::vector<std::string> arguments { "-at", "list" };
    return arguments;
}

} // namespace kw

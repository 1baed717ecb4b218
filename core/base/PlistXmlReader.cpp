// A single-pass reader for XML property lists that builds Values directly. Settings documents
// of tens of thousands of filters are read by every wallctl run; building a second tree first
// and converting it cost most of the run.
#include "PlistXmlReader.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <tuple>
#include <utility>

namespace kw {

namespace {

constexpr int kMaxDepth = 512;

enum class Tag { Dict, Array, True, False, String, Integer, Real, Data, Date, Key, Other };

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The element name starting at p: its run of letters, and which element it names.
struct TagName {
    std::string_view name;
    Tag tag;
};

TagName tagNameAt(const char* p, const char* end)
{
    // The names of property-list elements are matched whole first; a longer run of letters
    // only starts like one of them.
    const auto whole = [p, end](std::string_view name) {
        if (static_cast<size_t>(end - p) <= name.size() || isLetter(p[name.size()])) {
            return false;
        }
        for (size_t i = 1; i < name.size(); ++i) {
            if (p[i] != name[i]) {
                return false;
            }
        }
        return true;
    };
    const auto named = [p](std::string_view name, Tag tag) {
        return TagName { std::string_view(p, name.size()), tag };
    };
    if (p != end) {
        switch (*p) {
        case 'k':
            if (whole("key")) {
                return named("key", Tag::Key);
            }
            break;
        case 's':
            if (whole("string")) {
                return named("string", Tag::String);
            }
            break;
        case 'i':
            if (whole("integer")) {
                return named("integer", Tag::Integer);
            }
            break;
        case 'd':
            if (whole("dict")) {
                return named("dict", Tag::Dict);
            }
            if (whole("data")) {
                return named("data", Tag::Data);
            }
            if (whole("date")) {
                return named("date", Tag::Date);
            }
            break;
        case 'a':
            if (whole("array")) {
                return named("array", Tag::Array);
            }
            break;
        case 't':
            if (whole("true")) {
                return named("true", Tag::True);
            }
            break;
        case 'f':
            if (whole("false")) {
                return named("false", Tag::False);
            }
            break;
        case 'r':
            if (whole("real")) {
                return named("real", Tag::Real);
            }
            break;
        default:
            break;
        }
    }
    const char* q = p;
    while (q != end && isLetter(*q)) {
        ++q;
    }
    return { std::string_view(p, static_cast<size_t>(q - p)), Tag::Other };
}

class Reader {
public:
    explicit Reader(std::string_view text)
        : m_text(text)
    {}

    std::optional<Value> document()
    {
        skipMisc();
        if (!startsWith("<plist")) {
            return std::nullopt;
        }
        if (!skipPast(">")) {
            return std::nullopt;
        }
        const bool emptyPlist = m_text[m_pos - 2] == '/';
        if (emptyPlist) {
            return std::nullopt;
        }
        skipMisc();
        Value value;
        if (!element(value, 0)) {
            return std::nullopt;
        }
        skipMisc();
        if (!consume("</plist>")) {
            return std::nullopt;
        }
        skipMisc();
        if (m_pos != m_text.size()) {
            return std::nullopt;
        }
        return value;
    }

private:
    // s is one of the reader's literals, never empty.
    bool startsWith(std::string_view s) const
    {
        return m_text.size() - m_pos >= s.size() && m_text[m_pos + s.size() - 1] == s.back() &&
               m_text.compare(m_pos, s.size(), s) == 0;
    }

    bool consume(std::string_view s)
    {
        if (!startsWith(s)) {
            return false;
        }
        m_pos += s.size();
        return true;
    }

    bool skipPast(std::string_view s)
    {
        const size_t at = m_text.find(s, m_pos);
        if (at == std::string_view::npos) {
            return false;
        }
        m_pos = at + s.size();
        return true;
    }

    static bool isSpace(char c)
    {
        constexpr std::uint64_t kSpaces = (1ULL << ' ') | (1ULL << '\t') | (1ULL << '\n') | (1ULL << '\r');
        const auto u = static_cast<unsigned char>(c);
        return u <= ' ' && ((kSpaces >> u) & 1U) != 0;
    }

    // The position of the first character from at on that is no white space.
    size_t spaceEnd(size_t at) const
    {
        const char* p = m_text.data() + at;
        const char* const end = m_text.data() + m_text.size();
        while (p != end && isSpace(*p)) {
            ++p;
        }
        return static_cast<size_t>(p - m_text.data());
    }

    void skipSpace() { m_pos = spaceEnd(m_pos); }

    // White space, comments, the XML declaration and the document type.
    void skipMisc()
    {
        for (;;) {
            skipSpace();
            if (m_pos + 1 >= m_text.size() || m_text[m_pos] != '<' ||
                (m_text[m_pos + 1] != '!' && m_text[m_pos + 1] != '?')) {
                return;
            }
            if (startsWith("<!--")) {
                if (!skipPast("-->")) {
                    m_pos = m_text.size();
                }
            } else if (startsWith("<?")) {
                if (!skipPast("?>")) {
                    m_pos = m_text.size();
                }
            } else if (startsWith("<!DOCTYPE")) {
                if (!skipPast(">")) {
                    m_pos = m_text.size();
                }
            } else {
                return;
            }
        }
    }

    // Reads "<name>" or "<name/>" (attributes ignored); false when no tag starts here.
    bool openTag(TagName& tag, bool& empty)
    {
        if (m_pos >= m_text.size() || m_text[m_pos] != '<') {
            return false;
        }
        tag = tagNameAt(m_text.data() + m_pos + 1, m_text.data() + m_text.size());
        if (tag.name.empty()) {
            return false;
        }
        size_t close = m_pos + 1 + tag.name.size();
        if (close >= m_text.size() || m_text[close] != '>') {
            close = m_text.find('>', close);
            if (close == std::string_view::npos) {
                return false;
            }
        }
        empty = m_text[close - 1] == '/';
        m_pos = close + 1;
        return true;
    }

    // Character data up to "</name>", with entities and CDATA sections decoded. The text is
    // most often plain and is then returned where it stands; decoded text lives in m_decoded
    // until the next call.
    std::optional<std::string_view> text(std::string_view name)
    {
        const size_t lt = m_text.find('<', m_pos);
        if (lt == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view raw = m_text.substr(m_pos, lt - m_pos);
        const size_t nameAt = lt + 2;
        if (raw.find('&') == std::string_view::npos && nameAt + name.size() < m_text.size() && m_text[lt + 1] == '/' &&
            m_text.compare(nameAt, name.size(), name) == 0) {
            size_t end = nameAt + name.size();
            end = spaceEnd(end);
            if (end < m_text.size() && m_text[end] == '>') {
                m_pos = end + 1;
                return raw;
            }
        }
        m_decoded.clear();
        if (!decodedTextUntilClose(m_decoded, name)) {
            return std::nullopt;
        }
        return std::string_view(m_decoded);
    }

    bool decodedTextUntilClose(std::string& out, std::string_view name)
    {
        for (;;) {
            const size_t lt = m_text.find('<', m_pos);
            if (lt == std::string_view::npos) {
                return false;
            }
            if (!decodeInto(out, m_text.substr(m_pos, lt - m_pos))) {
                return false;
            }
            m_pos = lt;
            if (consume("<![CDATA[")) {
                const size_t end = m_text.find("]]>", m_pos);
                if (end == std::string_view::npos) {
                    return false;
                }
                out.append(m_text.substr(m_pos, end - m_pos));
                m_pos = end + 3;
                continue;
            }
            if (startsWith("<!--")) {
                if (!skipPast("-->")) {
                    return false;
                }
                continue;
            }
            if (!consume("</") || !consume(name)) {
                return false;
            }
            skipSpace();
            return consume(">");
        }
    }

    static bool decodeInto(std::string& out, std::string_view raw)
    {
        size_t i = 0;
        while (i < raw.size()) {
            const size_t amp = raw.find('&', i);
            if (amp == std::string_view::npos) {
                out.append(raw.substr(i));
                return true;
            }
            out.append(raw.substr(i, amp - i));
            const size_t semi = raw.find(';', amp);
            if (semi == std::string_view::npos || semi - amp > 12) {
                return false;
            }
            const std::string_view entity = raw.substr(amp + 1, semi - amp - 1);
            if (entity == "lt") {
                out += '<';
            } else if (entity == "gt") {
                out += '>';
            } else if (entity == "amp") {
                out += '&';
            } else if (entity == "quot") {
                out += '"';
            } else if (entity == "apos") {
                out += '\'';
            } else if (entity.size() > 1 && entity[0] == '#') {
                const bool hex = entity[1] == 'x' || entity[1] == 'X';
                const std::string_view digits = entity.substr(hex ? 2 : 1);
                unsigned long cp = 0;
                const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
                if (ec != std::errc() || end != digits.data() + digits.size() || cp == 0 || cp > 0x10FFFF) {
                    return false;
                }
                appendUtf8(out, static_cast<uint32_t>(cp));
            } else {
                return false;
            }
            i = semi + 1;
        }
        return true;
    }

    static void appendUtf8(std::string& out, uint32_t cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    static std::string_view trimmed(std::string_view s)
    {
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())) != 0) {
            s.remove_prefix(1);
        }
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())) != 0) {
            s.remove_suffix(1);
        }
        return s;
    }

    static std::optional<Value> integerFrom(std::string_view s)
    {
        s = trimmed(s);
        bool negative = false;
        if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
            negative = s[0] == '-';
            s.remove_prefix(1);
        }
        int base = 10;
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            base = 16;
            s.remove_prefix(2);
        }
        uint64_t u = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), u, base);
        if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
            return std::nullopt;
        }
        if (!negative) {
            return Value::unsignedInteger(u); // other tools write numbers up to 2^64 - 1
        }
        constexpr uint64_t kMinMagnitude = uint64_t { 1 } << 63;
        return Value::integer(u >= kMinMagnitude ? INT64_MIN : -static_cast<int64_t>(u));
    }

    static std::optional<Value> realFrom(std::string_view s)
    {
        s = trimmed(s);
        // "+infinity" is how infinite values are written.
        if (s.size() > 1 && s[0] == '+' && s[1] != '-' && s[1] != '+') {
            s.remove_prefix(1);
        }
        double d = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
        if (s.empty() || ec != std::errc() || end != s.data() + s.size()) {
            return std::nullopt;
        }
        return Value::real(d);
    }

    static std::optional<Value> dataFrom(std::string_view s)
    {
        Value::Data bytes;
        uint32_t acc = 0;
        int bits = 0;
        for (const char c : s) {
            int v = 0;
            if (c >= 'A' && c <= 'Z') {
                v = c - 'A';
            } else if (c >= 'a' && c <= 'z') {
                v = c - 'a' + 26;
            } else if (c >= '0' && c <= '9') {
                v = c - '0' + 52;
            } else if (c == '+') {
                v = 62;
            } else if (c == '/') {
                v = 63;
            } else if (c == '=' || std::isspace(static_cast<unsigned char>(c)) != 0) {
                continue;
            } else {
                return std::nullopt;
            }
            acc = (acc << 6) | static_cast<uint32_t>(v);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                bytes.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
            }
        }
        return Value(std::move(bytes));
    }

    static std::optional<Value> dateFrom(std::string_view s)
    {
        s = trimmed(s);
        std::tm tm {};
        const std::string text(s);
        const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
        if (end == nullptr || *end != '\0') {
            return std::nullopt;
        }
        constexpr double kEpoch2001 = 978307200.0;
        return Value(Value::Date { static_cast<double>(::timegm(&tm)) - kEpoch2001 });
    }

    // Reads the element starting here into out (a fresh, empty value).
    bool element(Value& out, int depth)
    {
        if (depth > kMaxDepth) {
            return false;
        }
        if (const auto plain = plainElement("<string>", "</string>")) {
            out = Value(*plain);
            return true;
        }
        if (const auto plain = plainElement("<integer>", "</integer>")) {
            auto value = integerFrom(*plain);
            if (!value) {
                return false;
            }
            out = std::move(*value);
            return true;
        }
        TagName tag;
        bool empty = false;
        if (!openTag(tag, empty)) {
            return false;
        }
        const std::string_view name = tag.name;
        switch (tag.tag) {
        case Tag::Dict:
            out = Value(Value::Dictionary {});
            return empty || dictionary(*out.dictionary(), depth);
        case Tag::Array:
            out = Value(Value::Array {});
            return empty || array(*out.array(), depth);
        case Tag::True:
        case Tag::False:
            if (!empty) {
                const auto rest = text(name);
                if (!rest || !trimmed(*rest).empty()) {
                    return false;
                }
            }
            out = Value::boolean(tag.tag == Tag::True);
            return true;
        case Tag::String:
        case Tag::Integer:
        case Tag::Real:
        case Tag::Data:
        case Tag::Date:
            break;
        case Tag::Key:
        case Tag::Other:
            return false;
        }
        const std::optional<std::string_view> content = empty ? std::string_view() : text(name);
        if (!content) {
            return false;
        }
        std::optional<Value> value;
        switch (tag.tag) {
        case Tag::String:
            out = Value(*content);
            return true;
        case Tag::Integer:
            value = integerFrom(*content);
            break;
        case Tag::Real:
            value = realFrom(*content);
            break;
        case Tag::Data:
            value = dataFrom(*content);
            break;
        default:
            value = dateFrom(*content);
            break;
        }
        if (!value) {
            return false;
        }
        out = std::move(*value);
        return true;
    }

    bool dictionary(Value::Dictionary& dict, int depth)
    {
        for (;;) {
            skipMisc();
            std::optional<std::string_view> key = plainKey();
            if (!key) {
                if (consume("</dict>")) {
                    return true;
                }
                TagName tag;
                bool empty = false;
                if (!openTag(tag, empty) || tag.tag != Tag::Key) {
                    return false;
                }
                key = empty ? std::string_view() : text("key");
                if (!key) {
                    return false;
                }
            }
            // Documents are written in key order, so the hint makes each insert constant time.
            // The value is read straight into its node; a repeated key keeps the last value.
            const size_t before = dict.size();
            skipMisc();
            if (const auto plain = depth < kMaxDepth ? plainElement("<string>", "</string>") : std::nullopt) {
                const auto it = dict.emplace_hint(dict.end(), std::piecewise_construct, std::forward_as_tuple(*key),
                                                  std::forward_as_tuple(*plain));
                if (dict.size() == before) {
                    it->second = Value(*plain);
                }
                continue;
            }
            const auto it = dict.emplace_hint(dict.end(), std::piecewise_construct, std::forward_as_tuple(*key),
                                              std::forward_as_tuple());
            if (dict.size() != before) {
                if (!element(it->second, depth + 1)) {
                    return false;
                }
                continue;
            }
            Value value;
            if (!element(value, depth + 1)) {
                return false;
            }
            it->second = std::move(value);
        }
    }

    // An element as documents write it, the open and close tags exactly around text without
    // entities, read in one step; none (and nothing read) for anything else, which the general
    // path then reads.
    std::optional<std::string_view> plainElement(std::string_view open, std::string_view close)
    {
        const char* const begin = m_text.data() + m_pos;
        const char* const end = m_text.data() + m_text.size();
        if (static_cast<size_t>(end - begin) < open.size() + close.size() ||
            std::memcmp(begin, open.data(), open.size()) != 0) {
            return std::nullopt;
        }
        const char* const first = begin + open.size();
        const auto* const lt = static_cast<const char*>(std::memchr(first, '<', static_cast<size_t>(end - first)));
        if (lt == nullptr || static_cast<size_t>(end - lt) < close.size() ||
            std::memcmp(lt, close.data(), close.size()) != 0) {
            return std::nullopt;
        }
        const auto length = static_cast<size_t>(lt - first);
        if (std::memchr(first, '&', length) != nullptr) {
            return std::nullopt;
        }
        m_pos = static_cast<size_t>(lt + close.size() - m_text.data());
        return std::string_view(first, length);
    }

    std::optional<std::string_view> plainKey() { return plainElement("<key>", "</key>"); }

    bool array(Value::Array& items, int depth)
    {
        for (;;) {
            skipMisc();
            if (consume("</array>")) {
                return true;
            }
            if (!element(items.emplace_back(), depth + 1)) {
                return false;
            }
        }
    }

    std::string_view m_text;
    size_t m_pos = 0;
    std::string m_decoded;
};

} // namespace

std::optional<Value> readXmlPropertyList(std::string_view xml)
{
    return Reader(xml).document();
}

} // namespace kw

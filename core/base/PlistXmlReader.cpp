// A single-pass reader for XML property lists that builds Values directly. Settings documents
// of tens of thousands of filters are read by every wallctl run; building a second tree first
// and converting it cost most of the run.
#include "PlistXmlReader.h"

#include <charconv>
#include <cstring>
#include <ctime>

namespace kw {

namespace {

constexpr int kMaxDepth = 512;

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
        auto value = element(0);
        if (!value) {
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
    bool startsWith(std::string_view s) const { return m_text.substr(m_pos, s.size()) == s; }

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

    void skipSpace()
    {
        while (m_pos < m_text.size() &&
               (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\n' || m_text[m_pos] == '\r')) {
            ++m_pos;
        }
    }

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
    bool openTag(std::string& name, bool& empty)
    {
        if (m_pos >= m_text.size() || m_text[m_pos] != '<') {
            return false;
        }
        size_t i = m_pos + 1;
        const size_t start = i;
        while (i < m_text.size() &&
               ((m_text[i] >= 'a' && m_text[i] <= 'z') || (m_text[i] >= 'A' && m_text[i] <= 'Z'))) {
            ++i;
        }
        if (i == start) {
            return false;
        }
        name.assign(m_text.substr(start, i - start));
        const size_t close = m_text.find('>', i);
        if (close == std::string_view::npos) {
            return false;
        }
        empty = m_text[close - 1] == '/';
        m_pos = close + 1;
        return true;
    }

    // Character data up to "</name>", with entities and CDATA sections decoded.
    std::optional<std::string> textUntilClose(std::string_view name)
    {
        std::string out;
        for (;;) {
            const size_t lt = m_text.find('<', m_pos);
            if (lt == std::string_view::npos) {
                return std::nullopt;
            }
            if (!decodeInto(out, m_text.substr(m_pos, lt - m_pos))) {
                return std::nullopt;
            }
            m_pos = lt;
            if (consume("<![CDATA[")) {
                const size_t end = m_text.find("]]>", m_pos);
                if (end == std::string_view::npos) {
                    return std::nullopt;
                }
                out.append(m_text.substr(m_pos, end - m_pos));
                m_pos = end + 3;
                continue;
            }
            if (startsWith("<!--")) {
                if (!skipPast("-->")) {
                    return std::nullopt;
                }
                continue;
            }
            if (!consume("</") || !consume(name)) {
                return std::nullopt;
            }
            skipSpace();
            if (!consume(">")) {
                return std::nullopt;
            }
            return out;
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
        // Values above the signed range keep their bits, as unsigned integers are stored.
        return Value::integer(negative ? -static_cast<int64_t>(u) : static_cast<int64_t>(u));
    }

    static std::optional<Value> realFrom(std::string_view s)
    {
        s = trimmed(s);
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

    std::optional<Value> element(int depth)
    {
        if (depth > kMaxDepth) {
            return std::nullopt;
        }
        std::string name;
        bool empty = false;
        if (!openTag(name, empty)) {
            return std::nullopt;
        }
        if (name == "dict") {
            return empty ? Value(Value::Dictionary {}) : dictionary(depth);
        }
        if (name == "array") {
            return empty ? Value(Value::Array {}) : array(depth);
        }
        if (name == "true" || name == "false") {
            if (!empty) {
                auto rest = textUntilClose(name);
                if (!rest || !trimmed(*rest).empty()) {
                    return std::nullopt;
                }
            }
            return Value::boolean(name == "true");
        }
        std::optional<std::string> text = empty ? std::string() : textUntilClose(name);
        if (!text) {
            return std::nullopt;
        }
        if (name == "string") {
            return Value(std::move(*text));
        }
        if (name == "integer") {
            return integerFrom(*text);
        }
        if (name == "real") {
            return realFrom(*text);
        }
        if (name == "data") {
            return dataFrom(*text);
        }
        if (name == "date") {
            return dateFrom(*text);
        }
        return std::nullopt;
    }

    std::optional<Value> dictionary(int depth)
    {
        Value::Dictionary dict;
        for (;;) {
            skipMisc();
            if (consume("</dict>")) {
                return Value(std::move(dict));
            }
            std::string name;
            bool empty = false;
            if (!openTag(name, empty) || name != "key") {
                return std::nullopt;
            }
            std::optional<std::string> key = empty ? std::string() : textUntilClose("key");
            if (!key) {
                return std::nullopt;
            }
            skipMisc();
            auto value = element(depth + 1);
            if (!value) {
                return std::nullopt;
            }
            // Documents are written in key order, so the hint makes each insert constant time.
            dict.insert_or_assign(dict.end(), std::move(*key), std::move(*value));
        }
    }

    std::optional<Value> array(int depth)
    {
        Value::Array items;
        for (;;) {
            skipMisc();
            if (consume("</array>")) {
                return Value(std::move(items));
            }
            auto value = element(depth + 1);
            if (!value) {
                return std::nullopt;
            }
            items.push_back(std::move(*value));
        }
    }

    std::string_view m_text;
    size_t m_pos = 0;
};

} // namespace

std::optional<Value> readXmlPropertyList(std::string_view xml)
{
    return Reader(xml).document();
}

} // namespace kw

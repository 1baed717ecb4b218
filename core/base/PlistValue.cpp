#include "PlistValue.h"

#include "PlistXmlReader.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iconv.h>
#include <limits>
#include <memory>
#include <plist/plist.h>

namespace kw {

std::optional<std::int64_t> Value::integer() const
{
    if (const auto* i = std::get_if<Int>(&m_v)) {
        return i->large ? std::numeric_limits<std::int64_t>::max() : i->v;
    }
    return std::nullopt;
}

bool Value::isLargeUnsigned() const
{
    const auto* i = std::get_if<Int>(&m_v);
    return i != nullptr && i->large;
}

std::optional<std::uint64_t> Value::unsignedInteger() const
{
    const auto* i = std::get_if<Int>(&m_v);
    if (i == nullptr || (!i->large && i->v < 0)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(i->v);
}

std::optional<double> Value::real() const
{
    if (const auto* r = std::get_if<Real>(&m_v)) {
        return r->v;
    }
    return std::nullopt;
}

std::optional<bool> Value::boolean() const
{
    if (const auto* b = std::get_if<Bool>(&m_v)) {
        return b->v;
    }
    return std::nullopt;
}

std::int64_t leadingInteger(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                               text[i] == '\v' || text[i] == '\f')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate as a negative number so that INT64_MIN fits; saturate on overflow.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t acc = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (acc < (kMin + digit) / 10) {
            overflow = true;
            continue;
        }
        acc = acc * 10 - digit;
    }
    if (overflow) {
        return negative ? kMin : kMax;
    }
    if (negative) {
        return acc;
    }
    return acc == kMin ? kMax : -acc;
}

std::int64_t Value::integerValue() const
{
    switch (type()) {
    case Type::Integer:
        return *integer();
    case Type::Boolean:
        return std::get<Bool>(m_v).v ? 1 : 0;
    case Type::Real: {
        const double d = std::get<Real>(m_v).v;
        if (std::isnan(d)) {
            return 0;
        }
        if (d >= 9.2e18) {
            return std::numeric_limits<std::int64_t>::max();
        }
        if (d <= -9.2e18) {
            return std::numeric_limits<std::int64_t>::min();
        }
        return static_cast<std::int64_t>(d);
    }
    case Type::String:
        return leadingInteger(std::get<std::string>(m_v));
    default:
        return 0;
    }
}

std::string Value::stringValue() const
{
    switch (type()) {
    case Type::String:
        return std::get<std::string>(m_v);
    case Type::Integer: {
        const Int i = std::get<Int>(m_v);
        return i.large ? std::to_string(static_cast<std::uint64_t>(i.v)) : std::to_string(i.v);
    }
    case Type::Boolean:
        return std::get<Bool>(m_v).v ? "1" : "0";
    case Type::Real: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", std::get<Real>(m_v).v);
        return buf;
    }
    default:
        return {};
    }
}

const Value* Value::get(const std::string& key) const
{
    const auto* d = dictionary();
    if (d == nullptr) {
        return nullptr;
    }
    const auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

Value* Value::get(const std::string& key)
{
    auto* d = dictionary();
    if (d == nullptr) {
        return nullptr;
    }
    const auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

void Value::set(const std::string& key, Value value)
{
    if (isNone()) {
        m_v = Dictionary {};
    }
    if (auto* d = dictionary()) {
        (*d)[key] = std::move(value);
    }
}

std::int64_t integerValueOf(const Value* value)
{
    return value ? value->integerValue() : 0;
}

std::string stringValueOf(const Value* value)
{
    return value ? value->stringValue() : std::string();
}

// ---- reading ----

namespace {

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

constexpr int kMaxBinaryDepth = 512;

// True when the text holds a NUL byte, raw or as a character reference: property-list
// strings and keys never hold one (other readers of the same files would cut them short).
bool holdsNul(std::string_view xml)
{
    if (xml.find('\0') != std::string_view::npos) {
        return true;
    }
    for (size_t at = xml.find("&#"); at != std::string_view::npos; at = xml.find("&#", at + 2)) {
        size_t i = at + 2;
        const bool hex = i < xml.size() && (xml[i] == 'x' || xml[i] == 'X');
        i += hex ? 1 : 0;
        unsigned long value = 0;
        size_t digits = 0;
        for (; i < xml.size() && std::isxdigit(static_cast<unsigned char>(xml[i])) && digits < 12; ++i, ++digits) {
            const char c = xml[i];
            if (!hex && !std::isdigit(static_cast<unsigned char>(c))) {
                break;
            }
            const unsigned d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
            value = value * (hex ? 16 : 10) + d;
        }
        if (digits > 0 && value == 0) {
            return true;
        }
    }
    return false;
}

// The text converted to UTF-8 from the named encoding; none when it does not hold that encoding.
std::optional<std::string> toUtf8(std::string_view bytes, const char* encoding)
{
    const iconv_t cd = ::iconv_open("UTF-8", encoding);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    std::string out(bytes.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    size_t done = 0;
    bool ok = true;
    while (inLeft > 0) {
        char* o = out.data() + done;
        size_t outLeft = out.size() - done;
        const size_t r = ::iconv(cd, &in, &inLeft, &o, &outLeft);
        done = out.size() - outLeft;
        if (r == static_cast<size_t>(-1)) {
            if (errno != E2BIG) {
                ok = false;
                break;
            }
            out.resize(out.size() * 2);
        }
    }
    ::iconv_close(cd);
    if (!ok) {
        return std::nullopt;
    }
    out.resize(done);
    return out;
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The encoding that an XML declaration at the start names, lower-cased; empty when there is
// no declaration or it names none.
std::string declaredEncoding(std::string_view xml)
{
    if (!startsWith(xml, "<?xml")) {
        return {};
    }
    const std::string_view declaration = xml.substr(0, xml.find("?>", 5));
    const size_t at = declaration.find("encoding");
    if (at == std::string_view::npos) {
        return {};
    }
    size_t i = at + 8;
    while (i < declaration.size() && (declaration[i] == ' ' || declaration[i] == '=')) {
        ++i;
    }
    if (i >= declaration.size() || (declaration[i] != '"' && declaration[i] != '\'')) {
        return {};
    }
    const char quote = declaration[i];
    const size_t end = declaration.find(quote, i + 1);
    if (end == std::string_view::npos) {
        return {};
    }
    std::string name(declaration.substr(i + 1, end - i - 1));
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name;
}

bool isSafeEncodingName(const std::string& name)
{
    if (name.empty() || name.size() > 40) {
        return false;
    }
    for (const unsigned char c : name) {
        if (!(std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == ':')) {
            return false;
        }
    }
    return true;
}

std::optional<Value> readUtf8Xml(std::string_view xml)
{
    if (xml.empty() || xml.size() > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    if (xml.find("<plist") == std::string_view::npos || holdsNul(xml)) {
        return std::nullopt;
    }
    return readXmlPropertyList(xml);
}

std::optional<Value> fromNode(plist_t node, int depth)
{
    if (depth > kMaxBinaryDepth) {
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value::boolean(b != 0);
    }
    case PLIST_UINT: {
        // The binary form stores integers as signed 64-bit numbers.
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return Value::integer(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value::real(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char* text = nullptr;
        plist_get_string_val(node, &text);
        if (text == nullptr) {
            return std::nullopt;
        }
        Value v { std::string(text) };
        std::free(text);
        return v;
    }
    case PLIST_DATA: {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        Value::Data data(reinterpret_cast<const std::uint8_t*>(bytes),
                         reinterpret_cast<const std::uint8_t*>(bytes) + length);
        std::free(bytes);
        return Value(std::move(data));
    }
    case PLIST_DATE: {
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return Value(Value::Date { static_cast<double>(sec) + static_cast<double>(usec) / 1e6 });
    }
    case PLIST_ARRAY: {
        Value::Array items;
        const uint32_t n = plist_array_get_size(node);
        items.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            auto item = fromNode(plist_array_get_item(node, i), depth + 1);
            if (!item) {
                return std::nullopt;
            }
            items.push_back(std::move(*item));
        }
        return Value(std::move(items));
    }
    case PLIST_DICT: {
        Value::Dictionary dict;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        bool ok = it != nullptr;
        while (ok) {
            char* key = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, it, &key, &child);
            if (key == nullptr || child == nullptr) {
                std::free(key);
                break;
            }
            auto value = fromNode(child, depth + 1);
            if (value) {
                dict[key] = std::move(*value);
            }
            ok = value.has_value();
            std::free(key);
        }
        std::free(it);
        if (!ok) {
            return std::nullopt;
        }
        return Value(std::move(dict));
    }
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<Value> valueFromXml(std::string_view bytes)
{
    constexpr std::string_view kUtf8Mark = "\xef\xbb\xbf";
    if (startsWith(bytes, kUtf8Mark)) {
        return readUtf8Xml(bytes.substr(kUtf8Mark.size()));
    }
    // UTF-16 shows in its mark, or in the zero byte beside the first "<".
    const char* utf16 = nullptr;
    if (startsWith(bytes, "\xfe\xff")) {
        utf16 = "UTF-16BE";
        bytes.remove_prefix(2);
    } else if (startsWith(bytes, "\xff\xfe")) {
        utf16 = "UTF-16LE";
        bytes.remove_prefix(2);
    } else if (bytes.size() >= 2 && bytes[0] == '\0' && bytes[1] == '<') {
        utf16 = "UTF-16BE";
    } else if (bytes.size() >= 2 && bytes[0] == '<' && bytes[1] == '\0') {
        utf16 = "UTF-16LE";
    }
    if (utf16 != nullptr) {
        const auto text = toUtf8(bytes, utf16);
        return text ? readUtf8Xml(*text) : std::nullopt;
    }
    const std::string encoding = declaredEncoding(bytes);
    if (encoding.empty() || encoding == "utf-8" || encoding == "utf8" || encoding == "us-ascii" ||
        encoding == "ascii") {
        return readUtf8Xml(bytes);
    }
    if (!isSafeEncodingName(encoding)) {
        return std::nullopt;
    }
    const auto text = toUtf8(bytes, encoding.c_str());
    return text ? readUtf8Xml(*text) : std::nullopt;
}

std::optional<Value> valueFromPropertyList(std::string_view bytes)
{
    if (!startsWith(bytes, "bplist00")) {
        return valueFromXml(bytes);
    }
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    plist_t node = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    if (node == nullptr) {
        return std::nullopt;
    }
    PlistPtr guard(node);
    return fromNode(node, 0);
}

// ---- writing ----

namespace {

// The length of the UTF-8 sequence at text[i] that XML can carry, or 0.
size_t xmlCharLength(std::string_view text, size_t i)
{
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
        return c >= 0x20 || c == '\t' || c == '\n' || c == '\r' ? 1 : 0;
    }
    size_t length = 0;
    uint32_t cp = 0;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        const auto cc = static_cast<unsigned char>(text[i + k]);
        if ((cc & 0xc0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (cc & 0x3f);
    }
    const bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
    const bool surrogate = cp >= 0xd800 && cp <= 0xdfff;
    if (overlong || surrogate || cp > 0x10ffff || cp == 0xfffe || cp == 0xffff) {
        return 0;
    }
    return length;
}

std::optional<std::string> textProblem(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t n = xmlCharLength(text, i);
        if (n == 0) {
            const auto c = static_cast<unsigned char>(text[i]);
            char buf[64];
            if (c < 0x20) {
                std::snprintf(buf, sizeof buf, "holds a control character (0x%02x)", c);
            } else {
                std::snprintf(buf, sizeof buf, "holds bytes that are no UTF-8 text (0x%02x)", c);
            }
            return std::string(buf);
        }
        i += n;
    }
    return std::nullopt;
}

std::optional<std::string> findUnwritable(const Value& value, const std::string& where)
{
    const auto at = [&where](const std::string& step) { return where.empty() ? step : where + " / " + step; };
    if (const auto* d = value.dictionary()) {
        for (const auto& [k, v] : *d) {
            if (auto p = textProblem(k)) {
                return "the key " + at(escapedControlCharacters(k)) + " " + *p;
            }
            if (auto p = findUnwritable(v, at(k))) {
                return p;
            }
        }
    } else if (const auto* a = value.array()) {
        for (size_t i = 0; i < a->size(); ++i) {
            if (auto p = findUnwritable((*a)[i], at("entry " + std::to_string(i + 1)))) {
                return p;
            }
        }
    } else if (const auto* s = value.string()) {
        if (auto p = textProblem(*s)) {
            return (where.empty() ? std::string("the text") : where) + " " + *p;
        }
    }
    return std::nullopt;
}

void appendXmlText(std::string& out, std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t n = xmlCharLength(text, i);
        if (n == 0) {
            out += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        if (n == 1) {
            switch (text[i]) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '\r':
                out += "&#13;"; // a raw one would read back as a line feed
                break;
            default:
                out += text[i];
            }
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
}

void appendReal(std::string& out, double d)
{
    if (std::isnan(d)) {
        out += "nan";
    } else if (std::isinf(d)) {
        out += d > 0 ? "+infinity" : "-infinity";
    } else if (d == 0) {
        out += std::signbit(d) ? "-0.0" : "0.0";
    } else {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", d);
        out += buf;
    }
}

void appendDate(std::string& out, double secondsSince2001)
{
    constexpr double kEpoch2001 = 978307200.0;
    double t = std::trunc(secondsSince2001) + kEpoch2001;
    if (!std::isfinite(t) || t > 253402300799.0 || t < -62135596800.0) {
        t = kEpoch2001; // no four-digit year holds it
    }
    const auto when = static_cast<std::time_t>(t);
    std::tm tm {};
    gmtime_r(&when, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    out += buf;
}

void appendBase64Lines(std::string& out, const Value::Data& data, const std::string& pad, size_t lineLength)
{
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    encoded.reserve((data.size() + 2) / 3 * 4);
    for (size_t i = 0; i < data.size(); i += 3) {
        const uint32_t b0 = data[i];
        const uint32_t b1 = i + 1 < data.size() ? data[i + 1] : 0;
        const uint32_t b2 = i + 2 < data.size() ? data[i + 2] : 0;
        const uint32_t n = (b0 << 16) | (b1 << 8) | b2;
        encoded += kDigits[(n >> 18) & 63];
        encoded += kDigits[(n >> 12) & 63];
        encoded += i + 1 < data.size() ? kDigits[(n >> 6) & 63] : '=';
        encoded += i + 2 < data.size() ? kDigits[n & 63] : '=';
    }
    for (size_t at = 0; at < encoded.size(); at += lineLength) {
        out += pad;
        out.append(encoded, at, lineLength);
        out += '\n';
    }
}

// Writes the value as its element, indented by depth tabs, in the layout the store has always
// had: one element per line, empty containers as "<dict/>" and "<array/>".
void appendXml(std::string& out, const Value& value, size_t depth)
{
    const std::string pad(depth, '\t');
    switch (value.type()) {
    case Value::Type::Dictionary: {
        const auto& d = *value.dictionary();
        if (d.empty()) {
            out += pad + "<dict/>\n";
            return;
        }
        out += pad + "<dict>\n";
        for (const auto& [k, v] : d) {
            if (v.isNone()) {
                continue;
            }
            out += pad;
            out += "\t<key>";
            appendXmlText(out, k);
            out += "</key>\n";
            appendXml(out, v, depth + 1);
        }
        out += pad + "</dict>\n";
        return;
    }
    case Value::Type::Array: {
        const auto& a = *value.array();
        if (a.empty()) {
            out += pad + "<array/>\n";
            return;
        }
        out += pad + "<array>\n";
        for (const auto& v : a) {
            if (!v.isNone()) {
                appendXml(out, v, depth + 1);
            }
        }
        out += pad + "</array>\n";
        return;
    }
    case Value::Type::String:
        out += pad + "<string>";
        appendXmlText(out, *value.string());
        out += "</string>\n";
        return;
    case Value::Type::Integer:
        out += pad + "<integer>" + value.stringValue() + "</integer>\n";
        return;
    case Value::Type::Real:
        out += pad + "<real>";
        appendReal(out, *value.real());
        out += "</real>\n";
        return;
    case Value::Type::Boolean:
        out += pad + (*value.boolean() ? "<true/>\n" : "<false/>\n");
        return;
    case Value::Type::Data: {
        out += pad + "<data>\n";
        const size_t width = depth < 9 ? 76 - 8 * depth : 4;
        appendBase64Lines(out, *value.data(), pad, width);
        out += pad + "</data>\n";
        return;
    }
    case Value::Type::Date:
        out += pad + "<date>";
        appendDate(out, value.date()->secondsSince2001);
        out += "</date>\n";
        return;
    case Value::Type::None:
        return;
    }
}

} // namespace

std::optional<std::string> findTextXmlCannotHold(const Value& value)
{
    return findUnwritable(value, "");
}

std::string valueToXml(const Value& value)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n";
    if (value.isNone()) {
        out += "<dict/>\n";
    } else {
        appendXml(out, value, 0);
    }
    out += "</plist>\n";
    return out;
}

// ---- text form ----

namespace {

bool needsQuotes(const std::string& s)
{
    if (s.empty()) {
        return true;
    }
    for (const unsigned char c : s) {
        if (!(std::isalnum(c) || c == '_' || c == '$' || c == ':' || c == '.' || c == '/')) {
            return true;
        }
    }
    return false;
}

// Appends the text with control characters escaped; with quoted, also '"' and '\\'.
void appendEscaped(std::string& out, std::string_view s, bool quoted)
{
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        // A C1 control in UTF-8: 0xc2 and a byte from 0x80 to 0x9f.
        const bool c1 = c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(s[i + 1]) <= 0x9f;
        if (quoted && (c == '"' || c == '\\')) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f || c1) {
            char buf[16];
            if (c1) {
                std::snprintf(buf, sizeof buf, "\\%03o\\%03o", c, static_cast<unsigned char>(s[i + 1]));
                ++i;
            } else {
                std::snprintf(buf, sizeof buf, "\\%03o", c);
            }
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
}

void appendQuoted(std::string& out, const std::string& s)
{
    if (!needsQuotes(s)) {
        out += s;
        return;
    }
    out += '"';
    appendEscaped(out, s, true);
    out += '"';
}

void appendText(std::string& out, const Value& v, int indent)
{
    const std::string pad(static_cast<size_t>(indent) * 4, ' ');
    const std::string inner(static_cast<size_t>(indent + 1) * 4, ' ');
    switch (v.type()) {
    case Value::Type::Dictionary: {
        const auto& d = *v.dictionary();
        if (d.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        for (const auto& [k, child] : d) {
            out += inner;
            appendQuoted(out, k);
            out += " = ";
            appendText(out, child, indent + 1);
            out += ";\n";
        }
        out += pad + "}";
        return;
    }
    case Value::Type::Array: {
        const auto& a = *v.array();
        if (a.empty()) {
            out += "()";
            return;
        }
        out += "(\n";
        for (size_t i = 0; i < a.size(); ++i) {
            out += inner;
            appendText(out, a[i], indent + 1);
            out += i + 1 < a.size() ? ",\n" : "\n";
        }
        out += pad + ")";
        return;
    }
    case Value::Type::String:
        appendQuoted(out, *v.string());
        return;
    case Value::Type::Data: {
        out += '<';
        char buf[4];
        const auto& d = *v.data();
        for (size_t i = 0; i < d.size(); ++i) {
            if (i > 0 && i % 4 == 0) {
                out += ' ';
            }
            std::snprintf(buf, sizeof buf, "%02x", d[i]);
            out += buf;
        }
        out += '>';
        return;
    }
    case Value::Type::Date: {
        constexpr double kEpoch2001 = 978307200.0;
        const double t = std::floor(v.date()->secondsSince2001) + kEpoch2001;
        std::tm tm {};
        char buf[64] = "";
        const auto when = static_cast<std::time_t>(std::isfinite(t) && std::fabs(t) < 1e15 ? t : kEpoch2001);
        if (gmtime_r(&when, &tm) != nullptr) {
            std::strftime(buf, sizeof buf, "\"%Y-%m-%d %H:%M:%S +0000\"", &tm);
        }
        out += buf;
        return;
    }
    case Value::Type::None:
        out += "\"\"";
        return;
    default:
        out += v.stringValue();
        return;
    }
}

} // namespace

std::string escapedControlCharacters(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    appendEscaped(out, text, false);
    return out;
}

std::string valueToTextForm(const Value& value)
{
    std::string out;
    appendText(out, value, 0);
    return out;
}

} // namespace kw

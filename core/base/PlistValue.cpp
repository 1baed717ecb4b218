#include "PlistValue.h"

#include "PlistXmlReader.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <plist/plist.h>

namespace kw {

std::optional<std::int64_t> Value::integer() const
{
    if (const auto* i = std::get_if<Int>(&m_v)) {
        return i->v;
    }
    return std::nullopt;
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
        return std::get<Int>(m_v).v;
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
    case Type::Integer:
        return std::to_string(std::get<Int>(m_v).v);
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

// ---- XML through libplist ----

namespace {

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

plist_t toNode(const Value& value)
{
    switch (value.type()) {
    case Value::Type::Dictionary: {
        plist_t dict = plist_new_dict();
        for (const auto& [k, v] : *value.dictionary()) {
            if (plist_t child = toNode(v)) {
                plist_dict_set_item(dict, k.c_str(), child);
            }
        }
        return dict;
    }
    case Value::Type::Array: {
        plist_t array = plist_new_array();
        for (const auto& v : *value.array()) {
            if (plist_t child = toNode(v)) {
                plist_array_append_item(array, child);
            }
        }
        return array;
    }
    case Value::Type::String:
        return plist_new_string(value.string()->c_str());
    case Value::Type::Integer:
        return plist_new_uint(static_cast<uint64_t>(*value.integer()));
    case Value::Type::Real:
        return plist_new_real(*value.real());
    case Value::Type::Boolean:
        return plist_new_bool(*value.boolean() ? 1 : 0);
    case Value::Type::Data: {
        const auto& d = *value.data();
        return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Value::Type::Date: {
        const double s = value.date()->secondsSince2001;
        const double whole = std::floor(s);
        return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>((s - whole) * 1e6));
    }
    case Value::Type::None:
        return nullptr;
    }
    return nullptr;
}

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

} // namespace

std::optional<Value> valueFromXml(std::string_view xml)
{
    if (xml.empty() || xml.size() > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    // libplist needs the text to look like a property list; anything else is refused here.
    if (xml.find("<plist") == std::string_view::npos || holdsNul(xml)) {
        return std::nullopt;
    }
    return readXmlPropertyList(xml);
}

std::string valueToXml(const Value& value)
{
    plist_t node = toNode(value);
    if (node == nullptr) {
        node = plist_new_dict();
    }
    PlistPtr guard(node);
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(node, &xml, &len);
    std::string out = xml ? std::string(xml, len) : std::string();
    plist_to_xml_free(xml);
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

void appendQuoted(std::string& out, const std::string& s)
{
    if (!needsQuotes(s)) {
        out += s;
        return;
    }
    out += '"';
    for (const unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\%03o", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
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
        char buf[64];
        std::snprintf(buf, sizeof buf, "\"%.3f\"", v.date()->secondsSince2001);
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

std::string valueToTextForm(const Value& value)
{
    std::string out;
    appendText(out, value, 0);
    return out;
}

} // namespace kw

#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kw {

// A property-list value: dictionary (string keys), array, string, integer, real, boolean,
// data or date, or none. Dictionaries enumerate in key order, so every reader of an unchanged
// document sees the same order.
class Value {
public:
    using Dictionary = std::map<std::string, Value>;
    using Array = std::vector<Value>;
    using Data = std::vector<std::uint8_t>;
    struct Date {
        double secondsSince2001 = 0; // the property-list epoch, 2001-01-01 00:00:00 UTC
        bool operator==(const Date&) const = default;
    };
    enum class Type { None, Dictionary, Array, String, Integer, Real, Boolean, Data, Date };

    Value() = default;
    Value(std::string s)
        : m_v(std::move(s))
    {}
    Value(const char* s)
        : m_v(std::string(s))
    {}
    Value(std::string_view s)
        : m_v(std::string(s))
    {}
    Value(Dictionary d)
        : m_v(std::move(d))
    {}
    Value(Array a)
        : m_v(std::move(a))
    {}
    Value(Data d)
        : m_v(std::move(d))
    {}
    Value(Date d)
        : m_v(d)
    {}

    static Value integer(std::int64_t n) { return Value(Int { n, false }); }
    // An integer above the signed 64-bit range (other tools write them); smaller ones are
    // plain integers.
    static Value unsignedInteger(std::uint64_t n)
    {
        return Value(Int { static_cast<std::int64_t>(n), n > static_cast<std::uint64_t>(INT64_MAX) });
    }
    static Value real(double d) { return Value(Real { d }); }
    static Value boolean(bool b) { return Value(Bool { b }); }

    Type type() const { return static_cast<Type>(m_v.index()); }
    bool isNone() const { return type() == Type::None; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isArray() const { return type() == Type::Array; }
    bool isString() const { return type() == Type::String; }
    bool isNumber() const { return type() == Type::Integer || type() == Type::Real || type() == Type::Boolean; }

    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&m_v); }
    Dictionary* dictionary() { return std::get_if<Dictionary>(&m_v); }
    const Array* array() const { return std::get_if<Array>(&m_v); }
    Array* array() { return std::get_if<Array>(&m_v); }
    const std::string* string() const { return std::get_if<std::string>(&m_v); }
    const Data* data() const { return std::get_if<Data>(&m_v); }
    const Date* date() const { return std::get_if<Date>(&m_v); }
    // The integer, as a signed number; an integer above the signed range reads as the
    // largest signed one (see isLargeUnsigned).
    std::optional<std::int64_t> integer() const;
    // Whether this integer lies above the signed 64-bit range; unsignedInteger() then holds it.
    bool isLargeUnsigned() const;
    std::optional<std::uint64_t> unsignedInteger() const;
    std::optional<double> real() const;
    std::optional<bool> boolean() const;

    // The integer value every reader takes: a number's integer, a string's leading decimal
    // integer (leading blanks skipped, optional sign, saturating), 0 for anything else.
    std::int64_t integerValue() const;

    // The text form of a string or number ("%@"); empty for anything else.
    std::string stringValue() const;

    // Dictionary member lookup; nullptr when this is no dictionary or the key is absent.
    const Value* get(const std::string& key) const;
    Value* get(const std::string& key);
    // Makes this a dictionary when it is none, then sets the key.
    void set(const std::string& key, Value value);

    bool operator==(const Value& other) const = default;

private:
    struct Int {
        std::int64_t v; // the bits of the number
        bool large;     // v holds an unsigned number above INT64_MAX
        bool operator==(const Int&) const = default;
    };
    struct Real {
        double v;
        bool operator==(const Real&) const = default;
    };
    struct Bool {
        bool v;
        bool operator==(const Bool&) const = default;
    };
    explicit Value(Int i)
        : m_v(i)
    {}
    explicit Value(Real r)
        : m_v(r)
    {}
    explicit Value(Bool b)
        : m_v(b)
    {}

    std::variant<std::monostate, Dictionary, Array, std::string, Int, Real, Bool, Data, Date> m_v;
};

// Integer value of a possibly absent value: 0 when absent.
std::int64_t integerValueOf(const Value* value);
// String of a possibly absent value: the text form, empty when absent.
std::string stringValueOf(const Value* value);

// Leading decimal integer of a text (leading blanks skipped, optional sign, 0 without digits),
// saturated to the 64-bit range.
std::int64_t leadingInteger(std::string_view text);

// XML property-list reading: UTF-8 (with or without a byte-order mark), UTF-16 (either byte
// order, with or without a mark) or another encoding that its declaration names (such as
// ISO-8859-1). None when the bytes are no property list.
std::optional<Value> valueFromXml(std::string_view bytes);
// valueFromXml, and the binary form too (documents other tools wrote).
std::optional<Value> valueFromPropertyList(std::string_view bytes);

// XML property-list writing, always in UTF-8. Text that XML cannot hold (see
// findTextXmlCannotHold) is written as U+FFFD, never raw; callers that must not lose it check
// first.
std::string valueToXml(const Value& value);

// Where the value holds a key or string that an XML document cannot carry: a control
// character other than tab, line feed and carriage return, U+FFFE or U+FFFF, or bytes that are
// no UTF-8. The answer names the key path and the problem, e.g.
// "STORED_SETTINGS / A / SETTING_NAME holds a control character (0x07)"; none when all is fine.
std::optional<std::string> findTextXmlCannotHold(const Value& value);

// The text with control characters (C0, DEL and the C1 range) written as backslash escapes,
// so that printing it cannot drive a terminal; "\n", "\t", "\r" and octal "\033" forms.
std::string escapedControlCharacters(std::string_view text);

// The text form printed by "show": braces around dictionaries with "key = value;" entries,
// arrays in parentheses, strings quoted where needed.
std::string valueToTextForm(const Value& value);

} // namespace kw

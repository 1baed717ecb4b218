#pragma once

// Readers for the text and list fields of settings, shared by the rule and natd generators.
// They follow the document's reading rules: an absent key is no text, numbers are read by
// their integer value, and a value of the wrong kind raises SettingTypeError naming the key.

#include "base/PlistValue.h"
#include "rules/SettingTypeError.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kw::rules_detail {

// "a number", "an array", ... for error texts.
const char* kindName(const Value& value);

[[noreturn]] void throwNotText(const Value& value, std::string_view key);
[[noreturn]] void throwNotKind(const Value& value, std::string_view key, const char* expected);

// A field whose text is tested or compared: absent gives nullopt, a string its text,
// anything else raises.
inline std::optional<std::string_view> strictText(const Value* value, std::string_view key)
{
    if (value == nullptr || value->isNone()) {
        return std::nullopt;
    }
    if (const std::string* s = value->string()) {
        return std::string_view(*s);
    }
    throwNotText(*value, key);
}

// strictText, with no text for an absent key.
inline std::string_view strictTextOrEmpty(const Value* value, std::string_view key)
{
    return strictText(value, key).value_or(std::string_view());
}

// A field that is only written out ("%@"): absent appends nothing, a string its text, a
// number its decimal text; an array, dictionary, data or date raises.
void appendFormatted(std::string& out, const Value* value, std::string_view key);
std::string formattedText(const Value* value, std::string_view key);

// A list field: absent gives nullptr, an array itself, anything else raises.
const Value::Array* optionalArray(const Value* value, std::string_view key);

// A dictionary field or list entry: absent gives nullptr, a dictionary itself, anything
// else raises.
const Value* optionalDictionary(const Value* value, std::string_view key);

inline std::int64_t integerOf(const Value& dict, const char* key)
{
    return integerValueOf(dict.get(key));
}

inline void appendInteger(std::string& out, std::int64_t n)
{
    char buf[24];
    char* p = buf + sizeof buf;
    const bool negative = n < 0;
    // Work in unsigned so that INT64_MIN has a magnitude.
    std::uint64_t u = negative ? (~static_cast<std::uint64_t>(n) + 1) : static_cast<std::uint64_t>(n);
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (negative) {
        *--p = '-';
    }
    out.append(p, static_cast<size_t>(buf + sizeof buf - p));
}

} // namespace kw::rules_detail

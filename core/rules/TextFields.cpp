#include "rules/TextFields.h"

namespace kw::rules_detail {

const char* kindName(const Value& value)
{
    switch (value.type()) {
    case Value::Type::None:
        return "no value";
    case Value::Type::Dictionary:
        return "a dictionary";
    case Value::Type::Array:
        return "an array";
    case Value::Type::String:
        return "text";
    case Value::Type::Integer:
    case Value::Type::Real:
        return "a number";
    case Value::Type::Boolean:
        return "a boolean";
    case Value::Type::Data:
        return "data";
    case Value::Type::Date:
        return "a date";
    }
    return "an unknown value";
}

void throwNotKind(const Value& value, std::string_view key, const char* expected)
{
    throw SettingTypeError(std::string(key) + " holds " + kindName(value) + " where " + expected + " is expected");
}

void throwNotText(const Value& value, std::string_view key)
{
    throwNotKind(value, key, "text");
}

void appendFormatted(std::string& out, const Value* value, std::string_view key)
{
    if (value == nullptr || value->isNone()) {
        return;
    }
    if (const std::string* s = value->string()) {
        out += *s;
        return;
    }
    if (value->isNumber()) {
        out += value->stringValue();
        return;
    }
    throwNotText(*value, key);
}

std::string formattedText(const Value* value, std::string_view key)
{
    std::string out;
    appendFormatted(out, value, key);
    return out;
}

const Value::Array* optionalArray(const Value* value, std::string_view key)
{
    if (value == nullptr || value->isNone()) {
        return nullptr;
    }
    if (const Value::Array* a = value->array()) {
        return a;
    }
    throwNotKind(*value, key, "a list");
}

const Value* optionalDictionary(const Value* value, std::string_view key)
{
    if (value == nullptr || value->isNone()) {
        return nullptr;
    }
    if (value->isDictionary()) {
        return value;
    }
    throwNotKind(*value, key, "a dictionary");
}

} // namespace kw::rules_detail

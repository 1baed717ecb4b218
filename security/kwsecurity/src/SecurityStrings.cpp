#include <KWSecurity/SecurityStrings.h>

#include "base/PlistValue.h"

#include <mutex>

namespace kw {

namespace {

struct StringTable {
    std::mutex mutex;
    Value table;
};

StringTable& stringTable()
{
    static StringTable t;
    return t;
}

} // namespace

bool setSecurityStringTable(const std::string& xmlPropertyList)
{
    std::optional<Value> value = valueFromXml(xmlPropertyList);
    if (!value || !value->isDictionary()) {
        return false;
    }
    auto& t = stringTable();
    std::lock_guard lock(t.mutex);
    t.table = std::move(*value);
    return true;
}

std::string securityLocalizedString(const std::string& key, const std::string& defaultText)
{
    auto& t = stringTable();
    std::lock_guard lock(t.mutex);
    const Value* entry = t.table.get(key);
    if (entry != nullptr && entry->isString()) {
        return *entry->string();
    }
    return defaultText;
}

} // namespace kw

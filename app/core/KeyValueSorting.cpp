#include "KeyValueSorting.h"

#include <algorithm>

namespace kw::KeyValueSorting {

namespace {

double numberOf(const Value& v)
{
    if (auto i = v.integer()) {
        return static_cast<double>(*i);
    }
    if (auto r = v.real()) {
        return *r;
    }
    return v.boolean().value_or(false) ? 1.0 : 0.0;
}

// The natural order of two present values: numbers by value, texts by bytes, dates by time;
// values of different kinds by their kind.
int naturalCompare(const Value& a, const Value& b)
{
    if (a.isNumber() && b.isNumber()) {
        const double x = numberOf(a);
        const double y = numberOf(b);
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    if (a.isString() && b.isString()) {
        const int c = a.string()->compare(*b.string());
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    if (a.date() != nullptr && b.date() != nullptr) {
        const double x = a.date()->secondsSince2001;
        const double y = b.date()->secondsSince2001;
        return x < y ? -1 : (y < x ? 1 : 0);
    }
    const auto ka = static_cast<int>(a.type());
    const auto kb = static_cast<int>(b.type());
    return ka < kb ? -1 : (kb < ka ? 1 : 0);
}

} // namespace

bool valueMatches(const Value* recordValue, const Value& value)
{
    if (recordValue == nullptr) {
        return false;
    }
    if (value.isString()) {
        return recordValue->isString() && *recordValue->string() == *value.string();
    }
    if (value.isNumber()) {
        return recordValue->isNumber() && numberOf(*recordValue) == numberOf(value);
    }
    return *recordValue == value;
}

bool compareRowsByKey(const Value& a, const Value& b, const std::string& key)
{
    const Value* x = a.get(key);
    const Value* y = b.get(key);
    if (x == nullptr) {
        return false;
    }
    if (y == nullptr) {
        return true;
    }
    return naturalCompare(*x, *y) < 0;
}

bool compareRowsDescByKey(const Value& a, const Value& b, const std::string& key)
{
    const Value* x = a.get(key);
    const Value* y = b.get(key);
    if (x == nullptr) {
        return y != nullptr;
    }
    if (y == nullptr) {
        return false;
    }
    return naturalCompare(*y, *x) < 0;
}

void sortArrayWithKey(Array& rows, const std::string& key)
{
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const Value& a, const Value& b) { return compareRowsByKey(a, b, key); });
}

void sortArrayDescWithKey(Array& rows, const std::string& key)
{
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const Value& a, const Value& b) { return compareRowsDescByKey(a, b, key); });
}

Array sortedArrayWithKey(const Array& rows, const std::string& key)
{
    Array sorted = rows;
    sortArrayWithKey(sorted, key);
    return sorted;
}

Array sortedArrayDescWithKey(const Array& rows, const std::string& key)
{
    Array sorted = rows;
    sortArrayDescWithKey(sorted, key);
    return sorted;
}

std::optional<std::size_t> indexOfObjectWithValue(const Array& rows, const Value& value, const std::string& key)
{
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (valueMatches(rows[i].get(key), value)) {
            return i;
        }
    }
    return std::nullopt;
}

const Value* objectWithValue(const Array& rows, const Value& value, const std::string& key)
{
    const auto index = indexOfObjectWithValue(rows, value, key);
    return index ? &rows[*index] : nullptr;
}

Array objectsWithValue(const Array& rows, const Value& value, const std::string& key)
{
    Array found;
    std::copy_if(rows.begin(), rows.end(), std::back_inserter(found),
                 [&](const Value& row) { return valueMatches(row.get(key), value); });
    return found;
}

Array objectsWithoutValue(const Array& rows, const Value& value, const std::string& key)
{
    Array found;
    std::copy_if(rows.begin(), rows.end(), std::back_inserter(found),
                 [&](const Value& row) { return !valueMatches(row.get(key), value); });
    return found;
}

void replaceObject(Array& rows, const Value& old, Value replacement)
{
    const auto it = std::find(rows.begin(), rows.end(), old);
    if (it != rows.end()) {
        *it = std::move(replacement);
    }
}

void removeObjectWithValue(Array& rows, const Value& value, const std::string& key)
{
    const auto index = indexOfObjectWithValue(rows, value, key);
    if (!index) {
        return;
    }
    const Value found = rows[*index];
    rows.erase(std::remove(rows.begin(), rows.end(), found), rows.end());
}

void updateObject(Array& rows, Value record, const Value& value, const std::string& key)
{
    if (!updateExistingObject(rows, record, value, key)) {
        rows.push_back(std::move(record));
    }
}

bool updateExistingObject(Array& rows, Value record, const Value& value, const std::string& key)
{
    const auto index = indexOfObjectWithValue(rows, value, key);
    if (!index) {
        return false;
    }
    rows[*index] = std::move(record);
    return true;
}

} // namespace kw::KeyValueSorting

#pragma once

#include "base/PlistValue.h"

#include <cstddef>
#include <optional>
#include <string>

namespace kw {

// Finding, replacing and sorting records (dictionaries) of a list by the value of one key.
// A value matches by text equality when it is a text, by numeric equality when it is a number
// (2 matches 2.0), and by general equality otherwise.
namespace KeyValueSorting {

using Array = Value::Array;

bool valueMatches(const Value* recordValue, const Value& value);

// Ascending: a record without the key sorts after one with it; descending is the exact reverse.
bool compareRowsByKey(const Value& a, const Value& b, const std::string& key);
bool compareRowsDescByKey(const Value& a, const Value& b, const std::string& key);

Array sortedArrayWithKey(const Array& rows, const std::string& key);
Array sortedArrayDescWithKey(const Array& rows, const std::string& key);
void sortArrayWithKey(Array& rows, const std::string& key);
void sortArrayDescWithKey(Array& rows, const std::string& key);

const Value* objectWithValue(const Array& rows, const Value& value, const std::string& key);
std::optional<std::size_t> indexOfObjectWithValue(const Array& rows, const Value& value, const std::string& key);
Array objectsWithValue(const Array& rows, const Value& value, const std::string& key);
Array objectsWithoutValue(const Array& rows, const Value& value, const std::string& key);

// Replaces the first element equal to old by the new one; nothing when old is absent.
void replaceObject(Array& rows, const Value& old, Value replacement);
// Removes the first matching element and every element equal to it.
void removeObjectWithValue(Array& rows, const Value& value, const std::string& key);
// Replaces the first matching element by the record, else appends it.
void updateObject(Array& rows, Value record, const Value& value, const std::string& key);
// Replaces the first matching element by the record; false when none matched.
bool updateExistingObject(Array& rows, Value record, const Value& value, const std::string& key);

} // namespace KeyValueSorting

} // namespace kw

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kw {

// One row of an SQLResult: a view into the result's table, valid only while the result lives.
// Every value is text; an SQL NULL has no value.
class SQLRow {
public:
    SQLRow() = default;
    SQLRow(const char* const* rowData, const char* const* columns, int columnCount)
        : m_rowData(rowData)
        , m_columns(columns)
        , m_columnCount(columnCount)
    {}

    bool valid() const { return m_rowData != nullptr && m_columns != nullptr && m_columnCount > 0; }
    int columnCount() const { return m_columnCount; }

    std::optional<std::string> nameOfColumnAtIndex(int index) const;
    std::optional<std::string_view> nameOfColumnAtIndexNoCopy(int index) const;

    std::optional<std::string> stringForColumnAtIndex(int index) const;
    std::optional<std::string_view> stringForColumnAtIndexNoCopy(int index) const;

    // First column whose name equals the given one byte for byte.
    std::optional<std::string> stringForColumn(std::string_view name) const;
    std::optional<std::string_view> stringForColumnNoCopy(std::string_view name) const;

    // The values in column order joined by " | " ("(null)" for SQL NULL, as "%s" writes it).
    std::string description() const;

private:
    int indexOfColumn(std::string_view name) const;

    const char* const* m_rowData = nullptr;
    const char* const* m_columns = nullptr;
    int m_columnCount = 0;
};

} // namespace kw

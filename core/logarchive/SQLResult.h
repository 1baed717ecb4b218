#pragma once

#include "SQLRow.h"

#include <memory>
#include <optional>
#include <vector>

namespace kw {

class SQLRowEnumerator;

// A whole result table: (rows + 1) x columns text pointers, row-major; the first row holds
// the column names, each later row the values of one result row (nullptr for SQL NULL).
// The result owns the text; rows handed out are views into it.
class SQLResult : public std::enable_shared_from_this<SQLResult> {
public:
    SQLResult() = default;
    // Takes the text arena and the pointer table (pointers into the arena).
    SQLResult(std::vector<char> arena, std::vector<const char*> table, int rows, int columns);
    SQLResult(const SQLResult&) = delete;
    SQLResult& operator=(const SQLResult&) = delete;

    int rowCount() const { return m_rows; }
    int columnCount() const { return m_columns; }

    // The row at index 0 to rowCount() - 1; none for any other index.
    std::optional<SQLRow> rowAtIndex(long index) const;

    // An enumerator over all rows in order. When this result is held by a shared_ptr the
    // enumerator keeps it alive; otherwise the caller keeps the result alive.
    SQLRowEnumerator rowEnumerator() const;

private:
    std::vector<char> m_arena;
    std::vector<const char*> m_table;
    int m_rows = 0;
    int m_columns = 0;
};

class SQLRowEnumerator {
public:
    explicit SQLRowEnumerator(std::shared_ptr<const SQLResult> result);
    explicit SQLRowEnumerator(const SQLResult& result);

    // The row at the current position, advancing; none once every row was handed out.
    std::optional<SQLRow> nextObject();

private:
    std::shared_ptr<const SQLResult> m_hold;
    const SQLResult* m_result;
    long m_position = 0;
};

} // namespace kw

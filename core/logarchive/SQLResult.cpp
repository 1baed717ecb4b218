#include "SQLResult.h"

namespace kw {

SQLResult::SQLResult(std::vector<char> arena, std::vector<const char*> table, int rows, int columns)
    : m_arena(std::move(arena))
    , m_table(std::move(table))
    , m_rows(rows)
    , m_columns(columns)
{}

std::optional<SQLRow> SQLResult::rowAtIndex(long index) const
{
    if (index < 0 || index >= m_rows || m_columns <= 0) {
        return std::nullopt;
    }
    const auto offset = static_cast<size_t>(index + 1) * static_cast<size_t>(m_columns);
    return SQLRow(m_table.data() + offset, m_table.data(), m_columns);
}

SQLRowEnumerator SQLResult::rowEnumerator() const
{
    if (auto self = weak_from_this().lock()) {
        return SQLRowEnumerator(std::move(self));
    }
    return SQLRowEnumerator(*this);
}

SQLRowEnumerator::SQLRowEnumerator(std::shared_ptr<const SQLResult> result)
    : m_hold(std::move(result))
    , m_result(m_hold.get())
{}

SQLRowEnumerator::SQLRowEnumerator(const SQLResult& result)
    : m_result(&result)
{}

std::optional<SQLRow> SQLRowEnumerator::nextObject()
{
    if (m_result == nullptr || m_position >= m_result->rowCount()) {
        return std::nullopt;
    }
    return m_result->rowAtIndex(m_position++);
}

} // namespace kw

#include "SQLRow.h"

namespace kw {

std::optional<std::string_view> SQLRow::nameOfColumnAtIndexNoCopy(int index) const
{
    if (!valid() || index < 0 || index >= m_columnCount || m_columns[index] == nullptr) {
        return std::nullopt;
    }
    return std::string_view(m_columns[index]);
}

std::optional<std::string> SQLRow::nameOfColumnAtIndex(int index) const
{
    const auto name = nameOfColumnAtIndexNoCopy(index);
    if (!name) {
        return std::nullopt;
    }
    return std::string(*name);
}

std::optional<std::string_view> SQLRow::stringForColumnAtIndexNoCopy(int index) const
{
    if (!valid() || index < 0 || index >= m_columnCount || m_rowData[index] == nullptr) {
        return std::nullopt;
    }
    return std::string_view(m_rowData[index]);
}

std::optional<std::string> SQLRow::stringForColumnAtIndex(int index) const
{
    const auto value = stringForColumnAtIndexNoCopy(index);
    if (!value) {
        return std::nullopt;
    }
    return std::string(*value);
}

int SQLRow::indexOfColumn(std::string_view name) const
{
    for (int i = 0; i < m_columnCount; ++i) {
        if (m_columns[i] != nullptr && name == m_columns[i]) {
            return i;
        }
    }
    return -1;
}

std::optional<std::string> SQLRow::stringForColumn(std::string_view name) const
{
    if (!valid()) {
        return std::nullopt;
    }
    return stringForColumnAtIndex(indexOfColumn(name));
}

std::optional<std::string_view> SQLRow::stringForColumnNoCopy(std::string_view name) const
{
    if (!valid()) {
        return std::nullopt;
    }
    return stringForColumnAtIndexNoCopy(indexOfColumn(name));
}

std::string SQLRow::description() const
{
    std::string text;
    if (m_rowData == nullptr) {
        return text;
    }
    for (int i = 0; i < m_columnCount; ++i) {
        if (i > 0) {
            text += " | ";
        }
        text += m_rowData[i] != nullptr ? m_rowData[i] : "(null)";
    }
    return text;
}

} // namespace kw

#include "LogSearch.h"

#include "SQLDatabase.h"

#include <array>
#include <stdexcept>

namespace kw {

namespace {

constexpr std::array<const char*, 13> kLogColumns = { "log_id",    "timestamp", "rule_no",  "action",    "proto",
                                                      "src_label", "src_host",  "src_port", "dst_label", "dst_host",
                                                      "dst_port",  "dir",       "interface" };

const char* operatorText(LogSearchOperator op)
{
    switch (op) {
    case LogSearchOperator::Equal:
        return "=";
    case LogSearchOperator::NotEqual:
        return "!=";
    case LogSearchOperator::Greater:
        return ">";
    case LogSearchOperator::Less:
        return "<";
    case LogSearchOperator::BeginsWith:
    case LogSearchOperator::Contains:
    case LogSearchOperator::EndsWith:
        return "LIKE";
    }
    return "=";
}

} // namespace

std::optional<LogSearch> LogSearch::fromMenuTags(int columnTag, int operatorTag, std::string text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    static constexpr const char* kColumnsByTag[7] = { "src_port", "src_host",  "dst_port", "dst_host",
                                                      "action",   "timestamp", "rule_no" };
    static constexpr LogSearchOperator kOperatorsByTag[7] = {
        LogSearchOperator::Equal,      LogSearchOperator::NotEqual, LogSearchOperator::Greater, LogSearchOperator::Less,
        LogSearchOperator::BeginsWith, LogSearchOperator::Contains, LogSearchOperator::EndsWith
    };
    LogSearch search;
    search.column = columnTag >= 0 && columnTag < 7 ? kColumnsByTag[columnTag] : "rule_no";
    search.op = operatorTag >= 0 && operatorTag < 7 ? kOperatorsByTag[operatorTag] : LogSearchOperator::Equal;
    search.text = std::move(text);
    return search;
}

bool LogSearch::isLogColumn(std::string_view column)
{
    for (const char* c : kLogColumns) {
        if (column == c) {
            return true;
        }
    }
    return false;
}

std::string LogSearch::conditionText() const
{
    if (!isLogColumn(column)) {
        throw std::invalid_argument("Not a column of the log table: " + column);
    }
    if (op == LogSearchOperator::Greater || op == LogSearchOperator::Less) {
        // The archive stores a missing port as the text "(null)"; it is neither larger nor
        // smaller than any port (SQLite 3 would order every text above every number).
        return "(" + column + " " + operatorText(op) + " ? AND " + column + " != '(null)')";
    }
    return column + " " + operatorText(op) + " ?";
}

std::string LogSearch::boundValue() const
{
    switch (op) {
    case LogSearchOperator::BeginsWith:
        return text + "%";
    case LogSearchOperator::Contains:
        return "%" + text + "%";
    case LogSearchOperator::EndsWith:
        return "%" + text;
    default:
        return text;
    }
}

std::string LogSearch::displayText() const
{
    return column + " " + operatorText(op) + " '" + SQLDatabase::prepareStringForQuery(boundValue()) + "'";
}

} // namespace kw

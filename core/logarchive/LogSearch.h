#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kw {

// Comparison of the log window's one-condition search.
enum class LogSearchOperator { Equal, NotEqual, Greater, Less, BeginsWith, Contains, EndsWith };

// One search condition: a column of the log table, an operator and the text the user typed.
// The column and the operator come from fixed lists; the text is only ever bound as a value,
// so nothing the user types can end the literal or add to the statement.
struct LogSearch {
    std::string column;
    LogSearchOperator op = LogSearchOperator::Equal;
    std::string text;

    // The search for the log window's menus: column tags 0 to 6 are src_port, src_host,
    // dst_port, dst_host, action, timestamp, rule_no (any other: rule_no); operator tags 0 to 6
    // are =, !=, >, <, begins with, contains, ends with (any other: =). Empty text means no
    // condition: every row.
    static std::optional<LogSearch> fromMenuTags(int columnTag, int operatorTag, std::string text);

    // True for the names of the log table's columns.
    static bool isLogColumn(std::string_view column);

    // "<column> <operator> ?" (for > and <, rows without a value are left out); raises
    // std::invalid_argument for a column not in the table.
    std::string conditionText() const;
    // The value bound to the "?": the text, with "%" wildcards around it for LIKE.
    std::string boundValue() const;
    // The condition as it reads with the value quoted, for display and logging only.
    std::string displayText() const;
};

} // namespace kw

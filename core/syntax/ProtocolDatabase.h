#pragma once

#include <optional>
#include <string_view>

namespace kw {

// The platform's protocols database (etc/protocols) as the releases ship it: what the rule
// text and every release's listing print for a protocol number, and what the name lookups fall
// back to on a machine without a protocols file.
const char* protocolDatabaseName(int protocol); // nullptr: the number is printed
std::optional<int> protocolDatabaseNumber(std::string_view name);

} // namespace kw

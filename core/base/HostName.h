#pragma once

#include <string>

namespace kw {

// The host's name without its domain, as log lines carry it; "localhost" when it has none.
std::string shortHostName();

} // namespace kw

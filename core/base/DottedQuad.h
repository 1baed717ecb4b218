#pragma once

#include <cstdint>
#include <string>

namespace kw {

// An IPv4 address (host byte order) as the system prints it: four decimal bytes joined by dots.
std::string dottedQuad(std::uint32_t address);

// The same, appended to a text being built (the listing writes many of them).
void appendDottedQuad(std::string& text, std::uint32_t address);

} // namespace kw

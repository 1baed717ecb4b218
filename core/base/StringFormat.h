#pragma once

#include <cstdarg>
#include <string>

namespace kw {

// printf-style formatting into a string.
std::string formatv(const char* format, va_list args);

} // namespace kw

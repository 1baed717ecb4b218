#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kw::platform {

// A dotted-quad IPv4 address in host byte order; none unless the text is exactly four decimal
// parts of 0 to 255.
std::optional<std::uint32_t> parseIPv4(std::string_view text);

// A netmask given as a dotted quad or as hex ("0xffffff00"); none unless its one bits are
// contiguous from the top.
std::optional<std::uint32_t> parseNetmask(std::string_view text);
int prefixLength(std::uint32_t netmask);
std::uint32_t netmaskForPrefix(int prefixLength);
std::string formatHexNetmask(std::uint32_t netmask);

// A decimal number from min to max with nothing else around it.
std::optional<std::int64_t> parseDecimal(std::string_view text, std::int64_t min, std::int64_t max);

} // namespace kw::platform

#pragma once

#include <KWSecurity/Export.h>

#include <cstdint>
#include <string>

namespace kw {

// "%d.%d.%d.%d" of the address (host order, most significant byte first).
KW_SECURITY_EXPORT std::string StringFromInAddr(std::uint32_t address);

// Reads a dotted IPv4 address, stores it in the place (when given) and returns it. Throws
// std::invalid_argument whose what() is the localized "Cannot interpret ..." message.
KW_SECURITY_EXPORT std::uint32_t InAddrFromString(std::uint32_t* place, const std::string& text);

// True when the text is an IPv4 address or a CIDR network; otherwise false with a localized
// message in the place (set only when false is returned).
KW_SECURITY_EXPORT bool validateIpOrNetworkAddress(const std::string& text, std::string* message);

} // namespace kw

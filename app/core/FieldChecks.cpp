#include "FieldChecks.h"

#include <KWSecurity/AddressValidation.h>

namespace kw {

std::optional<std::string> unsafeFieldText(std::string_view text)
{
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            return "Fields cannot hold line breaks or other control characters.";
        }
        if (c == '#') {
            return "Fields cannot hold the comment sign \"#\".";
        }
    }
    return std::nullopt;
}

std::optional<std::string> addressProblem(std::string_view text, bool allowNetwork)
{
    if (auto unsafe = unsafeFieldText(text)) {
        return unsafe;
    }
    if (text.find(' ') != std::string_view::npos) {
        return "An address cannot hold blanks.";
    }
    std::string message;
    if (!validateIpOrNetworkAddress(std::string(text), &message)) {
        return message.empty() ? std::string("Not an IPv4 address.") : message;
    }
    if (!allowNetwork && text.find('/') != std::string_view::npos) {
        return "A single IPv4 address is needed here, not a network.";
    }
    return std::nullopt;
}

} // namespace kw

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kw {

// Checks of the text a person types into a sheet, made before it can reach the settings: the
// rule file and the natd configuration are line based, so a line break, a control character
// or a comment sign would change what they say.
std::optional<std::string> unsafeFieldText(std::string_view text);

// An IPv4 address (or, with allowNetwork, a CIDR network) that the packet filter and natd take;
// the message when it is not one.
std::optional<std::string> addressProblem(std::string_view text, bool allowNetwork);

} // namespace kw

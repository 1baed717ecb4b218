#pragma once

#include "PlistValue.h"

#include <optional>
#include <string_view>

namespace kw {

// Reads an XML property list ("<plist>" around one value) straight into a Value; none when the
// text is not a well-formed property list.
std::optional<Value> readXmlPropertyList(std::string_view xml);

} // namespace kw

// Property-list reading (XML in any encoding, and the binary form): any bytes must give a value
// or nothing, and whatever was read must be written as XML that reads again.
#include "base/PlistValue.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto value = kw::valueFromPropertyList(text);
    if (!value) {
        return 0;
    }
    (void)kw::valueToTextForm(*value);
    (void)kw::findTextXmlCannotHold(*value);
    const auto again = kw::valueFromXml(kw::valueToXml(*value));
    if (!again) {
        std::abort();
    }
    return 0;
}

// Property-list reading: any bytes must give a value or nothing, and whatever was read must
// survive a write and a second read unchanged.
#include "base/PlistValue.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto value = kw::valueFromXml(text);
    if (!value) {
        return 0;
    }
    (void)kw::valueToTextForm(*value);
    const auto again = kw::valueFromXml(kw::valueToXml(*value));
    if (!again) {
        std::abort();
    }
    return 0;
}

#include "DottedQuad.h"

namespace kw {

void appendDottedQuad(std::string& text, std::uint32_t address)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned byte = (address >> shift) & 0xffu;
        if (byte >= 100) {
            text += static_cast<char>('0' + byte / 100);
        }
        if (byte >= 10) {
            text += static_cast<char>('0' + byte / 10 % 10);
        }
        text += static_cast<char>('0' + byte % 10);
        if (shift != 0) {
            text += '.';
        }
    }
}

std::string dottedQuad(std::uint32_t address)
{
    std::string text;
    text.reserve(15);
    appendDottedQuad(text, address);
    return text;
}

} // namespace kw

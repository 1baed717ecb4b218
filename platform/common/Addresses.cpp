#include "common/Addresses.h"

#include <cstdio>
#include <vector>

namespace kw::platform {

std::optional<std::int64_t> parseDecimal(std::string_view text, std::int64_t min, std::int64_t max)
{
    if (text.empty() || text.size() > 18) {
        return std::nullopt;
    }
    bool negative = false;
    if (text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
        if (text.empty()) {
            return std::nullopt;
        }
    }
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        v = v * 10 + (c - '0');
    }
    if (negative) {
        v = -v;
    }
    if (v < min || v > max) {
        return std::nullopt;
    }
    return v;
}

std::optional<std::uint32_t> parseIPv4(std::string_view text)
{
    std::uint32_t result = 0;
    int parts = 0;
    while (parts < 4) {
        const auto dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (part.empty() || part.size() > 3) {
            return std::nullopt;
        }
        const auto v = parseDecimal(part, 0, 255);
        if (!v) {
            return std::nullopt;
        }
        result = (result << 8) | static_cast<std::uint32_t>(*v);
        ++parts;
        if (dot == std::string_view::npos) {
            break;
        }
        text.remove_prefix(dot + 1);
    }
    if (parts != 4 || text.find('.') != std::string_view::npos) {
        return std::nullopt;
    }
    return result;
}

std::optional<std::uint32_t> parseNetmask(std::string_view text)
{
    std::optional<std::uint32_t> mask;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const std::string_view hex = text.substr(2);
        if (hex.empty() || hex.size() > 8) {
            return std::nullopt;
        }
        std::uint32_t v = 0;
        for (char c : hex) {
            int d = -1;
            if (c >= '0' && c <= '9') {
                d = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                d = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                d = c - 'A' + 10;
            }
            if (d < 0) {
                return std::nullopt;
            }
            v = (v << 4) | static_cast<std::uint32_t>(d);
        }
        mask = v;
    } else {
        mask = parseIPv4(text);
    }
    if (!mask) {
        return std::nullopt;
    }
    // Contiguous: the inverted mask plus one is a power of two.
    const std::uint64_t inverted = static_cast<std::uint64_t>(~*mask) + 1;
    if ((inverted & (inverted - 1)) != 0) {
        return std::nullopt;
    }
    return mask;
}

int prefixLength(std::uint32_t netmask)
{
    int n = 0;
    while (n < 32 && (netmask & (0x80000000u >> n)) != 0) {
        ++n;
    }
    return n;
}

std::uint32_t netmaskForPrefix(int length)
{
    if (length <= 0) {
        return 0;
    }
    if (length >= 32) {
        return 0xffffffffu;
    }
    return ~((1u << (32 - length)) - 1);
}

std::string formatHexNetmask(std::uint32_t netmask)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", netmask);
    return buf;
}

} // namespace kw::platform

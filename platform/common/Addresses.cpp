#include "common/Addresses.h"

#include "base/SystemRoot.h"

#include <cstdio>
#include <fstream>
#include <sstream>
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

std::string formatIPv4(std::uint32_t a)
{
    char buf[20];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (a >> 24) & 0xff, (a >> 16) & 0xff, (a >> 8) & 0xff, a & 0xff);
    return buf;
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

namespace {

std::optional<int> lookIn(const std::string& file, std::string_view name, std::string_view protocol)
{
    std::ifstream in(file);
    if (!in) {
        return std::nullopt;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (const auto hash = line.find('#'); hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream words(line);
        std::string official;
        std::string portProto;
        if (!(words >> official >> portProto)) {
            continue;
        }
        const auto slash = portProto.find('/');
        if (slash == std::string::npos || std::string_view(portProto).substr(slash + 1) != protocol) {
            continue;
        }
        bool match = official == name;
        std::string alias;
        while (!match && words >> alias) {
            match = alias == name;
        }
        if (match) {
            if (const auto port = parseDecimal(std::string_view(portProto).substr(0, slash), 0, 65535)) {
                return static_cast<int>(*port);
            }
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<int> servicePort(std::string_view nameOrNumber, std::string_view protocol)
{
    if (const auto n = parseDecimal(nameOrNumber, 0, 65535)) {
        return static_cast<int>(*n);
    }
    if (nameOrNumber.empty()) {
        return std::nullopt;
    }
    if (SystemRoot::isSandbox()) {
        if (const auto p = lookIn(SystemRoot::path("/etc/services"), nameOrNumber, protocol)) {
            return p;
        }
    }
    return lookIn("/etc/services", nameOrNumber, protocol);
}

} // namespace kw::platform

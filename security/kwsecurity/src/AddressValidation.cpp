#include <KWSecurity/AddressValidation.h>
#include <KWSecurity/SecurityStrings.h>

#include "base/DottedQuad.h"
#include "base/Log.h"

#include <climits>
#include <stdexcept>
#include <string_view>

namespace kw {

namespace {

// Reads text the way the platform's text scanner does: white space (and newlines) is skipped
// before each item; integers take an optional sign and saturate at the int range.
class Scanner {
public:
    explicit Scanner(std::string_view text)
        : m_text(text)
    {}

    bool scanInt(long long& value)
    {
        skipBlanks();
        std::size_t pos = m_pos;
        bool negative = false;
        if (pos < m_text.size() && (m_text[pos] == '+' || m_text[pos] == '-')) {
            negative = m_text[pos] == '-';
            ++pos;
        }
        const std::size_t digitsStart = pos;
        long long n = 0;
        while (pos < m_text.size() && m_text[pos] >= '0' && m_text[pos] <= '9') {
            if (n < static_cast<long long>(INT_MAX) + 1) {
                n = n * 10 + (m_text[pos] - '0');
            }
            ++pos;
        }
        if (pos == digitsStart) {
            return false;
        }
        n = negative ? -n : n;
        value = n > INT_MAX ? INT_MAX : (n < INT_MIN ? INT_MIN : n);
        m_pos = pos;
        return true;
    }

    bool scanString(std::string_view expected)
    {
        skipBlanks();
        if (m_text.substr(m_pos, expected.size()) == expected) {
            m_pos += expected.size();
            return true;
        }
        return false;
    }

    // Everything up to the stop text (or the end); false when nothing is there.
    bool scanUpTo(std::string_view stop, std::string& out)
    {
        skipBlanks();
        const std::size_t end = std::min(m_text.find(stop, m_pos), m_text.size());
        if (end == m_pos) {
            return false;
        }
        out.assign(m_text.substr(m_pos, end - m_pos));
        m_pos = end;
        return true;
    }

private:
    void skipBlanks()
    {
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
                ++m_pos;
            } else if (m_text.substr(m_pos, 2) == "\xc2\xa0" || m_text.substr(m_pos, 2) == "\xc2\x85") {
                m_pos += 2;
            } else {
                break;
            }
        }
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
};

std::string formatted(std::string format, const std::string& argument)
{
    const auto at = format.find("%@");
    if (at != std::string::npos) {
        format.replace(at, 2, argument);
    }
    return format;
}

} // namespace

std::string StringFromInAddr(std::uint32_t address)
{
    return dottedQuad(address);
}

std::uint32_t InAddrFromString(std::uint32_t* place, const std::string& text)
{
    Scanner scanner(text);
    std::uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        long long part = 0;
        const bool ok = scanner.scanInt(part) && part >= 0 && part <= 255 && (i == 3 || scanner.scanString("."));
        if (!ok) {
            throw std::invalid_argument(
                formatted(securityLocalizedString("InvalidAddressFormatErrMsg",
                                                  "Cannot interpret \"%@\" as an internet address."),
                          text));
        }
        result = result * 256 + static_cast<std::uint32_t>(part);
    }
    if (place != nullptr) {
        *place = result;
    }
    return result;
}

bool validateIpOrNetworkAddress(const std::string& text, std::string* message)
{
    Scanner scanner(text);
    std::string address;
    if (!scanner.scanUpTo("/", address)) {
        return true;
    }
    try {
        std::uint32_t value = 0;
        InAddrFromString(&value, address);
    } catch (const std::invalid_argument& e) {
        logf("%s", e.what());
        if (message != nullptr) {
            *message = e.what();
        }
        return false;
    }
    if (scanner.scanString("/")) {
        long long width = 0;
        if (!scanner.scanInt(width)) {
            if (message != nullptr) {
                *message = securityLocalizedString("MissingCIDRSubnetMaskErrMsg",
                                                   "CIDR format network addresses must include a subnet mask");
            }
            return false;
        }
        if (width < 1 || width > 32) {
            if (message != nullptr) {
                *message =
                    securityLocalizedString("InvalidSubnetMaskRangeErrMsg",
                                            "The subnet mask for a CIDR format address must be between 1 and 32");
            }
            return false;
        }
    }
    return true;
}

} // namespace kw

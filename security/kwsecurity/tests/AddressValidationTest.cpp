#include <KWSecurity/AddressValidation.h>

#include "TestRoot.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace {

const std::string kRangeMessage = "The subnet mask for a CIDR format address must be between 1 and 32";
const std::string kMissingMessage = "CIDR format network addresses must include a subnet mask";

std::string addressMessage(const std::string& text)
{
    return "Cannot interpret \"" + text + "\" as an internet address.";
}

TEST(AddressValidation, ConversionBothWays)
{
    const std::uint32_t address = (192u << 24) | (168u << 16) | (0u << 8) | 1u;
    EXPECT_EQ(kw::StringFromInAddr(address), "192.168.0.1");
    EXPECT_EQ(kw::StringFromInAddr(0), "0.0.0.0");
    EXPECT_EQ(kw::StringFromInAddr(0xffffffffu), "255.255.255.255");
    std::uint32_t place = 0;
    EXPECT_EQ(kw::InAddrFromString(&place, "192.168.0.1"), address);
    EXPECT_EQ(place, address);
    EXPECT_EQ(kw::InAddrFromString(nullptr, " 10 . 1 .2. 3"), (10u << 24) | (1u << 16) | (2u << 8) | 3u);
    EXPECT_EQ(kw::InAddrFromString(nullptr, "+10.-0.0.1"), (10u << 24) | 1u);
}

TEST(AddressValidation, MalformedAddressRaisesWithTheWholeText)
{
    for (const std::string text :
         { "10.0.0.256", "10.0.0", "a.b.c.d", "10..0.1", "-1.0.0.0", "99999999999.0.0.0", "" }) {
        try {
            kw::InAddrFromString(nullptr, text);
            ADD_FAILURE() << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), addressMessage(text));
        }
    }
}

struct ValidationCase {
    std::string text;
    bool valid;
    std::string message;
};

TEST(AddressValidation, ValidateTable)
{
    const std::vector<ValidationCase> cases = {
        { "192.168.0.1", true, "" },
        { "10.0.0.1.5", true, "" },
        { "10.0.0.1abc", true, "" },
        { "10.0.0.0/24", true, "" },
        { "10.0.0.0/32", true, "" },
        { "10.0.0.0/1", true, "" },
        { "10.0.0.0/ 24", true, "" },
        { "10.0.0.0/24junk", true, "" },
        { "", true, "" },
        { "/24", true, "" },
        { "   ", true, "" },
        { "10.0.0.256", false, addressMessage("10.0.0.256") },
        { "10.0.0", false, addressMessage("10.0.0") },
        { "10.0.0/24", false, addressMessage("10.0.0") },
        { "10.0.0.0/0", false, kRangeMessage },
        { "10.0.0.0/33", false, kRangeMessage },
        { "10.0.0.0/-1", false, kRangeMessage },
        { "10.0.0.0/99999999999", false, kRangeMessage },
        { "10.0.0.0/", false, kMissingMessage },
        { "10.0.0.0/x", false, kMissingMessage },
    };
    for (const auto& c : cases) {
        std::string message = "untouched";
        EXPECT_EQ(kw::validateIpOrNetworkAddress(c.text, &message), c.valid) << c.text;
        EXPECT_EQ(message, c.valid ? "untouched" : c.message) << c.text;
    }
}

TEST(AddressValidation, RejectionIsLogged)
{
    kw::testing::LogLines log;
    std::string message;
    EXPECT_FALSE(kw::validateIpOrNetworkAddress("1.2.3.999", &message));
    EXPECT_TRUE(log.contains(addressMessage("1.2.3.999")));
}

} // namespace

#include "base/DottedQuad.h"

#include <gtest/gtest.h>

TEST(DottedQuad, PrintsFourDecimalBytesInNetworkOrder)
{
    struct Row {
        std::uint32_t address;
        const char* text;
    };
    const Row rows[] = {
        { 0, "0.0.0.0" },
        { 0xffffffffu, "255.255.255.255" },
        { 0x7f000001u, "127.0.0.1" },
        { 0xc0a80201u, "192.168.2.1" },
        { 0x0a09630au, "10.9.99.10" },
        { 0x01020304u, "1.2.3.4" },
        { 0x64000064u, "100.0.0.100" },
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kw::dottedQuad(row.address), row.text);
        std::string appended = "from ";
        kw::appendDottedQuad(appended, row.address);
        EXPECT_EQ(appended, std::string("from ") + row.text);
    }
}

#include "base/PlistValue.h"

#include <gtest/gtest.h>

using kw::Value;

TEST(IntegerValue, ReaderRuleTable)
{
    struct Row {
        Value value;
        std::int64_t expected;
    };
    const Row rows[] = {
        { Value(), 0 },
        { Value("2"), 2 },
        { Value::integer(2), 2 },
        { Value("  -17abc"), -17 },
        { Value("+5"), 5 },
        { Value("x"), 0 },
        { Value(""), 0 },
        { Value::boolean(true), 1 },
        { Value::real(3.9), 3 },
        { Value("99999999999999999999999"), INT64_MAX },
        { Value("-99999999999999999999999"), INT64_MIN },
        { Value(Value::Array {}), 0 },
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.value.integerValue(), r.expected) << kw::valueToTextForm(r.value);
    }
    EXPECT_EQ(kw::integerValueOf(nullptr), 0);
}

TEST(PlistXml, RoundTripsEveryType)
{
    Value doc;
    doc.set("s", Value("hello <&> world"));
    doc.set("i", Value::integer(-42));
    doc.set("big", Value::integer(INT64_MAX));
    doc.set("r", Value::real(1.5));
    doc.set("b", Value::boolean(true));
    doc.set("d", Value(Value::Data { 0, 1, 2, 255 }));
    doc.set("t", Value(Value::Date { 86400.0 }));
    doc.set("a", Value(Value::Array { Value("x"), Value::integer(1) }));
    const auto back = kw::valueFromXml(kw::valueToXml(doc));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, doc);
}

TEST(PlistXml, RejectsGarbage)
{
    EXPECT_FALSE(kw::valueFromXml("").has_value());
    EXPECT_FALSE(kw::valueFromXml("not a plist").has_value());
    EXPECT_FALSE(kw::valueFromXml("<plist><dict><key>a</key>").has_value());
    // A NUL inside a string or key, raw or as a character reference, cannot be represented.
    using namespace std::string_literals;
    EXPECT_FALSE(kw::valueFromXml("<plist><string>a\0b</string></plist>"s).has_value());
    EXPECT_FALSE(kw::valueFromXml("<plist><dict><key>a&#0;</key><string/></dict></plist>").has_value());
    EXPECT_FALSE(kw::valueFromXml("<plist><string>&#x00;</string></plist>").has_value());
    EXPECT_TRUE(kw::valueFromXml("<plist><string>&#65;</string></plist>").has_value());
}

TEST(PlistText, QuotesWhereNeeded)
{
    Value doc;
    doc.set("NAME", Value("en0"));
    doc.set("TEXT", Value("a b\n\"c\""));
    doc.set("LIST", Value(Value::Array { Value::integer(1), Value("two") }));
    doc.set("EMPTY", Value(Value::Dictionary {}));
    EXPECT_EQ(kw::valueToTextForm(doc), "{\n"
                                        "    EMPTY = {};\n"
                                        "    LIST = (\n"
                                        "        1,\n"
                                        "        two\n"
                                        "    );\n"
                                        "    NAME = en0;\n"
                                        "    TEXT = \"a b\\n\\\"c\\\"\";\n"
                                        "}");
}

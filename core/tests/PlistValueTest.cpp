#include "base/PlistValue.h"
#include "base/PlistXmlReader.h"

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

// The reader takes plain text where it stands and decodes the rest; both ways must agree.
TEST(PlistXml, ReaderCaseTable)
{
    auto dict = [](std::initializer_list<std::pair<const std::string, Value>> entries) {
        return Value(Value::Dictionary(entries));
    };
    struct Row {
        const char* xml;
        std::optional<Value> expected;
    };
    const Row rows[] = {
        { "<plist><string>plain</string></plist>", Value("plain") },
        { "<plist><string>a &lt;b&gt; &amp; &quot;c&quot; &apos;d&apos;</string></plist>", Value("a <b> & \"c\" 'd'") },
        { "<plist><string>&#x41;&#66;&#xe9;</string></plist>", Value("AB\xc3\xa9") },
        { "<plist><string>x<![CDATA[<&>]]>y</string></plist>", Value("x<&>y") },
        { "<plist><string>x<!-- note -->y</string></plist>", Value("xy") },
        { "<plist><string>spaced</string \n></plist>", Value("spaced") },
        { "<plist><string/></plist>", Value("") },
        { "<plist><string></string></plist>", Value("") },
        { "<plist><string attr=\"1\">x</string></plist>", Value("x") },
        { "<plist><dict><key>a&amp;b</key><integer>1</integer></dict></plist>",
          dict({ { "a&b", Value::integer(1) } }) },
        { "<plist><dict><key/><true/></dict></plist>", dict({ { "", Value::boolean(true) } }) },
        { "<plist><dict><key>k</key><string>1</string><key>k</key><string>2</string></dict></plist>",
          dict({ { "k", Value("2") } }) },
        { "<plist><dict><key>b</key><false> </false><key>a</key><integer> -0x10 </integer></dict></plist>",
          dict({ { "a", Value::integer(-16) }, { "b", Value::boolean(false) } }) },
        { "<plist><array><real>2.5</real><dict/><array/></array></plist>",
          Value(Value::Array { Value::real(2.5), Value(Value::Dictionary {}), Value(Value::Array {}) }) },
        { "<plist><data>AAEC/w==</data></plist>", Value(Value::Data { 0, 1, 2, 255 }) },
        { "<plist><date>2001-01-02T00:00:00Z</date></plist>", Value(Value::Date { 86400.0 }) },
        { "<plist><strings>x</strings></plist>", std::nullopt },
        { "<plist><string>x</stringy></plist>", std::nullopt },
        { "<plist><string>x</str></plist>", std::nullopt },
        { "<plist><string>a &bogus; b</string></plist>", std::nullopt },
        { "<plist><string>a & b</string></plist>", std::nullopt },
        { "<plist><true>x</true></plist>", std::nullopt },
        { "<plist><integer>12x</integer></plist>", std::nullopt },
        { "<plist><dict><string>x</string></dict></plist>", std::nullopt },
        { "<plist><dict><key>k</key></dict></plist>", std::nullopt },
        { "<plist><key>k</key></plist>", std::nullopt },
        { "<plist><string>unclosed</plist>", std::nullopt },
        { "<plist><array><string>x</string></plist>", std::nullopt },
    };
    for (const auto& r : rows) {
        EXPECT_EQ(kw::readXmlPropertyList(r.xml), r.expected) << r.xml;
    }
}

TEST(PlistXml, NestingDepthIsLimited)
{
    // Dictionaries nested levels deep, a string innermost.
    auto nested = [](int levels, const std::string& innermost) {
        std::string xml = "<plist>";
        for (int i = 0; i < levels; ++i) {
            xml += "<dict><key>k</key>";
        }
        xml += innermost;
        for (int i = 0; i < levels; ++i) {
            xml += "</dict>";
        }
        return xml + "</plist>";
    };
    for (const std::string innermost : { "<string>x</string>", "<integer>1</integer>", "<true/>" }) {
        EXPECT_TRUE(kw::readXmlPropertyList(nested(512, innermost)).has_value()) << innermost;
        EXPECT_FALSE(kw::readXmlPropertyList(nested(513, innermost)).has_value()) << innermost;
    }
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

#include "base/PlistValue.h"
#include "base/PlistXmlReader.h"

#include <plist/plist.h>

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

namespace {

// The document <dict><key>NAME</key><string>café</string></dict> in the encodings that other
// tools write property lists in.
std::string utf16(std::string_view ascii, bool bigEndian, bool mark)
{
    std::string out = mark ? (bigEndian ? "\xfe\xff" : "\xff\xfe") : "";
    for (const char c : ascii) {
        // Latin-1 letters stand for themselves in UTF-16.
        const auto u = static_cast<unsigned char>(c);
        out += bigEndian ? std::string { '\0', static_cast<char>(u) } : std::string { static_cast<char>(u), '\0' };
    }
    return out;
}

const std::string kLatin1Body = "<plist version=\"1.0\"><dict><key>NAME</key><string>caf\xe9</string></dict></plist>";

std::string binaryDocument()
{
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "NAME", plist_new_string("caf\xc3\xa9"));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bin, &length);
    std::string out(bin, length);
    plist_to_bin_free(bin);
    plist_free(dict);
    return out;
}

} // namespace

TEST(PlistXml, ReadsEveryEncodingAPropertyListComesIn)
{
    const std::string utf8Body =
        "<plist version=\"1.0\"><dict><key>NAME</key><string>caf\xc3\xa9</string></dict></plist>";
    const std::string latin1Declared = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n" + kLatin1Body;
    const std::string utf16Declared = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" + kLatin1Body;
    struct Row {
        const char* what;
        std::string bytes;
    };
    const Row rows[] = {
        { "UTF-8", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + utf8Body },
        { "UTF-8 without a declaration", utf8Body },
        { "UTF-8 with a byte-order mark", "\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + utf8Body },
        { "ISO-8859-1", latin1Declared },
        { "ISO-8859-1 in single quotes", "<?xml version='1.0' encoding='iso-8859-1'?>" + kLatin1Body },
        { "UTF-16 big-endian with a mark", utf16(utf16Declared, true, true) },
        { "UTF-16 little-endian with a mark", utf16(utf16Declared, false, true) },
        { "UTF-16 big-endian without a mark", utf16(utf16Declared, true, false) },
        { "UTF-16 little-endian without a mark", utf16(utf16Declared, false, false) },
        { "binary", binaryDocument() },
    };
    const Value expected(Value::Dictionary { { "NAME", Value("caf\xc3\xa9") } });
    for (const auto& row : rows) {
        EXPECT_EQ(kw::valueFromPropertyList(row.bytes), std::optional<Value>(expected)) << row.what;
    }
    // A declared encoding that the text does not hold, or one nobody knows, is no document.
    EXPECT_FALSE(kw::valueFromXml("<?xml version=\"1.0\" encoding=\"no-such-encoding\"?>" + kLatin1Body).has_value());
    EXPECT_FALSE(kw::valueFromPropertyList("bplist00 and nothing more").has_value());
    // Replies over the message port are XML only.
    EXPECT_FALSE(kw::valueFromXml(binaryDocument()).has_value());
}

TEST(PlistXml, ValuesSurviveAWriteUnchanged)
{
    const auto read = kw::valueFromXml("<plist><dict>"
                                       "<key>max</key><integer>18446744073709551615</integer>"
                                       "<key>min</key><integer>-9223372036854775808</integer>"
                                       "<key>hex</key><integer>0xFFFFFFFFFFFFFFFF</integer>"
                                       "<key>when</key><date>2004-05-06T07:08:09Z</date>"
                                       "<key>far</key><date>2100-01-01T00:00:00Z</date>"
                                       "</dict></plist>");
    ASSERT_TRUE(read.has_value());
    const std::string xml = kw::valueToXml(*read);
    EXPECT_NE(xml.find("<integer>18446744073709551615</integer>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<integer>-9223372036854775808</integer>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("<integer>-1</integer>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<date>2004-05-06T07:08:09Z</date>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<date>2100-01-01T00:00:00Z</date>"), std::string::npos) << xml;
    EXPECT_EQ(kw::valueFromXml(xml), read);
    // Numbers every reader takes the integer value of stay as large as they can.
    EXPECT_EQ(read->get("max")->integerValue(), INT64_MAX);
    EXPECT_EQ(read->get("max")->stringValue(), "18446744073709551615");

    // Reals that have no decimal form are read back too.
    for (const double d : { 1.0 / 0.0, -1.0 / 0.0, 0.1, -0.0, 1e300 }) {
        Value doc(Value::Array { Value::real(d) });
        const auto back = kw::valueFromXml(kw::valueToXml(doc));
        ASSERT_TRUE(back.has_value()) << d << kw::valueToXml(doc);
        EXPECT_EQ(back->array()->at(0).real(), d);
    }
}

TEST(PlistXml, WritesOnlyTextXmlCanHold)
{
    // Text that XML cannot hold is never written raw: the document stays well-formed.
    for (const std::string& text :
         { std::string("a\x01z"), std::string("bell\x07"), std::string("caf\xe9"), std::string("\xef\xbf\xbe") }) {
        Value doc(Value::Dictionary { { text, Value(text) } });
        const std::string xml = kw::valueToXml(doc);
        for (const char c : xml) {
            const auto u = static_cast<unsigned char>(c);
            EXPECT_TRUE(u >= 0x20 || c == '\n' || c == '\t' || c == '\r') << int(u);
        }
        EXPECT_EQ(xml.find("\xe9<"), std::string::npos);
        EXPECT_TRUE(kw::valueFromXml(xml).has_value()) << xml;
    }
}

TEST(PlistText, DatesPrintAsDates)
{
    Value doc;
    doc.set("when", Value(Value::Date { 105520089.0 }));
    EXPECT_EQ(kw::valueToTextForm(doc), "{\n    when = \"2004-05-06 07:08:09 +0000\";\n}");
}

TEST(PlistText, EscapesEveryControlCharacter)
{
    // C0, DEL and the C1 controls (which terminals also obey) are written as escapes.
    const std::string text = kw::valueToTextForm(Value("a\x1b[2Jb\x7f\xc2\x9b"
                                                       "31mc"));
    EXPECT_EQ(text, "\"a\\033[2Jb\\177\\302\\23331mc\"");
}

#include "tolvan/common/exception.h"
#include "tolvan/utility/regexp.h"
#include "tolvan/xml/xmlvalidator.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <random>
#include <string>

using namespace Kalvex;
using Flag = XmlValidatorFlag;

namespace {

std::string utf8(const String& s) {
    return std::string(s.toUtf8().cStr());
}

// The message of the Exception `check` throws; "" when it returns normally.
std::string failureOf(const std::function<void()>& check) {
    try {
        check();
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

// The first line of the failure, after "ERROR in curve file: ".
std::string messageOf(const std::function<void()>& check) {
    const std::string text = failureOf(check);
    const std::string prefix = "ERROR in curve file: ";
    if (text.rfind(prefix, 0) != 0) return text.empty() ? "" : "unexpected: " + text;
    return text.substr(prefix.size(), text.find('\n') - prefix.size());
}

class XmlValidatorTest : public testing::Test {
protected:
    // The first element child of the parsed document's top-level element.
    const XmlReaderNode& element(const String& xml) {
        mDocument = XmlReaderNode(u"<root>" + xml + u"</root>");
        EXPECT_TRUE(mDocument.isValid());
        return *mDocument.getFirstChild()->getFirstChild();
    }

    XmlValidator mValidator{u"curve", Io::Path(u"C:\\curves\\a.xml")};
    XmlReaderNode mDocument;
};

} // namespace

TEST_F(XmlValidatorTest, ValueFlags) {
    struct Case {
        Flags<Flag> flags;
        const char16_t* value;
        const char* expectedType; // null: passes
    };
    const Case cases[] = {
        {Flag::BOOL, u"  TRUE ", nullptr},
        {Flag::BOOL, u"0", nullptr},
        {Flag::BOOL, u"False", nullptr},
        {Flag::BOOL, u"yes", "bool ('true' or 'false')"},
        {Flag::INTEGER, u"42", nullptr},
        {Flag::INTEGER, u"-5", "integer"},
        {Flag::INTEGER, u"", "integer"},
        {Flag::FLOAT, u"-5", nullptr},
        {Flag::FLOAT, u"2.5E-3", nullptr},
        {Flag::FLOAT, u"+3.", nullptr},
        {Flag::FLOAT, u".5", "float"},
        {Flag::FLOAT, u"1e", "float"},
        {Flag::XY_VECTOR, u"1 2", nullptr},
        {Flag::XY_VECTOR, u"1,2", "XY vector (2 floats)"},
        {Flag::XY_VECTOR, u"1 2 3", "XY vector (2 floats)"},
        {Flag::RGB_COLOR, u"1  2  3", nullptr},
        {Flag::RGB_COLOR, u"1 2", "RGB color (3 floats)"},
        {Flag::XYZ_VECTOR, u"0.5 -1 2e2", nullptr},
        {Flag::XYZ_VECTOR, u"1\t2 3", "XYZ vector (3 floats)"},
        {Flag::EMPTY, u"   ", nullptr},
        {Flag::EMPTY, u"x", "empty"},
        {Flag::NON_EMPTY, u" \t ", "non-empty"},
        {Flag::NON_EMPTY, u"x", nullptr},
        // The tests run in a fixed order; the first failure is reported.
        {Flag::EMPTY | Flag::NON_EMPTY, u"", "non-empty"},
        {Flag::EMPTY | Flag::NON_EMPTY, u"x", "empty"},
        {Flag::FLOAT | Flag::INTEGER, u"1.5", "integer"},
        {Flag::LEAF | Flag::MANDATORY, u"anything", nullptr},
    };
    for (const Case& c : cases) {
        // Attribute values keep their blanks, so they exercise the trimming too.
        const XmlReaderNode& node = element(String(u"<e v=\"") + c.value + u"\">" + c.value + u"<!----></e>");
        // Blanks alone between two tags are no text, so the element's value may be empty.
        const std::string expected = c.expectedType
                                         ? "Element value mismatch. Expected " + std::string(c.expectedType) +
                                               ", got: '" + utf8(node.getValue()) + "'"
                                         : "";
        EXPECT_EQ(messageOf([&] { mValidator.validateNode(node, c.flags); }), expected) << utf8(c.value);
        const std::string expectedAttribute = c.expectedType ? "Atribute 'v' value mismatch. Expected " +
                                                                   std::string(c.expectedType) + ", got: '" +
                                                                   utf8(c.value) + "'"
                                                             : "";
        EXPECT_EQ(messageOf([&] {
                      mValidator.validateAttributes(node, {{u"V", c.flags}});
                  }),
                  expectedAttribute)
            << utf8(c.value);
    }
}

TEST_F(XmlValidatorTest, EveryMessage) {
    struct Case {
        const char16_t* xml;
        std::function<void(const XmlValidator&, const XmlReaderNode&)> check;
        const char* message;
    };
    const Case cases[] = {
        {u"<e><a/><b/></e>", [](auto& v, auto& n) { v.validateNode(n, Flag::LEAF); },
         "Element expected to be leaf, instead it has 2 children"},
        {u"<e x='1'/>", [](auto& v, auto& n) { v.validateNode(n, Flag::NO_ATTRIBUTES); },
         "Element cannot have attributes, instead it has 1"},
        {u"<e Color='1' z='2'/>",
         [](auto& v, auto& n) {
             v.validateAttributes(n, {{u"color"}, {u"b"}});
         },
         "Unknown atrribute: 'z', allowed attributes: 'b', 'color'"},
        {u"<e z='2'/>", [](auto& v, auto& n) { v.validateAttributes(n, {}); },
         "Unknown atrribute: 'z', allowed attributes: "},
        {u"<e/>",
         [](auto& v, auto& n) {
             v.validateAttributes(n, {{u"b"}, {u"id", Flag::MANDATORY}});
         },
         "Missing mandatory attribute: 'id'"},
        {u"<e Color='1' color='2'/>", [](auto& v, auto& n) { v.validateAttributes(n, {{u"color"}}); },
         "There is more than 1 attribute of type 'color': 2 are present"},
        {u"<e><red/></e>",
         [](auto& v, auto& n) {
             v.validateChildren(n, {{u"Green"}, {u"blue"}});
         },
         "Unknown child element: 'red', allowed children: 'blue', 'Green'"},
        {u"<e/>",
         [](auto& v, auto& n) {
             v.validateChildren(n, {{u"controlPoint", 1}});
         },
         "Missing mandatory child element(s) 'controlPoint': required at least 1 element, but only 0 are "
         "present"},
        {u"<e><p/></e>",
         [](auto& v, auto& n) {
             v.validateChildren(n, {{u"P", 3}});
         },
         "Missing mandatory child element(s) 'P': required at least 3 elements, but only 1 are present"},
        {u"<e><point/><point/><point/></e>",
         [](auto& v, auto& n) {
             v.validateChildren(n, {{u"point", 0, 2}});
         },
         "Too many child elements of type 'point': required at most 2 elements, but 3 are present"},
        {u"<e><p/><p/></e>",
         [](auto& v, auto& n) {
             v.validateChildren(n, {{u"p", 0, 1}});
         },
         "Too many child elements of type 'p': required at most 1 element, but 2 are present"},
        // A repeated entry keeps the first occurrence's requirements.
        {u"<e><p/><P/></e>",
         [](auto& v, auto& n) {
             v.validateChildren(n, {{u"p", 0, 1}, {u"P", 0, 5}});
         },
         "Too many child elements of type 'p': required at most 1 element, but 2 are present"},
        // Each child is validated with its entry's flags.
        {u"<e><p>x</p><p>2 3</p></e>",
         [](auto& v, auto& n) {
             v.validateChildren(n, {{u"p", 1, 2147483647, Flag::LEAF | Flag::XY_VECTOR}});
         },
         "Element value mismatch. Expected XY vector (2 floats), got: 'x'"},
    };
    for (const Case& c : cases) {
        const XmlReaderNode& node = element(c.xml);
        EXPECT_EQ(messageOf([&] { c.check(mValidator, node); }), c.message) << utf8(c.xml);
    }
}

TEST_F(XmlValidatorTest, AcceptsConformingElements) {
    const XmlReaderNode& node = element(
        u"<curve Type='linear' id='3'><controlPoint>0 0</controlPoint><controlPoint>1 1</controlPoint>"
        u"<name>n</name></curve>");
    EXPECT_EQ(failureOf([&] {
                  mValidator.validateAttributes(node, {{u"type", Flag::MANDATORY}, {u"ID", Flag::INTEGER}});
                  mValidator.validateChildren(node,
                                              {{u"controlPoint", 1, 2147483647, Flag::LEAF | Flag::XY_VECTOR},
                                               {u"name", 0, 1, Flag::NON_EMPTY | Flag::NO_ATTRIBUTES},
                                               {u"unused"}});
                  mValidator.validateNode(node, Flag::EMPTY);
              }),
              "");
}

TEST_F(XmlValidatorTest, FailureShowsTheFileAndTheTreePath) {
    mDocument = XmlReaderNode(
        u"<root><curve><point x=\"1\"/><line/><POINT x=\"1\" y='&lt;'>v</POINT></curve></root>");
    const XmlReaderNode& point =
        *mDocument.getChild(u"root")->getChild(u"curve")->getFirstChild()->getNextSibling()->getNextSibling();
    EXPECT_EQ(
        failureOf([&] { mValidator.fail(point, u"Bad point"); }),
        "ERROR in curve file: Bad point\nFile name: C:/curves/a.xml\nXML tree path:\n<root>\n   <curve>\n"
        "      <POINT x=\"1\" y=\"<\">[2]");
    // The top-level element stands alone; validation failures carry the same path.
    const XmlReaderNode& root = *mDocument.getFirstChild();
    EXPECT_EQ(failureOf([&] { mValidator.validateNode(root, Flag::NO_ATTRIBUTES | Flag::EMPTY); }), "");
    EXPECT_EQ(failureOf([&] { mValidator.validateNode(root, Flag::LEAF); }),
              "ERROR in curve file: Element expected to be leaf, instead it has 1 children\nFile name: "
              "C:/curves/a.xml\nXML tree path:\n<root>");
    EXPECT_EQ(failureOf([&] { mValidator.validateChildren(*root.getFirstChild(), {{u"point"}}); }),
              "ERROR in curve file: Unknown child element: 'line', allowed children: 'point'\nFile name: "
              "C:/curves/a.xml\nXML tree path:\n<root>\n   <curve>");
}

// The value scanners accept exactly the language of the regular expressions that define the value
// shapes: every short text over an alphabet of the characters that matter, and random longer ones.
TEST(XmlValidatorValues, ScannersAcceptWhatThePatternsMatch) {
    const String number = u"[+-]?\\d+\\.?\\d*([eE][-+]?\\d+)?";
    const RegExp integer(u"^\\d+$");
    const RegExp floats[] = {
        RegExp(u"^" + number + u"$"),
        RegExp(u"^" + number + u"[ ]+" + number + u"$"),
        RegExp(u"^" + number + u"[ ]+" + number + u"[ ]+" + number + u"$"),
    };
    // U+0663 is a digit elsewhere in Unicode, not here.
    const char16_t alphabet[] = u"09+-.eE x\t\u0663";
    const int letters = int(std::size(alphabet)) - 1;
    auto expectSame = [&](const String& text) {
        ASSERT_EQ(Detail::isXmlInteger(text), bool(integer.match(text))) << utf8(text);
        for (int count = 1; count <= 3; ++count)
            ASSERT_EQ(Detail::isXmlFloats(text, count), bool(floats[count - 1].match(text)))
                << utf8(text) << " as " << count;
    };
    for (int length = 0; length <= 4; ++length) {
        int total = 1;
        for (int i = 0; i < length; ++i)
            total *= letters;
        for (int code = 0; code < total; ++code) {
            String text;
            for (int i = 0, c = code; i < length; ++i, c /= letters)
                text << alphabet[c % letters];
            expectSame(text);
        }
    }
    // Longer texts, mostly digits, so that whole floats occur.
    std::mt19937 random(25);
    const char16_t common[] = u"0123456789.e -+";
    for (int n = 0; n < 4000; ++n) {
        String text;
        const int length = 5 + int(random() % 14);
        for (int i = 0; i < length; ++i)
            text << (random() % 8 == 0 ? alphabet[random() % letters] : common[random() % 15]);
        expectSame(text);
    }
}

// A long value is checked without recursing per character.
TEST_F(XmlValidatorTest, LongValuesAreCheckedWithoutRecursion) {
    const String digits(u'1', 1 << 18);
    EXPECT_EQ(messageOf([&] { mValidator.validateNode(element(u"<a>" + digits + u"</a>"), Flag::INTEGER); }),
              "");
    const String vector = digits + u".5e-3 " + digits;
    const XmlReaderNode& node = element(u"<a v='" + vector + u"'/>");
    EXPECT_EQ(messageOf([&] { mValidator.validateAttributes(node, {{u"v", Flag::XY_VECTOR}}); }), "");
    EXPECT_EQ(messageOf([&] {
                  mValidator.validateAttributes(node, {{u"v", Flag::FLOAT}});
              }).substr(0, 40),
              "Atribute 'v' value mismatch. Expected fl");
}

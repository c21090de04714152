#include "tolvan/xml/xmlstring.h"

#include <gtest/gtest.h>

#include <string>

using namespace Kalvex;

namespace {

std::string utf8(const String& s) {
    return std::string(s.toUtf8().cStr());
}

} // namespace

TEST(XmlString, ConstructionAndLookup) {
    const XmlString empty;
    EXPECT_EQ(utf8(empty), "<root/>");
    EXPECT_TRUE(empty.isValid());
    EXPECT_FALSE(empty.getChild(u"x").hasValue());

    const XmlString one(u"a", u"1 < 2");
    EXPECT_EQ(utf8(one), "<root><a>1 &lt; 2</a></root>");
    EXPECT_EQ(one.getChild(u"A").value(), u"1 < 2");
    EXPECT_EQ(utf8(XmlString(u"k", u"")), "<root><k/></root>");

    struct Case {
        const char16_t* text;
        bool valid;
        const char16_t* key;
        const char16_t* value; // null: no such key
    };
    const Case cases[] = {
        {u"<x><a>1</a></x>", true, u"a", nullptr},
        {u"<a/><b/>", false, u"a", nullptr},
        {u"<root><a>1</a></root><root/>", false, u"a", nullptr},
        {u"<root><a>1</a>", false, u"a", nullptr},
        {u"<ROOT><Key>v</Key><key>w</key></ROOT>", true, u"KEY", u"v"},
        {u"<root><k/></root>", true, u"k", u""},
        {u"<root><k><![CDATA[c]]></k></root>", true, u"k", u""},
        {u"<root><a><b>1</b></a></root>", true, u"b", nullptr},
    };
    for (const Case& c : cases) {
        const XmlString text = XmlString::fromString(c.text);
        EXPECT_EQ(text, String(c.text));
        EXPECT_EQ(text.isValid(), c.valid) << utf8(c.text);
        const Optional<String> value = text.getChild(c.key);
        EXPECT_EQ(value.hasValue(), c.value != nullptr) << utf8(c.text);
        if (c.value && value.hasValue()) {
            EXPECT_EQ(*value, String(c.value));
        }
    }
}

TEST(XmlString, ContainsComparesValuesExactly) {
    const XmlString text = XmlString::fromString(u"<root><a>1</a><b> 1</b><c>X</c></root>");
    EXPECT_TRUE(text.contains(u"a", u"1"));
    EXPECT_TRUE(text.contains(u"A", u"1"));
    EXPECT_FALSE(text.contains(u"b", u"1"));
    EXPECT_FALSE(text.contains(u"c", u"x"));
    EXPECT_FALSE(text.contains(u"d", u""));
}

TEST(XmlString, AddChildReplacesTheExactKeyAndAppendsIt) {
    struct Case {
        const char16_t* before;
        const char16_t* name;
        const char16_t* value;
        const char* after;
    };
    const Case cases[] = {
        {u"<root><a>1</a><b>0</b><c>3</c></root>", u"b", u"2", "<root><a>1</a><c>3</c><b>2</b></root>"},
        {u"<root><a>1</a><b>0</b><c>3</c></root>", u"B", u"2", "<root><a>1</a><b>0</b><c>3</c><B>2</B></root>"},
        {u"<root/>", u"k", u"", "<root><k/></root>"},
        // Other keys keep their first text run and nested elements; attributes never occur in output
        // of this class, but copied keys keep theirs.
        {u"<root><n x='1'>t<m>u</m><![CDATA[z]]></n><b>0</b><b>1</b></root>", u"b", u"&",
         "<root><n x=\"1\">t<m>u</m></n><b>&amp;</b></root>"},
    };
    for (const Case& c : cases) {
        XmlString text = XmlString::fromString(c.before);
        text.addChild(c.name, c.value);
        EXPECT_EQ(utf8(text), c.after) << utf8(c.before);
    }
    XmlString built;
    built.addChild(u"DataType", u"1");
    built.addChild(u"FileSize", u"42");
    EXPECT_EQ(utf8(built), "<root><DataType>1</DataType><FileSize>42</FileSize></root>");
    EXPECT_EQ(built.getChild(u"filesize").value(), u"42");
}

TEST(XmlString, AddTreeMergesKeysWithTheOthersWinning) {
    struct Case {
        const char16_t* receiver;
        const char16_t* other;
        const char* merged;
    };
    const Case cases[] = {
        {u"<root><a>1</a><c>3</c></root>", u"<root><A>9</A><d>4</d></root>", "<root><c>3</c><A>9</A><d>4</d></root>"},
        {u"<root/>", u"<root><x>1</x></root>", "<root><x>1</x></root>"},
        {u"<root><x>1</x></root>", u"<root/>", "<root><x>1</x></root>"},
        {u"<root><a>1</a><a>2</a><b/></root>", u"<root><a>3</a></root>", "<root><b/><a>3</a></root>"},
    };
    for (const Case& c : cases) {
        XmlString text = XmlString::fromString(c.receiver);
        text.addTree(XmlString::fromString(c.other));
        EXPECT_EQ(utf8(text), c.merged) << utf8(c.receiver) << " + " << utf8(c.other);
    }
    XmlString header;
    header.addChild(u"DataType", u"0");
    header.addTree(XmlString(u"cmd", u"go"));
    EXPECT_EQ(utf8(header), "<root><DataType>0</DataType><cmd>go</cmd></root>");
}

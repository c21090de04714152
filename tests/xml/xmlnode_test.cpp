#include "tolvan/platform/debug.h"
#include "tolvan/xml/xmlnode.h"

#include <gtest/gtest.h>
#include <rapidxml/rapidxml.hpp>

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Kalvex;

namespace {

std::string utf8(const String& s) {
    return std::string(s.toUtf8().cStr());
}

// A compact picture of a reader tree: name, {attributes}, ='value' and (children), children joined
// by commas; the document root shows only its children.
String dump(const XmlReaderNode& node) {
    String text = node.getName();
    if (node.getNumAttributes() > 0) {
        text << u'{';
        bool first = true;
        node.enumerateAttributes([&](const String& name, const String& value) {
            text << (first ? u"" : u";") << name << u'=' << value;
            first = false;
        });
        text << u'}';
    }
    if (!node.getValue().isEmpty()) text << u"='" << node.getValue() << u'\'';
    String children;
    for (const XmlReaderNode* c = node.getFirstChild(); c; c = c->getNextSibling())
        children << (children.isEmpty() ? u"" : u",") << dump(*c);
    if (!node.getParent()) return children;
    if (!children.isEmpty()) text << u'(' << children << u')';
    return text;
}

// Collects the debug output while it exists.
class CapturedDebugOutput {
public:
    CapturedDebugOutput()
        : mPrevious(
              Detail::setDebugOutputSink([this](const String& text) { mTexts.push_back(utf8(text)); })) {}
    ~CapturedDebugOutput() { Detail::setDebugOutputSink(mPrevious); }
    [[nodiscard]] const std::vector<std::string>& texts() const { return mTexts; }

private:
    std::vector<std::string> mTexts;
    DebugOutputSink mPrevious;
};

// A writable, zero-terminated UTF-8 copy of a text, for the parser to work on in place.
class Utf8Text {
public:
    explicit Utf8Text(const String& text)
        : mBytes(utf8(text)) {}
    char* data() { return mBytes.data(); }

private:
    std::string mBytes;
};

String nested(const String& open, const String& close, int depth) {
    String text;
    for (int i = 0; i < depth; ++i)
        text << open;
    for (int i = 0; i < depth; ++i)
        text << close;
    return text;
}

} // namespace

TEST(XmlReaderNode, ParsesDocumentsIntoElementTrees) {
    struct Case {
        String xml;
        String expected;
    };
    const Case cases[] = {
        {u"", u""},
        {u" \n\t ", u""},
        {u"<a/><b/>", u"a,b"},
        {u"<a>x</b>", u"a='x'"},
        {u"<a>  t  <b/>more</a>", u"a='  t  '(b)"},
        {u"<a><b/>tail</a>", u"a='tail'(b)"},
        {u"<a>&lt;&#65;&#x42;&gt;&amp;&apos;&quot;</a>", u"a='<AB>&'\"'"},
        {u"<a><![CDATA[x]]></a>", u"a"},
        {u"<a><![CDATA[x]]>y</a>", u"a='y'"},
        {u"<a>\n  <b>1</b>\n  <c k = 'v' />\n</a>\n", u"a(b='1',c{k=v})"},
        {u"<?xml version=\"1.0\"?><!-- <x> --><!DOCTYPE a [<!ELEMENT a ANY>]><a k='&lt;' j=\"'\"><?pi "
         u"<x>?>z</a>",
         u"a{k=<;j='}='z'"},
        {u"\uFEFF<a/>", u"a"},
        {u"<\u00E4 \u00F6='\u20AC'>\U0001F600</\u00E4>", u"\u00E4{\u00F6=\u20AC}='\U0001F600'"},
        {u"<a>&#8364;&#x1F600;</a>", u"a='\u20AC\U0001F600'"},
        // The text ends at its first zero unit.
        {String(u"<a/>\0<b", 7), u"a"},
    };
    for (const Case& c : cases) {
        const XmlReaderNode root(c.xml);
        ASSERT_TRUE(root.isValid()) << utf8(c.xml);
        EXPECT_EQ(utf8(dump(root)), utf8(c.expected)) << utf8(c.xml);
        EXPECT_TRUE(root.getName().isEmpty());
        EXPECT_TRUE(root.getValue().isEmpty());
        EXPECT_EQ(root.getParent(), nullptr);
        EXPECT_EQ(root.getNextSibling(), nullptr);
    }
}

TEST(XmlReaderNode, MalformedTextLeavesTheNodeEmptyAndReportsWhere) {
    struct Case {
        String xml;
        const char* message;
    };
    const Case cases[] = {
        {u"<a>", "unexpected end of data"},
        {u"<a", "expected >"},
        {u"text", "expected <"},
        {u"<a b=1/>", "expected ' or \""},
        {u"<a><!-- open </a>", "unexpected end of data"},
        {String(u"<a>\0</a>", 8), "unexpected end of data"},
    };
    for (const Case& c : cases) {
        CapturedDebugOutput out;
        const XmlReaderNode root(c.xml);
        EXPECT_FALSE(root.isValid()) << utf8(c.xml);
        ASSERT_EQ(out.texts().size(), 1u) << utf8(c.xml);
        EXPECT_EQ(out.texts()[0].rfind("rapidxml error at ", 0), 0u) << out.texts()[0];
        EXPECT_NE(out.texts()[0].find(c.message), std::string::npos) << out.texts()[0];
    }

    CapturedDebugOutput out;
    const XmlReaderNode root(u"<r>x</r>oops");
    EXPECT_FALSE(root.isValid());
    ASSERT_EQ(out.texts().size(), 1u);
    EXPECT_EQ(out.texts()[0], "rapidxml error at  oops :  expected <\n");
}

TEST(XmlReaderNode, RejectsNestingBeyondTheLimitWithoutRecursingIntoIt) {
    const int limit = XmlReaderNode::MAX_DEPTH;
    {
        const XmlReaderNode root(nested(u"<b>", u"</b>", limit));
        EXPECT_TRUE(root.isValid());
        int depth = 0;
        for (const XmlReaderNode* n = root.getFirstChild(); n; n = n->getFirstChild())
            ++depth;
        EXPECT_EQ(depth, limit);
    }
    struct Case {
        String xml;
        bool valid;
    };
    const Case cases[] = {
        {nested(u"<b>", u"</b>", limit + 1), false},
        {nested(u"<b>", u"</b>", 100000), false},
        {nested(u"<b>", u"", 100000), false},
        // Attribute values, comments and CDATA sections cannot close or open elements.
        {nested(u"<b x=\"/>\">", u"</b>", limit + 1), false},
        {nested(u"<b x='</b>'>", u"</b>", limit + 1), false},
        {u"<a><!--" + nested(u"<b>", u"", 2 * limit) + u"--></a>", true},
        {u"<a><![CDATA[" + nested(u"<b>", u"", 2 * limit) + u"]]></a>", true},
        {u"<a x='" + nested(u"<b>", u"", 2 * limit) + u"'/>", true},
        {nested(u"<b/><b>", u"</b>", limit), true},
    };
    for (const Case& c : cases) {
        CapturedDebugOutput out;
        const XmlReaderNode root(c.xml);
        EXPECT_EQ(root.isValid(), c.valid) << utf8(c.xml.getSubstr(0, 40));
        if (!c.valid) {
            ASSERT_EQ(out.texts().size(), 1u);
            EXPECT_EQ(out.texts()[0].rfind("rapidxml error at ", 0), 0u);
            EXPECT_NE(out.texts()[0].find("nested deeper than 1000 levels"), std::string::npos);
        }
    }
}

// Each prefix tries to make the nesting check lose its place in the text (so that it would miss the
// deep run after it); the document is rejected with the parser's own verdict, and the same prefix in
// front of a shallow run parses (or fails the same way).
TEST(XmlReaderNode, NestingCheckKeepsInStepWithTheParser) {
    const char* const tooDeep = "nested deeper than 1000 levels";
    const char* const endOfData = "unexpected end of data";
    struct Case {
        String prefix;
        const char* message;
    };
    const Case cases[] = {
        // Processing instructions and the declaration end at the first "?>" after "<?".
        {u"<?></x>?>", tooDeep},
        {u"<?>?></x>?>", "expected element name"},
        {u"<?xml?></x>?>", "expected element name"},
        {u"<?xml ?></x>?>", "expected element name"},
        {u"<?pi a='?>' ?>", "expected <"},
        // A comment ends at the first "-->" after "<!--".
        {u"<!-->--></x>-->", "expected element name"},
        {u"<!--->-></x>-->", tooDeep},
        {u"<!-- <a> --><!---->", tooDeep},
        // CDATA sections, also outside elements.
        {u"<![CDATA[]></x>]]>", tooDeep},
        {u"<r><![CDATA[<a></r>]]></r>", tooDeep},
        {u"<![CDATA<x>", tooDeep},
        // DOCTYPE: brackets nest, quotes mean nothing, and "<!DOCTYPE" needs whitespace after it.
        {u"<!DOCTYPE a [<!ENTITY x \"]>\"> ]>", "expected <"},
        {u"<!DOCTYPE a [[]></x>]>", tooDeep},
        {u"<!DOCTYPE a [<!ELEMENT a ANY><!-- ] -->]>", "expected <"},
        {u"<!DOCTYPEa [></x>]>", "expected element name"},
        {u"<!x></x>", "expected element name"},
        // '>' and "/>" inside attribute values, references in values and text.
        {u"<r a=\">\" b='/>' c=\"</r>\" d='\"'/>", tooDeep},
        {u"<r a='&apos;' b=\"&quot;&#x3E;&#62;\">&lt;/r&gt; &amp; &#60;/r></r>", tooDeep},
        {u"<r a='&#1114112;'/>", "invalid numeric character entity"},
        {u"<r>&#65x;</r>", "expected ;"},
        {u"<r></ r></x y>", "expected >"},
        {u"<r></r  ><s/ >", "expected >"},
        {u"<r a='1'b='2'></r>", tooDeep},
        // Constructs that never end take the rest of the text with them.
        {u"<?", endOfData},
        {u"<?xml ", endOfData},
        {u"<!--", endOfData},
        {u"<![CDATA[", endOfData},
        {u"<!DOCTYPE a [", endOfData},
        {u"<!DOCTYPE a [[]", endOfData},
        {u"<r a=\"", "expected ' or \""},
        {u"<r a='>", "expected ' or \""},
    };
    const int deep = 100000;
    for (const Case& c : cases) {
        {
            CapturedDebugOutput out;
            const XmlReaderNode root(c.prefix + nested(u"<a>", u"</a>", deep));
            EXPECT_FALSE(root.isValid()) << utf8(c.prefix);
            ASSERT_EQ(out.texts().size(), 1u) << utf8(c.prefix);
            EXPECT_EQ(out.texts()[0].rfind("rapidxml error at ", 0), 0u) << out.texts()[0].substr(0, 80);
            EXPECT_NE(out.texts()[0].find(c.message), std::string::npos)
                << utf8(c.prefix) << ": " << out.texts()[0].substr(0, 80);
        }
        CapturedDebugOutput out;
        const XmlReaderNode root(c.prefix + nested(u"<a>", u"</a>", 10));
        if (c.message == tooDeep) {
            ASSERT_TRUE(root.isValid()) << utf8(c.prefix);
            int depth = 0;
            for (const XmlReaderNode* n = root.getChild(u"a"); n; n = n->getFirstChild())
                ++depth;
            EXPECT_EQ(depth, 10) << utf8(c.prefix);
        } else {
            EXPECT_FALSE(root.isValid()) << utf8(c.prefix);
            ASSERT_EQ(out.texts().size(), 1u) << utf8(c.prefix);
            EXPECT_NE(out.texts()[0].find(c.message), std::string::npos) << out.texts()[0].substr(0, 80);
        }
    }
    // Closing names are not compared, so a long run of mismatched pairs stays flat.
    EXPECT_EQ(XmlReaderNode(nested(u"<a></b>", u"", deep)).getNumChildren(), deep);
}

// The debug line of a rejected document names the parser's message and position: for shallow
// documents, exactly what the parser itself reports (it decodes references in place, so after an
// invalid one it points to where its decoding has got to).
TEST(XmlReaderNode, ReportsErrorsAsTheParserDoes) {
    const String cases[] = {
        u"<r a='&amp;&amp;&#x110000;x'/>",
        u"<r>&lt;&#9999999;</r>",
        u"<r>&#18446744073709551681;</r>",
        u"<r a=\"&#xFFFFFFFFFFFFFFFFF;\"/>",
        u"<?></x>?></x>",
        u"<r>\n</r x>",
        u"<r><a></a><b/></r>oops",
        u"<r a='1' b>",
        u"<!DOCTYPE r [ ]]>x",
        u"\uFEFF <r/> <",
    };
    for (const String& xml : cases) {
        Utf8Text text(xml);
        std::string expected = "(accepted)\n";
        try {
            rapidxml::xml_document<char> document;
            document.parse<rapidxml::parse_no_data_nodes>(text.data());
        } catch (const rapidxml::parse_error& error) {
            expected =
                std::string("rapidxml error at  ") + error.where<char>() + " :  " + error.what() + "\n";
        }
        CapturedDebugOutput out;
        const XmlReaderNode root(xml);
        EXPECT_EQ(out.texts().empty() ? "(accepted)\n" : out.texts()[0], expected) << utf8(xml);
    }
}

TEST(XmlReaderNode, NavigatesByNameWithoutCase) {
    const XmlReaderNode root(
        u"<top id=\"7\" Kind='k'><x n='1'/><y/><X n='2'/><name>v</name><x n='3'/></top>");
    ASSERT_TRUE(root.isValid());
    ASSERT_EQ(root.getNumChildren(), 1);
    const XmlReaderNode* top = root.getChild(u"TOP");
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top, root.getFirstChild());
    EXPECT_EQ(top->getParent(), &root);
    EXPECT_EQ(top->getNumChildren(), 5);
    EXPECT_EQ(top->getNumAttributes(), 2);
    EXPECT_EQ(root.getChild(u"to"), nullptr);
    EXPECT_EQ(root.getChild(u"topp"), nullptr);
    ASSERT_NE(top->getChild(u"NAME"), nullptr);
    EXPECT_EQ(top->getChild(u"NAME")->getValue(), u"v");
    EXPECT_EQ(top->getChild(u"name")->getParent(), top);

    String value = u"untouched";
    EXPECT_FALSE(top->tryGetAttribute(u"missing", value));
    EXPECT_EQ(value, u"untouched");
    EXPECT_TRUE(top->tryGetAttribute(u"ID", value));
    EXPECT_EQ(value, u"7");
    EXPECT_TRUE(top->tryGetAttribute(u"kind", value));
    EXPECT_EQ(value, u"k");

    std::vector<std::string> visited;
    for (const XmlReaderNode& x : top->getAllChildren(u"x")) {
        String n;
        EXPECT_TRUE(x.tryGetAttribute(u"n", n));
        visited.push_back(utf8(n));
    }
    EXPECT_EQ(visited, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_TRUE(top->getAllChildren(u"z").begin() == top->getAllChildren(u"z").end());

    std::vector<std::string> enumerated;
    top->enumerateChildren(u"X", [&](const XmlReaderNode& c) { enumerated.push_back(utf8(c.getName())); });
    EXPECT_EQ(enumerated, (std::vector<std::string>{"x", "X", "x"}));
    enumerated.clear();
    top->enumerateChildren([&](const XmlReaderNode& c) { enumerated.push_back(utf8(c.getName())); });
    EXPECT_EQ(enumerated, (std::vector<std::string>{"x", "y", "X", "name", "x"}));
    std::vector<std::string> attributes;
    top->enumerateAttributes(
        [&](const String& n, const String& v) { attributes.push_back(utf8(n + u"=" + v)); });
    EXPECT_EQ(attributes, (std::vector<std::string>{"id=7", "Kind=k"}));

    const XmlReaderNode* last = top->getChild(u"name")->getNextSibling();
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->getNextSibling(), nullptr);
    EXPECT_EQ(top->getNextSibling(), nullptr);
    EXPECT_EQ(last->getFirstChild(), nullptr);
}

TEST(XmlReaderNode, NonAsciiNamesMatchByUnitsAndAttributeLookupFoldsOnlyAscii) {
    const XmlReaderNode root(u"<r \u00C4b='1'><\u00E9l\u00E8ve/><Caf\u00E9/></r>");
    const XmlReaderNode* r = root.getChild(u"r");
    ASSERT_NE(r, nullptr);
    EXPECT_NE(r->getChild(u"\u00E9l\u00E8ve"), nullptr);
    EXPECT_NE(r->getChild(u"cAF\u00E9"), nullptr);
    EXPECT_EQ(r->getChild(u"\u00E9l\u00E8v"), nullptr);
    String value;
    EXPECT_TRUE(r->tryGetAttribute(u"\u00C4B", value));
    EXPECT_EQ(value, u"1");
    if (std::towlower(L'\u00C4') == L'\u00E4') {
        // Folding outside ASCII happens only in the UTF-16 comparison.
        EXPECT_FALSE(r->tryGetAttribute(u"\u00E4b", value));
        EXPECT_NE(r->getChild(u"\u00C9L\u00C8VE"), nullptr);
    }
}

TEST(XmlReaderNode, MovedRootsKeepTheirTreeNavigable) {
    XmlReaderNode first(u"<a><b/><c/></a><d/>");
    XmlReaderNode moved(std::move(first));
    EXPECT_FALSE(first.isValid());
    ASSERT_TRUE(moved.isValid());
    const XmlReaderNode* a = moved.getFirstChild();
    EXPECT_EQ(a->getParent(), &moved);
    ASSERT_NE(a->getNextSibling(), nullptr);
    EXPECT_EQ(a->getNextSibling()->getName(), u"d");
    EXPECT_EQ(a->getChild(u"c")->getParent(), a);

    XmlReaderNode assigned(u"<old/>");
    assigned = std::move(moved);
    EXPECT_EQ(utf8(dump(assigned)), "a(b,c),d");
    EXPECT_EQ(assigned.getFirstChild()->getParent(), &assigned);
    assigned = XmlReaderNode();
    EXPECT_FALSE(assigned.isValid());
}

// ---- writer ----

namespace {

struct PrintCase {
    const char* label;
    XmlWriterNode (*build)();
    const char16_t* indented;
    const char16_t* compact;
};

const PrintCase PRINT_CASES[] = {
    {"attributes and children",
     [] {
         XmlWriterNode a(u"a", u"");
         a.addAttribute(u"x", u"1");
         a.addChild(u"b", u"");
         a.addChild(u"c", u"5 < 6");
         return a;
     },
     u"<a x=\"1\">\n\t<b/>\n\t<c>5 &lt; 6</c>\n</a>\n\n", u"<a x=\"1\"><b/><c>5 &lt; 6</c></a>"},
    {"value before children",
     [] {
         XmlWriterNode n(u"n", u"v");
         n.addChild(u"c", u"");
         return n;
     },
     u"<n>\n\tv\n\t<c/>\n</n>\n\n", u"<n>v<c/></n>"},
    {"single empty element", [] { return XmlWriterNode(u"x", u""); }, u"<x/>\n\n", u"<x/>"},
    {"duplicate attributes",
     [] {
         XmlWriterNode e(u"e", u"t");
         e.addAttribute(u"k", u"1").addAttribute(u"k", u"2");
         return e;
     },
     u"<e k=\"1\" k=\"2\">t</e>\n\n", u"<e k=\"1\" k=\"2\">t</e>"},
    {"quotes and escapes",
     [] {
         XmlWriterNode q(u"q", u"\"'<>&");
         q.addAttribute(u"a", u"a\"b'c").addAttribute(u"b", u"it's <&>");
         return q;
     },
     u"<q a='a\"b&apos;c' b=\"it's &lt;&amp;&gt;\">&quot;&apos;&lt;&gt;&amp;</q>\n\n",
     u"<q a='a\"b&apos;c' b=\"it's &lt;&amp;&gt;\">&quot;&apos;&lt;&gt;&amp;</q>"},
    {"nesting indents by tabs",
     [] {
         XmlWriterNode r(u"r", u"");
         r.addChild(u"p", u"").addChild(u"q", u"t");
         return r;
     },
     u"<r>\n\t<p>\n\t\t<q>t</q>\n\t</p>\n</r>\n\n", u"<r><p><q>t</q></p></r>"},
    {"non-ASCII passes unchanged",
     [] {
         XmlWriterNode u(u"\u00FC", u"\u20AC \U0001F600");
         u.addAttribute(u"\u00E9", u"\u00E8");
         return u;
     },
     u"<\u00FC \u00E9=\"\u00E8\">\u20AC \U0001F600</\u00FC>\n\n",
     u"<\u00FC \u00E9=\"\u00E8\">\u20AC \U0001F600</\u00FC>"},
};

} // namespace

TEST(XmlWriterNode, PrintsExactText) {
    for (const PrintCase& c : PRINT_CASES) {
        const XmlWriterNode node = c.build();
        EXPECT_EQ(utf8(node.toString(true)), utf8(c.indented)) << c.label;
        EXPECT_EQ(utf8(node.toString(false)), utf8(c.compact)) << c.label;
    }
}

TEST(XmlWriterNode, BuildsAndQueriesTrees) {
    XmlWriterNode root(u"root", u"");
    XmlWriterNode& first = root.addChild(u"first", u"1");
    for (int i = 0; i < 100; ++i)
        root.addChild(XmlWriterNode(u"more", u""));
    first.addAttribute(u"Key", u"a").addAttribute(u"key", u"b");
    first.setValue(u"changed");
    EXPECT_EQ(root.getNumChildren(), 101);
    EXPECT_EQ(first.getNumAttributes(), 2);
    EXPECT_EQ(first.getName(), u"first");
    EXPECT_EQ(first.getValue(), u"changed");
    EXPECT_EQ(first.getAttribute(u"KEY").value(), u"a");
    EXPECT_FALSE(first.getAttribute(u"ke").hasValue());
    EXPECT_EQ(utf8(root.toString(false)).substr(0, 50),
              "<root><first Key=\"a\" key=\"b\">changed</first><more/");

    XmlWriterNode moved(std::move(root));
    XmlWriterNode target(u"t", u"");
    target = std::move(moved);
    EXPECT_EQ(target.getNumChildren(), 101);
    EXPECT_EQ(target.getName(), u"root");
}

TEST(XmlWriterNode, AddTreeCopiesElementsAttributesAndFirstTexts) {
    const XmlReaderNode parsed(u"<p k=\"1\" j='&amp;'><q>t</q><![CDATA[z]]><!-- c --><s>a<u/>b</s></p>");
    XmlWriterNode r(u"r", u"");
    r.addTree(*parsed.getFirstChild());
    EXPECT_EQ(utf8(r.toString(false)), "<r><p k=\"1\" j=\"&amp;\"><q>t</q><s>a<u/></s></p></r>");

    const XmlReaderNode first(u"<p><q>t</q><![CDATA[z]]></p>");
    XmlWriterNode example(u"r", u"");
    example.addTree(*first.getFirstChild());
    EXPECT_EQ(utf8(example.toString(false)), "<r><p><q>t</q></p></r>");
}

// ---- round trip ----

namespace {

// Random writer trees together with the dump() their printed text must parse back to.
class TreeGenerator {
public:
    explicit TreeGenerator(unsigned seed)
        : mRandom(seed) {}

    XmlWriterNode make(int depth, String& expected) {
        static const char16_t* const NAMES[] = {u"a", u"Node_1", u"x-y.z", u"\u00E4\u00F6", u"item"};
        static const char16_t* const VALUES[] = {u"",
                                                 u"",
                                                 u"plain",
                                                 u" padded ",
                                                 u"<&>\"'",
                                                 u"\u20AC\U0001F600",
                                                 u"line\nbreak",
                                                 u"5 < 6 && 7 > 2"};
        const String name = NAMES[pick(5)];
        const String value = VALUES[pick(8)];
        XmlWriterNode node(name, value);
        expected << name;
        const int attributes = pick(3);
        if (attributes > 0) {
            expected << u'{';
            for (int i = 0; i < attributes; ++i) {
                const String v = VALUES[pick(8)];
                const String n = String(u"k") + String(char16_t(u'0' + i), 1);
                node.addAttribute(n, v);
                expected << (i ? u";" : u"") << n << u'=' << v;
            }
            expected << u'}';
        }
        if (!value.isEmpty()) expected << u"='" << value << u'\'';
        const int children = depth > 0 ? pick(4) : 0;
        if (children > 0) {
            expected << u'(';
            for (int i = 0; i < children; ++i) {
                if (i) expected << u',';
                node.addChild(make(depth - 1, expected));
            }
            expected << u')';
        }
        return node;
    }

private:
    int pick(int n) { return int(mRandom() % unsigned(n)); }
    std::mt19937 mRandom;
};

// Whether xmllint accepts the text as well-formed; -1 when xmllint is not installed.
int xmllintAccepts(const String& text) {
    if (std::system("command -v xmllint >/dev/null 2>&1") != 0) return -1;
    char path[] = "/tmp/tolvan_xml_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return 0;
    const auto bytes = text.toUtf8();
    const bool written = write(fd, bytes.cStr(), size_t(bytes.length())) == bytes.length();
    close(fd);
    const std::string command = std::string("xmllint --noout ") + path + " 2>/dev/null";
    const int result = written && std::system(command.c_str()) == 0 ? 1 : 0;
    unlink(path);
    return result;
}

} // namespace

TEST(XmlWriterNode, PrintedTreesParseBackAndAreWellFormed) {
    TreeGenerator generator(12345);
    String allIndented;
    for (int i = 0; i < 200; ++i) {
        String expected;
        const XmlWriterNode tree = generator.make(4, expected);
        const String compact = tree.toString(false);
        const XmlReaderNode parsed(compact);
        ASSERT_TRUE(parsed.isValid()) << utf8(compact);
        EXPECT_EQ(utf8(dump(parsed)), utf8(expected)) << utf8(compact);

        // Indenting adds whitespace only around elements: structure and attributes survive, and
        // copying the parsed tree prints the same compact text again.
        const XmlReaderNode indented(tree.toString(true));
        ASSERT_TRUE(indented.isValid());
        EXPECT_EQ(indented.getNumChildren(), 1);
        XmlWriterNode copy(u"c", u"");
        copy.addTree(*parsed.getFirstChild());
        EXPECT_EQ(utf8(copy.toString(false)), utf8(u"<c>" + compact + u"</c>"));
        if (i < 20) allIndented << u"<doc>" << tree.toString(true) << compact << u"</doc>";
    }
    const int lint = xmllintAccepts(u"<all>" + allIndented + u"</all>");
    if (lint < 0) GTEST_SKIP() << "xmllint is not installed";
    EXPECT_EQ(lint, 1);
}

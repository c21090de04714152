// XmlWriterNode::toString against rapidxml's own printer: random trees with awkward names and values
// are built twice, as writer nodes and as a rapidxml document laid out the way the writer prints
// (a value next to element children is a leading text node), and both texts must be identical.
#include "tolvan/xml/xmlnode.h"

#include <gtest/gtest.h>

#include <rapidxml/rapidxml.hpp>
#include <rapidxml/rapidxml_print.hpp>

#include <iterator>
#include <random>
#include <string>

using namespace Kalvex;

namespace {

using RapidDocument = rapidxml::xml_document<char>;
using RapidNode = rapidxml::xml_node<char>;

// The printed text of both printers side by side; on a difference, where it starts.
void expectSamePrint(const XmlWriterNode& node, const RapidDocument& document, const char* label) {
    for (const bool indent : {true, false}) {
        std::string bytes;
        rapidxml::print(std::back_inserter(bytes), document, indent ? 0 : rapidxml::print_no_indenting);
        const String expected = String::fromUtf8(std::string_view(bytes));
        const String printed = node.toString(indent);
        if (printed == expected) continue;
        int at = 0;
        while (at < printed.length() && at < expected.length() && printed[at] == expected[at])
            ++at;
        ADD_FAILURE() << label << (indent ? " (indented)" : " (compact)") << ": lengths " << printed.length()
                      << " and " << expected.length() << ", first difference at unit " << at << " after \""
                      << String(expected.cStr() + std::max(0, at - 40), std::min(at, 40)) << "\"";
    }
}

// Builds the same random tree as writer nodes and as rapidxml nodes.
class TwinTreeGenerator {
public:
    TwinTreeGenerator(unsigned seed, RapidDocument& document)
        : mRandom(seed)
        , mDocument(document) {}

    XmlWriterNode make(int depth, RapidNode*& twin) {
        const String name = randomText(true);
        const String value = pick(3) == 0 ? String() : randomText(false);
        XmlWriterNode node(name, value);
        twin = mDocument.allocate_node(rapidxml::node_element, store(name));
        const int children = depth > 0 ? pick(4) : 0;
        if (children > 0 && value.toUtf8().length() > 0) { // the UTF-8 form ends at a zero unit
            twin->append_node(mDocument.allocate_node(rapidxml::node_data, nullptr, store(value)));
        } else {
            twin->value(store(value));
        }
        const int attributes = pick(4);
        for (int i = 0; i < attributes; ++i) {
            const String n = randomText(true);
            const String v = pick(4) == 0 ? String() : randomText(false);
            node.addAttribute(n, v);
            twin->append_attribute(mDocument.allocate_attribute(store(n), store(v)));
        }
        for (int i = 0; i < children; ++i) {
            RapidNode* child = nullptr;
            node.addChild(make(depth - 1, child));
            twin->append_node(child);
        }
        return node;
    }

    // Mostly short texts from awkward pieces, sometimes a few thousand units.
    String randomText(bool isName) {
        static const char16_t* const PIECES[] = {u"a",
                                                 u"Z",
                                                 u"_",
                                                 u"-",
                                                 u".",
                                                 u"9",
                                                 u" ",
                                                 u"\t",
                                                 u"\n",
                                                 u"&",
                                                 u"<",
                                                 u">",
                                                 u"\"",
                                                 u"'",
                                                 u"&amp;",
                                                 u"\u00E9",
                                                 u"\u20AC",
                                                 u"\U0001F600",
                                                 u"\u00FC\u00DF",
                                                 u"\uFFFD",
                                                 u"x",
                                                 u"\u0800abc",
                                                 u"\u07FF"};
        constexpr int COUNT = int(std::size(PIECES));
        String text;
        const int pieces = pick(20) == 0 ? 1000 + pick(3000) : (isName ? 1 + pick(4) : pick(8));
        for (int i = 0; i < pieces; ++i) {
            const int k = pick(COUNT + 3);
            if (k < COUNT) {
                text << String(PIECES[k]);
            } else if (k == COUNT) {
                text << char16_t(0xD800 + pick(0x800)); // an unpaired surrogate prints as U+FFFD
            } else if (k == COUNT + 1 && !isName) {
                text << char16_t(0); // the UTF-8 form ends here on both sides
            } else {
                text << char16_t(0x80 + pick(0x7F80)); // some other BMP character
            }
        }
        return text;
    }

private:
    int pick(int n) { return int(mRandom() % unsigned(n)); }

    // The UTF-8 form in the document's pool, zero-terminated, as the writer stores it.
    const char* store(const String& text) {
        const auto utf8 = text.toUtf8();
        return mDocument.allocate_string(utf8.cStr(), size_t(utf8.length()) + 1);
    }

    std::mt19937 mRandom;
    RapidDocument& mDocument;
};

} // namespace

TEST(XmlWriterPrint, MatchesRapidxmlOnRandomTrees) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        RapidDocument document;
        TwinTreeGenerator generator(seed, document);
        RapidNode* twin = nullptr;
        const XmlWriterNode tree = generator.make(int(seed % 6), twin);
        document.append_node(twin);
        expectSamePrint(tree, document, ("seed " + std::to_string(seed)).c_str());
    }
}

TEST(XmlWriterPrint, MatchesRapidxmlOnDeepChains) {
    // 4200 levels: the deepest lines carry more tabs than the printer buffers at once.
    for (const int depth : {2, 300, 4200}) {
        RapidDocument document;
        XmlWriterNode root(u"chain", u"top & \"first\"");
        RapidNode* twinRoot = document.allocate_node(rapidxml::node_element, "chain");
        twinRoot->append_node(document.allocate_node(rapidxml::node_data, nullptr, "top & \"first\""));
        XmlWriterNode* node = &root;
        RapidNode* twin = twinRoot;
        for (int i = 1; i < depth; ++i) {
            const bool last = i == depth - 1;
            node = &node->addChild(u"l\u00E9vel", last ? u"<end>" : u"");
            RapidNode* child =
                document.allocate_node(rapidxml::node_element, "l\xC3\xA9vel", last ? "<end>" : "");
            twin->append_node(child);
            twin = child;
            if (i % 7 == 0) {
                node->addAttribute(u"i", u"it's");
                twin->append_attribute(document.allocate_attribute("i", "it's"));
            }
        }
        document.append_node(twinRoot);
        expectSamePrint(root, document, ("depth " + std::to_string(depth)).c_str());
    }
}

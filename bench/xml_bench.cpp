// XML nodes against pugixml: parsing a 20 MB document held as a String and walking every element
// (names, values and attributes as String, or the structure alone), and printing a large tree.
// Both sides start from the same UTF-16 text and end with String results.
#include "tolvan/containers/string.h"
#include "tolvan/xml/xmlnode.h"

#include "ratio_reporter.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pugixml.hpp>

#include <string>

using namespace Kalvex;

namespace {

constexpr int DOCUMENT_BYTES = 20 * 1024 * 1024;
constexpr int PRINTED_ITEMS = 100000;

// One item of the test documents: attributes, short texts and a little nesting.
void appendItem(String& text, int i) {
    const String n = String::fromAscii(std::to_string(i).c_str());
    text << u"<item id=\"" << n << u"\" kind=\"part\">\n  <name>Item " << n << u" &amp; co</name>\n"
         << u"  <value>" << n
         << u".25</value>\n  <tags><tag>red</tag><tag>\u00E9t\u00E9</tag></tags>\n</item>\n";
}

const String& document() {
    static const String text = [] {
        String t = u"<catalog>\n";
        for (int i = 0; t.length() < DOCUMENT_BYTES; ++i)
            appendItem(t, i);
        return t << u"</catalog>\n";
    }();
    return text;
}

// ---- parse and walk ----

int64 walkTolvan(const XmlReaderNode& node, const Function<void(const String&, const String&)>& onAttribute) {
    int64 total = 0;
    for (const XmlReaderNode* c = node.getFirstChild(); c; c = c->getNextSibling()) {
        total += c->getName().length() + c->getValue().length();
        c->enumerateAttributes(onAttribute);
        total += walkTolvan(*c, onAttribute);
    }
    return total;
}

int64 countTolvan(const XmlReaderNode& node) {
    int64 total = 0;
    for (const XmlReaderNode* c = node.getFirstChild(); c; c = c->getNextSibling())
        total += 1 + countTolvan(*c);
    return total;
}

int64 walkPugi(const pugi::xml_node& node) {
    int64 total = 0;
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element) continue;
        total += String::fromUtf8(c.name()).length() + String::fromUtf8(c.child_value()).length();
        for (pugi::xml_attribute a = c.first_attribute(); a; a = a.next_attribute())
            total += String::fromUtf8(a.name()).length() + String::fromUtf8(a.value()).length();
        total += walkPugi(c);
    }
    return total;
}

int64 countPugi(const pugi::xml_node& node) {
    int64 total = 0;
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element) total += 1 + countPugi(c);
    }
    return total;
}

bool parsePugi(pugi::xml_document& doc, const String& text) {
    return bool(doc.load_buffer(text.cStr(), size_t(text.length()) * sizeof(char16_t), pugi::parse_default,
                                pugi::encoding_utf16_le));
}

void setBytes(benchmark::State& state) {
    state.SetBytesProcessed(int64(state.iterations()) * document().length());
}

void BM_TolvanParseWalk(benchmark::State& state) {
    const String& text = document();
    int64 attributes = 0;
    const Function<void(const String&, const String&)> onAttribute =
        [&attributes](const String& n, const String& v) { attributes += n.length() + v.length(); };
    for (auto _ : state) {
        const XmlReaderNode root(text);
        benchmark::DoNotOptimize(walkTolvan(root, onAttribute));
    }
    benchmark::DoNotOptimize(attributes);
    setBytes(state);
}
BENCHMARK(BM_TolvanParseWalk)->Unit(benchmark::kMillisecond);

void BM_PugixmlParseWalk(benchmark::State& state) {
    const String& text = document();
    for (auto _ : state) {
        pugi::xml_document doc;
        if (!parsePugi(doc, text)) state.SkipWithError("pugixml parse failed");
        benchmark::DoNotOptimize(walkPugi(doc));
    }
    setBytes(state);
}
BENCHMARK(BM_PugixmlParseWalk)->Unit(benchmark::kMillisecond);

void BM_TolvanParseCount(benchmark::State& state) {
    const String& text = document();
    for (auto _ : state) {
        const XmlReaderNode root(text);
        benchmark::DoNotOptimize(countTolvan(root));
    }
    setBytes(state);
}
BENCHMARK(BM_TolvanParseCount)->Unit(benchmark::kMillisecond);

void BM_PugixmlParseCount(benchmark::State& state) {
    const String& text = document();
    for (auto _ : state) {
        pugi::xml_document doc;
        if (!parsePugi(doc, text)) state.SkipWithError("pugixml parse failed");
        benchmark::DoNotOptimize(countPugi(doc));
    }
    setBytes(state);
}
BENCHMARK(BM_PugixmlParseCount)->Unit(benchmark::kMillisecond);

// ---- printing ----

const XmlWriterNode& writerTree() {
    static const XmlWriterNode tree = [] {
        XmlWriterNode root(u"catalog", u"");
        for (int i = 0; i < PRINTED_ITEMS; ++i) {
            const String n = String::fromAscii(std::to_string(i).c_str());
            XmlWriterNode& item = root.addChild(u"item", u"");
            item.addAttribute(u"id", n).addAttribute(u"kind", u"part");
            item.addChild(u"name", u"Item " + n + u" & co");
            item.addChild(u"value", n + u".25");
            XmlWriterNode& tags = item.addChild(u"tags", u"");
            tags.addChild(u"tag", u"red");
            tags.addChild(u"tag", u"\u00E9t\u00E9");
        }
        return root;
    }();
    return tree;
}

const pugi::xml_document& pugiTree() {
    static const pugi::xml_document* tree = [] {
        auto* doc = new pugi::xml_document;
        pugi::xml_node root = doc->append_child("catalog");
        for (int i = 0; i < PRINTED_ITEMS; ++i) {
            const std::string n = std::to_string(i);
            pugi::xml_node item = root.append_child("item");
            item.append_attribute("id") = n.c_str();
            item.append_attribute("kind") = "part";
            item.append_child("name").text() = ("Item " + n + " & co").c_str();
            item.append_child("value").text() = (n + ".25").c_str();
            pugi::xml_node tags = item.append_child("tags");
            tags.append_child("tag").text() = "red";
            tags.append_child("tag").text() = "\xC3\xA9t\xC3\xA9";
        }
        return doc;
    }();
    return *tree;
}

class MemoryWriter : public pugi::xml_writer {
public:
    void write(const void* data, size_t size) override {
        mBytes.append(static_cast<const char*>(data), size);
    }
    std::string mBytes;
};

void BM_TolvanPrint(benchmark::State& state) {
    const XmlWriterNode& tree = writerTree();
    int64 length = 0;
    for (auto _ : state) {
        const String text = tree.toString(true);
        length = text.length();
        benchmark::DoNotOptimize(text.cStr());
    }
    state.SetBytesProcessed(int64(state.iterations()) * length);
}
BENCHMARK(BM_TolvanPrint)->Unit(benchmark::kMillisecond);

void BM_PugixmlPrint(benchmark::State& state) {
    const pugi::xml_document& tree = pugiTree();
    int64 length = 0;
    for (auto _ : state) {
        MemoryWriter writer;
        tree.save(writer, "\t", pugi::format_indent | pugi::format_no_declaration);
        const String text = String::fromUtf8(std::string_view(writer.mBytes));
        length = text.length();
        benchmark::DoNotOptimize(text.cStr());
    }
    state.SetBytesProcessed(int64(state.iterations()) * length);
}
BENCHMARK(BM_PugixmlPrint)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // Freed blocks stay in the process, so both sides reuse their memory instead of paying fresh page
    // faults on every run: on a virtual machine their cost varies so much that it hides the parsers.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    return TolvanBench::runWithRatios(argc, argv,
                                      {{"BM_TolvanParseWalk", "BM_PugixmlParseWalk"},
                                       {"BM_TolvanParseCount", "BM_PugixmlParseCount"},
                                       {"BM_TolvanPrint", "BM_PugixmlPrint"}});
}

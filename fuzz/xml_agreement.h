// Shared by the XML fuzz targets: the reader must accept exactly the documents the parser accepts
// within the nesting limit, with the parser's own error line for the others.
#pragma once

#include "tolvan/platform/debug.h"
#include "tolvan/xml/xmlnode.h"

#include <rapidxml/rapidxml.hpp>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace XmlFuzz {

using namespace Kalvex;

inline void check(bool condition) {
    if (!condition) std::abort();
}

// Collects the debug lines written while it exists.
class DebugLines {
public:
    DebugLines()
        : mPrevious(Detail::setDebugOutputSink([this](const String& line) { mLines.push_back(line); })) {}
    DebugLines(const DebugLines&) = delete;
    DebugLines& operator=(const DebugLines&) = delete;
    ~DebugLines() { Detail::setDebugOutputSink(mPrevious); }
    [[nodiscard]] const std::vector<String>& lines() const { return mLines; }

private:
    std::vector<String> mLines;
    DebugOutputSink mPrevious;
};

// Elements in the parser's tree and the depth of the deepest one, counted without recursion.
struct Shape {
    long elements = 0;
    int depth = 0;
};
inline Shape shapeOf(rapidxml::xml_node<char>* document) {
    Shape shape;
    int depth = 0;
    rapidxml::xml_node<char>* node = document->first_node();
    while (node) {
        ++shape.elements;
        ++depth;
        shape.depth = std::max(shape.depth, depth);
        if (rapidxml::xml_node<char>* child = node->first_node()) {
            node = child;
            continue;
        }
        while (node != document && !node->next_sibling()) {
            node = node->parent();
            --depth;
        }
        node = node == document ? nullptr : node->next_sibling();
        --depth;
    }
    return shape;
}

/// The depth of the deepest element below `root`, found without recursion.
inline int depthOf(const XmlReaderNode& root) {
    int deepest = 0;
    std::vector<std::pair<const XmlReaderNode*, int>> open{{&root, 0}};
    while (!open.empty()) {
        const auto [node, depth] = open.back();
        open.pop_back();
        deepest = std::max(deepest, depth);
        for (const XmlReaderNode* c = node->getFirstChild(); c; c = c->getNextSibling())
            open.emplace_back(c, depth + 1);
    }
    return deepest;
}

inline long elementsOf(const XmlReaderNode& root) {
    long count = 0;
    std::vector<const XmlReaderNode*> open{&root};
    while (!open.empty()) {
        const XmlReaderNode* node = open.back();
        open.pop_back();
        for (const XmlReaderNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
            ++count;
            open.push_back(c);
        }
    }
    return count;
}

/// Parses `text` with the reader and, when the parser can safely recurse into it here (few tags),
/// with the parser itself, and checks that both agree. Returns the reader's tree.
inline XmlReaderNode parseAndCompare(const String& text) {
    DebugLines readerLines;
    XmlReaderNode root(text);
    std::string bytes(text.toUtf8().cStr());
    const long tags = long(std::count(bytes.begin(), bytes.end(), '<'));
    if (tags > 3000) return root; // the parser recurses once per level
    DebugLines parserLines;
    rapidxml::xml_document<char> document;
    bool accepted = true;
    try {
        document.parse<rapidxml::parse_no_data_nodes>(bytes.data());
    } catch (const rapidxml::parse_error& error) {
        accepted = false;
        debugPrint("rapidxml error at ", String::fromUtf8(error.where<char>()), ": ", error.what());
    }
    const Shape shape = accepted ? shapeOf(&document) : Shape{};
    if (root.isValid()) {
        check(readerLines.lines().empty());
        check(accepted && shape.depth <= XmlReaderNode::MAX_DEPTH + 1);
        check(elementsOf(root) == shape.elements);
        return root;
    }
    check(readerLines.lines().size() == 1);
    const String& line = readerLines.lines()[0];
    if (line.find(u"nested deeper than 1000 levels") != String::nPos) {
        check(!accepted || shape.depth > XmlReaderNode::MAX_DEPTH);
    } else {
        check(!accepted && parserLines.lines().size() == 1 && parserLines.lines()[0] == line);
    }
    return root;
}

} // namespace XmlFuzz

#include "tolvan/xml/xmlnode.h"

#include "tolvan/common/allocator.h"
#include "tolvan/containers/stack.h"
#include "tolvan/platform/debug.h"

#include <rapidxml/rapidxml.hpp>
#include <rapidxml/rapidxml_print.hpp>

#include <cassert>
#include <cstring>
#include <cwctype>
#include <string_view>

namespace Kalvex {

namespace {

using RapidNode = rapidxml::xml_node<char>;
using RapidAttribute = rapidxml::xml_attribute<char>;
using RapidDocument = rapidxml::xml_document<char>;
using Utf8 = String::CharBuffer<char>;

// rapidxml's memory pool takes its heap blocks from the accounted allocator.
void* poolAllocate(std::size_t size) {
    return tolvanMalloc(size);
}
void poolFree(void* block) {
    tolvanFree(block);
}

void usePoolAllocator(RapidDocument& document) {
    document.set_allocator(poolAllocate, poolFree);
}

[[nodiscard]] std::string_view nameOf(const rapidxml::xml_base<char>* item) noexcept {
    return std::string_view(item->name(), item->name_size());
}
[[nodiscard]] std::string_view valueOf(const rapidxml::xml_base<char>* item) noexcept {
    return std::string_view(item->value(), item->value_size());
}

[[nodiscard]] wint_t lowerUnit(char16_t unit) noexcept {
    return std::towlower(wint_t(unit));
}

// Whether the UTF-8 name equals `name` unit by unit after towlower. ASCII bytes stand for themselves
// as units, so a mismatch inside an ASCII prefix is final; anything else is decoded and compared.
[[nodiscard]] bool nameMatches(std::string_view utf8, const String& name) {
    const int length = name.length();
    for (size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(utf8[i]);
        if (byte >= 0x80) return Detail::compareXmlNames(String::fromUtf8(utf8), name) == 0;
        if (int(i) >= length || lowerUnit(char16_t(byte)) != lowerUnit(name[int(i)])) return false;
    }
    return int(utf8.size()) == length;
}

// ---- nesting limit ----

constexpr const char* TOO_DEEP_MESSAGE = "elements nested deeper than 1000 levels";
static_assert(XmlReaderNode::MAX_DEPTH == 1000, "TOO_DEEP_MESSAGE names the limit");

// Walks the text with the parser's own grammar (and its character tables) to measure how deep
// elements nest and to count them. It stops where the parser would report an error, so the parser
// never nests deeper than the depth checked here. Throws the parser's error type at the first element
// below MAX_DEPTH; otherwise returns the number of elements seen (for a well-formed text, the number
// the parser creates).
class NestingCheck {
public:
    /// `text` holds `length` bytes without a zero byte, then its terminator.
    static int run(char* text, size_t length) {
        NestingCheck check(text, length);
        check.scan();
        return check.mElements;
    }

private:
    using Tables = rapidxml::internal::lookup_tables<0>;
    enum class Node { ERROR, MARKUP, EMPTY_ELEMENT, OPEN };

    NestingCheck(char* text, size_t length)
        : mP(text)
        , mEnd(text + length) {}

    static bool isWhitespace(char c) { return Tables::lookup_whitespace[static_cast<unsigned char>(c)]; }
    static bool isNameChar(char c) { return Tables::lookup_node_name[static_cast<unsigned char>(c)]; }
    static bool isAttributeNameChar(char c) {
        return Tables::lookup_attribute_name[static_cast<unsigned char>(c)];
    }
    void skipWhitespace() {
        while (isWhitespace(*mP))
            ++mP;
    }
    void skipName() {
        while (isNameChar(*mP))
            ++mP;
    }
    // Whether the text at `p` starts with `s`; never reads past the terminator, as `s` has no zero.
    static bool startsWith(const char* p, std::string_view s) {
        for (size_t i = 0; i < s.size(); ++i) {
            if (p[i] != s[i]) return false;
        }
        return true;
    }
    // Moves past the next occurrence of `end`; false at the end of the text.
    bool skipPast(std::string_view end) {
        for (; *mP; ++mP) {
            if (startsWith(mP, end)) {
                mP += end.size();
                return true;
            }
        }
        return false;
    }

    void scan() {
        if (static_cast<unsigned char>(mP[0]) == 0xEF && static_cast<unsigned char>(mP[1]) == 0xBB &&
            static_cast<unsigned char>(mP[2]) == 0xBF)
            mP += 3;
        int depth = 0;
        for (;;) {
            char* const tag = mP;
            if (depth == 0) {
                skipWhitespace();
                if (*mP != '<') return; // the end, or text outside elements
            } else {
                // Text runs to the next tag (the text has no zero byte before its end).
                mP = static_cast<char*>(std::memchr(mP, '<', size_t(mEnd - mP)));
                if (!mP) return;
                if (mP[1] == '/') {
                    mP += 2;
                    skipName();
                    skipWhitespace();
                    if (*mP != '>') return;
                    ++mP;
                    --depth;
                    continue;
                }
            }
            ++mP;
            const Node node = scanNode();
            if (node == Node::ERROR) return;
            if (node != Node::MARKUP) ++mElements;
            if (node == Node::OPEN && ++depth > XmlReaderNode::MAX_DEPTH)
                throw rapidxml::parse_error(TOO_DEEP_MESSAGE, tag);
        }
    }

    // After "<": skips one node; OPEN when it is an element whose content follows.
    Node scanNode() {
        if (mP[0] == '?') return skipPast("?>") ? Node::MARKUP : Node::ERROR;
        if (mP[0] == '!') return scanMarkup() ? Node::MARKUP : Node::ERROR;
        return scanElement();
    }

    bool scanMarkup() {
        if (mP[1] == '-' && mP[2] == '-') {
            mP += 3;
            return skipPast("-->");
        }
        if (startsWith(mP + 1, "[CDATA[")) {
            mP += 8;
            return skipPast("]]>");
        }
        if (startsWith(mP + 1, "DOCTYPE") && isWhitespace(mP[8])) {
            mP += 9;
            return scanDoctype();
        }
        ++mP;
        return skipPast(">");
    }

    bool scanDoctype() {
        while (*mP != '>') {
            if (*mP == 0) return false;
            if (*mP == '[') {
                ++mP;
                for (int brackets = 1; brackets > 0; ++mP) {
                    if (*mP == 0) return false;
                    if (*mP == '[') ++brackets;
                    if (*mP == ']') --brackets;
                }
            } else {
                ++mP;
            }
        }
        ++mP;
        return true;
    }

    Node scanElement() {
        const char* name = mP;
        skipName();
        if (mP == name) return Node::ERROR;
        skipWhitespace();
        while (isAttributeNameChar(*mP)) {
            ++mP;
            while (isAttributeNameChar(*mP))
                ++mP;
            skipWhitespace();
            if (*mP != '=') return Node::ERROR;
            ++mP;
            skipWhitespace();
            const char quote = *mP;
            if (quote != '\'' && quote != '"') return Node::ERROR;
            ++mP;
            mP = static_cast<char*>(std::memchr(mP, quote, size_t(mEnd - mP)));
            if (!mP) return Node::ERROR;
            ++mP;
            skipWhitespace();
        }
        if (*mP == '>') {
            ++mP;
            return Node::OPEN;
        }
        if (mP[0] == '/' && mP[1] == '>') {
            mP += 2;
            return Node::EMPTY_ELEMENT;
        }
        return Node::ERROR;
    }

    char* mP;
    char* const mEnd;
    int mElements = 0;
};

} // namespace

// ---- reader ----

struct XmlReaderNode::Impl {
    ArrayView<XmlReaderNode> mChildren;
    // Set only in the root, which owns it (see ImplDeleter); a plain pointer keeps Impl trivially
    // destructible, so the document frees the Impls of a large tree without visiting them.
    Document* mDocument = nullptr;
    RapidNode* mNode = nullptr;
    const XmlReaderNode* mParent = nullptr;
};

struct XmlReaderNode::Document {
    Document() { usePoolAllocator(mXml); }
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    ~Document() {
        // The Impls below the root belong to mImpls, not to their nodes.
        for (XmlReaderNode& node : mNodes)
            (void)node.mImpl.release();
    }

    Utf8 mText; // parsed in place: every name and value points into it
    RapidDocument mXml;
    // The Impls and reader nodes of every element below the root, in one block each, reserved once so
    // that they never move. The children of one parent are contiguous in mNodes.
    Stack<Impl> mImpls;
    Stack<XmlReaderNode> mNodes;
};

namespace Detail {

// Builds the reader tree over a parsed document, depth first: each parent gets its element children
// as one contiguous slice of the node array, then each child is built in turn.
class XmlReaderTreeBuilder {
public:
    static void build(XmlReaderNode& root, int expectedElements) {
        XmlReaderNode::Document& document = *root.mImpl->mDocument;
        if (tryBuild(root, document, expectedElements)) return;
        // The expectation was short (it cannot be for a text the parser accepted; this is a safeguard).
        const bool built = tryBuild(root, document, countElements(document.mXml));
        assert(built);
        (void)built;
    }

private:
    static bool tryBuild(XmlReaderNode& root, XmlReaderNode::Document& document, int capacity) {
        document.mNodes.clear();
        document.mImpls.clear();
        document.mNodes.reserve(capacity);
        document.mImpls.reserve(capacity);
        return buildChildren(root, document);
    }

    static bool buildChildren(XmlReaderNode& parent, XmlReaderNode::Document& document) {
        XmlReaderNode::Impl& impl = *parent.mImpl;
        Stack<XmlReaderNode>& nodes = document.mNodes;
        const int first = nodes.size();
        for (RapidNode* child = impl.mNode->first_node(); child; child = child->next_sibling()) {
            if (child->type() != rapidxml::node_element) continue;
            if (nodes.size() == nodes.capacity()) return false; // growing would move the nodes
            XmlReaderNode::Impl& childImpl = document.mImpls.emplace();
            childImpl.mNode = child;
            childImpl.mParent = &parent;
            nodes.emplace().mImpl.reset(&childImpl);
        }
        impl.mChildren = ArrayView<XmlReaderNode>(nodes.data() + first, nodes.size() - first);
        for (XmlReaderNode& child : impl.mChildren) {
            if (!buildChildren(child, document)) return false;
        }
        return true;
    }

    static int countElements(RapidDocument& xml) {
        int count = 0;
        RapidNode* node = xml.first_node();
        while (node) {
            if (node->type() == rapidxml::node_element) {
                ++count;
                if (RapidNode* child = node->first_node()) {
                    node = child;
                    continue;
                }
            }
            while (node != &xml && !node->next_sibling())
                node = node->parent();
            node = node == &xml ? nullptr : node->next_sibling();
        }
        return count;
    }
};

int compareXmlNames(const String& a, const String& b) noexcept {
    const int common = std::min(a.length(), b.length());
    for (int i = 0; i < common; ++i) {
        const wint_t x = lowerUnit(a[i]);
        const wint_t y = lowerUnit(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.length() == b.length() ? 0 : (a.length() < b.length() ? -1 : 1);
}

} // namespace Detail

void XmlReaderNode::ImplDeleter::operator()(Impl* impl) const noexcept {
    if (!impl->mDocument) return;
    tolvanDelete(impl->mDocument);
    tolvanDelete(impl);
}

XmlReaderNode::XmlReaderNode() noexcept = default;

XmlReaderNode::XmlReaderNode(const String& xml) {
    AutoPtr<Document> document = makeAutoPtr<Document>();
    document->mText = xml.toUtf8();
    if (document->mText.isEmpty()) { // rapidxml needs a writable terminator
        document->mText.reserve(1);
        document->mText.data()[0] = 0;
        document->mText.setCount(1);
    }
    char* text = document->mText.data();
    int elements = 0;
    try {
        elements = NestingCheck::run(text, size_t(document->mText.length()));
        document->mXml.parse<rapidxml::parse_default>(text);
    } catch (const rapidxml::parse_error& error) {
        const char* where = error.where<char>();
        debugPrint("rapidxml error at ", String::fromUtf8(where ? where : ""), ": ", error.what());
        return;
    }
    Impl* root = tolvanNew<Impl>();
    root->mNode = &document->mXml;
    root->mDocument = document.release();
    mImpl.reset(root);
    Detail::XmlReaderTreeBuilder::build(*this, elements);
}

XmlReaderNode::XmlReaderNode(XmlReaderNode&& other) noexcept
    : mImpl(std::move(other.mImpl)) {
    adoptChildren();
}

XmlReaderNode& XmlReaderNode::operator=(XmlReaderNode&& other) noexcept {
    if (this != &other) {
        mImpl.reset();
        mImpl = std::move(other.mImpl);
        adoptChildren();
    }
    return *this;
}

XmlReaderNode::~XmlReaderNode() = default;

void XmlReaderNode::adoptChildren() noexcept {
    if (!mImpl) return;
    for (XmlReaderNode& child : mImpl->mChildren)
        child.mImpl->mParent = this;
}

ArrayView<const XmlReaderNode> XmlReaderNode::children() const noexcept {
    return ArrayView<const XmlReaderNode>(mImpl->mChildren.data(), mImpl->mChildren.size());
}

String XmlReaderNode::getName() const {
    return String::fromUtf8(nameOf(mImpl->mNode));
}

String XmlReaderNode::getValue() const {
    return String::fromUtf8(valueOf(mImpl->mNode));
}

int XmlReaderNode::getNumChildren() const noexcept {
    return int(mImpl->mChildren.size());
}

int XmlReaderNode::getNumAttributes() const noexcept {
    int count = 0;
    for (RapidAttribute* a = mImpl->mNode->first_attribute(); a; a = a->next_attribute())
        ++count;
    return count;
}

const XmlReaderNode* XmlReaderNode::getChild(const String& name) const {
    for (const XmlReaderNode& child : children()) {
        if (nameMatches(nameOf(child.mImpl->mNode), name)) return &child;
    }
    return nullptr;
}

const XmlReaderNode* XmlReaderNode::getFirstChild() const noexcept {
    return mImpl->mChildren.isEmpty() ? nullptr : mImpl->mChildren.data();
}

const XmlReaderNode* XmlReaderNode::getNextSibling() const noexcept {
    const XmlReaderNode* parent = mImpl->mParent;
    if (!parent) return nullptr;
    const ArrayView<const XmlReaderNode> siblings = parent->children();
    const int64 next = (this - siblings.data()) + 1;
    return next < siblings.size() ? siblings.data() + next : nullptr;
}

const XmlReaderNode* XmlReaderNode::getParent() const noexcept {
    return mImpl->mParent;
}

bool XmlReaderNode::tryGetAttribute(const String& name, String& value) const {
    const Utf8 utf8 = name.toUtf8();
    const RapidAttribute* a = mImpl->mNode->first_attribute(utf8.cStr(), size_t(utf8.length()), false);
    if (!a) return false;
    value = String::fromUtf8(valueOf(a));
    return true;
}

void XmlReaderNode::enumerateAttributes(const Function<void(const String&, const String&)>& fn) const {
    for (RapidAttribute* a = mImpl->mNode->first_attribute(); a; a = a->next_attribute())
        fn(String::fromUtf8(nameOf(a)), String::fromUtf8(valueOf(a)));
}

void XmlReaderNode::enumerateChildren(const Function<void(const XmlReaderNode&)>& fn) const {
    for (const XmlReaderNode& child : children())
        fn(child);
}

void XmlReaderNode::enumerateChildren(const String& name, const Function<void(const XmlReaderNode&)>& fn) const {
    for (const XmlReaderNode& child : children()) {
        if (nameMatches(nameOf(child.mImpl->mNode), name)) fn(child);
    }
}

XmlReaderNode::NodeIterator& XmlReaderNode::NodeIterator::operator++() {
    const String name = mNode->getName();
    do {
        mNode = mNode->getNextSibling();
    } while (mNode && !nameMatches(nameOf(mNode->mImpl->mNode), name));
    return *this;
}

// ---- writer ----

struct XmlWriterNode::Impl {
    struct Attribute {
        Utf8 mName;
        Utf8 mValue;
    };
    // One link of the child list; links never move, so references to their nodes stay valid.
    struct Child {
        explicit Child(XmlWriterNode&& node)
            : mNode(std::move(node)) {}
        XmlWriterNode mNode;
        Child* mNext = nullptr;
    };

    Impl(const String& name, const String& value)
        : mName(name.toUtf8())
        , mValue(value.toUtf8()) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl() {
        // Iteratively, so that a long list of children does not recurse.
        for (Child* c = mFirstChild; c;)
            tolvanDelete(std::exchange(c, c->mNext));
    }

    Utf8 mName;
    Utf8 mValue;
    Stack<Attribute> mAttributes;
    Child* mFirstChild = nullptr;
    Child* mLastChild = nullptr;
    int mNumChildren = 0;
};

namespace {

// The printer's output iterator: writes into [mNext, mEnd) and counts on past the end without
// writing, so that one run tells the exact size when the buffer was too small. It is copied by value
// like a pointer; the printer always continues with the copy it gets back.
class BoundedWriter {
public:
    BoundedWriter(char* begin, char* end) noexcept
        : mNext(begin)
        , mEnd(end) {}
    BoundedWriter& operator*() noexcept { return *this; }
    BoundedWriter& operator++() noexcept {
        ++mNext;
        return *this;
    }
    BoundedWriter operator++(int) noexcept {
        BoundedWriter before = *this;
        ++mNext;
        return before;
    }
    BoundedWriter& operator=(char c) noexcept {
        if (mNext < mEnd) *mNext = c;
        return *this;
    }
    [[nodiscard]] char* position() const noexcept { return mNext; }

private:
    char* mNext;
    char* mEnd;
};

} // namespace

XmlWriterNode::XmlWriterNode(const String& name, const String& value)
    : mImpl(makeAutoPtr<Impl>(name, value)) {}

XmlWriterNode::XmlWriterNode(XmlWriterNode&& other) noexcept = default;

XmlWriterNode& XmlWriterNode::operator=(XmlWriterNode&& other) noexcept {
    if (this != &other) {
        mImpl.reset();
        mImpl = std::move(other.mImpl);
    }
    return *this;
}

XmlWriterNode::~XmlWriterNode() = default;

XmlWriterNode& XmlWriterNode::addAttribute(const String& name, const String& value) {
    mImpl->mAttributes.push(Impl::Attribute{name.toUtf8(), value.toUtf8()});
    return *this;
}

XmlWriterNode& XmlWriterNode::addChild(XmlWriterNode&& child) {
    Impl::Child* link = tolvanNew<Impl::Child>(std::move(child));
    if (mImpl->mLastChild) {
        mImpl->mLastChild->mNext = link;
    } else {
        mImpl->mFirstChild = link;
    }
    mImpl->mLastChild = link;
    ++mImpl->mNumChildren;
    return link->mNode;
}

XmlWriterNode& XmlWriterNode::addChild(const String& name, const String& value) {
    return addChild(XmlWriterNode(name, value));
}

void XmlWriterNode::addTree(const XmlReaderNode& node) {
    XmlWriterNode& child = addChild(node.getName(), node.getValue());
    node.enumerateAttributes([&child](const String& name, const String& value) { child.addAttribute(name, value); });
    for (const XmlReaderNode* c = node.getFirstChild(); c; c = c->getNextSibling())
        child.addTree(*c);
}

void XmlWriterNode::setValue(const String& value) {
    mImpl->mValue = value.toUtf8();
}

String XmlWriterNode::getName() const {
    return String::fromUtf8(mImpl->mName.view());
}

String XmlWriterNode::getValue() const {
    return String::fromUtf8(mImpl->mValue.view());
}

Optional<String> XmlWriterNode::getAttribute(const String& name) const {
    for (const Impl::Attribute& a : mImpl->mAttributes) {
        if (nameMatches(a.mName.view(), name)) return String::fromUtf8(a.mValue.view());
    }
    return NONE;
}

int XmlWriterNode::getNumAttributes() const noexcept {
    return mImpl->mAttributes.size();
}

int XmlWriterNode::getNumChildren() const noexcept {
    return mImpl->mNumChildren;
}

namespace {

// A rapidxml element for the writer node; names and values point at the writer's buffers. A value
// next to element children becomes a leading character-data node.
template <typename WriterImpl>
RapidNode* toRapidNode(RapidDocument& document, const WriterImpl& impl) {
    RapidNode* element = document.allocate_node(rapidxml::node_element);
    element->name(impl.mName.cStr(), size_t(impl.mName.length()));
    if (impl.mFirstChild && impl.mValue.length() > 0) {
        RapidNode* data = document.allocate_node(rapidxml::node_data);
        data->value(impl.mValue.cStr(), size_t(impl.mValue.length()));
        element->append_node(data);
    } else {
        element->value(impl.mValue.cStr(), size_t(impl.mValue.length()));
    }
    for (const auto& a : impl.mAttributes) {
        RapidAttribute* attribute = document.allocate_attribute();
        attribute->name(a.mName.cStr(), size_t(a.mName.length()));
        attribute->value(a.mValue.cStr(), size_t(a.mValue.length()));
        element->append_attribute(attribute);
    }
    return element;
}

// Bytes of a text with every character the printer may escape counted as its longest reference.
[[nodiscard]] int64 escapedSize(const Utf8& text) noexcept {
    int64 size = text.length();
    for (const char c : text.view()) {
        if (c == '<' || c == '>' || c == '&' || c == '"' || c == '\'') size += 5;
    }
    return size;
}

} // namespace

String XmlWriterNode::toString(bool indent) const {
    if (!mImpl) return String();
    AutoPtr<RapidDocument> document = makeAutoPtr<RapidDocument>();
    usePoolAllocator(*document);
    // Converts the subtree below `impl` into children of `element`; returns an upper bound of the
    // subtree's printed size at `depth` (with indenting): "<" name ">" "</" name ">", the tabs before
    // both tags and before a text line, three line feeds and the escaped texts.
    struct Tree {
        static int64 convert(RapidDocument& document, const Impl& impl, RapidNode* element, int depth) {
            int64 size = 2 * impl.mName.length() + 5 + 3 * int64(depth + 1) + 3 + escapedSize(impl.mValue);
            for (const Impl::Attribute& a : impl.mAttributes)
                size += a.mName.length() + 4 + escapedSize(a.mValue);
            for (const Impl::Child* c = impl.mFirstChild; c; c = c->mNext) {
                const Impl& childImpl = *c->mNode.mImpl;
                RapidNode* child = toRapidNode(document, childImpl);
                element->append_node(child);
                size += convert(document, childImpl, child, depth + 1);
            }
            return size;
        }
    };
    RapidNode* top = toRapidNode(*document, *mImpl);
    document->append_node(top);
    const int64 estimate = Tree::convert(*document, *mImpl, top, 0) + 1; // the document's own line feed

    // Print into a buffer of the estimated size; if the text turned out longer, print again into a
    // buffer of exactly its size.
    Stack<char, HeapAllocator, int64> bytes;
    bytes.reserve(estimate);
    const int flags = indent ? 0 : rapidxml::print_no_indenting;
    int64 size = rapidxml::print(BoundedWriter(bytes.data(), bytes.data() + estimate), *document, flags).position() -
                 bytes.data();
    if (size > estimate) {
        bytes = Stack<char, HeapAllocator, int64>();
        bytes.reserve(size);
        size = rapidxml::print(BoundedWriter(bytes.data(), bytes.data() + size), *document, flags).position() -
               bytes.data();
    }
    return String::fromUtf8(std::string_view(bytes.data(), size_t(size)));
}

} // namespace Kalvex

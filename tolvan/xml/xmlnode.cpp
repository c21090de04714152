#include "tolvan/xml/xmlnode.h"

#include "tolvan/common/allocator.h"
#include "tolvan/common/exception.h"
#include "tolvan/containers/array.h"
#include "tolvan/containers/heapallocator.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/utf.h"
#include "tolvan/platform/debug.h"

#include <rapidxml/rapidxml.hpp>

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <smmintrin.h>
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

// The parser's grammar, flags and character tables walked without recursion: every construct is
// skipped by the parser's own rules, and every error the parser would report is reported here with
// its message and position. Measures how deep elements nest (the parser recurses once per level) and
// counts them. The parser is only run on a text this check read to its end, so it never nests deeper
// than the depth checked here.
class NestingCheck {
public:
    struct Failure {
        const char* message;
        const char* where;
    };

    /// Reads the zero-terminated `text`; returns the number of elements, or throws Failure at the
    /// parser's first error or at the first element whose content lies below MAX_DEPTH.
    static int64 run(const char* text) {
        NestingCheck check(text);
        check.scan();
        return check.mElements;
    }

private:
    using Tables = rapidxml::internal::lookup_tables<0>;

    explicit NestingCheck(const char* text)
        : mP(text) {}

    [[noreturn]] static void fail(const char* message, const char* where) { throw Failure{message, where}; }

    static bool in(const unsigned char (&table)[256], char c) { return table[static_cast<unsigned char>(c)]; }
    static bool isWhitespace(char c) { return in(Tables::lookup_whitespace, c); }
    void skip(const unsigned char (&table)[256]) {
        while (in(table, *mP))
            ++mP;
    }
    void skipWhitespace() { skip(Tables::lookup_whitespace); }
    // Whether the text at `p` starts with `s`; never reads past the terminator, as `s` has no zero.
    static bool startsWith(const char* p, std::string_view s) {
        for (size_t i = 0; i < s.size(); ++i) {
            if (p[i] != s[i]) return false;
        }
        return true;
    }
    // Moves past the next occurrence of `end`; at the terminator, the parser's end-of-data error.
    void skipPast(std::string_view end) {
        const std::string_view rest(mP);
        const size_t at = rest.find(end);
        if (at == std::string_view::npos) fail("unexpected end of data", mP + rest.size());
        mP += at + end.size();
    }

    void scan() {
        if (static_cast<unsigned char>(mP[0]) == 0xEF && static_cast<unsigned char>(mP[1]) == 0xBB &&
            static_cast<unsigned char>(mP[2]) == 0xBF)
            mP += 3;
        int depth = 0; // elements whose content is being read
        for (;;) {
            if (depth == 0) {
                skipWhitespace();
                if (*mP == 0) return;
                if (*mP != '<') fail("expected <", mP);
            } else {
                const char* contents = mP;
                skipWhitespace();
                if (*mP != '<' && *mP != 0) {
                    // Text: from the content's start (whitespace kept) to the next tag.
                    mP = contents;
                    skipValue(Tables::lookup_text);
                }
                if (*mP == 0) fail("unexpected end of data", mP);
                if (mP[1] == '/') {
                    mP += 2;
                    skip(Tables::lookup_node_name); // closing names are not compared
                    skipWhitespace();
                    if (*mP != '>') fail("expected >", mP);
                    ++mP;
                    --depth;
                    continue;
                }
            }
            const char* const tag = mP;
            ++mP;
            if (scanNode() && ++depth > XmlReaderNode::MAX_DEPTH) fail(TOO_DEEP_MESSAGE, tag);
        }
    }

    // After "<": skips one node; true when it is an element whose content follows.
    bool scanNode() {
        if (mP[0] == '?') {
            ++mP;
            // "<?xml " starts the declaration; either way the parser skips to the next "?>".
            if ((mP[0] == 'x' || mP[0] == 'X') && (mP[1] == 'm' || mP[1] == 'M') &&
                (mP[2] == 'l' || mP[2] == 'L') && isWhitespace(mP[3]))
                mP += 4;
            skipPast("?>");
            return false;
        }
        if (mP[0] != '!') return scanElement();
        if (startsWith(mP + 1, "--")) {
            mP += 3;
            skipPast("-->");
        } else if (startsWith(mP + 1, "[CDATA[")) {
            mP += 8;
            skipPast("]]>");
        } else if (startsWith(mP + 1, "DOCTYPE") && isWhitespace(mP[8])) {
            mP += 9;
            scanDoctype();
        } else {
            ++mP;
            skipPast(">");
        }
        return false;
    }

    void scanDoctype() {
        while (*mP != '>') {
            if (*mP == 0) fail("unexpected end of data", mP);
            if (*mP++ != '[') continue;
            for (int brackets = 1; brackets > 0; ++mP) {
                if (*mP == 0) fail("unexpected end of data", mP);
                if (*mP == '[') ++brackets;
                if (*mP == ']') --brackets;
            }
        }
        ++mP;
    }

    bool scanElement() {
        const char* name = mP;
        skip(Tables::lookup_node_name);
        if (mP == name) fail("expected element name", mP);
        ++mElements;
        skipWhitespace();
        while (in(Tables::lookup_attribute_name, *mP)) {
            skip(Tables::lookup_attribute_name);
            skipWhitespace();
            if (*mP != '=') fail("expected =", mP);
            ++mP;
            skipWhitespace();
            const char quote = *mP;
            if (quote != '\'' && quote != '"') fail("expected ' or \"", mP);
            ++mP;
            skipValue(quote == '\'' ? Tables::lookup_attribute_data_1 : Tables::lookup_attribute_data_2);
            if (*mP != quote) fail("expected ' or \"", mP);
            ++mP;
            skipWhitespace();
        }
        if (*mP == '>') {
            ++mP;
            return true;
        }
        if (*mP == '/') {
            ++mP;
            if (*mP != '>') fail("expected >", mP);
            ++mP;
            return false;
        }
        fail("expected >", mP);
    }

    // Skips text or an attribute value up to the first character outside `table`, checking character
    // references as the parser decodes them. The parser decodes in place, so its position for an
    // invalid code is where the decoded text has got to: `removed` bytes before the reference.
    void skipValue(const unsigned char (&table)[256]) {
        size_t removed = 0;
        while (in(table, *mP)) {
            if (*mP != '&') {
                ++mP;
                continue;
            }
            const size_t named = namedReferenceLength(mP);
            if (named > 0) {
                mP += named;
                removed += named - 1;
                continue;
            }
            if (mP[1] != '#') {
                ++mP; // a lone '&' stays as it is
                continue;
            }
            const char* const reference = mP;
            const bool hex = mP[2] == 'x';
            mP += hex ? 3 : 2;
            unsigned long code = 0; // the parser's arithmetic, wrapping included
            for (unsigned char digit;
                 (digit = Tables::lookup_digits[static_cast<unsigned char>(*mP)]) != 0xFF; ++mP)
                code = code * (hex ? 16 : 10) + digit;
            if (code >= 0x110000) fail("invalid numeric character entity", reference - removed);
            if (*mP != ';') fail("expected ;", mP);
            ++mP;
            const size_t encoded = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
            removed += size_t(mP - reference) - encoded;
        }
    }

    // The length of the named reference at `p` ("&amp;" and the four others), 0 when there is none.
    static size_t namedReferenceLength(const char* p) {
        for (const std::string_view name : {"&amp;", "&apos;", "&quot;", "&gt;", "&lt;"}) {
            if (startsWith(p, name)) return name.size();
        }
        return 0;
    }

    const char* mP;
    int64 mElements = 0;
};

} // namespace

// ---- reader ----

// 32 bytes, trivially destructible: the document frees the Impls of a large tree in one block without
// visiting them.
struct XmlReaderNode::Impl {
    XmlReaderNode* mFirstChild = nullptr; // the children are contiguous
    RapidNode* mNode = nullptr;
    const XmlReaderNode* mParent = nullptr; // null only for the root, whose Impl is a RootImpl
    int32 mChildCount = 0;

    [[nodiscard]] ArrayView<XmlReaderNode> children() const noexcept { return {mFirstChild, mChildCount}; }
};

struct XmlReaderNode::RootImpl : Impl {
    static_assert(sizeof(Impl) == 32, "a large tree holds one Impl per element");
    Document* mDocument = nullptr;
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

// Builds the reader tree over a parsed document without recursion, level by level: the node array
// is its own work list, and each node in turn gets its element children as one contiguous slice
// appended to it.
class XmlReaderTreeBuilder {
public:
    /// False when the parsed document has more than `expectedElements` elements, or fewer, or elements
    /// deeper than the nesting limit allows: the nesting check and the parser disagreed.
    static bool build(XmlReaderNode& root, int64 expectedElements) {
        XmlReaderNode::Document& document = *static_cast<XmlReaderNode::RootImpl&>(*root.mImpl).mDocument;
        if (expectedElements > int64(INT32_MAX)) return false;
        Stack<XmlReaderNode>& nodes = document.mNodes;
        nodes.reserve(int(expectedElements));
        document.mImpls.reserve(int(expectedElements));
        if (!addChildren(root, document)) return false;
        // Elements at depth MAX_DEPTH + 1 exist when they are empty.
        int depth = 1;
        int levelEnd = nodes.size();
        for (int i = 0; i < nodes.size(); ++i) {
            if (i == levelEnd) {
                levelEnd = nodes.size();
                if (++depth > XmlReaderNode::MAX_DEPTH + 1) return false;
            }
            if (!addChildren(nodes.data()[i], document)) return false;
        }
        return nodes.size() == expectedElements;
    }

private:
    // Appends the element children of `parent`; false when they do not fit the reserved arrays
    // (growing them would move the nodes).
    static bool addChildren(XmlReaderNode& parent, XmlReaderNode::Document& document) {
        XmlReaderNode::Impl& impl = *parent.mImpl;
        Stack<XmlReaderNode>& nodes = document.mNodes;
        const int first = nodes.size();
        for (RapidNode* child = impl.mNode->first_node(); child; child = child->next_sibling()) {
            if (child->type() != rapidxml::node_element) continue;
            if (nodes.size() == nodes.capacity()) return false;
            XmlReaderNode::Impl& childImpl = document.mImpls.emplace();
            childImpl.mNode = child;
            childImpl.mParent = &parent;
            nodes.emplace().mImpl.reset(&childImpl);
        }
        impl.mChildCount = nodes.size() - first;
        impl.mFirstChild = impl.mChildCount > 0 ? nodes.data() + first : nullptr;
        return true;
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
    if (impl->mParent) return; // below the root: the document owns it
    auto* root = static_cast<RootImpl*>(impl);
    tolvanDelete(root->mDocument);
    tolvanDelete(root);
}

namespace {
void reportParseError(const char* where, const char* message) {
    debugPrint("rapidxml error at ", String::fromUtf8(where ? where : ""), ": ", message);
}
} // namespace

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
    int64 elements = 0;
    try {
        elements = NestingCheck::run(text);
        // Without text and CDATA nodes: only elements get reader nodes, and the parser sets an
        // element's value from its first text run with or without them (same grammar, same errors).
        // That leaves out about a third of the parser's nodes.
        document->mXml.parse<rapidxml::parse_no_data_nodes>(text);
    } catch (const NestingCheck::Failure& failure) {
        reportParseError(failure.where, failure.message);
        return;
    } catch (const rapidxml::parse_error& error) {
        reportParseError(error.where<char>(), error.what());
        return;
    }
    auto* root = tolvanNew<RootImpl>();
    root->mNode = &document->mXml;
    root->mDocument = document.release();
    mImpl.reset(root);
    if (!Detail::XmlReaderTreeBuilder::build(*this, elements)) {
        mImpl.reset();
        reportParseError(nullptr, "the nesting check and the parser disagree about the document");
    }
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
    for (XmlReaderNode& child : mImpl->children())
        child.mImpl->mParent = this;
}

ArrayView<const XmlReaderNode> XmlReaderNode::children() const noexcept {
    return ArrayView<const XmlReaderNode>(mImpl->mFirstChild, mImpl->mChildCount);
}

String XmlReaderNode::getName() const {
    return String::fromUtf8(nameOf(mImpl->mNode));
}

String XmlReaderNode::getValue() const {
    return String::fromUtf8(valueOf(mImpl->mNode));
}

int XmlReaderNode::getNumChildren() const noexcept {
    return mImpl->mChildCount;
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
    return mImpl->mFirstChild;
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

void XmlReaderNode::enumerateChildren(const String& name,
                                      const Function<void(const XmlReaderNode&)>& fn) const {
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
    [[nodiscard]] static const Impl& of(const XmlWriterNode& node) noexcept { return *node.mImpl; }

    Utf8 mName;
    Utf8 mValue;
    Stack<Attribute> mAttributes;
    Child* mFirstChild = nullptr;
    Child* mLastChild = nullptr;
    int mNumChildren = 0;
};

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
    node.enumerateAttributes(
        [&child](const String& name, const String& value) { child.addAttribute(name, value); });
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

// ---- printing ----
//
// toString prints the text rapidxml's printer gives for the writer tree (with a value next to element
// children as a leading text line), straight into UTF-16: first a pass that counts the units, so that
// the result is allocated once, then the printing pass. Both passes run the same walk over the tree.

namespace {

// How a text is escaped: element text escapes all five characters; an attribute value written between
// one kind of quote keeps the other kind unescaped; names are copied as they are.
enum class Escape { NONE, TEXT, IN_DOUBLE_QUOTES, IN_SINGLE_QUOTES };

constexpr std::string_view ENTITIES[] = {"&lt;", "&gt;", "&amp;", "&quot;", "&apos;"};

// 1 + the index in ENTITIES of the reference for an ASCII byte, 0 when it is written as it is.
[[nodiscard]] constexpr int entityIndex(unsigned char c) noexcept {
    switch (c) {
    case '<':
        return 1;
    case '>':
        return 2;
    case '&':
        return 3;
    case '"':
        return 4;
    case '\'':
        return 5;
    default:
        return 0;
    }
}

// The quote an escaping keeps unescaped (0 for none).
[[nodiscard]] constexpr unsigned char keptQuote(Escape escape) noexcept {
    return escape == Escape::IN_DOUBLE_QUOTES ? '\'' : escape == Escape::IN_SINGLE_QUOTES ? '"' : 0;
}

// Writes `count` bytes of UTF-8 at `in` as UTF-16 with the escaping applied; `out` has room for six
// units per byte. ASCII goes sixteen bytes at a time while no byte needs attention; a run of bytes of
// 128 and above is decoded as a whole (an ASCII byte always ends a sequence, so decoding the runs
// separately gives the units of decoding the whole text).
char16_t* writeEscaped(const char* in, size_t count, Escape escape, char16_t* out) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(in);
    const bool escaping = escape != Escape::NONE;
    const unsigned char kept = keptQuote(escape);
    size_t i = 0;
    while (i < count) {
        if (count - i >= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            __m128i special = _mm_setzero_si128();
            if (escaping) {
                special = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('<')),
                                       _mm_cmpeq_epi8(bytes, _mm_set1_epi8('>')));
                special = _mm_or_si128(special, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('&')));
                special = _mm_or_si128(special, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')));
                special = _mm_or_si128(special, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\'')));
            }
            const int mask = _mm_movemask_epi8(_mm_or_si128(bytes, special));
            // The room for six units per byte left holds these sixteen units.
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_cvtepu8_epi16(bytes));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8),
                             _mm_cvtepu8_epi16(_mm_srli_si128(bytes, 8)));
            const size_t plain = mask == 0 ? 16 : size_t(__builtin_ctz(unsigned(mask)));
            i += plain;
            out += plain;
            if (plain == 16) continue;
        }
        const unsigned char c = p[i];
        if (c < 0x80) {
            const int entity = escaping && c != kept ? entityIndex(c) : 0;
            if (entity == 0) {
                *out++ = c;
            } else {
                for (const char e : ENTITIES[entity - 1])
                    *out++ = char16_t(e);
            }
            ++i;
            continue;
        }
        // A lone two-byte character (the usual case in mostly-ASCII text) is decoded here;
        // longer runs of bytes of 128 and above go to the block decoder.
        const bool two = (c & 0xE0) == 0xC0 && c >= 0xC2 && i + 2 <= count && (p[i + 1] & 0xC0) == 0x80 &&
                         (i + 2 == count || p[i + 2] < 0x80);
        if (two) {
            *out++ = char16_t(((c & 0x1F) << 6) | (p[i + 1] & 0x3F));
            i += 2;
            continue;
        }
        size_t end = i + 1;
        while (end < count && p[end] >= 0x80)
            ++end;
        out += Detail::decodeUtf8(in + i, end - i, out);
        i = end;
    }
    return out;
}

// Collects the printed units in chunks; the result is allocated once at the end, at its exact size.
class UnitWriter {
public:
    UnitWriter() = default;
    UnitWriter(const UnitWriter&) = delete;
    UnitWriter& operator=(const UnitWriter&) = delete;

    void put(char16_t c) {
        room(1);
        *mNext++ = c;
    }
    void markup(std::string_view ascii) {
        room(ascii.size());
        for (const char c : ascii)
            *mNext++ = char16_t(c);
    }
    void repeat(char16_t c, int64 count) {
        while (count > 0) {
            const size_t n = size_t(std::min<int64>(count, int64(CHUNK)));
            room(n);
            std::fill_n(mNext, n, c);
            mNext += n;
            count -= int64(n);
        }
    }
    void text(std::string_view utf8, Escape escape) {
        const char* p = utf8.data();
        size_t left = utf8.size();
        while (left > 0) {
            size_t piece = std::min(left, MAX_PIECE);
            // Cut before a byte that starts a sequence (a lone continuation after three is one anyway).
            for (int k = 0; k < 3 && piece < left && (static_cast<unsigned char>(p[piece]) & 0xC0) == 0x80;
                 ++k)
                --piece;
            room(piece * 6);
            mNext = writeEscaped(p, piece, escape, mNext);
            p += piece;
            left -= piece;
        }
    }

    // The units written, as one string; throws BadAlloc when they exceed a string's length.
    [[nodiscard]] String finish() {
        closeChunk();
        if (mTotal > int64(String::nPos) - 1) throw BadAlloc(size_t(mTotal) * sizeof(char16_t));
        String result;
        result.reserve(int(mTotal) + 1);
        for (const Chunk& chunk : mChunks)
            result.append(chunk.units.data(), int(chunk.used));
        return result;
    }

private:
    static constexpr size_t CHUNK = size_t(1) << 15;
    // The longest piece of text written at once: six units per byte at most.
    static constexpr size_t MAX_PIECE = CHUNK / 6;

    struct Chunk {
        Array<char16_t, HeapAllocator, int64> units;
        int64 used = 0;
    };

    void room(size_t units) {
        if (size_t(mEnd - mNext) < units) nextChunk();
    }
    void closeChunk() {
        if (mChunks.isEmpty()) return;
        Chunk& last = mChunks.back();
        last.used = mNext - last.units.data();
        mTotal += last.used;
    }
    void nextChunk() {
        closeChunk();
        Chunk& chunk = mChunks.emplace();
        chunk.units = Array<char16_t, HeapAllocator, int64>::uninitialized(int64(CHUNK));
        mNext = chunk.units.data();
        mEnd = mNext + CHUNK;
    }

    Stack<Chunk, HeapAllocator, int64> mChunks;
    char16_t* mNext = nullptr;
    char16_t* mEnd = nullptr;
    int64 mTotal = 0;
};

// The closing tag at `depth` (with its tabs and line feed when indenting).
template <typename Impl, typename Out>
void printEnd(const Impl& node, int64 depth, bool indent, Out& out) {
    if (indent) out.repeat(u'\t', depth);
    out.markup("</");
    out.text(node.mName.view(), Escape::NONE);
    out.put(u'>');
    if (indent) out.put(u'\n');
}

// Prints an element's start at `depth`: its tabs, tag and attributes, and when it has no children the
// whole element with its line feed. True when element children follow (after the value's own line).
template <typename Impl, typename Out>
bool printStart(const Impl& node, int64 depth, bool indent, Out& out) {
    if (indent) out.repeat(u'\t', depth);
    out.put(u'<');
    out.text(node.mName.view(), Escape::NONE);
    for (const auto& a : node.mAttributes) {
        out.put(u' ');
        out.text(a.mName.view(), Escape::NONE);
        out.put(u'=');
        const bool hasDoubleQuote = a.mValue.view().find('"') != std::string_view::npos;
        const char16_t quote = hasDoubleQuote ? u'\'' : u'"';
        out.put(quote);
        out.text(a.mValue.view(), hasDoubleQuote ? Escape::IN_SINGLE_QUOTES : Escape::IN_DOUBLE_QUOTES);
        out.put(quote);
    }
    const bool hasValue = node.mValue.length() > 0;
    if (!node.mFirstChild) {
        if (hasValue) {
            out.put(u'>');
            out.text(node.mValue.view(), Escape::TEXT);
            printEnd(node, 0, false, out);
        } else {
            out.markup("/>");
        }
        if (indent) out.put(u'\n');
        return false;
    }
    out.put(u'>');
    if (indent) out.put(u'\n');
    if (hasValue) {
        if (indent) out.repeat(u'\t', depth + 1);
        out.text(node.mValue.view(), Escape::TEXT);
        if (indent) out.put(u'\n');
    }
    return true;
}

// The whole tree below `top`, depth first without recursion, then the document's line feed.
template <typename Impl, typename Out>
void printTree(const Impl& top, bool indent, Out& out) {
    struct Open {
        const Impl* node;
        const typename Impl::Child* next; // the next child to print
    };
    Stack<Open, HeapAllocator, int64> open;
    if (printStart(top, 0, indent, out)) open.push(Open{&top, top.mFirstChild});
    while (!open.isEmpty()) {
        Open& current = open.back();
        if (const auto* child = current.next) {
            current.next = child->mNext;
            const Impl& node = Impl::of(child->mNode);
            if (printStart(node, open.size(), indent, out)) open.push(Open{&node, node.mFirstChild});
        } else {
            printEnd(*current.node, open.size() - 1, indent, out);
            open.pop();
        }
    }
    if (indent) out.put(u'\n');
}

} // namespace

String XmlWriterNode::toString(bool indent) const {
    if (!mImpl) return String();
    UnitWriter writer;
    printTree(*mImpl, indent, writer);
    return writer.finish();
}

} // namespace Kalvex

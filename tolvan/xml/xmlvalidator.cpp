#include "tolvan/xml/xmlvalidator.h"

#include "tolvan/common/exception.h"
#include "tolvan/containers/stack.h"
#include "tolvan/utility/valuetext.h"

namespace Kalvex {

namespace {

using Flag = XmlValidatorFlag;

[[nodiscard]] String decimal(int64 value) {
    return Detail::formatNumber(value);
}

// ---- value tests ----

// Character scanners rather than regular expressions: a value may be long, and the standard engine
// recurses once per character.

[[nodiscard]] bool isDigit(char16_t c) noexcept {
    return c >= u'0' && c <= u'9';
}

// Moves `i` past the digits at it; returns how many there were.
int skipDigits(const String& text, int& i) noexcept {
    const int start = i;
    while (i < text.length() && isDigit(text[i]))
        ++i;
    return i - start;
}

// Moves `i` past the longest float at it: [+-]?digits+ .? digits* ([eE][-+]?digits+)?. False (and `i`
// anywhere) when none starts there.
bool skipFloat(const String& text, int& i) noexcept {
    if (i < text.length() && (text[i] == u'+' || text[i] == u'-')) ++i;
    if (skipDigits(text, i) == 0) return false;
    if (i < text.length() && text[i] == u'.') ++i;
    skipDigits(text, i);
    if (i < text.length() && (text[i] == u'e' || text[i] == u'E')) {
        int exponent = i + 1;
        if (exponent < text.length() && (text[exponent] == u'+' || text[exponent] == u'-')) ++exponent;
        if (skipDigits(text, exponent) > 0) i = exponent;
    }
    return true;
}

} // namespace

bool Detail::isXmlInteger(const String& text) noexcept {
    int i = 0;
    return skipDigits(text, i) > 0 && i == text.length();
}

bool Detail::isXmlFloats(const String& text, int count) noexcept {
    // A float never holds a blank, so each must end where the blanks before the next one (or the text) do.
    int i = 0;
    for (int k = 0; k < count; ++k) {
        if (k > 0) {
            const int blanks = i;
            while (i < text.length() && text[i] == u' ')
                ++i;
            if (i == blanks) return false;
        }
        if (!skipFloat(text, i)) return false;
    }
    return i == text.length();
}

namespace {

struct ValueTest {
    Flag mFlag;
    const char16_t* mTypeName;
    bool (*mPasses)(const String& text);
};

// The value tests in the order they run.
const ValueTest VALUE_TESTS[] = {
    {Flag::EMPTY, u"empty", [](const String& t) { return t.isEmpty(); }},
    {Flag::NON_EMPTY, u"non-empty", [](const String& t) { return !t.isEmpty(); }},
    {Flag::INTEGER, u"integer", [](const String& t) { return Detail::isXmlInteger(t); }},
    {Flag::FLOAT, u"float", [](const String& t) { return Detail::isXmlFloats(t, 1); }},
    {Flag::BOOL, u"bool ('true' or 'false')",
     [](const String& t) { return t == u"1" || t == u"0" || t == u"true" || t == u"false"; }},
    {Flag::RGB_COLOR, u"RGB color (3 floats)", [](const String& t) { return Detail::isXmlFloats(t, 3); }},
    {Flag::XY_VECTOR, u"XY vector (2 floats)", [](const String& t) { return Detail::isXmlFloats(t, 2); }},
    {Flag::XYZ_VECTOR, u"XYZ vector (3 floats)", [](const String& t) { return Detail::isXmlFloats(t, 3); }},
};

// The type name of the first value test that `value` (trimmed, lower-cased) fails; null when all pass.
[[nodiscard]] const char16_t* checkValue(Flags<Flag> flags, const String& value) {
    String text = value;
    text.trim().toLowerCase();
    for (const ValueTest& test : VALUE_TESTS) {
        if (flags.has(test.mFlag) && !test.mPasses(text)) return test.mTypeName;
    }
    return nullptr;
}

// ---- the allowed names ----

struct Entry {
    const String* mName;
    Flags<Flag> mFlags;
    int mMinCount;
    int mMaxCount;
    int mCount = 0;
};

// The allowed entries ordered and looked up by name without case; the first of equal names wins.
class AllowedMap {
public:
    void add(const String& name, Flags<Flag> flags, int minCount, int maxCount) {
        const int at = lowerBound(name);
        if (at < mEntries.size() && Detail::compareXmlNames(*mEntries[at].mName, name) == 0) return;
        mEntries.insert(at, Entry{&name, flags, minCount, maxCount});
    }
    [[nodiscard]] Entry* find(const String& name) {
        const int at = lowerBound(name);
        return at < mEntries.size() && Detail::compareXmlNames(*mEntries[at].mName, name) == 0 ? &mEntries[at]
                                                                                               : nullptr;
    }
    /// "'a', 'b'" in map order.
    [[nodiscard]] String listNames() const {
        String list;
        for (const Entry& e : mEntries) {
            if (!list.isEmpty()) list << u", ";
            list << u'\'' << *e.mName << u'\'';
        }
        return list;
    }
    [[nodiscard]] const Stack<Entry>& entries() const noexcept { return mEntries; }

private:
    [[nodiscard]] int lowerBound(const String& name) const {
        int low = 0;
        int high = mEntries.size();
        while (low < high) {
            const int mid = (low + high) / 2;
            if (Detail::compareXmlNames(*mEntries[mid].mName, name) < 0) {
                low = mid + 1;
            } else {
                high = mid;
            }
        }
        return low;
    }

    Stack<Entry> mEntries;
};

[[nodiscard]] String elementOrElements(int count) {
    return count == 1 ? String(u" element") : String(u" elements");
}

// "<name a="1">", and "[k]" when the node is the k-th (k > 1) of its parent's children of that name.
[[nodiscard]] String describeNode(const XmlReaderNode& node) {
    const String name = node.getName();
    String text = u"<" + name;
    node.enumerateAttributes([&text](const String& attribute, const String& value) {
        text << u' ' << attribute << u"=\"" << value << u'"';
    });
    text << u'>';
    if (const XmlReaderNode* parent = node.getParent()) {
        int position = 1;
        for (const XmlReaderNode* c = parent->getFirstChild(); c && c != &node; c = c->getNextSibling()) {
            if (Detail::compareXmlNames(c->getName(), name) == 0) ++position;
        }
        if (position > 1) text << u'[' << decimal(position) << u']';
    }
    return text;
}

} // namespace

XmlValidator::XmlValidator(const String& fileType, const Io::Path& filePath)
    : mFileType(fileType)
    , mFilePath(filePath) {}

void XmlValidator::validateNode(const XmlReaderNode& node, Flags<XmlValidatorFlag> flags) const {
    if (flags.has(Flag::LEAF) && node.getNumChildren() >= 1)
        fail(node,
             u"Element expected to be leaf, instead it has " + decimal(node.getNumChildren()) + u" children");
    if (flags.has(Flag::NO_ATTRIBUTES) && node.getNumAttributes() >= 1)
        fail(node, u"Element cannot have attributes, instead it has " + decimal(node.getNumAttributes()));
    const String value = node.getValue();
    if (const char16_t* type = checkValue(flags, value))
        fail(node, u"Element value mismatch. Expected " + String(type) + u", got: '" + value + u"'");
}

void XmlValidator::validateAttributes(const XmlReaderNode& node,
                                      std::initializer_list<AllowedAttribute> allowed) const {
    AllowedMap map;
    for (const AllowedAttribute& a : allowed)
        map.add(a.mName, a.mFlags, 0, 0);
    node.enumerateAttributes([&](const String& name, const String& value) {
        Entry* entry = map.find(name);
        if (!entry) fail(node, u"Unknown atrribute: '" + name + u"', allowed attributes: " + map.listNames());
        ++entry->mCount;
        if (const char16_t* type = checkValue(entry->mFlags, value))
            fail(node, u"Atribute '" + name + u"' value mismatch. Expected " + String(type) + u", got: '" +
                           value + u"'");
    });
    for (const Entry& entry : map.entries()) {
        if (entry.mFlags.has(Flag::MANDATORY) && entry.mCount == 0)
            fail(node, u"Missing mandatory attribute: '" + *entry.mName + u"'");
        if (entry.mCount > 1)
            fail(node, u"There is more than 1 attribute of type '" + *entry.mName + u"': " +
                           decimal(entry.mCount) + u" are present");
    }
}

void XmlValidator::validateChildren(const XmlReaderNode& node,
                                    std::initializer_list<AllowedChild> allowed) const {
    AllowedMap map;
    for (const AllowedChild& c : allowed)
        map.add(c.mName, c.mFlags, c.mMinCount, c.mMaxCount);
    for (const XmlReaderNode* child = node.getFirstChild(); child; child = child->getNextSibling()) {
        const String name = child->getName();
        Entry* entry = map.find(name);
        if (!entry)
            fail(node, u"Unknown child element: '" + name + u"', allowed children: " + map.listNames());
        ++entry->mCount;
        validateNode(*child, entry->mFlags);
    }
    for (const Entry& entry : map.entries()) {
        if (entry.mCount < entry.mMinCount)
            fail(node, u"Missing mandatory child element(s) '" + *entry.mName + u"': required at least " +
                           decimal(entry.mMinCount) + elementOrElements(entry.mMinCount) + u", but only " +
                           decimal(entry.mCount) + u" are present");
        if (entry.mCount > entry.mMaxCount)
            fail(node, u"Too many child elements of type '" + *entry.mName + u"': required at most " +
                           decimal(entry.mMaxCount) + elementOrElements(entry.mMaxCount) + u", but " +
                           decimal(entry.mCount) + u" are present");
    }
}

void XmlValidator::fail(const XmlReaderNode& node, const String& message) const {
    // From the node outwards: each ancestor below the document root goes in front, and everything
    // after it moves three blanks further in.
    String path = describeNode(node);
    for (const XmlReaderNode* p = node.getParent(); p && p->getParent() && !p->getName().isEmpty();
         p = p->getParent()) {
        path.replaceAll(u"\n", u"\n   ");
        path = describeNode(*p) + u"\n   " + path;
    }
    throw Exception(u"ERROR in " + mFileType + u" file: " + message + u"\nFile name: " +
                    mFilePath.genericStr() + u"\nXML tree path:\n" + path);
}

} // namespace Kalvex

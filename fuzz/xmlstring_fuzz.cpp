// XmlString operations on arbitrary texts and keys: nothing crashes, and on texts the class built
// itself getChild finds what addChild and addTree wrote.
#include "tolvan/xml/xmlnode.h"
#include "tolvan/xml/xmlstring.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace Kalvex;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Splits the input at 0xFF bytes into UTF-8 pieces.
class Pieces {
public:
    Pieces(const uint8_t* data, size_t size)
        : mRest(reinterpret_cast<const char*>(data), size) {}
    [[nodiscard]] bool isEmpty() const { return mRest.empty(); }
    String next() {
        const size_t end = mRest.find('\xFF');
        const std::string_view piece = mRest.substr(0, end);
        mRest = end == std::string_view::npos ? std::string_view() : mRest.substr(end + 1);
        return String::fromUtf8(piece);
    }

private:
    std::string_view mRest;
};

// A key name that prints as a well-formed element name: ASCII letters only, not empty.
bool isPlainName(const String& name) {
    if (name.isEmpty()) return false;
    for (char16_t c : name) {
        if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'))) return false;
    }
    return true;
}

// A value that reads back unchanged: no zero unit, not blanks alone, no carriage return.
bool isPlainValue(const String& value) {
    return value.findFirstOf(u'\0') == String::nPos && value.findFirstOf(u'\r') == String::nPos &&
           (value.isEmpty() || value.findFirstNotOf(u" \t\n") != String::nPos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Pieces pieces(data, size);
    // Anything goes for texts from outside.
    const XmlString foreign = XmlString::fromString(pieces.next());
    (void)foreign.isValid();
    const String probe = pieces.next();
    (void)foreign.getChild(probe);
    (void)foreign.contains(probe, pieces.next());

    XmlString built;
    XmlString other;
    while (!pieces.isEmpty()) {
        const String name = pieces.next();
        const String value = pieces.next();
        const bool plain = isPlainName(name) && isPlainValue(value);
        if (!name.isEmpty() && name[0] == u'o') {
            other.addChild(name, value);
        } else {
            built.addChild(name, value);
            if (plain) {
                // The key is written last, with the value unchanged; an earlier key equal without case
                // is what getChild finds first.
                check(built.isValid());
                check(built.getChild(name).hasValue());
                const XmlReaderNode document(built);
                const XmlReaderNode* root = document.getChild(u"root");
                check(root != nullptr && root->getNumChildren() > 0);
                const XmlReaderNode* last = root->getFirstChild();
                while (last->getNextSibling())
                    last = last->getNextSibling();
                check(last->getName() == name && last->getValue() == value);
            }
        }
    }
    (void)XmlString(foreign).addTree(built);
    const bool bothValid = built.isValid() && other.isValid();
    built.addTree(other);
    if (bothValid) check(built.isValid());
    built.addTree(foreign);
    return 0;
}

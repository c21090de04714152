// Arbitrary bytes parsed as UTF-8 XML: parsing never crashes or overflows the stack, the reader accepts
// what the parser accepts (with the parser's error line otherwise), every navigation
// over the tree is consistent, and the tree copied into a writer prints text that parses back to the
// same names, values and attributes.
#include "xml_agreement.h"

#include "tolvan/xml/xmlnode.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace Kalvex;

namespace {

using XmlFuzz::check;

// A writer keeps text up to its first zero unit, and a text of blanks alone between tags reads back
// as nothing: the value a printed copy of `value` reads back as.
String printedValue(const String& value) {
    String kept = value.getSubstr(0, value.findFirstOf(u'\0'));
    return kept.findFirstNotOf(u" \t\r\n") == String::nPos ? String() : kept;
}

String attributesOf(const XmlReaderNode& node) {
    String text;
    node.enumerateAttributes([&text](const String& name, const String& value) {
        text << name << u'=' << value.getSubstr(0, value.findFirstOf(u'\0')) << u';';
    });
    return text;
}

// Walks the whole tree checking that navigation agrees with itself; returns the number of elements.
int walk(const XmlReaderNode& node) {
    int count = 1;
    int children = 0;
    for (const XmlReaderNode* c = node.getFirstChild(); c; c = c->getNextSibling()) {
        check(c->getParent() == &node);
        const String name = c->getName();
        const XmlReaderNode* first = node.getChild(name);
        check(first != nullptr && first <= c);
        int sameNamed = 0;
        for (const XmlReaderNode& s : node.getAllChildren(name)) {
            (void)s;
            ++sameNamed;
        }
        check(sameNamed >= 1);
        String value;
        int attributes = 0;
        c->enumerateAttributes([&](const String& attribute, const String&) {
            ++attributes;
            check(c->tryGetAttribute(attribute, value));
        });
        check(attributes == c->getNumAttributes());
        (void)c->getValue();
        count += walk(*c);
        ++children;
    }
    check(children == node.getNumChildren());
    return count;
}

// The same names, values and attributes in the same structure (values as a printed copy keeps them).
void compare(const XmlReaderNode& original, const XmlReaderNode& copy) {
    check(original.getName() == copy.getName());
    check(printedValue(original.getValue()) == copy.getValue());
    check(attributesOf(original) == attributesOf(copy));
    check(original.getNumChildren() == copy.getNumChildren());
    const XmlReaderNode* c = copy.getFirstChild();
    for (const XmlReaderNode* o = original.getFirstChild(); o;
         o = o->getNextSibling(), c = c->getNextSibling())
        compare(*o, *c);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const String text = String::fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
    const XmlReaderNode root = XmlFuzz::parseAndCompare(text);
    if (!root.isValid()) return 0;
    (void)walk(root);

    // The copy below sits one level deeper: at the nesting limit it would be rejected.
    if (XmlFuzz::depthOf(root) >= XmlReaderNode::MAX_DEPTH) return 0;

    XmlWriterNode copy(u"fuzz", String());
    for (const XmlReaderNode* c = root.getFirstChild(); c; c = c->getNextSibling())
        copy.addTree(*c);
    (void)copy.toString(true);
    const XmlReaderNode reparsed(copy.toString(false));
    check(reparsed.isValid() && reparsed.getNumChildren() == 1);
    const XmlReaderNode* top = reparsed.getFirstChild();
    check(top->getNumChildren() == root.getNumChildren());
    const XmlReaderNode* r = top->getFirstChild();
    for (const XmlReaderNode* o = root.getFirstChild(); o; o = o->getNextSibling(), r = r->getNextSibling())
        compare(*o, *r);
    return 0;
}

#include "tolvan/xml/xmlstring.h"

#include "tolvan/xml/xmlnode.h"

namespace Kalvex {

namespace {

const char16_t* const ROOT = u"root";

// The "root" element of a parsed text that has exactly one top-level element; null otherwise.
[[nodiscard]] const XmlReaderNode* findKeys(const XmlReaderNode& document) {
    if (!document.isValid() || document.getNumChildren() != 1) return nullptr;
    return document.getChild(ROOT);
}

// The "root" element of a parsed text, whatever else it holds; null when there is none.
[[nodiscard]] const XmlReaderNode* findRoot(const XmlReaderNode& document) {
    return document.isValid() ? document.getChild(ROOT) : nullptr;
}

} // namespace

XmlString::XmlString()
    : String(u"<root/>") {}

XmlString::XmlString(const String& name, const String& value)
    : XmlString() {
    addChild(name, value);
}

XmlString XmlString::fromString(const String& text) {
    return XmlString(String(text));
}

bool XmlString::isValid() const {
    const XmlReaderNode document(*this);
    return document.isValid() && document.getNumChildren() == 1;
}

Optional<String> XmlString::getChild(const String& name) const {
    const XmlReaderNode document(*this);
    const XmlReaderNode* keys = findKeys(document);
    const XmlReaderNode* key = keys ? keys->getChild(name) : nullptr;
    if (!key) return NONE;
    return key->getValue();
}

bool XmlString::contains(const String& name, const String& value) const {
    const Optional<String> found = getChild(name);
    return found.hasValue() && *found == value;
}

void XmlString::addChild(const String& name, const String& value) {
    const XmlReaderNode document(*this);
    XmlWriterNode tree(ROOT, String());
    if (const XmlReaderNode* root = findRoot(document)) {
        for (const XmlReaderNode* key = root->getFirstChild(); key; key = key->getNextSibling()) {
            if (!(key->getName() == name)) tree.addTree(*key);
        }
    }
    tree.addChild(name, value);
    String::operator=(tree.toString(false));
}

void XmlString::addTree(const XmlString& other) {
    const XmlReaderNode document(*this);
    const XmlReaderNode otherDocument(other);
    // The keys `other` answers getChild for, and the keys copied from it.
    const XmlReaderNode* otherKeys = findKeys(otherDocument);
    const XmlReaderNode* otherRoot = findRoot(otherDocument);
    XmlWriterNode tree(ROOT, String());
    if (const XmlReaderNode* root = findRoot(document)) {
        for (const XmlReaderNode* key = root->getFirstChild(); key; key = key->getNextSibling()) {
            if (!otherKeys || !otherKeys->getChild(key->getName())) tree.addTree(*key);
        }
    }
    if (otherRoot) {
        for (const XmlReaderNode* key = otherRoot->getFirstChild(); key; key = key->getNextSibling())
            tree.addTree(*key);
    }
    String::operator=(tree.toString(false));
}

} // namespace Kalvex

// XmlString: a small key-value message held as XML text: one top-level element `root` with one child
// element per key, whose text is the value. The socket layer sends these as messages and headers.
//
//   XmlString message(u"DataType", u"1");        // <root><DataType>1</DataType></root>
//   message.addChild(u"FileSize", u"42");        // <root><DataType>1</DataType><FileSize>42</FileSize></root>
//   message.getChild(u"filesize");               // "42"
//
// The text is the whole state; every change parses it and writes it anew in compact form.
#pragma once

#include "tolvan/containers/optional.h"
#include "tolvan/containers/string.h"

namespace Kalvex {

/// A key-value message held as XML text: one element `root` with one child element per key.
class XmlString : public String {
public:
    /// The text "<root/>".
    XmlString();
    /// `root` with the one key `name` holding `value`: "<root><name>value</name></root>" ("<name/>"
    /// when `value` is empty).
    XmlString(const String& name, const String& value);

    /// `text` unchanged and unchecked.
    [[nodiscard]] static XmlString fromString(const String& text);

    /// True when the text parses and has exactly one top-level element, whatever its name.
    [[nodiscard]] bool isValid() const;
    /// The value of the first key named `name` (without case) under the top-level "root" element; empty
    /// when the text is not valid or has no such key. A key without text gives an empty String.
    [[nodiscard]] Optional<String> getChild(const String& name) const;
    /// True when getChild(name) has a value equal to `value` unit by unit (case matters).
    [[nodiscard]] bool contains(const String& name, const String& value) const;
    /// Sets key `name` (exact name) to `value`: an existing key of exactly that name is removed and the
    /// key is written last; the other keys keep their order and content.
    void addChild(const String& name, const String& value);
    /// Merges the keys of `other` in: the receiver's keys that `other` lacks (names without case) keep
    /// their order and come first, then all keys of `other` in its order.
    void addTree(const XmlString& other);

private:
    explicit XmlString(String&& text) noexcept
        : String(std::move(text)) {}
};

} // namespace Kalvex

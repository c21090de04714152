// XML node trees. XmlReaderNode parses XML text once into an immutable tree of element nodes and
// navigates it by name; XmlWriterNode is an element tree built in memory and printed with toString.
//
//   XmlReaderNode doc(u"<scene><light type=\"sun\"/></scene>");
//   if (const XmlReaderNode* scene = doc.getChild(u"scene"))
//       for (const XmlReaderNode& light : scene->getAllChildren(u"LIGHT")) ...
//
//   XmlWriterNode root(u"scene", u"");
//   root.addChild(u"light", u"").addAttribute(u"type", u"sun");
//   root.toString(false);                          // <scene><light type="sun"/></scene>
//
// Inside both trees names and values are UTF-8; they cross the interface as String. Text is cut at its
// first zero unit on the way in (the UTF-8 conversion ends there).
#pragma once

#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/string.h"

namespace Kalvex {

namespace Detail {
class XmlReaderTreeBuilder;
}

/// An immutable element tree parsed once from XML text, navigated by name.
class XmlReaderNode {
public:
    /// Documents whose elements nest deeper than this are rejected like malformed XML, so that parsing
    /// never exhausts the stack.
    static constexpr int MAX_DEPTH = 1000;

    /// Forward iterator over the children of one parent that share a name (see getAllChildren).
    class NodeIterator {
    public:
        /// Starts at `node` (null: the end).
        explicit NodeIterator(const XmlReaderNode* node) noexcept
            : mNode(node) {}
        /// The current node.
        const XmlReaderNode& operator*() const noexcept { return *mNode; }
        /// The current node.
        const XmlReaderNode* operator->() const noexcept { return mNode; }
        /// Moves to the next sibling whose name matches the current node's name; end() after the last.
        NodeIterator& operator++();
        /// Equal when both stand at the same node.
        friend bool operator==(const NodeIterator& a, const NodeIterator& b) noexcept {
            return a.mNode == b.mNode;
        }

    private:
        const XmlReaderNode* mNode;
    };

    /// The range returned by getAllChildren: the parent and a copy of the name.
    class NodeIteratorHolder {
    public:
        /// The children of `parent` named `name`.
        NodeIteratorHolder(const XmlReaderNode* parent, const String& name)
            : mParent(parent)
            , mName(name) {}
        /// The first child of that name.
        [[nodiscard]] NodeIterator begin() const { return NodeIterator(mParent->getChild(mName)); }
        /// The end of the range.
        [[nodiscard]] NodeIterator end() const noexcept { return NodeIterator(nullptr); }

    private:
        const XmlReaderNode* mParent;
        String mName;
    };

    /// An empty node (isValid() is false).
    XmlReaderNode() noexcept;
    /// Parses `xml` (cut at its first zero unit). Malformed XML, or elements nested deeper than
    /// MAX_DEPTH, leave the node empty and write "rapidxml error at ..." to the debug output; only
    /// BadAlloc escapes.
    explicit XmlReaderNode(const String& xml);
    /// Takes the other's tree; the children of a moved root designate the new object as their parent.
    XmlReaderNode(XmlReaderNode&& other) noexcept;
    /// Destroys this node's tree first, then takes the other's.
    XmlReaderNode& operator=(XmlReaderNode&& other) noexcept;
    XmlReaderNode(const XmlReaderNode&) = delete;
    XmlReaderNode& operator=(const XmlReaderNode&) = delete;
    ~XmlReaderNode();

    // The operations below need a node that holds a tree (isValid()); the pointers they return stay
    // valid while the root lives, and null means "none".

    /// True when the node holds a tree.
    [[nodiscard]] bool isValid() const noexcept { return !mImpl.isNull(); }
    /// The element name; empty for the document root.
    [[nodiscard]] String getName() const;
    /// The first run of character data directly inside the element (entities decoded, whitespace
    /// kept); empty when there is none and for the document root.
    [[nodiscard]] String getValue() const;
    /// Number of element children.
    [[nodiscard]] int getNumChildren() const noexcept;
    /// Number of attributes.
    [[nodiscard]] int getNumAttributes() const noexcept;
    /// The first element child whose name equals `name` unit by unit after towlower.
    [[nodiscard]] const XmlReaderNode* getChild(const String& name) const;
    /// The first element child; null when there is none.
    [[nodiscard]] const XmlReaderNode* getFirstChild() const noexcept;
    /// The next element of the parent; null for the last child and for the document root.
    [[nodiscard]] const XmlReaderNode* getNextSibling() const noexcept;
    /// The node whose children include this one; null for the document root.
    [[nodiscard]] const XmlReaderNode* getParent() const noexcept;
    /// On the first attribute whose UTF-8 name equals `name`'s (ASCII letters without case) stores its
    /// value and returns true; otherwise returns false and leaves `value` alone.
    [[nodiscard]] bool tryGetAttribute(const String& name, String& value) const;
    /// Calls fn(name, value) for every attribute in document order.
    void enumerateAttributes(const Function<void(const String&, const String&)>& fn) const;
    /// Calls fn for every element child in document order.
    void enumerateChildren(const Function<void(const XmlReaderNode&)>& fn) const;
    /// Calls fn for every element child whose name matches `name` as in getChild.
    void enumerateChildren(const String& name, const Function<void(const XmlReaderNode&)>& fn) const;
    /// The children whose name matches `name` as in getChild, in document order.
    [[nodiscard]] NodeIteratorHolder getAllChildren(const String& name) const {
        return NodeIteratorHolder(this, name);
    }

private:
    struct Impl;
    struct RootImpl;
    struct Document;

    // Deletes a root's Impl; the Impls of the other nodes belong to the root's document.
    struct ImplDeleter {
        void operator()(Impl* impl) const noexcept;
    };

    explicit XmlReaderNode(Impl* impl) noexcept;
    // Makes the children of this node designate this object as their parent.
    void adoptChildren() noexcept;
    [[nodiscard]] ArrayView<const XmlReaderNode> children() const noexcept;

    AutoPtr<Impl, ImplDeleter> mImpl;

    friend class Detail::XmlReaderTreeBuilder;
};

/// An element tree built in memory and printed with toString.
class XmlWriterNode {
public:
    /// A node with no attributes and no children; `value` may be empty.
    XmlWriterNode(const String& name, const String& value);
    /// Takes over the content of `other`.
    XmlWriterNode(XmlWriterNode&& other) noexcept;
    /// Destroys this node's tree first, then takes the other's. A moved-from node may only be
    /// destroyed or assigned to.
    XmlWriterNode& operator=(XmlWriterNode&& other) noexcept;
    XmlWriterNode(const XmlWriterNode&) = delete;
    XmlWriterNode& operator=(const XmlWriterNode&) = delete;
    ~XmlWriterNode();

    /// Appends the attribute, also when one of that name exists; returns this node.
    XmlWriterNode& addAttribute(const String& name, const String& value);
    /// Appends `child` as the last child; returns the stored child, which stays valid as the tree grows.
    XmlWriterNode& addChild(XmlWriterNode&& child);
    /// Appends XmlWriterNode(name, value); returns the new child.
    XmlWriterNode& addChild(const String& name, const String& value);
    /// Appends a deep copy of `node` as the last child: names, first text runs, attributes and elements.
    void addTree(const XmlReaderNode& node);
    /// Replaces the element's text.
    void setValue(const String& value);

    /// The element name.
    [[nodiscard]] String getName() const;
    /// The element's text.
    [[nodiscard]] String getValue() const;
    /// The value of the first attribute whose name matches `name` as in XmlReaderNode::getChild.
    [[nodiscard]] Optional<String> getAttribute(const String& name) const;
    /// Number of attributes.
    [[nodiscard]] int getNumAttributes() const noexcept;
    /// Number of element children.
    [[nodiscard]] int getNumChildren() const noexcept;
    /// The XML text of this node and its subtree, without declaration. With `indent` every node ends
    /// with a line feed, children are indented by tabs and the text ends with two line feeds; without
    /// it there is no tab or line feed at all.
    [[nodiscard]] String toString(bool indent) const;

private:
    struct Impl;

    AutoPtr<Impl> mImpl;
};

namespace Detail {
/// Orders two XML names by their code units after towlower; a prefix comes first. 0 when they match.
[[nodiscard]] int compareXmlNames(const String& a, const String& b) noexcept;
} // namespace Detail

} // namespace Kalvex

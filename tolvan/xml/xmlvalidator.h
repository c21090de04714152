// XmlValidator: checks a parsed XML tree element by element against what a file format allows (which
// attributes, which children and how many, what values look like) and reports the first violation
// as an Exception naming the file and the place in the tree.
//
//   XmlValidator validator(u"curve", path);
//   validator.validateChildren(*curve, {{u"controlPoint", 1, 2147483647,
//                                        XmlValidatorFlag::LEAF | XmlValidatorFlag::XY_VECTOR}});
#pragma once

#include "tolvan/containers/flags.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"
#include "tolvan/xml/xmlnode.h"

#include <initializer_list>

namespace Kalvex {

/// Requirements on an element or attribute; combine as Flags<XmlValidatorFlag>.
enum class XmlValidatorFlag : unsigned {
    EMPTY = 0x001,         ///< value empty (after trimming)
    NON_EMPTY = 0x002,     ///< value not empty (after trimming)
    FLOAT = 0x004,         ///< value is a float
    INTEGER = 0x008,       ///< value is an unsigned integer
    RGB_COLOR = 0x010,     ///< value is three floats
    XY_VECTOR = 0x020,     ///< value is two floats
    XYZ_VECTOR = 0x040,    ///< value is three floats
    BOOL = 0x080,          ///< value is "true", "false", "1" or "0" (any case)
    LEAF = 0x100,          ///< element has no child elements
    NO_ATTRIBUTES = 0x200, ///< element has no attributes
    MANDATORY = 0x400,     ///< attribute must be present (attributes only)
};
KALVEX_DECLARE_FLAGS(XmlValidatorFlag)

/// Checks a parsed XML tree against what a file format allows; reports the first violation as an Exception.
class XmlValidator {
public:
    /// An attribute an element may carry.
    struct AllowedAttribute {
        /// The attribute name.
        String mName;
        /// What the attribute's value must look like.
        Flags<XmlValidatorFlag> mFlags = {};
    };
    /// A child element an element may have, how often, and the flags it is validated with.
    struct AllowedChild {
        /// The child element name.
        String mName;
        /// Fewest occurrences.
        int mMinCount = 0;
        /// Most occurrences.
        int mMaxCount = 2147483647;
        /// What the child must look like.
        Flags<XmlValidatorFlag> mFlags = {};
    };

    /// `fileType` names the kind of file in the messages; `filePath` is the file being read.
    XmlValidator(const String& fileType, const Io::Path& filePath);

    /// Checks LEAF, NO_ATTRIBUTES and the value flags on `node`; throws as fail() on a violation.
    void validateNode(const XmlReaderNode& node, Flags<XmlValidatorFlag> flags) const;
    /// Checks every attribute of `node` against `allowed` (names without case); throws as fail().
    void validateAttributes(const XmlReaderNode& node, std::initializer_list<AllowedAttribute> allowed) const;
    /// Checks every element child of `node` against `allowed` (names without case, counts) and
    /// validates each child with its entry's flags; throws as fail().
    void validateChildren(const XmlReaderNode& node, std::initializer_list<AllowedChild> allowed) const;
    /// Throws Exception("ERROR in <type> file: <message>", then the file name and the tree path from
    /// the top-level element down to `node`, one line each). For callers' own format errors too.
    [[noreturn]] void fail(const XmlReaderNode& node, const String& message) const;

private:
    String mFileType;
    Io::Path mFilePath;
};

namespace Detail {
/// Whether `text` is ^\d+$ (ASCII digits only), as the INTEGER flag requires.
[[nodiscard]] bool isXmlInteger(const String& text) noexcept;
/// Whether `text` is `count` floats [+-]?\d+\.?\d*([eE][-+]?\d+)? separated by one or more
/// spaces, nothing before or after, as FLOAT (1), XY_VECTOR (2), RGB_COLOR and XYZ_VECTOR (3) require.
[[nodiscard]] bool isXmlFloats(const String& text, int count) noexcept;
} // namespace Detail

} // namespace Kalvex

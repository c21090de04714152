// Path: the library's file-name type. Holds a path in generic form ("/" separators; backslashes are
// converted at construction) and answers the usual questions without touching the file system,
// except normalized(). Comparison ignores case, as on the file systems the library's data comes from.
//
//   Io::Path p(u"C:\\Renders\\frame.exr");     // "C:/Renders/frame.exr"
//   p.extension();                               // "exr"
//   changeExtension(p, u"png");                  // "C:/Renders/frame.png"
//   Io::Path(u"/data") / u"scene.max";           // "/data/scene.max"
#pragma once

#include "tolvan/containers/flags.h"
#include "tolvan/containers/string.h"

#include <tuple>

namespace Kalvex::Io {

/// A file name in generic form ("/" separators), compared without regard to case.
class Path {
public:
    /// Flags of the file-name queries.
    enum SplitFlag : unsigned {
        /// Drop the extension from the file name.
        WithoutExtension = 1,
    };

    /// The separator of the native form; on Linux the native form is the generic form.
    static constexpr const char16_t* NATIVE_SEPARATOR = u"/";

    Path() noexcept = default;
    /// Stores `text` with every "\" replaced by "/"; nothing else is changed.
    Path(const String& text);
    /// Stores `text` with every "\\" replaced by "/".
    Path(String&& text);
    /// Stores `text` with every "\\" replaced by "/".
    Path(const char16_t* text)
        : Path(String(text)) {}

    /// Makes the path empty.
    void clear() noexcept { mText = String(); }
    /// True when the path is empty.
    [[nodiscard]] bool isEmpty() const noexcept { return mText.isEmpty(); }

    /// The stored text (generic form).
    [[nodiscard]] const String& genericStr() const noexcept { return mText; }
    /// The native form (on Linux: the generic form).
    [[nodiscard]] String nativeStr() const { return mText; }
    /// The UTF-8 bytes handed to system calls, zero-terminated; empty when the text holds a zero unit,
    /// which no file name can contain (so such a path names no file rather than a shorter one).
    [[nodiscard]] String::CharBuffer<char> platformStr() const;

    /// Equal when both texts have the same length and every unit matches after towlower.
    [[nodiscard]] bool operator==(const Path& other) const noexcept;
    /// Orders by the lower-cased texts, unit by unit (the order of sorted path containers).
    [[nodiscard]] bool operator<(const Path& other) const;

    /// Appends "/" (unless empty or already ending with "/") and then `other`; an empty `other` changes
    /// nothing. An absolute `other` is appended like any other.
    Path& operator/=(const Path& other);
    /// Appends `other` as operator/=(const Path&) does.
    Path& operator/=(const String& other) { return *this /= Path(other); }
    /// A copy with `other` appended as by operator/=.
    [[nodiscard]] Path operator/(const Path& other) const;
    /// A copy with `other` appended as by operator/=.
    [[nodiscard]] Path operator/(const String& other) const { return *this / Path(other); }
    /// A literal joins like a String (without this, `path / u"name"` would be ambiguous).
    Path& operator/=(const char16_t* other) { return *this /= Path(other); }
    /// A copy with `other` appended as by operator/=.
    [[nodiscard]] Path operator/(const char16_t* other) const { return *this / Path(other); }

    /// The text after the last "." of the file name (not counting a leading one), without the dot;
    /// "" when there is none: "a/b.tar.gz" gives "gz", "a/.profile" gives "".
    [[nodiscard]] String extension() const;
    /// The text after the last "/" ("" for "//" and "//server"), without its extension when asked.
    [[nodiscard]] String fileName(Flags<SplitFlag> flags = {}) const;
    /// The text before the last "/"; "/" for "/x"; empty without a separator; a network path never goes
    /// above its server ("//server/share" gives "//server", "//server" gives itself).
    [[nodiscard]] Path parentDirectory() const;
    /// (parentDirectory(), fileName(flags), extension()).
    [[nodiscard]] std::tuple<Path, String, String> split(Flags<SplitFlag> flags = {}) const;

    /// True for a path starting with "/", a drive ("C:...") or a network root ("//server...").
    [[nodiscard]] bool isAbsolute() const noexcept;
    /// True when every component is a usable file name: no \ : * ? " < > | or control characters
    /// CR LF TAB VT FF BS BEL, no empty component, no leading or trailing space; a drive must be a
    /// letter and a network path needs a server name. A root ("C:/", "/x", "//server/") may lead; the
    /// empty path is invalid, a bare drive ("C:") or server ("//server") valid.
    [[nodiscard]] bool isValid() const;

    /// The real path for an existing file or directory (links resolved, absolute); the lexical normal
    /// form otherwise.
    [[nodiscard]] Path normalized() const;
    /// "." and ".." components resolved without touching the file system: "C:/a/b/../c/./d/" gives
    /// "C:/a/c/d/"; ".." above the root is dropped. A root of "/" alone is taken from the working
    /// directory, and stays "/" when the working directory is unknown (deleted or unreachable).
    [[nodiscard]] Path lexicallyNormalized() const;
    /// This path relative to `base` (a file unless it ends with "/"): relative to "C:/a/b", "C:/a/c/d" is
    /// "c/d"; relative to "C:/a/b/" it is "../c/d". Unchanged when either is relative or nothing is common.
    [[nodiscard]] Path getRelativeTo(const Path& base) const;

private:
    String mText;
};

/// `path` with its extension replaced by `extension` (given without a dot); an empty `extension` removes
/// it: ("C:/a/b.txt", "png") gives "C:/a/b.png".
[[nodiscard]] Path changeExtension(const Path& path, const String& extension);

} // namespace Kalvex::Io

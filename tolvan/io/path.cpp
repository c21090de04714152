#include "tolvan/io/path.h"

#include "tolvan/common/exception.h"
#include "tolvan/io/filesystem.h"

#include <climits>
#include <cstdlib>
#include <cwctype>

namespace Kalvex {

Exception Exception::fileAccess(const Io::Path& path) {
    const String& text = path.genericStr();
    if (text.find(u'\0') == String::nPos)
        return Exception(String(u"Cannot open/read/write file '") + text + String(u"'"));
    // The message is UTF-8 text that would end at the zero unit: show it as "\0" and say why it fails.
    String shown;
    for (char16_t c : text) {
        if (c == u'\0') {
            shown += u"\\0";
        } else {
            shown << c;
        }
    }
    return Exception(String(u"Cannot open/read/write file '") + shown +
                     String(u"': a file name cannot contain a zero character"));
}

namespace Io {
namespace {

char16_t lower(char16_t c) { return char16_t(std::towlower(wint_t(c))); }

bool equalIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

String toGeneric(String text) {
    for (int i = 0; i < text.length(); ++i) {
        if (text[i] == u'\\') text[i] = u'/';
    }
    return text;
}

bool isAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// The characters a path component must not contain: \ : * ? " < > | and CR LF TAB VT FF BS BEL.
// (A component is acceptable when it matches ^[^...]*$; scanning the set is the same test and, unlike
// a backtracking regex engine, needs no stack per character on very long components.)
bool isForbiddenInComponent(char16_t c) {
    switch (c) {
    case u'\\': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
    case u'\r': case u'\n': case u'\t': case u'\v': case u'\f': case u'\b': case u'\a':
        return true;
    default:
        return false;
    }
}

bool isValidComponent(const String& piece) {
    if (piece.isEmpty() || piece[0] == u' ' || piece[piece.length() - 1] == u' ') return false;
    if (piece == u"." || piece == u"..") return true;
    for (char16_t c : piece) {
        if (isForbiddenInComponent(c)) return false;
    }
    return true;
}

bool hasRootForbidden(std::u16string_view rest) {
    return rest.find_first_of(u"?:") != std::u16string_view::npos;
}

// Length of the root alternative at `pos` in the order: drive with optional "/", network root
// ("UNC/server/share/" or "//server/share/"), a single "/", nothing. Returns -1 when it does not apply.
int matchRootAlternative(std::u16string_view text, size_t pos, int alternative) {
    const std::u16string_view t = text.substr(pos);
    switch (alternative) {
    case 0: // [A-Za-z]:/?
        if (t.size() >= 2 && isAsciiLetter(t[0]) && t[1] == u':') return t.size() >= 3 && t[2] == u'/' ? 3 : 2;
        return -1;
    case 1: { // (UNC|/)/[^/]*/[^/]*/?
        size_t i;
        if (t.starts_with(u"UNC/")) {
            i = 4;
        } else if (t.starts_with(u"//")) {
            i = 2;
        } else {
            return -1;
        }
        for (int component = 0; component < 2; ++component) {
            while (i < t.size() && t[i] != u'/') ++i;
            if (component == 0) {
                if (i >= t.size()) return -1; // the "/" between server and share is required
                ++i;
            }
        }
        if (i < t.size() && t[i] == u'/') ++i;
        return int(i);
    }
    case 2:
        return t.starts_with(u"/") ? 1 : -1;
    default:
        return 0;
    }
}

struct RootSplit {
    String root;
    String rest;
};

// Splits `text` as ^(//\?/)?(root)([^\?:]*)$ does: the first alternative (in order) whose remainder
// holds no "?" or ":" wins; without any, the root is "" and the rest the whole text.
RootSplit splitRoot(const String& text) {
    const std::u16string_view t = text.view();
    const bool hasPrefix = t.starts_with(u"//?/");
    for (size_t prefix : {hasPrefix ? size_t(4) : size_t(0), size_t(0)}) {
        for (int alternative = 0; alternative < 4; ++alternative) {
            const int length = matchRootAlternative(t, prefix, alternative);
            if (length < 0) continue;
            const size_t restStart = prefix + size_t(length);
            if (hasRootForbidden(t.substr(restStart))) continue;
            return {String(t.substr(0, restStart)), String(t.substr(restStart))};
        }
        if (!hasPrefix) break;
    }
    return {String(), text};
}

int lastSeparator(const String& text) { return text.findLastOf(u'/'); }

// Position of the extension dot, or -1: the last "." after the first character of the file name.
int extensionDot(const String& text) {
    const int sep = lastSeparator(text);
    const int dot = text.findLastOf(u'.');
    if (dot == String::nPos) return -1;
    const int fileStart = sep == String::nPos ? 0 : sep + 1;
    return dot > fileStart ? dot : -1;
}

} // namespace

Path::Path(const String& text) : mText(toGeneric(text)) {}

Path::Path(String&& text) : mText(toGeneric(std::move(text))) {}

String::CharBuffer<char> Path::platformStr() const {
    if (mText.find(u'\0') != String::nPos) return String::CharBuffer<char>();
    return mText.toUtf8();
}

bool Path::operator==(const Path& other) const noexcept { return equalIgnoringCase(mText.view(), other.mText.view()); }

bool Path::operator<(const Path& other) const {
    String a = mText;
    String b = other.mText;
    return a.toLowerCase().view() < b.toLowerCase().view();
}

Path& Path::operator/=(const Path& other) {
    if (other.mText.isEmpty()) return *this;
    if (!mText.isEmpty() && !mText.endsWith(u"/")) mText << u'/';
    mText += other.mText;
    return *this;
}

Path Path::operator/(const Path& other) const {
    Path result = *this;
    result /= other;
    return result;
}

String Path::extension() const {
    const int dot = extensionDot(mText);
    return dot < 0 ? String() : mText.getSubstr(dot + 1);
}

String Path::fileName(Flags<SplitFlag> flags) const {
    const int sep = lastSeparator(mText);
    if (sep == 1 && mText.startsWith(u"/")) return String();
    const int start = sep == String::nPos ? 0 : sep + 1;
    if (flags.has(WithoutExtension)) {
        const int dot = extensionDot(mText);
        if (dot >= 0) return mText.getSubstr(start, dot - start);
    }
    return mText.getSubstr(start);
}

Path Path::parentDirectory() const {
    int sep = lastSeparator(mText);
    if (sep == String::nPos) return Path();
    if (mText.startsWith(u"//")) {
        int serverEnd = mText.findFirstOf(u'/', 2);
        if (serverEnd == String::nPos) serverEnd = mText.length();
        if (sep < serverEnd) sep = serverEnd;
    }
    if (sep == 0) return Path(u"/");
    return Path(mText.getSubstr(0, sep));
}

std::tuple<Path, String, String> Path::split(Flags<SplitFlag> flags) const {
    return {parentDirectory(), fileName(flags), extension()};
}

bool Path::isAbsolute() const noexcept {
    if (mText.isEmpty()) return false;
    if (mText[0] == u'/') return true; // "/x" and network paths "//server/..."
    return mText.length() >= 2 && isAsciiLetter(mText[0]) && mText[1] == u':';
}

bool Path::isValid() const {
    Stack<String> pieces = mText.explode(u"/", String::KEEP_EMPTY);
    if (mText.isEmpty() || pieces.isEmpty()) return false;
    int first = 0;
    if (pieces[0].length() == 2 && pieces[0][1] == u':') {
        if (!isAsciiLetter(pieces[0][0])) return false;
        first = 1;
    }
    const int remaining = pieces.size() - first;
    if (remaining >= 3 && pieces[first].isEmpty() && pieces[first + 1].isEmpty()) {
        if (pieces[first + 2].isEmpty()) return false;
        first += 3;
    } else if (first == 0 && remaining >= 2 && pieces[0].isEmpty() && !pieces[1].isEmpty()) {
        first = 1; // the Linux root: "/dir" is an absolute path here, not a drive-relative one
    }
    int end = pieces.size();
    if (end > first && pieces[end - 1].isEmpty()) --end;
    for (int i = first; i < end; ++i) {
        if (!isValidComponent(pieces[i])) return false;
    }
    return true;
}

Path Path::lexicallyNormalized() const {
    RootSplit split = splitRoot(mText);
    if (split.root == u"/") {
        // Without a working directory (it was deleted) the path keeps its own root: it stays absolute.
        String workingRoot = splitRoot(workingDirectory().genericStr()).root;
        if (!workingRoot.isEmpty()) split.root = std::move(workingRoot);
    }
    const bool trailingSlash = split.rest.endsWith(u"/");
    const Stack<String> pieces = split.rest.explode(u"/", String::SKIP_EMPTY);

    Stack<const String*> kept;
    int skip = 0;
    for (int i = pieces.size() - 1; i >= 0; --i) {
        const String& piece = pieces[i];
        if (piece == u".") continue;
        if (piece == u"..") {
            ++skip;
        } else if (skip > 0) {
            --skip;
        } else {
            kept.push(&piece);
        }
    }
    String result = split.root;
    for (int i = kept.size() - 1; i >= 0; --i) {
        result += *kept[i];
        if (i > 0 || trailingSlash) result << u'/';
    }
    return Path(std::move(result));
}

Path Path::normalized() const {
    if (!mText.isEmpty()) {
        const auto native = platformStr();
        if (char* real = ::realpath(native.cStr(), nullptr)) {
            Path result(String::fromUtf8(real));
            std::free(real);
            return result;
        }
    }
    return lexicallyNormalized();
}

Path Path::getRelativeTo(const Path& base) const {
    if (!base.isAbsolute() || !isAbsolute()) return *this;
    const String self = lexicallyNormalized().genericStr();
    const Stack<String> a = self.explode(u"/", String::KEEP_EMPTY);
    const Stack<String> b = base.lexicallyNormalized().genericStr().explode(u"/", String::KEEP_EMPTY);
    int common = 0;
    int offset = 0;
    while (common < a.size() - 1 && common < b.size() - 1 && equalIgnoringCase(a[common].view(), b[common].view())) {
        offset += a[common].length() + 1;
        ++common;
    }
    if (common == 0) return *this;
    String result;
    for (int i = 0; i < b.size() - common - 1; ++i) result += String(u"..") + String(NATIVE_SEPARATOR);
    result += self.getSubstr(offset);
    return Path(std::move(result));
}

Path changeExtension(const Path& path, const String& extension) {
    auto [parent, stem, ext] = path.split(Path::WithoutExtension);
    (void)ext;
    if (!extension.isEmpty()) stem = stem + String(u".") + extension;
    return parent / stem;
}

} // namespace Io
} // namespace Kalvex

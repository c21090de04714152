// Arbitrary text through parseUrl: it accepts exactly the URLs of its grammar (checked against a
// hand-written scanner of the same grammar), and what it accepts has lower-cased scheme and host, a
// path without its leading "/" or empty segments, and a port that is the URL's or the default.
#include "tolvan/net/http.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace Kalvex;

namespace {

bool isNameUnit(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'.' ||
           c == u'-';
}

// scheme "://" host (":" digits)? ("/" segment)+ "/"? where names are [a-zA-Z0-9.-]+ and segments
// one or more units other than "/", "?" and "#".
bool scannerAccepts(std::u16string_view s) {
    size_t i = 0;
    const auto name = [&] {
        const size_t start = i;
        while (i < s.size() && isNameUnit(s[i]))
            ++i;
        return i > start;
    };
    if (!name() || s.substr(i, 3) != u"://") return false;
    i += 3;
    if (!name()) return false;
    if (i < s.size() && s[i] == u':') {
        const size_t start = ++i;
        while (i < s.size() && s[i] >= u'0' && s[i] <= u'9')
            ++i;
        if (i == start) return false;
    }
    int segments = 0;
    while (i < s.size()) {
        if (s[i] != u'/') return false;
        const size_t start = ++i;
        while (i < s.size() && s[i] != u'/' && s[i] != u'?' && s[i] != u'#')
            ++i;
        if (i == start) return i == s.size() && segments > 0; // the trailing "/"
        ++segments;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const String url = String::fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto parsed = Io::parseUrl(url);
    const bool grammatical = scannerAccepts(url.view());
    if (!parsed) {
        const bool noPort = parsed.error().startsWith(u"Cannot determine port number for protocol '");
        if (grammatical != noPort) std::abort();
        return 0;
    }
    if (!grammatical || parsed->mProtocol.isEmpty() || parsed->mHost.isEmpty()) std::abort();
    for (const String* part : {&parsed->mProtocol, &parsed->mHost})
        for (const char16_t c : part->view())
            if (!isNameUnit(c) || (c >= u'A' && c <= u'Z')) std::abort();
    if (parsed->mPath.startsWith(u"/") || parsed->mPath.contains(u"//") || parsed->mPath.contains(u"?") ||
        parsed->mPath.contains(u"#"))
        std::abort();
    if (!url.endsWith(parsed->mPath)) std::abort();
    return 0;
}

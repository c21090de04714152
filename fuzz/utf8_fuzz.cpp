// Arbitrary bytes through the UTF-8 decoder and back: decoding never reads or writes out of bounds,
// re-encoding the decoded text is valid UTF-8 that decodes to the same units, and the string editing
// operations stay within the string. Both decoder kernels give the same units, and so does the byte search.
#include "tolvan/containers/string.h"
#include "tolvan/containers/utf.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace Kalvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    String decoded = String::fromUtf8(bytes);
    if (decoded.length() > int(size)) std::abort();

    // Both kernels (where the processor has both; the wide one is the default there) agree, and so does
    // the byte search with the standard library's.
    const std::string_view stops("\n\r\0", 3);
    const size_t expectedStop = std::min(bytes.find_first_of(stops), size);
    for (const bool wide : {false, true}) {
        Detail::setWideUtf8Decoding(wide);
        if (!(String::fromUtf8(bytes) == decoded)) std::abort();
        if (Detail::findFirstOfBytes(bytes.data(), size, '\n', '\r', '\0') != expectedStop) std::abort();
    }

    const auto encoded = decoded.toUtf8();
    const String again = String::fromUtf8(encoded.cStr());
    // toUtf8 stops at the first zero unit; compare that prefix.
    const String prefix = decoded.getSubstr(0, decoded.findFirstOf(u'\0'));
    if (!(again == prefix)) std::abort();

    if (decoded.length() >= 2) {
        const String what = decoded.getSubstr(int(data[0] % decoded.length()), 2);
        String copy = decoded;
        copy.replaceAll(what, String(u"#"));
        (void)decoded.find(what, int(data[size - 1]) - 128);
        (void)decoded.explode(what, String::SKIP_EMPTY);
        copy.erase(int(data[0]) - 64, int(data[1]));
        (void)copy.trim().toFilename().toIdentifier();
    }
    return 0;
}

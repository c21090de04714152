// Arbitrary bytes through TextInputStream in every encoding and both newline modes. The first byte picks
// the encoding (bits 0-1), the newline mode (bit 2), what is read (bits 4-5: lines, everything, numbers,
// a mix) and whether padding moves the interesting bytes onto the edge of the read-ahead chunks (bit 3). The same bytes are read once from a
// seekable source (read ahead in chunks) and once from a non-seekable one (read unit by unit); the
// results, failures included, must be identical, and nothing may read or write outside its buffers.
#include "tolvan/io/stream.h"
#include "tolvan/io/textstream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::Io;

namespace {

enum class What { Lines, All, Numbers, Mixed };

// Everything one reading produced, as text; a failure ends it with its message.
std::u16string readThrough(AutoPtr<BinaryInputStream>&& source, TextEncoding encoding, bool translate, What what) {
    std::u16string out;
    try {
        TextInputStream in(std::move(source), encoding,
                           translate ? Flags<TextInputStream::Open>(TextInputStream::Open::TranslateNewlines)
                                     : Flags<TextInputStream::Open>());
        out += char16_t(u'0' + int(in.encoding()));
        for (int step = 0; step < 100000; ++step) {
            const What now = what == What::Mixed ? What(step % 3) : what;
            if (now == What::Lines) {
                const Optional<String> line = in.readLine();
                if (!line) break;
                out += u'|';
                out += line->view();
            } else if (now == What::All) {
                out += u'#';
                out += in.readAll().view();
                if (what == What::All) break;
            } else {
                float f = 0;
                int i = 0;
                if (step % 2) {
                    in >> f;
                    uint32_t bits;
                    std::memcpy(&bits, &f, 4);
                    out += u'f';
                    out += char16_t(bits >> 16);
                    out += char16_t(bits & 0xFFFF);
                } else {
                    in >> i;
                    out += u'i';
                    out += char16_t(uint32_t(i) >> 16);
                    out += char16_t(uint32_t(i) & 0xFFFF);
                }
            }
        }
    } catch (const Exception& e) {
        out += u'!';
        for (const char* p = e.what(); *p; ++p)
            out += char16_t(static_cast<unsigned char>(*p));
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t control = data[0];
    const TextEncoding encoding = TextEncoding(control & 3);
    const bool translate = (control & 4) != 0;
    const What what = What((control >> 4) & 3);

    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    if (control & 8) {
        // Keep a possible mark in front, then push the rest to just before the first chunk edge (4 KiB).
        const size_t head = std::min<size_t>(3, bytes.size());
        const size_t pad = 4090 + (bytes.empty() ? 0 : uint8_t(bytes.back()) % 12);
        bytes.insert(head, pad, 'a');
    }

    MemoryInputStream seekable(bytes.data(), int64(bytes.size()));
    MemoryInputStream behind(bytes.data(), int64(bytes.size()));
    const std::u16string fast =
        readThrough(AutoPtr<BinaryInputStream>(makeAutoPtr<MemoryInputStream>(seekable)), encoding, translate, what);
    const std::u16string slow = readThrough(
        AutoPtr<BinaryInputStream>(makeAutoPtr<ForwardingBinaryInputStream>(behind)), encoding, translate, what);
    if (fast != slow) std::abort();
    return 0;
}

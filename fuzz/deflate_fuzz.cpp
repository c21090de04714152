// DeflateInputStream over arbitrary bytes, checked against zlib's inflate run over the same bytes in one
// call: the same output, a failure exactly where zlib fails or the data is truncated, and after the end of
// the compressed data every following byte still readable from the long-lived stream behind a forwarding
// wrapper. With bit 0 of the first byte set the bytes are instead compressed through DeflateOutputStream
// (sometimes repeated to cross block edges) and must come back unchanged. The first byte also picks the read
// or write size (bits 1-3) and whether the long-lived stream is seekable (bit 4).
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/deflatestream.h"
#include "tolvan/io/stream.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace Kalvex;
using namespace Kalvex::Io;

namespace {

// Decompressed output beyond this is not compared (a small input can inflate to a great deal).
constexpr size_t OUTPUT_CAP = size_t(256) << 10;
const int64 PIECES[] = {3, 77, 1000, 4096, 65536, 131071, 131072, 1000000};

void check(bool condition) {
    if (!condition) std::abort();
}

// A non-seekable stream over the bytes that delivers at most 1000 bytes per read, like a socket.
class Trickle : public BinaryInputStream {
public:
    Trickle(const uint8_t* data, size_t size)
        : mData(data)
        , mSize(size) {}

protected:
    int64 readImpl(void* dst, int64 count) override {
        const size_t n = std::min({size_t(count), size_t(1000), mSize - mPosition});
        if (n > 0) std::memcpy(dst, mData + mPosition, n);
        mPosition += n;
        if (n < size_t(count) && mPosition == mSize) mEof = true;
        return int64(n);
    }
    [[nodiscard]] bool eofImpl() const override { return mEof; }

private:
    const uint8_t* mData;
    size_t mSize;
    size_t mPosition = 0;
    bool mEof = false;
};

struct Reference {
    std::string output;    // at most OUTPUT_CAP + 1 bytes
    bool complete = false; // the compressed data ended within the cap
    bool failed = false;   // corrupt or truncated before the cap was reached
    size_t consumed = 0;
};

Reference inflateAtOnce(const uint8_t* data, size_t size) {
    Reference ref;
    ref.output.resize(OUTPUT_CAP + 1);
    z_stream z{};
    inflateInit(&z);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = uInt(size);
    z.next_out = reinterpret_cast<Bytef*>(ref.output.data());
    z.avail_out = uInt(ref.output.size());
    const int result = inflate(&z, Z_NO_FLUSH);
    ref.output.resize(ref.output.size() - z.avail_out);
    ref.complete = result == Z_STREAM_END && ref.output.size() <= OUTPUT_CAP;
    ref.failed = !ref.complete && z.avail_out > 0; // stopped for want of (good) input, not of room
    ref.consumed = size - z.avail_in;
    inflateEnd(&z);
    return ref;
}

void checkDecompression(const uint8_t* data, size_t size, int64 piece, bool seekable) {
    const Reference ref = inflateAtOnce(data, size);
    MemoryInputStream memory(data, int64(size));
    Trickle trickle(data, size);
    BinaryInputStream& longLived = seekable ? static_cast<BinaryInputStream&>(memory) : trickle;
    std::string ours;
    bool threw = false;
    {
        DeflateInputStream in(
            AutoPtr<BinaryInputStream>(makeAutoPtr<ForwardingBinaryInputStream>(longLived)));
        std::string buffer(size_t(piece), '\0');
        try {
            while (ours.size() <= OUTPUT_CAP) {
                const int64 n = in.read(buffer.data(), piece);
                ours.append(buffer, 0, size_t(n));
                if (n < piece) break;
            }
        } catch (const Exception& e) {
            check(std::strcmp(e.what(), "Error while uncompressing data") == 0);
            threw = true;
        }
    }
    const size_t compared = std::min(ours.size(), ref.output.size());
    check(ours.compare(0, compared, ref.output, 0, compared) == 0);
    if (ref.complete) {
        check(!threw && ours == ref.output);
        // Everything after the compressed data is still there.
        std::string rest;
        char buffer[4096];
        while (const int64 n = longLived.read(buffer, sizeof buffer))
            rest.append(buffer, size_t(n));
        check(rest.size() == size - ref.consumed &&
              std::memcmp(rest.data(), data + ref.consumed, rest.size()) == 0);
    } else if (ref.failed) {
        check(threw);
    }
}

void checkRoundTrip(const uint8_t* data, size_t size, int64 piece, size_t length) {
    std::string plain;
    while (plain.size() < length)
        plain.append(reinterpret_cast<const char*>(data), std::min(size, length - plain.size()));
    ArrayOutputStream sink;
    {
        DeflateOutputStream out(AutoPtr<BinaryOutputStream>(makeAutoPtr<ForwardingBinaryOutputStream>(sink)));
        for (size_t at = 0; at < plain.size(); at += size_t(piece))
            out.write(plain.data() + at, std::min(piece, int64(plain.size() - at)));
        check(out.close() == sink.data().size());
    }
    DeflateInputStream in(AutoPtr<BinaryInputStream>(
        makeAutoPtr<MemoryInputStream>(sink.data().data(), int64(sink.data().size()))));
    std::string back(plain.size() + 1, '\0');
    check(in.read(back.data(), int64(back.size())) == int64(plain.size()));
    check(back.compare(0, plain.size(), plain) == 0 && in.eof());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const int64 piece = PIECES[(mode >> 1) & 7];
    if (mode & 1) {
        // Mostly the bytes once; sometimes, with large writes, repeated up to 512 KiB.
        const size_t length = data[1] < 224 || piece < 4096 ? size - 2 : size_t(data[1] - 223) * 16384;
        checkRoundTrip(data + 2, size - 2, piece, size > 2 ? length : 0);
    } else {
        checkDecompression(data + 1, size - 1, piece, (mode & 16) != 0);
    }
    return 0;
}

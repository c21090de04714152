#include "tolvan/common/allocator.h"
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/deflatestream.h"

#include "io/stream_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::Io;
using TolvanTest::ChunkedSource;
using TolvanTest::thrownMessage;

namespace {

constexpr int64 BLOCK = 131072;
const char* const CORRUPT = "Error while uncompressing data";

std::string randomBytes(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (char& c : out)
        c = char((seed = seed * 1103515245u + 12345u) >> 24);
    return out;
}

// Text-like data that compresses well.
std::string compressibleBytes(size_t size) {
    const char* const words[] = {"render ", "pass ", "0.25 ", "light\n", "frame ", "scene "};
    std::string out;
    uint32_t seed = 3;
    while (out.size() < size)
        out += words[((seed = seed * 1103515245u + 12345u) >> 16) % 6];
    out.resize(size);
    return out;
}

std::string bytesOf(ArrayView<const std::byte> view) {
    return std::string(reinterpret_cast<const char*>(view.data()), size_t(view.size()));
}

AutoPtr<BinaryInputStream> memorySource(const std::string& bytes) {
    Array<std::byte, HeapAllocator, long long> array(
        ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(bytes.data()), int64(bytes.size())));
    return AutoPtr<BinaryInputStream>(makeAutoPtr<ArrayInputStream<>>(std::move(array)));
}

// Compresses `data` written in pieces of `piece` bytes; checks that close() counts every byte.
std::string compress(const std::string& data, size_t piece = size_t(1) << 30) {
    ArrayOutputStream sink;
    DeflateOutputStream out(AutoPtr<BinaryOutputStream>(makeAutoPtr<ForwardingBinaryOutputStream>(sink)));
    for (size_t at = 0; at < data.size(); at += piece)
        out.write(data.data() + at, int64(std::min(piece, data.size() - at)));
    const int64 closed = out.close();
    EXPECT_EQ(closed, sink.data().size());
    return bytesOf(sink.data());
}

// Everything `in` delivers in reads of `piece` bytes, until a read comes back short.
std::string readAll(BinaryInputStream& in, int64 piece) {
    std::string out;
    std::string buffer(size_t(piece), '\0');
    for (;;) {
        const int64 n = in.read(buffer.data(), piece);
        out.append(buffer, 0, size_t(n));
        if (n < piece) break;
    }
    EXPECT_TRUE(in.eof());
    return out;
}

// A non-seekable source that records the largest read it was asked for.
class RecordingSource : public ChunkedSource {
public:
    using ChunkedSource::ChunkedSource;
    int64 largestRequest = 0;

protected:
    int64 readImpl(void* dst, int64 count) override {
        largestRequest = std::max(largestRequest, count);
        return ChunkedSource::readImpl(dst, count);
    }
};

// A target that counts what reaches it, optionally failing on flush.
class CountingTarget : public BinaryOutputStream {
public:
    explicit CountingTarget(int64& written, int& flushes, bool failFlush = false, bool failWrite = false)
        : mWritten(written)
        , mFlushes(flushes)
        , mFailFlush(failFlush)
        , mFailWrite(failWrite) {}
    void flush() override {
        ++mFlushes;
        if (mFailFlush) throw Exception("disk full");
    }

protected:
    void writeImpl(const void*, int64 count) override {
        if (mFailWrite) throw Exception("disk full");
        mWritten += count;
    }

private:
    int64& mWritten;
    int& mFlushes;
    bool mFailFlush;
    bool mFailWrite;
};

class DeflateFiles : public TolvanTest::TempDirTest {};

} // namespace

// ---- round trips ----

TEST(DeflateStreams, RoundTripsAcrossBlockEdgesAndReadPatterns) {
    const std::string cases[] = {
        "",
        "hello",
        randomBytes(size_t(BLOCK - 1), 1),
        randomBytes(size_t(BLOCK), 2),
        randomBytes(size_t(BLOCK + 1), 3),
        randomBytes(size_t(3) << 20, 4),
        compressibleBytes(size_t(5) << 20),
    };
    for (const std::string& data : cases) {
        SCOPED_TRACE(data.size());
        const std::string compressed = compress(data);
        ASSERT_GE(compressed.size(), 8u);
        EXPECT_EQ(compressed.substr(0, 2), "\x78\x9C") << "zlib header of the default level";
        EXPECT_EQ(compress(data, 1000), compressed) << "write sizes do not change the output";

        // One read larger than the data, odd pieces from memory, and a socket-like source.
        DeflateInputStream whole(memorySource(compressed));
        EXPECT_EQ(readAll(whole, int64(data.size()) + 1), data);
        DeflateInputStream pieces(memorySource(compressed));
        EXPECT_EQ(readAll(pieces, 4099), data);
        auto* recording = tolvanNew<RecordingSource>(compressed, 777);
        DeflateInputStream trickling{AutoPtr<BinaryInputStream>(recording)};
        EXPECT_EQ(readAll(trickling, 65536), data);
        EXPECT_LE(recording->largestRequest, BLOCK);
    }
}

TEST(DeflateStreams, EmptyDataIsAHeaderAndATrailer) {
    EXPECT_EQ(compress(""), std::string("\x78\x9C\x03\x00\x00\x00\x00\x01", 8));
}

TEST(DeflateStreams, EndOfDataOnlyAfterAShortRead) {
    for (const std::string& data : {std::string("abcdef"), randomBytes(size_t(BLOCK), 5)}) {
        DeflateInputStream in(memorySource(compress(data)));
        std::string buffer(data.size(), '\0');
        EXPECT_EQ(in.read(buffer.data(), int64(data.size())), int64(data.size()));
        EXPECT_EQ(buffer, data);
        EXPECT_FALSE(in.eof());
        EXPECT_EQ(in.read(buffer.data(), 1), 0);
        EXPECT_TRUE(in.eof());
    }
}

// Compressed blocks inside a long-lived stream: each is read through a forwarding wrapper and a
// DeflateInputStream that is then destroyed; what follows must still be readable, whether the stream
// buffers the read-ahead (non-seekable) or seeks back.
TEST(DeflateStreams, ReadAheadGoesBackToTheLongLivedStream) {
    const std::string first = compressibleBytes(300000);
    const std::string second = randomBytes(1000, 6);
    const std::string all = compress(first) + compress(second) + "TAIL";
    ChunkedSource socketLike(all);
    MemoryInputStream memory(all.data(), int64(all.size()));
    for (BinaryInputStream* longLived :
         {static_cast<BinaryInputStream*>(&socketLike), static_cast<BinaryInputStream*>(&memory)}) {
        for (const std::string* block : {&first, &second}) {
            DeflateInputStream in(
                AutoPtr<BinaryInputStream>(makeAutoPtr<ForwardingBinaryInputStream>(*longLived)));
            EXPECT_EQ(readAll(in, 50000), *block);
        }
        char tail[8] = {};
        EXPECT_EQ(longLived->read(tail, 8), 4);
        EXPECT_EQ(std::string(tail), "TAIL");
    }
}

// ---- bad input ----

TEST(DeflateStreams, TruncatedOrCorruptDataThrows) {
    const std::string good = compress(randomBytes(200000, 7) + compressibleBytes(200000));
    const auto flipped = [&](size_t at) {
        std::string bad = good;
        bad[at] = char(bad[at] ^ 0x55);
        return bad;
    };
    struct Case {
        const char* name;
        std::function<AutoPtr<BinaryInputStream>()> source;
    };
    const Case cases[] = {
        {"empty", [] { return memorySource(""); }},
        {"header only", [&] { return memorySource(good.substr(0, 2)); }},
        {"half", [&] { return memorySource(good.substr(0, good.size() / 2)); }},
        {"last byte missing", [&] { return memorySource(good.substr(0, good.size() - 1)); }},
        {"bad header", [&] { return memorySource(flipped(0)); }},
        {"preset dictionary", [] { return memorySource(std::string("\x78\xBB\x00\x00\x00\x01", 6)); }},
        {"bad checksum", [&] { return memorySource(flipped(good.size() - 2)); }},
        {"garbage", [] { return memorySource(randomBytes(5000, 8)); }},
        {"truncated socket",
         [&] { return AutoPtr<BinaryInputStream>(makeAutoPtr<ChunkedSource>(good.substr(0, 9000), 100)); }},
        {"source answering 0 bytes",
         [&] { return AutoPtr<BinaryInputStream>(makeAutoPtr<ChunkedSource>(good, 100, INT_MAX)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeflateInputStream in(c.source());
        EXPECT_EQ(thrownMessage([&] { (void)readAll(in, 65536); }), CORRUPT);
        char byte;
        EXPECT_EQ(thrownMessage([&] { (void)in.read(&byte, 1); }), CORRUPT) << "the stream stays failed";
    }
}

TEST(DeflateStreams, SourceFailuresPassThrough) {
    DeflateInputStream in(AutoPtr<BinaryInputStream>(
        makeAutoPtr<ChunkedSource>(compress(randomBytes(50000, 9)), 1000, 0, 3000)));
    char buffer[65536];
    EXPECT_THROW((void)in.read(buffer, sizeof buffer), std::runtime_error);
}

// A decompression bomb is read in streaming fashion: the library's memory does not grow with the output.
TEST(DeflateStreams, MemoryStaysBoundedWhateverTheOutputSize) {
    const std::string compressed = compress(std::string(size_t(64) << 20, '\0'));
    ASSERT_LT(compressed.size(), 100000u);
    const int64 before = int64(getTolvanAllocatedMemory());
    resetPeakTolvanAllocatedMemory();
    DeflateInputStream in(memorySource(compressed));
    std::vector<char> buffer(1 << 20);
    int64 total = 0;
    while (const int64 n = in.read(buffer.data(), int64(buffer.size())))
        total += n;
    EXPECT_EQ(total, int64(64) << 20);
    EXPECT_LT(int64(getPeakTolvanAllocatedMemory()) - before, 2 * BLOCK + 200000);
}

// ---- output side ----

TEST(DeflateStreams, FlushCompressesNothing) {
    int64 written = 0;
    int flushes = 0;
    DeflateOutputStream out(AutoPtr<BinaryOutputStream>(makeAutoPtr<CountingTarget>(written, flushes)));
    const std::string data = randomBytes(size_t(BLOCK), 10);
    out.write(data.data(), BLOCK - 1);
    out.flush();
    EXPECT_EQ(written, 0);
    EXPECT_EQ(flushes, 1);
    out.write(data.data(), 1); // completes the first block
    EXPECT_GT(written, 0);
    const int64 beforeClose = written;
    EXPECT_EQ(out.close(), written);
    EXPECT_GT(written, beforeClose);
}

TEST(DeflateStreams, DestructionFinishesTheData) {
    const std::string data = compressibleBytes(400000);
    ArrayOutputStream sink;
    {
        DeflateOutputStream out(AutoPtr<BinaryOutputStream>(makeAutoPtr<ForwardingBinaryOutputStream>(sink)));
        out.write(data.data(), int64(data.size()));
    }
    EXPECT_EQ(bytesOf(sink.data()), compress(data));
}

TEST(DeflateStreams, CloseReportsTargetFailuresAndCloses) {
    int64 written = 0;
    int flushes = 0;
    DeflateOutputStream out(AutoPtr<BinaryOutputStream>(makeAutoPtr<CountingTarget>(written, flushes, true)));
    out.write("abc", 3);
    EXPECT_EQ(thrownMessage([&] { (void)out.close(); }), "disk full");
    EXPECT_GT(written, 0);
    EXPECT_EQ(thrownMessage([&] { (void)out.close(); }), "Using uninitialized ZipOutputStream");
}

TEST(DeflateStreams, AfterAFailedTargetWriteNothingMoreIsAccepted) {
    const std::string data = randomBytes(3 * 131072, 7);
    const char* const broken =
        "Cannot go on compressing: an earlier write of compressed data to the target failed";
    int64 written = 0;
    int flushes = 0;
    {
        DeflateOutputStream out(
            AutoPtr<BinaryOutputStream>(makeAutoPtr<CountingTarget>(written, flushes, false, true)));
        EXPECT_EQ(thrownMessage([&] { out.write(data.data(), int64(data.size())); }), "disk full");
        EXPECT_EQ(thrownMessage([&] { out.write("x", 1); }), broken);
        EXPECT_EQ(thrownMessage([&] { (void)out.close(); }), broken) << "close must not report success";
        EXPECT_EQ(thrownMessage([&] { (void)out.close(); }), "Using uninitialized ZipOutputStream");
    }
    DeflateOutputStream unclosed(
        AutoPtr<BinaryOutputStream>(makeAutoPtr<CountingTarget>(written, flushes, false, true)));
    EXPECT_EQ(thrownMessage([&] { unclosed.write(data.data(), int64(data.size())); }), "disk full");
    // Destruction does not try to finish broken data (and does not throw).
}

TEST(DeflateStreams, UninitializedAndClosedStreamsThrow) {
    const char* const input = "Using uninitialized ZipInputStream";
    const char* const output = "Using uninitialized ZipOutputStream";
    char byte = 0;
    DeflateInputStream unsetIn;
    DeflateInputStream nullIn{AutoPtr<BinaryInputStream>()};
    for (DeflateInputStream* in : {&unsetIn, &nullIn}) {
        EXPECT_EQ(thrownMessage([&] { (void)in->read(&byte, 1); }), input);
        EXPECT_EQ(thrownMessage([&] { (void)in->eof(); }), input);
    }
    ArrayOutputStream sink;
    DeflateOutputStream closed(AutoPtr<BinaryOutputStream>(makeAutoPtr<ForwardingBinaryOutputStream>(sink)));
    EXPECT_EQ(closed.close(), 8);
    DeflateOutputStream unsetOut;
    DeflateOutputStream nullOut{AutoPtr<BinaryOutputStream>()};
    for (DeflateOutputStream* out : {&unsetOut, &nullOut, &closed}) {
        EXPECT_EQ(thrownMessage([&] { out->write(&byte, 1); }), output);
        EXPECT_EQ(thrownMessage([&] { out->flush(); }), output);
        EXPECT_EQ(thrownMessage([&] { (void)out->close(); }), output);
    }
    EXPECT_EQ(sink.data().size(), 8) << "nothing reaches the target after close";
}

// ---- files and other zlib users ----

TEST_F(DeflateFiles, PathConstructors) {
    const std::string data = randomBytes(300000, 11) + compressibleBytes(300000);
    DeflateOutputStream out(path("data.z"));
    out.write(data.data(), int64(data.size()));
    const int64 compressed = out.close();
    EXPECT_EQ(compressed, int64(readFile("data.z").size()));
    DeflateInputStream in(path("data.z"));
    EXPECT_EQ(readAll(in, 100000), data);
    EXPECT_EQ(thrownMessage([&] { DeflateInputStream missing(path("missing.z")); }),
              "Cannot open/read/write file '" + native("missing.z") + "'");
}

// Our compressed bytes decompress with python3's zlib module and zlib-flate (qpdf), and theirs here.
TEST_F(DeflateFiles, InteroperatesWithOtherZlibUsers) {
    const bool python = std::system("python3 -c 'import zlib' >/dev/null 2>&1") == 0;
    const bool qpdf = std::system("command -v zlib-flate >/dev/null 2>&1") == 0;
    if (!python && !qpdf) GTEST_SKIP() << "neither python3 with zlib nor zlib-flate (qpdf) is installed";
    const std::string data = randomBytes(500000, 12) + compressibleBytes(2000000);
    writeFile("plain", data);
    {
        DeflateOutputStream out(path("ours.z"));
        out.write(data.data(), int64(data.size()));
    }
    const std::string in = "'" + native("ours.z") + "'";
    const std::string plain = "'" + native("plain") + "'";
    struct Tool {
        bool available;
        std::string decompress; // ours.z -> theirs.out
        std::string compress;   // plain -> theirs.z
    };
    const std::string py = "python3 -c 'import sys, zlib; d = open(sys.argv[1], \"rb\").read(); "
                           "open(sys.argv[2], \"wb\").write(zlib.%s(d))' ";
    const Tool tools[] = {
        {python,
         std::string(py).replace(py.find("%s"), 2, "decompress") + in + " '" + native("theirs.out") + "'",
         std::string(py).replace(py.find("%s"), 2, "compress") + plain + " '" + native("theirs.z") + "'"},
        {qpdf, "zlib-flate -uncompress < " + in + " > '" + native("theirs.out") + "'",
         "zlib-flate -compress < " + plain + " > '" + native("theirs.z") + "'"},
    };
    for (const Tool& tool : tools) {
        if (!tool.available) continue;
        SCOPED_TRACE(tool.compress);
        ASSERT_EQ(std::system(tool.decompress.c_str()), 0);
        EXPECT_TRUE(readFile("theirs.out") == data);
        ASSERT_EQ(std::system(tool.compress.c_str()), 0);
        DeflateInputStream theirs(path("theirs.z"));
        EXPECT_TRUE(readAll(theirs, 65536) == data);
    }
}

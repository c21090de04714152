// Deflate streams against zlib called directly: compressing and decompressing 64 MiB of mixed data
// (text, random bytes, slowly varying binary records, runs) at the default level with 128 KiB buffers on
// both sides. The peers feed zlib straight from memory and hand each 128 KiB output block on, as a
// careful caller of zlib would; our streams do the same through a source and a target stream.
#include "tolvan/io/deflatestream.h"
#include "tolvan/io/stream.h"

#include "ratio_reporter.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

constexpr size_t DATA_SIZE = size_t(64) << 20;
constexpr size_t BLOCK = 131072;

uint32_t next(uint32_t& seed) {
    return seed = seed * 1103515245u + 12345u;
}

// 64 KiB pieces of four kinds in a repeating order.
const std::string& mixedData() {
    static const std::string data = [] {
        const char* const words[] = {"render ", "pass ",         "0.25 ", "light\n",
                                     "frame ",  "sc\xC3\xA8ne ", "12345 "};
        std::string out;
        out.reserve(DATA_SIZE);
        uint32_t seed = 1;
        for (int piece = 0; out.size() < DATA_SIZE; ++piece) {
            const size_t end = std::min(out.size() + 65536, DATA_SIZE);
            switch (piece % 4) {
            case 0:
                while (out.size() < end)
                    out += words[(next(seed) >> 16) % 7];
                out.resize(end);
                break;
            case 1:
                while (out.size() < end)
                    out += char(next(seed) >> 24);
                break;
            case 2: {
                float value = 1.0f;
                while (out.size() + 4 <= end) {
                    value += float(int(next(seed) >> 28) - 8) * 0.001f;
                    char bytes[4];
                    std::memcpy(bytes, &value, 4);
                    out.append(bytes, 4);
                }
                out.resize(end, '\0');
                break;
            }
            default:
                out.append(end - out.size(), char('a' + piece % 26));
                break;
            }
        }
        return out;
    }();
    return data;
}

// A target that keeps only the count, so both sides pay the same for their output.
class CountingSink : public Io::BinaryOutputStream {
public:
    int64 total = 0;

protected:
    void writeImpl(const void* src, int64 count) override {
        benchmark::DoNotOptimize(src);
        total += count;
    }
};

std::string zlibCompress(const std::string& data) {
    std::string out(compressBound(uLong(data.size())), '\0');
    uLongf size = uLongf(out.size());
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
              uLong(data.size()), Z_DEFAULT_COMPRESSION);
    out.resize(size);
    return out;
}

const std::string& compressedData() {
    static const std::string data = zlibCompress(mixedData());
    return data;
}

// ---- compressing ----

void BM_DeflateOutputStream(benchmark::State& state) {
    const std::string& data = mixedData();
    for (auto _ : state) {
        CountingSink sink;
        Io::DeflateOutputStream out(
            AutoPtr<Io::BinaryOutputStream>(makeAutoPtr<Io::ForwardingBinaryOutputStream>(sink)));
        for (size_t at = 0; at < data.size(); at += BLOCK)
            out.write(data.data() + at, int64(std::min(BLOCK, data.size() - at)));
        if (out.close() != int64(compressedData().size())) state.SkipWithError("unexpected compressed size");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(DATA_SIZE));
}

void BM_ZlibDeflate(benchmark::State& state) {
    const std::string& data = mixedData();
    std::vector<unsigned char> area(BLOCK);
    for (auto _ : state) {
        CountingSink sink;
        z_stream z{};
        deflateInit(&z, Z_DEFAULT_COMPRESSION);
        for (size_t at = 0; at < data.size(); at += BLOCK) {
            const bool last = at + BLOCK >= data.size();
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
            z.avail_in = uInt(std::min(BLOCK, data.size() - at));
            do {
                z.next_out = area.data();
                z.avail_out = uInt(BLOCK);
                deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
                sink.write(area.data(), int64(BLOCK - z.avail_out));
            } while (z.avail_out == 0);
        }
        deflateEnd(&z);
        if (sink.total != int64(compressedData().size())) state.SkipWithError("unexpected compressed size");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(DATA_SIZE));
}

// ---- decompressing ----

void BM_DeflateInputStream(benchmark::State& state) {
    const std::string& compressed = compressedData();
    std::vector<char> buffer(BLOCK);
    for (auto _ : state) {
        Io::DeflateInputStream in(AutoPtr<Io::BinaryInputStream>(
            makeAutoPtr<Io::MemoryInputStream>(compressed.data(), int64(compressed.size()))));
        size_t total = 0;
        while (const int64 n = in.read(buffer.data(), int64(BLOCK))) {
            benchmark::DoNotOptimize(buffer.data());
            total += size_t(n);
        }
        if (total != DATA_SIZE) state.SkipWithError("unexpected size");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(DATA_SIZE));
}

void BM_ZlibInflate(benchmark::State& state) {
    const std::string& compressed = compressedData();
    std::vector<unsigned char> buffer(BLOCK);
    for (auto _ : state) {
        z_stream z{};
        inflateInit(&z);
        size_t total = 0;
        size_t at = 0;
        int result = Z_OK;
        while (result == Z_OK) {
            if (z.avail_in == 0) {
                z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data() + at));
                z.avail_in = uInt(std::min(BLOCK, compressed.size() - at));
                at += z.avail_in;
            }
            z.next_out = buffer.data();
            z.avail_out = uInt(BLOCK);
            result = inflate(&z, Z_NO_FLUSH);
            benchmark::DoNotOptimize(buffer.data());
            total += BLOCK - z.avail_out;
        }
        inflateEnd(&z);
        if (result != Z_STREAM_END || total != DATA_SIZE) state.SkipWithError("inflate failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(DATA_SIZE));
}

} // namespace

BENCHMARK(BM_DeflateOutputStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibDeflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeflateInputStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    (void)compressedData(); // the data is made before anything is timed
    return TolvanBench::runWithRatios(
        argc, argv,
        {{"BM_DeflateOutputStream", "BM_ZlibDeflate"}, {"BM_DeflateInputStream", "BM_ZlibInflate"}});
}

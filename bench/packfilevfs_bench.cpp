// Reading a 256 MiB uncompressed pack entry against reading the same bytes from a plain file: the cost of
// descrambling. Both read through FileInputStream in 1 MiB pieces from files the benchmark has just
// written (so both come from the page cache); the pack is written by the pack writer of tools/.
#include "pack/packwriter.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/io/packfilevfs.h"
#include "tolvan/io/stream.h"

#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

constexpr int64 ENTRY_SIZE = int64(256) << 20;
constexpr int64 PIECE = int64(1) << 20;

// The plain file and the pack, written once in a temporary directory that is removed at exit.
struct Files {
    Io::Path directory;
    Io::Path plain;
    Io::Path pack;

    Files() {
        directory = Io::createRandomNamedDirectory(Io::StandardPaths::temporary().value()).value();
        plain = directory / String(u"plain.bin");
        pack = directory / String(u"entry.pack");
        std::vector<std::byte> data(static_cast<size_t>(ENTRY_SIZE));
        uint32 x = 1;
        for (std::byte& b : data)
            b = std::byte((x = x * 1103515245u + 12345u) >> 24);
        const ArrayView<const std::byte> bytes(data.data(), ENTRY_SIZE);
        // Both files are written alike, in the writer's 64 KiB pieces, so the page cache holds them alike.
        Io::FileOutputStream plainOut(plain);
        for (int64 done = 0; done < ENTRY_SIZE; done += 65536)
            plainOut.write(data.data() + done, 65536);
        plainOut.close();
        Io::FileOutputStream out(pack);
        Tools::PackWriter writer(out, 99);
        writer.addFile(u"entry.bin", bytes);
        writer.finish();
        out.close();
    }
    ~Files() { Io::removeDirRecursive(directory); }
};

const Files& files() {
    static const Files instance;
    return instance;
}

int64 drain(Io::BinaryInputStream& in, std::vector<std::byte>& buffer) {
    int64 total = 0;
    while (const int64 n = in.read(buffer.data(), PIECE)) {
        benchmark::DoNotOptimize(buffer.data());
        total += n;
    }
    return total;
}

void BM_PackEntryRead(benchmark::State& state) {
    PackFileVfs pack(files().pack);
    std::vector<std::byte> buffer(static_cast<size_t>(PIECE));
    for (auto _ : state) {
        AutoPtr<Io::SeekableBinaryInputStream> in = pack.openForReading(u"entry.bin");
        if (drain(*in, buffer) != ENTRY_SIZE) state.SkipWithError("short entry");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * ENTRY_SIZE);
}

void BM_PlainFileRead(benchmark::State& state) {
    std::vector<std::byte> buffer(static_cast<size_t>(PIECE));
    for (auto _ : state) {
        Io::FileInputStream in(files().plain);
        if (drain(in, buffer) != ENTRY_SIZE) state.SkipWithError("short file");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * ENTRY_SIZE);
}

} // namespace

BENCHMARK(BM_PackEntryRead)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PlainFileRead)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

int main(int argc, char** argv) {
    (void)files();
    return TolvanBench::runWithRatios(
        argc, argv, {{"BM_PackEntryRead/min_time:2.000/real_time", "BM_PlainFileRead/min_time:2.000/real_time"}});
}

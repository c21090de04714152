// File streams against the C library and the kernel: reading a 256 MiB file whole (readBinaryFile) and
// in 64 KiB pieces (FileInputStream::read) against fread, copying a 1 GiB file with forwardStreamTo against
// copy_file_range, and TextInputStream::readLine over 100 MB of UTF-8 lines against std::getline on an
// std::ifstream. The files live in a temporary directory (page cache warm after the first run).
#include "tolvan/io/filesystem.h"
#include "tolvan/io/stream.h"
#include "tolvan/io/textstream.h"

#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Kalvex;

namespace {

constexpr size_t CHUNK = 65536;
constexpr size_t BINARY_SIZE = size_t(256) << 20;
constexpr size_t COPY_SIZE = size_t(1) << 30;
constexpr size_t TEXT_SIZE = 100'000'000;

// The benchmark files, created on first use and removed at exit.
struct Files {
    std::string dir;
    std::string binary;
    std::string copySource;
    std::string text;

    Files() {
        char pattern[] = "/tmp/tolvan_stream_bench_XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        dir = pattern;
        binary = dir + "/binary.bin";
        copySource = dir + "/copy.bin";
        text = dir + "/text.txt";
        writeBinary(binary, BINARY_SIZE);
        writeBinary(copySource, COPY_SIZE);
        writeText(text, TEXT_SIZE);
    }
    ~Files() { std::system(("rm -rf '" + dir + "'").c_str()); }

    static void writeBinary(const std::string& path, size_t size) {
        std::vector<char> block(CHUNK);
        uint32_t seed = 1;
        FILE* f = std::fopen(path.c_str(), "wb");
        for (size_t done = 0; done < size; done += CHUNK) {
            for (char& c : block)
                c = char((seed = seed * 1103515245u + 12345u) >> 24);
            std::fwrite(block.data(), 1, CHUNK, f);
        }
        std::fclose(f);
    }

    // Lines of 20 to 120 characters, mostly ASCII with some two- and three-byte characters.
    static void writeText(const std::string& path, size_t size) {
        const char* const words[] = {"render", "pass", "0.25", "sc\xC3\xA8ne", "\xE2\x82\xAC" "12", "light", "frame"};
        std::string all;
        all.reserve(size + 200);
        uint32_t seed = 7;
        while (all.size() < size) {
            const size_t length = 20 + (seed = seed * 1103515245u + 12345u) % 101;
            const size_t start = all.size();
            while (all.size() - start < length) {
                all += words[((seed = seed * 1103515245u + 12345u) >> 16) % 7];
                all += ' ';
            }
            all += '\n';
        }
        std::ofstream(path, std::ios::binary) << all;
    }
};

const Files& files() {
    static const Files instance;
    return instance;
}

Io::Path toPath(const std::string& s) {
    return Io::Path(String::fromUtf8(s.c_str()));
}

// ---- reading a whole file ----

void BM_ReadBinaryFile(benchmark::State& state) {
    const Io::Path path = toPath(files().binary);
    for (auto _ : state) {
        auto bytes = Io::readBinaryFile(path);
        if (!bytes || bytes->size() != int(BINARY_SIZE)) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(bytes->data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BINARY_SIZE));
}

// The peer reads into a fresh block as readBinaryFile does, 64 KiB per fread.
void BM_FreadWholeFile(benchmark::State& state) {
    for (auto _ : state) {
        char* block = static_cast<char*>(std::malloc(BINARY_SIZE));
        FILE* f = std::fopen(files().binary.c_str(), "rb");
        size_t done = 0;
        while (size_t n = std::fread(block + done, 1, std::min(CHUNK, BINARY_SIZE - done), f))
            done += n;
        std::fclose(f);
        if (done != BINARY_SIZE) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(block);
        std::free(block);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BINARY_SIZE));
}

// ---- reading in 64 KiB pieces ----

void BM_FileInputStreamRead(benchmark::State& state) {
    const Io::Path path = toPath(files().binary);
    std::vector<char> buffer(CHUNK);
    for (auto _ : state) {
        Io::FileInputStream in(path);
        size_t done = 0;
        while (const int64 n = in.read(buffer.data(), int64(CHUNK)))
            done += size_t(n);
        if (done != BINARY_SIZE) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BINARY_SIZE));
}

void BM_Fread(benchmark::State& state) {
    std::vector<char> buffer(CHUNK);
    for (auto _ : state) {
        FILE* f = std::fopen(files().binary.c_str(), "rb");
        size_t done = 0;
        while (size_t n = std::fread(buffer.data(), 1, CHUNK, f))
            done += n;
        std::fclose(f);
        if (done != BINARY_SIZE) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BINARY_SIZE));
}

// ---- copying a file ----

void BM_ForwardStreamTo(benchmark::State& state) {
    const Io::Path source = toPath(files().copySource);
    const Io::Path target = toPath(files().dir + "/copy_forward.bin");
    for (auto _ : state) {
        Io::FileInputStream in(source);
        Io::FileOutputStream out(target);
        if (Io::forwardStreamTo(in, out) != int64(COPY_SIZE)) state.SkipWithError("copy failed");
        out.close();
    }
    Io::removeFile(target);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(COPY_SIZE));
}

void BM_CopyFileRange(benchmark::State& state) {
    const std::string target = files().dir + "/copy_kernel.bin";
    for (auto _ : state) {
        const int in = ::open(files().copySource.c_str(), O_RDONLY | O_CLOEXEC);
        const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        size_t done = 0;
        while (done < COPY_SIZE) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, COPY_SIZE - done, 0);
            if (n <= 0) break;
            done += size_t(n);
        }
        ::close(in);
        ::close(out);
        if (done != COPY_SIZE) state.SkipWithError("copy failed");
    }
    ::unlink(target.c_str());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(COPY_SIZE));
}

// ---- reading lines ----

void BM_TextInputStreamReadLine(benchmark::State& state) {
    const Io::Path path = toPath(files().text);
    for (auto _ : state) {
        Io::TextInputStream in(path, Io::TextEncoding::Utf8);
        int64 lines = 0;
        while (const Optional<String> line = in.readLine()) {
            benchmark::DoNotOptimize(line->cStr());
            ++lines;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(TEXT_SIZE));
}

void BM_StdGetline(benchmark::State& state) {
    for (auto _ : state) {
        std::ifstream in(files().text, std::ios::binary);
        std::string line;
        int64 lines = 0;
        while (std::getline(in, line)) {
            benchmark::DoNotOptimize(line.data());
            ++lines;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(TEXT_SIZE));
}

} // namespace

BENCHMARK(BM_ReadBinaryFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FreadWholeFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileInputStreamRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fread)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForwardStreamTo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyFileRange)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextInputStreamReadLine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdGetline)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    return TolvanBench::runWithRatios(argc, argv,
                                      {{"BM_ReadBinaryFile", "BM_FreadWholeFile"},
                                       {"BM_FileInputStreamRead", "BM_Fread"},
                                       {"BM_ForwardStreamTo", "BM_CopyFileRange"},
                                       {"BM_TextInputStreamReadLine", "BM_StdGetline"}});
}

// CsvReader against python3's csv module: reading every row of a 50 MB UTF-8 CSV file (a byte-order
// mark, CR LF line ends, quoted cells with commas, doubled quotes and line breaks, non-ASCII text) and
// counting the cells. Python runs as a whole process (interpreter start included, a few tens of
// milliseconds); both sides are timed by the wall clock. The peer is skipped when python3 is missing.
#include "tolvan/io/csv.h"

#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace Kalvex;

namespace {

constexpr size_t FILE_SIZE = 50'000'000;

uint32_t next(uint32_t& seed) {
    return seed = seed * 1103515245u + 12345u;
}

// The benchmark file, created on first use and removed at exit.
struct File {
    std::string dir;
    std::string path;
    int64 cells = 0;

    File() {
        char pattern[] = "/tmp/tolvan_csv_bench_XXXXXX";
        if (!::mkdtemp(pattern)) std::abort();
        dir = pattern;
        path = dir + "/table.csv";
        const char* const plain[] = {"render",
                                     "0.25",
                                     "12345",
                                     "sc\xC3\xA8ne",
                                     "\xE2\x82\xAC"
                                     "12",
                                     "light_3",
                                     ""};
        const char* const quoted[] = {"\"a, b\"", "\"say \"\"hi\"\"\"", "\"two\r\nlines\"", "\"x,y,z\""};
        std::string all = "\xEF\xBB\xBF";
        all.reserve(FILE_SIZE + 200);
        uint32_t seed = 11;
        while (all.size() < FILE_SIZE) {
            for (int cell = 0; cell < 8; ++cell) {
                if (cell > 0) all += ',';
                const uint32_t r = next(seed) >> 16;
                all += r % 5 == 0 ? quoted[(r / 5) % 4] : plain[(r / 5) % 7];
            }
            all += "\r\n";
            cells += 8;
        }
        std::ofstream(path, std::ios::binary) << all;
    }
    ~File() { std::system(("rm -rf '" + dir + "'").c_str()); }
};

const File& file() {
    static const File instance;
    return instance;
}

// Both sides report the number of cells they read; the counts must agree.
void BM_CsvReader(benchmark::State& state) {
    const Io::Path path(String::fromUtf8(file().path.c_str()));
    int64 cells = 0;
    for (auto _ : state) {
        Io::CsvReader reader(path);
        cells = 0;
        while (const Optional<Stack<String>> row = reader.readRow())
            cells += row->size();
        benchmark::DoNotOptimize(cells);
    }
    state.counters["cells"] = double(cells);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FILE_SIZE));
}

void BM_PythonCsv(benchmark::State& state) {
    if (std::system("python3 -c 'import csv' >/dev/null 2>&1") != 0) {
        state.SkipWithError("python3 with its csv module is not installed");
        return;
    }
    // Counts the cells CsvReader returns: a row's empty last cell does not count.
    const std::string command = "python3 -c 'import csv, sys\n"
                                "n = 0\n"
                                "with open(sys.argv[1], newline=\"\", encoding=\"utf-8-sig\") as f:\n"
                                "    for row in csv.reader(f):\n"
                                "        n += len(row) - (1 if row and row[-1] == \"\" else 0)\n"
                                "print(n)' '" +
                                file().path + "'";
    long long cells = 0;
    for (auto _ : state) {
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe || std::fscanf(pipe, "%lld", &cells) != 1 || ::pclose(pipe) != 0) {
            state.SkipWithError("python3 failed");
            return;
        }
    }
    state.counters["cells"] = double(cells);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FILE_SIZE));
}

} // namespace

BENCHMARK(BM_CsvReader)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PythonCsv)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    (void)file(); // the file is made before anything is timed
    return TolvanBench::runWithRatios(argc, argv, {{"BM_CsvReader/real_time", "BM_PythonCsv/real_time"}});
}

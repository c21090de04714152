// Io::getFiles over a tree of 100,000 files (10 x 10 directories of 1,000 empty files each) against
// std::filesystem::recursive_directory_iterator collecting the regular files' paths. The tree is made in
// a temporary directory at start and removed at exit; both walks read it from the kernel's caches.
#include "tolvan/io/filesystem.h"

#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Kalvex;

namespace {

constexpr int FANOUT = 10;
constexpr int FILES_PER_DIRECTORY = 1000;
constexpr int TOTAL_FILES = FANOUT * FANOUT * FILES_PER_DIRECTORY;

struct Tree {
    std::string root;

    Tree() {
        char pattern[] = "/tmp/tolvan_bench_tree_XXXXXX";
        root = ::mkdtemp(pattern);
        for (int a = 0; a < FANOUT; ++a) {
            const std::string top = root + "/d" + std::to_string(a);
            std::filesystem::create_directory(top);
            for (int b = 0; b < FANOUT; ++b) {
                const std::string dir = top + "/e" + std::to_string(b);
                std::filesystem::create_directory(dir);
                for (int f = 0; f < FILES_PER_DIRECTORY; ++f) {
                    const int fd = ::open((dir + "/file" + std::to_string(f) + ".dat").c_str(),
                                          O_CREAT | O_WRONLY, 0644);
                    if (fd >= 0) ::close(fd);
                }
            }
        }
    }
    ~Tree() { std::filesystem::remove_all(root); }
};

const Tree& tree() {
    static const Tree instance;
    return instance;
}

void BM_GetFilesRecursive(benchmark::State& state) {
    const Io::Path root(String::fromUtf8(tree().root.c_str()));
    for (auto _ : state) {
        const Stack<Io::Path> files = Io::getFiles(root, Io::GetFiles::Recursive);
        if (files.size() != TOTAL_FILES) state.SkipWithError("wrong count");
        benchmark::DoNotOptimize(files.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * TOTAL_FILES);
}

void BM_StdRecursiveDirectoryIterator(benchmark::State& state) {
    const std::filesystem::path root(tree().root);
    for (auto _ : state) {
        std::vector<std::filesystem::path> files;
        for (const std::filesystem::directory_entry& entry :
             std::filesystem::recursive_directory_iterator(root)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        if (files.size() != size_t(TOTAL_FILES)) state.SkipWithError("wrong count");
        benchmark::DoNotOptimize(files.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * TOTAL_FILES);
}

} // namespace

BENCHMARK(BM_GetFilesRecursive)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_StdRecursiveDirectoryIterator)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

int main(int argc, char** argv) {
    (void)tree();
    return TolvanBench::runWithRatios(
        argc, argv,
        {{"BM_GetFilesRecursive/min_time:2.000/real_time", "BM_StdRecursiveDirectoryIterator/min_time:2.000/real_time"}});
}

// Objects shared between threads: one pack read by several threads at once (the keystream's jump table
// is built by whichever thread comes first), and a file-system observer that expires while another
// thread's createDirs is telling it of new directories.
#include "io/temp_directory.h"
#include "pack/packwriter.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/io/packfilevfs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace Kalvex;
using Io::Path;

namespace {

class Concurrent : public TestSupport::TempDirectoryTest {};

std::vector<std::byte> contentFor(int i) {
    std::vector<std::byte> b(size_t(70000 + i * 1000));
    for (size_t k = 0; k < b.size(); ++k)
        b[k] = std::byte((k * 31 + size_t(i)) >> 3);
    return b;
}

class CountingObserver : public Io::FileSystemObserver {
public:
    void directoryCreated(const Path&) override { count.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<int> count{0};
};

} // namespace

TEST_F(Concurrent, ThreadsReadOnePackAtOnce) {
    std::vector<std::vector<std::byte>> contents;
    std::vector<Tools::PackWriter::File> files;
    std::vector<String> names;
    for (int i = 0; i < 8; ++i) {
        contents.push_back(contentFor(i));
        names.push_back(String::fromAscii(("e" + std::to_string(i)).c_str()));
    }
    for (int i = 0; i < 8; ++i)
        files.push_back({names[size_t(i)], ArrayView<const std::byte>(contents[size_t(i)].data(),
                                                                      int64(contents[size_t(i)].size()))});
    for (const auto store : {Tools::PackWriter::Store::Plain, Tools::PackWriter::Store::Compressed}) {
        const Array<std::byte> image = Tools::PackWriter::makePack(
            ArrayView<const Tools::PackWriter::File>(files.data(), int64(files.size())), store);
        PackFileVfs pack(ArrayView<const std::byte>(image.data(), image.size()));
        std::atomic<int> mismatches{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < 3; ++round) {
                    for (int i = 0; i < 8; ++i) {
                        const int which = (i + t) % 8;
                        AutoPtr<Io::SeekableBinaryInputStream> in = pack.openForReading(names[size_t(which)]);
                        std::vector<std::byte> got(contents[size_t(which)].size());
                        in->seekg(int64(got.size()) / 2);
                        in->seekg(0);
                        if (in->read(got.data(), int64(got.size())) != int64(got.size()) ||
                            got != contents[size_t(which)])
                            mismatches.fetch_add(1);
                    }
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(mismatches.load(), 0);
    }
}

TEST_F(Concurrent, ObserverExpiresWhileDirectoriesAreCreated) {
    SharedPtr<CountingObserver> observer = makeShared<CountingObserver>();
    Io::registerFileSystemObserver(
        WeakPtr<Io::FileSystemObserver>(SharedPtr<Io::FileSystemObserver>(observer)));
    std::atomic<bool> started{false};
    std::thread creator([&] {
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(Io::createDirs(path("d" + std::to_string(i) + "/x")));
            started.store(true);
        }
    });
    while (!started.load())
        std::this_thread::yield();
    observer.reset(); // the last owner lets go while the other thread may be notifying it
    creator.join();
    EXPECT_TRUE(Io::dirExists(path("d199/x")));
}

// Virtual file systems over the real file system: SystemVfs, DirectoryVfs and CombinedVfs.
#include "io/temp_directory.h"
#include "tolvan/io/vfs.h"

#include <gtest/gtest.h>

#include <string>

using namespace Kalvex;
using Io::Path;

namespace {

std::string readAll(Io::BinaryInputStream& in) {
    std::string content;
    char buffer[256];
    while (const int64 n = in.read(buffer, sizeof buffer))
        content.append(buffer, size_t(n));
    return content;
}

// Fails every operation, to show that a combined system swallows member failures.
class FailingVfs : public Io::VirtualFileSystem {
public:
    AutoPtr<Io::SeekableBinaryInputStream> openForReading(const Path&) override { throw 42; }
    bool fileExists(const Path&) const override { return false; }
    uint64 fileId(const Path&) const override { throw std::runtime_error("member failure"); }
    int64 fileSize(const Path&) const override { return -1; }
    Stack<Path> getFiles(const Path&, Flags<Io::GetFiles>, ArrayView<const String>) override { return {}; }
};

class Vfs : public TestSupport::TempDirectoryTest {
protected:
    void SetUp() override {
        TempDirectoryTest::SetUp();
        makeDir("a");
        makeDir("b");
        makeDir("b/sub");
        write("a/both.txt", "from a");
        write("b/both.txt", "from b!");
        write("b/x.txt", "only b");
        write("b/sub/f.bin", "deep");
    }
};

} // namespace

TEST_F(Vfs, SystemAndDirectorySystemsUseTheRealFiles) {
    Io::SystemVfs system;
    EXPECT_TRUE(system.fileExists(path("b/x.txt")));
    EXPECT_EQ(system.fileSize(path("b/x.txt")), 6);
    EXPECT_EQ(system.fileId(path("b/x.txt")), Io::fileId(path("b/x.txt")));
    EXPECT_EQ(readAll(*system.openForReading(path("b/x.txt"))), "only b");

    // The root's trailing "/" gives no doubled slash; listings hold full paths below the root.
    Io::DirectoryVfs below(Path(String::fromUtf8((native("b") + "/").c_str())));
    EXPECT_EQ(readAll(*below.openForReading(u"sub/f.bin")), "deep");
    EXPECT_EQ(below.fileSize(u"sub/f.bin"), 4);
    EXPECT_EQ(below.fileSize(u"missing"), -1);
    EXPECT_FALSE(below.fileExists(u"sub"));
    const Stack<Path> listed = below.getFiles(u"sub", {}, {});
    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(listed[0].genericStr(), String::fromUtf8(native("b/sub/f.bin").c_str()));
    try {
        (void)below.openForReading(u"missing");
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open/read/write file '" + native("b/missing") + "'");
    }
}

TEST_F(Vfs, CombinedSearchesItsMembersInOrder) {
    Io::CombinedVfs combined;
    combined.addSystem(makeShared<FailingVfs>());
    combined.addSystem(makeShared<Io::DirectoryVfs>(path("a")));
    combined.addSystem(makeShared<Io::DirectoryVfs>(path("b")));

    EXPECT_EQ(readAll(*combined.openForReading(u"x.txt")), "only b");
    EXPECT_EQ(readAll(*combined.openForReading(u"both.txt")), "from a");
    EXPECT_EQ(combined.fileSize(u"both.txt"), 6);
    EXPECT_EQ(combined.fileSize(u"x.txt"), 6);
    EXPECT_EQ(combined.fileId(u"x.txt"), Io::fileId(path("b/x.txt")));
    EXPECT_TRUE(combined.fileExists(u"x.txt"));
    EXPECT_FALSE(combined.fileExists(u"missing"));
    EXPECT_EQ(combined.fileSize(u"missing"), -1);
    // Listings are concatenated: both.txt twice.
    const String txt[] = {u"txt"};
    EXPECT_EQ(combined.getFiles(u"", {}, txt).size(), 3);
    for (const char* missing : {"missing"}) {
        EXPECT_THROW((void)combined.openForReading(String::fromUtf8(missing)), Exception);
        try {
            (void)combined.fileId(String::fromUtf8(missing));
            ADD_FAILURE();
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "Cannot open/read/write file 'missing'");
        }
    }
}

TEST_F(Vfs, EmptyCombinedKnowsNothing) {
    Io::CombinedVfs empty;
    EXPECT_FALSE(empty.fileExists(u"x"));
    EXPECT_EQ(empty.fileSize(u"x"), -1);
    EXPECT_TRUE(empty.getFiles(u"", Io::GetFiles::Recursive, {}).isEmpty());
    try {
        (void)empty.openForReading(u"x");
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot open/read/write file 'x'");
    }
    EXPECT_THROW((void)empty.fileId(u"x"), Exception);
}

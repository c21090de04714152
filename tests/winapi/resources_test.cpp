#include "tolvan/utility/resources.h"

#include "tolvan/common/exception.h"
#include "tolvan/common/lib.h"
#include "tolvan/winapi/resources.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using namespace Kalvex;
namespace fs = std::filesystem;

namespace {

// A fresh directory to extract under, removed with everything in it.
class ResourcesTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tolvan-resources-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        mRoot = pattern;
    }
    void TearDown() override { fs::remove_all(mRoot); }

    [[nodiscard]] Io::Path root() const { return Io::Path(String::fromUtf8(mRoot.string().c_str())); }
    [[nodiscard]] static fs::path native(const Io::Path& path) { return path.genericStr().toUtf8().cStr(); }
    [[nodiscard]] static std::string read(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    [[nodiscard]] int entriesUnderRoot() const {
        return int(
            std::distance(fs::recursive_directory_iterator(mRoot), fs::recursive_directory_iterator()));
    }

    fs::path mRoot;
};

} // namespace

TEST_F(ResourcesTest, ExtractsOnceAndCleansUpEverything) {
    fs::path hello;
    fs::path extractionDir;
    {
        Resources resources(Io::Path(), root());
        const Optional<Io::Path> first = resources.getResourcePath(u"hello.txt");
        ASSERT_TRUE(first.hasValue());
        hello = native(*first);
        extractionDir = hello.parent_path();
        EXPECT_EQ(extractionDir.filename(), "Resources");
        EXPECT_EQ(extractionDir.parent_path().parent_path(), mRoot); // root / random / Resources
        EXPECT_EQ(read(hello), "Hello, resources!\n");

        // The second request finds the file already extracted: same path, not written again.
        std::ofstream(hello, std::ios::trunc) << "changed";
        const Optional<Io::Path> second = resources.getResourcePath(u"hello.txt");
        ASSERT_TRUE(second.hasValue());
        EXPECT_EQ(*second, *first);
        EXPECT_EQ(read(hello), "changed");

        const Optional<Io::Path> bytes = resources.getResourcePath(u"Every Byte.bin");
        ASSERT_TRUE(bytes.hasValue());
        const std::string content = read(native(*bytes));
        ASSERT_EQ(content.size(), 256u);
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(int(static_cast<unsigned char>(content[size_t(i)])), i);
        const Optional<Io::Path> empty = resources.getResourcePath(u"empty.bin");
        ASSERT_TRUE(empty.hasValue());
        EXPECT_TRUE(fs::is_regular_file(native(*empty)));
        EXPECT_EQ(fs::file_size(native(*empty)), 0u);
    }
    EXPECT_FALSE(fs::exists(hello));
    EXPECT_FALSE(fs::exists(extractionDir));
    EXPECT_FALSE(fs::exists(extractionDir.parent_path()));
    EXPECT_TRUE(fs::exists(mRoot));
}

TEST_F(ResourcesTest, MissingResourcesAndModulesGiveNothingAndLeaveNoFile) {
    {
        Resources resources(Io::Path(), root());
        EXPECT_FALSE(resources.getResourcePath(u"missing.txt").hasValue());
        EXPECT_EQ(entriesUnderRoot(), 2); // only the random directory and its Resources folder
    }
    // A module that is not loaded does not fall back to the executable; the library has no such file.
    const Io::Path library = Utils::getModuleFilePath(WinApi::getMyModuleHandle());
    for (const Io::Path& module : {Io::Path(u"no-such-module.so"), library}) {
        Resources resources(module, root());
        EXPECT_FALSE(resources.getResourcePath(u"hello.txt").hasValue()) << module.genericStr();
    }
    EXPECT_EQ(entriesUnderRoot(), 0);
}

TEST_F(ResourcesTest, UnusableRootIsReported) {
    const Io::Path missing = root() / u"no" / u"such";
    try {
        Resources resources(Io::Path(), missing);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Could not create temporary resources directory.");
    }
}

TEST_F(ResourcesTest, DefaultsToTheStandardTemporaryDirectory) {
    const char* const previous = std::getenv("TMPDIR");
    const std::string saved = previous ? previous : "";
    setenv("TMPDIR", mRoot.c_str(), 1);
    {
        Resources resources;
        const Optional<Io::Path> hello = resources.getResourcePath(u"hello.txt");
        ASSERT_TRUE(hello.hasValue());
        EXPECT_EQ(native(*hello).parent_path().parent_path().parent_path(), mRoot);
    }
    if (previous) {
        setenv("TMPDIR", saved.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    EXPECT_EQ(entriesUnderRoot(), 0);
}

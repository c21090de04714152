#include "tolvan/io/filesystem.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace Kalvex;
using Io::Path;

namespace {

// A fresh temporary directory per test, removed with everything in it afterwards.
class FileQueries : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvan_fs_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        mDir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + mDir + "'").c_str()); }

    Path path(const char* name) const { return Path(String::fromUtf8((mDir + "/" + name).c_str())); }
    void write(const char* name, const std::string& content) const {
        FILE* f = std::fopen((mDir + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }

    std::string mDir;
};

} // namespace

TEST_F(FileQueries, ExistenceAndSize) {
    write("file.txt", "12345");
    write("empty.txt", "");
    ASSERT_EQ(::mkdir((mDir + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((mDir + "/file.txt").c_str(), (mDir + "/link").c_str()), 0);

    struct Case {
        const char* name;
        bool file, dir, exists, link;
        int64 size;
        bool emptyOrMissing;
    };
    const Case cases[] = {
        {"file.txt", true, false, true, false, 5, false},
        {"empty.txt", true, false, true, false, 0, true},
        {"sub", false, true, true, false, -1, true},
        {"missing", false, false, false, false, -1, true},
        {"missing/deeper", false, false, false, false, -1, true},
        {"link", true, false, true, true, 5, false},
    };
    for (const Case& c : cases) {
        const Path p = path(c.name);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Io::fileExists(p), c.file);
        EXPECT_EQ(Io::dirExists(p), c.dir);
        EXPECT_EQ(Io::pathExists(p), c.exists);
        EXPECT_EQ(Io::isLink(p), c.link);
        EXPECT_EQ(Io::fileSize(p), c.size);
        EXPECT_EQ(Io::fileIsEmptyOrNonExistent(p), c.emptyOrMissing);
    }
    EXPECT_FALSE(Io::fileExists(Path()));
    EXPECT_EQ(Io::fileSize(Path()), -1);
}

TEST_F(FileQueries, UnexpectedFailuresAnswerAsForAnyOtherError) {
    // A name longer than the system allows is neither "found" nor "not found".
    const Path tooLong = path(std::string(5000, 'n').c_str());
    EXPECT_FALSE(Io::fileExists(tooLong));
    EXPECT_TRUE(Io::dirExists(tooLong));
    EXPECT_TRUE(Io::isLink(tooLong));
    EXPECT_EQ(Io::fileSize(tooLong), -1);
}

TEST_F(FileQueries, RemoveAndWorkingDirectory) {
    write("a.txt", "x");
    ASSERT_EQ(::mkdir((mDir + "/full").c_str(), 0755), 0);
    write("full/inner.txt", "y");
    EXPECT_FALSE(Io::removeDir(path("full"))); // not empty: stays
    EXPECT_TRUE(Io::dirExists(path("full")));
    EXPECT_FALSE(Io::removeFile(path("full")));
    EXPECT_TRUE(Io::removeFile(path("full/inner.txt")));
    EXPECT_TRUE(Io::removeDir(path("full")));
    EXPECT_TRUE(Io::removeFile(path("a.txt")));
    EXPECT_FALSE(Io::removeFile(path("a.txt")));

    const Path before = Io::workingDirectory();
    ASSERT_TRUE(Io::setWorkingDirectory(Path(String::fromUtf8(mDir.c_str()))));
    EXPECT_EQ(Io::workingDirectory(), Path(String::fromUtf8(mDir.c_str())).normalized());
    EXPECT_FALSE(Io::setWorkingDirectory(path("missing")));
    ASSERT_TRUE(Io::setWorkingDirectory(before));
}

TEST_F(FileQueries, NormalizedResolvesExistingPaths) {
    write("real.txt", "x");
    ASSERT_EQ(::mkdir((mDir + "/d").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((mDir + "/real.txt").c_str(), (mDir + "/d/alias").c_str()), 0);
    const Path resolved = path("d/../d/alias").normalized();
    EXPECT_EQ(resolved.fileName(), String(u"real.txt"));
    EXPECT_TRUE(resolved.isAbsolute());
    EXPECT_EQ(path("d/./missing/../x").normalized().fileName(), String(u"x")); // lexical fallback
}

// No file name holds a zero unit: a path with one names no file, never the file named by its first part.
TEST_F(FileQueries, PathsWithAZeroUnitNameNoFile) {
    write("real.txt", "keep");
    ASSERT_EQ(::mkdir((mDir + "/dir").c_str(), 0755), 0);
    const auto withZero = [this](const char* name, const char16_t* tail) {
        String text = path(name).genericStr();
        text += String(std::u16string_view(u"\0", 1));
        text += tail;
        return Path(text);
    };
    const Path cutFile = withZero("real.txt", u"/../../other");
    const Path cutDir = withZero("dir", u"");
    ASSERT_TRUE(cutFile.isValid());
    for (const Path& p : {cutFile, cutDir}) {
        SCOPED_TRACE(p.genericStr().getSubstr(0, p.genericStr().find(u'\0')).toUtf8().cStr());
        EXPECT_TRUE(p.platformStr().isEmpty());
        EXPECT_FALSE(Io::fileExists(p));
        EXPECT_FALSE(Io::dirExists(p));
        EXPECT_FALSE(Io::pathExists(p));
        EXPECT_FALSE(Io::isLink(p));
        EXPECT_EQ(Io::fileSize(p), -1);
        EXPECT_TRUE(Io::fileIsEmptyOrNonExistent(p));
        EXPECT_FALSE(Io::removeFile(p));
        EXPECT_FALSE(Io::removeDir(p));
        EXPECT_FALSE(Io::setWorkingDirectory(p));
    }
    EXPECT_TRUE(Io::fileExists(path("real.txt")));
    EXPECT_TRUE(Io::dirExists(path("dir")));
}

// With the working directory deleted, "/" roots are kept: absolute paths stay absolute.
TEST_F(FileQueries, AbsolutePathsStayAbsoluteWithoutAWorkingDirectory) {
    const Path before = Io::workingDirectory();
    ASSERT_FALSE(before.isEmpty());
    ASSERT_EQ(::mkdir((mDir + "/gone").c_str(), 0755), 0);
    ASSERT_TRUE(Io::setWorkingDirectory(path("gone")));
    ASSERT_EQ(::rmdir((mDir + "/gone").c_str()), 0);
    const Path workingDirectory = Io::workingDirectory();
    const std::string lexical = Path(u"/a/./b").lexicallyNormalized().genericStr().toUtf8().cStr();
    const std::string normal = Path(u"/nonexist/x/..").normalized().genericStr().toUtf8().cStr();
    const std::string network =
        Path(u"//server/share/a/../b").lexicallyNormalized().genericStr().toUtf8().cStr();
    ASSERT_TRUE(Io::setWorkingDirectory(before));
    EXPECT_TRUE(workingDirectory.isEmpty());
    EXPECT_EQ(lexical, "/a/b");
    EXPECT_EQ(normal, "/nonexist");
    EXPECT_EQ(network, "//server/share/b");
}

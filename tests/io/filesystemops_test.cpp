// File-system operations: identity, time stamps, listings, copying, moving, removing, pruning, random
// names and the standard folders.
#include "io/temp_directory.h"
#include "tolvan/io/filesystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace Kalvex;
using Io::Path;

namespace {

class FileSystemOps : public TestSupport::TempDirectoryTest {
protected:
    // The listed paths relative to the temporary directory, sorted.
    [[nodiscard]] std::vector<std::string> relative(const Stack<Path>& paths) const {
        std::vector<std::string> names;
        for (const Path& p : paths) {
            const auto utf8 = p.genericStr().toUtf8();
            std::string text(utf8.cStr());
            EXPECT_EQ(text.compare(0, mDir.size() + 1, mDir + "/"), 0) << text;
            names.push_back(text.substr(mDir.size() + 1));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    using Names = std::vector<std::string>;
};

// Restores an environment variable when the test ends.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : mName(name) {
        if (const char* old = std::getenv(name)) mOld = old, mHad = true;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (mHad)
            ::setenv(mName.c_str(), mOld.c_str(), 1);
        else
            ::unsetenv(mName.c_str());
    }

private:
    std::string mName, mOld;
    bool mHad = false;
};

std::string utf8(const Path& p) {
    return p.genericStr().toUtf8().cStr();
}

} // namespace

// ---- Identity and time stamps ----

TEST_F(FileSystemOps, FileIdIsTheSameForEverySpellingAndHardLink) {
    makeDir("a");
    write("a/f", "x");
    write("a/g", "x");
    ASSERT_EQ(::link(native("a/f").c_str(), native("hard").c_str()), 0);
    makeLink(native("a/f"), "soft");
    const uint64 id = Io::fileId(path("a/f"));
    EXPECT_EQ(Io::fileId(path("a/./f")), id);
    EXPECT_EQ(Io::fileId(path("a/../a/f")), id);
    EXPECT_EQ(Io::fileId(path("hard")), id);
    EXPECT_EQ(Io::fileId(path("soft")), id);
    EXPECT_NE(Io::fileId(path("a/g")), id);
    for (const char* bad : {"missing", "a"}) {
        try {
            (void)Io::fileId(path(bad));
            ADD_FAILURE() << bad;
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot open/read/write file '" + native(bad) + "'");
        }
    }
}

TEST_F(FileSystemOps, TimeStampsAreOnTheFileTimeScale) {
    write("f", "x");
    // 2001-09-09 01:46:40.5 UTC: 10^9 seconds after 1970.
    const timespec times[2] = {{1000000000, 500000000}, {1000000001, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, native("f").c_str(), times, 0), 0);
    const uint64 epoch = 11644473600ull * 10000000ull;
    EXPECT_EQ(Io::getFileTimeStamp(path("f"), Io::TimeStampType::LastAccess)->value,
              epoch + 10000000005000000ull);
    EXPECT_EQ(Io::getFileTimeStamp(path("f"), Io::TimeStampType::LastWrite)->value,
              epoch + 10000000010000000ull);
    // Creation is birth time or, without it, the status change just made: either way after the write time
    // set above and not in the future of the last status change.
    struct stat info;
    ASSERT_EQ(::stat(native("f").c_str(), &info), 0);
    const auto created = Io::getFileTimeStamp(path("f"), Io::TimeStampType::Creation);
    ASSERT_TRUE(created);
    EXPECT_GT(created->value, epoch + 10000000010000000ull);
    EXPECT_LE(created->value,
              (uint64(info.st_ctim.tv_sec) + 11644473600ull) * 10000000ull + info.st_ctim.tv_nsec / 100);

    EXPECT_FALSE(Io::getFileTimeStamp(path("missing"), Io::TimeStampType::LastWrite));
    EXPECT_FALSE(Io::getFileTimeStamp(path(), Io::TimeStampType::LastWrite)); // a directory
    EXPECT_THROW((void)Io::getFileTimeStamp(path("f"), Io::TimeStampType(7)), Exception);
    EXPECT_TRUE(Io::TimeStamp{1} < Io::TimeStamp{2});
    EXPECT_TRUE(Io::TimeStamp{2} == Io::TimeStamp{2});
}

// ---- Listings ----

TEST_F(FileSystemOps, GetFilesAndDirsWalkTheTree) {
    makeDir("sub");
    makeDir("sub/deeper");
    makeDir("outside");
    write("a.png", "");
    write("b.PNG", "");
    write("c.txt", "");
    write("sub/d.png", "");
    write("sub/deeper/e.Png", "");
    write("outside/o.png", "");
    makeLink(native("outside"), "sub/link");

    EXPECT_EQ(relative(Io::getFiles(path("sub"))), Names({"sub/d.png"}));
    EXPECT_EQ(relative(Io::getFiles(path("sub"), Io::GetFiles::Recursive)),
              Names({"sub/d.png", "sub/deeper/e.Png"}));
    EXPECT_EQ(relative(Io::getDirs(path("sub"))), Names({"sub/deeper", "sub/link"}));
    EXPECT_EQ(relative(Io::getDirs(path(), Io::GetFiles::Recursive)),
              Names({"outside", "sub", "sub/deeper", "sub/link"}));
    EXPECT_TRUE(Io::getFiles(path("missing")).isEmpty());

    struct Case {
        std::vector<String> filter;
        Flags<Io::GetFiles> flags;
        Names expected;
    };
    const Case cases[] = {
        {{u"PNG"}, {}, {"a.png", "b.PNG"}},
        {{u"PNG"}, Io::GetFiles::ExtensionsUnchanged, {}},
        {{u"png"}, Io::GetFiles::ExtensionsUnchanged, {"a.png", "b.PNG"}}, // the file's side is lower-cased
        {{u"txt", u"png"}, {}, {"a.png", "b.PNG", "c.txt"}},
        {{u"png"},
         Io::GetFiles::Recursive,
         {"a.png", "b.PNG", "outside/o.png", "sub/d.png", "sub/deeper/e.Png"}},
        {{}, {}, {"a.png", "b.PNG", "c.txt"}},
    };
    for (const Case& c : cases) {
        const Stack<String> filter(ArrayView<const String>(c.filter.data(), int64(c.filter.size())));
        EXPECT_EQ(relative(Io::getFiles(path(), c.flags, filter)), c.expected) << c.expected.size();
    }
}

TEST_F(FileSystemOps, GetFilesListsEachDirectoryBeforeDescending) {
    makeDir("x");
    makeDir("x/y");
    write("top", "");
    write("x/inner", "");
    write("x/y/deepest", "");
    const Stack<Path> files = Io::getFiles(path(), Io::GetFiles::Recursive);
    ASSERT_EQ(files.size(), 3);
    EXPECT_EQ(utf8(files[0]), native("top"));
    EXPECT_EQ(utf8(files[1]), native("x/inner"));
    EXPECT_EQ(utf8(files[2]), native("x/y/deepest"));
}

TEST_F(FileSystemOps, ResolvePathWildcards) {
    makeDir("d");
    write("d/a.txt", "");
    write("d/b.txt", "");
    write("d/.hidden", "");
    write("d/c.bin", "");
    struct Case {
        std::string pattern;
        Names expected;
    };
    const Case cases[] = {
        {"d/*.txt", {"d/a.txt", "d/b.txt"}},
        {"d/*", {"d/.", "d/..", "d/.hidden", "d/a.txt", "d/b.txt", "d/c.bin"}},
        {"d/.*", {"d/.", "d/..", "d/.hidden"}},
        {"d/?.bin", {"d/c.bin"}},
        {"d/a.txt", {"d/a.txt"}},
        {"d/none*", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(relative(Io::resolvePathWildcards(String::fromUtf8(native(c.pattern).c_str()))), c.expected)
            << c.pattern;
    EXPECT_TRUE(Io::resolvePathWildcards(String()).isEmpty());
}

TEST_F(FileSystemOps, PathAs8BitCharactersIsTheUtf8PathOfAnExistingFile) {
    write("\xC3\xA4.txt", "");
    EXPECT_STREQ(Io::getPathAs8BitCharacters(path("\xC3\xA4.txt")).cStr(), native("\xC3\xA4.txt").c_str());
    EXPECT_STREQ(Io::getPathAs8BitCharacters(path()).cStr(), mDir.c_str());
    EXPECT_EQ(Io::getPathAs8BitCharacters(path("missing")).length(), 0);
}

TEST_F(FileSystemOps, UniqueFileNames) {
    write("a.txt", "");
    write("a (1).txt", "");
    write("notes", "");
    makeDir("dir.txt");
    const std::pair<const char*, const char*> cases[] = {
        {"a.txt", "a (2).txt"}, {"notes", "notes (1)."}, {"dir.txt", "dir.txt"}, {"free.txt", "free.txt"}};
    for (const auto& [given, expected] : cases)
        EXPECT_EQ(utf8(Io::getUniqueFileName(path(given))), native(expected)) << given;
}

// ---- Copying and moving ----

TEST_F(FileSystemOps, CopyFile) {
    std::string big(10000, 'b');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char('a' + i % 26);
    write("src", big);
    write("existing", "keep");
    EXPECT_TRUE(Io::copyFile(path("src"), path("copy")));
    EXPECT_EQ(read("copy"), big);
    EXPECT_FALSE(Io::copyFile(path("src"), path("existing")));
    EXPECT_EQ(read("existing"), "keep");
    EXPECT_TRUE(Io::copyFile(path("src"), path("existing"), Io::CopyFile::Overwrite));
    EXPECT_EQ(read("existing"), big);
    // Copying a file onto itself must not truncate it.
    EXPECT_FALSE(Io::copyFile(path("src"), path("./src"), Io::CopyFile::Overwrite));
    EXPECT_EQ(read("src"), big);
    EXPECT_THROW(Io::copyFile(path("missing"), path("out")), Exception);
}

TEST_F(FileSystemOps, MoveFile) {
    write("a", "A");
    write("b", "B");
    makeDir("dir");
    EXPECT_FALSE(Io::moveFile(path("a"), path("b")));
    EXPECT_EQ(read("a"), "A");
    EXPECT_EQ(read("b"), "B");
    EXPECT_TRUE(Io::moveFile(path("a"), path("c")));
    EXPECT_FALSE(exists("a"));
    EXPECT_EQ(read("c"), "A");
    EXPECT_TRUE(Io::moveFile(path("c"), path("b"), Io::CopyFile::Overwrite));
    EXPECT_EQ(read("b"), "A");
    // A directory is never replaced, with or without Overwrite.
    EXPECT_FALSE(Io::moveFile(path("b"), path("dir"), Io::CopyFile::Overwrite));
    EXPECT_FALSE(Io::moveFile(path("missing"), path("x")));
    EXPECT_EQ(read("b"), "A");
}

TEST_F(FileSystemOps, MoveFileAcrossFileSystems) {
    char pattern[] = "/dev/shm/tolvan_fsops_XXXXXX";
    if (!::mkdtemp(pattern)) GTEST_SKIP() << "no second file system at /dev/shm";
    const std::string other = pattern;
    struct stat a, b;
    ASSERT_EQ(::stat(mDir.c_str(), &a), 0);
    ASSERT_EQ(::stat(other.c_str(), &b), 0);
    if (a.st_dev == b.st_dev) {
        ::rmdir(other.c_str());
        GTEST_SKIP() << "/dev/shm is on the same file system";
    }
    write("a", "across");
    write("b", "stays");
    const Path target(String::fromUtf8((other + "/a").c_str()));
    const Path taken(String::fromUtf8((other + "/taken").c_str()));
    FILE* f = std::fopen((other + "/taken").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_TRUE(Io::moveFile(path("a"), target));
    EXPECT_FALSE(exists("a"));
    EXPECT_FALSE(Io::moveFile(path("b"), taken));
    EXPECT_EQ(read("b"), "stays");
    EXPECT_EQ(Io::fileSize(taken), 0);
    EXPECT_EQ(Io::fileSize(target), 6);
    // Nothing left beside the targets but the two files.
    EXPECT_EQ(Io::getFiles(Path(String::fromUtf8(other.c_str()))).size(), 2);
    std::system(("rm -rf '" + other + "'").c_str());
}

// ---- Creating and removing ----

namespace {

class RecordingObserver : public Io::FileSystemObserver {
public:
    void directoryCreated(const Path& directory) override { created.push_back(utf8(directory)); }
    std::vector<std::string> created;
};

} // namespace

TEST_F(FileSystemOps, CreateDirsNotifiesLiveObserversOfEachCreatedStep) {
    makeDir("x");
    write("file", "");
    const SharedPtr<RecordingObserver> live = makeShared<RecordingObserver>();
    SharedPtr<RecordingObserver> expired = makeShared<RecordingObserver>();
    Io::registerFileSystemObserver(WeakPtr<Io::FileSystemObserver>(SharedPtr<Io::FileSystemObserver>(live)));
    Io::registerFileSystemObserver(
        WeakPtr<Io::FileSystemObserver>(SharedPtr<Io::FileSystemObserver>(expired)));
    expired.reset();

    EXPECT_TRUE(Io::createDirs(path("x/y/z")));
    EXPECT_TRUE(Io::dirExists(path("x/y/z")));
    EXPECT_EQ(live->created, Names({native("x/y/"), native("x/y/z/")}));
    EXPECT_TRUE(Io::createDirs(path("x/y/z")));
    EXPECT_EQ(live->created.size(), 2u);
    EXPECT_FALSE(Io::createDirs(path("file/sub")));
    EXPECT_EQ(live->created.size(), 2u);
}

TEST_F(FileSystemOps, RemoveDirRecursiveNeverFollowsLinksOutOfTheTree) {
    makeDir("outside");
    write("outside/precious", "p");
    write("outside-file", "q");
    makeDir("tree");
    makeDir("tree/a");
    makeDir("tree/a/b");
    write("tree/top", "");
    write("tree/a/b/leaf", "");
    makeLink(native("outside"), "tree/a/dirlink");
    makeLink(native("outside-file"), "tree/a/filelink");
    makeLink(native("nowhere"), "tree/dangling");

    EXPECT_TRUE(Io::removeDirRecursive(path("tree")));
    EXPECT_FALSE(exists("tree"));
    EXPECT_EQ(read("outside/precious"), "p");
    EXPECT_EQ(read("outside-file"), "q");

    // A directory given as a link: the link goes, its target stays.
    makeLink(native("outside"), "link");
    EXPECT_TRUE(Io::removeDirRecursive(path("link")));
    EXPECT_FALSE(exists("link"));
    EXPECT_EQ(read("outside/precious"), "p");
    EXPECT_FALSE(Io::removeDirRecursive(path("missing")));
}

TEST_F(FileSystemOps, PruneDirectory) {
    struct Case {
        const char* name;
        uint64 budget;
        Flags<Io::PruneDirectory> flags;
        std::vector<String> extensions, excluded;
        size_t deleted;
    };
    // Five files of 10 bytes: 50 in all.
    const Case cases[] = {
        {"budget above total", 51, {}, {}, {}, 0},
        {"to below 30", 30, {}, {}, {}, 3},
        {"to below 1", 1, {}, {}, {}, 5},
        {"keep last", 1, Io::PruneDirectory::KeepLast, {}, {}, 4},
        {"excluded still counts", 30, {}, {}, {u"f0.txt", u"f1.txt", u"f2.txt", u"f3.txt", u"f4.txt"}, 0},
        {"extension subset", 1, {}, {u"LOG"}, {}, 0},
        {"oldest first", 30, Io::PruneDirectory::OldestFirst, {}, {}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::system(("rm -rf '" + mDir + "'/*").c_str());
        makeDir("sub");
        for (int i = 0; i < 5; ++i)
            write((i % 2 ? "sub/f" : "f") + std::to_string(i) + ".txt", "0123456789");
        Io::PruneSubset subset;
        subset.extensions =
            Stack<String>(ArrayView<const String>(c.extensions.data(), int64(c.extensions.size())));
        subset.excludedFileNames =
            Stack<String>(ArrayView<const String>(c.excluded.data(), int64(c.excluded.size())));
        const Stack<Path> deleted = Io::pruneDirectory(path(), c.budget, subset, c.flags);
        EXPECT_EQ(size_t(deleted.size()), c.deleted);
        for (const Path& p : deleted)
            EXPECT_FALSE(Io::fileExists(p));
        EXPECT_EQ(Io::getFiles(path(), Io::GetFiles::Recursive).size(), int32(5 - c.deleted));
    }
}

TEST_F(FileSystemOps, PruneDirectoryDeletesOldestFirstAndNeverLeavesTheTree) {
    makeDir("outside");
    write("outside/big", std::string(1000, 'x'));
    makeDir("tree");
    makeLink(native("outside"), "tree/link");
    for (int i = 0; i < 3; ++i)
        write("tree/f" + std::to_string(i), "0123456789");
    Stack<std::pair<uint64, std::string>> created;
    for (const Path& p : Io::getFiles(path("tree")))
        created.push({Io::getFileTimeStamp(p, Io::TimeStampType::Creation)->value, utf8(p)});
    std::stable_sort(created.begin(), created.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    const Stack<Path> deleted = Io::pruneDirectory(path("tree"), 11, {}, Io::PruneDirectory::OldestFirst);
    ASSERT_EQ(deleted.size(), 2);
    EXPECT_EQ(utf8(deleted[0]), created[0].second);
    EXPECT_EQ(utf8(deleted[1]), created[1].second);
    EXPECT_EQ(read("outside/big").size(), 1000u);
}

// ---- Random names ----

TEST_F(FileSystemOps, RandomNamedDirectoriesAndFiles) {
    const auto dir = Io::createRandomNamedDirectory(path());
    ASSERT_TRUE(dir) << dir.error();
    EXPECT_TRUE(Io::dirExists(*dir));
    EXPECT_EQ(dir->parentDirectory(), path());
    EXPECT_EQ(dir->extension(), String(u"tmp"));
    EXPECT_TRUE(Io::getFiles(*dir).isEmpty());

    const auto exr = Io::createRandomNamedFile(path(), u"exr");
    ASSERT_TRUE(exr) << exr.error();
    EXPECT_EQ(exr->extension(), String(u"exr"));
    EXPECT_EQ(Io::fileSize(*exr), 0);
    const auto tmp = Io::createRandomNamedFile(path(), u"tmp");
    ASSERT_TRUE(tmp);
    EXPECT_EQ(tmp->extension(), String(u"tmp"));
    EXPECT_EQ(Io::getFiles(path()).size(), 2); // no ".tmp" left behind by the renamed file
    EXPECT_NE(*exr, *tmp);

    const Path missing = path("missing");
    EXPECT_EQ(Io::createRandomNamedDirectory(missing).error(),
              String(u"Failed to create random named subdirectory in ") + missing.nativeStr());
    EXPECT_EQ(Io::createRandomNamedFile(missing, u"exr").error(),
              String(u"Failed to create random named file in ") + missing.nativeStr());
}

// ---- Standard folders ----

TEST_F(FileSystemOps, StandardPathsFollowXdgAndTheEnvironment) {
    const ScopedEnv data("XDG_DATA_HOME", "/xdg/data");
    EXPECT_EQ(Io::StandardPaths::userApplicationData().value(), Path(u"/xdg/data/"));
    EXPECT_EQ(utf8(Io::StandardPaths::kalvexData().value()), "/xdg/data/KalvexRenderer");
    EXPECT_EQ(utf8(Io::StandardPaths::programFiles64bit().value()), "/opt/");
    const std::pair<Expected<Path, String> (*)(), const char*> bundles[] = {
        {&Io::StandardPaths::materialBundle, "/opt/Kalvex/materials"},
        {&Io::StandardPaths::lutBundle, "/opt/Kalvex/lut"},
        {&Io::StandardPaths::iesBundle, "/opt/Kalvex/ies"},
        {&Io::StandardPaths::optixData, "/opt/Kalvex/optix"},
    };
    for (const auto& [function, expected] : bundles)
        EXPECT_EQ(utf8(function().value()), expected);
    EXPECT_TRUE(Io::StandardPaths::systemApplicationData());
    EXPECT_TRUE(Io::StandardPaths::desktop());

    // The temporary folder: $TMPDIR, else $TEMP, else $TMP, else /tmp; normalised (links resolved).
    makeDir("real");
    makeLink(native("real"), "viaLink");
    {
        const ScopedEnv tmpdir("TMPDIR", native("viaLink/").c_str());
        EXPECT_EQ(utf8(Io::StandardPaths::temporary().value()), native("real"));
    }
    {
        const ScopedEnv tmpdir("TMPDIR", nullptr);
        const ScopedEnv temp("TEMP", nullptr);
        const ScopedEnv tmp("TMP", native("real").c_str());
        EXPECT_EQ(utf8(Io::StandardPaths::temporary().value()), native("real"));
        const ScopedEnv none("TMP", nullptr);
        EXPECT_EQ(utf8(Io::StandardPaths::temporary().value()), "/tmp");
    }
}

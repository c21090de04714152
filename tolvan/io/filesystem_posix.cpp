#include "tolvan/io/filesystem.h"

// The file-system layer on POSIX system calls.

#include "tolvan/io/filesystem_posix.h"
#include "tolvan/io/stream.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Kalvex::Io {
namespace {

enum class Probe { MISSING, FILE, DIRECTORY, UNKNOWN };

// "Not found" answers MISSING; any other failure is UNKNOWN, which the queries read as the all-ones
// attribute word (a directory and a link, not a file).
Probe probe(const Path& path, bool followLinks, struct stat* info) {
    const auto native = path.platformStr();
    if (native.isEmpty()) return Probe::MISSING;
    const int rc = followLinks ? ::stat(native.cStr(), info) : ::lstat(native.cStr(), info);
    if (rc != 0) return (errno == ENOENT || errno == ENOTDIR) ? Probe::MISSING : Probe::UNKNOWN;
    return S_ISDIR(info->st_mode) ? Probe::DIRECTORY : Probe::FILE;
}

} // namespace

bool fileExists(const Path& path) {
    struct stat info;
    return probe(path, true, &info) == Probe::FILE;
}

bool dirExists(const Path& path) {
    struct stat info;
    const Probe p = probe(path, true, &info);
    return p == Probe::DIRECTORY || p == Probe::UNKNOWN;
}

bool isLink(const Path& path) {
    struct stat info;
    const Probe p = probe(path, false, &info);
    return p == Probe::UNKNOWN || (p != Probe::MISSING && S_ISLNK(info.st_mode));
}

int64 fileSize(const Path& path) {
    struct stat info;
    if (probe(path, true, &info) != Probe::FILE) return -1;
    return int64(info.st_size);
}

Path workingDirectory() {
    char* cwd = ::getcwd(nullptr, 0);
    if (!cwd) return Path();
    Path result(String::fromUtf8(cwd));
    std::free(cwd);
    return result;
}

bool setWorkingDirectory(const Path& path) {
    const auto native = path.platformStr();
    return !native.isEmpty() && ::chdir(native.cStr()) == 0;
}

bool removeFile(const Path& path) {
    const auto native = path.platformStr();
    return !native.isEmpty() && ::unlink(native.cStr()) == 0;
}

bool removeDir(const Path& path) {
    const auto native = path.platformStr();
    return !native.isEmpty() && ::rmdir(native.cStr()) == 0;
}

// ---------------------------------------------------------------------------------------------------
// Identity and time stamps

namespace {

// Seconds between 1601-01-01 (the file-time epoch) and 1970-01-01.
constexpr uint64 FILE_TIME_EPOCH_OFFSET = 11644473600ull;

TimeStamp toFileTime(int64 seconds, uint32 nanoseconds) {
    return TimeStamp{(uint64(seconds) + FILE_TIME_EPOCH_OFFSET) * 10000000ull + nanoseconds / 100};
}

// Opens a regular file (or a link to one) for reading; -1 when it cannot or it is a directory.
int openFileForReading(const Path& path) {
    const auto native = path.platformStr();
    if (native.isEmpty()) return -1;
    const int fd = ::open(native.cStr(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

uint64 fileId(const Path& path) {
    struct stat info;
    if (probe(path, true, &info) != Probe::FILE) throw Exception::fileAccess(path);
    // The inode number is unique on its device; devices are few, so their number is spread over the
    // high bits before folding.
    return uint64(info.st_ino) ^ (uint64(info.st_dev) * 0x9E3779B97F4A7C15ull);
}

Optional<TimeStamp> getFileTimeStamp(const Path& path, TimeStampType type) {
    if (type != TimeStampType::LastWrite && type != TimeStampType::LastAccess &&
        type != TimeStampType::Creation)
        KALVEX_STOP();
    const int fd = openFileForReading(path);
    if (fd < 0) return NONE;
    struct statx info;
    const unsigned mask = STATX_MTIME | STATX_ATIME | STATX_CTIME | STATX_BTIME;
    const int rc = ::statx(fd, "", AT_EMPTY_PATH, mask, &info);
    ::close(fd);
    if (rc != 0) return NONE;
    switch (type) {
    case TimeStampType::LastWrite:
        return toFileTime(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
    case TimeStampType::LastAccess:
        return toFileTime(info.stx_atime.tv_sec, info.stx_atime.tv_nsec);
    case TimeStampType::Creation:
        if (info.stx_mask & STATX_BTIME) return toFileTime(info.stx_btime.tv_sec, info.stx_btime.tv_nsec);
        return toFileTime(info.stx_ctime.tv_sec, info.stx_ctime.tv_nsec);
    }
    KALVEX_STOP();
}

// ---------------------------------------------------------------------------------------------------
// Listings

namespace Detail {

bool listDirectory(const Path& directory, Stack<DirectoryEntry>& entries) {
    const auto native = directory.platformStr();
    DIR* dir = native.isEmpty() ? nullptr : ::opendir(native.cStr());
    if (!dir) return false;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        DirectoryEntry& out = entries.emplace();
        out.name = String::fromUtf8(name);
        out.link = entry->d_type == DT_LNK;
        out.directory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || out.link) {
            struct stat info;
            if (entry->d_type == DT_UNKNOWN && ::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) == 0)
                out.link = S_ISLNK(info.st_mode);
            out.directory = ::fstatat(dirFd, name, &info, 0) == 0 && S_ISDIR(info.st_mode);
        }
    }
    ::closedir(dir);
    return true;
}

bool createDirectory(const Path& directory) {
    const auto native = directory.platformStr();
    return !native.isEmpty() && ::mkdir(native.cStr(), 0777) == 0;
}

Optional<Path> createTemporaryFile(const Path& parent) {
    auto pattern = (parent / String(u"XXXXXX.tmp")).platformStr();
    if (pattern.isEmpty()) return NONE;
    const int fd = ::mkstemps(pattern.data(), 4);
    if (fd < 0) return NONE;
    ::close(fd);
    return Path(String::fromUtf8(pattern.cStr()));
}

Optional<Path> systemTemporaryDirectory() {
    const char* dir = std::getenv("TMPDIR");
    if (!dir || !*dir) return NONE;
    return Path(String::fromUtf8(dir));
}

} // namespace Detail

Stack<Path> resolvePathWildcards(const String& pattern) {
    Stack<Path> result;
    const auto native = pattern.toUtf8();
    if (native.isEmpty()) return result;
    glob_t found;
    // GLOB_PERIOD: a leading "." is matched like any other character, as on the file systems of
    // Windows, so "*" finds hidden files and "." and "..".
    if (::glob(native.cStr(), GLOB_PERIOD | GLOB_NOSORT, nullptr, &found) == 0) {
        result.reserve(int32(found.gl_pathc));
        for (size_t i = 0; i < found.gl_pathc; ++i)
            result.push(Path(String::fromUtf8(found.gl_pathv[i])));
    }
    ::globfree(&found);
    return result;
}

String::CharBuffer<char> getPathAs8BitCharacters(const Path& path) {
    // Linux keeps no short names: the path of an existing file is its UTF-8 text.
    struct stat info;
    const Probe found = probe(path, true, &info);
    if (found != Probe::FILE && found != Probe::DIRECTORY) return {};
    return path.platformStr();
}

// ---------------------------------------------------------------------------------------------------
// Moving

namespace {

// Renames without replacing an existing target; false when the target exists or renaming fails.
bool renameWithoutReplacing(const char* source, const char* target) {
    if (::renameat2(AT_FDCWD, source, AT_FDCWD, target, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: a hard link fails on an existing target. Directories
    // cannot be linked; they fall back to checking first.
    if (::link(source, target) == 0) {
        if (::unlink(source) == 0) return true;
        ::unlink(target);
        return false;
    }
    if (errno == EEXIST) return false;
    struct stat info;
    if (::lstat(target, &info) == 0) return false;
    return ::rename(source, target) == 0;
}

// Moves a file to another file system: copies it beside the target, syncs it, renames it into place and
// removes the source.
bool moveAcrossFileSystems(const Path& source, const Path& target, bool overwrite) {
    if (!fileExists(source)) return false;
    const Optional<Path> staging = Detail::createTemporaryFile(
        target.parentDirectory().isEmpty() ? Path(u".") : target.parentDirectory());
    if (!staging) return false;
    bool moved = false;
    try {
        moved = copyFile(source, *staging, CopyFile::Overwrite);
    } catch (const Exception&) {
        moved = false;
    }
    const auto stagingNative = staging->platformStr();
    const auto targetNative = target.platformStr();
    if (moved) {
        const int fd = ::open(stagingNative.cStr(), O_RDONLY | O_CLOEXEC);
        moved = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0) ::close(fd);
    }
    if (moved)
        moved = overwrite ? ::rename(stagingNative.cStr(), targetNative.cStr()) == 0
                          : renameWithoutReplacing(stagingNative.cStr(), targetNative.cStr());
    if (!moved) {
        ::unlink(stagingNative.cStr());
        return false;
    }
    return removeFile(source);
}

} // namespace

bool moveFile(const Path& source, const Path& target, Flags<CopyFile> flags) {
    const bool overwrite = flags.has(CopyFile::Overwrite);
    if (!overwrite && fileExists(target)) return false;
    // A directory is never replaced, whatever the flags.
    struct stat info;
    if (probe(target, false, &info) == Probe::DIRECTORY) return false;
    const auto sourceNative = source.platformStr();
    const auto targetNative = target.platformStr();
    if (sourceNative.isEmpty() || targetNative.isEmpty()) return false;
    const bool renamed = overwrite ? ::rename(sourceNative.cStr(), targetNative.cStr()) == 0
                                   : renameWithoutReplacing(sourceNative.cStr(), targetNative.cStr());
    if (renamed) return true;
    if (errno != EXDEV) return false;
    return moveAcrossFileSystems(source, target, overwrite);
}

} // namespace Kalvex::Io

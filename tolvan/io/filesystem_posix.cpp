#include "tolvan/io/filesystem.h"

// The file-system layer on POSIX system calls.

#include <cerrno>
#include <cstdlib>
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

} // namespace Kalvex::Io

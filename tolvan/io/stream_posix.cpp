// File-to-file copies inside the kernel with copy_file_range.
#include "tolvan/io/stream_posix.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Kalvex::Io::Detail {

namespace {

bool isRegularFile(int fd) noexcept {
    struct stat info;
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

bool kernelCopyPossible(std::FILE* in, std::FILE* out) noexcept {
    const int inFd = ::fileno(in);
    const int outFd = ::fileno(out);
    if (inFd < 0 || outFd < 0 || !isRegularFile(inFd) || !isRegularFile(outFd)) return false;
    // copy_file_range refuses a target opened for appending.
    const int outFlags = ::fcntl(outFd, F_GETFL);
    return outFlags >= 0 && (outFlags & O_APPEND) == 0;
}

int64 kernelCopy(std::FILE* in, int64& inOffset, std::FILE* out, int64& outOffset, int64 count) noexcept {
    off_t from = off_t(inOffset);
    off_t to = off_t(outOffset);
    ssize_t n = 0;
    do {
        n = ::copy_file_range(::fileno(in), &from, ::fileno(out), &to, size_t(count), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    inOffset = int64(from);
    outOffset = int64(to);
    return int64(n);
}

} // namespace Kalvex::Io::Detail

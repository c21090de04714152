#include "tolvan/io/stream.h"

#include "tolvan/io/filesystem.h"
#include "tolvan/io/stream_posix.h"
#include "tolvan/platform/debug.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <typeinfo>
#include <unistd.h>

namespace Kalvex::Io {

namespace {

constexpr int64 FORWARD_CHUNK = 65536;

// sum := a + b; false when the sum does not fit (seek offsets come from callers).
bool addPosition(int64 a, int64 b, int64& sum) noexcept {
    return !__builtin_add_overflow(a, b, &sum);
}

} // namespace

// ---- BinaryInputStream ----

int64 BinaryInputStream::read(void* dst, int64 count) {
    if (count < 1 || !dst) {
        mLastReadCount = 0;
        return 0;
    }
    int64 got = 0;
    if (!mPutBack.isEmpty()) {
        got = std::min(mPutBack.size() - mPutBackPosition, count);
        std::memcpy(dst, mPutBack.data() + mPutBackPosition, size_t(got));
        mPutBackPosition += got;
        if (mPutBackPosition == mPutBack.size()) {
            mPutBack = {};
            mPutBackPosition = 0;
        }
    }
    if (count - got < 1) {
        mLastReadCount = count;
        return count;
    }
    mHideSourceEof = false;
    const int64 n = readImpl(static_cast<std::byte*>(dst) + got, count - got);
    mLastReadCount = n + got;
    return n + got;
}

bool BinaryInputStream::eof() const {
    return mPutBack.isEmpty() && !mHideSourceEof ? eofImpl() : false;
}

void BinaryInputStream::putBack(const void* data, int64 count) {
    if (!data || count < 1) return;
    if (count > mLastReadCount) {
        throw Exception(
            "Io::BinaryInputStream::putBack() - putting back more than acquired during the last read.");
    }
    mLastReadCount -= count;
    mHideSourceEof = true;
    if (count <= mPutBackPosition) { // the bytes still sit in the buffer just before the read position
        mPutBackPosition -= count;
        return;
    }
    // The caller's bytes go in front of whatever is still unread in the buffer.
    const int64 unread = mPutBack.size() - mPutBackPosition;
    Stack<std::byte, HeapAllocator, int64> buffer;
    buffer.resize(count + unread);
    std::memcpy(buffer.data(), data, size_t(count));
    if (unread > 0) std::memcpy(buffer.data() + count, mPutBack.data() + mPutBackPosition, size_t(unread));
    mPutBack = std::move(buffer);
    mPutBackPosition = 0;
}

void SeekableBinaryInputStream::putBack(const void* data, int64 count) {
    if (data && count > 0) seekgImpl(-count, SeekOrigin::Current);
}

// ---- File streams ----

namespace {

// Opens the file as the C library's buffered stream; null when it cannot (errno tells why). Directories
// are refused: they cannot be read or written as files.
std::FILE* openCStream(const Path& path, int flags, const char* mode) {
    const int fd = ::open(path.platformStr().cStr(), flags | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, mode);
    if (!file) ::close(fd);
    return file;
}

[[noreturn]] void throwNotOpened() {
    throw Exception("FileInputStream has not been opened.");
}

} // namespace

FileStreamBase::~FileStreamBase() {
    if (!mFile) return;
    try {
        close();
    } catch (...) { // a destructor cannot report the failure
    }
}

FileStreamBase::FileStreamBase(FileStreamBase&& other) noexcept
    : mFileName(std::move(other.mFileName))
    , mFile(std::exchange(other.mFile, nullptr))
    , mFileSize(std::exchange(other.mFileSize, 0)) {
    other.mFileName.clear();
}

FileStreamBase& FileStreamBase::operator=(FileStreamBase&& other) {
    if (this == &other) return *this;
    if (mFile) close();
    mFileName = std::move(other.mFileName);
    other.mFileName.clear();
    mFile = std::exchange(other.mFile, nullptr);
    mFileSize = std::exchange(other.mFileSize, 0);
    return *this;
}

void FileStreamBase::openFile(const Path& path, Mode mode) {
    if (mFile) {
        throw Exception(
            String(u"Opening an instance of FileStream that has already been opened. Current file name: ") +
            mFileName.nativeStr() + String(u" Requested file name: ") + path.nativeStr());
    }
    std::FILE* file = nullptr;
    switch (mode) {
    case Mode::Read:
        file = openCStream(path, O_RDONLY, "rb");
        break;
    case Mode::Write:
        file = openCStream(path, O_RDWR | O_CREAT | O_TRUNC, "wb");
        break;
    case Mode::Append:
        file = openCStream(path, O_RDWR | O_CREAT | O_APPEND, "ab");
        break;
    }
    if (!file) throw Exception::fileAccess(path);

    // Measure the file; a file that cannot be positioned (a pipe, a terminal) is refused.
    int64 size = -1;
    if (::fseeko(file, 0, SEEK_END) == 0) size = ::ftello(file);
    if (size < 0 || (mode != Mode::Append && ::fseeko(file, 0, SEEK_SET) != 0)) {
        std::fclose(file);
        throw Exception::fileAccess(path);
    }
    mFile = file;
    mFileName = path;
    mFileSize = size;
}

void FileStreamBase::close() {
    if (!mFile) throw Exception("FileStream has not been opened.");
    const int result = std::fclose(std::exchange(mFile, nullptr));
    const Path closed = std::move(mFileName);
    mFileName.clear();
    mFileSize = 0;
    if (result != 0) throw Exception(String(u"Failed to close the file: ") + closed.nativeStr());
}

const Path& FileStreamBase::fileName() const {
    if (!mFile) throwNotOpened();
    return mFileName;
}

std::FILE* FileStreamBase::handle() const {
    if (!mFile) throwNotOpened();
    return mFile;
}

int64 FileStreamBase::tell() const {
    return ::ftello(handle());
}

FileInputStream::FileInputStream(const Path& path) {
    open(path);
}

FileInputStream::FileInputStream(FileInputStream&& other) noexcept
    : FileStreamBase(std::move(other))
    , SeekableBinaryInputStream() {}

FileInputStream& FileInputStream::operator=(FileInputStream&& other) {
    FileStreamBase::operator=(std::move(other));
    return *this;
}

void FileInputStream::open(const Path& path) {
    openFile(path, Mode::Read);
}

int64 FileInputStream::readImpl(void* dst, int64 count) {
    std::FILE* file = handle();
    const size_t got = std::fread(dst, 1, size_t(count), file);
    // A read error must not pass for the end of the data (loops waiting for eof would never end).
    if (got < size_t(count) && std::ferror(file)) {
        std::clearerr(file);
        throw Exception::fileAccess(mFileName);
    }
    return int64(got);
}

bool FileInputStream::eofImpl() const {
    return std::feof(handle()) != 0;
}

int64 FileInputStream::tellg() const {
    return tell();
}

void FileInputStream::seekgImpl(int64 offset, SeekOrigin origin) {
    std::FILE* file = handle();
    int64 base = 0;
    int whence = SEEK_SET;
    switch (origin) {
    case SeekOrigin::Begin:
        break;
    case SeekOrigin::Current:
        base = ::ftello(file);
        whence = SEEK_CUR;
        break;
    case SeekOrigin::End:
        base = mFileSize;
        whence = SEEK_END;
        break;
    default:
        KALVEX_STOP();
    }
    int64 target = 0;
    if (!addPosition(base, offset, target) || target > mFileSize) {
        debugPrint("Io::FileInputStream::seekg failed: desiredPosition:", target, ", mFileSize: ", mFileSize);
        throw Exception::fileAccess(mFileName);
    }
    if (::fseeko(file, offset, whence) != 0) throw Exception::fileAccess(mFileName);
}

FileOutputStream::FileOutputStream(const Path& path, Flags<Open> flags) {
    open(path, flags);
}

FileOutputStream::FileOutputStream(FileOutputStream&& other) noexcept
    : FileStreamBase(std::move(other))
    , SeekableBinaryOutputStream() {}

FileOutputStream& FileOutputStream::operator=(FileOutputStream&& other) {
    FileStreamBase::operator=(std::move(other));
    return *this;
}

void FileOutputStream::open(const Path& path, Flags<Open> flags) {
    openFile(path, flags.has(Open::Append) ? Mode::Append : Mode::Write);
}

void FileOutputStream::writeImpl(const void* src, int64 count) {
    if (std::fwrite(src, 1, size_t(count), handle()) != size_t(count)) throw Exception::fileAccess(mFileName);
}

void FileOutputStream::flush() {
    if (std::fflush(handle()) != 0) throw Exception::fileAccess(mFileName);
}

int64 FileOutputStream::tellp() const {
    return tell();
}

void FileOutputStream::seekpImpl(int64 offset, SeekOrigin origin) {
    std::FILE* file = handle();
    int whence = SEEK_SET;
    switch (origin) {
    case SeekOrigin::Begin:
        break;
    case SeekOrigin::Current:
        whence = SEEK_CUR;
        break;
    case SeekOrigin::End:
        whence = SEEK_END;
        break;
    default:
        KALVEX_STOP();
    }
    if (::fseeko(file, offset, whence) != 0) throw Exception::fileAccess(mFileName);
}

// ---- Memory streams ----

namespace {

// The seek target of a memory stream: base + offset when it lies in 0 .. size, else throws `message`.
int64 memorySeekTarget(int64 position, int64 size, int64 offset, SeekOrigin origin, const char* message) {
    int64 base = 0;
    switch (origin) {
    case SeekOrigin::Begin:
        break;
    case SeekOrigin::Current:
        base = position;
        break;
    case SeekOrigin::End:
        base = size;
        break;
    default:
        KALVEX_STOP();
    }
    int64 target = 0;
    if (!addPosition(base, offset, target) || target < 0 || target > size) throw Exception(message);
    return target;
}

[[noreturn]] void throwUninitializedMemoryStream() {
    throw Exception("Using uninitialized MemoryInputStream");
}

} // namespace

void MemoryInputStream::set(const void* data, int64 size) noexcept {
    mData = static_cast<const std::byte*>(data);
    mSize = size;
    mPosition = 0;
    mEof = false;
}

void MemoryInputStream::checkSet() const {
    if (!mData) throwUninitializedMemoryStream();
}

int64 MemoryInputStream::readImpl(void* dst, int64 count) {
    checkSet();
    const int64 n = std::min(mSize - mPosition, count);
    if (n > 0) {
        std::memcpy(dst, mData + mPosition, size_t(n));
        mPosition += n;
    }
    if (n < count) mEof = true;
    return std::max(n, int64(0));
}

bool MemoryInputStream::eofImpl() const {
    checkSet();
    return mEof;
}

int64 MemoryInputStream::tellg() const {
    checkSet();
    return mPosition;
}

void MemoryInputStream::seekgImpl(int64 offset, SeekOrigin origin) {
    checkSet();
    mPosition = memorySeekTarget(mPosition, mSize, offset, origin,
                                 "MemoryInputStream: seeking outside memory boundaries.");
    mEof = false;
}

MemoryOutputStream::MemoryOutputStream(void* data, int64 size)
    : mData(static_cast<std::byte*>(data))
    , mSize(size) {
    checkSet();
}

void MemoryOutputStream::checkSet() const {
    if (!mData) throwUninitializedMemoryStream();
}

void MemoryOutputStream::writeImpl(const void* src, int64 count) {
    checkSet();
    const int64 n = std::min(mSize - mPosition, count);
    if (n <= 0) return;
    std::memcpy(mData + mPosition, src, size_t(n));
    mPosition += n;
}

int64 MemoryOutputStream::tellp() const {
    checkSet();
    return mPosition;
}

void MemoryOutputStream::seekpImpl(int64 offset, SeekOrigin origin) {
    checkSet();
    mPosition = memorySeekTarget(mPosition, mSize, offset, origin,
                                 "MemoryOutputStream: seeking outside memory boundaries.");
}

// ---- Helpers ----

void readRequired(BinaryInputStream& in, void* dst, int64 count) {
    if (in.read(dst, count) != count) {
        throw Exception("Could not extract the required number of bytes from the input stream");
    }
}

} // namespace Kalvex::Io

namespace Kalvex::Detail {

// Copying between two plain files inside the kernel, in the pieces the copy through memory uses.
struct FileStreamCopy {
    // True when `in` and `out` are exactly a FileInputStream and a FileOutputStream on regular files that
    // the kernel can copy between, and `in` holds no put-back bytes and has not seen its end.
    static bool possible(const Io::BinaryInputStream& in, const Io::BinaryOutputStream& out) noexcept {
        if (typeid(in) != typeid(Io::FileInputStream) || typeid(out) != typeid(Io::FileOutputStream))
            return false;
        std::FILE* source = static_cast<const Io::FileInputStream&>(in).mFile;
        std::FILE* target = static_cast<const Io::FileOutputStream&>(out).mFile;
        return source && target && in.mPutBack.isEmpty() && !in.mHideSourceEof && !std::feof(source) &&
               Io::Detail::kernelCopyPossible(source, target);
    }

    // Copies whole pieces at the streams' positions while the kernel can, adding each to `total` and
    // reporting it; returns how much of the piece it stopped in was copied (at the end of the source, or
    // where the kernel gave up). The streams are left just after the copied bytes.
    static int64 wholePieces(Io::FileInputStream& in, Io::FileOutputStream& out, int64& total,
                             const Function<void(int64)>* progress) {
        // Buffered output goes to the file before the kernel writes after it.
        if (std::fflush(out.mFile) != 0) return 0;
        Positions at{in.mFile, out.mFile};
        if (at.source < 0 || at.target < 0) return 0;
        int64 piece = 0;
        while (const int64 n = Io::Detail::kernelCopy(in.mFile, at.source, out.mFile, at.target,
                                                      Io::FORWARD_CHUNK - piece)) {
            if (n < 0) break;
            piece += n;
            if (piece < Io::FORWARD_CHUNK) continue;
            total += piece;
            piece = 0;
            if (progress) (*progress)(total);
        }
        return piece;
    }

private:
    // The offsets the kernel copies at, handed back to the C streams on the way out (also when the
    // progress call throws); the source's read-ahead is dropped.
    struct Positions {
        Positions(std::FILE* in, std::FILE* out)
            : source(::ftello(in))
            , target(::ftello(out))
            , mIn(in)
            , mOut(out) {}
        ~Positions() {
            if (source >= 0) ::fseeko(mIn, source, SEEK_SET);
            if (target >= 0) ::fseeko(mOut, target, SEEK_SET);
        }
        Positions(const Positions&) = delete;
        Positions& operator=(const Positions&) = delete;

        int64 source;
        int64 target;

    private:
        std::FILE* mIn;
        std::FILE* mOut;
    };
};

} // namespace Kalvex::Detail

namespace Kalvex::Io {

namespace {

int64 forwardChunks(BinaryInputStream& in, BinaryOutputStream& out, const Function<void(int64)>* progress) {
    std::byte buffer[FORWARD_CHUNK];
    int64 total = 0;
    // The bytes of the current chunk that the kernel has already copied.
    int64 copied = 0;
    if (Kalvex::Detail::FileStreamCopy::possible(in, out)) {
        copied = Kalvex::Detail::FileStreamCopy::wholePieces(
            static_cast<FileInputStream&>(in), static_cast<FileOutputStream&>(out), total, progress);
    }
    do {
        const int64 got = in.read(buffer, FORWARD_CHUNK - copied);
        if (got > 0) out.write(buffer, got);
        const int64 n = copied + got;
        copied = 0;
        if (n != 0) {
            total += n;
            if (progress) (*progress)(total);
        }
    } while (!in.eof());
    return total;
}

int64 forwardToFile(BinaryInputStream& in, const Path& file, const Function<void(int64)>* progress) {
    // A failed open leaves an existing file untouched: only delete what this call created or truncated.
    const bool existed = fileExists(file);
    bool opened = false;
    try {
        FileOutputStream out(file);
        opened = true;
        const int64 total = forwardChunks(in, out, progress);
        out.close();
        return total;
    } catch (...) {
        if ((opened || !existed) && fileExists(file)) removeFile(file);
        throw;
    }
}

} // namespace

int64 forwardStreamTo(BinaryInputStream& in, BinaryOutputStream& out) {
    return forwardChunks(in, out, nullptr);
}

int64 forwardStreamTo(BinaryInputStream& in, BinaryOutputStream& out, const Function<void(int64)>& progress) {
    return forwardChunks(in, out, &progress);
}

int64 forwardStreamToFile(BinaryInputStream& in, const Path& file) {
    return forwardToFile(in, file, nullptr);
}

int64 forwardStreamToFile(BinaryInputStream& in, const Path& file, const Function<void(int64)>& progress) {
    return forwardToFile(in, file, &progress);
}

Expected<Array<std::byte>, String> readBinaryFile(const Path& path) {
    try {
        const int64 size = fileSize(path);
        if (size > int64(INT32_MAX)) {
            return makeUnexpected(String(u"Cannot read file '") + path.genericStr() +
                                  String(u"' into memory: files of 2 GiB or more are not supported"));
        }
        auto bytes = Array<std::byte>::uninitialized(size > 0 ? int(size) : 0); // filled by the read below
        FileInputStream in(path);
        const int64 got = in.read(bytes.data(), bytes.size());
        // A file that shrank since it was measured keeps only the bytes that were read.
        if (got < bytes.size()) bytes.resize(int(got));
        return bytes;
    } catch (const std::exception& e) {
        return makeUnexpected(String::fromUtf8(e.what()));
    } catch (...) {
        return makeUnexpected(String(u"unknown error"));
    }
}

void writeBinaryFile(const Path& path, ArrayView<const std::byte> bytes) {
    FileOutputStream out(path);
    out.write(bytes.data(), bytes.size());
    out.close();
}

BinaryOutputStream& flush(BinaryOutputStream& out) {
    out.flush();
    return out;
}

} // namespace Kalvex::Io

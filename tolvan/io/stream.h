// Byte streams: the input and output interfaces every stream of the library implements, their seekable
// refinements, streams over files, caller-owned memory and other streams, and helpers that copy a stream
// or read and write a whole file.
//
//   Io::FileInputStream in(u"/data/scene.bin");
//   Io::ArrayOutputStream copy;
//   Io::forwardStreamTo(in, copy);            // copy.data() now holds the file's bytes
//
// Positions and counts are signed 64-bit. Every failure throws Exception, except readBinaryFile, which
// answers with an Expected. No stream locks anything: use one stream from one thread at a time.
#pragma once

#include "tolvan/common/exception.h"
#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/array.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/stack.h"
#include "tolvan/io/path.h"

#include <cstddef>
#include <cstdio>

namespace Kalvex::Detail {
struct FileStreamCopy;
} // namespace Kalvex::Detail

namespace Kalvex::Io {

/// Reference point of a seek.
enum class SeekOrigin : int32 {
    Begin = 0,
    Current = 1,
    End = 2,
};

// ---- Interfaces ----

/// A source of bytes. Derived streams implement readImpl and eofImpl; callers use read and eof, which
/// first deliver bytes that were put back.
class BinaryInputStream : public Polymorphic {
public:
    ~BinaryInputStream() override = default;

    /// Reads up to `count` bytes into `dst`; returns how many came (0 when `dst` is null or count < 1).
    /// Put-back bytes come first. A short count does not by itself mean end of data: see eof().
    int64 read(void* dst, int64 count);

    /// True once a read asked for more than was left: never while put-back bytes remain, nor after they
    /// were read again until a read asks the source for more.
    [[nodiscard]] bool eof() const;

    /// Makes the next read deliver `count` bytes again: the last `count` bytes read, held in `data`.
    /// This form buffers them and throws Exception when more is put back than the last read delivered
    /// (less what was already put back); seekable streams seek back instead. Null `data` or count < 1
    /// does nothing.
    virtual void putBack(const void* data, int64 count);

protected:
    BinaryInputStream() = default;
    /// Copies the put-back bytes and counts along with the stream (for derived classes only).
    BinaryInputStream(const BinaryInputStream&) = default;
    /// Copies the put-back bytes and counts along with the stream (for derived classes only).
    BinaryInputStream& operator=(const BinaryInputStream&) = default;

    /// Delivers up to `count` (>= 1) bytes into `dst` (non-null); returns the number delivered.
    virtual int64 readImpl(void* dst, int64 count) = 0;
    /// True when the last readImpl came short because the data ended.
    [[nodiscard]] virtual bool eofImpl() const = 0;

private:
    friend struct Kalvex::Detail::FileStreamCopy;

    // Bytes put back into a non-seekable stream; empty (and unallocated) when none wait.
    Stack<std::byte, HeapAllocator, int64> mPutBack;
    int64 mPutBackPosition = 0;
    // Bytes delivered by the most recent read, less what was put back since: the most a put-back may
    // return.
    int64 mLastReadCount = 0;
    // Set when bytes are put back, cleared when a read reaches readImpl again: the end of data that the
    // source saw while those bytes were first read must not show once they have been read again.
    bool mHideSourceEof = false;
};

/// An input stream with a position that can be moved.
class SeekableBinaryInputStream : public BinaryInputStream {
public:
    /// Seeks back by `count` bytes from the current position (no check against what was read).
    void putBack(const void* data, int64 count) override;

    /// The current position.
    [[nodiscard]] virtual int64 tellg() const = 0;
    /// Moves the position; throws Exception when the target is out of range. Clears end of data.
    virtual void seekgImpl(int64 offset, SeekOrigin origin) = 0;
    /// Same as seekgImpl.
    void seekg(int64 offset, SeekOrigin origin = SeekOrigin::Begin) { seekgImpl(offset, origin); }

protected:
    SeekableBinaryInputStream() = default;
    /// For derived classes only.
    SeekableBinaryInputStream(const SeekableBinaryInputStream&) = default;
    /// For derived classes only.
    SeekableBinaryInputStream& operator=(const SeekableBinaryInputStream&) = default;
};

/// A sink of bytes. Derived streams implement writeImpl (and flush when they buffer).
class BinaryOutputStream : public Polymorphic {
public:
    ~BinaryOutputStream() override = default;

    /// Writes `count` bytes from `src`; does nothing when `src` is null or count < 1.
    void write(const void* src, int64 count) {
        if (src && count >= 1) writeImpl(src, count);
    }
    /// Hands buffered bytes on to their destination; does nothing unless the stream buffers.
    virtual void flush() {}

protected:
    BinaryOutputStream() = default;
    /// For derived classes only.
    BinaryOutputStream(const BinaryOutputStream&) = default;
    /// For derived classes only.
    BinaryOutputStream& operator=(const BinaryOutputStream&) = default;

    /// Writes `count` (>= 1) bytes from `src` (non-null).
    virtual void writeImpl(const void* src, int64 count) = 0;
};

/// An output stream with a position that can be moved.
class SeekableBinaryOutputStream : public BinaryOutputStream {
public:
    /// The current position.
    [[nodiscard]] virtual int64 tellp() const = 0;
    /// Moves the position; see the concrete stream for the accepted range.
    virtual void seekpImpl(int64 offset, SeekOrigin origin) = 0;
    /// Same as seekpImpl.
    void seekp(int64 offset, SeekOrigin origin = SeekOrigin::Begin) { seekpImpl(offset, origin); }

protected:
    SeekableBinaryOutputStream() = default;
    /// For derived classes only.
    SeekableBinaryOutputStream(const SeekableBinaryOutputStream&) = default;
    /// For derived classes only.
    SeekableBinaryOutputStream& operator=(const SeekableBinaryOutputStream&) = default;
};

// ---- File streams ----

/// The open file shared by FileInputStream and FileOutputStream: a buffered C stream, its path and the
/// file's length when it was opened. Move-only; destruction closes the file and ignores close errors.
class FileStreamBase : public Noncopyable {
public:
    virtual ~FileStreamBase();

    /// Closes the file; throws Exception when nothing is open or the system reports a failure (the stream
    /// is closed either way).
    void close();
    /// Whether a file is open.
    [[nodiscard]] bool isOpen() const noexcept { return mFile != nullptr; }
    /// The open file's path; throws Exception when closed.
    [[nodiscard]] const Path& fileName() const;

protected:
    friend struct Kalvex::Detail::FileStreamCopy;

    /// How openFile opens the file: for reading, for writing (created or truncated), or for appending.
    enum class Mode { Read = 1, Write = 2, Append = 4 };

    FileStreamBase() noexcept = default;
    /// Takes over `other`'s file; `other` is closed afterwards.
    FileStreamBase(FileStreamBase&& other) noexcept;
    /// Closes this stream's own file first (a close failure propagates and nothing is taken over).
    FileStreamBase& operator=(FileStreamBase&& other);

    /// Opens `path` in `mode` and measures it; throws Exception when already open or the file cannot be
    /// opened (the stream stays closed).
    void openFile(const Path& path, Mode mode);
    /// The open C stream; throws Exception when closed.
    [[nodiscard]] std::FILE* handle() const;
    /// The C stream's position; throws Exception when closed.
    [[nodiscard]] int64 tell() const;

    /// The open file's path; empty while closed.
    Path mFileName;
    /// The buffered C stream; null while closed.
    std::FILE* mFile = nullptr;
    /// The file's length when it was opened.
    int64 mFileSize = 0;
};

/// Reads a file. Opening fails for a missing file or a directory.
class FileInputStream : public FileStreamBase, public SeekableBinaryInputStream {
public:
    FileInputStream() noexcept = default;
    /// Opens `path` for reading; throws Exception::fileAccess when it cannot.
    explicit FileInputStream(const Path& path);
    /// Takes over `other`'s file; `other` is closed afterwards.
    FileInputStream(FileInputStream&& other) noexcept;
    /// Closes this stream's file, then takes over `other`'s.
    FileInputStream& operator=(FileInputStream&& other);

    /// Opens `path` for reading; throws Exception when already open or the file cannot be opened.
    void open(const Path& path);

    [[nodiscard]] int64 tellg() const override;
    /// Seeks within 0 .. the length measured at opening; throws Exception::fileAccess outside it.
    void seekgImpl(int64 offset, SeekOrigin origin) override;

protected:
    int64 readImpl(void* dst, int64 count) override;
    [[nodiscard]] bool eofImpl() const override;
};

/// Writes a file: created or truncated, or appended to with Open::Append.
class FileOutputStream : public FileStreamBase, public SeekableBinaryOutputStream {
public:
    /// How the file is opened.
    enum class Open : uint32 {
        /// Keep the content and write at the end.
        Append = 1,
    };

    FileOutputStream() noexcept = default;
    /// Opens `path` for writing; throws Exception::fileAccess when it cannot.
    explicit FileOutputStream(const Path& path, Flags<Open> flags = {});
    /// Takes over `other`'s file; `other` is closed afterwards.
    FileOutputStream(FileOutputStream&& other) noexcept;
    /// Closes this stream's file, then takes over `other`'s.
    FileOutputStream& operator=(FileOutputStream&& other);

    /// Opens `path` for writing; throws Exception when already open or the file cannot be opened.
    void open(const Path& path, Flags<Open> flags = {});

    /// Writes buffered bytes to the file; throws Exception::fileAccess on failure.
    void flush() override;
    [[nodiscard]] int64 tellp() const override;
    /// Seeks like the C library (no range check); throws Exception::fileAccess when refused.
    void seekpImpl(int64 offset, SeekOrigin origin) override;

protected:
    /// Throws Exception::fileAccess unless every byte was written.
    void writeImpl(const void* src, int64 count) override;
};

// ---- Forwarding streams ----

/// Reads through to another stream, which must outlive this one; put-back bytes live in the target.
class ForwardingBinaryInputStream : public BinaryInputStream {
public:
    /// Reads from `target`.
    explicit ForwardingBinaryInputStream(BinaryInputStream& target) noexcept
        : mTarget(target) {}
    void putBack(const void* data, int64 count) override { mTarget.putBack(data, count); }

protected:
    int64 readImpl(void* dst, int64 count) override { return mTarget.read(dst, count); }
    [[nodiscard]] bool eofImpl() const override { return mTarget.eof(); }

private:
    BinaryInputStream& mTarget;
};

/// Writes through to another stream, which must outlive this one.
class ForwardingBinaryOutputStream : public BinaryOutputStream {
public:
    /// Writes to `target`.
    explicit ForwardingBinaryOutputStream(BinaryOutputStream& target) noexcept
        : mTarget(target) {}
    void flush() override { mTarget.flush(); }

protected:
    void writeImpl(const void* src, int64 count) override { mTarget.write(src, count); }

private:
    BinaryOutputStream& mTarget;
};

// ---- Memory streams ----

/// Reads a block of memory owned by the caller. Every operation throws Exception while no block is set.
class MemoryInputStream : public SeekableBinaryInputStream {
public:
    MemoryInputStream() noexcept = default;
    /// Reads the `size` bytes at `data` (null leaves the stream unset).
    MemoryInputStream(const void* data, int64 size) noexcept
        : mData(static_cast<const std::byte*>(data))
        , mSize(size) {}

    /// Reads another block from its start.
    void set(const void* data, int64 size) noexcept;

    [[nodiscard]] int64 tellg() const override;
    /// Accepts 0 <= target <= size, else throws Exception; clears end of data.
    void seekgImpl(int64 offset, SeekOrigin origin) override;

protected:
    int64 readImpl(void* dst, int64 count) override;
    [[nodiscard]] bool eofImpl() const override;

private:
    void checkSet() const;

    const std::byte* mData = nullptr;
    int64 mSize = 0;
    int64 mPosition = 0;
    bool mEof = false;
};

/// Writes into a block of memory owned by the caller; bytes past its end are dropped silently.
class MemoryOutputStream : public SeekableBinaryOutputStream {
public:
    MemoryOutputStream() noexcept = default;
    /// Writes into the `size` bytes at `data`; throws Exception when `data` is null.
    MemoryOutputStream(void* data, int64 size);

    [[nodiscard]] int64 tellp() const override;
    /// Accepts 0 <= target <= size, else throws Exception.
    void seekpImpl(int64 offset, SeekOrigin origin) override;

protected:
    void writeImpl(const void* src, int64 count) override;

private:
    void checkSet() const;

    std::byte* mData = nullptr;
    int64 mSize = 0;
    int64 mPosition = 0;
};

// ---- Helpers ----

/// Reads exactly `count` bytes; throws Exception when fewer came.
void readRequired(BinaryInputStream& in, void* dst, int64 count);

/// Copies `in` to `out` in 64 KiB chunks until `in` reports end of data; returns the byte count.
/// `progress` receives the running total after every chunk. Between a FileInputStream and a
/// FileOutputStream the kernel moves the bytes, with the same chunks, results and positions.
///@{
int64 forwardStreamTo(BinaryInputStream& in, BinaryOutputStream& out);
int64 forwardStreamTo(BinaryInputStream& in, BinaryOutputStream& out, const Function<void(int64)>& progress);
///@}

/// Copies `in` into `file` (created or truncated); returns the byte count. When anything throws, the
/// file this call created or truncated is deleted and the exception is rethrown.
///@{
int64 forwardStreamToFile(BinaryInputStream& in, const Path& file);
int64 forwardStreamToFile(BinaryInputStream& in, const Path& file, const Function<void(int64)>& progress);
///@}

/// The whole file in memory, or the failure's message. Files of 2 GiB or more are refused.
[[nodiscard]] Expected<Array<std::byte>, String> readBinaryFile(const Path& path);

/// Writes `bytes` as the whole content of `path` (created or truncated); throws Exception on failure.
void writeBinaryFile(const Path& path, ArrayView<const std::byte> bytes);

/// Calls out.flush() and returns `out`.
BinaryOutputStream& flush(BinaryOutputStream& out);

} // namespace Kalvex::Io

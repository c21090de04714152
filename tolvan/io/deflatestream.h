// Deflate streams: binary streams that decompress from, or compress into, another binary stream they own.
// The data is the zlib format (deflate inside a zlib header and Adler-32 trailer) at zlib's default level,
// moved in 128 KiB blocks in both directions.
//
//   Io::DeflateOutputStream out(Io::Path(u"/data/scene.z"));
//   out.write(bytes, count);
//   const int64 compressed = out.close();          // exact number of bytes in the file
//
//   Io::DeflateInputStream in(Io::Path(u"/data/scene.z"));
//   while (const int64 n = in.read(buffer, sizeof buffer)) use(buffer, n);
//
// Every failure throws Exception; failures of the wrapped stream pass through unchanged.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/io/path.h"
#include "tolvan/io/stream.h"

namespace Kalvex {

namespace Detail {
// zlib's stream state and the stream's buffers; defined beside the code that uses zlib.
struct InflateState;
struct DeflateState;
} // namespace Detail

namespace Io {

/// Decompresses zlib data read from a source it owns. Read-ahead that lies beyond the end of the
/// compressed data is put back into the source at destruction, so a stream behind a
/// ForwardingBinaryInputStream can go on reading what follows. Memory use is two 128 KiB buffers plus
/// zlib's state, whatever the size of the decompressed data.
class DeflateInputStream : public BinaryInputStream, public Noncopyable {
public:
    /// An uninitialised stream: every operation throws Exception.
    DeflateInputStream() noexcept = default;
    /// Decompresses `source`; a null source gives an uninitialised stream. Throws Exception when zlib
    /// cannot be initialised.
    explicit DeflateInputStream(AutoPtr<BinaryInputStream>&& source);
    /// Decompresses the file at `path`; throws Exception::fileAccess when it cannot be opened.
    explicit DeflateInputStream(const Path& path);
    /// Puts unused read-ahead back into the source (failures are ignored), then destroys the source.
    ~DeflateInputStream() override;

protected:
    /// Delivers decompressed bytes; throws Exception for corrupt or truncated data and on an
    /// uninitialised stream.
    int64 readImpl(void* dst, int64 count) override;
    /// True once a read came back short because the data ended.
    [[nodiscard]] bool eofImpl() const override;

private:
    void checkInitialised() const;
    // Decompresses up to one block (131072 bytes) into `out`; returns the bytes produced, 0 once the
    // data has ended.
    int32 inflateBlock(std::byte* out);
    [[noreturn]] void fail();

    AutoPtr<BinaryInputStream> mSource;
    Detail::InflateState* mState = nullptr;
    int32 mOutputFill = 0;
    int32 mOutputPosition = 0;
    bool mStreamEnd = false;
    bool mEof = false;
    bool mFailed = false;
};

/// Compresses written bytes into a target it owns. Input is compressed in blocks of 128 KiB, so until
/// close the target holds only the compressed form of complete blocks; flush compresses nothing.
class DeflateOutputStream : public BinaryOutputStream, public Noncopyable {
public:
    /// An uninitialised stream: every operation throws Exception.
    DeflateOutputStream() noexcept = default;
    /// Compresses into `target`; a null target gives an uninitialised stream. Throws Exception when zlib
    /// cannot be initialised.
    explicit DeflateOutputStream(AutoPtr<BinaryOutputStream>&& target);
    /// Compresses into the file at `path` (created or truncated); throws Exception::fileAccess when it
    /// cannot be opened.
    explicit DeflateOutputStream(const Path& path);
    /// Finishes the compressed data unless closed (failures are ignored), then destroys the target.
    ~DeflateOutputStream() override;

    /// Finishes the compressed data, flushes and destroys the target; returns the number of compressed
    /// bytes written to it. Throws Exception when uninitialised or already closed.
    int64 close();
    /// Flushes the target only (buffered input stays uncompressed); throws Exception when uninitialised.
    void flush() override;

protected:
    /// Buffers the bytes, compressing each full 128 KiB block; throws Exception when uninitialised or
    /// after a failed write to the target (the compressed data would be incomplete).
    void writeImpl(const void* src, int64 count) override;

private:
    void checkInitialised() const;
    void checkTargetIntact() const;
    // Compresses the pending input with the zlib flush mode and writes the result to the target.
    void compressPending(int mode);
    // Ends zlib's state and destroys the target.
    void release() noexcept;

    AutoPtr<BinaryOutputStream> mTarget;
    Detail::DeflateState* mState = nullptr;
    int32 mPending = 0;
    int64 mCompressedTotal = 0;
    // A write to the target failed: the compressed data is broken, so nothing more is accepted.
    bool mTargetFailed = false;
};

} // namespace Io
} // namespace Kalvex

// Stream adapters that let OpenImageIO read from and write to the library's seekable streams, through
// its I/O proxy facility (an ImageInput or ImageOutput opened with the "oiio:ioproxy" attribute, or
// given the proxy directly). This header names OpenImageIO types: include it only where OpenImageIO's
// headers are available and link OpenImageIO yourself; the rest of the library never needs it.
//
//   SeekableBinaryInputStreamOiioAdapter proxy(stream);
//   OIIO::ImageSpec config;
//   config.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxyPointer);   // IOProxy* proxyPointer
//
// Positions seen by OpenImageIO count from where the stream stood when the adapter was made. A failure
// of the stream (its Exception) is not thrown through OpenImageIO: the call reports failure to it, and
// rethrowFailure() hands the stream's exception to the caller afterwards.
#pragma once

#include "tolvan/io/stream.h"

#include <OpenImageIO/filesystem.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

namespace Kalvex {

/// Reads a SeekableBinaryInputStream, which must outlive the adapter.
class SeekableBinaryInputStreamOiioAdapter final : public OIIO::Filesystem::IOProxy {
public:
    /// Reads from the stream's current position on; measures the stream's length.
    explicit SeekableBinaryInputStreamOiioAdapter(Io::SeekableBinaryInputStream& stream);

    /// The proxy's type name, "tolvanstream".
    const char* proxytype() const override { return "tolvanstream"; }
    /// The bytes read (fewer at the end; 0 after a stream failure).
    size_t read(void* buf, size_t size) override;
    /// Moves to `offset`; false outside 0 .. size() or after a stream failure.
    bool seek(int64_t offset) override;
    /// The position relative to where the adapter started; -1 after a stream failure.
    int64_t tell() override;
    /// Reads at `offset` and restores the position.
    size_t pread(void* buf, size_t size, int64_t offset) override;
    /// The bytes from the starting position to the stream's end.
    size_t size() const override { return size_t(mSize); }

    /// Whether the last read came short at the end of the data.
    [[nodiscard]] bool isEof() const { return mStream.eof(); }
    /// Throws the first Exception the stream threw, if any.
    void rethrowFailure() const;

private:
    template <typename F>
    auto guarded(F&& f, decltype(f()) onFailure) -> decltype(f());

    Io::SeekableBinaryInputStream& mStream;
    int64_t mBase = 0;
    int64_t mSize = 0;
    std::exception_ptr mFailure;
    std::mutex mMutex;
};

/// Writes a SeekableBinaryOutputStream, which must outlive the adapter.
class SeekableBinaryOutputStreamOiioAdapter final : public OIIO::Filesystem::IOProxy {
public:
    /// Writes from the stream's current position on.
    explicit SeekableBinaryOutputStreamOiioAdapter(Io::SeekableBinaryOutputStream& stream);

    /// The proxy's type name, "tolvanstream".
    const char* proxytype() const override { return "tolvanstream"; }
    /// `size` on success, 0 after a stream failure.
    size_t write(const void* buf, size_t size) override;
    /// Moves to `offset` (>= 0); false when the stream refuses.
    bool seek(int64_t offset) override;
    /// The position relative to where the adapter started; -1 after a stream failure.
    int64_t tell() override;
    /// Writes at `offset` and restores the position.
    size_t pwrite(const void* buf, size_t size, int64_t offset) override;
    /// The end of what was written so far.
    size_t size() const override { return size_t(mSize); }
    /// Flushes the stream; a failure is reported by the next write or the caller's own flush.
    void flush() const override;

    /// Throws the first Exception the stream threw, if any.
    void rethrowFailure() const;

private:
    template <typename F>
    auto guarded(F&& f, decltype(f()) onFailure) -> decltype(f());

    Io::SeekableBinaryOutputStream& mStream;
    int64_t mBase = 0;
    int64_t mSize = 0;
    std::exception_ptr mFailure;
    std::mutex mMutex;
};

namespace Detail {
/// Hands the library's size limits to OpenImageIO, once, before the first image is opened.
void configureOpenImageIo();
/// OpenImageIO's UTF-8 text as a String.
[[nodiscard]] String fromOiioText(const std::string& text);
/// Throws Exception(message), followed by " -- " and `error` when that is not empty.
[[noreturn]] void throwWithOiioError(String message, const std::string& error);
} // namespace Detail

} // namespace Kalvex

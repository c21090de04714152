#include "tolvan/io/deflatestream.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <zlib.h>

namespace Kalvex {

namespace {

// Block size of both directions: the buffers, the reads from the source and the compression output.
constexpr int32 BLOCK = 131072;

} // namespace

namespace Detail {

// zlib allocates its own state (no custom allocator). The buffers are left uninitialised.
struct InflateState {
    InflateState() noexcept
        : stream{} {}
    z_stream stream;
    std::byte input[BLOCK];
    std::byte output[BLOCK];
};

struct DeflateState {
    DeflateState() noexcept
        : stream{} {}
    z_stream stream;
    std::byte input[BLOCK];
};

} // namespace Detail

namespace Io {

namespace {

Bytef* bytes(std::byte* p) noexcept {
    return reinterpret_cast<Bytef*>(p);
}

} // namespace

// ---- DeflateInputStream ----

DeflateInputStream::DeflateInputStream(AutoPtr<BinaryInputStream>&& source)
    : mSource(std::move(source)) {
    if (!mSource) return;
    auto* state = tolvanNew<Detail::InflateState>();
    if (inflateInit(&state->stream) != Z_OK) {
        tolvanDelete(state);
        throw Exception("Could not initialize zlib for ZipInputStream");
    }
    mState = state;
}

DeflateInputStream::DeflateInputStream(const Path& path)
    : DeflateInputStream(AutoPtr<BinaryInputStream>(makeAutoPtr<FileInputStream>(path))) {}

DeflateInputStream::~DeflateInputStream() {
    if (!mState) return;
    z_stream& z = mState->stream;
    // Bytes read from the source but not consumed by zlib: the tail of the last source read.
    if (z.avail_in > 0) {
        try {
            mSource->putBack(z.next_in, int64(z.avail_in));
        } catch (...) { // a destructor cannot report the failure
        }
    }
    inflateEnd(&z);
    tolvanDelete(mState);
}

void DeflateInputStream::checkInitialised() const {
    if (!mState) throw Exception("Using uninitialized ZipInputStream");
}

void DeflateInputStream::fail() {
    mFailed = true;
    throw Exception("Error while uncompressing data");
}

int64 DeflateInputStream::readImpl(void* dst, int64 count) {
    checkInitialised();
    if (count < 1) return 0;
    if (mFailed) fail();
    auto* out = static_cast<std::byte*>(dst);
    int64 delivered = 0;
    for (;;) {
        const int64 n = std::min(int64(mOutputFill - mOutputPosition), count - delivered);
        std::memcpy(out + delivered, mState->output + mOutputPosition, size_t(n));
        mOutputPosition += int32(n);
        delivered += n;
        if (delivered == count) return count;
        if (mStreamEnd) break;
        // The output buffer is empty now. A whole block that the caller wants goes straight to them.
        mOutputFill = 0;
        mOutputPosition = 0;
        if (count - delivered >= BLOCK) {
            const int32 produced = inflateBlock(out + delivered);
            if (produced == 0) break;
            delivered += produced;
        } else {
            mOutputFill = inflateBlock(mState->output);
            if (mOutputFill == 0) break;
        }
    }
    mEof = true;
    return delivered;
}

int32 DeflateInputStream::inflateBlock(std::byte* out) {
    z_stream& z = mState->stream;
    z.next_out = bytes(out);
    z.avail_out = BLOCK;
    do {
        if (z.avail_in == 0) {
            // A source that has ended (or answers 0 bytes) leaves zlib without input: inflate then
            // reports Z_BUF_ERROR, so truncated data fails instead of waiting for ever.
            z.next_in = bytes(mState->input);
            z.avail_in = uInt(mSource->read(mState->input, BLOCK));
        }
        const int result = inflate(&z, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) fail();
        mStreamEnd = result == Z_STREAM_END;
    } while (!mStreamEnd && z.avail_out > 0);
    return BLOCK - int32(z.avail_out);
}

bool DeflateInputStream::eofImpl() const {
    checkInitialised();
    return mEof;
}

// ---- DeflateOutputStream ----

DeflateOutputStream::DeflateOutputStream(AutoPtr<BinaryOutputStream>&& target)
    : mTarget(std::move(target)) {
    if (!mTarget) return;
    auto* state = tolvanNew<Detail::DeflateState>();
    if (deflateInit(&state->stream, Z_DEFAULT_COMPRESSION) != Z_OK) {
        tolvanDelete(state);
        throw Exception("Could not initialize zlib for ZipOutputStream");
    }
    mState = state;
}

DeflateOutputStream::DeflateOutputStream(const Path& path)
    : DeflateOutputStream(AutoPtr<BinaryOutputStream>(makeAutoPtr<FileOutputStream>(path))) {}

DeflateOutputStream::~DeflateOutputStream() {
    if (!mState) return;
    try {
        if (!mTargetFailed) compressPending(Z_FINISH);
    } catch (...) { // a destructor cannot report the failure
    }
    release();
}

void DeflateOutputStream::checkInitialised() const {
    if (!mState) throw Exception("Using uninitialized ZipOutputStream");
}

void DeflateOutputStream::checkTargetIntact() const {
    if (mTargetFailed) {
        throw Exception("Cannot go on compressing: an earlier write of compressed data to the target failed");
    }
}

void DeflateOutputStream::writeImpl(const void* src, int64 count) {
    checkInitialised();
    checkTargetIntact();
    const auto* in = static_cast<const std::byte*>(src);
    while (count > 0) {
        const int32 n = int32(std::min(count, int64(BLOCK - mPending)));
        std::memcpy(mState->input + mPending, in, size_t(n));
        mPending += n;
        in += n;
        count -= n;
        if (mPending == BLOCK) compressPending(Z_NO_FLUSH);
    }
}

void DeflateOutputStream::compressPending(int mode) {
    z_stream& z = mState->stream;
    z.next_in = bytes(mState->input);
    z.avail_in = uInt(mPending);
    std::byte area[BLOCK];
    do {
        z.next_out = bytes(area);
        z.avail_out = BLOCK;
        deflate(&z, mode);
        const int64 produced = BLOCK - int64(z.avail_out);
        if (produced > 0) {
            try {
                mTarget->write(area, produced);
            } catch (...) {
                mTargetFailed = true;
                throw;
            }
            mCompressedTotal += produced;
        }
    } while (z.avail_out == 0);
    mPending = 0;
}

void DeflateOutputStream::flush() {
    checkInitialised();
    mTarget->flush();
}

int64 DeflateOutputStream::close() {
    checkInitialised();
    try {
        checkTargetIntact();
        compressPending(Z_FINISH);
        // Buffered bytes of the target must reach it now: destroying it could not report a failure.
        mTarget->flush();
    } catch (...) {
        release();
        throw;
    }
    const int64 total = mCompressedTotal;
    release();
    return total;
}

void DeflateOutputStream::release() noexcept {
    deflateEnd(&mState->stream);
    tolvanDelete(mState);
    mState = nullptr;
    mPending = 0;
    mCompressedTotal = 0;
    mTarget.reset();
}

} // namespace Io
} // namespace Kalvex

// Streams over arrays they own: ArrayInputStream reads bytes it was handed, ArrayOutputStream collects
// written bytes in a growing array.
//
//   Io::ArrayOutputStream out;
//   out.write("abc", 3);
//   Io::ArrayInputStream<> in(Array<std::byte, HeapAllocator, long long>(out.data()));
//   Io::ArrayInputStream<HeapAllocator, void> file(std::move(Io::readBinaryFile(path).value()));
#pragma once

#include "tolvan/containers/array.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/heapallocator.h"
#include "tolvan/containers/stack.h"
#include "tolvan/io/stream.h"

#include <cstddef>
#include <utility>

namespace Kalvex {

namespace Detail {
/// Where an ArrayInputStream over no bytes points, so that it reads as an empty stream.
inline constexpr std::byte EMPTY_ARRAY_DATA[1] = {};
} // namespace Detail

namespace Io {

/// A MemoryInputStream over an array it owns. Neither copyable nor movable (the stream points into the
/// array).
template <typename Allocator = HeapAllocator, typename SizeType = long long>
class ArrayInputStream : public MemoryInputStream, public Noncopyable {
public:
    /// The array the stream owns and reads.
    using Bytes = Array<std::byte, Allocator, SizeType>;

    /// Takes the bytes over and reads them from the start; no bytes give an empty stream.
    explicit ArrayInputStream(Bytes&& bytes)
        : mBytes(std::move(bytes)) {
        set(mBytes.size() > 0 ? static_cast<const void*>(mBytes.data()) : Kalvex::Detail::EMPTY_ARRAY_DATA,
            int64(mBytes.size()));
    }
    ArrayInputStream(ArrayInputStream&&) = delete;
    ArrayInputStream& operator=(ArrayInputStream&&) = delete;

    /// The owned bytes.
    [[nodiscard]] const Bytes& bytes() const noexcept { return mBytes; }

private:
    Bytes mBytes;
};

/// Collects written bytes in an owned array of at most 2147483647 bytes that grows by half its capacity.
class ArrayOutputStream : public SeekableBinaryOutputStream {
public:
    ArrayOutputStream() noexcept = default;

    /// The bytes written so far (the array's length, not the position; a null pointer when empty).
    [[nodiscard]] ArrayView<const std::byte> data() const noexcept {
        return mBytes.isEmpty() ? ArrayView<const std::byte>() : ArrayView<const std::byte>(mBytes.data(), mBytes.size());
    }

    [[nodiscard]] int64 tellp() const override { return mPosition; }
    /// Moves the position without a range check: Begin + offset, Current + offset, End - offset (minus).
    void seekpImpl(int64 offset, SeekOrigin origin) override;

protected:
    /// Writes at the position, extending the array; throws Exception for a negative position or when the
    /// array would pass 2147483647 bytes.
    void writeImpl(const void* src, int64 count) override;

private:
    Stack<std::byte> mBytes;
    int64 mPosition = 0;
};

} // namespace Io
} // namespace Kalvex

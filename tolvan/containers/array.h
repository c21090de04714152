// Array: a heap array whose length is fixed once allocated (no spare capacity).
#pragma once

#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/heapallocator.h"

#include <algorithm>
#include <cassert>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

namespace Kalvex {

/// Invariants: exactly size() constructed elements in one block (null when size() == 0).
/// resize() to a different length allocates a new block of exactly that length (elements are moved over,
/// new ones default-constructed); resizing to the same length does nothing.
template <typename T, typename Allocator = HeapAllocator, typename SizeT = void>
class Array {
public:
    /// The index and count type.
    using SizeType = typename Detail::ContainerSize<SizeT>::Type;
    /// The element type.
    using ValueType = T;

    Array() noexcept = default;
    /// `count` default-constructed (value-initialised) elements.
    explicit Array(SizeType count)
        : Array() {
        resize(count);
    }
    /// `count` elements left unset (trivial element types only), for a buffer that is about to be filled.
    [[nodiscard]] static Array uninitialized(SizeType count) {
        static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>,
                      "only trivial elements may stay unset");
        Array result;
        result.allocateFor(count);
        result.mSize = result.mData ? count : 0;
        return result;
    }
    // The constructors that copy elements delegate to the default one: an element copy that throws
    // then leaves a complete object, whose destructor frees the block and what was built in it.
    /// `count` copies of `value`.
    Array(SizeType count, const T& value)
        : Array() {
        allocateFor(count);
        for (; mSize < count; ++mSize)
            new (mData + mSize) T(value);
    }
    /// Copies of the listed elements.
    Array(std::initializer_list<T> list)
        : Array(ArrayView<const T>(list.begin(), int64(list.size()))) {}
    /// Copies of the viewed elements.
    explicit Array(ArrayView<const T> items)
        : Array() {
        allocateFor(SizeType(items.size()));
        for (; mSize < SizeType(items.size()); ++mSize)
            new (mData + mSize) T(items[mSize]);
    }
    /// Copies `other`.
    Array(const Array& other)
        : Array(ArrayView<const T>(other.mData, int64(other.mSize))) {}
    /// Takes over the content of `other`.
    Array(Array&& other) noexcept
        : mData(std::exchange(other.mData, nullptr))
        , mSize(std::exchange(other.mSize, 0)) {}
    /// Replaces the content with a copy of `other`.
    Array& operator=(const Array& other) {
        if (this != &other) {
            Array copy(other);
            swap(copy);
        }
        return *this;
    }
    /// Replaces the content with that of `other`.
    Array& operator=(Array&& other) noexcept {
        if (this != &other) {
            Array moved(std::move(other));
            swap(moved);
        }
        return *this;
    }
    ~Array() { release(); }

    /// Number of elements.
    [[nodiscard]] SizeType size() const noexcept { return mSize; }
    /// True when there are no elements.
    [[nodiscard]] bool isEmpty() const noexcept { return mSize == 0; }
    /// Pointer to the elements; may be null when there are none.
    [[nodiscard]] T* data() noexcept { return mData; }
    /// Pointer to the elements; may be null when there are none.
    [[nodiscard]] const T* data() const noexcept { return mData; }
    /// Element `i`; `i` must be below size().
    T& operator[](SizeType i) noexcept {
        assert(i >= 0 && i < mSize && "Array index out of range");
        return mData[i];
    }
    /// Element `i`; `i` must be below size().
    const T& operator[](SizeType i) const noexcept {
        assert(i >= 0 && i < mSize && "Array index out of range");
        return mData[i];
    }
    /// Pointer to the first element.
    T* begin() noexcept { return mData; }
    /// Pointer past the last element.
    T* end() noexcept { return mData + mSize; }
    /// Pointer to the first element.
    const T* begin() const noexcept { return mData; }
    /// Pointer past the last element.
    const T* end() const noexcept { return mData + mSize; }
    /// A read-only view of the elements.
    operator ArrayView<const T>() const noexcept { return ArrayView<const T>(mData, int64(mSize)); }
    /// A writable view of the elements.
    [[nodiscard]] ArrayView<T> getView() noexcept { return ArrayView<T>(mData, int64(mSize)); }

    /// Changes the length to `count` (negative counts as 0): a new block of exactly that length, the first
    /// min(old, new) elements moved over (copied when moving may throw) and the rest value-initialised.
    /// A throwing element constructor leaves the array unchanged.
    void resize(SizeType count) {
        if (count < 0) count = 0;
        if (count == mSize) return;
        Array next;
        next.allocateFor(count);
        const SizeType kept = std::min(count, mSize);
        for (; next.mSize < kept; ++next.mSize)
            new (next.mData + next.mSize) T(std::move_if_noexcept(mData[next.mSize]));
        for (; next.mSize < count; ++next.mSize)
            new (next.mData + next.mSize) T();
        swap(next);
    }
    /// Destroys the elements and frees the block.
    void clear() noexcept { release(); }
    /// Assigns `value` to every element.
    void fill(const T& value) { std::fill(begin(), end(), value); }

    /// Exchanges the contents with `other`.
    void swap(Array& other) noexcept {
        std::swap(mData, other.mData);
        std::swap(mSize, other.mSize);
    }
    /// Equal when both have the same size and equal elements in order.
    friend bool operator==(const Array& a, const Array& b) {
        return a.mSize == b.mSize && std::equal(a.begin(), a.end(), b.begin());
    }

private:
    void allocateFor(SizeType count) {
        mData = count > 0 ? Allocator::template allocate<T>(size_t(count)) : nullptr;
    }
    void release() noexcept {
        for (SizeType i = 0; i < mSize; ++i)
            mData[i].~T();
        Allocator::deallocate(mData);
        mData = nullptr;
        mSize = 0;
    }

    T* mData = nullptr;
    SizeType mSize = 0;
};

} // namespace Kalvex

// Stack: the library's growable contiguous sequence (its vector), growing by half again.
//
//   Stack<String> names;
//   names.push(u"a");
//   for (const String& n : names) ...
#pragma once

#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/heapallocator.h"

#include <algorithm>
#include <cassert>
#include <initializer_list>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace Kalvex {

/// Invariants: size() <= capacity(); elements [0, size()) are constructed; data() is null until the first
/// reservation. Growth: an insertion that needs n > capacity() elements reallocates to
/// max(n, capacity + capacity / 2), so capacities run 1, 2, 3, 4, 6, 9, 13, 19, ...
/// The capacity never shrinks by itself. SizeT = void selects 32-bit signed sizes; int64 selects 64-bit.
template <typename T, typename Allocator = HeapAllocator, typename SizeT = void>
class Stack {
public:
    /// The index and count type.
    using SizeType = typename Detail::ContainerSize<SizeT>::Type;
    /// The element type.
    using ValueType = T;
    /// Iterator over the elements.
    using Iterator = T*;
    /// Iterator over the elements, read-only.
    using ConstIterator = const T*;

    Stack() noexcept = default;
    // The constructors that copy elements delegate to the default one: an element copy that throws
    // then leaves a complete object, whose destructor frees what was built.
    /// Copies of the listed elements.
    Stack(std::initializer_list<T> list)
        : Stack() {
        reserve(SizeType(list.size()));
        for (const T& v : list)
            pushUnchecked(v);
    }
    /// `count` default-constructed elements.
    explicit Stack(SizeType count)
        : Stack() {
        resize(count);
    }
    /// `count` copies of `value`.
    Stack(SizeType count, const T& value)
        : Stack() {
        resize(count, value);
    }
    /// Copies of the viewed elements.
    explicit Stack(ArrayView<const T> items)
        : Stack() {
        reserve(SizeType(items.size()));
        for (const T& v : items)
            pushUnchecked(v);
    }
    /// Copies `other`.
    Stack(const Stack& other)
        : Stack() {
        reserve(other.mSize);
        for (const T& v : other)
            pushUnchecked(v);
    }
    /// Takes over the content of `other`.
    Stack(Stack&& other) noexcept
        : mData(std::exchange(other.mData, nullptr))
        , mSize(std::exchange(other.mSize, 0))
        , mCapacity(std::exchange(other.mCapacity, 0)) {}
    /// Replaces the content with a copy of `other`.
    Stack& operator=(const Stack& other) {
        if (this != &other) {
            Stack copy(other);
            swap(copy);
        }
        return *this;
    }
    /// Replaces the content with that of `other`.
    Stack& operator=(Stack&& other) noexcept {
        if (this != &other) {
            Stack moved(std::move(other));
            swap(moved);
        }
        return *this;
    }
    ~Stack() {
        clear();
        Allocator::deallocate(mData);
    }

    // Size and storage

    /// Number of elements.
    [[nodiscard]] SizeType size() const noexcept { return mSize; }
    /// Number of elements the storage holds before it grows.
    [[nodiscard]] SizeType capacity() const noexcept { return mCapacity; }
    /// True when there are no elements.
    [[nodiscard]] bool isEmpty() const noexcept { return mSize == 0; }
    /// Pointer to the elements; may be null when there are none.
    [[nodiscard]] T* data() noexcept { return mData; }
    /// Pointer to the elements; may be null when there are none.
    [[nodiscard]] const T* data() const noexcept { return mData; }

    /// Makes room for at least `capacity` elements without changing the size; never shrinks.
    void reserve(SizeType capacity) {
        if (capacity > mCapacity) reallocate(capacity);
    }
    /// Grows with default-constructed elements or destroys the elements past `count`.
    void resize(SizeType count) {
        resizeWith(count, [](T* p) { new (p) T(); });
    }
    /// Grows with copies of `value` or destroys the elements past `count`.
    void resize(SizeType count, const T& value) {
        resizeWith(count, [&value](T* p) { new (p) T(value); });
    }
    /// Destroys every element in index order; keeps the capacity.
    void clear() noexcept {
        for (SizeType i = 0; i < mSize; ++i)
            mData[i].~T();
        mSize = 0;
    }
    /// Frees spare capacity (a reallocation to exactly size()).
    void shrinkToFit() {
        if (mCapacity > mSize) reallocate(mSize);
    }

    // Element access

    /// Element `i`; `i` must be below size().
    T& operator[](SizeType i) noexcept {
        assert(i >= 0 && i < mSize && "Stack index out of range");
        return mData[i];
    }
    /// Element `i`; `i` must be below size().
    const T& operator[](SizeType i) const noexcept {
        assert(i >= 0 && i < mSize && "Stack index out of range");
        return mData[i];
    }
    /// The first element; the stack must not be empty.
    [[nodiscard]] T& front() noexcept { return (*this)[0]; }
    /// The first element; the stack must not be empty.
    [[nodiscard]] const T& front() const noexcept { return (*this)[0]; }
    /// The last element; the stack must not be empty.
    [[nodiscard]] T& back() noexcept { return (*this)[mSize - 1]; }
    /// The last element; the stack must not be empty.
    [[nodiscard]] const T& back() const noexcept { return (*this)[mSize - 1]; }
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

    // Insertion and removal

    /// Appends a copy (or the moved value) at the end; returns the new element.
    T& push(const T& value) { return emplace(value); }
    /// Moves `value` to the end; returns the stored element.
    T& push(T&& value) { return emplace(std::move(value)); }
    /// Constructs an element at the end from `args`.
    template <typename... Args>
    T& emplace(Args&&... args) {
        if (mSize == mCapacity) {
            // The argument may live inside this stack: build the element before the old block goes.
            T value(std::forward<Args>(args)...);
            grow(mSize + 1);
            return constructAtEnd(std::move(value));
        }
        return constructAtEnd(std::forward<Args>(args)...);
    }
    /// Appends every element of `items`.
    void pushAll(ArrayView<const T> items) {
        if (items.isEmpty()) return;
        Stack copy;
        const T* source = items.data();
        if (source >= mData && source < mData + mSize) { // appending a part of itself
            copy = Stack(items);
            source = copy.data();
        }
        if (mSize + SizeType(items.size()) > mCapacity) grow(mSize + SizeType(items.size()));
        for (int64 i = 0; i < items.size(); ++i)
            pushUnchecked(source[i]);
    }
    /// Removes the last element; the stack must not be empty.
    void pop() noexcept {
        assert(mSize > 0 && "pop on an empty Stack");
        mData[--mSize].~T();
    }
    /// Removes the last element and returns it; the stack must not be empty.
    [[nodiscard]] T popValue() {
        assert(mSize > 0 && "popValue on an empty Stack");
        T value(std::move(mData[mSize - 1]));
        pop();
        return value;
    }
    /// Inserts `value` before position `at` (0 <= at <= size()); later elements move up.
    T& insert(SizeType at, T value) {
        assert(at >= 0 && at <= mSize && "Stack insert position out of range");
        emplace(std::move(value));
        std::rotate(mData + at, mData + mSize - 1, mData + mSize);
        return mData[at];
    }
    /// Removes the element at `at`, keeping the order of the rest.
    void remove(SizeType at) { remove(at, 1); }
    /// Removes `count` elements from `at` (clamped to the end), keeping the order of the rest.
    void remove(SizeType at, SizeType count) {
        assert(at >= 0 && at <= mSize && "Stack remove position out of range");
        count = std::min(count, SizeType(mSize - at));
        if (count <= 0) return;
        std::move(mData + at + count, mData + mSize, mData + at);
        for (SizeType i = mSize - count; i < mSize; ++i)
            mData[i].~T();
        mSize -= count;
    }
    /// Removes the element at `at` by moving the last element into its place (order not kept).
    void removeUnordered(SizeType at) {
        assert(at >= 0 && at < mSize && "Stack remove position out of range");
        if (at != mSize - 1) mData[at] = std::move(mData[mSize - 1]);
        pop();
    }
    /// Removes every element equal to `value`; returns how many were removed.
    SizeType removeAll(const T& value) {
        T* newEnd = std::remove(begin(), end(), value);
        const SizeType removed = SizeType(end() - newEnd);
        for (T* p = newEnd; p != end(); ++p)
            p->~T();
        mSize -= removed;
        return removed;
    }

    // Search

    /// Index of the first element equal to `value` at or after `from`, or -1.
    [[nodiscard]] SizeType find(const T& value, SizeType from = 0) const {
        for (SizeType i = std::max(from, SizeType(0)); i < mSize; ++i) {
            if (mData[i] == value) return i;
        }
        return -1;
    }
    /// True when an element equals `value`.
    [[nodiscard]] bool contains(const T& value) const { return find(value) >= 0; }

    /// Exchanges the contents with `other`.
    void swap(Stack& other) noexcept {
        std::swap(mData, other.mData);
        std::swap(mSize, other.mSize);
        std::swap(mCapacity, other.mCapacity);
    }

    /// Equal when both have the same size and equal elements in order.
    friend bool operator==(const Stack& a, const Stack& b) {
        return a.mSize == b.mSize && std::equal(a.begin(), a.end(), b.begin());
    }
    /// Lexicographic order of the elements (a proper prefix comes first).
    friend auto operator<=>(const Stack& a, const Stack& b) requires std::three_way_comparable<T> {
        return std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    void pushUnchecked(const T& value) { constructAtEnd(value); }

    // Counts the new element only once its constructor has returned.
    template <typename... Args>
    T& constructAtEnd(Args&&... args) {
        T* element = new (mData + mSize) T(std::forward<Args>(args)...);
        ++mSize;
        return *element;
    }

    void grow(SizeType needed) {
        // Half again, computed wide so that a near-full 32-bit stack does not overflow.
        const long long wanted = (long long)mCapacity + mCapacity / 2;
        const long long limit = (long long)std::numeric_limits<SizeType>::max();
        reallocate(std::max(needed, SizeType(std::min(wanted, limit))));
    }

    // Strong guarantee: the elements are moved (copied, when moving may throw) into the new block
    // first; if one throws, what was built there is destroyed, the block freed, and the stack is as it was.
    void reallocate(SizeType capacity) {
        T* block = capacity > 0 ? Allocator::template allocate<T>(size_t(capacity)) : nullptr;
        SizeType built = 0;
        try {
            for (; built < mSize; ++built)
                new (block + built) T(std::move_if_noexcept(mData[built]));
        } catch (...) {
            for (SizeType i = 0; i < built; ++i)
                block[i].~T();
            Allocator::deallocate(block);
            throw;
        }
        for (SizeType i = 0; i < mSize; ++i)
            mData[i].~T();
        Allocator::deallocate(mData);
        mData = block;
        mCapacity = capacity;
    }

    template <typename Construct>
    void resizeWith(SizeType count, Construct construct) {
        if (count < 0) count = 0;
        if (count < mSize) {
            for (SizeType i = count; i < mSize; ++i)
                mData[i].~T();
            mSize = count;
            return;
        }
        reserve(count);
        while (mSize < count) {
            construct(mData + mSize);
            ++mSize;
        }
    }

    T* mData = nullptr;
    SizeType mSize = 0;
    SizeType mCapacity = 0;
};

} // namespace Kalvex

// StaticArray: N elements held inline.
#pragma once

#include "tolvan/containers/arrayview.h"

#include <algorithm>
#include <cassert>

namespace Kalvex {

/// An aggregate of N inline elements: `StaticArray<int, 3> a = {1, 2, 3};`.
template <typename T, int N>
struct StaticArray {
    static_assert(N > 0, "StaticArray needs at least one element");
    /// The elements.
    T mElements[N];

    /// Number of elements, N.
    [[nodiscard]] static constexpr int size() noexcept { return N; }
    /// Pointer to the elements.
    [[nodiscard]] constexpr T* data() noexcept { return mElements; }
    /// Pointer to the elements.
    [[nodiscard]] constexpr const T* data() const noexcept { return mElements; }
    /// Element `i`; `i` must be below N.
    constexpr T& operator[](int i) noexcept {
        assert(i >= 0 && i < N && "StaticArray index out of range");
        return mElements[i];
    }
    /// Element `i`; `i` must be below N.
    constexpr const T& operator[](int i) const noexcept {
        assert(i >= 0 && i < N && "StaticArray index out of range");
        return mElements[i];
    }
    /// Pointer to the first element.
    constexpr T* begin() noexcept { return mElements; }
    /// Pointer past the last element.
    constexpr T* end() noexcept { return mElements + N; }
    /// Pointer to the first element.
    constexpr const T* begin() const noexcept { return mElements; }
    /// Pointer past the last element.
    constexpr const T* end() const noexcept { return mElements + N; }
    /// A read-only view of the elements.
    constexpr operator ArrayView<const T>() const noexcept { return ArrayView<const T>(mElements, N); }
    /// Assigns `value` to every element.
    constexpr void fill(const T& value) { std::fill(begin(), end(), value); }

    /// Equal when all elements are equal.
    friend constexpr bool operator==(const StaticArray& a, const StaticArray& b) {
        return std::equal(a.begin(), a.end(), b.begin());
    }
};

} // namespace Kalvex

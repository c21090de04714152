// ArrayView: a non-owning view of contiguous elements with a 64-bit count.
#pragma once

#include "tolvan/common/types.h"

#include <cassert>
#include <concepts>
#include <initializer_list>
#include <type_traits>

namespace Kalvex {

/// Pointer and count of elements owned elsewhere; `ArrayView<T const>` is the usual parameter type for a
/// sequence. The viewed elements must outlive the view.
template <typename T>
class ArrayView {
public:
    /// The element type without const.
    using ValueType = std::remove_cv_t<T>;

    constexpr ArrayView() noexcept = default;
    /// Views `count` elements starting at `data`.
    constexpr ArrayView(T* data, int64 count) noexcept
        : mData(data)
        , mCount(count) {
        assert(count >= 0 && "negative ArrayView count");
    }
    /// Views the whole built-in array.
    template <size_t N>
    constexpr ArrayView(T (&array)[N]) noexcept
        : mData(array)
        , mCount(int64(N)) {}
    /// Views an initialiser list; only valid for the full expression that created the list.
    constexpr ArrayView(std::initializer_list<ValueType> list) noexcept requires std::is_const_v<T>
        : mData(list.begin()), mCount(int64(list.size())) {}
    /// Views any container with data() and size() (Stack, Array, StaticArray, std::vector).
    template <typename C>
    requires requires(C& c) {
        { c.data() } -> std::convertible_to<T*>;
        c.size();
    } &&(!std::is_same_v<std::remove_cvref_t<C>, ArrayView>)constexpr ArrayView(C& container) noexcept
        : mData(container.data())
        , mCount(int64(container.size())) {
    }
    /// A view of mutable elements converts to a view of const ones.
    template <typename U>
    requires(std::is_same_v<const U, T> &&
             !std::is_same_v<U, T>) constexpr ArrayView(ArrayView<U> other) noexcept
        : mData(other.data())
        , mCount(other.size()) {}

    /// Pointer to the elements; may be null when there are none.
    [[nodiscard]] constexpr T* data() const noexcept { return mData; }
    /// Number of elements.
    [[nodiscard]] constexpr int64 size() const noexcept { return mCount; }
    /// True when there are no elements.
    [[nodiscard]] constexpr bool isEmpty() const noexcept { return mCount == 0; }
    /// Element `i`; `i` must be below size().
    constexpr T& operator[](int64 i) const noexcept {
        assert(i >= 0 && i < mCount && "ArrayView index out of range");
        return mData[i];
    }
    /// Pointer to the first element.
    constexpr T* begin() const noexcept { return mData; }
    /// Pointer past the last element.
    constexpr T* end() const noexcept { return mData + mCount; }
    /// The `count` elements from `from` (clamped to the view).
    [[nodiscard]] constexpr ArrayView getSubView(int64 from, int64 count) const noexcept {
        from = from < 0 ? 0 : (from > mCount ? mCount : from);
        count = count < 0 ? 0 : (count > mCount - from ? mCount - from : count);
        return ArrayView(mData + from, count);
    }

private:
    T* mData = nullptr;
    int64 mCount = 0;
};

/// A view of a built-in array has the array's element type.
template <typename T, size_t N>
ArrayView(T (&)[N]) -> ArrayView<T>;

} // namespace Kalvex

// Expected<T, E>: a value or the error that prevented it (almost always a readable String message).
//
//   Expected<int64, String> size = getSize(path);
//   if (!size) show(size.error());
#pragma once

#include "tolvan/common/exception.h"

#include <new>
#include <type_traits>
#include <utility>

namespace Kalvex {

/// Wraps an error for construction: `return makeUnexpected(String(u"disk full"));`.
template <typename E>
struct Unexpected {
    /// The error to construct the Expected from.
    E mError;
};
/// Wraps `error` so that an Expected is constructed holding it.
template <typename E>
[[nodiscard]] Unexpected<std::decay_t<E>> makeUnexpected(E&& error) {
    return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

/// Either a T or an E, followed by a flag that is true when the value is present. Asking for the wrong
/// alternative throws Exception ("bad_expected_access").
template <typename T, typename E = String>
class [[nodiscard]] Expected {
public:
    /// Holds a copy of `value`.
    Expected(const T& value) { constructValue(value); }
    /// Holds `value`, moved in.
    Expected(T&& value) { constructValue(std::move(value)); }
    /// Holds the error taken from `error`.
    template <typename U>
    requires std::is_constructible_v<E, U&&> Expected(Unexpected<U> error) {
        new (mStorage) E(std::move(error.mError));
        mHasValue = false;
    }
    /// Copies `other`.
    Expected(const Expected& other) { copyFrom(other); }
    /// Takes over the content of `other`.
    Expected(Expected&& other) noexcept(
        std::is_nothrow_move_constructible_v<T>&& std::is_nothrow_move_constructible_v<E>) {
        moveFrom(std::move(other));
    }
    /// Replaces the content with a copy of `other`.
    Expected& operator=(const Expected& other) {
        if (this != &other) {
            Expected copy(other);
            destroy();
            moveFrom(std::move(copy));
        }
        return *this;
    }
    /// Replaces the content with that of `other`.
    Expected& operator=(Expected&& other) noexcept(
        std::is_nothrow_move_constructible_v<T>&& std::is_nothrow_move_constructible_v<E>) {
        if (this != &other) {
            destroy();
            moveFrom(std::move(other));
        }
        return *this;
    }
    ~Expected() { destroy(); }

    /// True when a value is held (not an error).
    [[nodiscard]] bool hasValue() const noexcept { return mHasValue; }
    /// True when a value is held.
    explicit operator bool() const noexcept { return mHasValue; }

    /// The value; throws Exception("bad_expected_access") when this holds an error.
    [[nodiscard]] T& value() & {
        check(mHasValue);
        return valueRef();
    }
    /// The value; throws Exception("bad_expected_access") when this holds an error.
    [[nodiscard]] const T& value() const& {
        check(mHasValue);
        return valueRef();
    }
    /// The value, moved out; throws Exception("bad_expected_access") when this holds an error.
    [[nodiscard]] T&& value() && {
        check(mHasValue);
        return std::move(valueRef());
    }
    /// The error; throws Exception("bad_expected_access") when this holds a value.
    [[nodiscard]] const E& error() const& {
        check(!mHasValue);
        return errorRef();
    }
    /// The value, or `fallback` when this holds an error.
    [[nodiscard]] T valueOr(T fallback) const& { return mHasValue ? valueRef() : std::move(fallback); }

    /// The value, as value().
    T& operator*() & { return value(); }
    /// The value, as value().
    const T& operator*() const& { return value(); }
    /// Pointer to the value, as value().
    T* operator->() { return &value(); }
    /// Pointer to the value, as value().
    const T* operator->() const { return &value(); }

private:
    template <typename U>
    void constructValue(U&& v) {
        new (mStorage) T(std::forward<U>(v));
        mHasValue = true;
    }
    void copyFrom(const Expected& other) {
        if (other.mHasValue) {
            new (mStorage) T(other.valueRef());
        } else {
            new (mStorage) E(other.errorRef());
        }
        mHasValue = other.mHasValue;
    }
    void moveFrom(Expected&& other) {
        if (other.mHasValue) {
            new (mStorage) T(std::move(other.valueRef()));
        } else {
            new (mStorage) E(std::move(other.errorRef()));
        }
        mHasValue = other.mHasValue;
    }
    void destroy() noexcept {
        if (mHasValue) {
            valueRef().~T();
        } else {
            errorRef().~E();
        }
    }
    static void check(bool ok) {
        if (!ok) throw Exception("bad_expected_access");
    }
    T& valueRef() noexcept { return *std::launder(reinterpret_cast<T*>(mStorage)); }
    const T& valueRef() const noexcept { return *std::launder(reinterpret_cast<const T*>(mStorage)); }
    E& errorRef() noexcept { return *std::launder(reinterpret_cast<E*>(mStorage)); }
    const E& errorRef() const noexcept { return *std::launder(reinterpret_cast<const E*>(mStorage)); }

    static constexpr size_t SIZE = sizeof(T) > sizeof(E) ? sizeof(T) : sizeof(E);
    static constexpr size_t ALIGN = alignof(T) > alignof(E) ? alignof(T) : alignof(E);
    alignas(ALIGN) unsigned char mStorage[SIZE];
    bool mHasValue = false;
};

} // namespace Kalvex

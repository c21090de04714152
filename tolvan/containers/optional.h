// Optional<T>: a value that may be absent.
#pragma once

#include "tolvan/common/exception.h"

#include <new>
#include <type_traits>
#include <utility>

namespace Kalvex {

/// An empty marker: `Optional<int> f() { return NONE; }`.
struct NoneType {
    /// Only for the NONE constant.
    explicit constexpr NoneType(int) {}
};
/// The marker of an empty Optional.
inline constexpr NoneType NONE{0};

/// Storage for one T followed by a flag telling whether a value is present. value() on an empty
/// Optional throws Exception("bad_optional_access").
template <typename T>
class Optional {
public:
    Optional() noexcept {}
    /// Holds no value.
    Optional(NoneType) noexcept {}
    /// Holds a copy of `value`.
    Optional(const T& value) { construct(value); }
    /// Holds `value`, moved in.
    Optional(T&& value) { construct(std::move(value)); }
    /// Copies `other`.
    Optional(const Optional& other) {
        if (other.mHasValue) construct(other.get());
    }
    /// Takes over the content of `other`.
    Optional(Optional&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
        if (other.mHasValue) construct(std::move(other.get()));
    }
    /// Replaces the content with a copy of `other`.
    Optional& operator=(const Optional& other) {
        if (this != &other) {
            if (other.mHasValue) {
                assign(other.get());
            } else {
                reset();
            }
        }
        return *this;
    }
    /// Replaces the content with that of `other`.
    Optional& operator=(Optional&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
        if (this != &other) {
            if (other.mHasValue) {
                assign(std::move(other.get()));
            } else {
                reset();
            }
        }
        return *this;
    }
    /// Destroys the value, if any; returns this.
    Optional& operator=(NoneType) noexcept {
        reset();
        return *this;
    }
    ~Optional() { reset(); }

    /// True when a value is held.
    [[nodiscard]] bool hasValue() const noexcept { return mHasValue; }
    /// True when a value is held.
    explicit operator bool() const noexcept { return mHasValue; }

    /// The value; throws Exception("bad_optional_access") when empty.
    [[nodiscard]] T& value() & {
        check();
        return get();
    }
    /// The value; throws Exception("bad_optional_access") when empty.
    [[nodiscard]] const T& value() const& {
        check();
        return get();
    }
    /// The value, moved out; throws Exception("bad_optional_access") when empty.
    [[nodiscard]] T&& value() && {
        check();
        return std::move(get());
    }
    /// The value, or `fallback` when empty.
    [[nodiscard]] T valueOr(T fallback) const& { return mHasValue ? get() : std::move(fallback); }

    /// The value, as value().
    T& operator*() & { return value(); }
    /// The value, as value().
    const T& operator*() const& { return value(); }
    /// Pointer to the value, as value().
    T* operator->() { return &value(); }
    /// Pointer to the value, as value().
    const T* operator->() const { return &value(); }

    /// Replaces the content with a value built from `args`.
    template <typename... Args>
    T& emplace(Args&&... args) {
        reset();
        construct(std::forward<Args>(args)...);
        return get();
    }
    /// Destroys the value, if any.
    void reset() noexcept {
        if (mHasValue) {
            get().~T();
            mHasValue = false;
        }
    }

    /// Equal when both are empty or both hold equal values.
    friend bool operator==(const Optional& a, const Optional& b) {
        return a.mHasValue == b.mHasValue && (!a.mHasValue || a.get() == b.get());
    }
    /// True when `a` holds no value.
    friend bool operator==(const Optional& a, NoneType) noexcept { return !a.mHasValue; }

private:
    template <typename... Args>
    void construct(Args&&... args) {
        new (mStorage) T(std::forward<Args>(args)...);
        mHasValue = true;
    }
    template <typename U>
    void assign(U&& v) {
        if (mHasValue) {
            get() = std::forward<U>(v);
        } else {
            construct(std::forward<U>(v));
        }
    }
    void check() const {
        if (!mHasValue) throw Exception("bad_optional_access");
    }
    T& get() noexcept { return *std::launder(reinterpret_cast<T*>(mStorage)); }
    const T& get() const noexcept { return *std::launder(reinterpret_cast<const T*>(mStorage)); }

    alignas(T) unsigned char mStorage[sizeof(T)];
    bool mHasValue = false;
};

} // namespace Kalvex

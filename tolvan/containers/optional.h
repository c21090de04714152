// Optional<T>: a value that may be absent.
#pragma once

#include "tolvan/common/exception.h"

#include <new>
#include <type_traits>
#include <utility>

namespace Kalvex {

/// An empty marker: `Optional<int> f() { return NONE; }`.
struct NoneType {
    explicit constexpr NoneType(int) {}
};
inline constexpr NoneType NONE{0};

/// Storage for one T followed by a flag telling whether a value is present. value() on an empty
/// Optional throws Exception("bad_optional_access").
template <typename T>
class Optional {
public:
    Optional() noexcept {}
    Optional(NoneType) noexcept {}
    Optional(const T& value) { construct(value); }
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
    Optional& operator=(NoneType) noexcept {
        reset();
        return *this;
    }
    ~Optional() { reset(); }

    [[nodiscard]] bool hasValue() const noexcept { return mHasValue; }
    explicit operator bool() const noexcept { return mHasValue; }

    /// The value; throws Exception("bad_optional_access") when empty.
    [[nodiscard]] T& value() & {
        check();
        return get();
    }
    [[nodiscard]] const T& value() const& {
        check();
        return get();
    }
    [[nodiscard]] T&& value() && {
        check();
        return std::move(get());
    }
    /// The value, or `fallback` when empty.
    [[nodiscard]] T valueOr(T fallback) const& { return mHasValue ? get() : std::move(fallback); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
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

    friend bool operator==(const Optional& a, const Optional& b) {
        return a.mHasValue == b.mHasValue && (!a.mHasValue || a.get() == b.get());
    }
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

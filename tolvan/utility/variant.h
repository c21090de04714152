// Variant<T1, ..., Tn>: a tagged union with an empty state (type index 0).
//
//   Variant<int, String> v = String(u"x");
//   v.visit([](auto& value) { ... });      // throws when v is empty
#pragma once

#include "tolvan/common/exception.h"

#include <algorithm>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

namespace Kalvex {

/// Index 0 means empty; 1..n select an alternative. Visiting an empty Variant throws
/// Exception("Visiting Variant without type"); any other index is an internal STOP failure.
template <typename... Ts>
class Variant {
    static_assert(sizeof...(Ts) > 0, "Variant needs at least one alternative");

public:
    /// The 1-based index of T among the alternatives (0 when T is not one of them).
    template <typename T>
    static constexpr int indexOf() noexcept {
        int index = 0;
        int i = 1;
        ((std::is_same_v<T, Ts> ? (index = index ? index : i, ++i) : ++i), ...);
        return index;
    }

    Variant() noexcept = default;
    /// Holds `value`, as the alternative of its type.
    template <typename T>
    requires(indexOf<std::remove_cvref_t<T>>() != 0) Variant(T&& value) {
        construct<std::remove_cvref_t<T>>(std::forward<T>(value));
    }
    /// Copies `other`.
    Variant(const Variant& other) {
        other.dispatch([this](const auto& v) { construct<std::decay_t<decltype(v)>>(v); });
    }
    /// Takes over the content of `other`.
    Variant(Variant&& other) noexcept((std::is_nothrow_move_constructible_v<Ts> && ...)) {
        other.dispatch([this](auto& v) { construct<std::decay_t<decltype(v)>>(std::move(v)); });
    }
    /// Replaces the content with a copy of `other`.
    Variant& operator=(const Variant& other) {
        if (this != &other) {
            Variant copy(other);
            reset();
            copy.dispatch([this](auto& v) { construct<std::decay_t<decltype(v)>>(std::move(v)); });
        }
        return *this;
    }
    /// Replaces the content with that of `other`.
    Variant& operator=(Variant&& other) noexcept((std::is_nothrow_move_constructible_v<Ts> && ...)) {
        if (this != &other) {
            reset();
            other.dispatch([this](auto& v) { construct<std::decay_t<decltype(v)>>(std::move(v)); });
        }
        return *this;
    }
    ~Variant() { reset(); }

    /// 0 when empty, else the 1-based index of the held alternative.
    [[nodiscard]] int getIndex() const noexcept { return mIndex; }
    /// True when nothing is held.
    [[nodiscard]] bool isEmpty() const noexcept { return mIndex == 0; }
    /// True when the held alternative has type T.
    template <typename T>
    [[nodiscard]] bool is() const noexcept {
        return mIndex != 0 && mIndex == indexOf<T>();
    }
    /// The held T; throws Exception when another alternative (or nothing) is held.
    template <typename T>
    [[nodiscard]] T& get() {
        if (!is<T>()) throw Exception("Variant holds another type");
        return *std::launder(reinterpret_cast<T*>(mStorage));
    }
    /// The held T; throws Exception when another alternative is held.
    template <typename T>
    [[nodiscard]] const T& get() const {
        if (!is<T>()) throw Exception("Variant holds another type");
        return *std::launder(reinterpret_cast<const T*>(mStorage));
    }
    /// Replaces the content with `value`.
    template <typename T>
    requires(indexOf<std::remove_cvref_t<T>>() != 0) void set(T&& value) {
        std::remove_cvref_t<T> copy(std::forward<T>(value)); // `value` may live inside this variant
        reset();
        construct<std::remove_cvref_t<T>>(std::move(copy));
    }
    /// Destroys the held value; the Variant becomes empty.
    void reset() noexcept {
        if (mIndex == 0) return;
        dispatch([](auto& v) {
            using T = std::decay_t<decltype(v)>;
            v.~T();
        });
        mIndex = 0;
    }

    /// Calls `visitor` with the held value; throws Exception("Visiting Variant without type") when empty.
    template <typename Visitor>
    decltype(auto) visit(Visitor&& visitor) {
        if (mIndex == 0) throw Exception("Visiting Variant without type");
        return visitAt<0>(std::forward<Visitor>(visitor), mStorage);
    }
    /// Calls `visitor` with the held value; returns what it returns.
    template <typename Visitor>
    decltype(auto) visit(Visitor&& visitor) const {
        if (mIndex == 0) throw Exception("Visiting Variant without type");
        return visitAt<0>(std::forward<Visitor>(visitor), mStorage);
    }

    /// Sets the raw index without touching the storage; only for tests of the invariant check.
    void setIndexUnsafeForTesting(int index) noexcept { mIndex = index; }

private:
    template <typename T, typename... Args>
    void construct(Args&&... args) {
        new (mStorage) T(std::forward<Args>(args)...);
        mIndex = indexOf<T>();
    }
    // Calls f with the held value when there is one (no-op when empty).
    template <typename F>
    void dispatch(F&& f) {
        if (mIndex != 0) visitAt<0>(std::forward<F>(f), mStorage);
    }
    template <typename F>
    void dispatch(F&& f) const {
        if (mIndex != 0) visitAt<0>(std::forward<F>(f), mStorage);
    }
    template <int I, typename Visitor, typename Storage>
    decltype(auto) visitAt(Visitor&& visitor, Storage* storage) const {
        using T = std::tuple_element_t<I, std::tuple<Ts...>>;
        using Qualified = std::conditional_t<std::is_const_v<Storage>, const T, T>;
        if (mIndex == I + 1) return visitor(*std::launder(reinterpret_cast<Qualified*>(storage)));
        if constexpr (I + 1 < int(sizeof...(Ts))) {
            return visitAt<I + 1>(std::forward<Visitor>(visitor), storage);
        } else {
            KALVEX_STOP();
        }
    }

    static constexpr size_t SIZE = std::max({sizeof(Ts)...});
    static constexpr size_t ALIGN = std::max({alignof(Ts)...});
    alignas(ALIGN) unsigned char mStorage[SIZE];
    int mIndex = 0;
};

} // namespace Kalvex

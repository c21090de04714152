// AtomicInt: an integer changed only with atomic read-modify-write operations.
#pragma once

#include <atomic>

namespace Kalvex {

/// Thin wrapper over std::atomic with the library's naming; all operations are sequentially consistent.
template <typename T>
class AtomicInt {
public:
    /// Starts at `value`.
    constexpr AtomicInt(T value = T()) noexcept
        : mValue(value) {}
    AtomicInt(const AtomicInt&) = delete;
    AtomicInt& operator=(const AtomicInt&) = delete;

    /// Current value.
    [[nodiscard]] T get() const noexcept { return mValue.load(); }
    /// Stores `value`.
    void set(T value) noexcept { mValue.store(value); }
    /// Adds one; returns the new value.
    T increment() noexcept { return ++mValue; }
    /// Subtracts one; returns the new value.
    T decrement() noexcept { return --mValue; }
    /// Adds `delta`; returns the new value.
    T add(T delta) noexcept { return mValue += delta; }
    /// Stores `value`; returns the previous value.
    T exchange(T value) noexcept { return mValue.exchange(value); }
    /// Stores `desired` when the value equals `expected`; returns whether it did.
    bool compareAndSwap(T expected, T desired) noexcept {
        return mValue.compare_exchange_strong(expected, desired);
    }

    /// The current value, as get().
    operator T() const noexcept { return get(); }
    /// Adds one; returns the new value.
    T operator++() noexcept { return increment(); }
    /// Subtracts one; returns the new value.
    T operator--() noexcept { return decrement(); }

private:
    std::atomic<T> mValue;
};

} // namespace Kalvex

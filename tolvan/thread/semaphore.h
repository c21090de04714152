// Semaphore: a counting semaphore with an optional upper bound.
//
//   Semaphore ready(0, 0);          // empty, unbounded
//   // producer: ready.signal();    consumer: ready.passOrWait(0);
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"

#include <utility>

namespace Kalvex {

/// Invariants: 0 <= count, and count <= maximum unless the maximum is 0 (no upper bound). One pointer
/// to a 16-byte-aligned block from tolvanMalloc. Movable (a moved-from semaphore holds nothing: its
/// operations return false); not copyable. Must not be moved or destroyed while another thread uses it.
class Semaphore : public Noncopyable {
public:
    /// Throws Exception("Invalid initial arguments to Kalvex::Semaphore.") when maximum < 0,
    /// initial < 0 or initial > maximum (with maximum 0 that means any initial count above 0);
    /// Exception("Creation of Kalvex::Semaphore failed.") when the native primitives cannot be made.
    explicit Semaphore(int initialCount = 0, int maximumCount = 0);
    /// Takes over the content of `other`.
    Semaphore(Semaphore&& other) noexcept
        : mImpl(std::exchange(other.mImpl, nullptr)) {}
    /// Destroys this semaphore's block, then takes over the other's.
    Semaphore& operator=(Semaphore&& other) noexcept;
    ~Semaphore();

    /// Takes one unit, waiting while the count is 0: without limit when `timeoutMs` is 0, else at most
    /// that many milliseconds. The time-out is used as an unsigned 32-bit count, as the Win32 wait does:
    /// 0xFFFFFFFF (and so -1) waits without limit. True when a unit was taken; false on time-out or error.
    [[nodiscard]] bool passOrWait(int64 timeoutMs);
    /// Takes one unit when the count is above 0, never waits; true when taken.
    [[nodiscard]] bool tryPass();
    /// Returns one unit and wakes one waiter; false (count unchanged) when the count would exceed the
    /// maximum (or 2147483647 without a maximum), or on error.
    bool signal();

private:
    struct Impl;
    Impl* mImpl = nullptr;
};

} // namespace Kalvex

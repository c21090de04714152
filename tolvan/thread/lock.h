// SimpleLock (the library's plain mutex), RecursiveLock and ScopedLock, the guard used with both.
//
//   SimpleLock lock;
//   {
//       ScopedLock guard(lock);   // locked here, released at the end of the scope
//       ...
//   }
//
// Each lock is one pointer wide: the mutex itself lives in a separate 16-byte-aligned block from
// tolvanMalloc, so a SimpleLock can be moved and its owner's layout does not depend on the platform.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"

#include <atomic>
#include <cassert>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#define KALVEX_TSAN_ANNOTATIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KALVEX_TSAN_ANNOTATIONS 1
#endif
#endif
#if defined(KALVEX_TSAN_ANNOTATIONS)
#include <sanitizer/tsan_interface.h>
#endif

namespace Kalvex {

namespace Detail {
/// The block behind a SimpleLock: one futex word, 0 = free, 1 = held, 2 = held with possible waiters.
struct alignas(16) LockWord {
    std::atomic<uint32> mState{0};
};
} // namespace Detail

/// A non-recursive mutex; the lock of the library's hot paths. Movable (a moved-from lock holds nothing
/// and may only be destroyed or assigned to); not copyable. A lock must not be moved or destroyed while
/// another thread uses it. Taking and releasing a free lock is one atomic instruction each, inline;
/// only a contended lock calls into the library (a short spin, then the kernel's futex wait).
/// Contended lock() and unlock() throw std::system_error when the kernel reports an error.
class SimpleLock : public Noncopyable {
public:
    /// Allocates and initialises the mutex (throws BadAlloc when memory is exhausted).
    SimpleLock();
    /// Takes over the content of `other`.
    SimpleLock(SimpleLock&& other) noexcept
        : mMutex(std::exchange(other.mMutex, nullptr)) {}
    /// Destroys and frees the mutex this lock holds, then takes over the other's.
    SimpleLock& operator=(SimpleLock&& other) noexcept;
    ~SimpleLock();

    /// Waits until the calling thread holds the lock. Locking it again from the same thread deadlocks.
    void lock() {
        assert(mMutex && "using a moved-from SimpleLock");
#if defined(KALVEX_TSAN_ANNOTATIONS)
        __tsan_mutex_pre_lock(mMutex, 0);
#endif
        uint32 expected = 0;
        if (!mMutex->mState.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
            lockContended();
        }
#if defined(KALVEX_TSAN_ANNOTATIONS)
        __tsan_mutex_post_lock(mMutex, 0, 0);
#endif
    }
    /// Releases the lock; the calling thread must hold it.
    void unlock() {
        assert(mMutex && "using a moved-from SimpleLock");
#if defined(KALVEX_TSAN_ANNOTATIONS)
        __tsan_mutex_pre_unlock(mMutex, 0);
#endif
        if (mMutex->mState.exchange(0, std::memory_order_release) == 2) wakeOne();
#if defined(KALVEX_TSAN_ANNOTATIONS)
        __tsan_mutex_post_unlock(mMutex, 0);
#endif
    }
    /// Takes the lock when it is free, never waits: true when taken, false when another thread holds it.
    [[nodiscard]] bool tryLock() {
        assert(mMutex && "using a moved-from SimpleLock");
#if defined(KALVEX_TSAN_ANNOTATIONS)
        __tsan_mutex_pre_lock(mMutex, __tsan_mutex_try_lock);
#endif
        uint32 expected = 0;
        const bool taken = mMutex->mState.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                                                  std::memory_order_relaxed);
#if defined(KALVEX_TSAN_ANNOTATIONS)
        __tsan_mutex_post_lock(mMutex, taken ? __tsan_mutex_try_lock : __tsan_mutex_try_lock_failed, 0);
#endif
        return taken;
    }

    /// True unless moved from.
    [[nodiscard]] bool isValid() const noexcept {
        return mMutex != nullptr;
    }

private:
    void lockContended();
    void wakeOne();

    Detail::LockWord* mMutex = nullptr;
};

/// A mutex that its owning thread may lock again; every lock() needs one unlock(). One pointer to a
/// 16-byte-aligned block holding a recursive mutex; not movable, no tryLock. Meant for the few places
/// that need re-entry; SimpleLock is the faster lock.
class RecursiveLock : public Noncopyable {
public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(RecursiveLock&&) = delete;
    RecursiveLock& operator=(RecursiveLock&&) = delete;

    /// Waits until the calling thread holds the lock (at once when it already does).
    void lock();
    /// Releases one level; the calling thread must hold the lock.
    void unlock();

private:
    void* mMutex;
};

/// Locks a SimpleLock or RecursiveLock (anything with lock() and unlock()) for its lifetime and
/// releases it on destruction if it still holds it.
template <typename Lock>
class [[nodiscard]] ScopedLock : public Noncopyable {
public:
    /// Locks `lock` until destruction.
    explicit ScopedLock(Lock& lock)
        : mLock(&lock) {
        lock.lock();
        mHeld = true;
    }
    ~ScopedLock() {
        if (mHeld) mLock->unlock();
    }

    /// Releases the lock before the end of the scope (nothing when already released).
    void unlock() {
        if (mHeld) {
            mHeld = false;
            mLock->unlock();
        }
    }
    /// Takes the lock again after unlock() (nothing when held).
    void lock() {
        if (!mHeld) {
            mLock->lock();
            mHeld = true;
        }
    }
    /// True while the lock is held.
    [[nodiscard]] bool isLocked() const noexcept { return mHeld; }

private:
    Lock* mLock;
    bool mHeld = false;
};

} // namespace Kalvex

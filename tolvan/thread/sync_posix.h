// Private to the library's .cpp files (never included by a public header): the pthread helpers shared
// by the thread/*_posix.cpp files.
#pragma once

#include "tolvan/common/allocator.h"
#include "tolvan/common/types.h"

#include <cerrno>
#include <ctime>
#include <new>
#include <pthread.h>
#include <system_error>
#include <utility>

namespace Kalvex::Detail::Posix {

/// Throws std::system_error for a pthread result other than 0.
inline void check(int result, const char* what) {
    if (result != 0) throw std::system_error(result, std::system_category(), what);
}

/// A T constructed in a block from tolvanMalloc at 16-byte alignment (the library's lock blocks).
template <typename T, typename... Args>
[[nodiscard]] T* newBlock(Args&&... args) {
    void* memory = tolvanMalloc(sizeof(T), 16);
    try {
        return new (memory) T(std::forward<Args>(args)...);
    } catch (...) {
        tolvanFree(memory);
        throw;
    }
}
template <typename T>
void deleteBlock(T* block) noexcept {
    if (!block) return;
    block->~T();
    tolvanFree(block);
}

/// CLOCK_MONOTONIC now.
[[nodiscard]] inline timespec monotonicNow() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}
/// `base` plus `ms` milliseconds.
[[nodiscard]] inline timespec addMilliseconds(timespec base, uint64 ms) noexcept {
    base.tv_sec += time_t(ms / 1000);
    base.tv_nsec += long(ms % 1000) * 1000000L;
    if (base.tv_nsec >= 1000000000L) {
        base.tv_nsec -= 1000000000L;
        ++base.tv_sec;
    }
    return base;
}
[[nodiscard]] inline bool isBefore(const timespec& a, const timespec& b) noexcept {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

/// A condition variable whose timed waits use CLOCK_MONOTONIC, so clock changes do not stretch them.
class Condition {
public:
    Condition() {
        pthread_condattr_t attr;
        check(pthread_condattr_init(&attr), "pthread_condattr_init");
        int result = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        if (result == 0) result = pthread_cond_init(&mCond, &attr);
        pthread_condattr_destroy(&attr);
        check(result, "pthread_cond_init");
    }
    ~Condition() { pthread_cond_destroy(&mCond); }
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    void wait(pthread_mutex_t& mutex) { check(pthread_cond_wait(&mCond, &mutex), "pthread_cond_wait"); }
    /// Waits until signalled or until the CLOCK_MONOTONIC `deadline`; false on time-out.
    bool waitUntil(pthread_mutex_t& mutex, const timespec& deadline) {
        const int result = pthread_cond_timedwait(&mCond, &mutex, &deadline);
        if (result == ETIMEDOUT) return false;
        check(result, "pthread_cond_timedwait");
        return true;
    }
    void signalOne() { check(pthread_cond_signal(&mCond), "pthread_cond_signal"); }
    void signalAll() { check(pthread_cond_broadcast(&mCond), "pthread_cond_broadcast"); }

private:
    pthread_cond_t mCond;
};

/// A default (non-recursive) pthread mutex with lock/unlock that throw on error.
class Mutex {
public:
    Mutex() { check(pthread_mutex_init(&mMutex, nullptr), "pthread_mutex_init"); }
    ~Mutex() { pthread_mutex_destroy(&mMutex); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() { check(pthread_mutex_lock(&mMutex), "pthread_mutex_lock"); }
    void unlock() { check(pthread_mutex_unlock(&mMutex), "pthread_mutex_unlock"); }
    pthread_mutex_t& native() noexcept { return mMutex; }

private:
    pthread_mutex_t mMutex;
};

/// Holds a Mutex for a scope.
class MutexGuard {
public:
    explicit MutexGuard(Mutex& mutex)
        : mMutex(mutex) {
        mMutex.lock();
    }
    // Unlocking a default mutex that this thread locked cannot fail; a destructor must not throw.
    ~MutexGuard() { pthread_mutex_unlock(&mMutex.native()); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    Mutex& mMutex;
};

} // namespace Kalvex::Detail::Posix

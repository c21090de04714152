// SimpleLock's contended path on the Linux futex; RecursiveLock on a recursive pthread mutex.
#include "tolvan/thread/lock.h"

#include "tolvan/thread/sync_posix.h"

#include <immintrin.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Kalvex {
namespace {

using Detail::Posix::check;

// Spins this many rounds on a held lock before sleeping: a queue lock is held for a few dozen
// instructions, so a short spin usually wins; a longer one only burns a core the holder may need.
constexpr int SPIN_ROUNDS = 32;

void futexWait(std::atomic<uint32>& word, uint32 expected) {
    const long result = syscall(SYS_futex, reinterpret_cast<uint32*>(&word), FUTEX_WAIT_PRIVATE, expected,
                                nullptr, nullptr, 0);
    if (result != 0 && errno != EAGAIN && errno != EINTR) check(errno, "SimpleLock::lock (futex wait)");
}

void futexWakeOne(std::atomic<uint32>& word) {
    const long result =
        syscall(SYS_futex, reinterpret_cast<uint32*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    if (result < 0) check(errno, "SimpleLock::unlock (futex wake)");
}

} // namespace

SimpleLock::SimpleLock()
    : mMutex(Detail::Posix::newBlock<Detail::LockWord>()) {
#if defined(KALVEX_TSAN_ANNOTATIONS)
    __tsan_mutex_create(mMutex, 0);
#endif
}

SimpleLock& SimpleLock::operator=(SimpleLock&& other) noexcept {
    if (this != &other) {
#if defined(KALVEX_TSAN_ANNOTATIONS)
        if (mMutex) __tsan_mutex_destroy(mMutex, 0);
#endif
        Detail::Posix::deleteBlock(mMutex);
        mMutex = std::exchange(other.mMutex, nullptr);
    }
    return *this;
}

SimpleLock::~SimpleLock() {
#if defined(KALVEX_TSAN_ANNOTATIONS)
    if (mMutex) __tsan_mutex_destroy(mMutex, 0);
#endif
    Detail::Posix::deleteBlock(mMutex);
}

// The word is 1 or 2 here. Spin while it is held without waiters; then mark it 2 ("someone may
// sleep") and sleep until an unlock finds the 2 and wakes one sleeper. A woken thread takes the lock
// with 2 again, because it cannot know whether others still sleep (Drepper, "Futexes Are Tricky").
void SimpleLock::lockContended() {
    std::atomic<uint32>& word = mMutex->mState;
    for (int i = 0; i < SPIN_ROUNDS; ++i) {
        uint32 state = word.load(std::memory_order_relaxed);
        if (state == 0 &&
            word.compare_exchange_weak(state, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return;
        }
        if (state == 2) break;
        _mm_pause();
    }
    while (word.exchange(2, std::memory_order_acquire) != 0)
        futexWait(word, 2);
}

void SimpleLock::wakeOne() {
    futexWakeOne(mMutex->mState);
}

// RecursiveLock ------------------------------------------------------------------------------------

RecursiveLock::RecursiveLock() {
    auto* mutex = static_cast<pthread_mutex_t*>(tolvanMalloc(sizeof(pthread_mutex_t), 16));
    pthread_mutexattr_t attr;
    int result = pthread_mutexattr_init(&attr);
    if (result == 0) {
        result = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        if (result == 0) result = pthread_mutex_init(mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    if (result != 0) {
        tolvanFree(mutex);
        check(result, "RecursiveLock");
    }
    mMutex = mutex;
}

RecursiveLock::~RecursiveLock() {
    pthread_mutex_destroy(static_cast<pthread_mutex_t*>(mMutex));
    tolvanFree(mMutex);
}

void RecursiveLock::lock() {
    check(pthread_mutex_lock(static_cast<pthread_mutex_t*>(mMutex)), "RecursiveLock::lock");
}

void RecursiveLock::unlock() {
    check(pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mMutex)), "RecursiveLock::unlock");
}

} // namespace Kalvex

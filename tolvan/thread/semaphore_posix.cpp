// Semaphore on a pthread mutex and a CLOCK_MONOTONIC condition variable, with the wxSemaphore rules
// (initial, maximum, 0 = unbounded).
#include "tolvan/thread/semaphore.h"

#include "tolvan/common/exception.h"
#include "tolvan/thread/sync_posix.h"

#include <climits>

namespace Kalvex {

using namespace Detail::Posix;

struct Semaphore::Impl {
    Mutex mMutex;
    Condition mAvailable;
    int mCount = 0;
    int mMaximum = 0;
};

namespace {

constexpr uint32 INFINITE_WAIT = 0xFFFFFFFF;

} // namespace

Semaphore::Semaphore(int initialCount, int maximumCount) {
    // As the original: the native semaphore first, then the argument check.
    Impl* impl;
    try {
        impl = newBlock<Impl>();
    } catch (const std::system_error&) {
        throw Exception("Creation of Kalvex::Semaphore failed.");
    }
    if (maximumCount < 0 || initialCount > maximumCount || initialCount < 0) {
        deleteBlock(impl);
        throw Exception("Invalid initial arguments to Kalvex::Semaphore.");
    }
    impl->mCount = initialCount;
    impl->mMaximum = maximumCount;
    mImpl = impl;
}

Semaphore& Semaphore::operator=(Semaphore&& other) noexcept {
    if (this != &other) {
        deleteBlock(mImpl);
        mImpl = std::exchange(other.mImpl, nullptr);
    }
    return *this;
}

Semaphore::~Semaphore() {
    deleteBlock(mImpl);
}

bool Semaphore::passOrWait(int64 timeoutMs) {
    if (!mImpl) return false;
    try {
        const uint32 ms = uint32(uint64(timeoutMs));
        const bool unlimited = ms == 0 || ms == INFINITE_WAIT;
        const timespec deadline = unlimited ? timespec{} : addMilliseconds(monotonicNow(), ms);
        MutexGuard guard(mImpl->mMutex);
        while (mImpl->mCount == 0) {
            if (unlimited) {
                mImpl->mAvailable.wait(mImpl->mMutex.native());
            } else if (!mImpl->mAvailable.waitUntil(mImpl->mMutex.native(), deadline)) {
                if (mImpl->mCount == 0) return false;
            }
        }
        --mImpl->mCount;
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

bool Semaphore::tryPass() {
    if (!mImpl) return false;
    try {
        MutexGuard guard(mImpl->mMutex);
        if (mImpl->mCount == 0) return false;
        --mImpl->mCount;
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

bool Semaphore::signal() {
    if (!mImpl) return false;
    try {
        MutexGuard guard(mImpl->mMutex);
        const int limit = mImpl->mMaximum > 0 ? mImpl->mMaximum : INT_MAX;
        if (mImpl->mCount >= limit) return false;
        ++mImpl->mCount;
        // Signalled under the mutex: the waiter may destroy the semaphore as soon as it has passed.
        mImpl->mAvailable.signalOne();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

} // namespace Kalvex

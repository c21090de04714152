// ReaderWriterLock: one pthread mutex, two CLOCK_MONOTONIC condition variables (the gates) and one
// atomic word holding the reader count and the writer-entered flag. Readers enter and leave with one
// compare-and-swap on that word while no writer has entered; everything else goes through the mutex.
#include "tolvan/thread/readerwriterlock.h"

#include "tolvan/thread/sync_posix.h"

#include <atomic>

namespace Kalvex {

using namespace Detail::Posix;

namespace {
// The low 32 bits count the readers, bit 32 is the writer-entered flag.
constexpr uint64 READER_MASK = 0xFFFFFFFFull;
constexpr uint64 WRITER_ENTERED = 1ull << 32;
constexpr uint64 MAX_READERS = READER_MASK;

uint32 readersOf(uint64 word) {
    return uint32(word & READER_MASK);
}
// No writer has entered and the count is below its maximum: a reader may enter, and one may leave
// without waking anybody (no writer waits for it, no reader waits for room).
bool isOpenToReaders(uint64 word) {
    return (word & WRITER_ENTERED) == 0 && readersOf(word) != MAX_READERS;
}
} // namespace

// The fields of the design in their order, the reader count and the flag sharing one atomic word; the
// two waiter counts after them serve getState() only. The flag changes only under the mutex; the
// count changes without it only while the flag is clear and the count is below its maximum, so a
// thread that holds the mutex and sees the flag set (or the count at its maximum) sees every change
// of the count that matters to it.
struct ReaderWriterLock::Impl {
    Mutex mMutex;
    Condition mWriterGate; // the entered writer waits here for the readers to drain
    Condition mEntryGate;  // new readers and further writers wait here
    std::atomic<uint64> mWord{0};
    uint32 mEntryWaiters = 0;
    uint32 mWriterWaiters = 0;
};

ReaderWriterLock::ReaderWriterLock()
    : mImpl(newBlock<Impl>()) {}

// A thread that has just let another one in may still be inside unlockWrite or unlockRead, holding
// the mutex; taking it once makes sure that thread is done with the block before it is freed.
ReaderWriterLock::~ReaderWriterLock() {
    { MutexGuard guard(mImpl->mMutex); }
    deleteBlock(mImpl);
}

void ReaderWriterLock::lockWrite() {
    Impl& s = *mImpl;
    MutexGuard guard(s.mMutex);
    while ((s.mWord.load(std::memory_order_relaxed) & WRITER_ENTERED) != 0) {
        ++s.mEntryWaiters;
        s.mEntryGate.wait(s.mMutex.native());
        --s.mEntryWaiters;
    }
    // From here on no new reader gets in: their compare-and-swap fails on the flag.
    s.mWord.fetch_or(WRITER_ENTERED, std::memory_order_acquire);
    while (readersOf(s.mWord.load(std::memory_order_acquire)) != 0) {
        ++s.mWriterWaiters;
        s.mWriterGate.wait(s.mMutex.native());
        --s.mWriterWaiters;
    }
}

// The gate is opened under the mutex: a reader let in may leave and destroy the lock at once, and the
// destructor waits for the mutex.
void ReaderWriterLock::unlockWrite() {
    Impl& s = *mImpl;
    MutexGuard guard(s.mMutex);
    s.mWord.fetch_and(~WRITER_ENTERED, std::memory_order_release);
    s.mEntryGate.signalAll();
}

void ReaderWriterLock::lockRead() {
    Impl& s = *mImpl;
    uint64 word = s.mWord.load(std::memory_order_relaxed);
    while (isOpenToReaders(word)) {
        if (s.mWord.compare_exchange_weak(word, word + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed))
            return;
    }
    MutexGuard guard(s.mMutex);
    for (;;) {
        word = s.mWord.load(std::memory_order_relaxed);
        if (!isOpenToReaders(word)) {
            ++s.mEntryWaiters;
            s.mEntryGate.wait(s.mMutex.native());
            --s.mEntryWaiters;
        } else if (s.mWord.compare_exchange_weak(word, word + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
            return;
        }
    }
}

// With a writer waiting (or readers waiting for room) the count is lowered under the mutex, so the
// thread woken cannot run ahead and destroy the lock before this one is done with it.
void ReaderWriterLock::unlockRead() {
    Impl& s = *mImpl;
    uint64 word = s.mWord.load(std::memory_order_relaxed);
    while (isOpenToReaders(word)) {
        if (s.mWord.compare_exchange_weak(word, word - 1, std::memory_order_release,
                                          std::memory_order_relaxed))
            return;
    }
    MutexGuard guard(s.mMutex);
    word = s.mWord.fetch_sub(1, std::memory_order_release);
    if ((word & WRITER_ENTERED) != 0) {
        if (readersOf(word) == 1) s.mWriterGate.signalOne();
    } else if (readersOf(word) == MAX_READERS) {
        s.mEntryGate.signalAll();
    }
}

ReaderWriterLock::State ReaderWriterLock::getState() const {
    Impl& s = *mImpl;
    MutexGuard guard(s.mMutex);
    const uint64 word = s.mWord.load(std::memory_order_relaxed);
    return State{readersOf(word), (word & WRITER_ENTERED) != 0, s.mEntryWaiters, s.mWriterWaiters};
}

} // namespace Kalvex

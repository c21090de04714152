// ReaderWriterLock: one pthread mutex and two CLOCK_MONOTONIC condition variables (the gates).
#include "tolvan/thread/readerwriterlock.h"

#include "tolvan/thread/sync_posix.h"

namespace Kalvex {

using namespace Detail::Posix;

// The fields of the design in their order; the two waiter counts after them serve getState() only.
struct ReaderWriterLock::Impl {
    Mutex mMutex;
    Condition mWriterGate; // the entered writer waits here for the readers to drain
    Condition mEntryGate;  // new readers and further writers wait here
    uint32 mReaders = 0;
    bool mWriterEntered = false;
    uint32 mEntryWaiters = 0;
    uint32 mWriterWaiters = 0;
};

namespace {
constexpr uint32 MAX_READERS = 0xFFFFFFFF;
} // namespace

ReaderWriterLock::ReaderWriterLock()
    : mImpl(newBlock<Impl>()) {}

ReaderWriterLock::~ReaderWriterLock() {
    deleteBlock(mImpl);
}

void ReaderWriterLock::lockWrite() {
    Impl& s = *mImpl;
    MutexGuard guard(s.mMutex);
    while (s.mWriterEntered) {
        ++s.mEntryWaiters;
        s.mEntryGate.wait(s.mMutex.native());
        --s.mEntryWaiters;
    }
    s.mWriterEntered = true; // from here on no new reader gets in
    while (s.mReaders != 0) {
        ++s.mWriterWaiters;
        s.mWriterGate.wait(s.mMutex.native());
        --s.mWriterWaiters;
    }
}

void ReaderWriterLock::unlockWrite() {
    Impl& s = *mImpl;
    {
        MutexGuard guard(s.mMutex);
        s.mWriterEntered = false;
    }
    s.mEntryGate.signalAll();
}

void ReaderWriterLock::lockRead() {
    Impl& s = *mImpl;
    MutexGuard guard(s.mMutex);
    while (s.mWriterEntered || s.mReaders == MAX_READERS) {
        ++s.mEntryWaiters;
        s.mEntryGate.wait(s.mMutex.native());
        --s.mEntryWaiters;
    }
    ++s.mReaders;
}

void ReaderWriterLock::unlockRead() {
    Impl& s = *mImpl;
    uint32 readers;
    bool writerEntered;
    {
        MutexGuard guard(s.mMutex);
        readers = --s.mReaders;
        writerEntered = s.mWriterEntered;
    }
    if (writerEntered && readers == 0) {
        s.mWriterGate.signalOne();
    } else if (!writerEntered && readers == MAX_READERS - 1) {
        s.mEntryGate.signalAll();
    }
}

ReaderWriterLock::State ReaderWriterLock::getState() const {
    Impl& s = *mImpl;
    MutexGuard guard(s.mMutex);
    return State{s.mReaders, s.mWriterEntered, s.mEntryWaiters, s.mWriterWaiters};
}

} // namespace Kalvex

// ReaderWriterLock: many readers or one writer, writers preferred.
//
//   ReaderWriterLock lock;
//   { ScopedReadLock read(lock);   ... }   // shared
//   { ScopedWriteLock write(lock); ... }   // exclusive
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"

namespace Kalvex {

/// Writer-preferring reader/writer lock with two gates. Once a writer has entered lockWrite, no new
/// reader gets in until that writer has called unlockWrite, even while older readers still hold the
/// lock; writers among themselves are not ordered. At most 4294967295 readers at once. Not recursive:
/// a thread holding a read lock must not take the write lock, nor the read lock again while a writer
/// waits. One pointer to a 16-byte-aligned block; not movable. Errors of the native mutex or
/// condition variables are thrown as std::system_error.
class ReaderWriterLock : public Noncopyable {
public:
    ReaderWriterLock();
    /// No thread may hold or wait for the lock any more; the thread it let in last may destroy it at
    /// once, while the one that let it in is still returning from unlockWrite or unlockRead.
    ~ReaderWriterLock();
    ReaderWriterLock(ReaderWriterLock&&) = delete;
    ReaderWriterLock& operator=(ReaderWriterLock&&) = delete;

    /// Waits while a writer has entered (or the reader count is at its maximum), then counts one reader.
    void lockRead();
    /// Releases one reader; the last one out lets a waiting writer in.
    void unlockRead();
    /// Waits for the previous writer to leave, bars new readers, then waits for the readers to drain.
    void lockWrite();
    /// Releases the writer and lets the waiting readers and writers compete again.
    void unlockWrite();

    /// For tests and diagnostics: a snapshot of the state, taken under the lock's mutex (readers may
    /// come and go meanwhile while no writer has entered).
    struct State {
        /// Readers holding the lock.
        uint32 mReaders;
        /// Whether a writer has entered (holds the lock or waits for the readers to drain).
        bool mWriterEntered;
        /// Threads waiting at the entry gate (new readers and further writers).
        uint32 mEntryWaiters;
        /// 1 while the entered writer waits for readers to drain.
        uint32 mWriterWaiters;
    };
    /// The current state (see State).
    [[nodiscard]] State getState() const;

private:
    struct Impl;
    Impl* mImpl;
};

/// Holds a read lock for its lifetime.
class [[nodiscard]] ScopedReadLock : public Noncopyable {
public:
    /// Takes a read lock of `lock`, which must outlive this object.
    explicit ScopedReadLock(ReaderWriterLock& lock)
        : mLock(lock) {
        mLock.lockRead();
    }
    ~ScopedReadLock() { mLock.unlockRead(); }

private:
    ReaderWriterLock& mLock;
};

/// Holds the write lock for its lifetime.
class [[nodiscard]] ScopedWriteLock : public Noncopyable {
public:
    /// Takes the write lock of `lock`, which must outlive this object.
    explicit ScopedWriteLock(ReaderWriterLock& lock)
        : mLock(lock) {
        mLock.lockWrite();
    }
    ~ScopedWriteLock() { mLock.unlockWrite(); }

private:
    ReaderWriterLock& mLock;
};

} // namespace Kalvex

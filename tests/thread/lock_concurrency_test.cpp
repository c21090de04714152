// The lock tests: they need several threads and run under ThreadSanitizer too. None sleeps
// for a guessed time: a test that waits for another thread to block asks the kernel (support/blocking.h)
// or the lock itself (ReaderWriterLock::getState) whether it has.
#include "tolvan/common/exception.h"
#include "tolvan/thread/lock.h"
#include "tolvan/thread/readerwriterlock.h"
#include "tolvan/thread/semaphore.h"
#include "tolvan/thread/thread.h"

#include "support/blocking.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

using namespace Kalvex;
using TolvanTest::waitUntil;
using TolvanTest::waitUntilBlocked;

namespace {

// Records the order in which threads reach points of a test.
class EventLog {
public:
    void add(const std::string& event) {
        std::lock_guard guard(mMutex);
        mEvents.push_back(event);
    }
    std::vector<std::string> get() {
        std::lock_guard guard(mMutex);
        return mEvents;
    }

private:
    std::mutex mMutex;
    std::vector<std::string> mEvents;
};

} // namespace

// ---- SimpleLock ----

TEST(SimpleLockConcurrency, TryLockFailsWhileAnotherThreadHoldsIt) {
    SimpleLock lock;
    Semaphore held;
    Semaphore release;
    Thread holder([&] {
        lock.lock();
        held.signal();
        (void)release.passOrWait(0);
        lock.unlock();
    });
    ASSERT_TRUE(held.passOrWait(0));
    EXPECT_FALSE(lock.tryLock());
    release.signal();
    ASSERT_TRUE(holder.join());
    EXPECT_TRUE(lock.tryLock());
    EXPECT_FALSE(lock.tryLock()); // not recursive: held by this thread now
    lock.unlock();
}

TEST(SimpleLockConcurrency, SerialisesWritersExactly) {
    SimpleLock lock;
    long counter = 0; // guarded by `lock` only
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 20000;
    std::vector<Thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < ROUNDS; ++i) {
                ScopedLock guard(lock);
                ++counter;
            }
        });
    }
    for (Thread& t : threads)
        ASSERT_TRUE(t.join());
    EXPECT_EQ(counter, long(THREADS) * ROUNDS);
}

TEST(SimpleLockConcurrency, ABlockedLockerGetsInAfterUnlock) {
    SimpleLock lock;
    std::atomic<unsigned> tid{0};
    std::atomic<bool> acquired{false};
    lock.lock();
    Thread waiter([&] {
        tid = Utils::getThreadId();
        lock.lock();
        acquired = true;
        lock.unlock();
    });
    ASSERT_TRUE(waitUntil([&] { return tid.load() != 0; }));
    ASSERT_TRUE(waitUntilBlocked(tid));
    EXPECT_FALSE(acquired.load());
    lock.unlock();
    ASSERT_TRUE(waiter.join());
    EXPECT_TRUE(acquired.load());
}

TEST(SimpleLockConcurrency, MovedLockKeepsWorking) {
    SimpleLock a;
    SimpleLock b(std::move(a));
    EXPECT_FALSE(a.isValid());
    EXPECT_TRUE(b.isValid());
    SimpleLock c;
    c = std::move(b); // frees c's own mutex first
    EXPECT_FALSE(b.isValid());
    a = std::move(c); // a moved-from lock may be assigned to
    ScopedLock guard(a);
    EXPECT_TRUE(guard.isLocked());
    guard.unlock();
    EXPECT_FALSE(guard.isLocked());
    EXPECT_TRUE(a.tryLock());
    a.unlock();
}

// ---- RecursiveLock ----

TEST(RecursiveLockConcurrency, HeldUntilUnlockedAsOftenAsLocked) {
    RecursiveLock lock;
    std::atomic<unsigned> tid{0};
    std::atomic<bool> acquired{false};
    lock.lock();
    lock.lock(); // the owner may lock again
    Thread other([&] {
        tid = Utils::getThreadId();
        lock.lock();
        acquired = true;
        lock.unlock();
    });
    ASSERT_TRUE(waitUntil([&] { return tid.load() != 0; }));
    ASSERT_TRUE(waitUntilBlocked(tid));
    lock.unlock(); // one level left: still held
    EXPECT_TRUE(TolvanTest::isBlockedInFutex(tid));
    EXPECT_FALSE(acquired.load());
    lock.unlock();
    ASSERT_TRUE(other.join());
    EXPECT_TRUE(acquired.load());
    ScopedLock guard(lock); // free again
}

// ---- Semaphore ----

TEST(SemaphoreConcurrency, InvalidArgumentsAreRejectedWithTheExactMessage) {
    struct Case {
        int initial;
        int maximum;
    };
    for (const Case c : {Case{1, 0}, Case{-1, 5}, Case{0, -1}, Case{4, 3}}) {
        try {
            Semaphore s(c.initial, c.maximum);
            FAIL() << c.initial << "/" << c.maximum;
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "Invalid initial arguments to Kalvex::Semaphore.");
        }
    }
    EXPECT_NO_THROW(Semaphore(0, 0));
    EXPECT_NO_THROW(Semaphore(3, 3));
    EXPECT_NO_THROW(Semaphore(0, 1));
}

TEST(SemaphoreConcurrency, BoundsAreKept) {
    Semaphore unbounded; // (0, 0): no upper bound
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(unbounded.signal());
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(unbounded.tryPass());
    EXPECT_FALSE(unbounded.tryPass());

    Semaphore full(3, 3);
    EXPECT_FALSE(full.signal()); // would exceed the maximum; the count stays 3
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(full.tryPass());
    EXPECT_FALSE(full.tryPass());
    EXPECT_TRUE(full.signal());
    EXPECT_TRUE(full.passOrWait(0));

    Semaphore moved(1, 1);
    Semaphore target(std::move(moved));
    EXPECT_FALSE(moved.tryPass()); // moved-from: every operation fails
    EXPECT_FALSE(moved.signal());
    EXPECT_FALSE(moved.passOrWait(5));
    EXPECT_TRUE(target.tryPass());
    moved = std::move(target);
    EXPECT_FALSE(moved.tryPass());
    EXPECT_TRUE(moved.signal());
    EXPECT_TRUE(moved.tryPass());
}

TEST(SemaphoreConcurrency, PassOrWaitBlocksUntilSignalled) {
    Semaphore semaphore;
    EXPECT_FALSE(semaphore.tryPass()); // at once
    std::atomic<unsigned> tid{0};
    std::atomic<bool> passed{false};
    Thread waiter([&] {
        tid = Utils::getThreadId();
        passed = semaphore.passOrWait(0); // no time limit
    });
    ASSERT_TRUE(waitUntil([&] { return tid.load() != 0; }));
    ASSERT_TRUE(waitUntilBlocked(tid));
    EXPECT_FALSE(passed.load());
    EXPECT_TRUE(semaphore.signal());
    ASSERT_TRUE(waiter.join());
    EXPECT_TRUE(passed.load());
    EXPECT_FALSE(semaphore.tryPass()); // the unit was taken
}

TEST(SemaphoreConcurrency, PassOrWaitTimesOut) {
    Semaphore semaphore(0, 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(semaphore.passOrWait(20));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_TRUE(semaphore.signal());
    EXPECT_TRUE(semaphore.passOrWait(20));
}

TEST(SemaphoreConcurrency, ProducersAndConsumersBalance) {
    Semaphore items(0, 0);
    constexpr int PER_PRODUCER = 5000;
    std::atomic<int> consumed{0};
    std::vector<Thread> threads;
    for (int p = 0; p < 2; ++p) {
        threads.emplace_back([&] {
            for (int i = 0; i < PER_PRODUCER; ++i)
                ASSERT_TRUE(items.signal());
        });
        threads.emplace_back([&] {
            for (int i = 0; i < PER_PRODUCER; ++i) {
                if (items.passOrWait(0)) ++consumed;
            }
        });
    }
    for (Thread& t : threads)
        ASSERT_TRUE(t.join());
    EXPECT_EQ(consumed.load(), 2 * PER_PRODUCER);
    EXPECT_FALSE(items.tryPass());
}

// ---- ReaderWriterLock ----

TEST(ReaderWriterLockConcurrency, WaitingWriterGoesBeforeLaterReaders) {
    ReaderWriterLock lock;
    EventLog log;
    lock.lockRead(); // the first reader: this thread

    Thread writer([&] {
        lock.lockWrite();
        log.add("writer in");
        log.add("writer out");
        lock.unlockWrite();
    });
    // The writer has entered: flag set, waiting at the writer gate for this reader to leave.
    ASSERT_TRUE(waitUntil([&] {
        const auto s = lock.getState();
        return s.mWriterEntered && s.mWriterWaiters == 1;
    }));

    Thread secondReader([&] {
        lock.lockRead();
        log.add("second reader in");
        lock.unlockRead();
    });
    // The second reader waits at the entry gate, although only a reader holds the lock.
    ASSERT_TRUE(waitUntil([&] { return lock.getState().mEntryWaiters == 1; }));
    EXPECT_EQ(lock.getState().mReaders, 1u);
    EXPECT_TRUE(log.get().empty());

    lock.unlockRead();
    ASSERT_TRUE(writer.join());
    ASSERT_TRUE(secondReader.join());
    const std::vector<std::string> expected = {"writer in", "writer out", "second reader in"};
    EXPECT_EQ(log.get(), expected);
    const auto s = lock.getState();
    EXPECT_EQ(s.mReaders, 0u);
    EXPECT_FALSE(s.mWriterEntered);
}

TEST(ReaderWriterLockConcurrency, ReadersShareAndWritersExclude) {
    ReaderWriterLock lock;
    // Two readers inside at once: each waits for the other while holding the read lock.
    std::atomic<int> inside{0};
    auto reader = [&] {
        ScopedReadLock read(lock);
        ++inside;
        ASSERT_TRUE(waitUntil([&] { return inside.load() == 2; }));
    };
    Thread a(reader);
    Thread b(reader);
    ASSERT_TRUE(a.join());
    ASSERT_TRUE(b.join());

    // Readers and writers mixed: a writer is always alone, the data never tears.
    long data[2] = {0, 0};
    std::atomic<int> readers{0};
    std::atomic<int> writers{0};
    std::atomic<bool> violated{false};
    std::vector<Thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 3000; ++i) {
                if ((i + t) % 4 == 0) {
                    ScopedWriteLock write(lock);
                    if (++writers != 1 || readers.load() != 0) violated = true;
                    ++data[0];
                    ++data[1];
                    --writers;
                } else {
                    ScopedReadLock read(lock);
                    ++readers;
                    if (writers.load() != 0 || data[0] != data[1]) violated = true;
                    --readers;
                }
            }
        });
    }
    for (Thread& t : threads)
        ASSERT_TRUE(t.join());
    EXPECT_FALSE(violated.load());
    EXPECT_EQ(data[0], 3000);
}

// Readers queued behind a writer all get in together once it leaves; a writer behind two readers gets
// in only when the last of them has left.
TEST(ReaderWriterLockConcurrency, WaitingReadersAreReleasedWhenTheWriterLeaves) {
    constexpr int READERS = 3;
    ReaderWriterLock lock;
    lock.lockWrite();
    std::atomic<int> inside{0};
    std::vector<Thread> readers;
    for (int i = 0; i < READERS; ++i) {
        readers.emplace_back([&] {
            ScopedReadLock read(lock);
            ++inside;
            // Every reader holds the lock until all of them are in: they were let in together.
            EXPECT_TRUE(waitUntil([&] { return inside.load() == READERS; }));
        });
    }
    ASSERT_TRUE(waitUntil([&] { return lock.getState().mEntryWaiters == READERS; }));
    EXPECT_EQ(inside.load(), 0);
    EXPECT_EQ(lock.getState().mReaders, 0u);
    lock.unlockWrite();
    for (Thread& t : readers)
        ASSERT_TRUE(t.join());
    EXPECT_EQ(inside.load(), READERS);

    // The writer gate only opens when the last reader leaves.
    lock.lockRead();
    lock.lockRead();
    Thread writer([&] { ScopedWriteLock write(lock); });
    ASSERT_TRUE(waitUntil([&] { return lock.getState().mWriterWaiters == 1; }));
    lock.unlockRead();
    EXPECT_EQ(lock.getState().mWriterWaiters, 1u);
    EXPECT_EQ(lock.getState().mReaders, 1u);
    lock.unlockRead();
    ASSERT_TRUE(writer.join());
    const auto s = lock.getState();
    EXPECT_EQ(s.mReaders, 0u);
    EXPECT_FALSE(s.mWriterEntered);
    EXPECT_EQ(s.mEntryWaiters, 0u);
    EXPECT_EQ(s.mWriterWaiters, 0u);
}

// The thread let in last may destroy the lock at once, while the one that let it in is still inside
// unlockWrite or unlockRead. Half of the rounds wait until the second thread blocks, the others let
// it arrive at any moment (also just as the gate opens).
TEST(ReaderWriterLockConcurrency, TheThreadLetInMayDestroyTheLockAtOnce) {
    using Op = void (ReaderWriterLock::*)();
    struct Case {
        const char* mName;
        Op mHold;
        Op mRelease;
        Op mEnter;
        Op mLeave;
        uint32 ReaderWriterLock::State::*mWaiters; // where the second thread shows that it blocks
    };
    const Case cases[] = {
        {"a reader let in by the leaving writer", &ReaderWriterLock::lockWrite,
         &ReaderWriterLock::unlockWrite, &ReaderWriterLock::lockRead, &ReaderWriterLock::unlockRead,
         &ReaderWriterLock::State::mEntryWaiters},
        {"a writer let in by the last reader", &ReaderWriterLock::lockRead, &ReaderWriterLock::unlockRead,
         &ReaderWriterLock::lockWrite, &ReaderWriterLock::unlockWrite,
         &ReaderWriterLock::State::mWriterWaiters},
    };
    constexpr int ROUNDS = 300;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mName);
        for (int round = 0; round < ROUNDS; ++round) {
            auto* lock = new ReaderWriterLock;
            (lock->*c.mHold)();
            Thread other([lock, &c] {
                (lock->*c.mEnter)();
                (lock->*c.mLeave)();
                delete lock;
            });
            if (round % 2 == 0) {
                ASSERT_TRUE(waitUntil([&] { return lock->getState().*c.mWaiters == 1; }));
            }
            (lock->*c.mRelease)();
            ASSERT_TRUE(other.join());
        }
    }
}

// ---- Thread::join with a time-out ----

TEST(ThreadConcurrency, JoinTimeOutKeepsTheThreadJoinable) {
    Semaphore release;
    Thread thread([&release] { (void)release.passOrWait(0); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(thread.join(20));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_TRUE(thread.isJoinable());
    release.signal();
    EXPECT_TRUE(thread.join());
    EXPECT_FALSE(thread.isJoinable());
}

TEST(ThreadConcurrency, JoinWithTimeOutReturnsWhenTheThreadEnds) {
    Semaphore release;
    Thread thread([&release] { (void)release.passOrWait(0); });
    release.signal();
    EXPECT_TRUE(thread.join(600000)); // returns as soon as the thread has ended
    EXPECT_FALSE(thread.isJoinable());
}

// Locks against their standard-library peers: SimpleLock vs std::mutex (uncontended, and two threads
// on one lock), ReaderWriterLock vs std::shared_mutex (the read lock with one and two reading threads,
// and a read-mostly load of two threads with one write in 64 lock operations), and the start-and-join
// of a Thread vs std::thread.
#include "tolvan/thread/lock.h"
#include "tolvan/thread/readerwriterlock.h"
#include "tolvan/thread/thread.h"

#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <mutex>
#include <shared_mutex>
#include <thread>

using namespace Kalvex;

namespace {

// ---- uncontended lock/unlock (target: SimpleLock within 1.2 × std::mutex) ----

void BM_SimpleLockUncontended(benchmark::State& state) {
    SimpleLock lock;
    for (auto _ : state) {
        lock.lock();
        benchmark::ClobberMemory();
        lock.unlock();
    }
}
BENCHMARK(BM_SimpleLockUncontended);

void BM_StdMutexUncontended(benchmark::State& state) {
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
}
BENCHMARK(BM_StdMutexUncontended);

// ---- two threads on one lock, a short critical section ----

SimpleLock gSharedSimpleLock;
std::mutex gSharedStdMutex;
long gGuarded = 0;

void BM_SimpleLockContended(benchmark::State& state) {
    for (auto _ : state) {
        ScopedLock guard(gSharedSimpleLock);
        ++gGuarded;
    }
}
BENCHMARK(BM_SimpleLockContended)->Threads(2)->UseRealTime();

void BM_StdMutexContended(benchmark::State& state) {
    for (auto _ : state) {
        std::lock_guard guard(gSharedStdMutex);
        ++gGuarded;
    }
}
BENCHMARK(BM_StdMutexContended)->Threads(2)->UseRealTime();

// ---- read lock with two reading threads ----

ReaderWriterLock gReaderWriterLock;
std::shared_mutex gSharedMutex;

void BM_ReaderWriterLockRead(benchmark::State& state) {
    for (auto _ : state) {
        gReaderWriterLock.lockRead();
        benchmark::ClobberMemory();
        gReaderWriterLock.unlockRead();
    }
}
BENCHMARK(BM_ReaderWriterLockRead)->Threads(1)->Threads(2)->UseRealTime();

void BM_StdSharedMutexRead(benchmark::State& state) {
    for (auto _ : state) {
        gSharedMutex.lock_shared();
        benchmark::ClobberMemory();
        gSharedMutex.unlock_shared();
    }
}
BENCHMARK(BM_StdSharedMutexRead)->Threads(1)->Threads(2)->UseRealTime();

// ---- read-mostly: two threads, one write lock in 64 ----

constexpr int WRITE_EVERY = 64;

void BM_ReaderWriterLockReadMostly(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        if (++i % WRITE_EVERY == 0) {
            ScopedWriteLock write(gReaderWriterLock);
            ++gGuarded;
        } else {
            ScopedReadLock read(gReaderWriterLock);
            benchmark::DoNotOptimize(gGuarded);
        }
    }
}
BENCHMARK(BM_ReaderWriterLockReadMostly)->Threads(2)->UseRealTime();

void BM_StdSharedMutexReadMostly(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        if (++i % WRITE_EVERY == 0) {
            std::unique_lock write(gSharedMutex);
            ++gGuarded;
        } else {
            std::shared_lock read(gSharedMutex);
            benchmark::DoNotOptimize(gGuarded);
        }
    }
}
BENCHMARK(BM_StdSharedMutexReadMostly)->Threads(2)->UseRealTime();

// ---- thread start and join ----

void BM_ThreadStartJoin(benchmark::State& state) {
    for (auto _ : state) {
        Thread thread([] {});
        thread.join();
    }
}
BENCHMARK(BM_ThreadStartJoin);

void BM_StdThreadStartJoin(benchmark::State& state) {
    for (auto _ : state) {
        std::thread thread([] {});
        thread.join();
    }
}
BENCHMARK(BM_StdThreadStartJoin);

} // namespace

int main(int argc, char** argv) {
    return TolvanBench::runWithRatios(
        argc, argv,
        {
            {"BM_SimpleLockUncontended", "BM_StdMutexUncontended"},
            {"BM_SimpleLockContended/real_time/threads:2", "BM_StdMutexContended/real_time/threads:2"},
            {"BM_ReaderWriterLockRead/real_time/threads:1", "BM_StdSharedMutexRead/real_time/threads:1"},
            {"BM_ReaderWriterLockRead/real_time/threads:2", "BM_StdSharedMutexRead/real_time/threads:2"},
            {"BM_ReaderWriterLockReadMostly/real_time/threads:2",
             "BM_StdSharedMutexReadMostly/real_time/threads:2"},
            {"BM_ThreadStartJoin", "BM_StdThreadStartJoin"},
        });
}

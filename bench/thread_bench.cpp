// Locks against their standard-library peers: SimpleLock vs std::mutex (uncontended, and two threads
// on one lock), ReaderWriterLock's read lock vs std::shared_mutex with two reading threads, and the
// start-and-join of a Thread vs std::thread.
#include "tolvan/thread/lock.h"
#include "tolvan/thread/readerwriterlock.h"
#include "tolvan/thread/thread.h"

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

BENCHMARK_MAIN();

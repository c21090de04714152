// Throughput of handing work from a worker thread to the main thread's event loop, against a plain
// mutex-and-deque queue of std::function pumped the same way.
#include "tolvan/common/lib.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

using namespace Kalvex;

namespace {

constexpr int BATCH = 10000;

// The peer: one lock, one deque, the consumer takes entries one by one without holding the lock.
class PeerQueue {
public:
    void post(std::function<void()> fn) {
        std::lock_guard lock(mMutex);
        mEntries.push_back(std::move(fn));
    }
    bool runOne() {
        std::function<void()> fn;
        {
            std::lock_guard lock(mMutex);
            if (mEntries.empty()) return false;
            fn = std::move(mEntries.front());
            mEntries.pop_front();
        }
        fn();
        return true;
    }

private:
    std::mutex mMutex;
    std::deque<std::function<void()>> mEntries;
};

// Runs `post(i)` BATCH times on a worker while the calling thread pumps with `pump` until all ran.
template <typename Post, typename Pump>
void runBatch(const int& ran, Post post, Pump pump) {
    const int target = ran + BATCH;
    std::thread worker([&] {
        for (int i = 0; i < BATCH; ++i)
            post();
    });
    while (ran < target) {
        if (!pump()) std::this_thread::yield();
    }
    worker.join();
}

void BM_ExecuteInMainThread(benchmark::State& state) {
    Lib::startup();
    int ran = 0; // touched on the main thread only
    for (auto _ : state) {
        runBatch(
            ran, [&] { Utils::executeInMainThread([&ran] { ++ran; }); },
            [] { return Lib::runSingleEventLoopIteration(); });
    }
    while (Lib::runSingleEventLoopIteration()) {
    }
    Lib::shutdown();
    state.SetItemsProcessed(state.iterations() * BATCH);
}
BENCHMARK(BM_ExecuteInMainThread)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PeerMutexDeque(benchmark::State& state) {
    PeerQueue queue;
    int ran = 0;
    for (auto _ : state) {
        runBatch(
            ran, [&] { queue.post([&ran] { ++ran; }); }, [&] { return queue.runOne(); });
    }
    state.SetItemsProcessed(state.iterations() * BATCH);
}
BENCHMARK(BM_PeerMutexDeque)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

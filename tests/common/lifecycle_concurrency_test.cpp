#include "tolvan/common/eventloop.h"
#include "tolvan/common/lib.h"
#include "tolvan/thread/thread.h"

#include "support/blocking.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>
#include <vector>

using namespace Kalvex;
using Utils::ExecuteMainThread;

namespace {

void pumpAll() {
    while (Lib::runSingleEventLoopIteration()) {
    }
}

struct Shutdown {
    ~Shutdown() {
        while (Lib::getStartupCount() > 0)
            Lib::shutdown();
        pumpAll();
    }
};

// Runs `work` on a new thread and waits for it.
template <typename F>
void onWorker(F work) {
    std::thread worker(work);
    worker.join();
}

} // namespace

TEST(MainThreadConcurrency, TenEntriesFromAWorkerNeedOneWakeUpAndRunInOrder) {
    Shutdown guard;
    Lib::startup();
    std::vector<int> order; // touched only on the main thread
    std::vector<bool> results;
    onWorker([&] {
        EXPECT_FALSE(Utils::isMainThread());
        for (int i = 0; i < 10; ++i) {
            results.push_back(Utils::executeInMainThread([&order, i] {
                EXPECT_TRUE(Utils::isMainThread());
                order.push_back(i);
            }));
        }
    });
    EXPECT_EQ(results, std::vector<bool>(10, true));
    EXPECT_EQ(Detail::getPendingMessageCount(), 1);
    EXPECT_TRUE(Lib::runSingleEventLoopIteration());
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_FALSE(Lib::runSingleEventLoopIteration());
}

TEST(MainThreadConcurrency, BeforeStartupAWorkerKeepsTheEntryUntilAPostSucceeds) {
    Shutdown guard;
    std::vector<int> order;
    bool first = true;
    onWorker([&] { first = Utils::executeInMainThread([&] { order.push_back(1); }); });
    EXPECT_FALSE(first);
    EXPECT_FALSE(Lib::runSingleEventLoopIteration());
    EXPECT_TRUE(order.empty());

    Lib::startup();
    bool second = false;
    // The earlier failure makes this call post again, although the queue already held an entry.
    onWorker([&] { second = Utils::executeInMainThread([&] { order.push_back(2); }); });
    EXPECT_TRUE(second);
    pumpAll();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(MainThreadConcurrency, ReentrantEntryFromAWorkerRunsInsideABusyEntry) {
    Shutdown guard;
    Lib::startup();
    std::vector<int> order;
    Utils::executeInMainThread(
        [&] {
            order.push_back(1);
            onWorker([&] {
                Utils::executeInMainThread([&] { order.push_back(2); }, ExecuteMainThread::REENTRANT);
                Utils::executeInMainThread([&] { order.push_back(4); });
            });
            for (int i = 0; i < 5; ++i)
                Lib::runSingleEventLoopIteration();
            order.push_back(3);
        },
        ExecuteMainThread::FORCE_QUEUE);
    pumpAll();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(MainThreadConcurrency, ManyWorkersLoseNothing) {
    Shutdown guard;
    Lib::startup();
    constexpr int WORKERS = 4;
    constexpr int PER_WORKER = 2000;
    std::atomic<int> done{0};
    int ran = 0;
    std::vector<std::vector<int>> seen(WORKERS);
    std::vector<std::thread> workers;
    for (int w = 0; w < WORKERS; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < PER_WORKER; ++i) {
                Utils::executeInMainThread([&, w, i] {
                    seen[size_t(w)].push_back(i);
                    ++ran;
                });
            }
            done.fetch_add(1);
        });
    }
    while (done.load() < WORKERS || ran < WORKERS * PER_WORKER) {
        if (!Lib::runSingleEventLoopIteration()) Detail::waitForMessage(10);
    }
    for (std::thread& t : workers)
        t.join();
    pumpAll();
    EXPECT_EQ(ran, WORKERS * PER_WORKER);
    for (const std::vector<int>& fromOne : seen) {
        ASSERT_EQ(fromOne.size(), size_t(PER_WORKER));
        for (int i = 0; i < PER_WORKER; ++i)
            ASSERT_EQ(fromOne[size_t(i)], i) << "entries of one worker stay in order";
    }
}

namespace {
class Recorder final : public Detail::MessageTarget {
public:
    std::vector<uint64> received;

protected:
    int64 handleMessageImpl(uint32, uint64 wParam, int64) override {
        received.push_back(wParam);
        return 0;
    }
};
} // namespace

TEST(EventLoopConcurrency, MessagesReachTheOwningThreadOnly) {
    Recorder target; // owned by this thread
    onWorker([&] {
        for (uint64 i = 0; i < 3; ++i)
            target.post(7, i, 0);
        EXPECT_FALSE(Lib::runSingleEventLoopIteration()) << "the worker's own queue is empty";
    });
    EXPECT_TRUE(Detail::waitForMessage(-1));
    pumpAll();
    EXPECT_EQ(target.received, (std::vector<uint64>{0, 1, 2}));
}

TEST(EventLoopConcurrency, WaitWakesForAPostFromAnotherThread) {
    Recorder target;
    std::atomic<bool> waiting{false};
    std::thread poster([&] {
        while (!waiting.load())
            std::this_thread::yield();
        target.post(1, 42, 0);
    });
    waiting.store(true);
    EXPECT_TRUE(Detail::waitForMessage(-1));
    poster.join();
    EXPECT_TRUE(Lib::runSingleEventLoopIteration());
    EXPECT_EQ(target.received, (std::vector<uint64>{42}));
}

TEST(MainThreadConcurrency, LastShutdownOnAWorkerWhileTheMainThreadPumps) {
    Shutdown guard;
    // The hidden window is destroyed by the worker's last shutdown while the main thread may be
    // dispatching a wake-up to it: the window must outlive that dispatch.
    constexpr int ROUNDS = 300;
    constexpr int POSTS = 50;
    std::atomic<bool> finished{false};
    std::atomic<int> ran{0};
    std::thread worker([&] {
        for (int round = 0; round < ROUNDS; ++round) {
            Lib::startup();
            for (int i = 0; i < POSTS; ++i)
                Utils::executeInMainThread([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
            Lib::shutdown();
        }
        finished.store(true);
    });
    while (!finished.load())
        Lib::runSingleEventLoopIteration();
    worker.join();
    EXPECT_EQ(Detail::getPendingMessageCount(), 0) << "no wake-up of a destroyed window is left";
    pumpAll();
    EXPECT_LE(ran.load(), ROUNDS * POSTS) << "entries dropped at a shutdown never run later";
}

TEST(EventLoopConcurrency, WaitWithAHugeTimeOutWaitsForThePost) {
    Recorder target;
    const unsigned mainTid = Utils::getThreadId();
    std::atomic<bool> returned{false};
    std::thread poster([&] {
        EXPECT_TRUE(
            TolvanTest::waitUntil([&] { return returned.load() || TolvanTest::isBlockedInFutex(mainTid); }));
        target.post(1, 5, 0);
    });
    // A deadline of now + INT64_MAX ms does not fit the clock: the wait has no limit.
    const bool woken = Detail::waitForMessage(std::numeric_limits<int64>::max());
    returned = true;
    poster.join();
    EXPECT_TRUE(woken);
    pumpAll();
    EXPECT_EQ(target.received, (std::vector<uint64>{5}));
}

#include "tolvan/containers/function.h"
#include "tolvan/containers/sharedptr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace Kalvex;

namespace {

struct Tracked {
    static inline std::atomic<int> sDestroyed{0};
    ~Tracked() { sDestroyed.fetch_add(1); }
};

} // namespace

TEST(SharedPtrConcurrency, ObjectDestroyedExactlyOnce) {
    for (int round = 0; round < 50; ++round) {
        Tracked::sDestroyed = 0;
        SharedPtr<Tracked> shared = makeShared<Tracked>();
        WeakPtr<Tracked> weak = shared;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([copy = shared, weak]() mutable {
                for (int i = 0; i < 500; ++i) {
                    SharedPtr<Tracked> a = copy;
                    SharedPtr<Tracked> b = weak.lock();
                    WeakPtr<Tracked> w = a;
                    (void)w.lock();
                }
                copy.reset();
            });
        }
        shared.reset();
        for (std::thread& th : threads)
            th.join();
        EXPECT_EQ(Tracked::sDestroyed.load(), 1);
        EXPECT_FALSE(weak.lock());
    }
}

TEST(SharedPtrConcurrency, PromotionRacesWithLastRelease) {
    for (int round = 0; round < 200; ++round) {
        Tracked::sDestroyed = 0;
        auto shared = makeShared<Tracked>();
        WeakPtr<Tracked> weak = shared;
        std::atomic<bool> go{false};
        std::thread releaser([&] {
            while (!go) {
            }
            shared.reset();
        });
        go = true;
        for (int i = 0; i < 100; ++i) {
            SharedPtr<Tracked> p = weak.lock();
            if (p) {
                EXPECT_EQ(Tracked::sDestroyed.load(), 0); // a promoted pointer keeps the object alive
            }
        }
        releaser.join();
        EXPECT_EQ(Tracked::sDestroyed.load(), 1);
    }
}

TEST(SharedPtrConcurrency, FunctionCopiesAcrossThreads) {
    std::atomic<int> calls{0};
    Function<void()> f = [&calls] { calls.fetch_add(1); };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([f] {
            for (int i = 0; i < 1000; ++i) {
                Function<void()> copy = f;
                copy();
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(calls.load(), 4000);
}

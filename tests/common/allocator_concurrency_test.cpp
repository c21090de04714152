#include "tolvan/common/allocator.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace Kalvex;

TEST(AllocatorConcurrency, CountersStayExactAcrossThreads) {
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 20000;
    const int64 before = getTolvanAllocatedMemory();
    const int64 calls = getTolvanMallocCallCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < ROUNDS; ++i) {
                void* p = tolvanMalloc(size_t(16 + (i + t) % 200), size_t(1) << (i % 6));
                tolvanFree(p);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(getTolvanAllocatedMemory(), before);
    EXPECT_EQ(getTolvanMallocCallCount() - calls, int64(THREADS) * ROUNDS);
    EXPECT_GE(getPeakTolvanAllocatedMemory(), before);
}

#include "tolvan/utility/cachestorage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace Kalvex;

// Several threads insert, find, replace and clear at once while another changes the cap. Every value
// found must be the one stored for its key, and the cache must end within its cap.
TEST(CacheStorageConcurrencyTest, SharedBetweenThreads) {
    constexpr int THREADS = 4;
    constexpr int OPERATIONS = 4000;
    constexpr uint64 KEYS = 64;
    CacheStorage cache(2000);
    std::atomic<int> wrongValues{0};
    std::atomic<int> hits{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            uint64 state = 0x9E3779B97F4A7C15ull * uint64(t + 1);
            for (int i = 0; i < OPERATIONS; ++i) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                const uint64 key = (state >> 33) % KEYS;
                switch ((state >> 20) % 8) {
                case 0:
                case 1:
                case 2:
                    cache.insert(key, std::to_string(key), int(key % 100));
                    break;
                case 7:
                    if (i % 500 == 0) cache.clear();
                    break;
                default:
                    if (const Optional<std::string> value = cache.find<std::string>(key)) {
                        hits.fetch_add(1, std::memory_order_relaxed);
                        if (*value != std::to_string(key)) wrongValues.fetch_add(1);
                    }
                }
            }
        });
    }
    std::thread capChanger([&] {
        for (int i = 0; i < 200; ++i)
            cache.setMemoryCap(i % 2 ? 2000 : 500);
    });
    for (std::thread& thread : threads)
        thread.join();
    capChanger.join();
    EXPECT_EQ(wrongValues.load(), 0);
    EXPECT_GT(hits.load(), 0);
    cache.setMemoryCap(500);
    cache.insert(uint64(1000), std::string("last"), 1);
    EXPECT_LE(cache.getDeclaredSize(), 500);
    EXPECT_LE(cache.getEntryCount(), int64(KEYS) + 1);
}

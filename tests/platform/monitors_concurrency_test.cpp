#include "tolvan/platform/monitors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace Kalvex;

namespace {

std::atomic<int> gCalls{0};
std::atomic<bool> gInCallback{false};
int gTouched = 0; // written by the callback only; TSan sees a race if a call outlives the checker

void slowCallback() {
    gInCallback = true;
    ++gTouched;
    std::this_thread::yield();
    ++gCalls;
    gInCallback = false;
}

} // namespace

TEST(LowSystemMemoryChecker, DestructionWaitsForTheRunningCallback) {
    for (int round = 0; round < 50; ++round) {
        gCalls = 0;
        std::atomic<int> queries{0};
        {
            LowSystemMemoryChecker checker(0, [&queries] {
                ++queries;
                return true;
            });
            checker.start(&slowCallback);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (gCalls.load() < 1 + round % 3 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
        } // destroyed while the watcher is calling back
        EXPECT_FALSE(gInCallback.load());
        const int calls = gCalls.load();
        const int seen = queries.load();
        EXPECT_GE(calls, 1);
        EXPECT_GE(gTouched, calls);
        EXPECT_EQ(queries.load(), seen);
    }
}

TEST(LowSystemMemoryChecker, RestartsRaceTheWatcher) {
    std::atomic<bool> low{true};
    LowSystemMemoryChecker checker(0, [&low] { return low.load(); });
    for (int i = 0; i < 100; ++i) {
        checker.start(&slowCallback);
        if (i % 2 == 0) std::this_thread::yield();
        low = i % 3 != 0;
    }
    checker.stop();
    EXPECT_FALSE(gInCallback.load());
}

#include "tolvan/platform/monitors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace Kalvex;

namespace {

std::atomic<int> gCalls{0};
void countCall() {
    ++gCalls;
}

// Waits (bounded) until `done` holds.
template <typename F>
bool waitUntil(F done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A memory state the test switches, counting how often it was asked.
struct FakeMemory {
    std::atomic<bool> low{false};
    std::atomic<int> queries{0};
    MemoryPressureSource source() {
        return [this] {
            ++queries;
            return low.load();
        };
    }
};

} // namespace

TEST(LowSystemMemoryChecker, LowMemoryThresholds) {
    constexpr uint64 GIB = uint64(1) << 30;
    struct {
        uint64 available, total;
        double stall;
        bool low;
    } cases[] = {
        {GIB, 32 * GIB, -1, false},        // exactly 1/32 available
        {GIB - 1, 32 * GIB, -1, true},     // just below
        {16 * GIB, 32 * GIB, 9.99, false}, // stalls below 10 %
        {16 * GIB, 32 * GIB, 10.0, true},  // stalled on memory
        {0, 0, -1, false},                 // nothing known
    };
    for (const auto& c : cases)
        EXPECT_EQ(Detail::isSystemMemoryLow(c.available, c.total, c.stall), c.low)
            << c.available << " of " << c.total << ", stall " << c.stall;
}

TEST(LowSystemMemoryChecker, CallsOncePerIntervalWhileMemoryIsLow) {
    FakeMemory memory;
    gCalls = 0;
    LowSystemMemoryChecker checker(1, memory.source());
    checker.start(&countCall);
    ASSERT_TRUE(waitUntil([&] { return memory.queries.load() >= 3; }));
    EXPECT_EQ(gCalls.load(), 0); // memory is fine: polled, never called
    memory.low = true;
    ASSERT_TRUE(waitUntil([] { return gCalls.load() >= 3; })); // repeated while it stays low
    checker.stop();
    const int calls = gCalls.load();
    const int queries = memory.queries.load();
    checker.stop(); // harmless the second time
    EXPECT_EQ(gCalls.load(), calls);
    EXPECT_EQ(memory.queries.load(), queries); // no watcher any more
}

TEST(LowSystemMemoryChecker, StopCutsTheIntervalShortAndNullStartsNothing) {
    FakeMemory memory;
    memory.low = true;
    gCalls = 0;
    LowSystemMemoryChecker checker(24 * 3600 * 1000, memory.source());
    checker.start(&countCall);
    ASSERT_TRUE(waitUntil([] { return gCalls.load() == 1; }));
    // The watcher now pauses for a day; start(nullptr) must end it at once and start nothing.
    checker.start(nullptr);
    const int queries = memory.queries.load();
    EXPECT_EQ(gCalls.load(), 1);
    checker.start(&countCall);
    ASSERT_TRUE(waitUntil([] { return gCalls.load() == 2; }));
    checker.stop();
    EXPECT_GT(memory.queries.load(), queries);
}

TEST(LowSystemMemoryChecker, SystemSourceRunsAndStops) {
    gCalls = 0;
    LowSystemMemoryChecker checker(1000);
    checker.start(&countCall);
    checker.stop();
    (void)Detail::readSystemMemoryLow();
}

TEST(CpuSpeedSampler, EffectiveFrequencyFromTheThreeCounters) {
    struct {
        Utils::CpuSpeedCounters counters;
        double mhz;
    } cases[] = {
        {{100, 2600, 100}, 2600}, {{50, 2000, 75}, 3000}, // nominal 2000 at half the maximum, running at 3/4
                                                          // of the maximum
        {{0, 2000, 100}, 0},      {{100, 0, 100}, 0},     {{100, 2000, 0}, 0},
    };
    for (const auto& c : cases) {
        Utils::CpuSpeedSampler sampler([&] { return c.counters; });
        EXPECT_DOUBLE_EQ(sampler.getCurrent(), c.mhz);
    }
}

TEST(CpuSpeedSampler, SystemCountersAreAllPresentOrAllZero) {
    const Utils::CpuSpeedCounters c = Utils::Detail::readCpuSpeedCounters();
    const bool all =
        c.percentOfMaximumFrequency > 0 && c.processorFrequency > 0 && c.percentProcessorPerformance > 0;
    const bool none =
        c.percentOfMaximumFrequency == 0 && c.processorFrequency == 0 && c.percentProcessorPerformance == 0;
    EXPECT_TRUE(all || none);
    Utils::CpuSpeedSampler sampler;
    EXPECT_GE(sampler.getCurrent(), 0.0);
}

TEST(CpuSpeedMonitor, AveragesAcceptedSamplesOnly) {
    double samples[] = {0, 1000, 0, 2000, 4000};
    int next = 0;
    int reads = 0;
    Utils::CpuSpeedMonitor monitor(-1, [&] {
        ++reads;
        // The constructor's first sample does not count.
        return reads == 1 ? Utils::CpuSpeedCounters{} : Utils::CpuSpeedCounters{100, samples[next++], 100};
    });
    EXPECT_EQ(monitor.getCurrentAverage(), 0.0);
    for (int i = 0; i < 4; ++i)
        monitor.update();
    EXPECT_DOUBLE_EQ(monitor.getCurrentAverage(), 1500.0); // zeros are not counted
    monitor.reset();
    EXPECT_EQ(monitor.getCurrentAverage(), 0.0);
    monitor.update();
    EXPECT_DOUBLE_EQ(monitor.getCurrentAverage(), 4000.0);
}

TEST(CpuSpeedMonitor, ZeroSamplesKeepTheIntervalExpired) {
    int reads = 0;
    Utils::CpuSpeedMonitor waiting(3600 * 1000, [&] {
        ++reads;
        return Utils::CpuSpeedCounters{100, 1000, 100};
    });
    waiting.update(); // the hour has not passed: no sample
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(waiting.getCurrentAverage(), 0.0);

    int zeroReads = 0;
    Utils::CpuSpeedMonitor zeros(-1, [&] {
        ++zeroReads;
        return Utils::CpuSpeedCounters{};
    });
    for (int i = 0; i < 3; ++i)
        zeros.update();
    EXPECT_EQ(zeroReads, 4); // every update tried again
    EXPECT_EQ(zeros.getCurrentAverage(), 0.0);
}

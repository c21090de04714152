#include "tolvan/platform/monitors.h"

#include "tolvan/thread/thread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Kalvex {

namespace {

// How often the memory state is polled while the watcher waits for low memory.
constexpr int64 POLL_MILLISECONDS = 100;
constexpr size_t WATCHER_STACK_SIZE = size_t(1) << 20;

} // namespace

struct LowSystemMemoryChecker::Watcher {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopRequested = false; // guarded by mutex
    Thread thread;

    // Waits up to `ms` for stop; returns whether it was requested.
    bool waitForStop(int64 ms) {
        std::unique_lock lock(mutex);
        return wake.wait_for(lock, std::chrono::milliseconds(std::max<int64>(ms, 0)),
                             [this] { return stopRequested; });
    }

    // Waits until memory is low or stop is requested; returns whether stop was.
    bool waitForLowMemory(const MemoryPressureSource& isLow) {
        for (;;) {
            if (waitForStop(0)) return true;
            if (isLow()) return false;
            if (waitForStop(POLL_MILLISECONDS)) return true;
        }
    }

    void run(void (*callback)(), int64 interval, const MemoryPressureSource& isLow) {
        while (!waitForLowMemory(isLow)) {
            callback();
            if (waitForStop(interval)) return;
        }
    }
};

LowSystemMemoryChecker::LowSystemMemoryChecker(int64 intervalMilliseconds)
    : LowSystemMemoryChecker(intervalMilliseconds, [] { return Detail::readSystemMemoryLow(); }) {}

LowSystemMemoryChecker::LowSystemMemoryChecker(int64 intervalMilliseconds, MemoryPressureSource source)
    : mInterval(intervalMilliseconds)
    , mSource(std::move(source)) {}

LowSystemMemoryChecker::~LowSystemMemoryChecker() {
    stop();
}

void LowSystemMemoryChecker::start(void (*const& callback)()) {
    stop();
    mCallback = callback;
    if (!mCallback) return;
    mWatcher = makeAutoPtr<Watcher>();
    Watcher* const watcher = mWatcher.get();
    watcher->thread = Thread([watcher, callback = mCallback, interval = mInterval,
                              source = mSource] { watcher->run(callback, interval, source); },
                             WATCHER_STACK_SIZE);
}

void LowSystemMemoryChecker::stop() {
    if (!mWatcher) return;
    {
        std::lock_guard lock(mWatcher->mutex);
        mWatcher->stopRequested = true;
    }
    mWatcher->wake.notify_all();
    (void)mWatcher->thread.join();
    mWatcher.reset();
}

bool Detail::isSystemMemoryLow(uint64 availableBytes, uint64 totalBytes, double fullStallPercent) {
    if (fullStallPercent >= 10.0) return true;
    return totalBytes > 0 && availableBytes < totalBytes / 32;
}

namespace Utils {

CpuSpeedSampler::CpuSpeedSampler()
    : CpuSpeedSampler([] { return Detail::readCpuSpeedCounters(); }) {}

CpuSpeedSampler::CpuSpeedSampler(CpuSpeedCounterSource source)
    : mSource(std::move(source)) {
    (void)mSource(); // the first sample, as the counters need one to compare with
}

CpuSpeedSampler::~CpuSpeedSampler() = default;

double CpuSpeedSampler::getCurrent() {
    const CpuSpeedCounters c = mSource();
    const double p = c.percentOfMaximumFrequency / 100.0;
    const double f = c.processorFrequency;
    const double q = c.percentProcessorPerformance / 100.0;
    if (p == 0 || f == 0 || q == 0) return 0;
    return f / p * q;
}

CpuSpeedMonitor::CpuSpeedMonitor(int64 intervalMilliseconds)
    : mTimer(intervalMilliseconds) {}

CpuSpeedMonitor::CpuSpeedMonitor(int64 intervalMilliseconds, CpuSpeedCounterSource source)
    : CpuSpeedSampler(std::move(source))
    , mTimer(intervalMilliseconds) {}

void CpuSpeedMonitor::update() {
    if (!mTimer.check()) return;
    const double sample = getCurrent();
    if (sample > 0) {
        mSum += sample;
        ++mCount;
        mTimer.reset();
    }
}

double CpuSpeedMonitor::getCurrentAverage() const {
    return mCount > 0 ? mSum / mCount : 0.0;
}

void CpuSpeedMonitor::reset() {
    mSum = 0;
    mCount = 0;
}

} // namespace Utils

} // namespace Kalvex

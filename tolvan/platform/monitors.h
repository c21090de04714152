// Watchers of the machine's state: LowSystemMemoryChecker calls a function on a thread of its own
// while physical memory is low, and CpuSpeedSampler / CpuSpeedMonitor measure the processor's
// effective clock speed (the monitor averages samples taken at a fixed interval).
//
//   LowSystemMemoryChecker checker(5000);
//   checker.start(&dropCaches);           // called at most every 5 s while memory stays low
//   Utils::CpuSpeedMonitor cpu(1000);
//   cpu.update();                          // in a loop; cpu.getCurrentAverage() in MHz
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/function.h"
#include "tolvan/utility/timer.h"

namespace Kalvex {

/// Answers whether physical memory is low right now (called on the watcher thread).
using MemoryPressureSource = Function<bool()>;

/// Calls a function on a watcher thread whenever the system reports low physical memory; while memory
/// stays low, once per interval.
class LowSystemMemoryChecker : public Noncopyable {
public:
    /// No thread yet; the system's memory state is the source.
    explicit LowSystemMemoryChecker(int64 intervalMilliseconds = 10000);
    /// The same with `source` in place of the system (polled like the system's state).
    LowSystemMemoryChecker(int64 intervalMilliseconds, MemoryPressureSource source);
    /// Stops the watcher.
    ~LowSystemMemoryChecker();

    /// Stops a running watcher, stores `callback` and, unless it is null, starts the watcher thread.
    void start(void (*const& callback)());
    /// Ends the watcher and waits for it (a call in progress finishes first); harmless when none runs.
    void stop();

private:
    struct Watcher;
    void (*mCallback)() = nullptr;
    int64 mInterval;
    MemoryPressureSource mSource;
    AutoPtr<Watcher> mWatcher;
};

namespace Detail {

/// Whether memory counts as low: less than 1/32 of physical memory available, or tasks stalled on
/// memory for at least 10 % of the last 10 seconds (`fullStallPercent`, negative when unknown).
[[nodiscard]] bool isSystemMemoryLow(uint64 availableBytes, uint64 totalBytes, double fullStallPercent);

/// The system's memory state now (MemAvailable and the memory pressure of the kernel).
[[nodiscard]] bool readSystemMemoryLow();

} // namespace Detail

namespace Utils {

/// The three processor counters, each 0 when the system has none.
struct CpuSpeedCounters {
    /// Percent of the maximum frequency the processor is allowed to run at.
    double percentOfMaximumFrequency = 0;
    /// The nominal frequency in MHz.
    double processorFrequency = 0;
    /// Percent of the nominal performance actually delivered.
    double percentProcessorPerformance = 0;
};

/// Reads the counters; the source used by default.
using CpuSpeedCounterSource = Function<CpuSpeedCounters()>;

/// Samples the processor's effective clock speed. Used by one thread at a time.
class CpuSpeedSampler : public Noncopyable {
public:
    /// Reads the system's counters (cpufreq, else /proc/cpuinfo) and takes a first sample.
    CpuSpeedSampler();
    /// The same over `source`.
    explicit CpuSpeedSampler(CpuSpeedCounterSource source);
    ~CpuSpeedSampler();

    /// The effective frequency in MHz from a new sample: frequency / (% of maximum / 100) ×
    /// (% performance / 100); 0 when any counter is 0 (or missing).
    [[nodiscard]] double getCurrent();

private:
    CpuSpeedCounterSource mSource;
};

/// A sampler that averages the samples taken at most once per interval.
class CpuSpeedMonitor : public CpuSpeedSampler {
public:
    /// Sum and count 0; the interval starts now.
    explicit CpuSpeedMonitor(int64 intervalMilliseconds);
    /// The same over `source`.
    CpuSpeedMonitor(int64 intervalMilliseconds, CpuSpeedCounterSource source);

    /// When the interval has passed, takes a sample; one above 0 is counted and restarts the interval.
    void update();
    /// The mean of the counted samples; 0 when none was counted.
    [[nodiscard]] double getCurrentAverage() const;
    /// Forgets the counted samples.
    void reset();

private:
    Timer mTimer;
    double mSum = 0;
    int32 mCount = 0;
};

namespace Detail {

/// The system's counters now: cpufreq in /sys, else the "cpu MHz" lines of /proc/cpuinfo; 0 for each
/// counter that cannot be read.
[[nodiscard]] CpuSpeedCounters readCpuSpeedCounters();

} // namespace Detail

} // namespace Utils

} // namespace Kalvex

#include "tolvan/utility/timer.h"

#include "tolvan/containers/stringutils.h"
#include "tolvan/platform/debug.h"

#include <chrono>
#include <limits>

namespace Kalvex {

namespace {

constexpr int64 NS_PER_MS = 1'000'000;
constexpr int64 EARLIEST = std::numeric_limits<int64>::min();
constexpr int64 LATEST = std::numeric_limits<int64>::max();

// start - ms milliseconds, held at the ends of the int64 range instead of wrapping around. Distances
// and steps are unsigned: the distance between two int64 values always fits a uint64.
int64 movedBack(int64 start, int64 ms) noexcept {
    if (ms > 0) {
        const uint64 room = (uint64(start) - uint64(EARLIEST)) / NS_PER_MS; // whole ms it can move back
        return uint64(ms) > room ? EARLIEST : int64(uint64(start) - uint64(ms) * NS_PER_MS);
    }
    const uint64 forward = uint64(0) - uint64(ms); // |ms|, exact for INT64_MIN too
    const uint64 room = (uint64(LATEST) - uint64(start)) / NS_PER_MS;
    return forward > room ? LATEST : int64(uint64(start) + forward * NS_PER_MS);
}

// The nanoseconds from `start` to `now` as sign and magnitude: the difference of two int64 values
// always fits a uint64.
struct Elapsed {
    bool negative;
    uint64 ns;
};

Elapsed elapsedBetween(int64 start, int64 now) noexcept {
    if (now >= start) return {false, uint64(now) - uint64(start)};
    return {true, uint64(start) - uint64(now)};
}

} // namespace

struct Timer::Data {
    // The start on the monotonic clock in ns. EARLIEST means further back than int64 nanoseconds
    // reach (a START_EXPIRED or subtracted interval beyond about 292 years): every interval has passed.
    int64 mStart;
    int64 mInterval;
};

int64 Detail::getMonotonicNanoseconds() noexcept {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

Timer::Timer(int64 intervalMs, Flags<Flag> flags)
    : mData(makeAutoPtr<Data>(Data{Detail::getMonotonicNanoseconds(), intervalMs})) {
    if (flags.has(Flag::START_EXPIRED)) {
        // intervalMs + 1 ms in the past, in two steps so that INT64_MAX + 1 cannot overflow.
        mData->mStart = movedBack(movedBack(mData->mStart, intervalMs), 1);
    }
}

Timer::Timer(Timer&& other) noexcept = default;
Timer& Timer::operator=(Timer&& other) noexcept = default;
Timer::~Timer() = default;

// elapsed ns >= interval ms x 10^6 compared exactly: for an integer k, d >= k x 10^6 holds exactly
// when floor(d / 10^6) >= k, and neither side is multiplied.
bool Timer::check() const {
    if (mData->mStart == EARLIEST) return true;
    const Elapsed elapsed = elapsedBetween(mData->mStart, Detail::getMonotonicNanoseconds());
    const int64 interval = mData->mInterval;
    if (!elapsed.negative) return interval <= 0 || elapsed.ns / NS_PER_MS >= uint64(interval);
    // -ns >= interval x 10^6  <=>  ceil(ns / 10^6) <= -interval
    if (interval >= 0) return false;
    const uint64 ceilMs = elapsed.ns / NS_PER_MS + (elapsed.ns % NS_PER_MS != 0);
    return ceilMs <= uint64(0) - uint64(interval);
}

int64 Timer::getElapsed() const {
    const Elapsed elapsed = elapsedBetween(mData->mStart, Detail::getMonotonicNanoseconds());
    const int64 ms = int64(elapsed.ns / NS_PER_MS); // at most 2^64 / 10^6: fits
    return elapsed.negative ? -ms : ms;
}

int64 Timer::getInterval() const {
    return mData->mInterval;
}

void Timer::reset() {
    mData->mStart = Detail::getMonotonicNanoseconds();
}

void Timer::subtract(int64 ms) {
    mData->mStart = movedBack(mData->mStart, ms);
}

Detail::FunctionElapsedTime::FunctionElapsedTime(const char* first, const char* second)
    : mFirst(first)
    , mSecond(second) {}

Detail::FunctionElapsedTime::~FunctionElapsedTime() {
    try {
        const int64 elapsed = mTimer.getElapsed();
        debugPrint(">>> ", mFirst, mSecond, "took", Str::getFormatted(uint64(elapsed < 0 ? 0 : elapsed)),
                   "ms.");
    } catch (...) {
        // A report that cannot be written (no memory) is not worth ending the process for.
    }
}

} // namespace Kalvex

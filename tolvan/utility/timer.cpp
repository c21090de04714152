#include "tolvan/utility/timer.h"

#include "tolvan/containers/stringutils.h"
#include "tolvan/platform/debug.h"

#include <chrono>

namespace Kalvex {

namespace {
constexpr int64 NS_PER_MS = 1'000'000;
}

struct Timer::Data {
    int64 mStart;
    int64 mInterval;
};

int64 Detail::getMonotonicNanoseconds() noexcept {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

Timer::Timer(int64 intervalMs, Flags<Flag> flags)
    : mData(makeAutoPtr<Data>(Data{Detail::getMonotonicNanoseconds(), intervalMs})) {
    if (flags.has(Flag::START_EXPIRED)) mData->mStart -= (intervalMs + 1) * NS_PER_MS;
}

Timer::Timer(Timer&& other) noexcept = default;
Timer& Timer::operator=(Timer&& other) noexcept = default;
Timer::~Timer() = default;

bool Timer::check() const {
    return Detail::getMonotonicNanoseconds() - mData->mStart >= mData->mInterval * NS_PER_MS;
}

int64 Timer::getElapsed() const {
    return (Detail::getMonotonicNanoseconds() - mData->mStart) / NS_PER_MS;
}

int64 Timer::getInterval() const {
    return mData->mInterval;
}

void Timer::reset() {
    mData->mStart = Detail::getMonotonicNanoseconds();
}

void Timer::subtract(int64 ms) {
    mData->mStart -= ms * NS_PER_MS;
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

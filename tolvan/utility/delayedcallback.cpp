#include "tolvan/utility/delayedcallback.h"

#include "tolvan/common/eventloop.h"

#include <algorithm>
#include <limits>

namespace Kalvex {

namespace {

constexpr uint64 TIMER_ID = 1;

// The timer interval: at least 1 ms, and a delay beyond the 32-bit range waits as long as it can
// instead of wrapping around to a short one.
int64 timerInterval(int64 ms) {
    return std::clamp<int64>(ms, 1, std::numeric_limits<int32>::max());
}

// A main-thread message target with one timer; notify() runs when it fires.
class CallbackTimer : public Detail::MessageTarget {
public:
    CallbackTimer()
        : MessageTarget(Detail::TargetThread::MAIN) {}
    ~CallbackTimer() override { stop(); }

    void start(int64 ms, Detail::TimerMode mode) { startTimer(TIMER_ID, timerInterval(ms), mode); }
    void stop() { (void)stopTimer(TIMER_ID); }

protected:
    virtual void notify() = 0;

private:
    int64 handleMessageImpl(uint32 number, uint64 id, int64) override {
        if (number != Detail::TIMER_MESSAGE || id != TIMER_ID) return 0;
        try {
            notify();
        } catch (...) {
            // A failing callback must not take the event loop down with it.
        }
        return 0;
    }
};

} // namespace

class DelayedCallback::Impl : public CallbackTimer {
public:
    Function<void()> mCallback;

private:
    void notify() override {
        if (mCallback) mCallback();
    }
};

class RepeatedCallback::Impl : public CallbackTimer {
public:
    Function<bool()> mCallback;

private:
    void notify() override {
        if (mCallback && !mCallback()) stop();
    }
};

DelayedCallback::DelayedCallback()
    : mImpl(makeAutoPtr<Impl>()) {}

DelayedCallback::DelayedCallback(Function<void()> callback, Optional<int64> delayMs)
    : DelayedCallback() {
    set(std::move(callback));
    if (delayMs) scheduleDelayed(*delayMs);
}

DelayedCallback::~DelayedCallback() = default;

void DelayedCallback::set(Function<void()> callback) {
    mImpl->mCallback = std::move(callback);
}

DelayedCallback& DelayedCallback::operator=(Function<void()> callback) {
    set(std::move(callback));
    return *this;
}

DelayedCallback::operator bool() const {
    return bool(mImpl->mCallback);
}

void DelayedCallback::scheduleDelayed(int64 delayMs) {
    mImpl->start(delayMs, Detail::TimerMode::ONCE);
}

void DelayedCallback::cancel() {
    mImpl->stop();
}

void DelayedCallback::executeImmediately() {
    if (mImpl->mCallback) mImpl->mCallback();
}

RepeatedCallback::RepeatedCallback()
    : mImpl(makeAutoPtr<Impl>()) {}

RepeatedCallback::~RepeatedCallback() = default;

void RepeatedCallback::set(Function<bool()> callback) {
    mImpl->mCallback = std::move(callback);
}

void RepeatedCallback::set(Function<void()> callback) {
    if (!callback) {
        mImpl->mCallback = {};
        return;
    }
    mImpl->mCallback = [callback = std::move(callback)] {
        callback();
        return true;
    };
}

RepeatedCallback::operator bool() const {
    return bool(mImpl->mCallback);
}

void RepeatedCallback::start(int64 periodMs) {
    mImpl->start(periodMs, Detail::TimerMode::CONTINUOUS);
}

void RepeatedCallback::stop() {
    mImpl->stop();
}

void RepeatedCallback::executeImmediately() {
    if (mImpl->mCallback) (void)mImpl->mCallback();
}

} // namespace Kalvex

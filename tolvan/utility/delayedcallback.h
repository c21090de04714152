// Deferred callbacks on the main thread's event loop: DelayedCallback runs a function once after a
// delay, RepeatedCallback runs one periodically until stopped or until the function returns false.
// Their functions run on the library's main thread when Lib::runSingleEventLoopIteration dispatches
// the timer, never concurrently with each other; exceptions they throw are dropped.
//
//   DelayedCallback save([&] { document.save(); }, 2000);   // in two seconds, unless cancelled
//   RepeatedCallback poll;
//   poll.set([&] { return refresh(); });                    // false stops the timer
//   poll.start(100);
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/optional.h"

#include <type_traits>
#include <utility>

namespace Kalvex {

/// A function run once, on the main thread, when its delay has passed. Create, schedule, cancel and
/// destroy it on the main thread. Destruction stops the timer first: no call reaches a destroyed object.
class DelayedCallback : public Noncopyable {
public:
    /// No function, not scheduled.
    DelayedCallback();
    /// Sets the function and, when `delayMs` is given, schedules it.
    DelayedCallback(Function<void()> callback, Optional<int64> delayMs);
    DelayedCallback(DelayedCallback&&) = delete;
    DelayedCallback& operator=(DelayedCallback&&) = delete;
    ~DelayedCallback();

    /// Replaces the function; a pending schedule stays.
    void set(Function<void()> callback);
    /// Replaces the callback; returns this.
    DelayedCallback& operator=(Function<void()> callback);
    /// Whether a function is set.
    explicit operator bool() const;

    /// Schedules one call after max(delayMs, 1) ms, replacing a pending schedule.
    void scheduleDelayed(int64 delayMs);
    /// Stops a pending schedule; the function stays.
    void cancel();
    /// Calls the function now on the calling thread (nothing when none is set); the timer is untouched.
    void executeImmediately();

    class Impl;

private:
    AutoPtr<Impl> mImpl;
};

/// A function run on the main thread every period until stopped, until it returns false, or until
/// the object is destroyed (which stops the timer first). Use it on the main thread.
class RepeatedCallback : public Noncopyable {
public:
    /// No function, not running.
    RepeatedCallback();
    RepeatedCallback(RepeatedCallback&&) = delete;
    RepeatedCallback& operator=(RepeatedCallback&&) = delete;
    ~RepeatedCallback();

    /// Replaces the function; returning false from it stops the timer.
    void set(Function<bool()> callback);
    /// Replaces the function with one that calls `callback` and keeps the timer running.
    void set(Function<void()> callback);
    /// A lambda or function object: one returning bool is stored as is, any other as a void function.
    template <typename F>
    requires(std::is_invocable_v<F&> && !std::is_same_v<std::remove_cvref_t<F>, Function<bool()>> &&
             !std::is_same_v<std::remove_cvref_t<F>, Function<void()>>) void set(F&& callback) {
        if constexpr (std::is_same_v<std::invoke_result_t<F&>, bool>) {
            set(Function<bool()>(std::forward<F>(callback)));
        } else {
            set(Function<void()>(std::forward<F>(callback)));
        }
    }
    /// Whether a function is set.
    explicit operator bool() const;

    /// Starts (or restarts) the timer: a call every max(periodMs, 1) ms.
    void start(int64 periodMs);
    /// Stops the timer; the function stays.
    void stop();
    /// Calls the function now on the calling thread; its result is ignored and the timer untouched.
    void executeImmediately();

    class Impl;

private:
    AutoPtr<Impl> mImpl;
};

} // namespace Kalvex

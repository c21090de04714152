// The library's event machinery: every thread has its own message queue, any thread may post a message
// (a number and two parameters) to a MessageTarget, and the target's thread dispatches it from its
// event loop (Lib::runSingleEventLoopIteration). Targets can also ask for timer messages, delivered on
// their thread when due, once or periodically.
//
//   class Worker : public Detail::MessageTarget {
//       int64 handleMessageImpl(uint32 number, uint64 w, int64 l) override { ...; return 0; }
//   };
//   Worker target;                      // owned by the calling thread
//   target.post(1234, 0, 0);            // from any thread
//   Lib::runSingleEventLoopIteration(); // on the owning thread: dispatches it
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"

namespace Kalvex::Detail {

class ThreadQueue;

/// The message number of timer messages; the first parameter is the timer's id, the second 0.
constexpr uint32 TIMER_MESSAGE = 0x0113;

enum class TargetThread {
    /// The target belongs to the thread that constructs it.
    CALLING,
    /// The target belongs to the library's main thread, whichever thread constructs it.
    MAIN,
};

enum class TimerMode {
    /// One timer message after the interval, then the timer is gone.
    ONCE,
    /// A timer message every interval until stopped; a late loop gets one message, not a burst.
    CONTINUOUS,
};

/// Receiver of posted and timer messages. Messages are dispatched on the owning thread only, in the
/// order they were posted; due timers come after the posted messages. Destroying a target drops its
/// pending messages and timers; destroy it on its own thread (also from inside its own handler, which
/// then touches no member), or hand a heap target to destroyWhenIdle from any thread.
class MessageTarget : public Polymorphic, private Noncopyable {
public:
    explicit MessageTarget(TargetThread thread = TargetThread::CALLING);
    ~MessageTarget() override;

    /// Appends a message for this target to its thread's queue; callable from any thread. Returns true
    /// (the queue has no limit and cannot fail once the target exists).
    bool post(uint32 number, uint64 wParam, int64 lParam);

    /// Starts timer `id` of this target, or restarts it when it exists: the first TIMER_MESSAGE becomes
    /// due `intervalMs` ms from now (negative counts as 0; beyond the clock's range, about 292 years, it
    /// is never due). Callable from any thread.
    void startTimer(uint64 id, int64 intervalMs, TimerMode mode);
    /// Removes timer `id` of this target; returns whether it existed. A timer message already taken
    /// out of the queue is not recalled.
    bool stopTimer(uint64 id);

    /// Destroys `target` (made by tolvanNew; null is ignored) from any thread: its pending messages and
    /// timers are dropped at once, and when its thread is dispatching to it right now, that thread
    /// deletes it as soon as that dispatch has returned. No further message reaches it.
    static void destroyWhenIdle(MessageTarget* target);

    /// Delivers one message to handleMessageImpl (what the event loop calls); returns its answer.
    int64 handleMessage(uint32 number, uint64 wParam, int64 lParam) {
        return handleMessageImpl(number, wParam, lParam);
    }

protected:
    /// Handles one message on the owning thread. May post, start timers, pump the loop again or throw
    /// (the exception leaves Lib::runSingleEventLoopIteration).
    virtual int64 handleMessageImpl(uint32 number, uint64 wParam, int64 lParam) = 0;

private:
    ThreadQueue* mQueue;
};

/// Number of posted messages waiting in the calling thread's queue (timers not counted).
[[nodiscard]] int64 getPendingMessageCount();

/// Waits until the calling thread's queue holds a posted message or a due timer, at most `timeoutMs`
/// ms (negative, or beyond the clock's range, waits without limit); returns whether one is there.
/// Dispatches nothing.
bool waitForMessage(int64 timeoutMs);

/// Takes the next message of the calling thread (posted messages first, then the most overdue timer)
/// and dispatches it; returns false at once when there is none. Lib::runSingleEventLoopIteration.
bool dispatchNextMessage();

} // namespace Kalvex::Detail

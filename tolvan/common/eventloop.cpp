#include "tolvan/common/eventloop.h"

#include "tolvan/common/fifo.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/stack.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Kalvex::Detail {

namespace {

using Clock = std::chrono::steady_clock;

struct PostedMessage {
    MessageTarget* target = nullptr;
    uint32 number = 0;
    uint64 wParam = 0;
    int64 lParam = 0;
};

struct TimerEntry {
    MessageTarget* target;
    uint64 id;
    Clock::duration interval;
    Clock::time_point due;
    TimerMode mode;
};

// A dispatch in progress on the queue's thread: the target stays alive until it has returned.
struct Dispatch {
    MessageTarget* target; // null once the target was destroyed from inside its own handler
    bool deleteWhenDone;   // handed to MessageTarget::destroyWhenIdle meanwhile
};

// `ms` milliseconds as the clock's duration: 0 for a negative count, the longest duration for one
// the clock's nanoseconds cannot hold.
Clock::duration durationFromMs(int64 ms) {
    using std::chrono::milliseconds;
    constexpr int64 LONGEST_MS = std::chrono::duration_cast<milliseconds>(Clock::duration::max()).count();
    if (ms <= 0) return Clock::duration::zero();
    if (ms >= LONGEST_MS) return Clock::duration::max();
    return std::chrono::duration_cast<Clock::duration>(milliseconds(ms));
}

// t + d for d >= 0, held at the clock's end instead of overflowing (the end means never).
Clock::time_point later(Clock::time_point t, Clock::duration d) {
    return t > Clock::time_point::max() - d ? Clock::time_point::max() : t + d;
}

} // namespace

/// One thread's queue. Shared by the thread itself and by every target it owns, so it lives as long
/// as any of them (reference counted).
class ThreadQueue {
public:
    std::mutex mutex;
    std::condition_variable wake;
    Fifo<PostedMessage> posted;
    Stack<TimerEntry> timers;
    // Dispatches in progress on the owning thread, the innermost (a handler pumping the loop) last.
    Stack<Dispatch> dispatching;

    void acquire() noexcept { mReferences.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept {
        if (mReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) tolvanDelete(this);
    }

    /// Index of the timer with the earliest due time, -1 when there is none. Needs the lock.
    [[nodiscard]] int findEarliestTimer() const noexcept {
        int best = -1;
        for (int i = 0; i < timers.size(); ++i) {
            if (best < 0 || timers[i].due < timers[best].due) best = i;
        }
        return best;
    }
    [[nodiscard]] int findTimer(const MessageTarget* target, uint64 id) const noexcept {
        for (int i = 0; i < timers.size(); ++i) {
            if (timers[i].target == target && timers[i].id == id) return i;
        }
        return -1;
    }
    /// Drops the posted messages and timers of `target`, so that no new dispatch to it begins. Needs
    /// the lock.
    void removeMessagesOf(const MessageTarget* target) {
        posted.removeIf([target](const PostedMessage& m) { return m.target == target; });
        for (int i = timers.size() - 1; i >= 0; --i) {
            if (timers[i].target == target) timers.removeUnordered(i);
        }
    }

private:
    std::atomic<int> mReferences{1};
};

namespace {

// Owns the calling thread's reference to its queue, created on first use.
struct QueueHolder {
    ThreadQueue* queue = nullptr;
    ~QueueHolder() {
        if (queue) queue->release();
    }
};

ThreadQueue& getCurrentQueue() {
    thread_local QueueHolder holder;
    if (!holder.queue) holder.queue = tolvanNew<ThreadQueue>();
    return *holder.queue;
}

// The queue of the thread that loads the library, kept for the life of the process.
ThreadQueue& getMainQueue() {
    static ThreadQueue* const queue = [] {
        ThreadQueue* q = &getCurrentQueue();
        q->acquire();
        return q;
    }();
    return *queue;
}

// Static initialisation runs on the loading thread: bind the main queue to it now.
[[maybe_unused]] const bool MAIN_QUEUE_BOUND = (getMainQueue(), true);

// Takes the most overdue timer into `out` when one is due, rescheduling or removing it. Needs the lock.
bool takeDueTimer(ThreadQueue& q, Clock::time_point now, PostedMessage& out) {
    const int index = q.findEarliestTimer();
    if (index < 0 || q.timers[index].due > now) return false;
    TimerEntry& timer = q.timers[index];
    out = PostedMessage{timer.target, TIMER_MESSAGE, timer.id, 0};
    if (timer.mode == TimerMode::ONCE) {
        q.timers.removeUnordered(index);
    } else {
        // Keep the rhythm, but a loop that fell behind gets one message rather than a burst.
        timer.due = std::max(later(timer.due, timer.interval), now);
    }
    return true;
}

} // namespace

MessageTarget::MessageTarget(TargetThread thread)
    : mQueue(thread == TargetThread::MAIN ? &getMainQueue() : &getCurrentQueue()) {
    mQueue->acquire();
}

MessageTarget::~MessageTarget() {
    {
        std::lock_guard lock(mQueue->mutex);
        mQueue->removeMessagesOf(this);
        // Destroyed from inside its own handler: the dispatch must not touch it when it returns.
        for (Dispatch& d : mQueue->dispatching) {
            if (d.target == this) d.target = nullptr;
        }
    }
    mQueue->release();
}

void MessageTarget::destroyWhenIdle(MessageTarget* target) {
    if (!target) return;
    ThreadQueue& q = *target->mQueue;
    bool busy = false;
    {
        std::lock_guard lock(q.mutex);
        q.removeMessagesOf(target);
        for (Dispatch& d : q.dispatching) {
            if (d.target != target) continue;
            d.deleteWhenDone = true;
            busy = true;
        }
    }
    if (!busy) tolvanDelete(target);
}

bool MessageTarget::post(uint32 number, uint64 wParam, int64 lParam) {
    {
        std::lock_guard lock(mQueue->mutex);
        mQueue->posted.push(PostedMessage{this, number, wParam, lParam});
    }
    mQueue->wake.notify_one();
    return true;
}

void MessageTarget::startTimer(uint64 id, int64 intervalMs, TimerMode mode) {
    const Clock::duration interval = durationFromMs(intervalMs);
    const TimerEntry entry{this, id, interval, later(Clock::now(), interval), mode};
    {
        std::lock_guard lock(mQueue->mutex);
        const int index = mQueue->findTimer(this, id);
        if (index >= 0) {
            mQueue->timers[index] = entry;
        } else {
            mQueue->timers.push(entry);
        }
    }
    mQueue->wake.notify_one();
}

bool MessageTarget::stopTimer(uint64 id) {
    std::lock_guard lock(mQueue->mutex);
    const int index = mQueue->findTimer(this, id);
    if (index < 0) return false;
    mQueue->timers.removeUnordered(index);
    return true;
}

int64 getPendingMessageCount() {
    ThreadQueue& q = getCurrentQueue();
    std::lock_guard lock(q.mutex);
    return q.posted.size();
}

bool waitForMessage(int64 timeoutMs) {
    ThreadQueue& q = getCurrentQueue();
    // A deadline beyond the clock's end is the end itself, which waits without limit below.
    const bool limited = timeoutMs >= 0;
    const Clock::time_point deadline = later(Clock::now(), durationFromMs(timeoutMs));
    std::unique_lock lock(q.mutex);
    for (;;) {
        if (!q.posted.isEmpty()) return true;
        const Clock::time_point now = Clock::now();
        const int timer = q.findEarliestTimer();
        if (timer >= 0 && q.timers[timer].due <= now) return true;
        if (limited && now >= deadline) return false;
        // Wake for a post, a due timer or the deadline, whichever comes first.
        Clock::time_point until = limited ? deadline : Clock::time_point::max();
        if (timer >= 0) until = std::min(until, q.timers[timer].due);
        if (until == Clock::time_point::max()) {
            q.wake.wait(lock);
        } else {
            q.wake.wait_until(lock, until);
        }
    }
}

namespace {

// Ends the innermost dispatch of the calling thread; deletes its target when destroyWhenIdle was
// called meanwhile and no outer dispatch still runs it.
void endDispatch(ThreadQueue& q) noexcept {
    MessageTarget* toDelete = nullptr;
    {
        std::lock_guard lock(q.mutex);
        const Dispatch done = q.dispatching.popValue();
        if (done.deleteWhenDone && done.target) {
            bool stillRunning = false;
            for (const Dispatch& d : q.dispatching)
                stillRunning |= d.target == done.target;
            if (!stillRunning) toDelete = done.target;
        }
    }
    tolvanDelete(toDelete);
}

} // namespace

bool dispatchNextMessage() {
    ThreadQueue& q = getCurrentQueue();
    PostedMessage message;
    {
        std::lock_guard lock(q.mutex);
        q.dispatching.reserve(q.dispatching.size() + 1); // may throw: before anything is taken out
        if (!q.posted.isEmpty()) {
            message = q.posted.popFront();
        } else if (q.timers.isEmpty() || !takeDueTimer(q, Clock::now(), message)) {
            return false;
        }
        // Taken out and marked under one lock: a target destroyed from another thread now waits for
        // this dispatch (destroyWhenIdle) instead of being freed under it.
        q.dispatching.push(Dispatch{message.target, false});
    }
    struct EndDispatch {
        ThreadQueue& q;
        ~EndDispatch() { endDispatch(q); }
    } end{q};
    message.target->handleMessage(message.number, message.wParam, message.lParam);
    return true;
}

} // namespace Kalvex::Detail

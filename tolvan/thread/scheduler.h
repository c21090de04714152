// The work-stealing task scheduler. Derive from Task, own it by a SharedPtr and submit it; a worker
// thread (one per logical processor) runs it. Tasks submitted from inside a running task become its
// sub-tasks: the parent is finished only when they (and any continuation it returned) are. A waiting
// worker runs other queued work instead of blocking.
//
//   class Sum : public Task {
//       SharedPtr<Task> run() override {
//           for (auto& part : mParts) Scheduler::highPriorityInstance().submit(part, TaskPriority::Normal);
//           waitForAllSubtasks();            // helps with the parts meanwhile
//           return nullptr;                  // or a continuation task
//       }
//   };
//   SharedPtr<Task> job = makeShared<Sum>(...);
//   Scheduler::highPriorityInstance().submit(job, TaskPriority::Normal);
//   job->wait();                             // rethrows what run() threw
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/sharedptr.h"
#include "tolvan/containers/string.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>

namespace Kalvex {

/// How urgent a task is; a higher value is more urgent. A new task is Normal.
enum class TaskPriority : int {
    Lowest = 0,
    Low = 1,
    Normal = 2,
    High = 3,
    Highest = 4,
};

/// The operating-system priority of all worker threads of one scheduler.
enum class SchedulerWorkerThreadPriority : int {
    Idle = -2,
    BelowNormal = -1,
    Normal = 0,
    AboveNormal = 1,
    Highest = 2,
};

class Scheduler;

namespace Detail {
struct SchedulerWorker;
struct SchedulerState;
} // namespace Detail

/// A unit of work. Always owned by a SharedPtr (it hands out SharedPtrs to itself). Finished when its
/// run() has returned (or it was cancelled) and all its sub-tasks and its continuation have finished.
class Task : public Polymorphic, private Noncopyable, public EnableSharedFromThis<Task> {
public:
    /// Not started, pending 1, priority Normal, the next id of the process-wide counter (from 0).
    Task();
    ~Task() override;

    /// Makes sure run() will not be called when no worker has started the task yet. Returns true when
    /// the task is (now or already) cancelled, false when it had already started.
    bool cancel();
    /// Whether the task, its sub-tasks and its continuation have all finished.
    [[nodiscard]] bool isFinished() const;
    /// The id of the topmost ancestor; a root task's own id.
    [[nodiscard]] uint64 rootTaskId() const;
    /// This task's id.
    [[nodiscard]] uint64 getId() const noexcept { return mId; }
    /// The priority the task was queued with (raised to its parent's for a sub-task).
    [[nodiscard]] TaskPriority getPriority() const noexcept { return mPriority; }
    /// Whether a worker has begun running the task.
    [[nodiscard]] bool isStarted() const noexcept;

    /// Returns when the task is finished; rethrows the exception its run() threw, if any. On a worker
    /// thread it runs other queued tasks (of at least the waiting task's priority) meanwhile.
    void wait() const;
    /// Waits at most `ms` milliseconds; returns whether the task is finished and rethrows its exception
    /// when one is recorded. `ms` <= 0 answers at once without rethrowing.
    bool waitFor(int64 ms) const;
    /// Waits at most `ms` milliseconds for a worker to begin the task; returns whether it has begun.
    /// `ms` < 1 answers at once.
    bool waitTillStarted(int64 ms) const;

protected:
    /// The task's work. May submit sub-tasks; may return a continuation, which becomes a sub-task run
    /// right after (returning the task itself runs it again). An exception is stored in the task. A
    /// continuation that was submitted or returned before is not run again: this task fails with
    /// Exception instead.
    virtual SharedPtr<Task> run() = 0;

    /// Whether the task has no parent.
    [[nodiscard]] bool isRoot() const noexcept { return !mParent; }
    /// The index of the worker running this code; throws Exception("bad_optional_access") off a worker.
    [[nodiscard]] int getWorkerThreadIndex() const;
    /// Inside run(): runs queued work until every sub-task submitted so far has finished, then
    /// rethrows the first exception a direct sub-task threw, if any.
    void waitForAllSubtasks() const;
    /// Inside run(): runs queued tasks of higher priority than this one until there are none.
    void yield() const;

private:
    friend class Scheduler;
    friend struct Detail::SchedulerState;

    enum RunState : uint8 { NOT_STARTED = 0, STARTED = 1, CANCELLED = 2 };

    // Blocks a thread that is not a worker until `done` holds or `timeoutMs` (monotonic) has passed;
    // no time-out, or one beyond 100 years (too large to add to the clock), waits without limit.
    template <typename Done>
    bool blockUntil(Done done, Optional<int64> timeoutMs) const;
    void wakeWaiters() const;
    void rethrowOwnException() const;

    SharedPtr<Task> mParent;
    std::atomic<uint32> mPending{1};
    std::exception_ptr mException;
    std::exception_ptr mSubtaskException;
    TaskPriority mPriority = TaskPriority::Normal;
    std::atomic<uint8> mRunState{NOT_STARTED};
    std::atomic<bool> mSubmitted{false};
    uint64 mId;
    // Blocked waiters (threads that are not workers) are only woken when there are any.
    mutable std::atomic<int32> mWaiters{0};
    mutable std::mutex mMutex;
    mutable std::condition_variable mCondition;
};

/// A pool of worker threads, one per logical processor, with a queue per priority level per worker
/// and global queues for tasks submitted from other threads.
class Scheduler : private Noncopyable {
public:
    /// Starts the workers, named `name` + "_" + index, with 8 MiB stacks and flush-to-zero floats, and
    /// gives them `priority`. Throws Exception when a worker cannot be started (after ending the others).
    explicit Scheduler(const String& name = u"_KALVEX_Scheduler_WorkerThread",
                       SchedulerWorkerThreadPriority priority = SchedulerWorkerThreadPriority::Normal);
    /// Ends the workers once their current task run is over; still queued tasks are dropped unrun and
    /// their waiters are not woken.
    ~Scheduler();

    /// Queues `task` (priority 0 to 4). From a worker of this scheduler it becomes a sub-task of the
    /// worker's current task, at least at that task's priority; from any other thread a root task.
    /// Throws Exception for an empty task, a priority out of range or a task submitted (or returned as
    /// a continuation) before.
    void submit(const SharedPtr<Task>& task, TaskPriority priority);
    /// As above; the queue takes over the caller's reference, which saves a reference count round trip.
    void submit(SharedPtr<Task>&& task, TaskPriority priority);

    /// The number of worker threads.
    [[nodiscard]] int maxParallelWorkerThreadsCount() const;
    /// How many workers (those with the lowest indices) may take work.
    [[nodiscard]] int parallelWorkerThreadsCount() const;
    /// Lets only the first max(1, min(count, workers)) workers take work; waits until every worker is
    /// idle first; from a worker of this scheduler (which would wait for itself) it throws Exception.
    /// The change applies from the next wake-up of the workers.
    void setParallelWorkerThreadsCount(int count);
    /// setParallelWorkerThreadsCount with the number of workers: every worker takes work again.
    void resetParallelWorkerThreadsCount();

    /// Applies `priority` to every worker thread (an out-of-range value is reported and ignored).
    void setWorkerThreadsPriority(SchedulerWorkerThreadPriority priority);
    /// The priority last applied to the workers.
    [[nodiscard]] SchedulerWorkerThreadPriority workerThreadsPriority() const;

    /// The process-wide scheduler, named "_KALVEX_Global_Scheduler_WorkerThread", which exists from the
    /// first Lib::startup to the last Lib::shutdown (there until its workers have stopped, so tasks still
    /// running may reach it); throws Exception outside that time.
    [[nodiscard]] static Scheduler& highPriorityInstance();
    /// The calling worker's index; empty off worker threads.
    [[nodiscard]] static Optional<int> getWorkerThreadIndex();
    /// The scheduler of the calling worker; null off worker threads.
    [[nodiscard]] static Scheduler* getWorkerThreadScheduler();
    /// Whether the calling thread is a worker of any scheduler.
    [[nodiscard]] static bool isWorkerThread();
    /// On a worker running a task: runs queued tasks of higher priority than that task until none is
    /// left. Does nothing elsewhere.
    static void yieldToHigherTasksPriority();

private:
    Detail::SchedulerState* mState;
};

} // namespace Kalvex

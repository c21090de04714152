#include "tolvan/thread/scheduler.h"

#include "tolvan/common/allocator.h"
#include "tolvan/common/exception.h"
#include "tolvan/common/lib.h"
#include "tolvan/containers/stack.h"
#include "tolvan/platform/debug.h"
#include "tolvan/thread/lock.h"
#include "tolvan/thread/thread.h"
#include "tolvan/utility/timer.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <string>
#include <xmmintrin.h>

namespace Kalvex {

namespace {

constexpr int LEVELS = 5;
constexpr size_t WORKER_STACK_SIZE = 8388608;
constexpr int64 NS_PER_MS = 1'000'000;
// Longer time-outs of blocked waits have no deadline: now + the time-out in the clock's nanoseconds
// would overflow for the largest ones, and 100 years is forever for a process.
constexpr int64 MAX_TIMED_WAIT_MS = 100LL * 366 * 24 * 60 * 60 * 1000;
// The line an out-of-range worker priority is reported at. Fixed rather than __LINE__: assertion sites are
// known by file and line, and this one keeps its line across edits of the file.
constexpr int PRIORITY_ASSERT_LINE = 389;

// On a cache line of its own: every task construction on every thread writes it, and nothing read
// elsewhere should be pulled along with it.
alignas(64) std::atomic<uint64> gNextTaskId{0};

// The process-wide scheduler (highPriorityInstance), between the first startup and the last shutdown.
std::atomic<Scheduler*> gGlobalScheduler{nullptr};

int levelOf(TaskPriority priority) {
    return int(priority);
}

// The failure of handing a task to the scheduler (by submit or as a continuation) a second time.
Exception alreadySubmitted(const Task& task) {
    std::string text = "Scheduler: task ";
    text += std::to_string(task.getId());
    text += " was already submitted or returned as a continuation";
    return Exception(text.c_str());
}

// Busy polling spins a little longer after each failed attempt and then backs off to the kernel, so
// that an idle worker neither floods the cache lines of the queues it polls (which their owners keep
// writing) nor, on a loaded machine, keeps the thread it waits for off the processor.
class Backoff {
public:
    void pause() {
        if (mRound < MAX_SPIN_ROUND) {
            for (int i = 0; i < 1 << mRound; ++i)
                _mm_pause();
            ++mRound;
        } else {
            Utils::yield();
        }
    }
    /// After a successful attempt: spin briefly again at the next failure.
    void reset() noexcept { mRound = 0; }

private:
    static constexpr int MAX_SPIN_ROUND = 6; // 63 pauses in all before the first yield
    int mRound = 0;
};

// How long an idle worker polls for new work, and a blocked waiter for its task, before going to sleep:
// a task queued (or finished) within it is seen without a wake-up through the kernel, which costs
// tens of microseconds on either side.
constexpr int64 SPIN_NS = 4000;
// The pauses between two polls double up to this many; at about 140 cycles a pause on recent
// processors a round stays far below a microsecond, so the time limit is kept closely.
constexpr int MAX_SPIN_PAUSES = 16;

// Polls `ready` with growing pauses for at most about SPIN_NS; returns whether it came to hold.
template <typename Ready>
bool spinBriefly(Ready ready) {
    if (ready()) return true;
    const int64 start = Detail::getMonotonicNanoseconds();
    for (int pauses = 1;; pauses = std::min(pauses * 2, MAX_SPIN_PAUSES)) {
        for (int i = 0; i < pauses; ++i)
            _mm_pause();
        if (ready()) return true;
        if (Detail::getMonotonicNanoseconds() - start > SPIN_NS) return false;
    }
}

} // namespace

namespace Detail {

// A ring buffer of tasks behind its own lock, held only for one push or pop, on a cache line of its own
// so that one worker's pushes and pops do not slow down another's. The count is kept in an atomic too:
// searching workers skip empty queues without taking their locks, and the sum of all counts is the
// scheduler's number of queued tasks (changed only by the queue's owner in the common case, so that
// submitting and taking work touches no line shared by all workers).
class alignas(64) TaskQueue : private Noncopyable {
public:
    TaskQueue() = default;
    ~TaskQueue() { release(); }

    [[nodiscard]] int64 count() const noexcept { return mCount.load(std::memory_order_seq_cst); }
    [[nodiscard]] bool isSurelyEmpty() const noexcept { return mCount.load(std::memory_order_relaxed) == 0; }

    /// Appends `task`, moved from only once it is stored (when growing throws, it is left untouched).
    void push(SharedPtr<Task>&& task) {
        ScopedLock guard(mLock);
        const int64 count = mCount.load(std::memory_order_relaxed);
        if (count == mCapacity) grow(count);
        mSlots[(mHead + count) & (mCapacity - 1)] = std::move(task);
        // seq_cst, paired with the one in SchedulerState::sleepUntilWork: a submitter and a worker going
        // to sleep never both miss each other.
        mCount.fetch_add(1, std::memory_order_seq_cst);
    }

    /// The last pushed task (the owner's end), or null.
    SharedPtr<Task> popNewest() {
        if (isSurelyEmpty()) return nullptr;
        ScopedLock guard(mLock);
        const int64 count = mCount.load(std::memory_order_relaxed);
        if (count == 0) return nullptr;
        mCount.store(count - 1, std::memory_order_relaxed);
        return std::move(mSlots[(mHead + count - 1) & (mCapacity - 1)]);
    }

    /// The first pushed task (the thieves' end), or null.
    SharedPtr<Task> popOldest() {
        if (isSurelyEmpty()) return nullptr;
        ScopedLock guard(mLock);
        const int64 count = mCount.load(std::memory_order_relaxed);
        if (count == 0) return nullptr;
        SharedPtr<Task> task = std::move(mSlots[mHead]);
        mHead = (mHead + 1) & (mCapacity - 1);
        mCount.store(count - 1, std::memory_order_relaxed);
        return task;
    }

private:
    // Twice the capacity (at least 16), the tasks moved over in queue order from slot 0.
    void grow(int64 count) {
        const int64 capacity = mCapacity < 16 ? 16 : mCapacity * 2;
        auto* slots = static_cast<SharedPtr<Task>*>(
            tolvanMalloc(size_t(capacity) * sizeof(SharedPtr<Task>), alignof(SharedPtr<Task>)));
        for (int64 i = 0; i < capacity; ++i)
            new (&slots[i]) SharedPtr<Task>();
        for (int64 i = 0; i < count; ++i)
            slots[i] = std::move(mSlots[(mHead + i) & (mCapacity - 1)]);
        release();
        mSlots = slots;
        mCapacity = capacity;
        mHead = 0;
    }

    void release() noexcept {
        for (int64 i = 0; i < mCapacity; ++i)
            mSlots[i].~SharedPtr<Task>();
        tolvanFree(mSlots);
        mSlots = nullptr;
        mCapacity = 0;
    }

    SimpleLock mLock;
    SharedPtr<Task>* mSlots = nullptr;
    int64 mCapacity = 0;
    int64 mHead = 0;
    std::atomic<int64> mCount{0};
};

// One worker's record, on a cache line of its own (and each of its queues on one more).
struct alignas(64) SchedulerWorker {
    int mIndex = 0;
    SchedulerState* mState = nullptr;
    SharedPtr<Task> mCurrent;
    TaskQueue mQueues[LEVELS];
};

thread_local SchedulerWorker* tWorker = nullptr;

struct SchedulerState {
    Scheduler* mOwner = nullptr;
    SchedulerWorkerThreadPriority mWorkerPriority = SchedulerWorkerThreadPriority::Normal;

    alignas(64) std::mutex mMutex;
    std::condition_variable mWork;
    std::condition_variable mIdle;
    int32 mAwake = 0;
    std::atomic<int32> mParallel{0};
    std::atomic<bool> mShutdown{false};
    // Workers asleep on mWork that may take work (index below the parallel count). Every submit reads
    // it, so it sits on a line of its own that changes only when a worker falls asleep or wakes up.
    alignas(64) std::atomic<int32> mSleeping{0};

    TaskQueue mGlobal[LEVELS];
    SchedulerWorker* mWorkers = nullptr;
    int mWorkerCount = 0;
    Stack<Thread> mThreads;

    ~SchedulerState() {
        for (int i = 0; i < mWorkerCount; ++i)
            mWorkers[i].~SchedulerWorker();
        tolvanFree(mWorkers);
    }

    void workerMain(int index, const String& threadName);
    // Under `lock` (the state mutex): waits until shut-down is set, or tasks are queued and worker
    // `index` may take work.
    void sleepUntilWork(std::unique_lock<std::mutex>& lock, int index);
    void shutdownAndJoin();

    /// The number of queued tasks: those in the global queues and every worker's local queues.
    [[nodiscard]] int64 queuedTotal() const noexcept {
        int64 total = 0;
        for (int p = 0; p < LEVELS; ++p)
            total += mGlobal[p].count();
        for (int i = 0; i < mWorkerCount; ++i) {
            for (int p = 0; p < LEVELS; ++p)
                total += mWorkers[i].mQueues[p].count();
        }
        return total;
    }

    // Wakes the sleeping workers after a task was queued (the task's count raised with seq_cst first).
    void wakeSleepers() {
        if (mSleeping.load(std::memory_order_seq_cst) == 0) return;
        std::lock_guard lock(mMutex);
        mWork.notify_all();
    }

    // The task to run next for worker `w` at priority `minLevel` or above: own queue newest first,
    // then the other workers' oldest, then the global queue, level by level from the highest. Empty
    // queues are passed over without taking their locks.
    SharedPtr<Task> findTask(SchedulerWorker& w, int minLevel) {
        for (int p = LEVELS - 1; p >= minLevel; --p) {
            if (SharedPtr<Task> task = w.mQueues[p].popNewest()) return task;
            const int k = mParallel.load(std::memory_order_relaxed);
            for (int j = 1; j < k; ++j) {
                if (SharedPtr<Task> task = mWorkers[(w.mIndex + j) % k].mQueues[p].popOldest()) return task;
            }
            if (SharedPtr<Task> task = mGlobal[p].popOldest()) return task;
        }
        return nullptr;
    }

    bool runOneTask(SchedulerWorker& w, int minLevel);

    // Runs queued tasks on worker `w` (at the priority of the task it is running) until `done` holds
    // or the deadline passes; returns whether `done` holds.
    template <typename Done>
    static bool helpUntil(SchedulerWorker& w, Done done, Optional<int64> timeoutMs) {
        const int minLevel = w.mCurrent ? levelOf(w.mCurrent->mPriority) : 0;
        const int64 start = timeoutMs ? Detail::getMonotonicNanoseconds() : 0;
        Backoff backoff;
        while (!done()) {
            if (timeoutMs && (Detail::getMonotonicNanoseconds() - start) / NS_PER_MS > *timeoutMs)
                return false;
            if (w.mState->runOneTask(w, minLevel)) {
                backoff.reset();
            } else {
                backoff.pause();
            }
        }
        return true;
    }

    static SharedPtr<Task> execute(Task& task);
    // Stores `error` as the task's own exception and, when it is the first, as its parent's sub-task one.
    static void recordFailure(Task& task, const std::exception_ptr& error);
    static void finish(Task* task) noexcept;
};

// Runs `task` unless it was cancelled; returns its continuation. An exception from run() is stored in
// the task and, as the first sub-task failure, in its parent.
SharedPtr<Task> SchedulerState::execute(Task& task) {
    uint8 state = Task::NOT_STARTED;
    if (!task.mRunState.compare_exchange_strong(state, Task::STARTED) && state == Task::CANCELLED)
        return nullptr;
    task.wakeWaiters();
    try {
        return task.run();
    } catch (...) {
        recordFailure(task, std::current_exception());
        return nullptr;
    }
}

void SchedulerState::recordFailure(Task& task, const std::exception_ptr& error) {
    {
        std::lock_guard guard(task.mMutex);
        task.mException = error;
    }
    if (Task* parent = task.mParent.get()) {
        std::lock_guard guard(parent->mMutex);
        if (!parent->mSubtaskException) parent->mSubtaskException = error;
    }
}

// Takes the task's own share of its pending count; a task that reaches 0 finishes its parent the same
// way. Every count on the chain is settled before any waiter is woken; the first unfinished ancestor's
// waiters are woken too when only its own share is left (what waitForAllSubtasks waits for).
void SchedulerState::finish(Task* task) noexcept {
    Task* last = nullptr;
    Task* unfinished = task;
    uint32 before = 0;
    for (; unfinished; unfinished = unfinished->mParent.get()) {
        before = unfinished->mPending.fetch_sub(1, std::memory_order_seq_cst);
        if (before != 1) break;
        last = unfinished;
    }
    for (Task* t = task; last; t = t->mParent.get()) {
        t->wakeWaiters();
        if (t == last) break;
    }
    if (unfinished && before == 2) unfinished->wakeWaiters();
}

bool SchedulerState::runOneTask(SchedulerWorker& w, int minLevel) {
    SharedPtr<Task> task = findTask(w, minLevel);
    if (!task) return false;
    SharedPtr<Task> saved = std::move(w.mCurrent);
    w.mCurrent = std::move(task);
    while (SharedPtr<Task> continuation = execute(*w.mCurrent)) {
        if (continuation.get() == w.mCurrent.get()) continue; // a task returning itself runs again
        if (continuation->mSubmitted.exchange(true)) {
            // Already queued or run elsewhere: as for a second submit, the task that returned it fails
            // (with BadAlloc instead when even the message cannot be built).
            try {
                throw alreadySubmitted(*continuation);
            } catch (...) {
                recordFailure(*w.mCurrent, std::current_exception());
            }
            break;
        }
        continuation->mParent = std::move(w.mCurrent);
        continuation->mPriority = continuation->mParent->mPriority;
        w.mCurrent = std::move(continuation);
    }
    const SharedPtr<Task> done = std::move(w.mCurrent);
    w.mCurrent = std::move(saved);
    finish(done.get());
    return true;
}

void SchedulerState::workerMain(int index, const String& threadName) {
    Utils::setThreadName(threadName);
    Utils::threadSetupFloats();
    // Background mode lowers the I/O priority; normal scheduling priority is then asked for again.
    (void)Detail::setCurrentThreadPriority(Detail::MODE_BACKGROUND_BEGIN);
    (void)Detail::setCurrentThreadPriority(Detail::PRIORITY_NORMAL);
    SchedulerWorker& w = mWorkers[index];
    tWorker = &w;
    while (!mShutdown.load()) {
        // Work that comes in within the poll is taken at once; otherwise the worker goes to sleep.
        const bool mayTakeWork = index < mParallel.load(std::memory_order_relaxed);
        if (!mayTakeWork || !spinBriefly([this] { return queuedTotal() > 0 || mShutdown.load(); })) {
            std::unique_lock lock(mMutex);
            --mAwake;
            mIdle.notify_one();
            sleepUntilWork(lock, index);
            ++mAwake;
        }
        Backoff backoff;
        while (!mShutdown.load(std::memory_order_relaxed) && queuedTotal() >= 1) {
            if (runOneTask(w, 0)) {
                backoff.reset();
            } else {
                backoff.pause();
            }
        }
    }
    tWorker = nullptr;
}

void SchedulerState::sleepUntilWork(std::unique_lock<std::mutex>& lock, int index) {
    while (!mShutdown.load()) {
        if (index >= mParallel.load()) {
            mWork.wait(lock);
            continue;
        }
        // Announce the sleep before looking at the queues (both seq_cst), the mirror image of a submit
        // that raises a queue's count before it looks for sleepers: one of the two sees the other.
        mSleeping.fetch_add(1, std::memory_order_seq_cst);
        const bool work = queuedTotal() > 0;
        if (!work) mWork.wait(lock);
        mSleeping.fetch_sub(1, std::memory_order_relaxed);
        if (work) return;
    }
}

void SchedulerState::shutdownAndJoin() {
    {
        std::lock_guard lock(mMutex);
        mShutdown.store(true);
        mWork.notify_all();
    }
    for (int i = 0; i < mThreads.size(); ++i) {
        if (mThreads[i].isJoinable()) (void)mThreads[i].join();
    }
}

} // namespace Detail

using Detail::SchedulerState;
using Detail::tWorker;

// Task ---------------------------------------------------------------------------------------------

Task::Task()
    : mId(gNextTaskId.fetch_add(1, std::memory_order_relaxed)) {}

Task::~Task() = default;

bool Task::cancel() {
    uint8 state = NOT_STARTED;
    mRunState.compare_exchange_strong(state, CANCELLED);
    return mRunState.load() == CANCELLED;
}

// seq_cst like mWaiters' increment and read, so a waiter and wakeWaiters never both miss each other.
bool Task::isFinished() const {
    return mPending.load(std::memory_order_seq_cst) == 0;
}

// seq_cst for the same reason as isFinished.
bool Task::isStarted() const noexcept {
    return mRunState.load(std::memory_order_seq_cst) == STARTED;
}

uint64 Task::rootTaskId() const {
    const Task* task = this;
    while (task->mParent)
        task = task->mParent.get();
    return task->mId;
}

// Taking and releasing the mutex orders the change of state before a waiter's check of it; the waiters
// are then notified outside the mutex so that a woken one does not block on it again at once. The
// callers keep the task alive meanwhile.
void Task::wakeWaiters() const {
    if (mWaiters.load(std::memory_order_seq_cst) == 0) return;
    { std::lock_guard guard(mMutex); }
    mCondition.notify_all();
}

template <typename Done>
bool Task::blockUntil(Done done, Optional<int64> timeoutMs) const {
    // A short task is often over within the poll, which spares both sides the sleep and the wake-up.
    if (spinBriefly(done)) return true;
    std::unique_lock lock(mMutex);
    // seq_cst, paired with the predicate's seq_cst load against wakeWaiters' skipped notify.
    mWaiters.fetch_add(1, std::memory_order_seq_cst);
    bool result = true;
    if (!timeoutMs || *timeoutMs > MAX_TIMED_WAIT_MS) {
        mCondition.wait(lock, done);
    } else {
        result = mCondition.wait_for(lock, std::chrono::milliseconds(*timeoutMs), done);
    }
    mWaiters.fetch_sub(1, std::memory_order_relaxed);
    return result;
}

void Task::rethrowOwnException() const {
    std::exception_ptr error;
    {
        std::lock_guard guard(mMutex);
        error = mException;
    }
    if (error) std::rethrow_exception(error);
}

void Task::wait() const {
    const auto finished = [this] { return isFinished(); };
    if (tWorker) {
        SchedulerState::helpUntil(*tWorker, finished, NONE);
    } else {
        blockUntil(finished, NONE);
    }
    rethrowOwnException();
}

bool Task::waitFor(int64 ms) const {
    if (ms <= 0) return isFinished();
    const auto finished = [this] { return isFinished(); };
    const bool done = tWorker ? SchedulerState::helpUntil(*tWorker, finished, ms) : blockUntil(finished, ms);
    rethrowOwnException();
    return done;
}

bool Task::waitTillStarted(int64 ms) const {
    if (ms < 1) return isStarted();
    const auto started = [this] { return isStarted(); };
    return tWorker ? SchedulerState::helpUntil(*tWorker, started, ms) : blockUntil(started, ms);
}

int Task::getWorkerThreadIndex() const {
    return Scheduler::getWorkerThreadIndex().value();
}

void Task::waitForAllSubtasks() const {
    // seq_cst for the same reason as isFinished.
    const auto onlySelfLeft = [this] { return mPending.load(std::memory_order_seq_cst) <= 1; };
    if (tWorker) {
        SchedulerState::helpUntil(*tWorker, onlySelfLeft, NONE);
    } else {
        blockUntil(onlySelfLeft, NONE);
    }
    std::exception_ptr error;
    {
        std::lock_guard guard(mMutex);
        error = mSubtaskException;
    }
    if (error) std::rethrow_exception(error);
}

void Task::yield() const {
    Scheduler::yieldToHigherTasksPriority();
}

// Scheduler ----------------------------------------------------------------------------------------

Scheduler::Scheduler(const String& name, SchedulerWorkerThreadPriority priority)
    : mState(tolvanNew<SchedulerState>()) {
    KALVEX_SCOPE_ELAPSED_TIME("Function call: ", "Kalvex::Scheduler::Scheduler");
    SchedulerState& s = *mState;
    s.mOwner = this;
    const int n = Utils::getLogicalProcessorCount();
    s.mParallel.store(n);
    s.mAwake = n;
    try {
        s.mWorkers = static_cast<Detail::SchedulerWorker*>(
            tolvanMalloc(sizeof(Detail::SchedulerWorker) * size_t(n), alignof(Detail::SchedulerWorker)));
        for (; s.mWorkerCount < n; ++s.mWorkerCount) {
            Detail::SchedulerWorker* w = new (&s.mWorkers[s.mWorkerCount]) Detail::SchedulerWorker();
            w->mIndex = s.mWorkerCount;
            w->mState = &s;
        }
        s.mThreads.reserve(n);
        for (int i = 0; i < n; ++i) {
            std::string suffix = "_";
            suffix += std::to_string(i);
            const String threadName = name + String::fromAscii(suffix);
            s.mThreads.push(Thread([&s, i, threadName] { s.workerMain(i, threadName); }, WORKER_STACK_SIZE));
        }
        Stack<ThreadHandle> handles;
        for (int i = 0; i < n; ++i)
            handles.push(s.mThreads[i].handle());
        Utils::assignThreadsToProcessors(handles);
        setWorkerThreadsPriority(priority);
    } catch (...) {
        s.shutdownAndJoin();
        tolvanDelete(mState);
        throw;
    }
}

Scheduler::~Scheduler() {
    mState->shutdownAndJoin();
    // The process-wide instance stays reachable until here: a task still running during the last
    // shutdown may submit to it (the task is dropped unrun, as every queued one is).
    Scheduler* self = this;
    gGlobalScheduler.compare_exchange_strong(self, nullptr);
    tolvanDelete(mState);
}

void Scheduler::submit(const SharedPtr<Task>& task, TaskPriority priority) {
    submit(SharedPtr<Task>(task), priority);
}

void Scheduler::submit(SharedPtr<Task>&& task, TaskPriority priority) {
    if (!task) throw Exception("Scheduler::submit: the task is empty");
    if (levelOf(priority) < 0 || levelOf(priority) >= LEVELS) {
        std::string text = "Scheduler::submit: task priority ";
        text += std::to_string(levelOf(priority));
        text += " is outside 0 to 4";
        throw Exception(text.c_str());
    }
    Task* const t = task.get();
    // Running a task twice would corrupt its pending count and its parent's.
    if (t->mSubmitted.exchange(true)) throw alreadySubmitted(*t);
    SchedulerState& s = *mState;
    // Only a worker of this scheduler makes the task a sub-task of its own; from anywhere else (a
    // worker of another scheduler included) it goes to the global queue and runs there.
    Detail::SchedulerWorker* worker = tWorker && tWorker->mState == &s ? tWorker : nullptr;
    Task* parent = worker ? worker->mCurrent.get() : nullptr;
    const int level = parent ? std::max(levelOf(priority), levelOf(parent->mPriority)) : levelOf(priority);
    if (parent) {
        // Before the task is visible: a thief may run and finish it at once.
        parent->mPending.fetch_add(1, std::memory_order_relaxed);
        t->mParent = worker->mCurrent;
    }
    t->mPriority = TaskPriority(level);
    try {
        (worker ? worker->mQueues[level] : s.mGlobal[level]).push(std::move(task));
    } catch (...) {
        // Nothing was queued: take every count back.
        if (parent) {
            t->mParent.reset();
            parent->mPending.fetch_sub(1);
        }
        t->mSubmitted.store(false);
        throw;
    }
    s.wakeSleepers();
}

int Scheduler::maxParallelWorkerThreadsCount() const {
    return mState->mWorkerCount;
}

int Scheduler::parallelWorkerThreadsCount() const {
    return mState->mParallel.load();
}

void Scheduler::setParallelWorkerThreadsCount(int count) {
    SchedulerState& s = *mState;
    if (count == s.mParallel.load()) return;
    if (tWorker && tWorker->mState == &s) {
        throw Exception("Scheduler::setParallelWorkerThreadsCount was called from a worker of the same "
                        "scheduler, which would wait for itself to become idle");
    }
    std::unique_lock lock(s.mMutex);
    s.mIdle.wait(lock, [&] { return s.mAwake == 0; });
    s.mParallel.store(std::max(1, std::min(count, s.mWorkerCount)));
}

void Scheduler::resetParallelWorkerThreadsCount() {
    setParallelWorkerThreadsCount(mState->mWorkerCount);
}

void Scheduler::setWorkerThreadsPriority(SchedulerWorkerThreadPriority priority) {
    KALVEX_SCOPE_ELAPSED_TIME("Function call: ", "Kalvex::Scheduler::setWorkerThreadsPriority");
    SchedulerState& s = *mState;
    if (priority == s.mWorkerPriority || s.mThreads.isEmpty()) return;
    static constexpr int WIN32_PRIORITIES[] = {Detail::PRIORITY_IDLE, Detail::PRIORITY_BELOW_NORMAL,
                                               Detail::PRIORITY_NORMAL, Detail::PRIORITY_ABOVE_NORMAL,
                                               Detail::PRIORITY_HIGHEST};
    const int index = int(priority) + 2;
    if (index < 0 || index >= 5) {
        Detail::reportFailedAssertion(__FILE__, PRIORITY_ASSERT_LINE,
                                      "priority >= Idle && priority <= Highest");
        return;
    }
    for (int i = 0; i < s.mThreads.size(); ++i) {
        (void)Detail::setThreadPriority(s.mThreads[i].handle(), WIN32_PRIORITIES[index]);
    }
    s.mWorkerPriority = priority;
}

SchedulerWorkerThreadPriority Scheduler::workerThreadsPriority() const {
    return mState->mWorkerPriority;
}

Optional<int> Scheduler::getWorkerThreadIndex() {
    if (!tWorker) return NONE;
    return tWorker->mIndex;
}

Scheduler* Scheduler::getWorkerThreadScheduler() {
    return tWorker ? tWorker->mState->mOwner : nullptr;
}

bool Scheduler::isWorkerThread() {
    return tWorker != nullptr;
}

void Scheduler::yieldToHigherTasksPriority() {
    Detail::SchedulerWorker* w = tWorker;
    if (!w || !w->mCurrent) return;
    const int minLevel = levelOf(w->mCurrent->mPriority) + 1;
    while (w->mState->runOneTask(*w, minLevel)) {
    }
}

// The process-wide scheduler -----------------------------------------------------------------------

namespace {

void createGlobalScheduler() {
    gGlobalScheduler.store(tolvanNew<Scheduler>(String(u"_KALVEX_Global_Scheduler_WorkerThread"),
                                                SchedulerWorkerThreadPriority::Normal));
}

// The destructor clears gGlobalScheduler once the workers have stopped.
void destroyGlobalScheduler() {
    tolvanDelete(gGlobalScheduler.load());
}

[[maybe_unused]] const bool GLOBAL_SCHEDULER_HOOKS = [] {
    Lib::registerHooks(&createGlobalScheduler, &destroyGlobalScheduler);
    return true;
}();

} // namespace

Scheduler& Scheduler::highPriorityInstance() {
    Scheduler* scheduler = gGlobalScheduler.load();
    if (!scheduler) {
        throw Exception("Scheduler::highPriorityInstance: the process-wide scheduler exists only between "
                        "Lib::startup() and the last Lib::shutdown()");
    }
    return *scheduler;
}

} // namespace Kalvex

#include "tolvan/common/lib.h"
#include "tolvan/platform/dialog.h"
#include "tolvan/thread/scheduler.h"
#include "tolvan/thread/thread.h"

#include "support/blocking.h"
#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xmmintrin.h>

using namespace Kalvex;
using TolvanTest::Gate;
using TolvanTest::waitUntil;

namespace {

// A task running a lambda; the lambda may return a continuation.
class LambdaTask : public Task {
public:
    using Body = std::function<SharedPtr<Task>(LambdaTask&)>;
    explicit LambdaTask(Body body)
        : mBody(std::move(body)) {}

    using Task::getWorkerThreadIndex;
    using Task::isRoot;
    using Task::waitForAllSubtasks;
    using Task::yield;

    std::atomic<int> mRuns{0};

protected:
    SharedPtr<Task> run() override {
        ++mRuns;
        return mBody(*this);
    }

private:
    Body mBody;
};

SharedPtr<LambdaTask> task(LambdaTask::Body body) {
    return makeShared<LambdaTask>(std::move(body));
}

SharedPtr<LambdaTask> task(std::function<void()> body) {
    return makeShared<LambdaTask>([body = std::move(body)](LambdaTask&) -> SharedPtr<Task> {
        body();
        return nullptr;
    });
}

std::string threadName(unsigned tid) {
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The threads of this process whose name starts with `prefix`, and the processor time (user and
// system, in clock ticks) they have used so far.
struct ThreadTimes {
    std::vector<unsigned> mTids;
    long long mTicks = 0;
};

ThreadTimes threadTimes(const std::string& prefix) {
    ThreadTimes times;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        const unsigned tid = unsigned(std::stoul(entry.path().filename().string()));
        if (!threadName(tid).starts_with(prefix)) continue;
        std::ifstream statFile(entry.path() / "stat");
        const std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
        // After the name in parentheses: state (field 3) ... utime (14), stime (15).
        std::istringstream fields(stat.substr(stat.rfind(')') + 1));
        std::string field;
        long long utime = 0;
        long long stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stoll(field);
            if (i == 15) stime = std::stoll(field);
        }
        times.mTids.push_back(tid);
        times.mTicks += utime + stime;
    }
    return times;
}

// A scheduler whose work all goes through worker 0, so the order of execution is the queue order.
struct SingleWorkerScheduler {
    Scheduler scheduler{u"single"};
    SingleWorkerScheduler() { scheduler.setParallelWorkerThreadsCount(1); }
};

} // namespace

TEST(Scheduler, ParentFinishesOnlyAfterAllSubtasks) {
    Scheduler scheduler(u"tree");
    Gate gate;
    std::atomic<int> childrenRun{0};
    std::atomic<bool> parentReturned{false};
    const SharedPtr<LambdaTask> parent = task([&](LambdaTask&) -> SharedPtr<Task> {
        for (int i = 0; i < 3; ++i) {
            scheduler.submit(task([&] {
                                 EXPECT_TRUE(gate.waitOpen());
                                 ++childrenRun;
                             }),
                             TaskPriority::Normal);
        }
        parentReturned.store(true);
        return nullptr;
    });
    scheduler.submit(parent, TaskPriority::Normal);
    ASSERT_TRUE(waitUntil([&] { return parentReturned.load(); }));
    EXPECT_FALSE(parent->isFinished());
    EXPECT_FALSE(parent->waitFor(0)); // answers at once
    gate.open();
    parent->wait();
    EXPECT_TRUE(parent->isFinished());
    EXPECT_EQ(childrenRun.load(), 3);
}

TEST(Scheduler, ParentOfManySubtasksWaitsForTheOneHeldBack) {
    Scheduler scheduler(u"many");
    constexpr int SUBTASKS = 100;
    // The held-back sub-task is the first, a middle or the last one submitted (on the submitting
    // worker the newest runs first, thieves take the oldest).
    for (const int held : {0, SUBTASKS / 2, SUBTASKS - 1}) {
        SCOPED_TRACE("held back: sub-task " + std::to_string(held));
        Gate gate;
        std::atomic<int> done{0};
        const SharedPtr<LambdaTask> parent = task([&](LambdaTask&) -> SharedPtr<Task> {
            for (int i = 0; i < SUBTASKS; ++i) {
                scheduler.submit(task([&, i] {
                                     if (i == held) {
                                         EXPECT_TRUE(gate.waitOpen());
                                     }
                                     ++done;
                                 }),
                                 TaskPriority::Normal);
            }
            return nullptr;
        });
        scheduler.submit(parent, TaskPriority::Normal);
        EXPECT_TRUE(waitUntil([&] { return done.load() == SUBTASKS - 1; }));
        EXPECT_FALSE(parent->waitFor(0));
        EXPECT_FALSE(parent->isFinished());
        gate.open();
        EXPECT_TRUE(parent->waitFor(60000));
        EXPECT_EQ(done.load(), SUBTASKS);
    }
}

TEST(Scheduler, SubtasksInheritTheParentsPriorityAndRoot) {
    Scheduler scheduler(u"prio");
    SharedPtr<LambdaTask> child;
    std::atomic<bool> childWasRoot{true};
    const SharedPtr<LambdaTask> parent = task([&](LambdaTask& self) -> SharedPtr<Task> {
        child = task([&](LambdaTask& c) -> SharedPtr<Task> {
            childWasRoot = c.isRoot();
            return nullptr;
        });
        scheduler.submit(child, TaskPriority::Lowest);
        self.waitForAllSubtasks();
        return nullptr;
    });
    scheduler.submit(parent, TaskPriority::High);
    parent->wait();
    EXPECT_EQ(parent->getPriority(), TaskPriority::High);
    EXPECT_EQ(child->getPriority(), TaskPriority::High);
    EXPECT_FALSE(childWasRoot.load());
    EXPECT_EQ(child->rootTaskId(), parent->getId());
    EXPECT_EQ(parent->rootTaskId(), parent->getId());
    EXPECT_GT(child->getId(), parent->getId()); // one process-wide counter
}

TEST(Scheduler, ContinuationRunsAsPartOfItsTask) {
    Scheduler scheduler(u"cont");
    std::vector<std::string> order;
    std::mutex orderLock;
    const auto note = [&](const std::string& what) {
        std::lock_guard guard(orderLock);
        order.push_back(what);
    };
    SharedPtr<LambdaTask> continuation;
    const SharedPtr<LambdaTask> first = task([&](LambdaTask&) -> SharedPtr<Task> {
        note("first");
        continuation = task([&](LambdaTask&) -> SharedPtr<Task> {
            scheduler.submit(task([&] { note("continuation's sub-task"); }), TaskPriority::Normal);
            note("continuation");
            return nullptr;
        });
        return continuation;
    });
    scheduler.submit(first, TaskPriority::Highest);
    first->wait();
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], "first");
    EXPECT_TRUE(continuation->isFinished());
    EXPECT_EQ(continuation->getPriority(), TaskPriority::Highest);
    EXPECT_EQ(continuation->rootTaskId(), first->getId());

    // A task that returns itself runs again.
    const SharedPtr<LambdaTask> again = task(
        [](LambdaTask& self) -> SharedPtr<Task> { return self.mRuns < 3 ? self.sharedFromThis() : nullptr; });
    scheduler.submit(again, TaskPriority::Normal);
    again->wait();
    EXPECT_EQ(again->mRuns.load(), 3);
}

// A task handed over twice, by submit or as a continuation in any order, runs once; the second hand-over
// fails like a second submit (the returning task fails with Exception).
TEST(Scheduler, ATaskSubmittedOrReturnedTwiceRunsOnce) {
    Scheduler scheduler(u"twice");
    // The returning task holds the continuation weakly (the test holds it): the continuation's parent
    // link points back at the task that returned it, so a strong hold would be a reference cycle.
    const auto returning = [](const SharedPtr<LambdaTask>& continuation) {
        return task([weak = WeakPtr<LambdaTask>(continuation)](LambdaTask&) -> SharedPtr<Task> {
            return weak.lock();
        });
    };
    enum HandOver { SUBMIT, RETURN };
    const std::pair<HandOver, HandOver> cases[] = {{RETURN, RETURN}, {SUBMIT, RETURN}, {RETURN, SUBMIT}};
    for (const auto& [first, second] : cases) {
        SCOPED_TRACE(std::string(first == SUBMIT ? "submitted" : "returned") + " first, then " +
                     (second == SUBMIT ? "submitted" : "returned"));
        const SharedPtr<LambdaTask> shared = task([] {});
        if (first == SUBMIT) {
            scheduler.submit(shared, TaskPriority::Normal);
        } else {
            const SharedPtr<LambdaTask> returner = returning(shared);
            scheduler.submit(returner, TaskPriority::Normal);
            ASSERT_TRUE(returner->waitFor(60000));
        }
        ASSERT_TRUE(shared->waitFor(60000));
        if (second == SUBMIT) {
            EXPECT_THROW(scheduler.submit(shared, TaskPriority::Normal), Exception);
        } else {
            const SharedPtr<LambdaTask> returner = returning(shared);
            scheduler.submit(returner, TaskPriority::Normal);
            // Time-limited, so that a task run twice (its counts broken) fails instead of hanging.
            EXPECT_THROW((void)returner->waitFor(60000), Exception);
            EXPECT_TRUE(returner->isFinished());
        }
        EXPECT_EQ(shared->mRuns.load(), 1);
    }
}

TEST(Scheduler, ExceptionsReachWaitAndWaitForAllSubtasks) {
    SingleWorkerScheduler single;
    Scheduler& scheduler = single.scheduler;
    const SharedPtr<LambdaTask> failing = task([] { throw std::runtime_error("task failed"); });
    scheduler.submit(failing, TaskPriority::Normal);
    try {
        failing->wait();
        ADD_FAILURE() << "wait did not rethrow";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "task failed");
    }
    EXPECT_THROW((void)failing->waitFor(1000), std::runtime_error);
    // A zero or negative time-out only answers whether the task is finished.
    EXPECT_NO_THROW(EXPECT_TRUE(failing->waitFor(0)));
    EXPECT_NO_THROW(EXPECT_TRUE(failing->waitFor(-1)));

    // Only the first sub-task exception reaches the parent; on one worker the newest runs first.
    std::string caught;
    const SharedPtr<LambdaTask> parent = task([&](LambdaTask& self) -> SharedPtr<Task> {
        scheduler.submit(task([] { throw std::runtime_error("first submitted"); }), TaskPriority::Normal);
        scheduler.submit(task([] { throw std::runtime_error("second submitted"); }), TaskPriority::Normal);
        try {
            self.waitForAllSubtasks();
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        return nullptr;
    });
    scheduler.submit(parent, TaskPriority::Normal);
    EXPECT_NO_THROW(parent->wait()); // the parent caught it: its own exception stays empty
    EXPECT_EQ(caught, "second submitted");
}

TEST(Scheduler, CancelBeforeStartSkipsRun) {
    SingleWorkerScheduler single;
    Scheduler& scheduler = single.scheduler;
    Gate gate;
    const SharedPtr<LambdaTask> blocker = task([&] { EXPECT_TRUE(gate.waitOpen()); });
    const SharedPtr<LambdaTask> victim = task([] {});
    scheduler.submit(blocker, TaskPriority::Normal);
    ASSERT_TRUE(blocker->waitTillStarted(60000));
    EXPECT_FALSE(blocker->cancel()); // already running
    scheduler.submit(victim, TaskPriority::Normal);
    EXPECT_FALSE(victim->waitTillStarted(0));
    EXPECT_FALSE(victim->waitTillStarted(20)); // the only worker is busy
    EXPECT_TRUE(victim->cancel());
    EXPECT_TRUE(victim->cancel()); // still cancelled
    gate.open();
    victim->wait();
    EXPECT_TRUE(victim->isFinished());
    EXPECT_EQ(victim->mRuns.load(), 0);
    EXPECT_FALSE(victim->waitTillStarted(0));
    blocker->wait();
    EXPECT_EQ(blocker->mRuns.load(), 1);
}

TEST(Scheduler, HigherPriorityRunsFirstAndGlobalQueuesAreFifo) {
    SingleWorkerScheduler single;
    Scheduler& scheduler = single.scheduler;
    Gate gate;
    std::vector<std::string> order;
    std::mutex orderLock;
    const auto recorder = [&](std::string name) {
        return task([&, name] {
            std::lock_guard guard(orderLock);
            order.push_back(name);
        });
    };
    const SharedPtr<LambdaTask> blocker = task([&] { EXPECT_TRUE(gate.waitOpen()); });
    scheduler.submit(blocker, TaskPriority::Highest);
    ASSERT_TRUE(blocker->waitTillStarted(60000));
    std::vector<SharedPtr<LambdaTask>> tasks = {recorder("low 1"), recorder("low 2"), recorder("low 3"),
                                                recorder("high")};
    for (int i = 0; i < 3; ++i)
        scheduler.submit(tasks[size_t(i)], TaskPriority::Low);
    scheduler.submit(tasks[3], TaskPriority::High);
    gate.open();
    for (const auto& t : tasks)
        t->wait();
    EXPECT_EQ(order, (std::vector<std::string>{"high", "low 1", "low 2", "low 3"}));
}

TEST(Scheduler, YieldRunsOnlyHigherPriorityWork) {
    SingleWorkerScheduler single;
    Scheduler& scheduler = single.scheduler;
    std::mutex orderLock;
    std::vector<std::string> order;
    const auto note = [&](const char* what) {
        std::lock_guard guard(orderLock);
        order.emplace_back(what);
    };
    const SharedPtr<LambdaTask> lowest = task([&] { note("lowest"); });
    const SharedPtr<LambdaTask> parent = task([&](LambdaTask& self) -> SharedPtr<Task> {
        // Submitted from outside the scheduler's workers: root tasks in the global queues.
        Thread outsider([&] {
            scheduler.submit(task([&] { note("highest"); }), TaskPriority::Highest);
            scheduler.submit(lowest, TaskPriority::Lowest);
        });
        EXPECT_TRUE(outsider.join());
        self.yield();
        note("after yield");
        return nullptr;
    });
    scheduler.submit(parent, TaskPriority::Normal);
    parent->wait();
    lowest->wait();
    std::lock_guard guard(orderLock);
    EXPECT_EQ(order, (std::vector<std::string>{"highest", "after yield", "lowest"}));
}

TEST(Scheduler, IdleWorkersStealFromABusyOne) {
    Scheduler scheduler(u"steal");
    const int workers = scheduler.maxParallelWorkerThreadsCount();
    if (workers < 2) GTEST_SKIP() << "needs two logical processors";
    // Each sub-task waits until two workers have run sub-tasks: only stealing can make that happen,
    // because all of them are queued on the submitting worker.
    std::mutex seenLock;
    std::set<int> seen;
    const SharedPtr<LambdaTask> root = task([&](LambdaTask& self) -> SharedPtr<Task> {
        for (int i = 0; i < 16; ++i) {
            scheduler.submit(task([&](LambdaTask& sub) -> SharedPtr<Task> {
                                 {
                                     std::lock_guard guard(seenLock);
                                     seen.insert(sub.getWorkerThreadIndex());
                                 }
                                 EXPECT_TRUE(waitUntil([&] {
                                     std::lock_guard guard(seenLock);
                                     return seen.size() >= 2;
                                 }));
                                 return nullptr;
                             }),
                             TaskPriority::Normal);
        }
        self.waitForAllSubtasks();
        return nullptr;
    });
    scheduler.submit(root, TaskPriority::Normal);
    root->wait();
    EXPECT_GE(seen.size(), 2u);
}

TEST(Scheduler, WorkersAreNamedAndKnowTheirIndex) {
    Scheduler scheduler(u"X");
    const int n = scheduler.maxParallelWorkerThreadsCount();
    EXPECT_EQ(n, Utils::getLogicalProcessorCount());
    EXPECT_EQ(scheduler.parallelWorkerThreadsCount(), n);
    EXPECT_FALSE(Scheduler::getWorkerThreadIndex());
    EXPECT_FALSE(Scheduler::isWorkerThread());
    EXPECT_EQ(Scheduler::getWorkerThreadScheduler(), nullptr);

    // One task per worker, each held until all have started, so every worker shows itself.
    std::mutex lock;
    std::vector<std::pair<int, unsigned>> workers; // index, kernel thread id
    std::atomic<int> started{0};
    std::atomic<bool> sawScheduler{true};
    std::atomic<bool> flushToZero{true};
    std::vector<SharedPtr<LambdaTask>> tasks;
    for (int i = 0; i < n; ++i) {
        tasks.push_back(task([&] {
            {
                std::lock_guard guard(lock);
                workers.emplace_back(*Scheduler::getWorkerThreadIndex(), Utils::getThreadId());
            }
            if (!Scheduler::isWorkerThread() || Scheduler::getWorkerThreadScheduler() != &scheduler) {
                sawScheduler = false;
            }
            if ((_mm_getcsr() & 0x8040) != 0x8040) flushToZero = false; // FTZ and DAZ
            ++started;
            EXPECT_TRUE(waitUntil([&] { return started.load() == n; }));
        }));
        scheduler.submit(tasks.back(), TaskPriority::Normal);
    }
    for (const auto& t : tasks)
        t->wait();
    EXPECT_TRUE(sawScheduler.load());
    EXPECT_TRUE(flushToZero.load());
    std::set<int> indices;
    errno = 0;
    const int baseNice = getpriority(PRIO_PROCESS, 0);
    for (const auto& [index, tid] : workers) {
        indices.insert(index);
        EXPECT_EQ(threadName(tid), "X_" + std::to_string(index));
        // Background mode leaves the idle I/O class in force; the CPU priority is normal again.
        EXPECT_EQ(syscall(SYS_ioprio_get, 1, int(tid)) >> 13, 3) << "worker " << index;
        EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(tid)), baseNice) << "worker " << index;
    }
    EXPECT_EQ(int(indices.size()), n);

    // Lower priorities can always be applied (raising them again may need privileges).
    scheduler.setWorkerThreadsPriority(SchedulerWorkerThreadPriority::BelowNormal);
    EXPECT_EQ(scheduler.workerThreadsPriority(), SchedulerWorkerThreadPriority::BelowNormal);
    for (const auto& [index, tid] : workers) {
        EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(tid)), std::min(baseNice + 5, 19)) << "worker " << index;
    }
    const TolvanTest::CapturedDebugOutput output;
    std::atomic<int> dialogs{0};
    const Utils::DialogPresenter previous = Utils::setDialogPresenter([&](const Utils::DialogRequest& r) {
        dialogs += r.message.find(u"Condition: priority >= Idle") != String::nPos ? 1 : 0;
        return r.dismissChoice;
    });
    scheduler.setWorkerThreadsPriority(SchedulerWorkerThreadPriority(7));
    Utils::setDialogPresenter(previous);
    EXPECT_EQ(dialogs.load(), 1); // the report reaches the assert dialog too
    EXPECT_EQ(scheduler.workerThreadsPriority(), SchedulerWorkerThreadPriority::BelowNormal);
    bool reported = false;
    for (const std::string& text : output.texts()) {
        reported |= text.starts_with("!!! CASSERT fired:\n File: thread/scheduler") &&
                    text.find("\nLine: 389\n") != std::string::npos;
    }
    EXPECT_TRUE(reported);
}

TEST(Scheduler, HugeTimeOutsWaitUntilTheTaskIsDone) {
    Scheduler scheduler(u"huge");
    Gate gate;
    const SharedPtr<LambdaTask> held = task([&] { EXPECT_TRUE(gate.waitOpen()); });
    const unsigned mainThread = Utils::getThreadId();
    std::atomic<bool> waiting{false};
    // Opens the gate once this thread blocks in waitFor, so the wait really has to wait.
    Thread opener([&] {
        EXPECT_TRUE(waitUntil([&] { return waiting.load(); }));
        EXPECT_TRUE(TolvanTest::waitUntilBlocked(mainThread));
        gate.open();
    });
    scheduler.submit(held, TaskPriority::Normal);
    EXPECT_TRUE(held->waitTillStarted(std::numeric_limits<int64>::max()));
    waiting = true;
    EXPECT_TRUE(held->waitFor(std::numeric_limits<int64>::max()));
    EXPECT_TRUE(opener.join());
    EXPECT_TRUE(held->isFinished());
}

// Idle workers may poll for new work briefly, but must then fall asleep: once the work has run out,
// the workers' processor time stops growing and each of them sleeps in futex(). (A window in which
// no clock tick was charged to them: a polling worker is charged about one tick in 10 ms it runs.)
TEST(Scheduler, AnIdleSchedulerUsesNoProcessorTime) {
    Scheduler scheduler(u"idlecpu");
    const size_t workers = size_t(scheduler.maxParallelWorkerThreadsCount());
    std::vector<SharedPtr<LambdaTask>> tasks;
    for (int i = 0; i < 1000; ++i) {
        tasks.push_back(task([] {}));
        scheduler.submit(tasks.back(), TaskPriority::Normal);
    }
    for (const auto& t : tasks)
        t->wait();
    const bool idle = waitUntil([&] {
        const ThreadTimes before = threadTimes("idlecpu_");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const ThreadTimes after = threadTimes("idlecpu_");
        return after.mTids.size() == workers && after.mTicks == before.mTicks &&
               std::all_of(after.mTids.begin(), after.mTids.end(), TolvanTest::isBlockedInFutex);
    });
    EXPECT_TRUE(idle);
}

// Workers fall asleep whenever the queues run empty; every later submit must wake one that may take
// work, also while others (beyond the parallel count) stay asleep. Two threads submit at once so that
// submits race with workers on their way to sleep; a lost wake-up shows as a task that never starts.
TEST(Scheduler, EverySubmitIntoAnIdleSchedulerWakesAWorker) {
    constexpr int ROUNDS = 2000;
    for (const int parallel : {2, 1}) {
        SCOPED_TRACE(parallel);
        Scheduler scheduler(u"wake");
        scheduler.setParallelWorkerThreadsCount(parallel);
        std::atomic<int> lost{0};
        const auto submitter = [&] {
            for (int i = 0; i < ROUNDS; ++i) {
                const SharedPtr<LambdaTask> t = task([] {});
                scheduler.submit(t, TaskPriority::Normal);
                if (!t->waitFor(60000)) ++lost;
            }
        };
        Thread other(submitter);
        submitter();
        EXPECT_TRUE(other.join());
        EXPECT_EQ(lost.load(), 0);
    }
}

TEST(Scheduler, ParallelWorkerCountIsClamped) {
    Scheduler scheduler(u"count");
    const int n = scheduler.maxParallelWorkerThreadsCount();
    scheduler.setParallelWorkerThreadsCount(0);
    EXPECT_EQ(scheduler.parallelWorkerThreadsCount(), 1);
    scheduler.setParallelWorkerThreadsCount(n + 5);
    EXPECT_EQ(scheduler.parallelWorkerThreadsCount(), n);
    scheduler.setParallelWorkerThreadsCount(1);
    scheduler.resetParallelWorkerThreadsCount();
    EXPECT_EQ(scheduler.parallelWorkerThreadsCount(), n);
}

TEST(Scheduler, ConstructionIsTimedInTheDebugOutput) {
    const TolvanTest::CapturedDebugOutput output;
    { const Scheduler scheduler(u"timed"); }
    bool found = false;
    for (const std::string& text : output.texts()) {
        found |= text.starts_with(">>>  Function call:  Kalvex::Scheduler::Scheduler took ");
    }
    EXPECT_TRUE(found);
}

TEST(Scheduler, RejectsMisuse) {
    Scheduler scheduler(u"misuse");
    const SharedPtr<LambdaTask> once = task([] {});
    EXPECT_THROW(scheduler.submit(nullptr, TaskPriority::Normal), Exception);
    EXPECT_THROW(scheduler.submit(once, TaskPriority(5)), Exception);
    EXPECT_THROW(scheduler.submit(once, TaskPriority(-1)), Exception);
    scheduler.submit(once, TaskPriority::Normal);
    EXPECT_THROW(scheduler.submit(once, TaskPriority::Normal), Exception); // would run twice
    once->wait();
    EXPECT_EQ(once->mRuns.load(), 1);
    // Off a worker thread the index is an empty Optional.
    EXPECT_THROW((void)once->getWorkerThreadIndex(), Exception);
    // A worker would wait for itself to become idle.
    const SharedPtr<LambdaTask> resizer = task([&] { scheduler.setParallelWorkerThreadsCount(1); });
    scheduler.submit(resizer, TaskPriority::Normal);
    EXPECT_THROW(resizer->wait(), Exception);
}

TEST(Scheduler, WaitForAllSubtasksFromAnotherThreadWakesWhenOnlyTheTaskIsLeft) {
    Scheduler scheduler(u"outside");
    if (scheduler.maxParallelWorkerThreadsCount() < 2) GTEST_SKIP() << "needs two logical processors";
    Gate gate;
    std::atomic<int> childrenDone{0};
    std::atomic<bool> submitted{false};
    const SharedPtr<LambdaTask> parent = task([&](LambdaTask&) -> SharedPtr<Task> {
        for (int i = 0; i < 2; ++i)
            scheduler.submit(task([&] { ++childrenDone; }), TaskPriority::Normal);
        submitted = true;
        EXPECT_TRUE(gate.waitOpen()); // keeps the parent's own share while the children finish
        return nullptr;
    });
    scheduler.submit(parent, TaskPriority::Normal);
    ASSERT_TRUE(waitUntil([&] { return submitted.load(); }));
    parent->waitForAllSubtasks(); // blocks on this thread until both children are done
    EXPECT_EQ(childrenDone.load(), 2);
    EXPECT_FALSE(parent->isFinished());
    gate.open();
    parent->wait();
}

TEST(Scheduler, TaskSubmittedToAnotherSchedulerRunsThere) {
    Scheduler first(u"first");
    Scheduler second(u"second");
    SharedPtr<LambdaTask> foreign;
    std::atomic<Scheduler*> ranOn{nullptr};
    const SharedPtr<LambdaTask> outer = task([&](LambdaTask&) -> SharedPtr<Task> {
        foreign = task([&] { ranOn = Scheduler::getWorkerThreadScheduler(); });
        second.submit(foreign, TaskPriority::Normal);
        foreign->wait(); // helps on `first` meanwhile
        return nullptr;
    });
    first.submit(outer, TaskPriority::Normal);
    outer->wait();
    EXPECT_EQ(ranOn.load(), &second);
    EXPECT_TRUE(foreign->isRoot());
}

TEST(Scheduler, DestructionDropsQueuedTasks) {
    Gate gate;
    const SharedPtr<LambdaTask> blocker = task([&] { EXPECT_TRUE(gate.waitOpen()); });
    const SharedPtr<LambdaTask> dropped = task([] {});
    const unsigned mainThread = Utils::getThreadId();
    std::atomic<bool> destroying{false};
    // Opens the gate once the destructor waits for the worker, after it has set the shut-down flag.
    Thread opener([&] {
        EXPECT_TRUE(waitUntil([&] { return destroying.load(); }));
        EXPECT_TRUE(TolvanTest::waitUntilBlocked(mainThread));
        gate.open();
    });
    {
        SingleWorkerScheduler single;
        single.scheduler.submit(blocker, TaskPriority::Normal);
        ASSERT_TRUE(blocker->waitTillStarted(60000));
        single.scheduler.submit(dropped, TaskPriority::Normal);
        destroying = true;
    }
    EXPECT_TRUE(opener.join());
    EXPECT_TRUE(blocker->isFinished());
    EXPECT_EQ(dropped->mRuns.load(), 0);
    EXPECT_FALSE(dropped->isFinished());
}

TEST(Scheduler, MillionTinyTasksInATreeEachRunOnce) {
    Scheduler scheduler(u"stress");
    constexpr int LEAVES = 1'000'000;
    constexpr int NODES = 2 * LEAVES - 1;
    // Leaf [i, i + 1) counts at i; an inner node counts at LEAVES - 1 + its split point, which is
    // between 1 and LEAVES - 1 and different for every inner node.
    std::unique_ptr<std::atomic<uint8_t>[]> runs(new std::atomic<uint8_t>[NODES]());
    // Splits [begin, end) in halves until single leaves; every node is a task.
    std::function<SharedPtr<LambdaTask>(int, int)> node = [&](int begin, int end) {
        return task([&, begin, end](LambdaTask& self) -> SharedPtr<Task> {
            if (end - begin == 1) {
                runs[size_t(begin)].fetch_add(1, std::memory_order_relaxed);
                return nullptr;
            }
            const int middle = begin + (end - begin) / 2;
            runs[size_t(LEAVES - 1 + middle)].fetch_add(1, std::memory_order_relaxed);
            scheduler.submit(node(begin, middle), TaskPriority::Normal);
            scheduler.submit(node(middle, end), TaskPriority::Normal);
            if ((end - begin) % 3 == 0) self.waitForAllSubtasks(); // some nodes wait, others just return
            return nullptr;
        });
    };
    const SharedPtr<LambdaTask> root = node(0, LEAVES);
    scheduler.submit(root, TaskPriority::Normal);
    root->wait();
    int wrong = 0;
    for (int i = 0; i < NODES; ++i)
        wrong += runs[size_t(i)].load() != 1;
    EXPECT_EQ(wrong, 0);
}

TEST(Scheduler, ProcessWideInstanceLivesBetweenStartupAndShutdown) {
    ASSERT_EQ(Lib::getStartupCount(), 0);
    EXPECT_THROW((void)Scheduler::highPriorityInstance(), Exception);
    Lib::startup();
    Scheduler& global = Scheduler::highPriorityInstance();
    const SharedPtr<LambdaTask> t = task([] {});
    global.submit(t, TaskPriority::Normal);
    t->wait();
    EXPECT_EQ(global.maxParallelWorkerThreadsCount(), Utils::getLogicalProcessorCount());
    Lib::startup(); // only counts
    EXPECT_EQ(&Scheduler::highPriorityInstance(), &global);
    Lib::shutdown();
    EXPECT_NO_THROW((void)Scheduler::highPriorityInstance());
    Lib::shutdown();
    EXPECT_THROW((void)Scheduler::highPriorityInstance(), Exception);
}

namespace {
// Opened by a shutdown action registered after the scheduler's, so it runs just before the
// process-wide scheduler is destroyed.
std::atomic<Gate*> gShutdownBegun{nullptr};
} // namespace

TEST(Scheduler, ProcessWideInstanceStaysReachableUntilItsWorkersHaveStopped) {
    ASSERT_EQ(Lib::getStartupCount(), 0);
    Lib::registerHooks({}, [] {
        if (Gate* gate = gShutdownBegun.load()) gate->open();
    });
    Gate shutdownBegun;
    gShutdownBegun = &shutdownBegun;
    Gate started;
    std::atomic<bool> submitted{false};
    const unsigned mainTid = Utils::getThreadId();
    Lib::startup();
    const SharedPtr<LambdaTask> running = task([&] {
        started.open();
        EXPECT_TRUE(shutdownBegun.waitOpen());
        // The main thread now waits for this worker to end.
        EXPECT_TRUE(TolvanTest::waitUntilBlocked(mainTid));
        try {
            Scheduler::highPriorityInstance().submit(task([] {}), TaskPriority::Normal);
            submitted = true;
        } catch (const Exception&) {
        }
    });
    Scheduler::highPriorityInstance().submit(running, TaskPriority::Normal);
    ASSERT_TRUE(started.waitOpen());
    Lib::shutdown();
    gShutdownBegun = nullptr;
    EXPECT_TRUE(submitted.load()) << "a task still running during the last shutdown lost the scheduler";
    EXPECT_THROW((void)Scheduler::highPriorityInstance(), Exception);
}

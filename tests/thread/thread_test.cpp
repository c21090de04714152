#include "tolvan/common/exception.h"
#include "tolvan/containers/string.h"
#include "tolvan/thread/semaphore.h"
#include "tolvan/thread/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xmmintrin.h>

using namespace Kalvex;

namespace {

std::string utf8(const String& s) {
    return s.toUtf8().cStr();
}

// A callable whose copy throws: taking it over in the new thread fails before the thread has started.
struct ThrowsOnCopy {
    ThrowsOnCopy() = default;
    ThrowsOnCopy(const ThrowsOnCopy&) { throw Exception("copy failed"); }
    void operator()() const {}
};

std::atomic<int> gFunctionRuns{0};
void countRun() {
    ++gFunctionRuns;
}

} // namespace

// ---- Thread ----

TEST(Thread, RunsTheCallableAndJoins) {
    std::atomic<int> runs{0};
    Thread thread([&runs] { ++runs; });
    EXPECT_TRUE(thread.isJoinable());
    EXPECT_NE(thread.handle(), nullptr);
    EXPECT_TRUE(thread.join());
    EXPECT_FALSE(thread.isJoinable());
    EXPECT_EQ(thread.handle(), nullptr);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(thread.join()); // nothing left to join
}

TEST(Thread, TakesTheCallableOverBeforeTheConstructorReturns) {
    auto token = std::make_shared<int>(7);
    Semaphore release;
    auto callable = [token, &release] { (void)release.passOrWait(0); };
    Thread thread(std::move(callable), 256 * 1024);
    // The new thread holds the only other reference: the callable was moved into its own frame.
    EXPECT_EQ(token.use_count(), 2);
    release.signal();
    EXPECT_TRUE(thread.join());
    EXPECT_EQ(token.use_count(), 1);
}

TEST(Thread, CopiesAnLvalueCallableAndAcceptsMoveOnlyOnesAndFunctions) {
    std::atomic<int> runs{0};
    const auto lvalue = [&runs] { ++runs; };
    Thread first(lvalue);
    auto owned = std::make_unique<int>(5);
    Thread second([p = std::move(owned), &runs] { runs += *p; });
    gFunctionRuns = 0;
    Thread third(countRun);
    Thread fourth(&countRun);
    EXPECT_TRUE(first.join());
    EXPECT_TRUE(second.join());
    EXPECT_TRUE(third.join());
    EXPECT_TRUE(fourth.join());
    EXPECT_EQ(runs.load(), 6);
    EXPECT_EQ(gFunctionRuns.load(), 2);
}

TEST(Thread, MoveTransfersTheHandle) {
    Semaphore release;
    Thread a([&release] { (void)release.passOrWait(0); });
    const ThreadHandle handle = a.handle();
    Thread b(std::move(a));
    EXPECT_FALSE(a.isJoinable());
    EXPECT_EQ(b.handle(), handle);
    Thread c;
    EXPECT_FALSE(c.isJoinable());
    c = std::move(b);
    EXPECT_EQ(c.handle(), handle);
    release.signal();
    EXPECT_TRUE(c.join());
}

TEST(Thread, FailureToTakeOverTheCallableReachesTheCaller) {
    const ThrowsOnCopy callable;
    try {
        Thread thread(callable);
        thread.join();
        FAIL() << "expected the copy's exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "copy failed");
    }
}

TEST(Thread, FailedCreationThrowsInsteadOfWaiting) {
    // A stack larger than the address space: pthread_create fails at once.
    try {
        Thread thread([] {}, size_t(1) << 50);
        thread.join();
        FAIL() << "expected Exception";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Creation of Kalvex::Thread failed: ", 0), 0u) << e.what();
    }
}

TEST(Thread, DetachLeavesTheThreadRunning) {
    Semaphore go;
    Semaphore done;
    Thread thread([&] {
        (void)go.passOrWait(0);
        done.signal();
    });
    thread.detach();
    EXPECT_FALSE(thread.isJoinable());
    EXPECT_EQ(thread.handle(), nullptr);
    go.signal();                     // the detached thread still runs ...
    EXPECT_TRUE(done.passOrWait(0)); // ... and finishes
    thread.detach();                 // nothing when not joinable
}

TEST(Thread, ZeroTimeOutOnlyPolls) {
    Semaphore release;
    Thread thread([&release] { (void)release.passOrWait(0); });
    EXPECT_FALSE(thread.join(0));
    EXPECT_TRUE(thread.isJoinable());
    release.signal();
    EXPECT_TRUE(thread.join(-1)); // 0xFFFFFFFF: no limit
    EXPECT_FALSE(thread.isJoinable());
}

using ThreadDeathTest = ::testing::Test;

TEST_F(ThreadDeathTest, DestroyingAJoinableThreadTerminates) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Semaphore never;
            Thread thread([&never] { (void)never.passOrWait(0); });
        },
        "Kalvex::Thread: a thread that is still joinable was destroyed; join or detach it first");
}

TEST_F(ThreadDeathTest, AssigningOntoAJoinableThreadTerminates) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Semaphore never;
            Thread thread([&never] { (void)never.passOrWait(0); });
            thread = Thread();
        },
        "Kalvex::Thread: a thread that is still joinable was assigned to");
}

TEST_F(ThreadDeathTest, AnExceptionLeavingTheThreadFunctionTerminates) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Thread thread([] { throw Exception("boom"); });
            thread.join();
        },
        "an exception left the thread function: boom");
}

// ---- Utils ----

TEST(ThreadUtils, SleepWaitsAtLeastTheTimeAndNonPositiveReturnsAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    Utils::sleep(0);
    Utils::sleep(-5);
    Utils::yield();
    Utils::sleep(15);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
}

TEST(ThreadUtils, ThreadIdIsTheKernelId) {
    EXPECT_EQ(Utils::getThreadId(), unsigned(syscall(SYS_gettid)));
    EXPECT_EQ(Utils::getThreadId(), Utils::getThreadId());
    std::atomic<unsigned> inside{0};
    Semaphore release;
    Thread thread([&] {
        inside = Utils::getThreadId();
        (void)release.passOrWait(0);
    });
    while (inside.load() == 0)
        Utils::yield();
    EXPECT_NE(inside.load(), Utils::getThreadId());
    EXPECT_EQ(Detail::getThreadId(thread.handle()), inside.load());
    EXPECT_EQ(Detail::getThreadId(nullptr), 0u);
    release.signal();
    EXPECT_TRUE(thread.join());
}

TEST(ThreadUtils, ThreadNameIsAsciiAndCutToFifteenCharacters) {
    struct Case {
        const char16_t* name;
        const char* expected;
    };
    const Case cases[] = {
        {u"worker", "worker"},
        {u"W\u00fcrfel_\u20ac", "W_rfel__"},
        {u"_KALVEX_Global_Scheduler_WorkerThread_3", "_KALVEX_Global_"},
        {u"", ""},
    };
    for (const Case& c : cases) {
        std::string seen;
        Thread thread([&] {
            Utils::setThreadName(String(c.name));
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            seen = name;
        });
        ASSERT_TRUE(thread.join());
        EXPECT_EQ(seen, c.expected) << utf8(String(c.name));
    }
}

TEST(ThreadUtils, FloatSetupSetsFlushToZeroAndDenormalsAreZeroOnly) {
    unsigned before = 0;
    unsigned after = 0;
    double product = -1.0;
    Thread thread([&] {
        before = _mm_getcsr();
        Utils::threadSetupFloats();
        after = _mm_getcsr();
        volatile double denormal = 1e-310;
        volatile double one = 1.0;
        product = denormal * one; // a denormal input counts as zero
    });
    ASSERT_TRUE(thread.join());
    EXPECT_EQ(after, before | (1u << 15) | (1u << 6));
    EXPECT_EQ(product, 0.0);
}

TEST(ThreadUtils, LogicalProcessorCountIsTheAffinityMaskAndCached) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const int count = Utils::getLogicalProcessorCount();
    EXPECT_EQ(count, CPU_COUNT(&set));
    EXPECT_GE(count, 1);
    EXPECT_EQ(Utils::getLogicalProcessorCount(), count);
}

TEST(ThreadUtils, AssignmentPlanIsRoundRobinOverGroups) {
    using A = Detail::ProcessorAssignment;
    struct Case {
        int threads;
        std::vector<int> groups;
        std::vector<A> plan;
    };
    const Case cases[] = {
        {10, {4}, {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 0}, {0, 1}}},
        {7, {2, 3}, {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {1, 2}, {0, 0}, {0, 1}}},
        {3, {0, 2}, {{1, 0}, {1, 1}, {1, 0}}},
        {2, {8}, {{0, 0}, {0, 1}}},
        {0, {4}, {}},
        {3, {}, {}},
        {3, {0}, {}},
    };
    for (const Case& c : cases) {
        const Stack<A> plan = Detail::planThreadAssignment(
            c.threads, ArrayView<const int>(c.groups.data(), int64(c.groups.size())));
        ASSERT_EQ(size_t(plan.size()), c.plan.size()) << c.threads;
        for (int i = 0; i < plan.size(); ++i) {
            EXPECT_EQ(plan[i], c.plan[size_t(i)]) << c.threads << " threads, step " << i;
        }
    }
}

TEST(ThreadUtils, PinningIsOptIn) {
    struct Case {
        const char* value; // null: unset
        bool enabled;
    };
    const Case cases[] = {{nullptr, false}, {"", false}, {"0", false}, {"1", true}, {"yes", true}};
    for (const Case& c : cases) {
        if (c.value) {
            setenv("KALVEX_PIN_THREADS", c.value, 1);
        } else {
            unsetenv("KALVEX_PIN_THREADS");
        }
        EXPECT_EQ(Detail::isThreadPinningEnabled(), c.enabled) << (c.value ? c.value : "(unset)");
    }
    unsetenv("KALVEX_PIN_THREADS");
}

namespace {

// Starts `count` threads that wait, then report the processors they may run on.
std::vector<std::vector<int>> affinitiesAfterAssignment(int count) {
    Semaphore go;
    std::vector<std::vector<int>> seen(static_cast<size_t>(count));
    std::vector<Thread> threads;
    Stack<ThreadHandle> handles;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&go, &seen, i] {
            (void)go.passOrWait(0);
            cpu_set_t set;
            CPU_ZERO(&set);
            sched_getaffinity(0, sizeof set, &set);
            for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
                if (CPU_ISSET(cpu, &set)) seen[size_t(i)].push_back(cpu);
            }
        });
        handles.push(threads.back().handle());
    }
    handles.push(nullptr); // a null handle is skipped
    Utils::assignThreadsToProcessors(handles);
    for (int i = 0; i < count; ++i)
        go.signal();
    for (Thread& t : threads)
        EXPECT_TRUE(t.join());
    return seen;
}

std::vector<int> allowedProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    }
    return cpus;
}

} // namespace

TEST(ThreadUtils, AssignmentLeavesAffinityAloneByDefault) {
    unsetenv("KALVEX_PIN_THREADS");
    const std::vector<int> all = allowedProcessors();
    for (const std::vector<int>& seen : affinitiesAfterAssignment(3))
        EXPECT_EQ(seen, all);
}

TEST(ThreadUtils, AssignmentPinsRoundRobinWhenOptedIn) {
    setenv("KALVEX_PIN_THREADS", "1", 1);
    const std::vector<int> all = allowedProcessors();
    const int count = int(all.size()) + 2;
    const std::vector<std::vector<int>> seen = affinitiesAfterAssignment(count);
    unsetenv("KALVEX_PIN_THREADS");
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(seen[size_t(i)], std::vector<int>{all[size_t(i) % all.size()]}) << "thread " << i;
    }
}

namespace {

// Runs `work` on a new thread pinned to the single processor `cpu`.
template <typename F>
void onThreadPinnedTo(int cpu, F work) {
    std::thread pinned([cpu, &work] {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        ASSERT_EQ(pthread_setaffinity_np(pthread_self(), sizeof set, &set), 0);
        work();
    });
    pinned.join();
}

} // namespace

TEST(ThreadUtils, AssignmentFromAPinnedThreadUsesTheProcessProcessors) {
    const std::vector<int> all = allowedProcessors();
    if (all.size() < 2) GTEST_SKIP() << "needs two logical processors";
    setenv("KALVEX_PIN_THREADS", "1", 1);
    std::vector<std::vector<int>> seen;
    onThreadPinnedTo(all[0], [&] { seen = affinitiesAfterAssignment(int(all.size())); });
    unsetenv("KALVEX_PIN_THREADS");
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(seen[i], std::vector<int>{all[i]}) << "thread " << i;
}

// Run in a fresh process by the test below: the first question comes from a thread pinned to one
// processor.
TEST(ThreadUtilsChild, DISABLED_PinnedThreadAsksFirst) {
    const std::vector<int> all = allowedProcessors();
    int count = 0;
    onThreadPinnedTo(all[0], [&] { count = Utils::getLogicalProcessorCount(); });
    EXPECT_EQ(count, int(all.size()));
}

TEST(ThreadUtils, ProcessorCountDoesNotDependOnTheThreadThatAsksFirst) {
    if (allowedProcessors().size() < 2) GTEST_SKIP() << "needs two logical processors";
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string command =
        std::string("'") + exe +
        "' --gtest_also_run_disabled_tests"
        " --gtest_filter=ThreadUtilsChild.DISABLED_PinnedThreadAsksFirst >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0)
        << "the count seen by a pinned first caller is not the process's";
}

// ---- priorities (the Linux stand-in for SetThreadPriority) ----

TEST(ThreadPriority, LowerPrioritiesRaiseTheNiceValue) {
    errno = 0;
    const int base = getpriority(PRIO_PROCESS, id_t(getpid()));
    ASSERT_EQ(errno, 0);
    Semaphore release;
    Thread thread([&release] { (void)release.passOrWait(0); });
    const id_t tid = id_t(Detail::getThreadId(thread.handle()));
    EXPECT_TRUE(Detail::setThreadPriority(thread.handle(), Detail::PRIORITY_BELOW_NORMAL));
    EXPECT_EQ(getpriority(PRIO_PROCESS, tid), std::min(base + 5, 19));
    EXPECT_TRUE(Detail::setThreadPriority(thread.handle(), Detail::PRIORITY_IDLE));
    EXPECT_EQ(getpriority(PRIO_PROCESS, tid), 19);
    EXPECT_FALSE(Detail::setThreadPriority(thread.handle(), 7)); // not a Win32 priority
    EXPECT_FALSE(Detail::setThreadPriority(thread.handle(), Detail::MODE_BACKGROUND_BEGIN));
    EXPECT_FALSE(Detail::setThreadPriority(nullptr, Detail::PRIORITY_LOWEST));
    EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(getpid())), base); // the process is untouched
    release.signal();
    EXPECT_TRUE(thread.join());
}

TEST(ThreadPriority, BackgroundModeLowersCpuAndIoPriorityOfTheCallingThread) {
    constexpr int IOPRIO_WHO_PROCESS = 1;
    Thread thread([&] {
        const int tid = int(Utils::getThreadId());
        const int niceBefore = getpriority(PRIO_PROCESS, id_t(tid));
        const long ioBefore = syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, tid);
        EXPECT_FALSE(Detail::setCurrentThreadPriority(Detail::MODE_BACKGROUND_END)); // not in it
        EXPECT_TRUE(Detail::setCurrentThreadPriority(Detail::MODE_BACKGROUND_BEGIN));
        EXPECT_FALSE(Detail::setCurrentThreadPriority(Detail::MODE_BACKGROUND_BEGIN)); // already
        // The CPU part applies only where the thread may come back from nice 19.
        const int niceInBackground = getpriority(PRIO_PROCESS, id_t(tid));
        EXPECT_TRUE(niceInBackground == 19 || niceInBackground == niceBefore) << niceInBackground;
        EXPECT_EQ(syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, tid) >> 13, 3); // IOPRIO_CLASS_IDLE
        EXPECT_TRUE(Detail::setCurrentThreadPriority(Detail::MODE_BACKGROUND_END));
        EXPECT_EQ(syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, tid), ioBefore);
        EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(tid)), niceBefore); // never stuck at 19
    });
    EXPECT_TRUE(thread.join());
}

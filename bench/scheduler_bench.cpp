// The task scheduler against oneTBB on the same machine: fork-join fib(27) with one task per call,
// 10,000 independent tasks of about 100 µs, and the latency of one empty task submitted and waited
// for from a thread that is not a worker.
#include "tolvan/thread/scheduler.h"
#include "tolvan/thread/thread.h"

#include "ratio_reporter.h"

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

using namespace Kalvex;

namespace {

constexpr int FIB_N = 27;
constexpr int INDEPENDENT_TASKS = 10'000;

Scheduler& scheduler() {
    static Scheduler instance(u"bench");
    return instance;
}

tbb::task_arena& arena() {
    static tbb::task_arena instance(Utils::getLogicalProcessorCount());
    return instance;
}

// fib --------------------------------------------------------------------------------------------------

class FibTask : public Task {
public:
    explicit FibTask(int n, long* result)
        : mN(n)
        , mResult(result) {}

protected:
    SharedPtr<Task> run() override {
        if (mN < 2) {
            *mResult = mN;
            return nullptr;
        }
        long a = 0;
        long b = 0;
        scheduler().submit(makeShared<FibTask>(mN - 1, &a), TaskPriority::Normal);
        scheduler().submit(makeShared<FibTask>(mN - 2, &b), TaskPriority::Normal);
        waitForAllSubtasks();
        *mResult = a + b;
        return nullptr;
    }

private:
    int mN;
    long* mResult;
};

long tbbFib(int n) {
    if (n < 2) return n;
    long a = 0;
    long b = 0;
    tbb::task_group group;
    group.run([&] { a = tbbFib(n - 1); });
    group.run([&] { b = tbbFib(n - 2); });
    group.wait();
    return a + b;
}

void BM_SchedulerFib(benchmark::State& state) {
    for (auto _ : state) {
        long result = 0;
        const SharedPtr<Task> root = makeShared<FibTask>(FIB_N, &result);
        scheduler().submit(root, TaskPriority::Normal);
        root->wait();
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_SchedulerFib)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TbbFib(benchmark::State& state) {
    for (auto _ : state) {
        long result = 0;
        arena().execute([&] { result = tbbFib(FIB_N); });
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_TbbFib)->Unit(benchmark::kMillisecond)->UseRealTime();

// 10,000 tasks of about 100 µs -------------------------------------------------------------------------

// About 100 µs of arithmetic, calibrated once so that every contender does the same work.
int workIterations() {
    static const int iterations = [] {
        [[maybe_unused]] volatile double sink = 0;
        int n = 1 << 14;
        for (;;) {
            const auto start = std::chrono::steady_clock::now();
            double x = 1.0;
            for (int i = 0; i < n; ++i)
                x = x * 1.0000001 + 1e-9;
            sink = x;
            const auto us =
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
            if (us > 20) return int(n * 100.0 / us);
            n *= 2;
        }
    }();
    return iterations;
}

double work() {
    double x = 1.0;
    const int n = workIterations();
    for (int i = 0; i < n; ++i)
        x = x * 1.0000001 + 1e-9;
    return x;
}

class WorkTask : public Task {
protected:
    SharedPtr<Task> run() override {
        benchmark::DoNotOptimize(work());
        return nullptr;
    }
};

void BM_SchedulerIndependent(benchmark::State& state) {
    (void)workIterations();
    std::vector<SharedPtr<Task>> tasks(INDEPENDENT_TASKS);
    for (auto _ : state) {
        for (auto& t : tasks) {
            t = makeShared<WorkTask>();
            scheduler().submit(t, TaskPriority::Normal);
        }
        for (auto& t : tasks)
            t->wait();
    }
}
BENCHMARK(BM_SchedulerIndependent)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same tasks spawned the way the TBB peer spawns them: one task submits them all as its sub-tasks
// and waits for them once (helping, as it runs on a worker); the caller waits for that one task.
class SpawnTask : public Task {
protected:
    SharedPtr<Task> run() override {
        for (int i = 0; i < INDEPENDENT_TASKS; ++i)
            scheduler().submit(makeShared<WorkTask>(), TaskPriority::Normal);
        waitForAllSubtasks();
        return nullptr;
    }
};

void BM_SchedulerIndependentSpawned(benchmark::State& state) {
    (void)workIterations();
    for (auto _ : state) {
        const SharedPtr<Task> root = makeShared<SpawnTask>();
        scheduler().submit(root, TaskPriority::Normal);
        root->wait();
    }
}
BENCHMARK(BM_SchedulerIndependentSpawned)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TbbIndependent(benchmark::State& state) {
    (void)workIterations();
    for (auto _ : state) {
        arena().execute([] {
            tbb::task_group group;
            for (int i = 0; i < INDEPENDENT_TASKS; ++i)
                group.run([] { benchmark::DoNotOptimize(work()); });
            group.wait();
        });
    }
}
BENCHMARK(BM_TbbIndependent)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OneThreadIndependent(benchmark::State& state) {
    (void)workIterations();
    for (auto _ : state) {
        for (int i = 0; i < INDEPENDENT_TASKS; ++i)
            benchmark::DoNotOptimize(work());
    }
}
BENCHMARK(BM_OneThreadIndependent)->Unit(benchmark::kMillisecond)->UseRealTime();

// Submit and wait for one empty task ------------------------------------------------------------------

class EmptyTask : public Task {
protected:
    SharedPtr<Task> run() override { return nullptr; }
};

void BM_SchedulerSubmitWait(benchmark::State& state) {
    for (auto _ : state) {
        const SharedPtr<Task> t = makeShared<EmptyTask>();
        scheduler().submit(t, TaskPriority::Normal);
        t->wait();
    }
}
BENCHMARK(BM_SchedulerSubmitWait)->UseRealTime();

// TBB's nearest equivalent: enqueue into the arena (a worker runs it) and block until it has run.
void BM_TbbEnqueueWait(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable done;
    for (auto _ : state) {
        bool finished = false;
        arena().enqueue([&] {
            std::lock_guard guard(mutex);
            finished = true;
            done.notify_one();
        });
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return finished; });
    }
}
BENCHMARK(BM_TbbEnqueueWait)->UseRealTime();

// task_group run + wait: TBB lets the waiting thread run the task itself.
void BM_TbbRunWait(benchmark::State& state) {
    for (auto _ : state) {
        arena().execute([] {
            tbb::task_group group;
            group.run([] {});
            group.wait();
        });
    }
}
BENCHMARK(BM_TbbRunWait)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    return TolvanBench::runWithRatios(
        argc, argv,
        {
            {"BM_SchedulerFib/real_time", "BM_TbbFib/real_time"},
            {"BM_SchedulerIndependent/real_time", "BM_TbbIndependent/real_time"},
            {"BM_SchedulerIndependent/real_time", "BM_OneThreadIndependent/real_time"},
            {"BM_SchedulerIndependentSpawned/real_time", "BM_TbbIndependent/real_time"},
            {"BM_SchedulerIndependentSpawned/real_time", "BM_OneThreadIndependent/real_time"},
            {"BM_SchedulerSubmitWait/real_time", "BM_TbbEnqueueWait/real_time"},
            {"BM_SchedulerSubmitWait/real_time", "BM_TbbRunWait/real_time"},
        });
}

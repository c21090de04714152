// Thread and the thread utilities on pthreads and Linux system calls.
#include "tolvan/thread/thread.h"

#include "tolvan/common/exception.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/string.h"
#include "tolvan/thread/sync_posix.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <limits.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <xmmintrin.h>

namespace Kalvex {

using namespace Detail::Posix;

namespace {

// What a ThreadHandle points to: the pthread and its kernel id, owned by the Thread object. The new
// thread writes mTid before the started handshake and never touches the record afterwards.
struct ThreadRecord {
    pthread_t mThread;
    pid_t mTid;
};

ThreadRecord* record(ThreadHandle handle) noexcept {
    return static_cast<ThreadRecord*>(handle);
}

void freeRecord(ThreadHandle handle) noexcept {
    tolvanFree(handle);
}

// The start block of the design: lives in startThread's frame until the new thread has begun.
struct StartBlock {
    Mutex mMutex;
    Condition mStarted;
    bool mIsStarted = false;
    std::exception_ptr mError; // what taking the callable over threw, if anything
    Detail::ThreadEntry mEntry = nullptr;
    void* mCallable = nullptr;
    ThreadRecord* mRecord = nullptr;
};

[[noreturn]] void terminateWithMessage(const char* message) noexcept {
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::terminate();
}

} // namespace

// The new thread's view of the start block; after the handshake it no longer points to it.
class Detail::ThreadStart {
public:
    explicit ThreadStart(StartBlock* block) noexcept
        : mBlock(block) {}

    [[nodiscard]] bool isNotified() const noexcept { return mBlock == nullptr; }

    void notify(std::exception_ptr error) noexcept {
        StartBlock* block = std::exchange(mBlock, nullptr);
        pthread_mutex_lock(&block->mMutex.native());
        block->mError = std::move(error);
        block->mIsStarted = true;
        // Signalled under the mutex: the caller may destroy the block as soon as it sees the flag.
        try {
            block->mStarted.signalOne();
        } catch (...) {
        }
        pthread_mutex_unlock(&block->mMutex.native());
    }

private:
    StartBlock* mBlock;
};

void Detail::notifyThreadStarted(ThreadStart& start) noexcept {
    start.notify(nullptr);
}

namespace {

void* threadMain(void* argument) {
    auto* block = static_cast<StartBlock*>(argument);
    block->mRecord->mTid = pid_t(syscall(SYS_gettid));
    const Detail::ThreadEntry entry = block->mEntry;
    void* const callable = block->mCallable;
    Detail::ThreadStart start(block);
    try {
        entry(callable, start);
    } catch (abi::__forced_unwind&) { // pthread_exit or cancellation: let the unwinding go on
        if (!start.isNotified()) {
            start.notify(std::make_exception_ptr(Exception("The thread ended before it started.")));
        }
        throw;
    } catch (...) {
        if (!start.isNotified()) { // taking the callable over failed: hand the exception to the caller
            start.notify(std::current_exception());
            return nullptr;
        }
        const char* what = "an exception not derived from std::exception";
        try {
            throw;
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        std::fprintf(stderr, "Kalvex::Thread: an exception left the thread function: %s\n", what);
        terminateWithMessage("Kalvex::Thread: terminating the process.");
    }
    return nullptr;
}

size_t roundStackSize(size_t bytes) noexcept {
    const long page = sysconf(_SC_PAGESIZE);
    const size_t pageSize = page > 0 ? size_t(page) : 4096;
    bytes = std::max(bytes, size_t(PTHREAD_STACK_MIN));
    return (bytes + pageSize - 1) / pageSize * pageSize;
}

} // namespace

ThreadHandle Detail::startThread(ThreadEntry entry, void* callable, size_t stackSize) {
    auto* newRecord = static_cast<ThreadRecord*>(tolvanMalloc(sizeof(ThreadRecord), alignof(ThreadRecord)));
    int result;
    StartBlock block;
    block.mEntry = entry;
    block.mCallable = callable;
    block.mRecord = newRecord;
    {
        pthread_attr_t attr;
        result = pthread_attr_init(&attr);
        if (result == 0) {
            if (stackSize != 0) result = pthread_attr_setstacksize(&attr, roundStackSize(stackSize));
            if (result == 0) result = pthread_create(&newRecord->mThread, &attr, &threadMain, &block);
            pthread_attr_destroy(&attr);
        }
    }
    if (result != 0) {
        freeRecord(newRecord);
        throw Exception(String::fromUtf8("Creation of Kalvex::Thread failed: ") +
                        String::fromUtf8(std::strerror(result)) + String(u"."));
    }
    {
        MutexGuard guard(block.mMutex);
        while (!block.mIsStarted)
            block.mStarted.wait(block.mMutex.native());
    }
    if (block.mError) {
        pthread_join(newRecord->mThread, nullptr);
        freeRecord(newRecord);
        std::rethrow_exception(block.mError);
    }
    return newRecord;
}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        if (mHandle) {
            terminateWithMessage("Kalvex::Thread: a thread that is still joinable was assigned to; join or "
                                 "detach it first. Terminating the process.");
        }
        mHandle = std::exchange(other.mHandle, nullptr);
    }
    return *this;
}

Thread::~Thread() {
    if (mHandle) {
        terminateWithMessage("Kalvex::Thread: a thread that is still joinable was destroyed; join or detach "
                             "it first. Terminating the process.");
    }
}

bool Thread::join(const Optional<int64>& timeoutMs) {
    if (!mHandle) return false;
    const pthread_t thread = record(mHandle)->mThread;
    constexpr uint32 INFINITE_WAIT = 0xFFFFFFFF;
    const uint32 ms = timeoutMs ? uint32(uint64(*timeoutMs)) : INFINITE_WAIT;
    int result;
    if (ms == INFINITE_WAIT) {
        result = pthread_join(thread, nullptr);
    } else {
        // pthread_timedjoin_np takes a CLOCK_REALTIME deadline: wait in slices of at most 100 ms and
        // keep the real deadline on the monotonic clock, so a clock change cannot stretch the wait.
        const timespec deadline = addMilliseconds(monotonicNow(), ms);
        for (;;) {
            const timespec now = monotonicNow();
            if (!isBefore(now, deadline)) {
                result = pthread_tryjoin_np(thread, nullptr);
                if (result == EBUSY) return false;
                break;
            }
            const int64 leftNs =
                int64(deadline.tv_sec - now.tv_sec) * 1000000000 + (deadline.tv_nsec - now.tv_nsec);
            const int64 sliceNs = std::min<int64>(leftNs, 100000000);
            timespec until{};
            clock_gettime(CLOCK_REALTIME, &until);
            until.tv_sec += time_t(sliceNs / 1000000000);
            until.tv_nsec += long(sliceNs % 1000000000);
            if (until.tv_nsec >= 1000000000L) {
                until.tv_nsec -= 1000000000L;
                ++until.tv_sec;
            }
            result = pthread_timedjoin_np(thread, nullptr, &until);
            if (result != ETIMEDOUT) break;
        }
    }
    // A failed wait (a thread joining itself) still releases the handle, as closing it would.
    if (result != 0) pthread_detach(thread);
    freeRecord(std::exchange(mHandle, nullptr));
    return result == 0;
}

void Thread::detach() noexcept {
    if (!mHandle) return;
    pthread_detach(record(mHandle)->mThread);
    freeRecord(std::exchange(mHandle, nullptr));
}

// Utils ---------------------------------------------------------------------------------------------

void Utils::sleep(int64 ms) {
    if (ms <= 0) return;
    const timespec deadline = addMilliseconds(monotonicNow(), uint64(ms));
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void Utils::yield() noexcept {
    sched_yield();
}

namespace {

// getThreadId caches the id per thread; a forked child's thread has a new id, so fork starts a new
// generation of the cache.
std::atomic<unsigned> gForkGeneration{0};
[[maybe_unused]] const bool gForkHandlerRegistered =
    pthread_atfork(nullptr, nullptr, [] { gForkGeneration.fetch_add(1, std::memory_order_relaxed); }) == 0;

struct CachedThreadId {
    unsigned mGeneration = ~0u;
    unsigned mId = 0;
};
thread_local CachedThreadId tThreadId;

} // namespace

unsigned int Utils::getThreadId() noexcept {
    const unsigned generation = gForkGeneration.load(std::memory_order_relaxed);
    if (tThreadId.mGeneration != generation) {
        tThreadId.mId = unsigned(syscall(SYS_gettid));
        tThreadId.mGeneration = generation;
    }
    return tThreadId.mId;
}

void Utils::setThreadName(const String& name) noexcept {
    try {
        const String::CharBuffer<char> ascii = name.toAscii('_');
        char shortName[16] = {};
        std::strncpy(shortName, ascii.cStr(), 15);
        pthread_setname_np(pthread_self(), shortName);
    } catch (...) { // out of memory: the name is only for debuggers
    }
}

void Utils::threadSetupFloats() noexcept {
    unsigned int csr = _mm_getcsr();
    csr |= 1u << 15; // flush-to-zero
    _mm_setcsr(csr);
    csr = _mm_getcsr();
    csr |= 1u << 6; // denormals-are-zero
    _mm_setcsr(csr);
}

namespace {

constexpr uint32 NOT_COMPUTED = 0xFFFFFFFF;
std::atomic<uint32> gLogicalProcessorCount{NOT_COMPUTED};

// The processors thread `tid` may run on, in increasing order (the online ones when the affinity mask
// cannot be read).
Stack<int> readAllowedProcessors(pid_t tid) {
    Stack<int> cpus;
    for (int size = 1024; size <= 1 << 20; size *= 2) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (!set) break;
        const size_t bytes = CPU_ALLOC_SIZE(size);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(tid, bytes, set) == 0) {
            for (int cpu = 0; cpu < size; ++cpu) {
                if (CPU_ISSET_S(cpu, bytes, set)) cpus.push(cpu);
            }
            CPU_FREE(set);
            return cpus;
        }
        CPU_FREE(set);
        if (errno != EINVAL) break; // EINVAL: the mask is larger than `size` processors
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    for (int cpu = 0; cpu < std::max(online, 1L); ++cpu)
        cpus.push(cpu);
    return cpus;
}

// The processors of the process: the main thread's affinity mask (the thread whose id is the process
// id), read once when the library is loaded. Linux keeps a mask per thread, so a thread that pins
// itself, or asks first, must not decide for the whole process. Never destroyed: workers may still
// ask while the process exits.
const Stack<int>& getProcessProcessors() {
    static const Stack<int>* const cpus = tolvanNew<Stack<int>>(readAllowedProcessors(getpid()));
    return *cpus;
}

} // namespace

int Utils::getLogicalProcessorCount() noexcept {
    uint32 count = gLogicalProcessorCount.load(std::memory_order_relaxed);
    if (count != NOT_COMPUTED) return int(count);
    try {
        count = uint32(std::max(getProcessProcessors().size(), 1));
    } catch (...) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        count = uint32(std::max(online, 1L));
    }
    gLogicalProcessorCount.store(count, std::memory_order_relaxed); // concurrent first calls agree
    return int(count);
}

namespace {
// Static initialisation runs on the thread that loads the library, before any caller can pin a thread.
[[maybe_unused]] const bool PROCESS_PROCESSORS_READ = ((void)Utils::getLogicalProcessorCount(), true);
} // namespace

void Utils::assignThreadsToProcessors(const Stack<ThreadHandle>& threads) {
    const int groups[] = {getLogicalProcessorCount()}; // Linux has one processor group
    const Stack<Detail::ProcessorAssignment> plan = Detail::planThreadAssignment(threads.size(), groups);
    if (!Detail::isThreadPinningEnabled()) return; // the plan is only a hint, and Linux takes no hints
    const Stack<int>& cpus = getProcessProcessors();
    for (int i = 0; i < plan.size(); ++i) {
        if (!threads[i] || plan[i].mProcessor >= cpus.size()) continue;
        cpu_set_t set;
        CPU_ZERO(&set);
        if (cpus[plan[i].mProcessor] >= CPU_SETSIZE) continue;
        CPU_SET(cpus[plan[i].mProcessor], &set);
        pthread_setaffinity_np(record(threads[i])->mThread, sizeof set, &set);
    }
}

// Priorities -----------------------------------------------------------------------------------------

namespace {

constexpr int IOPRIO_WHO_PROCESS = 1;
constexpr int IOPRIO_CLASS_SHIFT = 13;
constexpr int IOPRIO_CLASS_IDLE = 3;

// The process's nice value when priorities were first used: Win32 priorities are relative to the
// process's priority class, nice values here to this base.
int baseNice() noexcept {
    static const int base = [] {
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, id_t(getpid()));
        return errno != 0 ? 0 : nice;
    }();
    return base;
}

Optional<int> niceFor(int priority) noexcept {
    int offset;
    switch (priority) {
    case Detail::PRIORITY_IDLE:
        return 19;
    case Detail::PRIORITY_TIME_CRITICAL:
        return -20;
    case Detail::PRIORITY_LOWEST:
        offset = 10;
        break;
    case Detail::PRIORITY_BELOW_NORMAL:
        offset = 5;
        break;
    case Detail::PRIORITY_NORMAL:
        offset = 0;
        break;
    case Detail::PRIORITY_ABOVE_NORMAL:
        offset = -5;
        break;
    case Detail::PRIORITY_HIGHEST:
        offset = -10;
        break;
    default:
        return NONE;
    }
    return std::clamp(baseNice() + offset, -20, 19);
}

bool setNice(pid_t tid, int priority) noexcept {
    const Optional<int> nice = niceFor(priority);
    return nice && setpriority(PRIO_PROCESS, id_t(tid), *nice) == 0;
}

// Whether the calling thread may lower its nice value to `nice` again once it has raised it: with
// CAP_SYS_NICE, or when RLIMIT_NICE allows that value (the limit is 20 - nice).
bool canLowerNiceTo(int nice) noexcept {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) == 0 &&
        (data[CAP_SYS_NICE / 32].effective >> (CAP_SYS_NICE % 32)) & 1) {
        return true;
    }
    rlimit limit{};
    return getrlimit(RLIMIT_NICE, &limit) == 0 &&
           (limit.rlim_cur == RLIM_INFINITY || rlim_t(20 - nice) <= limit.rlim_cur);
}

struct BackgroundMode {
    bool mActive = false;
    int mSavedNice = 0;
    long mSavedIoPriority = 0;
};
thread_local BackgroundMode tBackground;

} // namespace

bool Detail::setThreadPriority(ThreadHandle thread, int priority) noexcept {
    return thread && setNice(record(thread)->mTid, priority);
}

bool Detail::setCurrentThreadPriority(int priority) noexcept {
    const pid_t tid = pid_t(Utils::getThreadId());
    if (priority == MODE_BACKGROUND_BEGIN) {
        if (tBackground.mActive) return false;
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, id_t(tid));
        tBackground.mSavedNice = errno != 0 ? baseNice() : nice;
        tBackground.mSavedIoPriority = syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, tid);
        tBackground.mActive = true;
        syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, tid, IOPRIO_CLASS_IDLE << IOPRIO_CLASS_SHIFT);
        // An unprivileged thread could never come back from nice 19, so the CPU part of background
        // mode is only applied when it can be undone; the I/O part always is.
        if (!canLowerNiceTo(tBackground.mSavedNice)) return true;
        return setpriority(PRIO_PROCESS, id_t(tid), 19) == 0;
    }
    if (priority == MODE_BACKGROUND_END) {
        if (!tBackground.mActive) return false;
        tBackground.mActive = false;
        if (tBackground.mSavedIoPriority >= 0) {
            syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, tid, int(tBackground.mSavedIoPriority));
        }
        return setpriority(PRIO_PROCESS, id_t(tid), tBackground.mSavedNice) == 0;
    }
    return setNice(tid, priority);
}

unsigned int Detail::getThreadId(ThreadHandle thread) noexcept {
    return thread ? unsigned(record(thread)->mTid) : 0;
}

} // namespace Kalvex

// Thread: the move-only owner of a running thread; Utils: sleeping, yielding, thread ids and names,
// floating-point set-up, the processor count and spreading threads over processors.
//
//   Thread worker([&] { work(); }, 8 * 1024 * 1024);   // returns once the thread has begun
//   ...
//   worker.join();                                     // or worker.detach()
//
// A joinable Thread must be joined or detached before it is destroyed or assigned to: otherwise
// the process ends with a message on standard error (as std::thread does, with a clearer text).
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

namespace Kalvex {

class String;

/// Opaque native handle of a joinable thread (null when there is none). Valid from the Thread's
/// construction until it is joined or detached, like a Win32 thread handle.
using ThreadHandle = void*;

namespace Detail {

class ThreadStart;
/// Runs in the new thread: takes the callable over from the caller's frame, calls
/// notifyThreadStarted(start), then runs it.
using ThreadEntry = void (*)(void* callable, ThreadStart& start);
/// Creates the thread and waits until it has begun; throws Exception when it cannot be created (or
/// rethrows what taking over the callable threw). stackSize 0 = the platform's default.
[[nodiscard]] ThreadHandle startThread(ThreadEntry entry, void* callable, size_t stackSize);
/// The started handshake: after this the caller's frame (and the callable in it) may go away.
void notifyThreadStarted(ThreadStart& start) noexcept;

template <typename F>
void runThread(void* callable, ThreadStart& start) {
    using Callable = std::decay_t<F>;
    Callable local(std::forward<F>(*static_cast<std::remove_reference_t<F>*>(callable)));
    notifyThreadStarted(start);
    local();
}

} // namespace Detail

/// A running thread and the sole owner of its handle. Movable, not copyable; a moved-from or
/// default-constructed Thread is not joinable.
class Thread : public Noncopyable {
public:
    /// Not joinable; assign a started Thread to it.
    Thread() noexcept = default;
    /// Starts a thread that runs a copy (or the moved value) of `callable` with a stack of `stackSize`
    /// bytes (0 = the platform's default, at least the platform minimum otherwise), and returns once the
    /// thread has begun. Throws Exception when the thread cannot be created; never waits for a thread
    /// that did not start. An exception leaving the callable ends the process (as in std::thread).
    template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, Thread> &&
             std::is_invocable_v<std::decay_t<F>&>) explicit Thread(F&& callable, size_t stackSize = 0)
        : mHandle(start(std::forward<F>(callable), stackSize)) {}
    /// Takes over the content of `other`.
    Thread(Thread&& other) noexcept
        : mHandle(std::exchange(other.mHandle, nullptr)) {}
    /// Terminates the process when this thread is still joinable; else takes the other's handle.
    Thread& operator=(Thread&& other) noexcept;
    /// Terminates the process when still joinable.
    ~Thread();

    /// Waits for the thread to end: without limit when `timeoutMs` is empty, else at most that many
    /// milliseconds (used as an unsigned 32-bit count, as the Win32 wait does: 0 only polls and
    /// 0xFFFFFFFF waits without limit). On time-out returns false and the thread stays joinable.
    /// Otherwise the handle is released, the Thread is no longer joinable and the result tells whether
    /// the wait succeeded (false when it was not joinable, or when a thread joins itself).
    bool join(const Optional<int64>& timeoutMs = NONE);
    /// Releases the handle; the thread runs on by itself. Nothing when not joinable.
    void detach() noexcept;

    /// The native handle; null when not joinable.
    [[nodiscard]] ThreadHandle handle() const noexcept { return mHandle; }
    /// True while a handle is held: started, neither joined nor detached.
    [[nodiscard]] bool isJoinable() const noexcept { return mHandle != nullptr; }

private:
    // The callable stays in the caller's frame until the new thread has taken it over.
    template <typename F>
    static ThreadHandle start(F&& callable, size_t stackSize) {
        if constexpr (std::is_function_v<std::remove_reference_t<F>>) {
            auto* function = &callable;
            return start(function, stackSize);
        } else {
            return Detail::startThread(&Detail::runThread<F&&>,
                                       const_cast<void*>(static_cast<const void*>(std::addressof(callable))),
                                       stackSize);
        }
    }

    ThreadHandle mHandle = nullptr;
};

namespace Utils {

/// Sleeps at least `ms` milliseconds (to a deadline on the monotonic clock); `ms` <= 0 returns at once.
void sleep(int64 ms);
/// Gives up the rest of the calling thread's time slice.
void yield() noexcept;
/// The calling thread's kernel thread id (gettid), as debuggers and /proc show it.
[[nodiscard]] unsigned int getThreadId() noexcept;
/// Names the calling thread for debuggers and tools (ps, top, gdb): the name in ASCII, every other
/// character replaced by '_', cut to the 15 characters Linux keeps. Never fails visibly.
void setThreadName(const String& name) noexcept;
/// Sets flush-to-zero (MXCSR bit 15) and denormals-are-zero (bit 6) for the calling thread; the
/// rounding mode and the exception masks stay as they are.
void threadSetupFloats() noexcept;
/// Logical processors this process may run on: the main thread's CPU affinity mask as the library
/// was loaded (the online processors when it cannot be read), whichever thread asks and however it
/// is pinned. Computed once per process, at least 1.
[[nodiscard]] int getLogicalProcessorCount() noexcept;
/// Spreads the threads over the process's logical processors (the set counted above) round-robin
/// (thread i to processor i mod n). The plan is only applied as hard CPU affinity when the environment
/// variable KALVEX_PIN_THREADS is set to something other than "" or "0"; otherwise (the default) the
/// threads stay where the kernel puts them. A null handle keeps its place in the plan but nothing is applied
/// to it; failures are ignored.
void assignThreadsToProcessors(const Stack<ThreadHandle>& threads);

} // namespace Utils

namespace Detail {

/// One step of the round-robin plan of assignThreadsToProcessors.
struct ProcessorAssignment {
    int mGroup;
    int mProcessor;
    friend bool operator==(const ProcessorAssignment&, const ProcessorAssignment&) = default;
};
/// The plan for `threadCount` threads over processor groups with the given active processor counts:
/// passes over groups 0, 1, ... and within group g over processors 0 .. min(count of g, threads left)
/// - 1, starting again at group 0 while threads are left. Empty when there are no processors.
[[nodiscard]] Stack<ProcessorAssignment> planThreadAssignment(int threadCount,
                                                              ArrayView<const int> processorsPerGroup);
/// True when KALVEX_PIN_THREADS asks for hard affinity (set, and neither "" nor "0").
[[nodiscard]] bool isThreadPinningEnabled() noexcept;

/// The Win32 thread priority values (THREAD_PRIORITY_..., THREAD_MODE_BACKGROUND_...), for the
/// scheduler and the standby thread; named without the THREAD_ prefix so windows.h macros cannot clash.
enum Win32ThreadPriority : int {
    PRIORITY_IDLE = -15,
    PRIORITY_LOWEST = -2,
    PRIORITY_BELOW_NORMAL = -1,
    PRIORITY_NORMAL = 0,
    PRIORITY_ABOVE_NORMAL = 1,
    PRIORITY_HIGHEST = 2,
    PRIORITY_TIME_CRITICAL = 15,
    /// Calling thread only: idle I/O priority and lowest CPU priority (nice 19) until
    /// MODE_BACKGROUND_END. The nice value is only raised when the thread may lower it again
    /// (CAP_SYS_NICE or RLIMIT_NICE); otherwise background mode changes the I/O priority alone.
    MODE_BACKGROUND_BEGIN = 0x10000,
    /// Calling thread only: restores the nice value and I/O priority saved by MODE_BACKGROUND_BEGIN.
    MODE_BACKGROUND_END = 0x20000,
};
/// The Linux stand-in of Win32 SetThreadPriority for a joinable Thread's handle: the priority becomes
/// the thread's nice value, relative to the process's nice value at first use (LOWEST +10, BELOW_NORMAL
/// +5, NORMAL 0, ABOVE_NORMAL -5, HIGHEST -10, IDLE 19, TIME_CRITICAL -20, clamped to -20..19).
/// Raising a priority above the process's needs CAP_SYS_NICE or RLIMIT_NICE; false when refused,
/// for an unknown value, or for the background modes (which apply to the calling thread only).
bool setThreadPriority(ThreadHandle thread, int priority) noexcept;
/// The same for the calling thread, background modes included: false when BEGIN finds the thread
/// already in background mode or END finds it not in it.
bool setCurrentThreadPriority(int priority) noexcept;
/// The kernel thread id of a joinable Thread's handle (0 for null).
[[nodiscard]] unsigned int getThreadId(ThreadHandle thread) noexcept;

} // namespace Detail

} // namespace Kalvex

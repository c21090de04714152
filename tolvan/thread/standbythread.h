// StandbyThread: one long-lived worker thread, created on first use, that runs one job at a time and
// waits idle in between. invoke() returns as soon as the thread has taken the job; waitForThis()
// waits until it is done. A job can ask to run in background mode (low I/O and CPU priority).
//
//   StandbyThread saver;
//   saver.invoke([&] { writeBackup(); }, true);   // background job
//   ...
//   saver.waitForThis();
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/sharedptr.h"
#include "tolvan/containers/string.h"

namespace Kalvex {

namespace Detail {
struct StandbyThreadState;
}

/// Owner of one standby thread. Jobs never overlap. An exception escaping a job is shown with
/// showCriticalErrorMessage("Error", its text) and reported as a failed assertion; the thread goes on.
class StandbyThread : private Noncopyable {
public:
    /// No thread yet; stack 5 MiB, name "___KALVEX_standbyThread", no join time-out.
    StandbyThread();
    /// Waits for a running job, then ends the thread (joined with the configured time-out; a thread
    /// still running after it is detached, never terminated). Creates nothing when no job ever ran.
    ~StandbyThread();

    /// Stack size in bytes (0 = the platform's default) and name for the thread created by the first
    /// invoke, and the join time-out in milliseconds used at destruction (empty = no limit). Callable
    /// from any thread, the running job included; never waits for a job or for invoke.
    void configure(int stackSize, const String& threadName, const Optional<int64>& joinTimeoutMs);
    /// Hands `job` to the thread, first waiting for the previous job to finish; returns once the thread
    /// has taken it. `background` runs it in background mode. Callable from any thread but the standby
    /// thread itself (that would wait for its own job). Throws Exception for an empty job or such a call.
    void invoke(const Function<void()>& job, bool background = false);
    /// Returns when no job is running.
    void waitForThis();
    /// Whether a job has been handed over and has not yet finished.
    [[nodiscard]] bool isRunning() const;

private:
    SharedPtr<Detail::StandbyThreadState> mState;
};

} // namespace Kalvex

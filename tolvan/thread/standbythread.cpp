#include "tolvan/thread/standbythread.h"

#include "tolvan/common/exception.h"
#include "tolvan/platform/debug.h"
#include "tolvan/platform/dialog.h"
#include "tolvan/thread/lock.h"
#include "tolvan/thread/thread.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <xmmintrin.h>

namespace Kalvex {

namespace {

// The line an exception escaping a job is reported at. Fixed rather than __LINE__: assertion sites are known
// by file and line, and this one keeps its line across edits of the file.
constexpr int JOB_EXCEPTION_ASSERT_LINE = 93;

} // namespace

namespace Detail {

// Shared by the StandbyThread and its thread, so that a thread detached after a join time-out never
// outlives what it uses.
struct StandbyThreadState {
    bool mStarted = false;
    std::condition_variable mWake;
    // Held by the thread except while it waits for a job, so for the whole run of a job.
    std::mutex mJobMutex;
    // Serialises invoke() and destruction.
    SimpleLock mCallerLock;
    // Guards the settings below (name, stack size, join time-out). Not the caller lock: a job may call
    // configure while another thread holds that lock in invoke, waiting for the job to end.
    std::mutex mSettingsMutex;
    // Set by the thread whenever it starts waiting or wakes up; cleared by invoke() before the wake-up.
    std::atomic<bool> mPickedUp{false};
    String mName = u"___KALVEX_standbyThread";
    Thread mThread;
    Function<void()> mJob;
    bool mBackground = false;
    int32 mStackSize = 0x500000;
    Optional<int64> mJoinTimeoutMs;
    // Guarded by the job mutex: a wake-up is meant for the thread (spurious wake-ups are not).
    bool mWakePending = false;
    std::atomic<bool> mHasJob{false};
    std::atomic<unsigned> mThreadId{0};

    void threadMain(const String& name);
    void startThread(const SharedPtr<StandbyThreadState>& self);
    [[nodiscard]] Optional<int64> joinTimeout();
    void runJob() noexcept;
    void waitUntilPickedUp() const;
    [[nodiscard]] bool isOwnThread() const { return mThreadId.load() == Utils::getThreadId(); }
};

void StandbyThreadState::waitUntilPickedUp() const {
    for (int spins = 0; !mPickedUp.load(); ++spins) {
        if (spins < 100) {
            _mm_pause();
        } else {
            Utils::yield();
        }
    }
}

// Starts the thread with the configured name and stack size. Needs the caller lock.
void StandbyThreadState::startThread(const SharedPtr<StandbyThreadState>& self) {
    String name;
    int32 stackSize;
    {
        std::lock_guard settings(mSettingsMutex);
        name = mName;
        stackSize = mStackSize;
    }
    mThread = Thread([self, name] { self->threadMain(name); }, size_t(stackSize));
}

Optional<int64> StandbyThreadState::joinTimeout() {
    std::lock_guard settings(mSettingsMutex);
    return mJoinTimeoutMs;
}

void StandbyThreadState::runJob() noexcept {
    const char* failure = nullptr;
    String message;
    try {
        mJob();
        return;
    } catch (const std::exception& e) {
        message = String::fromUtf8(e.what());
        failure = "!\"an exception escaped a standby thread job\"";
    } catch (...) {
        message = u"Unknown exception";
        failure = "!\"an unknown exception escaped a standby thread job\"";
    }
    try {
        showCriticalErrorMessage(u"Error", message);
    } catch (...) {
        // The report below still tells what happened.
    }
    Detail::reportFailedAssertion(__FILE__, JOB_EXCEPTION_ASSERT_LINE, failure);
}

void StandbyThreadState::threadMain(const String& name) {
    Utils::setThreadName(name);
    Utils::threadSetupFloats();
    mThreadId.store(Utils::getThreadId());
    std::unique_lock lock(mJobMutex);
    mPickedUp.store(true);
    bool inBackground = false;
    for (;;) {
        mWake.wait(lock, [this] { return mWakePending; });
        mWakePending = false;
        mPickedUp.store(true);
        if (!mJob) break;
        if (mBackground != inBackground) {
            (void)Detail::setCurrentThreadPriority(mBackground ? Detail::MODE_BACKGROUND_BEGIN
                                                               : Detail::MODE_BACKGROUND_END);
            inBackground = mBackground;
        }
        runJob();
        mJob.reset();
        mHasJob.store(false);
    }
}

} // namespace Detail

StandbyThread::StandbyThread()
    : mState(makeShared<Detail::StandbyThreadState>()) {}

StandbyThread::~StandbyThread() {
    Detail::StandbyThreadState& s = *mState;
    if (s.isOwnThread()) {
        // Destroyed by its own job, which holds the job mutex: the thread ends once the job returns.
        s.mWakePending = true;
        s.mThread.detach();
        return;
    }
    { std::lock_guard waitForJob(s.mJobMutex); }
    ScopedLock caller(s.mCallerLock);
    if (!s.mStarted) return;
    {
        std::lock_guard job(s.mJobMutex);
        s.mJob.reset();
        s.mWakePending = true;
    }
    s.mWake.notify_all();
    if (!s.mThread.join(s.joinTimeout())) s.mThread.detach();
}

void StandbyThread::configure(int stackSize, const String& threadName, const Optional<int64>& joinTimeoutMs) {
    Detail::StandbyThreadState& s = *mState;
    std::lock_guard settings(s.mSettingsMutex);
    s.mStackSize = stackSize < 0 ? 0 : stackSize;
    s.mName = threadName;
    s.mJoinTimeoutMs = joinTimeoutMs;
}

void StandbyThread::invoke(const Function<void()>& job, bool background) {
    // The job may destroy this object before invoke returns: keep the state alive until then.
    const SharedPtr<Detail::StandbyThreadState> state = mState;
    Detail::StandbyThreadState& s = *state;
    if (s.isOwnThread()) {
        throw Exception("StandbyThread::invoke was called from a job of the same standby thread, which "
                        "would wait for itself");
    }
    if (!job) throw Exception("StandbyThread::invoke: the job is empty");
    ScopedLock caller(s.mCallerLock);
    std::unique_lock jobLock(s.mJobMutex, std::defer_lock);
    if (!s.mStarted) {
        s.mBackground = false;
        s.mPickedUp.store(false);
        s.startThread(state);
        s.waitUntilPickedUp();
        jobLock.lock(); // the thread is now inside its wait
        s.mStarted = true;
    } else {
        jobLock.lock(); // waits for the previous job to finish
    }
    s.mBackground = background;
    s.mJob = job;
    s.mHasJob.store(true);
    s.mPickedUp.store(false);
    s.mWakePending = true;
    jobLock.unlock();
    s.mWake.notify_all();
    s.waitUntilPickedUp();
}

void StandbyThread::waitForThis() {
    Detail::StandbyThreadState& s = *mState;
    if (s.isOwnThread()) return; // called from the running job: waiting would never end
    std::lock_guard job(s.mJobMutex);
}

bool StandbyThread::isRunning() const {
    return mState->mHasJob.load();
}

} // namespace Kalvex

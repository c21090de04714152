#include "tolvan/platform/dialog.h"
#include "tolvan/thread/standbythread.h"
#include "tolvan/thread/thread.h"

#include "support/blocking.h"
#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>
#include <fstream>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

using namespace Kalvex;
using TolvanTest::Gate;
using TolvanTest::waitUntil;

namespace {

std::string currentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

size_t currentStackSize() {
    pthread_attr_t attributes;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
    }
    return size;
}

int ioPriorityClass() {
    return int(syscall(SYS_ioprio_get, 1, int(Utils::getThreadId())) >> 13);
}

int threadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// Records what the critical-error dialog was asked to show.
class CapturedDialogs {
public:
    CapturedDialogs()
        : mPrevious(Utils::setDialogPresenter([this](const Utils::DialogRequest& request) {
            // The failed job's error comes first; the assert report follows it.
            if (mShown++ == 0) {
                mCaption = std::string(request.caption.toUtf8().cStr());
                mMessage = std::string(request.message.toUtf8().cStr());
            }
            return request.dismissChoice;
        })) {}
    ~CapturedDialogs() { Utils::setDialogPresenter(mPrevious); }

    std::atomic<int> mShown{0};
    std::string mCaption;
    std::string mMessage;

private:
    Utils::DialogPresenter mPrevious;
};

} // namespace

TEST(StandbyThread, NeverUsedCreatesNoThread) {
    const int before = threadCount();
    {
        StandbyThread unused;
        unused.configure(1 << 20, u"unused", 10);
        EXPECT_FALSE(unused.isRunning());
        unused.waitForThis(); // no job: returns at once
        EXPECT_EQ(threadCount(), before);
    }
    EXPECT_EQ(threadCount(), before);
}

TEST(StandbyThread, FirstInvokeCreatesTheConfiguredThreadOnce) {
    StandbyThread standby;
    standby.configure(8 << 20, u"standby-test", NONE);
    std::string name;
    size_t stack = 0;
    unsigned tid = 0;
    standby.invoke([&] {
        name = currentThreadName();
        stack = currentStackSize();
        tid = Utils::getThreadId();
    });
    standby.waitForThis();
    EXPECT_EQ(name, "standby-test");
    EXPECT_GE(stack, size_t(8 << 20));
    EXPECT_NE(tid, Utils::getThreadId());

    standby.configure(1 << 20, u"renamed", 5000); // only the join time-out applies now
    unsigned secondTid = 0;
    standby.invoke([&] {
        name = currentThreadName();
        secondTid = Utils::getThreadId();
    });
    standby.waitForThis();
    EXPECT_EQ(name, "standby-test");
    EXPECT_EQ(secondTid, tid);
}

TEST(StandbyThread, JobsRunOneAfterAnother) {
    StandbyThread standby;
    Gate gate;
    std::atomic<bool> firstDone{false};
    std::atomic<bool> secondStarted{false};
    standby.invoke([&] {
        EXPECT_TRUE(gate.waitOpen());
        firstDone = true;
    });
    EXPECT_TRUE(standby.isRunning());
    std::atomic<bool> secondInvoked{false};
    bool orderSeen = false;
    Thread second([&] {
        standby.invoke([&] { secondStarted = true; });
        // invoke returns only once the first job is done and the second has been taken.
        orderSeen = firstDone.load();
        secondInvoked = true;
    });
    ASSERT_TRUE(TolvanTest::waitUntilBlocked(Detail::getThreadId(second.handle())));
    EXPECT_FALSE(secondInvoked.load());
    gate.open();
    EXPECT_TRUE(second.join());
    EXPECT_TRUE(orderSeen);
    standby.waitForThis();
    EXPECT_TRUE(secondStarted.load());
    EXPECT_FALSE(standby.isRunning());
}

TEST(StandbyThread, WaitForThisReturnsWhenTheJobEnds) {
    StandbyThread standby;
    Gate gate;
    std::atomic<bool> done{false};
    standby.invoke([&] {
        EXPECT_TRUE(gate.waitOpen());
        done = true;
    });
    Thread opener([&] { gate.open(); });
    standby.waitForThis();
    EXPECT_TRUE(done.load());
    EXPECT_FALSE(standby.isRunning());
    EXPECT_TRUE(opener.join());
}

TEST(StandbyThread, BackgroundJobsSwitchTheModeAndNormalJobsSwitchBack) {
    StandbyThread standby;
    int normalClass = -1;
    int backgroundClass = -1;
    int afterClass = -1;
    standby.invoke([&] { normalClass = ioPriorityClass(); }, false);
    standby.invoke([&] { backgroundClass = ioPriorityClass(); }, true);
    standby.invoke([&] { afterClass = ioPriorityClass(); }, false);
    standby.waitForThis();
    EXPECT_NE(normalClass, 3);
    EXPECT_EQ(backgroundClass, 3); // IOPRIO_CLASS_IDLE
    EXPECT_EQ(afterClass, normalClass);
}

TEST(StandbyThread, EscapingExceptionIsShownReportedAndSurvived) {
    const CapturedDialogs dialogs;
    const TolvanTest::CapturedDebugOutput output;
    StandbyThread standby;
    standby.invoke([] { throw std::runtime_error("disk full"); });
    standby.waitForThis();
    EXPECT_EQ(dialogs.mShown.load(), 2);
    EXPECT_EQ(dialogs.mCaption, "Error");
    EXPECT_EQ(dialogs.mMessage, "disk full");
    bool reported = false;
    for (const std::string& text : output.texts()) {
        reported |= text.starts_with("!!! CASSERT fired:\n File: thread/standbythread") &&
                    text.find("\nLine: 93\n") != std::string::npos;
    }
    EXPECT_TRUE(reported);
    std::atomic<bool> nextRan{false};
    standby.invoke([&] { nextRan = true; });
    standby.waitForThis();
    EXPECT_TRUE(nextRan.load());
}

TEST(StandbyThread, RejectsEmptyJobsAndInvokeFromItsOwnJob) {
    StandbyThread standby;
    EXPECT_THROW(standby.invoke(Function<void()>()), Exception);
    std::atomic<bool> threw{false};
    standby.invoke([&] {
        try {
            standby.invoke([] {});
        } catch (const Exception&) {
            threw = true;
        }
        standby.waitForThis(); // from the job itself: returns instead of waiting for itself
    });
    standby.waitForThis();
    EXPECT_TRUE(threw.load());
}

TEST(StandbyThread, CanBeDestroyedByItsOwnJob) {
    auto* standby = new StandbyThread();
    std::atomic<bool> finished{false};
    standby->invoke([&] {
        delete standby;
        finished = true;
    });
    EXPECT_TRUE(waitUntil([&] { return finished.load(); }));
}

TEST(StandbyThread, JoinTimeOutAtDestructionDetachesInsteadOfTerminating) {
    std::atomic<int> runs{0};
    for (int i = 0; i < 20; ++i) {
        StandbyThread standby;
        standby.configure(0, u"detached", 0); // polls once: the thread has rarely ended by then
        standby.invoke([&] { ++runs; });
    }
    EXPECT_EQ(runs.load(), 20);
}

TEST(StandbyThread, JobMayConfigureItsThreadWhileAnotherThreadWaitsInInvoke) {
    // Heap-allocated so that a deadlock fails the test instead of hanging it in the destructor.
    auto* standby = new StandbyThread();
    Gate secondWaiting;
    std::atomic<unsigned> secondTid{0};
    std::atomic<bool> configured{false};
    std::atomic<bool> secondRan{false};
    standby->invoke([&] {
        EXPECT_TRUE(secondWaiting.waitOpen());
        // The second caller holds the caller lock while it waits for this job to end.
        EXPECT_TRUE(TolvanTest::waitUntilBlocked(secondTid.load()));
        standby->configure(1 << 20, u"reconfigured", 5000);
        configured = true;
    });
    Thread second([&] {
        secondTid = Utils::getThreadId();
        secondWaiting.open();
        standby->invoke([&] { secondRan = true; });
    });
    const bool finished = waitUntil([&] { return configured.load(); });
    EXPECT_TRUE(finished) << "configure from the running job waited for the caller lock";
    if (!finished) {
        second.detach(); // deadlocked: leave both threads behind rather than hang
        return;
    }
    EXPECT_TRUE(second.join());
    standby->waitForThis();
    EXPECT_TRUE(secondRan.load());
    delete standby;
}

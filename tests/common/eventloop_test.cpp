#include "tolvan/common/eventloop.h"
#include "tolvan/common/lib.h"
#include "tolvan/containers/autoptr.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

using namespace Kalvex;
using Detail::TimerMode;

namespace {

struct Received {
    uint32 number;
    uint64 wParam;
    int64 lParam;
    bool operator==(const Received&) const = default;
};

class Recorder final : public Detail::MessageTarget {
public:
    std::vector<Received> received;

protected:
    int64 handleMessageImpl(uint32 number, uint64 wParam, int64 lParam) override {
        received.push_back({number, wParam, lParam});
        return 0;
    }
};

constexpr int64 ONE_HOUR_MS = 3600 * 1000;

// Waits for the next message (a timer's due time at the latest) and dispatches it.
void waitAndDispatch() {
    ASSERT_TRUE(Detail::waitForMessage(-1));
    ASSERT_TRUE(Lib::runSingleEventLoopIteration());
}

} // namespace

TEST(EventLoop, PostedMessagesArriveInOrderWithTheirParameters) {
    Recorder a;
    Recorder b;
    EXPECT_TRUE(a.post(1, 10, -1));
    EXPECT_TRUE(b.post(2, 20, -2));
    EXPECT_TRUE(a.post(3, ~uint64(0), INT64_MIN));
    EXPECT_EQ(Detail::getPendingMessageCount(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(Lib::runSingleEventLoopIteration());
    EXPECT_FALSE(Lib::runSingleEventLoopIteration());
    EXPECT_EQ(a.received, (std::vector<Received>{{1, 10, -1}, {3, ~uint64(0), INT64_MIN}}));
    EXPECT_EQ(b.received, (std::vector<Received>{{2, 20, -2}}));
}

TEST(EventLoop, DestroyedTargetLosesItsPendingMessagesAndTimers) {
    Recorder kept;
    {
        Recorder gone;
        gone.post(1, 0, 0);
        kept.post(2, 0, 0);
        gone.post(3, 0, 0);
        gone.startTimer(1, 0, TimerMode::CONTINUOUS);
    }
    EXPECT_EQ(Detail::getPendingMessageCount(), 1);
    EXPECT_TRUE(Lib::runSingleEventLoopIteration());
    EXPECT_FALSE(Lib::runSingleEventLoopIteration());
    EXPECT_FALSE(Detail::waitForMessage(0));
    EXPECT_EQ(kept.received, (std::vector<Received>{{2, 0, 0}}));
}

TEST(EventLoop, OneShotTimerFiresOnceWhenDue) {
    Recorder target;
    target.startTimer(7, 1, TimerMode::ONCE);
    waitAndDispatch();
    EXPECT_EQ(target.received, (std::vector<Received>{{Detail::TIMER_MESSAGE, 7, 0}}));
    EXPECT_FALSE(Detail::waitForMessage(0));
    EXPECT_FALSE(target.stopTimer(7)) << "a fired one-shot timer is gone";
}

TEST(EventLoop, ContinuousTimerRepeatsUntilStopped) {
    Recorder target;
    target.startTimer(3, 1, TimerMode::CONTINUOUS);
    for (int i = 0; i < 3; ++i)
        waitAndDispatch();
    EXPECT_EQ(target.received.size(), 3u);
    EXPECT_TRUE(target.stopTimer(3));
    EXPECT_FALSE(target.stopTimer(3));
    EXPECT_FALSE(Detail::waitForMessage(0));
    EXPECT_FALSE(Lib::runSingleEventLoopIteration());
}

TEST(EventLoop, TimersWaitForTheirDueTimeAndRestartReplaces) {
    Recorder target;
    target.startTimer(1, ONE_HOUR_MS, TimerMode::ONCE);
    EXPECT_FALSE(Detail::waitForMessage(0));
    EXPECT_FALSE(Lib::runSingleEventLoopIteration()) << "not due for an hour";

    target.startTimer(1, -5, TimerMode::ONCE); // restart: due at once
    target.startTimer(2, ONE_HOUR_MS, TimerMode::ONCE);
    target.post(99, 0, 0);
    waitAndDispatch();
    waitAndDispatch();
    EXPECT_EQ(target.received, (std::vector<Received>{{99, 0, 0}, {Detail::TIMER_MESSAGE, 1, 0}}))
        << "posted messages come before due timers; the restarted timer fires once";
    EXPECT_FALSE(Lib::runSingleEventLoopIteration());
    EXPECT_TRUE(target.stopTimer(2));
}

TEST(EventLoop, TimersWithHugeIntervalsAreNeverDue) {
    constexpr int64 MAX = std::numeric_limits<int64>::max();
    Recorder target;
    // Above 9223372036854 ms the interval no longer fits the clock's nanoseconds.
    target.startTimer(1, MAX, TimerMode::ONCE);
    target.startTimer(2, MAX / 1'000'000 + 1, TimerMode::CONTINUOUS);
    EXPECT_FALSE(Detail::waitForMessage(0));
    EXPECT_FALSE(Lib::runSingleEventLoopIteration());
    EXPECT_TRUE(target.received.empty());
    EXPECT_FALSE(Detail::waitForMessage(1)) << "a short wait ends at its own deadline";
    EXPECT_TRUE(target.stopTimer(1));
    EXPECT_TRUE(target.stopTimer(2));
}

namespace {
// Counts its messages into a counter that outlives it; message 1 pumps the loop once more, message 2
// hands the target to destroyWhenIdle from inside its own handler.
class SelfDestroying final : public Detail::MessageTarget {
public:
    SelfDestroying(int& handled, bool& destroyed)
        : mHandled(handled)
        , mDestroyed(destroyed) {}
    ~SelfDestroying() override { mDestroyed = true; }

protected:
    int64 handleMessageImpl(uint32 number, uint64, int64) override {
        if (number == 1) {
            EXPECT_TRUE(Lib::runSingleEventLoopIteration());
            EXPECT_FALSE(mDestroyed) << "deleted while an outer dispatch still runs it";
        }
        if (number == 2) MessageTarget::destroyWhenIdle(this);
        ++mHandled; // still alive here
        return 0;
    }

private:
    int& mHandled;
    bool& mDestroyed;
};
} // namespace

TEST(EventLoop, DestroyWhenIdleWaitsForTheDispatchesRunningTheTarget) {
    int handled = 0;
    bool destroyed = false;
    auto* idle = tolvanNew<SelfDestroying>(handled, destroyed);
    idle->post(3, 0, 0);
    idle->startTimer(1, 0, TimerMode::CONTINUOUS);
    Detail::MessageTarget::destroyWhenIdle(idle);
    EXPECT_TRUE(destroyed) << "not dispatching: deleted at once";
    EXPECT_FALSE(Detail::waitForMessage(0)) << "its message and timer are gone";

    destroyed = false;
    auto* busy = tolvanNew<SelfDestroying>(handled, destroyed);
    busy->post(1, 0, 0); // its handler dispatches the next message inside itself
    busy->post(2, 0, 0);
    busy->post(3, 0, 0); // dropped by destroyWhenIdle
    EXPECT_TRUE(Lib::runSingleEventLoopIteration());
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(handled, 2);
    EXPECT_FALSE(Lib::runSingleEventLoopIteration());
    Detail::MessageTarget::destroyWhenIdle(nullptr);
}

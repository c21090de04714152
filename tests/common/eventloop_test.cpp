#include "tolvan/common/eventloop.h"
#include "tolvan/common/lib.h"

#include <gtest/gtest.h>

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

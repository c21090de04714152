#include "tolvan/common/assert.h"

#include "tolvan/common/lib.h"
#include "tolvan/platform/dialog.h"
#include "tolvan/thread/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace Kalvex;

namespace {

std::atomic<int> gHandled{0};
void countingHandler(const AssertParameters&) {
    ++gHandled;
}

} // namespace

TEST(AssertConcurrency, ReportsFromManyThreadsAreShownOneAtATime) {
    (void)Lib::startup();
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> shown{0};
    const Utils::DialogPresenter previous = Utils::setDialogPresenter([&](const Utils::DialogRequest& r) {
        if (++inside > 1) ++overlaps;
        ++shown;
        --inside;
        return r.dismissChoice;
    });
    constexpr int THREADS = 4;
    constexpr int ASSERTS = 25;
    std::vector<Thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < ASSERTS; ++i)
                KALVEX_ASSERT(i < 0, i);
        });
    }
    for (Thread& thread : threads)
        ASSERT_TRUE(thread.join(60000));
    Utils::setDialogPresenter(previous);
    Lib::shutdown();
    EXPECT_EQ(shown.load(), THREADS * ASSERTS);
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(AssertConcurrency, HandlersChangingUnderAReportNeverStrandTheLock) {
    (void)Lib::startup();
    const Utils::DialogPresenter previous =
        Utils::setDialogPresenter([](const Utils::DialogRequest& r) { return r.dismissChoice; });
    std::atomic<bool> done{false};
    // One thread keeps installing and clearing handlers for everybody, while others assert in two steps.
    Thread changer([&] {
        while (!done.load()) {
            (void)setCustomAssertHandler(&countingHandler, AssertHandlerScope::GLOBAL);
            (void)setCustomAssertHandler(nullptr, AssertHandlerScope::GLOBAL);
        }
    });
    std::vector<Thread> asserters;
    for (int t = 0; t < 3; ++t) {
        asserters.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                if (i % 7 == t) (void)setCustomAssertHandler(&countingHandler, AssertHandlerScope::THREAD);
                KALVEX_ASSERT(i < 0);
                (void)Detail::assertImpl(AssertParameters{false, "two/steps.cpp", t, "false", "", nullptr});
            }
        });
    }
    for (Thread& thread : asserters)
        ASSERT_TRUE(thread.join(60000));
    done = true;
    ASSERT_TRUE(changer.join(60000));
    // The lock is free: a report from here goes through.
    (void)setCustomAssertHandler(nullptr, AssertHandlerScope::GLOBAL);
    Thread last([] { KALVEX_ASSERT(false); });
    EXPECT_TRUE(last.join(60000));
    Utils::setDialogPresenter(previous);
    Lib::shutdown();
}

#include "tolvan/common/eventloop.h"
#include "tolvan/common/lib.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace Kalvex;
using Utils::ExecuteMainThread;

namespace {

void pumpAll() {
    while (Lib::runSingleEventLoopIteration()) {
    }
}

// Every test starts and ends shut down, with the main thread's queue empty.
class LifecycleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Lib::getStartupCount(), 0); }
    void TearDown() override {
        while (Lib::getStartupCount() > 0)
            Lib::shutdown();
        pumpAll();
    }
    std::vector<std::string> log;
    Function<void()> record(const std::string& text) {
        return [this, text] { log.push_back(text); };
    }
};

} // namespace

TEST_F(LifecycleTest, StartupCountsAndRunsHooksInOrderShutdownInReverse) {
    // Registered here, after the library's own pairs: they run last at start-up and first at shutdown.
    // The pairs stay registered for the rest of the process, so they log only while this test runs.
    static std::vector<std::string>* hookLog = nullptr;
    static const bool registered = [] {
        const auto note = [](const char* text) {
            return [text] {
                if (hookLog) hookLog->push_back(text);
            };
        };
        Lib::registerHooks(note("A+"), note("A-"));
        Lib::registerHooks(note("B+"), Function<void()>());
        Lib::registerHooks(Function<void()>(), note("C-"));
        return true;
    }();
    ASSERT_TRUE(registered);
    std::vector<std::string> localLog;
    hookLog = &localLog;

    EXPECT_TRUE(Lib::startup());
    EXPECT_TRUE(Lib::startup());
    EXPECT_EQ(localLog, (std::vector<std::string>{"A+", "B+"}));
    Lib::shutdown();
    EXPECT_EQ(localLog.size(), 2u) << "one of two start-ups undone: nothing torn down";
    EXPECT_TRUE(Utils::executeInMainThread(record("alive"), ExecuteMainThread::FORCE_QUEUE));
    pumpAll();
    EXPECT_EQ(log, (std::vector<std::string>{"alive"}));

    Lib::shutdown();
    EXPECT_EQ(localLog, (std::vector<std::string>{"A+", "B+", "C-", "A-"}));
    EXPECT_FALSE(Utils::executeInMainThread(record("late"), ExecuteMainThread::FORCE_QUEUE))
        << "the hidden window is gone";

    // An unbalanced shutdown is ignored, so the next start-up still runs the actions.
    Lib::shutdown();
    EXPECT_EQ(Lib::getStartupCount(), 0);
    Lib::startup();
    EXPECT_EQ(localLog.back(), "B+");
    Lib::shutdown();
    hookLog = nullptr;
    pumpAll();
    EXPECT_EQ(log, (std::vector<std::string>{"alive"})) << "the entry queued after shutdown never runs";
}

TEST_F(LifecycleTest, MainThreadRunsAtOnceUnlessForced) {
    EXPECT_TRUE(Utils::isMainThread());
    // Before start-up too: no message is needed.
    EXPECT_TRUE(Utils::executeInMainThread(record("now")));
    EXPECT_EQ(log, (std::vector<std::string>{"now"}));

    Lib::startup();
    EXPECT_TRUE(Utils::executeInMainThread(record("queued"), ExecuteMainThread::FORCE_QUEUE));
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(Detail::getPendingMessageCount(), 1);
    EXPECT_TRUE(Lib::runSingleEventLoopIteration());
    EXPECT_EQ(log, (std::vector<std::string>{"now", "queued"}));
    EXPECT_FALSE(Lib::runSingleEventLoopIteration());
}

TEST_F(LifecycleTest, EntryQueuedInsideAnEntryRunsLaterInTheSameDrain) {
    Lib::startup();
    Utils::executeInMainThread(
        [this] {
            log.push_back("first begins");
            // Inside a drain, even without flags, an ordinary entry is queued rather than nested.
            EXPECT_TRUE(Utils::executeInMainThread(record("second")));
            log.push_back("first ends");
        },
        ExecuteMainThread::FORCE_QUEUE);
    EXPECT_TRUE(Lib::runSingleEventLoopIteration());
    EXPECT_EQ(log, (std::vector<std::string>{"first begins", "first ends", "second"}));
}

TEST_F(LifecycleTest, ReentrantEntriesRunInsideADrainOrdinaryOnesWait) {
    Lib::startup();
    Utils::executeInMainThread(
        [this] {
            log.push_back("outer begins");
            Utils::executeInMainThread(record("reentrant at once"), ExecuteMainThread::REENTRANT);
            Utils::executeInMainThread(record("reentrant queued"),
                                       ExecuteMainThread::REENTRANT | ExecuteMainThread::FORCE_QUEUE);
            Utils::executeInMainThread(record("ordinary"), ExecuteMainThread::FORCE_QUEUE);
            // A nested loop, as a modal dialog runs: the re-entrant entry runs in it, the ordinary one
            // is put back (its wake-up re-posted) until this entry has finished.
            for (int i = 0; i < 10; ++i)
                Lib::runSingleEventLoopIteration();
            log.push_back("outer ends");
        },
        ExecuteMainThread::FORCE_QUEUE);
    Lib::runSingleEventLoopIteration();
    pumpAll();
    EXPECT_EQ(log, (std::vector<std::string>{"outer begins", "reentrant at once", "reentrant queued",
                                             "outer ends", "ordinary"}));
}

TEST_F(LifecycleTest, ThrowingEntryLeavesTheLoopAndTheRestStillRuns) {
    Lib::startup();
    Utils::executeInMainThread([] { throw std::runtime_error("entry failed"); },
                               ExecuteMainThread::FORCE_QUEUE);
    Utils::executeInMainThread(record("after"), ExecuteMainThread::FORCE_QUEUE);
    EXPECT_THROW(pumpAll(), std::runtime_error);
    pumpAll();
    EXPECT_EQ(log, (std::vector<std::string>{"after"}));
    // The drain's bookkeeping recovered: entries on the main thread run at once again.
    Utils::executeInMainThread(record("direct"));
    EXPECT_EQ(log.back(), "direct");
}

TEST_F(LifecycleTest, ShutdownFromInsideAnEntryDropsTheRest) {
    Lib::startup();
    Utils::executeInMainThread([] { Lib::shutdown(); }, ExecuteMainThread::FORCE_QUEUE);
    Utils::executeInMainThread(record("dropped"), ExecuteMainThread::FORCE_QUEUE);
    pumpAll();
    Lib::startup();
    EXPECT_TRUE(Utils::executeInMainThread(record("new session"), ExecuteMainThread::FORCE_QUEUE));
    pumpAll();
    EXPECT_EQ(log, (std::vector<std::string>{"new session"}));
}

TEST(ProcessQueries, ExecutableAndModulePaths) {
    const String exe = Utils::getExecutableFilePath().genericStr();
    EXPECT_TRUE(exe.startsWith(u"/"));
    EXPECT_TRUE(exe.endsWith(u"/tolvan_common_tests")) << exe.toUtf8().cStr();
    EXPECT_EQ(Utils::getModuleFilePath(reinterpret_cast<const void*>(&pumpAll)).genericStr(), exe);

    const String lib = Utils::getModuleFilePath(reinterpret_cast<const void*>(&Lib::startup)).genericStr();
    EXPECT_TRUE(lib.startsWith(u"/"));
    EXPECT_TRUE(lib.contains(u"/libtolvan.so")) << lib.toUtf8().cStr();

    int onTheStack = 0;
    EXPECT_TRUE(Utils::getModuleFilePath(&onTheStack).isEmpty());
    EXPECT_TRUE(Utils::getModuleFilePath(nullptr).isEmpty());
}

TEST(ProcessQueries, FontScaleIsPositiveAndCached) {
    const float scale = Utils::getFontScale();
    EXPECT_GT(scale, 0.0f);
    EXPECT_EQ(Utils::getFontScale(), scale);
}

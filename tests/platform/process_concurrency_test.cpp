#include "tolvan/platform/process.h"

#include "support/blocking.h"
#include "tolvan/thread/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <unistd.h>

using namespace Kalvex;

namespace {

String uniqueName(const char* stem) {
    static std::atomic<int> counter{0};
    return String::fromUtf8(std::string(stem) + std::to_string(getpid()) + "_" + std::to_string(counter++));
}

bool eventExists(const String& name) {
    try {
        InterprocessEvent event(name, InterprocessEvent::Mode::OPEN);
        return true;
    } catch (const Exception&) {
        return false;
    }
}

} // namespace

TEST(InterprocessEventConcurrency, EachSetReleasesExactlyOneBlockedWaiter) {
    const String name = uniqueName("two");
    InterprocessEvent setter(name, InterprocessEvent::Mode::CREATE);
    std::atomic<int> released{0};
    std::atomic<int> firstReleased{-1};
    std::atomic<unsigned> tids[2] = {0, 0};
    const auto waiter = [&](int index) {
        InterprocessEvent event(name, InterprocessEvent::Mode::OPEN);
        tids[index].store(Utils::getThreadId());
        if (!event.wait(120000)) return;
        int none = -1;
        firstReleased.compare_exchange_strong(none, index);
        released.fetch_add(1);
    };
    Thread first([&] { waiter(0); });
    Thread second([&] { waiter(1); });
    for (auto& tid : tids) {
        ASSERT_TRUE(TolvanTest::waitUntil([&] { return tid.load() != 0; }));
        ASSERT_TRUE(TolvanTest::waitUntilBlocked(tid.load()));
    }
    setter.set();
    ASSERT_TRUE(TolvanTest::waitUntil([&] { return released.load() == 1; }));
    // The other waiter is back asleep (or never woke) and the signal is used up.
    EXPECT_TRUE(TolvanTest::waitUntilBlocked(tids[1 - firstReleased.load()].load()));
    EXPECT_EQ(released.load(), 1);
    setter.set();
    first.join();
    second.join();
    EXPECT_EQ(released.load(), 2);
}

TEST(InterprocessEventConcurrency, OpeningAndClosingRaceWithUse) {
    // Handles come and go while others set and wait: the last close removes the event and the next
    // open creates it afresh, never a half-removed one.
    const String name = uniqueName("race");
    std::atomic<int> failures{0};
    const auto churn = [&] {
        for (int i = 0; i < 300; ++i) {
            try {
                InterprocessEvent event(name, InterprocessEvent::Mode::OPEN_OR_CREATE);
                event.set();
                event.wait(0);
            } catch (const Exception&) {
                failures.fetch_add(1);
            }
            try {
                InterprocessEvent opened(name, InterprocessEvent::Mode::OPEN);
                opened.wait(1);
            } catch (const Exception& e) {
                if (std::string(e.what()).find("does not exist") == std::string::npos) failures.fetch_add(1);
            }
        }
    };
    Thread a(churn);
    Thread b(churn);
    Thread c(churn);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(eventExists(name));
}

TEST(ProcessConcurrency, OutputPipesDoNotLeakIntoChildrenStartedMeanwhile) {
    // While one thread collects children's output, another starts long-running children: were the
    // write end inherited by those, the collection would wait for them to end.
    std::atomic<bool> done{false};
    std::atomic<int> collected{0};
    Thread collector([&] {
        for (int i = 0; i < 20; ++i) {
            const Stack<String> arguments{String(u"-c"), String(u"printf x")};
            Process child(Io::Path(u"/bin/sh"), arguments, ProcessFlag::REDIRECT_STDOUT);
            if (child.getStdOut().value() == String(u"x")) collected.fetch_add(1);
            child.wait();
        }
        done.store(true);
    });
    {
        Stack<Process> sleepers;
        const Stack<String> arguments{String(u"-c"), String(u"exec sleep 600")};
        while (!done.load() && sleepers.size() < 40) {
            sleepers.push(Process(Io::Path(u"/bin/sh"), arguments));
        }
        EXPECT_TRUE(TolvanTest::waitUntil([&] { return done.load(); }));
    } // the sleepers are killed here
    collector.join();
    EXPECT_EQ(collected.load(), 20);
}

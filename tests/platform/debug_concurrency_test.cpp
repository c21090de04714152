#include "tolvan/platform/debug.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

using namespace Kalvex;

TEST(DebugPrintConcurrency, MessagesFromManyThreadsArriveWhole) {
    std::mutex lock;
    std::vector<String> received;
    const DebugOutputSink previous = Detail::setDebugOutputSink([&](const String& text) {
        std::lock_guard guard(lock);
        received.push_back(text);
    });
    constexpr int THREADS = 4;
    constexpr int LINES = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < LINES; ++i)
                debugPrint("thread", t, "line", i);
        });
    }
    // Replacing the sink meanwhile must not disturb the writers.
    const DebugOutputSink mine = Detail::setDebugOutputSink(Detail::setDebugOutputSink(DebugOutputSink()));
    Detail::setDebugOutputSink(mine);
    for (std::thread& t : threads)
        t.join();
    Detail::setDebugOutputSink(previous);
    for (const String& text : received)
        EXPECT_TRUE(text.startsWith(u"thread ") && text.endsWith(u"\n"));
    EXPECT_LE(received.size(), size_t(THREADS * LINES));
}

TEST(StackTraceConcurrency, AnyThreadCanCaptureOne) {
    std::vector<String> traces(4);
    std::vector<std::thread> threads;
    for (String& trace : traces)
        threads.emplace_back([&trace] { trace = getStackTrace(); });
    for (std::thread& t : threads)
        t.join();
    for (const String& trace : traces) {
        // Frames count down, so the outermost captured frame is numbered 0.
        EXPECT_TRUE(trace.startsWith(u"0 ") || trace.contains(u"\n0 ")) << trace.toUtf8().cStr();
    }
}

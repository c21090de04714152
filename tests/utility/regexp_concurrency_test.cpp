#include "tolvan/utility/regexp.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace Kalvex;

TEST(RegExpConcurrency, CopiesShareOneExpressionAcrossThreads) {
    const RegExp original(u"[0-9]+");
    std::vector<std::thread> threads;
    std::vector<int> found(4, 0);
    for (size_t t = 0; t < found.size(); ++t) {
        threads.emplace_back([copy = original, &found, t] {
            for (int i = 0; i < 50; ++i)
                found[t] += copy.search(u"ab123") ? 1 : 0;
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(found, (std::vector<int>{50, 50, 50, 50}));
}

// Long texts go to helper threads; several callers at once each get their own.
TEST(RegExpConcurrency, LongTextsFromSeveralThreads) {
    const RegExp digits(u"[0-9]+");
    const String text(u'5', 5000);
    std::vector<std::thread> threads;
    std::vector<int64> lengths(4, 0);
    for (size_t t = 0; t < lengths.size(); ++t) {
        threads.emplace_back([&digits, &text, &lengths, t] {
            for (int i = 0; i < 3; ++i)
                lengths[t] += digits.search(u"x" + text)[0].length();
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(lengths, (std::vector<int64>{15000, 15000, 15000, 15000}));
}

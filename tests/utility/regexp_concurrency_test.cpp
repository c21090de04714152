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

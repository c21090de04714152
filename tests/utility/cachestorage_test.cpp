#include "tolvan/utility/cachestorage.h"

#include "support/counted.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace Kalvex;
using TolvanTest::Counted;

namespace {

// The keys present, checked without touching the order of use.
std::vector<uint64> keysPresent(const CacheStorage& cache, uint64 maxKey) {
    std::vector<uint64> keys;
    for (uint64 k = 0; k <= maxKey; ++k) {
        if (cache.contains(k)) keys.push_back(k);
    }
    return keys;
}

using Keys = std::vector<uint64>;

} // namespace

TEST(CacheStorageTest, DefaultCap) {
    EXPECT_EQ(CacheStorage().getMemoryCap(), 52428800u);
    EXPECT_EQ(CacheStorage::DEFAULT_MEMORY_CAP, 52428800u);
}

TEST(CacheStorageTest, EvictsLeastRecentlyUsed) {
    CacheStorage cache(100);
    for (uint64 k : {1, 2, 3})
        cache.insert(k, int(k * 10), 40);
    EXPECT_EQ(keysPresent(cache, 5), (Keys{2, 3}));
    EXPECT_EQ(cache.find<int>(2), Optional<int>(20)); // 2 becomes the most recently used
    cache.insert(uint64(4), 40, 40);
    EXPECT_EQ(keysPresent(cache, 5), (Keys{2, 4}));
    EXPECT_EQ(cache.getDeclaredSize(), 80);
}

TEST(CacheStorageTest, ReplacingAKeyRenewsIt) {
    CacheStorage cache(100);
    cache.insert(uint64(1), std::string("old"), 40);
    cache.insert(uint64(2), std::string("two"), 40);
    cache.insert(uint64(1), std::string("new"), 40);
    EXPECT_EQ(cache.getEntryCount(), 2);
    cache.insert(uint64(3), std::string("three"), 40); // 2 is now the oldest
    EXPECT_EQ(keysPresent(cache, 3), (Keys{1, 3}));
    EXPECT_EQ(cache.find<std::string>(1), Optional<std::string>("new"));
}

TEST(CacheStorageTest, OversizedEntryEmptiesTheCache) {
    CacheStorage cache(100);
    cache.insert(uint64(1), 1, 150);
    EXPECT_EQ(cache.getEntryCount(), 0);
    cache.insert(uint64(1), 1, 40);
    cache.insert(uint64(2), 2, 40);
    cache.insert(uint64(3), 3, 101); // drops itself together with everything older
    EXPECT_EQ(cache.getEntryCount(), 0);
    cache.insert(uint64(4), 4, 100); // exactly the cap fits
    EXPECT_EQ(keysPresent(cache, 5), (Keys{4}));
}

TEST(CacheStorageTest, LowerCapAppliesAtNextInsertion) {
    CacheStorage cache(100);
    for (uint64 k : {1, 2})
        cache.insert(k, 0, 40);
    cache.setMemoryCap(50);
    EXPECT_EQ(cache.getMemoryCap(), 50u);
    EXPECT_EQ(keysPresent(cache, 3), (Keys{1, 2}));
    cache.insert(uint64(3), 0, 10);
    EXPECT_EQ(keysPresent(cache, 3), (Keys{2, 3}));
    cache.setMemoryCap(0);
    cache.insert(uint64(4), 0, 0); // zero-sized entries fit any cap
    EXPECT_EQ(keysPresent(cache, 4), (Keys{4}));
}

TEST(CacheStorageTest, NegativeSizeCountsAsZero) {
    CacheStorage cache(100);
    cache.insert(uint64(1), 0, -1000); // must not make room for more than the cap
    for (uint64 k : {2, 3, 4})
        cache.insert(k, 0, 40);
    EXPECT_EQ(keysPresent(cache, 4), (Keys{3, 4}));
    EXPECT_EQ(cache.getDeclaredSize(), 80);
}

TEST(CacheStorageTest, TypedFindAndCopies) {
    CacheStorage cache;
    cache.insert(uint64(7), String(u"seven"), 16);
    EXPECT_FALSE(cache.find<int>(7).hasValue()); // stored as String, asked as int
    EXPECT_FALSE(cache.find<String>(8).hasValue());
    const Optional<String> found = cache.find<String>(7);
    cache.clear();
    EXPECT_EQ(cache.getEntryCount(), 0);
    ASSERT_TRUE(found.hasValue());
    EXPECT_EQ(*found, u"seven"); // the copy outlives its entry
    const String lvalue = u"kept";
    cache.insert(uint64(9), lvalue, 8);
    EXPECT_EQ(cache.find<String>(9), Optional<String>(lvalue));
}

TEST(CacheStorageTest, EveryValueIsDestroyed) {
    Counted::resetCounts();
    {
        CacheStorage cache(100);
        cache.insert(uint64(1), Counted(1), 60);
        cache.insert(uint64(1), Counted(2), 60); // replaced
        cache.insert(uint64(2), Counted(3), 60); // evicts key 1
        EXPECT_EQ(Counted::sLive, 1);
        EXPECT_EQ(cache.find<Counted>(2)->mValue, 3);
        EXPECT_EQ(Counted::sLive, 1);
        cache.clear();
        EXPECT_EQ(Counted::sLive, 0);
        cache.insert(uint64(3), Counted(4), 10);
    }
    EXPECT_EQ(Counted::sLive, 0);
    EXPECT_EQ(Counted::sDestroyOrder, (std::vector<int>{1, 2, 3, 3, 3, 4}));
}

namespace {

// The cache's rule spelled out on a vector, front = least recently used.
struct ModelCache {
    struct Item {
        uint64 key;
        int value;
        int64 size;
    };
    std::vector<Item> items;
    uint64 cap = 0;

    std::vector<Item>::iterator locate(uint64 key) {
        return std::find_if(items.begin(), items.end(), [&](const Item& i) { return i.key == key; });
    }
    Optional<int> find(uint64 key) {
        const auto it = locate(key);
        if (it == items.end()) return NONE;
        const Item item = *it;
        items.erase(it);
        items.push_back(item);
        return item.value;
    }
    void insert(uint64 key, int value, int size) {
        if (const auto it = locate(key); it != items.end()) items.erase(it);
        items.push_back({key, value, size > 0 ? size : 0});
        int64 sum = 0;
        for (const Item& i : items)
            sum += i.size;
        for (size_t budget = items.size(); budget > 0 && uint64(sum) > cap; --budget) {
            sum -= items.front().size;
            items.erase(items.begin());
        }
    }
};

} // namespace

// A long mixed run of finds, insertions and cap changes keeps the same entries, sizes and values as the
// rule above after every step.
TEST(CacheStorageTest, FollowsTheLeastRecentlyUsedRule) {
    constexpr uint64 KEYS = 24;
    CacheStorage cache(300);
    ModelCache model;
    model.cap = 300;
    uint32_t seed = 12345;
    auto next = [&](uint32_t range) { return ((seed = seed * 1103515245u + 12345u) >> 8) % range; };
    for (int step = 0; step < 5000; ++step) {
        const uint64 key = next(KEYS);
        switch (next(10)) {
        case 0:
            if (next(4) == 0) {
                model.cap = next(400);
                cache.setMemoryCap(model.cap);
            }
            break;
        case 1:
        case 2:
        case 3:
        case 4:
            ASSERT_EQ(cache.find<int>(key), model.find(key)) << "step " << step;
            break;
        default: {
            const int size = int(next(90)) - 10;
            cache.insert(key, step, size);
            model.insert(key, step, size);
        }
        }
        std::vector<uint64> expected;
        int64 sum = 0;
        for (const auto& item : model.items) {
            expected.push_back(item.key);
            sum += item.size;
        }
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(keysPresent(cache, KEYS), expected) << "step " << step;
        ASSERT_EQ(cache.getEntryCount(), int64(model.items.size()));
        ASSERT_EQ(cache.getDeclaredSize(), sum);
    }
}

#include "tolvan/containers/array.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/staticarray.h"
#include "tolvan/containers/string.h"

#include "support/counted.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace Kalvex;
using TolvanTest::Counted;

namespace {

// A copy-only element (no move constructor, so containers copy it when they relocate) whose copy
// throws once a budget of copies is spent. It counts live objects and destructions of objects that
// are not alive (destroyed twice, or never built).
struct ThrowingCopy {
    static inline int sLive = 0;
    static inline int sBadDestructions = 0;
    static inline int sCopiesLeft = -1; // -1: copies never throw

    static constexpr unsigned ALIVE = 0xA11CEu;
    unsigned mState = ALIVE;
    int mValue = 0;

    ThrowingCopy(int value)
        : mValue(value) {
        ++sLive;
    }
    ThrowingCopy(const ThrowingCopy& other)
        : mValue(other.mValue) {
        if (sCopiesLeft == 0) throw std::runtime_error("copy failed");
        if (sCopiesLeft > 0) --sCopiesLeft;
        ++sLive;
    }
    ThrowingCopy& operator=(const ThrowingCopy&) = default;
    ~ThrowingCopy() {
        if (mState != ALIVE) {
            ++sBadDestructions;
            return;
        }
        mState = 0;
        --sLive;
    }
};

// Runs `build` with copies failing after `copies` successful ones; returns whether it threw.
template <typename Build>
bool throwsAfterCopies(int copies, Build build) {
    ThrowingCopy::sCopiesLeft = copies;
    bool threw = false;
    try {
        build();
    } catch (const std::runtime_error&) {
        threw = true;
    }
    ThrowingCopy::sCopiesLeft = -1;
    return threw;
}

} // namespace

template <typename SizeT>
class StackSizeTypes : public ::testing::Test {};
using SizeTypes = ::testing::Types<void, int64>;
TYPED_TEST_SUITE(StackSizeTypes, SizeTypes);

TYPED_TEST(StackSizeTypes, GrowsByHalfAgain) {
    Stack<int, HeapAllocator, TypeParam> s;
    EXPECT_EQ(s.data(), nullptr);
    EXPECT_EQ(s.capacity(), 0);
    const int64 before = getTolvanMallocCallCount();
    std::vector<int64> capacities;
    for (int i = 0; i < 8; ++i) {
        s.push(i);
        if (capacities.empty() || capacities.back() != int64(s.capacity()))
            capacities.push_back(s.capacity());
    }
    EXPECT_EQ(capacities, (std::vector<int64>{1, 2, 3, 4, 6, 9}));
    for (int i = 8; i < 19; ++i)
        s.push(i);
    EXPECT_EQ(s.capacity(), 19);
    EXPECT_EQ(getTolvanMallocCallCount() - before, 8); // one allocation per growth step: 1 2 3 4 6 9 13 19
    for (int i = 0; i < 19; ++i)
        EXPECT_EQ(s[i], i);
    s.pop();
    s.clear();
    EXPECT_EQ(s.capacity(), 19); // capacity never shrinks by itself
}

TEST(Stack, DestroysEveryElementOnceInIndexOrder) {
    Counted::resetCounts();
    {
        Stack<Counted> s;
        for (int i = 0; i < 10; ++i)
            s.emplace(i); // several reallocations move elements
        EXPECT_EQ(Counted::sLive, 10);
        Counted::sDestroyOrder.clear();
    }
    EXPECT_EQ(Counted::sLive, 0);
    EXPECT_EQ(Counted::sDestroyOrder, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(Stack, InsertRemoveFind) {
    Counted::resetCounts();
    {
        Stack<Counted> s = {1, 2, 3, 4, 5};
        s.insert(0, Counted(0));
        s.insert(s.size(), Counted(6));
        s.remove(3);          // removes 3
        s.remove(1, 2);       // removes 1 and 2
        s.removeUnordered(0); // 6 takes the place of 0
        std::vector<int> values;
        for (const Counted& c : s)
            values.push_back(c.mValue);
        EXPECT_EQ(values, (std::vector<int>{6, 4, 5}));
        EXPECT_EQ(s.find(Counted(5)), 2);
        EXPECT_EQ(s.find(Counted(9)), -1);
        EXPECT_TRUE(s.contains(Counted(4)));
        s.remove(1, 100); // count clamped to the end
        EXPECT_EQ(s.size(), 1);
    }
    EXPECT_EQ(Counted::sLive, 0);
}

TEST(Stack, PushOfOwnElementSurvivesReallocation) {
    Stack<String> s;
    s.push(String(u"first"));
    for (int i = 0; i < 20; ++i)
        s.push(s[0]);
    for (const String& v : s)
        EXPECT_EQ(v, String(u"first"));
    s.pushAll(s);
    EXPECT_EQ(s.size(), 42);
}

TEST(Stack, CopyMoveCompareResize) {
    Stack<String> a = {u"x", u"y"};
    Stack<String> b = a;
    EXPECT_EQ(a, b);
    b.push(u"z");
    EXPECT_LT(a, b);
    Stack<String> c = std::move(b);
    EXPECT_TRUE(b.isEmpty()); // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(c.size(), 3);
    c.resize(5, String(u"fill"));
    EXPECT_EQ(c[4], String(u"fill"));
    c.resize(1);
    EXPECT_EQ(c.size(), 1);
    EXPECT_EQ(c.popValue(), String(u"x"));
    EXPECT_TRUE(c.isEmpty());
}

TEST(Array, FixedLengthAndResize) {
    Counted::resetCounts();
    {
        Array<Counted> a(3);
        EXPECT_EQ(a.size(), 3);
        a[0].mValue = 7;
        const int64 before = getTolvanMallocCallCount();
        a.resize(3); // same length: nothing happens
        EXPECT_EQ(getTolvanMallocCallCount(), before);
        a.resize(5);
        EXPECT_EQ(getTolvanMallocCallCount(), before + 1);
        EXPECT_EQ(a.size(), 5);
        EXPECT_EQ(a[0].mValue, 7);
        a.resize(0);
        EXPECT_EQ(a.data(), nullptr);
    }
    EXPECT_EQ(Counted::sLive, 0);

    Array<uint8, HeapAllocator, int64> pixels(int64(16), uint8(9));
    EXPECT_EQ(pixels.size(), 16);
    EXPECT_EQ(pixels[15], 9);
    Array<int> copy = Array<int>{1, 2, 3};
    EXPECT_EQ(copy, (Array<int>{1, 2, 3}));

    auto buffer = Array<std::byte>::uninitialized(1000);
    EXPECT_EQ(buffer.size(), 1000);
    EXPECT_NE(buffer.data(), nullptr);
    EXPECT_TRUE(Array<std::byte>::uninitialized(0).isEmpty());
    EXPECT_TRUE(Array<std::byte>::uninitialized(-1).isEmpty());
}

TEST(Stack, GrowthWithThrowingCopyKeepsTheStackAsItWas) {
    const int64 memory = getTolvanAllocatedMemory();
    // Full stacks of 4 and 6 elements, so the next push reallocates; each copy in turn fails: the
    // argument's copy, each element's relocation, the final placement.
    for (int size : {4, 6}) {
        for (int copies = 0; copies <= size + 2; ++copies) {
            {
                Stack<ThrowingCopy> s;
                for (int i = 0; i < size; ++i)
                    s.emplace(i);
                ASSERT_EQ(s.capacity(), size);
                const ThrowingCopy extra(size);
                const bool threw = throwsAfterCopies(copies, [&] { s.push(extra); });
                EXPECT_EQ(threw, copies <= size + 1) << size << "/" << copies; // size + 2 copies in all
                const int expectedSize = threw ? size : size + 1;
                ASSERT_EQ(s.size(), expectedSize) << size << "/" << copies;
                for (int i = 0; i < expectedSize; ++i)
                    EXPECT_EQ(s[i].mValue, i) << size << "/" << copies;
                EXPECT_EQ(ThrowingCopy::sLive, expectedSize + 1);
            }
            EXPECT_EQ(ThrowingCopy::sLive, 0) << size << "/" << copies;
            EXPECT_EQ(ThrowingCopy::sBadDestructions, 0) << size << "/" << copies;
            EXPECT_EQ(getTolvanAllocatedMemory(), memory) << size << "/" << copies;
        }
    }
}

TEST(Stack, ConstructorsWithThrowingCopyFreeWhatTheyBuilt) {
    const int64 memory = getTolvanAllocatedMemory();
    {
        const Stack<ThrowingCopy> source = {0, 1, 2, 3, 4};
        const Array<ThrowingCopy> sourceArray{ArrayView<const ThrowingCopy>(source)};
        const ThrowingCopy value(7);
        const int live = ThrowingCopy::sLive;
        const std::pair<const char*, Function<void()>> builds[] = {
            {"Stack(ArrayView)", [&] { Stack<ThrowingCopy> s((ArrayView<const ThrowingCopy>(source))); }},
            {"Stack(const Stack&)", [&] { Stack<ThrowingCopy> s(source); }},
            {"Stack(count, value)", [&] { Stack<ThrowingCopy> s(5, value); }},
            {"Stack::operator=",
             [&] {
                 Stack<ThrowingCopy> s = {9};
                 s = source;
             }},
            {"Array(ArrayView)", [&] { Array<ThrowingCopy> a((ArrayView<const ThrowingCopy>(source))); }},
            {"Array(const Array&)", [&] { Array<ThrowingCopy> a(sourceArray); }},
            {"Array(count, value)", [&] { Array<ThrowingCopy> a(5, value); }},
        };
        for (const auto& [name, build] : builds) {
            for (int copies = 0; copies < 5; ++copies) {
                EXPECT_TRUE(throwsAfterCopies(copies, build)) << name << " " << copies;
                EXPECT_EQ(ThrowingCopy::sLive, live) << name << " " << copies;
                EXPECT_EQ(ThrowingCopy::sBadDestructions, 0) << name << " " << copies;
            }
        }
    }
    EXPECT_EQ(ThrowingCopy::sLive, 0);
    EXPECT_EQ(getTolvanAllocatedMemory(), memory);
}

TEST(ArrayView, ViewsContainersAndSubViews) {
    Stack<int> s = {1, 2, 3, 4};
    ArrayView<const int> view = s;
    EXPECT_EQ(view.size(), 4);
    EXPECT_EQ(view[3], 4);
    const ArrayView<const int> sub = view.getSubView(1, 10);
    EXPECT_EQ(sub.size(), 3);
    EXPECT_EQ(sub[0], 2);
    EXPECT_TRUE(view.getSubView(9, 1).isEmpty());
    StaticArray<int, 3> fixed = {{5, 6, 7}};
    int sum = 0;
    for (int v : fixed)
        sum += v;
    EXPECT_EQ(sum, 18);
    EXPECT_EQ(ArrayView<const int>(fixed).size(), 3);
}

#include "tolvan/containers/any.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/sharedptr.h"
#include "tolvan/utility/variant.h"

#include "support/counted.h"

#include <gtest/gtest.h>

using namespace Kalvex;
using TolvanTest::Counted;

TEST(Optional, EmptyValueThrowsBadOptionalAccess) {
    Optional<String> empty;
    EXPECT_FALSE(empty.hasValue());
    try {
        (void)empty.value();
        FAIL() << "expected an Exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "bad_optional_access");
    }
    Optional<String> full = String(u"v");
    EXPECT_EQ(*full, String(u"v"));
    EXPECT_EQ(empty.valueOr(String(u"d")), String(u"d"));
    full = NONE;
    EXPECT_FALSE(full);
}

TEST(Expected, ValueOrReadableError) {
    auto parse = [](int x) -> Expected<int, String> {
        if (x < 0) return makeUnexpected(String(u"negative input"));
        return x * 2;
    };
    const Expected<int, String> good = parse(4);
    ASSERT_TRUE(good);
    EXPECT_EQ(*good, 8);
    const Expected<int, String> bad = parse(-1);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), String(u"negative input"));
    EXPECT_THROW((void)bad.value(), Exception);
    EXPECT_THROW((void)good.error(), Exception);
    Expected<int, String> copy = bad;
    copy = good;
    EXPECT_EQ(copy.value(), 8);
}

enum class Mode : unsigned { READ = 1, WRITE = 2, APPEND = 4 };
KALVEX_DECLARE_FLAGS(Mode)

TEST(Flags, SetOperations) {
    Flags<Mode> f = Mode::READ | Mode::APPEND;
    EXPECT_TRUE(f.has(Mode::READ));
    EXPECT_FALSE(f.has(Mode::WRITE));
    f |= Mode::WRITE;
    f.clear(Mode::READ);
    EXPECT_EQ(f.getBits(), 6u);
    EXPECT_TRUE((f & Mode::WRITE).has(Mode::WRITE));
    EXPECT_TRUE(Flags<Mode>().isEmpty());
}

TEST(SharedPtr, StrongReferencesAlsoCountAsWeak) {
    Counted::resetCounts();
    SharedPtr<Counted> a = makeShared<Counted>(1);
    Detail::ControlBlockBase* block = a.getControlBlock();
    EXPECT_EQ(block->getStrongCount(), 1);
    EXPECT_EQ(block->getWeakCount(), 1);
    SharedPtr<Counted> b = a;
    EXPECT_EQ(block->getStrongCount(), 2);
    EXPECT_EQ(block->getWeakCount(), 2);
    WeakPtr<Counted> w = a;
    EXPECT_EQ(block->getWeakCount(), 3);
    a.reset();
    b.reset();
    EXPECT_EQ(Counted::sLive, 0); // the object went with the last strong reference
    EXPECT_TRUE(w.isExpired());
    WeakPtr<Counted> w2 = w; // weak references keep only the control block alive
    EXPECT_FALSE(w2.lock());
    EXPECT_FALSE(w.lock());
}

namespace {
struct Base : Polymorphic {
    int mValue = 1;
};
struct Other : Polymorphic {
    int mPad = 0;
};
struct Derived : Other, Base {
    ~Derived() override { ++sDestroyed; }
    static inline int sDestroyed = 0;
};
} // namespace

TEST(SharedPtr, AdoptedPointersDerivedConversionAndDeleters) {
    const int64 before = getTolvanAllocatedMemory();
    {
        SharedPtr<Derived> d(tolvanNew<Derived>());
        SharedPtr<Base> b = d; // Base is not the first base: freeing must still find the block
        SharedPtr<Derived> back = dynamicPointerCast<Derived>(b);
        EXPECT_EQ(back.get(), d.get());
        AutoPtr<Base> owner(tolvanNew<Derived>());
    }
    EXPECT_EQ(Derived::sDestroyed, 2);
    EXPECT_EQ(getTolvanAllocatedMemory(), before);

    int deleted = 0;
    {
        int value = 5;
        SharedPtr<int> custom(&value, [&deleted](int*) { ++deleted; });
    }
    EXPECT_EQ(deleted, 1);
}

TEST(SharedPtr, EnableSharedFromThis) {
    struct Node : EnableSharedFromThis<Node> {
        int mValue = 3;
    };
    SharedPtr<Node> n = makeShared<Node>();
    SharedPtr<Node> again = n->sharedFromThis();
    EXPECT_EQ(again.get(), n.get());
    EXPECT_EQ(n.getUseCount(), 2);
    Node unowned;
    EXPECT_FALSE(unowned.sharedFromThis());
}

TEST(AutoPtr, SoleOwnership) {
    Counted::resetCounts();
    {
        AutoPtr<Counted> a = makeAutoPtr<Counted>(4);
        AutoPtr<Counted> b = std::move(a);
        EXPECT_FALSE(a); // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(b->mValue, 4);
        b.reset(tolvanNew<Counted>(5));
        EXPECT_EQ(Counted::sLive, 1);
        Counted* raw = b.release();
        EXPECT_EQ(Counted::sLive, 1);
        tolvanDelete(raw);
    }
    EXPECT_EQ(Counted::sLive, 0);
}

TEST(Function, CopiesShareCloneSeparates) {
    int calls = 0;
    Function<int()> counter = [n = 0, &calls]() mutable {
        ++calls;
        return ++n;
    };
    Function<int()> copy = counter;
    EXPECT_TRUE(copy.isSameAs(counter));
    EXPECT_EQ(counter(), 1);
    EXPECT_EQ(copy(), 2); // the same callable object: its state is shared
    Function<int()> clone = counter.clone();
    EXPECT_FALSE(clone.isSameAs(counter));
    EXPECT_EQ(clone(), 3); // a copy of the state at cloning time
    EXPECT_EQ(clone(), 4);
    EXPECT_EQ(counter(), 3); // the original is unaffected by the clone
    EXPECT_EQ(calls, 5);

    Function<void()> empty;
    EXPECT_FALSE(empty);
    EXPECT_THROW(empty(), Exception);
    int (*fp)(int) = [](int x) { return x + 1; };
    EXPECT_EQ(Function<int(int)>(fp)(1), 2);
}

TEST(Function, CloneOfStatelessCallableIsOneCompositeBlock) {
    Function<void()> f = [] {};
    const int64 calls = getTolvanMallocCallCount();
    Function<void()> clone = f.clone();
    EXPECT_EQ(getTolvanMallocCallCount() - calls, 1); // counts and wrapper in one allocation
}

TEST(Variant, VisitAndInvariants) {
    Variant<int, String> v;
    EXPECT_TRUE(v.isEmpty());
    try {
        v.visit([](auto&) {});
        FAIL() << "expected an Exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Visiting Variant without type");
    }
    v = String(u"text");
    EXPECT_EQ(v.getIndex(), 2);
    EXPECT_TRUE(v.is<String>());
    int length = v.visit([](const auto& value) -> int {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, String>) return value.length();
        return -1;
    });
    EXPECT_EQ(length, 4);
    v.set(7);
    EXPECT_EQ(v.get<int>(), 7);
    EXPECT_THROW((void)v.get<String>(), Exception);

    Variant<int, String> broken;
    broken.setIndexUnsafeForTesting(5);
    try {
        broken.visit([](auto&) {});
        FAIL() << "expected the STOP failure";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind("STOP@utility/variant", 0), 0u) << e.what();
    }
    broken.setIndexUnsafeForTesting(0);
}

TEST(Any, HoldsAnyCopyableValue) {
    Any a = String(u"cached");
    EXPECT_TRUE(a.is<String>());
    EXPECT_EQ(a.get<int>(), nullptr);
    Any b = a;
    *b.get<String>() = String(u"changed");
    EXPECT_EQ(*a.get<String>(), String(u"cached")); // copying an Any copies the value
    Any c = Any::make<int>(3);
    EXPECT_EQ(*c.get<int>(), 3);
    EXPECT_EQ(Any().getType(), typeid(void));
}

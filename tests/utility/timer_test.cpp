#include "tolvan/common/eventloop.h"
#include "tolvan/common/lib.h"
#include "tolvan/utility/delayedcallback.h"
#include "tolvan/utility/timer.h"

#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <compare>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace Kalvex;

namespace {

// Runs the calling (main) thread's event loop until `done()` holds; false after 10 s.
template <typename Done>
bool pumpUntil(Done done) {
    const Timer limit(10000);
    while (!done()) {
        if (limit.check()) return false;
        if (!Lib::runSingleEventLoopIteration()) (void)Detail::waitForMessage(50);
    }
    return true;
}

// A one-shot sentinel: once it has fired, every timer due before it has been delivered too.
struct Sentinel {
    bool fired = false;
    DelayedCallback callback{[this] { fired = true; }, NONE};
    explicit Sentinel(int64 delayMs) { callback.scheduleDelayed(delayMs); }
};

} // namespace

// Timer -----------------------------------------------------------------------------------------------

TEST(Timer, ChecksItsIntervalAndMeasuresElapsedTime) {
    Timer timer(500);
    EXPECT_FALSE(timer.check());
    EXPECT_EQ(timer.getInterval(), 500);
    EXPECT_GE(timer.getElapsed(), 0);
    EXPECT_LT(timer.getElapsed(), 500);
    timer.subtract(500); // as if 500 ms had passed
    EXPECT_TRUE(timer.check());
    EXPECT_GE(timer.getElapsed(), 500);
    timer.reset();
    EXPECT_FALSE(timer.check());

    Timer fresh(1000);
    fresh.subtract(100);
    EXPECT_GE(fresh.getElapsed(), 100);
    EXPECT_LT(fresh.getElapsed(), 1000);
}

TEST(Timer, StartExpiredIsDueAtOnce) {
    const Timer timer(500, Timer::Flag::START_EXPIRED);
    EXPECT_TRUE(timer.check());
    EXPECT_GE(timer.getElapsed(), 501);
    const Timer zero(0);
    EXPECT_TRUE(zero.check()); // a zero interval has always passed
}

TEST(Timer, HugeIntervalsAndShiftsDoNotWrapAround) {
    constexpr int64 MAX = std::numeric_limits<int64>::max();
    constexpr int64 MIN = std::numeric_limits<int64>::min();
    constexpr int64 LARGEST_NS_IN_MS = MAX / 1'000'000; // 9223372036854
    struct Case {
        int64 interval;
        bool passed;
    };
    const Case cases[] = {{MAX, false},
                          {LARGEST_NS_IN_MS + 1, false},
                          {LARGEST_NS_IN_MS, false},
                          {MIN, true},
                          {MIN / 1'000'000 - 1, true}};
    for (const Case& c : cases) {
        const Timer timer(c.interval);
        EXPECT_EQ(timer.check(), c.passed) << c.interval;
        EXPECT_EQ(timer.getInterval(), c.interval);
    }

    // "Never", but started expired: due at once all the same.
    const Timer expired(MAX, Timer::Flag::START_EXPIRED);
    EXPECT_TRUE(expired.check());
    EXPECT_GE(expired.getElapsed(), LARGEST_NS_IN_MS);

    Timer past(MAX);
    past.subtract(MAX); // as long ago as the interval
    EXPECT_TRUE(past.check());
    EXPECT_GE(past.getElapsed(), LARGEST_NS_IN_MS);

    Timer future(0);
    future.subtract(MIN); // the start far ahead: elapsed is negative, not wrapped to positive
    EXPECT_FALSE(future.check());
    EXPECT_LT(future.getElapsed(), -LARGEST_NS_IN_MS / 2);
}

TEST(Timer, MovesItsState) {
    Timer a(250, Timer::Flag::START_EXPIRED);
    Timer b(std::move(a));
    EXPECT_EQ(b.getInterval(), 250);
    EXPECT_TRUE(b.check());
    a = Timer(40); // a moved-from timer may be assigned to
    EXPECT_EQ(a.getInterval(), 40);
    b = std::move(a);
    EXPECT_EQ(b.getInterval(), 40);
}

// Scope timers ----------------------------------------------------------------------------------------

namespace {
namespace Scene {
std::string reportOfTimedFunction() {
    const TolvanTest::CapturedDebugOutput output;
    { KALVEX_FUNCTION_ELAPSED_TIME(); }
    return output.texts().empty() ? std::string() : output.texts().front();
}
struct Loader {
    std::string load(int, const char*) const {
        const TolvanTest::CapturedDebugOutput output;
        { KALVEX_FUNCTION_ELAPSED_TIME(); }
        return output.texts().front();
    }
};
// Operators whose names hold '<', '>', '(' or spaces; each keeps the report of its last call.
struct Level {
    mutable std::string mReport;
    explicit operator bool() const {
        const TolvanTest::CapturedDebugOutput output;
        { KALVEX_FUNCTION_ELAPSED_TIME(); }
        mReport = output.texts().front();
        return true;
    }
    auto operator<=>(const Level&) const {
        const TolvanTest::CapturedDebugOutput output;
        { KALVEX_FUNCTION_ELAPSED_TIME(); }
        mReport = output.texts().front();
        return 0 <=> 0;
    }
    bool operator()(int) const {
        const TolvanTest::CapturedDebugOutput output;
        { KALVEX_FUNCTION_ELAPSED_TIME(); }
        mReport = output.texts().front();
        return true;
    }
};
} // namespace Scene
} // namespace

namespace {

// Whether `text` is `head` + " took " + a number of milliseconds (digits, grouped as the locale does)
// + " ms.\n".
bool isElapsedReport(const std::string& text, const std::string& head) {
    const std::string start = head + " took ";
    const std::string end = " ms.\n";
    if (text.size() <= start.size() + end.size() || !text.starts_with(start) || !text.ends_with(end))
        return false;
    const std::string number = text.substr(start.size(), text.size() - start.size() - end.size());
    return std::isdigit(static_cast<unsigned char>(number.front())) &&
           number.find_first_not_of("0123456789,.' ") == std::string::npos;
}

} // namespace

TEST(FunctionElapsedTime, WritesBothNamesAndTheMilliseconds) {
    const TolvanTest::CapturedDebugOutput output;
    { const Detail::FunctionElapsedTime timer("load", "scene"); }
    { KALVEX_SCOPE_ELAPSED_TIME("Function call: ", "Kalvex::Scheduler::Scheduler"); }
    const std::vector<std::string> texts = output.texts();
    ASSERT_EQ(texts.size(), 2u);
    // A scope this short takes 0 ms or a few.
    EXPECT_TRUE(isElapsedReport(texts[0], ">>>  load scene")) << texts[0];
    EXPECT_TRUE(isElapsedReport(texts[1], ">>>  Function call:  Kalvex::Scheduler::Scheduler")) << texts[1];
    EXPECT_FALSE(isElapsedReport(">>>  load scene took ms.\n", ">>>  load scene"));
}

TEST(FunctionElapsedTime, MacroNamesTheQualifiedFunction) {
    EXPECT_TRUE(Scene::reportOfTimedFunction().starts_with(
        ">>>  Function call:  {anonymous}::Scene::reportOfTimedFunction took "))
        << Scene::reportOfTimedFunction();
    EXPECT_TRUE(Scene::Loader().load(1, "x").starts_with(
        ">>>  Function call:  {anonymous}::Scene::Loader::load took "))
        << Scene::Loader().load(1, "x");

    const Scene::Level level;
    (void)bool(level);
    EXPECT_TRUE(
        level.mReport.starts_with(">>>  Function call:  {anonymous}::Scene::Level::operator bool took "))
        << level.mReport;
    (void)(level <=> level);
    EXPECT_TRUE(
        level.mReport.starts_with(">>>  Function call:  {anonymous}::Scene::Level::operator<=> took "))
        << level.mReport;
    (void)level(1);
    EXPECT_TRUE(level.mReport.starts_with(">>>  Function call:  {anonymous}::Scene::Level::operator() took "))
        << level.mReport;
}

TEST(FunctionElapsedTime, QualifiedNameDropsReturnTypeParametersAndNotes) {
    struct Case {
        std::string name;
        std::string_view expected;
    };
    static constexpr char a[] =
        "Kalvex::Scheduler::Scheduler(const Kalvex::String&, Kalvex::SchedulerWorkerThreadPriority)";
    static constexpr char b[] =
        "void Kalvex::Scheduler::setWorkerThreadsPriority(Kalvex::SchedulerWorkerThreadPriority)";
    static constexpr char c[] = "const Kalvex::String& Kalvex::Io::Path::genericStr() const";
    static constexpr char d[] = "std::map<int, std::vector<int> > ns::make(T) [with T = std::pair<int, int>]";
    static constexpr char e[] = "void {anonymous}::run()";
    static constexpr char f[] = "bool Kalvex::Path::operator<(const Kalvex::Path&) const";
    static constexpr char g[] = "void Kalvex::Callback::operator()() const";
    static constexpr char h[] = "int (anonymous namespace)::count(int)";
    const Case cases[] = {
        {Detail::QualifiedFunctionName(a).mText, "Kalvex::Scheduler::Scheduler"},
        {Detail::QualifiedFunctionName(b).mText, "Kalvex::Scheduler::setWorkerThreadsPriority"},
        {Detail::QualifiedFunctionName(c).mText, "Kalvex::Io::Path::genericStr"},
        {Detail::QualifiedFunctionName(d).mText, "ns::make"},
        {Detail::QualifiedFunctionName(e).mText, "{anonymous}::run"},
        {Detail::QualifiedFunctionName(f).mText, "Kalvex::Path::operator<"},
        {Detail::QualifiedFunctionName(g).mText, "Kalvex::Callback::operator()"},
        {Detail::QualifiedFunctionName(h).mText, "(anonymous namespace)::count"},
    };
    for (const Case& test : cases)
        EXPECT_EQ(test.name, test.expected);
}

// GCC's and Clang's forms of operators, conversions and names with parentheses or '<' inside.
#define KALVEX_TEST_QUALIFIED_NAME(pretty) std::string(Detail::QualifiedFunctionName(pretty).mText)

TEST(FunctionElapsedTime, QualifiedNameKeepsOperatorNamesWhole) {
    const std::pair<std::string, std::string_view> cases[] = {
        {KALVEX_TEST_QUALIFIED_NAME("auto Kalvex::Version::operator<=>(const Kalvex::Version&) const"),
         "Kalvex::Version::operator<=>"},
        {KALVEX_TEST_QUALIFIED_NAME("bool Kalvex::Version::operator<=(const Kalvex::Version&) const"),
         "Kalvex::Version::operator<="},
        {KALVEX_TEST_QUALIFIED_NAME("bool Kalvex::Version::operator>(const Kalvex::Version&) const"),
         "Kalvex::Version::operator>"},
        {KALVEX_TEST_QUALIFIED_NAME("std::ostream& Kalvex::operator<<(std::ostream&, const Kalvex::Path&)"),
         "Kalvex::operator<<"},
        {KALVEX_TEST_QUALIFIED_NAME("Kalvex::Bits& Kalvex::Bits::operator>>=(int)"),
         "Kalvex::Bits::operator>>="},
        {KALVEX_TEST_QUALIFIED_NAME("T* Kalvex::Ptr<T>::operator->() const [with T = int]"),
         "Kalvex::Ptr<T>::operator->"},
        {KALVEX_TEST_QUALIFIED_NAME("int Kalvex::Less::operator()(int, int) const"),
         "Kalvex::Less::operator()"},
        {KALVEX_TEST_QUALIFIED_NAME("int& Kalvex::Grid::operator[](int)"), "Kalvex::Grid::operator[]"},
        {KALVEX_TEST_QUALIFIED_NAME("Kalvex::String::operator bool() const"),
         "Kalvex::String::operator bool"},
        {KALVEX_TEST_QUALIFIED_NAME("Kalvex::Path::operator const char*() const"),
         "Kalvex::Path::operator const char*"},
        {KALVEX_TEST_QUALIFIED_NAME("Kalvex::Table::operator std::map<int, int>() const"),
         "Kalvex::Table::operator std::map<int, int>"},
        {KALVEX_TEST_QUALIFIED_NAME("static void* Kalvex::Object::operator new [](size_t)"),
         "Kalvex::Object::operator new []"},
        {KALVEX_TEST_QUALIFIED_NAME("int Kalvex::operator\"\"_m(long long unsigned int)"),
         "Kalvex::operator\"\"_m"},
        {KALVEX_TEST_QUALIFIED_NAME("int Kalvex::operatorCount(int)"), "Kalvex::operatorCount"},
        {KALVEX_TEST_QUALIFIED_NAME("void Kalvex::Queue<(1 > 2)>::push(int)"),
         "Kalvex::Queue<(1 > 2)>::push"},
        {KALVEX_TEST_QUALIFIED_NAME("std::function<void(int)> Kalvex::makeHandler()"), "Kalvex::makeHandler"},
        {KALVEX_TEST_QUALIFIED_NAME(
             "const char *(anonymous namespace)::Level::operator const char *() const"),
         "(anonymous namespace)::Level::operator const char *"},
        {KALVEX_TEST_QUALIFIED_NAME("const char *Kalvex::Path::cStr() const"), "Kalvex::Path::cStr"},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(name, expected);
}

#undef KALVEX_TEST_QUALIFIED_NAME

// DelayedCallback -------------------------------------------------------------------------------------

TEST(DelayedCallback, RunsOnceOnTheEventLoopAfterAtLeastOneMillisecond) {
    for (const int64 delay : {int64(0), int64(-5), int64(3)}) {
        int calls = 0;
        int64 firedAfterNs = 0;
        const int64 start = Detail::getMonotonicNanoseconds();
        DelayedCallback callback(
            [&] {
                ++calls;
                firedAfterNs = Detail::getMonotonicNanoseconds() - start;
            },
            delay);
        EXPECT_TRUE(bool(callback));
        EXPECT_EQ(calls, 0); // never called from the constructor
        ASSERT_TRUE(pumpUntil([&] { return calls > 0; })) << "delay " << delay;
        EXPECT_GE(firedAfterNs, std::max<int64>(delay, 1) * 1'000'000) << "delay " << delay;
        const Sentinel later(20);
        ASSERT_TRUE(pumpUntil([&] { return later.fired; }));
        EXPECT_EQ(calls, 1) << "one-shot";
    }
}

TEST(DelayedCallback, CancelAndDestructionPreventTheCall) {
    int cancelledCalls = 0;
    int destroyedCalls = 0;
    DelayedCallback cancelled([&] { ++cancelledCalls; }, 1);
    cancelled.cancel();
    EXPECT_TRUE(bool(cancelled)); // the function stays
    {
        const DelayedCallback destroyed([&] { ++destroyedCalls; }, 1);
    }
    const Sentinel later(20);
    ASSERT_TRUE(pumpUntil([&] { return later.fired; }));
    EXPECT_EQ(cancelledCalls, 0);
    EXPECT_EQ(destroyedCalls, 0);
}

TEST(DelayedCallback, RescheduleReplacesThePendingOneAndSetKeepsIt) {
    std::vector<std::string> calls;
    DelayedCallback callback([&] { calls.push_back("old"); }, 1);
    callback.scheduleDelayed(15);               // replaces the 1 ms schedule
    callback = [&] { calls.push_back("new"); }; // keeps the 15 ms schedule
    const Sentinel between(5);
    ASSERT_TRUE(pumpUntil([&] { return between.fired; }));
    EXPECT_TRUE(calls.empty());
    ASSERT_TRUE(pumpUntil([&] { return !calls.empty(); }));
    EXPECT_EQ(calls, std::vector<std::string>{"new"});
}

TEST(DelayedCallback, ExecuteImmediatelyAndEmptyOrThrowingFunctions) {
    int calls = 0;
    DelayedCallback callback;
    EXPECT_FALSE(bool(callback));
    callback.executeImmediately(); // nothing set: nothing happens
    callback.scheduleDelayed(1);   // fires without a function: nothing happens
    callback.set([&] { ++calls; });
    callback.executeImmediately();
    EXPECT_EQ(calls, 1);

    DelayedCallback throwing([] { throw std::runtime_error("dropped"); }, 1);
    const Sentinel later(10);
    EXPECT_NO_THROW(EXPECT_TRUE(pumpUntil([&] { return later.fired; })));
    EXPECT_EQ(calls, 2) << "the schedule made before set() still fired once";
}

TEST(DelayedCallback, HugeDelaysWaitInsteadOfFiring) {
    constexpr int64 MAX = std::numeric_limits<int64>::max();
    int delayedCalls = 0;
    int repeatedCalls = 0;
    DelayedCallback delayed([&] { ++delayedCalls; }, MAX);
    RepeatedCallback repeated;
    repeated.set([&] { ++repeatedCalls; });
    repeated.start(MAX);
    const Sentinel later(20);
    ASSERT_TRUE(pumpUntil([&] { return later.fired; }));
    EXPECT_EQ(delayedCalls, 0);
    EXPECT_EQ(repeatedCalls, 0);
}

// RepeatedCallback ------------------------------------------------------------------------------------

TEST(RepeatedCallback, StopsWhenItsFunctionReturnsFalse) {
    int calls = 0;
    RepeatedCallback callback;
    EXPECT_FALSE(bool(callback));
    callback.set([&] { return ++calls < 3; });
    callback.start(1);
    ASSERT_TRUE(pumpUntil([&] { return calls == 3; }));
    const Sentinel later(30);
    ASSERT_TRUE(pumpUntil([&] { return later.fired; }));
    EXPECT_EQ(calls, 3);
}

TEST(RepeatedCallback, KeepsRunningThroughExceptionsUntilStopped) {
    int calls = 0;
    RepeatedCallback callback;
    callback.set([&]() -> bool {
        ++calls;
        throw std::runtime_error("dropped");
    });
    callback.start(0); // at least 1 ms
    ASSERT_TRUE(pumpUntil([&] { return calls >= 3; }));
    callback.stop();
    const int stoppedAt = calls;
    const Sentinel later(20);
    ASSERT_TRUE(pumpUntil([&] { return later.fired; }));
    EXPECT_EQ(calls, stoppedAt);
}

TEST(RepeatedCallback, VoidFunctionsRepeatAndDestructionStopsTheTimer) {
    int calls = 0;
    {
        RepeatedCallback callback;
        callback.set(Function<void()>([&] { ++calls; }));
        callback.start(1);
        callback.start(2); // restarts
        ASSERT_TRUE(pumpUntil([&] { return calls >= 3; }));
        callback.executeImmediately(); // on this thread, the timer untouched
    }
    const int atDestruction = calls;
    const Sentinel later(20);
    ASSERT_TRUE(pumpUntil([&] { return later.fired; }));
    EXPECT_EQ(calls, atDestruction);
}

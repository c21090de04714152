#include "tolvan/common/assert.h"

#include "tolvan/common/exception.h"
#include "tolvan/common/lib.h"
#include "tolvan/platform/dialog.h"
#include "tolvan/platform/systeminfo.h"
#include "tolvan/thread/thread.h"

#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

// The dialog's buttons, in the order they are offered.
enum Choice { DISMISS, IGNORE_THIS, IGNORE_ALL, CRASH, KILL };

// Answers every dialog with `answer` and records the requests; restores the previous presenter.
class ScriptedPresenter {
public:
    explicit ScriptedPresenter(int answer)
        : mPrevious(Utils::setDialogPresenter([this, answer](const Utils::DialogRequest& r) {
            captions.push_back(r.caption.toUtf8().cStr());
            messages.push_back(r.message.toUtf8().cStr());
            choices.clear();
            for (int i = 0; i < r.choices.size(); ++i)
                choices.push_back(r.choices[i].toUtf8().cStr());
            return answer;
        })) {}
    ~ScriptedPresenter() { Utils::setDialogPresenter(mPrevious); }
    std::vector<std::string> captions;
    std::vector<std::string> messages;
    std::vector<std::string> choices;

private:
    Utils::DialogPresenter mPrevious;
};

// The library started (the assert dialog is available) for the object's lifetime.
class Started {
public:
    Started() { (void)Lib::startup(); }
    ~Started() { Lib::shutdown(); }
};

std::atomic<int> gHandlerCalls{0};
std::string gHandlerCondition;
void countingHandler(const AssertParameters& p) {
    ++gHandlerCalls;
    gHandlerCondition = p.condition;
}
void otherHandler(const AssertParameters&) {}
void throwingHandler(const AssertParameters&) {
    throw std::runtime_error("handler refused");
}

// One assertion site, reached as often as it is called.
void assertAtOneSite(bool ok) {
    KALVEX_ASSERT(ok);
}
void assertAtAnotherSite(bool ok) {
    KALVEX_ASSERT(ok);
}
void assertBeforeStartup(bool ok) {
    KALVEX_ASSERT(ok);
}

int countCasserts(const TolvanTest::CapturedDebugOutput& output) {
    int count = 0;
    for (const std::string& text : output.texts())
        count += text.starts_with("!!! CASSERT fired:\n File: ") ? 1 : 0;
    return count;
}

const std::string& osText() {
    static const std::string text = [] {
        const Expected<String, String> os = getOsInfoString();
        return std::string((os.hasValue() ? os.value() : os.error()).toUtf8().cStr());
    }();
    return text;
}

// Whether `line` is "Build timestamp: Mmm dd yyyy hh:mm:ss, OS: " + the operating system.
bool isBuildLine(const std::string& line) {
    const std::string head = "Build timestamp: ";
    const std::string tail = ", OS: " + osText();
    if (!line.starts_with(head) || line.size() != head.size() + 20 + tail.size()) return false;
    const std::string stamp = line.substr(head.size(), 20);
    const std::string shape = "Aaa Dd Dddd Dd:Dd:Dd";
    for (size_t i = 0; i < shape.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(stamp[i]);
        const bool ok = shape[i] == 'A'   ? std::isupper(c) != 0
                        : shape[i] == 'a' ? std::islower(c) != 0
                        : shape[i] == 'D' ? std::isdigit(c) != 0 || (i == 4 && c == ' ')
                        : shape[i] == 'd' ? std::isdigit(c) != 0
                                          : c == static_cast<unsigned char>(shape[i]);
        if (!ok) return false;
    }
    return line.substr(head.size() + 20) == tail;
}

} // namespace

TEST(Assert, ReportTextWithAndWithoutValues) {
    std::wostringstream values;
    values << L"7, \"x\"";
    struct Case {
        AssertParameters parameters;
        std::string head;
    } cases[] = {
        {{true, "utility/curves.cpp", 42, "a < b", "", nullptr},
         "File: utility/curves.cpp\nLine: 42\nCondition: a < b\n"},
        {{false, "f.cpp", -3, "x", "i, name", &values},
         "File: f.cpp\nLine: -3\nCondition: x\nParameters: i, name\nValues:     7, \"x\"\n"},
    };
    for (const Case& c : cases) {
        const std::string text = c.parameters.toString().toUtf8().cStr();
        ASSERT_TRUE(text.starts_with(c.head)) << text;
        const std::string rest = text.substr(c.head.size());
        EXPECT_TRUE(isBuildLine(rest)) << rest;
    }
}

TEST(Assert, MacroPrintsItsValuesAndSkipsHoldingConditions) {
    const AssertHandler previous = setCustomAssertHandler(nullptr, AssertHandlerScope::GLOBAL);
    const ScriptedPresenter presenter(DISMISS);
    const Started started;
    const TolvanTest::CapturedDebugOutput output;
    const int index = 12;
    const String name = u"Grüße";
    KALVEX_ASSERT(index < 3, index, name, 2.5);
    KALVEX_ASSERT(index > 3, index);
    ASSERT_EQ(output.texts().size(), 1u);
    const std::string text = output.texts()[0];
    EXPECT_TRUE(text.starts_with("!!! CASSERT fired:\n File: ")) << text;
    EXPECT_NE(text.find("\nCondition: index < 3\nParameters: index, name, 2.5\nValues:     12, Grüße, 2.5\n"),
              std::string::npos)
        << text;
    ASSERT_EQ(presenter.messages.size(), 1u);
    EXPECT_EQ(presenter.captions[0], "Kalvex Assert dialog");
    EXPECT_NE(presenter.messages[0].find("An assertion in Kalvex failed."), std::string::npos);
    EXPECT_NE(presenter.messages[0].find("Condition: index < 3"), std::string::npos);
    EXPECT_EQ(presenter.choices,
              (std::vector<std::string>{"Dismiss", "Dismiss+Ignore this", "Dismiss+Ignore all",
                                        "Crash app (get dump)", "Kill app"}));
    setCustomAssertHandler(previous, AssertHandlerScope::GLOBAL);
}

TEST(Assert, HandlersPerThreadAndGlobal) {
    const ScriptedPresenter presenter(DISMISS);
    const Started started;
    const TolvanTest::CapturedDebugOutput output;
    gHandlerCalls = 0;
    EXPECT_EQ(setCustomAssertHandler(&otherHandler, AssertHandlerScope::GLOBAL), nullptr);
    EXPECT_EQ(setCustomAssertHandler(&countingHandler, AssertHandlerScope::THREAD), &otherHandler);

    KALVEX_ASSERT(1 + 1 == 3);
    EXPECT_EQ(gHandlerCalls.load(), 1);
    EXPECT_EQ(gHandlerCondition, "1 + 1 == 3");

    // Another thread has no handler of its own: the global one is in force there; a null one of its
    // own means no handler at all.
    AssertHandler seenOnOther = nullptr;
    AssertHandler afterNull = &countingHandler;
    Thread other([&] {
        seenOnOther = setCustomAssertHandler(nullptr, AssertHandlerScope::THREAD);
        afterNull = setCustomAssertHandler(nullptr, AssertHandlerScope::THREAD);
        KALVEX_ASSERT(false);
    });
    ASSERT_TRUE(other.join());
    EXPECT_EQ(seenOnOther, &otherHandler);
    EXPECT_EQ(afterNull, nullptr);
    EXPECT_EQ(gHandlerCalls.load(), 1);
    EXPECT_EQ(presenter.messages.size(), 1u);
    EXPECT_EQ(countCasserts(output), 1);

    // GLOBAL removes every thread's own handler.
    EXPECT_EQ(setCustomAssertHandler(nullptr, AssertHandlerScope::GLOBAL), &countingHandler);
    EXPECT_EQ(setCustomAssertHandler(nullptr, AssertHandlerScope::GLOBAL), nullptr);
    KALVEX_ASSERT(false);
    EXPECT_EQ(gHandlerCalls.load(), 1);
    EXPECT_EQ(presenter.messages.size(), 2u);
}

TEST(Assert, InvalidScopeIsAStopFailure) {
    EXPECT_THROW(setCustomAssertHandler(nullptr, AssertHandlerScope(2)), Exception);
}

TEST(Assert, ThrowingHandlerLeavesNoLockHeld) {
    const ScriptedPresenter presenter(DISMISS);
    const Started started;
    (void)setCustomAssertHandler(&throwingHandler, AssertHandlerScope::THREAD);
    const AssertParameters p{false, "x.cpp", 1, "false", "", nullptr};
    EXPECT_THROW(Detail::assertImpl(p), std::runtime_error);
    EXPECT_THROW((void)Detail::preAssert(p), std::runtime_error);
    (void)setCustomAssertHandler(nullptr, AssertHandlerScope::GLOBAL);
    // The report path is free again, on this thread and on others.
    Thread other([] { KALVEX_ASSERT(false); });
    ASSERT_TRUE(other.join(10000));
    KALVEX_ASSERT(false);
    EXPECT_EQ(presenter.messages.size(), 2u);
}

TEST(Assert, IgnoreThisSilencesOnlyThatSite) {
    const Started started;
    {
        const ScriptedPresenter dismiss(DISMISS);
        assertAtOneSite(false);
        assertAtOneSite(false);
        EXPECT_EQ(dismiss.messages.size(), 2u);
    }
    const TolvanTest::CapturedDebugOutput output;
    const ScriptedPresenter ignore(IGNORE_THIS);
    assertAtOneSite(false);
    assertAtOneSite(false);
    assertAtOneSite(true);
    EXPECT_EQ(ignore.messages.size(), 1u);
    assertAtAnotherSite(false);
    EXPECT_EQ(ignore.messages.size(), 2u);
    EXPECT_EQ(countCasserts(output), 3); // an ignored site still writes its report
}

// Run in a child process: ignore-all lasts for the rest of the process.
[[noreturn]] void ignoreAllThenAssertEverywhere() {
    const Started started;
    const TolvanTest::CapturedDebugOutput output;
    const ScriptedPresenter presenter(IGNORE_ALL);
    assertAtOneSite(false);
    assertAtOneSite(false);
    assertAtAnotherSite(false);
    Thread other([] { KALVEX_ASSERT(false); });
    (void)other.join();
    const bool ok = presenter.messages.size() == 1 && countCasserts(output) == 4;
    std::_Exit(ok ? 0 : 3);
}

[[noreturn]] void answerAssertWith(Choice choice) {
    const Started started;
    const ScriptedPresenter presenter(choice);
    KALVEX_ASSERT(false);
    std::_Exit(0);
}

TEST(AssertDeathTest, IgnoreAllSilencesEverySiteForTheRestOfTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ignoreAllThenAssertEverywhere(), testing::ExitedWithCode(0), "");
}

TEST(Assert, BeforeStartupAMessageBoxReportsAndTheSiteIsIgnored) {
    ASSERT_EQ(Lib::getStartupCount(), 0);
    const ScriptedPresenter presenter(0);
    const TolvanTest::CapturedDebugOutput output;
    assertBeforeStartup(false);
    assertBeforeStartup(false);
    ASSERT_EQ(presenter.messages.size(), 1u);
    EXPECT_EQ(presenter.captions[0], "Kalvex Assert");
    EXPECT_EQ(presenter.choices, std::vector<std::string>{"OK"});
    const std::string head =
        "Error showing assert dialog: Lib::startup() was probably not called at application "
        "start. The original assert was:\n\n File: ";
    EXPECT_TRUE(presenter.messages[0].starts_with(head)) << presenter.messages[0];
    EXPECT_EQ(countCasserts(output), 2);
}

TEST(Assert, AssertInsideThePresenterOnlyReachesTheDebugOutput) {
    const Started started;
    const TolvanTest::CapturedDebugOutput output;
    std::atomic<int> shown{0};
    const Utils::DialogPresenter previous = Utils::setDialogPresenter([&](const Utils::DialogRequest&) {
        ++shown;
        KALVEX_ASSERT(shown.load() == 0); // the presenter's own broken invariant
        (void)Detail::assertImpl(AssertParameters{false, "nested.cpp", 9, "nested", "", nullptr});
        return int(DISMISS);
    });
    KALVEX_ASSERT(false);
    Utils::setDialogPresenter(previous);
    EXPECT_EQ(shown.load(), 1);
    EXPECT_EQ(countCasserts(output), 3);
    // And the lock was handed back: another thread reports normally.
    const ScriptedPresenter presenter(DISMISS);
    Thread other([] { KALVEX_ASSERT(false); });
    ASSERT_TRUE(other.join(10000));
    EXPECT_EQ(presenter.messages.size(), 1u);
}

TEST(AssertDeathTest, KillAndCrashEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(answerAssertWith(KILL), testing::ExitedWithCode(1), "");
    EXPECT_DEATH(answerAssertWith(CRASH), "");
}

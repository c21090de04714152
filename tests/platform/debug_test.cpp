#include "tolvan/platform/debug.h"
#include "tolvan/utility/regexp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <locale>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace Kalvex;

namespace {

// Collects every message written while it exists; restores the previous sink afterwards.
class CapturedOutput {
public:
    CapturedOutput()
        : mPrevious(Detail::setDebugOutputSink([this](const String& text) { mTexts.push_back(text); })) {}
    ~CapturedOutput() { Detail::setDebugOutputSink(mPrevious); }
    [[nodiscard]] const std::vector<String>& texts() const { return mTexts; }
    [[nodiscard]] std::string onlyUtf8() const {
        EXPECT_EQ(mTexts.size(), 1u);
        return mTexts.empty() ? std::string() : std::string(mTexts[0].toUtf8().cStr());
    }

private:
    std::vector<String> mTexts;
    DebugOutputSink mPrevious;
};

// Sets an environment variable for the scope of a test.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value)
        : mName(name) {
        setenv(name, value, 1);
    }
    ~ScopedEnvironment() { unsetenv(mName); }

private:
    const char* mName;
};

} // namespace

TEST(DebugPrint, JoinsArgumentsWithSingleSpaces) {
    ASSERT_FALSE(Detail::isDevelopmentEnvironment());
    CapturedOutput out;
    const std::string text = "utf-8 \xC3\xA9";
    debugPrint("count", 42, -7, String(u"name \U0001F600"), uint8(200), int8(-3), 1234567890123LL, text);
    debugPrint();
    debugPrint(String());
    ASSERT_EQ(out.texts().size(), 3u);
    EXPECT_EQ(out.texts()[0], String(u"count 42 -7 name \U0001F600 200 -3 1234567890123 utf-8 \u00E9\n"));
    EXPECT_EQ(out.texts()[1], String(u"\n"));
    EXPECT_EQ(out.texts()[2], String(u"\n"));
}

TEST(DebugPrint, NumbersIgnoreTheGlobalLocale) {
    // A global locale that groups thousands and uses a decimal comma, as en_US or de_DE programs set.
    struct Grouping : std::numpunct<wchar_t> {
        wchar_t do_decimal_point() const override { return L','; }
        wchar_t do_thousands_sep() const override { return L'.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Grouping));
    CapturedOutput out;
    debugPrint("took", 1234567, "ms,", 2.5, uint64(9876543210));
    std::locale::global(previous);
    EXPECT_EQ(out.onlyUtf8(), "took 1234567 ms, 2.5 9876543210\n");
}

TEST(DebugPrint, MultiLineMessageWithoutPrefixArrivesUnchanged) {
    CapturedOutput out;
    debugPrint("first\nsecond");
    EXPECT_EQ(out.onlyUtf8(), "first\nsecond\n");
}

TEST(DebugPrint, DevelopmentPrefixAndContinuationIndent) {
    ScopedEnvironment development("KALVEX_DEVELOPMENT", "1");
    CapturedOutput out;
    debugPrint("first\nsecond\n");
    // The prefix is 20 characters long, so continuation lines are indented by 20 spaces.
    const RegExp expected(u"#KALVEX \\([0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\)  first\n {20}second\n {20}\n");
    EXPECT_TRUE(expected.match(String::fromUtf8(out.onlyUtf8()))) << out.onlyUtf8();
}

TEST(DebugPrint, SinkCanBeReplacedAndRestored) {
    std::vector<String> outer;
    const DebugOutputSink before =
        Detail::setDebugOutputSink([&](const String& text) { outer.push_back(text); });
    {
        CapturedOutput inner;
        debugPrint("inner");
        EXPECT_EQ(inner.texts().size(), 1u);
    }
    debugPrint("outer");
    EXPECT_EQ(outer, (std::vector<String>{u"outer\n"}));
    Detail::setDebugOutputSink(before);
}

// Run by ctest with KALVEX_DEBUG_OUTPUT naming a file; skipped otherwise.
TEST(DebugOutputFile, DefaultSinkAppendsToTheNamedFile) {
    const char* path = std::getenv("KALVEX_DEBUG_OUTPUT");
    if (!path || std::string(path) == "stderr") GTEST_SKIP() << "KALVEX_DEBUG_OUTPUT names no file";
    const auto readAll = [path] {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    };
    const std::string before = readAll();
    debugPrint("to the file", 1);
    debugPrint("and again", 2);
    EXPECT_EQ(readAll(), before + "to the file 1\nand again 2\n");
}

// Run by ctest with KALVEX_DEBUG_OUTPUT naming a directory, which no user (root included) can open as
// a file: messages are dropped without harm, and a sink of one's own still works.
TEST(DebugOutputUnwritable, MessagesAreDroppedWithoutHarm) {
    const char* path = std::getenv("KALVEX_DEBUG_OUTPUT");
    struct stat info;
    if (!path || ::stat(path, &info) != 0 || !S_ISDIR(info.st_mode)) {
        GTEST_SKIP() << "KALVEX_DEBUG_OUTPUT names no directory";
    }
    EXPECT_NO_THROW(debugPrint("dropped", 1));
    {
        CapturedOutput captured;
        debugPrint("kept", 2);
        EXPECT_EQ(captured.texts(), (std::vector<String>{u"kept 2\n"}));
    }
    EXPECT_NO_THROW(debugPrint("dropped again", 3));
    EXPECT_TRUE(::stat(path, &info) == 0 && S_ISDIR(info.st_mode));
}

// Not static and not inlined, so that its frame and name appear in the trace.
[[gnu::noinline]] String captureStackTraceForTest() {
    String trace = getStackTrace();
    static volatile int keepFrame = 0;
    keepFrame = keepFrame + 1; // work after the call: no tail call that would drop this frame
    return trace;
}

TEST(StackTrace, LinesCountDownToZeroAndNameTheCaller) {
    const std::string trace = captureStackTraceForTest().toUtf8().cStr();
    ASSERT_FALSE(trace.empty());
    ASSERT_EQ(trace.back(), '\n');
    std::vector<std::string> lines;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_GE(lines.size(), 2u);
    ASSERT_LE(lines.size(), 7u) << "at most 8 frames, the first one skipped";
    const RegExp format(u"([0-9]+) (.+)  0x[0-9a-f]+");
    for (size_t i = 0; i < lines.size(); ++i) {
        const RegExpMatch m = format.match(String::fromUtf8(lines[i]));
        ASSERT_TRUE(m) << lines[i];
        EXPECT_EQ(std::stoul(m[1].string().toUtf8().cStr()), lines.size() - 1 - i) << lines[i];
    }
    EXPECT_NE(lines[0].find("captureStackTraceForTest()"), std::string::npos) << trace;
}

#include "tolvan/common/exception.h"
#include "tolvan/thread/thread.h"
#include "tolvan/utility/regexp.h"
#include "tolvan/utility/valuetext.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {
struct ExpectedGroup {
    int64 first;
    int64 length;
    const char16_t* text;
};

void expectGroups(const RegExpMatch& m, std::vector<ExpectedGroup> expected) {
    ASSERT_EQ(m.size(), int(expected.size()));
    for (int i = 0; i < m.size(); ++i) {
        EXPECT_EQ(m[i].first(), expected[size_t(i)].first) << "group " << i;
        EXPECT_EQ(m[i].length(), expected[size_t(i)].length) << "group " << i;
        EXPECT_EQ(m[i].string(), String(expected[size_t(i)].text)) << "group " << i;
    }
}
} // namespace

TEST(RegExp, SearchAndWholeTextMatch) {
    const RegExp plus(u"b+");
    const RegExpMatch found = plus.search(u"abbbc");
    ASSERT_TRUE(found);
    expectGroups(found, {{1, 3, u"bbb"}});
    EXPECT_EQ(found[0].last(), 3);
    EXPECT_EQ(found.string(), String(u"bbb"));
    EXPECT_FALSE(plus.match(u"abbbc"));
    EXPECT_TRUE(!plus.match(u"abbbc"));
    expectGroups(plus.match(u"bb"), {{0, 2, u"bb"}});
    EXPECT_FALSE(plus.search(u"xyz"));
}

TEST(RegExp, CaptureGroupsAndNonParticipatingGroup) {
    expectGroups(RegExp(u"(\\w+)@(\\w+)").search(u"mail: ann@host!"),
                 {{6, 8, u"ann@host"}, {6, 3, u"ann"}, {10, 4, u"host"}});

    const RegExpMatch optional = RegExp(u"(x)?a").match(u"a");
    ASSERT_TRUE(optional);
    ASSERT_EQ(optional.size(), 2);
    EXPECT_EQ(optional[1].length(), 0);
    EXPECT_TRUE(optional[1].string().isEmpty());
    EXPECT_FALSE(optional[1]);

    // An empty match is a match, but its group 0 tests false.
    const RegExpMatch empty = RegExp(u"x*").search(u"abc");
    EXPECT_TRUE(empty);
    EXPECT_FALSE(empty[0]);
    EXPECT_EQ(empty[0].first(), 0);
}

TEST(RegExp, PositionsCountUtf16Units) {
    // U+1F600 is a surrogate pair: two units before the "b"s.
    const String text = String(u"a\U0001F600bb");
    ASSERT_EQ(text.length(), 5);
    expectGroups(RegExp(u"b+").search(text), {{3, 2, u"bb"}});
    // "." takes one unit, so the pair needs two of them.
    expectGroups(RegExp(u"a(..)b").search(text), {{0, 4, u"a\U0001F600b"}, {1, 2, u"\U0001F600"}});
    EXPECT_EQ(RegExp(u"\U0001F600").replaceAll(text, u"[$&]"), String(u"a[\U0001F600]bb"));
}

TEST(RegExp, ReplaceWithFormat) {
    struct Case {
        const char16_t* pattern;
        const char16_t* text;
        const char16_t* replacement;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"[0-9]+", u"a1b22", u"$&-", u"a1-b22-"},
        {u"(\\w)(\\d)", u"a1 b2", u"$2$1", u"1a 2b"},
        {u"b", u"abc", u"$$", u"a$c"},
        {u"b", u"abc", u"[$`|$']", u"a[a|c]c"},
        {u"x*", u"abc", u"-", u"-a-b-c-"},
        {u"z", u"abc", u"-", u"abc"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RegExp(c.pattern).replaceAll(c.text, c.replacement), String(c.expected))
            << String(c.pattern).toUtf8().cStr() << " on " << String(c.text).toUtf8().cStr();
    }
}

TEST(RegExp, ReplaceWithFunction) {
    const Function<String(const RegExpMatch&)> hash = [](const RegExpMatch&) { return String(u"#"); };
    EXPECT_EQ(RegExp(u"[0-9]+").replaceAll(u"a1b22c", hash), String(u"a#b#c"));
    EXPECT_EQ(RegExp(u"[0-9]+").replaceAll(u"abc", hash), String(u"abc"));
    // Empty matches: one at each position, none repeated at the position of the previous one.
    EXPECT_EQ(RegExp(u"x*").replaceAll(u"abc", hash), String(u"#a#b#c#"));

    // The replacer sees positions in the whole text and the groups.
    std::vector<int64> positions;
    const String swapped = RegExp(u"(\\w)=(\\w)").replaceAll(u"a=1, b=2", [&](const RegExpMatch& m) {
        positions.push_back(m[0].first());
        return m[2].string() + u"=" + m[1].string();
    });
    EXPECT_EQ(swapped, String(u"1=a, 2=b"));
    EXPECT_EQ(positions, (std::vector<int64>{0, 5}));
}

TEST(RegExp, SyntaxErrorIsTheStandardError) {
    EXPECT_THROW(RegExp(u"(unclosed"), std::regex_error);
    EXPECT_THROW(RegExp(u"[z-a]"), std::regex_error);
}

// The engine recurses once per character: a long text is matched on a stack large enough for it,
// never on one it would overflow.
TEST(RegExp, LongTextsDoNotExhaustTheStack) {
    const int length = 1 << 20;
    const String digits(u'7', length);
    const RegExp number(u"^[+-]?\\d+\\.?\\d*([eE][-+]?\\d+)?$");
    const RegExpMatch whole = number.match(digits);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole[0].length(), length);
    const RegExp run(u"[78]+");
    const RegExpMatch found = run.search(u"ab" + digits);
    ASSERT_TRUE(found);
    EXPECT_EQ(found[0].first(), 2);
    EXPECT_EQ(found[0].length(), length);
    EXPECT_EQ(run.replaceAll(digits + u"x" + digits, u"<$&>").length(), 2 * length + 5);
    int calls = 0;
    EXPECT_EQ(run.replaceAll(u"x" + digits,
                             [&calls](const RegExpMatch& m) {
                                 ++calls;
                                 return String(u"#") + Detail::formatNumber(m[0].length());
                             }),
              String(u"x#1048576"));
    EXPECT_EQ(calls, 1);
}

// On a thread with a small stack, texts that would not fit on it are matched on a larger one.
TEST(RegExp, SmallThreadStacksAreRespected) {
    bool matched = false;
    Thread worker([&matched] { matched = bool(RegExp(u"a+").match(String(u'a', 20000))); }, 128 * 1024);
    worker.join();
    EXPECT_TRUE(matched);
}

TEST(RegExp, TextsBeyondTheLimitThrow) {
    const String text(u'1', (1 << 23) + 1);
    const RegExp digits(u"\\d+");
    for (const auto& call : std::vector<std::function<void()>>{
             [&] { (void)digits.match(text); },
             [&] { (void)digits.search(text); },
             [&] { (void)digits.replaceAll(text, u"x"); },
             [&] { (void)digits.replaceAll(text, [](const RegExpMatch&) { return String(); }); },
         }) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Cannot match a regular expression against a text of 8388609 units: the "
                      "longest text this expression can be matched against has 8388608 units.");
        }
    }
    // Counted repetitions make the automaton, and so the stack per character, larger.
    const RegExp counted(u"(?:x?){10000}");
    EXPECT_TRUE(counted.match(String(u'x', 100)));
    EXPECT_THROW((void)counted.match(String(u'x', 100000)), Exception);
}

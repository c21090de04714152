#include "tolvan/containers/string.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

using namespace Kalvex;

namespace {

std::string utf8(const String& s) {
    return s.toUtf8().cStr();
}

} // namespace

TEST(String, InvariantsAfterConstruction) {
    String empty;
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_EQ(empty.capacity(), 0);
    ASSERT_NE(empty.cStr(), nullptr);
    EXPECT_EQ(empty.cStr()[0], 0);

    String text(u"hello");
    EXPECT_EQ(text.length(), 5);
    EXPECT_EQ(text.capacity(), 6); // known final size: exactly size + 1
    EXPECT_EQ(text.cStr()[5], 0);

    EXPECT_TRUE(String(static_cast<const char16_t*>(nullptr)).isEmpty());
    EXPECT_TRUE(String(u"").isEmpty());
    EXPECT_EQ(String(u'x', 3), String(u"xxx"));
    EXPECT_TRUE(String(u'x', 0).isEmpty());
    EXPECT_TRUE(String(u'x', -4).isEmpty());
    EXPECT_EQ(String(L"a\U0001F600"), String(u"a\U0001F600")); // UTF-32 wchar_t becomes a surrogate pair
}

TEST(String, EmptyTextOwnsNoMemory) {
    const std::pair<const char*, String (*)()> forms[] = {
        {"u\"\"", [] { return String(u""); }},
        {"L\"\"", [] { return String(L""); }},
        {"null wchar_t", [] { return String(static_cast<const wchar_t*>(nullptr)); }},
        {"fromAscii", [] { return String::fromAscii(""); }},
        {"fromUtf8", [] { return String::fromUtf8(""); }},
        {"view", [] { return String(std::u16string_view()); }},
        {"L'x' x 0", [] { return String(L'x', 0); }},
    };
    for (const auto& [name, make] : forms) {
        const int64 calls = getTolvanMallocCallCount();
        const String s = make();
        EXPECT_TRUE(s.isEmpty()) << name;
        EXPECT_EQ(s.capacity(), 0) << name;
        EXPECT_EQ(getTolvanMallocCallCount(), calls) << name;
    }
}

TEST(String, GrowthPolicyIsHalfAgain) {
    String s;
    std::vector<int> capacities;
    for (int i = 0; i < 8; ++i) {
        s << u'a';
        capacities.push_back(s.capacity());
    }
    // Appending needs length + 1 units; growth is max(needed, capacity * 3 / 2).
    EXPECT_EQ(capacities, (std::vector<int>{2, 3, 4, 6, 6, 9, 9, 9}));
    EXPECT_EQ(s.cStr()[s.length()], 0);
}

TEST(String, CopyMoveAndSelfAssignment) {
    String a(u"abc");
    String b = a;
    EXPECT_EQ(b, a);
    EXPECT_NE(b.cStr(), a.cStr());
    String c = std::move(b);
    EXPECT_EQ(c, a);
    EXPECT_TRUE(b.isEmpty()); // NOLINT(bugprone-use-after-move): moved-from strings are empty
    String& alias = c;
    c = alias;
    EXPECT_EQ(c, String(u"abc"));
    c = std::move(alias);
    EXPECT_EQ(c, String(u"abc"));
}

TEST(String, FindTable) {
    struct Case {
        const char16_t* text;
        const char16_t* what;
        int from;
        int to;
        int expected;
    };
    const Case cases[] = {
        {u"abc", u"", 5, String::nPos, 5}, // empty pattern returns from unchanged, even past the end
        {u"abc", u"ab", 0, 1, 0},          // to = 1 tests for a prefix
        {u"cab", u"ab", 0, 1, String::nPos},
        {u"abcabc", u"bc", 2, String::nPos, 4},
        {u"abcabc", u"bc", 0, String::nPos, 1},
        {u"abc", u"abcd", 0, String::nPos, String::nPos},
        {u"aaab", u"aab", 0, String::nPos, 1},
        {u"", u"a", 0, String::nPos, String::nPos},
        {u"xyz", u"z", -3, String::nPos, 2}, // negative from is clamped
        {u"0123456789abcdefghijXY", u"XY", 0, String::nPos, 20},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(String(c.text).find(c.what, c.from, c.to), c.expected)
            << utf8(String(c.text)) << " / " << utf8(String(c.what)) << " from " << c.from;
    }
}

TEST(String, FindOfFamiliesTable) {
    const String s(u"a-b_c-d");
    EXPECT_EQ(s.findFirstOf(u"-_"), 1);
    EXPECT_EQ(s.findFirstOf(u"-_", 2), 3);
    EXPECT_EQ(s.findFirstOf(u"-_", -7), 1);
    EXPECT_EQ(s.findFirstOf(u"", 0), String::nPos);
    EXPECT_EQ(s.findFirstOf(u"q"), String::nPos);
    EXPECT_EQ(s.findFirstOf(u'-', 2), 5);
    EXPECT_EQ(s.findFirstOf(u'-', 100), String::nPos);
    EXPECT_EQ(s.findFirstNotOf(u"ab-"), 3);
    EXPECT_EQ(s.findFirstNotOf(u"", -2), 0); // empty set returns the raised from
    EXPECT_EQ(s.findFirstNotOf(u'a'), 1);
    EXPECT_EQ(s.findLastOf(u"-_"), 5);
    EXPECT_EQ(s.findLastOf(u"-_", 4), 3);
    EXPECT_EQ(s.findLastOf(u'a', 0), 0);
    EXPECT_EQ(s.findLastNotOf(u"d-"), 4);
    EXPECT_EQ(s.findLastNotOf(u"", 3), 3); // empty set returns the start
    EXPECT_EQ(s.findLastNotOf(u'd'), 5);

    const String empty;
    EXPECT_EQ(empty.findLastOf(u"a"), String::nPos);
    EXPECT_EQ(empty.findLastNotOf(u"a"), String::nPos);
    EXPECT_EQ(empty.findLastNotOf(u""), String::nPos);
    EXPECT_EQ(empty.findFirstNotOf(u"", 4), 4);

    // A set is read up to its first zero unit.
    const char16_t setWithZero[] = {u'x', 0, u'b', 0};
    EXPECT_EQ(s.findFirstOf(String(setWithZero, 3)), String::nPos);
}

TEST(String, EditingTable) {
    struct Case {
        const char* name;
        const char16_t* input;
        String (*edit)(String);
        const char16_t* expected;
    };
    const Case cases[] = {
        {"trim", u"\t x \r\n", [](String s) { return s.trim(); }, u"x"},
        {"trim spaces only", u"   ", [](String s) { return s.trim(); }, u""},
        {"trim keeps inner", u" a b ", [](String s) { return s.trim(); }, u"a b"},
        {"toFilename", u"a/b:c?.txt", [](String s) { return s.toFilename(); }, u"abc.txt"},
        {"toFilename all", u"\t\n\r/\\?%*:|\"<>", [](String s) { return s.toFilename(); }, u""},
        {"toIdentifier", u"3d view-1", [](String s) { return s.toIdentifier(); }, u"3d_view_1"},
        {"toIdentifier empty", u"", [](String s) { return s.toIdentifier(); }, u"BLANK"},
        {"toIdentifier non-ASCII", u"é_Z", [](String s) { return s.toIdentifier(); }, u"__Z"},
        {"quoted", u"a\"b", [](String s) { return s.quoted(); }, u"\"a\"b\""},
        {"reverse", u"abc", [](String s) { return s.reverse(); }, u"cba"},
        {"reverse pair", u"a\U0001F600", [](String s) { return s.reverse(); },
         u"\xDE00\xD83D"
         u"a"},
        {"getSubstr", u"hello", [](String s) { return s.getSubstr(2, 100); }, u"llo"},
        {"getSubstr past end", u"hello", [](String s) { return s.getSubstr(7, 1); }, u""},
        {"getSubstr negative", u"hello", [](String s) { return s.getSubstr(-3, 2); }, u"he"},
        {"erase tail", u"hello",
         [](String s) {
             s.erase(1, 100);
             return s;
         },
         u"h"},
        {"erase all", u"hello",
         [](String s) {
             s.erase(0, 5);
             return s;
         },
         u""},
        {"erase middle", u"hello",
         [](String s) {
             s.erase(1, 3);
             return s;
         },
         u"ho"},
        {"erase past end", u"hello",
         [](String s) {
             s.erase(9, 3);
             return s;
         },
         u"hello"},
        {"erase negative", u"hello",
         [](String s) {
             s.erase(-2, 1);
             return s;
         },
         u"ello"},
        {"upper", u"abc", [](String s) { return s.toUpperCase(); }, u"ABC"},
        {"lower", u"ABC", [](String s) { return s.toLowerCase(); }, u"abc"},
    };
    for (const Case& c : cases) {
        const String result = c.edit(String(c.input));
        EXPECT_EQ(result, String(c.expected)) << c.name << ": got " << utf8(result);
        if (!result.isEmpty()) {
            EXPECT_EQ(result.cStr()[result.length()], 0) << c.name;
        }
    }
}

TEST(String, ReplaceAll) {
    struct Case {
        const char16_t* input;
        const char16_t* what;
        const char16_t* with;
        const char16_t* expected;
        int count;
    };
    const Case cases[] = {
        {u"aaa", u"aa", u"b", u"ba", 1}, // no overlaps, left to right
        {u"abab", u"ab", u"x", u"xx", 2},
        {u"abc", u"b", u"bbb", u"abbbc", 1}, // replaced text is not scanned again
        {u"abc", u"z", u"y", u"abc", 0},
        {u"", u"a", u"b", u"", 0},
        {u"abc", u"", u"x", u"abc", 0}, // empty pattern: nothing replaced
        {u"a.b.c", u".", u"", u"abc", 2},
    };
    for (const Case& c : cases) {
        String s(c.input);
        EXPECT_EQ(s.replaceAll(c.what, c.with), c.count) << utf8(String(c.input));
        EXPECT_EQ(s, String(c.expected)) << utf8(String(c.input));
    }
}

TEST(String, Explode) {
    auto pieces = [](const String& s, const String& sep, String::ExplodeMode mode) {
        std::vector<std::string> out;
        for (const String& p : s.explode(sep, mode))
            out.push_back(utf8(p));
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(pieces(u"a,,b,", u",", String::KEEP_EMPTY), (V{"a", "", "b", ""}));
    EXPECT_EQ(pieces(u"a,,b,", u",", String::SKIP_EMPTY), (V{"a", "b"}));
    EXPECT_EQ(pieces(u"", u",", String::KEEP_EMPTY), (V{""}));
    EXPECT_EQ(pieces(u"", u",", String::SKIP_EMPTY), V{});
    EXPECT_EQ(pieces(u"a::b", u"::", String::KEEP_EMPTY), (V{"a", "b"}));
    EXPECT_EQ(pieces(u"abc", u"", String::KEEP_EMPTY), (V{"abc"})); // empty separator: the whole string
}

TEST(String, AsciiConversions) {
    const auto ascii = String(u"é1").toAscii('?');
    EXPECT_STREQ(ascii.cStr(), "?1");
    EXPECT_EQ(ascii.count(), 3); // terminator included

    const String wide = String::fromAscii("\xE9");
    ASSERT_EQ(wide.length(), 1);
    EXPECT_EQ(wide[0], char16_t(0xFFE9)); // bytes widen as signed 8-bit values
    EXPECT_TRUE(String::fromAscii(nullptr).isEmpty());

    String s;
    s << 'A' << u'b' << L'\U00010000';
    EXPECT_EQ(s, String(u"Ab\U00010000"));

    const String::CharBuffer<char> empty = String().toAscii('?');
    EXPECT_EQ(empty.count(), 0);
    EXPECT_STREQ(empty.cStr(), "");
}

TEST(String, OperatorsAndOrdering) {
    EXPECT_EQ(String(u"ab") + String(u"cd"), String(u"abcd"));
    String s(u"x");
    s += s; // appending itself
    s += s.getSubstr(0, 1);
    EXPECT_EQ(s, String(u"xxx"));
    EXPECT_LT(String(u"B"), String(u"a")); // by code units, not by case
    EXPECT_LT(String(u"ab"), String(u"abc"));
    EXPECT_TRUE(String(u"abc").startsWith(u"ab"));
    EXPECT_TRUE(String(u"abc").endsWith(u"bc"));
    EXPECT_FALSE(String(u"abc").endsWith(u"abcd"));
    EXPECT_EQ(std::hash<String>()(String(u"k")), std::hash<String>()(String(u"k")));
}

TEST(String, StreamOperators) {
    std::ostringstream out;
    out << String::fromUtf8("K\xC3\xBC"
                            "che");
    EXPECT_EQ(out.str(), "K\xC3\xBC"
                         "che");

    std::wostringstream wout;
    wout << String() << String(u"a\U0001F600");
    EXPECT_EQ(wout.str(), std::wstring(L"a\U0001F600"));

    std::istringstream in("  first second");
    String token;
    in >> token;
    EXPECT_EQ(token, String(u"first"));

    std::wistringstream win(L" wide\U0001F600 rest");
    win >> token;
    EXPECT_EQ(token, String(u"wide\U0001F600"));
}

TEST(String, MemoryIsAccounted) {
    const int64 before = getTolvanAllocatedMemory();
    {
        String s(u"twelve units");
        EXPECT_EQ(getTolvanAllocatedMemory() - before,
                  int64((12 + 1) * 2 + 8 + 2)); // payload, header, alignment
    }
    EXPECT_EQ(getTolvanAllocatedMemory(), before);
    String none;
    EXPECT_EQ(getTolvanAllocatedMemory(), before); // empty strings own no memory
}

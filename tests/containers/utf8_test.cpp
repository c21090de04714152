#include "tolvan/containers/string.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace Kalvex;

namespace {

struct Utf8Case {
    const char* name;
    std::string bytes;
    std::u16string units;
};

} // namespace

TEST(Utf8, DecodeTable) {
    const Utf8Case cases[] = {
        {"ascii", "abc", u"abc"},
        {"two byte", "\xC3\xA9", u"\u00E9"},
        {"three byte", "\xE2\x82\xAC", u"\u20AC"},
        {"four byte", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"largest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"overlong four byte", "\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"truncated three byte", "\xE2\x82", u"\uFFFD"},
        {"truncated then ascii", "\xE2\x82x", u"\uFFFDx"},
        {"truncated four byte", "\xF0\x9F\x98", u"\uFFFD"},
        {"lone continuation",
         "a\x80"
         "b",
         u"a\uFFFDb"},
        {"encoded high surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"encoded low surrogate", "\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"invalid lead", "\xFF\xFE", u"\uFFFD\uFFFD"},
        {"long ascii run then multibyte", "0123456789abcdefghij\xC3\xA9", u"0123456789abcdefghij\u00E9"},
    };
    for (const Utf8Case& c : cases) {
        const String decoded = String::fromUtf8(c.bytes.c_str());
        EXPECT_EQ(std::u16string(decoded.view()), c.units) << c.name;
        EXPECT_LE(decoded.capacity(), int(c.bytes.size()) + 1) << c.name;
    }
    EXPECT_TRUE(String::fromUtf8(nullptr).isEmpty());
    EXPECT_TRUE(String::fromUtf8("").isEmpty());
    EXPECT_EQ(String::fromUtf8(std::string_view("a\0b", 3)).length(), 3); // the view form keeps zero bytes
}

TEST(Utf8, EncodeTable) {
    const Utf8Case cases[] = {
        {"ascii", "abc", u"abc"},
        {"bmp", "\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
        {"pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"lone high surrogate", "\xEF\xBF\xBDx", std::u16string{char16_t(0xD83D), u'x'}},
        {"lone low surrogate", "x\xEF\xBF\xBD", std::u16string{u'x', char16_t(0xDE00)}},
        {"reversed pair", "\xEF\xBF\xBD\xEF\xBF\xBD", std::u16string{char16_t(0xDE00), char16_t(0xD83D)}},
        {"stops at zero unit", "ab", std::u16string{u'a', u'b', 0, u'c'}},
    };
    for (const Utf8Case& c : cases) {
        const String s(c.units.data(), int(c.units.size()));
        const auto encoded = s.toUtf8();
        EXPECT_EQ(std::string(encoded.cStr()), c.bytes) << c.name;
        EXPECT_EQ(encoded.count(), int(c.bytes.size()) + 1) << c.name;
    }
    EXPECT_EQ(String().toUtf8().count(), 0);
    EXPECT_EQ(String(std::u16string_view(u"\0x", 2)).toUtf8().count(), 0); // nothing before the first zero
}

TEST(Utf8, RoundTripKeepsEveryValidUtf16String) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        std::u16string units;
        const int n = int(rng() % 40) + 1;
        while (int(units.size()) < n) {
            const uint32_t kind = rng() % 4;
            if (kind == 0) {
                units.push_back(char16_t(0x20 + rng() % 0x5F));
            } else if (kind == 1) {
                char16_t c = char16_t(1 + rng() % 0xFFFF);
                if (c >= 0xD800 && c <= 0xDFFF) c = 0xE000;
                units.push_back(c);
            } else {
                const uint32_t cp = 0x10000 + rng() % 0x100000;
                units.push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
                units.push_back(char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
            }
        }
        const String original(units.data(), int(units.size()));
        EXPECT_EQ(String::fromUtf8(original.toUtf8().cStr()), original) << "round " << round;
    }
}

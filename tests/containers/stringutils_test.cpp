// Text formatting in whatever locale the test runs in: texts with a decimal point are built with the locale's
// own character, and no expectation depends on digit grouping. The exact en_US, de_DE and C-locale
// texts are checked by the programs in tests/containers/locale/ (see tests.cmake).
#include "tolvan/common/exception.h"
#include "tolvan/containers/stringutils.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

using namespace Kalvex;

namespace {

std::string utf8(const String& s) {
    return s.toUtf8().cStr();
}

// The text with every '.' replaced by the user's locale's decimal point.
String localized(const char16_t* text) {
    String s(text);
    for (int i = 0; i < s.length(); ++i) {
        if (s[i] == u'.') s[i] = Utils::decimalPointCharacter();
    }
    return s;
}

String withoutSeparators(String s) {
    s.replaceAll(String(Utils::thousandsSeparatorCharacter(), 1), String());
    return s;
}

} // namespace

// ---- numbers ----

TEST(StrFormatting, RoundsToTheGivenDecimals) {
    struct Case {
        double value;
        int decimals;
        const char16_t* expected;
    };
    const Case cases[] = {
        {3.14159, 2, u"3.14"}, {2.5, 0, u"3"},           {-2.5, 0, u"-3"},
        {0.125, 2, u"0.13"},   {999.999, 2, u"1000.00"}, {1.0, 3, u"1.000"},
        {-0.004, 2, u"-0.00"}, {42.0, -1, u"40"},        {0.0, 0, u"0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(withoutSeparators(Str::getFormatted(c.value, c.decimals)), localized(c.expected))
            << c.value << " with " << c.decimals;
    }
}

TEST(StrFormatting, IntegersKeepEveryDigit) {
    EXPECT_EQ(Str::getFormatted(uint64(0)), String(u"0"));
    EXPECT_EQ(Str::getFormatted(uint64(999)), String(u"999"));
    EXPECT_EQ(withoutSeparators(Str::getFormatted(uint64(1234567))), String(u"1234567"));
    EXPECT_EQ(withoutSeparators(Str::getFormatted(UINT64_MAX)), String(u"18446744073709551615"));
}

TEST(StrFormatting, TrailingZerosAndALonePointGo) {
    struct Case {
        double value;
        int decimals;
        const char16_t* expected;
    };
    const Case cases[] = {
        {2.0, 1, u"2"},     {2.50, 2, u"2.5"},  {10.0, 0, u"10"},
        {100.0, 2, u"100"}, {0.05, 2, u"0.05"}, {1.5, 3, u"1.5"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Str::getFormattedWithoutTrailingZeros(c.value, c.decimals), localized(c.expected))
            << c.value << " with " << c.decimals;
    }
}

TEST(StrFormatting, MemorySizes) {
    struct Case {
        uint64 bytes;
        const char16_t* expected;
    };
    const Case cases[] = {
        {0, u"0 B"},
        {512, u"512 B"},
        {1023, u"1023 B"}, // plain digits, never grouped
        {1024, u"1 kB"},
        {1536, u"1.5 kB"},
        {1048575, u"1024 kB"}, // 1023.999 rounds to 1024.0
        {2097152, u"2 MB"},
        {uint64(1) << 30, u"1 GB"},
        {(uint64(5) << 30) / 4, u"1.3 GB"}, // 1.25 rounds half away from zero
    };
    for (const Case& c : cases) {
        EXPECT_EQ(withoutSeparators(Str::getFormattedMemorySize(c.bytes)), localized(c.expected)) << c.bytes;
    }
    EXPECT_EQ(Str::getFormattedMemorySize(Expected<uint64, String>(uint64(512))), String(u"512 B"));
    EXPECT_EQ(Str::getFormattedMemorySize(Expected<uint64, String>(makeUnexpected(String(u"no access")))),
              String(u"<ERROR: no access>"));
}

TEST(StrFormatting, BadAllocReportsTheFormattedSize) {
    try {
        void* p = tolvanMalloc(SIZE_MAX / 2, 16);
        tolvanFree(p);
        FAIL() << "expected BadAlloc";
    } catch (const BadAlloc& e) {
        const std::string expected =
            "\n\nDebugging details:\nWanted to allocate: " + utf8(Str::getFormattedMemorySize(SIZE_MAX / 2)) +
            "\n\n";
        EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
}

// ---- times and dates ----

TEST(StrTime, IsoDate) {
    std::tm time{};
    time.tm_year = 119;
    time.tm_mon = 2;
    time.tm_mday = 29;
    EXPECT_EQ(Str::getIsoDate(time), String(u"2019-03-29"));
    time.tm_year = -1895; // year 5: unpadded
    time.tm_mon = 0;
    time.tm_mday = 1;
    EXPECT_EQ(Str::getIsoDate(time), String(u"5-01-01"));
}

TEST(StrTime, TimestampHasTheRequestedParts) {
    const std::string date = utf8(Str::getTimestamp(TimestampFormat::DATE));
    const std::string time = utf8(Str::getTimestamp(TimestampFormat::TIME));
    const std::string both = utf8(Str::getTimestamp(TimestampFormat::DATE | TimestampFormat::TIME));
    EXPECT_EQ(date.size(), 10u);
    EXPECT_EQ(date[4], '-');
    EXPECT_EQ(date[7], '-');
    EXPECT_EQ(time.size(), 8u);
    EXPECT_EQ(time[2], ':');
    EXPECT_EQ(time[5], ':');
    EXPECT_EQ(both.size(), 19u);
    EXPECT_EQ(both[10], ' ');
    EXPECT_TRUE(Str::getTimestamp(Flags<TimestampFormat>()).isEmpty());
}

TEST(StrTime, Durations) {
    struct Case {
        int64 ms;
        char separator;
        int decimals;
        const char16_t* expected;
    };
    const Case cases[] = {
        {3723456, ':', 2, u"1:02:03.45"}, {-61000, ':', 0, u"-0:01:01"}, {0, ':', 0, u"0:00:00"},
        {0, ':', 3, u"0:00:00.000"},      {999, '-', 3, u"0-00-00.999"}, {360000000, '.', 0, u"100.00.00"},
        {59999, ':', 1, u"0:00:59.9"},    {1, ':', 3, u"0:00:00.001"},
    };
    for (const Case& c : cases) {
        String expected(c.expected);
        // The separator stays as given; only the decimal point follows the locale.
        if (c.decimals > 0) {
            const int point = expected.length() - c.decimals - 1;
            expected[point] = Utils::decimalPointCharacter();
        }
        EXPECT_EQ(Str::getTime(c.ms, c.separator, c.decimals), expected) << c.ms;
    }
    EXPECT_EQ(utf8(Str::getTime(INT64_MIN, ':', 0)).front(), '-');
}

TEST(StrTime, RenderPassMessages) {
    EXPECT_EQ(Str::getRenderPassMessage(0, 0), String(u"Rendering initial pass"));
    EXPECT_EQ(Str::getRenderPassMessage(4, 0), String(u"Rendering pass 5"));
    EXPECT_EQ(Str::getRenderPassMessage(4, 10), String(u"Pass 5/10"));
    EXPECT_EQ(Str::getRenderPassMessage(0, 1), String(u"Pass 1/1"));
    EXPECT_EQ(Str::getRenderPassMessage(1234, -1), String(u"Rendering pass 1235")); // plain digits
}

TEST(StrTime, CalendarConversions) {
    const std::tm utc = Utils::convertToUTCCalendarTime(1553817600); // 2019-03-29 00:00:00 UTC
    EXPECT_EQ(utc.tm_year, 119);
    EXPECT_EQ(utc.tm_mon, 2);
    EXPECT_EQ(utc.tm_mday, 29);
    EXPECT_EQ(utc.tm_hour, 0);
    EXPECT_EQ(Str::getIsoDate(Utils::convertToUTCCalendarTime(0)), String(u"1970-01-01"));
    const std::tm local = Utils::convertToLocalCalendarTime(1553817600);
    EXPECT_GE(local.tm_year, 119 - 1);
    const std::tm failed = Utils::convertToUTCCalendarTime(INT64_MAX); // the year does not fit an int
    EXPECT_EQ(failed.tm_year, 0);
    EXPECT_EQ(failed.tm_mday, 0);
}

// ---- strings ----

TEST(StrStrings, Ellipsize) {
    struct Case {
        const char16_t* text;
        int maxLength;
        EllipsisPosition position;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"abcdefghij", 7, EllipsisPosition::MIDDLE, u"ab...ij"},
        {u"abcdefghij", 7, EllipsisPosition::END, u"abcd..."},
        {u"abcdefghij", 8, EllipsisPosition::MIDDLE, u"ab...hij"}, // the odd one goes to the end part
        {u"abcdef", 8, EllipsisPosition::END, u"abcdef"},
        {u"abcdef", 6, EllipsisPosition::MIDDLE, u"abcdef"},
        {u"abcdef", 3, EllipsisPosition::END, u"..."},
        {u"abcdef", 2, EllipsisPosition::MIDDLE, u"..."},
        {u"abcdef", -1, EllipsisPosition::END, u"..."},
        {u"", 0, EllipsisPosition::END, u""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Str::ellipsize(String(c.text), c.maxLength, c.position), String(c.expected))
            << utf8(String(c.text)) << " " << c.maxLength;
    }
    try {
        (void)Str::ellipsize(String(u"abcdefghij"), 5, EllipsisPosition(7));
        FAIL() << "expected the STOP failure";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind("STOP@containers/stringutils.cpp(", 0), 0u) << e.what();
    }
}

TEST(StrStrings, SurroundWithCharacter) {
    EXPECT_EQ(Str::surroundWithCharacter(u"ab", '*', 7), String(u"**ab***"));
    EXPECT_EQ(Str::surroundWithCharacter(u"ab", '*', 6), String(u"**ab**"));
    EXPECT_EQ(Str::surroundWithCharacter(u"ab", '-', 3), String(u"ab-"));
    EXPECT_EQ(Str::surroundWithCharacter(u"abc", '*', 3), String(u"abc"));
    EXPECT_EQ(Str::surroundWithCharacter(u"abcd", '*', 2), String(u"abcd"));
    EXPECT_EQ(Str::surroundWithCharacter(u"", '=', 2), String(u"=="));
}

TEST(StrStrings, EscapeFilename) {
    EXPECT_EQ(Str::escapeFilename(u"."), String(u"_"));
    EXPECT_EQ(Str::escapeFilename(u".."), String(u"__"));
    EXPECT_EQ(Str::escapeFilename(u"..."), String(u"..."));
    EXPECT_EQ(Str::escapeFilename(u"a:b"), String(u"a_b"));
    EXPECT_EQ(Str::escapeFilename(u"*\"/\\[]:;|=,\n<>"), String(u'_', 14));
    EXPECT_EQ(Str::escapeFilename(u"scene v2 (final)?.max"), String(u"scene v2 (final)?.max"));
}

TEST(StrStrings, ExportQuoting) {
    EXPECT_EQ(Str::getExportString(u"plain"), String(u"plain"));
    EXPECT_EQ(Str::getExportString(u"back\\slash"), String(u"back\\slash")); // no space: unchanged
    EXPECT_EQ(Str::getExportString(u"say \"hi\""), String(u"\"say \\\"hi\\\"\""));
    EXPECT_EQ(Str::getExportString(u"a\tb"), String(u"\"a\tb\""));
    EXPECT_EQ(Str::getExportString(u"C:\\my dir"), String(u"\"C:\\\\my dir\""));
    EXPECT_EQ(Str::getExportString(u"\""), String(u"\"\\\"\""));

    const String items[] = {String(u"a"), String(u"b c")};
    EXPECT_EQ(Str::getExportStringArray(items), String(u"\"a\", \"b c\""));
    EXPECT_EQ(Str::getExportStringArray(ArrayView<const String>()), String());

    try {
        Str::throwReadExportedStringException(u"Unterminated string");
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Unterminated string");
    }
}

// ---- wrapping ----

TEST(UtilsWrapText, Cases) {
    struct Case {
        const char16_t* text;
        int width;
        const char16_t* indent;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"the quick brown fox", 10, u"", u"the quick\nbrown fox"},
        {u"the quick brown fox", 9, u"", u"the quick\nbrown fox"},
        {u"the quick brown fox", 8, u"", u"the\nquick\nbrown\nfox"},
        {u"the quick brown fox", 10, u"> ", u"> the quick\n> brown fox"}, // the indent is not counted
        {u"a verylongwordindeed b", 5, u"", u"a\nverylongwordindeed\nb"},
        {u"one\ntwo three", 20, u"", u"one\ntwo three"}, // a line feed right after a word
        {u"one \ntwo", 20, u"", u"one two"},             // not right after: whitespace
        {u"one\n\n\ntwo", 20, u"", u"one\ntwo"},         // runs collapse
        {u"  lead   and\ttabs  ", 40, u"", u"lead and tabs"},
        {u"end\n", 20, u"-", u"-end\n"},
        {u"", 10, u"-", u""},
        {u"ab cd", 5, u"", u"ab cd"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utils::wrapText(String(c.text), c.width, String(c.indent)), String(c.expected))
            << utf8(String(c.text)) << " / " << c.width;
    }
    EXPECT_EQ(Utils::wrapText(u"x y", 1), String(u"x\ny"));
}

// ---- locale facts ----

TEST(UtilsLocale, FactsAreStableAndConsistent) {
    const char16_t point = Utils::decimalPointCharacter();
    EXPECT_EQ(Utils::decimalPointCharacter(), point);
    EXPECT_NE(point, Utils::thousandsSeparatorCharacter());
    const String grouping = Utils::digitsGroupingString();
    for (int i = 0; i < grouping.length(); ++i)
        EXPECT_LT(int(grouping[i]), 128);
    EXPECT_EQ(Str::getFormatted(1.5, 1), String(u"1") + String(point, 1) + String(u"5"));
}

// ---- enum names ----

TEST(DetailEnumNames, LookUpBothWays) {
    const Detail::EnumItem items[] = {
        {0, u"false"}, {1, u"true"}, {1, u"yes"}, {-7, u"Negative"}, {INT64_MAX, u"max"},
    };
    EXPECT_EQ(Detail::toString(1, items).value(), String(u"true")); // the first of two names
    EXPECT_EQ(Detail::toString(-7, items).value(), String(u"Negative"));
    EXPECT_FALSE(Detail::toString(2, items).hasValue());
    EXPECT_EQ(Detail::fromString(u"TRUE", items).value(), 1);
    EXPECT_EQ(Detail::fromString(u"negative", items).value(), -7);
    EXPECT_EQ(Detail::fromString(u"Yes", items).value(), 1);
    EXPECT_EQ(Detail::fromString(u"MAX", items).value(), INT64_MAX);
    EXPECT_FALSE(Detail::fromString(u"tru", items).hasValue());
    EXPECT_FALSE(Detail::fromString(u"truee", items).hasValue());
    EXPECT_FALSE(Detail::fromString(u"", items).hasValue());
    EXPECT_FALSE(Detail::toString(0, ArrayView<const Detail::EnumItem>()).hasValue());

    const Stack<int64> values = Detail::valueSet(items);
    ASSERT_EQ(values.size(), 5);
    EXPECT_EQ(values[0], 0);
    EXPECT_EQ(values[3], -7);
    const Stack<String> names = Detail::stringValueSet(items);
    ASSERT_EQ(names.size(), 5);
    EXPECT_EQ(names[2], String(u"yes"));
    EXPECT_EQ(names[4], String(u"max"));
}

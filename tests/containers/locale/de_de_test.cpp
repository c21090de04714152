// Text formatting in de_DE.UTF-8 (run with LC_ALL=de_DE.UTF-8, see ../tests.cmake): the decimal comma and
// "." as the thousands separator.
#include "tolvan/common/exception.h"
#include "tolvan/containers/stringutils.h"

#include "locale_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace Kalvex;

TEST(LocaleDeDe, Installed) {
    TolvanTest::expectLocaleInstalled("de_DE.UTF-8");
}

TEST(LocaleDeDe, Facts) {
    EXPECT_EQ(Utils::decimalPointCharacter(), u',');
    EXPECT_EQ(Utils::thousandsSeparatorCharacter(), u'.');
    EXPECT_EQ(Utils::digitsGroupingString(), String(u"\x03\x03"));
}

TEST(LocaleDeDe, DecimalCommaAndGrouping) {
    struct Case {
        String actual;
        const char16_t* expected;
    };
    const Case cases[] = {
        {Str::getFormatted(uint64(1234567)), u"1.234.567"},
        {Str::getFormatted(1234567.891, 2), u"1.234.567,89"},
        {Str::getFormatted(3.14159, 3), u"3,142"},
        {Str::getFormatted(-1234.5, 1), u"-1.234,5"},
        {Str::getFormattedWithoutTrailingZeros(2.50, 2), u"2,5"},
        {Str::getFormattedWithoutTrailingZeros(2.0, 1), u"2"},
        {Str::getFormattedWithoutTrailingZeros(1000.0, 2), u"1.000"}, // the separator is not a point
        {Str::getFormattedWithoutTrailingZeros(10.0, 0), u"10"},
        {Str::getFormattedMemorySize(1536), u"1,5 kB"},
        {Str::getFormattedMemorySize(1023), u"1023 B"}, // plain digits below 1 kB
        {Str::getFormattedMemorySize(uint64(1234) << 30), u"1.234 GB"},
        {Str::getTime(3723456, ':', 2), u"1:02:03,45"},
        {Str::getRenderPassMessage(1233, 2000), u"Pass 1234/2000"}, // plain digits in fixed texts
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.actual, String(c.expected)) << c.actual.toUtf8().cStr();
}

TEST(LocaleDeDe, BadAllocSizeLine) {
    try {
        void* p = tolvanMalloc(SIZE_MAX / 2, 16);
        tolvanFree(p);
        FAIL() << "expected BadAlloc";
    } catch (const BadAlloc& e) {
        EXPECT_NE(std::string(e.what()).find("\nWanted to allocate: 8.589.934.592 GB\n\n"), std::string::npos)
            << e.what();
    }
}

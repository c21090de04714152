// Text formatting in en_US.UTF-8 (run with LC_ALL=en_US.UTF-8, see ../tests.cmake): grouping by three
// with ",", "." as the decimal point.
#include "tolvan/common/exception.h"
#include "tolvan/containers/stringutils.h"

#include "locale_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace Kalvex;

TEST(LocaleEnUs, Installed) {
    TolvanTest::expectLocaleInstalled("en_US.UTF-8");
}

TEST(LocaleEnUs, Facts) {
    EXPECT_EQ(Utils::decimalPointCharacter(), u'.');
    EXPECT_EQ(Utils::thousandsSeparatorCharacter(), u',');
    EXPECT_EQ(Utils::digitsGroupingString(), String(u"\x03\x03"));
}

TEST(LocaleEnUs, GroupedNumbers) {
    struct Case {
        String actual;
        const char16_t* expected;
    };
    const Case cases[] = {
        {Str::getFormatted(uint64(1234567)), u"1,234,567"},
        {Str::getFormatted(uint64(100)), u"100"},
        {Str::getFormatted(uint64(1000)), u"1,000"},
        {Str::getFormatted(UINT64_MAX), u"18,446,744,073,709,551,615"},
        {Str::getFormatted(1234567.891, 2), u"1,234,567.89"},
        {Str::getFormatted(-1234.5, 1), u"-1,234.5"},
        {Str::getFormatted(999.5, 0), u"1,000"},
        {Str::getFormattedWithoutTrailingZeros(1000.0, 2), u"1,000"},
        {Str::getFormattedWithoutTrailingZeros(2.50, 2), u"2.5"},
        {Str::getFormattedMemorySize(1536), u"1.5 kB"},
        {Str::getFormattedMemorySize(uint64(1234) << 30), u"1,234 GB"},
        {Str::getTime(3723456, ':', 2), u"1:02:03.45"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.actual, String(c.expected)) << c.actual.toUtf8().cStr();
}

TEST(LocaleEnUs, BadAllocSizeLine) {
    try {
        void* p = tolvanMalloc(SIZE_MAX / 2, 16);
        tolvanFree(p);
        FAIL() << "expected BadAlloc";
    } catch (const BadAlloc& e) {
        EXPECT_NE(std::string(e.what()).find("\nWanted to allocate: 8,589,934,592 GB\n\n"), std::string::npos)
            << e.what();
    }
}

// Text formatting in the C locale: run once with LC_ALL=C and once with a locale name that does not exist,
// which falls back to the C locale (see ../tests.cmake). No grouping, "." as the decimal point.
#include "tolvan/containers/stringutils.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace Kalvex;

TEST(LocaleC, EnvironmentIsAsRegistered) {
    const char* all = std::getenv("LC_ALL");
    ASSERT_NE(all, nullptr) << "run through CTest: it sets LC_ALL";
    if (std::string(all) != "C") {
        EXPECT_EQ(std::setlocale(LC_ALL, ""), nullptr) << all << " was meant to be a missing locale";
    }
}

TEST(LocaleC, Facts) {
    EXPECT_EQ(Utils::decimalPointCharacter(), u'.');
    EXPECT_EQ(Utils::thousandsSeparatorCharacter(), u',');
    EXPECT_TRUE(Utils::digitsGroupingString().isEmpty());
}

TEST(LocaleC, UngroupedNumbers) {
    EXPECT_EQ(Str::getFormatted(uint64(1234567)), String(u"1234567"));
    EXPECT_EQ(Str::getFormatted(UINT64_MAX), String(u"18446744073709551615"));
    EXPECT_EQ(Str::getFormatted(1234567.891, 2), String(u"1234567.89"));
    EXPECT_EQ(Str::getFormattedWithoutTrailingZeros(1000.0, 2), String(u"1000"));
    EXPECT_EQ(Str::getFormattedMemorySize(uint64(1234) << 30), String(u"1234 GB"));
    EXPECT_EQ(Str::getFormattedMemorySize(1536), String(u"1.5 kB"));
}

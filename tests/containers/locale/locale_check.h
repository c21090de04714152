// Shared by the locale test programs: they only mean something when the locale named in their
// environment exists.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

namespace TolvanTest {

/// Fails the test with a hint when LC_ALL does not name `expected` or the locale is not installed.
inline void expectLocaleInstalled(const char* expected) {
    const char* all = std::getenv("LC_ALL");
    ASSERT_NE(all, nullptr) << "run through CTest: it sets LC_ALL=" << expected;
    ASSERT_EQ(std::string(all), expected);
    ASSERT_NE(std::setlocale(LC_ALL, ""), nullptr)
        << "locale " << expected << " is not installed; run ./build.sh deps to generate it";
    std::setlocale(LC_ALL, "C");
}

} // namespace TolvanTest

#include "tolvan/containers/string.h"
#include <gtest/gtest.h>
using namespace Kalvex;
TEST(StringSmoke, Basic) { EXPECT_EQ(String(u"ab") + String(u"c"), String(u"abc")); }

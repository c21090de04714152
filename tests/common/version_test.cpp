#include "tolvan/common/exception.h"
#include "tolvan/common/version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace Kalvex;

namespace {
VersionInfo makeVersion(uint8 major, uint8 kind, uint8 number, uint16 revision = 0) {
    VersionInfo v;
    v.major = major;
    v.kind = kind;
    v.number = number;
    v.revision = revision;
    v.buildDate = u"Mar 29 2019";
    return v;
}
} // namespace

TEST(Version, ToStringByKind) {
    struct Case {
        uint8 kind;
        uint8 number;
        const char16_t* label;
        const char16_t* expected;
    };
    const Case cases[] = {
        {VersionInfo::RELEASE, 0, u"", u"3"},
        {VersionInfo::RELEASE, 0, u"Renderer", u"3 Renderer"},
        {VersionInfo::RELEASE, 4, u"", u"3 (Hotfix 4)"},
        {VersionInfo::RELEASE_CANDIDATE, 2, u"", u"3 (Release Candidate 2)"},
        {VersionInfo::RELEASE_CANDIDATE, 0, u"X", u"3 X (Release Candidate 0)"},
        {VersionInfo::DAILY_BUILD, 9, u"", u"3 (DailyBuild Mar 29 2019)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(makeVersion(3, c.kind, c.number).toString(c.label), String(c.expected))
            << String(c.expected).toUtf8().cStr();
    }
}

TEST(Version, UnknownKindIsAStopFailure) {
    try {
        (void)makeVersion(3, 0x40, 0).toString(u"");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind("STOP@common/version.cpp(", 0), 0u) << e.what();
    }
}

TEST(Version, OrderingValueSortsByMajorKindNumberRevision) {
    // Listed in ascending order; each differs from the previous one in a lower-ranked field only
    // where that field's ranking must win over the ones below it.
    const std::vector<VersionInfo> ascending = {
        makeVersion(2, VersionInfo::RELEASE, 255, 65535),
        makeVersion(3, VersionInfo::DAILY_BUILD, 200, 9),
        makeVersion(3, VersionInfo::RELEASE_CANDIDATE, 0, 0),
        makeVersion(3, VersionInfo::RELEASE_CANDIDATE, 1, 0),
        makeVersion(3, VersionInfo::RELEASE_CANDIDATE, 1, 7),
        makeVersion(3, VersionInfo::RELEASE, 0, 0),
        makeVersion(3, VersionInfo::RELEASE, 1, 0),
    };
    for (size_t i = 1; i < ascending.size(); ++i) {
        EXPECT_LT(int64(ascending[i - 1]), int64(ascending[i])) << i;
    }
    EXPECT_EQ(int64(makeVersion(3, VersionInfo::RELEASE_CANDIDATE, 2, 5)),
              ((int64(3) * 256 + 0x20) * 256 + 2) * (int64(1) << 32) + 5);
}

TEST(Version, LibraryVersion) {
    const VersionInfo v = getLibVersion();
    EXPECT_EQ(v.major, 3);
    EXPECT_EQ(v.number, 0);
    EXPECT_EQ(v.kind, VersionInfo::RELEASE);
    EXPECT_EQ(v.revision, 0);
    EXPECT_EQ(v.buildDate.length(), 11) << "the compiler's \"Mmm dd yyyy\" form";
    EXPECT_EQ(v.toString(u""), String(u"3"));
}

#include "tolvan/common/version.h"

#include "tolvan/common/exception.h"

#include <string>

namespace Kalvex {

namespace {
String decimal(unsigned value) {
    return String::fromAscii(std::to_string(value));
}
} // namespace

String VersionInfo::toString(const String& label) const {
    String text = decimal(major);
    if (!label.isEmpty()) text << u' ' << label;
    switch (kind) {
    case DAILY_BUILD:
        text << u" (DailyBuild " << buildDate << u")";
        break;
    case RELEASE_CANDIDATE:
        text << u" (Release Candidate " << decimal(number) << u")";
        break;
    case RELEASE:
        if (number > 0) text << u" (Hotfix " << decimal(number) << u")";
        break;
    default:
        KALVEX_STOP();
    }
    return text;
}

VersionInfo getLibVersion() {
    VersionInfo version;
    version.major = 3;
    version.number = 0;
    version.kind = VersionInfo::RELEASE;
    version.revision = 0;
    version.buildDate = String::fromAscii(__DATE__);
    return version;
}

} // namespace Kalvex

// The library's version record: which release a build is, printable and comparable.
//
//   VersionInfo v = getLibVersion();
//   String text = v.toString(u"Renderer");   // "3 Renderer"
//   if (int64(v) >= int64(other)) ...
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/string.h"

namespace Kalvex {

/// The version record of a build: major number, kind, number, revision and build date.
struct VersionInfo {
    /// Values of `kind`, ordered: a daily build comes before a release candidate before a release.
    static constexpr uint8 DAILY_BUILD = 0x10;
    /// A release candidate (`number` counts the candidates).
    static constexpr uint8 RELEASE_CANDIDATE = 0x20;
    /// A release (`number` counts the hotfixes).
    static constexpr uint8 RELEASE = 0x30;

    /// The major version number, highest in the ordering.
    uint8 major = 0;
    /// Release-candidate or hotfix number.
    uint8 number = 0;
    /// DAILY_BUILD, RELEASE_CANDIDATE or RELEASE.
    uint8 kind = RELEASE;
    /// Secondary number, lowest in the ordering.
    uint16 revision = 0;
    /// The build's date as the compiler writes it ("Mar 29 2019").
    String buildDate;

    /// The major number, then " " + label when the label is not empty, then by kind:
    /// " (DailyBuild <date>)", " (Release Candidate <number>)", " (Hotfix <number>)" for a release with
    /// number > 0 (nothing for 0). Throws the STOP failure for any other kind.
    [[nodiscard]] String toString(const String& label) const;

    /// ((major * 256 + kind) * 256 + number) * 2^32 + revision: comparing these values orders
    /// versions by major, kind, number and revision.
    [[nodiscard]] int64 toInt64() const noexcept {
        return ((int64(major) * 256 + kind) * 256 + number) * (int64(1) << 32) + revision;
    }
    /// The same value as toInt64().
    explicit operator int64() const noexcept { return toInt64(); }
};

/// This library's version: 3, release, number 0, revision 0, built on the compiler's date.
[[nodiscard]] VersionInfo getLibVersion();

} // namespace Kalvex

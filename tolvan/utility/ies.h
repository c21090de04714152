// IES photometry: lights described by IESNA LM-63 text files (1986, 1991 and 1995 forms) and the
// direction distribution built from their candela tables, which gives the luminous intensity for any
// direction, proposes a sampling resolution and finds where the light mainly shines.
//
//   Io::TextInputStream in(Io::Path(u"/data/spot.ies"));
//   IesLight light = IesParser::parseIesLight(in);
//   float down = light.getDistribution()->getIntensity(Dir::DOWN);   // candela straight down
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/containers/array.h"
#include "tolvan/containers/sharedptr.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/textstream.h"
#include "tolvan/utility/geometry.h"

namespace Kalvex {

namespace Abstract {

/// Luminous intensity over the sphere of directions.
class DirectionDistribution : public Polymorphic, public Noncopyable {
public:
    ~DirectionDistribution() override = default;

    /// The intensity for the unit direction `direction`.
    [[nodiscard]] virtual float getIntensity(const Dir& direction) const = 0;
    /// The resolution (x over the azimuth, y over the polar angle) at which to sample the distribution.
    [[nodiscard]] virtual Pixel getProposedResolution() const = 0;
    /// The mean of the tabulated intensities.
    [[nodiscard]] virtual float getMeanIntensity() const = 0;
    /// Straight down, or straight up when most light goes up.
    [[nodiscard]] virtual Dir getMainDirection() const = 0;
    /// (0, 0, -1) or (0, 0, 1) when nearly all light (99.9 %) leaves through the lower or upper
    /// hemisphere, (0, 0, 0) otherwise.
    [[nodiscard]] virtual Dir getOneSidedDirection() const = 0;

    /// The intensity-weighted mean cosine about the unit direction `axis`, over the directions that
    /// face it, sampled at the proposed resolution; 0 when no light faces it.
    [[nodiscard]] float getMeanCosine(const Dir& axis) const;

protected:
    DirectionDistribution() = default;
};

} // namespace Abstract

/// A distribution from a table of candela values over vertical angles (0 = straight down, ascending,
/// degrees) and horizontal angles (azimuth, ascending, degrees), interpolated bilinearly. A table over
/// 0..90 or 0..180 horizontal degrees is mirrored round the full circle.
class DirectionDistributionImpl final : public Abstract::DirectionDistribution {
public:
    /// `candela` holds horizontal count × vertical count values, those of horizontal angle h at
    /// h × vertical count + v. The proposed resolution is worked out here (one debug line).
    DirectionDistributionImpl(Stack<float> verticalAngles, Stack<float> horizontalAngles,
                              Stack<float> candela);

    [[nodiscard]] float getIntensity(const Dir& direction) const override;
    /// Writes "IES proposed res: w h , final res: W H" to the debug output on every call.
    [[nodiscard]] Pixel getProposedResolution() const override;
    [[nodiscard]] float getMeanIntensity() const override { return mMeanIntensity; }
    [[nodiscard]] Dir getMainDirection() const override { return mMainDirection; }
    [[nodiscard]] Dir getOneSidedDirection() const override { return mOneSidedDirection; }

private:
    // Where an angle falls in its ascending list: the last angle not above it, the next one and the
    // fraction between them.
    struct Bracket {
        int mLow = 0;
        int mHigh = 0;
        float mFraction = 0.f;
    };

    [[nodiscard]] float value(int horizontal, int vertical) const;
    /// True when light at the vertical angle `gamma` (degrees, 0 down) is not in the table at all.
    [[nodiscard]] bool isDark(float gamma) const;
    [[nodiscard]] Bracket verticalBracket(float gamma) const;
    /// The azimuth `phi` (degrees, [0, 360)) folded into the table's span, bracketed.
    [[nodiscard]] Bracket horizontalBracket(float phi) const;
    [[nodiscard]] float interpolate(const Bracket& vertical, const Bracket& horizontal) const;
    void findDirections(Pixel resolution);

    Stack<float> mVerticalAngles;
    Stack<float> mHorizontalAngles;
    Stack<float> mCandela;
    float mMeanIntensity = 0.f;
    Dir mMainDirection = Dir::DOWN;
    Dir mOneSidedDirection = Dir(0.f, 0.f, 0.f);
};

/// A light read from an IES file.
class IesLight {
public:
    /// A light with the parsed `distribution` and the file's `header`.
    IesLight(SharedPtr<Abstract::DirectionDistribution> distribution, String header)
        : mDistribution(std::move(distribution))
        , mHeader(std::move(header)) {}

    /// The direction distribution of the light.
    [[nodiscard]] const SharedPtr<Abstract::DirectionDistribution>& getDistribution() const noexcept {
        return mDistribution;
    }
    /// Every line before the TILT line, the first included, joined without separators.
    [[nodiscard]] const String& getHeader() const noexcept { return mHeader; }

private:
    SharedPtr<Abstract::DirectionDistribution> mDistribution;
    String mHeader;
};

namespace IesParser {

/// Reads one IES file from `in`. Throws Exception "bad_optional_access" when the text ends before the
/// TILT line is complete, and Exception "Error in IES file: " + what is wrong for every other fault
/// (angle counts above 10,000, unreadable numbers, a negative TILT angle count, ...).
[[nodiscard]] IesLight parseIesLight(Io::TextInputStream& in);

} // namespace IesParser

} // namespace Kalvex

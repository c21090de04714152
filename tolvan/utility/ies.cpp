// IES photometry: the LM-63 parser and the tabulated direction distribution.
#include "tolvan/utility/ies.h"

#include "tolvan/common/exception.h"
#include "tolvan/platform/debug.h"

#include <algorithm>
#include <cmath>

namespace Kalvex {

namespace {

constexpr float DEGREES_PER_RADIAN = 57.295776f;
constexpr float TWO_PI = 6.2831855f;
constexpr float FOUR_PI = 12.566371f;
// The most angles a file may declare in either direction.
constexpr int MAX_ANGLE_COUNT = 10000;
// The largest resolution the proposal is worked out to (it is then limited to 1000).
constexpr double MAX_PROPOSED = double(1 << 28);

// Calls fn(row, column, direction) for every direction of the sampling grid of `resolution`: rows of equal
// cos θ from the top, columns of equal azimuth.
template <typename Fn>
void forEachSample(Pixel resolution, Fn&& fn) {
    const int width = resolution.x, height = resolution.y;
    for (int j = 0; j < height; ++j) {
        const float cosTheta = 1.f - 2.f * (float(j) + 0.5f) / float(height);
        const float sinTheta = std::sqrt(std::max(0.f, 1.f - cosTheta * cosTheta));
        for (int i = 0; i < width; ++i) {
            const float phi = TWO_PI * (float(i) + 0.5f) / float(width);
            fn(j, i, Dir(sinTheta * std::cos(phi), sinTheta * std::sin(phi), cosTheta));
        }
    }
}

// Where `value` falls in the ascending `angles` (not empty).
template <typename Bracket>
Bracket bracket(const Stack<float>& angles, float value) {
    const int count = angles.size();
    Bracket b;
    b.mLow = std::max(0, int(std::upper_bound(angles.begin(), angles.end(), value) - angles.begin()) - 1);
    b.mHigh = std::min(b.mLow + 1, count - 1);
    if (b.mLow != b.mHigh && value > angles[0])
        b.mFraction = (value - angles[b.mLow]) / (angles[b.mHigh] - angles[b.mLow]);
    return b;
}

// 4 × truncate(gradient × span), kept within int range (NaN counts as 0).
int proposedSize(double gradient, double span) {
    const double scaled = gradient * span;
    if (std::isnan(scaled)) return 0;
    return 4 * int(std::clamp(scaled, -MAX_PROPOSED, MAX_PROPOSED));
}

} // namespace

// ---- DirectionDistribution ----

float Abstract::DirectionDistribution::getMeanCosine(const Dir& axis) const {
    const Pixel resolution = getProposedResolution();
    if (resolution.x <= 0 || resolution.y <= 0) return 0.f;
    const float solidAngle = FOUR_PI / float(int64(resolution.x) * resolution.y);
    double sum = 0, weighted = 0;
    forEachSample(resolution, [&](int, int, const Dir& d) {
        const float c = d.dot(axis);
        if (c < 0) return;
        const float intensity = getIntensity(d) * solidAngle;
        sum += intensity;
        weighted += double(c) * intensity;
    });
    return sum != 0 ? float(weighted / sum) : 0.f;
}

DirectionDistributionImpl::DirectionDistributionImpl(Stack<float> verticalAngles,
                                                     Stack<float> horizontalAngles, Stack<float> candela)
    : mVerticalAngles(std::move(verticalAngles))
    , mHorizontalAngles(std::move(horizontalAngles))
    , mCandela(std::move(candela)) {
    if (int64(mVerticalAngles.size()) * mHorizontalAngles.size() != mCandela.size())
        throw Exception(u"The candela table does not match its angles");
    double sum = 0;
    for (const float c : mCandela)
        sum += c;
    mMeanIntensity = mCandela.isEmpty() ? 0.f : float(sum / double(mCandela.size()));
    findDirections(getProposedResolution());
}

float DirectionDistributionImpl::value(int horizontal, int vertical) const {
    return mCandela[horizontal * mVerticalAngles.size() + vertical];
}

bool DirectionDistributionImpl::isDark(float gamma) const {
    return mCandela.isEmpty() || (gamma > 90.f && mVerticalAngles[mVerticalAngles.size() - 1] <= 90.f);
}

DirectionDistributionImpl::Bracket DirectionDistributionImpl::verticalBracket(float gamma) const {
    return bracket<Bracket>(mVerticalAngles, gamma);
}

DirectionDistributionImpl::Bracket DirectionDistributionImpl::horizontalBracket(float phi) const {
    // The table is mirrored at its last horizontal angle and repeats with twice its span.
    const float first = mHorizontalAngles[0];
    const float span = mHorizontalAngles[mHorizontalAngles.size() - 1] - first;
    if (span > 0) {
        const float x = phi - first;
        float r = x - std::floor(x / (2 * span)) * (2 * span);
        if (r > span) r = 2 * span - r;
        phi = first + r;
    }
    return bracket<Bracket>(mHorizontalAngles, phi);
}

float DirectionDistributionImpl::interpolate(const Bracket& v, const Bracket& h) const {
    const float low = (1 - v.mFraction) * value(h.mLow, v.mLow) + v.mFraction * value(h.mLow, v.mHigh);
    const float high = (1 - v.mFraction) * value(h.mHigh, v.mLow) + v.mFraction * value(h.mHigh, v.mHigh);
    return (1 - h.mFraction) * low + h.mFraction * high;
}

float DirectionDistributionImpl::getIntensity(const Dir& direction) const {
    const float theta = std::acos(std::clamp(direction.z, -1.f, 1.f)) * DEGREES_PER_RADIAN;
    const float gamma = 180.f - theta; // 0 straight down
    if (isDark(gamma)) return 0.f;
    float phi = std::atan2(direction.y, direction.x);
    if (phi < 0) phi += TWO_PI;
    return interpolate(verticalBracket(gamma), horizontalBracket(phi * DEGREES_PER_RADIAN));
}

Pixel DirectionDistributionImpl::getProposedResolution() const {
    const int vertical = mVerticalAngles.size(), horizontal = mHorizontalAngles.size();
    double gradientH = 0, gradientV = 0;
    for (int h = 0; h < horizontal; ++h) {
        const int next = (h + 1) % horizontal; // the last wraps to the first
        double delta = double(mHorizontalAngles[next]) - double(mHorizontalAngles[h]);
        if (delta <= 0) delta += 360.0 * std::max(1.0, std::ceil(-delta / 360.0)); // raised until positive
        if (delta <= 0) delta += 360.0;
        if (!(delta > 0) || !std::isfinite(delta)) continue;
        for (int v = 0; v + 1 < vertical; ++v)
            gradientH = std::max(gradientH, std::abs(double(value(next, v)) - value(h, v)) / delta);
    }
    for (int h = 0; h < horizontal; ++h) {
        for (int v = 0; v + 1 < vertical; ++v) {
            const double step = double(mVerticalAngles[v + 1]) - mVerticalAngles[v];
            gradientV = std::max(gradientV, std::abs(double(value(h, v + 1)) - value(h, v)) / step);
        }
    }
    const Pixel proposed(proposedSize(gradientH / mMeanIntensity, 360),
                         proposedSize(gradientV / mMeanIntensity, 180));
    const Pixel chosen(std::max(std::min(proposed.x, 1000), horizontal),
                       std::max(std::min(proposed.y, 1000), vertical));
    debugPrint("IES proposed res:", proposed.x, proposed.y, ", final res:", chosen.x, chosen.y);
    return chosen;
}

void DirectionDistributionImpl::findDirections(Pixel resolution) {
    // The grid's intensities from its angles: one vertical bracket per row and one horizontal bracket
    // per column instead of two searches for each of up to a million directions.
    Stack<Bracket> columns;
    if (!mCandela.isEmpty()) {
        columns.reserve(std::max(resolution.x, 0));
        for (int i = 0; i < resolution.x; ++i)
            columns.push(
                horizontalBracket(TWO_PI * (float(i) + 0.5f) / float(resolution.x) * DEGREES_PER_RADIAN));
    }
    double lower = 0, upper = 0, x = 0, y = 0, z = 0;
    int currentRow = -1;
    bool dark = true;
    Bracket row;
    forEachSample(resolution, [&](int j, int i, const Dir& d) {
        if (j != currentRow) {
            currentRow = j;
            const float gamma = 180.f - std::acos(std::clamp(d.z, -1.f, 1.f)) * DEGREES_PER_RADIAN;
            dark = isDark(gamma);
            if (!dark) row = verticalBracket(gamma);
        }
        const float intensity = dark ? 0.f : interpolate(row, columns[i]);
        if ((float(j) + 0.5f) / float(resolution.y) >= 0.5f) {
            lower += intensity;
        } else {
            upper += intensity;
        }
        x += double(d.x) * intensity;
        y += double(d.y) * intensity;
        z += double(d.z) * intensity;
    });
    if (resolution.x == 1) x = y = 0;
    Dir weighted = Dir::DOWN;
    if (std::abs(x) > 1e-4 || std::abs(y) > 1e-4 || std::abs(z) > 1e-4)
        weighted = Dir::normalized(float(x), float(y), float(z));
    const double total = lower + upper;
    if (upper / total < 0.001) {
        mOneSidedDirection = Dir::DOWN;
    } else if (lower / total < 0.001) {
        mOneSidedDirection = Dir::UP;
    } else {
        mOneSidedDirection = Dir(0.f, 0.f, 0.f);
    }
    mMainDirection = weighted.z <= 0 ? Dir::DOWN : Dir::UP;
}

// ---- Parser ----

namespace {

[[noreturn]] void failIes(const String& what) {
    throw Exception(u"Error in IES file: " + what);
}

String number(int64 value) {
    return String::fromAscii(std::to_string(value));
}

// Reads `count` numbers into `out`, growing it as they arrive (so a file that only declares a large
// table makes no large allocation); `failure` names what could not be read.
void readFloats(Io::TextInputStream& in, int64 count, float scale, Stack<float>& out,
                const char16_t* failure) {
    out.reserve(int(std::min<int64>(count, 1 << 16)));
    try {
        for (int64 i = 0; i < count; ++i) {
            float value;
            in >> value;
            out.push(value * scale);
        }
    } catch (const Exception&) {
        failIes(failure);
    }
}

void skipTilt(Io::TextInputStream& in) {
    (void)in.readLine().value(); // the lamp-to-luminaire geometry
    int count = 0;
    try {
        in >> count;
    } catch (const Exception&) {
        failIes(u"Invalid TILT data");
    }
    if (count < 0) failIes(u"Wrong number of TILT angles: " + number(count));
    Stack<float> ignored;
    for (int pass = 0; pass < 2; ++pass) {
        ignored.clear();
        readFloats(in, count, 1.f, ignored, u"Invalid TILT data"); // the angles, then the factors
    }
}

} // namespace

IesLight IesParser::parseIesLight(Io::TextInputStream& in) {
    String line = in.readLine().value();
    String version = line;
    version.trim();
    const bool lm63of1995 = version == u"IESNA:LM-63-1995";

    String header;
    while (!line.startsWith(u"TILT=")) {
        header += line;
        line = in.readLine().value();
    }
    String tilt = line.getSubstr(5);
    tilt.trim();
    if (tilt == u"INCLUDE") skipTilt(in); // NONE: no tilt data; anything else names a file not read here

    int lamps = 0, vertical = 0, horizontal = 0;
    float lumens = 0, multiplier = 0;
    bool countsRead = false;
    try {
        in >> lamps >> lumens >> multiplier >> vertical >> horizontal;
        countsRead = true;
    } catch (const Exception&) {
    }
    if (!countsRead || vertical < 0 || vertical > MAX_ANGLE_COUNT || horizontal < 0 ||
        horizontal > MAX_ANGLE_COUNT)
        failIes(u"Invalid declaration of angles count: vertical/horizontal: " + number(vertical) + u"/" +
                number(horizontal));

    try {
        int photometricType, unitsType;
        float width, length, height;
        in >> photometricType >> unitsType >> width >> length >> height;
    } catch (const Exception&) {
        failIes(u"Invalid luminaire dimensions declaration");
    }
    float ballast = 0, ballastLamp = 0, watts = 0;
    try {
        in >> ballast >> ballastLamp >> watts;
    } catch (const Exception&) {
        failIes(u"Invalid input watts declaration");
    }
    if (lm63of1995) ballastLamp = 1; // "future use" in the 1995 form

    Stack<float> verticalAngles, horizontalAngles, candela;
    readFloats(in, vertical, 1.f, verticalAngles, u"Invalid vertical angle");
    readFloats(in, horizontal, 1.f, horizontalAngles, u"Invalid horizontal angle");
    readFloats(in, int64(vertical) * horizontal, multiplier * ballast * ballastLamp, candela,
               u"Invalid tabular value");
    return IesLight(makeShared<DirectionDistributionImpl>(std::move(verticalAngles),
                                                          std::move(horizontalAngles), std::move(candela)),
                    std::move(header));
}

} // namespace Kalvex

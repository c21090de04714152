// Text forms of numbers for the small value types (Pixel, Rgb, AffineTm, ...): each number in its
// shortest form that reads back to the same value, grouped as "(a, b, c)".
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/string.h"

namespace Kalvex::Detail {

/// The shortest decimal text that reads back as `value` ("0.1", "1e+20", "inf", "nan").
[[nodiscard]] String formatNumber(float value);
/// As above for double precision.
[[nodiscard]] String formatNumber(double value);
/// The decimal text of `value`.
[[nodiscard]] String formatNumber(int64 value);
[[nodiscard]] inline String formatNumber(int32 value) {
    return formatNumber(int64(value));
}

/// "(" + the numbers joined by ", " + ")".
template <typename... Numbers>
[[nodiscard]] String formatTuple(const Numbers&... numbers) {
    String text(u"(");
    bool first = true;
    ((text << (first ? u"" : u", ") << formatNumber(numbers), first = false), ...);
    return text << u")";
}

} // namespace Kalvex::Detail

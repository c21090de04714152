// UTF-8 <-> UTF-16 conversion kernels shared by String and the text streams.
#pragma once

#include <cstddef>

namespace Kalvex::Detail {

/// Decodes `count` bytes of UTF-8 into `out`, which must hold at least `count` units. Each maximal
/// ill-formed subsequence (Unicode's "maximal subpart" rule) becomes one U+FFFD. Returns the units written.
size_t decodeUtf8(const char* in, size_t count, char16_t* out) noexcept;

/// Encodes `count` UTF-16 units into `out`, which must hold at least 3 * count bytes. A surrogate that is
/// not part of a pair becomes U+FFFD (EF BF BD). Returns the bytes written.
size_t encodeUtf8(const char16_t* in, size_t count, char* out) noexcept;

/// Position of the first zero unit among `count` units, or `count`.
size_t findZeroUnit(const char16_t* in, size_t count) noexcept;

/// Position of the first occurrence of `c` among `count` units, or `count`.
size_t findUnit(const char16_t* in, size_t count, char16_t c) noexcept;

} // namespace Kalvex::Detail

// UTF-8 <-> UTF-16 conversion kernels shared by String and the text streams.
#pragma once

#include <cstddef>

namespace Kalvex::Detail {

/// Decodes `count` bytes of UTF-8 into `out`, which must hold at least `count` units. Each maximal
/// ill-formed subsequence (Unicode's "maximal subpart" rule) becomes one U+FFFD. Returns the units written.
size_t decodeUtf8(const char* in, size_t count, char16_t* out) noexcept;

/// Position of the first byte among `count` that equals `a`, `b` or `c`, or `count`.
size_t findFirstOfBytes(const char* text, size_t count, char a, char b, char c) noexcept;

/// Chooses the 64-byte (AVX-512) UTF-8 decoder when `enable` and the processor has it, else the 16-byte
/// one (the byte search follows the same choice); returns whether the wide one was in use. The wide one is
/// chosen at start-up where available; this exists so that tests can check both.
bool setWideUtf8Decoding(bool enable) noexcept;

/// Encodes `count` UTF-16 units into `out`, which must hold getUtf8Length(in, count) bytes (3 * count
/// always suffice). A surrogate that is not part of a pair becomes U+FFFD (EF BF BD). Returns the bytes
/// written.
size_t encodeUtf8(const char16_t* in, size_t count, char* out) noexcept;

/// Number of bytes encodeUtf8 writes for the `count` units at `in`.
size_t getUtf8Length(const char16_t* in, size_t count) noexcept;

/// Bytes to reserve for the UTF-8 form of `count` units plus a terminator: 3 * count + 1 when that fits
/// in an int, else the exact length + 1. Throws Exception when even the exact length does not fit.
int getUtf8BufferSize(const char16_t* in, size_t count);

/// A lower bound of the units decodeUtf8 gives for `count` bytes: the bytes that are not continuation
/// bytes (each starts a character or an ill-formed subsequence of its own).
size_t countUtf8Starts(const char* in, size_t count) noexcept;

/// Length of a first piece of the `count` bytes at `in` that decodes as it does within the whole: all
/// of them when count <= wanted, else at most `wanted` bytes, ending where no sequence goes on.
size_t getUtf8PieceLength(const char* in, size_t count, size_t wanted) noexcept;

/// Position of the first zero unit among `count` units, or `count`.
size_t findZeroUnit(const char16_t* in, size_t count) noexcept;

/// Position of the first occurrence of `c` among `count` units, or `count`.
size_t findUnit(const char16_t* in, size_t count, char16_t c) noexcept;

} // namespace Kalvex::Detail

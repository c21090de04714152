// Fixed-width integer names used throughout the library's interface.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Kalvex {

/// Signed 8-bit integer.
using int8 = std::int8_t;
/// Signed 16-bit integer.
using int16 = std::int16_t;
/// Signed 32-bit integer.
using int32 = std::int32_t;
/// Signed 64-bit integer.
using int64 = std::int64_t;
/// Unsigned 8-bit integer.
using uint8 = std::uint8_t;
/// Unsigned 16-bit integer.
using uint16 = std::uint16_t;
/// Unsigned 32-bit integer.
using uint32 = std::uint32_t;
/// Unsigned 64-bit integer.
using uint64 = std::uint64_t;

} // namespace Kalvex

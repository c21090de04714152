// Guid: a 128-bit globally unique identifier laid out as the Windows GUID, and its text form
// "f1b32785-6fba-4fcf-9d55-7b8e7f157091" (36 characters, lower-case, no braces).
#pragma once

#include "tolvan/containers/optional.h"
#include "tolvan/containers/string.h"

namespace Kalvex {

/// A 128-bit identifier with the field layout of the Windows GUID.
struct Guid {
    /// The first 32 bits.
    uint32 mData1 = 0;
    /// The next 16 bits.
    uint16 mData2 = 0;
    /// The next 16 bits.
    uint16 mData3 = 0;
    /// The last 64 bits, byte by byte.
    uint8 mData4[8] = {};

    /// Equal when all 128 bits are equal.
    friend constexpr bool operator==(const Guid& a, const Guid& b) noexcept {
        if (a.mData1 != b.mData1 || a.mData2 != b.mData2 || a.mData3 != b.mData3) return false;
        for (int i = 0; i < 8; ++i) {
            if (a.mData4[i] != b.mData4[i]) return false;
        }
        return true;
    }
};

} // namespace Kalvex

namespace Kalvex::WinApi {

/// The 36-character text form with hyphens and lower-case hexadecimal digits, without braces.
[[nodiscard]] String guidToString(const Guid& guid);
/// Parses the 36-character form (hexadecimal digits of either case); empty for anything else, braces
/// included.
[[nodiscard]] Optional<Guid> stringToGuid(const String& text);

} // namespace Kalvex::WinApi

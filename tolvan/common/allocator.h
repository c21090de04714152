// The accounted allocator: every heap block of the library's strings and containers comes from
// tolvanMalloc, so getTolvanAllocatedMemory() tells how much memory the library holds.
#pragma once

#include "tolvan/common/types.h"

namespace Kalvex {

/// Returns a block of at least `size` bytes aligned to `alignment` (a power of two, at most 32768;
/// 1 = no alignment beyond the 8-byte header). Never returns null: throws BadAlloc when memory is exhausted.
[[nodiscard]] void* tolvanMalloc(size_t size, size_t alignment = 1);

/// Releases a block from tolvanMalloc; null is ignored.
void tolvanFree(void* block) noexcept;

/// Bytes held by live blocks, headers and alignment padding included.
[[nodiscard]] int64 getTolvanAllocatedMemory() noexcept;

/// Largest value getTolvanAllocatedMemory() reached since start or since the last reset.
[[nodiscard]] int64 getPeakTolvanAllocatedMemory() noexcept;

/// Number of successful tolvanMalloc calls since start (never decremented).
[[nodiscard]] int64 getTolvanMallocCallCount() noexcept;

/// Sets the peak to 0; the next allocation raises it to the then current allocated bytes.
void resetPeakTolvanAllocatedMemory() noexcept;

namespace Detail {
/// Bytes tolvanMalloc asks the C runtime for: `size` plus the 8-byte header plus `alignment` when it is
/// not 1; SIZE_MAX when that sum does not fit. BadAlloc reports this total.
[[nodiscard]] size_t getAllocationTotal(size_t size, size_t alignment) noexcept;
/// Number of 64 KiB blocks left in the emergency reserve (128 at load; one is released per failure).
[[nodiscard]] int getEmergencyReserveSlotsLeft() noexcept;
} // namespace Detail

} // namespace Kalvex

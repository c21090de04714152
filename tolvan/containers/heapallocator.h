// HeapAllocator: the allocator parameter of the library's containers (all memory through tolvanMalloc).
#pragma once

#include "tolvan/common/allocator.h"

#include <cstddef>
#include <limits>
#include <new>

namespace Kalvex {

/// Allocates arrays of T through tolvanMalloc with T's alignment; releases them with tolvanFree.
struct HeapAllocator {
    /// Uninitialised storage for `count` elements of T; throws BadAlloc when memory is exhausted or the
    /// byte count would overflow.
    template <typename T>
    [[nodiscard]] static T* allocate(size_t count) {
        if (count > std::numeric_limits<size_t>::max() / sizeof(T)) {
            return static_cast<T*>(tolvanMalloc(std::numeric_limits<size_t>::max(), alignof(T)));
        }
        return static_cast<T*>(tolvanMalloc(count * sizeof(T), alignof(T)));
    }
    /// Releases storage from allocate(); null is ignored.
    template <typename T>
    static void deallocate(T* block) noexcept {
        tolvanFree(block);
    }
};

namespace Detail {
/// The size type of Stack and Array: `void` selects 32-bit signed counts, anything else is used as is.
template <typename SizeT>
struct ContainerSize {
    using Type = SizeT;
};
template <>
struct ContainerSize<void> {
    using Type = int;
};
} // namespace Detail

} // namespace Kalvex

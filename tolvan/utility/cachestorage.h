// CacheStorage: a thread-safe, memory-capped, least-recently-used cache of values keyed by a 64-bit number.
//
//   CacheStorage cache;                                  // 50 MiB cap
//   cache.insert(key, image, image.getSizeInBytes());    // the caller declares each value's size
//   if (Optional<Image> hit = cache.find<Image>(key)) ...
//
// When the declared sizes add up to more than the cap, the least recently used entries are dropped.
// Look-up, replacement and eviction take constant time: a hash index beside the list finds each entry.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/any.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/optional.h"

#include <type_traits>
#include <utility>

namespace Kalvex {

/// Every operation but setMemoryCap() holds the cache's lock for its whole duration; values are copied
/// out, so a found value stays valid after its entry is evicted. Values are destroyed under the lock, so
/// their destructors must not use the same cache.
class CacheStorage : public Noncopyable {
public:
    /// 50 MiB.
    static constexpr uint64 DEFAULT_MEMORY_CAP = 52428800;

    /// An empty cache whose declared sizes may sum to at most `memoryCap` bytes.
    explicit CacheStorage(uint64 memoryCap = DEFAULT_MEMORY_CAP);
    ~CacheStorage();

    /// Replaces the cap; entries over a lower cap are evicted by the next insertion, not now.
    void setMemoryCap(uint64 memoryCap) noexcept;
    /// The current cap.
    [[nodiscard]] uint64 getMemoryCap() const noexcept;
    /// Destroys all entries.
    void clear() noexcept;

    /// A copy of the value stored under `key`, which becomes the most recently used entry; empty when
    /// there is none or the stored value is not exactly a T.
    template <typename T>
    [[nodiscard]] Optional<T> find(uint64 key) {
        Optional<Any> found = findAny(key);
        if (!found) return NONE;
        if (const T* value = found->get<T>()) return *value;
        return NONE;
    }

    /// Stores `value` under `key` (replacing what was there) as the most recently used entry with the
    /// declared `size` in bytes (negative counts as 0), then drops least recently used entries until the
    /// sizes fit the cap. An entry larger than the cap is dropped at once, with all older ones.
    template <typename T>
    void insert(uint64 key, T&& value, int size) {
        insertAny(key, Any(std::forward<T>(value)), size);
    }

    /// True when `key` is stored; does not change the order of use.
    [[nodiscard]] bool contains(uint64 key) const;
    /// The number of entries.
    [[nodiscard]] int64 getEntryCount() const;
    /// The sum of the declared sizes of all entries.
    [[nodiscard]] int64 getDeclaredSize() const;

private:
    struct Storage;

    Optional<Any> findAny(uint64 key);
    void insertAny(uint64 key, Any&& value, int size);

    AutoPtr<Storage> mStorage;
};

} // namespace Kalvex

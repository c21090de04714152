// The registry store beneath WinApi::Registry: keys and values kept in a database file (SQLite, WAL
// mode, one transaction per change), one connection per thread. Internal to the registry; the file is
// KALVEX_REGISTRY_FILE when set, else $XDG_CONFIG_HOME/KalvexRenderer/registry.sqlite.
#pragma once

#include "tolvan/containers/array.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"

#include <cstddef>

namespace Kalvex::WinApi::Registry::Detail {

/// The store's entry of a predefined root key (its Windows handle value, 0x80000000 to 0x80000005).
[[nodiscard]] int64 rootEntry(uint32 predefinedValue) noexcept;

/// Key and value names longer than these are refused.
inline constexpr int MAX_KEY_NAME_LENGTH = 255;
inline constexpr int MAX_VALUE_NAME_LENGTH = 16383;

/// The key `subPath` ("\" separated, one trailing "\" allowed, "" for `parent` itself) below the key
/// `parent`; empty when either does not exist or the sub-path is malformed.
[[nodiscard]] Optional<int64> openStoredKey(int64 parent, const String& subPath);
/// Opens or creates the key `subPath` below `parent`, with every missing level, in one transaction.
[[nodiscard]] Optional<int64> createStoredKey(int64 parent, const String& subPath);
/// Deletes the key `subPath` below `parent` with its values; false when it is missing, is `parent`
/// itself or has sub-keys.
[[nodiscard]] bool deleteStoredKey(int64 parent, const String& subPath);

/// A value as stored: its type, its size in bytes, and the bytes followed by the zero padding asked for.
struct StoredValue {
    uint32 mType = 0;
    int64 mSize = 0;
    Array<std::byte> mBytes;
};

/// The value `name` of the key `key`, with `padding` zero bytes after the data.
[[nodiscard]] Optional<StoredValue> readStoredValue(int64 key, const String& name, int padding = 0);
/// The value `name` of the key `subPath` below `parent`, read in one query.
[[nodiscard]] Optional<StoredValue> readStoredValueAt(int64 parent, const String& subPath, const String& name,
                                                      int padding = 0);
/// Creates or replaces the value `name` of the key `key` (keeping the case it was first written with);
/// false when the key no longer exists or the write fails.
[[nodiscard]] bool writeStoredValue(int64 key, const String& name, uint32 type, ArrayView<const std::byte> data);
/// Deletes the value; false when it does not exist.
[[nodiscard]] bool deleteStoredValue(int64 key, const String& name);

/// Name and type of one value of a key.
struct StoredValueInfo {
    String mName;
    uint32 mType = 0;
};
/// The values of `key` in the order they were first written; empty when the key does not exist.
[[nodiscard]] Optional<Stack<StoredValueInfo>> listStoredValues(int64 key);

/// Closes the calling thread's connection (it is reopened on the next use).
void closeStoreConnection() noexcept;

} // namespace Kalvex::WinApi::Registry::Detail

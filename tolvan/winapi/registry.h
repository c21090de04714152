// Registry access: keys and typed values reached by paths such as
// "HKEY_LOCAL_MACHINE/SOFTWARE/KalvexRenderer", a small Key handle class, and process-wide observers
// that hear about every change the library makes.
//
//   Optional<String> dir = Registry::getStringValue(u"HKEY_CURRENT_USER/Software/Kalvex", u"Dir");
//   if (Optional<Registry::Key> key = Registry::createKey(u"HKEY_CURRENT_USER/Software/Kalvex"))
//       key->setValue(u"Count", 3);
//
// Paths start with a root-key name (compared without case) followed by sub-key names separated by "/"
// or "\". Key and value names are compared without case and keep the case they were created with. On
// Linux the registry is a database file (see docs/PLATFORM.md); every operation reports failure with an
// empty Optional or false.
#pragma once

#include "tolvan/containers/array.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/sharedptr.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"

#include <cstddef>

namespace Kalvex::WinApi::Registry {

/// The predefined root keys, with their Windows handle values.
enum class PredefinedKey : uint32 {
    CLASSES_ROOT = 0x80000000,
    CURRENT_USER = 0x80000001,
    LOCAL_MACHINE = 0x80000002,
    USERS = 0x80000003,
    CURRENT_CONFIG = 0x80000005,
};

/// Access rights asked for when a key is opened, with their Windows values. A key opened without
/// QUERY_VALUE cannot read values, one without SET_VALUE cannot change them and one without
/// CREATE_SUB_KEY cannot create sub-keys.
namespace Access {
/// Read values.
inline constexpr uint32 QUERY_VALUE = 0x0001;
/// Write and delete values.
inline constexpr uint32 SET_VALUE = 0x0002;
/// Create sub-keys.
inline constexpr uint32 CREATE_SUB_KEY = 0x0004;
/// List sub-keys.
inline constexpr uint32 ENUMERATE_SUB_KEYS = 0x0008;
/// Watch for changes.
inline constexpr uint32 NOTIFY = 0x0010;
/// QUERY_VALUE, ENUMERATE_SUB_KEYS and NOTIFY (with the standard read right).
inline constexpr uint32 READ = 0x20019;
/// SET_VALUE and CREATE_SUB_KEY (with the standard write right).
inline constexpr uint32 WRITE = 0x20006;
/// Every right.
inline constexpr uint32 ALL_ACCESS = 0xF003F;
} // namespace Access

/// Value types, with their Windows numbers.
namespace ValueType {
/// A text (REG_SZ).
inline constexpr uint32 SZ = 1;
/// A text with environment references (REG_EXPAND_SZ).
inline constexpr uint32 EXPAND_SZ = 2;
/// Raw bytes (REG_BINARY).
inline constexpr uint32 BINARY = 3;
/// A 32-bit number (REG_DWORD).
inline constexpr uint32 DWORD = 4;
/// A 64-bit number (REG_QWORD).
inline constexpr uint32 QWORD = 11;
} // namespace ValueType

/// A native key handle: the key's entry in the registry store and the access rights it was opened
/// with. A root handle is made from a PredefinedKey and has every right.
struct KeyHandle {
    KeyHandle() noexcept = default;
    /// The handle of the root key `root`, with every right.
    KeyHandle(PredefinedKey root) noexcept;

    /// The key's entry in the store (0: no key).
    int64 mKey = 0;
    /// The access rights the key was opened with.
    uint32 mAccess = 0;
};

/// An open registry key: its handle and the path it was reached by (the root name as the caller wrote
/// it, then "\" and each sub-path in backslash form). Root keys are predefined and never closed.
class Key {
public:
    /// A key reached by `path` with `handle`; `predefined` for the root keys.
    Key(KeyHandle handle, String path, bool predefined) noexcept;

    /// The path the key was reached by.
    [[nodiscard]] const String& path() const noexcept { return mPath; }
    /// The native handle.
    [[nodiscard]] KeyHandle handle() const noexcept { return mHandle; }
    /// True for the root keys, which are never closed.
    [[nodiscard]] bool isPredefined() const noexcept { return mPredefined; }

    /// The sub-key at `subPath` ("/" or "\" separated) opened with `access`; empty when it does not
    /// exist. An empty sub-path opens this key again.
    [[nodiscard]] Optional<Key> openSubKey(const String& subPath, uint32 access) const;
    /// Creates the sub-key `name` (every missing level of a "\" separated name) or opens it when it
    /// exists, with all access; notifies onKeyCreated. An empty `name` gives this key itself, as the
    /// Windows call does. Empty when this key lacks CREATE_SUB_KEY or a level of the name is invalid
    /// (empty, or longer than 255 characters).
    [[nodiscard]] Optional<Key> createSubKey(const String& name);
    /// Deletes the sub-key `name` and its values; false when it does not exist or has sub-keys.
    [[nodiscard]] bool deleteSubKey(const String& name);
    /// Whether the sub-key `name` exists.
    [[nodiscard]] bool subKeyExists(const String& name) const;

    /// A REG_SZ or REG_EXPAND_SZ value (environment references are not expanded), up to its first
    /// zero character; empty for other types, a missing value or a key without QUERY_VALUE.
    [[nodiscard]] Optional<String> getStringValue(const String& name) const;
    /// A REG_DWORD value; empty for any other type.
    [[nodiscard]] Optional<int> getIntValue(const String& name) const;
    /// A REG_QWORD value, or a REG_DWORD value zero-extended; empty for any other type.
    [[nodiscard]] Optional<int64> getInt64Value(const String& name) const;
    /// Stores REG_SZ (length × 2 + 2 bytes, the terminator included), REG_DWORD (4 bytes) or REG_QWORD
    /// (8 bytes) and notifies onValueSet; false, with no notification, when the write fails. An empty
    /// name addresses the key's default value.
    [[nodiscard]] bool setValue(const String& name, const String& value);
    /// Stores a REG_DWORD value, as setValue(const String&, const String&).
    [[nodiscard]] bool setValue(const String& name, int value);
    /// Stores a REG_QWORD value, as setValue(const String&, const String&).
    [[nodiscard]] bool setValue(const String& name, int64 value);
    /// Deletes the value and notifies onValueDeleted; false when it does not exist.
    [[nodiscard]] bool deleteValue(const String& name);
    /// Whether the value exists (and this key may read values).
    [[nodiscard]] bool valueExists(const String& name) const;

private:
    bool writeValue(const String& name, uint32 type, ArrayView<const std::byte> data);
    [[nodiscard]] String childPath(const String& subPath) const;

    KeyHandle mHandle;
    String mPath;
    bool mPredefined = false;
};

/// One value handed to the enumeration callback.
class IRegistryValue {
public:
    virtual ~IRegistryValue() = default;
    /// The value name in the case it was created with.
    [[nodiscard]] virtual String getName() const = 0;
    /// The value type (ValueType).
    [[nodiscard]] virtual uint32 getType() const = 0;
    /// The raw bytes; empty when the value is empty or has gone meanwhile.
    [[nodiscard]] virtual Array<std::byte> getData() const = 0;
};

/// Hears about every change the library makes to the registry, after it succeeded, on the thread that
/// made it. Paths are key paths in backslash form.
class Observer {
public:
    virtual ~Observer() = default;
    /// A key was created.
    virtual void onKeyCreated(const String& keyPath) = 0;
    /// A key was deleted.
    virtual void onKeyDeleted(const String& keyPath) = 0;
    /// A value was set.
    virtual void onValueSet(const String& keyPath, const String& valueName) = 0;
    /// A value was deleted.
    virtual void onValueDeleted(const String& keyPath, const String& valueName) = 0;
};

/// The root key named `name` (compared without case); the error is `name` followed by
/// " is not a valid registry root key".
[[nodiscard]] Expected<Key, String> rootKey(const String& name);
/// The key at `path` opened with `access`; a bare root name gives the root key. Empty when the root is
/// unknown or the key does not exist.
[[nodiscard]] Optional<Key> openKey(const String& path, uint32 access);
/// Creates the last component of `path` under its existing parent (one level only) or opens it.
[[nodiscard]] Optional<Key> createKey(const String& path);
/// Deletes the key at `path`; false when it does not exist, has sub-keys or is a root.
[[nodiscard]] bool deleteKey(const String& path);
/// Whether the key at `path` exists.
[[nodiscard]] bool keyExists(const String& path);

///@{
/// The path-taking forms of the Key operations: they open the key, ask it and close it again. A key
/// that cannot be opened gives an empty result or false.
[[nodiscard]] Optional<String> getStringValue(const String& keyPath, const String& name);
[[nodiscard]] Optional<int> getIntValue(const String& keyPath, const String& name);
[[nodiscard]] Optional<int64> getInt64Value(const String& keyPath, const String& name);
[[nodiscard]] bool setValue(const String& keyPath, const String& name, const String& value);
[[nodiscard]] bool setValue(const String& keyPath, const String& name, int value);
[[nodiscard]] bool setValue(const String& keyPath, const String& name, int64 value);
[[nodiscard]] bool deleteValue(const String& keyPath, const String& name);
[[nodiscard]] bool valueExists(const String& keyPath, const String& name);
///@}

/// Calls `callback` once for each value of the key `subPath` under `root`, in the order the values were
/// first written. Never calls it when the key cannot be opened.
void enumerateRegistryValues(KeyHandle root, const String& subPath,
                             const Function<void(const IRegistryValue&)>& callback);

/// Adds an observer to the process-wide list (entries are never removed; expired ones are skipped).
void registerObserver(WeakPtr<Observer> observer);

} // namespace Kalvex::WinApi::Registry

namespace Kalvex::WinApi {

/// The "Installdir" of Autodesk 3ds Max `year` (release year − 1998), tried without a language suffix
/// and then with each language key, under 3dsMax and then 3dsMaxDesign; empty when none is found.
[[nodiscard]] Optional<Io::Path> maxInstallPath(int year);
/// The "InstallDir" of Autodesk Backburner `version`, under Wow6432Node first; empty when not found.
[[nodiscard]] Optional<Io::Path> backburnerInstallPath(int version);

} // namespace Kalvex::WinApi

namespace Kalvex::Utils {

/// A string setting of the library from "HKEY_LOCAL_MACHINE/SOFTWARE/KalvexRenderer".
[[nodiscard]] Optional<String> readConfigurationString(const String& name);
/// An integer (REG_DWORD) setting of the library from the same key.
[[nodiscard]] Optional<int> readConfigurationInt(const String& name);

} // namespace Kalvex::Utils

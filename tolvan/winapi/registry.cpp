#include "tolvan/winapi/registry.h"

#include "tolvan/winapi/registrystore.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

namespace Kalvex::WinApi::Registry {

namespace {

struct RootName {
    std::u16string_view lowerName; // the root's name, lower-cased
    PredefinedKey key;
};

constexpr RootName ROOT_NAMES[] = {
    {u"hkey_classes_root", PredefinedKey::CLASSES_ROOT},   {u"hkey_current_user", PredefinedKey::CURRENT_USER},
    {u"hkey_local_machine", PredefinedKey::LOCAL_MACHINE}, {u"hkey_users", PredefinedKey::USERS},
    {u"hkey_current_config", PredefinedKey::CURRENT_CONFIG},
};

constexpr const char16_t* SEPARATOR = u"\\";

String withBackslashes(const String& path) {
    String result(path);
    result.replaceAll(String(u"/"), SEPARATOR);
    return result;
}

// A registry path split into its root key and the rest ("" for a bare root).
struct SplitPath {
    Key root;
    String rest;
};

Optional<SplitPath> splitAtRoot(const String& path) {
    const String text = withBackslashes(path);
    const int separator = text.find(SEPARATOR);
    Expected<Key, String> root = rootKey(separator == String::nPos ? text : text.getSubstr(0, separator));
    if (!root) return NONE;
    return SplitPath{std::move(root.value()), separator == String::nPos ? String() : text.getSubstr(separator + 1)};
}

// ---------------------------------------------------------------------------------------------------
// Observers

std::mutex gObserverLock;
Stack<WeakPtr<Observer>>& observers() {
    static Stack<WeakPtr<Observer>>* const list = tolvanNew<Stack<WeakPtr<Observer>>>(); // lives until exit
    return *list;
}

// Calls `event` on every observer that is still alive, in registration order. The list lock is not held
// during the calls, so observers may use the registry themselves.
template <typename Event, typename... Args>
void notify(Event event, const Args&... args) {
    Stack<SharedPtr<Observer>> live;
    {
        std::lock_guard guard(gObserverLock);
        for (const WeakPtr<Observer>& entry : observers()) {
            if (SharedPtr<Observer> observer = entry.lock()) live.push(std::move(observer));
        }
    }
    for (const SharedPtr<Observer>& observer : live)
        ((*observer).*event)(args...);
}

// ---------------------------------------------------------------------------------------------------
// Value types

constexpr int STRING_PADDING = 2;

Optional<String> toStringValue(const Optional<Detail::StoredValue>& value) {
    if (!value || (value->mType != ValueType::SZ && value->mType != ValueType::EXPAND_SZ)) return NONE;
    // The data is followed by two zero bytes, so an odd byte count still ends in a whole zero unit.
    const std::byte* bytes = value->mBytes.data();
    const int64 maxUnits = (value->mSize + 1) / 2;
    int64 units = 0;
    while (units < maxUnits && (bytes[2 * units] != std::byte(0) || bytes[2 * units + 1] != std::byte(0)))
        ++units;
    if (units > int64(String::nPos - 1)) return NONE;
    return String(reinterpret_cast<const char16_t*>(bytes), int(units));
}

Optional<int> toIntValue(const Optional<Detail::StoredValue>& value) {
    if (!value || value->mType != ValueType::DWORD || value->mSize > 4) return NONE;
    uint32 result = 0;
    std::memcpy(&result, value->mBytes.data(), size_t(value->mSize));
    return int(result);
}

Optional<int64> toInt64Value(const Optional<Detail::StoredValue>& value) {
    if (!value || (value->mType != ValueType::DWORD && value->mType != ValueType::QWORD) || value->mSize > 8) {
        return NONE;
    }
    uint64 result = 0; // a REG_DWORD fills the low half: zero-extended
    std::memcpy(&result, value->mBytes.data(), size_t(value->mSize));
    return int64(result);
}

template <typename T>
ArrayView<const std::byte> bytesOf(const T& value) {
    return ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(&value), int64(sizeof(T)));
}

// ---------------------------------------------------------------------------------------------------
// Enumeration

class StoredRegistryValue final : public IRegistryValue {
public:
    StoredRegistryValue(int64 key, const Detail::StoredValueInfo& info)
        : mKey(key)
        , mInfo(info) {}
    String getName() const override { return mInfo.mName; }
    uint32 getType() const override { return mInfo.mType; }
    Array<std::byte> getData() const override {
        Optional<Detail::StoredValue> value = Detail::readStoredValue(mKey, mInfo.mName);
        return value ? std::move(value->mBytes) : Array<std::byte>();
    }

private:
    int64 mKey;
    const Detail::StoredValueInfo& mInfo;
};

} // namespace

KeyHandle::KeyHandle(PredefinedKey root) noexcept
    : mKey(Detail::rootEntry(uint32(root)))
    , mAccess(Access::ALL_ACCESS) {}

// ---------------------------------------------------------------------------------------------------
// Key

Key::Key(KeyHandle handle, String path, bool predefined) noexcept
    : mHandle(handle)
    , mPath(std::move(path))
    , mPredefined(predefined) {}

String Key::childPath(const String& subPath) const {
    return mPath + SEPARATOR + subPath;
}

Optional<Key> Key::openSubKey(const String& subPath, uint32 access) const {
    const String path = withBackslashes(subPath);
    const Optional<int64> key = Detail::openStoredKey(mHandle.mKey, path);
    if (!key) return NONE;
    KeyHandle handle;
    handle.mKey = *key;
    handle.mAccess = access;
    return Key(handle, childPath(path), false);
}

Optional<Key> Key::createSubKey(const String& name) {
    if (!(mHandle.mAccess & Access::CREATE_SUB_KEY)) return NONE;
    const String path = withBackslashes(name);
    const Optional<int64> key = Detail::createStoredKey(mHandle.mKey, path);
    if (!key) return NONE;
    KeyHandle handle;
    handle.mKey = *key;
    handle.mAccess = Access::ALL_ACCESS;
    Key created(handle, childPath(path), false);
    notify(&Observer::onKeyCreated, created.path());
    return created;
}

bool Key::deleteSubKey(const String& name) {
    const String path = withBackslashes(name);
    if (!Detail::deleteStoredKey(mHandle.mKey, path)) return false;
    notify(&Observer::onKeyDeleted, childPath(path));
    return true;
}

bool Key::subKeyExists(const String& name) const {
    return openSubKey(name, 0).hasValue();
}

Optional<String> Key::getStringValue(const String& name) const {
    if (!(mHandle.mAccess & Access::QUERY_VALUE)) return NONE;
    return toStringValue(Detail::readStoredValue(mHandle.mKey, name, STRING_PADDING));
}

Optional<int> Key::getIntValue(const String& name) const {
    if (!(mHandle.mAccess & Access::QUERY_VALUE)) return NONE;
    return toIntValue(Detail::readStoredValue(mHandle.mKey, name));
}

Optional<int64> Key::getInt64Value(const String& name) const {
    if (!(mHandle.mAccess & Access::QUERY_VALUE)) return NONE;
    return toInt64Value(Detail::readStoredValue(mHandle.mKey, name));
}

bool Key::writeValue(const String& name, uint32 type, ArrayView<const std::byte> data) {
    if (!(mHandle.mAccess & Access::SET_VALUE) || !Detail::writeStoredValue(mHandle.mKey, name, type, data)) {
        return false;
    }
    notify(&Observer::onValueSet, mPath, name);
    return true;
}

bool Key::setValue(const String& name, const String& value) {
    // The units and their terminator.
    const ArrayView<const std::byte> units(reinterpret_cast<const std::byte*>(value.cStr()),
                                           (int64(value.length()) + 1) * 2);
    return writeValue(name, ValueType::SZ, units);
}

bool Key::setValue(const String& name, int value) {
    return writeValue(name, ValueType::DWORD, bytesOf(uint32(value)));
}

bool Key::setValue(const String& name, int64 value) {
    return writeValue(name, ValueType::QWORD, bytesOf(value));
}

bool Key::deleteValue(const String& name) {
    if (!(mHandle.mAccess & Access::SET_VALUE) || !Detail::deleteStoredValue(mHandle.mKey, name)) return false;
    notify(&Observer::onValueDeleted, mPath, name);
    return true;
}

bool Key::valueExists(const String& name) const {
    return (mHandle.mAccess & Access::QUERY_VALUE) && Detail::readStoredValue(mHandle.mKey, name).hasValue();
}

// ---------------------------------------------------------------------------------------------------
// Free functions

Expected<Key, String> rootKey(const String& name) {
    String lower(name);
    lower.toLowerCase();
    for (const RootName& root : ROOT_NAMES) {
        if (lower.view() == root.lowerName) return Key(KeyHandle(root.key), name, true);
    }
    return makeUnexpected(name + String(u" is not a valid registry root key"));
}

Optional<Key> openKey(const String& path, uint32 access) {
    Optional<SplitPath> split = splitAtRoot(path);
    if (!split) return NONE;
    if (withBackslashes(path).find(SEPARATOR) == String::nPos) return std::move(split->root);
    return split->root.openSubKey(split->rest, access);
}

Optional<Key> createKey(const String& path) {
    const String text = withBackslashes(path);
    const int separator = text.findLastOf(u'\\');
    if (separator == String::nPos) return NONE;
    Optional<Key> parent = openKey(text.getSubstr(0, separator), Access::CREATE_SUB_KEY);
    if (!parent) return NONE;
    return parent->createSubKey(text.getSubstr(separator + 1));
}

bool deleteKey(const String& path) {
    Optional<SplitPath> split = splitAtRoot(path);
    return split && split->root.deleteSubKey(split->rest);
}

bool keyExists(const String& path) {
    return openKey(path, Access::QUERY_VALUE).hasValue();
}

// The reading forms look the value up in one query; the result is the same as opening the key for
// QUERY_VALUE and reading from it.
Optional<String> getStringValue(const String& keyPath, const String& name) {
    const Optional<SplitPath> split = splitAtRoot(keyPath);
    if (!split) return NONE;
    return toStringValue(Detail::readStoredValueAt(split->root.handle().mKey, split->rest, name, STRING_PADDING));
}

Optional<int> getIntValue(const String& keyPath, const String& name) {
    const Optional<SplitPath> split = splitAtRoot(keyPath);
    if (!split) return NONE;
    return toIntValue(Detail::readStoredValueAt(split->root.handle().mKey, split->rest, name));
}

Optional<int64> getInt64Value(const String& keyPath, const String& name) {
    const Optional<SplitPath> split = splitAtRoot(keyPath);
    if (!split) return NONE;
    return toInt64Value(Detail::readStoredValueAt(split->root.handle().mKey, split->rest, name));
}

bool valueExists(const String& keyPath, const String& name) {
    const Optional<SplitPath> split = splitAtRoot(keyPath);
    return split && Detail::readStoredValueAt(split->root.handle().mKey, split->rest, name).hasValue();
}

bool setValue(const String& keyPath, const String& name, const String& value) {
    Optional<Key> key = openKey(keyPath, Access::SET_VALUE);
    return key && key->setValue(name, value);
}

bool setValue(const String& keyPath, const String& name, int value) {
    Optional<Key> key = openKey(keyPath, Access::SET_VALUE);
    return key && key->setValue(name, value);
}

bool setValue(const String& keyPath, const String& name, int64 value) {
    Optional<Key> key = openKey(keyPath, Access::SET_VALUE);
    return key && key->setValue(name, value);
}

bool deleteValue(const String& keyPath, const String& name) {
    Optional<Key> key = openKey(keyPath, Access::SET_VALUE);
    return key && key->deleteValue(name);
}

void enumerateRegistryValues(KeyHandle root, const String& subPath,
                             const Function<void(const IRegistryValue&)>& callback) {
    const Optional<int64> key = Detail::openStoredKey(root.mKey, withBackslashes(subPath));
    if (!key || !callback) return;
    // The names are read first, so the callback may change the registry meanwhile.
    const Optional<Stack<Detail::StoredValueInfo>> values = Detail::listStoredValues(*key);
    if (!values) return;
    for (const Detail::StoredValueInfo& info : *values)
        callback(StoredRegistryValue(*key, info));
}

void registerObserver(WeakPtr<Observer> observer) {
    std::lock_guard guard(gObserverLock);
    observers().push(std::move(observer));
}

} // namespace Kalvex::WinApi::Registry

namespace Kalvex::WinApi {

namespace {

Optional<Io::Path> firstInstallDir(std::initializer_list<String> keys, const String& valueName) {
    for (const String& key : keys) {
        if (Optional<String> dir = Registry::getStringValue(key, valueName)) return Io::Path(std::move(*dir));
    }
    return NONE;
}

String decimal(int value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%d", value);
    return String::fromAscii(text);
}

} // namespace

Optional<Io::Path> maxInstallPath(int year) {
    static const char16_t* const LANGUAGE_SUFFIXES[] = {u"",           u"/MAX-1:409", u"/MAX-1:40C", u"/MAX-1:407",
                                                        u"/MAX-1:411", u"/MAX-1:412", u"/MAX-1:804"};
    const String release = decimal(year - 1998) + String(u".0");
    for (const char16_t* suffix : LANGUAGE_SUFFIXES) {
        const String tail = release + String(suffix);
        if (Optional<Io::Path> dir = firstInstallDir({String(u"HKEY_LOCAL_MACHINE/SOFTWARE/Autodesk/3dsMax/") + tail,
                                                      String(u"HKEY_LOCAL_MACHINE/SOFTWARE/Autodesk/3dsMaxDesign/") + tail},
                                                     u"Installdir")) {
            return dir;
        }
    }
    return NONE;
}

Optional<Io::Path> backburnerInstallPath(int version) {
    const String tail = decimal(version) + String(u".0");
    return firstInstallDir({String(u"HKEY_LOCAL_MACHINE/SOFTWARE/Wow6432Node/Autodesk/backburner/") + tail,
                            String(u"HKEY_LOCAL_MACHINE/SOFTWARE/Autodesk/backburner/") + tail},
                           u"InstallDir");
}

} // namespace Kalvex::WinApi

namespace Kalvex::Utils {

namespace {
const char16_t* const CONFIGURATION_KEY = u"HKEY_LOCAL_MACHINE/SOFTWARE/KalvexRenderer";
}

Optional<String> readConfigurationString(const String& name) {
    return WinApi::Registry::getStringValue(CONFIGURATION_KEY, name);
}

Optional<int> readConfigurationInt(const String& name) {
    return WinApi::Registry::getIntValue(CONFIGURATION_KEY, name);
}

} // namespace Kalvex::Utils

#include "support/unprivileged.h"
#include "tolvan/platform/debug.h"
#include "tolvan/winapi/registry.h"
#include "tolvan/winapi/registrystore.h"
#include "winapi/registry_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <sys/stat.h>
#include <string>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::WinApi;
using namespace Kalvex::WinApi::Registry;
namespace Store = Kalvex::WinApi::Registry::Detail;

namespace {

using RegistryTest = TolvanTest::RegistryStoreTest;

const String TEST_KEY(u"HKEY_CURRENT_USER/Software/TolvanTest");

std::string utf8(const String& s) {
    return s.toUtf8().cStr();
}

// Writes a value of any type, as another program could.
void writeRaw(const Key& key, const String& name, uint32 type, const std::vector<uint8>& bytes) {
    ASSERT_TRUE(Store::writeStoredValue(key.handle().mKey, name, type,
                                         ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(bytes.data()),
                                                                    int64(bytes.size()))));
}

std::vector<uint8> storedBytes(const Key& key, const String& name) {
    Optional<Store::StoredValue> value = Store::readStoredValue(key.handle().mKey, name);
    if (!value) return {};
    const auto* data = reinterpret_cast<const uint8*>(value->mBytes.data());
    return std::vector<uint8>(data, data + value->mSize);
}

Key makeTestKey() {
    (void)createKey(u"HKEY_CURRENT_USER/Software");
    Optional<Key> key = createKey(TEST_KEY);
    if (!key) throw Exception("test key not created");
    return std::move(*key);
}

} // namespace

TEST_F(RegistryTest, RootKeyTable) {
    struct Case {
        const char16_t* name;
        bool valid;
    };
    const Case cases[] = {
        {u"HKEY_CLASSES_ROOT", true},      {u"HKEY_CURRENT_USER", true},    {u"HKEY_LOCAL_MACHINE", true},
        {u"HKEY_USERS", true},             {u"HKEY_CURRENT_CONFIG", true},  {u"hkey_local_machine", true},
        {u"Hkey_Current_User", true},      {u"HKEY_PERFORMANCE_DATA", false}, {u"HKLM", false},
        {u"HKEY_LOCAL_MACHINEX", false},   {u"", false},                    {u"HKEY_LOCAL_MACHINE ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.name));
        Expected<Key, String> key = rootKey(c.name);
        ASSERT_EQ(key.hasValue(), c.valid);
        if (c.valid) {
            EXPECT_EQ(key->path(), String(c.name)); // the caller's spelling
            EXPECT_TRUE(key->isPredefined());
        } else {
            EXPECT_EQ(key.error(), String(c.name) + String(u" is not a valid registry root key"));
        }
    }
}

TEST_F(RegistryTest, OpenKeyPathForms) {
    ASSERT_TRUE(createKey(u"HKEY_CURRENT_USER/Software").hasValue());
    ASSERT_TRUE(createKey(u"HKEY_CURRENT_USER/Software/Tolvan").hasValue());
    struct Case {
        const char16_t* path;
        bool found;
        const char16_t* keptPath;
    };
    const Case cases[] = {
        {u"HKEY_CURRENT_USER/Software/Tolvan", true, u"HKEY_CURRENT_USER\\Software\\Tolvan"},
        {u"hkey_current_user\\software\\TOLVAN", true, u"hkey_current_user\\software\\TOLVAN"},
        {u"HKEY_CURRENT_USER/Software/Tolvan/", true, u"HKEY_CURRENT_USER\\Software\\Tolvan\\"},
        {u"HKEY_CURRENT_USER", true, u"HKEY_CURRENT_USER"},
        {u"HKEY_CURRENT_USER//Software", false, nullptr},
        {u"HKEY_CURRENT_USER/Software//Tolvan", false, nullptr},
        {u"HKEY_CURRENT_USER/Software/Tolvan//", false, nullptr},
        {u"HKEY_CURRENT_USER/Software/Missing", false, nullptr},
        {u"HKEY_LOCAL_MACHINE/Software/Tolvan", false, nullptr},
        {u"HKEY_PERFORMANCE_DATA/Software", false, nullptr},
        {u"HKCU/Software", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.path));
        const Optional<Key> key = openKey(c.path, Access::READ);
        ASSERT_EQ(key.hasValue(), c.found);
        EXPECT_EQ(keyExists(c.path), c.found);
        if (c.found) {
            EXPECT_EQ(key->path(), String(c.keptPath));
        }
    }
    // A bare root is the predefined key itself; a root reached with a trailing separator is a new handle.
    EXPECT_TRUE(openKey(u"hkey_current_user", 0)->isPredefined());
    EXPECT_FALSE(openKey(u"HKEY_CURRENT_USER/Software", Access::READ)->isPredefined());
}

TEST_F(RegistryTest, CreateKeyMakesOneLevelOnly) {
    EXPECT_FALSE(createKey(u"HKEY_CURRENT_USER/A/B").hasValue()); // parent A is missing
    EXPECT_FALSE(keyExists(u"HKEY_CURRENT_USER/A"));
    EXPECT_FALSE(createKey(u"HKEY_CURRENT_USER").hasValue());     // no separator
    EXPECT_FALSE(createKey(u"HKEY_NOWHERE/A").hasValue());

    const Optional<Key> a = createKey(u"HKEY_CURRENT_USER/A");
    ASSERT_TRUE(a.hasValue());
    EXPECT_EQ(a->path(), String(u"HKEY_CURRENT_USER\\A"));
    const Optional<Key> b = createKey(u"HKEY_CURRENT_USER\\A\\B");
    ASSERT_TRUE(b.hasValue());
    EXPECT_TRUE(keyExists(u"HKEY_CURRENT_USER/a/b"));
    // An existing key is opened, keeping its values.
    ASSERT_TRUE(setValue(u"HKEY_CURRENT_USER/A/B", u"v", 1));
    Optional<Key> again = createKey(u"HKEY_CURRENT_USER/a/B");
    ASSERT_TRUE(again.hasValue());
    EXPECT_EQ(again->getIntValue(u"v"), Optional<int>(1));
    // An empty name gives the key itself, as RegCreateKeyEx does.
    Key self = *again->createSubKey(u"");
    EXPECT_EQ(self.handle().mKey, again->handle().mKey);
    EXPECT_EQ(self.getIntValue(u"v"), Optional<int>(1));
}

TEST_F(RegistryTest, KeyNamesOfEveryKind) {
    Key base = makeTestKey();
    const String longest(u'k', Store::MAX_KEY_NAME_LENGTH);
    struct Case {
        String name;
        String otherSpelling; // opens the same key
        bool valid;
    };
    const Case cases[] = {
        {u"Ünïcødé 日本", u"üNÏCØDÉ 日本", true},
        {u"with space", u"WITH SPACE", true},
        {u"Emoji \U0001F600", u"emoji \U0001F600", true},
        {longest, String(u'K', Store::MAX_KEY_NAME_LENGTH), true},
        {longest + String(u"k"), String(), false},
        {u"", String(), true}, // the key itself
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.name));
        Optional<Key> created = base.createSubKey(c.name);
        ASSERT_EQ(created.hasValue(), c.valid);
        if (!c.valid || c.name.isEmpty()) continue;
        ASSERT_TRUE(created->setValue(u"x", 5));
        EXPECT_EQ(base.openSubKey(c.otherSpelling, Access::READ)->getIntValue(u"x"), Optional<int>(5));
        EXPECT_EQ(getIntValue(TEST_KEY + String(u"/") + c.otherSpelling, u"X"), Optional<int>(5));
    }
    // A name with separators creates each missing level below the key.
    ASSERT_TRUE(base.createSubKey(u"deep/er\\est").hasValue());
    EXPECT_TRUE(base.subKeyExists(u"deep\\er/est"));
}

TEST_F(RegistryTest, DeleteKeyRules) {
    Key base = makeTestKey();
    Optional<Key> parent = base.createSubKey(u"Parent");
    ASSERT_TRUE(parent.hasValue());
    ASSERT_TRUE(parent->createSubKey(u"Child").hasValue());
    ASSERT_TRUE(parent->setValue(u"kept", 1));

    EXPECT_FALSE(deleteKey(TEST_KEY + String(u"/Parent")));    // has a sub-key
    EXPECT_TRUE(keyExists(TEST_KEY + String(u"/Parent/Child")));
    EXPECT_FALSE(deleteKey(TEST_KEY + String(u"/Missing")));
    EXPECT_FALSE(deleteKey(u"HKEY_CURRENT_USER"));                // a root
    EXPECT_FALSE(deleteKey(u"HKEY_NOWHERE/Parent"));

    EXPECT_TRUE(deleteKey(TEST_KEY + String(u"/PARENT/child")));
    EXPECT_TRUE(base.deleteSubKey(u"parent"));
    EXPECT_FALSE(base.subKeyExists(u"Parent"));
    // The old handle is dead, and a key of the same name starts without the old values.
    EXPECT_FALSE(parent->setValue(u"late", 2));
    EXPECT_FALSE(parent->getIntValue(u"kept").hasValue());
    Optional<Key> recreated = base.createSubKey(u"Parent");
    ASSERT_TRUE(recreated.hasValue());
    EXPECT_FALSE(recreated->valueExists(u"kept"));
}

TEST_F(RegistryTest, ValueTypeRules) {
    Key key = makeTestKey();
    const String text(u"%PATH%;x");
    std::vector<uint8> textBytes(size_t(text.length() + 1) * 2, 0);
    std::memcpy(textBytes.data(), text.cStr(), textBytes.size() - 2);
    struct Case {
        const char* what;
        uint32 type;
        std::vector<uint8> bytes;
        Optional<String> asString;
        Optional<int> asInt;
        Optional<int64> asInt64;
    };
    const Case cases[] = {
        {"REG_SZ", ValueType::SZ, textBytes, text, NONE, NONE},
        {"REG_EXPAND_SZ is not expanded", ValueType::EXPAND_SZ, textBytes, text, NONE, NONE},
        {"REG_SZ cut at a zero unit", ValueType::SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}, String(u"a"), NONE, NONE},
        {"REG_SZ without terminator", ValueType::SZ, {'a', 0, 'b', 0}, String(u"ab"), NONE, NONE},
        {"REG_SZ of odd size", ValueType::SZ, {'a', 0, 'b'}, String(u"ab"), NONE, NONE},
        {"REG_SZ empty", ValueType::SZ, {}, String(), NONE, NONE},
        {"REG_DWORD zero-extended", ValueType::DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, NONE, -1, int64(0xFFFFFFFF)},
        {"REG_DWORD", ValueType::DWORD, {7, 1, 0, 0}, NONE, 263, 263},
        {"REG_QWORD", ValueType::QWORD, {0, 0, 0, 0, 0, 1, 0, 0}, NONE, NONE, int64(1) << 40},
        {"REG_QWORD negative", ValueType::QWORD, std::vector<uint8>(8, 0xFF), NONE, NONE, -1},
        {"REG_DWORD too large", ValueType::DWORD, std::vector<uint8>(8, 1), NONE, NONE, int64(0x0101010101010101)},
        {"REG_BINARY", ValueType::BINARY, {1, 0, 0, 0}, NONE, NONE, NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeRaw(key, u"value", c.type, c.bytes);
        EXPECT_EQ(key.getStringValue(u"value"), c.asString);
        EXPECT_EQ(key.getIntValue(u"value"), c.asInt);
        EXPECT_EQ(key.getInt64Value(u"value"), c.asInt64);
        // The path-taking forms follow the same rules.
        EXPECT_EQ(getStringValue(TEST_KEY, u"VALUE"), c.asString);
        EXPECT_EQ(getIntValue(TEST_KEY, u"VALUE"), c.asInt);
        EXPECT_EQ(getInt64Value(TEST_KEY, u"VALUE"), c.asInt64);
    }
    EXPECT_FALSE(getStringValue(TEST_KEY, u"missing").hasValue());
    EXPECT_FALSE(getIntValue(TEST_KEY + String(u"/Missing"), u"value").hasValue());
    EXPECT_FALSE(getInt64Value(u"HKEY_NOWHERE/x", u"value").hasValue());
}

TEST_F(RegistryTest, StoredSizesAndTypes) {
    Key key = makeTestKey();
    ASSERT_TRUE(key.setValue(u"empty", String()));
    ASSERT_TRUE(key.setValue(u"text", String(u"ab")));
    ASSERT_TRUE(key.setValue(u"dword", 0x01020304));
    ASSERT_TRUE(key.setValue(u"qword", int64(-2)));
    EXPECT_EQ(storedBytes(key, u"empty"), (std::vector<uint8>{0, 0}));
    EXPECT_EQ(storedBytes(key, u"text"), (std::vector<uint8>{'a', 0, 'b', 0, 0, 0}));
    EXPECT_EQ(storedBytes(key, u"dword"), (std::vector<uint8>{4, 3, 2, 1}));
    EXPECT_EQ(storedBytes(key, u"qword"), (std::vector<uint8>{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(key.getStringValue(u"empty"), Optional<String>(String()));

    // Replacing a value changes its type; the name keeps the case it was first written with.
    ASSERT_TRUE(setValue(TEST_KEY, u"TEXT", 9));
    std::vector<std::pair<std::string, uint32>> seen;
    enumerateRegistryValues(PredefinedKey::CURRENT_USER, u"Software/TolvanTest",
                            [&](const IRegistryValue& v) { seen.emplace_back(utf8(v.getName()), v.getType()); });
    const std::vector<std::pair<std::string, uint32>> expected = {
        {"empty", ValueType::SZ}, {"text", ValueType::DWORD}, {"dword", ValueType::DWORD}, {"qword", ValueType::QWORD}};
    EXPECT_EQ(seen, expected);
}

TEST_F(RegistryTest, ValueNamesAndDefaultValue) {
    Key key = makeTestKey();
    EXPECT_FALSE(key.valueExists(u""));
    ASSERT_TRUE(key.setValue(u"", String(u"default")));
    EXPECT_EQ(getStringValue(TEST_KEY, u""), Optional<String>(u"default"));
    EXPECT_TRUE(valueExists(TEST_KEY, u""));

    ASSERT_TRUE(key.setValue(u"Name", String(u"one")));
    EXPECT_EQ(key.getStringValue(u"NAME"), Optional<String>(u"one"));
    EXPECT_TRUE(valueExists(TEST_KEY, u"nAmE"));
    EXPECT_TRUE(deleteValue(TEST_KEY, u"name"));
    EXPECT_FALSE(key.valueExists(u"Name"));
    EXPECT_FALSE(key.deleteValue(u"Name"));
    EXPECT_FALSE(deleteValue(TEST_KEY + String(u"/Missing"), u"Name"));
    EXPECT_FALSE(setValue(TEST_KEY + String(u"/Missing"), u"Name", 1));

    const String longestName(u'n', Store::MAX_VALUE_NAME_LENGTH);
    EXPECT_TRUE(key.setValue(longestName, 1));
    EXPECT_FALSE(key.setValue(longestName + String(u"n"), 1));
    const String bigText(u'\u00e9', 100000);
    ASSERT_TRUE(key.setValue(u"big", bigText));
    EXPECT_EQ(key.getStringValue(u"big"), Optional<String>(bigText));
}

TEST_F(RegistryTest, AccessMasksAreHonoured) {
    makeTestKey();
    ASSERT_TRUE(setValue(TEST_KEY, u"v", 1));
    struct Case {
        uint32 access;
        bool canRead;
        bool canWrite;
        bool canCreate;
    };
    const Case cases[] = {
        {Access::READ, true, false, false},       {Access::QUERY_VALUE, true, false, false},
        {Access::SET_VALUE, false, true, false},  {Access::CREATE_SUB_KEY, false, false, true},
        {Access::WRITE, false, true, true},       {Access::ALL_ACCESS, true, true, true},
        {0, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.access);
        Optional<Key> key = openKey(TEST_KEY, c.access);
        ASSERT_TRUE(key.hasValue());
        EXPECT_EQ(key->getIntValue(u"v").hasValue(), c.canRead);
        EXPECT_EQ(key->valueExists(u"v"), c.canRead);
        EXPECT_EQ(key->setValue(u"w", 2), c.canWrite);
        EXPECT_EQ(key->deleteValue(u"w"), c.canWrite);
        EXPECT_EQ(key->createSubKey(u"sub").hasValue(), c.canCreate);
        if (c.canCreate) {
            EXPECT_TRUE(key->deleteSubKey(u"sub"));
        }
    }
}

TEST_F(RegistryTest, CopiedKeysAreIndependent) {
    Key original = makeTestKey();
    Key copy = original;
    EXPECT_EQ(copy.path(), original.path());
    ASSERT_TRUE(copy.setValue(u"v", 3));
    { Key temporary = copy; }
    EXPECT_EQ(original.getIntValue(u"v"), Optional<int>(3));
    Key root = *rootKey(u"HKEY_CURRENT_USER");
    Key rootCopy = root;
    EXPECT_TRUE(rootCopy.isPredefined());
    EXPECT_TRUE(rootCopy.subKeyExists(u"Software/TolvanTest"));
}

namespace {

class RecordingObserver : public Observer {
public:
    void onKeyCreated(const String& keyPath) override { mEvents.push_back("created " + utf8(keyPath)); }
    void onKeyDeleted(const String& keyPath) override { mEvents.push_back("deleted " + utf8(keyPath)); }
    void onValueSet(const String& keyPath, const String& name) override {
        mEvents.push_back("set " + utf8(keyPath) + " " + utf8(name));
    }
    void onValueDeleted(const String& keyPath, const String& name) override {
        mEvents.push_back("unset " + utf8(keyPath) + " " + utf8(name));
    }
    std::vector<std::string> mEvents;
};

} // namespace

TEST_F(RegistryTest, ObserversHearSuccessfulChangesOnly) {
    SharedPtr<RecordingObserver> expired = makeShared<RecordingObserver>();
    registerObserver(WeakPtr<Observer>(SharedPtr<Observer>(expired)));
    SharedPtr<RecordingObserver> live = makeShared<RecordingObserver>();
    registerObserver(WeakPtr<Observer>(SharedPtr<Observer>(live)));
    expired.reset(); // its owner is gone: skipped silently

    Optional<Key> software = openKey(u"hkey_current_user/Software", Access::ALL_ACCESS);
    EXPECT_FALSE(software.hasValue());
    ASSERT_TRUE(createKey(u"hkey_current_user/Software").hasValue());
    ASSERT_TRUE(setValue(u"hkey_current_user/Software", u"Name", String(u"x")));
    Optional<Key> readOnly = openKey(u"HKEY_CURRENT_USER/Software", Access::READ);
    EXPECT_FALSE(readOnly->setValue(u"Name", 2));                    // refused: no notification
    EXPECT_FALSE(setValue(u"HKEY_CURRENT_USER/Missing", u"Name", 1)); // no key: no notification
    EXPECT_FALSE(deleteValue(u"HKEY_CURRENT_USER/Software", u"Missing"));
    EXPECT_TRUE(deleteValue(u"HKEY_CURRENT_USER/Software", u"NAME"));
    EXPECT_TRUE(deleteKey(u"HKEY_CURRENT_USER/Software"));
    EXPECT_FALSE(deleteKey(u"HKEY_CURRENT_USER/Software"));

    const std::vector<std::string> expected = {
        "created hkey_current_user\\Software",
        "set hkey_current_user\\Software Name",
        "unset HKEY_CURRENT_USER\\Software NAME",
        "deleted HKEY_CURRENT_USER\\Software",
    };
    EXPECT_EQ(live->mEvents, expected);
}

TEST_F(RegistryTest, EnumerationSeesEveryValueOnce) {
    Key key = makeTestKey();
    ASSERT_TRUE(key.setValue(u"First", String(u"1")));
    ASSERT_TRUE(key.setValue(u"Second", 2));
    ASSERT_TRUE(key.setValue(u"Third", int64(3)));
    std::vector<std::string> names;
    std::vector<size_t> sizes;
    // The callback may change the registry: a value added meanwhile is not visited.
    enumerateRegistryValues(PredefinedKey::CURRENT_USER, u"Software\\TolvanTest", [&](const IRegistryValue& v) {
        names.push_back(utf8(v.getName()));
        sizes.push_back(size_t(v.getData().size()));
        (void)key.setValue(u"Fourth", 4);
    });
    EXPECT_EQ(names, (std::vector<std::string>{"First", "Second", "Third"}));
    EXPECT_EQ(sizes, (std::vector<size_t>{4, 4, 8}));

    int calls = 0;
    enumerateRegistryValues(PredefinedKey::CURRENT_USER, u"Software/Missing", [&](const IRegistryValue&) { ++calls; });
    enumerateRegistryValues(KeyHandle(), u"", [&](const IRegistryValue&) { ++calls; });
    EXPECT_EQ(calls, 0);
}

TEST_F(RegistryTest, InstallPathLookups) {
    EXPECT_FALSE(maxInstallPath(2019).hasValue());
    EXPECT_FALSE(backburnerInstallPath(2019).hasValue());

    // The language suffixes are tried in order, 3dsMax before 3dsMaxDesign for each.
    const String max(u"HKEY_LOCAL_MACHINE/SOFTWARE/Autodesk/3dsMax");
    const String design(u"HKEY_LOCAL_MACHINE/SOFTWARE/Autodesk/3dsMaxDesign");
    for (const String& path : {String(u"HKEY_LOCAL_MACHINE/SOFTWARE"), String(u"HKEY_LOCAL_MACHINE/SOFTWARE/Autodesk"),
                               max, design, max + String(u"/21.0"), design + String(u"/21.0"),
                               max + String(u"/20.0")}) {
        ASSERT_TRUE(createKey(path).hasValue());
    }
    ASSERT_TRUE(createKey(max + String(u"/21.0/MAX-1:407")).hasValue());
    ASSERT_TRUE(setValue(max + String(u"/21.0/MAX-1:407"), u"Installdir", String(u"C:\\German\\")));
    EXPECT_EQ(maxInstallPath(2019), Optional<Io::Path>(Io::Path(u"C:/German/")));
    ASSERT_TRUE(createKey(design + String(u"/21.0/MAX-1:40C")).hasValue());
    ASSERT_TRUE(setValue(design + String(u"/21.0/MAX-1:40C"), u"INSTALLDIR", String(u"C:\\French")));
    EXPECT_EQ(maxInstallPath(2019), Optional<Io::Path>(Io::Path(u"C:/French")));
    ASSERT_TRUE(setValue(design + String(u"/21.0"), u"Installdir", String(u"C:\\Design")));
    EXPECT_EQ(maxInstallPath(2019), Optional<Io::Path>(Io::Path(u"C:/Design")));
    ASSERT_TRUE(setValue(max + String(u"/21.0"), u"Installdir", String(u"C:\\Max")));
    EXPECT_EQ(maxInstallPath(2019), Optional<Io::Path>(Io::Path(u"C:/Max")));
    EXPECT_FALSE(maxInstallPath(2018).hasValue()); // release 20 has no value
    ASSERT_TRUE(setValue(max + String(u"/20.0"), u"Installdir", 5));
    EXPECT_FALSE(maxInstallPath(2018).hasValue()); // not a string

    for (const char16_t* path : {u"HKEY_LOCAL_MACHINE/SOFTWARE/Autodesk/backburner",
                                 u"HKEY_LOCAL_MACHINE/SOFTWARE/Autodesk/backburner/2019.0",
                                 u"HKEY_LOCAL_MACHINE/SOFTWARE/Wow6432Node", u"HKEY_LOCAL_MACHINE/SOFTWARE/Wow6432Node/Autodesk",
                                 u"HKEY_LOCAL_MACHINE/SOFTWARE/Wow6432Node/Autodesk/backburner",
                                 u"HKEY_LOCAL_MACHINE/SOFTWARE/Wow6432Node/Autodesk/backburner/2019.0"}) {
        ASSERT_TRUE(createKey(path).hasValue());
    }
    ASSERT_TRUE(setValue(u"HKEY_LOCAL_MACHINE/SOFTWARE/Autodesk/backburner/2019.0", u"InstallDir", String(u"/bb")));
    EXPECT_EQ(backburnerInstallPath(2019), Optional<Io::Path>(Io::Path(u"/bb")));
    ASSERT_TRUE(setValue(u"HKEY_LOCAL_MACHINE/SOFTWARE/Wow6432Node/Autodesk/backburner/2019.0", u"InstallDir",
                         String(u"/wow")));
    EXPECT_EQ(backburnerInstallPath(2019), Optional<Io::Path>(Io::Path(u"/wow")));
}

TEST_F(RegistryTest, ConfigurationValues) {
    EXPECT_FALSE(Utils::readConfigurationString(u"Setting").hasValue());
    ASSERT_TRUE(createKey(u"HKEY_LOCAL_MACHINE/SOFTWARE").hasValue());
    ASSERT_TRUE(createKey(u"HKEY_LOCAL_MACHINE/SOFTWARE/KalvexRenderer").hasValue());
    ASSERT_TRUE(setValue(u"HKEY_LOCAL_MACHINE/SOFTWARE/KalvexRenderer", u"Setting", String(u"on")));
    ASSERT_TRUE(setValue(u"HKEY_LOCAL_MACHINE/SOFTWARE/KalvexRenderer", u"Threads", 12));
    ASSERT_TRUE(setValue(u"HKEY_LOCAL_MACHINE/SOFTWARE/KalvexRenderer", u"Big", int64(12)));
    EXPECT_EQ(Utils::readConfigurationString(u"setting"), Optional<String>(u"on"));
    EXPECT_EQ(Utils::readConfigurationInt(u"Threads"), Optional<int>(12));
    EXPECT_FALSE(Utils::readConfigurationInt(u"Big").hasValue());      // REG_QWORD
    EXPECT_FALSE(Utils::readConfigurationInt(u"Setting").hasValue());  // REG_SZ
    EXPECT_FALSE(Utils::readConfigurationString(u"Threads").hasValue());
}

TEST_F(RegistryTest, ValuesPersistInTheFile) {
    ASSERT_TRUE(setValue(u"HKEY_CURRENT_USER", u"kept", String(u"yes")));
    Store::closeStoreConnection();
    EXPECT_EQ(getStringValue(u"HKEY_CURRENT_USER", u"kept"), Optional<String>(u"yes"));
    // Another file is another registry.
    useStoreFile(mDir + "/other/registry.sqlite");
    EXPECT_FALSE(valueExists(u"HKEY_CURRENT_USER", u"kept"));
    ASSERT_TRUE(setValue(u"HKEY_CURRENT_USER", u"kept", String(u"other")));
    useStoreFile(mDir + "/registry.sqlite");
    EXPECT_EQ(getStringValue(u"HKEY_CURRENT_USER", u"kept"), Optional<String>(u"yes"));
}

// Every unusable store file: every operation answers empty or false, one debug line says why, and the
// file is left exactly as it was.
TEST_F(RegistryTest, UnusableStoreFiles) {
    // A real store whose pages after the first are overwritten.
    useStoreFile(mDir + "/damaged");
    Key root = *rootKey(u"HKEY_CURRENT_USER");
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(root.createSubKey(String(u"Key number ") + String(u'x', i % 50) + String(char16_t(u'A' + i % 26), 1))
                        .hasValue());
    Store::closeStoreConnection();
    const std::string store = readFile(mFile);
    std::string damaged = store;
    ASSERT_GT(damaged.size(), 3 * 4096u);
    damaged.replace(4096, damaged.size() - 4096, damaged.size() - 4096, '\x7f');
    // Only the page holding the newest keys is overwritten: the values of the root keys stay writable,
    // so only the check at opening keeps the damaged store from being changed.
    std::string onePageDamaged = store;
    const size_t newest = store.find("Key number " + std::string(49, 'x') + "R");
    ASSERT_NE(newest, std::string::npos);
    onePageDamaged.replace(newest / 4096 * 4096, 4096, 4096, '\x7f');
    struct Case {
        const char* what;
        std::string content;
        const char* reason;
    };
    const Case cases[] = {
        {"garbage", std::string(8192, 'x'), "not a database"},
        {"damaged", damaged, "malformed"},
        {"one damaged page", onePageDamaged, "damaged"},
        {"a directory", "", "unable to open"},
    };
    std::vector<std::string> lines;
    DebugOutputSink previous = Kalvex::Detail::setDebugOutputSink([&](const String& text) { lines.push_back(utf8(text)); });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        lines.clear();
        const std::string file = mDir + "/" + c.what;
        if (c.content.empty()) {
            ASSERT_EQ(::mkdir(file.c_str(), 0700), 0);
        } else {
            writeFile(file, c.content);
        }
        useStoreFile(file);
        for (int round = 0; round < 2; ++round) {
            EXPECT_FALSE(createKey(u"HKEY_CURRENT_USER/Software").hasValue());
            EXPECT_FALSE(keyExists(u"HKEY_CURRENT_USER/Software"));
            EXPECT_FALSE(openKey(u"HKEY_CURRENT_USER/", Access::READ).hasValue());
            EXPECT_FALSE(setValue(u"HKEY_CURRENT_USER", u"v", 1));
            EXPECT_FALSE(getIntValue(u"HKEY_CURRENT_USER", u"v").hasValue());
            EXPECT_FALSE(rootKey(u"HKEY_CURRENT_USER")->setValue(u"v", 1));
            EXPECT_FALSE(deleteKey(u"HKEY_CURRENT_USER/Software"));
            int calls = 0;
            enumerateRegistryValues(PredefinedKey::CURRENT_USER, u"", [&](const IRegistryValue&) { ++calls; });
            EXPECT_EQ(calls, 0);
        }
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(file), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
        if (!c.content.empty()) {
            EXPECT_EQ(readFile(file), c.content);
        }
    }
    Kalvex::Detail::setDebugOutputSink(previous);
}

TEST_F(RegistryTest, ForeignDatabaseIsNotWritten) {
    // A database of another program, with a table of its own.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(mFile.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE keys(a); INSERT INTO keys VALUES(1);", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const std::string before = readFile(mFile);
    std::vector<std::string> lines;
    DebugOutputSink previous = Kalvex::Detail::setDebugOutputSink([&](const String& text) { lines.push_back(utf8(text)); });
    EXPECT_FALSE(setValue(u"HKEY_CURRENT_USER", u"v", 2));
    EXPECT_FALSE(getIntValue(u"HKEY_CURRENT_USER", u"v").hasValue());
    Kalvex::Detail::setDebugOutputSink(previous);
    EXPECT_EQ(readFile(mFile), before);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("another kind"), std::string::npos) << lines[0];
}

// A store this process may read but not write: reads work, changes fail with one debug line and the
// file stays as it was. Also when the folder cannot be written (no SQLite side files can be made there).
TEST_F(RegistryTest, ReadOnlyStoreIsReadButNeverChanged) {
    for (const String& key : {String(u"HKEY_CURRENT_USER/Software"), TEST_KEY, TEST_KEY + u"/Sub"})
        ASSERT_TRUE(createKey(key).hasValue());
    ASSERT_TRUE(setValue(TEST_KEY, u"kept", String(u"yes")));
    Store::closeStoreConnection();
    ASSERT_EQ(::chmod(mFile.c_str(), 0444), 0);
    const std::string before = readFile(mFile);
    for (const mode_t folderMode : {0755, 0777}) {
        SCOPED_TRACE(folderMode);
        ASSERT_EQ(::chmod(mDir.c_str(), folderMode), 0);
        TolvanTest::runUnprivileged([&] {
            std::vector<std::string> lines;
            const DebugOutputSink previous =
                Kalvex::Detail::setDebugOutputSink([&](const String& text) { lines.push_back(utf8(text)); });
            EXPECT_EQ(getStringValue(TEST_KEY, u"kept"), Optional<String>(u"yes"));
            EXPECT_TRUE(keyExists(TEST_KEY + u"/Sub"));
            EXPECT_TRUE(openKey(TEST_KEY, Access::READ).hasValue());
            EXPECT_TRUE(createKey(TEST_KEY + u"/Sub").hasValue()) << "an existing key opens";
            EXPECT_FALSE(createKey(TEST_KEY + u"/New").hasValue());
            EXPECT_FALSE(setValue(TEST_KEY, u"kept", String(u"no")));
            EXPECT_FALSE(deleteValue(TEST_KEY, u"kept"));
            EXPECT_FALSE(deleteKey(TEST_KEY + u"/Sub"));
            EXPECT_EQ(getStringValue(TEST_KEY, u"kept"), Optional<String>(u"yes"));
            Kalvex::Detail::setDebugOutputSink(previous);
            Store::closeStoreConnection();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find(mFile), std::string::npos) << lines[0];
            EXPECT_NE(lines[0].find("read-only"), std::string::npos) << lines[0];
        });
        EXPECT_EQ(readFile(mFile), before);
    }
}

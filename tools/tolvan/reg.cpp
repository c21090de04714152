// tolvan reg get / set / list / delete: the registry store (the file KALVEX_REGISTRY_FILE names, else
// the user's default store). Values are shown as "reg query" shows them: name, type name and data.
#include "command.h"

#include "tolvan/winapi/registry.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace Kalvex::Tools {

namespace Registry = WinApi::Registry;

namespace {

// A path split into its root key and the sub-path below it ("\" separated).
struct KeyPath {
    Registry::Key root;
    String subPath;
};

KeyPath splitPath(const String& path) {
    String generic = path;
    generic.replaceAll(u"\\", u"/");
    const int slash = generic.find(u'/');
    const String rootName = slash == String::nPos ? generic : generic.getSubstr(0, slash);
    Expected<Registry::Key, String> root = Registry::rootKey(rootName);
    if (!root) throw UsageError(root.error());
    const String rest = slash == String::nPos ? String() : generic.getSubstr(slash + 1);
    String subPath = rest;
    subPath.replaceAll(u"/", u"\\");
    return {*root, subPath};
}

Registry::Key openExisting(const String& path) {
    const KeyPath key = splitPath(path);
    Optional<Registry::Key> opened = key.root.openSubKey(key.subPath, Registry::Access::READ);
    if (!opened) throw Exception(u"the registry key '" + path + u"' does not exist");
    return *opened;
}

const char* typeName(uint32 type) {
    switch (type) {
    case Registry::ValueType::SZ:
        return "REG_SZ";
    case Registry::ValueType::EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case Registry::ValueType::BINARY:
        return "REG_BINARY";
    case Registry::ValueType::DWORD:
        return "REG_DWORD";
    case Registry::ValueType::QWORD:
        return "REG_QWORD";
    default:
        return "REG_UNKNOWN";
    }
}

// The value's data as text: strings up to their first zero character, numbers in decimal, anything else
// as hexadecimal bytes.
std::string dataText(uint32 type, const Array<std::byte>& data) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const size_t size = size_t(data.size());
    if ((type == Registry::ValueType::SZ || type == Registry::ValueType::EXPAND_SZ) && size % 2 == 0) {
        String text;
        for (size_t i = 0; i + 1 < size; i += 2) {
            const char16_t unit = char16_t(bytes[i] | (bytes[i + 1] << 8));
            if (unit == 0) break;
            text << unit;
        }
        return text.toUtf8().cStr();
    }
    if (type == Registry::ValueType::DWORD && size == 4) {
        uint32 value;
        std::memcpy(&value, bytes, 4);
        return std::to_string(value);
    }
    if (type == Registry::ValueType::QWORD && size == 8) {
        uint64 value;
        std::memcpy(&value, bytes, 8);
        return std::to_string(value);
    }
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        hex += pair;
    }
    return hex;
}

struct ValueRow {
    String name;
    uint32 type;
    std::string data;
};

Stack<ValueRow> readValues(const String& path) {
    const KeyPath key = splitPath(path);
    (void)openExisting(path);
    Stack<ValueRow> rows;
    Registry::enumerateRegistryValues(
        key.root.handle(), key.subPath, [&](const Registry::IRegistryValue& value) {
            rows.push({value.getName(), value.getType(), dataText(value.getType(), value.getData())});
        });
    return rows;
}

String lowerCase(String text) {
    text.toLowerCase();
    return text;
}

void printRow(const ValueRow& row) {
    const String name = row.name.isEmpty() ? String(u"(Default)") : row.name;
    std::printf("    %s    %s    %s\n", name.toUtf8().cStr(), typeName(row.type), row.data.c_str());
}

int get(ArrayView<const String> words) {
    CommandLine::Parser parser;
    const Stack<String> values = parseWords(parser, words, 2, 2);
    for (const ValueRow& row : readValues(values[0])) {
        if (lowerCase(row.name) == lowerCase(values[1])) {
            std::printf("%s\n", row.data.c_str());
            return EXIT_OK;
        }
    }
    throw Exception(u"the registry key '" + values[0] + u"' has no value " + values[1].quoted());
}

int set(ArrayView<const String> words) {
    FlagArgument dword(u"", u"dword", u"store the value as REG_DWORD (a 32-bit number)");
    FlagArgument qword(u"", u"qword", u"store the value as REG_QWORD (a 64-bit number)");
    CommandLine::Parser parser;
    parser.addArgument(dword);
    parser.addArgument(qword);
    const Stack<String> values = parseWords(parser, words, 3, 3);
    if (dword.isPresent() && qword.isPresent()) throw UsageError("--dword and --qword exclude each other");
    const KeyPath key = splitPath(values[0]);
    Registry::Key root = key.root;
    Optional<Registry::Key> created = root.createSubKey(key.subPath);
    if (!created) throw Exception(u"cannot create the registry key '" + values[0] + u"'");
    bool stored = false;
    if (dword.isPresent()) {
        stored = created->setValue(values[1],
                                   int(parseNumber(values[2], INT32_MIN, UINT32_MAX, "a REG_DWORD value")));
    } else if (qword.isPresent()) {
        stored =
            created->setValue(values[1], parseNumber(values[2], INT64_MIN, INT64_MAX, "a REG_QWORD value"));
    } else {
        stored = created->setValue(values[1], values[2]);
    }
    if (!stored)
        throw Exception(u"cannot write the value " + values[1].quoted() + u" of '" + values[0] + u"'");
    return EXIT_OK;
}

int list(ArrayView<const String> words) {
    CommandLine::Parser parser;
    const Stack<String> values = parseWords(parser, words, 1, 1);
    const Stack<ValueRow> rows = readValues(values[0]);
    std::printf("%s\n", values[0].toUtf8().cStr());
    for (const ValueRow& row : rows)
        printRow(row);
    return EXIT_OK;
}

int remove(ArrayView<const String> words) {
    CommandLine::Parser parser;
    const Stack<String> values = parseWords(parser, words, 1, 2);
    if (values.size() == 2) {
        if (!Registry::deleteValue(values[0], values[1])) {
            throw Exception(u"the registry key '" + values[0] + u"' has no value " + values[1].quoted());
        }
        return EXIT_OK;
    }
    if (!Registry::deleteKey(values[0])) {
        throw Exception(u"cannot delete the registry key '" + values[0] +
                        u"' (it does not exist, has sub-keys or is a root key)");
    }
    return EXIT_OK;
}

} // namespace

int runReg(ArrayView<const String> words) {
    const Action actions[] = {{u"get", get}, {u"set", set}, {u"list", list}, {u"delete", remove}};
    return runAction(words, actions);
}

} // namespace Kalvex::Tools

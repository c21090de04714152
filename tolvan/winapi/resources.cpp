#include "tolvan/winapi/resources.h"

#include "tolvan/common/lib.h"
#include "tolvan/containers/stack.h"

#include <algorithm>
#include <mutex>

#include <dlfcn.h>
#include <link.h>
#include <sys/auxv.h>

namespace Kalvex::WinApi {

namespace {

// LoadStringW's buffer holds 2048 characters, its terminator included.
constexpr int MAX_STRING_RESOURCE_LENGTH = 2047;

struct RegisteredTable {
    ModuleHandle module;
    const Detail::ResourceTable* table;
};

struct TableList {
    std::mutex lock;
    Stack<RegisteredTable> tables;
};

// Never destroyed: modules may unregister while the process exits.
TableList& registry() {
    static TableList* const instance = tolvanNew<TableList>();
    return *instance;
}

ModuleHandle executableModule() {
    return getModuleHandleFromAddress(reinterpret_cast<const void*>(::getauxval(AT_ENTRY)));
}

// The table of `module` (null for the executable), looked up under the registry lock.
template <typename Visit>
auto visitTable(ModuleHandle module, Visit visit) -> decltype(visit(std::declval<const Detail::ResourceTable&>())) {
    if (!module) module = executableModule();
    TableList& r = registry();
    std::lock_guard guard(r.lock);
    for (const RegisteredTable& entry : r.tables) {
        if (entry.module == module) return visit(*entry.table);
    }
    return NONE;
}

bool sameName(const char* stored, const String& name) {
    String a = String::fromUtf8(stored);
    String b = name;
    return a.toLowerCase() == b.toLowerCase();
}

struct ModuleSearch {
    const Io::Path* wanted;
    const void* address = nullptr;
};

// dl_iterate_phdr callback: records an address inside the module whose file matches.
int matchModule(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<ModuleSearch*>(data);
    const Io::Path file = info->dlpi_name && *info->dlpi_name ? Io::Path(String::fromUtf8(info->dlpi_name))
                                                              : Utils::getExecutableFilePath();
    const Io::Path& wanted = *search->wanted;
    // A module loaded through a link matches both the link's name and its target's.
    const Io::Path real = file.normalized();
    const bool matches = wanted.genericStr().contains(u"/")
                             ? file == wanted || real == wanted.normalized()
                             : Io::Path(file.fileName()) == wanted || Io::Path(real.fileName()) == wanted;
    if (!matches) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            search->address = reinterpret_cast<const void*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
            return 1;
        }
    }
    return 0;
}

} // namespace

ModuleHandle getModuleHandleFromAddress(const void* address) {
    Dl_info info;
    if (!address || !::dladdr(address, &info)) return nullptr;
    return info.dli_fbase;
}

ModuleHandle getMyModuleHandle() {
    return getModuleHandleFromAddress(reinterpret_cast<const void*>(&getMyModuleHandle));
}

ModuleHandle getModuleHandle(const Io::Path& module) {
    if (module.isEmpty()) return executableModule();
    ModuleSearch search{&module};
    ::dl_iterate_phdr(matchModule, &search);
    return getModuleHandleFromAddress(search.address);
}

Optional<ArrayView<const std::byte>> getFileResourceData(ModuleHandle module, const String& name) {
    return visitTable(module, [&](const Detail::ResourceTable& table) -> Optional<ArrayView<const std::byte>> {
        for (int i = 0; i < table.mFileCount; ++i) {
            const Detail::FileResource& file = table.mFiles[i];
            if (sameName(file.mName, name)) {
                return ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(file.mData), int64(file.mSize));
            }
        }
        return NONE;
    });
}

Optional<String> getStringResource(ModuleHandle module, int id) {
    return visitTable(module, [&](const Detail::ResourceTable& table) -> Optional<String> {
        for (int i = 0; i < table.mStringCount; ++i) {
            if (table.mStrings[i].mId != id) continue;
            String text = String::fromUtf8(table.mStrings[i].mText);
            if (text.length() > MAX_STRING_RESOURCE_LENGTH) text = text.getSubstr(0, MAX_STRING_RESOURCE_LENGTH);
            if (text.isEmpty()) return NONE;
            return text;
        }
        return NONE;
    });
}

namespace Detail {

ResourceTableRegistration::ResourceTableRegistration(const ResourceTable& table)
    : mTable(table) {
    TableList& r = registry();
    std::lock_guard guard(r.lock);
    r.tables.push(RegisteredTable{getModuleHandleFromAddress(&table), &table});
}

ResourceTableRegistration::~ResourceTableRegistration() {
    TableList& r = registry();
    std::lock_guard guard(r.lock);
    for (int i = 0; i < r.tables.size(); ++i) {
        if (r.tables[i].table == &mTable) {
            r.tables.remove(i);
            return;
        }
    }
}

} // namespace Detail

} // namespace Kalvex::WinApi

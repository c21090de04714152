// Files and strings embedded in a module (the executable or a shared library) at build time, and the
// handles that name modules.
//
//   # CMake: tolvan_embed_resources(my_program FILES logo.png data/logo.png STRINGS 101 "Hello")
//   Optional<ArrayView<const std::byte>> logo = WinApi::getFileResourceData(nullptr, u"logo.png");
//
// cmake/TolvanEmbedResources.cmake generates a table for each module; the table registers itself when
// the module is loaded. Resource names are compared without case.
#pragma once

#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"

#include <cstddef>

namespace Kalvex::WinApi {

/// A loaded module, named by its load address; null stands for the executable.
using ModuleHandle = const void*;

/// The module of the library itself.
[[nodiscard]] ModuleHandle getMyModuleHandle();
/// The module containing `address`; null when no module does.
[[nodiscard]] ModuleHandle getModuleHandleFromAddress(const void* address);
/// The loaded module whose file is `module` (a full path, or just the file name, compared without
/// case); the executable's module for an empty path; null when no such module is loaded.
[[nodiscard]] ModuleHandle getModuleHandle(const Io::Path& module);

/// The bytes of the file resource `name` of `module`, in place (valid while the module stays loaded);
/// empty when the module has no such resource.
[[nodiscard]] Optional<ArrayView<const std::byte>> getFileResourceData(ModuleHandle module, const String& name);
/// The string resource `id` of `module`, cut to 2047 characters; empty when it is missing or empty.
[[nodiscard]] Optional<String> getStringResource(ModuleHandle module, int id);

namespace Detail {

/// The tables that the generated code of a module fills in.
struct FileResource {
    const char* mName; // UTF-8
    const unsigned char* mData;
    uint64 mSize;
};
struct StringResource {
    int mId;
    const char* mText; // UTF-8
};
struct ResourceTable {
    const FileResource* mFiles;
    int mFileCount;
    const StringResource* mStrings;
    int mStringCount;
};

/// Makes a module's table known while the module is loaded (a static object of the generated code).
class ResourceTableRegistration {
public:
    explicit ResourceTableRegistration(const ResourceTable& table);
    ResourceTableRegistration(const ResourceTableRegistration&) = delete;
    ResourceTableRegistration& operator=(const ResourceTableRegistration&) = delete;
    ~ResourceTableRegistration();

private:
    const ResourceTable& mTable;
};

} // namespace Detail

} // namespace Kalvex::WinApi

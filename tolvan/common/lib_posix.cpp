// The process queries of lib.h on Linux: /proc, readlink, realpath and the dynamic linker.
#include "tolvan/common/lib.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

namespace Kalvex {

namespace {

String readLink(const char* path) {
    char buffer[4096];
    const ssize_t length = readlink(path, buffer, sizeof buffer - 1);
    if (length <= 0) return String();
    return String::fromUtf8(std::string_view(buffer, size_t(length)));
}

String getRealPath(const char* path) {
    char buffer[PATH_MAX];
    return String::fromUtf8(realpath(path, buffer) ? buffer : path);
}

} // namespace

Io::Path Utils::getExecutableFilePath() {
    return readLink("/proc/self/exe");
}

Io::Path Utils::getModuleFilePath(const void* address) {
    Dl_info info;
    link_map* module = nullptr;
    if (!address || !dladdr1(address, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) || !module) {
        return Io::Path();
    }
    // The executable's own entry has an empty name.
    if (!module->l_name || !*module->l_name) return getExecutableFilePath();
    return getRealPath(module->l_name);
}

bool Utils::isDebuggerAttached() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return false;
    char line[256];
    long tracer = 0;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "TracerPid:", 10) == 0) {
            tracer = std::strtol(line + 10, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return tracer != 0;
}

} // namespace Kalvex

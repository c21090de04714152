#include "tolvan/winapi/account_posix.h"

#include "tolvan/containers/stack.h"

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace Kalvex::WinApi::Detail::Posix {

namespace {

// Entries are refused beyond this buffer size (the databases' lines are far shorter).
constexpr long MAX_ENTRY_BUFFER = 1 << 20;

// Calls `lookup(buffer, size, result)` with a growing buffer until it no longer reports ERANGE; `use`
// reads the entry while the buffer is alive. Returns whether an entry was found.
template <typename Entry, typename Lookup, typename Use>
bool lookUpEntry(long sizeHint, Lookup lookup, Use use) {
    long size = sizeHint > 0 ? sizeHint : 1024;
    while (size <= MAX_ENTRY_BUFFER) {
        Stack<char> buffer(static_cast<int>(size));
        Entry entry;
        Entry* result = nullptr;
        const int error = lookup(&entry, buffer.data(), size_t(size), &result);
        if (error == ERANGE) {
            size *= 2;
            continue;
        }
        if (error != 0 || !result) return false;
        use(*result);
        return true;
    }
    return false;
}

} // namespace

String passwordDatabaseHomeFolder() {
    String home;
    const uid_t uid = ::getuid();
    lookUpEntry<passwd>(
        ::sysconf(_SC_GETPW_R_SIZE_MAX),
        [uid](passwd* entry, char* buffer, size_t size, passwd** result) {
            return ::getpwuid_r(uid, entry, buffer, size, result);
        },
        [&home](const passwd& entry) {
            if (entry.pw_dir) home = String::fromUtf8(entry.pw_dir);
        });
    return home;
}

Optional<uint32> groupId(const char* name) {
    Optional<uint32> id;
    lookUpEntry<group>(
        ::sysconf(_SC_GETGR_R_SIZE_MAX),
        [name](group* entry, char* buffer, size_t size, group** result) {
            return ::getgrnam_r(name, entry, buffer, size, result);
        },
        [&id](const group& entry) { id = uint32(entry.gr_gid); });
    return id;
}

} // namespace Kalvex::WinApi::Detail::Posix

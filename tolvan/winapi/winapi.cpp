#include "tolvan/winapi/winapi.h"

#include "tolvan/io/filesystem.h"
#include "tolvan/winapi/account_posix.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Kalvex::WinApi {

namespace {

// ---------------------------------------------------------------------------------------------------
// Error texts

constexpr uint32 FIRST_INTERNET_ERROR = 12000;
constexpr uint32 LAST_INTERNET_ERROR = 12175;

struct InternetErrorText {
    uint32 code;
    const char* text;
};

// The common Internet errors, with the texts Windows gives them; the others have none.
constexpr InternetErrorText INTERNET_ERRORS[] = {
    {12002, "The operation timed out"},
    {12004, "An internal error occurred in the Microsoft Internet extensions"},
    {12005, "The URL is invalid"},
    {12006, "The URL does not use a recognized protocol"},
    {12007, "The server name or address could not be resolved"},
    {12029, "A connection with the server could not be established"},
    {12030, "The connection with the server was terminated abnormally"},
    {12031, "The connection with the server was reset"},
    {12152, "The server returned an invalid or unrecognized response"},
    {12157, "An error occurred in the secure channel support"},
};

// The system's text for an errno value; null when it has none.
const char* systemErrorText(uint32 code, char (&buffer)[256]) {
    if (code > uint32(INT_MAX)) return nullptr;
    const char* text = strerror_r(int(code), buffer, sizeof(buffer));
    if (!text || std::strncmp(text, "Unknown error", 13) == 0) return nullptr;
    return text;
}

const char* internetErrorText(uint32 code) {
    for (const InternetErrorText& entry : INTERNET_ERRORS) {
        if (entry.code == code) return entry.text;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------------
// Known folders

// The value of an environment variable when it holds an absolute path.
const char* absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? value : nullptr;
}

String homeFolder() {
    if (const char* home = absoluteVariable("HOME")) return String::fromUtf8(home);
    return Detail::Posix::passwordDatabaseHomeFolder();
}

// The folder named by `variable` when it is absolute, else `home` followed by `homeSuffix`.
String xdgFolder(const char* variable, const String& home, const char16_t* homeSuffix) {
    if (const char* value = absoluteVariable(variable)) return String::fromUtf8(value);
    return home.isEmpty() ? String() : home + String(homeSuffix);
}

// The first absolute entry of $XDG_DATA_DIRS, else "/usr/local/share".
String systemDataFolder() {
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    if (dirs) {
        for (const String& dir : String::fromUtf8(dirs).explode(u":")) {
            if (dir.startsWith(u"/")) return dir;
        }
    }
    return String(u"/usr/local/share");
}

// XDG_DESKTOP_DIR from the user's user-dirs.dirs ("$HOME/..." or an absolute path), else ~/Desktop.
String desktopFolder(const String& home) {
    const String config = xdgFolder("XDG_CONFIG_HOME", home, u"/.config");
    if (!config.isEmpty()) {
        if (FILE* file = std::fopen((config + String(u"/user-dirs.dirs")).toUtf8().cStr(), "r")) {
            char line[4096];
            String found;
            while (found.isEmpty() && std::fgets(line, sizeof(line), file)) {
                const char* prefix = "XDG_DESKTOP_DIR=\"";
                if (std::strncmp(line, prefix, std::strlen(prefix)) != 0) continue;
                String value = String::fromUtf8(line + std::strlen(prefix));
                const int end = value.findLastOf(u'"');
                if (end == String::nPos) continue;
                value = value.getSubstr(0, end);
                if (value.startsWith(u"$HOME")) value = home + value.getSubstr(5);
                if (value.startsWith(u"/")) found = value;
            }
            std::fclose(file);
            if (!found.isEmpty()) return found;
        }
    }
    return home.isEmpty() ? String() : home + String(u"/Desktop");
}

String knownFolderText(const Guid& id) {
    const String home = homeFolder();
    if (id == FOLDERID_LOCAL_APP_DATA) return xdgFolder("XDG_DATA_HOME", home, u"/.local/share");
    if (id == FOLDERID_PROGRAM_DATA) return systemDataFolder();
    if (id == FOLDERID_DESKTOP) return desktopFolder(home);
    if (id == FOLDERID_PROGRAM_FILES_X64) return String(u"/opt");
    return String();
}

// ---------------------------------------------------------------------------------------------------
// Administrators

const char* const ADMIN_GROUPS[] = {"sudo", "wheel", "admin"};

bool belongsToGroup(gid_t group) {
    if (::getegid() == group) return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    Stack<gid_t> groups(count);
    const int filled = ::getgroups(count, groups.data());
    for (int i = 0; i < filled; ++i) {
        if (groups[i] == group) return true;
    }
    return false;
}

bool belongsToAdminGroup() {
    for (const char* name : ADMIN_GROUPS) {
        const Optional<uint32> id = Detail::Posix::groupId(name);
        if (id && belongsToGroup(gid_t(*id))) return true;
    }
    return false;
}

// Whether an executable `name` is found on $PATH.
bool isOnPath(const char* name) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    for (const String& dir : String::fromUtf8(path).explode(u":", String::SKIP_EMPTY)) {
        if (::access((dir + String(u"/") + String::fromUtf8(name)).toUtf8().cStr(), X_OK) == 0) return true;
    }
    return false;
}

} // namespace

String getErrorMessage(uint32 code) {
    char buffer[256];
    const char* text = code >= FIRST_INTERNET_ERROR && code <= LAST_INTERNET_ERROR ? internetErrorText(code)
                                                                                    : systemErrorText(code, buffer);
    if (text) {
        String message = String::fromUtf8(text);
        message.trim();
        if (!message.isEmpty()) return message;
    }
    char fallback[32];
    std::snprintf(fallback, sizeof(fallback), "Error code %u", unsigned(code));
    return String::fromAscii(fallback);
}

String getLastErrorMessage() {
    return getErrorMessage(uint32(errno));
}

Optional<String> getEnvironmentVariable(const String& name) {
    if (name.isEmpty() || name.find(u'=') != String::nPos) return NONE;
    const char* value = std::getenv(name.toUtf8().cStr());
    if (!value) return NONE;
    return String::fromUtf8(value);
}

Optional<Io::Path> getKnownFolder(const Guid& folderId) {
    String folder = knownFolderText(folderId);
    while (folder.length() > 1 && folder.endsWith(u"/"))
        folder.erase(folder.length() - 1);
    if (folder.isEmpty()) return NONE;
    if (!folder.endsWith(u"/")) folder << u'/';
    return Io::Path(std::move(folder));
}

bool isUacElevated() {
    return ::geteuid() == 0;
}

bool hasAdminPrivileges() {
    return isUacElevated() || belongsToAdminGroup();
}

bool canUacElevate() {
    return isUacElevated() || (belongsToAdminGroup() && (isOnPath("pkexec") || isOnPath("sudo")));
}

} // namespace Kalvex::WinApi

namespace Kalvex::Utils {

namespace {

// How long a launch waits for xdg-open to report; a helper still running then (a browser in the
// foreground, say) counts as started and is reaped in the background.
constexpr int LAUNCH_WAIT_MS = 10000;

// Waits for the child `pid` up to LAUNCH_WAIT_MS; true when it exited with status 0 or still runs.
bool waitForLaunch(pid_t pid) {
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd wait{pidfd, POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&wait, 1, LAUNCH_WAIT_MS);
        } while (ready < 0 && errno == EINTR);
        ::close(pidfd);
        if (ready == 0) {
            std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
            return true;
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs "xdg-open target" (found on $PATH) with its input from /dev/null.
bool xdgOpen(const String& target) {
    if (target.isEmpty()) return false;
    const String::CharBuffer<char> argument = target.toUtf8();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    char program[] = "xdg-open";
    char* argv[] = {program, const_cast<char*>(argument.cStr()), nullptr};
    pid_t pid = -1;
    const int failed = ::posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 && waitForLaunch(pid);
}

} // namespace

bool openInBrowser(const String& address) {
    return xdgOpen(address);
}

bool openFileUi(const Io::Path& path) {
    return xdgOpen(path.nativeStr());
}

bool openFileInFolder(const Io::Path& path) {
    if (path.isEmpty() || !Io::pathExists(path)) return false;
    Io::Path folder = path.normalized().parentDirectory();
    return !folder.isEmpty() && xdgOpen(folder.nativeStr());
}

} // namespace Kalvex::Utils

#include "tolvan/common/lib.h"
#include "tolvan/winapi/guid.h"
#include "tolvan/winapi/resources.h"
#include "tolvan/winapi/winapi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::WinApi;

namespace {

std::string utf8(const String& s) {
    return s.toUtf8().cStr();
}

// Sets (or, with null, unsets) environment variables for one scope and restores them afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::initializer_list<std::pair<const char*, const char*>> settings) {
        for (const auto& [name, value] : settings) {
            const char* old = std::getenv(name);
            mSaved.push_back({name, old ? std::string(old) : std::string(), old != nullptr});
            set(name, value);
        }
    }
    ~ScopedEnvironment() {
        for (auto it = mSaved.rbegin(); it != mSaved.rend(); ++it)
            set(it->name.c_str(), it->present ? it->value.c_str() : nullptr);
    }

private:
    static void set(const char* name, const char* value) {
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    struct Saved {
        std::string name;
        std::string value;
        bool present;
    };
    std::vector<Saved> mSaved;
};

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/tolvan_winapi_XXXXXX";
        mPath = ::mkdtemp(pattern) ? pattern : "";
    }
    ~TemporaryDirectory() { std::system(("rm -rf '" + mPath + "'").c_str()); }
    [[nodiscard]] const std::string& path() const { return mPath; }
    void write(const std::string& name, const std::string& content, mode_t mode = 0644) const {
        std::ofstream(mPath + "/" + name) << content;
        ::chmod((mPath + "/" + name).c_str(), mode);
    }
    [[nodiscard]] std::string read(const std::string& name) const {
        std::ifstream in(mPath + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string mPath;
};

} // namespace

TEST(WinApiErrors, MessagesForCodes) {
    struct Case {
        uint32 code;
        const char* text;
    };
    const Case cases[] = {
        {2, std::strerror(2)},
        {13, std::strerror(13)},
        {12029, "A connection with the server could not be established"},
        {12002, "The operation timed out"},
        {12100, "Error code 12100"}, // an Internet error without a text
        {99999, "Error code 99999"},
        {4294967295u, "Error code 4294967295"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(utf8(getErrorMessage(c.code)), c.text);
    }
    errno = ENOENT;
    EXPECT_EQ(getLastErrorMessage(), getErrorMessage(ENOENT));
    const std::string text = utf8(getErrorMessage(ENOENT));
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
}

TEST(WinApiEnvironment, PresentEmptyAndAbsent) {
    ScopedEnvironment environment({{"TOLVAN_EMPTY", ""}, {"TOLVAN_SET", "Grüße /x"}, {"TOLVAN_UNSET", nullptr}});
    EXPECT_EQ(getEnvironmentVariable(u"TOLVAN_EMPTY"), Optional<String>(String()));
    EXPECT_EQ(getEnvironmentVariable(u"TOLVAN_SET"), Optional<String>(u"Grüße /x"));
    EXPECT_FALSE(getEnvironmentVariable(u"TOLVAN_UNSET").hasValue());
    EXPECT_FALSE(getEnvironmentVariable(u"").hasValue());
    EXPECT_FALSE(getEnvironmentVariable(u"TOLVAN_SET=Grüße").hasValue());
}

TEST(WinApiKnownFolders, AnsweredFromTheXdgRules) {
    TemporaryDirectory home;
    const std::string h = home.path();
    ::mkdir((h + "/config").c_str(), 0700);
    home.write("config/user-dirs.dirs", "# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                                        "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    struct Case {
        const char* what;
        Guid folder;
        const char* variable; // set for this case (null: none)
        std::optional<std::string> value; // its value (nullopt: unset)
        std::string expected;             // "" for no result
    };
    const std::vector<Case> cases = {
        {"local data from XDG_DATA_HOME", FOLDERID_LOCAL_APP_DATA, "XDG_DATA_HOME", "/data/home/", "/data/home/"},
        {"local data under HOME", FOLDERID_LOCAL_APP_DATA, "XDG_DATA_HOME", std::nullopt, h + "/.local/share/"},
        {"a relative XDG_DATA_HOME is ignored", FOLDERID_LOCAL_APP_DATA, "XDG_DATA_HOME", "rel", h + "/.local/share/"},
        {"program data from XDG_DATA_DIRS", FOLDERID_PROGRAM_DATA, "XDG_DATA_DIRS", "rel::/usr/share:/x", "/usr/share/"},
        {"program data by default", FOLDERID_PROGRAM_DATA, "XDG_DATA_DIRS", std::nullopt, "/usr/local/share/"},
        {"desktop from user-dirs.dirs", FOLDERID_DESKTOP, "XDG_CONFIG_HOME", h + "/config", h + "/Schreibtisch/"},
        {"desktop by default", FOLDERID_DESKTOP, "XDG_CONFIG_HOME", "/nonexistent", h + "/Desktop/"},
        {"program files", FOLDERID_PROGRAM_FILES_X64, nullptr, std::nullopt, "/opt/"},
        {"an unknown folder", Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, nullptr, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedEnvironment environment({{"HOME", h.c_str()}});
        ScopedEnvironment specific({{c.variable ? c.variable : "TOLVAN_UNUSED", c.value ? c.value->c_str() : nullptr}});
        const Optional<Io::Path> folder = getKnownFolder(c.folder);
        ASSERT_EQ(folder.hasValue(), !c.expected.empty());
        if (folder) {
            EXPECT_EQ(utf8(folder->genericStr()), c.expected);
        }
    }
}

// Without HOME the password database names the home folder (looked up with the reentrant calls).
TEST(WinApiKnownFolders, WithoutHomeThePasswordDatabaseDecides) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[16384];
    ASSERT_EQ(::getpwuid_r(::getuid(), &entry, buffer, sizeof(buffer), &found), 0);
    ASSERT_NE(found, nullptr);
    ScopedEnvironment environment({{"HOME", nullptr}, {"XDG_DATA_HOME", nullptr}});
    const Optional<Io::Path> folder = getKnownFolder(FOLDERID_LOCAL_APP_DATA);
    ASSERT_TRUE(folder.hasValue());
    EXPECT_EQ(utf8(folder->genericStr()), std::string(entry.pw_dir) + "/.local/share/");
}

TEST(WinApiGuid, TextForms) {
    EXPECT_EQ(guidToString(FOLDERID_LOCAL_APP_DATA), String(u"f1b32785-6fba-4fcf-9d55-7b8e7f157091"));
    EXPECT_EQ(guidToString(Guid{}), String(u"00000000-0000-0000-0000-000000000000"));
    for (const Guid& guid : {FOLDERID_LOCAL_APP_DATA, FOLDERID_PROGRAM_DATA, FOLDERID_DESKTOP, FOLDERID_PROGRAM_FILES_X64}) {
        EXPECT_EQ(stringToGuid(guidToString(guid)), Optional<Guid>(guid));
    }
    EXPECT_EQ(stringToGuid(u"6D809377-6AF0-444B-8957-A3773F02200E"), Optional<Guid>(FOLDERID_PROGRAM_FILES_X64));
    const char16_t* refused[] = {
        u"{6d809377-6af0-444b-8957-a3773f02200e}",
        u"6d809377-6af0-444b-8957-a3773f02200",    // short
        u"6d809377-6af0-444b-8957-a3773f02200e0",  // long
        u"6d8093776-af0-444b-8957-a3773f02200e",   // hyphen misplaced
        u"6d809377-6af0-444b-8957-a3773f02200g",   // not hexadecimal
        u"6d809377-6af0-444b-8957-a3773f02200é",   // not ASCII
        u"6d809377+6af0-444b-8957-a3773f02200e",
        u"",
    };
    for (const char16_t* text : refused) {
        SCOPED_TRACE(utf8(text));
        EXPECT_FALSE(stringToGuid(text).hasValue());
    }
}

TEST(WinApiResources, EmbeddedFilesAndStrings) {
    const ModuleHandle program = getModuleHandle(Io::Path());
    ASSERT_NE(program, nullptr);
    static int marker;
    EXPECT_EQ(getModuleHandleFromAddress(&marker), program);
    EXPECT_EQ(getModuleHandle(Utils::getExecutableFilePath()), program);
    EXPECT_EQ(getModuleHandle(Io::Path(u"TOLVAN_WINAPI_TESTS")), program);
    const ModuleHandle library = getMyModuleHandle();
    ASSERT_NE(library, nullptr);
    EXPECT_NE(library, program);
    EXPECT_EQ(getModuleHandle(Utils::getModuleFilePath(library).fileName()), library);
    EXPECT_EQ(getModuleHandle(Io::Path(u"no-such-module.so")), nullptr);

    const Optional<ArrayView<const std::byte>> hello = getFileResourceData(nullptr, u"HELLO.TXT");
    ASSERT_TRUE(hello.hasValue());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(hello->data()), size_t(hello->size())), "Hello, resources!\n");
    EXPECT_EQ(getFileResourceData(program, u"hello.txt")->data(), hello->data()); // in place, not copied
    const Optional<ArrayView<const std::byte>> bytes = getFileResourceData(program, u"every byte.bin");
    ASSERT_TRUE(bytes.hasValue());
    ASSERT_EQ(bytes->size(), 256);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(int((*bytes)[i]), i);
    ASSERT_TRUE(getFileResourceData(program, u"empty.bin").hasValue());
    EXPECT_EQ(getFileResourceData(program, u"empty.bin")->size(), 0);
    EXPECT_FALSE(getFileResourceData(program, u"missing.txt").hasValue());
    EXPECT_FALSE(getFileResourceData(library, u"hello.txt").hasValue());

    EXPECT_EQ(getStringResource(program, 101), Optional<String>(u"Rendering finished"));
    EXPECT_EQ(getStringResource(nullptr, 102), Optional<String>(u"Grüße; \"quoted\" \\ and a tab:\t."));
    EXPECT_EQ(getStringResource(program, -5), Optional<String>(u"negative"));
    const Optional<String> longText = getStringResource(program, 103);
    ASSERT_TRUE(longText.hasValue());
    EXPECT_EQ(longText->length(), 2047); // cut at the buffer
    EXPECT_EQ(utf8(*longText).substr(0, 12), "012345678901");
    EXPECT_FALSE(getStringResource(program, 104).hasValue()); // empty
    EXPECT_FALSE(getStringResource(program, 999).hasValue());
    EXPECT_FALSE(getStringResource(library, 101).hasValue());
}

TEST(WinApiElevation, FollowsTheEffectiveUser) {
    EXPECT_EQ(isUacElevated(), ::geteuid() == 0);
    if (isUacElevated()) {
        EXPECT_TRUE(hasAdminPrivileges());
        EXPECT_TRUE(canUacElevate());
    }
    if (canUacElevate()) {
        EXPECT_TRUE(hasAdminPrivileges());
    }
}

// xdg-open is replaced by a script on PATH that logs its argument and exits with $FAKE_EXIT.
TEST(WinApiShell, OpensThroughXdgOpen) {
    TemporaryDirectory dir;
    const std::string d = dir.path();
    ::mkdir((d + "/bin").c_str(), 0755);
    ::mkdir((d + "/empty").c_str(), 0755);
    dir.write("bin/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$FAKE_LOG\"\nexit ${FAKE_EXIT:-0}\n", 0755);
    dir.write("file.txt", "x");
    const std::string log = d + "/log";
    ScopedEnvironment environment({{"PATH", (d + "/bin").c_str()}, {"FAKE_LOG", log.c_str()}, {"FAKE_EXIT", "0"}});

    EXPECT_TRUE(Utils::openInBrowser(u"https://example.com/a b"));
    EXPECT_TRUE(Utils::openFileUi(Io::Path(String::fromUtf8((d + "/file.txt").c_str()))));
    EXPECT_TRUE(Utils::openFileInFolder(Io::Path(String::fromUtf8((d + "/file.txt").c_str()))));
    EXPECT_FALSE(Utils::openFileInFolder(Io::Path(String::fromUtf8((d + "/missing.txt").c_str()))));
    EXPECT_FALSE(Utils::openInBrowser(u""));
    EXPECT_EQ(dir.read("log"), "https://example.com/a b\n" + d + "/file.txt\n" + d + "\n");
    {
        ScopedEnvironment failing({{"FAKE_EXIT", "3"}});
        EXPECT_FALSE(Utils::openInBrowser(u"https://example.com"));
    }
    {
        ScopedEnvironment missing({{"PATH", (d + "/empty").c_str()}});
        EXPECT_FALSE(Utils::openInBrowser(u"https://example.com"));
        EXPECT_FALSE(Utils::openFileUi(Io::Path(String::fromUtf8((d + "/file.txt").c_str()))));
    }
}

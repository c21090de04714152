// The registry store shared by real processes: this test program runs again as a writer child
// (RegistryChildProcess.DISABLED_Writer, chosen with a filter and configured through the environment).
#include "tolvan/winapi/registry.h"
#include "winapi/registry_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace Kalvex;
using namespace Kalvex::WinApi;

namespace {

const char16_t* const SHARED_KEY = u"HKEY_CURRENT_USER/Shared";
// The writer child: "<value prefix> <count> <wait for go: 0 or 1>".
const char* const WRITER_VARIABLE = "KALVEX_TEST_REGISTRY_WRITER";
// The child reports on descriptor 3 ("R" when ready, then the index of every write that returned true)
// and, when asked to, waits for one byte on descriptor 4 before it starts.
constexpr int REPORT_FD = 3;
constexpr int GO_FD = 4;

String valueName(const std::string& prefix, int index) {
    return String::fromUtf8((prefix + std::to_string(index)).c_str());
}

void report(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(REPORT_FD, text.data(), text.size()), ssize_t(text.size()));
}

class WriterProcess {
public:
    WriterProcess(const std::string& prefix, int count, bool waitForGo) {
        int reportPipe[2];
        int goPipe[2];
        if (::pipe2(reportPipe, O_CLOEXEC) != 0 || ::pipe2(goPipe, O_CLOEXEC) != 0) return;
        mReport = reportPipe[0];
        mGo = goPipe[1];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, reportPipe[1], REPORT_FD);
        posix_spawn_file_actions_adddup2(&actions, goPipe[0], GO_FD);
        // The child's own test report would only interleave with ours; its exit status tells the result.
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        const std::string setting = std::string(WRITER_VARIABLE) + "=" + prefix + " " + std::to_string(count) + " " +
                                    (waitForGo ? "1" : "0");
        std::vector<char*> environment;
        for (char** e = environ; *e; ++e)
            environment.push_back(*e);
        environment.push_back(const_cast<char*>(setting.c_str()));
        environment.push_back(nullptr);
        const char* argv[] = {"/proc/self/exe", "--gtest_filter=RegistryChildProcess.DISABLED_Writer",
                              "--gtest_also_run_disabled_tests", nullptr};
        if (posix_spawn(&mPid, argv[0], &actions, nullptr, const_cast<char**>(argv), environment.data()) != 0) {
            mPid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(reportPipe[1]);
        ::close(goPipe[0]);
    }
    WriterProcess(const WriterProcess&) = delete;
    ~WriterProcess() {
        if (mPid > 0) {
            ::kill(mPid, SIGKILL);
            (void)waitForExit();
        }
        if (mReport >= 0) ::close(mReport);
        if (mGo >= 0) ::close(mGo);
    }

    [[nodiscard]] bool isRunning() const { return mPid > 0; }

    /// The next reported line; "" at the end of the child's reports.
    std::string readLine() {
        std::string line;
        char c;
        while (::read(mReport, &c, 1) == 1) {
            if (c == '\n') return line;
            line += c;
        }
        return std::string();
    }
    void go() { ASSERT_EQ(::write(mGo, "g", 1), 1); }
    void kill() { ::kill(mPid, SIGKILL); }
    /// The wait status of the child.
    int waitForExit() {
        int status = 0;
        ::waitpid(mPid, &status, 0);
        mPid = -1;
        return status;
    }

private:
    pid_t mPid = -1;
    int mReport = -1;
    int mGo = -1;
};

// The indices reported by `writer` up to the end of its reports.
std::set<int> readConfirmations(WriterProcess& writer, std::set<int> confirmed = {}) {
    for (std::string line = writer.readLine(); !line.empty(); line = writer.readLine())
        confirmed.insert(std::stoi(line));
    return confirmed;
}

void expectValues(const std::string& prefix, const std::set<int>& indices) {
    for (int i : indices)
        ASSERT_EQ(Registry::getIntValue(SHARED_KEY, valueName(prefix, i)), Optional<int>(i)) << prefix << i;
}

std::string integrityCheck(const std::string& file) {
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, "PRAGMA integrity_check",
            [](void* out, int, char** values, char**) {
                *static_cast<std::string*>(out) += values[0] ? values[0] : "";
                return 0;
            },
            &result, nullptr);
    }
    sqlite3_close(db);
    return result;
}

using RegistryProcesses = TolvanTest::RegistryStoreTest;

} // namespace

// Run only as a child of the tests below.
TEST(RegistryChildProcess, DISABLED_Writer) {
    const char* setting = std::getenv(WRITER_VARIABLE);
    if (!setting) GTEST_SKIP() << "runs as a child process of the registry process tests";
    char prefix[64] = {};
    int count = 0;
    int waitForGo = 0;
    ASSERT_EQ(std::sscanf(setting, "%63s %d %d", prefix, &count, &waitForGo), 3);
    Optional<Registry::Key> key = Registry::openKey(SHARED_KEY, Registry::Access::SET_VALUE);
    ASSERT_TRUE(key.hasValue());
    report("R");
    char go;
    if (waitForGo) {
        ASSERT_EQ(::read(GO_FD, &go, 1), 1);
    }
    for (int i = 0; i < count; ++i) {
        if (key->setValue(valueName(prefix, i), i)) report(std::to_string(i));
    }
}

TEST_F(RegistryProcesses, TwoWritersAtOnceLoseNothing) {
    ASSERT_TRUE(Registry::createKey(SHARED_KEY).hasValue());
    constexpr int COUNT = 300;
    WriterProcess first("first", COUNT, true);
    WriterProcess second("second", COUNT, true);
    ASSERT_TRUE(first.isRunning() && second.isRunning());
    ASSERT_EQ(first.readLine(), "R");
    ASSERT_EQ(second.readLine(), "R");
    first.go();
    second.go();
    const std::set<int> firstDone = readConfirmations(first);
    const std::set<int> secondDone = readConfirmations(second);
    EXPECT_EQ(first.waitForExit(), 0);
    EXPECT_EQ(second.waitForExit(), 0);
    EXPECT_EQ(firstDone.size(), size_t(COUNT));
    EXPECT_EQ(secondDone.size(), size_t(COUNT));
    expectValues("first", firstDone);
    expectValues("second", secondDone);
    int values = 0;
    Registry::enumerateRegistryValues(Registry::PredefinedKey::CURRENT_USER, u"Shared",
                                      [&](const Registry::IRegistryValue&) { ++values; });
    EXPECT_EQ(values, 2 * COUNT);
}

TEST_F(RegistryProcesses, KilledWriterKeepsEveryConfirmedValue) {
    ASSERT_TRUE(Registry::createKey(SHARED_KEY).hasValue());
    Kalvex::WinApi::Registry::Detail::closeStoreConnection(); // the child alone has the file open
    WriterProcess writer("burst", 1000000, false);
    ASSERT_TRUE(writer.isRunning());
    ASSERT_EQ(writer.readLine(), "R");
    std::set<int> confirmed;
    while (confirmed.size() < 500) {
        const std::string line = writer.readLine();
        ASSERT_FALSE(line.empty()) << "the writer ended early";
        confirmed.insert(std::stoi(line));
    }
    writer.kill();
    confirmed = readConfirmations(writer, confirmed); // what it confirmed before it died
    EXPECT_TRUE(WIFSIGNALED(writer.waitForExit()));

    EXPECT_EQ(integrityCheck(mFile), "ok");
    expectValues("burst", confirmed);
    EXPECT_TRUE(Registry::setValue(SHARED_KEY, u"after", 1));
    EXPECT_EQ(Registry::getIntValue(SHARED_KEY, u"after"), Optional<int>(1));
}

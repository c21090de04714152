#include "tolvan/platform/process.h"

#include "support/blocking.h"
#include "tolvan/common/lib.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Kalvex;

namespace {

std::string utf8(const String& text) {
    return text.toUtf8().cStr();
}

const Io::Path SHELL(u"/bin/sh");

// A child running the shell script `script` with further positional arguments.
Process startShell(const char* script, Flags<ProcessFlag> flags = {}, std::vector<String> extra = {},
                   const Optional<Io::Path>& workingDirectory = NONE) {
    Stack<String> arguments{String(u"-c"), String::fromUtf8(script), String(u"sh")};
    for (const String& argument : extra)
        arguments.push(argument);
    return Process(SHELL, arguments, flags, workingDirectory);
}

std::string readAll(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    return text;
}

// A file for a child to write its process id into, removed at the end of the test.
class PidFile {
public:
    PidFile()
        : mPath(std::string(::testing::TempDir()) + "kalvex_pid_" + std::to_string(getpid()) + "_" +
                std::to_string(sCounter++)) {}
    ~PidFile() { std::remove(mPath.c_str()); }
    [[nodiscard]] String script() const {
        return String::fromUtf8("echo $$ > " + mPath + ".part && mv " + mPath + ".part " + mPath +
                                " && exec sleep 600");
    }
    // The child's pid once it has written it (0 after 60 s).
    [[nodiscard]] int waitForPid() const {
        int pid = 0;
        TolvanTest::waitUntil([&] {
            pid = std::atoi(readAll(mPath).c_str());
            return pid > 0;
        });
        return pid;
    }

private:
    static inline int sCounter = 0;
    std::string mPath;
};

Process startSleeper(const PidFile& pidFile, Flags<ProcessFlag> flags = {}) {
    const Stack<String> arguments{String(u"-c"), pidFile.script()};
    return Process(SHELL, arguments, flags);
}

} // namespace

TEST(ProcessCommandLine, EachArgumentFollowedByASpaceAndQuotedWhenItHoldsOne) {
    const struct {
        std::vector<const char16_t*> arguments;
        const char16_t* expected;
    } table[] = {
        {{u"a", u"b c"}, u"a \"b c\" "}, {{}, u""},
        {{u"", u"x"}, u" x "},           {{u"say \"hi\" now"}, u"\"say \"hi\" now\" "},
        {{u"tab\there"}, u"tab\there "},
    };
    for (const auto& row : table) {
        Stack<String> arguments;
        for (const char16_t* argument : row.arguments)
            arguments.push(String(argument));
        EXPECT_EQ(utf8(Detail::buildCommandLineArguments(arguments)), utf8(String(row.expected)));
    }
}

TEST(Process, CapturesOutputAndErrorAndReturnsTheExitCode) {
    Process child = startShell("printf hello; printf ' world' >&2; exit 3", ProcessFlag::REDIRECT_STDOUT);
    const Expected<String, String> first = child.getStdOut();
    ASSERT_TRUE(first.hasValue());
    EXPECT_EQ(utf8(first.value()), "hello world");
    EXPECT_EQ(utf8(child.getStdOut().value()), "hello world");
    EXPECT_EQ(child.wait(), 3);
    EXPECT_FALSE(child.isRunning());
    EXPECT_FALSE(child.kill());
    EXPECT_FALSE(child.waitFor(0).hasValue());
    EXPECT_EQ(utf8(child.getStdOut().value()), "hello world");
}

TEST(Process, OutputAfterWaitIsEmpty) {
    Process child = startShell("printf hello", ProcessFlag::REDIRECT_STDOUT);
    child.wait();
    const Expected<String, String> output = child.getStdOut();
    ASSERT_TRUE(output.hasValue());
    EXPECT_EQ(utf8(output.value()), "");
}

TEST(Process, WithoutRedirectionThereIsNoOutputToGet) {
    Process child = startShell("exit 0");
    const Expected<String, String> output = child.getStdOut();
    ASSERT_FALSE(output.hasValue());
    EXPECT_EQ(utf8(output.error()),
              "Failed to get stdout from this process. Make sure you create the process "
              "with the stdout redirect flag.");
    EXPECT_EQ(child.wait(), 0);
}

TEST(Process, ExitCodes) {
    for (const int code : {0, 1, 42, 255}) {
        Process child = startShell(("exit " + std::to_string(code)).c_str());
        EXPECT_EQ(child.wait(), code);
    }
    // A child ended by a signal other than kill(): 128 + the signal, as shells report it.
    Process crashed = startShell("kill -TERM $$");
    EXPECT_EQ(crashed.wait(), 128 + 15);
}

TEST(Process, ArgumentsReachTheChildUnsplit) {
    Process child = startShell(
        "printf '%s|' \"$@\"", ProcessFlag::REDIRECT_STDOUT,
        {String(u"a b"), String(u""), String(u"c\"d"), String(u"$HOME"), String(u"*"), String(u"Grüße")});
    EXPECT_EQ(utf8(child.getStdOut().value()), "a b||c\"d|$HOME|*|Grüße|");
    EXPECT_EQ(child.wait(), 0);
}

TEST(Process, RunsInTheWorkingDirectory) {
    char buffer[4096];
    ASSERT_NE(realpath(::testing::TempDir().c_str(), buffer), nullptr);
    Process child =
        startShell("pwd -P", ProcessFlag::REDIRECT_STDOUT, {}, Io::Path(String::fromUtf8(buffer)));
    EXPECT_EQ(utf8(child.getStdOut().value()), std::string(buffer) + "\n");
    // HIDDEN changes nothing on Linux.
    Process hidden = startShell("printf shown", Flags(ProcessFlag::REDIRECT_STDOUT) | ProcessFlag::HIDDEN);
    EXPECT_EQ(utf8(hidden.getStdOut().value()), "shown");
}

TEST(Process, ARelativeProgramIsFoundFromTheCallersDirectory) {
    const std::string folder = std::string(::testing::TempDir()) + "kalvex_tool_" + std::to_string(getpid());
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string tool = folder + "/tool.sh";
    std::ofstream(tool) << "#!/bin/sh\nprintf \"ran in $(pwd)\"\n";
    ASSERT_EQ(chmod(tool.c_str(), 0700), 0);
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    std::string output;
    try {
        Process child(Io::Path(u"./tool.sh"), {}, ProcessFlag::REDIRECT_STDOUT, Io::Path(u"/"));
        output = utf8(child.getStdOut().value());
    } catch (const Exception& e) {
        output = e.what();
    }
    EXPECT_EQ(chdir(previous), 0);
    std::remove(tool.c_str());
    rmdir(folder.c_str());
    EXPECT_EQ(output, "ran in /");
}

TEST(Process, OutputLargerThanThePipeHolds) {
    // One megabyte: the child blocks on the full pipe until the reader drains it.
    Process big = startShell("head -c 1000000 /dev/zero | tr '\\0' x", ProcessFlag::REDIRECT_STDOUT);
    const String text = big.getStdOut().value();
    EXPECT_EQ(text.length(), 1000000);
    EXPECT_EQ(text.findFirstNotOf(u'x'), String::nPos);
    EXPECT_EQ(big.wait(), 0);

    // Two-byte characters across read boundaries (the reads are of an odd size) stay whole.
    Process wide = startShell("i=0; while [ $i -lt 3000 ]; do printf 'ä'; i=$((i+1)); done",
                              ProcessFlag::REDIRECT_STDOUT);
    const String umlauts = wide.getStdOut().value();
    EXPECT_EQ(umlauts.length(), 3000);
    EXPECT_EQ(umlauts.findFirstNotOf(u'ä'), String::nPos);

    // Waiting without reading closes the pipe first, so a child writing on does not hang the wait.
    Process unread = startShell("head -c 1000000 /dev/zero", ProcessFlag::REDIRECT_STDOUT);
    unread.wait();
    EXPECT_FALSE(unread.isRunning());
}

TEST(Process, WaitForZeroAndKill) {
    PidFile pidFile;
    Process child = startSleeper(pidFile);
    ASSERT_GT(pidFile.waitForPid(), 0);
    EXPECT_FALSE(child.waitFor(0).hasValue());
    EXPECT_TRUE(child.isRunning());
    EXPECT_TRUE(child.kill());
    EXPECT_EQ(child.waitFor(60000), Optional<int>(-1));
    EXPECT_FALSE(child.isRunning());
    EXPECT_FALSE(child.kill());
    EXPECT_EQ(child.wait(), 1); // no handle any more
}

TEST(Process, DestructionKillsARunningChildUnlessKeptRunning) {
    PidFile killedFile;
    ScopedProcessHandle killed;
    {
        Process child = startSleeper(killedFile);
        killed = createProcessHandle(killedFile.waitForPid());
        ASSERT_FALSE(killed.isEmpty());
        EXPECT_TRUE(isProcessRunning(killed.get()));
        Process moved = std::move(child); // the moved-from object owns nothing
    }
    EXPECT_FALSE(isProcessRunning(killed.get()));

    PidFile keptFile;
    ScopedProcessHandle kept;
    {
        Process child = startSleeper(keptFile, ProcessFlag::KEEP_RUNNING);
        kept = createProcessHandle(keptFile.waitForPid());
        ASSERT_FALSE(kept.isEmpty());
    }
    EXPECT_TRUE(isProcessRunning(kept.get()));
    killProcess(kept.get());
    EXPECT_TRUE(TolvanTest::waitUntil([&] { return !isProcessRunning(kept.get()); }));
}

TEST(Process, StartFailures) {
    try {
        Process missing(Io::Path(u"/nonexistent/tool"), {}, {});
        FAIL() << "started a missing program";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Can't start /nonexistent/tool as process.");
    }
    if (access("/usr/bin/pkexec", X_OK) == 0 || access("/bin/pkexec", X_OK) == 0) return;
    // Without pkexec nothing can start elevated.
    try {
        const Stack<String> arguments{String(u"-c"), String(u"exit 0")};
        Process elevated(SHELL, arguments, ProcessFlag::ELEVATED);
        FAIL() << "started elevated without pkexec";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Can't start /bin/sh as process.");
    }
}

TEST(ProcessFunctions, HandlesPidsAndTheRunningPrograms) {
    EXPECT_EQ(getThisProcessPid(), int(getpid()));
    EXPECT_TRUE(createProcessHandle(0).isEmpty());
    EXPECT_FALSE(isProcessRunning(nullptr));
    killProcess(nullptr);
    const ScopedProcessHandle self = createProcessHandle(getThisProcessPid());
    EXPECT_TRUE(isProcessRunning(self.get()));

    const String ownName = Utils::getExecutableFilePath().fileName();
    const Stack<String> running = listRunningProcesses();
    EXPECT_NE(running.find(ownName), -1) << utf8(ownName);
}

// ---------------------------------------------------------------------------------------------------
// InterprocessEvent

namespace {

String uniqueName(const char* stem) {
    static int counter = 0;
    return String::fromUtf8(std::string(stem) + std::to_string(getpid()) + "_" + std::to_string(counter++));
}

std::string eventFailure(const String& name, InterprocessEvent::Mode mode) {
    try {
        InterprocessEvent event(name, mode);
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

// The value of "--kalvex-event=" on this program's command line; empty in an ordinary test run.
std::string getChildEventArgument() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    std::string argument;
    const std::string prefix = "--kalvex-event=";
    while (std::getline(file, argument, '\0')) {
        if (argument.rfind(prefix, 0) == 0) return argument.substr(prefix.size());
    }
    return "";
}

} // namespace

TEST(InterprocessEvent, NamesOfOneToThirtyCharacters) {
    const std::string message = "Could not create InterprocessEvent (name is too short or long).";
    EXPECT_EQ(eventFailure(String(), InterprocessEvent::Mode::OPEN_OR_CREATE), message);
    EXPECT_EQ(eventFailure(String(u"abcdefghijklmnopqrstuvwxyz12345"), InterprocessEvent::Mode::CREATE),
              message);
    String thirty = uniqueName("n");
    while (thirty.length() < 30)
        thirty += String(u"x");
    EXPECT_EQ(eventFailure(thirty, InterprocessEvent::Mode::CREATE), "");
    // Characters a file name cannot hold are fine too.
    EXPECT_EQ(eventFailure(uniqueName("a/b\\c d"), InterprocessEvent::Mode::CREATE), "");
}

TEST(InterprocessEvent, ModesAndTheirFailures) {
    const String missing = uniqueName("missing");
    EXPECT_EQ(eventFailure(missing, InterprocessEvent::Mode::OPEN),
              "InterprocessEvent \"" + utf8(missing) + "\" does not exist.");

    const String name = uniqueName("modes");
    InterprocessEvent created(name, InterprocessEvent::Mode::CREATE);
    EXPECT_EQ(eventFailure(name, InterprocessEvent::Mode::CREATE),
              "InterprocessEvent \"" + utf8(name) + "\" already exists.");
    InterprocessEvent opened(name, InterprocessEvent::Mode::OPEN);
    InterprocessEvent either(name, InterprocessEvent::Mode::OPEN_OR_CREATE);
    EXPECT_EQ(either.getName(), name);

    // One event behind all three handles, reset automatically, with no count of signals.
    EXPECT_FALSE(opened.wait(0));
    created.set();
    created.set();
    EXPECT_TRUE(either.wait(0));
    EXPECT_FALSE(opened.wait(0));
    EXPECT_FALSE(created.wait(20));
    opened.set();
    EXPECT_TRUE(created.wait(NONE));

    // Moving hands the handle over; the last handle closed removes the event.
    InterprocessEvent moved = std::move(created);
    moved.set();
    EXPECT_TRUE(opened.wait(0));
    {
        InterprocessEvent a = std::move(moved);
        InterprocessEvent b = std::move(opened);
        InterprocessEvent c = std::move(either);
    }
    EXPECT_EQ(eventFailure(name, InterprocessEvent::Mode::OPEN),
              "InterprocessEvent \"" + utf8(name) + "\" does not exist.");
    InterprocessEvent fresh(name, InterprocessEvent::Mode::CREATE);
    EXPECT_FALSE(fresh.wait(0));
}

// Run as a child by the next test: waits once for the event named on the command line.
TEST(InterprocessEventChild, WaitsOnce) {
    const std::string name = getChildEventArgument();
    if (name.empty())
        GTEST_SKIP() << "runs only as the child of InterprocessEvent.OneSetReleasesOneWaiter...";
    InterprocessEvent event(String::fromUtf8(name), InterprocessEvent::Mode::OPEN);
    ASSERT_TRUE(event.wait(120000));
}

TEST(InterprocessEvent, OneSetReleasesOneWaiterInAnotherProcess) {
    const String name = uniqueName("ipc");
    InterprocessEvent event(name, InterprocessEvent::Mode::CREATE);
    // The children's test output is discarded (no pipe: waitFor closes it, and writing into a closed
    // pipe would end them).
    const Stack<String> arguments{String(u"-c"), String(u"exec \"$0\" \"$@\" >/dev/null 2>&1"),
                                  Utils::getExecutableFilePath().nativeStr(),
                                  String(u"--gtest_filter=InterprocessEventChild.WaitsOnce"),
                                  String(u"--kalvex-event=") + name};
    Process first(SHELL, arguments);
    Process second(SHELL, arguments);

    event.set();
    // Exactly one child ends, and it took the signal with it.
    Optional<int> code;
    Process* other = nullptr;
    ASSERT_TRUE(TolvanTest::waitUntil([&] {
        if ((code = first.waitFor(1)))
            other = &second;
        else if ((code = second.waitFor(1)))
            other = &first;
        return code.hasValue();
    }));
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(other->isRunning());
    EXPECT_FALSE(event.wait(0));

    event.set();
    EXPECT_EQ(other->waitFor(120000), Optional<int>(0));
}

// Runs the tolvan program as a child process with pipes for its standard output and error. Every wait
// is bounded: a child still running at its deadline is killed and reported with exit code -1.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace TolvanTest {

struct ToolResult {
    int code = -1;
    std::string out;
    std::string err;
};

class ToolProcess {
public:
    /// Starts the program with `args` (without the program name).
    explicit ToolProcess(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> argv{TOLVAN_TOOL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> pointers;
        for (std::string& a : argv)
            pointers.push_back(a.data());
        pointers.push_back(nullptr);
        if (posix_spawn(&mPid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) mPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        mOut = out[0];
        mErr = err[0];
    }
    ~ToolProcess() {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        if (mOut >= 0) close(mOut);
        if (mErr >= 0) close(mErr);
    }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    /// The next line of standard output (without its line feed); empty when none came within `timeout`.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t end = mResult.out.find('\n', mConsumed);
            if (end != std::string::npos) {
                std::string line = mResult.out.substr(mConsumed, end - mConsumed);
                mConsumed = end + 1;
                return line;
            }
            if (!pump(deadline, true)) return {};
        }
    }

    /// Waits for the end of the program (killing it at the deadline) and returns its exit code and all
    /// it printed.
    ToolResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (mOut >= 0 || mErr >= 0) {
            if (!pump(deadline, false)) break;
        }
        if (mPid > 0) {
            if (mOut >= 0 || mErr >= 0) kill(mPid, SIGKILL);
            int status = 0;
            waitpid(mPid, &status, 0);
            mPid = -1;
            mResult.code = (WIFEXITED(status) && !(mOut >= 0 || mErr >= 0)) ? WEXITSTATUS(status) : -1;
        }
        return mResult;
    }

private:
    // Reads what is available from the open pipes until the deadline; false at the deadline or when
    // `outOnly` and standard output has ended.
    bool pump(std::chrono::steady_clock::time_point deadline, bool outOnly) {
        pollfd fds[2] = {{mOut, POLLIN, 0}, {mErr, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (outOnly && mOut < 0)) return false;
        if (poll(fds, 2, int(left.count())) <= 0) return false;
        readFrom(fds[0], mOut, mResult.out);
        readFrom(fds[1], mErr, mResult.err);
        return true;
    }
    static void readFrom(const pollfd& fd, int& handle, std::string& into) {
        if (handle < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) return;
        char buffer[4096];
        const ssize_t got = read(handle, buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, size_t(got));
        } else {
            close(handle);
            handle = -1;
        }
    }

    pid_t mPid = -1;
    int mOut = -1;
    int mErr = -1;
    ToolResult mResult;
    size_t mConsumed = 0;
};

/// Runs the program to its end.
inline ToolResult runTool(const std::vector<std::string>& args,
                          std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    ToolProcess process(args);
    return process.wait(timeout);
}

} // namespace TolvanTest

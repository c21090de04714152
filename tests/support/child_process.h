// A helper program run beside a test (a python3 server, for example): its standard input and output
// are pipes, the first line it prints is read back, and it is stopped when the object goes away.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace TolvanTest {

class ChildProcess {
public:
    /// Starts `argv[0]` (searched in PATH) with the arguments; isRunning() tells whether that worked.
    explicit ChildProcess(const std::vector<std::string>& argv) {
        int in[2], out[2];
        if (pipe(in) != 0) return;
        if (pipe(out) != 0) {
            close(in[0]), close(in[1]);
            return;
        }
        mPid = fork();
        if (mPid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]), close(in[1]), close(out[0]), close(out[1]);
            std::vector<char*> args;
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        mStdin = in[1];
        mStdout = fdopen(out[0], "r");
    }

    ~ChildProcess() {
        if (mStdin >= 0) close(mStdin); // a well-behaved helper ends when its input closes
        if (mPid > 0) {
            kill(mPid, SIGTERM);
            waitpid(mPid, nullptr, 0);
        }
        if (mStdout) fclose(mStdout);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] bool isRunning() const { return mPid > 0 && mStdout; }

    /// The next line the program prints, without its line feed; empty at the end of its output.
    std::string readLine() {
        std::string line;
        if (!mStdout) return line;
        for (int c; (c = fgetc(mStdout)) != EOF && c != '\n';)
            line += char(c);
        return line;
    }

private:
    pid_t mPid = -1;
    int mStdin = -1;
    FILE* mStdout = nullptr;
};

} // namespace TolvanTest

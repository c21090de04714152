// Waiting for another thread to block, without sleeping for a guessed time: the kernel tells through
// /proc which system call a thread waits in, and every lock, condition variable and semaphore of the
// library sleeps in futex().
#pragma once

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/syscall.h>
#include <thread>

namespace TolvanTest {

/// True when the thread with kernel id `tid` (of this process) sleeps in futex() right now. Where the
/// kernel does not show system calls (/proc/.../syscall unreadable), a sleeping thread counts.
inline bool isBlockedInFutex(unsigned tid) {
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    std::ifstream syscallFile(task + "/syscall");
    std::string first;
    if (syscallFile >> first) {
        if (first == "running") return false;
        return first == std::to_string(SYS_futex);
    }
    std::ifstream statFile(task + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    const size_t end = stat.rfind(')'); // the name may hold spaces and parentheses
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
}

/// Waits until the thread sleeps in futex(); false after 60 s (then the test fails instead of hanging).
inline bool waitUntilBlocked(unsigned tid) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!isBlockedInFutex(tid)) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::yield();
    }
    return true;
}

/// Waits until `condition()` holds; false after 60 s.
template <typename Condition>
bool waitUntil(Condition condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::yield();
    }
    return true;
}

/// Opened once by one thread; others wait for it (false after 60 s, so a fault fails the test).
class Gate {
public:
    void open() { mOpen.store(true); }
    [[nodiscard]] bool waitOpen() const { return waitUntil([this] { return mOpen.load(); }); }

private:
    std::atomic<bool> mOpen{false};
};

} // namespace TolvanTest

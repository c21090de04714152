// Processes and inter-process events on Linux: posix_spawn with a pipe for the output, process file
// descriptors (pidfd) as process handles, /proc for the running programs, and named events in POSIX
// shared memory holding a process-shared robust mutex and condition variable.
#include "tolvan/platform/process.h"

#include "tolvan/common/exception.h"
#include "tolvan/thread/sync_posix.h"
#include "tolvan/thread/thread.h"
#include "tolvan/winapi/winapi.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace Kalvex {

namespace {

// ---------------------------------------------------------------------------------------------------
// Process handles: a process file descriptor, which stays bound to its process (no pid reuse) and
// becomes readable when the process ends.

struct HandleRecord {
    int mPidFd;
    pid_t mPid;
};

HandleRecord* record(ProcessHandle handle) noexcept {
    return static_cast<HandleRecord*>(handle);
}

int openPidFd(pid_t pid) noexcept {
    return int(syscall(SYS_pidfd_open, pid, 0));
}

ProcessHandle openProcessHandle(pid_t pid) {
    const int fd = openPidFd(pid);
    if (fd < 0) return nullptr;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return tolvanNew<HandleRecord>(HandleRecord{fd, pid});
}

bool sendKill(ProcessHandle handle) noexcept {
    return syscall(SYS_pidfd_send_signal, record(handle)->mPidFd, SIGKILL, nullptr, 0) == 0;
}

// Waits up to `milliseconds` (negative: without limit) for the process to end; true when it has.
bool waitForEnd(ProcessHandle handle, int64 milliseconds) noexcept {
    const timespec deadline = Detail::Posix::addMilliseconds(Detail::Posix::monotonicNow(),
                                                             uint64(milliseconds < 0 ? 0 : milliseconds));
    for (;;) {
        int timeout = -1;
        if (milliseconds >= 0) {
            const timespec now = Detail::Posix::monotonicNow();
            const int64 left = (int64(deadline.tv_sec) - now.tv_sec) * 1000 +
                               (deadline.tv_nsec - now.tv_nsec + 999999) / 1000000;
            timeout = int(left < 0 ? 0 : left > INT_MAX ? INT_MAX : left);
        }
        pollfd entry{record(handle)->mPidFd, POLLIN, 0};
        const int ready = poll(&entry, 1, timeout);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0 && timeout >= 0 && timeout < INT_MAX) return false;
    }
}

// Reaps an ended child and returns how it ended (see Process::wait); 1 when that cannot be read.
int reapExitCode(ProcessHandle handle, bool killed) noexcept {
    siginfo_t info{};
    int result;
    do {
        result = waitid(idtype_t(P_PIDFD), id_t(record(handle)->mPidFd), &info, WEXITED);
    } while (result != 0 && errno == EINTR);
    if (result != 0) return 1;
    if (info.si_code == CLD_EXITED) return info.si_status;
    if (killed && info.si_status == SIGKILL) return -1;
    return 128 + info.si_status;
}

// Waits for a child that KEEP_RUNNING left behind, so it does not linger as a zombie once it ends.
void reapInBackground(ProcessHandle handle) noexcept {
    try {
        Thread reaper(
            [handle] {
                reapExitCode(handle, false);
                Detail::closeProcessHandle(handle);
            },
            64 * 1024);
        reaper.detach();
    } catch (...) {
        Detail::closeProcessHandle(handle); // no thread to spare: the child is left to the system
    }
}

// The directories of PATH, searched for a program given by its bare name.
Optional<std::string> findInPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return NONE;
}

// A relative path with a directory is taken from the caller's current directory, also when the child
// starts in another one; a bare name stays as it is, to be searched in PATH.
std::string resolveAgainstCurrentDirectory(const std::string& program) {
    if (program.empty() || program[0] == '/' || program.find('/') == std::string::npos) return program;
    char directory[PATH_MAX];
    if (!getcwd(directory, sizeof directory)) return program;
    return std::string(directory) + "/" + program;
}

// Starts `argv` (argv[0] is the program, searched in PATH without a "/") with standard output and
// error on `outputFd` when that is not -1. Null when it cannot start.
ProcessHandle spawnChild(const Stack<std::string>& argv, const Optional<Io::Path>& workingDirectory,
                         int outputFd) {
    Stack<char*> pointers;
    for (const std::string& argument : argv)
        pointers.push(const_cast<char*>(argument.c_str()));
    pointers.push(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
    }
    String::CharBuffer<char> directory;
    if (workingDirectory) {
        directory = workingDirectory->platformStr();
        posix_spawn_file_actions_addchdir_np(&actions, directory.cStr());
    }
    // The child starts with no blocked signals and the default SIGPIPE action, whatever the caller's
    // threads block or ignore.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int result = posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes, pointers.begin(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) return nullptr;
    ProcessHandle handle = openProcessHandle(pid);
    if (!handle) {
        // Without a process descriptor the child cannot be supervised: end it.
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return handle;
}

void closeFd(int& fd) noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The read end of the output pipe and what was read from it.
struct OutputReader {
    int mReadFd = -1;
    String mText;
    bool mFinished = false;

    ~OutputReader() { closeFd(mReadFd); }
};

std::string toUtf8(const String& text) {
    const String::CharBuffer<char> bytes = text.toUtf8();
    return std::string(bytes.cStr(), size_t(bytes.length()));
}

// ---------------------------------------------------------------------------------------------------
// Named events

struct SharedEvent {
    pthread_mutex_t mMutex;    // process-shared, robust
    pthread_cond_t mCondition; // process-shared, CLOCK_MONOTONIC
    uint32 mSignalled;
    uint32 mOpenCount;          // handles open in all processes
    uint32 mRemoved;            // the last handle closed it: openers of the old object must start again
    std::atomic<uint32> mReady; // set once the creator has initialised everything above
};

struct EventHandle {
    SharedEvent* mShared;
};

// The shared-memory name: a prefix and the UTF-8 name, every byte outside [A-Za-z0-9_.-] as %XX.
std::string getSharedMemoryName(const String& name) {
    std::string result = "/Kalvex.Event.";
    static const char HEX[] = "0123456789ABCDEF";
    for (const unsigned char c : toUtf8(name)) {
        if (std::isalnum(c) || c == '_' || c == '.' || c == '-') {
            result.push_back(char(c));
        } else {
            result += {'%', HEX[c >> 4], HEX[c & 15]};
        }
    }
    return result;
}

// Locks the robust mutex; a holder that died with it is forgiven (the state is a flag and counters,
// each always consistent by itself).
void lockShared(SharedEvent& shared) noexcept {
    if (pthread_mutex_lock(&shared.mMutex) == EOWNERDEAD) pthread_mutex_consistent(&shared.mMutex);
}

void initialiseShared(SharedEvent& shared) {
    pthread_mutexattr_t mutexAttributes;
    pthread_mutexattr_init(&mutexAttributes);
    pthread_mutexattr_setpshared(&mutexAttributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&mutexAttributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&shared.mMutex, &mutexAttributes);
    pthread_mutexattr_destroy(&mutexAttributes);
    pthread_condattr_t conditionAttributes;
    pthread_condattr_init(&conditionAttributes);
    pthread_condattr_setpshared(&conditionAttributes, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&conditionAttributes, CLOCK_MONOTONIC);
    pthread_cond_init(&shared.mCondition, &conditionAttributes);
    pthread_condattr_destroy(&conditionAttributes);
    shared.mSignalled = 0;
    shared.mOpenCount = 1;
    shared.mRemoved = 0;
    shared.mReady.store(1, std::memory_order_release);
}

SharedEvent* mapShared(int fd) noexcept {
    void* memory = mmap(nullptr, sizeof(SharedEvent), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<SharedEvent*>(memory);
}

// Waits until `condition` holds or the CLOCK_MONOTONIC `deadline` passes: another process is between
// creating the object and initialising it.
template <typename Condition>
bool waitBriefly(Condition condition, const timespec& deadline) {
    while (!condition()) {
        if (!Detail::Posix::isBefore(Detail::Posix::monotonicNow(), deadline)) return condition();
        Utils::yield();
    }
    return true;
}

// Creates the object exclusively; null with errno set when that fails (EEXIST: it exists).
SharedEvent* createShared(const std::string& shmName) {
    const int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    SharedEvent* shared = ftruncate(fd, sizeof(SharedEvent)) == 0 ? mapShared(fd) : nullptr;
    const int error = errno;
    ::close(fd);
    if (!shared) {
        shm_unlink(shmName.c_str());
        errno = error;
        return nullptr;
    }
    initialiseShared(*shared);
    return shared;
}

// Opens an existing object and counts the new handle; null with errno set when that fails (ENOENT:
// there is none, EAGAIN: it was being removed or never initialised).
SharedEvent* openShared(const std::string& shmName, const timespec& deadline) {
    const int fd = shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    struct stat status {};
    const bool sized = waitBriefly(
        [&] { return fstat(fd, &status) == 0 && status.st_size >= off_t(sizeof(SharedEvent)); }, deadline);
    SharedEvent* shared = sized ? mapShared(fd) : nullptr;
    ::close(fd);
    if (!shared) {
        errno = EAGAIN;
        return nullptr;
    }
    if (waitBriefly([shared] { return shared->mReady.load(std::memory_order_acquire) == 1; }, deadline)) {
        lockShared(*shared);
        const bool removed = shared->mRemoved != 0;
        if (!removed) ++shared->mOpenCount;
        pthread_mutex_unlock(&shared->mMutex);
        if (!removed) return shared;
    }
    munmap(shared, sizeof(SharedEvent));
    errno = EAGAIN;
    return nullptr;
}

// Drops one handle; the last one removes the name, so a later creator starts afresh.
void releaseShared(SharedEvent* shared, const std::string& shmName) noexcept {
    lockShared(*shared);
    if (--shared->mOpenCount == 0) {
        shared->mRemoved = 1;
        shm_unlink(shmName.c_str());
    }
    pthread_mutex_unlock(&shared->mMutex);
    munmap(shared, sizeof(SharedEvent));
}

} // namespace

// ---------------------------------------------------------------------------------------------------
// Process

struct Process::Record {
    ProcessHandle mHandle = nullptr;
    Flags<ProcessFlag> mFlags;
    AutoPtr<OutputReader> mReader;
    bool mKilled = false;

    ~Record() {
        if (mHandle && mFlags.has(ProcessFlag::KEEP_RUNNING)) {
            reapInBackground(std::exchange(mHandle, nullptr));
        } else if (mHandle) {
            sendKill(mHandle);
            reapExitCode(mHandle, true);
        }
        Detail::closeProcessHandle(mHandle);
    }

    void closePipe() noexcept {
        if (mReader) closeFd(mReader->mReadFd);
    }
    int finishWait() {
        const int code = reapExitCode(mHandle, mKilled);
        Detail::closeProcessHandle(std::exchange(mHandle, nullptr));
        return code;
    }
};

Process::Process(const Io::Path& executable, ArrayView<const String> arguments, Flags<ProcessFlag> flags,
                 const Optional<Io::Path>& workingDirectory)
    : mRecord(tolvanNew<Record>()) {
    mRecord->mFlags = flags;
    const bool elevated = flags.has(ProcessFlag::ELEVATED);
    Stack<std::string> argv;
    if (elevated) {
        const Optional<std::string> pkexec = findInPath("pkexec");
        if (!pkexec) throw Exception(Detail::getProcessStartFailure(executable));
        argv.push(*pkexec);
    }
    argv.push(resolveAgainstCurrentDirectory(toUtf8(executable.nativeStr())));
    for (const String& argument : arguments)
        argv.push(toUtf8(argument));

    int pipeFds[2] = {-1, -1};
    if (flags.has(ProcessFlag::REDIRECT_STDOUT) && !elevated) {
        if (pipe2(pipeFds, O_CLOEXEC) != 0) throw Exception(Detail::getProcessStartFailure(executable));
        mRecord->mReader.reset(tolvanNew<OutputReader>());
        mRecord->mReader->mReadFd = pipeFds[0];
    }
    mRecord->mHandle = spawnChild(argv, workingDirectory, pipeFds[1]);
    closeFd(pipeFds[1]);
    if (!mRecord->mHandle) throw Exception(Detail::getProcessStartFailure(executable));
}

Process::Process(Process&& other) noexcept = default;
Process& Process::operator=(Process&& other) noexcept = default;
Process::~Process() = default;

bool Process::isRunning() const {
    return mRecord && mRecord->mHandle && !waitForEnd(mRecord->mHandle, 0);
}

bool Process::kill() {
    if (!mRecord || !mRecord->mHandle || !sendKill(mRecord->mHandle)) return false;
    mRecord->mKilled = true;
    return true;
}

int Process::wait() {
    if (!mRecord || !mRecord->mHandle) return 1;
    mRecord->closePipe();
    waitForEnd(mRecord->mHandle, -1);
    return mRecord->finishWait();
}

Optional<int> Process::waitFor(int64 milliseconds) {
    if (!mRecord || !mRecord->mHandle) return NONE;
    mRecord->closePipe();
    if (!waitForEnd(mRecord->mHandle, milliseconds < 0 ? 0 : milliseconds)) return NONE;
    return mRecord->finishWait();
}

Expected<String, String> Process::getStdOut() {
    OutputReader* reader = mRecord ? mRecord->mReader.get() : nullptr;
    if (!reader) {
        return makeUnexpected(
            String(u"Failed to get stdout from this process. Make sure you create the process "
                   u"with the stdout redirect flag."));
    }
    if (!reader->mFinished) {
        // Decoded as a whole, so a character split between two reads stays intact.
        std::string bytes;
        char chunk[4095];
        while (reader->mReadFd >= 0) {
            const ssize_t n = read(reader->mReadFd, chunk, sizeof chunk);
            if (n > 0) {
                bytes.append(chunk, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                break;
            }
        }
        closeFd(reader->mReadFd);
        reader->mText = String::fromUtf8(bytes);
        reader->mFinished = true;
    }
    return reader->mText;
}

// ---------------------------------------------------------------------------------------------------
// Free functions

void Detail::closeProcessHandle(ProcessHandle handle) noexcept {
    if (!handle) return;
    ::close(record(handle)->mPidFd);
    tolvanDelete(record(handle));
}

Stack<String> listRunningProcesses() {
    Stack<String> names;
    DIR* proc = opendir("/proc");
    if (!proc) return names;
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        char target[4096];
        const ssize_t length = readlink((base + "/exe").c_str(), target, sizeof target - 1);
        std::string name;
        if (length > 0) {
            name.assign(target, size_t(length));
            const std::string deleted = " (deleted)";
            if (name.ends_with(deleted)) name.resize(name.size() - deleted.size());
            name = name.substr(name.rfind('/') + 1);
        } else {
            // Kernel threads and other users' processes: the name the kernel keeps (15 characters).
            FILE* comm = std::fopen((base + "/comm").c_str(), "r");
            if (!comm) continue; // ended meanwhile
            char line[64] = {};
            if (std::fgets(line, sizeof line, comm)) name = line;
            std::fclose(comm);
            if (!name.empty() && name.back() == '\n') name.pop_back();
        }
        names.push(String::fromUtf8(name));
    }
    closedir(proc);
    return names;
}

ScopedProcessHandle createProcessHandle(int pid) {
    if (pid <= 0) return ScopedProcessHandle();
    return ScopedProcessHandle(openProcessHandle(pid_t(pid)));
}

bool isProcessRunning(ProcessHandle handle) {
    return handle && !waitForEnd(handle, 0);
}

void killProcess(ProcessHandle handle) {
    if (isProcessRunning(handle)) sendKill(handle);
}

int getThisProcessPid() {
    return int(getpid());
}

void exitProcess() {
    std::fflush(nullptr);
    _exit(0);
}

// ---------------------------------------------------------------------------------------------------
// InterprocessEvent

InterprocessEvent::InterprocessEvent(const String& name, Mode mode)
    : mName(name) {
    Detail::checkInterprocessEventName(name);
    const std::string shmName = getSharedMemoryName(name);
    SharedEvent* shared = nullptr;
    bool existed = false;
    // An object being removed by its last holder makes both calls fail for a moment: start again, for
    // at most a few seconds (an object whose creator died before initialising it stays unusable).
    const timespec deadline = Detail::Posix::addMilliseconds(Detail::Posix::monotonicNow(), 5000);
    while (!shared) {
        if (mode != Mode::OPEN) {
            shared = createShared(shmName);
            if (shared || errno != EEXIST) break;
        }
        shared = openShared(shmName, deadline);
        existed = shared != nullptr;
        if (!shared && (errno != ENOENT || mode == Mode::OPEN) && errno != EAGAIN) break;
        if (!shared && !Detail::Posix::isBefore(Detail::Posix::monotonicNow(), deadline)) break;
    }
    if (!shared && !(mode == Mode::OPEN && errno == ENOENT)) {
        throw Exception(String(u"Could not create InterprocessEvent ") + name.quoted() + String(u" (") +
                        WinApi::getLastErrorMessage() + String(u")"));
    }
    if (shared) mHandle = tolvanNew<EventHandle>(EventHandle{shared});
    if (const Optional<String> failure = Detail::getInterprocessEventModeFailure(name, mode, existed)) {
        close();
        throw Exception(*failure);
    }
}

void InterprocessEvent::close() noexcept {
    if (!mHandle) return;
    EventHandle* handle = static_cast<EventHandle*>(std::exchange(mHandle, nullptr));
    releaseShared(handle->mShared, getSharedMemoryName(mName));
    tolvanDelete(handle);
}

void InterprocessEvent::set() {
    if (!mHandle) return; // moved from
    SharedEvent& shared = *static_cast<EventHandle*>(mHandle)->mShared;
    lockShared(shared);
    shared.mSignalled = 1;
    pthread_cond_signal(&shared.mCondition);
    pthread_mutex_unlock(&shared.mMutex);
}

bool InterprocessEvent::wait(const Optional<int64>& timeoutMilliseconds) {
    if (!mHandle) return false; // moved from
    SharedEvent& shared = *static_cast<EventHandle*>(mHandle)->mShared;
    const timespec deadline = Detail::Posix::addMilliseconds(
        Detail::Posix::monotonicNow(),
        timeoutMilliseconds ? uint64(std::max<int64>(*timeoutMilliseconds, 0)) : 0);
    lockShared(shared);
    while (!shared.mSignalled) {
        const int result = timeoutMilliseconds
                               ? pthread_cond_timedwait(&shared.mCondition, &shared.mMutex, &deadline)
                               : pthread_cond_wait(&shared.mCondition, &shared.mMutex);
        if (result == EOWNERDEAD) pthread_mutex_consistent(&shared.mMutex);
        if (result == ETIMEDOUT) break;
    }
    const bool signalled = shared.mSignalled != 0;
    shared.mSignalled = 0;
    pthread_mutex_unlock(&shared.mMutex);
    return signalled;
}

} // namespace Kalvex

// Child processes: starting and supervising them (Process), small functions on process handles and
// process ids, the names of the running programs, and a named event through which two processes
// signal each other (InterprocessEvent).
//
//   const String args[] = {u"--version"};
//   Process tool(Io::Path(u"/usr/bin/tool"), args, ProcessFlag::REDIRECT_STDOUT);
//   Expected<String, String> output = tool.getStdOut();   // everything, once the child closed it
//   int code = tool.wait();
//
// On Linux children are started with posix_spawn (no shell: every argument reaches the child as it
// is), elevation goes through pkexec, and named events live in POSIX shared memory (docs/PLATFORM.md).
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"

namespace Kalvex {

/// Opaque native handle of a process (null when there is none).
using ProcessHandle = void*;

/// Options of starting a child process.
enum class ProcessFlag : uint32 {
    /// Start with administrator rights (through pkexec); no output redirection then.
    ELEVATED = 1u << 0,
    /// Destroying the Process leaves the child running.
    KEEP_RUNNING = 1u << 1,
    /// Capture the child's standard output and standard error (getStdOut).
    REDIRECT_STDOUT = 1u << 2,
    /// Start without a console window, minimised (no effect on Linux).
    HIDDEN = 1u << 3,
};
KALVEX_DECLARE_FLAGS(ProcessFlag)

/// A started child process and the sole owner of its handle. Movable, not copyable; used by one
/// thread at a time.
class Process : public Noncopyable {
public:
    /// Starts `executable` at once with `arguments` (each passed as it is), in `workingDirectory` when
    /// given. Throws Exception("Can't start " + executable + " as process.") when it cannot start.
    Process(const Io::Path& executable, ArrayView<const String> arguments, Flags<ProcessFlag> flags = {},
            const Optional<Io::Path>& workingDirectory = NONE);
    /// Takes over the content of `other`.
    Process(Process&& other) noexcept;
    /// Replaces the content with that of `other`.
    Process& operator=(Process&& other) noexcept;
    /// Kills a still-running child unless KEEP_RUNNING was given, then releases the handle and the pipe.
    ~Process();

    /// Whether the child still runs; false once waited for.
    [[nodiscard]] bool isRunning() const;
    /// Terminates the child (exit code -1); false once waited for or when the system refuses.
    bool kill();
    /// Closes the output pipe (REDIRECT_STDOUT), waits for the child to end and returns its exit code
    /// (1 when it cannot be read; -1 after kill(); 128 + the signal for a child ended by a signal).
    /// Afterwards the Process has no handle.
    int wait();
    /// As wait(), at most `milliseconds`; empty on time-out, and the handle stays.
    [[nodiscard]] Optional<int> waitFor(int64 milliseconds);
    /// Everything the child wrote to its standard output and error, read once until the child (and every
    /// holder of the pipe) closed it, decoded as UTF-8; later calls return the same text, and a call
    /// after wait() an empty one. The error when started without REDIRECT_STDOUT.
    [[nodiscard]] Expected<String, String> getStdOut();

    struct Record;

private:
    AutoPtr<Record> mRecord;
};

/// Holds one process handle and closes it when destroyed. Movable, not copyable.
class ScopedProcessHandle : public Noncopyable {
public:
    ScopedProcessHandle() noexcept = default;
    /// Owns `handle`.
    explicit ScopedProcessHandle(ProcessHandle handle) noexcept
        : mHandle(handle) {}
    /// Takes over the content of `other`.
    ScopedProcessHandle(ScopedProcessHandle&& other) noexcept;
    /// Replaces the content with that of `other`.
    ScopedProcessHandle& operator=(ScopedProcessHandle&& other) noexcept;
    ~ScopedProcessHandle();

    /// The held handle, still owned.
    [[nodiscard]] ProcessHandle get() const noexcept { return mHandle; }
    /// True when no handle is held.
    [[nodiscard]] bool isEmpty() const noexcept { return mHandle == nullptr; }

private:
    ProcessHandle mHandle = nullptr;
};

/// The executable file names of the running processes, in process-id order; empty when they cannot
/// be listed.
[[nodiscard]] Stack<String> listRunningProcesses();
/// A handle to the process `pid`; empty for pid 0 or when the process cannot be opened.
[[nodiscard]] ScopedProcessHandle createProcessHandle(int pid);
/// Whether the process of `handle` still runs; false for a null handle.
[[nodiscard]] bool isProcessRunning(ProcessHandle handle);
/// Terminates the process of `handle` if it still runs.
void killProcess(ProcessHandle handle);
/// This process's id.
[[nodiscard]] int getThisProcessPid();
/// Ends this process at once with exit code 0 (standard C streams are flushed first).
[[noreturn]] void exitProcess();

/// A named event shared by the processes of the machine, reset automatically: each set() releases
/// exactly one wait(), or the next one when nobody waits. Movable, not copyable; one thread at a time.
class InterprocessEvent : public Noncopyable {
public:
    /// How the constructor treats an event of that name: open or create it, create only, open only.
    enum class Mode { OPEN_OR_CREATE = 0, CREATE = 1, OPEN = 2 };

    /// Opens or creates the event `name` (1 to 30 characters), unsignalled when created. Throws
    /// Exception for a bad name, when it cannot be opened, for CREATE of an existing event
    /// ("InterprocessEvent \"x\" already exists.") and OPEN of a missing one ("... does not exist.").
    InterprocessEvent(const String& name, Mode mode);
    /// Takes over the content of `other`.
    InterprocessEvent(InterprocessEvent&& other) noexcept;
    /// Replaces the content with that of `other`.
    InterprocessEvent& operator=(InterprocessEvent&& other) noexcept;
    /// Closes the event; the last one closed in the machine removes it.
    ~InterprocessEvent();

    /// Signals the event.
    void set();
    /// Waits until the event is signalled, at most `timeoutMilliseconds` (no value: without limit), and
    /// resets it; false on time-out.
    bool wait(const Optional<int64>& timeoutMilliseconds = NONE);

    /// The event name.
    [[nodiscard]] const String& getName() const noexcept { return mName; }

private:
    void close() noexcept;

    void* mHandle = nullptr;
    String mName;
};

namespace Detail {

/// The argument text of a command line: each argument followed by one space, an argument holding a
/// space wrapped in double quotes (nothing escaped): "a", "b c" give `a "b c" `.
[[nodiscard]] String buildCommandLineArguments(ArrayView<const String> arguments);
/// The message of a process that cannot start: "Can't start " + executable + " as process.".
[[nodiscard]] String getProcessStartFailure(const Io::Path& executable);
/// Throws the InterprocessEvent name failure unless `name` has 1 to 30 characters.
void checkInterprocessEventName(const String& name);
/// The failure of `mode` for an event that `existed` before (or not); empty when the mode accepts it.
[[nodiscard]] Optional<String> getInterprocessEventModeFailure(const String& name,
                                                               InterprocessEvent::Mode mode, bool existed);
/// Closes a handle from createProcessHandle or a Process (nothing for null).
void closeProcessHandle(ProcessHandle handle) noexcept;

} // namespace Detail

} // namespace Kalvex

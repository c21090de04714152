// The library's start-up and shut-down, its main-thread event loop and handing work to the main
// thread, and a few queries about the running process.
//
//   int main() {
//       Lib::startup();
//       Utils::executeInMainThread([] { ... });       // from any thread
//       while (running) Lib::runSingleEventLoopIteration();
//       Lib::shutdown();
//   }
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/function.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"

namespace Kalvex {

namespace Lib {

/// Counts a start-up; the call that moves the counter from 0 to 1 runs every registered start-up
/// action in registration order. Always returns true; an action that throws lets the exception leave
/// with the counter already incremented.
bool startup();

/// Counts a shut-down; the call that moves the counter from 1 to 0 runs the shutdown actions in
/// reverse registration order. A call without a matching startup() does nothing.
void shutdown();

/// Appends a start-up/shutdown action pair (either may be empty). Meant for static initialisation:
/// pairs registered after the first start-up only take part from the next one.
void registerHooks(const Function<void()>& onStartup, const Function<void()>& onShutdown);

/// Number of startup() calls not yet balanced by shutdown().
[[nodiscard]] int32 getStartupCount() noexcept;

/// Dispatches at most one pending message of the calling thread's queue, without waiting; returns
/// whether there was one. The argument is accepted and has no effect.
bool runSingleEventLoopIteration(bool reserved = false);

} // namespace Lib

namespace Utils {

/// Options of executeInMainThread.
enum class ExecuteMainThread : unsigned {
    /// Always queue, even when called on the main thread.
    FORCE_QUEUE = 1 << 0,
    /// Use the re-entrant queue: may run inside an ordinary entry that pumps the event loop.
    REENTRANT = 1 << 1,
};
KALVEX_DECLARE_FLAGS(ExecuteMainThread)

/// The main thread's platform identifier (the thread that loaded the library).
[[nodiscard]] uint32 getMainThreadId() noexcept;
/// Whether the calling thread is the main thread.
[[nodiscard]] bool isMainThread() noexcept;

/// Runs `fn` on the main thread: at once when called there without FORCE_QUEUE (and, unless REENTRANT,
/// outside a drain of queued entries), else queued for the main thread's event loop. Returns false when
/// the wake-up could not be posted (before Lib::startup): the entry stays queued and runs after a later
/// successful call wakes the loop.
bool executeInMainThread(const Function<void()>& fn, Flags<ExecuteMainThread> flags = {});

/// Full path of the process's executable (empty when it cannot be read).
[[nodiscard]] Io::Path getExecutableFilePath();
/// Full path of the module (executable or shared library) containing `address`; empty when none does.
[[nodiscard]] Io::Path getModuleFilePath(const void* address);
/// The screen's scale factor for text (1.0 without a display); computed once and cached.
[[nodiscard]] float getFontScale();
/// Whether a debugger (any tracer) is attached to the process.
[[nodiscard]] bool isDebuggerAttached();

} // namespace Utils

} // namespace Kalvex

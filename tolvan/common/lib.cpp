#include "tolvan/common/lib.h"

#include "tolvan/common/eventloop.h"
#include "tolvan/common/fifo.h"
#include "tolvan/containers/stack.h"
#include "tolvan/thread/thread.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace Kalvex {

namespace {

// ---------------------------------------------------------------------------------------------------
// Load-time state

struct HookPair {
    Function<void()> onStartup;
    Function<void()> onShutdown;
};

// Created by the first registration (static initialisation of any file may come first) and kept for
// the life of the process.
Stack<HookPair>* gHooks = nullptr;
std::atomic<int32> gStartupCount{0};

// ---------------------------------------------------------------------------------------------------
// Main-thread queues

constexpr uint32 WAKE_ORDINARY = 37433;
constexpr uint32 WAKE_REENTRANT = 37434;

using EntryQueue = Detail::Fifo<Function<void()>>;

struct MainThreadState {
    std::mutex lock; // guards everything below
    EntryQueue ordinary;
    EntryQueue reentrant;
    bool postFailed = false;
    Detail::MessageTarget* hiddenWindow = nullptr;
};

// Never destroyed: workers may still post while the process exits.
MainThreadState& getState() {
    static MainThreadState* const state = tolvanNew<MainThreadState>();
    return *state;
}

// Ordinary drains in progress; touched on the main thread only.
uint32 gNestingDepth = 0;

// Posts a wake-up to the hidden window; false when there is none. Needs the state lock.
bool postWakeUp(MainThreadState& s, uint32 number) {
    return s.hiddenWindow && s.hiddenWindow->post(number, 0, 0);
}

// Runs the entries of `queue` in order, without the lock held while one runs; entries queued
// meanwhile run in the same drain. When an entry throws, the remaining ones get a new wake-up.
void drain(EntryQueue& queue, uint32 wakeUpNumber) {
    MainThreadState& s = getState();
    std::unique_lock lock(s.lock);
    while (!queue.isEmpty()) {
        Function<void()> entry = queue.popFront();
        lock.unlock();
        try {
            if (entry) entry();
        } catch (...) {
            entry.reset();
            lock.lock();
            if (!queue.isEmpty()) postWakeUp(s, wakeUpNumber);
            throw;
        }
        entry.reset();
        lock.lock();
    }
}

void handleOrdinaryWakeUp() {
    struct DepthGuard {
        DepthGuard() { ++gNestingDepth; }
        ~DepthGuard() { --gNestingDepth; }
    } depth;
    if (gNestingDepth > 1) {
        // Arrived through a loop nested inside an ordinary entry: entries never run inside one
        // another, so try again once the outer drain is done.
        MainThreadState& s = getState();
        std::lock_guard lock(s.lock);
        postWakeUp(s, WAKE_ORDINARY);
        return;
    }
    drain(getState().ordinary, WAKE_ORDINARY);
}

// The target through which work reaches the main thread. The last shutdown may run on any thread, also
// while the main thread dispatches to the window, or inside one of its entries: the window is handed to
// destroyWhenIdle, which frees it only once no dispatch to it is running.
class HiddenWindow final : public Detail::MessageTarget {
public:
    HiddenWindow()
        : MessageTarget(Detail::TargetThread::MAIN) {}

protected:
    int64 handleMessageImpl(uint32 number, uint64, int64) override {
        switch (number) {
        case WAKE_ORDINARY:
            handleOrdinaryWakeUp();
            break;
        case WAKE_REENTRANT:
            drain(getState().reentrant, WAKE_REENTRANT);
            break;
        default:
            break; // timer messages and everything else: answered with 0
        }
        return 0;
    }
};

void createHiddenWindow() {
    HiddenWindow* window = tolvanNew<HiddenWindow>();
    MainThreadState& s = getState();
    Detail::MessageTarget* previous;
    {
        std::lock_guard lock(s.lock);
        previous = std::exchange(s.hiddenWindow, window);
    }
    Detail::MessageTarget::destroyWhenIdle(previous);
}

// Entries still queued are dropped, not run: they belong to the session that ends here.
void destroyHiddenWindow() {
    MainThreadState& s = getState();
    Detail::MessageTarget* window;
    EntryQueue ordinary;
    EntryQueue reentrant;
    {
        std::lock_guard lock(s.lock);
        window = std::exchange(s.hiddenWindow, nullptr);
        ordinary.swap(s.ordinary);
        reentrant.swap(s.reentrant);
        s.postFailed = false;
    }
    // No post reaches the window any more (posts happen under the state lock).
    Detail::MessageTarget::destroyWhenIdle(window);
}

// Static initialisation runs on the thread that loads the library: record it and register the
// hidden window's hooks.
[[maybe_unused]] const bool LOAD_TIME_STATE_READY = [] {
    (void)Utils::getMainThreadId();
    (void)getState();
    Lib::registerHooks(&createHiddenWindow, &destroyHiddenWindow);
    return true;
}();

// ---------------------------------------------------------------------------------------------------
// Environment helpers (those that ask the system live in lib_posix.cpp)

float computeFontScale() {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!display || !*display) && (!wayland || !*wayland)) return 1.0f;
    // Desktops announce their integer scale for high-density screens through GDK_SCALE.
    const char* scale = std::getenv("GDK_SCALE");
    const double value = scale ? std::strtod(scale, nullptr) : 0.0;
    return value > 0.0 ? float(value) : 1.0f;
}

} // namespace

// ---------------------------------------------------------------------------------------------------
// Lib

bool Lib::startup() {
    if (gStartupCount.fetch_add(1) + 1 != 1) return true;
    if (!gHooks) return true;
    // By index: an action may register further pairs, which then run too.
    for (int i = 0; i < gHooks->size(); ++i) {
        const Function<void()> action = (*gHooks)[i].onStartup;
        if (action) action();
    }
    return true;
}

void Lib::shutdown() {
    int32 count = gStartupCount.load();
    do {
        if (count <= 0) return; // unbalanced: keep the counter from going negative
    } while (!gStartupCount.compare_exchange_weak(count, count - 1));
    if (count != 1 || !gHooks) return;
    for (int i = gHooks->size() - 1; i >= 0; --i) {
        const Function<void()> action = (*gHooks)[i].onShutdown;
        if (action) action();
    }
}

void Lib::registerHooks(const Function<void()>& onStartup, const Function<void()>& onShutdown) {
    if (!gHooks) gHooks = tolvanNew<Stack<HookPair>>();
    gHooks->push(HookPair{onStartup, onShutdown});
}

int32 Lib::getStartupCount() noexcept {
    return gStartupCount.load();
}

bool Lib::runSingleEventLoopIteration(bool) {
    return Detail::dispatchNextMessage();
}

// ---------------------------------------------------------------------------------------------------
// Utils

uint32 Utils::getMainThreadId() noexcept {
    static const uint32 id = Utils::getThreadId();
    return id;
}

bool Utils::isMainThread() noexcept {
    return Utils::getThreadId() == getMainThreadId();
}

bool Utils::executeInMainThread(const Function<void()>& fn, Flags<ExecuteMainThread> flags) {
    const bool reentrant = flags.has(ExecuteMainThread::REENTRANT);
    if (!flags.has(ExecuteMainThread::FORCE_QUEUE) && isMainThread() && (gNestingDepth == 0 || reentrant)) {
        fn();
        return true;
    }
    MainThreadState& s = getState();
    std::lock_guard lock(s.lock);
    EntryQueue& queue = reentrant ? s.reentrant : s.ordinary;
    const bool wakeUpPending = !reentrant && !queue.isEmpty() && !s.postFailed;
    queue.push(fn);
    if (wakeUpPending) return true;
    const bool posted = postWakeUp(s, reentrant ? WAKE_REENTRANT : WAKE_ORDINARY);
    if (!reentrant) s.postFailed = !posted;
    return posted;
}

float Utils::getFontScale() {
    static const float scale = computeFontScale();
    return scale;
}

} // namespace Kalvex

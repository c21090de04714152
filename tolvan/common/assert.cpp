#include "tolvan/common/assert.h"

#include "tolvan/common/allocator.h"
#include "tolvan/common/exception.h"
#include "tolvan/common/lib.h"
#include "tolvan/platform/dialog.h"
#include "tolvan/platform/systeminfo.h"
#include "tolvan/thread/lock.h"
#include "tolvan/thread/thread.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace Kalvex {

namespace {

constexpr const char16_t* SUPPORT_ADDRESS = u"https://www.kalvex.com/support";

// The dialog's buttons, in the order the presenter offers them.
enum class AssertChoice { DISMISS, IGNORE_THIS, IGNORE_ALL, CRASH, KILL };

struct SiteKey {
    int32 line;
    std::string file;
};

struct SiteOrder {
    bool operator()(const SiteKey& a, const SiteKey& b) const {
        if (a.line != b.line) return a.line < b.line;
        return std::strcmp(a.file.c_str(), b.file.c_str()) < 0;
    }
};

struct AssertState {
    std::mutex handlersLock;
    AssertHandler globalHandler = nullptr;
    std::map<unsigned int, AssertHandler> threadHandlers;
    std::atomic<uint8> ignoreAll{0};
    // Guarded by reportLock.
    std::map<SiteKey, bool, SiteOrder> sites;
    SimpleLock reportLock;
    // Set by the start-up hook: the dialog can be shown (else the message-box fallback is used).
    std::atomic<bool> dialogReady{false};
};

AssertState& getState() {
    // Never destroyed: asserts may fire while static objects go away.
    static AssertState* const state = tolvanNew<AssertState>();
    return *state;
}

// The calling thread's part in the report hand-over between preAssert and assertImpl.
thread_local bool tHoldsReportLock = false;
thread_local bool tShowingDialog = false;

const bool gHooksRegistered = [] {
    Lib::registerHooks([] { getState().dialogReady.store(true); },
                       [] { getState().dialogReady.store(false); });
    return true;
}();

AssertHandler getHandlerInForce() {
    AssertState& s = getState();
    std::lock_guard lock(s.handlersLock);
    const auto own = s.threadHandlers.find(Utils::getThreadId());
    return own != s.threadHandlers.end() ? own->second : s.globalHandler;
}

// Whether the site is ignored; a site seen for the first time is entered as not ignored.
bool& findSite(const AssertParameters& p) {
    return getState().sites.try_emplace(SiteKey{p.line, p.file ? p.file : ""}, false).first->second;
}

void releaseReportLock() {
    tHoldsReportLock = false;
    getState().reportLock.unlock();
}

[[noreturn]] void crashForDump() {
    // An access fault, so that the platform's crash reporting writes a dump.
    volatile int* volatile address = nullptr;
    *address = 0;
    std::abort();
}

Utils::DialogRequest makeAssertDialog(const String& report) {
    Utils::DialogRequest request;
    request.caption = u"Kalvex Assert dialog";
    request.message = String(u"An assertion in Kalvex failed. Please send the message below to ") +
                      SUPPORT_ADDRESS + u", with the scene or description how to reproduce it:\n\n" + report;
    for (const char16_t* label :
         {u"Dismiss", u"Dismiss+Ignore this", u"Dismiss+Ignore all", u"Crash app (get dump)", u"Kill app"})
        request.choices.push(label);
    request.dismissChoice = int(AssertChoice::DISMISS);
    request.icon = Utils::DialogIcon::WARNING;
    return request;
}

Utils::DialogRequest makeFallbackMessage(const String& report) {
    Utils::DialogRequest request;
    request.caption = u"Kalvex Assert";
    request.message = String(u"Error showing assert dialog: Lib::startup() was probably not called at "
                             u"application start. The original assert was:\n\n ") +
                      report;
    request.choices.push(u"OK");
    request.icon = Utils::DialogIcon::WARNING;
    return request;
}

// Shows the report; returns whether the site is to be ignored from now on.
bool showAssertDialog(const String& report) {
    if (!getState().dialogReady.load()) {
        (void)Utils::presentDialog(makeFallbackMessage(report));
        return true;
    }
    switch (AssertChoice(Utils::presentDialog(makeAssertDialog(report)))) {
    case AssertChoice::DISMISS:
        return false;
    case AssertChoice::IGNORE_THIS:
        return true;
    case AssertChoice::IGNORE_ALL:
        getState().ignoreAll.store(1);
        return false;
    case AssertChoice::CRASH:
        crashForDump();
    case AssertChoice::KILL:
        std::quick_exit(1);
    }
    return false;
}

// Shows the dialog with the report lock held; asserts fired meanwhile on this thread (by the presenter)
// only reach the debug output.
bool showAssertDialogGuarded(const AssertParameters& p) {
    tShowingDialog = true;
    try {
        const bool ignore = showAssertDialog(p.toString());
        tShowingDialog = false;
        return ignore;
    } catch (...) {
        // A failing presenter must not turn the report into a crash; the site stays shown.
        tShowingDialog = false;
        return false;
    }
}

} // namespace

String AssertParameters::toString() const {
    String text = u"File: " + String::fromAscii(file ? file : "") + u"\nLine: " +
                  String::fromAscii(std::to_string(line)) + u"\nCondition: " +
                  String::fromAscii(condition ? condition : "");
    if (values) {
        text +=
            u"\nParameters: " + String::fromAscii(parameterNames ? parameterNames : "") + u"\nValues:     ";
        for (const wchar_t c : values->view())
            text << c;
    }
    const Expected<String, String> os = getOsInfoString();
    text += u"\nBuild timestamp: " + String::fromAscii(__DATE__ " " __TIME__) + u", OS: " +
            (os.hasValue() ? os.value() : os.error());
    return text;
}

AssertHandler setCustomAssertHandler(AssertHandler handler, AssertHandlerScope scope) {
    if (scope != AssertHandlerScope::GLOBAL && scope != AssertHandlerScope::THREAD) KALVEX_STOP();
    AssertState& s = getState();
    std::lock_guard lock(s.handlersLock);
    const unsigned int thread = Utils::getThreadId();
    const auto own = s.threadHandlers.find(thread);
    const AssertHandler previous = own != s.threadHandlers.end() ? own->second : s.globalHandler;
    if (scope == AssertHandlerScope::GLOBAL) {
        s.threadHandlers.clear();
        s.globalHandler = handler;
    } else {
        s.threadHandlers[thread] = handler;
    }
    return previous;
}

bool Detail::preAssert(const AssertParameters& p) {
    if (const AssertHandler handler = getHandlerInForce()) {
        handler(p);
        return false;
    }
    debugPrint("!!! CASSERT fired:\n", p.toString());
    // This thread already holds the lock while its presenter shows a report: the debug output is all.
    if (tShowingDialog || tHoldsReportLock) return false;
    AssertState& s = getState();
    s.reportLock.lock();
    tHoldsReportLock = true;
    if (s.ignoreAll.load() != 0) return false;
    if (findSite(p)) return false;
    return Utils::isDebuggerAttached();
}

bool Detail::assertImpl(const AssertParameters& p) {
    // A handler that throws leaves preAssert with no lock held; its exception goes on to the caller.
    if (!p.preAsserted && preAssert(p)) breakIntoDebugger();
    // No lock held: a handler ran, or this thread's presenter is showing a report.
    if (!tHoldsReportLock || tShowingDialog) return true;
    AssertState& s = getState();
    if (s.ignoreAll.load() == 0 && !findSite(p)) {
        if (showAssertDialogGuarded(p)) findSite(p) = true;
    }
    releaseReportLock();
    return true;
}

void Detail::reportFailedAssertion(const char* file, int line, const char* condition) {
    try {
        (void)assertImpl(AssertParameters{false, getLibrarySourcePath(file), line, condition, "", nullptr});
    } catch (...) {
        // Reporting must never turn a broken invariant of the library into a crash.
    }
}

} // namespace Kalvex

// Assertions for client code: a broken invariant is reported and execution goes on. The report goes to
// a custom handler when one is in force for the calling thread, else to the debug output and the
// assert dialog (Dismiss, ignore this site, ignore all sites, crash or kill the process).
//
//   KALVEX_ASSERT(index < count, index, count);   // reports "Parameters: index, count" and their values
//   setCustomAssertHandler(&logAssert, AssertHandlerScope::THREAD);
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/string.h"
#include "tolvan/platform/debug.h"

#include <sstream>

namespace Kalvex {

/// What an assertion site reports.
struct AssertParameters {
    /// True when the caller has already called Detail::preAssert for this failure.
    bool preAsserted = false;
    /// The source file of the assertion.
    const char* file = "";
    /// The source line of the assertion.
    int32 line = 0;
    /// The failed condition as written in the source.
    const char* condition = "";
    /// The names of the extra values, as written in the source.
    const char* parameterNames = "";
    /// The printed extra values; null when the assertion lists none.
    const std::wostringstream* values = nullptr;

    /// The report: "File: ", "Line: " and "Condition: " lines, the "Parameters: " and "Values: " lines
    /// when there are values, then "Build timestamp: <date time>, OS: <operating system>".
    [[nodiscard]] String toString() const;
};

/// Receives the reports of failed assertions instead of the debug output and the dialog.
using AssertHandler = void (*)(const AssertParameters& parameters);

/// Whom setCustomAssertHandler installs a handler for: every thread, or the calling thread alone.
enum class AssertHandlerScope { GLOBAL = 0, THREAD = 1 };

/// GLOBAL: removes every thread's own handler and makes `handler` (null for none) the global one.
/// THREAD: gives the calling thread its own handler; a null one means no handler for this thread.
/// Returns the handler that was in force for the calling thread; another scope is a STOP failure.
AssertHandler setCustomAssertHandler(AssertHandler handler, AssertHandlerScope scope);

namespace Detail {

/// First half of a report: calls the handler in force and returns false, or writes the report to the
/// debug output and takes the assert lock (Detail::assertImpl releases it). Returns whether the caller
/// should break into the debugger (one is attached and the site is not ignored).
bool preAssert(const AssertParameters& parameters);

/// Second half of a report: shows the assert dialog unless a handler ran or the site (or every site)
/// is ignored, then releases the assert lock. Runs preAssert first when `preAsserted` is false.
/// Always returns true.
bool assertImpl(const AssertParameters& parameters);

/// Stops in an attached debugger (a trap signal the debugger catches).
void breakIntoDebugger();

/// Prints `values` into `out`, separated by ", "; returns `out`, or null when there are no values.
template <typename... Values>
const std::wostringstream* printAssertValues(std::wostringstream& out, const Values&... values) {
    if constexpr (sizeof...(Values) == 0) {
        return nullptr;
    } else {
        out.imbue(std::locale::classic());
        bool first = true;
        ((out << (first ? L"" : L", "), writeDebugArgument(out, values), first = false), ...);
        return &out;
    }
}

} // namespace Detail

} // namespace Kalvex

/// Reports `condition` when it does not hold, with the optional extra values printed beside their
/// names; breaks into an attached debugger first. Execution continues afterwards.
#define KALVEX_ASSERT(condition, ...)                                                                        \
    do {                                                                                                     \
        if (!(condition)) [[unlikely]] {                                                                     \
            std::wostringstream kalvexAssertValues;                                                          \
            const ::Kalvex::AssertParameters kalvexAssertParameters{                                         \
                true,                                                                                        \
                __FILE__,                                                                                    \
                __LINE__,                                                                                    \
                #condition,                                                                                  \
                #__VA_ARGS__,                                                                                \
                ::Kalvex::Detail::printAssertValues(kalvexAssertValues __VA_OPT__(, ) __VA_ARGS__)};         \
            if (::Kalvex::Detail::preAssert(kalvexAssertParameters)) ::Kalvex::Detail::breakIntoDebugger();  \
            (void)::Kalvex::Detail::assertImpl(kalvexAssertParameters);                                      \
        }                                                                                                    \
    } while (false)

// Detail::FunctionChecker: a scope guard that counts entries into a function.
#pragma once

#include "tolvan/common/atomic.h"
#include "tolvan/containers/flags.h"

namespace Kalvex::Detail {

enum class CheckFunction : unsigned {
    /// Do not decrement on scope exit: the counter counts every entry for the life of the process.
    KEEP_COUNT = 1 << 0,
};

/// Increments `counter` on construction; the destructor decrements it again unless KEEP_COUNT is set.
/// Without KEEP_COUNT the counter tells how many invocations are in progress (re-entry, concurrency).
class FunctionChecker {
public:
    FunctionChecker(Flags<CheckFunction> flags, AtomicInt<int>& counter, const char* functionName) noexcept;
    ~FunctionChecker();
    FunctionChecker(const FunctionChecker&) = delete;
    FunctionChecker& operator=(const FunctionChecker&) = delete;

    /// The counter's value right after this entry.
    [[nodiscard]] int getCountAtEntry() const noexcept { return mCountAtEntry; }
    [[nodiscard]] const char* getFunctionName() const noexcept { return mFunctionName; }

private:
    AtomicInt<int>* mCounter;
    Flags<CheckFunction> mFlags;
    int mCountAtEntry;
    const char* mFunctionName;
};

} // namespace Kalvex::Detail

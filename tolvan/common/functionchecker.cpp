#include "tolvan/common/functionchecker.h"

namespace Kalvex::Detail {

FunctionChecker::FunctionChecker(Flags<CheckFunction> flags, AtomicInt<int>& counter,
                                 const char* functionName) noexcept
    : mCounter(&counter)
    , mFlags(flags)
    , mCountAtEntry(counter.increment())
    , mFunctionName(functionName) {}

FunctionChecker::~FunctionChecker() {
    if (!mFlags.has(CheckFunction::KEEP_COUNT)) mCounter->decrement();
}

} // namespace Kalvex::Detail

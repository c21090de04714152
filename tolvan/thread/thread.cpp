// The platform-independent parts of the thread utilities: the processor-assignment plan and the
// pinning switch.
#include "tolvan/thread/thread.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Kalvex {

Stack<Detail::ProcessorAssignment> Detail::planThreadAssignment(int threadCount,
                                                                ArrayView<const int> processorsPerGroup) {
    Stack<ProcessorAssignment> plan;
    int total = 0;
    for (int count : processorsPerGroup)
        total += std::max(count, 0);
    if (threadCount <= 0 || total == 0) return plan; // the original would loop for ever without processors
    plan.reserve(threadCount);
    int left = threadCount;
    while (left > 0) {
        for (int64 group = 0; group < processorsPerGroup.size() && left > 0; ++group) {
            const int take = std::min(std::max(processorsPerGroup[group], 0), left);
            for (int processor = 0; processor < take; ++processor) {
                plan.push(ProcessorAssignment{int(group), processor});
            }
            left -= take;
        }
    }
    return plan;
}

bool Detail::isThreadPinningEnabled() noexcept {
    const char* value = std::getenv("KALVEX_PIN_THREADS");
    return value && *value && std::strcmp(value, "0") != 0;
}

} // namespace Kalvex

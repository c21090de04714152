#include "tolvan/common/assert.h"

#include <csignal>

namespace Kalvex {

void Detail::breakIntoDebugger() {
    (void)std::raise(SIGTRAP);
}

} // namespace Kalvex

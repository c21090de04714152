// Private to the library's .cpp files (never included by a public header): room on the stack for the
// regular-expression engine, which recurses once per character it matches.
#pragma once

#include "tolvan/containers/function.h"

#include <cstddef>

namespace Kalvex::Detail {

/// Bytes of stack left below the caller's frame on the calling thread (0 when unknown).
[[nodiscard]] size_t stackRoomOfThisThread() noexcept;

/// Runs `work` on a helper thread whose stack reserves `stackBytes` of address space (pages that are
/// never touched cost no memory) and waits for it; rethrows what `work` threw. Throws Exception when the
/// stack cannot be reserved or the thread cannot start.
void runWithStack(size_t stackBytes, const Function<void()>& work);

} // namespace Kalvex::Detail

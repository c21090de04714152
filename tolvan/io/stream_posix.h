// The system layer beneath file-to-file stream copies: copying bytes between two open files inside the
// kernel. Private to the library.
#pragma once

#include "tolvan/common/types.h"

#include <cstdio>

namespace Kalvex::Io::Detail {

/// True when the kernel may copy from `in` to `out`: both are regular files and `out` does not append.
[[nodiscard]] bool kernelCopyPossible(std::FILE* in, std::FILE* out) noexcept;

/// Copies up to `count` bytes from the file of `in` at `inOffset` to that of `out` at `outOffset` in the
/// kernel, advancing both offsets but neither file position (the C streams' buffers are not involved).
/// Returns the bytes copied, 0 at the end of the source, or -1 when the kernel cannot do it (errno says
/// why; the caller copies through memory instead).
[[nodiscard]] int64 kernelCopy(std::FILE* in, int64& inOffset, std::FILE* out, int64& outOffset,
                               int64 count) noexcept;

} // namespace Kalvex::Io::Detail

// File-system queries and changes on Path values: existence, size, removal and the working directory.
// None of these functions throws; failures answer false or -1.
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/io/path.h"

namespace Kalvex::Io {

/// True when the path names something that is not a directory. An unexpected failure (permission denied
/// on a parent, a name too long) answers false.
[[nodiscard]] bool fileExists(const Path& path);
/// True when the path names a directory. An unexpected failure (anything but "not found") answers true.
[[nodiscard]] bool dirExists(const Path& path);
/// fileExists or dirExists.
[[nodiscard]] bool pathExists(const Path& path);
/// True when the path itself is a symbolic link. An unexpected failure answers true.
[[nodiscard]] bool isLink(const Path& path);

/// The size in bytes of the file, or -1 when it cannot be measured (missing, a directory, no access).
[[nodiscard]] int64 fileSize(const Path& path);
/// True when there is no such file or it is empty.
[[nodiscard]] bool fileIsEmptyOrNonExistent(const Path& path);

/// The process's working directory (empty when it cannot be determined).
[[nodiscard]] Path workingDirectory();
/// Changes the process's working directory; returns whether it did.
[[nodiscard]] bool setWorkingDirectory(const Path& path);

/// Removes a file (not a directory); returns whether it did.
bool removeFile(const Path& path);
/// Removes an empty directory; returns whether it did.
bool removeDir(const Path& path);

} // namespace Kalvex::Io

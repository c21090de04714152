#include "tolvan/io/filesystem.h"

// The portable part of the file-system layer; the system calls live in filesystem_posix.cpp.

namespace Kalvex::Io {

bool pathExists(const Path& path) { return fileExists(path) || dirExists(path); }

bool fileIsEmptyOrNonExistent(const Path& path) { return !fileExists(path) || fileSize(path) == 0; }

} // namespace Kalvex::Io

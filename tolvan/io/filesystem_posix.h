// The system layer beneath the portable file-system functions: directory enumeration, directory and
// temporary-file creation, and the platform's temporary folder. Private to the library.
#pragma once

#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"

namespace Kalvex::Io::Detail {

/// One entry of a directory, "." and ".." excluded.
struct DirectoryEntry {
    String name;
    /// A directory, or a symbolic link to one.
    bool directory = false;
    /// The entry itself is a symbolic link.
    bool link = false;
};

/// The entries of `directory` in the system's order; false (and no entries) when it cannot be read.
bool listDirectory(const Path& directory, Stack<DirectoryEntry>& entries);
/// Creates one directory (the parent must exist); returns whether it did.
bool createDirectory(const Path& directory);
/// Creates a new empty file named by six random characters and ".tmp" in `parent`; nothing on failure.
[[nodiscard]] Optional<Path> createTemporaryFile(const Path& parent);
/// The system's temporary folder ($TMPDIR when set); nothing when it names none.
[[nodiscard]] Optional<Path> systemTemporaryDirectory();

} // namespace Kalvex::Io::Detail

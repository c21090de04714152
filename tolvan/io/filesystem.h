// File-system queries and changes on Path values: existence, size, identity and time stamps, listings,
// copying, moving and removing, directory creation with change notification, size-bounded pruning,
// unique and random names, the working directory, and StandardPaths, the well-known folders.
//
//   const String exr[] = {u"exr"};
//   for (const Io::Path& f : Io::getFiles(u"/data/renders", Io::GetFiles::Recursive, exr)) ...
//   Expected<Io::Path, String> scratch =
//   Io::createRandomNamedDirectory(Io::StandardPaths::temporary().value());
//
// Queries answer false, -1 or nothing instead of failing; fileId throws Exception::fileAccess; the
// random names and StandardPaths report through their Expected error.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/sharedptr.h"
#include "tolvan/containers/stack.h"
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

// ---- Identity and time stamps ----

/// A point in time on the Windows file-time scale: 100-nanosecond intervals since 1601-01-01 UTC.
struct TimeStamp {
    /// The 100-nanosecond intervals since 1601-01-01 UTC.
    uint64 value = 0;

    /// Equal when the values are equal.
    [[nodiscard]] friend bool operator==(TimeStamp a, TimeStamp b) noexcept { return a.value == b.value; }
    /// Earlier time first.
    [[nodiscard]] friend bool operator<(TimeStamp a, TimeStamp b) noexcept { return a.value < b.value; }
};

/// Which time of a file getFileTimeStamp reads.
enum class TimeStampType : int32 {
    LastWrite = 0,
    LastAccess = 1,
    /// The birth time where the file system records it, else the last status change.
    Creation = 2,
};

/// The identity of a file: equal for two spellings of one file and for hard links to it. Throws
/// Exception::fileAccess when the path names no file (a directory included).
[[nodiscard]] uint64 fileId(const Path& path);
/// The requested time of a file that can be opened for reading; nothing for a missing file or a
/// directory. A type outside the enumeration is a STOP failure.
[[nodiscard]] Optional<TimeStamp> getFileTimeStamp(const Path& path, TimeStampType type);

// ---- Listings ----

/// Flags of getFiles and getDirs.
enum class GetFiles : uint32 {
    /// Descend into subdirectories (not into symbolic links to directories).
    Recursive = 1,
    /// Use the extension filter as given instead of lower-casing it first.
    ExtensionsUnchanged = 2,
};
KALVEX_DECLARE_FLAGS(GetFiles)

/// The files in `directory` (and below it with Recursive), as directory / name. With a non-empty
/// `extensions`, only files whose lower-cased extension equals one of them (lower-cased too, unless
/// ExtensionsUnchanged). Each directory's entries come in the system's order, directories being
/// visited last-found first; a directory that cannot be read contributes nothing.
[[nodiscard]] Stack<Path> getFiles(const Path& directory, Flags<GetFiles> flags = {},
                                   ArrayView<const String> extensions = {});
/// The directories in `directory` (and below it with Recursive), in the order of getFiles. A symbolic
/// link to a directory is listed but not entered.
[[nodiscard]] Stack<Path> getDirs(const Path& directory, Flags<GetFiles> flags = {});
/// The paths matching the wildcard `pattern` ("*", "?", "[...]"), "." and ".." included when the pattern
/// matches them; empty for an empty pattern or no match.
[[nodiscard]] Stack<Path> resolvePathWildcards(const String& pattern);
/// The path of an existing file or directory as 8-bit characters (its UTF-8 bytes); an empty buffer
/// when it does not exist.
[[nodiscard]] String::CharBuffer<char> getPathAs8BitCharacters(const Path& path);
/// `path` when no file has that name; otherwise the first free "name (n).extension", n = 1, 2, ...
/// (the dot is written even without extension: "notes" gives "notes (1).").
[[nodiscard]] Path getUniqueFileName(const Path& path);

// ---- Changes ----

/// Flags of copyFile and moveFile.
enum class CopyFile : uint32 {
    /// An existing target file may be replaced.
    Overwrite = 1,
};
KALVEX_DECLARE_FLAGS(CopyFile)

/// Copies the bytes of `source` into `target`. False when the target file exists and Overwrite is not
/// set, when both name the same file, or when the target's size then differs from the source's. Throws
/// Exception::fileAccess when either cannot be opened (a missing source) or a read or write fails.
bool copyFile(const Path& source, const Path& target, Flags<CopyFile> flags = {});
/// Renames `source` to `target`, across file systems by copying and deleting; returns whether it did.
/// Never replaces an existing target without Overwrite, and never replaces a directory.
bool moveFile(const Path& source, const Path& target, Flags<CopyFile> flags = {});
/// Creates `path` and every missing parent; returns false at the first directory that cannot be created.
/// Each directory created is reported to the registered observers, as its path ending with "/".
bool createDirs(const Path& path);
/// Removes `directory` with everything in it; false at the first failure (what was removed stays
/// removed). Symbolic links inside are removed, never followed; a `directory` that is itself a symbolic
/// link loses only the link.
bool removeDirRecursive(const Path& directory);

/// Flags of pruneDirectory.
enum class PruneDirectory : uint32 {
    /// Delete in order of creation time, oldest first.
    OldestFirst = 1,
    /// Never delete the last file of the ordered list.
    KeepLast = 2,
};
KALVEX_DECLARE_FLAGS(PruneDirectory)

/// The files pruneDirectory may delete.
struct PruneSubset {
    /// Only files with these extensions (compared lower-cased); empty means all files.
    Stack<String> extensions;
    /// Files whose name (with extension) equals one of these exactly are never deleted.
    Stack<String> excludedFileNames;
};

/// Deletes files below `directory` until their total size is below `maxTotalSize`: nothing when it is
/// below already. Candidates come in listing order (or oldest first); each one passed counts as freed
/// whether or not it was deleted. Returns the deleted files in deletion order. Symbolic links to
/// directories are not entered; a link to a file loses the link only.
Stack<Path> pruneDirectory(const Path& directory, uint64 maxTotalSize, const PruneSubset& subset,
                           Flags<PruneDirectory> flags = {});

/// Hears of directories that createDirs creates.
class FileSystemObserver : public Polymorphic {
public:
    /// Called after `directory` (ending with "/") was created, on the creating thread.
    virtual void directoryCreated(const Path& directory) = 0;
};

/// Adds an observer to the process-wide list; it is told of directories until it expires. Register
/// before other threads create directories: the list takes no lock.
void registerFileSystemObserver(WeakPtr<FileSystemObserver> observer);

/// A new empty directory with a random name ending in ".tmp" in `parent`; the error "Failed to create
/// random named subdirectory in " + parent when it cannot be made.
[[nodiscard]] Expected<Path, String> createRandomNamedDirectory(const Path& parent);
/// A new empty file with a random name in `parent` and the given extension (without dot); errors
/// "Failed to create random named file in " + parent, or "Cannot change the extension of the temporary
/// file " + its path (the ".tmp" file then stays).
[[nodiscard]] Expected<Path, String> createRandomNamedFile(const Path& parent, const String& extension);

// ---- Standard folders ----

/// The well-known folders of the user, the machine and the product installation. None is checked to
/// exist; a failure gives the error text of its row.
namespace StandardPaths {
/// The user's local application data ($XDG_DATA_HOME, ~/.local/share; fallback $LOCALAPPDATA).
[[nodiscard]] Expected<Path, String> userApplicationData();
/// The machine-wide application data (first of $XDG_DATA_DIRS, /usr/local/share; fallback $ProgramData).
[[nodiscard]] Expected<Path, String> systemApplicationData();
/// userApplicationData() / "KalvexRenderer".
[[nodiscard]] Expected<Path, String> kalvexData();
/// The user's desktop folder.
[[nodiscard]] Expected<Path, String> desktop();
/// Where 64-bit programs are installed (/opt; fallback $ProgramFiles).
[[nodiscard]] Expected<Path, String> programFiles64bit();
/// The temporary folder ($TMPDIR; fallback $TEMP, $TMP, then /tmp), through Path::normalized.
[[nodiscard]] Expected<Path, String> temporary();
/// programFiles64bit() / "Kalvex" / "materials".
[[nodiscard]] Expected<Path, String> materialBundle();
/// programFiles64bit() / "Kalvex" / "lut".
[[nodiscard]] Expected<Path, String> lutBundle();
/// programFiles64bit() / "Kalvex" / "ies".
[[nodiscard]] Expected<Path, String> iesBundle();
/// programFiles64bit() / "Kalvex" / "optix".
[[nodiscard]] Expected<Path, String> optixData();
} // namespace StandardPaths

} // namespace Kalvex::Io

#include "tolvan/io/filesystem.h"

// The portable part of the file-system layer; the system calls live in filesystem_posix.cpp.

#include "tolvan/io/filesystem_posix.h"
#include "tolvan/io/stream.h"
#include "tolvan/winapi/winapi.h"

#include <algorithm>
#include <limits>
#include <string>

namespace Kalvex::Io {

bool pathExists(const Path& path) {
    return fileExists(path) || dirExists(path);
}

bool fileIsEmptyOrNonExistent(const Path& path) {
    return !fileExists(path) || fileSize(path) == 0;
}

// ---------------------------------------------------------------------------------------------------
// Listings

namespace {

enum class ListKind { FILES, DIRECTORIES };

bool matchesExtension(const Path& path, ArrayView<const String> extensions) {
    if (extensions.isEmpty()) return true;
    String extension = path.extension();
    extension.toLowerCase();
    return std::find(extensions.begin(), extensions.end(), extension) != extensions.end();
}

// The listing walk: a work stack of directories, the last found visited first.
Stack<Path> list(const Path& directory, Flags<GetFiles> flags, ArrayView<const String> extensions,
                 ListKind kind) {
    Stack<String> lowered;
    if (!flags.has(GetFiles::ExtensionsUnchanged)) {
        lowered = Stack<String>(extensions);
        for (String& e : lowered)
            e.toLowerCase();
        extensions = lowered;
    }
    Stack<Path> result;
    Stack<Path> work{directory};
    Stack<Detail::DirectoryEntry> entries;
    while (!work.isEmpty()) {
        const Path current = work.popValue();
        entries.clear();
        if (!Detail::listDirectory(current, entries)) continue;
        for (const Detail::DirectoryEntry& entry : entries) {
            Path full = current / entry.name;
            if (entry.directory) {
                // A link to a directory is listed but never entered: it may lead out of the tree or
                // back into it.
                if (flags.has(GetFiles::Recursive) && !entry.link) work.push(full);
                if (kind == ListKind::DIRECTORIES) result.push(std::move(full));
            } else if (kind == ListKind::FILES && matchesExtension(full, extensions)) {
                result.push(std::move(full));
            }
        }
    }
    return result;
}

} // namespace

Stack<Path> getFiles(const Path& directory, Flags<GetFiles> flags, ArrayView<const String> extensions) {
    return list(directory, flags, extensions, ListKind::FILES);
}

Stack<Path> getDirs(const Path& directory, Flags<GetFiles> flags) {
    return list(directory, flags, {}, ListKind::DIRECTORIES);
}

Path getUniqueFileName(const Path& path) {
    if (!fileExists(path)) return path;
    const auto [parent, stem, extension] = path.split(Path::WithoutExtension);
    for (int64 n = 1;; ++n) {
        Path candidate = parent / (stem + String(u" (") + String::fromAscii(std::to_string(n)) +
                                   String(u").") + extension);
        if (!fileExists(candidate)) return candidate;
    }
}

// ---------------------------------------------------------------------------------------------------
// Copying and removing

bool copyFile(const Path& source, const Path& target, Flags<CopyFile> flags) {
    if (fileExists(target)) {
        if (!flags.has(CopyFile::Overwrite)) return false;
        // Opening the target would truncate the source itself.
        if (fileExists(source) && fileId(source) == fileId(target)) return false;
    }
    FileInputStream in(source);
    FileOutputStream out(target);
    std::byte chunk[4096];
    while (const int64 n = in.read(chunk, sizeof chunk))
        out.write(chunk, n);
    out.flush();
    out.close();
    return fileExists(target) && fileSize(target) == fileSize(source);
}

bool removeDirRecursive(const Path& directory) {
    // A link is removed itself: what it points to lies outside the directory.
    if (isLink(directory)) return removeFile(directory);
    for (const Path& file : getFiles(directory, GetFiles::Recursive)) {
        if (!removeFile(file)) return false;
    }
    for (const Path& sub : getDirs(directory)) {
        if (!removeDirRecursive(sub)) return false;
    }
    return removeDir(directory);
}

Stack<Path> pruneDirectory(const Path& directory, uint64 maxTotalSize, const PruneSubset& subset,
                           Flags<PruneDirectory> flags) {
    Stack<Path> candidates = getFiles(directory, GetFiles::Recursive, subset.extensions);
    if (flags.has(PruneDirectory::OldestFirst)) {
        struct Dated {
            uint64 created;
            Path path;
        };
        Stack<Dated> dated;
        dated.reserve(candidates.size());
        for (Path& p : candidates) {
            const Optional<TimeStamp> created = getFileTimeStamp(p, TimeStampType::Creation);
            dated.push(Dated{created ? created->value : std::numeric_limits<uint64>::max(), std::move(p)});
        }
        std::stable_sort(dated.begin(), dated.end(),
                         [](const Dated& a, const Dated& b) { return a.created < b.created; });
        for (int32 i = 0; i < dated.size(); ++i)
            candidates[i] = std::move(dated[i].path);
    }
    Stack<uint64> sizes;
    sizes.reserve(candidates.size());
    uint64 total = 0;
    for (const Path& p : candidates) {
        // A file that vanished since the listing frees nothing.
        sizes.push(uint64(std::max<int64>(fileSize(p), 0)));
        total += sizes.back();
    }
    Stack<Path> deleted;
    if (total < maxTotalSize) return deleted;
    const int32 count =
        flags.has(PruneDirectory::KeepLast) ? std::max(candidates.size() - 1, 0) : candidates.size();
    for (int32 i = 0; i < count; ++i) {
        total -= sizes[i];
        const Path& p = candidates[i];
        if (!subset.excludedFileNames.contains(p.fileName()) && removeFile(p)) deleted.push(p);
        if (total < maxTotalSize) break;
    }
    return deleted;
}

// ---------------------------------------------------------------------------------------------------
// Directory creation and its observers

namespace {

Stack<WeakPtr<FileSystemObserver>>& observers() {
    static Stack<WeakPtr<FileSystemObserver>> list;
    return list;
}

void notifyDirectoryCreated(const Path& directory) {
    for (const WeakPtr<FileSystemObserver>& weak : observers()) {
        if (const SharedPtr<FileSystemObserver> observer = weak.lock()) observer->directoryCreated(directory);
    }
}

} // namespace

void registerFileSystemObserver(WeakPtr<FileSystemObserver> observer) {
    observers().push(std::move(observer));
}

bool createDirs(const Path& path) {
    const String& text = path.genericStr();
    String prefix = text.startsWith(u"/") ? String(u"/") : String();
    for (const String& component : text.explode(u"/", String::SKIP_EMPTY)) {
        prefix << component << u'/';
        const Path step(prefix);
        if (dirExists(step)) continue;
        if (!Detail::createDirectory(step)) return false;
        notifyDirectoryCreated(step);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------
// Random names

Expected<Path, String> createRandomNamedDirectory(const Path& parent) {
    // The name comes from a new temporary file, which makes way for the directory; another process
    // taking the name in between makes the attempt fail, so a few are made.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const Optional<Path> file = Detail::createTemporaryFile(parent);
        if (!file || !removeFile(*file)) break;
        if (Detail::createDirectory(*file)) return *file;
    }
    return makeUnexpected(String(u"Failed to create random named subdirectory in ") + parent.nativeStr());
}

Expected<Path, String> createRandomNamedFile(const Path& parent, const String& extension) {
    const Optional<Path> file = Detail::createTemporaryFile(parent);
    if (!file) return makeUnexpected(String(u"Failed to create random named file in ") + parent.nativeStr());
    if (file->extension() == extension) return *file;
    const Path renamed = changeExtension(*file, extension);
    if (moveFile(*file, renamed)) return renamed;
    return makeUnexpected(String(u"Cannot change the extension of the temporary file ") + file->nativeStr());
}

// ---------------------------------------------------------------------------------------------------
// Standard folders

namespace StandardPaths {
namespace {

// The folder, else the environment variable (when named), else `error`. Empty answers count as none.
Expected<Path, String> folderOr(const Optional<Path>& folder, const char16_t* variable,
                                const char16_t* error) {
    if (folder && !folder->isEmpty()) return *folder;
    if (variable) {
        const Optional<String> value = WinApi::getEnvironmentVariable(variable);
        if (value && !value->isEmpty()) return Path(*value);
    }
    return makeUnexpected(String(error));
}

Expected<Path, String> knownFolderOr(const Guid& id, const char16_t* variable, const char16_t* error) {
    return folderOr(WinApi::getKnownFolder(id), variable, error);
}

Expected<Path, String> programFilesBelow(const char16_t* name) {
    Expected<Path, String> root = programFiles64bit();
    if (!root) return root;
    return *root / String(u"Kalvex") / String(name);
}

} // namespace

Expected<Path, String> userApplicationData() {
    return knownFolderOr(WinApi::FOLDERID_LOCAL_APP_DATA, u"LOCALAPPDATA",
                         u"Failed to retrieve path to application data directory.");
}

Expected<Path, String> systemApplicationData() {
    return knownFolderOr(WinApi::FOLDERID_PROGRAM_DATA, u"ProgramData",
                         u"Failed to retrieve path to application data directory.");
}

Expected<Path, String> kalvexData() {
    const Expected<Path, String> base = userApplicationData();
    if (!base)
        return makeUnexpected(String(u"Failed to retrieve path to Kalvex application data directory."));
    return *base / String(u"KalvexRenderer");
}

Expected<Path, String> desktop() {
    return knownFolderOr(WinApi::FOLDERID_DESKTOP, nullptr,
                         u"Failed to retrieve path to the desktop directory.");
}

Expected<Path, String> programFiles64bit() {
    return knownFolderOr(WinApi::FOLDERID_PROGRAM_FILES_X64, u"ProgramFiles",
                         u"Failed to retrieve path to 64-bit program files directory.");
}

Expected<Path, String> temporary() {
    Expected<Path, String> found = folderOr(Detail::systemTemporaryDirectory(), u"TEMP", u"");
    if (!found) found = folderOr(NONE, u"TMP", u"");
    if (!found) found = Path(u"/tmp");
    // Every Linux system has /tmp; the error text stays for systems without a temporary folder.
    if (found->isEmpty()) return makeUnexpected(String(u"Failed to retrieve path to temporary directory."));
    return found->normalized();
}

Expected<Path, String> materialBundle() {
    return programFilesBelow(u"materials");
}
Expected<Path, String> lutBundle() {
    return programFilesBelow(u"lut");
}
Expected<Path, String> iesBundle() {
    return programFilesBelow(u"ies");
}
Expected<Path, String> optixData() {
    return programFilesBelow(u"optix");
}

} // namespace StandardPaths

} // namespace Kalvex::Io

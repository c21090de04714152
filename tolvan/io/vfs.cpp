#include "tolvan/io/vfs.h"

#include <utility>

namespace Kalvex::Io {

// ---- SystemVfs ----

AutoPtr<SeekableBinaryInputStream> SystemVfs::openForReading(const Path& path) {
    return makeAutoPtr<FileInputStream>(path);
}

bool SystemVfs::fileExists(const Path& path) const {
    return Io::fileExists(path);
}

uint64 SystemVfs::fileId(const Path& path) const {
    return Io::fileId(path);
}

int64 SystemVfs::fileSize(const Path& path) const {
    return Io::fileSize(path);
}

Stack<Path> SystemVfs::getFiles(const Path& directory, Flags<GetFiles> flags,
                                ArrayView<const String> extensions) {
    return Io::getFiles(directory, flags, extensions);
}

// ---- DirectoryVfs ----

DirectoryVfs::DirectoryVfs(const Path& root)
    : mRoot(root) {}

AutoPtr<SeekableBinaryInputStream> DirectoryVfs::openForReading(const Path& path) {
    return makeAutoPtr<FileInputStream>(mRoot / path);
}

bool DirectoryVfs::fileExists(const Path& path) const {
    return Io::fileExists(mRoot / path);
}

uint64 DirectoryVfs::fileId(const Path& path) const {
    return Io::fileId(mRoot / path);
}

int64 DirectoryVfs::fileSize(const Path& path) const {
    return Io::fileSize(mRoot / path);
}

Stack<Path> DirectoryVfs::getFiles(const Path& directory, Flags<GetFiles> flags,
                                   ArrayView<const String> extensions) {
    return Io::getFiles(mRoot / directory, flags, extensions);
}

// ---- CombinedVfs ----

namespace {

// The answer of the first member for which `ask` returns without throwing; Exception::fileAccess(path)
// when none does.
template <typename Ask>
auto askFirstThatAnswers(const Stack<SharedPtr<VirtualFileSystem>>& systems, const Path& path, Ask ask) {
    for (const SharedPtr<VirtualFileSystem>& system : systems) {
        try {
            return ask(*system);
        } catch (...) {
            // A member's failure is not the caller's as long as a later member answers.
        }
    }
    throw Exception::fileAccess(path);
}

} // namespace

void CombinedVfs::addSystem(SharedPtr<VirtualFileSystem> system) {
    mSystems.push(std::move(system));
}

AutoPtr<SeekableBinaryInputStream> CombinedVfs::openForReading(const Path& path) {
    return askFirstThatAnswers(mSystems, path,
                               [&](VirtualFileSystem& system) { return system.openForReading(path); });
}

bool CombinedVfs::fileExists(const Path& path) const {
    for (const SharedPtr<VirtualFileSystem>& system : mSystems) {
        if (system->fileExists(path)) return true;
    }
    return false;
}

uint64 CombinedVfs::fileId(const Path& path) const {
    return askFirstThatAnswers(mSystems, path,
                               [&](const VirtualFileSystem& system) { return system.fileId(path); });
}

int64 CombinedVfs::fileSize(const Path& path) const {
    for (const SharedPtr<VirtualFileSystem>& system : mSystems) {
        const int64 size = system->fileSize(path);
        if (size != -1) return size;
    }
    return -1;
}

Stack<Path> CombinedVfs::getFiles(const Path& directory, Flags<GetFiles> flags,
                                  ArrayView<const String> extensions) {
    Stack<Path> result;
    for (const SharedPtr<VirtualFileSystem>& system : mSystems)
        result.pushAll(system->getFiles(directory, flags, extensions));
    return result;
}

} // namespace Kalvex::Io

// Virtual file systems: whether a file exists, its size and identity, directory listings and streams to
// read it, for relative paths, without the caller knowing where the files live. SystemVfs is the real
// file system, DirectoryVfs the real file system below a root, CombinedVfs an ordered search list of
// other systems; PackFileVfs (io/packfilevfs.h) reads the files inside a pack file.
//
//   auto combined = makeShared<Io::CombinedVfs>();
//   combined->addSystem(makeShared<Io::DirectoryVfs>(u"/data/overrides"));
//   combined->addSystem(makeShared<PackFileVfs>(u"/data/assets.pack"));
//   AutoPtr<Io::SeekableBinaryInputStream> in = combined->openForReading(u"textures/wood.png");
//
// Streams handed out belong to the caller.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/sharedptr.h"
#include "tolvan/containers/stack.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/io/path.h"
#include "tolvan/io/stream.h"

namespace Kalvex::Io {

/// A read-only view of files by path. Implementations override every operation.
class VirtualFileSystem : public Polymorphic {
public:
    ~VirtualFileSystem() override = default;

    /// A stream reading the file from its start; throws Exception::fileAccess when there is no such file.
    virtual AutoPtr<SeekableBinaryInputStream> openForReading(const Path& path) = 0;
    /// True when the file is there.
    [[nodiscard]] virtual bool fileExists(const Path& path) const = 0;
    /// An identity equal for two names of one file; throws Exception when there is no such file.
    [[nodiscard]] virtual uint64 fileId(const Path& path) const = 0;
    /// The file's size in bytes, or -1 when it is unknown.
    [[nodiscard]] virtual int64 fileSize(const Path& path) const = 0;
    /// The files of `directory` (see Io::getFiles for the flags and the extension filter).
    [[nodiscard]] virtual Stack<Path> getFiles(const Path& directory, Flags<GetFiles> flags,
                                               ArrayView<const String> extensions) = 0;

protected:
    VirtualFileSystem() = default;
};

/// The real file system, paths used as given.
class SystemVfs : public VirtualFileSystem {
public:
    SystemVfs() = default;

    /// A FileInputStream on the path.
    AutoPtr<SeekableBinaryInputStream> openForReading(const Path& path) override;
    [[nodiscard]] bool fileExists(const Path& path) const override;
    [[nodiscard]] uint64 fileId(const Path& path) const override;
    [[nodiscard]] int64 fileSize(const Path& path) const override;
    /// Full paths, as Io::getFiles lists them.
    [[nodiscard]] Stack<Path> getFiles(const Path& directory, Flags<GetFiles> flags,
                                       ArrayView<const String> extensions) override;
};

/// The real file system below a root: every path is root / path (an absolute path is appended too).
class DirectoryVfs : public VirtualFileSystem {
public:
    /// Serves the files below `root`.
    explicit DirectoryVfs(const Path& root);

    /// A FileInputStream on root / path.
    AutoPtr<SeekableBinaryInputStream> openForReading(const Path& path) override;
    [[nodiscard]] bool fileExists(const Path& path) const override;
    [[nodiscard]] uint64 fileId(const Path& path) const override;
    [[nodiscard]] int64 fileSize(const Path& path) const override;
    /// Full paths beginning with the root, as Io::getFiles lists root / directory.
    [[nodiscard]] Stack<Path> getFiles(const Path& directory, Flags<GetFiles> flags,
                                       ArrayView<const String> extensions) override;

    /// The directory the file system serves.
    [[nodiscard]] const Path& root() const noexcept { return mRoot; }

private:
    Path mRoot;
};

/// An ordered search list of other systems: the first member that has a file answers for it. Failures of
/// members are swallowed while a later member succeeds. Do not extend it while another thread uses it.
class CombinedVfs : public VirtualFileSystem {
public:
    CombinedVfs() = default;

    /// Appends `system` to the end of the search order.
    void addSystem(SharedPtr<VirtualFileSystem> system);

    /// The first member's stream that opens; Exception::fileAccess(path) when none does.
    AutoPtr<SeekableBinaryInputStream> openForReading(const Path& path) override;
    /// True when any member has the file.
    [[nodiscard]] bool fileExists(const Path& path) const override;
    /// The first member's identity that does not throw; Exception::fileAccess(path) when none.
    [[nodiscard]] uint64 fileId(const Path& path) const override;
    /// The first member's size other than -1; -1 when none knows it.
    [[nodiscard]] int64 fileSize(const Path& path) const override;
    /// Every member's listing in member order, duplicates kept.
    [[nodiscard]] Stack<Path> getFiles(const Path& directory, Flags<GetFiles> flags,
                                       ArrayView<const String> extensions) override;

private:
    Stack<SharedPtr<VirtualFileSystem>> mSystems;
};

} // namespace Kalvex::Io

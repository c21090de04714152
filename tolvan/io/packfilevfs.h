// Pack files: many named files in one read-only container. PackFileVfs presents a pack on disk or in
// memory as a virtual file system; PackFileInputStream reads one scrambled region of it.
//
// Layout (little-endian): the guard 0x36548521, a 32-bit seed, the data area (every entry's stored
// bytes back to back, scrambled), the directory (scrambled zlib data holding, per entry, a zero-ended
// UTF-8 name, the stored length, the size and a compressed flag) and the directory's 64-bit length.
//
//   PackFileVfs pack(Io::Path(u"/data/assets.pack"));
//   const String png[] = {u"png"};
//   for (const Io::Path& name : pack.getFiles(u"textures", Io::GetFiles::Recursive, png)) ...
//   AutoPtr<Io::SeekableBinaryInputStream> in = pack.openForReading(u"textures/wood.png");
//
// A pack is untrusted input: anything inconsistent throws Exception when the pack is loaded or an
// entry opened, never reading outside the pack.
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/stack.h"
#include "tolvan/io/path.h"
#include "tolvan/io/stream.h"
#include "tolvan/io/vfs.h"
#include "tolvan/utility/variant.h"

#include <cstddef>

namespace Kalvex {

namespace Detail {

/// The first four bytes of every pack.
inline constexpr uint32 PACK_GUARD = 0x36548521;

/// The keystream state that scrambles a pack with `seed` (its directory and its data area alike).
[[nodiscard]] uint64 packKeystreamStart(uint32 seed) noexcept;
/// The keystream state `steps` (>= 0) bytes further on, in time logarithmic in `steps`.
[[nodiscard]] uint64 packKeystreamSkip(uint64 state, uint64 steps) noexcept;
/// XORs `count` bytes with the keystream that follows `state` (which scrambles and descrambles alike);
/// returns the state after the last byte. Uses the fastest kernel the processor has.
uint64 packKeystreamApply(uint64 state, std::byte* data, int64 count) noexcept;

/// The ways of computing the keystream, for tests that compare them.
enum class PackKeystreamKernel { SERIAL, AVX2, AVX512 };
/// Whether this processor can run `kernel`.
[[nodiscard]] bool isPackKeystreamKernelAvailable(PackKeystreamKernel kernel) noexcept;
/// packKeystreamApply with the given kernel, which must be available.
uint64 packKeystreamApply(PackKeystreamKernel kernel, uint64 state, std::byte* data, int64 count) noexcept;

} // namespace Detail

/// Reads the region [start, start + length) of a scrambled source, descrambling on the fly. Seeking
/// replays the keystream from the region's start (logarithmic in the distance).
class PackFileInputStream : public Io::SeekableBinaryInputStream, public Noncopyable {
public:
    /// Reads `length` bytes of `source` from `start`, whose first byte is descrambled by the keystream
    /// following `keystreamState`. Throws Exception when the source cannot seek there.
    PackFileInputStream(AutoPtr<Io::SeekableBinaryInputStream>&& source, int64 start, int64 length,
                        uint64 keystreamState);

    /// The position in the region.
    [[nodiscard]] int64 tellg() const override;
    /// Moves within 0 .. length; throws Exception "Error seeking packed file stream" outside it.
    void seekgImpl(int64 offset, Io::SeekOrigin origin) override;

protected:
    /// Delivers what the source delivers of the rest of the region, descrambled.
    int64 readImpl(void* dst, int64 count) override;
    [[nodiscard]] bool eofImpl() const override;

private:
    AutoPtr<Io::SeekableBinaryInputStream> mSource;
    int64 mStart;
    int64 mLength;
    int64 mPosition = 0;
    bool mEof = false;
    uint64 mInitialState;
    uint64 mState;
};

/// The files inside one pack, read only. Loaded completely by the constructor and immutable afterwards:
/// it may serve several threads at once, and every stream it hands out is independent.
class PackFileVfs : public Io::VirtualFileSystem {
public:
    /// One file of the pack.
    struct Entry {
        /// The name as a path relative to the pack root, in generic form.
        Io::Path name;
        /// Bytes the entry occupies in the data area.
        int64 storedLength = 0;
        /// Bytes after decompression.
        int64 size = 0;
        /// Offset of its first stored byte in the pack.
        int64 dataOffset = 0;
        /// Keystream state before its first stored byte.
        uint64 keystreamState = 0;
        /// Position of its record in the directory, from 0.
        int64 index = 0;
        /// Whether the entry is stored deflate-compressed.
        bool compressed = false;
    };

    /// Loads the pack at `path`; throws Exception::fileAccess when it cannot be opened and Exception
    /// when it is no pack or is corrupt.
    explicit PackFileVfs(const Io::Path& path);
    /// Loads the pack in `image`, which must outlive this system and every stream it hands out.
    explicit PackFileVfs(ArrayView<const std::byte> image);

    /// True when the file at `path` starts with the pack guard; false for a missing or shorter file.
    [[nodiscard]] static bool isPackFile(const Io::Path& path);

    /// A stream over the entry named exactly `path` (case matters); throws Exception::fileAccess when
    /// there is none. Uncompressed entries stream from the pack; compressed ones are inflated at once.
    AutoPtr<Io::SeekableBinaryInputStream> openForReading(const Io::Path& path) override;
    /// True when an entry has exactly this name.
    [[nodiscard]] bool fileExists(const Io::Path& path) const override;
    /// The entry's index; throws Exception "PackFileVfs::fileId() - fileName not recognized." without one.
    [[nodiscard]] uint64 fileId(const Io::Path& path) const override;
    /// The entry's size after decompression, or -1.
    [[nodiscard]] int64 fileSize(const Io::Path& path) const override;
    /// Names of the entries directly in `directory` (all below it with Recursive; all for an empty
    /// `directory`), in code-unit order of the names; with `extensions` (compared lower-cased) only
    /// entries whose extension equals one exactly. The names are relative to the pack root.
    [[nodiscard]] Stack<Io::Path> getFiles(const Io::Path& directory, Flags<Io::GetFiles> flags,
                                           ArrayView<const String> extensions) override;

    /// Every entry, ordered by name in code units.
    [[nodiscard]] ArrayView<const Entry> entries() const noexcept { return mEntries; }

private:
    AutoPtr<Io::SeekableBinaryInputStream> openSource() const;
    [[noreturn]] void corrupt(const String& what) const;
    void load();
    void readDirectory(uint64 initialState);
    void addEntry(Entry&& entry, int64& offset, uint64& state);
    [[nodiscard]] const Entry* find(const Io::Path& path) const;

    Variant<Io::Path, ArrayView<const std::byte>> mSource;
    uint32 mSeed = 0;
    int64 mDirectoryLength = 0;
    int64 mDirectoryOffset = 0;
    Stack<Entry> mEntries;
};

} // namespace Kalvex

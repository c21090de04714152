// PackWriter: writes pack files that PackFileVfs reads. Entries are scrambled (and optionally
// compressed) and written as they are added; finish() appends the directory and its length.
//
//   Io::FileOutputStream file(u"/data/assets.pack");
//   Tools::PackWriter pack(file, 1234);
//   pack.addFile(u"textures/wood.png", bytes, Tools::PackWriter::Store::Compressed);
//   pack.finish();
//
// The low-level addData and addRecord write the data area and the directory separately, so tests can
// build packs whose records disagree with their data.
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/array.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/stream.h"

#include <cstddef>

namespace Kalvex::Tools {

class PackWriter : public Noncopyable {
public:
    /// How an entry's bytes are stored.
    enum class Store { Plain, Compressed };

    /// Writes the header to `out` (which must outlive the writer); `seed` selects the keystream.
    PackWriter(Io::BinaryOutputStream& out, uint32 seed);

    /// Adds a file: its bytes (compressed when asked) go to the data area, its record to the directory.
    void addFile(const String& name, ArrayView<const std::byte> bytes, Store store = Store::Plain);
    /// Appends `bytes` to the data area as they are (scrambled only).
    void addData(ArrayView<const std::byte> bytes);
    /// Appends a directory record with any values.
    void addRecord(const String& name, int64 storedLength, int64 size, bool compressed);
    /// Appends raw bytes to the directory before it is compressed (for incomplete records).
    void addDirectoryBytes(ArrayView<const std::byte> bytes);
    /// Compresses and scrambles the directory and writes it with its length; the pack is complete.
    /// Throws Exception when called twice.
    void finish();

    /// A whole pack in memory: `files` as (name, bytes) pairs, all stored the same way.
    struct File {
        String name;
        ArrayView<const std::byte> bytes;
    };
    [[nodiscard]] static Array<std::byte> makePack(ArrayView<const File> files, Store store, uint32 seed = 1);

private:
    Io::BinaryOutputStream& mOut;
    uint32 mSeed;
    uint64 mDataState;
    Io::ArrayOutputStream mDirectory;
    bool mFinished = false;
};

} // namespace Kalvex::Tools

#include "pack/packwriter.h"

#include "tolvan/io/deflatestream.h"
#include "tolvan/io/packfilevfs.h"

#include <algorithm>

namespace Kalvex::Tools {

namespace {

template <typename T>
void writeLittleEndian(Io::BinaryOutputStream& out, T value) {
    unsigned char bytes[sizeof(T)];
    auto bits = std::make_unsigned_t<T>(value);
    for (unsigned char& b : bytes) {
        b = (unsigned char)(bits & 0xFF);
        bits = std::make_unsigned_t<T>(bits >> 8);
    }
    out.write(bytes, sizeof bytes);
}

// The zlib form of `bytes`.
Array<std::byte> compress(ArrayView<const std::byte> bytes) {
    Io::ArrayOutputStream collected;
    Io::DeflateOutputStream deflate(makeAutoPtr<Io::ForwardingBinaryOutputStream>(collected));
    deflate.write(bytes.data(), bytes.size());
    deflate.close();
    return Array<std::byte>(collected.data());
}

} // namespace

PackWriter::PackWriter(Io::BinaryOutputStream& out, uint32 seed)
    : mOut(out)
    , mSeed(seed)
    , mDataState(Detail::packKeystreamStart(seed)) {
    writeLittleEndian<uint32>(mOut, Detail::PACK_GUARD);
    writeLittleEndian<uint32>(mOut, seed);
}

void PackWriter::addData(ArrayView<const std::byte> bytes) {
    // Scrambled in pieces, so a large entry needs no copy of its own size.
    std::byte piece[65536];
    for (int64 done = 0; done < bytes.size();) {
        const int64 n = std::min<int64>(int64(sizeof piece), bytes.size() - done);
        std::copy_n(bytes.data() + done, n, piece);
        mDataState = Detail::packKeystreamApply(mDataState, piece, n);
        mOut.write(piece, n);
        done += n;
    }
}

void PackWriter::addRecord(const String& name, int64 storedLength, int64 size, bool compressed) {
    const auto utf8 = name.toUtf8();
    mDirectory.write(utf8.cStr(), utf8.length());
    const char zero = 0;
    mDirectory.write(&zero, 1);
    writeLittleEndian<int64>(mDirectory, storedLength);
    writeLittleEndian<int64>(mDirectory, size);
    const unsigned char flag = compressed ? 1 : 0;
    mDirectory.write(&flag, 1);
}

void PackWriter::addDirectoryBytes(ArrayView<const std::byte> bytes) {
    mDirectory.write(bytes.data(), bytes.size());
}

void PackWriter::addFile(const String& name, ArrayView<const std::byte> bytes, Store store) {
    if (store == Store::Plain) {
        addData(bytes);
        addRecord(name, bytes.size(), bytes.size(), false);
        return;
    }
    const Array<std::byte> packed = compress(bytes);
    addData(packed);
    addRecord(name, packed.size(), bytes.size(), true);
}

void PackWriter::finish() {
    if (mFinished) throw Exception("The pack is finished already");
    mFinished = true;
    Array<std::byte> directory = compress(mDirectory.data());
    Detail::packKeystreamApply(Detail::packKeystreamStart(mSeed), directory.data(), directory.size());
    mOut.write(directory.data(), directory.size());
    writeLittleEndian<int64>(mOut, directory.size());
    mOut.flush();
}

Array<std::byte> PackWriter::makePack(ArrayView<const File> files, Store store, uint32 seed) {
    Io::ArrayOutputStream out;
    PackWriter writer(out, seed);
    for (const File& file : files)
        writer.addFile(file.name, file.bytes, store);
    writer.finish();
    return Array<std::byte>(out.data());
}

} // namespace Kalvex::Tools

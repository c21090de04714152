// PackFileVfs over arbitrary bytes (the memory form): loading either fails with an Exception or gives a
// system whose every entry lies inside the data area, opens, reads exactly its size, and reads the same
// bytes again from its middle after a seek. The listing holds every entry once.
//
// When started with a corpus directory that holds no seeds yet, the target first writes packs made by
// the pack writer into it: empty, one entry, many small entries, entries on both sides of the
// interleaved-keystream threshold, a compressed entry past the first inflation block and one near the
// largest expansion zlib can produce. The largest seed sets libFuzzer's default -max_len.
#include "pack/packwriter.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/io/packfilevfs.h"
#include "tolvan/io/stream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

// Entries exercised per input and bytes read per entry: enough for every code path, few enough that a
// pack of many entries stays fast.
constexpr int32 ENTRY_CAP = 24;
constexpr int64 READ_CAP = int64(4) << 20;

void check(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::byte> readUpTo(Io::BinaryInputStream& in, int64 cap) {
    std::vector<std::byte> all;
    std::byte buffer[8192];
    while (int64(all.size()) < cap) {
        const int64 n = in.read(buffer, sizeof buffer);
        if (n == 0) break;
        all.insert(all.end(), buffer, buffer + n);
    }
    return all;
}

void exercise(PackFileVfs& pack, int64 imageSize) {
    const ArrayView<const PackFileVfs::Entry> entries = pack.entries();
    check(pack.getFiles(u"", Io::GetFiles::Recursive, {}).size() == entries.size());
    for (int64 i = 0; i < entries.size() && i < ENTRY_CAP; ++i) {
        const PackFileVfs::Entry& entry = entries[i];
        check(entry.dataOffset >= 8 && entry.storedLength >= 0 &&
              entry.dataOffset + entry.storedLength <= imageSize);
        check(pack.fileExists(entry.name) && pack.fileSize(entry.name) == entry.size);
        check(pack.fileId(entry.name) == uint64(entry.index));
        if (entry.size > READ_CAP) continue;
        AutoPtr<Io::SeekableBinaryInputStream> in;
        try {
            in = pack.openForReading(entry.name);
        } catch (const Exception&) {
            check(entry.compressed); // a plain entry always opens once the pack loaded
            continue;
        }
        const std::vector<std::byte> whole = readUpTo(*in, READ_CAP + 1);
        check(int64(whole.size()) == entry.size);
        const int64 middle = entry.size / 2;
        in->seekg(middle);
        const std::vector<std::byte> tail = readUpTo(*in, READ_CAP + 1);
        check(tail.size() == whole.size() - size_t(middle));
        check(tail.empty() || std::memcmp(tail.data(), whole.data() + middle, tail.size()) == 0);
    }
}

// ---- Seeds ----

std::vector<std::byte> pattern(size_t size, uint32 salt, bool compressible) {
    std::vector<std::byte> b(size);
    uint32 x = salt * 2654435761u + 1;
    for (size_t k = 0; k < size; ++k) {
        x = x * 1103515245u + 12345u;
        b[k] = compressible ? std::byte(k % 11 == 0 ? x >> 24 : 'a' + k % 5) : std::byte(x >> 24);
    }
    return b;
}

void writeSeed(const std::string& dir, const std::string& name, const Array<std::byte>& pack) {
    Io::writeBinaryFile(Io::Path(String::fromUtf8((dir + "/seed-" + name).c_str())), pack);
}

Array<std::byte> packOf(const std::vector<std::pair<std::u16string, std::vector<std::byte>>>& files,
                        Tools::PackWriter::Store store) {
    std::vector<Tools::PackWriter::File> list;
    for (const auto& [name, bytes] : files)
        list.push_back({String(name.c_str()), ArrayView<const std::byte>(bytes.data(), int64(bytes.size()))});
    return Tools::PackWriter::makePack(
        ArrayView<const Tools::PackWriter::File>(list.data(), int64(list.size())), store, 0xC0FFEEu);
}

void writeSeeds(const std::string& dir) {
    using Store = Tools::PackWriter::Store;
    writeSeed(dir, "empty", packOf({}, Store::Plain));
    writeSeed(dir, "one", packOf({{u"a.txt", pattern(100, 1, true)}}, Store::Plain));
    std::vector<std::pair<std::u16string, std::vector<std::byte>>> many;
    for (int i = 0; i < 40; ++i) {
        const std::string name =
            "d" + std::to_string(i % 4) + "/f" + std::to_string(i) + (i % 3 ? ".bin" : ".PNG");
        many.push_back(
            {std::u16string(name.begin(), name.end()), pattern(size_t(i * 7), uint32(i), i % 2 == 0)});
    }
    writeSeed(dir, "many-plain", packOf(many, Store::Plain));
    writeSeed(dir, "many-compressed", packOf(many, Store::Compressed));
    // Around the interleaved keystream's threshold (65536 bytes).
    writeSeed(
        dir, "lanes",
        packOf({{u"below", pattern(65535, 2, false)}, {u"above", pattern(65537, 3, false)}}, Store::Plain));
    // Past the first inflation block (256 KiB), and near zlib's largest expansion (about 1030:1).
    writeSeed(dir, "inflate-blocks", packOf({{u"big", pattern(300000, 4, true)}}, Store::Compressed));
    writeSeed(dir, "zeros", packOf({{u"zeros", std::vector<std::byte>(size_t(2) << 20)}}, Store::Compressed));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    for (int i = 1; i < *argc; ++i) {
        const char* arg = (*argv)[i];
        if (arg[0] == '-') continue;
        const Io::Path dir(String::fromUtf8(arg));
        if (Io::dirExists(dir) && Io::getFiles(dir).isEmpty()) writeSeeds(arg);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ArrayView<const std::byte> image(reinterpret_cast<const std::byte*>(data), int64(size));
    try {
        PackFileVfs pack(image);
        exercise(pack, int64(size));
    } catch (const Exception&) {
        // Corrupt packs are expected to fail, with an Exception and nothing else.
    }
    return 0;
}

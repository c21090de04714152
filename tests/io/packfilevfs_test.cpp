// Pack files: the keystream, packs made by the writer of tools/ read back whole, after seeks and through
// a combined system, the lookup rules, and corrupt packs.
#include "io/temp_directory.h"
#include "pack/packwriter.h"
#include "tolvan/io/packfilevfs.h"
#include "tolvan/io/stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace Kalvex;
using Io::Path;
using Tools::PackWriter;

namespace {

using Bytes = std::vector<std::byte>;

Bytes bytesOf(const std::string& text) {
    Bytes b(text.size());
    std::memcpy(b.data(), text.data(), text.size());
    return b;
}

ArrayView<const std::byte> view(const Bytes& b) {
    return ArrayView<const std::byte>(b.data(), int64(b.size()));
}

// Content that compresses somewhat and differs per entry.
Bytes contentFor(int i, size_t size) {
    Bytes b(size);
    uint32 x = uint32(i) * 2654435761u + 1;
    for (size_t k = 0; k < size; ++k) {
        x = x * 1103515245u + 12345u;
        b[k] = std::byte(k % 7 == 0 ? (x >> 24) : uint8('a' + k % 13));
    }
    return b;
}

Bytes readAll(Io::BinaryInputStream& in) {
    Bytes all;
    std::byte buffer[1000];
    while (const int64 n = in.read(buffer, sizeof buffer))
        all.insert(all.end(), buffer, buffer + n);
    return all;
}

// A pack in memory built with the writer's low-level calls.
Bytes buildPack(const std::function<void(PackWriter&)>& fill, uint32 seed = 7) {
    Io::ArrayOutputStream out;
    PackWriter writer(out, seed);
    fill(writer);
    writer.finish();
    const auto data = out.data();
    return Bytes(data.begin(), data.end());
}

std::string loadError(const Bytes& image) {
    try {
        PackFileVfs pack(view(image));
        return "<loaded>";
    } catch (const Exception& e) {
        return e.what();
    }
}

std::string openError(const Bytes& image, const char16_t* name) {
    try {
        PackFileVfs pack(view(image));
        (void)pack.openForReading(name);
        return "<opened>";
    } catch (const Exception& e) {
        return e.what();
    }
}

// The format's keystream written out step by step, independent of the library's fast paths.
uint64 referenceApply(uint64 s, std::byte* data, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        data[i] ^= std::byte(((s & 0xFF) * 29) % 256);
    }
    return s;
}

} // namespace

TEST(PackKeystream, EveryKernelAgreesWithTheStepByStepDefinition) {
    const uint64 start = Detail::packKeystreamStart(12345);
    EXPECT_NE(start, Detail::packKeystreamStart(12346));
    using Kernel = Detail::PackKeystreamKernel;
    // Lengths around the vector kernels' threshold and block sizes, and a start state from the middle of a
    // stream, so the kernels' set-up and their tails are covered.
    const uint64 middle = Detail::packKeystreamSkip(start, 987654321);
    for (const Kernel kernel : {Kernel::SERIAL, Kernel::AVX2, Kernel::AVX512}) {
        if (!Detail::isPackKeystreamKernelAvailable(kernel)) continue;
        for (const uint64 state : {start, middle}) {
            for (const size_t count :
                 {size_t(0), size_t(1), size_t(63), size_t(64), size_t(1000), size_t(4095), size_t(4096),
                  size_t(4097), size_t(4096 + 255), size_t(65536), size_t(200003)}) {
                Bytes expected = contentFor(int(count), count), actual = expected;
                const uint64 end = referenceApply(state, expected.data(), count);
                EXPECT_EQ(Detail::packKeystreamApply(kernel, state, actual.data(), int64(count)), end)
                    << int(kernel) << " " << count;
                EXPECT_EQ(actual, expected) << int(kernel) << " " << count;
                EXPECT_EQ(Detail::packKeystreamSkip(state, count), end) << count;
            }
        }
    }
    Bytes expected = contentFor(7, 100000), actual = expected;
    EXPECT_EQ(Detail::packKeystreamApply(start, actual.data(), 100000),
              referenceApply(start, expected.data(), 100000));
    EXPECT_EQ(actual, expected);
}

// ---- Round trips ----

class PackRoundTrip : public TestSupport::TempDirectoryTest,
                      public ::testing::WithParamInterface<std::tuple<int, bool, bool>> {};

TEST_P(PackRoundTrip, EveryEntryReadsBackWholeAndAfterSeeks) {
    const auto [count, compressed, onDisk] = GetParam();
    std::vector<Bytes> contents;
    std::vector<String> names;
    for (int i = 0; i < count; ++i) {
        contents.push_back(contentFor(i, count > 100 ? size_t(i % 97) : size_t(5000 + i * 300)));
        names.push_back(String::fromAscii(
            ("dir" + std::to_string(i % 10) + "/file" + std::to_string(i) + ".bin").c_str()));
    }
    std::vector<PackWriter::File> files;
    for (int i = 0; i < count; ++i)
        files.push_back({names[size_t(i)], view(contents[size_t(i)])});
    const Array<std::byte> image =
        PackWriter::makePack(ArrayView<const PackWriter::File>(files.data(), int64(files.size())),
                             compressed ? PackWriter::Store::Compressed : PackWriter::Store::Plain);
    AutoPtr<PackFileVfs> pack;
    if (onDisk) {
        Io::writeBinaryFile(path("test.pack"), image);
        EXPECT_TRUE(PackFileVfs::isPackFile(path("test.pack")));
        pack = makeAutoPtr<PackFileVfs>(path("test.pack"));
    } else {
        pack = makeAutoPtr<PackFileVfs>(ArrayView<const std::byte>(image.data(), image.size()));
    }
    ASSERT_EQ(pack->entries().size(), count);
    EXPECT_EQ(pack->getFiles(u"", Io::GetFiles::Recursive, {}).size(), count);
    for (int i = 0; i < count; ++i) {
        const Bytes& expected = contents[size_t(i)];
        ASSERT_TRUE(pack->fileExists(names[size_t(i)]));
        EXPECT_EQ(pack->fileSize(names[size_t(i)]), int64(expected.size()));
        EXPECT_EQ(pack->fileId(names[size_t(i)]), uint64(i));
        AutoPtr<Io::SeekableBinaryInputStream> in = pack->openForReading(names[size_t(i)]);
        ASSERT_EQ(readAll(*in), expected) << i;
        EXPECT_TRUE(in->eof());
        if (count > 100 && i % 50 != 0) continue;
        // From the middle, after seeks from each origin.
        const int64 k = int64(expected.size()) / 3;
        const Bytes tail(expected.begin() + k, expected.end());
        in->seekg(k, Io::SeekOrigin::Begin);
        EXPECT_FALSE(in->eof());
        EXPECT_EQ(in->tellg(), k);
        EXPECT_EQ(readAll(*in), tail);
        in->seekg(-int64(tail.size()), Io::SeekOrigin::End);
        EXPECT_EQ(readAll(*in), tail);
        in->seekg(0);
        in->seekg(k, Io::SeekOrigin::Current);
        EXPECT_EQ(readAll(*in), tail);
        if (!compressed) {
            EXPECT_THROW(in->seekg(int64(expected.size()) + 1), Exception);
            EXPECT_THROW(in->seekg(-1), Exception);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Packs, PackRoundTrip,
                         ::testing::Combine(::testing::Values(0, 1, 12, 10000), ::testing::Bool(),
                                            ::testing::Bool()));

TEST(PackFile, SeekOutsideAnEntryFailsWithItsMessage) {
    const Bytes content = contentFor(1, 100);
    const Bytes image = buildPack([&](PackWriter& w) { w.addFile(u"a", view(content)); });
    PackFileVfs pack(view(image));
    AutoPtr<Io::SeekableBinaryInputStream> in = pack.openForReading(u"a");
    try {
        in->seekg(101);
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Error seeking packed file stream");
    }
    EXPECT_THROW(in->seekg(1, Io::SeekOrigin::End), Exception);
    EXPECT_THROW(in->seekg(std::numeric_limits<int64>::min(), Io::SeekOrigin::End), Exception);
    // A read after a failed seek still starts where the stream was.
    EXPECT_EQ(readAll(*in), content);
}

// ---- Lookups ----

TEST(PackFile, LookupsAreExactAndListingsFollowTheDirectoryRules) {
    const Bytes one = bytesOf("first"), two = bytesOf("second!"), other = bytesOf("x");
    const Bytes image = buildPack([&](PackWriter& w) {
        w.addFile(u"sub\\a.txt", view(one));
        w.addFile(u"sub/deeper/b.txt", view(other));
        w.addFile(u"sub/c.PNG", view(other));
        w.addFile(u"sub/d.png", view(other), PackWriter::Store::Compressed);
        w.addFile(u"top.txt", view(other));
        w.addFile(u"sub/a.txt", view(two)); // the later record with one name wins
    });
    PackFileVfs pack(view(image));
    EXPECT_TRUE(pack.fileExists(u"sub/a.txt"));
    EXPECT_TRUE(pack.fileExists(u"sub\\a.txt")); // a Path is generic form
    EXPECT_FALSE(pack.fileExists(u"SUB/a.txt"));
    EXPECT_EQ(pack.fileSize(u"sub/a.txt"), 7);
    EXPECT_EQ(pack.fileId(u"sub/a.txt"), 5u);
    EXPECT_EQ(readAll(*pack.openForReading(u"sub/a.txt")), two);
    EXPECT_EQ(pack.fileSize(u"SUB/a.txt"), -1);
    try {
        (void)pack.fileId(u"SUB/a.txt");
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "PackFileVfs::fileId() - fileName not recognized.");
    }
    try {
        (void)pack.openForReading(u"SUB\\a.txt");
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot open/read/write file 'SUB/a.txt'");
    }

    const auto names = [&](const char16_t* dir, Flags<Io::GetFiles> flags, std::vector<String> ext) {
        std::vector<std::string> out;
        for (const Path& p :
             pack.getFiles(dir, flags, ArrayView<const String>(ext.data(), int64(ext.size()))))
            out.push_back(p.genericStr().toUtf8().cStr());
        return out;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(names(u"sub", {}, {}), Names({"sub/a.txt", "sub/c.PNG", "sub/d.png"}));
    EXPECT_EQ(names(u"sub", Io::GetFiles::Recursive, {}),
              Names({"sub/a.txt", "sub/c.PNG", "sub/d.png", "sub/deeper/b.txt"}));
    EXPECT_EQ(names(u"", {}, {}), Names({"top.txt"}));
    EXPECT_EQ(names(u"", Io::GetFiles::Recursive, {u"TXT"}),
              Names({"sub/a.txt", "sub/deeper/b.txt", "top.txt"}));
    // The filter is lower-cased, the entry's extension is not.
    EXPECT_EQ(names(u"sub", {}, {u"PNG"}), Names({"sub/d.png"}));
    EXPECT_EQ(names(u"su", Io::GetFiles::Recursive, {}), Names());
}

TEST(PackFile, EmptyDirectoryAndIsPackFile) {
    const Bytes empty = buildPack([](PackWriter&) {});
    PackFileVfs pack(view(empty));
    EXPECT_FALSE(pack.fileExists(u""));
    EXPECT_TRUE(pack.getFiles(u"", Io::GetFiles::Recursive, {}).isEmpty());
    // L = 0: no directory at all.
    Bytes bare = bytesOf(std::string("\x21\x85\x54\x36\0\0\0\0", 8) + std::string(8, '\0'));
    EXPECT_TRUE(PackFileVfs(view(bare)).entries().isEmpty());
}

class PackFiles : public TestSupport::TempDirectoryTest {};

TEST_F(PackFiles, IsPackFileLooksAtTheGuard) {
    write("short", "\x21\x85\x54");
    write("guard", std::string("\x21\x85\x54\x36", 4));
    write("other", "PK\x03\x04");
    EXPECT_FALSE(PackFileVfs::isPackFile(path("short")));
    EXPECT_FALSE(PackFileVfs::isPackFile(path("missing")));
    EXPECT_TRUE(PackFileVfs::isPackFile(path("guard")));
    EXPECT_FALSE(PackFileVfs::isPackFile(path("other")));
    EXPECT_THROW(PackFileVfs pack(path("missing")), Exception);
}

// Large reads are descrambled in pieces: an entry at an odd offset, reads of every size around a piece,
// from the start and after seeks, and a pack cut short after loading.
TEST_F(PackFiles, LargeReadsDeliverEveryByteAtAnyOffset) {
    constexpr size_t PIECE = 1024 * 1024;
    const Bytes small = contentFor(1, 37), large = contentFor(2, 3 * PIECE + 12345);
    const std::vector<PackWriter::File> files = {{u"a.bin", view(small)}, {u"b.bin", view(large)}};
    const Array<std::byte> image = PackWriter::makePack(
        ArrayView<const PackWriter::File>(files.data(), int64(files.size())), PackWriter::Store::Plain);
    Io::writeBinaryFile(path("big.pack"), image);
    PackFileVfs pack(path("big.pack"));
    for (const size_t start : {size_t(0), size_t(1), size_t(63), size_t(PIECE + 5)}) {
        for (const size_t chunk : {PIECE - 1, PIECE, PIECE + 1, 2 * PIECE + 7, large.size()}) {
            AutoPtr<Io::SeekableBinaryInputStream> in = pack.openForReading(u"b.bin");
            in->seekg(int64(start));
            Bytes all, buffer(chunk);
            while (const int64 n = in->read(buffer.data(), int64(chunk)))
                all.insert(all.end(), buffer.begin(), buffer.begin() + n);
            EXPECT_EQ(all, Bytes(large.begin() + int64(start), large.end())) << start << " " << chunk;
            EXPECT_TRUE(in->eof());
        }
    }
    // Cut inside the third piece: a large read ends there with the bytes that exist, descrambled.
    AutoPtr<Io::SeekableBinaryInputStream> in = pack.openForReading(u"b.bin");
    const int64 cut = int64(8 + small.size() + 2 * PIECE + 1000);
    ASSERT_EQ(::truncate(native("big.pack").c_str(), cut), 0);
    Bytes buffer(large.size());
    const int64 n = in->read(buffer.data(), int64(buffer.size()));
    EXPECT_EQ(n, cut - int64(8 + small.size()));
    buffer.resize(size_t(std::max<int64>(n, 0)));
    EXPECT_EQ(buffer, Bytes(large.begin(), large.begin() + int64(buffer.size())));
    EXPECT_TRUE(in->eof());
}

TEST_F(PackFiles, CombinedSystemOverADirectoryAndAPack) {
    makeDir("over");
    write("over/shared.txt", "from the directory");
    const Bytes packed = bytesOf("from the pack"), only = bytesOf("pack only");
    const Bytes image = buildPack([&](PackWriter& w) {
        w.addFile(u"shared.txt", view(packed));
        w.addFile(u"inner/only.txt", view(only), PackWriter::Store::Compressed);
    });
    FILE* f = std::fopen(native("assets.pack").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);

    Io::CombinedVfs combined;
    combined.addSystem(makeShared<Io::DirectoryVfs>(path("over")));
    combined.addSystem(makeShared<PackFileVfs>(path("assets.pack")));
    EXPECT_EQ(readAll(*combined.openForReading(u"shared.txt")), bytesOf("from the directory"));
    EXPECT_EQ(readAll(*combined.openForReading(u"inner/only.txt")), only);
    EXPECT_EQ(combined.fileSize(u"inner/only.txt"), 9);
    EXPECT_EQ(combined.fileId(u"inner/only.txt"), 1u);
    const String txt[] = {u"txt"};
    EXPECT_EQ(combined.getFiles(u"", {}, txt).size(), 2); // the directory's, then the pack's
}

// ---- Corrupt packs ----

TEST(PackFile, CorruptPacksFailWithAClearMessage) {
    const Bytes data = contentFor(3, 300);
    const Bytes valid = buildPack([&](PackWriter& w) { w.addFile(u"a.bin", view(data)); });
    const auto withTrailer = [&](int64 length) {
        Bytes b = valid;
        std::memcpy(b.data() + b.size() - 8, &length, 8);
        return b;
    };
    const std::string loadFailed = "Could not load object from the stream.";
    const std::string corrupt = "Corrupt pack file in memory: ";
    const int64 max = std::numeric_limits<int64>::max();
    struct Case {
        const char* name;
        Bytes image;
        std::string message; // empty: only that it fails
    };
    const std::vector<Case> cases = {
        {"empty", {}, loadFailed},
        {"three bytes", bytesOf("\x21\x85\x54"), loadFailed},
        {"wrong guard", bytesOf("PK\x03\x04....xxxxxxxx"), "checkGuard() failed. Guard: 911508769"},
        {"no seed", bytesOf("\x21\x85\x54\x36\x01"), loadFailed},
        {"no trailer", bytesOf(std::string("\x21\x85\x54\x36\x01\x02\x03\x04\x05", 9)), loadFailed},
        {"negative directory length", withTrailer(-1),
         corrupt + "the directory length -1 does not fit in its " + std::to_string(valid.size()) + " bytes"},
        {"directory longer than the file", withTrailer(int64(valid.size())), ""},
        {"directory over the header", withTrailer(int64(valid.size()) - 15), ""},
        {"huge directory length", withTrailer(max), ""},
        {"stored length past the data", buildPack([&](PackWriter& w) {
             w.addData(view(data));
             w.addRecord(u"a", 301, 301, false);
         }),
         corrupt + "the entry 'a' runs past the data area"},
        {"second entry past the data", buildPack([&](PackWriter& w) {
             w.addData(view(data));
             w.addRecord(u"a", 200, 200, false);
             w.addRecord(u"b", 101, 101, false);
         }),
         corrupt + "the entry 'b' runs past the data area"},
        {"offset overflow", buildPack([&](PackWriter& w) {
             w.addData(view(data));
             w.addRecord(u"a", 100, 100, false);
             w.addRecord(u"b", max, max, false);
         }),
         corrupt + "the entry 'b' runs past the data area"},
        {"negative stored length", buildPack([&](PackWriter& w) { w.addRecord(u"a", -1, 0, false); }),
         corrupt + "the entry 'a' runs past the data area"},
        {"plain size differs", buildPack([&](PackWriter& w) {
             w.addData(view(data));
             w.addRecord(u"a", 300, 299, false);
         }),
         corrupt + "the entry 'a' has an impossible size"},
        {"compressed size beyond zlib", buildPack([&](PackWriter& w) {
             w.addData(view(data));
             w.addRecord(u"a", 300, max, true);
         }),
         corrupt + "the entry 'a' has an impossible size"},
        {"negative size", buildPack([&](PackWriter& w) { w.addRecord(u"a", 0, -5, true); }),
         corrupt + "the entry 'a' has an impossible size"},
        {"parent step", buildPack([&](PackWriter& w) { w.addRecord(u"a/../../x", 0, 0, false); }),
         corrupt + "the entry name 'a/../../x' leaves the pack"},
        {"absolute", buildPack([&](PackWriter& w) { w.addRecord(u"/etc/passwd", 0, 0, false); }),
         corrupt + "the entry name '/etc/passwd' leaves the pack"},
        {"drive", buildPack([&](PackWriter& w) { w.addRecord(u"C:\\x", 0, 0, false); }),
         corrupt + "the entry name 'C:/x' leaves the pack"},
        {"record cut short",
         buildPack([&](PackWriter& w) { w.addDirectoryBytes(view(bytesOf(std::string("a\0\1\2\3", 5)))); }),
         loadFailed},
        {"name without end", buildPack([&](PackWriter& w) { w.addDirectoryBytes(view(bytesOf("abc"))); }),
         loadFailed},
    };
    for (const Case& c : cases) {
        const std::string error = loadError(c.image);
        EXPECT_NE(error, "<loaded>") << c.name;
        if (!c.message.empty()) {
            EXPECT_EQ(error, c.message) << c.name;
        }
    }

    // A directory that is no zlib data.
    Bytes scrambled = valid;
    for (size_t i = 8 + 300; i < scrambled.size() - 8; ++i)
        scrambled[i] ^= std::byte(0x5A);
    EXPECT_EQ(loadError(scrambled), "Error while uncompressing data");
}

TEST(PackFile, CompressedEntriesMustInflateToTheirSize) {
    const Bytes data = contentFor(4, 5000);
    // The compressed form of `data`, taken from a pack the writer made.
    Bytes compressedForm;
    {
        const Bytes image =
            buildPack([&](PackWriter& w) { w.addFile(u"a", view(data), PackWriter::Store::Compressed); });
        PackFileVfs pack(view(image));
        const PackFileVfs::Entry& entry = pack.entries()[0];
        PackFileInputStream stored(makeAutoPtr<Io::MemoryInputStream>(image.data(), int64(image.size())),
                                   entry.dataOffset, entry.storedLength, entry.keystreamState);
        compressedForm = readAll(stored);
    }
    const auto packWithSize = [&](int64 size) {
        return buildPack([&](PackWriter& w) {
            w.addData(view(compressedForm));
            w.addRecord(u"a", int64(compressedForm.size()), size, true);
        });
    };
    const std::string message = "Corrupt pack file in memory: the entry 'a' does not inflate to its size";
    EXPECT_EQ(openError(packWithSize(4999), u"a"), message);
    EXPECT_EQ(openError(packWithSize(5001), u"a"), message);
    EXPECT_EQ(openError(packWithSize(1000000), u"a"), message);
    EXPECT_EQ(openError(packWithSize(5000), u"a"), "<opened>");
    // Stored bytes that are no zlib data.
    const Bytes garbage = buildPack([&](PackWriter& w) {
        w.addData(view(data));
        w.addRecord(u"a", 5000, 5000, true);
    });
    EXPECT_EQ(openError(garbage, u"a"), "Error while uncompressing data");
}

#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/io/stream.h"
#include "tolvan/platform/debug.h"

#include "io/stream_support.h"
#include "support/unprivileged.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::Io;
using TolvanTest::ChunkedSource;
using TolvanTest::thrownMessage;

namespace {

std::string readString(BinaryInputStream& in, int64 count) {
    std::string out(size_t(count), '\0');
    out.resize(size_t(in.read(out.data(), count)));
    return out;
}

std::string bytesOf(ArrayView<const std::byte> view) {
    return std::string(reinterpret_cast<const char*>(view.data()), size_t(view.size()));
}

const char* const PUT_BACK_ERROR =
    "Io::BinaryInputStream::putBack() - putting back more than acquired during the last read.";

class FileStreams : public TolvanTest::TempDirTest {};

} // namespace

// ---- put-back and end of data ----

TEST(BinaryInputStream, PutBackOnNonSeekableStream) {
    ChunkedSource in("0123456789abcdefghij");
    const std::string first = readString(in, 10);
    EXPECT_EQ(first, "0123456789");
    EXPECT_EQ(thrownMessage([&] { in.putBack(first.data(), 11); }), PUT_BACK_ERROR);
    in.putBack(first.data() + 6, 4);
    EXPECT_EQ(readString(in, 10), "6789abcdef"); // put-back bytes first, then new ones

    // A read served entirely from the buffer rewinds inside it; the bytes passed are not looked at.
    in.putBack("WXYZ", 4);
    EXPECT_EQ(readString(in, 2), "WX");
    in.putBack("??", 2);
    EXPECT_EQ(readString(in, 4), "WXYZ");

    // Null destination or count 0 reads nothing and leaves nothing to put back.
    EXPECT_EQ(in.read(nullptr, 5), 0);
    char c;
    EXPECT_EQ(in.read(&c, 0), 0);
    EXPECT_EQ(thrownMessage([&] { in.putBack("x", 1); }), PUT_BACK_ERROR);
}

TEST(BinaryInputStream, RepeatedPutBackStaysWithinWhatWasRead) {
    ChunkedSource in("0123456789");
    ASSERT_EQ(readString(in, 10), "0123456789");
    in.putBack("6789", 4);
    in.putBack("345", 3); // goes in front of the bytes already waiting
    EXPECT_EQ(thrownMessage([&] { in.putBack("0123", 4); }), PUT_BACK_ERROR); // only 3 of 10 left to return
    EXPECT_EQ(readString(in, 20), "3456789");
}

TEST(BinaryInputStream, EndOfDataOnlyAfterAShortRead) {
    const char data[] = "abcd";
    MemoryInputStream mem(data, 4);
    ChunkedSource chunked("abcd");
    for (BinaryInputStream* in : {static_cast<BinaryInputStream*>(&mem), static_cast<BinaryInputStream*>(&chunked)}) {
        char buffer[8];
        EXPECT_EQ(in->read(buffer, 4), 4);
        EXPECT_FALSE(in->eof());
        in->putBack(buffer + 2, 2);
        EXPECT_EQ(in->read(buffer, 8), 2);
        EXPECT_TRUE(in->eof());
        in->putBack(buffer, 1);
        EXPECT_FALSE(in->eof()) << "bytes are waiting again";
        EXPECT_EQ(in->read(buffer, 1), 1);
        EXPECT_FALSE(in->eof()) << "reading exactly the put-back bytes does not reach the end";
        EXPECT_EQ(in->read(buffer, 8), 0);
        EXPECT_TRUE(in->eof());
    }
    mem.seekg(0, SeekOrigin::Begin);
    EXPECT_FALSE(mem.eof());
}

TEST(BinaryInputStream, SeekablePutBackIsASeekBack) {
    const char data[] = "0123456789";
    MemoryInputStream in(data, 10);
    in.seekg(8);
    in.putBack(data, 5); // nothing was read: still a seek of -5
    EXPECT_EQ(in.tellg(), 3);
    EXPECT_EQ(readString(in, 2), "34");
    EXPECT_EQ(thrownMessage([&] { in.putBack(data, 6); }), "MemoryInputStream: seeking outside memory boundaries.");
    EXPECT_EQ(in.tellg(), 5) << "a failed seek keeps the position";
}

// ---- memory and array streams ----

TEST(MemoryStreams, SeekBoundaries) {
    struct Case {
        int64 start;
        int64 offset;
        SeekOrigin origin;
        int64 expected; // -1: refused
    };
    const Case cases[] = {
        {3, 0, SeekOrigin::Begin, 0},       {3, 10, SeekOrigin::Begin, 10},     {3, 11, SeekOrigin::Begin, -1},
        {3, -1, SeekOrigin::Begin, -1},     {3, 7, SeekOrigin::Current, 10},    {3, -3, SeekOrigin::Current, 0},
        {3, -4, SeekOrigin::Current, -1},   {3, 0, SeekOrigin::End, 10},        {3, -10, SeekOrigin::End, 0},
        {3, 1, SeekOrigin::End, -1},        {3, LLONG_MAX, SeekOrigin::Current, -1},
        {3, LLONG_MIN, SeekOrigin::End, -1},
    };
    char block[10] = {};
    for (const Case& c : cases) {
        MemoryInputStream in(block, 10);
        MemoryOutputStream out(block, 10);
        in.seekg(c.start);
        out.seekp(c.start);
        const std::string inError = thrownMessage([&] { in.seekg(c.offset, c.origin); });
        const std::string outError = thrownMessage([&] { out.seekp(c.offset, c.origin); });
        if (c.expected < 0) {
            EXPECT_EQ(inError, "MemoryInputStream: seeking outside memory boundaries.") << c.offset;
            EXPECT_EQ(outError, "MemoryOutputStream: seeking outside memory boundaries.") << c.offset;
            EXPECT_EQ(in.tellg(), c.start);
            EXPECT_EQ(out.tellp(), c.start);
        } else {
            EXPECT_EQ(inError, "") << c.offset;
            EXPECT_EQ(outError, "") << c.offset;
            EXPECT_EQ(in.tellg(), c.expected);
            EXPECT_EQ(out.tellp(), c.expected);
        }
    }
}

TEST(MemoryStreams, InvalidOriginIsAStopFailure) {
    char block[4] = {};
    MemoryInputStream in(block, 4);
    MemoryOutputStream out(block, 4);
    ArrayOutputStream array;
    const SeekOrigin bad = SeekOrigin(7);
    EXPECT_EQ(thrownMessage([&] { in.seekg(0, bad); }).rfind("STOP@io/stream", 0), 0u);
    EXPECT_EQ(thrownMessage([&] { out.seekp(0, bad); }).rfind("STOP@io/stream", 0), 0u);
    EXPECT_EQ(thrownMessage([&] { array.seekp(0, bad); }).rfind("STOP@io/arrayoutputstream", 0), 0u);
}

TEST(MemoryStreams, UninitializedStreamsThrow) {
    const std::string message = "Using uninitialized MemoryInputStream";
    MemoryInputStream in;
    char c;
    EXPECT_EQ(thrownMessage([&] { (void)in.read(&c, 1); }), message);
    EXPECT_EQ(thrownMessage([&] { (void)in.eof(); }), message);
    EXPECT_EQ(thrownMessage([&] { (void)in.tellg(); }), message);
    EXPECT_EQ(thrownMessage([&] { in.seekg(0); }), message);
    EXPECT_EQ(thrownMessage([&] { MemoryOutputStream out(nullptr, 4); }), message);
    MemoryOutputStream out;
    EXPECT_EQ(thrownMessage([&] { out.write("x", 1); }), message);
    EXPECT_EQ(thrownMessage([&] { (void)out.tellp(); }), message);
}

TEST(MemoryStreams, ReadAndWriteStopAtTheBlockEnd) {
    char block[6] = {};
    MemoryOutputStream out(block, 6);
    out.write("0123456789", 10); // the excess is dropped silently
    EXPECT_EQ(std::string(block, 6), "012345");
    EXPECT_EQ(out.tellp(), 6);
    out.write("x", 1);
    EXPECT_EQ(out.tellp(), 6);

    MemoryInputStream in;
    in.set(block, 6);
    in.seekg(4);
    EXPECT_EQ(readString(in, 10), "45");
    EXPECT_TRUE(in.eof());
    in.set(block + 1, 2); // rebinding starts over
    EXPECT_FALSE(in.eof());
    EXPECT_EQ(readString(in, 10), "12");
}

TEST(ArrayStreams, OutputGrowsAndSeeksFromTheEndBackwards) {
    ArrayOutputStream out;
    EXPECT_EQ(out.data().data(), nullptr);
    EXPECT_EQ(out.data().size(), 0);
    out.write("0123456789", 10);
    out.seekp(2, SeekOrigin::End); // End counts backwards
    EXPECT_EQ(out.tellp(), 8);
    out.write("ab", 2);
    EXPECT_EQ(bytesOf(out.data()), "01234567ab");
    out.seekp(-4, SeekOrigin::Current);
    out.write("XYZ", 3);
    EXPECT_EQ(bytesOf(out.data()), "012345XYZb");
    out.seekp(12);
    out.write("!", 1); // past the end: the array grows over the gap
    EXPECT_EQ(out.data().size(), 13);
    EXPECT_EQ(bytesOf(out.data()).substr(12), "!");
    EXPECT_EQ(out.tellp(), 13);
}

TEST(ArrayStreams, OutputRefusesPositionsItCannotHold) {
    ArrayOutputStream out;
    out.write("abc", 3);
    out.seekp(-1);
    EXPECT_NE(thrownMessage([&] { out.write("x", 1); }), "");
    out.seekp(INT_MAX - 1);
    EXPECT_NE(thrownMessage([&] { out.write("xy", 2); }), "");
    EXPECT_EQ(bytesOf(out.data()), "abc") << "refused writes change nothing";
}

TEST(ArrayStreams, InputOwnsItsBytes) {
    ArrayOutputStream out;
    out.write("hello", 5);
    ArrayInputStream<> in(Array<std::byte, HeapAllocator, long long>(out.data()));
    EXPECT_EQ(readString(in, 3), "hel");
    in.seekg(-1, SeekOrigin::End);
    EXPECT_EQ(readString(in, 9), "o");
    EXPECT_TRUE(in.eof());

    ArrayInputStream<HeapAllocator, void> empty{Array<std::byte>()};
    char c;
    EXPECT_EQ(empty.read(&c, 1), 0) << "no bytes read as an empty stream";
    EXPECT_TRUE(empty.eof());
}

// ---- forwarding streams and copying ----

TEST(ForwardingStreams, ReadWriteAndPutBackGoToTheTarget) {
    ChunkedSource source("abcdef");
    ForwardingBinaryInputStream in(source);
    EXPECT_EQ(readString(in, 4), "abcd");
    in.putBack("cd", 2);
    EXPECT_EQ(readString(source, 1), "c") << "the put-back bytes live in the target";
    EXPECT_EQ(readString(in, 10), "def");
    EXPECT_TRUE(in.eof());

    ArrayOutputStream sink;
    ForwardingBinaryOutputStream out(sink);
    out.write("xyz", 3);
    flush(out).write("!", 1);
    EXPECT_EQ(bytesOf(sink.data()), "xyz!");
}

TEST(ForwardStreamTo, CopiesEverythingAndReportsRunningTotals) {
    const std::string data(200000, 'q');
    ChunkedSource in(data, 70000, 2); // two empty reads first, then short chunks
    char head[3];
    ASSERT_EQ(in.read(head, 3), 0);
    ArrayOutputStream out;
    std::vector<int64> totals;
    const int64 copied = forwardStreamTo(in, out, Function<void(int64)>([&](int64 total) { totals.push_back(total); }));
    EXPECT_EQ(copied, 200000);
    EXPECT_EQ(bytesOf(out.data()), data);
    EXPECT_EQ(totals, (std::vector<int64>{65536, 131072, 196608, 200000}));

    ChunkedSource again("xyz");
    ASSERT_EQ(again.read(head, 3), 3);
    again.putBack(head + 1, 2);
    ArrayOutputStream rest;
    EXPECT_EQ(forwardStreamTo(again, rest), 2) << "put-back bytes are copied first";
    EXPECT_EQ(bytesOf(rest.data()), "yz");
}

TEST(ReadRequired, ThrowsOnAShortRead) {
    const char data[] = "abc";
    MemoryInputStream in(data, 3);
    char buffer[4];
    readRequired(in, buffer, 2);
    EXPECT_EQ(thrownMessage([&] { readRequired(in, buffer, 2); }),
              "Could not extract the required number of bytes from the input stream");
}

// ---- file streams ----

TEST_F(FileStreams, WriteAppendAndRead) {
    {
        FileOutputStream out(path("a.bin"));
        out.write("hello", 5);
        EXPECT_EQ(out.tellp(), 5);
    }
    {
        FileOutputStream out(path("a.bin"), FileOutputStream::Open::Append);
        out.write(" world", 6);
        flush(out);
        EXPECT_EQ(readFile("a.bin"), "hello world") << "flush reaches the file";
    }
    FileInputStream in(path("a.bin"));
    EXPECT_TRUE(in.isOpen());
    EXPECT_EQ(in.fileName(), path("a.bin"));
    in.seekg(-5, SeekOrigin::End);
    EXPECT_EQ(readString(in, 100), "world");
    EXPECT_TRUE(in.eof());
    in.seekg(0);
    EXPECT_FALSE(in.eof());
    EXPECT_EQ(readString(in, 5), "hello");

    FileOutputStream truncate(path("a.bin"));
    truncate.close();
    EXPECT_EQ(readFile("a.bin"), "");
}

TEST_F(FileStreams, SeekBoundaries) {
    writeFile("ten.bin", "0123456789");
    FileInputStream in(path("ten.bin"));
    const std::string access = "Cannot open/read/write file '" + native("ten.bin") + "'";
    in.seekg(10);
    EXPECT_EQ(in.tellg(), 10);
    in.seekg(4);
    std::vector<std::string> debugLines;
    Kalvex::Detail::setDebugOutputSink(
        DebugOutputSink([&](const String& text) { debugLines.push_back(text.toUtf8().cStr()); }));
    EXPECT_EQ(thrownMessage([&] { in.seekg(11); }), access);
    Kalvex::Detail::setDebugOutputSink(DebugOutputSink());
    ASSERT_EQ(debugLines.size(), 1u);
    EXPECT_NE(debugLines[0].find("Io::FileInputStream::seekg failed: desiredPosition: 11 , mFileSize:  10"),
              std::string::npos)
        << debugLines[0];
    EXPECT_EQ(thrownMessage([&] { in.seekg(7, SeekOrigin::Current); }), access);
    EXPECT_EQ(thrownMessage([&] { in.seekg(-1); }), access);
    EXPECT_EQ(thrownMessage([&] { in.seekg(1, SeekOrigin::End); }), access);
    EXPECT_EQ(thrownMessage([&] { in.seekg(LLONG_MAX, SeekOrigin::Current); }), access);
    EXPECT_EQ(in.tellg(), 4) << "failed seeks keep the position";
    in.putBack("x", 4);
    EXPECT_EQ(in.tellg(), 0);
    EXPECT_EQ(thrownMessage([&] { in.seekg(0, SeekOrigin(9)); }).rfind("STOP@io/stream", 0), 0u);

    FileOutputStream out(path("out.bin"));
    out.seekp(100); // no range check
    out.write("x", 1);
    EXPECT_EQ(out.tellp(), 101);
    EXPECT_EQ(thrownMessage([&] { out.seekp(-1); }), "Cannot open/read/write file '" + native("out.bin") + "'");
    EXPECT_EQ(thrownMessage([&] { out.seekp(0, SeekOrigin(9)); }).rfind("STOP@io/stream", 0), 0u);
}

TEST_F(FileStreams, OpenFailuresAndClosedStreams) {
    writeFile("a.txt", "a");
    writeFile("b.txt", "b");
    ASSERT_EQ(::mkdir(native("dir").c_str(), 0755), 0);

    EXPECT_EQ(thrownMessage([&] { FileInputStream in(path("missing.txt")); }),
              "Cannot open/read/write file '" + native("missing.txt") + "'");
    EXPECT_EQ(thrownMessage([&] { FileInputStream in(path("dir")); }), "Cannot open/read/write file '" + native("dir") + "'");
    EXPECT_EQ(thrownMessage([&] { FileOutputStream out(path("dir")); }), "Cannot open/read/write file '" + native("dir") + "'");
    EXPECT_EQ(thrownMessage([&] { FileOutputStream out(path("nodir/x.txt")); }),
              "Cannot open/read/write file '" + native("nodir/x.txt") + "'");

    FileOutputStream out(path("a.txt"), FileOutputStream::Open::Append);
    EXPECT_EQ(thrownMessage([&] { out.open(path("b.txt")); }),
              "Opening an instance of FileStream that has already been opened. Current file name: " + native("a.txt") +
                  " Requested file name: " + native("b.txt"));
    EXPECT_EQ(out.fileName(), path("a.txt")) << "the open file is kept";
    out.close();
    EXPECT_FALSE(out.isOpen());
    EXPECT_EQ(thrownMessage([&] { out.close(); }), "FileStream has not been opened.");

    const std::string closed = "FileInputStream has not been opened.";
    FileInputStream in;
    char c;
    EXPECT_EQ(thrownMessage([&] { (void)in.read(&c, 1); }), closed);
    EXPECT_EQ(thrownMessage([&] { (void)in.eof(); }), closed);
    EXPECT_EQ(thrownMessage([&] { (void)in.tellg(); }), closed);
    EXPECT_EQ(thrownMessage([&] { in.seekg(0); }), closed);
    EXPECT_EQ(thrownMessage([&] { (void)in.fileName(); }), closed);
    EXPECT_EQ(thrownMessage([&] { out.write("x", 1); }), closed);
    EXPECT_EQ(thrownMessage([&] { out.flush(); }), closed);
    EXPECT_EQ(thrownMessage([&] { (void)out.tellp(); }), closed);
    EXPECT_EQ(thrownMessage([&] { out.seekp(0); }), closed);
}

// A zero unit cuts the UTF-8 name short: such a path must not open the file its first part names.
TEST_F(FileStreams, PathsWithAZeroUnitAreNeverOpened) {
    writeFile("a.txt", "keep");
    String text = path("a.txt").genericStr();
    text += String(std::u16string_view(u"\0/../b.txt", 10));
    const Path cut(text);
    const std::string message = "Cannot open/read/write file '" + native("a.txt") +
                                "\\0/../b.txt': a file name cannot contain a zero character";
    EXPECT_EQ(thrownMessage([&] { FileInputStream in(cut); }), message);
    EXPECT_EQ(thrownMessage([&] { FileOutputStream out(cut); }), message);
    EXPECT_EQ(thrownMessage([&] { FileOutputStream out(cut, FileOutputStream::Open::Append); }), message);
    EXPECT_EQ(thrownMessage([&] { writeBinaryFile(cut, {}); }), message);
    const auto read = readBinaryFile(cut);
    ASSERT_FALSE(read.hasValue());
    EXPECT_EQ(read.error(), String::fromUtf8(message.c_str()));
    EXPECT_EQ(readFile("a.txt"), "keep");
    EXPECT_FALSE(fileExists(path("b.txt")));
}

TEST_F(FileStreams, MovesHandOverTheOpenFile) {
    writeFile("a.txt", "abc");
    writeFile("b.txt", "xyz");
    FileInputStream first(path("a.txt"));
    FileInputStream second(std::move(first));
    EXPECT_FALSE(first.isOpen());
    EXPECT_EQ(readString(second, 1), "a");

    FileInputStream third(path("b.txt"));
    third = std::move(second); // closes b.txt first
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(third.fileName(), path("a.txt"));
    EXPECT_EQ(readString(third, 5), "bc");
    third.seekg(0, SeekOrigin::End);
    EXPECT_EQ(third.tellg(), 3) << "the measured size moved along";

    FileOutputStream out(path("c.txt"));
    FileOutputStream moved(std::move(out));
    moved.write("1", 1);
    moved.close();
    EXPECT_EQ(readFile("c.txt"), "1");
}

// ---- whole files ----

TEST_F(FileStreams, ForwardStreamToFile) {
    ChunkedSource in(std::string(100000, 'z'), 30000);
    int64 last = 0;
    EXPECT_EQ(forwardStreamToFile(in, path("copy.bin"), Function<void(int64)>([&](int64 total) { last = total; })),
              100000);
    EXPECT_EQ(last, 100000);
    EXPECT_EQ(readFile("copy.bin"), std::string(100000, 'z'));

    // A source that fails halfway leaves no file behind, also when it replaced an existing one.
    for (const char* name : {"new.bin", "copy.bin"}) {
        ChunkedSource failing(std::string(200000, 'f'), 65536, 0, 131072);
        EXPECT_THROW(forwardStreamToFile(failing, path(name)), std::runtime_error);
        EXPECT_FALSE(fileExists(path(name))) << name;
    }
}

TEST_F(FileStreams, ForwardStreamToFileKeepsAFileItCouldNotOpen) {
    writeFile("locked.bin", "keep me");
    ASSERT_EQ(::chmod(native("locked.bin").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(mDir.c_str(), 0777), 0); // the file could be deleted, but must not be
    TolvanTest::runUnprivileged([&] {
        ChunkedSource in("new content");
        EXPECT_THROW(forwardStreamToFile(in, path("locked.bin")), Exception);
        EXPECT_EQ(readFile("locked.bin"), "keep me");
    });
}

TEST_F(FileStreams, ReadAndWriteBinaryFiles) {
    std::string content;
    for (int i = 0; i < 70000; ++i)
        content += char(i * 7);
    writeBinaryFile(path("data.bin"),
                    ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(content.data()), int64(content.size())));
    auto read = readBinaryFile(path("data.bin"));
    ASSERT_TRUE(read.hasValue());
    EXPECT_EQ(bytesOf(*read), content);

    writeBinaryFile(path("empty.bin"), {});
    auto empty = readBinaryFile(path("empty.bin"));
    ASSERT_TRUE(empty.hasValue());
    EXPECT_EQ(empty->size(), 0);

    auto missing = readBinaryFile(path("missing.bin"));
    ASSERT_FALSE(missing.hasValue());
    EXPECT_EQ(missing.error(), String::fromUtf8(("Cannot open/read/write file '" + native("missing.bin") + "'").c_str()));

    EXPECT_THROW(writeBinaryFile(path("nodir/x.bin"), {}), Exception);
}

TEST_F(FileStreams, ReadBinaryFileRefusesTwoGibibytes) {
    FILE* f = std::fopen(native("big.bin").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const bool sparse = ::ftruncate(::fileno(f), int64(1) << 31) == 0;
    std::fclose(f);
    if (!sparse) GTEST_SKIP() << "cannot create a sparse 2 GiB file here";
    const int64 before = getTolvanAllocatedMemory();
    auto result = readBinaryFile(path("big.bin"));
    ASSERT_FALSE(result.hasValue());
    EXPECT_TRUE(result.error().contains(u"2 GiB"));
    EXPECT_LT(getTolvanAllocatedMemory() - before, 1 << 20) << "nothing of that size was allocated";
}

// ---- file to file ----

namespace {

// Bytes that differ from one position to the next, so a misplaced piece shows.
std::string patterned(size_t size) {
    std::string s(size, '\0');
    uint32_t seed = 99;
    for (char& c : s)
        c = char((seed = seed * 1103515245u + 12345u) >> 24);
    return s;
}

struct FileCopyCase {
    const char* name;
    size_t size;
    int64 seekTo = 0;              // where the source is placed before the copy
    int64 readFirst = 0;           // bytes read before the copy (the C stream reads ahead)...
    int64 putBack = 0;             // ...of which these are put back
    std::string header;            // written to the target before the copy, still in its buffer
    bool append = false;           // the target is opened for appending to `header`, already on disk
    bool sourceInMemoryFs = false; // the source lives on another file system than the target
};

// What a copy left behind: its results and the state of both streams.
struct FileCopyOutcome {
    int64 copied = 0;
    std::vector<int64> totals;
    int64 sourcePosition = 0;
    bool sourceEof = false;
    std::string readAfter;
    int64 targetPosition = 0;
    std::string target; // the target's content, with "END" written after the copy

    bool operator==(const FileCopyOutcome&) const = default;
};

class FileToFile : public TolvanTest::TempDirTest {
protected:
    void TearDown() override {
        if (!mMemoryFsFile.empty()) ::unlink(mMemoryFsFile.c_str());
        TempDirTest::TearDown();
    }

    Path sourceFor(const FileCopyCase& c, const std::string& content) {
        if (!c.sourceInMemoryFs) {
            writeFile("source.bin", content);
            return path("source.bin");
        }
        char pattern[] = "/dev/shm/tolvan_copy_XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd < 0) return Path();
        ::close(fd);
        mMemoryFsFile = pattern;
        std::ofstream(mMemoryFsFile, std::ios::binary) << content;
        return Path(String::fromUtf8(pattern));
    }

    // Copies the case's source into "target.bin", straight from file to file or (throughMemory) with the
    // source behind a forwarding stream, which takes the copy through memory.
    FileCopyOutcome copy(const FileCopyCase& c, bool throughMemory) {
        const Path source = sourceFor(c, patterned(c.size));
        if (c.append) writeFile("target.bin", c.header);
        FileInputStream in(source);
        if (c.seekTo) in.seekg(c.seekTo);
        std::string first(size_t(c.readFirst), '\0');
        EXPECT_EQ(in.read(first.data(), c.readFirst), c.readFirst);
        if (c.putBack) in.putBack(first.data() + c.readFirst - c.putBack, c.putBack);
        FileOutputStream out(path("target.bin"),
                             c.append ? Flags<FileOutputStream::Open>(FileOutputStream::Open::Append)
                                      : Flags<FileOutputStream::Open>());
        if (!c.append) out.write(c.header.data(), int64(c.header.size()));

        FileCopyOutcome outcome;
        const Function<void(int64)> progress([&](int64 total) { outcome.totals.push_back(total); });
        ForwardingBinaryInputStream forwarding(in);
        outcome.copied =
            throughMemory ? forwardStreamTo(forwarding, out, progress) : forwardStreamTo(in, out, progress);
        outcome.sourcePosition = in.tellg();
        outcome.sourceEof = in.eof();
        outcome.readAfter = readString(in, 10);
        outcome.targetPosition = out.tellp();
        out.write("END", 3);
        out.close();
        outcome.target = readFile("target.bin");
        return outcome;
    }

    std::string mMemoryFsFile;
};

} // namespace

// Straight from file to file, the copy gives the same bytes, counts, progress calls and stream positions
// as the copy through memory, whatever the sizes and wherever the streams stand.
TEST_F(FileToFile, MatchesTheCopyThroughMemory) {
    const std::vector<FileCopyCase> cases = {
        // name, size, seek to, read first, put back, header, append, source on another file system
        {"empty", 0, 0, 0, 0, "", false, false},
        {"one byte", 1, 0, 0, 0, "", false, false},
        {"just under a piece", 65535, 0, 0, 0, "", false, false},
        {"one piece", 65536, 0, 0, 0, "", false, false},
        {"one piece and a byte", 65537, 0, 0, 0, "", false, false},
        {"three pieces and some", 3 * 65536 + 1234, 0, 0, 0, "", false, false},
        {"opened mid-file", 200000, 70001, 0, 0, "", false, false},
        {"positioned at the end", 1000, 1000, 0, 0, "", false, false},
        {"read ahead and put back", 200000, 0, 5000, 1234, "", false, false},
        {"buffered target bytes first", 140000, 0, 0, 0, "header", false, false},
        {"target opened for appending", 140000, 0, 0, 0, "kept", true, false},
        {"source on another file system", 140000, 10, 0, 0, "h", false, true},
    };
    for (const FileCopyCase& c : cases) {
        SCOPED_TRACE(c.name);
        const FileCopyOutcome direct = copy(c, false);
        const FileCopyOutcome reference = copy(c, true);
        EXPECT_EQ(direct, reference);
        const int64 start = c.seekTo + c.readFirst - c.putBack;
        EXPECT_EQ(direct.copied, int64(c.size) - start);
        EXPECT_EQ(direct.target, c.header + patterned(c.size).substr(size_t(start)) + "END");
        EXPECT_EQ(direct.sourcePosition, int64(c.size));
        EXPECT_TRUE(direct.sourceEof);
        EXPECT_EQ(direct.readAfter, "");
        EXPECT_EQ(direct.targetPosition, int64(c.header.size()) + direct.copied);
        ASSERT_FALSE(direct.totals.size() > 0 && direct.totals.back() != direct.copied);
    }
    const FileCopyOutcome pieces = copy({"pieces", 3 * 65536 + 1234, 0, 0, 0, "h", false, false}, false);
    EXPECT_EQ(pieces.totals, (std::vector<int64>{65536, 131072, 196608, 197842}));
    EXPECT_EQ(copy({"exact pieces", 2 * 65536, 0, 0, 0, "", false, false}, false).totals,
              (std::vector<int64>{65536, 131072}));
}

// A progress call that throws leaves both streams just after the bytes already reported.
TEST_F(FileToFile, ThrowingProgressLeavesTheStreamsAfterTheReportedBytes) {
    const std::string content = patterned(300000);
    writeFile("source.bin", content);
    FileInputStream in(path("source.bin"));
    FileOutputStream out(path("target.bin"));
    const Function<void(int64)> stop([](int64 total) {
        if (total == 131072) throw std::runtime_error("stop");
    });
    EXPECT_THROW(forwardStreamTo(in, out, stop), std::runtime_error);
    EXPECT_EQ(in.tellg(), 131072);
    EXPECT_EQ(out.tellp(), 131072);
    EXPECT_EQ(readString(in, 4), content.substr(131072, 4));
    out.close();
    EXPECT_EQ(readFile("target.bin"), content.substr(0, 131072));
}

// The data-transfer protocol between our own sockets and against exact bytes on the wire.
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/deflatestream.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/net/sockets.h"

#include "net/net_support.h"
#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace Kalvex;
using namespace TolvanTest;

namespace {

std::string randomBytes(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    for (char& c : out)
        c = char((seed = seed * 1103515245u + 12345u) >> 24);
    return out;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line + "\n") != lines.end();
}

class Transfer : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ::mkdir(native("in").c_str(), 0700);
    }
};

} // namespace

TEST_F(Transfer, StringFrameOnTheWireAndBack) {
    auto pair = rawPair();
    ASSERT_TRUE(pair);
    const std::string expected = "<root><DataType>0</DataType><cmd>go</cmd></root>";
    EXPECT_EQ(pair->mServer.writeString(XmlString(u"cmd", u"go")), SocketResult::SUCCESS);
    EXPECT_EQ(pair->mPeer->receive(expected.size() + 1), frame(expected));

    CapturedDebugOutput debug;
    ASSERT_TRUE(pair->mPeer->send(frame(expected)));
    XmlString message;
    ASSERT_EQ(pair->mServer.readString(message), SocketResult::SUCCESS);
    EXPECT_EQ(message.toUtf8().cStr(), expected);
    EXPECT_TRUE(contains(debug.texts(), "Received header:  " + expected));

    // A caller's own DataType key takes the place it has in the caller's keys; a header without one is
    // refused.
    EXPECT_EQ(
        pair->mServer.writeString(XmlString::fromString(u"<root><a>1</a><DataType>5</DataType></root>")),
        SocketResult::SUCCESS);
    const std::string moved = "<root><a>1</a><DataType>5</DataType></root>";
    EXPECT_EQ(pair->mPeer->receive(moved.size() + 1), frame(moved));
    ASSERT_TRUE(pair->mPeer->send(frame("<root><cmd>go</cmd></root>")));
    EXPECT_EQ(pair->mServer.readString(message), SocketResult::FAILURE);
    // A DataType that is not a number counts as a message.
    ASSERT_TRUE(pair->mPeer->send(frame("<root><DataType>abc</DataType></root>")));
    EXPECT_EQ(pair->mServer.readString(message), SocketResult::SUCCESS);
}

TEST_F(Transfer, ReadStringWithNothingArrivingFailsAfterAboutOneSecond) {
    auto pair = connectedPair();
    ASSERT_TRUE(pair);
    XmlString message;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pair->mServer.readString(message), SocketResult::FAILURE);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(30));
    EXPECT_TRUE(pair->mServer.isOk()); // a poll that found nothing leaves the connection usable
}

TEST_F(Transfer, FilesArriveByteIdenticalWithAndWithoutCompression) {
    auto pair = connectedPair();
    ASSERT_TRUE(pair);
    const struct {
        size_t mSize;
        bool mRandom;
    } files[] = {{0, false}, {1, true}, {65536, true}, {65537, false}, {300000, true}};
    for (const auto compression : {DataCompression::NONE, DataCompression::DEFLATE}) {
        for (const auto& f : files) {
            const std::string name = "f" + std::to_string(f.mSize) + "_" + std::to_string(int(compression));
            const std::string content =
                f.mRandom ? randomBytes(f.mSize, uint32_t(f.mSize)) : std::string(f.mSize, 'z');
            writeFile(name, content);
            XmlString header(u"job", u"7");
            header.addChild(u"FileName", String::fromUtf8(name.c_str()));
            auto sent = std::async(std::launch::async,
                                   [&] { return pair->mClient.writeFile(path(name), header, compression); });
            RecordingContext context(path("in"));
            ReceivedData item;
            ASSERT_EQ(pair->mServer.readData(item, context), SocketResult::SUCCESS) << name;
            EXPECT_EQ(sent.get(), SocketResult::SUCCESS);
            ASSERT_TRUE(item.is<ReceivedFile>());
            const ReceivedFile& file = item.get<ReceivedFile>();
            EXPECT_EQ(file.mPath, path("in/" + name));
            EXPECT_EQ(readFile("in/" + name), content) << name;
            EXPECT_EQ(file.mHeader.getChild(u"job").value(), String(u"7"));
            EXPECT_EQ(file.mHeader.getChild(u"FileSize").value(), String::fromAscii(std::to_string(f.mSize)));
            EXPECT_EQ(file.mHeader.getChild(u"CompressedSize").hasValue(),
                      compression == DataCompression::DEFLATE);
            EXPECT_GE(file.mTransferTime, 0);
            EXPECT_EQ(context.mStarts, 1);
            EXPECT_EQ(context.mEnds, 1);
        }
    }
}

TEST_F(Transfer, CompressedFileHeaderAndPayloadOnTheWire) {
    auto pair = rawPair();
    ASSERT_TRUE(pair);
    const std::string content = randomBytes(70000, 5) + std::string(100000, 'a');
    writeFile("scene", content);
    const std::string payload = compressed(content);
    auto sent = std::async(std::launch::async, [&] {
        return pair->mServer.writeFile(path("scene"), XmlString(u"job", u"7"), DataCompression::DEFLATE);
    });
    const std::string expected = "<root><DataType>1</DataType><job>7</job><FileSize>170000</FileSize>"
                                 "<Compressed>1</Compressed><CompressedSize>" +
                                 std::to_string(payload.size()) + "</CompressedSize></root>";
    EXPECT_EQ(pair->mPeer->receive(expected.size() + 1), frame(expected));
    EXPECT_EQ(pair->mPeer->receive(payload.size()), payload);
    EXPECT_EQ(sent.get(), SocketResult::SUCCESS);

    // A file that cannot be read fails before anything is sent.
    EXPECT_EQ(pair->mServer.writeFile(path("missing"), XmlString()), SocketResult::FAILURE);
    EXPECT_EQ(pair->mServer.writeString(XmlString(u"after", u"1")), SocketResult::SUCCESS);
    const std::string after = "<root><DataType>0</DataType><after>1</after></root>";
    EXPECT_EQ(pair->mPeer->receive(after.size() + 1), frame(after));
}

TEST_F(Transfer, RawBlocksAndTheirDebugLines) {
    auto pair = connectedPair();
    ASSERT_TRUE(pair);
    CapturedDebugOutput debug;
    const std::byte bytes[5] = {std::byte(1), std::byte(0), std::byte(255), std::byte(7), std::byte(9)};
    EXPECT_EQ(pair->mClient.writeRawMemory(bytes, XmlString(u"kind", u"tile"), DataCompression::DEFLATE),
              SocketResult::SUCCESS);
    RecordingContext context(path("in"));
    ReceivedData item;
    ASSERT_EQ(pair->mServer.readData(item, context), SocketResult::SUCCESS);
    ASSERT_TRUE(item.is<ReceivedRawData>());
    const ReceivedRawData& raw = item.get<ReceivedRawData>();
    ASSERT_EQ(raw.mData.size(), 5);
    EXPECT_TRUE(std::equal(bytes, bytes + 5, raw.mData.data())); // sent as they are, though "compressed"
    EXPECT_EQ(raw.mHeader.getChild(u"Compressed").value(), String(u"1"));
    EXPECT_EQ(raw.mHeader.getChild(u"kind").value(), String(u"tile"));
    EXPECT_EQ(context.mStarts, 1);
    EXPECT_EQ(context.mEnds, 1);

    // An empty block goes out, but the receiver refuses its size.
    EXPECT_EQ(pair->mClient.writeRawMemory(ArrayView<const std::byte>(), XmlString()), SocketResult::SUCCESS);
    EXPECT_EQ(pair->mServer.readData(item, context), SocketResult::FAILURE);
    EXPECT_EQ(context.mEnds, 2);

    const auto lines = debug.texts();
    EXPECT_TRUE(contains(lines, "Receiving data of size  5"));
    EXPECT_TRUE(contains(lines, "Data successfully received"));
    EXPECT_TRUE(contains(lines, "Receiving data of size  0"));
    EXPECT_TRUE(contains(lines, "Received invalid XML header (couldn't read file size)"));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind(">>>  Function call:  Kalvex::TcpSocket::writeRawMemory took ", 0) == 0;
    }));

    // readString drops a raw block.
    EXPECT_EQ(pair->mClient.writeRawMemory(bytes, XmlString()), SocketResult::SUCCESS);
    XmlString message;
    EXPECT_EQ(pair->mServer.readString(message), SocketResult::FAILURE);
    EXPECT_EQ(pair->mClient.writeString(XmlString(u"next", u"1")), SocketResult::SUCCESS);
    EXPECT_EQ(pair->mServer.readString(message), SocketResult::SUCCESS);
}

TEST_F(Transfer, DataTypesOutsideTheVariantThrowAndReleaseTheLock) {
    auto pair = rawPair();
    ASSERT_TRUE(pair);
    const struct {
        const char* mType;
        const char* mMessage;
    } cases[] = {
        {"3", "Visiting Variant without type"},
        {"7", "STOP@utility/variant"},
        {"-1", "STOP@utility/variant"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(
            pair->mPeer->send(frame(std::string("<root><DataType>") + c.mType + "</DataType></root>")));
        ReceivedData item;
        EXPECT_EQ(thrownMessage([&] {
                      (void)pair->mServer.readData(item, ReadDataContext());
                  }).rfind(c.mMessage, 0),
                  0u)
            << c.mType;
    }
    // A DataType of 257 is a message by its low byte.
    ASSERT_TRUE(pair->mPeer->send(frame("<root><DataType>256</DataType></root>")));
    XmlString message;
    EXPECT_EQ(pair->mServer.readString(message), SocketResult::SUCCESS);

    // Files need a context of the caller's: the base one throws its STOP failure.
    ASSERT_TRUE(pair->mPeer->send(frame("<root><DataType>1</DataType><FileSize>0</FileSize></root>")));
    EXPECT_EQ(thrownMessage([&] { (void)pair->mServer.readString(message); }), "STOP@net/sockets.cpp(183)");
}

TEST_F(Transfer, WriteDataSendsWhatTheItemHolds) {
    auto pair = connectedPair();
    ASSERT_TRUE(pair);
    RecordingContext context(path("in"));
    EXPECT_EQ(pair->mClient.writeData(ReceivedData(), DataCompression::NONE, DataType::FILE),
              SocketResult::FAILURE);

    ReceivedRawData raw;
    raw.mHeader = XmlString(u"r", u"1");
    raw.mData.push(std::byte(42));
    writeFile("payload", "file content");
    ReceivedFile file;
    file.mPath = path("payload");
    file.mHeader = XmlString(u"FileName", u"copy");
    const ReceivedData items[] = {ReceivedData(XmlString(u"m", u"1")), ReceivedData(raw), ReceivedData(file)};
    for (const ReceivedData& sent : items) {
        auto writing = std::async(std::launch::async, [&] {
            return pair->mClient.writeData(sent, DataCompression::DEFLATE,
                                           sent.is<ReceivedFile>() ? DataType::FILE : DataType::RAW_DATA);
        });
        ReceivedData received;
        ASSERT_EQ(pair->mServer.readData(received, context), SocketResult::SUCCESS);
        EXPECT_EQ(writing.get(), SocketResult::SUCCESS);
        EXPECT_EQ(received.getIndex(), sent.getIndex());
    }
    EXPECT_EQ(readFile("in/copy"), "file content");
}

TEST_F(Transfer, TimeLimitEndsAWriteToAPeerThatDoesNotRead) {
    auto pair = rawPair();
    ASSERT_TRUE(pair);
    writeFile("big", std::string(48 << 20, 'q'));
    EXPECT_EQ(
        pair->mServer.writeFile(path("big"), XmlString(), DataCompression::NONE, DataType::FILE, int64(1500)),
        SocketResult::TIMEOUT);
}

TEST_F(Transfer, DirectoryContextRefusesNamesLeadingElsewhere) {
    ::mkdir(native("in/sub").c_str(), 0700);
    ASSERT_EQ(::symlink("/tmp", native("in/link").c_str()), 0);
    const DirectoryReadDataContext context(path("in"));
    const struct {
        const char16_t* mName;
        const char* mStored; // under in/; null when refused
    } cases[] = {
        {u"scene.max", "scene.max"},
        {u"sub/scene.max", "sub/scene.max"},
        {u"./a", "a"},
        {u"sub//b", "sub/b"},
        {u"../escape", nullptr},
        {u"sub/../../x", nullptr},
        {u"/etc/passwd", nullptr},
        {u"C:/x", nullptr},
        {u"..\\x", nullptr},
        {u"link", nullptr},
        {u"link/x", nullptr},
        {u"", nullptr},
        {u".", nullptr},
    };
    for (const auto& c : cases) {
        const XmlString header(u"FileName", c.mName);
        if (c.mStored) {
            EXPECT_EQ(context.getFilePath(header), path(std::string("in/") + c.mStored)) << String(c.mName);
        } else {
            EXPECT_NE(thrownMessage([&] { (void)context.getFilePath(header); }), "") << String(c.mName);
        }
    }
    EXPECT_NE(thrownMessage([&] { (void)context.getFilePath(XmlString(u"other", u"x")); }), "");
}

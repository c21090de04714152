// The receiver against peers that lie about sizes, send too much, too little, or too slowly.
#include "tolvan/common/allocator.h"
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/deflatestream.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/net/sockets.h"

#include "net/net_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <sys/stat.h>
#include <thread>

using namespace Kalvex;
using namespace TolvanTest;

namespace {

std::string fileHeader(const std::string& size,
                       const std::string& compressedKeys = "<Compressed>0</Compressed>") {
    return frame("<root><DataType>1</DataType><FileName>out</FileName><FileSize>" + size + "</FileSize>" +
                 compressedKeys + "</root>");
}

std::string compressedHeader(size_t size, size_t compressedSize) {
    return fileHeader(std::to_string(size), "<Compressed>1</Compressed><CompressedSize>" +
                                                std::to_string(compressedSize) + "</CompressedSize>");
}

std::string rawHeader(const std::string& size) {
    return frame("<root><DataType>2</DataType><FileSize>" + size +
                 "</FileSize><Compressed>0</Compressed></root>");
}

// Sends `bytes` one at a time with `gapMs` between them until all went out or the receiver hung up.
class TricklingPeer {
public:
    TricklingPeer(RawPeer& peer, std::string bytes, int gapMs)
        : mThread([&peer, bytes = std::move(bytes), gapMs, this] {
            for (char c : bytes) {
                if (mStop.load() || !peer.send(std::string(1, c))) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            }
        }) {}
    ~TricklingPeer() {
        mStop.store(true);
        mThread.join();
    }

private:
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

class Hostile : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ::mkdir(native("in").c_str(), 0700);
        mContext = std::make_unique<RecordingContext>(path("in"));
        mPair = rawPair();
        ASSERT_TRUE(mPair);
    }
    void TearDown() override {
        mPair.reset();
        TempDirTest::TearDown();
    }

    SocketResult receive() {
        ReceivedData item;
        return mPair->mServer.readData(item, *mContext);
    }
    [[nodiscard]] bool stored() const { return Io::fileExists(path("in/out")); }

    std::unique_ptr<RawPair> mPair;
    std::unique_ptr<RecordingContext> mContext;
};

using Clock = std::chrono::steady_clock;

} // namespace

TEST_F(Hostile, HeaderWithoutItsZeroByteEndsAtOneMebibyte) {
    const std::string longest = "<root><DataType>0</DataType><k>";
    const std::string tail = "</k></root>";
    const std::string filler(1048576 - longest.size() - tail.size(), 'a');
    ASSERT_TRUE(mPair->mPeer->send(frame(longest + filler + tail))); // exactly 1 MiB: accepted
    XmlString message;
    EXPECT_EQ(mPair->mServer.readString(message), SocketResult::SUCCESS);
    EXPECT_EQ(message.length(), 1048576);

    std::thread flood([&] { (void)mPair->mPeer->send(std::string(1048577, 'b')); });
    EXPECT_EQ(mPair->mServer.readString(message), SocketResult::FAILURE);
    mPair->mServer.close();
    flood.join();
}

TEST_F(Hostile, RawSizesThatAreNotSoundAreRefusedBeforeAllocating) {
    for (const char* size : {"-1", "abc", "", "0", "2147483648", "99999999999999999999999"}) {
        ASSERT_TRUE(mPair->mPeer->send(rawHeader(size)));
        EXPECT_EQ(receive(), SocketResult::FAILURE) << size;
    }
    EXPECT_EQ(mContext->mEnds, 6);

    // A large announced block that never comes takes memory only for what arrived.
    resetPeakTolvanAllocatedMemory();
    const int64 before = getPeakTolvanAllocatedMemory();
    ASSERT_TRUE(mPair->mPeer->send(rawHeader("2000000000") + "0123456789"));
    mPair->mPeer->closeNow();
    EXPECT_EQ(receive(), SocketResult::FAILURE);
    EXPECT_LT(getPeakTolvanAllocatedMemory() - before, 1 << 20);
}

TEST_F(Hostile, FileSizesThatAreNotSoundCreateNoFile) {
    const std::string cases[] = {
        fileHeader("-5"),
        fileHeader("abc"),
        frame("<root><DataType>1</DataType><FileName>out</FileName></root>"),
        fileHeader("10", "<Compressed>1</Compressed>"),
        fileHeader("10", "<Compressed>1</Compressed><CompressedSize>-3</CompressedSize>"),
    };
    int ends = 0;
    for (const std::string& header : cases) {
        ASSERT_TRUE(mPair->mPeer->send(header));
        EXPECT_EQ(receive(), SocketResult::FAILURE) << header;
        EXPECT_FALSE(stored()) << header;
        EXPECT_EQ(mContext->mEnds, ++ends);
    }
}

TEST_F(Hostile, CompressedFileMustInflateToExactlyItsAnnouncedSize) {
    const std::string content(5000, 'x');
    const std::string stream = compressed(content);
    const struct {
        const char* mCase;
        size_t mAnnounced;
        std::string mPayload;
        size_t mCompressedSize;
    } cases[] = {
        {"longer than announced", 1000, stream, stream.size()},
        {"shorter than announced", 10000, stream, stream.size()},
        {"bytes after the stream", 5000, stream + "junk", stream.size() + 4},
        {"corrupt stream", 5000, std::string(stream.size(), 'x'), stream.size()},
    };
    for (const auto& c : cases) {
        auto pair = rawPair();
        ASSERT_TRUE(pair);
        ASSERT_TRUE(pair->mPeer->send(compressedHeader(c.mAnnounced, c.mCompressedSize) + c.mPayload));
        ReceivedData item;
        EXPECT_EQ(pair->mServer.readData(item, *mContext), SocketResult::FAILURE) << c.mCase;
        EXPECT_FALSE(stored()) << c.mCase;
    }
    ASSERT_TRUE(mPair->mPeer->send(compressedHeader(5000, stream.size()) + stream));
    EXPECT_EQ(receive(), SocketResult::SUCCESS);
    EXPECT_TRUE(readFile("in/out") == content);
}

TEST_F(Hostile, AFileCutShortIsRemoved) {
    ASSERT_TRUE(mPair->mPeer->send(fileHeader("200000") + std::string(70000, 'p')));
    mPair->mPeer->closeNow();
    EXPECT_EQ(receive(), SocketResult::FAILURE);
    EXPECT_FALSE(stored());
    EXPECT_EQ(mContext->mStarts, 1);
    EXPECT_EQ(mContext->mEnds, 1);
}

TEST_F(Hostile, SlowOrSilentPeersCannotHoldAReceive) {
    const ShortTransferLimits limits(1500, 1500);
    struct Case {
        const char* mCase;
        std::string mSentAtOnce;
        std::string mTrickled;
    };
    const Case cases[] = {
        {"header trickled", "", "<root><DataType>0</DataType><k>" + std::string(1000, 'v')},
        {"file trickled", fileHeader("100000"), std::string(1000, 'f')},
        {"file silent", fileHeader("100000") + "abc", ""},
        {"compressed file silent",
         compressedHeader(100000, 2000) + compressed(std::string(100000, 'c')).substr(0, 50), ""},
    };
    for (const Case& c : cases) {
        auto pair = rawPair();
        ASSERT_TRUE(pair);
        ASSERT_TRUE(pair->mPeer->send(c.mSentAtOnce));
        const TricklingPeer trickle(*pair->mPeer, c.mTrickled, 200);
        const auto start = Clock::now();
        ReceivedData item;
        EXPECT_EQ(pair->mServer.readData(item, *mContext), SocketResult::FAILURE) << c.mCase;
        // The peer would go on for 200 s; the limits end the receive after a few seconds.
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(60)) << c.mCase;
        EXPECT_FALSE(stored()) << c.mCase;
        pair->mServer.close();
    }
}

TEST_F(Hostile, RawBlockMustKeepComingWithinItsTimeOut) {
    ASSERT_TRUE(mPair->mPeer->send(rawHeader("100000")));
    const TricklingPeer trickle(*mPair->mPeer, std::string(1000, 'r'), 500);
    const auto start = Clock::now();
    EXPECT_EQ(receive(), SocketResult::FAILURE);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(4500));
    EXPECT_LT(elapsed, std::chrono::seconds(60));
    mPair->mServer.close();
}

// Sockets used from several threads: close() racing a blocked read, write or accept, and transfers of
// many threads on one connection, which must never interleave on the wire.
#include "tolvan/net/sockets.h"

#include "net/net_support.h"
#include "support/blocking.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace Kalvex;
using namespace TolvanTest;

namespace {

// Runs `operation` on another thread, waits until that thread blocks in the socket layer, runs
// `closer`, and returns what the operation returned.
template <typename Operation, typename Closer>
auto closeWhileBlocked(Operation operation, Closer closer) {
    std::atomic<unsigned> tid{0};
    auto result = std::async(std::launch::async, [&] {
        tid.store(unsigned(::gettid()));
        return operation();
    });
    EXPECT_TRUE(waitUntil([&] { return tid.load() != 0 && isBlockedInSocketWait(tid.load()); }));
    closer();
    return result.get();
}

} // namespace

TEST(SocketConcurrency, CloseEndsABlockedReadAtOnce) {
    auto pair = rawPair();
    ASSERT_TRUE(pair);
    // A raw block announced but never sent: the receive would wait 5 s per piece.
    ASSERT_TRUE(pair->mPeer->send(frame("<root><DataType>2</DataType><FileSize>100000</FileSize>"
                                        "<Compressed>0</Compressed></root>")));
    const auto start = std::chrono::steady_clock::now();
    const SocketResult result = closeWhileBlocked(
        [&] {
            ReceivedData item;
            return pair->mServer.readData(item, ReadDataContext());
        },
        [&] { pair->mServer.close(); });
    EXPECT_EQ(result, SocketResult::FAILURE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_FALSE(pair->mServer.isOk());
}

TEST(SocketConcurrency, CloseEndsABlockedWriteAtOnce) {
    auto pair = rawPair();
    ASSERT_TRUE(pair);
    // The peer reads nothing, so the socket buffers fill and the write waits (for up to an hour).
    std::vector<std::byte> block(64 << 20);
    const SocketResult result = closeWhileBlocked(
        [&] {
            return pair->mServer.writeRawMemory(ArrayView<const std::byte>(block.data(), int64(block.size())),
                                                XmlString());
        },
        [&] { pair->mServer.close(); });
    EXPECT_EQ(result, SocketResult::FAILURE);
}

TEST(SocketConcurrency, CloseEndsAWaitingAccept) {
    auto listening = listenOnFreePort(600);
    ASSERT_TRUE(listening);
    const bool accepted =
        closeWhileBlocked([&] { return listening->mListener.acceptConnection(true).isOk(); },
                          [&] { listening->mListener.close(); });
    EXPECT_FALSE(accepted);
    EXPECT_FALSE(listening->mListener.isOk());
}

TEST(SocketConcurrency, CloseRacesQueriesAndTransfersFromOtherThreads) {
    for (int round = 0; round < 20; ++round) {
        auto pair = connectedPair();
        ASSERT_TRUE(pair);
        std::atomic<bool> stop{false};
        std::vector<std::thread> users;
        users.emplace_back([&] {
            while (!stop.load())
                (void)pair->mServer.isOk();
        });
        users.emplace_back([&] {
            while (!stop.load() &&
                   pair->mServer.writeString(XmlString(u"n", u"1")) == SocketResult::SUCCESS) {
            }
        });
        users.emplace_back([&] { (void)pair->mServer.getPeerAddress(); });
        pair->mServer.close();
        stop.store(true);
        for (auto& t : users)
            t.join();
        EXPECT_FALSE(pair->mServer.isOk());
    }
}

TEST(SocketConcurrency, TransfersOfManyThreadsNeverInterleave) {
    auto pair = connectedPair();
    ASSERT_TRUE(pair);
    constexpr int THREADS = 4;
    constexpr int EACH = 25;
    std::vector<std::thread> writers;
    for (int t = 0; t < THREADS; ++t) {
        writers.emplace_back([&, t] {
            const std::vector<std::byte> block(70000, std::byte(t));
            for (int i = 0; i < EACH; ++i) {
                if (i % 2) {
                    EXPECT_EQ(
                        pair->mClient.writeString(XmlString(u"from", String::fromAscii(std::to_string(t)))),
                        SocketResult::SUCCESS);
                } else {
                    EXPECT_EQ(pair->mClient.writeRawMemory(
                                  ArrayView<const std::byte>(block.data(), int64(block.size())),
                                  XmlString(u"from", String::fromAscii(std::to_string(t)))),
                              SocketResult::SUCCESS);
                }
            }
        });
    }
    int received = 0;
    while (received < THREADS * EACH) {
        ReceivedData item;
        if (pair->mServer.readData(item, ReadDataContext()) != SocketResult::SUCCESS) break;
        ++received;
        if (item.is<ReceivedRawData>()) {
            const ReceivedRawData& raw = item.get<ReceivedRawData>();
            const auto from = std::byte(std::stoi(raw.mHeader.getChild(u"from").value().toUtf8().cStr()));
            ASSERT_EQ(raw.mData.size(), 70000);
            for (int i = 0; i < raw.mData.size(); ++i)
                ASSERT_EQ(raw.mData.data()[i], from);
        }
    }
    for (auto& t : writers)
        t.join();
    EXPECT_EQ(received, THREADS * EACH);
}

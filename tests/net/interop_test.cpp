// Our sockets against an independent python3 peer of the protocol (tests/net/interop_peer.py).
#include "tolvan/net/sockets.h"

#include "net/net_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <string>
#include <sys/wait.h>

using namespace Kalvex;
using namespace TolvanTest;

namespace {

class Interop : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        std::string random(150000, '\0');
        uint32_t seed = 11;
        for (char& c : random)
            c = char((seed = seed * 1103515245u + 12345u) >> 24);
        writeFile("raw.bin", random.substr(0, 1000));
        writeFile("plain.bin", random);
        writeFile("packed.bin", random.substr(0, 80000) + std::string(200000, 'k'));
        mListening = listenOnFreePort(30);
        ASSERT_TRUE(mListening);
    }

    // Starts the peer in `mode`; its exit status comes with the future.
    std::future<int> startPeer(const char* mode) const {
        const std::string command = std::string(TOLVAN_PYTHON) + " " + TOLVAN_INTEROP_PEER + " " + mode +
                                    " " + std::to_string(mListening->mPort) + " '" + mDir + "'";
        return std::async(std::launch::async, [command] {
            const int status = std::system(command.c_str());
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        });
    }

    std::unique_ptr<Listening> mListening;
};

} // namespace

TEST_F(Interop, ReceivesWhatThePeerSends) {
    auto peer = startPeer("send");
    TcpSocket connection = mListening->mListener.acceptConnection(true);
    ASSERT_TRUE(connection.isOk());
    const DirectoryReadDataContext context(path(""));
    ReceivedData items[4];
    for (ReceivedData& item : items) {
        // Each transfer may take a moment to start arriving: readData polls for about a second.
        for (int attempt = 0; attempt < 30; ++attempt) {
            if (connection.readData(item, context) == SocketResult::SUCCESS) break;
            ASSERT_TRUE(connection.isOk());
        }
    }
    connection.close();
    EXPECT_EQ(peer.get(), 0);

    ASSERT_TRUE(items[0].is<XmlString>());
    EXPECT_EQ(items[0].get<XmlString>(),
              XmlString::fromString(u"<root><DataType>0</DataType><cmd>go</cmd></root>"));
    ASSERT_TRUE(items[1].is<ReceivedRawData>());
    const auto& raw = items[1].get<ReceivedRawData>().mData;
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(raw.data()), size_t(raw.size())) ==
                readFile("raw.bin"));
    ASSERT_TRUE(items[2].is<ReceivedFile>());
    EXPECT_TRUE(readFile("plain.out") == readFile("plain.bin"));
    ASSERT_TRUE(items[3].is<ReceivedFile>());
    EXPECT_TRUE(readFile("packed.out") == readFile("packed.bin"));
}

TEST_F(Interop, ThePeerAcceptsWhatWeSend) {
    auto peer = startPeer("receive");
    TcpSocket connection = mListening->mListener.acceptConnection(true);
    ASSERT_TRUE(connection.isOk());
    const std::string raw = readFile("raw.bin");
    EXPECT_EQ(connection.writeString(XmlString(u"cmd", u"go")), SocketResult::SUCCESS);
    EXPECT_EQ(
        connection.writeRawMemory(
            ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(raw.data()), int64(raw.size())),
            XmlString(u"kind", u"tile")),
        SocketResult::SUCCESS);
    EXPECT_EQ(connection.writeFile(path("plain.bin"), XmlString(u"FileName", u"plain.out")),
              SocketResult::SUCCESS);
    EXPECT_EQ(connection.writeFile(path("packed.bin"), XmlString(u"FileName", u"packed.out"),
                                   DataCompression::DEFLATE),
              SocketResult::SUCCESS);
    EXPECT_EQ(peer.get(), 0);
}

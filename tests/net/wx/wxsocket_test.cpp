// Legacy::WxSocket with a real wxSocketClient against our own TcpListener on 127.0.0.1.
#include "tolvan/net/sockets.h"
#include "tolvan/net/wxsocket.h"

#include <gtest/gtest.h>

#include <wx/init.h>

#include <future>
#include <memory>
#include <unistd.h>

using namespace Kalvex;

namespace {

struct Listening {
    std::unique_ptr<TcpListener> mListener;
    unsigned short mPort = 0;
};

Listening listenOnFreePort() {
    Listening result;
    for (unsigned port = 36000 + unsigned(::getpid() % 1000) * 3; port < 65000; ++port) {
        result.mListener =
            std::make_unique<TcpListener>(SocketAddress(u"127.0.0.1", (unsigned short)port), 10);
        if (result.mListener->isOk()) {
            result.mPort = (unsigned short)port;
            break;
        }
    }
    return result;
}

} // namespace

TEST(WxSocket, ExchangesFramesWithOurSockets) {
    wxInitializer wx;
    ASSERT_TRUE(wx.IsOk());
    Listening listening = listenOnFreePort();
    ASSERT_NE(listening.mPort, 0);
    auto accepted =
        std::async(std::launch::async, [&] { return listening.mListener->acceptConnection(true); });

    wxIPV4address address;
    address.Hostname(wxT("127.0.0.1"));
    address.Service(listening.mPort);
    auto* client = new wxSocketClient(wxSOCKET_BLOCK);
    ASSERT_TRUE(client->Connect(address, true));
    Legacy::WxSocket socket(client);
    EXPECT_EQ(client->GetFlags() & wxSOCKET_WAITALL, wxSOCKET_WAITALL);
    TcpSocket server = accepted.get();
    ASSERT_TRUE(server.isOk());

    // Our receiver takes a wx frame that holds a header.
    const String header(u"<root><DataType>0</DataType><from>wx</from></root>");
    EXPECT_EQ(Legacy::WxSocket::writeString(client, header, 5), SocketResult::SUCCESS);
    XmlString message;
    ASSERT_EQ(server.readString(message), SocketResult::SUCCESS);
    EXPECT_EQ(message, XmlString::fromString(header));
    EXPECT_EQ(client->GetTimeout(), 5);

    // And the wx side reads our frames byte by byte.
    EXPECT_EQ(server.writeString(XmlString(u"to", u"wx")), SocketResult::SUCCESS);
    String text;
    ASSERT_EQ(Legacy::WxSocket::readString(client, text, 2), SocketResult::SUCCESS);
    EXPECT_EQ(text, String(u"<root><DataType>0</DataType><to>wx</to></root>"));

    // A frame cut off by a closing peer fails.
    server.close();
    EXPECT_EQ(Legacy::WxSocket::readString(client, text, 2), SocketResult::FAILURE);
    socket.close();
    EXPECT_EQ(Legacy::WxSocket::writeString(nullptr, text, 1), SocketResult::FAILURE);
}

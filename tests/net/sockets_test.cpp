// Addresses, TCP listeners, clients and sockets, UDP datagrams.
#include "tolvan/net/sockets.h"

#include "net/net_support.h"

#include <gtest/gtest.h>

#include <string>

using namespace Kalvex;
using namespace TolvanTest;

TEST(SocketAddress, IsValidByTheDottedRule) {
    const struct {
        const char16_t* mText;
        bool mValid;
    } cases[] = {
        {u"192.168.0.1", true}, {u"10.0.0.255", true}, {u"1..2.3.4", true}, {u" 1.2.3.4x", true},
        {u"256.1.1.1", false},  {u"1.2.3", false},     {u"a.b.c.d", false}, {u"myhost", false},
        {u"1.2.3.4.5", false},  {u"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SocketAddress::isValid(c.mText), c.mValid) << String(c.mText);
}

TEST(SocketAddress, ComparesAddressTextOnlyAndNamesTheSpecialAddresses) {
    const SocketAddress a(u"10.0.0.1", 80);
    const SocketAddress b(u"10.0.0.1", 81);
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.toString(), String(u"10.0.0.1"));
    EXPECT_EQ(b.getPort(), 81);
    EXPECT_FALSE(a == SocketAddress(u"10.0.0.2", 80));

    EXPECT_TRUE(SocketAddress::broadcast(5000).isBroadcast());
    EXPECT_FALSE(SocketAddress::localhost(5000).isBroadcast());
    EXPECT_EQ(SocketAddress::localhost(5000).toString(), String(u"127.0.0.1"));
    EXPECT_EQ(SocketAddress::localhost(5000).getHostName(), String(u"localhost"));
    EXPECT_EQ(SocketAddress::anyAddress(7).toString(), String(u"0.0.0.0"));
    EXPECT_EQ(SocketAddress(u"localhost", 1).toString(), String(u"127.0.0.1"));
    EXPECT_EQ(SocketAddress(u"no such host.invalid", 1).toString(), String(u"0.0.0.0"));

    SocketAddress moved(u"10.1.2.3", 9);
    SocketAddress target = std::move(moved);
    EXPECT_EQ(target.toString(), String(u"10.1.2.3"));
    SocketAddress copy = target;
    copy.setPort(10);
    EXPECT_EQ(copy.getPort(), 10);
    EXPECT_EQ(target.getPort(), 9);
    moved = copy; // a moved-from address may be assigned to
    EXPECT_EQ(moved.toString(), String(u"10.1.2.3"));
}

TEST(TcpClient, WithoutListenerIsNotOkOrRetries) {
    auto listening = listenOnFreePort();
    ASSERT_TRUE(listening);
    const unsigned short port = listening->mPort;
    listening->mListener.close();
    EXPECT_FALSE(listening->mListener.isOk());

    TcpClient required(SocketAddress::localhost(port), 1, true);
    EXPECT_FALSE(required.isOk());
    EXPECT_FALSE(required.connect(SocketAddress::localhost(port)));
    EXPECT_EQ(required.writeString(XmlString(u"a", u"b")), SocketResult::FAILURE);

    TcpClient retrying(SocketAddress::localhost(port), 1, false);
    EXPECT_TRUE(retrying.isOk());
    EXPECT_FALSE(retrying.connect(SocketAddress::localhost(port)));
    auto again = listenOnFreePort();
    ASSERT_TRUE(again);
    EXPECT_TRUE(retrying.connect(SocketAddress::localhost(again->mPort)));
    TcpSocket server = again->mListener.acceptConnection(true);
    ASSERT_TRUE(server.isOk());
    EXPECT_EQ(retrying.writeString(XmlString(u"k", u"v")), SocketResult::SUCCESS);
    XmlString message;
    EXPECT_EQ(server.readString(message), SocketResult::SUCCESS);
}

TEST(TcpSocket, CloseEndsEveryTransferAndMovesSwapState) {
    auto pair = connectedPair();
    ASSERT_TRUE(pair);
    const auto peer = pair->mServer.getPeerAddress();
    ASSERT_TRUE(peer.hasValue());
    EXPECT_EQ(peer.value().toString(), String(u"127.0.0.1"));

    TcpSocket moved = std::move(pair->mServer);
    EXPECT_FALSE(pair->mServer.isOk());
    EXPECT_TRUE(moved.isOk());

    moved.close();
    EXPECT_FALSE(moved.isOk());
    EXPECT_FALSE(moved.getPeerAddress().hasValue());
    const std::byte bytes[4] = {};
    ReceivedData item;
    XmlString message;
    EXPECT_EQ(moved.writeString(XmlString(u"a", u"b")), SocketResult::FAILURE);
    EXPECT_EQ(moved.readString(message), SocketResult::FAILURE);
    EXPECT_EQ(moved.writeRawMemory(bytes, XmlString()), SocketResult::FAILURE);
    EXPECT_EQ(moved.readData(item, ReadDataContext()), SocketResult::FAILURE);

    // The peer notices the close as soon as it reads.
    EXPECT_EQ(pair->mClient.readString(message), SocketResult::FAILURE);
    EXPECT_FALSE(pair->mClient.isOk());

    // A closed socket that receives an open one by move assignment is usable again.
    auto other = connectedPair();
    ASSERT_TRUE(other);
    moved = std::move(other->mServer);
    EXPECT_TRUE(moved.isOk());
    EXPECT_FALSE(other->mServer.isOk());
    EXPECT_EQ(moved.writeString(XmlString(u"x", u"1")), SocketResult::SUCCESS);
    EXPECT_EQ(other->mClient.readString(message), SocketResult::SUCCESS);
}

TEST(TcpListener, AcceptsWithoutWaitingAndKillsPendingConnections) {
    auto listening = listenOnFreePort(1);
    ASSERT_TRUE(listening);
    EXPECT_FALSE(listening->mListener.acceptConnection(false).isOk());

    TcpClient first(SocketAddress::localhost(listening->mPort), 5, true);
    TcpClient second(SocketAddress::localhost(listening->mPort), 5, true);
    ASSERT_TRUE(first.isOk() && second.isOk());
    listening->mListener.killPendingConnections();
    EXPECT_FALSE(listening->mListener.acceptConnection(false).isOk());
    XmlString message;
    EXPECT_EQ(first.readString(message), SocketResult::FAILURE);
    EXPECT_FALSE(first.isOk());

    TcpClient third(SocketAddress::localhost(listening->mPort), 5, true);
    EXPECT_TRUE(listening->mListener.acceptConnection(true).isOk());

    // A port in use cannot be listened on twice.
    TcpListener busy(SocketAddress(u"127.0.0.1", listening->mPort), 1);
    EXPECT_FALSE(busy.isOk());
}

TEST(UdpSocket, CarriesFramesOfAtMost511Bytes) {
    std::unique_ptr<UdpSocket> receiver;
    unsigned short port = 0;
    for (unsigned p = 40000 + unsigned(::getpid() % 1000) * 7; !receiver || !receiver->isOk(); ++p) {
        port = (unsigned short)p;
        receiver = std::make_unique<UdpSocket>(SocketAddress(u"127.0.0.1", port));
    }
    XmlString message;
    SocketAddress sender;
    EXPECT_EQ(receiver->readString(message, sender), SocketResult::FAILURE); // nothing queued: at once

    UdpSocket out(SocketAddress(u"127.0.0.1", port), UdpSocket::ConstructFlag::NO_BIND);
    ASSERT_TRUE(out.isOk());
    EXPECT_EQ(out.getLocalAddress().getPort(), port);
    const XmlString tooLong = XmlString::fromString(String(u'x', 511));
    EXPECT_EQ(out.writeString(tooLong), SocketResult::FAILURE);
    const XmlString longest = XmlString::fromString(String(u'y', 510));
    EXPECT_EQ(out.writeString(longest), SocketResult::SUCCESS);
    ASSERT_EQ(receiver->readString(message, sender), SocketResult::SUCCESS);
    EXPECT_EQ(message, longest);
    EXPECT_EQ(sender.toString(), String(u"127.0.0.1"));

    // UTF-8 text comes back as it was sent, to the construction address or a given one.
    EXPECT_EQ(out.writeString(XmlString::fromString(u"\u00e9t\u00e9"), receiver->getLocalAddress()),
              SocketResult::SUCCESS);
    ASSERT_EQ(receiver->readString(message, sender), SocketResult::SUCCESS);
    EXPECT_EQ(message, XmlString::fromString(u"\u00e9t\u00e9"));

    UdpSocket broadcaster(SocketAddress(u"127.0.0.1", port),
                          UdpSocket::ConstructFlag::BROADCAST | UdpSocket::ConstructFlag::NO_BIND);
    EXPECT_TRUE(broadcaster.isOk());

    receiver->close();
    EXPECT_FALSE(receiver->isOk());
    EXPECT_EQ(receiver->readString(message, sender), SocketResult::FAILURE);
    EXPECT_EQ(out.writeString(longest, SocketAddress(u"127.0.0.1", port)), SocketResult::SUCCESS);
}

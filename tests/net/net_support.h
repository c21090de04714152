// Test helpers for the socket tests: a connected pair of our sockets on 127.0.0.1, a plain BSD peer
// for writing hostile bytes, and a temporary directory.
#pragma once

#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/deflatestream.h"
#include "tolvan/net/sockets.h"

#include "io/stream_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace TolvanTest {

/// A listener on a free port of 127.0.0.1 (ports are tried from a per-process start, so test programs
/// running side by side do not collide); its port is `port`.
struct Listening {
    Kalvex::TcpListener mListener;
    unsigned short mPort;
};

inline std::unique_ptr<Listening> listenOnFreePort(unsigned timeoutSeconds = 5) {
    const unsigned start = 20000 + unsigned(::getpid() % 2000) * 10;
    static unsigned offset = 0;
    for (unsigned attempt = 0; attempt < 2000; ++attempt) {
        const auto port = (unsigned short)(start + (offset++ % 20000));
        auto result = std::make_unique<Listening>(
            Listening{Kalvex::TcpListener(Kalvex::SocketAddress(u"127.0.0.1", port), timeoutSeconds), port});
        if (result->mListener.isOk()) return result;
    }
    return nullptr;
}

/// Our client connected to our accepted socket.
struct Pair {
    std::unique_ptr<Listening> mListening;
    Kalvex::TcpClient mClient;
    Kalvex::TcpSocket mServer;
};

inline std::unique_ptr<Pair> connectedPair() {
    auto listening = listenOnFreePort();
    if (!listening) return nullptr;
    const unsigned short port = listening->mPort;
    auto pair = std::make_unique<Pair>(
        Pair{std::move(listening), Kalvex::TcpClient(Kalvex::SocketAddress::localhost(port), 5, true), {}});
    pair->mServer = pair->mListening->mListener.acceptConnection(true);
    if (!pair->mClient.isOk() || !pair->mServer.isOk()) return nullptr;
    return pair;
}

/// A plain blocking BSD socket connected to 127.0.0.1:port, for writing exactly the bytes a test wants.
class RawPeer {
public:
    explicit RawPeer(unsigned short port) {
        mFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(mFd);
            mFd = -1;
        }
    }
    ~RawPeer() { closeNow(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    [[nodiscard]] bool isOpen() const { return mFd >= 0; }
    /// Sends all of `bytes`; false when the connection failed.
    bool send(const std::string& bytes) const {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(mFd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += size_t(n);
        }
        return true;
    }
    /// Reads until `count` bytes came, the peer closed, or nothing came for `timeoutMs`.
    [[nodiscard]] std::string receive(size_t count, int timeoutMs = 5000) const {
        std::string out;
        char buffer[65536];
        while (out.size() < count) {
            pollfd entry{mFd, POLLIN, 0};
            if (::poll(&entry, 1, timeoutMs) <= 0) break;
            const ssize_t n = ::recv(mFd, buffer, std::min(sizeof buffer, count - out.size()), 0);
            if (n <= 0) break;
            out.append(buffer, size_t(n));
        }
        return out;
    }
    void closeNow() {
        if (mFd >= 0) ::close(mFd);
        mFd = -1;
    }

private:
    int mFd = -1;
};

/// Our accepted socket on one side, a RawPeer on the other.
struct RawPair {
    std::unique_ptr<Listening> mListening;
    std::unique_ptr<RawPeer> mPeer;
    Kalvex::TcpSocket mServer;
};

inline std::unique_ptr<RawPair> rawPair() {
    auto listening = listenOnFreePort();
    if (!listening) return nullptr;
    auto peer = std::make_unique<RawPeer>(listening->mPort);
    auto pair = std::make_unique<RawPair>(RawPair{std::move(listening), std::move(peer), {}});
    pair->mServer = pair->mListening->mListener.acceptConnection(true);
    if (!pair->mPeer->isOpen() || !pair->mServer.isOk()) return nullptr;
    return pair;
}

/// The bytes of `text` and the frame's zero byte.
inline std::string frame(const std::string& text) {
    return text + std::string(1, '\0');
}

/// The zlib stream of `bytes`, made by the library's deflate stream.
inline std::string compressed(const std::string& bytes) {
    Kalvex::Io::ArrayOutputStream memory;
    Kalvex::Io::DeflateOutputStream deflate(
        Kalvex::makeAutoPtr<Kalvex::Io::ForwardingBinaryOutputStream>(memory));
    deflate.write(bytes.data(), Kalvex::int64(bytes.size()));
    deflate.close();
    const auto data = memory.data();
    return std::string(reinterpret_cast<const char*>(data.data()), size_t(data.size()));
}

/// True when the thread with kernel id `tid` waits in the socket layer (poll, recv or send) right now.
inline bool isBlockedInSocketWait(unsigned tid) {
    std::ifstream syscallFile("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string first;
    if (!(syscallFile >> first)) return true;
    for (const long call : {SYS_poll, SYS_ppoll, SYS_recvfrom, SYS_sendto}) {
        if (first == std::to_string(call)) return true;
    }
    return false;
}

/// Shorter receive bounds for the duration of a test.
class ShortTransferLimits {
public:
    explicit ShortTransferLimits(Kalvex::int64 headerMs, Kalvex::int64 filePieceMs)
        : mPrevious(Kalvex::Detail::setTransferLimits({headerMs, filePieceMs})) {}
    ~ShortTransferLimits() { Kalvex::Detail::setTransferLimits(mPrevious); }
    ShortTransferLimits(const ShortTransferLimits&) = delete;
    ShortTransferLimits& operator=(const ShortTransferLimits&) = delete;

private:
    Kalvex::Detail::TransferLimits mPrevious;
};

/// A context that stores files under a directory and records its notices.
class RecordingContext : public Kalvex::DirectoryReadDataContext {
public:
    explicit RecordingContext(const Kalvex::Io::Path& directory)
        : DirectoryReadDataContext(directory) {}
    void onTransferStart(const Kalvex::XmlString&) const override { ++mStarts; }
    void onTransferEnd(const Kalvex::XmlString&) const override { ++mEnds; }

    mutable int mStarts = 0;
    mutable int mEnds = 0;
};

} // namespace TolvanTest

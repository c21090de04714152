// The socket layer on BSD sockets (IPv4). Connected TCP sockets block with the kernel's time-outs
// (SO_RCVTIMEO, SO_SNDTIMEO) set to what is left of each call's time-out in seconds, so one system call
// moves a whole piece and the time-out bounds each whole read or write. Listening, connecting and
// datagram sockets are non-blocking and wait with poll. Sends use MSG_NOSIGNAL: a closed peer
// gives an error, never SIGPIPE.
#include "tolvan/net/socketcore.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace Kalvex::Detail {

namespace {

// Queue length of a listening socket.
constexpr int LISTEN_BACKLOG = 128;

sockaddr_in toSockaddr(const Ipv4Address& address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(address.mPort);
    result.sin_addr.s_addr = htonl(address.mHost);
    return result;
}

Ipv4Address fromSockaddr(const sockaddr_in& address) {
    Ipv4Address result;
    result.mHost = ntohl(address.sin_addr.s_addr);
    result.mPort = ntohs(address.sin_port);
    return result;
}

int newSocket(int type) {
    return ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void setOption(int fd, int level, int name, int value) {
    (void)::setsockopt(fd, level, name, &value, sizeof value);
}

int64 nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// True for the errors of a connection that is gone (as opposed to "try again").
bool isConnectionError(int error) {
    return error != EAGAIN && error != EWOULDBLOCK && error != EINTR;
}

} // namespace

Optional<uint32> resolveIpv4(const String& host) {
    const auto name = host.toUtf8();
    in_addr numeric{};
    if (::inet_pton(AF_INET, name.cStr(), &numeric) == 1) return uint32(ntohl(numeric.s_addr));
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.cStr(), nullptr, &hints, &found) != 0 || !found) return {};
    const uint32 result = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return result;
}

Optional<String> lookUpHostName(uint32 host) {
    const sockaddr_in address = toSockaddr(Ipv4Address{host, 0, {}});
    char name[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, name, sizeof name, nullptr,
                      0, NI_NAMEREQD) != 0) {
        return {};
    }
    return String::fromUtf8(name);
}

NativeSocket::~NativeSocket() {
    destroy();
}

void NativeSocket::replaceDescriptor(int fd) noexcept {
    std::lock_guard guard(mDescriptorLock);
    mAppliedReceiveMs = -1;
    mAppliedSendMs = -1;
    const int old = mFd.exchange(fd);
    if (old >= 0) ::close(old);
}

void NativeSocket::destroy() noexcept {
    mAlive.store(false, std::memory_order_release);
    replaceDescriptor(-1);
}

void NativeSocket::interrupt() noexcept {
    std::lock_guard guard(mDescriptorLock);
    const int fd = mFd.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

bool NativeSocket::waitFor(short events, int64 timeoutMs) const {
    const int64 deadline = timeoutMs < 0 ? 0 : nowMs() + timeoutMs;
    for (;;) {
        pollfd entry{mFd.load(), events, 0};
        const int64 left = timeoutMs < 0 ? -1 : deadline - nowMs();
        const int result = ::poll(&entry, 1, left < 0 ? (timeoutMs < 0 ? -1 : 0) : int(left));
        if (result > 0) return true;
        if (result == 0) return false;
        if (errno != EINTR) return true; // let the following call report the error
    }
}

bool NativeSocket::listen(const Ipv4Address& address) {
    const int fd = newSocket(SOCK_STREAM);
    replaceDescriptor(fd);
    if (fd < 0) {
        destroy();
        return false;
    }
    setOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    const sockaddr_in local = toSockaddr(address);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(fd, LISTEN_BACKLOG) != 0) {
        destroy();
        return false;
    }
    return true;
}

NativeSocket* NativeSocket::accept(bool wait) {
    if (!isOk()) return nullptr;
    const int64 timeoutMs = wait ? int64(mTimeoutSeconds) * 1000 : 0;
    const int64 deadline = nowMs() + timeoutMs;
    for (;;) {
        const int fd = ::accept4(mFd.load(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
            auto* socket = new NativeSocket();
            socket->replaceDescriptor(fd);
            socket->mTimeoutSeconds = mTimeoutSeconds;
            return socket;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            return nullptr;
        const int64 left = deadline - nowMs();
        if (left <= 0 || !waitFor(POLLIN, left)) return nullptr;
        if (!isOk()) return nullptr;
    }
}

bool NativeSocket::connect(const Ipv4Address& address, bool wait) {
    if (!mAlive.load()) return false;
    const int fd = newSocket(SOCK_STREAM);
    replaceDescriptor(fd);
    mLost.store(false);
    if (fd < 0) return false;
    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    const sockaddr_in remote = toSockaddr(address);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        if (errno != EINPROGRESS || !wait || !waitFor(POLLOUT, int64(mTimeoutSeconds) * 1000)) {
            replaceDescriptor(-1);
            return false;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            replaceDescriptor(-1);
            return false;
        }
    }
    // Connected: transfers block, bounded by the kernel's time-outs.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return true;
}

bool NativeSocket::openDatagram(const Ipv4Address& address, uint32 flags) {
    const int fd = newSocket(SOCK_DGRAM);
    replaceDescriptor(fd);
    if (fd < 0) {
        destroy();
        return false;
    }
    if (flags & uint32(Datagram::BROADCAST)) setOption(fd, SOL_SOCKET, SO_BROADCAST, 1);
    if (!(flags & uint32(Datagram::NO_BIND))) {
        const sockaddr_in local = toSockaddr(address);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            destroy();
            return false;
        }
    }
    return true;
}

void NativeSocket::applyTimeout(int option, int64 ms) {
    int64& applied = option == SO_RCVTIMEO ? mAppliedReceiveMs : mAppliedSendMs;
    if (applied == ms) return;
    timeval value{};
    value.tv_sec = time_t(ms / 1000);
    value.tv_usec = suseconds_t((ms % 1000) * 1000);
    (void)::setsockopt(mFd.load(), SOL_SOCKET, option, &value, sizeof value);
    applied = ms;
}

template <typename Transfer>
int64 NativeSocket::transferAll(int option, int64 count, Transfer&& transfer) {
    // The descriptor blocks, with the kernel's time-out set to what is left of the call's time-out:
    // one system call moves a whole piece. A time-out of 0 only takes what is ready.
    const int64 deadline = nowMs() + int64(mTimeoutSeconds) * 1000;
    int64 done = 0;
    for (int64 left = int64(mTimeoutSeconds) * 1000; done < count;) {
        if (left > 0) applyTimeout(option, left);
        const ssize_t n = transfer(done, left > 0 ? 0 : MSG_DONTWAIT);
        if (n > 0) {
            done += n;
            left = deadline - nowMs();
            if (left <= 0) break;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            left = deadline - nowMs();
            continue;
        }
        if (n == 0 || isConnectionError(errno)) markLost();
        break;
    }
    return done;
}

int64 NativeSocket::read(void* dst, int64 count) {
    mLastRead = 0;
    if (!isOk() || mFd.load() < 0) return 0;
    auto* out = static_cast<std::byte*>(dst);
    mLastRead = transferAll(SO_RCVTIMEO, count, [&](int64 done, int flags) {
        return ::recv(mFd.load(), out + done, size_t(count - done), MSG_WAITALL | flags);
    });
    return mLastRead;
}

int64 NativeSocket::peek(void* dst, int64 count) {
    if (!isOk() || mFd.load() < 0) return 0;
    const int64 timeoutMs = int64(mTimeoutSeconds) * 1000;
    if (timeoutMs > 0) applyTimeout(SO_RCVTIMEO, timeoutMs);
    for (;;) {
        const ssize_t got =
            ::recv(mFd.load(), dst, size_t(count), MSG_PEEK | (timeoutMs > 0 ? 0 : MSG_DONTWAIT));
        if (got > 0) return got;
        if (got < 0 && errno == EINTR) continue;
        if (got == 0 || isConnectionError(errno)) markLost();
        return 0;
    }
}

int64 NativeSocket::write(const void* src, int64 count) {
    mLastWrite = 0;
    if (!isOk() || mFd.load() < 0) return 0;
    const auto* in = static_cast<const std::byte*>(src);
    mLastWrite = transferAll(SO_SNDTIMEO, count, [&](int64 done, int flags) -> ssize_t {
        const ssize_t sent = ::send(mFd.load(), in + done, size_t(count - done), MSG_NOSIGNAL | flags);
        return sent == 0 ? -1 : sent; // nothing sent is a time-out, never the end of the connection
    });
    return mLastWrite;
}

int64 NativeSocket::receiveFrom(void* dst, int64 count, Ipv4Address& sender) {
    if (!isOk()) return 0;
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got =
        ::recvfrom(mFd.load(), dst, size_t(count), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
    if (got <= 0) return 0;
    sender = fromSockaddr(from);
    return got;
}

int64 NativeSocket::sendTo(const void* src, int64 count, const Ipv4Address& destination) {
    if (!isOk()) return 0;
    const sockaddr_in to = toSockaddr(destination);
    const ssize_t sent = ::sendto(mFd.load(), src, size_t(count), MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent < 0 ? 0 : sent;
}

Optional<Ipv4Address> NativeSocket::getPeer() const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (mFd.load() < 0 || ::getpeername(mFd.load(), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return {};
    return fromSockaddr(peer);
}

} // namespace Kalvex::Detail

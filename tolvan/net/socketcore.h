// Private to the library's .cpp files (never included by a public header): the socket layer beneath
// the classes of net/sockets. NativeSocket is one operating-system socket with the behaviour the
// sockets rely on: reads and writes that wait for all bytes up to a time-out in seconds, non-blocking
// datagrams, the last read and write counts, and a lost state once the peer has gone. The operating
// system calls are in sockets_posix.cpp.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/string.h"

#include <atomic>
#include <mutex>

namespace Kalvex::Detail {

/// An IPv4 address and port, in host byte order, with the host name it was set from (empty when it was
/// set from a number).
struct Ipv4Address {
    uint32 mHost = 0;
    uint16 mPort = 0;
    String mName;
};

/// The address of `host`: a dotted address or a name looked up by the resolver; empty when neither.
[[nodiscard]] Optional<uint32> resolveIpv4(const String& host);
/// The name the resolver gives for `host`; empty when it knows none.
[[nodiscard]] Optional<String> lookUpHostName(uint32 host);

/// One socket. The state flags are atomic so that isOk and interrupt may be called from any thread;
/// every other operation belongs to the thread that holds the owner's lock.
class NativeSocket : public Noncopyable {
public:
    enum class Datagram : uint32 { BROADCAST = 1, NO_BIND = 2 };

    /// An unconnected stream socket without a descriptor: isOk() is true, transfers fail.
    NativeSocket() = default;
    /// Closes the descriptor.
    ~NativeSocket();

    /// Binds to `address` and listens; false (and the socket not ok) when that fails.
    bool listen(const Ipv4Address& address);
    /// A connection from the queue of a listening socket, waiting up to the time-out when `wait` is
    /// set; null when none came.
    [[nodiscard]] NativeSocket* accept(bool wait);
    /// Connects a new stream socket to `address`, waiting up to the time-out when `wait` is set;
    /// whether the connection stands. A failed attempt leaves the socket ok and unconnected.
    bool connect(const Ipv4Address& address, bool wait);
    /// Opens a non-blocking datagram socket, bound to `address` unless NO_BIND is given; false (and the
    /// socket not ok) when that fails.
    bool openDatagram(const Ipv4Address& address, uint32 flags);

    /// Closes the descriptor; afterwards the socket is not ok.
    void destroy() noexcept;
    /// Ends the connection (without closing the descriptor), so that an operation blocked in another
    /// thread returns at once. Safe from any thread while the object lives.
    void interrupt() noexcept;

    /// Not destroyed, opened successfully, and the connection not lost.
    [[nodiscard]] bool isOk() const noexcept {
        return mAlive.load(std::memory_order_acquire) && !mLost.load(std::memory_order_acquire);
    }
    /// The peer closed the connection, or it failed.
    [[nodiscard]] bool isLost() const noexcept { return mLost.load(std::memory_order_acquire); }

    [[nodiscard]] int getTimeout() const noexcept { return mTimeoutSeconds; }
    void setTimeout(int seconds) noexcept { mTimeoutSeconds = seconds < 0 ? 0 : seconds; }

    /// Reads `count` bytes, waiting until all came or the time-out (for the whole call) ran out; returns
    /// the bytes read, also kept as getLastReadCount(). End of data or an error marks the socket lost.
    int64 read(void* dst, int64 count);
    /// Waits up to the time-out until at least one byte is queued, then copies up to `count` queued
    /// bytes without consuming them; returns how many (0 when none came). Sets no count.
    int64 peek(void* dst, int64 count);
    /// Writes `count` bytes, waiting until all went out or the time-out ran out; returns the bytes
    /// written, also kept as getLastWriteCount(). A closed peer marks the socket lost (never SIGPIPE).
    int64 write(const void* src, int64 count);
    [[nodiscard]] int64 getLastReadCount() const noexcept { return mLastRead; }
    [[nodiscard]] int64 getLastWriteCount() const noexcept { return mLastWrite; }

    /// One queued datagram into `dst` (at most `count` bytes), without waiting; 0 when none is queued.
    int64 receiveFrom(void* dst, int64 count, Ipv4Address& sender);
    /// Sends one datagram without waiting; returns the bytes sent (0 on failure).
    int64 sendTo(const void* src, int64 count, const Ipv4Address& destination);

    /// The connected peer's address; empty when not connected.
    [[nodiscard]] Optional<Ipv4Address> getPeer() const;

private:
    // Replaces the descriptor (closing the old one) under mDescriptorLock, so interrupt never touches
    // a number that was closed and reused.
    void replaceDescriptor(int fd) noexcept;
    // Waits up to `timeoutMs` (negative: forever) for `events` on the descriptor; false on time-out.
    [[nodiscard]] bool waitFor(short events, int64 timeoutMs) const;
    // Sets the kernel time-out `option` (SO_RCVTIMEO or SO_SNDTIMEO) unless it already has that value.
    void applyTimeout(int option, int64 ms);
    // Repeats `transfer(done, flags)` until `count` bytes moved, the time-out ran out or the connection
    // failed; returns the bytes moved.
    template <typename Transfer>
    int64 transferAll(int option, int64 count, Transfer&& transfer);
    void markLost() noexcept { mLost.store(true, std::memory_order_release); }

    std::atomic<int> mFd{-1};
    std::atomic<bool> mAlive{true};
    std::atomic<bool> mLost{false};
    std::mutex mDescriptorLock;
    int mTimeoutSeconds = 600;
    int64 mLastRead = 0;
    int64 mLastWrite = 0;
    int64 mAppliedReceiveMs = -1;
    int64 mAppliedSendMs = -1;
};

} // namespace Kalvex::Detail

// Sockets and the data-transfer protocol: IPv4 addresses, TCP listeners and connections, UDP datagrams,
// and the XML-headed protocol that moves messages, files and memory blocks over a TcpSocket.
//
//   TcpListener listener(SocketAddress::anyAddress(5000), 10);
//   TcpSocket connection = listener.acceptConnection(true);
//   ReceivedData item;
//   DirectoryReadDataContext context(u"/srv/incoming");
//   if (connection.readData(item, context) == SocketResult::SUCCESS && item.is<ReceivedFile>()) ...
//
//   TcpClient client(SocketAddress(u"127.0.0.1", 5000), 10, true);
//   client.writeFile(u"/data/scene.max", XmlString(u"job", u"7"), DataCompression::DEFLATE);
//
// A transfer is a header (an XmlString sent as its UTF-8 text and one zero byte) whose DataType key says
// what follows: nothing for a message, FileSize payload bytes (zlib-compressed to CompressedSize bytes
// when Compressed is 1) for a file or a raw block. Every socket object serialises its operations with its
// own lock; close() may be called from any thread and ends an operation blocked in another one.
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"
#include "tolvan/io/stream.h"
#include "tolvan/thread/lock.h"
#include "tolvan/utility/variant.h"
#include "tolvan/xml/xmlstring.h"

#include <atomic>
#include <cstddef>

namespace Kalvex {

namespace Detail {
struct Ipv4Address;
class NativeSocket;
} // namespace Detail

/// The result of every socket transfer.
enum class SocketResult : int32 {
    /// Nothing or not everything was transferred: no usable socket, nothing in time, malformed data.
    FAILURE = 0,
    /// The caller's time limit ran out during a transfer.
    TIMEOUT = 1,
    SUCCESS = 2,
};

// ---- Addresses ----

/// An IPv4 address with a port. Copyable; a moved-from address holds nothing and may only be destroyed
/// or assigned to.
class SocketAddress {
public:
    /// 0.0.0.0, port 0.
    SocketAddress();
    /// `host` (a dotted address or a name to resolve; when it cannot be resolved the address stays
    /// 0.0.0.0) and `port`.
    SocketAddress(const String& host, unsigned short port);
    /// Copies `other`.
    SocketAddress(const SocketAddress& other);
    /// Takes over the content of `other`.
    SocketAddress(SocketAddress&& other) noexcept;
    /// Replaces the content with a copy of `other`.
    SocketAddress& operator=(const SocketAddress& other);
    /// Replaces the content with that of `other`.
    SocketAddress& operator=(SocketAddress&& other) noexcept;
    ~SocketAddress();

    /// 0.0.0.0 with `port`.
    [[nodiscard]] static SocketAddress anyAddress(unsigned short port);
    /// 255.255.255.255 with `port`.
    [[nodiscard]] static SocketAddress broadcast(unsigned short port);
    /// 127.0.0.1 (named "localhost") with `port`.
    [[nodiscard]] static SocketAddress localhost(unsigned short port);
    /// True when `text` split at "." (empty pieces dropped) gives four pieces that each start with an
    /// int of at most 255: "1..2.3.4" is valid, host names never are.
    [[nodiscard]] static bool isValid(const String& text);

    /// Whether the dotted text is "255.255.255.255".
    [[nodiscard]] bool isBroadcast() const;
    /// The name the address was set from; else the resolver's name for it; else the dotted text.
    [[nodiscard]] String getHostName() const;
    /// The dotted address text without the port ("10.0.0.1").
    [[nodiscard]] String toString() const;
    /// The port, in host byte order.
    [[nodiscard]] unsigned short getPort() const;
    /// Sets the port, given in host byte order.
    void setPort(unsigned short port);
    /// Equal dotted texts; ports are not compared.
    [[nodiscard]] bool operator==(const SocketAddress& other) const;

    /// The address itself, for the socket classes.
    [[nodiscard]] const Detail::Ipv4Address& native() const;

    /// A copy of `address`.
    explicit SocketAddress(const Detail::Ipv4Address& address);

private:
    Detail::Ipv4Address* mAddress = nullptr;
};

// ---- The data-transfer protocol's types ----

/// What follows a header; the value is written as the header's DataType.
enum class DataType : int32 {
    STRING = 0,
    FILE = 1,
    RAW_DATA = 2,
};

/// How a file payload travels.
enum class DataCompression : int32 {
    NONE = 0,
    /// The zlib stream of the deflate streams.
    DEFLATE = 1,
};

/// A file that arrived: its header, where it was stored and how long the receive took.
struct ReceivedFile {
    /// The header that came with the file.
    XmlString mHeader;
    /// Where the file was stored.
    Io::Path mPath;
    /// Milliseconds the receive took.
    int32 mTransferTime = 0;
};

/// A memory block that arrived with its header.
struct ReceivedRawData {
    /// The header that came with the block.
    XmlString mHeader;
    /// The bytes.
    Stack<std::byte> mData;
};

/// What a transfer carries; the alternative's position (0, 1, 2) equals its DataType value.
using ReceivedData = Variant<XmlString, ReceivedFile, ReceivedRawData>;

/// The receiver's side of a transfer: where files go, and notices around each payload. The callbacks
/// run on the reading thread while the socket's lock is held.
class ReadDataContext : public Polymorphic {
public:
    ~ReadDataContext() override = default;

    /// Where to store an incoming file. The base version throws the STOP failure: reading files needs a
    /// derived context. An exception thrown here leaves readData.
    [[nodiscard]] virtual Io::Path getFilePath(const XmlString& header) const;
    /// A payload is about to be received; does nothing here.
    virtual void onTransferStart(const XmlString& header) const;
    /// The receive of a payload has ended, successfully or not; does nothing here.
    virtual void onTransferEnd(const XmlString& header) const;
};

/// A context that stores each incoming file under one directory, at the relative path given by a
/// header key. Names that are empty, absolute, contain a ".." component, or lead through or onto a
/// symbolic link are refused: getFilePath throws Exception and nothing is received.
class DirectoryReadDataContext : public ReadDataContext {
public:
    /// Stores files under `directory`, named by the header key `nameKey`.
    explicit DirectoryReadDataContext(const Io::Path& directory, const String& nameKey = u"FileName");

    /// `directory` / the name in the header; throws Exception when the name is missing or refused.
    [[nodiscard]] Io::Path getFilePath(const XmlString& header) const override;

private:
    Io::Path mDirectory;
    String mNameKey;
};

// ---- Streams over a connected socket ----

/// Reads from a socket it does not own; each read waits for all bytes up to the socket's time-out.
class SocketInputStream : public Io::BinaryInputStream {
public:
    /// Reads from `socket`, which must outlive the stream.
    explicit SocketInputStream(Detail::NativeSocket& socket) noexcept
        : mSocket(&socket) {}

protected:
    /// One read of `count` bytes; returns how many came.
    int64 readImpl(void* dst, int64 count) override;
    /// True when the last read came back short.
    [[nodiscard]] bool eofImpl() const override { return !mComplete; }

private:
    Detail::NativeSocket* mSocket;
    bool mComplete = true;
};

/// Writes to a socket it does not own; the caller checks the socket's last write count.
class SocketOutputStream : public Io::BinaryOutputStream {
public:
    /// Writes to `socket`, which must outlive the stream.
    explicit SocketOutputStream(Detail::NativeSocket& socket) noexcept
        : mSocket(&socket) {}

protected:
    /// One write of `count` bytes, waiting for all of them up to the socket's time-out.
    void writeImpl(const void* src, int64 count) override;

private:
    Detail::NativeSocket* mSocket;
};

// ---- TCP ----

class TcpSocket;

/// A listening TCP socket. Movable, not copyable.
class TcpListener : public Noncopyable {
public:
    /// Binds to `address` and listens; accepting waits up to `timeoutSeconds`. Not ok when binding or
    /// listening failed.
    TcpListener(const SocketAddress& address, unsigned int timeoutSeconds);
    /// Takes over the content of `other`.
    TcpListener(TcpListener&& other) noexcept;
    /// Replaces the content with that of `other`.
    TcpListener& operator=(TcpListener&& other) noexcept;
    ~TcpListener();

    /// Whether the listener is open.
    [[nodiscard]] bool isOk() const;
    /// The next connection, waiting up to the time-out when `wait` is set; a socket that is not ok when
    /// none came. The connection's time-out starts as the listener's.
    [[nodiscard]] TcpSocket acceptConnection(bool wait);
    /// Accepts and closes every connection already queued.
    void killPendingConnections();
    /// Closes the listener; an acceptConnection waiting in another thread returns at once.
    void close();

private:
    Detail::NativeSocket* mSocket = nullptr;
    mutable SimpleLock mLock;
};

/// A connected TCP socket and the protocol spoken over it. Movable (moves swap the socket and the
/// closed flag), not copyable.
class TcpSocket : public Polymorphic, public Noncopyable {
public:
    /// A socket without a connection (not ok).
    TcpSocket() noexcept = default;
    /// Takes over the content of `other`.
    TcpSocket(TcpSocket&& other) noexcept;
    /// Replaces the content with that of `other`.
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    /// close().
    ~TcpSocket() override;

    /// Without locking: there is a socket, the peer has not closed it and close() was not called.
    [[nodiscard]] bool isOk() const;
    /// Closes the connection; an operation blocked in another thread ends at once with FAILURE.
    void close();
    /// The peer's address; empty when not connected.
    [[nodiscard]] Optional<SocketAddress> getPeerAddress() const;

    /// Sends `message` as a STRING header; TIMEOUT when `timeLimit` milliseconds passed first.
    SocketResult writeString(const XmlString& message, const Optional<int64>& timeLimit = {});
    /// Waits about one second for a message: SUCCESS only when a STRING header came (it is the message,
    /// its DataType key included); a raw block is received and dropped, a file throws the STOP failure.
    SocketResult readString(XmlString& message);
    /// Sends the file at `file` with `header`'s keys, compressed completely in memory first with
    /// DEFLATE. Every failure (also reading the file) gives FAILURE; TIMEOUT when `timeLimit` ran out.
    SocketResult writeFile(const Io::Path& file, const XmlString& header,
                           DataCompression compression = DataCompression::NONE,
                           DataType type = DataType::FILE, const Optional<int64>& timeLimit = {});
    /// Sends `data` uncompressed with `header`'s keys; Compressed carries `compression` as given.
    SocketResult writeRawMemory(ArrayView<const std::byte> data, const XmlString& header,
                                DataCompression compression = DataCompression::NONE,
                                DataType type = DataType::RAW_DATA, const Optional<int64>& timeLimit = {});
    /// Sends what `item` holds (FAILURE when empty): a message, the file at its path, or its bytes.
    SocketResult writeData(const ReceivedData& item, DataCompression compression, DataType type);
    /// Receives one transfer into `item`: a message, a file stored where `context` says, or a raw block.
    /// Throws Exception for a DataType of 3, the STOP failure for another one above 2, and whatever the
    /// context's getFilePath or onTransferStart throw.
    SocketResult readData(ReceivedData& item, const ReadDataContext& context);

protected:
    // For TcpClient: the native socket under the lock.
    /// The native socket; null once moved from.
    Detail::NativeSocket* mSocket = nullptr;
    /// Set by close().
    std::atomic<bool> mClosed{false};
    /// Guards mSocket.
    mutable SimpleLock mLock;

private:
    friend class TcpListener;
    struct Transfer;

    // Takes over an accepted native socket (may be null).
    explicit TcpSocket(Detail::NativeSocket* socket) noexcept
        : mSocket(socket) {}
};

/// A TcpSocket that connects itself.
class TcpClient : public TcpSocket {
public:
    /// Connects to `address`, waiting up to `timeoutSeconds`. With `requireConnection`, a failed
    /// connection leaves the client without a socket for good; without it, connect may retry.
    TcpClient(const SocketAddress& address, unsigned int timeoutSeconds, bool requireConnection);

    /// Connects (again) to `address` when isOk(); whether the connection stands.
    bool connect(const SocketAddress& address);
};

// ---- UDP ----

/// A non-blocking datagram socket that sends and receives string frames of at most 511 bytes.
class UdpSocket : public Noncopyable {
public:
    /// Options of the constructor.
    enum class ConstructFlag : uint32 {
        /// May send to the broadcast address.
        BROADCAST = 1,
        /// Not bound to the address: for sending only.
        NO_BIND = 2,
    };

    /// Binds to `address` (unless NO_BIND), which is also the default destination.
    UdpSocket(const SocketAddress& address, Flags<ConstructFlag> flags = {});
    /// Takes over the content of `other`.
    UdpSocket(UdpSocket&& other) noexcept;
    /// Replaces the content with that of `other`.
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    ~UdpSocket();

    /// True while the socket is open and usable.
    [[nodiscard]] bool isOk() const;
    /// Closes the socket; later sends and receives fail.
    void close();
    /// The address given at construction.
    [[nodiscard]] SocketAddress getLocalAddress() const;
    /// Takes one queued datagram without waiting: FAILURE when none is queued. Its last byte is taken as
    /// the terminator; `message` is the text before the first zero byte, `sender` its source.
    SocketResult readString(XmlString& message, SocketAddress& sender);
    /// Sends `message` and a zero byte as one datagram to `destination` (else the construction
    /// address); FAILURE for a frame of 512 bytes or more or when not all of it went out.
    SocketResult writeString(const XmlString& message, const Optional<SocketAddress>& destination = {}) const;

private:
    Detail::NativeSocket* mSocket = nullptr;
    SocketAddress mAddress;
    mutable SimpleLock mLock;
};

namespace Detail {

/// Bounds that keep a slow or silent peer from holding a receive: a header must be complete within
/// mHeaderMs of its first byte, and a file receive fails when fewer than 65536 bytes arrived in
/// mFilePieceMs. Process-wide.
struct TransferLimits {
    int64 mHeaderMs = 10000;
    int64 mFilePieceMs = 120000;
};
/// The bounds in force.
[[nodiscard]] TransferLimits getTransferLimits();
/// Changes the bounds (tests use short ones); returns the previous ones.
TransferLimits setTransferLimits(const TransferLimits& limits);

} // namespace Detail

KALVEX_DECLARE_FLAGS(UdpSocket::ConstructFlag)

} // namespace Kalvex

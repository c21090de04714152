// Socket addresses, the socket classes and the data-transfer protocol over the socket layer of
// socketcore.h.
#include "tolvan/net/sockets.h"

#include "tolvan/common/exception.h"
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/deflatestream.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/net/socketcore.h"
#include "tolvan/platform/debug.h"
#include "tolvan/utility/timer.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <locale>
#include <sstream>
#include <string>
#include <utility>

namespace Kalvex {

using Detail::Ipv4Address;
using Detail::NativeSocket;

namespace {

// Payloads move in pieces of this size.
constexpr int64 PIECE = 65536;
// A header longer than this without its zero byte is refused.
constexpr int64 HEADER_LIMIT = 1048576;
// Header bytes looked at per read while searching for the zero byte.
constexpr int64 HEADER_CHUNK = 4096;
// The largest raw block (the received block's length is a signed 32-bit number).
constexpr uint64 RAW_LIMIT = 2147483647;

std::atomic<int64> gHeaderLimitMs{Detail::TransferLimits().mHeaderMs};
std::atomic<int64> gFilePieceLimitMs{Detail::TransferLimits().mFilePieceMs};

// Reads a number from the start of `text` as a wide stream does (leading blanks skipped, the rest
// ignored); empty when no number is there.
template <typename T>
Optional<T> readNumber(const String& text) {
    std::wistringstream in(std::wstring(text.begin(), text.end()));
    in.imbue(std::locale::classic());
    T value{};
    if (!(in >> value)) return {};
    return value;
}

// One piece's buffer.
Stack<std::byte> pieceBuffer() {
    return Stack<std::byte>(int32(PIECE));
}

String decimal(int64 value) {
    return String::fromAscii(std::to_string(value));
}

int clampSeconds(int64 seconds) {
    return int(std::clamp<int64>(seconds, 0, INT_MAX));
}

void setTimeoutIfDifferent(NativeSocket& socket, int seconds) {
    if (socket.getTimeout() != seconds) socket.setTimeout(seconds);
}

String dottedText(uint32 host) {
    return String::fromAscii(std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 255) + "." +
                             std::to_string((host >> 8) & 255) + "." + std::to_string(host & 255));
}

Ipv4Address* newAddress(uint32 host, unsigned short port, const String& name = String()) {
    return new Ipv4Address{host, port, name};
}

// Throws the Variant's own failure for an alternative index it does not have.
[[noreturn]] void throwInvalidVariantIndex(int index) {
    ReceivedData probe;
    probe.setIndexUnsafeForTesting(index);
    try {
        probe.visit([](const auto&) {});
    } catch (...) {
        probe.setIndexUnsafeForTesting(0);
        throw;
    }
    probe.setIndexUnsafeForTesting(0);
    KALVEX_STOP();
}

// The payload's announced sizes.
struct Metadata {
    bool mValid = false;
    bool mCompressed = false;
    uint64 mSize = 0;
};

Metadata readMetadata(const XmlString& header) {
    const auto size = header.getChild(u"FileSize");
    const auto compressed = header.getChild(u"Compressed");
    const Optional<uint64> sizeValue = size ? readNumber<uint64>(*size) : Optional<uint64>();
    const Optional<uint64> compressedValue =
        compressed ? readNumber<uint64>(*compressed) : Optional<uint64>();
    if (!sizeValue || !compressedValue) {
        debugPrint("Received invalid XML header (couldn't read metadata)");
        return {};
    }
    return {true, *compressedValue == 1, *sizeValue};
}

// Fails a file receive when fewer than one piece of bytes arrived within the limit: a peer that trickles
// bytes or stays silent cannot hold the receive.
class ProgressGuard {
public:
    ProgressGuard()
        : mLimitMs(gFilePieceLimitMs.load()) {}

    /// Counts `bytes` that arrived; true when the receive has stalled.
    [[nodiscard]] bool stalled(int64 bytes) {
        mBytes += bytes;
        if (mBytes >= PIECE) {
            mBytes = 0;
            mTimer.reset();
            return false;
        }
        if (mTimer.getElapsed() <= mLimitMs) return false;
        debugPrint("Transfer stalled: less than " + std::to_string(PIECE) + " bytes arrived in " +
                   std::to_string(mLimitMs) + " ms");
        return true;
    }

private:
    Timer mTimer;
    int64 mLimitMs;
    int64 mBytes = 0;
};

} // namespace

// ---- SocketAddress ----

SocketAddress::SocketAddress()
    : mAddress(newAddress(0, 0)) {}

SocketAddress::SocketAddress(const String& host, unsigned short port)
    : mAddress(newAddress(0, port)) {
    if (const auto resolved = Detail::resolveIpv4(host)) {
        mAddress->mHost = *resolved;
        mAddress->mName = host;
    }
}

SocketAddress::SocketAddress(const Ipv4Address& address)
    : mAddress(new Ipv4Address(address)) {}

SocketAddress::SocketAddress(const SocketAddress& other)
    : mAddress(other.mAddress ? new Ipv4Address(*other.mAddress) : nullptr) {}

SocketAddress::SocketAddress(SocketAddress&& other) noexcept
    : mAddress(std::exchange(other.mAddress, nullptr)) {}

SocketAddress& SocketAddress::operator=(const SocketAddress& other) {
    if (this != &other) *this = SocketAddress(other);
    return *this;
}

SocketAddress& SocketAddress::operator=(SocketAddress&& other) noexcept {
    std::swap(mAddress, other.mAddress);
    return *this;
}

SocketAddress::~SocketAddress() {
    delete mAddress;
}

SocketAddress SocketAddress::anyAddress(unsigned short port) {
    return SocketAddress(Ipv4Address{0, port, {}});
}

SocketAddress SocketAddress::broadcast(unsigned short port) {
    return SocketAddress(Ipv4Address{0xFFFFFFFFu, port, {}});
}

SocketAddress SocketAddress::localhost(unsigned short port) {
    return SocketAddress(Ipv4Address{0x7F000001u, port, String(u"localhost")});
}

bool SocketAddress::isValid(const String& text) {
    const Stack<String> pieces = text.explode(u".", String::SKIP_EMPTY);
    if (pieces.size() != 4) return false;
    for (const String& piece : pieces) {
        const auto value = readNumber<int>(piece);
        if (!value || *value > 255) return false;
    }
    return true;
}

bool SocketAddress::isBroadcast() const {
    return toString() == String(u"255.255.255.255");
}

String SocketAddress::getHostName() const {
    if (!mAddress) return {};
    if (!mAddress->mName.isEmpty()) return mAddress->mName;
    if (auto name = Detail::lookUpHostName(mAddress->mHost)) return *name;
    return toString();
}

String SocketAddress::toString() const {
    return mAddress ? dottedText(mAddress->mHost) : String();
}

unsigned short SocketAddress::getPort() const {
    return mAddress ? mAddress->mPort : 0;
}

void SocketAddress::setPort(unsigned short port) {
    if (mAddress) mAddress->mPort = port;
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    return toString() == other.toString();
}

const Ipv4Address& SocketAddress::native() const {
    static const Ipv4Address unset;
    return mAddress ? *mAddress : unset;
}

// ---- Contexts and streams ----

Io::Path ReadDataContext::getFilePath(const XmlString&) const {
    // The line is part of the failure's text, which callers and peers have seen for years.
    Detail::throwStop(__FILE__, 183);
}

void ReadDataContext::onTransferStart(const XmlString&) const {}

void ReadDataContext::onTransferEnd(const XmlString&) const {}

DirectoryReadDataContext::DirectoryReadDataContext(const Io::Path& directory, const String& nameKey)
    : mDirectory(directory)
    , mNameKey(nameKey) {}

Io::Path DirectoryReadDataContext::getFilePath(const XmlString& header) const {
    const Optional<String> name = header.getChild(mNameKey);
    if (!name || name->isEmpty()) {
        throw Exception(u"The received file's header names no file (key " + mNameKey.quoted() + u")");
    }
    const auto refuse = [&](const char* reason) {
        return Exception(u"Refusing to store the received file " + name->quoted() + u" under '" +
                         mDirectory.genericStr() + u"': " + String::fromAscii(reason));
    };
    const Io::Path relative(*name);
    if (relative.isAbsolute()) throw refuse("the name is an absolute path");
    Io::Path result = mDirectory;
    for (const String& part : relative.genericStr().explode(u"/", String::SKIP_EMPTY)) {
        if (part == String(u"..")) throw refuse("the name leads out of the directory");
        if (part == String(u".")) continue;
        result /= part;
        if (Io::isLink(result)) throw refuse("the name leads through a symbolic link");
    }
    if (result == mDirectory) throw refuse("the name is not a file name");
    return result;
}

int64 SocketInputStream::readImpl(void* dst, int64 count) {
    const int64 got = mSocket->read(dst, count);
    mComplete = mSocket->isOk() && got == count;
    return got;
}

void SocketOutputStream::writeImpl(const void* src, int64 count) {
    mSocket->write(src, count);
}

// ---- TcpListener ----

TcpListener::TcpListener(const SocketAddress& address, unsigned int timeoutSeconds)
    : mSocket(new NativeSocket()) {
    mSocket->setTimeout(clampSeconds(timeoutSeconds));
    mSocket->listen(address.native());
}

TcpListener::TcpListener(TcpListener&& other) noexcept {
    ScopedLock guard(mLock);
    std::swap(mSocket, other.mSocket);
}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
    ScopedLock guard(mLock);
    std::swap(mSocket, other.mSocket);
    return *this;
}

TcpListener::~TcpListener() {
    close();
    delete mSocket;
}

bool TcpListener::isOk() const {
    ScopedLock guard(mLock);
    return mSocket && mSocket->isOk();
}

TcpSocket TcpListener::acceptConnection(bool wait) {
    ScopedLock guard(mLock);
    if (!mSocket || !mSocket->isOk()) return TcpSocket();
    return TcpSocket(mSocket->accept(wait));
}

void TcpListener::killPendingConnections() {
    if (!isOk()) return;
    ScopedLock guard(mLock);
    const int timeout = mSocket->getTimeout();
    mSocket->setTimeout(0);
    while (NativeSocket* pending = mSocket->accept(true))
        delete pending;
    mSocket->setTimeout(timeout);
}

void TcpListener::close() {
    // The native socket lives until destruction, so waking a waiting accept needs no lock.
    if (mSocket) mSocket->interrupt();
    ScopedLock guard(mLock);
    if (mSocket) mSocket->destroy();
}

// ---- TcpSocket ----

TcpSocket::TcpSocket(TcpSocket&& other) noexcept {
    ScopedLock guard(mLock);
    std::swap(mSocket, other.mSocket);
    mClosed.store(other.mClosed.exchange(mClosed.load()));
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    ScopedLock guard(mLock);
    std::swap(mSocket, other.mSocket);
    mClosed.store(other.mClosed.exchange(mClosed.load()));
    return *this;
}

TcpSocket::~TcpSocket() {
    close();
    delete mSocket;
}

bool TcpSocket::isOk() const {
    return !mClosed.load(std::memory_order_acquire) && mSocket && mSocket->isOk();
}

void TcpSocket::close() {
    mClosed.store(true, std::memory_order_release);
    // Wakes an operation blocked in another thread; it sees the closed flag and ends.
    if (mSocket) mSocket->interrupt();
    ScopedLock guard(mLock);
    if (mSocket) mSocket->destroy();
}

Optional<SocketAddress> TcpSocket::getPeerAddress() const {
    ScopedLock guard(mLock);
    if (!mSocket || !mSocket->isOk()) return {};
    const auto peer = mSocket->getPeer();
    if (!peer) return {};
    return SocketAddress(*peer);
}

// ---- TcpClient ----

TcpClient::TcpClient(const SocketAddress& address, unsigned int timeoutSeconds, bool requireConnection) {
    auto* socket = new NativeSocket();
    socket->setTimeout(clampSeconds(timeoutSeconds));
    const bool connected = socket->connect(address.native(), true);
    if (requireConnection && (!connected || !socket->isOk())) {
        delete socket;
        socket = nullptr;
    }
    ScopedLock guard(mLock);
    mSocket = socket;
}

bool TcpClient::connect(const SocketAddress& address) {
    if (!isOk()) return false;
    ScopedLock guard(mLock);
    return mSocket->connect(address.native(), true);
}

// ---- UdpSocket ----

UdpSocket::UdpSocket(const SocketAddress& address, Flags<ConstructFlag> flags)
    : mSocket(new NativeSocket())
    , mAddress(address) {
    uint32 native = 0;
    if (flags.has(ConstructFlag::BROADCAST)) native |= uint32(NativeSocket::Datagram::BROADCAST);
    if (flags.has(ConstructFlag::NO_BIND)) native |= uint32(NativeSocket::Datagram::NO_BIND);
    mSocket->openDatagram(address.native(), native);
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept {
    ScopedLock guard(mLock);
    std::swap(mSocket, other.mSocket);
    std::swap(mAddress, other.mAddress);
}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    ScopedLock guard(mLock);
    std::swap(mSocket, other.mSocket);
    std::swap(mAddress, other.mAddress);
    return *this;
}

UdpSocket::~UdpSocket() {
    close();
    delete mSocket;
}

bool UdpSocket::isOk() const {
    ScopedLock guard(mLock);
    return mSocket && mSocket->isOk();
}

void UdpSocket::close() {
    ScopedLock guard(mLock);
    if (mSocket) mSocket->destroy();
}

SocketAddress UdpSocket::getLocalAddress() const {
    return mAddress;
}

SocketResult UdpSocket::readString(XmlString& message, SocketAddress& sender) {
    ScopedLock guard(mLock);
    if (!mSocket || !mSocket->isOk()) return SocketResult::FAILURE;
    char buffer[512];
    Ipv4Address from;
    const int64 got = mSocket->receiveFrom(buffer, sizeof buffer, from);
    if (got == 0) return SocketResult::FAILURE;
    buffer[got - 1] = '\0'; // the frame's terminator: a full datagram loses its last byte
    message = XmlString::fromString(String::fromUtf8(buffer));
    sender = SocketAddress(from);
    return SocketResult::SUCCESS;
}

SocketResult UdpSocket::writeString(const XmlString& message,
                                    const Optional<SocketAddress>& destination) const {
    ScopedLock guard(mLock);
    if (!mSocket || !mSocket->isOk()) return SocketResult::FAILURE;
    const auto frame = message.toUtf8();
    const int64 length = std::max(frame.count(), 1);
    if (length >= 512) return SocketResult::FAILURE;
    const Ipv4Address& to = destination ? destination->native() : mAddress.native();
    return mSocket->sendTo(frame.cStr(), length, to) == length ? SocketResult::SUCCESS
                                                               : SocketResult::FAILURE;
}

// ---- The data-transfer protocol ----

/// The steps of the transfers; each runs with the socket's lock held and a native socket present.
struct TcpSocket::Transfer {
    TcpSocket& mOwner;
    NativeSocket& mSocket;

    [[nodiscard]] bool ok() const { return mOwner.isOk(); }

    // Repeats one write of `count` bytes until something went out or the socket failed; TIMEOUT when the
    // time limit passed, else SUCCESS (the caller checks the count).
    SocketResult writeRepeated(const void* src, int64 count, const Optional<int64>& timeLimit,
                               const Timer& timer) {
        SocketOutputStream out(mSocket);
        do {
            out.write(src, count);
            if (timeLimit && timer.getElapsed() > *timeLimit) return SocketResult::TIMEOUT;
        } while (ok() && mSocket.getLastWriteCount() == 0);
        return SocketResult::SUCCESS;
    }

    SocketResult sendHeader(int dataType, const XmlString& extra, const Optional<int64>& timeLimit) {
        const Timer timer;
        setTimeoutIfDifferent(mSocket, 1);
        XmlString header;
        header.addChild(u"DataType", decimal(dataType));
        header.addTree(extra);
        const auto bytes = header.toUtf8();
        const int64 length = bytes.count();
        const SocketResult written = writeRepeated(bytes.cStr(), length, timeLimit, timer);
        if (written != SocketResult::SUCCESS) return written;
        return mSocket.getLastWriteCount() == length && ok() ? SocketResult::SUCCESS : SocketResult::FAILURE;
    }

    // Sends `total` bytes in pieces; `piece(offset, count)` gives the bytes of each. `onShort` runs when a
    // piece does not go out completely.
    template <typename PieceSource, typename OnShort>
    SocketResult sendPieces(int64 total, const Optional<int64>& timeLimit, const Timer& timer,
                            PieceSource&& piece, OnShort&& onShort) {
        for (int64 offset = 0; offset < total;) {
            const int64 count = std::min(total - offset, PIECE);
            const SocketResult written = writeRepeated(piece(offset, count), count, timeLimit, timer);
            if (written != SocketResult::SUCCESS) return written;
            if (mSocket.getLastWriteCount() != count || !ok()) {
                onShort(offset);
                return SocketResult::FAILURE;
            }
            offset += count;
        }
        return SocketResult::SUCCESS;
    }

    SocketResult writeFile(const Io::Path& file, const XmlString& header, DataCompression compression,
                           DataType type, const Optional<int64>& timeLimit) {
        const Timer timer;
        const int64 size = Io::fileSize(file);
        if (size < 0) return SocketResult::FAILURE;
        Io::FileInputStream in(file);
        Stack<std::byte> buffer = pieceBuffer();
        Io::ArrayOutputStream compressedData;
        const bool deflate = compression == DataCompression::DEFLATE;
        if (deflate) {
            Io::DeflateOutputStream compressor(makeAutoPtr<Io::ForwardingBinaryOutputStream>(compressedData));
            for (int64 got; (got = in.read(buffer.data(), PIECE)) > 0;)
                compressor.write(buffer.data(), got);
            compressor.close();
        }
        const ArrayView<const std::byte> compressedBytes = compressedData.data();
        XmlString meta = header;
        meta.addChild(u"FileSize", decimal(size));
        meta.addChild(u"Compressed", decimal(int64(compression)));
        if (deflate) meta.addChild(u"CompressedSize", decimal(compressedBytes.size()));
        const SocketResult sent = sendHeader(int(type), meta, timeLimit);
        if (sent != SocketResult::SUCCESS) return sent;
        setTimeoutIfDifferent(mSocket, timeLimit ? clampSeconds(*timeLimit / 1000) : 120);
        const auto noNotice = [](int64) {};
        if (deflate) {
            return sendPieces(
                compressedBytes.size(), timeLimit, timer,
                [&](int64 offset, int64) { return compressedBytes.data() + offset; }, noNotice);
        }
        return sendPieces(
            size, timeLimit, timer,
            [&](int64, int64 count) {
                Io::readRequired(in, buffer.data(), count);
                return buffer.data();
            },
            noNotice);
    }

    SocketResult writeRawMemory(ArrayView<const std::byte> data, const XmlString& header,
                                DataCompression compression, DataType type,
                                const Optional<int64>& timeLimit) {
        const Timer timer;
        XmlString meta = header;
        meta.addChild(u"FileSize", decimal(data.size()));
        meta.addChild(u"Compressed", decimal(int64(compression)));
        const SocketResult sent = sendHeader(int(type), meta, timeLimit);
        if (sent != SocketResult::SUCCESS) return sent;
        // A given limit's millisecond value becomes the time-out in seconds, as peers have always done.
        setTimeoutIfDifferent(mSocket, timeLimit ? clampSeconds(*timeLimit) : 3600);
        return sendPieces(
            data.size(), timeLimit, timer, [&](int64 offset, int64) { return data.data() + offset; },
            [&](int64 offset) {
                debugPrint("!!!!! FAILED TO WRITE CHUNK " + std::to_string(offset) + " / " +
                           std::to_string(data.size()));
            });
    }

    // Reads the header's text up to its zero byte; false when the socket failed, nothing came within a
    // second, the header passed HEADER_LIMIT or took longer than the header limit once begun.
    bool readHeaderText(std::string& text) {
        setTimeoutIfDifferent(mSocket, 1);
        const int64 limitMs = gHeaderLimitMs.load();
        Optional<Timer> sinceFirstByte;
        char chunk[HEADER_CHUNK];
        for (;;) {
            if (!ok()) return false;
            const int64 window = std::min<int64>(HEADER_CHUNK, HEADER_LIMIT + 1 - int64(text.size()));
            const int64 queued = mSocket.peek(chunk, window);
            if (queued == 0) return false;
            const void* zero = std::memchr(chunk, 0, size_t(queued));
            const int64 take = zero ? static_cast<const char*>(zero) - chunk + 1 : queued;
            if (mSocket.read(chunk, take) != take) return false;
            if (zero) {
                text.append(chunk, size_t(take - 1));
                return true;
            }
            text.append(chunk, size_t(take));
            if (int64(text.size()) > HEADER_LIMIT) {
                debugPrint("Received header longer than " + std::to_string(HEADER_LIMIT) + " bytes");
                return false;
            }
            if (!sinceFirstByte) sinceFirstByte = Timer();
            if (sinceFirstByte->getElapsed() > limitMs) {
                debugPrint("Received header incomplete after " + std::to_string(limitMs) + " ms");
                return false;
            }
        }
    }

    // Receives `size` bytes into `data`, which grows as they arrive; each piece must come within the
    // socket's time-out.
    bool receiveBytes(Stack<std::byte>& data, int64 size) {
        data.clear();
        SocketInputStream in(mSocket);
        for (int64 received = 0; received < size;) {
            const int64 count = std::min(size - received, PIECE);
            if (data.capacity() < received + count) {
                data.reserve(int32(std::min(size, std::max(received + count, int64(data.capacity()) * 2))));
            }
            data.resize(int32(received + count));
            in.read(data.data() + received, count);
            if (mSocket.getLastReadCount() != count || !ok()) return false;
            received += count;
        }
        return true;
    }

    SocketResult receiveRaw(ReceivedRawData& item, const XmlString& header, const ReadDataContext& context) {
        const Metadata meta = readMetadata(header);
        context.onTransferStart(header);
        try {
            SocketResult result = SocketResult::FAILURE;
            debugPrint("Receiving data of size ", meta.mSize);
            if (meta.mSize < 1 || meta.mSize > RAW_LIMIT) {
                debugPrint("Received invalid XML header (couldn't read file size)");
            } else {
                setTimeoutIfDifferent(mSocket, 5);
                if (receiveBytes(item.mData, int64(meta.mSize))) {
                    item.mHeader = header;
                    debugPrint("Data successfully received");
                    result = SocketResult::SUCCESS;
                } else {
                    item.mData.clear();
                }
            }
            context.onTransferEnd(header);
            return result;
        } catch (...) {
            context.onTransferEnd(header);
            throw;
        }
    }

    // The uncompressed file body: `size` bytes to `file`.
    bool receivePlain(Io::FileOutputStream& file, int64 size) {
        SocketInputStream in(mSocket);
        Stack<std::byte> buffer = pieceBuffer();
        ProgressGuard progress;
        for (int64 remaining = size; remaining > 0;) {
            const int64 count = std::min(remaining, PIECE);
            in.read(buffer.data(), count);
            const int64 got = mSocket.getLastReadCount();
            if (got != count) {
                debugPrint("Received less data than I should: " + std::to_string(got) + "/" +
                           std::to_string(count));
            }
            file.write(buffer.data(), got);
            remaining -= got;
            debugPrint("Read piece, remaining " + std::to_string(remaining));
            if (!ok() || (remaining > 0 && progress.stalled(got))) return false;
        }
        return true;
    }

    // The compressed bytes of a file as a stream: at most one piece per read, the socket's one-second
    // waits repeated while bytes keep coming.
    class CompressedSource : public Io::BinaryInputStream {
    public:
        CompressedSource(Transfer& transfer, int64 size)
            : mTransfer(transfer)
            , mRemaining(size) {}
        [[nodiscard]] int64 remaining() const { return mRemaining; }

    protected:
        int64 readImpl(void* dst, int64 count) override {
            mEof = mRemaining == 0;
            const int64 want = std::min({count, mRemaining, PIECE});
            while (want > 0) {
                const int64 got = mTransfer.mSocket.read(dst, want);
                mRemaining -= got;
                if (!mTransfer.ok()) throw Exception("The connection ended during the compressed data");
                if (mProgress.stalled(got)) throw Exception("The compressed data stalled");
                if (got > 0) return got;
            }
            return 0;
        }
        [[nodiscard]] bool eofImpl() const override { return mEof; }

    private:
        Transfer& mTransfer;
        int64 mRemaining;
        ProgressGuard mProgress;
        bool mEof = false;
    };

    // The compressed file body: one zlib stream of `compressedSize` bytes that inflates to exactly
    // `size` bytes.
    bool receiveCompressed(Io::FileOutputStream& file, int64 size, int64 compressedSize) {
        CompressedSource source(*this, compressedSize);
        {
            Io::DeflateInputStream inflater(makeAutoPtr<Io::ForwardingBinaryInputStream>(source));
            Stack<std::byte> buffer = pieceBuffer();
            for (int64 written = 0; written < size;) {
                const int64 got = inflater.read(buffer.data(), std::min(size - written, PIECE));
                if (got == 0) {
                    debugPrint("Received file is shorter than announced: " + std::to_string(written) + "/" +
                               std::to_string(size));
                    return false;
                }
                file.write(buffer.data(), got);
                written += got;
            }
            std::byte extra;
            if (inflater.read(&extra, 1) > 0) {
                debugPrint("Received file is longer than announced: " + std::to_string(size));
                return false;
            }
        }
        std::byte trailing;
        if (source.remaining() > 0 || source.read(&trailing, 1) > 0) {
            debugPrint("Received compressed data longer than its stream");
            return false;
        }
        return true;
    }

    SocketResult receiveFile(ReceivedFile& item, const XmlString& header, const ReadDataContext& context) {
        const Io::Path path = context.getFilePath(header);
        context.onTransferStart(header);
        const Timer timer;
        const Metadata meta = readMetadata(header);
        const Optional<uint64> compressedSize = [&]() -> Optional<uint64> {
            if (!meta.mCompressed) return uint64(0);
            const auto text = header.getChild(u"CompressedSize");
            return text ? readNumber<uint64>(*text) : Optional<uint64>();
        }();
        // Sizes that are missing or beyond the signed 64-bit range (a negative number read unsigned) are
        // refused before the file is created.
        if (!meta.mValid || !compressedSize || meta.mSize > uint64(INT64_MAX) ||
            *compressedSize > uint64(INT64_MAX)) {
            context.onTransferEnd(header);
            return SocketResult::FAILURE;
        }
        // Only a file this receive created is removed on failure (never a device or a file the caller had).
        bool created = false;
        try {
            const bool existed = Io::pathExists(path);
            Io::FileOutputStream file(path);
            created = !existed;
            setTimeoutIfDifferent(mSocket, 1);
            const bool received = meta.mCompressed
                                      ? receiveCompressed(file, int64(meta.mSize), int64(*compressedSize))
                                      : receivePlain(file, int64(meta.mSize));
            file.close();
            if (!received) throw Exception("The file was not received completely");
            item.mPath = path;
            item.mHeader = header;
            item.mTransferTime = int32(std::min<int64>(timer.getElapsed(), INT32_MAX));
            debugPrint("Successfully read scene");
            context.onTransferEnd(header);
            return SocketResult::SUCCESS;
        } catch (const Exception& failure) {
            debugPrint("Receiving the file failed:", failure.getMessage());
            if (created) Io::removeFile(path);
            context.onTransferEnd(header);
            return SocketResult::FAILURE;
        } catch (...) {
            if (created) Io::removeFile(path);
            context.onTransferEnd(header);
            throw;
        }
    }
};

SocketResult TcpSocket::writeString(const XmlString& message, const Optional<int64>& timeLimit) {
    if (!isOk()) return SocketResult::FAILURE;
    ScopedLock guard(mLock);
    if (!isOk()) return SocketResult::FAILURE;
    return Transfer{*this, *mSocket}.sendHeader(int(DataType::STRING), message, timeLimit);
}

SocketResult TcpSocket::readString(XmlString& message) {
    ReceivedData item;
    const SocketResult result = readData(item, ReadDataContext());
    if (result != SocketResult::SUCCESS || !item.is<XmlString>()) return SocketResult::FAILURE;
    message = item.get<XmlString>();
    return SocketResult::SUCCESS;
}

SocketResult TcpSocket::writeFile(const Io::Path& file, const XmlString& header, DataCompression compression,
                                  DataType type, const Optional<int64>& timeLimit) {
    if (!isOk()) return SocketResult::FAILURE;
    ScopedLock guard(mLock);
    if (!isOk()) return SocketResult::FAILURE;
    try {
        return Transfer{*this, *mSocket}.writeFile(file, header, compression, type, timeLimit);
    } catch (const Exception&) {
        return SocketResult::FAILURE;
    }
}

SocketResult TcpSocket::writeRawMemory(ArrayView<const std::byte> data, const XmlString& header,
                                       DataCompression compression, DataType type,
                                       const Optional<int64>& timeLimit) {
    KALVEX_SCOPE_ELAPSED_TIME("Function call: ", "Kalvex::TcpSocket::writeRawMemory");
    if (!isOk()) return SocketResult::FAILURE;
    ScopedLock guard(mLock);
    if (!isOk()) return SocketResult::FAILURE;
    return Transfer{*this, *mSocket}.writeRawMemory(data, header, compression, type, timeLimit);
}

SocketResult TcpSocket::writeData(const ReceivedData& item, DataCompression compression, DataType type) {
    if (item.is<XmlString>()) return writeString(item.get<XmlString>());
    if (item.is<ReceivedFile>()) {
        const ReceivedFile& file = item.get<ReceivedFile>();
        return writeFile(file.mPath, file.mHeader, compression, type);
    }
    if (item.is<ReceivedRawData>()) {
        const ReceivedRawData& raw = item.get<ReceivedRawData>();
        return writeRawMemory(raw.mData, raw.mHeader, compression, type);
    }
    return SocketResult::FAILURE;
}

SocketResult TcpSocket::readData(ReceivedData& item, const ReadDataContext& context) {
    if (!isOk()) return SocketResult::FAILURE;
    ScopedLock guard(mLock);
    if (!isOk()) return SocketResult::FAILURE;
    Transfer transfer{*this, *mSocket};
    std::string text;
    if (!transfer.readHeaderText(text)) return SocketResult::FAILURE;
    const String headerText = String::fromUtf8(std::string_view(text));
    debugPrint("Received header: ", headerText);
    const XmlString header = XmlString::fromString(headerText);
    const Optional<String> typeText = header.getChild(u"DataType");
    if (!typeText) return SocketResult::FAILURE;
    const int index = readNumber<int>(*typeText).valueOr(0) & 0xFF;
    switch (index) {
    case int(DataType::STRING):
        item.set(header);
        return SocketResult::SUCCESS;
    case int(DataType::FILE):
        if (!item.is<ReceivedFile>()) item.set(ReceivedFile());
        return transfer.receiveFile(item.get<ReceivedFile>(), header, context);
    case int(DataType::RAW_DATA):
        if (!item.is<ReceivedRawData>()) item.set(ReceivedRawData());
        return transfer.receiveRaw(item.get<ReceivedRawData>(), header, context);
    case 3:
        throw Exception("Visiting Variant without type");
    default:
        throwInvalidVariantIndex(index + 1);
    }
}

// ---- Limits ----

Detail::TransferLimits Detail::getTransferLimits() {
    return {gHeaderLimitMs.load(), gFilePieceLimitMs.load()};
}

Detail::TransferLimits Detail::setTransferLimits(const TransferLimits& limits) {
    return {gHeaderLimitMs.exchange(limits.mHeaderMs), gFilePieceLimitMs.exchange(limits.mFilePieceMs)};
}

} // namespace Kalvex

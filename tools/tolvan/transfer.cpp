// tolvan send / tolvan receive: one file over the library's data-transfer protocol. The receiver keeps
// every file inside its directory through DirectoryReadDataContext, which refuses names that would leave
// it, and draws the progress of each file it receives.
#include "command.h"
#include "progress.h"

#include "tolvan/io/filesystem.h"
#include "tolvan/net/sockets.h"
#include "tolvan/utility/timer.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace Kalvex::Tools {

namespace {

constexpr unsigned CONNECT_TIMEOUT_SECONDS = 10;
// A connection that starts no transfer for this long is closed, so one silent peer cannot hold the
// receiver.
constexpr int64 IDLE_CONNECTION_MS = 30000;

struct HostPort {
    String host;
    unsigned short port = 0;
};

HostPort parseHostPort(const String& text) {
    const int colon = text.findLastOf(u':');
    if (colon == String::nPos || colon == 0) throw UsageError(u"expected HOST:PORT, not " + text.quoted());
    return {text.getSubstr(0, colon),
            (unsigned short)parseNumber(text.getSubstr(colon + 1), 1, 65535, "the port")};
}

// Adds the "--key name=value" pairs to `header`.
void addKeys(XmlString& header, const Stack<String>& pairs) {
    for (const String& pair : pairs) {
        const int equals = pair.find(u'=');
        if (equals == String::nPos || equals == 0)
            throw UsageError(u"--key expects name=value, not " + pair.quoted());
        header.addChild(pair.getSubstr(0, equals), pair.getSubstr(equals + 1));
    }
}

const char* resultText(SocketResult result) {
    switch (result) {
    case SocketResult::SUCCESS:
        return "success";
    case SocketResult::TIMEOUT:
        return "the time limit ran out";
    default:
        return "the connection failed or the file could not be read";
    }
}

// The directory context with a progress bar: while a file is being received, a watcher thread draws how
// far the stored file has grown.
class ReceiveContext : public DirectoryReadDataContext {
public:
    using DirectoryReadDataContext::DirectoryReadDataContext;
    ~ReceiveContext() override { stopWatcher(); }

    Io::Path getFilePath(const XmlString& header) const override {
        mPath = DirectoryReadDataContext::getFilePath(header);
        return mPath;
    }
    void onTransferStart(const XmlString& header) const override {
        mStarted = true;
        const int64 total =
            std::strtoll(header.getChild(u"FileSize").valueOr(u"0").toUtf8().cStr(), nullptr, 10);
        const String name = header.getChild(u"FileName").valueOr(u"data");
        stopWatcher();
        mStop = false;
        mWatcher = std::thread([this, name, total] { watch(name, total); });
    }
    void onTransferEnd(const XmlString&) const override { stopWatcher(); }

    /// Whether a payload began since the last call (a failure after that leaves the connection unusable).
    bool takeStarted() {
        const bool started = mStarted;
        mStarted = false;
        return started;
    }

private:
    void watch(const String& name, int64 total) const {
        ProgressBar bar(u"receiving " + name, total);
        std::unique_lock<std::mutex> lock(mMutex);
        while (!mWake.wait_for(lock, std::chrono::milliseconds(100), [this] { return mStop; }))
            bar.update(std::max<int64>(Io::fileSize(mPath), 0));
    }
    void stopWatcher() const {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mStop = true;
        }
        mWake.notify_all();
        if (mWatcher.joinable()) mWatcher.join();
    }

    mutable Io::Path mPath;
    mutable bool mStarted = false;
    mutable std::thread mWatcher;
    mutable std::mutex mMutex;
    mutable std::condition_variable mWake;
    mutable bool mStop = false;
};

void reportReceived(const ReceivedData& item) {
    if (item.is<ReceivedFile>()) {
        const ReceivedFile& file = item.get<ReceivedFile>();
        const bool compressed = file.mHeader.contains(u"Compressed", u"1");
        std::printf("Received %s (%lld bytes%s) in %d ms\n", file.mPath.platformStr().cStr(),
                    (long long)Io::fileSize(file.mPath), compressed ? ", sent compressed" : "",
                    int(file.mTransferTime));
    } else if (item.is<ReceivedRawData>()) {
        std::printf("Received a data block of %d bytes\n", int(item.get<ReceivedRawData>().mData.size()));
    } else {
        std::printf("Received the message %s\n", item.get<XmlString>().toUtf8().cStr());
    }
    std::fflush(stdout);
}

enum class ConnectionEnd { CLOSED, RECEIVED_ONE, FAILED };

// Receives transfers from one connection until it closes, stays idle too long or (with `once`) one
// transfer arrived.
ConnectionEnd serveConnection(TcpSocket& connection, ReceiveContext& context, bool once) {
    Timer idle;
    while (connection.isOk() && idle.getElapsed() < IDLE_CONNECTION_MS) {
        ReceivedData item;
        SocketResult result = SocketResult::FAILURE;
        try {
            result = connection.readData(item, context);
        } catch (const Exception& failure) {
            std::fprintf(stderr, "tolvan receive: %s\n", failure.what());
            return ConnectionEnd::FAILED;
        }
        if (result == SocketResult::SUCCESS) {
            reportReceived(item);
            if (once) return ConnectionEnd::RECEIVED_ONE;
            idle.reset();
        } else if (context.takeStarted()) {
            std::fprintf(stderr, "tolvan receive: the transfer from the peer did not complete\n");
            return ConnectionEnd::FAILED;
        }
    }
    return ConnectionEnd::CLOSED;
}

} // namespace

int runSend(ArrayView<const String> words) {
    FlagArgument deflate(u"", u"deflate", u"compress the file with deflate before sending");
    ValueArgument keys(u"", u"key", u"name=value", u"an extra header key (repeatable)");
    CommandLine::Parser parser;
    parser.addArgument(deflate);
    parser.addArgument(keys);
    const Stack<String> values = parseWords(parser, words, 2, 2);
    const Io::Path file(values[0]);
    const HostPort target = parseHostPort(values[1]);
    XmlString header(u"FileName", file.fileName());
    addKeys(header, keys.getValues());
    if (!Io::fileExists(file)) throw Exception(u"cannot send '" + file.genericStr() + u"': no such file");
    TcpClient client(SocketAddress(target.host, target.port), CONNECT_TIMEOUT_SECONDS, true);
    if (!client.isOk()) {
        throw Exception(u"cannot connect to " + target.host + u":" +
                        String::fromUtf8(std::to_string(target.port)));
    }
    const Timer timer;
    const SocketResult result = client.writeFile(
        file, header, deflate.isPresent() ? DataCompression::DEFLATE : DataCompression::NONE);
    if (result != SocketResult::SUCCESS) {
        std::fprintf(stderr, "tolvan send: sending '%s' failed: %s\n", file.platformStr().cStr(),
                     resultText(result));
        return EXIT_FAILED;
    }
    std::printf("Sent %s (%lld bytes%s) to %s:%u in %lld ms\n", file.platformStr().cStr(),
                (long long)Io::fileSize(file), deflate.isPresent() ? ", compressed" : "",
                target.host.toUtf8().cStr(), unsigned(target.port), (long long)timer.getElapsed());
    return EXIT_OK;
}

int runReceive(ArrayView<const String> words) {
    FlagArgument once(u"", u"once", u"stop after the first transfer (exit 1 when it failed)");
    ValueArgument bind(u"", u"bind", u"ADDRESS", u"the address to listen on (default 127.0.0.1)");
    CommandLine::Parser parser;
    parser.addArgument(once);
    parser.addArgument(bind);
    const Stack<String> values = parseWords(parser, words, 2, 2);
    const auto port = (unsigned short)parseNumber(values[0], 1, 65535, "the port");
    const Io::Path directory(values[1]);
    const String host = bind.getLast().valueOr(u"127.0.0.1");
    if (!Io::dirExists(directory)) throw Exception(u"'" + directory.genericStr() + u"' is not a directory");

    TcpListener listener(SocketAddress(host, port), 1);
    const String where = host + u":" + String::fromUtf8(std::to_string(port));
    if (!listener.isOk()) throw Exception(u"cannot listen on " + where + u" (is the port in use?)");
    std::printf("Listening on %s, storing files in %s\n", where.toUtf8().cStr(),
                directory.platformStr().cStr());
    std::fflush(stdout);

    ReceiveContext context(directory);
    for (;;) {
        TcpSocket connection = listener.acceptConnection(true);
        if (!connection.isOk()) continue;
        const ConnectionEnd end = serveConnection(connection, context, once.isPresent());
        connection.close();
        if (once.isPresent() && end != ConnectionEnd::CLOSED)
            return end == ConnectionEnd::RECEIVED_ONE ? EXIT_OK : EXIT_FAILED;
    }
}

} // namespace Kalvex::Tools

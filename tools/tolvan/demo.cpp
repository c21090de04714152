// tolvan demo (and tolvan without arguments): a scene file's trip from one process to another, in one
// process. A receiver listens on 127.0.0.1, a generated scene (XML and binary data) is sent compressed
// with TcpSocket::writeFile, the received copy is compared by SHA-256, and the transfer time, the
// compression ratio and the memory statistics are printed.
#include "command.h"

#include "tolvan/io/filesystem.h"
#include "tolvan/io/stream.h"
#include "tolvan/net/sockets.h"
#include "tolvan/platform/systeminfo.h"
#include "tolvan/utility/timer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace Kalvex::Tools {

namespace {

constexpr int OBJECT_COUNT = 6000;
constexpr int64 VERTEX_COUNT = 96 * 1024;
constexpr unsigned TIMEOUT_SECONDS = 10;

// A scene description: XML objects with transforms and materials, then a zero byte and the vertex
// positions and normals as little-endian floats, as a renderer's scene file carries them.
void writeScene(const Io::Path& path) {
    Io::FileOutputStream out(path);
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<scene name=\"kitchen\" units=\"cm\">\n";
    uint32 random = 12345;
    const auto next = [&random] { return random = random * 1664525u + 1013904223u; };
    char line[512];
    for (int i = 0; i < OBJECT_COUNT; ++i) {
        std::snprintf(line, sizeof line,
                      "  <object name=\"mesh_%05d\" material=\"mat_%03u\" visible=\"1\">\n"
                      "    <transform>%.4f 0 0 %.3f 0 %.4f 0 %.3f 0 0 1 %.3f</transform>\n"
                      "    <bounds min=\"%d %d %d\" max=\"%d %d %d\"/>\n  </object>\n",
                      i, next() % 200, 1.0 + (next() % 100) / 1000.0, (next() % 100000) / 100.0,
                      1.0 + (next() % 100) / 1000.0, (next() % 100000) / 100.0, (next() % 30000) / 100.0,
                      -int(next() % 50), -int(next() % 50), 0, int(next() % 50), int(next() % 50),
                      int(next() % 80));
        xml += line;
    }
    xml += "</scene>\n";
    out.write(xml.data(), int64(xml.size() + 1));
    Stack<float> vertices;
    vertices.resize(int32(VERTEX_COUNT * 6));
    for (int64 v = 0; v < VERTEX_COUNT; ++v) {
        const float u = float(v % 512) / 512.f, w = float(v / 512) / 512.f;
        float* p = vertices.data() + v * 6;
        p[0] = u * 100.f, p[1] = w * 100.f, p[2] = float(next() % 64) / 8.f;
        p[3] = 0.f, p[4] = 0.f, p[5] = 1.f;
    }
    out.write(vertices.data(), int64(vertices.size()) * int64(sizeof(float)));
    out.close();
}

// A listener on a free port of 127.0.0.1: ports are tried from a start that depends on the process.
struct Listening {
    TcpListener listener;
    unsigned short port;
};

Listening listenOnFreePort() {
    const unsigned start = 41000 + unsigned(getProcessNumber() % 1000) * 7;
    for (unsigned attempt = 0; attempt < 500; ++attempt) {
        const auto port = (unsigned short)(start + attempt % 20000);
        TcpListener listener(SocketAddress(u"127.0.0.1", port), TIMEOUT_SECONDS);
        if (listener.isOk()) return {std::move(listener), port};
    }
    throw Exception("cannot find a free port on 127.0.0.1 for the receiver");
}

struct Reception {
    SocketResult result = SocketResult::FAILURE;
    ReceivedFile file;
    std::string failure;
};

// Accepts one connection and receives one file into `directory`.
void receiveOne(TcpListener& listener, const Io::Path& directory, Reception& reception) {
    try {
        TcpSocket connection = listener.acceptConnection(true);
        if (!connection.isOk()) {
            reception.failure = "no connection came to the receiver";
            return;
        }
        ReceivedData item;
        const DirectoryReadDataContext context(directory);
        // The first reads may find nothing yet while the sender compresses: wait while the peer is there.
        const Timer timer;
        do {
            reception.result = connection.readData(item, context);
        } while (reception.result != SocketResult::SUCCESS && connection.isOk() &&
                 timer.getElapsed() < TIMEOUT_SECONDS * 1000);
        if (reception.result == SocketResult::SUCCESS && item.is<ReceivedFile>()) {
            reception.file = item.get<ReceivedFile>();
        } else {
            reception.result = SocketResult::FAILURE;
            reception.failure = "the receiver got no file";
        }
    } catch (const std::exception& failure) {
        reception.failure = failure.what();
    }
}

int64 headerNumber(const XmlString& header, const char16_t* key) {
    return std::strtoll(header.getChild(key).valueOr(u"0").toUtf8().cStr(), nullptr, 10);
}

int runTypicalRoad(const Io::Path& work) {
    const Io::Path scene = work / u"kitchen.kxs";
    const Io::Path inbox = work / u"received";
    if (!Io::createDirs(inbox)) throw Exception(u"cannot create '" + inbox.genericStr() + u"'");
    writeScene(scene);
    const int64 size = Io::fileSize(scene);
    std::printf("Scene: %s, %lld bytes (%d XML objects, %lld vertices)\n", scene.platformStr().cStr(),
                (long long)size, OBJECT_COUNT, (long long)VERTEX_COUNT);

    Listening listening = listenOnFreePort();
    std::printf("Receiver: listening on 127.0.0.1:%u\n", unsigned(listening.port));
    Reception reception;
    std::thread receiver([&] { receiveOne(listening.listener, inbox, reception); });
    const Timer timer;
    SocketResult sent = SocketResult::FAILURE;
    {
        TcpClient client(SocketAddress::localhost(listening.port), TIMEOUT_SECONDS, true);
        XmlString header(u"FileName", u"kitchen.kxs");
        header.addChild(u"Job", u"demo");
        if (client.isOk()) sent = client.writeFile(scene, header, DataCompression::DEFLATE);
    }
    receiver.join();
    const int64 elapsed = timer.getElapsed();
    if (sent != SocketResult::SUCCESS) throw Exception("sending the scene with writeFile failed");
    if (reception.result != SocketResult::SUCCESS) throw Exception(reception.failure.c_str());

    const int64 compressed = headerNumber(reception.file.mHeader, u"CompressedSize");
    std::printf("Sent with writeFile (deflate): %lld bytes on the wire, compression ratio %.2f : 1\n",
                (long long)compressed, compressed > 0 ? double(size) / double(compressed) : 0.0);
    std::printf("Transfer time: %lld ms in all (compression included), %d ms on the receiver\n",
                (long long)elapsed, int(reception.file.mTransferTime));
    const String sentHash = sha256OfFile(scene);
    const String receivedHash = sha256OfFile(reception.file.mPath);
    std::printf("SHA-256 sent:     %s\nSHA-256 received: %s\n", sentHash.toUtf8().cStr(),
                receivedHash.toUtf8().cStr());
    if (!(sentHash == receivedHash)) {
        std::fprintf(stderr, "tolvan demo: the received file differs from the sent one\n");
        return EXIT_FAILED;
    }
    std::printf("Received %s: identical\n", reception.file.mPath.platformStr().cStr());
    std::printf("Memory statistics:\n%s\n", getFormattedMemoryStatistics(u"tolvan demo").toUtf8().cStr());
    return EXIT_OK;
}

} // namespace

int runDemo(ArrayView<const String> words) {
    CommandLine::Parser parser;
    (void)parseWords(parser, words, 0, 0);
    std::printf("The typical road: a scene file sent compressed from one process to another\n");
    const Expected<Io::Path, String> temporary = Io::StandardPaths::temporary();
    if (!temporary) throw Exception(temporary.error());
    const Expected<Io::Path, String> work = Io::createRandomNamedDirectory(*temporary);
    if (!work) throw Exception(work.error());
    try {
        const int code = runTypicalRoad(*work);
        Io::removeDirRecursive(*work);
        return code;
    } catch (...) {
        Io::removeDirRecursive(*work);
        throw;
    }
}

} // namespace Kalvex::Tools

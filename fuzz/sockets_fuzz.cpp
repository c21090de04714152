// Arbitrary bytes from a peer fed to the receiver of the data-transfer protocol over a loopback
// connection: readData never crashes, leaks or hangs, a transfer it reports as complete holds exactly
// the announced number of bytes, and files stay inside the receiving directory. The only exceptions
// that leave readData are the ones it documents (DataType 3 and above, refused file names).
//
// When the corpus directory is empty, seeds next to every limit are written into it first: a header of
// exactly 1 MiB and one a byte longer (which also makes -max_len large enough), raw sizes at 0, 1 and
// the 2^31 - 1 edge, compressed files that inflate to one byte more or less than announced.
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/deflatestream.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/net/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Kalvex;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

std::string frame(const std::string& text) {
    return text + std::string(1, '\0');
}

std::string compressed(const std::string& bytes) {
    Io::ArrayOutputStream memory;
    Io::DeflateOutputStream deflate(makeAutoPtr<Io::ForwardingBinaryOutputStream>(memory));
    deflate.write(bytes.data(), int64(bytes.size()));
    deflate.close();
    const auto data = memory.data();
    return std::string(reinterpret_cast<const char*>(data.data()), size_t(data.size()));
}

std::string fileHeader(const std::string& size, const std::string& extra) {
    return frame("<root><DataType>1</DataType><FileName>f</FileName><FileSize>" + size + "</FileSize>" +
                 extra + "</root>");
}

std::string rawHeader(const std::string& size) {
    return frame("<root><DataType>2</DataType><FileSize>" + size +
                 "</FileSize><Compressed>0</Compressed></root>");
}

std::vector<std::string> seeds() {
    const std::string head = "<root><DataType>0</DataType><k>";
    const std::string tail = "</k></root>";
    const std::string content(3000, 'c');
    const std::string stream = compressed(content);
    const auto packed = [&](size_t announced) {
        return fileHeader(std::to_string(announced), "<Compressed>1</Compressed><CompressedSize>" +
                                                         std::to_string(stream.size()) +
                                                         "</CompressedSize>") +
               stream;
    };
    return {
        frame("<root><DataType>0</DataType><cmd>go</cmd></root>"),
        frame(head + std::string(1048576 - head.size() - tail.size(), 'a') + tail),
        std::string(1048577, 'b'),
        rawHeader("0"),
        rawHeader("1") + "x",
        rawHeader("2147483647") + "xyz",
        rawHeader("2147483648") + "xyz",
        rawHeader("-1"),
        fileHeader("5", "<Compressed>0</Compressed>") + "hello",
        fileHeader("70000", "<Compressed>0</Compressed>") + std::string(70000, 'p'),
        packed(content.size()),
        packed(content.size() - 1),
        packed(content.size() + 1),
        fileHeader("5", "<Compressed>1</Compressed>") + "hello",
        frame("<root><DataType>1</DataType><FileName>../up</FileName><FileSize>1</FileSize>"
              "<Compressed>0</Compressed></root>x"),
        frame("<root><DataType>3</DataType></root>"),
        frame("<root><DataType>7</DataType></root>"),
        frame("<root><DataType>258</DataType><FileSize>2</FileSize><Compressed>0</Compressed></root>zz"),
        frame("<root><cmd>go</cmd></root>"),
        frame("<root><DataType>0</DataType></root>") + rawHeader("3") + "abc",
    };
}

// Writes the seeds when the first corpus directory on the command line is empty.
void writeSeeds(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') continue;
        const std::filesystem::path corpus(argv[i]);
        if (!std::filesystem::is_directory(corpus) || !std::filesystem::is_empty(corpus)) return;
        int n = 0;
        for (const std::string& seed : seeds())
            std::ofstream(corpus / ("seed" + std::to_string(n++)), std::ios::binary) << seed;
        return;
    }
}

struct Receiver {
    std::unique_ptr<TcpListener> mListener;
    unsigned short mPort = 0;
    std::filesystem::path mDirectory;
};

Receiver& receiver() {
    static Receiver instance = [] {
        Receiver r;
        char pattern[] = "/tmp/tolvan_sockets_fuzz_XXXXXX";
        check(::mkdtemp(pattern) != nullptr);
        r.mDirectory = pattern;
        for (unsigned port = 45000 + unsigned(::getpid() % 500) * 10; port < 65000; ++port) {
            r.mListener = std::make_unique<TcpListener>(SocketAddress(u"127.0.0.1", (unsigned short)port), 5);
            if (r.mListener->isOk()) {
                r.mPort = (unsigned short)port;
                break;
            }
        }
        check(r.mPort != 0);
        return r;
    }();
    return instance;
}

int connectTo(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    return fd;
}

// Sends the bytes and then ends the sending direction, so the receiver sees the end at once.
void sendAll(int fd, const uint8_t* data, size_t size) {
    for (size_t sent = 0; sent < size;) {
        const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += size_t(n);
    }
    ::shutdown(fd, SHUT_WR);
}

// The FileSize the receiver went by: the number at the start of the value, read as it reads it.
uint64_t announcedSize(const XmlString& header) {
    return std::strtoull(header.getChild(u"FileSize").value().toUtf8().cStr(), nullptr, 10);
}

void checkReceived(const ReceivedData& item) {
    if (item.is<ReceivedRawData>()) {
        const ReceivedRawData& raw = item.get<ReceivedRawData>();
        check(announcedSize(raw.mHeader) == uint64_t(raw.mData.size()));
    } else if (item.is<ReceivedFile>()) {
        const ReceivedFile& file = item.get<ReceivedFile>();
        const std::string stored = file.mPath.genericStr().toUtf8().cStr();
        check(stored.rfind(receiver().mDirectory.string() + "/", 0) == 0);
        check(announcedSize(file.mHeader) == uint64_t(Io::fileSize(file.mPath)));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    writeSeeds(*argc, *argv);
    // Inputs must be able to pass the 1 MiB header limit, above libFuzzer's default cap.
    static std::vector<char*> arguments(*argv, *argv + *argc);
    static char maxLen[] = "-max_len=1048704";
    bool given = false;
    for (int i = 1; i < *argc; ++i)
        given = given || std::string((*argv)[i]).rfind("-max_len=", 0) == 0;
    if (!given) {
        arguments.insert(arguments.begin() + 1, maxLen);
        arguments.push_back(nullptr);
        *argc += 1;
        *argv = arguments.data();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Receiver& r = receiver();
    const int fd = connectTo(r.mPort);
    TcpSocket connection = r.mListener->acceptConnection(true);
    check(connection.isOk());
    // Small inputs fit the socket buffers and go out at once; larger ones need a thread of their own.
    std::thread peer;
    if (size <= 65536) {
        sendAll(fd, data, size);
    } else {
        peer = std::thread([fd, data, size] { sendAll(fd, data, size); });
    }
    const DirectoryReadDataContext context(Io::Path(String::fromUtf8(r.mDirectory.string().c_str())),
                                           u"FileName");
    for (int transfers = 0; transfers < 64; ++transfers) {
        ReceivedData item;
        try {
            if (connection.readData(item, context) != SocketResult::SUCCESS) break;
        } catch (const Exception&) {
            break;
        }
        checkReceived(item);
    }
    connection.close();
    if (peer.joinable()) peer.join();
    ::close(fd);
    for (const auto& entry : std::filesystem::directory_iterator(r.mDirectory))
        std::filesystem::remove_all(entry.path());
    return 0;
}

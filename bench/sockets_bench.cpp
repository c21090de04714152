// Socket transfer throughput over 127.0.0.1 between two threads of one process.
//   FileTransfer/Library   writeFile of a 1 GiB file, readData storing it (to /dev/null)
//   FileTransfer/PlainLoop the same bytes with a blocking send/recv loop of 64 KiB buffers (the peer)
//   CompressedTransfer     writeFile with DEFLATE of a 256 MiB compressible file, received and inflated
//   ZlibDeflate            zlib's compress2 at the default level over the same 256 MiB (the floor)
// and, when iperf3 is installed, one `iperf3 -l 64K` run of 1 GiB as a separate process (reported in
// the counters of IperfProcess). Ratios print at the end; run with --benchmark_repetitions for spread.
#include "tolvan/io/filesystem.h"
#include "tolvan/net/sockets.h"

#include "ratio_reporter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Kalvex;

namespace {

constexpr int64 FILE_SIZE = int64(1) << 30;
constexpr int64 COMPRESSED_FILE_SIZE = int64(256) << 20;
constexpr size_t BUFFER = 65536;

// A file of `size` bytes in /tmp, written once per process: random-looking or text-like.
std::string benchFilePath(const char* name) {
    return std::string("/tmp/tolvan_sockets_bench_") + name + "_" + std::to_string(::getpid());
}

std::string makeFile(const char* name, int64 size, bool compressible) {
    const std::string path = benchFilePath(name);
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    uint32_t seed = 1;
    const char* words[] = {"render ", "pass ", "0.25 ", "light\n", "frame ", "scene "};
    for (int64 written = 0; written < size; written += int64(block.size())) {
        for (size_t i = 0; i < block.size();) {
            seed = seed * 1103515245u + 12345u;
            if (compressible) {
                for (const char* w = words[(seed >> 16) % 6]; *w && i < block.size(); ++w)
                    block[i++] = *w;
            } else {
                block[i++] = char(seed >> 24);
            }
        }
        out.write(block.data(), std::streamsize(block.size()));
    }
    return path;
}

const std::string& plainFile() {
    static const std::string path = makeFile("plain", FILE_SIZE, false);
    return path;
}

const std::string& compressibleFile() {
    static const std::string path = makeFile("text", COMPRESSED_FILE_SIZE, true);
    return path;
}

struct Listening {
    std::unique_ptr<TcpListener> mListener;
    unsigned short mPort = 0;
};

Listening listen() {
    Listening result;
    for (unsigned port = 47000 + unsigned(::getpid() % 500) * 10; port < 65000; ++port) {
        result.mListener =
            std::make_unique<TcpListener>(SocketAddress(u"127.0.0.1", (unsigned short)port), 30);
        if (result.mListener->isOk()) {
            result.mPort = (unsigned short)port;
            break;
        }
    }
    return result;
}

class DevNullContext : public ReadDataContext {
public:
    Io::Path getFilePath(const XmlString&) const override { return Io::Path(u"/dev/null"); }
};

void BM_FileTransfer_Library(benchmark::State& state) {
    const Io::Path file(String::fromUtf8(plainFile().c_str()));
    Listening listening = listen();
    for (auto _ : state) {
        std::thread sender([&] {
            TcpClient client(SocketAddress::localhost(listening.mPort), 30, true);
            if (client.writeFile(file, XmlString(u"job", u"1")) != SocketResult::SUCCESS) std::abort();
            XmlString done;
            (void)client.readString(done); // wait for the receiver's word before closing
        });
        TcpSocket connection = listening.mListener->acceptConnection(true);
        ReceivedData item;
        if (connection.readData(item, DevNullContext()) != SocketResult::SUCCESS)
            state.SkipWithError("receive");
        (void)connection.writeString(XmlString(u"done", u"1"));
        sender.join();
    }
    state.SetBytesProcessed(state.iterations() * FILE_SIZE);
}

int plainConnect(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    return fd;
}

void BM_FileTransfer_PlainLoop(benchmark::State& state) {
    const std::string file = plainFile();
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0)
        std::abort();
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const unsigned short port = ntohs(address.sin_port);
    for (auto _ : state) {
        std::thread sender([&] {
            const int fd = plainConnect(port);
            std::FILE* in = std::fopen(file.c_str(), "rb");
            std::vector<char> buffer(BUFFER);
            for (size_t n; (n = std::fread(buffer.data(), 1, BUFFER, in)) > 0;) {
                for (size_t sent = 0; sent < n;) {
                    const ssize_t k = ::send(fd, buffer.data() + sent, n - sent, MSG_NOSIGNAL);
                    if (k <= 0) std::abort();
                    sent += size_t(k);
                }
            }
            std::fclose(in);
            char done;
            (void)::recv(fd, &done, 1, 0);
            ::close(fd);
        });
        const int fd = ::accept(listener, nullptr, nullptr);
        std::FILE* out = std::fopen("/dev/null", "wb");
        std::vector<char> buffer(BUFFER);
        for (int64 received = 0; received < FILE_SIZE;) {
            const ssize_t n = ::recv(fd, buffer.data(), BUFFER, 0);
            if (n <= 0) std::abort();
            std::fwrite(buffer.data(), 1, size_t(n), out);
            received += n;
        }
        std::fclose(out);
        (void)::send(fd, "d", 1, MSG_NOSIGNAL);
        sender.join();
        ::close(fd);
    }
    ::close(listener);
    state.SetBytesProcessed(state.iterations() * FILE_SIZE);
}

void BM_CompressedTransfer(benchmark::State& state) {
    const Io::Path file(String::fromUtf8(compressibleFile().c_str()));
    Listening listening = listen();
    for (auto _ : state) {
        std::thread sender([&] {
            TcpClient client(SocketAddress::localhost(listening.mPort), 30, true);
            if (client.writeFile(file, XmlString(), DataCompression::DEFLATE) != SocketResult::SUCCESS)
                std::abort();
            XmlString done;
            (void)client.readString(done);
        });
        TcpSocket connection = listening.mListener->acceptConnection(true);
        ReceivedData item;
        // Compression happens before the header is sent: wait for it as long as it takes.
        while (connection.readData(item, DevNullContext()) != SocketResult::SUCCESS) {
            if (!connection.isOk()) {
                state.SkipWithError("receive");
                break;
            }
        }
        (void)connection.writeString(XmlString(u"done", u"1"));
        sender.join();
    }
    state.SetBytesProcessed(state.iterations() * COMPRESSED_FILE_SIZE);
}

void BM_ZlibDeflate(benchmark::State& state) {
    std::ifstream in(compressibleFile(), std::ios::binary);
    std::vector<unsigned char> data(static_cast<size_t>(COMPRESSED_FILE_SIZE));
    in.read(reinterpret_cast<char*>(data.data()), std::streamsize(data.size()));
    std::vector<unsigned char> out(compressBound(uLong(data.size())));
    for (auto _ : state) {
        uLongf length = uLongf(out.size());
        if (compress2(out.data(), &length, data.data(), uLong(data.size()), Z_DEFAULT_COMPRESSION) != Z_OK)
            std::abort();
        benchmark::DoNotOptimize(length);
    }
    state.SetBytesProcessed(state.iterations() * COMPRESSED_FILE_SIZE);
}

// iperf3 as a whole process pair: server once, client sending 1 GiB in 64 KiB writes.
void BM_IperfProcess(benchmark::State& state) {
    if (std::system("command -v iperf3 >/dev/null 2>&1") != 0) {
        state.SkipWithError("iperf3 is not installed");
        return;
    }
    const std::string port = std::to_string(48000 + ::getpid() % 1000);
    double bitsPerSecond = 0;
    for (auto _ : state) {
        std::system(("iperf3 -s -1 -p " + port + " -D >/dev/null 2>&1").c_str());
        std::FILE* client = nullptr;
        for (int attempt = 0; attempt < 50 && !client; ++attempt) {
            client =
                ::popen(("iperf3 -c 127.0.0.1 -p " + port + " -l 64K -n 1G -J 2>/dev/null").c_str(), "r");
            std::string json;
            char buffer[4096];
            for (size_t n; client && (n = std::fread(buffer, 1, sizeof buffer, client)) > 0;)
                json.append(buffer, n);
            if (client && ::pclose(client) != 0) client = nullptr;
            const size_t at = json.find("\"sum_received\"");
            const size_t bits = at == std::string::npos ? at : json.find("\"bits_per_second\":", at);
            if (bits == std::string::npos) {
                client = nullptr;
                std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the server is still starting
                continue;
            }
            bitsPerSecond = std::strtod(json.c_str() + bits + 18, nullptr);
        }
    }
    state.counters["GiB_per_s"] = bitsPerSecond / 8 / double(1 << 30);
}

} // namespace

BENCHMARK(BM_FileTransfer_Library)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_FileTransfer_PlainLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_CompressedTransfer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_ZlibDeflate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_IperfProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

int main(int argc, char** argv) {
    const int result = TolvanBench::runWithRatios(
        argc, argv,
        {{"BM_FileTransfer_Library/iterations:1/real_time",
          "BM_FileTransfer_PlainLoop/iterations:1/real_time"},
         {"BM_CompressedTransfer/iterations:1/real_time", "BM_ZlibDeflate/iterations:1/real_time"}});
    std::remove(benchFilePath("plain").c_str());
    std::remove(benchFilePath("text").c_str());
    return result;
}

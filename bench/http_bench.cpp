// Downloading 256 MiB from a local HTTP server (the tests' python3 server on 127.0.0.1): through
// HttpInputStream with 1 MiB reads, against the curl program writing the same body to /dev/null.
#include "tolvan/net/http.h"

#include "net/http_server.h"
#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

using namespace Kalvex;

namespace {

constexpr int64 BODY_SIZE = int64(256) << 20;

TolvanTest::HttpTestServer& server() {
    TolvanTest::HttpTestServer* s = TolvanTest::HttpTestServer::get();
    if (!s) {
        std::fprintf(stderr, "python3 cannot start the test server\n");
        std::exit(1);
    }
    return *s;
}

std::string bodyUrl() {
    return server().url("/bytes/" + std::to_string(BODY_SIZE));
}

void HttpInputStream256MiB(benchmark::State& state) {
    const String url = String::fromUtf8(bodyUrl());
    std::string buffer(1 << 20, '\0');
    for (auto _ : state) {
        AutoPtr<Io::HttpInputStream> body = Io::makeHttpRequestGET(url, 0);
        int64 total = 0;
        while (!body->eof())
            total += body->read(buffer.data(), int64(buffer.size()));
        if (total != BODY_SIZE) state.SkipWithError("short body");
    }
    state.SetBytesProcessed(state.iterations() * BODY_SIZE);
}
BENCHMARK(HttpInputStream256MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void CurlProgram256MiB(benchmark::State& state) {
    const std::string command = "curl -s -o /dev/null '" + bodyUrl() + "'";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) state.SkipWithError("curl failed");
    state.SetBytesProcessed(state.iterations() * BODY_SIZE);
}
BENCHMARK(CurlProgram256MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    return TolvanBench::runWithRatios(
        argc, argv,
        {{"HttpInputStream256MiB/iterations:5/real_time", "CurlProgram256MiB/iterations:5/real_time"}});
}

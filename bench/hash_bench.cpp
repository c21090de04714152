// SHA-256 and MD5 throughput on 64 MiB against OpenSSL's EVP digests, and Utils::hash throughput.
#include "ratio_reporter.h"

#include "tolvan/platform/hash.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <vector>

using namespace Kalvex;

namespace {

const std::vector<unsigned char>& input() {
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> bytes(64u << 20);
        unsigned state = 12345;
        for (unsigned char& b : bytes)
            b = (unsigned char)((state = state * 1103515245u + 12345u) >> 24);
        return bytes;
    }();
    return data;
}

template <typename Digest, typename... Args>
void ours(benchmark::State& state, Args... args) {
    const auto& data = input();
    for (auto _ : state) {
        Digest digest(args...);
        digest.update(data.data(), data.size());
        std::byte result[Digest::DIGEST_SIZE];
        digest.finish(result);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void openssl(benchmark::State& state, const EVP_MD* md) {
    const auto& data = input();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    for (auto _ : state) {
        unsigned char result[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        if (EVP_DigestInit_ex(context, md, nullptr) != 1 ||
            EVP_DigestUpdate(context, data.data(), data.size()) != 1 ||
            EVP_DigestFinal_ex(context, result, &length) != 1) {
            state.SkipWithError("OpenSSL digest failed");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    EVP_MD_CTX_free(context);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void BM_Sha256_Kalvex(benchmark::State& state) {
    ours<Detail::Sha256>(state, Detail::Sha256Engine::AUTOMATIC);
}
void BM_Sha256_KalvexPortable(benchmark::State& state) {
    ours<Detail::Sha256>(state, Detail::Sha256Engine::PORTABLE);
}
void BM_Sha256_OpenSsl(benchmark::State& state) {
    openssl(state, EVP_sha256());
}
void BM_Md5_Kalvex(benchmark::State& state) {
    ours<Detail::Md5>(state);
}
void BM_Md5_OpenSsl(benchmark::State& state) {
    openssl(state, EVP_md5());
}

void BM_UtilsHash(benchmark::State& state) {
    const auto& data = input();
    const size_t size = size_t(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(Utils::hash(data.data(), size));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

} // namespace

BENCHMARK(BM_Sha256_Kalvex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256_KalvexPortable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256_OpenSsl)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5_Kalvex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5_OpenSsl)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UtilsHash)->Arg(16)->Arg(1 << 20);

int main(int argc, char** argv) {
    if (!Detail::hasSha256Extensions())
        std::printf("This processor has no SHA extensions: SHA-256 runs portably.\n");
    return TolvanBench::runWithRatios(argc, argv,
                                      {{"BM_Sha256_Kalvex", "BM_Sha256_OpenSsl"},
                                       {"BM_Sha256_KalvexPortable", "BM_Sha256_OpenSsl"},
                                       {"BM_Md5_Kalvex", "BM_Md5_OpenSsl"}});
}

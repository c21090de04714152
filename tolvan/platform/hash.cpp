// Portable SHA-256 and MD5, the public digest functions, UUIDs, Utils::hash and secure random bytes.
#include "tolvan/platform/hash.h"

#include "tolvan/io/path.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cpuid.h>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Kalvex {

namespace Detail {

alignas(16) const uint32 SHA256_ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

constexpr uint32 SHA256_INITIAL_STATE[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr uint32 MD5_INITIAL_STATE[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// floor(|sin(i + 1)| * 2^32) for the 64 steps.
constexpr uint32 MD5_STEP_CONSTANTS[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr int MD5_SHIFTS[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32 loadBigEndian32(const uint8* p) noexcept {
    uint32 v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

uint32 loadLittleEndian32(const uint8* p) noexcept {
    uint32 v;
    std::memcpy(&v, p, 4);
    return v;
}

void storeBigEndian32(uint8* p, uint32 v) noexcept {
    v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

void storeLittleEndian64(uint8* p, uint64 v) noexcept {
    std::memcpy(p, &v, 8);
}

void sha256CompressPortable(uint32 (&state)[8], const uint8* blocks, size_t count) noexcept {
    for (; count > 0; --count, blocks += 64) {
        uint32 w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = loadBigEndian32(blocks + 4 * t);
        for (int t = 16; t < 64; ++t) {
            const uint32 s0 = std::rotr(w[t - 15], 7) ^ std::rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const uint32 s1 = std::rotr(w[t - 2], 17) ^ std::rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32 a = state[0], b = state[1], c = state[2], d = state[3];
        uint32 e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const uint32 s1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
            const uint32 choice = g ^ (e & (f ^ g));
            const uint32 t1 = h + s1 + choice + SHA256_ROUND_CONSTANTS[t] + w[t];
            const uint32 s0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
            const uint32 majority = (a & b) | (c & (a | b));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + s0 + majority;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

// One MD5 step I (0..63) on the roles (a, b, c, d); the caller rotates the roles between steps. `b` is
// the value the previous step produced, so everything not depending on it is summed first.
template <int I>
[[gnu::always_inline]] inline void md5Step(uint32& a, uint32 b, uint32 c, uint32 d,
                                           const uint32* m) noexcept {
    constexpr int ROUND = I / 16;
    constexpr int WORD = ROUND == 0   ? I
                         : ROUND == 1 ? (5 * I + 1) % 16
                         : ROUND == 2 ? (3 * I + 5) % 16
                                      : (7 * I) % 16;
    uint32 sum = a + MD5_STEP_CONSTANTS[I] + m[WORD];
    if constexpr (ROUND == 0) {
        sum += d ^ (b & (c ^ d));
    } else if constexpr (ROUND == 1) {
        sum += c & ~d; // (b & d) | (c & ~d): the two halves never overlap, so they add
        sum += b & d;
    } else if constexpr (ROUND == 2) {
        sum += b ^ (c ^ d);
    } else {
        sum += c ^ (b | ~d);
    }
    a = b + std::rotl(sum, MD5_SHIFTS[ROUND][I % 4]);
}

template <int I>
[[gnu::always_inline]] inline void md5FourSteps(uint32& a, uint32& b, uint32& c, uint32& d,
                                                const uint32* m) noexcept {
    md5Step<I>(a, b, c, d, m);
    md5Step<I + 1>(d, a, b, c, m);
    md5Step<I + 2>(c, d, a, b, m);
    md5Step<I + 3>(b, c, d, a, m);
}

template <size_t... GROUP>
[[gnu::always_inline]] inline void md5AllSteps(uint32& a, uint32& b, uint32& c, uint32& d, const uint32* m,
                                               std::index_sequence<GROUP...>) noexcept {
    (md5FourSteps<int(4 * GROUP)>(a, b, c, d, m), ...);
}

void md5Compress(uint32 (&state)[4], const uint8* blocks, size_t count) noexcept {
    for (; count > 0; --count, blocks += 64) {
        uint32 m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = loadLittleEndian32(blocks + 4 * i);
        uint32 a = state[0], b = state[1], c = state[2], d = state[3];
        md5AllSteps(a, b, c, d, m, std::make_index_sequence<16>());
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
    }
}

// Feeds bytes to a block function: first completes a partial block in `buffer`, then compresses whole
// blocks straight from the input, and keeps the rest in `buffer`.
template <typename Compress>
void feedBlocks(uint8 (&buffer)[64], uint64& length, const void* data, size_t size, Compress&& compress) {
    const uint8* input = static_cast<const uint8*>(data);
    size_t used = size_t(length % 64);
    length += size;
    if (used > 0) {
        const size_t take = std::min(size, 64 - used);
        std::memcpy(buffer + used, input, take);
        input += take;
        size -= take;
        if (used + take < 64) return;
        compress(buffer, 1);
    }
    if (size >= 64) {
        compress(input, size / 64);
        input += size / 64 * 64;
        size %= 64;
    }
    if (size > 0) std::memcpy(buffer, input, size);
}

// Appends 0x80, zeros and the 64-bit bit count (in the byte order `storeLength` writes) and compresses
// the last one or two blocks.
template <typename StoreLength, typename Compress>
void padAndFinish(uint8 (&buffer)[64], uint64 length, StoreLength&& storeLength, Compress&& compress) {
    size_t used = size_t(length % 64);
    buffer[used++] = 0x80;
    if (used > 56) {
        std::memset(buffer + used, 0, 64 - used);
        compress(buffer, 1);
        used = 0;
    }
    std::memset(buffer + used, 0, 56 - used);
    storeLength(buffer + 56, length * 8);
    compress(buffer, 1);
}

bool detectSha256Extensions() noexcept {
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

template <typename Digest>
String digestText(const void* data, size_t size) {
    Digest digest;
    digest.update(data, size);
    std::byte result[Digest::DIGEST_SIZE];
    digest.finish(result);
    return toLowerHex(result, Digest::DIGEST_SIZE);
}

size_t textLength(const char* text) noexcept {
    return text ? std::strlen(text) : 0;
}

size_t clampedSize(int size) noexcept {
    return size > 0 ? size_t(size) : 0;
}

} // namespace

bool hasSha256Extensions() noexcept {
    static const bool PRESENT = detectSha256Extensions();
    return PRESENT;
}

Sha256::Sha256(Sha256Engine engine) noexcept
    : mEngine(engine) {
    std::memcpy(mState, SHA256_INITIAL_STATE, sizeof(mState));
    if (mEngine == Sha256Engine::AUTOMATIC || (mEngine == Sha256Engine::SHA_NI && !hasSha256Extensions())) {
        mEngine = hasSha256Extensions() ? Sha256Engine::SHA_NI : Sha256Engine::PORTABLE;
    }
}

void Sha256::compress(const uint8* blocks, size_t count) noexcept {
    if (mEngine == Sha256Engine::SHA_NI) {
        sha256CompressShaNi(mState, blocks, count);
    } else {
        sha256CompressPortable(mState, blocks, count);
    }
}

void Sha256::update(const void* data, size_t size) noexcept {
    feedBlocks(mBuffer, mLength, data, size,
               [this](const uint8* blocks, size_t count) { compress(blocks, count); });
}

void Sha256::finish(std::byte (&digest)[DIGEST_SIZE]) noexcept {
    padAndFinish(
        mBuffer, mLength,
        [](uint8* p, uint64 bits) {
            storeBigEndian32(p, uint32(bits >> 32));
            storeBigEndian32(p + 4, uint32(bits));
        },
        [this](const uint8* blocks, size_t count) { compress(blocks, count); });
    for (int i = 0; i < 8; ++i)
        storeBigEndian32(reinterpret_cast<uint8*>(digest) + 4 * i, mState[i]);
}

Md5::Md5() noexcept {
    std::memcpy(mState, MD5_INITIAL_STATE, sizeof(mState));
}

void Md5::update(const void* data, size_t size) noexcept {
    feedBlocks(mBuffer, mLength, data, size,
               [this](const uint8* blocks, size_t count) { md5Compress(mState, blocks, count); });
}

void Md5::finish(std::byte (&digest)[DIGEST_SIZE]) noexcept {
    padAndFinish(mBuffer, mLength, storeLittleEndian64,
                 [this](const uint8* blocks, size_t count) { md5Compress(mState, blocks, count); });
    std::memcpy(digest, mState, sizeof(mState));
}

String toLowerHex(const std::byte* data, int size) {
    static constexpr char16_t DIGITS[] = u"0123456789abcdef";
    String text;
    text.reserve(2 * size + 1);
    for (int i = 0; i < size; ++i) {
        const unsigned value = unsigned(data[i]);
        text << DIGITS[value >> 4] << DIGITS[value & 15];
    }
    return text;
}

String getMd5OfFileAsString(const char* utf8FileName) {
    if (!utf8FileName) return String();
    const int fd = ::open(utf8FileName, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return String();
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return String();
    }
    constexpr int PIECE = 65536;
    Array<uint8> piece(PIECE);
    Md5 digest;
    uint64 remaining = uint64(info.st_size);
    while (remaining > 0) {
        const ssize_t got = ::read(fd, piece.data(), size_t(std::min<uint64>(remaining, uint64(PIECE))));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) { // a read error, or the file shrank under us
            ::close(fd);
            return String();
        }
        digest.update(piece.data(), size_t(got));
        remaining -= uint64(got);
    }
    ::close(fd);
    std::byte result[Md5::DIGEST_SIZE];
    digest.finish(result);
    return toLowerHex(result, Md5::DIGEST_SIZE);
}

} // namespace Detail

Array<std::byte> getKalvexHash256AsBinary(const std::byte* data, int size) {
    Detail::Sha256 digest;
    digest.update(data, Detail::clampedSize(size));
    std::byte result[Detail::Sha256::DIGEST_SIZE];
    digest.finish(result);
    return Array<std::byte>(ArrayView<const std::byte>(result, Detail::Sha256::DIGEST_SIZE));
}

Array<std::byte> getKalvexHash256AsBinary(const char* text) {
    return getKalvexHash256AsBinary(reinterpret_cast<const std::byte*>(text), int(Detail::textLength(text)));
}

String getKalvexHash256AsString(const std::byte* data, int size) {
    return Detail::digestText<Detail::Sha256>(data, Detail::clampedSize(size));
}

String getKalvexHash256AsString(const char* text) {
    return Detail::digestText<Detail::Sha256>(text, Detail::textLength(text));
}

String getMd5AsString(ArrayView<const std::byte> data) {
    return Detail::digestText<Detail::Md5>(data.data(), size_t(data.size()));
}

String getMd5AsString(const char* text) {
    return Detail::digestText<Detail::Md5>(text, Detail::textLength(text));
}

String getMd5AsString(const Io::Path& file) {
    return Detail::getMd5OfFileAsString(file.platformStr().cStr());
}

String generateUuidAsString() {
    std::byte bytes[16];
    if (!Utils::secureRandom(bytes, 16)) {
        // The kernel generator does not fail in practice; keep the result random all the same.
        std::random_device device;
        for (std::byte& b : bytes)
            b = std::byte(device() & 0xFF);
    }
    bytes[6] = (bytes[6] & std::byte(0x0F)) | std::byte(0x40); // version 4
    bytes[8] = (bytes[8] & std::byte(0x3F)) | std::byte(0x80); // RFC 4122 variant
    const String hex = Detail::toLowerHex(bytes, 16);
    String text;
    text.reserve(37);
    static constexpr int GROUP_ENDS[] = {8, 12, 16, 20, 32};
    int from = 0;
    for (int end : GROUP_ENDS) {
        if (from > 0) text << u'-';
        text.append(hex.cStr() + from, end - from);
        from = end;
    }
    return text;
}

namespace Utils {

uint64 hash(const void* data, size_t size) noexcept {
    const uint8* bytes = static_cast<const uint8*>(data);
    uint64 h = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < size; ++i) {
        const uint64 b = bytes[i];
        h = (h ^ ((b << 32) ^ b)) * 0x100000001B3ull;
        h ^= h >> 12;
        h ^= h << 25;
        h ^= h >> 27;
    }
    return h;
}

bool secureRandom(std::byte* buffer, int count) noexcept {
    if (count < 0 || (count > 0 && !buffer)) return false;
    size_t filled = 0;
    while (filled < size_t(count)) {
        const ssize_t got = ::getrandom(buffer + filled, size_t(count) - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += size_t(got);
    }
    return true;
}

} // namespace Utils

} // namespace Kalvex

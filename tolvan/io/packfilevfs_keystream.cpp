// The pack keystream: seeding, skipping ahead and the descrambling kernels (plain, AVX2 and AVX-512).
#include "tolvan/io/packfilevfs.h"

// GCC 12 takes the deliberately undefined start values inside its AVX-512 intrinsics for uninitialised
// variables; the warning points into the intrinsics headers, so it is silenced from their inclusion on.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstring>

namespace Kalvex {

namespace {

// The constants of the seeding: two whitening words and a 128-bit TEA key. Only packs written with the
// same values can be read.
constexpr uint32 SEED_WHITEN_1 = 0x7F4A7C15;
constexpr uint32 SEED_WHITEN_2 = 0x94D049BB;
constexpr uint32 SEED_KEY[4] = {0xB5297A4D, 0x68E31DA4, 0x1B56C4E9, 0xD2B74407};
constexpr uint32 TEA_DELTA = 0x9E3779B9;

constexpr uint64 xorshift(uint64 s) noexcept {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s;
}

// The byte that the state after a step XORs into the data.
constexpr uint8 keyOf(uint64 s) noexcept {
    return uint8(uint32(s) * 29u);
}

// The xorshift step is linear over GF(2): a 64 x 64 bit matrix, kept as the images of the 64 unit
// vectors. JUMPS[k] is the step applied 2^k times.
struct BitMatrix {
    uint64 column[64];

    uint64 apply(uint64 v) const noexcept {
        uint64 result = 0;
        for (int i = 0; v; ++i, v >>= 1) {
            if (v & 1) result ^= column[i];
        }
        return result;
    }
};

struct JumpTable {
    BitMatrix jumps[64];

    JumpTable() noexcept {
        for (int i = 0; i < 64; ++i)
            jumps[0].column[i] = xorshift(uint64(1) << i);
        for (int k = 1; k < 64; ++k) {
            for (int i = 0; i < 64; ++i)
                jumps[k].column[i] = jumps[k - 1].apply(jumps[k - 1].column[i]);
        }
    }
};

const JumpTable& jumpTable() {
    static const JumpTable table;
    return table;
}

uint64 applySerial(uint64 s, std::byte* data, int64 count) noexcept {
    for (int64 i = 0; i < count; ++i) {
        s = xorshift(s);
        data[i] ^= std::byte(keyOf(s));
    }
    return s;
}

// ---- AVX2: eight keystreams side by side ----

// Below this many bytes one keystream runs alone; above, the vector kernels pay for their set-up.
constexpr int64 VECTOR_THRESHOLD = 4 * 1024;
constexpr int LANES = 8;

// The block is cut into eight pieces whose keystreams (reached by jumps) run in two vectors, each lane
// collecting the key bytes of eight steps in one 64-bit word that is then XORed into its piece at once.
__attribute__((target("avx2"))) uint64 applyInterleavedAvx2(uint64 state, std::byte* data,
                                                            int64 count) noexcept {
    const int64 piece = count / LANES / 8 * 8;
    alignas(32) uint64 s[LANES];
    s[0] = state;
    for (int j = 1; j < LANES; ++j)
        s[j] = Detail::packKeystreamSkip(s[j - 1], uint64(piece));
    __m256i low = _mm256_load_si256(reinterpret_cast<const __m256i*>(s));
    __m256i high = _mm256_load_si256(reinterpret_cast<const __m256i*>(s + 4));
    const __m256i times29 = _mm256_set1_epi16(29);
// One keystream step of four lanes in `v`. The low byte of each lane times 29 lands in the lane's low
// byte; it enters the key word `keys` at the top, so after eight steps the first key is the lowest byte.
#define KALVEX_PACK_STEP(v, keys)                                                                            \
    do {                                                                                                     \
        v = _mm256_xor_si256(v, _mm256_srli_epi64(v, 12));                                                   \
        v = _mm256_xor_si256(v, _mm256_slli_epi64(v, 25));                                                   \
        v = _mm256_xor_si256(v, _mm256_srli_epi64(v, 27));                                                   \
        keys = _mm256_or_si256(_mm256_srli_epi64(keys, 8),                                                   \
                               _mm256_slli_epi64(_mm256_mullo_epi16(v, times29), 56));                       \
    } while (false)
    alignas(32) uint64 keys[LANES];
    for (int64 i = 0; i < piece; i += 8) {
        __m256i keysLow = _mm256_setzero_si256(), keysHigh = _mm256_setzero_si256();
        for (int k = 0; k < 8; ++k) {
            KALVEX_PACK_STEP(low, keysLow);
            KALVEX_PACK_STEP(high, keysHigh);
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(keys), keysLow);
        _mm256_store_si256(reinterpret_cast<__m256i*>(keys + 4), keysHigh);
        for (int j = 0; j < LANES; ++j) {
            uint64 word;
            std::memcpy(&word, data + j * piece + i, 8);
            word ^= keys[j];
            std::memcpy(data + j * piece + i, &word, 8);
        }
    }
#undef KALVEX_PACK_STEP
    _mm256_store_si256(reinterpret_cast<__m256i*>(s + 4), high);
    return applySerial(s[LANES - 1], data + LANES * piece, count - LANES * piece);
}

// ---- AVX-512: the keystream's low bytes by carry-less multiplication ----
//
// Bit i of the successive states is a sequence a(0), a(1), ... that obeys the linear recurrence of the
// step's characteristic polynomial. With C(x) the recurrence's connection polynomial (degree 64,
// constant term 1), the series A(x) = sum a(n) x^n times C(x) is a polynomial G(x) of degree below 64.
// So the 64 bits W of one block fix G = W * C mod x^64, and the blocks after it are the coefficients of
// G / C: carry-less products of G with the 64-bit chunks of 1 / C. The G of the block after the last
// one computed comes from that block W alone: W + the high half of W * (C without its x^64 term).
// Bits 0..7 run as eight such sequences in the eight lanes of a vector; a byte permutation and a GF(2)
// affine transform then turn their 64 x 8 bits into 64 key bytes, and a table look-up multiplies by 29.

// Blocks of 64 steps computed from one G.
constexpr int CLMUL_BLOCKS = 16;

struct ClmulConstants {
    // C(x) without its x^64 term.
    uint64 connection = 0;
    // 1 / C(x) mod x^(64 CLMUL_BLOCKS), in 64-bit chunks from the lowest.
    uint64 inverse[CLMUL_BLOCKS] = {};
    // Whether the recurrence has degree 64 (it has for the xorshift step; checked, never assumed).
    bool valid = false;
};

// Berlekamp-Massey over bit 0 of the states after the state 1 gives the connection polynomial.
ClmulConstants makeClmulConstants() noexcept {
    constexpr int N = 128;
    uint8 a[N];
    uint64 s = 1;
    for (int n = 0; n < N; ++n) {
        s = xorshift(s);
        a[n] = uint8(s & 1);
    }
    uint8 c[N + 1] = {1}, b[N + 1] = {1}, t[N + 1];
    int degree = 0, shift = 1;
    for (int n = 0; n < N; ++n) {
        uint8 d = a[n];
        for (int j = 1; j <= degree; ++j)
            d ^= c[j] & a[n - j];
        if (!d) {
            ++shift;
            continue;
        }
        std::memcpy(t, c, sizeof c);
        for (int j = 0; j + shift <= N; ++j)
            c[j + shift] ^= b[j];
        if (2 * degree <= n) {
            degree = n + 1 - degree;
            std::memcpy(b, t, sizeof b);
            shift = 1;
        } else {
            ++shift;
        }
    }
    ClmulConstants constants;
    if (degree != 64 || !c[64]) return constants;
    for (int j = 0; j < 64; ++j)
        constants.connection |= uint64(c[j]) << j;
    // q(0) = 1 and q(m) = sum over j of c(j) q(m - j): the series 1 / C over GF(2).
    uint8 q[64 * CLMUL_BLOCKS] = {1};
    for (int m = 1; m < 64 * CLMUL_BLOCKS; ++m) {
        for (int j = 1; j <= 64 && j <= m; ++j)
            q[m] ^= c[j] & q[m - j];
    }
    for (int m = 0; m < 64 * CLMUL_BLOCKS; ++m)
        constants.inverse[m / 64] |= uint64(q[m]) << (m % 64);
    constants.valid = true;
    return constants;
}

const ClmulConstants& clmulConstants() {
    static const ClmulConstants constants = makeClmulConstants();
    return constants;
}

#define KALVEX_AVX512_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi,vpclmulqdq,gfni")))

// The carry-less products of the eight lanes of `a` with `c`: `even` holds those of lanes 0, 2, 4, 6 and
// `odd` those of lanes 1, 3, 5, 7, each as a 128-bit lane (low half first).
struct Products {
    __m512i even, odd;
};

KALVEX_AVX512_TARGET inline Products clmul8(__m512i a, __m512i c) noexcept {
    return {_mm512_clmulepi64_epi128(a, c, 0x00), _mm512_clmulepi64_epi128(a, c, 0x01)};
}

// The low (or high) halves of the eight products, back in lane order.
KALVEX_AVX512_TARGET inline __m512i lowHalves(const Products& p) noexcept {
    return _mm512_unpacklo_epi64(p.even, p.odd);
}
KALVEX_AVX512_TARGET inline __m512i highHalves(const Products& p) noexcept {
    return _mm512_unpackhi_epi64(p.even, p.odd);
}

struct KeyTables {
    // Gathers from a pair of products the bit matrices of one block: byte 8m + r is byte m of the low
    // (or high) half of sequence 7 - r.
    __m512i lowRows, highRows;
    __m512i unitBytes;               // byte 8m + t is 1 << t
    __m512i times29Low, times29High; // ((i * 29) mod 256) ^ i for i in 0..63 and 64..127
};

// XORs into the 64 bytes at `data` the keys of one block, given as eight 8 x 8 bit matrices (see lowRows).
KALVEX_AVX512_TARGET inline void applyRows(__m512i rows, const KeyTables& tables, std::byte* data) noexcept {
    // The affine transform of the unit bytes transposes each matrix: byte 8m + t is then the low state
    // byte of step 8m + t of the block.
    const __m512i low = _mm512_gf2p8affine_epi64_epi8(tables.unitBytes, rows, 0);
    // (b * 29) mod 256 = ((b mod 128) * 29 mod 256) ^ (b & 128), as 128 * 29 mod 256 = 128. The look-up
    // covers seven bits; its entries hold ((i * 29) mod 256) ^ i, so XORing b itself adds the eighth.
    const __m512i times29 = _mm512_permutex2var_epi8(tables.times29Low, low, tables.times29High);
    const __m512i bytes = _mm512_loadu_si512(data);
    _mm512_storeu_si512(data, _mm512_ternarylogic_epi64(bytes, times29, low, 0x96));
}

KALVEX_AVX512_TARGET uint64 applyClmulAvx512(uint64 state, std::byte* data, int64 count) noexcept {
    const ClmulConstants& constants = clmulConstants();
    alignas(64) uint8 lowRows[64], highRows[64], unitBytes[64], times29[128];
    for (int i = 0; i < 64; ++i) {
        const int sequence = 7 - i % 8, byte = i / 8;
        lowRows[i] = uint8((sequence & 1) * 64 + (sequence >> 1) * 16 + byte);
        highRows[i] = uint8(lowRows[i] + 8);
        unitBytes[i] = uint8(1u << (i % 8));
    }
    for (int i = 0; i < 128; ++i)
        times29[i] = uint8(keyOf(uint64(i)) ^ i);
    const KeyTables tables{_mm512_load_si512(lowRows), _mm512_load_si512(highRows),
                           _mm512_load_si512(unitBytes), _mm512_load_si512(times29),
                           _mm512_load_si512(times29 + 64)};

    // The first block of the eight sequences, from 64 plain steps.
    alignas(64) uint64 first[8] = {};
    uint64 s = state;
    for (int n = 0; n < 64; ++n) {
        s = xorshift(s);
        for (int i = 0; i < 8; ++i)
            first[i] |= ((s >> i) & 1) << n;
    }
    const __m512i connection = _mm512_set1_epi64(int64(constants.connection));
    __m512i inverse[CLMUL_BLOCKS];
    for (int j = 0; j < CLMUL_BLOCKS; ++j)
        inverse[j] = _mm512_set1_epi64(int64(constants.inverse[j]));
    __m512i g = lowHalves(clmul8(_mm512_load_si512(first), connection));

    constexpr int64 STEP_BYTES = 64 * CLMUL_BLOCKS;
    int64 done = 0;
    for (; count - done >= STEP_BYTES; done += STEP_BYTES) {
        __m512i last = _mm512_setzero_si512();
        // Block j is the low half of G * inverse[j] plus the high half of G * inverse[j - 1].
        Products previous = clmul8(g, inverse[0]);
        applyRows(_mm512_permutex2var_epi8(previous.even, tables.lowRows, previous.odd), tables, data + done);
#pragma GCC unroll 16
        for (int j = 1; j < CLMUL_BLOCKS; ++j) {
            const Products current = clmul8(g, inverse[j]);
            const __m512i rows =
                _mm512_xor_si512(_mm512_permutex2var_epi8(current.even, tables.lowRows, current.odd),
                                 _mm512_permutex2var_epi8(previous.even, tables.highRows, previous.odd));
            applyRows(rows, tables, data + done + 64 * j);
            if (j == CLMUL_BLOCKS - 1) {
                last = _mm512_xor_si512(lowHalves(current), highHalves(previous));
            }
            previous = current;
        }
        g = _mm512_xor_si512(last, highHalves(clmul8(last, connection)));
    }
    return applySerial(Detail::packKeystreamSkip(state, uint64(done)), data + done, count - done);
}

#undef KALVEX_AVX512_TARGET

bool hasAvx2() noexcept {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

bool hasAvx512Kernel() noexcept {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("vpclmulqdq") &&
                            __builtin_cpu_supports("gfni") && clmulConstants().valid;
    return has;
}

} // namespace

namespace Detail {

uint64 packKeystreamStart(uint32 seed) noexcept {
    uint32 y = seed ^ (seed >> 16) ^ SEED_WHITEN_1;
    uint32 z = seed ^ SEED_WHITEN_2;
    for (uint32 cycle = 1; cycle <= 6; ++cycle) {
        const uint32 sum = TEA_DELTA * cycle;
        z += ((y << 4) + SEED_KEY[0]) ^ (y + sum) ^ ((y >> 5) + SEED_KEY[1]);
        y += ((z << 4) + SEED_KEY[2]) ^ (z + sum) ^ ((z >> 5) + SEED_KEY[3]);
    }
    uint64 s = (uint64(z) << 32) | y;
    for (int i = 0; i < 4; ++i)
        s = xorshift(s);
    return s;
}

uint64 packKeystreamSkip(uint64 state, uint64 steps) noexcept {
    if (steps < 64) {
        for (; steps; --steps)
            state = xorshift(state);
        return state;
    }
    const JumpTable& table = jumpTable();
    for (int k = 0; steps; ++k, steps >>= 1) {
        if (steps & 1) state = table.jumps[k].apply(state);
    }
    return state;
}

bool isPackKeystreamKernelAvailable(PackKeystreamKernel kernel) noexcept {
    switch (kernel) {
    case PackKeystreamKernel::SERIAL:
        return true;
    case PackKeystreamKernel::AVX2:
        return hasAvx2();
    case PackKeystreamKernel::AVX512:
        return hasAvx512Kernel();
    }
    return false;
}

uint64 packKeystreamApply(PackKeystreamKernel kernel, uint64 state, std::byte* data, int64 count) noexcept {
    if (count < VECTOR_THRESHOLD) kernel = PackKeystreamKernel::SERIAL;
    switch (kernel) {
    case PackKeystreamKernel::AVX512:
        return applyClmulAvx512(state, data, count);
    case PackKeystreamKernel::AVX2:
        return applyInterleavedAvx2(state, data, count);
    case PackKeystreamKernel::SERIAL:
        break;
    }
    return applySerial(state, data, count);
}

uint64 packKeystreamApply(uint64 state, std::byte* data, int64 count) noexcept {
    static const PackKeystreamKernel best = hasAvx512Kernel() ? PackKeystreamKernel::AVX512
                                            : hasAvx2()       ? PackKeystreamKernel::AVX2
                                                              : PackKeystreamKernel::SERIAL;
    return packKeystreamApply(best, state, data, count);
}

} // namespace Detail

} // namespace Kalvex

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "tolvan/containers/utf.h"

#include "tolvan/common/exception.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <immintrin.h>
#include <string>

namespace Kalvex::Detail {
namespace {

constexpr char16_t REPLACEMENT = 0xFFFD;

inline bool isContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Whether the unit at `i - 1` (a high surrogate, already read) and the one at `i` form a pair.
inline bool completesPair(uint32_t high, const char16_t* in, size_t i, size_t count) {
    return high >= 0xD800 && high <= 0xDBFF && i < count && in[i] >= 0xDC00 && in[i] <= 0xDFFF;
}

// Whether the 8 units at `in` are all below 128.
inline bool isAsciiBlock(const char16_t* in) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    return _mm_testz_si128(units, _mm_set1_epi16(int16_t(0xFF80)));
}

// Allowed range of the second byte for each lead byte (Unicode Table 3-7); 0 length = invalid lead.
struct LeadInfo {
    unsigned char length;
    unsigned char low;
    unsigned char high;
};

inline LeadInfo leadInfo(unsigned char b) {
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b == 0xE0) return {3, 0xA0, 0xBF};
    if (b == 0xED) return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
    if (b == 0xF0) return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
    if (b == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// A shuffle that gathers the kept 16-bit lanes of an 8-lane vector to its front, for each keep mask.
struct LaneCompaction {
    alignas(16) unsigned char shuffle[256][16];
    unsigned char count[256];
};

constexpr LaneCompaction makeLaneCompaction() {
    LaneCompaction t{};
    for (int mask = 0; mask < 256; ++mask) {
        int n = 0;
        for (int lane = 0; lane < 8; ++lane) {
            if (mask & (1 << lane)) {
                t.shuffle[mask][2 * n] = static_cast<unsigned char>(2 * lane);
                t.shuffle[mask][2 * n + 1] = static_cast<unsigned char>(2 * lane + 1);
                ++n;
            }
        }
        for (int k = 2 * n; k < 16; ++k)
            t.shuffle[mask][k] = 0x80;
        t.count[mask] = static_cast<unsigned char>(n);
    }
    return t;
}

constexpr LaneCompaction LANE_COMPACTION = makeLaneCompaction();

// Bit k set when (byte k & keepBits) == equalBits.
inline int byteMask(__m128i bytes, int keepBits, int equalBits) {
    return _mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_and_si128(bytes, _mm_set1_epi8(char(keepBits))), _mm_set1_epi8(char(equalBits))));
}

// The unit of the sequence starting at each of 8 bytes (b0), read as ASCII, a two- or a three-byte
// sequence by its lead byte, with b1 and b2 the bytes one and two further on; the lanes in `keep`
// are gathered to the front of `out`. Returns how many were kept.
inline int decodeHalf(__m128i b0, __m128i b1, __m128i b2, int keep, char16_t* out) {
    const __m128i v0 = _mm_cvtepu8_epi16(b0);
    const __m128i v1 = _mm_and_si128(_mm_cvtepu8_epi16(b1), _mm_set1_epi16(0x3F));
    const __m128i v2 = _mm_and_si128(_mm_cvtepu8_epi16(b2), _mm_set1_epi16(0x3F));
    const __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v0, _mm_set1_epi16(0x1F)), 6), v1);
    const __m128i three = _mm_or_si128(_mm_or_si128(_mm_slli_epi16(v0, 12), _mm_slli_epi16(v1, 6)), v2);
    __m128i units = _mm_blendv_epi8(two, three, _mm_cmpgt_epi16(v0, _mm_set1_epi16(0xDF)));
    units = _mm_blendv_epi8(units, v0, _mm_cmplt_epi16(v0, _mm_set1_epi16(0x80)));
    const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(LANE_COMPACTION.shuffle[keep]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(units, shuffle));
    return LANE_COMPACTION.count[keep];
}

// Decodes the one sequence at in[i] (ASCII included) and advances i and o past it.
inline void decodeSequence(const unsigned char* in, size_t count, size_t& i, char16_t*& o) noexcept {
    const unsigned char b = in[i];
    if (b < 0x80) {
        *o++ = b;
        ++i;
        return;
    }
    const LeadInfo info = leadInfo(b);
    // Second byte has a lead-specific range; later ones are plain continuations.
    if (info.length == 0 || i + 1 >= count || in[i + 1] < info.low || in[i + 1] > info.high) {
        *o++ = REPLACEMENT;
        ++i;
        return;
    }
    uint32_t cp = b & (0xFF >> (info.length + 1));
    cp = (cp << 6) | (in[i + 1] & 0x3F);
    size_t k = 2;
    while (k < info.length && i + k < count && isContinuation(in[i + k])) {
        cp = (cp << 6) | (in[i + k] & 0x3F);
        ++k;
    }
    i += k;
    if (k < info.length) { // truncated: the maximal subpart becomes one replacement
        *o++ = REPLACEMENT;
    } else if (cp >= 0x10000) {
        cp -= 0x10000;
        *o++ = char16_t(0xD800 + (cp >> 10));
        *o++ = char16_t(0xDC00 + (cp & 0x3FF));
    } else {
        *o++ = char16_t(cp);
    }
}

// The baseline kernel: 16-byte blocks that read two bytes past the block.
struct SseKernel {
    static constexpr size_t WIDTH = 16;
    static constexpr bool MASKED = false;
    static constexpr size_t READS_PAST = 2;

    // Bits of the 16 bytes at p (all readable) equal to one of the three values.
    static uint64_t matches(const unsigned char* p, size_t, char a, char b, char c) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(a)), _mm_cmpeq_epi8(bytes, _mm_set1_epi8(b))),
            _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)));
        return uint64_t(unsigned(_mm_movemask_epi8(hit)));
    }

    // Decodes the first `avail` (1..16) of the 16 bytes at p; p[0..17] must be readable. `carry` marks the
    // bytes at the start (bit 0, 1) that continue a sequence of the previous block, which decoded it; on
    // return it marks those of the next block. Writes at most 16 units to `out` and sets `produced`.
    // Returns false, changing nothing, when the block holds a four-byte or ill-formed sequence, or a
    // sequence that `avail` cuts off: those go through the sequence-by-sequence decoder.
    static bool block(const unsigned char* p, int avail, size_t, uint64_t& carry, char16_t* out,
                      int& produced) {
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
        const int availBits = (1 << avail) - 1;
        const int cont = byteMask(b0, 0xC0, 0x80) & availBits;
        const int lead2 = byteMask(b0, 0xE0, 0xC0) & availBits;
        const int lead3 = byteMask(b0, 0xF0, 0xE0) & availBits;
        const int high = _mm_movemask_epi8(b0) & availBits;
        // Where continuation bytes must stand: after each lead, up to two bytes past the block.
        const int expected = ((lead2 | lead3) << 1) | (lead3 << 2) | int(carry);
        const int contAfter = (byteMask(b2, 0xC0, 0x80) >> 14) << 16;
        const int allowed = avail == 16 ? contAfter | 0xFFFF : availBits;
        if ((expected & ~allowed) | (cont ^ (expected & 0xFFFF))) return false;
        if (high != (cont | lead2 | lead3)) return false; // four-byte or invalid lead bytes
        // Overlong forms (C0, C1, E0 80..9F) and surrogates (ED A0..BF) are ill-formed.
        const int nextLow = byteMask(b1, 0xE0, 0x80);
        const int overlong = byteMask(b0, 0xFE, 0xC0) | (byteMask(b0, 0xFF, 0xE0) & nextLow);
        const int surrogate = byteMask(b0, 0xFF, 0xED) & ~nextLow;
        if ((overlong | surrogate) & availBits) return false;
        const int keep = ~cont & availBits;
        const int first = decodeHalf(b0, b1, b2, keep & 0xFF, out);
        produced = first + decodeHalf(_mm_srli_si128(b0, 8), _mm_srli_si128(b1, 8), _mm_srli_si128(b2, 8),
                                      (keep >> 8) & 0xFF, out + first);
        carry = uint64_t(expected >> 16);
        return true;
    }
};

#define KALVEX_AVX512_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,bmi,bmi2,popcnt")))

// The wide kernel: 64-byte blocks with masked loads and stores, so it never touches memory outside the
// input and output, and compressing stores in place of the shuffle table.
struct Avx512Kernel {
    static constexpr size_t WIDTH = 64;
    static constexpr bool MASKED = true;
    static constexpr size_t READS_PAST = 0;

    KALVEX_AVX512_TARGET static __m512i load(const unsigned char* p, size_t left) {
        return _mm512_maskz_loadu_epi8(_bzhi_u64(~0ull, unsigned(left < 64 ? left : 64)), p);
    }

    KALVEX_AVX512_TARGET static uint64_t byteMask(__m512i bytes, int keepBits, int equalBits) {
        return _mm512_cmpeq_epi8_mask(_mm512_and_si512(bytes, _mm512_set1_epi8(char(keepBits))),
                                      _mm512_set1_epi8(char(equalBits)));
    }

    // Bits of the min(left, 64) bytes at p equal to one of the three values.
    KALVEX_AVX512_TARGET static uint64_t matches(const unsigned char* p, size_t left, char a, char b,
                                                 char c) {
        const __m512i bytes = load(p, left);
        return (_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(a)) |
                _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(b)) |
                _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(c))) &
               _bzhi_u64(~0ull, unsigned(left < 64 ? left : 64));
    }

    // The lower and upper 32 bytes, through the zero-masked extraction: GCC 12 warns about the undefined
    // source operand of the unmasked one and of the cast.
    KALVEX_AVX512_TARGET static __m256i lower(__m512i bytes) {
        return _mm512_maskz_extracti64x4_epi64(0xFF, bytes, 0);
    }
    KALVEX_AVX512_TARGET static __m256i upper(__m512i bytes) {
        return _mm512_maskz_extracti64x4_epi64(0xFF, bytes, 1);
    }

    // Decodes 32 lanes (one half of the block) and stores the kept units; returns how many.
    KALVEX_AVX512_TARGET static int half(__m256i b0, __m256i b1, __m256i b2, uint32_t lead3, uint32_t ascii,
                                         uint32_t keep, char16_t* out) {
        const __m512i v0 = _mm512_cvtepu8_epi16(b0);
        const __m512i v1 = _mm512_and_si512(_mm512_cvtepu8_epi16(b1), _mm512_set1_epi16(0x3F));
        const __m512i v2 = _mm512_and_si512(_mm512_cvtepu8_epi16(b2), _mm512_set1_epi16(0x3F));
        const __m512i two =
            _mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(v0, _mm512_set1_epi16(0x1F)), 6), v1);
        const __m512i three =
            _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi16(v0, 12), _mm512_slli_epi16(v1, 6)), v2);
        __m512i units = _mm512_mask_blend_epi16(lead3, two, three);
        units = _mm512_mask_blend_epi16(ascii, units, v0);
        const int n = _mm_popcnt_u32(keep);
        _mm512_mask_storeu_epi16(out, _bzhi_u32(~0u, unsigned(n)), _mm512_maskz_compress_epi16(keep, units));
        return n;
    }

    KALVEX_AVX512_TARGET static bool block(const unsigned char* p, int avail, size_t left, uint64_t& carry,
                                           char16_t* out, int& produced) {
        const __m512i b0 = load(p, left);
        const uint64_t availBits = _bzhi_u64(~0ull, unsigned(avail));
        const __m512i b1 = load(p + 1, left - 1);
        const __m512i b2 = left >= 2 ? load(p + 2, left - 2) : _mm512_setzero_si512();
        const uint64_t cont = byteMask(b0, 0xC0, 0x80) & availBits;
        const uint64_t lead2 = byteMask(b0, 0xE0, 0xC0) & availBits;
        const uint64_t lead3 = byteMask(b0, 0xF0, 0xE0) & availBits;
        const uint64_t high = _mm512_movepi8_mask(b0) & availBits;
        // Where continuation bytes must stand, in the block and in the two bytes after it.
        const uint64_t expected = ((lead2 | lead3) << 1) | (lead3 << 2) | carry;
        const uint64_t expectedAfter = ((lead2 | lead3) >> 63) | (lead3 >> 62);
        const uint64_t contAfter = avail == 64 ? byteMask(b2, 0xC0, 0x80) >> 62 : 0;
        if ((expected & ~availBits) | (expectedAfter & ~contAfter) | (cont ^ (expected & availBits)))
            return false;
        if (high != (cont | lead2 | lead3)) return false; // four-byte or invalid lead bytes
        const uint64_t nextLow = byteMask(b1, 0xE0, 0x80);
        const uint64_t overlong = byteMask(b0, 0xFE, 0xC0) | (byteMask(b0, 0xFF, 0xE0) & nextLow);
        const uint64_t surrogate = byteMask(b0, 0xFF, 0xED) & ~nextLow;
        if ((overlong | surrogate) & availBits) return false;
        const uint64_t keep = ~cont & availBits;
        const uint64_t ascii = ~high;
        const int first =
            half(lower(b0), lower(b1), lower(b2), uint32_t(lead3), uint32_t(ascii), uint32_t(keep), out);
        produced = first + half(upper(b0), upper(b1), upper(b2), uint32_t(lead3 >> 32), uint32_t(ascii >> 32),
                                uint32_t(keep >> 32), out + first);
        carry = expectedAfter;
        return true;
    }
};

// Whether this processor (and the operating system) runs the wide kernel.
bool hasAvx512Utf8() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}

std::atomic<bool> gWideDecoding{hasAvx512Utf8()};

// How many bytes at the start of a block `carry` marks (bit 0, or bits 0 and 1).
inline size_t carryBytes(uint64_t carry) {
    return size_t(carry & 1) + size_t((carry >> 1) & 1);
}

// Decodes in[0, count) block by block; a block the kernel refuses is decoded one sequence at a time.
// A kernel without masked loads and stores reads READS_PAST bytes past its block and writes whole
// blocks: it needs in[count .. count + READS_PAST + WIDTH - 1] readable and room for WIDTH more units
// in `out` (Padded), or leaves the last bytes to a zero-padded copy. Otherwise `out` needs room for
// count units.
template <typename Kernel, bool Padded>
[[gnu::always_inline]] inline size_t decodeBlocks(const unsigned char* in, size_t count,
                                                  char16_t* out) noexcept {
    constexpr bool TAIL_COPY = !Kernel::MASKED && !Padded;
    size_t i = 0;
    char16_t* o = out;
    uint64_t carry = 0;
    for (;;) {
        const size_t left = count - i;
        if (TAIL_COPY && left < Kernel::WIDTH + Kernel::READS_PAST) break;
        if (left == 0) return size_t(o - out);
        const int avail = int(left < Kernel::WIDTH ? left : Kernel::WIDTH);
        int produced = 0;
        if (Kernel::block(in + i, avail, left, carry, o, produced)) {
            i += size_t(avail);
            o += produced;
            continue;
        }
        // The continuation bytes the previous block already decoded, then one sequence at a time.
        const size_t end = i + size_t(avail);
        i += carryBytes(carry);
        carry = 0;
        while (i < end && i < count)
            decodeSequence(in, count, i, o);
    }
    // The last bytes through a zero-padded copy, so that the kernel may read past them.
    i += carryBytes(carry);
    alignas(16) unsigned char tail[2 * (Kernel::WIDTH + Kernel::READS_PAST) + 1] = {};
    char16_t units[2 * Kernel::WIDTH + Kernel::READS_PAST];
    const size_t left = count - i;
    std::memcpy(tail, in + i, left);
    const size_t rest = decodeBlocks<Kernel, true>(tail, left, units);
    std::memcpy(o, units, rest * sizeof(char16_t));
    return size_t(o - out) + rest;
}

// The position of the first of the three byte values in p[0, count), or count.
template <typename Kernel>
[[gnu::always_inline]] inline size_t findBlocks(const unsigned char* p, size_t count, char a, char b,
                                                char c) noexcept {
    size_t i = 0;
    for (; i < count && (Kernel::MASKED || count - i >= Kernel::WIDTH); i += Kernel::WIDTH) {
        if (const uint64_t hits = Kernel::matches(p + i, count - i, a, b, c))
            return i + size_t(__builtin_ctzll(hits));
    }
    for (; i < count; ++i) {
        if (char(p[i]) == a || char(p[i]) == b || char(p[i]) == c) return i;
    }
    return count;
}

// The loops instantiated for each kernel, in functions compiled for that kernel's instructions, so
// that the kernel's block functions are inlined into them.
KALVEX_AVX512_TARGET size_t decodeWide(const unsigned char* in, size_t count, char16_t* out) noexcept {
    if (count <= 64) { // short ASCII text (names, values, numbers) is only widened
        const __m512i bytes = Avx512Kernel::load(in, count);
        if (_mm512_movepi8_mask(bytes) == 0) {
            const uint64_t used = _bzhi_u64(~0ull, unsigned(count));
            _mm512_mask_storeu_epi16(out, uint32_t(used), _mm512_cvtepu8_epi16(Avx512Kernel::lower(bytes)));
            if (count > 32) {
                _mm512_mask_storeu_epi16(out + 32, uint32_t(used >> 32),
                                         _mm512_cvtepu8_epi16(Avx512Kernel::upper(bytes)));
            }
            return count;
        }
    }
    return decodeBlocks<Avx512Kernel, true>(in, count, out);
}

KALVEX_AVX512_TARGET size_t findWide(const unsigned char* p, size_t count, char a, char b, char c) noexcept {
    return findBlocks<Avx512Kernel>(p, count, a, b, c);
}

} // namespace

size_t decodeUtf8(const char* in, size_t count, char16_t* out) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    if (gWideDecoding.load(std::memory_order_relaxed)) return decodeWide(bytes, count, out);
    return decodeBlocks<SseKernel, false>(bytes, count, out);
}

size_t findFirstOfBytes(const char* text, size_t count, char a, char b, char c) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    if (gWideDecoding.load(std::memory_order_relaxed)) return findWide(p, count, a, b, c);
    return findBlocks<SseKernel>(p, count, a, b, c);
}

bool setWideUtf8Decoding(bool enable) noexcept {
    return gWideDecoding.exchange(enable && hasAvx512Utf8());
}

size_t encodeUtf8(const char16_t* in, size_t count, char* output) noexcept {
    auto* o = reinterpret_cast<unsigned char*>(output);
    size_t i = 0;
    while (i < count) {
        while (i + 8 <= count && isAsciiBlock(in + i)) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(units, units));
            i += 8;
            o += 8;
        }
        if (i >= count) break;
        uint32_t c = in[i++];
        if (c < 0x80) {
            *o++ = uint8_t(c);
        } else if (c < 0x800) {
            *o++ = uint8_t(0xC0 | (c >> 6));
            *o++ = uint8_t(0x80 | (c & 0x3F));
        } else {
            if (c >= 0xD800 && c <= 0xDFFF) {
                if (completesPair(c, in, i, count)) {
                    const uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (in[i++] - 0xDC00);
                    *o++ = uint8_t(0xF0 | (cp >> 18));
                    *o++ = uint8_t(0x80 | ((cp >> 12) & 0x3F));
                    *o++ = uint8_t(0x80 | ((cp >> 6) & 0x3F));
                    *o++ = uint8_t(0x80 | (cp & 0x3F));
                    continue;
                }
                c = REPLACEMENT;
            }
            *o++ = uint8_t(0xE0 | (c >> 12));
            *o++ = uint8_t(0x80 | ((c >> 6) & 0x3F));
            *o++ = uint8_t(0x80 | (c & 0x3F));
        }
    }
    return size_t(o - reinterpret_cast<unsigned char*>(output));
}

// Every unit takes 3 bytes, less one below U+0800 and one more below U+0080; a low surrogate right
// after a high one completes a pair, which takes 4 bytes for both instead of 6. (A lone surrogate
// becomes U+FFFD, 3 bytes, like any other unit from U+0800 up.)
inline size_t getUnitUtf8Length(char16_t previous, char16_t unit) {
    const bool pair = (previous & 0xFC00) == 0xD800 && (unit & 0xFC00) == 0xDC00;
    return 3 - ((unit & 0xF800) == 0) - ((unit & 0xFF80) == 0) - 2 * pair;
}

size_t getUtf8Length(const char16_t* in, size_t count) noexcept {
    if (count == 0) return 0;
    size_t bytes = getUnitUtf8Length(0, in[0]);
    size_t i = 1;
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= count; i += 8) { // the same count, eight units at a time
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i previous = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i - 1));
        const __m128i surrogateBits = _mm_set1_epi16(int16_t(0xFC00));
        const int below800 =
            _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, _mm_set1_epi16(int16_t(0xF800))), zero));
        const int below80 =
            _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, _mm_set1_epi16(int16_t(0xFF80))), zero));
        const int pairs = _mm_movemask_epi8(_mm_and_si128(
            _mm_cmpeq_epi16(_mm_and_si128(previous, surrogateBits), _mm_set1_epi16(int16_t(0xD800))),
            _mm_cmpeq_epi16(_mm_and_si128(units, surrogateBits), _mm_set1_epi16(int16_t(0xDC00)))));
        // Each mask has two bits per unit.
        bytes += 24 - size_t(__builtin_popcount(unsigned(below800)) + __builtin_popcount(unsigned(below80)) +
                             2 * __builtin_popcount(unsigned(pairs))) /
                          2;
    }
    for (; i < count; ++i)
        bytes += getUnitUtf8Length(in[i - 1], in[i]);
    return bytes;
}

int getUtf8BufferSize(const char16_t* in, size_t count) {
    // A character buffer counts its bytes, terminator included, in an int.
    constexpr size_t MAX_BYTES = size_t(INT_MAX) - 1;
    if (count <= MAX_BYTES / 3) return int(count * 3 + 1);
    const size_t bytes = getUtf8Length(in, count);
    if (bytes <= MAX_BYTES) return int(bytes + 1);
    throw Exception(String::fromAscii("Cannot convert a string of " + std::to_string(count) +
                                      " units to UTF-8: it needs " + std::to_string(bytes) +
                                      " bytes, more than the 2147483646 a character buffer can hold"));
}

size_t countUtf8Starts(const char* in, size_t count) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    size_t starts = 0;
    size_t i = 0;
    for (; i + 16 <= count; i += 16) { // continuation bytes are the ones below -64 as signed bytes
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const int continuations = _mm_movemask_epi8(_mm_cmplt_epi8(block, _mm_set1_epi8(-64)));
        starts += 16 - size_t(__builtin_popcount(unsigned(continuations)));
    }
    for (; i < count; ++i)
        starts += !isContinuation(bytes[i]);
    return starts;
}

size_t getUtf8PieceLength(const char* in, size_t count, size_t wanted) noexcept {
    if (count <= wanted) return count;
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    // A sequence is at most 4 bytes: the piece ends before the last lead byte among the 4 at its end.
    // When all 4 are continuation bytes, none of them belongs to a sequence that goes on past it.
    for (size_t p = wanted; p > 0 && p + 4 > wanted; --p) {
        if (!isContinuation(bytes[p])) return p;
    }
    return wanted;
}

size_t findUnit(const char16_t* in, size_t count, char16_t c) noexcept {
    size_t i = 0;
    const __m128i needle = _mm_set1_epi16(int16_t(c));
    for (; i + 8 <= count; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(units, needle));
        if (mask != 0) return i + size_t(__builtin_ctz(unsigned(mask))) / 2;
    }
    for (; i < count; ++i) {
        if (in[i] == c) return i;
    }
    return count;
}

size_t findZeroUnit(const char16_t* in, size_t count) noexcept {
    return findUnit(in, count, 0);
}

} // namespace Kalvex::Detail

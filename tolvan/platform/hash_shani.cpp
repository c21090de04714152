// SHA-256 block compression with the processor's SHA extensions (chosen at run time by Sha256).
#include "tolvan/platform/hash.h"

#include <immintrin.h>
#include <utility>

namespace Kalvex::Detail {

namespace {

#define KALVEX_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))

// Four rounds of group G (0..15). msg[] rotates through W[4G..4G+3]; groups 0-3 load the block, later
// groups were prepared by the message-schedule steps of the groups before them.
template <int G>
KALVEX_SHA_TARGET inline void shaNiGroup(__m128i& abef, __m128i& cdgh, __m128i (&msg)[4], const uint8* block,
                                         __m128i byteSwap) noexcept {
    if constexpr (G < 4) {
        msg[G] =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * G)), byteSwap);
    }
    __m128i words = _mm_add_epi32(
        msg[G % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(SHA256_ROUND_CONSTANTS + 4 * G)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
    if constexpr (G >= 3 && G <= 14) {
        // W for group G + 1: finish the schedule with W[t-7] and W[t-2]..W[t-1] terms.
        __m128i& next = msg[(G + 1) % 4];
        next = _mm_add_epi32(next, _mm_alignr_epi8(msg[G % 4], msg[(G + 3) % 4], 4));
        next = _mm_sha256msg2_epu32(next, msg[G % 4]);
    }
    words = _mm_shuffle_epi32(words, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, words);
    if constexpr (G >= 1 && G <= 12) {
        // Start the schedule of group G + 3 from W[t-16] and W[t-15].
        msg[(G + 3) % 4] = _mm_sha256msg1_epu32(msg[(G + 3) % 4], msg[G % 4]);
    }
}

template <int... G>
KALVEX_SHA_TARGET inline void shaNiBlock(__m128i& abef, __m128i& cdgh, const uint8* block, __m128i byteSwap,
                                         std::integer_sequence<int, G...>) noexcept {
    __m128i msg[4];
    (shaNiGroup<G>(abef, cdgh, msg, block, byteSwap), ...);
}

} // namespace

KALVEX_SHA_TARGET void sha256CompressShaNi(uint32 (&state)[8], const uint8* blocks, size_t count) noexcept {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
    // The instructions want the state as (A, B, E, F) and (C, D, G, H).
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        shaNiBlock(abef, cdgh, blocks, byteSwap, std::make_integer_sequence<int, 16>());
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#undef KALVEX_SHA_TARGET

} // namespace Kalvex::Detail

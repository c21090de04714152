#include "tolvan/containers/utf.h"

#include <cstdint>
#include <cstring>
#include <smmintrin.h>

namespace Kalvex::Detail {
namespace {

constexpr char16_t REPLACEMENT = 0xFFFD;

inline bool isContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
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

} // namespace

size_t decodeUtf8(const char* input, size_t count, char16_t* out) noexcept {
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    size_t i = 0;
    char16_t* o = out;
    // Invariant: o - out <= i (no sequence yields more units than bytes), so a 16-unit store at o stays
    // inside the caller's `count` units whenever i + 16 <= count.
    while (i < count) {
        if (i + 16 <= count) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            const int mask = _mm_movemask_epi8(bytes);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_cvtepu8_epi16(bytes));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_cvtepu8_epi16(_mm_srli_si128(bytes, 8)));
            if (mask == 0) {
                i += 16;
                o += 16;
                continue;
            }
            // Keep the ASCII prefix; the sequence at the first high byte is decoded below.
            const size_t ascii = size_t(__builtin_ctz(unsigned(mask)));
            i += ascii;
            o += ascii;
        }
        const unsigned char b = in[i];
        if (b < 0x80) {
            *o++ = b;
            ++i;
            continue;
        }
        // Common well-formed two- and three-byte sequences first.
        if (b >= 0xC2 && b <= 0xDF && i + 1 < count && isContinuation(in[i + 1])) {
            *o++ = char16_t(((b & 0x1F) << 6) | (in[i + 1] & 0x3F));
            i += 2;
            continue;
        }
        if ((b & 0xF0) == 0xE0 && i + 2 < count && isContinuation(in[i + 1]) && isContinuation(in[i + 2])) {
            const uint32_t cp = ((b & 0x0F) << 12) | ((in[i + 1] & 0x3F) << 6) | (in[i + 2] & 0x3F);
            if (cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) {
                *o++ = char16_t(cp);
                i += 3;
                continue;
            }
        }
        const LeadInfo info = leadInfo(b);
        if (info.length == 0) {
            *o++ = REPLACEMENT;
            ++i;
            continue;
        }
        // Second byte has a lead-specific range; later ones are plain continuations.
        if (i + 1 >= count || in[i + 1] < info.low || in[i + 1] > info.high) {
            *o++ = REPLACEMENT;
            ++i;
            continue;
        }
        uint32_t cp = b & (0xFF >> (info.length + 1));
        cp = (cp << 6) | (in[i + 1] & 0x3F);
        size_t k = 2;
        while (k < info.length && i + k < count && isContinuation(in[i + k])) {
            cp = (cp << 6) | (in[i + k] & 0x3F);
            ++k;
        }
        if (k < info.length) { // truncated: the maximal subpart becomes one replacement
            *o++ = REPLACEMENT;
            i += k;
            continue;
        }
        i += k;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            *o++ = char16_t(0xD800 + (cp >> 10));
            *o++ = char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            *o++ = char16_t(cp);
        }
    }
    return size_t(o - out);
}

size_t encodeUtf8(const char16_t* in, size_t count, char* output) noexcept {
    auto* o = reinterpret_cast<unsigned char*>(output);
    const __m128i nonAscii = _mm_set1_epi16(int16_t(0xFF80));
    size_t i = 0;
    while (i < count) {
        while (i + 8 <= count) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            if (!_mm_testz_si128(units, nonAscii)) break;
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
                if (c <= 0xDBFF && i < count && in[i] >= 0xDC00 && in[i] <= 0xDFFF) {
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

// Float4: four single-precision lanes in one SSE register, the building block of the library's
// vectorised math (tolvan/utility/math4.h) and of its four-lane colour types.
//
//   Float4 a(1.f, 2.f, 3.f, 4.f);
//   Float4 b = max(a * a - Float4(5.f), Float4(0.f));   // (0, 0, 4, 11)
//   bool allPositive = allOf(b >= Float4(0.f));
//
// Comparisons return lane masks (all bits set where true, zero where false) for use with
// select(), allOf(), anyOf() and the bitwise operators.
#pragma once

#include <cassert>
#include <smmintrin.h>

namespace Kalvex {

/// Four single-precision lanes in one SSE register; comparisons give lane masks.
class Float4 {
public:
    // Construction and lane access

    /// All lanes zero.
    Float4() noexcept
        : mValue(_mm_setzero_ps()) {}
    /// Every lane `all`.
    explicit Float4(float all) noexcept
        : mValue(_mm_set1_ps(all)) {}
    /// Lanes in order x, y, z, w (lane 0 first).
    Float4(float x, float y, float z, float w) noexcept
        : mValue(_mm_setr_ps(x, y, z, w)) {}
    /// Wraps a raw SSE register.
    Float4(__m128 value) noexcept
        : mValue(value) {}

    /// Loads four floats from a 16-byte aligned address.
    [[nodiscard]] static Float4 load(const float* aligned) noexcept { return _mm_load_ps(aligned); }
    /// Loads four floats from any address.
    [[nodiscard]] static Float4 loadUnaligned(const float* data) noexcept { return _mm_loadu_ps(data); }
    /// Lanes holding the bit patterns of the four integers (masks, sign bits).
    [[nodiscard]] static Float4 fromBits(int x, int y, int z, int w) noexcept {
        return _mm_castsi128_ps(_mm_setr_epi32(x, y, z, w));
    }
    /// Stores the lanes to a 16-byte aligned address.
    void store(float* aligned) const noexcept { _mm_store_ps(aligned, mValue); }
    /// Stores the lanes to any address.
    void storeUnaligned(float* data) const noexcept { _mm_storeu_ps(data, mValue); }

    /// The raw SSE register.
    [[nodiscard]] __m128 get() const noexcept { return mValue; }

    /// Lane `lane` (0..3).
    [[nodiscard]] float operator[](int lane) const noexcept {
        assert(lane >= 0 && lane < 4 && "Float4 lane out of range");
        alignas(16) float lanes[4];
        _mm_store_ps(lanes, mValue);
        return lanes[lane & 3];
    }
    /// Replaces lane `lane` (0..3) with `value`.
    void set(int lane, float value) noexcept {
        assert(lane >= 0 && lane < 4 && "Float4 lane out of range");
        alignas(16) float lanes[4];
        _mm_store_ps(lanes, mValue);
        lanes[lane & 3] = value;
        mValue = _mm_load_ps(lanes);
    }
    /// Lane 0.
    [[nodiscard]] float x() const noexcept { return _mm_cvtss_f32(mValue); }
    /// Lane 1.
    [[nodiscard]] float y() const noexcept { return (*this)[1]; }
    /// Lane 2.
    [[nodiscard]] float z() const noexcept { return (*this)[2]; }
    /// Lane 3.
    [[nodiscard]] float w() const noexcept { return (*this)[3]; }

    // Arithmetic, lane by lane

    /// Lane-wise sum.
    friend Float4 operator+(const Float4& a, const Float4& b) noexcept {
        return _mm_add_ps(a.mValue, b.mValue);
    }
    /// Lane-wise difference.
    friend Float4 operator-(const Float4& a, const Float4& b) noexcept {
        return _mm_sub_ps(a.mValue, b.mValue);
    }
    /// Lane-wise product.
    friend Float4 operator*(const Float4& a, const Float4& b) noexcept {
        return _mm_mul_ps(a.mValue, b.mValue);
    }
    /// Lane-wise quotient.
    friend Float4 operator/(const Float4& a, const Float4& b) noexcept {
        return _mm_div_ps(a.mValue, b.mValue);
    }
    /// Every lane multiplied by `b`.
    friend Float4 operator*(const Float4& a, float b) noexcept { return a * Float4(b); }
    /// Every lane multiplied by `a`.
    friend Float4 operator*(float a, const Float4& b) noexcept { return Float4(a) * b; }
    /// Every lane divided by `b`.
    friend Float4 operator/(const Float4& a, float b) noexcept { return a / Float4(b); }
    /// Flips the sign bit of every lane (so -0 and NaN signs flip too).
    friend Float4 operator-(const Float4& a) noexcept { return _mm_xor_ps(a.mValue, _mm_set1_ps(-0.f)); }

    /// Adds `b` lane-wise; returns this.
    Float4& operator+=(const Float4& b) noexcept { return *this = *this + b; }
    /// Subtracts `b` lane-wise; returns this.
    Float4& operator-=(const Float4& b) noexcept { return *this = *this - b; }
    /// Multiplies by `b` lane-wise; returns this.
    Float4& operator*=(const Float4& b) noexcept { return *this = *this * b; }
    /// Divides by `b` lane-wise; returns this.
    Float4& operator/=(const Float4& b) noexcept { return *this = *this / b; }

    // Comparisons: lane masks (ordered comparisons are false for NaN, != is true for NaN)

    /// Lane mask of a == b.
    friend Float4 operator==(const Float4& a, const Float4& b) noexcept {
        return _mm_cmpeq_ps(a.mValue, b.mValue);
    }
    /// Lane mask of a != b.
    friend Float4 operator!=(const Float4& a, const Float4& b) noexcept {
        return _mm_cmpneq_ps(a.mValue, b.mValue);
    }
    /// Lane mask of a < b.
    friend Float4 operator<(const Float4& a, const Float4& b) noexcept {
        return _mm_cmplt_ps(a.mValue, b.mValue);
    }
    /// Lane mask of a <= b.
    friend Float4 operator<=(const Float4& a, const Float4& b) noexcept {
        return _mm_cmple_ps(a.mValue, b.mValue);
    }
    /// Lane mask of a > b.
    friend Float4 operator>(const Float4& a, const Float4& b) noexcept {
        return _mm_cmpgt_ps(a.mValue, b.mValue);
    }
    /// Lane mask of a >= b.
    friend Float4 operator>=(const Float4& a, const Float4& b) noexcept {
        return _mm_cmpge_ps(a.mValue, b.mValue);
    }

    // Bitwise operations on the lanes' bit patterns

    /// Bitwise and of the lanes.
    friend Float4 operator&(const Float4& a, const Float4& b) noexcept {
        return _mm_and_ps(a.mValue, b.mValue);
    }
    /// Bitwise or of the lanes.
    friend Float4 operator|(const Float4& a, const Float4& b) noexcept {
        return _mm_or_ps(a.mValue, b.mValue);
    }
    /// Bitwise exclusive or of the lanes.
    friend Float4 operator^(const Float4& a, const Float4& b) noexcept {
        return _mm_xor_ps(a.mValue, b.mValue);
    }

private:
    __m128 mValue;
};

static_assert(sizeof(Float4) == 16 && alignof(Float4) == 16, "Float4 is one SSE register");

// Lane-wise helpers

/// `a` AND NOT `mask` on the bit patterns: the lanes of `a` where `mask` is clear.
[[nodiscard]] inline Float4 andNot(const Float4& mask, const Float4& a) noexcept {
    return _mm_andnot_ps(mask.get(), a.get());
}
/// Per lane `mask ? ifTrue : ifFalse`; `mask` lanes must be all ones or all zeros (as comparisons give).
[[nodiscard]] inline Float4 select(const Float4& mask, const Float4& ifTrue, const Float4& ifFalse) noexcept {
    return _mm_blendv_ps(ifFalse.get(), ifTrue.get(), mask.get());
}
/// Bit i set when the sign bit of lane i is set.
[[nodiscard]] inline int moveMask(const Float4& mask) noexcept {
    return _mm_movemask_ps(mask.get());
}
/// True when every lane of the mask is set.
[[nodiscard]] inline bool allOf(const Float4& mask) noexcept {
    return moveMask(mask) == 0xF;
}
/// True when any lane of the mask is set.
[[nodiscard]] inline bool anyOf(const Float4& mask) noexcept {
    return moveMask(mask) != 0;
}

/// Lane-wise minimum; where a lane of either input is NaN the lane of `b` is returned.
[[nodiscard]] inline Float4 min(const Float4& a, const Float4& b) noexcept {
    return _mm_min_ps(a.get(), b.get());
}
/// Lane-wise maximum; where a lane of either input is NaN the lane of `b` is returned.
[[nodiscard]] inline Float4 max(const Float4& a, const Float4& b) noexcept {
    return _mm_max_ps(a.get(), b.get());
}
/// Each lane limited to [low, high].
[[nodiscard]] inline Float4 clamp(const Float4& x, const Float4& low, const Float4& high) noexcept {
    return min(max(x, low), high);
}
/// Lane-wise absolute value (the sign bit cleared).
[[nodiscard]] inline Float4 abs(const Float4& a) noexcept {
    return andNot(Float4(-0.f), a);
}
/// Each lane with the magnitude of `magnitude` and the sign of `sign`.
[[nodiscard]] inline Float4 copySign(const Float4& magnitude, const Float4& sign) noexcept {
    return abs(magnitude) | (sign & Float4(-0.f));
}
/// Correctly rounded lane-wise square root.
[[nodiscard]] inline Float4 sqrt(const Float4& a) noexcept {
    return _mm_sqrt_ps(a.get());
}
/// The processor's approximate reciprocal (relative error at most 1.5 * 2^-12).
[[nodiscard]] inline Float4 rcp(const Float4& a) noexcept {
    return _mm_rcp_ps(a.get());
}
/// The processor's approximate reciprocal square root (relative error at most 1.5 * 2^-12).
[[nodiscard]] inline Float4 rsqrt(const Float4& a) noexcept {
    return _mm_rsqrt_ps(a.get());
}
/// Rounds each lane to the nearest integer, ties to even.
[[nodiscard]] inline Float4 round(const Float4& a) noexcept {
    return _mm_round_ps(a.get(), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
}
/// Rounds each lane toward zero.
[[nodiscard]] inline Float4 trunc(const Float4& a) noexcept {
    return _mm_round_ps(a.get(), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
}
/// Rounds each lane toward minus infinity.
[[nodiscard]] inline Float4 floor(const Float4& a) noexcept {
    return _mm_round_ps(a.get(), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
}
/// Rounds each lane toward plus infinity.
[[nodiscard]] inline Float4 ceil(const Float4& a) noexcept {
    return _mm_round_ps(a.get(), _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC);
}
/// The sum of the four lanes.
[[nodiscard]] inline float horizontalSum(const Float4& a) noexcept {
    __m128 pairs = _mm_add_ps(a.get(), _mm_movehl_ps(a.get(), a.get()));
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}
/// The dot product of the first three lanes.
[[nodiscard]] inline float dot3(const Float4& a, const Float4& b) noexcept {
    return _mm_cvtss_f32(_mm_dp_ps(a.get(), b.get(), 0x71));
}

} // namespace Kalvex

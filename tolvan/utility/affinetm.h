// AffineTm: a 3 x 4 affine transform (three rows of three coefficients and a translation),
// applied to three-component values such as colours (tolvan/utility/color.h) and points.
//
//   AffineTm scale({{2.f, 0.f, 0.f}, {0.f, 2.f, 0.f}, {0.f, 0.f, 2.f}}, {1.f, 0.f, 0.f});
//   Float4 p = scale * Float4(1.f, 1.f, 1.f, 7.f);   // (3, 2, 2, 7): the fourth lane is kept
#pragma once

#include "tolvan/containers/optional.h"
#include "tolvan/containers/string.h"
#include "tolvan/utility/float4.h"

namespace Kalvex {

/// A 3 x 4 affine transform: three rows of three coefficients and a translation.
class AffineTm {
public:
    /// The identity.
    constexpr AffineTm() noexcept
        : AffineTm({{1.f, 0.f, 0.f}, {0.f, 1.f, 0.f}, {0.f, 0.f, 1.f}}, {0.f, 0.f, 0.f}) {}
    /// The matrix rows; no translation.
    constexpr explicit AffineTm(const float (&rows)[3][3]) noexcept
        : AffineTm(rows, {0.f, 0.f, 0.f}) {}
    /// The matrix rows and the translation added after them.
    constexpr AffineTm(const float (&rows)[3][3], const float (&translation)[3]) noexcept {
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                mColumns[column][row] = rows[row][column];
            }
            mColumns[3][row] = translation[row];
        }
    }

    /// Coefficient at `row` (0..2) and `column` (0..2; 3 is the translation).
    [[nodiscard]] constexpr float get(int row, int column) const noexcept { return mColumns[column][row]; }

    /// The transform applied to the first three lanes of `v`; the fourth lane is returned unchanged.
    [[nodiscard]] Float4 operator*(const Float4& v) const noexcept {
        Float4 x(_mm_shuffle_ps(v.get(), v.get(), _MM_SHUFFLE(0, 0, 0, 0)));
        Float4 y(_mm_shuffle_ps(v.get(), v.get(), _MM_SHUFFLE(1, 1, 1, 1)));
        Float4 z(_mm_shuffle_ps(v.get(), v.get(), _MM_SHUFFLE(2, 2, 2, 2)));
        Float4 r = Float4::load(mColumns[0]) * x + Float4::load(mColumns[1]) * y +
                   Float4::load(mColumns[2]) * z + Float4::load(mColumns[3]);
        return _mm_blend_ps(r.get(), v.get(), 0x8);
    }

    /// The composition "apply `second` first, then this one".
    [[nodiscard]] constexpr AffineTm operator*(const AffineTm& second) const noexcept {
        float rows[3][3] = {};
        float translation[3] = {};
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                rows[row][column] = get(row, 0) * second.get(0, column) +
                                    get(row, 1) * second.get(1, column) + get(row, 2) * second.get(2, column);
            }
            translation[row] = get(row, 0) * second.get(0, 3) + get(row, 1) * second.get(1, 3) +
                               get(row, 2) * second.get(2, 3) + get(row, 3);
        }
        return AffineTm(rows, translation);
    }

    /// Determinant of the 3 x 3 matrix part.
    [[nodiscard]] constexpr float getDeterminant() const noexcept {
        return get(0, 0) * (get(1, 1) * get(2, 2) - get(1, 2) * get(2, 1)) -
               get(0, 1) * (get(1, 0) * get(2, 2) - get(1, 2) * get(2, 0)) +
               get(0, 2) * (get(1, 0) * get(2, 1) - get(1, 1) * get(2, 0));
    }

    /// The inverse transform computed in single precision; empty when the matrix is singular or
    /// the inverse is not finite.
    [[nodiscard]] Optional<AffineTm> getInverse() const;
    /// The inverse by the adjugate over the determinant; the matrix must be invertible (a singular
    /// one gives infinite or NaN coefficients). Usable in constant expressions.
    [[nodiscard]] constexpr AffineTm getInverseUnchecked() const noexcept;

    /// True when all twelve coefficients are equal.
    [[nodiscard]] constexpr bool operator==(const AffineTm& o) const noexcept {
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 4; ++column) {
                if (get(row, column) != o.get(row, column)) return false;
            }
        }
        return true;
    }

    /// "[(a, b, c, tx), (d, e, f, ty), (g, h, i, tz)]": the rows with their translations.
    [[nodiscard]] String toString() const;

private:
    // Column-major with a zero fourth lane, so that applying the transform needs aligned loads only.
    alignas(16) float mColumns[4][4] = {};
};

/// The identity transform.
inline constexpr AffineTm AFFINETM_IDENTITY{};

constexpr AffineTm AffineTm::getInverseUnchecked() const noexcept {
    float determinant = getDeterminant();
    auto cofactor = [this](int r0, int r1, int c0, int c1) {
        return get(r0, c0) * get(r1, c1) - get(r0, c1) * get(r1, c0);
    };
    float rows[3][3] = {
        {cofactor(1, 2, 1, 2) / determinant, -cofactor(0, 2, 1, 2) / determinant,
         cofactor(0, 1, 1, 2) / determinant},
        {-cofactor(1, 2, 0, 2) / determinant, cofactor(0, 2, 0, 2) / determinant,
         -cofactor(0, 1, 0, 2) / determinant},
        {cofactor(1, 2, 0, 1) / determinant, -cofactor(0, 2, 0, 1) / determinant,
         cofactor(0, 1, 0, 1) / determinant},
    };
    float translation[3] = {};
    for (int row = 0; row < 3; ++row) {
        translation[row] = -(rows[row][0] * get(0, 3) + rows[row][1] * get(1, 3) + rows[row][2] * get(2, 3));
    }
    return AffineTm(rows, translation);
}

} // namespace Kalvex

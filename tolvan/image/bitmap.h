// Bitmaps: BitmapImpl<T, L>, a width x height array of pixels in one of two layouts, and
// Abstract::BitmapIterator, the pixel-by-pixel view through which saveImage reads any bitmap.
//
//   BitmapImpl<Rgb, 1> colour(Pixel(640, 480));   // column-major: (x, y) at x * height + y, y = 0 on top
//   colour(10, 0) = Rgb(1.f, 0.f, 0.f);
//   RgbBitmapIterator source(colour);             // what saveImage takes
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/common/types.h"
#include "tolvan/containers/array.h"
#include "tolvan/utility/color.h"
#include "tolvan/utility/geometry.h"

namespace Kalvex {

/// A width x height array of T. With L = 1 element (x, y) is stored at x * height + y (columns follow
/// each other); with L = 0 at y * width + x (rows follow each other). y = 0 is the top row.
template <typename T, int L>
class BitmapImpl {
    static_assert(L == 0 || L == 1, "layout 0 is row-major, layout 1 column-major");

public:
    BitmapImpl() noexcept = default;
    /// `size` default-constructed elements; a size with a component below 1 gives an empty bitmap.
    explicit BitmapImpl(const Pixel& size) { resize(size); }

    /// The new size; the elements are reallocated (and default-constructed) only when their count
    /// changes, else they keep their values. A component below 1 empties the bitmap.
    void resize(const Pixel& size) {
        const Pixel wanted = (size.x < 1 || size.y < 1) ? Pixel::ZERO : size;
        const int64 count = int64(wanted.x) * wanted.y;
        if (count != mPixels.size()) mPixels = Array<T, HeapAllocator, int64>(count);
        mSize = wanted;
    }

    /// Width and height in pixels.
    [[nodiscard]] Pixel getSize() const noexcept { return mSize; }
    /// Width in pixels.
    [[nodiscard]] int32 getWidth() const noexcept { return mSize.x; }
    /// Height in pixels.
    [[nodiscard]] int32 getHeight() const noexcept { return mSize.y; }
    /// True when the bitmap has no pixels.
    [[nodiscard]] bool isEmpty() const noexcept { return mPixels.size() == 0; }

    /// The index of element (x, y) in data(); no range check.
    [[nodiscard]] int64 indexOf(int32 x, int32 y) const noexcept {
        if constexpr (L == 1) {
            return int64(x) * mSize.y + y;
        } else {
            return int64(y) * mSize.x + x;
        }
    }
    /// Element (x, y); no range check.
    [[nodiscard]] T& operator()(int32 x, int32 y) noexcept { return mPixels[indexOf(x, y)]; }
    /// The pixel at column `x`, row `y`, which must lie inside.
    [[nodiscard]] const T& operator()(int32 x, int32 y) const noexcept { return mPixels[indexOf(x, y)]; }

    /// All width * height elements in the layout's order.
    [[nodiscard]] T* data() noexcept { return mPixels.data(); }
    /// Pointer to the elements; may be null when there are none.
    [[nodiscard]] const T* data() const noexcept { return mPixels.data(); }

private:
    Array<T, HeapAllocator, int64> mPixels;
    Pixel mSize;
};

namespace Abstract {

/// A bitmap read pixel by pixel as four floats (red, green, blue, alpha). Derived views implement the
/// three hooks; getPixel is only called with 0 <= x < width and 0 <= y < height, y = 0 at the top.
class BitmapIterator : public Polymorphic {
public:
    /// Width and height.
    [[nodiscard]] Pixel getSize() const { return getSizeImpl(); }
    /// Whether the fourth float of each pixel is a meaningful alpha value.
    [[nodiscard]] bool hasAlpha() const { return hasAlphaImpl(); }
    /// Pixel (x, y); the fourth lane is its alpha (1 when the bitmap has none).
    [[nodiscard]] Rgb getPixel(int32 x, int32 y) const { return getPixelImpl(x, y); }

protected:
    /// The size, for getSize().
    [[nodiscard]] virtual Pixel getSizeImpl() const = 0;
    /// Whether there is alpha, for hasAlpha().
    [[nodiscard]] virtual bool hasAlphaImpl() const = 0;
    /// The pixel, for getPixel().
    [[nodiscard]] virtual Rgb getPixelImpl(int32 x, int32 y) const = 0;
};

} // namespace Abstract

/// Iterates a colour bitmap and, when given, an alpha bitmap of the same size (both must outlive the
/// view). Without an alpha bitmap the fourth lane is 1.
class RgbBitmapIterator : public Abstract::BitmapIterator {
public:
    /// Iterates `colour`, with `alpha` when given (not owned; both must outlive the iterator).
    explicit RgbBitmapIterator(const BitmapImpl<Rgb, 1>& colour, const BitmapImpl<float, 1>* alpha = nullptr)
        : mColour(colour)
        , mAlpha(alpha) {}

protected:
    /// The colour bitmap's size.
    [[nodiscard]] Pixel getSizeImpl() const override { return mColour.getSize(); }
    /// True when an alpha bitmap was given.
    [[nodiscard]] bool hasAlphaImpl() const override { return mAlpha != nullptr; }
    /// The colour at (x, y) with the alpha in the fourth lane (1 without alpha).
    [[nodiscard]] Rgb getPixelImpl(int32 x, int32 y) const override {
        const Rgb& c = mColour(x, y);
        return Rgb(c.r, c.g, c.b, mAlpha ? (*mAlpha)(x, y) : 1.f);
    }

private:
    const BitmapImpl<Rgb, 1>& mColour;
    const BitmapImpl<float, 1>* mAlpha;
};

} // namespace Kalvex

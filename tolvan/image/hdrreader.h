// The library's own Radiance HDR (RGBE) reader and the shared-exponent pixel encoding it uses. The
// reader keeps pixels in their 4-byte form (Image::PixelFormat::Rgbe); Image::getRgba decodes them.
//
//   Io::FileInputStream in(u"/maps/sky.hdr");
//   Image sky = readHdrImage(in);
//   Rgb c = decodeRgbe(sky.data().data());            // the bottom-left pixel
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/image/image.h"
#include "tolvan/io/stream.h"
#include "tolvan/utility/color.h"

namespace Kalvex {

/// The colour of the bytes R, G, B, E: (0, 0, 0) when E is 0, else ((R + 0.5) f, (G + 0.5) f,
/// (B + 0.5) f) with f = 2^(E - 136). The fourth lane is 0.
[[nodiscard]] Rgb decodeRgbe(const uint8* rgbe) noexcept;

/// Writes the shared-exponent bytes of (r, g, b) to rgbe[0..3]: all 0 when the largest component is not
/// above 1e-32; components that are not above 0 get mantissa 0. Values too large for the exponent
/// byte saturate at 255.
void encodeRgbe(const Rgb& colour, uint8* rgbe) noexcept;

/// Reads a Radiance HDR file from the stream's current position: an Rgbe image whose row 0 is the
/// bottom row, gamma from the header (1 when absent), exposure correction applied. Throws Exception with
/// the reason on any failure, and when the pixels would exceed getImageSizeLimit().
[[nodiscard]] Image readHdrImage(Io::SeekableBinaryInputStream& stream);

} // namespace Kalvex

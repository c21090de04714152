// Lossless compression of single-channel float bitmaps: compressBitmap writes a region as the bytes of an
// in-memory OpenEXR file, decompressBitmap reads such bytes back. Failures come back as error values.
//
//   auto bytes = compressBitmap(depth, Bucket());      // the whole bitmap
//   if (bytes) store(*bytes); else report(bytes.error());
//   auto restored = decompressBitmap(*bytes);          // restored->getSize() == depth.getSize()
#pragma once

#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/image/bitmap.h"
#include "tolvan/utility/geometry.h"

#include <cstddef>

namespace Kalvex {

/// The decoded single-channel float bitmap of a compressed file.
using DecompressedBitmap = BitmapImpl<float, 0>;

/// A complete single-channel 32-bit-float OpenEXR file of the region (a default Bucket stands for the whole
/// bitmap), or "Region is not strictly inside the bitmap. ..." when the region leaves it, or "Error
/// compressing bitmap -- <reason>". Writes the sizes before and after to the debug output.
[[nodiscard]] Expected<Stack<std::byte>, String> compressBitmap(const BitmapImpl<float, 0>& bitmap,
                                                                const Bucket& region);

/// The bitmap of an OpenEXR file with exactly one channel, or "Error decompressing bitmap -- <reason>".
[[nodiscard]] Expected<DecompressedBitmap, String> decompressBitmap(ArrayView<const std::byte> bytes);

} // namespace Kalvex

// The registry of image file formats: one fixed table of the formats that can be loaded or saved, their
// extensions, what each can do and which sample types each can be written in; the file-name look-up and
// the filter strings of file dialogs; the library's own Kalvex EXR entry.
//
//   getImageFormatFromFileName(u"shot.JPEG")                       // ImageFormat::Jpeg
//   getImageFormatDescriptor(ImageFormat::Hdr).description        // "Radiance HDR"
//   getImageFormatsFileDialogFilter(ImageFormatFeature::Save, ImageFormatsFileDialogFilter::All)
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"

namespace Kalvex {

/// An image file format of the registry.
enum class ImageFormat : int32 {
    Bmp = 0,
    Png = 1,
    Jpeg = 2,
    Exr = 3,
    Gif = 4,
    Tga = 5,
    Tiff = 6,
    Hdr = 7,
    Cineon = 8,
    Dds = 9,
    Ico = 10,
    Iff = 11,
    Jpeg2000 = 12,
    Psd = 13,
    Rla = 14,
    Sgi = 15,
};

/// What a format can do.
enum class ImageFormatFeature : uint32 {
    /// The format can be read.
    Load = 0x1,
    /// The format can be written.
    Save = 0x2,
    /// An alpha channel can be written when saving.
    Alpha = 0x100,
};
KALVEX_DECLARE_FLAGS(ImageFormatFeature)

/// The sample type in which a file is written: the floating-point ones linear, the integer ones
/// gamma-corrected. Each has a name (its enumerator's text) for conversion to and from strings.
enum class ImageSavePixelFormat : uint32 {
    /// The format's default.
    DEFAULT = 0,
    UINT8_RGB = 1,
    UINT16_RGB = 2,
    FLT16_LINEAR_RGB = 4,
    FLT32_LINEAR_RGB = 8,
};
KALVEX_DECLARE_FLAGS(ImageSavePixelFormat)

/// "DEFAULT", "UINT8_RGB", ...; empty for a value without a name.
[[nodiscard]] Optional<String> toString(ImageSavePixelFormat format);
/// The format whose name equals `text` ignoring case; empty when none does.
[[nodiscard]] Optional<ImageSavePixelFormat> imageSavePixelFormatFromString(const String& text);
/// Every pixel format in value order, and their names in the same order.
[[nodiscard]] Stack<ImageSavePixelFormat> getImageSavePixelFormats();
/// The names of getImageSavePixelFormats(), in the same order.
[[nodiscard]] Stack<String> getImageSavePixelFormatNames();

/// One row of the registry.
struct ImageFormatDescriptor {
    /// The format.
    ImageFormat format = ImageFormat::Bmp;
    /// The image library's own name of the format.
    String pluginName;
    /// The human-readable name.
    String description;
    /// Lower-case, without the dot; the first is the main one.
    Stack<String> extensions;
    /// What the format supports.
    Flags<ImageFormatFeature> features;
    /// The pixel formats in which the format can be saved.
    Flags<ImageSavePixelFormat> savePixelFormats;
    /// Used when a caller asks for DEFAULT.
    ImageSavePixelFormat defaultSavePixelFormat = ImageSavePixelFormat::DEFAULT;
};

/// Options of getImageFormatsFileDialogFilter.
enum class ImageFormatsFileDialogFilter : uint32 {
    /// Add the Kalvex EXR entry (at the front).
    KalvexExr = 0x1,
    /// Add a leading "Supported" entry listing every extension of the other entries.
    Supported = 0x2,
    /// Add a final entry for all files.
    All = 0x4,
    /// Move the OpenEXR entry to the front.
    OpenExrFirst = 0x8,
};
KALVEX_DECLARE_FLAGS(ImageFormatsFileDialogFilter)

/// The table of all formats in its fixed order; built once, never changed. Safe from any thread.
[[nodiscard]] const Stack<ImageFormatDescriptor>& getSupportedImageFormats();

/// The row of `format`; a value without a row is a STOP failure.
[[nodiscard]] const ImageFormatDescriptor& getImageFormatDescriptor(ImageFormat format);

/// The format whose extension list holds the path's lower-cased extension (or, without an extension,
/// its lower-cased file name: a file named "HDR" is Radiance HDR). Throws Exception
/// "Unrecognized image file format for filename \"<path>\"" when no row matches.
[[nodiscard]] ImageFormat getImageFormatFromFileName(const Io::Path& path);

/// The filter string of a file dialog offering every format that has all `required` features, shaped
/// by `options`: entries "<name> files (<ext>, ...)|*.<ext>;..." joined by "|".
[[nodiscard]] String getImageFormatsFileDialogFilter(Flags<ImageFormatFeature> required,
                                                     Flags<ImageFormatsFileDialogFilter> options);

/// "Kalvex EXR files (kxr, kex, kexr)|*.kxr;*.kex;*.kexr".
[[nodiscard]] String getKalvexExrFileDialogFilter();

/// The Kalvex EXR description ("Kalvex EXR") and extensions (kxr, kex, kexr).
[[nodiscard]] const String& getKalvexExrDescription();
/// The Kalvex EXR extensions (kxr, kex, kexr).
[[nodiscard]] const Stack<String>& getKalvexExrExtensions();

/// True when the path's lower-cased extension is one of the Kalvex EXR extensions.
[[nodiscard]] bool isKalvexExrFileName(const Io::Path& path);

} // namespace Kalvex

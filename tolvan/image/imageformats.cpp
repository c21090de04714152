// The format table, file-name look-up and file-dialog filters.
#include "tolvan/image/imageformats.h"

#include "tolvan/common/exception.h"
#include "tolvan/containers/stringutils.h"

namespace Kalvex {

namespace {

using Feature = ImageFormatFeature;
using SaveFormat = ImageSavePixelFormat;

constexpr Detail::EnumItem SAVE_PIXEL_FORMAT_NAMES[] = {
    {0, u"DEFAULT"},          {1, u"UINT8_RGB"},        {2, u"UINT16_RGB"},
    {4, u"FLT16_LINEAR_RGB"}, {8, u"FLT32_LINEAR_RGB"},
};

// A name and its extensions: one entry of a file-dialog filter.
struct FilterEntry {
    String name;
    Stack<String> extensions;
};

ImageFormatDescriptor row(ImageFormat format, const char16_t* plugin, const char16_t* description,
                          std::initializer_list<const char16_t*> extensions, Flags<Feature> features,
                          Flags<SaveFormat> saveFormats, SaveFormat defaultFormat) {
    ImageFormatDescriptor d{format, plugin, description, {}, features, saveFormats, defaultFormat};
    for (const char16_t* e : extensions)
        d.extensions.push(String(e));
    return d;
}

} // namespace

const ImageFormatDescriptor& getImageFormatDescriptor(ImageFormat format) {
    for (const ImageFormatDescriptor& d : getSupportedImageFormats()) {
        if (d.format == format) return d;
    }
    KALVEX_STOP(); // an ImageFormat value without a row
}

const Stack<ImageFormatDescriptor>& getSupportedImageFormats() {
    static const Stack<ImageFormatDescriptor> table = [] {
        using F = ImageFormat;
        const Flags<Feature> load = Feature::Load;
        const Flags<Feature> loadSave = Feature::Load | Feature::Save;
        const Flags<Feature> loadAlpha = Feature::Load | Feature::Alpha;
        const Flags<Feature> all = loadSave | Feature::Alpha;
        const Flags<SaveFormat> none;
        const Flags<SaveFormat> u8 = SaveFormat::UINT8_RGB;
        const Flags<SaveFormat> u8u16 = SaveFormat::UINT8_RGB | SaveFormat::UINT16_RGB;
        const Flags<SaveFormat> f32 = SaveFormat::FLT32_LINEAR_RGB;
        const SaveFormat def = SaveFormat::DEFAULT;
        Stack<ImageFormatDescriptor> t;
        t.push(row(F::Bmp, u"bmp", u"Windows Bitmap", {u"bmp"}, all, u8, SaveFormat::UINT8_RGB));
        t.push(row(F::Cineon, u"cineon", u"Kodak Cineon", {u"cin"}, load, none, def));
        t.push(row(F::Dds, u"dds", u"DirectDraw Surface", {u"dds"}, loadAlpha, none, def));
        t.push(row(F::Exr, u"openexr", u"OpenEXR", {u"exr", u"sxr", u"mxr", u"fxr"}, all,
                   SaveFormat::FLT16_LINEAR_RGB | SaveFormat::FLT32_LINEAR_RGB,
                   SaveFormat::FLT32_LINEAR_RGB));
        t.push(row(F::Gif, u"gif", u"Graphics Interchange Format", {u"gif"}, load, none, def));
        t.push(row(F::Hdr, u"hdr", u"Radiance HDR", {u"hdr", u"rgbe", u"pic"}, loadSave, f32,
                   SaveFormat::FLT32_LINEAR_RGB));
        t.push(row(F::Ico, u"ico", u"Windows Icon", {u"ico"}, loadAlpha, none, def));
        t.push(row(F::Iff, u"iff", u"Interchange File Format", {u"iff"}, all, u8u16, SaveFormat::UINT8_RGB));
        t.push(row(F::Jpeg, u"jpeg", u"JPEG File Interchange Format",
                   {u"jpg", u"jpe", u"jpeg", u"jif", u"jfif", u"jfi"}, loadSave, u8, SaveFormat::UINT8_RGB));
        t.push(
            row(F::Jpeg2000, u"jpeg2000", u"JPEG 2000", {u"jp2", u"j2k"}, all, u8u16, SaveFormat::UINT8_RGB));
        t.push(
            row(F::Png, u"png", u"Portable Network Graphics", {u"png"}, all, u8u16, SaveFormat::UINT8_RGB));
        t.push(row(F::Psd, u"psd", u"Photoshop Document", {u"psd", u"psb", u"pdd"}, loadAlpha, none, def));
        t.push(row(F::Rla, u"rla", u"RLA File Format", {u"rla"}, all, u8u16 | f32, SaveFormat::UINT16_RGB));
        t.push(row(F::Sgi, u"sgi", u"SGI File Format", {u"sgi", u"rgb", u"rgba", u"int", u"inta", u"bw"}, all,
                   u8u16, SaveFormat::UINT8_RGB));
        t.push(row(F::Tga, u"targa", u"Targa Image File Format", {u"tga"}, all, u8, SaveFormat::UINT8_RGB));
        t.push(row(F::Tiff, u"tiff", u"Tagged Image File Format", {u"tiff", u"tif"}, all, u8u16 | f32,
                   SaveFormat::UINT16_RGB));
        return t;
    }();
    return table;
}

Optional<String> toString(ImageSavePixelFormat format) {
    return Detail::toString(int64(format), SAVE_PIXEL_FORMAT_NAMES);
}

Optional<ImageSavePixelFormat> imageSavePixelFormatFromString(const String& text) {
    const Optional<int64> value = Detail::fromString(text, SAVE_PIXEL_FORMAT_NAMES);
    if (!value) return {};
    return ImageSavePixelFormat(*value);
}

Stack<ImageSavePixelFormat> getImageSavePixelFormats() {
    Stack<ImageSavePixelFormat> formats;
    for (int64 v : Detail::valueSet(SAVE_PIXEL_FORMAT_NAMES))
        formats.push(ImageSavePixelFormat(v));
    return formats;
}

Stack<String> getImageSavePixelFormatNames() {
    return Detail::stringValueSet(SAVE_PIXEL_FORMAT_NAMES);
}

ImageFormat getImageFormatFromFileName(const Io::Path& path) {
    String key = path.extension();
    if (key.isEmpty()) key = path.fileName();
    key.toLowerCase();
    for (const ImageFormatDescriptor& d : getSupportedImageFormats()) {
        for (const String& e : d.extensions) {
            if (e == key) return d.format;
        }
    }
    throw Exception(String(u"Unrecognized image file format for filename ") << path.genericStr().quoted());
}

const String& getKalvexExrDescription() {
    static const String description(u"Kalvex EXR");
    return description;
}

const Stack<String>& getKalvexExrExtensions() {
    static const Stack<String> extensions{String(u"kxr"), String(u"kex"), String(u"kexr")};
    return extensions;
}

bool isKalvexExrFileName(const Io::Path& path) {
    String extension = path.extension();
    extension.toLowerCase();
    for (const String& e : getKalvexExrExtensions()) {
        if (e == extension) return true;
    }
    return false;
}

namespace {

bool contains(const Stack<String>& list, const String& item) {
    for (const String& s : list) {
        if (s == item) return true;
    }
    return false;
}

String join(const Stack<String>& items, const char16_t* prefix, const char16_t* separator, bool skipStar) {
    String text;
    bool first = true;
    for (const String& item : items) {
        if (skipStar && item == String(u"*")) continue;
        if (!first) text << separator;
        text << prefix << item;
        first = false;
    }
    return text;
}

// "<name> files (a, b)|*.a;*.b"; the parenthesised list leaves out "*" and is dropped when nothing remains.
String render(const FilterEntry& entry) {
    String text = entry.name;
    text << u" files";
    const String listed = join(entry.extensions, u"", u", ", true);
    if (!listed.isEmpty()) text << u" (" << listed << u")";
    text << u"|" << join(entry.extensions, u"*.", u";", false);
    return text;
}

String render(const Stack<FilterEntry>& entries) {
    String text;
    for (int i = 0; i < entries.size(); ++i) {
        if (i > 0) text << u"|";
        text << render(entries[i]);
    }
    return text;
}

void pushFront(Stack<FilterEntry>& entries, FilterEntry entry) {
    entries.push(std::move(entry));
    for (int i = entries.size() - 1; i > 0; --i)
        std::swap(entries[i], entries[i - 1]);
}

} // namespace

String getImageFormatsFileDialogFilter(Flags<ImageFormatFeature> required,
                                       Flags<ImageFormatsFileDialogFilter> options) {
    using Option = ImageFormatsFileDialogFilter;
    Stack<FilterEntry> entries;
    for (const ImageFormatDescriptor& d : getSupportedImageFormats()) {
        if ((d.features & required) != required) continue;
        FilterEntry entry{d.description, d.extensions};
        if (d.format == ImageFormat::Exr && options.has(Option::OpenExrFirst)) {
            pushFront(entries, std::move(entry));
        } else {
            entries.push(std::move(entry));
        }
    }
    if (options.has(Option::KalvexExr)) {
        pushFront(entries, FilterEntry{getKalvexExrDescription(), getKalvexExrExtensions()});
    }
    if (options.has(Option::Supported)) {
        FilterEntry supported{String(u"Supported"), {}};
        for (const FilterEntry& e : entries) {
            for (const String& extension : e.extensions) {
                if (!contains(supported.extensions, extension)) supported.extensions.push(extension);
            }
        }
        pushFront(entries, std::move(supported));
    }
    if (options.has(Option::All)) entries.push(FilterEntry{String(u"All"), {String(u"*")}});
    return render(entries);
}

String getKalvexExrFileDialogFilter() {
    Stack<FilterEntry> entries;
    entries.push(FilterEntry{getKalvexExrDescription(), getKalvexExrExtensions()});
    return render(entries);
}

} // namespace Kalvex

// The format registry: table contents, file-name look-up, file-dialog filters, pixel-format names.
#include "tolvan/image/imageformats.h"

#include <gtest/gtest.h>

#include <string>

using namespace Kalvex;

namespace {

std::string utf8(const String& s) {
    return s.toUtf8().cStr();
}

TEST(ImageFormats, TableOrderAndRows) {
    const Stack<ImageFormatDescriptor>& table = getSupportedImageFormats();
    const int order[] = {0, 8, 9, 3, 4, 7, 10, 11, 2, 12, 1, 13, 14, 15, 5, 6};
    ASSERT_EQ(table.size(), 16);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(int(table[i].format), order[i]) << i;
    EXPECT_EQ(&getSupportedImageFormats(), &table); // built once

    const ImageFormatDescriptor& hdr = getImageFormatDescriptor(ImageFormat::Hdr);
    EXPECT_EQ(utf8(hdr.pluginName), "hdr");
    EXPECT_EQ(utf8(hdr.description), "Radiance HDR");
    EXPECT_EQ(hdr.savePixelFormats, Flags<ImageSavePixelFormat>(ImageSavePixelFormat::FLT32_LINEAR_RGB));
    EXPECT_EQ(hdr.features, ImageFormatFeature::Load | ImageFormatFeature::Save);

    const ImageFormatDescriptor& tiff = getImageFormatDescriptor(ImageFormat::Tiff);
    EXPECT_EQ(utf8(tiff.pluginName), "tiff");
    ASSERT_EQ(tiff.extensions.size(), 2);
    EXPECT_EQ(utf8(tiff.extensions[1]), "tif");
    EXPECT_EQ(tiff.defaultSavePixelFormat, ImageSavePixelFormat::UINT16_RGB);
    EXPECT_TRUE(tiff.savePixelFormats.has(ImageSavePixelFormat::FLT32_LINEAR_RGB));
    EXPECT_FALSE(tiff.savePixelFormats.has(ImageSavePixelFormat::FLT16_LINEAR_RGB));

    const ImageFormatDescriptor& exr = getImageFormatDescriptor(ImageFormat::Exr);
    EXPECT_EQ(utf8(exr.pluginName), "openexr");
    EXPECT_EQ(exr.features, ImageFormatFeature::Load | ImageFormatFeature::Save | ImageFormatFeature::Alpha);
    EXPECT_EQ(getImageFormatDescriptor(ImageFormat::Gif).features,
              Flags<ImageFormatFeature>(ImageFormatFeature::Load));
    EXPECT_TRUE(getImageFormatDescriptor(ImageFormat::Cineon).savePixelFormats.isEmpty());
}

TEST(ImageFormats, UnknownValueIsStop) {
    try {
        (void)getImageFormatDescriptor(ImageFormat(99));
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "STOP@image/imageformats.cpp(40)");
    }
}

TEST(ImageFormats, FormatFromFileName) {
    const struct {
        const char16_t* name;
        ImageFormat format;
    } cases[] = {
        {u"a/b.JPEG", ImageFormat::Jpeg}, {u"x.jfif", ImageFormat::Jpeg},   {u"x.TIF", ImageFormat::Tiff},
        {u"x.pic", ImageFormat::Hdr},     {u"x.rgba", ImageFormat::Sgi},    {u"dir/png", ImageFormat::Png},
        {u"HDR", ImageFormat::Hdr},       {u"x.tar.exr", ImageFormat::Exr}, {u"x.Psb", ImageFormat::Psd},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getImageFormatFromFileName(Io::Path(c.name)), c.format) << utf8(c.name);

    for (const char16_t* bad : {u"C:\\renders\\noextension", u"x.kxr", u"x."}) {
        try {
            (void)getImageFormatFromFileName(Io::Path(bad));
            FAIL() << utf8(bad);
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()), "Unrecognized image file format for filename \"" +
                                                 utf8(Io::Path(bad).genericStr()) + "\"");
        }
    }
}

TEST(ImageFormats, FileDialogFilters) {
    using O = ImageFormatsFileDialogFilter;
    const std::string load = utf8(getImageFormatsFileDialogFilter(ImageFormatFeature::Load, {}));
    EXPECT_EQ(load.rfind("Windows Bitmap files (bmp)|*.bmp|Kodak Cineon files (cin)|*.cin|DirectDraw Surface "
                         "files (dds)|*.dds|OpenEXR files (exr, sxr, mxr, fxr)|*.exr;*.sxr;*.mxr;*.fxr|",
                         0),
              0u)
        << load;
    EXPECT_NE(load.find("|Tagged Image File Format files (tiff, tif)|*.tiff;*.tif"), std::string::npos);
    EXPECT_EQ(std::count(load.begin(), load.end(), '|'), 31); // 16 entries

    const std::string save = utf8(getImageFormatsFileDialogFilter(ImageFormatFeature::Save, O::OpenExrFirst));
    EXPECT_EQ(
        save.rfind("OpenEXR files (exr, sxr, mxr, fxr)|*.exr;*.sxr;*.mxr;*.fxr|Windows Bitmap files (bmp)|",
                   0),
        0u);
    for (const char* absent : {"Cineon", "DirectDraw", "Interchange Format files (gif)", "Icon", "Photoshop"})
        EXPECT_EQ(save.find(absent), std::string::npos) << absent;

    const std::string all =
        utf8(getImageFormatsFileDialogFilter(ImageFormatFeature::Save, O::Supported | O::All));
    EXPECT_EQ(all.rfind("Supported files (bmp, exr, sxr, mxr, fxr, hdr, rgbe, pic, iff, jpg, ", 0), 0u)
        << all;
    EXPECT_NE(all.find(")|*.bmp;*.exr;*.sxr;"), std::string::npos);
    EXPECT_NE(all.find("|Windows Bitmap files (bmp)|*.bmp|OpenEXR files"), std::string::npos);
    const std::string tail = "|All files|*.*";
    EXPECT_EQ(all.substr(all.size() - tail.size()), tail);

    const std::string kalvex = utf8(getImageFormatsFileDialogFilter(
        ImageFormatFeature::Load | ImageFormatFeature::Alpha, O::KalvexExr | O::Supported | O::OpenExrFirst));
    EXPECT_EQ(kalvex.rfind("Supported files (kxr, kex, kexr, exr, sxr, mxr, fxr, bmp, dds, ", 0), 0u)
        << kalvex;
    EXPECT_NE(kalvex.find("|Kalvex EXR files (kxr, kex, kexr)|*.kxr;*.kex;*.kexr|OpenEXR files"),
              std::string::npos);
    EXPECT_EQ(kalvex.find("JPEG File"), std::string::npos); // no alpha

    EXPECT_EQ(utf8(getKalvexExrFileDialogFilter()), "Kalvex EXR files (kxr, kex, kexr)|*.kxr;*.kex;*.kexr");
}

TEST(ImageFormats, SupportedListsEachExtensionOnce) {
    // The Supported entry is built from the other entries; with only All present it lists nothing of
    // "*", and a Kalvex EXR entry does not repeat OpenEXR's extensions.
    const std::string text = utf8(
        getImageFormatsFileDialogFilter(ImageFormatFeature::Load, ImageFormatsFileDialogFilter::Supported |
                                                                      ImageFormatsFileDialogFilter::All));
    const std::string head = text.substr(0, text.find('|'));
    EXPECT_EQ(head.find("*"), std::string::npos);
    EXPECT_EQ(head.find("exr"), head.rfind("exr"));
}

TEST(ImageFormats, KalvexExrFileNames) {
    EXPECT_TRUE(isKalvexExrFileName(Io::Path(u"shot.KXR")));
    EXPECT_TRUE(isKalvexExrFileName(Io::Path(u"a/shot.kexr")));
    EXPECT_FALSE(isKalvexExrFileName(Io::Path(u"shot.exr")));
    EXPECT_FALSE(isKalvexExrFileName(Io::Path(u"kxr")));
    EXPECT_EQ(utf8(getKalvexExrDescription()), "Kalvex EXR");
}

TEST(ImageFormats, SavePixelFormatNames) {
    const struct {
        ImageSavePixelFormat format;
        const char* name;
    } cases[] = {
        {ImageSavePixelFormat::DEFAULT, "DEFAULT"},
        {ImageSavePixelFormat::UINT8_RGB, "UINT8_RGB"},
        {ImageSavePixelFormat::UINT16_RGB, "UINT16_RGB"},
        {ImageSavePixelFormat::FLT16_LINEAR_RGB, "FLT16_LINEAR_RGB"},
        {ImageSavePixelFormat::FLT32_LINEAR_RGB, "FLT32_LINEAR_RGB"},
    };
    const Stack<String> names = getImageSavePixelFormatNames();
    ASSERT_EQ(names.size(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(utf8(toString(cases[i].format).value()), cases[i].name);
        EXPECT_EQ(imageSavePixelFormatFromString(String::fromUtf8(cases[i].name)).value(), cases[i].format);
        EXPECT_EQ(utf8(names[i]), cases[i].name);
        EXPECT_EQ(getImageSavePixelFormats()[i], cases[i].format);
    }
    EXPECT_EQ(imageSavePixelFormatFromString(u"flt16_linear_rgb").value(),
              ImageSavePixelFormat::FLT16_LINEAR_RGB);
    EXPECT_FALSE(imageSavePixelFormatFromString(u"UINT32_RGB").hasValue());
    EXPECT_FALSE(toString(ImageSavePixelFormat(3)).hasValue());
}

} // namespace

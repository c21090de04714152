// tolvan image info / convert: an image file's size, channels, pixel format and attributes, and
// conversion between the formats of the registry through the library's loading and saving.
#include "command.h"

#include "tolvan/image/bitmap.h"
#include "tolvan/image/image.h"
#include "tolvan/image/imageformats.h"

#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <string>

namespace Kalvex::Tools {

namespace {

const char* pixelFormatName(Image::PixelFormat format) {
    switch (format) {
    case Image::PixelFormat::Rgb8:
        return "Rgb8";
    case Image::PixelFormat::Rgba8:
        return "Rgba8";
    case Image::PixelFormat::RgbFloat:
        return "RgbFloat";
    case Image::PixelFormat::RgbaFloat:
        return "RgbaFloat";
    case Image::PixelFormat::Gray8:
        return "Gray8";
    case Image::PixelFormat::GrayFloat:
        return "GrayFloat";
    case Image::PixelFormat::Rgbe:
        return "Rgbe";
    default:
        return "Invalid";
    }
}

// The file's channel names, sample type and attributes as the image library reports them.
void printFileAttributes(const Io::Path& path) {
    const std::string name = path.platformStr().cStr();
    auto input = OIIO::ImageInput::open(name);
    if (!input) return;
    const OIIO::ImageSpec& spec = input->spec();
    std::string channels;
    for (const std::string& channel : spec.channelnames)
        channels += (channels.empty() ? "" : ", ") + channel;
    std::printf("Channels: %d (%s)\n", spec.nchannels, channels.c_str());
    std::printf("Stored samples: %s\n", spec.format.c_str());
    std::printf("Attributes:\n");
    for (const OIIO::ParamValue& attribute : spec.extra_attribs)
        std::printf("    %s = %s\n", attribute.name().c_str(), attribute.get_string(8).c_str());
    input->close();
}

int info(ArrayView<const String> words) {
    CommandLine::Parser parser;
    const Stack<String> values = parseWords(parser, words, 1, 1);
    const Io::Path path(values[0]);
    const ImageFormat format = getImageFormatFromFileName(path);
    const Image image(path, format);
    const Image::Descriptor& descriptor = image.descriptor();
    std::printf("File: %s\n", path.platformStr().cStr());
    std::printf("Format: %s\n", utf8(getImageFormatDescriptor(format).description).c_str());
    std::printf("Size: %d x %d\n", int(descriptor.width), int(descriptor.height));
    std::printf("Pixel format: %s (%d channels)\n", pixelFormatName(descriptor.pixelFormat),
                descriptor.pixelFormatChannelCount());
    std::printf("Gamma: %g\n", double(descriptor.gamma));
    printFileAttributes(path);
    return EXIT_OK;
}

ImageSavePixelFormat parseSaveFormat(const String& text) {
    if (const Optional<ImageSavePixelFormat> format = imageSavePixelFormatFromString(text)) return *format;
    String names;
    for (const String& name : getImageSavePixelFormatNames())
        names += (names.isEmpty() ? u"" : u", ") + name;
    throw UsageError(u"unknown pixel format " + text.quoted() + u" (one of " + names + u")");
}

bool hasTransparency(const BitmapImpl<float, 1>& alpha) {
    for (int x = 0; x < alpha.getWidth(); ++x) {
        for (int y = 0; y < alpha.getHeight(); ++y) {
            if (alpha(x, y) != 1.f) return true;
        }
    }
    return false;
}

int convert(ArrayView<const String> words) {
    ValueArgument format(u"", u"format", u"PIXELFORMAT", u"the sample type written: DEFAULT, UINT8_RGB, ...");
    CommandLine::Parser parser;
    parser.addArgument(format);
    const Stack<String> values = parseWords(parser, words, 2, 2);
    ImageSaveSettings settings;
    if (format.getLast()) settings.pixelFormat = parseSaveFormat(*format.getLast());
    const Io::Path input(values[0]);
    const Io::Path output(values[1]);
    BitmapImpl<Rgb, 1> colour;
    BitmapImpl<float, 1> alpha;
    loadImage(input, colour, &alpha, NONE);
    // Alpha is written only when the source has transparent pixels and the target format can hold it.
    settings.saveAlpha = hasTransparency(alpha);
    RgbBitmapIterator source(colour, settings.saveAlpha ? &alpha : nullptr);
    saveImage(output, source, true, NONE, settings);
    std::printf("Converted %s (%d x %d) to %s\n", input.platformStr().cStr(), int(colour.getWidth()),
                int(colour.getHeight()), output.platformStr().cStr());
    return EXIT_OK;
}

} // namespace

int runImage(ArrayView<const String> words) {
    const Action actions[] = {{u"info", info}, {u"convert", convert}};
    return runAction(words, actions);
}

} // namespace Kalvex::Tools

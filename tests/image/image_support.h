// Helpers of the imaging tests: a temporary directory per test and images written and read by OpenImageIO.
#pragma once

#include "io/stream_support.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace TolvanTest {

/// A temporary directory per test (see io/stream_support.h) with images written and read by OpenImageIO.
class ImageDirTest : public TempDirTest {
protected:
    /// Writes `data` (top row first, interleaved channels of `type`) with OpenImageIO.
    void writeWithOiio(const std::string& name, OIIO::ImageSpec spec, const void* data) const {
        auto out = OIIO::ImageOutput::create(native(name));
        ASSERT_TRUE(out) << name;
        ASSERT_TRUE(out->open(native(name), spec)) << name << ": " << out->geterror();
        ASSERT_TRUE(out->write_image(spec.format, data)) << name << ": " << out->geterror();
        ASSERT_TRUE(out->close()) << name;
    }

    /// The file's pixels as OpenImageIO reads them (alpha not premultiplied): floats, top row first, and
    /// the ImageSpec.
    std::vector<float> readWithOiio(const std::string& name, OIIO::ImageSpec* spec = nullptr) const {
        OIIO::ImageSpec config;
        config.attribute("oiio:UnassociatedAlpha", 1);
        auto in = OIIO::ImageInput::open(native(name), &config);
        EXPECT_TRUE(in) << name;
        if (!in) return {};
        if (spec) *spec = in->spec();
        std::vector<float> pixels(in->spec().image_pixels() * size_t(in->spec().nchannels));
        EXPECT_TRUE(in->read_image(0, 0, 0, in->spec().nchannels, OIIO::TypeDesc::FLOAT, pixels.data()));
        return pixels;
    }

};

} // namespace TolvanTest

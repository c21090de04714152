// Helpers of the imaging tests: a temporary directory per test and images written by OpenImageIO.
#pragma once

#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace TolvanTest {

class ImageDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvan_images_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        mDir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + mDir + "'").c_str()); }

    [[nodiscard]] std::string native(const std::string& name) const { return mDir + "/" + name; }
    [[nodiscard]] Kalvex::Io::Path path(const std::string& name) const {
        return Kalvex::Io::Path(Kalvex::String::fromUtf8(native(name).c_str()));
    }
    [[nodiscard]] std::string readFile(const std::string& name) const {
        std::ifstream in(native(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void writeFile(const std::string& name, const std::string& content) const {
        std::ofstream out(native(name), std::ios::binary);
        out << content;
    }

    /// Writes `data` (top row first, interleaved channels of `type`) with OpenImageIO.
    void writeWithOiio(const std::string& name, OIIO::ImageSpec spec, const void* data) const {
        auto out = OIIO::ImageOutput::create(native(name));
        ASSERT_TRUE(out) << name;
        ASSERT_TRUE(out->open(native(name), spec)) << name << ": " << out->geterror();
        ASSERT_TRUE(out->write_image(spec.format, data)) << name << ": " << out->geterror();
        ASSERT_TRUE(out->close()) << name;
    }

    /// The file's pixels as OpenImageIO reads them (alpha not premultiplied): floats, top row first, and
    /// the specification.
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

    std::string mDir;
};

} // namespace TolvanTest

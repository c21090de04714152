// Imaging against OpenImageIO called directly: our Radiance HDR reader against OpenImageIO's hdr reader
// on a 4096 x 2048 file; Image loading of a 16-bit PNG and a float EXR (2048 x 1024) against
// ImageInput::read_image into a float buffer; compressBitmap (1024 x 1024 floats) against writing the same
// in-memory EXR with OpenImageIO directly. Wall-clock times, since OpenEXR decodes on several threads.
#include "tolvan/image/bitmapcompression.h"
#include "tolvan/image/hdrreader.h"
#include "tolvan/image/image.h"
#include "tolvan/io/stream.h"

#include "ratio_reporter.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Kalvex;

namespace {

// Smooth colours with some detail, so run-length and wavelet coders see realistic data.
std::vector<float> pattern(int w, int h, int channels, float scale) {
    std::vector<float> v(size_t(w) * h * channels);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < channels; ++c) {
                const float s = std::sin(float(x) * 0.01f * float(c + 1)) * std::cos(float(y) * 0.013f);
                v[(size_t(y) * w + x) * channels + c] =
                    scale * (0.5f + 0.5f * s) + float((x * 7 + y * 3) % 16) / 256.f;
            }
        }
    }
    return v;
}

struct Files {
    std::string dir;
    std::string hdr, png, exr;

    Files() {
        char pattern[] = "/tmp/tolvan_image_bench_XXXXXX";
        dir = ::mkdtemp(pattern);
        hdr = dir + "/big.hdr";
        png = dir + "/deep.png";
        exr = dir + "/float.exr";
        write(hdr, 4096, 2048, OIIO::TypeDesc::FLOAT, 4.f);
        write(png, 2048, 1024, OIIO::TypeDesc::UINT16, 1.f);
        write(exr, 2048, 1024, OIIO::TypeDesc::FLOAT, 4.f);
    }
    ~Files() { std::system(("rm -rf '" + dir + "'").c_str()); }

    static void write(const std::string& name, int w, int h, OIIO::TypeDesc type, float scale) {
        const std::vector<float> pixels = pattern(w, h, 3, scale);
        auto out = OIIO::ImageOutput::create(name);
        if (!out || !out->open(name, OIIO::ImageSpec(w, h, 3, type)) ||
            !out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) || !out->close()) {
            std::abort();
        }
    }
};

const Files& files() {
    static const Files f;
    return f;
}

Io::Path pathOf(const std::string& s) {
    return Io::Path(String::fromUtf8(s.c_str()));
}

void readWithOiio(benchmark::State& state, const std::string& name) {
    for (auto _ : state) {
        auto in = OIIO::ImageInput::open(name);
        const OIIO::ImageSpec& spec = in->spec();
        std::vector<float> pixels(spec.image_pixels() * size_t(spec.nchannels));
        in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, pixels.data());
        benchmark::DoNotOptimize(pixels.data());
    }
}

void BM_OurHdrReader(benchmark::State& state) {
    const Io::Path path = pathOf(files().hdr);
    for (auto _ : state) {
        Io::FileInputStream in(path);
        const Image image = readHdrImage(in);
        benchmark::DoNotOptimize(image.data().data());
    }
}
void BM_OiioHdrReader(benchmark::State& state) {
    readWithOiio(state, files().hdr);
}

void BM_ImagePng16(benchmark::State& state) {
    const Io::Path path = pathOf(files().png);
    for (auto _ : state) {
        const Image image(path, {});
        benchmark::DoNotOptimize(image.data().data());
    }
}
void BM_OiioPng16(benchmark::State& state) {
    readWithOiio(state, files().png);
}

void BM_ImageExrFloat(benchmark::State& state) {
    const Io::Path path = pathOf(files().exr);
    for (auto _ : state) {
        const Image image(path, {});
        benchmark::DoNotOptimize(image.data().data());
    }
}
void BM_OiioExrFloat(benchmark::State& state) {
    readWithOiio(state, files().exr);
}

const BitmapImpl<float, 0>& bitmap() {
    static const BitmapImpl<float, 0> b = [] {
        BitmapImpl<float, 0> out(Pixel(1024, 1024));
        const std::vector<float> v = pattern(1024, 1024, 1, 10.f);
        std::copy(v.begin(), v.end(), out.data());
        return out;
    }();
    return b;
}

void BM_CompressBitmap(benchmark::State& state) {
    for (auto _ : state) {
        auto bytes = compressBitmap(bitmap(), Bucket());
        benchmark::DoNotOptimize(bytes.hasValue());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 1024 * 1024 * 4);
}
void BM_OiioCompressBitmap(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<unsigned char> file;
        OIIO::Filesystem::IOVecOutput out(file);
        OIIO::Filesystem::IOProxy* proxy = &out;
        OIIO::ImageSpec spec(1024, 1024, 1, OIIO::TypeDesc::FLOAT);
        spec.attribute("oiio:ColorSpace", "Linear");
        spec.attribute("oiio:Gamma", 1.f);
        spec.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxy);
        auto writer = OIIO::ImageOutput::create("exr");
        writer->open("memory.exr", spec);
        writer->write_image(OIIO::TypeDesc::FLOAT, bitmap().data());
        writer->close();
        benchmark::DoNotOptimize(file.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 1024 * 1024 * 4);
}

BENCHMARK(BM_OurHdrReader)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OiioHdrReader)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImagePng16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OiioPng16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImageExrFloat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OiioExrFloat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CompressBitmap)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OiioCompressBitmap)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    (void)files();
    return TolvanBench::runWithRatios(argc, argv,
                                      {{"BM_OurHdrReader/real_time", "BM_OiioHdrReader/real_time"},
                                       {"BM_ImagePng16/real_time", "BM_OiioPng16/real_time"},
                                       {"BM_ImageExrFloat/real_time", "BM_OiioExrFloat/real_time"},
                                       {"BM_CompressBitmap/real_time", "BM_OiioCompressBitmap/real_time"}});
}

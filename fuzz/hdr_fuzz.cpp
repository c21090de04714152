// The Radiance HDR reader over arbitrary bytes: it either throws Exception or returns an Rgbe image whose
// size agrees with its data, and never reads or writes outside its buffers (ASan). Images are limited to
// 1 MiB so that the limit itself is reached; a successful read must also be repeatable from a stream
// that delivers one byte per read. On the first run an empty corpus directory is filled with the seeds
// in fuzz/seeds/hdr (written by fuzz/seeds/make_hdr_seeds.sh).
#include "tolvan/image/hdrreader.h"
#include "tolvan/image/image.h"
#include "tolvan/io/stream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

using namespace Kalvex;

namespace {

constexpr uint64 SIZE_LIMIT = uint64(1) << 20;

void check(bool condition) {
    if (!condition) std::abort();
}

// Delivers one byte per read, as a slow device would.
class OneByteStream : public Io::MemoryInputStream {
public:
    using MemoryInputStream::MemoryInputStream;

protected:
    int64 readImpl(void* dst, int64 count) override {
        return MemoryInputStream::readImpl(dst, count > 0 ? 1 : 0);
    }
};

// Copies the seeds into the corpus directory (the last argument not starting with '-') when it is empty.
void seedCorpus(int argc, char** argv) {
    namespace fs = std::filesystem;
    for (int i = argc - 1; i > 0; --i) {
        if (argv[i][0] == '-') continue;
        std::error_code error;
        const fs::path corpus(argv[i]);
        if (!fs::is_directory(corpus, error) || !fs::is_empty(corpus, error)) return;
        for (const auto& seed : fs::directory_iterator(TOLVAN_HDR_SEED_DIR, error))
            fs::copy_file(seed.path(), corpus / seed.path().filename(), error);
        return;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setImageSizeLimit(SIZE_LIMIT);
    seedCorpus(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Io::MemoryInputStream in(size > 0 ? data : reinterpret_cast<const uint8_t*>(""), int64(size));
    try {
        const Image image = readHdrImage(in);
        const Image::Descriptor& d = image.descriptor();
        check(d.isValid() && d.pixelFormat == Image::PixelFormat::Rgbe);
        check(uint64(d.requiredBufferSize()) <= SIZE_LIMIT && image.data().size() == d.requiredBufferSize());
        (void)image.getRgba(d.width - 1, d.height - 1);
        if (size <= 4096) {
            OneByteStream slow(size > 0 ? data : reinterpret_cast<const uint8_t*>(""), int64(size));
            const Image again = readHdrImage(slow);
            check(again.data() == image.data());
        }
    } catch (const Exception&) {
        // Refused input.
    }
    return 0;
}

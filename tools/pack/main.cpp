// tolvan_pack: writes a pack file from the files below a directory.
//
//   tolvan_pack create <pack> <directory> [--compress] [--seed N]
//
// Entry names are the paths relative to <directory>, with "/" separators.
#include "pack/packwriter.h"

#include "tolvan/io/filesystem.h"
#include "tolvan/io/stream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

using namespace Kalvex;

namespace {

int usage() {
    std::fputs("usage: tolvan_pack create <pack> <directory> [--compress] [--seed N]\n", stderr);
    return 2;
}

int create(const Io::Path& packPath, const Io::Path& directory, Tools::PackWriter::Store store, uint32 seed) {
    if (!Io::dirExists(directory)) {
        std::fprintf(stderr, "tolvan_pack: '%s' is not a directory\n", directory.platformStr().cStr());
        return 1;
    }
    Io::FileOutputStream file(packPath);
    Tools::PackWriter writer(file, seed);
    const int32 rootLength = (directory / String(u"x")).genericStr().length() - 1;
    int64 count = 0;
    for (const Io::Path& path : Io::getFiles(directory, Io::GetFiles::Recursive)) {
        Expected<Array<std::byte>, String> bytes = Io::readBinaryFile(path);
        if (!bytes) throw Exception(bytes.error());
        writer.addFile(path.genericStr().getSubstr(rootLength), *bytes, store);
        ++count;
    }
    writer.finish();
    file.close();
    std::printf("%lld files written to %s\n", (long long)count, packPath.platformStr().cStr());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || std::strcmp(argv[1], "create") != 0) return usage();
    auto store = Tools::PackWriter::Store::Plain;
    uint32 seed = 1;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--compress") == 0) {
            store = Tools::PackWriter::Store::Compressed;
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = uint32(std::strtoul(argv[++i], nullptr, 0));
        } else {
            return usage();
        }
    }
    try {
        return create(Io::Path(String::fromUtf8(argv[2])), Io::Path(String::fromUtf8(argv[3])), store, seed);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tolvan_pack: %s\n", e.what());
        return 1;
    }
}

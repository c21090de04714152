// tolvan pack create / list / extract: pack files written with the pack writer and read with PackFileVfs.
// Extraction checks every entry name with DirectoryReadDataContext (the same guard the receiver uses)
// before it writes anything, so no entry can land outside the target directory.
#include "command.h"

#include "pack/packwriter.h"

#include "tolvan/io/filesystem.h"
#include "tolvan/io/packfilevfs.h"
#include "tolvan/io/stream.h"
#include "tolvan/net/sockets.h"

#include <cstdio>

namespace Kalvex::Tools {

namespace {

int create(ArrayView<const String> words) {
    FlagArgument compress(u"", u"compress", u"store the entries deflate-compressed");
    ValueArgument seed(u"", u"seed", u"N", u"the keystream seed (default 1)");
    CommandLine::Parser parser;
    parser.addArgument(compress);
    parser.addArgument(seed);
    const Stack<String> values = parseWords(parser, words, 2, 2);
    const Io::Path directory(values[0]);
    const Io::Path packPath(values[1]);
    const auto seedValue =
        uint32(seed.getLast() ? parseNumber(*seed.getLast(), 0, UINT32_MAX, "the seed") : 1);
    const auto store = compress.isPresent() ? PackWriter::Store::Compressed : PackWriter::Store::Plain;
    if (!Io::dirExists(directory)) throw Exception(u"'" + directory.genericStr() + u"' is not a directory");

    Io::FileOutputStream file(packPath);
    PackWriter writer(file, seedValue);
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
    return EXIT_OK;
}

int list(ArrayView<const String> words) {
    CommandLine::Parser parser;
    const Stack<String> values = parseWords(parser, words, 1, 1);
    PackFileVfs pack{Io::Path(values[0])};
    std::printf("%12s %12s  %s\n", "size", "stored", "name");
    for (const PackFileVfs::Entry& entry : pack.entries()) {
        std::printf("%12lld %12lld%s %s\n", (long long)entry.size, (long long)entry.storedLength,
                    entry.compressed ? " z" : "  ", entry.name.platformStr().cStr());
    }
    std::printf("%lld entries\n", (long long)pack.entries().size());
    return EXIT_OK;
}

int extract(ArrayView<const String> words) {
    CommandLine::Parser parser;
    const Stack<String> values = parseWords(parser, words, 2, 2);
    PackFileVfs pack{Io::Path(values[0])};
    const Io::Path directory(values[1]);
    if (!Io::dirExists(directory) && !Io::createDirs(directory)) {
        throw Exception(u"cannot create the directory '" + directory.genericStr() + u"'");
    }
    // Every name is checked before the first file is written.
    const DirectoryReadDataContext guard(directory);
    Stack<Io::Path> targets;
    for (const PackFileVfs::Entry& entry : pack.entries()) {
        try {
            targets.push(guard.getFilePath(XmlString(u"FileName", entry.name.genericStr())));
        } catch (const Exception& refused) {
            throw Exception(u"not extracting " + values[0].quoted() + u": entry " +
                            entry.name.genericStr().quoted() + u" would leave the directory (" +
                            refused.getMessage() + u")");
        }
    }
    for (int64 i = 0; i < targets.size(); ++i) {
        const Io::Path& target = targets[int32(i)];
        const Io::Path parent = target.parentDirectory();
        if (!Io::dirExists(parent) && !Io::createDirs(parent)) {
            throw Exception(u"cannot create the directory '" + parent.genericStr() + u"'");
        }
        AutoPtr<Io::SeekableBinaryInputStream> in = pack.openForReading(pack.entries()[i].name);
        Io::forwardStreamToFile(*in, target);
    }
    std::printf("%lld files extracted to %s\n", (long long)targets.size(), directory.platformStr().cStr());
    return EXIT_OK;
}

} // namespace

int runPack(ArrayView<const String> words) {
    const Action actions[] = {{u"create", create}, {u"list", list}, {u"extract", extract}};
    return runAction(words, actions);
}

} // namespace Kalvex::Tools

// tolvan hash: SHA-256 or MD5 digests of files, printed as sha256sum and md5sum print them, so that
// "sha256sum -c" and "md5sum -c" accept the output.
#include "command.h"

#include "tolvan/io/stream.h"
#include "tolvan/platform/hash.h"

#include <cstdio>
#include <string>

namespace Kalvex::Tools {

namespace {

constexpr int64 PIECE = 1 << 20;

// The lower-case hexadecimal digest of the file, read in pieces.
template <typename Hasher>
String digestOfFile(const Io::Path& path) {
    Io::FileInputStream in(path);
    Hasher hasher;
    Stack<std::byte> buffer;
    buffer.resize(int32(PIECE));
    for (int64 got; (got = in.read(buffer.data(), PIECE)) > 0;)
        hasher.update(buffer.data(), size_t(got));
    std::byte digest[Hasher::DIGEST_SIZE];
    hasher.finish(digest);
    return Detail::toLowerHex(digest, Hasher::DIGEST_SIZE);
}

// A checksum line. As in the coreutils tools, a name holding a backslash or a line feed is written with
// those escaped and the line starts with a backslash.
std::string checksumLine(const String& digest, const std::string& name) {
    std::string escaped;
    for (const char c : name) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    const std::string prefix = escaped.size() != name.size() ? "\\" : "";
    return prefix + digest.toUtf8().cStr() + "  " + escaped + "\n";
}

} // namespace

String sha256OfFile(const Io::Path& path) {
    return digestOfFile<Detail::Sha256>(path);
}

int runHash(ArrayView<const String> words) {
    FlagArgument md5(u"", u"md5", u"MD5 digests (as md5sum)");
    FlagArgument sha256(u"", u"sha256", u"SHA-256 digests (as sha256sum, the default)");
    CommandLine::Parser parser;
    parser.addArgument(md5);
    parser.addArgument(sha256);
    const Stack<String> files = parseWords(parser, words, 1, INT32_MAX);
    if (md5.isPresent() && sha256.isPresent()) throw UsageError("--md5 and --sha256 exclude each other");
    int code = EXIT_OK;
    for (const String& name : files) {
        try {
            const Io::Path path(name);
            const String digest = md5.isPresent() ? digestOfFile<Detail::Md5>(path) : sha256OfFile(path);
            std::fputs(checksumLine(digest, name.toUtf8().cStr()).c_str(), stdout);
        } catch (const Exception& failure) {
            std::fflush(stdout);
            std::fprintf(stderr, "tolvan hash: %s\n", failure.what());
            code = EXIT_FAILED;
        }
    }
    return code;
}

} // namespace Kalvex::Tools

#include "tolvan/platform/hash.h"

#include "tolvan/io/path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Kalvex;
using Detail::Sha256;
using Detail::Sha256Engine;

namespace {

std::string utf8(const String& s) {
    return s.toUtf8().cStr();
}

// Every SHA-256 engine this processor can run; each must give the same digests.
std::vector<Sha256Engine> availableEngines() {
    std::vector<Sha256Engine> engines{Sha256Engine::PORTABLE};
    if (Detail::hasSha256Extensions()) engines.push_back(Sha256Engine::SHA_NI);
    return engines;
}

const char* engineName(Sha256Engine engine) {
    return engine == Sha256Engine::SHA_NI ? "SHA-NI" : "portable";
}

// Digests `data` with the engine, fed in pieces of `piece` bytes (0: all at once).
std::string sha256Hex(Sha256Engine engine, const std::string& data, size_t piece = 0) {
    Sha256 digest(engine);
    EXPECT_EQ(digest.getEngine(), engine);
    if (piece == 0) piece = data.size() + 1;
    for (size_t at = 0; at < data.size(); at += piece)
        digest.update(data.data() + at, std::min(piece, data.size() - at));
    std::byte result[Sha256::DIGEST_SIZE];
    digest.finish(result);
    return utf8(Detail::toLowerHex(result, Sha256::DIGEST_SIZE));
}

std::string md5Hex(const std::string& data, size_t piece) {
    Detail::Md5 digest;
    for (size_t at = 0; at < data.size(); at += piece)
        digest.update(data.data() + at, std::min(piece, data.size() - at));
    std::byte result[Detail::Md5::DIGEST_SIZE];
    digest.finish(result);
    return utf8(Detail::toLowerHex(result, Detail::Md5::DIGEST_SIZE));
}

std::string md5Hex(const std::string& data) {
    return utf8(getMd5AsString(
        ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(data.data()), int64(data.size()))));
}

// Bytes (7i + 3) mod 256, the pattern the padding table below was computed over.
std::string patternBytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 7 + 3) & 255);
    return s;
}

struct TextVector {
    const char* text;
    const char* sha256;
    const char* md5;
};

const TextVector TEXT_VECTORS[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "d41d8cd98f00b204e9800998ecf8427e"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
     "900150983cd24fb0d6963f7d28e17f72"},
    {"a", "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb",
     "0cc175b9c0f1b6a831c399e269772661"},
    {"message digest", "f7846f55cf23e14eebeab5b4e1550cad5b509e3348fbc4efa3a1413d393cb650",
     "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "71c480df93d6ae2f1efad1447c66c9525e316218cf51fc8d9ed832f2daf18b73",
     "c3fcd3d76192e4007dfb496cca67e13b"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", "8215ef0796a20bcaaae116d3876c664a"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "f371bc4a311f2b009eef952dd83ca80e2b60026c8e935592d0f9c308453c813e", "57edf4a22be3c955ac49da2e2107b67a"},
};

// Lengths around the one-block / two-block padding boundaries and a few multi-block ones.
const struct {
    size_t length;
    const char* sha256;
    const char* md5;
} PADDING_VECTORS[] = {
    {1, "084fed08b978af4d7d196a7446a86b58009e636b611db16211b65a9aadff29c5",
     "8666683506aacd900bbd5a74ac4edf68"},
    {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b",
     "52c0e574e1198de5fe3f8f11440dcb1b"},
    {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27",
     "46c9907fc908ee68b1e7b8e71286a518"},
    {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055",
     "a62f6d59e837867693f042f5b8f5a236"},
    {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241",
     "7160b8fb5e9e4023d549c3971fbaeead"},
    {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e",
     "70bd662e7aefbda85a0f7244167b7897"},
    {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e",
     "e84905d4214f4d1ca56c2cdcc152b143"},
    {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5",
     "e3eb5a6c8669ea01a8c185b8abc8a5dc"},
    {127, "a8d23e75d936f303d248888d9b165ee543f4cbafcad3c9dd2a79bd84faa11d07",
     "acce2474d6cc8302120d09c818d17ef7"},
    {128, "d2742f1f4ac6bb7ca2b239ee18402ba8b3f9f8e652d2a72973c2b9ba11c08cf6",
     "10b2da1a82f16d99a81a7203fe9f02cb"},
    {129, "307f8fc2c1622b92762e818d39a185d4d667ad49a4b07ceae1f4afa008a93ec4",
     "03fefbbcebe2959cf2270241aafe0250"},
    {1000, "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371",
     "10046f077f2082ac19676b8079f1cb1a"},
};

} // namespace

TEST(HashTest, PublishedTextVectors) {
    for (const TextVector& v : TEXT_VECTORS) {
        SCOPED_TRACE(v.text);
        EXPECT_EQ(utf8(getKalvexHash256AsString(v.text)), v.sha256);
        EXPECT_EQ(utf8(getMd5AsString(v.text)), v.md5);
        EXPECT_EQ(md5Hex(v.text), v.md5);
        const Array<std::byte> binary = getKalvexHash256AsBinary(v.text);
        ASSERT_EQ(binary.size(), 32);
        EXPECT_EQ(utf8(Detail::toLowerHex(binary.data(), 32)), v.sha256);
        for (Sha256Engine engine : availableEngines())
            EXPECT_EQ(sha256Hex(engine, v.text), v.sha256) << engineName(engine);
    }
}

TEST(HashTest, PaddingBoundariesWholeAndInPieces) {
    for (const auto& v : PADDING_VECTORS) {
        SCOPED_TRACE(v.length);
        const std::string data = patternBytes(v.length);
        const auto* bytes = reinterpret_cast<const std::byte*>(data.data());
        EXPECT_EQ(utf8(getKalvexHash256AsString(bytes, int(data.size()))), v.sha256);
        EXPECT_EQ(md5Hex(data), v.md5);
        // Odd piece sizes send the input through the partial-block buffer in every position.
        for (size_t piece : {1, 7, 63, 64, 65}) {
            EXPECT_EQ(md5Hex(data, piece), v.md5) << "piece " << piece;
            for (Sha256Engine engine : availableEngines()) {
                EXPECT_EQ(sha256Hex(engine, data, piece), v.sha256)
                    << engineName(engine) << " piece " << piece;
            }
        }
    }
}

TEST(HashTest, OneMillionLetters) {
    const std::string data(1000000, 'a');
    for (Sha256Engine engine : availableEngines()) {
        EXPECT_EQ(sha256Hex(engine, data), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0")
            << engineName(engine);
    }
    EXPECT_EQ(md5Hex(data), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(HashTest, NullAndNegativeInputsDigestNothing) {
    const char* empty256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    EXPECT_EQ(utf8(getKalvexHash256AsString(nullptr)), empty256);
    const std::byte some[4] = {};
    EXPECT_EQ(utf8(getKalvexHash256AsString(some, -4)), empty256);
    EXPECT_EQ(utf8(getMd5AsString(static_cast<const char*>(nullptr))), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(HashTest, AutomaticEngineUsesExtensionsWhenPresent) {
    const Sha256 digest;
    EXPECT_EQ(digest.getEngine(),
              Detail::hasSha256Extensions() ? Sha256Engine::SHA_NI : Sha256Engine::PORTABLE);
}

namespace {

class HashFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvan_hash_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        mDir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + mDir + "'").c_str()); }

    std::string write(const std::string& name, const std::string& content) {
        const std::string path = mDir + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f) {
            EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
            std::fclose(f);
        }
        return path;
    }

    // The first word that `tool path` prints, or "" when the tool cannot run.
    static std::string runTool(const char* tool, const std::string& path) {
        FILE* pipe = ::popen((std::string(tool) + " '" + path + "' 2>/dev/null").c_str(), "r");
        if (!pipe) return "";
        char line[256] = {};
        const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
        ::pclose(pipe);
        std::string text = got ? line : "";
        return text.substr(0, text.find(' '));
    }

    std::string mDir;
};

} // namespace

TEST_F(HashFileTest, RandomFilesAgreeWithSystemTools) {
    if (runTool("md5sum", "/dev/null").empty() || runTool("sha256sum", "/dev/null").empty()) {
        GTEST_SKIP() << "md5sum or sha256sum not available";
    }
    std::mt19937 random(12345);
    // Sizes around the 64 KiB read pieces and the 64-byte blocks.
    for (size_t size : {0, 1, 64, 65535, 65536, 65537, 3 * 65536 + 55, 300001}) {
        SCOPED_TRACE(size);
        std::string content(size, '\0');
        for (char& c : content)
            c = char(random() & 0xFF);
        const std::string path = write("file" + std::to_string(size) + ".bin", content);
        EXPECT_EQ(utf8(getMd5AsString(Io::Path(String::fromUtf8(path.c_str())))), runTool("md5sum", path));
        EXPECT_EQ(
            utf8(getKalvexHash256AsString(reinterpret_cast<const std::byte*>(content.data()), int(size))),
            runTool("sha256sum", path));
    }
}

TEST_F(HashFileTest, UnreadableFilesGiveEmptyText) {
    EXPECT_EQ(utf8(Detail::getMd5OfFileAsString((mDir + "/missing.bin").c_str())), "");
    EXPECT_EQ(utf8(getMd5AsString(Io::Path(String::fromUtf8((mDir + "/missing.bin").c_str())))), "");
    EXPECT_EQ(utf8(getMd5AsString(Io::Path(String::fromUtf8(mDir.c_str())))), "");
    EXPECT_EQ(utf8(Detail::getMd5OfFileAsString(mDir.c_str())), ""); // a folder has no content to read
    EXPECT_EQ(utf8(Detail::getMd5OfFileAsString(nullptr)), "");
    EXPECT_EQ(utf8(Detail::getMd5OfFileAsString("")), "");
}

TEST_F(HashFileTest, NonAsciiFileName) {
    const std::string path = write("r\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC.txt", "abc");
    EXPECT_EQ(utf8(Detail::getMd5OfFileAsString(path.c_str())), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(utf8(getMd5AsString(Io::Path(String::fromUtf8(path.c_str())))),
              "900150983cd24fb0d6963f7d28e17f72");
}

TEST(UtilsHashTest, StatedValues) {
    EXPECT_EQ(Utils::hash("abc", 3), 0x1883C496EEBD2A0Full);
    EXPECT_EQ(Utils::hash("a", 1), 0x773E3FFBE83E7233ull);
    EXPECT_EQ(Utils::hash("", 0), 0xCBF29CE484222325ull);
    EXPECT_EQ(Utils::hash(nullptr, 0), 0xCBF29CE484222325ull);
    // Order matters and every byte counts.
    EXPECT_NE(Utils::hash("ab", 2), Utils::hash("ba", 2));
    EXPECT_NE(Utils::hash("a\0", 2), Utils::hash("a", 1));
}

TEST(UuidTest, VersionFourTextForm) {
    const std::string first = utf8(generateUuidAsString());
    ASSERT_EQ(first.size(), 36u);
    for (size_t i = 0; i < first.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(first[i], '-') << i;
        } else {
            EXPECT_NE(std::string("0123456789abcdef").find(first[i]), std::string::npos) << first;
        }
    }
    EXPECT_EQ(first[14], '4') << first;
    EXPECT_NE(std::string("89ab").find(first[19]), std::string::npos) << first;
    EXPECT_NE(first, utf8(generateUuidAsString()));
}

TEST(SecureRandomTest, FillsAndRejectsBadArguments) {
    std::byte a[64] = {}, b[64] = {};
    ASSERT_TRUE(Utils::secureRandom(a, 64));
    ASSERT_TRUE(Utils::secureRandom(b, 64));
    EXPECT_NE(std::memcmp(a, b, 64), 0); // equal with probability 2^-512
    EXPECT_TRUE(Utils::secureRandom(a, 0));
    EXPECT_TRUE(Utils::secureRandom(nullptr, 0));
    EXPECT_FALSE(Utils::secureRandom(a, -1));
    EXPECT_FALSE(Utils::secureRandom(nullptr, 8));
    std::vector<std::byte> large(1 << 20);
    EXPECT_TRUE(Utils::secureRandom(large.data(), int(large.size())));
}

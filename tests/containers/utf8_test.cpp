#include "tolvan/containers/string.h"
#include "tolvan/containers/utf.h"

#include "tolvan/common/exception.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

struct Utf8Case {
    const char* name;
    std::string bytes;
    std::u16string units;
};

} // namespace

TEST(Utf8, DecodeTable) {
    const Utf8Case cases[] = {
        {"ascii", "abc", u"abc"},
        {"two byte", "\xC3\xA9", u"\u00E9"},
        {"three byte", "\xE2\x82\xAC", u"\u20AC"},
        {"four byte", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"largest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"overlong four byte", "\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"truncated three byte", "\xE2\x82", u"\uFFFD"},
        {"truncated then ascii", "\xE2\x82x", u"\uFFFDx"},
        {"truncated four byte", "\xF0\x9F\x98", u"\uFFFD"},
        {"lone continuation",
         "a\x80"
         "b",
         u"a\uFFFDb"},
        {"encoded high surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"encoded low surrogate", "\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"invalid lead", "\xFF\xFE", u"\uFFFD\uFFFD"},
        {"long ascii run then multibyte", "0123456789abcdefghij\xC3\xA9", u"0123456789abcdefghij\u00E9"},
    };
    for (const Utf8Case& c : cases) {
        const String decoded = String::fromUtf8(c.bytes.c_str());
        EXPECT_EQ(std::u16string(decoded.view()), c.units) << c.name;
        EXPECT_LE(decoded.capacity(), int(c.bytes.size()) + 1) << c.name;
    }
    EXPECT_TRUE(String::fromUtf8(nullptr).isEmpty());
    EXPECT_TRUE(String::fromUtf8("").isEmpty());
    EXPECT_EQ(String::fromUtf8(std::string_view("a\0b", 3)).length(), 3); // the view form keeps zero bytes
}

TEST(Utf8, EncodeTable) {
    const Utf8Case cases[] = {
        {"ascii", "abc", u"abc"},
        {"bmp", "\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
        {"pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"lone high surrogate", "\xEF\xBF\xBDx", std::u16string{char16_t(0xD83D), u'x'}},
        {"lone low surrogate", "x\xEF\xBF\xBD", std::u16string{u'x', char16_t(0xDE00)}},
        {"reversed pair", "\xEF\xBF\xBD\xEF\xBF\xBD", std::u16string{char16_t(0xDE00), char16_t(0xD83D)}},
        {"stops at zero unit", "ab", std::u16string{u'a', u'b', 0, u'c'}},
    };
    for (const Utf8Case& c : cases) {
        const String s(c.units.data(), int(c.units.size()));
        const auto encoded = s.toUtf8();
        EXPECT_EQ(std::string(encoded.cStr()), c.bytes) << c.name;
        EXPECT_EQ(encoded.count(), int(c.bytes.size()) + 1) << c.name;
    }
    EXPECT_EQ(String().toUtf8().count(), 0);
    EXPECT_EQ(String(std::u16string_view(u"\0x", 2)).toUtf8().count(), 0); // nothing before the first zero
}

TEST(Utf8, LengthMatchesTheEncoder) {
    // Random mixes of ASCII runs (whole blocks of 8 and parts of them), two- and three-byte units,
    // pairs, lone and reversed surrogates.
    const char16_t pieces[] = {u'a', 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xD83D, 0xDE00, 0xE000, 0xFFFF};
    std::mt19937 rng(2024);
    for (int round = 0; round < 2000; ++round) {
        std::u16string units;
        const int n = int(rng() % 60);
        for (int i = 0; i < n; ++i)
            units.push_back(rng() % 3 == 0 ? pieces[rng() % std::size(pieces)] : u'x');
        std::vector<char> out(units.size() * 3 + 1);
        const size_t written = Detail::encodeUtf8(units.data(), units.size(), out.data());
        EXPECT_EQ(Detail::getUtf8Length(units.data(), units.size()), written) << "round " << round;
    }
}

namespace {

// `bytes` bytes of one repeated pattern, mapped read-only from a single 2 MiB page of memory again
// and again: gigabytes of address space that cost 2 MiB of memory and nothing to fill.
class RepeatedPattern {
public:
    static constexpr size_t CHUNK = size_t(2) << 20;

    RepeatedPattern(const void* pattern, size_t patternBytes, size_t bytes)
        : mBytes((bytes + CHUNK - 1) / CHUNK * CHUNK) {
        const int fd = memfd_create("pattern", 0);
        if (fd < 0 || ftruncate(fd, off_t(CHUNK)) != 0) return;
        auto* chunk = static_cast<char*>(mmap(nullptr, CHUNK, PROT_WRITE, MAP_SHARED, fd, 0));
        if (chunk == MAP_FAILED) return;
        for (size_t i = 0; i < CHUNK; ++i)
            chunk[i] = static_cast<const char*>(pattern)[i % patternBytes];
        munmap(chunk, CHUNK);
        void* base = mmap(nullptr, mBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base != MAP_FAILED) {
            mBase = static_cast<char*>(base);
            for (size_t offset = 0; offset < mBytes && mBase; offset += CHUNK) {
                if (mmap(mBase + offset, CHUNK, PROT_READ, MAP_SHARED | MAP_FIXED | MAP_POPULATE, fd, 0) ==
                    MAP_FAILED) {
                    munmap(mBase, mBytes);
                    mBase = nullptr;
                }
            }
        }
        close(fd);
    }
    ~RepeatedPattern() {
        if (mBase) munmap(mBase, mBytes);
    }
    RepeatedPattern(const RepeatedPattern&) = delete;
    RepeatedPattern& operator=(const RepeatedPattern&) = delete;

    [[nodiscard]] const char* data() const { return mBase; }

private:
    size_t mBytes;
    char* mBase = nullptr;
};

// `count` units of a repeated pattern.
class RepeatedUnits : public RepeatedPattern {
public:
    RepeatedUnits(std::u16string_view pattern, size_t count)
        : RepeatedPattern(pattern.data(), pattern.size() * sizeof(char16_t), count * sizeof(char16_t)) {}
    [[nodiscard]] const char16_t* data() const {
        return reinterpret_cast<const char16_t*>(RepeatedPattern::data());
    }
};

} // namespace

TEST(Utf8, BufferSizeOfStringsBeyondTheThreeByteBound) {
    // Past the bound the exact length is measured (pairs and two-byte units against the encoder are
    // checked above); each case here scans about 716 million units.
    constexpr size_t BOUND = 715827882; // the most units whose 3-byte bound (+ 1) fits in an int
    const RepeatedUnits ascii(u"a", BOUND + 1);
    ASSERT_NE(ascii.data(), nullptr);
    EXPECT_EQ(Detail::getUtf8BufferSize(ascii.data(), BOUND), 2147483647); // the bound itself: not measured
    EXPECT_EQ(Detail::getUtf8BufferSize(ascii.data(), BOUND + 1), 715827884);
    EXPECT_EQ(Detail::getUtf8BufferSize(nullptr, 0), 1);

    // Three bytes per unit past the bound: the exact length does not fit either.
    const RepeatedUnits wide(u"\u4E00", BOUND + 1);
    ASSERT_NE(wide.data(), nullptr);
    try {
        (void)Detail::getUtf8BufferSize(wide.data(), BOUND + 1);
        ADD_FAILURE() << "expected an Exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(),
                     "Cannot convert a string of 715827883 units to UTF-8: it needs 2147483649 bytes, "
                     "more than the 2147483646 a character buffer can hold");
    }
}

TEST(Utf8, PiecesOfLongTextEndWhereNoSequenceGoesOn) {
    struct Case {
        const char* name;
        std::string bytes;
        size_t wanted;
        size_t length;
    };
    const Case cases[] = {
        {"all of a short text", "abc", 8, 3},
        {"ASCII", "abcdefgh", 4, 4},
        {"before a lead byte", "abc\xE2\x82\xAC", 4, 3},
        {"after a whole sequence",
         "\xE2\x82\xAC"
         "abc",
         3, 3},
        {"before a four-byte lead", "a\xF0\x9F\x98\x80", 3, 1},
        {"lone continuation bytes", "\x80\x80\x80\x80\x80\x80", 4, 4},
        {"after a four-byte sequence", "\xF0\x9F\x98\x80\x80\x80", 4, 4},
    };
    for (const Case& c : cases) {
        const size_t length = Detail::getUtf8PieceLength(c.bytes.data(), c.bytes.size(), c.wanted);
        EXPECT_EQ(length, c.length) << c.name;
        // Decoded in two pieces, the text decodes as it does whole.
        const std::string_view all(c.bytes);
        EXPECT_EQ(String::fromUtf8(all.substr(0, length)) + String::fromUtf8(all.substr(length)),
                  String::fromUtf8(all))
            << c.name;
    }
}

TEST(Utf8, DecodingTextLongerThanAStringFailsClearly) {
    const size_t bytes = (size_t(1) << 31) + 16;
    const RepeatedPattern text("a", 1, bytes);
    ASSERT_NE(text.data(), nullptr);
    try {
        (void)String::fromUtf8(std::string_view(text.data(), bytes));
        ADD_FAILURE() << "expected an Exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(),
                     "Cannot convert 2147483664 bytes of UTF-8 to a string: they decode to more than "
                     "2147483646 units");
    }
    const std::string mixed =
        "a\xE2\x82\xAC\x80\xF0\x9F\x98\x80\xC3\xA9z\x7F\xBF\xC0\xFF"; // 16 bytes, 8 starts
    EXPECT_EQ(Detail::countUtf8Starts(mixed.data(), 5), 2u);
    EXPECT_EQ(Detail::countUtf8Starts((mixed + mixed + "a").data(), 33), 17u);
}

TEST(Utf8, RoundTripKeepsEveryValidUtf16String) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        std::u16string units;
        const int n = int(rng() % 40) + 1;
        while (int(units.size()) < n) {
            const uint32_t kind = rng() % 4;
            if (kind == 0) {
                units.push_back(char16_t(0x20 + rng() % 0x5F));
            } else if (kind == 1) {
                char16_t c = char16_t(1 + rng() % 0xFFFF);
                if (c >= 0xD800 && c <= 0xDFFF) c = 0xE000;
                units.push_back(c);
            } else {
                const uint32_t cp = 0x10000 + rng() % 0x100000;
                units.push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
                units.push_back(char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
            }
        }
        const String original(units.data(), int(units.size()));
        EXPECT_EQ(String::fromUtf8(original.toUtf8().cStr()), original) << "round " << round;
    }
}

namespace {

// A plain byte-at-a-time decoder with the maximal-subpart rule, to check the block decoder against.
std::u16string referenceDecode(const std::string& bytes) {
    std::u16string out;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        const unsigned char lead = b[i];
        int length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF)
            length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF)
            length = 3;
        else if (lead >= 0xF0 && lead <= 0xF4)
            length = 4;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
        size_t k = 1;
        uint32_t cp = lead & (0x7F >> length);
        while (length > 0 && k < size_t(length) && i + k < n) {
            const unsigned char c = b[i + k];
            const bool ok = k == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
            if (!ok) break;
            cp = (cp << 6) | (c & 0x3F);
            ++k;
        }
        if (length == 0 || k < size_t(length)) {
            out.push_back(0xFFFD);
        } else if (cp >= 0x10000) {
            out.push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
        i += k;
    }
    return out;
}

} // namespace

// Random mixtures of ASCII, two-, three- and four-byte sequences, their boundary forms and stray or
// truncated bytes, at every length around the 16-byte blocks of the decoder.
TEST(Utf8, DecodingMatchesAPlainDecoderOnMixedAndBrokenInput) {
    const std::string pieces[] = {"a",
                                  "0123456789",
                                  " ",
                                  "\xC3\xA9",
                                  "\xC2\x80",
                                  "\xDF\xBF",
                                  "\xE2\x82\xAC",
                                  "\xE0\xA0\x80",
                                  "\xED\x9F\xBF",
                                  "\xEF\xBF\xBF",
                                  "\xF0\x9F\x98\x80",
                                  "\xF4\x8F\xBF\xBF",
                                  "\x80",
                                  "\xBF",
                                  "\xC0\xAF",
                                  "\xC1",
                                  "\xE0\x9F\x80",
                                  "\xED\xA0\x80",
                                  "\xE2\x82",
                                  "\xF0\x9F",
                                  "\xF5",
                                  "\xFF",
                                  std::string(1, '\0')};
    const bool wideAtStart = Detail::setWideUtf8Decoding(false);
    for (const bool wide : {false, true}) {
        Detail::setWideUtf8Decoding(wide);
        std::mt19937 rng(4242);
        for (int round = 0; round < 20000; ++round) {
            std::string bytes;
            const size_t target = rng() % 200;
            while (bytes.size() < target)
                bytes += pieces[rng() % std::size(pieces)];
            const String decoded = String::fromUtf8(std::string_view(bytes));
            ASSERT_EQ(std::u16string(decoded.view()), referenceDecode(bytes))
                << "round " << round << " wide " << wide;
        }
    }
    Detail::setWideUtf8Decoding(wideAtStart);
}

// The byte search behind the line readers, on both decoders' kernels: hits in the first, a middle and
// the last block, in the unaligned tail, and none.
TEST(Utf8, FindFirstOfBytesFindsTheEarliestOfThree) {
    const bool wideAtStart = Detail::setWideUtf8Decoding(false);
    for (const bool wide : {false, true}) {
        Detail::setWideUtf8Decoding(wide);
        for (const size_t length : {0, 1, 15, 16, 17, 63, 64, 65, 130}) {
            for (size_t hit = 0; hit <= length; ++hit) {
                std::string text(length, 'x');
                if (hit < length) text[hit] = '\r';
                if (hit + 1 < length) text[hit + 1] = '\n';
                const size_t found = Detail::findFirstOfBytes(text.data(), text.size(), '\n', '\r', '\0');
                ASSERT_EQ(found, hit) << "length " << length << " wide " << wide;
            }
        }
        EXPECT_EQ(Detail::findFirstOfBytes("ab\0c", 4, '\n', '\n', '\0'), 2u);
    }
    Detail::setWideUtf8Decoding(wideAtStart);
}

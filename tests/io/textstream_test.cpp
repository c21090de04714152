#include "tolvan/containers/utf.h"
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/io/textstream.h"

#include "io/stream_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::Io;
using TolvanTest::ChunkedSource;
using TolvanTest::thrownMessage;

namespace {

using Lines = std::vector<std::u16string>;

const TextEncoding ENCODINGS[] = {TextEncoding::Utf8, TextEncoding::Utf16Le, TextEncoding::Utf16Be};

const char* const ODD_BYTE_ERROR =
    "Io::readChar() - Not enough bytes left in the binary input stream to read a character of the width required!";

// The bytes of `text` (zero units included) in `encoding`, without a mark.
std::string encode(const std::u16string& text, TextEncoding encoding) {
    if (encoding == TextEncoding::Utf8) {
        std::string out(text.size() * 3, '\0');
        out.resize(Detail::encodeUtf8(text.data(), text.size(), out.data()));
        return out;
    }
    std::string out;
    for (const char16_t unit : text) {
        const char low = char(unit & 0xFF);
        const char high = char(unit >> 8);
        out += encoding == TextEncoding::Utf16Le ? std::string{low, high} : std::string{high, low};
    }
    return out;
}

std::string bytesOf(ArrayView<const std::byte> view) {
    return std::string(reinterpret_cast<const char*>(view.data()), size_t(view.size()));
}

// The two kinds of source a text stream meets: seekable memory and a socket-like stream that delivers
// a few bytes per read.
enum class SourceKind { Seekable, Trickling };

AutoPtr<BinaryInputStream> makeSource(const std::string& bytes, SourceKind kind) {
    if (kind == SourceKind::Trickling) return AutoPtr<BinaryInputStream>(makeAutoPtr<ChunkedSource>(bytes, 3));
    Array<std::byte, HeapAllocator, long long> array(
        ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(bytes.data()), int64(bytes.size())));
    return AutoPtr<BinaryInputStream>(makeAutoPtr<ArrayInputStream<>>(std::move(array)));
}

TextInputStream makeText(const std::string& bytes, SourceKind kind, TextEncoding encoding, bool translate) {
    return TextInputStream(makeSource(bytes, kind), encoding,
                           translate ? Flags<TextInputStream::Open>(TextInputStream::Open::TranslateNewlines)
                                     : Flags<TextInputStream::Open>());
}

std::u16string toStd(const String& s) {
    return std::u16string(s.view());
}

// The marker readAllLines and readEverything put in place of a failure.
std::u16string failure(const std::string& message) {
    return u"!" + std::u16string(message.begin(), message.end());
}

// Every line until the end; a failure ends the list with "!" and the message.
Lines readAllLines(TextInputStream& in) {
    Lines lines;
    try {
        while (const Optional<String> line = in.readLine())
            lines.push_back(toStd(*line));
    } catch (const Exception& e) {
        lines.push_back(failure(e.what()));
    }
    return lines;
}

std::u16string readEverything(TextInputStream& in) {
    try {
        return toStd(in.readAll());
    } catch (const Exception& e) {
        return failure(e.what());
    }
}

class TextFiles : public TolvanTest::TempDirTest {};

} // namespace

// ---- byte-order marks ----

TEST(TextInputStream, ByteOrderMarks) {
    const std::string le = "\xFF\xFE";
    const std::string be = "\xFE\xFF";
    const std::string utf8 = "\xEF\xBB\xBF";
    const char* const beMismatch = "Encoding of binary data (UTF-16 Big Endian) does not match specified encoding.";
    const char* const leMismatch = "Encoding of binary data (UTF-16 Little Endian) does not match specified encoding.";
    const char* const utf8Mismatch = "Encoding of binary data (UTF-8) does not match specified encoding.";
    struct Case {
        std::string bytes;
        TextEncoding requested;
        TextEncoding expected;
        const char* error; // nullptr: accepted
        std::u16string text;
    };
    const Case cases[] = {
        {le + std::string("a\0b\0", 4), TextEncoding::Detect, TextEncoding::Utf16Le, nullptr, u"ab"},
        {le + std::string("a\0", 2), TextEncoding::Utf16Le, TextEncoding::Utf16Le, nullptr, u"a"},
        {le + std::string("a\0", 2), TextEncoding::Utf8, {}, leMismatch, u""},
        {be + std::string("\0a", 2), TextEncoding::Detect, TextEncoding::Utf16Be, nullptr, u"a"},
        {be, TextEncoding::Utf16Le, {}, beMismatch, u""},
        {utf8 + "x", TextEncoding::Detect, TextEncoding::Utf8, nullptr, u"x"},
        {utf8 + "x", TextEncoding::Utf16Be, {}, utf8Mismatch, u""},
        {le + utf8, TextEncoding::Detect, {}, utf8Mismatch, u""}, // the UTF-8 check follows a UTF-16 mark
        {"abc", TextEncoding::Detect, TextEncoding::Utf8, nullptr, u"abc"},
        {"\xEF\xBBz", TextEncoding::Detect, TextEncoding::Utf8, nullptr, u"\xFFFDz"},
        {"\xFF", TextEncoding::Detect, TextEncoding::Utf8, nullptr, u"\xFFFD"},
        {"", TextEncoding::Detect, TextEncoding::Utf8, nullptr, u""},
        {std::string("a\0", 2), TextEncoding::Utf16Le, TextEncoding::Utf16Le, nullptr, u"a"},
    };
    for (const SourceKind kind : {SourceKind::Seekable, SourceKind::Trickling}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.bytes);
            if (c.error) {
                EXPECT_EQ(thrownMessage([&] { (void)makeText(c.bytes, kind, c.requested, false); }), c.error);
                continue;
            }
            TextInputStream in = makeText(c.bytes, kind, c.requested, false);
            EXPECT_EQ(in.encoding(), c.expected);
            EXPECT_EQ(readEverything(in), c.text) << "no byte after the mark is lost";
        }
    }
}

// ---- lines ----

TEST(TextInputStream, LinesInEveryEncodingAndSource) {
    struct Case {
        std::u16string text;
        bool translate;
        Lines lines;
    };
    const Case cases[] = {
        {u"a\r\nb\rc", true, {u"a", u"b", u"c"}},
        {u"a\r\nb\rc", false, {u"a\r", u"b\rc"}},
        {u"a\n", false, {u"a"}},
        {u"a\n\n", false, {u"a", u""}},
        {u"\n", true, {u""}},
        {u"", true, {}},
        {u"x\r", true, {u"x"}},
        {u"x\r\r\ny", true, {u"x", u"", u"y"}},
        {std::u16string(u"a\0b\nc", 5), false, {u"a", u"c"}}, // a line ends at a zero unit
        {u"\u00e9\u20ac\U0001F600\n2", true, {u"\u00e9\u20ac\U0001F600", u"2"}},
    };
    for (const TextEncoding encoding : ENCODINGS) {
        for (const SourceKind kind : {SourceKind::Seekable, SourceKind::Trickling}) {
            for (const Case& c : cases) {
                SCOPED_TRACE(::testing::Message() << int(encoding) << "/" << int(kind) << "/" << c.translate << "/"
                                                  << c.lines.size());
                TextInputStream in = makeText(encode(c.text, encoding), kind, encoding, c.translate);
                EXPECT_EQ(readAllLines(in), c.lines);
                EXPECT_FALSE(in.readLine().hasValue());
                EXPECT_EQ(in.readAll(), String());
            }
        }
    }
}

// The read-ahead used for seekable sources must give exactly what reading byte by byte gives, also where
// a carriage return, a unit or an odd last byte meets the edge of its chunks (4, 8, 16, 32 KiB, then
// 64 KiB each: the edges below, in bytes).
TEST(TextInputStream, ReadAheadMatchesReadingByteByByte) {
    const int edges[] = {4096, 12288, 28672, 61440, 126976, 192512};
    uint32_t seed = 12345;
    const char16_t alphabet[] = {u'a', u'\r', u'\n', u'\0', u' ', u'\u00e9', u'\u20ac', u'z'};
    std::u16string random;
    for (int i = 0; i < 200000; ++i) {
        seed = seed * 1103515245u + 12345u;
        random += alphabet[(seed >> 16) % 8];
    }
    for (const TextEncoding encoding : ENCODINGS) {
        // Line breaks placed a few units before, on and after every chunk edge.
        const int unitBytes = encoding == TextEncoding::Utf8 ? 1 : 2;
        std::vector<std::u16string> texts = {random};
        for (int shift = -3; shift <= 2; ++shift) {
            std::u16string text(size_t(edges[5] / unitBytes + 8), u'a');
            for (const int edge : edges) {
                const size_t at = size_t(edge / unitBytes + shift);
                text.replace(at, 3, shift % 2 ? u"\r\n\r" : u"\r\r\n");
            }
            texts.push_back(text);
        }
        for (const std::u16string& text : texts) {
            for (const bool oddTail : {false, true}) {
                if (oddTail && encoding == TextEncoding::Utf8) continue;
                const std::string bytes = encode(text, encoding) + (oddTail ? "x" : "");
                for (const bool translate : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << int(encoding) << " size " << bytes.size() << " translate "
                                                      << translate);
                    TextInputStream fast = makeText(bytes, SourceKind::Seekable, encoding, translate);
                    TextInputStream slow = makeText(bytes, SourceKind::Trickling, encoding, translate);
                    EXPECT_EQ(readAllLines(fast), readAllLines(slow));
                    TextInputStream fastAll = makeText(bytes, SourceKind::Seekable, encoding, translate);
                    TextInputStream slowAll = makeText(bytes, SourceKind::Trickling, encoding, translate);
                    EXPECT_EQ(readEverything(fastAll), readEverything(slowAll));
                }
            }
        }
    }
}

TEST(TextInputStream, OddByteCountInUtf16) {
    for (const SourceKind kind : {SourceKind::Seekable, SourceKind::Trickling}) {
        TextInputStream lines = makeText(std::string("a\0\n\0b", 5), kind, TextEncoding::Utf16Le, false);
        EXPECT_EQ(readAllLines(lines), (Lines{u"a", failure(ODD_BYTE_ERROR)}));
        TextInputStream all = makeText(std::string("\xFF\xFE" "a", 3), kind, TextEncoding::Detect, true);
        EXPECT_EQ(readEverything(all), failure(ODD_BYTE_ERROR));
    }
}

// ---- characters and tokens ----

TEST(TextReaders, CharactersAndCarriageReturns) {
    const std::string bytes("\r\0x\0\r\0", 6); // UTF-16LE: CR, 'x', CR at the end
    MemoryInputStream in(bytes.data(), int64(bytes.size()));
    const Flags<ReadChar> translate = ReadChar::TranslateNewlines;
    EXPECT_EQ(readChar<char16_t>(in, translate).valueOr(0), u'\n');
    EXPECT_EQ(readChar<char16_t>(in, translate).valueOr(0), u'x') << "a unit after CR is put back as it was";
    EXPECT_EQ(readChar<char16_t>(in, translate).valueOr(0), u'\n');
    EXPECT_FALSE(readChar<char16_t>(in, translate).hasValue());

    const std::string swapped("\0A\0\r\0\n", 6);
    MemoryInputStream be(swapped.data(), 6);
    EXPECT_EQ(readChar<char16_t>(be, ReadChar::SwapBytes).valueOr(0), u'A');
    EXPECT_EQ(readChar<char16_t>(be, ReadChar::SwapBytes | ReadChar::TranslateNewlines).valueOr(0), u'\n');
    EXPECT_FALSE(readChar<char16_t>(be, ReadChar::SwapBytes).hasValue()) << "the LF went with the CR";

    ChunkedSource bytesIn("a;b\r;c");
    EXPECT_EQ(readLineUtf8(bytesIn, ';').valueOr(u"?"), String(u"a"));
    auto line = readLine<char>(bytesIn, ';', ReadChar::TranslateNewlines);
    ASSERT_TRUE(line.hasValue());
    EXPECT_EQ(std::string(line->data(), size_t(line->size())), "b\n") << "a translated CR is stored before another delimiter";
    EXPECT_EQ(readLineUtf8(bytesIn, ';').valueOr(u"?"), String(u"c"));
    EXPECT_FALSE(readLineUtf8(bytesIn, ';').hasValue());
}

TEST(TextReaders, Spans) {
    const std::string utf8 = "  12\t x\n";
    MemoryInputStream in(utf8.data(), int64(utf8.size()));
    EXPECT_EQ(readSpanUtf8(in).valueOr(u"?"), String(u"12"));
    EXPECT_EQ(readSpanUtf8(in).valueOr(u"?"), String(u"x"));
    EXPECT_FALSE(readSpanUtf8(in).hasValue());

    const std::string utf16 = encode(u" \u00e9t\u00e9\r\n\tb", TextEncoding::Utf16Be);
    ChunkedSource be(utf16, 2);
    EXPECT_EQ(readSpanUtf16(be, ReadChar::SwapBytes).valueOr(u"?"), String(u"\u00e9t\u00e9"));
    EXPECT_EQ(readSpanUtf16(be, ReadChar::SwapBytes).valueOr(u"?"), String(u"b"));
    EXPECT_FALSE(readSpanUtf16(be, ReadChar::SwapBytes).hasValue());
}

TEST(TextInputStream, Numbers) {
    const char* const intError = "Failed to read int from the TextInputStream.";
    const char* const floatError = "Failed to read float from the TextInputStream.";
    for (const TextEncoding encoding : ENCODINGS) {
        TextInputStream in = makeText(encode(u" 12px -7\n3.25 1,5 1e3 abc", encoding), SourceKind::Seekable, encoding, false);
        int i = 0;
        float f = 0;
        in >> i;
        EXPECT_EQ(i, 12) << "text after a valid prefix is ignored";
        in >> i >> f;
        EXPECT_EQ(i, -7);
        EXPECT_EQ(f, 3.25f);
        in >> f;
        EXPECT_EQ(f, 1.0f) << "the comma is not a decimal point";
        in >> f;
        EXPECT_EQ(f, 1000.0f);
        EXPECT_EQ(thrownMessage([&] { in >> f; }), floatError);
        EXPECT_EQ(thrownMessage([&] { in >> i; }), intError) << "no token left";
    }
    TextInputStream big = makeText("99999999999", SourceKind::Seekable, TextEncoding::Utf8, false);
    int i = 0;
    EXPECT_EQ(thrownMessage([&] { big >> i; }), intError);
}

// ---- misuse ----

TEST(TextStreams, UninitializedAndInvalidEncodings) {
    const char* const noSource = "Using uninitialized TextInputStream";
    TextInputStream in;
    int i = 0;
    EXPECT_EQ(thrownMessage([&] { (void)in.readLine(); }), noSource);
    EXPECT_EQ(thrownMessage([&] { (void)in.readAll(); }), noSource);
    EXPECT_EQ(thrownMessage([&] { in >> i; }), noSource);
    EXPECT_EQ(thrownMessage([&] { (void)in.encoding(); }), noSource);
    EXPECT_EQ(thrownMessage([&] { TextInputStream none(AutoPtr<BinaryInputStream>(), TextEncoding::Utf8); }), noSource);

    TextInputStream bad = makeText("a", SourceKind::Seekable, TextEncoding(9), false);
    EXPECT_EQ(thrownMessage([&] { (void)bad.readLine(); }).rfind("STOP@io/textstream", 0), 0u);
    EXPECT_EQ(thrownMessage([&] { (void)bad.readAll(); }).rfind("STOP@io/textstream", 0), 0u);
    EXPECT_EQ(thrownMessage([&] { bad >> i; }).rfind("STOP@io/textstream", 0), 0u);

    const char* const noTarget = "Using uninitialized TextOutputStream";
    TextOutputStream out;
    EXPECT_FALSE(out.isOpen());
    EXPECT_EQ(thrownMessage([&] { out.write(u"x"); }), noTarget);
    EXPECT_EQ(thrownMessage([&] { out.flush(); }), noTarget);
    EXPECT_EQ(thrownMessage([&] { out.close(); }), noTarget);
    EXPECT_EQ(thrownMessage([&] { (void)out.encoding(); }), noTarget);
    EXPECT_EQ(thrownMessage([&] { out.open(AutoPtr<BinaryOutputStream>(), TextEncoding::Utf8); }), noTarget);

    ArrayOutputStream sink;
    EXPECT_EQ(thrownMessage([&] {
                  out.open(AutoPtr<BinaryOutputStream>(makeAutoPtr<ForwardingBinaryOutputStream>(sink)),
                           TextEncoding::Detect, TextOutputStream::Open::WriteBom);
              }).rfind("STOP@io/textstream", 0),
              0u);
    out.open(AutoPtr<BinaryOutputStream>(makeAutoPtr<ForwardingBinaryOutputStream>(sink)), TextEncoding::Detect);
    EXPECT_EQ(thrownMessage([&] { out.write(u"x"); }).rfind("STOP@io/textstream", 0), 0u);
    EXPECT_EQ(out.encoding(), TextEncoding::Detect);
    out.close();
    EXPECT_FALSE(out.isOpen());
    EXPECT_EQ(sink.data().size(), 0);
}

// ---- writing ----

TEST(TextOutputStream, LineEndingsMarksAndEncodings) {
    struct Case {
        TextEncoding encoding;
        bool bom;
        std::vector<std::u16string> writes;
        std::string bytes;
    };
    const Case cases[] = {
        {TextEncoding::Utf8, false, {u"x\ny\r\nz"}, "x\r\ny\r\nz"},
        {TextEncoding::Utf8, false, {u"a\r", u"\nb", u"\n"}, "a\r\r\nb\r\n"}, // calls do not see each other
        {TextEncoding::Utf8, false, {u"lone\rcr", u""}, "lone\rcr"},
        {TextEncoding::Utf8, true, {u"\u00e9"}, "\xEF\xBB\xBF\xC3\xA9"},
        {TextEncoding::Utf16Be, true, {u"A"}, std::string("\xFE\xFF\0A", 4)},
        {TextEncoding::Utf16Le, true, {u"A\n"}, std::string("\xFF\xFE" "A\0\r\0\n\0", 8)},
        {TextEncoding::Utf16Be, false, {u"\U0001F600"}, std::string("\xD8\x3D\xDE\x00", 4)},
        {TextEncoding::Utf16Le, false, {}, ""},
    };
    for (const Case& c : cases) {
        ArrayOutputStream sink;
        TextOutputStream out(AutoPtr<BinaryOutputStream>(makeAutoPtr<ForwardingBinaryOutputStream>(sink)), c.encoding,
                             c.bom ? Flags<TextOutputStream::Open>(TextOutputStream::Open::WriteBom)
                                   : Flags<TextOutputStream::Open>());
        EXPECT_EQ(out.encoding(), c.encoding);
        for (const std::u16string& text : c.writes)
            out.write(String(text));
        out.flush();
        EXPECT_EQ(bytesOf(sink.data()), c.bytes);
    }
}

// ---- files ----

TEST_F(TextFiles, EachEncodingReadBackByTheOtherApi) {
    const String text(u"first \u00e9\nsecond\r\n\nlast");
    const Lines lines = {u"first \u00e9", u"second", u"", u"last"};
    for (const TextEncoding encoding : ENCODINGS) {
        for (const bool bom : {false, true}) {
            SCOPED_TRACE(::testing::Message() << int(encoding) << " bom " << bom);
            const Flags<TextOutputStream::Open> flags =
                bom ? Flags<TextOutputStream::Open>(TextOutputStream::Open::WriteBom) : Flags<TextOutputStream::Open>();
            const TextEncoding readAs = bom ? TextEncoding::Detect : encoding;

            writeTextFile(path("whole.txt"), text, encoding, flags);
            TextInputStream in(path("whole.txt"), readAs, TextInputStream::Open::TranslateNewlines);
            EXPECT_EQ(in.encoding(), encoding);
            EXPECT_EQ(readAllLines(in), lines);

            {
                TextOutputStream out(path("stream.txt"), encoding, flags);
                out.write(text);
            }
            const auto read = readTextFile(path("stream.txt"), readAs);
            ASSERT_TRUE(read.hasValue());
            EXPECT_EQ(*read, String(u"first \u00e9\nsecond\n\nlast"));
        }
    }
}

TEST_F(TextFiles, AppendAndFailures) {
    writeTextFile(path("log.txt"), u"one\n", TextEncoding::Utf8);
    writeTextFile(path("log.txt"), u"two\n", TextEncoding::Utf8, TextOutputStream::Open::Append);
    EXPECT_EQ(readFile("log.txt"), "one\r\ntwo\r\n");
    writeTextFile(path("log.txt"), u"three", TextEncoding::Utf8);
    EXPECT_EQ(readFile("log.txt"), "three");

    const auto missing = readTextFile(path("missing.txt"));
    ASSERT_FALSE(missing.hasValue());
    EXPECT_EQ(missing.error(), String::fromUtf8(("Cannot open/read/write file '" + native("missing.txt") + "'").c_str()));

    writeFile("utf16.txt", "\xFF\xFE" "a");
    const auto odd = readTextFile(path("utf16.txt"));
    ASSERT_FALSE(odd.hasValue());
    EXPECT_EQ(odd.error(), String::fromUtf8(ODD_BYTE_ERROR));
    const auto mismatch = readTextFile(path("utf16.txt"), TextEncoding::Utf8);
    ASSERT_FALSE(mismatch.hasValue());
    EXPECT_TRUE(mismatch.error().startsWith(u"Encoding of binary data (UTF-16 Little Endian)"));

    EXPECT_THROW(writeTextFile(path("nodir/x.txt"), u"x"), Exception);
    EXPECT_EQ(thrownMessage([&] { TextInputStream in(path("missing.txt")); }),
              "Cannot open/read/write file '" + native("missing.txt") + "'");
}

TEST_F(TextFiles, ReopeningTheFileBeingWrittenReleasesItFirst) {
    // The buffered "hello world" reaches the file before the new open truncates it, not after.
    TextOutputStream out(path("same.txt"), TextEncoding::Utf8);
    out.write(u"hello world");
    out.open(path("same.txt"), TextEncoding::Utf8);
    out.write(u"ab");
    out.close();
    EXPECT_EQ(readFile("same.txt"), "ab");

    out.open(path("same.txt"), TextEncoding::Utf8);
    out.write(u"hello");
    out.open(path("same.txt"), TextEncoding::Utf8, TextOutputStream::Open::Append);
    out.write(u" ab");
    out.close();
    EXPECT_EQ(readFile("same.txt"), "hello ab");
}

TEST_F(TextFiles, ReopeningReportsAFailedFlushOfTheOldTarget) {
    // /dev/full accepts the buffered bytes and refuses them at the flush.
    TextOutputStream out(Path(u"/dev/full"), TextEncoding::Utf8);
    out.write(u"lost");
    EXPECT_EQ(thrownMessage([&] { out.open(path("next.txt"), TextEncoding::Utf8); }),
              "Cannot open/read/write file '/dev/full'");
    EXPECT_FALSE(out.isOpen());
    EXPECT_FALSE(fileExists(path("next.txt")));
}

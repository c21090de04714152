#include "tolvan/io/textstream.h"

#include "tolvan/containers/utf.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <locale>
#include <sstream>
#include <string>
#include <type_traits>

namespace Kalvex::Io {

static_assert(std::endian::native == std::endian::little, "UTF-16LE output writes the units as stored");

namespace {

constexpr char16_t CR = 13;
constexpr char16_t LF = 10;

// The 16-bit unit of two bytes read little-endian, byte-swapped when asked.
inline char16_t unitOf(const void* bytes, bool swap) noexcept {
    const auto* b = static_cast<const unsigned char*>(bytes);
    const auto unit = char16_t(b[0] | (b[1] << 8));
    return swap ? char16_t((unit >> 8) | (unit << 8)) : unit;
}

template <typename T>
inline bool isSpace(T c) noexcept {
    const auto u = std::make_unsigned_t<T>(c);
    return (u >= 9 && u <= 13) || u == 32;
}

// The units up to the first zero unit, decoded.
String decodeUnits(const Stack<char>& bytes) {
    if (bytes.isEmpty()) return String();
    const auto* zero = static_cast<const char*>(std::memchr(bytes.data(), 0, size_t(bytes.size())));
    const size_t length = zero ? size_t(zero - bytes.data()) : size_t(bytes.size());
    return String::fromUtf8(std::string_view(bytes.data(), length));
}

String decodeUnits(const Stack<char16_t>& units) {
    if (units.isEmpty()) return String();
    return String(units.data(), int(Detail::findZeroUnit(units.data(), size_t(units.size()))));
}

template <typename T>
Optional<String> decodeOptional(Optional<Stack<T>>&& units) {
    if (!units) return NONE;
    return decodeUnits(*units);
}

} // namespace

// ---- Character, line and token readers ----

template <>
Optional<char> readChar<char>(BinaryInputStream& stream, Flags<ReadChar> flags) {
    if (stream.eof()) return NONE;
    char c = 0;
    if (stream.read(&c, 1) != 1) return NONE;
    if (c == '\r' && flags.has(ReadChar::TranslateNewlines)) {
        char next = 0;
        const int64 n = stream.read(&next, 1);
        if (n != 1 || next != '\n') stream.putBack(&next, n);
        return '\n';
    }
    return c;
}

template <>
Optional<char16_t> readChar<char16_t>(BinaryInputStream& stream, Flags<ReadChar> flags) {
    if (stream.eof()) return NONE;
    unsigned char bytes[2];
    const int64 n = stream.read(bytes, 2);
    if (n == 0) return NONE;
    if (n == 1) {
        throw Exception(
            "Io::readChar() - Not enough bytes left in the binary input stream to read a character of the "
            "width required!");
    }
    const bool swap = flags.has(ReadChar::SwapBytes);
    const char16_t unit = unitOf(bytes, swap);
    if (unit == CR && flags.has(ReadChar::TranslateNewlines)) {
        unsigned char next[2];
        const int64 m = stream.read(next, 2);
        if (m != 2 || unitOf(next, swap) != LF) stream.putBack(next, m);
        return LF;
    }
    return unit;
}

template <typename T>
Optional<Stack<T>> readLine(BinaryInputStream& stream, T delimiter, Flags<ReadChar> flags) {
    if (stream.eof()) return NONE;
    Stack<T> line;
    while (const Optional<T> c = readChar<T>(stream, flags)) {
        if (*c == delimiter) break;
        line.push(*c);
    }
    if (line.isEmpty() && stream.eof()) return NONE;
    return Optional<Stack<T>>(std::move(line));
}

template <typename T>
Optional<Stack<T>> readSpan(BinaryInputStream& stream, Flags<ReadChar> flags) {
    if (stream.eof()) return NONE;
    Optional<T> c;
    do {
        c = readChar<T>(stream, flags);
    } while (c && isSpace(*c));
    Stack<T> span;
    while (c && !isSpace(*c)) {
        span.push(*c);
        c = readChar<T>(stream, flags);
    }
    if (span.isEmpty()) return NONE;
    return Optional<Stack<T>>(std::move(span));
}

template Optional<Stack<char>> readLine<char>(BinaryInputStream&, char, Flags<ReadChar>);
template Optional<Stack<char16_t>> readLine<char16_t>(BinaryInputStream&, char16_t, Flags<ReadChar>);
template Optional<Stack<char>> readSpan<char>(BinaryInputStream&, Flags<ReadChar>);
template Optional<Stack<char16_t>> readSpan<char16_t>(BinaryInputStream&, Flags<ReadChar>);

Optional<String> readLineUtf8(BinaryInputStream& stream, char delimiter, Flags<ReadChar> flags) {
    return decodeOptional(readLine<char>(stream, delimiter, flags));
}

Optional<String> readLineUtf16(BinaryInputStream& stream, char16_t delimiter, Flags<ReadChar> flags) {
    return decodeOptional(readLine<char16_t>(stream, delimiter, flags));
}

Optional<String> readSpanUtf8(BinaryInputStream& stream, Flags<ReadChar> flags) {
    return decodeOptional(readSpan<char>(stream, flags));
}

Optional<String> readSpanUtf16(BinaryInputStream& stream, Flags<ReadChar> flags) {
    return decodeOptional(readSpan<char16_t>(stream, flags));
}

// ---- Read-ahead for text input ----

namespace {

// Reads its source in chunks of up to 64 KiB so that lines can be scanned in memory instead of one
// virtual call per byte. Delivers exactly the bytes, and reports end of data exactly when, the source would.
// Put-back rewinds within the buffer, which keeps the last few bytes of the previous chunk for it.
class ReadAheadStream final : public BinaryInputStream {
public:
    explicit ReadAheadStream(AutoPtr<BinaryInputStream>&& source)
        : mSource(std::move(source)) {}

    void putBack(const void* data, int64 count) override {
        if (!data || count < 1) return;
        if (count > mPosition) KALVEX_STOP(); // readers put back only the few bytes they just read
        mPosition -= count;
        mEof = false;
    }

    // The buffered bytes not read yet.
    [[nodiscard]] const std::byte* cursor() const noexcept { return mBuffer.data() + mPosition; }
    [[nodiscard]] int64 available() const noexcept { return mEnd - mPosition; }
    void consume(int64 count) noexcept { mPosition += count; }

    // Scratch storage for the units of one line, kept between lines.
    template <typename T>
    Stack<T>& scratch() noexcept {
        if constexpr (std::is_same_v<T, char>) {
            return mScratch8;
        } else {
            return mScratch16;
        }
    }

protected:
    int64 readImpl(void* dst, int64 count) override {
        auto* out = static_cast<std::byte*>(dst);
        int64 got = 0;
        for (;;) {
            const int64 n = std::min(available(), count - got);
            if (n > 0) {
                std::memcpy(out + got, cursor(), size_t(n));
                mPosition += n;
                got += n;
            }
            if (got == count || !refill()) break;
        }
        if (got < count && mSource->eof()) mEof = true;
        return got;
    }

    [[nodiscard]] bool eofImpl() const override { return mEof; }

private:
    // Chunks grow from 4 KiB to 64 KiB, so that a short text does not pay for a large buffer.
    static constexpr int64 FIRST_CHUNK = 4096;
    static constexpr int64 LAST_CHUNK = 65536;
    static constexpr int64 HISTORY = 8;

    // Replaces the consumed bytes with the next chunk of the source; false when none came.
    bool refill() {
        const int64 keep = std::min(mPosition, HISTORY);
        if (mBuffer.size() < HISTORY + mChunk) {
            auto grown = Array<std::byte, HeapAllocator, int64>::uninitialized(HISTORY + mChunk);
            if (keep > 0) std::memcpy(grown.data(), mBuffer.data() + mPosition - keep, size_t(keep));
            mBuffer = std::move(grown);
        } else {
            std::memmove(mBuffer.data(), mBuffer.data() + mPosition - keep, size_t(keep));
        }
        mPosition = keep;
        const int64 got = mSource->read(mBuffer.data() + keep, mChunk);
        mEnd = keep + got;
        if (got == mChunk) mChunk = std::min(mChunk * 2, LAST_CHUNK);
        return got > 0;
    }

    AutoPtr<BinaryInputStream> mSource;
    Array<std::byte, HeapAllocator, int64> mBuffer;
    int64 mPosition = 0;
    int64 mEnd = 0;
    int64 mChunk = FIRST_CHUNK;
    bool mEof = false;
    Stack<char> mScratch8;
    Stack<char16_t> mScratch16;
};

// How many of the `units` whole units at `p` the per-unit reader would deliver unchanged: up to the first
// delimiter (when >= 0) or, when translating, carriage return.
int64 ordinaryRun(const char*, const std::byte* p, int64 units, bool, bool translate, int delimiter) {
    if (units <= 0) return 0;
    if (delimiter < 0 && !translate) return units;
    const char stop = delimiter >= 0 ? char(delimiter) : char(CR);
    const char cr = translate ? char(CR) : stop;
    return int64(Detail::findFirstOfBytes(reinterpret_cast<const char*>(p), size_t(units), stop, cr, stop));
}

int64 ordinaryRun(const char16_t*, const std::byte* p, int64 units, bool swap, bool translate,
                  int delimiter) {
    for (int64 i = 0; i < units; ++i) {
        const char16_t unit = unitOf(p + 2 * i, swap);
        if (int(unit) == delimiter || (translate && unit == CR)) return i;
    }
    return units;
}

void appendUnits(Stack<char>& out, const std::byte* p, int64 count, bool) {
    if (count <= 0) return;
    if (count > int64(INT32_MAX) - 1 - out.size()) throw Exception("Io::TextInputStream: line too long.");
    const int old = out.size();
    out.resize(old + int(count));
    std::memcpy(out.data() + old, p, size_t(count));
}

void appendUnits(Stack<char16_t>& out, const std::byte* p, int64 count, bool swap) {
    if (count <= 0) return;
    if (count > int64(INT32_MAX) - 1 - out.size()) throw Exception("Io::TextInputStream: line too long.");
    const int old = out.size();
    out.resize(old + int(count));
    for (int64 i = 0; i < count; ++i)
        out[old + int(i)] = unitOf(p + 2 * i, swap);
}

// Appends to `out` what readLine (delimiter >= 0, consumed and not stored) or readAll (delimiter < 0)
// would collect with readChar, taking runs of ordinary units straight from the buffer and leaving
// carriage returns, delimiters and units split across chunks to readChar.
template <typename T>
void collectBuffered(ReadAheadStream& stream, Stack<T>& out, Flags<ReadChar> flags, int delimiter) {
    const bool swap = flags.has(ReadChar::SwapBytes);
    const bool translate = flags.has(ReadChar::TranslateNewlines);
    for (;;) {
        const int64 units = stream.available() / int64(sizeof(T));
        const int64 run =
            ordinaryRun(static_cast<const T*>(nullptr), stream.cursor(), units, swap, translate, delimiter);
        appendUnits(out, stream.cursor(), run, swap);
        stream.consume(run * int64(sizeof(T)));
        const Optional<T> c = readChar<T>(stream, flags);
        if (!c || (delimiter >= 0 && *c == T(delimiter))) return;
        out.push(*c);
    }
}

// Where a line in the buffer ends (the LF, or with translation a CR: `end`) and where its text ends
// (`text`, before a zero unit). UTF-8 finds both with one search when the line holds no zero byte.
struct LineSpan {
    int64 text;
    int64 end;
};

LineSpan findLine(const char*, const std::byte* p, int64 units, bool, bool translate) {
    const auto* bytes = reinterpret_cast<const char*>(p);
    const int64 text =
        int64(Detail::findFirstOfBytes(bytes, size_t(units), '\n', translate ? '\r' : '\n', 0));
    if (text >= units || bytes[text] != 0) return {text, text};
    // The text ends at the zero byte; the line goes on to its end.
    return {text, text + ordinaryRun(static_cast<const char*>(nullptr), p + text, units - text, false,
                                     translate, LF)};
}

LineSpan findLine(const char16_t*, const std::byte* p, int64 units, bool swap, bool translate) {
    const int64 run = ordinaryRun(static_cast<const char16_t*>(nullptr), p, units, swap, translate, LF);
    return {run, run}; // decodeText stops at a zero unit itself
}

// The first `count` units at `p` as a string, up to the first zero unit.
String decodeText(const char*, const std::byte* p, int64 count, bool) {
    return String::fromUtf8(std::string_view(reinterpret_cast<const char*>(p), size_t(count)));
}

String decodeText(const char16_t*, const std::byte* p, int64 count, bool swap) {
    String text;
    text.reserve(int(count) + 1);
    for (int64 i = 0; i < count; ++i) {
        const char16_t unit = unitOf(p + 2 * i, swap);
        if (unit == 0) break;
        text << unit;
    }
    return text;
}

template <typename T>
char16_t unitAt(const std::byte* p, int64 index, bool swap) noexcept {
    if constexpr (std::is_same_v<T, char>) {
        return char16_t(static_cast<unsigned char>(p[index]));
    } else {
        return unitOf(p + 2 * index, swap);
    }
}

// The common case of readLine: the line and its end (LF, or with translation CR plus the unit after it)
// lie in the buffer. Then the line is decoded straight from the buffer; false leaves the stream untouched.
template <typename T>
bool takeLineInBuffer(ReadAheadStream& stream, Flags<ReadChar> flags, String& line) {
    const bool swap = flags.has(ReadChar::SwapBytes);
    const int64 units = stream.available() / int64(sizeof(T));
    const std::byte* p = stream.cursor();
    const LineSpan span =
        findLine(static_cast<const T*>(nullptr), p, units, swap, flags.has(ReadChar::TranslateNewlines));
    if (span.end >= units) return false;
    int64 consumed = span.end + 1;
    if (unitAt<T>(p, span.end, swap) == CR) { // as readChar: a following LF belongs to it
        if (span.end + 1 >= units) return false;
        if (unitAt<T>(p, span.end + 1, swap) == LF) consumed = span.end + 2;
    }
    line = decodeText(static_cast<const T*>(nullptr), p, span.text, swap);
    stream.consume(consumed * int64(sizeof(T)));
    return true;
}

template <typename T>
Optional<String> readLineBuffered(ReadAheadStream& stream, Flags<ReadChar> flags) {
    if (stream.eof()) return NONE;
    String inBuffer;
    if (takeLineInBuffer<T>(stream, flags, inBuffer)) return inBuffer;
    Stack<T>& line = stream.scratch<T>();
    line.clear();
    collectBuffered(stream, line, flags, LF);
    if (line.isEmpty() && stream.eof()) return NONE;
    return decodeUnits(line);
}

template <typename T>
String readAllBuffered(ReadAheadStream& stream, Flags<ReadChar> flags) {
    Stack<T> text;
    collectBuffered(stream, text, flags, -1);
    return decodeUnits(text);
}

template <typename T>
String readAllUnits(BinaryInputStream& stream, Flags<ReadChar> flags) {
    Stack<T> text;
    while (const Optional<T> c = readChar<T>(stream, flags))
        text.push(*c);
    return decodeUnits(text);
}

[[noreturn]] void throwUninitializedInput() {
    throw Exception("Using uninitialized TextInputStream");
}

[[noreturn]] void throwUninitializedOutput() {
    throw Exception("Using uninitialized TextOutputStream");
}

} // namespace

// ---- TextInputStream ----

TextInputStream::TextInputStream(AutoPtr<BinaryInputStream>&& source, TextEncoding encoding,
                                 Flags<Open> flags)
    : mSource(std::move(source))
    , mEncoding(encoding)
    , mFlags(flags) {
    if (!mSource) throwUninitializedInput();
    if (dynamic_cast<SeekableBinaryInputStream*>(mSource.get())) {
        mSource = AutoPtr<BinaryInputStream>(tolvanNew<ReadAheadStream>(std::move(mSource)));
        mBuffered = true;
    }
    detectByteOrderMark();
}

TextInputStream::TextInputStream(const Path& path, TextEncoding encoding, Flags<Open> flags)
    : TextInputStream(AutoPtr<BinaryInputStream>(makeAutoPtr<FileInputStream>(path)), encoding, flags) {}

BinaryInputStream& TextInputStream::source() const {
    if (!mSource) throwUninitializedInput();
    return *mSource;
}

void TextInputStream::detectByteOrderMark() {
    BinaryInputStream& in = source();
    const auto accept = [this](TextEncoding found, const char* mismatch) {
        if (mEncoding == TextEncoding::Detect) {
            mEncoding = found;
        } else if (mEncoding != found) {
            throw Exception(mismatch);
        }
    };
    unsigned char mark[3] = {};
    int64 n = in.read(mark, 2);
    if (n == 2 && mark[0] == 0xFE && mark[1] == 0xFF) {
        accept(TextEncoding::Utf16Be,
               "Encoding of binary data (UTF-16 Big Endian) does not match specified encoding.");
    } else if (n == 2 && mark[0] == 0xFF && mark[1] == 0xFE) {
        accept(TextEncoding::Utf16Le,
               "Encoding of binary data (UTF-16 Little Endian) does not match specified encoding.");
    } else {
        in.putBack(mark, n);
    }
    n = in.read(mark, 3);
    if (n == 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) {
        accept(TextEncoding::Utf8, "Encoding of binary data (UTF-8) does not match specified encoding.");
    } else {
        in.putBack(mark, n);
    }
    if (mEncoding == TextEncoding::Detect) mEncoding = TextEncoding::Utf8;
}

Flags<ReadChar> TextInputStream::readFlags(bool translate) const {
    Flags<ReadChar> flags;
    if (translate) flags.set(ReadChar::TranslateNewlines);
    if (mEncoding == TextEncoding::Utf16Be) flags.set(ReadChar::SwapBytes);
    return flags;
}

Optional<String> TextInputStream::readLine() {
    BinaryInputStream& in = source();
    const Flags<ReadChar> flags = readFlags(mFlags.has(Open::TranslateNewlines));
    auto* buffered = mBuffered ? static_cast<ReadAheadStream*>(&in) : nullptr;
    switch (mEncoding) {
    case TextEncoding::Utf8:
        return buffered ? readLineBuffered<char>(*buffered, flags) : readLineUtf8(in, '\n', flags);
    case TextEncoding::Utf16Le:
    case TextEncoding::Utf16Be:
        return buffered ? readLineBuffered<char16_t>(*buffered, flags) : readLineUtf16(in, u'\n', flags);
    default:
        KALVEX_STOP();
    }
}

String TextInputStream::readAll() {
    BinaryInputStream& in = source();
    const Flags<ReadChar> flags = readFlags(mFlags.has(Open::TranslateNewlines));
    auto* buffered = mBuffered ? static_cast<ReadAheadStream*>(&in) : nullptr;
    switch (mEncoding) {
    case TextEncoding::Utf8:
        return buffered ? readAllBuffered<char>(*buffered, flags) : readAllUnits<char>(in, flags);
    case TextEncoding::Utf16Le:
    case TextEncoding::Utf16Be:
        return buffered ? readAllBuffered<char16_t>(*buffered, flags) : readAllUnits<char16_t>(in, flags);
    default:
        KALVEX_STOP();
    }
}

template <typename T>
void TextInputStream::readNumber(T& value, const char* failure) {
    BinaryInputStream& in = source();
    const Flags<ReadChar> flags = readFlags(false);
    Optional<String> token;
    switch (mEncoding) {
    case TextEncoding::Utf8:
        token = readSpanUtf8(in, flags);
        break;
    case TextEncoding::Utf16Le:
    case TextEncoding::Utf16Be:
        token = readSpanUtf16(in, flags);
        break;
    default:
        KALVEX_STOP();
    }
    if (!token) throw Exception(failure);
    std::wistringstream parser(std::wstring(token->begin(), token->end()));
    parser.imbue(std::locale::classic());
    parser >> value;
    if (parser.fail()) throw Exception(failure);
}

TextInputStream& TextInputStream::operator>>(int& value) {
    readNumber(value, "Failed to read int from the TextInputStream.");
    return *this;
}

TextInputStream& TextInputStream::operator>>(float& value) {
    readNumber(value, "Failed to read float from the TextInputStream.");
    return *this;
}

TextEncoding TextInputStream::encoding() const {
    (void)source();
    return mEncoding;
}

// ---- TextOutputStream ----

namespace {

// Flushes and destroys the target; a file is closed explicitly so that a failure is reported.
void releaseTarget(AutoPtr<BinaryOutputStream>& target) {
    AutoPtr<BinaryOutputStream> old = std::move(target);
    if (!old) return;
    old->flush();
    if (auto* file = dynamic_cast<FileStreamBase*>(old.get()); file && file->isOpen()) file->close();
}

// Number of line feeds in `text` that are not preceded by a carriage return.
int countBareLineFeeds(const String& text) noexcept {
    int count = 0;
    for (int i = 0; i < text.length(); ++i) {
        if (text[i] == LF && (i == 0 || text[i - 1] != CR)) ++count;
    }
    return count;
}

// `text` with a carriage return before each of its `bareLineFeeds` bare line feeds.
String withCarriageReturns(const String& text, int bareLineFeeds) {
    String out;
    out.reserve(text.length() + bareLineFeeds + 1);
    for (int i = 0; i < text.length(); ++i) {
        if (text[i] == LF && (i == 0 || text[i - 1] != CR)) out << CR;
        out << text[i];
    }
    return out;
}

} // namespace

TextOutputStream::TextOutputStream(AutoPtr<BinaryOutputStream>&& target, TextEncoding encoding,
                                   Flags<Open> flags) {
    open(std::move(target), encoding, flags);
}

TextOutputStream::TextOutputStream(const Path& path, TextEncoding encoding, Flags<Open> flags) {
    open(path, encoding, flags);
}

BinaryOutputStream& TextOutputStream::target() const {
    if (!mTarget) throwUninitializedOutput();
    return *mTarget;
}

void TextOutputStream::open(AutoPtr<BinaryOutputStream>&& target, TextEncoding encoding, Flags<Open> flags) {
    releaseTarget(mTarget);
    mTarget = std::move(target);
    mEncoding = encoding;
    if (!mTarget) throwUninitializedOutput();
    if (!flags.has(Open::WriteBom)) return;
    static constexpr unsigned char UTF8_MARK[] = {0xEF, 0xBB, 0xBF};
    static constexpr unsigned char UTF16LE_MARK[] = {0xFF, 0xFE};
    static constexpr unsigned char UTF16BE_MARK[] = {0xFE, 0xFF};
    switch (encoding) {
    case TextEncoding::Utf8:
        mTarget->write(UTF8_MARK, 3);
        break;
    case TextEncoding::Utf16Le:
        mTarget->write(UTF16LE_MARK, 2);
        break;
    case TextEncoding::Utf16Be:
        mTarget->write(UTF16BE_MARK, 2);
        break;
    default:
        KALVEX_STOP();
    }
}

void TextOutputStream::open(const Path& path, TextEncoding encoding, Flags<Open> flags) {
    // The old target may be this very file: its buffered bytes must reach it before it is truncated.
    releaseTarget(mTarget);
    const Flags<FileOutputStream::Open> fileFlags =
        flags.has(Open::Append) ? Flags<FileOutputStream::Open>(FileOutputStream::Open::Append)
                                : Flags<FileOutputStream::Open>();
    open(AutoPtr<BinaryOutputStream>(makeAutoPtr<FileOutputStream>(path, fileFlags)), encoding, flags);
}

void TextOutputStream::write(const String& text) {
    BinaryOutputStream& out = target();
    if (text.isEmpty()) return;
    const int bareLineFeeds = countBareLineFeeds(text);
    const String converted = bareLineFeeds > 0 ? withCarriageReturns(text, bareLineFeeds) : String();
    const String& lines = bareLineFeeds > 0 ? converted : text;
    switch (mEncoding) {
    case TextEncoding::Utf8: {
        const auto bytes = lines.toUtf8();
        out.write(bytes.cStr(), bytes.length());
        break;
    }
    case TextEncoding::Utf16Le:
        out.write(lines.cStr(), int64(lines.length()) * 2);
        break;
    case TextEncoding::Utf16Be: {
        Array<char16_t> swapped(lines.length());
        for (int i = 0; i < lines.length(); ++i)
            swapped[i] = char16_t((lines[i] >> 8) | (lines[i] << 8));
        out.write(swapped.data(), int64(swapped.size()) * 2);
        break;
    }
    default:
        KALVEX_STOP();
    }
}

void TextOutputStream::flush() {
    target().flush();
}

void TextOutputStream::close() {
    (void)target();
    releaseTarget(mTarget);
}

TextEncoding TextOutputStream::encoding() const {
    (void)target();
    return mEncoding;
}

// ---- Whole files ----

Expected<String, String> readTextFile(const Path& path, TextEncoding encoding) {
    try {
        TextInputStream in(path, encoding, TextInputStream::Open::TranslateNewlines);
        return in.readAll();
    } catch (const std::exception& e) {
        return makeUnexpected(String::fromUtf8(e.what()));
    } catch (...) {
        return makeUnexpected(String(u"unknown error"));
    }
}

void writeTextFile(const Path& path, const String& text, TextEncoding encoding,
                   Flags<TextOutputStream::Open> flags) {
    TextOutputStream out(path, encoding, flags);
    out.write(text);
    out.close();
}

} // namespace Kalvex::Io

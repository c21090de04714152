// Text over byte streams: readers that pull 8-bit or 16-bit code units, lines and whitespace-separated
// tokens from any BinaryInputStream, and the TextInputStream / TextOutputStream classes, which own a byte
// stream, handle the byte-order mark and read or write String text in UTF-8 or UTF-16.
//
//   Io::TextInputStream in(Io::Path(u"/data/list.txt"), Io::TextEncoding::Detect,
//                          Io::TextInputStream::Open::TranslateNewlines);
//   while (auto line = in.readLine()) use(*line);
//
//   Io::writeTextFile(u"/data/out.txt", u"a\nb", Io::TextEncoding::Utf16Le,
//                     Io::TextOutputStream::Open::WriteBom);   // FF FE, then "a\r\nb" in UTF-16LE
#pragma once

#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"
#include "tolvan/io/stream.h"

namespace Kalvex::Io {

/// The encoding of a text stream.
enum class TextEncoding : int32 {
    Utf8 = 0,
    Utf16Le = 1,
    Utf16Be = 2,
    /// Decide from the byte-order mark when reading (UTF-8 without one); not valid for writing.
    Detect = 3,
};

/// Options of the character readers.
enum class ReadChar : uint32 {
    /// A carriage return, alone or followed by a line feed, is delivered as one line feed.
    TranslateNewlines = 1,
    /// 16-bit units are stored big-endian.
    SwapBytes = 2,
};
KALVEX_DECLARE_FLAGS(ReadChar)

// ---- Character, line and token readers (T is char or char16_t) ----

/// The next code unit, or nothing at the end of the data. A 16-bit unit is read with one two-byte read,
/// which throws Exception when it delivers only one byte (the stream must not split a unit that exists).
template <typename T>
[[nodiscard]] Optional<T> readChar(BinaryInputStream& stream, Flags<ReadChar> flags = {});

/// The units up to `delimiter` (consumed, not stored); nothing once the data has ended. "a\n" gives "a"
/// and then nothing; "a\n\n" gives "a", "" and then nothing.
template <typename T>
[[nodiscard]] Optional<Stack<T>> readLine(BinaryInputStream& stream, T delimiter, Flags<ReadChar> flags = {});

/// The next run of units that are not whitespace (units 9 to 13 and 32), skipping whitespace before it
/// and consuming the one after it; nothing when no such unit is left.
template <typename T>
[[nodiscard]] Optional<Stack<T>> readSpan(BinaryInputStream& stream, Flags<ReadChar> flags = {});

/// readLine / readSpan decoded to String, up to the first zero unit.
[[nodiscard]] Optional<String> readLineUtf8(BinaryInputStream& stream, char delimiter, Flags<ReadChar> flags = {});
/// readLine of UTF-16 units, decoded to String up to the first zero unit.
[[nodiscard]] Optional<String> readLineUtf16(BinaryInputStream& stream, char16_t delimiter,
                                             Flags<ReadChar> flags = {});
/// readSpan of UTF-8 bytes, decoded to String up to the first zero unit.
[[nodiscard]] Optional<String> readSpanUtf8(BinaryInputStream& stream, Flags<ReadChar> flags = {});
/// readSpan of UTF-16 units, decoded to String up to the first zero unit.
[[nodiscard]] Optional<String> readSpanUtf16(BinaryInputStream& stream, Flags<ReadChar> flags = {});

/// \cond
template <>
Optional<char> readChar<char>(BinaryInputStream& stream, Flags<ReadChar> flags);
template <>
Optional<char16_t> readChar<char16_t>(BinaryInputStream& stream, Flags<ReadChar> flags);
extern template Optional<Stack<char>> readLine<char>(BinaryInputStream&, char, Flags<ReadChar>);
extern template Optional<Stack<char16_t>> readLine<char16_t>(BinaryInputStream&, char16_t, Flags<ReadChar>);
extern template Optional<Stack<char>> readSpan<char>(BinaryInputStream&, Flags<ReadChar>);
extern template Optional<Stack<char16_t>> readSpan<char16_t>(BinaryInputStream&, Flags<ReadChar>);
/// \endcond

// ---- Text streams ----

/// Reads text from a byte stream it owns. The constructor consumes a byte-order mark and fixes the
/// encoding. Every operation throws Exception when the stream has no source.
class TextInputStream {
public:
    /// Options of the constructors.
    enum class Open : uint32 {
        /// Deliver CR and CR LF as LF.
        TranslateNewlines = 1,
    };

    /// A stream without a source.
    TextInputStream() noexcept = default;
    /// Reads `source`. A byte-order mark sets the encoding when it is Detect (UTF-8 without a mark) and
    /// must agree with it otherwise, else Exception is thrown; a null source throws too.
    TextInputStream(AutoPtr<BinaryInputStream>&& source, TextEncoding encoding = TextEncoding::Detect,
                    Flags<Open> flags = {});
    /// Reads the file at `path` as above; throws Exception::fileAccess when it cannot be opened.
    TextInputStream(const Path& path, TextEncoding encoding = TextEncoding::Detect, Flags<Open> flags = {});
    /// Takes over the content of the other object.
    TextInputStream(TextInputStream&&) noexcept = default;
    /// Replaces the content with that of the other object.
    TextInputStream& operator=(TextInputStream&&) noexcept = default;

    /// The next line without its line feed (a CR before it stays unless TranslateNewlines); nothing once
    /// the text has ended.
    [[nodiscard]] Optional<String> readLine();
    /// Everything not read yet ("" when nothing is left).
    [[nodiscard]] String readAll();
    /// Reads the next token as a number in the "C" locale; text after a valid prefix is ignored ("12px"
    /// reads 12). Throws Exception when there is no token or it does not start with a number.
    TextInputStream& operator>>(int& value);
    /// Reads the next token as a float, as the int reader does (same rules, same exceptions).
    TextInputStream& operator>>(float& value);

    /// The encoding in use (after detection).
    [[nodiscard]] TextEncoding encoding() const;

private:
    [[nodiscard]] BinaryInputStream& source() const;
    [[nodiscard]] Flags<ReadChar> readFlags(bool translate) const;
    void detectByteOrderMark();
    template <typename T>
    void readNumber(T& value, const char* failure);

    AutoPtr<BinaryInputStream> mSource;
    TextEncoding mEncoding = TextEncoding::Detect;
    Flags<Open> mFlags;
    // The source is wrapped in a read-ahead buffer (only seekable sources are: reading ahead of a
    // socket could wait for bytes that never come).
    bool mBuffered = false;
};

/// Writes text to a byte stream it owns, with CR LF line endings, in one of the three encodings. Every
/// operation except open and isOpen throws Exception when the stream has no target.
class TextOutputStream {
public:
    /// Options of open.
    enum class Open : uint32 {
        /// When opening a file: append instead of truncating.
        Append = 1,
        /// Write the byte-order mark of the encoding when opening (also when appending).
        WriteBom = 4,
    };

    /// A stream without a target.
    TextOutputStream() noexcept = default;
    /// Calls open(target, encoding, flags).
    TextOutputStream(AutoPtr<BinaryOutputStream>&& target, TextEncoding encoding, Flags<Open> flags = {});
    /// Calls open(path, encoding, flags).
    TextOutputStream(const Path& path, TextEncoding encoding, Flags<Open> flags = {});
    /// Takes over the content of the other object.
    TextOutputStream(TextOutputStream&&) noexcept = default;
    /// Replaces the content with that of the other object.
    TextOutputStream& operator=(TextOutputStream&&) noexcept = default;

    /// Flushes and releases the current target, then writes to `target`; throws Exception when it is null.
    void open(AutoPtr<BinaryOutputStream>&& target, TextEncoding encoding, Flags<Open> flags = {});
    /// As above with a file created, truncated or (Append) appended to. The current target is released
    /// before the file is opened (it may be the same file); when its flush fails, that Exception
    /// propagates, the stream is left closed and `path` is not opened.
    void open(const Path& path, TextEncoding encoding, Flags<Open> flags = {});
    /// Writes `text`, each LF not preceded by CR as CR LF.
    void write(const String& text);
    /// Flushes the target.
    void flush();
    /// Flushes and releases the target (closing a file); a flush failure propagates and the stream is
    /// closed either way.
    void close();
    /// True when the stream has a target.
    [[nodiscard]] bool isOpen() const noexcept { return !mTarget.isNull(); }
    /// The encoding in use.
    [[nodiscard]] TextEncoding encoding() const;

private:
    [[nodiscard]] BinaryOutputStream& target() const;

    AutoPtr<BinaryOutputStream> mTarget;
    TextEncoding mEncoding = TextEncoding::Detect;
};

KALVEX_DECLARE_FLAGS(TextInputStream::Open)
KALVEX_DECLARE_FLAGS(TextOutputStream::Open)

// ---- Whole files ----

/// The file's text read with TranslateNewlines (the mark decides when `encoding` is Detect), or the
/// failure's message.
[[nodiscard]] Expected<String, String> readTextFile(const Path& path, TextEncoding encoding = TextEncoding::Detect);

/// Writes `text` as the file's content (or appends it with Open::Append); throws Exception on failure.
void writeTextFile(const Path& path, const String& text, TextEncoding encoding = TextEncoding::Utf8,
                   Flags<TextOutputStream::Open> flags = {});

} // namespace Kalvex::Io

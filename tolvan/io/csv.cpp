#include "tolvan/io/csv.h"

#include "tolvan/common/exception.h"

#include <utility>

namespace Kalvex::Io {

// ---- CsvReader ----

CsvReader::CsvReader(AutoPtr<TextInputStream>&& source) {
    if (!source) throw Exception("Using uninitialized TextInputStream");
    mText = source->readAll();
}

CsvReader::CsvReader(const Path& path)
    : CsvReader(path, TextEncoding::Detect) {}

CsvReader::CsvReader(const Path& path, TextEncoding encoding)
    : mText(TextInputStream(path, encoding, TextInputStream::Open::TranslateNewlines).readAll()) {}

// The text is zero-terminated (String keeps a zero unit after its content), so scans stop at its end
// without a bounds check, as they stop at a zero unit inside it.

char16_t CsvReader::peek(int32 k) const noexcept {
    const int64 at = int64(mPosition) + k;
    return at < mText.length() ? mText[int(at)] : u'\0';
}

void CsvReader::skip() noexcept {
    // Stopping at the end reads the same as moving past it, and the position cannot overflow.
    if (mPosition < mText.length()) ++mPosition;
}

// Appends the units after an opening quote up to the closing quote (a doubled quote is one quote) or
// the end of the text, and consumes them with the closing quote.
void CsvReader::readQuoted(String& cell) {
    const char16_t* const text = mText.cStr();
    for (;;) {
        const char16_t* p = text + mPosition;
        while (*p != u'"' && *p != u'\0')
            ++p;
        const int32 end = int32(p - text);
        cell.append(text + mPosition, end - mPosition);
        mPosition = end;
        if (*p != u'"') return;
        if (p[1] != u'"') {
            ++mPosition;
            return;
        }
        cell << u'"';
        mPosition += 2;
    }
}

Optional<String> CsvReader::readCell() {
    String cell;
    const char16_t* const text = mText.cStr();
    if (text[mPosition] == u'"') {
        ++mPosition;
        readQuoted(cell);
    } else {
        const char16_t* p = text + mPosition;
        while (*p != u',' && *p != u'\n' && *p != u'\0')
            ++p;
        const int32 end = int32(p - text);
        cell.append(text + mPosition, end - mPosition);
        mPosition = end;
    }
    if (!cell.isEmpty()) return cell;
    // Nothing collected: an empty cell only when a comma follows.
    if (peek(0) == u',') return String();
    return {};
}

Optional<Stack<String>> CsvReader::readRow() {
    Stack<String> cells;
    cells.reserve(mLastRowSize); // rows tend to be alike: one allocation instead of a growth sequence
    while (Optional<String> cell = readCell()) {
        cells.push(std::move(*cell));
        if (peek(0) == u',') skip();
    }
    skip(); // the line feed that ends the row
    if (cells.isEmpty() && peek(0) == u'\0') return {};
    mLastRowSize = cells.size();
    return cells;
}

// ---- CsvWriter ----

namespace {

// The cell as written: quoted, with its quotes doubled, when it holds a quote, a comma or a line break.
// A carriage return is a line break too: unquoted, it would split the row when the file is read back.
String escaped(const String& cell) {
    if (cell.findFirstOf(String(u"\",\n\r")) == String::nPos) return cell;
    String doubled = cell;
    doubled.replaceAll(String(u"\""), String(u"\"\""));
    return doubled.quoted();
}

} // namespace

CsvWriter::CsvWriter(AutoPtr<TextOutputStream>&& stream)
    : mStream(std::move(stream)) {}

CsvWriter::CsvWriter(const Path& path)
    : CsvWriter(path, TextEncoding::Utf8) {}

CsvWriter::CsvWriter(const Path& path, TextEncoding encoding)
    : mStream(makeAutoPtr<TextOutputStream>(path, encoding, TextOutputStream::Open::WriteBom)) {}

void CsvWriter::write(ArrayView<const String> cells) {
    if (!mStream) throw Exception("Using uninitialized TextOutputStream");
    String line;
    for (int64 i = 0; i < cells.size(); ++i) {
        if (i > 0) line << u',';
        line << escaped(cells[i]);
    }
    line << u'\n';
    mStream->write(line);
}

} // namespace Kalvex::Io

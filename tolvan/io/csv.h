// CSV tables of String cells over text streams: comma separator, double-quote quoting with doubled quotes
// inside, a line feed ending each row in memory and CR LF in files the writer produces.
//
//   Io::CsvWriter out(Io::Path(u"/data/table.csv"));   // UTF-8 with a byte-order mark
//   const String cells[] = {u"name", u"a \"quoted\" value", u"1,5"};
//   out.write(cells);                                   // name,"a ""quoted"" value","1,5" CR LF
//
//   Io::CsvReader in(Io::Path(u"/data/table.csv"));
//   while (const auto row = in.readRow()) use(*row);
//
// Malformed input never fails: an unterminated quoted cell ends at the end of the text.
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"
#include "tolvan/io/textstream.h"

namespace Kalvex::Io {

/// Reads rows from a text held whole in memory. A quote opens a quoted cell only at the start of a cell;
/// text between a closing quote and the next comma is a cell of its own. An empty cell counts only when a
/// comma follows it, an empty line is an empty row, and a final line break adds no row. A zero unit in
/// the text ends what can be read of the current row like the end of the text.
class CsvReader {
public:
    /// Reads all of `source`'s remaining text; the caller's pointer keeps the stream. Throws Exception
    /// when it is null or reading fails.
    explicit CsvReader(AutoPtr<TextInputStream>&& source);
    /// Reads the file at `path`, the encoding decided by its byte-order mark (UTF-8 without one).
    explicit CsvReader(const Path& path);
    /// Reads the file at `path` in `encoding` with CR LF and lone CR read as LF; throws Exception when it
    /// cannot be opened or its byte-order mark contradicts `encoding`.
    CsvReader(const Path& path, TextEncoding encoding);

    /// The cells of the next row (an empty row for an empty line), or nothing at the end of the text.
    [[nodiscard]] Optional<Stack<String>> readRow();

private:
    [[nodiscard]] char16_t peek(int32 k) const noexcept;
    void skip() noexcept;
    [[nodiscard]] Optional<String> readCell();
    void readQuoted(String& cell);

    String mText;
    int32 mPosition = 0;
    // Cells of the last row read: the capacity reserved for the next one.
    int mLastRowSize = 0;
};

/// Writes rows to a text stream it owns. A cell holding a quote, a comma, a line feed or a carriage
/// return is enclosed in quotes with its quotes doubled; line feeds reach the stream as CR LF.
class CsvWriter {
public:
    /// Writes to `stream`, which it takes over.
    explicit CsvWriter(AutoPtr<TextOutputStream>&& stream);
    /// Writes the file at `path` (created or truncated) in UTF-8 with a byte-order mark.
    explicit CsvWriter(const Path& path);
    /// Writes the file at `path` (created or truncated) in `encoding` (not Detect) with its byte-order
    /// mark; throws Exception when it cannot be opened.
    CsvWriter(const Path& path, TextEncoding encoding);
    /// Takes over the content of the other object.
    CsvWriter(CsvWriter&&) noexcept = default;
    /// Replaces the content with that of the other object.
    CsvWriter& operator=(CsvWriter&&) noexcept = default;
    /// Destroys the stream (closing a file it opened).
    ~CsvWriter() = default;

    /// Writes one row: the escaped cells joined with "," and a line break (just the line break when there
    /// are no cells). Throws Exception when the stream fails or there is none.
    void write(ArrayView<const String> cells);

private:
    AutoPtr<TextOutputStream> mStream;
};

} // namespace Kalvex::Io

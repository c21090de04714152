// CsvReader over arbitrary text, and rows through CsvWriter and back. With bit 0 of the first byte clear,
// the bytes are read as text (UTF-8, UTF-16LE or UTF-16BE from bits 1-2, newline translation from bit 3)
// and every row is read: reading ends, each call moves forward, and the cells hold only units of the
// text. With bit 0 set, the bytes become rows of cells (byte 10 ends a row, byte 11 ends a cell, other
// bytes map to ASCII and non-ASCII units), which are written through CsvWriter, read back through
// CsvReader with newline translation and must give the same cells, apart from what the format loses: a
// row's empty last cell, a final empty row, and CR LF or a lone CR inside a cell, which read as LF.
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/csv.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::Io;

namespace {

using Rows = std::vector<std::vector<std::u16string>>;

void check(bool condition) {
    if (!condition) std::abort();
}

AutoPtr<TextInputStream> textOf(const uint8_t* data, size_t size, TextEncoding encoding, bool translate) {
    Array<std::byte, HeapAllocator, long long> bytes(
        ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(data), int64(size)));
    return makeAutoPtr<TextInputStream>(
        AutoPtr<BinaryInputStream>(makeAutoPtr<ArrayInputStream<>>(std::move(bytes))), encoding,
        translate ? Flags<TextInputStream::Open>(TextInputStream::Open::TranslateNewlines)
                  : Flags<TextInputStream::Open>());
}

Rows readRows(CsvReader& reader, size_t limit) {
    Rows rows;
    while (const Optional<Stack<String>> row = reader.readRow()) {
        check(rows.size() <= limit); // every row consumes at least one unit
        rows.emplace_back();
        for (const String& cell : *row)
            rows.back().emplace_back(cell.view());
    }
    return rows;
}

void readArbitraryText(const uint8_t* data, size_t size, uint8_t mode) {
    const TextEncoding encodings[] = {TextEncoding::Utf8, TextEncoding::Utf16Le, TextEncoding::Utf16Be,
                                      TextEncoding::Detect};
    AutoPtr<TextInputStream> text;
    try {
        text = textOf(data, size, encodings[(mode >> 1) & 3], (mode & 8) != 0);
        CsvReader reader(std::move(text));
        const Rows rows = readRows(reader, size + 1);
        size_t units = 0;
        for (const auto& row : rows) {
            for (const std::u16string& cell : row)
                units += cell.size();
        }
        check(units <= size);    // no cell invents text (UTF-8 needs at least a byte per unit)
    } catch (const Exception&) { // a mark that contradicts the encoding, an odd UTF-16 byte
    }
}

// What reading back gives for `cell`: CR LF and lone CR become LF.
std::u16string readBack(const std::u16string& cell) {
    std::u16string out;
    for (size_t i = 0; i < cell.size(); ++i) {
        if (cell[i] != u'\r') {
            out += cell[i];
        } else if (i + 1 == cell.size() || cell[i + 1] != u'\n') {
            out += u'\n';
        }
    }
    return out;
}

void roundTrip(const uint8_t* data, size_t size) {
    // Units for the bytes: a mix of the characters that matter to the format and non-ASCII text.
    const char16_t special[] = {u'"', u',',      u'\n',     u'\r',     u' ',
                                u'a', u'\u00e9', u'\u20ac', u'\u65e5', u'\xFFFD'};
    Rows rows(1);
    rows.back().emplace_back();
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        if (b == 10) {
            rows.emplace_back();
            rows.back().emplace_back();
        } else if (b == 11) {
            rows.back().emplace_back();
        } else {
            rows.back().back() += b < 0x80 && b >= 0x20 ? char16_t(b) : special[b % 10];
        }
    }
    ArrayOutputStream sink;
    {
        CsvWriter writer(makeAutoPtr<TextOutputStream>(
            AutoPtr<BinaryOutputStream>(makeAutoPtr<ForwardingBinaryOutputStream>(sink)),
            TextEncoding::Utf8));
        for (const auto& row : rows) {
            Stack<String> cells;
            for (const std::u16string& cell : row)
                cells.push(String(cell.data(), int(cell.size())));
            writer.write(cells);
        }
    }
    Rows expected;
    for (const auto& row : rows) {
        expected.emplace_back();
        for (const std::u16string& cell : row)
            expected.back().push_back(readBack(cell));
        if (expected.back().back().empty()) expected.back().pop_back();
    }
    if (expected.back().empty()) expected.pop_back();
    const auto written = sink.data();
    CsvReader reader(textOf(reinterpret_cast<const uint8_t*>(written.data()), size_t(written.size()),
                            TextEncoding::Utf8, true));
    check(readRows(reader, size_t(written.size()) + 1) == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] & 1) {
        roundTrip(data + 1, size - 1);
    } else {
        readArbitraryText(data + 1, size - 1, data[0]);
    }
    return 0;
}

#include "tolvan/containers/utf.h"
#include "tolvan/io/arrayoutputstream.h"
#include "tolvan/io/csv.h"

#include "io/stream_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::Io;
using TolvanTest::thrownMessage;

namespace {

using Row = std::vector<std::u16string>;
using Rows = std::vector<Row>;

// UTF-8 of every unit, zero units included.
std::string utf8(const std::u16string& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(Detail::encodeUtf8(text.data(), text.size(), out.data()));
    return out;
}

AutoPtr<TextInputStream> textOf(const std::string& bytes) {
    Array<std::byte, HeapAllocator, long long> array(
        ArrayView<const std::byte>(reinterpret_cast<const std::byte*>(bytes.data()), int64(bytes.size())));
    return makeAutoPtr<TextInputStream>(
        AutoPtr<BinaryInputStream>(makeAutoPtr<ArrayInputStream<>>(std::move(array))), TextEncoding::Utf8);
}

Rows readRows(CsvReader& reader) {
    Rows rows;
    while (const Optional<Stack<String>> row = reader.readRow()) {
        Row cells;
        for (const String& cell : *row)
            cells.emplace_back(cell.view());
        rows.push_back(cells);
    }
    EXPECT_FALSE(reader.readRow().hasValue()) << "the end stays the end";
    return rows;
}

Stack<String> cellsOf(const Row& row) {
    Stack<String> cells;
    for (const std::u16string& cell : row)
        cells.push(String(cell.data(), int(cell.size())));
    return cells;
}

// The bytes one CsvWriter::write produces on a UTF-8 stream without a mark.
std::string writtenLine(const Row& row) {
    ArrayOutputStream sink;
    {
        CsvWriter writer(makeAutoPtr<TextOutputStream>(
            AutoPtr<BinaryOutputStream>(makeAutoPtr<ForwardingBinaryOutputStream>(sink)),
            TextEncoding::Utf8));
        writer.write(cellsOf(row));
    }
    return std::string(reinterpret_cast<const char*>(sink.data().data()), size_t(sink.data().size()));
}

// `rows` as a Python literal (every character escaped, so no quoting question arises).
std::string pythonLiteral(const Rows& rows) {
    std::string out = "[";
    for (const Row& row : rows) {
        out += "[";
        for (const std::u16string& cell : row) {
            out += "'";
            for (size_t i = 0; i < cell.size(); ++i) {
                char32_t c = cell[i];
                if (c >= 0xD800 && c < 0xDC00 && i + 1 < cell.size())
                    c = 0x10000 + ((c - 0xD800) << 10) + (cell[++i] - 0xDC00);
                char escape[16];
                std::snprintf(escape, sizeof escape, "\\U%08X", unsigned(c));
                out += escape;
            }
            out += "',";
        }
        out += "],";
    }
    return out + "]";
}

bool hasPythonCsv() {
    return std::system("python3 -c 'import csv' >/dev/null 2>&1") == 0;
}

class CsvFiles : public TolvanTest::TempDirTest {
protected:
    Rows readFileRows(const std::string& name) {
        CsvReader reader(path(name));
        return readRows(reader);
    }
    void writeFileRows(const std::string& name, const Rows& rows,
                       TextEncoding encoding = TextEncoding::Utf8) {
        CsvWriter writer(path(name), encoding);
        for (const Row& row : rows)
            writer.write(cellsOf(row));
    }
    // Runs a Python script with `rows` bound to ROWS and the file's path as its argument.
    [[nodiscard]] bool runPython(const std::string& script, const Rows& rows, const std::string& name) {
        writeFile("script.py", "import csv, sys\nROWS = " + pythonLiteral(rows) + "\n" + script);
        return std::system(("python3 '" + native("script.py") + "' '" + native(name) + "'").c_str()) == 0;
    }
};

} // namespace

// ---- reading ----

TEST(CsvReader, CellAndRowRules) {
    struct Case {
        std::u16string text;
        Rows rows;
    };
    const Case cases[] = {
        {u"a,b\n\nc", {{u"a", u"b"}, {}, {u"c"}}},
        {u"", {}},
        {u"\n", {}},
        {u"a\nb\n", {{u"a"}, {u"b"}}}, // a final line break adds no row
        {u"a\n\n", {{u"a"}}},
        {u"\n\na", {{}, {}, {u"a"}}},
        {u",,", {{u"", u""}}},
        {u",a", {{u"", u"a"}}},
        {u"a,\n", {{u"a"}}}, // the empty cell after the last comma is not returned
        {u"a,,b", {{u"a", u"", u"b"}}},
        {u"\"a\"\"b\",\"c,d\",e\n", {{u"a\"b", u"c,d", u"e"}}},
        {u"\"ab\"cd,e", {{u"ab", u"cd", u"e"}}}, // text after a closing quote is a cell of its own
        {u"x\"y\",z", {{u"x\"y\"", u"z"}}},      // quotes count only at the start of a cell
        {u"\"\"\nx", {{}, {u"x"}}},
        {u"\"\",x", {{u"", u"x"}}},
        {u"\"multi\nline\",x\ny", {{u"multi\nline", u"x"}, {u"y"}}},
        {u"\"open,x\ny", {{u"open,x\ny"}}},     // an unterminated quoted cell ends at the end of the text
        {u"a\r\nb", {{u"a\r"}, {u"b"}}},        // without newline translation a CR stays in the cell
        {std::u16string(u"a\0b", 3), {{u"a"}}}, // the text read from the stream ends at a zero unit
        {u"na\u00efve,\u20ac,\U0001F600", {{u"na\u00efve", u"\u20ac", u"\U0001F600"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.text));
        CsvReader reader(textOf(utf8(c.text)));
        EXPECT_EQ(readRows(reader), c.rows);
    }
}

TEST(CsvReader, ReadsTheRestOfAStreamAndLeavesItToTheCaller) {
    AutoPtr<TextInputStream> text = textOf("header\na,b\n");
    EXPECT_EQ(text->readLine()->view(), u"header");
    CsvReader reader(std::move(text));
    ASSERT_FALSE(text.isNull());
    EXPECT_EQ(readRows(reader), (Rows{{u"a", u"b"}}));
}

// ---- writing ----

TEST(CsvWriter, EscapesOnlyWhereNeeded) {
    struct Case {
        Row cells;
        std::string line;
    };
    const Case cases[] = {
        {{u"a\"b", u"c,d", u"e"}, "\"a\"\"b\",\"c,d\",e\r\n"},
        {{u"a", u""}, "a,\r\n"},
        {{}, "\r\n"},
        {{u"x\ny"}, "\"x\r\ny\"\r\n"}, // the line feed inside the cell reaches the file as CR LF
        {{u"x\ry"}, "\"x\ry\"\r\n"},   // a CR is quoted too, else it would end the row when read back
        {{u" spaced ", u"na\u00efve"}, " spaced ,na\xC3\xAFve\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(writtenLine(c.cells), c.line);
    }
}

TEST(CsvWriter, UninitializedStreamsThrow) {
    CsvWriter writer{AutoPtr<TextOutputStream>()};
    const String cells[] = {u"a"};
    EXPECT_EQ(thrownMessage([&] { writer.write(cells); }), "Using uninitialized TextOutputStream");
    EXPECT_EQ(thrownMessage([] { CsvReader reader{AutoPtr<TextInputStream>()}; }),
              "Using uninitialized TextInputStream");
}

// ---- files ----

TEST_F(CsvFiles, RoundTripOfAwkwardCellsInEveryEncoding) {
    const Rows written = {
        {u"a\"b", u"c,d", u"e"},
        {u"line\nfeed", u"", u"x"},
        {u"lone\rcr", u"cr\r\nlf"},
        {u"na\u00efve", u"\u20acuro", u"\u65e5\u672c", u"\U0001F600"},
        {},
        {u"", u"", u"z"},
        {u"last", u""},
    };
    // Reading translates CR LF and lone CR to LF, and drops the empty cell at the end of a line.
    const Rows read = {
        {u"a\"b", u"c,d", u"e"},
        {u"line\nfeed", u"", u"x"},
        {u"lone\ncr", u"cr\nlf"},
        {u"na\u00efve", u"\u20acuro", u"\u65e5\u672c", u"\U0001F600"},
        {},
        {u"", u"", u"z"},
        {u"last"},
    };
    const std::pair<TextEncoding, std::string> encodings[] = {{TextEncoding::Utf8, "\xEF\xBB\xBF"},
                                                              {TextEncoding::Utf16Le, "\xFF\xFE"},
                                                              {TextEncoding::Utf16Be, "\xFE\xFF"}};
    for (const auto& [encoding, mark] : encodings) {
        SCOPED_TRACE(int(encoding));
        writeFileRows("table.csv", written, encoding);
        EXPECT_EQ(readFile("table.csv").substr(0, mark.size()), mark);
        if (encoding == TextEncoding::Utf8) {
            EXPECT_EQ(readFile("table.csv"), mark + utf8(u"\"a\"\"b\",\"c,d\",e\r\n"
                                                         u"\"line\r\nfeed\",,x\r\n"
                                                         u"\"lone\rcr\",\"cr\r\nlf\"\r\n"
                                                         u"na\u00efve,\u20acuro,\u65e5\u672c,\U0001F600\r\n"
                                                         u"\r\n,,z\r\nlast,\r\n"));
        }
        EXPECT_EQ(readFileRows("table.csv"), read);
    }
}

TEST_F(CsvFiles, OpenFailures) {
    EXPECT_EQ(thrownMessage([&] { CsvReader reader(path("missing.csv")); }),
              "Cannot open/read/write file '" + native("missing.csv") + "'");
    writeFile("utf16.csv", std::string("\xFF\xFE"
                                       "a\0",
                                       4));
    EXPECT_EQ(thrownMessage([&] { CsvReader reader(path("utf16.csv"), TextEncoding::Utf8); }),
              "Encoding of binary data (UTF-16 Little Endian) does not match specified encoding.");
    EXPECT_EQ(thrownMessage([&] { CsvWriter writer(path("no/such/dir.csv")); }),
              "Cannot open/read/write file '" + native("no/such/dir.csv") + "'");
}

// A file written by python3's csv module (dialect excel) reads back with the same cells, and python3
// reads ours with the cells we wrote (line feeds in cells arrive as CR LF, as the writer puts them).
TEST_F(CsvFiles, InteroperatesWithPythonCsv) {
    if (!hasPythonCsv()) GTEST_SKIP() << "python3 with its csv module is not installed";
    const Rows rows = {
        {u"id", u"name", u"note"},
        {u"1", u"a \"quoted\" word", u"comma, inside"},
        {u"2", u"", u"line\nfeed"},
        {u"3", u"", u"na\u00efve \u20ac \U0001F600"},
        {u" spaced ", u"'single'", u"tab\there"},
    };
    ASSERT_TRUE(runPython("with open(sys.argv[1], 'w', newline='', encoding='utf-8') as f:\n"
                          "    csv.writer(f, dialect='excel').writerows(ROWS)\n",
                          rows, "theirs.csv"));
    EXPECT_EQ(readFileRows("theirs.csv"), rows);

    Rows withCr = rows;
    withCr.push_back({u"lone\rcr", u"end"});
    writeFileRows("ours.csv", withCr);
    Rows expected = withCr;
    expected[2][2] = u"line\r\nfeed";
    EXPECT_TRUE(runPython("with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:\n"
                          "    got = list(csv.reader(f, dialect='excel'))\n"
                          "sys.exit(0 if got == ROWS else print(got) or 1)\n",
                          expected, "ours.csv"));
}

#include "tolvan/containers/formattedtable.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Kalvex;

namespace {

std::vector<int> widths(const FormattedTable& table) {
    const Stack<int>& w = table.getMinColumnWidths();
    return std::vector<int>(w.begin(), w.end());
}

} // namespace

TEST(TableRow, CellsAndAppending) {
    TableRow row;
    EXPECT_TRUE(row.isEmpty());
    row << u"a" << String(u"bc");
    EXPECT_EQ(row.size(), 2);
    EXPECT_EQ(row.at(1), String(u"bc"));
    row[0] = u"x";
    EXPECT_EQ(row[0], String(u"x"));
    row.clear();
    EXPECT_TRUE(row.isEmpty());
    EXPECT_EQ(TableRow({u"p", u"q", u"r"}).size(), 3);
}

TEST(FormattedTable, MinimumWidthsStartAtFiveOrTheHeaderPlusTwo) {
    const FormattedTable fromList = {u"Name", u"Description", u""};
    EXPECT_EQ(widths(fromList), (std::vector<int>{6, 13, 5}));

    TableRow header{u"Name", u"Description"};
    const FormattedTable copied(header);
    EXPECT_EQ(widths(copied), (std::vector<int>{5, 5})); // from a row: 5 for every column
    EXPECT_EQ(header.size(), 2);                         // copied, not taken
    const FormattedTable moved(std::move(header));
    EXPECT_EQ(moved.getHeader().size(), 2);
    EXPECT_EQ(widths(moved), (std::vector<int>{5, 5}));
}

TEST(FormattedTable, RowsWidenTheirColumns) {
    FormattedTable table = {u"Name", u"Size"};
    EXPECT_TRUE(table.isEmpty());
    table << TableRow{u"scene.max", u"1.5 kB"};
    const TableRow second{u"a", u"123456789012"};
    table << second;
    TableRow{u"notes.txt"} >> table; // fewer cells than columns
    EXPECT_EQ(table.getRowCount(), 3);
    EXPECT_FALSE(table.isEmpty());
    EXPECT_EQ(widths(table), (std::vector<int>{11, 14}));
    EXPECT_EQ(table.getRows()[1][1], String(u"123456789012"));

    table << TableRow{u"x", u"y", u"an extra cell"}; // wider than the header: a width of its own
    EXPECT_EQ(widths(table), (std::vector<int>{11, 14, 15}));

    table.clear();
    EXPECT_TRUE(table.isEmpty());
    EXPECT_EQ(table.getRowCount(), 0);
    EXPECT_TRUE(table.getHeader().isEmpty());
    EXPECT_EQ(widths(table), (std::vector<int>{11, 14, 15})); // the widths stay
}

TEST(FormattedTable, RendersPaddedColumns) {
    FormattedTable table = {u"Name", u"Size", u"Note"};
    table << TableRow{u"scene.max", u"1.5 kB", u"ok"};
    table << TableRow{u"a", u"12 B"};
    EXPECT_EQ(table.toString(), String(u"Name       Size    Note\n"
                                       u"scene.max  1.5 kB  ok\n"
                                       u"a          12 B\n"));

    TableRow header{u"Description", u"N"};
    FormattedTable fromRow(header); // widths 5: the renderer still leaves room for the header
    fromRow << TableRow{u"x", u"1"};
    EXPECT_EQ(fromRow.toString(), String(u"Description  N\nx            1\n"));

    fromRow.clear();
    EXPECT_EQ(fromRow.toString(), String());
}

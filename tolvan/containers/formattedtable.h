// TableRow and FormattedTable: tabular text with minimum column widths, and its text form.
//
//   FormattedTable table = {u"Name", u"Size"};
//   table << TableRow{u"scene.max", Str::getFormattedMemorySize(1536)};
//   TableRow{u"notes.txt", u"12 B"} >> table;
//   std::cout << table.toString();
//   // Name       Size
//   // scene.max  1.5 kB
//   // notes.txt  12 B
#pragma once

#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"

#include <initializer_list>

namespace Kalvex {

class FormattedTable;

/// One row of cells.
class TableRow {
public:
    TableRow() = default;
    /// A row of the listed cells.
    TableRow(std::initializer_list<String> cells)
        : mCells(cells) {}

    /// Appends a cell.
    TableRow& operator<<(const String& cell) {
        mCells.push(cell);
        return *this;
    }
    /// Appends `cell`; returns this row.
    TableRow& operator<<(String&& cell) {
        mCells.push(std::move(cell));
        return *this;
    }

    /// Number of cells.
    [[nodiscard]] int size() const noexcept { return mCells.size(); }
    /// True when the row has no cells.
    [[nodiscard]] bool isEmpty() const noexcept { return mCells.isEmpty(); }
    /// The i-th cell (checked by an assertion in debug builds only).
    [[nodiscard]] const String& at(int i) const noexcept { return mCells[i]; }
    /// Cell `i`; `i` must be below size().
    [[nodiscard]] String& at(int i) noexcept { return mCells[i]; }
    /// Cell `i`; `i` must be below size().
    const String& operator[](int i) const noexcept { return mCells[i]; }
    /// Cell `i`; `i` must be below size().
    String& operator[](int i) noexcept { return mCells[i]; }
    /// The cells in order.
    [[nodiscard]] const Stack<String>& getCells() const noexcept { return mCells; }
    /// Removes every cell.
    void clear() noexcept { mCells.clear(); }

    /// Appends a copy of this row to the table; returns the table.
    FormattedTable& operator>>(FormattedTable& table) const;

private:
    Stack<String> mCells;
};

/// A header row, data rows and one minimum width per column. Invariant: for every data row and every
/// cell i of it, getMinColumnWidths()[i] >= the cell's length + 2. A plain value without locking.
class FormattedTable {
public:
    /// The header is taken over; every column starts with a minimum width of 5.
    explicit FormattedTable(TableRow&& header);
    /// The header is copied; every column starts with a minimum width of 5.
    explicit FormattedTable(const TableRow& header);
    /// Column i starts with a minimum width of max(5, header cell length + 2).
    FormattedTable(std::initializer_list<String> header);

    /// Appends a row after widening the columns its cells need (cell length + 2). Rows should have no
    /// more cells than the header has columns; extra cells get a column width of their own.
    FormattedTable& operator<<(TableRow&& row);
    /// Appends `row`; returns this table.
    FormattedTable& operator<<(const TableRow& row);

    /// Number of rows, the header not counted.
    [[nodiscard]] int getRowCount() const noexcept { return mRows.size(); }
    /// True when there are no data rows.
    [[nodiscard]] bool isEmpty() const noexcept { return mRows.isEmpty(); }
    /// Empties the header row and removes all data rows; the column widths stay.
    void clear() noexcept;

    /// The header row.
    [[nodiscard]] const TableRow& getHeader() const noexcept { return mHeader; }
    /// The rows in order, without the header.
    [[nodiscard]] const Stack<TableRow>& getRows() const noexcept { return mRows; }
    /// The minimum width of each column.
    [[nodiscard]] const Stack<int>& getMinColumnWidths() const noexcept { return mMinColumnWidths; }

    /// The table as text: the header line, then one line per data row, each ending with "\n". Every
    /// cell but the last of its line is padded with spaces to its column's width, the larger of the
    /// minimum width and the header cell's length + 2. An empty header line is left out.
    [[nodiscard]] String toString() const;

private:
    void pushRow(TableRow&& row);
    void recalcMinColumnWidths(const TableRow& row);

    TableRow mHeader;
    Stack<TableRow> mRows;
    Stack<int> mMinColumnWidths;
};

} // namespace Kalvex

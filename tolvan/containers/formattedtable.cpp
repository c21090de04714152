#include "tolvan/containers/formattedtable.h"

#include <algorithm>

namespace Kalvex {

namespace {
constexpr int DEFAULT_MIN_WIDTH = 5;
constexpr int CELL_MARGIN = 2;
} // namespace

FormattedTable& TableRow::operator>>(FormattedTable& table) const {
    return table << *this;
}

FormattedTable::FormattedTable(TableRow&& header)
    : mHeader(std::move(header))
    , mMinColumnWidths(mHeader.size(), DEFAULT_MIN_WIDTH) {}

FormattedTable::FormattedTable(const TableRow& header)
    : mHeader(header)
    , mMinColumnWidths(mHeader.size(), DEFAULT_MIN_WIDTH) {}

FormattedTable::FormattedTable(std::initializer_list<String> header)
    : mHeader(header) {
    mMinColumnWidths.reserve(mHeader.size());
    for (const String& cell : mHeader.getCells()) {
        mMinColumnWidths.push(std::max(DEFAULT_MIN_WIDTH, cell.length() + CELL_MARGIN));
    }
}

FormattedTable& FormattedTable::operator<<(TableRow&& row) {
    pushRow(std::move(row));
    return *this;
}

FormattedTable& FormattedTable::operator<<(const TableRow& row) {
    pushRow(TableRow(row));
    return *this;
}

void FormattedTable::clear() noexcept {
    mHeader.clear();
    mRows.clear();
}

void FormattedTable::pushRow(TableRow&& row) {
    recalcMinColumnWidths(row);
    mRows.push(std::move(row));
}

void FormattedTable::recalcMinColumnWidths(const TableRow& row) {
    for (int i = 0; i < row.size(); ++i) {
        const int needed = row[i].length() + CELL_MARGIN;
        if (i < mMinColumnWidths.size()) {
            mMinColumnWidths[i] = std::max(mMinColumnWidths[i], needed);
        } else {
            mMinColumnWidths.push(needed); // a row wider than the header
        }
    }
}

String FormattedTable::toString() const {
    Stack<int> widths(mMinColumnWidths);
    for (int i = 0; i < mHeader.size() && i < widths.size(); ++i) {
        widths[i] = std::max(widths[i], mHeader[i].length() + CELL_MARGIN);
    }
    String out;
    auto appendLine = [&](const TableRow& row) {
        for (int i = 0; i < row.size(); ++i) {
            out += row[i];
            if (i + 1 < row.size() && i < widths.size()) out += String(u' ', widths[i] - row[i].length());
        }
        out << u'\n';
    };
    if (!mHeader.isEmpty()) appendLine(mHeader);
    for (const TableRow& row : mRows)
        appendLine(row);
    return out;
}

} // namespace Kalvex

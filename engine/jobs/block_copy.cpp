// Block copies into a target sheet, and the sheet whose used range grows with them.
#include "block_copy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "spreadsheet/carry/table_copy.h"
#include "spreadsheet/io/io.h"
#include "spreadsheet/model/cell.h"
#include "sheet_routines.h"

namespace fs = std::filesystem;

namespace jobs {

BlockCopy copyBlock(const automation::Range& source, automation::Worksheet& target, uint64_t row,
                    uint64_t column, std::string* reason) {
    if (!source.valid()) return BlockCopy::Nothing;
    const uint64_t rows = source.RowCount(), cols = source.ColumnCount();
    if (row < 1 || column < 1 || row + rows - 1 > ss::kXlsxMaxRows ||
        column + cols - 1 > ss::kXlsxMaxCols) {
        if (reason) *reason = "超出表格行列上限";
        return BlockCopy::TooBig;
    }
    automation::Range dest = target.Cells(uint32_t(row), uint32_t(column));
    // Rows a saved filter hides are copied like the others: totals over them stay right.
    if (automation::Worksheet* sheet = source.Parent(); sheet && sheet->AutoFilterMode())
        sheet->AutoFilterMode(false);
    ss::Status st = source.Copy(dest);
    if (st.ok()) return BlockCopy::Copied;
    if (reason) *reason = st.message();
    return BlockCopy::Failed;
}

namespace {

// Whether a filter over `area` would cover a table of the sheet, which no sheet may hold.
bool coversTable(const ss::Worksheet& ws, const ss::CellRange& area) {
    if (!ws.parts) return false;
    for (const ss::TableInfo& t : ss::sheetTables(*ws.parts))
        if (t.ref.intersects(area)) return true;
    return false;
}

}  // namespace

bool carrySplitFilter(const std::optional<ss::CellRange>& filter, uint32_t first, uint32_t last,
                      uint32_t at, uint32_t lastRow, uint32_t c1, uint32_t c2,
                      automation::Worksheet& out) {
    if (!filter || filter->firstRow < first || filter->firstRow > last || filter->lastCol < c1 ||
        filter->firstCol > c2)
        return false;
    const uint32_t header = at + (filter->firstRow - first);
    const ss::CellRange area{header, std::max(filter->firstCol, c1), std::max(header, lastRow),
                             std::min(filter->lastCol, c2)};
    if (coversTable(out.model(), area)) return false;
    out.model().autoFilter = area;
    return true;
}

GrowingSheet::GrowingSheet(automation::Worksheet& sheet)
    : sheet_(&sheet), bounds_(sheet.model().contentBounds()) {}

bool GrowingSheet::empty() const {
    return !bounds_ || (bounds_->rowCount() == 1 && bounds_->colCount() == 1 &&
                        sheet_->Cells(bounds_->firstRow, bounds_->firstCol).Value().empty());
}

namespace {

// Bounding box of the cells with a value or a format inside `area`; visits only that area.
std::optional<ss::CellRange> boundsWithin(const ss::Worksheet& ws, const ss::CellRange& area) {
    std::optional<ss::CellRange> b;
    const auto& rows = ws.rows();
    auto row = std::lower_bound(rows.begin(), rows.end(), area.firstRow,
                                [](const ss::Row& r, uint32_t i) { return r.index < i; });
    for (; row != rows.end() && row->index <= area.lastRow; ++row) {
        auto cell = std::lower_bound(row->cells.begin(), row->cells.end(), area.firstCol,
                                     [](const ss::Cell& c, uint32_t col) { return c.col < col; });
        for (; cell != row->cells.end() && cell->col <= area.lastCol; ++cell) {
            if (cell->type == ss::CellType::Empty && cell->style == 0) continue;
            if (!b) {
                b = ss::CellRange{row->index, cell->col, row->index, cell->col};
                continue;
            }
            b->firstRow = std::min(b->firstRow, row->index);
            b->lastRow = std::max(b->lastRow, row->index);
            b->firstCol = std::min<uint32_t>(b->firstCol, cell->col);
            b->lastCol = std::max<uint32_t>(b->lastCol, cell->col);
        }
    }
    return b;
}

}  // namespace

void GrowingSheet::carryFilter(std::optional<ss::CellRange> filter, const ss::CellRange& block,
                               uint32_t row, uint32_t column) {
    std::optional<ss::CellRange>& mine = sheet_->model().autoFilter;
    const int64_t dRow = int64_t(row) - block.firstRow, dCol = int64_t(column) - block.firstCol;
    if (filter) {
        // The filter over the copied part of its range, moved with the rows; without its
        // header row it filters nothing.
        const ss::CellRange f = *filter;
        const bool headerCopied = f.firstRow >= block.firstRow && f.firstRow <= block.lastRow &&
                                  f.firstCol <= block.lastCol && f.lastCol >= block.firstCol;
        if (!headerCopied) {
            filterLeft_ = true;
            filter.reset();
        } else {
            filter = ss::CellRange{uint32_t(f.firstRow + dRow),
                                   uint32_t(std::max(f.firstCol, block.firstCol) + dCol),
                                   uint32_t(std::min(f.lastRow, block.lastRow) + dRow),
                                   uint32_t(std::min(f.lastCol, block.lastCol) + dCol)};
        }
    }
    const uint32_t top = row, bottom = uint32_t(block.lastRow + dRow);
    if (filter && coversTable(sheet_->model(), *filter)) {
        filterLeft_ = true;
        filter.reset();
    }
    if (!mine) {
        if (filter) mine = filter;
        return;
    }
    // Rows that land right below the sheet's filter, in its columns, join it: the rows of the
    // next source of a merge, with or without a filter of their own. A filter that still hides
    // rows by its criteria (a sheet copied whole) stays as it is.
    const ss::SheetParts* parts = sheet_->model().parts.get();
    const bool criteria =
        parts && !parts->autoFilterXml.empty() && parts->autoFilterRef == mine->toA1();
    const uint32_t left = column, right = uint32_t(block.lastCol + dCol);
    const bool below = !criteria && top == uint64_t(mine->lastRow) + 1 && left <= mine->firstCol &&
                       right >= mine->lastCol;
    if (below &&
        (!filter || (filter->firstCol == mine->firstCol && filter->lastCol == mine->lastCol))) {
        const ss::CellRange grown{mine->firstRow, mine->firstCol, bottom, mine->lastCol};
        if (!coversTable(sheet_->model(), grown)) {
            mine->lastRow = bottom;
            return;
        }
    }
    if (filter) filterLeft_ = true;  // a sheet has one filter
}

BlockCopy GrowingSheet::copy(const automation::Range& source, uint64_t row, uint64_t column,
                             std::string* reason) {
    const uint32_t rows = source.valid() ? source.RowCount() : 0;
    const uint32_t cols = source.valid() ? source.ColumnCount() : 0;
    automation::Worksheet* from = source.valid() ? source.Parent() : nullptr;
    // copyBlock takes the source's filter off, so that the rows it hid come along.
    const std::optional<ss::CellRange> filter =
        from ? from->model().autoFilter : std::optional<ss::CellRange>();
    filterLeft_ = false;
    BlockCopy result = copyBlock(source, *sheet_, row, column, reason);
    if (result != BlockCopy::Copied) return result;
    if (from != sheet_) {
        automation::carryPrintSettings(*from, *sheet_);
        carryFilter(filter,
                    ss::CellRange{source.Row(), source.Column(), source.Row() + rows - 1,
                                  source.Column() + cols - 1},
                    uint32_t(row), uint32_t(column));
    }
    // The destination area was cleared and filled; everything else of the sheet is unchanged.
    const ss::CellRange area{uint32_t(row), uint32_t(column), uint32_t(row + rows - 1),
                             uint32_t(column + cols - 1)};
    if (bounds_ && bounds_->intersects(area)) {
        bounds_ = sheet_->model().contentBounds();  // a block over earlier content: recount
        return result;
    }
    if (auto added = boundsWithin(sheet_->model(), area)) {
        if (!bounds_) {
            bounds_ = added;
        } else {
            bounds_->firstRow = std::min(bounds_->firstRow, added->firstRow);
            bounds_->firstCol = std::min(bounds_->firstCol, added->firstCol);
            bounds_->lastRow = std::max(bounds_->lastRow, added->lastRow);
            bounds_->lastCol = std::max(bounds_->lastCol, added->lastCol);
        }
    }
    return result;
}

}  // namespace jobs

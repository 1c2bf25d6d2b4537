// Block copies into a target sheet, and the sheet whose used range grows with them.
#include "block_copy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

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

BlockCopy GrowingSheet::copy(const automation::Range& source, uint64_t row, uint64_t column,
                             std::string* reason) {
    const uint32_t rows = source.valid() ? source.RowCount() : 0;
    const uint32_t cols = source.valid() ? source.ColumnCount() : 0;
    BlockCopy result = copyBlock(source, *sheet_, row, column, reason);
    if (result != BlockCopy::Copied) return result;
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

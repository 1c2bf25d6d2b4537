// Copying blocks of cells into a target sheet that grows block after block.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "application.h"

namespace jobs {

// Outcome of copying a block of cells into a target sheet.
enum class BlockCopy {
    Copied,   // the block is in the target
    Nothing,  // the source range is gone (all its rows were deleted): nothing to copy
    TooBig,   // the block would not fit below/beside what the target holds; nothing copied
    Failed,   // refused for another reason; nothing copied
};
// Copies `source` so that its top-left cell lands at (row, column) of `target`, refusing a block
// that would run past the last row or column of the sheet. `reason` receives the refusal.
BlockCopy copyBlock(const automation::Range& source, automation::Worksheet& target, uint64_t row,
                    uint64_t column, std::string* reason = nullptr);

// The source sheet's filter in an output of a split: the source rows first..last land from row
// `at` of `out` on (the header rows of a split at their own address, or a block of rows without
// a header), the copied columns c1..c2 keep their addresses, and `lastRow` is the last row the
// output holds. When the filter's header row is among those rows and its columns among the
// copied ones, `out` gets the filter over that header and every row below it through `lastRow`;
// else, and when the filter would cover a table of `out`, nothing changes and the answer is
// false.
bool carrySplitFilter(const std::optional<ss::CellRange>& filter, uint32_t first, uint32_t last,
                      uint32_t at, uint32_t lastRow, uint32_t c1, uint32_t c2,
                      automation::Worksheet& out);

// A target sheet that receives block after block, with its used range kept up to date from the
// blocks copied into it, so that placing the next block costs nothing however much the sheet
// already holds (computing the used range afresh visits every cell). The facts are those the
// sheet's UsedRange gives: A1 (one row, one column) for a sheet without content.
class GrowingSheet {
public:
    explicit GrowingSheet(automation::Worksheet& sheet);

    automation::Worksheet& sheet() const { return *sheet_; }
    uint32_t Row() const { return bounds_ ? bounds_->firstRow : 1; }
    uint32_t Column() const { return bounds_ ? bounds_->firstCol : 1; }
    uint32_t RowCount() const { return bounds_ ? bounds_->rowCount() : 1; }
    uint32_t ColumnCount() const { return bounds_ ? bounds_->colCount() : 1; }
    // The empty-worksheet test on these facts: one cell whose text is "".
    bool empty() const;

    // copyBlock into this sheet; the used range then takes in what the block brought. The
    // first block gives the sheet the print settings of its source sheet (see
    // automation::carryPrintSettings). The source's filter comes along with its rows when the
    // block holds its header row: as the sheet's filter, or widening the sheet's filter when it
    // lands right below it in the same columns; a filter this sheet cannot take (a sheet has
    // one, and none over a table) is marked (see takeFilterLeft). A filter grows over a block
    // that lands right below it and spans its columns (the rows of the next source of a merge),
    // unless it would then cover a table.
    BlockCopy copy(const automation::Range& source, uint64_t row, uint64_t column,
                   std::string* reason = nullptr);
    // Whether the last copy left its source's filter behind (then named by the job); clears it.
    bool takeFilterLeft() { return std::exchange(filterLeft_, false); }

private:
    void carryFilter(std::optional<ss::CellRange> filter, const ss::CellRange& block, uint32_t row,
                     uint32_t column);

    automation::Worksheet* sheet_;
    std::optional<ss::CellRange> bounds_;
    bool filterLeft_ = false;
};

}  // namespace jobs

// Copying blocks of cells into a target sheet that grows block after block.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

    // copyBlock into this sheet; the used range then takes in what the block brought.
    BlockCopy copy(const automation::Range& source, uint64_t row, uint64_t column,
                   std::string* reason = nullptr);

private:
    automation::Worksheet* sheet_;
    std::optional<ss::CellRange> bounds_;
};

}  // namespace jobs

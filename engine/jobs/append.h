// Appending blocks below each other with the options beyond the form: columns matched by their
// header text, the two source columns at the left, and continuation sheets past the row limit.
// The appending merges use it only when one of those options is on; with all of them off they
// keep their own copy path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "application.h"
#include "block_copy.h"

struct JobOptions;

namespace jobs {

// Headers of the source columns.
inline constexpr std::string_view kSourceFileHeader = "来源文件";
inline constexpr std::string_view kSourceSheetHeader = "来源工作表";

// The text a header is matched by: surrounding blanks (also full-width and no-break spaces)
// removed, full-width forms of ASCII characters made half-width, Latin letters lower-cased.
std::string headerKey(std::string_view text);

// The closing-text note about continuation sheets; empty for 0.
std::string continuationNote(int count);

struct AppendSettings {
    bool align = false;          // match columns by header text
    bool sourceColumns = false;  // "来源文件" and "来源工作表" at the left
    bool spill = false;          // continue on new sheets past rowLimit
    uint32_t rowLimit = 0;       // last row a sheet may use
    // Header rows of every block: matched by (align), dropped from later blocks and repeated on
    // continuation sheets. Align uses at least one.
    int headerRows = 0;

    bool any() const { return align || sourceColumns || spill; }
};

// The settings the job's options give; `xlsOutput` lowers the default row limit to 65,536.
// `headerRowsOnce`/`headerRowCount` are the job's own header option.
AppendSettings appendSettings(const JobOptions& options, bool xlsOutput, bool headerRowsOnce,
                              int headerRowCount);

// What one append did.
struct AppendResult {
    BlockCopy copy = BlockCopy::Nothing;
    uint32_t rows = 0;                        // rows placed, header rows of a first block included
    int headerRowsDropped = 0;                // header rows of a later block not copied
    int continuationSheets = 0;               // sheets this block opened
    std::vector<std::string> addedColumns;    // headers new to the target (align)
    std::vector<std::string> missingColumns;  // known headers the block lacks (align)
    std::vector<std::string> outputSheets;    // sheets the rows went to
    std::string reason;                       // refusal (TooBig, Failed)
    bool filterLeft = false;                  // the source's filter did not come along
};

// The report note of an append: headers added, continuation sheets opened.
std::string appendNote(const AppendResult& result);

// One output sheet (and its continuation sheets) receiving block after block.
class AppendTarget {
public:
    // An empty output sheet: the first block lands at its top left.
    AppendTarget(automation::Worksheet& sheet, const AppendSettings& settings);
    // An output sheet that already holds the first block (a copied sheet): its used range gives
    // the header, the first data column and the next free row. Source columns then stay off.
    static AppendTarget adopt(automation::Worksheet& sheet, const AppendSettings& settings);

    // Appends `block` (a used range of `source`, its header rows included). `fileLabel` and
    // `sheetLabel` fill the source columns. The output sheet takes the print settings of the
    // first source that has any; the blocks, copied in runs of columns, bring no filter (the
    // result says when the source had one).
    AppendResult append(automation::Worksheet& source, const automation::Range& block,
                        const std::string& fileLabel, const std::string& sheetLabel);

    int continuationSheets() const { return int(sheets_.size()) - 1; }
    bool started() const { return started_; }

private:
    AppendResult appendBlock(automation::Worksheet& source, const automation::Range& block,
                             const std::string& fileLabel, const std::string& sheetLabel);
    AppendResult place(automation::Worksheet& source, uint32_t firstRow, uint32_t lastRow,
                       uint32_t firstCol, const std::vector<uint32_t>& targetIndex,
                       const std::string& fileLabel, const std::string& sheetLabel,
                       bool labelHeader);
    bool openContinuation(std::string* reason);
    std::vector<std::string> keysOf(automation::Worksheet& sheet, uint32_t row, uint32_t col,
                                    uint32_t cols) const;

    AppendSettings settings_;
    std::vector<automation::Worksheet*> sheets_;  // the output sheet, then its continuations
    std::string baseName_;
    bool started_ = false;
    bool labelled_ = false;   // source columns present
    uint32_t headerTop_ = 1;  // first header row on the output sheet
    uint32_t leftCol_ = 1;    // first column of the header to repeat (source columns included)
    uint32_t dataCol_ = 1;    // output column of the first source column
    uint32_t nextRow_ = 1;    // next free row on the current sheet
    std::vector<std::string> keys_;  // header key of each output column from dataCol_
};

}  // namespace jobs

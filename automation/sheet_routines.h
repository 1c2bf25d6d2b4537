// Sheet techniques several jobs share: the spreadsheet file test, used-range facts, the
// empty-worksheet test, header-row removal, removal of rows with an empty key cell, the
// elapsed-time text, column letters and range texts, and the time tag.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>

#include "application.h"

namespace automation {

// Which extensions a job accepts.
enum class FileTestVariant {
    FolderMerge,   // folder merges: .xls .xlsx .csv .xlsm .ods .et .xml
    WorkbookJobs,  // sheet merge, split by sheet: .xls .xlsx .xlsm .ods .et .xml .htm .html
    SplitJobs,     // even split, classification split: those and .csv
};

// True when the path (in native separators) ends with one of the variant's extensions, in any
// letter case (".XLS", ".Xlsx"), and does not contain "~$" anywhere (lock files of open
// workbooks, and everything below such a folder).
bool isSpreadsheetFile(std::string_view nativePath, FileTestVariant variant);

// What a job reads of a worksheet's used range before it looks at any option.
struct UsedRangeFacts {
    Range usedRange;
    uint32_t firstRow = 0, firstColumn = 0, rowCount = 0, columnCount = 0;
    Range topLeft;  // the cell at (firstRow, firstColumn)
};
UsedRangeFacts usedRangeFacts(Worksheet& sheet);

// No cells: one row, one column, and the top-left cell's text is "". A single cell holding a
// value (even 0) has cells; a single cell with only a format has none.
bool hasNoCells(const UsedRangeFacts& facts);

// What a worksheet holds beside its cells, by kind in the words of the job texts: the parts that
// hang off it (pictures, charts, shapes, controls, a background picture ...), what its reader
// already left behind, its notes ("批注") and its data validation ("数据验证"). Empty for a
// sheet that holds nothing but cells.
std::map<std::string, uint32_t> heldBesideCells(const Worksheet& sheet);

// Empty: no cells (see hasNoCells) and nothing held beside them. A sheet with only a chart, a
// picture, a note or a dropdown is not empty.
bool isEmptyWorksheet(const UsedRangeFacts& facts);

// Gives `to` the print settings of `from` (fit to page, print options, margins, page set-up,
// header and footer) when it has none of its own. Range copies do not carry them: a job that
// builds an output sheet from the copies of a sheet calls this once per output sheet.
void carryPrintSettings(const Worksheet& from, Worksheet& to);

// Deletes row 1 `count` times (in one step: rows 1..count) and returns the used range fetched
// afterwards; for a count below 1 nothing is deleted and the current used range is returned.
Range removeHeaderRows(Worksheet& sheet, int count);

// Deletes every row whose cell in column `keyColumn` is blank, keeping the others in their order:
// a marker row "AAAAAAA" is inserted on top, the used range filtered on the key column for blank
// cells and the visible rows, the marker row included, deleted. Ranges fetched before follow the
// rows that are left. A key column outside the sheet is refused and changes nothing.
ss::Status removeEmptyKeyRows(Worksheet& sheet, uint32_t keyColumn);

// Whole seconds since 1970 (the start time of a job).
int64_t currentSeconds();
// "耗时" + (now - start) + "秒。"
std::string elapsedTimeText(int64_t startSeconds, int64_t nowSeconds);
std::string elapsedTimeText(int64_t startSeconds);  // now from the system clock

// 1 -> "A", 26 -> "Z", 27 -> "AA", 702 -> "ZZ", 703 -> "AAA"; "" for 0.
std::string columnLetters(uint32_t column);
// "B7"
std::string cellText(uint32_t row, uint32_t column);
// "A1:F9" (always two cells, also for a single cell: "A1:A1")
std::string rangeText(uint32_t firstRow, uint32_t firstColumn, uint32_t lastRow,
                      uint32_t lastColumn);

// "hhmmss" of the given local time of day, e.g. "093015".
std::string timeTag(const std::tm& localTime);
std::string timeTag();  // the current local time

// Makes a text match itself literally as a Range::AutoFilter criterion ("*", "?" and "~" get a
// "~" in front).
std::string escapeCriterion(std::string_view text);

}  // namespace automation

// What the copies of a job could not carry into its outputs (pictures and charts of sheets
// copied by ranges, slicers, form controls ...), gathered over the job and named in its closing
// texts with counts and the sheets they came from.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "application.h"

namespace jobs {

// How the note of what was left behind begins; it follows a job's result text.
inline constexpr std::string_view kLeftBehindPrefix = "以下内容未带到输出中：";
// What a macro sheet copied whole leaves behind: its cells are written as a worksheet's, which
// runs no macro.
inline constexpr std::string_view kMacroSheetAsWorksheet = "宏表（已按普通工作表写入）";

class LeftBehind {
public:
    // A whole sheet copied: what its reader could not keep.
    void wholeSheet(const automation::Worksheet& sheet, std::string_view where);
    // Cells of the sheet copied into another sheet: what hangs off the sheet and no range copy
    // carried (call it once the job is done with the sheet's copies).
    void cellsOf(const automation::Worksheet& sheet, std::string_view where);
    // A sheet written into an .xls workbook, which holds none of the parts that hang off a
    // sheet (pictures, charts, tables, extension rules ...): what it holds is named.
    void inXls(automation::Worksheet& sheet, std::string_view where);
    // Every sheet of a workbook about to be saved as .xls, named by its own name.
    void inXls(automation::Workbook& book);
    // A sheet the output cannot hold at all (a chart sheet in an .xls output ...).
    void sheet(std::string_view kind, std::string_view where);
    // A sheet without cells that a merge into one sheet does not copy: what it holds beside
    // its cells (pictures, charts, notes, dropdowns ...).
    void heldBy(const automation::Worksheet& sheet, std::string_view where);

    // "以下内容未带到输出中：图表 2 个（来自 a.xlsx [Summary]）；..." ; empty when nothing was
    // left.
    std::string text() const;
    // What was added since the last call ("图表 2 个、图片 1 个"), for the entry of the sheet
    // just copied; empty when nothing was.
    std::string takeRecent();

private:
    void add(const std::map<std::string, uint32_t>& counts, std::string_view where);
    struct Entry {
        uint32_t count = 0;
        std::vector<std::string> sources;
    };
    std::map<std::string, Entry> kinds_;
    std::map<std::string, uint32_t> recent_;
};

}  // namespace jobs

// The in-memory workbook: ordered sheets, one style table, shared strings, defined names.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cell.h"
#include "strings.h"
#include "styles.h"
#include "worksheet.h"

namespace ss {

struct DefinedName {
    std::string name;
    std::string formula;                 // without "="
    std::optional<uint32_t> localSheet;  // 0-based sheet position for a sheet-local name
    bool hidden = false;
    std::string comment;
    bool operator==(const DefinedName&) const = default;
};

class Workbook {
public:
    Workbook() = default;
    ~Workbook();  // out of line: the many members' destruction is not inlined at every caller
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    // A new workbook with exactly one empty worksheet "Sheet1".
    static std::unique_ptr<Workbook> createDefault();

    std::vector<std::unique_ptr<Worksheet>> sheets;
    size_t activeSheet = 0;  // 0-based
    size_t firstVisibleTab = 0;
    bool date1904 = false;
    std::vector<DefinedName> names;
    StyleTable styles;
    SharedStrings strings;
    std::string themeXml;    // the theme part as read; empty: the writer's default theme
    std::string vbaProject;  // vbaProject.bin of an .xlsm, kept as bytes
    std::string sourcePath;  // file this workbook was read from, if any
    // What reading changed so that the workbook can be saved again (a sheet renamed, a text
    // cut at the cell limit), one text per change, "[sheet] ..." (see ss::fitReadWorkbook).
    std::vector<std::string> readNotes;
    // What the file it was read from held, as the user reads it ("HTML 表格（扩展名 .xls）"),
    // and whether that was delimited text (whose long numbers the reader keeps as text).
    std::string sourceFormat;
    bool sourceIsText = false;

    // Sheets are added, removed and renamed through these four so that the name index below
    // follows; `sheets` is read directly. (Code that changes `sheets` behind them still gets
    // right answers when the count changed: the index is then rebuilt on the next lookup.)
    Worksheet& addSheet(std::string name, std::optional<size_t> position = std::nullopt);
    Worksheet& insertSheet(std::unique_ptr<Worksheet> sheet, size_t position);
    std::unique_ptr<Worksheet> removeSheet(size_t position);
    void renameSheet(Worksheet& sheet, std::string name);

    // Sheet whose name equals `name` without regard to case (ASCII and full Unicode simple
    // case folding of Latin letters); null when there is none. The first such sheet when a
    // file brought several of the same name. Constant time.
    Worksheet* sheetByName(std::string_view name);

    // `name` when no sheet has it, else "Name (2)", "Name (3)" ... (the first free one, kept
    // within 31 UTF-16 units); a name that already ends in " (n)" counts on from its stem.
    // A counter per stem makes a run of copies of the same name cost the same each.
    std::string uniqueSheetName(const std::string& name);
    int indexOf(const Worksheet* sheet) const;  // -1 when not in this workbook
    bool hasFormulas() const;

    // The text of a cell for matching and naming: strings as they are; numbers in their
    // shortest form (at most 15 significant digits); date-formatted numbers as yyyy-MM-dd
    // (with " hh:mm:ss" when there is a time part); TRUE/FALSE; errors as their code.
    std::string cellText(const Cell& c) const;

private:
    struct NameEntry {
        Worksheet* sheet = nullptr;  // the only sheet of this name when count == 1
        uint32_t count = 0;
    };
    void indexName(Worksheet* sheet);
    void unindexName(const Worksheet* sheet, const std::string& name);
    bool indexCurrent();
    std::unordered_map<std::string, NameEntry> byName_;  // folded name -> sheets of that name
    size_t indexed_ = SIZE_MAX;                          // sheets indexed; SIZE_MAX: none yet
    // Folded stem -> n such that every "Stem (k)" with 2 <= k < n is taken. Cleared whenever a
    // sheet leaves or changes its name (a number may come free).
    std::unordered_map<std::string, uint32_t> nextSuffix_;
};

// The folded form sheet names are compared in (see sheetByName).
std::string foldSheetName(std::string_view s);

// Number formatting used by cellText, exposed for the readers and tests.
std::string formatGeneralNumber(double v);
std::string formatDateSerial(double serial, bool date1904);

}  // namespace ss

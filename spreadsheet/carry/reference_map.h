// References that ride along with a copy. Before cells, sheets or parts are copied from one
// workbook into another (or into another place of the same workbook), the copier describes in a
// ReferenceMap where everything the source can name lands: each copied sheet (under its name in
// the target, whole or as blocks of cells) and each defined name or table that is carried. Every
// formula-like text that goes along (cell formulas, defined names, conditional-format and
// validation formulas, hyperlink locations, print areas, chart series, table ranges ...) is then
// restated through the map with restateFormula. A text that refers to anything the map does not
// cover gives no text: the caller applies the one policy for that (see
// automation::ReferencePolicy), it never keeps a reference to whatever sits there now.
//
// References in A1 notation name cells absolutely whether or not they carry "$" (the "$" only
// says how a copy made by hand would shift them), so restating a reference is finding where the
// cells it names land; the "$" marks are kept as they were.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../model/cell.h"

namespace ss {

// A rectangle of source cells that lands `dRow` rows and `dCol` columns away.
struct BlockMove {
    CellRange source;
    int64_t dRow = 0, dCol = 0;
};

// Where a source sheet lands in the target.
struct SheetLanding {
    std::string name;  // the target sheet's name
    // Every cell keeps its place (a whole-sheet copy); otherwise only `blocks` are copied and a
    // reference to any other cell of the sheet is not covered.
    bool whole = true;
    std::vector<BlockMove> blocks;  // disjoint; ReferenceMap keeps them by first source row
};

class ReferenceMap {
public:
    // A source sheet (named as the source names it) lands as `landing`. Sheet names are matched
    // without regard to ASCII case, as formulas do.
    void addSheet(std::string_view sourceName, SheetLanding landing);
    // A block of a source sheet lands in target sheet `targetName` (the sheet's blocks add up).
    void addBlock(std::string_view sourceName, std::string_view targetName, BlockMove block);
    // A defined name or table of the source is carried under `targetName`. With `localSheet` the
    // name is the one local to that source sheet (it wins over a workbook-level name of the same
    // spelling in formulas of that sheet and in "Sheet!Name").
    void addName(std::string_view sourceName, std::string targetName,
                 std::optional<std::string_view> localSheet = std::nullopt);

    // Forgets where a source sheet lands (its rows moved since).
    void removeSheet(std::string_view sourceName);

    const SheetLanding* sheet(std::string_view sourceName) const;
    // The target spelling of a name used in a formula of sheet `homeSheet` (local first).
    const std::string* name(std::string_view sourceName, std::string_view homeSheet) const;

    // Where the source cells `r` of `landing` land, when all of them land as one rectangle of the
    // target sheet; nothing otherwise. Whole columns and whole rows (the range spanning all rows
    // or all columns) land only when they keep their place.
    static std::optional<CellRange> landRange(const SheetLanding& landing, const CellRange& r);

private:
    static std::string key(std::string_view s);
    std::unordered_map<std::string, SheetLanding> sheets_;
    std::unordered_map<std::string, std::string> names_;  // key(sheet) + '\x01' + key(name)
};

// The formula text `formula` (without "="), of a cell, rule, validation, name or part that lives
// on source sheet `homeSheet` (it gives the sheet of references without a sheet name; empty for
// texts that live on no sheet), restated for the target: sheet names become their target names,
// cell references point where their cells land, names and tables take their target spelling.
// Nothing when any reference, sheet, name or table it uses is not covered by the map, or when it
// points into another workbook or across several sheets (Sheet1:Sheet3!A1). Text in string
// literals, function names and error values are kept as they are.
std::optional<std::string> restateFormula(std::string_view formula, const ReferenceMap& map,
                                          std::string_view homeSheet);

// A sheet name as formulas write it: as it is when it is a plain word that cannot be read as a
// reference, else in apostrophes (with apostrophes doubled).
std::string quoteSheetName(std::string_view name);

}  // namespace ss

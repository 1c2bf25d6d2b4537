// Rows inserted or deleted in a sheet also move what its kept elements (conditional formats,
// data validation, hyperlinks, protected ranges, ignored-error flags) say about rows.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../model/cell.h"
#include "../model/worksheet.h"

namespace ss {

// How rows move: `range` gives where a range of cells ends up, or nothing when none of its rows
// is left; `sourceRow` gives the row a (surviving) row was before the move; `formula` adjusts a
// formula's references to the move, as for the sheet's cells; `named` adjusts only the
// references that name the moved sheet (by the given name), as another sheet's formulas must.
struct RowMove {
    std::function<std::optional<CellRange>(const CellRange&)> range;
    std::function<uint32_t(uint32_t)> sourceRow;
    std::function<std::string(std::string_view)> formula;
    std::function<std::string(std::string_view, std::string_view)> named;
};

// Moves what the kept elements say about rows. An element left without any range is dropped,
// and a kept element left without children goes. The formulas of conditional formats and data
// validation are relative to the top left cell of their ranges: when that cell goes, they are
// first restated for the new top left cell.
void moveRowsInPreserved(std::vector<PreservedXml>& preserved, const RowMove& move);

// The moves of `count` rows inserted at row `at` (what is pushed off the sheet goes), and of
// the rows of sorted, disjoint bands [first, last] deleted. Ranges of whole columns stay so.
RowMove rowsInsertedMove(uint32_t at, uint32_t count);
RowMove rowsDeletedMove(std::vector<std::pair<uint32_t, uint32_t>> bands);

// A row move applied to what a sheet keeps beside its cells: the kept elements, the notes, the
// extension list and the tables.
void moveKeptRows(Worksheet& ws, const RowMove& move);

// A block of cells copied: source columns firstCol..lastCol move by dCol; the source rows of
// each run move by its dRow.
struct CopiedBlock {
    uint32_t firstCol = 1, lastCol = 1;
    int64_t dCol = 0;
    struct Run {
        uint32_t first, last;
        int64_t dRow;
    };
    std::vector<Run> runs;
};

// A text of a kept element that names cells, for restating it when the element is copied.
enum class KeptText : uint8_t {
    RuleFormula,        // a conditional format's rule formula
    ValidationList,     // formula1 of a list validation (a range, a name or an inline list)
    ValidationFormula,  // any other validation formula
    LinkLocation,       // where a hyperlink into the workbook leads ("Sheet!A1", a name)
};
// Restates a kept text for the copy: the text (already seen from the copied piece's source top
// left cell) and how that piece moves. Nothing: the text cannot go along, and its rule,
// validation or hyperlink is left out.
using KeptRestater = std::function<std::optional<std::string>(KeptText, std::string_view,
                                                              int64_t dRow, int64_t dCol)>;

// What a copy of a block does to the kept elements: the destination area first loses the
// conditional formats, data validation and hyperlinks it had; then those of the source's cells
// are added for where they land, each text restated by `restate` for the piece's new top left
// cell. `dxf` renumbers the source's differential formats (null: the same workbook). Hyperlinks
// out of the workbook bring their targets along. Rules and validations that land as adjacent
// pieces with the same texts form one element over one range list, as they were in the source.
void copyPreserved(const Worksheet& from, Worksheet& to, const CopiedBlock& block,
                   const std::vector<uint32_t>* dxf, const KeptRestater& restate);

// What copies of blocks do to the 2010 extensions of the sheets (conditional formats such as
// data bars and icon sets, data validation, sparklines, kept in the extension list of
// `Worksheet::parts`), as `copyPreserved` does to the classic elements: the destination area
// loses what it had of them, then those of the source's cells are added for where they land (a
// sparkline goes with the cell that shows it, its data restated like a rule's formula). A rule
// the destination has already from an earlier block grows instead of repeating. One copier
// serves one destination sheet: it keeps the sheet's list parsed between copies (a merge of
// thousands of blocks into one sheet costs what the blocks cost) until `flush` writes it into
// the sheet's parts, which must happen before anything else reads or changes them.
class ExtensionCopier {
public:
    ExtensionCopier();
    ~ExtensionCopier();
    ExtensionCopier(const ExtensionCopier&) = delete;
    ExtensionCopier& operator=(const ExtensionCopier&) = delete;

    // Gives the source's items that were carried, numbered as `extensionItems` counts them
    // (from 0).
    std::vector<uint32_t> copy(const Worksheet& from, Worksheet& to, const CopiedBlock& block,
                               const KeptRestater& restate);
    // Writes what the copies changed into the destination's parts.
    void flush(Worksheet& to);
    bool pending() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The texts of a whole sheet's kept elements restated in place (dRow = dCol = 0); a rule,
// validation or hyperlink whose text is refused goes, and so does a container left empty.
void restatePreserved(std::vector<PreservedXml>& preserved, const KeptRestater& restate);
// The same for the texts of the 2010 extensions in the sheet's extension list (its parts must hold
// what copies built: see ExtensionCopier::flush).
void restateExtensionTexts(Worksheet& ws, const KeptRestater& restate);

}  // namespace ss

// A sheet of a workbook: sparse cell storage (rows sorted by index, each with its cells sorted
// by column), formulas, merged ranges, column and row formats, view settings.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "cell.h"
#include "parts.h"
#include "styles.h"

namespace ss {

enum class SheetState : uint8_t { Visible, Hidden, VeryHidden };
enum class SheetKind : uint8_t { Worksheet, Chartsheet, Macrosheet, Dialogsheet };

struct Formula {
    std::string text;  // without the leading "="
    bool array = false;
    CellRange arrayRange;  // for an array formula: the cells it fills
    bool operator==(const Formula&) const = default;
};

struct Row {
    uint32_t index = 0;   // 1-based
    float height = 0.0f;  // points; used when customHeight
    uint32_t style = 0;   // row format (xf), used when customFormat
    // Flags packed into one byte: a row costs 40 bytes besides its cells.
    bool customHeight : 1 = false;
    bool customFormat : 1 = false;
    bool hidden : 1 = false;
    bool collapsed : 1 = false;
    uint8_t outlineLevel : 3 = 0;  // 0..7
    std::vector<Cell> cells;       // sorted by column

    bool hasFormat() const {
        return customHeight || customFormat || hidden || collapsed || outlineLevel;
    }
};

static_assert(sizeof(Row) <= 40, "row overhead counts against the bytes per cell");

struct ColumnInfo {
    uint32_t first = 1, last = 1;
    double width = 0.0;  // in characters, as stored in the file; 0: not set
    uint32_t style = 0;
    bool customWidth = false, hidden = false, bestFit = false, collapsed = false;
    uint8_t outlineLevel = 0;
    bool operator==(const ColumnInfo&) const = default;
};

// Parts of a worksheet that we keep verbatim for whole-sheet copies (conditional formatting,
// data validation, page set-up ...). `element` is the local name, used to write them back in
// the order the schema requires.
struct PreservedXml {
    std::string element;
    std::string xml;
    bool operator==(const PreservedXml&) const = default;
};

// A note on a cell (a comment): who wrote it and its text with its runs, kept as the reader
// captured it ("<text>...</text>").
struct CellNote {
    uint32_t row = 1, col = 1;
    std::string author;
    std::string textXml;
    bool visible = false;  // shown all the time, not only when the cell is pointed at
    bool operator==(const CellNote&) const = default;
};

class Worksheet {
public:
    explicit Worksheet(std::string name = "Sheet1") : name(std::move(name)) {}

    std::string name;
    SheetState state = SheetState::Visible;
    SheetKind kind = SheetKind::Worksheet;

    std::vector<CellRange> merges;
    std::vector<ColumnInfo> columns;  // sorted, not overlapping
    double defaultRowHeight = 15.0;
    bool customDefaultRowHeight = false;
    std::optional<double> defaultColWidth;
    uint32_t baseColWidth = 8;
    uint32_t frozenRows = 0, frozenCols = 0;  // freeze panes: rows above and columns left
    std::optional<Color> tabColor;
    std::optional<CellRange> autoFilter;
    bool showGridLines = true, rightToLeft = false, tabSelected = false;
    bool fitToPage = false;  // print scaled to the page set-up's fitToWidth / fitToHeight
    uint32_t zoomScale = 100;
    std::vector<PreservedXml> preserved;
    // Targets of the hyperlinks that lead out of the workbook (web and mail addresses, files).
    // The kept <hyperlinks> element names the n-th of them (from 1) as r:id="rIdL<n>".
    std::vector<std::string> externalLinks;
    std::vector<CellNote> notes;  // in no particular order, at most one per cell
    // Drawings, charts, tables ... of the sheet in its package (null: none); shared between
    // copies, never changed once read.
    std::shared_ptr<const SheetParts> parts;

    // Cells.
    const Cell* find(uint32_t row, uint32_t col) const;
    Cell* find(uint32_t row, uint32_t col);
    Cell& cell(uint32_t row, uint32_t col);  // creates an empty cell when missing
    void setNumber(uint32_t row, uint32_t col, double v, uint32_t style = 0);
    void setString(uint32_t row, uint32_t col, uint32_t sst, uint32_t style = 0);
    void setBoolean(uint32_t row, uint32_t col, bool v, uint32_t style = 0);
    void setError(uint32_t row, uint32_t col, ErrorCode e, uint32_t style = 0);
    void removeCell(uint32_t row, uint32_t col);  // removes value, format and formula
    size_t cellCount() const;

    // Rows, sorted by index. Appending rows in increasing order costs O(1) each.
    const std::vector<Row>& rows() const { return rows_; }
    std::vector<Row>& mutableRows() { return rows_; }  // callers keep the order and indexes
    const Row* findRow(uint32_t row) const;
    Row* findRow(uint32_t row);
    Row& row(uint32_t row);  // creates the row when missing
    // Restores the sorted order after rows or cells were appended out of order (readers).
    void normalize();

    // Formulas of cells (the cell carries kHasFormula and its cached value).
    const Formula* formula(uint32_t row, uint32_t col) const;
    void setFormula(uint32_t row, uint32_t col, Formula f);
    void clearFormula(uint32_t row, uint32_t col);
    static uint64_t key(uint32_t row, uint32_t col) { return (uint64_t(row) << 32) | col; }
    static uint32_t keyRow(uint64_t k) { return uint32_t(k >> 32); }
    static uint32_t keyCol(uint64_t k) { return uint32_t(k); }
    const std::unordered_map<uint64_t, Formula>& formulas() const { return formulas_; }
    std::unordered_map<uint64_t, Formula>& mutableFormulas() { return formulas_; }

    // Row structure: cells, formula positions, row formats and merged ranges move with their
    // rows. Formula texts are not rewritten here.
    void insertRows(uint32_t at, uint32_t count);
    void deleteRows(uint32_t at, uint32_t count);
    // Deletes every listed row (sorted, unique) in one pass; the rest close up in order.
    void deleteRowSet(const std::vector<uint32_t>& sortedRows);

    // Bounding box of every cell that holds a value or a format other than xf 0; none when the
    // sheet has no such cell.
    std::optional<CellRange> contentBounds() const;

    // Column format that covers a column, if any.
    const ColumnInfo* columnInfo(uint32_t col) const;

private:
    std::vector<Row> rows_;
    std::unordered_map<uint64_t, Formula> formulas_;
};

}  // namespace ss

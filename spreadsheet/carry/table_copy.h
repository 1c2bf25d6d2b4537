// Tables ("format as table") of a sheet as range copies see them: where each lies, its columns
// and style options, read from the table part carried on the sheet; the part moved to where a
// copy put the whole table; and structured references ("Sales[Amount]", "[@Qty]") written as
// the ordinary references they stand for, for cells that leave their table behind.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../model/cell.h"
#include "../model/parts.h"

namespace ss {

struct TableInfo {
    std::string name;  // the display name formulas use
    CellRange ref;     // header, data and total rows
    uint32_t headerRows = 1, totalsRows = 0;
    std::vector<std::string> columns;  // names, left to right
    std::string style;                 // table style name; empty: none
    bool firstColumn = false, lastColumn = false, rowStripes = false, columnStripes = false;
    std::shared_ptr<const PackagePart> part;
    uint32_t item = 0;  // position among the tables of its sheet
};

// The table a part describes; nothing when it is not a readable table part.
std::optional<TableInfo> parseTable(const std::shared_ptr<const PackagePart>& part);
// The tables a sheet carries, in the order of its relationships.
std::vector<TableInfo> sheetTables(const SheetParts& parts);

// The tables of a workbook, found by name (without regard to ASCII case) or by a cell.
class TableIndex {
public:
    struct Entry {
        std::string sheet;
        TableInfo table;
    };
    void add(std::string_view sheet, std::vector<TableInfo> tables);
    bool empty() const { return entries_.empty(); }
    const std::vector<Entry>& entries() const { return entries_; }
    const Entry* find(std::string_view name) const;
    const Entry* at(std::string_view sheet, uint32_t row, uint32_t col) const;

private:
    std::vector<Entry> entries_;
    std::unordered_map<std::string, size_t> byName_;
};

// The formula `formula` of the cell (row, col) on sheet `home` with the structured references
// to tables that `rewrite` accepts written as ordinary references: "Sales[Amount]" as
// "$C$2:$C$100" (with the sheet when the table is on another), "[@Amount]" and
// "Sales[[#This Row],[Amount]]" as the cell of that column in the formula's row ("C5", relative,
// so that a copy of the row refers to its own row). A reference naming a column the table lacks
// is left as written; one asking for rows the table has not (its header row when it has none)
// becomes #REF!.
std::string unstructure(std::string_view formula, std::string_view home, uint32_t row, uint32_t col,
                        const TableIndex& tables,
                        const std::function<bool(const TableIndex::Entry&)>& rewrite);

// Names of tables (and of defined names) in use in a workbook; a new one takes the first free
// of "Name", "Name_2", "Name_3" ... in constant time per name.
class TableNames {
public:
    void use(std::string_view name);
    std::string unique(std::string_view base);

private:
    std::unordered_map<std::string, uint32_t> used_;  // lower case -> next suffix to try
};

// A formula with the structured references to renamed tables ("Sales[Amount]") following them.
std::string renameTables(std::string_view formula,
                         const std::map<std::string, std::string>& renames);

// The table part's XML moved `dRow` rows and `dCol` columns (its range, filter and sort
// ranges), named `name`, the structured references of its column formulas following
// `renames` (lower-case old name -> new), its differential format ids mapped through `dxf`
// (when given).
std::string movedTableXml(std::string_view xml, int64_t dRow, int64_t dCol, const std::string& name,
                          const std::map<std::string, std::string>& renames,
                          const std::vector<uint32_t>* dxf);

struct RowMove;
class Worksheet;
// Rows of the sheet were inserted or deleted: its tables follow their rows. A table whose header
// or total row went goes on without it; one left without data rows goes (counted as dropped).
void moveTableRows(Worksheet& ws, const RowMove& move);

}  // namespace ss

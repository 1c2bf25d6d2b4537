// The look a table style gives the cells of a table, for cells that leave their table: the
// style's elements (whole table, stripes, first and last column, header and total rows ...)
// resolved for one cell and laid over the cell's own format as a direct format. Custom styles
// come from the workbook's table styles and differential formats; the built-in ones
// (TableStyleLight1-21, Medium1-28, Dark1-11) from a compact table by family and colour.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "../model/cell.h"
#include "../model/styles.h"

namespace ss {

// A differential format as far as a table look uses it.
struct DiffFormat {
    bool bold = false, italic = false;
    Color fontColor;  // unset: none
    Color fill;       // solid fill colour; unset: none
    BorderSide left, right, top, bottom, vertical, horizontal;
};

// Reads a <dxf> element.
DiffFormat parseDxf(std::string_view xml);

enum class TableElement : uint8_t {
    WholeTable,
    FirstColumnStripe,
    SecondColumnStripe,
    FirstRowStripe,
    SecondRowStripe,
    LastColumn,
    FirstColumn,
    HeaderRow,
    TotalRow,
    FirstHeaderCell,
    LastHeaderCell,
    FirstTotalCell,
    LastTotalCell,
    Count
};

struct TableStyleDef {
    std::array<std::optional<DiffFormat>, size_t(TableElement::Count)> elements;
    std::array<uint32_t, 4> stripeSize{1, 1, 1, 1};  // first/second column, first/second row
};

// The style named `name`: a custom style of `styles`, else a built-in one; nothing when unknown.
std::optional<TableStyleDef> findTableStyle(const StyleTable& styles, std::string_view name);

// Where a cell sits in its table and which parts of the style the table shows.
struct TableShape {
    CellRange ref;
    uint32_t headerRows = 1, totalsRows = 0;
    bool firstColumn = false, lastColumn = false, rowStripes = false, columnStripes = false;
};

// The style's look of cell (row, col) of the table: its elements in their order, a later one
// winning over an earlier one; borders as the element's region has them at that cell.
DiffFormat cellLook(const TableStyleDef& style, const TableShape& shape, uint32_t row,
                    uint32_t col);

// Lays looks over cell formats of one style table: what the cell's format sets itself (a fill,
// a border side, a font colour other than the default one, bold) stays; each (format, look)
// pair is interned once.
class LookApplier {
public:
    explicit LookApplier(StyleTable& styles) : styles_(styles) {}
    // `plain`: the default text colour; a cell font of that colour takes the look's.
    uint32_t apply(uint32_t xf, const DiffFormat& look, const Color& plain);

private:
    StyleTable& styles_;
    std::unordered_map<std::string, uint32_t> cache_;
};

}  // namespace ss

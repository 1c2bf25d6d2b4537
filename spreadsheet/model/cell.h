// Cells, ranges and A1 references. Rows and columns are 1-based everywhere in this interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ss {

constexpr uint32_t kXlsxMaxRows = 1048576;
constexpr uint32_t kXlsxMaxCols = 16384;
constexpr uint32_t kXlsMaxRows = 65536;
constexpr uint32_t kXlsMaxCols = 256;
// The most a cell holds: 32,767 characters (UTF-16 units).
inline constexpr size_t kMaxCellTextUnits = 32767;

enum class CellType : uint8_t { Empty, Number, String, Boolean, Error };

// Error values, in the order of their BIFF codes' listing.
enum class ErrorCode : uint8_t { Null, Div0, Value, Ref, Name, Num, NA, GettingData };
std::string_view errorText(ErrorCode e);                    // "#N/A" ...
std::optional<ErrorCode> parseErrorText(std::string_view);  // inverse of errorText

// One cell: 16 bytes. The value is a number, an index into the workbook's shared strings, a
// boolean or an error code; an Empty cell that exists carries only its format (a styled blank).
// The formula text, when there is one, lives in the sheet's formula table (kHasFormula).
struct Cell {
    union {
        double number;
        uint32_t sst;
        uint8_t boolean;
        ErrorCode error;
    };
    uint32_t style = 0;  // index into the workbook's cellXfs
    uint16_t col = 0;    // 1-based; fits 16,384
    CellType type = CellType::Empty;
    uint8_t flags = 0;

    static constexpr uint8_t kHasFormula = 1;

    Cell() : number(0) {}
    bool hasFormula() const { return flags & kHasFormula; }
    bool hasValue() const { return type != CellType::Empty; }
};
static_assert(sizeof(Cell) == 16, "a cell must stay 16 bytes");

struct CellRange {
    uint32_t firstRow = 1, firstCol = 1, lastRow = 1, lastCol = 1;

    uint32_t rowCount() const { return lastRow - firstRow + 1; }
    uint32_t colCount() const { return lastCol - firstCol + 1; }
    bool contains(uint32_t r, uint32_t c) const {
        return r >= firstRow && r <= lastRow && c >= firstCol && c <= lastCol;
    }
    bool intersects(const CellRange& o) const {
        return firstRow <= o.lastRow && o.firstRow <= lastRow && firstCol <= o.lastCol &&
               o.firstCol <= lastCol;
    }
    bool operator==(const CellRange&) const = default;
    std::string toA1() const;  // "A1:F9", or "B2" for a single cell
};

// Column letters: 1 -> A, 26 -> Z, 27 -> AA, 703 -> AAA.
std::string columnLetters(uint32_t col);
std::string cellName(uint32_t row, uint32_t col);
// "A1", "$B$2", "A1:F9", "A:C" (whole columns), "3:5" (whole rows); limits of .xlsx checked.
// Anything else gives no range.
std::optional<CellRange> parseRange(std::string_view text);

}  // namespace ss

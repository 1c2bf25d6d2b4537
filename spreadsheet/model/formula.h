// Formula texts (A1 style, without the leading "="): moving references as a copy does, and
// finding what a formula refers to.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ss {

// Moves the relative parts of every reference by (dRow, dCol), as copying the formula's cell by
// that offset does; "$" parts stay. A reference moved off the sheet becomes #REF!. String
// literals, function names, defined names and structured references are left alone.
std::string shiftFormula(std::string_view formula, int64_t dRow, int64_t dCol);

// The references a row move applies to: those without a sheet name (a formula of the sheet
// whose rows move) when `unqualified`, and those naming `sheet` (compared as sheet names are).
struct RowsOf {
    std::string_view sheet;
    bool unqualified = true;
};

// Rewrites references after `count` rows were inserted before row `at` (count > 0) or rows
// [at, at - count) were deleted (count < 0) on the sheet `which` says (by default the sheet the
// formula lives on, named by unqualified references only). References into deleted rows become
// #REF!; ranges that span the change grow or shrink.
std::string adjustFormulaForRows(std::string_view formula, uint32_t at, int64_t count,
                                 RowsOf which = {});

// adjustFormulaForRows for many deletions at once: the rows of every band [first, last] (sorted,
// disjoint) were deleted together. Costs one pass over the formula whatever the band count.
std::string adjustFormulaForDeletedRows(std::string_view formula,
                                        const std::vector<std::pair<uint32_t, uint32_t>>& bands,
                                        RowsOf which = {});

// What a formula refers to besides plain cell references of its own sheet.
struct FormulaNames {
    std::vector<std::string> sheets;  // sheet names of qualified references (unquoted)
    std::vector<std::string> names;   // defined names (identifiers that are not functions)
    bool externalWorkbook = false;    // a reference into another workbook ([1]Sheet!A1)
};
FormulaNames formulaNames(std::string_view formula);

}  // namespace ss

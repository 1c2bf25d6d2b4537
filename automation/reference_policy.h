// What the copies of a session did with references they could not carry into their outputs, for
// the closing texts of a job. The rule itself lives in one place (detail::ReferencePolicy): a
// cell formula that refers to a sheet, rows or a name its output does not hold is written as its
// stored value; a dropdown whose list is left behind gets that list's values inline when they
// fit 255 characters, else it goes; a rule or a hyperlink that would point elsewhere goes; a
// defined name that cannot be carried stays behind. Beside them: the date values that copies
// between workbooks of different date systems restated (see detail::DateShift).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace automation {

struct ReferenceReport {
    uint64_t frozenFormulas = 0;
    std::vector<std::string> firstFrozen;  // where the first few are: "Book.xlsx [Sheet] C52"
    uint64_t inlinedLists = 0;             // dropdowns given their list's values inline
    uint64_t droppedElements = 0;          // rules, validations and hyperlinks left out
    uint64_t droppedNames = 0;             // defined names left behind
    std::vector<std::string> namesLeft;  // each of them: "Book.xlsx Rate", "Book.xlsx [Data] Area"
    // Chart series, pivot sources and links of controls, in parts carried whole, that name a
    // sheet their output lacks: they show what was saved and no longer follow the data.
    uint64_t unlinkedParts = 0;
    // Slicers and timelines whose pivot tables or tables their output lacks: left out.
    uint64_t droppedSlicers = 0;
    // Date values of cells copied from a workbook of the other date system, restated so that
    // they show the same dates: from the 1904 system into a 1900 output, and the other way.
    uint64_t datesFrom1904 = 0;
    uint64_t datesTo1904 = 0;
    // Dates before 1904 copied into a 1904 output, which cannot show them: kept as they were.
    uint64_t datesBefore1904 = 0;

    static constexpr size_t kListed = 5;
    bool empty() const {
        return !frozenFormulas && !inlinedLists && !droppedElements && !droppedNames &&
               !unlinkedParts && !droppedSlicers && !datesFrom1904 && !datesTo1904 &&
               !datesBefore1904;
    }
    // The closing text that tells the user about it; empty when there is nothing to tell.
    std::string text() const;
    // The note that names each defined name left behind; empty when none was.
    std::string namesText() const;
};

}  // namespace automation

// What the copies of a session did with references they could not carry into their outputs, for
// the closing texts of a job. The rule itself lives in one place (detail::ReferencePolicy): a
// cell formula that refers to a sheet, rows or a name its output does not hold is written as its
// stored value; a dropdown whose list is left behind gets that list's values inline when they
// fit 255 characters, else it goes; a rule or a hyperlink that would point elsewhere goes; a
// defined name that cannot be carried stays behind.
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
    // Chart series, pivot sources and links of controls, in parts carried whole, that name a
    // sheet their output lacks: they show what was saved and no longer follow the data.
    uint64_t unlinkedParts = 0;
    // Slicers and timelines whose pivot tables or tables their output lacks: left out.
    uint64_t droppedSlicers = 0;

    static constexpr size_t kListed = 5;
    bool empty() const {
        return !frozenFormulas && !inlinedLists && !droppedElements && !droppedNames &&
               !unlinkedParts && !droppedSlicers;
    }
    // The closing text that tells the user about it; empty when there is nothing to tell.
    std::string text() const;
};

}  // namespace automation

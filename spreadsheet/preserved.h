// Rows inserted or deleted in a sheet also move what its kept elements (conditional formats,
// data validation, hyperlinks, protected ranges, ignored-error flags) say about rows.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cell.h"
#include "worksheet.h"

namespace ss {

// `range` gives where a range of cells ends up, or nothing when none of its rows is left;
// `formula` gives a rule's or a validation's formula text after the move. An element left
// without any range is dropped, and a kept element left without children goes.
void moveRowsInPreserved(std::vector<PreservedXml>& preserved,
                         const std::function<std::optional<CellRange>(const CellRange&)>& range,
                         const std::function<std::string(std::string_view)>& formula);

}  // namespace ss

// Rows inserted into or deleted from a sheet also move what the parts kept as bytes say about
// them: the anchors of the sheet's drawing, where its pivot tables stand, and the chart series
// and pivot sources (of any sheet of the workbook) that name its cells.
#pragma once

#include "preserved.h"

namespace ss {

class Workbook;

// `moved` is a sheet of `book` whose rows moved by `move` (its cells and formulas have already
// followed). Drawing anchors whose rows were all deleted go and are counted as left behind.
void movePartRows(Workbook& book, Worksheet& moved, const RowMove& move);

}  // namespace ss

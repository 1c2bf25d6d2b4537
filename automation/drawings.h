// Pictures, shapes and charts that range copies carry: the state a sheet keeps for them (its
// anchors as a source, the drawing it collects as a destination).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "application.h"
#include "spreadsheet/carry/drawing_copy.h"
#include "spreadsheet/carry/preserved.h"
#include "spreadsheet/carry/reference_map.h"

namespace automation::detail {

struct SheetDrawings {
    std::unique_ptr<ss::DrawingSource> source;
    ss::DrawingTarget target;
    // Charts carried into this sheet from the workbook copied from last (its serial number),
    // with the sheet they were drawn on: the later copies from that workbook (the sheet holding
    // their data, say) restate them again.
    uint64_t chartsFrom = 0;
    std::vector<std::pair<ss::CarriedChart, std::string>> charts;
    // Rows of the sheet were inserted or deleted since it was read: charts of other sheets that
    // name its cells (by the rows as read) cannot be restated through where its rows went.
    bool moved = false;

    // The sheet's rows moved: its anchors follow (the drawing is read first if need be).
    static void rowsMoved(const Worksheet& sheet, const ss::RowMove& move);
    // Carries the anchors in the copied cells `block` of `from` into `to`. `map` says where the
    // copy put the source's cells (null for a copy inside one workbook); carried charts plot
    // through it. What is carried is noted on `from`; `book` is the serial number of its workbook.
    static void copy(const Worksheet& from, Worksheet& to, const ss::CopiedBlock& block,
                     const ss::ReferenceMap* map, uint64_t book);

private:
    static ss::DrawingSource* sourceOf(const Worksheet& sheet);
    static std::optional<std::string> restate(const Worksheet& from, std::string_view f,
                                              const ss::ReferenceMap& map, const std::string& home);
};

}  // namespace automation::detail

#include "drawings.h"

#include "spreadsheet/model/formula.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace automation::detail {

ss::DrawingSource* SheetDrawings::sourceOf(const Worksheet& sheet) {
    const ss::Worksheet& m = *sheet.model_;
    std::shared_ptr<const ss::PackagePart> drawing = m.parts ? ss::sheetDrawing(*m.parts) : nullptr;
    if (!drawing) return nullptr;
    if (!sheet.drawings_) sheet.drawings_ = std::make_unique<SheetDrawings>();
    std::unique_ptr<ss::DrawingSource>& s = sheet.drawings_->source;
    // A sheet that range copies added anchors to since is read again.
    if (!s || s->drawing() != drawing || s->readSize() != drawing->data->size())
        s = std::make_unique<ss::DrawingSource>(std::move(drawing));
    return s.get();
}

void SheetDrawings::rowsMoved(const Worksheet& sheet, const ss::RowMove& move) {
    if (ss::DrawingSource* s = sourceOf(sheet); s && !s->anchors().empty()) s->moveRows(move);
    if (!sheet.drawings_) sheet.drawings_ = std::make_unique<SheetDrawings>();
    sheet.drawings_->moved = true;
}

namespace {

std::string folded(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

}  // namespace

// A chart formula restated through `map`, unless it names cells of a sheet (other than `home`,
// whose moves the map describes) whose rows moved since the chart was read.
std::optional<std::string> SheetDrawings::restate(const Worksheet& from, std::string_view f,
                                                  const ss::ReferenceMap& map,
                                                  const std::string& home) {
    for (const std::string& name : ss::formulaNames(f).sheets) {
        if (folded(name) == folded(home)) continue;
        const Sheets& sheets = from.Parent().Sheets();
        for (int i = 1; i <= sheets.Count(); ++i) {
            const Worksheet* s = sheets.Item(i);
            if (s && s->drawings_ && s->drawings_->moved && folded(s->Name()) == folded(name))
                return std::nullopt;
        }
    }
    return ss::restateFormula(f, map, home);
}

void SheetDrawings::copy(const Worksheet& from, Worksheet& to, const ss::CopiedBlock& block,
                         const ss::ReferenceMap* map, uint64_t book) {
    if (!to.drawings_) to.drawings_ = std::make_unique<SheetDrawings>();
    SheetDrawings& target = *to.drawings_;
    // Charts carried by earlier copies from the same workbook: this copy's cells may be the
    // data they plot.
    if (target.chartsFrom != book || !map) target.charts.clear();
    target.chartsFrom = book;
    if (map)
        for (auto& entry : target.charts) {
            ss::CarriedChart& chart = entry.first;
            const std::string& home = entry.second;
            if (chart.uncovered == 0) continue;
            uint32_t uncovered = 0;
            std::string xml = ss::restateChart(
                *chart.source->data,
                [&](std::string_view f) { return restate(from, f, *map, home); }, &uncovered);
            if (uncovered >= chart.uncovered) continue;
            chart.uncovered = uncovered;
            chart.part->data = std::make_shared<const std::string>(std::move(xml));
        }

    ss::DrawingSource* source = sourceOf(from);
    if (!source || source->anchors().empty()) return;
    const ss::Worksheet& sm = *from.model_;
    ss::Worksheet& dm = *to.model_;
    // Chart formulas name the rows the drawing was read with: after rows moved, or inside one
    // workbook, the copied cells are described anew in those rows.
    ss::ReferenceMap local;
    if (!map || source->moved()) {
        if (map) {
            local = *map;
            local.removeSheet(sm.name);
        }
        for (const ss::CopiedBlock::Run& run : block.runs) {
            uint32_t segFirst = 0, segOrig = 0;
            auto flush = [&](uint32_t last) {
                if (segOrig == 0) return;
                local.addBlock(
                    sm.name, dm.name,
                    {{segOrig, block.firstCol, segOrig + (last - segFirst), block.lastCol},
                     int64_t(segFirst) + run.dRow - int64_t(segOrig),
                     block.dCol});
                segOrig = 0;
            };
            for (uint32_t r = run.first; r <= run.last; ++r) {
                const uint32_t o = source->originalRow(r);
                if (segOrig && o == segOrig + (r - segFirst)) continue;
                flush(r - 1);
                if (o) {
                    segFirst = r;
                    segOrig = o;
                }
            }
            flush(run.last);
        }
        map = &local;
    }
    const std::string home = sm.name;
    auto restateHere = [&](std::string_view f) { return restate(from, f, *map, home); };
    for (ss::CarriedAnchor& c : ss::carryAnchors(*source, block, dm, target.target, restateHere)) {
        from.noteCarried(ss::anchorKindName(c.kind), c.item);
        // Charts whose formulas name the rows as read can be restated again later.
        if (map == &local) continue;
        for (ss::CarriedChart& chart : c.charts)
            if (chart.uncovered) target.charts.emplace_back(std::move(chart), home);
    }
}

}  // namespace automation::detail

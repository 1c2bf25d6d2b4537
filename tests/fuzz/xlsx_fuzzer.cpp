// Feeds arbitrary bytes to the .xlsx reader as a package, then touches every cell it read and
// puts the elements kept verbatim through the row moves and the range copy that edit them.
#include <cstddef>
#include <cstdint>

#include "spreadsheet/formula.h"
#include "spreadsheet/preserved.h"
#include "spreadsheet/xlsx/xlsx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ss::ReadLimits limits;
    limits.maxPartBytes = 64u << 20;
    limits.maxTotalBytes = 256u << 20;
    limits.maxCells = 1'000'000;
    auto wb = ss::readXlsxMemory(data, size, limits);
    if (!wb.ok()) return 0;
    size_t chars = 0;
    for (const auto& ws : (*wb)->sheets)
        for (const ss::Row& r : ws->rows())
            for (const ss::Cell& c : r.cells) {
                chars += (*wb)->cellText(c).size();
                if (const ss::Formula* f = ws->formula(r.index, c.col)) chars += f->text.size();
            }
    for (const auto& ws : (*wb)->sheets) {
        if (ws->preserved.empty()) continue;
        // Rows 2-3 deleted, then two rows inserted above row 1 again.
        const std::vector<std::pair<uint32_t, uint32_t>> bands = {{2, 3}};
        ss::moveRowsInPreserved(
            ws->preserved,
            {[](const ss::CellRange& r) -> std::optional<ss::CellRange> {
                 ss::CellRange m = r;
                 auto before = [](uint32_t x) { return x > 3 ? 2u : x > 2 ? 1u : 0u; };
                 const uint32_t gone = before(r.lastRow + 1) - before(r.firstRow);
                 if (gone >= r.rowCount()) return std::nullopt;
                 m.firstRow = r.firstRow - before(r.firstRow);
                 m.lastRow = m.firstRow + (r.rowCount() - gone) - 1;
                 return m;
             },
             [](uint32_t n) { return n >= 2 ? n + 2 : n; },
             [&](std::string_view f) { return ss::adjustFormulaForDeletedRows(f, bands); }});
        ss::Worksheet other("Copy");
        ss::CopiedBlock block;
        block.firstCol = 1;
        block.lastCol = 20;
        block.dCol = 2;
        block.runs = {{1, 50, 10}, {60, 100, 40}};
        ss::copyPreserved(*ws, other, block, nullptr, [](std::string_view) { return true; });
        ss::copyPreserved(*ws, *ws, block, nullptr, [](std::string_view) { return true; });
        for (const auto& p : other.preserved) chars += p.xml.size();
    }
    return chars == SIZE_MAX;
}

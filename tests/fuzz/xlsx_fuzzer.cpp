// Feeds arbitrary bytes to the .xlsx reader as a package, then touches every cell it read and
// puts the elements kept verbatim through the row moves and the range copy that edit them.
#include <cstddef>
#include <cstdint>

#include "spreadsheet/model/formula.h"
#include "spreadsheet/carry/preserved.h"
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
        // Rows 2-3 deleted, then two rows inserted above row 1.
        ss::moveKeptRows(*ws, ss::rowsDeletedMove({{2, 3}}));
        ss::moveKeptRows(*ws, ss::rowsInsertedMove(1, 2));
        ss::Worksheet other("Copy");
        ss::CopiedBlock block;
        block.firstCol = 1;
        block.lastCol = 20;
        block.dCol = 2;
        block.runs = {{1, 50, 10}, {60, 100, 40}};
        const ss::KeptRestater shift = [](ss::KeptText, std::string_view f, int64_t dRow,
                                          int64_t dCol) -> std::optional<std::string> {
            return ss::shiftFormula(f, dRow, dCol);
        };
        ss::copyPreserved(*ws, other, block, nullptr, shift);
        ss::copyPreserved(*ws, *ws, block, nullptr, shift);
        for (const auto& p : other.preserved) chars += p.xml.size();
    }
    return chars == SIZE_MAX;
}

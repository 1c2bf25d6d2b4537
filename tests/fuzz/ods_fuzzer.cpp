// Feeds arbitrary bytes to the OpenDocument reader as a package, then touches every cell it read.
#include <cstddef>
#include <cstdint>

#include "spreadsheet/ods/ods.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ss::ReadLimits limits;
    limits.maxPartBytes = 64u << 20;
    limits.maxTotalBytes = 256u << 20;
    limits.maxCells = 1'000'000;
    auto wb = ss::readOdsMemory(data, size, limits);
    if (!wb.ok()) return 0;
    size_t chars = 0;
    for (const auto& ws : (*wb)->sheets)
        for (const ss::Row& r : ws->rows())
            for (const ss::Cell& c : r.cells) {
                chars += (*wb)->cellText(c).size();
                if (const ss::Formula* f = ws->formula(r.index, c.col)) chars += f->text.size();
            }
    return chars == SIZE_MAX;
}

// Feeds arbitrary bytes to the 2003 XML reader and to its recogniser, then touches every cell
// it read and restates an R1C1 formula made of the input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "spreadsheet/xml2003/xml2003.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t chars = ss::looksLikeXml2003(text) ? 1 : 0;
    if (auto f = ss::r1c1ToA1(text.substr(0, 256), 3, 3)) chars += f->size();
    ss::ReadLimits limits;
    limits.maxPartBytes = 64u << 20;
    limits.maxCells = 1'000'000;
    auto wb = ss::readXml2003Memory(data, size, limits);
    if (!wb.ok()) return chars == SIZE_MAX;
    for (const auto& ws : (*wb)->sheets)
        for (const ss::Row& r : ws->rows())
            for (const ss::Cell& c : r.cells) {
                chars += (*wb)->cellText(c).size();
                if (const ss::Formula* f = ws->formula(r.index, c.col)) chars += f->text.size();
            }
    return chars == SIZE_MAX;
}

// Feeds arbitrary bytes to the .xls reader (compound file and BIFF records).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "spreadsheet/xls/xls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ss::ReadLimits limits;
    limits.maxPartBytes = 64u << 20;
    limits.maxTotalBytes = 64u << 20;
    limits.maxCells = 1'000'000;
    auto wb =
        ss::readXlsFromMemory(std::string_view(reinterpret_cast<const char*>(data), size), limits);
    if (wb.ok()) {
        for (const auto& ws : (*wb)->sheets) (void)ws->cellCount();
    }
    return 0;
}

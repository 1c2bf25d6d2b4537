// Feeds arbitrary bytes to the .csv reader (encoding detection, quoting, typing).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "spreadsheet/csv/csv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                              ("tw_csv_fuzz_" + std::to_string(getpid()) + ".csv");
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    ss::ReadLimits limits;
    limits.maxCells = 1'000'000;
    auto wb = ss::readCsv(file, limits);
    if (wb.ok()) (void)(*wb)->sheets[0]->cellCount();
    return 0;
}

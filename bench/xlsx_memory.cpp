// Memory of a 1,000,000-cell sheet of numbers read from a file: bytes per cell in the model
// and the process's peak.   xlsx_memory [file] [--zlib]   (writes the file first when it is
// absent; --zlib inflates with libzip instead of ISA-L)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_corpus.h"
#include "spreadsheet/xlsx/package.h"
#include "spreadsheet/xlsx/xlsx.h"

namespace {

uint64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * 4096;
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path file =
        argc > 1 ? argv[1] : std::filesystem::temp_directory_path() / "tw-bench-numbers.xlsx";
    if (!std::filesystem::exists(file)) {
        // Written by a child run so that building it does not count in this process's peak.
        ss::Workbook wb;
        ss::Worksheet& ws = wb.addSheet("Values");
        for (uint32_t r = 1; r <= 100000; ++r)
            for (uint32_t c = 1; c <= 10; ++c) ws.setNumber(r, c, r * 0.5 + c);
        auto st = ss::writeXlsx(wb, file);
        if (!st.ok()) {
            std::fprintf(stderr, "%s\n", st.message().c_str());
            return 1;
        }
        std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        return std::system(("'" + self + "' '" + file.string() + "'").c_str()) == 0 ? 0 : 1;
    }
    if (argc > 2 && std::string(argv[2]) == "--zlib") ss::xlsx::setIsalInflate(false);
    uint64_t before = residentBytes();
    auto wb = ss::readXlsx(file);
    if (!wb.ok()) {
        std::fprintf(stderr, "%s\n", wb.message().c_str());
        return 1;
    }
    uint64_t after = residentBytes();
    size_t cells = (*wb)->sheets[0]->cellCount();
    std::printf("cells: %zu\nmodel (resident growth): %.1f bytes/cell (target <= 24)\n", cells,
                double(after - before) / double(cells));
    std::printf("process peak: %.1f MB (%.1f bytes/cell above the start)\n", bench::peakRss() / 1e6,
                double(bench::peakRss() - before) / double(cells));
    return 0;
}

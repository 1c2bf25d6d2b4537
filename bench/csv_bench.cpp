// Reading a .csv of 200,000 rows x 12 columns: the benchmark workbook's cells as text (dates as
// yyyy-MM-dd, 18-digit IDs that must stay text), quoted where a field needs it.
//   csv_bench [dir]
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_corpus.h"
#include "spreadsheet/csv/csv.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    constexpr uint32_t kRows = 200'000, kCols = 12;
    fs::path dir = argc > 1 ? argv[1] : fs::temp_directory_path() / "tw-bench-csv";
    fs::create_directories(dir);
    fs::path file = dir / "data.csv";
    size_t cells = 0;
    {
        auto wb = bench::generateBenchWorkbook(kRows, kCols, 1);
        std::ofstream out(file, std::ios::binary);
        std::string line;
        for (const ss::Row& r : wb->sheets[0]->rows()) {
            line.clear();
            uint32_t col = 1;
            for (const ss::Cell& c : r.cells) {
                for (; col < c.col; ++col) line += ',';
                std::string t = wb->cellText(c);
                if (t.find_first_of(",\"\r\n") != std::string::npos) {
                    std::string q = "\"";
                    for (char ch : t) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
                    t = q + "\"";
                }
                line += t;
                ++cells;
            }
            out << line << "\r\n";
        }
    }
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        double t = bench::now();
        auto wb = ss::readCsv(file);
        if (!wb.ok()) {
            std::fprintf(stderr, "%s\n", wb.message().c_str());
            return 1;
        }
        best = std::min(best, bench::now() - t);
    }
    std::error_code ec;
    std::printf("read csv  %zu cells (%ju bytes): %7.3f s  %10.0f cells/s\n", cells,
                uintmax_t(fs::file_size(file, ec)), best, double(cells) / best);
    fs::remove_all(dir, ec);
    return 0;
}

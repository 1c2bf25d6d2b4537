// Reading and writing .xls of 200,000 rows x 12 columns, beside .xlsx of the same data. An .xls
// sheet holds at most 65,536 rows, so the rows come as four workbooks of 50,000 rows each.
//   xls_bench [dir]
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_corpus.h"
#include "spreadsheet/xls/xls.h"
#include "spreadsheet/xlsx/xlsx.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    constexpr uint32_t kRowsEach = 50'000, kCols = 12;
    constexpr int kParts = 4;
    fs::path dir = argc > 1 ? argv[1] : fs::temp_directory_path() / "tw-bench-xls";
    fs::create_directories(dir);
    std::vector<std::unique_ptr<ss::Workbook>> books;
    size_t cells = 0;
    for (int i = 1; i <= kParts; ++i) {
        books.push_back(bench::generateBenchWorkbook(kRowsEach, kCols, uint64_t(i)));
        cells += books.back()->sheets[0]->cellCount();
    }
    auto path = [&](int i, const char* ext) { return dir / ("part" + std::to_string(i) + ext); };
    // Best of three runs of each step.
    double best[4] = {1e9, 1e9, 1e9, 1e9};
    for (int run = 0; run < 3; ++run) {
        double t = bench::now();
        for (int i = 0; i < kParts; ++i)
            if (auto st = ss::writeXls(*books[size_t(i)], path(i, ".xls")); !st.ok()) {
                std::fprintf(stderr, "%s\n", st.message().c_str());
                return 1;
            }
        best[0] = std::min(best[0], bench::now() - t);
        t = bench::now();
        for (int i = 0; i < kParts; ++i)
            if (auto st = ss::writeXlsx(*books[size_t(i)], path(i, ".xlsx")); !st.ok()) {
                std::fprintf(stderr, "%s\n", st.message().c_str());
                return 1;
            }
        best[1] = std::min(best[1], bench::now() - t);
        t = bench::now();
        for (int i = 0; i < kParts; ++i)
            if (auto wb = ss::readXls(path(i, ".xls")); !wb.ok()) {
                std::fprintf(stderr, "%s\n", wb.message().c_str());
                return 1;
            }
        best[2] = std::min(best[2], bench::now() - t);
        t = bench::now();
        for (int i = 0; i < kParts; ++i)
            if (auto wb = ss::readXlsx(path(i, ".xlsx")); !wb.ok()) {
                std::fprintf(stderr, "%s\n", wb.message().c_str());
                return 1;
            }
        best[3] = std::min(best[3], bench::now() - t);
    }
    const char* names[4] = {"write xls", "write xlsx", "read xls", "read xlsx"};
    for (int k = 0; k < 4; ++k)
        std::printf("%-10s %zu cells: %7.3f s  %10.0f cells/s\n", names[k], cells, best[k],
                    double(cells) / best[k]);
    std::error_code ec;
    uintmax_t xls = 0, xlsx = 0;
    for (int i = 0; i < kParts; ++i) {
        xls += fs::file_size(path(i, ".xls"), ec);
        xlsx += fs::file_size(path(i, ".xlsx"), ec);
    }
    std::printf("file sizes: xls %ju bytes, xlsx %ju bytes\n", xls, xlsx);
    fs::remove_all(dir, ec);
    return 0;
}

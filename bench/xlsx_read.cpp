// Reading 100 workbooks of 5,000 rows x 12 columns into the model, against the floor
// (inflate and scan the same sheet and string parts).   xlsx_read [dir] [count=100] [read]
// With "read": the reading alone (best of three, CPU time), to compare builds or to profile.
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "bench_corpus.h"
#include "floor.h"
#include "spreadsheet/xlsx/package.h"
#include "spreadsheet/xlsx/xlsx.h"

int main(int argc, char** argv) {
    std::filesystem::path dir =
        argc > 1 ? argv[1] : std::filesystem::temp_directory_path() / "tw-bench-read";
    int count = argc > 2 ? std::atoi(argv[2]) : 100;
    std::string error;
    auto files = bench::writeBenchCorpus(dir, count, 5000, 12, error);
    if (files.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (argc > 3 && std::strcmp(argv[3], "read") == 0) {
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            std::clock_t c0 = std::clock();
            for (const auto& f : files)
                if (!ss::readXlsx(f).ok()) return 1;
            best = std::min(best, double(std::clock() - c0) / CLOCKS_PER_SEC);
        }
        std::printf("cpu: read %d workbooks %.3f s\n", count, best);
        return 0;
    }
    // Warm the page cache for both sides, then take the best of three runs of each.
    bench::inflateAndScan(files);
    double floorBest = 1e9, readBest = 1e9, floorCpu = 1e9, readCpu = 1e9;
    bench::InflateScan scan;
    size_t cells = 0;
    for (int run = 0; run < 3; ++run) {
        std::clock_t c0 = std::clock();
        scan = bench::inflateAndScan(files);
        floorBest = std::min(floorBest, scan.seconds);
        floorCpu = std::min(floorCpu, double(std::clock() - c0) / CLOCKS_PER_SEC);
        c0 = std::clock();
        double t0 = bench::now();
        cells = 0;
        for (const auto& f : files) {
            auto wb = ss::readXlsx(f);
            if (!wb.ok()) {
                std::fprintf(stderr, "%s\n", wb.message().c_str());
                return 1;
            }
            cells += (*wb)->sheets[0]->cellCount();
        }
        readBest = std::min(readBest, bench::now() - t0);
        readCpu = std::min(readCpu, double(std::clock() - c0) / CLOCKS_PER_SEC);
    }
    // The same reading with libzip's inflate, alternating with ISA-L's, CPU time.
    double zlibCpu = 1e9, isalCpu = 1e9;
    for (int run = 0; run < 3; ++run)
        for (bool isal : {false, true}) {
            ss::xlsx::setIsalInflate(isal);
            std::clock_t c0 = std::clock();
            for (const auto& f : files)
                if (!ss::readXlsx(f).ok()) return 1;
            double& best = isal ? isalCpu : zlibCpu;
            best = std::min(best, double(std::clock() - c0) / CLOCKS_PER_SEC);
        }
    std::printf("read %d workbooks (%zu cells): %.3f s\n", count, cells, readBest);
    std::printf("cpu: read inflating with ISA-L %.3f s, with libzip (zlib) %.3f s\n", isalCpu,
                zlibCpu);
    std::printf("floor inflate+scan (%.1f MB XML): %.3f s\n", scan.bytes / 1e6, floorBest);
    std::printf("ratio read/floor: %.2f (target <= 2.5)\n", readBest / floorBest);
    // CPU time of both threads: the cost the reader adds, whatever the machine's load.
    std::printf("cpu: read %.3f s, floor %.3f s, ratio %.2f\n", readCpu, floorCpu,
                readCpu / floorCpu);
    return 0;
}

// The floor alone, for a folder of workbooks: inflate-and-scan (ISA-L) of the sheet and string
// parts, and deflate of every XML part with ISA-L levels 1 to 3 (the writer uses 3) beside zlib
// levels 1 and 6.   floor <dir>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "bench_corpus.h"
#include "floor.h"

namespace {
// CPU seconds of this process: on a shared machine wall time depends on the other users.
double cpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: floor <dir>\n");
        return 2;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(argv[1]))
        if (e.path().extension() == ".xlsx" || e.path().extension() == ".xlsm")
            files.push_back(e.path());
    auto scan = bench::inflateAndScan(files);
    std::printf("files: %zu\ninflate+scan: %.3f s, %.1f MB XML, %llu tags (%.1f MB/s)\n",
                files.size(), scan.seconds, scan.bytes / 1e6,
                static_cast<unsigned long long>(scan.tags), scan.bytes / 1e6 / scan.seconds);
    std::vector<std::string> parts;
    for (const auto& f : files)
        for (auto& p : bench::packageParts(f)) parts.push_back(std::move(p));
    uint64_t raw = 0;
    for (const auto& p : parts) raw += p.size();
    for (int level : {1, 2, 3}) {
        uint64_t out = 0;
        const double c0 = cpuNow();
        bench::isalDeflateAll(parts, out, level);
        const double s = cpuNow() - c0;
        std::printf("ISA-L level %d: %.3f s CPU for %.1f MB (%.1f MB/s), %.2f MB out\n", level, s,
                    raw / 1e6, raw / 1e6 / s, out / 1e6);
    }
    for (int level : {1, 6}) {
        uint64_t out = 0;
        const double c0 = cpuNow();
        bench::deflateAll(parts, level, out);
        const double s = cpuNow() - c0;
        std::printf("zlib level %d: %.3f s CPU for %.1f MB (%.1f MB/s), %.2f MB out\n", level, s,
                    raw / 1e6, raw / 1e6 / s, out / 1e6);
    }
    return 0;
}

// Writes the deterministic benchmark corpus: gen_corpus <dir> [count=100] [rows=5000] [cols=12]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_corpus.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: gen_corpus <dir> [count=100] [rows=5000] [cols=12]\n");
        return 2;
    }
    int count = argc > 2 ? std::atoi(argv[2]) : 100;
    uint32_t rows = argc > 3 ? uint32_t(std::atoi(argv[3])) : 5000;
    uint32_t cols = argc > 4 ? uint32_t(std::atoi(argv[4])) : 12;
    std::string error;
    double t0 = bench::now();
    auto files = bench::writeBenchCorpus(argv[1], count, rows, cols, error);
    if (files.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("wrote %zu files of %u x %u to %s in %.2f s\n", files.size(), rows, cols, argv[1],
                bench::now() - t0);
    return 0;
}

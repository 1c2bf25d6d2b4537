// Deterministic workbooks for the benchmarks: a styled header, 18-digit IDs stored as text,
// dates, repeated Chinese and ASCII categories, numbers, and a few empty cells.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "spreadsheet/model/workbook.h"

namespace bench {

// The same (rows, cols, seed) always gives the same workbook. `rows` counts the data rows
// below the header; cols >= 1.
std::unique_ptr<ss::Workbook> generateBenchWorkbook(uint32_t rows, uint32_t cols, uint64_t seed);

// Writes `count` workbooks (seeds 1..count) named bench_0001.xlsx ... into `dir`; returns
// their paths, or an empty list with `error` set.
std::vector<std::filesystem::path> writeBenchCorpus(const std::filesystem::path& dir, int count,
                                                    uint32_t rows, uint32_t cols,
                                                    std::string& error);

// Wall-clock seconds since an arbitrary start.
double now();

// Peak resident set of this process, in bytes.
uint64_t peakRss();

}  // namespace bench

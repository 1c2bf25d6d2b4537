// Bounds that every reader enforces, so that a hostile file cannot take unbounded memory.
#pragma once

#include <cstdint>

namespace ss {

struct ReadLimits {
    uint64_t maxPartBytes = uint64_t(1) << 31;   // inflated size of one package part
    uint64_t maxTotalBytes = uint64_t(4) << 30;  // inflated size of all parts read
    // Inflated : compressed, per part, checked once a part passes 16 MiB. Deflate cannot go
    // beyond about 1030:1; real sheets stay far below 500:1.
    uint32_t maxCompressionRatio = 500;
    uint64_t maxCells = 400'000'000;  // cells in the whole workbook
};

}  // namespace ss

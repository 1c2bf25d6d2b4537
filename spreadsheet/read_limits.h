// Bounds that every reader enforces, so that a hostile file cannot take unbounded memory or time.
#pragma once

#include <cstdint>

namespace ss {

struct ReadLimits {
    uint64_t maxPartBytes = uint64_t(1) << 31;   // inflated size of one package part
    uint64_t maxTotalBytes = uint64_t(4) << 30;  // inflated size of all parts read
    // Inflated : compressed, per part, once a part passes `ratioFloor` bytes, and for the whole
    // workbook once it passes four times that. It is checked against the compressed bytes taken
    // so far, as the part is inflated, so that a bomb is refused after some MiB, not at its end.
    // Deflate cannot go beyond about 1030:1; real sheets stay far below 200:1 (the largest of
    // the public test files: 121:1, a sheet of long repeated texts).
    uint32_t maxCompressionRatio = 200;
    // The same for parts held whole in memory: parts kept as bytes until the output is written
    // (drawings, charts, legacy drawings, pivot caches ...) and the string table. Real ones stay
    // below 30:1.
    uint32_t maxKeptRatio = 100;
    uint64_t ratioFloor = uint64_t(16) << 20;
    uint32_t maxXmlDepth = 256;       // open elements of one XML part
    uint64_t maxCells = 400'000'000;  // cells in the whole workbook
    // The formula text the cells of a sheet's shared formulas are given (each a copy of its
    // group's text): at most this ratio to the sheet's XML, beyond the floor.
    uint32_t sharedFormulaRatio = 16;
    uint64_t sharedFormulaFloor = uint64_t(256) << 20;
};

}  // namespace ss

// The floor the reader and writer are measured against: what any reader must at least do
// (inflate the sheet and string parts and look at every byte once) and what any writer must
// at least do (deflate the same bytes), both with ISA-L, the engine's own inflate and deflate.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

struct InflateScan {
    uint64_t bytes = 0;  // inflated bytes of the sheet and string parts
    uint64_t tags = 0;   // '<' seen
    double seconds = 0;
};

// Inflates (ISA-L) every xl/worksheets/*.xml and xl/sharedStrings.xml of the files and counts tags.
InflateScan inflateAndScan(const std::vector<std::filesystem::path>& files);

// The uncompressed XML parts of a package (every part but binaries), for the deflate floor.
std::vector<std::string> packageParts(const std::filesystem::path& file);

// Deflates each buffer with zlib at `level`; returns seconds, and the compressed size.
double deflateAll(const std::vector<std::string>& parts, int level, uint64_t& compressedBytes);
// The ISA-L level the .xlsx writer deflates every part with.
constexpr int kWriterIsalLevel = 3;

// The same with ISA-L at `level` (0-3).
double isalDeflateAll(const std::vector<std::string>& parts, uint64_t& compressedBytes,
                      int level = kWriterIsalLevel);

}  // namespace bench

// Opening and saving workbooks in every supported format.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>

#include "result.h"
#include "workbook.h"

namespace ss {

enum class FileFormat { Xlsx, Xlsm, Xls, Csv };

// Bounds that every reader enforces, so that a hostile file cannot take unbounded memory.
struct ReadLimits {
    uint64_t maxPartBytes = uint64_t(1) << 31;   // inflated size of one package part
    uint64_t maxTotalBytes = uint64_t(4) << 30;  // inflated size of all parts read
    // Inflated : compressed, per part, checked once a part passes 16 MiB. Deflate cannot go
    // beyond about 1030:1; real sheets stay far below 500:1.
    uint32_t maxCompressionRatio = 500;
    uint64_t maxCells = 400'000'000;  // cells in the whole workbook
};

// The format a file name asks for, by its extension (any letter case); none when unknown.
std::optional<FileFormat> formatFromExtension(const std::filesystem::path& path);

// Opens a workbook by its content (the first bytes) and its extension. A file that is not a
// workbook of a supported kind, is damaged or encrypted gives an error naming the file and the
// reason.
Result<std::unique_ptr<Workbook>> openWorkbook(const std::filesystem::path& path);

// Saves in the given format. The file appears under its name only once it is complete.
Status saveWorkbook(const Workbook& wb, const std::filesystem::path& path, FileFormat format);

// Writes through `produce` into a temporary file in the destination's folder, then renames it
// over the destination; the temporary file is removed on failure.
Status writeAtomically(const std::filesystem::path& path,
                       const std::function<Status(const std::filesystem::path& temp)>& produce);

}  // namespace ss

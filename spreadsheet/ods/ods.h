// OpenDocument spreadsheets (.ods, and the .ots template): reading into the workbook model.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include "../model/workbook.h"
#include "../read_limits.h"
#include "../result.h"

namespace ss {

Result<std::unique_ptr<Workbook>> readOds(const std::filesystem::path& path,
                                          const ReadLimits& limits = {});

// The same over a package held in memory (no file name in the messages).
Result<std::unique_ptr<Workbook>> readOdsMemory(const void* data, size_t size,
                                                const ReadLimits& limits = {});

// True for a zip package that declares itself an OpenDocument spreadsheet or spreadsheet
// template: the entry "mimetype" (first, as the format asks, or elsewhere beside content.xml).
bool isOdsPackage(const std::filesystem::path& path);

}  // namespace ss

// Comma-separated text files as one-sheet workbooks.
#pragma once

#include <filesystem>
#include <memory>

#include "../model/workbook.h"
#include "../read_limits.h"
#include "../result.h"

namespace ss {

Result<std::unique_ptr<Workbook>> readCsv(const std::filesystem::path& path,
                                          const ReadLimits& limits = {});

}  // namespace ss

// Office Open XML workbooks (.xlsx, .xlsm): reading into and writing from the workbook model.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "../model/workbook.h"
#include "../read_limits.h"
#include "../result.h"

namespace ss {

Result<std::unique_ptr<Workbook>> readXlsx(const std::filesystem::path& path,
                                           const ReadLimits& limits = {});

// The same over a package held in memory (no file name in the messages).
Result<std::unique_ptr<Workbook>> readXlsxMemory(const void* data, size_t size,
                                                 const ReadLimits& limits = {});

// Writes a complete package at `path` (callers that need atomic replacement go through
// saveWorkbook). With `macroEnabled` the workbook is written as .xlsm and keeps its VBA project.
Status writeXlsx(const Workbook& wb, const std::filesystem::path& path, bool macroEnabled = false);

// The same into `fd`, an open file that stays open (an anonymous memory file for a package that
// is encrypted before it is saved); `path` names the output in messages.
Status writeXlsxTo(int fd, const Workbook& wb, const std::filesystem::path& path,
                   bool macroEnabled = false);

// What the parts its sheets carry lose, written as .xlsx: `references` are formulas (chart
// series, pivot sources, the links of controls, extension formulas) that name a sheet the
// workbook does not hold (they show what was saved and no longer follow the data); `slicers` are
// slicers and timelines left out because the pivot tables or tables they filter are not there.
struct UnlinkedParts {
    uint32_t references = 0, slicers = 0;
};
UnlinkedParts unlinkedReferences(const Workbook& wb);

}  // namespace ss

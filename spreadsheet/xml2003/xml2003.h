// The XML spreadsheet format of 2003 (often saved under an .xls name by exports): reading into
// the workbook model.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "../model/workbook.h"
#include "../read_limits.h"
#include "../result.h"

namespace ss {

Result<std::unique_ptr<Workbook>> readXml2003(const std::filesystem::path& path,
                                              const ReadLimits& limits = {});

// The same over a document held in memory (no file name in the messages).
Result<std::unique_ptr<Workbook>> readXml2003Memory(const void* data, size_t size,
                                                    const ReadLimits& limits = {});

// True when the first element of `head` (the file's first bytes) is a Workbook of the XML
// spreadsheet namespace, after an XML declaration, processing instructions and comments.
bool looksLikeXml2003(std::string_view head);

// An R1C1 formula of the cell at (row, col) as an A1 formula without its "="; nothing when a
// reference cannot be restated (another workbook, a cell off the sheet is kept as #REF!).
std::optional<std::string> r1c1ToA1(std::string_view formula, uint32_t row, uint32_t col);

}  // namespace ss

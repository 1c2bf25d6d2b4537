// Excel 97-2003 workbooks: BIFF8 (and reading BIFF5/7) in a compound file.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../model/workbook.h"
#include "../read_limits.h"
#include "../result.h"

namespace ss {

Result<std::unique_ptr<Workbook>> readXls(const std::filesystem::path& path,
                                          const ReadLimits& limits = {});

// The same from the bytes of a whole file held in memory (errors give the reason only). A
// workbook encrypted with RC4 or RC4 CryptoAPI is tried with the default password of
// write-protected files and then with each of `passwords`; it is decrypted in memory.
Result<std::unique_ptr<Workbook>> readXlsFromMemory(std::string_view file,
                                                    const ReadLimits& limits = {},
                                                    const std::vector<std::string>& passwords = {});

// Refuses, without writing anything, a workbook that exceeds the format's limits
// (65,536 rows, 256 columns, 32,767 characters in a cell, 31-character sheet names).
Status writeXls(const Workbook& wb, const std::filesystem::path& path);

// Why the workbook cannot be written as .xls; none when it fits.
std::optional<std::string> xlsLimitProblem(const Workbook& wb);

}  // namespace ss

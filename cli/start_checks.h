// The checks a start button makes before its job runs, with the window's messages; the command
// line makes the same ones. Plain C++ over JobOptions (UTF-8 paths).
#pragma once

#include <optional>
#include <string>

#include "job_options.h"

namespace cli {

// True when a file or folder of that name exists.
bool pathExists(const std::string& path);
// True when the path, with one trailing "/" removed, is an existing directory.
bool directoryExists(const std::string& path);

// Folder merges: the source folder must exist ("文件夹不存在").
std::optional<std::string> checkFolderMerge(const JobOptions& options);
// Sheet merge and split by sheet: the workbook must exist ("文件不存在").
std::optional<std::string> checkWorkbook(const JobOptions& options);
// Even split: the workbook and the save folder must exist.
std::optional<std::string> checkEvenSplit(const JobOptions& options);
// Column split: checks the key column, cuts the value and name texts at "|" into the option
// lists (so a failed check may leave them filled, as the window does) and checks both paths.
std::optional<std::string> checkClassifySplit(int column, const std::string& valuesText,
                                              const std::string& namesText, JobOptions& options);

}  // namespace cli

// The checks a start button makes before its job runs, with the messages the status line shows;
// the window and the command line both make them through these functions. Plain C++ over UTF-8
// paths and JobOptions. Each check gives the message to show, or nothing when the job may start.
#pragma once

#include <optional>
#include <string>

#include "job_options.h"

namespace tw {

// True when a file or folder of that name exists. "*" and "?" in the last component are
// wildcards: the path counts when any entry of its folder matches.
bool pathExists(const std::string& path);

// True when the path, with one trailing "/" removed, names an existing folder. The empty path
// and a path ending in a backslash are never found.
bool directoryExists(const std::string& path);

// Messages of the checks.
inline constexpr const char* kFolderMissing = "文件夹不存在";
inline constexpr const char* kFileMissing = "文件不存在";
inline constexpr const char* kPathsMissing = "Excel文件或文件夹不存在,请选择正确路径!";
inline constexpr const char* kBadColumn = "请正确填写列范围!";
inline constexpr const char* kListMismatch = "提取数据份数与文件份数不一致,请核对!";
inline constexpr const char* kSheetMergeFolder = "汇总需要一个工作簿文件,不能汇总文件夹!";
inline constexpr const char* kSheetMergeLockFile =
    "这是工作簿打开时留下的临时文件(~$),请选择工作簿本身!";
inline constexpr const char* kSheetMergeNotWorkbook =
    "只能汇总扩展名为.xls、.xlsx、.xlsm(小写)的工作簿,请选择正确的文件!";

// Folder merges: the source folder must exist.
std::optional<std::string> checkFolderMerge(const std::string& folder);

// Sheet merge ("汇总"): the workbook must exist and be one the job merges: no folder, no .csv
// or other file, no lock file ("~$"), an extension in lower case (the job compares it so).
std::optional<std::string> checkSheetMerge(const std::string& workbook);

// Split by sheet: any existing entry passes (the job judges it).
std::optional<std::string> checkWorkbookExists(const std::string& workbook);

// The split jobs' paths: the workbook must exist and the save folder ("/" appended) too.
std::optional<std::string> checkSplitPaths(const std::string& workbook, const std::string& saveDir);

// Column split, first stage: the key column must lie in 1..16384.
std::optional<std::string> checkClassifyColumn(int column);

// Column split, second stage: cuts the value and name texts at every "|" (empty parts kept,
// nothing trimmed) into the option lists (names default to the values; empty values give empty
// lists) and checks that both have as many items. A failed check leaves the lists filled.
std::optional<std::string> cutClassifyLists(const std::string& valuesText,
                                            const std::string& namesText, JobOptions& options);

// All three stages of the column split in their order (the window writes settings between
// them); on success the column is in the options.
std::optional<std::string> checkClassifySplit(int column, const std::string& valuesText,
                                              const std::string& namesText, JobOptions& options);

}  // namespace tw

#include "start_checks.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string_view>
#include <vector>

#include "sheet_routines.h"

namespace tw {
namespace {

// "*" matches any run of characters, "?" exactly one; everything else matches itself.
bool wildcardMatch(std::string_view pattern, std::string_view name) {
    std::size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p, ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool anyEntryMatches(const std::string& folder, std::string_view pattern) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return false;
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        if (wildcardMatch(pattern, entry->d_name)) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Cut at every "|", empty parts kept, nothing trimmed: "a||b" gives three items.
std::vector<std::string> cutAtBars(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t bar = text.find('|', start);
        parts.push_back(text.substr(start, bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return parts;
}

}  // namespace

bool pathExists(const std::string& path) {
    if (path.empty()) return false;
    struct stat info;
    if (lstat(path.c_str(), &info) == 0) return true;
    const std::size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string_view last = std::string_view(path).substr(folder.size());
    if (last.find_first_of("*?") == std::string_view::npos) return false;
    if (folder.find_first_of("*?") != std::string::npos) return false;
    return anyEntryMatches(folder, last);
}

bool directoryExists(const std::string& path) {
    std::string folder = path;
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    if (folder.empty()) return false;
    struct stat info;
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<std::string> checkFolderMerge(const std::string& folder) {
    if (!directoryExists(folder)) return kFolderMissing;
    return std::nullopt;
}

std::optional<std::string> checkSheetMerge(const std::string& workbook) {
    if (!pathExists(workbook)) return kFileMissing;
    if (directoryExists(workbook)) return kSheetMergeFolder;
    if (workbook.find("~$") != std::string::npos) return kSheetMergeLockFile;
    if (!automation::isSpreadsheetFile(workbook, automation::FileTestVariant::WorkbookJobs))
        return kSheetMergeNotWorkbook;
    return std::nullopt;
}

std::optional<std::string> checkWorkbookExists(const std::string& workbook) {
    if (!pathExists(workbook)) return kFileMissing;
    return std::nullopt;
}

std::optional<std::string> checkSplitPaths(const std::string& workbook,
                                           const std::string& saveDir) {
    if (!pathExists(workbook) || !directoryExists(saveDir)) return kPathsMissing;
    return std::nullopt;
}

std::optional<std::string> checkClassifyColumn(int column) {
    if (column < 1 || column > 16384) return kBadColumn;
    return std::nullopt;
}

std::optional<std::string> cutClassifyLists(const std::string& valuesText,
                                            const std::string& namesText, JobOptions& options) {
    options.classifyValues.clear();
    options.classifyFileNames.clear();
    if (valuesText.empty()) return std::nullopt;
    options.classifyValues = cutAtBars(valuesText);
    options.classifyFileNames = namesText.empty() ? options.classifyValues : cutAtBars(namesText);
    if (options.classifyValues.size() != options.classifyFileNames.size()) return kListMismatch;
    return std::nullopt;
}

std::optional<std::string> checkClassifySplit(int column, const std::string& valuesText,
                                              const std::string& namesText, JobOptions& options) {
    options.classifyValues.clear();
    options.classifyFileNames.clear();
    if (auto failed = checkClassifyColumn(column)) return failed;
    options.classifyColumn = column;
    if (auto failed = cutClassifyLists(valuesText, namesText, options)) return failed;
    return checkSplitPaths(options.splitSourceFile, options.splitSaveDir);
}

}  // namespace tw

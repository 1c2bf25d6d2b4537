#include "start_checks.h"

#include <sys/stat.h>

#include <vector>

namespace cli {
namespace {

const char* const kFolderMissing = "文件夹不存在";
const char* const kFileMissing = "文件不存在";
const char* const kPathsMissing = "Excel文件或文件夹不存在,请选择正确路径!";
const char* const kBadColumn = "请正确填写列范围!";
const char* const kListMismatch = "提取数据份数与文件份数不一致,请核对!";

// Cut at every "|", empty parts kept, nothing trimmed: "a||b" gives three items.
std::vector<std::string> cutAtBars(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t bar = text.find('|', start);
        parts.push_back(text.substr(start, bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return parts;
}

}  // namespace

bool pathExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool directoryExists(const std::string& path) {
    std::string p = path;
    if (!p.empty() && p.back() == '/') p.pop_back();
    struct stat st {};
    return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> checkFolderMerge(const JobOptions& options) {
    if (!directoryExists(options.jobSourcePath)) return kFolderMissing;
    return std::nullopt;
}

std::optional<std::string> checkWorkbook(const JobOptions& options) {
    if (!pathExists(options.jobSourcePath)) return kFileMissing;
    return std::nullopt;
}

std::optional<std::string> checkEvenSplit(const JobOptions& options) {
    if (!pathExists(options.splitSourceFile) || !directoryExists(options.splitSaveDir))
        return kPathsMissing;
    return std::nullopt;
}

std::optional<std::string> checkClassifySplit(int column, const std::string& valuesText,
                                              const std::string& namesText, JobOptions& options) {
    options.classifyValues.clear();
    options.classifyFileNames.clear();
    if (column < 1 || column > 16384) return kBadColumn;
    options.classifyColumn = column;
    if (!valuesText.empty()) {
        options.classifyValues = cutAtBars(valuesText);
        options.classifyFileNames =
            namesText.empty() ? options.classifyValues : cutAtBars(namesText);
        if (options.classifyValues.size() != options.classifyFileNames.size()) return kListMismatch;
    }
    if (!pathExists(options.splitSourceFile) || !directoryExists(options.splitSaveDir))
        return kPathsMissing;
    return std::nullopt;
}

}  // namespace cli

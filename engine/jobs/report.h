// The report of a job: one entry per source file and sheet saying what became of it, written on
// request beside the output (.xlsx, .csv or .json), and the plan a dry run shows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../job_host.h"
#include "save_question.h"
#include "left_behind.h"
#include "reference_policy.h"

struct JobOptions;

namespace jobs {

struct ReportEntry {
    ReportEntry() = default;
    ReportEntry(std::string file_, std::string sheet_, std::string outcome_ = {},
                uint64_t rows_ = 0, int headerRowsDropped_ = 0, uint64_t emptyKeyRowsRemoved_ = 0,
                std::string outputSheet_ = {}, std::string note_ = {})
        : file(std::move(file_)),
          sheet(std::move(sheet_)),
          outcome(std::move(outcome_)),
          rows(rows_),
          headerRowsDropped(headerRowsDropped_),
          emptyKeyRowsRemoved(emptyKeyRowsRemoved_),
          outputSheet(std::move(outputSheet_)),
          note(std::move(note_)) {}

    std::string file;   // relative to the merged folder, or the workbook's file name
    std::string sheet;  // "" for a file that could not be opened
    std::string outcome;
    uint64_t rows = 0;  // rows taken
    int headerRowsDropped = 0;
    uint64_t emptyKeyRowsRemoved = 0;
    std::string outputSheet;      // sheet(s) of the output, or the output file(s) of a split
    std::string note;             // columns added, continuation sheets ...
    std::string textColumns;      // .csv sources: columns whose numbers were kept as text
    uint64_t frozenFormulas = 0;  // formulas written as their values (references not carried)
    std::string notCarried;       // what the copy left behind (pictures, charts, names ...)
    std::string format;           // what the source file held ("HTML 表格（扩展名 .xls）")
};

// Outcome texts.
inline constexpr const char* kOutcomeMerged = "已合并";
inline constexpr const char* kOutcomeEmpty = "已跳过：空工作表";
inline constexpr const char* kOutcomeNotNamed = "已跳过：不是指定的工作表";
inline constexpr const char* kOutcomeTooBig = "未合并：超出表格行列上限";
inline constexpr const char* kOutcomeStopped = "未写入：已有同名文件，按选择停止";
inline constexpr const char* kOutcomeChartSheet = "未合并：图表工作表没有单元格";
inline constexpr const char* kOutcomeNoCells = "未合并：工作表没有单元格";
inline constexpr const char* kOutcomeMacroSheet = "未合并：宏表";
inline constexpr const char* kOutcomeChartSheetXls = "已跳过：97-2003工作簿不能保存图表工作表";
std::string outcomeFailed(const std::string& reason);  // "失败：" + reason in words
std::string outcomeSplit(int parts);                   // "已拆分为N个文件"

class Report {
public:
    // Collects entries only when the options ask for a report or a dry run.
    explicit Report(const JobOptions& options);
    bool active() const { return active_; }

    // Each entry added takes the formulas `references` counts as frozen and what `left`
    // gathered since the entry before it: the job adds an entry right after copying its sheet.
    void watch(const automation::ReferenceReport& references, LeftBehind& left);

    void add(ReportEntry entry);
    // The workbook the next entries come from: they say what kind of file it was. (An entry of
    // a file that could not be opened says so in its reason.)
    void opened(const ss::Workbook& source);
    // For a job that adds the entry before its copy: the copy's counts go to the last entry.
    void copiedLast();
    // Looks at a sheet before the job changes it: for a .csv source, the columns holding
    // identifiers the reader kept as text (leading zeros, more than 15 digits) go to the next
    // entry added for that sheet.
    void inspect(automation::Worksheet& sheet, const std::filesystem::path& file);
    std::vector<ReportEntry>& entries() { return entries_; }
    // Marks the last entry failed with the reason.
    void failLast(const std::string& reason);
    // Gives the last entry another outcome (and no output), or the output it was written to.
    void markLast(std::string outcome);
    void outputLast(std::string output);
    // The same for entry `i` (in the order added), for outputs written after later entries.
    void failAt(size_t i, const std::string& reason);
    void markAt(size_t i, std::string outcome);
    void outputAt(size_t i, std::string output);

    // The table: a header row, then one row per entry; `output` names the output file.
    std::vector<std::vector<std::string>> table(const std::string& output) const;

    // Closing step of every job: a dry run shows the table through the host; the report is
    // written to the options' path, or beside `besidePath` ("<stem>_报告.xlsx"; `output` when
    // not given) when the window asked for that and the job wrote an output. `output` names the
    // output file (or folder) in the table. A report that cannot be written is told, and fails
    // nothing else.
    void finish(JobHost& host, const std::string& output, std::string besidePath = {}) const;

private:
    bool active_ = false;
    bool dryRun_ = false;
    std::string path_;
    bool beside_ = false;
    std::vector<ReportEntry> entries_;
    void absorb(ReportEntry& entry);
    std::string pendingSheet_, pendingText_, format_;
    const automation::ReferenceReport* references_ = nullptr;
    LeftBehind* left_ = nullptr;
    uint64_t seenFrozen_ = 0, seenDropped_ = 0, seenNames_ = 0;
};

// The texts that tell where the report went; they follow the job's result text.
inline constexpr std::string_view kReportSaved = "报告已保存：";
inline constexpr std::string_view kReportFailed = "报告保存失败：";

// The closing text of a dry run.
inline constexpr const char* kDryRunDone = "预览完成，未写入任何文件。";

// The output name a dry run shows: the save question's proposed name.
std::string proposedName(const std::string& baseName, bool xls);

// The file a save wrote; "" when it wrote none.
inline std::string savedPath(const SaveResult& saved) {
    return saved.outcome == SaveOutcome::Saved || saved.outcome == SaveOutcome::SavedAsXlsx
               ? saved.path
               : std::string();
}

// Writes the table by the path's extension: .csv (UTF-8 with a byte-order mark), .json (an array
// of objects keyed by the header row), anything else .xlsx. Gives "" or the reason of a failure.
std::string writeTable(const std::vector<std::vector<std::string>>& table,
                       const std::filesystem::path& path);

// The report path beside an output: "dir/out.xlsx" gives "dir/out_报告.xlsx".
std::filesystem::path reportBeside(const std::filesystem::path& output);

// A path relative to `folder` in "/" form (the file name when it is not below the folder).
std::string relativeLabel(const std::filesystem::path& file, const std::filesystem::path& folder);

}  // namespace jobs

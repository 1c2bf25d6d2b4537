// Pieces the merge and split jobs share: the automation session with its start and end texts,
// the save-file question, the folder scan, the list of files that could not be merged, and the
// texts every job shows in the same words.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../job_host.h"
#include "../job_options.h"
#include "application.h"

namespace jobs {

// Texts shown by several jobs.
inline constexpr std::string_view kExcelOk = "excel OK!";
inline constexpr std::string_view kWorkBooksOk = "WorkBooks OK!";
inline constexpr std::string_view kNoSpreadsheetApplication =
    "本功能需要电脑中装有微软office或金山wps专业版(注意是专业版,不是个人版)!";
inline constexpr std::string_view kCancelled = "已取消。";
inline constexpr std::string_view kSaveCaption = "保存文件";
inline constexpr std::string_view kFailListName = "无法合并的文件目录.txt";

// One automation session: the application object of a job, from "excel OK!" to Quit. The
// destructor ends the session (every workbook still open is closed without saving).
class Session {
public:
    // Creates the application, makes it invisible and silent and fetches the workbooks
    // collection, emitting "excel OK!" and "WorkBooks OK!"; when there is no collection it also
    // emits the message about the missing spreadsheet application.
    explicit Session(JobHost& host);
    // The same, with the job's choice of formulas or their stored values in the outputs.
    Session(JobHost& host, const JobOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The workbooks collection; null when the session could not reach it (the job then only
    // ends the session).
    automation::Workbooks* workbooks() const { return workbooks_; }
    automation::Application& application() { return *app_; }

    // Quits the application; further calls do nothing.
    void end();

    // The note a job's closing text ends with: how many formulas were written as their stored
    // values because their outputs lack what they refer to, where the first few are, and what
    // else was left behind for that reason; empty when every reference was carried.
    std::string referencesNote() const;

private:
    std::unique_ptr<automation::Application> app_;
    automation::Workbooks* workbooks_ = nullptr;
};

// A new target workbook left with exactly one sheet (sheets count..2 deleted), or null.
automation::Workbook* addTargetWorkbook(automation::Workbooks& books);

// How the save-file question ended.
enum class SaveOutcome {
    Cancelled,    // the user gave no path; nothing was written
    Saved,        // saved under the chosen path
    SavedAsXlsx,  // .xls asked for, but the data does not fit it: saved as .xlsx beside it
    Failed,       // the save was refused; the reason was shown
};
struct SaveResult {
    SaveOutcome outcome = SaveOutcome::Cancelled;
    std::string path;  // the file written (Saved, SavedAsXlsx) or attempted (Failed)
};

// The save-file question: asks the host for a path (caption "保存文件", proposed name
// base + ".xlsx" and filter "EXCEL(*.xlsx)", or base + ".xls" and "EXCEL(*.xls)" with `xls`),
// then saves the target in the default format, or as a 97-2003 workbook (code 56) with `xls`.
// A workbook with a sheet beyond 65,536 rows or 256 columns is not cut to fit .xls: it is saved
// as .xlsx under the same name with the extension changed (never over an existing file), and the
// host is told where. A failed save is shown to the user. The caller closes the target afterwards.
SaveResult askAndSave(JobHost& host, automation::Workbook& target, std::string_view baseName,
                      bool xls);

// True when some worksheet of the workbook holds data beyond row 65,536 or column 256.
bool exceedsXlsLimits(const ss::Workbook& wb);

// The files of `folder` and, recursively, of its subfolders: first the folder's own files
// (hidden ones included), then each subfolder's complete list; files and subfolders each sorted
// by name without regard to case. Hidden subfolders and symbolic links are left out. A folder
// that cannot be read contributes nothing.
std::vector<std::filesystem::path> scanFolder(const std::filesystem::path& folder);
// The files of the scan that pass the folder merges' spreadsheet file test, in scan order.
std::vector<std::filesystem::path> spreadsheetFilesIn(const std::filesystem::path& folder);

// The path of the list of files that could not be merged: `failListPath` when set, else the
// list's name in `folder`.
std::filesystem::path failListPath(const std::string& folder, const std::string& failListPath);

// Writes the list (lines separated by "\n" in `text`) with "\r\n" line ends, replacing any
// previous list. Returns false when the file could not be written.
bool writeFailList(const std::filesystem::path& path, std::string_view text);

// Writes the list when `text` is not empty and asks the host to show it. Neither a list that
// cannot be written nor a viewer that cannot be started fails the job.
void writeAndShowFailList(JobHost& host, const std::filesystem::path& path, std::string_view text);

// The sheet name a file gives with "Sheet名是文件名": its name without the folder and without
// everything from the first "." on ("2024.sales.xlsx" gives "2024").
std::string fileBaseName(const std::filesystem::path& file);

// The note added to a closing text when some sheets did not fit the target sheet; empty for 0.
std::string notFittedNote(int count);

// Outcome of copying a block of cells into a target sheet.
enum class BlockCopy {
    Copied,   // the block is in the target
    Nothing,  // the source range is gone (all its rows were deleted): nothing to copy
    TooBig,   // the block would not fit below/beside what the target holds; nothing copied
    Failed,   // refused for another reason; nothing copied
};
// Copies `source` so that its top-left cell lands at (row, column) of `target`, refusing a block
// that would run past the last row or column of the sheet. `reason` receives the refusal.
BlockCopy copyBlock(const automation::Range& source, automation::Worksheet& target, uint64_t row,
                    uint64_t column, std::string* reason = nullptr);

// A target sheet that receives block after block, with its used range kept up to date from the
// blocks copied into it, so that placing the next block costs nothing however much the sheet
// already holds (computing the used range afresh visits every cell). The facts are those the
// sheet's UsedRange gives: A1 (one row, one column) for a sheet without content.
class GrowingSheet {
public:
    explicit GrowingSheet(automation::Worksheet& sheet);

    automation::Worksheet& sheet() const { return *sheet_; }
    uint32_t Row() const { return bounds_ ? bounds_->firstRow : 1; }
    uint32_t Column() const { return bounds_ ? bounds_->firstCol : 1; }
    uint32_t RowCount() const { return bounds_ ? bounds_->rowCount() : 1; }
    uint32_t ColumnCount() const { return bounds_ ? bounds_->colCount() : 1; }
    // The empty-worksheet test on these facts: one cell whose text is "".
    bool empty() const;

    // copyBlock into this sheet; the used range then takes in what the block brought.
    BlockCopy copy(const automation::Range& source, uint64_t row, uint64_t column,
                   std::string* reason = nullptr);

private:
    automation::Worksheet* sheet_;
    std::optional<ss::CellRange> bounds_;
};

}  // namespace jobs

// Pieces the merge and split jobs share: the automation session with its start and end texts,
// the save-file question, the folder scan, the list of files that could not be merged, and the
// texts every job shows in the same words.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

// The files a job reads, by identity (device and inode, links followed), so that no output is
// ever written over one of them whatever its spelling.
class SourceFiles {
public:
    SourceFiles() = default;
    explicit SourceFiles(const std::vector<std::filesystem::path>& files);
    void add(const std::filesystem::path& file);
    bool contains(const std::filesystem::path& path) const;

private:
    std::vector<std::pair<uint64_t, uint64_t>> ids_;
};

// The text shown when the chosen save name is one of the job's sources.
std::string sourceRefusedText(const std::string& path);

// When the host knows the save answer before the job starts and it names a source, shows
// sourceRefusedText and returns true: the job then ends before any work.
bool refuseSourceAsOutput(JobHost& host, const SourceFiles& sources, bool xls);

// A name of a file as one line: control characters (and the Unicode line and paragraph
// separators) written as escapes, "\n", "\t", "\x1b", "\u2028".
std::string printable(std::string_view text);

// "dir/name (2).ext", "dir/name (3).ext" ...: the first such path where nothing stands.
std::filesystem::path freeNameBeside(const std::filesystem::path& path);

// Makes a new folder for a job's outputs: `wanted`, or "wanted (2)" ... when something (a
// folder, a file, a link) already stands there. Never uses a folder it did not make.
ss::Result<std::filesystem::path> makeNewFolder(const std::filesystem::path& wanted);
// The folder makeNewFolder would make now, without making it (what a dry run shows).
std::filesystem::path newFolderName(const std::filesystem::path& wanted);

// Where a job's outputs go when the place may already hold files: a name this run has not
// written and where another file stands is replaced, kept beside ("name (2)") or not written,
// as the host answers once per job; a source of the job is never replaced.
class OutputPlace {
public:
    OutputPlace(JobHost& host, SourceFiles sources);

    // Saves `book` as the output `wanted` in the format of `formatCode`. Returns the path
    // written, or an error (the reason; "" when the user chose to stop).
    ss::Result<std::filesystem::path> save(automation::Workbook& book,
                                           const std::filesystem::path& wanted, int formatCode);
    // The same, written on a helper thread while the job builds its next output: `book` is
    // closed at once (its model goes with the save) and `done` gets what save() would have
    // returned, on the job's thread, in the order the outputs were handed over (when a later
    // one is handed over, or at settle()). `writeAhead` outputs are written at a time, each on
    // a thread of its own: two where writing costs more than building (the splits by value
    // and by sheet); each costs memory. Small outputs are gathered and handed over a batch at
    // a time (a batch counts as one output).
    using Done = std::function<void(ss::Result<std::filesystem::path>)>;
    void saveInBackground(automation::Workbook& book, const std::filesystem::path& wanted,
                          int formatCode, Done done);
    void writeAhead(size_t outputs) { writeAhead_ = std::max<size_t>(outputs, 1); }
    // Waits until an output can be handed over without waiting: a job whose outputs are cheap
    // to build calls it before building one, so that no more than `writeAhead` are held.
    void makeRoom() {
        while (busy_.size() >= writeAhead_) settleOldest();
    }
    // Hands over what is gathered, waits for the saves in flight and calls their `done`.
    void settle();
    // True once the user answered "stop": the job writes nothing more.
    bool stopped() const { return answer_ == ExistingFiles::Stop; }
    // `result` followed by what was kept beside or replaced, and the stop, for a closing text.
    std::string withNotes(std::string result) const;

    OutputPlace(const OutputPlace&) = delete;
    OutputPlace& operator=(const OutputPlace&) = delete;
    // Writes what is gathered and waits for the saves in flight (their files are finished)
    // without calling their `done`.
    ~OutputPlace();

private:
    // Where `wanted` is written, after the question about existing files; nothing when the
    // user chose to stop.
    std::optional<std::filesystem::path> place(const std::filesystem::path& wanted,
                                               bool& replacing);
    void written(const std::filesystem::path& path, const std::filesystem::path& wanted,
                 bool replacing);

    JobHost& host_;
    SourceFiles sources_;
    std::optional<ExistingFiles> answer_;
    SourceFiles written_;  // outputs of this run
    std::vector<std::string> keptBeside_, replaced_;
    void settleOldest();
    void dispatch();  // hands the outputs gathered so far to a writer

    // Threads writing outputs (started as needed), and those busy, oldest first.
    struct InFlight;
    std::vector<std::unique_ptr<InFlight>> savers_;
    std::deque<InFlight*> busy_;
    size_t writeAhead_ = 1;
    // Outputs of fewer cells than this are handed over together, up to this many cells or
    // outputs at a time.
    static constexpr size_t kBatchCells = 20000, kBatchOutputs = 8;
    struct Pending;  // the outputs gathered, not yet handed over
    std::unique_ptr<Pending> pending_;
};

class Report;

// What a split output written in the background reports when it is done (`done` of
// OutputPlace::saveInBackground): written (counted in `written`, its file name on report entry
// `entry`), failed (listed in `failed` as `file`, with the reason on its entry), or not written
// because the user chose to stop.
OutputPlace::Done splitOutputDone(const OutputPlace& outputs, Report& report, size_t entry,
                                  std::string file, int& written, std::vector<std::string>& failed);

// Shows the notes of a workbook read (sheets renamed, texts cut; see ss::fitReadWorkbook) as
// texts naming the file.
void reportReadNotes(JobHost& host, const std::filesystem::path& file, const ss::Workbook& wb);
// The notes as lines of the list of what could not be merged: "file [sheet] ...".
std::string readNoteLines(const std::filesystem::path& file, const ss::Workbook& wb);

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
// host is told where. A name that is one of the job's sources is refused with a text and the
// question asked again (a host that gives the same name again ends it as Failed). A completed
// save is reported through host.saved(); a failed one is shown. The caller closes the target.
SaveResult askAndSave(JobHost& host, automation::Workbook& target, std::string_view baseName,
                      bool xls, const SourceFiles& sources = {});

// True when some worksheet of the workbook holds data beyond row 65,536 or column 256.
bool exceedsXlsLimits(const ss::Workbook& wb);

// The files of `folder` and, recursively, of its subfolders: first the folder's own files
// (hidden ones included), then each subfolder's complete list; files and subfolders each sorted
// by name without regard to case. Hidden subfolders are left out; a link to a file counts as a
// file, a link to a folder is not followed (no loops) and a dangling link is skipped. A folder
// that cannot be read contributes nothing. Each link or folder skipped is added to `skipped` as
// a line "path reason".
std::vector<std::filesystem::path> scanFolder(const std::filesystem::path& folder,
                                              std::vector<std::string>* skipped = nullptr);
// The files of the scan that pass the folder merges' spreadsheet file test, in scan order.
std::vector<std::filesystem::path> spreadsheetFilesIn(const std::filesystem::path& folder,
                                                      std::vector<std::string>* skipped = nullptr);

// The path of the list of files that could not be merged: `failListPath` when set, else the
// list's name in `folder`.
std::filesystem::path failListPath(const std::string& folder, const std::string& failListPath);

// Writes the list (lines separated by "\n" in `text`) with "\r\n" line ends, replacing any
// previous list (a new file put in its place, never written through a link).
ss::Status writeFailList(const std::filesystem::path& path, std::string_view text);

// The list of a folder merge: written (when not empty) before the result, shown after the save.
// A list that cannot be written does not fail the job, but its lines are shown as a text.
class FailList {
public:
    FailList(JobHost& host, std::filesystem::path path) : host_(host), path_(std::move(path)) {}
    // Writes the list; when that fails, shows the reason and every line of `text`.
    void write(std::string_view text);
    // Asks the host to show the list when it was written.
    void show();

private:
    JobHost& host_;
    std::filesystem::path path_;
    bool written_ = false;
};

// The sheet name a file gives with "Sheet名是文件名": its name without the folder and without
// everything from the first "." on ("2024.sales.xlsx" gives "2024").
std::string fileBaseName(const std::filesystem::path& file);

// The closing text of a folder merge that merged no sheet (and saves nothing): why, from the
// number of files found and of those that could not be opened.
std::string nothingMergedText(int files, int unreadable);

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

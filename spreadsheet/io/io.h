// Opening and saving workbooks in every supported format.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../read_limits.h"
#include "../result.h"
#include "../model/workbook.h"

namespace ss {

enum class FileFormat { Xlsx, Xlsm, Xls, Csv };

// The format a file name asks for, by its extension (any letter case); none when unknown.
std::optional<FileFormat> formatFromExtension(const std::filesystem::path& path);

// Opens a workbook by its content (the first bytes) and its extension. A file that is not a
// workbook of a supported kind, is damaged or encrypted gives an error naming the file and the
// reason. Once `stop` is set the read ends early with an error (see read_stop.h).
// A workbook with an open password is tried with the default password of write-protected files
// and then with each of `passwords` (UTF-8); it is decrypted in memory only. When none opens
// it, the reason says so (and how to give a password when none was given).
Result<std::unique_ptr<Workbook>> openWorkbook(const std::filesystem::path& path,
                                               const std::atomic<bool>* stop = nullptr,
                                               const std::vector<std::string>& passwords = {});

// What openWorkbook does to every workbook it reads, so that whatever a source holds can be
// saved again: sheet names the formats reject are made valid (forbidden characters become "_",
// apostrophes at the ends too, cut to 31 characters, an empty name becomes "Sheet" + position,
// kept unique), and texts longer than a cell can hold are cut at the limit. Each change is
// recorded in `wb.readNotes` ("[sheet] A1 ..."), so the jobs can name it.
void fitReadWorkbook(Workbook& wb);

// Saves in the given format. The file appears under its name only once it is complete; a file
// it replaces keeps its permission bits; every message names `path`, never a temporary file.
// With `encryptPassword` an .xlsx or .xlsm is saved with an open password (agile encryption,
// its plain package kept in memory only); an .xls cannot be, and is refused.
Status saveWorkbook(const Workbook& wb, const std::filesystem::path& path, FileFormat format,
                    std::string_view encryptPassword = {});

// Writes through `produce` into a new temporary file in the destination's folder (created
// without following links, its name short enough whenever the destination's name fits), then
// renames it over the destination; the temporary file is removed on failure. The first save
// into a folder removes temporary files of this naming left there more than a minute ago by a
// process that was killed.
Status writeAtomically(const std::filesystem::path& path,
                       const std::function<Status(const std::filesystem::path& temp)>& produce);

// The reason of a failed system call (an errno value) as the user reads it: Chinese for every
// error a save, a folder or a scan meets ("磁盘空间不足。"), the system's text for the rare rest.
std::string systemErrorText(int error);

// Interruption of saves (both safe to call from a signal handler). While a save is in progress
// (from making its temporary file until its rename is done) the process must not end at once.
// abortSaves() makes every save that has not reached its rename drop its temporary file and
// fail, leaving the previous file; a save past that point completes.
bool saveInProgress();
void abortSaves();
bool savesAborted();
void resetSaveAbort();  // for tests

}  // namespace ss

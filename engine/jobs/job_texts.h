// The texts several jobs show in the same words, and the ways they name files and what a read
// changed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "spreadsheet/model/workbook.h"
#include "../job_host.h"

namespace jobs {

// Texts shown by several jobs.
inline constexpr std::string_view kExcelOk = "excel OK!";
inline constexpr std::string_view kWorkBooksOk = "WorkBooks OK!";
inline constexpr std::string_view kNoSpreadsheetApplication =
    "本功能需要电脑中装有微软office或金山wps专业版(注意是专业版,不是个人版)!";
inline constexpr std::string_view kCancelled = "已取消。";
inline constexpr std::string_view kSaveCaption = "保存文件";
inline constexpr std::string_view kFailListName = "无法合并的文件目录.txt";

// A name of a file as one line: control characters (and the Unicode line and paragraph
// separators) written as escapes, "\n", "\t", "\x1b", "\u2028".
std::string printable(std::string_view text);

// Shows the notes of a workbook read (sheets renamed, texts cut; see ss::fitReadWorkbook) as
// texts naming the file.
void reportReadNotes(JobHost& host, const std::filesystem::path& file, const ss::Workbook& wb);
// The notes as lines of the list of what could not be merged: "file [sheet] ...".
std::string readNoteLines(const std::filesystem::path& file, const ss::Workbook& wb);

// The sheet name a file gives with "Sheet名是文件名": its name without the folder and without
// everything from the first "." on ("2024.sales.xlsx" gives "2024").
std::string fileBaseName(const std::filesystem::path& file);

// The closing text of a folder merge that merged no sheet (and saves nothing): why, from the
// number of files found and of those that could not be opened.
std::string nothingMergedText(int files, int unreadable);

// The line of the list of files not merged for a file that could not be opened: its path and
// the reader's reason, in the words the other jobs show it ("path 工作簿已加密…").
std::string unopenedLine(const std::filesystem::path& file, const std::string& message);

// Added after a folder merge's closing text when some files could not be opened:
// "注意：有24个文件无法打开，已列入无法合并的文件目录.txt。" (`listName` empty when the list was
// not written); empty for 0.
std::string unopenedNote(int count, const std::string& listName);

// The note added to a closing text when some sheets did not fit the target sheet; empty for 0.
std::string notFittedNote(int count);

}  // namespace jobs

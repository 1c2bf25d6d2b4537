// "合并成多个Sheet": every workbook of a folder and its subfolders into one workbook, one sheet
// per source worksheet, or appended to the sheet of the same name.
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "job_common.h"
#include "jobs.h"
#include "left_behind.h"
#include "sheet_routines.h"

namespace fs = std::filesystem;
using automation::Range;
using automation::Workbook;
using automation::Worksheet;

namespace {

struct FileMergeRun {
    const JobOptions& options;
    Workbook* target = nullptr;
    int workbookCount = 0;
    int sheetCount = 0;
    int insertPosition = 1;  // 1-based; the placeholder stays behind the copies
    int notFitted = 0;
    std::string failureText{};
    jobs::LeftBehind leftBehind{};
    // Target sheets appended to so far, with their used ranges.
    std::unordered_map<Worksheet*, jobs::GrowingSheet> appended{};

    // Appends the source worksheet below the used range of the target sheet of the same name.
    void append(Worksheet& source, Range used, Worksheet& sameName, const std::string& file) {
        if (options.headerRowsOnce)
            used = automation::removeHeaderRows(source, options.headerRowCount);
        if (options.deleteEmptyKeyRows)
            (void)automation::removeEmptyKeyRows(source, uint32_t(options.keyColumn));
        leftBehind.cellsOf(source, file + " [" + source.Name() + "]");
        jobs::GrowingSheet& dest = appended.try_emplace(&sameName, sameName).first->second;
        std::string reason;
        switch (dest.copy(used, uint64_t(dest.Row()) + dest.RowCount(), dest.Column(), &reason)) {
            case jobs::BlockCopy::Copied:
            case jobs::BlockCopy::Nothing:
                break;
            case jobs::BlockCopy::TooBig:
                ++notFitted;
                --sheetCount;
                failureText += file + " [" + source.Name() + "] " + reason + "\n";
                break;
            case jobs::BlockCopy::Failed:
                --sheetCount;
                failureText += file + " [" + source.Name() + "] " + reason + "\n";
                break;
        }
    }

    // Copies the worksheet before the sheet at the insertion position.
    void copyAsNewSheet(Worksheet& source, const std::string& file) {
        Worksheet* before = target->Sheets().Item(insertPosition);
        auto copy =
            before ? source.Copy(*before) : ss::Result<Worksheet*>(ss::fail("目标工作表不存在。"));
        if (copy.ok()) {
            ++insertPosition;
            leftBehind.wholeSheet(source, file + " [" + source.Name() + "]");
        } else {
            --sheetCount;
            failureText += file + " [" + source.Name() + "] " + copy.message() + "\n";
        }
    }

    void mergeWorksheet(Workbook& source, int k, const fs::path& file) {
        // Chart sheets are copied as they are; with only the first sheet, that is the first
        // worksheet.
        Worksheet* sheet = options.onlyFirstSheet ? source.WorkSheets(k) : source.Sheets().Item(k);
        if (!sheet) return;
        if (sheet->model().kind == ss::SheetKind::Chartsheet) {
            if (options.onlyNamedSheet && sheet->Name() != options.namedSheet) return;
            if (options.saveAsXls) {  // a 97-2003 workbook is written without chart sheets
                leftBehind.sheet("图表工作表", file.string() + " [" + sheet->Name() + "]");
                return;
            }
            if (options.fileNameAsSheetName) (void)sheet->SetName(jobs::fileBaseName(file));
            ++sheetCount;
            copyAsNewSheet(*sheet, file.string());
            return;
        }
        if (!sheet->isWorksheet()) return;
        automation::UsedRangeFacts facts = automation::usedRangeFacts(*sheet);
        if (options.onlyNamedSheet && sheet->Name() != options.namedSheet) return;
        if (options.skipEmptySheets && automation::isEmptyWorksheet(facts)) return;
        if (options.fileNameAsSheetName) (void)sheet->SetName(jobs::fileBaseName(file));
        ++sheetCount;
        const std::string fileText = file.string();
        if (!options.mergeSameNameSheets) {
            copyAsNewSheet(*sheet, fileText);
            return;
        }
        const std::string name = sheet->Name();
        automation::Sheets& targetSheets = target->Sheets();
        const int count = targetSheets.Count();
        for (int i = 1; i <= count; ++i) {
            Worksheet* candidate = targetSheets.Item(i);
            if (candidate && candidate->isWorksheet() && candidate->Name() == name) {
                append(*sheet, facts.usedRange, *candidate, fileText);
                return;
            }
        }
        if (options.deleteEmptyKeyRows)
            (void)automation::removeEmptyKeyRows(*sheet, uint32_t(options.keyColumn));
        copyAsNewSheet(*sheet, fileText);
    }
};

}  // namespace

void ExcelFileMergeJob(const std::string& path, const JobOptions& options, JobHost& host) {
    const int64_t start = automation::currentSeconds();
    const std::vector<fs::path> files = jobs::spreadsheetFilesIn(path);

    jobs::Session session(host, options);
    automation::Workbooks* books = session.workbooks();
    if (!books) return;

    FileMergeRun run{options};
    run.target = jobs::addTargetWorkbook(*books);
    if (!run.target) {
        host.text("无法新建工作簿。");
        return;
    }
    Worksheet* placeholder = run.target->Sheets().Item(1);
    (void)placeholder->SetName("oldSheetName" + automation::timeTag());

    const int total = int(files.size());
    host.progress(0, total);
    for (int n = 0; n < total; ++n) {
        if (host.cancelRequested()) break;
        const fs::path& file = files[size_t(n)];
        ++run.workbookCount;
        host.text(file.string());
        auto opened = books->Open(file);
        if (n + 1 < total) books->Prefetch(files[size_t(n) + 1]);  // read beside this one's work
        if (!opened.ok()) {
            run.failureText += file.string() + "\n";
            host.progress(n + 1, total);
            continue;
        }
        Workbook* source = opened.value();
        const int sheets = options.onlyFirstSheet ? 1 : source->Sheets().Count();
        for (int k = 1; k <= sheets; ++k) run.mergeWorksheet(*source, k, file);
        if (Worksheet* first = run.target->Sheets().Item(1)) (void)first->Select();
        (void)source->Close(false);
        host.progress(n + 1, total);
    }

    if (host.cancelRequested()) {
        (void)run.target->Close(false);
        host.text(std::string(jobs::kCancelled));
        return;
    }
    (void)placeholder->Delete();  // refused when it is the only sheet: then it is kept
    host.text("成功合并" + std::to_string(run.workbookCount) + "个工作簿的" +
              std::to_string(run.sheetCount) + "个sheet到一个工作簿。" +
              automation::elapsedTimeText(start) + jobs::notFittedNote(run.notFitted) +
              session.referencesNote());
    if (std::string left = run.leftBehind.text(); !left.empty()) host.text(left);
    jobs::askAndSave(host, *run.target, "FileMerge", options.saveAsXls);
    (void)run.target->Close(false);
    jobs::writeAndShowFailList(host, jobs::failListPath(path, options.failListPath),
                               run.failureText);
}

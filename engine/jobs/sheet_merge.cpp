// "汇总": the used ranges of the worksheets of one workbook, one below (or beside) the other, in
// the first sheet of a new workbook.
#include <filesystem>
#include <string>
#include <system_error>

#include "job_common.h"
#include "jobs.h"
#include "left_behind.h"
#include "sheet_routines.h"

namespace fs = std::filesystem;
using automation::Range;
using automation::Workbook;
using automation::Worksheet;

namespace {

// Opens the workbook to merge. With the organise step it is saved once in the normal format
// under the temporary path and that copy is merged instead; when the copy cannot be made or
// opened the workbook itself is merged (it is only read either way).
Workbook* openSource(automation::Workbooks& books, const std::string& nativePath,
                     const std::string& tempPath, bool organise, JobHost& host) {
    auto opened = books.Open(nativePath);
    if (!opened.ok()) {
        host.text(opened.message());
        return nullptr;
    }
    Workbook* source = opened.value();
    if (!organise) return source;
    host.text("正在整理数据...");
    if (!source->SaveAs(tempPath, automation::kFormatNormal).ok()) return source;
    (void)source->Close(false);
    auto copy = books.Open(tempPath);
    if (copy.ok()) return copy.value();
    auto again = books.Open(nativePath);
    if (again.ok()) return again.value();
    host.text(again.message());
    return nullptr;
}

}  // namespace

void ExcelSheetMergeJob(const std::string& path, const JobOptions& options, JobHost& host) {
    const int64_t start = automation::currentSeconds();
    const std::string tag = automation::timeTag();
    const std::string nativePath = path;
    const std::string tempPath = nativePath + tag;
    auto removeTemp = [&] {
        std::error_code ec;
        fs::remove(tempPath, ec);
    };

    jobs::Session session(host, options);
    automation::Workbooks* books = session.workbooks();
    if (!books) return;

    Workbook* target = jobs::addTargetWorkbook(*books);
    if (!target) {
        host.text("无法新建工作簿。");
        return;
    }
    host.text("AddWorkBook OK!");
    if (Workbook* active = session.application().ActiveWorkBook()) target = active;
    host.text("ActiveWorkBook OK!");
    jobs::GrowingSheet targetSheet(*target->Sheets().Item(1));

    int merged = 0;
    int notFitted = 0;
    uint64_t offset = 0;  // 0 until the first block is in the target
    bool cancelled = false;
    jobs::LeftBehind leftBehind;
    if (automation::isSpreadsheetFile(nativePath, automation::FileTestVariant::WorkbookJobs)) {
        Workbook* source =
            openSource(*books, nativePath, tempPath, options.sheetMergeOrganise, host);
        const int count = source ? source->Sheets().Count() : 0;
        host.progress(0, count);
        for (int i = 1; i <= count; ++i) {
            if (host.cancelRequested()) {
                cancelled = true;
                break;
            }
            if (Worksheet* any = source->Sheets().Item(i);
                any && any->model().kind == ss::SheetKind::Chartsheet)
                leftBehind.sheet("图表工作表", "[" + any->Name() + "]");  // no cells to copy
            Worksheet* sheet = source->WorkSheets(i);
            if (!sheet) continue;  // a chart sheet's position among the sheets
            host.text(sheet->Name());
            automation::UsedRangeFacts facts = automation::usedRangeFacts(*sheet);
            if (automation::isEmptyWorksheet(facts)) {
                host.progress(i, count);
                continue;
            }
            Range used = facts.usedRange;
            // By position: a skipped empty worksheet 1 still keeps its header, every later
            // worksheet loses its top rows.
            if (options.sheetMergeHeaderRowsOnce && i != 1 && options.sheetMergeHeaderRowCount >= 1)
                used = automation::removeHeaderRows(*sheet, options.sheetMergeHeaderRowCount);
            if (options.sheetMergeDeleteEmptyKeyRows)
                (void)automation::removeEmptyKeyRows(*sheet, uint32_t(options.sheetMergeKeyColumn));

            uint64_t row = 1, column = 1;
            if (options.sheetMergeVertical)
                row = uint64_t(targetSheet.Row()) + targetSheet.RowCount() - 1 + offset;
            else
                column = uint64_t(targetSheet.Column()) + targetSheet.ColumnCount() - 1 + offset;
            leftBehind.cellsOf(*sheet, "[" + sheet->Name() + "]");
            switch (targetSheet.copy(used, row, column)) {
                case jobs::BlockCopy::Copied:
                    ++merged;
                    // A block of blank cells leaves the target empty: the next one starts at A1.
                    offset = targetSheet.empty() ? 0 : 1;
                    break;
                case jobs::BlockCopy::TooBig:
                    ++notFitted;
                    break;
                case jobs::BlockCopy::Nothing:
                case jobs::BlockCopy::Failed:
                    break;
            }
            host.progress(i, count);
        }
        if (source) (void)source->Close(false);
    }

    if (cancelled || host.cancelRequested()) {
        (void)target->Close(false);
        removeTemp();
        host.text(std::string(jobs::kCancelled));
        return;
    }
    host.text("成功汇总" + std::to_string(merged) + "个sheet," +
              automation::elapsedTimeText(start) + jobs::notFittedNote(notFitted) +
              session.referencesNote());
    if (std::string left = leftBehind.text(); !left.empty()) host.text(left);
    jobs::askAndSave(host, *target, "SheetsMerge", options.sheetMergeSaveAsXls);
    (void)target->Close(false);
    removeTemp();
}

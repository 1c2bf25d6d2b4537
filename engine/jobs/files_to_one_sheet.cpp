// "合并成1个Sheet": the used range of every selected worksheet of every workbook of a folder and
// its subfolders, one below the other, in the single sheet "合并Sheet" of a new workbook.
#include <filesystem>
#include <string>
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

struct OneSheetRun {
    const JobOptions& options;
    jobs::GrowingSheet output;
    bool copiedAny = false;  // whether a block has landed in the output sheet
    int sheetCount = 0;
    int notFitted = 0;
    jobs::LeftBehind leftBehind{};

    // The output sheet is empty while nothing has been copied into it (a first block of one
    // row must not be overwritten by the next one), or while what was copied left it blank.
    bool outputEmpty() const { return !copiedAny || output.empty(); }

    void mergeWorksheet(Workbook& source, int k, const std::string& file) {
        if (Worksheet* any = source.Sheets().Item(k);
            any && any->model().kind == ss::SheetKind::Chartsheet && !options.onlyFirstSheet)
            leftBehind.sheet("图表工作表", file + " [" + any->Name() + "]");  // no cells to copy
        Worksheet* sheet = source.WorkSheets(k);
        if (!sheet) return;  // a chart sheet's position among the sheets
        automation::UsedRangeFacts facts = automation::usedRangeFacts(*sheet);
        if (options.onlyNamedSheet && sheet->Name() != options.namedSheet) return;
        if (options.skipEmptySheets && automation::isEmptyWorksheet(facts)) return;
        ++sheetCount;
        if (options.deleteEmptyKeyRows)
            (void)automation::removeEmptyKeyRows(*sheet, uint32_t(options.keyColumn));

        leftBehind.cellsOf(*sheet, file + " [" + sheet->Name() + "]");
        Range used = facts.usedRange;
        uint64_t row = 1, column = 1;
        if (!outputEmpty()) {
            if (options.headerRowsOnce)
                used = automation::removeHeaderRows(*sheet, options.headerRowCount);
            row = uint64_t(output.Row()) + output.RowCount();
            column = output.Column();
        }
        switch (output.copy(used, row, column)) {
            case jobs::BlockCopy::Copied:
                copiedAny = true;
                break;
            case jobs::BlockCopy::Nothing:
                break;
            case jobs::BlockCopy::TooBig:
                ++notFitted;
                --sheetCount;
                break;
            case jobs::BlockCopy::Failed:
                --sheetCount;
                break;
        }
    }
};

}  // namespace

void FilesToOneSheetJob(const std::string& path, const JobOptions& options, JobHost& host) {
    const int64_t start = automation::currentSeconds();
    const std::vector<fs::path> files = jobs::spreadsheetFilesIn(path);

    jobs::Session session(host, options);
    automation::Workbooks* books = session.workbooks();
    if (!books) return;

    Workbook* target = jobs::addTargetWorkbook(*books);
    if (!target) {
        host.text("无法新建工作簿。");
        return;
    }
    Worksheet* output = target->Sheets().Item(1);
    (void)output->SetName("合并Sheet");
    OneSheetRun run{options, jobs::GrowingSheet(*output)};

    std::string failureText;
    int workbookCount = 0;
    const int total = int(files.size());
    host.progress(0, total);
    for (int n = 0; n < total && !host.cancelRequested(); ++n) {
        const fs::path& file = files[size_t(n)];
        ++workbookCount;
        host.text(file.string());
        auto opened = books->Open(file);
        if (n + 1 < total) books->Prefetch(files[size_t(n) + 1]);  // read beside this one's work
        if (!opened.ok()) {
            failureText += file.string() + "\n";
            host.progress(n + 1, total);
            continue;
        }
        Workbook* source = opened.value();
        const int sheets = options.onlyFirstSheet ? 1 : source->Sheets().Count();
        for (int k = 1; k <= sheets; ++k) run.mergeWorksheet(*source, k, file.string());
        (void)source->Close(false);
        host.progress(n + 1, total);
    }

    if (host.cancelRequested()) {
        (void)target->Close(false);
        host.text(std::string(jobs::kCancelled));
        return;
    }
    host.text("成功合并" + std::to_string(workbookCount) + "个工作簿的" +
              std::to_string(run.sheetCount) + "个sheet到一个工作簿。" +
              automation::elapsedTimeText(start) + jobs::notFittedNote(run.notFitted) +
              session.referencesNote());
    if (std::string left = run.leftBehind.text(); !left.empty()) host.text(left);
    jobs::askAndSave(host, *target, "FileMerge", options.saveAsXls);
    (void)target->Close(false);
    jobs::writeAndShowFailList(host, jobs::failListPath(path, options.failListPath), failureText);
}

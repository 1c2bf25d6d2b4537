// "合并成1个Sheet": the used range of every selected worksheet of every workbook of a folder and
// its subfolders, one below the other, in the single sheet "合并Sheet" of a new workbook.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "append.h"
#include "job_texts.h"
#include "session.h"
#include "outputs.h"
#include "save_question.h"
#include "folder_scan.h"
#include "fail_list.h"
#include "block_copy.h"
#include "jobs.h"
#include "report.h"
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
    std::string failureText{};
    jobs::LeftBehind leftBehind{};
    // Options beyond the form: present when one of align, source columns or spill is on.
    std::optional<jobs::AppendTarget> advanced{};
    jobs::Report* report = nullptr;
    std::string fileLabel{};

    // The output sheet is empty while nothing has been copied into it (a first block of one
    // row must not be overwritten by the next one), or while what was copied left it blank.
    bool outputEmpty() const { return !copiedAny || output.empty(); }

    void mergeWorksheet(Workbook& source, int k, const fs::path& file) {
        if (Worksheet* any = source.Sheets().Item(k);
            any && any->model().kind == ss::SheetKind::Chartsheet && !options.onlyFirstSheet) {
            leftBehind.sheet("图表工作表", jobs::printable(file.string()) + " [" + any->Name() +
                                               "]");  // no cells to copy
            note(*any, jobs::kOutcomeChartSheet);
        } else if (any && any->model().kind == ss::SheetKind::Macrosheet &&
                   !options.onlyFirstSheet &&
                   (!options.onlyNamedSheet || any->Name() == options.namedSheet)) {
            // Macro formulas are no rows of a table: named, not merged.
            leftBehind.sheet("宏表", jobs::printable(file.string()) + " [" + any->Name() + "]");
            note(*any, jobs::kOutcomeMacroSheet);
        }
        Worksheet* sheet = source.WorkSheets(k);
        if (!sheet) return;  // a chart or macro sheet's position among the sheets
        automation::UsedRangeFacts facts = automation::usedRangeFacts(*sheet);
        if (options.onlyNamedSheet && sheet->Name() != options.namedSheet)
            return note(*sheet, jobs::kOutcomeNotNamed);
        if (options.skipEmptySheets && automation::hasNoCells(facts)) {
            // No rows to add; what the sheet holds beside cells is named.
            if (automation::isEmptyWorksheet(facts)) return note(*sheet, jobs::kOutcomeEmpty);
            leftBehind.heldBy(*sheet, jobs::printable(file.string()) + " [" + sheet->Name() + "]");
            return note(*sheet, jobs::kOutcomeNoCells);
        }
        ++sheetCount;
        if (report) report->inspect(*sheet, fileLabel);
        const uint32_t rowsBefore = facts.usedRange.valid() ? facts.usedRange.RowCount() : 0;
        if (options.deleteEmptyKeyRows)
            (void)automation::removeEmptyKeyRows(*sheet, uint32_t(options.keyColumn));
        const uint32_t rowsAfter = facts.usedRange.valid() ? facts.usedRange.RowCount() : 0;
        jobs::ReportEntry entry{fileLabel, sheet->Name()};
        entry.emptyKeyRowsRemoved = rowsBefore > rowsAfter ? rowsBefore - rowsAfter : 0;
        // What the copies leave of the sheet's parts is named once they are done.
        const std::string where = jobs::printable(file.string()) + " [" + sheet->Name() + "]";
        if (advanced) {
            appendAdvanced(*sheet, facts.usedRange, std::move(entry), file);
            return leftBehind.cellsOf(*sheet, where);
        }

        Range used = facts.usedRange;
        uint64_t row = 1, column = 1;
        if (!outputEmpty()) {
            if (options.headerRowsOnce)
                used = automation::removeHeaderRows(*sheet, options.headerRowCount);
            row = uint64_t(output.Row()) + output.RowCount();
            column = output.Column();
        }
        if (report && report->active() && row > 1)
            entry.headerRowsDropped = options.headerRowsOnce ? options.headerRowCount : 0;
        std::string reason;
        const jobs::BlockCopy copied = output.copy(used, row, column, &reason);
        if (output.takeFilterLeft()) leftBehind.sheet("筛选", where);
        switch (copied) {
            case jobs::BlockCopy::Copied:
                copiedAny = true;
                entry.outcome = jobs::kOutcomeMerged;
                entry.rows = used.RowCount();
                entry.outputSheet = output.sheet().Name();
                break;
            case jobs::BlockCopy::Nothing:
                entry.outcome = jobs::kOutcomeMerged;
                break;
            case jobs::BlockCopy::TooBig:
                ++notFitted;
                --sheetCount;
                entry.outcome = jobs::kOutcomeTooBig;
                failureText += jobs::printable(file.string()) + " [" +
                               jobs::printable(sheet->Name()) + "] " + reason + "\n";
                break;
            case jobs::BlockCopy::Failed:
                --sheetCount;
                entry.outcome = jobs::outcomeFailed(reason);
                failureText += jobs::printable(file.string()) + " [" +
                               jobs::printable(sheet->Name()) + "] " + jobs::printable(reason) +
                               "\n";
                break;
        }
        leftBehind.cellsOf(*sheet, where);
        if (report) report->add(std::move(entry));
    }

    void note(Worksheet& sheet, const char* outcome) {
        if (report) report->add({fileLabel, sheet.Name(), outcome});
    }

    // The copy with the options beyond the form.
    void appendAdvanced(Worksheet& sheet, const Range& used, jobs::ReportEntry entry,
                        const fs::path& file) {
        jobs::AppendResult r = advanced->append(sheet, used, fileLabel, sheet.Name());
        if (r.filterLeft)
            leftBehind.sheet("筛选", jobs::printable(file.string()) + " [" + sheet.Name() + "]");
        entry.rows = r.rows;
        entry.headerRowsDropped = r.headerRowsDropped;
        entry.outcome = jobs::kOutcomeMerged;
        entry.note = jobs::appendNote(r);
        for (const std::string& name : r.outputSheets)
            entry.outputSheet += (entry.outputSheet.empty() ? "" : ", ") + name;
        switch (r.copy) {
            case jobs::BlockCopy::Copied:
            case jobs::BlockCopy::Nothing:
                break;
            case jobs::BlockCopy::TooBig:
                ++notFitted;
                --sheetCount;
                entry.outcome = jobs::kOutcomeTooBig;
                failureText += jobs::printable(file.string()) + " [" +
                               jobs::printable(sheet.Name()) + "] " + jobs::printable(r.reason) +
                               "\n";
                break;
            case jobs::BlockCopy::Failed:
                --sheetCount;
                entry.outcome = jobs::outcomeFailed(r.reason);
                failureText += jobs::printable(file.string()) + " [" +
                               jobs::printable(sheet.Name()) + "] " + jobs::printable(r.reason) +
                               "\n";
                break;
        }
        if (report) report->add(std::move(entry));
    }
};

}  // namespace

void FilesToOneSheetJob(const std::string& path, const JobOptions& options, JobHost& host) {
    const int64_t start = automation::currentSeconds();
    std::vector<std::string> skipped;
    const std::vector<fs::path> files = jobs::spreadsheetFilesIn(path, &skipped);
    const jobs::SourceFiles sources(files);
    if (jobs::refuseSourceAsOutput(host, sources, options.saveAsXls)) return;

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
    jobs::Report report(options);
    run.report = &report;
    report.watch(session.application().References(), run.leftBehind);
    session.application().MergeReferences(true);
    const jobs::AppendSettings advanced = jobs::appendSettings(
        options, options.saveAsXls, options.headerRowsOnce, options.headerRowCount);
    if (advanced.any()) run.advanced.emplace(*output, advanced);

    std::string& failureText = run.failureText;
    for (const auto& line : skipped) failureText += line + "\n";
    int workbookCount = 0, unreadable = 0;
    const int total = int(files.size());
    host.progress(0, total);
    for (int n = 0; n < total && !host.cancelRequested(); ++n) {
        const fs::path& file = files[size_t(n)];
        host.text(jobs::printable(file.string()));
        auto opened = books->Open(file);
        if (!opened.ok() && books->ReadsStopped()) break;  // stopped while reading it
        // The next workbooks are read beside this one's work (two at a time when small).
        for (int k = n + 1; k < total && k <= n + 2; ++k) books->Prefetch(files[size_t(k)]);
        run.fileLabel = jobs::relativeLabel(file, path);
        if (!opened.ok()) {
            failureText += jobs::unopenedLine(file, opened.message()) + "\n";
            ++unreadable;
            report.add({run.fileLabel, "", jobs::outcomeFailed(opened.message())});
            host.progress(n + 1, total);
            continue;
        }
        Workbook* source = opened.value();
        ++workbookCount;
        report.opened(source->model());
        failureText += jobs::readNoteLines(file, source->model());
        const int sheets = options.onlyFirstSheet ? 1 : source->Sheets().Count();
        for (int k = 1; k <= sheets && !host.cancelRequested(); ++k)
            run.mergeWorksheet(*source, k, file);
        (void)source->Close(false);
        report.copiedLast();  // what settled as it closed (references waiting for its blocks)
        host.progress(n + 1, total);
    }

    if (host.cancelRequested()) {
        (void)target->Close(false);
        host.text(std::string(jobs::kCancelled));
        return;
    }
    jobs::FailList failList(host, jobs::failListPath(path, options.failListPath));
    if (!options.dryRun) failList.write(failureText);
    if (run.sheetCount == 0) {
        (void)target->Close(false);
        host.text(jobs::nothingMergedText(total, unreadable));
        failList.show();
        report.finish(host, {});
        if (options.dryRun) host.text(jobs::kDryRunDone);
        return;
    }
    if (!options.saveAsXls) target->NoteUnlinkedReferences();
    host.text("成功合并" + std::to_string(workbookCount) + "个工作簿的" +
              std::to_string(run.sheetCount) + "个sheet到一个工作簿。" +
              automation::elapsedTimeText(start) +
              jobs::unopenedNote(unreadable, failList.writtenName()) +
              jobs::notFittedNote(run.notFitted) +
              jobs::continuationNote(run.advanced ? run.advanced->continuationSheets() : 0) +
              session.referencesNote());
    if (options.saveAsXls) run.leftBehind.inXls(*target);
    if (std::string names = session.namesNote(); !names.empty()) host.text(names);
    if (std::string left = run.leftBehind.text(); !left.empty()) host.text(left);
    if (options.dryRun) {
        (void)target->Close(false);
        report.finish(host, jobs::proposedName("FileMerge", options.saveAsXls));
        host.text(std::string(jobs::kDryRunDone));
        return;
    }
    const jobs::SaveResult saved =
        jobs::askAndSave(host, *target, "FileMerge", options.saveAsXls, sources);
    (void)target->Close(false);
    failList.show();
    report.finish(host, jobs::savedPath(saved));
}

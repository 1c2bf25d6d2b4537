// "合并成多个Sheet": every workbook of a folder and its subfolders into one workbook, one sheet
// per source worksheet, or appended to the sheet of the same name.
#include <algorithm>
#include <filesystem>
#include <string>
#include <unordered_map>
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

struct FileMergeRun {
    const JobOptions& options;
    Workbook* target = nullptr;
    int workbookCount = 0;
    int sheetCount = 0;
    int insertPosition = 1;  // 1-based; the placeholder stays behind the copies
    int notFitted = 0;
    int unreadable = 0;
    std::string failureText{};
    jobs::LeftBehind leftBehind{};
    // Target sheets appended to so far, with their used ranges.
    std::unordered_map<Worksheet*, jobs::GrowingSheet> appended{};
    // Options beyond the form (align, source columns, spill) for same-name sheets.
    jobs::AppendSettings advanced{};
    std::unordered_map<Worksheet*, jobs::AppendTarget> advancedTargets{};
    jobs::Report* report = nullptr;
    std::string fileLabel{};

    int continuationSheets() const {
        int n = 0;
        for (const auto& [sheet, t] : advancedTargets) n += t.continuationSheets();
        return n;
    }

    void note(const std::string& sheet, std::string outcome, std::string output = {},
              uint64_t rows = 0) {
        if (report)
            report->add({fileLabel, sheet, std::move(outcome), rows, 0, 0, std::move(output)});
    }

    // A same-name sheet with the options beyond the form: the first one becomes an output
    // sheet (a copy of the whole sheet, or with source columns an empty sheet it is appended
    // to), later ones are appended to it.
    void appendAdvanced(Worksheet& source, Range used, Worksheet* sameName,
                        const std::string& file) {
        jobs::ReportEntry entry{fileLabel, source.Name()};
        const uint32_t rowsBefore = used.valid() ? used.RowCount() : 0;
        if (options.deleteEmptyKeyRows)
            (void)automation::removeEmptyKeyRows(source, uint32_t(options.keyColumn));
        const uint32_t rowsAfter = used.valid() ? used.RowCount() : 0;
        entry.emptyKeyRowsRemoved = rowsBefore > rowsAfter ? rowsBefore - rowsAfter : 0;
        jobs::AppendTarget* dest = nullptr;
        if (sameName) {
            auto it = advancedTargets.find(sameName);
            if (it == advancedTargets.end())
                it = advancedTargets
                         .emplace(sameName, jobs::AppendTarget::adopt(*sameName, advanced))
                         .first;
            dest = &it->second;
        } else if (!advanced.sourceColumns &&
                   !(advanced.spill && used.valid() && used.RowCount() > advanced.rowLimit)) {
            Worksheet* copy = copyAsNewSheet(source, file);
            if (!copy) return note(source.Name(), jobs::outcomeFailed("无法复制工作表"));
            advancedTargets.emplace(copy, jobs::AppendTarget::adopt(*copy, advanced));
            entry.outcome = jobs::kOutcomeMerged;
            entry.rows = used.valid() ? used.RowCount() : 0;
            entry.outputSheet = copy->Name();
            if (report) report->add(std::move(entry));
            return;
        } else {
            Worksheet* sheet = newSheet(source.Name());
            if (!sheet) {
                --sheetCount;
                failureText +=
                    file + " [" + jobs::printable(source.Name()) + "] 无法新建工作表。\n";
                return note(source.Name(), jobs::outcomeFailed("无法新建工作表"));
            }
            dest =
                &advancedTargets.emplace(sheet, jobs::AppendTarget(*sheet, advanced)).first->second;
        }
        jobs::AppendResult r = dest->append(source, used, fileLabel, source.Name());
        if (r.filterLeft) leftBehind.sheet("筛选", file + " [" + source.Name() + "]");
        leftBehind.cellsOf(source, file + " [" + source.Name() + "]");  // once copied
        entry.rows = r.rows;
        entry.headerRowsDropped = r.headerRowsDropped;
        entry.outcome = jobs::kOutcomeMerged;
        entry.note = jobs::appendNote(r);
        for (const std::string& name : r.outputSheets)
            entry.outputSheet += (entry.outputSheet.empty() ? "" : ", ") + name;
        if (r.copy == jobs::BlockCopy::TooBig || r.copy == jobs::BlockCopy::Failed) {
            if (r.copy == jobs::BlockCopy::TooBig) ++notFitted;
            --sheetCount;
            failureText += file + " [" + jobs::printable(source.Name()) + "] " +
                           jobs::printable(r.reason) + "\n";
            entry.outcome = r.copy == jobs::BlockCopy::TooBig ? std::string(jobs::kOutcomeTooBig)
                                                              : jobs::outcomeFailed(r.reason);
        }
        if (report) report->add(std::move(entry));
    }

    // An empty worksheet named `name` at the insertion position.
    Worksheet* newSheet(const std::string& name) {
        Worksheet* before = target->Sheets().Item(insertPosition);
        if (!before || !before->Select().ok()) return nullptr;
        Worksheet* sheet = target->Sheets().Add();
        if (!sheet) return nullptr;
        (void)sheet->SetName(target->model().uniqueSheetName(name));
        ++insertPosition;
        return sheet;
    }

    // Appends the source worksheet below the used range of the target sheet of the same name.
    void append(Worksheet& source, Range used, Worksheet& sameName, const std::string& file) {
        jobs::ReportEntry entry{fileLabel, source.Name()};
        if (options.headerRowsOnce) {
            used = automation::removeHeaderRows(source, options.headerRowCount);
            entry.headerRowsDropped = std::max(options.headerRowCount, 0);
        }
        const uint32_t rowsBefore = used.valid() ? used.RowCount() : 0;
        if (options.deleteEmptyKeyRows)
            (void)automation::removeEmptyKeyRows(source, uint32_t(options.keyColumn));
        const uint32_t rowsAfter = used.valid() ? used.RowCount() : 0;
        entry.emptyKeyRowsRemoved = rowsBefore > rowsAfter ? rowsBefore - rowsAfter : 0;
        entry.outcome = jobs::kOutcomeMerged;
        entry.rows = rowsAfter;
        entry.outputSheet = sameName.Name();
        jobs::GrowingSheet& dest = appended.try_emplace(&sameName, sameName).first->second;
        std::string reason;
        const jobs::BlockCopy copied =
            dest.copy(used, uint64_t(dest.Row()) + dest.RowCount(), dest.Column(), &reason);
        if (dest.takeFilterLeft()) leftBehind.sheet("筛选", file + " [" + source.Name() + "]");
        switch (copied) {
            case jobs::BlockCopy::Copied:
            case jobs::BlockCopy::Nothing:
                break;
            case jobs::BlockCopy::TooBig:
                ++notFitted;
                --sheetCount;
                failureText += file + " [" + jobs::printable(source.Name()) + "] " +
                               jobs::printable(reason) + "\n";
                entry.outcome = jobs::kOutcomeTooBig;
                entry.outputSheet.clear();
                break;
            case jobs::BlockCopy::Failed:
                --sheetCount;
                failureText += file + " [" + jobs::printable(source.Name()) + "] " +
                               jobs::printable(reason) + "\n";
                entry.outcome = jobs::outcomeFailed(reason);
                entry.outputSheet.clear();
                break;
        }
        leftBehind.cellsOf(source, file + " [" + source.Name() + "]");  // once copied
        if (report) report->add(std::move(entry));
    }

    // Copies the worksheet before the sheet at the insertion position; gives the copy.
    Worksheet* copyAsNewSheet(Worksheet& source, const std::string& file) {
        Worksheet* before = target->Sheets().Item(insertPosition);
        auto copy =
            before ? source.Copy(*before) : ss::Result<Worksheet*>(ss::fail("目标工作表不存在。"));
        if (copy.ok()) {
            ++insertPosition;
            leftBehind.wholeSheet(source, file + " [" + source.Name() + "]");
            return copy.value();
        }
        --sheetCount;
        failureText += file + " [" + jobs::printable(source.Name()) + "] " +
                       jobs::printable(copy.message()) + "\n";
        return nullptr;
    }

    void copyAndNote(Worksheet& source, const std::string& file, const Range& used) {
        const uint64_t rows = used.valid() ? used.RowCount() : 0;
        const std::string name = source.Name();
        if (Worksheet* copy = copyAsNewSheet(source, file))
            note(name, jobs::kOutcomeMerged, copy->Name(), rows);
        else
            note(name, jobs::outcomeFailed("无法复制工作表"));
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
                return note(sheet->Name(), jobs::kOutcomeChartSheetXls);
            }
            if (options.fileNameAsSheetName) (void)sheet->SetName(jobs::fileBaseName(file));
            ++sheetCount;
            const std::string name = sheet->Name();
            if (Worksheet* copy = copyAsNewSheet(*sheet, jobs::printable(file.string())))
                note(name, jobs::kOutcomeMerged, copy->Name());
            else
                note(name, jobs::outcomeFailed("无法复制工作表"));
            return;
        }
        // The old macro sheets are merged with their cells, as worksheets.
        const bool macro = sheet->model().kind == ss::SheetKind::Macrosheet;
        if (!sheet->isWorksheet() && !macro) return;
        automation::UsedRangeFacts facts = automation::usedRangeFacts(*sheet);
        if (options.onlyNamedSheet && sheet->Name() != options.namedSheet)
            return note(sheet->Name(), jobs::kOutcomeNotNamed);
        if (options.skipEmptySheets && automation::isEmptyWorksheet(facts))
            return note(sheet->Name(), jobs::kOutcomeEmpty);
        if (options.fileNameAsSheetName) (void)sheet->SetName(jobs::fileBaseName(file));
        if (report) report->inspect(*sheet, file);
        ++sheetCount;
        const std::string fileText = jobs::printable(file.string());
        if (macro)
            leftBehind.sheet(jobs::kMacroSheetAsWorksheet, fileText + " [" + sheet->Name() + "]");
        if (!options.mergeSameNameSheets || macro) {
            copyAndNote(*sheet, fileText, facts.usedRange);
            return;
        }
        // The target's names are unique without regard to case: the one sheet the index finds
        // is the only candidate for a name that matches exactly.
        const std::string name = sheet->Name();
        const ss::Worksheet* found = target->model().sheetByName(name);
        Worksheet* candidate = found && found->name == name
                                   ? target->Sheets().Item(target->model().indexOf(found) + 1)
                                   : nullptr;
        if (candidate && candidate->isWorksheet()) {
            if (advanced.any()) return appendAdvanced(*sheet, facts.usedRange, candidate, fileText);
            append(*sheet, facts.usedRange, *candidate, fileText);
            return;
        }
        if (advanced.any()) return appendAdvanced(*sheet, facts.usedRange, nullptr, fileText);
        if (options.deleteEmptyKeyRows)
            (void)automation::removeEmptyKeyRows(*sheet, uint32_t(options.keyColumn));
        copyAndNote(*sheet, fileText, facts.usedRange);
    }
};

}  // namespace

void ExcelFileMergeJob(const std::string& path, const JobOptions& options, JobHost& host) {
    const int64_t start = automation::currentSeconds();
    std::vector<std::string> skipped;
    const std::vector<fs::path> files = jobs::spreadsheetFilesIn(path, &skipped);
    const jobs::SourceFiles sources(files);
    if (jobs::refuseSourceAsOutput(host, sources, options.saveAsXls)) return;

    jobs::Session session(host, options);
    automation::Workbooks* books = session.workbooks();
    if (!books) return;

    FileMergeRun run{options};
    for (const auto& line : skipped) run.failureText += line + "\n";
    jobs::Report report(options);
    run.report = &report;
    report.watch(session.application().References(), run.leftBehind);
    session.application().MergeReferences(true);
    run.advanced = jobs::appendSettings(options, options.saveAsXls, options.headerRowsOnce,
                                        options.headerRowCount);
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
        host.text(jobs::printable(file.string()));
        auto opened = books->Open(file);
        if (!opened.ok() && books->ReadsStopped()) break;  // stopped while reading it
        // The next workbooks are read beside this one's work (two at a time when small).
        for (int k = n + 1; k < total && k <= n + 2; ++k) books->Prefetch(files[size_t(k)]);
        run.fileLabel = jobs::relativeLabel(file, path);
        if (!opened.ok()) {
            run.failureText += jobs::unopenedLine(file, opened.message()) + "\n";
            ++run.unreadable;
            run.note("", jobs::outcomeFailed(opened.message()));
            host.progress(n + 1, total);
            continue;
        }
        Workbook* source = opened.value();
        ++run.workbookCount;
        report.opened(source->model());
        run.failureText += jobs::readNoteLines(file, source->model());
        const int sheets = options.onlyFirstSheet ? 1 : source->Sheets().Count();
        // A stop asked for in a workbook of thousands of sheets takes effect at the next sheet.
        for (int k = 1; k <= sheets && !host.cancelRequested(); ++k)
            run.mergeWorksheet(*source, k, file);
        if (Worksheet* first = run.target->Sheets().Item(1)) (void)first->Select();
        (void)source->Close(false);
        report.copiedLast();  // what settled as it closed (references waiting for its blocks)
        host.progress(n + 1, total);
    }

    if (host.cancelRequested()) {
        (void)run.target->Close(false);
        host.text(std::string(jobs::kCancelled));
        return;
    }
    jobs::FailList failList(host, jobs::failListPath(path, options.failListPath));
    if (!options.dryRun) failList.write(run.failureText);
    if (run.sheetCount == 0) {
        (void)run.target->Close(false);
        host.text(jobs::nothingMergedText(total, run.unreadable));
        failList.show();
        report.finish(host, {});
        if (options.dryRun) host.text(jobs::kDryRunDone);
        return;
    }
    (void)placeholder->Delete();  // refused when it is the only sheet: then it is kept
    if (!options.saveAsXls) run.target->NoteUnlinkedReferences();
    host.text("成功合并" + std::to_string(run.workbookCount) + "个工作簿的" +
              std::to_string(run.sheetCount) + "个sheet到一个工作簿。" +
              automation::elapsedTimeText(start) +
              jobs::unopenedNote(run.unreadable, failList.writtenName()) +
              jobs::notFittedNote(run.notFitted) +
              jobs::continuationNote(run.continuationSheets()) + session.referencesNote());
    if (options.saveAsXls) run.leftBehind.inXls(*run.target);
    if (std::string names = session.namesNote(); !names.empty()) host.text(names);
    if (std::string left = run.leftBehind.text(); !left.empty()) host.text(left);
    if (options.dryRun) {
        (void)run.target->Close(false);
        report.finish(host, jobs::proposedName("FileMerge", options.saveAsXls));
        host.text(jobs::kDryRunDone);
        return;
    }
    const jobs::SaveResult saved =
        jobs::askAndSave(host, *run.target, "FileMerge", options.saveAsXls, sources);
    (void)run.target->Close(false);
    failList.show();
    report.finish(host, jobs::savedPath(saved));
}

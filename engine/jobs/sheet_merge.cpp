// "汇总": the used ranges of the worksheets of one workbook, one below (or beside) the other, in
// the first sheet of a new workbook.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <random>
#include <string>
#include <system_error>

#include "append.h"
#include "job_texts.h"
#include "session.h"
#include "outputs.h"
#include "save_question.h"
#include "block_copy.h"
#include "jobs.h"
#include "report.h"
#include "left_behind.h"
#include "sheet_routines.h"
#include "spreadsheet/io/protection.h"

namespace fs = std::filesystem;
using automation::Range;
using automation::Workbook;
using automation::Worksheet;

namespace {

// A password for a temporary copy: 32 random letters and digits.
std::string copyPassword() {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device rd;
    std::string out;
    for (int i = 0; i < 32; ++i) out += kChars[rd() % (sizeof kChars - 1)];
    return out;
}

// Opens the workbook to merge. With the organise step it is saved once in the normal format
// under the temporary path and that copy is merged instead; when the copy cannot be made or
// opened the workbook itself is merged (it is only read either way).
Workbook* openSource(automation::Workbooks& books, const std::string& nativePath,
                     const std::string& tempPath, bool organise, JobHost& host,
                     std::string& failure) {
    auto opened = books.Open(nativePath);
    if (!opened.ok()) {
        if (books.ReadsStopped()) return nullptr;  // the job ends as stopped
        failure = opened.message();
        host.text(jobs::printable(opened.message()));
        return nullptr;
    }
    Workbook* source = opened.value();
    jobs::reportReadNotes(host, nativePath, source->model());
    if (!organise) return source;
    host.text("正在整理数据...");
    // The organised copy holds the macro sheets as worksheets: they stay macro sheets here.
    std::set<std::string> macroSheets;
    for (const auto& ws : source->model().sheets)
        if (ws->kind == ss::SheetKind::Macrosheet) macroSheets.insert(ws->name);
    // The copy of a workbook with an open password is saved with one too (the outputs' or one
    // of its own), so that its content never lies on disk in plain; opening it tries that one.
    automation::Application& app = source->Parent();
    const std::string outputPassword = app.SavePassword();
    struct Restore {
        automation::Application& app;
        const std::string& password;
        ~Restore() { app.SavePassword(password); }
    } restore{app, outputPassword};
    if (outputPassword.empty() && ss::hasOpenPassword(nativePath)) app.SavePassword(copyPassword());
    if (!source->SaveAs(tempPath, automation::kFormatNormal).ok()) return source;
    (void)source->Close(false);
    auto copy = books.Open(tempPath);
    if (copy.ok()) {
        for (auto& ws : copy.value()->model().sheets)
            if (ws->kind == ss::SheetKind::Worksheet && macroSheets.count(ws->name))
                ws->kind = ss::SheetKind::Macrosheet;
        return copy.value();
    }
    auto again = books.Open(nativePath);
    if (again.ok()) return again.value();
    failure = again.message();
    host.text(jobs::printable(again.message()));
    return nullptr;
}

}  // namespace

void ExcelSheetMergeJob(const std::string& path, const JobOptions& options, JobHost& host) {
    const int64_t start = automation::currentSeconds();
    const std::string tag = automation::timeTag();
    const std::string nativePath = path;
    // The organised copy never takes the name of a file that is already there.
    const std::string tempPath = jobs::freeNameBeside(nativePath + tag).string();
    auto removeTemp = [&] {
        std::error_code ec;
        fs::remove(tempPath, ec);
    };

    const jobs::SourceFiles sources({fs::path(nativePath)});
    if (jobs::refuseSourceAsOutput(host, sources, options.sheetMergeSaveAsXls)) return;

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
    jobs::Report report(options);
    const std::string fileLabel = fs::path(nativePath).filename().string();
    // Options beyond the form, for the merge below each other.
    std::optional<jobs::AppendTarget> advanced;
    const jobs::AppendSettings advancedSettings =
        jobs::appendSettings(options, options.sheetMergeSaveAsXls, options.sheetMergeHeaderRowsOnce,
                             options.sheetMergeHeaderRowCount);
    if (options.sheetMergeVertical && advancedSettings.any())
        advanced.emplace(targetSheet.sheet(), advancedSettings);

    int merged = 0;
    int notFitted = 0;
    uint64_t offset = 0;  // 0 until the first block is in the target
    bool cancelled = false;
    jobs::LeftBehind leftBehind;
    report.watch(session.application().References(), leftBehind);
    session.application().MergeReferences(true);
    const bool isWorkbook =
        automation::isSpreadsheetFile(nativePath, automation::FileTestVariant::WorkbookJobs);
    if (!isWorkbook) host.text("文件格式不正确,或文件不存在!");
    if (isWorkbook) {
        // A dry run writes no organised copy either: it reads the workbook itself.
        std::string failure;
        Workbook* source = openSource(*books, nativePath, tempPath,
                                      options.sheetMergeOrganise && !options.dryRun, host, failure);
        if (!source && !books->ReadsStopped())
            report.add({fileLabel, "", jobs::outcomeFailed(failure)});
        if (source) report.opened(source->model());
        const int count = source ? source->Sheets().Count() : 0;
        host.progress(0, count);
        for (int i = 1; i <= count; ++i) {
            if (host.cancelRequested()) {
                cancelled = true;
                break;
            }
            if (Worksheet* any = source->Sheets().Item(i);
                any && any->model().kind == ss::SheetKind::Chartsheet) {
                leftBehind.sheet("图表工作表", "[" + any->Name() + "]");  // no cells to copy
                report.add({fileLabel, any->Name(), jobs::kOutcomeChartSheet});
            } else if (any && any->model().kind == ss::SheetKind::Macrosheet) {
                // Macro formulas are no rows of a table: named, not merged.
                leftBehind.sheet("宏表", "[" + any->Name() + "]");
                report.add({fileLabel, any->Name(), jobs::kOutcomeMacroSheet});
            }
            Worksheet* sheet = source->WorkSheets(i);
            if (!sheet) continue;  // a chart or macro sheet's position among the sheets
            host.text(jobs::printable(sheet->Name()));
            automation::UsedRangeFacts facts = automation::usedRangeFacts(*sheet);
            if (automation::hasNoCells(facts)) {
                // No rows to add; what the sheet holds beside cells is named.
                const bool holds = !automation::isEmptyWorksheet(facts);
                if (holds) leftBehind.heldBy(*sheet, "[" + sheet->Name() + "]");
                report.add({fileLabel, sheet->Name(),
                            holds ? jobs::kOutcomeNoCells : jobs::kOutcomeEmpty});
                host.progress(i, count);
                continue;
            }
            Range used = facts.usedRange;
            jobs::ReportEntry entry{fileLabel, sheet->Name()};
            if (advanced) {
                const uint32_t before = used.RowCount();
                if (options.sheetMergeDeleteEmptyKeyRows)
                    (void)automation::removeEmptyKeyRows(*sheet,
                                                         uint32_t(options.sheetMergeKeyColumn));
                entry.emptyKeyRowsRemoved = before - std::min(before, used.RowCount());
                jobs::AppendResult r = advanced->append(*sheet, used, fileLabel, sheet->Name());
                if (r.filterLeft) leftBehind.sheet("筛选", "[" + sheet->Name() + "]");
                leftBehind.cellsOf(*sheet, "[" + sheet->Name() + "]");
                entry.rows = r.rows;
                entry.headerRowsDropped = r.headerRowsDropped;
                entry.note = jobs::appendNote(r);
                for (const std::string& name : r.outputSheets)
                    entry.outputSheet += (entry.outputSheet.empty() ? "" : ", ") + name;
                entry.outcome = jobs::kOutcomeMerged;
                if (r.copy == jobs::BlockCopy::Copied) ++merged;
                if (r.copy == jobs::BlockCopy::TooBig) {
                    ++notFitted;
                    entry.outcome = jobs::kOutcomeTooBig;
                } else if (r.copy == jobs::BlockCopy::Failed) {
                    entry.outcome = jobs::outcomeFailed(r.reason);
                }
                report.add(std::move(entry));
                host.progress(i, count);
                continue;
            }
            // By position: a skipped empty worksheet 1 still keeps its header, every later
            // worksheet loses its top rows.
            if (options.sheetMergeHeaderRowsOnce && i != 1 &&
                options.sheetMergeHeaderRowCount >= 1) {
                used = automation::removeHeaderRows(*sheet, options.sheetMergeHeaderRowCount);
                entry.headerRowsDropped = options.sheetMergeHeaderRowCount;
            }
            const uint32_t before = used.valid() ? used.RowCount() : 0;
            if (options.sheetMergeDeleteEmptyKeyRows)
                (void)automation::removeEmptyKeyRows(*sheet, uint32_t(options.sheetMergeKeyColumn));
            const uint32_t after = used.valid() ? used.RowCount() : 0;
            entry.emptyKeyRowsRemoved = before - std::min(before, after);
            entry.rows = after;
            entry.outcome = jobs::kOutcomeMerged;
            entry.outputSheet = targetSheet.sheet().Name();

            uint64_t row = 1, column = 1;
            if (options.sheetMergeVertical)
                row = uint64_t(targetSheet.Row()) + targetSheet.RowCount() - 1 + offset;
            else
                column = uint64_t(targetSheet.Column()) + targetSheet.ColumnCount() - 1 + offset;
            std::string reason;
            const jobs::BlockCopy copied = targetSheet.copy(used, row, column, &reason);
            if (targetSheet.takeFilterLeft()) leftBehind.sheet("筛选", "[" + sheet->Name() + "]");
            switch (copied) {
                case jobs::BlockCopy::Copied:
                    ++merged;
                    // A block of blank cells leaves the target empty: the next one starts at A1.
                    offset = targetSheet.empty() ? 0 : 1;
                    break;
                case jobs::BlockCopy::TooBig:
                    ++notFitted;
                    entry.outcome = jobs::kOutcomeTooBig;
                    entry.outputSheet.clear();
                    break;
                case jobs::BlockCopy::Nothing:
                    break;
                case jobs::BlockCopy::Failed:
                    entry.outcome = jobs::outcomeFailed(reason);
                    entry.outputSheet.clear();
                    break;
            }
            leftBehind.cellsOf(*sheet, "[" + sheet->Name() + "]");
            report.add(std::move(entry));
            host.progress(i, count);
        }
        if (source) (void)source->Close(false);
        report.copiedLast();  // what settled as it closed (references waiting for its blocks)
    }

    if (cancelled || books->ReadsStopped() || host.cancelRequested()) {
        (void)target->Close(false);
        removeTemp();
        host.text(std::string(jobs::kCancelled));
        return;
    }
    if (merged == 0) {
        (void)target->Close(false);
        removeTemp();
        host.text("没有可汇总的内容：" +
                  std::string(notFitted ? "sheet超出表格行列上限" : "没有可读取的非空sheet") +
                  "，未保存任何文件。");
        report.finish(host, {});
        if (options.dryRun) host.text(jobs::kDryRunDone);
        return;
    }
    if (!options.sheetMergeSaveAsXls) target->NoteUnlinkedReferences();
    host.text("成功汇总" + std::to_string(merged) + "个sheet," +
              automation::elapsedTimeText(start) + jobs::notFittedNote(notFitted) +
              jobs::continuationNote(advanced ? advanced->continuationSheets() : 0) +
              session.referencesNote());
    if (options.sheetMergeSaveAsXls) leftBehind.inXls(*target);
    if (std::string names = session.namesNote(); !names.empty()) host.text(names);
    if (std::string left = leftBehind.text(); !left.empty()) host.text(left);
    if (options.dryRun) {
        (void)target->Close(false);
        report.finish(host, jobs::proposedName("SheetsMerge", options.sheetMergeSaveAsXls));
        host.text(jobs::kDryRunDone);
        return;
    }
    const jobs::SaveResult saved =
        jobs::askAndSave(host, *target, "SheetsMerge", options.sheetMergeSaveAsXls, sources);
    (void)target->Close(false);
    removeTemp();
    report.finish(host, jobs::savedPath(saved));
}

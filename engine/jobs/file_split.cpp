// Saves every non-empty worksheet of one workbook as a workbook of its own, in a new folder
// beside the source named after it and the time of day.
#include <filesystem>

#include "job_texts.h"
#include "session.h"
#include "outputs.h"
#include "jobs.h"
#include "left_behind.h"
#include "report.h"
#include "sheet_routines.h"
#include "split_common.h"

void ExcelFileSplitJob(const std::string& path, const JobOptions& options, JobHost& host) {
    using namespace automation;
    using namespace splitjob;

    jobs::Session session(host, options);
    if (!session.workbooks()) return;
    automation::Application& app = session.application();
    automation::Workbooks& books = *session.workbooks();

    const std::string& nativePath = path;
    const bool xlsx = options.splitAsXlsx;
    const std::string extension = xlsx ? ".xlsx" : ".xls";
    const int formatCode = xlsx ? kFormatXlsx : kFormatXls;
    jobs::Report report(options);
    const std::string fileLabel = std::filesystem::path(nativePath).filename().string();

    if (!isSpreadsheetFile(nativePath, FileTestVariant::WorkbookJobs)) {
        host.text("文件格式不正确,或文件不存在!");
        return;
    }
    auto opened = books.Open(nativePath);
    if (!opened) {
        if (books.ReadsStopped()) {  // stopped while reading it
            host.text(std::string(jobs::kCancelled));
            return;
        }
        host.text(jobs::printable(opened.message()));
        report.add({fileLabel, "", jobs::outcomeFailed(opened.message())});
        report.finish(host, {});
        if (options.dryRun) host.text(jobs::kDryRunDone);
        return;
    }
    automation::Workbook* source = opened.value();
    jobs::reportReadNotes(host, nativePath, source->model());
    report.opened(source->model());

    // A folder of this run beside the source, named after it and the time of day; when that
    // name is taken (by anything, a link included) the next free "name (2)" is made instead.
    // A dry run only names the folder it would make.
    std::string wanted = folderOf(nativePath);
    if (wanted.back() != '/') wanted += '/';
    wanted += baseNameToFirstDot(nativePath) + "拆分_" + timeTag();
    std::string folder;
    if (options.dryRun) {
        folder = jobs::newFolderName(wanted).string();
    } else {
        auto made = jobs::makeNewFolder(wanted);
        if (!made) {
            (void)source->Close(false);
            host.text(made.message());
            return;
        }
        folder = made.value().string();
    }
    jobs::OutputPlace outputs(host, jobs::SourceFiles({std::filesystem::path(nativePath)}));

    int splitCount = 0;
    std::vector<std::string> failed;
    auto resultText = [&] {
        return "成功拆分" + num(splitCount) + "个sheet 到 " + jobs::printable(folder);
    };

    // Writing whole sheets is nearly all of the work: two are written while the next is copied.
    outputs.writeAhead(2);
    UniqueNames fileNames;
    jobs::LeftBehind leftBehind;
    report.watch(session.application().References(), leftBehind);
    const int count = source->Sheets().Count();
    for (int i = 1; i <= count && !outputs.stopped(); ++i) {
        if (host.cancelRequested()) {
            (void)source->Close(false);
            host.text(std::string(jobs::kCancelled));
            return;
        }
        // Chart sheets are split like worksheets (an .xls output cannot hold one: it is named
        // among what was left behind).
        automation::Worksheet* sheet = source->Sheets().Item(i);
        const bool chart = sheet && sheet->model().kind == ss::SheetKind::Chartsheet;
        if (chart && !xlsx) {
            leftBehind.sheet("图表工作表", "[" + sheet->Name() + "]");
            report.add({fileLabel, sheet->Name(), jobs::kOutcomeChartSheetXls});
            sheet = nullptr;
        } else if (sheet && !chart && !sheet->isWorksheet() &&
                   sheet->model().kind != ss::SheetKind::Macrosheet) {
            sheet = nullptr;  // the old macro sheets are split with their cells, as worksheets
        }
        if (sheet) {
            host.text(jobs::printable(sheet->Name()));
            UsedRangeFacts facts = usedRangeFacts(*sheet);
            if (!chart && isEmptyWorksheet(facts)) {
                report.add({fileLabel, sheet->Name(), jobs::kOutcomeEmpty});
            } else {
                leftBehind.wholeSheet(*sheet, "[" + sheet->Name() + "]");
                if (sheet->model().kind == ss::SheetKind::Macrosheet)
                    leftBehind.sheet(jobs::kMacroSheetAsWorksheet, "[" + sheet->Name() + "]");
                if (!xlsx) leftBehind.inXls(*sheet, "[" + sheet->Name() + "]");
                std::string name = fileNames.take(removeForbiddenNameChars(sheet->Name()));
                std::string target = folder + "/" + name + extension;
                report.add({fileLabel, sheet->Name(), jobs::outcomeSplit(1),
                            chart ? 0 : facts.rowCount, 0, 0, name + extension});
                if (options.dryRun) {
                    ++splitCount;
                } else {
                    // Copying a sheet costs little: it waits for a writer first, so that no
                    // more outputs are held than are being written.
                    outputs.makeRoom();
                    if (auto copy = sheet->Copy(); !copy) {
                        outputs.settle();  // failures are listed in the order of the outputs
                        failed.push_back(jobs::printable(name + extension));
                        report.failLast(copy.message());
                    } else {
                        report.copiedLast();
                        // Written while the next sheet is copied.
                        const size_t entry = report.entries().size() - 1;
                        outputs.saveInBackground(
                            *app.ActiveWorkBook(), target, formatCode,
                            jobs::splitOutputDone(outputs, report, entry, name + extension,
                                                  splitCount, failed));
                    }
                }
            }
        }
        host.progress(i, count);
    }
    outputs.settle();
    (void)source->Close(false);
    if (std::string left = leftBehind.text(); !left.empty()) host.text(left);
    host.text(outputs.withNotes(withFailures(resultText(), failed) + session.referencesNote()));
    report.finish(host, folder, folder + ".xlsx");
    if (options.dryRun) host.text(jobs::kDryRunDone);
}

// Saves every non-empty worksheet of one workbook as a workbook of its own, in a new folder
// beside the source named after it and the time of day.
#include <filesystem>
#include <system_error>

#include "job_common.h"
#include "jobs.h"
#include "report.h"
#include "sheet_routines.h"
#include "split_common.h"

void ExcelFileSplitJob(const std::string& path, const JobOptions& options, JobHost& host) {
    using namespace automation;
    using namespace splitjob;

    jobs::Session session(host);
    if (!session.workbooks()) return;
    automation::Application& app = session.application();
    automation::Workbooks& books = *session.workbooks();

    // The folder is made before the file test, so it exists even when nothing is split.
    const std::string& nativePath = path;
    std::string folder = folderOf(nativePath);
    if (folder.back() != '/') folder += '/';
    folder += baseNameToFirstDot(nativePath) + "拆分_" + timeTag();
    std::error_code ec;
    if (!options.dryRun) std::filesystem::create_directory(std::filesystem::path(folder), ec);
    jobs::Report report(options);
    const std::string fileLabel = std::filesystem::path(nativePath).filename().string();
    auto finish = [&] {
        report.finish(host, folder, folder + ".xlsx");
        if (options.dryRun) host.text(jobs::kDryRunDone);
    };

    const bool xlsx = options.splitAsXlsx;
    const std::string extension = xlsx ? ".xlsx" : ".xls";
    const int formatCode = xlsx ? kFormatXlsx : kFormatXls;

    int splitCount = 0;
    std::vector<std::string> failed;
    auto resultText = [&] { return "成功拆分" + num(splitCount) + "个sheet 到 " + folder; };

    if (!isSpreadsheetFile(nativePath, FileTestVariant::WorkbookJobs)) {
        host.text(resultText());
        return;
    }

    auto opened = books.Open(nativePath);
    if (!opened) {
        host.text(resultText() + " " + opened.message());
        report.add({fileLabel, "", jobs::outcomeFailed(opened.message())});
        finish();
        return;
    }
    automation::Workbook* source = opened.value();

    UniqueNames fileNames;
    const int count = source->Sheets().Count();
    for (int i = 1; i <= count; ++i) {
        if (host.cancelRequested()) {
            (void)source->Close(false);
            host.text(std::string(jobs::kCancelled));
            return;
        }
        // Chart sheets count among the sheets but are no worksheets: their positions give none.
        automation::Worksheet* sheet = source->WorkSheets(i);
        if (sheet) {
            host.text(sheet->Name());
            UsedRangeFacts facts = usedRangeFacts(*sheet);
            if (isEmptyWorksheet(facts)) {
                report.add({fileLabel, sheet->Name(), jobs::kOutcomeEmpty});
            } else {
                std::string name = fileNames.take(removeForbiddenNameChars(sheet->Name()));
                std::string target = folder + "/" + name + extension;
                report.add({fileLabel, sheet->Name(), jobs::outcomeSplit(1), facts.rowCount, 0, 0,
                            name + extension});
                if (options.dryRun) {
                    ++splitCount;
                } else if (auto copy = sheet->Copy(); !copy) {
                    failed.push_back(name + extension);
                    report.failLast(copy.message());
                } else {
                    automation::Workbook* book = app.ActiveWorkBook();
                    if (ss::Status saved = book->SaveAs(target, formatCode)) {
                        ++splitCount;
                    } else {
                        failed.push_back(name + extension);
                        report.failLast(saved.message());
                    }
                    (void)book->Close(false);
                }
            }
        }
        host.progress(i, count);
    }
    (void)source->Close(false);
    host.text(withFailures(resultText(), failed));
    finish();
}

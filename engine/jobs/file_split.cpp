// Saves every non-empty worksheet of one workbook as a workbook of its own, in a new folder
// beside the source named after it and the time of day.
#include <filesystem>
#include <system_error>

#include "job_common.h"
#include "jobs.h"
#include "left_behind.h"
#include "sheet_routines.h"
#include "split_common.h"

void ExcelFileSplitJob(const std::string& path, const JobOptions& options, JobHost& host) {
    using namespace automation;
    using namespace splitjob;

    jobs::Session session(host, options);
    if (!session.workbooks()) return;
    automation::Application& app = session.application();
    automation::Workbooks& books = *session.workbooks();

    // The folder is made before the file test, so it exists even when nothing is split.
    const std::string& nativePath = path;
    std::string folder = folderOf(nativePath);
    if (folder.back() != '/') folder += '/';
    folder += baseNameToFirstDot(nativePath) + "拆分_" + timeTag();
    std::error_code ec;
    std::filesystem::create_directory(std::filesystem::path(folder), ec);

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
        return;
    }
    automation::Workbook* source = opened.value();

    UniqueNames fileNames;
    jobs::LeftBehind leftBehind;
    const int count = source->Sheets().Count();
    for (int i = 1; i <= count; ++i) {
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
            sheet = nullptr;
        } else if (sheet && !chart && !sheet->isWorksheet()) {
            sheet = nullptr;
        }
        if (sheet) {
            host.text(sheet->Name());
            if (chart || !isEmptyWorksheet(usedRangeFacts(*sheet))) {
                leftBehind.wholeSheet(*sheet, "[" + sheet->Name() + "]");
                std::string name = fileNames.take(removeForbiddenNameChars(sheet->Name()));
                std::string target = folder + "/" + name + extension;
                auto copy = sheet->Copy();
                if (!copy) {
                    failed.push_back(name + extension);
                } else {
                    automation::Workbook* book = app.ActiveWorkBook();
                    if (book->SaveAs(target, formatCode))
                        ++splitCount;
                    else
                        failed.push_back(name + extension);
                    (void)book->Close(false);
                }
            }
        }
        host.progress(i, count);
    }
    (void)source->Close(false);
    host.text(withFailures(resultText(), failed) + session.referencesNote());
    if (std::string left = leftBehind.text(); !left.empty()) host.text(left);
}

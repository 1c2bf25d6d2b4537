// Cuts the rows of a workbook's first worksheet into consecutive blocks of a fixed number of rows,
// each saved as a workbook of its own with the header repeated at its top.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "block_copy.h"
#include "job_texts.h"
#include "session.h"
#include "outputs.h"
#include "jobs.h"
#include "report.h"
#include "left_behind.h"
#include "sheet_routines.h"
#include "split_common.h"

namespace {

constexpr const char* kRangeNotRecognised = "无法正确识别表格有效范围，请在[最后列号]中设置!";

}  // namespace

void TransformAverageJob(const std::string& path, const JobOptions& options, JobHost& host) {
    using namespace automation;
    using namespace splitjob;

    jobs::Session session(host, options);
    if (!session.workbooks()) return;
    automation::Application& app = session.application();
    automation::Workbooks& books = *session.workbooks();

    int splitCount = 0;
    std::vector<std::string> failed;
    auto resultText = [&] {
        return "成功拆分出" + num(splitCount) + "个excel文件! 如有多余空表,请手动删除。";
    };

    const std::string& nativePath = path;
    jobs::Report report(options);
    const std::string fileLabel = std::filesystem::path(nativePath).filename().string();
    if (!isSpreadsheetFile(nativePath, FileTestVariant::SplitJobs)) {
        host.text("文件格式不正确,或文件不存在!");
        return;
    }

    host.text(jobs::printable(nativePath) + " 文件扫描中...");
    auto opened = books.Open(nativePath);
    if (!opened) {
        if (books.ReadsStopped()) {  // stopped while reading it
            host.text(std::string(jobs::kCancelled));
            return;
        }
        host.text(jobs::printable(opened.message()));
        report.add({fileLabel, "", jobs::outcomeFailed(opened.message())});
        report.finish(host, options.splitSaveDir, options.splitSaveDir + "拆分.xlsx");
        if (options.dryRun) host.text(jobs::kDryRunDone);
        return;
    }
    automation::Workbook* source = opened.value();
    jobs::reportReadNotes(host, nativePath, source->model());
    report.opened(source->model());
    automation::Worksheet* sheet = source->WorkSheets(1);
    jobs::LeftBehind leftBehind;  // the pieces are copied as cells; named once they are
    report.watch(session.application().References(), leftBehind);
    if (!sheet) {
        (void)source->Close(false);
        host.text(resultText());
        return;
    }
    report.inspect(*sheet, nativePath);
    // A filter saved with the file would keep the rows it hides out of the block copies; each
    // output gets it back over its header and rows.
    const std::optional<ss::CellRange> filter = sheet->model().autoFilter;
    if (sheet->AutoFilterMode()) sheet->AutoFilterMode(false);
    bool filterCarried = false;
    const UsedRangeFacts facts = usedRangeFacts(*sheet);
    const int64_t r0 = facts.firstRow, c0 = facts.firstColumn;
    const int64_t lastRow = r0 + int64_t(facts.rowCount) - 1;

    const bool header = options.evenHeaderRows;
    const int64_t h = header ? options.evenHeaderRowCount : 0;
    const int64_t lastColumn =
        options.evenLastColumnSet ? options.evenLastColumn : c0 + int64_t(facts.columnCount) - 1;
    // Every range text runs from the first used column to the last column; one the sheet cannot
    // have (0, or beyond the last column of a sheet) names no range.
    auto rangeOf = [&](int64_t firstRow, int64_t lastRowOfRange) -> automation::Range {
        if (lastColumn < 1 || lastColumn > int64_t(ss::kXlsxMaxCols) || firstRow < 1 ||
            lastRowOfRange < 1 || lastRowOfRange > int64_t(ss::kXlsxMaxRows))
            return {};
        return sheet->Range(rangeText(uint32_t(firstRow), uint32_t(c0), uint32_t(lastRowOfRange),
                                      uint32_t(lastColumn)));
    };
    automation::Range headerRange = header ? rangeOf(r0, h) : rangeOf(r0, r0);
    if (!headerRange) {
        (void)source->Close(false);
        host.text(kRangeNotRecognised);
        return;
    }

    // Data rows run from the row below the header (from the first used row without one) through
    // the last used row, wherever the used range begins.
    const int64_t firstData = header ? h + 1 : r0;
    const int64_t perBook = std::max(options.rowsPerWorkbook, 1);
    const int64_t dataRows = std::max<int64_t>(lastRow - firstData + 1, 0);
    const int64_t blocks = (dataRows + perBook - 1) / perBook;
    // Each block goes right below the header, at its first row's own address in the first block.
    const std::string startCell = cellText(uint32_t(firstData), uint32_t(c0));

    std::string saveDir = options.splitSaveDir;
    if (!saveDir.empty() && saveDir.back() != '/') saveDir += '/';
    const std::string base = baseNameToLastDot(nativePath);
    jobs::OutputPlace outputs(host, jobs::SourceFiles({std::filesystem::path(nativePath)}));

    for (int64_t i = 0; i < blocks && !outputs.stopped(); ++i) {
        if (host.cancelRequested()) {
            (void)source->Close(false);
            host.text(std::string(jobs::kCancelled));
            return;
        }
        const std::string name = base + "_" + num(i + 1) + ".xlsx";
        if (report.active()) {
            const int64_t first = firstData + i * perBook;
            report.add({fileLabel, sheet->Name(), jobs::outcomeSplit(int(blocks)),
                        uint64_t(std::min(first + perBook - 1, lastRow) - first + 1), 0, 0, name});
        }
        if (options.dryRun) {
            ++splitCount;
            host.progress(int(i + 1), int(blocks));
            continue;
        }
        books.Add();
        automation::Workbook* book = app.ActiveWorkBook();
        automation::Worksheet* out = book->WorkSheets(1);
        // The header keeps its address and the block goes right below it; when the header ends
        // right above the data rows that is one copy, so that a table whose header and rows all
        // land here stays a table.
        const int64_t from = firstData + i * perBook;
        const int64_t to = std::min(from + perBook - 1, lastRow);
        automation::Range rows = rangeOf(from, to);
        bool copied = true;
        if (header && rows && int64_t(headerRange.Area(0).lastRow) + 1 == firstData) {
            copied = bool(sheet->Areas({headerRange.Area(0), rows.Area(0)})
                              .Copy(out->Range(headerRange.Address())));
        } else {
            if (header) copied = bool(headerRange.Copy(out->Range(headerRange.Address())));
            copied = copied && bool(rows.Copy(out->Range(startCell)));
        }
        report.copiedLast();
        if (copied) {
            carryPrintSettings(*sheet, *out);
            // The filter spans its own rows as they landed here.
            const int64_t lastOut =
                filter && filter->lastRow >= from
                    ? firstData + (std::min<int64_t>(filter->lastRow, to) - from)
                    : 0;
            filterCarried =
                (header ? jobs::carrySplitFilter(filter, uint32_t(r0), uint32_t(h), uint32_t(r0),
                                                 uint32_t(lastOut), uint32_t(c0),
                                                 uint32_t(lastColumn), *out)
                        : jobs::carrySplitFilter(filter, uint32_t(from), uint32_t(to),
                                                 uint32_t(firstData), uint32_t(lastOut),
                                                 uint32_t(c0), uint32_t(lastColumn), *out)) ||
                filterCarried;
        }
        if (!copied) {
            failed.push_back(jobs::printable(name));
            report.failLast("无法复制");
        } else if (auto saved = outputs.save(*book, saveDir + name, kFormatXlsx)) {
            ++splitCount;
            report.outputLast(saved.value().filename().string());
        } else if (!outputs.stopped()) {
            failed.push_back(jobs::printable(name));
            report.failLast(saved.message());
        } else {
            report.markLast(jobs::kOutcomeStopped);
        }
        (void)book->Close(false);
        host.progress(int(i + 1), int(blocks));
    }
    // What hangs off the sheet and none of the copies carried.
    leftBehind.cellsOf(*sheet, "[" + sheet->Name() + "]");
    if (filter && !filterCarried && !options.dryRun && splitCount > 0)
        leftBehind.sheet("筛选", "[" + sheet->Name() + "]");
    (void)source->Close(false);
    if (std::string left = leftBehind.text(); !left.empty()) host.text(left);
    host.text(outputs.withNotes(withFailures(resultText(), failed) + session.referencesNote()));
    report.finish(host, saveDir, saveDir + base + ".xlsx");
    if (options.dryRun) host.text(jobs::kDryRunDone);
}

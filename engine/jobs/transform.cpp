// Distributes the data rows of a workbook's first worksheet by the text of one key column: one
// workbook per value, or one sheet per value in a single workbook, each with the source header.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <unordered_map>

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

using namespace splitjob;

constexpr const char* kRangeNotRecognised = "无法正确识别表格有效范围，请在[最后列号]中设置!";
constexpr const char* kNothingToSplit =
    "无法进行拆分!!! 因指定列中存在空单元格;请先删除该列的空单元格,或列出需拆分的项目,格式如："
    "猪八戒<b>|</b>孙悟空<b>|</b>沙和尚";

// The key texts of the data rows, read once, with the rows of each distinct text in order.
struct KeyIndex {
    uint32_t firstRow = 0;              // row of keys[0]
    std::vector<std::string> keys;      // one per data row
    std::vector<std::string> distinct;  // in order of first appearance
    std::unordered_map<std::string, std::vector<uint32_t>> rowsOf;

    void build() {
        rowsOf.reserve(keys.size());
        for (size_t i = 0; i < keys.size(); ++i) {
            auto [it, added] = rowsOf.try_emplace(keys[i]);
            if (added) distinct.push_back(keys[i]);
            it->second.push_back(firstRow + uint32_t(i));
        }
    }

    // Rows whose key matches the value, in source order: the row-by-row test applied to every
    // data row, evaluated once per distinct key text.
    std::vector<uint32_t> matching(const std::string& value, bool fullMatch) const {
        if (fullMatch) {
            auto it = rowsOf.find(value);
            return it == rowsOf.end() ? std::vector<uint32_t>{} : it->second;
        }
        std::vector<uint32_t> rows;
        size_t lists = 0;
        for (const auto& key : distinct) {
            if (!keyMatches(key, value, false)) continue;
            const auto& r = rowsOf.at(key);
            rows.insert(rows.end(), r.begin(), r.end());
            ++lists;
        }
        if (lists > 1) std::sort(rows.begin(), rows.end());
        return rows;
    }
};

// A scratch sheet holding a header cell and, below it, the distinct key texts in order of first
// appearance (a blank key as an empty cell); gives the range of that column.
automation::Range makeKeyTable(automation::Workbooks& books, automation::Application& app,
                               const KeyIndex& index) {
    books.Add();
    automation::Worksheet* keys = app.ActiveWorkBook()->WorkSheets(1);
    (void)keys->Cells(1, 1).SetValue("key");
    for (size_t i = 0; i < index.distinct.size(); ++i)
        if (!index.distinct[i].empty())
            (void)keys->Cells(uint32_t(i + 2), 1).SetValue(index.distinct[i]);
    return keys->Range(automation::rangeText(1, 1, uint32_t(index.distinct.size() + 1), 1));
}

}  // namespace

void TransformJob(const std::string& path, JobOptions& options, JobHost& host) {
    using namespace automation;

    jobs::Session session(host, options);
    if (!session.workbooks()) return;
    automation::Application& app = session.application();
    automation::Workbooks& books = *session.workbooks();

    // Source check: extension, no lock-file marker, and the file must exist.
    const std::string& p = path;
    std::error_code ec;
    if (!isSpreadsheetFile(p, FileTestVariant::SplitJobs) ||
        !std::filesystem::is_regular_file(std::filesystem::path(p), ec)) {
        host.text("文件格式不正确,或文件不存在!");
        return;
    }
    const int64_t key = options.classifyColumn;
    if (key < 1 || key > int64_t(ss::kXlsxMaxCols)) {
        host.text("请正确填写列范围!");
        return;
    }

    host.text(jobs::printable(p) + " 文件扫描中...");
    jobs::Report report(options);
    const std::string fileLabel = std::filesystem::path(p).filename().string();
    auto opened = books.Open(p);
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
    jobs::reportReadNotes(host, p, source->model());
    report.opened(source->model());
    automation::Worksheet* sheet = source->WorkSheets(1);
    jobs::LeftBehind leftBehind;  // the pieces are copied as cells; named once they are
    report.watch(session.application().References(), leftBehind);
    if (!sheet) {
        (void)source->Close(false);
        host.text(kRangeNotRecognised);
        return;
    }
    report.inspect(*sheet, p);
    // A filter saved with the file would hide rows from the copies of either method; each output
    // gets it back over its header and rows.
    const std::optional<ss::CellRange> filter = sheet->model().autoFilter;
    if (sheet->AutoFilterMode()) sheet->AutoFilterMode(false);
    bool filterCarried = false;

    const UsedRangeFacts facts = usedRangeFacts(*sheet);
    const int64_t r0 = facts.firstRow, c0 = facts.firstColumn;
    const int64_t rc = facts.rowCount, cc = facts.columnCount;
    const int64_t h = options.classifyHeaderRows ? options.classifyHeaderRowCount : r0;
    // L: moving up from below the table in the key column to its last non-empty cell. A table
    // that reaches the sheet's last row has no row below it: there the last row is the start,
    // and it is L itself when its key cell holds something (moving up would leave it).
    const int64_t below = std::min<int64_t>(std::max(rc + h, r0 + rc), ss::kXlsxMaxRows);
    int64_t l = 0;
    if (below >= 1) {
        const ss::Cell* last = sheet->model().find(uint32_t(below), uint32_t(key));
        l = last && (last->hasValue() || last->hasFormula())
                ? below
                : int64_t(sheet->Cells(uint32_t(below), uint32_t(key)).End(Direction::Up).Row());
    }

    // The key texts of the data rows H + 1 to L; the header rows are never matched.
    KeyIndex index;
    index.firstRow = uint32_t(std::max<int64_t>(h + 1, 1));
    for (int64_t r = index.firstRow; r <= l; ++r)
        index.keys.push_back(sheet->Cells(uint32_t(r), uint32_t(key)).Value());
    index.build();

    if (options.classifyValues.empty()) {
        host.text("正在自动分类,请耐心等待...");
        options.classifyValues = distinctNonBlank(index.keys);
        if (options.classifyValues.empty()) {
            host.text(kNothingToSplit);
            return;
        }
        options.classifyFileNames = options.classifyValues;
    }
    const std::vector<std::string>& values = options.classifyValues;
    const std::vector<std::string>& names = options.classifyFileNames;

    const int64_t lastColumn =
        options.classifyLastColumnSet ? options.classifyLastColumn : c0 + cc - 1;
    const bool columnsValid = lastColumn >= 1 && lastColumn <= int64_t(ss::kXlsxMaxCols);
    auto rowsText = [&](int64_t first, int64_t last) {
        return rangeText(uint32_t(first), uint32_t(c0), uint32_t(last), uint32_t(lastColumn));
    };
    automation::Range sourceHeader =
        columnsValid && h >= 1 ? sheet->Range(rowsText(r0, h)) : automation::Range();
    if (!sourceHeader) {
        (void)source->Close(false);
        host.text(kRangeNotRecognised);
        return;
    }
    const std::string headerText = sourceHeader.Address();

    // Scratch workbook holding the header that every output receives.
    books.Add();
    automation::Workbook* scratch = app.ActiveWorkBook();
    automation::Worksheet* scratchSheet = scratch->WorkSheets(1);
    (void)sourceHeader.Copy(scratchSheet->Range(headerText));
    automation::Range header = scratchSheet->Range(headerText);

    const bool oneWorkbook = options.toOneWorkbook;
    automation::Workbook* single = nullptr;
    if (oneWorkbook) {
        books.Add();
        single = app.ActiveWorkBook();
    }

    std::string saveDir = options.splitSaveDir;
    if (!saveDir.empty() && saveDir.back() != '/') saveDir += '/';
    // Output names never coincide, and never that of the source file.
    UniqueNames fileNames, sheetNames(31);
    if (sameFile(folderOf(p), saveDir.empty() ? "." : saveDir)) {
        std::string sourceName = p.substr(p.find_last_of('/') + 1);
        if (sourceName.size() > 5 && foldCase(sourceName.substr(sourceName.size() - 5)) == ".xlsx")
            fileNames.reserve(sourceName.substr(0, sourceName.size() - 5));
    }

    jobs::OutputPlace outputs(host, jobs::SourceFiles({std::filesystem::path(p)}));
    // Writing an output costs more than copying a value's rows: two are written meanwhile.
    outputs.writeAhead(2);
    const int n = int(values.size());
    const bool fullMatch = options.fullMatch;
    const int64_t firstData = h + 1;
    int written = 0;
    std::vector<std::string> failed;
    auto closeAll = [&] {
        if (single) (void)single->Close(false);
        (void)scratch->Close(false);
        (void)source->Close(false);
    };

    automation::Range keyTable;  // filter method: header and the distinct key texts
    for (int i = 0; i < n && !outputs.stopped(); ++i) {
        if (host.cancelRequested()) {
            closeAll();
            host.text(std::string(jobs::kCancelled));
            return;
        }
        const std::string& value = values[i];
        std::string cleaned =
            removeForbiddenNameChars(size_t(i) < names.size() ? names[i] : values[i]);
        std::string name =
            oneWorkbook ? sheetNames.take(sheetNameWithinRules(cleaned)) : fileNames.take(cleaned);
        const std::string target = saveDir + name + ".xlsx";
        host.text("正在拆分到：" + jobs::printable(target));

        automation::Workbook* book = nullptr;
        automation::Worksheet* dest = nullptr;
        bool ok = true;
        if (!oneWorkbook) {
            books.Add();
            book = app.ActiveWorkBook();
            dest = book->WorkSheets(1);
        } else {
            // New sheets go before the active one, so sheet 1 is always the next value's sheet
            // and the workbook lists the values last first.
            automation::Sheets& sheets = single->Sheets();
            dest = sheets.Item(1);
            ok = bool(dest->SetName(name));
            if (i < n - 1 && sheets.Count() - 1 == i) sheets.Add();
        }
        ok = bool(header.Copy(dest->Range(headerText))) && ok;

        size_t matched = 0;   // rows this value takes
        size_t inFilter = 0;  // of them, those the source's filter spans
        if (firstData <= l) {
            std::vector<uint32_t> rows;
            if (options.highSpeedMode) {
                // Filter method: the filter runs over the table of distinct key texts, so that
                // each value costs one pass over those texts, not over every row of the sheet.
                if (!keyTable) keyTable = makeKeyTable(books, app, index);
                ok = bool(keyTable.AutoFilter(1, filterCriterion(value, fullMatch))) && ok;
                automation::Range shown =
                    keyTable.Rows().Count() > 1
                        ? keyTable.Parent()
                              ->Range(rangeText(2, 1, uint32_t(index.distinct.size() + 1), 1))
                              .SpecialCells(kCellTypeVisible)
                        : automation::Range();
                for (size_t a = 0; shown && a < shown.AreaCount(); ++a) {
                    ss::CellRange band = shown.Area(a);
                    for (uint32_t r = band.firstRow; r <= band.lastRow; ++r) {
                        const auto& more = index.rowsOf.at(index.distinct[r - 2]);
                        rows.insert(rows.end(), more.begin(), more.end());
                    }
                }
                keyTable.Parent()->AutoFilterMode(false);
                std::sort(rows.begin(), rows.end());
                app.EnableEvents(false);
            } else {
                rows = index.matching(value, fullMatch);
            }
            matched = rows.size();
            if (filter)
                inFilter = size_t(std::upper_bound(rows.begin(), rows.end(), filter->lastRow) -
                                  rows.begin());
            // The matching rows packed below the header in source order: the runs of consecutive
            // rows copied together as the areas of one range, a few thousand at a time so that
            // a stop is looked at now and then.
            constexpr size_t kRunsPerCopy = 4096;
            std::vector<ss::CellRange> areas;
            int64_t k = 0, copied = 0;
            for (size_t a = 0; a < rows.size();) {
                size_t b = a + 1;
                while (b < rows.size() && rows[b] == rows[b - 1] + 1) ++b;
                areas.push_back(
                    ss::CellRange{rows[a], uint32_t(c0), rows[b - 1], uint32_t(lastColumn)});
                k += int64_t(b - a);
                a = b;
                if (areas.size() == kRunsPerCopy || a == rows.size()) {
                    ok = bool(sheet->Areas(std::move(areas))
                                  .Copy(dest->Cells(uint32_t(firstData + copied), uint32_t(c0)))) &&
                         ok;
                    areas.clear();
                    copied = k;
                    if (a < rows.size() && host.cancelRequested()) break;
                }
            }
            app.EnableEvents(true);
        }
        carryPrintSettings(*sheet, *dest);
        filterCarried = jobs::carrySplitFilter(filter, uint32_t(r0), uint32_t(h), uint32_t(r0),
                                               uint32_t(firstData + int64_t(inFilter) - 1),
                                               uint32_t(c0), uint32_t(lastColumn), *dest) ||
                        filterCarried;
        if (host.cancelRequested()) {
            if (book) (void)book->Close(false);
            closeAll();
            host.text(std::string(jobs::kCancelled));
            return;
        }

        report.add({fileLabel, sheet->Name(), jobs::outcomeSplit(n), matched, 0, 0,
                    oneWorkbook ? name : name + ".xlsx"});
        if (!oneWorkbook) {
            if (!ok) {
                outputs.settle();  // failures are listed in the order of the outputs
                failed.push_back(jobs::printable(name + ".xlsx"));
                report.failLast("无法写入");
            } else if (options.dryRun) {
                ++written;
            } else {
                // Written while the next value's rows are copied.
                const size_t entry = report.entries().size() - 1;
                outputs.saveInBackground(
                    *book, target, kFormatXlsx,
                    jobs::splitOutputDone(outputs, report, entry, name + ".xlsx", written, failed));
                book = nullptr;
            }
            if (book) (void)book->Close(false);
        } else if (!ok) {
            failed.push_back(jobs::printable(name));
            report.failLast("无法写入");
        }
        host.progress(i + 1, n);
    }

    outputs.settle();
    // What hangs off the sheet and none of the copies carried.
    leftBehind.cellsOf(*sheet, "[" + sheet->Name() + "]");
    if (filter && !filterCarried && n > 0) leftBehind.sheet("筛选", "[" + sheet->Name() + "]");
    std::string result;
    if (oneWorkbook) {
        const std::string target = saveDir + "拆分后.xlsx";
        int sheetsWritten = 0;
        if (!outputs.stopped() && (options.dryRun || outputs.save(*single, target, kFormatXlsx)))
            sheetsWritten = n - int(failed.size());
        else
            failed.push_back("拆分后.xlsx");
        result = "成功拆分出" + num(sheetsWritten) + "个sheet到指定路径下的【拆分后.xlsx】文件!";
    } else {
        result = "成功拆分出" + num(written) + "个excel文件!";
    }
    closeAll();
    if (std::string left = leftBehind.text(); !left.empty()) host.text(left);
    host.text(outputs.withNotes(withFailures(result, failed) + session.referencesNote()));
    report.finish(host, oneWorkbook ? saveDir + "拆分后.xlsx" : saveDir,
                  saveDir + baseNameToLastDot(p) + ".xlsx");
    if (options.dryRun) host.text(jobs::kDryRunDone);
}

#include "sheet_routines.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

#include "spreadsheet/carry/describe_parts.h"

namespace automation {

namespace {

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

bool isSpreadsheetFile(std::string_view nativePath, FileTestVariant variant) {
    // Besides the workbook formats, what offices receive under other names: OpenDocument
    // (.ods), WPS (.et), 2003 XML spreadsheets (.xml) and web pages saved as tables. The readers
    // decide by content, so a page named ".xls" and a workbook named ".et" both open.
    static constexpr std::array<std::string_view, 7> kFolderMerge = {
        ".xls", ".xlsx", ".csv", ".xlsm", ".ods", ".et", ".xml"};
    static constexpr std::array<std::string_view, 8> kWorkbookJobs = {
        ".xls", ".xlsx", ".xlsm", ".ods", ".et", ".xml", ".htm", ".html"};
    static constexpr std::array<std::string_view, 9> kSplitJobs = {
        ".xls", ".xlsx", ".xlsm", ".csv", ".ods", ".et", ".xml", ".htm", ".html"};
    if (nativePath.find("~$") != std::string_view::npos) return false;
    // Only the extension is compared, without regard to case: "Book.XLSX" is a workbook for
    // every job, as it is for the readers, which go by the file's first bytes anyway.
    const size_t dot = nativePath.find_last_of("./");
    std::string text(dot == std::string_view::npos ? std::string_view() : nativePath.substr(dot));
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    auto any = [&](const auto& list) {
        for (std::string_view ext : list)
            if (endsWith(text, ext)) return true;
        return false;
    };
    switch (variant) {
        case FileTestVariant::FolderMerge:
            return any(kFolderMerge);
        case FileTestVariant::WorkbookJobs:
            return any(kWorkbookJobs);
        case FileTestVariant::SplitJobs:
            return any(kSplitJobs);
    }
    return false;
}

UsedRangeFacts usedRangeFacts(Worksheet& sheet) {
    UsedRangeFacts f;
    f.usedRange = sheet.UsedRange();
    f.firstRow = f.usedRange.Row();
    f.firstColumn = f.usedRange.Column();
    f.rowCount = uint32_t(f.usedRange.Rows().Count());
    f.columnCount = uint32_t(f.usedRange.Columns().Count());
    f.topLeft = sheet.Cells(f.firstRow, f.firstColumn);
    return f;
}

bool hasNoCells(const UsedRangeFacts& facts) {
    if (facts.rowCount != 1) return false;
    if (facts.columnCount != 1) return false;
    return facts.topLeft.Value() == "";
}

std::map<std::string, uint32_t> heldBesideCells(const Worksheet& sheet) {
    const ss::Worksheet& m = sheet.model();
    std::map<std::string, uint32_t> held;
    if (m.parts) {
        held = ss::describeParts(*m.parts);
        // Parts the counts have no word for (a slicer's frame ...) still hold something; a
        // drawing is counted by its anchors (one left without any holds nothing).
        const bool other =
            std::any_of(m.parts->links.begin(), m.parts->links.end(), [](const ss::PartLink& l) {
                return l.part && !l.part->contentType.ends_with("officedocument.drawing+xml");
            });
        if (held.empty() && other) held["其他对象"] = 1;
        for (const auto& [kind, n] : m.parts->dropped) held[kind] += n;
    }
    if (!m.notes.empty()) held["批注"] += uint32_t(m.notes.size());
    for (const ss::PreservedXml& p : m.preserved) {
        if (p.element != "dataValidations") continue;
        uint32_t n = 0;
        for (size_t at = p.xml.find("<dataValidation "); at != std::string::npos;
             at = p.xml.find("<dataValidation ", at + 1))
            ++n;
        if (n) held["数据验证"] += n;
    }
    std::erase_if(held, [](const auto& kv) { return kv.second == 0; });
    return held;
}

bool isEmptyWorksheet(const UsedRangeFacts& facts) {
    if (!hasNoCells(facts)) return false;
    const Worksheet* sheet = facts.usedRange.Parent();
    return !sheet || heldBesideCells(*sheet).empty();
}

namespace {

constexpr std::array<std::string_view, 4> kPrintElements = {"printOptions", "pageMargins",
                                                            "pageSetup", "headerFooter"};

bool isPrintElement(std::string_view element) {
    return std::find(kPrintElements.begin(), kPrintElements.end(), element) != kPrintElements.end();
}

}  // namespace

void carryPrintSettings(const Worksheet& from, Worksheet& to) {
    const ss::Worksheet& src = from.model();
    ss::Worksheet& dst = to.model();
    if (&src == &dst || dst.fitToPage) return;
    if (std::any_of(dst.preserved.begin(), dst.preserved.end(),
                    [](const ss::PreservedXml& p) { return isPrintElement(p.element); }))
        return;
    dst.fitToPage = src.fitToPage;
    for (const ss::PreservedXml& p : src.preserved)
        if (isPrintElement(p.element)) dst.preserved.push_back(p);
}

Range removeHeaderRows(Worksheet& sheet, int count) {
    // Deleting row 1 `count` times is deleting rows 1..count at once: the same rows go, ranges
    // fetched before move the same way, and the sheet is shifted once instead of count times.
    if (count >= 1) {
        uint32_t last = uint32_t(std::min<int64_t>(count, ss::kXlsxMaxRows));
        (void)sheet.Range(std::to_string(1) + ":" + std::to_string(last)).Delete();
    }
    return sheet.UsedRange();
}

ss::Status removeEmptyKeyRows(Worksheet& sheet, uint32_t keyColumn) {
    if (keyColumn < 1 || keyColumn > ss::kXlsxMaxCols)
        return ss::fail("无法删除空行：列号超出工作表的范围。");
    if (ss::Status st = sheet.Rows(1).Insert(); !st) return st;
    (void)sheet.Cells(1, 1).SetValue("AAAAAAA");
    Range used = sheet.UsedRange();
    if (keyColumn > used.Column() + used.ColumnCount() - 1) {
        // No row has a value in the key column: every row goes, the marker row with them.
        return sheet.Range(rangeText(1, 1, used.Row() + used.RowCount() - 1, 1))
            .EntireRow()
            .Delete();
    }
    if (ss::Status st = used.AutoFilter(int(keyColumn), ""); !st) return st;
    // The rows the filter shows (the marker row and those without a key); what lies below the
    // used range (a chart under the table, say) stays.
    Range visible = used.SpecialCells(kCellTypeVisible);
    return visible.EntireRow().Delete();
}

int64_t currentSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string elapsedTimeText(int64_t startSeconds, int64_t nowSeconds) {
    return "耗时" + std::to_string(nowSeconds - startSeconds) + "秒。";
}

std::string elapsedTimeText(int64_t startSeconds) {
    return elapsedTimeText(startSeconds, currentSeconds());
}

std::string columnLetters(uint32_t column) {
    return ss::columnLetters(column);
}

std::string cellText(uint32_t row, uint32_t column) {
    return columnLetters(column) + std::to_string(row);
}

std::string rangeText(uint32_t firstRow, uint32_t firstColumn, uint32_t lastRow,
                      uint32_t lastColumn) {
    return cellText(firstRow, firstColumn) + ":" + cellText(lastRow, lastColumn);
}

std::string timeTag(const std::tm& t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", t.tm_hour % 100, t.tm_min % 100, t.tm_sec % 100);
    return buf;
}

std::string timeTag() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return timeTag(local);
}

std::string escapeCriterion(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '*' || c == '?' || c == '~') out += '~';
        out += c;
    }
    return out;
}

}  // namespace automation

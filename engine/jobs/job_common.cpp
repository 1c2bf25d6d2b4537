#include "job_common.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "sheet_routines.h"
#include "spreadsheet/cell.h"

namespace fs = std::filesystem;

namespace jobs {

// ---- session -------------------------------------------------------------------------------

Session::Session(JobHost& host, const JobOptions& options) : Session(host) {
    app_->FormulasAsValues(options.formulasAsValues);
}

std::string Session::referencesNote() const {
    if (!app_) return {};
    const std::string text = app_->References().text();
    return text.empty() ? text : " " + text;
}

Session::Session(JobHost& host) : app_(std::make_unique<automation::Application>()) {
    host.text(std::string(kExcelOk));
    app_->SetVisible(false);
    app_->DisplayAlerts(false);
    workbooks_ = app_->Workbooks();
    host.text(std::string(kWorkBooksOk));
    if (!workbooks_) host.text(std::string(kNoSpreadsheetApplication));
}

Session::~Session() {
    end();
}

void Session::end() {
    if (!app_) return;
    app_->Quit();
    workbooks_ = nullptr;
    app_.reset();
}

automation::Workbook* addTargetWorkbook(automation::Workbooks& books) {
    automation::Workbook* target = books.Add();
    if (!target) return nullptr;
    automation::Sheets& sheets = target->Sheets();
    for (int n = sheets.Count(); n > 1; --n)
        if (automation::Worksheet* s = sheets.Item(n)) (void)s->Delete();
    return target;
}

// ---- saving --------------------------------------------------------------------------------

bool exceedsXlsLimits(const ss::Workbook& wb) {
    for (const auto& sheet : wb.sheets) {
        if (sheet->kind != ss::SheetKind::Worksheet) continue;
        auto bounds = sheet->contentBounds();
        if (bounds && (bounds->lastRow > ss::kXlsMaxRows || bounds->lastCol > ss::kXlsMaxCols))
            return true;
    }
    return false;
}

namespace {

// The .xlsx twin of an .xls path that does not exist yet: "out.xlsx", else "out (2).xlsx" ...
fs::path xlsxBeside(const fs::path& xlsPath) {
    fs::path stem = xlsPath.parent_path() / xlsPath.stem();
    std::error_code ec;
    fs::path candidate = stem.string() + ".xlsx";
    for (int n = 2; fs::exists(candidate, ec) && n < 1000; ++n)
        candidate = stem.string() + " (" + std::to_string(n) + ").xlsx";
    return candidate;
}

}  // namespace

SaveResult askAndSave(JobHost& host, automation::Workbook& target, std::string_view baseName,
                      bool xls) {
    const std::string ext = xls ? ".xls" : ".xlsx";
    std::optional<std::string> answer = host.askSaveFileName(
        std::string(kSaveCaption), std::string(baseName) + ext, "EXCEL(*" + ext + ")");
    SaveResult result;
    if (!answer || answer->empty()) return result;

    const fs::path path(*answer);
    result.path = path.string();
    ss::Status st = ss::okStatus();
    if (xls && exceedsXlsLimits(target.model())) {
        fs::path beside = xlsxBeside(path);
        st = target.SaveAs(beside, automation::kFormatXlsx);
        result.path = beside.string();
        if (st.ok()) {
            result.outcome = SaveOutcome::SavedAsXlsx;
            host.text("数据超出xls格式上限(65536行/256列)，已另存为：" + result.path);
            return result;
        }
    } else if (xls) {
        st = target.SaveAs(path, automation::kFormatXls);
    } else {
        st = target.SaveAs(path);
    }
    if (st.ok()) {
        result.outcome = SaveOutcome::Saved;
        return result;
    }
    result.outcome = SaveOutcome::Failed;
    host.text("保存失败：" + st.message());
    return result;
}

// ---- folder scan ---------------------------------------------------------------------------

namespace {

std::string foldCase(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + ('a' - 'A'));
    return out;
}

// Name order without regard to case; names that differ only in case keep a fixed order.
bool nameLess(const std::string& a, const std::string& b) {
    std::string fa = foldCase(a), fb = foldCase(b);
    if (fa != fb) return fa < fb;
    return a < b;
}

void scanInto(const fs::path& dir, std::vector<fs::path>& out) {
    std::vector<std::string> files, dirs;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) return;
        const fs::directory_entry& entry = *it;
        std::error_code sec;
        if (entry.is_symlink(sec)) continue;
        std::string name = entry.path().filename().string();
        if (entry.is_directory(sec)) {
            if (name.empty() || name[0] == '.') continue;  // ".", ".." and hidden folders
            dirs.push_back(std::move(name));
        } else if (entry.is_regular_file(sec)) {
            files.push_back(std::move(name));
        }
    }
    std::sort(files.begin(), files.end(), nameLess);
    std::sort(dirs.begin(), dirs.end(), nameLess);
    for (const auto& f : files) out.push_back(dir / f);
    // Links are never followed, so the recursion ends with the folder tree.
    for (const auto& d : dirs) scanInto(dir / d, out);
}

}  // namespace

std::vector<fs::path> scanFolder(const fs::path& folder) {
    std::vector<fs::path> out;
    std::string text = folder.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    scanInto(fs::path(text), out);
    return out;
}

std::vector<fs::path> spreadsheetFilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const fs::path& f : scanFolder(folder))
        if (automation::isSpreadsheetFile(f.string(), automation::FileTestVariant::FolderMerge))
            files.push_back(f);
    return files;
}

// ---- list of unmergeable files -------------------------------------------------------------

fs::path failListPath(const std::string& folder, const std::string& listPath) {
    if (!listPath.empty()) return fs::path(listPath);
    std::string dir = folder;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return fs::path(dir + "/" + std::string(kFailListName));
}

bool writeFailList(const fs::path& path, std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    return !out.fail();
}

void writeAndShowFailList(JobHost& host, const fs::path& path, std::string_view text) {
    if (text.empty()) return;
    if (writeFailList(path, text)) host.showTextFile(path.string());
}

// ---- small helpers -------------------------------------------------------------------------

std::string fileBaseName(const fs::path& file) {
    std::string name = file.filename().string();
    return name.substr(0, name.find('.'));
}

std::string notFittedNote(int count) {
    if (count <= 0) return {};
    return "注意：有" + std::to_string(count) + "个sheet超出表格行列上限，未能合并。";
}

BlockCopy copyBlock(const automation::Range& source, automation::Worksheet& target, uint64_t row,
                    uint64_t column, std::string* reason) {
    if (!source.valid()) return BlockCopy::Nothing;
    const uint64_t rows = source.RowCount(), cols = source.ColumnCount();
    if (row < 1 || column < 1 || row + rows - 1 > ss::kXlsxMaxRows ||
        column + cols - 1 > ss::kXlsxMaxCols) {
        if (reason) *reason = "超出表格行列上限";
        return BlockCopy::TooBig;
    }
    automation::Range dest = target.Cells(uint32_t(row), uint32_t(column));
    // Rows a saved filter hides are copied like the others: totals over them stay right.
    if (automation::Worksheet* sheet = source.Parent(); sheet && sheet->AutoFilterMode())
        sheet->AutoFilterMode(false);
    ss::Status st = source.Copy(dest);
    if (st.ok()) return BlockCopy::Copied;
    if (reason) *reason = st.message();
    return BlockCopy::Failed;
}

GrowingSheet::GrowingSheet(automation::Worksheet& sheet)
    : sheet_(&sheet), bounds_(sheet.model().contentBounds()) {}

bool GrowingSheet::empty() const {
    return !bounds_ || (bounds_->rowCount() == 1 && bounds_->colCount() == 1 &&
                        sheet_->Cells(bounds_->firstRow, bounds_->firstCol).Value().empty());
}

namespace {

// Bounding box of the cells with a value or a format inside `area`; visits only that area.
std::optional<ss::CellRange> boundsWithin(const ss::Worksheet& ws, const ss::CellRange& area) {
    std::optional<ss::CellRange> b;
    const auto& rows = ws.rows();
    auto row = std::lower_bound(rows.begin(), rows.end(), area.firstRow,
                                [](const ss::Row& r, uint32_t i) { return r.index < i; });
    for (; row != rows.end() && row->index <= area.lastRow; ++row) {
        auto cell = std::lower_bound(row->cells.begin(), row->cells.end(), area.firstCol,
                                     [](const ss::Cell& c, uint32_t col) { return c.col < col; });
        for (; cell != row->cells.end() && cell->col <= area.lastCol; ++cell) {
            if (cell->type == ss::CellType::Empty && cell->style == 0) continue;
            if (!b) {
                b = ss::CellRange{row->index, cell->col, row->index, cell->col};
                continue;
            }
            b->firstRow = std::min(b->firstRow, row->index);
            b->lastRow = std::max(b->lastRow, row->index);
            b->firstCol = std::min<uint32_t>(b->firstCol, cell->col);
            b->lastCol = std::max<uint32_t>(b->lastCol, cell->col);
        }
    }
    return b;
}

}  // namespace

BlockCopy GrowingSheet::copy(const automation::Range& source, uint64_t row, uint64_t column,
                             std::string* reason) {
    const uint32_t rows = source.valid() ? source.RowCount() : 0;
    const uint32_t cols = source.valid() ? source.ColumnCount() : 0;
    BlockCopy result = copyBlock(source, *sheet_, row, column, reason);
    if (result != BlockCopy::Copied) return result;
    // The destination area was cleared and filled; everything else of the sheet is unchanged.
    const ss::CellRange area{uint32_t(row), uint32_t(column), uint32_t(row + rows - 1),
                             uint32_t(column + cols - 1)};
    if (bounds_ && bounds_->intersects(area)) {
        bounds_ = sheet_->model().contentBounds();  // a block over earlier content: recount
        return result;
    }
    if (auto added = boundsWithin(sheet_->model(), area)) {
        if (!bounds_) {
            bounds_ = added;
        } else {
            bounds_->firstRow = std::min(bounds_->firstRow, added->firstRow);
            bounds_->firstCol = std::min(bounds_->firstCol, added->firstCol);
            bounds_->lastRow = std::max(bounds_->lastRow, added->lastRow);
            bounds_->lastCol = std::max(bounds_->lastCol, added->lastCol);
        }
    }
    return result;
}

}  // namespace jobs

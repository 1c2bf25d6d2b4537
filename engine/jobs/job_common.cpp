#include "job_common.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "report.h"
#include "sheet_routines.h"
#include "spreadsheet/model/cell.h"
#include "spreadsheet/io/io.h"

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
    // A stop pressed while a large workbook is read ends the read.
    if (workbooks_) workbooks_->StopReadsWhen([&host] { return host.cancelRequested(); });
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
                      bool xls, const SourceFiles& sources) {
    const std::string ext = xls ? ".xls" : ".xlsx";
    SaveResult result;
    std::optional<std::string> answer, refused;
    for (;;) {
        // Asked again after a refusal, the caption says why.
        const std::string caption =
            refused ? std::string(kSaveCaption) + "（不能保存为源文件，请另选文件名）"
                    : std::string(kSaveCaption);
        answer = host.askSaveFileName(caption, std::string(baseName) + ext, "EXCEL(*" + ext + ")");
        if (!answer || answer->empty()) return result;
        if (!sources.contains(*answer)) break;
        host.text(sourceRefusedText(*answer));
        if (answer == refused) {  // the same name again: the host cannot choose another
            result.outcome = SaveOutcome::Failed;
            result.path = *answer;
            return result;
        }
        refused = answer;
    }

    const fs::path path(*answer);
    result.path = path.string();
#ifdef __GLIBC__
    // The sources were read on threads of their own, whose freed memory stays with those
    // threads' heaps: handed back here, before the writing needs room of its own.
    malloc_trim(0);
#endif
    ss::Status st = ss::okStatus();
    if (xls && exceedsXlsLimits(target.model())) {
        fs::path beside = xlsxBeside(path);
        st = target.SaveAs(beside, automation::kFormatXlsx);
        result.path = beside.string();
        if (st.ok()) {
            result.outcome = SaveOutcome::SavedAsXlsx;
            host.text("数据超出xls格式上限(65536行/256列)，已另存为：" + printable(result.path));
            host.saved(result.path);
            return result;
        }
    } else if (xls) {
        st = target.SaveAs(path, automation::kFormatXls);
    } else {
        st = target.SaveAs(path);
    }
    if (st.ok()) {
        result.outcome = SaveOutcome::Saved;
        host.saved(result.path);
        return result;
    }
    result.outcome = SaveOutcome::Failed;
    host.text("保存失败：" + printable(st.message()));
    return result;
}

// ---- sources and outputs -------------------------------------------------------------------

namespace {

std::optional<std::pair<uint64_t, uint64_t>> identityOf(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return std::pair<uint64_t, uint64_t>(st.st_dev, st.st_ino);
}

bool standsThere(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

SourceFiles::SourceFiles(const std::vector<fs::path>& files) {
    for (const auto& f : files) add(f);
}

void SourceFiles::add(const fs::path& file) {
    if (auto id = identityOf(file)) ids_.push_back(*id);
}

bool SourceFiles::contains(const fs::path& path) const {
    if (ids_.empty()) return false;
    auto id = identityOf(path);
    return id && std::find(ids_.begin(), ids_.end(), *id) != ids_.end();
}

std::string sourceRefusedText(const std::string& path) {
    return "不能保存为源文件：" + printable(path) + "。源文件不会被改写，请另选文件名。";
}

bool refuseSourceAsOutput(JobHost& host, const SourceFiles& sources, bool xls) {
    auto known = host.knownSaveAnswer(xls ? "EXCEL(*.xls)" : "EXCEL(*.xlsx)");
    if (!known || !sources.contains(*known)) return false;
    host.text(sourceRefusedText(*known));
    return true;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
            (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
             static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
            i += 2;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out;
}

fs::path freeNameBeside(const fs::path& path) {
    const std::string stem = (path.parent_path() / path.stem()).string();
    const std::string ext = path.extension().string();
    fs::path candidate = path;
    for (int n = 2; standsThere(candidate); ++n)
        candidate = stem + " (" + std::to_string(n) + ")" + ext;
    return candidate;
}

ss::Result<fs::path> makeNewFolder(const fs::path& wanted) {
    fs::path candidate = wanted;
    for (int n = 2; n < 10000; ++n) {
        if (::mkdir(candidate.c_str(), 0777) == 0) return candidate;
        if (errno != EEXIST)
            return ss::fail("无法新建文件夹 " + printable(candidate.string()) + "：" +
                            std::strerror(errno));
        candidate = wanted.string() + " (" + std::to_string(n) + ")";
    }
    return ss::fail("无法新建文件夹 " + printable(wanted.string()));
}

fs::path newFolderName(const fs::path& wanted) {
    fs::path candidate = wanted;
    for (int n = 2; standsThere(candidate) && n < 10000; ++n)
        candidate = wanted.string() + " (" + std::to_string(n) + ")";
    return candidate;
}

// The outputs being written, and the one thread (started with the first) that writes them.
struct OutputPlace::InFlight {
    struct Task {
        std::unique_ptr<ss::Workbook> model;
        fs::path path, wanted;
        bool replacing = false;
        ss::FileFormat format = ss::FileFormat::Xlsx;
        ss::Status status = ss::okStatus();
        Done done;
    };
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Task> tasks;  // written in order
    bool running = false, quit = false;
    std::thread thread;

    InFlight() : thread([this] { loop(); }) {}
    ~InFlight() {
        {
            std::lock_guard lock(mutex);
            quit = true;
        }
        cv.notify_all();
        thread.join();  // after the tasks in hand: their files are finished
    }

    void loop() {
        std::unique_lock lock(mutex);
        while (true) {
            cv.wait(lock, [&] { return quit || running; });
            if (!running) return;
            lock.unlock();
            for (Task& t : tasks) {
                try {
                    t.status = ss::saveWorkbook(*t.model, t.path, t.format);
                } catch (const std::bad_alloc&) {
                    t.status = ss::fail("无法保存 " + printable(t.path.string()) + "：内存不足。");
                }
                t.model.reset();  // freed here, beside the next output's copies
            }
            lock.lock();
            running = false;
            cv.notify_all();
        }
    }
    void start(std::vector<Task> batch) {
        {
            std::lock_guard lock(mutex);
            tasks = std::move(batch);
            running = true;
        }
        cv.notify_all();
    }
    std::vector<Task> finish() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return !running; });
        return std::move(tasks);
    }
};

struct OutputPlace::Pending {
    std::vector<InFlight::Task> tasks;
    size_t cells = 0;
};

OutputPlace::OutputPlace(JobHost& host, SourceFiles sources)
    : host_(host), sources_(std::move(sources)), pending_(std::make_unique<Pending>()) {}

OutputPlace::~OutputPlace() {
    // Outputs handed over are written, as those in flight are; no `done` is called.
    if (!pending_->tasks.empty())
        savers_.emplace_back(std::make_unique<InFlight>())->start(std::move(pending_->tasks));
}

std::optional<fs::path> OutputPlace::place(const fs::path& wanted, bool& replacing) {
    fs::path path = wanted;
    replacing = false;
    if (standsThere(path) && !written_.contains(path)) {
        if (!answer_) answer_ = host_.askExistingFiles(path.string());
        if (*answer_ == ExistingFiles::Stop) return std::nullopt;
        if (*answer_ == ExistingFiles::KeepBoth || sources_.contains(path))
            path = freeNameBeside(path);
        else
            replacing = true;
    }
    return path;
}

void OutputPlace::written(const fs::path& path, const fs::path& wanted, bool replacing) {
    written_.add(path);
    if (path != wanted) keptBeside_.push_back(path.filename().string());
    if (replacing) replaced_.push_back(path.filename().string());
}

ss::Result<fs::path> OutputPlace::save(automation::Workbook& book, const fs::path& wanted,
                                       int formatCode) {
    settle();
    if (stopped()) return ss::fail("");
    bool replacing = false;
    std::optional<fs::path> path = place(wanted, replacing);
    if (!path) return ss::fail("");
    if (formatCode != automation::kFormatXls) book.NoteUnlinkedReferences();
    ss::Status st = book.SaveAs(*path, formatCode);
    if (!st.ok()) return ss::fail(st.message());
    written(*path, wanted, replacing);
    return *path;
}

void OutputPlace::saveInBackground(automation::Workbook& book, const fs::path& wanted,
                                   int formatCode, Done done) {
    // A very large output is waited for, so that no more than it and the source are held.
    size_t cells = 0;
    for (const auto& sheet : book.model().sheets) cells += sheet->cellCount();
    const bool huge = cells > 1000000;
    const bool small = cells < kBatchCells;
    if (!small) dispatch();  // the small ones before it go first
    const size_t inFlight = huge ? 1 : writeAhead_;
    if (!small)
        while (busy_.size() >= inFlight) settleOldest();
    bool replacing = false;
    std::optional<fs::path> path;
    if (!stopped()) path = place(wanted, replacing);
    if (!path) {
        (void)book.Close(false);
        settle();  // the outputs before it are answered first
        done(ss::fail(""));
        return;
    }
    InFlight::Task task;
    task.format = formatCode == automation::kFormatXls ? ss::FileFormat::Xls : ss::FileFormat::Xlsx;
    if (formatCode != automation::kFormatXls) book.NoteUnlinkedReferences();
    task.model = book.CloseKeepingModel();
    task.path = *path;
    task.wanted = wanted;
    task.replacing = replacing;
    task.done = std::move(done);
    pending_->tasks.push_back(std::move(task));
    pending_->cells += cells;
    // Small outputs go to the writer a batch at a time: handing over each of thousands of
    // small workbooks, the job's thread and the writer spent more time waiting for and waking
    // each other than writing.
    if (!small || pending_->tasks.size() >= kBatchOutputs || pending_->cells >= kBatchCells)
        dispatch();
    if (huge) settle();
}

void OutputPlace::dispatch() {
    if (pending_->tasks.empty()) return;
    while (busy_.size() >= writeAhead_) settleOldest();
    InFlight* saver = nullptr;
    for (auto& s : savers_)
        if (std::find(busy_.begin(), busy_.end(), s.get()) == busy_.end()) saver = s.get();
    if (!saver) saver = savers_.emplace_back(std::make_unique<InFlight>()).get();
    std::vector<InFlight::Task> batch;
    batch.swap(pending_->tasks);
    pending_->cells = 0;
    saver->start(std::move(batch));
    busy_.push_back(saver);
}

void OutputPlace::settleOldest() {
    if (busy_.empty()) return;
    InFlight* saver = busy_.front();
    busy_.pop_front();
    for (InFlight::Task& job : saver->finish()) {
        if (job.status.ok()) {
            written(job.path, job.wanted, job.replacing);
            job.done(job.path);
        } else {
            job.done(ss::fail(job.status.message()));
        }
    }
}

void OutputPlace::settle() {
    dispatch();
    while (!busy_.empty()) settleOldest();
}

OutputPlace::Done splitOutputDone(const OutputPlace& outputs, Report& report, size_t entry,
                                  std::string file, int& written,
                                  std::vector<std::string>& failed) {
    return [&outputs, &report, entry, file = std::move(file), &written,
            &failed](ss::Result<std::filesystem::path> saved) {
        if (saved) {
            ++written;
            report.outputAt(entry, saved.value().filename().string());
        } else if (!outputs.stopped()) {
            failed.push_back(printable(file));
            report.failAt(entry, saved.message());
        } else {
            report.markAt(entry, kOutcomeStopped);
        }
    };
}

std::string OutputPlace::withNotes(std::string result) const {
    auto list = [](const std::vector<std::string>& names) {
        std::string out;
        for (size_t i = 0; i < names.size() && i < 5; ++i)
            out += (i ? "、" : "") + printable(names[i]);
        if (names.size() > 5) out += "等" + std::to_string(names.size()) + "个";
        return out;
    };
    if (!keptBeside_.empty()) result += " 因已有同名文件，另存为：" + list(keptBeside_);
    if (!replaced_.empty()) result += " 已替换原有文件：" + list(replaced_);
    if (stopped()) result += " 因已有同名文件，已停止，其余未保存。";
    return result;
}

void reportReadNotes(JobHost& host, const fs::path& file, const ss::Workbook& wb) {
    constexpr size_t kShown = 20;
    const auto& notes = wb.readNotes;
    for (size_t i = 0; i < notes.size() && i < kShown; ++i)
        host.text("注意：" + printable(file.string()) + " " + printable(notes[i]));
    if (notes.size() > kShown)
        host.text("注意：" + printable(file.string()) + " 另有" +
                  std::to_string(notes.size() - kShown) + "处同类改动");
}

std::string readNoteLines(const fs::path& file, const ss::Workbook& wb) {
    std::string out;
    for (const auto& note : wb.readNotes)
        out += printable(file.string()) + " " + printable(note) + "\n";
    return out;
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

void scanInto(const fs::path& dir, std::vector<fs::path>& out, std::vector<std::string>* skipped) {
    std::vector<std::string> files, dirs;
    std::error_code ec;
    auto skip = [&](const fs::path& p, const std::string& why) {
        if (skipped) skipped->push_back(printable(p.string()) + " " + why);
    };
    auto why = [](const std::error_code& e) {
        return e == std::errc::permission_denied ? std::string("没有读取权限") : e.message();
    };
    fs::directory_iterator it(dir, ec);
    if (ec) {
        skip(dir, "无法读取的文件夹（" + why(ec) + "）");
        return;
    }
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            skip(dir, "读取文件夹时出错（" + why(ec) + "）");
            return;
        }
        const fs::directory_entry& entry = *it;
        std::error_code sec;
        std::string name = entry.path().filename().string();
        if (entry.is_symlink(sec)) {
            // The link's target decides: a file is merged as a file, a folder is not entered.
            std::error_code tec;
            fs::file_status target = fs::status(entry.path(), tec);
            if (fs::is_regular_file(target))
                files.push_back(std::move(name));
            else if (fs::is_directory(target))
                skip(entry.path(), "是指向文件夹的链接，未进入");
            else if (!fs::exists(target))
                skip(entry.path(), "是指向不存在位置的链接，已跳过");
            continue;
        }
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
    // Links to folders are never followed, so the recursion ends with the folder tree.
    for (const auto& d : dirs) scanInto(dir / d, out, skipped);
}

}  // namespace

std::vector<fs::path> scanFolder(const fs::path& folder, std::vector<std::string>* skipped) {
    std::vector<fs::path> out;
    std::string text = folder.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    scanInto(fs::path(text), out, skipped);
    return out;
}

std::vector<fs::path> spreadsheetFilesIn(const fs::path& folder,
                                         std::vector<std::string>* skipped) {
    std::vector<fs::path> files;
    for (const fs::path& f : scanFolder(folder, skipped))
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

ss::Status writeFailList(const fs::path& path, std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    return ss::writeAtomically(path, [&](const fs::path& temp) -> ss::Status {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (out) out.write(bytes.data(), std::streamsize(bytes.size()));
        if (out) out.close();
        if (!out) return ss::fail("无法写入 " + temp.string() + "：" + std::strerror(errno));
        return ss::okStatus();
    });
}

void FailList::write(std::string_view text) {
    if (text.empty()) return;
    ss::Status st = writeFailList(path_, text);
    written_ = st.ok();
    if (written_) return;
    std::string lines(text);
    while (!lines.empty() && lines.back() == '\n') lines.pop_back();
    for (size_t at = lines.find('\n'); at != std::string::npos; at = lines.find('\n', at))
        lines.replace(at, 1, "；");
    host_.text("无法写入无法合并的文件目录（" + printable(st.message()) + "）。未能合并：" + lines);
}

void FailList::show() {
    if (written_) host_.showTextFile(path_.string());
}

// ---- small helpers -------------------------------------------------------------------------

std::string fileBaseName(const fs::path& file) {
    std::string name = file.filename().string();
    return name.substr(0, name.find('.'));
}

std::string nothingMergedText(int files, int unreadable) {
    std::string why = files == 0            ? "文件夹中没有表格文件"
                      : unreadable == files ? "所有工作簿都无法打开"
                                            : "工作簿中没有可合并的sheet";
    return "没有可合并的内容：" + why + "，未保存任何文件。";
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

// Application, the workbooks collection, Workbook and its sheets collection.

// GCC 12 takes the workbook that a read on a thread of its own hands over through
// std::packaged_task for one never allocated, when it inlines the result's destruction, and
// warns that deleting it frees no heap object. The object is the reader's own allocation; the
// warning is a middle-end one, so it is turned off before the standard headers come in.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"
#endif

#include <algorithm>
#include <chrono>
#include <system_error>
#include <unordered_map>

#include "spreadsheet/xlsx/xlsx.h"
#include "internal.h"
#include "spreadsheet/io/io.h"

namespace automation {

// ---- Sheets

int Sheets::Count() const {
    parent_->syncSheets();
    return int(parent_->wrappers_.size());
}

Worksheet* Sheets::Item(int i) const {
    parent_->syncSheets();
    if (i < 1 || size_t(i) > parent_->wrappers_.size()) return nullptr;
    return parent_->wrappers_[size_t(i - 1)].get();
}

Worksheet* Sheets::Add() {
    ss::Workbook& wb = *parent_->model_;
    std::string name;
    for (size_t n = wb.sheets.size() + 1;; ++n) {
        name = "Sheet" + std::to_string(n);
        if (!wb.sheetByName(name)) break;
    }
    size_t at = wb.sheets.empty() ? 0 : std::min(wb.activeSheet, wb.sheets.size());
    for (ss::DefinedName& n : wb.names)
        if (n.localSheet && *n.localSheet >= at) ++*n.localSheet;
    ss::Worksheet& sheet = wb.addSheet(name, at);
    wb.activeSheet = at;
    for (auto& s : wb.sheets) s->tabSelected = s.get() == &sheet;
    parent_->syncSheets();
    return parent_->wrap(&sheet);
}

Worksheet* Sheets::Add(Worksheet& after) {
    ss::Workbook& wb = *parent_->model_;
    const int idx = wb.indexOf(&after.model());
    if (idx < 0) return nullptr;
    std::string name;
    for (size_t n = wb.sheets.size() + 1;; ++n) {
        name = "Sheet" + std::to_string(n);
        if (!wb.sheetByName(name)) break;
    }
    const size_t at = size_t(idx) + 1;
    for (ss::DefinedName& n : wb.names)
        if (n.localSheet && *n.localSheet >= at) ++*n.localSheet;
    if (wb.activeSheet >= at) ++wb.activeSheet;
    ss::Worksheet& sheet = wb.addSheet(name, at);
    parent_->syncSheets();
    return parent_->wrap(&sheet);
}

// ---- Workbook

Workbook::Workbook(Application& app, std::unique_ptr<ss::Workbook> model)
    : app_(&app), model_(std::move(model)), serial_(++app.serials_) {
    syncSheets();
}

Workbook::~Workbook() {
    for (auto& w : wrappers_) w->detach();
}

void Workbook::syncSheets() {
    const auto& sheets = model_->sheets;
    bool same = sheets.size() == wrappers_.size();
    for (size_t i = 0; same && i < sheets.size(); ++i)
        same = wrappers_[i]->model_ == sheets[i].get();
    if (same) return;
    // One sheet added or removed (a copy, a deletion): move the wrappers around that place.
    size_t at = 0;
    while (at < sheets.size() && at < wrappers_.size() && wrappers_[at]->model_ == sheets[at].get())
        ++at;
    if (sheets.size() == wrappers_.size() + 1) {
        bool rest = true;
        for (size_t i = at; rest && i < wrappers_.size(); ++i)
            rest = wrappers_[i]->model_ == sheets[i + 1].get();
        if (rest) {
            wrappers_.insert(wrappers_.begin() + ptrdiff_t(at),
                             std::make_unique<Worksheet>(*this, *sheets[at]));
            return;
        }
    } else if (sheets.size() + 1 == wrappers_.size()) {
        bool rest = true;
        for (size_t i = at; rest && i < sheets.size(); ++i)
            rest = wrappers_[i + 1]->model_ == sheets[i].get();
        if (rest) {
            std::unique_ptr<Worksheet> gone = std::move(wrappers_[at]);
            wrappers_.erase(wrappers_.begin() + ptrdiff_t(at));
            return;  // `gone` detaches its ranges as it dies
        }
    }
    std::unordered_map<const ss::Worksheet*, std::unique_ptr<Worksheet>> old;
    for (auto& w : wrappers_) old.emplace(w->model_, std::move(w));
    wrappers_.clear();
    for (auto& s : sheets) {
        auto it = old.find(s.get());
        if (it != old.end()) {
            wrappers_.push_back(std::move(it->second));
            old.erase(it);
        } else {
            wrappers_.push_back(std::make_unique<Worksheet>(*this, *s));
        }
    }
    // `old` now holds the wrappers of sheets that are gone; they detach their ranges as they die.
}

Worksheet* Workbook::wrap(const ss::Worksheet* sheet) const {
    for (auto& w : wrappers_)
        if (w->model_ == sheet) return w.get();
    return nullptr;
}

Worksheet* Workbook::WorkSheets(int i) {
    syncSheets();
    if (i < 1) return nullptr;
    for (auto& w : wrappers_)
        if (w->isWorksheet() && --i == 0) return w.get();
    return nullptr;
}

Worksheet* Workbook::ActiveSheet() {
    syncSheets();
    if (wrappers_.empty()) return nullptr;
    return wrappers_[std::min(model_->activeSheet, wrappers_.size() - 1)].get();
}

std::string Workbook::Name() const {
    if (!model_->sourcePath.empty())
        return std::filesystem::path(model_->sourcePath).filename().string();
    return name_;
}

ss::Status Workbook::SaveAs(const std::filesystem::path& path) {
    settleCopiesInto();
    ss::FileFormat format = ss::formatFromExtension(path).value_or(ss::FileFormat::Xlsx);
    ss::Status st = ss::saveWorkbook(*model_, path, format, app_->SavePassword());
    if (st) model_->sourcePath = path.string();
    return st;
}

ss::Status Workbook::SaveAs(const std::filesystem::path& path, int formatCode) {
    ss::FileFormat format;
    switch (formatCode) {
        case kFormatXlsx:
        case kFormatNormal:
            format = ss::FileFormat::Xlsx;
            break;
        case kFormatXls:
            format = ss::FileFormat::Xls;
            break;
        default:
            return ss::fail("无法保存 " + path.string() + "：不支持的文件格式代码 " +
                            std::to_string(formatCode) + "。");
    }
    settleCopiesInto();
    ss::Status st = ss::saveWorkbook(*model_, path, format, app_->SavePassword());
    if (st) model_->sourcePath = path.string();
    return st;
}

ss::Status Workbook::Close(bool saveChanges) {
    if (saveChanges) {
        if (model_->sourcePath.empty())
            return ss::fail("无法保存 " + Name() + "：工作簿还没有文件名。");
        ss::Status st = SaveAs(model_->sourcePath);
        if (!st) return st;
    }
    Application& app = *app_;
    app.closed(this);  // destroys this workbook
    return ss::okStatus();
}

void Workbook::NoteUnlinkedReferences() {
    settleCopiesInto();
    const ss::UnlinkedParts lost = ss::unlinkedReferences(*model_);
    app_->referenceState().report.unlinkedParts += lost.references;
    app_->referenceState().report.droppedSlicers += lost.slicers;
}

std::unique_ptr<ss::Workbook> Workbook::CloseKeepingModel() {
    settleCopiesInto();
    // Copies made from it are restated while its model is still here (closing does that too).
    app_->flushWaitingFrom(this);
    detail::settlePending(app_->referenceState(),
                          [&](const detail::PendingCopy& p) { return p.source == this; });
    std::unique_ptr<ss::Workbook> model = std::move(model_);
    app_->closed(this);  // destroys this workbook
    return model;
}

void Workbook::flushExtensionsOf(const ss::Worksheet* sheet) {
    for (auto& w : wrappers_)
        if (w->model_ == sheet) w->flushExtensions();
}

void Workbook::settleCopiesInto() {
    for (auto& w : wrappers_) w->flushExtensions();
    detail::settlePending(app_->referenceState(),
                          [&](const detail::PendingCopy& p) { return p.target == this; });
}

// ---- Workbooks

Workbook* Workbooks::adopt(std::unique_ptr<ss::Workbook> model) {
    auto wb = std::make_unique<Workbook>(*app_, std::move(model));
    if (wb->model_->sourcePath.empty())
        wb->name_ = "Book" + std::to_string(++app_->newBookCounter_);
    Workbook* p = wb.get();
    app_->open_.push_back(std::move(wb));
    app_->activate(p);
    return p;
}

Workbook* Workbooks::Add() {
    auto model = ss::Workbook::createDefault();
    model->sheets.front()->tabSelected = true;
    return adopt(std::move(model));
}

void Workbooks::Prefetch(const std::filesystem::path& path) {
    // Files up to this size on disk are read two at a time: what a second read holds is small
    // beside the workbook being put together.
    constexpr uintmax_t kSmallFile = uintmax_t(8) << 20;
    for (const Prefetched& p : prefetched_)
        if (p.path == path) return;
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    const bool small = !ec && size <= kSmallFile;
    if (!prefetched_.empty() && (prefetched_.size() >= 2 || !small || !prefetched_.front().small))
        return;
    try {
        prefetched_.push_back(
            Prefetched{path,
                       std::async(std::launch::async,
                                  [path, stop = &stopReads_, passwords = passwords()] {
                                      return ss::openWorkbook(path, stop, passwords);
                                  }),
                       small});
    } catch (const std::system_error&) {
        // No thread to spare: Open reads the file itself.
    }
}

std::vector<std::string> Workbooks::passwords() const {
    // A copy the session saved encrypted (a temporary copy of a source) opens again too.
    std::vector<std::string> all = app_->OpenPasswords();
    if (!app_->SavePassword().empty()) all.push_back(app_->SavePassword());
    return all;
}

Workbooks::~Workbooks() {
    stopReads_ = true;  // reads nobody will take end early
    prefetched_.clear();
}

Workbooks::Read Workbooks::waitFor(std::future<Read>& read) {
    while (stopCheck_) {
        if (!stopReads_ && stopCheck_()) stopReads_ = true;
        if (read.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready) break;
    }
    return read.get();
}

ss::Result<Workbook*> Workbooks::Open(const std::filesystem::path& path) {
    std::optional<Read> read;
    auto hit = std::find_if(prefetched_.begin(), prefetched_.end(),
                            [&](const Prefetched& p) { return p.path == path; });
    if (hit != prefetched_.end()) {
        read.emplace(waitFor(hit->model));
        ++hit;
    }
    prefetched_.erase(prefetched_.begin(), hit);  // waits for reads nobody asked for
    if (!read && stopCheck_) {
        // Read beside the caller, which keeps asking whether to stop.
        try {
            auto reading = std::async(std::launch::async,
                                      [&path, stop = &stopReads_, passwords = passwords()] {
                                          return ss::openWorkbook(path, stop, passwords);
                                      });
            read.emplace(waitFor(reading));
        } catch (const std::system_error&) {
            // No thread to spare: read here.
        }
    }
    if (!read) read.emplace(ss::openWorkbook(path, &stopReads_, passwords()));
    auto opened = std::move(*read);
    if (!opened) return opened.error();
    std::unique_ptr<ss::Workbook> model = std::move(opened).value();
    if (model->sheets.empty())
        return ss::fail("无法打开文件 " + path.string() + "：工作簿中没有工作表。");
    if (model->sourcePath.empty()) model->sourcePath = path.string();
    if (model->activeSheet >= model->sheets.size()) model->activeSheet = 0;
    return adopt(std::move(model));
}

int Workbooks::Count() const {
    return int(app_->open_.size());
}

Workbook* Workbooks::Item(int i) const {
    if (i < 1 || size_t(i) > app_->open_.size()) return nullptr;
    return app_->open_[size_t(i - 1)].get();
}

// ---- Application

Application::Application() : references_(std::make_unique<detail::ReferenceState>()) {}

detail::ReferenceState& Application::referenceState() {
    return *references_;
}

void Application::FormulasAsValues(bool on) {
    references_->valuesOnly = on;
}

bool Application::FormulasAsValues() const {
    return references_->valuesOnly;
}

void Application::MergeReferences(bool on) {
    references_->merging = on;
}

const ReferenceReport& Application::References() {
    return references_->report;
}

Application::~Application() {
    Quit();
}

Workbook* Application::ActiveWorkBook() const {
    return active_;
}

void Application::activate(Workbook* wb) {
    active_ = wb;
}

detail::CopyMaps& Application::copyMaps(const Workbook& from, Workbook& to) {
    auto& slot = copyMaps_[{from.serial_, to.serial_}];
    if (!slot) slot = std::make_unique<detail::CopyMaps>(from.model(), to.model());
    return *slot;
}

void Application::flushWaitingFrom(Workbook* source) {
    for (auto& [k, e] : references_->copies)
        if (e.source == source && e.extWaiting && e.target) e.target->flushExtensionsOf(e.sheet);
}

void Application::closed(Workbook* wb) {
    const uint64_t serial = wb->serial_;
    // Copies made from it are restated while it is still there; copies into it go with it.
    flushWaitingFrom(wb);
    detail::settlePending(*references_,
                          [&](const detail::PendingCopy& p) { return p.source == wb; });
    std::erase_if(references_->pending,
                  [&](const detail::PendingCopy& p) { return p.target == wb; });
    references_->forgetBook(serial);
    std::erase_if(copyMaps_, [&](const auto& e) {
        return e.first.first == serial || e.first.second == serial;
    });
    auto it = std::find_if(open_.begin(), open_.end(),
                           [&](const std::unique_ptr<Workbook>& p) { return p.get() == wb; });
    if (it == open_.end()) return;
    std::unique_ptr<Workbook> gone = std::move(*it);
    open_.erase(it);
    if (active_ == wb) active_ = open_.empty() ? nullptr : open_.back().get();
}

void Application::Quit() {
    active_ = nullptr;
    copyMaps_.clear();
    references_->pending.clear();
    references_->copies.clear();
    while (!open_.empty()) open_.pop_back();
}

}  // namespace automation

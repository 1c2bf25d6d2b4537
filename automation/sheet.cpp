// Worksheet: naming, deletion, sheet copies, range lookups and the bookkeeping that keeps live
// ranges in step with row inserts and deletes.
#include <algorithm>
#include <cstring>

#include "spreadsheet/carry/describe_parts.h"
#include "spreadsheet/model/formula.h"
#include "spreadsheet/model/parts.h"
#include "drawings.h"
#include "internal.h"

namespace automation {

namespace {

constexpr uint32_t kMaxRows = ss::kXlsxMaxRows;
constexpr uint32_t kMaxCols = ss::kXlsxMaxCols;

// Length in UTF-16 units, as sheet-name limits count.
size_t utf16Length(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80) ++n;  // a lead byte or ASCII
        if (c >= 0xF0) ++n;           // outside the basic plane: a surrogate pair
    }
    return n;
}

// The reason a text cannot name a sheet; empty when it can (uniqueness aside).
std::string sheetNameProblem(std::string_view name) {
    size_t len = utf16Length(name);
    if (len < 1 || len > 31) return "工作表名称无效：名称须为 1 到 31 个字符。";
    if (name.find_first_of(":\\/?*[]") != std::string_view::npos)
        return "工作表名称无效：名称中不能含有 : \\ / ? * [ ] 这些字符。";
    if (name.front() == '\'' || name.back() == '\'')
        return "工作表名称无效：名称不能以单引号开头或结尾。";
    return {};
}

// Renumbers dxfId="n" attributes of preserved conditional formats through `map`.
std::string remapDxfIds(const std::string& xml, const std::vector<uint32_t>& map) {
    static constexpr std::string_view kAttr = "dxfId=\"";
    std::string out;
    out.reserve(xml.size());
    size_t i = 0;
    while (true) {
        size_t at = xml.find(kAttr, i);
        if (at == std::string::npos) break;
        size_t v = at + kAttr.size();
        size_t end = xml.find('"', v);
        if (end == std::string::npos) break;
        out.append(xml, i, v - i);
        std::string digits = xml.substr(v, end - v);
        uint64_t n = 0;
        bool ok = !digits.empty() && digits.size() < 10;
        for (char c : digits) ok = ok && c >= '0' && c <= '9', n = n * 10 + uint64_t(c - '0');
        out += ok && n < map.size() ? std::to_string(map[n]) : digits;
        i = end;
    }
    out.append(xml, i, std::string::npos);
    return out;
}

}  // namespace

namespace {

// A copy of `src` (of workbook `from`) for workbook `to`, named `newName`. `sameTables`: `to`
// shares `from`'s style table and formats (the same workbook, or a new one made from it).
}  // namespace

std::vector<uint32_t> detail::dxfMap(const ss::Workbook& from, ss::Workbook& to) {
    std::vector<uint32_t> dxf(from.styles.dxfsXml.size());
    for (size_t i = 0; i < dxf.size(); ++i) {
        auto& list = to.styles.dxfsXml;
        auto it = std::find(list.begin(), list.end(), from.styles.dxfsXml[i]);
        if (it == list.end()) it = list.insert(list.end(), from.styles.dxfsXml[i]);
        dxf[i] = uint32_t(it - list.begin());
    }
    return dxf;
}

std::vector<uint32_t> detail::addStrings(const ss::SharedStrings& from, ss::SharedStrings& to,
                                         std::span<const uint32_t> order) {
    std::vector<uint32_t> out(order.size());
    std::vector<std::string_view> plain;  // the plain texts of order[first, first + size)
    size_t first = 0;
    auto addPlain = [&] {
        to.addAll(plain, out.data() + first);
        plain.clear();
    };
    for (size_t k = 0; k < order.size(); ++k) {
        const uint32_t i = order[k];
        const auto* rich = i < from.size() ? from.runs(i) : nullptr;
        if (i < from.size() && !rich) {
            if (plain.empty()) first = k;
            plain.push_back(from.text(i));
            continue;
        }
        addPlain();  // the texts before this one keep their order
        out[k] = rich ? to.addRich(*rich) : to.add("");
    }
    addPlain();
    return out;
}

namespace {

std::unique_ptr<ss::Worksheet> cloneSheet(const ss::Workbook& from, const ss::Worksheet& src,
                                          ss::Workbook& to, const std::string& newName,
                                          bool sameTables) {
    auto out = std::make_unique<ss::Worksheet>(src);
    out->name = newName;
    out->tabSelected = false;
    // A macro sheet's cells are written as a worksheet's: its copy is a worksheet.
    if (out->kind == ss::SheetKind::Macrosheet) out->kind = ss::SheetKind::Worksheet;
    if (&from == &to) return out;

    // Shared strings: every distinct text once, looked up together in the order first used.
    std::vector<uint32_t> sst(from.strings.size() + 1, UINT32_MAX);  // the last: any past the end
    std::vector<uint32_t> order;
    for (const ss::Row& r : out->rows())
        for (const ss::Cell& c : r.cells)
            if (c.type == ss::CellType::String) {
                const uint32_t i = std::min(c.sst, uint32_t(from.strings.size()));
                if (sst[i] == UINT32_MAX) {
                    sst[i] = 0;
                    order.push_back(i);
                }
            }
    const std::vector<uint32_t> added = detail::addStrings(from.strings, to.strings, order);
    for (size_t k = 0; k < order.size(); ++k) sst[order[k]] = added[k];
    auto mapString = [&](uint32_t i) { return sst[std::min(i, uint32_t(sst.size() - 1))]; };
    std::unique_ptr<ss::StyleInterner> interner;
    if (!sameTables) interner = std::make_unique<ss::StyleInterner>(from.styles, to.styles);
    auto mapStyle = [&](uint32_t xf) { return interner ? (*interner)(xf) : xf; };

    for (ss::Row& r : out->mutableRows()) {
        if (r.customFormat) r.style = mapStyle(r.style);
        for (ss::Cell& c : r.cells) {
            if (c.type == ss::CellType::String) c.sst = mapString(c.sst);
            c.style = mapStyle(c.style);
        }
    }
    for (ss::ColumnInfo& c : out->columns) c.style = mapStyle(c.style);

    if (!sameTables && !from.styles.dxfsXml.empty()) {
        const std::vector<uint32_t> dxf = detail::dxfMap(from, to);
        for (ss::PreservedXml& p : out->preserved)
            if (p.element == "conditionalFormatting") p.xml = remapDxfIds(p.xml, dxf);
    }
    return out;
}

}  // namespace

Worksheet::Worksheet(Workbook& parent, ss::Worksheet& model) : parent_(&parent), model_(&model) {}

Worksheet::~Worksheet() {
    detach();
}

void Worksheet::detach() {
    for (auto& w : live_)
        if (auto s = w.lock()) {
            s->sheet = nullptr;
            s->areas.clear();
        }
    live_.clear();
    filter_.reset();
}

int Worksheet::Index() const {
    return parent_->model_->indexOf(model_) + 1;
}

ss::Status Worksheet::SetName(std::string_view name) {
    std::string problem = sheetNameProblem(name);
    if (!problem.empty()) return ss::fail(problem);
    ss::Worksheet* other = parent_->model_->sheetByName(name);
    if (other && other != model_) return ss::fail("工作表名称无效：工作簿中已有同名的工作表。");
    const std::string oldName = model_->name;
    parent_->model_->renameSheet(*model_, std::string(name));
    if (oldName != model_->name) detail::renameReferences(*parent_->model_, *model_, oldName);
    return ss::okStatus();
}

ss::Status Worksheet::Delete() {
    ss::Workbook& wb = *parent_->model_;
    int idx = wb.indexOf(model_);
    if (idx < 0) return ss::fail("无法删除工作表：工作表已不在工作簿中。");
    size_t visible = 0;
    for (auto& s : wb.sheets) visible += s->state == ss::SheetState::Visible;
    if (model_->state == ss::SheetState::Visible && visible <= 1)
        return ss::fail("无法删除工作表：工作簿中至少要保留一张可见的工作表。");

    // Names local to the sheet go with it; later sheets move up one place.
    std::vector<ss::DefinedName> names;
    for (ss::DefinedName& n : wb.names) {
        if (n.localSheet && *n.localSheet == uint32_t(idx)) continue;
        if (n.localSheet && *n.localSheet > uint32_t(idx)) --*n.localSheet;
        names.push_back(std::move(n));
    }
    wb.names = std::move(names);

    size_t active = wb.activeSheet;
    (void)wb.removeSheet(size_t(idx));
    if (active > size_t(idx)) --active;
    if (active >= wb.sheets.size()) active = wb.sheets.size() - 1;
    // The active sheet must be visible: the next visible one, else the one before.
    if (wb.sheets[active]->state != ss::SheetState::Visible) {
        size_t pick = active;
        for (size_t i = active; i < wb.sheets.size(); ++i)
            if (wb.sheets[i]->state == ss::SheetState::Visible) {
                pick = i;
                break;
            }
        if (wb.sheets[pick]->state != ss::SheetState::Visible)
            for (size_t i = active; i-- > 0;)
                if (wb.sheets[i]->state == ss::SheetState::Visible) {
                    pick = i;
                    break;
                }
        active = pick;
    }
    wb.activeSheet = active;
    for (size_t i = 0; i < wb.sheets.size(); ++i) wb.sheets[i]->tabSelected = i == active;
    if (wb.firstVisibleTab >= wb.sheets.size()) wb.firstVisibleTab = 0;
    Workbook* book = parent_;
    book->app_->referenceState().forgetSheet(book->serial_, model_, true);
    book->syncSheets();  // destroys this wrapper
    return ss::okStatus();
}

ss::Result<Worksheet*> Worksheet::Copy() {
    parent_->settleCopiesInto();
    const ss::Workbook& from = *parent_->model_;
    auto model = std::make_unique<ss::Workbook>();
    model->styles = from.styles;
    model->themeXml = from.themeXml;
    model->date1904 = from.date1904;
    auto sheet = cloneSheet(from, *model_, *model, model_->name, true);
    sheet->state = ss::SheetState::Visible;  // the only sheet of a workbook is shown
    sheet->tabSelected = true;
    ss::Worksheet* copy = sheet.get();
    model->sheets.push_back(std::move(sheet));
    model->activeSheet = 0;
    Workbook* wb = parent_->app_->workbooks_.adopt(std::move(model));
    // The only sheet of its workbook: its texts are restated at once.
    detail::ReferenceState& refs = parent_->app_->referenceState();
    refs.pending.push_back({parent_, wb, copy, model_->name});
    detail::settlePending(refs, [&](const detail::PendingCopy& p) { return p.copy == copy; });
    return wb->wrappers_.front().get();
}

ss::Result<Worksheet*> Worksheet::Copy(Worksheet& before) {
    Workbook& dest = *before.parent_;
    ss::Workbook& to = *dest.model_;
    int at = to.indexOf(before.model_);
    if (at < 0) return ss::fail("无法复制工作表：目标工作表已不在工作簿中。");
    parent_->settleCopiesInto();
    const ss::Workbook& from = *parent_->model_;
    std::string name = to.uniqueSheetName(model_->name);
    auto sheet = cloneSheet(from, *model_, to, name, &from == &to);
    detail::ReferenceState& refs = parent_->app_->referenceState();
    if (from.date1904 != to.date1904) {
        detail::DateShift dates(to.styles, from.date1904);
        dates.apply(sheet->mutableRows());
        dates.report(refs.report);
    }
    const ss::Worksheet* added = sheet.get();
    for (ss::DefinedName& n : to.names)
        if (n.localSheet && *n.localSheet >= uint32_t(at)) ++*n.localSheet;
    to.insertSheet(std::move(sheet), size_t(at));
    // Its texts are restated once the other sheets that come with it from its workbook are in.
    refs.pending.push_back({parent_, &dest, const_cast<ss::Worksheet*>(added), model_->name});
    if (&from == &to)
        detail::settlePending(refs, [&](const detail::PendingCopy& p) { return p.copy == added; });
    to.activeSheet = size_t(at);
    for (auto& s : to.sheets) s->tabSelected = s.get() == added;
    dest.syncSheets();
    parent_->app_->activate(&dest);
    return dest.wrap(added);
}

ss::Status Worksheet::Select() {
    ss::Workbook& wb = *parent_->model_;
    int idx = wb.indexOf(model_);
    if (idx < 0) return ss::fail("无法选择工作表：工作表已不在工作簿中。");
    if (model_->state != ss::SheetState::Visible)
        return ss::fail("无法选择工作表：工作表是隐藏的。");
    wb.activeSheet = size_t(idx);
    for (auto& s : wb.sheets) s->tabSelected = s.get() == model_;
    return ss::okStatus();
}

std::shared_ptr<detail::RangeState> Worksheet::track(std::vector<ss::CellRange> areas) {
    auto state = std::make_shared<detail::RangeState>();
    state->sheet = this;
    state->areas = std::move(areas);
    if (live_.size() >= pruneAt_) {
        live_.erase(
            std::remove_if(live_.begin(), live_.end(),
                           [](const std::weak_ptr<detail::RangeState>& w) { return w.expired(); }),
            live_.end());
        pruneAt_ = std::max<size_t>(64, live_.size() * 2);
    }
    live_.push_back(state);
    return state;
}

automation::Range Worksheet::make(std::vector<ss::CellRange> areas) {
    if (areas.empty()) return {};
    return automation::Range(track(std::move(areas)), automation::Range::View::Cells);
}

automation::Range Worksheet::UsedRange() {
    auto b = model_->contentBounds();
    return make({b ? *b : ss::CellRange{1, 1, 1, 1}});
}

automation::Range Worksheet::Cells(uint32_t row, uint32_t col) {
    if (row < 1 || row > kMaxRows || col < 1 || col > kMaxCols) return {};
    return make({ss::CellRange{row, col, row, col}});
}

automation::Range Worksheet::Cells() {
    return make({ss::CellRange{1, 1, kMaxRows, kMaxCols}});
}

automation::Range Worksheet::Rows(uint32_t row) {
    if (row < 1 || row > kMaxRows) return {};
    return make({ss::CellRange{row, 1, row, kMaxCols}});
}

automation::Range Worksheet::Areas(std::vector<ss::CellRange> areas) {
    for (const ss::CellRange& a : areas)
        if (a.firstRow < 1 || a.firstRow > a.lastRow || a.lastRow > kMaxRows || a.firstCol < 1 ||
            a.firstCol > a.lastCol || a.lastCol > kMaxCols)
            return {};
    return make(std::move(areas));
}

automation::Range Worksheet::Range(std::string_view a1) {
    auto r = ss::parseRange(a1);
    if (!r) return {};
    return make({*r});
}

bool Worksheet::AutoFilterMode() const {
    return filter_ != nullptr || model_->autoFilter;
}

void Worksheet::flushExtensions() {
    if (extensions_ && extensions_->pending()) extensions_->flush(*model_);
}

std::map<std::string, uint32_t> Worksheet::partsHeld() {
    flushExtensions();
    return model_->parts ? ss::describeParts(*model_->parts) : std::map<std::string, uint32_t>{};
}

void Worksheet::noteCarried(std::string_view kind, uint32_t item) const {
    auto it = carried_.find(kind);
    if (it == carried_.end()) it = carried_.emplace(std::string(kind), std::set<uint32_t>{}).first;
    it->second.insert(item);
}

std::map<std::string, uint32_t> Worksheet::partsNotCarried() const {
    if (!model_->parts) return {};
    std::map<std::string, uint32_t> left = ss::describeParts(*model_->parts);
    for (auto it = left.begin(); it != left.end();) {
        auto c = carried_.find(it->first);
        const uint32_t done = c == carried_.end() ? 0 : uint32_t(c->second.size());
        it->second = it->second > done ? it->second - done : 0;
        it = it->second ? std::next(it) : left.erase(it);
    }
    for (const auto& [kind, n] : model_->parts->dropped) left[kind] += n;
    return left;
}

void Worksheet::AutoFilterMode(bool on) {
    if (on) return;
    std::optional<ss::CellRange> area = model_->autoFilter;
    if (filter_ && !filter_->range->areas.empty()) area = filter_->range->areas.front();
    if (area)
        removeFilter(area->firstRow + 1, area->lastRow);
    else
        removeFilter(1, 0);
}

void Worksheet::removeFilter(uint32_t firstShown, uint32_t lastShown) {
    filter_.reset();
    model_->autoFilter.reset();
    // Rows that existed only to be hidden go away.
    std::erase_if(model_->mutableRows(), [&](ss::Row& r) {
        if (r.index < firstShown || r.index > lastShown) return false;
        r.hidden = false;
        return r.cells.empty() && !r.hasFormat();
    });
    // The hidden name that marks the filtered table goes with the filter.
    ss::Workbook& wb = *parent_->model_;
    uint32_t idx = uint32_t(wb.indexOf(model_));
    std::erase_if(wb.names, [&](const ss::DefinedName& n) {
        return n.localSheet && *n.localSheet == idx && n.name == "_xlnm._FilterDatabase";
    });
}

void Worksheet::rowsMoved(const ss::RowMove& move) {
    detail::SheetDrawings::rowsMoved(*this, move);
    parent_->app_->referenceState().rowsMoved(parent_->serial_, model_, move);
    for (auto& w : live_) {
        auto s = w.lock();
        if (!s) continue;
        std::vector<ss::CellRange> kept;
        for (const ss::CellRange& a : s->areas)
            if (auto moved = move.range(a)) kept.push_back(*moved);
        s->areas = std::move(kept);
    }
}

}  // namespace automation

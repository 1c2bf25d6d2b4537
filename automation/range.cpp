// Range: geometry, values, row inserts and deletes, End, filters, visible cells and copies.
#include <algorithm>
#include <unordered_map>

#include "spreadsheet/model/formula.h"
#include "spreadsheet/carry/part_rows.h"
#include "spreadsheet/utf8.h"
#include "drawings.h"
#include "internal.h"
#include "spreadsheet/carry/preserved.h"

namespace automation {

namespace {

constexpr uint32_t kMaxRows = ss::kXlsxMaxRows;
constexpr uint32_t kMaxCols = ss::kXlsxMaxCols;
constexpr uint64_t kMaxSetCells = uint64_t(1) << 24;

bool nonEmpty(const ss::Cell* c) {
    return c && (c->hasValue() || c->hasFormula());
}

const ss::Cell* cellIn(const ss::Row& row, uint32_t col) {
    auto it = std::lower_bound(row.cells.begin(), row.cells.end(), col,
                               [](const ss::Cell& c, uint32_t v) { return c.col < v; });
    return it != row.cells.end() && it->col == col ? &*it : nullptr;
}

// Index of the first stored row with index >= r.
size_t rowPos(const std::vector<ss::Row>& rows, uint32_t r) {
    return size_t(std::lower_bound(rows.begin(), rows.end(), r,
                                   [](const ss::Row& x, uint32_t v) { return x.index < v; }) -
                  rows.begin());
}

// The same, knowing that it is at `from` or after: found by steps that double from there, so
// that rows looked up in order cost little more than their distance.
size_t rowPosFrom(const std::vector<ss::Row>& rows, size_t from, uint32_t r) {
    size_t lo = from, step = 1;
    while (lo + step < rows.size() && rows[lo + step].index < r) {
        lo += step;
        step *= 2;
    }
    const size_t hi = std::min(rows.size(), lo + step + 1);
    return size_t(std::lower_bound(rows.begin() + ptrdiff_t(lo), rows.begin() + ptrdiff_t(hi), r,
                                   [](const ss::Row& x, uint32_t v) { return x.index < v; }) -
                  rows.begin());
}

bool rowHasValueIn(const ss::Row& row, uint32_t c1, uint32_t c2) {
    auto it = std::lower_bound(row.cells.begin(), row.cells.end(), c1,
                               [](const ss::Cell& c, uint32_t v) { return c.col < v; });
    for (; it != row.cells.end() && it->col <= c2; ++it)
        if (nonEmpty(&*it)) return true;
    return false;
}

// The block of non-empty cells around (row, col): grown while a neighbouring row or column
// (diagonals included) holds a value.
ss::CellRange currentRegion(const ss::Worksheet& m, uint32_t row, uint32_t col) {
    const auto& rows = m.rows();
    ss::CellRange g{row, col, row, col};
    auto rowHas = [&](uint32_t r, uint32_t c1, uint32_t c2) {
        const ss::Row* x = m.findRow(r);
        return x && rowHasValueIn(*x, c1, c2);
    };
    auto colHas = [&](uint32_t c, uint32_t r1, uint32_t r2) {
        for (size_t i = rowPos(rows, r1); i < rows.size() && rows[i].index <= r2; ++i)
            if (nonEmpty(cellIn(rows[i], c))) return true;
        return false;
    };
    bool changed = true;
    while (changed) {
        changed = false;
        uint32_t c1 = g.firstCol > 1 ? g.firstCol - 1 : 1;
        uint32_t c2 = g.lastCol < kMaxCols ? g.lastCol + 1 : kMaxCols;
        while (g.lastRow < kMaxRows && rowHas(g.lastRow + 1, c1, c2)) ++g.lastRow, changed = true;
        while (g.firstRow > 1 && rowHas(g.firstRow - 1, c1, c2)) --g.firstRow, changed = true;
        uint32_t r1 = g.firstRow > 1 ? g.firstRow - 1 : 1;
        uint32_t r2 = g.lastRow < kMaxRows ? g.lastRow + 1 : kMaxRows;
        while (g.lastCol < kMaxCols && colHas(g.lastCol + 1, r1, r2)) ++g.lastCol, changed = true;
        while (g.firstCol > 1 && colHas(g.firstCol - 1, r1, r2)) --g.firstCol, changed = true;
    }
    return g;
}

// The last row at or below `from` holding a value in columns c1..c2; `from` when none.
uint32_t lastValueRow(const ss::Worksheet& m, uint32_t from, uint32_t c1, uint32_t c2) {
    const auto& rows = m.rows();
    for (size_t i = rows.size(); i-- > 0 && rows[i].index > from;)
        if (rowHasValueIn(rows[i], c1, c2)) return rows[i].index;
    return from;
}

// The column settings `under` (sorted, not overlapping) with those a copy brings laid over them
// (`over`, likewise): a column without a width of its own takes the copied width; a column is
// hidden, collapsed or grouped when either says so (the deeper group wins), so that a copy never
// shows a column the destination hides, whatever rows it holds besides the copied ones.
std::vector<ss::ColumnInfo> overlayColumns(const std::vector<ss::ColumnInfo>& under,
                                           const std::vector<ss::ColumnInfo>& over) {
    std::vector<ss::ColumnInfo> out;
    out.reserve(under.size() + over.size() * 2);
    bool lastTouched = false;  // whether out.back() has a copied column in it
    size_t i = 0, j = 0;
    uint32_t pos = 1;  // the first column not yet written
    while (true) {
        while (i < under.size() && under[i].last < pos) ++i;  // (overlaps of a damaged file)
        while (j < over.size() && over[j].last < pos) ++j;
        if (i == under.size() && j == over.size()) break;
        const ss::ColumnInfo* u = i < under.size() ? &under[i] : nullptr;
        const ss::ColumnInfo* o = j < over.size() ? &over[j] : nullptr;
        const uint32_t uFrom = u ? std::max(u->first, pos) : UINT32_MAX;
        const uint32_t oFrom = o ? std::max(o->first, pos) : UINT32_MAX;
        const uint32_t from = std::min(uFrom, oFrom);
        const bool inU = uFrom == from, inO = oFrom == from;
        // The piece runs to the nearest end of what covers it or start of what does not.
        uint32_t to = std::min(inU ? u->last : UINT32_MAX, inO ? o->last : UINT32_MAX);
        if (!inU && u) to = std::min(to, u->first - 1);
        if (!inO && o) to = std::min(to, o->first - 1);
        ss::ColumnInfo piece = inU ? *u : *o;
        if (inU && inO) {
            if (piece.width <= 0 && o->width > 0) {
                piece.width = o->width;
                piece.customWidth = o->customWidth;
            }
            piece.hidden = piece.hidden || o->hidden;
            piece.collapsed = piece.collapsed || o->collapsed;
            piece.outlineLevel = std::max(piece.outlineLevel, o->outlineLevel);
        }
        piece.first = from;
        piece.last = to;
        // Copied pieces side by side with the same settings make one.
        ss::ColumnInfo same = piece;
        if (inO && lastTouched && out.back().last + 1 == from) {
            same.first = out.back().first;
            same.last = out.back().last;
        }
        if (inO && lastTouched && same == out.back()) {
            out.back().last = to;
        } else {
            out.push_back(piece);
            lastTouched = inO;
        }
        pos = to + 1;
        if (u && u->last <= to) ++i;
        if (o && o->last <= to) ++j;
    }
    return out;
}

}  // namespace

void detail::decodeUtf8(std::string_view s, std::u32string& out) {
    out.clear();
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = len > 0 && i + len <= s.size();
        for (size_t k = 1; ok && k < len; ++k)
            ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        if (!ok) {
            out.push_back(c);
            ++i;
            continue;
        }
        char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        for (size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(cp);
        i += len;
    }
}

detail::Criterion::Criterion(std::string_view pattern) {
    std::u32string cps;
    decodeUtf8(pattern, cps);
    for (size_t i = 0; i < cps.size(); ++i) {
        char32_t c = cps[i];
        if (c == U'~' && i + 1 < cps.size() &&
            (cps[i + 1] == U'*' || cps[i + 1] == U'?' || cps[i + 1] == U'~')) {
            tokens_.push_back({Kind::Literal, cps[++i]});
        } else if (c == U'*') {
            if (tokens_.empty() || tokens_.back().kind != Kind::Any)
                tokens_.push_back({Kind::Any, 0});
            plain_ = false;
        } else if (c == U'?') {
            tokens_.push_back({Kind::One, 0});
            plain_ = false;
        } else {
            tokens_.push_back({Kind::Literal, c});
        }
    }
    if (plain_) {
        // Re-encode the literal code points: the pattern minus its escapes.
        for (const Token& t : tokens_) {
            ss::appendUtf8(literal_, t.ch);
        }
    }
}

bool detail::Criterion::matches(std::string_view text) const {
    if (plain_) return text == literal_;
    thread_local std::u32string t;
    decodeUtf8(text, t);
    size_t ti = 0, pi = 0, starP = SIZE_MAX, starT = 0;
    while (ti < t.size()) {
        if (pi < tokens_.size() &&
            (tokens_[pi].kind == Kind::One ||
             (tokens_[pi].kind == Kind::Literal && tokens_[pi].ch == t[ti]))) {
            ++pi;
            ++ti;
        } else if (pi < tokens_.size() && tokens_[pi].kind == Kind::Any) {
            starP = pi++;
            starT = ti;
        } else if (starP != SIZE_MAX) {
            pi = starP + 1;
            ti = ++starT;
        } else {
            return false;
        }
    }
    while (pi < tokens_.size() && tokens_[pi].kind == Kind::Any) ++pi;
    return pi == tokens_.size();
}

std::vector<std::pair<uint32_t, uint32_t>> detail::rowBands(
    const std::vector<ss::CellRange>& areas) {
    std::vector<std::pair<uint32_t, uint32_t>> b;
    for (const ss::CellRange& a : areas) b.emplace_back(a.firstRow, a.lastRow);
    std::sort(b.begin(), b.end());
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (auto& x : b) {
        if (!out.empty() && x.first <= out.back().second + 1)
            out.back().second = std::max(out.back().second, x.second);
        else
            out.push_back(x);
    }
    return out;
}

bool Range::valid() const {
    return state_ && state_->sheet && !state_->areas.empty();
}

Worksheet* Range::Parent() const {
    return valid() ? state_->sheet : nullptr;
}

uint32_t Range::Row() const {
    return valid() ? state_->areas.front().firstRow : 0;
}
uint32_t Range::Column() const {
    return valid() ? state_->areas.front().firstCol : 0;
}

Range Range::Rows() const {
    return Range(state_, View::Rows);
}
Range Range::Columns() const {
    return Range(state_, View::Columns);
}
Range Range::Cells() const {
    return Range(state_, View::Cells);
}

uint64_t Range::Count() const {
    if (!valid()) return 0;
    switch (view_) {
        case View::Rows:
            return RowCount();
        case View::Columns:
            return ColumnCount();
        case View::Cells:
            break;
    }
    uint64_t n = 0;
    for (const ss::CellRange& a : state_->areas) n += uint64_t(a.rowCount()) * a.colCount();
    return n;
}

uint32_t Range::RowCount() const {
    if (!valid()) return 0;
    uint64_t n = 0;
    for (const ss::CellRange& a : state_->areas) n += a.rowCount();
    return uint32_t(std::min<uint64_t>(n, kMaxRows));
}

uint32_t Range::ColumnCount() const {
    return valid() ? state_->areas.front().colCount() : 0;
}

size_t Range::AreaCount() const {
    return valid() ? state_->areas.size() : 0;
}

ss::CellRange Range::Area(size_t i) const {
    return valid() && i < state_->areas.size() ? state_->areas[i] : ss::CellRange{};
}

std::string Range::Address() const {
    return valid() ? state_->areas.front().toA1() : std::string();
}

std::string Range::Value() const {
    if (!valid()) return {};
    const ss::CellRange& a = state_->areas.front();
    const ss::Worksheet& m = *state_->sheet->model_;
    const ss::Cell* c = m.find(a.firstRow, a.firstCol);
    return c ? state_->sheet->parent_->model_->cellText(*c) : std::string();
}

namespace {

// Applies `set` to every cell of the areas, creating cells as needed.
template <class Set>
ss::Status setCells(const std::vector<ss::CellRange>& areas, ss::Worksheet& m, Set set) {
    uint64_t n = 0;
    for (const ss::CellRange& a : areas) n += uint64_t(a.rowCount()) * a.colCount();
    if (n > kMaxSetCells) return ss::fail("无法写入：区域太大。");
    for (const ss::CellRange& a : areas)
        for (uint32_t r = a.firstRow; r <= a.lastRow; ++r)
            for (uint32_t c = a.firstCol; c <= a.lastCol; ++c) {
                if (ss::Cell* old = m.find(r, c); old && old->hasFormula()) m.clearFormula(r, c);
                set(r, c);
            }
    return ss::okStatus();
}

}  // namespace

ss::Status Range::SetValue(std::string_view text) {
    if (!valid()) return ss::fail("无法写入：区域无效。");
    ss::Worksheet& m = *state_->sheet->model_;
    ss::Workbook& wb = *state_->sheet->parent_->model_;
    if (text.empty()) {
        return setCells(state_->areas, m, [&](uint32_t r, uint32_t c) {
            ss::Cell* x = m.find(r, c);
            if (!x) return;
            if (x->style == 0) {
                m.removeCell(r, c);
            } else {
                x->type = ss::CellType::Empty;
                x->number = 0;
            }
        });
    }
    uint32_t sst = wb.strings.add(text);
    return setCells(state_->areas, m, [&](uint32_t r, uint32_t c) {
        const ss::Cell* x = m.find(r, c);
        m.setString(r, c, sst, x ? x->style : 0);
    });
}

ss::Status Range::SetValue(double number) {
    if (!valid()) return ss::fail("无法写入：区域无效。");
    ss::Worksheet& m = *state_->sheet->model_;
    return setCells(state_->areas, m, [&](uint32_t r, uint32_t c) {
        const ss::Cell* x = m.find(r, c);
        m.setNumber(r, c, number, x ? x->style : 0);
    });
}

Range Range::EntireRow() const {
    if (!valid()) return {};
    std::vector<ss::CellRange> areas;
    for (const ss::CellRange& a : state_->areas)
        areas.push_back(ss::CellRange{a.firstRow, 1, a.lastRow, kMaxCols});
    return state_->sheet->make(std::move(areas));
}

ss::Status Range::Insert() {
    if (!valid()) return ss::fail("无法插入行：区域无效。");
    if (state_->areas.size() > 1) return ss::fail("无法插入行：不能对多个区域插入。");
    Worksheet& ws = *state_->sheet;
    ss::Worksheet& m = *ws.model_;
    const ss::CellRange a = state_->areas.front();
    uint32_t at = a.firstRow, count = a.rowCount();
    if (a.firstRow == 1 && a.lastRow == kMaxRows)
        return ss::fail("无法插入行：不能插入整张工作表的行。");
    uint32_t last = m.rows().empty() ? 0 : m.rows().back().index;
    for (const ss::CellRange& mg : m.merges) last = std::max(last, mg.lastRow);
    if (last >= at && uint64_t(last) + count > kMaxRows)
        return ss::fail("无法插入行：工作表末尾的内容会被移出工作表。");

    m.insertRows(at, count);
    // Formulas of the sheet, and the formulas and names of its workbook that name it, follow the
    // rows.
    for (auto& [k, f] : m.mutableFormulas())
        f.text = ss::adjustFormulaForRows(f.text, at, count, {m.name, true});
    for (auto& other : ws.parent_->model_->sheets)
        if (other.get() != &m)
            for (auto& [k, f] : other->mutableFormulas())
                f.text = ss::adjustFormulaForRows(f.text, at, count, {m.name, false});
    for (ss::DefinedName& n : ws.parent_->model_->names)
        n.formula = ss::adjustFormulaForRows(n.formula, at, count, {m.name, false});
    const ss::RowMove move = ss::rowsInsertedMove(at, count);
    ws.flushExtensions();  // what copies built moves with the rows
    ss::moveKeptRows(m, move);
    ws.rowsMoved(move);
    // Last: the anchor index of range copies has taken the move from the drawing as read.
    ss::movePartRows(*ws.parent_->model_, m, move);
    if (ws.filter_) {
        if (ws.filter_->range->areas.empty())
            ws.filter_.reset();
        else
            m.autoFilter = ws.filter_->range->areas.front();
    }
    return ss::okStatus();
}

ss::Status Range::Delete() {
    if (!valid()) return ss::fail("无法删除行：区域无效。");
    Worksheet& ws = *state_->sheet;
    ss::Worksheet& m = *ws.model_;
    auto bands = detail::rowBands(state_->areas);

    // Rows of the model that can hold anything: beyond them a deletion moves nothing.
    uint32_t last = m.rows().empty() ? 0 : m.rows().back().index;
    for (const ss::CellRange& mg : m.merges) last = std::max(last, mg.lastRow);
    if (m.autoFilter) last = std::max(last, m.autoFilter->lastRow);
    std::vector<uint32_t> rows;
    for (auto [f, l] : bands)
        for (uint32_t r = f; r <= std::min(l, last); ++r) rows.push_back(r);

    // A filter whose header row goes away goes with it.
    std::optional<ss::CellRange> filterArea = m.autoFilter;
    if (ws.filter_ && !ws.filter_->range->areas.empty())
        filterArea = ws.filter_->range->areas.front();
    bool dropFilter = false;
    if (filterArea)
        for (auto [f, l] : bands)
            dropFilter = dropFilter || (filterArea->firstRow >= f && filterArea->firstRow <= l);

    m.deleteRowSet(rows);
    // Formulas of the sheet, and the formulas and names of its workbook that name it, follow the
    // rows.
    for (auto& [k, f] : m.mutableFormulas())
        f.text = ss::adjustFormulaForDeletedRows(f.text, bands, {m.name, true});
    for (auto& other : ws.parent_->model_->sheets)
        if (other.get() != &m)
            for (auto& [k, f] : other->mutableFormulas())
                f.text = ss::adjustFormulaForDeletedRows(f.text, bands, {m.name, false});
    for (ss::DefinedName& n : ws.parent_->model_->names)
        n.formula = ss::adjustFormulaForDeletedRows(n.formula, bands, {m.name, false});
    const ss::RowMove move = ss::rowsDeletedMove(bands);
    ws.flushExtensions();  // what copies built moves with the rows
    ss::moveKeptRows(m, move);
    ws.rowsMoved(move);
    // Last: the anchor index of range copies has taken the move from the drawing as read.
    ss::movePartRows(*ws.parent_->model_, m, move);

    if (ws.filter_ && ws.filter_->range->areas.empty()) ws.filter_.reset();
    if (dropFilter) {
        // The header is gone: the filter goes and the rows it hid are shown again.
        std::optional<ss::CellRange> rest = m.autoFilter;
        if (ws.filter_) rest = ws.filter_->range->areas.front();
        if (rest)
            ws.removeFilter(rest->firstRow, rest->lastRow);
        else
            ws.removeFilter(1, 0);
    } else if (ws.filter_) {
        m.autoFilter = ws.filter_->range->areas.front();
    }
    return ss::okStatus();
}

Range Range::End(Direction direction) const {
    if (!valid()) return {};
    Worksheet& ws = *state_->sheet;
    const ss::Worksheet& m = *ws.model_;
    const auto& rows = m.rows();
    uint32_t r = state_->areas.front().firstRow, c = state_->areas.front().firstCol;
    auto at = [&](uint32_t row, uint32_t col) { return nonEmpty(m.find(row, col)); };

    if (direction == Direction::Up || direction == Direction::Down) {
        bool up = direction == Direction::Up;
        uint32_t edge = up ? 1 : kMaxRows;
        if (r == edge) return ws.Cells(r, c);
        uint32_t next = up ? r - 1 : r + 1;
        if (at(r, c) && at(next, c)) {
            // To the end of the block of consecutive non-empty cells.
            size_t i = rowPos(rows, next);
            uint32_t cur = next;
            while (true) {
                uint32_t n = up ? cur - 1 : cur + 1;
                if (cur == edge) break;
                size_t j = up ? i - 1 : i + 1;
                if ((up && i == 0) || (!up && j >= rows.size())) break;
                if (rows[j].index != n || !nonEmpty(cellIn(rows[j], c))) break;
                cur = n;
                i = j;
            }
            return ws.Cells(cur, c);
        }
        // To the next non-empty cell, else the edge.
        if (up) {
            for (size_t i = rowPos(rows, r); i-- > 0;)
                if (nonEmpty(cellIn(rows[i], c))) return ws.Cells(rows[i].index, c);
        } else {
            for (size_t i = rowPos(rows, r + 1); i < rows.size(); ++i)
                if (nonEmpty(cellIn(rows[i], c))) return ws.Cells(rows[i].index, c);
        }
        return ws.Cells(edge, c);
    }

    bool left = direction == Direction::ToLeft;
    uint32_t edge = left ? 1 : kMaxCols;
    if (c == edge) return ws.Cells(r, c);
    const ss::Row* row = m.findRow(r);
    if (!row) return ws.Cells(r, edge);
    const auto& cells = row->cells;
    uint32_t next = left ? c - 1 : c + 1;
    if (at(r, c) && at(r, next)) {
        uint32_t cur = next;
        while (cur != edge && at(r, left ? cur - 1 : cur + 1)) cur = left ? cur - 1 : cur + 1;
        return ws.Cells(r, cur);
    }
    if (left) {
        for (size_t i = cells.size(); i-- > 0;)
            if (cells[i].col < c && nonEmpty(&cells[i])) return ws.Cells(r, cells[i].col);
    } else {
        for (const ss::Cell& x : cells)
            if (x.col > c && nonEmpty(&x)) return ws.Cells(r, x.col);
    }
    return ws.Cells(r, edge);
}

ss::Status Range::AutoFilter(int field, std::string_view criterion) {
    if (!valid()) return ss::fail("无法筛选：区域无效。");
    if (state_->areas.size() > 1) return ss::fail("无法筛选：不能对多个区域筛选。");
    Worksheet& ws = *state_->sheet;
    ss::Worksheet& m = *ws.model_;
    ss::Workbook& wb = *ws.parent_->model_;
    ss::CellRange area = state_->areas.front();

    std::optional<ss::CellRange> existing = m.autoFilter;
    if (ws.filter_ && !ws.filter_->range->areas.empty())
        existing = ws.filter_->range->areas.front();
    bool single = area.rowCount() == 1 && area.colCount() == 1;
    if (existing &&
        (area == *existing || (single && existing->contains(area.firstRow, area.firstCol)))) {
        area = *existing;
    } else {
        if (single) {
            area = currentRegion(m, area.firstRow, area.firstCol);
            // The table goes on below an empty row: down to its last value.
            area.lastRow = lastValueRow(m, area.lastRow, area.firstCol, area.lastCol);
            if (area.rowCount() == 1 && area.colCount() == 1 &&
                !nonEmpty(m.find(area.firstRow, area.firstCol)))
                return ss::fail("无法筛选：所选单元格周围没有数据。");
        }
        if (existing) ws.AutoFilterMode(false);
    }
    if (field < 1 || uint32_t(field) > area.colCount())
        return ss::fail("无法筛选：字段超出筛选区域的列数。");

    if (!ws.filter_ || ws.filter_->range->areas.empty() ||
        ws.filter_->range->areas.front() != area) {
        ws.filter_ = std::make_unique<Worksheet::Filter>();
        ws.filter_->range = ws.track({area});
    }
    ws.filter_->criteria.insert_or_assign(uint32_t(field), detail::Criterion(criterion));
    m.autoFilter = area;

    // One pass over the data rows: each is shown when every condition holds.
    struct Test {
        uint32_t col;
        const detail::Criterion* criterion;
        std::vector<int8_t> bySst;  // cached outcome per shared string, -1: not yet known
    };
    std::vector<Test> tests;
    for (auto& [f, c] : ws.filter_->criteria)
        tests.push_back(
            Test{area.firstCol + f - 1, &c, std::vector<int8_t>(wb.strings.size(), -1)});
    auto rowMatches = [&](const ss::Row* row) {
        for (Test& t : tests) {
            const ss::Cell* c = row ? cellIn(*row, t.col) : nullptr;
            bool ok;
            if (c && c->type == ss::CellType::String && c->sst < t.bySst.size()) {
                int8_t& known = t.bySst[c->sst];
                if (known < 0) known = t.criterion->matches(wb.strings.text(c->sst)) ? 1 : 0;
                ok = known == 1;
            } else {
                ok = t.criterion->matches(c ? wb.cellText(*c) : std::string());
            }
            if (!ok) return false;
        }
        return true;
    };
    bool blankShown = rowMatches(nullptr);

    std::vector<ss::Row>& rows = m.mutableRows();
    uint32_t first = area.firstRow + 1, last = area.lastRow;
    size_t begin = rowPos(rows, first), end = rowPos(rows, last + 1);
    if (blankShown) {
        for (size_t i = begin; i < end; ++i) rows[i].hidden = !rowMatches(&rows[i]);
    } else {
        // Rows without cells are hidden too: they need a row of their own.
        std::vector<ss::Row> out;
        out.reserve(rows.size() - (end - begin) + (last >= first ? last - first + 1 : 0));
        for (size_t i = 0; i < begin; ++i) out.push_back(std::move(rows[i]));
        size_t i = begin;
        for (uint32_t r = first; r <= last && r >= first; ++r) {
            if (i < end && rows[i].index == r) {
                rows[i].hidden = !rowMatches(&rows[i]);
                out.push_back(std::move(rows[i++]));
            } else {
                ss::Row hidden;
                hidden.index = r;
                hidden.hidden = true;
                out.push_back(std::move(hidden));
            }
            if (r == kMaxRows) break;
        }
        for (size_t k = end; k < rows.size(); ++k) out.push_back(std::move(rows[k]));
        rows = std::move(out);
    }
    return ss::okStatus();
}

Range Range::SpecialCells(int type) const {
    if (!valid() || type != kCellTypeVisible) return {};
    Worksheet& ws = *state_->sheet;
    const auto& rows = ws.model_->rows();
    std::vector<ss::CellRange> out;
    for (const ss::CellRange& a : state_->areas) {
        uint32_t from = a.firstRow;  // first row of the band being gathered
        for (size_t i = rowPos(rows, a.firstRow); i < rows.size() && rows[i].index <= a.lastRow;
             ++i) {
            if (!rows[i].hidden) continue;
            if (rows[i].index > from)
                out.push_back(ss::CellRange{from, a.firstCol, rows[i].index - 1, a.lastCol});
            from = rows[i].index + 1;
        }
        if (from <= a.lastRow && from != 0)
            out.push_back(ss::CellRange{from, a.firstCol, a.lastRow, a.lastCol});
    }
    return ws.make(std::move(out));
}

ss::Status Range::Copy(const Range& destination) const {
    if (!valid()) return ss::fail("无法复制：源区域无效。");
    if (!destination.valid()) return ss::fail("无法复制：目标区域无效。");
    Worksheet& sw = *state_->sheet;
    Worksheet& dw = *destination.state_->sheet;
    const ss::Worksheet& sm = *sw.model_;
    ss::Worksheet& dm = *dw.model_;
    const ss::Workbook& sb = *sw.parent_->model_;
    ss::Workbook& db = *dw.parent_->model_;
    const bool sameBook = &sb == &db;
    sw.parent_->settleCopiesInto();  // sheets copied into the source take their own names first

    const auto& areas = state_->areas;
    const uint32_t c1 = areas.front().firstCol, c2 = areas.front().lastCol;
    for (const ss::CellRange& a : areas)
        if (a.firstCol != c1 || a.lastCol != c2) return ss::fail("无法复制：多个区域的列不一致。");

    // The source rows as runs of consecutive copied rows; with a filter on the sheet its hidden
    // rows are left out and the runs land packed one below the other.
    struct Run {
        uint32_t first, last, dest;  // dest: offset of `first` below the destination's top row
    };
    std::vector<Run> runs;
    const bool skipHidden = sw.AutoFilterMode();
    const auto& srows = sm.rows();
    uint64_t height = 0;
    // Areas that follow each other (a header and the rows right below it) land as one run: what
    // spans them (a table, a merged range) lands whole.
    auto addRun = [&](uint32_t first, uint32_t last) {
        if (!runs.empty() && uint64_t(runs.back().last) + 1 == first)
            runs.back().last = last;
        else
            runs.push_back(Run{first, last, uint32_t(height)});
        height += last - first + 1;
    };
    for (const ss::CellRange& a : areas) {
        uint32_t from = a.firstRow;
        if (skipHidden) {
            for (size_t i = rowPos(srows, a.firstRow);
                 i < srows.size() && srows[i].index <= a.lastRow; ++i) {
                if (!srows[i].hidden) continue;
                if (srows[i].index > from) addRun(from, srows[i].index - 1);
                from = srows[i].index + 1;
            }
        }
        if (from <= a.lastRow && from != 0) addRun(from, a.lastRow);
    }
    const uint32_t width = c2 - c1 + 1;
    const uint32_t dr = destination.Row(), dc = destination.Column();
    if (height == 0) return ss::okStatus();
    if (dr + height - 1 > kMaxRows || uint64_t(dc) + width - 1 > kMaxCols)
        return ss::fail(
            "无法复制：复制的区域超出目标工作表的范围（1048576 行 × 16384 列），未复制任何内容。");
    const uint32_t drEnd = uint32_t(dr + height - 1), dcEnd = dc + width - 1;
    const int64_t dCol = int64_t(dc) - int64_t(c1);
    const bool entireRows = c1 == 1 && c2 == kMaxCols;

    // Source row -> destination row.
    auto destRowOf = [&](uint32_t r) -> std::optional<uint32_t> {
        auto it = std::upper_bound(runs.begin(), runs.end(), r,
                                   [](uint32_t v, const Run& x) { return v < x.first; });
        if (it == runs.begin()) return std::nullopt;
        --it;
        if (r > it->last) return std::nullopt;
        return dr + it->dest + (r - it->first);
    };
    auto sameRun = [&](uint32_t a, uint32_t b) {
        auto it = std::upper_bound(runs.begin(), runs.end(), a,
                                   [](uint32_t v, const Run& x) { return v < x.first; });
        return it != runs.begin() && (it - 1)->last >= b && a >= (it - 1)->first;
    };

    // Snapshot of the source (source and destination may be the same sheet). Strings and formats
    // are mapped once each; a small copy (a single row, say) does not pay for the whole table.
    // The stored rows of each run, found from the run before when it lies below it.
    std::vector<std::pair<size_t, size_t>> spans;
    spans.reserve(runs.size());
    size_t storedRows = 0;
    for (size_t k = 0; k < runs.size(); ++k) {
        const Run& run = runs[k];
        const bool after = k > 0 && run.first > runs[k - 1].last;
        const size_t b = rowPosFrom(srows, after ? spans.back().second : 0, run.first);
        const size_t e = rowPosFrom(srows, b, run.last + 1);
        spans.emplace_back(b, e);
        storedRows += e - b;
    }
    detail::CopyMaps* maps =
        sameBook ? nullptr : &sw.parent_->app_->copyMaps(*sw.parent_, *dw.parent_);
    if (maps) maps->prepare(uint64_t(storedRows) * 4);
    auto mapStyle = [&](uint32_t xf) { return maps ? maps->style(xf) : xf; };
    auto mapString = [&](uint32_t i) { return maps ? maps->string(i) : i; };

    // References: where the cells of this copy land joins where earlier copies from the source
    // workbook into the destination sheet put theirs; the names the formulas use come along.
    detail::ReferenceState& refs = sw.parent_->app_->referenceState();
    detail::CopyRefs* copyRefs = nullptr;
    std::optional<detail::ReferencePolicy> policy;
    if (!sameBook) {
        copyRefs = &refs.copies[{sw.parent_->serial_, dw.parent_->serial_, &dm}];
        copyRefs->source = sw.parent_;
        copyRefs->target = dw.parent_;
        copyRefs->sheet = &dm;
        if (std::find(copyRefs->copiedFrom.begin(), copyRefs->copiedFrom.end(), &sm) ==
            copyRefs->copiedFrom.end())
            copyRefs->copiedFrom.push_back(&sm);
        for (const Run& run : runs)
            copyRefs->map.addBlock(
                sm.name, dm.name,
                {{run.first, c1, run.last, c2}, int64_t(dr) + run.dest - run.first, dCol});
        policy.emplace(refs, copyRefs->map, sb, sw.parent_->Name());
        if (!sb.names.empty() && !refs.valuesOnly) {
            std::vector<std::string> kept;
            if (copyRefs->names.decided.insert("\x03kept").second)
                kept = detail::keptFormulaTexts(sm.preserved);
            std::vector<std::string_view> texts(kept.begin(), kept.end());
            for (const auto& [b, e] : spans)
                for (size_t i = b; i < e; ++i)
                    for (const ss::Cell& c : srows[i].cells)
                        if (c.hasFormula() && c.col >= c1 && c.col <= c2)
                            if (const ss::Formula* f = sm.formula(srows[i].index, c.col))
                                texts.push_back(f->text);
            detail::NameCarry how;
            how.blocks = true;
            how.wait = refs.merging;
            how.memo = &copyRefs->names;
            detail::carryNames(*policy, copyRefs->map, sb, db, {{&sm, &dm}},
                               detail::namesUsedBy(texts), how);
        }
    }

    // Tables of the source sheet: carried whole, or cut with their look (see RangeTables).
    std::vector<ss::CopiedBlock::Run> moves;
    for (const Run& run : runs)
        moves.push_back({run.first, run.last, int64_t(dr) + run.dest - run.first});
    detail::RangeTables tables(
        refs, {&sb, sw.parent_->serial_, &sm, &db, dw.parent_->serial_, c1, c2, dCol,
               std::move(moves), copyRefs ? &copyRefs->map : nullptr});

    // The texts the copy brings are looked up in the destination's table together, first.
    if (maps) {
        for (const auto& [b, e] : spans)
            for (size_t i = b; i < e; ++i)
                for (const ss::Cell& c : srows[i].cells)
                    if (c.type == ss::CellType::String && c.col >= c1 && c.col <= c2)
                        maps->noteString(c.sst);
        maps->mapAhead();
    }

    std::vector<ss::Row> incoming;
    std::vector<std::pair<uint64_t, ss::Formula>> formulas;
    for (size_t k = 0; k < runs.size(); ++k) {
        const Run& run = runs[k];
        // Scattered rows (a split by value) wait on memory: the rows of the runs ahead are
        // asked for early.
        if (k + 8 < runs.size() && spans[k + 8].first < srows.size())
            __builtin_prefetch(&srows[spans[k + 8].first]);
        if (k + 4 < runs.size() && spans[k + 4].first < srows.size())
            __builtin_prefetch(srows[spans[k + 4].first].cells.data());
        for (size_t i = spans[k].first; i < spans[k].second; ++i) {
            const ss::Row& src = srows[i];
            ss::Row row;
            row.index = dr + run.dest + (src.index - run.first);
            if (src.customHeight) {
                row.customHeight = true;
                row.height = src.height;
            }
            // Hidden rows and outline groups go with their rows, wherever the runs land.
            row.hidden = src.hidden;
            row.collapsed = src.collapsed;
            row.outlineLevel = src.outlineLevel;
            if (entireRows && src.customFormat) {
                row.customFormat = true;
                row.style = mapStyle(src.style);
            }
            auto it = std::lower_bound(src.cells.begin(), src.cells.end(), c1,
                                       [](const ss::Cell& c, uint32_t v) { return c.col < v; });
            row.cells.reserve(size_t(src.cells.end() - it));
            for (; it != src.cells.end() && it->col <= c2; ++it) {
                ss::Cell c = *it;
                c.col = uint16_t(c.col + dCol);
                c.style = mapStyle(c.style);
                if (c.type == ss::CellType::String) c.sst = mapString(c.sst);
                if (c.hasFormula()) {
                    c.flags &= uint8_t(~ss::Cell::kHasFormula);
                    if (const ss::Formula* f = sm.formula(src.index, it->col)) {
                        ss::Formula g = *f;
                        int64_t dRow = int64_t(row.index) - int64_t(src.index);
                        std::optional<std::string> text;
                        // In a merge, what names blocks still to come waits for them.
                        if (!sameBook)
                            text = policy->cellFormula(
                                tables.formula(f->text, src.index, it->col), sm.name, src.index,
                                it->col, refs.merging && !g.array ? &copyRefs->formulas : nullptr,
                                ss::Worksheet::key(row.index, c.col));
                        else if (!refs.valuesOnly)
                            text = ss::shiftFormula(tables.formula(f->text, src.index, it->col),
                                                    dRow, dCol);
                        bool keep = text.has_value();
                        if (keep) g.text = std::move(*text);
                        if (keep && g.array) {
                            const ss::CellRange& ar = f->arrayRange;
                            keep = ar.firstCol >= c1 && ar.lastCol <= c2 &&
                                   sameRun(ar.firstRow, ar.lastRow);
                            if (keep) {
                                g.arrayRange = ss::CellRange{
                                    uint32_t(ar.firstRow + dRow), uint32_t(ar.firstCol + dCol),
                                    uint32_t(ar.lastRow + dRow), uint32_t(ar.lastCol + dCol)};
                            }
                        }
                        if (keep) {
                            c.flags |= ss::Cell::kHasFormula;
                            formulas.emplace_back(ss::Worksheet::key(row.index, c.col),
                                                  std::move(g));
                        }
                    }
                }
                row.cells.push_back(c);
            }
            if (!row.cells.empty() || row.hasFormat()) incoming.push_back(std::move(row));
        }
    }
    // Dates of a workbook of the other date system are restated for the destination's.
    if (sb.date1904 != db.date1904) {
        detail::DateShift dates(db.styles, sb.date1904);
        dates.apply(incoming);
        dates.report(refs.report);
    }
    std::vector<ss::CellRange> merges;
    for (const ss::CellRange& mg : sm.merges) {
        if (mg.firstCol < c1 || mg.lastCol > c2 || !sameRun(mg.firstRow, mg.lastRow)) continue;
        uint32_t first = *destRowOf(mg.firstRow);
        merges.push_back(ss::CellRange{first, uint32_t(mg.firstCol + dCol),
                                       first + (mg.lastRow - mg.firstRow),
                                       uint32_t(mg.lastCol + dCol)});
    }
    // The settings of the copied columns, for the columns they land in.
    std::vector<ss::ColumnInfo> columns;
    auto endsBefore = [](const ss::ColumnInfo& info, uint32_t col) { return info.last < col; };
    for (auto it = std::lower_bound(sm.columns.begin(), sm.columns.end(), c1, endsBefore);
         it != sm.columns.end() && it->first <= c2; ++it) {
        if (it->width <= 0 && !it->hidden && !it->outlineLevel && !it->collapsed) continue;
        ss::ColumnInfo ci;
        ci.first = uint32_t(std::max(it->first, c1) + dCol);
        ci.last = uint32_t(std::min(it->last, c2) + dCol);
        ci.width = it->width;
        ci.customWidth = it->customWidth;
        ci.hidden = it->hidden;
        ci.outlineLevel = it->outlineLevel;
        ci.collapsed = it->collapsed;
        columns.push_back(ci);
    }

    // The destination: clear the area, then put the rows in (one merge pass over the rows).
    auto& drows = dm.mutableRows();
    auto& dformulas = dm.mutableFormulas();
    auto clearRow = [&](ss::Row& row) {
        auto b = std::lower_bound(row.cells.begin(), row.cells.end(), dc,
                                  [](const ss::Cell& c, uint32_t v) { return c.col < v; });
        auto e = b;
        while (e != row.cells.end() && e->col <= dcEnd) {
            if (e->hasFormula()) dformulas.erase(ss::Worksheet::key(row.index, e->col));
            ++e;
        }
        return row.cells.erase(b, e);
    };
    auto mergeInto = [&](ss::Row& row, ss::Row&& in) {
        auto pos = clearRow(row);
        row.cells.insert(pos, in.cells.begin(), in.cells.end());
        if (in.customHeight && !row.customHeight) {
            row.customHeight = true;
            row.height = in.height;
        }
        if (in.customFormat) {
            row.customFormat = true;
            row.style = in.style;
        }
        // What the destination hides or groups beside the block stays so.
        row.hidden = row.hidden || in.hidden;
        row.collapsed = row.collapsed || in.collapsed;
        row.outlineLevel = std::max(row.outlineLevel, in.outlineLevel);
    };
    size_t firstTouched = rowPos(drows, dr);
    if (firstTouched == drows.size()) {
        for (ss::Row& r : incoming) drows.push_back(std::move(r));
    } else {
        std::vector<ss::Row> out;
        out.reserve(drows.size() + incoming.size());
        size_t i = 0, j = 0;
        for (; i < firstTouched; ++i) out.push_back(std::move(drows[i]));
        while (i < drows.size() || j < incoming.size()) {
            if (j == incoming.size() || (i < drows.size() && drows[i].index < incoming[j].index)) {
                ss::Row& r = drows[i++];
                if (r.index >= dr && r.index <= drEnd) clearRow(r);
                out.push_back(std::move(r));
            } else if (i == drows.size() || incoming[j].index < drows[i].index) {
                out.push_back(std::move(incoming[j++]));
            } else {
                ss::Row& r = drows[i++];
                mergeInto(r, std::move(incoming[j++]));
                out.push_back(std::move(r));
            }
        }
        drows = std::move(out);
    }
    for (auto& [k, f] : formulas) dformulas.insert_or_assign(k, std::move(f));

    // Conditional formats, data validation and hyperlinks of the copied cells go along, and so
    // do the 2010 extensions (data bars, icon sets, validations, sparklines).
    ss::CopiedBlock block;
    block.firstCol = c1;
    block.lastCol = c2;
    block.dCol = dCol;
    for (const Run& run : runs)
        block.runs.push_back({run.first, run.last, int64_t(dr) + run.dest - run.first});
    auto keptRestater = [&](ss::KeptText kind, std::string_view f, int64_t dRow,
                            int64_t dCol) -> std::optional<std::string> {
        if (!sameBook) return policy->kept(kind, f, sm.name);
        if (kind == ss::KeptText::LinkLocation) return std::string(f);
        return ss::shiftFormula(f, dRow, dCol);
    };
    // In a merge, the classic elements' texts that name blocks still to come wait for them.
    auto waitingRestater = [&](ss::KeptText kind, std::string_view f, int64_t dRow,
                               int64_t dCol) -> std::optional<std::string> {
        if (!sameBook)
            return policy->kept(kind, f, sm.name, refs.merging ? &copyRefs->texts : nullptr);
        return keptRestater(kind, f, dRow, dCol);
    };
    if (!sm.preserved.empty() || !dm.preserved.empty()) {
        std::vector<uint32_t> dxf;
        const bool formats = std::any_of(sm.preserved.begin(), sm.preserved.end(), [](auto& p) {
            return p.element == "conditionalFormatting";
        });
        if (!sameBook && formats) dxf = detail::dxfMap(sb, db);
        ss::copyPreserved(sm, dm, block, sameBook ? nullptr : &dxf, waitingRestater);
    }
    if (sm.parts || dm.parts || dw.extensions_) {
        if (!dw.extensions_) dw.extensions_ = std::make_unique<ss::ExtensionCopier>();
        if (&sw == &dw) dw.flushExtensions();  // the source is read from the parts
        const size_t waiting = copyRefs ? copyRefs->texts.size() : 0;
        for (uint32_t item : dw.extensions_->copy(sm, dm, block, waitingRestater))
            sw.noteCarried("扩展规则与迷你图", item);
        if (copyRefs && copyRefs->texts.size() > waiting) copyRefs->extWaiting = true;
    }

    // Notes on the copied cells replace those of the area.
    if (!sm.notes.empty() || !dm.notes.empty()) {
        std::vector<ss::CellNote> added;
        for (const ss::CellNote& n : sm.notes) {
            if (n.col < c1 || n.col > c2) continue;
            if (auto to = destRowOf(n.row)) {
                ss::CellNote c = n;
                c.row = *to;
                c.col = uint32_t(int64_t(n.col) + dCol);
                added.push_back(std::move(c));
            }
        }
        std::erase_if(dm.notes, [&](const ss::CellNote& n) {
            if (n.col < dc || n.col > dcEnd) return false;
            return std::any_of(runs.begin(), runs.end(), [&](const Run& r) {
                return n.row >= dr + r.dest && n.row <= dr + r.dest + (r.last - r.first);
            });
        });
        for (ss::CellNote& n : added) dm.notes.push_back(std::move(n));
    }

    tables.finish(dm, sw);

    ss::CellRange destArea{dr, dc, drEnd, dcEnd};
    std::erase_if(dm.merges, [&](const ss::CellRange& mg) { return mg.intersects(destArea); });
    dm.merges.insert(dm.merges.end(), merges.begin(), merges.end());
    if (!columns.empty()) dm.columns = overlayColumns(dm.columns, columns);

    // Pictures, shapes and charts anchored in the copied cells go along.
    if (sm.parts && &sm != &dm) {
        ss::CopiedBlock block;
        block.firstCol = c1;
        block.lastCol = c2;
        block.dCol = dCol;
        for (const Run& run : runs)
            block.runs.push_back({run.first, run.last, int64_t(dr) + run.dest - run.first});
        detail::SheetDrawings::copy(sw, dw, block, sameBook ? nullptr : &copyRefs->map,
                                    sw.parent_->serial_);
    }
    return ss::okStatus();
}

}  // namespace automation

#include "worksheet.h"

#include <algorithm>

namespace ss {

namespace {

template <class Rows>
auto rowIterator(Rows& rows, uint32_t index) {
    // Fast path for the common case of appending or touching the last row.
    if (!rows.empty() && rows.back().index < index) return rows.end();
    return std::lower_bound(rows.begin(), rows.end(), index,
                            [](const Row& r, uint32_t i) { return r.index < i; });
}

template <class Cells>
auto cellIterator(Cells& cells, uint32_t col) {
    if (!cells.empty() && cells.back().col < col) return cells.end();
    return std::lower_bound(cells.begin(), cells.end(), col,
                            [](const Cell& c, uint32_t i) { return c.col < i; });
}

}  // namespace

const Row* Worksheet::findRow(uint32_t row) const {
    auto it = rowIterator(rows_, row);
    return it != rows_.end() && it->index == row ? &*it : nullptr;
}

Row* Worksheet::findRow(uint32_t row) {
    auto it = rowIterator(rows_, row);
    return it != rows_.end() && it->index == row ? &*it : nullptr;
}

Row& Worksheet::row(uint32_t row) {
    auto it = rowIterator(rows_, row);
    if (it != rows_.end() && it->index == row) return *it;
    it = rows_.insert(it, Row{});
    it->index = row;
    return *it;
}

const Cell* Worksheet::find(uint32_t row, uint32_t col) const {
    const Row* r = findRow(row);
    if (!r) return nullptr;
    auto it = cellIterator(r->cells, col);
    return it != r->cells.end() && it->col == col ? &*it : nullptr;
}

Cell* Worksheet::find(uint32_t row, uint32_t col) {
    Row* r = findRow(row);
    if (!r) return nullptr;
    auto it = cellIterator(r->cells, col);
    return it != r->cells.end() && it->col == col ? &*it : nullptr;
}

Cell& Worksheet::cell(uint32_t row, uint32_t col) {
    Row& r = this->row(row);
    auto it = cellIterator(r.cells, col);
    if (it != r.cells.end() && it->col == col) return *it;
    it = r.cells.insert(it, Cell{});
    it->col = uint16_t(col);
    return *it;
}

void Worksheet::setNumber(uint32_t row, uint32_t col, double v, uint32_t style) {
    Cell& c = cell(row, col);
    c.type = CellType::Number;
    c.number = v;
    c.style = style;
}

void Worksheet::setString(uint32_t row, uint32_t col, uint32_t sst, uint32_t style) {
    Cell& c = cell(row, col);
    c.type = CellType::String;
    c.number = 0;
    c.sst = sst;
    c.style = style;
}

void Worksheet::setBoolean(uint32_t row, uint32_t col, bool v, uint32_t style) {
    Cell& c = cell(row, col);
    c.type = CellType::Boolean;
    c.number = 0;
    c.boolean = v;
    c.style = style;
}

void Worksheet::setError(uint32_t row, uint32_t col, ErrorCode e, uint32_t style) {
    Cell& c = cell(row, col);
    c.type = CellType::Error;
    c.number = 0;
    c.error = e;
    c.style = style;
}

void Worksheet::removeCell(uint32_t row, uint32_t col) {
    Row* r = findRow(row);
    if (!r) return;
    auto it = cellIterator(r->cells, col);
    if (it == r->cells.end() || it->col != col) return;
    if (it->hasFormula()) formulas_.erase(key(row, col));
    r->cells.erase(it);
}

size_t Worksheet::cellCount() const {
    size_t n = 0;
    for (const Row& r : rows_) n += r.cells.size();
    return n;
}

void Worksheet::normalize() {
    auto byIndex = [](const Row& a, const Row& b) { return a.index < b.index; };
    if (!std::is_sorted(rows_.begin(), rows_.end(), byIndex)) {
        std::stable_sort(rows_.begin(), rows_.end(), byIndex);
        // Merge duplicate rows (a row element given twice): later cells win.
        std::vector<Row> merged;
        merged.reserve(rows_.size());
        for (Row& r : rows_) {
            if (!merged.empty() && merged.back().index == r.index) {
                Row& m = merged.back();
                for (Cell& c : r.cells) m.cells.push_back(c);
                if (r.hasFormat()) {
                    auto cells = std::move(m.cells);
                    m = std::move(r);
                    m.cells = std::move(cells);
                }
            } else {
                merged.push_back(std::move(r));
            }
        }
        rows_ = std::move(merged);
    }
    auto byCol = [](const Cell& a, const Cell& b) { return a.col < b.col; };
    for (Row& r : rows_) {
        if (std::is_sorted(r.cells.begin(), r.cells.end(), byCol)) {
            bool dup = false;
            for (size_t i = 1; i < r.cells.size() && !dup; ++i)
                dup = r.cells[i].col == r.cells[i - 1].col;
            if (!dup) continue;
        }
        std::stable_sort(r.cells.begin(), r.cells.end(), byCol);
        // Keep the last cell given for a column.
        std::vector<Cell> out;
        out.reserve(r.cells.size());
        for (const Cell& c : r.cells) {
            if (!out.empty() && out.back().col == c.col)
                out.back() = c;
            else
                out.push_back(c);
        }
        r.cells = std::move(out);
    }
}

const Formula* Worksheet::formula(uint32_t row, uint32_t col) const {
    auto it = formulas_.find(key(row, col));
    return it == formulas_.end() ? nullptr : &it->second;
}

void Worksheet::setFormula(uint32_t row, uint32_t col, Formula f) {
    cell(row, col).flags |= Cell::kHasFormula;
    formulas_[key(row, col)] = std::move(f);
}

void Worksheet::clearFormula(uint32_t row, uint32_t col) {
    if (Cell* c = find(row, col)) c->flags &= uint8_t(~Cell::kHasFormula);
    formulas_.erase(key(row, col));
}

void Worksheet::insertRows(uint32_t at, uint32_t count) {
    if (count == 0) return;
    auto it = rowIterator(rows_, at);
    for (auto i = it; i != rows_.end(); ++i) i->index += count;
    for (CellRange& m : merges) {
        if (m.firstRow >= at) {
            m.firstRow += count;
            m.lastRow += count;
        } else if (m.lastRow >= at) {
            m.lastRow += count;
        }
    }
    if (autoFilter && autoFilter->firstRow >= at) {
        autoFilter->firstRow += count;
        autoFilter->lastRow += count;
    } else if (autoFilter && autoFilter->lastRow >= at) {
        autoFilter->lastRow += count;
    }
    if (!formulas_.empty()) {
        std::unordered_map<uint64_t, Formula> moved;
        moved.reserve(formulas_.size());
        for (auto& [k, f] : formulas_) {
            uint32_t r = keyRow(k);
            if (f.array && f.arrayRange.firstRow >= at) {
                f.arrayRange.firstRow += count;
                f.arrayRange.lastRow += count;
            }
            moved.emplace(r >= at ? key(r + count, keyCol(k)) : k, std::move(f));
        }
        formulas_ = std::move(moved);
    }
}

void Worksheet::deleteRows(uint32_t at, uint32_t count) {
    std::vector<uint32_t> rows;
    rows.reserve(count);
    for (uint32_t i = 0; i < count; ++i) rows.push_back(at + i);
    deleteRowSet(rows);
}

void Worksheet::deleteRowSet(const std::vector<uint32_t>& sorted) {
    if (sorted.empty()) return;
    auto deletedBefore = [&](uint32_t r) {  // deleted rows with index < r
        return uint32_t(std::lower_bound(sorted.begin(), sorted.end(), r) - sorted.begin());
    };
    auto isDeleted = [&](uint32_t r) {
        return std::binary_search(sorted.begin(), sorted.end(), r);
    };

    size_t out = 0;
    size_t d = 0;  // deleted rows passed so far
    for (size_t i = 0; i < rows_.size(); ++i) {
        Row& r = rows_[i];
        while (d < sorted.size() && sorted[d] < r.index) ++d;
        if (d < sorted.size() && sorted[d] == r.index) continue;
        r.index -= uint32_t(d);
        if (out != i) rows_[out] = std::move(r);
        ++out;
    }
    rows_.resize(out);

    auto mapRange = [&](CellRange& m) {
        // Rows of the range that survive close up; returns false when none survives.
        uint32_t gone = deletedBefore(m.lastRow + 1) - deletedBefore(m.firstRow);
        if (gone == m.rowCount()) return false;
        uint32_t first = m.firstRow - deletedBefore(m.firstRow);
        m.lastRow = first + (m.rowCount() - gone) - 1;
        m.firstRow = first;
        return true;
    };
    std::vector<CellRange> kept;
    for (CellRange m : merges)
        if (mapRange(m) && (m.rowCount() > 1 || m.colCount() > 1)) kept.push_back(m);
    merges = std::move(kept);
    if (autoFilter) {
        CellRange a = *autoFilter;
        if (mapRange(a))
            autoFilter = a;
        else
            autoFilter.reset();
    }
    if (!formulas_.empty()) {
        std::unordered_map<uint64_t, Formula> moved;
        moved.reserve(formulas_.size());
        for (auto& [k, f] : formulas_) {
            uint32_t r = keyRow(k);
            if (isDeleted(r)) continue;
            if (f.array && !mapRange(f.arrayRange)) f.array = false;
            moved.emplace(key(r - deletedBefore(r), keyCol(k)), std::move(f));
        }
        formulas_ = std::move(moved);
    }
}

std::optional<CellRange> Worksheet::contentBounds() const {
    // A formula without a stored value (as some writers leave it) is content too.
    auto content = [](const Cell& c) {
        return c.type != CellType::Empty || c.style != 0 || (c.flags & Cell::kHasFormula);
    };
    std::optional<CellRange> b;
    for (const Row& r : rows_) {
        // A row's cells are in column order: its first and last content cells bound it.
        auto first = std::find_if(r.cells.begin(), r.cells.end(), content);
        if (first == r.cells.end()) continue;
        auto last = std::find_if(r.cells.rbegin(), r.cells.rend(), content);
        if (!b) {
            b = CellRange{r.index, first->col, r.index, last->col};
        } else {
            b->firstRow = std::min(b->firstRow, r.index);
            b->lastRow = std::max(b->lastRow, r.index);
            b->firstCol = std::min<uint32_t>(b->firstCol, first->col);
            b->lastCol = std::max<uint32_t>(b->lastCol, last->col);
        }
    }
    return b;
}

const ColumnInfo* Worksheet::columnInfo(uint32_t col) const {
    auto it = std::lower_bound(columns.begin(), columns.end(), col,
                               [](const ColumnInfo& c, uint32_t i) { return c.last < i; });
    return it != columns.end() && it->first <= col ? &*it : nullptr;
}

}  // namespace ss

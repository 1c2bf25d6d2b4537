// Pieces shared by the object model's sources; not part of its interface.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "application.h"

namespace automation {

namespace detail {

// What a Range handle points to. The worksheet holds a weak reference and moves the areas when
// rows are inserted or deleted; `sheet` becomes null when the sheet goes away.
struct RangeState {
    Worksheet* sheet = nullptr;
    std::vector<ss::CellRange> areas;  // in sheet order; SpecialCells gives row bands
};

// A filter criterion: the whole text must match; "*" any text, "?" one character, "~" makes the
// next character literal. The empty criterion selects blank cells.
class Criterion {
public:
    explicit Criterion(std::string_view pattern);
    bool matches(std::string_view text) const;

private:
    enum class Kind : uint8_t { Literal, One, Any };
    struct Token {
        Kind kind;
        char32_t ch;
    };
    std::vector<Token> tokens_;
    bool plain_ = true;    // no wildcard: a byte comparison with `literal_` decides
    std::string literal_;  // the pattern with its escapes removed
};

// Source index -> destination index, made once per index: a hash map while few indexes are
// asked for, a table over all of them once a large copy comes.
class IndexMap {
public:
    template <class Make>
    uint32_t get(uint32_t i, Make make) {
        if (i < dense_.size()) {
            if (dense_[i] == UINT32_MAX) dense_[i] = make(i);
            return dense_[i];
        }
        auto it = sparse_.find(i);
        if (it != sparse_.end()) return it->second;
        return sparse_[i] = make(i);
    }
    void makeDense(size_t size) {
        if (dense_.size() >= size) return;
        dense_.resize(size, UINT32_MAX);
        for (auto [k, v] : sparse_)
            if (k < size) dense_[k] = v;
        sparse_.clear();
    }

private:
    std::vector<uint32_t> dense_;
    std::unordered_map<uint32_t, uint32_t> sparse_;
};

// How the shared strings and cell formats of one workbook map into another. Kept by the
// application for each pair that cells were copied between, until either workbook closes:
// tables only grow, so what was mapped stays right, and a copy made row by row interns each
// format once, not once per row.
class CopyMaps {
public:
    CopyMaps(const ss::Workbook& from, ss::Workbook& to)
        : from_(from), to_(to), interner_(from.styles, to.styles) {}
    // A copy of about `cells` cells follows: big enough, and the maps become tables.
    void prepare(uint64_t cells) {
        if (cells >= from_.strings.size()) strings_.makeDense(from_.strings.size());
        if (cells >= from_.styles.cellXfs.size()) styles_.makeDense(from_.styles.cellXfs.size());
    }
    uint32_t style(uint32_t xf) {
        return styles_.get(xf, [&](uint32_t i) { return interner_(i); });
    }
    uint32_t string(uint32_t sst) {
        return strings_.get(sst, [&](uint32_t k) {
            if (k >= from_.strings.size()) return to_.strings.add("");
            const auto* rich = from_.strings.runs(k);
            return rich ? to_.strings.addRich(*rich) : to_.strings.add(from_.strings.text(k));
        });
    }

private:
    const ss::Workbook& from_;
    ss::Workbook& to_;
    ss::StyleInterner interner_;
    IndexMap styles_, strings_;
};

// Code points of a UTF-8 text; a byte that does not start a valid sequence stands for itself.
void decodeUtf8(std::string_view s, std::u32string& out);

// Whether a formula can live in workbook `to`: every sheet and defined name it refers to exists
// there and it points into no other workbook. For a sheet copy, `selfName` and `copyName` are
// the copied sheet's name before and after: references to itself need the name kept.
bool formulaFitsWorkbook(const ss::Formula& f, ss::Workbook& to, std::string_view selfName = {},
                         std::string_view copyName = {},
                         const ss::SheetParts* carried = nullptr);  // its tables count too

// The differential formats of `from` in `to` (found, or added): index in `from` -> in `to`.
std::vector<uint32_t> dxfMap(const ss::Workbook& from, ss::Workbook& to);

// Sorted, disjoint row bands [first, last] of the given areas (columns ignored).
std::vector<std::pair<uint32_t, uint32_t>> rowBands(const std::vector<ss::CellRange>& areas);

}  // namespace detail

struct Worksheet::Filter {
    std::shared_ptr<detail::RangeState> range;       // the filtered table, header row first
    std::map<uint32_t, detail::Criterion> criteria;  // by field, 1-based from the first column
};

}  // namespace automation

#include "reference_map.h"

#include <algorithm>

#include "../model/reference_parts.h"

namespace ss {

namespace {

using detail::appendPart;
using detail::isDigit;
using detail::isLetter;
using detail::isWordChar;
using detail::parsePart;
using Part = detail::RefPart;

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y) return false;
    }
    return true;
}

constexpr std::string_view kErrors[] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",
                                        "#NAME?", "#NUM!",   "#N/A",    "#GETTING_DATA"};

class Restater {
public:
    Restater(std::string_view f, const ReferenceMap& map, std::string_view home)
        : f_(f), map_(map), home_(home) {}

    std::optional<std::string> run() {
        out_.reserve(f_.size() + 16);
        size_t i = 0;
        while (i < f_.size()) {
            const char c = f_[i];
            if (c == '"') {
                size_t k = detail::stringEnd(f_, i);
                out_.append(f_.substr(i, k - i));
                i = k;
            } else if (c == '{') {  // array constant: numbers, texts and errors only
                size_t k = i + 1;
                while (k < f_.size() && f_[k] != '}')
                    k = f_[k] == '"' ? detail::stringEnd(f_, k) : k + 1;
                k = std::min(f_.size(), k + 1);
                out_.append(f_.substr(i, k - i));
                i = k;
            } else if (c == '#') {
                i = error(i);
            } else if (c == '[') {
                return std::nullopt;  // another workbook ([1]Sheet!A1) or a table's own row
            } else if (c == '\'') {
                size_t k = i + 1;
                std::string sheet;
                while (k < f_.size()) {
                    if (f_[k] == '\'') {
                        if (k + 1 < f_.size() && f_[k + 1] == '\'') {
                            sheet += '\'';
                            k += 2;
                            continue;
                        }
                        break;
                    }
                    sheet += f_[k++];
                }
                if (k + 1 >= f_.size() || f_[k + 1] != '!') return std::nullopt;
                if (sheet.find_first_of(":[]") != std::string::npos) return std::nullopt;
                auto next = qualified(sheet, k + 2);
                if (!next) return std::nullopt;
                i = *next;
            } else if (isWordChar(c)) {
                auto next = word(i);
                if (!next) return std::nullopt;
                i = *next;
            } else {
                out_ += c;
                ++i;
            }
        }
        return std::move(out_);
    }

private:
    size_t error(size_t i) {
        for (std::string_view e : kErrors)
            if (f_.size() - i >= e.size() && equalsNoCase(f_.substr(i, e.size()), e)) {
                out_.append(f_.substr(i, e.size()));
                return i + e.size();
            }
        out_ += f_[i];
        return i + 1;
    }

    size_t wordEnd(size_t i) const {
        while (i < f_.size() && isWordChar(f_[i])) ++i;
        return i;
    }

    // A reference (cell, range, whole columns or rows) at `i`; its end in `end`.
    struct Ref {
        Part a, b;
        bool range = false;
        int kind = 0;  // 0 cells, 1 columns, 2 rows
    };
    std::optional<Ref> reference(size_t i, size_t& end) const {
        const size_t k = wordEnd(i);
        const std::string_view w = f_.substr(i, k - i);
        for (int kind = 0; kind < 3; ++kind) {
            auto a = parsePart(w, kind);
            if (!a) continue;
            if (k < f_.size() && f_[k] == ':') {
                const size_t m = wordEnd(k + 1);
                if (auto b = parsePart(f_.substr(k + 1, m - k - 1), kind)) {
                    end = m;
                    return Ref{*a, *b, true, kind};
                }
            }
            if (kind == 0) {
                end = k;
                return Ref{*a, Part{}, false, 0};
            }
        }
        return std::nullopt;
    }

    // Writes where the reference's cells land on `landing`; false when they do not.
    bool land(const Ref& r, const SheetLanding& landing) {
        CellRange src;
        if (r.kind == 1) {
            src = {1, std::min(r.a.col, r.b.col), kXlsxMaxRows, std::max(r.a.col, r.b.col)};
        } else if (r.kind == 2) {
            src = {std::min(r.a.row, r.b.row), 1, std::max(r.a.row, r.b.row), kXlsxMaxCols};
        } else {
            const Part& b = r.range ? r.b : r.a;
            src = {std::min(r.a.row, b.row), std::min(r.a.col, b.col), std::max(r.a.row, b.row),
                   std::max(r.a.col, b.col)};
        }
        auto to = ReferenceMap::landRange(landing, src);
        if (!to) return false;
        auto moved = [&](Part p) {
            if (p.row) p.row = p.row == src.firstRow ? to->firstRow : to->lastRow;
            if (p.col) p.col = p.col == src.firstCol ? to->firstCol : to->lastCol;
            return p;
        };
        appendPart(out_, moved(r.a));
        if (r.range) {
            out_ += ':';
            appendPart(out_, moved(r.b));
        }
        return true;
    }

    // What follows "Sheet!" at `i`: a reference, a name local to the sheet, or an error.
    std::optional<size_t> qualified(std::string_view sheet, size_t i) {
        const SheetLanding* landing = map_.sheet(sheet);
        if (!landing) return std::nullopt;
        out_ += quoteSheetName(landing->name);
        out_ += '!';
        if (i < f_.size() && f_[i] == '#') return error(i);
        size_t end = i;
        if (auto r = reference(i, end)) {
            if (!land(*r, *landing)) return std::nullopt;
            return end;
        }
        const size_t k = wordEnd(i);
        if (k == i) return std::nullopt;
        const std::string* n = map_.name(f_.substr(i, k - i), sheet);
        if (!n) return std::nullopt;
        out_ += *n;
        return k;
    }

    std::optional<size_t> word(size_t i) {
        const size_t k = wordEnd(i);
        const std::string_view w = f_.substr(i, k - i);
        if (k < f_.size() && f_[k] == '!') return qualified(w, k + 1);
        if (k < f_.size() && f_[k] == ':') {  // Sheet1:Sheet3!A1 spans several sheets
            const size_t m = wordEnd(k + 1);
            if (m < f_.size() && f_[m] == '!') return std::nullopt;
        }
        if (k < f_.size() && f_[k] == '(') {  // a function
            out_.append(w);
            return k;
        }
        size_t end = i;
        if (auto r = reference(i, end)) {
            const SheetLanding* landing = home_.empty() ? nullptr : map_.sheet(home_);
            if (!landing || !land(*r, *landing)) return std::nullopt;
            return end;
        }
        if (isDigit(w[0]) || w[0] == '.') {  // a number; an exponent's sign is no word char
            out_.append(w);
            size_t n = k;
            const char last = w.back();
            if ((last == 'E' || last == 'e') && n < f_.size() && (f_[n] == '+' || f_[n] == '-')) {
                out_ += f_[n++];
                while (n < f_.size() && isDigit(f_[n])) out_ += f_[n++];
            }
            return n;
        }
        if (equalsNoCase(w, "TRUE") || equalsNoCase(w, "FALSE") ||
            (w.size() > 6 && equalsNoCase(w.substr(0, 6), "_xlpm."))) {  // a LAMBDA parameter
            out_.append(w);
            return k;
        }
        const std::string* n = map_.name(w, home_);
        if (!n) return std::nullopt;
        out_ += *n;
        if (k < f_.size() && f_[k] == '[') {  // Table1[Column]
            const size_t e = std::min(detail::bracketEnd(f_, k), f_.size());
            out_.append(f_.substr(k, e - k));
            return e;
        }
        return k;
    }

    std::string_view f_;
    const ReferenceMap& map_;
    std::string_view home_;
    std::string out_;
};

bool blockBefore(const BlockMove& a, const BlockMove& b) {
    return a.source.firstRow < b.source.firstRow ||
           (a.source.firstRow == b.source.firstRow && a.source.firstCol < b.source.firstCol);
}

}  // namespace

std::string ReferenceMap::key(std::string_view s) {
    std::string k(s);
    for (char& c : k)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return k;
}

void ReferenceMap::addSheet(std::string_view sourceName, SheetLanding landing) {
    std::sort(landing.blocks.begin(), landing.blocks.end(), blockBefore);
    sheets_.insert_or_assign(key(sourceName), std::move(landing));
}

void ReferenceMap::addBlock(std::string_view sourceName, std::string_view targetName,
                            BlockMove block) {
    auto [it, added] = sheets_.try_emplace(key(sourceName));
    SheetLanding& l = it->second;
    if (added) {
        l.name = std::string(targetName);
        l.whole = false;
    }
    auto at = std::upper_bound(l.blocks.begin(), l.blocks.end(), block, blockBefore);
    l.blocks.insert(at, block);
}

void ReferenceMap::addName(std::string_view sourceName, std::string targetName,
                           std::optional<std::string_view> localSheet) {
    names_.insert_or_assign(key(localSheet.value_or("")) + '\x01' + key(sourceName),
                            std::move(targetName));
}

void ReferenceMap::removeSheet(std::string_view sourceName) {
    sheets_.erase(key(sourceName));
}

const SheetLanding* ReferenceMap::sheet(std::string_view sourceName) const {
    auto it = sheets_.find(key(sourceName));
    return it == sheets_.end() ? nullptr : &it->second;
}

const std::string* ReferenceMap::name(std::string_view sourceName,
                                      std::string_view homeSheet) const {
    const std::string n = '\x01' + key(sourceName);
    if (!homeSheet.empty()) {
        auto it = names_.find(key(homeSheet) + n);
        if (it != names_.end()) return &it->second;
    }
    auto it = names_.find(n);
    return it == names_.end() ? nullptr : &it->second;
}

std::optional<CellRange> ReferenceMap::landRange(const SheetLanding& landing, const CellRange& r) {
    if (landing.whole) return r;
    const auto& blocks = landing.blocks;
    // The block holding row `row` across the range's columns: a search by first row, then a
    // short walk back (blocks of other columns may start between).
    auto holding = [&](uint32_t row) -> const BlockMove* {
        auto it =
            std::upper_bound(blocks.begin(), blocks.end(), row,
                             [](uint32_t v, const BlockMove& b) { return v < b.source.firstRow; });
        for (int walked = 0; it != blocks.begin() && walked < 64; ++walked) {
            const BlockMove& b = *--it;
            if (b.source.lastRow >= row && b.source.firstCol <= r.firstCol &&
                b.source.lastCol >= r.lastCol)
                return &b;
        }
        return nullptr;
    };
    const BlockMove* first = holding(r.firstRow);
    if (!first) return std::nullopt;
    const BlockMove* cur = first;
    uint32_t row = r.firstRow;
    for (;;) {
        const uint32_t segEnd = std::min(cur->source.lastRow, r.lastRow);
        if (segEnd == r.lastRow) break;
        const int64_t nextTarget = int64_t(segEnd) + cur->dRow + 1;
        row = segEnd + 1;
        const BlockMove* next = holding(row);
        if (!next || next->dCol != first->dCol || int64_t(row) + next->dRow != nextTarget)
            return std::nullopt;
        cur = next;
    }
    const int64_t r1 = int64_t(r.firstRow) + first->dRow, r2 = int64_t(r.lastRow) + cur->dRow;
    const int64_t c1 = int64_t(r.firstCol) + first->dCol, c2 = int64_t(r.lastCol) + first->dCol;
    if (r1 < 1 || c1 < 1 || r2 > int64_t(kXlsxMaxRows) || c2 > int64_t(kXlsxMaxCols))
        return std::nullopt;
    return CellRange{uint32_t(r1), uint32_t(c1), uint32_t(r2), uint32_t(c2)};
}

std::optional<std::string> restateFormula(std::string_view formula, const ReferenceMap& map,
                                          std::string_view homeSheet) {
    return Restater(formula, map, homeSheet).run();
}

std::string quoteSheetName(std::string_view name) {
    bool plain = !name.empty() && !isDigit(name[0]) && name[0] != '.';
    for (char c : name) plain = plain && (isLetter(c) || isDigit(c) || c == '_' || c == '.');
    // A name that reads as a reference or a boolean needs the apostrophes too.
    if (plain && (parsePart(name, 0) || equalsNoCase(name, "TRUE") || equalsNoCase(name, "FALSE")))
        plain = false;
    if (plain && (name[0] == 'R' || name[0] == 'r' || name[0] == 'C' || name[0] == 'c')) {
        // R1C1-style: R, C, R1, C2, R1C1 ...
        size_t i = 0;
        bool rc = true;
        for (char want : {'R', 'C'}) {
            if (i < name.size() && (name[i] | 0x20) == (want | 0x20)) {
                ++i;
                while (i < name.size() && isDigit(name[i])) ++i;
            }
        }
        rc = i == name.size();
        if (rc) plain = false;
    }
    if (plain) return std::string(name);
    std::string out = "'";
    for (char c : name) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

}  // namespace ss

#include "formula.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "cell.h"
#include "reference_parts.h"
#include "workbook.h"

namespace ss {

namespace {

using detail::appendPart;
using detail::isDigit;
using detail::isLetter;
using detail::isWordChar;
using detail::parsePart;
using detail::RefPart;

struct Ref {
    RefPart a, b;
    bool range = false;
    bool qualified = false;  // preceded by a sheet (or workbook) name
    std::string_view sheet;  // that sheet's name as written (unquoted: quoted names keep ''),
                             // empty for another workbook's
    bool quotedSheet = false;
};

std::string refText(const Ref& r) {
    std::string s;
    appendPart(s, r.a);
    if (r.range) {
        s += ':';
        appendPart(s, r.b);
    }
    return s;
}

constexpr std::string_view kErrors[] = {"#NULL!", "#DIV/0!", "#VALUE!", "#REF!",
                                        "#NAME?", "#NUM!",   "#N/A",    "#GETTING_DATA"};

bool startsWithNoCase(std::string_view s, size_t at, std::string_view w) {
    if (s.size() - at < w.size()) return false;
    for (size_t k = 0; k < w.size(); ++k) {
        char a = s[at + k], b = w[k];
        if (a >= 'a' && a <= 'z') a = char(a - 32);
        if (a != b) return false;
    }
    return true;
}

// What the scanner met, besides references: for formulaNames.
struct Seen {
    std::vector<std::string> sheets, names;
    bool external = false;
};

// Walks a formula, copying everything but references, which `onRef` rewrites (it returns the
// replacement text, or nothing to keep the original). Strings, structured references and
// quoted sheet names are copied untouched.
std::string scan(std::string_view f,
                 const std::function<std::optional<std::string>(const Ref&)>& onRef, Seen* seen) {
    std::string out;
    out.reserve(f.size() + 8);
    size_t i = 0;
    bool qualified = false;      // the next token follows "Sheet!"
    bool externalNext = false;   // a "[1]" workbook index was just read
    std::string_view qualifier;  // the sheet name of "Sheet!" ("" for another workbook's)
    bool quotedQualifier = false;

    auto addUnique = [](std::vector<std::string>& v, std::string s) {
        if (std::find(v.begin(), v.end(), s) == v.end()) v.push_back(std::move(s));
    };
    auto copyBracket = [&](size_t from) {  // copies a bracketed group with nesting; returns end
        int depth = 0;
        size_t k = from;
        for (; k < f.size(); ++k) {
            if (f[k] == '\'' && k + 1 < f.size()) {  // escape character inside structured refs
                ++k;
                continue;
            }
            if (f[k] == '[') ++depth;
            if (f[k] == ']' && --depth == 0) {
                ++k;
                break;
            }
        }
        out.append(f.substr(from, k - from));
        return k;
    };

    while (i < f.size()) {
        char c = f[i];
        if (c == '"') {
            size_t k = i + 1;
            while (k < f.size()) {
                if (f[k] == '"') {
                    if (k + 1 < f.size() && f[k + 1] == '"') {
                        k += 2;
                        continue;
                    }
                    ++k;
                    break;
                }
                ++k;
            }
            out.append(f.substr(i, std::min(k, f.size()) - i));
            i = k;
            qualified = false;
            continue;
        }
        if (c == '\'') {
            size_t k = i + 1;
            std::string name;
            while (k < f.size()) {
                if (f[k] == '\'') {
                    if (k + 1 < f.size() && f[k + 1] == '\'') {
                        name += '\'';
                        k += 2;
                        continue;
                    }
                    ++k;
                    break;
                }
                name += f[k++];
            }
            out.append(f.substr(i, k - i));
            const size_t nameFrom = i + 1, nameTo = k > i + 1 ? k - 1 : i + 1;
            i = k;
            if (i < f.size() && f[i] == '!') {
                out += '!';
                ++i;
                qualified = true;
                const bool external = name.find('[') != std::string::npos || externalNext;
                qualifier = external ? std::string_view() : f.substr(nameFrom, nameTo - nameFrom);
                quotedQualifier = true;
                if (seen) {
                    if (name.find('[') != std::string::npos || externalNext)
                        seen->external = true;
                    else
                        addUnique(seen->sheets, name);
                }
                externalNext = false;
            }
            continue;
        }
        if (c == '[') {
            size_t k = i + 1;
            while (k < f.size() && isDigit(f[k])) ++k;
            if (k > i + 1 && k < f.size() && f[k] == ']') {
                out.append(f.substr(i, k + 1 - i));
                i = k + 1;
                externalNext = true;
                if (seen) seen->external = true;
                continue;
            }
            i = copyBracket(i);
            continue;
        }
        if (c == '#') {
            bool matched = false;
            for (std::string_view e : kErrors)
                if (startsWithNoCase(f, i, e)) {
                    out.append(f.substr(i, e.size()));
                    i += e.size();
                    matched = true;
                    break;
                }
            if (!matched) out += f[i++];
            qualified = false;
            continue;
        }
        if (!isWordChar(c)) {
            if (c == '!' && externalNext) {  // [1]!Name: a name in another workbook
                out += c;
                ++i;
                qualified = true;
                qualifier = {};
                continue;
            }
            out += c;
            ++i;
            if (c != ' ') qualified = false;
            continue;
        }

        size_t k = i;
        while (k < f.size() && isWordChar(f[k])) ++k;
        std::string_view w = f.substr(i, k - i);

        if (k < f.size() && f[k] == '!') {  // unquoted sheet name
            out.append(w);
            out += '!';
            if (seen) {
                if (externalNext)
                    seen->external = true;
                else
                    addUnique(seen->sheets, std::string(w));
            }
            qualifier = externalNext ? std::string_view() : w;
            quotedQualifier = false;
            externalNext = false;
            qualified = true;
            i = k + 1;
            continue;
        }
        if (k < f.size() && f[k] == '(') {  // function
            out.append(w);
            i = k;
            qualified = false;
            externalNext = false;
            continue;
        }

        // References: a cell, a range of cells, whole columns or whole rows.
        std::optional<Ref> ref;
        size_t end = k;
        for (int kind = 0; kind < 3 && !ref; ++kind) {
            auto a = parsePart(w, kind);
            if (!a) continue;
            if (k < f.size() && f[k] == ':') {
                size_t m = k + 1;
                while (m < f.size() && isWordChar(f[m])) ++m;
                auto b = parsePart(f.substr(k + 1, m - k - 1), kind);
                if (b) {
                    ref = Ref{*a,
                              *b,
                              true,
                              qualified,
                              qualified ? qualifier : std::string_view(),
                              quotedQualifier};
                    end = m;
                    continue;
                }
            }
            if (kind == 0)
                ref = Ref{*a,
                          RefPart{},
                          false,
                          qualified,
                          qualified ? qualifier : std::string_view(),
                          quotedQualifier};
        }
        if (ref) {
            auto replacement = onRef(*ref);
            if (replacement)
                out += *replacement;
            else
                out.append(f.substr(i, end - i));
            i = end;
            qualified = false;
            externalNext = false;
            continue;
        }

        out.append(w);
        i = k;
        if (isDigit(w[0]) || w[0] == '.') {
            // A number; an exponent's sign is not a word character.
            char last = w.back();
            if ((last == 'E' || last == 'e') && i < f.size() && (f[i] == '+' || f[i] == '-')) {
                out += f[i++];
                while (i < f.size() && isDigit(f[i])) out += f[i++];
            }
        } else if (!startsWithNoCase(w, 0, "TRUE") || w.size() != 4) {
            if ((!startsWithNoCase(w, 0, "FALSE") || w.size() != 5) && seen && !externalNext)
                addUnique(seen->names, std::string(w));
        }
        if (i < f.size() && f[i] == '[') i = copyBracket(i);  // Table1[Column]
        qualified = false;
        externalNext = false;
    }
    return out;
}

bool moveCoord(uint32_t& v, int64_t d, uint32_t max) {
    int64_t n = int64_t(v) + d;
    if (n < 1 || n > int64_t(max)) return false;
    v = uint32_t(n);
    return true;
}

}  // namespace

std::string shiftFormula(std::string_view formula, int64_t dRow, int64_t dCol) {
    if (dRow == 0 && dCol == 0) return std::string(formula);
    return scan(
        formula,
        [&](const Ref& r) -> std::optional<std::string> {
            Ref n = r;
            bool ok = true;
            for (RefPart* p : {&n.a, &n.b}) {
                if (p == &n.b && !n.range) break;
                if (p->row && !p->absRow) ok = ok && moveCoord(p->row, dRow, kXlsxMaxRows);
                if (p->col && !p->absCol) ok = ok && moveCoord(p->col, dCol, kXlsxMaxCols);
            }
            if (!ok) return std::string("#REF!");
            return refText(n);
        },
        nullptr);
}

namespace {

// Whether a row move of `which` applies to the reference.
bool movesWith(const Ref& r, const RowsOf& which) {
    if (!r.qualified) return which.unqualified;
    if (which.sheet.empty() || r.sheet.empty()) return false;
    if (!r.quotedSheet) return foldSheetName(r.sheet) == foldSheetName(which.sheet);
    std::string name(r.sheet);
    for (size_t q = name.find("''"); q != std::string::npos; q = name.find("''", q + 1))
        name.erase(q, 1);
    return foldSheetName(name) == foldSheetName(which.sheet);
}

}  // namespace

std::string adjustFormulaForRows(std::string_view formula, uint32_t at, int64_t count,
                                 RowsOf which) {
    if (count == 0) return std::string(formula);
    return scan(
        formula,
        [&](const Ref& r) -> std::optional<std::string> {
            if (!movesWith(r, which)) return std::nullopt;
            Ref n = r;
            if (n.a.row == 0) return std::nullopt;  // whole columns: unaffected
            uint32_t first = n.a.row, last = n.range ? n.b.row : n.a.row;
            bool swapped = first > last;
            if (swapped) std::swap(first, last);
            if (count > 0) {
                if (first >= at) first += uint32_t(count);
                if (last >= at) last += uint32_t(count);
                if (last > kXlsxMaxRows) {
                    if (first > kXlsxMaxRows || !n.range) return std::string("#REF!");
                    last = kXlsxMaxRows;
                }
            } else {
                uint64_t gone = uint64_t(-count);
                uint64_t endDel = uint64_t(at) + gone;  // first row after the deleted block
                if (first >= at && last < endDel) return std::string("#REF!");
                auto mapFirst = [&](uint32_t v) -> uint32_t {
                    if (v < at) return v;
                    if (v >= endDel) return uint32_t(v - gone);
                    return at;  // starts inside: the range now starts where the block was
                };
                auto mapLast = [&](uint32_t v) -> uint32_t {
                    if (v < at) return v;
                    if (v >= endDel) return uint32_t(v - gone);
                    return at - 1;
                };
                first = mapFirst(first);
                last = mapLast(last);
            }
            if (swapped) std::swap(first, last);
            n.a.row = first;
            if (n.range) n.b.row = last;
            if (n.a.row == r.a.row && (!n.range || n.b.row == r.b.row)) return std::nullopt;
            return refText(n);
        },
        nullptr);
}

std::string adjustFormulaForDeletedRows(std::string_view formula,
                                        const std::vector<std::pair<uint32_t, uint32_t>>& bands,
                                        RowsOf which) {
    if (bands.empty()) return std::string(formula);
    std::vector<uint64_t> before(bands.size() + 1, 0);  // deleted rows in the bands before i
    for (size_t i = 0; i < bands.size(); ++i)
        before[i + 1] = before[i] + (bands[i].second - bands[i].first + 1);
    auto gone = [&](uint64_t r) -> uint64_t {  // deleted rows with index < r
        auto it = std::lower_bound(
            bands.begin(), bands.end(), r,
            [](const std::pair<uint32_t, uint32_t>& b, uint64_t v) { return b.second < v; });
        size_t i = size_t(it - bands.begin());
        uint64_t n = before[i];
        if (it != bands.end() && it->first < r) n += r - it->first;
        return n;
    };
    return scan(
        formula,
        [&](const Ref& r) -> std::optional<std::string> {
            if (!movesWith(r, which)) return std::nullopt;
            Ref n = r;
            if (n.a.row == 0) return std::nullopt;  // whole columns: unaffected
            uint32_t first = n.a.row, last = n.range ? n.b.row : n.a.row;
            bool swapped = first > last;
            if (swapped) std::swap(first, last);
            uint64_t newFirst = first - gone(first);
            uint64_t newLast = last - gone(uint64_t(last) + 1);
            if (newLast < newFirst) return std::string("#REF!");  // every row of it deleted
            first = uint32_t(newFirst);
            last = uint32_t(newLast);
            if (swapped) std::swap(first, last);
            n.a.row = first;
            if (n.range) n.b.row = last;
            if (n.a.row == r.a.row && (!n.range || n.b.row == r.b.row)) return std::nullopt;
            return refText(n);
        },
        nullptr);
}

FormulaNames formulaNames(std::string_view formula) {
    Seen seen;
    scan(
        formula, [](const Ref&) { return std::optional<std::string>(); }, &seen);
    FormulaNames out;
    out.sheets = std::move(seen.sheets);
    out.names = std::move(seen.names);
    out.externalWorkbook = seen.external;
    return out;
}

}  // namespace ss

// The classic kept elements (conditional formats, data validation, hyperlinks, protected
// ranges, ignored-error flags) in copies of blocks and in row moves, and the row moves of
// everything else a sheet keeps beside its cells.
#include "preserved.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include "control_anchors.h"
#include "../model/formula.h"
#include "kept_xml.h"
#include "table_copy.h"
#include "../utf8.h"
#include "../text/xml_text.h"

namespace ss {

using namespace kept;

namespace {

struct Mover {
    const RowMove& move;

    // The list's ranges moved; false when none is left.
    // How a formula anchored at the ranges' top left cell is restated: seen from a cell of the
    // ranges that is left (rows `before` below the old top left cell), moved with it, then seen
    // from the new top left cell (rows `after` below that cell).
    struct Restate {
        int64_t before = 0, after = 0;
    };

    // The list's ranges moved; false when none is left.
    bool moveList(std::string& value, Restate* restate = nullptr) const {
        RangeList l = parseList(value);
        if (l.ranges.empty()) return !l.other.empty();
        const uint32_t oldTop = topLeft(l.ranges).first;
        std::vector<CellRange> moved;
        for (const CellRange& r : l.ranges)
            if (auto m = move.range(r)) moved.push_back(*m);
        if (moved.empty() && l.other.empty()) return false;
        if (restate && !moved.empty()) {
            // The old top left row when it is left (a whole column keeps its top left cell while
            // its cells move), else the row that took the new top left place.
            const uint32_t newTop = topLeft(moved).first;
            uint32_t from = oldTop, to;
            if (auto kept = move.range(CellRange{oldTop, 1, oldTop, 1})) {
                to = kept->firstRow;
            } else {
                to = newTop;
                from = move.sourceRow(newTop);
            }
            restate->before = int64_t(from) - int64_t(oldTop);
            restate->after = int64_t(newTop) - int64_t(to);
        }
        l.ranges = std::move(moved);
        value = listText(l);
        return true;
    }

    void moveFormulas(Node& n, const Restate& r) const {
        for (auto& c : n.children)
            if (c->name == "formula" || c->name == "formula1" || c->name == "formula2") {
                std::string f = xml::unescape(c->text);
                if (r.before) f = shiftFormula(f, r.before, 0);
                f = move.formula(f);
                if (r.after) f = shiftFormula(f, r.after, 0);
                c->text = xml::xstring(f);
            }
    }

    // False when the element is to go.
    bool moveElement(Node& n) const {
        if (n.name == "conditionalFormatting" || n.name == "dataValidation" ||
            n.name == "protectedRange" || n.name == "ignoredError") {
            Restate rebase;
            std::string* sqref = attrOf(n, "sqref");
            if (sqref && !moveList(*sqref, &rebase)) return false;
            if (n.name == "conditionalFormatting")
                for (auto& rule : n.children) moveFormulas(*rule, rebase);
            else
                moveFormulas(n, rebase);
            return true;
        }
        if (n.name == "hyperlink") {
            std::string* ref = attrOf(n, "ref");
            return !ref || moveList(*ref);
        }
        if (n.name == "dataValidations" || n.name == "hyperlinks" || n.name == "protectedRanges" ||
            n.name == "ignoredErrors") {
            std::vector<std::unique_ptr<Node>> kept;
            for (auto& c : n.children)
                if (moveElement(*c)) kept.push_back(std::move(c));
            n.children = std::move(kept);
            if (std::string* count = attrOf(n, "count")) *count = std::to_string(n.children.size());
            return !n.children.empty();
        }
        if (n.name == "rowBreaks") {
            // A break with id n sits between rows n and n + 1: it stays above the first row
            // at or below n + 1 that is left.
            std::vector<std::unique_ptr<Node>> kept;
            std::vector<uint32_t> seen;
            size_t manual = 0;
            for (auto& c : n.children) {
                std::string* id = attrOf(*c, "id");
                uint32_t row = 0;
                if (!id ||
                    std::from_chars(id->data(), id->data() + id->size(), row).ec != std::errc() ||
                    row >= kXlsxMaxRows)
                    continue;
                auto below = move.range(CellRange{row + 1, 1, kXlsxMaxRows, 1});
                if (!below || below->firstRow < 2) continue;
                const uint32_t moved = below->firstRow - 1;
                if (std::find(seen.begin(), seen.end(), moved) != seen.end()) continue;
                seen.push_back(moved);
                *id = std::to_string(moved);
                const std::string* man = attrOf(*c, "man");
                if (man && (*man == "1" || *man == "true")) ++manual;
                kept.push_back(std::move(c));
            }
            n.children = std::move(kept);
            if (std::string* count = attrOf(n, "count")) *count = std::to_string(n.children.size());
            if (std::string* m = attrOf(n, "manualBreakCount")) *m = std::to_string(manual);
            return !n.children.empty();
        }
        return true;  // nothing in it names rows
    }
};

// ---- copies ------------------------------------------------------------------------------

// Whether any sqref or ref of the serialised element names a cell of `area` (a scan of the
// text: most elements are far from the area a copy writes to).
bool touches(std::string_view xml, const CellRange& area) {
    static constexpr std::string_view kKey = "ref=\"";  // sqref="..." and ref="..."
    const char* p = xml.data();
    const char* const end = p + xml.size();
    while (const void* found = memmem(p, size_t(end - p), kKey.data(), kKey.size())) {
        const char* at = static_cast<const char*>(found) + kKey.size();
        const char* close = static_cast<const char*>(std::memchr(at, '"', size_t(end - at)));
        if (!close) return true;  // let the full edit decide
        bool hit = false;
        if (!eachRange(std::string_view(at, size_t(close - at)),
                       [&](const CellRange& r) { hit = hit || r.intersects(area); }) ||
            hit)
            return true;
        p = close;
    }
    return false;
}

// Formulas of a rule or a validation restated for a top left cell (dRow, dCol) away.
void restate(Node& n, int64_t dRow, int64_t dCol) {
    if (!dRow && !dCol) return;
    for (auto& c : n.children) {
        if (c->name == "formula" || c->name == "formula1" || c->name == "formula2")
            c->text = xml::xstring(shiftFormula(xml::unescape(c->text), dRow, dCol));
        else if (c->name == "cfRule")
            restate(*c, dRow, dCol);
    }
}

// Restates the texts of a copied element (already seen from its piece's source top left cell)
// for a piece that moves by (dRow, dCol). False when the element is to go; a rule whose formula
// is refused goes from its conditional format, which goes when no rule is left.
bool restateTexts(Node& n, int64_t dRow, int64_t dCol, const KeptRestater& restater) {
    auto one = [&](std::string& text, KeptText kind, bool attribute) {
        auto r = restater(kind, xml::unescape(text), dRow, dCol);
        if (!r) return false;
        text = xml::xstring(*r, attribute);
        return true;
    };
    if (n.name == "conditionalFormatting") {
        std::vector<std::unique_ptr<Node>> kept;
        for (auto& rule : n.children) {
            bool ok = true;
            for (auto& c : rule->children)
                if (c->name == "formula") ok = ok && one(c->text, KeptText::RuleFormula, false);
            if (ok) kept.push_back(std::move(rule));
        }
        n.children = std::move(kept);
        return !n.children.empty();
    }
    if (n.name == "dataValidation") {
        const std::string* type = attrOf(n, "type");
        const bool list = type && *type == "list";
        for (auto& c : n.children) {
            if (c->name != "formula1" && c->name != "formula2") continue;
            const KeptText kind = list && c->name == "formula1" ? KeptText::ValidationList
                                                                : KeptText::ValidationFormula;
            if (!one(c->text, kind, false)) return false;
        }
        return true;
    }
    if (n.name == "hyperlink") {
        // A hyperlink into another file: its location is a place in that file, kept as written.
        if (attrOf(n, "r:id")) return true;
        std::string* location = attrOf(n, "location");
        return !location || one(*location, KeptText::LinkLocation, true);
    }
    return true;
}

// Takes `area` out of an element's ranges (sqref, or ref for a hyperlink); false when nothing
// is left of them.
bool clearArea(Node& n, const CellRange& area) {
    const bool hyperlink = n.name == "hyperlink";
    std::string* list = attrOf(n, hyperlink ? "ref" : "sqref");
    if (!list) return true;
    RangeList l = parseList(xml::unescape(*list));
    if (l.ranges.empty()) return true;
    bool touched = false;
    for (const CellRange& r : l.ranges) touched = touched || r.intersects(area);
    if (!touched) return true;
    const auto oldTop = topLeft(l.ranges);
    std::vector<CellRange> rest;
    for (const CellRange& r : l.ranges)
        for (const CellRange& p : subtract(r, area)) rest.push_back(p);
    if (rest.empty()) return false;
    if (hyperlink && rest.size() > 1) rest.resize(1);  // a hyperlink has one range
    const auto newTop = topLeft(rest);
    restate(n, int64_t(newTop.first) - int64_t(oldTop.first),
            int64_t(newTop.second) - int64_t(oldTop.second));
    l.ranges = std::move(rest);
    *list = xml::xstring(listText(l), true);
    return true;
}

// Copies of `n` (an element with sqref/ref) for each run the block copies of it, their texts
// restated for the pieces' new top left cells.
std::vector<std::unique_ptr<Node>> copiesOf(const Node& n, const CopiedBlock& b,
                                            const KeptRestater& restater) {
    std::vector<std::unique_ptr<Node>> out;
    const bool hyperlink = n.name == "hyperlink";
    Node& m = const_cast<Node&>(n);
    const std::string* list = attrOf(m, hyperlink ? "ref" : "sqref");
    if (!list) return out;
    const RangeList l = parseList(xml::unescape(*list));
    if (l.ranges.empty()) return out;
    const auto oldTop = topLeft(l.ranges);
    for (const CopiedBlock::Run& run : b.runs) {
        const CopiedBlock::Run still{run.first, run.last, 0};
        std::vector<CellRange> inSource =
            landed(l.ranges, CopiedBlock{b.firstCol, b.lastCol, 0, {}}, still);
        if (inSource.empty()) continue;
        if (hyperlink) inSource.resize(1);
        auto c = clone(n);
        const auto pieceTop = topLeft(inSource);
        restate(*c, int64_t(pieceTop.first) - int64_t(oldTop.first),
                int64_t(pieceTop.second) - int64_t(oldTop.second));
        if (!restateTexts(*c, run.dRow, b.dCol, restater)) continue;
        std::vector<CellRange> pieces = landed(inSource, b, run);
        *attrOf(*c, hyperlink ? "ref" : "sqref") = xml::xstring(listText({pieces, {}}), true);
        out.push_back(std::move(c));
    }
    return out;
}

void renumberDxf(Node& n, const std::vector<uint32_t>& dxf) {
    if (std::string* id = attrOf(n, "dxfId")) {
        uint64_t v = 0;
        bool ok = !id->empty() && id->size() < 10;
        for (char ch : *id) ok = ok && ch >= '0' && ch <= '9', v = v * 10 + uint64_t(ch - '0');
        if (ok && v < dxf.size()) *id = std::to_string(dxf[v]);
    }
    for (auto& c : n.children) renumberDxf(*c, dxf);
}

// The element of `to` named `name` (hyperlinks, dataValidations), added when missing.
PreservedXml& containerOf(Worksheet& to, const std::string& name) {
    for (PreservedXml& p : to.preserved)
        if (p.element == name) return p;
    to.preserved.push_back({name, "<" + name + "/>"});
    return to.preserved.back();
}

// Whether `c` (a copy of an element with sqref) continues `e`: the same element with ranges
// below or right of e's top left cell, whose formulas restated for that cell are e's. Then `e`
// takes c's ranges (one that continues e's last range straight down joins it), so that a merge
// of many blocks keeps one rule or validation, not one per block.
bool extend(Node& e, const Node& c) {
    if (e.name != c.name || e.attrs.size() != c.attrs.size() || e.text != c.text) return false;
    for (size_t i = 0; i < e.attrs.size(); ++i)
        if (e.attrs[i].first != c.attrs[i].first ||
            (e.attrs[i].first != "sqref" && e.attrs[i].second != c.attrs[i].second))
            return false;
    std::string* es = attrOf(e, "sqref");
    const std::string* cs = attrOf(const_cast<Node&>(c), "sqref");
    if (!es || !cs || es->empty()) return false;
    // e's top left cell, over all its ranges.
    uint32_t top = UINT32_MAX, left = UINT32_MAX;
    if (!eachRange(*es, [&](const CellRange& r) {
            top = std::min(top, r.firstRow);
            left = std::min(left, r.firstCol);
        }))
        return false;
    std::vector<CellRange> cl;
    if (!eachRange(*cs, [&](const CellRange& r) { cl.push_back(r); }) || cl.empty()) return false;
    const auto tc = topLeft(cl);
    if (top == UINT32_MAX || tc.first < top || tc.second < left) return false;
    auto probe = clone(c);
    restate(*probe, int64_t(top) - int64_t(tc.first), int64_t(left) - int64_t(tc.second));
    if (probe->children.size() != e.children.size()) return false;
    for (size_t i = 0; i < e.children.size(); ++i)
        if (text(*probe->children[i]) != text(*e.children[i])) return false;
    // c's ranges go at the end; one that continues the last range straight down joins it.
    for (const CellRange& r : cl) {
        const size_t sp = es->rfind(' ');
        const size_t from = sp == std::string::npos ? 0 : sp + 1;
        CellRange last;
        if (quickRange(std::string_view(*es).substr(from), last) && last.firstCol == r.firstCol &&
            last.lastCol == r.lastCol && last.lastRow + 1 == r.firstRow) {
            last.lastRow = r.lastRow;
            es->replace(from, std::string::npos, last.toA1());
        } else {
            *es += ' ';
            *es += r.toA1();
        }
    }
    return true;
}

// Adds children at the end of a kept container element, in its text: a merge of thousands of
// workbooks into one sheet appends to the same element thousands of times. `counted`: the
// element says how many children it has.
void appendChildren(PreservedXml& dest, const std::vector<std::unique_ptr<Node>>& added,
                    bool counted) {
    std::string& xml = dest.xml;
    const std::string open = "<" + dest.element, close = "</" + dest.element + ">";
    const bool empty =
        xml.size() >= open.size() + 2 && xml.ends_with("/>") && xml.find('>') == xml.size() - 1;
    if (xml.compare(0, open.size(), open) != 0 || (!empty && !xml.ends_with(close)))
        return;  // not ours to add to
    std::string children;
    for (const auto& c : added) write(*c, children);
    if (counted) {
        const size_t tagEnd = xml.find('>');
        const size_t at = xml.find(" count=\"");
        if (at != std::string::npos && at < tagEnd) {
            const size_t from = at + 8, to = xml.find('"', from);
            uint64_t n = 0;
            std::from_chars(xml.data() + from, xml.data() + to, n);
            xml.replace(from, to - from, std::to_string(n + added.size()));
        } else {
            xml.insert(open.size(), " count=\"" + std::to_string(added.size()) + "\"");
        }
    }
    if (empty)
        xml.replace(xml.size() - 2, 2, ">" + children + close);
    else
        xml.insert(xml.size() - close.size(), children);
}

// Extends one of the last children of a kept container with `c` when `c` continues it (see
// extend).
bool extendChild(PreservedXml& dest, const Node& c) {
    auto root = parseWhole(dest.xml);
    if (!root) return false;
    int looked = 0;
    for (auto it = root->children.rbegin(); it != root->children.rend() && looked < 64;
         ++it, ++looked)
        if (extend(**it, c)) {
            dest.xml = text(*root);
            return true;
        }
    return false;
}

}  // namespace

void copyPreserved(const Worksheet& from, Worksheet& to, const CopiedBlock& block,
                   const std::vector<uint32_t>* dxf, const KeptRestater& restater) {
    if (block.runs.empty()) return;
    const std::vector<PreservedXml> source = from.preserved;  // `from` may be `to`
    const std::vector<std::string> sourceLinks = from.externalLinks;

    // The destination area loses what it had.
    for (const CopiedBlock::Run& run : block.runs) {
        const CellRange area{
            uint32_t(int64_t(run.first) + run.dRow), uint32_t(int64_t(block.firstCol) + block.dCol),
            uint32_t(int64_t(run.last) + run.dRow), uint32_t(int64_t(block.lastCol) + block.dCol)};
        bool gone = false;  // an element lost all its ranges
        for (PreservedXml& p : to.preserved) {
            const bool own = p.element == "conditionalFormatting";
            const bool container = p.element == "dataValidations" || p.element == "hyperlinks";
            auto root = (own || container) && touches(p.xml, area) ? parseWhole(p.xml) : nullptr;
            if (!root) continue;
            if (own) {
                if (!clearArea(*root, area)) {
                    p.xml.clear();
                    gone = true;
                    continue;
                }
            } else {
                std::vector<std::unique_ptr<Node>> children;
                for (auto& c : root->children)
                    if (clearArea(*c, area)) children.push_back(std::move(c));
                root->children = std::move(children);
                if (std::string* count = attrOf(*root, "count"))
                    *count = std::to_string(root->children.size());
                if (root->children.empty()) {
                    p.xml.clear();
                    gone = true;
                    continue;
                }
            }
            p.xml = text(*root);
        }
        if (gone) std::erase_if(to.preserved, [](const PreservedXml& p) { return p.xml.empty(); });
    }

    // Then the source's, for where they land.
    for (const PreservedXml& p : source) {
        const bool own = p.element == "conditionalFormatting";
        const bool validations = p.element == "dataValidations";
        const bool links = p.element == "hyperlinks";
        if (!own && !validations && !links) continue;
        auto root = parseWhole(p.xml);
        if (!root) continue;
        if (own) {
            if (dxf) renumberDxf(*root, *dxf);
            for (auto& c : copiesOf(*root, block, restater)) {
                // A rule the destination has already (copied from an earlier block) grows.
                // Rules without formulas continue only a rule with the same text after its
                // ranges: the others are passed over without being parsed.
                const std::string piece = text(*c);
                const std::string_view rules = std::string_view(piece).substr(piece.find('>'));
                const bool formulas = rules.find("<formula>") != std::string_view::npos;
                bool extended = false;
                int looked = 0;
                for (auto it = to.preserved.rbegin(); it != to.preserved.rend() && looked < 64;
                     ++it) {
                    if (it->element != "conditionalFormatting") continue;
                    ++looked;
                    const size_t gt = it->xml.find('>');
                    if (!formulas &&
                        (gt == std::string::npos || std::string_view(it->xml).substr(gt) != rules))
                        continue;
                    auto e = parseWhole(it->xml);
                    if (e && extend(*e, *c)) {
                        it->xml = text(*e);
                        extended = true;
                        break;
                    }
                }
                if (!extended) to.preserved.push_back({"conditionalFormatting", piece});
            }
            continue;
        }
        std::vector<std::unique_ptr<Node>> added;
        for (const auto& child : root->children) {
            for (auto& c : copiesOf(*child, block, restater)) {
                if (std::string* id = links ? attrOf(*c, "r:id") : nullptr) {
                    // rIdL<n>: the n-th target of the source; the destination lists it too.
                    size_t n = 0;
                    if (id->size() > 4 && id->compare(0, 4, "rIdL") == 0) {
                        auto [end, ec] =
                            std::from_chars(id->data() + 4, id->data() + id->size(), n);
                        if (ec != std::errc() || end != id->data() + id->size()) n = 0;
                    }
                    if (n == 0 || n > sourceLinks.size()) continue;
                    const std::string& target = sourceLinks[n - 1];
                    auto& targets = to.externalLinks;
                    auto known = std::find(targets.begin(), targets.end(), target);
                    const size_t k = size_t(known - targets.begin()) + 1;
                    if (known == targets.end()) targets.push_back(target);
                    *id = "rIdL" + std::to_string(k);
                }
                added.push_back(std::move(c));
            }
        }
        if (added.empty()) continue;
        PreservedXml& dest = containerOf(to, p.element);
        if (validations) {
            std::erase_if(added,
                          [&](const std::unique_ptr<Node>& c) { return extendChild(dest, *c); });
            if (added.empty()) continue;
        }
        appendChildren(dest, added, validations);
    }
}

void restatePreserved(std::vector<PreservedXml>& preserved, const KeptRestater& restater) {
    std::vector<PreservedXml> kept;
    for (PreservedXml& p : preserved) {
        const bool own = p.element == "conditionalFormatting";
        const bool container = p.element == "dataValidations" || p.element == "hyperlinks";
        auto root = own || container ? parseWhole(p.xml) : nullptr;
        if (!root) {
            kept.push_back(std::move(p));
            continue;
        }
        if (own) {
            if (!restateTexts(*root, 0, 0, restater)) continue;
        } else {
            std::erase_if(root->children, [&](std::unique_ptr<Node>& c) {
                return !restateTexts(*c, 0, 0, restater);
            });
            if (root->children.empty()) continue;
            if (std::string* count = attrOf(*root, "count"))
                *count = std::to_string(root->children.size());
        }
        p.xml = text(*root);
        kept.push_back(std::move(p));
    }
    preserved = std::move(kept);
}

void moveRowsInPreserved(std::vector<PreservedXml>& preserved, const RowMove& move) {
    const Mover mover{move};
    std::vector<PreservedXml> kept;
    for (PreservedXml& p : preserved) {
        size_t at = 0;
        auto root = parse(p.xml, at);
        if (!root || at != p.xml.size()) {  // not ours to edit: as it was
            kept.push_back(std::move(p));
            continue;
        }
        if (!mover.moveElement(*root)) continue;
        std::string xml;
        write(*root, xml);
        p.xml = std::move(xml);
        kept.push_back(std::move(p));
    }
    preserved = std::move(kept);
}

RowMove rowsInsertedMove(uint32_t at, uint32_t count) {
    return {[=](const CellRange& r) -> std::optional<CellRange> {
                if (r.firstRow == 1 && r.lastRow == kXlsxMaxRows) return r;  // whole columns
                CellRange moved = r;
                if (moved.firstRow >= at) moved.firstRow += count;
                if (moved.lastRow >= at) moved.lastRow += count;
                if (moved.firstRow > kXlsxMaxRows) return std::nullopt;  // pushed off the sheet
                moved.lastRow = std::min(moved.lastRow, kXlsxMaxRows);
                return moved;
            },
            [=](uint32_t r) { return r >= at + count ? r - count : r; },
            [=](std::string_view f) { return adjustFormulaForRows(f, at, count); },
            [=](std::string_view f, std::string_view sheet) {
                return adjustFormulaForRows(f, at, count, {sheet, false});
            }};
}

RowMove rowsDeletedMove(std::vector<std::pair<uint32_t, uint32_t>> bands) {
    auto shared =
        std::make_shared<const std::vector<std::pair<uint32_t, uint32_t>>>(std::move(bands));
    // Deleted rows above row r, from prefix counts over the bands.
    auto before = std::make_shared<std::vector<uint64_t>>(shared->size() + 1, 0);
    for (size_t i = 0; i < shared->size(); ++i)
        (*before)[i + 1] = (*before)[i] + ((*shared)[i].second - (*shared)[i].first + 1);
    auto gone = [shared, before](uint64_t r) -> uint64_t {
        auto it = std::lower_bound(
            shared->begin(), shared->end(), r,
            [](const std::pair<uint32_t, uint32_t>& b, uint64_t v) { return b.second < v; });
        const size_t i = size_t(it - shared->begin());
        uint64_t n = (*before)[i];
        if (it != shared->end() && it->first < r) n += r - it->first;
        return n;
    };
    return {[gone](const CellRange& r) -> std::optional<CellRange> {
                if (r.firstRow == 1 && r.lastRow == kXlsxMaxRows) return r;  // whole columns
                // The range's rows that are left close up.
                const uint64_t lost = gone(uint64_t(r.lastRow) + 1) - gone(r.firstRow);
                if (lost >= r.rowCount()) return std::nullopt;
                CellRange moved = r;
                moved.firstRow = uint32_t(r.firstRow - gone(r.firstRow));
                moved.lastRow = uint32_t(moved.firstRow + (r.rowCount() - lost) - 1);
                return moved;
            },
            [shared](uint32_t n) {  // the row that closed up to row n
                uint64_t r = n;
                for (auto [f, l] : *shared)  // sorted: each band above it adds its rows
                    if (f <= r) r += uint64_t(l) - f + 1;
                return uint32_t(r);
            },
            [shared](std::string_view f) { return adjustFormulaForDeletedRows(f, *shared); },
            [shared](std::string_view f, std::string_view sheet) {
                return adjustFormulaForDeletedRows(f, *shared, {sheet, false});
            }};
}

void moveKeptRows(Worksheet& ws, const RowMove& move) {
    moveRowsInPreserved(ws.preserved, move);
    moveExtensionRows(ws, move);
    moveTableRows(ws, move);
    moveControlRows(ws, move);
    std::erase_if(ws.notes, [&](CellNote& n) {
        auto moved = move.range(CellRange{n.row, n.col, n.row, n.col});
        if (!moved) return true;
        n.row = moved->firstRow;
        return false;
    });
}

}  // namespace ss

#include "preserved.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include "control_anchors.h"
#include "../model/formula.h"
#include "table_copy.h"
#include "../utf8.h"
#include "../text/xml_text.h"

namespace ss {

namespace {

// The kept elements are our own serialisation (see the .xlsx reader): elements with
// double-quoted, escaped attribute values and escaped text; nothing else. A small tree is
// enough to edit them.
struct Node {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attrs;  // values still escaped
    std::string text;                                        // escaped
    std::vector<std::unique_ptr<Node>> children;
};

// Deeper nesting than any of these elements has is not ours: left as it is (and no deep
// recursion on a crafted file).
constexpr int kMaxDepth = 16;

std::unique_ptr<Node> parse(std::string_view xml, size_t& at, int depth = 0) {
    if (depth > kMaxDepth || at >= xml.size() || xml[at] != '<') return nullptr;
    auto n = std::make_unique<Node>();
    size_t i = at + 1;
    while (i < xml.size() && xml[i] != ' ' && xml[i] != '>' && xml[i] != '/') ++i;
    n->name = std::string(xml.substr(at + 1, i - at - 1));
    for (;;) {
        while (i < xml.size() && xml[i] == ' ') ++i;
        if (i >= xml.size()) return nullptr;
        if (xml[i] == '/') {
            if (i + 1 >= xml.size() || xml[i + 1] != '>') return nullptr;
            at = i + 2;
            return n;
        }
        if (xml[i] == '>') {
            ++i;
            break;
        }
        size_t eq = xml.find("=\"", i);
        if (eq == std::string_view::npos) return nullptr;
        size_t end = xml.find('"', eq + 2);
        if (end == std::string_view::npos) return nullptr;
        n->attrs.emplace_back(std::string(xml.substr(i, eq - i)),
                              std::string(xml.substr(eq + 2, end - eq - 2)));
        i = end + 1;
    }
    for (;;) {
        if (i >= xml.size()) return nullptr;
        if (xml[i] != '<') {
            size_t lt = xml.find('<', i);
            if (lt == std::string_view::npos) return nullptr;
            n->text += xml.substr(i, lt - i);
            i = lt;
            continue;
        }
        if (i + 1 < xml.size() && xml[i + 1] == '/') {
            size_t gt = xml.find('>', i);
            if (gt == std::string_view::npos || xml.substr(i + 2, gt - i - 2) != n->name)
                return nullptr;
            at = gt + 1;
            return n;
        }
        auto child = parse(xml, i, depth + 1);
        if (!child) return nullptr;
        n->children.push_back(std::move(child));
    }
}

void write(const Node& n, std::string& out) {
    out += '<';
    out += n.name;
    for (const auto& [k, v] : n.attrs) {
        out += ' ';
        out += k;
        out += "=\"";
        out += v;
        out += '"';
    }
    if (n.children.empty() && n.text.empty()) {
        out += "/>";
        return;
    }
    out += '>';
    out += n.text;
    for (const auto& c : n.children) write(*c, out);
    out += "</";
    out += n.name;
    out += '>';
}

// Escapes as the reader's capture does, so that equal texts stay equal.
std::string escape(std::string_view s, bool attribute = false) {
    std::string out;
    xml::appendXstring(out, s, attribute);
    return out;
}

std::string* attrOf(Node& n, std::string_view name) {
    for (auto& [k, v] : n.attrs)
        if (k == name) return &v;
    return nullptr;
}

// The ranges of a list ("A1:B2 D5"); items that are not ranges are kept aside as text.
struct RangeList {
    std::vector<CellRange> ranges;
    std::vector<std::string> other;
};

// Calls f on each item of a space-separated list; stops early when f returns false.
template <class F>
bool eachItem(std::string_view list, F f) {
    size_t i = 0;
    while (i < list.size()) {
        size_t sp = list.find(' ', i);
        if (sp == std::string_view::npos) sp = list.size();
        const std::string_view item = list.substr(i, sp - i);
        i = sp + 1;
        if (!item.empty() && !f(item)) return false;
    }
    return true;
}

RangeList parseList(std::string_view list) {
    RangeList out;
    eachItem(list, [&](std::string_view item) {
        if (auto r = parseRange(item))
            out.ranges.push_back(*r);
        else
            out.other.emplace_back(item);
        return true;
    });
    return out;
}

// "A1", "$A$1", "A1:B2" without a general parse (lists of thousands of ranges are scanned on
// every copy into a sheet); false for anything else.
bool quickRange(std::string_view s, CellRange& r) {
    auto cell = [&](size_t& i, uint32_t& row, uint32_t& col) {
        if (i < s.size() && s[i] == '$') ++i;
        uint32_t c = 0, n = 0;
        for (; i < s.size() && s[i] >= 'A' && s[i] <= 'Z' && n < 3; ++i, ++n)
            c = c * 26 + uint32_t(s[i] - 'A' + 1);
        if (i < s.size() && s[i] == '$') ++i;
        uint32_t v = 0, d = 0;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9' && d < 7; ++i, ++d)
            v = v * 10 + uint32_t(s[i] - '0');
        if (!n || !d || v == 0 || v > kXlsxMaxRows || c > kXlsxMaxCols) return false;
        row = v;
        col = c;
        return true;
    };
    size_t i = 0;
    uint32_t r1, c1, r2, c2;
    if (!cell(i, r1, c1)) return false;
    if (i == s.size()) {
        r2 = r1;
        c2 = c1;
    } else if (s[i] != ':' || !cell(++i, r2, c2) || i != s.size()) {
        return false;
    }
    r = {std::min(r1, r2), std::min(c1, c2), std::max(r1, r2), std::max(c1, c2)};
    return true;
}

// Calls f on each range of a list; false when an item is not a range.
template <class F>
bool eachRange(std::string_view list, F f) {
    return eachItem(list, [&](std::string_view item) {
        CellRange r;
        if (quickRange(item, r)) {
            f(r);
        } else if (auto p = parseRange(item)) {
            f(*p);
        } else {
            return false;
        }
        return true;
    });
}

std::string listText(const RangeList& l) {
    std::string out;
    for (const CellRange& r : l.ranges) out += (out.empty() ? "" : " ") + r.toA1();
    for (const std::string& o : l.other) out += (out.empty() ? "" : " ") + o;
    return out;
}

// The top left corner of the ranges (what relative references in their formulas count from).
std::pair<uint32_t, uint32_t> topLeft(const std::vector<CellRange>& ranges) {
    uint32_t r = UINT32_MAX, c = UINT32_MAX;
    for (const CellRange& x : ranges) r = std::min(r, x.firstRow), c = std::min(c, x.firstCol);
    return {r, c};
}

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
                c->text = escape(f);
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

std::unique_ptr<Node> clone(const Node& n) {
    auto c = std::make_unique<Node>();
    c->name = n.name;
    c->attrs = n.attrs;
    c->text = n.text;
    for (const auto& k : n.children) c->children.push_back(clone(*k));
    return c;
}

std::unique_ptr<Node> parseWhole(const std::string& xml) {
    size_t at = 0;
    auto root = parse(xml, at);
    if (!root || at != xml.size()) return nullptr;
    return root;
}

std::string text(const Node& n) {
    std::string out;
    write(n, out);
    return out;
}

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

// The parts of `r` outside `area`: up to four ranges.
std::vector<CellRange> subtract(const CellRange& r, const CellRange& area) {
    if (!r.intersects(area)) return {r};
    std::vector<CellRange> out;
    if (r.firstRow < area.firstRow)
        out.push_back({r.firstRow, r.firstCol, area.firstRow - 1, r.lastCol});
    if (r.lastRow > area.lastRow)
        out.push_back({area.lastRow + 1, r.firstCol, r.lastRow, r.lastCol});
    const uint32_t top = std::max(r.firstRow, area.firstRow);
    const uint32_t bottom = std::min(r.lastRow, area.lastRow);
    if (r.firstCol < area.firstCol) out.push_back({top, r.firstCol, bottom, area.firstCol - 1});
    if (r.lastCol > area.lastCol) out.push_back({top, area.lastCol + 1, bottom, r.lastCol});
    return out;
}

// Formulas of a rule or a validation restated for a top left cell (dRow, dCol) away.
void restate(Node& n, int64_t dRow, int64_t dCol) {
    if (!dRow && !dCol) return;
    for (auto& c : n.children) {
        if (c->name == "formula" || c->name == "formula1" || c->name == "formula2")
            c->text = escape(shiftFormula(xml::unescape(c->text), dRow, dCol));
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
        text = escape(*r, attribute);
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
    *list = escape(listText(l), true);
    return true;
}

// The pieces of `ranges` inside the run's rows and the block's columns, moved.
std::vector<CellRange> landed(const std::vector<CellRange>& ranges, const CopiedBlock& b,
                              const CopiedBlock::Run& run) {
    std::vector<CellRange> out;
    for (const CellRange& r : ranges) {
        const uint32_t r1 = std::max(r.firstRow, run.first), r2 = std::min(r.lastRow, run.last);
        const uint32_t c1 = std::max(r.firstCol, b.firstCol), c2 = std::min(r.lastCol, b.lastCol);
        if (r1 > r2 || c1 > c2) continue;
        out.push_back({uint32_t(int64_t(r1) + run.dRow), uint32_t(int64_t(c1) + b.dCol),
                       uint32_t(int64_t(r2) + run.dRow), uint32_t(int64_t(c2) + b.dCol)});
    }
    return out;
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
        *attrOf(*c, hyperlink ? "ref" : "sqref") = escape(listText({pieces, {}}), true);
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

// ---- 2010 extensions ----------------------------------------------------------------------

namespace {

constexpr std::string_view kExtFormats = "{78C0D931-6437-407d-A8EE-F0AAD7539E65}";
constexpr std::string_view kExtValidations = "{CCE6A557-97BC-4b89-ADB6-D9C93CAAB3DF}";
constexpr std::string_view kExtSparklines = "{05C60535-1F16-4fd2-B633-F4F36F0B64E0}";

std::string_view localOf(std::string_view name) {
    const size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

Node* childNamed(Node& n, std::string_view local) {
    for (auto& c : n.children)
        if (localOf(c->name) == local) return c.get();
    return nullptr;
}

// The extension list keeps its texts as the package reader captured them: plain XML escapes.
std::string plainEscape(std::string_view s) {
    std::string out;
    xml::appendEscaped(out, s);
    return out;
}

// Calls f on every formula (local name "f") under n.
template <class F>
void eachFormula(Node& n, F f) {
    for (auto& c : n.children) {
        if (localOf(c->name) == "f")
            f(*c);
        else
            eachFormula(*c, f);
    }
}

// Formulas of an extension rule or validation restated for a top left cell (dRow, dCol) away.
void restateExt(Node& n, int64_t dRow, int64_t dCol) {
    if (!dRow && !dCol) return;
    eachFormula(
        n, [&](Node& f) { f.text = plainEscape(shiftFormula(xml::unescape(f.text), dRow, dCol)); });
}

// The ranges of an element whose list is its child <xm:sqref>.
RangeList extRanges(Node& n) {
    Node* sq = childNamed(n, "sqref");
    return sq ? parseList(xml::unescape(sq->text)) : RangeList{};
}

void setExtRanges(Node& n, const RangeList& l) {
    if (Node* sq = childNamed(n, "sqref")) sq->text = plainEscape(listText(l));
}

// Restates the texts of a copied extension element for a piece that moves by (dRow, dCol);
// false when the element is to go. A rule whose formula is refused goes from its format.
bool restateExtTexts(Node& n, int64_t dRow, int64_t dCol, const KeptRestater& restater) {
    auto one = [&](Node& f, KeptText kind) {
        auto r = restater(kind, xml::unescape(f.text), dRow, dCol);
        if (!r) return false;
        f.text = plainEscape(*r);
        return true;
    };
    const std::string_view local = localOf(n.name);
    if (local == "conditionalFormatting") {
        std::vector<std::unique_ptr<Node>> kept;
        bool rules = false;
        for (auto& c : n.children) {
            if (localOf(c->name) != "cfRule") {
                kept.push_back(std::move(c));
                continue;
            }
            bool ok = true;
            eachFormula(*c, [&](Node& f) { ok = ok && one(f, KeptText::RuleFormula); });
            if (ok) {
                rules = true;
                kept.push_back(std::move(c));
            }
        }
        n.children = std::move(kept);
        return rules;
    }
    if (local == "dataValidation") {
        const std::string* type = attrOf(n, "type");
        const bool list = type && *type == "list";
        for (auto& c : n.children) {
            const std::string_view cl = localOf(c->name);
            if (cl != "formula1" && cl != "formula2") continue;
            const KeptText kind =
                list && cl == "formula1" ? KeptText::ValidationList : KeptText::ValidationFormula;
            bool ok = true;
            eachFormula(*c, [&](Node& f) { ok = ok && one(f, kind); });
            if (!ok) return false;
        }
        return true;
    }
    if (local == "sparkline") {
        bool ok = true;
        eachFormula(n, [&](Node& f) { ok = ok && one(f, KeptText::RuleFormula); });
        return ok;
    }
    return true;
}

// Copies of an extension element (ranges in its sqref child) for each run of the block.
std::vector<std::unique_ptr<Node>> extCopiesOf(const Node& n, const CopiedBlock& b,
                                               const KeptRestater& restater) {
    std::vector<std::unique_ptr<Node>> out;
    const RangeList l = extRanges(const_cast<Node&>(n));
    if (l.ranges.empty()) return out;
    const bool sparkline = localOf(n.name) == "sparkline";
    const auto oldTop = topLeft(l.ranges);
    for (const CopiedBlock::Run& run : b.runs) {
        const CopiedBlock::Run still{run.first, run.last, 0};
        std::vector<CellRange> inSource =
            landed(l.ranges, CopiedBlock{b.firstCol, b.lastCol, 0, {}}, still);
        if (inSource.empty()) continue;
        auto c = clone(n);
        if (!sparkline) {  // a sparkline's data does not move with the cell that shows it
            const auto pieceTop = topLeft(inSource);
            restateExt(*c, int64_t(pieceTop.first) - int64_t(oldTop.first),
                       int64_t(pieceTop.second) - int64_t(oldTop.second));
        }
        if (!restateExtTexts(*c, run.dRow, b.dCol, restater)) continue;
        setExtRanges(*c, {landed(inSource, b, run), {}});
        out.push_back(std::move(c));
    }
    return out;
}

// Takes `area` out of an extension element's ranges; false when nothing is left of them.
bool clearExtArea(Node& n, const CellRange& area) {
    RangeList l = extRanges(n);
    if (l.ranges.empty()) return true;
    if (std::none_of(l.ranges.begin(), l.ranges.end(),
                     [&](const CellRange& r) { return r.intersects(area); }))
        return true;
    if (localOf(n.name) == "sparkline") return false;  // its one cell is overwritten
    const auto oldTop = topLeft(l.ranges);
    std::vector<CellRange> rest;
    for (const CellRange& r : l.ranges)
        for (const CellRange& p : subtract(r, area)) rest.push_back(p);
    if (rest.empty()) return false;
    const auto newTop = topLeft(rest);
    restateExt(n, int64_t(newTop.first) - int64_t(oldTop.first),
               int64_t(newTop.second) - int64_t(oldTop.second));
    l.ranges = std::move(rest);
    setExtRanges(n, l);
    return true;
}

// Whether `c` continues `e` (the same rule or validation seen from e's top left cell); then
// e takes c's ranges.
bool extendExt(Node& e, const Node& c) {
    if (e.name != c.name || e.attrs != c.attrs) return false;
    RangeList el = extRanges(e);
    const RangeList cl = extRanges(const_cast<Node&>(c));
    if (el.ranges.empty() || cl.ranges.empty() || !el.other.empty()) return false;
    const auto et = topLeft(el.ranges), ct = topLeft(cl.ranges);
    if (ct.first < et.first || ct.second < et.second) return false;
    auto probe = clone(c);
    restateExt(*probe, int64_t(et.first) - int64_t(ct.first),
               int64_t(et.second) - int64_t(ct.second));
    setExtRanges(*probe, el);
    if (text(*probe) != text(e)) return false;
    for (const CellRange& r : cl.ranges) {
        CellRange& last = el.ranges.back();
        if (last.firstCol == r.firstCol && last.lastCol == r.lastCol &&
            last.lastRow + 1 == r.firstRow)
            last.lastRow = r.lastRow;
        else
            el.ranges.push_back(r);
    }
    setExtRanges(e, el);
    return true;
}

void setCount(Node& n) {
    if (std::string* count = attrOf(n, "count")) *count = std::to_string(n.children.size());
}

Node* extOf(Node& root, std::string_view uri) {
    for (auto& e : root.children)
        if (const std::string* u = attrOf(*e, "uri"); u && *u == uri) return e.get();
    return nullptr;
}

// Namespace declarations ("xmlns:p", value) of a root's text.
std::vector<std::pair<std::string, std::string>> declarations(std::string_view s) {
    std::vector<std::pair<std::string, std::string>> out;
    for (size_t at = s.find("xmlns:"); at != std::string_view::npos; at = s.find("xmlns:", at)) {
        const size_t eq = s.find("=\"", at), end = eq == std::string_view::npos
                                                       ? std::string_view::npos
                                                       : s.find('"', eq + 2);
        if (end == std::string_view::npos) break;
        out.emplace_back(std::string(s.substr(at, eq - at)),
                         std::string(s.substr(eq + 2, end - eq - 2)));
        at = end;
    }
    return out;
}

// Gives `to` the extension list `list` (none when null or empty), with `namespaces`.
void setExtensionList(Worksheet& to, const Node* list, const std::string& namespaces) {
    std::shared_ptr<SheetParts> parts;
    if (to.parts && to.parts.use_count() == 1)  // only this sheet holds it: edit in place
        parts = std::const_pointer_cast<SheetParts>(to.parts);
    else
        parts = to.parts ? std::make_shared<SheetParts>(*to.parts) : std::make_shared<SheetParts>();
    if (parts->originName.empty()) parts->originName = to.name;  // its formulas name it so
    // Declarations others added to the parts since stay; the list's own are added.
    for (const auto& [k, v] : declarations(namespaces))
        if (parts->namespaces.find(" " + k + "=\"") == std::string::npos)
            parts->namespaces += " " + k + "=\"" + v + "\"";
    auto at = std::find_if(parts->elements.begin(), parts->elements.end(),
                           [](const RawSheetElement& e) { return e.element == "extLst"; });
    if (!list || list->children.empty()) {
        if (at != parts->elements.end()) parts->elements.erase(at);
    } else if (at != parts->elements.end()) {
        at->xml = text(*list);
    } else {
        parts->elements.push_back({"extLst", text(*list)});
    }
    to.parts = std::move(parts);
}

// Moves what the sheet's extension list says about rows.
void moveExtensionRows(Worksheet& ws, const RowMove& move) {
    if (!ws.parts) return;
    const RawSheetElement* ext = nullptr;
    for (const RawSheetElement& e : ws.parts->elements)
        if (e.element == "extLst") ext = &e;
    if (!ext || extensionItems(ext->xml) == 0) return;
    auto root = parseWhole(ext->xml);
    if (!root) return;
    // An element keeps what is left of its ranges, its formulas moved with the rows; a
    // sparkline whose cell goes goes too.
    std::function<bool(Node&)> moveNode = [&](Node& n) {
        if (Node* sq = childNamed(n, "sqref")) {
            RangeList l = parseList(xml::unescape(sq->text));
            std::vector<CellRange> moved;
            for (const CellRange& r : l.ranges)
                if (auto m = move.range(r)) moved.push_back(*m);
            if (moved.empty() && l.other.empty()) return false;
            l.ranges = std::move(moved);
            sq->text = plainEscape(listText(l));
            if (localOf(n.name) != "sparkline") {
                eachFormula(
                    n, [&](Node& f) { f.text = plainEscape(move.formula(xml::unescape(f.text))); });
                return true;
            }
            // A sparkline's data names its sheet: it moves when that is this sheet.
            Node* f = childNamed(n, "f");
            if (!f) return true;
            const std::string data = xml::unescape(f->text);
            const size_t bang = data.rfind('!');
            if (bang == std::string::npos) return true;
            std::string sheet = data.substr(0, bang);
            if (sheet.size() >= 2 && sheet.front() == '\'' && sheet.back() == '\'') {
                sheet = sheet.substr(1, sheet.size() - 2);
                for (size_t q = sheet.find("''"); q != std::string::npos;
                     q = sheet.find("''", q + 1))
                    sheet.erase(q, 1);
            }
            if (sheet != ws.name) return true;
            auto area = parseRange(std::string_view(data).substr(bang + 1));
            if (!area) return true;
            auto to = move.range(*area);
            if (!to) return false;
            f->text = plainEscape(data.substr(0, bang + 1) + to->toA1());
            return true;
        }
        std::erase_if(n.children, [&](std::unique_ptr<Node>& c) { return !moveNode(*c); });
        const std::string_view local = localOf(n.name);
        if (local == "sparklines" || local == "conditionalFormattings" ||
            local == "dataValidations" || local == "sparklineGroup" || local == "sparklineGroups")
            setCount(n);
        if (local == "sparklines" || local == "conditionalFormattings" ||
            local == "dataValidations" || local == "sparklineGroups")
            return !n.children.empty();
        if (local == "sparklineGroup") return childNamed(n, "sparklines") != nullptr;
        return true;
    };
    for (auto& e : root->children) moveNode(*e);
    std::erase_if(root->children,
                  [](const std::unique_ptr<Node>& e) { return e->children.empty(); });
    setExtensionList(ws, root.get(), ws.parts->namespaces);
}

}  // namespace

struct ExtensionCopier::Impl {
    std::unique_ptr<Node> dest;  // the destination's list, parsed once; null: it has none
    bool loaded = false, refused = false, dirty = false;
    std::optional<CellRange> bounds;  // of every range the list names
    std::string namespaces;           // the destination's declarations, with what copies need

    void widen(const CellRange& r) {
        if (!bounds) {
            bounds = r;
            return;
        }
        bounds->firstRow = std::min(bounds->firstRow, r.firstRow);
        bounds->firstCol = std::min(bounds->firstCol, r.firstCol);
        bounds->lastRow = std::max(bounds->lastRow, r.lastRow);
        bounds->lastCol = std::max(bounds->lastCol, r.lastCol);
    }
    void widenBy(Node& n) {
        if (Node* sq = childNamed(n, "sqref")) {
            eachRange(xml::unescape(sq->text), [&](const CellRange& r) { widen(r); });
            return;
        }
        for (auto& c : n.children) widenBy(*c);
    }
    std::vector<uint32_t> copy(const Worksheet& from, Worksheet& to, const CopiedBlock& block,
                               const KeptRestater& restater);
};

ExtensionCopier::ExtensionCopier() : impl_(std::make_unique<Impl>()) {}
ExtensionCopier::~ExtensionCopier() = default;

bool ExtensionCopier::pending() const {
    return impl_->dirty;
}

std::vector<uint32_t> ExtensionCopier::copy(const Worksheet& from, Worksheet& to,
                                            const CopiedBlock& block,
                                            const KeptRestater& restater) {
    return impl_->copy(from, to, block, restater);
}

std::vector<uint32_t> ExtensionCopier::Impl::copy(const Worksheet& from, Worksheet& to,
                                                  const CopiedBlock& block,
                                                  const KeptRestater& restater) {
    auto extOfParts = [](const SheetParts* p) -> const RawSheetElement* {
        if (!p) return nullptr;
        for (const RawSheetElement& e : p->elements)
            if (e.element == "extLst") return &e;
        return nullptr;
    };
    const std::shared_ptr<const SheetParts> sourceParts = from.parts;  // `from` may be `to`
    const RawSheetElement* sourceExt = extOfParts(sourceParts.get());
    std::vector<uint32_t> carried;
    if (!loaded) {
        loaded = true;
        const RawSheetElement* destExt = extOfParts(to.parts.get());
        dest = destExt ? parseWhole(destExt->xml) : nullptr;
        refused = destExt && !dest;  // not ours to edit
        if (dest) widenBy(*dest);
        namespaces = to.parts ? to.parts->namespaces : std::string();
    }
    if (refused || block.runs.empty() || (!sourceExt && !dest)) return carried;
    bool changed = false;

    // The destination area loses what it had.
    if (dest) {
        for (const CopiedBlock::Run& run : block.runs) {
            const CellRange area{uint32_t(int64_t(run.first) + run.dRow),
                                 uint32_t(int64_t(block.firstCol) + block.dCol),
                                 uint32_t(int64_t(run.last) + run.dRow),
                                 uint32_t(int64_t(block.lastCol) + block.dCol)};
            if (!bounds || !bounds->intersects(area)) continue;  // most copies land apart
            for (auto& ext : dest->children) {
                for (auto& list : ext->children) {
                    const std::string_view l = localOf(list->name);
                    if (l == "conditionalFormattings" || l == "dataValidations") {
                        const size_t before = list->children.size();
                        std::erase_if(list->children, [&](std::unique_ptr<Node>& c) {
                            return !clearExtArea(*c, area);
                        });
                        changed = changed || before != list->children.size();
                        setCount(*list);
                    } else if (l == "sparklineGroups") {
                        for (auto& g : list->children)
                            if (Node* sl = childNamed(*g, "sparklines")) {
                                const size_t before = sl->children.size();
                                std::erase_if(sl->children, [&](std::unique_ptr<Node>& c) {
                                    return !clearExtArea(*c, area);
                                });
                                changed = changed || before != sl->children.size();
                            }
                        std::erase_if(list->children, [](const std::unique_ptr<Node>& g) {
                            Node* sl = childNamed(*g, "sparklines");
                            return sl && sl->children.empty();
                        });
                    }
                }
            }
            if (changed) {
                bounds.reset();
                widenBy(*dest);
            }
        }
    }

    // Then the source's, for where they land.
    std::unique_ptr<Node> source = sourceExt ? parseWhole(sourceExt->xml) : nullptr;
    bool added = false;
    if (source) {
        // The prefixes the source's extensions use must mean the same in the destination.
        const auto have = declarations(namespaces);
        std::string missing;
        bool clash = false;
        for (const auto& decl : declarations(sourceParts->namespaces)) {
            auto it = std::find_if(have.begin(), have.end(),
                                   [&](const auto& h) { return h.first == decl.first; });
            if (it == have.end())
                missing += " " + decl.first + "=\"" + decl.second + "\"";
            else
                clash = clash || it->second != decl.second;
        }
        if (clash)
            source.reset();
        else
            namespaces += missing;
    }
    if (source) {
        if (!dest) dest = std::make_unique<Node>(Node{source->name, {}, {}, {}});
        uint32_t item = 0;  // the source's items, as extensionItems counts them
        for (const std::string_view uri : {kExtFormats, kExtValidations, kExtSparklines}) {
            Node* se = extOf(*source, uri);
            if (!se) continue;
            Node* de = extOf(*dest, uri);
            for (auto& list : se->children) {
                const std::string_view l = localOf(list->name);
                std::vector<std::unique_ptr<Node>> copies;
                if (l == "sparklineGroups") {
                    for (auto& g : list->children) {
                        Node* sl = childNamed(*g, "sparklines");
                        if (!sl) continue;
                        auto cg = clone(*g);
                        Node* csl = childNamed(*cg, "sparklines");
                        csl->children.clear();
                        for (auto& spark : sl->children) {
                            const uint32_t id = item++;
                            for (auto& c : extCopiesOf(*spark, block, restater)) {
                                csl->children.push_back(std::move(c));
                                if (carried.empty() || carried.back() != id) carried.push_back(id);
                            }
                        }
                        if (!csl->children.empty()) copies.push_back(std::move(cg));
                    }
                } else if (l == "conditionalFormattings" || l == "dataValidations") {
                    for (auto& c : list->children) {
                        const uint32_t id = item++;
                        for (auto& k : extCopiesOf(*c, block, restater)) {
                            copies.push_back(std::move(k));
                            if (carried.empty() || carried.back() != id) carried.push_back(id);
                        }
                    }
                }
                if (copies.empty()) continue;
                added = true;
                if (!de) {
                    auto e = clone(*se);
                    e->children.clear();
                    dest->children.push_back(std::move(e));
                    de = dest->children.back().get();
                }
                Node* dl = childNamed(*de, l);
                if (!dl) {
                    auto e = clone(*list);
                    e->children.clear();
                    de->children.push_back(std::move(e));
                    dl = de->children.back().get();
                }
                for (auto& c : copies) {
                    // A sparkline group stays a group of its own (its axes may be shared by
                    // its sparklines); a rule or validation may continue one copied before.
                    bool joined = false;
                    int looked = 0;
                    if (l != "sparklineGroups")
                        for (auto it = dl->children.rbegin();
                             !joined && it != dl->children.rend() && looked < 64; ++it, ++looked)
                            joined = extendExt(**it, *c);
                    widenBy(*c);
                    if (!joined) dl->children.push_back(std::move(c));
                }
                setCount(*dl);
            }
        }
    }
    dirty = dirty || added || changed;
    return carried;
}

void ExtensionCopier::flush(Worksheet& to) {
    Impl& m = *impl_;
    if (!m.dirty) return;
    m.dirty = false;
    std::unique_ptr<Node>& dest = m.dest;
    // Lists and extensions left empty go; then the destination's parts take the new list.
    if (dest) {
        for (auto& ext : dest->children)
            std::erase_if(ext->children, [](const std::unique_ptr<Node>& list) {
                const std::string_view l = localOf(list->name);
                return (l == "conditionalFormattings" || l == "dataValidations" ||
                        l == "sparklineGroups") &&
                       list->children.empty();
            });
        std::erase_if(dest->children,
                      [](const std::unique_ptr<Node>& e) { return e->children.empty(); });
    }
    setExtensionList(to, dest.get(), m.namespaces);
    m.loaded = false;  // what changes the parts from now on is read again by the next copy
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

#include "part_rows.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "drawing_copy.h"
#include "../model/formula.h"
#include "../text/xml_text.h"
#include "../model/workbook.h"

namespace ss {

namespace {

using xml::attrSpan;
using xml::elementEnd;
using xml::nextTag;
using xml::Tag;

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Where an anchor lands: 0-based rows of its markers, and whether a marker's offset into its
// row is dropped (the row it was measured from was deleted).
struct RowPlace {
    uint32_t from = 0, to = 0;
    bool resetFrom = false, resetTo = false;
};

// The anchor element [begin, end) of `xml` with its from/to rows set (in every anchor inside,
// as markup compatibility repeats the anchor in its choice and fallback).
void placeAnchorRows(std::string_view xml, size_t begin, size_t end, const RowPlace& p,
                     std::string& out) {
    std::vector<std::string_view> stack;
    size_t pos = begin;
    Tag t;
    while (nextTag(xml, pos, t) && t.begin < end) {
        out.append(xml.substr(pos, t.end - pos));
        pos = t.end;
        if (t.closing) {
            if (!stack.empty()) stack.pop_back();
            continue;
        }
        if (t.empty) continue;
        const std::string_view parent = stack.empty() ? "" : stack.back();
        stack.push_back(t.local);
        if (parent != "from" && parent != "to") continue;
        const bool from = parent == "from";
        std::optional<std::string> value;
        if (t.local == "row")
            value = std::to_string(from ? p.from : p.to);
        else if (t.local == "rowOff" && (from ? p.resetFrom : p.resetTo))
            value = "0";
        if (!value) continue;
        const size_t close = xml.find('<', t.end);
        if (close == std::string_view::npos || close > end) continue;
        out += *value;
        pos = close;
    }
    out.append(xml.substr(pos, end - pos));
}

// The drawing's XML with its cell anchors moved with the rows; anchors left without rows go and
// are counted in `dropped`. Nothing when no anchor moved.
std::optional<std::string> moveAnchors(std::string_view xml, const RowMove& move,
                                       std::map<std::string, uint32_t>& dropped) {
    // The boxes of form controls move as their controls do: never dropped.
    const std::vector<DrawingAnchor> anchors = drawingAnchors(xml, true);
    std::string out;
    size_t copied = 0;
    bool changed = false;
    auto gone = [&](uint32_t row) { return !move.range(CellRange{row, 1, row, 1}); };
    for (const DrawingAnchor& a : anchors) {
        if (!a.cellAnchored || a.toRow < a.fromRow) continue;
        // How the anchor follows its cells: "absolute" stays put, "oneCell" moves and keeps
        // its size, the rest move and stretch with their rows.
        std::string_view span = xml.substr(a.begin, a.end - a.begin);
        std::string_view editAs, element;
        Tag t;
        for (size_t pos = 0; nextTag(span, pos, t); pos = t.end)
            if (!t.closing && (t.local == "twoCellAnchor" || t.local == "oneCellAnchor")) {
                element = t.local;
                auto [at, n] = attrSpan(span.substr(t.begin, t.end - t.begin), "editAs");
                if (at != std::string_view::npos) editAs = span.substr(t.begin + at, n);
                break;
            }
        if (editAs == "absolute") continue;
        const bool sized = element == "twoCellAnchor" && editAs != "oneCell";
        RowPlace place;
        std::optional<CellRange> rows = move.range(CellRange{a.fromRow, 1, a.toRow, 1});
        // The first row left at or below the top: the top lands there.
        std::optional<CellRange> below =
            move.range(CellRange{a.fromRow, 1, std::max(a.fromRow, kXlsxMaxRows - 1), 1});
        if (a.controlBox && sized && !rows && below) {
            // A control whose rows all went stays, on the top of the row that took their place.
            place.from = place.to = below->firstRow - 1;
            place.resetFrom = place.resetTo = true;
            out.append(xml, copied, a.begin - copied);
            placeAnchorRows(xml, a.begin, a.end, place, out);
            copied = a.end;
            changed = true;
            continue;
        }
        if ((sized && !rows) || !below) {
            out.append(xml, copied, a.begin - copied);
            copied = a.end;
            ++dropped[anchorKindName(a.kind)];
            changed = true;
            continue;
        }
        place.resetFrom = gone(a.fromRow);
        place.from = below->firstRow - 1;
        if (sized) {
            place.resetTo = gone(a.toRow);
            place.to = std::min(rows->lastRow - (place.resetTo ? 0 : 1), kXlsxMaxRows - 1);
        } else {
            place.to = std::min(place.from + (a.toRow - a.fromRow), kXlsxMaxRows - 1);
        }
        if (!place.resetFrom && !place.resetTo && place.from == a.fromRow - 1 &&
            place.to == a.toRow - 1)
            continue;
        out.append(xml, copied, a.begin - copied);
        placeAnchorRows(xml, a.begin, a.end, place, out);
        copied = a.end;
        changed = true;
    }
    if (!changed) return std::nullopt;
    out.append(xml, copied, std::string_view::npos);
    return out;
}

// A range attribute of the first `element` tag moved with the rows; nothing when it does not
// move (or `sheet` is given and the tag names another sheet).
std::optional<std::string> moveRangeAttribute(std::string_view xml, std::string_view element,
                                              const RowMove& move, const std::string* sheet) {
    Tag t;
    for (size_t pos = 0; nextTag(xml, pos, t); pos = t.end) {
        if (t.closing || t.local != element) continue;
        std::string_view tag = xml.substr(t.begin, t.end - t.begin);
        if (sheet) {
            auto [at, n] = attrSpan(tag, "sheet");
            if (at == std::string_view::npos ||
                foldSheetName(xml::unescape(tag.substr(at, n))) != *sheet)
                return std::nullopt;
        }
        auto [at, n] = attrSpan(tag, "ref");
        if (at == std::string_view::npos) return std::nullopt;
        std::optional<CellRange> r = parseRange(tag.substr(at, n));
        if (!r) return std::nullopt;
        std::optional<CellRange> to = move.range(*r);
        if (!to || *to == *r) return std::nullopt;
        std::string out(xml.substr(0, t.begin + at));
        out += to->toA1();
        out.append(xml.substr(t.begin + at + n));
        return out;
    }
    return std::nullopt;
}

// Walks the parts of the sheets concerned, rewriting those that say something about the moved
// rows and every part that links to a rewritten one. A part shared by two sheets (a pivot
// cache) stays one part.
class PartMover {
public:
    PartMover(const RowMove& move, std::string sheetName, const PackagePart* drawing)
        : move_(move),
          name_(std::move(sheetName)),
          folded_(foldSheetName(name_)),
          drawing_(drawing) {}

    std::shared_ptr<const PackagePart> visit(const std::shared_ptr<const PackagePart>& p,
                                             bool ownSheet,
                                             std::map<std::string, uint32_t>& dropped,
                                             int depth = 0) {
        if (!p) return p;
        if (auto it = memo_.find(p.get()); it != memo_.end()) return it->second;
        memo_[p.get()] = p;  // a cycle ends here
        std::shared_ptr<PackagePart> copy;
        if (depth < 8)
            for (size_t i = 0; i < p->links.size(); ++i) {
                auto to = visit(p->links[i].part, ownSheet, dropped, depth + 1);
                if (to == p->links[i].part) continue;
                if (!copy) copy = std::make_shared<PackagePart>(*p);
                copy->links[i].part = std::move(to);
            }
        std::optional<std::string> xml = rewrite(*p, ownSheet, dropped);
        if (xml) {
            if (!copy) copy = std::make_shared<PackagePart>(*p);
            // Relationships of anchors that went go with them.
            if (p.get() == drawing_)
                std::erase_if(copy->links, [&](const PartLink& l) {
                    return xml->find("\"" + l.id + "\"") == std::string::npos;
                });
            copy->data = std::make_shared<const std::string>(std::move(*xml));
        }
        if (copy) memo_[p.get()] = copy;
        return memo_[p.get()];
    }

private:
    std::optional<std::string> rewrite(const PackagePart& p, bool ownSheet,
                                       std::map<std::string, uint32_t>& dropped) {
        const std::string_view type = p.contentType;
        const std::string& xml = *p.data;
        if (&p == drawing_) return moveAnchors(xml, move_, dropped);
        if (endsWith(type, "drawingml.chart+xml") || endsWith(type, "chartex+xml")) {
            std::string out = restateChart(
                xml,
                [&](std::string_view f) -> std::optional<std::string> {
                    bool names = false;
                    for (const std::string& s : formulaNames(f).sheets)
                        names = names || foldSheetName(s) == folded_;
                    if (!names) return std::string(f);
                    std::string moved = move_.named(f, name_);
                    // A series whose cells all went keeps the values it showed.
                    if (moved.find("#REF!") != std::string::npos) return std::nullopt;
                    return moved;
                },
                nullptr, true);
            if (out == xml) return std::nullopt;
            return out;
        }
        if (endsWith(type, "pivotCacheDefinition+xml"))
            return moveRangeAttribute(xml, "worksheetSource", move_, &folded_);
        if (ownSheet && endsWith(type, "pivotTable+xml"))
            return moveRangeAttribute(xml, "location", move_, nullptr);
        return std::nullopt;
    }

    const RowMove& move_;
    std::string name_, folded_;
    const PackagePart* drawing_;
    std::map<const PackagePart*, std::shared_ptr<const PackagePart>> memo_;
};

}  // namespace

void movePartRows(Workbook& book, Worksheet& moved, const RowMove& move) {
    if (!move.named) return;
    // Chart formulas name the sheet as the workbook it came from named it; only parts from that
    // workbook mean this sheet by that name.
    const PartOrigin* origin = moved.parts ? moved.parts->origin.get() : nullptr;
    std::string name =
        moved.parts && !moved.parts->originName.empty() ? moved.parts->originName : moved.name;
    if (!origin) {
        std::set<const PartOrigin*> origins;
        for (const auto& s : book.sheets)
            if (s->parts) origins.insert(s->parts->origin.get());
        if (origins.size() != 1) return;
        origin = *origins.begin();
    }
    std::shared_ptr<const PackagePart> drawing = moved.parts ? sheetDrawing(*moved.parts) : nullptr;
    PartMover mover(move, name, drawing.get());
    for (const auto& s : book.sheets) {
        if (!s->parts || (s.get() != &moved && s->parts->origin.get() != origin)) continue;
        std::shared_ptr<SheetParts> parts;
        std::map<std::string, uint32_t> dropped;
        const bool own = s.get() == &moved;
        for (size_t i = 0; i < s->parts->links.size(); ++i) {
            const PartLink& l = s->parts->links[i];
            auto to = mover.visit(l.part, own, dropped);
            if (to == l.part) continue;
            if (!parts) parts = std::make_shared<SheetParts>(*s->parts);
            parts->links[i].part = std::move(to);
        }
        if (!parts) continue;
        for (const auto& [kind, n] : dropped) parts->dropped[kind] += n;
        s->parts = std::move(parts);
    }
}

}  // namespace ss

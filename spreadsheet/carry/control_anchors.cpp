#include "control_anchors.h"

#include <charconv>
#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "../text/xml_text.h"
#include "../model/worksheet.h"

namespace ss {

namespace {

using xml::nextTag;
using xml::Tag;

struct Landing {
    uint32_t row = 0;  // from 0, as anchors count
    bool deleted = false;
};

// Where row `row0` (from 0) lands.
Landing land(uint32_t row0, const RowMove& move) {
    const uint32_t r = row0 + 1;
    if (auto to = move.range(CellRange{r, 1, r, 1})) return {to->firstRow - 1, false};
    for (uint32_t above = r - 1; above >= 1; --above)
        if (auto to = move.range(CellRange{above, 1, above, 1})) return {to->firstRow, true};
    return {0, true};
}

std::optional<uint32_t> number(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    uint32_t n = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return n;
}

// The rows of the <from> and <to> corners of <anchor> elements.
std::string moveAnchors(std::string_view xml, const RowMove& move, bool& changed) {
    std::string out;
    size_t pos = 0;
    bool inCorner = false, deleted = false;
    Tag t;
    while (nextTag(xml, pos, t)) {
        out.append(xml.substr(pos, t.end - pos));
        pos = t.end;
        if (t.local == "from" || t.local == "to") {
            inCorner = !t.closing && !t.empty;
            deleted = false;
            continue;
        }
        if (!inCorner || t.closing || t.empty || (t.local != "row" && t.local != "rowOff"))
            continue;
        const size_t close = xml.find('<', t.end);
        if (close == std::string_view::npos) break;
        std::optional<uint32_t> v = number(xml.substr(t.end, close - t.end));
        if (!v) continue;
        std::string text;
        if (t.local == "row") {
            Landing l = land(*v, move);
            deleted = l.deleted;
            text = std::to_string(l.row);
        } else {
            text = deleted ? "0" : std::to_string(*v);
        }
        changed = changed || text != xml.substr(t.end, close - t.end);
        out += text;
        pos = close;
    }
    out.append(xml.substr(pos));
    return out;
}

// The rows of the legacy shapes' <x:Anchor> (column, offset, row, offset, twice).
std::string moveLegacyAnchors(std::string_view xml, const RowMove& move, bool& changed) {
    std::string out;
    size_t pos = 0;
    Tag t;
    while (nextTag(xml, pos, t)) {
        out.append(xml.substr(pos, t.end - pos));
        pos = t.end;
        if (t.closing || t.empty || t.local != "Anchor") continue;
        const size_t close = xml.find('<', t.end);
        if (close == std::string_view::npos) break;
        std::string_view text = xml.substr(t.end, close - t.end);
        std::vector<uint32_t> v;
        for (size_t at = 0; at <= text.size();) {
            size_t comma = std::min(text.find(',', at), text.size());
            std::optional<uint32_t> n = number(text.substr(at, comma - at));
            if (!n) break;
            v.push_back(*n);
            at = comma + 1;
        }
        if (v.size() != 8) continue;
        for (size_t corner : {size_t(2), size_t(6)}) {
            Landing l = land(v[corner], move);
            v[corner] = l.row;
            if (l.deleted) v[corner + 1] = 0;
        }
        std::string moved;
        for (size_t i = 0; i < v.size(); ++i) moved += (i ? ", " : "") + std::to_string(v[i]);
        changed = changed || moved != text;
        out += moved;
        pos = close;
    }
    out.append(xml.substr(pos));
    return out;
}

}  // namespace

void moveControlRows(Worksheet& ws, const RowMove& move) {
    if (!ws.parts) return;
    bool any = !ws.parts->legacyShapes.empty();
    for (const RawSheetElement& e : ws.parts->elements)
        any = any || e.element == "controls" || e.element == "oleObjects";
    if (!any) return;
    bool changed = false;
    auto parts = std::make_shared<SheetParts>(*ws.parts);
    for (RawSheetElement& e : parts->elements)
        if (e.element == "controls" || e.element == "oleObjects")
            e.xml = moveAnchors(e.xml, move, changed);
    if (!parts->legacyShapes.empty())
        parts->legacyShapes = moveLegacyAnchors(parts->legacyShapes, move, changed);
    if (changed) ws.parts = std::move(parts);
}

}  // namespace ss

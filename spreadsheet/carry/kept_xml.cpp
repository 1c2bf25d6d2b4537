// The kept elements' small tree: reading and writing it, copying it, and the lists of ranges
// the elements hold.
#include "kept_xml.h"

#include "../text/xml_text.h"

namespace ss::kept {

namespace {

// Deeper nesting than any of these elements has is not ours: left as it is (and no deep
// recursion on a crafted file).
constexpr int kMaxDepth = 16;

}  // namespace

std::unique_ptr<Node> parse(std::string_view xml, size_t& at, int depth) {
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

std::string* attrOf(Node& n, std::string_view name) {
    for (auto& [k, v] : n.attrs)
        if (k == name) return &v;
    return nullptr;
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

std::string listText(const RangeList& l) {
    std::string out;
    for (const CellRange& r : l.ranges) out += (out.empty() ? "" : " ") + r.toA1();
    for (const std::string& o : l.other) out += (out.empty() ? "" : " ") + o;
    return out;
}

std::pair<uint32_t, uint32_t> topLeft(const std::vector<CellRange>& ranges) {
    uint32_t r = UINT32_MAX, c = UINT32_MAX;
    for (const CellRange& x : ranges) r = std::min(r, x.firstRow), c = std::min(c, x.firstCol);
    return {r, c};
}

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

}  // namespace ss::kept

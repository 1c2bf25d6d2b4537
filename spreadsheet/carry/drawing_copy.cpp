#include "drawing_copy.h"

#include <algorithm>
#include <cstdlib>

#include "../model/cell.h"
#include "../text/xml_text.h"
#include "../model/worksheet.h"

namespace ss {

namespace {

using xml::elementEnd;
using xml::nextTag;
using xml::Tag;

constexpr std::string_view kRelNs =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr std::string_view kDrawingRel =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/drawing";
constexpr std::string_view kDrawingType =
    "application/vnd.openxmlformats-officedocument.drawing+xml";
constexpr std::string_view kDrawingNs = "http://schemas.openxmlformats.org/drawingml/2006/main";

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

struct Attr {
    std::string_view name;
    size_t valueBegin = 0, valueEnd = 0;  // within the tag
};

// The attributes of a start tag (given as its text).
std::vector<Attr> attributes(std::string_view tag) {
    std::vector<Attr> out;
    size_t i = 1;
    while (i < tag.size() && !(tag[i] == ' ' || tag[i] == '\t' || tag[i] == '\n' || tag[i] == '\r'))
        ++i;
    while (i < tag.size()) {
        while (i < tag.size() && (tag[i] == ' ' || tag[i] == '\t' || tag[i] == '\n' ||
                                  tag[i] == '\r' || tag[i] == '/' || tag[i] == '>'))
            ++i;
        size_t n = i;
        while (i < tag.size() && tag[i] != '=' && tag[i] != ' ' && tag[i] != '>') ++i;
        if (i >= tag.size() || tag[i] != '=' || i + 1 >= tag.size()) break;
        const char q = tag[i + 1];
        if (q != '"' && q != '\'') break;
        size_t end = tag.find(q, i + 2);
        if (end == std::string_view::npos) break;
        out.push_back({tag.substr(n, i - n), i + 2, end});
        i = end + 1;
    }
    return out;
}

std::string_view attrValue(std::string_view tag, std::string_view name) {
    for (const Attr& a : attributes(tag))
        if (a.name == name) return tag.substr(a.valueBegin, a.valueEnd - a.valueBegin);
    return {};
}

// Namespace declarations of a start tag: prefix ("" for the default) -> URI as written.
std::map<std::string, std::string> declarations(std::string_view tag) {
    std::map<std::string, std::string> out;
    for (const Attr& a : attributes(tag)) {
        std::string_view v = tag.substr(a.valueBegin, a.valueEnd - a.valueBegin);
        if (a.name == "xmlns")
            out[""] = std::string(v);
        else if (a.name.substr(0, 6) == "xmlns:")
            out[std::string(a.name.substr(6))] = std::string(v);
    }
    return out;
}

uint32_t number(std::string_view s) {
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        v = std::min<uint64_t>(v * 10 + uint64_t(c - '0'), UINT32_MAX);
    }
    return uint32_t(v);
}

// The text of the first element named `local` inside [from, to) of `xml`.
std::string_view childText(std::string_view xml, size_t from, size_t to, std::string_view local) {
    Tag t;
    size_t pos = from;
    while (nextTag(xml, pos, t) && t.begin < to) {
        if (!t.closing && !t.empty && t.local == local) {
            size_t close = xml.find('<', t.end);
            return close == std::string_view::npos ? std::string_view()
                                                   : xml.substr(t.end, close - t.end);
        }
        pos = t.end;
    }
    return {};
}

bool isAnchor(std::string_view local) {
    return local == "twoCellAnchor" || local == "oneCellAnchor" || local == "absoluteAnchor";
}

// Reads one anchor element [a.begin, a.end) that starts with tag `t`.
void readAnchor(std::string_view xml, const Tag& t, size_t end, DrawingAnchor& a) {
    a.cellAnchored = t.local != "absoluteAnchor";
    Tag c;
    size_t pos = t.end;
    bool from = false, to = false, kind = false;
    while (nextTag(xml, pos, c) && c.begin < end) {
        pos = c.end;
        if (c.closing) continue;
        if (!from && c.local == "from") {
            Tag e = elementEnd(xml, c);
            a.fromCol = number(childText(xml, c.end, e.begin, "col")) + 1;
            a.fromRow = number(childText(xml, c.end, e.begin, "row")) + 1;
            from = true;
        } else if (!to && c.local == "to") {
            Tag e = elementEnd(xml, c);
            a.toCol = number(childText(xml, c.end, e.begin, "col")) + 1;
            a.toRow = number(childText(xml, c.end, e.begin, "row")) + 1;
            to = true;
        } else if (!kind &&
                   (c.local == "pic" || c.local == "graphicFrame" || c.local == "sp" ||
                    c.local == "cxnSp" || c.local == "grpSp" || c.local == "contentPart")) {
            kind = true;
            if (c.local == "pic") {
                a.kind = AnchorKind::Picture;
            } else if (c.local == "graphicFrame") {
                Tag e = elementEnd(xml, c);
                std::string_view frame = xml.substr(c.end, e.begin - c.end);
                a.kind = frame.find("drawingml/2006/chart\"") != std::string_view::npos ||
                                 frame.find("drawing/2014/chartex\"") != std::string_view::npos
                             ? AnchorKind::Chart
                         : frame.find("drawing/2010/slicer\"") != std::string_view::npos
                             ? AnchorKind::Slicer
                         : frame.find("drawing/2012/timeslicer\"") != std::string_view::npos
                             ? AnchorKind::Timeline
                             : AnchorKind::Shape;
            } else {
                a.kind = AnchorKind::Shape;
            }
        }
    }
    if (!to) {
        a.toRow = a.fromRow;
        a.toCol = a.fromCol;
    }
    if (!a.cellAnchored) a.fromRow = a.fromCol = a.toRow = a.toCol = 0;
}

}  // namespace

const char* anchorKindName(AnchorKind kind) {
    switch (kind) {
        case AnchorKind::Picture:
            return "图片";
        case AnchorKind::Chart:
            return "图表";
        case AnchorKind::Slicer:
            return "切片器";
        case AnchorKind::Timeline:
            return "日程表";
        case AnchorKind::Shape:
            break;
    }
    return "形状";
}

std::vector<DrawingAnchor> drawingAnchors(std::string_view xml, bool controlBoxes) {
    std::vector<DrawingAnchor> out;
    Tag root;
    size_t pos = 0;
    if (!nextTag(xml, 0, root) || root.empty) return out;
    pos = root.end;
    Tag t;
    while (nextTag(xml, pos, t)) {
        if (t.closing) break;  // the root's end
        Tag e = elementEnd(xml, t);
        pos = e.end;
        std::string_view span = xml.substr(t.begin, e.end - t.begin);
        // The boxes of legacy form controls go with their controls.
        const bool box = span.find("compatExt") != std::string_view::npos;
        if (box && !controlBoxes) continue;
        DrawingAnchor a;
        a.controlBox = box;
        a.begin = t.begin;
        a.end = e.end;
        if (isAnchor(t.local)) {
            readAnchor(xml, t, e.end, a);
        } else {
            // Markup compatibility: the first anchor inside (the choice) says what it is.
            Tag c;
            size_t q = t.end;
            bool found = false;
            while (nextTag(xml, q, c) && c.begin < e.end) {
                q = c.end;
                if (!c.closing && isAnchor(c.local)) {
                    readAnchor(xml, c, elementEnd(xml, c).end, a);
                    found = true;
                    break;
                }
            }
            if (!found) continue;
        }
        out.push_back(a);
    }
    return out;
}

std::shared_ptr<const PackagePart> sheetDrawing(const SheetParts& parts) {
    for (const RawSheetElement& e : parts.elements) {
        if (e.element != "drawing") continue;
        std::string_view id;
        for (const Attr& a : attributes(e.xml))
            if (endsWith(a.name, ":id"))
                id = std::string_view(e.xml).substr(a.valueBegin, a.valueEnd - a.valueBegin);
        for (const PartLink& l : parts.links)
            if (l.id == id && l.part && endsWith(l.part->contentType, "officedocument.drawing+xml"))
                return l.part;
    }
    return nullptr;
}

// ---- charts ----

namespace {

// The content of the first element named `local` inside [from, to), without its tags.
std::string_view innerOf(std::string_view xml, size_t from, size_t to, std::string_view local) {
    Tag t;
    size_t pos = from;
    while (nextTag(xml, pos, t) && t.begin < to) {
        pos = t.end;
        if (t.closing || t.local != local) continue;
        if (t.empty) return xml.substr(t.end, 0);
        Tag e = elementEnd(xml, t);
        return xml.substr(t.end, e.begin - t.end);
    }
    return {};
}

// A data reference whose cells are not in the output, as literal data of its cached values.
std::string literal(std::string_view xml, const Tag& ref, const Tag& refEnd,
                    std::string_view parent, std::string_view grandparent) {
    const std::string prefix(ref.qname.substr(0, ref.qname.size() - ref.local.size()));
    const size_t a = ref.end, b = refEnd.begin;
    std::string out;
    if (ref.local == "numRef") {
        out = "<" + prefix + "numLit>";
        out.append(innerOf(xml, a, b, "numCache"));
        out += "</" + prefix + "numLit>";
        return out;
    }
    if (ref.local == "multiLvlStrRef") {
        // The innermost level of the categories.
        std::string_view cache = innerOf(xml, a, b, "multiLvlStrCache");
        out = "<" + prefix + "strLit>";
        Tag t;
        if (nextTag(cache, 0, t) && !t.closing && t.local == "ptCount")
            out.append(cache.substr(t.begin, elementEnd(cache, t).end - t.begin));
        out.append(innerOf(cache, 0, cache.size(), "lvl"));
        out += "</" + prefix + "strLit>";
        return out;
    }
    std::string_view cache = innerOf(xml, a, b, "strCache");
    if (parent == "tx" && grandparent == "ser") {  // a series name: its text
        out = "<" + prefix + "v>";
        out.append(childText(cache, 0, cache.size(), "v"));
        out += "</" + prefix + "v>";
    } else if (parent == "tx") {  // a title or label: rich text
        out = "<" + prefix + "rich xmlns:a=\"" + std::string(kDrawingNs) +
              "\"><a:bodyPr/><a:lstStyle/><a:p><a:r><a:t>";
        out.append(childText(cache, 0, cache.size(), "v"));
        out += "</a:t></a:r></a:p></" + prefix + "rich>";
    } else {
        out = "<" + prefix + "strLit>";
        out.append(cache);
        out += "</" + prefix + "strLit>";
    }
    return out;
}

}  // namespace

std::string restateChart(std::string_view xml, const ChartFormulaFn& restate, uint32_t* uncovered,
                         bool keepPivotLink) {
    std::string out;
    out.reserve(xml.size() + 64);
    struct Ext {
        size_t outPos;
        bool drop = false;
    };
    std::vector<Ext> exts;
    std::vector<std::string_view> stack;
    size_t pos = 0;
    Tag t;
    auto restated = [&](std::string_view raw) -> std::optional<std::string> {
        std::string f = xml::unescape(raw);
        if (!f.empty() && f.front() == '=') f.erase(0, 1);
        std::optional<std::string> r = restate(f);
        if (!r && uncovered) ++*uncovered;
        return r;
    };
    while (nextTag(xml, pos, t)) {
        out.append(xml.substr(pos, t.begin - pos));
        pos = t.end;
        if (!t.closing && !t.empty &&
            (t.local == "numRef" || t.local == "strRef" || t.local == "multiLvlStrRef")) {
            Tag e = elementEnd(xml, t);
            Tag f;
            size_t q = t.end;
            bool haveF = false;
            while (nextTag(xml, q, f) && f.begin < e.begin) {
                q = f.end;
                if (!f.closing && !f.empty && f.local == "f") {
                    haveF = true;
                    break;
                }
            }
            size_t close = haveF ? xml.find('<', f.end) : std::string_view::npos;
            std::optional<std::string> r;
            if (close != std::string_view::npos) r = restated(xml.substr(f.end, close - f.end));
            if (r) {
                out.append(xml.substr(t.begin, f.end - t.begin));
                xml::appendEscaped(out, *r, true);
                out.append(xml.substr(close, e.end - close));
            } else {
                std::string_view parent = stack.empty() ? "" : stack.back();
                std::string_view grand = stack.size() < 2 ? "" : stack[stack.size() - 2];
                out += literal(xml, t, e, parent, grand);
            }
            pos = e.end;
            continue;
        }
        if (!keepPivotLink && !t.closing && t.local == "pivotSource") {  // left behind
            pos = elementEnd(xml, t).end;
            continue;
        }
        out.append(xml.substr(t.begin, t.end - t.begin));
        if (t.closing) {
            if (!stack.empty()) stack.pop_back();
            if (t.local == "ext" && !exts.empty()) {
                Ext x = exts.back();
                exts.pop_back();
                if (x.drop) out.resize(x.outPos);
            }
            continue;
        }
        if (t.empty) continue;
        stack.push_back(t.local);
        if (t.local == "ext") exts.push_back({out.size() - (t.end - t.begin)});
        if (t.local == "f" || t.local == "sqref") {  // in extensions and newer chart kinds
            size_t close = xml.find('<', t.end);
            if (close == std::string_view::npos) continue;
            if (auto r = restated(xml.substr(t.end, close - t.end))) {
                xml::appendEscaped(out, *r, true);
                pos = close;
            } else if (!exts.empty()) {
                exts.back().drop = true;
            } else {  // the data it names stays behind: its cached levels or text show it
                out.resize(out.size() - (t.end - t.begin));
                stack.pop_back();
                pos = elementEnd(xml, t).end;
            }
        }
    }
    out.append(xml.substr(pos));
    return out;
}

// ---- the source ----

DrawingSource::DrawingSource(std::shared_ptr<const PackagePart> drawing)
    : drawing_(std::move(drawing)) {
    const std::string_view xml = *drawing_->data;
    readSize_ = xml.size();
    anchors_ = drawingAnchors(xml);
    for (const PartLink& l : drawing_->links) links_.emplace(l.id, &l);
    now_.resize(anchors_.size());
    for (size_t i = 0; i < anchors_.size(); ++i) {
        now_[i].fromRow = anchors_[i].fromRow;
        now_[i].toRow = anchors_[i].toRow;
    }
    Tag root;
    if (nextTag(xml, 0, root) && !root.closing) {
        std::string_view start = xml.substr(root.begin, root.end - root.begin);
        rootNs_ = declarations(start);
        head_ = std::string(xml.substr(0, root.begin));
        if (root.empty) {
            head_.append(start.substr(0, start.size() - 2));
            head_ += '>';
        } else {
            head_.append(start);
        }
        tail_ = "</" + std::string(root.qname) + ">";
    }
    // Prefixes bound to the relationships namespace anywhere (charts declare theirs locally).
    for (size_t at = xml.find(kRelNs); at != std::string_view::npos;
         at = xml.find(kRelNs, at + 1)) {
        size_t eq = xml.rfind('=', at);
        size_t sp = xml.find_last_of(" \t\r\n", eq);
        if (eq == std::string_view::npos || sp == std::string_view::npos) continue;
        std::string_view name = xml.substr(sp + 1, eq - sp - 1);
        if (name.substr(0, 6) == "xmlns:") relPrefixes_.insert(std::string(name.substr(6)));
    }
    index();
}

void DrawingSource::index() {
    byRow_.clear();
    for (size_t i = 0; i < anchors_.size(); ++i)
        if (anchors_[i].cellAnchored && !now_[i].gone) byRow_.push_back(i);
    std::stable_sort(byRow_.begin(), byRow_.end(),
                     [&](size_t a, size_t b) { return now_[a].fromRow < now_[b].fromRow; });
}

void DrawingSource::moveRows(const RowMove& move) {
    for (size_t i = 0; i < anchors_.size(); ++i) {
        Now& n = now_[i];
        if (!anchors_[i].cellAnchored || n.gone) continue;
        auto span = move.range(CellRange{n.fromRow, 1, n.toRow, 1});
        if (!span) {
            n.gone = true;
            continue;
        }
        n.fromRow = span->firstRow;
        n.toRow = span->lastRow;
    }
    moves_.push_back(move);
    index();
}

uint32_t DrawingSource::originalRow(uint32_t row) const {
    uint32_t r = row;
    for (size_t i = moves_.size(); i-- > 0;) r = moves_[i].sourceRow(r);
    // A row inserted since has no row it came from: going forward again does not lead back.
    uint32_t back = r;
    for (const RowMove& m : moves_) {
        auto moved = m.range(CellRange{back, 1, back, 1});
        if (!moved) return 0;
        back = moved->firstRow;
    }
    return back == row ? r : 0;
}

void DrawingSource::select(uint32_t first, uint32_t last, uint32_t c1, uint32_t c2,
                           std::vector<size_t>& out) const {
    auto it = std::lower_bound(byRow_.begin(), byRow_.end(), first,
                               [&](size_t i, uint32_t v) { return now_[i].fromRow < v; });
    for (; it != byRow_.end() && now_[*it].fromRow <= last; ++it)
        if (anchors_[*it].fromCol >= c1 && anchors_[*it].fromCol <= c2) out.push_back(*it);
}

// ---- the target ----

void DrawingTarget::attach(Worksheet& ws, const DrawingSource& source) {
    std::shared_ptr<const PackagePart> have = ws.parts ? sheetDrawing(*ws.parts) : nullptr;
    if (part_ && have.get() == part_.get()) return;

    auto parts =
        ws.parts ? std::make_shared<SheetParts>(*ws.parts) : std::make_shared<SheetParts>();
    if (!parts->origin) {
        // The carried charts name this sheet: the writer follows it if it is renamed.
        parts->origin = std::make_shared<PartOrigin>();
        parts->originName = ws.name;
    }
    part_ = std::make_shared<PackagePart>();
    xml_ = std::make_shared<std::string>();
    relIds_.clear();
    nextShape_ = nextRel_ = 1;
    if (have) {
        *xml_ = *have->data;
        part_->name = have->name;
        part_->contentType = have->contentType;
        part_->links = have->links;
    } else {
        *xml_ = std::string(source.head()) + std::string(source.tail());
        part_->name = "xl/drawings/drawing1.xml";
        part_->contentType = std::string(kDrawingType);
    }
    for (const PartLink& l : part_->links) relIds_.insert(l.id);
    // The root: an empty one is opened; the end tag stays last.
    Tag root;
    std::string& x = *xml_;
    if (nextTag(x, 0, root) && !root.closing) {
        rootNs_ = declarations(std::string_view(x).substr(root.begin, root.end - root.begin));
        if (root.empty) {
            const std::string end = "</" + std::string(root.qname) + ">";
            x.erase(root.end - 2, 1);  // "/>" -> ">"
            x.resize(root.end - 1);
            x += end;
        }
    }
    size_t lastLt = x.rfind("</");
    tail_ = lastLt == std::string::npos ? 0 : x.size() - lastLt;
    for (size_t at = x.find("cNvPr "); at != std::string::npos; at = x.find("cNvPr ", at + 1)) {
        size_t gt = x.find('>', at);
        if (gt == std::string::npos) break;
        uint32_t id = number(attrValue(std::string_view(x).substr(at - 1, gt - at + 2), "id"));
        nextShape_ = std::max(nextShape_, id + 1);
    }
    part_->data = xml_;

    bool replaced = false;
    for (PartLink& l : parts->links)
        if (have && l.part == have) {
            l.part = part_;
            replaced = true;
        }
    if (!replaced) {
        std::string id = "rIdD1";
        for (int n = 2; std::any_of(parts->links.begin(), parts->links.end(),
                                    [&](const PartLink& l) { return l.id == id; });
             ++n)
            id = "rIdD" + std::to_string(n);
        parts->links.push_back({id, std::string(kDrawingRel), "", part_});
        std::erase_if(parts->elements,
                      [](const RawSheetElement& e) { return e.element == "drawing"; });
        parts->elements.push_back({"drawing", "<drawing r:id=\"" + id + "\"/>"});
    }
    ws.parts = std::move(parts);
}

bool DrawingTarget::add(std::string_view xml, const Place& place, const DrawingSource& source,
                        const std::function<const PartLink*(const std::string&)>& link) {
    const auto& prefixes = source.relPrefixes();
    // Shape ids first: connectors name the shapes they join.
    std::map<std::string, std::string> shapeIds;
    uint32_t nextShape = nextShape_;
    Tag t;
    for (size_t pos = 0; nextTag(xml, pos, t); pos = t.end)
        if (!t.closing && t.local == "cNvPr") {
            std::string id(attrValue(xml.substr(t.begin, t.end - t.begin), "id"));
            if (!shapeIds.count(id)) shapeIds[id] = std::to_string(nextShape++);
        }

    // Namespaces the anchor uses that this drawing's root does not declare alike.
    std::string extraNs;
    for (const auto& [prefix, uri] : source.rootNamespaces()) {
        auto it = rootNs_.find(prefix);
        if (it != rootNs_.end() && it->second == uri) continue;
        extraNs += prefix.empty() ? " xmlns=\"" : " xmlns:" + prefix + "=\"";
        extraNs += uri;
        extraNs += '"';
    }

    std::string out;
    out.reserve(xml.size() + extraNs.size() + 32);
    std::vector<PartLink> added;
    std::map<std::string, std::string> relIds;
    std::vector<std::string_view> stack;
    size_t pos = 0;
    bool first = true;
    while (nextTag(xml, pos, t)) {
        out.append(xml.substr(pos, t.begin - pos));
        pos = t.end;
        std::string_view tag = xml.substr(t.begin, t.end - t.begin);
        if (t.closing) {
            out.append(tag);
            if (!stack.empty()) stack.pop_back();
            continue;
        }
        // Attributes: relationship ids and shape ids renumbered.
        std::string rewritten;
        size_t copied = 0;
        for (const Attr& a : attributes(tag)) {
            std::string_view v = tag.substr(a.valueBegin, a.valueEnd - a.valueBegin);
            std::optional<std::string> nv;
            size_t colon = a.name.find(':');
            if (colon != std::string_view::npos && a.name.substr(0, 6) != "xmlns:" &&
                prefixes.count(std::string(a.name.substr(0, colon))) && !v.empty()) {
                std::string old(v);
                auto it = relIds.find(old);
                if (it == relIds.end()) {
                    const PartLink* l = link(old);
                    if (!l) return false;
                    std::string id;
                    do id = "rId" + std::to_string(nextRel_++);
                    while (relIds_.count(id));
                    relIds_.insert(id);
                    PartLink c = *l;
                    c.id = id;
                    added.push_back(std::move(c));
                    it = relIds.emplace(old, id).first;
                }
                nv = it->second;
            } else if (a.name == "id" &&
                       (t.local == "cNvPr" || t.local == "stCxn" || t.local == "endCxn")) {
                if (auto it = shapeIds.find(std::string(v)); it != shapeIds.end()) nv = it->second;
            }
            if (!nv) continue;
            rewritten.append(tag.substr(copied, a.valueBegin - copied));
            rewritten += *nv;
            copied = a.valueEnd;
        }
        rewritten.append(tag.substr(copied));
        if (first) {
            rewritten.insert(t.qname.size() + 1, extraNs);
            first = false;
        }
        out += rewritten;
        if (t.empty) continue;
        std::string_view parent = stack.empty() ? "" : stack.back();
        stack.push_back(t.local);
        if ((parent == "from" || parent == "to") && (t.local == "row" || t.local == "col")) {
            size_t close = xml.find('<', t.end);
            if (close == std::string_view::npos) continue;
            const bool from = parent == "from";
            const uint32_t v = t.local == "row" ? (from ? place.fromRow : place.toRow)
                                                : (from ? place.fromCol : place.toCol);
            out += std::to_string(v);
            pos = close;
        }
    }
    out.append(xml.substr(pos));

    for (PartLink& l : added) part_->links.push_back(std::move(l));
    nextShape_ = nextShape;
    xml_->insert(xml_->size() - tail_, out);
    return true;
}

std::vector<CarriedAnchor> carryAnchors(const DrawingSource& source, const CopiedBlock& block,
                                        Worksheet& dest, DrawingTarget& target,
                                        const ChartFormulaFn& restate) {
    struct Pick {
        size_t i;
        int64_t dRow;
    };
    std::vector<Pick> picks;
    std::vector<size_t> found;
    for (const CopiedBlock::Run& run : block.runs) {
        found.clear();
        source.select(run.first, run.last, block.firstCol, block.lastCol, found);
        for (size_t i : found)
            if (source.anchors()[i].kind != AnchorKind::Slicer &&
                source.anchors()[i].kind != AnchorKind::Timeline)
                picks.push_back({i, run.dRow});
    }
    std::vector<CarriedAnchor> carried;
    if (picks.empty()) return carried;
    std::sort(picks.begin(), picks.end(), [](const Pick& a, const Pick& b) { return a.i < b.i; });
    target.attach(dest, source);

    const PackagePart& part = *source.drawing();
    const std::string_view xml = *part.data;
    auto clampRow = [](int64_t r) { return uint32_t(std::clamp<int64_t>(r, 0, kXlsxMaxRows - 1)); };
    auto clampCol = [](int64_t c) { return uint32_t(std::clamp<int64_t>(c, 0, kXlsxMaxCols - 1)); };
    for (const Pick& p : picks) {
        const DrawingAnchor& a = source.anchors()[p.i];
        const DrawingSource::Now& now = source.now(p.i);
        DrawingTarget::Place place;
        place.fromRow = clampRow(int64_t(now.fromRow) - 1 + p.dRow);
        place.toRow = clampRow(int64_t(now.toRow) - 1 + p.dRow);
        place.fromCol = clampCol(int64_t(a.fromCol) - 1 + block.dCol);
        place.toCol = clampCol(int64_t(a.toCol) - 1 + block.dCol);
        std::vector<std::unique_ptr<PartLink>> made;
        std::vector<CarriedChart> charts;
        auto link = [&](const std::string& id) -> const PartLink* {
            const PartLink* l = source.link(id);
            if (!l || !l->part ||
                !(endsWith(l->part->contentType, "drawingml.chart+xml") ||
                  endsWith(l->part->contentType, "chartex+xml")))
                return l;
            // A chart of its own, plotting where its data landed.
            CarriedChart chart{std::make_shared<PackagePart>(*l->part), l->part};
            chart.part->data = std::make_shared<const std::string>(
                restateChart(*l->part->data, restate, &chart.uncovered));
            auto c = std::make_unique<PartLink>(*l);
            c->part = chart.part;
            charts.push_back(std::move(chart));
            made.push_back(std::move(c));
            return made.back().get();
        };
        if (target.add(xml.substr(a.begin, a.end - a.begin), place, source, link))
            carried.push_back({a.kind, uint32_t(p.i), std::move(charts)});
    }
    return carried;
}

}  // namespace ss

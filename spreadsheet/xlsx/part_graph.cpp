#include "part_graph.h"

#include "../carry/drawing_copy.h"
#include "../carry/reference_map.h"
#include "../text/xml_text.h"
#include "../carry/legacy_shapes.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace ss::xlsx {

// Where the sheets of a part's source land, and the sheet its texts live on.
struct Restater {
    ReferenceMap map;
    std::string home;
};

namespace {

using xml::nextTag;
using xml::Tag;

enum class Restate : uint8_t { None, Formulas, Table, PivotTable, PivotCache, Control, Slicer };

// The kinds of parts, by the last segment of the relationship type that reaches them. A kind
// not listed is carried as bytes when a carried part links to it.
struct PartKind {
    const char* rel;
    SheetLinkUse use;
    Restate restate;
    const char* dropped;  // what a job reports when it is left behind ("": documented, silent)
};

constexpr PartKind kKinds[] = {
    {"drawing", SheetLinkUse::Carry, Restate::None, nullptr},
    {"vmlDrawing", SheetLinkUse::Carry, Restate::None, nullptr},
    {"image", SheetLinkUse::Carry, Restate::None, nullptr},
    {"chart", SheetLinkUse::Carry, Restate::Formulas, nullptr},
    {"chartUserShapes", SheetLinkUse::Carry, Restate::None, nullptr},
    {"chartStyle", SheetLinkUse::Carry, Restate::None, nullptr},
    {"chartColorStyle", SheetLinkUse::Carry, Restate::None, nullptr},
    {"themeOverride", SheetLinkUse::Carry, Restate::None, nullptr},
    {"package", SheetLinkUse::Carry, Restate::None, nullptr},
    {"diagramData", SheetLinkUse::Carry, Restate::None, nullptr},
    {"diagramLayout", SheetLinkUse::Carry, Restate::None, nullptr},
    {"diagramQuickStyle", SheetLinkUse::Carry, Restate::None, nullptr},
    {"diagramColors", SheetLinkUse::Carry, Restate::None, nullptr},
    {"diagramDrawing", SheetLinkUse::Carry, Restate::None, nullptr},
    {"table", SheetLinkUse::Carry, Restate::Table, nullptr},
    {"pivotTable", SheetLinkUse::Attached, Restate::PivotTable, nullptr},
    {"pivotCacheDefinition", SheetLinkUse::Carry, Restate::PivotCache, nullptr},
    {"pivotCacheRecords", SheetLinkUse::Carry, Restate::None, nullptr},
    {"threadedComment", SheetLinkUse::Attached, Restate::None, nullptr},
    {"hyperlink", SheetLinkUse::Model, Restate::None, nullptr},
    {"comments", SheetLinkUse::Model, Restate::None, nullptr},
    {"printerSettings", SheetLinkUse::Dropped, Restate::None, ""},
    // Slicers and timelines: the caches they name hang off the workbook (PartOrigin).
    {"slicer", SheetLinkUse::Carry, Restate::Slicer, nullptr},
    {"timeline", SheetLinkUse::Carry, Restate::Slicer, nullptr},
    {"queryTable", SheetLinkUse::Dropped, Restate::None, "外部数据查询"},
    // Form controls (their properties), ActiveX controls (with their binaries) and embedded
    // objects; their previews are images, or packages for documents of other formats.
    {"ctrlProp", SheetLinkUse::Carry, Restate::Control, nullptr},
    {"control", SheetLinkUse::Carry, Restate::None, nullptr},
    {"activeXControlBinary", SheetLinkUse::Carry, Restate::None, nullptr},
    {"oleObject", SheetLinkUse::Carry, Restate::None, nullptr},
    {"customProperty", SheetLinkUse::Dropped, Restate::None, "自定义属性"},
    // Parts of the workbook itself are never copied with a sheet.
    {"worksheet", SheetLinkUse::Dropped, Restate::None, ""},
    {"chartsheet", SheetLinkUse::Dropped, Restate::None, ""},
    {"officeDocument", SheetLinkUse::Dropped, Restate::None, ""},
    {"styles", SheetLinkUse::Dropped, Restate::None, ""},
    {"theme", SheetLinkUse::Dropped, Restate::None, ""},
    {"sharedStrings", SheetLinkUse::Dropped, Restate::None, ""},
};

std::string_view relKind(std::string_view type) {
    size_t slash = type.rfind('/');
    return slash == std::string_view::npos ? type : type.substr(slash + 1);
}

const PartKind* kindOf(std::string_view relType) {
    std::string_view k = relKind(relType);
    for (const PartKind& p : kKinds)
        if (k == p.rel) return &p;
    return nullptr;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return s;
}

// The first start tag with local name `local`.
bool findStart(std::string_view xml, std::string_view local, Tag& t) {
    size_t pos = 0;
    while (nextTag(xml, pos, t)) {
        if (!t.closing && t.local == local) return true;
        pos = t.end;
    }
    return false;
}

std::string getAttr(std::string_view xml, const Tag& t, std::string_view name) {
    std::string_view tag = xml.substr(t.begin, t.end - t.begin);
    const auto [v, len] = xml::attrSpan(tag, name);
    return v == std::string_view::npos ? std::string() : xml::unescape(tag.substr(v, len));
}

// Sets attribute `name` of the tag (when present) to `value`; the text after it moves.
void setAttr(std::string& xml, Tag& t, std::string_view name, std::string_view value) {
    std::string_view tag = std::string_view(xml).substr(t.begin, t.end - t.begin);
    const auto [v, len] = xml::attrSpan(tag, name);
    if (v == std::string_view::npos) return;
    const std::string esc = xml::escaped(value, true);
    xml.replace(t.begin + v, len, esc);
    t.end = t.end - len + esc.size();
}

void removeAttr(std::string& xml, std::string_view name) {
    size_t pos = 0;
    while (true) {
        size_t at = xml.find(" " + std::string(name) + "=\"", pos);
        if (at == std::string::npos) return;
        size_t end = xml.find('"', at + name.size() + 3);
        if (end == std::string::npos) return;
        xml.erase(at, end + 1 - at);
        pos = at;
    }
}

// Restates the text of every element with local name "f" (chart series, extension formulas)
// for where the source's sheets land. A text naming what the package does not have (a sheet
// left behind) keeps its words, and its part the values it shows; it is counted.
std::string restateFormulaElements(std::string_view xml, const Restater& r, uint32_t& uncovered) {
    std::string out;
    out.reserve(xml.size());
    size_t pos = 0;
    Tag t;
    while (nextTag(xml, pos, t)) {
        if (t.closing || t.empty || t.local != "f") {
            out.append(xml.substr(pos, t.end - pos));
            pos = t.end;
            continue;
        }
        out.append(xml.substr(pos, t.end - pos));
        size_t close = xml.find('<', t.end);
        if (close == std::string_view::npos) {
            pos = t.end;
            break;
        }
        std::string f = xml::unescape(xml.substr(t.end, close - t.end));
        std::optional<std::string> restated = restateFormula(f, r.map, r.home);
        if (!restated) ++uncovered;
        xml::appendEscaped(out, restated ? *restated : f, true);
        pos = close;
    }
    out.append(xml.substr(pos));
    return out;
}

// A formula of a control (the cell it sets, the cells it lists) for where the sheets land.
// One naming a sheet the package does not have gives nothing: the control loses the link
// rather than point at what sits there now. One naming a defined name is kept as written.
std::optional<std::string> restateControlFormula(std::string_view f, const Restater& r,
                                                 uint32_t& uncovered) {
    if (std::optional<std::string> restated = restateFormula(f, r.map, r.home)) return restated;
    bool quoted = false, sheet = false;
    for (char c : f) {
        if (c == '"') quoted = !quoted;
        sheet = sheet || (!quoted && c == '!');
    }
    if (!sheet) return std::string(f);
    ++uncovered;
    return std::nullopt;
}

// Restates formula attribute `name` of the tag, or takes it out.
void restateControlAttr(std::string& xml, Tag& t, std::string_view name, const Restater& r,
                        uint32_t& uncovered) {
    std::string_view tag = std::string_view(xml).substr(t.begin, t.end - t.begin);
    const auto [v, len] = xml::attrSpan(tag, name);
    if (v == std::string_view::npos) return;
    std::optional<std::string> f =
        restateControlFormula(xml::unescape(tag.substr(v, len)), r, uncovered);
    if (f) {
        setAttr(xml, t, name, *f);
        return;
    }
    // The attribute goes with the space before it: back from its value over the quote, the
    // '=' and the spaces around it, and its name.
    size_t from = v - 1;
    while (from > 0 && (tag[from - 1] == ' ' || tag[from - 1] == '=')) --from;
    from = t.begin + from - name.size() - 1;
    const size_t to = t.begin + v + len + 1;
    xml.erase(from, to - from);
    t.end -= to - from;
}

// Passes each extension of an extension list through `keep` (which may rewrite it): the list
// with the extensions kept, empty when none is; nothing when `xml` is not a list.
std::optional<std::string> filterExtensions(std::string_view xml,
                                            const std::function<bool(std::string&)>& keep) {
    Tag root;
    if (!nextTag(xml, 0, root) || root.empty) return std::nullopt;
    std::string out(xml.substr(0, root.end));
    size_t pos = root.end, extBegin = 0;
    int depth = 0;
    bool any = false;
    Tag t;
    while (nextTag(xml, pos, t)) {
        if (!t.closing) {
            if (depth == 0) extBegin = t.begin;
            if (!t.empty) ++depth;
        } else {
            --depth;
        }
        pos = t.end;
        if (depth != 0 || !(t.closing || t.empty)) continue;
        if (t.closing && t.local == "extLst") break;
        std::string ext(xml.substr(extBegin, t.end - extBegin));
        if (keep(ext)) {
            out += ext;
            any = true;
        }
    }
    if (!any) return std::string();
    out.append(xml.substr(t.begin));
    return out;
}

// An extension list without the references to the relationship ids `ids` (slicers and
// timelines left out), and without the extensions those leave empty; empty when none is left.
std::string withoutExtensionsNaming(std::string_view xml, const std::set<std::string>& ids) {
    std::optional<std::string> kept = filterExtensions(xml, [&](std::string& ext) {
        bool named = false, others = false;
        Tag e;
        size_t q = 0;
        while (nextTag(ext, q, e)) {
            const std::string_view tag = std::string_view(ext).substr(e.begin, e.end - e.begin);
            const size_t at = e.closing ? std::string_view::npos : tag.find(":id=\"");
            if (at != std::string_view::npos) {
                const size_t end = tag.find('"', at + 5);
                if (end != std::string_view::npos &&
                    ids.count(std::string(tag.substr(at + 5, end - at - 5)))) {
                    named = true;
                    ext.erase(e.begin, xml::elementEnd(ext, e).end - e.begin);
                    q = e.begin;
                    continue;
                }
                others = true;
            }
            q = e.end;
        }
        return !named || others;
    });
    return kept ? *kept : std::string(xml);
}

// A name without the number that made it unique where it was read ("Region 2" -> "Region",
// "Slicer_Region1" -> "Slicer_Region"; `spaced`: the number follows a space).
std::string withoutNumber(const std::string& name, bool spaced) {
    size_t end = name.size();
    while (end > 0 && name[end - 1] >= '0' && name[end - 1] <= '9') --end;
    if (spaced) {
        if (end == name.size() || end < 2 || name[end - 1] != ' ') return name;
        --end;
    }
    return end == 0 ? name : name.substr(0, end);
}

// A <Relationship> element for a link of part `from`: to `written` (where its part went in this
// package), or to its target outside the package.
void appendRelationship(std::string& out, const PartLink& l, std::string_view from,
                        std::string_view written) {
    out += "<Relationship Id=\"";
    xml::appendEscaped(out, l.id, true);
    out += "\" Type=\"";
    xml::appendEscaped(out, l.type, true);
    out += "\" Target=\"";
    if (l.part) {
        xml::appendEscaped(out, relativeTarget(from, written), true);
        out += "\"/>";
    } else {
        xml::appendEscaped(out, l.externalTarget, true);
        out += "\" TargetMode=\"External\"/>";
    }
}

bool isImage(const std::string& ct) {
    return ct.rfind("image/", 0) == 0;
}

// XML by its content type ("...+xml", "application/xml", legacy drawings).
bool isXmlType(std::string_view ct) {
    return (ct.size() >= 3 && ct.substr(ct.size() - 3) == "xml") ||
           ct.find("vmlDrawing") != std::string_view::npos;
}

}  // namespace

SheetLinkUse sheetLinkUse(std::string_view relType, std::string* droppedName) {
    const PartKind* k = kindOf(relType);
    if (!k) {
        if (droppedName) *droppedName = "其他对象";
        return SheetLinkUse::Dropped;
    }
    if (droppedName && k->dropped) *droppedName = k->dropped;
    return k->use;
}

std::string cacheName(std::string_view xml) {
    Tag t;
    size_t pos = 0;
    while (nextTag(xml, pos, t)) {
        if (!t.closing) return getAttr(xml, t, "name");
        pos = t.end;
    }
    return {};
}

std::string cacheKey(std::string_view name) {
    return lower(std::string(name));
}

std::vector<uint32_t> tableIds(const SheetParts& parts) {
    std::vector<uint32_t> out;
    for (const PartLink& l : parts.links) {
        if (!l.part || relKind(l.type) != "table") continue;
        Tag t;
        if (findStart(*l.part->data, "table", t))
            if (uint32_t id =
                    uint32_t(std::strtoul(getAttr(*l.part->data, t, "id").c_str(), nullptr, 10)))
                out.push_back(id);
    }
    return out;
}

std::shared_ptr<const PackagePart> PartGraphReader::read(const std::string& name,
                                                         std::string_view relType,
                                                         std::map<std::string, uint32_t>& dropped) {
    if (auto it = cache_.find(lower(name)); it != cache_.end()) return it->second;
    const PartKind* kind = kindOf(relType);
    if (kind && kind->use == SheetLinkUse::Dropped) {
        if (kind->dropped && *kind->dropped) ++dropped[kind->dropped];
        return nullptr;
    }
    if (depth_ > 16 || !zip_.has(name)) return nullptr;
    std::string type = types_(name);
    if (type.empty()) return nullptr;
    auto part = std::make_shared<PackagePart>();
    part->name = name;
    part->contentType = type;
    auto data = std::make_shared<std::string>();
    // A refusal of the limits is kept by the reader and refuses the workbook.
    if (!zip_.readKept(name, *data).ok()) return nullptr;
    if (isXmlType(type)) {
        if (type.find("vmlDrawing") != std::string::npos) *data = closeLineBreaks(*data);
        bool tooDeep = false;
        if (Status st = checkXml(*data, name, zip_.limits().maxXmlDepth, tooDeep); !st.ok()) {
            if (tooDeep)
                zip_.refuse(st);
            else
                malformed_.push_back(st.message());
            cache_[lower(name)] = nullptr;  // named once, however many links reach it
            return nullptr;
        }
    }
    part->data = std::move(data);
    cache_[lower(name)] = part;  // before its links: a cycle ends here
    ++depth_;
    for (const RelInfo& r : rels_(name))
        if (std::optional<PartLink> l = link(r, dropped)) part->links.push_back(std::move(*l));
    --depth_;
    return part;
}

std::optional<PartLink> PartGraphReader::link(const RelInfo& r,
                                              std::map<std::string, uint32_t>& dropped) {
    PartLink link;
    link.id = r.id;
    link.type = r.type;
    if (r.external) {
        link.externalTarget = r.target;
    } else {
        link.part = read(r.target, r.type, dropped);
        if (!link.part) return std::nullopt;
    }
    return link;
}

std::vector<std::string> rawElementIds(std::string_view xml,
                                       const std::set<std::string>& relPrefixes) {
    std::vector<std::string> ids;
    size_t pos = 0;
    while ((pos = xml.find(":id=\"", pos)) != std::string_view::npos) {
        size_t start = pos;
        while (start > 0 && xml[start - 1] != ' ' && xml[start - 1] != '\t' &&
               xml[start - 1] != '\n' && xml[start - 1] != '\r')
            --start;
        std::string prefix(xml.substr(start, pos - start));
        size_t vBegin = pos + 5, vEnd = xml.find('"', vBegin);
        if (vEnd == std::string_view::npos) break;
        if (relPrefixes.count(prefix)) ids.emplace_back(xml.substr(vBegin, vEnd - vBegin));
        pos = vEnd;
    }
    return ids;
}

namespace {

bool remapIds(std::string& xml, const std::set<std::string>& relPrefixes,
              const std::map<std::string, std::string>& ids) {
    size_t pos = 0;
    bool ok = true;
    while ((pos = xml.find(":id=\"", pos)) != std::string::npos) {
        size_t start = pos;
        while (start > 0 && xml[start - 1] != ' ' && xml[start - 1] != '\t' &&
               xml[start - 1] != '\n' && xml[start - 1] != '\r')
            --start;
        std::string prefix = xml.substr(start, pos - start);
        size_t vBegin = pos + 5, vEnd = xml.find('"', vBegin);
        if (vEnd == std::string::npos) return false;
        if (relPrefixes.count(prefix)) {
            auto it = ids.find(xml.substr(vBegin, vEnd - vBegin));
            if (it == ids.end()) {
                ok = false;
            } else {
                xml.replace(vBegin, vEnd - vBegin, it->second);
                vEnd = vBegin + it->second.size();
            }
        }
        pos = vEnd;
    }
    return ok;
}

}  // namespace

bool remapRawElement(RawSheetElement& e, const std::set<std::string>& relPrefixes,
                     const std::map<std::string, std::string>& ids,
                     std::map<std::string, uint32_t>& dropped) {
    if (e.element != "extLst") return remapIds(e.xml, relPrefixes, ids);
    // Each extension on its own: those naming parts left behind go.
    std::optional<std::string> kept = filterExtensions(e.xml, [&](std::string& ext) {
        if (remapIds(ext, relPrefixes, ids)) return true;
        ++dropped[ext.find("slicerList") != std::string::npos    ? "切片器"
                  : ext.find("timelineRef") != std::string::npos ? "日程表"
                                                                 : "其他扩展"];
        return false;
    });
    if (!kept || kept->empty()) return false;
    e.xml = std::move(*kept);
    return true;
}

const std::map<std::string, std::string>* PartGraphWriter::tableRenames(const Worksheet& ws) const {
    if (!ws.parts || !ws.parts->origin) return nullptr;
    auto it = tableRenames_.find(ws.parts->origin.get());
    return it == tableRenames_.end() ? nullptr : &it->second;
}

std::string relativeTarget(std::string_view from, std::string_view to) {
    size_t slash = from.rfind('/');
    std::string_view dir = slash == std::string_view::npos ? "" : from.substr(0, slash + 1);
    size_t common = 0;
    for (size_t i = 0; i < dir.size() && i < to.size() && dir[i] == to[i]; ++i)
        if (dir[i] == '/') common = i + 1;
    std::string out;
    for (size_t i = common; i < dir.size(); ++i)
        if (dir[i] == '/') out += "../";
    out += to.substr(common);
    return out;
}

PartGraphWriter::PartGraphWriter(const std::vector<const Worksheet*>& sheets,
                                 std::set<std::string> reservedNames,
                                 std::set<std::string> definedNames)
    : sheets_(sheets) {
    for (const std::string& n : reservedNames) used_.insert(lower(n));
    for (const std::string& n : definedNames) tableNames_.insert(lower(n));
    // Sheets of one origin find each other under the names they have here; the first copy
    // of a sheet answers for its name.
    for (size_t i = 0; i < sheets.size(); ++i) {
        const Worksheet* ws = sheets[i];
        if (!ws->parts || !ws->parts->origin) continue;
        auto& m = renames_[ws->parts->origin.get()];
        m.emplace(lower(ws->parts->originName), ws->name);
        firstLanding_.emplace(std::make_pair(ws->parts->origin.get(), lower(ws->parts->originName)),
                              i);
    }
    // Sheets without parts of their own still lend their names (a chart on one sheet plotting
    // another): those read from a workbook keep the name they were read under unless renamed.
}

std::string PartGraphWriter::freeName(const std::string& sourceName) {
    size_t slash = sourceName.rfind('/');
    std::string dir = slash == std::string::npos ? "xl/" : sourceName.substr(0, slash + 1);
    std::string file = sourceName.substr(slash == std::string::npos ? 0 : slash + 1);
    size_t dot = file.rfind('.');
    std::string ext = dot == std::string::npos ? "" : file.substr(dot);
    std::string stem = file.substr(0, dot == std::string::npos ? file.size() : dot);
    while (!stem.empty() && stem.back() >= '0' && stem.back() <= '9') stem.pop_back();
    if (stem.empty()) stem = "part";
    // Keep the names plain: parts of other writers may use any characters.
    for (char& c : dir)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '/' || c == '_' || c == '-'))
            c = '_';
    if (dir.rfind("xl/", 0) != 0) dir = "xl/" + dir;
    const std::string key = lower(dir + stem + ext);
    uint32_t& n = nextNumber_[key];
    while (true) {
        std::string name = dir + stem + std::to_string(++n) + ext;
        if (used_.insert(lower(name)).second) return name;
    }
}

std::string PartGraphWriter::emit(const PackagePart& p, size_t sheet, const Restater& renames) {
    const bool image = isImage(p.contentType);
    if (!image)
        if (auto it = written_.find({&p, sheet}); it != written_.end()) return it->second;
    std::pair<size_t, size_t> mediaKey{std::hash<std::string_view>{}(*p.data), p.data->size()};
    if (image && p.links.empty()) {
        for (size_t known : media_[mediaKey])
            if (*parts_[known].data == *p.data) return parts_[known].name;
    }
    const std::string name = freeName(p.name);
    if (!image) written_[{&p, sheet}] = name;

    // Its links first: a pivot table needs the number of its cache.
    std::string rels;
    uint32_t cacheId = 0;
    for (const PartLink& l : p.links) {
        std::string target;
        if (l.part) {
            target = emit(*l.part, sheet, renames);
            if (relKind(l.type) == "pivotCacheDefinition")
                for (auto& [id, n] : pivotCaches_)
                    if (n == target) cacheId = id;
        }
        appendRelationship(rels, l, name, target);
    }

    OutPart out;
    out.name = name;
    out.contentType = p.contentType;
    if (!rels.empty())
        out.rels =
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
            rels + "</Relationships>";

    // The kind decides what is restated: found by the content type, as the part may be
    // reached by several relationship types.
    const std::string& ct = p.contentType;
    auto endsWith = [&](std::string_view tail) {
        return ct.size() >= tail.size() &&
               ct.compare(ct.size() - tail.size(), tail.size(), tail) == 0;
    };
    Restate restate = Restate::None;
    if (endsWith("drawingml.chart+xml"))
        restate = Restate::Formulas;
    else if (endsWith("spreadsheetml.table+xml"))
        restate = Restate::Table;
    else if (endsWith("spreadsheetml.pivotTable+xml"))
        restate = Restate::PivotTable;
    else if (endsWith("spreadsheetml.pivotCacheDefinition+xml"))
        restate = Restate::PivotCache;
    else if (endsWith("ms-excel.controlproperties+xml"))
        restate = Restate::Control;
    else if (endsWith("ms-excel.slicer+xml") || endsWith("ms-excel.timeline+xml"))
        restate = Restate::Slicer;

    if (restate == Restate::None) {
        out.data = p.data;
    } else {
        std::string xml = *p.data;
        Tag t;
        switch (restate) {
            case Restate::Formulas:
                xml = restateFormulaElements(xml, renames, uncovered_);
                break;
            case Restate::Table:
                if (findStart(xml, "table", t)) {
                    const std::string id = std::to_string(nextTableId_++);
                    tableIds_[{current_, getAttr(xml, t, "id"), sheet}] = id;
                    setAttr(xml, t, "id", id);
                    std::string base = getAttr(xml, t, "displayName");
                    if (base.empty()) base = getAttr(xml, t, "name");
                    if (base.empty()) base = "Table";
                    std::string unique = base;
                    for (int n = 2; !tableNames_.insert(lower(unique)).second; ++n)
                        unique = base + "_" + std::to_string(n);
                    setAttr(xml, t, "name", unique);
                    setAttr(xml, t, "displayName", unique);
                    if (unique != base && current_) tableRenames_[current_][lower(base)] = unique;
                    // Its query is not carried: the table stays, as a plain one.
                    if (getAttr(xml, t, "tableType") == "queryTable") {
                        removeAttr(xml, "tableType");
                        removeAttr(xml, "queryTableFieldId");
                    }
                }
                break;
            case Restate::PivotTable:
                if (findStart(xml, "pivotTableDefinition", t) && cacheId)
                    setAttr(xml, t, "cacheId", std::to_string(cacheId));
                break;
            case Restate::PivotCache: {
                if (findStart(xml, "worksheetSource", t)) {
                    std::string sheetName = getAttr(xml, t, "sheet");
                    if (!sheetName.empty()) {
                        if (const SheetLanding* l = renames.map.sheet(sheetName))
                            setAttr(xml, t, "sheet", l->name);
                        else
                            ++uncovered_;
                    }
                }
                // The number slicers and timelines know the cache by, unique in the package.
                size_t pos = 0;
                while (nextTag(xml, pos, t)) {
                    if (!t.closing && t.local == "pivotCacheDefinition") {
                        const std::string old = getAttr(xml, t, "pivotCacheId");
                        if (!old.empty()) {
                            uint64_t id = std::strtoull(old.c_str(), nullptr, 10);
                            if (!id || !pivotCacheIdsUsed_.insert(id).second) {
                                id = pivotCacheIdsUsed_.empty() ? 1
                                                                : *pivotCacheIdsUsed_.rbegin() + 1;
                                pivotCacheIdsUsed_.insert(id);
                            }
                            pivotCacheIds_[{current_, old, sheet}] = std::to_string(id);
                            setAttr(xml, t, "pivotCacheId", std::to_string(id));
                        }
                    }
                    pos = t.end;
                }
                pivotCaches_.emplace_back(nextCacheId_++, name);
                break;
            }
            case Restate::Slicer:
                xml = restateSlicerPart(std::move(xml));
                break;
            case Restate::Control:
                if (findStart(xml, "formControlPr", t))
                    for (const char* a : {"fmlaLink", "fmlaRange", "fmlaTxbx", "fmlaGroup"})
                        restateControlAttr(xml, t, a, renames, uncovered_);
                break;
            case Restate::None:
                break;
        }
        out.data = std::make_shared<const std::string>(std::move(xml));
    }
    if (slicersChanged_ && endsWith("officedocument.drawing+xml"))
        out.data = std::make_shared<const std::string>(restateSlicerFrames(*out.data));
    if (shapeShift_ && endsWith("officedocument.drawing+xml"))  // compatibility shapes' ids
        out.data = std::make_shared<const std::string>(shiftShapeIds(*out.data, shapeShift_));
    if (ct.find("vmlDrawing") != std::string::npos)  // header pictures
        for (uint32_t b : idmapBlocks(*out.data)) shapeBlocks_.insert(b);
    if (image && p.links.empty()) media_[mediaKey].push_back(parts_.size());
    parts_.push_back(std::move(out));
    return name;
}

PartGraphWriter::SheetOut PartGraphWriter::sheet(size_t i, const std::string& sheetPart,
                                                 const std::string& legacyPart) {
    SheetOut out;
    const Worksheet& ws = *sheets_[i];
    if (!ws.parts) return out;
    const SheetParts& sp = *ws.parts;
    const std::map<std::string, std::string>* originNames =
        sp.origin ? &renames_[sp.origin.get()] : nullptr;
    // Parts reached from two sheets (a pivot cache) are written once, unless this sheet is a
    // second copy of its source sheet, whose references to itself lead elsewhere.
    size_t key = i;
    if (originNames) {
        auto self = originNames->find(lower(sp.originName));
        if (self != originNames->end() && self->second == ws.name) key = SIZE_MAX;
    }
    current_ = sp.origin.get();
    // Where the sheets of its workbook went, for what the sheet's parts and elements name: made
    // when something asks, since most sheets carry nothing that names a sheet (a workbook of
    // thousands of sheets made the map for each of them).
    Restater renames;
    bool renamesMade = false;
    auto restater = [&]() -> Restater& {
        if (renamesMade) return renames;
        renamesMade = true;
        std::map<std::string, std::string> names;
        if (originNames) names = *originNames;
        names[lower(sp.originName)] = ws.name;
        renames.home = sp.originName;
        for (const auto& [source, target] : names) {
            SheetLanding landing;
            landing.name = target;  // whole: every cell keeps its place
            renames.map.addSheet(source, std::move(landing));
        }
        return renames;
    };

    std::set<const PackagePart*> noSlicers;
    planSlicers(i, key, noSlicers);

    // The shapes of controls keep their ids unless an earlier drawing of the package claims
    // their blocks: then they move, with the ids the sheet and its drawing name them by.
    shapeShift_ = 0;
    if (!sp.legacyShapes.empty()) {
        std::set<uint32_t> blocks;
        for (uint32_t id : legacyShapeIds(sp.legacyShapes)) blocks.insert(id / 1024);
        bool clash = false;
        for (uint32_t b : blocks) clash = clash || shapeBlocks_.count(b);
        if (clash && !blocks.empty())
            shapeShift_ = (int64_t(*shapeBlocks_.rbegin()) + 1 - int64_t(*blocks.begin())) * 1024;
        for (uint32_t b : blocks) shapeBlocks_.insert(uint32_t(b + shapeShift_ / 1024));
    }

    bool threaded = false;
    std::set<std::string> leftOut;  // ids of slicer parts with no slicer left
    for (const PartLink& l : sp.links) {
        if (l.part && noSlicers.count(l.part.get())) {
            leftOut.insert(l.id);
            continue;
        }
        appendRelationship(out.rels, l, sheetPart,
                           l.part ? emit(*l.part, key, restater()) : std::string());
        threaded = threaded || (l.part && relKind(l.type) == "threadedComment");
    }
    if (threaded && sp.origin &&
        std::find(personOrigins_.begin(), personOrigins_.end(), sp.origin.get()) ==
            personOrigins_.end()) {
        personOrigins_.push_back(sp.origin.get());
        // The people of every origin, each once (they are named by id).
        std::string people;
        std::set<std::string> ids;
        std::string head;
        for (const PartOrigin* o : personOrigins_) {
            std::string_view xml = o->personsXml;
            Tag t;
            size_t pos = 0;
            while (nextTag(xml, pos, t)) {
                if (!t.closing && t.local == "personList" && head.empty())
                    head = std::string(xml.substr(0, t.end));
                if (!t.closing && t.local == "person") {
                    size_t end = t.end;
                    if (!t.empty) {
                        Tag c;
                        size_t q = t.end;
                        while (nextTag(xml, q, c) && !(c.closing && c.local == "person")) q = c.end;
                        end = c.end;
                    }
                    std::string id = getAttr(xml, t, "id");
                    if (ids.insert(id).second) people.append(xml.substr(t.begin, end - t.begin));
                    pos = end;
                    continue;
                }
                pos = t.end;
            }
        }
        if (!head.empty() && head.back() == '>' && head[head.size() - 2] == '/') {
            head.erase(head.size() - 2, 1);
        }
        persons_ = head.empty() ? std::string() : head + people + "</personList>";
        if (!persons_.empty() && persons_.rfind("<?xml", 0) != 0)
            persons_ = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n" + persons_;
    }

    out.namespaces = sp.namespaces;
    for (const RawSheetElement& e : sp.elements) {
        RawSheetElement r = e;
        if (e.element == "extLst") {
            r.xml = restateFormulaElements(e.xml, restater(), uncovered_);
            if (!leftOut.empty()) {
                r.xml = withoutExtensionsNaming(r.xml, leftOut);
                if (r.xml.empty()) continue;
            }
        }
        if (shapeShift_ && (e.element == "controls" || e.element == "oleObjects"))
            r.xml = shiftShapeIds(r.xml, shapeShift_);
        if (e.element == "controls") {
            // An ActiveX control's linked cell and list.
            Tag t;
            size_t pos = 0;
            while (nextTag(r.xml, pos, t)) {
                if (!t.closing && t.local == "controlPr")
                    for (const char* a : {"linkedCell", "listFillRange"})
                        restateControlAttr(r.xml, t, a, restater(), uncovered_);
                pos = t.end;
            }
        }
        out.elements.push_back(std::move(r));
    }
    if (!sp.legacyShapes.empty()) {
        out.legacyShapes = restateLegacyFormulas(sp.legacyShapes, [&](std::string_view f) {
            return restateControlFormula(f, restater(), uncovered_);
        });
        if (shapeShift_) out.legacyShapes = shiftShapeIds(out.legacyShapes, shapeShift_);
        out.legacyNamespaces = sp.legacyNamespaces;
        for (const PartLink& l : sp.legacyLinks)
            appendRelationship(out.legacyRels, l, legacyPart,
                               l.part ? emit(*l.part, key, restater()) : std::string());
    }
    if (!sp.autoFilterXml.empty() && ws.autoFilter && ws.autoFilter->toA1() == sp.autoFilterRef) {
        out.autoFilter = sp.autoFilterXml;
        out.sortState = sp.sortStateXml;
    } else if (!ws.autoFilter) {
        out.sortState = sp.sortStateXml;
    }
    out.chartsheet = sp.chartsheetXml;
    shapeShift_ = 0;
    slicerRenames_.clear();
    slicersChanged_ = false;
    return out;
}

size_t PartGraphWriter::landing(const PartOrigin* origin, std::string_view sourceName) const {
    auto it = firstLanding_.find({origin, lower(std::string(sourceName))});
    return it == firstLanding_.end() ? std::string::npos : it->second;
}

const PartGraphWriter::CachePlan* PartGraphWriter::planCache(const SheetParts& sp,
                                                             std::string_view cache, size_t i,
                                                             size_t key) {
    const PartOrigin* origin = sp.origin.get();
    auto found = origin->slicerCaches.find(cacheKey(cache));
    if (found == origin->slicerCaches.end()) return nullptr;
    const PackagePart* part = found->second.get();
    if (auto it = cacheIndex_.find({part, key}); it != cacheIndex_.end())
        return &cachePlans_[it->second];
    // It stays when something it filters is here: a pivot table on a sheet of the package, or
    // the table it reads.
    const std::string_view xml = *part->data;
    bool filters = false;
    Tag t;
    size_t pos = 0;
    while (!filters && nextTag(xml, pos, t)) {
        pos = t.end;
        if (t.closing) continue;
        const std::map<uint32_t, std::string>* ids = nullptr;
        std::string id;
        if (t.local == "pivotTable") {
            ids = &origin->sheetIds;
            id = getAttr(xml, t, "tabId");
        } else if (t.local == "tableSlicerCache") {
            ids = &origin->tableSheets;
            id = getAttr(xml, t, "tableId");
        } else {
            continue;
        }
        auto sheet = ids->find(uint32_t(std::strtoul(id.c_str(), nullptr, 10)));
        filters = sheet != ids->end() && landing(origin, sheet->second) != std::string::npos;
    }
    if (!filters) return nullptr;
    // Its name is a defined name of the package: unique among names and tables.
    std::string name = cacheName(xml);
    if (!tableNames_.insert(lower(name)).second) {
        const std::string base = withoutNumber(name, false);
        for (uint32_t n = 1; !tableNames_.insert(lower(name = base + std::to_string(n))).second;)
            ++n;
    }
    cacheIndex_[{part, key}] = cachePlans_.size();
    cachePlans_.push_back({part, origin, key, i, sp.originName, name});
    return &cachePlans_.back();
}

void PartGraphWriter::planSlicers(size_t i, size_t key, std::set<const PackagePart*>& empty) {
    const SheetParts& sp = *sheets_[i]->parts;
    for (const PartLink& l : sp.links) {
        const std::string_view kind = relKind(l.type);
        if (!l.part || (kind != "slicer" && kind != "timeline")) continue;
        const std::string_view xml = *l.part->data;
        bool any = false;
        Tag t;
        size_t pos = 0;
        while (nextTag(xml, pos, t)) {
            pos = t.end;
            if (t.closing || (t.local != "slicer" && t.local != "timeline")) continue;
            const std::string name = getAttr(xml, t, "name"), cache = getAttr(xml, t, "cache");
            if (cache.empty()) continue;
            const CachePlan* plan = sp.origin ? planCache(sp, cache, i, key) : nullptr;
            if (!plan) {
                slicerRenames_[name] = {};
                slicersChanged_ = true;
                ++droppedSlicers_;
                continue;
            }
            std::string unique = name;
            if (!slicerNames_.insert(lower(unique)).second) {
                const std::string base = withoutNumber(name, true);
                for (uint32_t n = 1;
                     !slicerNames_.insert(lower(unique = base + " " + std::to_string(n))).second;)
                    ++n;
            }
            slicersChanged_ = slicersChanged_ || unique != name || plan->name != cache;
            slicerRenames_[name] = {unique, plan->name};
            any = true;
        }
        if (!any) empty.insert(l.part.get());
    }
}

std::string PartGraphWriter::restateSlicerPart(std::string xml) const {
    Tag t;
    size_t pos = 0;
    while (nextTag(xml, pos, t)) {
        if (!t.closing && (t.local == "slicer" || t.local == "timeline")) {
            auto it = slicerRenames_.find(getAttr(xml, t, "name"));
            if (it != slicerRenames_.end() && it->second.first.empty()) {
                const Tag end = xml::elementEnd(xml, t);
                xml.erase(t.begin, end.end - t.begin);
                pos = t.begin;
                continue;
            }
            if (it != slicerRenames_.end()) {
                setAttr(xml, t, "name", it->second.first);
                setAttr(xml, t, "cache", it->second.second);
            }
        }
        pos = t.end;
    }
    return xml;
}

std::string PartGraphWriter::restateSlicerFrames(std::string xml) const {
    const std::vector<DrawingAnchor> anchors = drawingAnchors(xml, true);
    for (size_t a = anchors.size(); a-- > 0;) {
        const DrawingAnchor& anchor = anchors[a];
        std::string part = xml.substr(anchor.begin, anchor.end - anchor.begin);
        bool drop = false, changed = false;
        Tag t;
        size_t pos = 0;
        while (nextTag(part, pos, t)) {
            if (!t.closing && (t.local == "slicer" || t.local == "timeslicer")) {
                auto it = slicerRenames_.find(getAttr(part, t, "name"));
                if (it != slicerRenames_.end()) {
                    if (it->second.first.empty()) {
                        drop = true;
                        break;
                    }
                    setAttr(part, t, "name", it->second.first);
                    changed = true;
                }
            }
            pos = t.end;
        }
        if (drop)
            xml.erase(anchor.begin, anchor.end - anchor.begin);
        else if (changed)
            xml.replace(anchor.begin, anchor.end - anchor.begin, part);
    }
    return xml;
}

void PartGraphWriter::finish() {
    for (const CachePlan& c : cachePlans_) {
        std::string xml = *c.part->data;
        const PartOrigin* o = c.origin;
        // An id as this package has it: that of the same copy, else that of the first.
        auto idHere = [&](const auto& ids, const std::string& old) -> const std::string* {
            for (size_t key : {c.key, size_t(SIZE_MAX)})
                if (auto it = ids.find({o, old, key}); it != ids.end()) return &it->second;
            return nullptr;
        };
        CacheOut out;
        bool root = true, tables = false;
        Tag t;
        size_t pos = 0;
        while (nextTag(xml, pos, t)) {
            if (t.closing) {
                pos = t.end;
                continue;
            }
            if (root) {
                root = false;
                if (t.local == "timelineCacheDefinition") out.kind = CacheOut::Timeline;
                setAttr(xml, t, "name", c.name);
            } else if (t.local == "pivotTable") {
                // The sheet it is on: this copy's when it is the slicer's own sheet.
                size_t at = std::string::npos;
                auto sheet = o->sheetIds.find(
                    uint32_t(std::strtoul(getAttr(xml, t, "tabId").c_str(), nullptr, 10)));
                if (sheet != o->sheetIds.end())
                    at = c.key != SIZE_MAX && lower(sheet->second) == lower(c.home)
                             ? c.sheet
                             : landing(o, sheet->second);
                if (at == std::string::npos) {
                    xml.erase(t.begin, xml::elementEnd(xml, t).end - t.begin);
                    pos = t.begin;
                    continue;
                }
                setAttr(xml, t, "tabId", std::to_string(at + 1));
                tables = true;
            } else if (t.local == "tableSlicerCache") {
                out.kind = CacheOut::TableSlicer;
                if (const std::string* id = idHere(tableIds_, getAttr(xml, t, "tableId")))
                    setAttr(xml, t, "tableId", *id);
            }
            if (const std::string old = getAttr(xml, t, "pivotCacheId"); !old.empty())
                if (const std::string* id = idHere(pivotCacheIds_, old))
                    setAttr(xml, t, "pivotCacheId", *id);
            pos = t.end;
        }
        // A list of pivot tables that lost them all goes (it may not be empty).
        if (!tables && findStart(xml, "pivotTables", t))
            xml.erase(t.begin, xml::elementEnd(xml, t).end - t.begin);
        out.name = c.name;
        out.part = freeName(c.part->name);
        parts_.push_back({out.part,
                          c.part->contentType,
                          std::make_shared<const std::string>(std::move(xml)),
                          {}});
        cachesOut_.push_back(std::move(out));
    }
}

}  // namespace ss::xlsx

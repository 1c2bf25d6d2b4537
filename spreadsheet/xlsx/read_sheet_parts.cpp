// What hangs off a sheet beside its cells: the parts its kept elements name, its legacy drawing's
// other shapes, chart sheets' parts, and notes with their boxes.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "../carry/legacy_shapes.h"
#include "read_internal.h"

namespace ss::xlsx::detail {

namespace {

// Adds the prefixes an element's own declarations give the relationships namespace.
void addRelPrefixesDeclaredIn(std::string_view xml, std::set<std::string>& into) {
    constexpr std::string_view kUris[] = {
        "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
        "http://purl.oclc.org/ooxml/officeDocument/relationships"};
    for (size_t at = xml.find("xmlns:"); at != std::string_view::npos;
         at = xml.find("xmlns:", at + 6)) {
        const size_t eq = xml.find('=', at);
        if (eq == std::string_view::npos || eq + 1 >= xml.size()) break;
        const char quote = xml[eq + 1];
        const size_t end = xml.find(quote, eq + 2);
        if ((quote != '"' && quote != '\'') || end == std::string_view::npos) continue;
        const std::string_view uri = xml.substr(eq + 2, end - eq - 2);
        for (std::string_view u : kUris)
            if (uri == u) into.emplace(xml.substr(at + 6, eq - at - 6));
    }
}

// A sheet's comments part: the authors, and per comment its cell and its text as kept.
class CommentsHandler : public SaxHandler {
public:
    std::vector<CellNote> notes;

    void start(std::string_view name, const char** atts) override {
        if (capture_.active()) {
            capture_.start(name, atts);
        } else if (name == "author") {
            inAuthor_ = true;
            authors_.emplace_back();
        } else if (name == "comment") {
            note_ = CellNote{};
            authorId_ = parseU32(attr(atts, "authorId"), UINT32_MAX);
            const char* ref = attr(atts, "ref");
            valid_ = ref && parseCellRef(ref, note_.row, note_.col);
        } else if (name == "text" && valid_) {
            capture_.begin(name, atts);
        }
    }
    void end(std::string_view name) override {
        if (capture_.active()) {
            if (capture_.end(name)) note_.textXml = capture_.take();
        } else if (name == "author") {
            inAuthor_ = false;
        } else if (name == "comment" && valid_) {
            if (authorId_ < authors_.size()) note_.author = authors_[authorId_];
            if (!note_.textXml.empty()) notes.push_back(std::move(note_));
            valid_ = false;
        }
    }
    void text(const char* s, int n) override {
        if (capture_.active())
            capture_.text(s, n);
        else if (inAuthor_)
            authors_.back().append(s, size_t(n));
    }

private:
    std::vector<std::string> authors_;
    CellNote note_;
    uint32_t authorId_ = UINT32_MAX;
    bool inAuthor_ = false, valid_ = false;
    Capture capture_;
};

// The boxes of notes (legacy drawing markup): which cells' notes are shown all the time.
class NoteBoxesHandler : public SaxHandler {
public:
    std::set<uint64_t> shown;
    void start(std::string_view name, const char** atts) override {
        if (name == "ClientData") {
            const char* type = attr(atts, "ObjectType");
            inNote_ = type && std::strcmp(type, "Note") == 0;
            visible_ = false;
            row_ = col_ = -1;
        } else if (inNote_ && (name == "Row" || name == "Column" || name == "Visible")) {
            field_ = std::string(name);
            text_.clear();
            if (name == "Visible") visible_ = true;
        }
    }
    void end(std::string_view name) override {
        if (name == "ClientData" && inNote_) {
            if (visible_ && row_ >= 0 && col_ >= 0)
                shown.insert(Worksheet::key(uint32_t(row_ + 1), uint32_t(col_ + 1)));
            inNote_ = false;
        } else if (inNote_ && name == field_) {
            if (name == "Row") row_ = parseInt(text_.c_str(), -1);
            if (name == "Column") col_ = parseInt(text_.c_str(), -1);
            field_.clear();
        }
    }
    void text(const char* s, int n) override {
        if (!field_.empty()) text_.append(s, size_t(n));
    }

private:
    bool inNote_ = false, visible_ = false;
    int64_t row_ = -1, col_ = -1;
    std::string field_, text_;
};

// The shapes of a sheet's legacy drawing that are not notes' boxes, with the parts they name.
void keepLegacyShapes(ZipReader& zip, xlsx::PartGraphReader& graph, const std::string& part,
                      SheetParts& parts) {
    std::string vml;
    if (!zip.has(part) || !zip.readKept(part, vml).ok()) return;
    LegacyShapes kept = otherLegacyShapes(closeLineBreaks(vml));
    if (kept.xml.empty()) return;
    // They are written as they are: shapes that do not parse would make the output unreadable.
    bool tooDeep = false;
    const std::string wrapped =
        "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" "
        "xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
        "xmlns:x=\"urn:schemas-microsoft-com:office:excel\"" +
        kept.namespaces + ">" + kept.xml + "</xml>";
    if (Status st = checkXml(wrapped, part, zip.limits().maxXmlDepth, tooDeep); !st.ok()) {
        if (tooDeep)
            zip.refuse(st);
        else
            graph.noteMalformed(st.message());
        return;
    }
    if (!kept.relIds.empty())
        if (auto rels = readRels(zip, part); rels.ok())
            for (const Relationship& r : rels.value()) {
                if (!kept.relIds.count(r.id)) continue;
                if (auto link = graph.link({r.id, r.type, r.target, r.external}, parts.dropped))
                    parts.legacyLinks.push_back(std::move(*link));
            }
    parts.legacyShapes = std::move(kept.xml);
    parts.legacyNamespaces = std::move(kept.namespaces);
}

}  // namespace

void attachParts(ZipReader& zip, xlsx::PartGraphReader& graph,
                 const std::shared_ptr<PartOrigin>& origin, const std::vector<Relationship>& rels,
                 SheetKept& kept, Worksheet& ws) {
    auto parts = std::make_shared<SheetParts>();
    parts->origin = origin;
    parts->originName = ws.name;
    parts->dropped = std::move(kept.dropped);
    if (kept.strictNamespace) {
        ws.parts = std::move(parts);
        return;
    }
    // Some writers declare the relationships namespace on the element that names a part
    // (<tablePart xmlns:r="..." r:id="rId1"/>) rather than on the sheet's root.
    for (const RawSheetElement& e : kept.elements)
        addRelPrefixesDeclaredIn(e.xml, kept.relPrefixes);
    std::set<std::string> named;
    for (const RawSheetElement& e : kept.elements)
        for (std::string& id : xlsx::rawElementIds(e.xml, kept.relPrefixes)) named.insert(id);
    std::map<std::string, std::string> ids;  // source id -> id written
    for (const Relationship& r : rels) {
        std::string droppedName;
        xlsx::SheetLinkUse use = xlsx::sheetLinkUse(r.type, &droppedName);
        const bool isNamed = named.count(r.id) > 0;
        if (use == xlsx::SheetLinkUse::Model) continue;
        if (use == xlsx::SheetLinkUse::Dropped) {
            // What names it counts it when it goes.
            if (!isNamed && !droppedName.empty()) ++parts->dropped[droppedName];
            continue;
        }
        if (r.id == kept.legacyDrawingId) {
            // The notes' boxes are written anew; the other shapes are kept.
            if (!r.external) keepLegacyShapes(zip, graph, r.target, *parts);
            continue;
        }
        if (use == xlsx::SheetLinkUse::Carry && !isNamed) continue;
        std::optional<PartLink> link =
            graph.link({r.id, r.type, r.target, r.external}, parts->dropped);
        if (!link) continue;
        link->id = "rIdP" + std::to_string(parts->links.size() + 1);
        ids[r.id] = link->id;
        parts->links.push_back(std::move(*link));
    }
    for (RawSheetElement& e : kept.elements) {
        if (xlsx::remapRawElement(e, kept.relPrefixes, ids, parts->dropped)) {
            parts->elements.push_back(std::move(e));
        } else if (e.element == "controls" || e.element == "oleObjects") {
            const char* kind = e.element == "controls" ? "表单控件" : "嵌入对象";
            parts->dropped[kind] += std::max<uint32_t>(1, objectCount(e.xml));
        } else if (e.element != "extLst") {
            ++parts->dropped[e.element == "tableParts" ? "表格"
                             : e.element == "drawing"  ? "图形"
                                                       : "页眉页脚或背景图片"];
        }
    }
    parts->namespaces = std::move(kept.namespaces);
    parts->autoFilterXml = std::move(kept.autoFilterXml);
    parts->autoFilterRef = std::move(kept.autoFilterRef);
    parts->sortStateXml = std::move(kept.sortStateXml);
    ws.parts = std::move(parts);
}

void readChartsheet(ZipReader& zip, xlsx::PartGraphReader& graph,
                    const std::shared_ptr<PartOrigin>& origin, const std::string& part,
                    Worksheet& ws) {
    auto parts = std::make_shared<SheetParts>();
    parts->origin = origin;
    parts->originName = ws.name;
    if (zip.has(part) && zip.readKept(part, parts->chartsheetXml).ok() &&
        parts->chartsheetXml.find("http://purl.oclc.org/ooxml/") == std::string::npos) {
        if (auto rels = readRels(zip, part); rels.ok())
            for (const Relationship& r : rels.value()) {
                if (auto link = graph.link({r.id, r.type, r.target, r.external}, parts->dropped)) {
                    parts->links.push_back(std::move(*link));
                } else {
                    // Its printer settings and the like: the reference goes with them.
                    std::string ref = " r:id=\"" + r.id + "\"";
                    for (size_t at; (at = parts->chartsheetXml.find(ref)) != std::string::npos;)
                        parts->chartsheetXml.erase(at, ref.size());
                }
            }
    } else {
        parts->chartsheetXml.clear();
        ++parts->dropped["图表工作表"];
    }
    ws.parts = std::move(parts);
}

void readNotes(ZipReader& zip, const std::string& commentsPart,
               const std::vector<Relationship>& sheetRels, const std::string& legacyDrawingId,
               Worksheet& ws) {
    CommentsHandler c;
    if (xlsx::parsePart(zip, commentsPart, c).ok()) {
        std::set<uint64_t> seen;  // one note per cell: the first
        for (CellNote& n : c.notes)
            if (seen.insert(Worksheet::key(n.row, n.col)).second) ws.notes.push_back(std::move(n));
    }
    // Which of them are shown all the time: their boxes say so.
    for (const Relationship& r : sheetRels)
        if (r.id == legacyDrawingId && !r.external && zip.has(r.target)) {
            NoteBoxesHandler boxes;
            if (xlsx::parsePart(zip, r.target, boxes).ok())
                for (CellNote& n : ws.notes)
                    n.visible = boxes.shown.count(Worksheet::key(n.row, n.col)) > 0;
        }
}

}  // namespace ss::xlsx::detail

// What a sheet carries, counted by kind in the words of the job texts.
#include "describe_parts.h"

#include <cstdlib>
#include <set>
#include <string_view>
#include <vector>

#include "drawing_copy.h"
#include "legacy_shapes.h"

namespace ss {

namespace {

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

std::map<std::string, uint32_t> describeParts(const SheetParts& parts) {
    std::map<std::string, uint32_t> out;
    std::set<const PackagePart*> seen;
    std::vector<const PackagePart*> todo;
    // Controls and embedded objects are counted by their elements, not by the parts they
    // name (their properties, binaries and preview pictures).
    std::set<std::string> objectIds;
    // Shapes of the legacy drawing no element names are controls of the older format (buttons).
    std::set<uint32_t> shapes = legacyShapeIds(parts.legacyShapes);
    for (const RawSheetElement& e : parts.elements) {
        if (e.element != "controls" && e.element != "oleObjects") continue;
        constexpr std::string_view kShape = " shapeId=\"";
        for (size_t at = e.xml.find(kShape); at != std::string::npos;
             at = e.xml.find(kShape, at + 1))
            shapes.erase(uint32_t(std::strtoul(e.xml.c_str() + at + kShape.size(), nullptr, 10)));
        if (uint32_t n = objectCount(e.xml))
            out[e.element == "controls" ? "表单控件" : "嵌入对象"] += n;
        for (size_t at = e.xml.find(":id=\""); at != std::string::npos;
             at = e.xml.find(":id=\"", at + 1)) {
            const size_t v = at + 5, end = e.xml.find('"', v);
            if (end != std::string::npos) objectIds.insert(e.xml.substr(v, end - v));
        }
    }
    if (!shapes.empty()) out["表单控件"] += uint32_t(shapes.size());
    for (const PartLink& l : parts.links)
        if (l.part && !objectIds.count(l.id)) todo.push_back(l.part.get());
    while (!todo.empty()) {
        const PackagePart* p = todo.back();
        todo.pop_back();
        if (!seen.insert(p).second) continue;
        const std::string& ct = p->contentType;
        if (endsWith(ct, "officedocument.drawing+xml")) {
            // Counted by anchor (what range copies carry); its pictures and charts go with them.
            for (const DrawingAnchor& a : drawingAnchors(*p->data)) ++out[anchorKindName(a.kind)];
            continue;
        }
        if (ct.rfind("image/", 0) == 0)
            ++out["图片"];
        else if (endsWith(ct, "drawingml.chart+xml"))
            ++out["图表"];
        else if (endsWith(ct, "spreadsheetml.table+xml"))
            ++out["表格"];
        else if (endsWith(ct, "spreadsheetml.pivotTable+xml"))
            ++out["数据透视表"];
        else if (endsWith(ct, "threadedcomments+xml"))
            ++out["批注会话"];
        for (const PartLink& l : p->links)
            if (l.part) todo.push_back(l.part.get());
    }
    for (const RawSheetElement& e : parts.elements)
        if (e.element == "extLst")
            if (uint32_t n = extensionItems(e.xml)) out["扩展规则与迷你图"] += n;
    if (!parts.chartsheetXml.empty()) ++out["图表工作表"];
    return out;
}

}  // namespace ss

#include "parts.h"

#include "drawing_copy.h"

#include <set>

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
    for (const PartLink& l : parts.links)
        if (l.part) todo.push_back(l.part.get());
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
        if (e.element == "extLst") ++out["扩展规则与迷你图"];
    if (!parts.chartsheetXml.empty()) ++out["图表工作表"];
    return out;
}

std::vector<std::string> tableNames(const SheetParts& parts) {
    std::vector<std::string> out;
    for (const PartLink& l : parts.links) {
        if (!l.part || !endsWith(l.part->contentType, "spreadsheetml.table+xml")) continue;
        const std::string& xml = *l.part->data;
        size_t at = xml.find(" displayName=\"");
        if (at == std::string::npos) continue;
        size_t start = at + 14, end = xml.find('"', start);
        if (end != std::string::npos) out.push_back(xml.substr(start, end - start));
    }
    return out;
}

}  // namespace ss

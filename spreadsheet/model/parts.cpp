#include "parts.h"

#include <set>

namespace ss {

namespace {

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

uint32_t extensionItems(std::string_view extLst) {
    uint32_t n = 0;
    for (size_t at = extLst.find('<'); at != std::string_view::npos;
         at = extLst.find('<', at + 1)) {
        const size_t end = extLst.find_first_of(" />", at + 1);
        if (end == std::string_view::npos) break;
        std::string_view name = extLst.substr(at + 1, end - at - 1);
        if (const size_t colon = name.find(':'); colon != std::string_view::npos)
            name = name.substr(colon + 1);
        n += name == "conditionalFormatting" || name == "dataValidation" || name == "sparkline";
    }
    return n;
}

uint32_t objectCount(std::string_view element) {
    std::set<std::string_view> ids;
    constexpr std::string_view kAttr = " shapeId=\"";
    for (size_t at = element.find(kAttr); at != std::string_view::npos;
         at = element.find(kAttr, at + 1)) {
        const size_t v = at + kAttr.size(), end = element.find('"', v);
        if (end == std::string_view::npos) break;
        ids.insert(element.substr(v, end - v));
    }
    return uint32_t(ids.size());
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

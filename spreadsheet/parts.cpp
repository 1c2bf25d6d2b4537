#include "parts.h"

#include <set>

namespace ss {

namespace {

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

bool nameChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c >= 0x80;
}

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

std::string quotedSheetName(std::string_view name) {
    bool plain = !name.empty() && !(name[0] >= '0' && name[0] <= '9') && name[0] != '.';
    for (char c : name)
        plain = plain && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '_' || c == '.');
    // Letters then digits ("AB12") read as a cell; "R1C1"-like names as well.
    if (plain) {
        size_t i = 0;
        while (i < name.size() &&
               ((name[i] >= 'A' && name[i] <= 'Z') || (name[i] >= 'a' && name[i] <= 'z')))
            ++i;
        if (i > 0 && i < name.size() && name[i] >= '0' && name[i] <= '9') plain = false;
        std::string low = lowerAscii(name);
        if (low == "true" || low == "false" || low[0] == 'r' || low[0] == 'c') {
            bool rc = true;
            for (char c : low) rc = rc && (c == 'r' || c == 'c' || (c >= '0' && c <= '9'));
            if (rc) plain = false;
        }
    }
    if (plain) return std::string(name);
    std::string out = "'";
    for (char c : name) {
        if (c == '\'') out += '\'';
        out += c;
    }
    out += '\'';
    return out;
}

std::string restateSheetNames(std::string_view f, const std::map<std::string, std::string>& renames,
                              uint32_t* uncovered) {
    std::string out;
    out.reserve(f.size() + 16);
    size_t i = 0;
    auto emit = [&](std::string_view name, std::string_view original) {
        auto it = renames.find(lowerAscii(name));
        if (it == renames.end()) {
            if (uncovered) ++*uncovered;
            out += original;
        } else {
            out += quotedSheetName(it->second);
        }
    };
    while (i < f.size()) {
        char c = f[i];
        if (c == '"') {  // a string literal goes as it is
            size_t j = i + 1;
            while (j < f.size()) {
                if (f[j] == '"') {
                    if (j + 1 < f.size() && f[j + 1] == '"') {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            j = std::min(j + 1, f.size());
            out.append(f.substr(i, j - i));
            i = j;
        } else if (c == '\'') {
            std::string name;
            size_t j = i + 1;
            bool closed = false;
            while (j < f.size()) {
                if (f[j] == '\'') {
                    if (j + 1 < f.size() && f[j + 1] == '\'') {
                        name += '\'';
                        j += 2;
                        continue;
                    }
                    closed = true;
                    break;
                }
                name += f[j++];
            }
            if (closed && j + 1 < f.size() && f[j + 1] == '!' && name.find('[') == 0) {
                out.append(f.substr(i, j + 2 - i));  // another workbook: not ours to restate
                i = j + 2;
            } else if (closed && j + 1 < f.size() && f[j + 1] == '!') {
                emit(name, f.substr(i, j + 1 - i));
                out += '!';
                i = j + 2;
            } else {
                out.append(f.substr(i, j + 1 - i));
                i = j + 1;
            }
        } else if (nameChar(static_cast<unsigned char>(c)) &&
                   (i == 0 || !nameChar(static_cast<unsigned char>(f[i - 1])))) {
            size_t j = i;
            while (j < f.size() && nameChar(static_cast<unsigned char>(f[j]))) ++j;
            if (j < f.size() && f[j] == '!' && (i == 0 || f[i - 1] != ']')) {
                emit(f.substr(i, j - i), f.substr(i, j - i));
                out += '!';
                i = j + 1;
            } else {
                out.append(f.substr(i, j - i));
                i = j;
            }
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

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

}  // namespace ss

// Package structure: the relationships between parts (resolved to part names) and the content
// types of parts.
#include <cstring>

#include "read_internal.h"

namespace ss::xlsx::detail {

namespace {

std::string resolveTarget(std::string_view sourcePart, std::string_view target) {
    std::string base;
    if (!target.empty() && target[0] == '/') {
        target.remove_prefix(1);
    } else {
        size_t slash = sourcePart.rfind('/');
        if (slash != std::string_view::npos) base = std::string(sourcePart.substr(0, slash + 1));
    }
    std::string joined = base + std::string(target);
    std::vector<std::string> segs;
    size_t i = 0;
    while (i <= joined.size()) {
        size_t j = joined.find('/', i);
        if (j == std::string::npos) j = joined.size();
        std::string seg = joined.substr(i, j - i);
        if (seg == "..") {
            if (!segs.empty()) segs.pop_back();
        } else if (!seg.empty() && seg != ".") {
            segs.push_back(seg);
        }
        i = j + 1;
    }
    std::string out;
    for (auto& s : segs) {
        if (!out.empty()) out += '/';
        out += s;
    }
    return out;
}

std::string relsPartOf(std::string_view part) {
    size_t slash = part.rfind('/');
    if (slash == std::string_view::npos) return "_rels/" + std::string(part) + ".rels";
    return std::string(part.substr(0, slash + 1)) + "_rels/" + std::string(part.substr(slash + 1)) +
           ".rels";
}

class RelsHandler : public SaxHandler {
public:
    explicit RelsHandler(std::string source) : source_(std::move(source)) {}
    std::vector<Relationship> rels;
    bool sawRoot = false;
    void start(std::string_view name, const char** atts) override {
        if (name == "Relationships") sawRoot = true;
        if (name != "Relationship") return;
        Relationship r;
        const char* id = attr(atts, "Id");
        const char* type = attr(atts, "Type");
        const char* target = attr(atts, "Target");
        const char* mode = attr(atts, "TargetMode");
        if (!type || !target) return;
        r.id = id ? id : "";
        r.type = type;
        r.external = mode && std::strcmp(mode, "External") == 0;
        r.target = r.external ? std::string(target) : resolveTarget(source_, target);
        rels.push_back(std::move(r));
    }
    void end(std::string_view) override {}

private:
    std::string source_;
};

}  // namespace

Result<std::vector<Relationship>> readRels(ZipReader& zip, const std::string& source) {
    std::string part = source.empty() ? "_rels/.rels" : relsPartOf(source);
    if (!zip.has(part)) return std::vector<Relationship>{};
    RelsHandler h(source);
    Status st = xlsx::parsePart(zip, part, h);
    if (!st.ok()) return st.error();
    if (!h.sawRoot) return fail("部件 " + part + " 不是关系部件。");
    return std::move(h.rels);
}

void ContentTypesHandler::start(std::string_view name, const char** atts) {
    if (name == "Types") sawRoot = true;
    const char* ct = attr(atts, "ContentType");
    if (!ct) return;
    if (name == "Default") {
        if (const char* e = attr(atts, "Extension")) defaults[lower(e)] = ct;
    } else if (name == "Override") {
        if (const char* p = attr(atts, "PartName")) {
            std::string k = lower(p);
            if (!k.empty() && k[0] == '/') k.erase(0, 1);
            overrides[k] = ct;
        }
    }
}

std::string ContentTypesHandler::typeOf(const std::string& part) const {
    auto it = overrides.find(lower(part));
    if (it != overrides.end()) return it->second;
    size_t dot = part.rfind('.');
    if (dot != std::string::npos) {
        auto d = defaults.find(lower(part.substr(dot + 1)));
        if (d != defaults.end()) return d->second;
    }
    return {};
}

std::string ContentTypesHandler::lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return s;
}

}  // namespace ss::xlsx::detail

#include "legacy_shapes.h"

#include "../text/xml_text.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace ss {

namespace {

using xml::nextTag;
using xml::Tag;

struct Attr {
    std::string_view qname, value;  // the value as written (escaped)
    size_t valueAt = 0;             // its offset in the tag
};

// The attributes of a start tag, in order.
std::vector<Attr> attributes(std::string_view tag) {
    std::vector<Attr> out;
    size_t i = 1;
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (i < tag.size() && !space(tag[i]) && tag[i] != '>' && tag[i] != '/') ++i;
    while (i < tag.size()) {
        while (i < tag.size() && space(tag[i])) ++i;
        if (i >= tag.size() || tag[i] == '>' || tag[i] == '/') break;
        size_t nameBegin = i;
        while (i < tag.size() && tag[i] != '=' && !space(tag[i]) && tag[i] != '>') ++i;
        std::string_view qname = tag.substr(nameBegin, i - nameBegin);
        while (i < tag.size() && space(tag[i])) ++i;
        if (i >= tag.size() || tag[i] != '=') continue;
        ++i;
        while (i < tag.size() && space(tag[i])) ++i;
        if (i >= tag.size() || (tag[i] != '"' && tag[i] != '\'')) break;
        const char q = tag[i++];
        size_t end = tag.find(q, i);
        if (end == std::string_view::npos) break;
        out.push_back(Attr{qname, tag.substr(i, end - i), i});
        i = end + 1;
    }
    return out;
}

std::string_view localOf(std::string_view qname) {
    size_t colon = qname.find(':');
    return colon == std::string_view::npos ? qname : qname.substr(colon + 1);
}

std::string_view attrOf(std::string_view tag, std::string_view local) {
    for (const Attr& a : attributes(tag))
        if (localOf(a.qname) == local) return a.value;
    return {};
}

// The number of a shape id ("_x0000_s1025"); nothing for a name ("Check Box 1").
std::optional<uint32_t> shapeNumber(std::string_view v) {
    constexpr std::string_view kPrefix = "_x0000_s";
    if (v.substr(0, kPrefix.size()) != kPrefix || v.size() == kPrefix.size() ||
        v.size() > kPrefix.size() + 9)
        return std::nullopt;
    uint32_t n = 0;
    for (char c : v.substr(kPrefix.size())) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + uint32_t(c - '0');
    }
    return n;
}

bool isControlFormula(std::string_view local) {
    return local == "FmlaLink" || local == "FmlaRange" || local == "FmlaTxbx" ||
           local == "FmlaGroup" || local == "FmlaPict";
}

}  // namespace

LegacyShapes otherLegacyShapes(std::string_view vml) {
    LegacyShapes out;
    Tag root;
    if (!nextTag(vml, 0, root) || root.closing || root.empty) return out;
    for (const Attr& a : attributes(vml.substr(root.begin, root.end - root.begin))) {
        if (a.qname.substr(0, 6) != "xmlns:") continue;
        std::string_view prefix = a.qname.substr(6);
        if (prefix == "v" || prefix == "o" || prefix == "x") continue;  // the writer's own
        out.namespaces += ' ';
        out.namespaces += a.qname;
        out.namespaces += "=\"";
        out.namespaces += a.value;
        out.namespaces += '"';
    }

    struct Child {
        std::string_view local, xml;
    };
    std::vector<Child> types, kept;
    size_t pos = root.end, begin = 0;
    int depth = 0;
    bool note = false;
    std::string_view local;
    Tag t;
    while (nextTag(vml, pos, t)) {
        pos = t.end;
        if (depth == 0) {
            if (t.closing) break;  // the root's end
            begin = t.begin;
            local = t.local;
            note = false;
            if (!t.empty) {
                depth = 1;
                continue;
            }
        } else {
            if (!t.closing && t.local == "ClientData")
                note = attrOf(vml.substr(t.begin, t.end - t.begin), "ObjectType") == "Note";
            if (t.local == "br") continue;  // a line break of the markup's text: never closed
            if (t.closing)
                --depth;
            else if (!t.empty)
                ++depth;
            if (depth > 0) continue;
        }
        Child c{local, vml.substr(begin, t.end - begin)};
        if (local == "shapetype")
            types.push_back(c);
        else if (local != "shapelayout" && !note)
            kept.push_back(c);
    }
    if (kept.empty()) return out;

    // The types the kept shapes use, and the relationships they name.
    std::set<std::string, std::less<>> used;
    for (const Child& c : kept) {
        size_t p = 0;
        while (nextTag(c.xml, p, t)) {
            p = t.end;
            if (t.closing) continue;
            for (const Attr& a : attributes(c.xml.substr(t.begin, t.end - t.begin))) {
                std::string_view l = localOf(a.qname);
                if (a.qname == "type" && a.value.substr(0, 1) == "#")
                    used.emplace(a.value.substr(1));
                else if (l != a.qname && (l == "relid" || l == "id"))
                    out.relIds.insert(xml::unescape(a.value));
            }
        }
    }
    for (const Child& c : types) {
        Tag head;
        if (!nextTag(c.xml, 0, head)) continue;
        if (used.count(attrOf(c.xml.substr(head.begin, head.end - head.begin), "id")))
            out.xml += c.xml;
    }
    for (const Child& c : kept) out.xml += c.xml;
    return out;
}

std::string closeLineBreaks(std::string_view vml) {
    std::string out;
    size_t from = 0;
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    // "<br", in any case, then only spaces and ">"; "<br/>" and "<br></br>" stay as they are.
    for (size_t at = vml.find('<'); at != std::string_view::npos; at = vml.find('<', at + 1)) {
        if (at + 3 >= vml.size() || (vml[at + 1] | 0x20) != 'b' || (vml[at + 2] | 0x20) != 'r')
            continue;
        size_t i = at + 3;
        while (i < vml.size() && space(vml[i])) ++i;
        if (i >= vml.size() || vml[i] != '>') continue;
        const std::string_view after = vml.substr(i + 1, 5);
        if (after.size() == 5 && after[0] == '<' && after[1] == '/' && (after[2] | 0x20) == 'b' &&
            (after[3] | 0x20) == 'r' && after[4] == '>')
            continue;
        if (out.empty()) out.reserve(vml.size() + 64);
        out.append(vml.substr(from, at + 3 - from));
        out += "/>";
        from = i + 1;
    }
    if (from == 0) return std::string(vml);
    out.append(vml.substr(from));
    return out;
}

std::set<uint32_t> idmapBlocks(std::string_view vml) {
    std::set<uint32_t> blocks;
    size_t pos = 0;
    Tag t;
    while (nextTag(vml, pos, t)) {
        pos = t.end;
        if (t.closing || t.local != "idmap") continue;
        std::string_view data = attrOf(vml.substr(t.begin, t.end - t.begin), "data");
        uint32_t n = 0;
        bool digits = false;
        for (size_t i = 0; i <= data.size(); ++i) {
            if (i < data.size() && data[i] >= '0' && data[i] <= '9') {
                n = std::min<uint32_t>(n * 10 + uint32_t(data[i] - '0'), 1u << 20);
                digits = true;
            } else {
                if (digits) blocks.insert(n);
                n = 0;
                digits = false;
            }
        }
        break;
    }
    return blocks;
}

std::set<uint32_t> legacyShapeIds(std::string_view shapes) {
    std::set<uint32_t> ids;
    size_t pos = 0;
    Tag t;
    while (nextTag(shapes, pos, t)) {
        pos = t.end;
        if (t.closing || t.local == "shapetype") continue;
        for (const Attr& a : attributes(shapes.substr(t.begin, t.end - t.begin)))
            if (a.qname == "id" || localOf(a.qname) == "spid")
                if (auto n = shapeNumber(a.value)) ids.insert(*n);
    }
    return ids;
}

std::string restateLegacyFormulas(
    std::string_view shapes,
    const std::function<std::optional<std::string>(std::string_view)>& restate) {
    std::string out;
    out.reserve(shapes.size());
    size_t pos = 0;
    Tag t;
    while (nextTag(shapes, pos, t)) {
        if (t.closing || t.empty || !isControlFormula(t.local)) {
            out.append(shapes.substr(pos, t.end - pos));
            pos = t.end;
            continue;
        }
        const size_t text = t.end, close = shapes.find('<', text);
        Tag end;
        if (close == std::string_view::npos || !nextTag(shapes, close, end) || !end.closing) {
            out.append(shapes.substr(pos, t.end - pos));
            pos = t.end;
            continue;
        }
        std::optional<std::string> f = restate(xml::unescape(shapes.substr(text, close - text)));
        out.append(shapes.substr(pos, t.begin - pos));
        if (f) {
            out.append(shapes.substr(t.begin, t.end - t.begin));
            xml::appendEscaped(out, *f);
            out.append(shapes.substr(end.begin, end.end - end.begin));
        }
        pos = end.end;
    }
    out.append(shapes.substr(pos));
    return out;
}

std::string shiftShapeIds(std::string_view xml, int64_t by) {
    std::string out;
    out.reserve(xml.size());
    size_t pos = 0;
    Tag t;
    while (nextTag(xml, pos, t)) {
        out.append(xml.substr(pos, t.begin - pos));
        std::string_view tag = xml.substr(t.begin, t.end - t.begin);
        size_t copied = 0;
        if (!t.closing)
            for (const Attr& a : attributes(tag)) {
                std::string_view l = localOf(a.qname);
                std::optional<uint32_t> n;
                std::string_view prefix;
                if (a.qname == "id" || l == "spid") {
                    n = shapeNumber(a.value);
                    prefix = "_x0000_s";
                } else if (l == "shapeId") {
                    uint32_t v = 0;
                    auto [end, ec] =
                        std::from_chars(a.value.data(), a.value.data() + a.value.size(), v);
                    if (ec == std::errc() && end == a.value.data() + a.value.size()) n = v;
                }
                const int64_t moved = n ? int64_t(*n) + by : -1;
                if (!n || moved <= 0 || moved > int64_t(UINT32_MAX)) continue;
                out.append(tag.substr(copied, a.valueAt - copied));
                out += prefix;
                out += std::to_string(moved);
                copied = a.valueAt + a.value.size();
            }
        out.append(tag.substr(copied));
        pos = t.end;
    }
    out.append(xml.substr(pos));
    return out;
}

bool definesShapeType(std::string_view shapes, std::string_view id) {
    size_t pos = 0;
    Tag t;
    while (nextTag(shapes, pos, t)) {
        pos = t.end;
        if (!t.closing && t.local == "shapetype" &&
            attrOf(shapes.substr(t.begin, t.end - t.begin), "id") == id)
            return true;
    }
    return false;
}

}  // namespace ss

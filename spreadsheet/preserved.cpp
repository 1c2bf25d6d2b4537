#include "preserved.h"

#include <memory>

#include "formula.h"

namespace ss {

namespace {

// The kept elements are our own serialisation (see the .xlsx reader): elements with
// double-quoted, escaped attribute values and escaped text; nothing else. A small tree is
// enough to edit them.
struct Node {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attrs;  // values still escaped
    std::string text;                                        // escaped
    std::vector<std::unique_ptr<Node>> children;
};

// Deeper nesting than any of these elements has is not ours: left as it is (and no deep
// recursion on a crafted file).
constexpr int kMaxDepth = 16;

std::unique_ptr<Node> parse(std::string_view xml, size_t& at, int depth = 0) {
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

std::string unescape(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '&') {
            static const std::pair<std::string_view, char> kEntities[] = {
                {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
            bool done = false;
            for (const auto& [e, c] : kEntities)
                if (s.substr(i, e.size()) == e) {
                    out += c;
                    i += e.size() - 1;
                    done = true;
                    break;
                }
            if (done) continue;
        }
        out += s[i];
    }
    return out;
}

std::string escape(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

std::string* attrOf(Node& n, std::string_view name) {
    for (auto& [k, v] : n.attrs)
        if (k == name) return &v;
    return nullptr;
}

// The ranges of a list ("A1:B2 D5"); items that are not ranges are kept aside as text.
struct RangeList {
    std::vector<CellRange> ranges;
    std::vector<std::string> other;
};

RangeList parseList(std::string_view list) {
    RangeList out;
    size_t i = 0;
    while (i < list.size()) {
        size_t sp = list.find(' ', i);
        if (sp == std::string_view::npos) sp = list.size();
        const std::string_view item = list.substr(i, sp - i);
        i = sp + 1;
        if (item.empty()) continue;
        if (auto r = parseRange(item))
            out.ranges.push_back(*r);
        else
            out.other.emplace_back(item);
    }
    return out;
}

std::string listText(const RangeList& l) {
    std::string out;
    for (const CellRange& r : l.ranges) out += (out.empty() ? "" : " ") + r.toA1();
    for (const std::string& o : l.other) out += (out.empty() ? "" : " ") + o;
    return out;
}

// The top left corner of the ranges (what relative references in their formulas count from).
std::pair<uint32_t, uint32_t> topLeft(const std::vector<CellRange>& ranges) {
    uint32_t r = UINT32_MAX, c = UINT32_MAX;
    for (const CellRange& x : ranges) r = std::min(r, x.firstRow), c = std::min(c, x.firstCol);
    return {r, c};
}

struct Mover {
    const RowMove& move;

    // The list's ranges moved; false when none is left.
    bool moveList(std::string& value, int64_t* rebaseRows = nullptr) const {
        RangeList l = parseList(value);
        if (l.ranges.empty()) return !l.other.empty();
        const uint32_t oldTop = topLeft(l.ranges).first;
        std::vector<CellRange> moved;
        for (const CellRange& r : l.ranges)
            if (auto m = move.range(r)) moved.push_back(*m);
        if (moved.empty() && l.other.empty()) return false;
        if (rebaseRows && !moved.empty())
            *rebaseRows = int64_t(move.sourceRow(topLeft(moved).first)) - int64_t(oldTop);
        l.ranges = std::move(moved);
        value = listText(l);
        return true;
    }

    void moveFormulas(Node& n, int64_t rebaseRows) const {
        for (auto& c : n.children)
            if (c->name == "formula" || c->name == "formula1" || c->name == "formula2") {
                std::string f = unescape(c->text);
                if (rebaseRows) f = shiftFormula(f, rebaseRows, 0);
                c->text = escape(move.formula(f));
            }
    }

    // False when the element is to go.
    bool moveElement(Node& n) const {
        if (n.name == "conditionalFormatting" || n.name == "dataValidation" ||
            n.name == "protectedRange" || n.name == "ignoredError") {
            int64_t rebase = 0;
            std::string* sqref = attrOf(n, "sqref");
            if (sqref && !moveList(*sqref, &rebase)) return false;
            if (n.name == "conditionalFormatting")
                for (auto& rule : n.children) moveFormulas(*rule, rebase);
            else
                moveFormulas(n, rebase);
            return true;
        }
        if (n.name == "hyperlink") {
            std::string* ref = attrOf(n, "ref");
            return !ref || moveList(*ref);
        }
        if (n.name == "dataValidations" || n.name == "hyperlinks" || n.name == "protectedRanges" ||
            n.name == "ignoredErrors") {
            std::vector<std::unique_ptr<Node>> kept;
            for (auto& c : n.children)
                if (moveElement(*c)) kept.push_back(std::move(c));
            n.children = std::move(kept);
            if (std::string* count = attrOf(n, "count")) *count = std::to_string(n.children.size());
            return !n.children.empty();
        }
        return true;  // nothing in it names rows
    }
};

}  // namespace

void moveRowsInPreserved(std::vector<PreservedXml>& preserved, const RowMove& move) {
    const Mover mover{move};
    std::vector<PreservedXml> kept;
    for (PreservedXml& p : preserved) {
        size_t at = 0;
        auto root = parse(p.xml, at);
        if (!root || at != p.xml.size()) {  // not ours to edit: as it was
            kept.push_back(std::move(p));
            continue;
        }
        if (!mover.moveElement(*root)) continue;
        std::string xml;
        write(*root, xml);
        p.xml = std::move(xml);
        kept.push_back(std::move(p));
    }
    preserved = std::move(kept);
}

}  // namespace ss

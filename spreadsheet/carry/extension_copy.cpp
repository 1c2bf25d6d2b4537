// The 2010 extensions of a sheet (conditional formats such as data bars and icon sets, data
// validation, sparklines) in copies of blocks and in row moves.
#include "kept_xml.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include "../model/formula.h"
#include "../text/xml_text.h"

namespace ss {

using namespace kept;

namespace {

constexpr std::string_view kExtFormats = "{78C0D931-6437-407d-A8EE-F0AAD7539E65}";
constexpr std::string_view kExtValidations = "{CCE6A557-97BC-4b89-ADB6-D9C93CAAB3DF}";
constexpr std::string_view kExtSparklines = "{05C60535-1F16-4fd2-B633-F4F36F0B64E0}";

std::string_view localOf(std::string_view name) {
    const size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

Node* childNamed(Node& n, std::string_view local) {
    for (auto& c : n.children)
        if (localOf(c->name) == local) return c.get();
    return nullptr;
}

// Calls f on every formula (local name "f") under n.
template <class F>
void eachFormula(Node& n, F f) {
    for (auto& c : n.children) {
        if (localOf(c->name) == "f")
            f(*c);
        else
            eachFormula(*c, f);
    }
}

// Formulas of an extension rule or validation restated for a top left cell (dRow, dCol) away.
void restateExt(Node& n, int64_t dRow, int64_t dCol) {
    if (!dRow && !dCol) return;
    eachFormula(n, [&](Node& f) {
        f.text = xml::escaped(shiftFormula(xml::unescape(f.text), dRow, dCol));
    });
}

// The ranges of an element whose list is its child <xm:sqref>.
RangeList extRanges(Node& n) {
    Node* sq = childNamed(n, "sqref");
    return sq ? parseList(xml::unescape(sq->text)) : RangeList{};
}

void setExtRanges(Node& n, const RangeList& l) {
    if (Node* sq = childNamed(n, "sqref")) sq->text = xml::escaped(listText(l));
}

// Restates the texts of a copied extension element for a piece that moves by (dRow, dCol);
// false when the element is to go. A rule whose formula is refused goes from its format.
bool restateExtTexts(Node& n, int64_t dRow, int64_t dCol, const KeptRestater& restater) {
    auto one = [&](Node& f, KeptText kind) {
        auto r = restater(kind, xml::unescape(f.text), dRow, dCol);
        if (!r) return false;
        f.text = xml::escaped(*r);
        return true;
    };
    const std::string_view local = localOf(n.name);
    if (local == "conditionalFormatting") {
        std::vector<std::unique_ptr<Node>> kept;
        bool rules = false;
        for (auto& c : n.children) {
            if (localOf(c->name) != "cfRule") {
                kept.push_back(std::move(c));
                continue;
            }
            bool ok = true;
            eachFormula(*c, [&](Node& f) { ok = ok && one(f, KeptText::RuleFormula); });
            if (ok) {
                rules = true;
                kept.push_back(std::move(c));
            }
        }
        n.children = std::move(kept);
        return rules;
    }
    if (local == "dataValidation") {
        const std::string* type = attrOf(n, "type");
        const bool list = type && *type == "list";
        for (auto& c : n.children) {
            const std::string_view cl = localOf(c->name);
            if (cl != "formula1" && cl != "formula2") continue;
            const KeptText kind =
                list && cl == "formula1" ? KeptText::ValidationList : KeptText::ValidationFormula;
            bool ok = true;
            eachFormula(*c, [&](Node& f) { ok = ok && one(f, kind); });
            if (!ok) return false;
        }
        return true;
    }
    if (local == "sparkline") {
        bool ok = true;
        eachFormula(n, [&](Node& f) { ok = ok && one(f, KeptText::RuleFormula); });
        return ok;
    }
    return true;
}

// Copies of an extension element (ranges in its sqref child) for each run of the block.
std::vector<std::unique_ptr<Node>> extCopiesOf(const Node& n, const CopiedBlock& b,
                                               const KeptRestater& restater) {
    std::vector<std::unique_ptr<Node>> out;
    const RangeList l = extRanges(const_cast<Node&>(n));
    if (l.ranges.empty()) return out;
    const bool sparkline = localOf(n.name) == "sparkline";
    const auto oldTop = topLeft(l.ranges);
    for (const CopiedBlock::Run& run : b.runs) {
        const CopiedBlock::Run still{run.first, run.last, 0};
        std::vector<CellRange> inSource =
            landed(l.ranges, CopiedBlock{b.firstCol, b.lastCol, 0, {}}, still);
        if (inSource.empty()) continue;
        auto c = clone(n);
        if (!sparkline) {  // a sparkline's data does not move with the cell that shows it
            const auto pieceTop = topLeft(inSource);
            restateExt(*c, int64_t(pieceTop.first) - int64_t(oldTop.first),
                       int64_t(pieceTop.second) - int64_t(oldTop.second));
        }
        if (!restateExtTexts(*c, run.dRow, b.dCol, restater)) continue;
        setExtRanges(*c, {landed(inSource, b, run), {}});
        out.push_back(std::move(c));
    }
    return out;
}

// Takes `area` out of an extension element's ranges; false when nothing is left of them.
bool clearExtArea(Node& n, const CellRange& area) {
    RangeList l = extRanges(n);
    if (l.ranges.empty()) return true;
    if (std::none_of(l.ranges.begin(), l.ranges.end(),
                     [&](const CellRange& r) { return r.intersects(area); }))
        return true;
    if (localOf(n.name) == "sparkline") return false;  // its one cell is overwritten
    const auto oldTop = topLeft(l.ranges);
    std::vector<CellRange> rest;
    for (const CellRange& r : l.ranges)
        for (const CellRange& p : subtract(r, area)) rest.push_back(p);
    if (rest.empty()) return false;
    const auto newTop = topLeft(rest);
    restateExt(n, int64_t(newTop.first) - int64_t(oldTop.first),
               int64_t(newTop.second) - int64_t(oldTop.second));
    l.ranges = std::move(rest);
    setExtRanges(n, l);
    return true;
}

// Whether `c` continues `e` (the same rule or validation seen from e's top left cell); then
// e takes c's ranges.
bool extendExt(Node& e, const Node& c) {
    if (e.name != c.name || e.attrs != c.attrs) return false;
    RangeList el = extRanges(e);
    const RangeList cl = extRanges(const_cast<Node&>(c));
    if (el.ranges.empty() || cl.ranges.empty() || !el.other.empty()) return false;
    const auto et = topLeft(el.ranges), ct = topLeft(cl.ranges);
    if (ct.first < et.first || ct.second < et.second) return false;
    auto probe = clone(c);
    restateExt(*probe, int64_t(et.first) - int64_t(ct.first),
               int64_t(et.second) - int64_t(ct.second));
    setExtRanges(*probe, el);
    if (text(*probe) != text(e)) return false;
    for (const CellRange& r : cl.ranges) {
        CellRange& last = el.ranges.back();
        if (last.firstCol == r.firstCol && last.lastCol == r.lastCol &&
            last.lastRow + 1 == r.firstRow)
            last.lastRow = r.lastRow;
        else
            el.ranges.push_back(r);
    }
    setExtRanges(e, el);
    return true;
}

void setCount(Node& n) {
    if (std::string* count = attrOf(n, "count")) *count = std::to_string(n.children.size());
}

Node* extOf(Node& root, std::string_view uri) {
    for (auto& e : root.children)
        if (const std::string* u = attrOf(*e, "uri"); u && *u == uri) return e.get();
    return nullptr;
}

// Namespace declarations ("xmlns:p", value) of a root's text.
std::vector<std::pair<std::string, std::string>> declarations(std::string_view s) {
    std::vector<std::pair<std::string, std::string>> out;
    for (size_t at = s.find("xmlns:"); at != std::string_view::npos; at = s.find("xmlns:", at)) {
        const size_t eq = s.find("=\"", at), end = eq == std::string_view::npos
                                                       ? std::string_view::npos
                                                       : s.find('"', eq + 2);
        if (end == std::string_view::npos) break;
        out.emplace_back(std::string(s.substr(at, eq - at)),
                         std::string(s.substr(eq + 2, end - eq - 2)));
        at = end;
    }
    return out;
}

// Gives `to` the extension list `list` (none when null or empty), with `namespaces`.
void setExtensionList(Worksheet& to, const Node* list, const std::string& namespaces) {
    std::shared_ptr<SheetParts> parts;
    if (to.parts && to.parts.use_count() == 1)  // only this sheet holds it: edit in place
        parts = std::const_pointer_cast<SheetParts>(to.parts);
    else
        parts = to.parts ? std::make_shared<SheetParts>(*to.parts) : std::make_shared<SheetParts>();
    if (parts->originName.empty()) parts->originName = to.name;  // its formulas name it so
    // Declarations others added to the parts since stay; the list's own are added.
    for (const auto& [k, v] : declarations(namespaces))
        if (parts->namespaces.find(" " + k + "=\"") == std::string::npos)
            parts->namespaces += " " + k + "=\"" + v + "\"";
    auto at = std::find_if(parts->elements.begin(), parts->elements.end(),
                           [](const RawSheetElement& e) { return e.element == "extLst"; });
    if (!list || list->children.empty()) {
        if (at != parts->elements.end()) parts->elements.erase(at);
    } else if (at != parts->elements.end()) {
        at->xml = text(*list);
    } else {
        parts->elements.push_back({"extLst", text(*list)});
    }
    to.parts = std::move(parts);
}

}  // namespace

namespace kept {

// Moves what the sheet's extension list says about rows.
void moveExtensionRows(Worksheet& ws, const RowMove& move) {
    if (!ws.parts) return;
    const RawSheetElement* ext = nullptr;
    for (const RawSheetElement& e : ws.parts->elements)
        if (e.element == "extLst") ext = &e;
    if (!ext || extensionItems(ext->xml) == 0) return;
    auto root = parseWhole(ext->xml);
    if (!root) return;
    // An element keeps what is left of its ranges, its formulas moved with the rows; a
    // sparkline whose cell goes goes too.
    std::function<bool(Node&)> moveNode = [&](Node& n) {
        if (Node* sq = childNamed(n, "sqref")) {
            RangeList l = parseList(xml::unescape(sq->text));
            std::vector<CellRange> moved;
            for (const CellRange& r : l.ranges)
                if (auto m = move.range(r)) moved.push_back(*m);
            if (moved.empty() && l.other.empty()) return false;
            l.ranges = std::move(moved);
            sq->text = xml::escaped(listText(l));
            if (localOf(n.name) != "sparkline") {
                eachFormula(n, [&](Node& f) {
                    f.text = xml::escaped(move.formula(xml::unescape(f.text)));
                });
                return true;
            }
            // A sparkline's data names its sheet: it moves when that is this sheet.
            Node* f = childNamed(n, "f");
            if (!f) return true;
            const std::string data = xml::unescape(f->text);
            const size_t bang = data.rfind('!');
            if (bang == std::string::npos) return true;
            std::string sheet = data.substr(0, bang);
            if (sheet.size() >= 2 && sheet.front() == '\'' && sheet.back() == '\'') {
                sheet = sheet.substr(1, sheet.size() - 2);
                for (size_t q = sheet.find("''"); q != std::string::npos;
                     q = sheet.find("''", q + 1))
                    sheet.erase(q, 1);
            }
            if (sheet != ws.name) return true;
            auto area = parseRange(std::string_view(data).substr(bang + 1));
            if (!area) return true;
            auto to = move.range(*area);
            if (!to) return false;
            f->text = xml::escaped(data.substr(0, bang + 1) + to->toA1());
            return true;
        }
        std::erase_if(n.children, [&](std::unique_ptr<Node>& c) { return !moveNode(*c); });
        const std::string_view local = localOf(n.name);
        if (local == "sparklines" || local == "conditionalFormattings" ||
            local == "dataValidations" || local == "sparklineGroup" || local == "sparklineGroups")
            setCount(n);
        if (local == "sparklines" || local == "conditionalFormattings" ||
            local == "dataValidations" || local == "sparklineGroups")
            return !n.children.empty();
        if (local == "sparklineGroup") return childNamed(n, "sparklines") != nullptr;
        return true;
    };
    for (auto& e : root->children) moveNode(*e);
    std::erase_if(root->children,
                  [](const std::unique_ptr<Node>& e) { return e->children.empty(); });
    setExtensionList(ws, root.get(), ws.parts->namespaces);
}

}  // namespace kept

void restateExtensionTexts(Worksheet& ws, const KeptRestater& restate) {
    using namespace kept;
    if (!ws.parts) return;
    const RawSheetElement* ext = nullptr;
    for (const RawSheetElement& e : ws.parts->elements)
        if (e.element == "extLst") ext = &e;
    if (!ext || extensionItems(ext->xml) == 0) return;
    auto root = parseWhole(ext->xml);
    if (!root) return;
    // An element whose text is refused goes; so does a list left empty.
    std::function<bool(Node&)> walk = [&](Node& n) {
        const std::string_view local = localOf(n.name);
        if (local == "conditionalFormatting" || local == "dataValidation" || local == "sparkline")
            return restateExtTexts(n, 0, 0, restate);
        std::erase_if(n.children, [&](std::unique_ptr<Node>& c) { return !walk(*c); });
        if (local == "sparklines" || local == "conditionalFormattings" ||
            local == "dataValidations" || local == "sparklineGroup" || local == "sparklineGroups")
            setCount(n);
        if (local == "sparklines" || local == "conditionalFormattings" ||
            local == "dataValidations" || local == "sparklineGroups")
            return !n.children.empty();
        if (local == "sparklineGroup") return childNamed(n, "sparklines") != nullptr;
        return true;
    };
    for (auto& e : root->children) walk(*e);
    std::erase_if(root->children,
                  [](const std::unique_ptr<Node>& e) { return e->children.empty(); });
    setExtensionList(ws, root.get(), ws.parts->namespaces);
}

struct ExtensionCopier::Impl {
    std::unique_ptr<Node> dest;  // the destination's list, parsed once; null: it has none
    bool loaded = false, refused = false, dirty = false;
    std::optional<CellRange> bounds;  // of every range the list names
    std::string namespaces;           // the destination's declarations, with what copies need

    void widen(const CellRange& r) {
        if (!bounds) {
            bounds = r;
            return;
        }
        bounds->firstRow = std::min(bounds->firstRow, r.firstRow);
        bounds->firstCol = std::min(bounds->firstCol, r.firstCol);
        bounds->lastRow = std::max(bounds->lastRow, r.lastRow);
        bounds->lastCol = std::max(bounds->lastCol, r.lastCol);
    }
    void widenBy(Node& n) {
        if (Node* sq = childNamed(n, "sqref")) {
            eachRange(xml::unescape(sq->text), [&](const CellRange& r) { widen(r); });
            return;
        }
        for (auto& c : n.children) widenBy(*c);
    }
    std::vector<uint32_t> copy(const Worksheet& from, Worksheet& to, const CopiedBlock& block,
                               const KeptRestater& restater);
};

ExtensionCopier::ExtensionCopier() : impl_(std::make_unique<Impl>()) {}
ExtensionCopier::~ExtensionCopier() = default;

bool ExtensionCopier::pending() const {
    return impl_->dirty;
}

std::vector<uint32_t> ExtensionCopier::copy(const Worksheet& from, Worksheet& to,
                                            const CopiedBlock& block,
                                            const KeptRestater& restater) {
    return impl_->copy(from, to, block, restater);
}

std::vector<uint32_t> ExtensionCopier::Impl::copy(const Worksheet& from, Worksheet& to,
                                                  const CopiedBlock& block,
                                                  const KeptRestater& restater) {
    auto extOfParts = [](const SheetParts* p) -> const RawSheetElement* {
        if (!p) return nullptr;
        for (const RawSheetElement& e : p->elements)
            if (e.element == "extLst") return &e;
        return nullptr;
    };
    const std::shared_ptr<const SheetParts> sourceParts = from.parts;  // `from` may be `to`
    const RawSheetElement* sourceExt = extOfParts(sourceParts.get());
    std::vector<uint32_t> carried;
    if (!loaded) {
        loaded = true;
        const RawSheetElement* destExt = extOfParts(to.parts.get());
        dest = destExt ? parseWhole(destExt->xml) : nullptr;
        refused = destExt && !dest;  // not ours to edit
        if (dest) widenBy(*dest);
        namespaces = to.parts ? to.parts->namespaces : std::string();
    }
    if (refused || block.runs.empty() || (!sourceExt && !dest)) return carried;
    bool changed = false;

    // The destination area loses what it had.
    if (dest) {
        for (const CopiedBlock::Run& run : block.runs) {
            const CellRange area{uint32_t(int64_t(run.first) + run.dRow),
                                 uint32_t(int64_t(block.firstCol) + block.dCol),
                                 uint32_t(int64_t(run.last) + run.dRow),
                                 uint32_t(int64_t(block.lastCol) + block.dCol)};
            if (!bounds || !bounds->intersects(area)) continue;  // most copies land apart
            for (auto& ext : dest->children) {
                for (auto& list : ext->children) {
                    const std::string_view l = localOf(list->name);
                    if (l == "conditionalFormattings" || l == "dataValidations") {
                        const size_t before = list->children.size();
                        std::erase_if(list->children, [&](std::unique_ptr<Node>& c) {
                            return !clearExtArea(*c, area);
                        });
                        changed = changed || before != list->children.size();
                        setCount(*list);
                    } else if (l == "sparklineGroups") {
                        for (auto& g : list->children)
                            if (Node* sl = childNamed(*g, "sparklines")) {
                                const size_t before = sl->children.size();
                                std::erase_if(sl->children, [&](std::unique_ptr<Node>& c) {
                                    return !clearExtArea(*c, area);
                                });
                                changed = changed || before != sl->children.size();
                            }
                        std::erase_if(list->children, [](const std::unique_ptr<Node>& g) {
                            Node* sl = childNamed(*g, "sparklines");
                            return sl && sl->children.empty();
                        });
                    }
                }
            }
            if (changed) {
                bounds.reset();
                widenBy(*dest);
            }
        }
    }

    // Then the source's, for where they land.
    std::unique_ptr<Node> source = sourceExt ? parseWhole(sourceExt->xml) : nullptr;
    bool added = false;
    if (source) {
        // The prefixes the source's extensions use must mean the same in the destination.
        const auto have = declarations(namespaces);
        std::string missing;
        bool clash = false;
        for (const auto& decl : declarations(sourceParts->namespaces)) {
            auto it = std::find_if(have.begin(), have.end(),
                                   [&](const auto& h) { return h.first == decl.first; });
            if (it == have.end())
                missing += " " + decl.first + "=\"" + decl.second + "\"";
            else
                clash = clash || it->second != decl.second;
        }
        if (clash)
            source.reset();
        else
            namespaces += missing;
    }
    if (source) {
        if (!dest) dest = std::make_unique<Node>(Node{source->name, {}, {}, {}});
        uint32_t item = 0;  // the source's items, as extensionItems counts them
        for (const std::string_view uri : {kExtFormats, kExtValidations, kExtSparklines}) {
            Node* se = extOf(*source, uri);
            if (!se) continue;
            Node* de = extOf(*dest, uri);
            for (auto& list : se->children) {
                const std::string_view l = localOf(list->name);
                std::vector<std::unique_ptr<Node>> copies;
                if (l == "sparklineGroups") {
                    for (auto& g : list->children) {
                        Node* sl = childNamed(*g, "sparklines");
                        if (!sl) continue;
                        auto cg = clone(*g);
                        Node* csl = childNamed(*cg, "sparklines");
                        csl->children.clear();
                        for (auto& spark : sl->children) {
                            const uint32_t id = item++;
                            for (auto& c : extCopiesOf(*spark, block, restater)) {
                                csl->children.push_back(std::move(c));
                                if (carried.empty() || carried.back() != id) carried.push_back(id);
                            }
                        }
                        if (!csl->children.empty()) copies.push_back(std::move(cg));
                    }
                } else if (l == "conditionalFormattings" || l == "dataValidations") {
                    for (auto& c : list->children) {
                        const uint32_t id = item++;
                        for (auto& k : extCopiesOf(*c, block, restater)) {
                            copies.push_back(std::move(k));
                            if (carried.empty() || carried.back() != id) carried.push_back(id);
                        }
                    }
                }
                if (copies.empty()) continue;
                added = true;
                if (!de) {
                    auto e = clone(*se);
                    e->children.clear();
                    dest->children.push_back(std::move(e));
                    de = dest->children.back().get();
                }
                Node* dl = childNamed(*de, l);
                if (!dl) {
                    auto e = clone(*list);
                    e->children.clear();
                    de->children.push_back(std::move(e));
                    dl = de->children.back().get();
                }
                for (auto& c : copies) {
                    // A sparkline group stays a group of its own (its axes may be shared by
                    // its sparklines); a rule or validation may continue one copied before.
                    bool joined = false;
                    int looked = 0;
                    if (l != "sparklineGroups")
                        for (auto it = dl->children.rbegin();
                             !joined && it != dl->children.rend() && looked < 64; ++it, ++looked)
                            joined = extendExt(**it, *c);
                    widenBy(*c);
                    if (!joined) dl->children.push_back(std::move(c));
                }
                setCount(*dl);
            }
        }
    }
    dirty = dirty || added || changed;
    return carried;
}

void ExtensionCopier::flush(Worksheet& to) {
    Impl& m = *impl_;
    if (!m.dirty) return;
    m.dirty = false;
    std::unique_ptr<Node>& dest = m.dest;
    // Lists and extensions left empty go; then the destination's parts take the new list.
    if (dest) {
        for (auto& ext : dest->children)
            std::erase_if(ext->children, [](const std::unique_ptr<Node>& list) {
                const std::string_view l = localOf(list->name);
                return (l == "conditionalFormattings" || l == "dataValidations" ||
                        l == "sparklineGroups") &&
                       list->children.empty();
            });
        std::erase_if(dest->children,
                      [](const std::unique_ptr<Node>& e) { return e->children.empty(); });
    }
    setExtensionList(to, dest.get(), m.namespaces);
    m.loaded = false;  // what changes the parts from now on is read again by the next copy
}

}  // namespace ss

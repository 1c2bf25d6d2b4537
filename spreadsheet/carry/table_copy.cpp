#include "table_copy.h"

#include <algorithm>

#include "preserved.h"
#include "../model/reference_parts.h"
#include "../model/worksheet.h"
#include "reference_map.h"
#include "../text/xml_text.h"

namespace ss {

namespace {

using xml::attrSpan;
using xml::nextTag;
using xml::Tag;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

bool endsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::string attr(std::string_view tag, std::string_view name) {
    auto [at, n] = attrSpan(tag, name);
    return at == std::string_view::npos ? std::string() : xml::unescape(tag.substr(at, n));
}

bool boolAttr(std::string_view tag, std::string_view name, bool dflt) {
    auto [at, n] = attrSpan(tag, name);
    if (at == std::string_view::npos) return dflt;
    std::string_view v = tag.substr(at, n);
    return v == "1" || v == "true";
}

uint32_t uintAttr(std::string_view tag, std::string_view name, uint32_t dflt) {
    auto [at, n] = attrSpan(tag, name);
    if (at == std::string_view::npos || n == 0) return dflt;
    uint32_t v = 0;
    for (char c : tag.substr(at, n)) {
        if (c < '0' || c > '9') return dflt;
        v = v * 10 + uint32_t(c - '0');
        if (v > 1000000) return dflt;
    }
    return v;
}

}  // namespace

std::optional<TableInfo> parseTable(const std::shared_ptr<const PackagePart>& part) {
    if (!part || !part->data || !endsWith(part->contentType, "spreadsheetml.table+xml"))
        return std::nullopt;
    std::string_view xml = *part->data;
    TableInfo t;
    t.part = part;
    bool root = false;
    Tag tag;
    for (size_t pos = 0; nextTag(xml, pos, tag); pos = tag.end) {
        if (tag.closing) continue;
        std::string_view text = xml.substr(tag.begin, tag.end - tag.begin);
        if (!root) {
            if (tag.local != "table") return std::nullopt;
            root = true;
            t.name = attr(text, "displayName");
            if (t.name.empty()) t.name = attr(text, "name");
            auto r = parseRange(attr(text, "ref"));
            if (!r || t.name.empty()) return std::nullopt;
            t.ref = *r;
            t.headerRows = uintAttr(text, "headerRowCount", 1);
            t.totalsRows = uintAttr(text, "totalsRowCount", 0);
            if (t.headerRows + t.totalsRows > t.ref.rowCount()) return std::nullopt;
        } else if (tag.local == "tableColumn") {
            t.columns.push_back(attr(text, "name"));
        } else if (tag.local == "tableStyleInfo") {
            t.style = attr(text, "name");
            t.firstColumn = boolAttr(text, "showFirstColumn", false);
            t.lastColumn = boolAttr(text, "showLastColumn", false);
            t.rowStripes = boolAttr(text, "showRowStripes", false);
            t.columnStripes = boolAttr(text, "showColumnStripes", false);
        }
    }
    if (!root || t.columns.size() != t.ref.colCount()) return std::nullopt;
    return t;
}

std::vector<TableInfo> sheetTables(const SheetParts& parts) {
    std::vector<TableInfo> out;
    uint32_t item = 0;
    for (const PartLink& l : parts.links) {
        if (!l.part || !endsWith(l.part->contentType, "spreadsheetml.table+xml")) continue;
        const uint32_t n = item++;
        if (auto t = parseTable(l.part)) {
            t->item = n;
            out.push_back(std::move(*t));
        }
    }
    return out;
}

void TableIndex::add(std::string_view sheet, std::vector<TableInfo> tables) {
    for (TableInfo& t : tables) {
        byName_.emplace(lower(t.name), entries_.size());
        entries_.push_back(Entry{std::string(sheet), std::move(t)});
    }
}

const TableIndex::Entry* TableIndex::find(std::string_view name) const {
    auto it = byName_.find(lower(name));
    return it == byName_.end() ? nullptr : &entries_[it->second];
}

const TableIndex::Entry* TableIndex::at(std::string_view sheet, uint32_t row, uint32_t col) const {
    const std::string key = lower(sheet);
    for (const Entry& e : entries_)
        if (e.table.ref.contains(row, col) && lower(e.sheet) == key) return &e;
    return nullptr;
}

namespace {

using detail::bracketEnd;
using detail::isWordChar;
using detail::stringEnd;

std::string trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
}

std::string unescapeColumn(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\'' && i + 1 < s.size()) ++i;
        out += s[i];
    }
    return out;
}

// The inside of a structured reference's brackets, read.
struct Spec {
    bool all = false, headers = false, data = false, totals = false, thisRow = false;
    std::vector<std::string> columns;  // one or two (a span)
    bool ok = true;
};

void special(Spec& s, std::string_view item) {
    const std::string k = lower(item);
    if (k == "#all")
        s.all = true;
    else if (k == "#headers")
        s.headers = true;
    else if (k == "#data")
        s.data = true;
    else if (k == "#totals")
        s.totals = true;
    else if (k == "#this row")
        s.thisRow = true;
    else
        s.ok = false;
}

// An item "[x]" or "[x]:[y]" list, or a plain item.
Spec readSpec(std::string_view in) {
    Spec s;
    std::string_view c = in;
    while (!c.empty() && c.front() == ' ') c.remove_prefix(1);
    if (c.empty()) return s;
    if (c.front() == '@') {
        s.thisRow = true;
        c.remove_prefix(1);
        if (c.empty()) return s;
        if (c.front() != '[') {
            s.columns.push_back(unescapeColumn(c));
            return s;
        }
    } else if (c.front() != '[') {
        if (c.front() == '#')
            special(s, trim(c));
        else
            s.columns.push_back(unescapeColumn(c));
        return s;
    }
    size_t i = 0;
    bool span = false;
    while (i < c.size()) {
        if (c[i] == ' ' || c[i] == ',') {
            ++i;
            continue;
        }
        if (c[i] == ':') {
            span = true;
            ++i;
            continue;
        }
        if (c[i] != '[') {  // a column written without its brackets
            size_t e = i;
            while (e < c.size() && c[e] != ',' && c[e] != ':') e += c[e] == '\'' ? 2 : 1;
            e = std::min(e, c.size());
            if (!s.columns.empty() && !span) s.ok = false;
            s.columns.push_back(unescapeColumn(trim(c.substr(i, e - i))));
            span = false;
            i = e;
            continue;
        }
        size_t e = bracketEnd(c, i);
        if (e == std::string_view::npos) {
            s.ok = false;
            return s;
        }
        std::string_view item = c.substr(i + 1, e - i - 2);
        if (!item.empty() && item.front() == '#') {
            special(s, item);
        } else {
            if (!s.columns.empty() && !span) s.ok = false;  // two columns without a ':'
            s.columns.push_back(unescapeColumn(item));
        }
        span = false;
        i = e;
    }
    if (s.columns.size() > 2) s.ok = false;
    return s;
}

int columnIndex(const TableInfo& t, const std::string& name) {
    const std::string k = lower(name);
    for (size_t i = 0; i < t.columns.size(); ++i)
        if (lower(t.columns[i]) == k) return int(i);
    return -1;
}

// The reference `spec` stands for, for a formula in `row`; nothing when a column is unknown;
// "#REF!" for rows the table lacks.
std::optional<std::string> resolve(const TableIndex::Entry& e, const Spec& spec,
                                   std::string_view home, uint32_t row) {
    const TableInfo& t = e.table;
    if (!spec.ok) return std::nullopt;
    uint32_t c1 = t.ref.firstCol, c2 = t.ref.lastCol;
    if (!spec.columns.empty()) {
        int a = columnIndex(t, spec.columns.front()), b = columnIndex(t, spec.columns.back());
        if (a < 0 || b < 0) return std::nullopt;
        c1 = t.ref.firstCol + uint32_t(std::min(a, b));
        c2 = t.ref.firstCol + uint32_t(std::max(a, b));
    }
    const uint32_t dataFirst = t.ref.firstRow + t.headerRows;
    const uint32_t dataLast = std::max(dataFirst, t.ref.lastRow - t.totalsRows);
    uint32_t r1 = 0, r2 = 0;
    auto add = [&](uint32_t a, uint32_t b) {
        r1 = r1 ? std::min(r1, a) : a;
        r2 = std::max(r2, b);
    };
    if (spec.thisRow) {
        add(row, row);
    } else if (spec.all) {
        add(t.ref.firstRow, t.ref.lastRow);
    } else {
        if (spec.headers) {
            if (!t.headerRows) return std::string("#REF!");
            add(t.ref.firstRow, t.ref.firstRow);
        }
        if (spec.totals) {
            if (!t.totalsRows) return std::string("#REF!");
            add(t.ref.lastRow, t.ref.lastRow);
        }
        if (spec.data || (!spec.headers && !spec.totals)) add(dataFirst, dataLast);
    }
    std::string out;
    if (lower(e.sheet) != lower(home)) out = quoteSheetName(e.sheet) + "!";
    const bool abs = !spec.thisRow;
    auto cell = [&](uint32_t r, uint32_t c) {
        detail::appendPart(out, detail::RefPart{r, c, abs, abs});
    };
    cell(r1, c1);
    if (r1 != r2 || c1 != c2) {
        out += ':';
        cell(r2, c2);
    }
    return out;
}

}  // namespace

std::string unstructure(std::string_view f, std::string_view home, uint32_t row, uint32_t col,
                        const TableIndex& tables,
                        const std::function<bool(const TableIndex::Entry&)>& rewrite) {
    if (f.find('[') == std::string_view::npos && tables.entries().empty()) return std::string(f);
    std::string out;
    out.reserve(f.size() + 16);
    size_t i = 0;
    while (i < f.size()) {
        const char c = f[i];
        if (c == '"') {
            size_t k = stringEnd(f, i);
            out.append(f.substr(i, k - i));
            i = k;
            continue;
        }
        if (c == '\'') {  // a quoted sheet name
            size_t k = i + 1;
            while (k < f.size() && !(f[k] == '\'' && (k + 1 >= f.size() || f[k + 1] != '\'')))
                k += f[k] == '\'' ? 2 : 1;
            k = std::min(f.size(), k + 1);
            out.append(f.substr(i, k - i));
            i = k;
            continue;
        }
        if (c == '[') {  // a reference to the formula's own table, or another workbook
            const size_t e = bracketEnd(f, i);
            if (e == std::string_view::npos) {
                out.append(f.substr(i));
                break;
            }
            const bool external = e < f.size() && (isWordChar(f[e]) || f[e] == '\'');
            const TableIndex::Entry* t = external ? nullptr : tables.at(home, row, col);
            std::optional<std::string> to;
            if (t && rewrite(*t))
                to = resolve(*t, readSpec(f.substr(i + 1, e - i - 2)), home, row);
            else if (t)  // kept: named, so that it can follow the table's name
                to = t->table.name + std::string(f.substr(i, e - i));
            out += to ? *to : std::string(f.substr(i, e - i));
            i = e;
            continue;
        }
        if (!isWordChar(c) || c == '$') {
            out += c;
            ++i;
            continue;
        }
        size_t k = i;
        while (k < f.size() && isWordChar(f[k])) ++k;
        const std::string_view w = f.substr(i, k - i);
        const bool qualified = k < f.size() && (f[k] == '!' || f[k] == '(');
        const TableIndex::Entry* t = qualified ? nullptr : tables.find(w);
        if (!t || !rewrite(*t)) {
            size_t e = k;  // a kept reference, with its brackets
            if (t && k < f.size() && f[k] == '[') e = bracketEnd(f, k);
            e = e == std::string_view::npos ? f.size() : e;
            out.append(f.substr(i, e - i));
            i = e;
            continue;
        }
        if (k < f.size() && f[k] == '[') {
            const size_t e = bracketEnd(f, k);
            if (e == std::string_view::npos) {
                out.append(f.substr(i));
                break;
            }
            auto to = resolve(*t, readSpec(f.substr(k + 1, e - k - 2)), home, row);
            out += to ? *to : std::string(f.substr(i, e - i));
            i = e;
        } else {  // the table's name alone: its data rows
            out += *resolve(*t, Spec{}, home, row);
            i = k;
        }
    }
    return out;
}

void TableNames::use(std::string_view name) {
    used_.try_emplace(lower(name), 2);
}

std::string TableNames::unique(std::string_view base) {
    const std::string key = lower(base);
    auto [it, fresh] = used_.try_emplace(key, 2);
    if (fresh) return std::string(base);
    for (uint32_t& n = it->second;; ++n) {
        std::string name = std::string(base) + "_" + std::to_string(n);
        if (used_.try_emplace(lower(name), 2).second) {
            ++n;
            return name;
        }
    }
}

std::string renameTables(std::string_view f, const std::map<std::string, std::string>& renames) {
    auto nameChar = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '\\' || static_cast<unsigned char>(c) >= 0x80;
    };
    std::string out;
    size_t i = 0;
    bool inString = false;
    while (i < f.size()) {
        char c = f[i];
        if (c == '"') inString = !inString;
        if (inString || !nameChar(c) || (i > 0 && nameChar(f[i - 1]))) {
            out += c;
            ++i;
            continue;
        }
        size_t j = i;
        while (j < f.size() && nameChar(f[j])) ++j;
        std::string word(f.substr(i, j - i));
        auto it = j < f.size() && f[j] == '[' ? renames.find(lower(word)) : renames.end();
        out += it == renames.end() ? word : it->second;
        i = j;
    }
    return out;
}

std::string movedTableXml(std::string_view xml, int64_t dRow, int64_t dCol, const std::string& name,
                          const std::map<std::string, std::string>& renames,
                          const std::vector<uint32_t>* dxf) {
    std::string out;
    out.reserve(xml.size() + 16);
    size_t copied = 0;
    Tag tag;
    bool inFormula = false;
    size_t formulaStart = 0;
    for (size_t pos = 0; nextTag(xml, pos, tag); pos = tag.end) {
        const bool formula =
            tag.local == "calculatedColumnFormula" || tag.local == "totalsRowFormula";
        if (tag.closing) {
            if (formula && inFormula) {
                out.append(xml.substr(copied, formulaStart - copied));
                out +=
                    renames.empty()
                        ? std::string(xml.substr(formulaStart, tag.begin - formulaStart))
                        : renameTables(xml.substr(formulaStart, tag.begin - formulaStart), renames);
                copied = tag.begin;
                inFormula = false;
            }
            continue;
        }
        std::string t(xml.substr(tag.begin, tag.end - tag.begin));
        auto set = [&](std::string_view attrName, const std::string& value) {
            auto [at, n] = attrSpan(t, attrName);
            if (at != std::string::npos) t.replace(at, n, value);
        };
        if (tag.local == "table" || tag.local == "autoFilter" || tag.local == "sortState" ||
            tag.local == "sortCondition") {
            if (auto r = parseRange(attr(t, "ref"))) {
                CellRange m{
                    uint32_t(int64_t(r->firstRow) + dRow), uint32_t(int64_t(r->firstCol) + dCol),
                    uint32_t(int64_t(r->lastRow) + dRow), uint32_t(int64_t(r->lastCol) + dCol)};
                set("ref", m.toA1());
            }
        }
        if (tag.local == "table") {
            set("name", xml::escaped(name, true));
            set("displayName", xml::escaped(name, true));
        }
        // Revision ids ("xr:uid") would repeat in every copy of the table: they go.
        for (size_t at = t.find(":uid=\""); at != std::string::npos; at = t.find(":uid=\"", at)) {
            size_t from = at;
            while (from > 0 && t[from - 1] != ' ' && t[from - 1] != '\t' && t[from - 1] != '\n' &&
                   t[from - 1] != '\r')
                --from;
            const size_t end = t.find('"', at + 6);
            if (end == std::string::npos || from == 0) break;
            t.erase(from - 1, end + 2 - from);
            at = from - 1;
        }
        if (dxf) {
            for (size_t at = t.find("DxfId"); at != std::string::npos;
                 at = t.find("DxfId", at + 1)) {
                size_t s = at;
                while (s > 0 && t[s - 1] != ' ' && t[s - 1] != '\t' && t[s - 1] != '\n') --s;
                std::string an = t.substr(s, at + 5 - s);
                const uint32_t id = uintAttr(t, an, UINT32_MAX);
                if (id != UINT32_MAX && id < dxf->size()) set(an, std::to_string((*dxf)[id]));
            }
        }
        out.append(xml.substr(copied, tag.begin - copied));
        out += t;
        copied = tag.end;
        if (formula && t[t.size() - 2] != '/') {
            inFormula = true;
            formulaStart = tag.end;
        }
    }
    out.append(xml.substr(copied));
    return out;
}

void moveTableRows(Worksheet& ws, const RowMove& move) {
    if (!ws.parts) return;
    std::shared_ptr<SheetParts> parts;  // written on first change
    std::vector<std::string> gone;
    for (size_t i = 0; i < ws.parts->links.size(); ++i) {
        const PartLink& l = ws.parts->links[i];
        auto t = parseTable(l.part);
        if (!t) continue;
        std::optional<CellRange> to = move.range(t->ref);
        if (to && *to == t->ref) continue;
        if (!parts) parts = std::make_shared<SheetParts>(*ws.parts);
        const CellRange head{t->ref.firstRow, t->ref.firstCol, t->ref.firstRow, t->ref.lastCol};
        const CellRange foot{t->ref.lastRow, t->ref.firstCol, t->ref.lastRow, t->ref.lastCol};
        const uint32_t header = t->headerRows && move.range(head) ? t->headerRows : 0;
        const uint32_t totals = t->totalsRows && move.range(foot) ? t->totalsRows : 0;
        if (!to || to->rowCount() <= header + totals) {
            gone.push_back(l.id);
            ++parts->dropped["表格"];
            continue;
        }
        const std::string& xml = *l.part->data;
        std::string out;
        size_t copied = 0;
        std::string_view skipping;  // the filter of a table without its header row goes
        Tag tag;
        for (size_t pos = 0; nextTag(xml, pos, tag); pos = tag.end) {
            if (!skipping.empty()) {
                if (tag.closing && tag.local == skipping) {
                    skipping = {};
                    copied = tag.end;
                }
                continue;
            }
            if (tag.closing) continue;
            std::string tx = xml.substr(tag.begin, tag.end - tag.begin);
            const bool empty = tx[tx.size() - 2] == '/';
            auto set = [&](std::string_view name, const std::string& value) {
                auto [at, n] = attrSpan(tx, name);
                if (at != std::string::npos)
                    tx.replace(at, n, value);
                else
                    tx.insert(tx.size() - (empty ? 2 : 1),
                              " " + std::string(name) + "=\"" + value + "\"");
            };
            const bool filter = tag.local == "autoFilter" || tag.local == "sortState";
            if (filter && !header) {
                out.append(xml, copied, tag.begin - copied);
                copied = tag.end;
                if (!empty) skipping = tag.local;
                continue;
            }
            CellRange data = *to;
            data.firstRow += header;
            data.lastRow -= totals;
            if (tag.local == "table") {
                set("ref", to->toA1());
                if (header != t->headerRows) set("headerRowCount", "0");
                if (totals != t->totalsRows) set("totalsRowCount", "0");
            } else if (tag.local == "autoFilter") {
                set("ref", CellRange{to->firstRow, to->firstCol, data.lastRow, to->lastCol}.toA1());
            } else if (tag.local == "sortState") {
                set("ref", data.toA1());
            } else if (tag.local == "sortCondition") {
                auto r = parseRange(attr(tx, "ref"));
                if (!r) continue;
                set("ref", CellRange{data.firstRow, r->firstCol, data.lastRow, r->lastCol}.toA1());
            } else {
                continue;
            }
            out.append(xml, copied, tag.begin - copied);
            out += tx;
            copied = tag.end;
        }
        out.append(xml, copied, std::string::npos);
        auto part = std::make_shared<PackagePart>(*l.part);
        part->data = std::make_shared<const std::string>(std::move(out));
        parts->links[i].part = std::move(part);
    }
    if (!parts) return;
    if (!gone.empty()) {
        std::erase_if(parts->links, [&](const PartLink& l) {
            return std::find(gone.begin(), gone.end(), l.id) != gone.end();
        });
        for (RawSheetElement& e : parts->elements) {
            if (e.element != "tableParts") continue;
            for (const std::string& id : gone) {
                size_t at = e.xml.find("\"" + id + "\"");
                if (at == std::string::npos) continue;
                size_t b = e.xml.rfind('<', at), end = e.xml.find('>', at);
                e.xml.erase(b, end + 1 - b);
            }
            if (size_t c = e.xml.find(" count=\""); c != std::string::npos) {
                size_t q = e.xml.find('"', c + 8);
                e.xml.erase(c, q + 1 - c);
            }
        }
        std::erase_if(parts->elements, [](const RawSheetElement& e) {
            return e.element == "tableParts" && e.xml.find("Part ") == std::string::npos &&
                   e.xml.find(":tablePart") == std::string::npos &&
                   e.xml.find("<tablePart") == std::string::npos;
        });
    }
    ws.parts = std::move(parts);
}

}  // namespace ss

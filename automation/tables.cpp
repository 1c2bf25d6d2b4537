// Tables through range copies: carried whole as tables, or cut into plain ranges that keep
// their look; structured references made ready for the reference policy.
#include <algorithm>

#include "internal.h"

namespace automation::detail {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

// The tables of every sheet of `wb`, read again only when a sheet's parts changed.
const ss::TableIndex& sourceIndex(ReferenceState& state, uint64_t serial, const ss::Workbook& wb) {
    ReferenceState::SourceTables& st = state.sourceTables[serial];
    std::vector<const ss::SheetParts*> now;
    now.reserve(wb.sheets.size());
    for (const auto& s : wb.sheets) now.push_back(s->parts.get());
    if (now != st.parts || st.keep.empty()) {
        st = {};
        st.parts = now;
        for (const auto& s : wb.sheets) {
            st.keep.push_back(s->parts);
            if (s->parts) st.index.add(s->name, ss::sheetTables(*s->parts));
        }
    }
    return st.index;
}

ss::TableNames& namesIn(ReferenceState& state, uint64_t serial, const ss::Workbook& wb) {
    auto [it, fresh] = state.tableNames.try_emplace(serial);
    if (fresh) {
        for (const auto& s : wb.sheets)
            if (s->parts)
                for (const std::string& n : ss::tableNames(*s->parts)) it->second.use(n);
        for (const ss::DefinedName& n : wb.names) it->second.use(n.name);
    }
    return it->second;
}

// An ARGB colour lightened (tint > 0) or darkened (tint < 0) as tints are: on its lightness.
uint32_t tinted(uint32_t argb, double tint) {
    if (tint == 0) return argb;
    double rgb[3] = {((argb >> 16) & 255) / 255.0, ((argb >> 8) & 255) / 255.0,
                     (argb & 255) / 255.0};
    const double mx = std::max({rgb[0], rgb[1], rgb[2]}), mn = std::min({rgb[0], rgb[1], rgb[2]});
    double h = 0, s = 0, l = (mx + mn) / 2;
    if (mx != mn) {
        const double d = mx - mn;
        s = l > 0.5 ? d / (2 - mx - mn) : d / (mx + mn);
        h = mx == rgb[0]   ? (rgb[1] - rgb[2]) / d + (rgb[1] < rgb[2] ? 6 : 0)
            : mx == rgb[1] ? (rgb[2] - rgb[0]) / d + 2
                           : (rgb[0] - rgb[1]) / d + 4;
        h /= 6;
    }
    l = tint < 0 ? l * (1 + tint) : l * (1 - tint) + tint;
    auto hue = [](double p, double q, double t) {
        if (t < 0) t += 1;
        if (t > 1) t -= 1;
        if (t < 1.0 / 6) return p + (q - p) * 6 * t;
        if (t < 0.5) return q;
        if (t < 2.0 / 3) return p + (q - p) * (2.0 / 3 - t) * 6;
        return p;
    };
    double out[3] = {l, l, l};
    if (s != 0) {
        const double q = l < 0.5 ? l * (1 + s) : l + s - l * s, p = 2 * l - q;
        out[0] = hue(p, q, h + 1.0 / 3);
        out[1] = hue(p, q, h);
        out[2] = hue(p, q, h - 1.0 / 3);
    }
    uint32_t v = argb & 0xFF000000u;
    for (int i = 0; i < 3; ++i)
        v |= uint32_t(std::clamp(out[i], 0.0, 1.0) * 255 + 0.5) << (16 - 8 * i);
    return v;
}

// Theme and palette colours of `from` as `to` shows them.
ss::Color mapColor(const ss::Color& c, const ss::StyleTable& from, const ss::StyleTable& to) {
    if (c.kind == ss::Color::Kind::Theme && from.themeColors != to.themeColors &&
        c.value < from.themeColors.size())
        return ss::Color::rgb(tinted(from.themeColors[c.value], c.tint));
    if (c.kind == ss::Color::Kind::Indexed && !from.indexedColors.empty() && c.value < 64 &&
        from.indexedColors != to.indexedColors)
        return ss::Color{ss::Color::Kind::Rgb, from.paletteColor(c.value), c.tint};
    return c;
}

// The custom style `name` of `from` added to `to` (with its differential formats) when `to`
// has no style of that name.
void carryTableStyle(const ss::Workbook& from, ss::Workbook& to, const std::string& name,
                     const std::vector<uint32_t>& dxf) {
    const std::string& xml = from.styles.tableStylesXml;
    const std::string key = "name=\"" + name + "\"";
    if (name.empty() || to.styles.tableStylesXml.find(key) != std::string::npos) return;
    size_t at = xml.find(key);
    if (at == std::string::npos) return;
    size_t begin = xml.rfind('<', at), end = xml.find('>', at);
    if (begin == std::string::npos || end == std::string::npos) return;
    if (xml[end - 1] != '/') {
        size_t close = xml.find("tableStyle>", end);
        if (close == std::string::npos) return;
        end = close + 10;
    }
    std::string element = xml.substr(begin, end + 1 - begin);
    for (size_t p = element.find("dxfId=\""); p != std::string::npos;
         p = element.find("dxfId=\"", p + 1)) {
        size_t v = p + 7, e = element.find('"', v);
        const size_t id = std::strtoul(element.substr(v, e - v).c_str(), nullptr, 10);
        if (id < dxf.size()) element.replace(v, e - v, std::to_string(dxf[id]));
    }
    std::string& out = to.styles.tableStylesXml;
    if (out.empty()) {
        out = "<tableStyles count=\"1\">" + element + "</tableStyles>";
        return;
    }
    size_t close = out.rfind("</");
    if (close == std::string::npos || out.find("/>") == out.size() - 2) {  // <tableStyles .../>
        out.erase(out.size() - 2);
        out += ">" + element + "</tableStyles>";
    } else {
        out.insert(close, element);
    }
    const size_t c = out.find("count=\"");
    if (c != std::string::npos && c < out.find('>')) {
        size_t v = c + 7, e = out.find('"', v);
        const size_t n = std::strtoul(out.substr(v, e - v).c_str(), nullptr, 10);
        out.replace(v, e - v, std::to_string(n + 1));
    }
}

}  // namespace

RangeTables::RangeTables(ReferenceState& state, Copy copy) : state_(state), copy_(std::move(copy)) {
    if (!copy_.sourceSheet->parts) return;
    const ss::TableIndex& index = sourceIndex(state_, copy_.sourceSerial, *copy_.source);
    if (index.empty()) return;
    // A table whose rows were moved since it was read (header rows taken out before a merge)
    // no longer says where its cells are: it is left as cells, its references as written.
    ss::Workbook& sb = const_cast<ss::Workbook&>(*copy_.source);
    for (const ss::TableIndex::Entry& e : index.entries()) {
        const ss::TableInfo& t = e.table;
        const ss::Worksheet* ws = sb.sheetByName(e.sheet);
        bool fresh = ws != nullptr;
        for (uint32_t i = 0; fresh && t.headerRows && i < t.columns.size(); ++i) {
            const ss::Cell* c = ws->find(t.ref.firstRow, t.ref.firstCol + i);
            fresh = c && sb.cellText(*c) == t.columns[i];
        }
        if (fresh) index_.add(e.sheet, {t});
    }
    const std::string home = lower(copy_.sourceSheet->name);
    for (const ss::TableIndex::Entry& e : index_.entries()) {
        if (lower(e.sheet) != home) continue;
        const ss::CellRange& r = e.table.ref;
        if (r.lastCol < copy_.c1 || r.firstCol > copy_.c2) continue;
        const auto& runs = copy_.runs;
        const bool whole = r.firstCol >= copy_.c1 && r.lastCol <= copy_.c2 &&
                           std::any_of(runs.begin(), runs.end(), [&](const auto& run) {
                               return run.first <= r.firstRow && run.last >= r.lastRow;
                           });
        if (!whole) {
            // Cut: only when some of its rows come along.
            if (std::any_of(runs.begin(), runs.end(), [&](const auto& run) {
                    return run.first <= r.lastRow && run.last >= r.firstRow;
                }))
                cut_.push_back(&e);
            continue;
        }
        std::string name = namesIn(state_, copy_.targetSerial, *copy_.target).unique(e.table.name);
        if (copy_.map)
            copy_.map->addName(e.table.name, name);
        else if (lower(name) != lower(e.table.name))
            renames_[lower(e.table.name)] = name;
        whole_.push_back({&e, std::move(name)});
    }
}

std::string RangeTables::formula(std::string_view text, uint32_t row, uint32_t col) const {
    if (index_.empty()) return std::string(text);
    auto carried = [&](const ss::TableIndex::Entry& e) {
        if (copy_.map) return copy_.map->name(e.table.name, copy_.sourceSheet->name) != nullptr;
        return std::any_of(whole_.begin(), whole_.end(),
                           [&](const Whole& w) { return w.entry == &e; });
    };
    std::string out = ss::unstructure(text, copy_.sourceSheet->name, row, col, index_,
                                      [&](const ss::TableIndex::Entry& e) { return !carried(e); });
    if (!renames_.empty()) out = ss::renameTables(out, renames_);
    return out;
}

void RangeTables::finish(ss::Worksheet& target, const Worksheet& source) {
    if (whole_.empty() && cut_.empty()) return;
    const ss::Workbook& sb = *copy_.source;
    ss::Workbook& db = *copy_.target;
    const bool sameBook = &sb == &db;

    if (!whole_.empty()) {
        // Parts only this sheet holds are added to in place: a sheet that many copies build
        // up does not copy its list of tables each time.
        std::shared_ptr<ss::SheetParts> parts =
            !target.parts                   ? std::make_shared<ss::SheetParts>()
            : target.parts.use_count() == 1 ? std::const_pointer_cast<ss::SheetParts>(target.parts)
                                            : std::make_shared<ss::SheetParts>(*target.parts);
        if (!parts->origin) {
            parts->origin = std::make_shared<ss::PartOrigin>();
            parts->originName = target.name;
        }
        std::vector<uint32_t> dxf;
        bool dxfMapped = false;
        auto element =
            std::find_if(parts->elements.begin(), parts->elements.end(),
                         [](const ss::RawSheetElement& e) { return e.element == "tableParts"; });
        std::string added;
        for (const Whole& w : whole_) {
            const ss::TableInfo& t = w.entry->table;
            const std::string& xml = *t.part->data;
            if (!sameBook && !dxfMapped && xml.find("DxfId") != std::string::npos) {
                dxf = dxfMap(sb, db);
                dxfMapped = true;
            }
            int64_t dRow = 0;
            for (const auto& run : copy_.runs)
                if (run.first <= t.ref.firstRow && run.last >= t.ref.lastRow) dRow = run.dRow;
            std::map<std::string, std::string> renames = renames_;
            if (lower(w.name) != lower(t.name)) renames[lower(t.name)] = w.name;
            auto part = std::make_shared<ss::PackagePart>(*t.part);
            part->data = std::make_shared<const std::string>(ss::movedTableXml(
                xml, dRow, copy_.dCol, w.name, renames, dxfMapped ? &dxf : nullptr));
            std::string id;
            for (size_t n = parts->links.size() + 1;; ++n) {  // free at once unless read so
                id = "rIdT" + std::to_string(n);
                if (std::none_of(parts->links.begin(), parts->links.end(),
                                 [&](const ss::PartLink& l) { return l.id == id; }))
                    break;
            }
            parts->links.push_back({id,
                                    "http://schemas.openxmlformats.org/officeDocument/2006/"
                                    "relationships/table",
                                    std::string(), std::move(part)});
            added += "<tablePart r:id=\"" + id + "\"/>";
            if (!sameBook) {
                if (!dxfMapped) {
                    dxf = dxfMap(sb, db);
                    dxfMapped = true;
                }
                carryTableStyle(sb, db, t.style, dxf);
            }
            source.noteCarried("表格", t.item);
        }
        if (element == parts->elements.end()) {
            parts->elements.push_back({"tableParts", "<tableParts>" + added + "</tableParts>"});
        } else {
            std::string& x = element->xml;
            size_t close = x.rfind("</");
            if (close == std::string::npos) {  // <tableParts count="0"/>
                x = "<tableParts>" + added + "</tableParts>";
            } else {
                x.insert(close, added);
            }
        }
        // The count is optional: the list says it.
        std::string& x =
            std::find_if(parts->elements.begin(), parts->elements.end(),
                         [](const ss::RawSheetElement& e) { return e.element == "tableParts"; })
                ->xml;
        if (size_t c = x.find(" count=\""); c != std::string::npos && c < x.find('>')) {
            size_t e = x.find('"', c + 8);
            x.erase(c, e + 1 - c);
        }
        target.parts = std::move(parts);
    }

    // The cut tables: their look on the copied cells.
    if (cut_.empty()) return;
    // The source's default text colour as the target has it: a cell in it shows the style's.
    ss::Color plain = sb.styles.fonts.empty() ? ss::Color{} : sb.styles.fonts[0].color;
    if (!sameBook) {  // as the format interner maps it (its tint kept)
        const ss::Color m = mapColor(plain, sb.styles, db.styles);
        if (m.kind == ss::Color::Kind::Rgb && plain.kind == ss::Color::Kind::Theme)
            plain = ss::Color{ss::Color::Kind::Rgb, sb.styles.themeColors[plain.value], plain.tint};
        else
            plain = m;
    }
    auto& applier = state_.looks[copy_.targetSerial];
    if (!applier) applier = std::make_unique<ss::LookApplier>(db.styles);
    for (const ss::TableIndex::Entry* e : cut_) {
        const ss::TableInfo& t = e->table;
        std::optional<ss::TableStyleDef> style = findTableStyle(sb.styles, t.style);
        if (!style) {  // a style we cannot resolve: the header stays bold
            style.emplace();
            ss::DiffFormat bold;
            bold.bold = true;
            style->elements[size_t(ss::TableElement::HeaderRow)] = bold;
        }
        const ss::TableShape shape{t.ref,        t.headerRows, t.totalsRows,   t.firstColumn,
                                   t.lastColumn, t.rowStripes, t.columnStripes};
        const uint32_t from = std::max(t.ref.firstCol, copy_.c1);
        const uint32_t to = std::min(t.ref.lastCol, copy_.c2);
        for (const auto& run : copy_.runs) {
            const uint32_t r1 = std::max(run.first, t.ref.firstRow);
            const uint32_t r2 = std::min(run.last, t.ref.lastRow);
            for (uint32_t r = r1; r <= r2; ++r) {
                const uint32_t dr = uint32_t(int64_t(r) + run.dRow);
                for (uint32_t c = from; c <= to; ++c) {
                    ss::DiffFormat look = ss::cellLook(*style, shape, r, c);
                    if (!sameBook) {
                        look.fontColor = mapColor(look.fontColor, sb.styles, db.styles);
                        look.fill = mapColor(look.fill, sb.styles, db.styles);
                        for (ss::BorderSide* s : {&look.left, &look.right, &look.top, &look.bottom})
                            s->color = mapColor(s->color, sb.styles, db.styles);
                    }
                    ss::Cell& cell = target.cell(dr, uint32_t(int64_t(c) + copy_.dCol));
                    cell.style = applier->apply(cell.style, look, plain);
                }
            }
        }
        source.noteCarried("表格", t.item);
    }
}

}  // namespace automation::detail

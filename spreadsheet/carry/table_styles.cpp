#include "table_styles.h"

#include <cstdlib>
#include <cstring>

#include "../text/xml_text.h"

namespace ss {

namespace {

using xml::nextTag;
using xml::Tag;

std::optional<std::string> attr(std::string_view tag, std::string_view name) {
    for (size_t at = tag.find(name); at != std::string_view::npos; at = tag.find(name, at + 1)) {
        const char before = at ? tag[at - 1] : ' ';
        const size_t eq = at + name.size();
        if ((before != ' ' && before != '\t' && before != '\n') || eq + 1 >= tag.size() ||
            tag[eq] != '=' || (tag[eq + 1] != '"' && tag[eq + 1] != '\''))
            continue;
        size_t e = tag.find(tag[eq + 1], eq + 2);
        if (e == std::string_view::npos) return std::nullopt;
        return std::string(tag.substr(eq + 2, e - eq - 2));
    }
    return std::nullopt;
}

Color colorOf(std::string_view tag) {
    Color c;
    if (auto v = attr(tag, "theme")) {
        c = Color::theme(uint32_t(std::strtoul(v->c_str(), nullptr, 10)));
    } else if (auto r = attr(tag, "rgb")) {
        uint32_t x = uint32_t(std::strtoul(r->c_str(), nullptr, 16));
        c = Color::rgb(r->size() == 6 ? (0xFF000000u | x) : x);
    } else if (auto i = attr(tag, "indexed")) {
        c = Color::indexed(uint32_t(std::strtoul(i->c_str(), nullptr, 10)));
    } else if (attr(tag, "auto")) {
        c.kind = Color::Kind::Auto;
    }
    if (auto t = attr(tag, "tint")) c.tint = std::strtod(t->c_str(), nullptr);
    return c;
}

bool on(std::string_view tag) {
    auto v = attr(tag, "val");
    return !v || *v == "1" || *v == "true";
}

// ---- built-in styles, by family

// A colour of a family: its accent (theme 1, the dark text colour, for the first style of each
// family), the dark or the light text colour, or the second accent of a pair.
enum Role : uint8_t { None, Accent, Dark, Light, Accent2 };
struct Tinted {
    Role role = None;
    float tint = 0;
};
enum Side : uint8_t { L = 1, R = 2, T = 4, B = 8, V = 16, H = 32, Box = 15, All = 63 };
struct ElementSpec {
    TableElement element;
    bool bold;
    Tinted font, fill;
    uint8_t sides;  // Side bits
    const char* border;
    Tinted borderColor;
    uint8_t sides2 = 0;  // a second border of another kind on other sides
    const char* border2 = nullptr;
    Tinted borderColor2{};
};
struct Family {
    const char* name;
    int first, last;
    std::vector<ElementSpec> elements;
};

using E = TableElement;
constexpr Tinted kA{Accent, 0}, kD{Dark, 0}, kL{Light, 0}, kNone{};
constexpr Tinted a(float t) {
    return {Accent, t};
}

const std::vector<Family>& families() {
    static const std::vector<Family> f = {
        {"TableStyleLight",
         1,
         7,
         {{E::WholeTable, false, a(-0.25f), kNone, T | B, "thin", kA},
          {E::HeaderRow, true, kNone, kNone, B, "thin", kA},
          {E::TotalRow, true, kNone, kNone, T, "thin", kA},
          {E::FirstColumn, true, kNone, kNone, 0, nullptr, kNone},
          {E::LastColumn, true, kNone, kNone, 0, nullptr, kNone},
          {E::FirstRowStripe, false, kNone, a(0.8f), 0, nullptr, kNone},
          {E::FirstColumnStripe, false, kNone, a(0.8f), 0, nullptr, kNone}}},
        {"TableStyleLight",
         8,
         14,
         {{E::WholeTable, false, kNone, kNone, Box, "thin", kA},
          {E::HeaderRow, true, kL, kA, 0, nullptr, kNone},
          {E::TotalRow, true, kNone, kNone, T, "double", kA},
          {E::FirstColumn, true, kNone, kNone, 0, nullptr, kNone},
          {E::LastColumn, true, kNone, kNone, 0, nullptr, kNone},
          {E::FirstRowStripe, false, kNone, kNone, T | B, "thin", kA},
          {E::FirstColumnStripe, false, kNone, kNone, L | R, "thin", kA}}},
        {"TableStyleLight",
         15,
         21,
         {{E::WholeTable, false, kNone, kNone, All, "thin", kA},
          {E::HeaderRow, true, kNone, kNone, B, "thin", kA},
          {E::TotalRow, true, kNone, kNone, T, "double", kA},
          {E::FirstColumn, true, kNone, kNone, 0, nullptr, kNone},
          {E::LastColumn, true, kNone, kNone, 0, nullptr, kNone},
          {E::FirstRowStripe, false, kNone, a(0.8f), 0, nullptr, kNone},
          {E::FirstColumnStripe, false, kNone, a(0.8f), 0, nullptr, kNone}}},
        {"TableStyleMedium",
         1,
         7,
         {{E::WholeTable, false, kD, kNone, Box | H, "thin", a(0.4f)},
          {E::HeaderRow, true, kL, kA, 0, nullptr, kNone},
          {E::TotalRow, true, kNone, kNone, T, "double", kA},
          {E::FirstColumn, true, kNone, kNone, 0, nullptr, kNone},
          {E::LastColumn, true, kNone, kNone, 0, nullptr, kNone},
          {E::FirstRowStripe, false, kNone, a(0.8f), 0, nullptr, kNone},
          {E::FirstColumnStripe, false, kNone, a(0.8f), 0, nullptr, kNone}}},
        {"TableStyleMedium",
         8,
         14,
         {{E::WholeTable, false, kD, a(0.8f), V | H, "thin", kL},
          {E::HeaderRow, true, kL, kA, B, "medium", kD},
          {E::TotalRow, true, kL, kA, T, "medium", kL},
          {E::FirstColumn, true, kL, kA, 0, nullptr, kNone},
          {E::LastColumn, true, kL, kA, 0, nullptr, kNone},
          {E::FirstRowStripe, false, kNone, a(0.6f), 0, nullptr, kNone},
          {E::FirstColumnStripe, false, kNone, a(0.6f), 0, nullptr, kNone}}},
        {"TableStyleMedium",
         15,
         21,
         {{E::WholeTable, false, kD, kNone, All, "thin", kD},
          {E::HeaderRow, true, kL, kA, B, "medium", kD},
          {E::TotalRow, true, kNone, kNone, T, "double", kD},
          {E::FirstColumn, true, kL, kA, 0, nullptr, kNone},
          {E::LastColumn, true, kL, kA, 0, nullptr, kNone},
          {E::FirstRowStripe, false, kNone, {Dark, 0.85f}, 0, nullptr, kNone},
          {E::FirstColumnStripe, false, kNone, {Dark, 0.85f}, 0, nullptr, kNone}}},
        {"TableStyleMedium",
         22,
         28,
         {{E::WholeTable, false, kD, a(0.8f), All, "thin", a(0.4f)},
          {E::HeaderRow, true, kD, kNone, 0, nullptr, kNone},
          {E::TotalRow, true, kD, kNone, T, "medium", kA},
          {E::FirstColumn, true, kD, kNone, 0, nullptr, kNone},
          {E::LastColumn, true, kD, kNone, 0, nullptr, kNone},
          {E::FirstRowStripe, false, kNone, a(0.6f), 0, nullptr, kNone},
          {E::FirstColumnStripe, false, kNone, a(0.6f), 0, nullptr, kNone}}},
        {"TableStyleDark",
         1,
         7,
         {{E::WholeTable, false, kL, a(-0.25f), 0, nullptr, kNone},
          {E::HeaderRow, true, kL, kD, B, "medium", kL},
          {E::TotalRow, true, kL, a(-0.5f), T, "medium", kL},
          {E::FirstColumn, true, kL, a(-0.5f), R, "medium", kL},
          {E::LastColumn, true, kL, a(-0.5f), L, "medium", kL},
          {E::FirstRowStripe, false, kNone, a(-0.5f), 0, nullptr, kNone},
          {E::FirstColumnStripe, false, kNone, a(-0.5f), 0, nullptr, kNone}}},
        {"TableStyleDark",
         8,
         11,
         {{E::WholeTable, false, kD, a(0.8f), 0, nullptr, kNone},
          {E::HeaderRow, true, kL, kA, 0, nullptr, kNone},
          {E::TotalRow, true, kNone, kNone, T, "double", kD},
          {E::FirstColumn, true, kL, {Accent2, 0}, 0, nullptr, kNone},
          {E::LastColumn, true, kL, {Accent2, 0}, 0, nullptr, kNone},
          {E::FirstRowStripe, false, kNone, a(0.6f), 0, nullptr, kNone},
          {E::FirstColumnStripe, false, kNone, a(0.6f), 0, nullptr, kNone}}},
    };
    return f;
}

std::optional<TableStyleDef> builtinStyle(std::string_view name) {
    for (const Family& fam : families()) {
        const size_t n = std::strlen(fam.name);
        if (name.size() <= n || name.substr(0, n) != fam.name) continue;
        int num = 0;
        for (char c : name.substr(n)) {
            if (c < '0' || c > '9') return std::nullopt;
            num = num * 10 + (c - '0');
        }
        if (num < fam.first || num > fam.last) continue;
        const int k = num - fam.first;  // 0: the dark text colour, then the accents
        // The dark pair family (Dark8-11) pairs the accents 1/2, 3/4, 5/6: its colour is the
        // second (Dark9 is orange), its columns the first.
        const bool pairs = fam.last - fam.first == 3;
        const int accent = k == 0 ? -1 : pairs ? 2 * k : k;
        auto color = [&](Tinted t) {
            Color c;
            switch (t.role) {
                case None:
                    return c;
                case Dark:
                    return Color::theme(1, t.tint);
                case Light:
                    return Color::theme(0, t.tint);
                case Accent2:
                    return accent < 0 ? Color::theme(1) : Color::theme(uint32_t(3 + accent - 1));
                case Accent:
                    break;
            }
            if (accent >= 0) return Color::theme(uint32_t(3 + accent), t.tint);
            // The dark text colour cannot be darkened: shades become greys.
            return Color::theme(1, t.tint < 0 ? 0.35 : t.tint == 0 ? 0 : double(t.tint) + 0.05);
        };
        TableStyleDef def;
        for (const ElementSpec& s : fam.elements) {
            DiffFormat d;
            d.bold = s.bold;
            d.fontColor = color(s.font);
            d.fill = color(s.fill);
            auto sides = [&](uint8_t bits, const char* style, Tinted tc) {
                if (!bits || !style) return;
                BorderSide side{style, color(tc)};
                if (bits & L) d.left = side;
                if (bits & R) d.right = side;
                if (bits & T) d.top = side;
                if (bits & B) d.bottom = side;
                if (bits & V) d.vertical = side;
                if (bits & H) d.horizontal = side;
            };
            sides(s.sides, s.border, s.borderColor);
            sides(s.sides2, s.border2, s.borderColor2);
            def.elements[size_t(s.element)] = d;
        }
        return def;
    }
    return std::nullopt;
}

std::string lookKey(const DiffFormat& d) {
    std::string k;
    k.reserve(96);
    auto color = [&](const Color& c) {  // its bytes: a key, not a text
        k += char(c.kind);
        k.append(reinterpret_cast<const char*>(&c.value), sizeof c.value);
        k.append(reinterpret_cast<const char*>(&c.tint), sizeof c.tint);
    };
    k += d.bold ? 'b' : '-';
    k += d.italic ? 'i' : '-';
    color(d.fontColor);
    color(d.fill);
    for (const BorderSide* s : {&d.left, &d.right, &d.top, &d.bottom}) {
        k += s->style + ',';
        color(s->color);
    }
    return k;
}

}  // namespace

DiffFormat parseDxf(std::string_view xml) {
    DiffFormat d;
    Tag t;
    std::string_view section;  // font, fill, border
    BorderSide* side = nullptr;
    std::string pattern = "solid";
    Color fg, bg;
    for (size_t pos = 0; nextTag(xml, pos, t); pos = t.end) {
        std::string_view tag = xml.substr(t.begin, t.end - t.begin);
        if (t.closing) {
            if (t.local == "font" || t.local == "fill" || t.local == "border") section = {};
            continue;
        }
        if (t.local == "font" || t.local == "fill" || t.local == "border") {
            section = t.local;
            continue;
        }
        if (section == "font") {
            if (t.local == "b") d.bold = on(tag);
            if (t.local == "i") d.italic = on(tag);
            if (t.local == "color") d.fontColor = colorOf(tag);
        } else if (section == "fill") {
            if (t.local == "patternFill") pattern = attr(tag, "patternType").value_or("solid");
            if (t.local == "fgColor") fg = colorOf(tag);
            if (t.local == "bgColor") bg = colorOf(tag);
        } else if (section == "border") {
            if (t.local == "color") {
                if (side) side->color = colorOf(tag);
                continue;
            }
            side = t.local == "left" || t.local == "start"  ? &d.left
                   : t.local == "right" || t.local == "end" ? &d.right
                   : t.local == "top"                       ? &d.top
                   : t.local == "bottom"                    ? &d.bottom
                   : t.local == "vertical"                  ? &d.vertical
                   : t.local == "horizontal"                ? &d.horizontal
                                                            : nullptr;
            if (side) side->style = attr(tag, "style").value_or("");
            if (side && side->style.empty()) side = nullptr;
        }
    }
    // A differential solid fill gives its colour as the background.
    if (pattern == "solid") d.fill = bg.isSet() ? bg : fg;
    return d;
}

std::optional<TableStyleDef> findTableStyle(const StyleTable& styles, std::string_view name) {
    std::string_view xml = styles.tableStylesXml;
    Tag t;
    bool inStyle = false, found = false;
    TableStyleDef def;
    static const std::pair<std::string_view, TableElement> kTypes[] = {
        {"wholeTable", E::WholeTable},
        {"firstColumnStripe", E::FirstColumnStripe},
        {"secondColumnStripe", E::SecondColumnStripe},
        {"firstRowStripe", E::FirstRowStripe},
        {"secondRowStripe", E::SecondRowStripe},
        {"lastColumn", E::LastColumn},
        {"firstColumn", E::FirstColumn},
        {"headerRow", E::HeaderRow},
        {"totalRow", E::TotalRow},
        {"firstHeaderCell", E::FirstHeaderCell},
        {"lastHeaderCell", E::LastHeaderCell},
        {"firstTotalCell", E::FirstTotalCell},
        {"lastTotalCell", E::LastTotalCell}};
    for (size_t pos = 0; nextTag(xml, pos, t); pos = t.end) {
        std::string_view tag = xml.substr(t.begin, t.end - t.begin);
        if (t.local == "tableStyle") {
            if (t.closing) {
                if (inStyle) break;
                continue;
            }
            inStyle = attr(tag, "name") == std::string(name);
            found = found || inStyle;
            if (inStyle && t.empty) break;
        } else if (inStyle && t.local == "tableStyleElement" && !t.closing) {
            const std::string type = attr(tag, "type").value_or("");
            for (const auto& [n, e] : kTypes) {
                if (type != n) continue;
                auto id = attr(tag, "dxfId");
                const size_t dxf = id ? std::strtoul(id->c_str(), nullptr, 10) : SIZE_MAX;
                def.elements[size_t(e)] =
                    dxf < styles.dxfsXml.size() ? parseDxf(styles.dxfsXml[dxf]) : DiffFormat{};
                if (auto size = attr(tag, "size")) {
                    const uint32_t s = uint32_t(std::strtoul(size->c_str(), nullptr, 10));
                    const int slot = e == E::FirstColumnStripe    ? 0
                                     : e == E::SecondColumnStripe ? 1
                                     : e == E::FirstRowStripe     ? 2
                                     : e == E::SecondRowStripe    ? 3
                                                                  : -1;
                    if (slot >= 0 && s >= 1 && s <= 9) def.stripeSize[size_t(slot)] = s;
                }
            }
        }
    }
    if (found) return def;
    return builtinStyle(name);
}

DiffFormat cellLook(const TableStyleDef& style, const TableShape& shape, uint32_t row,
                    uint32_t col) {
    DiffFormat out;
    const CellRange& ref = shape.ref;
    const uint32_t dataFirst = ref.firstRow + shape.headerRows;
    const uint32_t dataLast = ref.lastRow - shape.totalsRows;
    const bool header = row<dataFirst, total = row> dataLast;
    auto lay = [&](TableElement e, CellRange region) {
        const auto& d = style.elements[size_t(e)];
        if (!d || !region.contains(row, col)) return;
        out.bold = out.bold || d->bold;
        out.italic = out.italic || d->italic;
        if (d->fontColor.isSet()) out.fontColor = d->fontColor;
        if (d->fill.isSet()) out.fill = d->fill;
        auto side = [](BorderSide& to, const BorderSide& edge, const BorderSide& inner,
                       bool atEdge) {
            const BorderSide& s = atEdge ? edge : inner;
            if (!s.style.empty()) to = s;
        };
        side(out.left, d->left, d->vertical, col == region.firstCol);
        side(out.right, d->right, d->vertical, col == region.lastCol);
        side(out.top, d->top, d->horizontal, row == region.firstRow);
        side(out.bottom, d->bottom, d->horizontal, row == region.lastRow);
    };
    lay(E::WholeTable, ref);
    // Stripes cover the data rows in bands of their sizes.
    auto band = [&](uint32_t pos, uint32_t first, uint32_t second, uint32_t& start) {
        const uint32_t cycle = first + second, at = pos % cycle;
        start = pos - (at < first ? at : at - first);
        return at < first;
    };
    if (!header && !total && dataFirst <= dataLast) {
        if (shape.columnStripes) {
            uint32_t start = 0;
            const bool first =
                band(col - ref.firstCol, style.stripeSize[0], style.stripeSize[1], start);
            const uint32_t size = first ? style.stripeSize[0] : style.stripeSize[1];
            const uint32_t c1 = ref.firstCol + start;
            lay(first ? E::FirstColumnStripe : E::SecondColumnStripe,
                {dataFirst, c1, dataLast, std::min(ref.lastCol, c1 + size - 1)});
        }
        if (shape.rowStripes) {
            uint32_t start = 0;
            const bool first =
                band(row - dataFirst, style.stripeSize[2], style.stripeSize[3], start);
            const uint32_t size = first ? style.stripeSize[2] : style.stripeSize[3];
            const uint32_t r1 = dataFirst + start;
            lay(first ? E::FirstRowStripe : E::SecondRowStripe,
                {r1, ref.firstCol, std::min(dataLast, r1 + size - 1), ref.lastCol});
        }
    }
    if (shape.lastColumn) lay(E::LastColumn, {ref.firstRow, ref.lastCol, ref.lastRow, ref.lastCol});
    if (shape.firstColumn)
        lay(E::FirstColumn, {ref.firstRow, ref.firstCol, ref.lastRow, ref.firstCol});
    if (shape.headerRows)
        lay(E::HeaderRow, {ref.firstRow, ref.firstCol, dataFirst - 1, ref.lastCol});
    if (shape.totalsRows) lay(E::TotalRow, {dataLast + 1, ref.firstCol, ref.lastRow, ref.lastCol});
    if (shape.headerRows && shape.firstColumn)
        lay(E::FirstHeaderCell, {ref.firstRow, ref.firstCol, ref.firstRow, ref.firstCol});
    if (shape.headerRows && shape.lastColumn)
        lay(E::LastHeaderCell, {ref.firstRow, ref.lastCol, ref.firstRow, ref.lastCol});
    if (shape.totalsRows && shape.firstColumn)
        lay(E::FirstTotalCell, {ref.lastRow, ref.firstCol, ref.lastRow, ref.firstCol});
    if (shape.totalsRows && shape.lastColumn)
        lay(E::LastTotalCell, {ref.lastRow, ref.lastCol, ref.lastRow, ref.lastCol});
    return out;
}

uint32_t LookApplier::apply(uint32_t xf, const DiffFormat& look, const Color& plain) {
    if (xf >= styles_.cellXfs.size()) xf = 0;
    std::string key = lookKey(look);
    key.append(reinterpret_cast<const char*>(&xf), sizeof xf);
    key += char(plain.kind);
    key.append(reinterpret_cast<const char*>(&plain.value), sizeof plain.value);
    key.append(reinterpret_cast<const char*>(&plain.tint), sizeof plain.tint);
    if (auto it = cache_.find(key); it != cache_.end()) return it->second;
    CellFormat cf = styles_.cellXfs[xf];
    bool changed = false;
    if (cf.fontId < styles_.fonts.size()) {
        Font f = styles_.fonts[cf.fontId];
        bool fc = false;
        if (look.bold && !f.bold) f.bold = fc = true;
        if (look.italic && !f.italic) f.italic = fc = true;
        if (look.fontColor.isSet() &&
            (!f.color.isSet() || f.color == plain ||
             (!styles_.fonts.empty() && f.color == styles_.fonts[0].color)) &&
            !(f.color == look.fontColor)) {
            f.color = look.fontColor;
            fc = true;
        }
        if (fc) {
            cf.fontId = styles_.internFont(f);
            cf.applyFont = changed = true;
        }
    }
    if (look.fill.isSet() && cf.fillId < styles_.fills.size() &&
        styles_.fills[cf.fillId].patternType == "none" && !styles_.fills[cf.fillId].gradient) {
        Fill fill;
        fill.patternType = "solid";
        fill.fg = look.fill;
        fill.bg = Color::indexed(64);
        cf.fillId = styles_.internFill(fill);
        cf.applyFill = changed = true;
    }
    if (cf.borderId < styles_.borders.size()) {
        Border b = styles_.borders[cf.borderId];
        bool bc = false;
        auto side = [&](BorderSide& own, const BorderSide& s) {
            if (own.style.empty() && !s.style.empty()) {
                own = s;
                bc = true;
            }
        };
        side(b.left, look.left);
        side(b.right, look.right);
        side(b.top, look.top);
        side(b.bottom, look.bottom);
        if (bc) {
            cf.borderId = styles_.internBorder(b);
            cf.applyBorder = changed = true;
        }
    }
    const uint32_t out = changed ? styles_.internCellFormat(cf) : xf;
    cache_.emplace(std::move(key), out);
    return out;
}

}  // namespace ss

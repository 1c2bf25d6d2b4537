// The styles part: the cell formats the written cells use, renumbered with the fonts, fills,
// borders and number formats they refer to.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "write_internal.h"

namespace ss {

namespace {

void attrI(std::string& out, const char* name, int64_t v) {
    out += ' ';
    out += name;
    out += "=\"";
    out += std::to_string(v);
    out += '"';
}

std::string hex8(uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

}  // namespace

StylePlan planStyles(const Workbook& wb, const std::vector<uint8_t>& used) {
    const StyleTable& t = wb.styles;
    StylePlan p;
    p.xfMap.assign(t.cellXfs.size(), UINT32_MAX);
    for (uint32_t i = 0; i < t.cellXfs.size(); ++i)
        if (used[i]) {
            p.xfMap[i] = uint32_t(p.xfs.size());
            p.xfs.push_back(i);
        }

    auto take = [](std::vector<uint32_t>& map, std::vector<uint32_t>& order, size_t n,
                   uint32_t id) {
        if (map.empty()) map.assign(n, UINT32_MAX);
        if (id < n && map[id] == UINT32_MAX) {
            map[id] = uint32_t(order.size());
            order.push_back(id);
        }
    };
    // Index 0 stays first in every list; fills 0 and 1 are the two the format reserves.
    take(p.fontMap, p.fonts, t.fonts.size(), 0);
    take(p.fillMap, p.fills, t.fills.size(), 0);
    take(p.fillMap, p.fills, t.fills.size(), 1);
    take(p.borderMap, p.borders, t.borders.size(), 0);
    auto useXf = [&](const CellFormat& x) {
        take(p.fontMap, p.fonts, t.fonts.size(), x.fontId);
        take(p.fillMap, p.fills, t.fills.size(), x.fillId);
        take(p.borderMap, p.borders, t.borders.size(), x.borderId);
        if (t.numFmts.count(x.numFmtId)) p.numFmts.insert(x.numFmtId);
    };
    for (const CellFormat& x : t.cellStyleXfs) useXf(x);
    for (uint32_t old : p.xfs) useXf(t.cellXfs[old]);
    return p;
}

void writeColor(std::string& out, const char* element, const Color& c) {
    if (!c.isSet()) return;
    out += '<';
    out += element;
    switch (c.kind) {
        case Color::Kind::Auto:
            out += " auto=\"1\"";
            break;
        case Color::Kind::Rgb:
            attrS(out, "rgb", hex8(c.value));
            break;
        case Color::Kind::Indexed:
            attrU(out, "indexed", c.value);
            break;
        case Color::Kind::Theme:
            attrU(out, "theme", c.value);
            break;
        case Color::Kind::None:
            break;
    }
    if (c.tint != 0) attrD(out, "tint", c.tint);
    out += "/>";
}

void writeFontBody(std::string& out, const Font& f, bool run) {
    auto flag = [&](const char* n, bool on) {
        if (on) {
            out += '<';
            out += n;
            out += "/>";
        }
    };
    flag("b", f.bold);
    flag("i", f.italic);
    flag("strike", f.strike);
    flag("condense", f.condense);
    flag("extend", f.extend);
    flag("outline", f.outline);
    flag("shadow", f.shadow);
    if (!f.underline.empty()) {
        out += "<u";
        if (f.underline != "single") attrS(out, "val", f.underline);
        out += "/>";
    }
    if (!f.vertAlign.empty()) {
        out += "<vertAlign";
        attrS(out, "val", f.vertAlign);
        out += "/>";
    }
    if (f.size > 0) {
        out += "<sz";
        attrD(out, "val", f.size);
        out += "/>";
    }
    writeColor(out, "color", f.color);
    if (!f.name.empty()) {
        out += run ? "<rFont" : "<name";
        attrS(out, "val", f.name);
        out += "/>";
    }
    if (f.family >= 0 && f.family <= 14) {  // the format's range; some .xls writers go beyond
        out += "<family";
        attrI(out, "val", f.family);
        out += "/>";
    }
    if (f.charset >= 0) {
        out += "<charset";
        attrI(out, "val", f.charset);
        out += "/>";
    }
    if (!f.scheme.empty()) {
        out += "<scheme";
        attrS(out, "val", f.scheme);
        out += "/>";
    }
}

namespace {

void writeFill(std::string& out, const Fill& f) {
    out += "<fill>";
    if (f.gradient) {
        out += "<gradientFill";
        if (f.gradientType == "path") attrS(out, "type", "path");
        if (f.degree != 0) attrD(out, "degree", f.degree);
        if (f.left != 0) attrD(out, "left", f.left);
        if (f.right != 0) attrD(out, "right", f.right);
        if (f.top != 0) attrD(out, "top", f.top);
        if (f.bottom != 0) attrD(out, "bottom", f.bottom);
        out += '>';
        for (const GradientStop& s : f.stops) {
            out += "<stop";
            attrD(out, "position", s.position);
            out += '>';
            Color c = s.color.isSet() ? s.color : Color::rgb(0xFF000000);
            writeColor(out, "color", c);
            out += "</stop>";
        }
        out += "</gradientFill>";
    } else {
        out += "<patternFill";
        if (!f.patternType.empty()) attrS(out, "patternType", f.patternType);
        if (f.fg.isSet() || f.bg.isSet()) {
            out += '>';
            writeColor(out, "fgColor", f.fg);
            writeColor(out, "bgColor", f.bg);
            out += "</patternFill>";
        } else {
            out += "/>";
        }
    }
    out += "</fill>";
}

void writeBorder(std::string& out, const Border& b) {
    out += "<border";
    if (b.diagonalUp) out += " diagonalUp=\"1\"";
    if (b.diagonalDown) out += " diagonalDown=\"1\"";
    if (!b.outline) out += " outline=\"0\"";
    out += '>';
    auto side = [&](const char* n, const BorderSide& s, bool always) {
        if (!always && s.style.empty() && !s.color.isSet()) return;
        out += '<';
        out += n;
        if (!s.style.empty()) attrS(out, "style", s.style);
        if (s.color.isSet()) {
            out += '>';
            writeColor(out, "color", s.color);
            out += "</";
            out += n;
            out += '>';
        } else {
            out += "/>";
        }
    };
    side("left", b.left, true);
    side("right", b.right, true);
    side("top", b.top, true);
    side("bottom", b.bottom, true);
    side("diagonal", b.diagonal, true);
    side("vertical", b.vertical, false);
    side("horizontal", b.horizontal, false);
    out += "</border>";
}

void writeXf(std::string& out, const CellFormat& x, const StylePlan& p, bool cellXf,
             const std::vector<uint32_t>& styleXfValid) {
    out += "<xf";
    attrU(out, "numFmtId", x.numFmtId);
    attrU(out, "fontId", x.fontId < p.fontMap.size() ? p.fontMap[x.fontId] : 0);
    attrU(out, "fillId", x.fillId < p.fillMap.size() ? p.fillMap[x.fillId] : 0);
    attrU(out, "borderId", x.borderId < p.borderMap.size() ? p.borderMap[x.borderId] : 0);
    if (cellXf) attrU(out, "xfId", x.xfId < styleXfValid.size() ? x.xfId : 0);
    if (x.quotePrefix) out += " quotePrefix=\"1\"";
    if (x.applyNumberFormat) out += " applyNumberFormat=\"1\"";
    if (x.applyFont) out += " applyFont=\"1\"";
    if (x.applyFill) out += " applyFill=\"1\"";
    if (x.applyBorder) out += " applyBorder=\"1\"";
    if (x.applyAlignment) out += " applyAlignment=\"1\"";
    if (x.applyProtection) out += " applyProtection=\"1\"";
    if (x.alignment.isDefault() && x.protection.isDefault()) {
        out += "/>";
        return;
    }
    out += '>';
    if (!x.alignment.isDefault()) {
        const Alignment& a = x.alignment;
        out += "<alignment";
        if (!a.horizontal.empty()) attrS(out, "horizontal", a.horizontal);
        if (!a.vertical.empty()) attrS(out, "vertical", a.vertical);
        if (a.textRotation) attrI(out, "textRotation", a.textRotation);
        if (a.wrapText) out += " wrapText=\"1\"";
        if (a.indent) attrI(out, "indent", a.indent);
        if (a.relativeIndent) attrI(out, "relativeIndent", a.relativeIndent);
        if (a.justifyLastLine) out += " justifyLastLine=\"1\"";
        if (a.shrinkToFit) out += " shrinkToFit=\"1\"";
        if (a.readingOrder) attrI(out, "readingOrder", a.readingOrder);
        out += "/>";
    }
    if (!x.protection.isDefault()) {
        out += "<protection";
        if (!x.protection.locked) out += " locked=\"0\"";
        if (x.protection.hidden) out += " hidden=\"1\"";
        out += "/>";
    }
    out += "</xf>";
}

}  // namespace

std::string stylesPart(const StyleTable& t, const StylePlan& p) {
    std::string out = kXmlDecl;
    out += "<styleSheet xmlns=\"";
    out += kMainNs;
    out += "\">";
    if (!p.numFmts.empty()) {
        out += "<numFmts";
        attrU(out, "count", p.numFmts.size());
        out += '>';
        for (uint32_t id : p.numFmts) {
            out += "<numFmt";
            attrU(out, "numFmtId", id);
            attrS(out, "formatCode", t.numFmts.at(id));
            out += "/>";
        }
        out += "</numFmts>";
    }
    out += "<fonts";
    attrU(out, "count", p.fonts.size());
    out += '>';
    for (uint32_t i : p.fonts) {
        out += "<font>";
        writeFontBody(out, t.fonts[i], false);
        out += "</font>";
    }
    out += "</fonts><fills";
    attrU(out, "count", p.fills.size());
    out += '>';
    for (uint32_t i : p.fills) writeFill(out, t.fills[i]);
    out += "</fills><borders";
    attrU(out, "count", p.borders.size());
    out += '>';
    for (uint32_t i : p.borders) writeBorder(out, t.borders[i]);
    out += "</borders><cellStyleXfs";
    attrU(out, "count", t.cellStyleXfs.size());
    out += '>';
    std::vector<uint32_t> styleXfs(t.cellStyleXfs.size());
    for (const CellFormat& x : t.cellStyleXfs) writeXf(out, x, p, false, styleXfs);
    out += "</cellStyleXfs><cellXfs";
    attrU(out, "count", p.xfs.size());
    out += '>';
    for (uint32_t i : p.xfs) writeXf(out, t.cellXfs[i], p, true, styleXfs);
    out += "</cellXfs><cellStyles";
    attrU(out, "count", t.cellStyles.size());
    out += '>';
    for (const NamedCellStyle& s : t.cellStyles) {
        out += "<cellStyle";
        attrS(out, "name", s.name);
        attrU(out, "xfId", s.xfId);
        if (s.builtinId >= 0) attrI(out, "builtinId", s.builtinId);
        if (s.iLevel >= 0) attrI(out, "iLevel", s.iLevel);
        if (s.hidden) out += " hidden=\"1\"";
        if (s.customBuiltin) out += " customBuiltin=\"1\"";
        out += "/>";
    }
    out += "</cellStyles>";
    out += "<dxfs";
    attrU(out, "count", t.dxfsXml.size());
    out += '>';
    for (const std::string& d : t.dxfsXml) out += d;
    out += "</dxfs>";
    if (!t.tableStylesXml.empty()) out += t.tableStylesXml;
    if (!t.indexedColors.empty() || !t.mruColors.empty()) {
        out += "<colors>";
        if (!t.indexedColors.empty()) {
            out += "<indexedColors>";
            for (uint32_t c : t.indexedColors) {
                out += "<rgbColor";
                attrS(out, "rgb", hex8(c));
                out += "/>";
            }
            out += "</indexedColors>";
        }
        if (!t.mruColors.empty()) {
            out += "<mruColors>";
            for (uint32_t c : t.mruColors) {
                out += "<color";
                attrS(out, "rgb", hex8(c));
                out += "/>";
            }
            out += "</mruColors>";
        }
        out += "</colors>";
    }
    out += "</styleSheet>";
    return out;
}

}  // namespace ss

// Writing the workbook model as an .xlsx/.xlsm package: one function per part, then the zip.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <thread>

#include "package.h"
#include "part_deflater.h"
#include "../carry/legacy_shapes.h"
#include "../carry/table_copy.h"
#include "part_graph.h"
#include "xlsx.h"
#include "xml_util.h"
#include "../text/number_text.h"

namespace ss {

namespace {

using xml::appendXstring;
using namespace std::string_view_literals;

constexpr const char* kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr const char* kRelNs =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr const char* kRelType =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
constexpr const char* kXmlDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

// ISA-L deflate level of every part: level 3 keeps the merged sheets' XML within 1.2 times
// zlib level 6's size (level 1: 1.21-1.26) at 1.6 times zlib level 1's speed (bench/README.md).
constexpr int kDeflateLevel = 3;
// From this many cells on, a second thread deflates while the sheets are written.
constexpr uint64_t kThreadedCells = 20000;
constexpr uint64_t kSmallChunkCells = 200000;

void appendU(std::string& out, uint64_t v) {
    char buf[24];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, p);
}

void appendI(std::string& out, int64_t v) {
    char buf[24];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, p);
}

void appendDouble(std::string& out, double v) {
    // Whole numbers (counts, dates, amounts in cents ...) are written as integers: the same
    // value, without the general shortest-form search.
    if (v >= -1e15 && v <= 1e15 && v == double(int64_t(v)) && (v != 0 || !std::signbit(v))) {
        appendI(out, int64_t(v));
        return;
    }
    char buf[40];
    out.append(buf, shortestChars(buf, v));
}

void attrS(std::string& out, const char* name, std::string_view v) {
    out += ' ';
    out += name;
    out += "=\"";
    appendXstring(out, v, true);
    out += '"';
}

void attrU(std::string& out, const char* name, uint64_t v) {
    out += ' ';
    out += name;
    out += "=\"";
    appendU(out, v);
    out += '"';
}

void attrD(std::string& out, const char* name, double v) {
    out += ' ';
    out += name;
    out += "=\"";
    appendDouble(out, v);
    out += '"';
}

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

// ---- styles ----------------------------------------------------------------------------------

// The styles the written cells use, renumbered: cell formats, and the fonts, fills, borders
// and number formats those (and the named styles) refer to.
struct StylePlan {
    std::vector<uint32_t> xfMap;  // old cellXfs index -> new, or UINT32_MAX when unused
    std::vector<uint32_t> xfs;    // new order: old indexes
    std::vector<uint32_t> fontMap, fillMap, borderMap;
    std::vector<uint32_t> fonts, fills, borders;
    std::set<uint32_t> numFmts;  // custom ids in use
    uint32_t xf(uint32_t old) const {
        return old < xfMap.size() && xfMap[old] != UINT32_MAX ? xfMap[old] : 0;
    }
};

// The shared strings the written cells use, renumbered in the order of first use.
struct StringPlan {
    std::vector<uint32_t> map;    // workbook string index -> written index, or UINT32_MAX
    std::vector<uint32_t> order;  // written index -> workbook string index
    uint64_t refs = 0;
};

// One pass over the written cells (the largest part of the model) for what both plans need:
// the cell formats in use (`usedXf`, by workbook index) and the strings. Returns the number
// of cells.
uint64_t scanCells(const Workbook& wb, const std::vector<const Worksheet*>& sheets,
                   std::vector<uint8_t>& usedXf, StringPlan& strings) {
    usedXf.assign(wb.styles.cellXfs.size(), 0);
    if (!usedXf.empty()) usedXf[0] = 1;
    const size_t xfs = usedXf.size();
    uint8_t* const used = usedXf.data();
    strings.map.assign(wb.strings.size(), UINT32_MAX);
    uint32_t* const map = strings.map.data();
    const size_t known = strings.map.size();
    uint64_t cells = 0;
    for (const Worksheet* ws : sheets) {
        for (const Row& r : ws->rows()) {
            if (r.customFormat && r.style < xfs) used[r.style] = 1;
            cells += r.cells.size();
            for (const Cell& c : r.cells) {
                if (c.style < xfs) used[c.style] = 1;
                if (c.type == CellType::String && !c.hasFormula() && c.sst < known) {
                    ++strings.refs;
                    if (map[c.sst] == UINT32_MAX) {
                        map[c.sst] = uint32_t(strings.order.size());
                        strings.order.push_back(c.sst);
                    }
                }
            }
        }
        for (const ColumnInfo& c : ws->columns)
            if (c.style < xfs) used[c.style] = 1;
    }
    return cells;
}

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
    if (f.family >= 0) {
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

// ---- shared strings --------------------------------------------------------------------------

void appendText(std::string& out, std::string_view s) {
    out += "<t";
    if (!s.empty() && (s.front() == ' ' || s.back() == ' ' || s.front() == '\n' ||
                       s.back() == '\n' || s.front() == '\t' || s.back() == '\t'))
        out += " xml:space=\"preserve\"";
    out += '>';
    appendXstring(out, s);
    out += "</t>";
}

void stringsPart(const SharedStrings& ss, const StringPlan& p, xlsx::PartDeflater& sink) {
    std::string& out = sink.out();
    out = kXmlDecl;
    out += "<sst xmlns=\"";
    out += kMainNs;
    out += '"';
    attrU(out, "count", p.refs);
    attrU(out, "uniqueCount", p.order.size());
    out += '>';
    for (uint32_t i : p.order) {
        out += "<si>";
        if (const auto* runs = ss.runs(i)) {
            for (const RichRun& r : *runs) {
                out += "<r>";
                if (r.font) {
                    out += "<rPr>";
                    writeFontBody(out, *r.font, true);
                    out += "</rPr>";
                }
                appendText(out, r.text);
                out += "</r>";
            }
        } else {
            appendText(out, ss.text(i));
        }
        out += "</si>";
        sink.flushIfFull();
    }
    out += "</sst>";
}

// ---- worksheets ------------------------------------------------------------------------------

int preservedRank(std::string_view e) {
    static const char* order[] = {"sheetProtection", "protectedRanges", "autoFilter",
                                  "sortState",       "mergeCells",      "conditionalFormatting",
                                  "dataValidations", "hyperlinks",      "printOptions",
                                  "pageMargins",     "pageSetup",       "headerFooter",
                                  "rowBreaks",       "colBreaks",       "ignoredErrors",
                                  "drawing",         "legacyDrawing",   "legacyDrawingHF",
                                  "drawingHF",       "picture",         "oleObjects",
                                  "controls",        "tableParts",      "extLst"};
    for (int i = 0; i < int(std::size(order)); ++i)
        if (e == order[i]) return i;
    return -1;
}

class SheetWriter {
public:
    SheetWriter(const Workbook& wb, const Worksheet& ws, const StylePlan& sp,
                const StringPlan& strings, xlsx::PartDeflater& sink,
                const xlsx::PartGraphWriter::SheetOut& carried)
        : wb_(wb),
          ws_(ws),
          sp_(sp),
          strings_(strings),
          sink_(sink),
          out_(sink.out()),
          carried_(carried) {}

    void write() {
        out_ = kXmlDecl;
        out_ += "<worksheet xmlns=\"";
        out_ += kMainNs;
        out_ += "\" xmlns:r=\"";
        out_ += kRelNs;
        out_ += '"';
        out_ += carried_.namespaces;
        out_ += '>';
        const bool tab = ws_.tabColor && ws_.tabColor->isSet();
        if (tab || ws_.fitToPage) {
            out_ += "<sheetPr>";
            if (tab) writeColor(out_, "tabColor", *ws_.tabColor);
            if (ws_.fitToPage) out_ += "<pageSetUpPr fitToPage=\"1\"/>";
            out_ += "</sheetPr>";
        }
        auto bounds = ws_.contentBounds();
        out_ += "<dimension ref=\"";
        out_ += bounds ? bounds->toA1() : "A1";
        out_ += "\"/>";
        views();
        out_ += "<sheetFormatPr";
        if (ws_.baseColWidth != 8) attrU(out_, "baseColWidth", ws_.baseColWidth);
        if (ws_.defaultColWidth) attrD(out_, "defaultColWidth", *ws_.defaultColWidth);
        attrD(out_, "defaultRowHeight", ws_.defaultRowHeight > 0 ? ws_.defaultRowHeight : 15.0);
        if (ws_.customDefaultRowHeight) out_ += " customHeight=\"1\"";
        out_ += "/>";
        columns();
        sheetData();
        tail();
        out_ += "</worksheet>";
    }

private:
    void views() {
        out_ += "<sheetViews><sheetView";
        if (!ws_.showGridLines) out_ += " showGridLines=\"0\"";
        if (ws_.rightToLeft) out_ += " rightToLeft=\"1\"";
        if (ws_.tabSelected) out_ += " tabSelected=\"1\"";
        if (ws_.zoomScale != 100 && ws_.zoomScale >= 10 && ws_.zoomScale <= 400)
            attrU(out_, "zoomScale", ws_.zoomScale);
        out_ += " workbookViewId=\"0\"";
        uint32_t fr = std::min(ws_.frozenRows, kXlsxMaxRows - 1);
        uint32_t fc = std::min(ws_.frozenCols, kXlsxMaxCols - 1);
        if (fr || fc) {
            out_ += "><pane";
            if (fc) attrU(out_, "xSplit", fc);
            if (fr) attrU(out_, "ySplit", fr);
            attrS(out_, "topLeftCell", cellName(fr + 1, fc + 1));
            out_ += fr && fc ? " activePane=\"bottomRight\""
                    : fr     ? " activePane=\"bottomLeft\""
                             : " activePane=\"topRight\"";
            out_ += " state=\"frozen\"/></sheetView>";
        } else {
            out_ += "/>";
        }
        out_ += "</sheetViews>";
    }

    void columns() {
        if (ws_.columns.empty()) return;
        out_ += "<cols>";
        for (const ColumnInfo& c : ws_.columns) {
            out_ += "<col";
            attrU(out_, "min", c.first);
            attrU(out_, "max", c.last);
            if (c.width > 0) attrD(out_, "width", c.width);
            if (c.style) attrU(out_, "style", sp_.xf(c.style));
            if (c.hidden) out_ += " hidden=\"1\"";
            if (c.bestFit) out_ += " bestFit=\"1\"";
            if (c.customWidth) out_ += " customWidth=\"1\"";
            if (c.outlineLevel) attrU(out_, "outlineLevel", c.outlineLevel);
            if (c.collapsed) out_ += " collapsed=\"1\"";
            out_ += "/>";
        }
        out_ += "</cols>";
    }

    const std::string& letters(uint16_t col) {
        if (col >= letters_.size()) letters_.resize(size_t(col) + 1);
        std::string& l = letters_[col];
        if (l.empty()) l = columnLetters(col);
        return l;
    }

    void cellRef(uint32_t row, uint16_t col) {
        out_ += letters(col);
        appendU(out_, row);
    }

    static char* put(char* p, std::string_view s) {
        std::memcpy(p, s.data(), s.size());
        return p + s.size();
    }

    // The common cell: a number, a shared string, a truth value or a styled blank, without a
    // formula. Runs of them are put together in place at the end of the buffer (room made
    // first, the rest cut off after: copying from a scratch buffer stalled on reading back what
    // was just stored, and making room per cell cost as much as the cell); each comes out
    // exactly as cell() writes it.
    static bool isPlain(const Cell& c) {
        return !c.hasFormula() && c.type != CellType::Error &&
               (c.type != CellType::Number || std::isfinite(c.number));
    }
    static constexpr size_t kPlainRoom = 160;  // the most a plain cell can take, and to spare
    static constexpr size_t kPlainRun = 256;   // cells given room at once

    // Writes the plain cell `c` at `p`, which has kPlainRoom bytes; returns the end.
    char* plainCellAt(char* p, const Cell& c) {
        p = put(p, "<c r=\"");
        p = put(p, letters(c.col));
        // The row's digits and the style attribute are written once per row and per style;
        // whole 16-byte pieces are copied (the room allows), and the pointer moves by their
        // length.
        std::memcpy(p, rowDigits_, sizeof rowDigits_);
        p += rowDigitCount_;
        *p++ = '"';
        if (c.style) {
            const Piece& style = styleAttr(c.style);
            std::memcpy(p, style.text, sizeof style.text);
            p += style.size;
        }
        switch (c.type) {
            case CellType::Empty:
                p = put(p, "/>");
                break;
            case CellType::Number: {
                p = put(p, "><v>");
                const double v = c.number;
                if (v >= -1e15 && v <= 1e15 && v == double(int64_t(v)) &&
                    (v != 0 || !std::signbit(v)))
                    p = std::to_chars(p, p + 24, int64_t(v)).ptr;
                else
                    p = shortestChars(p, v);
                p = put(p, "</v></c>");
                break;
            }
            case CellType::String:
                p = put(p, " t=\"s\"><v>");
                p = std::to_chars(p, p + 12, c.sst < strings_.map.size() ? strings_.map[c.sst] : 0)
                        .ptr;
                p = put(p, "</v></c>");
                break;
            case CellType::Boolean:
                p = put(p, c.boolean ? " t=\"b\"><v>1</v></c>" : " t=\"b\"><v>0</v></c>");
                break;
            case CellType::Error:
                break;  // not plain
        }
        return p;
    }

    // The cells of one row: runs of plain ones in place, the others through cell().
    void rowCells(const Row& r) {
        const Cell* c = r.cells.data();
        const Cell* const end = c + r.cells.size();
        while (c != end) {
            if (!isPlain(*c)) {
                cell(r.index, *c++);
                continue;
            }
            const Cell* runEnd = c + 1;
            while (runEnd != end && size_t(runEnd - c) < kPlainRun && isPlain(*runEnd)) ++runEnd;
            const size_t at = out_.size();
            out_.resize(at + size_t(runEnd - c) * kPlainRoom);
            char* p = out_.data() + at;
            for (; c != runEnd; ++c) p = plainCellAt(p, *c);
            out_.resize(size_t(p - out_.data()));
        }
    }

    // A short text of at most 16 bytes, copied whole.
    struct Piece {
        char text[16] = {};
        uint8_t size = 0;
    };
    // ` s="N"` for a cell of workbook style `old` (nothing for the default).
    const Piece& styleAttr(uint32_t old) {
        if (old >= styleAttrs_.size()) styleAttrs_.resize(size_t(old) + 1);
        Piece& piece = styleAttrs_[old];
        if (!piece.size)
            if (uint32_t s = sp_.xf(old)) {
                char* p = put(piece.text, " s=\"");
                p = std::to_chars(p, piece.text + 15, s).ptr;
                *p++ = '"';
                piece.size = uint8_t(p - piece.text);
            }
        return piece;
    }

    void sheetData() {
        out_ += "<sheetData>";
        for (const Row& r : ws_.rows()) {
            if (r.cells.empty() && !r.hasFormat()) continue;
            rowDigitCount_ =
                size_t(std::to_chars(rowDigits_, rowDigits_ + sizeof rowDigits_, r.index).ptr -
                       rowDigits_);
            out_ += "<row r=\""sv;
            out_.append(rowDigits_, rowDigitCount_);
            out_ += '"';
            if (r.customFormat) {
                attrU(out_, "s", sp_.xf(r.style));
                out_ += " customFormat=\"1\"";
            }
            if (r.height > 0) {
                attrD(out_, "ht", double(r.height));
                if (r.customHeight) out_ += " customHeight=\"1\"";
            }
            if (r.hidden) out_ += " hidden=\"1\"";
            if (r.outlineLevel) attrU(out_, "outlineLevel", r.outlineLevel);
            if (r.collapsed) out_ += " collapsed=\"1\"";
            if (r.cells.empty()) {
                out_ += "/>";
                continue;
            }
            out_ += '>';
            rowCells(r);
            out_ += "</row>"sv;
            sink_.flushIfFull();
        }
        out_ += "</sheetData>";
    }

    void cell(uint32_t row, const Cell& c) {
        out_ += "<c r=\"";
        cellRef(row, c.col);
        out_ += '"';
        if (c.style) {
            uint32_t s = sp_.xf(c.style);
            if (s) {
                out_ += " s=\"";
                appendU(out_, s);
                out_ += '"';
            }
        }
        const Formula* f = c.hasFormula() ? ws_.formula(row, c.col) : nullptr;
        CellType type = c.type;
        bool nonFinite = type == CellType::Number && !std::isfinite(c.number);
        switch (type) {
            case CellType::Empty:
            case CellType::Number:
                if (nonFinite) out_ += " t=\"e\"";
                break;
            case CellType::String:
                out_ += f ? " t=\"str\"" : " t=\"s\"";
                break;
            case CellType::Boolean:
                out_ += " t=\"b\"";
                break;
            case CellType::Error:
                out_ += " t=\"e\"";
                break;
        }
        if (type == CellType::Empty && !f) {
            out_ += "/>";
            return;
        }
        out_ += '>';
        if (f) {
            out_ += "<f";
            if (f->array) {
                out_ += " t=\"array\"";
                attrS(out_, "ref", f->arrayRange.toA1());
            }
            out_ += '>';
            if (carried_.tableRenames && f->text.find('[') != std::string::npos)
                appendXstring(out_, renameTables(f->text, *carried_.tableRenames));
            else
                appendXstring(out_, f->text);
            out_ += "</f>";
        }
        switch (type) {
            case CellType::Empty:
                break;
            case CellType::Number:
                out_ += "<v>";
                if (nonFinite)
                    out_ += "#NUM!";
                else
                    appendDouble(out_, c.number);
                out_ += "</v>";
                break;
            case CellType::String:
                out_ += "<v>";
                if (f)
                    appendXstring(out_, c.sst < wb_.strings.size() ? wb_.strings.text(c.sst)
                                                                   : std::string_view());
                else
                    appendU(out_, c.sst < strings_.map.size() ? strings_.map[c.sst] : 0);
                out_ += "</v>";
                break;
            case CellType::Boolean:
                out_ += c.boolean ? "<v>1</v>" : "<v>0</v>";
                break;
            case CellType::Error:
                out_ += "<v>";
                out_ += errorText(c.error);
                out_ += "</v>";
                break;
        }
        out_ += "</c>";
    }

    bool dxfIdsValid(const std::string& xml) const {
        size_t at = 0;
        while ((at = xml.find(" dxfId=\"", at)) != std::string::npos) {
            at += 8;
            uint64_t id = 0;
            while (at < xml.size() && xml[at] >= '0' && xml[at] <= '9')
                id = id * 10 + uint64_t(xml[at++] - '0');
            if (id >= wb_.styles.dxfsXml.size()) return false;
        }
        return true;
    }

    // Overlapping merged ranges make readers repair the file: the later of two is left out.
    std::vector<CellRange> disjointMerges() const {
        std::vector<CellRange> sorted = ws_.merges;
        std::stable_sort(sorted.begin(), sorted.end(), [](const CellRange& a, const CellRange& b) {
            return a.firstRow < b.firstRow;
        });
        std::vector<CellRange> kept, live;  // live: kept ranges that reach the current row
        for (const CellRange& r : sorted) {
            if (r.rowCount() == 1 && r.colCount() == 1) continue;
            std::erase_if(live, [&](const CellRange& k) { return k.lastRow < r.firstRow; });
            bool clash = false;
            for (const CellRange& k : live) clash = clash || k.intersects(r);
            if (clash) continue;
            kept.push_back(r);
            live.push_back(r);
        }
        return kept;
    }

    void tail() {
        std::vector<std::pair<int, std::string>> parts;
        for (const PreservedXml& p : ws_.preserved) {
            int rank = preservedRank(p.element);
            if (rank < 0) continue;
            // Conditional formats name differential formats by index: a sheet copied from
            // another workbook may name ones this workbook lacks, which readers reject.
            if (p.element == "conditionalFormatting" && !dxfIdsValid(p.xml)) continue;
            parts.emplace_back(rank, p.xml);
        }
        if (!carried_.autoFilter.empty()) {
            parts.emplace_back(preservedRank("autoFilter"), carried_.autoFilter);
        } else if (ws_.autoFilter) {
            std::string a = "<autoFilter";
            attrS(a, "ref", ws_.autoFilter->toA1());
            a += "/>";
            parts.emplace_back(preservedRank("autoFilter"), std::move(a));
        }
        if (!carried_.sortState.empty())
            parts.emplace_back(preservedRank("sortState"), carried_.sortState);
        if (!ws_.notes.empty() || !carried_.legacyShapes.empty())  // notes' boxes, controls
            parts.emplace_back(preservedRank("legacyDrawing"), "<legacyDrawing r:id=\"rIdV1\"/>");
        for (const RawSheetElement& e : carried_.elements)
            if (int rank = preservedRank(e.element); rank >= 0) parts.emplace_back(rank, e.xml);
        std::vector<CellRange> merges = disjointMerges();
        if (!merges.empty()) {
            std::string m = "<mergeCells";
            attrU(m, "count", merges.size());
            m += '>';
            for (const CellRange& r : merges) {
                m += "<mergeCell";
                attrS(m, "ref", r.toA1());
                m += "/>";
            }
            m += "</mergeCells>";
            parts.emplace_back(preservedRank("mergeCells"), std::move(m));
        }
        std::stable_sort(parts.begin(), parts.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& [rank, xml] : parts) out_ += xml;
    }

    const Workbook& wb_;
    const Worksheet& ws_;
    const StylePlan& sp_;
    const StringPlan& strings_;
    xlsx::PartDeflater& sink_;
    std::string& out_;  // the sink's buffer
    const xlsx::PartGraphWriter::SheetOut& carried_;
    std::vector<std::string> letters_;
    std::vector<Piece> styleAttrs_;
    char rowDigits_[16] = {};  // the row being written
    size_t rowDigitCount_ = 0;
};

// ---- notes -----------------------------------------------------------------------------------

void notesPart(const Worksheet& ws, std::string& out) {
    out = kXmlDecl;
    out += "<comments xmlns=\"";
    out += kMainNs;
    out += "\"><authors>";
    std::vector<std::string> authors;
    std::vector<size_t> authorOf;
    for (const CellNote& n : ws.notes) {
        auto it = std::find(authors.begin(), authors.end(), n.author);
        authorOf.push_back(size_t(it - authors.begin()));
        if (it == authors.end()) authors.push_back(n.author);
    }
    for (const std::string& a : authors) {
        out += "<author>";
        appendXstring(out, a);
        out += "</author>";
    }
    out += "</authors><commentList>";
    for (size_t i = 0; i < ws.notes.size(); ++i) {
        const CellNote& n = ws.notes[i];
        out += "<comment";
        attrS(out, "ref", cellName(n.row, n.col));
        attrU(out, "authorId", authorOf[i]);
        out += '>';
        out += n.textXml;
        out += "</comment>";
    }
    out += "</commentList></comments>";
}

// The sheet's legacy drawing: the boxes the notes show in (hidden until the cell is pointed at),
// and the kept shapes of its controls and embedded objects. Those have their ids as the part
// graph planned them (the sheet's <controls> and <oleObjects>, and its drawing, name them);
// the boxes take ids of blocks no other drawing of the package uses.
void legacyDrawingPart(const Worksheet& ws, const xlsx::PartGraphWriter::SheetOut& carried,
                       uint32_t& nextBlock, std::string& out) {
    const size_t blocks = ws.notes.empty() ? 0 : (ws.notes.size() + 1) / 1024 + 1;
    std::set<uint32_t> used;
    for (uint32_t id : xlsx::legacyShapeIds(carried.legacyShapes)) used.insert(id / 1024);
    for (size_t b = 0; b < blocks; ++b) used.insert(uint32_t(nextBlock + b));
    std::string ids;
    for (uint32_t b : used) ids += (ids.empty() ? "" : ",") + std::to_string(b);
    out = kXmlDecl;
    out +=
        "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" "
        "xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
        "xmlns:x=\"urn:schemas-microsoft-com:office:excel\"" +
        carried.legacyNamespaces +
        "><o:shapelayout v:ext=\"edit\"><o:idmap v:ext=\"edit\" data=\"" + ids +
        "\"/></o:shapelayout>";
    if (!ws.notes.empty() && !xlsx::definesShapeType(carried.legacyShapes, "_x0000_t202"))
        out +=
            "<v:shapetype id=\"_x0000_t202\" coordsize=\"21600,21600\" o:spt=\"202\" "
            "path=\"m,l,21600r21600,l21600,xe\"><v:stroke joinstyle=\"miter\"/>"
            "<v:path gradientshapeok=\"t\" o:connecttype=\"rect\"/></v:shapetype>";
    out += carried.legacyShapes;
    for (size_t k = 0; k < ws.notes.size(); ++k) {
        const CellNote& n = ws.notes[k];
        const uint64_t id = uint64_t(nextBlock) * 1024 + k + 1;
        const uint32_t row = n.row - 1, col = n.col - 1;  // counted from 0 here
        const uint32_t top = row ? row - 1 : 0;
        out += "<v:shape id=\"_x0000_s" + std::to_string(id) +
               "\" type=\"#_x0000_t202\" style=\"position:absolute;margin-left:59.25pt;"
               "margin-top:1.5pt;width:108pt;height:59.25pt;z-index:" +
               std::to_string(k + 1) + (n.visible ? ";visibility:visible" : ";visibility:hidden") +
               "\" fillcolor=\"#ffffe1\" o:insetmode=\"auto\">"
               "<v:fill color2=\"#ffffe1\"/><v:shadow on=\"t\" color=\"black\" obscured=\"t\"/>"
               "<v:path o:connecttype=\"none\"/><v:textbox style=\"mso-direction-alt:auto\">"
               "<div style=\"text-align:left\"></div></v:textbox>"
               "<x:ClientData ObjectType=\"Note\"><x:MoveWithCells/><x:SizeWithCells/><x:Anchor>" +
               std::to_string(col + 1) + ", 15, " + std::to_string(top) + ", 10, " +
               std::to_string(col + 3) + ", 15, " + std::to_string(top + 4) +
               ", 4</x:Anchor><x:AutoFill>False</x:AutoFill><x:Row>" + std::to_string(row) +
               "</x:Row><x:Column>" + std::to_string(col) + "</x:Column>" +
               (n.visible ? "<x:Visible/>" : "") + "</x:ClientData></v:shape>";
    }
    out += "</xml>";
    nextBlock += uint32_t(blocks);
}

// ---- workbook, package parts -----------------------------------------------------------------

std::string_view defaultTheme();

std::string nowW3C() {
    std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// A sheet name the format accepts: 1..31 characters, none of []:*?/\, not starting or ending
// with an apostrophe.
bool validSheetName(const std::string& n) {
    if (n.empty()) return false;
    size_t chars = 0;
    for (unsigned char c : n)
        if ((c & 0xC0) != 0x80) ++chars;
    if (chars > 31 || n.front() == '\'' || n.back() == '\'') return false;
    return n.find_first_of("[]:*?/\\") == std::string::npos;
}

struct Part {
    std::string name, data;
};

// Gives libzip a part that is deflated already: with its sizes, CRC and method stated, the
// bytes are stored as they are.
struct StoredPart {
    const xlsx::DeflatedPart* part;
    size_t piece = 0, at = 0;  // the next byte to give
};

zip_int64_t storedPartSource(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto* s = static_cast<StoredPart*>(state);
    switch (cmd) {
        case ZIP_SOURCE_OPEN:
            s->piece = s->at = 0;
            return 0;
        case ZIP_SOURCE_READ: {
            const auto& pieces = s->part->pieces;
            size_t given = 0;
            while (given < len && s->piece < pieces.size()) {
                const auto& p = pieces[s->piece];
                const size_t n = std::min<size_t>(size_t(len) - given, p.size() - s->at);
                std::memcpy(static_cast<char*>(data) + given, p.data() + s->at, n);
                given += n;
                s->at += n;
                if (s->at == p.size()) ++s->piece, s->at = 0;
            }
            return zip_int64_t(given);
        }
        case ZIP_SOURCE_CLOSE:
        case ZIP_SOURCE_FREE:
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* st = static_cast<zip_stat_t*>(data);
            zip_stat_init(st);
            st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD |
                        ZIP_STAT_ENCRYPTION_METHOD;
            st->size = s->part->size;
            st->comp_size = s->part->compressedSize();
            st->crc = s->part->crc;
            st->comp_method = ZIP_CM_DEFLATE;
            st->encryption_method = ZIP_EM_NONE;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_ERROR: {
            auto* e = static_cast<int*>(data);
            e[0] = ZIP_ER_INTERNAL;
            e[1] = 0;
            return 2 * sizeof(int);
        }
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                  ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            return -1;
    }
}

// The archive's destination for libzip: the file the caller made (ours alone), written in
// place. Given a path, libzip would write a file of its own beside it and rename it over the
// path; replacing a file by rename makes the file system write the new one to disk at once,
// which made every save wait for the disk (most of all a split into thousands of workbooks).
// Writes are gathered into one buffer, so a small archive is a single write.
class FileSink {
public:
    explicit FileSink(int fd) : fd_(fd) { buffer_.reserve(kBuffer); }
    int systemError() const { return sys_; }

    static zip_int64_t callback(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
        return static_cast<FileSink*>(state)->handle(data, len, cmd);
    }

private:
    static constexpr size_t kBuffer = size_t(1) << 20;

    zip_int64_t failWith(int zipError, int sys) {
        zip_error_set(&error_, zipError, sys);
        if (sys != 0 && sys_ == 0) sys_ = sys;
        return -1;
    }
    // Writes out what is gathered, at the offset where it belongs.
    bool drain() {
        size_t done = 0;
        while (done < buffer_.size()) {
            const ssize_t n =
                ::pwrite(fd_, buffer_.data() + done, buffer_.size() - done, off_t(at_ + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failWith(ZIP_ER_WRITE, n < 0 ? errno : ENOSPC);
                return false;
            }
            done += size_t(n);
        }
        at_ += buffer_.size();
        buffer_.clear();
        return true;
    }

    zip_int64_t handle(void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
        switch (cmd) {
            case ZIP_SOURCE_STAT:  // "no such file": the archive is made anew
                zip_error_set(&error_, ZIP_ER_READ, ENOENT);
                return -1;
            case ZIP_SOURCE_BEGIN_WRITE:
                at_ = end_ = 0;
                buffer_.clear();
                return 0;
            case ZIP_SOURCE_WRITE: {
                const auto* bytes = static_cast<const char*>(data);
                buffer_.insert(buffer_.end(), bytes, bytes + len);
                end_ = std::max(end_, at_ + buffer_.size());
                if (buffer_.size() >= kBuffer && !drain()) return -1;
                return zip_int64_t(len);
            }
            case ZIP_SOURCE_TELL_WRITE:
                return zip_int64_t(at_ + buffer_.size());
            case ZIP_SOURCE_SEEK_WRITE: {
                if (!drain()) return -1;
                const zip_int64_t to =
                    zip_source_seek_compute_offset(at_, end_, data, len, &error_);
                if (to < 0) return -1;
                at_ = uint64_t(to);
                return 0;
            }
            case ZIP_SOURCE_COMMIT_WRITE: {
                if (!drain()) return -1;
                // The file was the caller's new empty one, or is cut to the archive's size.
                struct stat st {};
                if (::fstat(fd_, &st) != 0) return failWith(ZIP_ER_WRITE, errno);
                if (uint64_t(st.st_size) > end_ && ::ftruncate(fd_, off_t(end_)) != 0)
                    return failWith(ZIP_ER_WRITE, errno);
                return 0;
            }
            case ZIP_SOURCE_ROLLBACK_WRITE:
                buffer_.clear();
                return 0;
            case ZIP_SOURCE_REMOVE:  // an archive without entries; the caller removes the file
                return 0;
            case ZIP_SOURCE_ERROR:
                return zip_error_to_data(&error_, data, len);
            case ZIP_SOURCE_FREE:
                return 0;
            case ZIP_SOURCE_SUPPORTS:
                return zip_source_make_command_bitmap(
                    ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                    ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                    ZIP_SOURCE_BEGIN_WRITE, ZIP_SOURCE_COMMIT_WRITE, ZIP_SOURCE_ROLLBACK_WRITE,
                    ZIP_SOURCE_WRITE, ZIP_SOURCE_SEEK_WRITE, ZIP_SOURCE_TELL_WRITE,
                    ZIP_SOURCE_REMOVE, -1);
            default:  // reading the old archive: there is none
                return failWith(ZIP_ER_OPNOTSUPP, 0);
        }
    }

    int fd_;
    std::vector<char> buffer_;
    uint64_t at_ = 0, end_ = 0;  // where the buffer goes; the archive's size so far
    int sys_ = 0;
    zip_error_t error_{};
};

Status writeZip(const std::filesystem::path& path, const std::vector<xlsx::DeflatedPart>& parts) {
    auto failed = [&](int sys, const char* what) {
        if (sys == ENOSPC || sys == EDQUOT)
            return fail("无法保存 " + path.string() + "：磁盘空间不足。");
        return fail("无法保存 " + path.string() + "：" + (what ? what : "无法创建文件") + "。");
    };
    // Not opened with O_TRUNC: the file system takes truncating a file to nothing and writing
    // it again for a file being replaced, and starts writing it to disk on close.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int e = errno;
        return failed(e, std::strerror(e));
    }
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{fd};
    FileSink sink(fd);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* target = zip_source_function_create(FileSink::callback, &sink, &error);
    zip_t* z = target ? zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
    if (!z) {
        if (target) zip_source_free(target);
        Status st = failed(zip_error_code_system(&error), zip_error_strerror(&error));
        zip_error_fini(&error);
        return st;
    }
    zip_error_fini(&error);
    auto reason = [&] {
        const int sys =
            sink.systemError() ? sink.systemError() : zip_error_code_system(zip_get_error(z));
        return failed(sys, sink.systemError() ? std::strerror(sys) : zip_strerror(z));
    };
    std::vector<StoredPart> states(parts.size());  // outlive zip_close, which reads them
    for (size_t i = 0; i < parts.size(); ++i) {
        states[i].part = &parts[i];
        zip_source_t* src = zip_source_function(z, storedPartSource, &states[i]);
        if (!src) {
            Status st = reason();
            zip_discard(z);
            return st;
        }
        if (zip_file_add(z, parts[i].name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) < 0) {
            zip_source_free(src);
            Status st = reason();
            zip_discard(z);
            return st;
        }
    }
    if (zip_close(z) != 0) {
        Status st = reason();
        zip_discard(z);
        return st;
    }
    const int fdDone = closer.fd;
    closer.fd = -1;
    if (::close(fdDone) != 0) {
        const int e = errno;
        return failed(e, std::strerror(e));
    }
    return okStatus();
}

bool isChartsheet(const Worksheet* ws) {
    return ws->kind == SheetKind::Chartsheet && ws->parts && !ws->parts->chartsheetXml.empty();
}

// The sheets a package holds, in order: chart sheets are written with their parts as read;
// dialog sheets, and chart sheets of sources that gave none (.xls), are not carried.
// `writtenIndex` gives each sheet of the workbook its place among them (-1: not written).
std::vector<const Worksheet*> writtenSheets(const Workbook& wb, std::vector<int>* writtenIndex) {
    std::vector<const Worksheet*> sheets;
    if (writtenIndex) writtenIndex->assign(wb.sheets.size(), -1);
    for (size_t i = 0; i < wb.sheets.size(); ++i) {
        const Worksheet& ws = *wb.sheets[i];
        if (ws.kind == SheetKind::Dialogsheet) continue;
        if (ws.kind == SheetKind::Chartsheet && !isChartsheet(&ws)) continue;
        if (writtenIndex) (*writtenIndex)[i] = int(sheets.size());
        sheets.push_back(&ws);
    }
    return sheets;
}

// The parts hanging off the sheets, with the names they get in this package.
std::vector<xlsx::PartGraphWriter::SheetOut> planCarried(
    const Workbook& wb, const std::vector<const Worksheet*>& sheets,
    std::unique_ptr<xlsx::PartGraphWriter>& carried) {
    std::set<std::string> reserved;
    for (size_t i = 1; i <= sheets.size(); ++i) {
        const std::string n = std::to_string(i);
        for (const char* f : {"xl/worksheets/sheet", "xl/chartsheets/sheet", "xl/comments",
                              "xl/drawings/vmlDrawing"})
            reserved.insert(f + n +
                            (std::string_view(f) == "xl/drawings/vmlDrawing" ? ".vml" : ".xml"));
    }
    for (const char* n : {"xl/workbook.xml", "xl/styles.xml", "xl/sharedStrings.xml",
                          "xl/theme/theme1.xml", "xl/vbaProject.bin", "xl/persons/person.xml"})
        reserved.insert(n);
    std::set<std::string> definedNames;
    for (const DefinedName& d : wb.names) definedNames.insert(d.name);
    carried = std::make_unique<xlsx::PartGraphWriter>(sheets, std::move(reserved),
                                                      std::move(definedNames));
    std::vector<xlsx::PartGraphWriter::SheetOut> sheetParts;
    for (size_t i = 0; i < sheets.size(); ++i)
        sheetParts.push_back(carried->sheet(
            i,
            (isChartsheet(sheets[i]) ? "xl/chartsheets/sheet" : "xl/worksheets/sheet") +
                std::to_string(i + 1) + ".xml",
            "xl/drawings/vmlDrawing" + std::to_string(i + 1) + ".vml"));
    carried->finish();
    return sheetParts;
}

}  // namespace

UnlinkedParts unlinkedReferences(const Workbook& wb) {
    bool any = false;
    for (const auto& ws : wb.sheets) any = any || ws->parts;
    if (!any) return {};
    const std::vector<const Worksheet*> sheets = writtenSheets(wb, nullptr);
    std::unique_ptr<xlsx::PartGraphWriter> carried;
    planCarried(wb, sheets, carried);
    return {carried->uncoveredReferences(), carried->droppedSlicers()};
}

Status writeXlsx(const Workbook& wb, const std::filesystem::path& path, bool macroEnabled) {
    std::vector<int> writtenIndex;
    std::vector<const Worksheet*> sheets = writtenSheets(wb, &writtenIndex);
    Worksheet blank("Sheet1");
    if (sheets.empty()) sheets.push_back(&blank);
    std::set<std::string> seen;
    for (const Worksheet* ws : sheets) {
        if (!validSheetName(ws->name))
            return fail("无法保存 " + path.string() + "：工作表名称“" + ws->name + "”无效。");
        std::string key = ws->name;
        for (char& c : key)
            if (c >= 'A' && c <= 'Z') c = char(c + 32);
        if (!seen.insert(key).second)
            return fail("无法保存 " + path.string() + "：工作表名称“" + ws->name + "”重复。");
    }

    std::vector<uint8_t> usedXf;
    StringPlan strings;
    const uint64_t cells = scanCells(wb, sheets, usedXf, strings);
    StylePlan styles = planStyles(wb, usedXf);

    std::unique_ptr<xlsx::PartGraphWriter> carriedPlan;
    std::vector<xlsx::PartGraphWriter::SheetOut> sheetParts = planCarried(wb, sheets, carriedPlan);
    const xlsx::PartGraphWriter& carried = *carriedPlan;
    auto hasLegacyDrawing = [&](size_t i) {
        return !sheets[i]->notes.empty() || !sheetParts[i].legacyShapes.empty();
    };

    bool vba = macroEnabled && !wb.vbaProject.empty();
    std::vector<Part> parts;
    // [Content_Types].xml
    {
        std::string ct = kXmlDecl;
        ct +=
            "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
            "<Default Extension=\"rels\" "
            "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
            "<Default Extension=\"xml\" ContentType=\"application/xml\"/>";
        if (vba)
            ct +=
                "<Default Extension=\"bin\" ContentType=\"application/vnd.ms-office.vbaProject\"/>";
        bool legacy = false;
        for (size_t i = 0; i < sheets.size(); ++i) legacy = legacy || hasLegacyDrawing(i);
        if (legacy)
            ct +=
                "<Default Extension=\"vml\" "
                "ContentType=\"application/vnd.openxmlformats-officedocument.vmlDrawing\"/>";
        ct += "<Override PartName=\"/xl/workbook.xml\" ContentType=\"";
        ct += macroEnabled
                  ? "application/vnd.ms-excel.sheet.macroEnabled.main+xml"
                  : "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml";
        ct += "\"/>";
        for (size_t i = 0; i < sheets.size(); ++i)
            ct += isChartsheet(sheets[i])
                      ? "<Override PartName=\"/xl/chartsheets/sheet" + std::to_string(i + 1) +
                            ".xml\" ContentType=\"application/"
                            "vnd.openxmlformats-officedocument.spreadsheetml.chartsheet+xml\"/>"
                      : "<Override PartName=\"/xl/worksheets/sheet" + std::to_string(i + 1) +
                            ".xml\" "
                            "ContentType=\"application/"
                            "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>";
        for (const auto& p : carried.parts()) {
            ct += "<Override";
            attrS(ct, "PartName", "/" + p.name);
            attrS(ct, "ContentType", p.contentType);
            ct += "/>";
        }
        if (!carried.personsXml().empty())
            ct +=
                "<Override PartName=\"/xl/persons/person.xml\" "
                "ContentType=\"application/vnd.ms-excel.person+xml\"/>";
        for (size_t i = 0; i < sheets.size(); ++i)
            if (!sheets[i]->notes.empty())
                ct += "<Override PartName=\"/xl/comments" + std::to_string(i + 1) +
                      ".xml\" ContentType=\"application/"
                      "vnd.openxmlformats-officedocument.spreadsheetml.comments+xml\"/>";
        ct +=
            "<Override PartName=\"/xl/theme/theme1.xml\" "
            "ContentType=\"application/vnd.openxmlformats-officedocument.theme+xml\"/>"
            "<Override PartName=\"/xl/styles.xml\" "
            "ContentType=\"application/"
            "vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>";
        if (!strings.order.empty())
            ct +=
                "<Override PartName=\"/xl/sharedStrings.xml\" "
                "ContentType=\"application/"
                "vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>";
        ct +=
            "<Override PartName=\"/docProps/core.xml\" "
            "ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
            "<Override PartName=\"/docProps/app.xml\" "
            "ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/"
            ">"
            "</Types>";
        parts.push_back({"[Content_Types].xml", std::move(ct)});
    }
    parts.push_back({"_rels/.rels",
                     std::string(kXmlDecl) +
                         "<Relationships "
                         "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                         "<Relationship Id=\"rId1\" "
                         "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                         "relationships/officeDocument\" Target=\"xl/workbook.xml\"/>"
                         "<Relationship Id=\"rId2\" "
                         "Type=\"http://schemas.openxmlformats.org/package/2006/relationships/"
                         "metadata/core-properties\" Target=\"docProps/core.xml\"/>"
                         "<Relationship Id=\"rId3\" "
                         "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
                         "relationships/extended-properties\" Target=\"docProps/app.xml\"/>"
                         "</Relationships>"});
    {
        std::string now = nowW3C();
        parts.push_back(
            {"docProps/core.xml", std::string(kXmlDecl) +
                                      "<cp:coreProperties "
                                      "xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/"
                                      "metadata/core-properties\" "
                                      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                                      "xmlns:dcterms=\"http://purl.org/dc/terms/\" "
                                      "xmlns:dcmitype=\"http://purl.org/dc/dcmitype/\" "
                                      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
                                      "<dc:creator>Tablaweaver</dc:creator>"
                                      "<dcterms:created xsi:type=\"dcterms:W3CDTF\">" +
                                      now +
                                      "</dcterms:created>"
                                      "<dcterms:modified xsi:type=\"dcterms:W3CDTF\">" +
                                      now +
                                      "</dcterms:modified>"
                                      "</cp:coreProperties>"});
        parts.push_back(
            {"docProps/app.xml", std::string(kXmlDecl) +
                                     "<Properties "
                                     "xmlns=\"http://schemas.openxmlformats.org/officeDocument/"
                                     "2006/extended-properties\" "
                                     "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/"
                                     "2006/docPropsVTypes\">"
                                     "<Application>Tablaweaver</Application><DocSecurity>0</"
                                     "DocSecurity></Properties>"});
    }
    // Workbook and its relationships.
    {
        size_t active = 0, firstTab = 0;
        if (wb.activeSheet < writtenIndex.size() && writtenIndex[wb.activeSheet] >= 0)
            active = size_t(writtenIndex[wb.activeSheet]);
        if (wb.firstVisibleTab < writtenIndex.size() && writtenIndex[wb.firstVisibleTab] >= 0)
            firstTab = size_t(writtenIndex[wb.firstVisibleTab]);
        // The active sheet must be visible.
        if (sheets[active]->state != SheetState::Visible)
            for (size_t i = 0; i < sheets.size(); ++i)
                if (sheets[i]->state == SheetState::Visible) {
                    active = i;
                    break;
                }
        std::string w = kXmlDecl;
        w += "<workbook xmlns=\"";
        w += kMainNs;
        w += "\" xmlns:r=\"";
        w += kRelNs;
        w += "\"><workbookPr";
        if (wb.date1904) w += " date1904=\"1\"";
        w += "/><bookViews><workbookView";
        if (firstTab) attrU(w, "firstSheet", firstTab);
        if (active) attrU(w, "activeTab", active);
        w += "/></bookViews><sheets>";
        for (size_t i = 0; i < sheets.size(); ++i) {
            w += "<sheet";
            attrS(w, "name", sheets[i]->name);
            attrU(w, "sheetId", i + 1);
            if (sheets[i]->state == SheetState::Hidden) w += " state=\"hidden\"";
            if (sheets[i]->state == SheetState::VeryHidden) w += " state=\"veryHidden\"";
            w += " r:id=\"rId" + std::to_string(i + 1) + "\"/>";
        }
        w += "</sheets>";
        std::string names;
        for (const DefinedName& d : wb.names) {
            if (d.name.empty()) continue;
            std::optional<size_t> local;
            if (d.localSheet) {
                if (*d.localSheet >= writtenIndex.size() || writtenIndex[*d.localSheet] < 0)
                    continue;
                local = size_t(writtenIndex[*d.localSheet]);
            }
            names += "<definedName";
            attrS(names, "name", d.name);
            if (!d.comment.empty()) attrS(names, "comment", d.comment);
            if (local) attrU(names, "localSheetId", *local);
            if (d.hidden) names += " hidden=\"1\"";
            names += '>';
            appendXstring(names, d.formula);
            names += "</definedName>";
        }
        // Slicer and timeline caches are defined names too.
        for (const auto& c : carried.caches()) {
            names += "<definedName";
            attrS(names, "name", c.name);
            names += ">#N/A</definedName>";
        }
        if (!names.empty()) w += "<definedNames>" + names + "</definedNames>";
        w += "<calcPr calcId=\"191029\"";
        if (wb.hasFormulas()) w += " fullCalcOnLoad=\"1\"";
        w += "/>";
        if (!carried.pivotCaches().empty()) {
            w += "<pivotCaches>";
            for (size_t k = 0; k < carried.pivotCaches().size(); ++k) {
                w += "<pivotCache";
                attrU(w, "cacheId", carried.pivotCaches()[k].first);
                w += " r:id=\"rIdPC" + std::to_string(k + 1) + "\"/>";
            }
            w += "</pivotCaches>";
        }
        // The workbook's lists of slicer caches (on pivot tables, then on tables) and of
        // timeline caches.
        if (!carried.caches().empty()) {
            using Cache = xlsx::PartGraphWriter::CacheOut;
            auto list = [&](Cache::Kind kind, std::string_view head, std::string_view item,
                            std::string_view tail) {
                std::string refs;
                for (size_t k = 0; k < carried.caches().size(); ++k)
                    if (carried.caches()[k].kind == kind) {
                        refs += '<';
                        refs += item;
                        refs += " r:id=\"rIdSC" + std::to_string(k + 1) + "\"/>";
                    }
                if (refs.empty()) return;
                w += head;
                w += refs;
                w += tail;
            };
            w += "<extLst>";
            list(Cache::PivotSlicer,
                 "<ext uri=\"{BBE1A952-AA13-448e-AADC-164F8A28A991}\" "
                 "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/"
                 "main\"><x14:slicerCaches>",
                 "x14:slicerCache", "</x14:slicerCaches></ext>");
            list(Cache::TableSlicer,
                 "<ext uri=\"{46BE6895-7355-4a93-B00E-2C351335B9C9}\" "
                 "xmlns:x15=\"http://schemas.microsoft.com/office/spreadsheetml/2010/11/"
                 "main\"><x15:slicerCaches "
                 "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\">",
                 "x14:slicerCache", "</x15:slicerCaches></ext>");
            list(Cache::Timeline,
                 "<ext uri=\"{D0CA8CA8-9F24-4464-BF8E-62219DCF47F9}\" "
                 "xmlns:x15=\"http://schemas.microsoft.com/office/spreadsheetml/2010/11/"
                 "main\"><x15:timelineCacheRefs>",
                 "x15:timelineCacheRef", "</x15:timelineCacheRefs></ext>");
            w += "</extLst>";
        }
        w += "</workbook>";
        parts.push_back({"xl/workbook.xml", std::move(w)});

        std::string rels = kXmlDecl;
        rels +=
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
        size_t id = 1;
        for (size_t i = 0; i < sheets.size(); ++i, ++id)
            rels += "<Relationship Id=\"rId" + std::to_string(id) + "\" Type=\"" + kRelType +
                    (isChartsheet(sheets[i]) ? "chartsheet\" Target=\"chartsheets/sheet"
                                             : "worksheet\" Target=\"worksheets/sheet") +
                    std::to_string(i + 1) + ".xml\"/>";
        for (size_t k = 0; k < carried.pivotCaches().size(); ++k)
            rels += "<Relationship Id=\"rIdPC" + std::to_string(k + 1) + "\" Type=\"" + kRelType +
                    "pivotCacheDefinition\" Target=\"" +
                    xlsx::relativeTarget("xl/workbook.xml", carried.pivotCaches()[k].second) +
                    "\"/>";
        for (size_t k = 0; k < carried.caches().size(); ++k) {
            const bool timeline =
                carried.caches()[k].kind == xlsx::PartGraphWriter::CacheOut::Timeline;
            rels += "<Relationship Id=\"rIdSC" + std::to_string(k + 1) +
                    (timeline ? "\" Type=\"http://schemas.microsoft.com/office/2011/relationships/"
                                "timelineCache\" Target=\""
                              : "\" Type=\"http://schemas.microsoft.com/office/2007/relationships/"
                                "slicerCache\" Target=\"") +
                    xlsx::relativeTarget("xl/workbook.xml", carried.caches()[k].part) + "\"/>";
        }
        if (!carried.personsXml().empty())
            rels +=
                "<Relationship Id=\"rIdPersons\" "
                "Type=\"http://schemas.microsoft.com/office/2017/10/relationships/person\" "
                "Target=\"persons/person.xml\"/>";
        rels += "<Relationship Id=\"rId" + std::to_string(id++) + "\" Type=\"" + kRelType +
                "theme\" Target=\"theme/theme1.xml\"/>";
        rels += "<Relationship Id=\"rId" + std::to_string(id++) + "\" Type=\"" + kRelType +
                "styles\" Target=\"styles.xml\"/>";
        if (!strings.order.empty())
            rels += "<Relationship Id=\"rId" + std::to_string(id++) + "\" Type=\"" + kRelType +
                    "sharedStrings\" Target=\"sharedStrings.xml\"/>";
        if (vba)
            rels += "<Relationship Id=\"rId" + std::to_string(id++) +
                    "\" Type=\"http://schemas.microsoft.com/office/2006/relationships/vbaProject\" "
                    "Target=\"vbaProject.bin\"/>";
        rels += "</Relationships>";
        parts.push_back({"xl/_rels/workbook.xml.rels", std::move(rels)});
    }
    parts.push_back(
        {"xl/theme/theme1.xml", wb.themeXml.empty() ? std::string(defaultTheme()) : wb.themeXml});
    parts.push_back({"xl/styles.xml", stylesPart(wb.styles, styles)});

    // Drawing shape ids come in blocks of 1024 per workbook: the notes' boxes take blocks after
    // those the carried legacy drawings (header pictures) claim.
    uint32_t nextShapeBlock = 1;
    for (const auto& p : carried.parts()) {
        if (p.contentType.find("vmlDrawing") == std::string::npos) continue;
        size_t at = p.data->find("idmap");
        at = at == std::string::npos ? at : p.data->find("data=\"", at);
        if (at == std::string::npos) continue;
        uint32_t n = 0;
        for (size_t i = at + 6; i < p.data->size() && (*p.data)[i] != '"'; ++i) {
            char c = (*p.data)[i];
            if (c >= '0' && c <= '9') {
                n = std::min<uint32_t>(n * 10 + uint32_t(c - '0'), 1u << 20);
            } else {
                nextShapeBlock = std::max(nextShapeBlock, n + 1);
                n = 0;
            }
        }
        nextShapeBlock = std::max(nextShapeBlock, n + 1);
    }
    for (const auto& out : sheetParts)
        for (uint32_t id : xlsx::legacyShapeIds(out.legacyShapes))
            nextShapeBlock = std::max(nextShapeBlock, id / 1024 + 1);
    // A small workbook is deflated as it is written; a large one on a second thread too, in
    // chunks small enough that a sheet of a few megabytes of XML gives that thread work while
    // the writer goes on (a larger workbook in larger chunks, which hold less memory per byte).
    xlsx::PartDeflater deflater(
        kDeflateLevel, cells >= kThreadedCells && std::thread::hardware_concurrency() > 1,
        cells < kSmallChunkCells ? xlsx::PartDeflater::kSmallChunk : xlsx::PartDeflater::kChunk);
    for (const Part& p : parts) {
        deflater.begin(p.name);
        deflater.out() += p.data;
        deflater.end();
    }
    if (!strings.order.empty()) {
        deflater.begin("xl/sharedStrings.xml");
        stringsPart(wb.strings, strings, deflater);
        deflater.end();
    }
    for (size_t i = 0; i < sheets.size(); ++i) {
        const std::string name = "sheet" + std::to_string(i + 1) + ".xml";
        if (isChartsheet(sheets[i])) {
            deflater.begin("xl/chartsheets/" + name);
            deflater.out() += sheetParts[i].chartsheet;
            deflater.end();
            if (sheetParts[i].rels.empty()) continue;
            deflater.begin("xl/chartsheets/_rels/" + name + ".rels");
            deflater.out() = kXmlDecl;
            deflater.out() +=
                "<Relationships "
                "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
                sheetParts[i].rels + "</Relationships>";
            deflater.end();
            continue;
        }
        deflater.begin("xl/worksheets/" + name);
        sheetParts[i].tableRenames = carried.tableRenames(*sheets[i]);
        SheetWriter(wb, *sheets[i], styles, strings, deflater, sheetParts[i]).write();
        deflater.end();
        // The sheet's relationships: the targets of hyperlinks out of the workbook (for the
        // kept <hyperlinks> element), its notes with their boxes, and its carried parts.
        const Worksheet& ws = *sheets[i];
        const bool linked =
            !ws.externalLinks.empty() &&
            std::any_of(ws.preserved.begin(), ws.preserved.end(),
                        [](const PreservedXml& p) { return p.element == "hyperlinks"; });
        if (!linked && !hasLegacyDrawing(i) && sheetParts[i].rels.empty()) continue;
        const std::string number = std::to_string(i + 1);
        deflater.begin("xl/worksheets/_rels/" + name + ".rels");
        std::string& rels = deflater.out();
        rels = kXmlDecl;
        rels +=
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
        for (size_t n = 0; linked && n < ws.externalLinks.size(); ++n) {
            rels += "<Relationship Id=\"rIdL" + std::to_string(n + 1) + "\" Type=\"" + kRelType +
                    "hyperlink\"";
            attrS(rels, "Target", ws.externalLinks[n]);
            rels += " TargetMode=\"External\"/>";
        }
        if (!ws.notes.empty())
            rels += std::string("<Relationship Id=\"rIdC1\" Type=\"") + kRelType +
                    "comments\" Target=\"../comments" + number + ".xml\"/>";
        if (hasLegacyDrawing(i))
            rels += std::string("<Relationship Id=\"rIdV1\" Type=\"") + kRelType +
                    "vmlDrawing\" Target=\"../drawings/vmlDrawing" + number + ".vml\"/>";
        rels += sheetParts[i].rels;
        rels += "</Relationships>";
        deflater.end();
        if (!ws.notes.empty()) {
            deflater.begin("xl/comments" + number + ".xml");
            notesPart(ws, deflater.out());
            deflater.end();
        }
        if (!hasLegacyDrawing(i)) continue;
        deflater.begin("xl/drawings/vmlDrawing" + number + ".vml");
        legacyDrawingPart(ws, sheetParts[i], nextShapeBlock, deflater.out());
        deflater.end();
        if (sheetParts[i].legacyRels.empty()) continue;
        deflater.begin("xl/drawings/_rels/vmlDrawing" + number + ".vml.rels");
        deflater.out() = kXmlDecl;
        deflater.out() +=
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
            sheetParts[i].legacyRels + "</Relationships>";
        deflater.end();
    }
    for (const auto& p : carried.parts()) {
        deflater.begin(p.name);
        deflater.out() += *p.data;
        deflater.end();
        if (p.rels.empty()) continue;
        size_t slash = p.name.rfind('/');
        deflater.begin(p.name.substr(0, slash + 1) + "_rels/" + p.name.substr(slash + 1) + ".rels");
        deflater.out() += p.rels;
        deflater.end();
    }
    if (!carried.personsXml().empty()) {
        deflater.begin("xl/persons/person.xml");
        deflater.out() += carried.personsXml();
        deflater.end();
    }
    if (vba) {
        deflater.begin("xl/vbaProject.bin");
        deflater.out() += wb.vbaProject;
        deflater.end();
    }
    auto deflated = deflater.finish();
    if (!deflated.ok()) return fail("无法保存 " + path.string() + "：" + deflated.message());
    return writeZip(path, deflated.value());
}

namespace {

std::string_view defaultTheme() {
    static const std::string theme =
        std::string(kXmlDecl) +
        "<a:theme xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" name=\"Office "
        "Theme\">"
        "<a:themeElements><a:clrScheme name=\"Office\">"
        "<a:dk1><a:sysClr val=\"windowText\" lastClr=\"000000\"/></a:dk1>"
        "<a:lt1><a:sysClr val=\"window\" lastClr=\"FFFFFF\"/></a:lt1>"
        "<a:dk2><a:srgbClr val=\"44546A\"/></a:dk2><a:lt2><a:srgbClr val=\"E7E6E6\"/></a:lt2>"
        "<a:accent1><a:srgbClr val=\"4472C4\"/></a:accent1><a:accent2><a:srgbClr "
        "val=\"ED7D31\"/></a:accent2>"
        "<a:accent3><a:srgbClr val=\"A5A5A5\"/></a:accent3><a:accent4><a:srgbClr "
        "val=\"FFC000\"/></a:accent4>"
        "<a:accent5><a:srgbClr val=\"5B9BD5\"/></a:accent5><a:accent6><a:srgbClr "
        "val=\"70AD47\"/></a:accent6>"
        "<a:hlink><a:srgbClr val=\"0563C1\"/></a:hlink><a:folHlink><a:srgbClr "
        "val=\"954F72\"/></a:folHlink>"
        "</a:clrScheme><a:fontScheme name=\"Office\">"
        "<a:majorFont><a:latin typeface=\"Calibri Light\"/><a:ea typeface=\"\"/><a:cs "
        "typeface=\"\"/>"
        "<a:font script=\"Hans\" typeface=\"等线 Light\"/></a:majorFont>"
        "<a:minorFont><a:latin typeface=\"Calibri\"/><a:ea typeface=\"\"/><a:cs typeface=\"\"/>"
        "<a:font script=\"Hans\" typeface=\"等线\"/></a:minorFont></a:fontScheme>"
        "<a:fmtScheme name=\"Office\"><a:fillStyleLst>"
        "<a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill>"
        "<a:solidFill><a:schemeClr val=\"phClr\"><a:tint "
        "val=\"50000\"/></a:schemeClr></a:solidFill>"
        "<a:solidFill><a:schemeClr val=\"phClr\"><a:shade "
        "val=\"80000\"/></a:schemeClr></a:solidFill>"
        "</a:fillStyleLst><a:lnStyleLst>"
        "<a:ln w=\"6350\"><a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill></a:ln>"
        "<a:ln w=\"12700\"><a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill></a:ln>"
        "<a:ln w=\"19050\"><a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill></a:ln>"
        "</a:lnStyleLst><a:effectStyleLst>"
        "<a:effectStyle><a:effectLst/></a:effectStyle><a:effectStyle><a:effectLst/></a:effectStyle>"
        "<a:effectStyle><a:effectLst/></a:effectStyle></a:effectStyleLst><a:bgFillStyleLst>"
        "<a:solidFill><a:schemeClr val=\"phClr\"/></a:solidFill>"
        "<a:solidFill><a:schemeClr val=\"phClr\"><a:tint "
        "val=\"95000\"/></a:schemeClr></a:solidFill>"
        "<a:solidFill><a:schemeClr val=\"phClr\"><a:shade "
        "val=\"90000\"/></a:schemeClr></a:solidFill>"
        "</a:bgFillStyleLst></a:fmtScheme></a:themeElements><a:objectDefaults/"
        "><a:extraClrSchemeLst/>"
        "</a:theme>";
    return theme;
}

}  // namespace

}  // namespace ss

// Styles and theme: the style table (fonts, fills, borders, cell formats, named styles) and the
// theme's colours.
#include <cctype>
#include <cstring>
#include <map>

#include "read_internal.h"

namespace ss::xlsx::detail {

Color readColor(const char** atts) {
    Color c;
    uint32_t argb = 0;
    if (parseBool(attr(atts, "auto"), false)) {
        c.kind = Color::Kind::Auto;
    } else if (xlsx::parseArgb(attr(atts, "rgb"), argb)) {
        c = Color::rgb(argb);
    } else if (const char* t = attr(atts, "theme")) {
        c = Color::theme(parseU32(t, 0));
    } else if (const char* i = attr(atts, "indexed")) {
        c = Color::indexed(parseU32(i, 0));
    }
    if (c.isSet()) c.tint = parseDouble(attr(atts, "tint"), 0.0);
    return c;
}

void applyFontChild(Font& f, std::string_view name, const char** atts) {
    const char* val = attr(atts, "val");
    if (name == "b")
        f.bold = parseBool(val, true);
    else if (name == "i")
        f.italic = parseBool(val, true);
    else if (name == "strike")
        f.strike = parseBool(val, true);
    else if (name == "outline")
        f.outline = parseBool(val, true);
    else if (name == "shadow")
        f.shadow = parseBool(val, true);
    else if (name == "condense")
        f.condense = parseBool(val, true);
    else if (name == "extend")
        f.extend = parseBool(val, true);
    else if (name == "u")
        f.underline = val ? (std::strcmp(val, "none") == 0 ? "" : val) : "single";
    else if (name == "vertAlign")
        f.vertAlign = val ? val : "";
    else if (name == "sz")
        f.size = parseDouble(val, f.size);
    else if (name == "color")
        f.color = readColor(atts);
    else if (name == "name" || name == "rFont")
        f.name = val ? val : "";
    else if (name == "family")
        f.family = int(parseInt(val, -1));
    else if (name == "charset")
        f.charset = int(parseInt(val, -1));
    else if (name == "scheme")
        f.scheme = val && std::strcmp(val, "none") != 0 ? val : "";
}

namespace {

class StylesHandler : public SaxHandler {
public:
    explicit StylesHandler(StyleTable& t) : t_(t) {
        t_.fonts.clear();
        t_.fills.clear();
        t_.borders.clear();
        t_.cellStyleXfs.clear();
        t_.cellXfs.clear();
        t_.cellStyles.clear();
    }

    void start(std::string_view name, const char** atts) override {
        if (capture_.active()) {
            capture_.start(name, atts);
            return;
        }
        if (name == "numFmt") {
            const char* id = attr(atts, "numFmtId");
            const char* code = attr(atts, "formatCode");
            if (id && code) t_.numFmts[parseU32(id, 0)] = code;
        } else if (name == "fonts" || name == "fills" || name == "borders" || name == "cellXfs" ||
                   name == "cellStyleXfs" || name == "cellStyles" || name == "dxfs" ||
                   name == "indexedColors" || name == "mruColors") {
            section_ = std::string(name);
        } else if (name == "tableStyles") {
            capture_.begin(name, atts);
        } else if (name == "dxf" && section_ == "dxfs") {
            capture_.begin(name, atts);
        } else if (section_ == "fonts") {
            if (name == "font") {
                font_ = runFont();  // a font states what it gives; the rest stays unset
            } else {
                applyFontChild(font_, name, atts);
            }
        } else if (section_ == "fills") {
            fillStart(name, atts);
        } else if (section_ == "borders") {
            borderStart(name, atts);
        } else if ((section_ == "cellXfs" || section_ == "cellStyleXfs") && name == "xf") {
            xf_ = CellFormat{};
            xf_.numFmtId = parseU32(attr(atts, "numFmtId"), 0);
            xf_.fontId = parseU32(attr(atts, "fontId"), 0);
            xf_.fillId = parseU32(attr(atts, "fillId"), 0);
            xf_.borderId = parseU32(attr(atts, "borderId"), 0);
            xf_.xfId = parseU32(attr(atts, "xfId"), 0);
            xf_.applyNumberFormat = parseBool(attr(atts, "applyNumberFormat"), false);
            xf_.applyFont = parseBool(attr(atts, "applyFont"), false);
            xf_.applyFill = parseBool(attr(atts, "applyFill"), false);
            xf_.applyBorder = parseBool(attr(atts, "applyBorder"), false);
            xf_.applyAlignment = parseBool(attr(atts, "applyAlignment"), false);
            xf_.applyProtection = parseBool(attr(atts, "applyProtection"), false);
            xf_.quotePrefix = parseBool(attr(atts, "quotePrefix"), false);
        } else if (name == "alignment") {
            Alignment& a = xf_.alignment;
            if (const char* v = attr(atts, "horizontal"))
                a.horizontal = std::strcmp(v, "general") ? v : "";
            if (const char* v = attr(atts, "vertical"))
                a.vertical = std::strcmp(v, "bottom") ? v : "";
            a.textRotation = int(parseInt(attr(atts, "textRotation"), 0));
            a.wrapText = parseBool(attr(atts, "wrapText"), false);
            a.shrinkToFit = parseBool(attr(atts, "shrinkToFit"), false);
            a.justifyLastLine = parseBool(attr(atts, "justifyLastLine"), false);
            a.indent = int(parseInt(attr(atts, "indent"), 0));
            a.relativeIndent = int(parseInt(attr(atts, "relativeIndent"), 0));
            a.readingOrder = int(parseInt(attr(atts, "readingOrder"), 0));
        } else if (name == "protection") {
            xf_.protection.locked = parseBool(attr(atts, "locked"), true);
            xf_.protection.hidden = parseBool(attr(atts, "hidden"), false);
        } else if (name == "cellStyle") {
            NamedCellStyle s;
            s.name = attr(atts, "name") ? attr(atts, "name") : "";
            s.xfId = parseU32(attr(atts, "xfId"), 0);
            s.builtinId = int(parseInt(attr(atts, "builtinId"), -1));
            s.iLevel = int(parseInt(attr(atts, "iLevel"), -1));
            s.hidden = parseBool(attr(atts, "hidden"), false);
            s.customBuiltin = parseBool(attr(atts, "customBuiltin"), false);
            t_.cellStyles.push_back(std::move(s));
        } else if (name == "rgbColor" && section_ == "indexedColors") {
            uint32_t argb = 0;
            if (xlsx::parseArgb(attr(atts, "rgb"), argb)) t_.indexedColors.push_back(argb);
        } else if (name == "color" && section_ == "mruColors") {
            uint32_t argb = 0;
            if (xlsx::parseArgb(attr(atts, "rgb"), argb)) t_.mruColors.push_back(argb);
        }
    }

    void end(std::string_view name) override {
        if (capture_.active()) {
            if (capture_.end(name)) {
                if (capture_.element() == "dxf")
                    t_.dxfsXml.push_back(capture_.take());
                else
                    t_.tableStylesXml = capture_.take();
            }
            return;
        }
        if (name == section_)
            section_.clear();
        else if (name == "font" && section_ == "fonts")
            t_.fonts.push_back(font_);
        else if (name == "fill" && section_ == "fills")
            t_.fills.push_back(fill_);
        else if (name == "border" && section_ == "borders")
            t_.borders.push_back(border_);
        else if (name == "xf" && section_ == "cellXfs")
            t_.cellXfs.push_back(xf_);
        else if (name == "xf" && section_ == "cellStyleXfs")
            t_.cellStyleXfs.push_back(xf_);
    }

    // Fills in whatever a sparse or damaged table lacks, so every index a cell uses is valid.
    void finish() {
        if (t_.fonts.empty()) t_.fonts.push_back(StyleTable().fonts[0]);
        if (t_.fills.empty()) t_.fills = StyleTable().fills;
        if (t_.borders.empty()) t_.borders.push_back(Border{});
        if (t_.cellStyleXfs.empty()) t_.cellStyleXfs.push_back(CellFormat{});
        if (t_.cellXfs.empty()) t_.cellXfs.push_back(CellFormat{});
        auto clampXf = [&](CellFormat& x, bool named) {
            if (x.fontId >= t_.fonts.size()) x.fontId = 0;
            if (x.fillId >= t_.fills.size()) x.fillId = 0;
            if (x.borderId >= t_.borders.size()) x.borderId = 0;
            if (named || x.xfId >= t_.cellStyleXfs.size()) x.xfId = 0;
            if (x.numFmtId >= 164 && !t_.numFmts.count(x.numFmtId)) x.numFmtId = 0;
        };
        for (CellFormat& x : t_.cellXfs) clampXf(x, false);
        for (CellFormat& x : t_.cellStyleXfs) clampXf(x, true);
        std::vector<NamedCellStyle> styles;
        for (NamedCellStyle& s : t_.cellStyles)
            if (s.xfId < t_.cellStyleXfs.size()) styles.push_back(std::move(s));
        t_.cellStyles = std::move(styles);
        if (t_.cellStyles.empty())
            t_.cellStyles.push_back(NamedCellStyle{"Normal", 0, 0, -1, false, false});
        t_.reindex();
    }

private:
    void fillStart(std::string_view name, const char** atts) {
        if (name == "fill") {
            fill_ = Fill{};
        } else if (name == "patternFill") {
            const char* p = attr(atts, "patternType");
            fill_.patternType = p ? p : "none";
        } else if (name == "fgColor") {
            fill_.fg = readColor(atts);
        } else if (name == "bgColor") {
            fill_.bg = readColor(atts);
        } else if (name == "gradientFill") {
            fill_.gradient = true;
            fill_.patternType.clear();
            const char* type = attr(atts, "type");
            fill_.gradientType = type ? type : "linear";
            fill_.degree = parseDouble(attr(atts, "degree"), 0);
            fill_.left = parseDouble(attr(atts, "left"), 0);
            fill_.right = parseDouble(attr(atts, "right"), 0);
            fill_.top = parseDouble(attr(atts, "top"), 0);
            fill_.bottom = parseDouble(attr(atts, "bottom"), 0);
        } else if (name == "stop") {
            fill_.stops.push_back(GradientStop{parseDouble(attr(atts, "position"), 0), Color{}});
        } else if (name == "color" && !fill_.stops.empty()) {
            fill_.stops.back().color = readColor(atts);
        }
    }

    void borderStart(std::string_view name, const char** atts) {
        if (name == "border") {
            border_ = Border{};
            border_.diagonalUp = parseBool(attr(atts, "diagonalUp"), false);
            border_.diagonalDown = parseBool(attr(atts, "diagonalDown"), false);
            border_.outline = parseBool(attr(atts, "outline"), true);
            side_ = nullptr;
            return;
        }
        BorderSide* s = nullptr;
        if (name == "left" || name == "start")
            s = &border_.left;
        else if (name == "right" || name == "end")
            s = &border_.right;
        else if (name == "top")
            s = &border_.top;
        else if (name == "bottom")
            s = &border_.bottom;
        else if (name == "diagonal")
            s = &border_.diagonal;
        else if (name == "vertical")
            s = &border_.vertical;
        else if (name == "horizontal")
            s = &border_.horizontal;
        if (s) {
            const char* st = attr(atts, "style");
            s->style = st && std::strcmp(st, "none") != 0 ? st : "";
            side_ = s;
        } else if (name == "color" && side_) {
            side_->color = readColor(atts);
        }
    }

    StyleTable& t_;
    std::string section_;
    Font font_;
    Fill fill_;
    Border border_;
    BorderSide* side_ = nullptr;
    CellFormat xf_;
    Capture capture_;
};

// ---- theme -----------------------------------------------------------------------------------

class ThemeHandler : public SaxHandler {
public:
    std::map<std::string, uint32_t> colors;
    void start(std::string_view name, const char** atts) override {
        if (name == "clrScheme") inScheme_ = true;
        if (!inScheme_) return;
        static const char* slots[] = {"dk1",     "lt1",     "dk2",     "lt2",
                                      "accent1", "accent2", "accent3", "accent4",
                                      "accent5", "accent6", "hlink",   "folHlink"};
        for (const char* s : slots)
            if (name == s) slot_ = s;
        uint32_t argb = 0;
        if (!slot_.empty() && name == "srgbClr" && xlsx::parseArgb(attr(atts, "val"), argb))
            colors.emplace(slot_, argb);
        else if (!slot_.empty() && name == "sysClr" && xlsx::parseArgb(attr(atts, "lastClr"), argb))
            colors.emplace(slot_, argb);
    }
    void end(std::string_view name) override {
        if (name == "clrScheme") inScheme_ = false;
        if (name == slot_) slot_.clear();
    }
    // In the order cells refer to them: lt1, dk1, lt2, dk2, accents, hlink, folHlink.
    std::vector<uint32_t> ordered() const {
        static const char* order[] = {"lt1",     "dk1",     "lt2",     "dk2",
                                      "accent1", "accent2", "accent3", "accent4",
                                      "accent5", "accent6", "hlink",   "folHlink"};
        std::vector<uint32_t> out;
        for (const char* o : order) {
            auto it = colors.find(o);
            if (it == colors.end()) return {};
            out.push_back(it->second);
        }
        return out;
    }

private:
    bool inScheme_ = false;
    std::string slot_;
};

// Some writers put a short panose ("20") where ten hex digits belong; such an attribute is
// removed so that the theme we write back is valid.
void dropBadPanose(std::string& xml) {
    size_t at = 0;
    while ((at = xml.find(" panose=\"", at)) != std::string::npos) {
        size_t start = at + 9, end = xml.find('"', start);
        if (end == std::string::npos) return;
        bool ok = end - start == 10;
        for (size_t i = start; ok && i < end; ++i)
            ok = std::isxdigit(static_cast<unsigned char>(xml[i]));
        if (ok) {
            at = end;
        } else {
            xml.erase(at, end + 1 - at);
        }
    }
}

}  // namespace

Status readStyles(ZipReader& zip, const std::string& part, StyleTable& styles) {
    StylesHandler sh(styles);
    if (Status st = xlsx::parsePart(zip, part, sh); !st.ok()) return st;
    sh.finish();
    return okStatus();
}

Status readTheme(ZipReader& zip, const std::string& part, Workbook& wb) {
    if (Status st = zip.readAll(part, wb.themeXml); !st.ok()) return st;
    ThemeHandler th;
    if (Status st = xlsx::parseXmlText(wb.themeXml, part, th); !st.ok()) return st;
    wb.styles.themeColors = th.ordered();
    // A Strict theme cannot go into the transitional packages we write: its colours
    // are kept, the part itself is replaced by the default theme on writing.
    if (wb.themeXml.find("http://schemas.openxmlformats.org/drawingml/2006/main") ==
        std::string::npos)
        wb.themeXml.clear();
    dropBadPanose(wb.themeXml);
    return okStatus();
}

}  // namespace ss::xlsx::detail

// Reading .xlsx/.xlsm packages into the workbook model. Parts are found through the content
// types and relationships; every part is streamed through expat.
#include <algorithm>
#include <functional>
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>

#include "../formula.h"
#include "../text/xml_text.h"
#include "legacy_shapes.h"
#include "package.h"
#include "part_graph.h"
#include "xlsx.h"
#include "xml_util.h"

namespace ss {

namespace {

using xlsx::attr;
using xlsx::parseBool;
using xlsx::parseDouble;
using xlsx::parseInt;
using xlsx::parseU32;
using xlsx::SaxHandler;
using xlsx::ZipReader;

// ---- package structure ----------------------------------------------------------------------

struct Relationship {
    std::string id, type, target;  // target resolved to a part name (no leading "/")
    bool external = false;
};

// The last segment of a relationship type: "worksheet", "officeDocument", ...
std::string_view relKind(std::string_view type) {
    size_t slash = type.rfind('/');
    return slash == std::string_view::npos ? type : type.substr(slash + 1);
}

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

class ContentTypesHandler : public SaxHandler {
public:
    std::map<std::string, std::string> defaults, overrides;  // lower-case keys
    bool sawRoot = false;
    void start(std::string_view name, const char** atts) override {
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
    void end(std::string_view) override {}
    std::string typeOf(const std::string& part) const {
        auto it = overrides.find(lower(part));
        if (it != overrides.end()) return it->second;
        size_t dot = part.rfind('.');
        if (dot != std::string::npos) {
            auto d = defaults.find(lower(part.substr(dot + 1)));
            if (d != defaults.end()) return d->second;
        }
        return {};
    }
    static std::string lower(std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z') c = char(c + 32);
        return s;
    }
};

// ---- capturing elements verbatim ----------------------------------------------------------

// Re-serialises a subtree with local element names and unprefixed attributes (plus xml:*), so
// that it can be written back under the writer's own namespace declarations. Extension lists
// (foreign namespaces) are left out, and so are hyperlinks to other parts (r:id) unless
// `linkId` gives the name the writer will use for the link's target.
class Capture {
public:
    // Maps a hyperlink's relationship id to the id it is written with; empty: leave it out.
    std::function<std::string(std::string_view)> linkId;

    bool active() const { return depth_ > 0; }
    void begin(std::string_view name, const char** atts) {
        xml_.clear();
        depth_ = 0;
        skip_ = 0;
        children_ = 0;
        element_ = std::string(name);
        start(name, atts);
    }
    void start(std::string_view name, const char** atts) {
        if (skip_) {
            ++skip_;
            inRuleId_ = ruleExt_ && name == "id";
            return;
        }
        std::string link;
        if (name == "hyperlink") {
            if (const char* id = prefixedId(atts)) {
                if (linkId) link = linkId(id);
                if (link.empty()) {
                    skip_ = 1;
                    return;
                }
            }
        }
        if (name == "extLst") {
            // A rule's own list holds only the id that ties it to its 2010 twin in the sheet's
            // extension list (a data bar's look); that id is kept.
            skip_ = 1;
            ruleExt_ = element_ == "conditionalFormatting";
            ruleId_.clear();
            return;
        }
        if (depth_ == 1) ++children_;
        closePending();
        xml_ += '<';
        xml_ += name;
        if (!link.empty()) {
            xml_ += " r:id=\"";
            xml::appendXstring(xml_, link, true);
            xml_ += '"';
        }
        for (const char** a = atts; *a; a += 2) {
            const char* q = a[0];
            const char* colon = std::strchr(q, ':');
            if (colon && std::strncmp(q, "xml:", 4) != 0) continue;
            if (element_ == "pageSetup" && xlsx::localName(q) == "id") continue;
            xml_ += ' ';
            xml_ += q;
            xml_ += "=\"";
            xml::appendXstring(xml_, a[1], true);
            xml_ += '"';
        }
        pending_ = true;
        ++depth_;
    }
    // Returns true when the captured element is complete.
    bool end(std::string_view name) {
        if (skip_) {
            inRuleId_ = false;
            if (--skip_ == 0 && ruleExt_) {
                ruleExt_ = false;
                if (!ruleId_.empty()) {
                    closePending();
                    xml_ +=
                        "<extLst><ext uri=\"{B025F937-C7B1-47D3-B67F-A62EFF666E3E}\" "
                        "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/"
                        "main\"><x14:id>";
                    xml::appendEscaped(xml_, ruleId_);
                    xml_ += "</x14:id></ext></extLst>";
                }
            }
            return false;
        }
        --depth_;
        if (pending_) {
            xml_ += "/>";
            pending_ = false;
        } else {
            xml_ += "</";
            xml_ += name;
            xml_ += '>';
        }
        return depth_ == 0;
    }
    void text(const char* s, int n) {
        if (skip_ && inRuleId_) ruleId_.append(s, size_t(n));
        if (skip_ || depth_ == 0) return;
        closePending();
        xml::appendXstring(xml_, std::string_view(s, size_t(n)));
    }
    std::string take() { return std::move(xml_); }
    const std::string& element() const { return element_; }
    int children() const { return children_; }

private:
    static const char* prefixedId(const char** atts) {
        for (const char** a = atts; *a; a += 2)
            if (std::strchr(a[0], ':') && xlsx::localName(a[0]) == "id") return a[1];
        return nullptr;
    }
    void closePending() {
        if (pending_) {
            xml_ += '>';
            pending_ = false;
        }
    }
    std::string xml_, element_;
    int depth_ = 0, skip_ = 0, children_ = 0;
    bool pending_ = false;
    bool ruleExt_ = false, inRuleId_ = false;  // in a rule's extension list, in its id
    std::string ruleId_;
};

// ---- styles ----------------------------------------------------------------------------------

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

// A child element of <font> or of a rich run's <rPr>.
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

// A font as a rich run gives it: only what the run states (empty name, size 0: not given).
Font runFont() {
    Font f;
    f.name.clear();
    f.size = 0;
    return f;
}

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

// ---- shared strings --------------------------------------------------------------------------

// A text that may hold _xHHHH_ escapes, added to the strings (`append`: in its place, for the
// file's own table) and copied on the way only when it holds one.
uint32_t addXstring(SharedStrings& ss, std::string_view s, bool append) {
    if (s.find("_x") != std::string_view::npos) {
        std::string decoded = xml::decodeXstring(s);
        return append ? ss.append(decoded) : ss.add(decoded);
    }
    return append ? ss.append(s) : ss.add(s);
}

// The names of the scanner's elements (xlsx::ScannedRow::Elem), for the string item reader.
constexpr std::string_view kItemNames[] = {"row", "c",  "v",   "f",         "is",
                                           "t",   "si", "rPh", "phoneticPr"};

// Text of a string item (<si> or <is>): plain <t>, or rich runs <r><rPr/><t/></r>; phonetic
// runs (<rPh>) are not part of the text.
class StringItemReader {
public:
    void reset() {
        plain_.clear();
        runs_.clear();
        rich_ = false;
        inT_ = inRPh_ = inRPr_ = false;
    }
    // Returns true when the element belongs to the item.
    void start(std::string_view name, const char** atts) {
        if (name == "rPh") inRPh_ = true;
        if (inRPh_) return;
        if (name == "r") {
            rich_ = true;
            runs_.push_back(RichRun{});
        } else if (name == "rPr" && !runs_.empty()) {
            inRPr_ = true;
            runs_.back().font = runFont();
        } else if (name == "t") {
            inT_ = true;
        } else if (inRPr_) {
            applyFontChild(*runs_.back().font, name, atts);
        }
    }
    void end(std::string_view name) {
        if (name == "rPh")
            inRPh_ = false;
        else if (name == "t")
            inT_ = false;
        else if (name == "rPr")
            inRPr_ = false;
    }
    void text(const char* s, int n) {
        if (!inT_ || inRPh_) return;
        if (!runs_.empty())
            runs_.back().text.append(s, size_t(n));
        else
            plain_.append(s, size_t(n));
    }
    // `fromTable`: the item is one of the file's table of strings, added in its place.
    uint32_t addTo(SharedStrings& ss, bool fromTable) {
        if (!rich_) return addXstring(ss, plain_, fromTable);
        bool formatted = false;
        for (RichRun& r : runs_) {
            r.text = xml::decodeXstring(r.text);
            formatted = formatted || r.font.has_value();
        }
        if (!formatted) {
            std::string all;
            for (const RichRun& r : runs_) all += r.text;
            return fromTable ? ss.append(all) : ss.add(all);
        }
        return ss.addRich(std::move(runs_));
    }

private:
    std::string plain_;
    std::vector<RichRun> runs_;
    bool rich_ = false, inT_ = false, inRPh_ = false, inRPr_ = false;
};

class SstHandler : public SaxHandler {
public:
    SstHandler(SharedStrings& ss, std::vector<uint32_t>& map) : ss_(ss), map_(map) {}
    void start(std::string_view name, const char** atts) override {
        if (name == "sst") {
            // uniqueCount is a hint only; never trust it for an allocation beyond reason.
            uint32_t n = parseU32(attr(atts, "uniqueCount"), 0);
            map_.reserve(std::min<uint32_t>(n, 1u << 20));
        } else if (name == "si") {
            inSi_ = true;
            item_.reset();
        } else if (inSi_) {
            item_.start(name, atts);
        }
    }
    void end(std::string_view name) override {
        if (name == "si") {
            inSi_ = false;
            map_.push_back(item_.addTo(ss_, true));
        } else if (inSi_) {
            item_.end(name);
        }
    }
    void text(const char* s, int n) override {
        if (inSi_) item_.text(s, n);
    }

    // The scanner's items, with the meaning of start, end and text.
    bool readsStringTable() const override { return true; }
    bool acceptsFastRows() const override { return !inSi_ && failure.empty(); }
    bool takesScannedRows() const override { return true; }
    void row(const xlsx::ScannedRow& r) override {
        using E = xlsx::ScannedRow::Elem;
        using K = xlsx::ScannedRow::Kind;
        static const char* kNoAtts[] = {nullptr};
        // The common item, <si><t>text</t></si>, goes into the table straight from the
        // scanner's buffer.
        const xlsx::ScannedRow::Event* ev = r.events;
        if (!inSi_ && r.eventCount == 5 && ev[0].elem == E::Si && ev[1].kind == K::Start &&
            ev[2].kind == K::Text && ev[3].kind == K::End && ev[4].elem == E::Si) {
            map_.push_back(addXstring(ss_, r.text(ev[2]), true));
            return;
        }
        for (const xlsx::ScannedRow::Event& e : r) {
            if (e.kind == K::Text) {
                if (inSi_) item_.text(r.buf + e.off, int(e.len));
            } else if (e.elem == E::Si) {
                if (e.kind == K::Start) {
                    inSi_ = true;
                    item_.reset();
                } else {
                    inSi_ = false;
                    map_.push_back(item_.addTo(ss_, true));
                }
            } else if (inSi_) {  // <t>, <rPh>, <phoneticPr>: their attributes play no part
                if (e.kind == K::Start)
                    item_.start(kItemNames[size_t(e.elem)], kNoAtts);
                else
                    item_.end(kItemNames[size_t(e.elem)]);
            }
        }
    }

private:
    SharedStrings& ss_;
    std::vector<uint32_t>& map_;
    StringItemReader item_;
    bool inSi_ = false;
};

// ---- workbook part ---------------------------------------------------------------------------

struct SheetEntry {
    std::string name, relId;
    uint32_t sheetId = 0;
    SheetState state = SheetState::Visible;
};

class WorkbookHandler : public SaxHandler {
public:
    std::vector<SheetEntry> sheets;
    std::vector<DefinedName> names;
    bool date1904 = false;
    size_t activeTab = 0, firstSheet = 0;

    void start(std::string_view name, const char** atts) override {
        if (name == "workbookPr") {
            date1904 = parseBool(attr(atts, "date1904"), false);
        } else if (name == "workbookView" && !sawView_) {
            sawView_ = true;
            activeTab = parseU32(attr(atts, "activeTab"), 0);
            firstSheet = parseU32(attr(atts, "firstSheet"), 0);
        } else if (name == "sheet") {
            SheetEntry e;
            const char* n = attr(atts, "name");
            e.name = n ? n : "";
            const char* id = nullptr;
            for (const char** a = atts; *a; a += 2)  // r:id (any prefix), not sheetId
                if (std::strchr(a[0], ':') && xlsx::localName(a[0]) == "id") id = a[1];
            e.relId = id ? id : "";
            e.sheetId = parseU32(attr(atts, "sheetId"), 0);
            const char* st = attr(atts, "state");
            if (st && std::strcmp(st, "hidden") == 0) e.state = SheetState::Hidden;
            if (st && std::strcmp(st, "veryHidden") == 0) e.state = SheetState::VeryHidden;
            sheets.push_back(std::move(e));
        } else if (name == "definedName") {
            inName_ = true;
            DefinedName d;
            const char* n = attr(atts, "name");
            d.name = n ? n : "";
            if (const char* l = attr(atts, "localSheetId")) d.localSheet = parseU32(l, 0);
            d.hidden = parseBool(attr(atts, "hidden"), false);
            if (const char* c = attr(atts, "comment")) d.comment = c;
            names.push_back(std::move(d));
        }
    }
    void end(std::string_view name) override {
        if (name == "definedName") inName_ = false;
    }
    void text(const char* s, int n) override {
        if (inName_) names.back().formula.append(s, size_t(n));
    }

private:
    bool sawView_ = false, inName_ = false;
};

// ---- worksheets ------------------------------------------------------------------------------

// An element name against a literal, without a library call on the per-cell path.
template <size_t N>
inline bool is(std::string_view name, const char (&lit)[N]) {
    return name.size() == N - 1 && std::memcmp(name.data(), lit, N - 1) == 0;
}

// parseInt for the common value of one to 18 plain digits, without measuring the string first
// (row numbers, styles, indexes of shared strings).
inline int64_t parseIndex(const char* v, int64_t dflt) {
    if (!v) return dflt;
    int64_t x = 0;
    int i = 0;
    while (i < 18 && v[i] >= '0' && v[i] <= '9') x = x * 10 + (v[i++] - '0');
    return i > 0 && v[i] == 0 ? x : parseInt(v, dflt);
}

inline uint32_t parseIndexU32(const char* v, uint32_t dflt) {
    const int64_t i = parseIndex(v, dflt);
    return i < 0 || i > int64_t(UINT32_MAX) ? dflt : uint32_t(i);
}

// A cell's number: xlsx::parseDouble, with plain decimals and whole numbers of up to 15 digits
// ("-1234.56", "44448") taken without the general conversion. Their digits make an integer
// below 2^53 and the power of ten is exact, so the one division rounds correctly, as the general
// conversion does.
inline double parseCellNumber(std::string_view v) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const size_t n = v.size();
    const bool minus = n && v[0] == '-';
    size_t i = minus ? 1 : 0, digits = 0, point = 0;
    uint64_t whole = 0;
    for (; i < n; ++i) {
        const char c = v[i];
        if (c >= '0' && c <= '9') {
            whole = whole * 10 + uint64_t(c - '0');
            ++digits;
        } else if (c == '.' && !point && digits) {
            point = digits;
        } else {
            break;
        }
    }
    if (i == n && point < digits && digits <= 15) {
        const double d = point ? double(whole) / kPow10[digits - point] : double(whole);
        return minus ? -d : d;
    }
    return xlsx::parseDouble(v.data(), v.size(), 0.0);
}

// "B12" -> row 12, col 2 from a value of known length (the scanner's); false on anything else
// or outside the sheet.
inline bool parseCellRef(std::string_view s, uint32_t& row, uint32_t& col) {
    const size_t n = s.size();
    size_t i = 0;
    uint32_t c = 0, r = 0;
    for (; i < n && i < 4; ++i) {
        const uint32_t l = uint32_t(static_cast<unsigned char>(s[i])) - 'A';
        if (l >= 26) break;
        c = c * 26 + l + 1;
    }
    if (i == 0 || i > 3 || n - i == 0 || n - i > 7) return false;
    for (; i < n; ++i) {
        const uint32_t d = uint32_t(static_cast<unsigned char>(s[i])) - '0';
        if (d > 9) return false;
        r = r * 10 + d;
    }
    if (c > kXlsxMaxCols || r == 0 || r > kXlsxMaxRows) return false;
    row = r;
    col = c;
    return true;
}

// "B12" -> row 12, col 2; false on anything else or outside the sheet.
bool parseCellRef(const char* s, uint32_t& row, uint32_t& col) {
    uint32_t c = 0, r = 0;
    int letters = 0, digits = 0;
    while (*s >= 'A' && *s <= 'Z') {
        c = c * 26 + uint32_t(*s - 'A' + 1);
        ++s;
        if (++letters > 3) return false;
    }
    while (*s >= '0' && *s <= '9') {
        r = r * 10 + uint32_t(*s - '0');
        ++s;
        if (++digits > 7) return false;
    }
    if (*s || !letters || !digits || c > kXlsxMaxCols || r == 0 || r > kXlsxMaxRows) return false;
    row = r;
    col = c;
    return true;
}

// Days from 1970-01-01 of a civil date.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

// An ISO 8601 date and time ("2021-03-04", "2021-03-04T05:06:07.5Z", "T10:00") as a serial.
bool parseIsoDate(std::string_view s, bool date1904, double& out) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0;
    double sec = 0;
    size_t i = 0;
    auto num = [&](int n, int& v) {
        if (i + size_t(n) > s.size()) return false;
        v = 0;
        for (int k = 0; k < n; ++k) {
            char c = s[i++];
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        return true;
    };
    bool hasDate = false;
    if (!s.empty() && s[0] != 'T') {
        if (!num(4, y) || i >= s.size() || s[i++] != '-' || !num(2, mo) || i >= s.size() ||
            s[i++] != '-' || !num(2, d))
            return false;
        if (mo < 1 || mo > 12 || d < 1 || d > 31) return false;
        hasDate = true;
    }
    if (i < s.size() && (s[i] == 'T' || s[i] == ' ')) {
        ++i;
        if (!num(2, h) || i >= s.size() || s[i++] != ':' || !num(2, mi)) return false;
        if (i < s.size() && s[i] == ':') {
            ++i;
            size_t st = i;
            while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.')) ++i;
            sec = parseDouble(std::string(s.substr(st, i - st)).c_str(), 0);
        }
    }
    double serial = 0;
    if (hasDate) {
        int64_t days = daysFromCivil(y, unsigned(mo), unsigned(d));
        if (date1904) {
            serial = double(days - daysFromCivil(1904, 1, 1));
        } else {
            serial = double(days - daysFromCivil(1899, 12, 30));
            if (serial < 61) serial -= 1;  // before the phantom 1900-02-29
            if (serial < 1) serial = 0;
        }
    }
    out = serial + (h * 3600 + mi * 60 + sec) / 86400.0;
    return true;
}

struct SharedFormula {
    std::string text;
    uint32_t row = 0, col = 0;
};

// A sheet's comments part: the authors, and per comment its cell and its text as kept.
class CommentsHandler : public SaxHandler {
public:
    std::vector<CellNote> notes;

    void start(std::string_view name, const char** atts) override {
        if (capture_.active()) {
            capture_.start(name, atts);
        } else if (name == "author") {
            inAuthor_ = true;
            authors_.emplace_back();
        } else if (name == "comment") {
            note_ = CellNote{};
            authorId_ = parseU32(attr(atts, "authorId"), UINT32_MAX);
            const char* ref = attr(atts, "ref");
            valid_ = ref && parseCellRef(ref, note_.row, note_.col);
        } else if (name == "text" && valid_) {
            capture_.begin(name, atts);
        }
    }
    void end(std::string_view name) override {
        if (capture_.active()) {
            if (capture_.end(name)) note_.textXml = capture_.take();
        } else if (name == "author") {
            inAuthor_ = false;
        } else if (name == "comment" && valid_) {
            if (authorId_ < authors_.size()) note_.author = authors_[authorId_];
            if (!note_.textXml.empty()) notes.push_back(std::move(note_));
            valid_ = false;
        }
    }
    void text(const char* s, int n) override {
        if (capture_.active())
            capture_.text(s, n);
        else if (inAuthor_)
            authors_.back().append(s, size_t(n));
    }

private:
    std::vector<std::string> authors_;
    CellNote note_;
    uint32_t authorId_ = UINT32_MAX;
    bool inAuthor_ = false, valid_ = false;
    Capture capture_;
};

class SheetHandler : public SaxHandler {
public:
    // `links`: the sheet's relationships to targets outside the package, by id.
    SheetHandler(Workbook& wb, Worksheet& ws, const std::vector<uint32_t>& sst,
                 uint64_t& cellBudget, uint64_t partBytes,
                 std::map<std::string, std::string, std::less<>> links = {})
        : wb_(wb),
          ws_(ws),
          sst_(sst),
          budget_(cellBudget),
          partBytes_(partBytes),
          links_(std::move(links)) {
        capture_.linkId = [this](std::string_view id) -> std::string {
            auto it = links_.find(id);
            if (it == links_.end()) return {};
            auto& targets = ws_.externalLinks;
            auto known = std::find(targets.begin(), targets.end(), it->second);
            size_t n = size_t(known - targets.begin()) + 1;
            if (known == targets.end()) targets.push_back(it->second);
            return "rIdL" + std::to_string(n);
        };
    }

    void start(std::string_view name, const char** atts) override {
        if (capture_.active()) {
            capture_.start(name, atts);
            return;
        }
        if (inSheetData_) {
            sheetDataStart(name, atts);
            return;
        }
        if (depth_ == 0) rootStart(atts);
        if (depth_ == 1 && name == "legacyDrawing") {
            for (const char** a = atts; *a; a += 2)
                if (std::strchr(a[0], ':') && xlsx::localName(a[0]) == "id") legacyDrawingId = a[1];
        } else if (depth_ == 1) {
            dropTop_ = name == "controls" ? "表单控件" : name == "oleObjects" ? "嵌入对象" : "";
        } else if (depth_ == 2 && !dropTop_.empty() && (name == "control" || name == "oleObject")) {
            ++dropped[dropTop_];
        }
        if (depth_++ != 1) {
            // Below a top-level element.
            if (name == "tabColor" && topName_ == "sheetPr")
                ws_.tabColor = readColor(atts);
            else if (name == "pageSetUpPr" && topName_ == "sheetPr")
                ws_.fitToPage = parseBool(attr(atts, "fitToPage"), false);
            else if (name == "pane" && topName_ == "sheetViews" && viewCount_ == 1)
                paneStart(atts);
            else if (name == "sheetView" && topName_ == "sheetViews")
                viewStart(atts);
            else if (name == "col" && topName_ == "cols")
                colStart(atts);
            else if (name == "mergeCell" && topName_ == "mergeCells")
                mergeStart(atts);
            return;
        }
        topName_ = std::string(name);
        if (name == "sheetData") {
            inSheetData_ = true;
        } else if (name == "sheetFormatPr") {
            ws_.defaultRowHeight = parseDouble(attr(atts, "defaultRowHeight"), 15.0);
            ws_.customDefaultRowHeight = parseBool(attr(atts, "customHeight"), false);
            if (const char* w = attr(atts, "defaultColWidth"))
                ws_.defaultColWidth = parseDouble(w, 8.43);
            ws_.baseColWidth = parseU32(attr(atts, "baseColWidth"), 8, 255);
        } else if (name == "dimension") {
            // Rows are reserved up front when the dimension is believable: a row takes at
            // least 16 bytes of XML, so a lying dimension cannot reserve beyond the part.
            if (const char* ref = attr(atts, "ref"))
                if (auto r = parseRange(ref); r && ws_.rows().empty())
                    ws_.mutableRows().reserve(
                        size_t(std::min<uint64_t>(r->lastRow, partBytes_ / 16)));
        } else if (name == "autoFilter") {
            if (const char* ref = attr(atts, "ref")) ws_.autoFilter = parseRange(ref);
        } else if (isPreserved(name)) {
            capture_.begin(name, atts);
            --depth_;  // the capture sees the end tag
        }
    }

    void end(std::string_view name) override {
        if (capture_.active()) {
            if (capture_.end(name)) {
                std::string element = capture_.element();
                bool empty = element == "hyperlinks" && capture_.children() == 0;
                std::string xml = capture_.take();
                if (!empty) ws_.preserved.push_back(PreservedXml{element, std::move(xml)});
            }
            return;
        }
        if (inSheetData_) {
            if (is(name, "sheetData")) {
                inSheetData_ = false;
                --depth_;
            } else {
                sheetDataEnd(name);
            }
            return;
        }
        --depth_;
    }

    bool readsSheetData() const override { return true; }
    // A conditional format's rules keep the id that ties them to their 2010 twins.
    bool wantsNestedExtensions() const override {
        return capture_.active() && capture_.element() == "conditionalFormatting";
    }

    // Elements that name parts, and the filter with its criteria, are kept as written.
    bool wantsRaw(std::string_view n) const override {
        if (strict_) return false;
        return n == "drawing" || n == "legacyDrawingHF" || n == "drawingHF" || n == "picture" ||
               n == "tableParts" || n == "extLst" || n == "autoFilter" || n == "sortState" ||
               n == "controls" || n == "oleObjects" || n == "AlternateContent";
    }
    void raw(std::string_view n, std::string xml) override {
        if (n == "autoFilter") {
            size_t at = xml.find(" ref=\"");
            if (at != std::string::npos) {
                size_t end = xml.find('"', at + 6);
                if (end != std::string::npos)
                    ws_.autoFilter = parseRange(xml.substr(at + 6, end - at - 6));
            }
            // Criteria or a sort state inside: kept for as long as the range stays.
            if (ws_.autoFilter && xml.find("/>") != xml.size() - 2) {
                autoFilterXml = std::move(xml);
                autoFilterRef = ws_.autoFilter->toA1();
            }
        } else if (n == "sortState") {
            sortStateXml = std::move(xml);
        } else if (n == "AlternateContent" || n == "controls" || n == "oleObjects") {
            // Controls and embedded objects, bare or wrapped with their 2010 form first: kept
            // whole. Objects linked to other files name the workbook's external links, which
            // are not carried.
            std::string_view inner = n == "AlternateContent" ? wrappedElement(xml) : n;
            if (inner == "oleObjects" && xml.find(" link=\"") != std::string::npos)
                dropped["嵌入对象"] += std::max<uint32_t>(1, objectCount(xml));
            else if (inner == "controls" || inner == "oleObjects")
                elements.push_back(RawSheetElement{std::string(inner), std::move(xml)});
            else
                ++dropped["其他对象"];
        } else {
            elements.push_back(RawSheetElement{std::string(n), std::move(xml)});
        }
    }

    // The first element inside a compatibility wrapper's branches.
    static std::string_view wrappedElement(std::string_view xml) {
        xml::Tag t;
        size_t pos = 0;
        while (xml::nextTag(xml, pos, t)) {
            if (!t.closing && t.local != "AlternateContent" && t.local != "Choice" &&
                t.local != "Fallback")
                return t.local;
            pos = t.end;
        }
        return {};
    }

    // What the sheet names beside its cells, for the part graph.
    std::vector<RawSheetElement> elements;
    std::string namespaces, autoFilterXml, autoFilterRef, sortStateXml, legacyDrawingId;
    std::set<std::string> relPrefixes;
    std::map<std::string, uint32_t> dropped;
    bool strictNamespace() const { return strict_; }
    bool acceptsFastRows() const override {
        return inSheetData_ && !capture_.active() && !inV_ && !inF_ && !inIs_ && failure.empty();
    }

    // The fast scanner's rows, with the meaning of sheetDataStart, sheetDataEnd and text.
    bool takesScannedRows() const override { return true; }
    void row(const xlsx::ScannedRow& r) override {
        using E = xlsx::ScannedRow::Elem;
        using K = xlsx::ScannedRow::Kind;
        static const char* kNoAtts[] = {nullptr};
        const xlsx::ScannedRow::Event* const last = r.end();
        for (const xlsx::ScannedRow::Event* ev = r.begin(); ev != last; ++ev) {
            const xlsx::ScannedRow::Event& e = *ev;
            if (e.kind == K::Text) {
                if (inV_) {
                    valueText(r.text(e));
                } else if (inF_) {
                    f_.append(r.text(e));
                } else if (inIs_) {
                    item_.text(r.buf + e.off, int(e.len));
                }
            } else if (e.kind == K::Start) {
                switch (e.elem) {
                    case E::C:
                        cellStart(r, e);
                        // The usual cell, <c ...><v>text</v></c>, taken whole.
                        if (last - ev > 4 && ev[1].elem == E::V && ev[1].kind == K::Start &&
                            ev[2].kind == K::Text && ev[3].elem == E::V && ev[3].kind == K::End &&
                            ev[4].elem == E::C && ev[4].kind == K::End) {
                            vView_ = r.text(ev[2]);
                            cellEnd();
                            ev += 4;
                        }
                        break;
                    case E::V:
                        inV_ = true;
                        break;
                    case E::F:
                        inF_ = true;
                        fStart(r, e);
                        break;
                    case E::Is:
                        inIs_ = true;
                        hasIs_ = true;
                        item_.reset();
                        break;
                    case E::T:
                        if (inIs_) item_.start("t", kNoAtts);
                        break;
                    case E::Row:
                        // The scanner gives rows only at the top (never inside an item).
                        rowStart(r, e);
                        break;
                    case E::RPh:
                    case E::PhoneticPr:
                        if (inIs_) item_.start(kItemNames[size_t(e.elem)], kNoAtts);
                        break;
                    case E::Si:  // only in a string table
                        break;
                }
            } else {
                switch (e.elem) {
                    case E::V:
                        inV_ = false;
                        break;
                    case E::F:
                        inF_ = false;
                        break;
                    case E::Is:
                        inIs_ = false;
                        break;
                    case E::T:
                        if (inIs_) item_.end("t");
                        break;
                    case E::C:
                        if (!inIs_) cellEnd();
                        break;
                    case E::RPh:
                    case E::PhoneticPr:
                        if (inIs_) item_.end(kItemNames[size_t(e.elem)]);
                        break;
                    case E::Row:
                    case E::Si:
                        break;
                }
            }
            if (!failure.empty()) break;
        }
        vView_ = {};  // it points into the scanner's buffer
    }

    void text(const char* s, int n) override {
        if (capture_.active())
            capture_.text(s, n);
        else if (inV_)
            v_.append(s, size_t(n));
        else if (inF_)
            f_.append(s, size_t(n));
        else if (inIs_)
            item_.text(s, n);
    }

    void finish() {
        ws_.normalize();
        auto& rows = ws_.mutableRows();
        if (rows.capacity() > rows.size() + rows.size() / 8) rows.shrink_to_fit();
        std::sort(ws_.columns.begin(), ws_.columns.end(),
                  [](const ColumnInfo& a, const ColumnInfo& b) { return a.first < b.first; });
        std::vector<ColumnInfo> cols;
        for (ColumnInfo& c : ws_.columns) {
            if (!cols.empty() && c.first <= cols.back().last) {
                if (c.last <= cols.back().last) continue;
                c.first = cols.back().last + 1;
            }
            cols.push_back(c);
        }
        ws_.columns = std::move(cols);
    }

private:
    void rootStart(const char** atts) {
        for (const char** a = atts; *a; a += 2) {
            std::string_view q = a[0];
            std::string_view v = a[1];
            if (v == "http://purl.oclc.org/ooxml/spreadsheetml/main") strict_ = true;
            if (q.substr(0, 6) != "xmlns:") continue;
            std::string prefix(q.substr(6));
            if (v == "http://schemas.openxmlformats.org/officeDocument/2006/relationships") {
                relPrefixes.insert(prefix);
                if (prefix == "r") continue;  // the writer declares it
            }
            if (prefix == "r") continue;
            namespaces += ' ';
            namespaces += q;
            namespaces += "=\"";
            xml::appendXstring(namespaces, v, true);
            namespaces += '"';
        }
    }

    static bool isPreserved(std::string_view n) {
        return n == "sheetProtection" || n == "protectedRanges" || n == "conditionalFormatting" ||
               n == "dataValidations" || n == "hyperlinks" || n == "printOptions" ||
               n == "pageMargins" || n == "pageSetup" || n == "headerFooter" || n == "rowBreaks" ||
               n == "colBreaks" || n == "ignoredErrors";
    }

    void viewStart(const char** atts) {
        if (++viewCount_ != 1) return;
        ws_.showGridLines = parseBool(attr(atts, "showGridLines"), true);
        ws_.rightToLeft = parseBool(attr(atts, "rightToLeft"), false);
        ws_.tabSelected = parseBool(attr(atts, "tabSelected"), false);
        ws_.zoomScale = parseU32(attr(atts, "zoomScale"), 100, 400);
        if (ws_.zoomScale < 10) ws_.zoomScale = 100;
    }

    void paneStart(const char** atts) {
        const char* st = attr(atts, "state");
        if (!st || (std::strcmp(st, "frozen") != 0 && std::strcmp(st, "frozenSplit") != 0)) return;
        ws_.frozenCols =
            uint32_t(std::clamp<double>(parseDouble(attr(atts, "xSplit"), 0), 0, kXlsxMaxCols - 1));
        ws_.frozenRows =
            uint32_t(std::clamp<double>(parseDouble(attr(atts, "ySplit"), 0), 0, kXlsxMaxRows - 1));
    }

    void colStart(const char** atts) {
        ColumnInfo c;
        c.first = parseU32(attr(atts, "min"), 0);
        c.last = std::min(parseU32(attr(atts, "max"), 0), kXlsxMaxCols);
        if (c.first == 0 || c.first > c.last) return;
        c.width = parseDouble(attr(atts, "width"), 0);
        c.style = parseU32(attr(atts, "style"), 0);
        if (c.style >= wb_.styles.cellXfs.size()) c.style = 0;
        c.customWidth = parseBool(attr(atts, "customWidth"), false);
        c.hidden = parseBool(attr(atts, "hidden"), false);
        c.bestFit = parseBool(attr(atts, "bestFit"), false);
        c.collapsed = parseBool(attr(atts, "collapsed"), false);
        c.outlineLevel = uint8_t(std::min<uint32_t>(parseU32(attr(atts, "outlineLevel"), 0), 7));
        ws_.columns.push_back(c);
    }

    void mergeStart(const char** atts) {
        const char* ref = attr(atts, "ref");
        if (!ref) return;
        auto r = parseRange(ref);
        if (r && (r->rowCount() > 1 || r->colCount() > 1)) ws_.merges.push_back(*r);
    }

    void sheetDataStart(std::string_view name, const char** atts) {
        if (is(name, "c")) {
            cellStart(atts);
        } else if (is(name, "v")) {
            inV_ = true;
        } else if (is(name, "f")) {
            inF_ = true;
            fStart(atts);
        } else if (is(name, "is")) {
            inIs_ = true;
            hasIs_ = true;
            item_.reset();
        } else if (inIs_) {
            item_.start(name, atts);
        } else if (is(name, "row")) {
            rowStart(atts);
        }
    }

    void sheetDataEnd(std::string_view name) {
        if (is(name, "v"))
            inV_ = false;
        else if (is(name, "f"))
            inF_ = false;
        else if (is(name, "is"))
            inIs_ = false;
        else if (inIs_)
            item_.end(name);
        else if (is(name, "c"))
            cellEnd();
    }

    void setFailure(std::string reason) {
        if (failure.empty()) failure = std::move(reason);
    }

    // A row's attributes by local name (the last of a name counts).
    struct RowAtts {
        const char *r = nullptr, *ht = nullptr, *customHeight = nullptr, *customFormat = nullptr,
                   *s = nullptr, *hidden = nullptr, *collapsed = nullptr, *outline = nullptr;
    };

    void rowStart(const char** atts) {
        // One pass over the attributes (a sheet has as many rows as it has).
        RowAtts a;
        for (const char** at = atts; *at; at += 2) {
            const std::string_view k = xlsx::localName(at[0]);
            if (k == "r")
                a.r = at[1];
            else if (k == "ht")
                a.ht = at[1];
            else if (k == "customHeight")
                a.customHeight = at[1];
            else if (k == "customFormat")
                a.customFormat = at[1];
            else if (k == "s")
                a.s = at[1];
            else if (k == "hidden")
                a.hidden = at[1];
            else if (k == "collapsed")
                a.collapsed = at[1];
            else if (k == "outlineLevel")
                a.outline = at[1];
        }
        rowStart(a);
    }

    void rowStart(const xlsx::ScannedRow& row, const xlsx::ScannedRow::Event& e) {
        using A = xlsx::ScannedRow::Att;
        RowAtts a;
        for (auto* at = row.attrsBegin(e); at != row.attrsEnd(e); ++at) {
            const char* v = row.value(*at);
            switch (at->id) {
                case A::R:
                    a.r = v;
                    break;
                case A::Ht:
                    a.ht = v;
                    break;
                case A::CustomHeight:
                    a.customHeight = v;
                    break;
                case A::CustomFormat:
                    a.customFormat = v;
                    break;
                case A::S:
                    a.s = v;
                    break;
                case A::Hidden:
                    a.hidden = v;
                    break;
                case A::Collapsed:
                    a.collapsed = v;
                    break;
                case A::OutlineLevel:
                    a.outline = v;
                    break;
                default:
                    break;
            }
        }
        rowStart(a);
    }

    void rowStart(const RowAtts& a) {
        const char *r = a.r, *ht = a.ht, *customHeight = a.customHeight,
                   *customFormat = a.customFormat, *s = a.s, *hidden = a.hidden,
                   *collapsed = a.collapsed, *outline = a.outline;
        uint32_t idx = rowIndex_ + 1;
        if (r) {
            int64_t v = parseIndex(r, -1);
            if (v < 1 || v > int64_t(kXlsxMaxRows))
                return setFailure("行号 " + std::string(r) + " 超出范围（最多 1048576 行）。");
            idx = uint32_t(v);
        }
        if (idx > kXlsxMaxRows) return setFailure("行数超出范围（最多 1048576 行）。");
        rowIndex_ = idx;
        col_ = 0;
        size_t hint = ws_.rows().empty() ? 0 : ws_.rows().back().cells.size();
        Row& row = ws_.row(idx);
        curRow_ = &row;
        if (ht) row.height = float(parseDouble(ht, 0));
        row.customHeight = parseBool(customHeight, false);
        row.customFormat = parseBool(customFormat, false);
        row.style = parseIndexU32(s, 0);
        if (row.style >= wb_.styles.cellXfs.size()) row.style = 0;
        row.hidden = parseBool(hidden, false);
        row.collapsed = parseBool(collapsed, false);
        row.outlineLevel = uint8_t(std::min<uint32_t>(parseU32(outline, 0), 7));
        if (row.cells.empty() && hint) row.cells.reserve(hint);
    }

    void cellStart(const char** atts) {
        cellBegin();
        for (const char** a = atts; *a; a += 2) {
            const char* k = a[0];
            if ((k[0] == 'r' || k[0] == 's' || k[0] == 't') && k[1] == 0 && !cellAttr(k[0], a[1]))
                return;
        }
        cellAttsDone();
    }

    void cellStart(const xlsx::ScannedRow& row, const xlsx::ScannedRow::Event& e) {
        using A = xlsx::ScannedRow::Att;
        cellBegin();
        for (auto* at = row.attrsBegin(e); at != row.attrsEnd(e); ++at) {
            if (at->prefixed) continue;  // only the unprefixed r, s and t count
            switch (at->id) {
                case A::R:
                    if (!parseCellRef(row.valueView(*at), cellRow_, cellCol_))
                        return badCellRef(row.value(*at));
                    break;
                case A::S:
                    cellStyle(row.value(*at));
                    break;
                case A::T:
                    cellType(row.valueView(*at));
                    break;
                default:
                    break;
            }
        }
        cellAttsDone();
    }

    void cellBegin() {
        cellRow_ = rowIndex_ ? rowIndex_ : 1;
        cellCol_ = col_ + 1;
        style_ = 0;
        type_ = 'n';
        v_.clear();
        vView_ = {};
        f_.clear();
        hasIs_ = false;
        fKind_ = FKind::None;
    }

    // The cell's attribute r, s or t; false when it failed the read.
    bool cellAttr(char k, const char* v) {
        if (k == 'r') {
            if (!parseCellRef(v, cellRow_, cellCol_)) {
                badCellRef(v);
                return false;
            }
        } else if (k == 's') {
            cellStyle(v);
        } else {
            cellType(v);
        }
        return true;
    }
    void badCellRef(const char* v) {
        setFailure("单元格引用 " + std::string(v).substr(0, 32) + " 无效或超出范围。");
    }
    void cellStyle(const char* v) {
        style_ = parseIndexU32(v, 0);
        if (style_ >= wb_.styles.cellXfs.size()) style_ = 0;
    }
    void cellType(std::string_view t) {
        if (t.size() == 1) {
            const char c = t[0];
            if (c == 's' || c == 'b' || c == 'e' || c == 'd') type_ = c;
        } else if (t == "str") {
            type_ = 'f';
        } else if (t == "inlineStr") {
            type_ = 'i';
        }
    }

    void cellAttsDone() {
        if (cellCol_ > kXlsxMaxCols) return setFailure("列数超出范围（最多 16384 列）。");
        col_ = cellCol_;
    }

    // Text of <v> from the scanner: kept where it lies unless a second piece comes.
    void valueText(std::string_view t) {
        if (vView_.empty() && v_.empty()) {
            vView_ = t;
            return;
        }
        if (!vView_.empty()) {
            v_.assign(vView_);
            vView_ = {};
        }
        v_.append(t);
    }

    enum class FKind { None, Normal, Shared, Array, Skip };

    void fStart(const char** atts) {
        fStart(attr(atts, "t"), attr(atts, "si"), attr(atts, "ref"), attr(atts, "cm"));
    }

    void fStart(const xlsx::ScannedRow& row, const xlsx::ScannedRow::Event& e) {
        using A = xlsx::ScannedRow::Att;
        const char *t = nullptr, *si = nullptr, *ref = nullptr, *cm = nullptr;
        for (auto* at = row.attrsBegin(e); at != row.attrsEnd(e); ++at) {
            const char** slot = at->id == A::T     ? &t
                                : at->id == A::Si  ? &si
                                : at->id == A::Ref ? &ref
                                : at->id == A::Cm  ? &cm
                                                   : nullptr;
            if (slot && !*slot) *slot = row.value(*at);  // the first of a name counts
        }
        fStart(t, si, ref, cm);
    }

    void fStart(const char* t, const char* si, const char* ref, const char* cm) {
        fKind_ = FKind::Normal;
        fRef_.clear();
        fSi_ = UINT32_MAX;
        if (t && std::strcmp(t, "shared") == 0) {
            fKind_ = FKind::Shared;
            fSi_ = parseU32(si, UINT32_MAX);
        } else if (t && std::strcmp(t, "array") == 0) {
            fKind_ = FKind::Array;
        } else if (t && std::strcmp(t, "dataTable") == 0) {
            fKind_ = FKind::Skip;  // what-if tables: the values stay, the table does not
        }
        if (ref) fRef_ = ref;
        if (cm && fKind_ == FKind::Normal) fKind_ = FKind::Array;  // dynamic array
    }

    void cellEnd() {
        if (!failure.empty()) return;
        Cell c;
        c.col = uint16_t(cellCol_);
        c.style = style_;
        // NUL-ended either way (the scanner ends every text with one).
        const std::string_view v = vView_.empty() ? std::string_view(v_) : vView_;
        bool hasV = !v.empty() || hasIs_;
        if (hasV || type_ == 'f') {
            switch (type_) {
                case 'n':
                    c.type = CellType::Number;
                    c.number = parseCellNumber(v);
                    break;
                case 's': {
                    int64_t i = parseIndex(v.data(), -1);
                    if (i < 0 || uint64_t(i) >= sst_.size())
                        return setFailure("单元格 " + cellName(cellRow_, cellCol_) +
                                          " 引用了不存在的共享字符串。");
                    c.type = CellType::String;
                    c.sst = sst_[size_t(i)];
                    break;
                }
                case 'f':
                    c.type = CellType::String;
                    c.sst = addXstring(wb_.strings, v, false);
                    break;
                case 'i':
                    c.type = CellType::String;
                    c.sst = hasIs_ ? item_.addTo(wb_.strings, false)
                                   : addXstring(wb_.strings, v, false);
                    break;
                case 'b':
                    c.type = CellType::Boolean;
                    c.boolean = v == "1" || v == "true" || v == "TRUE";
                    break;
                case 'e':
                    c.type = CellType::Error;
                    c.error = parseErrorText(v).value_or(ErrorCode::Value);
                    break;
                case 'd': {
                    double serial = 0;
                    if (parseIsoDate(v, wb_.date1904, serial)) {
                        c.type = CellType::Number;
                        c.number = serial;
                    }
                    break;
                }
            }
        }
        std::optional<Formula> formula = takeFormula();
        if (c.type == CellType::Empty && c.style == 0 && !formula) return;
        if (budget_ == 0) return setFailure("单元格数量超过上限。");
        --budget_;
        if (formula) c.flags |= Cell::kHasFormula;

        if (curRow_ && cellRow_ == rowIndex_) {
            curRow_->cells.push_back(c);
        } else {
            // A cell whose reference names another row: inserting that row may move the rows.
            ws_.row(cellRow_).cells.push_back(c);
            curRow_ = rowIndex_ ? ws_.findRow(rowIndex_) : nullptr;
        }
        if (formula)
            ws_.mutableFormulas()[Worksheet::key(cellRow_, cellCol_)] = std::move(*formula);
    }

    std::optional<Formula> takeFormula() {
        if (fKind_ == FKind::None || fKind_ == FKind::Skip) return std::nullopt;
        Formula f;
        if (fKind_ == FKind::Shared) {
            if (!f_.empty()) {
                if (fSi_ != UINT32_MAX) shared_[fSi_] = SharedFormula{f_, cellRow_, cellCol_};
                f.text = f_;
            } else {
                auto it = shared_.find(fSi_);
                if (it == shared_.end()) return std::nullopt;
                f.text = shiftFormula(it->second.text, int64_t(cellRow_) - int64_t(it->second.row),
                                      int64_t(cellCol_) - int64_t(it->second.col));
            }
        } else {
            if (f_.empty()) return std::nullopt;
            f.text = f_;
            if (fKind_ == FKind::Array) {
                f.array = true;
                auto r = fRef_.empty() ? std::nullopt : parseRange(fRef_);
                f.arrayRange = r ? *r : CellRange{cellRow_, cellCol_, cellRow_, cellCol_};
            }
        }
        return f;
    }

    Workbook& wb_;
    Worksheet& ws_;
    const std::vector<uint32_t>& sst_;
    uint64_t& budget_;
    uint64_t partBytes_;
    std::map<std::string, std::string, std::less<>> links_;
    std::string dropTop_;
    bool strict_ = false;
    Capture capture_;
    StringItemReader item_;
    std::unordered_map<uint32_t, SharedFormula> shared_;
    std::string topName_, v_, f_, fRef_;
    std::string_view vView_;  // the text of <v> in the scanner's buffer, when not in v_
    int depth_ = 0, viewCount_ = 0;
    bool inSheetData_ = false, inV_ = false, inF_ = false, inIs_ = false, hasIs_ = false;
    Row* curRow_ = nullptr;  // the row of rowIndex_
    uint32_t rowIndex_ = 0, col_ = 0, cellRow_ = 0, cellCol_ = 0, style_ = 0, fSi_ = 0;
    char type_ = 'n';
    FKind fKind_ = FKind::None;
};

// ---- the package -----------------------------------------------------------------------------

bool isWorkbookType(std::string_view ct) {
    return ct.find("spreadsheetml.sheet.main+xml") != std::string_view::npos ||
           ct.find("spreadsheetml.template.main+xml") != std::string_view::npos ||
           ct.find("ms-excel.sheet.macroEnabled.main+xml") != std::string_view::npos ||
           ct.find("ms-excel.template.macroEnabled.main+xml") != std::string_view::npos;
}

Result<std::vector<Relationship>> readRels(ZipReader& zip, const std::string& source) {
    std::string part = source.empty() ? "_rels/.rels" : relsPartOf(source);
    if (!zip.has(part)) return std::vector<Relationship>{};
    RelsHandler h(source);
    Status st = xlsx::parsePart(zip, part, h);
    if (!st.ok()) return st.error();
    if (!h.sawRoot) return fail("部件 " + part + " 不是关系部件。");
    return std::move(h.rels);
}

// The boxes of notes (legacy drawing markup): which cells' notes are shown all the time.
class NoteBoxesHandler : public SaxHandler {
public:
    std::set<uint64_t> shown;
    void start(std::string_view name, const char** atts) override {
        if (name == "ClientData") {
            const char* type = attr(atts, "ObjectType");
            inNote_ = type && std::strcmp(type, "Note") == 0;
            visible_ = false;
            row_ = col_ = -1;
        } else if (inNote_ && (name == "Row" || name == "Column" || name == "Visible")) {
            field_ = std::string(name);
            text_.clear();
            if (name == "Visible") visible_ = true;
        }
    }
    void end(std::string_view name) override {
        if (name == "ClientData" && inNote_) {
            if (visible_ && row_ >= 0 && col_ >= 0)
                shown.insert(Worksheet::key(uint32_t(row_ + 1), uint32_t(col_ + 1)));
            inNote_ = false;
        } else if (inNote_ && name == field_) {
            if (name == "Row") row_ = parseInt(text_.c_str(), -1);
            if (name == "Column") col_ = parseInt(text_.c_str(), -1);
            field_.clear();
        }
    }
    void text(const char* s, int n) override {
        if (!field_.empty()) text_.append(s, size_t(n));
    }

private:
    bool inNote_ = false, visible_ = false;
    int64_t row_ = -1, col_ = -1;
    std::string field_, text_;
};

// The shapes of a sheet's legacy drawing that are not notes' boxes, with the parts they name.
void keepLegacyShapes(ZipReader& zip, xlsx::PartGraphReader& graph, const std::string& part,
                      SheetParts& parts) {
    std::string vml;
    if (!zip.has(part) || !zip.readAll(part, vml).ok()) return;
    xlsx::LegacyShapes kept = xlsx::otherLegacyShapes(vml);
    if (kept.xml.empty()) return;
    if (!kept.relIds.empty())
        if (auto rels = readRels(zip, part); rels.ok())
            for (const Relationship& r : rels.value()) {
                if (!kept.relIds.count(r.id)) continue;
                if (auto link = graph.link({r.id, r.type, r.target, r.external}, parts.dropped))
                    parts.legacyLinks.push_back(std::move(*link));
            }
    parts.legacyShapes = std::move(kept.xml);
    parts.legacyNamespaces = std::move(kept.namespaces);
}

// Hangs the sheet's parts on it: the relationships its kept elements name, and those that
// attach by themselves (pivot tables, threaded comments), each with the graph it reaches.
void attachParts(ZipReader& zip, xlsx::PartGraphReader& graph,
                 const std::shared_ptr<PartOrigin>& origin, const std::vector<Relationship>& rels,
                 SheetHandler& h, Worksheet& ws) {
    auto parts = std::make_shared<SheetParts>();
    parts->origin = origin;
    parts->originName = ws.name;
    parts->dropped = std::move(h.dropped);
    if (h.strictNamespace()) {
        ws.parts = std::move(parts);
        return;
    }
    std::set<std::string> named;
    for (const RawSheetElement& e : h.elements)
        for (std::string& id : xlsx::rawElementIds(e.xml, h.relPrefixes)) named.insert(id);
    std::map<std::string, std::string> ids;  // source id -> id written
    for (const Relationship& r : rels) {
        std::string droppedName;
        xlsx::SheetLinkUse use = xlsx::sheetLinkUse(r.type, &droppedName);
        const bool isNamed = named.count(r.id) > 0;
        if (use == xlsx::SheetLinkUse::Model) continue;
        if (use == xlsx::SheetLinkUse::Dropped) {
            // What names it counts it when it goes.
            if (!isNamed && !droppedName.empty()) ++parts->dropped[droppedName];
            continue;
        }
        if (r.id == h.legacyDrawingId) {
            // The notes' boxes are written anew; the other shapes are kept.
            if (!r.external) keepLegacyShapes(zip, graph, r.target, *parts);
            continue;
        }
        if (use == xlsx::SheetLinkUse::Carry && !isNamed) continue;
        std::optional<PartLink> link =
            graph.link({r.id, r.type, r.target, r.external}, parts->dropped);
        if (!link) continue;
        link->id = "rIdP" + std::to_string(parts->links.size() + 1);
        ids[r.id] = link->id;
        parts->links.push_back(std::move(*link));
    }
    for (RawSheetElement& e : h.elements) {
        if (xlsx::remapRawElement(e, h.relPrefixes, ids, parts->dropped)) {
            parts->elements.push_back(std::move(e));
        } else if (e.element == "controls" || e.element == "oleObjects") {
            const char* kind = e.element == "controls" ? "表单控件" : "嵌入对象";
            parts->dropped[kind] += std::max<uint32_t>(1, objectCount(e.xml));
        } else if (e.element != "extLst") {
            ++parts->dropped[e.element == "tableParts" ? "表格"
                             : e.element == "drawing"  ? "图形"
                                                       : "页眉页脚或背景图片"];
        }
    }
    parts->namespaces = std::move(h.namespaces);
    parts->autoFilterXml = std::move(h.autoFilterXml);
    parts->autoFilterRef = std::move(h.autoFilterRef);
    parts->sortStateXml = std::move(h.sortStateXml);
    ws.parts = std::move(parts);
}

// A chart sheet: its part as it is, with the graph its relationships reach.
void readChartsheet(ZipReader& zip, xlsx::PartGraphReader& graph,
                    const std::shared_ptr<PartOrigin>& origin, const std::string& part,
                    Worksheet& ws) {
    auto parts = std::make_shared<SheetParts>();
    parts->origin = origin;
    parts->originName = ws.name;
    if (zip.has(part) && zip.readAll(part, parts->chartsheetXml).ok() &&
        parts->chartsheetXml.find("http://purl.oclc.org/ooxml/") == std::string::npos) {
        if (auto rels = readRels(zip, part); rels.ok())
            for (const Relationship& r : rels.value()) {
                if (auto link = graph.link({r.id, r.type, r.target, r.external}, parts->dropped)) {
                    parts->links.push_back(std::move(*link));
                } else {
                    // Its printer settings and the like: the reference goes with them.
                    std::string ref = " r:id=\"" + r.id + "\"";
                    for (size_t at; (at = parts->chartsheetXml.find(ref)) != std::string::npos;)
                        parts->chartsheetXml.erase(at, ref.size());
                }
            }
    } else {
        parts->chartsheetXml.clear();
        ++parts->dropped["图表工作表"];
    }
    ws.parts = std::move(parts);
}

Result<std::unique_ptr<Workbook>> readPackage(ZipReader& zip, const ReadLimits& limits) {
    if (!zip.has("[Content_Types].xml"))
        return fail("缺少 [Content_Types].xml，不是 xlsx 工作簿（可能是其他 zip 文件）。");
    ContentTypesHandler types;
    if (Status st = xlsx::parsePart(zip, "[Content_Types].xml", types); !st.ok()) return st.error();
    if (!types.sawRoot) return fail("[Content_Types].xml 已损坏。");

    if (!zip.has("_rels/.rels")) return fail("缺少包关系部件 _rels/.rels，文件已损坏。");
    auto rootRels = readRels(zip, "");
    if (!rootRels.ok()) return fail("包关系部件 _rels/.rels 已损坏：" + rootRels.message());
    std::string wbPart;
    for (const Relationship& r : *rootRels)
        if (!r.external && relKind(r.type) == "officeDocument") wbPart = r.target;
    if (wbPart.empty() || !zip.has(wbPart)) return fail("包中找不到工作簿部件，不是 xlsx 工作簿。");
    std::string wbType = types.typeOf(wbPart);
    if (!isWorkbookType(wbType)) {
        if (wbType.find("wordprocessingml") != std::string::npos ||
            wbType.find("presentationml") != std::string::npos)
            return fail("这是其他 Office 文档（不是工作簿）。");
        if (wbType.find("spreadsheetml.sheet.binary") != std::string::npos ||
            wbType.find("ms-excel.sheet.binary") != std::string::npos)
            return fail("不支持二进制工作簿格式（xlsb）。");
        return fail("工作簿部件的内容类型不对（" + wbType + "），不是 xlsx 工作簿。");
    }

    auto wb = std::make_unique<Workbook>();
    WorkbookHandler wh;
    if (Status st = xlsx::parsePart(zip, wbPart, wh); !st.ok()) return st.error();
    if (wh.sheets.empty()) return fail("工作簿中没有任何工作表。");
    wb->date1904 = wh.date1904;
    wb->names = std::move(wh.names);

    auto wbRels = readRels(zip, wbPart);
    if (!wbRels.ok()) return wbRels.error();
    std::map<std::string, const Relationship*> byId;
    for (const Relationship& r : *wbRels) {
        byId[r.id] = &r;
        if (r.external || !zip.has(r.target)) continue;
        std::string_view kind = relKind(r.type);
        if (kind == "theme" && wb->themeXml.empty()) {
            if (Status st = zip.readAll(r.target, wb->themeXml); !st.ok()) return st.error();
            ThemeHandler th;
            if (Status st = xlsx::parseXmlText(wb->themeXml, r.target, th); !st.ok())
                return st.error();
            wb->styles.themeColors = th.ordered();
            // A Strict theme cannot go into the transitional packages we write: its colours
            // are kept, the part itself is replaced by the default theme on writing.
            if (wb->themeXml.find("http://schemas.openxmlformats.org/drawingml/2006/main") ==
                std::string::npos)
                wb->themeXml.clear();
            dropBadPanose(wb->themeXml);
        } else if (kind == "vbaProject") {
            if (Status st = zip.readAll(r.target, wb->vbaProject); !st.ok()) return st.error();
        }
    }
    for (const Relationship& r : *wbRels) {
        if (r.external || relKind(r.type) != "styles" || !zip.has(r.target)) continue;
        StylesHandler sh(wb->styles);
        if (Status st = xlsx::parsePart(zip, r.target, sh); !st.ok()) return st.error();
        sh.finish();
        break;
    }
    std::vector<uint32_t> sst;
    for (const Relationship& r : *wbRels) {
        if (r.external || relKind(r.type) != "sharedStrings" || !zip.has(r.target)) continue;
        SstHandler h(wb->strings, sst);
        if (Status st = xlsx::parsePart(zip, r.target, h); !st.ok()) return st.error();
        break;
    }

    // Every sheet's part counted each time a sheet uses it, before any is read: a file whose
    // many sheets share one large part is refused at once, not after inflating it again and
    // again.
    uint64_t planned = 0;
    for (const SheetEntry& e : wh.sheets) {
        auto it = byId.find(e.relId);
        if (it == byId.end() || it->second->external) continue;
        planned += zip.declaredSize(it->second->target);
    }
    if (Status st = zip.checkPlanned(planned); !st.ok()) return st.error();

    // Parts that hang off the sheets: read as bytes, shared where two sheets reach one.
    auto origin = std::make_shared<PartOrigin>();
    for (const Relationship& r : *wbRels)
        if (!r.external && relKind(r.type) == "person" && zip.has(r.target)) {
            if (!zip.readAll(r.target, origin->personsXml).ok()) origin->personsXml.clear();
            break;
        }
    for (const SheetEntry& e : wh.sheets)
        if (e.sheetId) origin->sheetIds.emplace(e.sheetId, e.name);
    xlsx::PartGraphReader graph(
        zip,
        [&zip](const std::string& part) {
            std::vector<xlsx::RelInfo> out;
            if (auto rels = readRels(zip, part); rels.ok())
                for (const Relationship& r : rels.value())
                    out.push_back(xlsx::RelInfo{r.id, r.type, r.target, r.external});
            return out;
        },
        [&types](const std::string& part) { return types.typeOf(part); });
    // Slicer and timeline caches, with the defined names that stand for them (written anew
    // with the caches that are carried).
    {
        std::map<std::string, uint32_t> unused;
        for (const Relationship& r : *wbRels) {
            const std::string_view kind = relKind(r.type);
            if (r.external || (kind != "slicerCache" && kind != "timelineCache")) continue;
            std::shared_ptr<const PackagePart> cache = graph.read(r.target, r.type, unused);
            if (!cache) continue;
            const std::string name = xlsx::cacheName(*cache->data);
            if (!name.empty()) origin->slicerCaches.emplace(xlsx::cacheKey(name), std::move(cache));
        }
        if (!origin->slicerCaches.empty())
            std::erase_if(wb->names, [&](const DefinedName& d) {
                return !d.localSheet && d.formula == "#N/A" &&
                       origin->slicerCaches.count(xlsx::cacheKey(d.name));
            });
    }

    uint64_t budget = limits.maxCells;
    for (const SheetEntry& e : wh.sheets) {
        auto it = byId.find(e.relId);
        const Relationship* rel = it == byId.end() ? nullptr : it->second;
        std::string_view kind = rel ? relKind(rel->type) : std::string_view();
        Worksheet& ws = wb->addSheet(e.name);
        ws.state = e.state;
        if (kind == "chartsheet") {
            ws.kind = SheetKind::Chartsheet;
            readChartsheet(zip, graph, origin, rel->target, ws);
            continue;
        }
        if (kind == "dialogsheet") {
            ws.kind = SheetKind::Dialogsheet;
            continue;
        }
        if (kind == "xlMacrosheet" || kind == "macrosheet")
            ws.kind = SheetKind::Macrosheet;
        else if (kind != "worksheet")
            return fail("工作表“" + e.name + "”的关系缺失或类型不明。");
        if (!zip.has(rel->target))
            return fail("缺少工作表“" + e.name + "”的部件 " + rel->target + "。");
        // Hyperlinks out of the workbook name their targets in the sheet's relationships; a
        // damaged relationships part costs those links, not the workbook.
        std::map<std::string, std::string, std::less<>> links;
        std::string commentsPart;
        std::vector<Relationship> sheetRels;
        if (auto read = readRels(zip, rel->target); read.ok()) sheetRels = std::move(read.value());
        for (const Relationship& r : sheetRels) {
            if (r.external && relKind(r.type) == "hyperlink" && !r.id.empty())
                links.emplace(r.id, r.target);
            if (!r.external && relKind(r.type) == "comments" && zip.has(r.target))
                commentsPart = r.target;
        }
        SheetHandler h(*wb, ws, sst, budget, zip.declaredSize(rel->target), std::move(links));
        if (Status st = xlsx::parsePart(zip, rel->target, h); !st.ok()) return st.error();
        h.finish();
        attachParts(zip, graph, origin, sheetRels, h, ws);
        // Notes: a damaged comments part costs the notes, not the workbook.
        if (!commentsPart.empty()) {
            CommentsHandler c;
            if (xlsx::parsePart(zip, commentsPart, c).ok()) {
                std::set<uint64_t> seen;  // one note per cell: the first
                for (CellNote& n : c.notes)
                    if (seen.insert(Worksheet::key(n.row, n.col)).second)
                        ws.notes.push_back(std::move(n));
            }
            // Which of them are shown all the time: their boxes say so.
            for (const Relationship& r : sheetRels)
                if (r.id == h.legacyDrawingId && !r.external && zip.has(r.target)) {
                    NoteBoxesHandler boxes;
                    if (xlsx::parsePart(zip, r.target, boxes).ok())
                        for (CellNote& n : ws.notes)
                            n.visible = boxes.shown.count(Worksheet::key(n.row, n.col)) > 0;
                }
        }
    }
    if (!origin->slicerCaches.empty())
        for (const auto& ws : wb->sheets)
            if (ws->parts)
                for (uint32_t id : xlsx::tableIds(*ws->parts))
                    origin->tableSheets.emplace(id, ws->name);
    wb->activeSheet = wh.activeTab < wb->sheets.size() ? wh.activeTab : 0;
    wb->firstVisibleTab = wh.firstSheet < wb->sheets.size() ? wh.firstSheet : 0;
    return wb;
}

}  // namespace

Result<std::unique_ptr<Workbook>> readXlsxMemory(const void* data, size_t size,
                                                 const ReadLimits& limits) {
    auto zip = xlsx::ZipReader::openMemory(data, size, limits);
    if (!zip.ok()) return zip.error();
    return readPackage(**zip, limits);
}

constexpr uint64_t kTrimAfterBytes = 16u << 20;

Result<std::unique_ptr<Workbook>> readXlsx(const std::filesystem::path& path,
                                           const ReadLimits& limits) {
    auto prefix = [&](const std::string& reason) {
        return fail("无法打开文件 " + path.string() + "：" + reason);
    };
    auto zip = xlsx::ZipReader::open(path, limits);
    if (!zip.ok()) return prefix(zip.message());
    auto wb = readPackage(**zip, limits);
#ifdef __GLIBC__
    // The inflate and parse buffers of a large part are freed by now; hand the pages back, so
    // that the model is what stays resident. After a small workbook the freed memory is left
    // for the next one to reuse (a folder of thousands would fault its pages in again each time).
    if ((*zip)->bytesRead() >= kTrimAfterBytes) malloc_trim(0);
#endif
    if (!wb.ok()) return prefix(wb.message());
    (*wb)->sourcePath = path.string();
    return wb;
}

}  // namespace ss

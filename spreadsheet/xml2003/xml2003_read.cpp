// Reading the 2003 XML spreadsheet format: one XML document streamed through expat, its styles
// turned into cell formats once each, its worksheets' rows straight into the sheets.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <new>
#include <unordered_map>

#include "xml2003.h"
#include "../read_stop.h"
#include "../text/xml_stream.h"
#include "../text/xml_text.h"

namespace ss {

namespace {

constexpr std::string_view kSsNs = "urn:schemas-microsoft-com:office:spreadsheet";
constexpr std::string_view kExcelNs = "urn:schemas-microsoft-com:office:excel";
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMaxTextBytes = kMaxCellTextUnits * 4 + 4;
// Rows and columns that a span (ss:Span) formats; beyond it they are left out and named.
constexpr uint64_t kSpanBudget = 1'000'000;

// The value of an attribute of the spreadsheet namespace (or of none); null when absent.
const char* attr(const char** atts, std::string_view local) {
    for (const char** a = atts; *a; a += 2) {
        xml::QName q = xml::splitName(a[0]);
        if (q.local == local && (q.ns == kSsNs || q.ns.empty())) return a[1];
    }
    return nullptr;
}

std::optional<uint64_t> unsignedAttr(const char** atts, std::string_view local) {
    const char* v = attr(atts, local);
    if (!v) return std::nullopt;
    uint64_t n = 0;
    auto [p, ec] = std::from_chars(v, v + std::strlen(v), n);
    if (ec != std::errc()) return std::nullopt;
    return n;
}

std::optional<double> doubleAttr(const char** atts, std::string_view local) {
    const char* v = attr(atts, local);
    if (!v) return std::nullopt;
    double d = 0;
    auto [p, ec] = std::from_chars(v, v + std::strlen(v), d);
    if (ec != std::errc() || !std::isfinite(d)) return std::nullopt;
    return d;
}

bool flagAttr(const char** atts, std::string_view local) {
    const char* v = attr(atts, local);
    return v && (std::strcmp(v, "1") == 0 || std::strcmp(v, "true") == 0);
}

std::optional<Color> parseColor(const char* v) {
    if (!v || v[0] != '#' || std::strlen(v) != 7) return std::nullopt;
    uint32_t rgb = 0;
    auto [p, ec] = std::from_chars(v + 1, v + 7, rgb, 16);
    if (ec != std::errc() || p != v + 7) return std::nullopt;
    return Color::rgb(0xFF000000u | rgb);
}

// The formats the application names instead of stating them.
std::string namedFormat(std::string_view f) {
    static const std::pair<std::string_view, std::string_view> kNamed[] = {
        {"General", "General"},
        {"General Number", "General"},
        {"General Date", "m/d/yyyy h:mm"},
        {"Long Date", "dddd, mmmm dd, yyyy"},
        {"Medium Date", "dd-mmm-yy"},
        {"Short Date", "m/d/yyyy"},
        {"Long Time", "h:mm:ss AM/PM"},
        {"Medium Time", "h:mm AM/PM"},
        {"Short Time", "h:mm"},
        {"Currency", "\"$\"#,##0.00_);[Red]\\(\"$\"#,##0.00\\)"},
        {"Euro Currency", "[$€-2]\\ #,##0.00"},
        {"Fixed", "0.00"},
        {"Standard", "#,##0.00"},
        {"Percent", "0.00%"},
        {"Scientific", "0.00E+00"},
        {"Yes/No", "\"Yes\";\"Yes\";\"No\""},
        {"True/False", "\"True\";\"True\";\"False\""},
        {"On/Off", "\"On\";\"On\";\"Off\""},
    };
    for (const auto& [name, code] : kNamed)
        if (f == name) return std::string(code);
    return std::string(f);
}

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

// "2024-01-15T10:30:00.000" as a serial number of the 1900 date system; nothing before 1900
// or for a text of another shape.
std::optional<double> parseDateTime(std::string_view s) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0;
    double sec = 0;
    auto num = [&](size_t at, size_t len, int& out) {
        if (at + len > s.size()) return false;
        auto [p, ec] = std::from_chars(s.data() + at, s.data() + at + len, out);
        return ec == std::errc() && p == s.data() + at + len;
    };
    if (!num(0, 4, y) || s.size() < 10 || s[4] != '-' || !num(5, 2, mo) || s[7] != '-' ||
        !num(8, 2, d) || mo < 1 || mo > 12 || d < 1 || d > 31 || y < 1900)
        return std::nullopt;
    if (s.size() >= 16 && s[10] == 'T') {
        if (!num(11, 2, h) || s[13] != ':' || !num(14, 2, mi)) return std::nullopt;
        if (s.size() > 17 && s[16] == ':') std::from_chars(s.data() + 17, s.data() + s.size(), sec);
        if (!(sec >= 0 && sec < 61) || h > 24 || mi > 59) return std::nullopt;
    }
    double serial =
        double(daysFromCivil(y, unsigned(mo), unsigned(d)) - daysFromCivil(1899, 12, 30));
    if (serial < 61) serial -= 1;  // the 29 February 1900 the date system counts
    return serial + (h * 3600.0 + mi * 60.0 + sec) / 86400.0;
}

struct StyleDef {
    std::string parent;
    std::optional<bool> bold, italic, strike;
    std::optional<std::string> underline, fontName, vertAlign;
    std::optional<Color> color, fill;
    std::optional<double> size;
    std::optional<std::string> hAlign, vAlign, numFmt;
    std::optional<bool> wrap, shrink;
    std::optional<int> rotation, indent;
    std::optional<BorderSide> left, right, top, bottom;
};

class Reader : public xml::StreamHandler {
public:
    Reader(Workbook& wb, const ReadLimits& limits) : wb_(wb), limits_(limits) {}
    void start(xml::QName name, const char** atts) override;
    void end(xml::QName name) override;
    void text(std::string_view s) override {
        std::string& into = dataIsNote_ ? noteText_ : text_;
        if (inData_ && into.size() < kMaxTextBytes) into.append(s);
        if (xDepthText_) xText_.append(s);
    }
    bool sawRoot() const { return sawRoot_; }

private:
    void styleChild(std::string_view local, const char** atts);
    uint32_t xfFor(const std::string& id);
    void collect(const std::string& id, StyleDef& into, int depth) const;
    void definedName(const char** atts);
    void startCell(const char** atts);
    void endCell();
    void endRow();
    void note(uint32_t row, uint32_t col, const std::string& what) {
        wb_.readNotes.push_back("[" + ws_->name + "] " + cellName(row, col) + " " + what);
    }

    Workbook& wb_;
    ReadLimits limits_;
    bool sawRoot_ = false;
    int skipDepth_ = 0;
    std::unordered_map<std::string, StyleDef> styles_;
    std::unordered_map<std::string, uint32_t> xfs_;
    std::unordered_map<uint32_t, uint32_t> dateXfs_;
    StyleDef* curStyle_ = nullptr;
    bool fontsSet_ = false;
    Worksheet* ws_ = nullptr;
    bool inTable_ = false;
    uint32_t row_ = 0, nextRow_ = 1, col_ = 0, nextCol_ = 1, nextColumn_ = 1;
    Row* rowObj_ = nullptr;
    bool inRow_ = false, beyondNoted_ = false;
    std::string links_;
    // The cell being read.
    bool inCell_ = false, inData_ = false;
    // The cell's note (Comment): its author, text and whether it is shown all the time.
    bool inComment_ = false, dataIsNote_ = false, hasNote_ = false, noteShown_ = false;
    std::string noteAuthor_, noteText_;
    std::string cellStyle_, formula_, href_, type_, text_;
    bool hasCellStyle_ = false, hasData_ = false;
    // WorksheetOptions and the workbook's names.
    int xDepthText_ = 0;
    std::string xText_, xName_;
    bool freeze_ = false;  // frozen panes, at the split positions
    uint64_t splitRows_ = 0, splitCols_ = 0;
    uint64_t cells_ = 0, spans_ = 0;
    uint32_t rowsSeen_ = 0;
};

void Reader::collect(const std::string& id, StyleDef& s, int depth) const {
    auto it = styles_.find(id);
    if (it == styles_.end() || depth > 16) return;
    const StyleDef& d = it->second;
    if (!d.parent.empty()) collect(d.parent, s, depth + 1);
    auto take = [](auto& into, const auto& from) {
        if (from) into = from;
    };
    take(s.bold, d.bold);
    take(s.italic, d.italic);
    take(s.strike, d.strike);
    take(s.underline, d.underline);
    take(s.fontName, d.fontName);
    take(s.vertAlign, d.vertAlign);
    take(s.color, d.color);
    take(s.fill, d.fill);
    take(s.size, d.size);
    take(s.hAlign, d.hAlign);
    take(s.vAlign, d.vAlign);
    take(s.numFmt, d.numFmt);
    take(s.wrap, d.wrap);
    take(s.shrink, d.shrink);
    take(s.rotation, d.rotation);
    take(s.indent, d.indent);
    take(s.left, d.left);
    take(s.right, d.right);
    take(s.top, d.top);
    take(s.bottom, d.bottom);
}

uint32_t Reader::xfFor(const std::string& id) {
    auto it = xfs_.find(id);
    if (it != xfs_.end()) return it->second;
    StyleDef s;
    if (id != "Default") collect("Default", s, 0);
    collect(id, s, 0);
    StyleTable& t = wb_.styles;
    Font f = t.fonts[0];
    if (s.bold) f.bold = *s.bold;
    if (s.italic) f.italic = *s.italic;
    if (s.strike) f.strike = *s.strike;
    if (s.underline) f.underline = *s.underline;
    if (s.fontName) f.name = *s.fontName;
    if (s.vertAlign) f.vertAlign = *s.vertAlign;
    if (s.color) f.color = *s.color;
    if (s.size) f.size = *s.size;
    Fill fill;
    if (s.fill && s.fill->isSet()) {
        fill.patternType = "solid";
        fill.fg = *s.fill;
        fill.bg = Color::indexed(64);
    }
    Border b;
    if (s.left) b.left = *s.left;
    if (s.right) b.right = *s.right;
    if (s.top) b.top = *s.top;
    if (s.bottom) b.bottom = *s.bottom;
    CellFormat xf;
    xf.fontId = t.internFont(f);
    xf.fillId = t.internFill(fill);
    xf.borderId = t.internBorder(b);
    if (s.hAlign) xf.alignment.horizontal = *s.hAlign;
    if (s.vAlign) xf.alignment.vertical = *s.vAlign;
    if (s.wrap) xf.alignment.wrapText = *s.wrap;
    if (s.shrink) xf.alignment.shrinkToFit = *s.shrink;
    if (s.rotation) xf.alignment.textRotation = *s.rotation;
    if (s.indent) xf.alignment.indent = *s.indent;
    if (s.numFmt && *s.numFmt != "General") xf.numFmtId = t.internNumberFormat(*s.numFmt);
    xf.applyFont = xf.fontId != 0;
    xf.applyFill = xf.fillId != 0;
    xf.applyBorder = xf.borderId != 0;
    xf.applyAlignment = !xf.alignment.isDefault();
    xf.applyNumberFormat = xf.numFmtId != 0;
    uint32_t out = t.internCellFormat(xf);
    xfs_.emplace(id, out);
    return out;
}

void Reader::styleChild(std::string_view local, const char** atts) {
    StyleDef& s = *curStyle_;
    if (local == "Font") {
        if (const char* v = attr(atts, "Bold")) s.bold = std::strcmp(v, "1") == 0;
        if (const char* v = attr(atts, "Italic")) s.italic = std::strcmp(v, "1") == 0;
        if (const char* v = attr(atts, "StrikeThrough")) s.strike = std::strcmp(v, "1") == 0;
        if (const char* v = attr(atts, "FontName")) s.fontName = v;
        if (auto c = parseColor(attr(atts, "Color"))) s.color = *c;
        if (auto d = doubleAttr(atts, "Size"); d && *d > 0 && *d < 500) s.size = *d;
        if (const char* v = attr(atts, "Underline")) {
            std::string_view u(v);
            s.underline = u == "Single"             ? "single"
                          : u == "Double"           ? "double"
                          : u == "SingleAccounting" ? "singleAccounting"
                          : u == "DoubleAccounting" ? "doubleAccounting"
                                                    : "";
        }
        if (const char* v = attr(atts, "VerticalAlign")) {
            std::string_view a(v);
            s.vertAlign = a == "Superscript" ? "superscript" : a == "Subscript" ? "subscript" : "";
        }
    } else if (local == "Interior") {
        const char* pattern = attr(atts, "Pattern");
        auto c = parseColor(attr(atts, "Color"));
        if (pattern && std::strcmp(pattern, "None") == 0)
            s.fill = Color{};
        else if (c)
            s.fill = *c;
    } else if (local == "Alignment") {
        if (const char* v = attr(atts, "Horizontal")) {
            std::string_view a(v);
            s.hAlign = a == "Left"                    ? "left"
                       : a == "Center"                ? "center"
                       : a == "Right"                 ? "right"
                       : a == "Fill"                  ? "fill"
                       : a == "Justify"               ? "justify"
                       : a == "CenterAcrossSelection" ? "centerContinuous"
                       : a == "Distributed"           ? "distributed"
                                                      : "";
        }
        if (const char* v = attr(atts, "Vertical")) {
            std::string_view a(v);
            s.vAlign = a == "Top"           ? "top"
                       : a == "Center"      ? "center"
                       : a == "Justify"     ? "justify"
                       : a == "Distributed" ? "distributed"
                                            : "";
        }
        if (attr(atts, "WrapText")) s.wrap = flagAttr(atts, "WrapText");
        if (attr(atts, "ShrinkToFit")) s.shrink = flagAttr(atts, "ShrinkToFit");
        if (auto r = doubleAttr(atts, "Rotate")) {
            const int deg = *r >= -90 && *r <= 90 ? int(*r) : 0;
            s.rotation = deg >= 0 && deg <= 90 ? deg : deg < 0 && deg >= -90 ? 90 - deg : 0;
        }
        if (auto n = unsignedAttr(atts, "Indent")) s.indent = int(std::min<uint64_t>(*n, 250));
    } else if (local == "Border") {
        const char* pos = attr(atts, "Position");
        const char* line = attr(atts, "LineStyle");
        if (!pos) return;
        BorderSide side;
        const uint64_t weight = unsignedAttr(atts, "Weight").value_or(1);
        std::string_view l = line ? line : "Continuous";
        if (l == "Continuous")
            side.style = weight >= 3   ? "thick"
                         : weight == 2 ? "medium"
                         : weight == 0 ? "hair"
                                       : "thin";
        else if (l == "Dash")
            side.style = weight >= 2 ? "mediumDashed" : "dashed";
        else if (l == "Dot")
            side.style = "dotted";
        else if (l == "DashDot")
            side.style = weight >= 2 ? "mediumDashDot" : "dashDot";
        else if (l == "DashDotDot")
            side.style = weight >= 2 ? "mediumDashDotDot" : "dashDotDot";
        else if (l == "SlantDashDot")
            side.style = "slantDashDot";
        else if (l == "Double")
            side.style = "double";
        if (auto c = parseColor(attr(atts, "Color"))) side.color = *c;
        std::string_view p(pos);
        if (p == "Left")
            s.left = side;
        else if (p == "Right")
            s.right = side;
        else if (p == "Top")
            s.top = side;
        else if (p == "Bottom")
            s.bottom = side;
    } else if (local == "NumberFormat") {
        if (const char* v = attr(atts, "Format")) s.numFmt = namedFormat(v);
    }
}

void Reader::start(xml::QName name, const char** atts) {
    if (skipDepth_) {
        ++skipDepth_;
        return;
    }
    if (xDepthText_) {
        ++xDepthText_;
        return;
    }
    if (!sawRoot_) {
        if (name.local != "Workbook" || name.ns != kSsNs) {
            failure = "不是 XML 电子表格（根元素不是 Workbook）。";
            return;
        }
        sawRoot_ = true;
        return;
    }
    std::string_view local = name.local;
    if (inData_) {
        // Rich text: the tags of its runs are flattened to their text.
        if (local == "Br") (dataIsNote_ ? noteText_ : text_) += '\n';
        return;
    }
    if (name.ns == kExcelNs) {
        // Sheet options: whether the sheet is hidden, frozen panes; the rest is not read.
        if (ws_ && (local == "Visible" || local == "SplitHorizontal" || local == "SplitVertical")) {
            xDepthText_ = 1;
            xText_.clear();
            xName_ = std::string(local);
        } else if (ws_ && local == "FreezePanes") {
            freeze_ = true;
        }
        return;
    }
    if (name.ns != kSsNs) {
        skipDepth_ = 1;
        return;
    }
    if (curStyle_) {
        styleChild(local, atts);
        return;
    }
    if (local == "Style") {
        const char* id = attr(atts, "ID");
        if (!id) {
            skipDepth_ = 1;
            return;
        }
        curStyle_ = &styles_[id];
        *curStyle_ = StyleDef{};
        if (const char* p = attr(atts, "Parent")) curStyle_->parent = p;
        return;
    }
    if (local == "Worksheet") {
        if (!fontsSet_) {
            // The Default style's font is the workbook's own.
            fontsSet_ = true;
            StyleDef d;
            collect("Default", d, 0);
            Font& f = wb_.styles.fonts[0];
            if (d.fontName) f.name = *d.fontName;
            if (d.size) f.size = *d.size;
            if (d.color) f.color = *d.color;
            wb_.styles.reindex();
        }
        const char* n = attr(atts, "Name");
        ws_ = &wb_.addSheet(n ? n : "Sheet" + std::to_string(wb_.sheets.size() + 1));
        nextRow_ = 1;
        nextColumn_ = 1;
        beyondNoted_ = freeze_ = false;
        splitRows_ = splitCols_ = 0;
        links_.clear();
        return;
    }
    if (local == "NamedRange") {
        definedName(atts);
        skipDepth_ = 1;
        return;
    }
    if (!ws_) {
        if (local == "DocumentProperties") skipDepth_ = 1;
        return;  // Workbook, Styles, Names
    }
    if (local == "Table") {
        inTable_ = true;
        if (auto h = doubleAttr(atts, "DefaultRowHeight"); h && *h > 0) {
            ws_->defaultRowHeight = std::min(*h, 409.5);
            ws_->customDefaultRowHeight = true;
        }
        if (auto w = doubleAttr(atts, "DefaultColumnWidth"); w && *w > 0)
            ws_->defaultColWidth = std::round(std::min(*w * 96.0 / 72.0 / 7.0, 255.0) * 256) / 256;
        return;
    }
    if (!inTable_) {
        if (local != "Names") skipDepth_ = 1;  // conditional formats, validation ... of the sheet
        return;
    }
    if (local == "Column") {
        uint64_t first = unsignedAttr(atts, "Index").value_or(nextColumn_);
        uint64_t span = unsignedAttr(atts, "Span").value_or(0);
        nextColumn_ = uint32_t(std::min<uint64_t>(first + span + 1, UINT32_MAX));
        if (first < 1 || first > kXlsxMaxCols) return;
        ColumnInfo ci;
        ci.first = uint32_t(first);
        ci.last = uint32_t(std::min<uint64_t>(first + span, kXlsxMaxCols));
        if (auto w = doubleAttr(atts, "Width"); w && *w >= 0) {
            ci.width = std::round(std::min(*w * 96.0 / 72.0 / 7.0, 255.0) * 256) / 256;
            ci.customWidth = true;
        }
        ci.hidden = flagAttr(atts, "Hidden");
        if (const char* s = attr(atts, "StyleID")) ci.style = xfFor(s);
        if (ci.customWidth || ci.hidden || ci.style) ws_->columns.push_back(ci);
        return;
    }
    if (local == "Row") {
        uint64_t index = unsignedAttr(atts, "Index").value_or(nextRow_);
        uint64_t span = unsignedAttr(atts, "Span").value_or(0);
        row_ = uint32_t(std::min<uint64_t>(std::max<uint64_t>(index, 1), UINT32_MAX - 1));
        nextRow_ = uint32_t(std::min<uint64_t>(uint64_t(row_) + span + 1, UINT32_MAX));
        nextCol_ = 1;
        inRow_ = true;
        rowObj_ = nullptr;
        if ((++rowsSeen_ & 4095) == 0 && readStopped()) {
            failure = kReadStopped;
            return;
        }
        if (row_ > kXlsxMaxRows) return;
        auto height = doubleAttr(atts, "Height");
        const bool hidden = flagAttr(atts, "Hidden");
        const char* style = attr(atts, "StyleID");
        if (!height && !hidden && !style) return;
        const uint32_t last = uint32_t(std::min<uint64_t>(uint64_t(row_) + span, kXlsxMaxRows));
        spans_ += last - row_;
        if (spans_ > kSpanBudget) {
            note(row_, 1, "起的行格式重复过多，未能全部读取");
            spans_ = 0;
            return;
        }
        const uint32_t xf = style ? xfFor(style) : 0;
        for (uint32_t r = row_; r <= last; ++r) {
            Row& ro = ws_->row(r);
            if (height && *height >= 0) {
                ro.height = float(std::min(*height, 409.5));  // the most a row is
                ro.customHeight = true;
            }
            ro.hidden = hidden;
            if (xf) {
                ro.customFormat = true;
                ro.style = xf;
            }
        }
        return;
    }
    if (local == "Cell" && inRow_) {
        startCell(atts);
        return;
    }
    if (inCell_ && local == "Comment" && !inComment_) {
        inComment_ = hasNote_ = true;
        const char* author = attr(atts, "Author");
        noteAuthor_ = author ? author : "";
        noteShown_ = flagAttr(atts, "ShowAlways");
        return;
    }
    if (inComment_ && local == "Data") {
        inData_ = dataIsNote_ = true;
        return;
    }
    if (inCell_ && local == "Data") {
        inData_ = true;
        hasData_ = true;
        if (const char* t = attr(atts, "Type")) type_ = t;
        return;
    }
    if (inCell_) skipDepth_ = 1;  // comments, named cells, smart tags
}

// A named range of the workbook, or of the worksheet being read.
void Reader::definedName(const char** atts) {
    const char* name = attr(atts, "Name");
    const char* refers = attr(atts, "RefersTo");
    if (!name || !refers) return;
    auto formula = r1c1ToA1(refers, 1, 1);
    if (!formula) {
        wb_.readNotes.push_back("[" + (ws_ ? ws_->name : std::string()) + "] 名称“" + name +
                                "”的引用无法转换为本程序的公式，已略过");
        return;
    }
    DefinedName d;
    std::string_view n(name);
    // The names the application gives print areas, print titles and filters.
    d.name = n == "Print_Area" || n == "Print_Titles" || n == "_FilterDatabase"
                 ? "_xlnm." + std::string(n)
                 : std::string(n);
    d.formula = *formula;
    d.hidden = flagAttr(atts, "Hidden") || n == "_FilterDatabase";
    if (ws_) d.localSheet = uint32_t(wb_.sheets.size() - 1);
    wb_.names.push_back(std::move(d));
}

void Reader::startCell(const char** atts) {
    inCell_ = true;
    hasData_ = false;
    uint64_t index = unsignedAttr(atts, "Index").value_or(nextCol_);
    col_ = uint32_t(std::min<uint64_t>(std::max<uint64_t>(index, 1), UINT32_MAX - 1));
    const uint64_t across = unsignedAttr(atts, "MergeAcross").value_or(0);
    const uint64_t down = unsignedAttr(atts, "MergeDown").value_or(0);
    nextCol_ = uint32_t(std::min<uint64_t>(uint64_t(col_) + across + 1, UINT32_MAX));
    const char* style = attr(atts, "StyleID");
    hasCellStyle_ = style != nullptr;
    cellStyle_ = style ? style : "";
    const char* f = attr(atts, "Formula");
    formula_ = f ? f : "";
    const char* h = attr(atts, "HRef");
    href_ = h ? h : "";
    type_.clear();
    text_.clear();
    hasNote_ = false;
    noteText_.clear();
    if ((across || down) && row_ <= kXlsxMaxRows && col_ <= kXlsxMaxCols)
        ws_->merges.push_back(
            {row_, col_, uint32_t(std::min<uint64_t>(uint64_t(row_) + down, kXlsxMaxRows)),
             uint32_t(std::min<uint64_t>(uint64_t(col_) + across, kXlsxMaxCols))});
}

void Reader::endCell() {
    if (row_ > kXlsxMaxRows || col_ > kXlsxMaxCols) {
        if ((hasData_ || !formula_.empty()) && !beyondNoted_) {
            note(std::min(row_, kXlsxMaxRows), std::min(col_, kXlsxMaxCols),
                 "附近的内容超出表格的行数或列数上限，已略过");
            beyondNoted_ = true;
        }
        return;
    }
    if (hasNote_) {
        CellNote n;
        n.row = row_;
        n.col = col_;
        n.author = noteAuthor_;
        n.visible = noteShown_;
        n.textXml = "<text><t xml:space=\"preserve\">";
        xml::appendXstring(n.textXml, noteText_);
        n.textXml += "</t></text>";
        ws_->notes.push_back(std::move(n));
    }
    Cell c;
    bool dateValue = false;
    if (hasData_) {
        if (type_ == "Number") {
            double v = 0;
            std::string_view t = text_;
            while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
            auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
            if (ec == std::errc() && std::isfinite(v)) {
                c.type = CellType::Number;
                c.number = v;
            } else {
                c.type = CellType::String;
                c.sst = wb_.strings.add(text_);
            }
        } else if (type_ == "DateTime") {
            if (auto serial = parseDateTime(text_)) {
                c.type = CellType::Number;
                c.number = *serial;
                dateValue = true;
            } else {
                c.type = CellType::String;
                c.sst = wb_.strings.add(text_);
            }
        } else if (type_ == "Boolean") {
            c.type = CellType::Boolean;
            c.boolean = text_ == "1" || text_ == "true" || text_ == "TRUE";
        } else if (type_ == "Error") {
            auto e = parseErrorText(text_);
            c.type = e ? CellType::Error : CellType::String;
            if (e)
                c.error = *e;
            else
                c.sst = wb_.strings.add(text_);
        } else {
            c.type = CellType::String;
            c.sst = wb_.strings.add(text_);
        }
    }
    std::optional<std::string> formula;
    if (!formula_.empty()) {
        formula = r1c1ToA1(formula_, row_, col_);
        if (formula)
            c.flags |= Cell::kHasFormula;
        else
            note(row_, col_, "的公式无法转换为本程序的公式，已保留计算结果");
    }
    if (c.type == CellType::Empty && !formula && !hasCellStyle_ && href_.empty()) return;
    uint32_t xf = hasCellStyle_ ? xfFor(cellStyle_) : 0;
    if (!hasCellStyle_)
        if (const ColumnInfo* ci = ws_->columnInfo(col_)) xf = ci->style;
    if (dateValue && !wb_.styles.isDateFormat(xf)) {
        auto it = dateXfs_.find(xf);
        if (it == dateXfs_.end()) {
            CellFormat f = wb_.styles.cellXfs[xf];
            const double serial = c.number;
            f.numFmtId = wb_.styles.internNumberFormat(
                serial == std::floor(serial) ? "yyyy-mm-dd" : "yyyy-mm-dd hh:mm:ss");
            f.applyNumberFormat = true;
            it = dateXfs_.emplace(xf, wb_.styles.internCellFormat(f)).first;
        }
        xf = it->second;
    }
    c.style = xf;
    if (++cells_ > limits_.maxCells) {
        failure = "单元格数量超出限制。";
        return;
    }
    if (!rowObj_) rowObj_ = &ws_->row(row_);
    std::vector<Cell>& cells = rowObj_->cells;
    c.col = uint16_t(col_);
    if (cells.empty() || cells.back().col < col_) {
        cells.push_back(c);
    } else {
        ws_->cell(row_, col_) = c;  // an Index that goes back: placed where it belongs
        rowObj_ = ws_->findRow(row_);
    }
    if (formula) {
        Formula fo;
        fo.text = std::move(*formula);
        ws_->mutableFormulas()[Worksheet::key(row_, col_)] = std::move(fo);
    }
    if (!href_.empty()) {
        std::string link = "<hyperlink ref=\"" + cellName(row_, col_) + "\"";
        if (href_[0] == '#') {
            link += " location=\"";
            xml::appendXstring(link, std::string_view(href_).substr(1), true);
            link += '"';
        } else {
            auto& targets = ws_->externalLinks;
            auto known = std::find(targets.begin(), targets.end(), href_);
            const size_t n = size_t(known - targets.begin()) + 1;
            if (known == targets.end()) targets.push_back(href_);
            link += " r:id=\"rIdL" + std::to_string(n) + "\"";
        }
        links_ += link + "/>";
    }
}

void Reader::end(xml::QName name) {
    if (skipDepth_) {
        --skipDepth_;
        return;
    }
    if (xDepthText_) {
        if (--xDepthText_ == 0 && ws_) {
            if (xName_ == "Visible" && xText_ == "SheetHidden") ws_->state = SheetState::Hidden;
            if (xName_ == "Visible" && xText_ == "SheetVeryHidden")
                ws_->state = SheetState::VeryHidden;
            uint64_t n = 0;
            std::from_chars(xText_.data(), xText_.data() + xText_.size(), n);
            if (xName_ == "SplitHorizontal") splitRows_ = n;
            if (xName_ == "SplitVertical") splitCols_ = n;
        }
        return;
    }
    std::string_view local = name.local;
    if (inData_) {
        if (name.ns == kSsNs && local == "Data") inData_ = dataIsNote_ = false;
        return;
    }
    if (inComment_ && name.ns == kSsNs && local == "Comment") {
        inComment_ = false;
        return;
    }
    if (name.ns != kSsNs) return;
    if (curStyle_) {
        if (local == "Style") curStyle_ = nullptr;
        return;
    }
    if (local == "Cell" && inCell_) {
        inCell_ = false;
        endCell();
    } else if (local == "Row") {
        inRow_ = false;
        rowObj_ = nullptr;
    } else if (local == "Table") {
        inTable_ = false;
    } else if (local == "Worksheet" && ws_) {
        std::sort(ws_->columns.begin(), ws_->columns.end(),
                  [](const ColumnInfo& a, const ColumnInfo& b) { return a.first < b.first; });
        if (freeze_) {
            ws_->frozenRows = uint32_t(std::min<uint64_t>(splitRows_, kXlsxMaxRows - 1));
            ws_->frozenCols = uint32_t(std::min<uint64_t>(splitCols_, kXlsxMaxCols - 1));
        }
        if (!links_.empty())
            ws_->preserved.push_back({"hyperlinks", "<hyperlinks>" + links_ + "</hyperlinks>"});
        ws_->normalize();
        ws_ = nullptr;
    }
}

template <class Read>
Result<std::unique_ptr<Workbook>> guarded(Read&& read) {
    try {
        return read();
    } catch (const std::bad_alloc&) {
        return fail("内存不足。");
    } catch (const std::exception& e) {
        return fail("读取时出错（" + std::string(e.what()) + "）。");
    }
}

// Parses the document from `next` (which fills a buffer and says how much; 0 at the end).
template <class Next>
Result<std::unique_ptr<Workbook>> parse(const ReadLimits& limits, Next&& next) {
    auto wb = std::make_unique<Workbook>();
    Reader reader(*wb, limits);
    xml::StreamParser parser(reader);
    std::unique_ptr<char[]> buf(new char[kChunk]);
    uint64_t total = 0;
    for (;;) {
        auto n = next(buf.get(), kChunk);
        if (!n.ok()) return n.error();
        total += *n;
        if (total > limits.maxPartBytes)
            return fail("文件超过 " + std::to_string(limits.maxPartBytes) + " 字节的上限。");
        if (!parser.feed(buf.get(), *n, *n == 0)) {
            std::string why = parser.reason();
            if (why == kReadStopped) return fail(why);
            return fail(why.starts_with("第 ") || why.starts_with("XML") ? "文件 " + why : why);
        }
        if (*n == 0) break;
    }
    if (!reader.sawRoot()) return fail("不是 XML 电子表格（根元素不是 Workbook）。");
    if (wb->sheets.empty()) return fail("工作簿中没有任何工作表。");
    return wb;
}

}  // namespace

bool looksLikeXml2003(std::string_view head) {
    if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
    size_t i = 0;
    for (;;) {
        while (i < head.size() && std::strchr(" \t\r\n", head[i]) && head[i]) ++i;
        if (head.substr(i).starts_with("<?")) {
            size_t e = head.find("?>", i);
            if (e == std::string_view::npos) return false;
            i = e + 2;
        } else if (head.substr(i).starts_with("<!--")) {
            size_t e = head.find("-->", i);
            if (e == std::string_view::npos) return false;
            i = e + 3;
        } else {
            break;
        }
    }
    if (i >= head.size() || head[i] != '<') return false;
    size_t nameEnd = i + 1;
    while (nameEnd < head.size() && !std::strchr(" \t\r\n/>", head[nameEnd])) ++nameEnd;
    std::string_view qname = head.substr(i + 1, nameEnd - i - 1);
    size_t colon = qname.find(':');
    std::string_view prefix = colon == std::string_view::npos ? "" : qname.substr(0, colon);
    std::string_view local = colon == std::string_view::npos ? qname : qname.substr(colon + 1);
    if (local != "Workbook") return false;
    size_t tagEnd = head.find('>', nameEnd);
    std::string_view tag =
        head.substr(nameEnd, tagEnd == std::string_view::npos ? head.npos : tagEnd - nameEnd);
    std::string decl = prefix.empty() ? "xmlns" : "xmlns:" + std::string(prefix);
    for (size_t at = tag.find(decl); at != std::string_view::npos; at = tag.find(decl, at + 1)) {
        size_t k = at + decl.size();
        while (k < tag.size() && tag[k] == ' ') ++k;
        if (k >= tag.size() || tag[k] != '=') continue;
        ++k;
        while (k < tag.size() && tag[k] == ' ') ++k;
        if (k >= tag.size() || (tag[k] != '"' && tag[k] != '\'')) continue;
        if (tag.substr(k + 1).starts_with(kSsNs) && tag.size() > k + 1 + kSsNs.size() &&
            tag[k + 1 + kSsNs.size()] == tag[k])
            return true;
    }
    return false;
}

Result<std::unique_ptr<Workbook>> readXml2003Memory(const void* data, size_t size,
                                                    const ReadLimits& limits) {
    return guarded([&]() -> Result<std::unique_ptr<Workbook>> {
        const char* p = static_cast<const char*>(data);
        size_t left = size;
        return parse(limits, [&](char* buf, size_t cap) -> Result<size_t> {
            size_t n = std::min(cap, left);
            if (n) std::memcpy(buf, p, n);
            p += n;
            left -= n;
            return n;
        });
    });
}

Result<std::unique_ptr<Workbook>> readXml2003(const std::filesystem::path& path,
                                              const ReadLimits& limits) {
    auto wb = guarded([&]() -> Result<std::unique_ptr<Workbook>> {
        std::ifstream in(path, std::ios::binary);
        if (!in) return fail("文件不存在或没有读取权限。");
        return parse(limits, [&](char* buf, size_t cap) -> Result<size_t> {
            in.read(buf, std::streamsize(cap));
            if (in.bad()) return fail("无法读取文件。");
            return size_t(in.gcount());
        });
    });
    if (!wb.ok()) return fail("无法打开文件 " + path.string() + "：" + wb.message());
    (*wb)->sourcePath = path.string();
    return wb;
}

}  // namespace ss

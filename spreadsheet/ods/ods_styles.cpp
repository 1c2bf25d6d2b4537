// The styles of an OpenDocument spreadsheet: cell styles with their parents, number styles as
// number format codes, column widths, row heights and hidden tables.
#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ods_internal.h"

namespace ss::ods {

Ns nsOf(std::string_view uri) {
    static constexpr std::string_view kOdf = "urn:oasis:names:tc:opendocument:xmlns:";
    if (uri.starts_with(kOdf)) {
        std::string_view rest = uri.substr(kOdf.size());
        if (rest == "table:1.0") return Ns::Table;
        if (rest == "text:1.0") return Ns::Text;
        if (rest == "office:1.0") return Ns::Office;
        if (rest == "style:1.0") return Ns::Style;
        if (rest == "xsl-fo-compatible:1.0") return Ns::Fo;
        if (rest == "datastyle:1.0") return Ns::Number;
        if (rest == "svg-compatible:1.0") return Ns::Svg;
        if (rest == "drawing:1.0") return Ns::Draw;
        return Ns::Other;
    }
    if (uri == "urn:org:documentfoundation:names:experimental:calc:xmlns:calcext:1.0")
        return Ns::Calcext;
    if (uri == "http://purl.org/dc/elements/1.1/") return Ns::Dc;
    return Ns::Other;
}

Names::Names() {
    prefix_[size_t(Ns::Office)] = "office";
    prefix_[size_t(Ns::Table)] = "table";
    prefix_[size_t(Ns::Text)] = "text";
    prefix_[size_t(Ns::Style)] = "style";
    prefix_[size_t(Ns::Fo)] = "fo";
    prefix_[size_t(Ns::Number)] = "number";
    prefix_[size_t(Ns::Svg)] = "svg";
    prefix_[size_t(Ns::Draw)] = "draw";
    prefix_[size_t(Ns::Calcext)] = "calcext";
    prefix_[size_t(Ns::Dc)] = "dc";
}

void Names::declare(const char** atts) {
    for (const char** a = atts; *a; a += 2) {
        if (std::strncmp(a[0], "xmlns", 5) != 0) continue;
        std::string_view prefix = a[0][5] == ':' ? std::string_view(a[0] + 6) : std::string_view();
        // A prefix names one namespace: whatever it named before is no longer it.
        for (auto& p : prefix_)
            if (p == prefix) p = "\x01";
        Ns ns = nsOf(a[1]);
        if (ns != Ns::Other) prefix_[size_t(ns)] = std::string(prefix);
    }
}

const char* Names::attr(const char** atts, Ns ns, std::string_view local) const {
    const std::string& want = prefix_[size_t(ns)];
    for (const char** a = atts; *a; a += 2) {
        xml::QName q = xml::splitPrefixed(a[0]);
        if (q.local == local && q.ns == want) return a[1];
    }
    return nullptr;
}

std::optional<double> toPoints(std::string_view s) {
    double v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || !std::isfinite(v)) return std::nullopt;
    std::string_view unit(p, size_t(s.data() + s.size() - p));
    if (unit == "pt") return v;
    if (unit == "in") return v * 72;
    if (unit == "cm") return v * 72 / 2.54;
    if (unit == "mm") return v * 72 / 25.4;
    if (unit == "pc") return v * 12;
    if (unit == "px") return v * 0.75;
    return std::nullopt;
}

namespace {

std::optional<Color> parseColor(const char* v) {
    if (!v || v[0] != '#' || std::strlen(v) != 7) return std::nullopt;
    uint32_t rgb = 0;
    auto [p, ec] = std::from_chars(v + 1, v + 7, rgb, 16);
    if (ec != std::errc() || p != v + 7) return std::nullopt;
    return Color::rgb(0xFF000000u | rgb);
}

// "0.74pt solid #000000", "none", "1.76pt double #0000ff".
std::optional<BorderSide> parseBorder(const char* v) {
    if (!v) return std::nullopt;
    BorderSide side;
    std::string_view s(v);
    if (s == "none" || s == "hidden") return side;
    double width = 0.75;
    std::string style = "solid";
    size_t i = 0;
    while (i < s.size()) {
        size_t j = s.find(' ', i);
        if (j == std::string_view::npos) j = s.size();
        std::string_view word = s.substr(i, j - i);
        if (!word.empty() && word[0] == '#') {
            if (auto c = parseColor(std::string(word).c_str())) side.color = *c;
        } else if (auto pt = toPoints(word)) {
            width = *pt;
        } else if (!word.empty()) {
            style = std::string(word);
        }
        i = j + 1;
    }
    if (style == "none" || style == "hidden") return BorderSide{};
    if (style == "double") {
        side.style = "double";
    } else if (style == "dotted") {
        side.style = width > 1.0 ? "mediumDashDotDot" : "dotted";
    } else if (style == "dashed" || style == "fine-dashed" || style == "dash-dot" ||
               style == "dash-dot-dot") {
        side.style = width > 1.0 ? "mediumDashed" : "dashed";
    } else {
        side.style = width >= 2.25 ? "thick"
                     : width > 1.0 ? "medium"
                     : width < 0.5 ? "hair"
                                   : "thin";
        if (width < 0.5 && width > 0.05) side.style = "thin";
    }
    return side;
}

// A literal of a number format: plain where the code reads it as itself, else quoted.
void appendLiteral(std::string& code, std::string_view text, bool percentStyle) {
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '%' && percentStyle) {
            code += '%';
            ++i;
            continue;
        }
        if (std::strchr("$-+/():!^&'~{}<>= ", c) && c != '\0') {
            code += c;
            ++i;
            continue;
        }
        size_t j = i;
        while (j < text.size() && !std::strchr("$-+/():!^&'~{}<>= ", text[j]) &&
               !(text[j] == '%' && percentStyle))
            ++j;
        code += '"';
        for (size_t k = i; k < j; ++k) {
            if (text[k] == '"') code += "\\";
            code += text[k];
        }
        code += '"';
        i = j;
    }
}

std::string colorTag(const Color& c) {
    switch (c.value & 0xFFFFFF) {
        case 0xFF0000:
            return "[Red]";
        case 0x0000FF:
            return "[Blue]";
        case 0x00FF00:
            return "[Green]";
        case 0x000000:
            return "[Black]";
        case 0xFFFFFF:
            return "[White]";
        case 0xFFFF00:
            return "[Yellow]";
        case 0xFF00FF:
            return "[Magenta]";
        case 0x00FFFF:
            return "[Cyan]";
        default:
            return "";
    }
}

bool isTrue(const char* v) {
    return v && std::strcmp(v, "true") == 0;
}
bool isLong(const Names& names, const char** atts) {
    const char* v = names.attr(atts, Ns::Number, "style");
    return v && std::strcmp(v, "long") == 0;
}
int intAttr(const Names& names, const char** atts, std::string_view local, int fallback) {
    const char* v = names.attr(atts, Ns::Number, local);
    if (!v) return fallback;
    int n = fallback;
    std::from_chars(v, v + std::strlen(v), n);
    return std::clamp(n, 0, 30);
}

}  // namespace

struct Styles::CellStyle {
    std::string parent, dataStyle;
    std::optional<bool> bold, italic, strike;
    std::optional<std::string> underline, fontName;
    std::optional<Color> color, fill;
    std::optional<double> size;
    std::optional<std::string> hAlign, vAlign;
    std::optional<bool> wrap, shrink;
    std::optional<int> rotation;
    std::optional<BorderSide> left, right, top, bottom;
};

struct Styles::NumberStyle {
    std::string code, color;
    bool percent = false;
    std::vector<std::pair<std::string, std::string>> maps;  // condition, style
};

struct Styles::Resolved {
    Font font;
    Fill fill;
    Border border;
    Alignment alignment;
    std::string dataStyle;
};

void Styles::start(Ns ns, std::string_view local, const char** atts) {
    if (ns == Ns::Style && local == "font-face") {
        const char* name = names_.attr(atts, Ns::Style, "name");
        const char* family = names_.attr(atts, Ns::Svg, "font-family");
        if (name && family) {
            std::string f = family;
            if (f.size() >= 2 && (f.front() == '\'' || f.front() == '"'))
                f = f.substr(1, f.size() - 2);
            fontFaces_[name] = f;
        }
        return;
    }
    if (ns == Ns::Style && (local == "style" || local == "default-style")) {
        const char* family = names_.attr(atts, Ns::Style, "family");
        const char* name = names_.attr(atts, Ns::Style, "name");
        curFamily_ = family ? family : "";
        curName_ = name ? name : "";
        cur_.reset();
        if (curFamily_ == "table-cell") {
            cur_ = std::make_shared<CellStyle>();
            if (const char* p = names_.attr(atts, Ns::Style, "parent-style-name")) cur_->parent = p;
            if (const char* d = names_.attr(atts, Ns::Style, "data-style-name"))
                cur_->dataStyle = d;
            if (local == "default-style")
                defaultCell_ = cur_;
            else
                cells_[curName_] = cur_;
        }
        return;
    }
    if (ns == Ns::Style && local == "table-column-properties" && curFamily_ == "table-column") {
        if (const char* w = names_.attr(atts, Ns::Style, "column-width"))
            if (auto pt = toPoints(w)) columns_[curName_] = *pt;
        return;
    }
    if (ns == Ns::Style && local == "table-row-properties" && curFamily_ == "table-row") {
        RowFormat f;
        if (const char* h = names_.attr(atts, Ns::Style, "row-height"))
            if (auto pt = toPoints(h)) f.heightPt = *pt;
        const char* opt = names_.attr(atts, Ns::Style, "use-optimal-row-height");
        f.custom = f.heightPt > 0 && opt && std::strcmp(opt, "false") == 0;
        rows_[curName_] = f;
        return;
    }
    if (ns == Ns::Style && local == "table-properties" && curFamily_ == "table") {
        const char* d = names_.attr(atts, Ns::Table, "display");
        tables_[curName_] = d && std::strcmp(d, "false") == 0;
        return;
    }
    if (ns == Ns::Style && cur_ && local == "text-properties") {
        if (const char* v = names_.attr(atts, Ns::Fo, "font-weight"))
            cur_->bold = std::strcmp(v, "bold") == 0 ||
                         (std::isdigit((unsigned char)v[0]) && std::strtod(v, nullptr) >= 600);
        if (const char* v = names_.attr(atts, Ns::Fo, "font-style"))
            cur_->italic = std::strcmp(v, "normal") != 0;
        if (auto c = parseColor(names_.attr(atts, Ns::Fo, "color"))) cur_->color = *c;
        if (const char* v = names_.attr(atts, Ns::Fo, "font-size"))
            if (auto pt = toPoints(v)) cur_->size = *pt;
        if (const char* v = names_.attr(atts, Ns::Style, "font-name")) {
            auto it = fontFaces_.find(v);
            cur_->fontName = it != fontFaces_.end() ? it->second : std::string(v);
        } else if (const char* f = names_.attr(atts, Ns::Fo, "font-family")) {
            cur_->fontName = f;
        }
        if (const char* v = names_.attr(atts, Ns::Style, "text-underline-style")) {
            const char* type = names_.attr(atts, Ns::Style, "text-underline-type");
            cur_->underline = std::strcmp(v, "none") == 0                  ? ""
                              : (type && std::strcmp(type, "double") == 0) ? "double"
                                                                           : "single";
        }
        if (const char* v = names_.attr(atts, Ns::Style, "text-line-through-style"))
            cur_->strike = std::strcmp(v, "none") != 0;
        return;
    }
    if (ns == Ns::Style && cur_ && local == "table-cell-properties") {
        if (const char* v = names_.attr(atts, Ns::Fo, "background-color")) {
            if (auto c = parseColor(v))
                cur_->fill = *c;
            else if (std::strcmp(v, "transparent") == 0)
                cur_->fill = Color{};
        }
        if (const char* v = names_.attr(atts, Ns::Fo, "wrap-option"))
            cur_->wrap = std::strcmp(v, "wrap") == 0;
        if (const char* v = names_.attr(atts, Ns::Style, "shrink-to-fit")) cur_->shrink = isTrue(v);
        if (const char* v = names_.attr(atts, Ns::Style, "vertical-align")) {
            std::string_view a(v);
            cur_->vAlign = a == "top" ? "top" : a == "middle" ? "center" : "";
        }
        if (const char* v = names_.attr(atts, Ns::Style, "rotation-angle")) {
            const double angle = std::fmod(std::strtod(v, nullptr), 360.0);
            int deg = std::isfinite(angle) ? int(angle < 0 ? angle + 360 : angle) : 0;
            cur_->rotation = deg <= 90 ? deg : deg >= 270 ? 90 + (360 - deg) : 0;
        }
        if (const char* v = names_.attr(atts, Ns::Style, "text-align-source"))
            if (std::strcmp(v, "value-type") == 0) cur_->hAlign = "";
        if (auto b = parseBorder(names_.attr(atts, Ns::Fo, "border")))
            cur_->left = cur_->right = cur_->top = cur_->bottom = *b;
        if (auto b = parseBorder(names_.attr(atts, Ns::Fo, "border-left"))) cur_->left = *b;
        if (auto b = parseBorder(names_.attr(atts, Ns::Fo, "border-right"))) cur_->right = *b;
        if (auto b = parseBorder(names_.attr(atts, Ns::Fo, "border-top"))) cur_->top = *b;
        if (auto b = parseBorder(names_.attr(atts, Ns::Fo, "border-bottom"))) cur_->bottom = *b;
        return;
    }
    if (ns == Ns::Style && cur_ && local == "paragraph-properties") {
        // Only where the cell style fixes it: "value-type" leaves numbers right and texts left.
        if (cur_->hAlign && cur_->hAlign->empty()) return;
        if (const char* v = names_.attr(atts, Ns::Fo, "text-align")) {
            std::string_view a(v);
            cur_->hAlign = a == "center"                 ? "center"
                           : a == "end" || a == "right"  ? "right"
                           : a == "justify"              ? "justify"
                           : a == "start" || a == "left" ? "left"
                                                         : "";
        }
        return;
    }
    if (ns != Ns::Number && !(ns == Ns::Style && num_)) return;
    if (local.ends_with("-style") && ns == Ns::Number) {
        num_ = std::make_shared<NumberStyle>();
        num_->percent = local == "percentage-style";
        if (local == "boolean-style") num_->code = "\"TRUE\";\"TRUE\";\"FALSE\"";
        if (local == "time-style" && names_.attr(atts, Ns::Number, "truncate-on-overflow") &&
            !isTrue(names_.attr(atts, Ns::Number, "truncate-on-overflow")))
            num_->color = "\x01";  // marker: hours go past 24; taken by number:hours below
        if (const char* n = names_.attr(atts, Ns::Style, "name")) numbers_[n] = num_;
        return;
    }
    if (!num_) return;
    std::string& code = num_->code;
    if (ns == Ns::Style && local == "text-properties") {
        if (auto c = parseColor(names_.attr(atts, Ns::Fo, "color"))) {
            bool overflow = num_->color == "\x01";
            num_->color = colorTag(*c);
            if (overflow) num_->color += "\x01";
        }
    } else if (ns == Ns::Style && local == "map") {
        const char* cond = names_.attr(atts, Ns::Style, "condition");
        const char* style = names_.attr(atts, Ns::Style, "apply-style-name");
        if (cond && style) num_->maps.emplace_back(cond, style);
    } else if (local == "number" && !names_.attr(atts, Ns::Number, "decimal-places")) {
        // No number of decimals: as many as the number needs, which is General.
        code += "General";
    } else if (local == "number" || local == "scientific-number") {
        int decimals = intAttr(names_, atts, "decimal-places", 0);
        int minDecimals = intAttr(names_, atts, "min-decimal-places", decimals);
        int minInt = intAttr(names_, atts, "min-integer-digits", 1);
        bool grouping = isTrue(names_.attr(atts, Ns::Number, "grouping"));
        std::string whole = minInt == 0 ? "#" : std::string(size_t(std::min(minInt, 15)), '0');
        if (grouping) whole = whole.size() >= 4 ? whole : "#,##" + std::string(1, whole.back());
        code += whole;
        if (decimals > 0)
            code += "." + std::string(size_t(std::min(minDecimals, decimals)), '0') +
                    std::string(size_t(decimals - std::min(minDecimals, decimals)), '#');
        if (local == "scientific-number")
            code += "E+" +
                    std::string(
                        size_t(std::max(1, intAttr(names_, atts, "min-exponent-digits", 2))), '0');
    } else if (local == "fraction") {
        int num = std::max(1, intAttr(names_, atts, "min-numerator-digits", 1));
        const char* value = names_.attr(atts, Ns::Number, "denominator-value");
        code += "# " + std::string(size_t(num), '?') + "/";
        code += value ? std::string(value)
                      : std::string(
                            size_t(std::max(1, intAttr(names_, atts, "min-denominator-digits", 1))),
                            '?');
    } else if (local == "text" || local == "currency-symbol") {
        numTextDepth_ = 1;
        numText_.clear();
        if (local == "currency-symbol") numText_ = "\x02";  // marks a symbol to be filled in
        if (local == "currency-symbol") {
            const char* country = names_.attr(atts, Ns::Number, "country");
            std::string_view c = country ? country : "";
            numText_ += c == "US" ? "$" : c == "CN" || c == "JP" ? "¥" : c == "GB" ? "£" : "";
            numText_ += '\x02';
        }
    } else if (local == "text-content") {
        code += "@";
    } else if (local == "year") {
        code += isLong(names_, atts) ? "yyyy" : "yy";
    } else if (local == "month") {
        bool textual = isTrue(names_.attr(atts, Ns::Number, "textual"));
        code +=
            textual ? (isLong(names_, atts) ? "mmmm" : "mmm") : (isLong(names_, atts) ? "mm" : "m");
    } else if (local == "day") {
        code += isLong(names_, atts) ? "dd" : "d";
    } else if (local == "day-of-week") {
        code += isLong(names_, atts) ? "dddd" : "ddd";
    } else if (local == "hours") {
        bool overflow = num_->color.find('\x01') != std::string::npos;
        code += overflow ? (isLong(names_, atts) ? "[hh]" : "[h]")
                         : (isLong(names_, atts) ? "hh" : "h");
    } else if (local == "minutes") {
        code += isLong(names_, atts) ? "mm" : "m";
    } else if (local == "seconds") {
        code += isLong(names_, atts) ? "ss" : "s";
        int decimals = intAttr(names_, atts, "decimal-places", 0);
        if (decimals > 0) code += "." + std::string(size_t(std::min(decimals, 3)), '0');
    } else if (local == "am-pm") {
        code += "AM/PM";
    } else if (local == "quarter") {
        code += "\"Q\"";
    }
}

void Styles::text(std::string_view s) {
    if (numTextDepth_) numText_.append(s);
}

void Styles::end(Ns ns, std::string_view local) {
    if (numTextDepth_ && ns == Ns::Number && (local == "text" || local == "currency-symbol")) {
        numTextDepth_ = 0;
        if (num_) {
            if (local == "currency-symbol") {
                // "\x02" + the country's symbol + "\x02" + the symbol as written.
                size_t mark = numText_.find('\x02', 1);
                std::string written = numText_.substr(mark + 1);
                std::string symbol = written.empty() ? numText_.substr(1, mark - 1) : written;
                appendLiteral(num_->code, symbol, false);
            } else {
                appendLiteral(num_->code, numText_, num_->percent);
            }
        }
        return;
    }
    if (ns == Ns::Number && local.ends_with("-style")) {
        if (num_) {
            std::erase(num_->color, '\x01');
            num_->code = num_->color + num_->code;
        }
        num_.reset();
        return;
    }
    if (ns == Ns::Style && (local == "style" || local == "default-style")) {
        cur_.reset();
        curFamily_.clear();
    }
}

std::string Styles::numberCode(const std::string& name, int depth) const {
    auto it = numbers_.find(name);
    if (it == numbers_.end() || depth > 4) return "";
    const NumberStyle& n = *it->second;
    std::string code;
    for (const auto& [cond, style] : n.maps) {
        std::string mapped = numberCode(style, depth + 1);
        std::string_view c = cond;
        if (c != "value()>=0" && c != "value()>0") {
            // A condition of its own: the A1 code states it in brackets.
            std::string_view op = c.starts_with("value()") ? c.substr(7) : c;
            if (!op.empty() && op.find_first_not_of("<>=0123456789.-") == std::string_view::npos)
                mapped = "[" + std::string(op) + "]" + mapped;
        }
        code += mapped + ";";
    }
    return code + n.code;
}

void Styles::apply(const CellStyle& s, Resolved& r) const {
    if (!s.dataStyle.empty()) r.dataStyle = s.dataStyle;
    if (s.bold) r.font.bold = *s.bold;
    if (s.italic) r.font.italic = *s.italic;
    if (s.strike) r.font.strike = *s.strike;
    if (s.underline) r.font.underline = *s.underline;
    if (s.fontName) r.font.name = *s.fontName;
    if (s.size) r.font.size = *s.size;
    if (s.color) r.font.color = *s.color;
    if (s.fill) {
        r.fill = Fill{};
        if (s.fill->isSet()) {
            r.fill.patternType = "solid";
            r.fill.fg = *s.fill;
            r.fill.bg = Color::indexed(64);
        }
    }
    if (s.hAlign) r.alignment.horizontal = *s.hAlign;
    if (s.vAlign) r.alignment.vertical = *s.vAlign;
    if (s.wrap) r.alignment.wrapText = *s.wrap;
    if (s.shrink) r.alignment.shrinkToFit = *s.shrink;
    if (s.rotation) r.alignment.textRotation = *s.rotation;
    if (s.left) r.border.left = *s.left;
    if (s.right) r.border.right = *s.right;
    if (s.top) r.border.top = *s.top;
    if (s.bottom) r.border.bottom = *s.bottom;
}

void Styles::collect(const std::string& name, Resolved& r, int depth) const {
    auto it = cells_.find(name);
    if (depth > 16 || it == cells_.end()) {
        if (defaultCell_) apply(*defaultCell_, r);
        return;
    }
    collect(it->second->parent, r, depth + 1);
    apply(*it->second, r);
}

void Styles::finish() {
    Resolved r;
    r.font.name = "Liberation Sans";
    r.font.size = 10;
    collect(cells_.count("Default") ? "Default" : "", r, 0);
    Font f = r.font;
    f.family = -1;
    table_.fonts[0] = f;
    table_.reindex();
}

uint32_t Styles::intern(const Resolved& r) {
    CellFormat xf;
    xf.fontId = table_.internFont(r.font);
    xf.fillId = table_.internFill(r.fill);
    xf.borderId = table_.internBorder(r.border);
    xf.alignment = r.alignment;
    if (!r.dataStyle.empty()) {
        std::string code = numberCode(r.dataStyle, 0);
        if (!code.empty() && code != "General") xf.numFmtId = table_.internNumberFormat(code);
    }
    xf.applyFont = xf.fontId != 0;
    xf.applyFill = xf.fillId != 0;
    xf.applyBorder = xf.borderId != 0;
    xf.applyAlignment = !xf.alignment.isDefault();
    xf.applyNumberFormat = xf.numFmtId != 0;
    return table_.internCellFormat(xf);
}

uint32_t Styles::cellFormat(const std::string& name) {
    auto it = xfs_.find(name);
    if (it != xfs_.end()) return it->second;
    Resolved r;
    r.font = table_.fonts[0];
    collect(name, r, 0);
    uint32_t xf = intern(r);
    xfs_.emplace(name, xf);
    return xf;
}

uint32_t Styles::withNumberFormat(uint32_t xf, const std::string& code) {
    std::string key = std::to_string(xf) + '\n' + code;
    auto it = withCode_.find(key);
    if (it != withCode_.end()) return it->second;
    CellFormat f = table_.cellXfs[xf];
    f.numFmtId = table_.internNumberFormat(code);
    f.applyNumberFormat = true;
    uint32_t out = table_.internCellFormat(f);
    withCode_.emplace(std::move(key), out);
    return out;
}

double Styles::columnWidth(const std::string& name) const {
    auto it = columns_.find(name);
    return it == columns_.end() ? -1 : it->second;
}

Styles::RowFormat Styles::rowFormat(const std::string& name) const {
    auto it = rows_.find(name);
    return it == rows_.end() ? RowFormat{} : it->second;
}

bool Styles::tableHidden(const std::string& name) const {
    auto it = tables_.find(name);
    return it != tables_.end() && it->second;
}

}  // namespace ss::ods

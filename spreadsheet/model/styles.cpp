#include "styles.h"

#include <array>
#include <cstdio>

namespace ss {

namespace {

// Built-in number formats; ids 27-36 and 50-58 as the Chinese (PRC) edition defines them.
const std::map<uint32_t, std::string>& builtinFormats() {
    static const std::map<uint32_t, std::string> m = {
        {0, "General"},
        {1, "0"},
        {2, "0.00"},
        {3, "#,##0"},
        {4, "#,##0.00"},
        {5, "\"$\"#,##0_);(\"$\"#,##0)"},
        {6, "\"$\"#,##0_);[Red](\"$\"#,##0)"},
        {7, "\"$\"#,##0.00_);(\"$\"#,##0.00)"},
        {8, "\"$\"#,##0.00_);[Red](\"$\"#,##0.00)"},
        {9, "0%"},
        {10, "0.00%"},
        {11, "0.00E+00"},
        {12, "# ?/?"},
        {13, "# ?\?/??"},
        {14, "m/d/yyyy"},
        {15, "d-mmm-yy"},
        {16, "d-mmm"},
        {17, "mmm-yy"},
        {18, "h:mm AM/PM"},
        {19, "h:mm:ss AM/PM"},
        {20, "h:mm"},
        {21, "h:mm:ss"},
        {22, "m/d/yyyy h:mm"},
        {27, "yyyy\"年\"m\"月\""},
        {28, "m\"月\"d\"日\""},
        {29, "m\"月\"d\"日\""},
        {30, "m-d-yy"},
        {31, "yyyy\"年\"m\"月\"d\"日\""},
        {32, "h\"时\"mm\"分\""},
        {33, "h\"时\"mm\"分\"ss\"秒\""},
        {34, "上午/下午h\"时\"mm\"分\""},
        {35, "上午/下午h\"时\"mm\"分\"ss\"秒\""},
        {36, "yyyy\"年\"m\"月\""},
        {37, "#,##0_);(#,##0)"},
        {38, "#,##0_);[Red](#,##0)"},
        {39, "#,##0.00_);(#,##0.00)"},
        {40, "#,##0.00_);[Red](#,##0.00)"},
        {41, "_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)"},
        {42, "_(\"$\"* #,##0_);_(\"$\"* \\(#,##0\\);_(\"$\"* \"-\"_);_(@_)"},
        {43, "_(* #,##0.00_);_(* \\(#,##0.00\\);_(* \"-\"??_);_(@_)"},
        {44, "_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"??_);_(@_)"},
        {45, "mm:ss"},
        {46, "[h]:mm:ss"},
        {47, "mmss.0"},
        {48, "##0.0E+0"},
        {49, "@"},
        {50, "yyyy\"年\"m\"月\""},
        {51, "m\"月\"d\"日\""},
        {52, "yyyy\"年\"m\"月\""},
        {53, "m\"月\"d\"日\""},
        {54, "m\"月\"d\"日\""},
        {55, "上午/下午h\"时\"mm\"分\""},
        {56, "上午/下午h\"时\"mm\"分\"ss\"秒\""},
        {57, "yyyy\"年\"m\"月\""},
        {58, "m\"月\"d\"日\""},
    };
    return m;
}

// The default 56-colour palette of indexes 8..63 (indexes 0..7 repeat 8..15).
constexpr std::array<uint32_t, 56> kDefaultPalette = {
    0xFF000000, 0xFFFFFFFF, 0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFF00, 0xFFFF00FF, 0xFF00FFFF,
    0xFF800000, 0xFF008000, 0xFF000080, 0xFF808000, 0xFF800080, 0xFF008080, 0xFFC0C0C0, 0xFF808080,
    0xFF9999FF, 0xFF993366, 0xFFFFFFCC, 0xFFCCFFFF, 0xFF660066, 0xFFFF8080, 0xFF0066CC, 0xFFCCCCFF,
    0xFF000080, 0xFFFF00FF, 0xFFFFFF00, 0xFF00FFFF, 0xFF800080, 0xFF800000, 0xFF008080, 0xFF0000FF,
    0xFF00CCFF, 0xFFCCFFFF, 0xFFCCFFCC, 0xFFFFFF99, 0xFF99CCFF, 0xFFFF99CC, 0xFFCC99FF, 0xFFFFCC99,
    0xFF3366FF, 0xFF33CCCC, 0xFF99CC00, 0xFFFFCC00, 0xFFFF9900, 0xFFFF6600, 0xFF666699, 0xFF969696,
    0xFF003366, 0xFF339966, 0xFF003300, 0xFF333300, 0xFF993300, 0xFF993366, 0xFF333399, 0xFF333333};

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

void appendColor(std::string& k, const Color& c) {
    k += std::to_string(int(c.kind));
    k += ',';
    k += std::to_string(c.value);
    k += ',';
    k += num(c.tint);
    k += ';';
}

std::string fontKey(const Font& f) {
    std::string k = f.name + '|' + num(f.size) + '|';
    for (bool b : {f.bold, f.italic, f.strike, f.outline, f.shadow, f.condense, f.extend})
        k += char('0' + b);
    k += '|' + f.underline + '|' + f.vertAlign + '|';
    appendColor(k, f.color);
    k += std::to_string(f.family) + '|' + std::to_string(f.charset) + '|' + f.scheme;
    return k;
}

std::string fillKey(const Fill& f) {
    std::string k = f.patternType + '|';
    appendColor(k, f.fg);
    appendColor(k, f.bg);
    if (f.gradient) {
        k += "g|" + f.gradientType + '|' + num(f.degree) + '|' + num(f.left) + '|' + num(f.right) +
             '|' + num(f.top) + '|' + num(f.bottom) + '|';
        for (const GradientStop& s : f.stops) {
            k += num(s.position) + ':';
            appendColor(k, s.color);
        }
    }
    return k;
}

std::string borderKey(const Border& b) {
    std::string k;
    for (const BorderSide* s :
         {&b.left, &b.right, &b.top, &b.bottom, &b.diagonal, &b.vertical, &b.horizontal}) {
        k += s->style + ':';
        appendColor(k, s->color);
    }
    k += char('0' + b.diagonalUp);
    k += char('0' + b.diagonalDown);
    k += char('0' + b.outline);
    return k;
}

std::string xfKey(const CellFormat& x) {
    std::string k = std::to_string(x.numFmtId) + ',' + std::to_string(x.fontId) + ',' +
                    std::to_string(x.fillId) + ',' + std::to_string(x.borderId) + ',' +
                    std::to_string(x.xfId) + '|';
    const Alignment& a = x.alignment;
    k += a.horizontal + ',' + a.vertical + ',' + std::to_string(a.textRotation) + ',' +
         char('0' + a.wrapText) + char('0' + a.shrinkToFit) + char('0' + a.justifyLastLine) + ',' +
         std::to_string(a.indent) + ',' + std::to_string(a.relativeIndent) + ',' +
         std::to_string(a.readingOrder) + '|';
    for (bool b : {x.protection.locked, x.protection.hidden, x.applyNumberFormat, x.applyFont,
                   x.applyFill, x.applyBorder, x.applyAlignment, x.applyProtection, x.quotePrefix})
        k += char('0' + b);
    return k;
}

template <class T, class KeyFn>
uint32_t internInto(std::vector<T>& v, std::unordered_map<std::string, uint32_t>& index,
                    const T& item, KeyFn keyFn) {
    std::string k = keyFn(item);
    auto it = index.find(k);
    if (it != index.end()) return it->second;
    uint32_t i = uint32_t(v.size());
    v.push_back(item);
    index.emplace(std::move(k), i);
    return i;
}

}  // namespace

const std::string* builtinNumberFormat(uint32_t id) {
    auto& m = builtinFormats();
    auto it = m.find(id);
    return it == m.end() ? nullptr : &it->second;
}

bool isDateFormatCode(const std::string& code) {
    // A date or time format shows one of d m y h s (or e, g, b of East Asian calendars) outside
    // quoted text, escapes and bracketed colour/condition sections; [h] [m] [s] count too.
    bool inQuote = false;
    for (size_t i = 0; i < code.size(); ++i) {
        char ch = code[i];
        if (inQuote) {
            if (ch == '"') inQuote = false;
            continue;
        }
        switch (ch) {
            case '"':
                inQuote = true;
                break;
            case '\\':
            case '_':
            case '*':
                ++i;  // the next character is literal (or a fill/space width)
                break;
            case '[': {
                size_t end = code.find(']', i);
                if (end == std::string::npos) return false;
                std::string inner = code.substr(i + 1, end - i - 1);
                if (!inner.empty() && (inner[0] == 'h' || inner[0] == 'H' || inner[0] == 'm' ||
                                       inner[0] == 'M' || inner[0] == 's' || inner[0] == 'S'))
                    return true;
                i = end;
                break;
            }
            case ';':
                // Only the first section decides (positive numbers, which dates are).
                return false;
            default: {
                char lc = char(ch | 0x20);
                // "E+" and "E-" are the exponent of a scientific format, not a year.
                if (lc == 'e' && i + 1 < code.size() && (code[i + 1] == '+' || code[i + 1] == '-'))
                    break;
                if (lc == 'd' || lc == 'm' || lc == 'y' || lc == 'h' || lc == 's' || lc == 'e')
                    return true;
                if ((lc == 'g' || lc == 'b') && code.compare(i, 7, "General") != 0 &&
                    code.compare(i, 7, "general") != 0)
                    return true;
                if (lc == 'g' &&
                    (code.compare(i, 7, "General") == 0 || code.compare(i, 7, "general") == 0))
                    i += 6;
                break;
            }
        }
    }
    return false;
}

bool isDurationFormatCode(const std::string& code) {
    // Elapsed [h] [m] [s] in the first section, and no day, year or era beside them (their m
    // are minutes).
    bool elapsed = false;
    bool inQuote = false;
    for (size_t i = 0; i < code.size(); ++i) {
        const char ch = code[i];
        if (inQuote) {
            if (ch == '"') inQuote = false;
            continue;
        }
        if (ch == ';') break;
        if (ch == '"') {
            inQuote = true;
        } else if (ch == '\\' || ch == '_' || ch == '*') {
            ++i;
        } else if (ch == '[') {
            const size_t end = code.find(']', i);
            if (end == std::string::npos) break;
            const char first = i + 1 < end ? char(code[i + 1] | 0x20) : 0;
            elapsed = elapsed || first == 'h' || first == 'm' || first == 's';
            i = end;
        } else {
            const char lc = char(ch | 0x20);
            const bool exponent = i + 1 < code.size() && (code[i + 1] == '+' || code[i + 1] == '-');
            if (lc == 'd' || lc == 'y' || lc == 'g' || lc == 'b' || (lc == 'e' && !exponent))
                return false;
        }
    }
    return elapsed;
}

StyleTable::StyleTable() {
    Font f;
    f.family = 2;
    f.scheme = "minor";
    f.color = Color::theme(1);
    fonts.push_back(f);
    Fill none;
    fills.push_back(none);
    Fill gray;
    gray.patternType = "gray125";
    fills.push_back(gray);
    borders.push_back(Border{});
    cellStyleXfs.push_back(CellFormat{});
    cellXfs.push_back(CellFormat{});
    cellStyles.push_back(NamedCellStyle{"Normal", 0, 0, -1, false, false});
    reindex();
}

std::string StyleTable::numberFormatCode(uint32_t id) const {
    auto it = numFmts.find(id);
    if (it != numFmts.end()) return it->second;
    const std::string* b = builtinNumberFormat(id);
    return b ? *b : std::string();
}

bool StyleTable::isDateFormat(uint32_t xf) const {
    if (xf >= cellXfs.size()) return false;
    uint32_t id = cellXfs[xf].numFmtId;
    auto it = numFmts.find(id);
    if (it != numFmts.end()) return isDateFormatCode(it->second);
    if ((id >= 14 && id <= 22) || (id >= 27 && id <= 36) || (id >= 45 && id <= 47) ||
        (id >= 50 && id <= 58))
        return true;
    return false;
}

uint32_t StyleTable::paletteColor(uint32_t index) const {
    // A custom palette lists the entries from index 0.
    if (!indexedColors.empty() && index < indexedColors.size()) return indexedColors[index];
    if (index < 8) return kDefaultPalette[index];
    if (index < 64) return kDefaultPalette[index - 8];
    return index == 64 ? 0xFF000000 : 0xFFFFFFFF;  // system foreground / background
}

uint32_t StyleTable::internFont(const Font& f) {
    return internInto(fonts, fontIndex_, f, fontKey);
}
uint32_t StyleTable::internFill(const Fill& f) {
    return internInto(fills, fillIndex_, f, fillKey);
}
uint32_t StyleTable::internBorder(const Border& b) {
    return internInto(borders, borderIndex_, b, borderKey);
}
uint32_t StyleTable::internCellFormat(const CellFormat& x) {
    return internInto(cellXfs, xfIndex_, x, xfKey);
}

uint32_t StyleTable::internNumberFormat(const std::string& code) {
    for (const auto& [id, c] : builtinFormats())
        if (id < 50 && c == code) return id;
    auto it = numFmtIndex_.find(code);
    if (it != numFmtIndex_.end()) return it->second;
    uint32_t id = 164;
    if (!numFmts.empty()) id = std::max<uint32_t>(164, numFmts.rbegin()->first + 1);
    numFmts.emplace(id, code);
    numFmtIndex_.emplace(code, id);
    return id;
}

void StyleTable::reindex() {
    fontIndex_.clear();
    fillIndex_.clear();
    borderIndex_.clear();
    xfIndex_.clear();
    numFmtIndex_.clear();
    // The first occurrence of a duplicate keeps its index.
    for (uint32_t i = 0; i < fonts.size(); ++i) fontIndex_.emplace(fontKey(fonts[i]), i);
    for (uint32_t i = 0; i < fills.size(); ++i) fillIndex_.emplace(fillKey(fills[i]), i);
    for (uint32_t i = 0; i < borders.size(); ++i) borderIndex_.emplace(borderKey(borders[i]), i);
    for (uint32_t i = 0; i < cellXfs.size(); ++i) xfIndex_.emplace(xfKey(cellXfs[i]), i);
    for (const auto& [id, code] : numFmts) numFmtIndex_.emplace(code, id);
}

Color StyleInterner::mapColor(const Color& c) const {
    if (c.kind == Color::Kind::Indexed && !from_.indexedColors.empty() && c.value < 64 &&
        from_.indexedColors != to_.indexedColors)
        return Color{Color::Kind::Rgb, from_.paletteColor(c.value), c.tint};
    if (c.kind == Color::Kind::Theme && from_.themeColors != to_.themeColors &&
        c.value < from_.themeColors.size())
        return Color{Color::Kind::Rgb, from_.themeColors[c.value], c.tint};
    return c;
}

Font StyleInterner::mapFont(Font f) const {
    f.color = mapColor(f.color);
    // A theme font follows the destination's theme; keep the source's face instead.
    if (from_.themeColors != to_.themeColors) f.scheme.clear();
    return f;
}

uint32_t StyleInterner::map(uint32_t xf) {
    if (xf >= from_.cellXfs.size()) return 0;
    if (xf >= cache_.size()) cache_.resize(from_.cellXfs.size(), kUnmapped);  // `from_` grew
    CellFormat x = from_.cellXfs[xf];

    auto mapComponents = [&](CellFormat& f) {
        if (f.fontId < from_.fonts.size())
            f.fontId = to_.internFont(mapFont(from_.fonts[f.fontId]));
        else
            f.fontId = 0;
        if (f.fillId < from_.fills.size()) {
            Fill fill = from_.fills[f.fillId];
            fill.fg = mapColor(fill.fg);
            fill.bg = mapColor(fill.bg);
            for (GradientStop& s : fill.stops) s.color = mapColor(s.color);
            f.fillId = to_.internFill(fill);
        } else {
            f.fillId = 0;
        }
        if (f.borderId < from_.borders.size()) {
            Border b = from_.borders[f.borderId];
            for (BorderSide* s :
                 {&b.left, &b.right, &b.top, &b.bottom, &b.diagonal, &b.vertical, &b.horizontal})
                s->color = mapColor(s->color);
            f.borderId = to_.internBorder(b);
        } else {
            f.borderId = 0;
        }
        if (f.numFmtId >= 164 || from_.numFmts.count(f.numFmtId)) {
            std::string code = from_.numberFormatCode(f.numFmtId);
            f.numFmtId = code.empty() ? 0 : to_.internNumberFormat(code);
        }
    };
    mapComponents(x);

    // The named style the format is based on: found by name in the destination, or added.
    uint32_t styleXf = 0;
    auto sc = styleXfCache_.find(x.xfId);
    if (sc != styleXfCache_.end()) {
        styleXf = sc->second;
    } else {
        const NamedCellStyle* named = nullptr;
        for (const NamedCellStyle& s : from_.cellStyles)
            if (s.xfId == x.xfId) named = &s;
        if (named && named->builtinId != 0 && x.xfId < from_.cellStyleXfs.size()) {
            bool found = false;
            for (const NamedCellStyle& s : to_.cellStyles)
                if (s.name == named->name) {
                    styleXf = s.xfId;
                    found = true;
                }
            if (!found) {
                CellFormat base = from_.cellStyleXfs[x.xfId];
                mapComponents(base);
                styleXf = uint32_t(to_.cellStyleXfs.size());
                to_.cellStyleXfs.push_back(base);
                NamedCellStyle ns = *named;
                ns.xfId = styleXf;
                to_.cellStyles.push_back(ns);
            }
        }
        styleXfCache_[x.xfId] = styleXf;
    }
    x.xfId = styleXf;
    uint32_t mapped = to_.internCellFormat(x);
    cache_[xf] = mapped;
    return mapped;
}

}  // namespace ss

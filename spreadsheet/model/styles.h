// The style table of a workbook: number formats, fonts, fills, borders, cell formats, named
// cell styles, differential formats. One table per workbook; cells refer to a cell format (xf)
// by index. Copying a cell between workbooks interns its format into the destination table.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace ss {

struct Color {
    enum class Kind : uint8_t { None, Auto, Rgb, Indexed, Theme };
    Kind kind = Kind::None;
    uint32_t value = 0;  // ARGB for Rgb, palette index for Indexed, theme slot for Theme
    double tint = 0.0;

    static Color rgb(uint32_t argb) { return {Kind::Rgb, argb, 0.0}; }
    static Color indexed(uint32_t i) { return {Kind::Indexed, i, 0.0}; }
    static Color theme(uint32_t i, double tint = 0.0) { return {Kind::Theme, i, tint}; }
    bool isSet() const { return kind != Kind::None; }
    bool operator==(const Color&) const = default;
};

struct Font {
    std::string name = "Calibri";
    double size = 11.0;
    bool bold = false, italic = false, strike = false, outline = false, shadow = false;
    bool condense = false, extend = false;
    std::string underline;  // "", "single", "double", "singleAccounting", "doubleAccounting"
    std::string vertAlign;  // "", "superscript", "subscript", "baseline"
    Color color;
    int family = -1;     // -1: not given
    int charset = -1;    // -1: not given
    std::string scheme;  // "", "major", "minor"
    bool operator==(const Font&) const = default;
};

struct GradientStop {
    double position = 0.0;
    Color color;
    bool operator==(const GradientStop&) const = default;
};

struct Fill {
    std::string patternType = "none";  // "none", "solid", "gray125", ...; empty for a gradient
    Color fg, bg;
    bool gradient = false;
    std::string gradientType;  // "linear" or "path"
    double degree = 0, left = 0, right = 0, top = 0, bottom = 0;
    std::vector<GradientStop> stops;
    bool operator==(const Fill&) const = default;
};

struct BorderSide {
    std::string style;  // "" (none), "thin", "medium", "dashed", ...
    Color color;
    bool operator==(const BorderSide&) const = default;
};

struct Border {
    BorderSide left, right, top, bottom, diagonal, vertical, horizontal;
    bool diagonalUp = false, diagonalDown = false, outline = true;
    bool operator==(const Border&) const = default;
};

struct Alignment {
    std::string horizontal;  // "" = general
    std::string vertical;    // "" = bottom
    int textRotation = 0;
    bool wrapText = false, shrinkToFit = false, justifyLastLine = false;
    int indent = 0, relativeIndent = 0, readingOrder = 0;
    bool operator==(const Alignment&) const = default;
    bool isDefault() const { return *this == Alignment{}; }
};

struct Protection {
    bool locked = true, hidden = false;
    bool operator==(const Protection&) const = default;
    bool isDefault() const { return *this == Protection{}; }
};

// A cell format (an <xf> of cellXfs or cellStyleXfs).
struct CellFormat {
    uint32_t numFmtId = 0, fontId = 0, fillId = 0, borderId = 0;
    uint32_t xfId = 0;  // the named style (cellStyleXfs index); unused in cellStyleXfs itself
    Alignment alignment;
    Protection protection;
    bool applyNumberFormat = false, applyFont = false, applyFill = false, applyBorder = false,
         applyAlignment = false, applyProtection = false, quotePrefix = false;
    bool operator==(const CellFormat&) const = default;
};

struct NamedCellStyle {
    std::string name;
    uint32_t xfId = 0;
    int builtinId = -1;  // -1: not a built-in style
    int iLevel = -1;
    bool hidden = false, customBuiltin = false;
    bool operator==(const NamedCellStyle&) const = default;
};

// Built-in number format codes (ids 0..49) as the spreadsheet application knows them.
const std::string* builtinNumberFormat(uint32_t id);
// True when the format shows a number as a date or a time.
bool isDateFormatCode(const std::string& code);
// True when the first section of a format counts elapsed time ("[h]:mm", "[mm]:ss") and shows
// no day, year or era: the number is a length of time, not a point in time.
bool isDurationFormatCode(const std::string& code);

class StyleTable {
public:
    StyleTable();  // the minimal default table: one font, the two required fills, one border, xf 0

    std::vector<Font> fonts;
    std::vector<Fill> fills;
    std::vector<Border> borders;
    std::map<uint32_t, std::string> numFmts;  // custom codes, ids >= 164
    std::vector<CellFormat> cellStyleXfs;
    std::vector<CellFormat> cellXfs;
    std::vector<NamedCellStyle> cellStyles;
    std::vector<std::string> dxfsXml;     // differential formats, kept as their XML elements
    std::vector<uint32_t> indexedColors;  // custom palette (ARGB); empty: the default palette
    std::string tableStylesXml;           // kept as written
    std::vector<uint32_t> mruColors;
    // Colours of the workbook's theme (ARGB) in the order cells refer to them (theme="0" is
    // lt1, 1 dk1, 2 lt2, 3 dk2, 4..9 accents, 10 hlink, 11 folHlink); empty: the default theme.
    std::vector<uint32_t> themeColors;

    // The code of a number format id, built-in or custom; empty when unknown.
    std::string numberFormatCode(uint32_t id) const;
    bool isDateFormat(uint32_t xf) const;
    // ARGB of an indexed colour through this table's palette (custom or default).
    uint32_t paletteColor(uint32_t index) const;

    // Adds (or finds) each component and returns its index.
    uint32_t internFont(const Font& f);
    uint32_t internFill(const Fill& f);
    uint32_t internBorder(const Border& b);
    uint32_t internNumberFormat(const std::string& code);  // built-in id when the code is built-in
    uint32_t internCellFormat(const CellFormat& xf);

    // Rebuilds the lookup indexes after the vectors were filled directly (by a reader).
    void reindex();

private:
    std::unordered_map<std::string, uint32_t> fontIndex_, fillIndex_, borderIndex_, xfIndex_;
    std::unordered_map<std::string, uint32_t> numFmtIndex_;
};

// Maps cell formats of one workbook into another; remembers what it mapped, so that copying
// a million cells with a handful of formats interns each format once.
class StyleInterner {
public:
    StyleInterner(const StyleTable& from, StyleTable& to)
        : from_(from), to_(to), cache_(from.cellXfs.size(), kUnmapped) {}
    uint32_t operator()(uint32_t xf) {
        if (xf < cache_.size() && cache_[xf] != kUnmapped) return cache_[xf];
        return map(xf);
    }

private:
    static constexpr uint32_t kUnmapped = UINT32_MAX;
    uint32_t map(uint32_t xf);
    Color mapColor(const Color& c) const;
    Font mapFont(Font f) const;
    const StyleTable& from_;
    StyleTable& to_;
    std::vector<uint32_t> cache_;  // by source format; kUnmapped until first asked for
    std::unordered_map<uint32_t, uint32_t> styleXfCache_;
};

}  // namespace ss

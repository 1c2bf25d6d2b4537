// Internal to the .xlsx writer (write_*.cpp): what its parts share, from the number and attribute
// helpers and the plans of styles and strings to the functions that write each kind of part.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "part_deflater.h"
#include "part_graph.h"
#include "xlsx.h"
#include "xml_util.h"
#include "../text/number_text.h"

namespace ss {

inline constexpr const char* kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr const char* kRelNs =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr const char* kXmlDecl =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

// Inline: the sheet writer calls them for every row and for every cell it does not write in place.
inline void appendU(std::string& out, uint64_t v) {
    char buf[24];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, p);
}

inline void appendI(std::string& out, int64_t v) {
    char buf[24];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, p);
}

inline void appendDouble(std::string& out, double v) {
    // Whole numbers (counts, dates, amounts in cents ...) are written as integers: the same
    // value, without the general shortest-form search.
    if (v >= -1e15 && v <= 1e15 && v == double(int64_t(v)) && (v != 0 || !std::signbit(v))) {
        appendI(out, int64_t(v));
        return;
    }
    char buf[40];
    out.append(buf, shortestChars(buf, v));
}

inline void attrS(std::string& out, const char* name, std::string_view v) {
    out += ' ';
    out += name;
    out += "=\"";
    xml::appendXstring(out, v, true);
    out += '"';
}

inline void attrU(std::string& out, const char* name, uint64_t v) {
    out += ' ';
    out += name;
    out += "=\"";
    appendU(out, v);
    out += '"';
}

inline void attrD(std::string& out, const char* name, double v) {
    out += ' ';
    out += name;
    out += "=\"";
    appendDouble(out, v);
    out += '"';
}

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

// ---- styles (write_styles.cpp) ---------------------------------------------------------------

// The plan for the cell formats marked in `used` (by workbook index).
StylePlan planStyles(const Workbook& wb, const std::vector<uint8_t>& used);
// The colour `c` as the element `element` (<color rgb="FF4472C4"/>); nothing when it is not set.
void writeColor(std::string& out, const char* element, const Color& c);
// The children of a <font> (or, with `run`, of a rich text run's <rPr>).
void writeFontBody(std::string& out, const Font& f, bool run);
std::string stylesPart(const StyleTable& t, const StylePlan& p);

// ---- shared strings (write_strings.cpp) ------------------------------------------------------

void stringsPart(const SharedStrings& ss, const StringPlan& p, xlsx::PartDeflater& sink);

// ---- worksheets (write_sheet.cpp) ------------------------------------------------------------

// Writes the worksheet `ws` into the sink's current part, handing full chunks over as rows are
// written; `carried` holds what the parts it carries put into it.
void worksheetPart(const Workbook& wb, const Worksheet& ws, const StylePlan& styles,
                   const StringPlan& strings, xlsx::PartDeflater& sink,
                   const xlsx::PartGraphWriter::SheetOut& carried);

// ---- notes (write_notes.cpp) -----------------------------------------------------------------

void notesPart(const Worksheet& ws, std::string& out);
void legacyDrawingPart(const Worksheet& ws, const xlsx::PartGraphWriter::SheetOut& carried,
                       uint32_t& nextBlock, std::string& out);

// ---- the zip file (write_zip.cpp) ------------------------------------------------------------

// Writes the deflated parts as the zip file at `path`; the error names the file.
Status writeZip(const std::filesystem::path& path, const std::vector<xlsx::DeflatedPart>& parts);
// The same into `fd`, an open file that stays open; `path` names the output in messages.
Status writeZipTo(int fd, const std::filesystem::path& path,
                  const std::vector<xlsx::DeflatedPart>& parts);

}  // namespace ss

// Internal to the .xlsx reader: what its files share. The string item reader and the cell
// reference parsers are here whole, as they run for every cell.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "../text/xml_text.h"
#include "package.h"
#include "part_graph.h"
#include "xlsx.h"
#include "xml_util.h"

namespace ss::xlsx::detail {

// ---- package structure ----------------------------------------------------------------------

struct Relationship {
    std::string id, type, target;  // target resolved to a part name (no leading "/")
    bool external = false;
};

// The relationships of part `source` (empty: the package's own), with their targets resolved;
// none when the part has no relationships part.
Result<std::vector<Relationship>> readRels(ZipReader& zip, const std::string& source);

class ContentTypesHandler : public SaxHandler {
public:
    std::map<std::string, std::string> defaults, overrides;  // lower-case keys
    bool sawRoot = false;
    void start(std::string_view name, const char** atts) override;
    void end(std::string_view) override {}
    std::string typeOf(const std::string& part) const;
    static std::string lower(std::string s);
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
    void begin(std::string_view name, const char** atts);
    void start(std::string_view name, const char** atts);
    // Returns true when the captured element is complete.
    bool end(std::string_view name);
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
    static const char* prefixedId(const char** atts);
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

// ---- styles and theme ------------------------------------------------------------------------

Color readColor(const char** atts);

// A child element of <font> or of a rich run's <rPr>.
void applyFontChild(Font& f, std::string_view name, const char** atts);

// A font as a rich run gives it: only what the run states (empty name, size 0: not given).
inline Font runFont() {
    Font f;
    f.name.clear();
    f.size = 0;
    return f;
}

// The styles part into `styles`, completed where a sparse or damaged table lacks a piece.
Status readStyles(ZipReader& zip, const std::string& part, StyleTable& styles);

// The theme part: its colours, and the part itself to be written back.
Status readTheme(ZipReader& zip, const std::string& part, Workbook& wb);

// ---- shared strings --------------------------------------------------------------------------

// A text that may hold _xHHHH_ escapes, added to the strings (`append`: in its place, for the
// file's own table) and copied on the way only when it holds one.
inline uint32_t addXstring(SharedStrings& ss, std::string_view s, bool append) {
    if (s.find("_x") != std::string_view::npos) {
        std::string decoded = xml::decodeXstring(s);
        return append ? ss.append(decoded) : ss.add(decoded);
    }
    return append ? ss.append(s) : ss.add(s);
}

// The names of the scanner's elements (xlsx::ScannedRow::Elem), for the string item reader.
inline constexpr std::string_view kItemNames[] = {"row", "c",  "v",   "f",         "is",
                                                  "t",   "si", "rPh", "phoneticPr"};

// Text of a string item (<si> or <is>): plain <t>, or rich runs <r><rPr/><t/></r>; phonetic
// runs (<rPh>) are not part of the text. A plain <t> beside runs (some writers put the first,
// unformatted part of the text so) is a run without a font of its own.
class StringItemReader {
public:
    void reset() {
        plain_.clear();
        runs_.clear();
        rich_ = false;
        inT_ = inR_ = inRPh_ = inRPr_ = false;
    }
    // Returns true when the element belongs to the item.
    void start(std::string_view name, const char** atts) {
        if (name == "rPh") inRPh_ = true;
        if (inRPh_) return;
        if (name == "r") {
            if (!rich_ && !plain_.empty()) runs_.push_back(RichRun{std::move(plain_), {}});
            rich_ = inR_ = true;
            runs_.push_back(RichRun{});
        } else if (name == "rPr" && inR_) {
            inRPr_ = true;
            runs_.back().font = runFont();
        } else if (name == "t") {
            inT_ = true;
            if (rich_ && !inR_) runs_.push_back(RichRun{});  // plain text after runs
        } else if (inRPr_) {
            applyFontChild(*runs_.back().font, name, atts);
        }
    }
    void end(std::string_view name) {
        if (name == "rPh")
            inRPh_ = false;
        else if (name == "t")
            inT_ = false;
        else if (name == "r")
            inR_ = false;
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
    bool rich_ = false, inT_ = false, inR_ = false, inRPh_ = false, inRPr_ = false;
};

// The table of shared strings into `strings`; `map` gets each item's index there, in order.
Status readSharedStrings(ZipReader& zip, const std::string& part, SharedStrings& strings,
                         std::vector<uint32_t>& map);

// ---- worksheets ------------------------------------------------------------------------------

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
inline bool parseCellRef(const char* s, uint32_t& row, uint32_t& col) {
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

// What the sheet names beside its cells, for the part graph.
struct SheetKept {
    std::vector<RawSheetElement> elements;
    std::string namespaces, autoFilterXml, autoFilterRef, sortStateXml, legacyDrawingId;
    std::set<std::string> relPrefixes;
    std::map<std::string, uint32_t> dropped;
    bool strictNamespace = false;  // a Strict sheet: nothing beside its cells is carried
};

// A worksheet's part into `ws`: its cells, rows, columns, views and the elements it keeps.
// `sst`: the workbook's shared strings by their index in the file; `links`: the sheet's
// relationships to targets outside the package, by id.
Result<SheetKept> readWorksheet(ZipReader& zip, const std::string& part, Workbook& wb,
                                Worksheet& ws, const std::vector<uint32_t>& sst,
                                uint64_t& cellBudget,
                                std::map<std::string, std::string, std::less<>> links);

// ---- the sheet's parts -----------------------------------------------------------------------

// Hangs the sheet's parts on it: the relationships its kept elements name, and those that
// attach by themselves (pivot tables, threaded comments), each with the graph it reaches.
void attachParts(ZipReader& zip, PartGraphReader& graph, const std::shared_ptr<PartOrigin>& origin,
                 const std::vector<Relationship>& rels, SheetKept& kept, Worksheet& ws);

// A chart sheet: its part as it is, with the graph its relationships reach.
void readChartsheet(ZipReader& zip, PartGraphReader& graph,
                    const std::shared_ptr<PartOrigin>& origin, const std::string& part,
                    Worksheet& ws);

// The sheet's notes from its comments part, and which of them are shown all the time (their
// boxes in the legacy drawing say so). A damaged comments part costs the notes, not the workbook.
void readNotes(ZipReader& zip, const std::string& commentsPart,
               const std::vector<Relationship>& sheetRels, const std::string& legacyDrawingId,
               Worksheet& ws);

}  // namespace ss::xlsx::detail

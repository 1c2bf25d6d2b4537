// A worksheet's part: its rows and cells (from the fast scanner's rows or from expat), formulas,
// columns, views, and the elements kept beside the cells.
#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>

#include "../model/formula.h"
#include "../text/xml_text.h"
#include "read_internal.h"

namespace ss::xlsx::detail {

namespace {

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

// Days from 1970-01-01 of a civil date.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

// An ISO 8601 date and time ("2021-03-04", "2021-03-04T05:06:07.5Z", "T10:00", "10:00:00") as a
// serial; `shown` gets the built-in number format that shows what it gives (14: a date, 21: a
// time, 22: both).
bool parseIsoDate(std::string_view s, bool date1904, double& out, uint32_t& shown) {
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
    // A time alone ("10:10:10") is the time of day: a fraction of a day.
    const bool timeOnly = s.size() >= 5 && s[2] == ':';
    if (!s.empty() && s[0] != 'T' && !timeOnly) {
        if (!num(4, y) || i >= s.size() || s[i++] != '-' || !num(2, mo) || i >= s.size() ||
            s[i++] != '-' || !num(2, d))
            return false;
        if (mo < 1 || mo > 12 || d < 1 || d > 31) return false;
        hasDate = true;
    }
    if (timeOnly || (i < s.size() && (s[i] == 'T' || s[i] == ' '))) {
        if (!timeOnly) ++i;
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
    shown = !hasDate ? 21 : i > 10 ? 22 : 14;
    return true;
}

struct SharedFormula {
    std::string text;
    uint32_t row = 0, col = 0;
};

// Fills in the worksheet; what the sheet names beside its cells goes into its SheetKept.
class SheetHandler : public SaxHandler, public SheetKept {
public:
    // The most formula text the cells of shared formulas may be given in all: each takes a copy
    // of its group's text, so a few bytes of XML per cell can ask for kilobytes.
    void limitSharedText(uint64_t bytes) { sharedCap_ = bytes; }
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
        if (strictNamespace) return false;
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
            if (v == "http://purl.oclc.org/ooxml/spreadsheetml/main") strictNamespace = true;
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
                    uint32_t shown = 0;
                    if (parseIsoDate(v, wb_.date1904, serial, shown)) {
                        c.type = CellType::Number;
                        c.number = serial;
                        if (!wb_.styles.isDateFormat(c.style)) c.style = dateStyle(c.style, shown);
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

    // The cell format `xf` with the built-in number format `numFmt`: a date cell whose format
    // shows no date (the cell holds a date, whatever its format says).
    uint32_t dateStyle(uint32_t xf, uint32_t numFmt) {
        const uint64_t key = uint64_t(xf) << 8 | numFmt;
        auto it = dateStyles_.find(key);
        if (it != dateStyles_.end()) return it->second;
        CellFormat f = xf < wb_.styles.cellXfs.size() ? wb_.styles.cellXfs[xf] : CellFormat{};
        f.numFmtId = numFmt;
        f.applyNumberFormat = true;
        const uint32_t styled = wb_.styles.internCellFormat(f);
        dateStyles_.emplace(key, styled);
        return styled;
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
                if ((sharedText_ += f.text.size()) > sharedCap_) {
                    setFailure("共享公式展开后的公式文本超过 " + std::to_string(sharedCap_) +
                               " 字节，疑似恶意文件。");
                    return std::nullopt;
                }
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
    uint64_t sharedText_ = 0, sharedCap_ = UINT64_MAX;  // see limitSharedText
    std::map<std::string, std::string, std::less<>> links_;
    std::string dropTop_;
    Capture capture_;
    StringItemReader item_;
    std::unordered_map<uint32_t, SharedFormula> shared_;
    std::unordered_map<uint64_t, uint32_t> dateStyles_;  // by cell format and number format
    std::string topName_, v_, f_, fRef_;
    std::string_view vView_;  // the text of <v> in the scanner's buffer, when not in v_
    int depth_ = 0, viewCount_ = 0;
    bool inSheetData_ = false, inV_ = false, inF_ = false, inIs_ = false, hasIs_ = false;
    Row* curRow_ = nullptr;  // the row of rowIndex_
    uint32_t rowIndex_ = 0, col_ = 0, cellRow_ = 0, cellCol_ = 0, style_ = 0, fSi_ = 0;
    char type_ = 'n';
    FKind fKind_ = FKind::None;
};

}  // namespace

Result<SheetKept> readWorksheet(ZipReader& zip, const std::string& part, Workbook& wb,
                                Worksheet& ws, const std::vector<uint32_t>& sst,
                                uint64_t& cellBudget,
                                std::map<std::string, std::string, std::less<>> links) {
    SheetHandler h(wb, ws, sst, cellBudget, zip.declaredSize(part), std::move(links));
    const ReadLimits& limits = zip.limits();
    h.limitSharedText(std::max(limits.sharedFormulaFloor,
                               uint64_t(limits.sharedFormulaRatio) * zip.declaredSize(part)));
    if (Status st = xlsx::parsePart(zip, part, h); !st.ok()) return st.error();
    h.finish();
    return SheetKept(std::move(h));
}

}  // namespace ss::xlsx::detail

// The worksheet part: the sheet writer, with its row buffers and the in-place run of plain cells.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../carry/table_copy.h"
#include "write_internal.h"

namespace ss {

namespace {

using xml::appendXstring;
using namespace std::string_view_literals;

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
        // The deepest outline levels: readers size the outline's level buttons by them.
        uint8_t rowLevel = 0, colLevel = 0;
        for (const Row& r : ws_.rows()) rowLevel = std::max<uint8_t>(rowLevel, r.outlineLevel);
        for (const ColumnInfo& c : ws_.columns)
            colLevel = std::max<uint8_t>(colLevel, std::min<uint8_t>(c.outlineLevel, 7));
        if (rowLevel) attrU(out_, "outlineLevelRow", rowLevel);
        if (colLevel) attrU(out_, "outlineLevelCol", colLevel);
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

    // Writes the plain cell `c` at `p`, which has kPlainRoom bytes; returns the end. Forced
    // inline: left to itself, the compiler leaves a call per cell in rowCells' loop.
    [[gnu::always_inline]] char* plainCellAt(char* p, const Cell& c) {
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

}  // namespace

void worksheetPart(const Workbook& wb, const Worksheet& ws, const StylePlan& styles,
                   const StringPlan& strings, xlsx::PartDeflater& sink,
                   const xlsx::PartGraphWriter::SheetOut& carried) {
    SheetWriter(wb, ws, styles, strings, sink, carried).write();
}

}  // namespace ss

// Packages made in the .xlsx reader and writer tests: a zip of given parts, a workbook whose parts
// sit at unusual names with a rich first sheet and what reading it must give, and the model a
// read gives, as text.
#pragma once

#include <gtest/gtest.h>
#include <zip.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

#include "spreadsheet/io/io.h"

namespace xlsxtest {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() /
                ("tw-xlsx-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    fs::path operator/(const std::string& n) const { return path_ / n; }

private:
    static inline int counter_ = 0;
    fs::path path_;
};

// Writes a zip with the given parts (stored uncompressed unless `level` is given).
inline void writeZip(const fs::path& path, const std::map<std::string, std::string>& parts,
                     int level = 6) {
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    for (const auto& [name, data] : parts) {
        zip_source_t* s = zip_source_buffer(z, data.data(), data.size(), 0);
        zip_int64_t i = zip_file_add(z, name.c_str(), s, ZIP_FL_ENC_UTF_8);
        ASSERT_GE(i, 0);
        zip_set_file_compression(z, zip_uint64_t(i), ZIP_CM_DEFLATE, zip_uint32_t(level));
    }
    ASSERT_EQ(zip_close(z), 0);
}

inline const char* kTypes =
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" "
    "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
    "<Override PartName=\"/book/main.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
    "</Types>";
inline const char* kRootRels =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"r1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"book/main.xml\"/>"
    "</Relationships>";
inline const std::string kRel =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

inline std::string sheetXml(const std::string& body) {
    return "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">" +
           body + "</worksheet>";
}

// A package whose parts live at unusual names, so that the reader has to follow the
// relationships; `sheet` is the body of the first worksheet.
inline std::map<std::string, std::string> package(const std::string& sheet, bool date1904 = false) {
    std::map<std::string, std::string> p;
    p["[Content_Types].xml"] = kTypes;
    p["_rels/.rels"] = kRootRels;
    p["book/main.xml"] =
        std::string(
            "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
            "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
            "<workbookPr date1904=\"") +
        (date1904 ? "1" : "0") +
        "\"/><bookViews><workbookView activeTab=\"0\"/></bookViews><sheets>"
        "<sheet name=\"Data\" sheetId=\"1\" r:id=\"s1\"/>"
        "<sheet name=\"Secret\" sheetId=\"2\" state=\"hidden\" r:id=\"s2\"/>"
        "<sheet name=\"Chart\" sheetId=\"3\" r:id=\"s3\"/></sheets>"
        "<definedNames><definedName "
        "name=\"Rate\">Data!$B$1</definedName></definedNames></workbook>";
    p["book/_rels/main.xml.rels"] =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"s1\" Type=\"" +
        kRel +
        "worksheet\" Target=\"ws/a.xml\"/>"
        "<Relationship Id=\"s2\" Type=\"" +
        kRel +
        "worksheet\" Target=\"/book/ws/b.xml\"/>"
        "<Relationship Id=\"s3\" Type=\"" +
        kRel +
        "chartsheet\" Target=\"cs/c.xml\"/>"
        "<Relationship Id=\"st\" Type=\"" +
        kRel +
        "styles\" Target=\"st.xml\"/>"
        "<Relationship Id=\"ss\" Type=\"" +
        kRel +
        "sharedStrings\" Target=\"strings.xml\"/>"
        "</Relationships>";
    p["book/st.xml"] =
        "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\">"
        "<numFmts count=\"1\"><numFmt numFmtId=\"170\" formatCode=\"yyyy-mm-dd\"/></numFmts>"
        "<fonts count=\"2\"><font><sz val=\"11\"/><name val=\"Calibri\"/></font>"
        "<mc:AlternateContent><mc:Choice Requires=\"zz\"><font><sz val=\"99\"/></font></mc:Choice>"
        "<mc:Fallback><font><b/><sz val=\"14\"/><color theme=\"4\" tint=\"-0.25\"/><name "
        "val=\"宋体\"/></font></mc:Fallback>"
        "</mc:AlternateContent></fonts>"
        "<fills count=\"3\"><fill><patternFill patternType=\"none\"/></fill><fill><patternFill "
        "patternType=\"gray125\"/></fill>"
        "<fill><gradientFill degree=\"90\"><stop position=\"0\"><color rgb=\"FFFF0000\"/></stop>"
        "<stop position=\"1\"><color theme=\"1\"/></stop></gradientFill></fill></fills>"
        "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
        "<cellStyleXfs count=\"1\"><xf/></cellStyleXfs>"
        "<cellXfs count=\"3\"><xf/><xf numFmtId=\"170\" applyNumberFormat=\"1\"/>"
        "<xf fontId=\"1\" fillId=\"2\"><alignment horizontal=\"center\" "
        "wrapText=\"1\"/></xf></cellXfs>"
        "<dxfs count=\"1\"><dxf><font><b/></font></dxf></dxfs>"
        "<extLst><ext uri=\"x\"><font><sz val=\"77\"/></font></ext></extLst></styleSheet>";
    p["book/strings.xml"] =
        "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
        "<si><t>plain</t></si>"
        "<si><r><t>bold</t></r><r><rPr><b/><sz val=\"9\"/></rPr><t xml:space=\"preserve\"> "
        "part</t></r></si>"
        "<si><t>漢字</t><rPh sb=\"0\" eb=\"2\"><t>かんじ</t></rPh><phoneticPr fontId=\"0\"/></si>"
        "<si><t>line_x000D_break</t></si>"
        "</sst>";
    p["book/ws/a.xml"] = sheetXml(sheet);
    p["book/ws/b.xml"] = sheetXml("<sheetData/>");
    p["book/cs/c.xml"] =
        "<chartsheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"/>";
    return p;
}

inline const char* kRichSheet =
    "<sheetPr><tabColor rgb=\"FF00FF00\"/></sheetPr>"
    "<dimension ref=\"A1:B1\"/>"  // lies: the cells reach row 9
    "<sheetViews><sheetView workbookViewId=\"0\"><pane xSplit=\"1\" ySplit=\"2\" "
    "topLeftCell=\"B3\" state=\"frozen\"/></sheetView></sheetViews>"
    "<cols><col min=\"2\" max=\"3\" width=\"20.5\" customWidth=\"1\"/></cols>"
    "<sheetData>"
    "<row r=\"3\"><c r=\"B3\"><v>3</v></c><c r=\"A3\"><v>2</v></c></row>"  // out of order
    "<row r=\"1\" ht=\"30\" customHeight=\"1\"><c t=\"s\"><v>0</v></c><c><v>1.5</v></c>"  // no r
    "<c t=\"s\"><v>1</v></c><c t=\"s\"><v>2</v></c><c t=\"s\"><v>3</v></c></row>"
    "<row r=\"2\"><c r=\"A2\" "
    "t=\"inlineStr\"><is><r><t>in</t></r><r><rPr><i/></rPr><t>line</t></r></is></c>"
    "<c r=\"B2\" t=\"str\"><f>\"a\"&amp;\"b\"</f><v>ab</v></c>"
    "<c r=\"C2\" t=\"b\"><v>1</v></c><c r=\"D2\" t=\"e\"><v>#N/A</v></c>"
    "<c r=\"E2\" t=\"d\" s=\"1\"><v>2021-03-04T12:00:00</v></c><c r=\"F2\" s=\"2\"/></row>"
    "<row r=\"5\"><c r=\"A5\"><f t=\"shared\" ref=\"A5:A7\" "
    "si=\"0\">B5*$C$1+Rate</f><v>1</v></c></row>"
    "<row r=\"6\"><c r=\"A6\"><f t=\"shared\" si=\"0\"/><v>2</v></c></row>"
    "<row r=\"7\"><c r=\"A7\"><f t=\"shared\" si=\"0\"/><v>3</v></c></row>"
    "<row r=\"9\"><c r=\"C9\"><f t=\"array\" ref=\"C9:D9\">A1:B1*2</f><v>4</v></c><c "
    "r=\"D9\"><v>3</v></c></row>"
    "</sheetData>"
    "<autoFilter ref=\"A1:F9\"><filterColumn colId=\"0\"/></autoFilter>"
    "<mergeCells count=\"1\"><mergeCell ref=\"A1:A2\"/></mergeCells>"
    "<conditionalFormatting sqref=\"A1:A9\"><cfRule type=\"cellIs\" dxfId=\"0\" priority=\"1\" "
    "operator=\"greaterThan\"><formula>1</formula></cfRule></conditionalFormatting>"
    "<hyperlinks><hyperlink ref=\"A1\" location=\"Data!B2\"/><hyperlink ref=\"A2\" "
    "r:id=\"h1\"/></hyperlinks>"
    "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" "
    "footer=\"0.3\"/>"
    "<pageSetup paperSize=\"9\" orientation=\"landscape\" r:id=\"p1\"/>";

inline std::string text(const ss::Workbook& wb, const ss::Worksheet& ws, uint32_t r, uint32_t c) {
    const ss::Cell* cell = ws.find(r, c);
    return cell ? wb.cellText(*cell) : "<none>";
}

inline std::string formulaOf(const ss::Worksheet& ws, uint32_t r, uint32_t c) {
    const ss::Formula* f = ws.formula(r, c);
    return f ? f->text : "<none>";
}

inline void expectRichSheet(const ss::Workbook& wb) {
    ASSERT_EQ(wb.sheets.size(), 3u);
    const ss::Worksheet& ws = *wb.sheets[0];
    EXPECT_EQ(wb.sheets[1]->state, ss::SheetState::Hidden);
    EXPECT_EQ(wb.sheets[2]->kind, ss::SheetKind::Chartsheet);

    EXPECT_EQ(text(wb, ws, 1, 1), "plain");
    EXPECT_EQ(text(wb, ws, 1, 2), "1.5");
    EXPECT_EQ(text(wb, ws, 1, 3), "bold part");
    EXPECT_EQ(text(wb, ws, 1, 4), "漢字");  // phonetic run is not text
    EXPECT_EQ(text(wb, ws, 1, 5), "line\rbreak");
    const auto* runs = wb.strings.runs(ws.find(1, 3)->sst);
    ASSERT_NE(runs, nullptr);
    ASSERT_EQ(runs->size(), 2u);
    ASSERT_TRUE((*runs)[1].font.has_value());
    EXPECT_TRUE((*runs)[1].font->bold);
    EXPECT_EQ((*runs)[1].font->size, 9);

    EXPECT_EQ(text(wb, ws, 2, 1), "inline");
    EXPECT_EQ(text(wb, ws, 2, 2), "ab");
    EXPECT_EQ(formulaOf(ws, 2, 2), "\"a\"&\"b\"");
    EXPECT_EQ(text(wb, ws, 2, 3), "TRUE");
    EXPECT_EQ(text(wb, ws, 2, 4), "#N/A");
    EXPECT_EQ(text(wb, ws, 2, 5), "2021-03-04 12:00:00");
    ASSERT_NE(ws.find(2, 6), nullptr);  // styled blank
    EXPECT_EQ(ws.find(2, 6)->type, ss::CellType::Empty);
    EXPECT_EQ(text(wb, ws, 3, 1), "2");
    EXPECT_EQ(text(wb, ws, 3, 2), "3");

    EXPECT_EQ(formulaOf(ws, 5, 1), "B5*$C$1+Rate");
    EXPECT_EQ(formulaOf(ws, 6, 1), "B6*$C$1+Rate");
    EXPECT_EQ(formulaOf(ws, 7, 1), "B7*$C$1+Rate");
    EXPECT_EQ(text(wb, ws, 7, 1), "3");
    const ss::Formula* arr = ws.formula(9, 3);
    ASSERT_NE(arr, nullptr);
    EXPECT_TRUE(arr->array);
    EXPECT_EQ(arr->arrayRange.toA1(), "C9:D9");
    EXPECT_EQ(ws.formula(9, 4), nullptr);
    EXPECT_EQ(text(wb, ws, 9, 4), "3");

    // Rows and cells sorted whatever the file's order.
    uint32_t last = 0;
    for (const ss::Row& r : ws.rows()) {
        EXPECT_GT(r.index, last);
        last = r.index;
        for (size_t i = 1; i < r.cells.size(); ++i) EXPECT_LT(r.cells[i - 1].col, r.cells[i].col);
    }

    EXPECT_EQ(ws.frozenRows, 2u);
    EXPECT_EQ(ws.frozenCols, 1u);
    ASSERT_TRUE(ws.tabColor.has_value());
    EXPECT_EQ(ws.tabColor->value, 0xFF00FF00u);
    ASSERT_EQ(ws.columns.size(), 1u);
    EXPECT_EQ(ws.columns[0].width, 20.5);
    ASSERT_NE(ws.findRow(1), nullptr);
    EXPECT_EQ(ws.findRow(1)->height, 30.0f);
    EXPECT_TRUE(ws.findRow(1)->customHeight);
    ASSERT_EQ(ws.merges.size(), 1u);
    EXPECT_EQ(ws.merges[0].toA1(), "A1:A2");
    ASSERT_TRUE(ws.autoFilter.has_value());
    EXPECT_EQ(ws.autoFilter->toA1(), "A1:F9");

    std::map<std::string, std::string> kept;
    for (const auto& p : ws.preserved) kept[p.element] = p.xml;
    EXPECT_EQ(kept.count("conditionalFormatting"), 1u);
    EXPECT_NE(kept["hyperlinks"].find("Data!B2"), std::string::npos);
    EXPECT_EQ(kept["hyperlinks"].find("A2"), std::string::npos);  // external link dropped
    EXPECT_EQ(kept["pageSetup"].find("id="), std::string::npos);
    EXPECT_NE(kept["pageSetup"].find("landscape"), std::string::npos);

    // Styles: the Fallback branch of markup compatibility, extLst ignored.
    const ss::StyleTable& st = wb.styles;
    uint32_t xf2 = ws.find(2, 6)->style;
    const ss::Font& f = st.fonts[st.cellXfs[xf2].fontId];
    EXPECT_TRUE(f.bold);
    EXPECT_EQ(f.size, 14);
    EXPECT_EQ(f.name, "宋体");
    EXPECT_EQ(f.color, ss::Color::theme(4, -0.25));
    const ss::Fill& fill = st.fills[st.cellXfs[xf2].fillId];
    EXPECT_TRUE(fill.gradient);
    EXPECT_EQ(fill.degree, 90);
    ASSERT_EQ(fill.stops.size(), 2u);
    EXPECT_EQ(fill.stops[1].color, ss::Color::theme(1));
    EXPECT_EQ(st.cellXfs[xf2].alignment.horizontal, "center");
    EXPECT_TRUE(st.cellXfs[xf2].alignment.wrapText);
    EXPECT_EQ(st.dxfsXml.size(), 1u);
    ASSERT_EQ(wb.names.size(), 1u);
    EXPECT_EQ(wb.names[0].formula, "Data!$B$1");
}

// The model a read gives, or its error, as text: every row, cell, string and formula.
inline std::string modelOf(ss::Result<std::unique_ptr<ss::Workbook>> wb) {
    if (!wb.ok()) return "error: " + wb.message();
    std::string out;
    for (const auto& ws : (*wb)->sheets) {
        out += "sheet " + ws->name + "\n";
        for (const ss::Row& r : ws->rows()) {
            out += "row " + std::to_string(r.index) + " h" + std::to_string(r.height) + " s" +
                   std::to_string(r.style) + " " + std::to_string(r.customHeight) +
                   std::to_string(r.customFormat) + std::to_string(r.hidden) +
                   std::to_string(r.collapsed) + std::to_string(r.outlineLevel) + "\n";
            for (const ss::Cell& c : r.cells) {
                out += " c" + std::to_string(c.col) + " t" + std::to_string(int(c.type)) + " s" +
                       std::to_string(c.style) + " f" + std::to_string(c.flags) + " [" +
                       (*wb)->cellText(c) + "]";
                if (c.type == ss::CellType::String && (*wb)->strings.runs(c.sst))
                    out += " rich" + std::to_string((*wb)->strings.runs(c.sst)->size());
                if (const ss::Formula* f = ws->formula(r.index, c.col))
                    out += " =" + f->text + (f->array ? " array " : " ") +
                           std::to_string(f->arrayRange.firstRow) + ":" +
                           std::to_string(f->arrayRange.lastCol);
                out += "\n";
            }
        }
    }
    return out;
}

}  // namespace xlsxtest

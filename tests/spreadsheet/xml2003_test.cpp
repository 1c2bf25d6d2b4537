#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "spreadsheet/xml2003/xml2003.h"

namespace fs = std::filesystem;

namespace {

const std::string kHead =
    "<?xml version=\"1.0\"?>\n<?mso-application progid=\"Excel.Sheet\"?>\n"
    "<Workbook xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\" "
    "xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
    "xmlns:x=\"urn:schemas-microsoft-com:office:excel\" "
    "xmlns:ss=\"urn:schemas-microsoft-com:office:spreadsheet\" "
    "xmlns:html=\"http://www.w3.org/TR/REC-html40\">";

std::string book(const std::string& styles, const std::string& sheets) {
    return kHead + "<Styles>" + styles + "</Styles>" + sheets + "</Workbook>";
}

std::string sheet(const std::string& name, const std::string& table,
                  const std::string& options = "") {
    return "<Worksheet ss:Name=\"" + name + "\"><Table>" + table + "</Table>" + options +
           "</Worksheet>";
}

ss::Result<std::unique_ptr<ss::Workbook>> read(const std::string& xml,
                                               const ss::ReadLimits& limits = {}) {
    return ss::readXml2003Memory(xml.data(), xml.size(), limits);
}

std::unique_ptr<ss::Workbook> readOk(const std::string& xml) {
    auto wb = read(xml);
    EXPECT_TRUE(wb.ok()) << (wb.ok() ? "" : wb.message());
    return wb.ok() ? std::move(wb.value()) : nullptr;
}

std::string formatOf(const ss::Workbook& wb, const ss::Cell& c) {
    return wb.styles.numberFormatCode(wb.styles.cellXfs[c.style].numFmtId);
}

TEST(Xml2003, RecognisedByItsFirstElement) {
    const std::string ns = "urn:schemas-microsoft-com:office:spreadsheet";
    const std::vector<std::pair<std::string, bool>> cases = {
        {kHead, true},
        {"\xEF\xBB\xBF<?xml version=\"1.0\"?><!-- export --><Workbook xmlns='" + ns + "'>", true},
        {"<ss:Workbook xmlns:ss=\"" + ns + "\" xmlns:x=\"other\">", true},
        {"<Workbook xmlns:ss=\"" + ns + "\">", false},  // the element itself is of no namespace
        {"<Workbook xmlns=\"urn:other\">", false},
        {"<html xmlns:o=\"urn:schemas-microsoft-com:office:office\" xmlns=\"" + ns + "\">", false},
        {"<!DOCTYPE html><html><body><table></table></body></html>", false},
        {"<?xml version=\"1.0\"?><Workbook", false},
        {"", false},
    };
    for (const auto& [head, want] : cases) {
        SCOPED_TRACE(head);
        EXPECT_EQ(ss::looksLikeXml2003(head), want);
    }
}

TEST(Xml2003, R1C1FormulasBecomeA1) {
    struct Case {
        std::string formula;
        uint32_t row, col;
        std::string want;  // empty: not restated
    };
    const std::vector<Case> cases = {
        {"=SUM(R[-2]C:R[-1]C)", 3, 1, "SUM(A1:A2)"},
        {"=Sheet2!R1C1", 5, 5, "Sheet2!$A$1"},
        {"='My Sheet'!RC[1]*2", 2, 2, "'My Sheet'!C2*2"},
        {"=ROUND(RC[-1],2)", 1, 2, "ROUND(A1,2)"},
        {"=COUNT(R1C1:R2C2)", 9, 9, "COUNT($A$1:$B$2)"},
        {"=SUM(R2:R3)+SUM(C[-1])", 1, 2, "SUM($2:$3)+SUM(A:A)"},
        {"=R[-5]C", 1, 1, "#REF!"},
        {"=\"R1C1\"&RC", 1, 1, "\"R1C1\"&A1"},
        {"=IF(R1C1>0,COUNTIF(R1C1:R10C1,\">0\"),0)", 1, 3,
         "IF($A$1>0,COUNTIF($A$1:$A$10,\">0\"),0)"},
        {"=[Book2]Sheet1!R1C1", 1, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.formula);
        auto got = ss::r1c1ToA1(c.formula, c.row, c.col);
        if (c.want.empty()) {
            EXPECT_FALSE(got);
        } else {
            EXPECT_EQ(got.value_or("<none>"), c.want);
        }
    }
}

TEST(Xml2003, CellsTheirPlacesValuesAndMerges) {
    const std::string table =
        "<Row><Cell ss:MergeAcross=\"1\"><Data ss:Type=\"String\">a</Data></Cell>"
        "<Cell><Data ss:Type=\"Number\">2.5</Data></Cell>"
        "<Cell ss:Index=\"5\" ss:Formula=\"=RC[-2]*2\"><Data ss:Type=\"Number\">5</Data></Cell>"
        "</Row>"
        "<Row ss:Index=\"4\"><Cell ss:MergeDown=\"1\"><Data ss:Type=\"Boolean\">1</Data></Cell>"
        "<Cell><Data ss:Type=\"Error\">#N/A</Data></Cell>"
        "<Cell><Data ss:Type=\"DateTime\">2024-01-15T10:30:00.000</Data></Cell>"
        "<Cell><ss:Data ss:Type=\"String\" xmlns=\"http://www.w3.org/TR/REC-html40\"><B>bold"
        "</B><Font html:Color=\"#FF0000\"> red</Font></ss:Data></Cell>"
        "<Cell ss:HRef=\"https://example.com/\"><Data ss:Type=\"String\">link</Data></Cell>"
        "<Cell ss:HRef=\"#Other!A1\"><Data ss:Type=\"String\">jump</Data></Cell>"
        "<Cell ss:Index=\"8\"><Comment ss:Author=\"张三\" ss:ShowAlways=\"1\"><ss:Data "
        "xmlns=\"http://www.w3.org/TR/REC-html40\"><B>张三:</B><Br/>请核对</ss:Data></Comment>"
        "</Cell></Row>";
    const std::string names =
        "<Names><NamedRange ss:Name=\"Total\" ss:RefersTo=\"=S!R1C1:R2C2\"/>"
        "<NamedRange ss:Name=\"Far\" ss:RefersTo=\"=[Other.xls]S!R1C1\"/></Names>";
    const std::string local =
        "<Worksheet ss:Name=\"Other\"><Names><NamedRange ss:Name=\"Print_Titles\" "
        "ss:RefersTo=\"=Other!R1:R2\"/></Names><Table/></Worksheet>";
    auto wb = readOk(book("", names + sheet("S", table) + local));
    ASSERT_TRUE(wb);
    ASSERT_EQ(wb->sheets.size(), 2u);
    const ss::Worksheet& ws = *wb->sheets[0];
    EXPECT_EQ(ws.name, "S");
    struct Want {
        uint32_t row, col;
        ss::CellType type;
        std::string text;
    };
    const std::vector<Want> wants = {
        {1, 1, ss::CellType::String, "a"},
        {1, 3, ss::CellType::Number, "2.5"},  // after the two merged columns
        {1, 5, ss::CellType::Number, "5"},
        {4, 1, ss::CellType::Boolean, "TRUE"},
        {4, 2, ss::CellType::Error, "#N/A"},
        {4, 3, ss::CellType::Number, "2024-01-15 10:30:00"},
        {4, 4, ss::CellType::String, "bold red"},
        {4, 5, ss::CellType::String, "link"},
        {4, 6, ss::CellType::String, "jump"},
    };
    for (const Want& w : wants) {
        SCOPED_TRACE(ss::cellName(w.row, w.col));
        const ss::Cell* c = ws.find(w.row, w.col);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->type, w.type);
        EXPECT_EQ(wb->cellText(*c), w.text);
    }
    EXPECT_EQ(ws.cellCount(), wants.size());
    ASSERT_EQ(ws.notes.size(), 1u);
    EXPECT_EQ(ws.notes[0].row, 4u);
    EXPECT_EQ(ws.notes[0].col, 8u);
    EXPECT_EQ(ws.notes[0].author, "张三");
    EXPECT_TRUE(ws.notes[0].visible);
    EXPECT_EQ(ws.notes[0].textXml, "<text><t xml:space=\"preserve\">张三:\n请核对</t></text>");
    ASSERT_NE(ws.formula(1, 5), nullptr);
    EXPECT_EQ(ws.formula(1, 5)->text, "C1*2");
    EXPECT_EQ(formatOf(*wb, *ws.find(4, 3)), "yyyy-mm-dd hh:mm:ss");
    ASSERT_EQ(ws.merges.size(), 2u);
    EXPECT_EQ(ws.merges[0].toA1(), "A1:B1");
    EXPECT_EQ(ws.merges[1].toA1(), "A4:A5");
    ASSERT_EQ(ws.externalLinks, std::vector<std::string>{"https://example.com/"});
    ASSERT_EQ(ws.preserved.size(), 1u);
    ASSERT_EQ(wb->names.size(), 2u);
    EXPECT_EQ(wb->names[0].name, "Total");
    EXPECT_EQ(wb->names[0].formula, "S!$A$1:$B$2");
    EXPECT_FALSE(wb->names[0].localSheet);
    EXPECT_EQ(wb->names[1].name, "_xlnm.Print_Titles");
    EXPECT_EQ(wb->names[1].formula, "Other!$1:$2");
    EXPECT_EQ(wb->names[1].localSheet, 1u);
    ASSERT_EQ(wb->readNotes.size(), 1u);
    EXPECT_NE(wb->readNotes[0].find("Far"), std::string::npos) << wb->readNotes[0];
    EXPECT_EQ(ws.preserved[0].xml,
              "<hyperlinks><hyperlink ref=\"E4\" r:id=\"rIdL1\"/>"
              "<hyperlink ref=\"F4\" location=\"Other!A1\"/></hyperlinks>");
}

TEST(Xml2003, StylesColumnsRowsAndHiddenSheets) {
    const std::string styles =
        "<Style ss:ID=\"Default\" ss:Name=\"Normal\"><Font ss:FontName=\"宋体\" ss:Size=\"12\"/>"
        "</Style>"
        "<Style ss:ID=\"s1\"><Font ss:Bold=\"1\" ss:Italic=\"1\" ss:Color=\"#FF0000\" "
        "ss:Size=\"14\" ss:Underline=\"Single\"/><Interior ss:Color=\"#FFFF00\" "
        "ss:Pattern=\"Solid\"/><Alignment ss:Horizontal=\"Center\" ss:Vertical=\"Center\" "
        "ss:WrapText=\"1\"/><Borders><Border ss:Position=\"Left\" ss:LineStyle=\"Continuous\" "
        "ss:Weight=\"1\"/><Border ss:Position=\"Bottom\" ss:LineStyle=\"Continuous\" "
        "ss:Weight=\"2\" ss:Color=\"#0000FF\"/></Borders><NumberFormat ss:Format=\"Fixed\"/>"
        "</Style>"
        "<Style ss:ID=\"s2\" ss:Parent=\"s1\"><Font ss:Bold=\"0\"/>"
        "<NumberFormat ss:Format=\"Percent\"/></Style>"
        "<Style ss:ID=\"d\"><NumberFormat ss:Format=\"Short Date\"/></Style>"
        "<Style ss:ID=\"t\"><NumberFormat ss:Format=\"@\"/></Style>"
        "<Style ss:ID=\"c\"><NumberFormat ss:Format=\"#,##0.000\"/></Style>";
    const std::string table =
        "<Column ss:Width=\"150\"/><Column ss:Hidden=\"1\" ss:Span=\"1\"/>"
        "<Column ss:Index=\"6\" ss:Width=\"30\"/>"
        "<Row ss:Height=\"30\"><Cell ss:StyleID=\"s1\"><Data ss:Type=\"Number\">1.5</Data>"
        "</Cell><Cell ss:StyleID=\"s2\"><Data ss:Type=\"Number\">0.5</Data></Cell>"
        "<Cell ss:StyleID=\"d\"><Data ss:Type=\"DateTime\">2024-01-15T00:00:00.000</Data>"
        "</Cell><Cell ss:StyleID=\"t\"><Data ss:Type=\"String\">007</Data></Cell>"
        "<Cell ss:StyleID=\"c\"><Data ss:Type=\"Number\">2</Data></Cell>"
        "<Cell><Data ss:Type=\"Number\">3</Data></Cell></Row>"
        "<Row ss:Hidden=\"1\" ss:Span=\"1\"/><Row><Cell ss:StyleID=\"s1\"/></Row>";
    const std::string hidden =
        "<WorksheetOptions xmlns=\"urn:schemas-microsoft-com:office:excel\">"
        "<Visible>SheetHidden</Visible></WorksheetOptions>";
    const std::string frozen =
        "<WorksheetOptions xmlns=\"urn:schemas-microsoft-com:office:excel\"><FreezePanes/>"
        "<FrozenNoSplit/><SplitHorizontal>1</SplitHorizontal><TopRowBottomPane>1"
        "</TopRowBottomPane><SplitVertical>2</SplitVertical></WorksheetOptions>";
    auto wb = readOk(book(styles, sheet("A", table, frozen) + sheet("B", "", hidden)));
    ASSERT_TRUE(wb);
    EXPECT_EQ(wb->styles.fonts[0].name, "宋体");
    EXPECT_EQ(wb->styles.fonts[0].size, 12);
    const ss::Worksheet& ws = *wb->sheets[0];
    const ss::Cell& a = *ws.find(1, 1);
    const ss::CellFormat& xf = wb->styles.cellXfs[a.style];
    const ss::Font& f = wb->styles.fonts[xf.fontId];
    EXPECT_TRUE(f.bold && f.italic);
    EXPECT_EQ(f.color, ss::Color::rgb(0xFFFF0000));
    EXPECT_EQ(f.size, 14);
    EXPECT_EQ(f.underline, "single");
    EXPECT_EQ(f.name, "宋体");  // from the Default style
    EXPECT_EQ(wb->styles.fills[xf.fillId].fg, ss::Color::rgb(0xFFFFFF00));
    EXPECT_EQ(xf.alignment.horizontal, "center");
    EXPECT_EQ(xf.alignment.vertical, "center");
    EXPECT_TRUE(xf.alignment.wrapText);
    EXPECT_EQ(wb->styles.borders[xf.borderId].left.style, "thin");
    EXPECT_EQ(wb->styles.borders[xf.borderId].bottom.style, "medium");
    EXPECT_EQ(wb->styles.borders[xf.borderId].bottom.color, ss::Color::rgb(0xFF0000FF));
    EXPECT_EQ(formatOf(*wb, a), "0.00");
    const ss::Cell& b = *ws.find(1, 2);
    EXPECT_FALSE(wb->styles.fonts[wb->styles.cellXfs[b.style].fontId].bold);
    EXPECT_EQ(wb->styles.cellXfs[b.style].fillId, xf.fillId);
    EXPECT_EQ(formatOf(*wb, b), "0.00%");
    EXPECT_EQ(formatOf(*wb, *ws.find(1, 3)), "m/d/yyyy");
    EXPECT_EQ(wb->cellText(*ws.find(1, 3)), "2024-01-15");
    EXPECT_EQ(formatOf(*wb, *ws.find(1, 4)), "@");
    EXPECT_EQ(wb->cellText(*ws.find(1, 4)), "007");
    EXPECT_EQ(formatOf(*wb, *ws.find(1, 5)), "#,##0.000");
    EXPECT_EQ(formatOf(*wb, *ws.find(1, 6)), "General");

    ASSERT_EQ(ws.columns.size(), 3u);
    EXPECT_NEAR(ws.columns[0].width, 150.0 * 96 / 72 / 7, 0.01);
    EXPECT_EQ(ws.columns[1].first, 2u);
    EXPECT_EQ(ws.columns[1].last, 3u);
    EXPECT_TRUE(ws.columns[1].hidden);
    EXPECT_EQ(ws.columns[2].first, 6u);
    const ss::Row* r1 = ws.findRow(1);
    ASSERT_NE(r1, nullptr);
    EXPECT_TRUE(r1->customHeight);
    EXPECT_FLOAT_EQ(r1->height, 30);
    for (uint32_t r : {2u, 3u}) {
        ASSERT_NE(ws.findRow(r), nullptr);
        EXPECT_TRUE(ws.findRow(r)->hidden);
    }
    ASSERT_NE(ws.find(4, 1), nullptr);  // a formatted blank cell, in the row after the span
    EXPECT_EQ(ws.find(4, 1)->style, a.style);
    EXPECT_EQ(wb->sheets[1]->state, ss::SheetState::Hidden);
    EXPECT_EQ(ws.state, ss::SheetState::Visible);
    EXPECT_EQ(ws.frozenRows, 1u);
    EXPECT_EQ(ws.frozenCols, 2u);
    EXPECT_EQ(wb->sheets[1]->frozenRows, 0u);
}

TEST(Xml2003, HostileOrForeignDocumentsAreRefused) {
    std::string deep = "<Row><Cell><ss:Data ss:Type=\"String\">";
    for (int i = 0; i < 5000; ++i) deep += "<B>";
    ss::ReadLimits small;
    small.maxPartBytes = 1024;
    struct Case {
        const char* name;
        std::string xml;
        ss::ReadLimits limits;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"depth", book("", sheet("D", deep)), {}, "嵌套"},
        {"dtd",
         "<?xml version=\"1.0\"?><!DOCTYPE W [<!ENTITY a \"aaaa\">]>"
         "<Workbook xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\">&a;</Workbook>",
         {},
         "DTD"},
        {"size", book("", sheet("S", std::string(4096, ' '))), small, "上限"},
        {"html", "<html><body><table><tr><td>1</td></tr></table></body></html>", {}, "Workbook"},
        {"broken", kHead + "<Worksheet>", {}, "XML"},
        {"no sheet", book("", ""), {}, "没有任何工作表"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto wb = read(c.xml, c.limits);
        ASSERT_FALSE(wb.ok());
        EXPECT_NE(wb.message().find(c.reason), std::string::npos) << wb.message();
    }
}

TEST(Xml2003, SpansAndIndexesStayWithinTheSheet) {
    const std::string table =
        "<Row ss:Span=\"1048575\" ss:Height=\"20\"/>"
        "<Row ss:Index=\"1048576\"><Cell ss:Index=\"16384\"><Data ss:Type=\"Number\">1</Data>"
        "</Cell><Cell><Data ss:Type=\"Number\">2</Data></Cell></Row>"
        "<Row><Cell><Data ss:Type=\"Number\">3</Data></Cell></Row>";
    const auto start = std::chrono::steady_clock::now();
    auto wb = readOk(book("", sheet("Big", table)));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
    ASSERT_TRUE(wb);
    const ss::Worksheet& ws = *wb->sheets[0];
    EXPECT_LE(ws.rows().size(), 1'000'001u);
    ASSERT_NE(ws.find(1048576, 16384), nullptr);
    EXPECT_EQ(ws.cellCount(), 1u);
    // The formatted span too long to keep and the cells past the sheet's edge are named.
    ASSERT_EQ(wb->readNotes.size(), 2u);
    EXPECT_TRUE(wb->readNotes[0].starts_with("[Big] A1 ")) << wb->readNotes[0];
    EXPECT_TRUE(wb->readNotes[1].starts_with("[Big] XFD1048576 ")) << wb->readNotes[1];
}

TEST(Xml2003, ReadsAFileAndNamesItInErrors) {
    const fs::path dir = fs::temp_directory_path() / ("tw_xml2003_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "ok.xls") << book("", sheet("S",
                                                    "<Row><Cell><Data ss:Type=\"String\">"
                                                    "x</Data></Cell></Row>"));
    std::ofstream(dir / "bad.xls") << kHead << "<Worksheet";
    auto ok = ss::readXml2003(dir / "ok.xls");
    ASSERT_TRUE(ok.ok()) << ok.message();
    EXPECT_EQ((*ok)->sourcePath, (dir / "ok.xls").string());
    auto bad = ss::readXml2003(dir / "bad.xls");
    ASSERT_FALSE(bad.ok());
    EXPECT_TRUE(bad.message().starts_with("无法打开文件 " + (dir / "bad.xls").string()))
        << bad.message();
    fs::remove_all(dir);
}

}  // namespace

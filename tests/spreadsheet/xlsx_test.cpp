#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "spreadsheet/io/io.h"
#include "spreadsheet/xlsx/package.h"
#include "spreadsheet/xlsx/part_deflater.h"
#include "spreadsheet/xlsx/xlsx.h"

namespace fs = std::filesystem;

namespace {

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
void writeZip(const fs::path& path, const std::map<std::string, std::string>& parts,
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

const char* kTypes =
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" "
    "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
    "<Override PartName=\"/book/main.xml\" "
    "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
    "</Types>";
const char* kRootRels =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"r1\" "
    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" "
    "Target=\"book/main.xml\"/>"
    "</Relationships>";
const std::string kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

std::string sheetXml(const std::string& body) {
    return "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">" +
           body + "</worksheet>";
}

// A package whose parts live at unusual names, so that the reader has to follow the
// relationships; `sheet` is the body of the first worksheet.
std::map<std::string, std::string> package(const std::string& sheet, bool date1904 = false) {
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

const char* kRichSheet =
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

std::string text(const ss::Workbook& wb, const ss::Worksheet& ws, uint32_t r, uint32_t c) {
    const ss::Cell* cell = ws.find(r, c);
    return cell ? wb.cellText(*cell) : "<none>";
}

std::string formulaOf(const ss::Worksheet& ws, uint32_t r, uint32_t c) {
    const ss::Formula* f = ws.formula(r, c);
    return f ? f->text : "<none>";
}

void expectRichSheet(const ss::Workbook& wb) {
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

TEST(XlsxRead, FindsPartsThroughRelationshipsAndReadsWhatWritersProduce) {
    TempDir dir;
    fs::path file = dir / "rich.xlsx";
    writeZip(file, package(kRichSheet));
    auto wb = ss::openWorkbook(file);
    ASSERT_TRUE(wb.ok()) << wb.message();
    expectRichSheet(**wb);
}

TEST(XlsxRead, Date1904) {
    TempDir dir;
    fs::path file = dir / "d.xlsx";
    writeZip(file, package("<sheetData><row r=\"1\"><c r=\"A1\" s=\"1\"><v>0</v></c>"
                           "<c r=\"B1\" t=\"d\" s=\"1\"><v>1904-01-02</v></c></row></sheetData>",
                           true));
    auto wb = ss::openWorkbook(file);
    ASSERT_TRUE(wb.ok()) << wb.message();
    EXPECT_TRUE((*wb)->date1904);
    EXPECT_EQ(text(**wb, *(*wb)->sheets[0], 1, 1), "1904-01-01");
    EXPECT_EQ(text(**wb, *(*wb)->sheets[0], 1, 2), "1904-01-02");
}

TEST(XlsxWrite, RoundTripKeepsTheModel) {
    TempDir dir;
    fs::path src = dir / "rich.xlsx";
    writeZip(src, package(kRichSheet));
    auto wb = ss::openWorkbook(src);
    ASSERT_TRUE(wb.ok()) << wb.message();
    fs::path out = dir / "out.xlsx";
    ASSERT_TRUE(ss::saveWorkbook(**wb, out, ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(out);
    ASSERT_TRUE(back.ok()) << back.message();
    // The chart sheet is written back as it was read; the rest reads back the same.
    ASSERT_EQ((*back)->sheets.size(), 3u);
    EXPECT_EQ((*back)->sheets.back()->kind, ss::SheetKind::Chartsheet);
    expectRichSheet(**back);
}

TEST(XlsxWrite, OnlyUsedStylesAndStringsAndRecalcFlag) {
    TempDir dir;
    ss::Workbook wb;
    ss::Worksheet& ws = wb.addSheet("表一");
    ss::Font big;
    big.size = 20;
    ss::CellFormat unused;
    unused.fontId = wb.styles.internFont(big);
    uint32_t unusedXf = wb.styles.internCellFormat(unused);
    ss::CellFormat used;
    used.numFmtId = wb.styles.internNumberFormat("0.000");
    uint32_t usedXf = wb.styles.internCellFormat(used);
    ASSERT_EQ(usedXf, unusedXf + 1);
    wb.strings.add("never used");
    ws.setString(1, 1, wb.strings.add("x"), usedXf);
    ws.setString(2, 1, wb.strings.add("x"), 0);
    ws.setNumber(3, 1, 2.5, usedXf);
    ws.setFormula(3, 1, ss::Formula{"A1&\"<\"", false, {}});

    fs::path out = dir / "o.xlsx";
    ASSERT_TRUE(ss::saveWorkbook(wb, out, ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(out);
    ASSERT_TRUE(back.ok()) << back.message();
    const ss::Workbook& b = **back;
    EXPECT_EQ(b.styles.cellXfs.size(), 2u);
    EXPECT_EQ(b.styles.fonts.size(), 1u);
    EXPECT_EQ(b.strings.size(), 1u);
    const ss::Worksheet& bs = *b.sheets[0];
    EXPECT_EQ(b.styles.numberFormatCode(b.styles.cellXfs[bs.find(3, 1)->style].numFmtId), "0.000");
    EXPECT_EQ(formulaOf(bs, 3, 1), "A1&\"<\"");

    zip_t* z = zip_open(out.c_str(), ZIP_RDONLY, nullptr);
    ASSERT_NE(z, nullptr);
    zip_file_t* f = zip_fopen(z, "xl/workbook.xml", 0);
    ASSERT_NE(f, nullptr);
    char buf[4096];
    zip_int64_t n = zip_fread(f, buf, sizeof buf);
    zip_fclose(f);
    zip_discard(z);
    EXPECT_NE(std::string(buf, size_t(n)).find("fullCalcOnLoad=\"1\""), std::string::npos);
}

TEST(XlsxWrite, LeavesOutWhatReadersWouldRepair) {
    // A sheet copied from another workbook: overlapping merges, and a conditional format that
    // names a differential format this workbook does not have.
    TempDir dir;
    ss::Workbook wb;
    ss::Worksheet& ws = wb.addSheet("S");
    ws.merges = {{1, 1, 2, 2}, {2, 2, 3, 3}, {5, 1, 5, 4}};
    ws.preserved.push_back(
        {"conditionalFormatting",
         "<conditionalFormatting sqref=\"A1\"><cfRule type=\"expression\" dxfId=\"3\" "
         "priority=\"1\"><formula>TRUE</formula></cfRule></conditionalFormatting>"});
    ASSERT_TRUE(ss::saveWorkbook(wb, dir / "o.xlsx", ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(dir / "o.xlsx");
    ASSERT_TRUE(back.ok()) << back.message();
    const ss::Worksheet& b = *(*back)->sheets[0];
    ASSERT_EQ(b.merges.size(), 2u);
    EXPECT_EQ(b.merges[0].toA1(), "A1:B2");
    EXPECT_EQ(b.merges[1].toA1(), "A5:D5");
    EXPECT_TRUE(b.preserved.empty());
}

TEST(XlsxWrite, HyperlinksOutOfTheWorkbookKeepTheirTargets) {
    // Two cells link to the same address, one to a mail address, one inside the workbook; one
    // names a relationship that is not a hyperlink and one a relationship that does not exist:
    // those two have no target to keep.
    TempDir dir;
    auto parts = package(
        "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>"
        "<hyperlinks><hyperlink ref=\"A1\" r:id=\"h1\" tooltip=\"web\"/>"
        "<hyperlink ref=\"A2\" r:id=\"h2\"/><hyperlink ref=\"A3\" r:id=\"h3\"/>"
        "<hyperlink ref=\"A4\" location=\"Secret!A1\" display=\"in\"/>"
        "<hyperlink ref=\"A5\" r:id=\"img\"/><hyperlink ref=\"A6\" r:id=\"gone\"/>"
        "</hyperlinks>");
    parts["book/ws/_rels/a.xml.rels"] =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"h1\" Type=\"" +
        kRel +
        "hyperlink\" Target=\"https://example.com/a?b=1&amp;c=2\" TargetMode=\"External\"/>"
        "<Relationship Id=\"h2\" Type=\"" +
        kRel +
        "hyperlink\" Target=\"mailto:x@example.com\" TargetMode=\"External\"/>"
        "<Relationship Id=\"h3\" Type=\"" +
        kRel +
        "hyperlink\" Target=\"https://example.com/a?b=1&amp;c=2\" TargetMode=\"External\"/>"
        "<Relationship Id=\"img\" Type=\"" +
        kRel +
        "image\" Target=\"../media/i.png\"/>"
        "</Relationships>";
    writeZip(dir / "in.xlsx", parts);
    auto wb = ss::openWorkbook(dir / "in.xlsx");
    ASSERT_TRUE(wb.ok()) << wb.message();
    const std::vector<std::string> targets = {"https://example.com/a?b=1&c=2",
                                              "mailto:x@example.com"};
    EXPECT_EQ((*wb)->sheets[0]->externalLinks, targets);
    ASSERT_TRUE(ss::saveWorkbook(**wb, dir / "out.xlsx", ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(dir / "out.xlsx");
    ASSERT_TRUE(back.ok()) << back.message();
    const ss::Worksheet& b = *(*back)->sheets[0];
    EXPECT_EQ(b.externalLinks, targets);
    ASSERT_EQ(b.preserved.size(), 1u);
    const std::string& xml = b.preserved[0].xml;
    for (const char* kept : {"ref=\"A1\"", "ref=\"A2\"", "ref=\"A3\"", "location=\"Secret!A1\""})
        EXPECT_NE(xml.find(kept), std::string::npos) << kept << " in " << xml;
    for (const char* dropped : {"ref=\"A5\"", "ref=\"A6\""})
        EXPECT_EQ(xml.find(dropped), std::string::npos) << dropped << " in " << xml;
}

TEST(XlsxWrite, RefusesInvalidSheetNamesAndKeepsVbaInXlsm) {
    TempDir dir;
    ss::Workbook wb;
    wb.addSheet("a/b");
    auto st = ss::saveWorkbook(wb, dir / "bad.xlsx", ss::FileFormat::Xlsx);
    ASSERT_FALSE(st.ok());
    EXPECT_NE(st.message().find("a/b"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "bad.xlsx"));

    ss::Workbook m;
    m.addSheet("S");
    m.vbaProject = std::string("\xD0\xCF\x11\xE0 vba bytes", 14);
    ASSERT_TRUE(ss::saveWorkbook(m, dir / "m.xlsm", ss::FileFormat::Xlsm).ok());
    auto back = ss::openWorkbook(dir / "m.xlsm");
    ASSERT_TRUE(back.ok()) << back.message();
    EXPECT_EQ((*back)->vbaProject, m.vbaProject);
}

std::string inflateRaw(const std::vector<std::vector<unsigned char>>& pieces) {
    std::vector<unsigned char> data;
    for (const auto& p : pieces) data.insert(data.end(), p.begin(), p.end());
    z_stream z{};
    inflateInit2(&z, -15);
    std::string out(1 << 16, '\0');
    size_t have = 0;
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (have == out.size()) out.resize(out.size() * 2);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + have);
        z.avail_out = uInt(out.size() - have);
        rc = inflate(&z, Z_NO_FLUSH);
        have = out.size() - z.avail_out;
    }
    inflateEnd(&z);
    EXPECT_EQ(rc, Z_STREAM_END);
    out.resize(have);
    return out;
}

TEST(XlsxWrite, PartsDeflatedOnAHelperThreadMatchTheirBytes) {
    // Parts of several chunks, an empty part and small ones, deflated with and without the
    // helper thread: the same stream, which inflates back to the bytes, with their CRC and size.
    // Small parts met before are taken from those deflated lately: one of the same length but
    // other bytes must not be.
    std::vector<std::pair<std::string, std::string>> parts = {{"big", {}},       {"empty", {}},
                                                              {"small", "<a/>"}, {"big2", {}},
                                                              {"again", "<a/>"}, {"other", "<b/>"}};
    for (int i = 0; parts[0].second.size() < 3 * ss::xlsx::PartDeflater::kChunk; ++i)
        parts[0].second += "<row r=\"" + std::to_string(i) + "\"><c t=\"s\"><v>" +
                           std::to_string(i * 7919 % 100003) + "</v></c></row>";
    parts[3].second = parts[0].second.substr(12345);
    std::vector<ss::xlsx::DeflatedPart> results[2];
    for (bool threaded : {false, true}) {
        ss::xlsx::PartDeflater d(1, threaded);
        for (const auto& [name, bytes] : parts) {
            d.begin(name);
            for (size_t at = 0; at < bytes.size(); at += 1000) {  // as a writer appends rows
                d.out().append(bytes, at, 1000);
                d.flushIfFull();
            }
            d.end();
        }
        auto r = d.finish();
        ASSERT_TRUE(r.ok()) << r.message();
        results[threaded] = std::move(r.value());
    }
    for (const auto& got : results) {
        ASSERT_EQ(got.size(), parts.size());
        for (size_t i = 0; i < parts.size(); ++i) {
            const std::string& bytes = parts[i].second;
            EXPECT_EQ(got[i].name, parts[i].first);
            EXPECT_EQ(got[i].size, bytes.size());
            EXPECT_EQ(got[i].crc, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()),
                                                 uInt(bytes.size()))));
            EXPECT_TRUE(inflateRaw(got[i].pieces) == bytes) << parts[i].first;
        }
    }
    for (size_t i = 0; i < parts.size(); ++i)
        EXPECT_TRUE(results[0][i].pieces == results[1][i].pieces);
}

TEST(XlsxWrite, NumbersRoundTripExactly) {
    // Whole numbers take a shorter path both ways; every value must come back bit for bit.
    const double values[] = {0.0,         -0.0,
                             1.0,         -1.0,
                             45292.0,     123456789012345.0,
                             1e15,        -1e15,
                             1e15 + 2,    9007199254740993.0,
                             1e16,        0.1,
                             -2.5,        3566.3999999999996,
                             1e-300,      1e300,
                             4294967296.0};
    TempDir dir;
    ss::Workbook wb;
    ss::Worksheet& ws = wb.addSheet("N");
    uint32_t r = 0;
    for (double v : values) ws.setNumber(++r, 1, v);
    ASSERT_TRUE(ss::saveWorkbook(wb, dir / "n.xlsx", ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(dir / "n.xlsx");
    ASSERT_TRUE(back.ok()) << back.message();
    r = 0;
    for (double v : values) {
        const ss::Cell* c = (*back)->sheets[0]->find(++r, 1);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(std::memcmp(&c->number, &v, sizeof v), 0) << v << " came back as " << c->number;
    }
}

TEST(XlsxWrite, WritingOverALongerFileLeavesOnlyTheNewWorkbook) {
    // A small workbook is written into the file as a whole; an older, longer file at the path
    // must not leave its tail behind the new archive.
    TempDir dir;
    const fs::path out = dir / "w.xlsx";
    std::ofstream(out, std::ios::binary) << std::string(200000, 'x');
    ss::Workbook wb;
    wb.addSheet("新").setNumber(1, 1, 42);
    ASSERT_TRUE(ss::writeXlsx(wb, out).ok());
    EXPECT_LT(fs::file_size(out), 20000u);
    auto back = ss::openWorkbook(out);
    ASSERT_TRUE(back.ok()) << back.message();
    EXPECT_EQ((*back)->sheets[0]->name, "新");
    EXPECT_EQ((*back)->sheets[0]->find(1, 1)->number, 42);
}

TEST(XlsxWrite, LargeWorkbookRoundTrips) {
    // Enough cells for the threaded writer, and parts (sheets, shared strings) of several chunks.
    TempDir dir;
    ss::Workbook wb;
    for (int s = 0; s < 2; ++s) {
        ss::Worksheet& ws = wb.addSheet("S" + std::to_string(s));
        for (uint32_t r = 1; r <= 30000; ++r) {
            ws.setString(r, 1, wb.strings.add("id-" + std::to_string(s) + "-" + std::to_string(r)));
            ws.setNumber(r, 2, r * 0.25);
            ws.setString(r, 3, wb.strings.add(r % 2 ? "甲" : "乙"));
        }
    }
    fs::path out = dir / "big.xlsx";
    ASSERT_TRUE(ss::saveWorkbook(wb, out, ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(out);
    ASSERT_TRUE(back.ok()) << back.message();
    ASSERT_EQ((*back)->sheets.size(), 2u);
    for (int s = 0; s < 2; ++s) {
        const ss::Worksheet& a = *wb.sheets[size_t(s)];
        const ss::Worksheet& b = *(*back)->sheets[size_t(s)];
        ASSERT_EQ(a.cellCount(), b.cellCount());
        for (uint32_t r : {1u, 777u, 15000u, 30000u})
            for (uint32_t c = 1; c <= 3; ++c)
                EXPECT_EQ(wb.cellText(*a.find(r, c)), (*back)->cellText(*b.find(r, c)))
                    << r << "," << c;
    }
    // Every entry's CRC checks out in libzip's own reading.
    zip_t* z = zip_open(out.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, nullptr);
    ASSERT_NE(z, nullptr);
    for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i) {
        zip_file_t* f = zip_fopen_index(z, zip_uint64_t(i), 0);
        ASSERT_NE(f, nullptr);
        char buf[1 << 14];
        zip_int64_t n;
        while ((n = zip_fread(f, buf, sizeof buf)) > 0) {
        }
        EXPECT_EQ(n, 0) << zip_get_name(z, zip_uint64_t(i), 0);
        zip_fclose(f);
    }
    zip_discard(z);
}

TEST(XlsxRead, BadInputGivesAReasonNamingTheFile) {
    TempDir dir;
    std::string bomb(64 << 20, 'A');
    struct Case {
        const char* name;
        std::map<std::string, std::string> parts;
        const char* reason;
    } cases[] = {
        {"doctype.xlsx",
         [] {
             auto p = package("<sheetData/>");
             p["book/strings.xml"] =
                 "<!DOCTYPE sst [<!ENTITY a \"aaaa\">]><sst xmlns=\"x\"><si><t>&a;</t></si></sst>";
             return p;
         }(),
         "DTD"},
        {"malformed.xlsx", package("<sheetData><row><c><v>1</v></row></sheetData>"), "XML"},
        {"rows.xlsx", package("<sheetData><row r=\"1000000000\"><c><v>1</v></c></row></sheetData>"),
         "1000000000"},
        {"ref.xlsx",
         package("<sheetData><row r=\"1\"><c r=\"XFE1\"><v>1</v></c></row></sheetData>"), "XFE1"},
        {"sst.xlsx",
         package("<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>99</v></c></row></sheetData>"),
         "共享字符串"},
        {"nosheet.xlsx",
         [] {
             auto p = package("<sheetData/>");
             p.erase("book/ws/a.xml");
             return p;
         }(),
         "Data"},
        {"norels.xlsx",
         [] {
             auto p = package("<sheetData/>");
             p.erase("_rels/.rels");
             return p;
         }(),
         "_rels/.rels"},
        {"bomb.xlsx",
         [&] {
             auto p = package("<sheetData/>");
             p["book/ws/a.xml"] =
                 sheetXml("<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>" + bomb +
                          "</t></is></c></row></sheetData>");
             return p;
         }(),
         "压缩炸弹"},
        // 300 sheets that all use one part of 8 MiB (each part on its own is within limits):
        // the part counts once per sheet, and the 2.4 GB are refused before any is inflated.
        {"shared.xlsx",
         [&] {
             auto p = package("<sheetData/>");
             std::string sheets;
             for (int i = 1; i <= 300; ++i)
                 sheets += "<sheet name=\"S" + std::to_string(i) + "\" sheetId=\"" +
                           std::to_string(i) + "\" r:id=\"s1\"/>";
             p["book/main.xml"] =
                 "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                 "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                 "<sheets>" +
                 sheets + "</sheets></workbook>";
             p["book/ws/a.xml"] =
                 sheetXml("<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>" +
                          bomb.substr(0, 8 << 20) + "</t></is></c></row></sheetData>");
             return p;
         }(),
         "同一部件每用一次计一次"},
    };
    for (const Case& c : cases) {
        fs::path file = dir / c.name;
        writeZip(file, c.parts, 9);
        auto wb = ss::openWorkbook(file);
        ASSERT_FALSE(wb.ok()) << c.name;
        EXPECT_NE(wb.message().find(file.string()), std::string::npos) << wb.message();
        EXPECT_NE(wb.message().find(c.reason), std::string::npos) << wb.message();
    }

    // Not a zip, a truncated zip, an empty file.
    std::ifstream in(dir / "rows.xlsx", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    for (auto [name, data] :
         {std::pair<std::string, std::string>{"cut.xlsx", bytes.substr(0, bytes.size() / 2)},
          {"text.xlsx", "hello, not a workbook"},
          {"empty.xlsx", ""}}) {
        fs::path file = dir / name;
        std::ofstream(file, std::ios::binary) << data;
        auto wb = ss::openWorkbook(file);
        ASSERT_FALSE(wb.ok()) << name;
        EXPECT_NE(wb.message().find(file.string()), std::string::npos) << wb.message();
    }
}

// The model a read gives, or its error, as text: every row, cell, string and formula.
std::string modelOf(ss::Result<std::unique_ptr<ss::Workbook>> wb) {
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

TEST(XlsxRead, FastRowScannerGivesTheSameModelAsExpat) {
    // `fast`: the scanner reads at least one row (the rest may go to expat).
    std::string bigRows, bigText;
    for (int r = 1; r <= 6000; ++r) {
        std::string n = std::to_string(r);
        bigRows += "<row r=\"" + n + "\" spans=\"1:3\"><c r=\"A" + n + "\"><v>" + n +
                   ".5</v></c><c r=\"B" + n + "\" t=\"inlineStr\"><is><t>text &amp; " + n +
                   "</t></is></c><c r=\"C" + n + "\" t=\"s\"><v>" + std::to_string(r % 4) +
                   "</v></c></row>\n";
    }
    struct Case {
        const char* what;
        std::string sheetData;
        bool fast;
    } cases[] = {
        {"values of every type",
         R"(<sheetData><row r="1" spans="1:9" ht="20" customHeight="1" hidden="1" s="1" )"
         R"(customFormat="1" outlineLevel="2" x14ac:dyDescent="0.25"><c r="A1" s="1"><v>1.5</v></c>)"
         R"(<c r="B1" t="s"><v>1</v></c><c r="C1" t="b"><v>1</v></c><c r="D1" t="e"><v>#N/A</v></c>)"
         R"(<c r="E1" t="str"><f>"a"&amp;"b"</f><v>ab</v></c><c r="F1" t="d"><v>2021-03-04</v></c>)"
         R"(<c r="G1" t="inlineStr"><is><t>a &lt;b&gt; &quot;c&quot; &apos;d&apos; &#65;&#x42;)"
         R"(&#x4E2D;_x000D_</t></is></c><c r="H1"><f t="shared" ref="H1:H3" si="0">A1*2</f>)"
         R"(<v>3</v></c><c r="I1" s="1"/></row><row r="2"><c r="H2"><f t="shared" si="0"/></c>)"
         R"(<c r="J2"><f t="array" ref="J2:J3">A1:A2</f><v>1</v></c><c><v>7</v></c></row>)"
         R"(<row/><row r="5"/><row r='6'><c r='A6' t='s'><v>2</v></c></row></sheetData>)",
         true},
        {"attributes by prefix, order and repetition under other prefixes",
         // A row and a formula read their attributes by local name (a row the last of a name, a
         // formula the first); a cell only unprefixed r, s and t.
         R"(<sheetData><row x14ac:dyDescent="0.25" r="2" x:r="3" x:ht="30" customHeight="1" )"
         R"(x:hidden="true" collapsed="1" x:outlineLevel="9" x:s="2" customFormat="true">)"
         R"(<c x:r="Z9" s="2" x:t="s" r="B3"><v>1</v></c><c x:s="1" t="s" x:r="Q1"><v>0</v></c>)"
         R"(<c r="E3"><f x:t="shared" t="array" x:si="4" si="5" ref="E3:E4">A1+1</f><v>2</v></c>)"
         R"(</row><row><c r="E4"><f t="shared" si="4"/><v>3</v></c><c r="F4"><f t="shared" )"
         R"(si="5"/></c><c r="G4"><f cm="1" ref="G4:G6">SEQUENCE(3)</f><v>1</v></c>)"
         R"(<c r="H4"><f t="dataTable" ref="H4:H5" dt2D="0" r1="A1"/><v>7</v></c></row>)"
         R"(</sheetData>)",
         true},
        {"values in every spelling",
         // Numbers with signs, spaces, exponents and more digits than the whole-number path
         // takes; indexes and styles as "1.0", " 1", "01" and out of range; a value in two
         // pieces; booleans, errors and dates that do not parse.
         R"(<sheetData><row r="1" s="7" ht="x"><c r="A1"><v>+12</v></c><c r="B1"><v> -0.5</v></c>)"
         R"(<c r="C1"><v>1E3</v></c><c r="D1"><v>.25</v></c><c r="E1"><v>12345678901234567890</v>)"
         R"(</c><c r="F1"><v>abc</v></c><c r="G1" t="s"><v>1.0</v></c><c r="H1" t="s"><v> 1</v>)"
         R"(</c><c r="I1" t="s"><v>01</v></c><c r="J1" s="1.0"><v>1</v></c><c r="K1" s="9"/>)"
         R"(<c r="L1" s=" 2"/><c r="M1"/><c r="N1"><v>1</v><v>2</v></c><c r="O1" t="b">)"
         R"(<v>true</v></c><c r="P1" t="b"><v>0</v></c><c r="Q1" t="e"><v>#FOO!</v></c>)"
         R"(<c r="R1" t="e"><v>#DIV/0!</v></c><c r="S1" t="d"><v>yesterday</v></c><c r="T1" )"
         R"(t="d"><v>2020-02-29T12:00:00</v></c><c r="U1" t="str"><v>a_x000D_b&#10;c</v></c>)"
         R"(<c r="V1" t="str"><f>1&amp;2</f></c><c r="W1" t="inlineStr"><v>in v</v></c>)"
         R"(<c r="X1" t="inlineStr"><is><t xml:space="preserve"> a </t></is></c><c r="Y1" )"
         R"(t="inlineStr"><is/></c><c r="Z1" t="unknown"><v>5</v></c><c r="AA1" t="inlineStr">)"
         R"(<is><t>漢字</t><rPh sb="0" eb="1"><t>かん</t></rPh><phoneticPr fontId="0"/></is></c>)"
         R"(</row></sheetData>)",
         true},
        {"rows out of order and cells naming other rows",
         R"(<sheetData><row r="5"><c r="A5"><v>5</v></c><c r="A7"><v>7</v></c><c><v>8</v></c>)"
         R"(</row><row r="3"><c r="B3"><v>3</v></c></row><row><c r="C2"><v>2</v></c><c>)"
         R"(<v>4</v></c></row><row r="1048576"><c r="XFD1048576"><v>1</v></c></row></sheetData>)",
         true},
        {"pretty-printed",
         "<sheetData>\n  <row r=\"1\">\n    <c r=\"A1\" >\n      <v> 1 </v>\n"
         "    </c >\n    <c\n r=\"B1\"\tt=\"str\"><v>a\tb\nc</v></c>\n  </row >\n"
         "</sheetData>",
         true},
        {"non-ASCII, carriage return, tab in a value: that row goes to expat",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>漢字</t></is></c></row>"
         "<row r=\"2\"><c r=\"A2\" t=\"str\"><v>a\r\nb</v></c></row>"
         "<row r=\"3\"><c r=\"A3\" t=\"str\"><f a=\"x\ty\">1</f><v>x</v></c></row>"
         "<row r=\"4\"><c r=\"A4\"><v>4</v></c></row></sheetData>",
         true},
        {"comment, CDATA and instruction hand the rest to expat",
         "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row><!-- <row r=\"2\"> -->"
         "<row r=\"3\"><c r=\"A3\" t=\"str\"><v><![CDATA[<x>]]></v></c><?pi x?></row>"
         "<row r=\"4\"><c r=\"A4\"><v>4</v></c></row></sheetData>",
         true},
        {"rich inline text and markup compatibility",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><r><rPr><b/></rPr><t>x</t></r>"
         "<r><t>y</t></r></is></c><mc:AlternateContent xmlns:mc=\"m\"><mc:Choice Requires=\"q\">"
         "<c r=\"B1\"><v>1</v></c></mc:Choice><mc:Fallback><c r=\"C1\"><v>2</v></c></mc:Fallback>"
         "</mc:AlternateContent></row></sheetData>",
         false},
        {"prefixed elements",
         "<x:sheetData xmlns:x=\"s\"><x:row r=\"1\"><x:c r=\"A1\"><x:v>1</x:v>"
         "</x:c></x:row></x:sheetData>",
         false},
        {"rows inside a comment before the real ones",
         "<!-- <sheetData><row><c><v>9</v></c></row> --><sheetData><row r=\"2\"><c r=\"A2\"><v>2"
         "</v></c></row></sheetData>",
         true},
        {"many rows across chunks", "<sheetData>\n" + bigRows + "</sheetData>", true},
        {"malformed far into the part: the same line in the message",
         "<sheetData>\n" + bigRows + "<row r=\"6001\"><c><v>1</v></row></sheetData>", true},
        {"line breaks of every kind before an error",
         "<sheetData><row r=\"1\"\r><c r=\"A1\"\r\n><v>1</v></c></row>\r<row r=\"2\"><c>"
         "<v>2</v></c></row>\n<row><c></row></sheetData>",
         true},
        {"mismatched tag", "<sheetData><row>\n<c>\n<v>1</c></v></row></sheetData>", false},
        {"repeated attribute",
         "<sheetData><row r=\"1\"><c r=\"A1\" r=\"B1\"><v>1</v></c></row>\n"
         "<row r=\"2\"><c r=\"A2\"/ ></row></sheetData>",
         false},
        {"attributes alike but not repeated",
         "<sheetData><row r=\"1\" spans=\"1:2\" x14ac:dyDescent=\"1\" x:spans=\"3\"><c r=\"A1\" "
         "x:r=\"C1\" y:r=\"D1\" a=\"1\" b=\"2\" s =\"1\" x:s=\"0\" t='str'><v>x</v\n></c>"
         "</row></sheetData>",
         true},
        {"repeated prefixed attribute",
         "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row>\n<row r=\"2\"><c x:r=\"A2\" "
         "r=\"A2\" x:r=\"B2\"><v>2</v></c></row></sheetData>",
         true},
        {"repeated attribute of another name",
         "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row>\n<row r=\"2\" spans=\"1:2\" "
         "x14ac:dyDescent=\"1\" spans =\"1:3\"><c><v>2</v></c></row></sheetData>",
         true},
        {"no space between attributes",
         "<sheetData><row r=\"1\"><c r=\"A1\"s=\"1\"><v>1</v></c></row></sheetData>", false},
        {"'<' in a value", "<sheetData><row r=\"1\"><c r=\"A<1\"><v>1</v></c></row></sheetData>",
         false},
        {"undefined entity",
         "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row>\n<row r=\"2\"><c r=\"A2\" "
         "t=\"str\"><v>&nbsp;</v></c></row></sheetData>",
         true},
        {"reference to an invalid character",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>&#0;</v></c></row></sheetData>", false},
        {"]]> in text",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>a]]>b</v></c></row></sheetData>", false},
        {"control character",
         std::string("<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>a\x01</v></c></row>") +
             "</sheetData>",
         false},
        {"invalid UTF-8",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>a\xC3(</v></c></row>"
         "</sheetData>",
         false},
        {"unfinished part", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row><row r=\"2\">",
         true},
        {"bad row number",
         "<sheetData><row r=\"1\"/>\n<row r=\"0\"><c><v>1</v></c></row></sheetData>", true},
        {"cell reference out of range",
         "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"XFE1\"><v>1</v></c></row>"
         "</sheetData>",
         true},
        {"missing shared string",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>99</v></c></row></sheetData>", true},
        {"shared string index beyond 32 bits",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>4294967296</v></c></row></sheetData>",
         true},
        {"bad row number in the middle of a row's attributes",
         "<sheetData><row r=\"1\"/><row s=\"1\" r=\"1048577\" ht=\"3\"><c><v>1</v></c></row>"
         "</sheetData>",
         true},
        {"cell reference that is no reference",
         "<sheetData><row r=\"1\"><c t=\"s\" r=\"1A\"><v>0</v></c></row></sheetData>", true},
        {"text and a cell outside rows",
         "<sheetData>x<c r=\"A1\"><v>1</v></c><row r=\"2\"><c><v>2</v></c></row></sheetData>",
         false},
    };
    TempDir dir;
    const bool saved = ss::xlsx::fastSheetScan();
    int n = 0;
    for (const Case& c : cases) {
        fs::path file = dir / ("v" + std::to_string(n++) + ".xlsx");
        auto parts = package("");
        // Row content sits where writers put it: after the sheet properties, before the rest.
        parts["book/ws/a.xml"] =
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n" +
            sheetXml("<dimension ref=\"A1\"/><sheetViews><sheetView/></sheetViews>" + c.sheetData +
                     "<mergeCells><mergeCell ref=\"A1:B1\"/></mergeCells>");
        writeZip(file, parts);
        ss::xlsx::setFastSheetScan(false);
        std::string viaExpat = modelOf(ss::readXlsx(file));
        ss::xlsx::setFastSheetScan(true);
        uint64_t before = ss::xlsx::fastSheetRows();
        std::string viaScanner = modelOf(ss::readXlsx(file));
        EXPECT_EQ(viaScanner, viaExpat) << c.what;
        EXPECT_EQ(ss::xlsx::fastSheetRows() > before, c.fast) << c.what;
    }
    ss::xlsx::setFastSheetScan(saved);
}

TEST(XlsxRead, DecimalsReadToTheNearestDouble) {
    // Every number is the double the general conversion gives, bit for bit: short decimals
    // (taken on a shorter way), and the spellings beside them.
    std::vector<std::string> texts = {"0.1",
                                      "-0.0",
                                      "-1234.56",
                                      "999999999999.999",
                                      "0.000000000000001",
                                      "3.14159265358979",
                                      "1.7976931348623157",
                                      "123456789012345.6",
                                      "00000000001.5",
                                      "1e3",
                                      "-.5",
                                      "7.",
                                      "9007199254740993",
                                      "0.30000000000000004"};
    uint64_t x = 88172645463325252ull;  // a fixed xorshift sequence
    for (int i = 0; i < 3000; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        const int digits = 1 + int(x % 15), point = int((x >> 8) % uint64_t(digits));
        std::string t = std::to_string(x >> 12).substr(0, size_t(digits));
        if (point) t.insert(t.size() - size_t(point), ".");
        texts.push_back((x >> 40) % 2 ? "-" + t : t);
    }
    std::string cells;
    for (const std::string& t : texts) cells += "<c><v>" + t + "</v></c>";
    TempDir dir;
    fs::path file = dir / "n.xlsx";
    writeZip(file, package("<sheetData><row r=\"1\">" + cells + "</row></sheetData>"));
    auto wb = ss::readXlsx(file);
    ASSERT_TRUE(wb.ok()) << wb.message();
    const auto& row = (*wb)->sheets[0]->rows().at(0);
    ASSERT_EQ(row.cells.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        double want = 0;
        std::from_chars(texts[i].data(), texts[i].data() + texts[i].size(), want);
        EXPECT_EQ(std::memcmp(&row.cells[i].number, &want, sizeof want), 0)
            << texts[i] << " read as " << row.cells[i].number;
    }
}

TEST(XlsxRead, StringTableThroughTheScannerGivesTheSameModelAsExpat) {
    // Every item is shown by a cell of its own. `fast`: items the scanner reads.
    std::string many;
    for (int i = 0; i < 3000; ++i) many += "<si><t>文本 " + std::to_string(i) + "</t></si>\n";
    struct Case {
        const char* what;
        std::string items;
        int count, fast;
    } cases[] = {
        {"plain texts in every spelling",
         "<si><t>plain</t></si><si><t xml:space=\"preserve\"> a &amp; b &lt;&#x4E2D;&#65;&gt; "
         "</t></si>\n  <si>\n<t>漢字 𝄞 ½</t>\n</si><si><t>line_x000D_break_x0041_</t></si>"
         "<si><t/></si><si/><si><t></t></si><si><t>tab\there\nline</t></si>"
         "<si><t>a</t><t>b</t></si><si><t>漢字</t><rPh sb=\"0\" eb=\"2\"><t>かんじ</t></rPh>"
         "<phoneticPr fontId=\"1\" type=\"noConversion\"/></si><si><rPh><t>x</t></rPh><t>y</t>"
         "<phoneticPr/></si>",
         11, 11},
        {"a rich item hands the rest to expat",
         "<si><t>first</t><phoneticPr fontId=\"1\"/></si><si><r><t>bold</t></r><r><rPr><b/><sz "
         "val=\"9\"/></rPr><t xml:space=\"preserve\"> part</t></r></si><si><t>漢字</t><rPh "
         "sb=\"0\" eb=\"2\"><t>かんじ</t></rPh></si><si><t>after</t></si>",
         4, 1},
        {"items that expat must judge one by one",
         "<si><t>cr\r\nlf</t></si><si><t>&#13;&#xD;</t></si><si><t>ok</t></si>", 3, 2},
        {"undefined entity", "<si><t>ok</t></si><si><t>&nbsp;</t></si>", 2, 1},
        {"invalid UTF-8", "<si><t>ok</t></si><si><t>a\xC3(</t></si>", 2, 1},
        {"a surrogate in UTF-8", "<si><t>ok</t></si><si><t>a\xED\xA0\x80</t></si>", 2, 1},
        {"U+FFFE", "<si><t>ok</t></si><si><t>a\xEF\xBF\xBE</t></si>", 2, 1},
        {"a prefixed item", "<si><t>ok</t></si><x:si><x:t>p</x:t></x:si>", 2, 1},
        {"many items across chunks", many, 3000, 3000},
    };
    TempDir dir;
    const bool saved = ss::xlsx::fastSheetScan();
    int n = 0;
    for (const Case& c : cases) {
        fs::path file = dir / ("s" + std::to_string(n++) + ".xlsx");
        auto parts = package("");
        std::string cells;
        for (int i = 0; i < c.count; ++i)
            cells += "<c t=\"s\"><v>" + std::to_string(i) + "</v></c>";
        parts["book/ws/a.xml"] =
            sheetXml("<sheetData><row r=\"1\">" + cells + "</row></sheetData>");
        parts["book/strings.xml"] =
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<sst "
            "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"9\" "
            "uniqueCount=\"9\">" +
            c.items + "</sst>";
        writeZip(file, parts);
        ss::xlsx::setFastSheetScan(false);
        std::string viaExpat = modelOf(ss::readXlsx(file));
        ss::xlsx::setFastSheetScan(true);
        uint64_t before = ss::xlsx::fastStringItems();
        std::string viaScanner = modelOf(ss::readXlsx(file));
        EXPECT_EQ(viaScanner, viaExpat) << c.what;
        EXPECT_EQ(ss::xlsx::fastStringItems() - before, uint64_t(c.fast)) << c.what;
    }
    ss::xlsx::setFastSheetScan(saved);
}

// Writes down what a handler is given inside <sheetData>: elements with their attributes as
// written, and texts (pieces joined); a handler that takes rows whole writes the same from
// ScannedRow and checks its attribute ids against the names.
class SheetDataLog : public ss::xlsx::SaxHandler {
public:
    explicit SheetDataLog(bool whole) : whole_(whole) {}
    std::string log;

    void start(std::string_view name, const char** atts) override {
        if (name == "sheetData") {
            in_ = true;
            return;
        }
        if (!in_) return;
        flush();
        log += "<" + std::string(name);
        for (const char** a = atts; *a; a += 2) log += " " + std::string(a[0]) + "=" + a[1];
        log += ">";
        ++depth_;
    }
    void end(std::string_view name) override {
        if (name == "sheetData") in_ = false;
        if (!in_) return;
        flush();
        log += "</" + std::string(name) + ">";
        --depth_;
    }
    void text(const char* s, int n) override {
        if (in_ && depth_ > 0) pending_.append(s, size_t(n));
    }
    bool readsSheetData() const override { return true; }
    bool acceptsFastRows() const override { return in_ && depth_ == 0; }
    bool takesScannedRows() const override { return whole_; }

    void row(const ss::xlsx::ScannedRow& r) override {
        using K = ss::xlsx::ScannedRow::Kind;
        using A = ss::xlsx::ScannedRow::Att;
        static const char* const kNames[] = {"row", "c", "v", "f", "is", "t", "si"};
        const std::map<std::string_view, A> ids = {{"r", A::R},
                                                   {"s", A::S},
                                                   {"t", A::T},
                                                   {"ht", A::Ht},
                                                   {"customHeight", A::CustomHeight},
                                                   {"customFormat", A::CustomFormat},
                                                   {"hidden", A::Hidden},
                                                   {"collapsed", A::Collapsed},
                                                   {"outlineLevel", A::OutlineLevel},
                                                   {"si", A::Si},
                                                   {"ref", A::Ref},
                                                   {"cm", A::Cm}};
        for (const auto& e : r) {
            if (e.kind == K::Text) {
                pending_ += r.text(e);
                if (r.text(e).data()[e.len] != 0) log += "(text not NUL-ended)";
                continue;
            }
            const std::string name = kNames[size_t(e.elem)];
            flush();
            if (e.kind == K::End) {
                log += "</" + name + ">";
                continue;
            }
            log += "<" + name;
            for (auto* a = r.attrsBegin(e); a != r.attrsEnd(e); ++a) {
                const std::string_view q = r.name(*a);
                log += " " + std::string(q) + "=" + r.value(*a);
                const size_t colon = q.rfind(':');
                const std::string_view local = colon == q.npos ? q : q.substr(colon + 1);
                auto it = ids.find(local);
                if ((it == ids.end() ? A::Other : it->second) != a->id ||
                    a->prefixed != (colon != q.npos) || r.valueView(*a) != r.value(*a))
                    log += "(wrong id)";
            }
            log += ">";
        }
    }

private:
    void flush() {
        if (!pending_.empty()) log += "[" + pending_ + "]";
        pending_.clear();
    }
    bool whole_, in_ = false;
    int depth_ = 0;
    std::string pending_;
};

TEST(XlsxRead, ScannedRowsCarryWhatExpatGives) {
    // Expat, the scanner's replay of start, end and text, and rows handed over whole give one
    // account of the same rows, texts outside ASCII included; one row with a carriage return
    // goes to expat in the middle.
    std::string rows =
        R"(<row r="1" spans="1:3" x14ac:dyDescent="0.25" customHeight='1' ht="20.5">)"
        R"(<c r="A1" s="1" t="s"><v>0</v></c><c r="B1" x:r="C1" t="inlineStr"><is><t )"
        R"(xml:space="preserve"> a &amp; b &lt;&#x4E2D;&#65;&gt; </t></is></c>)"
        R"(<c r="C1"><f t="shared" ref="C1:C3" si="0" cm="1">A1*"&quot;x'"</f><v>1</v></c>)"
        R"(<c r="D1" t="e"/><c r="E1" >)"
        "\n   <v>2</v>\n</c></row>\n"
        R"(<row r="2" hidden="1" outlineLevel="2" collapsed="0" customFormat="1" s="2">)"
        R"(<c r="A2" t="str"><v>漢字 𝄞</v></c></row><row r="3"><c r="A3" t="str"><v>a)"
        "\r\nb</v></c></row>";
    for (int i = 4; i < 3000; ++i)
        rows += "<row r=\"" + std::to_string(i) + "\"><c r=\"A" + std::to_string(i) + "\"><v>" +
                std::to_string(i * 7) + "</v></c></row>";
    const std::string sheet = sheetXml("<sheetData>" + rows + "</sheetData>");
    TempDir dir;
    fs::path file = dir / "rows.zip";
    writeZip(file, {{"a.xml", sheet}});
    auto logOf = [&](bool fast, bool whole) {
        ss::xlsx::setFastSheetScan(fast);
        auto zip = ss::xlsx::ZipReader::open(file, ss::ReadLimits{});
        EXPECT_TRUE(zip.ok());
        if (!zip.ok()) return std::string();
        SheetDataLog h(whole);
        ss::Status st = ss::xlsx::parsePart(**zip, "a.xml", h);
        EXPECT_TRUE(st.ok()) << st.message();
        return h.log;
    };
    const bool saved = ss::xlsx::fastSheetScan();
    const std::string viaExpat = logOf(false, false);
    uint64_t before = ss::xlsx::fastSheetRows();
    EXPECT_EQ(logOf(true, false), viaExpat);
    EXPECT_EQ(logOf(true, true), viaExpat);
    EXPECT_EQ(ss::xlsx::fastSheetRows() - before, 2u * 2998u);  // every row but the third
    ss::xlsx::setFastSheetScan(saved);
    EXPECT_NE(viaExpat.find("<t xml:space=preserve>[ a & b <中A> ]</t>"), std::string::npos);
}

TEST(XlsxRead, MutatedRowsReadAlikeByScannerAndExpat) {
    // Rows and string items in many shapes, each changed at a few random places (a fixed
    // sequence) and moved a varying distance from the end of the first chunk: the scanner and
    // expat give the same model or the same refusal, and the same account of the rows.
    const std::string rows =
        R"(<row r="1" spans="1:4" x14ac:dyDescent="0.25" ht="20" customHeight="1"><c r="A1" )"
        R"(s="1" t="s"><v>0</v></c><c r="B1" t="s"><v>1</v></c><c r="C1" s="2"><v>-12.5</v>)"
        R"(</c><c r="D1" t="str"><f>A1&amp;"x"</f><v>a&lt;b</v></c></row>)"
        "\n"
        R"(<row r="2" hidden="1"><c r="A2" t="inlineStr"><is><t xml:space="preserve"> 漢字 )"
        R"(&#x4E2D;&#65; </t></is></c><c r="B2" t='b'><v>1</v></c><c r="C2"><f t="shared" )"
        R"(ref="C2:C3" si="0">C1*2</f><v>4</v></c><c r="D2" t="e"><v>#N/A</v></c><c r="E2" )"
        R"(t="str"><v>a value longer than thirty-two bytes, all ASCII</v></c></row>)"
        R"(<row r="3"><c r="C3"><f t="shared" si="0"/><v>8</v></c><c r="D3" t="s"><v>2</v></c>)"
        R"(<c x:r="Z9" r="E3" t="s"><v>3</v></c><c r="F3"/><c r="G3" s="3"/><c r="H3" t="s">)"
        R"(<v>4</v></c></row>  <row r="5" s="1" customFormat="1"><c><v>44448</v></c><c )"
        R"(t="d"><v>2020-02-29</v></c><c a="1" b="2"><v>7</v></c></row>)";
    const std::string items =
        R"(<si><t>plain</t></si><si><t xml:space="preserve"> a &amp; b </t></si><si><t>漢字</t>)"
        R"(<rPh sb="0" eb="2"><t>かんじ</t></rPh><phoneticPr fontId="1"/></si><si><t>_x000D_ )"
        R"(ok</t></si><si><t>a text of more than thirty-two bytes in one item</t></si>)";
    const std::string alphabet = "<>/=\"' &;#x:\r\n\t]csvftri0129A\x01\xC3\xA9\xE4";
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        return x;
    };
    auto mutate = [&](std::string s) {
        for (uint64_t k = 1 + next() % 3; k > 0; --k) {
            const size_t at = size_t(next() % s.size());
            const char c = alphabet[size_t(next() % alphabet.size())];
            switch (next() % 3) {
                case 0:
                    s[at] = c;
                    break;
                case 1:
                    s.insert(at, 1, c);
                    break;
                default:
                    s.erase(at, 1);
            }
        }
        return s;
    };
    auto logOf = [](const fs::path& file, bool fast, bool whole) {
        ss::xlsx::setFastSheetScan(fast);
        auto zip = ss::xlsx::ZipReader::open(file, ss::ReadLimits{});
        if (!zip.ok()) return "error: " + zip.message();
        SheetDataLog h(whole);
        ss::Status st = ss::xlsx::parsePart(**zip, "book/ws/a.xml", h);
        return h.log + (st.ok() ? "" : "\nerror: " + st.message());
    };
    const int kMutants = 300;
    TempDir dir;
    const bool saved = ss::xlsx::fastSheetScan();
    const uint64_t rowsBefore = ss::xlsx::fastSheetRows(),
                   itemsBefore = ss::xlsx::fastStringItems();
    for (int i = 0; i < kMutants; ++i) {
        const bool inItems = i % 3 == 2;
        // The first chunk ends somewhere in the rows (or items) changed.
        const std::string pad(65536 - 400 + size_t(next() % 800), ' ');
        auto parts = package("");
        parts["book/ws/a.xml"] =
            sheetXml("<sheetData>" + (inItems ? rows : pad + mutate(rows)) + "</sheetData>");
        parts["book/strings.xml"] =
            "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">" +
            (inItems ? pad + mutate(items) : items) + "</sst>";
        const fs::path file = dir / ("m" + std::to_string(i) + ".xlsx");
        writeZip(file, parts);
        ss::xlsx::setFastSheetScan(false);
        const std::string viaExpat = modelOf(ss::readXlsx(file));
        ss::xlsx::setFastSheetScan(true);
        ASSERT_EQ(modelOf(ss::readXlsx(file)), viaExpat) << parts["book/ws/a.xml"] << "\n"
                                                         << parts["book/strings.xml"];
        if (inItems) continue;
        const std::string logViaExpat = logOf(file, false, false);
        ASSERT_EQ(logOf(file, true, false), logViaExpat) << parts["book/ws/a.xml"];
        ASSERT_EQ(logOf(file, true, true), logViaExpat) << parts["book/ws/a.xml"];
    }
    ss::xlsx::setFastSheetScan(saved);
    // Most changes leave rows and items the scanner reads.
    EXPECT_GT(ss::xlsx::fastSheetRows() - rowsBefore, 300u);
    EXPECT_GT(ss::xlsx::fastStringItems() - itemsBefore, 300u);
}

TEST(XlsxCorpus, EveryWorkbookOpensAndEveryBrokenFileIsRefused) {
    fs::path corpus = TW_CORPUS_DIR;
    if (!fs::exists(corpus / "xlsx")) GTEST_SKIP() << "no corpus at " << corpus;
    int opened = 0;
    for (const auto& e : fs::directory_iterator(corpus / "xlsx")) {
        auto wb = ss::openWorkbook(e.path());
        EXPECT_TRUE(wb.ok()) << wb.message();
        opened += wb.ok();
    }
    EXPECT_GE(opened, 40);
    for (const auto& e : fs::directory_iterator(corpus / "broken")) {
        if (e.path().extension() != ".xlsx") continue;
        auto wb = ss::openWorkbook(e.path());
        ASSERT_FALSE(wb.ok()) << e.path();
        EXPECT_NE(wb.message().find(e.path().string()), std::string::npos);
    }

    // The fast row scanner and expat give the same model or the same refusal on every file.
    const bool saved = ss::xlsx::fastSheetScan();
    for (const char* folder : {"xlsx", "broken"}) {
        for (const auto& e : fs::directory_iterator(corpus / folder)) {
            if (e.path().extension() != ".xlsx") continue;
            ss::xlsx::setFastSheetScan(false);
            std::string viaExpat = modelOf(ss::readXlsx(e.path()));
            ss::xlsx::setFastSheetScan(true);
            EXPECT_EQ(modelOf(ss::readXlsx(e.path())), viaExpat) << e.path();
        }
    }
    ss::xlsx::setFastSheetScan(saved);

    // ISA-L's inflate and libzip's give the same model, and refuse the same broken files (the
    // reasons may name the fault differently).
    for (const char* folder : {"xlsx", "broken"}) {
        for (const auto& e : fs::directory_iterator(corpus / folder)) {
            if (e.path().extension() != ".xlsx") continue;
            ss::xlsx::setIsalInflate(false);
            auto viaZlib = ss::readXlsx(e.path());
            ss::xlsx::setIsalInflate(true);
            auto viaIsal = ss::readXlsx(e.path());
            ASSERT_EQ(viaIsal.ok(), viaZlib.ok()) << e.path();
            if (viaIsal.ok()) {
                EXPECT_EQ(modelOf(std::move(viaIsal)), modelOf(std::move(viaZlib))) << e.path();
            }
        }
    }

    // Facts of particular files.
    auto dim = ss::openWorkbook(corpus / "xlsx/Test_git_issue_271_InvalidDimension.xlsx");
    ASSERT_TRUE(dim.ok());
    auto bounds = (*dim)->sheets[0]->contentBounds();
    ASSERT_TRUE(bounds.has_value());
    EXPECT_GE(bounds->lastRow, 9u);
    auto shared = ss::openWorkbook(corpus / "xlsx/shared_formulas.xlsx");
    ASSERT_TRUE(shared.ok());
    size_t formulas = 0;
    for (auto& s : (*shared)->sheets) formulas += s->formulas().size();
    EXPECT_GT(formulas, 1u);
    auto d1904 = ss::openWorkbook(corpus / "xlsx/1904.xlsx");
    ASSERT_TRUE(d1904.ok());
    EXPECT_TRUE((*d1904)->date1904);
    auto strict = ss::openWorkbook(corpus / "xlsx/SampleSS.strict.xlsx");
    ASSERT_TRUE(strict.ok());
    EXPECT_EQ((*strict)->sheets.size(), 3u);
    EXPECT_GT((*strict)->sheets[0]->cellCount(), 0u);
}

}  // namespace

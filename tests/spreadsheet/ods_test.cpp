#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "spreadsheet/ods/ods.h"
#include "spreadsheet/ods/ods_internal.h"
#include "spreadsheet/xlsx/xlsx.h"

namespace fs = std::filesystem;

namespace {

using Parts = std::vector<std::pair<std::string, std::string>>;

const char* kMime = "application/vnd.oasis.opendocument.spreadsheet";

struct Scratch {
    fs::path dir = fs::temp_directory_path() / ("tw_ods_test_" + std::to_string(::getpid()));
    Scratch() { fs::create_directories(dir); }
    ~Scratch() { fs::remove_all(dir); }
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A zip of the parts in their order (the first stored, as the format asks of "mimetype").
void writeZip(const fs::path& path, const Parts& parts) {
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    for (const auto& [name, data] : parts) {
        zip_source_t* s = zip_source_buffer(z, data.data(), data.size(), 0);
        zip_int64_t i = zip_file_add(z, name.c_str(), s, ZIP_FL_ENC_UTF_8);
        ASSERT_GE(i, 0);
        zip_set_file_compression(z, zip_uint64_t(i),
                                 name == "mimetype" ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 9);
    }
    ASSERT_EQ(zip_close(z), 0);
}

std::string zipBytes(const Parts& parts) {
    Scratch s;
    writeZip(s.dir / "p.zip", parts);
    return slurp(s.dir / "p.zip");
}

const std::string kNs =
    "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
    "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
    "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
    "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
    "xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\" "
    "xmlns:number=\"urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0\" "
    "xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
    "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
    "xmlns:calcext=\"urn:org:documentfoundation:names:experimental:calc:xmlns:calcext:1.0\"";

std::string content(const std::string& styles, const std::string& body,
                    const std::string& settings = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-content " + kNs +
           "><office:automatic-styles>" + styles +
           "</office:automatic-styles><office:body><office:spreadsheet>" + settings + body +
           "</office:spreadsheet></office:body></office:document-content>";
}

std::string table(const std::string& name, const std::string& rows) {
    return "<table:table table:name=\"" + name + "\">" + rows + "</table:table>";
}

Parts package(const std::string& contentXml) {
    return {{"mimetype", kMime}, {"content.xml", contentXml}};
}

ss::Result<std::unique_ptr<ss::Workbook>> readParts(const Parts& parts,
                                                    const ss::ReadLimits& limits = {}) {
    std::string bytes = zipBytes(parts);
    return ss::readOdsMemory(bytes.data(), bytes.size(), limits);
}

std::unique_ptr<ss::Workbook> readOk(const std::string& contentXml) {
    auto wb = readParts(package(contentXml));
    EXPECT_TRUE(wb.ok()) << (wb.ok() ? "" : wb.message());
    return wb.ok() ? std::move(wb.value()) : nullptr;
}

std::string formatOf(const ss::Workbook& wb, const ss::Cell& c) {
    return wb.styles.numberFormatCode(wb.styles.cellXfs[c.style].numFmtId);
}

const ss::Font& fontOf(const ss::Workbook& wb, const ss::Cell& c) {
    return wb.styles.fonts[wb.styles.cellXfs[c.style].fontId];
}

TEST(OdsRead, ValueTypesBecomeValuesWithTheirFormats) {
    struct Case {
        std::string cell;
        ss::CellType type;
        std::string text;  // Workbook::cellText
        std::string format;
        double number = 0;
    };
    const std::string span = "<text:span>f</text:span><text:a xlink:href=\"http://x\">g</text:a>";
    const std::vector<Case> cases = {
        {"office:value-type=\"float\" office:value=\"1.5\"><text:p>1,50</text:p>",
         ss::CellType::Number, "1.5", "General", 1.5},
        {"table:style-name=\"gen\" office:value-type=\"float\" office:value=\"1.25\">",
         ss::CellType::Number, "1.25", "General", 1.25},
        {"office:value-type=\"percentage\" office:value=\"0.25\">", ss::CellType::Number, "0.25",
         "0%", 0.25},
        {"table:style-name=\"pct\" office:value-type=\"percentage\" office:value=\"0.25\">",
         ss::CellType::Number, "0.25", "0.00%", 0.25},
        {"office:value-type=\"currency\" office:currency=\"EUR\" office:value=\"-12.5\">",
         ss::CellType::Number, "-12.5", "#,##0.00", -12.5},
        {"office:value-type=\"date\" office:date-value=\"2024-01-15\">", ss::CellType::Number,
         "2024-01-15", "yyyy-mm-dd", 45306},
        {"office:value-type=\"date\" office:date-value=\"2024-01-15T10:30:00\">",
         ss::CellType::Number, "2024-01-15 10:30:00", "yyyy-mm-dd hh:mm:ss", 45306.4375},
        // The 1900 date system counts a 29 February 1900: days before March are one less.
        {"office:value-type=\"date\" office:date-value=\"1900-02-28\">", ss::CellType::Number,
         "1900-02-28", "yyyy-mm-dd", 59},
        {"office:value-type=\"date\" office:date-value=\"1900-03-01\">", ss::CellType::Number,
         "1900-03-01", "yyyy-mm-dd", 61},
        {"office:value-type=\"date\" office:date-value=\"1812-06-24\">", ss::CellType::String,
         "1812-06-24", "General"},
        {"table:style-name=\"ymd\" office:value-type=\"date\" office:date-value=\"2024-03-05\">",
         ss::CellType::Number, "2024-03-05", "yyyy\"年\"m\"月\"d\"日\"", 45356},
        {"office:value-type=\"time\" office:time-value=\"PT10H30M00S\">", ss::CellType::Number,
         "1900-01-00 10:30:00", "hh:mm:ss", 0.4375},
        {"office:value-type=\"time\" office:time-value=\"PT36H00M00S\">", ss::CellType::Number,
         "1900-01-01 12:00:00", "[h]:mm:ss", 1.5},
        {"office:value-type=\"boolean\" office:boolean-value=\"true\">", ss::CellType::Boolean,
         "TRUE", "General"},
        {"office:value-type=\"string\"><text:p>a<text:s text:c=\"3\"/>b<text:tab/>c</text:p>"
         "<text:p>d<text:line-break/>e " +
             span + "</text:p>",
         ss::CellType::String, "a   b\tc\nd\ne fg", "General"},
        {"office:value-type=\"string\"><office:annotation office:display=\"true\">"
         "<dc:creator>王五</dc:creator><dc:date>2024-01-01T00:00:00</dc:date><text:p>note"
         "<text:s/>1</text:p><text:p><text:span>line</text:span> 2</text:p>"
         "</office:annotation><text:p>shown</text:p>",
         ss::CellType::String, "shown", "General"},
        {"office:value-type=\"string\" office:string-value=\"attr\"><text:p>para</text:p>",
         ss::CellType::String, "attr", "General"},
        {"table:formula=\"of:=ISNA([.A1])\" office:value-type=\"float\" office:value=\"0\">"
         "<text:p>FALSE</text:p>",
         ss::CellType::Boolean, "FALSE", "General"},
        {"table:formula=\"of:=1/0\" office:value-type=\"string\" office:string-value=\"\" "
         "calcext:value-type=\"error\"><text:p>#DIV/0!</text:p>",
         ss::CellType::Error, "#DIV/0!", "General"},
    };
    const std::string styles =
        "<number:percentage-style style:name=\"N11\"><number:number number:decimal-places=\"2\" "
        "number:min-integer-digits=\"1\"/><number:text>%</number:text></number:percentage-style>"
        "<number:date-style style:name=\"N80\"><number:year number:style=\"long\"/>"
        "<number:text>年</number:text><number:month/><number:text>月</number:text><number:day/>"
        "<number:text>日</number:text></number:date-style>"
        "<number:number-style style:name=\"N0\"><number:number number:min-integer-digits=\"1\"/>"
        "</number:number-style><style:style style:name=\"gen\" style:family=\"table-cell\" "
        "style:data-style-name=\"N0\"/>"
        "<style:style style:name=\"pct\" style:family=\"table-cell\" "
        "style:data-style-name=\"N11\"/>"
        "<style:style style:name=\"ymd\" style:family=\"table-cell\" "
        "style:data-style-name=\"N80\"/>";
    std::string rows;
    for (const Case& c : cases)
        rows += "<table:table-row><table:table-cell " + c.cell +
                "</table:table-cell></table:table-row>";
    auto wb = readOk(content(styles, table("V", rows)));
    ASSERT_TRUE(wb);
    const ss::Worksheet& ws = *wb->sheets[0];
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].cell);
        const ss::Cell* c = ws.find(uint32_t(i + 1), 1);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->type, cases[i].type);
        EXPECT_EQ(wb->cellText(*c), cases[i].text);
        EXPECT_EQ(formatOf(*wb, *c), cases[i].format);
        if (c->type == ss::CellType::Number) {
            EXPECT_DOUBLE_EQ(c->number, cases[i].number);
        }
    }
    EXPECT_FALSE(wb->date1904);
    // The note of the cell that has one.
    ASSERT_EQ(ws.notes.size(), 1u);
    EXPECT_EQ(ws.notes[0].author, "王五");
    EXPECT_EQ(ws.notes[0].textXml, "<text><t xml:space=\"preserve\">note 1\nline 2</t></text>");
    EXPECT_TRUE(ws.notes[0].visible);
    EXPECT_EQ(ws.notes[0].col, 1u);
    EXPECT_EQ(ws.find(ws.notes[0].row, 1)->type, ss::CellType::String);
    EXPECT_EQ(wb->cellText(*ws.find(ws.notes[0].row, 1)), "shown");
}

TEST(OdsRead, NullDateOf1904ChoosesThatDateSystem) {
    auto wb = readOk(
        content("",
                table("D",
                      "<table:table-row><table:table-cell office:value-type=\"date\" "
                      "office:date-value=\"2024-01-15\"/></table:table-row>"),
                "<table:calculation-settings><table:null-date table:date-value=\"1904-01-01\"/>"
                "</table:calculation-settings>"));
    ASSERT_TRUE(wb);
    EXPECT_TRUE(wb->date1904);
    const ss::Cell* c = wb->sheets[0]->find(1, 1);
    ASSERT_NE(c, nullptr);
    EXPECT_DOUBLE_EQ(c->number, 45306 - 1462);
    EXPECT_EQ(wb->cellText(*c), "2024-01-15");
}

// Repeats as the other application writes them: to the end of the sheet in both directions.
TEST(OdsRead, RepeatsExpandOnlyWhatHoldsSomething) {
    const std::string styles =
        "<style:style style:name=\"b\" style:family=\"table-cell\"><style:text-properties "
        "fo:font-weight=\"bold\"/></style:style>";
    const std::string rows =
        "<table:table-column table:number-columns-repeated=\"16384\"/>"
        "<table:table-row table:number-rows-repeated=\"2\">"
        "<table:table-cell office:value-type=\"float\" office:value=\"7\" "
        "table:number-columns-repeated=\"3\"/>"
        "<table:table-cell table:formula=\"of:=[.A1]*2\" office:value-type=\"float\" "
        "office:value=\"14\"/>"
        "<table:table-cell table:number-columns-repeated=\"16380\"/></table:table-row>"
        "<table:table-row><table:table-cell table:style-name=\"b\" "
        "table:number-columns-repeated=\"16384\"/></table:table-row>"
        "<table:table-row table:number-rows-repeated=\"1048572\">"
        "<table:table-cell table:number-columns-repeated=\"16384\"/></table:table-row>"
        "<table:table-row><table:table-cell table:number-columns-repeated=\"16384\"/>"
        "</table:table-row>";
    auto wb = readOk(content(styles, table("R", rows)));
    ASSERT_TRUE(wb);
    const ss::Worksheet& ws = *wb->sheets[0];
    ASSERT_EQ(ws.rows().size(), 3u);
    EXPECT_EQ(ws.cellCount(), 8u);
    for (uint32_t r : {1u, 2u}) {
        for (uint32_t c : {1u, 2u, 3u}) {
            ASSERT_NE(ws.find(r, c), nullptr);
            EXPECT_EQ(ws.find(r, c)->number, 7);
        }
        ASSERT_NE(ws.formula(r, 4), nullptr);
        EXPECT_EQ(ws.formula(r, 4)->text, "A1*2");
    }
    // A formatted blank run to the last column is the row's format, not 16,384 cells.
    const ss::Row& third = ws.rows()[2];
    EXPECT_EQ(third.index, 3u);
    EXPECT_TRUE(third.cells.empty());
    EXPECT_TRUE(third.customFormat);
    EXPECT_TRUE(wb->styles.fonts[wb->styles.cellXfs[third.style].fontId].bold);
    EXPECT_TRUE(wb->readNotes.empty());
}

TEST(OdsRead, ContentPastTheSheetsEdgeIsNamed) {
    const std::string cols =
        "<table:table-row><table:table-cell table:number-columns-repeated=\"16383\"/>"
        "<table:table-cell office:value-type=\"float\" office:value=\"1\" "
        "table:number-columns-repeated=\"2\"/></table:table-row>";
    const std::string rows =
        "<table:table-row table:number-rows-repeated=\"1048575\"><table:table-cell/>"
        "</table:table-row><table:table-row table:number-rows-repeated=\"3\">"
        "<table:table-cell office:value-type=\"float\" office:value=\"2\"/></table:table-row>"
        "<table:table-row><table:table-cell office:value-type=\"float\" office:value=\"3\"/>"
        "</table:table-row>";
    auto wb = readOk(content("", table("C", cols) + table("R", rows)));
    ASSERT_TRUE(wb);
    EXPECT_EQ(wb->sheets[0]->cellCount(), 1u);
    EXPECT_EQ(wb->sheets[1]->cellCount(), 1u);
    ASSERT_NE(wb->sheets[1]->find(1048576, 1), nullptr);
    ASSERT_EQ(wb->readNotes.size(), 2u);
    EXPECT_TRUE(wb->readNotes[0].starts_with("[C] XFD1 ")) << wb->readNotes[0];
    EXPECT_TRUE(wb->readNotes[1].starts_with("[R] A1048576 ")) << wb->readNotes[1];
}

TEST(OdsRead, ActiveTableAndFrozenPanesFromTheSettings) {
    auto item = [](const std::string& name, const std::string& value) {
        return "<config:config-item config:name=\"" + name + "\" config:type=\"int\">" + value +
               "</config:config-item>";
    };
    auto entry = [&](const std::string& sheet, int hMode, int hPos, int vMode, int vPos) {
        return "<config:config-item-map-entry config:name=\"" + sheet + "\">" +
               item("HorizontalSplitMode", std::to_string(hMode)) +
               item("VerticalSplitMode", std::to_string(vMode)) +
               item("HorizontalSplitPosition", std::to_string(hPos)) +
               item("VerticalSplitPosition", std::to_string(vPos)) +
               "</config:config-item-map-entry>";
    };
    const std::string settings =
        "<office:document-settings "
        "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:config=\"urn:oasis:names:tc:opendocument:xmlns:config:1.0\"><office:settings>"
        "<config:config-item-set config:name=\"ooo:view-settings\">"
        "<config:config-item-map-indexed config:name=\"Views\"><config:config-item-map-entry>" +
        item("ActiveTable", "二") + "<config:config-item-map-named config:name=\"Tables\">" +
        entry("一", 2, 1, 2, 3) + entry("二", 1, 4, 0, 0) +
        "</config:config-item-map-named></config:config-item-map-entry>"
        "</config:config-item-map-indexed></config:config-item-set></office:settings>"
        "</office:document-settings>";
    Parts parts = package(content("", table("一", "") + table("二", "")));
    parts.emplace_back("settings.xml", settings);
    auto wb = readParts(parts);
    ASSERT_TRUE(wb.ok()) << wb.message();
    EXPECT_EQ((*wb)->activeSheet, 1u);
    EXPECT_EQ((*wb)->sheets[0]->frozenRows, 3u);
    EXPECT_EQ((*wb)->sheets[0]->frozenCols, 1u);
    // A split that is not frozen (mode 1) is a view the model does not keep.
    EXPECT_EQ((*wb)->sheets[1]->frozenRows, 0u);
    EXPECT_EQ((*wb)->sheets[1]->frozenCols, 0u);
}

TEST(OdsRead, SpannedCellsAreMergedAndCoveredValuesKept) {
    const std::string rows =
        "<table:table-row><table:table-cell table:number-columns-spanned=\"3\" "
        "table:number-rows-spanned=\"2\" office:value-type=\"string\"><text:p>m</text:p>"
        "</table:table-cell><table:covered-table-cell table:number-columns-repeated=\"2\"/>"
        "<table:table-cell office:value-type=\"float\" office:value=\"4\"/></table:table-row>"
        "<table:table-row><table:covered-table-cell/><table:covered-table-cell "
        "office:value-type=\"float\" office:value=\"9\"/><table:covered-table-cell/>"
        "<table:table-cell table:number-columns-spanned=\"2\" office:value-type=\"float\" "
        "office:value=\"5\"/><table:covered-table-cell/></table:table-row>";
    auto wb = readOk(content("", table("M", rows)));
    ASSERT_TRUE(wb);
    const ss::Worksheet& ws = *wb->sheets[0];
    ASSERT_EQ(ws.merges.size(), 2u);
    EXPECT_EQ(ws.merges[0].toA1(), "A1:C2");
    EXPECT_EQ(ws.merges[1].toA1(), "D2:E2");
    EXPECT_EQ(ws.find(1, 4)->number, 4);
    EXPECT_EQ(ws.find(2, 2)->number, 9);  // a value under the merge stays, as it would in .xlsx
    EXPECT_EQ(ws.find(2, 4)->number, 5);
}

TEST(OdsFormula, TranslatesToA1) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"of:=SUM([.A1:.B2])", "SUM(A1:B2)"},
        {"of:=[$Sheet2.A1]+[.$B$3]", "Sheet2!A1+$B$3"},
        {"of:=SUM([$'My sheet'.$A$1:.B2])", "SUM('My sheet'!$A$1:B2)"},
        {"of:=[$'It''s'.A1]", "'It''s'!A1"},
        {"of:=[$数据.C3]", "数据!C3"},
        {"of:=[$A1.B2]", "'A1'!B2"},  // a sheet whose name reads as a cell
        {"of:=SUM([.A:.A])", "SUM(A:A)"},
        {"of:=IF([.A1]>1;\"a;b\";\"c\")", "IF(A1>1,\"a;b\",\"c\")"},
        {"of:=SUM({1;2|3;4})", "SUM({1,2;3,4})"},
        {"of:=COM.MICROSOFT.CONCAT([.A1];\"x\")", "_xlfn.CONCAT(A1,\"x\")"},
        {"of:=IFNA([.A1];0)", "_xlfn.IFNA(A1,0)"},
        {"of:=CEILING.XCL([.A1];2)", "CEILING(A1,2)"},
        {"of:=COM.MICROSOFT.CEILING([.A1];2)", "CEILING(A1,2)"},
        {"of:=MyUdf([.A1])+sum([.B1])", "MyUdf(A1)+sum(B1)"},
        {"of:=[.#REF!]+1", "#REF!+1"},
        {"of:=1.5E+3*-2%", "1.5E+3*-2%"},
        {"msoxl:=SUM(A1:B2)", "SUM(A1:B2)"},
        {"of:=ORG.OPENOFFICE.EASTERSUNDAY(2024)", ""},
        {"of:=['file:///tmp/x.ods'#$Sheet1.A1]", ""},
        {"of:=SUM([$Sheet1.A1:$Sheet3.A1])", ""},
        {"of:=([.A1]~[.B1])", ""},
        {"xyz:=1", ""},
    };
    for (const auto& [in, want] : cases) {
        SCOPED_TRACE(in);
        auto got = ss::ods::formulaToA1(in);
        if (want.empty())
            EXPECT_FALSE(got) << *got;
        else
            EXPECT_EQ(got.value_or("<none>"), want);
    }
}

TEST(OdsRead, FormulasAndNamesWithoutCounterpartAreNamed) {
    const std::string rows =
        "<table:table-row><table:table-cell office:value-type=\"float\" office:value=\"1\"/>"
        "<table:table-cell table:formula=\"of:=ORG.OPENOFFICE.EASTERSUNDAY(2024)\" "
        "office:value-type=\"date\" office:date-value=\"2024-03-31\"/></table:table-row>"
        "<table:named-expressions><table:named-range table:name=\"First\" "
        "table:base-cell-address=\"$F.$A$1\" table:cell-range-address=\"$F.$A$1\"/>"
        "</table:named-expressions>";
    const std::string names =
        "<table:named-expressions><table:named-range table:name=\"Total\" "
        "table:base-cell-address=\"$F.$A$1\" table:cell-range-address=\"$F.$A$1:.$B$1\"/>"
        "<table:named-expression table:name=\"Twice\" table:base-cell-address=\"$F.$A$1\" "
        "table:expression=\"of:=[$F.$A$1]*2\"/><table:named-expression table:name=\"Easter\" "
        "table:base-cell-address=\"$F.$A$1\" "
        "table:expression=\"of:=ORG.OPENOFFICE.EASTERSUNDAY(2024)\"/>"
        "<table:named-expression table:name=\"Gone\" table:expression=\"#REF!\"/>"
        "</table:named-expressions>";
    auto wb = readOk(content("", table("F", rows) + names));
    ASSERT_TRUE(wb);
    const ss::Cell* c = wb->sheets[0]->find(1, 2);
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(c->hasFormula());
    EXPECT_EQ(wb->cellText(*c), "2024-03-31");
    ASSERT_EQ(wb->names.size(), 4u);
    EXPECT_EQ(wb->names[3].formula, "#REF!");
    EXPECT_EQ(wb->names[0].name, "First");
    EXPECT_EQ(wb->names[0].formula, "F!$A$1");
    EXPECT_EQ(wb->names[0].localSheet, 0u);
    EXPECT_EQ(wb->names[1].name, "Total");
    EXPECT_EQ(wb->names[1].formula, "F!$A$1:$B$1");
    EXPECT_FALSE(wb->names[1].localSheet);
    EXPECT_EQ(wb->names[2].formula, "F!$A$1*2");
    ASSERT_EQ(wb->readNotes.size(), 2u);
    EXPECT_TRUE(wb->readNotes[0].starts_with("[F] B1 ")) << wb->readNotes[0];
    EXPECT_NE(wb->readNotes[1].find("Easter"), std::string::npos) << wb->readNotes[1];
}

TEST(OdsRead, CellStylesColumnsAndRows) {
    const std::string styles =
        "<number:number-style style:name=\"N4\"><number:number number:decimal-places=\"2\" "
        "number:min-decimal-places=\"2\" number:min-integer-digits=\"1\" "
        "number:grouping=\"true\"/></number:number-style>"
        "<number:number-style style:name=\"N9P0\"><number:text>$</number:text><number:number "
        "number:decimal-places=\"2\" number:min-integer-digits=\"1\"/></number:number-style>"
        "<number:number-style style:name=\"N9\"><style:text-properties fo:color=\"#ff0000\"/>"
        "<number:text>-$</number:text><number:number number:decimal-places=\"2\" "
        "number:min-integer-digits=\"1\"/><style:map style:condition=\"value()&gt;=0\" "
        "style:apply-style-name=\"N9P0\"/></number:number-style>"
        "<style:style style:name=\"co1\" style:family=\"table-column\">"
        "<style:table-column-properties style:column-width=\"2in\"/></style:style>"
        "<style:style style:name=\"ro1\" style:family=\"table-row\">"
        "<style:table-row-properties style:row-height=\"0.5in\" "
        "style:use-optimal-row-height=\"false\"/></style:style>"
        "<style:style style:name=\"ro2\" style:family=\"table-row\">"
        "<style:table-row-properties style:row-height=\"0.5in\" "
        "style:use-optimal-row-height=\"true\"/></style:style>"
        "<style:style style:name=\"ce1\" style:family=\"table-cell\" "
        "style:data-style-name=\"N4\"><style:table-cell-properties fo:background-color=\"#ffff00\" "
        "fo:wrap-option=\"wrap\" fo:border=\"0.74pt solid #000000\" "
        "fo:border-bottom=\"2.5pt solid #0000ff\" style:vertical-align=\"middle\"/>"
        "<style:paragraph-properties fo:text-align=\"center\"/><style:text-properties "
        "fo:font-weight=\"bold\" fo:font-style=\"italic\" fo:color=\"#ff0000\" "
        "fo:font-size=\"14pt\" style:text-underline-style=\"solid\"/></style:style>"
        "<style:style style:name=\"ce2\" style:family=\"table-cell\" "
        "style:parent-style-name=\"ce1\" style:data-style-name=\"N9\">"
        "<style:text-properties fo:font-weight=\"normal\"/></style:style>"
        "<style:style style:name=\"ta2\" style:family=\"table\"><style:table-properties "
        "table:display=\"false\"/></style:style>";
    const std::string rows =
        "<table:table-column table:style-name=\"co1\"/>"
        "<table:table-column table:visibility=\"collapse\" table:number-columns-repeated=\"2\"/>"
        "<table:table-column table:default-cell-style-name=\"ce1\"/>"
        "<table:table-row table:style-name=\"ro1\"><table:table-cell table:style-name=\"ce1\" "
        "office:value-type=\"float\" office:value=\"1234.5\"/><table:table-cell "
        "table:style-name=\"ce2\" office:value-type=\"float\" office:value=\"-3\"/>"
        "<table:table-cell/><table:table-cell office:value-type=\"float\" office:value=\"8\"/>"
        "</table:table-row>"
        "<table:table-row table:style-name=\"ro2\" table:visibility=\"collapse\" "
        "table:number-rows-repeated=\"2\"><table:table-cell/></table:table-row>"
        "<table:table-row table:style-name=\"ro2\"><table:table-cell office:value-type=\"float\" "
        "office:value=\"1\"/></table:table-row>";
    auto wb = readOk(content(
        styles, table("S", rows) + "<table:table table:name=\"H\" table:style-name=\"ta2\"/>"));
    ASSERT_TRUE(wb);
    ASSERT_EQ(wb->sheets.size(), 2u);
    EXPECT_EQ(wb->sheets[0]->state, ss::SheetState::Visible);
    EXPECT_EQ(wb->sheets[1]->state, ss::SheetState::Hidden);
    const ss::Worksheet& ws = *wb->sheets[0];
    const ss::Cell& a = *ws.find(1, 1);
    const ss::Font& f = fontOf(*wb, a);
    EXPECT_TRUE(f.bold && f.italic);
    EXPECT_EQ(f.underline, "single");
    EXPECT_EQ(f.size, 14);
    EXPECT_EQ(f.color, ss::Color::rgb(0xFFFF0000));
    const ss::CellFormat& xf = wb->styles.cellXfs[a.style];
    EXPECT_EQ(wb->styles.fills[xf.fillId].patternType, "solid");
    EXPECT_EQ(wb->styles.fills[xf.fillId].fg, ss::Color::rgb(0xFFFFFF00));
    EXPECT_EQ(xf.alignment.horizontal, "center");
    EXPECT_EQ(xf.alignment.vertical, "center");
    EXPECT_TRUE(xf.alignment.wrapText);
    const ss::Border& b = wb->styles.borders[xf.borderId];
    EXPECT_EQ(b.left.style, "thin");
    EXPECT_EQ(b.bottom.style, "thick");
    EXPECT_EQ(b.bottom.color, ss::Color::rgb(0xFF0000FF));
    EXPECT_EQ(formatOf(*wb, a), "#,##0.00");
    // The child style keeps its parent's fill and takes its own weight and number format.
    const ss::Cell& b1 = *ws.find(1, 2);
    EXPECT_FALSE(fontOf(*wb, b1).bold);
    EXPECT_TRUE(fontOf(*wb, b1).italic);
    EXPECT_EQ(wb->styles.cellXfs[b1.style].fillId, xf.fillId);
    EXPECT_EQ(formatOf(*wb, b1), "$0.00;[Red]-$0.00");

    // A cell without a style of its own takes its column's.
    ASSERT_EQ(ws.columns.size(), 3u);
    EXPECT_EQ(ws.columns[2].first, 4u);
    EXPECT_EQ(ws.columns[2].style, a.style);
    EXPECT_EQ(ws.find(1, 3), nullptr);
    EXPECT_EQ(ws.find(1, 4)->style, a.style);
    EXPECT_NEAR(ws.columns[0].width, 144.0 / 7, 0.01);
    EXPECT_TRUE(ws.columns[0].customWidth);
    EXPECT_FALSE(ws.columns[0].hidden);
    EXPECT_EQ(ws.columns[1].first, 2u);
    EXPECT_EQ(ws.columns[1].last, 3u);
    EXPECT_TRUE(ws.columns[1].hidden);
    const ss::Row* r1 = ws.findRow(1);
    ASSERT_NE(r1, nullptr);
    EXPECT_TRUE(r1->customHeight);
    EXPECT_FLOAT_EQ(r1->height, 36);
    for (uint32_t r : {2u, 3u}) {
        ASSERT_NE(ws.findRow(r), nullptr);
        EXPECT_TRUE(ws.findRow(r)->hidden);
        EXPECT_FALSE(ws.findRow(r)->customHeight);  // optimal height: not a height of its own
    }
    ASSERT_NE(ws.find(4, 1), nullptr);
    EXPECT_FALSE(ws.findRow(4)->hidden);
}

TEST(OdsRead, HostileDocumentsAreRefusedQuickly) {
    const std::string bombRows =
        "<table:table-row table:number-rows-repeated=\"1048576\"><table:table-cell "
        "office:value-type=\"float\" office:value=\"1\" "
        "table:number-columns-repeated=\"16384\"/></table:table-row>";
    std::string deep = "<table:table-row><table:table-cell office:value-type=\"string\"><text:p>";
    for (int i = 0; i < 5000; ++i) deep += "<text:span>";
    std::string bomb = content("", table("B", ""));
    bomb.insert(bomb.find("?>") + 2, std::string(48u << 20, ' '));
    struct Case {
        const char* name;
        Parts parts;
        ss::ReadLimits limits;
        const char* reason;
    };
    ss::ReadLimits small;
    small.maxPartBytes = 4096;
    const std::vector<Case> cases = {
        {"repeat", package(content("", table("R", bombRows))), {}, "重复的单元格"},
        {"depth", package(content("", table("D", deep))), {}, "嵌套"},
        {"dtd",
         package("<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"aaaa\">]>"
                 "<office:document-content " +
                 kNs + ">&a;</office:document-content>"),
         {},
         "DTD"},
        {"ratio", package(bomb), {}, "压缩炸弹"},
        {"size", package(content("", table("S", std::string(8192, ' ')))), small, "过大"},
        {"broken", package(content("", "<table:table>")), {}, "XML"},
        {"encrypted",
         {{"mimetype", kMime},
          {"content.xml", "\x8b\x12 not xml"},
          {"META-INF/manifest.xml",
           "<manifest:manifest "
           "xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\">"
           "<manifest:file-entry manifest:full-path=\"content.xml\"><manifest:encryption-data/>"
           "</manifest:file-entry></manifest:manifest>"}},
         {},
         "已加密"},
        {"not a spreadsheet",
         {{"mimetype", "application/vnd.oasis.opendocument.text"}, {"content.xml", "<x/>"}},
         {},
         "不是电子表格"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = zipBytes(c.parts);
        const auto start = std::chrono::steady_clock::now();
        auto wb = ss::readOdsMemory(bytes.data(), bytes.size(), c.limits);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_FALSE(wb.ok());
        EXPECT_NE(wb.message().find(c.reason), std::string::npos) << wb.message();
        EXPECT_LT(seconds, 2.0);
    }
}

// Each <text:s text:c="1024"/> is a kilobyte of spaces in a few bytes of markup: the text stops
// a little past what a cell holds (the rest is cut, and named, when the workbook is fitted).
TEST(OdsRead, SpacesOfACellStopPastItsLimit) {
    std::string rows = "<table:table-row><table:table-cell office:value-type=\"string\"><text:p>";
    for (int i = 0; i < 200000; ++i) rows += "<text:s text:c=\"1024\"/>";
    rows += "</text:p></table:table-cell></table:table-row>";
    auto wb = readOk(content("", table("S", rows)));
    ASSERT_TRUE(wb);
    const ss::Cell* c = wb->sheets[0]->find(1, 1);
    ASSERT_NE(c, nullptr);
    const size_t size = wb->strings.text(c->sst).size();
    EXPECT_GT(size, ss::kMaxCellTextUnits);
    EXPECT_LT(size, 4 * ss::kMaxCellTextUnits + 2048);
}

TEST(OdsRead, RepeatedBlankFormatsStayWithinTheirBudget) {
    const std::string styles =
        "<style:style style:name=\"f\" style:family=\"table-cell\"><style:table-cell-properties "
        "fo:background-color=\"#ffff00\"/></style:style>";
    const std::string rows =
        "<table:table-row table:number-rows-repeated=\"1048576\"><table:table-cell "
        "table:style-name=\"f\" table:number-columns-repeated=\"200\"/></table:table-row>";
    const auto start = std::chrono::steady_clock::now();
    auto wb = readOk(content(styles, table("Y", rows)));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
    ASSERT_TRUE(wb);
    EXPECT_LE(wb->sheets[0]->cellCount(), 1'100'000u);
    ASSERT_EQ(wb->readNotes.size(), 1u);
    EXPECT_TRUE(wb->readNotes[0].starts_with("[Y] A2 ")) << wb->readNotes[0];
}

TEST(OdsPackage, RecognisedByItsMimetype) {
    const std::string c = content("", table("A", ""));
    struct Case {
        const char* name;
        Parts parts;
        bool spreadsheet;
    };
    const std::vector<Case> cases = {
        {"first", {{"mimetype", kMime}, {"content.xml", c}}, true},
        {"template",
         {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet-template"},
          {"content.xml", c}},
         true},
        {"elsewhere", {{"content.xml", c}, {"mimetype", kMime}}, true},
        {"elsewhere without content", {{"styles.xml", c}, {"mimetype", kMime}}, false},
        {"text document",
         {{"mimetype", "application/vnd.oasis.opendocument.text"}, {"content.xml", c}},
         false},
        {"no mimetype", {{"content.xml", c}}, false},
    };
    Scratch s;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        writeZip(s.dir / "t.ods", k.parts);
        EXPECT_EQ(ss::isOdsPackage(s.dir / "t.ods"), k.spreadsheet);
        EXPECT_EQ(ss::readOds(s.dir / "t.ods").ok(), k.spreadsheet);
    }
    std::ofstream(s.dir / "plain.ods") << "not a zip";
    EXPECT_FALSE(ss::isOdsPackage(s.dir / "plain.ods"));
    auto bad = ss::readOds(s.dir / "plain.ods");
    ASSERT_FALSE(bad.ok());
    EXPECT_NE(bad.message().find((s.dir / "plain.ods").string()), std::string::npos);
}

// The other application's own .ods of a workbook we wrote as .xlsx reads back as that workbook.
class OdsFromOffice : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (std::system("command -v soffice >/dev/null 2>&1") != 0) return;
        dir_ = new Scratch;
        auto wb = ss::Workbook::createDefault();
        ss::Worksheet& ws = *wb->sheets[0];
        ws.name = "数据";
        ss::Worksheet& other = wb->addSheet("Other sheet");
        other.setNumber(1, 1, 3);
        ss::Font bold;
        bold.bold = true;
        ss::CellFormat boldXf;
        boldXf.fontId = wb->styles.internFont(bold);
        boldXf.applyFont = true;
        const uint32_t boldStyle = wb->styles.internCellFormat(boldXf);
        ss::CellFormat dateXf;
        dateXf.numFmtId = wb->styles.internNumberFormat("yyyy-mm-dd");
        dateXf.applyNumberFormat = true;
        const uint32_t dateStyle = wb->styles.internCellFormat(dateXf);
        for (uint32_t r = 1; r <= 40; ++r) {
            ws.setNumber(r, 1, r * 1.25);
            ws.setString(r, 2, wb->strings.add("行 " + std::to_string(r % 7)), boldStyle);
            ws.setNumber(r, 3, 45000 + r, dateStyle);
            ws.setBoolean(r, 4, r % 2);
            ws.setNumber(r, 5, r * 1.25 * 2);
            ss::Formula f;
            f.text = "A" + std::to_string(r) + "*2";
            ws.setFormula(r, 5, f);
        }
        ws.setNumber(41, 1, 3);
        ss::Formula cross;
        cross.text = "SUM(A1:A40)+'Other sheet'!A1";
        ws.setFormula(41, 1, cross);
        ws.merges.push_back({43, 1, 44, 3});
        ws.setString(43, 1, wb->strings.add("merged"));
        ws.row(42).hidden = true;
        ss::ColumnInfo wide;
        wide.first = wide.last = 2;
        wide.width = 20;
        wide.customWidth = true;
        ss::ColumnInfo hidden;
        hidden.first = hidden.last = 6;
        hidden.hidden = true;
        ws.columns = {wide, hidden};
        ss::CellNote note;
        note.row = 2;
        note.col = 2;
        note.textXml = "<text><t xml:space=\"preserve\">备注</t></text>";
        ws.notes.push_back(note);
        ASSERT_TRUE(ss::writeXlsx(*wb, dir_->dir / "src.xlsx").ok());
        const std::string cmd = "cd '" + dir_->dir.string() + "' && HOME='" + dir_->dir.string() +
                                "' timeout 180 soffice --headless --convert-to ods --outdir . "
                                "src.xlsx >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0 || !fs::exists(dir_->dir / "src.ods")) return;
        converted_ = true;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static inline Scratch* dir_ = nullptr;
    static inline bool converted_ = false;
};

TEST_F(OdsFromOffice, ReadsBackAsTheWorkbookItWasMadeFrom) {
    if (!converted_) GTEST_SKIP() << "soffice is not installed or could not convert";
    auto ods = ss::readOds(dir_->dir / "src.ods");
    ASSERT_TRUE(ods.ok()) << ods.message();
    auto xlsx = ss::readXlsx(dir_->dir / "src.xlsx");
    ASSERT_TRUE(xlsx.ok());
    const ss::Workbook& a = **xlsx;
    const ss::Workbook& b = **ods;
    ASSERT_EQ(b.sheets.size(), a.sheets.size());
    for (size_t s = 0; s < a.sheets.size(); ++s) {
        const ss::Worksheet& wa = *a.sheets[s];
        const ss::Worksheet& wb = *b.sheets[s];
        EXPECT_EQ(wb.name, wa.name);
        EXPECT_EQ(wb.merges, wa.merges);
        for (const ss::Row& row : wa.rows()) {
            const ss::Row* other = wb.findRow(row.index);
            ASSERT_NE(other, nullptr) << row.index;
            EXPECT_EQ(other->hidden, row.hidden) << row.index;
            for (const ss::Cell& c : row.cells) {
                SCOPED_TRACE(wa.name + "!" + ss::cellName(row.index, c.col));
                const ss::Cell* d = wb.find(row.index, c.col);
                ASSERT_NE(d, nullptr);
                // The other application keeps booleans as numbers shown as TRUE/FALSE.
                if (c.type == ss::CellType::Boolean) {
                    EXPECT_EQ(b.cellText(*d) == "1" || b.cellText(*d) == "TRUE",
                              a.cellText(c) == "TRUE");
                    continue;
                }
                EXPECT_EQ(b.cellText(*d), a.cellText(c));
                EXPECT_EQ(fontOf(b, *d).bold, fontOf(a, c).bold);
                const ss::Formula* fa = wa.formula(row.index, c.col);
                const ss::Formula* fb = wb.formula(row.index, c.col);
                ASSERT_EQ(fb != nullptr, fa != nullptr);
                if (fa) {
                    EXPECT_EQ(fb->text, fa->text);
                }
            }
        }
    }
    const ss::ColumnInfo* f = b.sheets[0]->columnInfo(6);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->hidden);
    const ss::ColumnInfo* wide = b.sheets[0]->columnInfo(2);
    ASSERT_NE(wide, nullptr);
    EXPECT_NEAR(wide->width, 20, 0.05);
    ASSERT_EQ(b.sheets[0]->notes.size(), 1u);
    EXPECT_EQ(b.sheets[0]->notes[0].row, 2u);
    EXPECT_EQ(b.sheets[0]->notes[0].col, 2u);
    EXPECT_EQ(b.sheets[0]->notes[0].textXml, a.sheets[0]->notes[0].textXml);
    EXPECT_TRUE(b.readNotes.empty());
}

}  // namespace

// Shapes other applications write that the reader must take as they mean them: rich text with a
// plain part, escapes of characters XML cannot carry, times alone in date cells, packages with a
// name twice, and a parse that fails while its part is still being inflated. Each is read both
// by the fast scanner and by expat.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "spreadsheet/xlsx/package.h"
#include "spreadsheet/xlsx/xlsx.h"
#include "xlsx_fixtures.h"

namespace fs = std::filesystem;

namespace {

using xlsxtest::modelOf;
using xlsxtest::package;
using xlsxtest::sheetXml;
using xlsxtest::TempDir;
using xlsxtest::writeZip;

const char* kSst = "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">";

// A package whose string table holds `items` and whose first sheet's row 1 is `cells`.
std::map<std::string, std::string> withStrings(const std::string& items, const std::string& cells) {
    auto p = package("<sheetData><row r=\"1\">" + cells + "</row></sheetData>");
    p["book/strings.xml"] = kSst + items + "</sst>";
    return p;
}

// Reads `file` through expat and through the scanner; both give the same model, and the
// scanner's read is returned.
std::unique_ptr<ss::Workbook> readBothWays(const fs::path& file) {
    const bool saved = ss::xlsx::fastSheetScan();
    ss::xlsx::setFastSheetScan(false);
    const std::string viaExpat = modelOf(ss::readXlsx(file));
    ss::xlsx::setFastSheetScan(true);
    auto wb = ss::readXlsx(file);
    ss::xlsx::setFastSheetScan(saved);
    EXPECT_EQ(modelOf(ss::readXlsx(file)), viaExpat) << file;
    EXPECT_TRUE(wb.ok()) << wb.message();
    return wb.ok() ? std::move(*wb) : nullptr;
}

class NoOp : public ss::xlsx::SaxHandler {
public:
    void start(std::string_view, const char**) override {}
    void end(std::string_view) override {}
};

// Every XML part of a written package parses with expat.
void expectWellFormed(const fs::path& file) {
    auto zip = ss::xlsx::ZipReader::open(file, {});
    ASSERT_TRUE(zip.ok()) << zip.message();
    for (const char* part : {"xl/sharedStrings.xml", "xl/worksheets/sheet1.xml"}) {
        std::string xml;
        ASSERT_TRUE((*zip)->readAll(part, xml).ok()) << part;
        NoOp h;
        ss::Status st = ss::xlsx::parseXmlText(xml, part, h);
        EXPECT_TRUE(st.ok()) << part << ": " << st.message();
    }
}

TEST(XlsxOtherWriters, RichTextKeepsItsPlainParts) {
    struct Case {
        const char* what;
        std::string item;  // <si> content, also put in an inline string
        const char* text;
        size_t runs;  // 0: a plain text
        const char* firstRun;
        bool firstHasFont;
    } cases[] = {
        {"plain part, then a run without font", "<t>ARREST BOOKINGS for </t><r><t>01/30/17</t></r>",
         "ARREST BOOKINGS for 01/30/17", 0, "", false},
        {"plain part, then a formatted run",
         "<t xml:space=\"preserve\">A </t><r><rPr><b/></rPr><t>B</t></r>", "A B", 2, "A ", false},
        {"a formatted run, then a plain part",
         "<r><rPr><i/></rPr><t>B</t></r><t xml:space=\"preserve\"> C</t>", "B C", 2, "B", true},
        {"plain parts around runs with phonetics",
         "<t>x</t><r><rPr><b/></rPr><t>y</t></r><t>z</t><rPh sb=\"0\" eb=\"1\"><t>p</t></rPh>",
         "xyz", 3, "x", false},
    };
    TempDir dir;
    int n = 0;
    for (const Case& c : cases) {
        const fs::path file = dir / ("rich" + std::to_string(n++) + ".xlsx");
        writeZip(file, withStrings("<si>" + c.item + "</si>",
                                   "<c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" "
                                   "t=\"inlineStr\"><is>" +
                                       c.item + "</is></c>"));
        auto wb = readBothWays(file);
        ASSERT_TRUE(wb) << c.what;
        for (uint32_t col : {1u, 2u}) {
            const ss::Cell* cell = wb->sheets[0]->find(1, col);
            ASSERT_NE(cell, nullptr) << c.what;
            EXPECT_EQ(wb->cellText(*cell), c.text) << c.what << " col " << col;
            const auto* runs = wb->strings.runs(cell->sst);
            EXPECT_EQ(runs ? runs->size() : 0u, c.runs) << c.what;
            if (runs && c.runs) {
                EXPECT_EQ(runs->front().text, c.firstRun) << c.what;
                EXPECT_EQ(runs->front().font.has_value(), c.firstHasFont) << c.what;
                EXPECT_EQ(runs->back().font.has_value(), c.runs == 2 && !c.firstHasFont) << c.what;
            }
        }
        // Written and read again, the text and its runs are the same.
        const fs::path out = dir / ("rich-out" + std::to_string(n) + ".xlsx");
        ASSERT_TRUE(ss::writeXlsx(*wb, out).ok());
        auto again = readBothWays(out);
        ASSERT_TRUE(again) << c.what;
        EXPECT_EQ(modelOf(ss::readXlsx(out)), modelOf(ss::readXlsx(file))) << c.what;
    }
}

TEST(XlsxOtherWriters, EscapesOfCharactersXmlCannotCarryStayEscaped) {
    struct Case {
        const char* source;  // as the part holds it
        const char* text;
    } cases[] = {
        {"a_xFFFE_b", "a_xFFFE_b"},
        {"_xFFFF_", "_xFFFF_"},
        {"lone _xD800_ half", "lone _xD800_ half"},
        {"_xDC00_", "_xDC00_"},
        {"pair _xD83D__xDE00_", "pair \xF0\x9F\x98\x80"},
        {"tab_x0009_", "tab\t"},
    };
    TempDir dir;
    int n = 0;
    for (const Case& c : cases) {
        const fs::path file = dir / ("esc" + std::to_string(n) + ".xlsx");
        writeZip(file, withStrings(std::string("<si><t>") + c.source +
                                       "</t></si><si><r><rPr><b/>"
                                       "</rPr><t>rich </t></r><r><t>" +
                                       c.source + "</t></r></si>",
                                   std::string("<c r=\"A1\" t=\"s\"><v>0</v></c>"
                                               "<c r=\"B1\" t=\"inlineStr\"><is><t>") +
                                       c.source +
                                       "</t></is></c><c r=\"C1\" t=\"s\"><v>1</v></c>"
                                       "<c r=\"D1\" t=\"str\"><v>" +
                                       c.source + "</v></c>"));
        auto wb = readBothWays(file);
        ASSERT_TRUE(wb) << c.source;
        auto expectTexts = [&](const ss::Workbook& w) {
            const ss::Worksheet& ws = *w.sheets[0];
            EXPECT_EQ(xlsxtest::text(w, ws, 1, 1), c.text) << c.source;
            EXPECT_EQ(xlsxtest::text(w, ws, 1, 2), c.text) << c.source;
            EXPECT_EQ(xlsxtest::text(w, ws, 1, 3), std::string("rich ") + c.text) << c.source;
            EXPECT_EQ(xlsxtest::text(w, ws, 1, 4), c.text) << c.source;
        };
        expectTexts(*wb);
        const fs::path out = dir / ("esc-out" + std::to_string(n++) + ".xlsx");
        ASSERT_TRUE(ss::writeXlsx(*wb, out).ok());
        expectWellFormed(out);
        auto again = readBothWays(out);
        ASSERT_TRUE(again) << c.source;
        expectTexts(*again);
    }
}

TEST(XlsxOtherWriters, DateCellsHoldingATimeAloneAreTheTimeOfDay) {
    // Row 1 has a date format of its own (kept); row 2 none: it gets one that shows the value.
    struct Case {
        const char* value;
        double serial;
        uint32_t format;
    } cases[] = {
        {"10:10:10", (10 * 3600 + 10 * 60 + 10) / 86400.0, 21},
        {"10:10", (10 * 3600 + 10 * 60) / 86400.0, 21},
        {"10:10:10.5", (10 * 3600 + 10 * 60 + 10.5) / 86400.0, 21},
        {"00:00:00", 0, 21},
        {"T06:00", 0.25, 21},
        {"2021-03-04T12:00:00", 44259.5, 22},
        {"2021-03-04T12:00:00Z", 44259.5, 22},
        {"2021-03-04", 44259, 14},
    };
    std::string rows;
    for (const char* row : {"1", "2"}) {
        rows += std::string("<row r=\"") + row + "\">";
        char col = 'A';
        for (const Case& c : cases)
            rows += std::string("<c r=\"") + col++ + row + "\" t=\"d\"" +
                    (*row == '1' ? " s=\"1\"" : "") + "><v>" + c.value + "</v></c>";
        rows += "</row>";
    }
    TempDir dir;
    const fs::path file = dir / "times.xlsx";
    writeZip(file, package("<sheetData>" + rows + "</sheetData>"));
    auto wb = readBothWays(file);
    ASSERT_TRUE(wb);
    for (uint32_t row : {1u, 2u}) {
        uint32_t col = 1;
        for (const Case& c : cases) {
            const ss::Cell* cell = wb->sheets[0]->find(row, col++);
            ASSERT_NE(cell, nullptr) << c.value;
            EXPECT_EQ(cell->type, ss::CellType::Number) << c.value;
            EXPECT_NEAR(cell->number, c.serial, 1e-9) << c.value;
            ASSERT_LT(cell->style, wb->styles.cellXfs.size());
            EXPECT_EQ(wb->styles.cellXfs[cell->style].numFmtId, row == 1 ? 170 : c.format)
                << c.value;
        }
    }
}

TEST(XlsxOtherWriters, APartNamedTwiceIsRefused) {
    TempDir dir;
    // Names the reader takes as one: another case, a leading slash, the very same bytes (made by
    // renaming a second entry of the same length in the written archive).
    struct Case {
        const char* what;
        std::string second;
    } cases[] = {{"case", "BOOK/ws/A.xml"}, {"slash", "/book/ws/a.xml"}, {"same", "book/ws/q.xml"}};
    for (const Case& c : cases) {
        const fs::path file = dir / (std::string(c.what) + ".xlsx");
        auto parts = package("<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>");
        parts[c.second] =
            sheetXml("<sheetData><row r=\"1\"><c r=\"A1\"><v>2</v></c></row></sheetData>");
        writeZip(file, parts);
        if (c.second == "book/ws/q.xml") {
            std::ifstream in(file, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)), {});
            in.close();
            for (size_t at = bytes.find(c.second); at != std::string::npos;
                 at = bytes.find(c.second, at))
                bytes.replace(at, c.second.size(), "book/ws/a.xml");
            std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        }
        auto wb = ss::readXlsx(file);
        ASSERT_FALSE(wb.ok()) << c.what;
        EXPECT_NE(wb.message().find("出现了两次"), std::string::npos) << wb.message();
        EXPECT_NE(wb.message().find("/a.xml"), std::string::npos) << wb.message();
        EXPECT_NE(wb.message().find(file.string()), std::string::npos) << wb.message();
    }
    // A folder named twice holds nothing and is no reason to refuse.
    const fs::path file = dir / "folders.xlsx";
    auto parts = package("<sheetData/>");
    parts["book/"] = "";
    parts["BOOK/"] = "";
    writeZip(file, parts);
    EXPECT_TRUE(ss::readXlsx(file).ok());
}

// Throws once it has seen `after` elements (through expat) or items (from the scanner).
class Throwing : public ss::xlsx::SaxHandler {
public:
    explicit Throwing(int after, bool badAlloc) : after_(after), badAlloc_(badAlloc) {}
    void start(std::string_view, const char**) override { count(); }
    void end(std::string_view) override {}
    bool readsStringTable() const override { return true; }
    bool acceptsFastRows() const override { return true; }
    bool takesScannedRows() const override { return true; }
    void row(const ss::xlsx::ScannedRow&) override { count(); }

private:
    void count() {
        if (++seen_ < after_) return;
        if (badAlloc_) throw std::bad_alloc();
        throw std::runtime_error("handler");
    }
    int after_, seen_ = 0;
    bool badAlloc_;
};

TEST(XlsxOtherWriters, AParseThatThrowsJoinsTheInflatingThread) {
    // Large enough to be inflated on a thread of its own while it is parsed.
    std::string items;
    for (int i = 0; items.size() < (4u << 20); ++i)
        items += "<si><t>item " + std::to_string(i) + "</t></si>";
    TempDir dir;
    const fs::path file = dir / "big.xlsx";
    writeZip(file, withStrings(items, ""));
    auto zip = ss::xlsx::ZipReader::open(file, {});
    ASSERT_TRUE(zip.ok()) << zip.message();
    ASSERT_GE((*zip)->declaredSize("book/strings.xml"), 1u << 20);
    for (bool fast : {false, true}) {
        const bool saved = ss::xlsx::fastSheetScan();
        ss::xlsx::setFastSheetScan(fast);
        for (int after : {1, 1000}) {
            Throwing oom(after, true), other(after, false);
            EXPECT_THROW(ss::xlsx::parsePart(**zip, "book/strings.xml", oom), std::bad_alloc);
            EXPECT_THROW(ss::xlsx::parsePart(**zip, "book/strings.xml", other), std::runtime_error);
        }
        ss::xlsx::setFastSheetScan(saved);
        // The reader is fit for the next part.
        NoOp h;
        EXPECT_TRUE(ss::xlsx::parsePart(**zip, "book/strings.xml", h).ok());
    }
}

// Some writers declare the relationships namespace on the element that names a part, not on the
// sheet's root (<tablePart xmlns:r="..." r:id="rId1"/>), and give targets as absolute names: the
// table comes along, and no element is written naming a relationship the sheet lacks.
TEST(XlsxOtherWriters, APartNamedWithItsOwnNamespaceDeclarationIsCarried) {
    const std::string ns = "http://schemas.openxmlformats.org/";
    const std::string rels = ns + "officeDocument/2006/relationships";
    const std::string ct = "application/vnd.openxmlformats-officedocument.spreadsheetml.";
    std::map<std::string, std::string> p;
    p["[Content_Types].xml"] =
        "<Types xmlns=\"" + ns +
        "package/2006/content-types\"><Default Extension=\"rels\" "
        "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Override PartName=\"/xl/workbook.xml\" ContentType=\"" +
        ct +
        "sheet.main+xml\"/>"
        "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"" +
        ct + "worksheet+xml\"/><Override PartName=\"/xl/tables/table1.xml\" ContentType=\"" + ct +
        "table+xml\"/></Types>";
    p["_rels/.rels"] = "<Relationships xmlns=\"" + ns +
                       "package/2006/relationships\">"
                       "<Relationship Id=\"rId1\" Type=\"" +
                       rels +
                       "/officeDocument\" "
                       "Target=\"xl/workbook.xml\"/></Relationships>";
    p["xl/workbook.xml"] = "<workbook xmlns=\"" + ns + "spreadsheetml/2006/main\" xmlns:r=\"" +
                           rels +
                           "\"><sheets><sheet name=\"table\" sheetId=\"1\" r:id=\"rId1\"/>"
                           "</sheets></workbook>";
    p["xl/_rels/workbook.xml.rels"] =
        "<Relationships xmlns=\"" + ns +
        "package/2006/relationships\"><Relationship Id=\"rId1\" "
        "Type=\"" +
        rels + "/worksheet\" Target=\"worksheets/sheet1.xml\"/></Relationships>";
    p["xl/worksheets/sheet1.xml"] =
        "<worksheet xmlns=\"" + ns +
        "spreadsheetml/2006/main\"><sheetData>"
        "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>Item</t></is></c></row>"
        "<row r=\"2\"><c r=\"A2\"><v>100</v></c></row></sheetData><tableParts count=\"1\">"
        "<tablePart xmlns:r=\"" +
        rels + "\" r:id=\"rId1\"/></tableParts></worksheet>";
    p["xl/worksheets/_rels/sheet1.xml.rels"] =
        "<Relationships xmlns=\"" + ns + "package/2006/relationships\"><Relationship Type=\"" +
        rels + "/table\" Target=\"/xl/tables/table1.xml\" Id=\"rId1\"/></Relationships>";
    p["xl/tables/table1.xml"] =
        "<table xmlns=\"" + ns +
        "spreadsheetml/2006/main\" id=\"1\" name=\"Table1\" "
        "displayName=\"Table1\" ref=\"A1:A2\"><autoFilter ref=\"A1:A2\"/><tableColumns "
        "count=\"1\"><tableColumn id=\"1\" name=\"Item\"/></tableColumns></table>";
    TempDir dir;
    writeZip(dir / "in.xlsx", p);
    auto wb = readBothWays(dir / "in.xlsx");
    ASSERT_TRUE(wb);
    ASSERT_TRUE(wb->sheets[0]->parts);
    EXPECT_EQ(ss::tableNames(*wb->sheets[0]->parts), std::vector<std::string>{"Table1"});
    ASSERT_TRUE(ss::writeXlsx(*wb, dir / "out.xlsx").ok());
    auto back = ss::readXlsx(dir / "out.xlsx");
    ASSERT_TRUE(back.ok()) << back.message();
    ASSERT_TRUE((*back)->sheets[0]->parts);
    EXPECT_EQ(ss::tableNames(*(*back)->sheets[0]->parts), std::vector<std::string>{"Table1"});
}

}  // namespace

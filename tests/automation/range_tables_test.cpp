// Tables through range copies: whole ones stay tables under free names with their references,
// cut ones leave plain cells with the table's look and ordinary references.
#include <gtest/gtest.h>

#include "application.h"
#include "spreadsheet/carry/table_copy.h"

using namespace automation;

namespace {

// Orders!A1:D5 is the table Sales (header, three data rows, a total row) in Medium 9 with row
// stripes; F1 sums its Amount column.
void salesTable(Worksheet& s, const std::string& style = "TableStyleMedium9") {
    ASSERT_TRUE(s.SetName("Orders"));
    const char* head[] = {"Region", "Qty", "Price", "Amount"};
    for (uint32_t c = 1; c <= 4; ++c) (void)s.Cells(1, c).SetValue(head[c - 1]);
    for (uint32_t r = 2; r <= 4; ++r) {
        (void)s.Cells(r, 1).SetValue(r == 3 ? "West" : "East");
        (void)s.Cells(r, 2).SetValue(double(r));
        (void)s.Cells(r, 3).SetValue(1.5);
        (void)s.Cells(r, 4).SetValue(r * 1.5);
        s.model().setFormula(r, 4,
                             {"Sales[[#This Row],[Qty]]*Sales[[#This Row],[Price]]", false, {}});
    }
    (void)s.Cells(5, 1).SetValue("Total");
    (void)s.Cells(5, 4).SetValue(13.5);
    s.model().setFormula(5, 4, {"SUBTOTAL(109,Sales[Amount])", false, {}});
    (void)s.Cells(1, 6).SetValue(13.5);
    s.model().setFormula(1, 6, {"SUM(Sales[Amount])", false, {}});

    auto part = std::make_shared<ss::PackagePart>();
    part->name = "xl/tables/table1.xml";
    part->contentType = "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml";
    part->data = std::make_shared<const std::string>(
        "<table xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" id=\"1\" "
        "name=\"Sales\" displayName=\"Sales\" ref=\"A1:D5\" totalsRowCount=\"1\">"
        "<autoFilter ref=\"A1:D4\"/><tableColumns count=\"4\"><tableColumn id=\"1\" "
        "name=\"Region\"/><tableColumn id=\"2\" name=\"Qty\"/><tableColumn id=\"3\" "
        "name=\"Price\"/><tableColumn id=\"4\" name=\"Amount\"/></tableColumns>"
        "<tableStyleInfo name=\"" +
        style +
        "\" showFirstColumn=\"0\" showLastColumn=\"0\" "
        "showRowStripes=\"1\" showColumnStripes=\"0\"/></table>");
    auto parts = std::make_shared<ss::SheetParts>();
    parts->origin = std::make_shared<ss::PartOrigin>();
    parts->originName = "Orders";
    parts->links.push_back(
        {"rIdP1", "http://schemas.openxmlformats.org/officeDocument/2006/relationships/table", "",
         part});
    parts->elements.push_back({"tableParts",
                               "<tableParts count=\"1\"><tablePart r:id=\"rIdP1\"/>"
                               "</tableParts>"});
    s.model().parts = parts;
}

std::string formulaAt(Worksheet& s, uint32_t row, uint32_t col) {
    const ss::Formula* f = s.model().formula(row, col);
    return f ? f->text : "<value " + s.Cells(row, col).Value() + ">";
}

TEST(RangeTables, WholeTablesStayTablesUnderFreeNames) {
    Application app;
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& s = *src.WorkSheets(1);
    salesTable(s, "Mine");
    src.model().styles.dxfsXml = {"<dxf><font><b/></font></dxf>"};
    src.model().styles.tableStylesXml =
        "<tableStyles count=\"1\"><tableStyle name=\"Mine\" pivot=\"0\" count=\"1\">"
        "<tableStyleElement type=\"headerRow\" dxfId=\"0\"/></tableStyle></tableStyles>";
    Workbook& out = *app.Workbooks()->Add();
    out.model().styles.dxfsXml = {"<dxf><font><i/></font></dxf>"};
    out.model().styles.tableStylesXml = "<tableStyles count=\"0\"/>";
    Worksheet& d = *out.WorkSheets(1);
    // Two sources whose tables share a name, merged one below the other.
    ASSERT_TRUE(s.Range("A1:F5").Copy(d.Range("A1")));
    ASSERT_TRUE(s.Range("A1:F5").Copy(d.Range("B7")));

    ASSERT_TRUE(d.model().parts);
    const std::vector<ss::TableInfo> tables = ss::sheetTables(*d.model().parts);
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0].name, "Sales");
    EXPECT_EQ(tables[0].ref.toA1(), "A1:D5");
    EXPECT_EQ(tables[1].name, "Sales_2");
    EXPECT_EQ(tables[1].ref.toA1(), "B7:E11");
    EXPECT_NE(tables[1].part->data->find("<autoFilter ref=\"B7:E10\"/>"), std::string::npos);
    EXPECT_EQ(d.model().parts->elements.at(0).xml,
              "<tableParts><tablePart r:id=\"rIdT1\"/><tablePart r:id=\"rIdT2\"/></tableParts>");
    EXPECT_EQ(formulaAt(d, 9, 5), "Sales_2[[#This Row],[Qty]]*Sales_2[[#This Row],[Price]]");
    EXPECT_EQ(formulaAt(d, 7, 7), "SUM(Sales_2[Amount])");
    EXPECT_EQ(formulaAt(d, 5, 4), "SUBTOTAL(109,Sales[Amount])");
    EXPECT_TRUE(s.partsNotCarried().empty());
    EXPECT_EQ(app.References().frozenFormulas, 0u);
    // Its custom style comes along once, with its format.
    EXPECT_EQ(out.model().styles.tableStylesXml,
              "<tableStyles count=\"1\"><tableStyle name=\"Mine\" pivot=\"0\" count=\"1\">"
              "<tableStyleElement type=\"headerRow\" dxfId=\"1\"/></tableStyle></tableStyles>");

    // Header rows taken out before a merge: the table goes on without its header and filter.
    ASSERT_TRUE(s.Range("1:1").Delete());
    Worksheet& d2 = *out.Sheets().Add();
    ASSERT_TRUE(s.Range("A1:D4").Copy(d2.Range("A1")));
    ASSERT_TRUE(d2.model().parts);
    const std::vector<ss::TableInfo> moved = ss::sheetTables(*d2.model().parts);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].ref.toA1(), "A1:D4");
    EXPECT_EQ(moved[0].headerRows, 0u);
    EXPECT_EQ(moved[0].part->data->find("autoFilter"), std::string::npos);
    EXPECT_EQ(moved[0].name, "Sales_3");
}

TEST(RangeTables, CutTablesKeepTheirLookAndOrdinaryReferences) {
    Application app;
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& s = *src.WorkSheets(1);
    salesTable(s);
    // Split by value: the header row, then the rows of one region.
    Workbook& out = *app.Workbooks()->Add();
    Worksheet& d = *out.WorkSheets(1);
    ASSERT_TRUE(s.Range("A1:D1").Copy(d.Range("A1")));
    ASSERT_TRUE(s.Range("A3:D3").Copy(d.Range("A2")));
    ASSERT_TRUE(s.Range("A2:F2").Copy(d.Range("A3")));  // F1 is outside the table and the copy

    EXPECT_TRUE(!d.model().parts || ss::sheetTables(*d.model().parts).empty());
    EXPECT_EQ(formulaAt(d, 2, 4), "B2*C2");
    EXPECT_EQ(formulaAt(d, 3, 4), "B3*C3");
    EXPECT_TRUE(s.partsNotCarried().empty());

    const ss::StyleTable& st = out.model().styles;
    auto fmt = [&](uint32_t r, uint32_t c) { return st.cellXfs[d.model().find(r, c)->style]; };
    // Header: bold light text on the accent; data rows by their stripe in the source.
    EXPECT_TRUE(st.fonts[fmt(1, 2).fontId].bold);
    EXPECT_EQ(st.fonts[fmt(1, 2).fontId].color, ss::Color::theme(0));
    EXPECT_EQ(st.fills[fmt(1, 2).fillId].fg, ss::Color::theme(4));
    EXPECT_EQ(st.fills[fmt(2, 2).fillId].fg, ss::Color::theme(4, 0.8f));  // second stripe
    EXPECT_EQ(st.fills[fmt(3, 2).fillId].fg, ss::Color::theme(4, 0.6f));  // first stripe
    EXPECT_FALSE(st.fonts[fmt(2, 2).fontId].bold);
}

TEST(RangeTables, WholeSheetCopiesNameTheTableOfABareReference) {
    Application app;
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& s = *src.WorkSheets(1);
    salesTable(s);
    s.model().setFormula(2, 4, {"[[#This Row],[Qty]]*[[#This Row],[Price]]", false, {}});
    Workbook& out = *app.Workbooks()->Add();
    auto copy = s.Copy(*out.WorkSheets(1));
    ASSERT_TRUE(copy);
    ASSERT_TRUE(src.Close(false));  // the copy is restated now
    EXPECT_EQ(formulaAt(*copy.value(), 2, 4),
              "Sales[[#This Row],[Qty]]*Sales[[#This Row],[Price]]");
    EXPECT_EQ(app.References().frozenFormulas, 0u);
}

}  // namespace

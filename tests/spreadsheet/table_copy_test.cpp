// Tables through range copies: structured references written as ordinary ones, the table part
// moved and renamed, free names, and the look a table style gives a cell.
#include <gtest/gtest.h>

#include "spreadsheet/model/styles.h"
#include "spreadsheet/carry/table_copy.h"
#include "spreadsheet/carry/table_styles.h"

namespace {

std::shared_ptr<const ss::PackagePart> tablePart(const std::string& xml) {
    auto p = std::make_shared<ss::PackagePart>();
    p->name = "xl/tables/table1.xml";
    p->contentType = "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml";
    p->data = std::make_shared<const std::string>(xml);
    return p;
}

// Sales on Data!B2:E7: header row 2, data rows 3-6, total row 7. T2 on 'Other Sheet'!A1:B3,
// without a total row, one column name holding brackets.
ss::TableIndex index() {
    ss::TableIndex ix;
    auto sales = ss::parseTable(tablePart(
        "<table xmlns=\"x\" id=\"1\" name=\"Sales\" displayName=\"Sales\" ref=\"B2:E7\" "
        "totalsRowCount=\"1\"><autoFilter ref=\"B2:E6\"/><tableColumns count=\"4\">"
        "<tableColumn id=\"1\" name=\"Region\"/><tableColumn id=\"2\" name=\"Qty\"/>"
        "<tableColumn id=\"3\" name=\"Unit Price\"/><tableColumn id=\"4\" name=\"Amount\"/>"
        "</tableColumns><tableStyleInfo name=\"TableStyleMedium9\" showRowStripes=\"1\"/>"
        "</table>"));
    auto t2 = ss::parseTable(
        tablePart("<x:table xmlns:x=\"x\" id=\"2\" name=\"T2\" displayName=\"T2\" ref=\"A1:B3\">"
                  "<x:tableColumns count=\"2\"><x:tableColumn id=\"1\" name=\"Key\"/>"
                  "<x:tableColumn id=\"2\" name=\"N[1]\"/></x:tableColumns></x:table>"));
    EXPECT_TRUE(sales && t2);
    ix.add("Data", {*sales});
    ix.add("Other Sheet", {*t2});
    return ix;
}

TEST(TableCopy, StructuredReferencesBecomeOrdinaryOnes) {
    const ss::TableIndex ix = index();
    struct Case {
        const char* in;
        const char* want;
    };
    const Case cases[] = {
        {"SUM(Sales[Qty])", "SUM($C$3:$C$6)"},
        {"sales[qty]", "$C$3:$C$6"},
        {"Sales", "$B$3:$E$6"},
        {"Sales[]", "$B$3:$E$6"},
        {"Sales[[#Headers],[Qty]]", "$C$2"},
        {"Sales[[#Headers],[#Data],[Qty]]", "$C$2:$C$6"},
        {"Sales[#All]", "$B$2:$E$7"},
        {"Sales[#Totals]", "$B$7:$E$7"},
        {"Sales[[#Totals],[Amount]]", "$E$7"},
        {"SUM(Sales[[Qty]:[Amount]])", "SUM($C$3:$E$6)"},
        {"Sales[@Qty]*2", "C4*2"},
        {"[@Qty]*[@[Unit Price]]", "C4*D4"},
        {"Sales[[#This Row],[Unit Price]]", "D4"},
        {"Sales[[#This Row],Qty]", "C4"},  // as some writers put it
        {"SUM(T2[N'[1']])", "SUM('Other Sheet'!$B$2:$B$3)"},
        {"T2[[#Totals],[Key]]", "#REF!"},  // it has no total row
        {"Sales[Missing]+1", "Sales[Missing]+1"},
        {"\"Sales[Qty]\"&Sales[Region]", "\"Sales[Qty]\"&$B$3:$B$6"},
        {"[1]Sheet1!A1+SalesTax", "[1]Sheet1!A1+SalesTax"},
        {"'Sales'!A1", "'Sales'!A1"},
    };
    auto all = [](const ss::TableIndex::Entry&) { return true; };
    for (const Case& c : cases)
        EXPECT_EQ(ss::unstructure(c.in, "Data", 4, 5, ix, all), c.want) << c.in;

    // A table that is carried keeps its references; one without its name gets it.
    auto notSales = [](const ss::TableIndex::Entry& e) { return e.table.name != "Sales"; };
    EXPECT_EQ(ss::unstructure("[@Qty]+Sales[Qty]+T2[Key]", "Data", 4, 5, ix, notSales),
              "Sales[@Qty]+Sales[Qty]+'Other Sheet'!$A$2:$A$3");
}

TEST(TableCopy, MovedTablePartAndFreeNames) {
    const std::string xml =
        "<table id=\"3\" name=\"Sales\" displayName=\"Sales\" ref=\"B2:C5\" "
        "headerRowDxfId=\"1\" xr:uid=\"{A1B2}\"><autoFilter ref=\"B2:C4\" "
        "xr:uid=\"{C3}\"/><sortState ref=\"B3:C4\">"
        "<sortCondition ref=\"C3:C4\"/></sortState><tableColumns count=\"2\">"
        "<tableColumn id=\"1\" name=\"A\" dataDxfId=\"0\"/><tableColumn id=\"2\" name=\"B\">"
        "<calculatedColumnFormula>Sales[[#This Row],[A]]*2</calculatedColumnFormula>"
        "</tableColumn></tableColumns></table>";
    const std::vector<uint32_t> dxf{7, 8};
    const std::string moved =
        ss::movedTableXml(xml, 10, 1, "Sales_2", {{"sales", "Sales_2"}}, &dxf);
    for (const char* want :
         {"ref=\"C12:D15\"", "<autoFilter ref=\"C12:D14\"/>", "<sortState ref=\"C13:D14\">",
          "<sortCondition ref=\"D13:D14\"/>", "name=\"Sales_2\" displayName=\"Sales_2\"",
          "headerRowDxfId=\"8\"", "dataDxfId=\"7\"", ">Sales_2[[#This Row],[A]]*2<"})
        EXPECT_NE(moved.find(want), std::string::npos) << want << "\n" << moved;
    EXPECT_EQ(moved.find("uid"), std::string::npos) << moved;  // two copies, one id: none

    ss::TableNames names;
    names.use("Sales");
    names.use("sales_3");
    EXPECT_EQ(names.unique("Sales"), "Sales_2");
    EXPECT_EQ(names.unique("SALES"), "SALES_4");
    EXPECT_EQ(names.unique("Other"), "Other");
    EXPECT_EQ(names.unique("Other"), "Other_2");
}

TEST(TableCopy, StyleLookOfACell) {
    // A custom style: the header row's fill wins over the stripes, borders by region.
    ss::StyleTable st;
    st.dxfsXml = {
        "<dxf><fill><patternFill patternType=\"solid\"><bgColor rgb=\"FFDDDDDD\"/>"
        "</patternFill></fill></dxf>",
        "<dxf><font><b/><color theme=\"0\"/></font><fill><patternFill><bgColor theme=\"4\"/>"
        "</patternFill></fill></dxf>",
        "<dxf><border><left style=\"thin\"><color rgb=\"FF000000\"/></left><horizontal "
        "style=\"dotted\"/></border></dxf>"};
    st.tableStylesXml =
        "<tableStyles count=\"1\"><tableStyle name=\"Mine\" pivot=\"0\">"
        "<tableStyleElement type=\"wholeTable\" dxfId=\"2\"/>"
        "<tableStyleElement type=\"headerRow\" dxfId=\"1\"/>"
        "<tableStyleElement type=\"firstRowStripe\" dxfId=\"0\" size=\"2\"/>"
        "</tableStyle></tableStyles>";
    auto mine = ss::findTableStyle(st, "Mine");
    ASSERT_TRUE(mine);
    const ss::TableShape shape{{1, 1, 6, 3}, 1, 0, false, false, true, false};
    const ss::DiffFormat head = ss::cellLook(*mine, shape, 1, 1);
    EXPECT_TRUE(head.bold);
    EXPECT_EQ(head.fill, ss::Color::theme(4));
    EXPECT_EQ(head.left.style, "thin");  // the table's left edge
    EXPECT_EQ(head.bottom.style, "dotted");
    // Stripes of two rows: data rows 2-3 striped, 4-5 not.
    EXPECT_EQ(ss::cellLook(*mine, shape, 3, 2).fill, ss::Color::rgb(0xFFDDDDDD));
    EXPECT_FALSE(ss::cellLook(*mine, shape, 4, 2).fill.isSet());
    EXPECT_TRUE(ss::cellLook(*mine, shape, 3, 2).left.style.empty());  // not an edge

    // A built-in style, and one nobody knows.
    auto medium9 = ss::findTableStyle(st, "TableStyleMedium9");
    ASSERT_TRUE(medium9);
    const ss::DiffFormat h9 = ss::cellLook(*medium9, shape, 1, 2);
    EXPECT_TRUE(h9.bold);
    EXPECT_EQ(h9.fill, ss::Color::theme(4));
    EXPECT_EQ(h9.fontColor, ss::Color::theme(0));
    EXPECT_EQ(ss::cellLook(*medium9, shape, 2, 2).fill.tint, 0.6f);
    EXPECT_FALSE(ss::findTableStyle(st, "TableStyleMedium29"));
    EXPECT_FALSE(ss::findTableStyle(st, "NoSuchStyle"));

    // Laid over cell formats: what a cell sets itself stays.
    ss::LookApplier apply(st);
    ss::Fill own;
    own.patternType = "solid";
    own.fg = ss::Color::rgb(0xFFFF0000);
    ss::CellFormat red;
    red.fillId = st.internFill(own);
    red.applyFill = true;
    const uint32_t redXf = st.internCellFormat(red);
    const ss::Color plain = st.fonts[0].color;
    const uint32_t a = apply.apply(0, head, plain), b = apply.apply(redXf, head, plain);
    EXPECT_EQ(st.fills[st.cellXfs[a].fillId].fg, ss::Color::theme(4));
    EXPECT_EQ(st.fills[st.cellXfs[b].fillId].fg, ss::Color::rgb(0xFFFF0000));
    EXPECT_TRUE(st.fonts[st.cellXfs[b].fontId].bold);
    EXPECT_EQ(st.fonts[st.cellXfs[a].fontId].color, ss::Color::theme(0));
    EXPECT_EQ(apply.apply(0, head, plain), a);  // interned once
}

}  // namespace

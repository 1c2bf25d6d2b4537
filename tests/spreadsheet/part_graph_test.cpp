// The pieces of the part copier that the whole-package tests do not reach: relationship targets
// between folders, structured references following a renamed table, and extension lists that
// lose what names parts left behind.
#include <gtest/gtest.h>

#include "spreadsheet/xlsx/part_graph.h"

namespace {

TEST(PartGraph, RelativeTargets) {
    struct Case {
        const char *from, *to, *want;
    } cases[] = {
        {"xl/worksheets/sheet1.xml", "xl/drawings/drawing1.xml", "../drawings/drawing1.xml"},
        {"xl/drawings/drawing1.xml", "xl/drawings/drawing2.xml", "drawing2.xml"},
        {"xl/charts/chart1.xml", "xl/charts/style/style1.xml", "style/style1.xml"},
        {"xl/workbook.xml", "xl/pivotCache/pivotCacheDefinition1.xml",
         "pivotCache/pivotCacheDefinition1.xml"},
        {"xl/a/b/c.xml", "xl/media/image1.png", "../../media/image1.png"},
    };
    for (const Case& c : cases) EXPECT_EQ(ss::xlsx::relativeTarget(c.from, c.to), c.want) << c.from;
}

TEST(PartGraph, StructuredReferencesFollowRenamedTables) {
    const std::map<std::string, std::string> renames = {{"sales", "Sales_2"}};
    struct Case {
        const char *in, *want;
    } cases[] = {
        {"SUM(Sales[Amount])", "SUM(Sales_2[Amount])"},
        {"SUM(sales[[#This Row],[Amount]])", "SUM(Sales_2[[#This Row],[Amount]])"},
        {"SUM(MySales[Amount])+Sales", "SUM(MySales[Amount])+Sales"},  // other names, no bracket
        {"\"Sales[x]\"&Sales[x]", "\"Sales[x]\"&Sales_2[x]"},          // text stays
    };
    for (const Case& c : cases) EXPECT_EQ(ss::xlsx::renameTables(c.in, renames), c.want) << c.in;
}

TEST(PartGraph, ExtensionsNamingPartsLeftBehindGo) {
    ss::RawSheetElement e{
        "extLst",
        "<extLst><ext uri=\"{A}\"><x14:sparklineGroups/></ext>"
        "<ext uri=\"{B}\"><x14:slicerList><x14:slicer r:id=\"rId7\"/></x14:slicerList></ext>"
        "<ext uri=\"{C}\"><x14:dataValidations count=\"0\"/></ext></extLst>"};
    std::map<std::string, uint32_t> dropped;
    ASSERT_TRUE(ss::xlsx::remapRawElement(e, {"r"}, {{"rId2", "rIdP1"}}, dropped));
    EXPECT_EQ(e.xml,
              "<extLst><ext uri=\"{A}\"><x14:sparklineGroups/></ext>"
              "<ext uri=\"{C}\"><x14:dataValidations count=\"0\"/></ext></extLst>");
    EXPECT_EQ(dropped, (std::map<std::string, uint32_t>{{"切片器", 1}}));

    // Another element that names a part left behind is refused whole; ids carried are renamed.
    ss::RawSheetElement drawing{"drawing", "<drawing r:id=\"rId9\"/>"};
    EXPECT_FALSE(ss::xlsx::remapRawElement(drawing, {"r"}, {{"rId2", "rIdP1"}}, dropped));
    ss::RawSheetElement tables{
        "tableParts", "<x:tableParts count=\"1\"><x:tablePart r:id=\"rId2\"/></x:tableParts>"};
    EXPECT_TRUE(ss::xlsx::remapRawElement(tables, {"r"}, {{"rId2", "rIdP1"}}, dropped));
    EXPECT_EQ(tables.xml, "<x:tableParts count=\"1\"><x:tablePart r:id=\"rIdP1\"/></x:tableParts>");
}

}  // namespace

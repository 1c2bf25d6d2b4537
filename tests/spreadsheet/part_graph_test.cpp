// The pieces of the part copier that the whole-package tests do not reach: relationship targets
// between folders, structured references following a renamed table, extension lists that lose
// what names parts left behind, the legacy drawing's shapes of controls, their anchors after
// row moves, and slicers with the workbook's caches they name.
#include <gtest/gtest.h>

#include "package_parts.h"

#include <cstdio>

#include "spreadsheet/carry/control_anchors.h"
#include "spreadsheet/carry/legacy_shapes.h"
#include "spreadsheet/carry/table_copy.h"
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
    for (const Case& c : cases) EXPECT_EQ(ss::renameTables(c.in, renames), c.want) << c.in;
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

// The legacy drawing keeps what is not a note's box, with the shape types it uses; the
// formulas of controls are restated or taken out, macro names stay.
TEST(PartGraph, LegacyShapesBesideNotes) {
    const std::string vml =
        "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" xmlns:w=\"urn:w\">"
        "<o:shapelayout v:ext=\"edit\"><o:idmap v:ext=\"edit\" data=\"1\"/></o:shapelayout>"
        "<v:shapetype id=\"_x0000_t202\"><v:path/></v:shapetype>"
        "<v:shapetype id=\"_x0000_t201\"><v:path/></v:shapetype>"
        "<v:shape id=\"_x0000_s1025\" type=\"#_x0000_t202\"><v:textbox><div>a<br>b</div>"
        "</v:textbox><x:ClientData ObjectType=\"Note\"><x:Row>0</x:Row></x:ClientData></v:shape>"
        "<v:shape id=\"Button 2\" o:spid=\"_x0000_s1026\" type=\"#_x0000_t201\">"
        "<v:imagedata o:relid=\"rId3\"/><x:ClientData ObjectType=\"Button\">"
        "<x:FmlaMacro>[0]!Run</x:FmlaMacro><x:FmlaLink>Gone!$A$1</x:FmlaLink>"
        "<x:FmlaRange>Lists!$A$1:$A$3</x:FmlaRange></x:ClientData></v:shape></xml>";
    ss::LegacyShapes kept = ss::otherLegacyShapes(vml);
    EXPECT_EQ(kept.namespaces, " xmlns:w=\"urn:w\"");
    EXPECT_EQ(kept.relIds, std::set<std::string>{"rId3"});
    EXPECT_TRUE(ss::definesShapeType(kept.xml, "_x0000_t201"));
    EXPECT_FALSE(ss::definesShapeType(kept.xml, "_x0000_t202"));
    EXPECT_EQ(kept.xml.find("Note"), std::string::npos);
    EXPECT_EQ(ss::legacyShapeIds(kept.xml), std::set<uint32_t>{1026});
    std::string restated =
        ss::restateLegacyFormulas(kept.xml, [](std::string_view f) -> std::optional<std::string> {
            if (f.rfind("Gone!", 0) == 0) return std::nullopt;
            return "'Lists (2)'" + std::string(f.substr(f.find('!')));
        });
    EXPECT_NE(restated.find("<x:FmlaMacro>[0]!Run</x:FmlaMacro><x:FmlaRange>'Lists "
                            "(2)'!$A$1:$A$3</x:FmlaRange></x:ClientData>"),
              std::string::npos)
        << restated;
    // Moved to the next block: the shapes, the elements and a drawing's compatibility shapes.
    EXPECT_EQ(ss::shiftShapeIds("<v:shape id=\"Button 2\" o:spid=\"_x0000_s1026\"/>"
                                "<control shapeId=\"1026\" r:id=\"rId1\"/><xdr:cNvPr "
                                "id=\"1026\"/><a14:compatExt spid=\"_x0000_s1026\"/>",
                                1024),
              "<v:shape id=\"Button 2\" o:spid=\"_x0000_s2050\"/><control shapeId=\"2050\" "
              "r:id=\"rId1\"/><xdr:cNvPr id=\"1026\"/><a14:compatExt spid=\"_x0000_s2050\"/>");
    EXPECT_EQ(ss::idmapBlocks("<xml><o:shapelayout><o:idmap data=\"1, 3\"/>"),
              (std::set<uint32_t>{1, 3}));
    EXPECT_TRUE(ss::otherLegacyShapes(vml.substr(0, vml.find("<v:shape id=\"Button")) + "</xml>")
                    .xml.empty());
}

// Controls' anchors, in both forms, follow deleted rows; a corner in a deleted row goes to the
// top of the next row left.
TEST(PartGraph, ControlAnchorsFollowDeletedRows) {
    ss::Worksheet ws("Form");
    auto parts = std::make_shared<ss::SheetParts>();
    const char* corner =
        "<xdr:col>1</xdr:col><xdr:colOff>5</xdr:colOff><xdr:row>%d</xdr:row>"
        "<xdr:rowOff>7</xdr:rowOff>";
    auto at = [&](int row) {
        char buf[160];
        std::snprintf(buf, sizeof buf, corner, row);
        return std::string(buf);
    };
    parts->elements.push_back({"controls",
                               "<controls><control shapeId=\"1025\"><controlPr><anchor>"
                               "<from>" +
                                   at(1) + "</from><to>" + at(5) +
                                   "</to></anchor></controlPr></control></controls>"});
    parts->legacyShapes =
        "<v:shape><x:ClientData><x:Anchor>1, 5, 1, 7, 2, 0, 5, 7</x:Anchor>"
        "</x:ClientData></v:shape>";
    ws.parts = parts;
    ss::moveControlRows(ws, ss::rowsDeletedMove({{2, 3}}));  // rows from 1; anchors from 0
    EXPECT_EQ(ws.parts->elements[0].xml,
              "<controls><control shapeId=\"1025\"><controlPr><anchor><from>" +
                  at(1).replace(at(1).find("<xdr:rowOff>7"), 13, "<xdr:rowOff>0") + "</from><to>" +
                  at(3) + "</to></anchor></controlPr></control></controls>");
    EXPECT_NE(ws.parts->legacyShapes.find("<x:Anchor>1, 5, 1, 0, 2, 0, 3, 7</x:Anchor>"),
              std::string::npos);
}

namespace {

using testparts::part;

// A source workbook: "Pivot" holds a pivot table (its cache known to slicers as 7) and the
// slicer "Region"; "Dash" holds "Region 2", a second slicer of the same cache.
std::vector<std::unique_ptr<ss::Worksheet>> slicerBook() {
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    const std::string sml = "application/vnd.openxmlformats-officedocument.spreadsheetml.";
    auto origin = std::make_shared<ss::PartOrigin>();
    origin->sheetIds = {{1, "Pivot"}, {2, "Dash"}};
    origin->slicerCaches["slicer_region"] =
        part("xl/slicerCaches/slicerCache1.xml", "application/vnd.ms-excel.slicerCache+xml",
             "<slicerCacheDefinition name=\"Slicer_Region\" sourceName=\"Region\"><pivotTables>"
             "<pivotTable tabId=\"1\" name=\"P1\"/><pivotTable tabId=\"9\" name=\"Gone\"/>"
             "</pivotTables><data><tabular pivotCacheId=\"7\"/></data></slicerCacheDefinition>");
    auto cache = part("xl/pivotCache/pivotCacheDefinition1.xml", sml + "pivotCacheDefinition+xml",
                      "<pivotCacheDefinition><extLst><ext><x14:pivotCacheDefinition "
                      "pivotCacheId=\"7\"/></ext></extLst></pivotCacheDefinition>");
    auto pivot = part("xl/pivotTables/pivotTable1.xml", sml + "pivotTable+xml",
                      "<pivotTableDefinition name=\"P1\" cacheId=\"3\"/>");
    pivot->links.push_back({"rId1", rel + "pivotCacheDefinition", "", cache});
    std::vector<std::unique_ptr<ss::Worksheet>> sheets;
    for (const char* name : {"Pivot", "Dash"}) {
        const std::string slicer = std::string(name) == "Pivot" ? "Region" : "Region 2";
        auto parts = std::make_shared<ss::SheetParts>();
        parts->origin = origin;
        parts->originName = name;
        auto drawing = part(
            std::string("xl/drawings/") + name + ".xml",
            "application/vnd.openxmlformats-officedocument.drawing+xml",
            "<xdr:wsDr xmlns:xdr=\"x\"><xdr:twoCellAnchor><xdr:from><xdr:col>1</xdr:col>"
            "<xdr:row>1</xdr:row></xdr:from><xdr:to><xdr:col>3</xdr:col><xdr:row>9</xdr:row>"
            "</xdr:to><xdr:graphicFrame><a:graphicData uri=\"http://schemas.microsoft.com/"
            "office/drawing/2010/slicer\"><sle:slicer name=\"" +
                slicer + "\"/></a:graphicData></xdr:graphicFrame></xdr:twoCellAnchor></xdr:wsDr>");
        parts->links.push_back({"rIdD", rel + "drawing", "", drawing});
        parts->links.push_back(
            {"rIdS", "http://schemas.microsoft.com/office/2007/relationships/slicer", "",
             part(std::string("xl/slicers/") + name + ".xml", "application/vnd.ms-excel.slicer+xml",
                  "<slicers><slicer name=\"" + slicer + "\" cache=\"Slicer_Region\"/></slicers>")});
        if (std::string(name) == "Pivot")
            parts->links.push_back({"rIdP", rel + "pivotTable", "", pivot});
        parts->elements.push_back({"drawing", "<drawing r:id=\"rIdD\"/>"});
        parts->elements.push_back({"extLst",
                                   "<extLst><ext uri=\"{A8765BA9-456A-4dab-B4F3-ACF838C121DE}\">"
                                   "<x14:slicerList><x14:slicer r:id=\"rIdS\"/></x14:slicerList>"
                                   "</ext></extLst>"});
        sheets.push_back(std::make_unique<ss::Worksheet>(name));
        sheets.back()->parts = parts;
    }
    return sheets;
}

std::string partText(const ss::xlsx::PartGraphWriter& w, std::string_view prefix, size_t nth = 0) {
    for (const auto& p : w.parts())
        if (p.name.rfind(prefix, 0) == 0 && nth-- == 0) return *p.data;
    return {};
}

}  // namespace

// Slicers go with the caches they name when what those filter is in the package: repeated, the
// caches take free names and the pivot caches free numbers; a slicer whose pivot tables are all
// elsewhere is left out, with its frame and its place in the sheet's extension list.
TEST(PartGraph, SlicersFollowWhatTheyFilter) {
    auto a = slicerBook(), b = slicerBook();
    b[0]->name = "Pivot (2)";
    b[1]->name = "Dash (2)";
    {
        const std::vector<const ss::Worksheet*> sheets = {a[0].get(), a[1].get(), b[0].get(),
                                                          b[1].get()};
        ss::xlsx::PartGraphWriter w(sheets, {}, {});
        for (size_t i = 0; i < sheets.size(); ++i)
            w.sheet(i, "xl/worksheets/sheet" + std::to_string(i + 1) + ".xml");
        w.finish();
        ASSERT_EQ(w.caches().size(), 2u);
        EXPECT_EQ(w.caches()[0].name, "Slicer_Region");
        EXPECT_EQ(w.caches()[1].name, "Slicer_Region1");
        EXPECT_EQ(w.droppedSlicers(), 0u);
        // The second copy's cache filters the second pivot table, on sheet 3, through the
        // second pivot cache's new number; the pivot table of no sheet is taken out.
        const std::string second = *w.parts().back().data;
        EXPECT_NE(second.find("<pivotTable tabId=\"3\" name=\"P1\"/></pivotTables>"),
                  std::string::npos)
            << second;
        EXPECT_NE(second.find("pivotCacheId=\"8\""), std::string::npos) << second;
        EXPECT_NE(partText(w, "xl/pivotCache/", 1).find("pivotCacheId=\"8\""), std::string::npos);
        EXPECT_NE(partText(w, "xl/slicers/", 2).find("name=\"Region 1\" cache=\"Slicer_Region1\""),
                  std::string::npos)
            << partText(w, "xl/slicers/", 2);
        EXPECT_NE(partText(w, "xl/drawings/", 2).find("<sle:slicer name=\"Region 1\"/>"),
                  std::string::npos);
    }
    {
        // The dashboard alone: its slicer filters nothing here.
        const std::vector<const ss::Worksheet*> sheets = {a[1].get()};
        ss::xlsx::PartGraphWriter w(sheets, {}, {});
        ss::xlsx::PartGraphWriter::SheetOut out = w.sheet(0, "xl/worksheets/sheet1.xml");
        w.finish();
        EXPECT_TRUE(w.caches().empty());
        EXPECT_EQ(w.droppedSlicers(), 1u);
        EXPECT_EQ(out.rels.find("slicer"), std::string::npos) << out.rels;
        ASSERT_EQ(out.elements.size(), 1u);
        EXPECT_EQ(out.elements[0].element, "drawing");
        EXPECT_EQ(partText(w, "xl/drawings/"), "<xdr:wsDr xmlns:xdr=\"x\"></xdr:wsDr>");
    }
}

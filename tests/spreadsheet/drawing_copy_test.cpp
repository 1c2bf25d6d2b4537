// Anchors that travel with range copies: which are chosen, where they land, how they join the
// destination's drawing, and how carried charts are restated.
#include <gtest/gtest.h>

#include "package_parts.h"

#include <regex>
#include <set>

#include "spreadsheet/carry/drawing_copy.h"
#include "spreadsheet/carry/reference_map.h"
#include "spreadsheet/model/worksheet.h"

namespace {

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<xdr:wsDr xmlns:xdr=\"http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing\" "
    "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">";
const std::string kTail = "</xdr:wsDr>";

std::string marker(const char* el, uint32_t row, uint32_t col) {
    return "<xdr:" + std::string(el) + "><xdr:col>" + std::to_string(col) +
           "</xdr:col><xdr:colOff>7</xdr:colOff><xdr:row>" + std::to_string(row) +
           "</xdr:row><xdr:rowOff>9</xdr:rowOff></xdr:" + el + ">";
}

// A picture from (row, col) to three rows and two columns further (0-based, as stored).
std::string picture(uint32_t row, uint32_t col, int id, const char* rel) {
    return "<xdr:twoCellAnchor>" + marker("from", row, col) + marker("to", row + 3, col + 2) +
           "<xdr:pic><xdr:nvPicPr><xdr:cNvPr id=\"" + std::to_string(id) +
           "\" name=\"P\"/><xdr:cNvPicPr/></xdr:nvPicPr><xdr:blipFill><a:blip r:embed=\"" + rel +
           "\"/></xdr:blipFill><xdr:spPr/></xdr:pic><xdr:clientData/></xdr:twoCellAnchor>";
}

std::string chartFrame(uint32_t row, uint32_t col, int id, const char* rel) {
    return "<xdr:oneCellAnchor>" + marker("from", row, col) +
           "<xdr:ext cx=\"10\" cy=\"10\"/><xdr:graphicFrame macro=\"\"><xdr:nvGraphicFramePr>"
           "<xdr:cNvPr id=\"" +
           std::to_string(id) +
           "\" name=\"C\"/><xdr:cNvGraphicFramePr/></xdr:nvGraphicFramePr><xdr:xfrm/><a:graphic>"
           "<a:graphicData uri=\"http://schemas.openxmlformats.org/drawingml/2006/chart\"><c:chart "
           "xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" r:id=\"" +
           rel +
           "\"/></a:graphicData></a:graphic></xdr:graphicFrame><xdr:clientData/>"
           "</xdr:oneCellAnchor>";
}

using testparts::part;

const char* kDrawingType = "application/vnd.openxmlformats-officedocument.drawing+xml";
const char* kChartType = "application/vnd.openxmlformats-officedocument.drawingml.chart+xml";
const char* kImageRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/image";
const char* kChartRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/chart";

// A sheet whose drawing holds `anchors`, linking rIdImg to a picture and rIdChart to a chart.
std::shared_ptr<ss::PackagePart> drawingOn(ss::Worksheet& ws, const std::string& anchors,
                                           const std::string& chartXml = "<c:chartSpace/>") {
    auto drawing = part("xl/drawings/drawing1.xml", kDrawingType, kHead + anchors + kTail);
    drawing->links.push_back(
        {"rIdImg", kImageRel, "", part("xl/media/image1.png", "image/png", "PNG")});
    drawing->links.push_back(
        {"rIdChart", kChartRel, "", part("xl/charts/chart1.xml", kChartType, chartXml)});
    auto parts = std::make_shared<ss::SheetParts>();
    parts->links.push_back(
        {"rIdP1", "http://schemas.openxmlformats.org/officeDocument/2006/relationships/drawing", "",
         drawing});
    parts->elements.push_back({"drawing", "<drawing r:id=\"rIdP1\"/>"});
    ws.parts = parts;
    return drawing;
}

std::vector<std::string> ids(const std::string& xml, const char* pattern) {
    std::vector<std::string> out;
    std::regex re(pattern);
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), re); it != std::sregex_iterator();
         ++it)
        out.push_back((*it)[1]);
    return out;
}

TEST(DrawingCopy, AnchorsAreReadWithTheirKindAndCells) {
    const std::string xml =
        kHead + picture(1, 0, 2, "rIdImg") + chartFrame(4, 2, 3, "rIdChart") +
        "<xdr:absoluteAnchor><xdr:pos x=\"0\" y=\"0\"/><xdr:ext cx=\"1\" cy=\"1\"/><xdr:sp>"
        "<xdr:nvSpPr><xdr:cNvPr id=\"4\" name=\"S\"/></xdr:nvSpPr></xdr:sp><xdr:clientData/>"
        "</xdr:absoluteAnchor>"
        "<mc:AlternateContent "
        "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\">"
        "<mc:Choice Requires=\"a14\"><xdr:twoCellAnchor>" +
        marker("from", 9, 1) + marker("to", 10, 2) +
        "<xdr:sp><xdr:nvSpPr><xdr:cNvPr id=\"5\" name=\"T\"/></xdr:nvSpPr></xdr:sp>"
        "<xdr:clientData/></xdr:twoCellAnchor></mc:Choice></mc:AlternateContent>"
        "<xdr:twoCellAnchor>" +
        marker("from", 12, 1) + marker("to", 13, 2) +
        "<xdr:sp><xdr:nvSpPr><xdr:cNvPr id=\"1025\" name=\"Check Box 1\"><a:extLst><a:ext "
        "uri=\"x\">"
        "<a14:compatExt spid=\"_x0000_s1025\"/></a:ext></a:extLst></xdr:cNvPr></xdr:nvSpPr>"
        "</xdr:sp><xdr:clientData/></xdr:twoCellAnchor>" +
        kTail;
    auto anchors = ss::drawingAnchors(xml);
    struct Want {
        ss::AnchorKind kind;
        bool cells;
        uint32_t fromRow, fromCol, toRow, toCol;
    } want[] = {
        {ss::AnchorKind::Picture, true, 2, 1, 5, 3},
        {ss::AnchorKind::Chart, true, 5, 3, 5, 3},  // one cell: "to" is its top-left cell
        {ss::AnchorKind::Shape, false, 0, 0, 0, 0},
        {ss::AnchorKind::Shape, true, 10, 2, 11, 3},  // markup compatibility: its choice
    };  // the box of a legacy form control is not listed
    ASSERT_EQ(anchors.size(), std::size(want));
    for (size_t i = 0; i < anchors.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(anchors[i].kind, want[i].kind);
        EXPECT_EQ(anchors[i].cellAnchored, want[i].cells);
        EXPECT_EQ(anchors[i].fromRow, want[i].fromRow);
        EXPECT_EQ(anchors[i].fromCol, want[i].fromCol);
        EXPECT_EQ(anchors[i].toRow, want[i].toRow);
        EXPECT_EQ(anchors[i].toCol, want[i].toCol);
    }
}

TEST(DrawingCopy, AnchorsInTheCopiedCellsLandWithThemAndJoinTheDestinationDrawing) {
    ss::Worksheet source("Src");
    auto drawing = drawingOn(source, picture(1, 1, 2, "rIdImg") +            // B2: run 1
                                         picture(9, 1, 3, "rIdImg") +        // B10: not copied
                                         chartFrame(19, 1, 4, "rIdChart") +  // B20: run 2
                                         picture(1, 8, 5, "rIdImg") +        // I2: right of it
                                         picture(4, 4, 6, "rIdImg"));        // E5: last column
    // The destination has a drawing of its own with shape id 2 and relationship rIdImg.
    ss::Worksheet dest("Dst");
    auto own = drawingOn(dest, picture(0, 0, 2, "rIdImg"));
    auto ownXml = own->data;

    ss::DrawingSource src(drawing);
    ss::CopiedBlock block;
    block.firstCol = 1;
    block.lastCol = 5;
    block.dCol = 2;
    block.runs = {{1, 5, 10}, {18, 25, -5}};
    ss::DrawingTarget target;
    const ss::ChartFormulaFn none = [](std::string_view) { return std::nullopt; };
    auto carried = ss::carryAnchors(src, block, dest, target, none);
    ASSERT_EQ(carried.size(), 3u);
    EXPECT_EQ(carried[0].item, 0u);
    EXPECT_EQ(carried[1].item, 2u);
    EXPECT_EQ(carried[1].kind, ss::AnchorKind::Chart);
    EXPECT_EQ(carried[2].item, 4u);

    auto joined = ss::sheetDrawing(*dest.parts);
    ASSERT_TRUE(joined);
    EXPECT_EQ(*ownXml, *own->data) << "the destination's own part is not changed";
    auto landed = ss::drawingAnchors(*joined->data);
    struct Want {
        uint32_t fromRow, fromCol, toRow, toCol;
    } want[] = {{1, 1, 4, 3}, {12, 4, 15, 6}, {15, 4, 15, 4}, {15, 7, 18, 9}};
    ASSERT_EQ(landed.size(), std::size(want));
    for (size_t i = 0; i < landed.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(landed[i].fromRow, want[i].fromRow);
        EXPECT_EQ(landed[i].fromCol, want[i].fromCol);
        EXPECT_EQ(landed[i].toRow, want[i].toRow);
        EXPECT_EQ(landed[i].toCol, want[i].toCol);
    }
    EXPECT_NE(joined->data->find("<xdr:colOff>7</xdr:colOff><xdr:row>11</xdr:row><xdr:rowOff>9"),
              std::string::npos)
        << "offsets are kept";

    // A second copy appends to the same part: ids stay unique, relationships resolve.
    ss::CopiedBlock again = block;
    again.runs = {{1, 5, 100}};
    ASSERT_EQ(ss::carryAnchors(src, again, dest, target, none).size(), 2u);
    EXPECT_EQ(ss::sheetDrawing(*dest.parts), joined);
    const std::string& xml = *joined->data;
    auto shapes = ids(xml, "cNvPr id=\"(\\d+)\"");
    EXPECT_EQ(shapes.size(), 6u);
    EXPECT_EQ(std::set<std::string>(shapes.begin(), shapes.end()).size(), shapes.size());
    std::set<std::string> links;
    for (const ss::PartLink& l : joined->links) EXPECT_TRUE(links.insert(l.id).second) << l.id;
    for (const std::string& id : ids(xml, "r:(?:embed|id)=\"([^\"]+)\""))
        EXPECT_TRUE(links.count(id)) << id;
    EXPECT_EQ(xml.rfind(kTail), xml.size() - kTail.size());
    // Each carried chart is a part of its own; pictures share the source's part.
    std::set<const ss::PackagePart*> charts;
    for (const ss::PartLink& l : joined->links)
        if (l.type == kChartRel) charts.insert(l.part.get());
    EXPECT_EQ(charts.size(), 2u);  // the destination's own and the carried one
    EXPECT_FALSE(charts.count(drawing->links[1].part.get()));
}

TEST(DrawingCopy, AnchorsFollowDeletedAndInsertedRows) {
    ss::Worksheet ws("S");
    auto drawing = drawingOn(ws, picture(2, 0, 2, "rIdImg") + picture(6, 0, 3, "rIdImg"));
    ss::DrawingSource src(drawing);  // rows 3..6 and 7..10
    src.moveRows(ss::rowsDeletedMove({{1, 1}}));
    src.moveRows(ss::rowsInsertedMove(1, 2));
    src.moveRows(ss::rowsDeletedMove({{8, 11}}));  // every row of the second picture
    EXPECT_EQ(src.now(0).fromRow, 4u);
    EXPECT_EQ(src.now(0).toRow, 7u);
    EXPECT_TRUE(src.gone(1));
    EXPECT_EQ(src.originalRow(4), 3u);
    EXPECT_EQ(src.originalRow(1), 0u) << "an inserted row has no row it was read as";
    std::vector<size_t> found;
    src.select(1, 20, 1, 5, found);
    EXPECT_EQ(found, std::vector<size_t>{0});
}

TEST(DrawingCopy, ChartsPlotWhereTheirDataLandedOrKeepTheirValues) {
    const std::string chart =
        "<c:chartSpace xmlns:c=\"c\"><c:chart><c:title><c:tx><c:strRef><c:f>Old!$A$1</c:f>"
        "<c:strCache><c:ptCount val=\"1\"/><c:pt idx=\"0\"><c:v>Title &amp; co</c:v></c:pt>"
        "</c:strCache></c:strRef></c:tx></c:title><c:pivotSource><c:name>[b.xlsx]P!T1</c:name>"
        "<c:fmtId val=\"0\"/></c:pivotSource><c:ser><c:tx><c:strRef><c:f>Old!$B$1</c:f><c:strCache>"
        "<c:ptCount val=\"1\"/><c:pt idx=\"0\"><c:v>Sales</c:v></c:pt></c:strCache></c:strRef>"
        "</c:tx><c:cat><c:multiLvlStrRef><c:f>Old!$A$2:$B$3</c:f><c:multiLvlStrCache><c:ptCount "
        "val=\"2\"/><c:lvl><c:pt idx=\"0\"><c:v>x</c:v></c:pt></c:lvl><c:lvl><c:pt idx=\"0\">"
        "<c:v>g</c:v></c:pt></c:lvl></c:multiLvlStrCache></c:multiLvlStrRef></c:cat><c:val>"
        "<c:numRef><c:f>Data!$B$2:$B$3</c:f><c:numCache><c:ptCount val=\"2\"/><c:pt idx=\"0\">"
        "<c:v>1</c:v></c:pt></c:numCache></c:numRef></c:val><c:extLst><c:ext uri=\"u1\"><c15:f>"
        "Old!$C$2</c15:f></c:ext><c:ext uri=\"u2\"><c15:f>Data!$C$2</c15:f></c:ext></c:extLst>"
        "</c:ser></c:chart></c:chartSpace>";
    ss::ReferenceMap map;  // only the data of "Data" rows 2..3 came along, 10 rows down
    map.addBlock("Data", "Out", {{2, 1, 3, 5}, 10, 0});
    uint32_t uncovered = 0;
    std::string out = ss::restateChart(
        chart, [&](std::string_view f) { return ss::restateFormula(f, map, "Data"); }, &uncovered);
    EXPECT_EQ(uncovered, 4u);
    for (const char* want : {
             "<c:val><c:numRef><c:f>Out!$B$12:$B$13</c:f><c:numCache>",  // restated
             "<c:title><c:tx><c:rich xmlns:a=",                          // a title: rich text
             "<a:t>Title &amp; co</a:t>",
             "<c:ser><c:tx><c:v>Sales</c:v></c:tx>",  // a series name: its text
             "<c:cat><c:strLit><c:ptCount val=\"2\"/><c:pt "
             "idx=\"0\"><c:v>x</c:v></c:pt></c:strLit>",
             "<c:extLst><c:ext uri=\"u2\"><c15:f>Out!$C$12</c15:f></c:ext></c:extLst>",
         })
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    EXPECT_EQ(out.find("Old!"), std::string::npos);
    EXPECT_EQ(out.find("pivotSource"), std::string::npos);

    map = {};  // nothing came along: values only
    out =
        ss::restateChart(chart, [&](std::string_view f) { return ss::restateFormula(f, map, ""); });
    EXPECT_NE(out.find("<c:val><c:numLit><c:ptCount val=\"2\"/><c:pt idx=\"0\"><c:v>1</c:v></c:pt>"
                       "</c:numLit></c:val>"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("<c:f>"), std::string::npos);

    // A newer chart kind: its data formulas sit beside their cached levels.
    const std::string ex =
        "<cx:chartSpace><cx:chartData><cx:data id=\"0\"><cx:numDim type=\"val\"><cx:f>Data!$B$2:"
        "$B$3</cx:f><cx:lvl ptCount=\"2\"><cx:pt "
        "idx=\"0\">1</cx:pt></cx:lvl></cx:numDim><cx:strDim "
        "type=\"cat\"><cx:f dir=\"row\">Old!$A$2:$A$3</cx:f><cx:lvl ptCount=\"2\"/></cx:strDim>"
        "</cx:data></cx:chartData></cx:chartSpace>";
    map.addBlock("Data", "Out", {{2, 1, 3, 5}, 10, 0});
    out = ss::restateChart(ex, [&](std::string_view f) { return ss::restateFormula(f, map, ""); });
    EXPECT_NE(out.find("<cx:numDim type=\"val\"><cx:f>Out!$B$12:$B$13</cx:f><cx:lvl"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("<cx:strDim type=\"cat\"><cx:lvl ptCount=\"2\"/></cx:strDim>"),
              std::string::npos)
        << out;
}

}  // namespace

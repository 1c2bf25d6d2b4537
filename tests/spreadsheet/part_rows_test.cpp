// Rows deleted or inserted in a sheet move what the parts of its workbook say about them: the
// anchors of its drawing, chart series of any sheet that plot it, pivot sources and locations.
#include <gtest/gtest.h>

#include "package_parts.h"

#include <memory>
#include <string>

#include "spreadsheet/carry/drawing_copy.h"
#include "spreadsheet/carry/part_rows.h"
#include "spreadsheet/model/workbook.h"

namespace {

const char* kDrawingType = "application/vnd.openxmlformats-officedocument.drawing+xml";
const char* kChartType = "application/vnd.openxmlformats-officedocument.drawingml.chart+xml";
const char* kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

using testparts::part;

std::string marker(const char* el, uint32_t row) {
    return "<xdr:" + std::string(el) + "><xdr:col>1</xdr:col><xdr:colOff>7</xdr:colOff><xdr:row>" +
           std::to_string(row) + "</xdr:row><xdr:rowOff>9</xdr:rowOff></xdr:" + el + ">";
}

// A two-cell anchor over 0-based rows from..to; `rel` names a chart, else it is a picture.
std::string anchor(uint32_t from, uint32_t to, const char* rel, const char* editAs = nullptr) {
    std::string a = "<xdr:twoCellAnchor";
    if (editAs) a += std::string(" editAs=\"") + editAs + "\"";
    a += ">" + marker("from", from) + marker("to", to);
    if (std::string(rel) == "rIdChart")
        a += "<xdr:graphicFrame><a:graphic><a:graphicData "
             "uri=\"http://schemas.openxmlformats.org/drawingml/2006/chart\"><c:chart "
             "xmlns:c=\"c\" r:id=\"rIdChart\"/></a:graphicData></a:graphic></xdr:graphicFrame>";
    else
        a += std::string("<xdr:pic><xdr:blipFill><a:blip r:embed=\"") + rel +
             "\"/></xdr:blipFill></xdr:pic>";
    return a + "<xdr:clientData/></xdr:twoCellAnchor>";
}

// The hidden box a form control keeps in the drawing, over one 0-based row.
std::string controlBox(uint32_t row) {
    return "<mc:AlternateContent xmlns:mc=\"mc\"><mc:Choice Requires=\"a14\"><xdr:twoCellAnchor>" +
           marker("from", row) + marker("to", row) +
           "<xdr:sp><xdr:nvSpPr><xdr:cNvPr id=\"1025\" name=\"Check Box 1\" hidden=\"1\">"
           "<a:extLst><a:ext uri=\"{63B3BB69-23CF-44E3-9099-C40C66FF867C}\"><a14:compatExt "
           "xmlns:a14=\"a14\" spid=\"_x0000_s1025\"/></a:ext></a:extLst></xdr:cNvPr></xdr:nvSpPr>"
           "</xdr:sp><xdr:clientData/></xdr:twoCellAnchor></mc:Choice></mc:AlternateContent>";
}

std::string chart(const std::string& series) {
    return "<c:chartSpace xmlns:c=\"c\"><c:chart><c:pivotSource><c:name>[b.xlsx]Summary!P1"
           "</c:name></c:pivotSource><c:ser><c:val><c:numRef><c:f>" +
           series +
           "</c:f><c:numCache><c:ptCount val=\"1\"/><c:pt idx=\"0\"><c:v>5</c:v></c:pt>"
           "</c:numCache></c:numRef></c:val></c:ser></c:chart></c:chartSpace>";
}

// Sheet parts of one origin holding a drawing (with a chart plotting `series`) and, when given,
// a pivot table.
std::shared_ptr<ss::SheetParts> partsWith(const std::shared_ptr<const ss::PartOrigin>& origin,
                                          const char* name, const std::string& anchors,
                                          const std::string& series,
                                          std::shared_ptr<ss::PackagePart> pivot = nullptr) {
    auto drawing =
        part(std::string("xl/drawings/") + name + ".xml", kDrawingType,
             "<xdr:wsDr xmlns:xdr=\"x\" xmlns:a=\"a\" xmlns:r=\"r\">" + anchors + "</xdr:wsDr>");
    drawing->links.push_back(
        {"rIdImg", std::string(kRel) + "image", "", part("xl/media/a.png", "image/png", "PNG")});
    drawing->links.push_back(
        {"rIdChart", std::string(kRel) + "chart", "",
         part(std::string("xl/charts/") + name + ".xml", kChartType, chart(series))});
    drawing->links.push_back(
        {"rIdGone", std::string(kRel) + "image", "", part("xl/media/b.png", "image/png", "PNG2")});
    auto parts = std::make_shared<ss::SheetParts>();
    parts->origin = origin;
    parts->originName = name;
    parts->links.push_back({"rIdD", std::string(kRel) + "drawing", "", drawing});
    parts->elements.push_back({"drawing", "<drawing r:id=\"rIdD\"/>"});
    if (pivot) parts->links.push_back({"rIdP", std::string(kRel) + "pivotTable", "", pivot});
    return parts;
}

const std::string& dataOf(const ss::Worksheet& ws, const char* contentTail) {
    std::shared_ptr<const ss::PackagePart> d = ss::sheetDrawing(*ws.parts);
    if (std::string(contentTail) == "drawing") return *d->data;
    for (const ss::PartLink& l : d->links)
        if (l.part->contentType == kChartType) return *l.part->data;
    static const std::string none;
    return none;
}

TEST(PartRows, DeletedRowsMoveAnchorsChartsAndPivotSourcesOfTheSheetsOrigin) {
    ss::Workbook book;
    auto origin = std::make_shared<ss::PartOrigin>();
    auto other = std::make_shared<ss::PartOrigin>();
    auto cache = part("xl/pivotCache/pivotCacheDefinition1.xml",
                      "application/vnd.openxmlformats-officedocument.spreadsheetml."
                      "pivotCacheDefinition+xml",
                      "<pivotCacheDefinition><cacheSource type=\"worksheet\"><worksheetSource "
                      "ref=\"A1:C20\" sheet=\"data\"/></cacheSource></pivotCacheDefinition>");
    auto pivot = part("xl/pivotTables/pivotTable1.xml",
                      "application/vnd.openxmlformats-officedocument.spreadsheetml.pivotTable+xml",
                      "<pivotTableDefinition><location ref=\"A5:B9\"/></pivotTableDefinition>");
    pivot->links.push_back({"rId1", std::string(kRel) + "pivotCacheDefinition", "", cache});

    ss::Worksheet& data = book.addSheet("Data");
    // Rows (1-based) 3..6, 8..10 (from row deleted), 12..13 (all deleted); a chart at 15..20 that
    // stays the same size (editAs oneCell), and one fixed to the page at 12.
    data.parts = partsWith(origin, "Data",
                           anchor(2, 5, "rIdImg") + anchor(7, 9, "rIdImg") +
                               anchor(11, 12, "rIdGone") + anchor(14, 19, "rIdChart", "oneCell") +
                               anchor(11, 11, "rIdImg", "absolute") + controlBox(12),
                           "Data!$B$2:$B$20");
    ss::Worksheet& summary = book.addSheet("Summary");
    summary.parts = partsWith(origin, "Summary", anchor(0, 4, "rIdChart"),
                              "'Data'!$C$2:$C$20,Summary!$A$1", pivot);
    // A sheet copied from another workbook whose "Data" is another sheet: left alone.
    ss::Worksheet& stranger = book.addSheet("Data (2)");
    stranger.parts = partsWith(other, "Data", anchor(11, 12, "rIdImg"), "Data!$B$2:$B$20");
    const std::string strangerBefore = dataOf(stranger, "drawing");

    ss::movePartRows(book, data, ss::rowsDeletedMove({{8, 8}, {12, 13}}));

    const std::string& d = dataOf(data, "drawing");
    for (const char* want :
         {// rows 3..6 stay
          "<xdr:from><xdr:col>1</xdr:col><xdr:colOff>7</xdr:colOff><xdr:row>2</xdr:row>"
          "<xdr:rowOff>9</xdr:rowOff></xdr:from><xdr:to><xdr:col>1</xdr:col><xdr:colOff>7"
          "</xdr:colOff><xdr:row>5</xdr:row>",
          // 8..10 lost its top row: it starts at the top of the row that took its place
          "<xdr:row>7</xdr:row><xdr:rowOff>0</xdr:rowOff></xdr:from><xdr:to><xdr:col>1</xdr:col>"
          "<xdr:colOff>7</xdr:colOff><xdr:row>8</xdr:row><xdr:rowOff>9</xdr:rowOff>",
          // 15..20 moves up three rows and keeps its size
          "<xdr:row>11</xdr:row><xdr:rowOff>9</xdr:rowOff></xdr:from><xdr:to><xdr:col>1"
          "</xdr:col><xdr:colOff>7</xdr:colOff><xdr:row>16</xdr:row>",
          // fixed to the page: as it was
          "<xdr:twoCellAnchor editAs=\"absolute\"><xdr:from><xdr:col>1</xdr:col><xdr:colOff>7"
          "</xdr:colOff><xdr:row>11</xdr:row>"})
        EXPECT_NE(d.find(want), std::string::npos) << want << "\n" << d;
    EXPECT_EQ(d.find("rIdGone"), std::string::npos) << d;
    // The box of a control whose row went stays, as its control does, on the next row.
    const std::string box = d.substr(d.find("<mc:AlternateContent"));
    EXPECT_NE(box.find("<xdr:row>10</xdr:row><xdr:rowOff>0</xdr:rowOff></xdr:from><xdr:to><xdr:"
                       "col>1</xdr:col><xdr:colOff>7</xdr:colOff><xdr:row>10</xdr:row><xdr:"
                       "rowOff>0</xdr:rowOff>"),
              std::string::npos)
        << box;
    const auto& links = ss::sheetDrawing(*data.parts)->links;
    EXPECT_EQ(links.size(), 2u) << "the relationship of the anchor that went goes too";
    EXPECT_EQ(data.parts->dropped.at("图片"), 1u);

    EXPECT_NE(dataOf(data, "chart").find("<c:f>Data!$B$2:$B$17</c:f>"), std::string::npos);
    const std::string& sc = dataOf(summary, "chart");
    EXPECT_NE(sc.find("<c:f>'Data'!$C$2:$C$17,Summary!$A$1</c:f>"), std::string::npos) << sc;
    EXPECT_NE(sc.find("pivotSource"), std::string::npos) << "its pivot table stays beside it";
    const ss::PackagePart& movedPivot = *summary.parts->links.back().part;
    EXPECT_EQ(*movedPivot.data, *pivot->data) << "the pivot table stands on another sheet";
    EXPECT_NE(movedPivot.links[0].part->data->find("ref=\"A1:C17\" sheet=\"data\""),
              std::string::npos)
        << *movedPivot.links[0].part->data;
    EXPECT_EQ(dataOf(stranger, "drawing"), strangerBefore);

    // Rows inserted above the pivot table on its own sheet move it; a series whose cells all
    // go keeps the values it showed.
    ss::movePartRows(book, summary, ss::rowsInsertedMove(2, 3));
    EXPECT_NE(summary.parts->links.back().part->data->find("<location ref=\"A8:B12\"/>"),
              std::string::npos);
    ss::movePartRows(book, data, ss::rowsDeletedMove({{2, 17}}));
    const std::string& gone = dataOf(data, "chart");
    EXPECT_EQ(gone.find("<c:f>"), std::string::npos) << gone;
    EXPECT_NE(gone.find("<c:numLit>"), std::string::npos) << gone;
}

}  // namespace

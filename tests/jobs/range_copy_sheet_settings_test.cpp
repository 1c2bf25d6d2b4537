// What the jobs that copy ranges (merges into one sheet, splits by rows and by value) carry of
// the source sheet beside its cells: fit to page and the print settings, the filter over the
// copied rows, and a table whose header and rows all land in one output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/jobs.h"
#include "merge_fixtures.h"
#include "spreadsheet/carry/table_copy.h"
#include "test_host.h"

using namespace fixtures;
using ::testing::HasSubstr;

namespace {

// H1 H2 H3 and 20 rows (A1:C21), printed landscape on one page wide, with a filter over A1:C21.
void printedSheet(ss::Workbook& wb, const std::string& name) {
    ss::Worksheet& ws = wb.addSheet(name);
    const Grid g = table("a", 20);
    for (size_t r = 0; r < g.size(); ++r)
        for (size_t c = 0; c < g[r].size(); ++c)
            putText(wb, ws, uint32_t(r + 1), uint32_t(c + 1), g[r][c]);
    ws.fitToPage = true;
    ws.preserved.push_back({"pageMargins",
                            "<pageMargins left=\"0.25\" right=\"0.25\" top=\"0.5\" bottom=\"0.5\" "
                            "header=\"0.3\" footer=\"0.3\"/>"});
    ws.preserved.push_back(
        {"pageSetup", "<pageSetup orientation=\"landscape\" fitToWidth=\"1\" fitToHeight=\"0\"/>"});
    ws.autoFilter = ss::CellRange{1, 1, 21, 3};
}

// H1 H2 H3 and 20 rows (A1:C21), of which A1:C6 is the table Sales: its header, four rows and
// a total row.
void tableSheet(ss::Workbook& wb, const std::string& name) {
    ss::Worksheet& ws = wb.addSheet(name);
    const Grid g = table("a", 20);
    for (size_t r = 0; r < g.size(); ++r)
        for (size_t c = 0; c < g[r].size(); ++c)
            putText(wb, ws, uint32_t(r + 1), uint32_t(c + 1), g[r][c]);
    auto part = std::make_shared<ss::PackagePart>();
    part->name = "xl/tables/table1.xml";
    part->contentType = "application/vnd.openxmlformats-officedocument.spreadsheetml.table+xml";
    part->data = std::make_shared<const std::string>(
        "<table xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" id=\"1\" "
        "name=\"Sales\" displayName=\"Sales\" ref=\"A1:C6\" totalsRowCount=\"1\">"
        "<autoFilter ref=\"A1:C5\"/><tableColumns count=\"3\"><tableColumn id=\"1\" "
        "name=\"H1\"/><tableColumn id=\"2\" name=\"H2\"/><tableColumn id=\"3\" name=\"H3\"/>"
        "</tableColumns><tableStyleInfo name=\"TableStyleMedium9\" showFirstColumn=\"0\" "
        "showLastColumn=\"0\" showRowStripes=\"1\" showColumnStripes=\"0\"/></table>");
    auto parts = std::make_shared<ss::SheetParts>();
    parts->origin = std::make_shared<ss::PartOrigin>();
    parts->originName = name;
    parts->links.push_back(
        {"rIdP1", "http://schemas.openxmlformats.org/officeDocument/2006/relationships/table", "",
         part});
    parts->elements.push_back({"tableParts",
                               "<tableParts><tablePart r:id=\"rIdP1\"/>"
                               "</tableParts>"});
    ws.parts = parts;
}

struct Printed {
    bool fitToPage = false;
    bool landscape = false;
    std::string filter;
    bool operator==(const Printed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Printed& p) {
    return os << "{fit " << p.fitToPage << ", landscape " << p.landscape << ", filter '" << p.filter
              << "'}";
}

Printed printedAs(const fs::path& file) {
    Printed p;
    auto wb = open(file);
    if (!wb) return p;
    const ss::Worksheet& ws = *wb->sheets.at(0);
    p.fitToPage = ws.fitToPage;
    for (const ss::PreservedXml& x : ws.preserved)
        if (x.element == "pageSetup") p.landscape = x.xml.find("landscape") != std::string::npos;
    if (ws.autoFilter) p.filter = ws.autoFilter->toA1();
    return p;
}

std::string allTexts(const TestHost& host) {
    std::string out;
    for (const auto& t : host.texts) out += t + "\n";
    return out;
}

}  // namespace

// Every output sheet prints as its source did, and has the source's filter over its header and
// the rows copied (merged: over every block that lands below it).
TEST(RangeCopySheetSettings, PrintSettingsAndFilterReachEveryOutput) {
    TempDir dir;
    {
        ss::Workbook one, two, both;
        printedSheet(one, "S");
        printedSheet(two, "S");
        printedSheet(both, "S1");
        printedSheet(both, "S2");
        writeBook(dir / "src" / "1.xlsx", one);
        writeBook(dir / "src" / "2.xlsx", two);
        writeBook(dir / "book.xlsx", both);
    }
    struct Case {
        std::string job;
        std::function<void(JobOptions&, TestHost&)> run;
        std::vector<std::string> outputs;  // under dir
        Printed expected;
        std::string named;  // in the texts, when the filter could not be carried
    };
    const std::string out = (dir / "out").string() + "/";
    fs::create_directories(dir / "out");
    const std::vector<Case> cases = {
        {"split-rows",
         [&](JobOptions& o, TestHost& h) {
             o.splitSaveDir = out + "rows/";
             fs::create_directories(o.splitSaveDir);
             o.rowsPerWorkbook = 10;
             o.evenHeaderRows = true;
             o.evenHeaderRowCount = 1;
             TransformAverageJob((dir / "src" / "1.xlsx").string(), o, h);
         },
         {"out/rows/1_1.xlsx", "out/rows/1_2.xlsx"},
         {true, true, "A1:C11"},
         ""},
        {"split-column",
         [&](JobOptions& o, TestHost& h) {
             o.splitSaveDir = out + "values/";
             fs::create_directories(o.splitSaveDir);
             o.classifyColumn = 1;
             o.classifyHeaderRows = true;
             o.classifyHeaderRowCount = 1;
             TransformJob((dir / "src" / "1.xlsx").string(), o, h);
         },
         {"out/values/a7.xlsx"},
         {true, true, "A1:C2"},
         ""},
        {"merge-one-sheet",
         [&](JobOptions& o, TestHost& h) {
             o.headerRowsOnce = true;
             o.headerRowCount = 1;
             FilesToOneSheetJob((dir / "src").string(), o, h);
         },
         {"one.xlsx"},
         {true, true, "A1:C41"},
         ""},
        {"merge-sheets",
         [&](JobOptions& o, TestHost& h) {
             o.sheetMergeHeaderRowsOnce = true;
             o.sheetMergeHeaderRowCount = 1;
             ExcelSheetMergeJob((dir / "book.xlsx").string(), o, h);
         },
         {"sheets.xlsx"},
         {true, true, "A1:C41"},
         ""},
        {"merge-one-sheet, columns aligned by header",  // runs of columns carry no filter
         [&](JobOptions& o, TestHost& h) {
             o.alignHeaders = true;
             FilesToOneSheetJob((dir / "src").string(), o, h);
         },
         {"aligned.xlsx"},
         {true, true, ""},
         "筛选 2 个（来自 " + (dir / "src" / "1.xlsx").string() + " [S]、" +
             (dir / "src" / "2.xlsx").string() + " [S]）"},
        {"merge-sheets side by side",
         [&](JobOptions& o, TestHost& h) {
             o.sheetMergeVertical = false;
             ExcelSheetMergeJob((dir / "book.xlsx").string(), o, h);
         },
         {"beside.xlsx"},
         {true, true, "A1:C21"},
         "筛选 1 个（来自 [S2]）"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.job);
        JobOptions o;
        TestHost host((dir / c.outputs.front()).string());
        c.run(o, host);
        for (const std::string& file : c.outputs)
            EXPECT_EQ(printedAs(dir / file), c.expected) << file;
        if (c.named.empty())
            EXPECT_THAT(allTexts(host), ::testing::Not(HasSubstr("筛选 ")));
        else
            EXPECT_THAT(allTexts(host), HasSubstr(c.named));
    }
}

// Split by rows: a table whose header, rows and total row all land in one output stays a table
// there; the outputs it does not reach get none.
TEST(RangeCopySheetSettings, ATableCopiedWholeBySplitRowsStaysATable) {
    TempDir dir;
    {
        ss::Workbook wb;
        tableSheet(wb, "S");
        writeBook(dir / "t.xlsx", wb);
    }
    JobOptions o;
    o.splitSaveDir = (dir / "out").string() + "/";
    fs::create_directories(dir / "out");
    o.rowsPerWorkbook = 10;
    o.evenHeaderRows = true;
    o.evenHeaderRowCount = 1;
    TestHost host;
    TransformAverageJob((dir / "t.xlsx").string(), o, host);

    auto first = open(dir / "out" / "t_1.xlsx");
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->sheets.at(0)->parts);
    const std::vector<ss::TableInfo> tables = ss::sheetTables(*first->sheets[0]->parts);
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(tables[0].name, "Sales");
    EXPECT_EQ(tables[0].ref.toA1(), "A1:C6");
    EXPECT_EQ(tables[0].totalsRows, 1u);
    auto second = open(dir / "out" / "t_2.xlsx");
    ASSERT_TRUE(second);
    EXPECT_TRUE(!second->sheets.at(0)->parts || ss::sheetTables(*second->sheets[0]->parts).empty());
    EXPECT_THAT(allTexts(host), ::testing::Not(HasSubstr("表格")));
}

// A filter never spreads over a table that lands below it; the filter of a later source, which
// the sheet cannot take beside the first, is named.
TEST(RangeCopySheetSettings, AFilterNeverCoversATable) {
    TempDir dir;
    for (const char* file : {"1.xlsx", "2.xlsx"}) {
        ss::Workbook wb;
        printedSheet(wb, "数据");
        tableSheet(wb, "表");
        writeBook(dir / "src" / file, wb);
    }
    TestHost host((dir / "one.xlsx").string());
    FilesToOneSheetJob((dir / "src").string(), JobOptions{}, host);
    auto out = open(dir / "one.xlsx");
    ASSERT_TRUE(out);
    const ss::Worksheet& ws = *out->sheets.at(0);
    ASSERT_TRUE(ws.autoFilter);
    EXPECT_EQ(ws.autoFilter->toA1(), "A1:C21");
    ASSERT_TRUE(ws.parts);
    const std::vector<ss::TableInfo> tables = ss::sheetTables(*ws.parts);
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[0].ref.toA1(), "A22:C27");
    EXPECT_EQ(tables[1].ref.toA1(), "A64:C69");
    EXPECT_THAT(allTexts(host),
                HasSubstr("筛选 1 个（来自 " + (dir / "src" / "2.xlsx").string() + " [数据]）"));
}

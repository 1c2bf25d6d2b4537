#include "sheet_routines.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

using namespace automation;

namespace {

// Column A..C texts of rows 1..n, "|"-separated per row.
std::vector<std::string> rowsOf(Worksheet& s, uint32_t n, uint32_t cols = 3) {
    std::vector<std::string> out;
    for (uint32_t r = 1; r <= n; ++r) {
        std::string line;
        for (uint32_t c = 1; c <= cols; ++c) line += (c > 1 ? "|" : "") + s.Cells(r, c).Value();
        out.push_back(line);
    }
    return out;
}

// A1:C5 as in the routine's description: B3 and B5 empty.
Worksheet& keyFixture(Application& app) {
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    const char* rows[5][3] = {
        {"h1", "h2", "h3"}, {"a", "k2", "x"}, {"b", "", "y"}, {"c", "k4", "z"}, {"d", "", "w"}};
    for (uint32_t r = 1; r <= 5; ++r)
        for (uint32_t c = 1; c <= 3; ++c)
            if (*rows[r - 1][c - 1]) (void)s.Cells(r, c).SetValue(rows[r - 1][c - 1]);
    return s;
}

}  // namespace

TEST(ColumnLetters, LettersAndRangeTexts) {
    const std::pair<uint32_t, const char*> cases[] = {{1, "A"},     {26, "Z"},     {27, "AA"},
                                                      {52, "AZ"},   {53, "BA"},    {702, "ZZ"},
                                                      {703, "AAA"}, {16384, "XFD"}};
    for (auto [col, letters] : cases) EXPECT_EQ(columnLetters(col), letters) << col;
    EXPECT_EQ(cellText(7, 2), "B7");
    EXPECT_EQ(rangeText(1, 1, 1, 6), "A1:F1");
    EXPECT_EQ(rangeText(12, 27, 1048576, 30), "AA12:AD1048576");
}

TEST(SpreadsheetFileTest, VariantsAndLockFiles) {
    using V = FileTestVariant;
    struct Case {
        const char* path;
        bool folder, workbook, split;
    } cases[] = {
        {"/d/Book.xlsx", true, true, true},        {"/d/Book.XLSX", true, true, true},
        {"/d/Book.Xls", true, true, true},         {"/d/Book.xlsm", true, true, true},
        {"/d/Book.XLSM", true, true, true},        {"/d/A.XLSX/Book", false, false, false},
        {"/d/data.csv", true, false, true},        {"/d/data.CSV", true, false, true},
        {"/d/~$Book.xlsx", false, false, false},   {"/d/~$old/Book.xlsx", false, false, false},
        {"/d/a~$b/Book.xls", false, false, false}, {"/d/Book.xlsx.bak", false, false, false},
        {"/d/notes.txt", false, false, false},     {"/d/xlsx", false, false, false},
        {"/d/Book.ods", true, true, true},         {"/d/Book.ET", true, true, true},
        {"/d/export.xml", true, true, true},       {"/d/page.html", false, true, true},
        {"/d/Book.odt", false, false, false},      {"/d/page.htm", false, true, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isSpreadsheetFile(c.path, V::FolderMerge), c.folder) << c.path;
        EXPECT_EQ(isSpreadsheetFile(c.path, V::WorkbookJobs), c.workbook) << c.path;
        EXPECT_EQ(isSpreadsheetFile(c.path, V::SplitJobs), c.split) << c.path;
    }
}

TEST(TimeTexts, ElapsedAndTag) {
    EXPECT_EQ(elapsedTimeText(1000, 1012), "耗时12秒。");
    EXPECT_EQ(elapsedTimeText(5, 5), "耗时0秒。");
    std::tm t{};
    t.tm_hour = 9;
    t.tm_min = 30;
    t.tm_sec = 15;
    EXPECT_EQ(timeTag(t), "093015");
    t.tm_hour = 23;
    t.tm_min = 5;
    t.tm_sec = 0;
    EXPECT_EQ(timeTag(t), "230500");
    std::string now = timeTag();
    ASSERT_EQ(now.size(), 6u);
    EXPECT_LT(std::stoi(now.substr(0, 2)), 24);
}

TEST(EmptyWorksheet, ValueFormatAndSize) {
    Application app;
    Workbook& wb = *app.Workbooks()->Add();
    ss::Workbook& m = wb.model();

    Worksheet& blank = *wb.WorkSheets(1);
    EXPECT_TRUE(isEmptyWorksheet(usedRangeFacts(blank)));

    Worksheet& zero = *wb.Sheets().Add();
    (void)zero.Cells(1, 1).SetValue(0);
    EXPECT_FALSE(isEmptyWorksheet(usedRangeFacts(zero)));

    // C3 with a border only: its used range is that one cell, and it counts as empty.
    Worksheet& bordered = *wb.Sheets().Add();
    ss::Border b;
    b.left.style = "thin";
    ss::CellFormat xf;
    xf.borderId = m.styles.internBorder(b);
    xf.applyBorder = true;
    bordered.model().cell(3, 3).style = m.styles.internCellFormat(xf);
    UsedRangeFacts f = usedRangeFacts(bordered);
    EXPECT_EQ(f.firstRow, 3u);
    EXPECT_EQ(f.firstColumn, 3u);
    EXPECT_EQ(f.rowCount, 1u);
    EXPECT_EQ(f.columnCount, 1u);
    EXPECT_TRUE(isEmptyWorksheet(f));

    Worksheet& two = *wb.Sheets().Add();
    (void)two.Cells(2, 2).SetValue("x");
    (void)two.Cells(2, 4).SetValue("");  // writing nothing leaves the cell blank
    EXPECT_FALSE(isEmptyWorksheet(usedRangeFacts(two)));
    (void)two.Cells(4, 2).SetValue("y");
    f = usedRangeFacts(two);
    EXPECT_EQ(f.rowCount, 3u);
    EXPECT_FALSE(isEmptyWorksheet(f));
}

// A sheet without cells that holds something beside them is not empty; what it holds is named
// in the words of the job texts.
TEST(EmptyWorksheet, WhatASheetWithoutCellsHolds) {
    auto partsWith = [](const char* element, const char* xml, const char* type,
                        const char* contentType) {
        auto parts = std::make_shared<ss::SheetParts>();
        if (type) {
            auto part = std::make_shared<ss::PackagePart>();
            part->name = "xl/media/part1";
            part->contentType = contentType;
            part->data = std::make_shared<const std::string>(
                "<xdr:wsDr xmlns:xdr=\"http://schemas.openxmlformats.org/drawingml/2006/"
                "spreadsheetDrawing\"/>");
            parts->links.push_back({"rIdP1", type, "", part});
        }
        if (element) parts->elements.push_back({element, xml});
        return parts;
    };
    const char* kImage =
        "http://schemas.openxmlformats.org/officeDocument/2006/relationships/image";
    const char* kDrawing =
        "http://schemas.openxmlformats.org/officeDocument/2006/relationships/drawing";
    const char* kSlicer = "http://schemas.microsoft.com/office/2007/relationships/slicer";
    struct Case {
        const char* what;
        std::function<void(ss::Worksheet&)> give;
        std::map<std::string, uint32_t> held;
    };
    const std::vector<Case> cases = {
        {"nothing", [](ss::Worksheet&) {}, {}},
        {"margins only",
         [](ss::Worksheet& w) {
             w.preserved.push_back({"pageMargins", "<pageMargins/>"});
         },
         {}},
        {"a note",
         [](ss::Worksheet& w) {
             w.notes.push_back({4, 2, "甲", "<text/>", false});
         },
         {{"批注", 1}}},
        {"two dropdowns",
         [](ss::Worksheet& w) {
             w.preserved.push_back({"dataValidations",
                                    "<dataValidations count=\"2\"><dataValidation type=\"list\" "
                                    "sqref=\"A1\"/><dataValidation type=\"whole\" sqref=\"B1\"/>"
                                    "</dataValidations>"});
         },
         {{"数据验证", 2}}},
        {"a background picture",
         [&](ss::Worksheet& w) {
             w.parts = partsWith("picture", "<picture r:id=\"rIdP1\"/>", kImage, "image/png");
         },
         {{"图片", 1}}},
        {"a button of the older kind",
         [&](ss::Worksheet& w) {
             auto parts = partsWith(nullptr, nullptr, nullptr, nullptr);
             parts->legacyShapes =
                 "<v:shape id=\"_x0000_s1025\"><x:ClientData ObjectType=\"Button\">"
                 "</x:ClientData></v:shape>";
             w.parts = parts;
         },
         {{"表单控件", 1}}},
        {"a slicer's frame",
         [&](ss::Worksheet& w) {
             w.parts =
                 partsWith("extLst", "<extLst/>", kSlicer, "application/vnd.ms-excel.slicer+xml");
         },
         {{"其他对象", 1}}},
        {"a drawing left without pictures",
         [&](ss::Worksheet& w) {
             w.parts = partsWith("drawing", "<drawing r:id=\"rIdP1\"/>", kDrawing,
                                 "application/vnd.openxmlformats-officedocument.drawing+xml");
         },
         {}},
        {"what the reader left behind",
         [&](ss::Worksheet& w) {
             auto parts = partsWith(nullptr, nullptr, nullptr, nullptr);
             parts->dropped["外部数据查询"] = 1;
             w.parts = parts;
         },
         {{"外部数据查询", 1}}},
    };
    Application app;
    Workbook& wb = *app.Workbooks()->Add();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Worksheet& s = *wb.Sheets().Add();
        c.give(s.model());
        EXPECT_EQ(heldBesideCells(s), c.held);
        const UsedRangeFacts f = usedRangeFacts(s);
        EXPECT_TRUE(hasNoCells(f));
        EXPECT_EQ(isEmptyWorksheet(f), c.held.empty());
    }
}

TEST(HeaderRows, TwoOfTenRemoved) {
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    for (uint32_t r = 1; r <= 10; ++r) (void)s.Cells(r, 2).SetValue("row" + std::to_string(r));
    Range before = s.UsedRange();
    Range used = removeHeaderRows(s, 2);
    EXPECT_EQ(used.Address(), "B1:B8");
    EXPECT_EQ(before.Address(), "B1:B8");
    EXPECT_EQ(s.Cells(1, 2).Value(), "row3");
    EXPECT_EQ(s.Cells(8, 2).Value(), "row10");
    EXPECT_EQ(s.Cells(9, 2).Value(), "");
    // Nothing removed for a count below 1.
    EXPECT_EQ(removeHeaderRows(s, 0).Address(), "B1:B8");
}

TEST(EmptyKeyRows, RowsWithBlankKeyGoAndRangesFollow) {
    Application app;
    Worksheet& s = keyFixture(app);
    Range before = s.UsedRange();
    ASSERT_TRUE(removeEmptyKeyRows(s, 2));
    EXPECT_EQ(rowsOf(s, 4), (std::vector<std::string>{"h1|h2|h3", "a|k2|x", "c|k4|z", "||"}));
    // The range fetched before describes the rows that are left; nothing is hidden, no filter
    // stays behind, and the marker text is nowhere.
    EXPECT_EQ(before.Address(), "A1:C3");
    EXPECT_FALSE(s.AutoFilterMode());
    for (const ss::Row& r : s.model().rows()) EXPECT_FALSE(r.hidden) << r.index;
    EXPECT_EQ(s.UsedRange().Address(), "A1:C3");
}

TEST(EmptyKeyRows, NoBlankKeyDeletesOnlyTheMarker) {
    Application app;
    Worksheet& s = keyFixture(app);
    ASSERT_TRUE(removeEmptyKeyRows(s, 1));
    EXPECT_EQ(rowsOf(s, 5),
              (std::vector<std::string>{"h1|h2|h3", "a|k2|x", "b||y", "c|k4|z", "d||w"}));
}

TEST(EmptyKeyRows, KeyColumnBeyondTheTableLeavesNoRow) {
    // Every key cell of column E is blank.
    Application app;
    Worksheet& s = keyFixture(app);
    ASSERT_TRUE(removeEmptyKeyRows(s, 5));
    EXPECT_EQ(s.model().cellCount(), 0u);
    EXPECT_FALSE(removeEmptyKeyRows(s, 0));
}

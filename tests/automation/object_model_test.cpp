#include "application.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "spreadsheet/io/io.h"

using namespace automation;
namespace fs = std::filesystem;

namespace {

// Writes a column of texts from (row, col) down; "" leaves the cell blank.
void column(Worksheet& s, uint32_t row, uint32_t col, std::initializer_list<const char*> texts) {
    for (const char* t : texts) (void)s.Cells(row++, col).SetValue(t);
}

ss::Formula formula(std::string text) {
    ss::Formula f;
    f.text = std::move(text);
    return f;
}

std::string text(Worksheet& s, const char* a1) {
    return s.Range(a1).Value();
}

uint32_t boldStyle(ss::Workbook& wb) {
    ss::Font f;
    f.bold = true;
    ss::CellFormat xf;
    xf.fontId = wb.styles.internFont(f);
    xf.applyFont = true;
    return wb.styles.internCellFormat(xf);
}

bool isBold(Worksheet& s, uint32_t r, uint32_t c) {
    const ss::Cell* cell = s.model().find(r, c);
    const ss::StyleTable& st = s.Parent().model().styles;
    return cell && st.fonts[st.cellXfs[cell->style].fontId].bold;
}

struct TempDir {
    fs::path path = fs::temp_directory_path() / ("tw_automation_" + std::to_string(::getpid()));
    TempDir() { fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path); }
};

}  // namespace

TEST(Workbooks, AddOpenAndActive) {
    Application app;
    Workbooks& books = *app.Workbooks();
    Workbook* a = books.Add();
    ASSERT_EQ(a->Sheets().Count(), 1);
    EXPECT_EQ(a->Sheets().Item(1)->Name(), "Sheet1");
    EXPECT_EQ(app.ActiveWorkBook(), a);
    Workbook* b = books.Add();
    EXPECT_EQ(app.ActiveWorkBook(), b);
    EXPECT_EQ(books.Count(), 2);
    EXPECT_EQ(books.Item(3), nullptr);

    auto missing = books.Open("/nonexistent/folder/book.xlsx");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.message().find("book.xlsx"), std::string::npos);
    EXPECT_EQ(books.Count(), 2);

    ASSERT_TRUE(b->Close(false));
    EXPECT_EQ(app.ActiveWorkBook(), a);
    app.Quit();
    EXPECT_EQ(books.Count(), 0);
    EXPECT_EQ(app.ActiveWorkBook(), nullptr);
}

TEST(Sheets, AddGoesBeforeTheActiveSheet) {
    // One workbook, one sheet per value: rename sheet 1, add, repeat. Each added sheet becomes
    // sheet 1, so the values stand in reverse order.
    Application app;
    Workbook& wb = *app.Workbooks()->Add();
    const char* values[] = {"甲", "乙", "丙"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(wb.Sheets().Item(1)->SetName(values[i]));
        if (i < 2 && wb.Sheets().Count() - 1 == i) {
            ASSERT_NE(wb.Sheets().Add(), nullptr);
        }
    }
    ASSERT_EQ(wb.Sheets().Count(), 3);
    EXPECT_EQ(wb.Sheets().Item(1)->Name(), "丙");
    EXPECT_EQ(wb.Sheets().Item(2)->Name(), "乙");
    EXPECT_EQ(wb.Sheets().Item(3)->Name(), "甲");
    EXPECT_EQ(wb.ActiveSheet(), wb.Sheets().Item(1));
}

TEST(Worksheet, NameRules) {
    Application app;
    Workbook& wb = *app.Workbooks()->Add();
    Worksheet& other = *wb.Sheets().Add();
    ASSERT_TRUE(other.SetName("Data"));
    Worksheet& s = *wb.Sheets().Item(2);
    struct Case {
        std::string name;
        bool ok;
    } cases[] = {
        {"Report", true},
        {std::string(31, 'x'), true},
        {std::string(31, 'x') + "y", false},
        {"", false},
        {"a:b", false},
        {"a\\b", false},
        {"a/b", false},
        {"a?b", false},
        {"a*b", false},
        {"a[b", false},
        {"a]b", false},
        {"'quoted", false},
        {"quoted'", false},
        {"it's", true},
        {"DATA", false},   // another sheet's name in another case
        {"sheet1", true},  // its own name in another case
        {"销售数据", true},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(s.SetName("Start"));
        ss::Status st = s.SetName(c.name);
        EXPECT_EQ(bool(st), c.ok) << c.name;
        EXPECT_EQ(s.Name(), c.ok ? c.name : "Start") << c.name;
        if (!c.ok) {
            EXPECT_EQ(st.message().rfind("工作表名称无效", 0), 0u) << st.message();
        }
    }
}

TEST(Worksheet, DeleteKeepsOneVisibleSheet) {
    Application app;
    Workbook& wb = *app.Workbooks()->Add();
    Worksheet* second = wb.Sheets().Add();  // before Sheet1, active
    Range r = second->Cells(1, 1);
    EXPECT_TRUE(wb.Sheets().Item(2)->Delete());
    EXPECT_EQ(wb.Sheets().Count(), 1);
    EXPECT_EQ(wb.Sheets().Item(1), second);
    EXPECT_FALSE(second->Delete());
    EXPECT_EQ(wb.Sheets().Count(), 1);
    EXPECT_TRUE(r.valid());

    // A hidden sheet does not count: the only visible one stays.
    wb.Sheets().Add()->model().state = ss::SheetState::Hidden;
    EXPECT_FALSE(second->Delete());
    ASSERT_TRUE(wb.Sheets().Item(1)->Delete());  // the hidden one
    EXPECT_EQ(wb.Sheets().Count(), 1);
}

TEST(Worksheet, CopyCarriesTheSheetIntoANewWorkbook) {
    Application app;
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& s = *src.WorkSheets(1);
    ASSERT_TRUE(s.SetName("Sales"));
    column(s, 1, 1, {"名称", "a", "b"});
    (void)s.Cells(2, 2).SetValue(12.5);
    s.model().cell(1, 1).style = boldStyle(src.model());
    s.model().merges.push_back(ss::CellRange{1, 1, 1, 2});
    s.model().columns.push_back(ss::ColumnInfo{1, 1, 20.0, 0, true});
    s.model().row(2).customHeight = true;
    s.model().row(2).height = 30.0f;
    s.model().frozenRows = 1;

    auto copy = s.Copy();
    ASSERT_TRUE(copy);
    Worksheet& c = **copy;
    EXPECT_EQ(app.ActiveWorkBook(), &c.Parent());
    EXPECT_NE(&c.Parent(), &src);
    EXPECT_EQ(c.Parent().Sheets().Count(), 1);
    EXPECT_EQ(c.Name(), "Sales");
    EXPECT_EQ(text(c, "A1"), "名称");
    EXPECT_EQ(text(c, "B2"), "12.5");
    EXPECT_TRUE(isBold(c, 1, 1));
    EXPECT_EQ(c.model().merges, s.model().merges);
    EXPECT_EQ(c.model().columns, s.model().columns);
    EXPECT_EQ(c.model().findRow(2)->height, 30.0f);
    EXPECT_EQ(c.model().frozenRows, 1u);
    // The copy is independent of its source.
    (void)s.Cells(1, 1).SetValue("changed");
    EXPECT_EQ(text(c, "A1"), "名称");
}

TEST(Worksheet, CopyBeforeRenamesClashesAndInternsFormats) {
    Application app;
    Workbook& target = *app.Workbooks()->Add();
    ASSERT_TRUE(target.WorkSheets(1)->SetName("Sheet1 (2)"));  // taken numbers are skipped
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& s = *src.WorkSheets(1);
    (void)s.Cells(1, 1).SetValue("x");
    s.model().cell(1, 1).style = boldStyle(src.model());
    (void)s.Cells(1, 2).SetValue(3);
    s.model().setFormula(1, 2, formula("Other!A1+1"));  // no such sheet in the target
    (void)s.Cells(1, 3).SetValue(4);
    s.model().setFormula(1, 3, formula("B1+1"));

    src.model().names.push_back(
        ss::DefinedName{"_xlnm.Print_Area", "Sheet1!$A$1:$C$3", 0u, false, ""});

    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        Worksheet* before = target.Sheets().Item(target.Sheets().Count());
        auto copy = s.Copy(*before);
        ASSERT_TRUE(copy);
        names.push_back((*copy)->Name());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Sheet1", "Sheet1 (3)", "Sheet1 (4)"}));
    EXPECT_EQ(target.Sheets().Item(4)->Name(), "Sheet1 (2)");  // the copies went before it
    // The copies' texts are restated once their source is done with.
    ASSERT_TRUE(src.Close(false));
    // Each copy has its own print area, naming the copy.
    std::vector<std::string> areas(4);
    for (const ss::DefinedName& n : target.model().names) areas.at(*n.localSheet) = n.formula;
    EXPECT_EQ(areas, (std::vector<std::string>{"Sheet1!$A$1:$C$3", "'Sheet1 (3)'!$A$1:$C$3",
                                               "'Sheet1 (4)'!$A$1:$C$3", ""}));

    Worksheet& c = *target.Sheets().Item(1);
    EXPECT_EQ(text(c, "A1"), "x");
    EXPECT_TRUE(isBold(c, 1, 1));
    EXPECT_EQ(c.model().formula(1, 2), nullptr);  // frozen: keeps its value only
    EXPECT_EQ(text(c, "B1"), "3");
    ASSERT_NE(c.model().formula(1, 3), nullptr);
    EXPECT_EQ(c.model().formula(1, 3)->text, "B1+1");

    // A long name is shortened so that the suffix fits in 31 characters.
    Worksheet& l = *app.Workbooks()->Add()->WorkSheets(1);
    ASSERT_TRUE(l.SetName(std::string(31, 'n')));
    ASSERT_TRUE(l.Copy(*target.Sheets().Item(1)));
    ASSERT_TRUE(l.Copy(*target.Sheets().Item(1)));
    EXPECT_EQ(target.Sheets().Item(1)->Name(), std::string(27, 'n') + " (2)");
}

TEST(Worksheet, UsedRangeAndRangeTexts) {
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    EXPECT_EQ(s.UsedRange().Address(), "A1");
    (void)s.Cells(3, 2).SetValue("a");
    s.model().cell(9, 6).style = boldStyle(s.Parent().model());  // a format alone counts
    Range u = s.UsedRange();
    EXPECT_EQ(u.Address(), "B3:F9");
    EXPECT_EQ(u.Row(), 3u);
    EXPECT_EQ(u.Column(), 2u);
    EXPECT_EQ(u.Rows().Count(), 7u);
    EXPECT_EQ(u.Columns().Count(), 5u);
    EXPECT_EQ(u.Count(), 35u);

    struct Case {
        const char* a1;
        const char* address;  // "" : no range
    } cases[] = {{"A1:F9", "A1:F9"},
                 {"$B$2", "B2"},
                 {"F9:A1", "A1:F9"},
                 {"A:C", "A1:C1048576"},
                 {"XFD1048576", "XFD1048576"},
                 {"XFE1", ""},
                 {"A0", ""},
                 {"A1048577", ""},
                 {"", ""},
                 {"Sheet1!A1", ""},
                 {"A1:", ""},
                 {"1A", ""}};
    for (const Case& c : cases) {
        Range r = s.Range(c.a1);
        EXPECT_EQ(r.valid(), *c.address != 0) << c.a1;
        EXPECT_EQ(r.Address(), c.address) << c.a1;
    }
    EXPECT_FALSE(s.Cells(0, 1));
    EXPECT_FALSE(s.Rows(1048577));
    EXPECT_EQ(s.Range("XFE1").Value(), "");
    EXPECT_FALSE(s.Range("XFE1").Copy(s.Cells(1, 1)));
}

TEST(Range, LiveAcrossInsertsAndDeletes) {
    // A range over rows 3..5 after each row operation.
    struct Case {
        const char* op;  // "i" insert, "d" delete
        const char* rows;
        const char* after;  // "" : the range is gone
    } cases[] = {
        {"i", "1:2", "A5:C7"}, {"i", "3:3", "A4:C6"}, {"i", "4:5", "A3:C7"}, {"i", "6:6", "A3:C5"},
        {"d", "1:1", "A2:C4"}, {"d", "4:4", "A3:C4"}, {"d", "2:3", "A2:C3"}, {"d", "3:5", ""},
        {"d", "5:9", "A3:C4"}, {"d", "6:6", "A3:C5"},
    };
    for (const Case& c : cases) {
        Application app;
        Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
        column(s, 1, 1, {"1", "2", "3", "4", "5", "6", "7"});
        Range r = s.Range("A3:C5");
        Range cell = s.Cells(5, 1);
        Range rows = s.Range(c.rows);
        ASSERT_TRUE(*c.op == 'i' ? rows.Insert() : rows.Delete());
        EXPECT_EQ(r.Address(), c.after) << c.op << " " << c.rows;
        // The range still describes the same cells: its last row holds "5" when it survived.
        if (*c.after && cell) {
            EXPECT_EQ(cell.Value(), "5") << c.op << " " << c.rows;
        }
    }
}

TEST(Range, RowOperationsMoveTheSheetsKeptElements) {
    // Hyperlinks, conditional formats, data validation and ignored-error flags name rows too:
    // they move with the rows, lose the rows that go, and go when nothing of them is left.
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    auto& kept = s.model().preserved;
    kept = {{"conditionalFormatting",
             "<conditionalFormatting sqref=\"A2:A9 C5\"><cfRule type=\"expression\" "
             "priority=\"1\"><formula>A2&gt;A$1</formula></cfRule></conditionalFormatting>"},
            {"dataValidations",
             "<dataValidations count=\"2\"><dataValidation type=\"list\" sqref=\"B5\">"
             "<formula1>$D$5:$D$9</formula1></dataValidation><dataValidation type=\"list\" "
             "sqref=\"B8:B9\"><formula1>$D$5:$D$9</formula1></dataValidation></dataValidations>"},
            {"hyperlinks",
             "<hyperlinks><hyperlink ref=\"A2\" location=\"Sheet1!A9\"/>"
             "<hyperlink ref=\"A5\" r:id=\"rIdL1\"/><hyperlink ref=\"A9\" r:id=\"rIdL2\"/>"
             "</hyperlinks>"},
            {"ignoredErrors",
             "<ignoredErrors><ignoredError sqref=\"A4:A5\" numberStoredAsText=\"1\"/>"
             "</ignoredErrors>"},
            {"pageMargins", "<pageMargins left=\"0.7\" right=\"0.7\"/>"},
            {"rowBreaks",
             "<rowBreaks count=\"2\" manualBreakCount=\"2\"><brk id=\"3\" max=\"16383\" "
             "man=\"1\"/><brk id=\"8\" max=\"16383\" man=\"1\"/></rowBreaks>"}};
    ASSERT_TRUE(s.Range("3:5").Delete());
    auto xml = [&](size_t i) { return i < kept.size() ? kept[i].xml : std::string("(none)"); };
    ASSERT_EQ(kept.size(), 5u);  // the ignored-error flags had rows 4 and 5 only
    EXPECT_EQ(xml(0),
              "<conditionalFormatting sqref=\"A2:A6\"><cfRule type=\"expression\" "
              "priority=\"1\"><formula>A2&gt;A$1</formula></cfRule></conditionalFormatting>");
    EXPECT_EQ(xml(1),
              "<dataValidations count=\"1\"><dataValidation type=\"list\" sqref=\"B5:B6\">"
              "<formula1>$D$3:$D$6</formula1></dataValidation></dataValidations>");
    EXPECT_EQ(xml(2),
              "<hyperlinks><hyperlink ref=\"A2\" location=\"Sheet1!A9\"/>"
              "<hyperlink ref=\"A6\" r:id=\"rIdL2\"/></hyperlinks>");
    EXPECT_EQ(xml(3), "<pageMargins left=\"0.7\" right=\"0.7\"/>");
    // Page breaks stay above the first row left below them.
    EXPECT_EQ(xml(4),
              "<rowBreaks count=\"2\" manualBreakCount=\"2\"><brk id=\"2\" max=\"16383\" "
              "man=\"1\"/><brk id=\"5\" max=\"16383\" man=\"1\"/></rowBreaks>");

    ASSERT_TRUE(s.Range("1:2").Insert());
    EXPECT_EQ(xml(4),
              "<rowBreaks count=\"2\" manualBreakCount=\"2\"><brk id=\"4\" max=\"16383\" "
              "man=\"1\"/><brk id=\"7\" max=\"16383\" man=\"1\"/></rowBreaks>");
    EXPECT_EQ(xml(0),
              "<conditionalFormatting sqref=\"A4:A8\"><cfRule type=\"expression\" "
              "priority=\"1\"><formula>A4&gt;A$3</formula></cfRule></conditionalFormatting>");
    EXPECT_EQ(xml(2),
              "<hyperlinks><hyperlink ref=\"A4\" location=\"Sheet1!A9\"/>"
              "<hyperlink ref=\"A8\" r:id=\"rIdL2\"/></hyperlinks>");
    // The rows of the top left cell go: the rule is restated for the cell that takes its place.
    ASSERT_TRUE(s.Range("4:5").Delete());
    EXPECT_EQ(xml(0),
              "<conditionalFormatting sqref=\"A4:A6\"><cfRule type=\"expression\" "
              "priority=\"1\"><formula>A4&gt;A$3</formula></cfRule></conditionalFormatting>");
}

TEST(Range, KeptElementsOverWholeColumnsStayWhole) {
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    auto& kept = s.model().preserved;
    kept = {{"conditionalFormatting",
             "<conditionalFormatting sqref=\"E:E\"><cfRule type=\"expression\" "
             "priority=\"1\"><formula>E1&gt;0</formula></cfRule></conditionalFormatting>"}};
    const std::string whole =
        "<conditionalFormatting sqref=\"E1:E1048576\"><cfRule type=\"expression\" "
        "priority=\"1\"><formula>E1&gt;0</formula></cfRule></conditionalFormatting>";
    ASSERT_TRUE(s.Range("2:3").Delete());
    EXPECT_EQ(kept.at(0).xml, whole);
    ASSERT_TRUE(s.Range("1:2").Insert());
    EXPECT_EQ(kept.at(0).xml, whole);
}

TEST(Range, CopiesBringRulesListsAndLinksAndReplaceThoseOfTheArea) {
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    column(s, 1, 1, {"1", "2", "3", "4"});
    auto& kept = s.model().preserved;
    s.model().externalLinks = {"https://example.com/"};
    kept = {{"conditionalFormatting",
             "<conditionalFormatting sqref=\"A1:A4\"><cfRule type=\"expression\" "
             "priority=\"1\"><formula>A1&gt;0</formula></cfRule></conditionalFormatting>"},
            {"conditionalFormatting",
             "<conditionalFormatting sqref=\"C3:C6\"><cfRule type=\"expression\" "
             "priority=\"2\"><formula>C3&gt;5</formula></cfRule></conditionalFormatting>"},
            {"dataValidations",
             "<dataValidations count=\"1\"><dataValidation type=\"whole\" sqref=\"C1:C2\">"
             "<formula1>1</formula1></dataValidation></dataValidations>"},
            {"hyperlinks", "<hyperlinks><hyperlink ref=\"A2\" r:id=\"rIdL1\"/></hyperlinks>"}};
    ASSERT_TRUE(s.Range("A1:A4").Copy(s.Range("C1")));
    std::vector<std::string> xml;
    for (const auto& p : kept) xml.push_back(p.xml);
    EXPECT_EQ(xml, (std::vector<std::string>{
                       // The copy continues the same rule: one rule over both ranges.
                       "<conditionalFormatting sqref=\"A1:A4 C1:C4\"><cfRule type=\"expression\" "
                       "priority=\"1\"><formula>A1&gt;0</formula></cfRule></conditionalFormatting>",
                       // What the area had is gone; the rest of the rule restated for C5.
                       "<conditionalFormatting sqref=\"C5:C6\"><cfRule type=\"expression\" "
                       "priority=\"2\"><formula>C5&gt;5</formula></cfRule></conditionalFormatting>",
                       "<hyperlinks><hyperlink ref=\"A2\" r:id=\"rIdL1\"/><hyperlink ref=\"C2\" "
                       "r:id=\"rIdL1\"/></hyperlinks>"}));

    // Into another workbook: the link's target comes along.
    Worksheet& d = *app.Workbooks()->Add()->WorkSheets(1);
    ASSERT_TRUE(s.Range("A2:A3").Copy(d.Range("B10")));
    EXPECT_EQ(d.model().externalLinks, std::vector<std::string>{"https://example.com/"});
    ASSERT_EQ(d.model().preserved.size(), 2u);
    EXPECT_EQ(d.model().preserved[0].xml,
              "<conditionalFormatting sqref=\"B10:B11\"><cfRule type=\"expression\" "
              "priority=\"1\"><formula>B10&gt;0</formula></cfRule></conditionalFormatting>");
    EXPECT_EQ(d.model().preserved[1].xml,
              "<hyperlinks><hyperlink ref=\"B10\" r:id=\"rIdL1\"/></hyperlinks>");
    // The next block right below continues the rule: its range joins the last one.
    ASSERT_TRUE(s.Range("A4").Copy(d.Range("B12")));
    ASSERT_EQ(d.model().preserved.size(), 2u);
    EXPECT_EQ(d.model().preserved[0].xml,
              "<conditionalFormatting sqref=\"B10:B12\"><cfRule type=\"expression\" "
              "priority=\"1\"><formula>B10&gt;0</formula></cfRule></conditionalFormatting>");
}

TEST(Range, NotesMoveWithTheirCells) {
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    auto note = [](uint32_t r, uint32_t c, const char* who) {
        return ss::CellNote{r, c, who, "<text><t>" + std::string(who) + "</t></text>"};
    };
    auto where = [](const ss::Worksheet& m) {
        std::vector<std::string> out;
        for (const ss::CellNote& n : m.notes) out.push_back(ss::cellName(n.row, n.col) + n.author);
        std::sort(out.begin(), out.end());
        return out;
    };
    using V = std::vector<std::string>;
    s.model().notes = {note(2, 1, "a"), note(5, 1, "b"), note(9, 2, "c"), note(21, 4, "old"),
                       note(40, 4, "far")};
    ASSERT_TRUE(s.Range("3:5").Delete());  // b's row goes with it
    EXPECT_EQ(where(s.model()), (V{"A2a", "B6c", "D18old", "D37far"}));
    ASSERT_TRUE(s.Range("1:2").Insert());
    EXPECT_EQ(where(s.model()), (V{"A4a", "B8c", "D20old", "D39far"}));
    // A copy brings the notes of its cells and takes those of the area away.
    ASSERT_TRUE(s.Range("A1:B8").Copy(s.Range("D20")));
    EXPECT_EQ(where(s.model()), (V{"A4a", "B8c", "D23a", "D39far", "E27c"}));
}

TEST(Range, RowOperationsMoveFormulasAndMerges) {
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    column(s, 1, 1, {"1", "2", "3"});
    (void)s.Cells(4, 1).SetValue(6);
    s.model().setFormula(4, 1, formula("SUM(A1:A3)"));
    s.model().merges.push_back(ss::CellRange{2, 2, 3, 2});
    ASSERT_TRUE(s.Rows(1).Insert());
    ASSERT_NE(s.model().formula(5, 1), nullptr);
    EXPECT_EQ(s.model().formula(5, 1)->text, "SUM(A2:A4)");
    EXPECT_EQ(s.model().merges.front(), (ss::CellRange{3, 2, 4, 2}));
    ASSERT_TRUE(s.Range("3:3").EntireRow().Delete());
    EXPECT_EQ(s.model().formula(4, 1)->text, "SUM(A2:A3)");
    EXPECT_TRUE(s.model().merges.empty());  // one row left: no longer a merge

    // Formulas of other sheets that name the sheet, and its own qualified ones, follow too.
    Worksheet& other = *s.Parent().Sheets().Add();
    other.model().setFormula(1, 1, formula("Sheet1!A4+'Sheet1'!A3+A4"));
    s.model().setFormula(5, 1, formula("Sheet1!A4"));
    ss::DefinedName total;
    total.name = "Total";
    total.formula = "Sheet1!$A$2:$A$4";
    s.Parent().model().names.push_back(total);
    ASSERT_TRUE(s.Range("1:1").EntireRow().Delete());
    EXPECT_EQ(other.model().formula(1, 1)->text, "Sheet1!A3+'Sheet1'!A2+A4");
    EXPECT_EQ(s.model().formula(4, 1)->text, "Sheet1!A3");
    EXPECT_EQ(s.Parent().model().names.back().formula, "Sheet1!$A$1:$A$3");

    // Several bands at once: references close up, those into deleted rows break.
    Application app2;
    Worksheet& t = *app2.Workbooks()->Add()->WorkSheets(1);
    column(t, 1, 1, {"1", "2", "3", "4", "5", "6", "7"});
    t.model().setFormula(7, 1, formula("SUM(A1:A6)+A2+$A$5+A4:A5+B:B"));
    t.model().setFormula(6, 1, formula("Other!A5+A5"));
    ASSERT_TRUE(t.Range("A2").AutoFilter(1, "2"));  // hides every data row but row 2
    ASSERT_TRUE(t.Range("A1:A5").SpecialCells(kCellTypeVisible).EntireRow().Delete());
    // Rows 1 and 2 went (2 was visible, 1 is the filter's header), and with the header the
    // filter: rows 3..7 are now 1..5 and shown.
    EXPECT_EQ(t.model().formula(5, 1)->text, "SUM(A1:A4)+#REF!+$A$3+A2:A3+B:B");
    EXPECT_EQ(t.model().formula(4, 1)->text, "Other!A5+A3");
    EXPECT_FALSE(t.AutoFilterMode());
    for (const ss::Row& r : t.model().rows()) EXPECT_FALSE(r.hidden) << r.index;

    // Rows pushed off the sheet would lose data: refused, nothing moves.
    (void)s.Cells(1048576, 1).SetValue("last");
    EXPECT_FALSE(s.Rows(1).Insert());
    EXPECT_EQ(s.Cells(1048576, 1).Value(), "last");
}

TEST(Range, EndMovesAlongBlocks) {
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    // Column A: 1..3 filled, 4..5 empty, 6..7 filled, then empty.
    column(s, 1, 1, {"a", "b", "c", "", "", "d", "e"});
    struct Case {
        uint32_t row;
        Direction dir;
        uint32_t to;
    } cases[] = {
        {20, Direction::Up, 7},  {7, Direction::Up, 6},   {6, Direction::Up, 3},
        {3, Direction::Up, 1},   {5, Direction::Up, 3},   {1, Direction::Up, 1},
        {1, Direction::Down, 3}, {3, Direction::Down, 6}, {7, Direction::Down, 1048576},
    };
    for (const Case& c : cases)
        EXPECT_EQ(s.Cells(c.row, 1).End(c.dir).Row(), c.to) << c.row << " " << int(c.dir);
    column(s, 1, 3, {"x"});
    EXPECT_EQ(s.Cells(1, 1).End(Direction::ToRight).Column(), 3u);
    EXPECT_EQ(s.Cells(1, 3).End(Direction::ToRight).Column(), 16384u);
    EXPECT_EQ(s.Cells(1, 9).End(Direction::ToLeft).Column(), 3u);
    EXPECT_EQ(s.Cells(20, 2).End(Direction::Up).Row(), 1u);  // an empty column
}

TEST(Range, AutoFilterCriteria) {
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    column(s, 1, 1, {"key", "张三", "小张", "张", "", "x", "X", "a*b", "a?b", "aXb", "12", "1.5"});
    (void)s.Cells(11, 1).SetValue(12);  // a number: matched by its text
    (void)s.Cells(5, 2).SetValue("keeps the row");
    struct Case {
        const char* criterion;
        std::vector<uint32_t> shown;  // data rows 2..12 left visible
    } cases[] = {
        {"张", {4}},   {"*张*", {2, 3, 4}}, {"张*", {2, 4}},
        {"?张", {3}},  {"", {5}},           {"*", {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"x", {6}},    {"X", {7}},          {"a*b", {8, 9, 10}},
        {"a~*b", {8}}, {"a~?b", {9}},       {"1*", {11, 12}},
        {"1?", {11}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(s.Range("A1:B12").AutoFilter(1, c.criterion)) << c.criterion;
        std::vector<uint32_t> shown;
        for (uint32_t r = 2; r <= 12; ++r) {
            const ss::Row* row = s.model().findRow(r);
            if (!row || !row->hidden) shown.push_back(r);
        }
        EXPECT_EQ(shown, c.shown) << c.criterion;
        EXPECT_FALSE(s.model().findRow(1) && s.model().findRow(1)->hidden);
    }
    EXPECT_FALSE(s.Range("A1:B12").AutoFilter(3, "x"));
    EXPECT_FALSE(s.Range("A1:B12").AutoFilter(0, "x"));
    s.AutoFilterMode(false);
    EXPECT_FALSE(s.AutoFilterMode());
    for (const ss::Row& r : s.model().rows()) EXPECT_FALSE(r.hidden) << r.index;
}

TEST(Range, FilteredCopyTakesVisibleRowsPacked) {
    Application app;
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& s = *src.WorkSheets(1);
    // A table from B2 with a completely empty row 6 inside it.
    column(s, 2, 2, {"城市", "北京", "上海", "北京", "", "北京", "广州"});
    column(s, 2, 3, {"金额", "1", "2", "3", "", "4", "5"});
    Workbook& out = *app.Workbooks()->Add();
    Worksheet& d = *out.WorkSheets(1);

    // A one-cell anchor: the filter covers the whole table, on past the empty row.
    ASSERT_TRUE(s.Range("B2").AutoFilter(1, "北京"));
    EXPECT_EQ(s.model().autoFilter->toA1(), "B2:C8");
    ASSERT_TRUE(s.Range("B3:C8").Copy(d.Cells(2, 2)));
    EXPECT_EQ(text(d, "C2") + text(d, "C3") + text(d, "C4") + "|" + text(d, "C5"), "134|");
    EXPECT_EQ(text(d, "B4"), "北京");

    // A second condition narrows the same table.
    ASSERT_TRUE(s.Range("B2").AutoFilter(2, "3"));
    EXPECT_EQ(s.Range("B3:C8").SpecialCells(kCellTypeVisible).RowCount(), 1u);
    s.AutoFilterMode(false);
    EXPECT_EQ(s.Range("B3:C8").SpecialCells(kCellTypeVisible).RowCount(), 6u);
    EXPECT_FALSE(s.Range("Z100").AutoFilter(1, "x"));  // nothing around the cell
}

TEST(Range, CopyBetweenWorkbooks) {
    Application app;
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& s = *src.WorkSheets(1);
    column(s, 1, 1, {"h", "a", "b"});
    column(s, 1, 2, {"n", "1", "2"});
    s.model().setFormula(3, 2, formula("B2+$B$2"));
    s.model().setFormula(2, 3, formula("Missing!A1"));
    (void)s.Cells(2, 3).SetValue(7);
    s.model().setFormula(2, 3, formula("Missing!A1"));
    s.model().cell(1, 1).style = boldStyle(src.model());
    s.model().merges.push_back(ss::CellRange{1, 1, 1, 2});
    s.model().merges.push_back(ss::CellRange{3, 3, 4, 3});  // reaches outside the copy
    s.model().columns.push_back(ss::ColumnInfo{2, 2, 25.0, 0, true});

    Workbook& dst = *app.Workbooks()->Add();
    Worksheet& d = *dst.WorkSheets(1);
    column(d, 1, 1, {"keep", "old", "old", "old"});
    (void)d.Cells(3, 3).SetValue("old");  // inside the destination area: cleared
    ASSERT_TRUE(s.Range("A1:C3").Copy(d.Cells(2, 1)));
    EXPECT_EQ(text(d, "A1"), "keep");
    EXPECT_EQ(text(d, "A2"), "h");
    EXPECT_EQ(text(d, "A4"), "b");
    EXPECT_EQ(text(d, "C3"), "7");
    EXPECT_EQ(text(d, "C2"), "");
    EXPECT_TRUE(isBold(d, 2, 1));
    ASSERT_NE(d.model().formula(4, 2), nullptr);
    EXPECT_EQ(d.model().formula(4, 2)->text, "B3+$B$3");  // both follow their cells
    EXPECT_EQ(d.model().formula(3, 3), nullptr);
    EXPECT_EQ(d.model().merges, (std::vector<ss::CellRange>{{2, 1, 2, 2}}));
    ASSERT_NE(d.model().columnInfo(2), nullptr);
    EXPECT_EQ(d.model().columnInfo(2)->width, 25.0);

    // A copy that would not fit is refused and leaves the destination as it was.
    size_t before = d.model().cellCount();
    EXPECT_FALSE(s.Range("A1:C3").Copy(d.Cells(1048575, 1)));
    EXPECT_FALSE(s.Range("A1:C3").Copy(d.Cells(1, 16383)));
    EXPECT_EQ(d.model().cellCount(), before);
    EXPECT_TRUE(s.Range("A1:C3").Copy(d.Cells(1048574, 16382)));
}

TEST(Range, CopyWithinOneSheetOverlapping) {
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    column(s, 1, 1, {"1", "2", "3"});
    ASSERT_TRUE(s.Range("A1:A3").Copy(s.Cells(2, 1)));
    EXPECT_EQ(text(s, "A1") + text(s, "A2") + text(s, "A3") + text(s, "A4"), "1123");
}

TEST(Workbook, SaveOpenAndClose) {
    TempDir dir;
    Application app;
    Workbook& wb = *app.Workbooks()->Add();
    (void)wb.WorkSheets(1)->Cells(1, 1).SetValue("saved");
    fs::path xlsx = dir.path / "out.xlsx";
    ASSERT_TRUE(wb.SaveAs(xlsx));
    EXPECT_EQ(wb.Name(), "out.xlsx");
    fs::path normal = dir.path / "copy.tmp";
    ASSERT_TRUE(wb.SaveAs(normal, kFormatNormal));
    ss::Status bad = wb.SaveAs(dir.path / "x.xlsx", 12345);
    EXPECT_FALSE(bad);
    EXPECT_FALSE(fs::exists(dir.path / "x.xlsx"));
    ASSERT_TRUE(wb.Close(false));

    for (const fs::path& p : {xlsx, normal}) {
        auto opened = app.Workbooks()->Open(p);
        ASSERT_TRUE(opened) << opened.message();
        EXPECT_EQ(app.ActiveWorkBook(), *opened);
        EXPECT_EQ((*opened)->WorkSheets(1)->Cells(1, 1).Value(), "saved");
        ASSERT_TRUE((*opened)->Close(false));
    }

    // Closing without saving writes nothing.
    Workbook& fresh = *app.Workbooks()->Add();
    (void)fresh.WorkSheets(1)->Cells(1, 1).SetValue("x");
    ASSERT_TRUE(fresh.Close(false));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2);
}

TEST(Workbooks, PrefetchedReadsGiveWhatOpenGives) {
    TempDir dir;
    Application app;
    Workbooks& books = *app.Workbooks();
    std::vector<fs::path> files;
    for (const char* name : {"a.xlsx", "b.xlsx", "c.xlsx"}) {
        Workbook& wb = *books.Add();
        (void)wb.WorkSheets(1)->Cells(1, 1).SetValue(name);
        files.push_back(dir.path / name);
        ASSERT_TRUE(wb.SaveAs(files.back()));
        ASSERT_TRUE(wb.Close(false));
    }
    const fs::path damaged = dir.path / "d.xlsx";
    { std::ofstream(damaged) << "not a workbook"; }

    // Read ahead and opened: the file read beside the caller.
    books.Prefetch(files[0]);
    auto a = books.Open(files[0]);
    ASSERT_TRUE(a) << a.message();
    EXPECT_EQ((*a)->WorkSheets(1)->Cells(1, 1).Value(), "a.xlsx");
    // Read ahead but another opened: the read is dropped, the other is opened.
    books.Prefetch(files[1]);
    auto c = books.Open(files[2]);
    ASSERT_TRUE(c) << c.message();
    EXPECT_EQ((*c)->WorkSheets(1)->Cells(1, 1).Value(), "c.xlsx");
    auto b = books.Open(files[1]);
    ASSERT_TRUE(b) << b.message();
    EXPECT_EQ((*b)->WorkSheets(1)->Cells(1, 1).Value(), "b.xlsx");
    // A damaged file read ahead fails as it does when opened directly.
    books.Prefetch(damaged);
    auto ahead = books.Open(damaged);
    auto direct = books.Open(damaged);
    ASSERT_FALSE(ahead);
    EXPECT_EQ(ahead.message(), direct.message());
    EXPECT_EQ(books.Count(), 3);
    // Small files are read two at a time, each kept for its own path; a third is left to Open,
    // and opening the second drops the first.
    auto textOf = [&](const fs::path& f) {
        auto opened = books.Open(f);
        return opened ? (*opened)->WorkSheets(1)->Cells(1, 1).Value() : opened.message();
    };
    books.Prefetch(files[0]);
    books.Prefetch(files[1]);
    EXPECT_EQ(textOf(files[0]), "a.xlsx");
    EXPECT_EQ(textOf(files[1]), "b.xlsx");
    for (const fs::path& f : files) books.Prefetch(f);
    EXPECT_EQ(textOf(files[1]), "b.xlsx");
    EXPECT_EQ(textOf(files[2]), "c.xlsx");
    EXPECT_EQ(textOf(files[0]), "a.xlsx");
    // A read nobody opens is waited for when the session ends.
    books.Prefetch(files[0]);
    books.Prefetch(files[1]);
}

TEST(Range, CopiesFromSuccessiveSourcesKeepTheirTexts) {
    // Copies reuse what was mapped between two workbooks; each new source gets mappings of its
    // own although each holds its text as string 0 and its format as format 1.
    Application app;
    Worksheet& d = *app.Workbooks()->Add()->WorkSheets(1);
    for (int i = 0; i < 3; ++i) {
        Workbook& src = *app.Workbooks()->Add();
        Worksheet& s = *src.WorkSheets(1);
        (void)s.Cells(1, 1).SetValue("v" + std::to_string(i));
        ss::Font f;
        f.bold = i == 0;
        f.italic = i != 0;
        ss::CellFormat xf;
        xf.fontId = src.model().styles.internFont(f);
        xf.applyFont = true;
        s.model().cell(1, 1).style = src.model().styles.internCellFormat(xf);
        ASSERT_TRUE(s.Cells(1, 1).Copy(d.Cells(uint32_t(i + 1), 1)));
        ASSERT_TRUE(src.Close(false));
    }
    EXPECT_EQ(text(d, "A1") + " " + text(d, "A2") + " " + text(d, "A3"), "v0 v1 v2");
    EXPECT_TRUE(isBold(d, 1, 1));
    EXPECT_FALSE(isBold(d, 2, 1));
    EXPECT_FALSE(isBold(d, 3, 1));
}

TEST(Workbooks, AStopWhileAWorkbookIsReadEndsTheRead) {
    TempDir dir;
    const fs::path big = dir.path / "big.xlsx";
    {
        ss::Workbook wb;
        ss::Worksheet& ws = wb.addSheet("S");
        for (uint32_t r = 1; r <= 100000; ++r)
            for (uint32_t c = 1; c <= 10; ++c) ws.setNumber(r, c, r * 10.0 + c);
        ASSERT_TRUE(ss::saveWorkbook(wb, big, ss::FileFormat::Xlsx).ok());
    }
    for (bool ahead : {false, true}) {
        Application app;
        Workbooks& books = *app.Workbooks();
        int asked = 0;
        books.StopReadsWhen([&] { return ++asked >= 1; });
        if (ahead) books.Prefetch(big);
        auto opened = books.Open(big);
        EXPECT_FALSE(opened) << ahead;
        EXPECT_TRUE(books.ReadsStopped());
        EXPECT_GE(asked, 1);
        EXPECT_EQ(books.Count(), 0);
    }
    // Never asked to stop: the same workbook opens whole.
    Application app;
    Workbooks& books = *app.Workbooks();
    books.StopReadsWhen([] { return false; });
    auto opened = books.Open(big);
    ASSERT_TRUE(opened) << opened.message();
    EXPECT_FALSE(books.ReadsStopped());
    EXPECT_EQ((*opened)->WorkSheets(1)->Cells(100000, 10).Value(), "1000010");
}

// Sheet and range copies into another workbook bring plain texts, formatted texts and a damaged
// index (past the table: an empty text) each to its own cell, whatever order they come in.
TEST(Worksheet, CopiesBringPlainFormattedAndDamagedTextsToTheirCells) {
    Application app;
    Workbook& src = *app.Workbooks()->Add();
    ss::Workbook& sm = src.model();
    ss::Font bold;
    bold.bold = true;
    const uint32_t b = sm.strings.add("b"), a = sm.strings.add("a");
    const uint32_t r1 = sm.strings.addRich({{"x", bold}, {"y", std::nullopt}});
    const uint32_t r2 = sm.strings.addRich({{"z", bold}});
    ss::Worksheet& sw = src.WorkSheets(1)->model();
    const uint32_t column[] = {b, r1, a, b, 9999, r2, a};
    for (uint32_t row = 0; row < 7; ++row) sw.setString(row + 1, 1, column[row]);

    auto check = [&](Worksheet& d) {
        const ss::Workbook& dm = d.Parent().model();
        const char* want[] = {"b", "xy", "a", "b", "", "z", "a"};
        for (uint32_t row = 0; row < 7; ++row) {
            const ss::Cell* c = d.model().find(row + 1, 1);
            ASSERT_NE(c, nullptr) << row;
            ASSERT_EQ(c->type, ss::CellType::String) << row;
            EXPECT_EQ(dm.strings.text(c->sst), want[row]) << row;
            EXPECT_EQ(dm.strings.runs(c->sst) != nullptr, row == 1 || row == 5) << row;
        }
        const ss::Cell* rich = d.model().find(2, 1);
        ASSERT_NE(dm.strings.runs(rich->sst), nullptr);
        EXPECT_EQ(dm.strings.runs(rich->sst)->size(), 2u);
    };

    Workbook& dst = *app.Workbooks()->Add();
    (void)dst.WorkSheets(1)->Cells(1, 2).SetValue("a");  // a text the destination holds already
    auto copy = src.WorkSheets(1)->Copy(*dst.WorkSheets(1));
    ASSERT_TRUE(copy);
    check(**copy);
    Worksheet& d = *dst.WorkSheets(2);
    ASSERT_TRUE(src.WorkSheets(1)->Range("A1:A7").Copy(d.Cells(1, 1)));
    check(d);
}

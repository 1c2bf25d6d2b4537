// References through the object model's copies: sheets copied together, blocks of rows, names,
// dropdown lists left behind, renames and frozen copies.
#include <gtest/gtest.h>

#include "application.h"

using namespace automation;

namespace {

void setFormula(Worksheet& s, uint32_t row, uint32_t col, std::string text, double value) {
    (void)s.Cells(row, col).SetValue(value);
    s.model().setFormula(row, col, ss::Formula{std::move(text), false, {}});
}

std::string formulaAt(Worksheet& s, uint32_t row, uint32_t col) {
    const ss::Formula* f = s.model().formula(row, col);
    return f ? f->text : "<value " + s.Cells(row, col).Value() + ">";
}

const ss::DefinedName* nameIn(const ss::Workbook& wb, const std::string& name,
                              std::optional<uint32_t> local) {
    for (const ss::DefinedName& n : wb.names)
        if (n.name == name && n.localSheet == local) return &n;
    return nullptr;
}

TEST(References, SheetsCopiedTogetherReadEachOtherAndTheRestIsFrozen) {
    Application app;
    Workbook& target = *app.Workbooks()->Add();
    ASSERT_TRUE(target.WorkSheets(1)->SetName("Data"));  // the copies are renamed
    target.model().names.push_back({"Rate", "2", std::nullopt, false, ""});

    Workbook& src = *app.Workbooks()->Add();
    Worksheet& lists = *src.WorkSheets(1);
    ASSERT_TRUE(lists.SetName("Lists"));
    Worksheet& data = *src.Sheets().Add();
    ASSERT_TRUE(data.SetName("Data"));
    Worksheet& summary = *src.Sheets().Add();
    ASSERT_TRUE(summary.SetName("Summary"));
    (void)data.Cells(1, 1).SetValue(1);
    (void)data.Cells(2, 1).SetValue(2);
    (void)lists.Cells(1, 1).SetValue(9);
    src.model().names.push_back({"Rate", "0.5", std::nullopt, false, ""});
    setFormula(summary, 1, 2, "SUM(Data!A1:A2)", 3);
    setFormula(summary, 2, 2, "Lists!A1", 9);
    setFormula(summary, 3, 2, "B1*Rate", 1.5);
    src.model().names.push_back({"Net", "Rate*10", std::nullopt, false, ""});
    setFormula(summary, 4, 2, "Net+1", 6);
    setFormula(data, 3, 1, "Summary!B1", 3);

    // Summary goes first: it reads Data, whose copy comes after it.
    ASSERT_TRUE(summary.Copy(*target.WorkSheets(1)));
    ASSERT_TRUE(data.Copy(*target.WorkSheets(2)));
    ASSERT_TRUE(src.Close(false));

    Worksheet& s = *target.WorkSheets(1);
    Worksheet& d = *target.WorkSheets(2);
    ASSERT_EQ(d.Name(), "Data (2)");
    EXPECT_EQ(formulaAt(s, 1, 2), "SUM('Data (2)'!A1:A2)");
    EXPECT_EQ(formulaAt(s, 2, 2), "<value 9>");  // Lists stayed behind
    EXPECT_EQ(formulaAt(s, 3, 2), "B1*Rate");
    EXPECT_EQ(formulaAt(d, 3, 1), "Summary!B1");
    // The target's Rate means something else: the copy's Rate is local to the sheets it came with.
    EXPECT_EQ(nameIn(target.model(), "Rate", std::nullopt)->formula, "2");
    ASSERT_NE(nameIn(target.model(), "Rate", 0u), nullptr);
    EXPECT_EQ(nameIn(target.model(), "Rate", 0u)->formula, "0.5");
    // Net reads Rate: at workbook level it would read the target's.
    EXPECT_EQ(nameIn(target.model(), "Net", std::nullopt), nullptr);
    ASSERT_NE(nameIn(target.model(), "Net", 0u), nullptr);
    EXPECT_EQ(formulaAt(s, 4, 2), "Net+1");

    const ReferenceReport& r = app.References();
    EXPECT_EQ(r.frozenFormulas, 1u);
    EXPECT_EQ(r.firstFrozen, std::vector<std::string>{"Book2 [Summary] B2"});
    EXPECT_NE(r.text().find("1个公式引用了输出中没有的工作表、行或名称"), std::string::npos);
}

TEST(References, BlocksOfRowsReadOnlyWhatLandedAndListsGoInline) {
    Application app;
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& ledger = *src.WorkSheets(1);
    Worksheet& lists = *src.Sheets().Add();
    ASSERT_TRUE(lists.SetName("Lists"));
    (void)lists.Cells(1, 1).SetValue("x");
    (void)lists.Cells(2, 1).SetValue("y");
    double balance = 0;
    for (uint32_t r = 1; r <= 6; ++r) {
        (void)ledger.Cells(r, 1).SetValue(int(r));
        balance += r;
        setFormula(ledger, r, 2,
                   r == 1 ? "A1" : "B" + std::to_string(r - 1) + "+A" + std::to_string(r), balance);
    }
    ledger.model().preserved.push_back(
        {"dataValidations",
         "<dataValidations count=\"1\"><dataValidation type=\"list\" sqref=\"A2:A6\">"
         "<formula1>Lists!$A$1:$A$2</formula1></dataValidation></dataValidations>"});

    Workbook& out = *app.Workbooks()->Add();
    Worksheet& o = *out.WorkSheets(1);
    // Rows 2-3 and 5-6 land one below the other; row 4 stays behind.
    ASSERT_TRUE(ledger.Range("A2:B3").Copy(o.Cells(2, 1)));
    ASSERT_TRUE(ledger.Range("A5:B6").Copy(o.Cells(4, 1)));
    EXPECT_EQ(formulaAt(o, 2, 2), "<value 3>");  // row 1 is not there
    EXPECT_EQ(formulaAt(o, 3, 2), "B2+A3");
    EXPECT_EQ(formulaAt(o, 4, 2), "<value 15>");  // row 4 is not there
    EXPECT_EQ(formulaAt(o, 5, 2), "B4+A5");
    EXPECT_EQ(app.References().frozenFormulas, 2u);

    // The dropdown reads a sheet that is not in the output: its values come inline, and the
    // pieces of the two copies are one validation again.
    ASSERT_EQ(o.model().preserved.size(), 1u);
    const std::string& xml = o.model().preserved[0].xml;
    EXPECT_NE(xml.find("sqref=\"A2:A5\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("x,y"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("Lists"), std::string::npos) << xml;
    EXPECT_EQ(app.References().inlinedLists, 2u);
}

TEST(References, RenamingASheetRestatesWhatNamesIt) {
    Application app;
    Workbook& wb = *app.Workbooks()->Add();
    Worksheet& data = *wb.WorkSheets(1);
    ASSERT_TRUE(data.SetName("Data"));
    Worksheet& other = *wb.Sheets().Add();
    setFormula(other, 1, 1, "Data!A1*2+[1]Data!A1", 0);
    wb.model().names.push_back({"Amounts", "Data!$A$1:$A$3", std::nullopt, false, ""});
    ASSERT_TRUE(data.SetName("2024"));
    // A reference into another workbook is not this sheet: the formula keeps it as it was.
    EXPECT_EQ(formulaAt(other, 1, 1), "Data!A1*2+[1]Data!A1");
    setFormula(other, 2, 1, "'2024'!A1+Amounts", 0);
    ASSERT_TRUE(data.SetName("Data 2024"));
    EXPECT_EQ(formulaAt(other, 2, 1), "'Data 2024'!A1+Amounts");
    EXPECT_EQ(nameIn(wb.model(), "Amounts", std::nullopt)->formula, "'Data 2024'!$A$1:$A$3");
}

TEST(References, FormulasAsValuesFreezesWithoutCounting) {
    Application app;
    app.FormulasAsValues(true);
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& s = *src.WorkSheets(1);
    setFormula(s, 1, 1, "1+1", 2);
    auto copy = s.Copy();
    ASSERT_TRUE(copy);
    EXPECT_EQ(formulaAt(**copy, 1, 1), "<value 2>");
    Workbook& out = *app.Workbooks()->Add();
    ASSERT_TRUE(s.Range("A1").Copy(out.WorkSheets(1)->Cells(3, 3)));
    EXPECT_EQ(formulaAt(*out.WorkSheets(1), 3, 3), "<value 2>");
    EXPECT_TRUE(app.References().empty());
}

}  // namespace

namespace {

// In a merge, a block that reads blocks copied after it waits for them: its formulas, rules and
// dropdowns point where those landed once the source is done; what never lands is frozen, given
// inline or left out then, and counted once.
TEST(References, MergedBlocksWaitForTheBlocksCopiedAfterThem) {
    Application app;
    app.MergeReferences(true);
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& summary = *src.WorkSheets(1);
    ASSERT_TRUE(summary.SetName("Summary"));
    Worksheet& ledger = *src.Sheets().Add();
    ASSERT_TRUE(ledger.SetName("Ledger"));
    Worksheet& lists = *src.Sheets().Add();
    ASSERT_TRUE(lists.SetName("Lists"));
    for (uint32_t r = 1; r <= 4; ++r) (void)ledger.Cells(r, 1).SetValue(int(r));
    (void)lists.Cells(1, 1).SetValue("x");
    (void)lists.Cells(2, 1).SetValue("y");
    setFormula(summary, 1, 1, "SUM(Ledger!A2:A3)", 5);
    setFormula(summary, 2, 1, "Ledger!A4", 4);  // row 4 is not copied
    summary.model().preserved.push_back(
        {"dataValidations",
         "<dataValidations count=\"1\"><dataValidation type=\"list\" sqref=\"B1:B2\">"
         "<formula1>Lists!$A$1:$A$2</formula1></dataValidation>"
         "<dataValidation type=\"list\" sqref=\"C1\"><formula1>Ledger!$A$2:$A$3</formula1>"
         "</dataValidation></dataValidations>"});

    Workbook& out = *app.Workbooks()->Add();
    Worksheet& o = *out.WorkSheets(1);
    ASSERT_TRUE(summary.Range("A1:C2").Copy(o.Cells(1, 1)));
    EXPECT_EQ(formulaAt(o, 1, 1), "<value 5>");  // until the ledger is in
    ASSERT_TRUE(ledger.Range("A1:A3").Copy(o.Cells(3, 1)));
    EXPECT_TRUE(app.References().empty());
    ASSERT_TRUE(src.Close(false));

    EXPECT_EQ(formulaAt(o, 1, 1), "SUM(Sheet1!A4:A5)");
    EXPECT_EQ(formulaAt(o, 2, 1), "<value 4>");
    const std::string& xml = o.model().preserved.at(0).xml;
    EXPECT_NE(xml.find("<formula1>Sheet1!$A$4:$A$5</formula1>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("x,y"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("_tw_"), std::string::npos) << xml;
    const ReferenceReport& r = app.References();
    EXPECT_EQ(r.frozenFormulas, 1u);
    EXPECT_EQ(r.firstFrozen, std::vector<std::string>{"Book1 [Summary] A2"});
    EXPECT_EQ(r.inlinedLists, 1u);
}

}  // namespace

namespace {

// The same for a dropdown kept in the sheet's extension list (the 2010 form, where lists on
// other sheets are written), also when the source closes before the output is saved.
TEST(References, MergedBlocksWaitInTheExtensionList) {
    Application app;
    app.MergeReferences(true);
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& summary = *src.WorkSheets(1);
    Worksheet& lists = *src.Sheets().Add();
    ASSERT_TRUE(lists.SetName("Lists"));
    (void)summary.Cells(1, 1).SetValue("pick");
    (void)lists.Cells(1, 1).SetValue("x");
    (void)lists.Cells(2, 1).SetValue("y");
    auto parts = std::make_shared<ss::SheetParts>();
    parts->namespaces =
        " xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\""
        " xmlns:xm=\"http://schemas.microsoft.com/office/excel/2006/main\"";
    parts->elements.push_back(
        {"extLst",
         "<extLst><ext uri=\"{CCE6A557-97BC-4b89-ADB6-D9C93CAAB3DF}\"><x14:dataValidations "
         "count=\"1\"><x14:dataValidation type=\"list\"><x14:formula1><xm:f>Lists!$A$1:$A$2"
         "</xm:f></x14:formula1><xm:sqref>A1</xm:sqref></x14:dataValidation>"
         "</x14:dataValidations></ext></extLst>"});
    summary.model().parts = parts;

    Workbook& out = *app.Workbooks()->Add();
    Worksheet& o = *out.WorkSheets(1);
    ASSERT_TRUE(summary.Range("A1").Copy(o.Cells(1, 1)));
    ASSERT_TRUE(lists.Range("A1:A2").Copy(o.Cells(2, 1)));
    ASSERT_TRUE(src.Close(false));
    out.NoteUnlinkedReferences();  // what a save does first

    ASSERT_TRUE(o.model().parts);
    std::string ext;
    for (const ss::RawSheetElement& e : o.model().parts->elements)
        if (e.element == "extLst") ext = e.xml;
    EXPECT_NE(ext.find("<xm:f>Sheet1!$A$2:$A$3</xm:f>"), std::string::npos) << ext;
    EXPECT_EQ(ext.find("_tw_"), std::string::npos) << ext;
    EXPECT_EQ(app.References().inlinedLists, 0u);
}

}  // namespace

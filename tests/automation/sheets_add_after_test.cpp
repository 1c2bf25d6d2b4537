// Sheets::Add(after): the continuation sheets of a merge go right after the sheet they continue.
#include <gtest/gtest.h>

#include "application.h"

using namespace automation;

TEST(Sheets, AddAfterASheetKeepsTheActiveSheetAndSheetLocalNames) {
    Application app;
    Workbook& wb = *app.Workbooks()->Add();
    Worksheet* first = wb.Sheets().Item(1);
    ASSERT_TRUE(first->SetName("A"));
    Worksheet* last = wb.Sheets().Add();  // before A, and active
    ASSERT_TRUE(last->SetName("Z"));
    ASSERT_TRUE(first->Select());
    // A name local to the sheet at position 1 (A) must follow A when a sheet comes in before it.
    ss::DefinedName local;
    local.name = "local";
    local.formula = "A!$A$1";
    local.localSheet = 1;
    wb.model().names.push_back(local);

    Worksheet* middle = wb.Sheets().Add(*last);  // after Z (position 1)
    ASSERT_NE(middle, nullptr);
    ASSERT_EQ(wb.Sheets().Count(), 3);
    EXPECT_EQ(wb.Sheets().Item(1)->Name(), "Z");
    EXPECT_EQ(wb.Sheets().Item(2), middle);
    EXPECT_EQ(wb.Sheets().Item(3)->Name(), "A");
    EXPECT_EQ(wb.ActiveSheet(), first);
    EXPECT_EQ(wb.model().names.back().localSheet, 2u);

    Worksheet* end = wb.Sheets().Add(*first);  // after the last sheet
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(wb.Sheets().Item(4), end);
    EXPECT_NE(end->Name(), middle->Name());
    EXPECT_EQ(wb.ActiveSheet(), first);

    // A sheet of another workbook is refused.
    Workbook& other = *app.Workbooks()->Add();
    EXPECT_EQ(wb.Sheets().Add(*other.Sheets().Item(1)), nullptr);
}

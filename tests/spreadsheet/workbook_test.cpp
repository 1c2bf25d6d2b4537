#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "spreadsheet/model/workbook.h"

namespace {

// The name index answers as a scan of the sheets would, whichever way the sheets changed.
TEST(WorkbookNames, LookupFollowsEveryChange) {
    ss::Workbook wb;
    ss::Worksheet& a = wb.addSheet("Data");
    wb.addSheet("Ärger");
    EXPECT_EQ(wb.sheetByName("DATA"), &a);
    EXPECT_NE(wb.sheetByName("äRGER"), nullptr);  // Latin letters beyond ASCII fold too
    EXPECT_EQ(wb.sheetByName("Dat"), nullptr);

    wb.renameSheet(a, "Rows");
    EXPECT_EQ(wb.sheetByName("data"), nullptr);
    EXPECT_EQ(wb.sheetByName("rows"), &a);

    // Sheets of one name, as a damaged file brings them: the first in order answers, and after
    // it goes the next one does.
    ss::Worksheet& first = wb.addSheet("Same", 0);
    ss::Worksheet& second = wb.addSheet("same");
    EXPECT_EQ(wb.sheetByName("SAME"), &first);
    (void)wb.removeSheet(0);
    EXPECT_EQ(wb.sheetByName("Same"), &second);
    (void)wb.removeSheet(size_t(wb.indexOf(&second)));
    EXPECT_EQ(wb.sheetByName("Same"), nullptr);

    // A sheet put in behind the methods is still found.
    wb.sheets.push_back(std::make_unique<ss::Worksheet>("Behind"));
    EXPECT_EQ(wb.sheetByName("behind"), wb.sheets.back().get());
    EXPECT_EQ(wb.sheetByName("rows"), &a);
}

TEST(WorkbookNames, FreeNamesCountOnPerStemAndReuseFreedNumbers) {
    ss::Workbook wb;
    std::vector<std::string> got;
    for (int i = 0; i < 3000; ++i) got.push_back(wb.addSheet(wb.uniqueSheetName("Sheet1")).name);
    ASSERT_EQ(wb.sheets.size(), 3000u);
    EXPECT_EQ(got[0], "Sheet1");
    for (int i = 1; i < 3000; ++i)
        ASSERT_EQ(got[size_t(i)], "Sheet1 (" + std::to_string(i + 1) + ")");

    struct Case {
        const char* what;
        std::function<void()> change;
        std::string asked, expected;
    } cases[] = {
        {"a name ending in a number counts on from its stem", [] {}, "SHEET1 (12)",
         "SHEET1 (3001)"},
        {"a number freed by a removal is used again",
         [&] { (void)wb.removeSheet(size_t(wb.indexOf(wb.sheetByName("Sheet1 (7)")))); }, "Sheet1",
         "Sheet1 (7)"},
        {"a number freed by a rename is used again",
         [&] { wb.renameSheet(*wb.sheetByName("Sheet1 (9)"), "Other"); }, "sheet1", "sheet1 (9)"},
        {"another stem has its own count", [] {}, "Other", "Other (2)"},
        {"a free name is kept", [] {}, "Fresh", "Fresh"},
        {"the suffix fits in 31 characters", [&] { wb.addSheet(std::string(31, 'n')); },
         std::string(31, 'n'), std::string(27, 'n') + " (2)"},
    };
    for (Case& c : cases) {
        c.change();
        std::string name = wb.uniqueSheetName(c.asked);
        EXPECT_EQ(name, c.expected) << c.what;
        wb.addSheet(name);
    }
}

}  // namespace

// A formula some writers leave without a stored value is content: range copies read the used
// range from these bounds, and a formula outside them was lost.
TEST(WorksheetBounds, FormulasWithoutStoredValuesCount) {
    ss::Worksheet ws("S");
    ws.setNumber(1, 1, 1);
    ss::Formula f;
    f.text = "A1*2";
    ws.setFormula(4, 3, f);
    auto bounds = ws.contentBounds();
    ASSERT_TRUE(bounds.has_value());
    EXPECT_EQ(bounds->lastRow, 4u);
    EXPECT_EQ(bounds->lastCol, 3u);
}

#include "spreadsheet/model/formula.h"

#include <gtest/gtest.h>

namespace {

struct ShiftCase {
    const char* in;
    int64_t dRow, dCol;
    const char* out;
};

TEST(ShiftFormula, MovesRelativePartsOnly) {
    const ShiftCase cases[] = {
        {"A1+B2", 1, 1, "B2+C3"},
        {"$A$1+A$1+$A1", 2, 2, "$A$1+C$1+$A3"},
        {"SUM(A1:B10)", 5, 0, "SUM(A6:B15)"},
        {"SUM(A:A)", 100, 1, "SUM(B:B)"},  // whole columns ignore the row offset
        {"SUM($3:5)", 2, 7, "SUM($3:7)"},  // whole rows ignore the column offset
        {"Sheet2!A1*'My Sheet'!B$2", 1, 0, "Sheet2!A2*'My Sheet'!B$2"},
        {"\"A1\"&A1", 1, 0, "\"A1\"&A2"},  // text stays text
        {"LOG10(A1)+Rate*2", 1, 0, "LOG10(A2)+Rate*2"},
        {"Table1[Col A]+A1", 1, 0, "Table1[Col A]+A2"},
        {"1.5E+3+A1", 1, 0, "1.5E+3+A2"},
        {"A1-1", -1, 0, "#REF!-1"},  // moved above row 1
        {"XFD1", 0, 1, "#REF!"},
        {"A1048576", 1, 0, "#REF!"},
        {"IF(TRUE,A1,#N/A)", 0, 2, "IF(TRUE,C1,#N/A)"},
        {"[1]Sheet1!A1", 1, 0, "[1]Sheet1!A2"},
    };
    for (const auto& c : cases) EXPECT_EQ(ss::shiftFormula(c.in, c.dRow, c.dCol), c.out) << c.in;
}

struct RowCase {
    const char* in;
    uint32_t at;
    int64_t count;
    const char* out;
};

TEST(AdjustFormulaForRows, InsertAndDelete) {
    const RowCase cases[] = {
        // insert 2 rows before row 3: absolute references move too
        {"A2+A3+$A$5", 3, 2, "A2+A5+$A$7"},
        {"SUM(A1:A10)", 3, 2, "SUM(A1:A12)"},  // spanning range grows
        {"Other!A5+A5", 3, 2, "Other!A5+A7"},  // other sheet's references stay
        {"SUM(B:B)", 1, 5, "SUM(B:B)"},
        {"SUM(4:6)", 3, 1, "SUM(5:7)"},
        // delete rows 3..4
        {"A2+A3+A5", 3, -2, "A2+#REF!+A3"},
        {"SUM(A1:A10)", 3, -2, "SUM(A1:A8)"},  // spanning range shrinks
        {"SUM(A3:A4)", 3, -2, "SUM(#REF!)"},   // wholly deleted
        {"SUM(A4:A6)", 3, -2, "SUM(A3:A4)"},   // starts inside the deleted block
        {"SUM(A1:A3)", 3, -2, "SUM(A1:A2)"},   // ends inside
        {"\"A5\"", 3, -2, "\"A5\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ss::adjustFormulaForRows(c.in, c.at, c.count), c.out) << c.in;
}

TEST(AdjustFormulaForDeletedRows, OneBandAgreesWithSingleDeletionAndBandsCombine) {
    const char* formulas[] = {"A2+A3+A5",   "SUM(A1:A10)",   "SUM(A3:A4)",       "SUM(A4:A6)",
                              "SUM(A1:A3)", "Other!A9+$B$9", "SUM(B:B)+SUM(2:9)"};
    for (const char* f : formulas)
        EXPECT_EQ(ss::adjustFormulaForDeletedRows(f, {{3, 4}}), ss::adjustFormulaForRows(f, 3, -2))
            << f;
    // Rows 2 and 5..6 deleted at once: what was row 7 is now row 4.
    EXPECT_EQ(ss::adjustFormulaForDeletedRows("A1+A2+A7+SUM(A1:A8)", {{2, 2}, {5, 6}}),
              "A1+#REF!+A4+SUM(A1:A5)");
}

TEST(AdjustFormulaForRows, ReferencesNamingTheSheetMoveWithIt) {
    // Row 3 of "Data" deleted: its own formulas and those of other sheets that name it follow.
    struct Case {
        const char* in;
        ss::RowsOf which;
        const char* out;
    };
    const Case cases[] = {
        {"Data!A5+A5+'Data'!A5+Other!A5", {"Data", true}, "Data!A4+A4+'Data'!A4+Other!A5"},
        {"Data!A5+A5+'Data'!A5+Other!A5", {"Data", false}, "Data!A4+A5+'Data'!A4+Other!A5"},
        {"SUM(data!B2:B9)+[1]Data!A5", {"Data", false}, "SUM(data!B2:B8)+[1]Data!A5"},
        {"'It''s'!B2:B9+It!B9", {"It's", false}, "'It''s'!B2:B8+It!B9"},
        {"Data!A3", {"Data", false}, "Data!#REF!"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ss::adjustFormulaForRows(c.in, 3, -1, c.which), c.out) << c.in;
        EXPECT_EQ(ss::adjustFormulaForDeletedRows(c.in, {{3, 3}}, c.which), c.out) << c.in;
    }
    EXPECT_EQ(ss::adjustFormulaForRows("Data!A5+A5", 2, 2, {"Data", false}), "Data!A7+A5");
}

TEST(FormulaNames, SheetsNamesAndExternals) {
    auto n =
        ss::formulaNames("SUM('My ''Q'' Sheet'!A1:B2,Data!C3)+Rate*VLOOKUP(x,Tbl[#All],2,FALSE)");
    EXPECT_EQ(n.sheets, (std::vector<std::string>{"My 'Q' Sheet", "Data"}));
    EXPECT_EQ(n.names, (std::vector<std::string>{"Rate", "x", "Tbl"}));
    EXPECT_FALSE(n.externalWorkbook);

    EXPECT_TRUE(ss::formulaNames("[1]Sheet1!A1").externalWorkbook);
    EXPECT_TRUE(ss::formulaNames("'C:\\x\\[Book.xlsx]S'!A1").externalWorkbook);
    EXPECT_TRUE(ss::formulaNames("[2]!Price").externalWorkbook);
    EXPECT_TRUE(ss::formulaNames("[2]!Price").names.empty());

    auto plain = ss::formulaNames("A1+$B$2*3+\"Rate\"+TRUE+_xlfn.XLOOKUP(A1,B:B,C:C)");
    EXPECT_TRUE(plain.sheets.empty());
    EXPECT_TRUE(plain.names.empty());
}

}  // namespace

#include "spreadsheet/carry/reference_map.h"

#include <gtest/gtest.h>

namespace {

// Two sheets of a monthly report copied whole into a workbook that had them already ("Data (2)",
// "Summary (2)"), a "Ledger" sheet of which rows 2..5 land at rows 12..15 and rows 8..9 at 16..17
// (rows 6..7 left behind), columns A..D moved one right; names Rate (workbook), Limit (local to
// Summary) and table Sales carried.
ss::ReferenceMap sampleMap() {
    ss::ReferenceMap m;
    m.addSheet("Data", {"Data (2)", true, {}});
    m.addSheet("Summary", {"Summary (2)", true, {}});
    m.addBlock("Ledger", "Out", {{1, 1, 1, 4}, 0, 1});  // the header stays on row 1
    m.addBlock("Ledger", "Out", {{2, 1, 5, 4}, 10, 1});
    m.addBlock("Ledger", "Out", {{8, 1, 9, 4}, 8, 1});
    m.addName("Rate", "Rate");
    m.addName("Limit", "Limit", "Summary");
    m.addName("Sales", "Sales_2");
    return m;
}

struct Case {
    const char* home;
    const char* in;
    const char* out;  // nullptr: not covered
};

TEST(RestateFormula, FollowsSheetsBlocksAndNames) {
    const ss::ReferenceMap m = sampleMap();
    const Case cases[] = {
        // Whole sheets: names change, cells keep their places, "$" kept.
        {"Summary", "SUM(Data!B2:B9)*$C$1", "SUM('Data (2)'!B2:B9)*$C$1"},
        {"Summary", "data!$A$2+'Data'!A:A", "'Data (2)'!$A$2+'Data (2)'!A:A"},
        {"Data", "Summary!Limit*2", "'Summary (2)'!Limit*2"},
        {"Data", "Limit*2", nullptr},  // Limit is Summary's own
        {"Summary", "B2*Rate+Limit", "B2*Rate+Limit"},
        {"Summary", "Sales[Amount]+SUM(Sales[[#This Row],[Qty]])",
         "Sales_2[Amount]+SUM(Sales_2[[#This Row],[Qty]])"},
        {"Summary", "IF(A1>0,\"Data!A1\",TRUE)", "IF(A1>0,\"Data!A1\",TRUE)"},
        {"Summary", "1.5E+3+{1,\"x\";2,#N/A}", "1.5E+3+{1,\"x\";2,#N/A}"},
        {"Summary", "Data!#REF!+1", "'Data (2)'!#REF!+1"},
        {"Summary", "LET(_xlpm.x,A1,_xlpm.x*2)", "LET(_xlpm.x,A1,_xlpm.x*2)"},
        // Blocks: each end lands with its block; a range over adjacent landings stays one.
        {"Ledger", "C2+B3", "D12+C13"},
        {"Ledger", "$A$1&A5", "$B$1&B15"},
        {"Ledger", "SUM(B2:B5)", "SUM(C12:C15)"},
        {"Ledger", "SUM(B8:B9)+Ledger!B9", "SUM(C16:C17)+Out!C17"},
        {"Ledger", "SUM(B5:B4)", "SUM(C15:C14)"},
        {"Ledger", "SUM(B1:B2)", nullptr},  // header on row 1, row 2 on row 12: apart
        {"Ledger", "C5+B6", nullptr},       // row 6 is left behind
        {"Ledger", "SUM(B2:B9)", nullptr},  // spans rows 6..7
        {"Ledger", "SUM(E2:E3)", nullptr},  // column E is not copied
        {"Ledger", "SUM(B:B)", nullptr},    // whole columns of a partly copied sheet
        // Not covered: sheets, names and workbooks the map does not know.
        {"Summary", "Lists!$A$2:$A$5", nullptr},
        {"Summary", "B2*Other", nullptr},
        {"Summary", "[1]Data!A1", nullptr},
        {"Summary", "Data:Summary!A1", nullptr},
        {"Summary", "'Data:Summary'!A1", nullptr},
        {"", "A1", nullptr},  // a reference without a sheet in a text of no sheet
        {"", "Data!$A$1:$A$3", "'Data (2)'!$A$1:$A$3"},
    };
    for (const Case& c : cases) {
        auto got = ss::restateFormula(c.in, m, c.home);
        if (!c.out)
            EXPECT_FALSE(got) << c.in << " gave " << got.value_or("");
        else
            EXPECT_EQ(got.value_or("<not covered>"), c.out) << c.in;
    }
}

TEST(RestateFormula, QuotesTargetNamesThatNeedIt) {
    const std::pair<const char*, const char*> cases[] = {
        {"Data", "Data"},   {"Data (2)", "'Data (2)'"}, {"A1", "'A1'"},
        {"R1C1", "'R1C1'"}, {"2024", "'2024'"},         {"It's", "'It''s'"},
        {"数据", "'数据'"}, {"TRUE", "'TRUE'"},         {"Q1.sales", "Q1.sales"},
    };
    for (auto [in, out] : cases) EXPECT_EQ(ss::quoteSheetName(in), out);
}

TEST(RestateFormula, LandRangeRefusesRangesLandingOffTheSheet) {
    ss::SheetLanding l{"T", false, {{{1, 1, 10, 2}, int64_t(ss::kXlsxMaxRows) - 5, 0}}};
    EXPECT_TRUE(ss::ReferenceMap::landRange(l, {1, 1, 5, 1}));
    EXPECT_FALSE(ss::ReferenceMap::landRange(l, {1, 1, 6, 1}));
}

}  // namespace

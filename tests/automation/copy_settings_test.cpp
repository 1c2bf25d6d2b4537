// What range and sheet copies keep of what the source shows: dates across the 1900 and 1904
// date systems, and the hidden state and outline groups of rows and columns.
#include "application.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

using namespace automation;

namespace {

ss::Formula formula(std::string text) {
    ss::Formula f;
    f.text = std::move(text);
    return f;
}

uint32_t formatted(ss::Workbook& wb, uint32_t numFmtId) {
    ss::CellFormat xf;
    xf.numFmtId = numFmtId;
    xf.applyNumberFormat = true;
    return wb.styles.internCellFormat(xf);
}

uint32_t formatted(ss::Workbook& wb, const std::string& code) {
    return formatted(wb, wb.styles.internNumberFormat(code));
}

// Numbers in column A under the formats of the table, in a workbook of either date system; the
// value of a case is as the 1904 system counts it (1900 counts 1462 more when it shifts).
struct DateCase {
    const char* format;  // a format code, or "#<id>" for a built-in format of that id
    double value1904;
    bool shifts;        // a point in time: restated between the systems
    const char* shown;  // the cell's text in either workbook (times alone: their day differs)
};

const DateCase kDateCases[] = {
    {"yyyy-mm-dd", 43830, true, "2024-01-01"},
    {"yyyy-mm-dd hh:mm", 43830.75, true, "2024-01-01 18:00:00"},
    {"mmm-yy", 43860, true, "2024-01-31"},
    {"#14", 43830, true, "2024-01-01"},  // m/d/yyyy
    {"#31", 43830, true, "2024-01-01"},  // yyyy"年"m"月"d"日"
    // Times whose day is not shown: they move with their day and show the same time.
    {"h:mm", 43830.75, true, "2024-01-01 18:00:00"},
    {"#32", 43830.5, true, "2024-01-01 12:00:00"},   // h"时"mm"分"
    {"#18", 43830.75, true, "2024-01-01 18:00:00"},  // h:mm AM/PM
    {"h:mm", 0.75, false, nullptr},                  // a time alone
    {"yyyy-mm-dd", 0.5, false, nullptr},             // likewise, below 1
    {"[h]:mm", 30.5, false, nullptr},                // a duration: 732 hours either way
    {"[mm]:ss", 100.5, false, nullptr},
    {"0.0E+00", 43830, false, "43830"},  // scientific, not a year
    {"General", 43830, false, "43830"},
};

void fillDates(ss::Workbook& wb, ss::Worksheet& ws) {
    const double add = wb.date1904 ? 0 : 1462;
    uint32_t r = 1;
    for (const DateCase& c : kDateCases) {
        const std::string code = c.format;
        const uint32_t xf = code[0] == '#' ? formatted(wb, uint32_t(std::stoul(code.substr(1))))
                                           : formatted(wb, code);
        ws.setNumber(r++, 1, c.shifts ? c.value1904 + add : c.value1904, xf);
    }
    // A formula in a date format: its stored value is a date like any other; a text in a date
    // format is a text.
    ws.setNumber(r, 1, 43831 + add, formatted(wb, "yyyy-mm-dd"));
    ws.setFormula(r++, 1, formula("A1+1"));
    ws.setString(r, 1, wb.strings.add("2024-01-01"), formatted(wb, "yyyy-mm-dd"));
}

constexpr uint32_t kDateRows = uint32_t(std::size(kDateCases)) + 2;
constexpr uint64_t kDatesRestated = 9;  // the eight points in time and the formula

// Column A shows the same texts in both sheets; date values differ by the offset, the others not.
void expectSameDates(const Workbook& from, Worksheet& src, const Workbook& to, Worksheet& dst,
                     uint32_t dstRow = 1) {
    const double offset = from.model().date1904 == to.model().date1904 ? 0
                          : from.model().date1904                      ? 1462
                                                                       : -1462;
    for (uint32_t r = 1; r <= kDateRows; ++r) {
        SCOPED_TRACE("row " + std::to_string(r));
        const ss::Cell* a = src.model().find(r, 1);
        const ss::Cell* b = dst.model().find(dstRow + r - 1, 1);
        ASSERT_TRUE(a && b);
        const bool inTable = r <= std::size(kDateCases);
        const bool date = !inTable || kDateCases[r - 1].shifts;
        const char* shown = inTable          ? kDateCases[r - 1].shown
                            : r == kDateRows ? "2024-01-01"
                                             : "2024-01-02";
        if (shown) {
            EXPECT_EQ(from.model().cellText(*a), shown);
            EXPECT_EQ(to.model().cellText(*b), shown);
        }
        if (a->type == ss::CellType::Number) {
            EXPECT_EQ(b->number, a->number + (date ? offset : 0));
        }
    }
    const ss::Formula* f = dst.model().formula(dstRow + kDateRows - 2, 1);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->text, "A" + std::to_string(dstRow) + "+1");
}

}  // namespace

// Range copies between workbooks of the two date systems, both ways, and of the same system.
TEST(DateSystems, RangeCopiesShowTheSameDatesAndCountThem) {
    struct Case {
        bool from1904, to1904;
        uint64_t ReferenceReport::*counter;  // where the restated dates are counted
    } cases[] = {
        {true, false, &ReferenceReport::datesFrom1904},
        {false, true, &ReferenceReport::datesTo1904},
        {true, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from1904) + " -> " + std::to_string(c.to1904));
        Application app;
        Workbook& src = *app.Workbooks()->Add();
        src.model().date1904 = c.from1904;
        Worksheet& s = *src.WorkSheets(1);
        fillDates(src.model(), s.model());
        Workbook& dst = *app.Workbooks()->Add();
        dst.model().date1904 = c.to1904;
        Worksheet& d = *dst.WorkSheets(1);
        ASSERT_TRUE(s.Range("A1:A" + std::to_string(kDateRows)).Copy(d.Cells(3, 1)));
        expectSameDates(src, s, dst, d, 3);
        const ReferenceReport& report = app.References();
        if (c.counter) {
            EXPECT_EQ(report.*c.counter, kDatesRestated);
            EXPECT_EQ(report.datesFrom1904 + report.datesTo1904, kDatesRestated);
        } else {
            EXPECT_TRUE(report.empty());
        }
    }
}

// Dates before 1904 have no serial in the 1904 system: they stay and are named.
TEST(DateSystems, DatesBefore1904AreKeptAndNamed) {
    Application app;
    Workbook& src = *app.Workbooks()->Add();
    Worksheet& s = *src.WorkSheets(1);
    s.model().setNumber(1, 1, 1000, formatted(src.model(), "yyyy-mm-dd"));  // 1902-09-26
    s.model().setNumber(2, 1, 45292, formatted(src.model(), "yyyy-mm-dd"));
    Workbook& dst = *app.Workbooks()->Add();
    dst.model().date1904 = true;
    ASSERT_TRUE(s.Range("A1:A2").Copy(dst.WorkSheets(1)->Cells(1, 1)));
    EXPECT_EQ(dst.WorkSheets(1)->model().find(1, 1)->number, 1000);
    EXPECT_EQ(dst.WorkSheets(1)->model().find(2, 1)->number, 43830);
    EXPECT_EQ(app.References().datesBefore1904, 1u);
    EXPECT_EQ(
        app.References().text(),
        "1个日期值已换算为1904日期系统；1个早于1904年的日期无法以1904日期系统显示，保留了原值。");
}

// A whole sheet copied into a workbook of the other system is restated; copied into a new
// workbook it keeps its serials, as that workbook takes the source's system.
TEST(DateSystems, WholeSheetCopies) {
    Application app;
    Workbook& src = *app.Workbooks()->Add();
    src.model().date1904 = true;
    Worksheet& s = *src.WorkSheets(1);
    fillDates(src.model(), s.model());

    Workbook& dst = *app.Workbooks()->Add();
    auto into = s.Copy(*dst.WorkSheets(1));
    ASSERT_TRUE(into);
    expectSameDates(src, s, dst, *into.value());
    EXPECT_EQ(app.References().datesFrom1904, kDatesRestated);
    EXPECT_NE(app.References().text().find("9个日期值已从1904日期系统换算"), std::string::npos);

    auto alone = s.Copy();
    ASSERT_TRUE(alone);
    EXPECT_TRUE(alone.value()->Parent().model().date1904);
    expectSameDates(src, s, alone.value()->Parent(), *alone.value());
    EXPECT_EQ(app.References().datesFrom1904, kDatesRestated);
}

namespace {

// The column settings of a sheet as text: "C w12 hidden; D-E level1 collapsed ...".
std::string columnsOf(const ss::Worksheet& ws) {
    std::string out;
    for (const ss::ColumnInfo& c : ws.columns) {
        if (!out.empty()) out += "; ";
        out += ss::columnLetters(c.first);
        if (c.last != c.first) out += "-" + ss::columnLetters(c.last);
        if (c.width > 0) out += " w" + std::to_string(int(c.width));
        if (c.hidden) out += " hidden";
        if (c.outlineLevel) out += " level" + std::to_string(c.outlineLevel);
        if (c.collapsed) out += " collapsed";
    }
    return out;
}

// The row settings of rows first..last: "3 hidden; 4 level2 ...", rows without any left out.
std::string rowsOf(const ss::Worksheet& ws, uint32_t first, uint32_t last) {
    std::string out;
    for (uint32_t r = first; r <= last; ++r) {
        const ss::Row* row = ws.findRow(r);
        if (!row || (!row->hidden && !row->outlineLevel && !row->collapsed)) continue;
        if (!out.empty()) out += "; ";
        out += std::to_string(r);
        if (row->hidden) out += " hidden";
        if (row->outlineLevel) out += " level" + std::to_string(row->outlineLevel);
        if (row->collapsed) out += " collapsed";
    }
    return out;
}

ss::ColumnInfo columnInfo(uint32_t first, uint32_t last, double width, bool hidden,
                          uint8_t level = 0, bool collapsed = false) {
    ss::ColumnInfo c;
    c.first = first;
    c.last = last;
    c.width = width;
    c.customWidth = width > 0;
    c.hidden = hidden;
    c.outlineLevel = level;
    c.collapsed = collapsed;
    return c;
}

// A1:E6 with values; column B hidden, C and D a group, E wide and collapsed; row 2 hidden, rows
// 3 and 4 a group, row 4 collapsed, row 5 hidden without a cell.
void fillOutlined(Worksheet& s) {
    for (uint32_t r = 1; r <= 6; ++r)
        if (r != 5)
            for (uint32_t c = 1; c <= 5; ++c) (void)s.Cells(r, c).SetValue(double(r * 10 + c));
    ss::Worksheet& m = s.model();
    m.columns = {columnInfo(2, 2, 12, true), columnInfo(3, 4, 0, false, 1),
                 columnInfo(5, 5, 30, false, 0, true)};
    m.row(2).hidden = true;
    m.row(3).outlineLevel = 2;
    m.row(4).outlineLevel = 2;
    m.row(4).collapsed = true;
    m.row(5).hidden = true;
}

}  // namespace

// Hidden rows and columns and outline groups land with the copied rows and in the copied
// columns; what the destination hides or groups stays so.
TEST(CopySettings, HiddenAndGroupedRowsAndColumnsTravelWithTheBlock) {
    struct Case {
        const char* what;
        std::vector<ss::CellRange> areas;  // of the source
        uint32_t row, col;                 // where the block lands
        std::vector<ss::ColumnInfo> destColumns;
        std::vector<uint32_t> destHiddenRows;
        std::string columns, rows;  // expected settings of the destination
        uint32_t lastRow;           // rows 1..lastRow are compared
    } cases[] = {
        {"block at A1",
         {{1, 1, 6, 5}},
         1,
         1,
         {},
         {},
         "B w12 hidden; C-D level1; E w30 collapsed",
         "2 hidden; 3 level2; 4 level2 collapsed; 5 hidden",
         8},
        {"one column to the right, two rows down, onto settings of the destination",
         {{1, 1, 6, 5}},
         3,
         2,
         {columnInfo(4, 4, 15, true), columnInfo(6, 6, 8, false), columnInfo(9, 9, 0, true)},
         {7, 9},
         // D keeps its own width and stays hidden; F its width; I is not touched.
         "C w12 hidden; D w15 hidden level1; E level1; F w8 collapsed; I hidden",
         "4 hidden; 5 level2; 6 level2 collapsed; 7 hidden; 9 hidden",
         10},
        {"runs of rows packed one below the other",
         {{1, 1, 1, 5}, {3, 1, 5, 5}},
         1,
         1,
         {},
         {},
         "B w12 hidden; C-D level1; E w30 collapsed",
         "2 level2; 3 level2 collapsed; 4 hidden",
         6},
        {"columns C to D only",
         {{1, 3, 6, 4}},
         1,
         1,
         {},
         {},
         "A-B level1",
         "2 hidden; 3 level2; 4 level2 collapsed; 5 hidden",
         6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Application app;
        Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
        fillOutlined(s);
        Worksheet& d = *app.Workbooks()->Add()->WorkSheets(1);
        d.model().columns = c.destColumns;
        for (uint32_t r : c.destHiddenRows) d.model().row(r).hidden = true;
        ASSERT_TRUE(s.Areas(c.areas).Copy(d.Cells(c.row, c.col)));
        EXPECT_EQ(columnsOf(d.model()), c.columns);
        EXPECT_EQ(rowsOf(d.model(), 1, c.lastRow), c.rows);
    }
}

// Within one workbook too, and a copy of visible rows onto hidden ones leaves them hidden.
TEST(CopySettings, ACopyNeverShowsWhatTheDestinationHid) {
    Application app;
    Worksheet& s = *app.Workbooks()->Add()->WorkSheets(1);
    fillOutlined(s);
    ss::Worksheet& m = s.model();
    m.row(8).hidden = true;
    (void)s.Cells(8, 7).SetValue("beside");
    ASSERT_TRUE(s.Range("A6:E6").Copy(s.Cells(8, 1)));  // a visible row onto a hidden one
    EXPECT_TRUE(m.findRow(8)->hidden);
    EXPECT_EQ(s.Range("G8").Value(), "beside");
    ASSERT_TRUE(s.Range("B2:B2").Copy(s.Cells(10, 8)));  // a hidden row lands hidden
    EXPECT_TRUE(m.findRow(10)->hidden);
    EXPECT_EQ(columnsOf(m), "B w12 hidden; C-D level1; E w30 collapsed; H w12 hidden");
}

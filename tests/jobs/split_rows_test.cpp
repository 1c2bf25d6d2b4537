// Cutting the first worksheet into blocks of rows.
#include <gtest/gtest.h>

#include <fstream>

#include "jobs/jobs.h"
#include "split_fixtures.h"
#include "test_host.h"

using namespace splitfix;

namespace {

// Rows "r<n>" in column A and n in column B..D, for rows first..last of the sheet.
Grid numberedRows(int first, int last, int columns = 4) {
    Grid g;
    for (int r = first; r <= last; ++r) {
        std::vector<std::string> row{"r" + std::to_string(r)};
        for (int c = 1; c < columns; ++c) row.push_back(std::to_string(r * 10 + c));
        g.push_back(row);
    }
    return g;
}

Grid withBlankRows(int count, Grid g) {
    g.insert(g.begin(), size_t(count), std::vector<std::string>(g.empty() ? 0 : g[0].size()));
    return g;
}

JobOptions evenOptions(const TempDir& out, int perBook, int headerRow = 0) {
    JobOptions o;
    o.splitSaveDir = out.str() + "/";
    o.rowsPerWorkbook = perBook;
    o.evenHeaderRows = headerRow > 0;
    if (headerRow > 0) o.evenHeaderRowCount = headerRow;
    return o;
}

}  // namespace

TEST(SplitRows, HeaderIsRepeatedAndEveryDataRowLandsInOneBlock) {
    TempDir dir, out;
    const std::string source = dir / "a.xlsx";
    Grid table = {{"编号", "b", "c", "d"}};
    Grid data = numberedRows(2, 26);
    table.insert(table.end(), data.begin(), data.end());  // A1:D26: header + 25 rows
    saveBook(source, {{"S", table}});

    TestHost host;
    TransformAverageJob(source, evenOptions(out, 10, 1), host);
    EXPECT_EQ(filesIn(out.path()), (std::vector<std::string>{"a_1.xlsx", "a_2.xlsx", "a_3.xlsx"}));
    auto expectBlock = [&](const std::string& file, int first, int last) {
        Grid expected = {table[0]};
        Grid rows = numberedRows(first, last);
        expected.insert(expected.end(), rows.begin(), rows.end());
        EXPECT_EQ(readFirstSheet(out / file), expected) << file;
    };
    expectBlock("a_1.xlsx", 2, 11);
    expectBlock("a_2.xlsx", 12, 21);
    expectBlock("a_3.xlsx", 22, 26);
    EXPECT_TRUE(host.sawText(source + " 文件扫描中..."));
    EXPECT_EQ(host.lastText(), "成功拆分出3个excel文件! 如有多余空表,请手动删除。");
    EXPECT_EQ(host.progressCalls.back(), std::make_pair(3, 3));
}

// A table whose used range starts below row 1 keeps all its rows, with or without a header.
TEST(SplitRows, BlocksRunFromTheFirstDataRowToTheLastUsedRow) {
    struct Case {
        int headerRow;  // 0: no header
        int perBook;
        std::vector<std::pair<int, int>> blocks;  // source rows of each output
    } cases[] = {
        {0, 10, {{3, 12}, {13, 22}, {23, 27}}},  // no header: rows 3-27 in three blocks
        {3, 10, {{4, 13}, {14, 23}, {24, 27}}},  // header row 3: data rows 4-27
        {0, 100, {{3, 27}}},                     // more rows per workbook than rows
    };
    for (const auto& c : cases) {
        TempDir dir, out;
        const std::string source = dir / "t.xlsx";
        saveBook(source, {{"S", numberedRows(3, 27), 3, 1}});
        TestHost host;
        TransformAverageJob(source, evenOptions(out, c.perBook, c.headerRow), host);
        ASSERT_EQ(filesIn(out.path()).size(), c.blocks.size()) << c.headerRow;
        for (size_t i = 0; i < c.blocks.size(); ++i) {
            Grid got = readFirstSheet(out / ("t_" + std::to_string(i + 1) + ".xlsx"));
            auto [first, last] = c.blocks[i];
            // Everything keeps its rows: the header row 3, and the data right below it.
            Grid expected = numberedRows(first, last);
            if (c.headerRow) expected.insert(expected.begin(), numberedRows(3, 3)[0]);
            EXPECT_EQ(got, withBlankRows(2, expected))
                << "header " << c.headerRow << " block " << i;
        }
        EXPECT_EQ(host.lastText(), "成功拆分出" + std::to_string(c.blocks.size()) +
                                       "个excel文件! 如有多余空表,请手动删除。");
    }
}

TEST(SplitRows, LastColumnOptionLimitsTheColumnsOrEndsTheJob) {
    TempDir dir;
    const std::string source = dir / "a.xlsx";
    saveBook(source, {{"S", numberedRows(1, 5)}});
    struct Case {
        int lastColumn;
        bool header;
        size_t outputs;
    } cases[] = {{2, false, 1}, {2, true, 1}, {0, true, 0}, {0, false, 0}, {99999, false, 0}};
    for (const auto& c : cases) {
        TempDir out;
        JobOptions o = evenOptions(out, 10, c.header ? 1 : 0);
        o.evenLastColumnSet = true;
        o.evenLastColumn = c.lastColumn;
        TestHost host;
        TransformAverageJob(source, o, host);
        EXPECT_EQ(filesIn(out.path()).size(), c.outputs) << c.lastColumn;
        if (c.outputs) {
            Grid got = readFirstSheet(out / "a_1.xlsx");
            ASSERT_EQ(got.size(), 5u);
            EXPECT_EQ(got[0], (std::vector<std::string>{"r1", "11"}));
        } else {
            EXPECT_EQ(host.lastText(), "无法正确识别表格有效范围，请在[最后列号]中设置!");
        }
    }
}

TEST(SplitRows, RejectedSourceAndCancel) {
    TempDir dir, out;
    const std::string source = dir / "a.xlsx";
    saveBook(source, {{"S", numberedRows(1, 30)}});
    fs::copy_file(source, dir / "a.txt");
    TestHost rejected;
    TransformAverageJob(dir / "a.txt", evenOptions(out, 10), rejected);
    EXPECT_EQ(rejected.lastText(), "文件格式不正确,或文件不存在!");
    EXPECT_TRUE(fs::is_empty(out.path()));

    TestHost host;
    host.cancelAfterProgress = 1;
    TransformAverageJob(source, evenOptions(out, 10), host);
    EXPECT_EQ(filesIn(out.path()), (std::vector<std::string>{"a_1.xlsx"}));
    EXPECT_EQ(readFirstSheet(out / "a_1.xlsx"), numberedRows(1, 10));
    EXPECT_EQ(host.lastText(), "已取消。");
}

TEST(SplitRows, CsvSourceIsSplitLikeAWorkbook) {
    TempDir dir, out;
    const std::string source = dir / "名单.csv";
    {
        std::ofstream f(source, std::ios::binary);
        f << "姓名,编号\r\n甲,001\r\n乙,002\r\n丙,003\r\n";
    }
    TestHost host;
    TransformAverageJob(source, evenOptions(out, 2, 1), host);
    EXPECT_EQ(readFirstSheet(out / "名单_1.xlsx"),
              (Grid{{"姓名", "编号"}, {"甲", "001"}, {"乙", "002"}}));
    EXPECT_EQ(readFirstSheet(out / "名单_2.xlsx"), (Grid{{"姓名", "编号"}, {"丙", "003"}}));
    EXPECT_EQ(host.lastText(), "成功拆分出2个excel文件! 如有多余空表,请手动删除。");
}

// Rows that a filter saved with the source hides are data all the same.
TEST(SplitRows, RowsHiddenByASavedFilterAreNotLost) {
    TempDir dir, out;
    const std::string source = dir / "f.xlsx";
    {
        ss::Workbook wb;
        ss::Worksheet& s = wb.addSheet("S");
        fill(wb, s, numberedRows(1, 6, 2));
        s.autoFilter = ss::CellRange{1, 1, 6, 2};
        s.row(3).hidden = s.row(4).hidden = true;
        ASSERT_TRUE(ss::saveWorkbook(wb, source, ss::FileFormat::Xlsx).ok());
    }
    TestHost host;
    TransformAverageJob(source, evenOptions(out, 5, 1), host);
    Grid expected = numberedRows(1, 6, 2);
    EXPECT_EQ(readFirstSheet(out / "f_1.xlsx"), expected);
}

TEST(SplitRows, ARunningBalanceKeepsItsFormulasInsideEachBlockAndSaysWhatItFroze) {
    TempDir dir, out;
    const std::string source = dir / "ledger.xlsx";
    auto wb = ss::Workbook::createDefault();
    ss::Worksheet& ws = *wb->sheets[0];
    ws.setString(1, 1, wb->strings.add("amount"));
    double balance = 0;
    for (uint32_t r = 2; r <= 7; ++r) {
        ws.setNumber(r, 1, r);
        balance += r;
        ws.setNumber(r, 2, balance);
        std::string f = r == 2 ? "A2" : "B" + std::to_string(r - 1) + "+A" + std::to_string(r);
        ws.setFormula(r, 2, ss::Formula{f, false, {}});
    }
    ASSERT_TRUE(ss::saveWorkbook(*wb, source, ss::FileFormat::Xlsx));

    TestHost host;
    TransformAverageJob(source, evenOptions(out, 3, 1), host);
    EXPECT_EQ(
        host.lastText(),
        "成功拆分出2个excel文件! 如有多余空表,请手动删除。 "
        "1个公式引用了输出中没有的工作表、行或名称，已写成其保存的值：ledger.xlsx [Sheet1] B5。");
    auto second = ss::openWorkbook(out / "ledger_2.xlsx");
    ASSERT_TRUE(second);
    const ss::Worksheet& s = *second.value()->sheets[0];
    EXPECT_EQ(s.formula(2, 2), nullptr);  // its row above is in the first file
    EXPECT_EQ(s.find(2, 2)->number, 14.0);
    ASSERT_NE(s.formula(3, 2), nullptr);
    EXPECT_EQ(s.formula(3, 2)->text, "B2+A3");
}

// A column the author hid ("Owner") stays hidden in every block; hidden and grouped rows stay so
// where they land.
TEST(SplitRows, HiddenColumnsRowsAndGroupsStaySoInEveryBlock) {
    TempDir dir, out;
    const std::string source = dir / "h.xlsx";
    {
        ss::Workbook wb;
        ss::Worksheet& s = wb.addSheet("S");
        Grid table = {{"编号", "Owner", "n"}};
        Grid rows = numberedRows(2, 7, 3);
        table.insert(table.end(), rows.begin(), rows.end());
        fill(wb, s, table);
        ss::ColumnInfo owner;
        owner.first = owner.last = 2;
        owner.width = 20;
        owner.customWidth = owner.hidden = true;
        s.columns.push_back(owner);
        s.row(3).hidden = true;
        s.row(6).outlineLevel = s.row(7).outlineLevel = 1;
        s.row(7).hidden = true;
        ASSERT_TRUE(ss::saveWorkbook(wb, source, ss::FileFormat::Xlsx).ok());
    }
    TestHost host;
    TransformAverageJob(source, evenOptions(out, 3, 1), host);
    struct Expected {
        const char* file;
        std::vector<std::string> rows;  // rows with settings: "3 hidden level1"
    } files[] = {{"h_1.xlsx", {"3 hidden"}}, {"h_2.xlsx", {"3 level1", "4 hidden level1"}}};
    for (const Expected& e : files) {
        SCOPED_TRACE(e.file);
        auto wb = open(out / e.file);
        ASSERT_TRUE(wb);
        const ss::Worksheet& s = *wb->sheets[0];
        ASSERT_NE(s.columnInfo(2), nullptr);
        EXPECT_TRUE(s.columnInfo(2)->hidden);
        EXPECT_EQ(s.columnInfo(2)->width, 20);
        std::vector<std::string> got;
        for (const ss::Row& r : s.rows())
            if (r.hidden || r.outlineLevel)
                got.push_back(std::to_string(r.index) + (r.hidden ? " hidden" : "") +
                              (r.outlineLevel ? " level" + std::to_string(r.outlineLevel) : ""));
        EXPECT_EQ(got, e.rows);
    }
}

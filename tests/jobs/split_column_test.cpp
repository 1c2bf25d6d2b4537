// Classifying the data rows of the first worksheet by the text of one column.
#include <gtest/gtest.h>

#include "jobs/jobs.h"
#include "spreadsheet/read_stop.h"
#include "split_fixtures.h"
#include "test_host.h"

using namespace splitfix;

namespace {

JobOptions classifyOptions(const TempDir& out, int keyColumn, std::vector<std::string> values,
                           std::vector<std::string> names = {}) {
    JobOptions o;
    o.splitSaveDir = out.str() + "/";
    o.classifyColumn = keyColumn;
    o.classifyValues = std::move(values);
    o.classifyFileNames = names.empty() ? o.classifyValues : std::move(names);
    return o;
}

const Grid kHeader = {{"编号", "姓名", "城市"}};

Grid rowsNamed(const Grid& table, std::vector<std::string> keys) {
    Grid g;
    for (const auto& k : keys)
        for (const auto& row : table)
            if (row[1] == k) g.push_back(row);
    return g;
}

}  // namespace

// Both methods select the same rows: literal wildcards, case, contains versus full match, and a
// header whose key cell contains the value is not copied as data. The table starts in B2 and the
// key is its second column, so the filter must count its field from the table's first column.
TEST(SplitColumn, BothMethodsSelectExactlyTheMatchingDataRows) {
    TempDir dir;
    const std::string source = dir / "src.xlsx";
    const Grid data = {{"1", "张三", "北京"}, {"2", "小张", "上海"}, {"3", "张", "北京"},
                       {"4", "a*b", "广州"},  {"5", "ab", "深圳"},   {"6", "X", "北京"},
                       {"7", "x", "上海"},    {"8", "", "杭州"},     {"9", "张", "深圳"}};
    Grid table = kHeader;
    table.insert(table.end(), data.begin(), data.end());
    saveBook(source, {{"S", table, 2, 2}});

    struct Case {
        const char* value;
        bool fullMatch;
        std::vector<std::string> keys;  // names of the rows expected, in source order
    } cases[] = {
        {"张", false, {"张三", "小张", "张"}},  // 张 twice in the source
        {"张", true, {"张"}},
        {"a*b", true, {"a*b"}},
        {"*", false, {"a*b"}},
        {"?", false, {}},
        {"x", true, {"x"}},
        {"X", false, {"X"}},
        {"姓", false, {}},  // only the header's key cell contains it
        {"", true, {""}},   // the row whose key cell is blank
        {"", false, {"张三", "小张", "张", "a*b", "ab", "X", "x", ""}},  // every row
    };
    for (const auto& c : cases)
        for (bool filter : {false, true}) {
            TempDir out;
            JobOptions o = classifyOptions(out, 3, {c.value}, {"out"});
            o.fullMatch = c.fullMatch;
            o.highSpeedMode = filter;
            TestHost host;
            TransformJob(source, o, host);
            Grid expected = {{"", "", "", ""}, {"", "编号", "姓名", "城市"}};
            // Source order; the same name twice (张) appears at both of its rows.
            for (const auto& row : data)
                if (std::find(c.keys.begin(), c.keys.end(), row[1]) != c.keys.end())
                    expected.push_back({"", row[0], row[1], row[2]});
            EXPECT_EQ(readFirstSheet(out / "out.xlsx"), expected)
                << c.value << (c.fullMatch ? " full" : " contains") << (filter ? " filter" : "");
            EXPECT_EQ(host.lastText(), "成功拆分出1个excel文件!");
        }
}

TEST(SplitColumn, AutomaticValuesAreTheDistinctNonBlankKeys) {
    TempDir dir, out;
    const std::string source = dir / "src.xlsx";
    Grid table = {{"键", "n"}, {"x", "1"},  {"x ", "2"}, {"", "3"},
                  {"X", "4"},  {"  ", "5"}, {"x", "6"}};
    saveBook(source, {{"S", table}});
    JobOptions o = classifyOptions(out, 1, {});
    o.fullMatch = true;
    TestHost host;
    TransformJob(source, o, host);

    EXPECT_EQ(o.classifyValues, (std::vector<std::string>{"x", "x ", "X"}));
    EXPECT_EQ(o.classifyFileNames, o.classifyValues);
    EXPECT_TRUE(host.sawText("正在自动分类,请耐心等待..."));
    EXPECT_TRUE(host.sawText("正在拆分到：" + (out / "x .xlsx")));
    // x and X differ, but their files must not overwrite each other where letter case is ignored.
    EXPECT_EQ(readFirstSheet(out / "x.xlsx"), (Grid{{"键", "n"}, {"x", "1"}, {"x", "6"}}));
    EXPECT_EQ(readFirstSheet(out / "x .xlsx"), (Grid{{"键", "n"}, {"x ", "2"}}));
    EXPECT_EQ(readFirstSheet(out / "X (2).xlsx"), (Grid{{"键", "n"}, {"X", "4"}}));
    EXPECT_EQ(host.lastText(), "成功拆分出3个excel文件!");

    // A key column holding only its header: nothing to classify by.
    TempDir out2;
    saveBook(dir / "empty.xlsx", {{"S", {{"键", "n"}, {"", "1"}, {"", "2"}}}});
    JobOptions none = classifyOptions(out2, 1, {});
    TestHost host2;
    TransformJob(dir / "empty.xlsx", none, host2);
    EXPECT_EQ(host2.lastText(),
              "无法进行拆分!!! 因指定列中存在空单元格;请先删除该列的空单元格,或列出需拆分的项目,"
              "格式如：猪八戒<b>|</b>孙悟空<b>|</b>沙和尚");
    EXPECT_TRUE(fs::is_empty(out2.path()));
}

// Cleaned names that coincide, an empty name and the source's own name all get files of their own.
TEST(SplitColumn, OutputNamesAreUniqueVisibleAndNeverTheSource) {
    TempDir dir;
    const std::string source = dir / "data.xlsx";
    Grid table = {{"k"}, {"1"}, {"2"}, {"3"}, {"4"}};
    saveBook(source, {{"S", table}});
    JobOptions o = classifyOptions(dir, 1, {"1", "2", "3", "4"}, {"a/b:c", "abc", "", "DATA"});
    o.fullMatch = true;
    TestHost host;
    TransformJob(source, o, host);
    EXPECT_EQ(readFirstSheet(dir / "abc.xlsx"), (Grid{{"k"}, {"1"}}));
    EXPECT_EQ(readFirstSheet(dir / "abc (2).xlsx"), (Grid{{"k"}, {"2"}}));
    EXPECT_EQ(readFirstSheet(dir / "空白.xlsx"), (Grid{{"k"}, {"3"}}));
    EXPECT_EQ(readFirstSheet(dir / "DATA (2).xlsx"), (Grid{{"k"}, {"4"}}));
    EXPECT_EQ(readFirstSheet(source), table);
    EXPECT_EQ(host.lastText(), "成功拆分出4个excel文件!");
}

TEST(SplitColumn, OneWorkbookListsTheValuesLastFirstWithValidSheetNames) {
    TempDir dir;
    const std::string source = dir / "src.xlsx";
    Grid table = kHeader;
    Grid data = {{"1", "甲", "a"}, {"2", "乙", "b"}, {"3", "丙", "c"}, {"4", "甲", "d"}};
    table.insert(table.end(), data.begin(), data.end());
    saveBook(source, {{"S", table}});
    for (bool filter : {false, true}) {
        TempDir out;
        JobOptions o = classifyOptions(out, 2, {"甲", "乙", "丙"}, {"甲", "乙:[x]", "甲"});
        o.toOneWorkbook = true;
        o.highSpeedMode = filter;
        TestHost host;
        TransformJob(source, o, host);
        EXPECT_EQ(filesIn(out.path()), (std::vector<std::string>{"拆分后.xlsx"}));
        auto wb = open(out / "拆分后.xlsx");
        ASSERT_TRUE(wb);
        ASSERT_EQ(wb->sheets.size(), 3u);
        std::vector<std::string> expectedNames = {"甲 (2)", "乙x", "甲"};
        std::vector<std::vector<std::string>> keys = {{"丙"}, {"乙"}, {"甲"}};
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(wb->sheets[i]->name, expectedNames[i]);
            Grid expected = kHeader;
            Grid rows = rowsNamed(data, keys[i]);
            expected.insert(expected.end(), rows.begin(), rows.end());
            EXPECT_EQ(read(*wb, *wb->sheets[i]), expected) << i;
        }
        EXPECT_EQ(host.lastText(), "成功拆分出3个sheet到指定路径下的【拆分后.xlsx】文件!");
    }
}

TEST(SplitColumn, HeaderRowsOptionCopiesAllHeaderRows) {
    TempDir dir, out;
    const std::string source = dir / "src.xlsx";
    Grid table = {{"报表", "", ""},  {"北京 区域", "", ""}, {"城市", "n", ""},
                  {"北京", "1", ""}, {"上海", "2", ""},     {"北京", "3", ""}};
    saveBook(source, {{"S", table}});
    for (bool filter : {false, true}) {
        JobOptions o = classifyOptions(out, 1, {"北京"});
        o.classifyHeaderRows = true;
        o.classifyHeaderRowCount = 3;
        o.highSpeedMode = filter;
        TestHost host;
        TransformJob(source, o, host);
        EXPECT_EQ(
            readFirstSheet(out / "北京.xlsx"),
            (Grid{{"报表", ""}, {"北京 区域", ""}, {"城市", "n"}, {"北京", "1"}, {"北京", "3"}}));
    }
}

TEST(SplitColumn, FailuresEndTheJobInOrderWithTheirTexts) {
    TempDir dir;
    const std::string source = dir / "src.xlsx";
    saveBook(source, {{"S", {{"城市"}, {"北京"}, {"上海"}}}});
    fs::copy_file(source, dir / "src.txt");
    struct Case {
        std::string path;
        int lastColumn;  // -1: option off
        const char* text;
    } cases[] = {
        {dir / "src.txt", -1, "文件格式不正确,或文件不存在!"},
        {dir / "missing.xlsx", -1, "文件格式不正确,或文件不存在!"},
        {source, 0, "无法正确识别表格有效范围，请在[最后列号]中设置!"},
    };
    for (const auto& c : cases) {
        TempDir out;
        JobOptions o = classifyOptions(out, 1, {"北京"});
        o.classifyLastColumnSet = c.lastColumn >= 0;
        o.classifyLastColumn = c.lastColumn;
        TestHost host;
        TransformJob(c.path, o, host);
        EXPECT_EQ(host.lastText(), c.text) << c.path;
        EXPECT_TRUE(fs::is_empty(out.path()));
    }

    // Something already standing under an output's name stays; the output goes beside it.
    TempDir out;
    fs::create_directory(out / "北京.xlsx");
    TestHost host;
    JobOptions o = classifyOptions(out, 1, {"北京", "上海"});
    TransformJob(source, o, host);
    EXPECT_EQ(readFirstSheet(out / "上海.xlsx"), (Grid{{"城市"}, {"上海"}}));
    EXPECT_EQ(readFirstSheet(out / "北京 (2).xlsx"), (Grid{{"城市"}, {"北京"}}));
    EXPECT_TRUE(fs::is_directory(out / "北京.xlsx"));
    EXPECT_EQ(host.lastText(), "成功拆分出2个excel文件! 因已有同名文件，另存为：北京 (2).xlsx");
}

// Many small outputs are written a few at a time: an output that cannot be saved among them is
// named in its place, and every other one is written whole.
TEST(SplitColumn, AnOutputThatCannotBeSavedAmongManyIsNamedInOrder) {
    TempDir dir, out;
    const std::string source = dir / "src.xlsx";
    std::vector<std::string> values;
    Grid rows = {{"城市", "n"}};
    for (int i = 0; i < 30; ++i) {
        // The 12th name is too long for a file name.
        values.push_back(i == 11 ? std::string(300, 'x') : "v" + std::to_string(i));
        rows.push_back({values.back(), std::to_string(i)});
    }
    saveBook(source, {{"S", rows}});
    TestHost host;
    JobOptions o = classifyOptions(out, 1, values);
    o.fullMatch = true;
    TransformJob(source, o, host);
    EXPECT_EQ(host.lastText(), "成功拆分出29个excel文件! 未能保存1个文件：" + values[11] + ".xlsx");
    for (int i = 0; i < 30; ++i) {
        if (i == 11) continue;
        EXPECT_EQ(readFirstSheet(out / (values[size_t(i)] + ".xlsx")),
                  (Grid{{"城市", "n"}, {values[size_t(i)], std::to_string(i)}}))
            << i;
    }
    EXPECT_EQ(filesIn(out.path()).size(), 29u);
}

// A stop while the source is read ends the read and the job as stopped, not as a source that
// could not be read.
TEST(SplitColumn, AStopWhileTheSourceIsReadEndsTheJobAsStopped) {
    TempDir dir, out;
    const std::string source = dir / "src.xlsx";
    Grid rows = {{"城市", "n"}};
    for (int r = 1; r <= 20000; ++r) rows.push_back({r % 2 ? "北京" : "上海", std::to_string(r)});
    saveBook(source, {{"S", rows}});
    for (int stopAt = 1; stopAt <= 4; ++stopAt) {
        TestHost host;
        host.cancelAfterChecks = stopAt;
        JobOptions o = classifyOptions(out, 1, {"北京", "上海"});
        TransformJob(source, o, host);
        EXPECT_EQ(host.lastText(), "已取消。") << stopAt;
        for (const std::string& t : host.texts)
            EXPECT_EQ(t.find(ss::kReadStopped), std::string::npos);
        EXPECT_TRUE(fs::is_empty(out.path())) << stopAt;
    }
}

TEST(SplitColumn, CancelKeepsFinishedWorkbooksAndWritesNoPartialOne) {
    TempDir dir;
    const std::string source = dir / "src.xlsx";
    saveBook(source, {{"S", {{"城市"}, {"北京"}, {"上海"}, {"广州"}}}});
    for (bool one : {false, true}) {
        TempDir out;
        JobOptions o = classifyOptions(out, 1, {"北京", "上海", "广州"});
        o.toOneWorkbook = one;
        TestHost host;
        host.cancelAfterProgress = 1;
        TransformJob(source, o, host);
        EXPECT_EQ(filesIn(out.path()),
                  one ? std::vector<std::string>{} : std::vector<std::string>{"北京.xlsx"});
        EXPECT_EQ(host.lastText(), "已取消。");
    }
}

// Rows that a filter saved with the source hides are classified like every other row.
TEST(SplitColumn, RowsHiddenByASavedFilterAreClassifiedToo) {
    TempDir dir, out;
    const std::string source = dir / "f.xlsx";
    const Grid table = {{"城市", "n"}, {"北京", "1"}, {"北京", "2"}, {"上海", "3"}, {"北京", "4"}};
    {
        ss::Workbook wb;
        ss::Worksheet& s = wb.addSheet("S");
        fill(wb, s, table);
        s.autoFilter = ss::CellRange{1, 1, 5, 2};
        s.row(3).hidden = s.row(4).hidden = true;
        ASSERT_TRUE(ss::saveWorkbook(wb, source, ss::FileFormat::Xlsx).ok());
    }
    for (bool filter : {false, true}) {
        JobOptions o = classifyOptions(out, 1, {"北京"});
        o.highSpeedMode = filter;
        TestHost host;
        TransformJob(source, o, host);
        EXPECT_EQ(readFirstSheet(out / "北京.xlsx"),
                  (Grid{{"城市", "n"}, {"北京", "1"}, {"北京", "2"}, {"北京", "4"}}))
            << filter;
    }
}

// A table that reaches the sheet's last row: that row is classified like any other, with the
// values found automatically or given, by either method.
TEST(SplitColumn, TheSheetsLastRowIsClassified) {
    TempDir dir;
    const std::string source = dir / "src.xlsx";
    {
        ss::Workbook wb;
        ss::Worksheet& s = wb.addSheet("S");
        fill(wb, s, {{"编号", "类别"}, {"1", "甲"}});
        fill(wb, s, {{"2", "乙"}}, ss::kXlsxMaxRows, 1);
        ASSERT_TRUE(ss::saveWorkbook(wb, source, ss::FileFormat::Xlsx).ok());
    }
    for (bool automatic : {true, false})
        for (bool filter : {false, true}) {
            TempDir out;
            JobOptions o =
                automatic ? classifyOptions(out, 2, {}) : classifyOptions(out, 2, {"乙"});
            o.highSpeedMode = filter;
            TestHost host;
            TransformJob(source, o, host);
            const std::string how =
                std::string(automatic ? "automatic" : "given") + (filter ? " filter" : " rows");
            const std::vector<std::string> expected =
                automatic ? std::vector<std::string>{"乙.xlsx", "甲.xlsx"}
                          : std::vector<std::string>{"乙.xlsx"};
            EXPECT_EQ(filesIn(out.path()), expected) << how;
            EXPECT_EQ(readFirstSheet(out / "乙.xlsx"), (Grid{{"编号", "类别"}, {"2", "乙"}}))
                << how;
        }
}

// A key column of dates in a 1904 workbook: each output is named after its date and shows that
// date, by either method.
TEST(SplitColumn, DatesOfA1904SourceShowAsInTheSource) {
    TempDir dir;
    const std::string source = dir / "d.xlsx";
    {
        ss::Workbook wb;
        wb.date1904 = true;
        ss::Worksheet& s = wb.addSheet("S");
        fill(wb, s, {{"日期", "n"}, {"", "1"}, {"", "2"}, {"", "3"}});
        ss::CellFormat xf;
        xf.numFmtId = wb.styles.internNumberFormat("yyyy-mm-dd");
        xf.applyNumberFormat = true;
        const uint32_t date = wb.styles.internCellFormat(xf);
        const double days[] = {43830, 43831, 43830};  // 2024-01-01 is 43830 in the 1904 system
        for (uint32_t i = 0; i < 3; ++i) s.setNumber(i + 2, 1, days[i], date);
        ASSERT_TRUE(ss::saveWorkbook(wb, source, ss::FileFormat::Xlsx).ok());
    }
    for (bool filter : {false, true}) {
        SCOPED_TRACE(filter ? "filter" : "rows");
        TempDir out;
        JobOptions o = classifyOptions(out, 1, {});
        o.fullMatch = true;
        o.highSpeedMode = filter;
        TestHost host;
        TransformJob(source, o, host);
        EXPECT_EQ(filesIn(out.path()),
                  (std::vector<std::string>{"2024-01-01.xlsx", "2024-01-02.xlsx"}));
        EXPECT_EQ(readFirstSheet(out / "2024-01-01.xlsx"),
                  (Grid{{"日期", "n"}, {"2024-01-01", "1"}, {"2024-01-01", "3"}}));
        EXPECT_EQ(readFirstSheet(out / "2024-01-02.xlsx"),
                  (Grid{{"日期", "n"}, {"2024-01-02", "2"}}));
        EXPECT_EQ(host.lastText(), "成功拆分出2个excel文件! 3个日期值已从1904日期系统换算。");
    }
}

// The options beyond the form: columns aligned by header, source columns, continuation sheets,
// the report of every file and the dry run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/append.h"
#include "jobs/job_texts.h"
#include "jobs/jobs.h"
#include "jobs/report.h"
#include "merge_fixtures.h"
#include "test_host.h"

using namespace fixtures;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

JobOptions defaults() {
    JobOptions o;
    o.skipEmptySheets = true;
    return o;
}

struct Run {
    std::unique_ptr<ss::Workbook> book;
    TestHost host;
};

enum class Job { OneSheet, Files, Sheets };

// Runs a merge of dir/src (a folder, or for Sheets the workbook dir/src/book.xlsx) into
// dir/<outName>.
std::unique_ptr<Run> merge(Job job, const TempDir& dir, const JobOptions& o,
                           const std::string& outName = "out.xlsx") {
    auto run = std::make_unique<Run>();
    run->host = TestHost((dir / outName).string());
    switch (job) {
        case Job::OneSheet:
            FilesToOneSheetJob((dir / "src").string(), o, run->host);
            break;
        case Job::Files:
            ExcelFileMergeJob((dir / "src").string(), o, run->host);
            break;
        case Job::Sheets:
            ExcelSheetMergeJob((dir / "src" / "book.xlsx").string(), o, run->host);
            break;
    }
    if (fs::exists(dir / outName)) run->book = open(dir / outName);
    return run;
}

// Every file below `root`, as relative paths.
std::vector<std::string> listing(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out.push_back(fs::relative(e.path(), root).generic_string());
    std::sort(out.begin(), out.end());
    return out;
}

// Comma-separated rows of a report written as .csv (no field in these tests holds a comma).
Grid readCsv(const fs::path& path) {
    std::string text = readBytes(path);
    EXPECT_EQ(text.rfind("\xEF\xBB\xBF", 0), 0u) << "byte-order mark";
    text = text.substr(3);
    Grid rows;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        std::string line = text.substr(start, end - start);
        std::vector<std::string> cells;
        size_t a = 0;
        for (size_t b; (b = line.find(',', a)) != std::string::npos; a = b + 1)
            cells.push_back(line.substr(a, b - a));
        cells.push_back(line.substr(a));
        rows.push_back(cells);
        start = end == std::string::npos ? text.size() : end + 2;
    }
    return rows;
}

}  // namespace

TEST(HeaderKey, IgnoresBlanksCaseAndWidth) {
    EXPECT_EQ(jobs::headerKey("  Name\t"), "name");
    EXPECT_EQ(jobs::headerKey("\xE3\x80\x80Ｎａｍｅ１"), "name1");  // ideographic space, full width
    EXPECT_EQ(jobs::headerKey("金额（元）"), "金额(元)");
    EXPECT_EQ(jobs::headerKey("Ä"), "Ä");  // only Latin ASCII letters fold
    EXPECT_EQ(jobs::headerKey(""), "");
    EXPECT_EQ(jobs::headerKey("\xE9"), "\xE9");  // a broken sequence is kept as it is
}

// Later blocks are matched to the first block's header: another order, an extra column (added at
// the right with its header), a missing column (left empty), case and width differences.
TEST(AlignHeaders, MatchesColumnsByHeaderText) {
    struct Case {
        const char* what;
        Grid second;
        Grid expected;     // the output below the first block's two rows
        std::string note;  // what the report says about the second block
    };
    const Grid first = {{"ID", "Name", "Qty"}, {"1", "a", "10"}};
    const Case cases[] = {
        {"another order", {{"Qty", "ID", "Name"}, {"20", "2", "b"}}, {{"2", "b", "20"}}, ""},
        {"an extra column",
         {{"ID", "Note", "Name", "Qty"}, {"2", "x", "b", "20"}},
         {{"2", "b", "20", "x"}},
         "新增列：Note"},
        {"a missing column", {{"Qty", "ID"}, {"20", "2"}}, {{"2", "", "20"}}, "缺少列：Name"},
        {"case and width", {{" id ", "ＮＡＭＥ", "qty"}, {"2", "b", "20"}}, {{"2", "b", "20"}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeBook(dir / "src" / "1.xlsx", {{"S", first}});
        writeBook(dir / "src" / "2.xlsx", {{"S", c.second}});
        for (Job job : {Job::OneSheet, Job::Files}) {
            SCOPED_TRACE(job == Job::OneSheet ? "merge-one-sheet" : "merge-files");
            JobOptions o = defaults();
            o.alignHeaders = true;
            o.mergeSameNameSheets = true;
            o.reportPath = (dir / "report.csv").string();
            auto run = merge(job, dir, o, job == Job::OneSheet ? "one.xlsx" : "files.xlsx");
            ASSERT_TRUE(run->book);
            Grid expected = first;
            if (c.expected[0].size() > 3) expected[0].push_back("Note");
            expected.insert(expected.end(), c.expected.begin(), c.expected.end());
            EXPECT_EQ(grid(*run->book), padded(expected));
            // The result text, then where the report went.
            ASSERT_GE(run->host.texts.size(), 2u);
            EXPECT_THAT(run->host.texts.end()[-2], StartsWith("成功合并2个工作簿的2个sheet"));
            EXPECT_EQ(run->host.lastText(), "报告已保存：" + o.reportPath);
        }
    }
}

// The sheets of one workbook, aligned, with two header rows matched together.
TEST(AlignHeaders, SheetMergeWithTwoHeaderRows) {
    TempDir dir;
    writeBook(dir / "src" / "book.xlsx", {{"A", {{"T", "T"}, {"x", "y"}, {"1", "2"}}},
                                          {"B", {{"T", "T"}, {"y", "x"}, {"4", "3"}}}});
    JobOptions o;
    o.alignHeaders = true;
    o.sheetMergeHeaderRowsOnce = true;
    o.sheetMergeHeaderRowCount = 2;
    auto run = merge(Job::Sheets, dir, o);
    ASSERT_TRUE(run->book);
    EXPECT_EQ(grid(*run->book), (Grid{{"T", "T"}, {"x", "y"}, {"1", "2"}, {"3", "4"}}));
}

// "来源文件" names the file relative to the folder (subfolders included), "来源工作表" the sheet;
// the header row gets the two titles.
TEST(SourceColumns, NameFileAndSheetOfEveryRow) {
    TempDir dir;
    writeBook(dir / "src" / "a.xlsx", {{"Jan", table("a", 2, 2)}});
    writeBook(dir / "src" / "sub" / "b.xlsx", {{"Feb", table("b", 1, 2)}});
    JobOptions o = defaults();
    o.sourceColumns = true;
    o.headerRowsOnce = true;
    o.headerRowCount = 1;
    auto run = merge(Job::OneSheet, dir, o);
    ASSERT_TRUE(run->book);
    EXPECT_EQ(grid(*run->book), (Grid{{"来源文件", "来源工作表", "H1", "H2"},
                                      {"a.xlsx", "Jan", "a1", "12"},
                                      {"a.xlsx", "Jan", "a2", "22"},
                                      {"sub/b.xlsx", "Feb", "b1", "12"}}));

    // merge-files: every same-name output sheet gets them, with the columns aligned as well.
    writeBook(dir / "src" / "sub" / "b.xlsx", {{"Jan", {{"H2", "H1"}, {"7", "b1"}}}});
    o.mergeSameNameSheets = true;
    o.alignHeaders = true;
    auto files = merge(Job::Files, dir, o, "files.xlsx");
    ASSERT_TRUE(files->book);
    EXPECT_THAT(sheetNames(*files->book), ElementsAre("Jan"));
    EXPECT_EQ(grid(*files->book), (Grid{{"来源文件", "来源工作表", "H1", "H2"},
                                        {"a.xlsx", "Jan", "a1", "12"},
                                        {"a.xlsx", "Jan", "a2", "22"},
                                        {"sub/b.xlsx", "Jan", "b1", "7"}}));
}

// Past the row limit the rows continue on "Name (2)", "Name (3)" with the header repeated;
// nothing is left out and the closing text counts the continuation sheets. Without the option
// the block that does not fit is refused as before.
TEST(Spill, ContinuesOnNewSheetsWithTheHeader) {
    TempDir dir;
    writeBook(dir / "src" / "1.xlsx", {{"S", table("a", 3, 2)}});
    writeBook(dir / "src" / "2.xlsx", {{"S", table("b", 3, 2)}});
    writeBook(dir / "src" / "3.xlsx", {{"S", table("c", 3, 2)}});
    JobOptions o = defaults();
    o.spill = true;
    o.rowLimit = 4;
    o.headerRowsOnce = true;
    o.headerRowCount = 1;
    auto run = merge(Job::OneSheet, dir, o);
    ASSERT_TRUE(run->book);
    EXPECT_THAT(sheetNames(*run->book), ElementsAre("合并Sheet", "合并Sheet (2)", "合并Sheet (3)"));
    const Grid h = {{"H1", "H2"}};
    EXPECT_EQ(grid(*run->book, 0), (Grid{h[0], {"a1", "12"}, {"a2", "22"}, {"a3", "32"}}));
    EXPECT_EQ(grid(*run->book, 1), (Grid{h[0], {"b1", "12"}, {"b2", "22"}, {"b3", "32"}}));
    EXPECT_EQ(grid(*run->book, 2), (Grid{h[0], {"c1", "12"}, {"c2", "22"}, {"c3", "32"}}));
    EXPECT_THAT(run->host.lastText(), StartsWith("成功合并3个工作簿的3个sheet"));
    EXPECT_THAT(run->host.lastText(), HasSubstr("超出行数上限的数据已续写到2个续表。"));

    // One block larger than a whole sheet is cut over several, same-name merge too.
    writeBook(dir / "src" / "1.xlsx", {{"S", table("a", 7, 1)}});
    fs::remove(dir / "src" / "2.xlsx");
    fs::remove(dir / "src" / "3.xlsx");
    o.mergeSameNameSheets = true;
    auto files = merge(Job::Files, dir, o, "files.xlsx");
    ASSERT_TRUE(files->book);
    EXPECT_THAT(sheetNames(*files->book), ElementsAre("S", "S (2)", "S (3)"));
    EXPECT_EQ(grid(*files->book, 2), (Grid{{"H1"}, {"a7"}}));

    // Without the option a block past the limit is refused, as one past the last row always is;
    // a block that fits is still merged.
    o.spill = false;
    o.alignHeaders = true;
    writeBook(dir / "src" / "2.xlsx", {{"S", table("b", 2, 1)}});
    auto refused = merge(Job::OneSheet, dir, o, "refused.xlsx");
    EXPECT_THAT(refused->host.lastText(), StartsWith("成功合并2个工作簿的1个sheet"));
    EXPECT_THAT(refused->host.lastText(),
                HasSubstr("注意：有1个sheet超出表格行列上限，未能合并。"));
}

// The row limit follows the output format; the header rows follow the job's own option, at
// least one when aligning.
TEST(Spill, SettingsFromTheJobOptions) {
    struct Case {
        const char* what;
        bool spill, align, xls, headerOnce;
        int headerCount;
        uint32_t rowLimit;
        uint32_t wantLimit;
        int wantHeader;
    };
    const Case cases[] = {
        {"xlsx", true, false, false, false, 0, 0, ss::kXlsxMaxRows, 0},
        {"xls output", true, false, true, true, 2, 0, ss::kXlsMaxRows, 2},
        {"xls without spill keeps the sheet's limit", false, true, true, false, 0, 0,
         ss::kXlsxMaxRows, 1},
        {"a test limit", true, true, true, true, 3, 10, 10, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobOptions o;
        o.spill = c.spill;
        o.alignHeaders = c.align;
        o.rowLimit = c.rowLimit;
        const jobs::AppendSettings s = jobs::appendSettings(o, c.xls, c.headerOnce, c.headerCount);
        EXPECT_EQ(s.rowLimit, c.wantLimit);
        EXPECT_EQ(s.headerRows, c.wantHeader);
        EXPECT_TRUE(s.any());
    }
    EXPECT_FALSE(jobs::appendSettings(JobOptions(), true, true, 1).any());
}

// The sheets of one workbook continue on "Sheet1 (2)" past the limit.
TEST(Spill, SheetMerge) {
    TempDir dir;
    writeBook(dir / "src" / "book.xlsx", {{"A", table("a", 3, 1)}, {"B", table("b", 2, 1)}});
    JobOptions o;
    o.spill = true;
    o.rowLimit = 4;
    o.sheetMergeHeaderRowsOnce = true;
    o.sheetMergeHeaderRowCount = 1;
    auto run = merge(Job::Sheets, dir, o);
    ASSERT_TRUE(run->book);
    ASSERT_EQ(run->book->sheets.size(), 2u);
    EXPECT_EQ(run->book->sheets[1]->name, run->book->sheets[0]->name + " (2)");
    EXPECT_EQ(grid(*run->book, 1), (Grid{{"H1"}, {"b1"}, {"b2"}}));
    EXPECT_THAT(run->host.lastText(), StartsWith("成功汇总2个sheet,"));
    EXPECT_THAT(run->host.lastText(), HasSubstr("续写到1个续表"));
}

// One row per file and sheet with each outcome, in the three forms.
TEST(Report, EveryOutcomeInEveryForm) {
    TempDir dir;
    writeBook(dir / "src" / "1.xlsx", {{"Data", table("a", 3, 2)}, {"Empty", {}}});
    writeBook(dir / "src" / "2.xlsx", {{"Data", {{"H1", "H2"}, {"", "x"}, {"b1", "y"}}}});
    writeBook(dir / "src" / "3.xlsx", {{"Big", table("c", 9, 2)}});
    writeBytes(dir / "src" / "broken.xlsx", "PK\x03\x04 not really a workbook");
    writeBytes(dir / "src" / "ids.csv", "H1,H2,Card\r\n007,x,1234567890123456\r\n8,y,5\r\n");
    JobOptions o = defaults();
    o.headerRowsOnce = true;
    o.headerRowCount = 1;
    o.deleteEmptyKeyRows = true;
    o.keyColumn = 1;
    o.rowLimit = 8;
    o.alignHeaders = true;  // the options' path, with its row limit
    o.reportPath = (dir / "report.csv").string();
    auto run = merge(Job::OneSheet, dir, o);
    ASSERT_TRUE(run->book);
    EXPECT_TRUE(run->host.sawText("报告已保存：" + o.reportPath));
    Grid report = readCsv(o.reportPath);
    ASSERT_EQ(report.size(), 7u);
    EXPECT_THAT(report[0],
                ElementsAre("文件", "工作表", "结果", "取用行数", "去掉的表头行", "删除的空关键行",
                            "输出文件", "输出位置", "说明", "保留为文本的列", "冻结的公式",
                            "未带到输出的内容", "文件格式"));
    const std::string out = (dir / "out.xlsx").string();
    EXPECT_THAT(report[1], ElementsAre("1.xlsx", "Data", "已合并", "4", "0", "0", out, "合并Sheet",
                                       "", "", "0", "", "xlsx 工作簿"));
    EXPECT_THAT(report[2], ElementsAre("1.xlsx", "Empty", "已跳过：空工作表", "0", "0", "0", "", "",
                                       "", "", "0", "", "xlsx 工作簿"));
    EXPECT_THAT(report[3], ElementsAre("2.xlsx", "Data", "已合并", "1", "1", "1", out, "合并Sheet",
                                       "", "", "0", "", "xlsx 工作簿"));
    EXPECT_THAT(report[4], ElementsAre("3.xlsx", "Big", "未合并：超出表格行列上限", "0", "1", "0",
                                       "", "", "", "", "0", "", "xlsx 工作簿"));
    EXPECT_EQ(report[5][0], "broken.xlsx");
    EXPECT_THAT(report[5][2], StartsWith("失败："));
    EXPECT_GT(report[5][2].size(), std::string("失败：").size());
    // A .csv source: the identifiers the reader kept as text are named by column.
    EXPECT_THAT(report[6], ElementsAre("ids.csv", "ids", "已合并", "2", "1", "0", out, "合并Sheet",
                                       "新增列：Card", "A(H1)、C(Card)", "0", "", "文本表格"));

    // The same table as JSON and as a workbook.
    o.reportPath = (dir / "report.json").string();
    (void)merge(Job::OneSheet, dir, o, "out2.xlsx");
    const std::string json = readBytes(o.reportPath);
    EXPECT_THAT(json, HasSubstr("\"文件\": \"1.xlsx\", \"工作表\": \"Data\", \"结果\": \"已合并\", "
                                "\"取用行数\": 4"));
    EXPECT_THAT(json, HasSubstr("\"结果\": \"已跳过：空工作表\""));
    o.reportPath = (dir / "report.xlsx").string();
    (void)merge(Job::OneSheet, dir, o, "out3.xlsx");
    auto book = open(o.reportPath);
    ASSERT_TRUE(book);
    EXPECT_EQ(grid(*book)[2][2], "已跳过：空工作表");
    EXPECT_EQ(grid(*book).size(), 7u);
}

// Each entry names the formulas its copy froze and what it left behind: a running balance
// split in blocks freezes the formula that reads the block before; a chart sheet has no cells
// for the one merged sheet.
TEST(Report, FrozenFormulasAndWhatWasLeftBehind) {
    TempDir dir;
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
    writeBook(dir / "ledger.xlsx", *wb);
    fs::create_directories(dir / "parts");
    JobOptions even = defaults();
    even.splitSaveDir = (dir / "parts").string();
    even.rowsPerWorkbook = 3;
    even.evenHeaderRows = true;
    even.evenHeaderRowCount = 1;
    even.reportPath = (dir / "even.csv").string();
    TestHost host;
    TransformAverageJob((dir / "ledger.xlsx").string(), even, host);
    Grid report = readCsv(even.reportPath);
    ASSERT_EQ(report.size(), 3u);
    EXPECT_EQ(report[0][10], "冻结的公式");
    EXPECT_EQ(report[1][10], "0");
    EXPECT_EQ(report[2][10], "1");  // B5 reads B4, which went to the first block

    const fs::path sample = fs::path(TW_CORPUS_DIR) / "xlsx" / "BlankSheetTypes.xlsm";
    if (!fs::exists(sample)) GTEST_SKIP() << "corpus file missing: " << sample;
    fs::create_directories(dir / "src");
    fs::copy_file(sample, dir / "src" / "types.xlsm");
    JobOptions o = defaults();
    o.skipEmptySheets = false;
    o.reportPath = (dir / "merge.csv").string();
    auto run = merge(Job::OneSheet, dir, o);
    ASSERT_TRUE(run->book);
    bool chartNamed = false;
    for (const auto& row : readCsv(o.reportPath))
        if (row.size() > 11 && row[2] == "未合并：图表工作表没有单元格")
            chartNamed = row[11] == "图表工作表 1 个";
    EXPECT_TRUE(chartNamed);
}

// The window's report goes beside the output; a cancelled save writes none.
TEST(Report, BesideTheOutput) {
    TempDir dir;
    writeBook(dir / "src" / "1.xlsx", {{"S", table("a", 1)}});
    JobOptions o = defaults();
    o.reportBesideOutput = true;
    auto run = merge(Job::OneSheet, dir, o, "result.xlsx");
    ASSERT_TRUE(run->book);
    EXPECT_TRUE(fs::exists(dir / "result_报告.xlsx"));

    TestHost cancelled;  // declines the save question
    FilesToOneSheetJob((dir / "src").string(), o, cancelled);
    EXPECT_EQ(listing(dir.path()),
              (std::vector<std::string>{"result.xlsx", "result_报告.xlsx", "src", "src/1.xlsx"}));
}

// A dry run decides everything the run does (its report equals the run's, the output file
// aside) and writes nothing; the plan reaches the host.
TEST(DryRun, EqualsTheRunAndWritesNothing) {
    TempDir dir;
    writeBook(dir / "src" / "1.xlsx", {{"S", table("a", 3, 2)}, {"T", table("t", 1, 2)}});
    writeBook(dir / "src" / "sub" / "2.xlsx", {{"S", {{"H2", "H1", "New"}, {"1", "2", "3"}}}});
    writeBytes(dir / "src" / "bad.xlsx", "not a workbook");
    TempDir reports;
    for (Job job : {Job::Files, Job::OneSheet}) {
        SCOPED_TRACE(job == Job::Files ? "merge-files" : "merge-one-sheet");
        JobOptions o = defaults();
        o.mergeSameNameSheets = true;
        o.alignHeaders = true;
        o.spill = true;
        o.rowLimit = 3;
        o.reportPath = (reports / "run.csv").string();
        auto real = merge(job, dir, o, "real.xlsx");
        ASSERT_TRUE(real->book);
        fs::remove(dir / "real.xlsx");
        fs::remove(dir / "src" / jobs::kFailListName);
        const auto before = listing(dir.path());

        o.dryRun = true;
        o.reportPath = (reports / "plan.csv").string();
        TestHost host((dir / "never.xlsx").string());
        job == Job::Files ? ExcelFileMergeJob((dir / "src").string(), o, host)
                          : FilesToOneSheetJob((dir / "src").string(), o, host);
        EXPECT_EQ(listing(dir.path()), before);
        EXPECT_TRUE(host.questions.empty());
        EXPECT_EQ(host.lastText(), jobs::kDryRunDone);

        Grid planned = readCsv(reports / "plan.csv"), done = readCsv(reports / "run.csv");
        ASSERT_EQ(planned.size(), done.size());
        ASSERT_GE(planned.size(), 5u);
        for (size_t r = 0; r < planned.size(); ++r) {
            planned[r][6] = done[r][6] = "";  // the output file: the proposed name in the plan
            EXPECT_EQ(planned[r], done[r]) << "row " << r;
        }
    }
}

// The split jobs report every output and preview without writing.
TEST(DryRun, SplitJobs) {
    TempDir dir;
    writeBook(dir / "book.xlsx",
              {{"S", {{"K", "V"}, {"x", "1"}, {"y", "2"}, {"x", "3"}}}, {"Other", {{"1"}}}});
    fs::create_directories(dir / "out");
    const auto before = listing(dir.path());
    JobOptions o;
    o.dryRun = true;
    o.splitSourceFile = (dir / "book.xlsx").string();
    o.splitSaveDir = (dir / "out").string() + "/";
    o.reportPath = (dir / "plan.json").string();

    TestHost byValue;
    o.classifyColumn = 1;
    o.classifyHeaderRows = true;
    o.classifyHeaderRowCount = 1;
    o.highSpeedMode = true;
    o.fullMatch = true;
    TransformJob(o.splitSourceFile, o, byValue);
    EXPECT_THAT(readBytes(dir / "plan.json"),
                HasSubstr("\"取用行数\": 2, \"去掉的表头行\": 0, \"删除的空关键行\": 0, "
                          "\"输出文件\": \"" +
                          o.splitSaveDir + "\", \"输出位置\": \"x.xlsx\""));
    EXPECT_THAT(readBytes(dir / "plan.json"), HasSubstr("\"结果\": \"已拆分为2个文件\""));
    EXPECT_EQ(byValue.lastText(), jobs::kDryRunDone);

    TestHost byRows;
    o.rowsPerWorkbook = 2;
    o.evenHeaderRows = true;
    o.evenHeaderRowCount = 1;
    TransformAverageJob(o.splitSourceFile, o, byRows);
    EXPECT_THAT(readBytes(dir / "plan.json"),
                HasSubstr("\"工作表\": \"S\", \"结果\": \"已拆分为2个文件\", \"取用行数\": 1"));
    EXPECT_THAT(readBytes(dir / "plan.json"), HasSubstr("\"输出位置\": \"book_2.xlsx\""));

    TestHost bySheet;
    ExcelFileSplitJob(o.splitSourceFile, o, bySheet);
    EXPECT_THAT(readBytes(dir / "plan.json"), HasSubstr("\"工作表\": \"Other\""));

    fs::remove(dir / "plan.json");
    EXPECT_EQ(listing(dir.path()), before);
}

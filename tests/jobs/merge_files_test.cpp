// The folder merge into one sheet per source worksheet ("合并成多个Sheet").
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <regex>

#include "jobs/jobs.h"
#include "merge_fixtures.h"
#include "test_host.h"

using namespace fixtures;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

JobOptions defaults() {
    JobOptions o;
    o.skipEmptySheets = true;  // the only box checked at program start
    return o;
}

// Gives every sheet of a saved workbook the same name, as some programs write them.
void renameAllSheets(const fs::path& file, const std::string& name) {
    zip_t* z = zip_open(file.c_str(), 0, nullptr);
    ASSERT_NE(z, nullptr);
    zip_stat_t st;
    ASSERT_EQ(zip_stat(z, "xl/workbook.xml", 0, &st), 0);
    std::string xml(st.size, '\0');
    zip_file_t* f = zip_fopen(z, "xl/workbook.xml", 0);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(zip_fread(f, xml.data(), xml.size()), zip_int64_t(xml.size()));
    zip_fclose(f);
    static const std::regex kName("<sheet name=\"[^\"]*\"");
    const std::string renamed = std::regex_replace(xml, kName, "<sheet name=\"" + name + "\"");
    zip_source_t* src = zip_source_buffer(z, renamed.data(), renamed.size(), 0);
    ASSERT_GE(zip_file_add(z, "xl/workbook.xml", src, ZIP_FL_OVERWRITE), 0);
    ASSERT_EQ(zip_close(z), 0);
}

std::string closingPrefix(int books, int sheets) {
    return "成功合并" + std::to_string(books) + "个工作簿的" + std::to_string(sheets) +
           "个sheet到一个工作簿。耗时";
}

}  // namespace

// File order, the file filter, lock files, hidden folders, an unopenable file and the texts of
// a run with the options as they stand at program start.
TEST(FileMerge, MergesEveryWorksheetInFileOrderAndListsUnopenableFiles) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeBook(src / "b.xlsx", {{"B1", table("b", 2)}, {"Blank", {}}});
    ASSERT_TRUE(
        ss::saveWorkbook(*buildBook({{"A1", table("a", 1)}}), src / "A.xls", ss::FileFormat::Xls)
            .ok());
    writeBook(src / "REPORT.XLSX", {{"R1", {{"r"}}}, {"R2", {{"r2"}}}});
    writeBytes(src / "sub" / "c.csv", "c,1\r\nd,2\r\n");
    writeBook(src / "~$b.xlsx", {{"Lock", {{"x"}}}});
    writeBook(src / "~$old" / "d.xlsx", {{"Old", {{"x"}}}});
    writeBook(src / ".hidden" / "e.xlsx", {{"Hidden", {{"x"}}}});
    writeBytes(src / "notes.txt", "not a workbook");
    writeBytes(src / "report.xlsb", "not taken");
    writeBytes(src / "broken.xlsx", "PK\x03\x04 damaged");
    fs::create_symlink(src / "b.xlsx", src / "link.xlsx");

    JobOptions o = defaults();
    o.failListPath = (src / "无法合并的文件目录.txt").string();
    TestHost host((dir / "out.xlsx").string());
    ExcelFileMergeJob(src.string(), o, host);

    // Progress texts: every file that passes the filter, files of a folder before its subfolders;
    // a link to a file is merged as a file.
    std::vector<std::string> files;
    for (const auto& t : host.texts)
        if (t.rfind(src.string(), 0) == 0) files.push_back(t.substr(src.string().size() + 1));
    EXPECT_THAT(files, ElementsAre("A.xls", "b.xlsx", "broken.xlsx", "link.xlsx", "REPORT.XLSX",
                                   "sub/c.csv"));
    EXPECT_EQ(host.texts.front(), "excel OK!");
    EXPECT_EQ(host.texts.at(1), "WorkBooks OK!");
    // Only the workbooks merged are counted; the broken file is named after them.
    EXPECT_THAT(host.lastText(),
                MatchesRegex("成功合并5个工作簿的6个sheet到一个工作簿。耗时[0-9]+秒。"
                             "注意：有1个文件无法打开，已列入无法合并的文件目录.txt。"));

    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0].caption, "保存文件");
    EXPECT_EQ(host.questions[0].proposedName, "FileMerge.xlsx");
    EXPECT_EQ(host.questions[0].filter, "EXCEL(*.xlsx)");

    auto out = open(dir / "out.xlsx");
    ASSERT_TRUE(out);
    EXPECT_THAT(sheetNames(*out), ElementsAre("A1", "B1", "B1 (2)", "R1", "R2", "c"));
    EXPECT_EQ(grid(*out, 0), table("a", 1));
    EXPECT_EQ(grid(*out, 1), table("b", 2));
    EXPECT_EQ(grid(*out, 2), table("b", 2));
    EXPECT_EQ(grid(*out, 5), (Grid{{"c", "1"}, {"d", "2"}}));

    EXPECT_THAT(readBytes(o.failListPath), StartsWith((src / "broken.xlsx").string() + " "));
    EXPECT_THAT(host.shownFiles, ElementsAre(o.failListPath));
    EXPECT_EQ(host.progressCalls.back(), std::make_pair(6, 6));
}

// A file that cannot be opened is listed with the reason split-sheets gives for it, by both
// folder merges; their closing texts count only the workbooks merged and say how many could
// not be opened.
TEST(FileMerge, UnopenableFilesAreListedWithTheReaderReason) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeBook(src / "a.xlsx", {{"A", table("a", 1)}});
    const std::vector<fs::path> bad = {src / "encrypted.xlsx",  // an open password, and none given
                                       src / "damaged.xlsx", src / "empty.xlsx", src / "text.xls"};
    fs::copy_file(fs::path(TW_CORPUS_DIR) / "broken" / "agile_AES256_SHA512_CBC_pwd_password.xlsx",
                  bad[0]);
    writeBytes(bad[1], "PK\x03\x04 damaged");
    writeBytes(bad[2], "");
    // Binary bytes of no kind: text under an .xls name would be read as delimited text.
    writeBytes(bad[3], std::string("\x7F"
                                   "ELF\x02\x01\x00 not a workbook at all",
                                   26));

    // What split-sheets says of each: "无法打开文件 path：reason".
    std::vector<std::string> reasons;
    for (const fs::path& f : bad) {
        TestHost split;
        ExcelFileSplitJob(f.string(), JobOptions{}, split);
        const std::string head = "无法打开文件 " + f.string() + "：";
        auto said = std::find_if(split.texts.begin(), split.texts.end(),
                                 [&](const std::string& t) { return t.rfind(head, 0) == 0; });
        ASSERT_NE(said, split.texts.end()) << f;
        reasons.push_back(said->substr(head.size()));
    }
    EXPECT_THAT(reasons[0], HasSubstr("已加密"));
    EXPECT_THAT(reasons[2], HasSubstr("文件是空的"));

    for (bool oneSheet : {false, true}) {
        SCOPED_TRACE(oneSheet ? "merge-one-sheet" : "merge-files");
        TestHost host((dir / (oneSheet ? "one.xlsx" : "files.xlsx")).string());
        if (oneSheet)
            FilesToOneSheetJob(src.string(), defaults(), host);
        else
            ExcelFileMergeJob(src.string(), defaults(), host);
        std::string expected;  // in scan order: damaged, empty, encrypted, text
        for (size_t i : {1, 2, 0, 3}) expected += bad[i].string() + " " + reasons[i] + "\r\n";
        EXPECT_EQ(readBytes(src / "无法合并的文件目录.txt"), expected);
        EXPECT_THAT(host.lastText(),
                    MatchesRegex("成功合并1个工作簿的1个sheet到一个工作簿。耗时[0-9]+秒。"
                                 "注意：有4个文件无法打开，已列入无法合并的文件目录.txt。"));
        ASSERT_EQ(host.savedPaths.size(), 1u);
    }
}

// The sheet selection options, each on the same two workbooks.
TEST(FileMerge, SheetSelectionOptions) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeBook(src / "2024.sales.xlsx", {{"Data", {{"1"}}}, {"Data ", {{"2"}}}});
    writeBook(src / "z.xlsx", {{"Other", {{"3"}}}, {"DATA", {{"4"}}}, {"Empty", {}}});

    struct Case {
        const char* what;
        void (*set)(JobOptions&);
        int sheets;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"defaults", [](JobOptions&) {}, 4, {"Data", "Data ", "Other", "DATA (2)"}},
        {"empty sheets kept",
         [](JobOptions& o) { o.skipEmptySheets = false; },
         5,
         {"Data", "Data ", "Other", "DATA (2)", "Empty"}},
        {"first sheet only", [](JobOptions& o) { o.onlyFirstSheet = true; }, 2, {"Data", "Other"}},
        {"appointed name, exact",
         [](JobOptions& o) { o.onlyNamedSheet = true, o.namedSheet = "Data"; },
         1,
         {"Data"}},
        {"appointed empty name", [](JobOptions& o) { o.onlyNamedSheet = true; }, 0, {}},
        {"file name as sheet name",
         [](JobOptions& o) { o.onlyFirstSheet = true, o.fileNameAsSheetName = true; },
         2,
         {"2024", "z"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobOptions o = defaults();
        c.set(o);
        const fs::path out = dir / (std::string(c.what) + ".xlsx");
        TestHost host(out.string());
        ExcelFileMergeJob(src.string(), o, host);
        ASSERT_GE(host.texts.size(), 2u);
        if (c.names.empty()) {  // nothing merged: nothing saved, and the user told why
            EXPECT_EQ(host.lastText(),
                      "没有可合并的内容：工作簿中没有可合并的sheet，未保存任何文件。");
            EXPECT_TRUE(host.questions.empty());
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        EXPECT_THAT(host.lastText(), StartsWith(closingPrefix(2, c.sheets)));
        auto book = open(out);
        ASSERT_TRUE(book);
        EXPECT_EQ(sheetNames(*book), c.names);
    }
}

// Same-name appending: header rows once, a sheet whose data starts in column C, and the removal
// of rows whose key cell is empty, both in a new sheet and when appending.
TEST(FileMerge, SameNameSheetsAreAppended) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeBook(src / "1.xlsx",
              {{"Sheet1", table("a", 5)}, {"Keys", {{"k", "1"}, {"gone", ""}, {"m", "2"}}}});
    writeBook(src / "2.xlsx",
              {{"Sheet1", table("b", 5)}, {"Keys", {{"h", "3"}, {"n", ""}, {"p", "4"}}}});
    writeBook(src / "3.xlsx", {{"Sheet1", table("c", 1), 1, 3}});

    JobOptions o = defaults();
    o.mergeSameNameSheets = true;
    o.headerRowsOnce = true;
    o.headerRowCount = 1;
    TestHost host((dir / "out.xlsx").string());
    ExcelFileMergeJob(src.string(), o, host);

    auto out = open(dir / "out.xlsx");
    ASSERT_TRUE(out);
    ASSERT_THAT(sheetNames(*out), ElementsAre("Sheet1", "Keys"));
    Grid expected = table("a", 5);
    for (int r = 1; r <= 5; ++r) expected.push_back(table("b", 5)[size_t(r)]);
    expected.push_back(table("c", 1)[1]);  // from column C, appended at column A
    EXPECT_EQ(grid(*out, 0), expected);
    EXPECT_THAT(host.lastText(), StartsWith(closingPrefix(3, 5)));

    // Again with the key column 2: blank keys go, the marker text never shows.
    o.deleteEmptyKeyRows = true;
    o.keyColumn = 2;
    o.headerRowsOnce = false;
    TestHost keyed((dir / "keyed.xlsx").string());
    ExcelFileMergeJob(src.string(), o, keyed);
    auto k = open(dir / "keyed.xlsx");
    ASSERT_TRUE(k);
    EXPECT_EQ(grid(*k, 1), (Grid{{"k", "1"}, {"m", "2"}, {"h", "3"}, {"p", "4"}}));
    EXPECT_FALSE(containsText(*k, "AAAAAAA"));
}

// A folder without workbooks saves nothing and says why.
TEST(FileMerge, EmptyFolder) {
    TempDir dir;
    fs::create_directories(dir / "src");
    TestHost host((dir / "out.xlsx").string());
    ExcelFileMergeJob((dir / "src").string(), defaults(), host);
    EXPECT_EQ(host.lastText(), "没有可合并的内容：文件夹中没有表格文件，未保存任何文件。");
    EXPECT_TRUE(host.questions.empty());
    EXPECT_FALSE(fs::exists(dir / "out.xlsx"));
    EXPECT_TRUE(host.shownFiles.empty());
    EXPECT_FALSE(fs::exists(dir / "src" / "无法合并的文件目录.txt"));
}

// A sheet that cannot be appended below what its target sheet holds is not cut: the rest is
// merged, the user is told how many sheets did not fit, and the list names file and sheet.
TEST(FileMerge, AppendBeyondTheLastRowIsReported) {
    TempDir dir;
    const fs::path src = dir / "src";
    {
        auto wb = buildBook({{"Sheet1", {{"top"}}}});
        putText(*wb, *wb->sheets[0], ss::kXlsxMaxRows, 1, "bottom");
        writeBook(src / "1.xlsx", *wb);
    }
    writeBook(src / "2.xlsx", {{"Sheet1", {{"lost?"}}}, {"Other", {{"kept"}}}});

    JobOptions o = defaults();
    o.mergeSameNameSheets = true;
    TestHost host((dir / "out.xlsx").string());
    ExcelFileMergeJob(src.string(), o, host);

    EXPECT_THAT(host.lastText(), StartsWith(closingPrefix(2, 2)));
    EXPECT_THAT(host.lastText(), HasSubstr("秒。注意：有1个sheet超出表格行列上限，未能合并。"));
    auto out = open(dir / "out.xlsx");
    ASSERT_TRUE(out);
    EXPECT_THAT(sheetNames(*out), ElementsAre("Sheet1", "Other"));
    EXPECT_FALSE(containsText(*out, "lost?"));
    const std::string list = readBytes(src / "无法合并的文件目录.txt");
    EXPECT_THAT(list, HasSubstr((src / "2.xlsx").string() + " [Sheet1]"));
    EXPECT_THAT(list, testing::EndsWith("\r\n"));
}

// Stopping between files: nothing is saved, no question is asked.
TEST(FileMerge, CancelBetweenFiles) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeBook(src / "1.xlsx", {{"S", {{"1"}}}});
    writeBook(src / "2.xlsx", {{"S", {{"2"}}}});
    TestHost host((dir / "out.xlsx").string());
    host.cancelAfterProgress = 2;  // the start report and the first file
    ExcelFileMergeJob(src.string(), defaults(), host);
    EXPECT_EQ(host.lastText(), "已取消。");
    EXPECT_TRUE(host.questions.empty());
    EXPECT_FALSE(fs::exists(dir / "out.xlsx"));
    for (const auto& t : host.texts) EXPECT_NE(t, (src / "2.xlsx").string());
}

// One workbook of 3,000 sheets all named "Sheet1": every copy gets the next free number, and a
// stop asked for among its sheets ends the job at the next sheet.
TEST(FileMerge, ThousandsOfSameNamedSheets) {
    TempDir dir;
    const fs::path src = dir / "src";
    std::vector<SheetFixture> sheets;
    for (int i = 1; i <= 3000; ++i)
        sheets.push_back({"S" + std::to_string(i), {{std::to_string(i)}}});
    writeBook(src / "many.xlsx", sheets);
    renameAllSheets(src / "many.xlsx", "Sheet1");  // the writer itself never repeats a name

    TestHost host((dir / "out.xlsx").string());
    ExcelFileMergeJob(src.string(), defaults(), host);
    ASSERT_THAT(host.lastText(), StartsWith(closingPrefix(1, 3000)));
    auto out = open(dir / "out.xlsx");
    ASSERT_TRUE(out);
    const std::vector<std::string> names = sheetNames(*out);
    ASSERT_EQ(names.size(), 3000u);
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(names[i], i == 0 ? "Sheet1" : "Sheet1 (" + std::to_string(i + 1) + ")");
        ASSERT_EQ(grid(*out, i), (Grid{{std::to_string(i + 1)}}));
    }

    TestHost stopping((dir / "stopped.xlsx").string());
    stopping.cancelAfterChecks = 50;
    ExcelFileMergeJob(src.string(), defaults(), stopping);
    EXPECT_EQ(stopping.lastText(), "已取消。");
    EXPECT_TRUE(stopping.questions.empty());
    EXPECT_FALSE(fs::exists(dir / "stopped.xlsx"));
    EXPECT_LE(stopping.cancelChecks, 52);  // the next look after the stop ends the job
}

// A stop asked for at any point, also while a workbook is being read (which ends the read), ends
// the job as stopped: the read cut short is not taken for an unreadable file.
TEST(FileMerge, AStopDuringAReadEndsTheJobAsStopped) {
    TempDir dir;
    const fs::path src = dir / "src";
    for (const char* name : {"a.xlsx", "b.xlsx", "c.xlsx"}) {
        Grid rows;
        for (int r = 1; r <= 3000; ++r) rows.push_back({name, std::to_string(r)});
        writeBook(src / name, {{"S", rows}});
    }
    for (int stopAt = 1; stopAt <= 10; ++stopAt) {
        TestHost host((dir / "out.xlsx").string());
        host.cancelAfterChecks = stopAt;
        ExcelFileMergeJob(src.string(), defaults(), host);
        EXPECT_EQ(host.lastText(), "已取消。") << stopAt;
        EXPECT_TRUE(host.questions.empty()) << stopAt;
        EXPECT_TRUE(host.shownFiles.empty()) << stopAt;
        for (const std::string& t : host.texts) EXPECT_THAT(t, Not(HasSubstr("读取已停止")));
        EXPECT_FALSE(fs::exists(dir / "out.xlsx"));
    }
}

// Chart sheets are merged as sheets of their own; the macro sheet (empty here) as a worksheet,
// named as such; dialog sheets are passed over.
TEST(FileMerge, ChartAndMacroSheetsAreMergedDialogSheetsPassedOver) {
    const fs::path sample = fs::path(TW_CORPUS_DIR) / "xlsx" / "BlankSheetTypes.xlsm";
    if (!fs::exists(sample)) GTEST_SKIP() << "corpus file missing: " << sample;
    TempDir dir;
    fs::create_directories(dir / "src");
    fs::copy_file(sample, dir / "src" / "types.xlsm");
    JobOptions o = defaults();
    o.skipEmptySheets = false;
    TestHost host((dir / "out.xlsx").string());
    ExcelFileMergeJob((dir / "src").string(), o, host);
    ASSERT_GE(host.texts.size(), 2u);
    EXPECT_THAT(host.texts[host.texts.size() - 2], StartsWith(closingPrefix(1, 3)));
    EXPECT_EQ(host.lastText(), "以下内容未带到输出中：宏表（已按普通工作表写入） 1 个（来自 " +
                                   (dir / "src" / "types.xlsm").string() + " [Macro1]）。");
    auto out = open(dir / "out.xlsx");
    ASSERT_TRUE(out);
    EXPECT_THAT(sheetNames(*out), ElementsAre("Sheet1", "Chart1", "Macro1"));
}

// Sheets of a 1904 workbook copied whole into the output (of the 1900 system) show their dates
// as in their source, beside those of a 1900 workbook.
TEST(FileMerge, DatesOfBothDateSystemsShowAsInTheirSources) {
    TempDir dir;
    writeBook(dir / "src" / "1.xlsx", *datedBook(false));
    writeBook(dir / "src" / "2.xlsx", *datedBook(true));
    TestHost host((dir / "out.xlsx").string());
    ExcelFileMergeJob((dir / "src").string(), defaults(), host);
    auto book = open(dir / "out.xlsx");
    ASSERT_TRUE(book);
    EXPECT_FALSE(book->date1904);
    ASSERT_EQ(book->sheets.size(), 2u);
    for (const auto& sheet : book->sheets) {
        SCOPED_TRACE(sheet->name);
        EXPECT_EQ(grid(*book, *sheet), (Grid{{"日期", "次日"}, {"2024-01-01", "2024-01-02"}}));
        ASSERT_NE(sheet->formula(2, 2), nullptr);
        EXPECT_EQ(sheet->formula(2, 2)->text, "A2+1");
    }
    EXPECT_THAT(host.lastText(), StartsWith(closingPrefix(2, 2)));
    EXPECT_THAT(host.lastText(), HasSubstr(" 2个日期值已从1904日期系统换算。"));
}

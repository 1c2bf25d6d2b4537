// Saving every worksheet of a workbook as a workbook of its own.
#include <gtest/gtest.h>

#include <ctime>

#include "jobs/jobs.h"
#include "sheet_routines.h"
#include "split_fixtures.h"
#include "test_host.h"

using namespace splitfix;

namespace {

// The output folders the job may make for `base` when it runs within the next seconds.
std::vector<fs::path> candidateFolders(const fs::path& dir, const std::string& base, int seconds) {
    std::vector<fs::path> out;
    std::time_t now = std::time(nullptr);
    for (int s = 0; s < seconds; ++s) {
        std::time_t t = now + s;
        std::tm local{};
        localtime_r(&t, &local);
        out.push_back(dir / (base + "拆分_" + automation::timeTag(local)));
    }
    return out;
}

fs::path onlySubfolder(const fs::path& dir) {
    fs::path found;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_directory()) {
            EXPECT_TRUE(found.empty()) << "more than one output folder";
            found = e.path();
        }
    return found;
}

}  // namespace

TEST(SplitBySheet, NonEmptySheetsBecomeWorkbooksInAFolderBesideTheSource) {
    TempDir dir;
    const std::string source = dir / "q1.sales.xlsx";
    saveBook(source, {{"Jan", {{"客户", "金额"}, {"甲", "10"}}},
                      {"Feb", {{"x"}}, 2, 2},  // a single value in B2 is not empty
                      {"Mar", {}}});
    JobOptions options;
    TestHost host;
    ExcelFileSplitJob(source, options, host);

    fs::path folder = onlySubfolder(dir.path());
    ASSERT_FALSE(folder.empty());
    std::string folderName = folder.filename().string();
    EXPECT_EQ(folderName.rfind("q1拆分_", 0), 0u) << folderName;
    EXPECT_EQ(folderName.size(), std::string("q1拆分_").size() + 6);
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"Feb.xlsx", "Jan.xlsx"}));
    EXPECT_EQ(readFirstSheet((folder / "Jan.xlsx").string()),
              (Grid{{"客户", "金额"}, {"甲", "10"}}));
    EXPECT_EQ(readFirstSheet((folder / "Feb.xlsx").string()), (Grid{{"", ""}, {"", "x"}}));

    ASSERT_GE(host.texts.size(), 3u);
    EXPECT_EQ(host.texts[0], "excel OK!");
    EXPECT_EQ(host.texts[1], "WorkBooks OK!");
    EXPECT_TRUE(host.sawText("Mar"));
    EXPECT_EQ(host.lastText(), "成功拆分2个sheet 到 " + folder.string());
}

TEST(SplitBySheet, XlsOutputsAndASheetTooBigForXlsIsReported) {
    TempDir dir;
    const std::string source = dir / "book.xlsx";
    saveBook(source, {{"Jan", {{"客户", "金额"}, {"甲", "10"}}},
                      {"Big", {{"far down"}}, 70000, 1},  // beyond the 65,536 rows of .xls
                      {"Feb", {{"x"}}}});
    JobOptions options;
    options.splitAsXlsx = false;
    TestHost host;
    ExcelFileSplitJob(source, options, host);

    fs::path folder = onlySubfolder(dir.path());
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"Feb.xls", "Jan.xls"}));
    auto jan = open((folder / "Jan.xls").string());
    ASSERT_TRUE(jan);
    EXPECT_EQ(jan->sheets[0]->name, "Jan");
    EXPECT_EQ(read(*jan, *jan->sheets[0]), (Grid{{"客户", "金额"}, {"甲", "10"}}));
    EXPECT_EQ(host.lastText(),
              "成功拆分2个sheet 到 " + folder.string() + " 未能保存1个文件：Big.xls");
}

// Large outputs are written two at a time while the next sheet is copied: each file still gets
// its own sheet, and a failure in their midst is listed where it stands.
TEST(SplitBySheet, LargeOutputsWrittenSideBySideKeepTheirContentsAndOrder) {
    TempDir dir;
    const std::string source = dir / "book.xlsx";
    auto grid = [](const std::string& tag) {
        Grid g(2000, std::vector<std::string>(6));
        for (size_t r = 0; r < g.size(); ++r)
            for (size_t c = 0; c < 6; ++c) g[r][c] = tag + std::to_string(r * 6 + c);
        return g;
    };
    std::vector<SheetSpec> sheets{
        {"A", grid("a")}, {"B", grid("b")}, {"C", grid("c")}, {"D", grid("d")}, {"E", grid("e")}};
    sheets[2].row = 64000;  // C does not fit an .xls sheet
    saveBook(source, sheets);
    JobOptions options;
    options.splitAsXlsx = false;
    TestHost host;
    ExcelFileSplitJob(source, options, host);

    fs::path folder = onlySubfolder(dir.path());
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"A.xls", "B.xls", "D.xls", "E.xls"}));
    for (const char* name : {"A", "B", "D", "E"}) {
        auto book = open((folder / (std::string(name) + ".xls")).string());
        ASSERT_TRUE(book) << name;
        EXPECT_EQ(book->sheets[0]->name, name);
        EXPECT_EQ(read(*book, *book->sheets[0]), grid(std::string(1, char(name[0] + 32))));
    }
    EXPECT_EQ(host.lastText(),
              "成功拆分4个sheet 到 " + folder.string() + " 未能保存1个文件：C.xls");
}

TEST(SplitBySheet, RejectedSourceFailsWithoutMakingAFolder) {
    struct Case {
        const char* file;
    } cases[] = {{"data.csv"}, {"Book.xlsx.bak"}, {"~$book.xlsx"}};
    for (const auto& c : cases) {
        TempDir dir;
        const std::string source = dir / c.file;
        saveBook(dir / "real.xlsx", {{"S", {{"1"}}}});
        fs::copy_file(dir / "real.xlsx", source);
        TestHost host;
        ExcelFileSplitJob(source, JobOptions{}, host);
        EXPECT_TRUE(onlySubfolder(dir.path()).empty()) << c.file;
        EXPECT_EQ(host.lastText(), "文件格式不正确,或文件不存在!") << c.file;
    }
}

// The extension is a workbook's in any letter case, as for the merges.
TEST(SplitBySheet, AnUpperCaseExtensionIsAWorkbook) {
    for (const char* file : {"Book.XLSX", "Book.Xlsx", "Book.XLS", "Book.XLSM"}) {
        TempDir dir;
        const std::string source = dir / file;
        const bool xls = std::string(file).find("XLS") + 3 == std::string(file).size();
        saveBook(dir / (xls ? "real.xls" : "real.xlsx"), {{"S", {{"1"}}}});
        fs::copy_file(dir / (xls ? "real.xls" : "real.xlsx"), source);
        TestHost host;
        ExcelFileSplitJob(source, JobOptions{}, host);
        const fs::path folder = onlySubfolder(dir.path());
        ASSERT_FALSE(folder.empty()) << file << ": " << host.lastText();
        EXPECT_EQ(filesIn(folder), std::vector<std::string>{"S.xlsx"}) << file;
    }
}

// "a|b" and "ab" clean to the same file name; a folder already standing under the output
// folder's name is left alone and the outputs go to a new one.
TEST(SplitBySheet, ClashingNamesAndATakenFolderName) {
    TempDir dir;
    const std::string source = dir / "book.xlsx";
    saveBook(source, {{"Jan", {{"1"}}}, {"a|b", {{"2"}}}, {"ab", {{"3"}}}});
    // One list for both loops: a second computed later may start a second later.
    const std::vector<fs::path> candidates = candidateFolders(dir.path(), "book", 30);
    for (const auto& folder : candidates) fs::create_directories(folder / "Jan.xlsx");
    TestHost host;
    ExcelFileSplitJob(source, JobOptions{}, host);

    fs::path folder;
    for (const auto& f : candidates) {
        EXPECT_TRUE(fs::is_directory(f / "Jan.xlsx"));
        EXPECT_FALSE(fs::exists(f / "ab.xlsx"));
        if (fs::exists(f.string() + " (2)")) folder = f.string() + " (2)";
    }
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(readFirstSheet((folder / "Jan.xlsx").string()), (Grid{{"1"}}));
    EXPECT_EQ(readFirstSheet((folder / "ab.xlsx").string()), (Grid{{"2"}}));
    EXPECT_EQ(readFirstSheet((folder / "ab (2).xlsx").string()), (Grid{{"3"}}));
    EXPECT_EQ(host.lastText(), "成功拆分3个sheet 到 " + folder.string());
}

TEST(SplitBySheet, CancelKeepsFinishedWorkbooksAndStops) {
    TempDir dir;
    const std::string source = dir / "book.xlsx";
    saveBook(source, {{"A", {{"1"}}}, {"B", {{"2"}}}, {"C", {{"3"}}}});
    TestHost host;
    host.cancelAfterProgress = 1;
    ExcelFileSplitJob(source, JobOptions{}, host);
    fs::path folder = onlySubfolder(dir.path());
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"A.xlsx"}));
    EXPECT_EQ(host.lastText(), "已取消。");
}

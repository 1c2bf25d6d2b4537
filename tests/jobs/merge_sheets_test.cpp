// The merge of the worksheets of one workbook into one sheet ("汇总").
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "jobs/jobs.h"
#include "merge_fixtures.h"
#include "test_host.h"

using namespace fixtures;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

namespace {

// The options as the window starts: vertical, organise first, nothing else.
JobOptions defaults() {
    JobOptions o;
    o.sheetMergeVertical = true;
    o.sheetMergeOrganise = true;
    return o;
}

Grid block(const std::string& tag, int rows, int cols) {
    Grid g;
    for (int r = 1; r <= rows; ++r) {
        std::vector<std::string> row;
        for (int c = 1; c <= cols; ++c)
            row.push_back(tag + std::to_string(r) + "." + std::to_string(c));
        g.push_back(row);
    }
    return g;
}

Grid rowsOf(const Grid& g, size_t from) {
    return Grid(g.begin() + long(from), g.end());
}

Grid concat(std::initializer_list<Grid> parts) {
    Grid out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Files beside the source that look like its temporary copy (source name + six digits).
std::vector<std::string> temporaryCopies(const fs::path& source) {
    std::vector<std::string> found;
    const std::regex copy(std::regex_replace(source.filename().string(), std::regex("\\."), "\\.") +
                          "[0-9]{6}");
    for (const auto& e : fs::directory_iterator(source.parent_path()))
        if (std::regex_match(e.path().filename().string(), copy))
            found.push_back(e.path().filename().string());
    return found;
}

}  // namespace

// Vertical and horizontal placement, header rows once (also when worksheet 1 is empty and
// skipped) and the removal of rows with a blank key cell.
TEST(SheetMerge, PlacementAndOptions) {
    TempDir dir;
    const fs::path book = dir / "book.xlsx";
    writeBook(book, {{"A", block("a", 10, 3)}, {"B", block("b", 5, 2)}, {"C", {}}});
    const fs::path emptyFirst = dir / "empty_first.xlsx";
    writeBook(emptyFirst, {{"E", {}}, {"A", table("a", 2)}, {"B", table("b", 1)}});
    const fs::path keys = dir / "keys.xlsx";
    writeBook(keys, {{"A", {{"k", "1"}, {"x", ""}, {"m", "2"}}}, {"B", {{"n", ""}, {"p", "3"}}}});

    Grid beside = block("a", 10, 3);
    const Grid b = block("b", 5, 2);
    for (size_t r = 0; r < 5; ++r) beside[r].insert(beside[r].end(), b[r].begin(), b[r].end());
    for (size_t r = 5; r < 10; ++r) beside[r].insert(beside[r].end(), {"", ""});

    struct Case {
        const char* what;
        fs::path source;
        void (*set)(JobOptions&);
        int merged;
        Grid expected;
    };
    const Case cases[] = {
        {"vertical", book, [](JobOptions&) {}, 2, concat({block("a", 10, 3), block("b", 5, 2)})},
        {"horizontal", book, [](JobOptions& o) { o.sheetMergeVertical = false; }, 2, beside},
        {"header once", book,
         [](JobOptions& o) { o.sheetMergeHeaderRowsOnce = true, o.sheetMergeHeaderRowCount = 1; },
         2, concat({block("a", 10, 3), rowsOf(block("b", 5, 2), 1)})},
        {"header once, worksheet 1 empty", emptyFirst,
         [](JobOptions& o) { o.sheetMergeHeaderRowsOnce = true, o.sheetMergeHeaderRowCount = 1; },
         2, concat({rowsOf(table("a", 2), 1), rowsOf(table("b", 1), 1)})},
        {"empty key rows, no organise", keys,
         [](JobOptions& o) {
             o.sheetMergeOrganise = false;
             o.sheetMergeDeleteEmptyKeyRows = true, o.sheetMergeKeyColumn = 2;
         },
         2, Grid{{"k", "1"}, {"m", "2"}, {"p", "3"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobOptions o = defaults();
        c.set(o);
        const fs::path out = dir / (std::string(c.what) + ".out.xlsx");
        TestHost host(out.string());
        ExcelSheetMergeJob(c.source.string(), o, host);
        EXPECT_THAT(host.lastText(),
                    MatchesRegex("成功汇总" + std::to_string(c.merged) + "个sheet,耗时[0-9]+秒。"));
        auto merged = open(out);
        ASSERT_TRUE(merged);
        ASSERT_EQ(merged->sheets.size(), 1u);
        EXPECT_EQ(grid(*merged), padded(c.expected));
        EXPECT_FALSE(containsText(*merged, "AAAAAAA"));
    }
}

// The texts of a run, the temporary copy (there while the job waits for the save answer, gone
// afterwards) and the user's workbook, which is never written.
TEST(SheetMerge, OrganiseStepUsesATemporaryCopy) {
    TempDir dir;
    const fs::path book = dir / "book.xlsx";
    writeBook(book, {{"A", block("a", 2, 2)}, {"B", block("b", 1, 2)}});
    const std::string before = readBytes(book);

    TestHost host((dir / "out.xlsx").string());
    std::vector<std::string> copiesDuringSave;
    host.onSaveQuestion = [&] { copiesDuringSave = temporaryCopies(book); };
    ExcelSheetMergeJob(book.string(), defaults(), host);

    EXPECT_THAT(std::vector<std::string>(host.texts.begin(), host.texts.begin() + 7),
                ElementsAre("excel OK!", "WorkBooks OK!", "AddWorkBook OK!", "ActiveWorkBook OK!",
                            "正在整理数据...", "A", "B"));
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0].proposedName, "SheetsMerge.xlsx");
    EXPECT_EQ(host.questions[0].filter, "EXCEL(*.xlsx)");
    EXPECT_EQ(copiesDuringSave.size(), 1u);
    EXPECT_THAT(temporaryCopies(book), IsEmpty());
    EXPECT_EQ(readBytes(book), before);
}

// A source that gives nothing to merge ends in order, saves nothing and says why: a file that is
// not a workbook behind its extension, or one without a workbook's extension. An extension in
// capitals is a workbook's.
TEST(SheetMerge, UnmergeableSourceSavesNothing) {
    TempDir dir;
    writeBook(dir / "BOOK.XLSX", {{"A", {{"1"}}}});
    writeBook(dir / "book.xlsx.bak", {{"A", {{"1"}}}});
    writeBytes(dir / "fake.xlsx", "plain text, not a workbook");
    {
        TestHost host((dir / "capitals.xlsx").string());
        ExcelSheetMergeJob((dir / "BOOK.XLSX").string(), defaults(), host);
        EXPECT_EQ(host.savedPaths, std::vector<std::string>{(dir / "capitals.xlsx").string()})
            << host.lastText();
    }
    for (const char* name : {"book.xlsx.bak", "fake.xlsx"}) {
        SCOPED_TRACE(name);
        const fs::path out = dir / (std::string(name) + ".out.xlsx");
        TestHost host(out.string());
        ExcelSheetMergeJob((dir / name).string(), defaults(), host);
        EXPECT_EQ(host.lastText(), "没有可汇总的内容：没有可读取的非空sheet，未保存任何文件。");
        EXPECT_TRUE(host.questions.empty());
        EXPECT_FALSE(fs::exists(out));
        EXPECT_THAT(temporaryCopies(dir / name), IsEmpty());
    }
}

// A cancelled run saves nothing and leaves no temporary copy behind.
TEST(SheetMerge, CancelRemovesTheTemporaryCopy) {
    TempDir dir;
    const fs::path book = dir / "book.xlsx";
    writeBook(book, {{"A", {{"1"}}}, {"B", {{"2"}}}});
    TestHost host((dir / "out.xlsx").string());
    host.cancelAfterProgress = 2;
    ExcelSheetMergeJob(book.string(), defaults(), host);
    EXPECT_EQ(host.lastText(), "已取消。");
    EXPECT_TRUE(host.questions.empty());
    EXPECT_FALSE(fs::exists(dir / "out.xlsx"));
    EXPECT_THAT(temporaryCopies(book), IsEmpty());
}

// A worksheet that would run past the last row is not cut: the others are merged and the user is
// told how many did not fit.
TEST(SheetMerge, BlockBeyondTheLastRowIsReported) {
    TempDir dir;
    const fs::path book = dir / "book.xlsx";
    {
        auto wb = buildBook({{"A", {{"top"}}}, {"B", {{"x"}, {"y"}}}, {"C", {{"fits"}}}});
        putText(*wb, *wb->sheets[0], ss::kXlsxMaxRows - 1, 1, "near the end");
        writeBook(book, *wb);
    }
    JobOptions o = defaults();
    o.sheetMergeOrganise = false;
    TestHost host((dir / "out.xlsx").string());
    ExcelSheetMergeJob(book.string(), o, host);
    EXPECT_THAT(host.lastText(), StartsWith("成功汇总2个sheet,耗时"));
    EXPECT_THAT(host.lastText(), HasSubstr("注意：有1个sheet超出表格行列上限，未能合并。"));
    auto merged = open(dir / "out.xlsx");
    ASSERT_TRUE(merged);
    const ss::Cell* last = merged->sheets[0]->find(ss::kXlsxMaxRows, 1);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(merged->cellText(*last), "fits");
}

// The folder merge into the single sheet "合并Sheet" ("合并成1个Sheet").
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/jobs.h"
#include "merge_fixtures.h"
#include "test_host.h"

using namespace fixtures;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

JobOptions defaults() {
    JobOptions o;
    o.skipEmptySheets = true;
    return o;
}

std::string closingPrefix(int books, int sheets) {
    return "成功合并" + std::to_string(books) + "个工作簿的" + std::to_string(sheets) +
           "个sheet到一个工作簿。耗时";
}

Grid rowsOf(const Grid& g, size_t from) {
    return Grid(g.begin() + long(from), g.end());
}

Grid concat(std::initializer_list<Grid> parts) {
    Grid out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Run {
    std::unique_ptr<ss::Workbook> book;
    TestHost host;
};

std::unique_ptr<Run> mergeFolder(const TempDir& dir, const JobOptions& o,
                                 const std::string& outName = "out.xlsx") {
    auto run = std::make_unique<Run>();
    run->host = TestHost((dir / outName).string());
    FilesToOneSheetJob((dir / "src").string(), o, run->host);
    if (fs::exists(dir / outName)) run->book = open(dir / outName);
    return run;
}

}  // namespace

// Header rows once, and where each block lands: the first at A1 whatever its own position,
// later ones below in column A; same-name sheets get no special treatment.
TEST(FilesToOneSheet, StacksEveryWorksheet) {
    TempDir dir;
    writeBook(dir / "src" / "1.xlsx", {{"Sheet1", table("a", 5), 3, 3}});
    writeBook(dir / "src" / "2.xlsx", {{"Sheet1", table("b", 5)}, {"Empty", {}}});

    struct Case {
        const char* what;
        bool headerOnce;
        Grid expected;
    };
    const Case cases[] = {
        {"headers kept", false, concat({table("a", 5), table("b", 5)})},
        {"header once", true, concat({table("a", 5), rowsOf(table("b", 5), 1)})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobOptions o = defaults();
        o.fileNameAsSheetName = true;  // ignored by this job
        o.mergeSameNameSheets = true;  // likewise; it only enables the two boxes below
        o.headerRowsOnce = c.headerOnce;
        o.headerRowCount = 1;
        auto run = mergeFolder(dir, o, std::string(c.what) + ".xlsx");
        ASSERT_TRUE(run->book);
        EXPECT_THAT(sheetNames(*run->book), ElementsAre("合并Sheet"));
        EXPECT_EQ(grid(*run->book), c.expected);
        EXPECT_THAT(run->host.lastText(), StartsWith(closingPrefix(2, 2)));
    }
}

// A first block of one row must not be overwritten by the next one: the output sheet is empty
// only while nothing has been copied into it, so the next block goes below and loses its header.
TEST(FilesToOneSheet, OneRowFirstBlockIsKept) {
    TempDir dir;
    writeBook(dir / "src" / "1.xlsx", {{"Sheet1", {{"only", "row"}}}});
    writeBook(dir / "src" / "2.xlsx", {{"Sheet1", table("b", 2, 2)}});
    JobOptions o = defaults();
    o.headerRowsOnce = true;
    o.headerRowCount = 1;
    auto run = mergeFolder(dir, o);
    ASSERT_TRUE(run->book);
    EXPECT_EQ(grid(*run->book), concat({{{"only", "row"}}, rowsOf(table("b", 2, 2), 1)}));
}

// Rows whose key cell is blank go from every worksheet, the first included; the marker text
// never reaches the output.
TEST(FilesToOneSheet, EmptyKeyRowsRemovedFromEveryWorksheet) {
    TempDir dir;
    writeBook(dir / "src" / "1.xlsx", {{"S", {{"k", "1"}, {"x", ""}, {"m", "2"}}}});
    writeBook(dir / "src" / "2.xlsx", {{"S", {{"n", ""}, {"p", "3"}}}});
    JobOptions o = defaults();
    o.deleteEmptyKeyRows = true;
    o.keyColumn = 2;
    auto run = mergeFolder(dir, o);
    ASSERT_TRUE(run->book);
    EXPECT_EQ(grid(*run->book), (Grid{{"k", "1"}, {"m", "2"}, {"p", "3"}}));
    EXPECT_FALSE(containsText(*run->book, "AAAAAAA"));
}

// The first block brings its column widths and formats into the empty output sheet.
TEST(FilesToOneSheet, FirstBlockBringsColumnWidthsAndFormats) {
    TempDir dir;
    auto wb = buildBook({{"S", table("a", 2)}});
    ss::Font bold;
    bold.bold = true;
    ss::CellFormat xf;
    xf.fontId = wb->styles.internFont(bold);
    xf.applyFont = true;
    wb->sheets[0]->find(1, 1)->style = wb->styles.internCellFormat(xf);
    ss::ColumnInfo wide;
    wide.first = wide.last = 2;
    wide.width = 31.5;
    wide.customWidth = true;
    wb->sheets[0]->columns.push_back(wide);
    writeBook(dir / "src" / "1.xlsx", *wb);

    auto run = mergeFolder(dir, defaults());
    ASSERT_TRUE(run->book);
    const ss::Worksheet& out = *run->book->sheets[0];
    ASSERT_NE(out.columnInfo(2), nullptr);
    EXPECT_DOUBLE_EQ(out.columnInfo(2)->width, 31.5);
    const ss::Cell* a1 = out.find(1, 1);
    ASSERT_NE(a1, nullptr);
    const auto& styles = run->book->styles;
    EXPECT_TRUE(styles.fonts.at(styles.cellXfs.at(a1->style).fontId).bold);
}

// No workbook in the folder: nothing saved, and the user told why.
TEST(FilesToOneSheet, EmptyFolder) {
    TempDir dir;
    fs::create_directories(dir / "src");
    auto run = mergeFolder(dir, defaults());
    EXPECT_FALSE(run->book);
    EXPECT_TRUE(run->host.questions.empty());
    EXPECT_EQ(run->host.lastText(), "没有可合并的内容：文件夹中没有表格文件，未保存任何文件。");
}

// A block that would run past the last row is not cut; the others are merged and the user told.
TEST(FilesToOneSheet, BlockBeyondTheLastRowIsReported) {
    TempDir dir;
    {
        auto wb = buildBook({{"S", {{"top"}}}});
        putText(*wb, *wb->sheets[0], ss::kXlsxMaxRows - 1, 1, "near the end");
        writeBook(dir / "src" / "1.xlsx", *wb);
    }
    writeBook(dir / "src" / "2.xlsx", {{"Big", {{"x"}, {"y"}}}, {"Small", {{"fits"}}}});
    auto run = mergeFolder(dir, defaults());
    ASSERT_TRUE(run->book);
    EXPECT_THAT(run->host.lastText(), StartsWith(closingPrefix(2, 2)));
    EXPECT_THAT(run->host.lastText(), HasSubstr("注意：有1个sheet超出表格行列上限，未能合并。"));
    const ss::Cell* last = run->book->sheets[0]->find(ss::kXlsxMaxRows, 1);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(run->book->cellText(*last), "fits");
    EXPECT_FALSE(containsText(*run->book, "y"));
}

// Workbooks of both date systems into one sheet: every date shows as in its source, the stored
// date of a formula too, and the closing text says how many were restated.
TEST(FilesToOneSheet, DatesOfBothDateSystemsShowAsInTheirSources) {
    TempDir dir;
    writeBook(dir / "src" / "1.xlsx", *datedBook(false));
    writeBook(dir / "src" / "2.xlsx", *datedBook(true));
    auto run = mergeFolder(dir, defaults());
    ASSERT_TRUE(run->book);
    EXPECT_FALSE(run->book->date1904);
    const Grid dated = {{"日期", "次日"}, {"2024-01-01", "2024-01-02"}};
    EXPECT_EQ(grid(*run->book), concat({dated, dated}));
    const ss::Formula* f = run->book->sheets[0]->formula(4, 2);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->text, "A4+1");
    EXPECT_THAT(run->host.lastText(), StartsWith(closingPrefix(2, 2)));
    EXPECT_THAT(run->host.lastText(), HasSubstr(" 2个日期值已从1904日期系统换算。"));
}

// Hidden columns and rows and outline groups of each block come along; a column one source hides
// stays hidden whatever the next source does with it.
TEST(FilesToOneSheet, HiddenColumnsRowsAndGroupsComeAlong) {
    TempDir dir;
    {
        auto wb = buildBook({{"S", table("a", 3)}});
        ss::ColumnInfo owner;
        owner.first = owner.last = 2;
        owner.hidden = true;
        wb->sheets[0]->columns.push_back(owner);
        wb->sheets[0]->row(3).hidden = true;
        writeBook(dir / "src" / "1.xlsx", *wb);
    }
    {
        auto wb = buildBook({{"S", table("b", 3)}});
        wb->sheets[0]->row(2).outlineLevel = 1;
        wb->sheets[0]->row(3).outlineLevel = 1;
        wb->sheets[0]->row(3).hidden = true;
        wb->sheets[0]->row(4).collapsed = true;
        writeBook(dir / "src" / "2.xlsx", *wb);
    }
    auto run = mergeFolder(dir, defaults());
    ASSERT_TRUE(run->book);
    const ss::Worksheet& out = *run->book->sheets[0];
    ASSERT_NE(out.columnInfo(2), nullptr);
    EXPECT_TRUE(out.columnInfo(2)->hidden);
    std::vector<std::string> rows;
    for (const ss::Row& r : out.rows())
        if (r.hidden || r.outlineLevel || r.collapsed)
            rows.push_back(std::to_string(r.index) + (r.hidden ? " hidden" : "") +
                           (r.outlineLevel ? " level" + std::to_string(r.outlineLevel) : "") +
                           (r.collapsed ? " collapsed" : ""));
    EXPECT_THAT(rows, ElementsAre("3 hidden", "6 level1", "7 hidden level1", "8 collapsed"));
}

// The save-file question and the list of unmergeable files, shared by the merge jobs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/save_question.h"
#include "jobs/fail_list.h"
#include "jobs/outputs.h"
#include "merge_fixtures.h"
#include "test_host.h"

using namespace fixtures;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// A target workbook of the session with one value at (row, col).
automation::Workbook* targetWith(automation::Application& app, uint32_t row, uint32_t col) {
    automation::Workbook* wb = app.Workbooks()->Add();
    (void)wb->Sheets().Item(1)->Cells(row, col).SetValue("v");
    return wb;
}

}  // namespace

TEST(SaveQuestion, AsksWithTheBaseNameAndSavesInTheDefaultFormat) {
    TempDir dir;
    automation::Application app;
    automation::Workbook* wb = targetWith(app, 2, 2);
    TestHost host((dir / "merged").string());
    auto r = jobs::askAndSave(host, *wb, "SheetsMerge", false);
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0].caption, "保存文件");
    EXPECT_EQ(host.questions[0].proposedName, "SheetsMerge.xlsx");
    EXPECT_EQ(host.questions[0].filter, "EXCEL(*.xlsx)");
    EXPECT_EQ(r.outcome, jobs::SaveOutcome::Saved);
    EXPECT_EQ(r.path, (dir / "merged.xlsx").string());
    EXPECT_EQ(host.savedPaths, std::vector<std::string>{r.path});
    auto saved = open(dir / "merged.xlsx");
    ASSERT_TRUE(saved);
    EXPECT_EQ(grid(*saved), (Grid{{"", ""}, {"", "v"}}));
}

TEST(SaveQuestion, CancelledWritesNothingAndSaysSo) {
    automation::Application app;
    automation::Workbook* wb = targetWith(app, 1, 1);
    TestHost host;  // answers with no path
    auto r = jobs::askAndSave(host, *wb, "FileMerge", true);
    EXPECT_EQ(r.outcome, jobs::SaveOutcome::Cancelled);
    EXPECT_EQ(host.questions.at(0).proposedName, "FileMerge.xls");
    EXPECT_EQ(host.questions.at(0).filter, "EXCEL(*.xls)");
    // The closing text before the question told what was merged: the user learns it was not
    // saved.
    EXPECT_EQ(host.texts, std::vector<std::string>{"未保存。"});
    EXPECT_TRUE(host.savedPaths.empty());
}

TEST(SaveQuestion, XlsOptionSavesA97To2003Workbook) {
    TempDir dir;
    automation::Application app;
    automation::Workbook* wb = targetWith(app, ss::kXlsMaxRows, ss::kXlsMaxCols);
    TestHost host((dir / "out").string());
    auto r = jobs::askAndSave(host, *wb, "FileMerge", true);
    EXPECT_EQ(r.outcome, jobs::SaveOutcome::Saved);
    EXPECT_EQ(r.path, (dir / "out.xls").string());
    EXPECT_EQ(readBytes(dir / "out.xls").substr(0, 4), "\xD0\xCF\x11\xE0");
    auto saved = open(dir / "out.xls");
    ASSERT_TRUE(saved);
    const ss::Cell* cell = saved->sheets[0]->find(ss::kXlsMaxRows, ss::kXlsMaxCols);
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(saved->cellText(*cell), "v");
}

// A failed save is reported, not passed over as a success.
TEST(SaveQuestion, FailedSaveIsShown) {
    TempDir dir;
    automation::Application app;
    automation::Workbook* wb = targetWith(app, 1, 1);
    TestHost host((dir / "no such folder" / "out.xlsx").string());
    auto r = jobs::askAndSave(host, *wb, "FileMerge", false);
    EXPECT_EQ(r.outcome, jobs::SaveOutcome::Failed);
    EXPECT_THAT(host.lastText(), StartsWith("保存失败："));
    EXPECT_TRUE(host.savedPaths.empty());
    EXPECT_FALSE(fs::exists(dir / "no such folder"));
}

// Data beyond what a 97-2003 workbook holds is never cut: the workbook goes to an .xlsx beside
// the chosen name (not over an existing file) and the user is told where.
TEST(SaveQuestion, XlsBeyondItsLimitsIsSavedAsXlsx) {
    const struct {
        const char* what;
        uint32_t row, col;
    } cases[] = {{"row 65,537", ss::kXlsMaxRows + 1, 1}, {"column 257", 1, ss::kXlsMaxCols + 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeBytes(dir / "out.xlsx", "the user's own file");
        automation::Application app;
        automation::Workbook* wb = targetWith(app, c.row, c.col);
        TestHost host((dir / "out.xls").string());
        auto r = jobs::askAndSave(host, *wb, "FileMerge", true);
        EXPECT_EQ(r.outcome, jobs::SaveOutcome::SavedAsXlsx);
        const fs::path expected = dir / "out (2).xlsx";
        EXPECT_EQ(r.path, expected.string());
        EXPECT_EQ(host.savedPaths, std::vector<std::string>{expected.string()});
        EXPECT_EQ(host.lastText(),
                  "数据超出xls格式上限(65536行/256列)，已另存为：" + expected.string());
        EXPECT_FALSE(fs::exists(dir / "out.xls"));
        EXPECT_EQ(readBytes(dir / "out.xlsx"), "the user's own file");
        auto saved = open(expected);
        ASSERT_TRUE(saved);
        const ss::Cell* cell = saved->sheets[0]->find(c.row, c.col);
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(saved->cellText(*cell), "v");
    }
    EXPECT_FALSE(
        jobs::exceedsXlsLimits(*buildBook({{"S", {{"1"}}, ss::kXlsMaxRows, ss::kXlsMaxCols}})));
}

// The list of unmergeable files: "\r\n" line ends; a folder where it cannot be written does not
// fail the job, nothing is shown then, but its lines are in a text.
TEST(FailList, WrittenWithCrLfAndNeverFailsTheJob) {
    TempDir dir;
    TestHost host;
    const fs::path list = jobs::failListPath(dir.path().string() + "/", "");
    EXPECT_EQ(list, dir / "无法合并的文件目录.txt");
    jobs::FailList written(host, list);
    written.write("/a/坏.xlsx\n/b.xls\n");
    written.show();
    EXPECT_EQ(readBytes(list), "/a/坏.xlsx\r\n/b.xls\r\n");
    EXPECT_THAT(host.shownFiles, ElementsAre(list.string()));

    TestHost other;
    jobs::FailList missing(other, dir / "missing" / "list.txt");
    missing.write("/a.xlsx\n/b.xlsx\n");
    missing.show();
    EXPECT_TRUE(other.shownFiles.empty());
    ASSERT_EQ(other.texts.size(), 1u);
    EXPECT_THAT(other.texts[0], HasSubstr("/a.xlsx；/b.xlsx"));
    jobs::FailList empty(other, dir / "empty.txt");
    empty.write("");
    EXPECT_FALSE(fs::exists(dir / "empty.txt"));
}

// A free name is taken as it is chosen: a second choice at the same moment gets the next one;
// the save replaces the reserved file, and releasing it removes only the empty file made for it.
TEST(OutputNames, AFreeNameIsReservedWhenChosen) {
    TempDir dir;
    writeBytes(dir / "out.xlsx", "someone's");
    fs::create_symlink(dir / "gone", dir / "out (2).xlsx");  // a dangling link takes a name too
    const jobs::ReservedName first = jobs::reserveFreeNameBeside(dir / "out.xlsx");
    const jobs::ReservedName second = jobs::reserveFreeNameBeside(dir / "out.xlsx");
    const jobs::ReservedName fresh = jobs::reserveFreeNameBeside(dir / "new.xlsx");
    const jobs::ReservedName numbered = jobs::reserveFreeNameBeside(dir / "new.xlsx", true);
    EXPECT_EQ(first.path, dir / "out (3).xlsx");
    EXPECT_EQ(second.path, dir / "out (4).xlsx");
    EXPECT_EQ(fresh.path, dir / "new.xlsx");
    EXPECT_EQ(numbered.path, dir / "new (2).xlsx");
    for (const auto* r : {&first, &second, &fresh, &numbered}) {
        EXPECT_TRUE(r->held) << r->path;
        EXPECT_TRUE(fs::is_regular_file(r->path)) << r->path;
    }

    // Saved over (a new file renamed onto the name): kept. Not saved: removed.
    automation::Application app;
    ASSERT_TRUE(targetWith(app, 1, 1)->SaveAs(first.path).ok());
    jobs::releaseReservedName(first);
    jobs::releaseReservedName(second);
    EXPECT_TRUE(open(first.path));
    EXPECT_FALSE(fs::exists(second.path));
    EXPECT_EQ(readBytes(dir / "out.xlsx"), "someone's");

    // Nothing can be made there: nothing held, nothing to release.
    const jobs::ReservedName none = jobs::reserveFreeNameBeside(dir / "missing" / "x.xlsx");
    EXPECT_FALSE(none.held);
    EXPECT_EQ(none.path, dir / "missing" / "x.xlsx");
}

// The start checks the window and the command line share: the existence tests with their
// wildcards and trailing "/", and what each check refuses.
#include "start_checks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

class StartChecks : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("tw_start_checks_" +
                 std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "folder");
        fs::create_directories(root_ / "book.xlsx.d");
        for (const char* name : {"book.xlsx", "old.xls", "macro.xlsm", "data.csv", "BIG.XLSX",
                                 "~$book.xlsx", "notes.txt"})
            std::ofstream(root_ / name) << "x";
    }
    void TearDown() override { fs::remove_all(root_); }
    std::string at(const std::string& name) const { return root_.string() + name; }

    fs::path root_;
};

}  // namespace

TEST_F(StartChecks, ExistenceTests) {
    const struct {
        std::string path;
        bool exists;
        bool directory;
    } cases[] = {
        {at("/book.xlsx"), true, false},
        {at("/folder"), true, true},
        {at("/folder/"), true, true},
        {at("/folder\\"), false, false},
        {at("/missing"), false, false},
        {at("/*.xlsx"), true, false},
        {at("/b??k.xls?"), true, false},
        {at("/*.ods"), false, false},
        {at("/fold*/x"), false, false},
        {"", false, false},
        {"/", true, false},  // one "/" removed leaves nothing to search
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tw::pathExists(c.path), c.exists) << c.path;
        EXPECT_EQ(tw::directoryExists(c.path), c.directory) << c.path;
    }
}

// "汇总" refuses at the start what its job would only report as 0 merged sheets.
TEST_F(StartChecks, SheetMergeTakesOnlyWorkbooksTheJobMerges) {
    const struct {
        const char* name;
        const char* message;  // null: the job may start
    } cases[] = {
        {"/book.xlsx", nullptr},
        {"/old.xls", nullptr},
        {"/macro.xlsm", nullptr},
        {"/missing.xlsx", tw::kFileMissing},
        {"/data.csv", tw::kSheetMergeNotWorkbook},
        {"/notes.txt", tw::kSheetMergeNotWorkbook},
        {"/BIG.XLSX", nullptr},  // the extension in any letter case
        {"/folder", tw::kSheetMergeFolder},
        {"/book.xlsx.d", tw::kSheetMergeFolder},
        {"/~$book.xlsx", tw::kSheetMergeLockFile},
    };
    for (const auto& c : cases) {
        const auto message = tw::checkSheetMerge(at(c.name));
        if (c.message) {
            EXPECT_EQ(message, std::optional<std::string>(c.message)) << c.name;
        } else {
            EXPECT_EQ(message, std::nullopt) << c.name;
        }
    }
    // Split by sheet still takes any existing entry; the job judges it.
    EXPECT_EQ(tw::checkWorkbookExists(at("/data.csv")), std::nullopt);
    EXPECT_EQ(tw::checkWorkbookExists(at("/none")), std::optional<std::string>(tw::kFileMissing));
}

TEST_F(StartChecks, ColumnSplitStagesInOrder) {
    JobOptions options;
    options.splitSourceFile = at("/book.xlsx");
    options.splitSaveDir = at("/folder") + "/";
    EXPECT_EQ(tw::checkClassifySplit(0, "a", "", options),
              std::optional<std::string>(tw::kBadColumn));
    EXPECT_EQ(tw::checkClassifySplit(16385, "a", "", options),
              std::optional<std::string>(tw::kBadColumn));
    // A failed list check leaves the lists as cut.
    EXPECT_EQ(tw::checkClassifySplit(2, "a||b", "x|y", options),
              std::optional<std::string>(tw::kListMismatch));
    EXPECT_EQ(options.classifyValues, (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(tw::checkClassifySplit(16384, "北京|a", "", options), std::nullopt);
    EXPECT_EQ(options.classifyColumn, 16384);
    EXPECT_EQ(options.classifyFileNames, (std::vector<std::string>{"北京", "a"}));
    EXPECT_EQ(tw::checkClassifySplit(3, "", "x|y", options), std::nullopt);
    EXPECT_TRUE(options.classifyValues.empty() && options.classifyFileNames.empty());
    options.splitSaveDir = "/";
    EXPECT_EQ(tw::checkClassifySplit(3, "", "", options),
              std::optional<std::string>(tw::kPathsMissing));
}

#include <gtest/gtest.h>

#include "jobs/split_common.h"

using namespace splitjob;

TEST(SplitNames, CleaningAndUniquenessOfOutputNames) {
    EXPECT_EQ(removeForbiddenNameChars("a/b:c"), "abc");
    EXPECT_EQ(removeForbiddenNameChars(R"(<x>|"y"\*?)"), "xy");

    UniqueNames names;
    names.reserve("Data");  // the source file's own name
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"abc", "abc"},   {"ABC", "ABC (2)"},   {"abc", "abc (3)"},         {"", "空白"},
        {"", "空白 (2)"}, {"data", "data (2)"}, {"abc (2)", "abc (2) (2)"},
    };
    for (const auto& c : cases) EXPECT_EQ(names.take(c.in), c.out) << c.in;

    // Thousands of one name, as a workbook of same-named sheets gives them; a number taken
    // beforehand is passed over.
    UniqueNames many;
    many.reserve("s (7)");
    for (int i = 1; i <= 3000; ++i) {
        const int n = i < 7 ? i : i + 1;
        ASSERT_EQ(many.take("S"), n == 1 ? "S" : "S (" + std::to_string(n) + ")");
    }
}

TEST(SplitNames, SheetNamesStayWithinTheRules) {
    EXPECT_EQ(sheetNameWithinRules("[Q1] a/b"), "Q1 ab");
    EXPECT_EQ(sheetNameWithinRules("'x'"), "x");
    EXPECT_EQ(sheetNameWithinRules("'''"), "空白");
    std::string longName(40, 'n');
    EXPECT_EQ(sheetNameWithinRules(longName), std::string(31, 'n'));
    // 31 UTF-16 units: 30 ASCII letters and a character outside the BMP would need 32.
    EXPECT_EQ(sheetNameWithinRules(std::string(30, 'a') + "\xF0\x9F\x98\x80"),
              std::string(30, 'a'));

    UniqueNames sheets(31);
    std::string first = sheets.take(sheetNameWithinRules(longName));
    std::string second = sheets.take(sheetNameWithinRules(longName + "x"));
    EXPECT_EQ(first, std::string(31, 'n'));
    EXPECT_EQ(second, std::string(27, 'n') + " (2)");
    EXPECT_EQ(utf16Length("甲乙\xF0\x9F\x98\x80"), 4u);
}

TEST(SplitValues, AutomaticValuesAreDistinctExactAndNonBlank) {
    std::vector<std::string> keys = {"x", "x ", "", "X", "\xE3\x80\x80", "x", " \t", "y"};
    EXPECT_EQ(distinctNonBlank(keys), (std::vector<std::string>{"x", "x ", "X", "y"}));
    EXPECT_TRUE(isBlankText(""));
    EXPECT_TRUE(isBlankText(" \xC2\xA0\xE3\x80\x80"));
    EXPECT_FALSE(isBlankText(" 0 "));
}

TEST(SplitValues, FilterCriterionTreatsWildcardsLiterally) {
    struct Case {
        const char* value;
        bool full;
        const char* criterion;
    } cases[] = {
        {"张", false, "*张*"}, {"张", true, "张"},  {"a*b", true, "a~*b"},
        {"?", false, "*~?*"},  {"~x", true, "~~x"}, {"", true, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(filterCriterion(c.value, c.full), c.criterion);

    EXPECT_TRUE(keyMatches("小张", "张", false));
    EXPECT_FALSE(keyMatches("小张", "张", true));
    EXPECT_TRUE(keyMatches("anything", "", false));
    EXPECT_FALSE(keyMatches("X", "x", false));
}

TEST(SplitPaths, BaseNamesAndFolders) {
    EXPECT_EQ(baseNameToFirstDot("D:/data/q1.sales.xlsx"), "q1");
    EXPECT_EQ(baseNameToLastDot("D:/data/a.b.xlsx"), "a.b");
    EXPECT_EQ(baseNameToLastDot("noext"), "noext");
    EXPECT_EQ(folderOf("D:/data/sales.xlsx"), "D:/data");
    EXPECT_EQ(folderOf("/sales.xlsx"), "/");
    EXPECT_EQ(folderOf("sales.xlsx"), ".");
}

TEST(SplitStatus, FailedOutputsAreNamed) {
    EXPECT_EQ(withFailures("成功拆分出2个excel文件!", {}), "成功拆分出2个excel文件!");
    EXPECT_EQ(withFailures("R", {"a.xlsx", "b.xlsx"}), "R 未能保存2个文件：a.xlsx、b.xlsx");
    std::vector<std::string> many(7, "f");
    EXPECT_EQ(withFailures("R", many), "R 未能保存7个文件：f、f、f、f、f等");
}

// References through the merges: formulas, dropdowns and hyperlinks that read blocks copied
// after them, defined names (carried, made unique or named as left behind), and hyperlinks into
// other files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/jobs.h"
#include "merge_fixtures.h"
#include "spreadsheet/text/xml_text.h"
#include "test_host.h"

using namespace fixtures;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// Summary reads the ledger below it, directly and through the name Rate; the ledger's dropdown
// reads the list sheet after it; a hyperlink of Summary leads to the ledger, another one to a
// place in another file. Beside them names no formula uses: a list, print areas and a name
// local to each of two sheets under the same spelling.
std::unique_ptr<ss::Workbook> summaryFirst() {
    auto wb = buildBook({{"Summary", {{"合计", "4", "明细"}, {"第二笔", "2", "其他"}, {"税", "6"}}},
                         {"Ledger", {{"类", "额"}, {"x", "1"}, {"y", "2"}, {"x", "3"}}},
                         {"Lists", {{"项"}, {"x"}, {"y"}}}});
    ss::Worksheet& summary = *wb->sheets[0];
    summary.setFormula(1, 2, {"SUMIF(Ledger!A2:A4,\"x\",Ledger!B2:B4)", false, {}});
    summary.setFormula(2, 2, {"Ledger!B3", false, {}});
    summary.setFormula(3, 2, {"Rate*2", false, {}});
    summary.preserved.push_back(
        {"hyperlinks",
         "<hyperlinks><hyperlink ref=\"C1\" location=\"Ledger!A2\"/>"
         "<hyperlink ref=\"C2\" r:id=\"rIdL1\" location=\"Sheet1!A1\"/></hyperlinks>"});
    summary.externalLinks = {"other.xlsx"};
    wb->sheets[1]->preserved.push_back(
        {"dataValidations",
         "<dataValidations count=\"1\"><dataValidation type=\"list\" sqref=\"A2:A4\">"
         "<formula1>Lists!$A$2:$A$3</formula1></dataValidation></dataValidations>"});
    wb->names = {
        {"Rate", "Ledger!$B$4", std::nullopt, false, ""},
        {"Kinds", "Lists!$A$2:$A$3", std::nullopt, false, ""},
        {"_xlnm.Print_Area", "Summary!$A$1:$B$3", 0u, false, ""},
        {"_xlnm.Print_Area", "Ledger!$A$1:$B$4", 1u, false, ""},
        {"Region", "Summary!$A$1:$A$3", 0u, false, ""},
        {"Region", "Ledger!$A$2:$A$4", 1u, false, ""},
    };
    return wb;
}

const ss::DefinedName* nameIn(const ss::Workbook& wb, const std::string& name,
                              std::optional<uint32_t> local = std::nullopt) {
    for (const ss::DefinedName& n : wb.names)
        if (n.name == name && n.localSheet == local) return &n;
    return nullptr;
}

std::string formulaAt(const ss::Worksheet& ws, uint32_t row, uint32_t col) {
    const ss::Formula* f = ws.formula(row, col);
    return f ? f->text : "<value>";
}

std::string keptXml(const ss::Worksheet& ws, const std::string& element) {
    for (const ss::PreservedXml& p : ws.preserved)
        if (p.element == element) return p.xml;
    return {};
}

bool sawTextContaining(const TestHost& host, const std::string& part) {
    for (const std::string& t : host.texts)
        if (t.find(part) != std::string::npos) return true;
    return false;
}

}  // namespace

// Summary's blocks land above the ledger's and the list's: its formulas, the ledger's dropdown
// and the hyperlink to the ledger point to where those blocks landed in the one output sheet,
// also when the ledger and the list lost their header rows before they were copied.
TEST(MergeReferences, BlocksReadWhatIsCopiedAfterThem) {
    TempDir dir;
    writeBook(dir / "src" / "book.xlsx", *summaryFirst());
    struct Case {
        const char* what;
        bool oneSheetJob;
        bool headerOnce;
        uint32_t ledger, lists;  // the output rows of their rows 2
        std::string sheet;
    };
    const Case cases[] = {
        {"merge-one-sheet", true, false, 5, 9, "'合并Sheet'"},
        {"merge-one-sheet, header rows once", true, true, 4, 7, "'合并Sheet'"},
        {"merge-sheets", false, false, 5, 9, "Sheet1"},
        {"merge-sheets, header rows once", false, true, 4, 7, "Sheet1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path out = dir / (std::string(c.what) + ".xlsx");
        TestHost host(out.string());
        JobOptions o;
        if (c.oneSheetJob) {
            o.headerRowsOnce = c.headerOnce;
            o.headerRowCount = 1;
            FilesToOneSheetJob((dir / "src").string(), o, host);
        } else {
            o.sheetMergeHeaderRowsOnce = c.headerOnce;
            o.sheetMergeHeaderRowCount = 1;
            ExcelSheetMergeJob((dir / "src" / "book.xlsx").string(), o, host);
        }
        auto merged = open(out);
        ASSERT_TRUE(merged);
        const ss::Worksheet& ws = *merged->sheets.at(0);
        const std::string& s = c.sheet;
        auto row = [&](uint32_t first, uint32_t plus) { return std::to_string(first + plus); };
        const std::string a = row(c.ledger, 0), b = row(c.ledger, 2);
        EXPECT_EQ(formulaAt(ws, 1, 2),
                  "SUMIF(" + s + "!A" + a + ":A" + b + ",\"x\"," + s + "!B" + a + ":B" + b + ")");
        EXPECT_EQ(formulaAt(ws, 2, 2), s + "!B" + row(c.ledger, 1));
        EXPECT_EQ(formulaAt(ws, 3, 2), "Rate*2");
        ASSERT_NE(nameIn(*merged, "Rate"), nullptr);
        EXPECT_EQ(nameIn(*merged, "Rate")->formula, s + "!$B$" + b);
        EXPECT_THAT(ss::xml::unescape(keptXml(ws, "dataValidations")),
                    HasSubstr("<formula1>" + s + "!$A$" + row(c.lists, 0) + ":$A$" +
                              row(c.lists, 1) + "</formula1>"));
        const std::string links = ss::xml::unescape(keptXml(ws, "hyperlinks"));
        EXPECT_THAT(links, HasSubstr("location=\"" + s + "!A" + a + "\""));
        EXPECT_THAT(links, HasSubstr("location=\"Sheet1!A1\""));  // in other.xlsx
        EXPECT_EQ(ws.externalLinks, std::vector<std::string>{"other.xlsx"});
        // Nothing of it is frozen, given inline or left out.
        EXPECT_FALSE(sawTextContaining(host, "已写成其保存的值"));
        EXPECT_FALSE(sawTextContaining(host, "下拉列表"));
        EXPECT_FALSE(sawTextContaining(host, "超链接引用了输出中没有的内容"));
    }
}

// Every defined name of a merged workbook comes along, restated for where its sheet or block
// landed, or is named after the closing text. In one output sheet a second name of the same
// spelling takes a free one, and print areas of single blocks stay behind.
TEST(MergeReferences, EveryNameIsCarriedOrNamed) {
    TempDir dir;
    writeBook(dir / "src" / "book.xlsx", *summaryFirst());
    struct Name {
        std::string name, formula;
        std::optional<uint32_t> local;
    };
    struct Case {
        const char* what;
        int job;  // 0 merge-sheets, 1 merge-files, 2 merge-files with the first sheet only
        std::vector<Name> carried;
        std::vector<std::string> named;
    };
    const Case cases[] = {
        {"merge-sheets",
         0,
         {{"Rate", "Sheet1!$B$7", {}},
          {"Kinds", "Sheet1!$A$9:$A$10", {}},
          {"Region", "Sheet1!$A$1:$A$3", 0u},
          {"Region_2", "Sheet1!$A$5:$A$7", 0u}},
         {"book.xlsx [Summary] Print_Area", "book.xlsx [Ledger] Print_Area"}},
        {"merge-files",
         1,
         {{"Rate", "Ledger!$B$4", {}},
          {"Kinds", "Lists!$A$2:$A$3", {}},
          {"_xlnm.Print_Area", "Summary!$A$1:$B$3", 0u},
          {"_xlnm.Print_Area", "Ledger!$A$1:$B$4", 1u},
          {"Region", "Summary!$A$1:$A$3", 0u},
          {"Region", "Ledger!$A$2:$A$4", 1u}},
         {}},
        {"merge-files, first sheet only",
         2,
         {{"_xlnm.Print_Area", "Summary!$A$1:$B$3", 0u}, {"Region", "Summary!$A$1:$A$3", 0u}},
         {"book.xlsx Rate", "book.xlsx Kinds", "book.xlsx [Ledger] Print_Area",
          "book.xlsx [Ledger] Region"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path out = dir / (std::string(c.what) + ".xlsx");
        TestHost host(out.string());
        JobOptions o;
        o.onlyFirstSheet = c.job == 2;
        if (c.job == 0)
            ExcelSheetMergeJob((dir / "src" / "book.xlsx").string(), o, host);
        else
            ExcelFileMergeJob((dir / "src").string(), o, host);
        auto merged = open(out);
        ASSERT_TRUE(merged);
        for (const Name& n : c.carried) {
            SCOPED_TRACE(n.name);
            const ss::DefinedName* got = nameIn(*merged, n.name, n.local);
            EXPECT_EQ(got ? got->formula : "<none>", n.formula);
        }
        EXPECT_EQ(merged->names.size(), c.carried.size());
        std::string note;
        for (const std::string& t : host.texts)
            if (t.rfind("以下名称未复制到输出中：", 0) == 0) note = t;
        for (const std::string& n : c.named) EXPECT_THAT(note, HasSubstr(n));
        if (c.named.empty()) {
            EXPECT_EQ(note, "");
        } else {  // the closing text counts them as before
            EXPECT_TRUE(sawTextContaining(
                host, std::to_string(c.named.size()) + "个名称引用了输出中没有的内容，未复制"));
        }
    }
}

// A hyperlink to a place in another file is an external link: every merge keeps it as written,
// beside a hyperlink into the workbook that follows its sheet.
TEST(MergeReferences, HyperlinksIntoOtherFilesAreKept) {
    TempDir dir;
    writeBook(dir / "src" / "book.xlsx", *summaryFirst());
    const fs::path out = dir / "out.xlsx";
    TestHost host(out.string());
    ExcelFileMergeJob((dir / "src").string(), JobOptions{}, host);
    auto merged = open(out);
    ASSERT_TRUE(merged);
    const ss::Worksheet& summary = *merged->sheets.at(0);
    const std::string links = ss::xml::unescape(keptXml(summary, "hyperlinks"));
    EXPECT_THAT(links, HasSubstr("location=\"Sheet1!A1\""));
    EXPECT_THAT(links, HasSubstr("location=\"Ledger!A2\""));
    EXPECT_EQ(summary.externalLinks, std::vector<std::string>{"other.xlsx"});
    EXPECT_FALSE(sawTextContaining(host, "超链接引用了输出中没有的内容"));
}

// Merge-files appending same-name sheets: the second workbook's Data and Other land below the
// first's, its Extra is copied whole. Each name comes along once, none is named as left behind
// (the copies of whole sheets cannot carry the names of appended blocks, nor the other way).
TEST(MergeReferences, NamesOfAppendedAndCopiedSheetsComeOnce) {
    TempDir dir;
    for (const char* file : {"1.xlsx", "2.xlsx"}) {
        const bool second = file[0] == '2';
        auto wb = buildBook({{"Data", {{"额"}, {"5"}}}, {second ? "Extra" : "Other", {{"x"}}}});
        wb->names = {{"Total", "Data!$A$2", std::nullopt, false, ""}};
        if (second) wb->names.push_back({"Tag", "Extra!$A$1", std::nullopt, false, ""});
        writeBook(dir / "src" / file, *wb);
    }
    JobOptions o;
    o.mergeSameNameSheets = true;
    const fs::path out = dir / "out.xlsx";
    TestHost host(out.string());
    ExcelFileMergeJob((dir / "src").string(), o, host);
    auto merged = open(out);
    ASSERT_TRUE(merged);
    std::vector<std::string> names;
    for (const ss::DefinedName& n : merged->names) names.push_back(n.name + "=" + n.formula);
    EXPECT_THAT(names, ::testing::UnorderedElementsAre("Total=Data!$A$2", "Total_2=Data!$A$4",
                                                       "Tag=Extra!$A$1"));
    EXPECT_FALSE(sawTextContaining(host, "名称引用了输出中没有的内容"));
}

// The report gives what settled when a workbook closed to that workbook's entry, not to the next
// file's.
TEST(MergeReferences, ReportCountsFrozenFormulasOfTheirWorkbook) {
    TempDir dir;
    writeBook(dir / "src" / "a.xlsx", *summaryFirst());
    writeBook(dir / "src" / "b.xlsx", {{"Data", table("b", 2)}});
    for (bool oneSheet : {true, false}) {
        SCOPED_TRACE(oneSheet ? "merge-one-sheet" : "merge-files");
        JobOptions o;
        o.onlyFirstSheet = true;  // Summary without the sheets it reads
        o.reportPath = (dir / (oneSheet ? "one.xlsx" : "files.xlsx")).string();
        TestHost host((dir / "out.xlsx").string());
        if (oneSheet)
            FilesToOneSheetJob((dir / "src").string(), o, host);
        else
            ExcelFileMergeJob((dir / "src").string(), o, host);
        auto report = open(o.reportPath);
        ASSERT_TRUE(report);
        const Grid g = grid(*report);
        ASSERT_EQ(g.size(), 3u);
        EXPECT_EQ(g[0][10], "冻结的公式");
        EXPECT_EQ(g[1][10], "3");
        EXPECT_EQ(g[2][10], "0");
    }
}

// Sheets that hold no cells but something else (pictures, notes, dropdowns), and the old macro
// sheets: the whole-sheet jobs keep them, the merges into one sheet name what they leave.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zip.h>

#include <regex>

#include "jobs/jobs.h"
#include "merge_fixtures.h"
#include "spreadsheet/carry/describe_parts.h"
#include "test_host.h"

using namespace fixtures;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const fs::path kPictures = fs::path(TW_CORPUS_DIR) / "xlsx" / "picture.xlsx";

// src/held.xlsx: the two sheets of the corpus file with pictures and no cells (Sheet1, Sheet2),
// then Data (cells), Note (a note on an empty cell), List (a dropdown on empty cells) and Blank.
void writeHeldBook(const TempDir& dir) {
    auto wb = open(kPictures);
    ASSERT_TRUE(wb);
    ASSERT_EQ(sheetNames(*wb), (std::vector<std::string>{"Sheet1", "Sheet2"}));
    putText(*wb, wb->addSheet("Data"), 1, 1, "值");
    ss::Worksheet& note = wb->addSheet("Note");
    note.notes.push_back({3, 2, "审核", "<text><t>请填写</t></text>", false});
    ss::Worksheet& list = wb->addSheet("List");
    list.preserved.push_back(
        {"dataValidations",
         "<dataValidations count=\"1\"><dataValidation type=\"list\" allowBlank=\"1\" "
         "sqref=\"B2:B9\"><formula1>\"是,否\"</formula1></dataValidation></dataValidations>"});
    wb->addSheet("Blank");
    writeBook(dir / "src" / "held.xlsx", *wb);
}

// The folder a split by sheet made beside its source.
fs::path onlySubfolder(const fs::path& dir) {
    fs::path found;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_directory()) found = e.path();
    return found;
}

std::vector<std::string> filesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool holdsPicture(const ss::Worksheet& ws) {
    return ws.parts && ss::describeParts(*ws.parts).count("图片");
}

bool holdsDropdown(const ss::Worksheet& ws) {
    return std::any_of(ws.preserved.begin(), ws.preserved.end(),
                       [](const ss::PreservedXml& p) { return p.element == "dataValidations"; });
}

// Makes the second sheet of a saved workbook an old macro sheet, as its relationship says.
void makeSecondSheetAMacroSheet(const fs::path& file) {
    zip_t* z = zip_open(file.c_str(), 0, nullptr);
    ASSERT_NE(z, nullptr);
    const char* name = "xl/_rels/workbook.xml.rels";
    zip_stat_t st;
    ASSERT_EQ(zip_stat(z, name, 0, &st), 0);
    std::string xml(st.size, '\0');
    zip_file_t* f = zip_fopen(z, name, 0);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(zip_fread(f, xml.data(), xml.size()), zip_int64_t(xml.size()));
    zip_fclose(f);
    static const std::regex kRel(
        "(<Relationship [^>]*)http://schemas.openxmlformats.org/officeDocument/2006/"
        "relationships/worksheet(\"[^>]*worksheets/sheet2.xml)");
    const std::string patched = std::regex_replace(
        xml, kRel, "$1http://schemas.microsoft.com/office/2006/relationships/xlMacrosheet$2");
    ASSERT_NE(patched, xml);
    zip_source_t* src = zip_source_buffer(z, patched.data(), patched.size(), 0);
    ASSERT_GE(zip_file_add(z, name, src, ZIP_FL_OVERWRITE), 0);
    ASSERT_EQ(zip_close(z), 0);
    auto read = open(file);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->sheets.at(1)->kind, ss::SheetKind::Macrosheet);
}

std::string allTexts(const TestHost& host) {
    std::string out;
    for (const auto& t : host.texts) out += t + "\n";
    return out;
}

}  // namespace

// Split by sheet always, and the folder merge under "不并空Sheet", passed over every sheet
// without cells: the pictures went, and the split said it split nothing.
TEST(SheetsWithoutCells, WholeSheetJobsKeepThoseThatHoldSomething) {
    if (!fs::exists(kPictures)) GTEST_SKIP() << "corpus file missing: " << kPictures;
    TempDir dir;
    writeHeldBook(dir);

    fs::create_directories(dir / "split");
    fs::copy_file(dir / "src" / "held.xlsx", dir / "split" / "held.xlsx");
    TestHost split;
    ExcelFileSplitJob((dir / "split" / "held.xlsx").string(), JobOptions{}, split);
    const fs::path folder = onlySubfolder(dir / "split");
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"Data.xlsx", "List.xlsx", "Note.xlsx",
                                                         "Sheet1.xlsx", "Sheet2.xlsx"}));
    EXPECT_EQ(split.lastText(), "成功拆分5个sheet 到 " + folder.string());
    for (const char* pictures : {"Sheet1.xlsx", "Sheet2.xlsx"}) {
        auto out = open(folder / pictures);
        ASSERT_TRUE(out);
        EXPECT_TRUE(holdsPicture(*out->sheets.at(0))) << pictures;
    }
    auto note = open(folder / "Note.xlsx");
    ASSERT_TRUE(note);
    ASSERT_EQ(note->sheets.at(0)->notes.size(), 1u);
    EXPECT_EQ(note->sheets.at(0)->notes[0].author, "审核");
    auto list = open(folder / "List.xlsx");
    ASSERT_TRUE(list);
    EXPECT_TRUE(holdsDropdown(*list->sheets.at(0)));

    JobOptions o;
    o.skipEmptySheets = true;
    TestHost merge((dir / "merged.xlsx").string());
    ExcelFileMergeJob((dir / "src").string(), o, merge);
    auto merged = open(dir / "merged.xlsx");
    ASSERT_TRUE(merged);
    EXPECT_THAT(sheetNames(*merged), ElementsAre("Sheet1", "Sheet2", "Data", "Note", "List"));
    EXPECT_TRUE(holdsPicture(*merged->sheets[0]));
    EXPECT_TRUE(holdsPicture(*merged->sheets[1]));
    EXPECT_EQ(merged->sheets[3]->notes.size(), 1u);
    EXPECT_TRUE(holdsDropdown(*merged->sheets[4]));
}

// The merges into one sheet add no rows for such a sheet, and say what it held.
TEST(SheetsWithoutCells, MergesIntoOneSheetNameWhatTheyHeld) {
    if (!fs::exists(kPictures)) GTEST_SKIP() << "corpus file missing: " << kPictures;
    TempDir dir;
    writeHeldBook(dir);
    const std::string where = (dir / "src" / "held.xlsx").string() + " ";
    struct Case {
        const char* job;
        std::string sheet1, note, list;  // how the sources are named
    };
    for (const Case& c :
         {Case{"merge-sheets", "[Sheet1]", "[Note]", "[List]"},
          Case{"merge-one-sheet", where + "[Sheet1]", where + "[Note]", where + "[List]"}}) {
        SCOPED_TRACE(c.job);
        TestHost host((dir / (std::string(c.job) + ".xlsx")).string());
        JobOptions o;
        o.skipEmptySheets = true;
        if (c.job == std::string("merge-sheets"))
            ExcelSheetMergeJob((dir / "src" / "held.xlsx").string(), o, host);
        else
            FilesToOneSheetJob((dir / "src").string(), o, host);
        auto out = open(dir / (std::string(c.job) + ".xlsx"));
        ASSERT_TRUE(out);
        EXPECT_EQ(grid(*out), (Grid{{"值"}}));
        const std::string texts = allTexts(host);
        EXPECT_THAT(texts, HasSubstr("以下内容未带到输出中："));
        EXPECT_THAT(texts, HasSubstr("（来自 " + c.sheet1));
        EXPECT_THAT(texts, HasSubstr("批注 1 个（来自 " + c.note + "）"));
        EXPECT_THAT(texts, HasSubstr("数据验证 1 个（来自 " + c.list + "）"));
        EXPECT_THAT(texts, Not(HasSubstr("[Blank]")));
    }
}

// A macro sheet of an .xlsm: split and merged whole with its cells (a worksheet in the output,
// and named so); the merges into one sheet leave it out and name it.
TEST(MacroSheets, WholeSheetJobsCarryTheirCellsMergesIntoOneSheetNameThem) {
    TempDir dir;
    const fs::path book = dir / "src" / "macro.xlsm";
    writeBook(book, {{"Data", {{"值"}, {"1"}}}, {"Macro1", {{"宏"}, {"2"}}}});
    makeSecondSheetAMacroSheet(book);

    fs::create_directories(dir / "split");
    fs::copy_file(book, dir / "split" / "macro.xlsm");
    TestHost split;
    ExcelFileSplitJob((dir / "split" / "macro.xlsm").string(), JobOptions{}, split);
    const fs::path folder = onlySubfolder(dir / "split");
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"Data.xlsx", "Macro1.xlsx"}));
    auto macro = open(folder / "Macro1.xlsx");
    ASSERT_TRUE(macro);
    EXPECT_EQ(grid(*macro), (Grid{{"宏"}, {"2"}}));
    EXPECT_THAT(allTexts(split), HasSubstr("宏表（已按普通工作表写入） 1 个（来自 [Macro1]）"));

    JobOptions o;
    o.skipEmptySheets = true;
    TestHost merge((dir / "merged.xlsx").string());
    ExcelFileMergeJob((dir / "src").string(), o, merge);
    auto merged = open(dir / "merged.xlsx");
    ASSERT_TRUE(merged);
    EXPECT_THAT(sheetNames(*merged), ElementsAre("Data", "Macro1"));
    EXPECT_EQ(grid(*merged, 1), (Grid{{"宏"}, {"2"}}));
    EXPECT_THAT(allTexts(merge), HasSubstr("宏表（已按普通工作表写入） 1 个（来自 "));

    for (bool organise : {false, true}) {  // the organised copy is a saved workbook
        SCOPED_TRACE(organise);
        o.sheetMergeOrganise = organise;
        TestHost sheets((dir / "sheets.xlsx").string());
        ExcelSheetMergeJob(book.string(), o, sheets);
        auto one = open(dir / "sheets.xlsx");
        ASSERT_TRUE(one);
        EXPECT_EQ(grid(*one), (Grid{{"值"}, {"1"}}));
        EXPECT_THAT(allTexts(sheets), HasSubstr("宏表 1 个（来自 [Macro1]）"));
        fs::remove(dir / "sheets.xlsx");
    }

    TestHost folderOne((dir / "one.xlsx").string());
    FilesToOneSheetJob((dir / "src").string(), o, folderOne);
    EXPECT_THAT(allTexts(folderOne), HasSubstr("宏表 1 个（来自 " + book.string() + " [Macro1]）"));
}

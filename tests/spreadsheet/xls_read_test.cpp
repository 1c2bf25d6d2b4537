#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "spreadsheet/xls/bytes.h"
#include "spreadsheet/xls/cfb.h"
#include "spreadsheet/io/io.h"
#include "spreadsheet/xls/xls.h"

namespace {

using ss::bin::put16;
using ss::bin::put32;

void rec(std::string& s, uint16_t type, const std::string& data) {
    put16(s, type);
    put16(s, uint16_t(data.size()));
    s += data;
}

std::string bof(uint16_t dt) {
    std::string d;
    for (uint16_t v : {0x0600, int(dt), 0x0DBB, 0x07CC, 0, 0, 6, 0}) put16(d, uint16_t(v));
    return d;
}

struct SheetSpec {
    std::string name;  // bytes as stored: code-page text in BIFF5, 8-bit characters in BIFF8
    uint8_t type = 0;  // BOUNDSHEET: 0 worksheet or dialog, 1 macro sheet, 2 chart sheet
    std::string records;
};

// A BIFF8 (or BIFF5) stream: globals, then each sheet's records in a substream of its own.
std::string book(const std::string& globalsExtra, const std::vector<SheetSpec>& sheets,
                 bool biff5 = false) {
    auto bofOf = [&](uint16_t dt) {
        std::string d = bof(dt);
        if (biff5) ss::bin::patch16(d, 0, 0x0500);
        return d;
    };
    std::string g;
    rec(g, 0x0809, bofOf(5));
    g += globalsExtra;
    std::vector<size_t> offsetAt;
    for (const SheetSpec& sh : sheets) {
        offsetAt.push_back(g.size() + 4);
        std::string bs;
        put32(bs, 0);
        bs += char(0);
        bs += char(sh.type);
        bs += char(sh.name.size());
        if (!biff5) bs += char(0);
        rec(g, 0x0085, bs + sh.name);
    }
    rec(g, 0x000A, "");
    std::string all = g;
    for (size_t i = 0; i < sheets.size(); ++i) {
        ss::bin::patch32(all, offsetAt[i], uint32_t(all.size()));
        const uint8_t t = sheets[i].type;
        rec(all, 0x0809, bofOf(t == 2 ? 0x20 : t == 1 ? 0x40 : 0x10));
        all += sheets[i].records;
        rec(all, 0x000A, "");
    }
    return all;
}

// A minimal BIFF8 stream: globals with one sheet, then `sheetRecords` in that sheet.
std::string stream(const std::string& globalsExtra, const std::string& sheetRecords) {
    return book(globalsExtra, {{"S", 0, sheetRecords}});
}

std::string formulaRecord(const std::string& rgce, double cached) {
    std::string d;
    put16(d, 0);  // row
    put16(d, 0);  // col
    put16(d, 15);
    ss::bin::putF64(d, cached);
    put16(d, 0);
    put32(d, 0);
    put16(d, uint16_t(rgce.size()));
    return d + rgce;
}

ss::Result<std::unique_ptr<ss::Workbook>> open(const std::string& biff) {
    return ss::readXlsFromMemory(ss::cfb::build({{"Workbook", biff}}));
}

}  // namespace

TEST(XlsRead, DecompilesCommonFormulaTokensAndKeepsTheCachedValue) {
    struct Case {
        std::string rgce;
        const char* text;  // nullptr: tokens not turned into text, only the value is kept
    };
    auto area = [](uint16_t r1, uint16_t r2, uint16_t c1, uint16_t c2) {
        std::string s("\x25", 1);
        for (uint16_t v : {r1, r2, c1, c2}) put16(s, v);
        return s;
    };
    const uint16_t rel = 0xC000;
    const Case cases[] = {
        // SUM(A1:B2)+1: area, SUM as a variable-argument function, integer, addition.
        {area(0, 1, rel | 0, rel | 1) + std::string("\x22\x01\x04\x00\x1E\x01\x00\x03", 8),
         "SUM(A1:B2)+1"},
        // ROUND($C$3,2)*-1 with a fixed-argument function and unary minus.
        {std::string("\x24\x02\x00\x02\x00\x1E\x02\x00\x21\x1B\x00\x1E\x01\x00\x13\x05", 16),
         "ROUND($C$3,2)*-1"},
        // "a""b"&TRUE in parentheses
        {std::string("\x17\x03\x00\x61\x22\x62\x1D\x01\x08\x15", 10), "(\"a\"\"b\"&TRUE)"},
        // Whole columns A:B.
        {area(0, 0xFFFF, rel | 0, rel | 1), "A:B"},
        // A defined name: not decompiled.
        {std::string("\x23\x01\x00\x00\x00\x00\x00", 7), nullptr},
        // Truncated operand of a reference.
        {std::string("\x24\x01", 2), nullptr},
    };
    for (const Case& c : cases) {
        std::string sheet;
        rec(sheet, 0x0006, formulaRecord(c.rgce, 42));
        auto wb = open(stream("", sheet));
        ASSERT_TRUE(wb.ok()) << wb.message();
        const ss::Worksheet& ws = *(*wb)->sheets[0];
        ASSERT_NE(ws.find(1, 1), nullptr);
        EXPECT_EQ(ws.find(1, 1)->number, 42);
        const ss::Formula* f = ws.formula(1, 1);
        if (c.text) {
            ASSERT_NE(f, nullptr) << c.text;
            EXPECT_EQ(f->text, c.text);
        } else {
            EXPECT_EQ(f, nullptr);
        }
    }
}

TEST(XlsRead, DamagedOrEncryptedInputGivesAClearError) {
    std::string number;
    put16(number, 0);
    put16(number, 0);
    put16(number, 15);
    ss::bin::putF64(number, 1.5);
    std::string good;
    rec(good, 0x0203, number);
    ASSERT_TRUE(open(stream("", good)).ok());

    struct Case {
        const char* what;
        std::string file;
        const char* reason;
    };
    std::string overrun = stream("", good);
    // The NUMBER record before the sheet's EOF claims more bytes than the stream holds.
    ss::bin::patch16(overrun, overrun.size() - 4 - good.size() + 2, 0xFFFF);
    std::string filepass;
    rec(filepass, 0x002F, std::string(6, '\0'));
    std::string badSheetOffset = stream("", good);
    ss::bin::patch32(badSheetOffset, 20 + 4, 0x7FFFFFF0);  // BOUNDSHEET points past the end
    std::string loop = ss::cfb::build({{"Workbook", stream("", good)}});
    // Make the stream's first sector point to itself in the allocation table.
    bool patched = false;
    {
        ss::bin::ByteCursor h(loop);
        h.seek(48);
        uint32_t dirSector = h.u32();
        ss::bin::ByteCursor d(loop);
        d.seek((dirSector + 1) * 512 + 128 + 116);
        uint32_t start = d.u32();
        ss::bin::patch32(loop, 512 + start * 4, start);
        patched = true;
    }
    ASSERT_TRUE(patched);
    std::string truncated = ss::cfb::build({{"Workbook", stream("", good)}});
    truncated.resize(1024);
    const Case cases[] = {
        {"record overrun", ss::cfb::build({{"Workbook", overrun}}), "已损坏"},
        {"encrypted", ss::cfb::build({{"Workbook", stream(filepass, good)}}), "已加密"},
        {"sheet offset", ss::cfb::build({{"Workbook", badSheetOffset}}), "已损坏"},
        {"sector loop", loop, "已损坏"},
        {"truncated container", truncated, "已损坏"},
        {"no workbook stream", ss::cfb::build({{"Other", "x"}}), "没有工作簿数据"},
        {"not a compound file", std::string(600, 'x'), "不是受支持的表格文件"},
    };
    for (const Case& c : cases) {
        auto wb = ss::readXlsFromMemory(c.file);
        ASSERT_FALSE(wb.ok()) << c.what;
        EXPECT_NE(wb.message().find(c.reason), std::string::npos) << c.what << ": " << wb.message();
    }
}

TEST(XlsRead, SharedStringsSplitAcrossContinueRecords) {
    // One SST string whose characters switch from 8-bit to UTF-16 at the CONTINUE boundary,
    // followed by a second string that starts in the CONTINUE record.
    std::string sst;
    put32(sst, 2);
    put32(sst, 2);
    put16(sst, 4);
    sst += std::string("\0ab", 3);
    std::string cont("\x01", 1);
    cont += std::string("\x2D\x4E\x87\x65", 4);  // 中文
    put16(cont, 1);
    cont += std::string("\0z", 2);
    std::string globals;
    rec(globals, 0x00FC, sst);
    rec(globals, 0x003C, cont);
    std::string cells;
    for (uint32_t i = 0; i < 2; ++i) {
        std::string d;
        put16(d, uint16_t(i));
        put16(d, 0);
        put16(d, 15);
        put32(d, i);
        rec(cells, 0x00FD, d);
    }
    auto wb = open(stream(globals, cells));
    ASSERT_TRUE(wb.ok()) << wb.message();
    const ss::Worksheet& ws = *(*wb)->sheets[0];
    EXPECT_EQ((*wb)->strings.text(ws.find(1, 1)->sst), "ab中文");
    EXPECT_EQ((*wb)->strings.text(ws.find(2, 1)->sst), "z");
}

TEST(XlsRead, CompoundFileNamedXlsxIsReadOnlyWhenItHoldsAWorkbook) {
    namespace fs = std::filesystem;
    fs::path dir =
        fs::temp_directory_path() / ("tw_xls_dispatch_test_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    ss::Workbook wb;
    wb.addSheet("S").setNumber(1, 1, 5);
    ASSERT_TRUE(ss::writeXls(wb, dir / "renamed.xlsx").ok());
    auto renamed = ss::openWorkbook(dir / "renamed.xlsx");
    ASSERT_TRUE(renamed.ok()) << renamed.message();
    EXPECT_EQ((*renamed)->sheets[0]->find(1, 1)->number, 5);

    fs::path encrypted =
        fs::path(TW_CORPUS_DIR) / "broken" / "agile_AES256_SHA512_CBC_pwd_password.xlsx";
    auto refused = ss::openWorkbook(encrypted);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.message().find("工作簿已加密"), std::string::npos);
}

namespace {

std::string cellHead(uint16_t row, uint16_t col) {
    std::string d;
    put16(d, row);
    put16(d, col);
    put16(d, 15);
    return d;
}

std::string numberCell(uint16_t row, uint16_t col, double v) {
    std::string d = cellHead(row, col), r;
    ss::bin::putF64(d, v);
    rec(r, 0x0203, d);
    return r;
}

// XLUnicodeString with 8-bit characters.
std::string unicodeString(const std::string& text) {
    std::string d;
    put16(d, uint16_t(text.size()));
    return d + '\0' + text;
}

}  // namespace

// The text result of a formula is taken from the next STRING record before the next cell,
// whatever other writers put between them; without one the formula keeps an empty text, and
// the cells after it are kept.
TEST(XlsRead, FormulaTextResultsWhereverTheStringRecordComes) {
    // A1: =1&"" with a text result, B1 a number, A2 a number.
    std::string formula = cellHead(0, 0);
    formula += std::string("\0\0\0\0\0\0\xFF\xFF", 8);
    put16(formula, 0);
    put32(formula, 0);
    const std::string rgce("\x1E\x01\x00\x17\x00\x00\x08", 7);
    put16(formula, uint16_t(rgce.size()));
    formula += rgce;
    std::string head;
    rec(head, 0x0006, formula);
    auto record = [](uint16_t type, const std::string& data) {
        std::string r;
        rec(r, type, data);
        return r;
    };
    const std::string string = record(0x0207, unicodeString("ok"));
    std::string shrfmla("\0\0\0\0\0\0\0\x01", 8);
    put16(shrfmla, uint16_t(rgce.size()));
    shrfmla += rgce;
    std::string array(12, '\0');
    put16(array, uint16_t(rgce.size()));
    array += rgce;
    std::string split;  // "ok" whose second character is in a CONTINUE record
    put16(split, 2);
    split += std::string("\0o", 2);
    const std::string b1 = numberCell(0, 1, 2), a2 = numberCell(1, 0, 3);

    struct Case {
        const char* what;
        std::string after;  // the records after the FORMULA
        const char* text;
        const char* note;  // a read note, or nullptr
    };
    const Case cases[] = {
        {"string next", string + b1 + a2, "ok", nullptr},
        {"after SHRFMLA", record(0x04BC, shrfmla) + string + b1 + a2, "ok", nullptr},
        {"after ARRAY", record(0x0221, array) + string + b1 + a2, "ok", nullptr},
        {"after TABLE", record(0x0236, std::string(16, '\0')) + string + b1 + a2, "ok", nullptr},
        {"after CONTINUE", record(0x003C, "xyz") + string + b1 + a2, "ok", nullptr},
        {"after another record", record(0x00D7, std::string(6, '\0')) + string + b1 + a2, "ok",
         nullptr},
        {"split over CONTINUE",
         record(0x0207, split) + record(0x003C, std::string("\0k", 2)) + b1 + a2, "ok", nullptr},
        {"missing", b1 + a2, "", nullptr},
        {"only after the next cell", b1 + string + a2, "", nullptr},
        {"missing at the end of the sheet", "", "", nullptr},
        {"damaged", record(0x0207, std::string("\x09\x00\x01o", 4)) + b1 + a2, "",
         "[S] A1 公式的文本结果已损坏，已留空"},
    };
    for (const Case& c : cases) {
        // A STRING that no formula expects comes first; it is passed over.
        auto wb = open(stream("", string + head + c.after));
        ASSERT_TRUE(wb.ok()) << c.what << ": " << wb.message();
        const ss::Worksheet& ws = *(*wb)->sheets[0];
        const ss::Cell* a1 = ws.find(1, 1);
        ASSERT_NE(a1, nullptr) << c.what;
        EXPECT_EQ(a1->type, ss::CellType::String) << c.what;
        EXPECT_EQ((*wb)->strings.text(a1->sst), std::string(c.text)) << c.what;
        ASSERT_NE(ws.formula(1, 1), nullptr) << c.what;
        EXPECT_EQ(ws.formula(1, 1)->text, "1&\"\"") << c.what;
        if (!c.after.empty()) {
            ASSERT_NE(ws.find(1, 2), nullptr) << c.what;
            EXPECT_EQ(ws.find(1, 2)->number, 2) << c.what;
            ASSERT_NE(ws.find(2, 1), nullptr) << c.what;
            EXPECT_EQ(ws.find(2, 1)->number, 3) << c.what;
        }
        if (c.note)
            EXPECT_EQ((*wb)->readNotes, std::vector<std::string>{c.note}) << c.what;
        else
            EXPECT_TRUE((*wb)->readNotes.empty()) << c.what;
    }

    // A shared formula whose SHRFMLA comes after the STRING of the first cell's result.
    std::string texp("\x01\0\0\0\0", 5);
    std::string first = formula.substr(0, 20), second = cellHead(1, 0);
    put16(first, uint16_t(texp.size()));
    ss::bin::putF64(second, 7);
    put16(second, 0);
    put32(second, 0);
    put16(second, uint16_t(texp.size()));
    std::string sharedSheet = record(0x0006, first + texp) + string + record(0x04BC, shrfmla) +
                              record(0x0006, second + texp);
    auto sharedBook = open(stream("", sharedSheet));
    ASSERT_TRUE(sharedBook.ok());
    for (uint32_t row : {1u, 2u}) {
        const ss::Formula* f = (*sharedBook)->sheets[0]->formula(row, 1);
        ASSERT_NE(f, nullptr) << row;
        EXPECT_EQ(f->text, "1&\"\"") << row;
    }

    // FORMULA records under the numbers of BIFF4 and BIFF3: the values are kept, the tokens
    // where the sizes agree with this file's layout.
    std::string biff4 = cellHead(2, 0), biff3 = cellHead(3, 0);
    ss::bin::putF64(biff4, 4);
    put16(biff4, 0);
    put32(biff4, 0);
    put16(biff4, uint16_t(rgce.size()));
    ss::bin::putF64(biff3, 5);
    put16(biff3, 0);
    put16(biff3, uint16_t(rgce.size()));
    auto old = open(stream("", record(0x0406, biff4 + rgce) + record(0x0206, biff3 + rgce)));
    ASSERT_TRUE(old.ok());
    const ss::Worksheet& oldSheet = *(*old)->sheets[0];
    ASSERT_NE(oldSheet.find(3, 1), nullptr);
    EXPECT_EQ(oldSheet.find(3, 1)->number, 4);
    ASSERT_NE(oldSheet.formula(3, 1), nullptr);
    EXPECT_EQ(oldSheet.formula(3, 1)->text, "1&\"\"");
    ASSERT_NE(oldSheet.find(4, 1), nullptr);
    EXPECT_EQ(oldSheet.find(4, 1)->number, 5);

    // A cell beyond the columns a sheet can hold is named, the others kept.
    auto wide = open(stream("", numberCell(0, 20000, 1) + b1));
    ASSERT_TRUE(wide.ok());
    EXPECT_EQ((*wide)->sheets[0]->find(1, 2)->number, 2);
    ASSERT_EQ((*wide)->readNotes.size(), 1u);
    EXPECT_EQ((*wide)->readNotes[0].rfind("[S] ", 0), 0u) << (*wide)->readNotes[0];
}

// Chart sheets, dialog sheets and macro sheets stay out of the workbook, each named; the
// active tab still points at the same sheet.
TEST(XlsRead, ANumberThatIsNotOneIsNamed) {
    // Some writers store NaN or infinity in a NUMBER record; no format has a text for it.
    auto wb = open(stream("", numberCell(0, 0, std::nan("")) + numberCell(0, 1, 2.5) +
                                  numberCell(1, 0, -std::numeric_limits<double>::infinity())));
    ASSERT_TRUE(wb.ok()) << wb.message();
    EXPECT_EQ((*wb)->readNotes,
              (std::vector<std::string>{"[S] A1 不是有效的数值，已写为错误值 #NUM!",
                                        "[S] A2 不是有效的数值，已写为错误值 #NUM!"}));
}

TEST(XlsRead, SheetsThatCannotBeCarriedAreNamedNotCounted) {
    std::string window1(10, '\0');
    put16(window1, 4);  // active: "Last"
    put16(window1, 0);
    put16(window1, 1);
    put16(window1, 600);
    std::string globals;
    rec(globals, 0x003D, window1);
    std::string dialogBool;
    rec(dialogBool, 0x0081, std::string("\x11\x04", 2));
    std::string plainBool;
    rec(plainBool, 0x0081, std::string("\x01\x04", 2));
    auto wb = open(book(globals, {{"Data", 0, plainBool + numberCell(0, 0, 1)},
                                  {"Chart1", 2, ""},
                                  {"Macro1", 1, numberCell(0, 0, 2)},
                                  {"Dialog1", 0, dialogBool},
                                  {"Last", 0, numberCell(0, 0, 3)}}));
    ASSERT_TRUE(wb.ok()) << wb.message();
    ASSERT_EQ((*wb)->sheets.size(), 2u);
    EXPECT_EQ((*wb)->sheets[0]->name, "Data");
    EXPECT_EQ((*wb)->sheets[1]->name, "Last");
    EXPECT_EQ((*wb)->sheets[1]->find(1, 1)->number, 3);
    EXPECT_EQ((*wb)->activeSheet, 1u);
    EXPECT_EQ((*wb)->readNotes,
              (std::vector<std::string>{"[Chart1] 图表工作表未能读取，已略过",
                                        "[Macro1] 宏表未能读取，已略过",
                                        "[Dialog1] 对话框工作表未能读取，已略过"}));

    auto onlyChart = open(book("", {{"Chart1", 2, ""}}));
    ASSERT_FALSE(onlyChart.ok());
    EXPECT_NE(onlyChart.message().find("图表工作表"), std::string::npos) << onlyChart.message();

    // A file of another application: a chart sheet between two worksheets.
    auto chart = ss::openWorkbook(std::filesystem::path(TW_CORPUS_DIR) / "xls" / "chart1.xls");
    ASSERT_TRUE(chart.ok()) << chart.message();
    std::vector<std::string> names;
    for (const auto& ws : (*chart)->sheets) names.push_back(ws->name);
    EXPECT_EQ(names, (std::vector<std::string>{"Sheet1", "Sheet2", "Sheet3"}));  // as xlrd reads
    ASSERT_EQ((*chart)->readNotes.size(), 1u);
    EXPECT_NE((*chart)->readNotes[0].find("图表工作表未能读取"), std::string::npos);
}

// BIFF5 text in a code page whose converter composes letters and marks keeps its last
// character, in sheet names and cells alike.
TEST(XlsRead, Biff5TextInAComposingCodePageKeepsItsLastCharacter) {
    std::string globals;
    rec(globals, 0x0042, std::string("\xEA\x04", 2));  // 1258
    std::string label = cellHead(0, 0);
    const std::string text("Vi\xEA\xF2t Nam", 9);
    put16(label, uint16_t(text.size()));
    label += text;
    std::string cells;
    rec(cells, 0x0204, label);
    // A byte the page does not define costs only itself.
    label = cellHead(1, 0);
    put16(label, 4);
    label += "a\x81\xEA\xF2";
    rec(cells, 0x0204, label);
    auto wb = open(book(globals, {{"H\xE0 N\xF4i", 0, cells}}, true));
    ASSERT_TRUE(wb.ok()) << wb.message();
    const ss::Worksheet& ws = *(*wb)->sheets[0];
    EXPECT_EQ(ws.name, "H\xC3\xA0 N\xC3\xB4i");
    EXPECT_EQ((*wb)->strings.text(ws.find(1, 1)->sst), std::string("Vi\xE1\xBB\x87t Nam"));
    EXPECT_EQ((*wb)->strings.text(ws.find(2, 1)->sst), std::string("a\xC2\x81\xE1\xBB\x87"));
}

TEST(XlsRead, SharedFormulasGiveTheirCellsNoMoreTextThanTheBudget) {
    // One shared formula of about 2,000 characters ("1+1+..."), given to `cells` cells: 4 MB of
    // formula text from 60 KB of records is refused; the same group on 10 cells is read.
    std::string rgce;
    for (int i = 0; i < 1000; ++i) {
        rgce += char(0x1E);  // tInt 1
        put16(rgce, 1);
        if (i) rgce += char(0x03);  // tAdd
    }
    ss::ReadLimits limits;
    limits.sharedFormulaFloor = 1u << 20;
    for (uint16_t cells : {2000, 10}) {
        std::string sheet, shr;
        put16(shr, 0);
        put16(shr, uint16_t(cells - 1));
        shr += char(0);
        shr += char(0);
        put16(shr, 0);
        put16(shr, uint16_t(rgce.size()));
        shr += rgce;
        for (uint16_t row = 0; row < cells; ++row) {
            std::string f;
            put16(f, row);
            put16(f, 0);
            put16(f, 15);
            ss::bin::putF64(f, 1000);
            put16(f, 0);
            put32(f, 0);
            put16(f, 5);
            f += char(0x01);  // tExp: the group anchored at A1
            put16(f, 0);
            put16(f, 0);
            rec(sheet, 0x0006, f);
            if (row == 0) rec(sheet, 0x04BC, shr);
        }
        auto wb = ss::readXlsFromMemory(ss::cfb::build({{"Workbook", stream("", sheet)}}), limits);
        if (cells == 10) {
            ASSERT_TRUE(wb.ok()) << wb.message();
            ASSERT_NE((*wb)->sheets[0]->formula(10, 1), nullptr);
            EXPECT_EQ((*wb)->sheets[0]->formula(10, 1)->text.size(), 1999u);
            continue;
        }
        ASSERT_FALSE(wb.ok());
        EXPECT_NE(wb.message().find("共享公式"), std::string::npos) << wb.message();
    }
}

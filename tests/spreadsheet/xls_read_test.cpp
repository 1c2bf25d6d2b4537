#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

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

// A minimal BIFF8 stream: globals with one sheet, then `sheetRecords` in that sheet.
std::string stream(const std::string& globalsExtra, const std::string& sheetRecords) {
    std::string g;
    rec(g, 0x0809, bof(5));
    g += globalsExtra;
    size_t offsetAt = g.size() + 4;
    std::string bs;
    put32(bs, 0);
    bs += std::string("\0\0\x01\0S", 5);
    rec(g, 0x0085, bs);
    rec(g, 0x000A, "");
    std::string s;
    rec(s, 0x0809, bof(0x10));
    s += sheetRecords;
    rec(s, 0x000A, "");
    ss::bin::patch32(g, offsetAt, uint32_t(g.size()));
    return g + s;
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

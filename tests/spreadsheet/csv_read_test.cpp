#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <variant>

#include "spreadsheet/csv/csv.h"

namespace fs = std::filesystem;

namespace {

fs::path writeTemp(const std::string& name, const std::string& bytes) {
    fs::path dir = fs::temp_directory_path() / ("tw_csv_test_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path p = dir / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
}

std::unique_ptr<ss::Workbook> read(const std::string& bytes, const std::string& name = "t.csv") {
    auto r = ss::readCsv(writeTemp(name, bytes));
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.message());
    return r.ok() ? std::move(r).value() : nullptr;
}

std::string text(const ss::Workbook& wb, uint32_t row, uint32_t col) {
    const ss::Cell* c = wb.sheets[0]->find(row, col);
    if (!c) return "<none>";
    if (c->type != ss::CellType::String) return "<not text>";
    return std::string(wb.strings.text(c->sst));
}

}  // namespace

TEST(CsvRead, EncodingsDecideByBomThenUtf8ThenGb18030) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::string zh = "\xE4\xB8\xAD\xE6\x96\x87";  // 中文 in UTF-8
    const Case cases[] = {
        {"utf8 bom", "\xEF\xBB\xBF" + zh + ",x\r\n"},
        {"utf8 plain", zh + ",x\n"},
        {"gbk", std::string("\xD6\xD0\xCE\xC4,x\n")},
        {"utf16le bom", std::string("\xFF\xFE\x2D\x4E\x87\x65,\0x\0\n\0", 12)},
        {"utf16be bom", std::string("\xFE\xFF\x4E\x2D\x65\x87\0,\0x\0\n", 12)},
    };
    for (const Case& c : cases) {
        auto wb = read(c.bytes);
        ASSERT_TRUE(wb) << c.what;
        EXPECT_EQ(text(*wb, 1, 1), zh) << c.what;
        EXPECT_EQ(text(*wb, 1, 2), "x") << c.what;
    }
}

TEST(CsvRead, QuotesLineEndsAndSeparators) {
    // Doubled quotes, a separator and a CRLF inside quotes, CR-only and LF line ends, an empty
    // line, and no line end after the last record.
    auto wb = read("a,\"he said \"\"hi\"\"\",\"x,y\"\r\"line1\r\nline2\",b\n\nlast,\"\"");
    ASSERT_TRUE(wb);
    EXPECT_EQ(text(*wb, 1, 1), "a");
    EXPECT_EQ(text(*wb, 1, 2), "he said \"hi\"");
    EXPECT_EQ(text(*wb, 1, 3), "x,y");
    EXPECT_EQ(text(*wb, 2, 1), "line1\r\nline2");
    EXPECT_EQ(text(*wb, 2, 2), "b");
    EXPECT_EQ(wb->sheets[0]->findRow(3), nullptr);
    EXPECT_EQ(text(*wb, 4, 1), "last");
    EXPECT_EQ(wb->sheets[0]->find(4, 2), nullptr);  // an empty field makes no cell
    EXPECT_EQ(wb->sheets[0]->rows().back().index, 4u);

    auto semi = read("a;b;1,5\nc;d;e\n");
    ASSERT_TRUE(semi);
    EXPECT_EQ(text(*semi, 1, 2), "b");
    EXPECT_EQ(text(*semi, 1, 3), "1,5");
    auto tabs = read("a\tb c\t3\n");
    ASSERT_TRUE(tabs);
    EXPECT_EQ(text(*tabs, 1, 2), "b c");
    EXPECT_EQ(tabs->sheets[0]->find(1, 3)->number, 3);
}

TEST(CsvRead, TypesValuesButKeepsIdentifiersAsText) {
    struct Case {
        const char* field;
        ss::CellType type;
        double number;
        const char* format;  // number format code, "" for General
    };
    const Case cases[] = {
        {"123", ss::CellType::Number, 123, ""},
        {"-0.5", ss::CellType::Number, -0.5, ""},
        {"1e3", ss::CellType::Number, 1000, ""},
        {"\"1,234.5\"", ss::CellType::Number, 1234.5, "#,##0.00"},
        {"12.5%", ss::CellType::Number, 0.125, "0.00%"},
        {"7%", ss::CellType::Number, 0.07, "0%"},
        {"2024-01-05", ss::CellType::Number, 45296, "m/d/yyyy"},
        {"2024/1/5", ss::CellType::Number, 45296, "m/d/yyyy"},
        {"2024/1/5 12:30", ss::CellType::Number, 45296.5208333333, "m/d/yyyy h:mm"},
        {"1900-01-01", ss::CellType::Number, 1, "m/d/yyyy"},
        {"1900-03-01", ss::CellType::Number, 61, "m/d/yyyy"},
        {"TRUE", ss::CellType::Boolean, 1, ""},
        {"false", ss::CellType::Boolean, 0, ""},
        {"#N/A", ss::CellType::Error, 0, ""},
        {"00123", ss::CellType::String, 0, ""},
        {"110101199001011234", ss::CellType::String, 0, ""},
        {"1234567890123456", ss::CellType::String, 0, ""},
        {"123456789012345", ss::CellType::Number, 123456789012345, ""},
        {"2024-02-30", ss::CellType::String, 0, ""},
        {"12abc", ss::CellType::String, 0, ""},
        {"\"1,23\"", ss::CellType::String, 0, ""},
    };
    for (const Case& c : cases) {
        auto wb = read(std::string(c.field) + "\n");
        ASSERT_TRUE(wb) << c.field;
        const ss::Cell* cell = wb->sheets[0]->find(1, 1);
        ASSERT_NE(cell, nullptr) << c.field;
        EXPECT_EQ(cell->type, c.type) << c.field;
        if (c.type == ss::CellType::Number) {
            EXPECT_NEAR(cell->number, c.number, 1e-9) << c.field;
            EXPECT_EQ(wb->styles.numberFormatCode(wb->styles.cellXfs[cell->style].numFmtId),
                      *c.format ? c.format : "General")
                << c.field;
        }
        if (c.type == ss::CellType::Boolean) {
            EXPECT_EQ(cell->boolean, c.number != 0) << c.field;
        }
        if (c.type == ss::CellType::String) {
            std::string want = c.field;
            if (want.front() == '"') want = want.substr(1, want.size() - 2);
            EXPECT_EQ(wb->strings.text(cell->sst), want);
        }
    }
}

TEST(CsvRead, OneSheetNamedAfterTheFileAndClearErrors) {
    auto wb = read("x\n", "销售[2024].csv");
    ASSERT_TRUE(wb);
    ASSERT_EQ(wb->sheets.size(), 1u);
    EXPECT_EQ(wb->sheets[0]->name, "销售_2024_");

    auto missing = ss::readCsv(fs::temp_directory_path() /
                               ("tw_csv_test_" + std::to_string(::getpid())) / "no-such.csv");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.message().rfind("无法打开文件 ", 0), 0u);

    ss::ReadLimits limits;
    limits.maxCells = 3;
    auto big = ss::readCsv(writeTemp("big.csv", "1,2\n3,4\n5,6\n"), limits);
    EXPECT_FALSE(big.ok());
}

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "spreadsheet/io/io.h"
#include "spreadsheet/xls/xls.h"

namespace fs = std::filesystem;

namespace {

fs::path tempDir() {
    fs::path dir = fs::temp_directory_path() / ("tw_xls_write_test_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// A workbook that uses what the format can hold: styles with a colour outside the default
// palette, merges, widths, heights, frozen panes, every value kind, a hidden sheet and more
// shared text than one record holds.
std::unique_ptr<ss::Workbook> sample() {
    auto wb = std::make_unique<ss::Workbook>();
    ss::Worksheet& ws = wb->addSheet("数据");
    ss::Font bold;
    bold.name = "宋体";
    bold.size = 12;
    bold.bold = true;
    bold.italic = true;
    bold.underline = "single";
    bold.color = ss::Color::rgb(0xFF123456);
    ss::Fill fill;
    fill.patternType = "solid";
    fill.fg = ss::Color::rgb(0xFFFFFF00);
    ss::Border border;
    border.left.style = "thin";
    border.left.color = ss::Color::rgb(0xFFFF0000);
    border.bottom.style = "double";
    ss::CellFormat xf;
    xf.fontId = wb->styles.internFont(bold);
    xf.fillId = wb->styles.internFill(fill);
    xf.borderId = wb->styles.internBorder(border);
    xf.numFmtId = wb->styles.internNumberFormat("0.000");
    xf.alignment.horizontal = "center";
    xf.alignment.vertical = "top";
    xf.alignment.wrapText = true;
    uint32_t styled = wb->styles.internCellFormat(xf);

    ws.setString(1, 1, wb->strings.add("标题"), styled);
    ws.setNumber(2, 1, 3.14159, styled);
    ws.setNumber(2, 2, 123456789.0);
    ws.setNumber(2, 3, -0.01);
    ws.setBoolean(3, 1, true);
    ws.setError(3, 2, ss::ErrorCode::Div0);
    ws.cell(3, 3).style = styled;  // styled blank
    ws.setNumber(4, 1, 7);
    ss::Formula f;
    f.text = "3+4";
    ws.setFormula(4, 1, f);
    std::string longText(9000, 'x');
    longText += "中";
    ws.setString(5, 1, wb->strings.add(longText));
    for (uint32_t r = 6; r < 3006; ++r)
        ws.setString(r, 2, wb->strings.add("行 " + std::to_string(r) + " 的文字"));
    ws.merges.push_back({1, 1, 1, 3});
    ss::ColumnInfo col;
    col.first = 2;
    col.last = 4;
    col.width = 20.5;
    col.customWidth = true;
    ws.columns.push_back(col);
    ws.row(2).height = 30;
    ws.row(2).customHeight = true;
    ws.frozenRows = 1;
    ws.frozenCols = 2;
    ss::Worksheet& hidden = wb->addSheet("Hidden");
    hidden.state = ss::SheetState::Hidden;
    hidden.setNumber(65536, 256, 1);  // the last cell of the grid
    return wb;
}

}  // namespace

TEST(XlsWriteRead, KeepsValuesStylesAndLayout) {
    fs::path dir = tempDir();
    auto src = sample();
    fs::path file = dir / "out.xls";
    ASSERT_TRUE(ss::saveWorkbook(*src, file, ss::FileFormat::Xls).ok());
    auto back = ss::openWorkbook(file);
    ASSERT_TRUE(back.ok()) << back.message();
    ss::Workbook& wb = **back;
    ASSERT_EQ(wb.sheets.size(), 2u);
    const ss::Worksheet& ws = *wb.sheets[0];
    EXPECT_EQ(ws.name, "数据");
    EXPECT_EQ(wb.sheets[1]->state, ss::SheetState::Hidden);
    ASSERT_NE(wb.sheets[1]->find(65536, 256), nullptr);

    for (const auto& row : src->sheets[0]->rows()) {
        for (const ss::Cell& c : row.cells) {
            const ss::Cell* got = ws.find(row.index, c.col);
            ASSERT_NE(got, nullptr) << row.index << "," << c.col;
            EXPECT_EQ(got->type, c.type);
            EXPECT_EQ(wb.cellText(*got), src->cellText(c)) << row.index << "," << c.col;
        }
    }
    EXPECT_EQ(ws.formula(4, 1), nullptr);  // written as its cached value

    const ss::CellFormat& xf = wb.styles.cellXfs[ws.find(2, 1)->style];
    const ss::Font& font = wb.styles.fonts[xf.fontId];
    EXPECT_EQ(font.name, "宋体");
    EXPECT_EQ(font.size, 12);
    EXPECT_TRUE(font.bold && font.italic);
    EXPECT_EQ(font.underline, "single");
    // A colour outside the default palette stays exact through a custom palette entry.
    EXPECT_EQ(wb.styles.paletteColor(font.color.value), 0xFF123456u);
    const ss::Fill& fill = wb.styles.fills[xf.fillId];
    EXPECT_EQ(fill.patternType, "solid");
    EXPECT_EQ(wb.styles.paletteColor(fill.fg.value), 0xFFFFFF00u);
    const ss::Border& border = wb.styles.borders[xf.borderId];
    EXPECT_EQ(border.left.style, "thin");
    EXPECT_EQ(wb.styles.paletteColor(border.left.color.value), 0xFFFF0000u);
    EXPECT_EQ(border.bottom.style, "double");
    EXPECT_EQ(wb.styles.numberFormatCode(xf.numFmtId), "0.000");
    EXPECT_EQ(xf.alignment.horizontal, "center");
    EXPECT_EQ(xf.alignment.vertical, "top");
    EXPECT_TRUE(xf.alignment.wrapText);
    EXPECT_EQ(ws.find(3, 3)->type, ss::CellType::Empty);
    EXPECT_EQ(ws.find(3, 3)->style, ws.find(2, 1)->style);

    ASSERT_EQ(ws.merges.size(), 1u);
    EXPECT_EQ(ws.merges[0], (ss::CellRange{1, 1, 1, 3}));
    ASSERT_NE(ws.columnInfo(3), nullptr);
    EXPECT_NEAR(ws.columnInfo(3)->width, 20.5, 1.0 / 256);
    EXPECT_TRUE(ws.findRow(2)->customHeight);
    EXPECT_FLOAT_EQ(ws.findRow(2)->height, 30);
    EXPECT_EQ(ws.frozenRows, 1u);
    EXPECT_EQ(ws.frozenCols, 2u);
}

TEST(XlsWriteRead, RefusesWhatTheFormatCannotHoldAndWritesNothing) {
    struct Case {
        const char* what;
        void (*build)(ss::Workbook&);
        const char* reason;
    };
    const Case cases[] = {
        {"rows", [](ss::Workbook& wb) { wb.addSheet("S").setNumber(65537, 1, 1); }, "65,536 行"},
        {"columns", [](ss::Workbook& wb) { wb.addSheet("S").setNumber(1, 257, 1); }, "256 列"},
        {"merge",
         [](ss::Workbook& wb) {
             wb.addSheet("S").merges.push_back({1, 250, 2, 300});
         },
         "256 列"},
        {"text",
         [](ss::Workbook& wb) {
             wb.addSheet("S").setString(1, 1, wb.strings.add(std::string(32768, 'a')));
         },
         "32,767 个字符"},
        {"name", [](ss::Workbook& wb) { wb.addSheet(std::string(32, 'n')); }, "31 个字符"},
    };
    fs::path dir = tempDir();
    for (const Case& c : cases) {
        ss::Workbook wb;
        c.build(wb);
        auto problem = ss::xlsLimitProblem(wb);
        ASSERT_TRUE(problem.has_value()) << c.what;
        EXPECT_NE(problem->find(c.reason), std::string::npos) << c.what << ": " << *problem;
        fs::path file = dir / "refused.xls";
        auto st = ss::saveWorkbook(wb, file, ss::FileFormat::Xls);
        ASSERT_FALSE(st.ok()) << c.what;
        EXPECT_EQ(st.message().rfind("无法保存 " + file.string() + "：", 0), 0u);
        EXPECT_TRUE(fs::is_empty(dir)) << c.what;
    }
    ss::Workbook fits;
    fits.addSheet(std::string(31, 'n'))
        .setString(65536, 256, fits.strings.add(std::string(32767, 'a')));
    EXPECT_FALSE(ss::xlsLimitProblem(fits).has_value());
}

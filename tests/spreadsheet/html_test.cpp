// Web pages saved as workbooks, in the shapes banks, ERP systems and web reports write them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "spreadsheet/html/html.h"
#include "spreadsheet/io/io.h"

namespace fs = std::filesystem;

namespace {

std::unique_ptr<ss::Workbook> read(const std::string& page, const std::string& base = "流水") {
    auto r = ss::readHtmlMemory(page, base);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.message());
    return r.ok() ? std::move(r).value() : nullptr;
}

const ss::Cell* at(const ss::Workbook& wb, uint32_t row, uint32_t col, size_t sheet = 0) {
    return wb.sheets[sheet]->find(row, col);
}

std::string text(const ss::Workbook& wb, uint32_t row, uint32_t col, size_t sheet = 0) {
    const ss::Cell* c = at(wb, row, col, sheet);
    if (!c) return "<none>";
    if (c->type != ss::CellType::String) return "<not text>";
    return std::string(wb.strings.text(c->sst));
}

std::string formatOf(const ss::Workbook& wb, const ss::Cell& c) {
    return wb.styles.numberFormatCode(wb.styles.cellXfs[c.style].numFmtId);
}

const ss::Font& fontOf(const ss::Workbook& wb, const ss::Cell& c) {
    return wb.styles.fonts[wb.styles.cellXfs[c.style].fontId];
}

std::string page(const std::string& body, const std::string& head = "") {
    return "<html><head>" + head + "</head><body>" + body + "</body></html>";
}

}  // namespace

TEST(HtmlRead, EncodingsDeclaredOrSniffed) {
    // 日期 and 金额 as GBK bytes, and as UTF-8.
    const std::string gbk = "<tr><td>\xC8\xD5\xC6\xDA</td><td>\xBD\xF0\xB6\xEE</td></tr>";
    const std::string utf8 = "<tr><td>日期</td><td>金额</td></tr>";
    const std::string big5 = "<tr><td>\xA4\xE9\xB4\xC1</td><td>\xAA\xF7\xC3\x42</td></tr>";
    struct Case {
        const char* what;
        std::string bytes;
        const char* amount = "金额";
    };
    const Case cases[] = {
        {"meta charset", "<html><head><meta charset=gbk><title>t</title></head><table>" + gbk},
        {"http-equiv",
         "<html><head><meta http-equiv=\"Content-Type\" "
         "content=\"text/html; charset=GB2312\"></head><table>" +
             gbk},
        {"none: GB18030", "<table>" + gbk + "</table>"},
        {"utf-8 bom", "\xEF\xBB\xBF<table>" + utf8},
        {"utf-8 under a stale gb2312 meta",
         "<meta http-equiv=Content-Type content='text/html; charset=gb2312'><table>" + utf8},
        {"big5", "<meta charset=big5><table>" + big5, "金額"},
    };
    for (const Case& c : cases) {
        auto wb = read(c.bytes);
        ASSERT_TRUE(wb) << c.what;
        EXPECT_EQ(text(*wb, 1, 1), "日期") << c.what;
        EXPECT_EQ(text(*wb, 1, 2), c.amount) << c.what;
    }
    // A declared single-byte page keeps its charset even for a byte the charset leaves out.
    auto latin = read("<meta charset=windows-1252><table><tr><td>caf\xE9\x81</td>");
    ASSERT_TRUE(latin);
    EXPECT_EQ(text(*latin, 1, 1).substr(0, 5), "caf\u00E9");  // not the GBK character E981
}

TEST(HtmlRead, BankStatementTakesTheDataTableAndNamesWhatItLeft) {
    std::string rows;
    for (int i = 1; i <= 8; ++i)
        rows += "<tr><td>2024-01-0" + std::to_string(i) + "</td><td>1,234.5" + std::to_string(i) +
                "</td><td>摘要" + std::to_string(i) + "</td></tr>";
    auto wb =
        read(page("<table><tr><td colspan=3><b>账户交易明细</b></td></tr></table>"
                  "<table><tr><td>账号：</td><td>6222020200112233445</td></tr>"
                  "<tr><td>期间：</td><td>2024年1月</td></tr></table>"
                  "<table border=1><tr><th>交易日期</th><th>金额</th><th>摘要</th></tr>" +
                      rows +
                      "</table>"
                      "<table><tr><td>合计</td><td>9,876.00</td></tr></table>",
                  "<title>交易明细 [2024]</title>"));
    ASSERT_TRUE(wb);
    ASSERT_EQ(wb->sheets.size(), 1u);
    EXPECT_EQ(wb->sheets[0]->name, "交易明细 _2024_");
    EXPECT_EQ(text(*wb, 1, 1), "交易日期");
    EXPECT_EQ(at(*wb, 9, 2)->number, 1234.58);
    EXPECT_EQ(wb->sheets[0]->rows().back().index, 9u);
    ASSERT_EQ(wb->readNotes.size(), 1u);
    EXPECT_EQ(wb->readNotes[0],
              "[交易明细 _2024_] 网页中有4个表格，只读取了最大的一个（第3个，9行），其余3个未读取");

    // Tables of like size are each a sheet, named after their captions, else the title.
    auto two = read(page("<table><caption>一部</caption>" + rows + "</table><table>" + rows +
                             "</table><table>" + rows + "</table>",
                         "<title>月报</title>"));
    ASSERT_TRUE(two);
    ASSERT_EQ(two->sheets.size(), 3u);
    EXPECT_EQ(two->sheets[0]->name, "一部");
    EXPECT_EQ(two->sheets[1]->name, "月报");
    EXPECT_EQ(two->sheets[2]->name, "月报_2");
    EXPECT_TRUE(two->readNotes.empty());
}

TEST(HtmlRead, NestedTablesAreTheirOwnAndLayoutFramesAreNoSheets) {
    // A layout frame holds a header table and the data table; a cell of the data table holds
    // a small table of its own.
    auto wb =
        read(page("<table><tr><td><table><tr><td>报表</td></tr></table></td></tr>"
                  "<tr><td><table id=data>"
                  "<tr><td>a</td><td>b</td><td>c</td></tr>"
                  "<tr><td>d</td><td>前<table><tr><td>内</td></tr></table>后</td>"
                  "<td>f</td></tr></table></td></tr></table>"));
    ASSERT_TRUE(wb);
    ASSERT_EQ(wb->sheets.size(), 1u);
    EXPECT_EQ(text(*wb, 1, 1), "a");
    EXPECT_EQ(text(*wb, 2, 2), "前后");
    EXPECT_EQ(text(*wb, 2, 3), "f");
    ASSERT_EQ(wb->readNotes.size(), 1u);
    EXPECT_NE(wb->readNotes[0].find("网页中有3个表格"), std::string::npos);
}

TEST(HtmlRead, SpansBecomeMergedCellsWithinBounds) {
    auto wb =
        read(page("<table>"
                  "<tr><td rowspan=2>A</td><td colspan=2 rowspan=x>B</td><td>C</td></tr>"
                  "<tr><td>D</td><td rowspan=9>E</td><td>F</td></tr>"
                  "<tr><td>G</td><td colspan=3>H</td></tr>"
                  "<tfoot><tr><td colspan=100000>尾</td><td>x</td></tr></tfoot>"
                  "</table>"));
    ASSERT_TRUE(wb);
    const ss::Worksheet& ws = *wb->sheets[0];
    std::vector<std::string> merges;
    for (const ss::CellRange& m : ws.merges) merges.push_back(m.toA1());
    // E's rowspan ends with its section; H stops where E holds column C (no merge is left); the
    // footer's colspan is that of a browser (1000).
    EXPECT_EQ(merges, (std::vector<std::string>{"A1:A2", "B1:C1", "C2:C3", "A4:ALL4"}));
    EXPECT_EQ(text(*wb, 2, 2), "D");
    EXPECT_EQ(text(*wb, 2, 3), "E");
    EXPECT_EQ(text(*wb, 2, 4), "F");
    EXPECT_EQ(text(*wb, 3, 1), "G");
    EXPECT_EQ(text(*wb, 3, 2), "H");
    EXPECT_EQ(text(*wb, 4, 1001), "x");
    EXPECT_EQ(ws.cellCount(), 10u);
}

TEST(HtmlRead, ValuesAsTheCsvReaderTypesThemUnlessThePageSaysText) {
    struct Case {
        const char* cell;  // the <td ...>...</td> as written
        ss::CellType type;
        double number;
        const char* format;  // for numbers; the text for strings
    };
    const Case cases[] = {
        {"<td>1,234.50</td>", ss::CellType::Number, 1234.5, "#,##0.00"},
        {"<td>-42</td>", ss::CellType::Number, -42, "General"},
        {"<td>(1,234.50)</td>", ss::CellType::Number, -1234.5, "#,##0.00_);(#,##0.00)"},
        {"<td>12.5%</td>", ss::CellType::Number, 0.125, "0.00%"},
        {"<td>2024-01-05</td>", ss::CellType::Number, 45296, "m/d/yyyy"},
        {"<td>2024/1/5 12:30</td>", ss::CellType::Number, 45296.5208333333, "m/d/yyyy h:mm"},
        {"<td>&nbsp;3.5&nbsp;</td>", ss::CellType::Number, 3.5, "General"},
        {"<td>00123</td>", ss::CellType::String, 0, "00123"},
        {"<td>110101199001011234</td>", ss::CellType::String, 0, "110101199001011234"},
        {"<td class=xl65>123456</td>", ss::CellType::String, 0, "123456"},
        {"<td class=xl65>00123</td>", ss::CellType::String, 0, "00123"},
        {"<td style='mso-number-format:\"\\@\"'>6222020200112233</td>", ss::CellType::String, 0,
         "6222020200112233"},
        {"<td style=\"mso-number-format:'0\\.00'\">7</td>", ss::CellType::Number, 7, "0.00"},
        {"<td style='mso-number-format:Percent'>25%</td>", ss::CellType::Number, 0.25, "0.00%"},
        {"<td style='mso-number-format:\"Short Date\"'>2024-03-01</td>", ss::CellType::Number,
         45352, "m/d/yyyy"},
        {"<td class=xl66>2024-03-01</td>", ss::CellType::Number, 45352, "yyyy\\-mm\\-dd"},
        {"<td x:num=\"1234.5678\">1,234.57</td>", ss::CellType::Number, 1234.5678, "#,##0.00"},
        {"<td x:str>123</td>", ss::CellType::String, 0, "123"},
        {"<td>TRUE</td>", ss::CellType::Boolean, 1, ""},
    };
    const std::string css =
        "<style><!--\n.xl65 {mso-style-parent:style0; mso-number-format:\"\\@\";}"
        "\n.xl66\n{mso-number-format:\"yyyy\\\\-mm\\\\-dd\";}\n--></style>";
    for (const Case& c : cases) {
        auto wb = read(page(std::string("<table><tr>") + c.cell + "</tr></table>", css));
        ASSERT_TRUE(wb) << c.cell;
        const ss::Cell* cell = at(*wb, 1, 1);
        ASSERT_NE(cell, nullptr) << c.cell;
        EXPECT_EQ(cell->type, c.type) << c.cell;
        if (c.type == ss::CellType::Number) {
            EXPECT_NEAR(cell->number, c.number, 1e-9) << c.cell;
            EXPECT_EQ(formatOf(*wb, *cell), c.format) << c.cell;
        } else if (c.type == ss::CellType::String) {
            EXPECT_EQ(wb->strings.text(cell->sst), c.format) << c.cell;
        } else {
            EXPECT_EQ(cell->boolean, c.number != 0) << c.cell;
        }
    }
}

TEST(HtmlRead, OfficePageWithItsStyleBlockAndStatedValues) {
    const std::string bytes =
        "<html xmlns:o=\"urn:schemas-microsoft-com:office:office\"\n"
        "xmlns:x=\"urn:schemas-microsoft-com:office:excel\">\n<head>\n"
        "<meta http-equiv=Content-Type content=\"text/html; charset=gb2312\">\n"
        "<meta name=ProgId content=Excel.Sheet>\n<style>\n<!--table\n"
        "\t{mso-displayed-decimal-separator:\"\\.\";}\n"
        "@page\n\t{margin:.75in .7in .75in .7in;}\n"
        "td\n\t{mso-style-parent:style0;color:windowtext;font-weight:400;\n"
        "\tmso-number-format:General;text-align:general;vertical-align:bottom;}\n"
        ".xl65\n\t{mso-style-parent:style0;mso-number-format:\"\\@\";}\n"
        ".xl66\n\t{mso-style-parent:style0;font-weight:700;background:#FFFF00;\n"
        "\tmso-pattern:black none;}\n-->\n</style>\n"
        "<!--[if gte mso 9]><xml>\n <x:ExcelWorkbook></x:ExcelWorkbook>\n</xml><![endif]-->\n"
        "</head>\n<body link=blue vlink=purple>\n"
        "<table border=0 cellpadding=0 cellspacing=0 width=216 "
        "style='border-collapse:collapse;table-layout:fixed;width:162pt'>\n"
        " <col width=72 span=3 style='width:54pt'>\n"
        " <tr height=18 style='height:13.5pt'>\n"
        "  <td height=18 class=xl66 width=72 style='height:13.5pt;width:54pt'>"
        "\xC8\xD5\xC6\xDA</td>\n"                                               // 日期
        "  <td class=xl65 width=72 style='width:54pt'>\xD5\xCB\xBA\xC5</td>\n"  // 账号
        "  <td class=xl66 width=72 style='width:54pt'>\xBD\xF0\xB6\xEE</td>\n"  // 金额
        " </tr>\n <tr height=18 style='height:13.5pt'>\n"
        "  <td height=18 style='height:13.5pt'>2024-01-05</td>\n"
        "  <td class=xl65>000123456789012345</td>\n"
        "  <td align=right x:num=\"1234.5\">1,234.50 </td>\n"
        " </tr>\n <![if supportMisalignedColumns]>\n <tr height=0 style='display:none'>\n"
        "  <td width=72 style='width:54pt'></td>\n </tr>\n <![endif]>\n</table>\n"
        "</body>\n</html>\n";
    ASSERT_TRUE(ss::looksLikeHtml(bytes));
    auto wb = read(bytes, "导出");
    ASSERT_TRUE(wb);
    ASSERT_EQ(wb->sheets.size(), 1u);
    EXPECT_EQ(wb->sheets[0]->name, "导出");
    EXPECT_EQ(text(*wb, 1, 1), "日期");
    EXPECT_EQ(text(*wb, 1, 2), "账号");
    EXPECT_TRUE(fontOf(*wb, *at(*wb, 1, 1)).bold);
    EXPECT_FALSE(fontOf(*wb, *at(*wb, 1, 2)).bold);
    EXPECT_EQ(wb->styles.fills[wb->styles.cellXfs[at(*wb, 1, 3)->style].fillId].fg,
              ss::Color::rgb(0xFFFFFF00));
    // The page's General leaves a date its date format.
    EXPECT_EQ(at(*wb, 2, 1)->number, 45296);
    EXPECT_EQ(formatOf(*wb, *at(*wb, 2, 1)), "m/d/yyyy");
    EXPECT_EQ(text(*wb, 2, 2), "000123456789012345");
    EXPECT_EQ(at(*wb, 2, 3)->number, 1234.5);
    EXPECT_EQ(formatOf(*wb, *at(*wb, 2, 3)), "#,##0.00");
    EXPECT_EQ(wb->sheets[0]->rows().size(), 2u);
    ASSERT_EQ(wb->sheets[0]->columns.size(), 1u);
    EXPECT_EQ(wb->sheets[0]->columns[0].last, 3u);
}

TEST(HtmlRead, TextAsTheBrowserShowsIt) {
    auto wb =
        read(page("<table><tr>"
                  "<td>\n  北京市\n  朝阳区 <br>  建国路1号<br></td>"
                  "<td>a&nbsp;&nbsp;b   c</td>"
                  "<td><div>第一行</div><div>第二行</div></td>"
                  "<td>&nbsp;</td>"
                  "<td><script>x=1</script>可见<span style='display:none'>隐藏</span></td>"
                  "</tr></table>"));
    ASSERT_TRUE(wb);
    EXPECT_EQ(text(*wb, 1, 1), "北京市 朝阳区\n建国路1号");
    EXPECT_TRUE(wb->styles.cellXfs[at(*wb, 1, 1)->style].alignment.wrapText);
    EXPECT_EQ(text(*wb, 1, 2), "a  b c");
    EXPECT_FALSE(wb->styles.cellXfs[at(*wb, 1, 2)->style].alignment.wrapText);
    EXPECT_EQ(text(*wb, 1, 3), "第一行\n第二行");
    EXPECT_EQ(at(*wb, 1, 4), nullptr);
    EXPECT_EQ(text(*wb, 1, 5), "可见");
}

TEST(HtmlRead, StylesTheCellsShow) {
    auto wb = read(
        page("<table bgcolor=#FFFF00>"
             "<colgroup><col width=140><col span=2 style='width:54pt'></colgroup>"
             "<tr><th>表头</th><td><b>粗</b></td><td style='font-weight:700;color:#F00'>红</td>"
             "<td class=fill>填</td><td align=right bgcolor=\"00ff00\">右</td>"
             "<td><font color=blue>蓝</font>和黑</td></tr></table>",
             "<style>td.fill{background:#C0C0C0 none;text-align:center} "
             "th{color:navy}</style>"));
    ASSERT_TRUE(wb);
    const ss::Workbook& w = *wb;
    auto xf = [&](uint32_t col) { return w.styles.cellXfs[at(w, 1, col)->style]; };
    auto fill = [&](uint32_t col) { return w.styles.fills[xf(col).fillId].fg.value; };
    EXPECT_TRUE(fontOf(w, *at(w, 1, 1)).bold);
    EXPECT_EQ(fontOf(w, *at(w, 1, 1)).color, ss::Color::rgb(0xFF000080));
    EXPECT_EQ(xf(1).alignment.horizontal, "center");
    EXPECT_TRUE(fontOf(w, *at(w, 1, 2)).bold);
    EXPECT_TRUE(fontOf(w, *at(w, 1, 3)).bold);
    EXPECT_EQ(fontOf(w, *at(w, 1, 3)).color, ss::Color::rgb(0xFFFF0000));
    EXPECT_EQ(fill(2), 0xFFFFFF00u);  // the table's
    EXPECT_EQ(fill(4), 0xFFC0C0C0u);
    EXPECT_EQ(xf(4).alignment.horizontal, "center");
    EXPECT_EQ(fill(5), 0xFF00FF00u);
    EXPECT_EQ(xf(5).alignment.horizontal, "right");
    EXPECT_EQ(fontOf(w, *at(w, 1, 6)), w.styles.fonts[0]);  // only part of the text is blue

    const auto& cols = w.sheets[0]->columns;
    ASSERT_EQ(cols.size(), 2u);
    EXPECT_EQ(cols[0].first, 1u);
    EXPECT_EQ(cols[0].width, 20.0);
    EXPECT_EQ(cols[1].first, 2u);
    EXPECT_EQ(cols[1].last, 3u);
    EXPECT_NEAR(cols[1].width, 72.0 / 7, 0.01);
}

TEST(HtmlRead, HostilePagesAreRefusedQuickly) {
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* what;
        std::string bytes;
        ss::ReadLimits limits;
    };
    ss::ReadLimits small;
    small.maxTotalBytes = 8 << 20;
    std::string cells = "<table><tr>", deep;
    for (int i = 0; i < 200000; ++i) cells += "<td>";
    for (int i = 0; i < 1000000; ++i) deep += "<div>";
    const Case cases[] = {
        {"beyond the page cap", std::string((8 << 20) + 1, ' '), {}},
        {"nesting that makes the parser quadratic", deep, {}},
        {"parse tree beyond its budget", cells, small},
    };
    for (const Case& c : cases) {
        auto start = Clock::now();
        auto r = ss::readHtmlMemory(c.bytes, "x", c.limits);
        auto took = std::chrono::duration<double>(Clock::now() - start).count();
        ASSERT_FALSE(r.ok()) << c.what;
        EXPECT_EQ(r.message().rfind("无法打开文件 x：", 0), 0u) << r.message();
        EXPECT_LT(took, 30.0) << c.what;  // seconds of processor time at most, not minutes
    }

    // Spans: a million cells are never made from one.
    auto wb =
        read(page("<table><tr><td colspan=100000 rowspan=100000>x</td></tr>"
                  "<tr><td>y</td></tr></table>"));
    ASSERT_TRUE(wb);
    EXPECT_EQ(wb->sheets[0]->cellCount(), 2u);

    auto none = ss::readHtmlMemory(page("<p>会话已超时，请重新登录</p>"), "x");
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.message(), "无法打开文件 x：网页中没有含有内容的表格。");
}

TEST(HtmlRead, LooksLikeHtml) {
    struct Case {
        std::string head;
        bool html;
    };
    const Case cases[] = {
        {"<!DOCTYPE html>\n<html>", true},
        {"\xEF\xBB\xBF  \r\n<HTML>", true},
        {"<html xmlns:o=\"urn:schemas-microsoft-com:office:office\"\nxmlns:x=", true},
        {"<!-- saved from url=(0014)about:internet -->\n<meta charset=gbk>", true},
        {"<table border=1><tr>", true},
        {"<Style>td{}</style>", true},
        {"<title>t</title>", true},
        {"<head>", true},
        {"<body", true},
        {"<?xml version=\"1.0\"?>\n<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0\">", true},
        {std::string("\xFF\xFE<\0h\0t\0m\0l\0>\0", 14), true},
        {"<?xml version=\"1.0\"?>\n<?mso-application progid=\"Excel.Sheet\"?>\n<Workbook "
         "xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\">",
         false},
        {"<tablex>", false},
        {"<htmlfoo>", false},
        {"日期,金额\n2024-01-01,<b>", false},
        {"a,b,c\n", false},
        {"", false},
        {"<!-- never closed", false},
    };
    for (const Case& c : cases) EXPECT_EQ(ss::looksLikeHtml(c.head), c.html) << c.head;
}

TEST(HtmlRead, SavedAsXlsxAnIndependentReaderSeesTheSame) {
    fs::path dir = fs::temp_directory_path() / ("tw_html_test_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path src = dir / "对账单.xls", out = dir / "out.xlsx";
    std::ofstream(src, std::ios::binary) << page(
        "<table><tr><th colspan=2>标题</th></tr>"
        "<tr><td style='mso-number-format:\"\\@\"'>00123</td><td>1,234.50</td></tr>"
        "<tr><td>2024-01-05</td><td>a<br>b</td></tr></table>");
    auto wb = ss::readHtml(src);
    ASSERT_TRUE(wb.ok()) << wb.message();
    EXPECT_EQ((*wb)->sheets[0]->name, "对账单");
    EXPECT_EQ((*wb)->sourcePath, src.string());
    ASSERT_TRUE(ss::saveWorkbook(**wb, out, ss::FileFormat::Xlsx).ok());
    std::string cmd =
        "/usr/bin/python3 -c \"import openpyxl,sys\n"
        "ws=openpyxl.load_workbook(sys.argv[1]).active\n"
        "print(ws.title, ws.merged_cells.ranges[0].coord, ws['A1'].font.b)\n"
        "for c in ('A2','B2','A3','B3'): print(repr(ws[c].value), ws[c].number_format)\n"
        "print(ws['B3'].alignment.wrap_text)\" " +
        out.string();
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string got;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) got += buf;
    ASSERT_EQ(pclose(p), 0) << got;
    EXPECT_EQ(got,
              "对账单 A1:B1 True\n'00123' @\n1234.5 #,##0.00\n"
              "datetime.datetime(2024, 1, 5, 0, 0) mm-dd-yy\n'a\\nb' General\nTrue\n");
    fs::remove_all(dir);
}

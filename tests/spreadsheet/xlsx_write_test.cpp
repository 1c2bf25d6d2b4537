// Writing .xlsx packages: round trips of the model, what is left out or kept, numbers, large
// workbooks, and parts deflated on a helper thread.
#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "spreadsheet/io/io.h"
#include "spreadsheet/xlsx/package.h"
#include "spreadsheet/xlsx/part_deflater.h"
#include "spreadsheet/xlsx/xlsx.h"
#include "xlsx_fixtures.h"

namespace fs = std::filesystem;

namespace {

using xlsxtest::expectRichSheet;
using xlsxtest::formulaOf;
using xlsxtest::kRel;
using xlsxtest::kRichSheet;
using xlsxtest::package;
using xlsxtest::TempDir;
using xlsxtest::writeZip;

TEST(XlsxWrite, RoundTripKeepsTheModel) {
    TempDir dir;
    fs::path src = dir / "rich.xlsx";
    writeZip(src, package(kRichSheet));
    auto wb = ss::openWorkbook(src);
    ASSERT_TRUE(wb.ok()) << wb.message();
    fs::path out = dir / "out.xlsx";
    ASSERT_TRUE(ss::saveWorkbook(**wb, out, ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(out);
    ASSERT_TRUE(back.ok()) << back.message();
    // The chart sheet is written back as it was read; the rest reads back the same.
    ASSERT_EQ((*back)->sheets.size(), 3u);
    EXPECT_EQ((*back)->sheets.back()->kind, ss::SheetKind::Chartsheet);
    expectRichSheet(**back);
}

TEST(XlsxWrite, OnlyUsedStylesAndStringsAndRecalcFlag) {
    TempDir dir;
    ss::Workbook wb;
    ss::Worksheet& ws = wb.addSheet("表一");
    ss::Font big;
    big.size = 20;
    ss::CellFormat unused;
    unused.fontId = wb.styles.internFont(big);
    uint32_t unusedXf = wb.styles.internCellFormat(unused);
    ss::CellFormat used;
    used.numFmtId = wb.styles.internNumberFormat("0.000");
    uint32_t usedXf = wb.styles.internCellFormat(used);
    ASSERT_EQ(usedXf, unusedXf + 1);
    wb.strings.add("never used");
    ws.setString(1, 1, wb.strings.add("x"), usedXf);
    ws.setString(2, 1, wb.strings.add("x"), 0);
    ws.setNumber(3, 1, 2.5, usedXf);
    ws.setFormula(3, 1, ss::Formula{"A1&\"<\"", false, {}});

    fs::path out = dir / "o.xlsx";
    ASSERT_TRUE(ss::saveWorkbook(wb, out, ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(out);
    ASSERT_TRUE(back.ok()) << back.message();
    const ss::Workbook& b = **back;
    EXPECT_EQ(b.styles.cellXfs.size(), 2u);
    EXPECT_EQ(b.styles.fonts.size(), 1u);
    EXPECT_EQ(b.strings.size(), 1u);
    const ss::Worksheet& bs = *b.sheets[0];
    EXPECT_EQ(b.styles.numberFormatCode(b.styles.cellXfs[bs.find(3, 1)->style].numFmtId), "0.000");
    EXPECT_EQ(formulaOf(bs, 3, 1), "A1&\"<\"");

    zip_t* z = zip_open(out.c_str(), ZIP_RDONLY, nullptr);
    ASSERT_NE(z, nullptr);
    zip_file_t* f = zip_fopen(z, "xl/workbook.xml", 0);
    ASSERT_NE(f, nullptr);
    char buf[4096];
    zip_int64_t n = zip_fread(f, buf, sizeof buf);
    zip_fclose(f);
    zip_discard(z);
    EXPECT_NE(std::string(buf, size_t(n)).find("fullCalcOnLoad=\"1\""), std::string::npos);
}

TEST(XlsxWrite, LeavesOutWhatReadersWouldRepair) {
    // A sheet copied from another workbook: overlapping merges, and a conditional format that
    // names a differential format this workbook does not have.
    TempDir dir;
    ss::Workbook wb;
    ss::Worksheet& ws = wb.addSheet("S");
    ws.merges = {{1, 1, 2, 2}, {2, 2, 3, 3}, {5, 1, 5, 4}};
    ws.preserved.push_back(
        {"conditionalFormatting",
         "<conditionalFormatting sqref=\"A1\"><cfRule type=\"expression\" dxfId=\"3\" "
         "priority=\"1\"><formula>TRUE</formula></cfRule></conditionalFormatting>"});
    // Font families beyond the 0-14 the format allows, as .xls files of some writers give them.
    const int families[] = {34, 2};
    for (uint32_t i = 0; i < 2; ++i) {
        ss::Font f;
        f.name = "Arial";
        f.family = families[i];
        ss::CellFormat xf;
        xf.fontId = wb.styles.internFont(f);
        ws.setNumber(7, i + 1, 1, wb.styles.internCellFormat(xf));
    }
    ASSERT_TRUE(ss::saveWorkbook(wb, dir / "o.xlsx", ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(dir / "o.xlsx");
    ASSERT_TRUE(back.ok()) << back.message();
    const ss::Worksheet& b = *(*back)->sheets[0];
    ASSERT_EQ(b.merges.size(), 2u);
    EXPECT_EQ(b.merges[0].toA1(), "A1:B2");
    EXPECT_EQ(b.merges[1].toA1(), "A5:D5");
    EXPECT_TRUE(b.preserved.empty());
    auto zip = ss::xlsx::ZipReader::open(dir / "o.xlsx", {});
    ASSERT_TRUE(zip.ok()) << zip.message();
    std::string styles;
    ASSERT_TRUE((*zip)->readAll("xl/styles.xml", styles).ok());
    EXPECT_EQ(styles.find("<family val=\"34\"/>"), std::string::npos) << styles;
    EXPECT_NE(styles.find("<family val=\"2\"/>"), std::string::npos) << styles;
}

TEST(XlsxWrite, HyperlinksOutOfTheWorkbookKeepTheirTargets) {
    // Two cells link to the same address, one to a mail address, one inside the workbook; one
    // names a relationship that is not a hyperlink and one a relationship that does not exist:
    // those two have no target to keep.
    TempDir dir;
    auto parts = package(
        "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>"
        "<hyperlinks><hyperlink ref=\"A1\" r:id=\"h1\" tooltip=\"web\"/>"
        "<hyperlink ref=\"A2\" r:id=\"h2\"/><hyperlink ref=\"A3\" r:id=\"h3\"/>"
        "<hyperlink ref=\"A4\" location=\"Secret!A1\" display=\"in\"/>"
        "<hyperlink ref=\"A5\" r:id=\"img\"/><hyperlink ref=\"A6\" r:id=\"gone\"/>"
        "</hyperlinks>");
    parts["book/ws/_rels/a.xml.rels"] =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"h1\" Type=\"" +
        kRel +
        "hyperlink\" Target=\"https://example.com/a?b=1&amp;c=2\" TargetMode=\"External\"/>"
        "<Relationship Id=\"h2\" Type=\"" +
        kRel +
        "hyperlink\" Target=\"mailto:x@example.com\" TargetMode=\"External\"/>"
        "<Relationship Id=\"h3\" Type=\"" +
        kRel +
        "hyperlink\" Target=\"https://example.com/a?b=1&amp;c=2\" TargetMode=\"External\"/>"
        "<Relationship Id=\"img\" Type=\"" +
        kRel +
        "image\" Target=\"../media/i.png\"/>"
        "</Relationships>";
    writeZip(dir / "in.xlsx", parts);
    auto wb = ss::openWorkbook(dir / "in.xlsx");
    ASSERT_TRUE(wb.ok()) << wb.message();
    const std::vector<std::string> targets = {"https://example.com/a?b=1&c=2",
                                              "mailto:x@example.com"};
    EXPECT_EQ((*wb)->sheets[0]->externalLinks, targets);
    ASSERT_TRUE(ss::saveWorkbook(**wb, dir / "out.xlsx", ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(dir / "out.xlsx");
    ASSERT_TRUE(back.ok()) << back.message();
    const ss::Worksheet& b = *(*back)->sheets[0];
    EXPECT_EQ(b.externalLinks, targets);
    ASSERT_EQ(b.preserved.size(), 1u);
    const std::string& xml = b.preserved[0].xml;
    for (const char* kept : {"ref=\"A1\"", "ref=\"A2\"", "ref=\"A3\"", "location=\"Secret!A1\""})
        EXPECT_NE(xml.find(kept), std::string::npos) << kept << " in " << xml;
    for (const char* dropped : {"ref=\"A5\"", "ref=\"A6\""})
        EXPECT_EQ(xml.find(dropped), std::string::npos) << dropped << " in " << xml;
}

TEST(XlsxWrite, RefusesInvalidSheetNamesAndKeepsVbaInXlsm) {
    TempDir dir;
    ss::Workbook wb;
    wb.addSheet("a/b");
    auto st = ss::saveWorkbook(wb, dir / "bad.xlsx", ss::FileFormat::Xlsx);
    ASSERT_FALSE(st.ok());
    EXPECT_NE(st.message().find("a/b"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "bad.xlsx"));

    ss::Workbook m;
    m.addSheet("S");
    m.vbaProject = std::string("\xD0\xCF\x11\xE0 vba bytes", 14);
    ASSERT_TRUE(ss::saveWorkbook(m, dir / "m.xlsm", ss::FileFormat::Xlsm).ok());
    auto back = ss::openWorkbook(dir / "m.xlsm");
    ASSERT_TRUE(back.ok()) << back.message();
    EXPECT_EQ((*back)->vbaProject, m.vbaProject);
}

std::string inflateRaw(const std::vector<std::vector<unsigned char>>& pieces) {
    std::vector<unsigned char> data;
    for (const auto& p : pieces) data.insert(data.end(), p.begin(), p.end());
    z_stream z{};
    inflateInit2(&z, -15);
    std::string out(1 << 16, '\0');
    size_t have = 0;
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (have == out.size()) out.resize(out.size() * 2);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + have);
        z.avail_out = uInt(out.size() - have);
        rc = inflate(&z, Z_NO_FLUSH);
        have = out.size() - z.avail_out;
    }
    inflateEnd(&z);
    EXPECT_EQ(rc, Z_STREAM_END);
    out.resize(have);
    return out;
}

TEST(XlsxWrite, PartsDeflatedOnAHelperThreadMatchTheirBytes) {
    // Parts of several chunks, an empty part and small ones, deflated with and without the
    // helper thread: the same stream, which inflates back to the bytes, with their CRC and size.
    // Small parts met before are taken from those deflated lately: one of the same length but
    // other bytes must not be.
    std::vector<std::pair<std::string, std::string>> parts = {{"big", {}},       {"empty", {}},
                                                              {"small", "<a/>"}, {"big2", {}},
                                                              {"again", "<a/>"}, {"other", "<b/>"}};
    for (int i = 0; parts[0].second.size() < 3 * ss::xlsx::PartDeflater::kChunk; ++i)
        parts[0].second += "<row r=\"" + std::to_string(i) + "\"><c t=\"s\"><v>" +
                           std::to_string(i * 7919 % 100003) + "</v></c></row>";
    parts[3].second = parts[0].second.substr(12345);
    std::vector<ss::xlsx::DeflatedPart> results[2];
    for (bool threaded : {false, true}) {
        ss::xlsx::PartDeflater d(1, threaded);
        for (const auto& [name, bytes] : parts) {
            d.begin(name);
            for (size_t at = 0; at < bytes.size(); at += 1000) {  // as a writer appends rows
                d.out().append(bytes, at, 1000);
                d.flushIfFull();
            }
            d.end();
        }
        auto r = d.finish();
        ASSERT_TRUE(r.ok()) << r.message();
        results[threaded] = std::move(r.value());
    }
    for (const auto& got : results) {
        ASSERT_EQ(got.size(), parts.size());
        for (size_t i = 0; i < parts.size(); ++i) {
            const std::string& bytes = parts[i].second;
            EXPECT_EQ(got[i].name, parts[i].first);
            EXPECT_EQ(got[i].size, bytes.size());
            EXPECT_EQ(got[i].crc, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(bytes.data()),
                                                 uInt(bytes.size()))));
            EXPECT_TRUE(inflateRaw(got[i].pieces) == bytes) << parts[i].first;
        }
    }
    for (size_t i = 0; i < parts.size(); ++i)
        EXPECT_TRUE(results[0][i].pieces == results[1][i].pieces);
}

TEST(XlsxWrite, NumbersRoundTripExactly) {
    // Whole numbers take a shorter path both ways; every value must come back bit for bit.
    const double values[] = {0.0,         -0.0,
                             1.0,         -1.0,
                             45292.0,     123456789012345.0,
                             1e15,        -1e15,
                             1e15 + 2,    9007199254740993.0,
                             1e16,        0.1,
                             -2.5,        3566.3999999999996,
                             1e-300,      1e300,
                             4294967296.0};
    TempDir dir;
    ss::Workbook wb;
    ss::Worksheet& ws = wb.addSheet("N");
    uint32_t r = 0;
    for (double v : values) ws.setNumber(++r, 1, v);
    ASSERT_TRUE(ss::saveWorkbook(wb, dir / "n.xlsx", ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(dir / "n.xlsx");
    ASSERT_TRUE(back.ok()) << back.message();
    r = 0;
    for (double v : values) {
        const ss::Cell* c = (*back)->sheets[0]->find(++r, 1);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(std::memcmp(&c->number, &v, sizeof v), 0) << v << " came back as " << c->number;
    }
}

TEST(XlsxWrite, WritingOverALongerFileLeavesOnlyTheNewWorkbook) {
    // A small workbook is written into the file as a whole; an older, longer file at the path
    // must not leave its tail behind the new archive.
    TempDir dir;
    const fs::path out = dir / "w.xlsx";
    std::ofstream(out, std::ios::binary) << std::string(200000, 'x');
    ss::Workbook wb;
    wb.addSheet("新").setNumber(1, 1, 42);
    ASSERT_TRUE(ss::writeXlsx(wb, out).ok());
    EXPECT_LT(fs::file_size(out), 20000u);
    auto back = ss::openWorkbook(out);
    ASSERT_TRUE(back.ok()) << back.message();
    EXPECT_EQ((*back)->sheets[0]->name, "新");
    EXPECT_EQ((*back)->sheets[0]->find(1, 1)->number, 42);
}

TEST(XlsxWrite, LargeWorkbookRoundTrips) {
    // Enough cells for the threaded writer, and parts (sheets, shared strings) of several chunks.
    TempDir dir;
    ss::Workbook wb;
    for (int s = 0; s < 2; ++s) {
        ss::Worksheet& ws = wb.addSheet("S" + std::to_string(s));
        for (uint32_t r = 1; r <= 30000; ++r) {
            ws.setString(r, 1, wb.strings.add("id-" + std::to_string(s) + "-" + std::to_string(r)));
            ws.setNumber(r, 2, r * 0.25);
            ws.setString(r, 3, wb.strings.add(r % 2 ? "甲" : "乙"));
        }
    }
    fs::path out = dir / "big.xlsx";
    ASSERT_TRUE(ss::saveWorkbook(wb, out, ss::FileFormat::Xlsx).ok());
    auto back = ss::openWorkbook(out);
    ASSERT_TRUE(back.ok()) << back.message();
    ASSERT_EQ((*back)->sheets.size(), 2u);
    for (int s = 0; s < 2; ++s) {
        const ss::Worksheet& a = *wb.sheets[size_t(s)];
        const ss::Worksheet& b = *(*back)->sheets[size_t(s)];
        ASSERT_EQ(a.cellCount(), b.cellCount());
        for (uint32_t r : {1u, 777u, 15000u, 30000u})
            for (uint32_t c = 1; c <= 3; ++c)
                EXPECT_EQ(wb.cellText(*a.find(r, c)), (*back)->cellText(*b.find(r, c)))
                    << r << "," << c;
    }
    // Every entry's CRC checks out in libzip's own reading.
    zip_t* z = zip_open(out.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, nullptr);
    ASSERT_NE(z, nullptr);
    for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i) {
        zip_file_t* f = zip_fopen_index(z, zip_uint64_t(i), 0);
        ASSERT_NE(f, nullptr);
        char buf[1 << 14];
        zip_int64_t n;
        while ((n = zip_fread(f, buf, sizeof buf)) > 0) {
        }
        EXPECT_EQ(n, 0) << zip_get_name(z, zip_uint64_t(i), 0);
        zip_fclose(f);
    }
    zip_discard(z);
}

}  // namespace

TEST(XlsxWrite, OutlineLevelsAreDeclaredInTheSheetFormat) {
    // Readers size the buttons of an outline by the deepest levels the sheet declares.
    TempDir dir;
    ss::Workbook wb;
    ss::Worksheet& grouped = wb.addSheet("Grouped");
    grouped.setNumber(1, 1, 1);
    grouped.row(2).outlineLevel = 1;
    grouped.row(3).outlineLevel = 2;
    ss::ColumnInfo col;
    col.first = 2;
    col.last = 4;
    col.outlineLevel = 3;
    grouped.columns.push_back(col);
    wb.addSheet("Flat").setNumber(1, 1, 1);
    ASSERT_TRUE(ss::saveWorkbook(wb, dir / "o.xlsx", ss::FileFormat::Xlsx).ok());
    auto zip = ss::xlsx::ZipReader::open(dir / "o.xlsx", {});
    ASSERT_TRUE(zip.ok()) << zip.message();
    std::string xml;
    ASSERT_TRUE((*zip)->readAll("xl/worksheets/sheet1.xml", xml).ok());
    const std::string format = xml.substr(xml.find("<sheetFormatPr"), 120);
    EXPECT_NE(format.find(" outlineLevelRow=\"2\""), std::string::npos) << format;
    EXPECT_NE(format.find(" outlineLevelCol=\"3\""), std::string::npos) << format;
    ASSERT_TRUE((*zip)->readAll("xl/worksheets/sheet2.xml", xml).ok());
    EXPECT_EQ(xml.find("outlineLevel"), std::string::npos) << xml;
}

// The budgets of reading a package (the ratio of every part, the nesting of its XML, what parts
// kept as bytes may cost) and kept parts that are not XML a reader can parse.
#include <gtest/gtest.h>
#include <zip.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "spreadsheet/io/io.h"
#include "spreadsheet/xlsx/package.h"
#include "spreadsheet/xlsx/xlsx.h"
#include "xlsx_fixtures.h"

namespace fs = std::filesystem;

namespace {

using xlsxtest::kRel;
using xlsxtest::package;
using xlsxtest::sheetXml;
using xlsxtest::TempDir;
using xlsxtest::writeZip;

// About `bytes` of `item` repeated, every `every`-th time with a pseudo-random text in place of
// "{}" (the rest: a fixed text): the rarer the random texts, the higher the compression ratio.
std::string repeated(size_t bytes, const std::string& item, int every) {
    std::string out;
    out.reserve(bytes + item.size() + 32);
    const size_t at = item.find("{}");
    uint64_t x = 88172645463325252ull;
    for (int i = 0; out.size() < bytes; ++i) {
        out.append(item, 0, at);
        if (i % every == 0) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            char hex[17];
            std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(x));
            out += hex;
        } else {
            out += "Tablaweaver sample text";
        }
        out.append(item, at + 2);
    }
    return out;
}

// The sample package with a drawing (`drawing`, as its part) on the first sheet.
std::map<std::string, std::string> withDrawing(const std::string& drawing) {
    auto p = package(
        "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>"
        "<drawing r:id=\"d1\"/>");
    p["book/ws/_rels/a.xml.rels"] =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"d1\" Type=\"" +
        kRel + "drawing\" Target=\"../d/drawing1.xml\"/></Relationships>";
    p["book/d/drawing1.xml"] = drawing;
    return p;
}

const std::string kDrawingRoot =
    "<xdr:wsDr xmlns:xdr=\"http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing\" "
    "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\">";

std::string nested(const std::string& name, int depth) {
    std::string out;
    for (int i = 0; i < depth; ++i) out += "<" + name + ">";
    for (int i = 0; i < depth; ++i) out += "</" + name + ">";
    return out;
}

TEST(XlsxBudget, HostilePartsAreRefusedWithTheReason) {
    TempDir dir;
    const struct Case {
        const char* name;
        std::map<std::string, std::string> parts;
        const char* reason;
    } cases[] = {
        // 40 MiB of string table at about 210:1: held whole in memory, it has the stricter
        // ratio of parts kept whole.
        {"strings.xlsx",
         [] {
             auto p = package(
                 "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>"
                 "</sheetData>");
             p["book/strings.xml"] =
                 "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">" +
                 repeated(40u << 20, "<si><t>{}</t></si>", 192) + "</sst>";
             return p;
         }(),
         "压缩炸弹"},
        // A drawing of 40 MiB at about 200:1, kept as bytes: refused, not left out in silence.
        {"drawing.xlsx",
         withDrawing(kDrawingRoot +
                     repeated(40u << 20,
                              "<xdr:sp><xdr:nvSpPr><xdr:cNvPr id=\"2\" name=\"{}\"/></xdr:nvSpPr>"
                              "</xdr:sp>",
                              128) +
                     "</xdr:wsDr>"),
         "压缩炸弹"},
        // Nesting: in a sheet (read through expat) and in a part kept as bytes.
        {"deep.xlsx",
         package("<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>" +
                 nested("extLst", 100000)),
         "嵌套"},
        {"deepdrawing.xlsx", withDrawing(kDrawingRoot + nested("xdr:grpSp", 1000) + "</xdr:wsDr>"),
         "嵌套"},
    };
    for (const Case& c : cases) {
        const fs::path file = dir / c.name;
        writeZip(file, c.parts);
        auto wb = ss::openWorkbook(file);
        ASSERT_FALSE(wb.ok()) << c.name;
        EXPECT_NE(wb.message().find(file.string()), std::string::npos) << wb.message();
        EXPECT_NE(wb.message().find(c.reason), std::string::npos) << wb.message();
    }
}

// Sets the inflated size the central directory gives every entry named `name`.
void claimSize(const fs::path& file, const std::string& name, uint32_t size) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), {});
    for (size_t at = bytes.find("PK\x01\x02"); at != std::string::npos;
         at = bytes.find("PK\x01\x02", at + 4)) {
        uint16_t nameLen = 0;
        std::memcpy(&nameLen, bytes.data() + at + 28, 2);
        if (bytes.compare(at + 46, nameLen, name) != 0) continue;
        f.seekp(std::streamoff(at + 24));
        f.write(reinterpret_cast<const char*>(&size), 4);
    }
}

TEST(XlsxBudget, ABombIsRefusedBeforeMuchOfItIsInflated) {
    // 128 MiB of one repeated item (about 1000:1). The size its directory declares refuses it
    // before a byte is inflated; a directory that understates it costs a few MiB.
    TempDir dir;
    const fs::path file = dir / "bomb.zip";
    writeZip(file, {{"bomb.xml", std::string(128u << 20, 'A')}});
    for (bool honest : {true, false}) {
        if (!honest) claimSize(file, "bomb.xml", 1000);
        auto zip = ss::xlsx::ZipReader::open(file, ss::ReadLimits{});
        ASSERT_TRUE(zip.ok()) << zip.message();
        std::string out;
        ss::Status st = (*zip)->readAll("bomb.xml", out);
        ASSERT_FALSE(st.ok());
        EXPECT_NE(st.message().find("压缩炸弹"), std::string::npos) << st.message();
        EXPECT_LE((*zip)->bytesRead(), honest ? 0u : 20u << 20) << honest;
    }
}

// Every XML part of the package at `file` parses.
void expectWellFormed(const fs::path& file) {
    int err = 0;
    zip_t* z = zip_open(file.c_str(), ZIP_RDONLY, &err);
    ASSERT_NE(z, nullptr);
    for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i) {
        const std::string name = zip_get_name(z, zip_uint64_t(i), 0);
        if (!name.ends_with(".xml") && !name.ends_with(".vml") && !name.ends_with(".rels"))
            continue;
        zip_stat_t st;
        zip_stat_index(z, zip_uint64_t(i), 0, &st);
        std::string data(st.size, '\0');
        zip_file_t* f = zip_fopen_index(z, zip_uint64_t(i), 0);
        ASSERT_EQ(zip_fread(f, data.data(), data.size()), zip_int64_t(data.size()));
        zip_fclose(f);
        struct Nothing : ss::xlsx::SaxHandler {
            void start(std::string_view, const char**) override {}
            void end(std::string_view) override {}
        } h;
        ss::Status ok = ss::xlsx::parseXmlText(data, name, h);
        EXPECT_TRUE(ok.ok()) << ok.message();
    }
    zip_close(z);
}

TEST(XlsxBudget, KeptPartsThatDoNotParseAreRepairedOrLeftOutAndNamed) {
    TempDir dir;
    // A drawing that is not XML: the workbook opens without it and says so.
    {
        const fs::path file = dir / "broken drawing.xlsx";
        writeZip(file, withDrawing(kDrawingRoot + "<xdr:sp></xdr:wsDr>"));
        auto wb = ss::openWorkbook(file);
        ASSERT_TRUE(wb.ok()) << wb.message();
        ASSERT_EQ((*wb)->readNotes.size(), 1u);
        EXPECT_NE((*wb)->readNotes[0].find("[Data] 部件 book/d/drawing1.xml"), std::string::npos)
            << (*wb)->readNotes[0];
        EXPECT_NE((*wb)->readNotes[0].find("已略过"), std::string::npos);
        const fs::path out = dir / "out1.xlsx";
        ASSERT_TRUE(ss::saveWorkbook(**wb, out, ss::FileFormat::Xlsx).ok());
        expectWellFormed(out);
    }
    // A legacy drawing whose button text leaves its line breaks open: closed, and kept.
    {
        auto p = package(
            "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>"
            "<legacyDrawing r:id=\"v1\"/>");
        p["book/ws/_rels/a.xml.rels"] =
            "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
            "<Relationship Id=\"v1\" Type=\"" +
            kRel + "vmlDrawing\" Target=\"../d/vmlDrawing1.vml\"/></Relationships>";
        p["book/d/vmlDrawing1.vml"] =
            "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" "
            "xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
            "xmlns:x=\"urn:schemas-microsoft-com:office:excel\">"
            "<v:shapetype id=\"_x0000_t201\" coordsize=\"21600,21600\" o:spt=\"201\"/>"
            "<v:shape id=\"_x0000_s1025\" type=\"#_x0000_t201\" style='position:absolute'>"
            "<v:textbox><div><font face=\"Calibri\"><b>Multi<br>\n Line<BR >Text<br/>"
            "</b></font></div></v:textbox><x:ClientData ObjectType=\"Button\">"
            "<x:Anchor>2, 14, 3, 6, 4, 3, 8, 0</x:Anchor></x:ClientData></v:shape></xml>";
        const fs::path file = dir / "button.xlsx";
        writeZip(file, p);
        auto wb = ss::openWorkbook(file);
        ASSERT_TRUE(wb.ok()) << wb.message();
        EXPECT_TRUE((*wb)->readNotes.empty());
        ASSERT_TRUE((*wb)->sheets[0]->parts);
        EXPECT_NE((*wb)->sheets[0]->parts->legacyShapes.find("Multi<br/>\n Line<BR/>Text<br/>"),
                  std::string::npos)
            << (*wb)->sheets[0]->parts->legacyShapes;
        const fs::path out = dir / "out2.xlsx";
        ASSERT_TRUE(ss::saveWorkbook(**wb, out, ss::FileFormat::Xlsx).ok());
        expectWellFormed(out);
    }
}

}  // namespace

namespace {

TEST(XlsxBudget, SharedFormulasGiveTheirCellsNoMoreTextThanTheBudget) {
    // One formula of 8,000 characters shared by 1,000 cells: 8 MB of formula text from 40 KB
    // of XML. Within the ratio, the same group on 10 cells is read.
    const std::string text = "1" + [] {
        std::string s;
        for (int i = 0; i < 3999; ++i) s += "+1";
        return s;
    }();
    TempDir dir;
    ss::ReadLimits limits;
    limits.sharedFormulaFloor = 1u << 20;
    for (int cells : {1000, 10}) {
        std::string rows = "<row r=\"1\"><c r=\"A1\"><f t=\"shared\" ref=\"A1:A" +
                           std::to_string(cells) + "\" si=\"0\">" + text + "</f></c></row>";
        for (int r = 2; r <= cells; ++r)
            rows += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) +
                    "\"><f t=\"shared\" si=\"0\"/></c></row>";
        const fs::path file = dir / ("shared" + std::to_string(cells) + ".xlsx");
        writeZip(file, package("<sheetData>" + rows + "</sheetData>"));
        auto wb = ss::readXlsx(file, limits);
        if (cells == 10) {
            ASSERT_TRUE(wb.ok()) << wb.message();
            EXPECT_EQ((*wb)->sheets[0]->formulas().size(), 10u);
            continue;
        }
        ASSERT_FALSE(wb.ok());
        EXPECT_NE(wb.message().find(file.string()), std::string::npos) << wb.message();
        EXPECT_NE(wb.message().find("共享公式"), std::string::npos) << wb.message();
    }
}

}  // namespace

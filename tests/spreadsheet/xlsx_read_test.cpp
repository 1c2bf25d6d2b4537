// Reading .xlsx packages: parts found through relationships, what writers produce, the refusals
// of bad input with their reasons, numbers, and the files of the interop corpus.
#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "spreadsheet/io/io.h"
#include "spreadsheet/xlsx/package.h"
#include "spreadsheet/xlsx/xlsx.h"
#include "xlsx_fixtures.h"

namespace fs = std::filesystem;

namespace {

using xlsxtest::expectRichSheet;
using xlsxtest::kRichSheet;
using xlsxtest::modelOf;
using xlsxtest::package;
using xlsxtest::sheetXml;
using xlsxtest::TempDir;
using xlsxtest::text;
using xlsxtest::writeZip;

TEST(XlsxRead, FindsPartsThroughRelationshipsAndReadsWhatWritersProduce) {
    TempDir dir;
    fs::path file = dir / "rich.xlsx";
    writeZip(file, package(kRichSheet));
    auto wb = ss::openWorkbook(file);
    ASSERT_TRUE(wb.ok()) << wb.message();
    expectRichSheet(**wb);
}

TEST(XlsxRead, Date1904) {
    TempDir dir;
    fs::path file = dir / "d.xlsx";
    writeZip(file, package("<sheetData><row r=\"1\"><c r=\"A1\" s=\"1\"><v>0</v></c>"
                           "<c r=\"B1\" t=\"d\" s=\"1\"><v>1904-01-02</v></c></row></sheetData>",
                           true));
    auto wb = ss::openWorkbook(file);
    ASSERT_TRUE(wb.ok()) << wb.message();
    EXPECT_TRUE((*wb)->date1904);
    EXPECT_EQ(text(**wb, *(*wb)->sheets[0], 1, 1), "1904-01-01");
    EXPECT_EQ(text(**wb, *(*wb)->sheets[0], 1, 2), "1904-01-02");
}

TEST(XlsxRead, BadInputGivesAReasonNamingTheFile) {
    TempDir dir;
    std::string bomb(64 << 20, 'A');
    struct Case {
        const char* name;
        std::map<std::string, std::string> parts;
        const char* reason;
    } cases[] = {
        {"doctype.xlsx",
         [] {
             auto p = package("<sheetData/>");
             p["book/strings.xml"] =
                 "<!DOCTYPE sst [<!ENTITY a \"aaaa\">]><sst xmlns=\"x\"><si><t>&a;</t></si></sst>";
             return p;
         }(),
         "DTD"},
        {"malformed.xlsx", package("<sheetData><row><c><v>1</v></row></sheetData>"), "XML"},
        {"rows.xlsx", package("<sheetData><row r=\"1000000000\"><c><v>1</v></c></row></sheetData>"),
         "1000000000"},
        {"ref.xlsx",
         package("<sheetData><row r=\"1\"><c r=\"XFE1\"><v>1</v></c></row></sheetData>"), "XFE1"},
        {"sst.xlsx",
         package("<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>99</v></c></row></sheetData>"),
         "共享字符串"},
        {"nosheet.xlsx",
         [] {
             auto p = package("<sheetData/>");
             p.erase("book/ws/a.xml");
             return p;
         }(),
         "Data"},
        {"norels.xlsx",
         [] {
             auto p = package("<sheetData/>");
             p.erase("_rels/.rels");
             return p;
         }(),
         "_rels/.rels"},
        {"bomb.xlsx",
         [&] {
             auto p = package("<sheetData/>");
             p["book/ws/a.xml"] =
                 sheetXml("<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>" + bomb +
                          "</t></is></c></row></sheetData>");
             return p;
         }(),
         "压缩炸弹"},
        // 300 sheets that all use one part of 8 MiB (each part on its own is within limits):
        // the part counts once per sheet, and the 2.4 GB are refused before any is inflated.
        {"shared.xlsx",
         [&] {
             auto p = package("<sheetData/>");
             std::string sheets;
             for (int i = 1; i <= 300; ++i)
                 sheets += "<sheet name=\"S" + std::to_string(i) + "\" sheetId=\"" +
                           std::to_string(i) + "\" r:id=\"s1\"/>";
             p["book/main.xml"] =
                 "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                 "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                 "<sheets>" +
                 sheets + "</sheets></workbook>";
             p["book/ws/a.xml"] =
                 sheetXml("<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>" +
                          bomb.substr(0, 8 << 20) + "</t></is></c></row></sheetData>");
             return p;
         }(),
         "同一部件每用一次计一次"},
    };
    for (const Case& c : cases) {
        fs::path file = dir / c.name;
        writeZip(file, c.parts, 9);
        auto wb = ss::openWorkbook(file);
        ASSERT_FALSE(wb.ok()) << c.name;
        EXPECT_NE(wb.message().find(file.string()), std::string::npos) << wb.message();
        EXPECT_NE(wb.message().find(c.reason), std::string::npos) << wb.message();
    }

    // Not a zip, a truncated zip, an empty file.
    std::ifstream in(dir / "rows.xlsx", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    for (auto [name, data] :
         {std::pair<std::string, std::string>{"cut.xlsx", bytes.substr(0, bytes.size() / 2)},
          {"text.xlsx", "hello, not a workbook"},
          {"empty.xlsx", ""}}) {
        fs::path file = dir / name;
        std::ofstream(file, std::ios::binary) << data;
        auto wb = ss::openWorkbook(file);
        ASSERT_FALSE(wb.ok()) << name;
        EXPECT_NE(wb.message().find(file.string()), std::string::npos) << wb.message();
    }
}

TEST(XlsxRead, DecimalsReadToTheNearestDouble) {
    // Every number is the double the general conversion gives, bit for bit: short decimals
    // (taken on a shorter way), and the spellings beside them.
    std::vector<std::string> texts = {"0.1",
                                      "-0.0",
                                      "-1234.56",
                                      "999999999999.999",
                                      "0.000000000000001",
                                      "3.14159265358979",
                                      "1.7976931348623157",
                                      "123456789012345.6",
                                      "00000000001.5",
                                      "1e3",
                                      "-.5",
                                      "7.",
                                      "9007199254740993",
                                      "0.30000000000000004"};
    uint64_t x = 88172645463325252ull;  // a fixed xorshift sequence
    for (int i = 0; i < 3000; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        const int digits = 1 + int(x % 15), point = int((x >> 8) % uint64_t(digits));
        std::string t = std::to_string(x >> 12).substr(0, size_t(digits));
        if (point) t.insert(t.size() - size_t(point), ".");
        texts.push_back((x >> 40) % 2 ? "-" + t : t);
    }
    std::string cells;
    for (const std::string& t : texts) cells += "<c><v>" + t + "</v></c>";
    TempDir dir;
    fs::path file = dir / "n.xlsx";
    writeZip(file, package("<sheetData><row r=\"1\">" + cells + "</row></sheetData>"));
    auto wb = ss::readXlsx(file);
    ASSERT_TRUE(wb.ok()) << wb.message();
    const auto& row = (*wb)->sheets[0]->rows().at(0);
    ASSERT_EQ(row.cells.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        double want = 0;
        std::from_chars(texts[i].data(), texts[i].data() + texts[i].size(), want);
        EXPECT_EQ(std::memcmp(&row.cells[i].number, &want, sizeof want), 0)
            << texts[i] << " read as " << row.cells[i].number;
    }
}

TEST(XlsxCorpus, EveryWorkbookOpensAndEveryBrokenFileIsRefused) {
    fs::path corpus = TW_CORPUS_DIR;
    if (!fs::exists(corpus / "xlsx")) GTEST_SKIP() << "no corpus at " << corpus;
    int opened = 0;
    for (const auto& e : fs::directory_iterator(corpus / "xlsx")) {
        auto wb = ss::openWorkbook(e.path());
        EXPECT_TRUE(wb.ok()) << wb.message();
        opened += wb.ok();
    }
    EXPECT_GE(opened, 40);
    for (const auto& e : fs::directory_iterator(corpus / "broken")) {
        if (e.path().extension() != ".xlsx") continue;
        auto wb = ss::openWorkbook(e.path());
        ASSERT_FALSE(wb.ok()) << e.path();
        EXPECT_NE(wb.message().find(e.path().string()), std::string::npos);
    }

    // The fast row scanner and expat give the same model or the same refusal on every file.
    const bool saved = ss::xlsx::fastSheetScan();
    for (const char* folder : {"xlsx", "broken"}) {
        for (const auto& e : fs::directory_iterator(corpus / folder)) {
            if (e.path().extension() != ".xlsx") continue;
            ss::xlsx::setFastSheetScan(false);
            std::string viaExpat = modelOf(ss::readXlsx(e.path()));
            ss::xlsx::setFastSheetScan(true);
            EXPECT_EQ(modelOf(ss::readXlsx(e.path())), viaExpat) << e.path();
        }
    }
    ss::xlsx::setFastSheetScan(saved);

    // ISA-L's inflate and libzip's give the same model, and refuse the same broken files (the
    // reasons may name the fault differently).
    for (const char* folder : {"xlsx", "broken"}) {
        for (const auto& e : fs::directory_iterator(corpus / folder)) {
            if (e.path().extension() != ".xlsx") continue;
            ss::xlsx::setIsalInflate(false);
            auto viaZlib = ss::readXlsx(e.path());
            ss::xlsx::setIsalInflate(true);
            auto viaIsal = ss::readXlsx(e.path());
            ASSERT_EQ(viaIsal.ok(), viaZlib.ok()) << e.path();
            if (viaIsal.ok()) {
                EXPECT_EQ(modelOf(std::move(viaIsal)), modelOf(std::move(viaZlib))) << e.path();
            }
        }
    }

    // Facts of particular files.
    auto dim = ss::openWorkbook(corpus / "xlsx/Test_git_issue_271_InvalidDimension.xlsx");
    ASSERT_TRUE(dim.ok());
    auto bounds = (*dim)->sheets[0]->contentBounds();
    ASSERT_TRUE(bounds.has_value());
    EXPECT_GE(bounds->lastRow, 9u);
    auto shared = ss::openWorkbook(corpus / "xlsx/shared_formulas.xlsx");
    ASSERT_TRUE(shared.ok());
    size_t formulas = 0;
    for (auto& s : (*shared)->sheets) formulas += s->formulas().size();
    EXPECT_GT(formulas, 1u);
    auto d1904 = ss::openWorkbook(corpus / "xlsx/1904.xlsx");
    ASSERT_TRUE(d1904.ok());
    EXPECT_TRUE((*d1904)->date1904);
    auto strict = ss::openWorkbook(corpus / "xlsx/SampleSS.strict.xlsx");
    ASSERT_TRUE(strict.ok());
    EXPECT_EQ((*strict)->sheets.size(), 3u);
    EXPECT_GT((*strict)->sheets[0]->cellCount(), 0u);
}

}  // namespace

// The fast scanner of sheet rows and string items against expat: the same model, the same
// refusals and the same account of the rows, on chosen, mutated and large parts.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "spreadsheet/io/io.h"
#include "spreadsheet/xlsx/package.h"
#include "spreadsheet/xlsx/xlsx.h"
#include "xlsx_fixtures.h"

namespace fs = std::filesystem;

namespace {

using xlsxtest::modelOf;
using xlsxtest::package;
using xlsxtest::sheetXml;
using xlsxtest::TempDir;
using xlsxtest::writeZip;

TEST(XlsxRead, FastRowScannerGivesTheSameModelAsExpat) {
    // `fast`: the scanner reads at least one row (the rest may go to expat).
    std::string bigRows, bigText;
    for (int r = 1; r <= 6000; ++r) {
        std::string n = std::to_string(r);
        bigRows += "<row r=\"" + n + "\" spans=\"1:3\"><c r=\"A" + n + "\"><v>" + n +
                   ".5</v></c><c r=\"B" + n + "\" t=\"inlineStr\"><is><t>text &amp; " + n +
                   "</t></is></c><c r=\"C" + n + "\" t=\"s\"><v>" + std::to_string(r % 4) +
                   "</v></c></row>\n";
    }
    struct Case {
        const char* what;
        std::string sheetData;
        bool fast;
    } cases[] = {
        {"values of every type",
         R"(<sheetData><row r="1" spans="1:9" ht="20" customHeight="1" hidden="1" s="1" )"
         R"(customFormat="1" outlineLevel="2" x14ac:dyDescent="0.25"><c r="A1" s="1"><v>1.5</v></c>)"
         R"(<c r="B1" t="s"><v>1</v></c><c r="C1" t="b"><v>1</v></c><c r="D1" t="e"><v>#N/A</v></c>)"
         R"(<c r="E1" t="str"><f>"a"&amp;"b"</f><v>ab</v></c><c r="F1" t="d"><v>2021-03-04</v></c>)"
         R"(<c r="G1" t="inlineStr"><is><t>a &lt;b&gt; &quot;c&quot; &apos;d&apos; &#65;&#x42;)"
         R"(&#x4E2D;_x000D_</t></is></c><c r="H1"><f t="shared" ref="H1:H3" si="0">A1*2</f>)"
         R"(<v>3</v></c><c r="I1" s="1"/></row><row r="2"><c r="H2"><f t="shared" si="0"/></c>)"
         R"(<c r="J2"><f t="array" ref="J2:J3">A1:A2</f><v>1</v></c><c><v>7</v></c></row>)"
         R"(<row/><row r="5"/><row r='6'><c r='A6' t='s'><v>2</v></c></row></sheetData>)",
         true},
        {"attributes by prefix, order and repetition under other prefixes",
         // A row and a formula read their attributes by local name (a row the last of a name, a
         // formula the first); a cell only unprefixed r, s and t.
         R"(<sheetData><row x14ac:dyDescent="0.25" r="2" x:r="3" x:ht="30" customHeight="1" )"
         R"(x:hidden="true" collapsed="1" x:outlineLevel="9" x:s="2" customFormat="true">)"
         R"(<c x:r="Z9" s="2" x:t="s" r="B3"><v>1</v></c><c x:s="1" t="s" x:r="Q1"><v>0</v></c>)"
         R"(<c r="E3"><f x:t="shared" t="array" x:si="4" si="5" ref="E3:E4">A1+1</f><v>2</v></c>)"
         R"(</row><row><c r="E4"><f t="shared" si="4"/><v>3</v></c><c r="F4"><f t="shared" )"
         R"(si="5"/></c><c r="G4"><f cm="1" ref="G4:G6">SEQUENCE(3)</f><v>1</v></c>)"
         R"(<c r="H4"><f t="dataTable" ref="H4:H5" dt2D="0" r1="A1"/><v>7</v></c></row>)"
         R"(</sheetData>)",
         true},
        {"values in every spelling",
         // Numbers with signs, spaces, exponents and more digits than the whole-number path
         // takes; indexes and styles as "1.0", " 1", "01" and out of range; a value in two
         // pieces; booleans, errors and dates that do not parse.
         R"(<sheetData><row r="1" s="7" ht="x"><c r="A1"><v>+12</v></c><c r="B1"><v> -0.5</v></c>)"
         R"(<c r="C1"><v>1E3</v></c><c r="D1"><v>.25</v></c><c r="E1"><v>12345678901234567890</v>)"
         R"(</c><c r="F1"><v>abc</v></c><c r="G1" t="s"><v>1.0</v></c><c r="H1" t="s"><v> 1</v>)"
         R"(</c><c r="I1" t="s"><v>01</v></c><c r="J1" s="1.0"><v>1</v></c><c r="K1" s="9"/>)"
         R"(<c r="L1" s=" 2"/><c r="M1"/><c r="N1"><v>1</v><v>2</v></c><c r="O1" t="b">)"
         R"(<v>true</v></c><c r="P1" t="b"><v>0</v></c><c r="Q1" t="e"><v>#FOO!</v></c>)"
         R"(<c r="R1" t="e"><v>#DIV/0!</v></c><c r="S1" t="d"><v>yesterday</v></c><c r="T1" )"
         R"(t="d"><v>2020-02-29T12:00:00</v></c><c r="U1" t="str"><v>a_x000D_b&#10;c</v></c>)"
         R"(<c r="V1" t="str"><f>1&amp;2</f></c><c r="W1" t="inlineStr"><v>in v</v></c>)"
         R"(<c r="X1" t="inlineStr"><is><t xml:space="preserve"> a </t></is></c><c r="Y1" )"
         R"(t="inlineStr"><is/></c><c r="Z1" t="unknown"><v>5</v></c><c r="AA1" t="inlineStr">)"
         R"(<is><t>漢字</t><rPh sb="0" eb="1"><t>かん</t></rPh><phoneticPr fontId="0"/></is></c>)"
         R"(</row></sheetData>)",
         true},
        {"rows out of order and cells naming other rows",
         R"(<sheetData><row r="5"><c r="A5"><v>5</v></c><c r="A7"><v>7</v></c><c><v>8</v></c>)"
         R"(</row><row r="3"><c r="B3"><v>3</v></c></row><row><c r="C2"><v>2</v></c><c>)"
         R"(<v>4</v></c></row><row r="1048576"><c r="XFD1048576"><v>1</v></c></row></sheetData>)",
         true},
        {"pretty-printed",
         "<sheetData>\n  <row r=\"1\">\n    <c r=\"A1\" >\n      <v> 1 </v>\n"
         "    </c >\n    <c\n r=\"B1\"\tt=\"str\"><v>a\tb\nc</v></c>\n  </row >\n"
         "</sheetData>",
         true},
        {"non-ASCII, carriage return, tab in a value: that row goes to expat",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>漢字</t></is></c></row>"
         "<row r=\"2\"><c r=\"A2\" t=\"str\"><v>a\r\nb</v></c></row>"
         "<row r=\"3\"><c r=\"A3\" t=\"str\"><f a=\"x\ty\">1</f><v>x</v></c></row>"
         "<row r=\"4\"><c r=\"A4\"><v>4</v></c></row></sheetData>",
         true},
        {"comment, CDATA and instruction hand the rest to expat",
         "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row><!-- <row r=\"2\"> -->"
         "<row r=\"3\"><c r=\"A3\" t=\"str\"><v><![CDATA[<x>]]></v></c><?pi x?></row>"
         "<row r=\"4\"><c r=\"A4\"><v>4</v></c></row></sheetData>",
         true},
        {"rich inline text and markup compatibility",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><r><rPr><b/></rPr><t>x</t></r>"
         "<r><t>y</t></r></is></c><mc:AlternateContent xmlns:mc=\"m\"><mc:Choice Requires=\"q\">"
         "<c r=\"B1\"><v>1</v></c></mc:Choice><mc:Fallback><c r=\"C1\"><v>2</v></c></mc:Fallback>"
         "</mc:AlternateContent></row></sheetData>",
         false},
        {"prefixed elements",
         "<x:sheetData xmlns:x=\"s\"><x:row r=\"1\"><x:c r=\"A1\"><x:v>1</x:v>"
         "</x:c></x:row></x:sheetData>",
         false},
        {"rows inside a comment before the real ones",
         "<!-- <sheetData><row><c><v>9</v></c></row> --><sheetData><row r=\"2\"><c r=\"A2\"><v>2"
         "</v></c></row></sheetData>",
         true},
        {"many rows across chunks", "<sheetData>\n" + bigRows + "</sheetData>", true},
        {"malformed far into the part: the same line in the message",
         "<sheetData>\n" + bigRows + "<row r=\"6001\"><c><v>1</v></row></sheetData>", true},
        {"line breaks of every kind before an error",
         "<sheetData><row r=\"1\"\r><c r=\"A1\"\r\n><v>1</v></c></row>\r<row r=\"2\"><c>"
         "<v>2</v></c></row>\n<row><c></row></sheetData>",
         true},
        {"mismatched tag", "<sheetData><row>\n<c>\n<v>1</c></v></row></sheetData>", false},
        {"repeated attribute",
         "<sheetData><row r=\"1\"><c r=\"A1\" r=\"B1\"><v>1</v></c></row>\n"
         "<row r=\"2\"><c r=\"A2\"/ ></row></sheetData>",
         false},
        {"attributes alike but not repeated",
         "<sheetData><row r=\"1\" spans=\"1:2\" x14ac:dyDescent=\"1\" x:spans=\"3\"><c r=\"A1\" "
         "x:r=\"C1\" y:r=\"D1\" a=\"1\" b=\"2\" s =\"1\" x:s=\"0\" t='str'><v>x</v\n></c>"
         "</row></sheetData>",
         true},
        {"repeated prefixed attribute",
         "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row>\n<row r=\"2\"><c x:r=\"A2\" "
         "r=\"A2\" x:r=\"B2\"><v>2</v></c></row></sheetData>",
         true},
        {"repeated attribute of another name",
         "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row>\n<row r=\"2\" spans=\"1:2\" "
         "x14ac:dyDescent=\"1\" spans =\"1:3\"><c><v>2</v></c></row></sheetData>",
         true},
        {"no space between attributes",
         "<sheetData><row r=\"1\"><c r=\"A1\"s=\"1\"><v>1</v></c></row></sheetData>", false},
        {"'<' in a value", "<sheetData><row r=\"1\"><c r=\"A<1\"><v>1</v></c></row></sheetData>",
         false},
        {"undefined entity",
         "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row>\n<row r=\"2\"><c r=\"A2\" "
         "t=\"str\"><v>&nbsp;</v></c></row></sheetData>",
         true},
        {"reference to an invalid character",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>&#0;</v></c></row></sheetData>", false},
        {"]]> in text",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>a]]>b</v></c></row></sheetData>", false},
        {"control character",
         std::string("<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>a\x01</v></c></row>") +
             "</sheetData>",
         false},
        {"invalid UTF-8",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"str\"><v>a\xC3(</v></c></row>"
         "</sheetData>",
         false},
        {"unfinished part", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row><row r=\"2\">",
         true},
        {"bad row number",
         "<sheetData><row r=\"1\"/>\n<row r=\"0\"><c><v>1</v></c></row></sheetData>", true},
        {"cell reference out of range",
         "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"XFE1\"><v>1</v></c></row>"
         "</sheetData>",
         true},
        {"missing shared string",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>99</v></c></row></sheetData>", true},
        {"shared string index beyond 32 bits",
         "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>4294967296</v></c></row></sheetData>",
         true},
        {"bad row number in the middle of a row's attributes",
         "<sheetData><row r=\"1\"/><row s=\"1\" r=\"1048577\" ht=\"3\"><c><v>1</v></c></row>"
         "</sheetData>",
         true},
        {"cell reference that is no reference",
         "<sheetData><row r=\"1\"><c t=\"s\" r=\"1A\"><v>0</v></c></row></sheetData>", true},
        {"text and a cell outside rows",
         "<sheetData>x<c r=\"A1\"><v>1</v></c><row r=\"2\"><c><v>2</v></c></row></sheetData>",
         false},
    };
    TempDir dir;
    const bool saved = ss::xlsx::fastSheetScan();
    int n = 0;
    for (const Case& c : cases) {
        fs::path file = dir / ("v" + std::to_string(n++) + ".xlsx");
        auto parts = package("");
        // Row content sits where writers put it: after the sheet properties, before the rest.
        parts["book/ws/a.xml"] =
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n" +
            sheetXml("<dimension ref=\"A1\"/><sheetViews><sheetView/></sheetViews>" + c.sheetData +
                     "<mergeCells><mergeCell ref=\"A1:B1\"/></mergeCells>");
        writeZip(file, parts);
        ss::xlsx::setFastSheetScan(false);
        std::string viaExpat = modelOf(ss::readXlsx(file));
        ss::xlsx::setFastSheetScan(true);
        uint64_t before = ss::xlsx::fastSheetRows();
        std::string viaScanner = modelOf(ss::readXlsx(file));
        EXPECT_EQ(viaScanner, viaExpat) << c.what;
        EXPECT_EQ(ss::xlsx::fastSheetRows() > before, c.fast) << c.what;
    }
    ss::xlsx::setFastSheetScan(saved);
}

TEST(XlsxRead, StringTableThroughTheScannerGivesTheSameModelAsExpat) {
    // Every item is shown by a cell of its own. `fast`: items the scanner reads.
    std::string many;
    for (int i = 0; i < 3000; ++i) many += "<si><t>文本 " + std::to_string(i) + "</t></si>\n";
    struct Case {
        const char* what;
        std::string items;
        int count, fast;
    } cases[] = {
        {"plain texts in every spelling",
         "<si><t>plain</t></si><si><t xml:space=\"preserve\"> a &amp; b &lt;&#x4E2D;&#65;&gt; "
         "</t></si>\n  <si>\n<t>漢字 𝄞 ½</t>\n</si><si><t>line_x000D_break_x0041_</t></si>"
         "<si><t/></si><si/><si><t></t></si><si><t>tab\there\nline</t></si>"
         "<si><t>a</t><t>b</t></si><si><t>漢字</t><rPh sb=\"0\" eb=\"2\"><t>かんじ</t></rPh>"
         "<phoneticPr fontId=\"1\" type=\"noConversion\"/></si><si><rPh><t>x</t></rPh><t>y</t>"
         "<phoneticPr/></si>",
         11, 11},
        {"a rich item hands the rest to expat",
         "<si><t>first</t><phoneticPr fontId=\"1\"/></si><si><r><t>bold</t></r><r><rPr><b/><sz "
         "val=\"9\"/></rPr><t xml:space=\"preserve\"> part</t></r></si><si><t>漢字</t><rPh "
         "sb=\"0\" eb=\"2\"><t>かんじ</t></rPh></si><si><t>after</t></si>",
         4, 1},
        {"items that expat must judge one by one",
         "<si><t>cr\r\nlf</t></si><si><t>&#13;&#xD;</t></si><si><t>ok</t></si>", 3, 2},
        {"undefined entity", "<si><t>ok</t></si><si><t>&nbsp;</t></si>", 2, 1},
        {"invalid UTF-8", "<si><t>ok</t></si><si><t>a\xC3(</t></si>", 2, 1},
        {"a surrogate in UTF-8", "<si><t>ok</t></si><si><t>a\xED\xA0\x80</t></si>", 2, 1},
        {"U+FFFE", "<si><t>ok</t></si><si><t>a\xEF\xBF\xBE</t></si>", 2, 1},
        {"a prefixed item", "<si><t>ok</t></si><x:si><x:t>p</x:t></x:si>", 2, 1},
        {"many items across chunks", many, 3000, 3000},
    };
    TempDir dir;
    const bool saved = ss::xlsx::fastSheetScan();
    int n = 0;
    for (const Case& c : cases) {
        fs::path file = dir / ("s" + std::to_string(n++) + ".xlsx");
        auto parts = package("");
        std::string cells;
        for (int i = 0; i < c.count; ++i)
            cells += "<c t=\"s\"><v>" + std::to_string(i) + "</v></c>";
        parts["book/ws/a.xml"] =
            sheetXml("<sheetData><row r=\"1\">" + cells + "</row></sheetData>");
        parts["book/strings.xml"] =
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<sst "
            "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"9\" "
            "uniqueCount=\"9\">" +
            c.items + "</sst>";
        writeZip(file, parts);
        ss::xlsx::setFastSheetScan(false);
        std::string viaExpat = modelOf(ss::readXlsx(file));
        ss::xlsx::setFastSheetScan(true);
        uint64_t before = ss::xlsx::fastStringItems();
        std::string viaScanner = modelOf(ss::readXlsx(file));
        EXPECT_EQ(viaScanner, viaExpat) << c.what;
        EXPECT_EQ(ss::xlsx::fastStringItems() - before, uint64_t(c.fast)) << c.what;
    }
    ss::xlsx::setFastSheetScan(saved);
}

// Writes down what a handler is given inside <sheetData>: elements with their attributes as
// written, and texts (pieces joined); a handler that takes rows whole writes the same from
// ScannedRow and checks its attribute ids against the names.
class SheetDataLog : public ss::xlsx::SaxHandler {
public:
    explicit SheetDataLog(bool whole) : whole_(whole) {}
    std::string log;

    void start(std::string_view name, const char** atts) override {
        if (name == "sheetData") {
            in_ = true;
            return;
        }
        if (!in_) return;
        flush();
        log += "<" + std::string(name);
        for (const char** a = atts; *a; a += 2) log += " " + std::string(a[0]) + "=" + a[1];
        log += ">";
        ++depth_;
    }
    void end(std::string_view name) override {
        if (name == "sheetData") in_ = false;
        if (!in_) return;
        flush();
        log += "</" + std::string(name) + ">";
        --depth_;
    }
    void text(const char* s, int n) override {
        if (in_ && depth_ > 0) pending_.append(s, size_t(n));
    }
    bool readsSheetData() const override { return true; }
    bool acceptsFastRows() const override { return in_ && depth_ == 0; }
    bool takesScannedRows() const override { return whole_; }

    void row(const ss::xlsx::ScannedRow& r) override {
        using K = ss::xlsx::ScannedRow::Kind;
        using A = ss::xlsx::ScannedRow::Att;
        static const char* const kNames[] = {"row", "c", "v", "f", "is", "t", "si"};
        const std::map<std::string_view, A> ids = {{"r", A::R},
                                                   {"s", A::S},
                                                   {"t", A::T},
                                                   {"ht", A::Ht},
                                                   {"customHeight", A::CustomHeight},
                                                   {"customFormat", A::CustomFormat},
                                                   {"hidden", A::Hidden},
                                                   {"collapsed", A::Collapsed},
                                                   {"outlineLevel", A::OutlineLevel},
                                                   {"si", A::Si},
                                                   {"ref", A::Ref},
                                                   {"cm", A::Cm}};
        for (const auto& e : r) {
            if (e.kind == K::Text) {
                pending_ += r.text(e);
                if (r.text(e).data()[e.len] != 0) log += "(text not NUL-ended)";
                continue;
            }
            const std::string name = kNames[size_t(e.elem)];
            flush();
            if (e.kind == K::End) {
                log += "</" + name + ">";
                continue;
            }
            log += "<" + name;
            for (auto* a = r.attrsBegin(e); a != r.attrsEnd(e); ++a) {
                const std::string_view q = r.name(*a);
                log += " " + std::string(q) + "=" + r.value(*a);
                const size_t colon = q.rfind(':');
                const std::string_view local = colon == q.npos ? q : q.substr(colon + 1);
                auto it = ids.find(local);
                if ((it == ids.end() ? A::Other : it->second) != a->id ||
                    a->prefixed != (colon != q.npos) || r.valueView(*a) != r.value(*a))
                    log += "(wrong id)";
            }
            log += ">";
        }
    }

private:
    void flush() {
        if (!pending_.empty()) log += "[" + pending_ + "]";
        pending_.clear();
    }
    bool whole_, in_ = false;
    int depth_ = 0;
    std::string pending_;
};

TEST(XlsxRead, ScannedRowsCarryWhatExpatGives) {
    // Expat, the scanner's replay of start, end and text, and rows handed over whole give one
    // account of the same rows, texts outside ASCII included; one row with a carriage return
    // goes to expat in the middle.
    std::string rows =
        R"(<row r="1" spans="1:3" x14ac:dyDescent="0.25" customHeight='1' ht="20.5">)"
        R"(<c r="A1" s="1" t="s"><v>0</v></c><c r="B1" x:r="C1" t="inlineStr"><is><t )"
        R"(xml:space="preserve"> a &amp; b &lt;&#x4E2D;&#65;&gt; </t></is></c>)"
        R"(<c r="C1"><f t="shared" ref="C1:C3" si="0" cm="1">A1*"&quot;x'"</f><v>1</v></c>)"
        R"(<c r="D1" t="e"/><c r="E1" >)"
        "\n   <v>2</v>\n</c></row>\n"
        R"(<row r="2" hidden="1" outlineLevel="2" collapsed="0" customFormat="1" s="2">)"
        R"(<c r="A2" t="str"><v>漢字 𝄞</v></c></row><row r="3"><c r="A3" t="str"><v>a)"
        "\r\nb</v></c></row>";
    for (int i = 4; i < 3000; ++i)
        rows += "<row r=\"" + std::to_string(i) + "\"><c r=\"A" + std::to_string(i) + "\"><v>" +
                std::to_string(i * 7) + "</v></c></row>";
    const std::string sheet = sheetXml("<sheetData>" + rows + "</sheetData>");
    TempDir dir;
    fs::path file = dir / "rows.zip";
    writeZip(file, {{"a.xml", sheet}});
    auto logOf = [&](bool fast, bool whole) {
        ss::xlsx::setFastSheetScan(fast);
        auto zip = ss::xlsx::ZipReader::open(file, ss::ReadLimits{});
        EXPECT_TRUE(zip.ok());
        if (!zip.ok()) return std::string();
        SheetDataLog h(whole);
        ss::Status st = ss::xlsx::parsePart(**zip, "a.xml", h);
        EXPECT_TRUE(st.ok()) << st.message();
        return h.log;
    };
    const bool saved = ss::xlsx::fastSheetScan();
    const std::string viaExpat = logOf(false, false);
    uint64_t before = ss::xlsx::fastSheetRows();
    EXPECT_EQ(logOf(true, false), viaExpat);
    EXPECT_EQ(logOf(true, true), viaExpat);
    EXPECT_EQ(ss::xlsx::fastSheetRows() - before, 2u * 2998u);  // every row but the third
    ss::xlsx::setFastSheetScan(saved);
    EXPECT_NE(viaExpat.find("<t xml:space=preserve>[ a & b <中A> ]</t>"), std::string::npos);
}

TEST(XlsxRead, MutatedRowsReadAlikeByScannerAndExpat) {
    // Rows and string items in many shapes, each changed at a few random places (a fixed
    // sequence) and moved a varying distance from the end of the first chunk: the scanner and
    // expat give the same model or the same refusal, and the same account of the rows.
    const std::string rows =
        R"(<row r="1" spans="1:4" x14ac:dyDescent="0.25" ht="20" customHeight="1"><c r="A1" )"
        R"(s="1" t="s"><v>0</v></c><c r="B1" t="s"><v>1</v></c><c r="C1" s="2"><v>-12.5</v>)"
        R"(</c><c r="D1" t="str"><f>A1&amp;"x"</f><v>a&lt;b</v></c></row>)"
        "\n"
        R"(<row r="2" hidden="1"><c r="A2" t="inlineStr"><is><t xml:space="preserve"> 漢字 )"
        R"(&#x4E2D;&#65; </t></is></c><c r="B2" t='b'><v>1</v></c><c r="C2"><f t="shared" )"
        R"(ref="C2:C3" si="0">C1*2</f><v>4</v></c><c r="D2" t="e"><v>#N/A</v></c><c r="E2" )"
        R"(t="str"><v>a value longer than thirty-two bytes, all ASCII</v></c></row>)"
        R"(<row r="3"><c r="C3"><f t="shared" si="0"/><v>8</v></c><c r="D3" t="s"><v>2</v></c>)"
        R"(<c x:r="Z9" r="E3" t="s"><v>3</v></c><c r="F3"/><c r="G3" s="3"/><c r="H3" t="s">)"
        R"(<v>4</v></c></row>  <row r="5" s="1" customFormat="1"><c><v>44448</v></c><c )"
        R"(t="d"><v>2020-02-29</v></c><c a="1" b="2"><v>7</v></c></row>)";
    const std::string items =
        R"(<si><t>plain</t></si><si><t xml:space="preserve"> a &amp; b </t></si><si><t>漢字</t>)"
        R"(<rPh sb="0" eb="2"><t>かんじ</t></rPh><phoneticPr fontId="1"/></si><si><t>_x000D_ )"
        R"(ok</t></si><si><t>a text of more than thirty-two bytes in one item</t></si>)";
    const std::string alphabet = "<>/=\"' &;#x:\r\n\t]csvftri0129A\x01\xC3\xA9\xE4";
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        return x;
    };
    auto mutate = [&](std::string s) {
        for (uint64_t k = 1 + next() % 3; k > 0; --k) {
            const size_t at = size_t(next() % s.size());
            const char c = alphabet[size_t(next() % alphabet.size())];
            switch (next() % 3) {
                case 0:
                    s[at] = c;
                    break;
                case 1:
                    s.insert(at, 1, c);
                    break;
                default:
                    s.erase(at, 1);
            }
        }
        return s;
    };
    auto logOf = [](const fs::path& file, bool fast, bool whole) {
        ss::xlsx::setFastSheetScan(fast);
        auto zip = ss::xlsx::ZipReader::open(file, ss::ReadLimits{});
        if (!zip.ok()) return "error: " + zip.message();
        SheetDataLog h(whole);
        ss::Status st = ss::xlsx::parsePart(**zip, "book/ws/a.xml", h);
        return h.log + (st.ok() ? "" : "\nerror: " + st.message());
    };
    const int kMutants = 300;
    TempDir dir;
    const bool saved = ss::xlsx::fastSheetScan();
    const uint64_t rowsBefore = ss::xlsx::fastSheetRows(),
                   itemsBefore = ss::xlsx::fastStringItems();
    for (int i = 0; i < kMutants; ++i) {
        const bool inItems = i % 3 == 2;
        // The first chunk ends somewhere in the rows (or items) changed.
        const std::string pad(65536 - 400 + size_t(next() % 800), ' ');
        auto parts = package("");
        parts["book/ws/a.xml"] =
            sheetXml("<sheetData>" + (inItems ? rows : pad + mutate(rows)) + "</sheetData>");
        parts["book/strings.xml"] =
            "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">" +
            (inItems ? pad + mutate(items) : items) + "</sst>";
        const fs::path file = dir / ("m" + std::to_string(i) + ".xlsx");
        writeZip(file, parts);
        ss::xlsx::setFastSheetScan(false);
        const std::string viaExpat = modelOf(ss::readXlsx(file));
        ss::xlsx::setFastSheetScan(true);
        ASSERT_EQ(modelOf(ss::readXlsx(file)), viaExpat) << parts["book/ws/a.xml"] << "\n"
                                                         << parts["book/strings.xml"];
        if (inItems) continue;
        const std::string logViaExpat = logOf(file, false, false);
        ASSERT_EQ(logOf(file, true, false), logViaExpat) << parts["book/ws/a.xml"];
        ASSERT_EQ(logOf(file, true, true), logViaExpat) << parts["book/ws/a.xml"];
    }
    ss::xlsx::setFastSheetScan(saved);
    // Most changes leave rows and items the scanner reads.
    EXPECT_GT(ss::xlsx::fastSheetRows() - rowsBefore, 300u);
    EXPECT_GT(ss::xlsx::fastStringItems() - itemsBefore, 300u);
}

}  // namespace

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <zip.h>

#include "spreadsheet/io/io.h"
#include "spreadsheet/read_stop.h"

namespace fs = std::filesystem;

namespace {

struct Scratch {
    fs::path dir = fs::temp_directory_path() / ("tw_io_test_" + std::to_string(::getpid()));
    Scratch() {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~Scratch() { fs::remove_all(dir); }
    size_t entries() const {
        return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

ss::Status writeText(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
    return ss::okStatus();
}

}  // namespace

TEST(WriteAtomically, ReplacesOnlyWhenComplete) {
    Scratch s;
    fs::path target = s.dir / "out.xlsx";
    ASSERT_TRUE(writeText(target, "old").ok());

    // A failing writer leaves the old file and no temporary file behind.
    auto failed = ss::writeAtomically(target, [](const fs::path& temp) -> ss::Status {
        (void)writeText(temp, "half");
        return ss::fail("磁盘已满");
    });
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.message(), "磁盘已满");
    EXPECT_EQ(slurp(target), "old");
    EXPECT_EQ(s.entries(), 1u);

    auto done = ss::writeAtomically(target, [](const fs::path& t) { return writeText(t, "new"); });
    ASSERT_TRUE(done.ok());
    EXPECT_EQ(slurp(target), "new");
    EXPECT_EQ(s.entries(), 1u);
}

TEST(WriteAtomically, RefusesAFolderOrAMissingFolderWithItsReason) {
    Scratch s;
    fs::create_directories(s.dir / "taken.xlsx");
    bool called = false;
    auto onFolder = ss::writeAtomically(s.dir / "taken.xlsx", [&](const fs::path& t) {
        called = true;
        return writeText(t, "x");
    });
    ASSERT_FALSE(onFolder.ok());
    EXPECT_NE(onFolder.message().find("已有同名的文件夹"), std::string::npos) << onFolder.message();
    EXPECT_FALSE(called);
    EXPECT_EQ(s.entries(), 1u);

    auto noFolder = ss::writeAtomically(s.dir / "missing" / "a.xlsx",
                                        [](const fs::path& t) { return writeText(t, "x"); });
    ASSERT_FALSE(noFolder.ok());
    EXPECT_NE(noFolder.message().find("文件夹不存在"), std::string::npos);
}

// Every system error a save meets is named in Chinese, whether the system call was our own or
// the .xlsx writer's (its message carries the system's text, through the zip library too); the
// rare rest keeps the system's text.
TEST(WriteAtomically, SystemErrorsAreNamedInTheUsersWords) {
    const struct {
        int error;
        const char* reason;
    } cases[] = {
        {EACCES, "没有写入权限。"},
        {EPERM, "没有写入权限。"},
        {EROFS, "所在的磁盘是只读的。"},
        {ENOSPC, "磁盘空间不足。"},
        {EDQUOT, "磁盘空间不足。"},
        {ENAMETOOLONG, "文件名太长。"},
        {ENOENT, "文件夹不存在。"},
        {EIO, "读写磁盘时出错。"},
        {EFBIG, "文件太大，超出了磁盘的文件大小上限。"},
        {EMFILE, "同时打开的文件过多。"},
        {ENOMEM, "内存不足。"},
        {EINVAL, "文件名含有磁盘不支持的字符。"},
        {ESTALE, "网络磁盘上的文件已失效，请重新连接。"},
    };
    Scratch s;
    const fs::path target = s.dir / "out.xlsx";
    for (const auto& c : cases) {
        EXPECT_EQ(ss::systemErrorText(c.error), c.reason) << c.error;
        for (const std::string form : {"", "Write error: "}) {
            auto st = ss::writeAtomically(target, [&](const fs::path& temp) -> ss::Status {
                return ss::fail("无法保存 " + temp.string() + "：" + form + std::strerror(c.error) +
                                "。");
            });
            ASSERT_FALSE(st.ok());
            EXPECT_EQ(st.message(), "无法保存 " + target.string() + "：" + c.reason) << c.error;
        }
    }
    EXPECT_EQ(ss::systemErrorText(EHOSTUNREACH), std::strerror(EHOSTUNREACH));
    // A reason of the writer's own stays as it is.
    auto own = ss::writeAtomically(
        target, [](const fs::path&) -> ss::Status { return ss::fail("工作表名称“a”重复。"); });
    EXPECT_EQ(own.message(), "工作表名称“a”重复。");
    EXPECT_EQ(s.entries(), 0u);
}

// A read whose stop flag is set ends early with the stop's error in every format; without the
// flag the same files read whole.
TEST(OpenWorkbook, AStoppedReadEndsEarlyInEveryFormat) {
    Scratch s;
    ss::Workbook wb;
    ss::Worksheet& ws = wb.addSheet("S");
    std::string csv;
    for (uint32_t r = 1; r <= 6000; ++r) {
        ws.setNumber(r, 1, r);
        ws.setString(r, 2, wb.strings.add("t" + std::to_string(r % 50)));
        csv += std::to_string(r) + ",t" + std::to_string(r % 50) + "\n";
    }
    const fs::path xlsx = s.dir / "a.xlsx", xls = s.dir / "a.xls", text = s.dir / "a.csv";
    ASSERT_TRUE(ss::saveWorkbook(wb, xlsx, ss::FileFormat::Xlsx).ok());
    ASSERT_TRUE(ss::saveWorkbook(wb, xls, ss::FileFormat::Xls).ok());
    ASSERT_TRUE(writeText(text, csv).ok());
    for (const fs::path& p : {xlsx, xls, text}) {
        const std::atomic<bool> stop{true}, go{false};
        auto stopped = ss::openWorkbook(p, &stop);
        ASSERT_FALSE(stopped.ok()) << p;
        EXPECT_NE(stopped.message().find(ss::kReadStopped), std::string::npos) << p;
        auto read = ss::openWorkbook(p, &go);
        ASSERT_TRUE(read.ok()) << p << ": " << read.message();
        EXPECT_EQ(read.value()->sheets[0]->cellCount(), 12000u) << p;
    }
}

namespace {

// A minimal OpenDocument spreadsheet: the stored "mimetype" entry first, then its content (or,
// as some writers do, the other way round).
std::string odsPackage(const fs::path& p, const std::string& rows, bool mimetypeFirst = true) {
    const std::string content =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-content "
        "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
        "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><office:body>"
        "<office:spreadsheet><table:table table:name=\"明细\">" +
        rows + "</table:table></office:spreadsheet></office:body></office:document-content>";
    const std::string mimetype = "application/vnd.oasis.opendocument.spreadsheet";
    int error = 0;
    zip_t* z = zip_open(p.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!z) return "zip_open";
    std::pair<const char*, const std::string*> entries[] = {{"mimetype", &mimetype},
                                                            {"content.xml", &content}};
    if (!mimetypeFirst) std::swap(entries[0], entries[1]);
    for (auto [name, bytes] : entries) {
        zip_source_t* src = zip_source_buffer(z, bytes->data(), bytes->size(), 0);
        const zip_int64_t i = src ? zip_file_add(z, name, src, 0) : -1;
        if (i < 0) return "zip_file_add";
        if (bytes == &mimetype) zip_set_file_compression(z, zip_uint64_t(i), ZIP_CM_STORE, 0);
    }
    return zip_close(z) == 0 ? "" : "zip_close";
}

}  // namespace

// Offices receive tables under names that say something else: each file is read by what it
// holds, and the workbook says what that was.
TEST(OpenWorkbook, EveryKindIsReadByItsContentWhateverItsName) {
    Scratch s;
    const std::string page =
        "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
        "</head><body><table><tr><td>名称</td><td>金额</td></tr><tr><td>甲</td><td>1,234.50</td>"
        "</tr></table></body></html>";
    const std::string xml2003 =
        "<?xml version=\"1.0\"?><?mso-application progid=\"Excel.Sheet\"?><Workbook "
        "xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\" "
        "xmlns:ss=\"urn:schemas-microsoft-com:office:spreadsheet\"><Worksheet ss:Name=\"明细\">"
        "<Table><Row><Cell><Data ss:Type=\"String\">名称</Data></Cell><Cell><Data "
        "ss:Type=\"String\">金额</Data></Cell></Row><Row><Cell><Data ss:Type=\"String\">甲</Data>"
        "</Cell><Cell><Data ss:Type=\"Number\">1234.5</Data></Cell></Row></Table></Worksheet>"
        "</Workbook>";
    const std::string odsRows =
        "<table:table-row><table:table-cell office:value-type=\"string\"><text:p>名称</text:p>"
        "</table:table-cell><table:table-cell office:value-type=\"string\"><text:p>金额</text:p>"
        "</table:table-cell></table:table-row><table:table-row><table:table-cell "
        "office:value-type=\"string\"><text:p>甲</text:p></table:table-cell><table:table-cell "
        "office:value-type=\"float\" office:value=\"1234.5\"><text:p>1234.5</text:p>"
        "</table:table-cell></table:table-row>";
    struct Case {
        const char* name;
        std::string bytes;  // empty: an OpenDocument package
        const char* format;
    } cases[] = {
        {"statement.xls", page, "HTML 表格（扩展名 .xls）"},
        {"statement.html", page, "HTML 表格"},
        {"export.xls", xml2003, "2003 XML 表格（扩展名 .xls）"},
        {"export.xml", xml2003, "2003 XML 表格"},
        {"ledger.ods", "", "OpenDocument 表格"},
        {"ledger.xlsx", "", "OpenDocument 表格（扩展名 .xlsx）"},
        {"tabs.xls", "名称\t金额\r\n甲\t1234.5\r\n", "文本表格（扩展名 .xls）"},
        {"list.txt", "名称,金额\r\n甲,1234.5\r\n", "文本表格"},
    };
    for (const Case& c : cases) {
        const fs::path p = s.dir / c.name;
        if (c.bytes.empty())
            ASSERT_EQ(odsPackage(p, odsRows), "") << c.name;
        else
            ASSERT_TRUE(writeText(p, c.bytes).ok());
        auto read = ss::openWorkbook(p);
        ASSERT_TRUE(read.ok()) << c.name << ": " << read.message();
        const ss::Workbook& wb = *read.value();
        EXPECT_EQ(wb.sourceFormat, c.format) << c.name;
        EXPECT_EQ(wb.sourceIsText, std::string(c.format).rfind("文本表格", 0) == 0) << c.name;
        const ss::Worksheet& ws = *wb.sheets.at(0);
        const ss::Cell* name = ws.find(2, 1);
        const ss::Cell* amount = ws.find(2, 2);
        ASSERT_TRUE(name && amount) << c.name;
        EXPECT_EQ(wb.cellText(*name), "甲") << c.name;
        EXPECT_EQ(amount->type, ss::CellType::Number) << c.name;
        EXPECT_EQ(amount->number, 1234.5) << c.name;
    }

    // A package whose "mimetype" entry comes last is found through its directory.
    const fs::path late = s.dir / "late.ods";
    ASSERT_EQ(odsPackage(late, odsRows, false), "");
    auto lateRead = ss::openWorkbook(late);
    ASSERT_TRUE(lateRead.ok()) << lateRead.message();
    EXPECT_EQ(lateRead.value()->sourceFormat, "OpenDocument 表格");

    // Text that is no table under a name that is not one of text, and bytes of no kind: refused,
    // saying what they are not.
    const std::pair<const char*, std::string> refused[] = {
        {"build.xml", "<?xml version=\"1.0\"?><project name=\"x\"/>"},
        {"program.xls", std::string("\x7F"
                                    "ELF\x02\x01\x01\x00\x00\x00",
                                    10)},
    };
    for (const auto& [name, bytes] : refused) {
        const fs::path p = s.dir / name;
        ASSERT_TRUE(writeText(p, bytes).ok());
        auto read = ss::openWorkbook(p);
        ASSERT_FALSE(read.ok()) << name;
        EXPECT_NE(read.message().find("内容不是受支持的表格文件"), std::string::npos)
            << read.message();
    }
}

// Files other applications wrote in the formats offices receive besides workbooks, each read
// by its content (a web page also under the ".xls" name such exports carry).
TEST(OpenWorkbook, PublicFilesOfOtherKinds) {
    Scratch s;
    const fs::path other = fs::path(TW_CORPUS_DIR) / "other";
    struct Case {
        const char* file;
        const char* copyAs;  // read under this name instead, when given
        const char* format;
        size_t sheets;
        uint32_t row, col;
        const char* text;  // the cell's text as shown
    } cases[] = {
        {"sushi.ods", nullptr, "OpenDocument 表格", 1, 1, 1, "🍣"},
        {"defined_names_unicode.ods", nullptr, "OpenDocument 表格", 5, 1, 1, "NamedDefine"},
        {"number_format_entities.xml", nullptr, "2003 XML 表格", 1, 1, 1, nullptr},
        {"row_height.htm", "row_height.xls", "HTML 表格（扩展名 .xls）", 1, 1, 1, "default"},
        {"crlf.htm", nullptr, "HTML 表格", 1, 1, 2, "abc\ndef"},
        {"fn.et", nullptr, "97-2003 工作簿", 1, 2, 1, "EVALUATE"},
    };
    for (const Case& c : cases) {
        fs::path p = other / c.file;
        if (c.copyAs) {
            fs::copy_file(p, s.dir / c.copyAs);
            p = s.dir / c.copyAs;
        }
        auto read = ss::openWorkbook(p);
        ASSERT_TRUE(read.ok()) << c.file << ": " << read.message();
        const ss::Workbook& wb = *read.value();
        EXPECT_EQ(wb.sourceFormat, c.format) << c.file;
        ASSERT_EQ(wb.sheets.size(), c.sheets) << c.file;
        const ss::Cell* cell = wb.sheets[0]->find(c.row, c.col);
        ASSERT_NE(cell, nullptr) << c.file;
        if (c.text) {
            EXPECT_EQ(wb.cellText(*cell), c.text) << c.file;
        }
    }
    // The numbers behind the formats and formulas: what the other application stored.
    auto xml = ss::openWorkbook(other / "number_format_entities.xml");
    ASSERT_TRUE(xml.ok());
    EXPECT_EQ(xml.value()->sheets[0]->find(2, 1)->number, 12345.6789);
    auto et = ss::openWorkbook(other / "fn.et");
    ASSERT_TRUE(et.ok());
    EXPECT_EQ(et.value()->sheets[0]->find(2, 3)->number, 2);
    auto names = ss::openWorkbook(other / "defined_names_unicode.ods");
    ASSERT_TRUE(names.ok());
    EXPECT_EQ(names.value()->sheets[1]->name, "日本語のみ");
    EXPECT_FALSE(names.value()->names.empty());
}

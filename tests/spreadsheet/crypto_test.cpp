// Workbooks with an open password: reading the files other applications encrypt, saving our
// own encrypted outputs, and refusing hostile or damaged encryption data quickly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "spreadsheet/crypto/office_crypto.h"
#include "spreadsheet/io/io.h"
#include "spreadsheet/read_stop.h"
#include "spreadsheet/xls/cfb.h"
#include "xlsx_fixtures.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using xlsxtest::modelOf;
using xlsxtest::TempDir;

namespace {

const fs::path kBroken = fs::path(TW_CORPUS_DIR) / "broken";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

std::unique_ptr<ss::Workbook> sampleBook() {
    auto wb = std::make_unique<ss::Workbook>();
    ss::Worksheet& ws = wb->addSheet("工资");
    ws.setString(1, 1, wb->strings.add("姓名"));
    ws.setString(2, 1, wb->strings.add("张三"));
    ws.setNumber(2, 2, 8123.5);
    wb->addSheet("Data").setNumber(5000, 4, 7);  // a package of more than one 4096-byte segment
    return wb;
}

// The two streams of an encrypted package as the compound file at `path` holds them.
ss::crypto::EncryptedStreams streamsOf(const fs::path& path) {
    std::string file = slurp(path);
    auto cf = ss::cfb::CompoundFile::parse(file);
    EXPECT_TRUE(cf.ok());
    ss::crypto::EncryptedStreams s;
    s.encryptionInfo = cf->readStream(*cf->findStream("EncryptionInfo"), file.size()).value();
    s.encryptedPackage = cf->readStream(*cf->findStream("EncryptedPackage"), file.size()).value();
    return s;
}

}  // namespace

// Files encrypted by other applications open with the right password only, whichever place it
// has in the list; the reason says what to do.
TEST(ProtectedWorkbooks, OpenWithTheRightPassword) {
    for (const char* name : {"agile_AES256_SHA512_CBC_pwd_password.xlsx",
                             "standard_AES128_SHA1_ECB_pwd_password.xlsx"}) {
        SCOPED_TRACE(name);
        const fs::path path = kBroken / name;
        auto none = ss::openWorkbook(path);
        ASSERT_FALSE(none.ok());
        EXPECT_EQ(none.message(), "无法打开文件 " + path.string() +
                                      "：工作簿已加密（设有打开密码），请用 --password "
                                      "或在“高级选项”中给出密码。");
        auto wrong = ss::openWorkbook(path, nullptr, {"Password", "密码"});
        ASSERT_FALSE(wrong.ok());
        EXPECT_EQ(wrong.message(), "无法打开文件 " + path.string() + "：工作簿已加密，密码不对。");

        auto opened = ss::openWorkbook(path, nullptr, {"wrong", "password"});
        ASSERT_TRUE(opened.ok()) << opened.message();
        const ss::Workbook& wb = **opened;
        ASSERT_EQ(wb.sheets.size(), 1u);
        EXPECT_EQ(xlsxtest::text(wb, *wb.sheets[0], 1, 1), "Password: password");
        EXPECT_EQ(wb.sourcePath, path.string());
    }
}

// A stop asked for while passwords are tried ends the read (a spin count near the cap takes
// seconds per password).
TEST(ProtectedWorkbooks, AStopEndsTheTriesOfPasswords) {
    std::atomic<bool> stop{true};
    auto read =
        ss::openWorkbook(kBroken / "agile_AES256_SHA512_CBC_pwd_password.xlsx", &stop, {"a", "b"});
    ASSERT_FALSE(read.ok());
    EXPECT_THAT(read.message(), HasSubstr(ss::kReadStopped));
}

// Encrypted .xls workbooks: RC4 with the default password of write-protected files opens
// without asking; RC4 CryptoAPI and XOR obfuscation with the password given.
TEST(ProtectedWorkbooks, XlsWithFilePass) {
    const fs::path velvet = kBroken / "pers-protected.xls";
    auto silent = ss::openWorkbook(velvet);
    ASSERT_TRUE(silent.ok()) << silent.message();
    EXPECT_EQ((*silent)->sheets[0]->name, "Лист1");
    EXPECT_EQ(xlsxtest::text(**silent, *(*silent)->sheets[0], 2, 2), "5107.72");

    const fs::path rc4 = kBroken / "Test_git_issue_242_std_rc4_pwd_password.xls";
    EXPECT_THAT(modelOf(ss::openWorkbook(rc4)), HasSubstr("请用 --password"));
    EXPECT_THAT(modelOf(ss::openWorkbook(rc4, nullptr, {"passwort"})), HasSubstr("密码不对"));
    auto opened = ss::openWorkbook(rc4, nullptr, {"passwort", "password"});
    ASSERT_TRUE(opened.ok()) << opened.message();
    EXPECT_EQ(xlsxtest::text(**opened, *(*opened)->sheets[0], 1, 1), "Password: password");

    const fs::path xored = kBroken / "xor-encryption-abc.xls";
    EXPECT_THAT(modelOf(ss::openWorkbook(xored, nullptr, {"abd"})), HasSubstr("密码不对"));
    auto unxored = ss::openWorkbook(xored, nullptr, {"abd", "abc"});
    ASSERT_TRUE(unxored.ok()) << unxored.message();
    for (uint32_t row : {1, 2, 3})
        EXPECT_EQ(xlsxtest::text(**unxored, *(*unxored)->sheets[0], row, 1), std::to_string(row));
}

// Our encrypted output opens again with its password (a non-ASCII one too) and gives the model
// the plain save gives; the file is a compound file, not a zip, and holds no plain package.
TEST(ProtectedWorkbooks, EncryptedSaveReadsBack) {
    TempDir dir;
    auto wb = sampleBook();
    ASSERT_TRUE(ss::saveWorkbook(*wb, dir / "plain.xlsx", ss::FileFormat::Xlsx).ok());
    for (std::string password : {"s3cret", "工资表密码"}) {
        SCOPED_TRACE(password);
        fs::path out = dir / "sealed.xlsx";
        auto saved = ss::saveWorkbook(*wb, out, ss::FileFormat::Xlsx, password);
        ASSERT_TRUE(saved.ok()) << saved.message();
        std::string bytes = slurp(out);
        ASSERT_GE(bytes.size(), 8u);
        EXPECT_EQ(bytes.compare(0, 8, reinterpret_cast<const char*>(ss::cfb::kSignature), 8), 0);
        EXPECT_EQ(bytes.find("worksheets/sheet1.xml"), std::string::npos);
        EXPECT_EQ(bytes.find("姓名"), std::string::npos);

        EXPECT_EQ(modelOf(ss::openWorkbook(out, nullptr, {password})),
                  modelOf(ss::openWorkbook(dir / "plain.xlsx")));
        EXPECT_THAT(modelOf(ss::openWorkbook(out, nullptr, {"s3cre"})), HasSubstr("密码不对"));
    }
    auto xls = ss::saveWorkbook(*wb, dir / "out.xls", ss::FileFormat::Xls, "pw");
    ASSERT_FALSE(xls.ok());
    EXPECT_THAT(xls.message(), HasSubstr("xls 格式不能加密保存"));
    EXPECT_FALSE(fs::exists(dir / "out.xls"));
}

// Damaged or hostile encryption data is refused with a reason, without a long wait and
// without allocating what a forged size asks for.
TEST(ProtectedWorkbooks, RefusesDamagedAndHostileEncryption) {
    TempDir dir;
    auto wb = sampleBook();
    const fs::path out = dir / "sealed.xlsx";
    ASSERT_TRUE(ss::saveWorkbook(*wb, out, ss::FileFormat::Xlsx, "pw").ok());
    const ss::crypto::EncryptedStreams good = streamsOf(out);

    auto replaced = [](std::string s, const std::string& from, const std::string& to) {
        size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return s.replace(at, from.size(), to);
    };
    std::string flipped = good.encryptedPackage;
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 1);
    std::string huge = good.encryptedPackage;
    huge.replace(0, 8, std::string("\x00\x00\x00\x00\x00\x01\x00\x00", 8));
    struct Case {
        const char* what;
        std::string info, package, reason;
    };
    const Case cases[] = {
        {"spin count of a billion",
         replaced(good.encryptionInfo, "spinCount=\"100000\"", "spinCount=\"1000000000\""),
         good.encryptedPackage, "加密方式不受支持"},
        {"changed package", good.encryptionInfo, flipped, "校验值不符"},
        {"declared size past the stream", good.encryptionInfo, huge, "已损坏"},
        {"truncated package", good.encryptionInfo, good.encryptedPackage.substr(0, 100), "已损坏"},
        {"certificate encryption only",
         replaced(good.encryptionInfo, "<p:encryptedKey", "<c:encryptedKey"), good.encryptedPackage,
         "加密方式不受支持"},
        {"CFB chaining", replaced(good.encryptionInfo, "ChainingModeCBC", "ChainingModeCFB"),
         good.encryptedPackage, "加密方式不受支持"},
        {"not XML", std::string("\x04\x00\x04\x00\x40\x00\x00\x00<enc", 12), good.encryptedPackage,
         "已损坏"},
        {"unknown version", std::string("\x05\x00\x05\x00\x40\x00\x00\x00", 8),
         good.encryptedPackage, "加密方式不受支持"},
        {"short standard header", std::string("\x03\x00\x02\x00\x24\x00\x00\x00", 8),
         good.encryptedPackage, "已损坏"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto start = std::chrono::steady_clock::now();
        const fs::path path = dir / "case.xlsx";
        spit(path,
             ss::cfb::build({{"EncryptionInfo", c.info}, {"EncryptedPackage", c.package}}, true));
        auto read = ss::openWorkbook(path, nullptr, {"pw"});
        ASSERT_FALSE(read.ok());
        EXPECT_THAT(read.message(), HasSubstr(c.reason));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

// Our encrypted outputs decrypt with an independent implementation, and the result opens in
// openpyxl with the values saved.
TEST(ProtectedWorkbooks, IndependentToolDecryptsOurOutput) {
    if (std::system("/usr/bin/python3 -c 'import msoffcrypto, openpyxl' 2>/dev/null") != 0)
        GTEST_SKIP() << "msoffcrypto-tool or openpyxl missing";
    TempDir dir;
    auto wb = sampleBook();
    const fs::path out = dir / "sealed.xlsx";
    ASSERT_TRUE(ss::saveWorkbook(*wb, out, ss::FileFormat::Xlsx, "密码pw").ok());
    const std::string script =
        "import io, sys, msoffcrypto, openpyxl\n"
        "f = msoffcrypto.OfficeFile(open(sys.argv[1], 'rb'))\n"
        "f.load_key(password='密码pw', verify_password=True)\n"
        "b = io.BytesIO(); f.decrypt(b, verify_integrity=True)\n"
        "wb = openpyxl.load_workbook(b)\n"
        "ws = wb['工资']\n"
        "assert (ws['A1'].value, ws['A2'].value, ws['B2'].value) == ('姓名', '张三', 8123.5)\n"
        "assert wb['Data']['D5000'].value == 7\n";
    spit(dir / "check.py", script);
    EXPECT_EQ(std::system(
                  ("/usr/bin/python3 " + (dir / "check.py").string() + " " + out.string()).c_str()),
              0);
}

// Small streams live in the mini stream with their own size; large ones in regular sectors.
TEST(CompoundFile, MiniStreamsKeepTheirSize) {
    const std::string small(100, 's'), medium(4095, 'm'), large(5000, 'l');
    std::string file = ss::cfb::build({{"A", small}, {"B", medium}, {"C", large}, {"D", ""}}, true);
    auto cf = ss::cfb::CompoundFile::parse(file);
    ASSERT_TRUE(cf.ok()) << cf.message();
    for (auto [name, want] : {std::pair{"A", &small}, {"B", &medium}, {"C", &large}}) {
        auto got = cf->readStream(*cf->findStream(name), 1 << 20);
        ASSERT_TRUE(got.ok()) << name;
        EXPECT_EQ(*got, *want) << name;
    }
    EXPECT_EQ(cf->readStream(*cf->findStream("D"), 1 << 20).value(), "");
}

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

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

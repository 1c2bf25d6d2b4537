#include <gtest/gtest.h>
#include <unistd.h>

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

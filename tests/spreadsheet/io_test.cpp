#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "spreadsheet/io.h"

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

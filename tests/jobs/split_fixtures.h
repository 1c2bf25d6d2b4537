// Small workbooks for the split job tests, built in code, and a reader of their outputs.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "spreadsheet/io/io.h"
#include "spreadsheet/model/workbook.h"

namespace splitfix {

namespace fs = std::filesystem;
using Grid = std::vector<std::vector<std::string>>;  // rows of cell texts; "" leaves a cell empty

// A folder of its own for one test, removed afterwards.
class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("tw_split_") + info->test_suite_name() + "_" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        static int made = 0;
        path_ = fs::temp_directory_path() /
                (name + "_" + std::to_string(::getpid()) + "_" + std::to_string(++made));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// Puts a grid into a sheet with its top-left cell at (row, col). Texts that read as plain
// numbers are stored as numbers.
inline void fill(ss::Workbook& wb, ss::Worksheet& sheet, const Grid& grid, uint32_t row = 1,
                 uint32_t col = 1) {
    for (size_t r = 0; r < grid.size(); ++r)
        for (size_t c = 0; c < grid[r].size(); ++c) {
            const std::string& t = grid[r][c];
            if (t.empty()) continue;
            char* end = nullptr;
            double v = std::strtod(t.c_str(), &end);
            if (end && *end == '\0' && t.find_first_not_of("0123456789.-") == std::string::npos)
                sheet.setNumber(row + uint32_t(r), col + uint32_t(c), v);
            else
                sheet.setString(row + uint32_t(r), col + uint32_t(c), wb.strings.add(t));
        }
}

// Saves a workbook with the given sheets (name, grid), each grid placed at (row, col).
struct SheetSpec {
    std::string name;
    Grid grid;
    uint32_t row = 1, col = 1;
};
inline void saveBook(const std::string& path, const std::vector<SheetSpec>& sheets) {
    ss::Workbook wb;
    for (const auto& s : sheets) fill(wb, wb.addSheet(s.name), s.grid, s.row, s.col);
    auto format = ss::formatFromExtension(path);
    ASSERT_TRUE(ss::saveWorkbook(wb, path, format ? *format : ss::FileFormat::Xlsx).ok()) << path;
}

inline std::unique_ptr<ss::Workbook> open(const std::string& path) {
    auto r = ss::openWorkbook(path);
    EXPECT_TRUE(r.ok()) << path << (r.ok() ? "" : ": " + r.message());
    return r.ok() ? std::move(r).value() : nullptr;
}

// The cell texts of rows 1..(last used row) and columns 1..(last used column) of a sheet.
inline Grid read(const ss::Workbook& wb, const ss::Worksheet& sheet) {
    Grid grid;
    auto bounds = sheet.contentBounds();
    if (!bounds) return grid;
    grid.assign(bounds->lastRow, std::vector<std::string>(bounds->lastCol));
    for (const auto& row : sheet.rows())
        for (const auto& cell : row.cells)
            if (cell.hasValue()) grid[row.index - 1][cell.col - 1] = wb.cellText(cell);
    return grid;
}
inline Grid readFirstSheet(const std::string& path) {
    auto wb = open(path);
    if (!wb || wb->sheets.empty()) return {};
    return read(*wb, *wb->sheets[0]);
}

// Names of the files in a folder, sorted.
inline std::vector<std::string> filesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace splitfix

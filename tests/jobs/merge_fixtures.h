// Small workbooks for the merge job tests, built in code and saved as .xlsx, and readers of the
// merged output.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "spreadsheet/io/io.h"
#include "spreadsheet/model/workbook.h"

namespace fixtures {

namespace fs = std::filesystem;

using Grid = std::vector<std::vector<std::string>>;

// A worksheet to build: rows of cell texts placed from (firstRow, firstCol). A text that reads
// as a number becomes a number; "" leaves the cell out.
struct SheetFixture {
    std::string name;
    Grid rows;
    uint32_t firstRow = 1, firstCol = 1;
};

// A folder of its own under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "tw-merge-XXXXXX").string();
        if (mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

inline void putText(ss::Workbook& wb, ss::Worksheet& ws, uint32_t r, uint32_t c,
                    const std::string& text) {
    if (text.empty()) return;
    double v = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (ec == std::errc() && ptr == end)
        ws.setNumber(r, c, v);
    else
        ws.setString(r, c, wb.strings.add(text));
}

inline std::unique_ptr<ss::Workbook> buildBook(const std::vector<SheetFixture>& sheets) {
    auto wb = std::make_unique<ss::Workbook>();
    for (const auto& fixture : sheets) {
        ss::Worksheet& ws = wb->addSheet(fixture.name);
        for (size_t i = 0; i < fixture.rows.size(); ++i)
            for (size_t j = 0; j < fixture.rows[i].size(); ++j)
                putText(*wb, ws, fixture.firstRow + uint32_t(i), fixture.firstCol + uint32_t(j),
                        fixture.rows[i][j]);
    }
    return wb;
}

inline void writeBook(const fs::path& path, const ss::Workbook& wb) {
    fs::create_directories(path.parent_path());
    auto st = ss::saveWorkbook(wb, path, ss::FileFormat::Xlsx);
    ASSERT_TRUE(st.ok()) << st.message();
}

inline void writeBook(const fs::path& path, const std::vector<SheetFixture>& sheets) {
    writeBook(path, *buildBook(sheets));
}

inline void writeBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A header row "H1 H2 H3" and `n` data rows "<tag>1 .. <tag>n" with numbers beside them.
inline Grid table(const std::string& tag, int n, int cols = 3) {
    Grid g;
    std::vector<std::string> header;
    for (int c = 1; c <= cols; ++c) header.push_back("H" + std::to_string(c));
    g.push_back(header);
    for (int r = 1; r <= n; ++r) {
        std::vector<std::string> row{tag + std::to_string(r)};
        for (int c = 2; c <= cols; ++c) row.push_back(std::to_string(r * 10 + c));
        g.push_back(row);
    }
    return g;
}

inline std::unique_ptr<ss::Workbook> open(const fs::path& path) {
    auto r = ss::openWorkbook(path);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.message());
    return r.ok() ? std::move(r).value() : nullptr;
}

inline std::vector<std::string> sheetNames(const ss::Workbook& wb) {
    std::vector<std::string> names;
    for (const auto& s : wb.sheets) names.push_back(s->name);
    return names;
}

// The texts of A1 to the last used cell of the sheet.
inline Grid grid(const ss::Workbook& wb, const ss::Worksheet& ws) {
    Grid g;
    auto bounds = ws.contentBounds();
    if (!bounds) return g;
    for (uint32_t r = 1; r <= bounds->lastRow; ++r) {
        std::vector<std::string> row;
        for (uint32_t c = 1; c <= bounds->lastCol; ++c) {
            const ss::Cell* cell = ws.find(r, c);
            row.push_back(cell ? wb.cellText(*cell) : std::string());
        }
        g.push_back(std::move(row));
    }
    return g;
}

inline Grid grid(const ss::Workbook& wb, size_t sheet = 0) {
    return grid(wb, *wb.sheets.at(sheet));
}

// The rows padded with "" to the widest one, as grid() gives them.
inline Grid padded(Grid g) {
    size_t width = 0;
    for (const auto& row : g) width = std::max(width, row.size());
    for (auto& row : g) row.resize(width);
    return g;
}

// A sheet "S" with the header 日期 次日 and one row: 2024-01-01, and 2024-01-02 as the formula
// A2+1, both in a date format, as a workbook of the 1900 or of the 1904 date system counts them.
inline std::unique_ptr<ss::Workbook> datedBook(bool date1904) {
    auto wb = buildBook({{"S", {{"日期", "次日"}}}});
    wb->date1904 = date1904;
    ss::CellFormat xf;
    xf.numFmtId = wb->styles.internNumberFormat("yyyy-mm-dd");
    xf.applyNumberFormat = true;
    const uint32_t date = wb->styles.internCellFormat(xf);
    const double day = date1904 ? 43830 : 45292;
    ss::Worksheet& ws = *wb->sheets[0];
    ws.setNumber(2, 1, day, date);
    ws.setNumber(2, 2, day + 1, date);
    ws.setFormula(2, 2, ss::Formula{"A2+1", false, {}});
    return wb;
}

// Every cell text of the workbook contains `needle` nowhere.
inline bool containsText(const ss::Workbook& wb, const std::string& needle) {
    for (const auto& s : wb.sheets)
        for (const auto& row : grid(wb, *s))
            for (const auto& t : row)
                if (t.find(needle) != std::string::npos) return true;
    return false;
}

}  // namespace fixtures
